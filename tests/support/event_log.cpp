#include "event_log.hpp"

#include <algorithm>
#include <cstring>

namespace tamsel_test {

namespace {

event_log &log_of(void *user) {
    return *static_cast<event_log *>(user);
}

tamsel_status mark(void *user, const char *text) {
    log_of(user).events += text;
    return TAMSEL_STATUS_OK;
}

tamsel_status append(void *user, const char *bytes, size_t len) {
    log_of(user).events.append(bytes, len);
    log_of(user).chunks++;
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_value_visitor event_log::visitor() {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.object_begin = [](void *u, tamsel_error *) { return mark(u, "{"); };
    v.object_end = [](void *u, tamsel_error *) { return mark(u, "}"); };
    v.key_begin = [](void *u, tamsel_error *) { return mark(u, "k"); };
    v.key_chunk = [](void *u, const char *b, size_t n, tamsel_error *) { return append(u, b, n); };
    v.key_end = [](void *u, tamsel_error *) { return mark(u, ";"); };
    v.array_begin = [](void *u, tamsel_error *) { return mark(u, "["); };
    v.array_end = [](void *u, tamsel_error *) { return mark(u, "]"); };
    v.string_begin = [](void *u, tamsel_error *) { return mark(u, "s"); };
    v.string_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        return append(u, b, n);
    };
    v.string_end = [](void *u, tamsel_error *) { return mark(u, ";"); };
    v.number_begin = [](void *u, tamsel_error *) { return mark(u, "n"); };
    v.number_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        log_of(u).events.append(b, n);
        return TAMSEL_STATUS_OK;
    };
    v.number_end = [](void *u, tamsel_error *) { return mark(u, ";"); };
    v.boolean = [](void *u, int value, tamsel_error *) { return mark(u, value ? "T" : "F"); };
    v.null = [](void *u, tamsel_error *) { return mark(u, "N"); };
    return v;
}

tamsel_read_result chunked_reader::read(void *user, void *buffer, size_t capacity) {
    auto *r = static_cast<chunked_reader *>(user);
    tamsel_read_result result{};
    if (r->empties_left > 0) {
        r->empties_left--;
        return result;
    }
    r->empties_left = r->empty_between;
    size_t step = r->step;
    if (step == 0) {
        r->seed = r->seed * 1103515245u + 12345u;
        step = 1 + (r->seed >> 8) % 4096;
    }
    size_t n = std::min({step, capacity, r->text->size() - r->pos});
    std::memcpy(buffer, r->text->data() + r->pos, n);
    r->pos += n;
    result.bytes = n;
    result.eof = r->pos == r->text->size();
    return result;
}

} // namespace tamsel_test

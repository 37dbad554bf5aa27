// JSON value holders: life cycle, the source-side and parse-side setters, rewindability.
#include "visit/json_value.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace tamsel::visit {
namespace {

extern const tamsel_json_value_methods shared_methods;

tamsel_status required(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

void stamp(tamsel_json_value *v) {
    v->methods = &shared_methods;
    v->magic = address_mark(v, TAMSEL_JSON_VALUE_MAGIC);
}

void init_fresh(tamsel_json_value *v, const tamsel_allocator &allocator,
                const tamsel_value_limits &limits) {
    std::memset(v, 0, sizeof *v);
    v->fd = -1;
    v->limits = limits;
    v->runtime_limits = limits;
    v->limits_follow_runtime = 1;
    v->allocator = allocator;
    stamp(v);
}

// A record that is not initialised at its own address gets a fresh start; nothing it points
// at is freed (it may be garbage, or belong to the record it was copied from).
void adopt(tamsel_json_value *v) {
    if (!json_value_is_initialized(v))
        init_fresh(v, inherit_allocator(nullptr), tamsel__default_value_limits());
}

void clear_source(tamsel_json_value *v) {
    owned_free(std::exchange(v->data, nullptr));
    owned_free(std::exchange(v->path, nullptr));
    v->kind = TAMSEL_JSON_NONE;
    v->len = 0;
    v->reader = nullptr;
    v->reader_user = nullptr;
    v->file = nullptr;
    v->fd = -1;
}

void clear_parse_side(tamsel_json_value *v) {
    v->parse_mode = TAMSEL_JSON_PARSE_NONE;
    v->parse_sink = nullptr;
    v->parse_sink_user = nullptr;
    v->parse_visitor = nullptr;
    v->parse_visitor_user = nullptr;
}

void set_parse_mode(tamsel_json_value *v, int mode, tamsel_error *error) {
    clear_source(v);
    clear_parse_side(v);
    v->parse_mode = mode;
    v->limits_follow_runtime = same_limits(v->limits, v->runtime_limits);
    clear_error(error);
}

// Seekable: tell, seek to the start, seek back, all succeed.
bool file_rewindable(FILE *f) {
    long here = std::ftell(f);
    return here >= 0 && std::fseek(f, 0, SEEK_SET) == 0 && std::fseek(f, here, SEEK_SET) == 0;
}
bool fd_rewindable(int fd) {
    off_t here = ::lseek(fd, 0, SEEK_CUR);
    return here >= 0 && ::lseek(fd, 0, SEEK_SET) == 0 && ::lseek(fd, here, SEEK_SET) == here;
}

} // namespace

bool same_limits(const tamsel_value_limits &a, const tamsel_value_limits &b) {
    return a.max_depth == b.max_depth && a.max_string_bytes == b.max_string_bytes &&
           a.max_number_bytes == b.max_number_bytes && a.max_key_bytes == b.max_key_bytes &&
           a.max_total_bytes == b.max_total_bytes;
}

bool json_value_is_initialized(const tamsel_json_value *v) {
    return v && v->methods == &shared_methods &&
           v->magic == address_mark(v, TAMSEL_JSON_VALUE_MAGIC);
}

tamsel_status json_value_store_compact(tamsel_json_value *value, const char *text, size_t len,
                                       tamsel_error *error) {
    adopt(value);
    size_t size;
    char *data = checked_add(len, 1, &size)
                     ? static_cast<char *>(owned_alloc(&value->allocator, size))
                     : nullptr;
    if (!data)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate JSON value buffer");
    std::memcpy(data, text, len);
    data[len] = '\0';
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_BUFFER;
    value->data = data;
    value->len = len;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::visit

using namespace tamsel;
using namespace tamsel::visit;

extern "C" void tamsel_json_value_init_with_allocator(tamsel_json_value *value,
                                                      const tamsel_allocator *allocator) {
    if (!value) return;
    init_fresh(value, inherit_allocator(allocator), tamsel__default_value_limits());
}

extern "C" void tamsel_json_value_init(tamsel_runtime *runtime, tamsel_json_value *value) {
    if (!value) return;
    runtime_borrow borrow;
    if (borrow.try_acquire(runtime)) {
        init_fresh(value, inherit_allocator(&borrow.settings()->allocator_copy),
                   borrow.settings()->value_limits);
    } else {
        init_fresh(value, inherit_allocator(nullptr), tamsel__default_value_limits());
    }
}

extern "C" void tamsel_json_value_cleanup(tamsel_json_value *value) {
    if (!value) return;
    if (!json_value_is_initialized(value)) {
        adopt(value);
        return;
    }
    clear_source(value);
    clear_parse_side(value);
    stamp(value);
}

extern "C" void tamsel_json_value_reset(tamsel_json_value *value) {
    tamsel_json_value_cleanup(value);
}

extern "C" tamsel_status tamsel_json_value_set_buffer(tamsel_json_value *value, const void *bytes,
                                                      size_t len, tamsel_error *error) {
    if (!value || (!bytes && len))
        return required(error, "JSON value handle and buffer are required");
    adopt(value);
    char *data = nullptr;
    size_t data_len = 0;
    TAMSEL_TRY(compact_copy(bytes, len, &value->allocator, &data, &data_len, error));
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_BUFFER;
    value->data = data;
    value->len = data_len;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_reader(tamsel_json_value *value,
                                                      tamsel_reader reader, void *reader_user,
                                                      tamsel_error *error) {
    if (!value || !reader) return required(error, "JSON value handle and reader are required");
    adopt(value);
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_READER;
    value->reader = reader;
    value->reader_user = reader_user;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_file(tamsel_json_value *value, FILE *file,
                                                    tamsel_error *error) {
    if (!value || !file) return required(error, "JSON value handle and FILE* are required");
    adopt(value);
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_FILE;
    value->file = file;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_fd(tamsel_json_value *value, int fd,
                                                  tamsel_error *error) {
    if (!value || fd < 0)
        return required(error, "JSON value handle and non-negative fd are required");
    adopt(value);
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_FD;
    value->fd = fd;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_path(tamsel_json_value *value, const char *path,
                                                    tamsel_error *error) {
    if (!value || !path || !*path)
        return required(error, "JSON value handle and path are required");
    adopt(value);
    char *copy = owned_strdup(&value->allocator, path);
    if (!copy)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to duplicate JSON value path");
    tamsel_json_value_cleanup(value);
    value->kind = TAMSEL_JSON_PATH;
    value->path = copy;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_parse_sink(tamsel_json_value *value,
                                                          tamsel_sink sink, void *sink_user,
                                                          tamsel_error *error) {
    if (!value || !sink) return required(error, "JSON value handle and parse sink are required");
    adopt(value);
    set_parse_mode(value, TAMSEL_JSON_PARSE_SINK, error);
    value->parse_sink = sink;
    value->parse_sink_user = sink_user;
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_set_parse_visitor(tamsel_json_value *value,
                                                             const tamsel_value_visitor *visitor,
                                                             void *visitor_user,
                                                             tamsel_error *error) {
    if (!value || !visitor)
        return required(error, "JSON value handle and parse visitor are required");
    adopt(value);
    set_parse_mode(value, TAMSEL_JSON_PARSE_VISITOR, error);
    value->parse_visitor = visitor;
    value->parse_visitor_user = visitor_user;
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_enable_parse_capture(tamsel_json_value *value,
                                                                tamsel_error *error) {
    if (!value) return required(error, "JSON value handle is required");
    adopt(value);
    set_parse_mode(value, TAMSEL_JSON_PARSE_CAPTURE, error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_json_value_write_to_sink(const tamsel_json_value *value,
                                                         tamsel_sink sink, void *sink_user,
                                                         tamsel_error *error) {
    if (!value || !json_value_is_initialized(value))
        return required(error, "JSON value handle is required");
    if (!sink) return required(error, "sink is required");
    clear_error(error);
    tamsel_status st = transcode_json_value(value, sink, sink_user, error, false, 0);
    if (st == TAMSEL_STATUS_OK) clear_error(error);
    return st;
}

extern "C" int tamsel_json_value_is_rewindable(const tamsel_json_value *value) {
    if (!value || !json_value_is_initialized(value)) return 0;
    switch (value->kind) {
    case TAMSEL_JSON_NONE:
    case TAMSEL_JSON_BUFFER:
    case TAMSEL_JSON_PATH:
        return 1;
    case TAMSEL_JSON_FILE:
        return value->file && file_rewindable(value->file);
    case TAMSEL_JSON_FD:
        return value->fd >= 0 && fd_rewindable(value->fd);
    default:
        return 0;
    }
}

namespace tamsel::visit {
namespace {
const tamsel_json_value_methods shared_methods = {
    tamsel_json_value_reset,
    tamsel_json_value_cleanup,
    tamsel_json_value_set_buffer,
    tamsel_json_value_set_parse_sink,
    tamsel_json_value_set_parse_visitor,
    tamsel_json_value_enable_parse_capture,
    tamsel_json_value_set_reader,
    tamsel_json_value_set_file,
    tamsel_json_value_set_fd,
    tamsel_json_value_set_path,
    tamsel_json_value_write_to_sink,
    tamsel_json_value_is_rewindable,
};
} // namespace
} // namespace tamsel::visit

// Test support for the SSE parser: callbacks that write every event into one transcript, and
// a driver that pushes a stream in given pieces and finishes it.
#pragma once

#include "support/counting_allocator.hpp"
#include "tamsel.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace sse_test {

struct log {
    std::string text;
    int fail_begin = -1, fail_chunk = -1, fail_end = -1; // fail the N-th call (0-based)
    int begins = 0, chunks = 0, ends = 0;
};

inline std::string event_text(const tamsel_sse_event *e) {
    std::string s = std::string("[") + e->event + "|" + (e->id ? e->id : "(null)") + "|" +
                    std::to_string(e->data_bytes);
    if (e->has_retry) s += "|r" + std::to_string(e->retry);
    return s + "]";
}

inline int on_begin(void *u, const tamsel_sse_event *e, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    if (l->begins++ == l->fail_begin) return 1;
    l->text += "B" + event_text(e);
    return 0;
}
inline int on_chunk(void *u, const char *b, size_t n, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    if (l->chunks++ == l->fail_chunk) return 1;
    l->text += "<" + std::string(b, n) + ">";
    return 0;
}
inline int on_end(void *u, const tamsel_sse_event *e, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    if (l->ends++ == l->fail_end) return 1;
    l->text += "E" + event_text(e) + "\n";
    return 0;
}
inline const tamsel_sse_callbacks *callbacks() {
    static const tamsel_sse_callbacks c{on_begin, on_chunk, on_end};
    return &c;
}

// Pushes `text` cut at `cuts` (offsets, ascending), then finishes. The transcript ends with
// each failing status and its message (a failure stops no other event, so where it is noted
// depends on the cuts: the failures come last).
inline std::string run(const std::string &text, const std::vector<size_t> &cuts,
                       const tamsel_sse_options *options = nullptr) {
    log l;
    tamsel_error e;
    tamsel_sse *s = tamsel_sse_open(options, &e);
    EXPECT_NE(s, nullptr);
    size_t at = 0;
    std::string failures;
    auto note = [&](tamsel_status st) {
        if (st != TAMSEL_STATUS_OK) failures += "!" + std::to_string(st) + " " + e.message + "\n";
    };
    for (size_t c : cuts) {
        note(tamsel_sse_push(s, text.data() + at, c - at, callbacks(), &l, &e));
        at = c;
    }
    note(tamsel_sse_push(s, text.data() + at, text.size() - at, callbacks(), &l, &e));
    note(tamsel_sse_finish(s, callbacks(), &l, &e));
    tamsel_sse_close(s);
    return l.text + failures;
}

inline std::string whole(const std::string &text, const tamsel_sse_options *o = nullptr) {
    return run(text, {}, o);
}

inline std::vector<size_t> every_byte(size_t n) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < n; ++i)
        cuts.push_back(i);
    return cuts;
}

// The record both JSON families parse events into.
struct msg {
    int64_t n;
    char *text;
};

inline const tamsel_map *msg_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("n"), offsetof(msg, n), TAMSEL_FIELD_I64, 0, 0, 0,
                                      0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("text"), offsetof(msg, text), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"msg", sizeof(msg), f, 2, &m, nullptr};
    return &m;
}

// A runtime and an SSE parser with every allocation through `a`, and the record the events go
// into; all closed, emptied and freed (the runtime's own free uncounted) at the end of the scope.
// `st` is the open's failure, if any.
struct counted_sse {
    tamsel_test::counting_allocator &a;
    tamsel_runtime *rt;
    tamsel_sse *s = nullptr;
    tamsel_status st = TAMSEL_STATUS_OK;
    tamsel_error e{};
    msg m{};

    explicit counted_sse(tamsel_test::counting_allocator &alloc)
        : a(alloc), rt(tamsel_test::runtime_with(alloc)) {
        tamsel_sse_options o = tamsel_default_sse_options();
        o.allocator = a.get();
        s = tamsel_sse_open(&o, &e);
        if (!s) st = e.code;
    }
    counted_sse(const counted_sse &) = delete;
    counted_sse &operator=(const counted_sse &) = delete;
    ~counted_sse() {
        tamsel_sse_close(s);
        tamsel_cleanup(msg_map(), &m);
        a.pause();
        tamsel_free(rt);
        a.resume();
    }
};

} // namespace sse_test

// The direct path of an ordinary sink, shared by the operations of core.cpp and strings.cpp.
//
// On an ordinary sink with nothing in progress (no latch, no open string or value stream, no
// event) an operation whose checks all pass builds its text on the stack (separator,
// punctuation, escaped text or digits) and hands it to the sink in one call; only text longer
// than the stack buffer takes more calls, long plain runs straight from the caller's bytes.
// Anything else (a refusal, a writer generator, a string or value stream in progress) takes the
// general path, which reports exactly as before: the direct path only ever sees operations
// that succeed up to the sink, so it changes the cost, never a result.
#pragma once

#include "io/internal.hpp"
#include "writer/state.hpp"

namespace tamsel::writer {

// Room of the stack buffer a direct operation builds its text in: most strings fit whole.
inline constexpr size_t direct_capacity = 1024;

// The writer's state when an operation may take the direct path, else NULL.
[[nodiscard]] inline state *direct_state(const tamsel_writer *w) {
    state *s = state_of(w);
    if (!s || s->kind != sink_kind::ordinary || s->failed || s->value_stream_open ||
        s->string_open || s->ev.kind != event_kind::none)
        return nullptr;
    return s;
}

// The place-a-value bookkeeping of a value that passes every check of the general path's
// `place`: sets `*comma` when a separator is due. False, with nothing changed, when the value
// would be refused (a second root, which also covers a finished writer, or an object without
// a pending key): the general path then reports it.
[[nodiscard]] inline bool direct_place(state &s, bool *comma) {
    if (!s.depth) {
        if (s.root_started) return false;
        s.root_started = true;
        *comma = false;
        return true;
    }
    container &top = s.stack[s.depth - 1];
    if (top.kind == container_array) {
        *comma = top.count != 0;
        ++top.count;
        return true;
    }
    if (!top.key_pending) return false;
    top.key_pending = false;
    ++top.count;
    *comma = false;
    return true;
}

// A sink result other than OK: TRUNCATED means the piece was taken (the operation completes,
// reports 7 and finish reports it again); anything else latches the writer.
[[nodiscard]] tamsel_status direct_unusual(state &s, tamsel_writer *w, tamsel_status st,
                                           tamsel_error *e);

// The whole text of an operation in one sink call.
[[nodiscard]] inline tamsel_status direct_put(state &s, tamsel_writer *w, const void *p, size_t n,
                                              tamsel_error *e) {
    const tamsel_status st = s.sink(s.sink_user, p, n, e);
    if (st == TAMSEL_STATUS_OK) [[likely]]
        return st;
    return direct_unusual(s, w, st, e);
}

// `open` (at most 2 bytes), bytes[0..len) escaped, then `close` (at most 2 bytes), in as few
// sink calls as the stack buffer allows. Returns like direct_put.
[[nodiscard]] tamsel_status direct_text(state &s, tamsel_writer *w, const char *open,
                                        size_t open_len, const void *bytes, size_t len,
                                        const char *close, size_t close_len, tamsel_error *e);

} // namespace tamsel::writer

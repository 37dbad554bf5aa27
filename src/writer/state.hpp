// The writer's private state, shared by the files of this folder only.
//
// One block from the write options' allocator: the sink and its kind, a settings snapshot for
// value streams and child generators, the container stack (its own block, 8 entries and
// doubling), the flags of the state machine, the active event and the string reader.
//
// Emission. Every operation is written as a sequence of pieces, each preceded by a check for
// blocked output, so that on a writer generator's sink it can stop before any piece and a
// repeated call continues there (the event records how far it got). On an ordinary sink
// output never blocks: the public operations build their text on the stack and hand it over
// in one call (direct.hpp), and what the general path writes there is gathered in a small
// staging buffer and handed over when it fills and before the operation returns, so the sink
// sees each operation's text in as few calls as possible and nothing is held between
// operations.
#pragma once

#include "core/internal.hpp"
#include "writer/internal.hpp"

namespace tamsel::writer {

enum class sink_kind : uint8_t { ordinary = 1, generator = 2 };

inline constexpr uint8_t container_object = 1;
inline constexpr uint8_t container_array = 2;
inline constexpr size_t initial_stack = 8;

struct container {
    uint8_t kind;
    bool key_pending;
    uint64_t count; // values written into it
};

enum class event_kind : uint8_t {
    none = 0,
    whole_string = 1,
    string_chunk = 2,
    key = 3,
    number_text = 4,
    child = 5,
    scalar = 6,
};

// The operation in progress on a writer generator's blocked output.
struct event {
    event_kind kind = event_kind::none;
    const void *argument = nullptr;
    size_t length = 0;   // the call's length; the child kind for child values
    size_t progress = 0; // input bytes already written
    bool placed = false;
    uint8_t stage = 0; // 0 nothing written, 1 placed or separator, 2 opening quote, 3 body
    const void *extra = nullptr; // mapped records: the map
    size_t scalar_len = 0;
    char scalar[64] = {};
};

inline constexpr size_t string_reader_block = 4096;

struct string_reader {
    bool active = false;
    tamsel_reader reader = nullptr;
    void *user = nullptr;
    size_t length = 0;
    size_t next = 0;
    bool eof = false;
    unsigned char buffer[string_reader_block];
};

// Child kinds: spooled text, source text, spooled base64, source base64, JSON value, record.
inline constexpr size_t child_json_value = 5;
inline constexpr size_t child_mapped = 6;
inline constexpr size_t child_step = 512;

// Staging of an operation's pieces on an ordinary sink.
inline constexpr size_t stage_capacity = 256;

struct stream_state;

struct state {
    sink_kind kind = sink_kind::ordinary;
    tamsel_runtime_settings settings{}; // snapshot, owns its strings
    tamsel_write_options options{};     // allocator points at `allocator`
    tamsel_allocator allocator{};
    tamsel_sink sink = nullptr;
    void *sink_user = nullptr;

    container *stack = nullptr;
    size_t depth = 0;
    size_t capacity = 0;

    bool root_started = false;
    bool finished = false;
    bool failed = false;
    bool string_open = false;
    bool value_stream_open = false;
    // An ordinary sink's TRUNCATED: during the current operation, and ever.
    bool truncated_now = false;
    bool truncated_ever = false;

    event ev;
    string_reader reader;

    stream_state *stream = nullptr; // the open value stream
    tamsel_generator *child = nullptr;
    unsigned char child_buffer[child_step];

    size_t staged = 0;
    unsigned char stage[stage_capacity];
};

[[nodiscard]] inline state *state_of(const tamsel_writer *w) {
    return w ? static_cast<state *>(w->state) : nullptr;
}
[[nodiscard]] inline tamsel_error *report_to(tamsel_writer *w, tamsel_error *error) {
    return error ? error : &w->error;
}
// What an accepted operation does to its error record before working (cheap when clear).
inline void accept(tamsel_error *e) {
    if (e->code || e->truncated) clear_error(e);
}

// ---- emission (core.cpp) -------------------------------------------------------------------

// True when the writer generator's output cannot take another piece (always false on an
// ordinary sink).
[[nodiscard]] bool output_blocked(const state &s);
// Free room of the writer generator's destination (SIZE_MAX on an ordinary sink): splittable
// runs are cut to it, so the generator's pending output only ever holds one short piece.
[[nodiscard]] size_t output_room(const state &s);
// One piece to the sink (staged on an ordinary sink). A sink failure latches the writer.
[[nodiscard]] tamsel_status put(state &s, tamsel_writer *w, const void *p, size_t n,
                                tamsel_error *e);
// Hands staged pieces to the sink.
[[nodiscard]] tamsel_status flush(state &s, tamsel_writer *w, tamsel_error *e);
// Ends a public operation: flushes, and turns a truncation the ordinary sink reported during
// it into the operation's TRUNCATED (remembered for finish).
[[nodiscard]] tamsel_status end_op(state &s, tamsel_writer *w, tamsel_status st, tamsel_error *e);

// Latches the writer (a splice failed after output reached it).
inline void latch(state &s) {
    s.failed = true;
}

// The checks every event and value operation starts with: writer, failed latch, value stream.
[[nodiscard]] tamsel_status check_live(tamsel_writer *w, tamsel_error *e);
// Starts or resumes an event (a repeat must pass the same kind, argument and length).
[[nodiscard]] tamsel_status begin_event(state &s, event_kind kind, const void *argument,
                                        size_t length, tamsel_error *e);
inline void reset_event(state &s) {
    s.ev.kind = event_kind::none;
    s.ev.stage = 0;
    s.ev.progress = 0;
    s.ev.placed = false;
}
// The place-a-value checks and bookkeeping without writing: `*comma` says whether the value
// must be preceded by a separator (written by the caller, in the same piece as what follows
// when the operation is not resumable).
[[nodiscard]] tamsel_status place(tamsel_writer *w, bool *comma, tamsel_error *e);
// Places the event's value once (before_value), remembering that it did.
[[nodiscard]] tamsel_status place_event(state &s, tamsel_writer *w, tamsel_error *e);

// Writes bytes[from..n) escaped, from `*progress` on, checking blocked output before every
// piece; TRUNCATED leaves `*progress` at the first byte not written.
[[nodiscard]] tamsel_status put_escaped(state &s, tamsel_writer *w, const unsigned char *bytes,
                                        size_t n, size_t *progress, tamsel_error *e);
// Stages 1 and 2 of a quoted text event (a key or a whole string): the opening quote, once
// output is free, then the text escaped; leaves the event at stage 3 when both are out.
[[nodiscard]] tamsel_status put_quoted_text(state &s, tamsel_writer *w, const char *text, size_t n,
                                            tamsel_error *e);
// Writes bytes[*progress..n) unchanged, resumable the same way.
[[nodiscard]] tamsel_status put_resumable(state &s, tamsel_writer *w, const void *bytes, size_t n,
                                          size_t *progress, tamsel_error *e);

// ---- children (child.cpp) and value streams (value_stream.cpp) ----------------------------

void release_child(state &s);
// A spooled value read from its first byte through a private cursor (the caller's read
// position never moves); open_spooled_reader rewinds a spill file first.
struct spooled_cursor {
    const tamsel_spooled *s;
    uint64_t pos = 0;
};
tamsel_read_result spooled_read(void *cursor, void *buffer, size_t capacity);
[[nodiscard]] tamsel_status open_spooled_reader(const tamsel_spooled *s, tamsel_error *e);
// Tells an open value stream that its writer is going away.
void detach_value_stream(state &s);

} // namespace tamsel::writer

namespace tamsel::writer {

// ---- the writer generator's sink (generator.cpp) ---------------------------------------------

// Pending output, the blocked flag, or a full destination.
[[nodiscard]] bool generator_blocked(const void *sink_user);
// Free bytes in the current destination (0 without one).
[[nodiscard]] size_t generator_room(const void *sink_user);

} // namespace tamsel::writer

// The SSE parser's private state and the line driver both entry-point families run on. Shared
// by the sse*.cpp files only.
//
// A push runs the bytes through the driver (sse_run_lines below; its rarer steps in sse.cpp):
//   start of stream  a UTF-8 byte order mark is skipped (partial marks are replayed as text)
//   line bytes       gathered in runs up to the next CR or LF; a line that lies whole in the
//                    pushed bytes is handed over in place, others through the line buffer
//   CR, LF, CR LF    end the line at once; an LF right after a CR is swallowed, also when it
//                    comes in the next push
//   overlong line    fails, drops the event, and the rest of that line is skipped
// Each complete line goes to the family's line step (plain: sse.cpp, JSON: sse_json.cpp),
// except while the event in progress is being discarded after an error: then lines are
// dropped until the empty line that ends it.
#pragma once

#include "framing/internal.hpp"
#include "io/internal.hpp"
#include "parse/parser.hpp"

namespace tamsel::framing {

enum class sse_family : uint8_t { none, plain, json };

struct sse_call;

// What a family does with the lines and events of a stream.
struct sse_ops {
    // One complete line (empty: dispatch the event).
    tamsel_status (*line)(sse_call &c, const char *text, size_t len);
    // The end of the stream: dispatch the event in progress.
    tamsel_status (*dispatch)(sse_call &c);
    // Drops the event in progress after an error (its destination released, state reset).
    void (*drop)(sse_call &c);
};

// One push or finish call.
struct sse_call {
    tamsel_sse &s;
    const sse_ops &ops;
    tamsel_error *error;    // the caller's record (may be NULL)
    tamsel_error scratch{}; // where line steps record a failure
    tamsel_status first = TAMSEL_STATUS_OK;
    bool stop = false;      // a callback failed: read nothing more in this call
    bool truncated = false; // a parse truncated a value (JSON family)
    void *family = nullptr; // the family's own arguments
};

// Where a data line of the JSON family lies in the stream, to map the parser's positions
// (line k of an event's data is line k + 1 to the parser) back onto the stream.
struct sse_data_line {
    size_t line = 0;   // stream line number
    size_t column = 0; // bytes of the line before the value ("data:" and the optional space)
    size_t offset = 0; // stream offset of the value's first byte
    size_t length = 0; // value bytes
};

// The fields a line can name; any other name is ignored.
enum class sse_kind : uint8_t { data, event, id, retry, other };

// A field line split as the event-stream format says.
struct sse_field {
    const char *name;
    size_t name_len;
    const char *value;
    size_t value_len;
    sse_kind kind;
};

} // namespace tamsel::framing

struct tamsel_sse {
    size_t max_line = 0, max_data = 0, max_field = 0;
    tamsel_allocator allocator{}; // resolved: the parser's own memory and its buffers

    tamsel::io::byte_buffer line, name, id;
    tamsel::framing::sse_family family = tamsel::framing::sse_family::none;
    bool swallow_lf = false; // the last line ended with CR: an LF next belongs to it
    bool skipping = false;   // the rest of an overlong line is dropped
    bool discarding = false; // the event in progress failed: its lines are dropped
    bool finished = false;
    bool bom_done = false;
    uint8_t bom_seen = 0; // bytes of a byte order mark matched so far
    int ended = 0;        // TAMSEL_SSE_ENDED_*: the stream ended before its bytes did
    // The push or finish running, and its record (`call`), which a close from one of its
    // callbacks stops.
    tamsel::running_call running;
    tamsel::framing::sse_call *call = nullptr;

    // Where the stream is: bytes pushed before this call, the number of the line in progress
    // and the offset of its first byte (after a byte order mark).
    size_t pushed = 0;
    size_t line_no = 1;
    size_t line_start = 0;

    // The event in progress.
    bool content = false;  // an id, event, valid retry or data line was seen
    bool named = false;    // an event line of this event set `name` (else it is stale)
    bool begun = false;    // begin_event was reported (plain family)
    bool has_data = false; // a data line was seen
    size_t data_bytes = 0; // plain: data delivered; JSON: data fed to the parser
    uint64_t retry = 0;
    bool has_retry = false;

    // JSON family.
    bool decided = false; // the filter decision for this event is made
    bool matches = false;
    bool parser_active = false;
    bool parser_kept = false;      // `p` keeps the set-up of the last event (restartable)
    tamsel::parse::init_args args; // what `p` was set up with
    bool dst_initialised = false;  // this event's record was initialised by us
    bool routed = false;           // reported to the `other` callbacks (begin_event was called)
    bool marker = false;           // the data so far is one line equal to the end marker; a
                                   // parsed event's line waits in `held`, not fed
    size_t data_lines = 0;         // data lines of this event given to the parser's road
    tamsel::framing::sse_data_line lines[2]; // the last two, line k at lines[k & 1]
    tamsel::io::byte_buffer held;
    bool have_settings = false;
    const tamsel_runtime *runtime = nullptr; // the runtime of the active event
    const tamsel_runtime *settings_runtime = nullptr;
    uint64_t settings_generation = 0;
    const tamsel_map *map = nullptr;
    void *dst = nullptr;
    tamsel_json_value *value = nullptr;
    const tamsel_map *last_map = nullptr; // the record the previous event filled
    void *last_dst = nullptr;
    const tamsel_map *analysed = nullptr; // the map `analysis` is of
    const void *analysed_token = nullptr;
    tamsel::parse::map_analysis analysis{};
    uint64_t reset_mask = 0;         // the analysed map's members that may hold blocks once emptied
    tamsel::parse::item_cache cache; // the map's plans and the record's spare strings
    // The record the event callback fills, kept from event to event: cleared as
    // parse::clear_kept_error clears it, not zeroed whole each time.
    tamsel_error reply{};
    tamsel_runtime_settings settings{};
    tamsel::parse::parser p;
    alignas(8) unsigned char workspace[tamsel::parse::workspace_bytes];
};

namespace tamsel::framing {

// The event in progress failed: it is dropped, and its remaining lines with it.
inline void sse_abandon(sse_call &c) {
    c.ops.drop(c);
    c.s.discarding = true;
}
// Releases what the JSON family holds (at close): the event's parser and the snapshot. The
// caller's record or holder is not touched.
void sse_json_release(tamsel_sse &s);

// Runs `length` pushed bytes through the driver. Returns the first failure of the call.
[[nodiscard]] tamsel_status sse_run(sse_call &c, const void *bytes, size_t length);
// Ends the stream: the last line and the last event.
[[nodiscard]] tamsel_status sse_end(sse_call &c);
// Runs one push or finish as the parser's running call (see `call`): `body` is sse_run or
// sse_end; a close made by a callback takes effect once it has returned.
template <class Body> [[nodiscard]] tamsel_status sse_as_call(sse_call &c, Body body) {
    tamsel_sse &s = c.s;
    s.call = &c;
    return s.running.run(
        [&] {
            const tamsel_status st = body();
            s.call = nullptr;
            return st;
        },
        [&s] { tamsel_sse_close(&s); });
}
// Records a failure `st` (with the message in c.scratch) as the call's result unless one came
// first; a truncation only marks the call.
void sse_note_failure(sse_call &c, tamsel_status st);
// sse_note_failure for anything but success (inline: every line's result comes through here).
inline void sse_note(sse_call &c, tamsel_status st) {
    if (st != TAMSEL_STATUS_OK) sse_note_failure(c, st);
}
// The driver's steps for the lines that are not the usual case (sse.cpp).
// Adds line bytes to the line buffer; an overlong line fails, drops its event and is skipped
// up to its terminator.
[[nodiscard]] tamsel_status sse_append_line(sse_call &c, const void *bytes, size_t n);
// A line ended by a terminator, `bytes[0..n)` its last bytes, that may have begun in the line
// buffer or lie in a skipped or discarded stretch.
[[nodiscard]] tamsel_status sse_end_line(sse_call &c, const char *bytes, size_t n);
// Matches a byte order mark at the start of the stream; returns the bytes it took.
size_t sse_skip_bom(sse_call &c, const uint8_t *p, size_t n);

// sse_run with the family's line step `line` (c.ops.line) called directly: the JSON family
// passes its own, which the compiler then places in the loop instead of calling it through the
// ops pointer for each of an event's lines.
template <class Line>
[[nodiscard]] tamsel_status sse_run_lines(sse_call &c, const void *bytes, size_t length,
                                          Line line) {
    tamsel_sse &s = c.s;
    const auto *const start = static_cast<const uint8_t *>(bytes);
    const uint8_t *p = start;
    const uint8_t *const e = p + length;
    if (!s.bom_done && length) p += sse_skip_bom(c, p, length);
    while (p < e && !c.stop) {
        if (s.swallow_lf) {
            s.swallow_lf = false;
            if (*p == '\n') {
                ++p;
                ++s.line_start;
                continue;
            }
        }
        const uint8_t *eol = sse_line_end(p, e);
        const size_t run = static_cast<size_t>(eol - p);
        if (eol == e) {
            if (!s.skipping) sse_note(c, sse_append_line(c, p, run));
            break;
        }
        s.swallow_lf = *eol == '\r';
        const auto *text = reinterpret_cast<const char *>(p);
        // The usual line, whole in the pushed bytes and within the limit, goes straight to the
        // family; sse_end_line takes the others.
        if (!(s.skipping | s.discarding) && s.line.length == 0 && run <= s.max_line)
            sse_note(c, line(c, text, run));
        else
            sse_note(c, sse_end_line(c, text, run));
        p = eol + 1;
        ++s.line_no;
        s.line_start = s.pushed + static_cast<size_t>(p - start);
    }
    // Positions only: a stream past SIZE_MAX bytes keeps reporting the last offset.
    if (!checked_add(s.pushed, length, &s.pushed)) s.pushed = SIZE_MAX;
    return c.first;
}

namespace sse_detail {
// Whether `len` bytes at `text` start with the literal `lit` (its length without the NUL): a
// compare of a few bytes the compiler turns into one or two loads.
template <size_t N>
[[nodiscard]] inline bool starts(const char *text, size_t len, const char (&lit)[N]) {
    return len >= N - 1 && std::memcmp(text, lit, N - 1) == 0;
}
} // namespace sse_detail

// Splits a non-empty line that is not a comment into name, value and kind. The usual lines,
// "data:", "id:" and "event:", are told apart by their first bytes with no search for the
// colon; the others are split at their first colon and named by length and bytes (inline:
// every line of both families comes through here).
[[nodiscard, gnu::always_inline]] inline sse_field sse_split(const char *text, size_t len) {
    using sse_detail::starts;
    sse_field f{text, len, text + len, 0, sse_kind::other};
    if (starts(text, len, "data:")) {
        f.name_len = 4;
        f.kind = sse_kind::data;
    } else if (starts(text, len, "id:")) {
        f.name_len = 2;
        f.kind = sse_kind::id;
    } else if (starts(text, len, "event:")) {
        f.name_len = 5;
        f.kind = sse_kind::event;
    } else {
        const auto *colon = static_cast<const char *>(std::memchr(text, ':', len));
        if (colon) f.name_len = static_cast<size_t>(colon - text);
        const auto named = [&](const char *n, size_t l) {
            return f.name_len == l && std::memcmp(text, n, l) == 0;
        };
        if (named("data", 4))
            f.kind = sse_kind::data;
        else if (named("id", 2))
            f.kind = sse_kind::id;
        else if (named("event", 5))
            f.kind = sse_kind::event;
        else if (named("retry", 5))
            f.kind = sse_kind::retry;
        if (!colon) return f;
    }
    f.value = text + f.name_len + 1;
    f.value_len = len - f.name_len - 1;
    if (f.value_len && *f.value == ' ') {
        ++f.value;
        --f.value_len;
    }
    return f;
}
// Clears the per-event state (the JSON parser is the family's to destroy).
void sse_reset_event(tamsel_sse &s);
// The event's name: what its event line set, or empty.
[[nodiscard]] inline const char *sse_event_name(const tamsel_sse &s) {
    return s.named && s.name.data ? s.name.data : "";
}
// The event record the callbacks receive.
[[nodiscard]] inline tamsel_sse_event sse_event_of(const tamsel_sse &s, size_t data_bytes) {
    tamsel_sse_event ev{};
    ev.event = sse_event_name(s);
    ev.id = s.id.data;
    ev.data_bytes = data_bytes;
    ev.retry = s.retry;
    ev.has_retry = s.has_retry ? 1 : 0;
    return ev;
}
// The `id`, `event` and `retry` lines, the same in both families (any other kind but data is
// ignored).
[[nodiscard]] tamsel_status sse_common_field(sse_call &c, const sse_field &f);
// The call's result from a callback's return value and record.
[[nodiscard]] tamsel_status sse_callback_failed(sse_call &c, const tamsel_error &from,
                                                const char *message);
// Checks the arguments every push and finish share. `ended_ok`: a push to a stream that ended
// before its bytes did is not refused (the extended doors read nothing then).
[[nodiscard]] tamsel_status sse_check(tamsel_sse *s, sse_family family, bool finish,
                                      const void *bytes, size_t length, tamsel_error *error,
                                      bool ended_ok = false);

} // namespace tamsel::framing

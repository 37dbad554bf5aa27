// The writer core: life cycle, the container stack, placing values, keys, scalars, finishing
// and the emission path every other writer file uses.
//
//   fresh --value--> writing (stack non-empty) --last end--> complete --finish--> finished
//   any live state --sink failure or failed splice--> failed (only cleanup remains)
//
// Misuse (a value without a key, a second root, a wrong end) is refused before anything is
// written and does not latch. Containers grow their stack before writing the bracket, so a
// growth failure leaves the document as it was.
#include "text/internal.hpp"
#include "writer/direct.hpp"
#include "writer/state.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace tamsel::writer {

namespace {

tamsel_status sink_failed(state &s, tamsel_writer *w, tamsel_status st, tamsel_error *e) {
    s.failed = true;
    if (e == &w->error && w->error.code == TAMSEL_STATUS_OK)
        fail(&w->error, st, "writer sink failed");
    return st;
}

tamsel_status deliver(state &s, tamsel_writer *w, const void *p, size_t n, tamsel_error *e) {
    const tamsel_status st = s.sink(s.sink_user, p, n, e);
    if (st == TAMSEL_STATUS_OK) return st;
    if (st == TAMSEL_STATUS_TRUNCATED) {
        // An ordinary sink took the piece and cut something: the operation goes on and
        // reports it at its end. A generator sink refuses only while blocked, which every
        // piece checks first.
        if (s.kind == sink_kind::ordinary) {
            s.truncated_now = true;
            return TAMSEL_STATUS_OK;
        }
        return st;
    }
    return sink_failed(s, w, st, e);
}

tamsel_status require_writer(tamsel_writer *w, tamsel_error *e) {
    return fail(e ? e : (w ? &w->error : nullptr), TAMSEL_STATUS_INVALID_ARGUMENT,
                "writer is required");
}

// Makes room for one more container before anything of it is written.
tamsel_status reserve_container(state &s, tamsel_error *e) {
    if (s.depth < s.capacity) return TAMSEL_STATUS_OK;
    const size_t capacity = s.capacity ? s.capacity * 2 : initial_stack;
    size_t bytes;
    void *grown = nullptr;
    if (checked_mul(capacity, sizeof(container), &bytes))
        grown = owned_realloc(&s.allocator, s.stack, bytes);
    if (!grown) return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow writer stack");
    s.stack = static_cast<container *>(grown);
    s.capacity = capacity;
    return TAMSEL_STATUS_OK;
}

tamsel_status begin_container(tamsel_writer *w, tamsel_error *error, uint8_t kind) {
    const char *text = kind == container_object ? ",{" : ",[";
    if (state *d = direct_state(w); d && d->depth < d->capacity) {
        bool comma;
        if (direct_place(*d, &comma)) {
            tamsel_error *e = report_to(w, error);
            accept(e);
            const tamsel_status st = direct_put(*d, w, text + !comma, 1 + comma, e);
            if (!d->failed) d->stack[d->depth++] = container{kind, false, 0};
            return st;
        }
    }
    state *s = state_of(w);
    if (!s) return require_writer(w, error);
    tamsel_error *e = report_to(w, error);
    TAMSEL_TRY(check_live(w, e));
    accept(e);
    TAMSEL_TRY(reserve_container(*s, e));
    bool comma;
    TAMSEL_TRY(place(w, &comma, e)); // TRUNCATED: blocked, nothing changed
    // The separator and the bracket are one piece, so a generator's output cannot block
    // between them.
    tamsel_status st = put(*s, w, comma ? text : text + 1, comma ? 2 : 1, e);
    if (st == TAMSEL_STATUS_OK) s->stack[s->depth++] = container{kind, false, 0};
    return end_op(*s, w, st, e);
}

tamsel_status end_container(tamsel_writer *w, tamsel_error *error, uint8_t kind) {
    if (state *d = direct_state(w); d && d->depth) {
        const container &top = d->stack[d->depth - 1];
        if (top.kind == kind && !top.key_pending) {
            tamsel_error *e = report_to(w, error);
            accept(e);
            const tamsel_status st = direct_put(*d, w, kind == container_object ? "}" : "]", 1, e);
            if (!d->failed) --d->depth;
            return st;
        }
    }
    state *s = state_of(w);
    if (!s) return require_writer(w, error);
    tamsel_error *e = report_to(w, error);
    TAMSEL_TRY(check_live(w, e));
    if (s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is still open");
    if (!s->depth || s->stack[s->depth - 1].kind != kind)
        return fail(e, TAMSEL_STATUS_INVALID_JSON,
                    kind == container_object ? "writer is not inside an object"
                                             : "writer is not inside an array");
    if (s->stack[s->depth - 1].key_pending)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "object key is missing a value");
    accept(e);
    if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
    tamsel_status st = put(*s, w, kind == container_object ? "}" : "]", 1, e);
    if (st == TAMSEL_STATUS_OK) --s->depth;
    return end_op(*s, w, st, e);
}

// Scalars: the rendered text is placed and written. `text[-1]` is a ',' so that the direct
// path hands separator and text over as one piece. On a writer generator it is an event whose
// own copy of the text is written from its progress on, so a repeat continues there.
tamsel_status scalar(tamsel_writer *w, const char *text, size_t len, tamsel_error *error) {
    if (state *d = direct_state(w)) {
        bool comma;
        if (direct_place(*d, &comma)) {
            tamsel_error *e = report_to(w, error);
            accept(e);
            return direct_put(*d, w, text - comma, len + comma, e);
        }
    }
    state *s = state_of(w);
    if (!s) return require_writer(w, error);
    tamsel_error *e = report_to(w, error);
    TAMSEL_TRY(check_live(w, e));
    if (len > sizeof s->ev.scalar)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer scalar bytes are invalid");
    accept(e);
    if (s->kind == sink_kind::ordinary && s->ev.kind == event_kind::none) {
        TAMSEL_TRY(before_value(w, e));
        return end_op(*s, w, put(*s, w, text, len, e), e);
    }
    if (s->ev.kind == event_kind::scalar &&
        (s->ev.scalar_len != len || std::memcmp(s->ev.scalar, text, len) != 0))
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "active writer event must be resumed with the same arguments");
    TAMSEL_TRY(begin_event(*s, event_kind::scalar, s->ev.scalar, len, e));
    if (!s->ev.placed) {
        std::memcpy(s->ev.scalar, text, len);
        s->ev.scalar_len = len;
    }
    TAMSEL_TRY(place_event(*s, w, e));
    TAMSEL_TRY(put_resumable(*s, w, s->ev.scalar, len, &s->ev.progress, e));
    reset_event(*s);
    return end_op(*s, w, TAMSEL_STATUS_OK, e);
}

void install_operations(tamsel_writer *w) {
    w->cleanup = tamsel_writer_cleanup;
    w->begin_object = tamsel_writer_begin_object;
    w->end_object = tamsel_writer_end_object;
    w->begin_array = tamsel_writer_begin_array;
    w->end_array = tamsel_writer_end_array;
    w->key = tamsel_writer_key;
    w->string = tamsel_writer_string;
    w->string_begin = tamsel_writer_string_begin;
    w->string_chunk = tamsel_writer_string_chunk;
    w->string_end = tamsel_writer_string_end;
    w->string_reader = tamsel_writer_string_reader;
    w->string_spooled = tamsel_writer_string_spooled;
    w->source_text = tamsel_writer_source_text;
    w->spooled_base64 = tamsel_writer_spooled_base64;
    w->source_base64 = tamsel_writer_source_base64;
    w->number_text = tamsel_writer_number_text;
    w->i64 = tamsel_writer_i64;
    w->u64 = tamsel_writer_u64;
    w->f64 = tamsel_writer_f64;
    w->boolean = tamsel_writer_bool;
    w->null = tamsel_writer_null;
    w->json_value = tamsel_writer_json_value;
    w->json_value_reader = tamsel_writer_json_value_reader;
    w->json_value_buffer = tamsel_writer_json_value_buffer;
    w->json_value_file = tamsel_writer_json_value_file;
    w->json_value_fd = tamsel_writer_json_value_fd;
    w->json_value_path = tamsel_writer_json_value_path;
    w->json_value_spooled = tamsel_writer_json_value_spooled;
    w->array_items_reader = tamsel_writer_array_items_reader;
    w->array_items_buffer = tamsel_writer_array_items_buffer;
    w->array_items_filep = tamsel_writer_array_items_filep;
    w->array_items_fd = tamsel_writer_array_items_fd;
    w->array_items_path = tamsel_writer_array_items_path;
    w->array_items_spooled = tamsel_writer_array_items_spooled;
    w->mapped = tamsel_writer_mapped;
    w->finish = tamsel_writer_finish;
}

void reset_record(tamsel_writer *w) {
    w->state = nullptr;
    tamsel_error_init(&w->error);
    install_operations(w);
}

} // namespace

// ---- emission ----------------------------------------------------------------------------------

bool output_blocked(const state &s) {
    return s.kind == sink_kind::generator && generator_blocked(s.sink_user);
}

size_t output_room(const state &s) {
    return s.kind == sink_kind::generator ? generator_room(s.sink_user) : SIZE_MAX;
}

tamsel_status flush(state &s, tamsel_writer *w, tamsel_error *e) {
    if (!s.staged) return TAMSEL_STATUS_OK;
    const size_t n = std::exchange(s.staged, 0);
    if (s.failed) return TAMSEL_STATUS_OK; // a latched writer hands nothing more over
    return deliver(s, w, s.stage, n, e);
}

tamsel_status put(state &s, tamsel_writer *w, const void *p, size_t n, tamsel_error *e) {
    if (s.kind == sink_kind::generator) return deliver(s, w, p, n, e);
    if (n <= stage_capacity - s.staged) {
        std::memcpy(s.stage + s.staged, p, n);
        s.staged += n;
        return TAMSEL_STATUS_OK;
    }
    TAMSEL_TRY(flush(s, w, e));
    if (n >= stage_capacity) return deliver(s, w, p, n, e);
    std::memcpy(s.stage, p, n);
    s.staged = n;
    return TAMSEL_STATUS_OK;
}

tamsel_status end_op(state &s, tamsel_writer *w, tamsel_status st, tamsel_error *e) {
    const tamsel_status f = flush(s, w, e);
    if (st == TAMSEL_STATUS_OK) st = f;
    if (s.truncated_now) {
        s.truncated_now = false;
        s.truncated_ever = true;
        if (st == TAMSEL_STATUS_OK) {
            e->truncated = 1;
            st = TAMSEL_STATUS_TRUNCATED;
        }
    }
    return st;
}

tamsel_status put_quoted_text(state &s, tamsel_writer *w, const char *text, size_t n,
                              tamsel_error *e) {
    event &ev = s.ev;
    if (ev.stage == 1) {
        if (output_blocked(s)) return TAMSEL_STATUS_TRUNCATED;
        TAMSEL_TRY(put(s, w, "\"", 1, e));
        ev.stage = 2;
    }
    if (ev.stage == 2) {
        TAMSEL_TRY(
            put_escaped(s, w, reinterpret_cast<const unsigned char *>(text), n, &ev.progress, e));
        ev.stage = 3;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status put_escaped(state &s, tamsel_writer *w, const unsigned char *bytes, size_t n,
                          size_t *progress, tamsel_error *e) {
    const unsigned char *end = bytes + n;
    while (*progress < n) {
        if (output_blocked(s)) return TAMSEL_STATUS_TRUNCATED;
        const unsigned char *p = bytes + *progress;
        const unsigned char *q = text::find_escape(p, end);
        if (q != p) {
            size_t run = static_cast<size_t>(q - p);
            if (s.kind == sink_kind::generator) run = std::min(run, output_room(s));
            TAMSEL_TRY(put(s, w, p, run, e));
            *progress += run;
        } else {
            char escape[6];
            TAMSEL_TRY(put(s, w, escape, text::escape_sequence(*p, escape), e));
            ++*progress;
        }
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status put_resumable(state &s, tamsel_writer *w, const void *bytes, size_t n,
                            size_t *progress, tamsel_error *e) {
    const auto *b = static_cast<const unsigned char *>(bytes);
    while (*progress < n) {
        if (output_blocked(s)) return TAMSEL_STATUS_TRUNCATED;
        const size_t run = std::min(n - *progress, output_room(s));
        TAMSEL_TRY(put(s, w, b + *progress, run, e));
        *progress += run;
    }
    return TAMSEL_STATUS_OK;
}

// ---- the direct path -----------------------------------------------------------------------

tamsel_status direct_unusual(state &s, tamsel_writer *w, tamsel_status st, tamsel_error *e) {
    if (st != TAMSEL_STATUS_TRUNCATED) return sink_failed(s, w, st, e);
    s.truncated_ever = true;
    e->truncated = 1;
    return st;
}

tamsel_status direct_text(state &s, tamsel_writer *w, const char *open, size_t open_len,
                          const void *bytes, size_t len, const char *close, size_t close_len,
                          tamsel_error *e) {
    unsigned char buf[direct_capacity];
    bool cut = false;
    // A sink's TRUNCATED took the piece: the text goes on and the operation reports it.
    auto hand = [&](const void *p, size_t n) {
        const tamsel_status st = s.sink(s.sink_user, p, n, e);
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) {
            cut |= st == TAMSEL_STATUS_TRUNCATED;
            return TAMSEL_STATUS_OK;
        }
        return sink_failed(s, w, st, e);
    };
    size_t n = 0;
    for (size_t i = 0; i < open_len; ++i)
        buf[n++] = static_cast<unsigned char>(open[i]);
    const auto *p = static_cast<const unsigned char *>(bytes);
    const unsigned char *const end = p + len;
    while (p < end) {
        if (static_cast<size_t>(end - p) <= sizeof buf - n) {
            // The rest fits as it stands: its plain run is found while it is copied.
            const size_t run = text::copy_plain(buf + n, p, end);
            n += run;
            p += run;
        } else {
            const unsigned char *q = text::find_escape(p, end);
            size_t run = static_cast<size_t>(q - p);
            if (run > sizeof buf - n) {
                if (n) TAMSEL_TRY(hand(buf, n));
                n = 0;
                // A run that would fill most of the buffer goes straight from the caller's
                // bytes.
                if (run > sizeof buf / 2) {
                    TAMSEL_TRY(hand(p, run));
                    run = 0;
                    p = q;
                }
            }
            if (run) {
                std::memcpy(buf + n, p, run);
                n += run;
                p = q;
            }
        }
        if (p == end) break;
        if (sizeof buf - n < 6) {
            TAMSEL_TRY(hand(buf, n));
            n = 0;
        }
        n += text::escape_sequence(*p++, reinterpret_cast<char *>(buf + n));
    }
    if (sizeof buf - n < close_len) {
        TAMSEL_TRY(hand(buf, n));
        n = 0;
    }
    for (size_t i = 0; i < close_len; ++i)
        buf[n++] = static_cast<unsigned char>(close[i]);
    if (n) TAMSEL_TRY(hand(buf, n));
    return cut ? direct_unusual(s, w, TAMSEL_STATUS_TRUNCATED, e) : TAMSEL_STATUS_OK;
}

// ---- checks and events ---------------------------------------------------------------------

tamsel_status check_live(tamsel_writer *w, tamsel_error *e) {
    const state *s = state_of(w);
    if (!s) return require_writer(w, e);
    if (s->failed) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer is in a failed state");
    if (s->value_stream_open)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is still open");
    return TAMSEL_STATUS_OK;
}

tamsel_status begin_event(state &s, event_kind kind, const void *argument, size_t length,
                          tamsel_error *e) {
    if (s.ev.kind == event_kind::none) {
        s.ev.kind = kind;
        s.ev.argument = argument;
        s.ev.length = length;
        s.ev.progress = 0;
        s.ev.placed = false;
        s.ev.stage = 0;
        return TAMSEL_STATUS_OK;
    }
    if (s.ev.kind != kind || s.ev.argument != argument || s.ev.length != length)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "active writer event must be resumed with the same arguments");
    return TAMSEL_STATUS_OK;
}

tamsel_status place_event(state &s, tamsel_writer *w, tamsel_error *e) {
    if (s.ev.placed) return TAMSEL_STATUS_OK;
    const tamsel_status st = before_value(w, e);
    if (st == TAMSEL_STATUS_TRUNCATED) return st;
    if (st != TAMSEL_STATUS_OK) {
        reset_event(s); // refused before anything was written
        return st;
    }
    s.ev.placed = true;
    return TAMSEL_STATUS_OK;
}

tamsel_status before_value(tamsel_writer *w, tamsel_error *e) {
    bool comma = false;
    TAMSEL_TRY(place(w, &comma, e));
    return comma ? put(*state_of(w), w, ",", 1, e) : TAMSEL_STATUS_OK;
}

tamsel_status place(tamsel_writer *w, bool *comma, tamsel_error *e) {
    state *s = state_of(w);
    *comma = false;
    TAMSEL_TRY(check_live(w, e));
    if (s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is still open");
    if (s->finished) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer is already finished");
    if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
    if (!s->depth) {
        if (s->root_started)
            return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer already has a root value");
        s->root_started = true;
        return TAMSEL_STATUS_OK;
    }
    container &top = s->stack[s->depth - 1];
    if (top.kind == container_array) {
        *comma = top.count != 0;
        ++top.count;
        return TAMSEL_STATUS_OK;
    }
    if (!top.key_pending)
        return fail(e, TAMSEL_STATUS_INVALID_JSON,
                    "object values must be preceded by a writer key");
    top.key_pending = false;
    ++top.count;
    return TAMSEL_STATUS_OK;
}

tamsel_status emit(tamsel_writer *w, const void *bytes, size_t len, tamsel_error *error) {
    state *s = state_of(w);
    if (!s)
        return fail(report_to(w, error), TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer and data are required");
    tamsel_error *e = report_to(w, error);
    TAMSEL_TRY(flush(*s, w, e));
    const tamsel_status st = s->sink(s->sink_user, bytes, len, e);
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return st;
    return sink_failed(*s, w, st, e);
}

void latch_failed(tamsel_writer *w) {
    if (state *s = state_of(w)) latch(*s);
}

tamsel_status init_sink_with_options(tamsel_writer *w, tamsel_sink sink, void *sink_user,
                                     const tamsel_write_options &options,
                                     const tamsel_runtime_settings *settings, tamsel_error *error) {
    if (!w) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "writer and sink are required");
    reset_record(w);
    tamsel_error *e = report_to(w, error);
    if (!sink) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer and sink are required");
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(options.allocator, &allocator, e));
    void *memory = owned_alloc(&allocator, sizeof(state));
    if (!memory) return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate writer state");
    state *s = std::construct_at(static_cast<state *>(memory));
    s->kind = sink == generator_sink ? sink_kind::generator : sink_kind::ordinary;
    s->allocator = allocator;
    s->options = options;
    s->options.allocator = &s->allocator;
    const tamsel_status st = settings_snapshot(&s->settings, settings, e);
    if (st != TAMSEL_STATUS_OK) {
        std::destroy_at(s);
        owned_free(s);
        return st;
    }
    s->sink = sink;
    s->sink_user = sink_user;
    w->state = s;
    clear_error(e);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" tamsel_status tamsel_writer_init_sink(tamsel_runtime *runtime, tamsel_writer *writer,
                                                 tamsel_sink sink, void *sink_user,
                                                 tamsel_error *error) {
    if (!writer || !sink) {
        if (writer) reset_record(writer);
        return fail(error ? error : (writer ? &writer->error : nullptr),
                    TAMSEL_STATUS_INVALID_ARGUMENT, "writer and sink are required");
    }
    reset_record(writer);
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, report_to(writer, error)));
    return init_sink_with_options(writer, sink, sink_user, borrow.settings()->write_options,
                                  borrow.settings(), error);
}

extern "C" tamsel_status tamsel_writer_begin_object(tamsel_writer *writer, tamsel_error *error) {
    return begin_container(writer, error, container_object);
}
extern "C" tamsel_status tamsel_writer_end_object(tamsel_writer *writer, tamsel_error *error) {
    return end_container(writer, error, container_object);
}
extern "C" tamsel_status tamsel_writer_begin_array(tamsel_writer *writer, tamsel_error *error) {
    return begin_container(writer, error, container_array);
}
extern "C" tamsel_status tamsel_writer_end_array(tamsel_writer *writer, tamsel_error *error) {
    return end_container(writer, error, container_array);
}

extern "C" tamsel_status tamsel_writer_key(tamsel_writer *writer, const char *key, size_t len,
                                           tamsel_error *error) {
    if (state *d = direct_state(writer); d && d->depth && (key || !len)) {
        container &top = d->stack[d->depth - 1];
        if (top.kind == container_object && !top.key_pending) {
            tamsel_error *e = report_to(writer, error);
            accept(e);
            tamsel_status st;
            // Short plain keys (most of them): separator, quotes, key and colon in one copy.
            if (len <= 64 && text::is_plain(key, len)) {
                unsigned char piece[68];
                size_t n = 0;
                if (top.count) piece[n++] = ',';
                piece[n++] = '"';
                if (len <= 16)
                    io::move_short(piece + n, key, len);
                else
                    std::memcpy(piece + n, key, len);
                n += len;
                piece[n++] = '"';
                piece[n++] = ':';
                st = direct_put(*d, writer, piece, n, e);
            } else {
                st = direct_text(*d, writer, top.count ? ",\"" : "\"", top.count ? 2 : 1, key, len,
                                 "\":", 2, e);
            }
            if (!d->failed) top.key_pending = true;
            return st;
        }
    }
    state *s = state_of(writer);
    if (!s || (!key && len))
        return fail(error ? error : (writer ? &writer->error : nullptr),
                    TAMSEL_STATUS_INVALID_ARGUMENT, "writer and key are required");
    tamsel_error *e = report_to(writer, error);
    TAMSEL_TRY(check_live(writer, e));
    TAMSEL_TRY(begin_event(*s, event_kind::key, key, len, e));
    event &ev = s->ev;
    if (ev.stage == 0) {
        const char *refused = nullptr;
        if (s->string_open)
            refused = "writer string is still open";
        else if (!s->depth || s->stack[s->depth - 1].kind != container_object)
            refused = "writer key requires an object";
        else if (s->stack[s->depth - 1].key_pending)
            refused = "previous object key is missing a value";
        if (refused) {
            reset_event(*s);
            return fail(e, TAMSEL_STATUS_INVALID_JSON, "%s", refused);
        }
        accept(e);
        if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
        if (s->stack[s->depth - 1].count) TAMSEL_TRY(put(*s, writer, ",", 1, e));
        ev.stage = 1;
    }
    TAMSEL_TRY(put_quoted_text(*s, writer, key, len, e));
    if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
    tamsel_status st = put(*s, writer, "\":", 2, e);
    if (st == TAMSEL_STATUS_OK) s->stack[s->depth - 1].key_pending = true;
    reset_event(*s);
    return end_op(*s, writer, st, e);
}

// The integer forms build their digits backwards with room for the sign and the separator.
extern "C" tamsel_status tamsel_writer_i64(tamsel_writer *writer, int64_t value,
                                           tamsel_error *error) {
    char text[1 + text::integer_text_capacity];
    char *const end = text + sizeof text;
    const uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char *start = text::format_u64_backwards(magnitude, end);
    if (value < 0) *--start = '-';
    start[-1] = ',';
    return scalar(writer, start, static_cast<size_t>(end - start), error);
}

extern "C" tamsel_status tamsel_writer_u64(tamsel_writer *writer, uint64_t value,
                                           tamsel_error *error) {
    char text[1 + text::integer_text_capacity];
    char *const end = text + sizeof text;
    char *start = text::format_u64_backwards(value, end);
    start[-1] = ',';
    return scalar(writer, start, static_cast<size_t>(end - start), error);
}

extern "C" tamsel_status tamsel_writer_f64(tamsel_writer *writer, double value,
                                           tamsel_error *error) {
    if (!state_of(writer)) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    if (!(std::fabs(value) <= 1.7976931348623157e308))
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON numbers must be finite");
    char text[1 + text::double_text_capacity];
    text[0] = ',';
    const size_t n = text::format_double(value, text + 1);
    if (!n) return fail(e, TAMSEL_STATUS_INTERNAL_ERROR, "failed to format number");
    return scalar(writer, text + 1, n, error);
}

namespace {
// The literals with the separator in front, as scalar() wants them.
constexpr char comma_true[] = ",true";
constexpr char comma_false[] = ",false";
constexpr char comma_null[] = ",null";
} // namespace

extern "C" tamsel_status tamsel_writer_bool(tamsel_writer *writer, int value, tamsel_error *error) {
    return value ? scalar(writer, comma_true + 1, 4, error)
                 : scalar(writer, comma_false + 1, 5, error);
}

extern "C" tamsel_status tamsel_writer_null(tamsel_writer *writer, tamsel_error *error) {
    return scalar(writer, comma_null + 1, 4, error);
}

extern "C" tamsel_status tamsel_writer_finish(tamsel_writer *writer, tamsel_error *error) {
    state *s = state_of(writer);
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    TAMSEL_TRY(check_live(writer, e));
    if (s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is still open");
    // A blocked value that was never repeated is cut short (a string without its closing
    // quote, a number missing digits): the document is not complete, whatever the stack says.
    if (s->ev.kind != event_kind::none)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer event is still active");
    if (!s->root_started)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer emitted no JSON value");
    if (s->depth) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer has unclosed containers");
    accept(e);
    s->finished = true;
    if (s->truncated_ever) {
        e->truncated = 1;
        return TAMSEL_STATUS_TRUNCATED;
    }
    return TAMSEL_STATUS_OK;
}

extern "C" void tamsel_writer_cleanup(tamsel_writer *writer) {
    state *s = state_of(writer);
    if (!s) return;
    release_child(*s);
    detach_value_stream(*s);
    reset_event(*s);
    owned_free(s->stack);
    tamsel__runtime_free_owned_config(&s->settings);
    std::destroy_at(s);
    owned_free(s);
    reset_record(writer);
}

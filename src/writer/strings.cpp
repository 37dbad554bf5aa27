// Strings and number text: whole strings, caller chunks between begin and end, strings pulled
// from a reader, number text checked against the grammar, and the one-shot string writers.
//
// A whole string is an event: 0 place, 1 opening quote, 2 body from its progress, 3 closing
// quote. The body is escaped by the library's table, a plain run in one piece (cut to the free
// room of a writer generator's destination) and each escape in another.
#include "io/internal.hpp"
#include "text/internal.hpp"
#include "writer/direct.hpp"
#include "writer/state.hpp"

#include <cstring>

namespace tamsel::writer {

namespace {

tamsel_status require_writer(tamsel_writer *w, tamsel_error *error) {
    return fail(error ? error : (w ? &w->error : nullptr), TAMSEL_STATUS_INVALID_ARGUMENT,
                "writer is required");
}

void close_reader(state &s) {
    s.reader.active = false;
    s.reader.reader = nullptr;
    s.reader.user = nullptr;
    s.reader.length = s.reader.next = 0;
    s.reader.eof = false;
}

// The closing quote is out: the string is over, and so is a reader that failed inside it (a
// later string_reader starts a new string instead of resuming after the quote).
void string_closed(state &s) {
    s.string_open = false;
    close_reader(s);
}

} // namespace

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" tamsel_status tamsel_writer_string(tamsel_writer *writer, const char *bytes, size_t len,
                                              tamsel_error *error) {
    if (state *d = direct_state(writer); d && (bytes || !len)) {
        bool comma;
        if (direct_place(*d, &comma)) {
            tamsel_error *e = report_to(writer, error);
            accept(e);
            return direct_text(*d, writer, comma ? ",\"" : "\"", 1 + comma, bytes, len, "\"", 1, e);
        }
    }
    state *s = state_of(writer);
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    if (!bytes && len) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "string data is required");
    TAMSEL_TRY(check_live(writer, e));
    TAMSEL_TRY(begin_event(*s, event_kind::whole_string, bytes, len, e));
    accept(e);
    event &ev = s->ev;
    if (ev.stage == 0) {
        TAMSEL_TRY(place_event(*s, writer, e));
        ev.stage = 1;
    }
    TAMSEL_TRY(put_quoted_text(*s, writer, bytes, len, e));
    if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
    const tamsel_status st = put(*s, writer, "\"", 1, e);
    reset_event(*s);
    return end_op(*s, writer, st, e);
}

extern "C" tamsel_status tamsel_writer_string_begin(tamsel_writer *writer, tamsel_error *error) {
    if (state *d = direct_state(writer)) {
        bool comma;
        if (direct_place(*d, &comma)) {
            tamsel_error *e = report_to(writer, error);
            accept(e);
            const tamsel_status st = direct_put(*d, writer, comma ? ",\"" : "\"", 1 + comma, e);
            if (!d->failed) d->string_open = true;
            return st;
        }
    }
    state *s = state_of(writer);
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    accept(e);
    bool comma;
    TAMSEL_TRY(place(writer, &comma, e)); // TRUNCATED: blocked, nothing changed
    // Separator and quote in one piece: a generator's output cannot block between them.
    const tamsel_status st = put(*s, writer, comma ? ",\"" : "\"", comma ? 2 : 1, e);
    // An ordinary sink's TRUNCATED still took the quote: the string is open either way.
    if (st == TAMSEL_STATUS_OK) s->string_open = true;
    return end_op(*s, writer, st, e);
}

extern "C" tamsel_status tamsel_writer_string_chunk(tamsel_writer *writer, const char *bytes,
                                                    size_t len, tamsel_error *error) {
    state *s = state_of(writer);
    if (!s || (!bytes && len))
        return fail(error ? error : (writer ? &writer->error : nullptr),
                    TAMSEL_STATUS_INVALID_ARGUMENT, "writer and string chunk are required");
    tamsel_error *e = report_to(writer, error);
    TAMSEL_TRY(check_live(writer, e));
    if (!s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is not open");
    if (s->kind == sink_kind::ordinary && s->ev.kind == event_kind::none) {
        accept(e);
        return direct_text(*s, writer, "", 0, bytes, len, "", 0, e);
    }
    TAMSEL_TRY(begin_event(*s, event_kind::string_chunk, bytes, len, e));
    accept(e);
    TAMSEL_TRY(put_escaped(*s, writer, reinterpret_cast<const unsigned char *>(bytes), len,
                           &s->ev.progress, e));
    reset_event(*s);
    return end_op(*s, writer, TAMSEL_STATUS_OK, e);
}

extern "C" tamsel_status tamsel_writer_string_end(tamsel_writer *writer, tamsel_error *error) {
    state *s = state_of(writer);
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    TAMSEL_TRY(check_live(writer, e));
    if (!s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is not open");
    accept(e);
    if (s->kind == sink_kind::ordinary && s->ev.kind == event_kind::none) {
        const tamsel_status st = direct_put(*s, writer, "\"", 1, e);
        if (!s->failed) string_closed(*s);
        return st;
    }
    if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED; // still open: repeat the call
    const tamsel_status st = put(*s, writer, "\"", 1, e);
    if (st == TAMSEL_STATUS_OK) string_closed(*s);
    return end_op(*s, writer, st, e);
}

extern "C" tamsel_status tamsel_writer_string_reader(tamsel_writer *writer, tamsel_reader reader,
                                                     void *reader_user, tamsel_error *error) {
    state *s = state_of(writer);
    if (!reader)
        return fail(error ? error : (writer ? &writer->error : nullptr),
                    TAMSEL_STATUS_INVALID_ARGUMENT, "string reader is required");
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    TAMSEL_TRY(check_live(writer, e));
    string_reader &r = s->reader;
    if (r.active) {
        if (r.reader != reader || r.user != reader_user)
            return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                        "active string reader must be resumed with the same reader");
    } else {
        // Refused (a string already open included), failed, or blocked before the quote; an
        // ordinary sink's TRUNCATED took the quote.
        const tamsel_status st = tamsel_writer_string_begin(writer, error);
        if ((st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) || !s->string_open) return st;
        close_reader(*s);
        r.active = true;
        r.reader = reader;
        r.user = reader_user;
    }
    accept(e);
    for (;;) {
        TAMSEL_TRY(put_escaped(*s, writer, r.buffer, r.length, &r.next, e));
        if (r.eof) {
            if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
            const tamsel_status st = put(*s, writer, "\"", 1, e);
            if (st == TAMSEL_STATUS_OK) s->string_open = false;
            close_reader(*s);
            return end_op(*s, writer, st, e);
        }
        if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
        // The bytes written so far reach the sink before the reader is called again.
        TAMSEL_TRY(flush(*s, writer, e));
        io::pull_result got;
        TAMSEL_TRY(io::pull_reader(reader, reader_user, r.buffer, sizeof r.buffer,
                                   "failed to read JSON string source", &got, e));
        r.length = got.bytes;
        r.next = 0;
        r.eof = got.eof;
        if (got.would_block && !got.bytes && !got.eof)
            return fail(e, TAMSEL_STATUS_CALLBACK_FAILED, "string reader would block");
    }
}

extern "C" tamsel_status tamsel_writer_number_text(tamsel_writer *writer, const char *text,
                                                   size_t len, tamsel_error *error) {
    state *s = state_of(writer);
    if (!s) return require_writer(writer, error);
    tamsel_error *e = report_to(writer, error);
    if (!text || !len) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "number text is required");
    TAMSEL_TRY(check_live(writer, e));
    if (!text::is_valid_json_number(text, len))
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "number text must be a JSON number");
    if (state *d = direct_state(writer)) {
        bool comma;
        if (direct_place(*d, &comma)) {
            accept(e);
            return direct_text(*d, writer, ",", comma, text, len, "", 0, e);
        }
    }
    TAMSEL_TRY(begin_event(*s, event_kind::number_text, text, len, e));
    accept(e);
    TAMSEL_TRY(place_event(*s, writer, e));
    TAMSEL_TRY(put_resumable(*s, writer, text, len, &s->ev.progress, e));
    reset_event(*s);
    return end_op(*s, writer, TAMSEL_STATUS_OK, e);
}

// ---- one-shot JSON strings -----------------------------------------------------------------

namespace {

enum class one_shot : uint8_t { reader, bytes, spooled };

struct one_shot_args {
    one_shot kind;
    tamsel_reader reader;
    void *reader_user;
    const void *bytes;
    size_t len;
    const tamsel_spooled *spooled;
};

// The worst of two results: a failure wins over TRUNCATED, TRUNCATED over OK.
tamsel_status worse(tamsel_status a, tamsel_status b) {
    if (a != TAMSEL_STATUS_OK && a != TAMSEL_STATUS_TRUNCATED) return a;
    if (b != TAMSEL_STATUS_OK && b != TAMSEL_STATUS_TRUNCATED) return b;
    return a == TAMSEL_STATUS_TRUNCATED ? a : b;
}

tamsel_status write_one_string(tamsel_runtime *runtime, const one_shot_args &a, tamsel_sink sink,
                               void *sink_user, tamsel_error *error) {
    tamsel_writer w;
    {
        runtime_borrow borrow;
        TAMSEL_TRY(borrow.acquire(runtime, error));
        if (a.kind == one_shot::spooled && !a.spooled)
            return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "spooled string value is required");
        TAMSEL_TRY(init_sink_with_options(&w, sink, sink_user, borrow.settings()->write_options,
                                          borrow.settings(), error));
    }
    tamsel_status st;
    switch (a.kind) {
    case one_shot::reader:
        st = tamsel_writer_string_reader(&w, a.reader, a.reader_user, error);
        break;
    case one_shot::bytes:
        st = tamsel_writer_string(&w, static_cast<const char *>(a.bytes), a.len, error);
        break;
    default:
        st = tamsel_writer_string_spooled(&w, a.spooled, error);
        break;
    }
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED)
        st = worse(st, tamsel_writer_finish(&w, error));
    tamsel_writer_cleanup(&w);
    return st;
}

} // namespace

extern "C" tamsel_status tamsel_write_json_string_sink(tamsel_runtime *runtime,
                                                       tamsel_reader reader, void *reader_user,
                                                       tamsel_sink sink, void *sink_user,
                                                       tamsel_error *error) {
    return write_one_string(runtime, {one_shot::reader, reader, reader_user, nullptr, 0, nullptr},
                            sink, sink_user, error);
}

extern "C" tamsel_status tamsel_write_json_string_buffer_sink(tamsel_runtime *runtime,
                                                              const void *bytes, size_t len,
                                                              tamsel_sink sink, void *sink_user,
                                                              tamsel_error *error) {
    return write_one_string(runtime, {one_shot::bytes, nullptr, nullptr, bytes, len, nullptr}, sink,
                            sink_user, error);
}

extern "C" tamsel_status tamsel_write_json_string_spooled_sink(tamsel_runtime *runtime,
                                                               const tamsel_spooled *spooled,
                                                               tamsel_sink sink, void *sink_user,
                                                               tamsel_error *error) {
    return write_one_string(runtime, {one_shot::spooled, nullptr, nullptr, nullptr, 0, spooled},
                            sink, sink_user, error);
}

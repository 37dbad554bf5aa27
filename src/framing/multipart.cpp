// The multipart machine: lines outside part bodies, part bodies read by length, and part
// bodies scanned for their boundary line.
//
// A scanned body is cut into runs with memmem for LF and the delimiter: an LF followed by
// bytes that cannot begin a boundary line ("--" boundary ["--"], then LF or CR LF) leaves the
// run going, so a part arrives in as few part_data calls as the pushes allow. Only what is
// still undecided at the end of a push is held back (the look-behind): a final CR, or a line
// break and the beginning of a boundary line, at most CR LF, the close delimiter and a CR. The
// start of a body is a line start too, so a part whose body is empty ends at once. When
// max_body_buffer_bytes is smaller than the longest look-behind, every line break goes through
// the look-behind one byte at a time, so that the limit trips at the same byte whatever the
// chunking.
#include "framing/internal.hpp"
#include "framing/multipart_state.hpp"

#include <cstring>
#include <string_view>

namespace tamsel::framing {

namespace {

enum class verdict : uint8_t { more, no, delimiter, close };

struct push_context {
    mp_block &b;
    const tamsel_multipart_callbacks *callbacks;
    void *user;
    tamsel_error *error; // never NULL
    const unsigned char *in;
    size_t n;
    size_t i = 0; // next input byte

    [[nodiscard]] uint64_t offset() const { return b.consumed + i + 1; }
};

// What a push unwinds with when a callback closed the parser: it stops reading at once, and the
// door reports the push as it stood (never returned to the caller as such).
constexpr tamsel_status closed_by_callback = 0x7fffffffu;

tamsel_status after_callback(const push_context &c) {
    return c.b.call.close_pending ? closed_by_callback : TAMSEL_STATUS_OK;
}

tamsel_status callback_failed(tamsel_error *error, const char *message) {
    if (error->code != TAMSEL_STATUS_OK) return error->code;
    return fail(error, TAMSEL_STATUS_CALLBACK_FAILED, "%s", message);
}

tamsel_status deliver(push_context &c, const void *bytes, size_t length) {
    if (!length || !c.callbacks || !c.callbacks->part_data) return TAMSEL_STATUS_OK;
    if (c.callbacks->part_data(c.user, bytes, length, c.error) != 0)
        return callback_failed(c.error, "multipart part_data callback failed");
    return after_callback(c);
}

tamsel_status end_part(push_context &c) {
    if (c.callbacks && c.callbacks->end_part &&
        c.callbacks->end_part(c.user, &c.b.part, c.error) != 0)
        return callback_failed(c.error, "multipart end_part callback failed");
    reset_part(c.b);
    return after_callback(c);
}

// Offset of the first CR or LF in `p[0..len)`, or `len`.
size_t find_line_break(const unsigned char *p, size_t len) {
    return static_cast<size_t>(sse_line_end(p, p + len) - p);
}

// Moves a candidate boundary line on by one byte.
verdict advance(const mp_block &b, cand_step &step, size_t &matched, unsigned char c) {
    switch (step) {
    case cand_step::cr:
        if (c != '\n') return verdict::no;
        step = cand_step::delimiter;
        matched = 0;
        return verdict::more;
    case cand_step::delimiter:
        if (c != static_cast<unsigned char>(b.close_line.data[matched])) return verdict::no;
        if (++matched == b.delimiter_len) step = cand_step::after;
        return verdict::more;
    case cand_step::after:
        if (c == '\n') return verdict::delimiter;
        if (c == '\r')
            step = cand_step::after_cr;
        else if (c == '-')
            step = cand_step::dash;
        else
            return verdict::no;
        return verdict::more;
    case cand_step::after_cr:
        return c == '\n' ? verdict::delimiter : verdict::no;
    case cand_step::dash:
        if (c != '-') return verdict::no;
        step = cand_step::close;
        return verdict::more;
    case cand_step::close:
        if (c == '\n') return verdict::close;
        if (c != '\r') return verdict::no;
        step = cand_step::close_cr;
        return verdict::more;
    case cand_step::close_cr:
        return c == '\n' ? verdict::close : verdict::no;
    case cand_step::none:
        break;
    }
    return verdict::no;
}

// Decides a candidate that begins at `s` from the bytes in place. On `more`, the step and
// matched count say where it stopped; otherwise `*used` is the candidate's length.
verdict classify(const mp_block &b, const unsigned char *s, size_t avail, cand_step &step,
                 size_t &matched, size_t *used) {
    const size_t dl = b.delimiter_len;
    if (avail && s[0] != '-') return verdict::no;
    const size_t m = avail < dl ? avail : dl;
    if (std::memcmp(s, b.close_line.data, m) != 0) return verdict::no;
    if (avail < dl) {
        step = cand_step::delimiter;
        matched = avail;
        return verdict::more;
    }
    step = cand_step::after;
    matched = dl;
    for (size_t k = dl; k < avail; ++k) {
        const verdict v = advance(b, step, matched, s[k]);
        if (v != verdict::more) {
            *used = k + 1;
            return v;
        }
    }
    return verdict::more;
}

tamsel_status boundary_found(push_context &c, verdict v) {
    TAMSEL_TRY(end_part(c));
    c.b.state = v == verdict::close ? mp_state::epilogue : mp_state::headers;
    return TAMSEL_STATUS_OK;
}

// ---- lines outside part bodies -------------------------------------------------------------

tamsel_status end_headers(push_context &c) {
    mp_block &b = c.b;
    publish_part(b);
    b.begun = true;
    if (c.callbacks && c.callbacks->begin_part &&
        c.callbacks->begin_part(c.user, &b.part, c.error) != 0)
        return callback_failed(c.error, "multipart begin_part callback failed");
    TAMSEL_TRY(after_callback(c));
    if (b.content_length < 0) {
        b.state = mp_state::body_scan;
        b.cand = cand_step::delimiter; // the body starts at a line start
        b.matched = 0;
    } else if (b.content_length == 0) {
        TAMSEL_TRY(end_part(c));
        b.state = mp_state::expect_boundary;
    } else {
        b.remaining = static_cast<uint64_t>(b.content_length);
        b.state = mp_state::body_sized;
    }
    return TAMSEL_STATUS_OK;
}

// A complete line, from the line buffer or in place in the push; `offset` is the byte that
// completed it.
tamsel_status line_done(push_context &c, std::string_view line, uint64_t offset) {
    mp_block &b = c.b;
    const size_t len = line.size();
    if (b.state == mp_state::headers)
        return len == 0 ? end_headers(c) : header_line(b, line, offset, c.error);
    if (len == 0) return TAMSEL_STATUS_OK;
    if (len == b.delimiter_len && std::memcmp(line.data(), b.close_line.data, len) == 0) {
        reset_part(b);
        b.state = mp_state::headers;
        return TAMSEL_STATUS_OK;
    }
    if (len == b.close_line.length && std::memcmp(line.data(), b.close_line.data, len) == 0) {
        b.state = mp_state::epilogue;
        return TAMSEL_STATUS_OK;
    }
    return fail_at(c.error, TAMSEL_STATUS_INVALID_JSON, offset,
                   "unexpected multipart boundary line");
}

// The collected line is done: processed, then cleared whatever the outcome.
tamsel_status collected_line_done(push_context &c, uint64_t offset) {
    mp_block &b = c.b;
    const tamsel_status st = line_done(c, {b.line.data, b.line.length}, offset);
    io::byte_clear(b.line);
    return st;
}

// Lines end at LF, CR LF or CR; a CR at the end of a push waits for the next byte. A line that
// lies whole in the push, its end decided there too, is processed in place; only one that a
// push cuts short is collected in the line buffer.
tamsel_status on_lines(push_context &c) {
    mp_block &b = c.b;
    const mp_state entered = b.state;
    while (c.i < c.n && b.state == entered) {
        const unsigned char ch = c.in[c.i];
        if (b.pending_cr) {
            b.pending_cr = false;
            TAMSEL_TRY(collected_line_done(c, c.offset()));
            if (ch == '\n') ++c.i; // CR LF is one line break
            continue;              // any other byte belongs to the state the line led to
        }
        if (ch == '\n' || ch == '\r') {
            const uint64_t at = c.offset();
            ++c.i;
            if (ch == '\r') {
                b.pending_cr = true;
                continue;
            }
            TAMSEL_TRY(collected_line_done(c, at));
            continue;
        }
        const unsigned char *const start = c.in + c.i;
        const size_t run = find_line_break(start, c.n - c.i);
        const size_t room = b.max_line_bytes - b.line.length;
        if (run > room) {
            c.i += room;
            return fail_at(c.error, TAMSEL_STATUS_OVERFLOW, c.offset(),
                           "framing buffer limit exceeded");
        }
        // In place: the terminator is here, and for a CR the byte after it as well (the line is
        // decided at that byte, exactly as when it is collected).
        const size_t end = c.i + run;
        const bool decided = end < c.n && (c.in[end] == '\n' || end + 1 < c.n);
        if (b.line.length == 0 && decided) {
            const std::string_view line(reinterpret_cast<const char *>(start), run);
            const bool cr = c.in[end] == '\r';
            c.i = end + cr; // the byte that decides the line
            const uint64_t at = c.offset();
            c.i = end + 1;
            TAMSEL_TRY(line_done(c, line, at));
            if (cr && c.in[end + 1] == '\n') ++c.i; // CR LF is one line break
            continue;
        }
        TAMSEL_TRY(io::byte_append(b.line, start, run, b.max_line_bytes, b.allocator, c.error));
        c.i += run;
    }
    return TAMSEL_STATUS_OK;
}

// ---- part bodies ------------------------------------------------------------------------------

tamsel_status on_sized(push_context &c) {
    mp_block &b = c.b;
    const size_t avail = c.n - c.i;
    const size_t take = b.remaining < avail ? static_cast<size_t>(b.remaining) : avail;
    TAMSEL_TRY(deliver(c, c.in + c.i, take));
    c.i += take;
    b.remaining -= take;
    if (b.remaining == 0) {
        TAMSEL_TRY(end_part(c));
        b.state = mp_state::expect_boundary;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status hold(mp_block &b, const void *bytes, size_t n, tamsel_error *error) {
    return io::byte_append(b.look, bytes, n, b.max_body_buffer_bytes, b.allocator, error);
}

// One byte through the look-behind: a line break starts a candidate, a held candidate moves on
// or is decided. The deciding byte counts against the limit as if it were held.
tamsel_status scan_byte(push_context &c) {
    mp_block &b = c.b;
    const unsigned char ch = c.in[c.i];
    if (b.cand == cand_step::none) {
        if (ch == '\r' || ch == '\n') {
            if (b.look.length + 1 > b.max_body_buffer_bytes)
                return fail_at(c.error, TAMSEL_STATUS_OVERFLOW, c.offset(),
                               "framing buffer limit exceeded");
            TAMSEL_TRY(hold(b, &ch, 1, c.error));
            b.cand = ch == '\r' ? cand_step::cr : cand_step::delimiter;
            b.matched = 0;
        } else {
            TAMSEL_TRY(deliver(c, &ch, 1));
        }
        ++c.i;
        return TAMSEL_STATUS_OK;
    }
    if (b.look.length + 1 > b.max_body_buffer_bytes)
        return fail_at(c.error, TAMSEL_STATUS_OVERFLOW, c.offset(),
                       "framing buffer limit exceeded");
    const verdict v = advance(b, b.cand, b.matched, ch);
    switch (v) {
    case verdict::more:
        TAMSEL_TRY(hold(b, &ch, 1, c.error));
        ++c.i;
        return TAMSEL_STATUS_OK;
    case verdict::no:
        // The held bytes are data; this byte is looked at afresh (it may start a line break).
        TAMSEL_TRY(deliver(c, b.look.data, b.look.length));
        io::byte_clear(b.look);
        b.cand = cand_step::none;
        return TAMSEL_STATUS_OK;
    case verdict::delimiter:
    case verdict::close:
        ++c.i;
        return boundary_found(c, v);
    }
    return TAMSEL_STATUS_OK;
}

// The next LF after `cur` that may begin a boundary line: the first LF followed by the whole
// delimiter, or else an LF so close to the end that the push cuts its line short.
const unsigned char *next_candidate(const mp_block &b, const unsigned char *cur,
                                    const unsigned char *end) {
    const size_t avail = size_t(end - cur);
    if (const void *hit = memmem(cur, avail, b.lf_delimiter.data, b.lf_delimiter.length))
        return static_cast<const unsigned char *>(hit);
    // Any earlier LF has the delimiter's length after it and did not match.
    const unsigned char *tail = avail > b.delimiter_len ? end - b.delimiter_len : cur;
    return static_cast<const unsigned char *>(std::memchr(tail, '\n', size_t(end - tail)));
}

// The first LF within the next `near_window` bytes, else next_candidate beyond them. Small
// parts (form fields) end within a few dozen bytes: one memchr finds the LF in front of their
// boundary line for less than memmem's set-up costs.
constexpr size_t near_window = 256;

const unsigned char *near_candidate(const mp_block &b, const unsigned char *cur,
                                    const unsigned char *end) {
    const size_t avail = size_t(end - cur);
    const size_t look = avail < near_window ? avail : near_window;
    if (const void *lf = std::memchr(cur, '\n', look))
        return static_cast<const unsigned char *>(lf);
    return look == avail ? nullptr : next_candidate(b, cur + look, end);
}

// Runs over the rest of the push with nothing held: candidates are decided in place, and only
// one that the push cuts short is copied into the look-behind.
tamsel_status scan_in_place(push_context &c) {
    mp_block &b = c.b;
    const unsigned char *const end = c.in + c.n;
    const unsigned char *run = c.in + c.i; // first byte not yet delivered
    const unsigned char *cur = run;
    bool line_start = b.cand == cand_step::delimiter; // the start of the body
    bool near = true;                                 // the first look is a short one
    for (;;) {
        const unsigned char *start;
        const unsigned char *held;
        if (line_start) {
            line_start = false;
            start = held = cur;
        } else {
            const unsigned char *lf =
                near ? near_candidate(b, cur, end) : next_candidate(b, cur, end);
            near = false;
            if (!lf) {
                const bool final_cr = end > run && end[-1] == '\r';
                TAMSEL_TRY(deliver(c, run, size_t(end - run) - final_cr));
                c.i = c.n;
                b.cand = cand_step::none;
                if (final_cr) {
                    TAMSEL_TRY(hold(b, "\r", 1, c.error));
                    b.cand = cand_step::cr;
                }
                return TAMSEL_STATUS_OK;
            }
            start = lf + 1;
            held = lf > run && lf[-1] == '\r' ? lf - 1 : lf;
        }
        cand_step step = cand_step::delimiter;
        size_t matched = 0, used = 0;
        const verdict v = classify(b, start, size_t(end - start), step, matched, &used);
        if (v == verdict::no) {
            cur = start;
            continue;
        }
        TAMSEL_TRY(deliver(c, run, size_t(held - run)));
        if (v == verdict::more) {
            c.i = c.n;
            TAMSEL_TRY(hold(b, held, size_t(end - held), c.error));
            b.cand = step;
            b.matched = matched;
            return TAMSEL_STATUS_OK;
        }
        c.i = size_t(start + used - c.in);
        return boundary_found(c, v);
    }
}

tamsel_status on_scan(push_context &c) {
    mp_block &b = c.b;
    while (c.i < c.n && b.state == mp_state::body_scan) {
        if (b.roomy_look && b.look.length == 0) {
            TAMSEL_TRY(scan_in_place(c));
            continue;
        }
        if (!b.roomy_look && b.cand == cand_step::none) {
            // Bytes that are no line break go out in runs; line breaks go byte by byte.
            const size_t run = find_line_break(c.in + c.i, c.n - c.i);
            TAMSEL_TRY(deliver(c, c.in + c.i, run));
            c.i += run;
            if (c.i == c.n) break;
        }
        TAMSEL_TRY(scan_byte(c));
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status run(push_context &c) {
    while (c.i < c.n) {
        switch (c.b.state) {
        case mp_state::expect_boundary:
        case mp_state::headers:
            TAMSEL_TRY(on_lines(c));
            break;
        case mp_state::body_sized:
            TAMSEL_TRY(on_sized(c));
            break;
        case mp_state::body_scan:
            TAMSEL_TRY(on_scan(c));
            break;
        case mp_state::epilogue:
            c.i = c.n; // ignored
            break;
        default:
            return fail(c.error, TAMSEL_STATUS_INTERNAL_ERROR, "multipart parser state is invalid");
        }
    }
    return TAMSEL_STATUS_OK;
}

} // namespace

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" {

TAMSEL_API tamsel_status tamsel_multipart_push(tamsel_multipart *parser, const void *bytes,
                                               size_t length,
                                               const tamsel_multipart_callbacks *callbacks,
                                               void *user, tamsel_error *error) {
    if (!parser || (!bytes && length))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "multipart parser and bytes are required");
    mp_block &b = parser->block;
    if (b.call.refuses(error, "multipart parser called from its own callback"))
        return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (b.finished)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "multipart parser is already finished");
    clear_error(error);
    if (length == 0) return TAMSEL_STATUS_OK;
    tamsel_error local;
    tamsel_error *e = error ? error : &local;
    if (!error) clear_error(e);
    push_context c{b, callbacks, user, e, static_cast<const unsigned char *>(bytes), length};
    bool closed = false;
    tamsel_status st = b.call.run([&] { return run(c); },
                                  [&] {
                                      closed = true;
                                      tamsel_multipart_close(parser);
                                  });
    if (closed && st == closed_by_callback) st = TAMSEL_STATUS_OK;
    if (!closed) b.consumed += c.i;
    // A callback that wrote a code and still went on leaves no failure behind.
    if (st == TAMSEL_STATUS_OK && e->code != TAMSEL_STATUS_OK) clear_error(e);
    return st;
}

TAMSEL_API tamsel_status tamsel_multipart_finish(tamsel_multipart *parser,
                                                 const tamsel_multipart_callbacks *callbacks,
                                                 void *user, tamsel_error *error) {
    (void)callbacks;
    (void)user;
    if (!parser) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "multipart parser is required");
    mp_block &b = parser->block;
    if (b.call.refuses(error, "multipart parser called from its own callback"))
        return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (!b.finished && b.state != mp_state::epilogue)
        return fail(error, TAMSEL_STATUS_INVALID_JSON,
                    "multipart stream ended before closing boundary");
    b.finished = true;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

} // extern "C"

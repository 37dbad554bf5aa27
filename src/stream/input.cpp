// The array stream's input: the window and its refills from each kind of input, whitespace,
// and the error record with the stream position.
#include "stream/state.hpp"
#include "text/scan.hpp"

#include <cstdarg>

namespace tamsel::stream {

namespace {

// One refill of the window. The bytes of a result that also says eof come first; the end is
// kept for the next refill. The buffer reader's bytes are taken in place.
fill refill(block &b) {
    if (b.input_ended) return fill::eof;
    tamsel_read_result r = tamsel_default_read_result();
    switch (b.kind) {
    case input_kind::reader: {
        bool eof = false;
        if (b.in_place.refill(b.win, b.pos, b.end, b.avail, &eof)) {
            b.input_ended = eof;
            return fill::byte;
        }
        io::pull_result pr;
        const io::input_position where{b.offset, b.line, b.column};
        tamsel_error e{};
        if (io::pull_reader(b.reader, b.reader_user, b.window, window_size,
                            "array stream read failed", &pr, &e, where) != TAMSEL_STATUS_OK) {
            b.pub.error = e;
            b.status = life::failed;
            return fill::error;
        }
        r.bytes = pr.bytes;
        r.eof = pr.eof;
        r.would_block = pr.would_block;
        break;
    }
    case input_kind::file:
        r = io::read_file_once(b.file, b.window, b.window_cap);
        break;
    case input_kind::fd:
        r = io::read_fd_once(b.fd, b.window, b.window_cap, true);
        break;
    case input_kind::push:
        if (b.final_input) {
            b.input_ended = true;
            return fill::eof;
        }
        return fill::would_block;
    case input_kind::memory:
        b.input_ended = true;
        return fill::eof;
    }
    if (r.error_code) {
        tamsel_error_init(&b.pub.error);
        tamsel__set_error(&b.pub.error, TAMSEL_STATUS_IO_ERROR, b.offset, b.line, b.column,
                          "array stream read failed");
        b.pub.error.system_errno = r.error_code;
        b.status = life::failed;
        return fill::error;
    }
    if (r.eof) b.input_ended = true;
    b.win = b.window;
    b.pos = 0;
    b.end = b.avail = r.bytes;
    if (r.bytes) return fill::byte;
    if (r.would_block) return fill::would_block;
    return r.eof ? fill::eof : fill::byte;
}

} // namespace

fill ensure(block &b) {
    // A FILE* or descriptor that keeps giving nothing without saying why is not waited on for
    // ever (a reader's empty results are counted by pull_reader).
    for (int empty = 0; b.pos >= b.end; ++empty) {
        if (empty == TAMSEL_READER_MAX_EMPTY_READS) {
            raise(b, TAMSEL_STATUS_CALLBACK_FAILED, "reader made no progress");
            return fill::error;
        }
        fill f = refill(b);
        if (f != fill::byte) return f;
    }
    return fill::byte;
}

void consumed_in_place(block &b) {
    bool eof = false;
    b.in_place.cover(b.pos, b.end, &eof);
    if (eof) b.input_ended = true;
}

bool skip_whitespace_run(block &b) {
    // Between items there is mostly nothing (skip_whitespace's own test) or one line feed:
    // that without the scanner.
    if (b.pos < b.end) {
        if (b.win[b.pos] == '\n' && b.pos + 1 < b.end && b.win[b.pos + 1] > ' ') {
            ++b.pos;
            ++b.offset;
            ++b.line;
            b.column = 0;
            return true;
        }
    }
    size_t lines = 0;
    const uint8_t *last_newline = nullptr;
    const uint8_t *q = b.win + b.pos;
    const uint8_t *r = scan::whitespace_run(q, b.win + b.end, &lines, &last_newline);
    const size_t n = static_cast<size_t>(r - q);
    b.offset += n;
    if (lines) {
        b.line += lines;
        b.column = static_cast<size_t>(r - last_newline - 1);
    } else {
        b.column += n;
    }
    b.pos += n;
    return b.pos < b.end;
}

tamsel_stream_result raise(block &b, tamsel_status code, const char *format, ...) {
    char message[TAMSEL_ERROR_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
    va_end(args);
    tamsel_error_init(&b.pub.error);
    tamsel__set_error(&b.pub.error, code, b.offset, b.line, b.column, "%s", message);
    b.status = life::failed;
    return TAMSEL_STREAM_ERROR;
}

tamsel_stream_result raise_from(block &b, tamsel_status code, const tamsel_error &e,
                                const char *fallback) {
    raise(b, code, "%s", e.message[0] ? e.message : fallback);
    b.pub.error.system_errno = e.system_errno;
    return TAMSEL_STREAM_ERROR;
}

tamsel_stream_result finish_with(block &b, tamsel_stream_result r, tamsel_error *error) {
    if (error) *error = b.pub.error;
    return r;
}

} // namespace tamsel::stream

#include "visit/cursor.hpp"
#include "io/internal.hpp"

#include <cerrno>

namespace tamsel::visit {

input_cursor::input_cursor(tamsel_error *error, uint64_t max_total_bytes)
    : error_(error), limit_(max_total_bytes ? max_total_bytes : UINT64_MAX) {}

void input_cursor::open_memory(const void *data, size_t len) {
    source_ = source::memory;
    window_start_ = static_cast<const uint8_t *>(data);
    window_end_ = window_start_ + len;
    cur = window_start_;
    clamp_end();
}

void input_cursor::open_reader(tamsel_reader reader, void *user) {
    source_ = source::reader;
    reader_ = reader;
    reader_user_ = user;
    in_place_.bind(reader, user, buffer_size_);
    cur = end = window_start_ = window_end_ = buffer_;
}

void input_cursor::open_file(FILE *file, read_wording wording) {
    source_ = source::file;
    file_ = file;
    wording_ = wording;
    cur = end = window_start_ = window_end_ = buffer_;
}

void input_cursor::open_fd(int fd, read_wording wording) {
    source_ = source::fd;
    fd_ = fd;
    wording_ = wording;
    cur = end = window_start_ = window_end_ = buffer_;
}

void input_cursor::clamp_end() {
    // base_ never exceeds limit_: bytes are only taken below `end`.
    uint64_t room = limit_ - base_;
    size_t avail = static_cast<size_t>(window_end_ - window_start_);
    end = room < avail ? window_start_ + room : window_end_;
}

tamsel_status input_cursor::fail_here(tamsel_status code, const char *message) {
    uint64_t offset = consumed();
    uint64_t line = line_, line_start = line_start_;
    // Newlines are counted as whitespace is skipped; a failing byte that is itself a newline
    // (inside a string or an escape) starts a line too: line + 1, column 0.
    if (cur > window_start_ && cur[-1] == '\n' && line_start_ != offset) {
        ++line;
        line_start = offset;
    }
    return tamsel__set_error(error_, code, clamp_to_size(offset), clamp_to_size(line),
                             clamp_to_size(offset - line_start), "%s", message);
}

bool input_cursor::fail_read(tamsel_status code, const char *message, int system_errno) {
    if (error_) error_->system_errno = system_errno;
    failure_ = fail_here(code, message);
    state_ = read_failed;
    return false;
}

bool input_cursor::fail_limit() {
    failure_ = fail_here(TAMSEL_STATUS_OVERFLOW, "JSON value exceeds maximum total byte limit");
    state_ = read_failed;
    return false;
}

int input_cursor::get_slow() {
    if (!refill()) return state_;
    return *cur++;
}

bool input_cursor::refill() {
    if (cur < end) return true;
    if (state_) return false;
    if (end < window_end_) {
        // More input is there, but taking it would pass the total-byte limit.
        return fail_limit();
    }
    if (source_ == source::memory || eof_pending_ || !pull()) {
        if (!state_) state_ = end_of_input;
        return false;
    }
    if (cur == end) return fail_limit(); // data arrived, but none of it may be taken
    return true;
}

bool input_cursor::pull() {
    base_ += static_cast<uint64_t>(window_end_ - window_start_);
    window_start_ = window_end_ = cur = end = buffer_;
    size_t got = 0;
    switch (source_) {
    case source::reader: {
        const unsigned char *bytes;
        size_t from, to, avail;
        bool eof = false;
        if (in_place_.refill(bytes, from, to, avail, &eof)) {
            window_start_ = cur = bytes + from;
            window_end_ = bytes + to;
            eof_pending_ = eof;
            clamp_end();
            return true;
        }
        io::pull_result r;
        io::input_position where{clamp_to_size(base_), clamp_to_size(line_),
                                 clamp_to_size(base_ - line_start_)};
        failure_ =
            io::pull_reader(reader_, reader_user_, buffer_, buffer_size_, "reader callback failed",
                            &r, error_, where, TAMSEL_STATUS_CALLBACK_FAILED);
        if (failure_ != TAMSEL_STATUS_OK) {
            state_ = read_failed;
            return false;
        }
        if (r.bytes == 0) {
            if (r.eof) return false;
            return fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader would block", 0);
        }
        got = r.bytes;
        eof_pending_ = r.eof;
        break;
    }
    case source::file:
    case source::fd: {
        // The stock read cores; a failure is worded as the entry points' readers or as a
        // holder's own input.
        tamsel_read_result r = source_ == source::file
                                   ? io::read_file_once(file_, buffer_, buffer_size_)
                                   : io::read_fd_once(fd_, buffer_, buffer_size_);
        if (r.error_code) {
            if (wording_ == read_wording::reader)
                return fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader callback failed",
                                 r.error_code);
            return fail_read(TAMSEL_STATUS_IO_ERROR,
                             source_ == source::file ? "failed to read JSON value stream"
                                                     : "failed to read JSON value fd",
                             r.error_code);
        }
        if (r.bytes == 0) return false;
        got = r.bytes;
        eof_pending_ = r.eof != 0 && source_ == source::file;
        break;
    }
    case source::memory:
        return false;
    }
    window_end_ = buffer_ + got;
    clamp_end();
    return true;
}

} // namespace tamsel::visit

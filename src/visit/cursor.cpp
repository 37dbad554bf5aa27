#include "visit/cursor.hpp"

#include <unistd.h>

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
    cur = end = window_start_ = window_end_ = window_;
}

void input_cursor::open_file(FILE *file, read_wording wording) {
    source_ = source::file;
    file_ = file;
    wording_ = wording;
    cur = end = window_start_ = window_end_ = window_;
}

void input_cursor::open_fd(int fd, read_wording wording) {
    source_ = source::fd;
    fd_ = fd;
    wording_ = wording;
    cur = end = window_start_ = window_end_ = window_;
}

void input_cursor::clamp_end() {
    // base_ never exceeds limit_: bytes are only taken below `end`.
    uint64_t room = limit_ - base_;
    size_t avail = static_cast<size_t>(window_end_ - window_start_);
    end = room < avail ? window_start_ + room : window_end_;
}

tamsel_status input_cursor::fail_here(tamsel_status code, const char *message) {
    uint64_t offset = consumed();
    return tamsel__set_error(error_, code, clamp_to_size(offset), clamp_to_size(line_),
                             clamp_to_size(offset - line_start_), "%s", message);
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
    window_start_ = window_end_ = cur = end = window_;
    size_t got = 0;
    switch (source_) {
    case source::reader: {
        for (int empty = 0;;) {
            tamsel_read_result r = reader_(reader_user_, window_, window_size);
            if (r.error_code)
                return fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader callback failed",
                                 r.error_code);
            if (r.bytes > window_size)
                return fail_read(TAMSEL_STATUS_IO_ERROR, "reader callback failed", EINVAL);
            if (r.bytes) {
                got = r.bytes;
                eof_pending_ = r.eof != 0;
                break;
            }
            if (r.eof) return false;
            if (r.would_block)
                return fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader would block", 0);
            if (++empty >= TAMSEL_READER_MAX_EMPTY_READS)
                return fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader made no progress", 0);
        }
        break;
    }
    case source::file: {
        got = std::fread(window_, 1, window_size, file_);
        if (got == 0) {
            if (std::ferror(file_)) {
                int code = errno ? errno : EIO;
                return wording_ == read_wording::reader
                           ? fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader callback failed",
                                       code)
                           : fail_read(TAMSEL_STATUS_IO_ERROR, "failed to read JSON value stream",
                                       code);
            }
            return false;
        }
        if (got < window_size && std::feof(file_)) eof_pending_ = true;
        break;
    }
    case source::fd: {
        ssize_t n;
        do {
            n = ::read(fd_, window_, window_size);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            int code = errno;
            return wording_ == read_wording::reader
                       ? fail_read(TAMSEL_STATUS_CALLBACK_FAILED, "reader callback failed", code)
                       : fail_read(TAMSEL_STATUS_IO_ERROR, "failed to read JSON value fd", code);
        }
        if (n == 0) return false;
        got = static_cast<size_t>(n);
        break;
    }
    case source::memory:
        return false;
    }
    window_end_ = window_ + got;
    clamp_end();
    return true;
}

} // namespace tamsel::visit

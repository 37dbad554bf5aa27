// The JSON input cursor: one byte source for the walkers, over memory, a reader callback, a
// FILE* or a descriptor. Memory is read in place, and so is the library's own buffer reader
// (each window one read's worth of its bytes, its `pos` moved as the read would move it); the
// other sources fill a 4096-byte window.
//
// The cursor also enforces the total-byte limit and tracks the position of the last byte
// taken (offset, line, column) for error reports. Consumers scan the bytes in [cur, end)
// directly and call refill() when they reach `end`: `end` is already clamped so that taking
// every byte before it stays within the limit.
#pragma once

#include "core/internal.hpp"
#include "io/internal.hpp"

#include <cstdio>

namespace tamsel::visit {

// How a FILE* or descriptor read failure is worded: as the library's stock readers (the
// visit entry points) or as a JSON value holder's own input.
enum class read_wording : uint8_t { reader, holder };

class input_cursor {
  public:
    static constexpr size_t window_size = 4096;
    static constexpr int end_of_input = -1;
    static constexpr int read_failed = -2; // recorded in the error record already

    input_cursor(tamsel_error *error, uint64_t max_total_bytes);
    input_cursor(const input_cursor &) = delete;
    input_cursor &operator=(const input_cursor &) = delete;

    // Reads the non-memory sources through `window` (`size` bytes, kept by the caller for the
    // cursor's life) instead of the 4096 bytes inside the cursor. Call before opening.
    void use_window(uint8_t *window, size_t size) {
        buffer_ = window;
        buffer_size_ = size;
    }

    void open_memory(const void *data, size_t len);
    void open_reader(tamsel_reader reader, void *user);
    void open_file(FILE *file, read_wording wording);
    void open_fd(int fd, read_wording wording);

    // The next byte (0..255), end_of_input or read_failed. The end states are sticky.
    int get() { return cur < end ? *cur++ : get_slow(); }
    // Steps back over the byte the last get() returned (it is still in the window).
    void unget() { --cur; }
    // Called when cur == end: true when more bytes are available, false at the end of the
    // input or on a failure (read error, total-byte limit), whose code state() returns.
    [[nodiscard]] bool refill();
    [[nodiscard]] int state() const { return state_; }
    // The status recorded when state() is read_failed.
    [[nodiscard]] tamsel_status failure() const { return failure_; }

    // Records a newline at `p` (a pointer into the current window) for line counting.
    void newline_at(const uint8_t *p) {
        ++line_;
        line_start_ = base_ + static_cast<uint64_t>(p + 1 - window_start_);
    }
    // Records `count` newlines, the last of them at `last`.
    void newlines(unsigned count, const uint8_t *last) {
        line_ += count;
        line_start_ = base_ + static_cast<uint64_t>(last + 1 - window_start_);
    }
    [[nodiscard]] uint64_t consumed() const {
        return base_ + static_cast<uint64_t>(cur - window_start_);
    }
    // Records `code` at the position of the last byte taken (or after the last byte at the
    // end of the input).
    tamsel_status fail_here(tamsel_status code, const char *message);
    [[nodiscard]] tamsel_error *error() const { return error_; }

    const uint8_t *cur = nullptr;
    const uint8_t *end = nullptr;

  private:
    enum class source : uint8_t { memory, reader, file, fd };

    int get_slow();
    bool pull(); // reads the next window; false at the end or on failure
    void clamp_end();
    bool fail_read(tamsel_status code, const char *message, int system_errno);
    bool fail_limit();

    tamsel_error *error_;
    uint64_t limit_;    // total bytes allowed, UINT64_MAX when unlimited
    uint64_t base_ = 0; // bytes before window_start_
    uint64_t line_ = 1;
    uint64_t line_start_ = 0; // offset of the first byte of the current line
    const uint8_t *window_start_ = nullptr;
    const uint8_t *window_end_ = nullptr; // real end of the available bytes
    int state_ = 0;
    tamsel_status failure_ = TAMSEL_STATUS_OK;
    bool eof_pending_ = false; // the source reported its end together with data
    source source_ = source::memory;
    read_wording wording_ = read_wording::reader;
    tamsel_reader reader_ = nullptr;
    void *reader_user_ = nullptr;
    io::in_place_reads in_place_;
    FILE *file_ = nullptr;
    int fd_ = -1;
    uint8_t *buffer_ = window_; // where reads land: window_ or the caller's window
    size_t buffer_size_ = window_size;
    alignas(16) uint8_t window_[window_size];
};

} // namespace tamsel::visit

// Output helpers for producers of JSON text: the byte window every writer of JSON text fills,
// a buffered sink that hands pieces to a caller's sink in runs, and an appender that grows an
// owned block (stored values and captures).
#pragma once

#include "core/internal.hpp"

#include <cstring>

namespace tamsel::io {

// A window of bytes that producers of JSON text write into. Each put() is one piece of the
// text; the fast path copies it into the window, and a piece that does not fit goes whole to
// the owner's overflow(), which drains the window (to a sink, a growing block, a caller
// buffer, a counter) and decides what becomes of the piece. Emitters that format in place
// may write up to room() bytes at window() and commit them with advance(); a piece that fits
// there would also have fitted through put(), so both routes give the owner the same pieces.
//
// Owners latch their first failure: they leave no room in the window, so every later
// non-empty put() reaches overflow() and returns the latched status.
class byte_output {
  public:
    byte_output(const byte_output &) = delete;
    byte_output &operator=(const byte_output &) = delete;

    [[nodiscard]] [[gnu::always_inline]] tamsel_status put(const void *data, size_t n) {
        if (n <= room()) {
            copy(pos_, data, n);
            pos_ += n;
            return TAMSEL_STATUS_OK;
        }
        return overflow(data, n);
    }
    [[nodiscard]] [[gnu::always_inline]] tamsel_status put(char c) {
        if (pos_ != end_) {
            *pos_++ = static_cast<unsigned char>(c);
            return TAMSEL_STATUS_OK;
        }
        return overflow(&c, 1);
    }
    // Always inlined, like put(): an out-of-line copy of these could be picked up from a
    // translation unit built with RTTI checks and applied to objects built without.
    [[nodiscard]] [[gnu::always_inline]] size_t room() const {
        return static_cast<size_t>(end_ - pos_);
    }
    [[nodiscard]] [[gnu::always_inline]] unsigned char *window() const { return pos_; }
    [[gnu::always_inline]] void advance(size_t n) { pos_ += n; }

    // Most pieces are a few bytes: fixed-size copies (overlapping at the ends) instead of a
    // call to memcpy.
    [[gnu::always_inline]] static void copy(unsigned char *to, const void *from, size_t n) {
        const auto *f = static_cast<const unsigned char *>(from);
        if (n >= 8 && n <= 16) {
            std::memcpy(to, f, 8);
            std::memcpy(to + n - 8, f + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(to, f, 4);
            std::memcpy(to + n - 4, f + n - 4, 4);
        } else if (n < 4) {
            if (n) {
                to[0] = f[0];
                to[n / 2] = f[n / 2];
                to[n - 1] = f[n - 1];
            }
        } else {
            std::memcpy(to, f, n);
        }
    }

  protected:
    byte_output() = default;
    ~byte_output() = default;
    // Takes a piece of `n` bytes that does not fit the room left. Returns OK or a failure.
    [[nodiscard]] virtual tamsel_status overflow(const void *data, size_t n) = 0;

    unsigned char *pos_ = nullptr;
    unsigned char *end_ = nullptr;
};

// Gathers small pieces in a 4 KiB buffer; pieces of a buffer's size or more go straight
// through after a flush. A sink's TRUNCATED is remembered and writing goes on; any other
// non-OK status is returned and latched, so nothing more reaches the sink.
class buffered_sink final : public byte_output {
  public:
    static constexpr size_t capacity = 4096;

    buffered_sink(tamsel_sink sink, void *user, tamsel_error *error)
        : sink_(sink), user_(user), error_(error) {
        pos_ = buf_;
        end_ = buf_ + capacity;
    }

    [[nodiscard]] tamsel_status flush() {
        if (failed_) return failed_;
        size_t n = static_cast<size_t>(pos_ - buf_);
        if (!n) return TAMSEL_STATUS_OK;
        pos_ = buf_;
        return deliver(buf_, n);
    }
    // OK, or TRUNCATED when the sink truncated anything.
    [[nodiscard]] tamsel_status result() const {
        return failed_ ? failed_ : truncated_ ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
    }

    // Ends a run whose status is `st`: what was made reaches the sink either way, and a failure
    // keeps its own record; then a failing flush, then a sink's truncation (as status 7 with
    // `truncated_message`).
    [[nodiscard]] tamsel_status settle(tamsel_status st, const char *truncated_message) {
        tamsel_error first{};
        if (st != TAMSEL_STATUS_OK && error_) first = *error_;
        const tamsel_status flushed = flush();
        if (st != TAMSEL_STATUS_OK) {
            if (error_) *error_ = first;
            return st;
        }
        if (flushed != TAMSEL_STATUS_OK) return flushed;
        if (!truncated_) return TAMSEL_STATUS_OK;
        fail(error_, TAMSEL_STATUS_TRUNCATED, "%s", truncated_message);
        if (error_) error_->truncated = 1;
        return TAMSEL_STATUS_TRUNCATED;
    }

  private:
    tamsel_status overflow(const void *data, size_t n) override {
        TAMSEL_TRY(flush());
        if (n >= capacity) return deliver(data, n);
        std::memcpy(buf_, data, n);
        pos_ = buf_ + n;
        return TAMSEL_STATUS_OK;
    }
    tamsel_status deliver(const void *data, size_t n) {
        tamsel_status st = sink_(user_, data, n, error_);
        if (st == TAMSEL_STATUS_TRUNCATED) {
            truncated_ = true;
            return TAMSEL_STATUS_OK;
        }
        if (st != TAMSEL_STATUS_OK) {
            failed_ = st;
            pos_ = end_ = buf_;
        }
        return st;
    }

    tamsel_sink sink_;
    void *user_;
    tamsel_error *error_;
    tamsel_status failed_ = TAMSEL_STATUS_OK;
    bool truncated_ = false;
    unsigned char buf_[capacity];
};

// Appends to an owned, NUL-terminated block that starts at 64 bytes and doubles.
class block_appender {
  public:
    block_appender(const tamsel_allocator *allocator, tamsel_error *error,
                   const char *failure_message)
        : allocator_(allocator), error_(error), message_(failure_message) {}
    ~block_appender() { owned_free(data_); }
    block_appender(const block_appender &) = delete;
    block_appender &operator=(const block_appender &) = delete;

    [[nodiscard]] tamsel_status put(const void *data, size_t n) {
        size_t need;
        if (!checked_add(len_, n, &need) || !checked_add(need, 1, &need))
            return fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED, "%s", message_);
        if (need > capacity_) {
            size_t grown;
            if (!grow_capacity(capacity_, need, 64, SIZE_MAX - alloc_header_size, &grown))
                return fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED, "%s", message_);
            void *p = data_ ? owned_realloc(nullptr, data_, grown) : owned_alloc(allocator_, grown);
            if (!p) return fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED, "%s", message_);
            data_ = static_cast<char *>(p);
            capacity_ = grown;
        }
        std::memcpy(data_ + len_, data, n);
        len_ += n;
        data_[len_] = '\0';
        return TAMSEL_STATUS_OK;
    }
    [[nodiscard]] tamsel_status put(char c) { return put(&c, 1); }
    [[nodiscard]] tamsel_status flush() { return TAMSEL_STATUS_OK; }
    [[nodiscard]] tamsel_status result() const { return TAMSEL_STATUS_OK; }

    [[nodiscard]] size_t size() const { return len_; }
    // Hands the block over (an empty text still gets a block holding the NUL).
    [[nodiscard]] char *release() {
        if (!data_ && put("", 0) != TAMSEL_STATUS_OK) return nullptr;
        capacity_ = len_ = 0;
        return std::exchange(data_, nullptr);
    }

  private:
    const tamsel_allocator *allocator_;
    tamsel_error *error_;
    const char *message_;
    char *data_ = nullptr;
    size_t len_ = 0;
    size_t capacity_ = 0;
};

} // namespace tamsel::io

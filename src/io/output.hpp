// Output helpers for producers of JSON text: a buffered sink that hands pieces to a caller's
// sink in runs, and an appender that grows an owned block (stored values and captures).
#pragma once

#include "core/internal.hpp"

#include <cstring>

namespace tamsel::io {

// Gathers small pieces in a 4 KiB buffer; pieces of a buffer's size or more go straight
// through after a flush. A sink's TRUNCATED is remembered and writing goes on; any other
// non-OK status is returned and latched, so nothing more reaches the sink.
class buffered_sink {
  public:
    static constexpr size_t capacity = 4096;

    buffered_sink(tamsel_sink sink, void *user, tamsel_error *error)
        : sink_(sink), user_(user), error_(error) {}
    buffered_sink(const buffered_sink &) = delete;
    buffered_sink &operator=(const buffered_sink &) = delete;

    [[nodiscard]] tamsel_status put(const void *data, size_t n) {
        if (failed_) return failed_;
        if (n <= capacity - len_) {
            std::memcpy(buf_ + len_, data, n);
            len_ += n;
            return TAMSEL_STATUS_OK;
        }
        TAMSEL_TRY(flush());
        if (n >= capacity) return deliver(data, n);
        std::memcpy(buf_, data, n);
        len_ = n;
        return TAMSEL_STATUS_OK;
    }
    [[nodiscard]] tamsel_status put(char c) { return put(&c, 1); }
    [[nodiscard]] tamsel_status flush() {
        if (failed_) return failed_;
        if (!len_) return TAMSEL_STATUS_OK;
        size_t n = len_;
        len_ = 0;
        return deliver(buf_, n);
    }
    // OK, or TRUNCATED when the sink truncated anything.
    [[nodiscard]] tamsel_status result() const {
        return failed_ ? failed_ : truncated_ ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
    }

  private:
    tamsel_status deliver(const void *data, size_t n) {
        tamsel_status st = sink_(user_, data, n, error_);
        if (st == TAMSEL_STATUS_TRUNCATED) {
            truncated_ = true;
            return TAMSEL_STATUS_OK;
        }
        if (st != TAMSEL_STATUS_OK) failed_ = st;
        return st;
    }

    tamsel_sink sink_;
    void *user_;
    tamsel_error *error_;
    size_t len_ = 0;
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

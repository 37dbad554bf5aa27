// The output windows of the serialize entry points: a caller buffer, a growing buffer, a
// counter. The fast path of every put() is the window's memcpy; these decide what happens to
// a piece that does not fit.
#include "serialize/internal.hpp"

#include <cstring>

namespace tamsel::serialize {

namespace {

size_t saturating_add(size_t a, size_t b) {
    size_t out;
    return checked_add(a, b, &out) ? out : SIZE_MAX;
}

} // namespace

// ---- caller buffer ----------------------------------------------------------------------------

caller_buffer_output::caller_buffer_output(char *buffer, size_t capacity, uint32_t policy,
                                           tamsel_error *error)
    : start_(reinterpret_cast<unsigned char *>(buffer)), policy_(policy), error_(error) {
    pos_ = start_;
    end_ = start_ + capacity - 1;
}

size_t caller_buffer_output::needed() const {
    switch (mode_) {
    case mode::filling:
        return used();
    case mode::counting:
        return saturating_add(saturating_add(written_, discarded_),
                              static_cast<size_t>(pos_ - scratch_));
    case mode::failed:
        return saturating_add(written_, discarded_);
    }
    return written_;
}

tamsel_status caller_buffer_output::overflow(const void *data, size_t n) {
    switch (mode_) {
    case mode::failed:
        return failed_;
    case mode::counting:
        // Past the end of the caller's buffer the document is only counted.
        discarded_ = saturating_add(discarded_, static_cast<size_t>(pos_ - scratch_));
        pos_ = scratch_;
        if (n <= scratch_size) {
            std::memcpy(pos_, data, n);
            pos_ += n;
        } else {
            discarded_ = saturating_add(discarded_, n);
        }
        return TAMSEL_STATUS_OK;
    case mode::filling:
        break;
    }
    truncated_ = true;
    written_ = used();
    if (policy_ == 0) {
        // The piece is not copied at all; the needed length stops with it.
        discarded_ = n;
        mode_ = mode::failed;
        pos_ = end_ = scratch_;
        failed_ = fail(error_, TAMSEL_STATUS_OVERFLOW, "output buffer too small");
        return failed_;
    }
    const size_t fits = static_cast<size_t>(end_ - pos_);
    if (fits) std::memcpy(pos_, data, fits);
    written_ += fits;
    discarded_ = n - fits;
    mode_ = mode::counting;
    pos_ = scratch_;
    end_ = scratch_ + scratch_size;
    return TAMSEL_STATUS_OK;
}

// ---- growing buffer ---------------------------------------------------------------------------

growing_output::growing_output(const tamsel_allocator &allocator, uint64_t limit,
                               tamsel_error *error)
    : allocator_(allocator), limit_(clamp_to_size(limit)), error_(error) {
    // The capacity never needs to pass limit + 1 (the length plus its NUL); where limit + 1
    // does not exist, the largest size is the cap.
    if (!checked_add(limit_, 1, &capacity_limit_)) capacity_limit_ = SIZE_MAX;
}

growing_output::~growing_output() {
    if (data_) raw_free(allocator_, data_, capacity_);
}

char *growing_output::release() {
    if (!data_) return nullptr;
    *pos_ = '\0';
    unsigned char *d = std::exchange(data_, nullptr);
    pos_ = end_ = nullptr;
    capacity_ = 0;
    return reinterpret_cast<char *>(d);
}

tamsel_status growing_output::overflow(const void *data, size_t n) {
    if (failed_) return failed_;
    const size_t len = length();
    size_t new_len;
    if (!checked_add(len, n, &new_len) || new_len == SIZE_MAX) {
        end_ = pos_;
        return failed_ = fail(error_, TAMSEL_STATUS_OVERFLOW, "output buffer too large");
    }
    if (new_len > limit_) {
        end_ = pos_;
        return failed_ = fail(error_, TAMSEL_STATUS_OVERFLOW,
                              "serializer-owned output exceeds max_output_bytes");
    }
    if (new_len >= capacity_) {
        size_t cap = capacity_ ? capacity_ : initial_capacity;
        while (cap <= new_len) {
            if (cap > SIZE_MAX / 2) {
                cap = new_len + 1;
                break;
            }
            cap *= 2;
        }
        if (cap > capacity_limit_) cap = capacity_limit_; // still above new_len: it is <= limit
        void *grown = raw_realloc(allocator_, data_, capacity_, cap);
        if (!grown) {
            end_ = pos_;
            return failed_ = fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED,
                                  "failed to grow output buffer");
        }
        data_ = static_cast<unsigned char *>(grown);
        capacity_ = cap;
        pos_ = data_ + len;
        end_ = data_ + cap - 1; // one byte always kept for the NUL
    }
    std::memcpy(pos_, data, n);
    pos_ += n;
    return TAMSEL_STATUS_OK;
}

// ---- counter ----------------------------------------------------------------------------------

counting_output::counting_output(tamsel_error *error) : error_(error) {
    pos_ = scratch_;
    end_ = scratch_ + scratch_size;
}

tamsel_status counting_output::add(uint64_t n) {
    if (__builtin_add_overflow(total_, n, &total_)) {
        pos_ = end_ = scratch_;
        return failed_ = fail(error_, TAMSEL_STATUS_OVERFLOW,
                              "serialized output is too large to measure");
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status counting_output::overflow(const void *data, size_t n) {
    if (failed_) return failed_;
    const size_t used = static_cast<size_t>(pos_ - scratch_);
    pos_ = scratch_;
    TAMSEL_TRY(add(used));
    if (n > scratch_size) return add(n);
    std::memcpy(pos_, data, n);
    pos_ += n;
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::serialize

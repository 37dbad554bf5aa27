// The bounded byte buffer shared by the framing parsers, the array stream and the rewriters.
#include "io/internal.hpp"

#include <cstring>

namespace tamsel::io {

namespace {
constexpr size_t initial_capacity = 64;
}

tamsel_status byte_append_grow(byte_buffer &b, const void *bytes, size_t n, size_t limit,
                               const tamsel_allocator &allocator, tamsel_error *error) {
    size_t length;
    if (!checked_add(b.length, n, &length) || length == std::numeric_limits<size_t>::max())
        return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
    if (length > limit) return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer limit exceeded");
    if (length >= b.capacity) {
        // The buffer needs length + 1 bytes; the cap keeps it within limit + 1.
        const size_t cap_limit = limit < std::numeric_limits<size_t>::max() ? limit + 1 : limit;
        size_t capacity = b.capacity ? b.capacity : initial_capacity;
        while (capacity <= length && capacity <= cap_limit / 2)
            capacity *= 2;
        if (capacity <= length || capacity > cap_limit) capacity = cap_limit;
        void *grown = raw_realloc(allocator, b.data, b.capacity, capacity);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate framing buffer");
        b.data = static_cast<char *>(grown);
        b.capacity = capacity;
    }
    if (n) std::memcpy(b.data + b.length, bytes, n);
    b.length = length;
    b.data[length] = '\0';
    return TAMSEL_STATUS_OK;
}

void byte_buffer_free(byte_buffer &b, const tamsel_allocator &allocator) noexcept {
    raw_free(allocator, b.data, b.capacity);
    b = byte_buffer{};
}

} // namespace tamsel::io

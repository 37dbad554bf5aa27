// The owned output buffer: a growable NUL-terminated byte buffer with its own allocator.
//
// The block carries no allocation header; its size for statistics is `capacity`. Growth and
// free are counted in the embedded `stats` whenever it is set, whatever the callbacks, so the
// two always balance.
#include "io/internal.hpp"

#include <cstring>

namespace {

constexpr size_t initial_capacity = 64;

// The embedded allocator resolved for use, with the buffer's own stats kept even when the
// callbacks select the process allocator. False for a partial allocator.
bool buffer_allocator(const tamsel_owned_buffer &b, tamsel_allocator *out) {
    if (!tamsel::resolve_allocator(&b.allocator, out)) return false;
    out->stats = b.allocator.stats;
    return true;
}

} // namespace

extern "C" void tamsel_owned_buffer_init(tamsel_owned_buffer *buffer) {
    if (buffer) *buffer = tamsel_default_owned_buffer();
}

extern "C" tamsel_owned_buffer tamsel_default_owned_buffer(void) {
    tamsel_owned_buffer b;
    b.data = nullptr;
    b.len = 0;
    b.capacity = 0;
    b.allocator = tamsel_default_allocator();
    return b;
}

namespace {

// Every append that the block cannot take as it is: argument and allocator checks, growth.
[[gnu::noinline]] tamsel_status append_slowly(tamsel_owned_buffer *b, const void *data, size_t len,
                                              tamsel_error *error) {
    using namespace tamsel;
    if (!b || (!data && len > 0))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "owned buffer sink arguments are invalid");
    if (len == 0) return TAMSEL_STATUS_OK;
    tamsel_allocator alloc;
    if (!buffer_allocator(*b, &alloc))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "allocator must provide either all callbacks or none");
    // A buffer without a block holds nothing, whatever its counters say.
    const size_t used = b->data ? b->len : 0;
    const size_t capacity = b->data ? b->capacity : 0;
    size_t need;
    if (!checked_add(used, len, &need) || !checked_add(need, 1, &need))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "owned buffer sink size overflow");
    if (capacity < need) {
        size_t next = capacity ? capacity : initial_capacity;
        while (next < need) {
            if (!checked_mul(next, 2, &next)) {
                next = need;
                break;
            }
        }
        size_t self_offset = 0;
        const bool from_self = io::offset_within(data, b->data, capacity, &self_offset);
        void *grown = raw_realloc(alloc, b->data, capacity, next);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow owned buffer sink");
        b->data = static_cast<char *>(grown);
        b->capacity = next;
        if (from_self) data = b->data + self_offset; // the bytes moved with the block
    }
    std::memmove(b->data + used, data, len);
    b->len = used + len;
    b->data[b->len] = '\0';
    return TAMSEL_STATUS_OK;
}

} // namespace

extern "C" tamsel_status tamsel_owned_buffer_sink(void *user_data, const void *data, size_t len,
                                                  tamsel_error *error) {
    auto *b = static_cast<tamsel_owned_buffer *>(user_data);
    // Most appends fit the block: a room check and a copy, with the allocator still held to
    // all-or-none as when the block grows. Everything else is the slow path's.
    if (b && data && b->data && b->len < b->capacity && len < b->capacity - b->len) {
        const tamsel_allocator &a = b->allocator;
        const bool none = !a.malloc && !a.realloc && !a.free;
        if (none || (a.malloc && a.realloc && a.free)) {
            if (len <= 16)
                tamsel::io::move_short(b->data + b->len, data, len);
            else
                std::memmove(b->data + b->len, data, len);
            b->len += len;
            b->data[b->len] = '\0';
            return TAMSEL_STATUS_OK;
        }
    }
    return append_slowly(b, data, len, error);
}

extern "C" void tamsel_owned_buffer_free(tamsel_owned_buffer *buffer) {
    if (!buffer) return;
    if (buffer->data) {
        tamsel_allocator alloc;
        if (!buffer_allocator(*buffer, &alloc)) {
            // Only the free callback matters here; without one the block came from the
            // process allocator.
            alloc = tamsel_default_allocator();
            if (buffer->allocator.free) {
                alloc.free = buffer->allocator.free;
                alloc.user_data = buffer->allocator.user_data;
            }
            alloc.stats = buffer->allocator.stats;
        }
        tamsel::raw_free(alloc, buffer->data, buffer->capacity);
    }
    *buffer = tamsel_default_owned_buffer();
}

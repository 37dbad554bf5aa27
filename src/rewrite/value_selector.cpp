// Selector strings of the value rewrite: `a.b\.c` is the two segments "a" and "b.c".
#include "rewrite/internal.hpp"

namespace tamsel::rewrite {

value_selector::~value_selector() {
    for (size_t i = 0; i < count_; ++i)
        owned_free(segments_[i]);
    owned_free(segments_);
}

tamsel_status value_selector::push(const char *text, size_t len, tamsel_error *error) {
    if (count_ == capacity_) {
        size_t cap = capacity_ ? 0 : 4, bytes = 0;
        if (capacity_ && !checked_mul(capacity_, 2, &cap))
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate value rewrite selector");
        if (!checked_mul(cap, sizeof(char *), &bytes))
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate value rewrite selector");
        void *grown = owned_realloc(&allocator_, segments_, bytes);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate value rewrite selector");
        segments_ = static_cast<char **>(grown);
        capacity_ = cap;
    }
    char *copy = owned_strndup(&allocator_, text ? text : "", len);
    if (!copy)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate value rewrite selector segment");
    segments_[count_++] = copy;
    return TAMSEL_STATUS_OK;
}

tamsel_status value_selector::parse(const char *selector, const tamsel_allocator &allocator,
                                    tamsel_error *error) {
    allocator_ = allocator;
    if (!selector || !*selector) return TAMSEL_STATUS_OK;
    io::byte_buffer segment;
    struct freer {
        io::byte_buffer &b;
        const tamsel_allocator &a;
        ~freer() { io::byte_buffer_free(b, a); }
    } guard{segment, allocator};
    const char *p = selector;
    for (;;) {
        // The run up to the next dot or backslash goes in one append.
        const char *run = p;
        while (*p && *p != '.' && *p != '\\')
            ++p;
        if (p > run)
            TAMSEL_TRY(io::byte_append(segment, run, static_cast<size_t>(p - run),
                                       io::byte_buffer_no_limit, allocator, error));
        if (*p == '\\') {
            if (!p[1])
                return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "value rewrite selector ends with an escape");
            TAMSEL_TRY(
                io::byte_append(segment, p + 1, 1, io::byte_buffer_no_limit, allocator, error));
            p += 2;
            continue;
        }
        // A dot or the end closes the segment (an escaped character counts as content).
        if (segment.length == 0)
            return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                        "value rewrite selector contains empty segment");
        TAMSEL_TRY(push(segment.data, segment.length, error));
        io::byte_clear(segment);
        if (!*p) return TAMSEL_STATUS_OK;
        ++p;
    }
}

} // namespace tamsel::rewrite

// Selector strings: splitting at unescaped dots, and the index a segment names.
#include "text/selector.hpp"
#include "io/internal.hpp"

namespace tamsel::text {

selector::~selector() {
    for (size_t i = 0; i < count_; ++i)
        owned_free(segments_[i]);
    owned_free(segments_);
}

tamsel_status selector::push(const char *text, size_t len, const char *what, tamsel_error *error) {
    if (count_ == capacity_) {
        size_t cap = capacity_ ? 0 : 4, bytes = 0;
        if ((capacity_ && !checked_mul(capacity_, 2, &cap)) ||
            !checked_mul(cap, sizeof(char *), &bytes))
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate %s", what);
        void *grown = owned_realloc(&allocator_, segments_, bytes);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate %s", what);
        segments_ = static_cast<char **>(grown);
        capacity_ = cap;
    }
    char *copy = owned_strndup(&allocator_, text ? text : "", len);
    if (!copy)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate %s segment", what);
    segments_[count_++] = copy;
    return TAMSEL_STATUS_OK;
}

tamsel_status selector::parse(const char *text, const tamsel_allocator &allocator, const char *what,
                              tamsel_error *error) {
    allocator_ = allocator;
    if (!text || !*text) return TAMSEL_STATUS_OK;
    io::byte_buffer segment;
    struct freer {
        io::byte_buffer &b;
        const tamsel_allocator &a;
        ~freer() { io::byte_buffer_free(b, a); }
    } guard{segment, allocator};
    const char *p = text;
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
                return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s ends with an escape", what);
            TAMSEL_TRY(
                io::byte_append(segment, p + 1, 1, io::byte_buffer_no_limit, allocator, error));
            p += 2;
            continue;
        }
        // A dot or the end closes the segment (an escaped character counts as content).
        if (segment.length == 0)
            return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s contains empty segment", what);
        TAMSEL_TRY(push(segment.data, segment.length, what, error));
        io::byte_clear(segment);
        if (!*p) return TAMSEL_STATUS_OK;
        ++p;
    }
}

bool segment_index(const char *segment, size_t len, uint64_t *index) {
    if (len == 0 || len > 20 || (len > 1 && segment[0] == '0')) return false;
    size_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        const char c = segment[i];
        if (c < '0' || c > '9') return false;
        if (!checked_mul(v, 10, &v) || !checked_add(v, static_cast<size_t>(c - '0'), &v))
            return false;
    }
    *index = v;
    return true;
}

} // namespace tamsel::text

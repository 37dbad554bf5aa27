// Selector strings: a path of member names (and array indices) written as one string, split at
// unescaped dots; a backslash makes the next character literal. `a.b\.c` is the two segments
// "a" and "b.c". The value rewrite and the array stream's selector openers read paths this way.
#pragma once

#include "core/internal.hpp"

namespace tamsel::text {

// A selector split into segments, each an owned NUL-terminated copy.
class selector {
  public:
    selector() = default;
    selector(const selector &) = delete;
    selector &operator=(const selector &) = delete;
    ~selector();

    // Splits `text` (NULL or "" gives no segments). `what` names the selector in messages:
    // status 1 "<what> ends with an escape" or "<what> contains empty segment"; status 8
    // "failed to allocate <what>" or "failed to allocate <what> segment".
    [[nodiscard]] tamsel_status parse(const char *text, const tamsel_allocator &allocator,
                                      const char *what, tamsel_error *error);
    [[nodiscard]] const char *const *segments() const { return segments_; }
    [[nodiscard]] size_t count() const { return count_; }

  private:
    [[nodiscard]] tamsel_status push(const char *text, size_t len, const char *what,
                                     tamsel_error *error);
    tamsel_allocator allocator_{};
    char **segments_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// The element index a segment names: canonical decimal ("0", "7", never "07" or "+7"), so that
// it matches exactly when the index written in decimal equals the segment. False otherwise.
[[nodiscard]] bool segment_index(const char *segment, size_t len, uint64_t *index);

} // namespace tamsel::text

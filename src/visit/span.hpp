// The span engine's copier: what one walk keeps for copying values (the nesting stack, the
// buffer of numbers cut by a window's end), shared by the whole-value doors and the driven
// walker. The copying itself is in span.cpp.
#pragma once

#include "visit/internal.hpp"

namespace tamsel::visit {

// The state of the copies of one walk.
struct copy_state {
    static constexpr size_t inline_words = 8; // 512 levels inline, one bit each

    copy_state(input_cursor &cursor, const tamsel_value_limits &limits,
               const tamsel_allocator &allocator, const span_copy &copy, bool utf8_check)
        : cursor(cursor), limits(effective_limits(limits)), allocator(allocator), copy(copy),
          utf8_check(utf8_check), max_number(clamp_to_size(this->limits.max_number_bytes)),
          number(allocator) {}
    ~copy_state() {
        if (stack != inline_stack) raw_free(allocator, stack, stack_words * sizeof(uint64_t));
    }
    copy_state(const copy_state &) = delete;
    copy_state &operator=(const copy_state &) = delete;

    input_cursor &cursor;
    const tamsel_value_limits limits; // effective
    const tamsel_allocator &allocator;
    const span_copy &copy; // the driver's: it may point `out` elsewhere between values
    const bool utf8_check;
    const size_t max_number;

    // Open containers, one bit each (set: an object), innermost highest.
    uint64_t *stack = inline_stack;
    size_t stack_words = inline_words;
    uint64_t inline_stack[inline_words];

    number_text number;
};

// Copies the value whose first byte `first` was just taken from the cursor into `state.copy.out`
// (`emit`) or only checks it, `depth` containers deep (for the depth limit). On success the
// cursor stands after the value and everything of it has been handed to the output.
[[nodiscard]] tamsel_status copy_value(copy_state &state, int first, size_t depth, bool emit);

// The first byte at or after the cursor that is not whitespace (newlines counted), or the
// cursor's end state.
[[nodiscard]] int next_significant(input_cursor &cursor);

// The bytes that start a value.
[[nodiscard]] inline bool starts_value(int c) {
    switch (c) {
    case '"':
    case '-':
    case '0' ... '9':
    case 't':
    case 'f':
    case 'n':
    case '[':
    case '{':
        return true;
    default:
        return false;
    }
}

} // namespace tamsel::visit

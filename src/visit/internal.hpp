// Value visiting: what other subsystems may call.
#pragma once

#include "core/internal.hpp"
#include "visit/cursor.hpp"

namespace tamsel::visit {

// Limits as the walker applies them: zeros in the first four members take their defaults.
[[nodiscard]] tamsel_value_limits effective_limits(const tamsel_value_limits &limits);

// Walks exactly one JSON value from `cursor`, reporting it to `visitor`. `allocator` must be
// resolved (it serves the nesting stack beyond its inline part and long number tokens).
// `trailing_message` is the failure recorded when more than whitespace follows the value.
// With `utf8_check`, strings and keys must be well-formed UTF-8 (status 2 "invalid UTF-8 in
// string" or "... in key" at the first bad byte).
// Returns the root value's last callback status (OK or TRUNCATED), a callback's failing
// status unchanged, or the failure recorded in the cursor's error record.
[[nodiscard]] tamsel_status walk_value(input_cursor &cursor, const tamsel_value_limits &limits,
                                       const tamsel_allocator &allocator,
                                       const tamsel_value_visitor &visitor, void *user,
                                       const char *trailing_message, bool utf8_check);

// The same walk with strings passed through as written (escapes checked but not decoded, so
// surrogates are not paired) and no value limits: the reading half of the transcoder.
[[nodiscard]] tamsel_status walk_raw_value(input_cursor &cursor, const tamsel_allocator &allocator,
                                           const tamsel_value_visitor &visitor, void *user,
                                           const char *trailing_message);

} // namespace tamsel::visit

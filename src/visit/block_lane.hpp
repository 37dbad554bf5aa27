// The block lane: the check-only span engine's fast pass over a stretch of its window. The
// quotes, backslashes and control bytes of 64 bytes at a time are classified into bit masks, so
// a string's closing quote is the next bit of one mask and its body is read no more when no
// other bit lies between; whitespace between tokens is stepped over with its newlines counted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel::visit {

// The walk's state, as the copier keeps it: the open containers (one bit each, set for an
// object, innermost highest), whether the innermost one has no member yet, and whether it is
// an object.
struct lane_walk {
    size_t depth;
    bool first;
    bool in_object;
    uint64_t *stack;
    size_t stack_words;
};

// What the lane may take: tokens within these limits only.
struct lane_limits {
    uint64_t max_key;
    uint64_t max_string;
    size_t max_number;
    size_t max_depth; // containers open at once, `base` of them outside the walk
    size_t base;
    bool utf8_check;
};

// Takes the valid tokens from p (a token boundary inside a container) as the copier's token
// steps would, up to at most e, and stops in front of anything else (a fault, a limit about to
// be met, a token not whole in [p, e), a close of the last container: after it). Returns where
// it stopped, at a token boundary, with `walk` as it stands there and the newlines it stepped
// over counted into `*lines`, the last of them at `*last_newline` (unchanged when none). It
// never fails: every fault is left in front of it for the token steps to report.
const uint8_t *block_lane(const uint8_t *p, const uint8_t *e, lane_walk &walk,
                          const lane_limits &limits, size_t *lines, const uint8_t **last_newline);

} // namespace tamsel::visit

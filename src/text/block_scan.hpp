// The block scanner: searches over runs of input bytes, written once per instruction set and
// chosen at run time from what the processor supports. A kernel classifies 64 bytes a step
// into bit masks; between calls it keeps nothing, so a parser resuming at any byte needs no
// scanner state of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tamsel::scan {

constexpr std::array<uint8_t, 256> make_string_stops() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c)
        t[c] = 1;
    t['"'] = 1;
    t['\\'] = 1;
    return t;
}
// Bytes that end a run of plain string bytes.
inline constexpr auto string_stops = make_string_stops();
static_assert(string_stops['"'] == 1 && string_stops['\\'] == 1 && string_stops[0x1F] == 1 &&
              string_stops[0] == 1);
static_assert(!string_stops[0x7F] && !string_stops[0x80] && !string_stops[' ']);

// The byte-at-a-time searches: the portable kernel, and the tails of the vector ones.
inline const uint8_t *string_end_bytes(const uint8_t *p, const uint8_t *e) {
    while (p < e && !string_stops[*p])
        ++p;
    return p;
}

// The same search stopping at a byte that is not ASCII as well.
inline const uint8_t *ascii_string_end_bytes(const uint8_t *p, const uint8_t *e) {
    while (p < e && !string_stops[*p] && *p < 0x80)
        ++p;
    return p;
}

inline const uint8_t *space_end_bytes(const uint8_t *p, const uint8_t *e, size_t *lines,
                                      const uint8_t **last_newline) {
    for (; p < e; ++p) {
        const uint8_t b = *p;
        if (b == '\n') {
            ++*lines;
            *last_newline = p;
        } else if (b != ' ' && b != '\t' && b != '\r') {
            break;
        }
    }
    return p;
}

struct kernel {
    const char *name;
    // The first byte in [p, e) that ends a run of plain string bytes ('"', '\\' or a control
    // byte), or e.
    const uint8_t *(*string_end)(const uint8_t *p, const uint8_t *e);
    // The same search stopping at a byte that is not ASCII as well: the run the UTF-8 check
    // can let through unread.
    const uint8_t *(*ascii_string_end)(const uint8_t *p, const uint8_t *e);
    // The first byte in [p, e) that is not JSON whitespace, or e; adds the line feeds before it
    // to `*lines` and leaves `*last_newline` at the last of them (unchanged when none).
    const uint8_t *(*space_end)(const uint8_t *p, const uint8_t *e, size_t *lines,
                                const uint8_t **last_newline);
    // From p, a character boundary: the character boundary up to which [p, e) is well-formed
    // UTF-8 (e when all of it is and no sequence is left open), stopping at or before the
    // block that holds the first error (utf8.hpp).
    const uint8_t *(*utf8_prefix)(const uint8_t *p, const uint8_t *e);
};

// The kernel in use, chosen at first use.
const kernel &active_kernel();
// Every kernel this processor runs, the portable one first; returns how many.
size_t runnable_kernels(const kernel **out, size_t capacity);

} // namespace tamsel::scan

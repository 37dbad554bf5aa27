// The UTF-8 check of string and key bytes: a byte-at-a-time automaton that can stop and resume
// at any byte (a sequence cut between two pushes is checked across the cut), and the run check
// the parsers call on a run of plain string bytes that holds a byte that is not ASCII (the
// scanners of scan.hpp stop at such a byte when the check is on, so an ASCII run costs one
// instruction more per 16 bytes and is never read again). The run goes to the block scanner's
// UTF-8 kernel, which vouches for whole characters a block at a time, and the automaton
// finishes from where the kernel stopped, so the first bad byte is found exactly whatever the
// kernel.
//
// Well-formed means RFC 3629: no overlong forms, no encoded surrogates (U+D800..U+DFFF), nothing
// above U+10FFFF, no stray continuation byte, no sequence cut short. The first bad byte is the
// first byte at which the text stops being the start of well-formed UTF-8: a byte that can
// never appear (C0, C1, F5..FF), a continuation byte where none is due, the byte after a lead
// byte that leaves its range (E0 80, ED A0, F0 80, F4 90), or whatever byte interrupts a
// sequence (ASCII, a quote, a backslash).
#pragma once

#include "text/block_scan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamsel::scan {

// Between characters (due 0), or inside one: the continuation bytes still due and the range
// the next one must fall in (narrower than 80..BF right after E0, ED, F0 and F4).
struct utf8_state {
    uint8_t due = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
};

// Takes one byte; false (the state unchanged) when it cannot continue well-formed UTF-8.
inline bool utf8_step(utf8_state &s, uint8_t c) {
    if (s.due) {
        if (c < s.low || c > s.high) return false;
        --s.due;
        s.low = 0x80;
        s.high = 0xBF;
        return true;
    }
    if (c < 0x80) return true;
    if (c < 0xC2) return false; // a continuation byte, or the overlong leads C0 and C1
    if (c < 0xE0) {
        s.due = 1;
    } else if (c < 0xF0) {
        s.due = 2;
        s.low = c == 0xE0 ? 0xA0 : 0x80;  // E0 80..9F would be overlong
        s.high = c == 0xED ? 0x9F : 0xBF; // ED A0..BF would be a surrogate
    } else if (c < 0xF5) {
        s.due = 3;
        s.low = c == 0xF0 ? 0x90 : 0x80;  // F0 80..8F would be overlong
        s.high = c == 0xF4 ? 0x8F : 0xBF; // F4 90.. would pass U+10FFFF
    } else {
        return false;
    }
    return true;
}

// The automaton over [p, e) from `s`: the first bad byte (`s` as before it), or e (`s` holds
// the sequence still open there). ASCII between characters is skipped a word at a time.
inline const uint8_t *utf8_automaton(utf8_state &s, const uint8_t *p, const uint8_t *e) {
    while (p < e) {
        if (!s.due) {
            while (e - p >= 8) {
                uint64_t w;
                std::memcpy(&w, p, 8);
                if (w & 0x8080808080808080u) break;
                p += 8;
            }
            while (p < e && *p < 0x80)
                ++p;
            if (p == e) break;
        }
        if (!utf8_step(s, *p)) return p;
        ++p;
    }
    return e;
}

// The first byte of [p, e) that cannot continue well-formed UTF-8 after `s`, or e; `s` is left
// as before that byte (or holding the sequence still open at e). Callers come here once a run
// is known to hold a byte that is not ASCII (plain_ascii_run stopped at one), so a run of 16
// bytes or more goes to the kernel at once.
inline const uint8_t *utf8_run(utf8_state &s, const uint8_t *p, const uint8_t *e) {
    if (s.due) { // a sequence begun before the run (in an earlier push)
        for (; s.due && p < e; ++p)
            if (!utf8_step(s, *p)) return p;
    }
    if (e - p >= 16) p = active_kernel().utf8_prefix(p, e);
    return utf8_automaton(s, p, e);
}

// True when [p, e) is well-formed UTF-8 with no sequence left open at e.
inline bool utf8_valid(const uint8_t *p, const uint8_t *e) {
    utf8_state s;
    return utf8_run(s, p, e) == e && !s.due;
}

// The closing quote of a string whose body continues at p (a character boundary: what came
// before is ASCII), when the rest of the body lies whole in [p, e), is valid (plain bytes and
// valid escapes) and is well-formed UTF-8; NULL otherwise, for the general path to decide and
// report. Out of line: the common string is ASCII and never comes here.
__attribute__((noinline)) const uint8_t *utf8_string_end(const uint8_t *p, const uint8_t *e);
// The same for the rest of a plain run (no escapes): its end, as plain_run finds it, when it is
// well-formed UTF-8 with no sequence left open there; NULL otherwise.
__attribute__((noinline)) const uint8_t *utf8_plain_run(const uint8_t *p, const uint8_t *e);

// The kernels (utf8_kernels.cpp): each returns how far from p, a character boundary, the text
// is well-formed: a character boundary r, with [p, r) well-formed; r is e when all of it is and
// no sequence is left open at e. They stop early (at a boundary before the block) at a block
// that holds an error, so the automaton has only a block or so to read to find the bad byte.
const uint8_t *utf8_prefix_portable(const uint8_t *p, const uint8_t *e);
#if defined(__x86_64__) || defined(__i386__)
const uint8_t *utf8_prefix_sse42(const uint8_t *p, const uint8_t *e);
const uint8_t *utf8_prefix_avx2(const uint8_t *p, const uint8_t *e);
#endif

} // namespace tamsel::scan

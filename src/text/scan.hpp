// Byte-run scanners shared by the value walker and the push parser: the JSON input rules for
// whitespace, plain string bytes and number tokens. The first 16 bytes of a run are looked at
// inline (SSE2 where it is there), so short runs cost no call; longer runs go to the block
// scanner's kernel.
#pragma once

#include "text/block_scan.hpp"
#include "text/internal.hpp"
#include "text/utf8.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::scan {

constexpr std::array<uint8_t, 256> make_number_chars() {
    std::array<uint8_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c)
        t[c] = 1;
    t['-'] = t['+'] = t['.'] = t['e'] = t['E'] = 1;
    return t;
}
// Bytes a number token is gathered from.
inline constexpr auto number_chars = make_number_chars();
static_assert(number_chars['e'] == 1 && number_chars['+'] == 1 && number_chars[','] == 0 &&
              number_chars[']'] == 0);

inline bool digit(uint8_t c) {
    return static_cast<uint8_t>(c - '0') < 10;
}

#if defined(__SSE2__)
// One bit for each of the 16 bytes of `x` that ends a run of plain string bytes: '"', '\\' or a
// control byte (the bytes the text rules escape).
__attribute__((always_inline)) inline unsigned stop_mask(__m128i x) {
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
        _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// First byte in [p, e) that ends a run of plain string bytes: '"', '\\' or a control byte.
__attribute__((always_inline)) inline const uint8_t *plain_run(const uint8_t *p, const uint8_t *e) {
#if defined(__SSE2__)
    // Runs are scanned inline; one still going after 64 bytes, with 64 more to look at, is
    // likely long and goes to the kernel.
    const uint8_t *const from = p;
    while (e - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (const unsigned mask = stop_mask(x)) return p + __builtin_ctz(mask);
        p += 16;
        if (p - from == 64 && e - p >= 64) return active_kernel().string_end(p, e);
    }
#endif
    return string_end_bytes(p, e);
}

// As plain_run, stopping at a byte that is not ASCII as well: with the UTF-8 check on, a run of
// this kind needs no more reading. One signed comparison finds both the control bytes and the
// bytes that are not ASCII (negative as signed bytes).
__attribute__((always_inline)) inline const uint8_t *plain_ascii_run(const uint8_t *p,
                                                                     const uint8_t *e) {
#if defined(__SSE2__)
    const uint8_t *const from = p;
    while (e - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                                       _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
                                          _mm_cmplt_epi8(x, _mm_set1_epi8(0x20)));
        if (const int mask = _mm_movemask_epi8(hits))
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
        if (p - from == 64 && e - p >= 64) return active_kernel().ascii_string_end(p, e);
    }
#endif
    return ascii_string_end_bytes(p, e);
}

// The length of the literal (true, false, null) that starts at p when it is whole in [p, e),
// else 0.
inline size_t literal_length(const uint8_t *p, const uint8_t *e) {
    const size_t left = static_cast<size_t>(e - p);
    switch (*p) {
    case 't':
        return left >= 4 && std::memcmp(p, "true", 4) == 0 ? 4 : 0;
    case 'f':
        return left >= 5 && std::memcmp(p, "false", 5) == 0 ? 5 : 0;
    case 'n':
        return left >= 4 && std::memcmp(p, "null", 4) == 0 ? 4 : 0;
    default:
        return 0;
    }
}

constexpr std::array<uint8_t, 256> make_hex_digits() {
    std::array<uint8_t, 256> t{};
    for (auto &v : t)
        v = 0xFF;
    for (int c = 0; c < 256; ++c)
        if (text::hex_value(c) >= 0) t[c] = static_cast<uint8_t>(text::hex_value(c));
    return t;
}
// Each byte's value as a hexadecimal digit; 0xFF for bytes that are not one.
inline constexpr auto hex_digits = make_hex_digits();
static_assert(hex_digits['F'] == 15 && hex_digits['a'] == 10 && hex_digits['g'] == 0xFF);

// The four hex digits at p as a code unit; false when one is not a hex digit. The four lookups
// are independent and checked once (a bad digit is 0xFF, whose high bit nothing else sets).
inline bool hex4(const uint8_t *p, uint32_t *out) {
    const uint32_t a = hex_digits[p[0]], b = hex_digits[p[1]], c = hex_digits[p[2]],
                   d = hex_digits[p[3]];
    if ((a | b | c | d) & 0x80) return false;
    *out = a << 12 | b << 8 | c << 4 | d;
    return true;
}

// The length of the valid escape at p ('\\' first) when it lies wholly in [p, e): 2 for the
// one-letter escapes, 6 for \uXXXX, 12 for a surrogate pair; the code point goes to `*cp`
// (for one-letter escapes, the byte it stands for). 0 when the escape is invalid, a lone half
// of a pair, or continues past e.
inline size_t escape_length(const uint8_t *p, const uint8_t *e, uint32_t *cp) {
    if (e - p < 2) return 0;
    if (p[1] != 'u') {
        *cp = text::unescape_table[p[1]];
        return *cp ? 2 : 0;
    }
    uint32_t high, low;
    if (e - p < 6 || !hex4(p + 2, &high) || (high >= 0xDC00 && high <= 0xDFFF)) return 0;
    if (high < 0xD800 || high > 0xDBFF) {
        *cp = high;
        return 6;
    }
    if (e - p < 12 || p[6] != '\\' || p[7] != 'u' || !hex4(p + 8, &low) || low < 0xDC00 ||
        low > 0xDFFF)
        return 0;
    *cp = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
    return 12;
}

// The closing quote of a string whose body starts at p, when the whole body lies in [p, e) and
// is valid (plain bytes and valid escapes); NULL otherwise, for the general path to decide.
// Sixteen bytes are classified at once, and the escapes among them are stepped over within
// that block: a body dense with escapes is not read again after each of them. Four blocks in
// a row without a stop hand the rest of a long run to the kernel, as plain_run does.
inline const uint8_t *string_body_end(const uint8_t *p, const uint8_t *e) {
#if defined(__SSE2__)
    int quiet = 0; // blocks in a row without a stop
    while (e - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        unsigned mask = stop_mask(x);
        if (!mask) {
            p += 16;
            if (++quiet == 4 && e - p >= 64) {
                p = active_kernel().string_end(p, e);
                quiet = 0;
                if (p == e || *p != '\\') return p < e && *p == '"' ? p : nullptr;
                uint32_t cp;
                const size_t n = escape_length(p, e, &cp);
                if (!n) return nullptr;
                p += n;
            }
            continue;
        }
        quiet = 0;
        size_t step = 16; // past the block, or past an escape that runs beyond it
        while (mask) {
            const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
            const uint8_t *q = p + k;
            if (*q != '\\') return *q == '"' ? q : nullptr;
            uint32_t cp;
            const size_t n = escape_length(q, e, &cp);
            if (!n) return nullptr;
            if (k + n >= 16) {
                step = k + n;
                break;
            }
            mask &= ~0u << (k + n); // the escape's own bytes are not stops
        }
        p += step;
    }
#endif
    for (;;) {
        p = string_end_bytes(p, e);
        if (p == e || *p != '\\') return p < e && *p == '"' ? p : nullptr;
        uint32_t cp;
        const size_t n = escape_length(p, e, &cp);
        if (!n) return nullptr;
        p += n;
    }
}

// The same for a body that must also be well-formed UTF-8 (utf8_string_end takes over at its
// first byte that is not ASCII).
inline const uint8_t *checked_string_body_end(const uint8_t *p, const uint8_t *e) {
    for (;;) {
        p = plain_ascii_run(p, e);
        if (p < e && *p >= 0x80) return utf8_string_end(p, e);
        if (p == e || *p != '\\') return p < e && *p == '"' ? p : nullptr;
        uint32_t cp;
        const size_t n = escape_length(p, e, &cp);
        if (!n) return nullptr;
        p += n;
    }
}

// The length of the well-formed UTF-8 character whose lead byte (0x80 or above) is at p, when
// it lies whole in [p, e); 0 otherwise.
__attribute__((always_inline)) inline size_t utf8_char_length(const uint8_t *p, const uint8_t *e) {
    const uint8_t c = p[0];
    const size_t left = static_cast<size_t>(e - p);
    const auto tail = [](uint8_t b) { return (b & 0xC0) == 0x80; };
    if (c >= 0xC2 && c < 0xE0) return left >= 2 && tail(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c < 0xF0) {
        if (left < 3 || !tail(p[2])) return 0;
        const uint8_t low = c == 0xE0 ? 0xA0 : 0x80;  // E0 80..9F would be overlong
        const uint8_t high = c == 0xED ? 0x9F : 0xBF; // ED A0..BF would be a surrogate
        return p[1] >= low && p[1] <= high ? 3 : 0;
    }
    if (c >= 0xF0 && c < 0xF5) {
        if (left < 4 || !tail(p[2]) || !tail(p[3])) return 0;
        const uint8_t low = c == 0xF0 ? 0x90 : 0x80;  // F0 80..8F would be overlong
        const uint8_t high = c == 0xF4 ? 0x8F : 0xBF; // F4 90.. would pass U+10FFFF
        return p[1] >= low && p[1] <= high ? 4 : 0;
    }
    return 0;
}

// The length of the valid escape at p as escape_length finds it, the one-letter escapes inline.
__attribute__((always_inline)) inline size_t quick_escape_length(const uint8_t *p, const uint8_t *e,
                                                                 uint32_t *cp) {
    if (e - p >= 2 && p[1] != 'u') {
        *cp = text::unescape_table[p[1]];
        return *cp ? 2 : 0;
    }
    return escape_length(p, e, cp);
}

// Characters that are not ASCII in a row that are checked where they stand; a longer run goes
// to the kernel, which takes text made of them a block at a time.
inline constexpr int utf8_inline_run = 8;

// The end of the run of well-formed characters that are not ASCII starting at p (a lead byte
// 0x80 or above), when it is short and whole in [p, e); NULL for a bad or cut character, and
// for a run longer than utf8_inline_run characters with `*rest` set to where it goes on.
__attribute__((always_inline)) inline const uint8_t *
short_utf8_run(const uint8_t *p, const uint8_t *e, const uint8_t **rest) {
    for (int k = 0; k < utf8_inline_run; ++k) {
        const size_t n = utf8_char_length(p, e);
        if (!n) return nullptr;
        p += n;
        if (p == e || *p < 0x80) return p;
    }
    *rest = p;
    return nullptr;
}

// checked_string_body_end's answer in one pass for the usual string with a few characters that
// are not ASCII: each is checked where it stands. A run of more than utf8_inline_run of them
// sends the rest of the body to utf8_string_end.
inline const uint8_t *checked_body_end(const uint8_t *p, const uint8_t *e) {
    for (;;) {
        p = plain_ascii_run(p, e);
        if (p == e) return nullptr;
        const uint8_t b = *p;
        if (b == '"') return p;
        if (b == '\\') {
            uint32_t cp;
            const size_t n = quick_escape_length(p, e, &cp);
            if (!n) return nullptr;
            p += n;
        } else if (b >= 0x80) {
            const uint8_t *rest = nullptr;
            const uint8_t *q = short_utf8_run(p, e, &rest);
            if (!q) return rest ? utf8_string_end(rest, e) : nullptr;
            p = q;
        } else {
            return nullptr; // a control byte
        }
    }
}

// End of the run of ASCII digits starting at p, eight bytes a step: a byte b is a digit when
// b ^ '0' is at most 9, that is when its high nibble is clear and adding 6 does not reach 16.
// A byte of 0xFA or more carries into the next one, but it is itself flagged first, and the
// lowest flagged byte is the one that counts.
inline const uint8_t *digit_run(const uint8_t *p, const uint8_t *e) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (e - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t a = x ^ 0x3030303030303030u;
        const uint64_t others =
            (a & 0xF0F0F0F0F0F0F0F0u) | ((a + 0x0606060606060606u) & 0x1010101010101010u);
        if (others) return p + (__builtin_ctzll(others) >> 3);
        p += 8;
    }
#endif
    while (p < e && digit(*p))
        ++p;
    return p;
}

// End of the run of number characters starting at p.
inline const uint8_t *number_run(const uint8_t *p, const uint8_t *e) {
    while (p < e && number_chars[*p])
        ++p;
    return p;
}

// One pass over a number token that starts at `p` (its first character) and lies wholly in
// [p, e): the end of the token when it matches the JSON number grammar and is followed,
// inside the range, by a byte that cannot continue it; NULL otherwise (invalid, or possibly
// continued past `e`), for the general path to decide.
inline const uint8_t *valid_number(const uint8_t *p, const uint8_t *e) {
    if (*p == '-' && ++p == e) return nullptr;
    if (*p == '0') {
        ++p;
    } else if (digit(*p)) {
        p = digit_run(p + 1, e);
    } else {
        return nullptr;
    }
    if (p < e && *p == '.') {
        if (++p == e || !digit(*p)) return nullptr;
        p = digit_run(p + 1, e);
    }
    if (p < e && (*p == 'e' || *p == 'E')) {
        if (++p < e && (*p == '+' || *p == '-')) ++p;
        if (p == e || !digit(*p)) return nullptr;
        p = digit_run(p + 1, e);
    }
    if (p == e || number_chars[*p]) return nullptr;
    return p;
}

// valid_number's answer from one 16-byte load for a token that ends inside it (up to 15
// characters, the usual), valid_number's own pass for a longer one or near the range's end:
// the digit runs are found as bit runs of one mask instead of byte by byte.
__attribute__((always_inline)) inline const uint8_t *short_valid_number(const uint8_t *p,
                                                                        const uint8_t *e) {
#if defined(__SSE2__)
    if (e - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i t = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        const __m128i d = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(9)), t);
        const unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(d));
        const unsigned others = ~digits; // bits 16 and up: past the load, never digits
        // The end of the digit run that goes on at k (at most 16: past the load).
        const auto run_end = [others](unsigned k) {
            return k + static_cast<unsigned>(__builtin_ctz(others >> k));
        };
        const unsigned i = *p == '-';
        if (!((digits >> i) & 1)) return nullptr;
        // The usual integer: its digits and the byte behind them, which cannot go on a number.
        const unsigned whole = run_end(i + 1);
        if (whole < 14 && !number_chars[p[whole]])
            return p[i] == '0' && whole > i + 1 ? nullptr : p + whole;
        unsigned k = p[i] == '0' ? i + 1 : whole;
        if (k < 15 && p[k] == '.') {
            if (!((digits >> (k + 1)) & 1)) return nullptr;
            k = run_end(k + 2);
        }
        if (k < 14 && (p[k] | 0x20) == 'e') {
            unsigned m = k + 1;
            if (p[m] == '+' || p[m] == '-') ++m;
            if (!((digits >> m) & 1)) return nullptr;
            k = run_end(m + 1);
        }
        if (k < 14) return number_chars[p[k]] ? nullptr : p + k;
    }
#endif
    return valid_number(p, e);
}

// The usual whitespace of laid-out documents, a line feed at p and an indentation of fewer
// than 32 spaces, taken 16 bytes a comparison: the token byte after it, or NULL for any other
// shape.
__attribute__((always_inline)) inline const uint8_t *indentation_end(const uint8_t *p,
                                                                     const uint8_t *e) {
#if defined(__SSE2__)
    if (e - p < 33 || *p != '\n') return nullptr;
    for (const uint8_t *v = p + 1; v < p + 33; v += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v));
        const unsigned spaces =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))));
        if (spaces != 0xFFFFu) {
            const uint8_t *r = v + __builtin_ctz(~spaces);
            return *r > ' ' ? r : nullptr;
        }
    }
#else
    (void)p;
    (void)e;
#endif
    return nullptr;
}

// Skips JSON whitespace (space, tab, CR, LF) from p; counts the newlines into `*lines` and
// leaves `*last_newline` at the last one (unchanged when there was none).
__attribute__((always_inline)) inline const uint8_t *
whitespace_run(const uint8_t *p, const uint8_t *e, size_t *lines, const uint8_t **last_newline) {
#if defined(__SSE2__)
    if (const uint8_t *r = indentation_end(p, e)) {
        ++*lines;
        *last_newline = p;
        return r;
    }
    // Runs are scanned inline; one still going after 64 bytes, with 64 more to look at, goes
    // to the kernel. Its counts come back through locals of their own, so the caller's can
    // stay in registers.
    const uint8_t *const from = p;
    while (e - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i nl = _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'));
        const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), nl),
                                        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
        const unsigned stop = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFFu;
        unsigned newlines = static_cast<unsigned>(_mm_movemask_epi8(nl));
        if (stop) newlines &= (stop & (0u - stop)) - 1; // only those before the stop
        if (newlines) {
            *lines += static_cast<size_t>(__builtin_popcount(newlines));
            *last_newline = p + (31 - __builtin_clz(newlines));
        }
        if (stop) return p + __builtin_ctz(stop);
        p += 16;
        if (p - from == 64 && e - p >= 64) {
            size_t more = 0;
            const uint8_t *last = nullptr;
            const uint8_t *r = active_kernel().space_end(p, e, &more, &last);
            if (more) {
                *lines += more;
                *last_newline = last;
            }
            return r;
        }
    }
#endif
    return space_end_bytes(p, e, lines, last_newline);
}

} // namespace tamsel::scan

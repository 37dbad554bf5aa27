// Decoding string bodies already known to be valid (plain bytes and valid escapes, the closing
// quote at `close`): their decoded length and their decoded bytes, in one tight loop each.
// Inside such a body the only byte that stops a plain run is '\\', so runs are found with one
// compare per 16 bytes and copied 16 bytes a step while the destination has room for that.
#pragma once

#include "text/scan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamsel::scan {

// The first '\\' in the valid body run [p, close), or close.
__attribute__((always_inline)) inline const uint8_t *next_escape(const uint8_t *p,
                                                                 const uint8_t *close) {
#if defined(__SSE2__)
    while (close - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))))
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < close && *p != '\\')
        ++p;
    return p;
}

// The UTF-8 length of code point `cp` (at most 0x10FFFF).
inline size_t utf8_length(uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// The decoded length of the valid body [b, close); SIZE_MAX when one of its escapes stands for
// NUL (which a C string cannot hold) or is not valid after all.
inline size_t decoded_body_length(const uint8_t *b, const uint8_t *close) {
    size_t n = 0;
    for (;;) {
        const uint8_t *r = next_escape(b, close);
        n += static_cast<size_t>(r - b);
        if (r == close) return n;
        if (close - r >= 2 && r[1] != 'u') {
            if (!text::unescape_table[r[1]]) return SIZE_MAX;
            ++n;
            b = r + 2;
            continue;
        }
        uint32_t cp = 0;
        const size_t k = escape_length(r, close, &cp);
        if (k == 0 || cp == 0) return SIZE_MAX;
        n += utf8_length(cp);
        b = r + k;
    }
}

// The code point of the escape \uXXXX (and, for a high surrogate, the \uXXXX after it) at p
// in a valid body, whose digits need no checking; `*length` gets 6 or 12.
__attribute__((always_inline)) inline uint32_t valid_unicode_escape(const uint8_t *p,
                                                                    size_t *length) {
    const auto unit = [](const uint8_t *q) {
        return static_cast<uint32_t>(hex_digits[q[0]]) << 12 |
               static_cast<uint32_t>(hex_digits[q[1]]) << 8 |
               static_cast<uint32_t>(hex_digits[q[2]]) << 4 | hex_digits[q[3]];
    };
    const uint32_t high = unit(p + 2);
    if (high < 0xD800 || high > 0xDBFF) {
        *length = 6;
        return high;
    }
    *length = 12;
    return 0x10000 + ((high - 0xD800) << 10) + (unit(p + 8) - 0xDC00);
}

// Decodes the valid body [b, close) into `out`, at most `room` bytes of it (a code point cut
// at the end keeps its first bytes, as appending byte by byte does). Returns the bytes written;
// SIZE_MAX when an escape stands for NUL (decoding stops there).
inline size_t decode_string_body(const uint8_t *b, const uint8_t *close, uint8_t *out,
                                 size_t room) {
    uint8_t *const begin = out;
    uint8_t *const end = out + room;
#if defined(__SSE2__)
    // While 16 bytes can be read and written: they are stored at once, and the output moves on
    // by the part before a '\' (what follows overwrites the rest); the escape is decoded right
    // there when the output has room for any code point.
    while (close - b >= 16 && end - out >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), x);
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
        if (!mask) {
            b += 16;
            out += 16;
            continue;
        }
        const unsigned k = static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(mask)));
        b += k;
        out += k;
        if (b[1] != 'u') {
            *out++ = text::unescape_table[b[1]];
            b += 2;
            continue;
        }
        if (end - out < 4) break;
        size_t length;
        const uint32_t cp = valid_unicode_escape(b, &length);
        if (cp == 0) return SIZE_MAX;
        out += text::encode_utf8(cp, out);
        b += length;
    }
#endif
    // The rest, near either end: runs copied up to the room, escapes decoded into a small
    // buffer first.
    while (b < close && out < end) {
        const uint8_t *r = next_escape(b, close);
        const size_t run = std::min(static_cast<size_t>(r - b), static_cast<size_t>(end - out));
        std::memcpy(out, b, run);
        out += run;
        b += run;
        if (b == close || out == end) break;
        if (b[1] != 'u') {
            *out++ = text::unescape_table[b[1]];
            b += 2;
            continue;
        }
        size_t length;
        const uint32_t cp = valid_unicode_escape(b, &length);
        if (cp == 0) return SIZE_MAX;
        uint8_t bytes[4];
        const size_t n = std::min(text::encode_utf8(cp, bytes), static_cast<size_t>(end - out));
        std::memcpy(out, bytes, n);
        out += n;
        b += length;
    }
    return static_cast<size_t>(out - begin);
}

// Checks and decodes the string body that starts at p in one pass: the body must end at a
// closing quote inside [p, e) and decode into at most `room` bytes at `out`. Bodies are checked
// as string_body_end checks them (a control byte or an escape escape_length refuses ends the
// attempt), and an escape that stands for NUL ends it too. Returns the decoded length with the
// closing quote in *close, or SIZE_MAX when any of that fails: the caller then takes the body
// the two-pass way (string_body_end, then decode_string_body), which decides and reports.
inline size_t decode_checked_body(const uint8_t *p, const uint8_t *e, uint8_t *out, size_t room,
                                  const uint8_t **close) {
    uint8_t *const begin = out;
    uint8_t *const end = out + room;
    const auto escape = [&]() {
        uint32_t cp = 0;
        const size_t n = escape_length(p, e, &cp);
        if (n == 0 || cp == 0 || end - out < 4) return false;
        out += text::encode_utf8(cp, out);
        p += n;
        return true;
    };
#if defined(__SSE2__)
    // 16 bytes are stored at once and the output moves on by the part before the first stop;
    // what follows overwrites the rest.
    while (e - p >= 16 && end - out >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), x);
        const unsigned mask = stop_mask(x);
        if (!mask) {
            p += 16;
            out += 16;
            continue;
        }
        const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
        p += k;
        out += k;
        if (*p == '"') {
            *close = p;
            return static_cast<size_t>(out - begin);
        }
        if (*p != '\\' || !escape()) return SIZE_MAX;
    }
#endif
    while (p < e) {
        const uint8_t c = *p;
        if (c == '"') {
            *close = p;
            return static_cast<size_t>(out - begin);
        }
        if (c == '\\') {
            if (!escape()) return SIZE_MAX;
            continue;
        }
        if (c < 0x20 || out == end) return SIZE_MAX;
        *out++ = c;
        ++p;
    }
    return SIZE_MAX;
}

} // namespace tamsel::scan

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

// Decodes the valid body [b, close) into `out`, at most `room` bytes of it (a code point cut
// at the end keeps its first bytes, as appending byte by byte does). Returns the bytes written;
// SIZE_MAX when an escape stands for NUL (decoding stops there).
inline size_t decode_string_body(const uint8_t *b, const uint8_t *close, uint8_t *out,
                                 size_t room) {
    uint8_t *const begin = out;
    uint8_t *const end = out + room;
    while (b < close && out < end) {
#if defined(__SSE2__)
        // Sixteen bytes stored at once, then the output moves on by the part before a '\\';
        // the bytes after it are overwritten by what follows.
        if (close - b >= 16 && end - out >= 16) {
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
        } else
#endif
        {
            const uint8_t *r = next_escape(b, close);
            const size_t run = std::min(static_cast<size_t>(r - b), static_cast<size_t>(end - out));
            std::memcpy(out, b, run);
            out += run;
            b += run;
            if (b != r) break; // the room ran out inside the run
        }
        if (b == close || out == end) break;
        if (b[1] != 'u') {
            *out++ = text::unescape_table[b[1]];
            b += 2;
            continue;
        }
        uint32_t cp = 0;
        const size_t k = escape_length(b, close, &cp);
        if (k == 0) break; // not for a body that is not valid
        if (cp == 0) return SIZE_MAX;
        b += k;
        if (end - out >= 4) { // room for any code point: encoded in place
            out += text::encode_utf8(cp, out);
            continue;
        }
        uint8_t bytes[4];
        const size_t n = std::min(text::encode_utf8(cp, bytes), static_cast<size_t>(end - out));
        std::memcpy(out, bytes, n);
        out += n;
    }
    return static_cast<size_t>(out - begin);
}

} // namespace tamsel::scan

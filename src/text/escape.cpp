// String escaping: the longest plain run is found a word (or 16 bytes) at a time and copied as
// one piece; each byte that needs escaping becomes its own piece.
#include "text/internal.hpp"
#include "text/scan.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::text {

const uint8_t *find_escape(const uint8_t *p, const uint8_t *e) {
    const uint8_t *const start = p;
    // Long texts 16 bytes a step: the bytes that need escaping are exactly those that end a
    // plain string run of the input rules.
    if (e - p >= 16) return scan::plain_run(p, e);
    // Short texts (keys, most values) eight bytes a step; the last word may overlap bytes
    // already known plain, so nothing past `e` is read.
    while (e - p >= 8 && !word_has_escape(load8(p)))
        p += 8;
    if (p < e && e - start >= 8 && e - p < 8 && !word_has_escape(load8(e - 8))) return e;
    while (p < e && !escape_table[*p])
        ++p;
    return p;
}

size_t copy_plain(uint8_t *out, const uint8_t *p, const uint8_t *e) {
    const uint8_t *const start = p;
#if defined(__SSE2__)
    // 16 bytes a step, stored whole and then checked: the bytes past an escape that were stored
    // are not counted, so the caller writes over them.
    for (; e - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (p - start)), v);
        if (const unsigned mask = scan::stop_mask(v))
            return static_cast<size_t>(p - start) + __builtin_ctz(mask);
    }
#endif
    const uint8_t *q = find_escape(p, e);
    std::memcpy(out + (p - start), p, static_cast<size_t>(q - p));
    return static_cast<size_t>(q - start);
}

tamsel_status escaped_fragment(io::byte_output &out, const void *bytes, size_t len) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    const uint8_t *const e = p + len;
    while (p < e) {
        const uint8_t *q = find_escape(p, e);
        if (q != p) {
            TAMSEL_TRY(out.put(p, static_cast<size_t>(q - p)));
            if (q == e) break;
        }
        char esc[6];
        TAMSEL_TRY(out.put(esc, escape_sequence(*q, esc)));
        p = q + 1;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status escaped_string(io::byte_output &out, const void *bytes, size_t len) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    const uint8_t *q;
    if (len <= out.room() && out.room() - len >= 2) {
        // Quote, run and quote all fit: one pass copies the run while it looks for an escape
        // (what it wrote past one is not committed).
        unsigned char *w = out.window();
        q = p + copy_plain(w + 1, p, p + len);
        if (q == p + len) {
            w[0] = '"';
            w[len + 1] = '"';
            out.advance(len + 2);
            return TAMSEL_STATUS_OK;
        }
    } else {
        q = find_escape(p, p + len);
    }
    TAMSEL_TRY(out.put('"'));
    if (q != p) TAMSEL_TRY(out.put(p, static_cast<size_t>(q - p)));
    TAMSEL_TRY(escaped_fragment(out, q, static_cast<size_t>(p + len - q)));
    return out.put('"');
}

} // namespace tamsel::text

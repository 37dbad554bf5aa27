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
    const uint8_t *q = find_escape(p, p + len);
    if (q == p + len && len <= out.room() && out.room() - len >= 2) {
        // Quote, run and quote all fit: one copy.
        unsigned char *w = out.window();
        w[0] = '"';
        io::byte_output::copy(w + 1, p, len);
        w[len + 1] = '"';
        out.advance(len + 2);
        return TAMSEL_STATUS_OK;
    }
    TAMSEL_TRY(out.put('"'));
    if (q != p) TAMSEL_TRY(out.put(p, static_cast<size_t>(q - p)));
    TAMSEL_TRY(escaped_fragment(out, q, static_cast<size_t>(p + len - q)));
    return out.put('"');
}

} // namespace tamsel::text

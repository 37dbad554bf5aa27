// Framing adapters: what the framing parsers share and what other layers may call.
#pragma once

#include "core/internal.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::framing {

// ---- Server-Sent Events ---------------------------------------------------------------------

// First CR or LF in [p, e), or e: the end of an event-stream line, 16 bytes a step.
inline const uint8_t *sse_line_end(const uint8_t *p, const uint8_t *e) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (e - p >= 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, lf), _mm_cmpeq_epi8(x, cr)));
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < e && *p != '\n' && *p != '\r')
        ++p;
    return p;
}

} // namespace tamsel::framing

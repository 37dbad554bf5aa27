// Framing adapters: what the framing parsers share and what other layers may call.
#pragma once

#include "core/internal.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::framing {

// ---- Server-Sent Events ---------------------------------------------------------------------

// First CR or LF in [p, e), or e, for a line longer than a few dozen bytes: searched a window
// of up to 1 KiB at a time, for LF with memchr and then for a CR before it, so a stream whose
// lines end in CR alone never has LF searched for past the window. Kept out of line so that
// the short lines' loop stays small.
[[gnu::noinline]] inline const uint8_t *sse_long_line_end(const uint8_t *p, const uint8_t *e) {
    while (e - p >= 16) {
        const uint8_t *const w = e - p > 1024 ? p + 1024 : e;
        const auto *at =
            static_cast<const uint8_t *>(std::memchr(p, '\n', static_cast<size_t>(w - p)));
        const uint8_t *const stop = at ? at : w;
        if (const void *c = std::memchr(p, '\r', static_cast<size_t>(stop - p)))
            return static_cast<const uint8_t *>(c);
        if (at) return at;
        p = w;
    }
    while (p < e && *p != '\n' && *p != '\r')
        ++p;
    return p;
}

// First CR or LF in [p, e), or e: the end of an event-stream line. The first 64 bytes are
// looked at inline, 16 a step, which ends most lines; a longer one goes to sse_long_line_end.
inline const uint8_t *sse_line_end(const uint8_t *p, const uint8_t *e) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const auto ends = [&](const uint8_t *at) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        return _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, lf), _mm_cmpeq_epi8(x, cr)));
    };
    if (e - p >= 64) {
        for (int i = 0; i < 64; i += 16)
            if (const int mask = ends(p + i))
                return p + i + __builtin_ctz(static_cast<unsigned>(mask));
        return sse_long_line_end(p + 64, e);
    }
    while (e - p >= 16) {
        if (const int mask = ends(p)) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < e && *p != '\n' && *p != '\r')
        ++p;
    return p;
}

// ---- libcurl adapters -----------------------------------------------------------------------
//
// The records live in caller memory and end with a 64-bit mark: TAMSEL_CURL_MAGIC XOR-ed with
// a hash of the record's own address, so a bitwise copy of an initialised record is never
// taken for one and can neither drive nor free what the original owns.

[[nodiscard]] inline uint64_t curl_mark(const void *record) {
    const auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
    return TAMSEL_CURL_MAGIC ^ (a >> 9) ^ (a >> 4);
}

// The record carries its own address's mark.
[[nodiscard]] inline bool curl_live(const void *record, uint64_t magic) {
    return record && magic == curl_mark(record);
}

// size * nmemb as libcurl passes it; false when the product does not fit a size_t, which a
// callback must refuse rather than act on a wrapped count.
[[nodiscard]] inline bool curl_bytes(size_t size, size_t nmemb, size_t *out) {
    return checked_mul(size, nmemb, out);
}

} // namespace tamsel::framing

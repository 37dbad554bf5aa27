// The block scanner's kernels: the same two searches written for AVX2 (64 bytes a step as two
// 32-byte halves), for SSE4.2 (64 bytes a step as four 16-byte quarters, with the hardware
// population count for newlines) and portably (a byte at a time through a table), and the
// UTF-8 check of utf8_kernels.cpp beside them in the same table. Each block is
// classified into bit masks, one bit per byte, and the answer is read off the lowest set bit;
// nothing is carried from one call to the next.
//
// The kernel is chosen once, at first use, from what the processor reports; the environment
// variable TAMSEL_SCAN_KERNEL ("portable", "sse4.2" or "avx2") can pin a lesser one, so the
// test suite can run every path on one machine.
#include "text/block_scan.hpp"
#include "text/utf8.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAMSEL_SCAN_X86 1
#endif

namespace tamsel::scan {

namespace {

// ---- portable -----------------------------------------------------------------------------

const uint8_t *string_end_portable(const uint8_t *p, const uint8_t *e) {
    return string_end_bytes(p, e);
}

const uint8_t *ascii_string_end_portable(const uint8_t *p, const uint8_t *e) {
    return ascii_string_end_bytes(p, e);
}

const uint8_t *space_end_portable(const uint8_t *p, const uint8_t *e, size_t *lines,
                                  const uint8_t **last_newline) {
    return space_end_bytes(p, e, lines, last_newline);
}

// The masks of one block end the search at the lowest bit of `stop`; the newlines before it
// are counted.
inline const uint8_t *settle_space(const uint8_t *p, uint64_t stop, uint64_t newlines,
                                   size_t *lines, const uint8_t **last_newline) {
    if (stop) newlines &= (stop & (0 - stop)) - 1;
    if (newlines) {
        *lines += static_cast<size_t>(__builtin_popcountll(newlines));
        *last_newline = p + (63 - __builtin_clzll(newlines));
    }
    return stop ? p + __builtin_ctzll(stop) : nullptr;
}

#if defined(TAMSEL_SCAN_X86)

// ---- SSE4.2 ----------------------------------------------------------------------------------

__attribute__((target("sse4.2,popcnt"))) inline uint64_t string_mask_16(__m128i x) {
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
        _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x));
    return static_cast<uint16_t>(_mm_movemask_epi8(hits));
}

// With Ascii, a byte that is not ASCII stops the search too: its top bit joins the stops.
template <bool Ascii> __attribute__((target("sse4.2,popcnt"))) inline uint64_t stops_16(__m128i x) {
    const uint64_t m = string_mask_16(x);
    return Ascii ? m | static_cast<uint16_t>(_mm_movemask_epi8(x)) : m;
}

template <bool Ascii>
__attribute__((target("sse4.2,popcnt"))) inline const uint8_t *
string_end_sse42_t(const uint8_t *p, const uint8_t *e) {
    while (e - p >= 64) {
        const __m128i *v = reinterpret_cast<const __m128i *>(p);
        const uint64_t m = stops_16<Ascii>(_mm_loadu_si128(v)) |
                           stops_16<Ascii>(_mm_loadu_si128(v + 1)) << 16 |
                           stops_16<Ascii>(_mm_loadu_si128(v + 2)) << 32 |
                           stops_16<Ascii>(_mm_loadu_si128(v + 3)) << 48;
        if (m) return p + __builtin_ctzll(m);
        p += 64;
    }
    while (e - p >= 16) {
        const uint64_t m = stops_16<Ascii>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        if (m) return p + __builtin_ctzll(m);
        p += 16;
    }
    return Ascii ? ascii_string_end_bytes(p, e) : string_end_bytes(p, e);
}

__attribute__((target("sse4.2,popcnt"))) const uint8_t *string_end_sse42(const uint8_t *p,
                                                                         const uint8_t *e) {
    return string_end_sse42_t<false>(p, e);
}

__attribute__((target("sse4.2,popcnt"))) const uint8_t *ascii_string_end_sse42(const uint8_t *p,
                                                                               const uint8_t *e) {
    return string_end_sse42_t<true>(p, e);
}

// Bit i of `*newlines` is set for a line feed at i; the result has a bit for every byte that
// is not whitespace.
__attribute__((target("sse4.2,popcnt"))) inline uint64_t space_mask_16(__m128i x,
                                                                       uint64_t *newlines) {
    const __m128i nl = _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'));
    const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), nl),
                                    _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                                 _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
    *newlines = static_cast<uint16_t>(_mm_movemask_epi8(nl));
    return static_cast<uint16_t>(~_mm_movemask_epi8(ws));
}

__attribute__((target("sse4.2,popcnt"))) const uint8_t *
space_end_sse42(const uint8_t *p, const uint8_t *e, size_t *lines, const uint8_t **last_newline) {
    while (e - p >= 64) {
        const __m128i *v = reinterpret_cast<const __m128i *>(p);
        uint64_t n0, n1, n2, n3;
        const uint64_t stop = space_mask_16(_mm_loadu_si128(v), &n0) |
                              space_mask_16(_mm_loadu_si128(v + 1), &n1) << 16 |
                              space_mask_16(_mm_loadu_si128(v + 2), &n2) << 32 |
                              space_mask_16(_mm_loadu_si128(v + 3), &n3) << 48;
        const uint64_t newlines = n0 | n1 << 16 | n2 << 32 | n3 << 48;
        if (const uint8_t *r = settle_space(p, stop, newlines, lines, last_newline)) return r;
        p += 64;
    }
    while (e - p >= 16) {
        uint64_t newlines;
        const uint64_t stop =
            space_mask_16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), &newlines);
        if (const uint8_t *r = settle_space(p, stop, newlines, lines, last_newline)) return r;
        p += 16;
    }
    return space_end_portable(p, e, lines, last_newline);
}

// ---- AVX2 ------------------------------------------------------------------------------------

__attribute__((target("avx2,popcnt"))) inline uint64_t string_mask_32(__m256i x) {
    const __m256i hits =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8('"')),
                                        _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\\'))),
                        _mm256_cmpeq_epi8(_mm256_min_epu8(x, _mm256_set1_epi8(0x1F)), x));
    return static_cast<uint32_t>(_mm256_movemask_epi8(hits));
}

template <bool Ascii> __attribute__((target("avx2,popcnt"))) inline uint64_t stops_32(__m256i x) {
    const uint64_t m = string_mask_32(x);
    return Ascii ? m | static_cast<uint32_t>(_mm256_movemask_epi8(x)) : m;
}

template <bool Ascii>
__attribute__((target("avx2,popcnt"))) inline const uint8_t *string_end_avx2_t(const uint8_t *p,
                                                                               const uint8_t *e) {
    while (e - p >= 64) {
        const __m256i *v = reinterpret_cast<const __m256i *>(p);
        const uint64_t m = stops_32<Ascii>(_mm256_loadu_si256(v)) |
                           stops_32<Ascii>(_mm256_loadu_si256(v + 1)) << 32;
        if (m) return p + __builtin_ctzll(m);
        p += 64;
    }
    if (e - p >= 32) {
        const uint64_t m =
            stops_32<Ascii>(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
        if (m) return p + __builtin_ctzll(m);
        p += 32;
    }
    // The rest goes to the 16-byte kernel, whose SSE code must not run with the upper halves
    // of the vector registers in use: on Intel cores that slows every later SSE instruction of
    // the process. The compiler leaves the vzeroupper out of this tail call, so it is asked for.
    _mm256_zeroupper();
    return string_end_sse42_t<Ascii>(p, e);
}

__attribute__((target("avx2,popcnt"))) const uint8_t *string_end_avx2(const uint8_t *p,
                                                                      const uint8_t *e) {
    return string_end_avx2_t<false>(p, e);
}

__attribute__((target("avx2,popcnt"))) const uint8_t *ascii_string_end_avx2(const uint8_t *p,
                                                                            const uint8_t *e) {
    return string_end_avx2_t<true>(p, e);
}

__attribute__((target("avx2,popcnt"))) inline uint64_t space_mask_32(__m256i x,
                                                                     uint64_t *newlines) {
    const __m256i nl = _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\n'));
    const __m256i ws =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(' ')), nl),
                        _mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8('\t')),
                                        _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\r'))));
    *newlines = static_cast<uint32_t>(_mm256_movemask_epi8(nl));
    return static_cast<uint32_t>(~_mm256_movemask_epi8(ws));
}

__attribute__((target("avx2,popcnt"))) const uint8_t *
space_end_avx2(const uint8_t *p, const uint8_t *e, size_t *lines, const uint8_t **last_newline) {
    while (e - p >= 64) {
        const __m256i *v = reinterpret_cast<const __m256i *>(p);
        uint64_t n0, n1;
        const uint64_t stop = space_mask_32(_mm256_loadu_si256(v), &n0) |
                              space_mask_32(_mm256_loadu_si256(v + 1), &n1) << 32;
        if (const uint8_t *r = settle_space(p, stop, n0 | n1 << 32, lines, last_newline)) return r;
        p += 64;
    }
    if (e - p >= 32) {
        uint64_t newlines;
        const uint64_t stop =
            space_mask_32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), &newlines);
        if (const uint8_t *r = settle_space(p, stop, newlines, lines, last_newline)) return r;
        p += 32;
    }
    _mm256_zeroupper(); // as in string_end_avx2_t
    return space_end_sse42(p, e, lines, last_newline);
}

#endif // TAMSEL_SCAN_X86

const kernel all_kernels[] = {
    {"portable", string_end_portable, ascii_string_end_portable, space_end_portable,
     utf8_prefix_portable},
#if defined(TAMSEL_SCAN_X86)
    {"sse4.2", string_end_sse42, ascii_string_end_sse42, space_end_sse42, utf8_prefix_sse42},
    {"avx2", string_end_avx2, ascii_string_end_avx2, space_end_avx2, utf8_prefix_avx2},
#endif
};
constexpr size_t kernel_count = sizeof all_kernels / sizeof all_kernels[0];

bool supported(const kernel &k) {
#if defined(TAMSEL_SCAN_X86)
    if (std::strcmp(k.name, "sse4.2") == 0)
        return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt");
    if (std::strcmp(k.name, "avx2") == 0)
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#endif
    return true;
}

// The best kernel the processor runs, or the one TAMSEL_SCAN_KERNEL names if it runs here.
const kernel *choose() {
#if defined(TAMSEL_SCAN_X86)
    __builtin_cpu_init();
#endif
    const kernel *best = &all_kernels[0];
    for (const kernel &k : all_kernels)
        if (supported(k)) best = &k;
    if (const char *want = std::getenv("TAMSEL_SCAN_KERNEL")) {
        for (const kernel &k : all_kernels)
            if (std::strcmp(k.name, want) == 0 && supported(k)) return &k;
    }
    return best;
}

} // namespace

const kernel &active_kernel() {
    static const kernel *const chosen = choose();
    return *chosen;
}

size_t runnable_kernels(const kernel **out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; i < kernel_count; ++i)
        if (supported(all_kernels[i]) && n < capacity) out[n++] = &all_kernels[i];
    return n;
}

} // namespace tamsel::scan

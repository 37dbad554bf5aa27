// The block scanner's UTF-8 kernels: how far from a character boundary the text is well-formed,
// a 64-byte block a step.
//
// The vector kernels classify every byte by the byte before it, with three 16-entry tables
// looked up by nibble (the method Keiser and Lemire published): the high nibble of the
// previous byte, its low nibble and the high nibble of the current byte each give a set of
// error classes they allow, and a class is present when all three allow it. Every error that
// shows in two consecutive bytes is such a class (a product of three nibble sets):
//
//   short      lead C..F followed by a non-continuation byte (0..7, C..F)
//   long       ASCII followed by a continuation byte (8..B)
//   overlong2  C0 or C1 followed by a continuation byte
//   overlong3  E0 followed by 80..9F
//   surrogate  ED followed by A0..BF
//   too_large  F4..FF followed by 90..BF
//   f_and_8x   F0 or F5..FF followed by 80..8F (overlong four-byte form, or above U+10FFFF);
//              one class because both share their first and third sets
//   two_conts  a continuation byte after a continuation byte (bit 7; not an error by itself)
//
// The third and fourth bytes of a sequence are continuation bytes after continuation bytes:
// exactly where two_conts shows must a byte two back be E0 or above, or three back F0 or
// above, so bit 7 of the classes is compared with that. A block whose last bytes begin a
// sequence that is still open carries it into the next block's first bytes; before plain
// ASCII it is an error. The tail of the input shorter than a block is checked in a copy padded
// with zeros.
//
// The portable kernel is the automaton itself with ASCII skipped a word at a time.
#include "text/utf8.hpp"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAMSEL_UTF8_X86 1
#endif

namespace tamsel::scan {

namespace {

// ---- the tables, built from the classes -----------------------------------------------------

struct pair_class {
    uint8_t bit;
    uint16_t first_high; // nibble sets, bit n for nibble n
    uint16_t first_low;
    uint16_t second_high;
};

constexpr uint16_t nibbles(int from, int to) {
    uint16_t s = 0;
    for (int n = from; n <= to; ++n)
        s = static_cast<uint16_t>(s | 1u << n);
    return s;
}
constexpr uint16_t any_nibble = 0xFFFF;
constexpr uint16_t continuation = nibbles(0x8, 0xB);

constexpr pair_class classes[] = {
    {0x01, nibbles(0xC, 0xF), any_nibble, static_cast<uint16_t>(~continuation)}, // short
    {0x02, nibbles(0x0, 0x7), any_nibble, continuation},                         // long
    {0x04, nibbles(0xC, 0xC), nibbles(0x0, 0x1), continuation},                  // overlong2
    {0x08, nibbles(0xE, 0xE), nibbles(0x0, 0x0), nibbles(0x8, 0x9)},             // overlong3
    {0x10, nibbles(0xE, 0xE), nibbles(0xD, 0xD), nibbles(0xA, 0xB)},             // surrogate
    {0x20, nibbles(0xF, 0xF), nibbles(0x4, 0xF), nibbles(0x9, 0xB)},             // too_large
    {0x40, nibbles(0xF, 0xF), static_cast<uint16_t>(nibbles(0x0, 0x0) | nibbles(0x5, 0xF)),
     nibbles(0x8, 0x8)},                            // f_and_8x
    {0x80, continuation, any_nibble, continuation}, // two_conts
};

using table = std::array<uint8_t, 16>;

template <uint16_t pair_class::*Set> constexpr table make_table() {
    table t{};
    for (int n = 0; n < 16; ++n)
        for (const pair_class &c : classes)
            if (c.*Set & 1u << n) t[n] = static_cast<uint8_t>(t[n] | c.bit);
    return t;
}

alignas(16) constexpr table first_high = make_table<&pair_class::first_high>();
alignas(16) constexpr table first_low = make_table<&pair_class::first_low>();
alignas(16) constexpr table second_high = make_table<&pair_class::second_high>();
static_assert(first_high[0x0] == 0x02 && first_high[0x8] == 0x80 && first_high[0xF] == 0x61);
static_assert(second_high[0x8] == 0xCE && second_high[0xC] == 0x01);

// For the open-sequence test at a block's end: a byte above these limits in the last three
// places begins a sequence that needs more bytes than the block has left.
constexpr uint8_t open_limit(int from_end) {
    return from_end == 1 ? 0xBF : from_end == 2 ? 0xDF : from_end == 3 ? 0xEF : 0xFF;
}

// Where the sequence left open at `end` begins (its lead byte is among the last three).
const uint8_t *open_sequence_start(const uint8_t *end) {
    const uint8_t *q = end - 1;
    while (*q < 0xC0)
        --q;
    return q;
}

} // namespace

// ---- portable ---------------------------------------------------------------------------------

const uint8_t *utf8_prefix_portable(const uint8_t *p, const uint8_t *e) {
    utf8_state s;
    const uint8_t *boundary = p;
    while (p < e) {
        if (!s.due) {
            boundary = p;
            while (e - p >= 8) {
                uint64_t w;
                std::memcpy(&w, p, 8);
                if (w & 0x8080808080808080u) break;
                p += 8;
            }
            while (p < e && *p < 0x80)
                ++p;
            boundary = p;
            if (p == e) break;
        }
        if (!utf8_step(s, *p)) return boundary;
        ++p;
    }
    return s.due ? boundary : e;
}

#if defined(TAMSEL_UTF8_X86)

// ---- SSE4.2 -----------------------------------------------------------------------------------

namespace {

struct sse_tables {
    __m128i first_high, first_low, second_high, open;
};

__attribute__((target("sse4.2"))) inline __m128i classify_16(const sse_tables &t, __m128i prev,
                                                             __m128i cur) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i prev1 = _mm_alignr_epi8(cur, prev, 15);
    const __m128i found = _mm_and_si128(
        _mm_and_si128(
            _mm_shuffle_epi8(t.first_high, _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble)),
            _mm_shuffle_epi8(t.first_low, _mm_and_si128(prev1, nibble))),
        _mm_shuffle_epi8(t.second_high, _mm_and_si128(_mm_srli_epi16(cur, 4), nibble)));
    // Bit 7 where a third or fourth byte is due: two back at E0 or above, three back at F0 or
    // above (the saturating subtraction leaves bit 7 set exactly then).
    const __m128i due = _mm_or_si128(_mm_subs_epu8(_mm_alignr_epi8(cur, prev, 14),
                                                   _mm_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                                     _mm_subs_epu8(_mm_alignr_epi8(cur, prev, 13),
                                                   _mm_set1_epi8(static_cast<char>(0xF0 - 0x80))));
    return _mm_xor_si128(found, _mm_and_si128(due, _mm_set1_epi8(static_cast<char>(0x80))));
}

// One block of four vectors after `prev`: the error bits, and in `open` whether the block ends
// inside a sequence.
__attribute__((target("sse4.2"))) inline __m128i
check_block_16(const sse_tables &t, const uint8_t *block, __m128i &prev, __m128i &open) {
    const __m128i *v = reinterpret_cast<const __m128i *>(block);
    __m128i x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = _mm_loadu_si128(v + i);
    const __m128i any = _mm_or_si128(_mm_or_si128(x[0], x[1]), _mm_or_si128(x[2], x[3]));
    if (!_mm_movemask_epi8(any)) { // ASCII: only a sequence left open before it is wrong
        const __m128i error = open;
        open = _mm_setzero_si128();
        prev = x[3];
        return error;
    }
    __m128i error = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        error = _mm_or_si128(error, classify_16(t, prev, x[i]));
        prev = x[i];
    }
    open = _mm_subs_epu8(x[3], t.open);
    return error;
}

} // namespace

__attribute__((target("sse4.2"))) const uint8_t *utf8_prefix_sse42(const uint8_t *p,
                                                                   const uint8_t *e) {
    sse_tables t;
    t.first_high = _mm_load_si128(reinterpret_cast<const __m128i *>(first_high.data()));
    t.first_low = _mm_load_si128(reinterpret_cast<const __m128i *>(first_low.data()));
    t.second_high = _mm_load_si128(reinterpret_cast<const __m128i *>(second_high.data()));
    alignas(16) uint8_t limits[16];
    for (int i = 0; i < 16; ++i)
        limits[i] = open_limit(16 - i);
    t.open = _mm_load_si128(reinterpret_cast<const __m128i *>(limits));
    __m128i prev = _mm_setzero_si128(), open = _mm_setzero_si128();
    const uint8_t *boundary = p;
    for (; e - p >= 64; p += 64) {
        if (_mm_movemask_epi8(
                _mm_cmpeq_epi8(check_block_16(t, p, prev, open), _mm_setzero_si128())) != 0xFFFF)
            return boundary;
        boundary = _mm_movemask_epi8(_mm_cmpeq_epi8(open, _mm_setzero_si128())) == 0xFFFF
                       ? p + 64
                       : open_sequence_start(p + 64);
    }
    if (p == e) return boundary;
    alignas(16) uint8_t tail[64] = {};
    std::memcpy(tail, p, static_cast<size_t>(e - p));
    // The zeros after the tail are ASCII: a sequence it leaves open shows as an error.
    const __m128i error = check_block_16(t, tail, prev, open);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF ? e : boundary;
}

// ---- AVX2 -------------------------------------------------------------------------------------

namespace {

struct avx_tables {
    __m256i first_high, first_low, second_high, open;
};

__attribute__((target("avx2"))) inline __m256i classify_32(const avx_tables &t, __m256i prev,
                                                           __m256i cur) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    // The 16 bytes before each lane: the previous vector's high lane, then this one's low lane.
    const __m256i before = _mm256_permute2x128_si256(prev, cur, 0x21);
    const __m256i prev1 = _mm256_alignr_epi8(cur, before, 15);
    const __m256i found = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.first_high,
                                             _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                         _mm256_shuffle_epi8(t.first_low, _mm256_and_si256(prev1, nibble))),
        _mm256_shuffle_epi8(t.second_high, _mm256_and_si256(_mm256_srli_epi16(cur, 4), nibble)));
    const __m256i due =
        _mm256_or_si256(_mm256_subs_epu8(_mm256_alignr_epi8(cur, before, 14),
                                         _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                        _mm256_subs_epu8(_mm256_alignr_epi8(cur, before, 13),
                                         _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80))));
    return _mm256_xor_si256(found,
                            _mm256_and_si256(due, _mm256_set1_epi8(static_cast<char>(0x80))));
}

__attribute__((target("avx2"))) inline __m256i
check_block_32(const avx_tables &t, const uint8_t *block, __m256i &prev, __m256i &open) {
    const __m256i *v = reinterpret_cast<const __m256i *>(block);
    const __m256i x0 = _mm256_loadu_si256(v), x1 = _mm256_loadu_si256(v + 1);
    if (!_mm256_movemask_epi8(_mm256_or_si256(x0, x1))) {
        const __m256i error = open;
        open = _mm256_setzero_si256();
        prev = x1;
        return error;
    }
    const __m256i error = _mm256_or_si256(classify_32(t, prev, x0), classify_32(t, x0, x1));
    prev = x1;
    open = _mm256_subs_epu8(x1, t.open);
    return error;
}

__attribute__((target("avx2"))) inline bool zero_32(__m256i x) {
    return _mm256_testz_si256(x, x);
}

} // namespace

__attribute__((target("avx2"))) const uint8_t *utf8_prefix_avx2(const uint8_t *p,
                                                                const uint8_t *e) {
    avx_tables t;
    t.first_high = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(first_high.data())));
    t.first_low = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(first_low.data())));
    t.second_high = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(second_high.data())));
    alignas(32) uint8_t limits[32];
    for (int i = 0; i < 32; ++i)
        limits[i] = open_limit(32 - i);
    t.open = _mm256_load_si256(reinterpret_cast<const __m256i *>(limits));
    __m256i prev = _mm256_setzero_si256(), open = _mm256_setzero_si256();
    const uint8_t *boundary = p;
    for (; e - p >= 64; p += 64) {
        if (!zero_32(check_block_32(t, p, prev, open))) return boundary;
        boundary = zero_32(open) ? p + 64 : open_sequence_start(p + 64);
    }
    if (p == e) return boundary;
    alignas(32) uint8_t tail[64] = {};
    std::memcpy(tail, p, static_cast<size_t>(e - p));
    return zero_32(check_block_32(t, tail, prev, open)) ? e : boundary;
}

#endif // TAMSEL_UTF8_X86

} // namespace tamsel::scan

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
// above, so bit 7 of the classes is compared with that. A vector whose last bytes begin a
// sequence that is still open carries it into the next one's first bytes; before a vector of
// plain ASCII it is an error. The tail of a run shorter than a vector is checked by taking the
// run's last vector again (the bytes already checked are checked alike), or, in a run shorter
// than that, in a copy padded with zeros.
//
// The portable kernel is the automaton itself with ASCII skipped a word at a time.
#include "text/scan.hpp"
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

using table_t = std::array<uint8_t, 16>;

template <uint16_t pair_class::*Set> constexpr table_t make_table() {
    table_t t{};
    for (int n = 0; n < 16; ++n)
        for (const pair_class &c : classes)
            if (c.*Set & 1u << n) t[n] = static_cast<uint8_t>(t[n] | c.bit);
    return t;
}

alignas(16) constexpr table_t first_high = make_table<&pair_class::first_high>();
alignas(16) constexpr table_t first_low = make_table<&pair_class::first_low>();
alignas(16) constexpr table_t second_high = make_table<&pair_class::second_high>();
static_assert(first_high[0x0] == 0x02 && first_high[0x8] == 0x80 && first_high[0xF] == 0x61);
static_assert(second_high[0x8] == 0xCE && second_high[0xC] == 0x01);

// For the open-sequence test at a vector's end: a byte above these limits in the last three
// places begins a sequence that needs more bytes than the vector has left. The last 16 entries
// serve 16-byte vectors.
constexpr std::array<uint8_t, 32> make_open_limits() {
    std::array<uint8_t, 32> t{};
    for (int i = 0; i < 32; ++i)
        t[i] = i == 31 ? 0xBF : i == 30 ? 0xDF : i == 29 ? 0xEF : 0xFF;
    return t;
}
alignas(32) constexpr std::array<uint8_t, 32> open_limits = make_open_limits();

// Where the sequence left open at `end` begins (its lead byte is among the last three).
const uint8_t *open_sequence_start(const uint8_t *end) {
    const uint8_t *q = end - 1;
    while (*q < 0xC0)
        --q;
    return q;
}

} // namespace

// The check of whole strings that the bulk paths take in place, for those with bytes that are
// not ASCII.
const uint8_t *utf8_string_end(const uint8_t *p, const uint8_t *e) {
    // Escapes are ASCII: the body is well-formed when all of it, escapes included, is.
    const uint8_t *close = string_body_end(p, e);
    return close && utf8_valid(p, close) ? close : nullptr;
}

const uint8_t *utf8_plain_run(const uint8_t *p, const uint8_t *e) {
    const uint8_t *end = plain_run(p, e);
    return utf8_valid(p, end) ? end : nullptr;
}

// ---- portable ---------------------------------------------------------------------------------

const uint8_t *utf8_prefix_portable(const uint8_t *p, const uint8_t *e) {
    utf8_state s;
    const uint8_t *boundary = p;
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

// The check over a run, one vector at a time: the tables, the error bits gathered so far, the
// vector before the next one, and what the last vector left open.
struct sse_check {
    __m128i first_high, first_low, second_high, limits;
    __m128i prev, open, error;

    __attribute__((target("sse4.2"))) sse_check() {
        auto table = [](const table_t &x) {
            return _mm_load_si128(reinterpret_cast<const __m128i *>(x.data()));
        };
        first_high = table(tamsel::scan::first_high);
        first_low = table(tamsel::scan::first_low);
        second_high = table(tamsel::scan::second_high);
        limits = _mm_load_si128(reinterpret_cast<const __m128i *>(open_limits.data() + 16));
        prev = open = error = _mm_setzero_si128();
    }

    // The error classes of each byte of `cur` with the bytes before it (from `before`).
    __attribute__((target("sse4.2"))) __m128i classify(__m128i before, __m128i cur) const {
        const __m128i nibble = _mm_set1_epi8(0x0F);
        const __m128i prev1 = _mm_alignr_epi8(cur, before, 15);
        const __m128i found = _mm_and_si128(
            _mm_and_si128(
                _mm_shuffle_epi8(first_high, _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble)),
                _mm_shuffle_epi8(first_low, _mm_and_si128(prev1, nibble))),
            _mm_shuffle_epi8(second_high, _mm_and_si128(_mm_srli_epi16(cur, 4), nibble)));
        // Bit 7 where a third or fourth byte is due: two back at E0 or above, three back at F0
        // or above (the saturating subtraction leaves bit 7 set exactly then).
        const __m128i due =
            _mm_or_si128(_mm_subs_epu8(_mm_alignr_epi8(cur, before, 14),
                                       _mm_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                         _mm_subs_epu8(_mm_alignr_epi8(cur, before, 13),
                                       _mm_set1_epi8(static_cast<char>(0xF0 - 0x80))));
        return _mm_xor_si128(found, _mm_and_si128(due, _mm_set1_epi8(static_cast<char>(0x80))));
    }

    __attribute__((target("sse4.2"))) void take(__m128i x) {
        if (_mm_movemask_epi8(x)) {
            error = _mm_or_si128(error, classify(prev, x));
            open = _mm_subs_epu8(x, limits);
        } else { // ASCII: only a sequence left open before it is wrong
            error = _mm_or_si128(error, open);
            open = _mm_setzero_si128();
        }
        prev = x;
    }
    __attribute__((target("sse4.2"))) static bool zero(__m128i x) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())) == 0xFFFF;
    }
};

} // namespace

__attribute__((target("sse4.2"))) const uint8_t *utf8_prefix_sse42(const uint8_t *p,
                                                                   const uint8_t *e) {
    const uint8_t *const start = p;
    sse_check c;
    const uint8_t *boundary = p;
    for (; e - p >= 64; p += 64) {
        const __m128i *v = reinterpret_cast<const __m128i *>(p);
        const __m128i x0 = _mm_loadu_si128(v), x1 = _mm_loadu_si128(v + 1),
                      x2 = _mm_loadu_si128(v + 2), x3 = _mm_loadu_si128(v + 3);
        if (!_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(x0, x1), _mm_or_si128(x2, x3)))) {
            c.error = _mm_or_si128(c.error, c.open); // an ASCII block
            c.open = _mm_setzero_si128();
            c.prev = x3;
        } else {
            c.take(x0);
            c.take(x1);
            c.take(x2);
            c.take(x3);
        }
        if (!sse_check::zero(c.error)) return boundary;
        boundary = sse_check::zero(c.open) ? p + 64 : open_sequence_start(p + 64);
    }
    for (; e - p >= 16; p += 16) {
        c.take(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        if (!sse_check::zero(c.error)) return boundary;
        boundary = sse_check::zero(c.open) ? p + 16 : open_sequence_start(p + 16);
    }
    if (p == e) return boundary;
    if (e - start >= 32) {
        // The run's last vector again, after the 16 bytes before it.
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(e - 16));
        if (!sse_check::zero(
                c.classify(_mm_loadu_si128(reinterpret_cast<const __m128i *>(e - 32)), x)))
            return boundary;
        return sse_check::zero(_mm_subs_epu8(x, c.limits)) ? e : open_sequence_start(e);
    }
    // A short run: its tail in a copy padded with zeros (ASCII, so a sequence it leaves open
    // shows as an error).
    alignas(16) uint8_t tail[16] = {};
    std::memcpy(tail, p, static_cast<size_t>(e - p));
    c.take(_mm_load_si128(reinterpret_cast<const __m128i *>(tail)));
    return sse_check::zero(c.error) ? e : boundary;
}

// ---- AVX2 -------------------------------------------------------------------------------------

namespace {

__attribute__((target("avx2"))) inline __m256i broadcast(const table_t &x) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(x.data())));
}

struct avx_check {
    __m256i first_high, first_low, second_high, limits;
    __m256i prev, open, error;

    __attribute__((target("avx2"))) avx_check() {

        first_high = broadcast(tamsel::scan::first_high);
        first_low = broadcast(tamsel::scan::first_low);
        second_high = broadcast(tamsel::scan::second_high);
        limits = _mm256_load_si256(reinterpret_cast<const __m256i *>(open_limits.data()));
        prev = open = error = _mm256_setzero_si256();
    }

    // As the SSE4.2 classify; the 16 bytes before each lane are the high lane of `before`, then
    // the low lane of `cur`.
    __attribute__((target("avx2"))) __m256i classify(__m256i before, __m256i cur) const {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i lanes = _mm256_permute2x128_si256(before, cur, 0x21);
        const __m256i prev1 = _mm256_alignr_epi8(cur, lanes, 15);
        const __m256i found = _mm256_and_si256(
            _mm256_and_si256(_mm256_shuffle_epi8(
                                 first_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                             _mm256_shuffle_epi8(first_low, _mm256_and_si256(prev1, nibble))),
            _mm256_shuffle_epi8(second_high, _mm256_and_si256(_mm256_srli_epi16(cur, 4), nibble)));
        const __m256i due =
            _mm256_or_si256(_mm256_subs_epu8(_mm256_alignr_epi8(cur, lanes, 14),
                                             _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                            _mm256_subs_epu8(_mm256_alignr_epi8(cur, lanes, 13),
                                             _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80))));
        return _mm256_xor_si256(found,
                                _mm256_and_si256(due, _mm256_set1_epi8(static_cast<char>(0x80))));
    }

    __attribute__((target("avx2"))) void take(__m256i x) {
        if (_mm256_movemask_epi8(x)) {
            error = _mm256_or_si256(error, classify(prev, x));
            open = _mm256_subs_epu8(x, limits);
        } else {
            error = _mm256_or_si256(error, open);
            open = _mm256_setzero_si256();
        }
        prev = x;
    }
    __attribute__((target("avx2"))) static bool zero(__m256i x) { return _mm256_testz_si256(x, x); }
};

} // namespace

__attribute__((target("avx2"))) const uint8_t *utf8_prefix_avx2(const uint8_t *p,
                                                                const uint8_t *e) {
    const uint8_t *const start = p;
    avx_check c;
    const uint8_t *boundary = p;
    for (; e - p >= 64; p += 64) {
        const __m256i *v = reinterpret_cast<const __m256i *>(p);
        const __m256i x0 = _mm256_loadu_si256(v), x1 = _mm256_loadu_si256(v + 1);
        if (!_mm256_movemask_epi8(_mm256_or_si256(x0, x1))) {
            c.error = _mm256_or_si256(c.error, c.open); // an ASCII block
            c.open = _mm256_setzero_si256();
            c.prev = x1;
        } else {
            c.take(x0);
            c.take(x1);
        }
        if (!avx_check::zero(c.error)) return boundary;
        boundary = avx_check::zero(c.open) ? p + 64 : open_sequence_start(p + 64);
    }
    if (e - p >= 32) {
        c.take(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
        if (!avx_check::zero(c.error)) return boundary;
        p += 32;
        boundary = avx_check::zero(c.open) ? p : open_sequence_start(p);
    }
    if (p == e) return boundary;
    if (e - start >= 48) {
        // The run's last vector again, after the 16 bytes before it (all that classify reads
        // of the vector before).
        const __m256i before = _mm256_inserti128_si256(
            _mm256_setzero_si256(), _mm_loadu_si128(reinterpret_cast<const __m128i *>(e - 48)), 1);
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(e - 32));
        if (!avx_check::zero(c.classify(before, x))) return boundary;
        return avx_check::zero(_mm256_subs_epu8(x, c.limits)) ? e : open_sequence_start(e);
    }
    alignas(32) uint8_t tail[32] = {};
    std::memcpy(tail, p, static_cast<size_t>(e - p));
    c.take(_mm256_load_si256(reinterpret_cast<const __m256i *>(tail)));
    return avx_check::zero(c.error) ? e : boundary;
}

#endif // TAMSEL_UTF8_X86

} // namespace tamsel::scan

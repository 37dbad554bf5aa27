// Integers and doubles: decimal digits two at a time, and doubles in exactly the "%.17g" form
// of the C locale (a 128-bit power-of-ten table, std::to_chars for the cases near a tie).
#include "text/internal.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tamsel::text {

namespace {

// "00" .. "99": integers are written two digits a step.
constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}
constexpr auto digit_pairs = make_digit_pairs();
static_assert(digit_pairs[0] == '0' && digit_pairs[199] == '9' && digit_pairs[21] == '0');

} // namespace

namespace {

// Eight digits of `chunk` (< 10^8) ending at `end`, zeros included: two independent halves
// of four digits, each two pairs.
void eight_digits(uint32_t chunk, char *end) {
    const uint32_t high = chunk / 10000, low = chunk % 10000;
    std::memcpy(end - 8, &digit_pairs[2 * (high / 100)], 2);
    std::memcpy(end - 6, &digit_pairs[2 * (high % 100)], 2);
    std::memcpy(end - 4, &digit_pairs[2 * (low / 100)], 2);
    std::memcpy(end - 2, &digit_pairs[2 * (low % 100)], 2);
}

} // namespace

char *format_u64_backwards(uint64_t v, char *end) {
    char *p = end;
    // Chunks of eight digits in 32-bit arithmetic; only the splits need 64-bit division.
    while (v >= 100000000) {
        eight_digits(static_cast<uint32_t>(v % 100000000), p);
        v /= 100000000;
        p -= 8;
    }
    uint32_t w = static_cast<uint32_t>(v);
    while (w >= 100) {
        const uint32_t pair = w % 100;
        w /= 100;
        p -= 2;
        std::memcpy(p, &digit_pairs[2 * pair], 2);
    }
    if (w >= 10) {
        p -= 2;
        std::memcpy(p, &digit_pairs[2 * w], 2);
    } else {
        *--p = static_cast<char>('0' + w);
    }
    return p;
}

size_t format_u64(uint64_t v, char out[integer_text_capacity]) {
    char digits[integer_text_capacity];
    char *end = digits + sizeof digits;
    char *start = format_u64_backwards(v, end);
    const size_t n = static_cast<size_t>(end - start);
    std::memcpy(out, start, n);
    return n;
}

size_t format_i64(int64_t v, char out[integer_text_capacity]) {
    if (v >= 0) return format_u64(static_cast<uint64_t>(v), out);
    out[0] = '-';
    return 1 + format_u64(0 - static_cast<uint64_t>(v), out + 1);
}

namespace {

struct power_of_ten {
    uint64_t high, low; // the mantissa, 2^127 <= P < 2^128, rounded down
    int32_t exp2;       // 10^q ~ P * 2^exp2
};
#include "text/powers_of_ten.inc"

using u128 = unsigned __int128;
constexpr uint64_t ten16 = 10000000000000000u, ten17 = 100000000000000000u;

// floor(m * 2^e * 10^q) into *integer and the s-bit fraction below it into *fraction; false
// when the shift falls outside what one step handles (then the caller formats the slow way).
bool scale(uint64_t m, int e, int q, uint64_t *integer, u128 *fraction, int *s) {
    if (q < powers_of_ten_first || q > powers_of_ten_last) return false;
    const power_of_ten &p = powers_of_ten[q - powers_of_ten_first];
    const u128 a = static_cast<u128>(m) * p.low;
    const u128 b = static_cast<u128>(m) * p.high;
    const uint64_t w0 = static_cast<uint64_t>(a);
    const u128 mid = (a >> 64) + static_cast<uint64_t>(b);
    const uint64_t w1 = static_cast<uint64_t>(mid);
    const uint64_t w2 = static_cast<uint64_t>((b >> 64) + (mid >> 64));
    const int shift = -(e + p.exp2); // the product is (w2:w1:w0) * 2^-shift
    if (shift < 65 || shift > 128) return false;
    *s = shift;
    if (shift == 128) {
        *integer = w2;
        *fraction = (static_cast<u128>(w1) << 64) | w0;
    } else {
        const int low_bits = shift - 64;
        *integer = (w2 << (64 - low_bits)) | (w1 >> low_bits);
        *fraction = (static_cast<u128>(w1 & ((uint64_t{1} << low_bits) - 1)) << 64) | w0;
    }
    return true;
}

// The 17 significant digits of a finite, nonzero |v| correctly rounded (ties to even), as
// printf computes them, and the decimal exponent of the first: |v| ~ digits * 10^(k - 16).
// False in the rare cases where the 128-bit powers cannot decide the rounding.
bool digits17(uint64_t m, int e, uint64_t *digits, int *k) {
    const int e2 = e + 63 - __builtin_clzll(m); // floor(log2 |v|)
    // floor(e2 * log10(2)), exact for |e2| <= 1650; the true decimal exponent is this or one
    // more.
    int kk = e2 >= 0 ? (e2 * 78913) >> 18 : -(((-e2) * 78913) >> 18) - 1;
    uint64_t integer;
    u128 fraction;
    int s;
    if (!scale(m, e, 16 - kk, &integer, &fraction, &s)) return false;
    if (integer >= ten17) {
        ++kk;
        if (!scale(m, e, 16 - kk, &integer, &fraction, &s)) return false;
    }
    const int q = 16 - kk;
    const u128 half = static_cast<u128>(1) << (s - 1);
    bool up;
    if (q >= 0 && q <= 38) {
        up = fraction > half || (fraction == half && (integer & 1)); // the power is exact
    } else if (fraction > half) {
        up = true; // the product is low by less than m (< 2^53) units of 2^-s
    } else if (half - fraction >= (static_cast<u128>(1) << 54)) {
        up = false;
    } else {
        return false;
    }
    uint64_t d = integer + (up ? 1 : 0);
    if (d == ten17) {
        d = ten16;
        ++kk;
    }
    if (d < ten16 || d >= ten17) return false;
    *digits = d;
    *k = kk;
    return true;
}

// The "%.17g" layout of 17 digits with decimal exponent k: fixed notation for
// -4 <= k < 17, else d.ddde+XX; trailing zeros of the fraction and a bare point dropped.
size_t layout17(bool negative, uint64_t d, int k, char *out) {
    char digits[17];
    (void)format_u64_backwards(d, digits + 17);
    char *p = out;
    if (negative) *p++ = '-';
    size_t nd = 17;
    if (k < -4 || k >= 17) {
        while (nd > 1 && digits[nd - 1] == '0')
            --nd;
        *p++ = digits[0];
        if (nd > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, nd - 1);
            p += nd - 1;
        }
        *p++ = 'e';
        *p++ = k < 0 ? '-' : '+';
        const unsigned x = static_cast<unsigned>(k < 0 ? -k : k);
        if (x >= 100) *p++ = static_cast<char>('0' + x / 100);
        *p++ = static_cast<char>('0' + x / 10 % 10);
        *p++ = static_cast<char>('0' + x % 10);
    } else if (k >= 0) {
        const size_t whole = static_cast<size_t>(k) + 1;
        while (nd > whole && digits[nd - 1] == '0')
            --nd;
        std::memcpy(p, digits, whole);
        p += whole;
        if (nd > whole) {
            *p++ = '.';
            std::memcpy(p, digits + whole, nd - whole);
            p += nd - whole;
        }
    } else {
        while (digits[nd - 1] == '0')
            --nd;
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > k; --i)
            *p++ = '0';
        std::memcpy(p, digits, nd);
        p += nd;
    }
    return static_cast<size_t>(p - out);
}

} // namespace

size_t format_double(double v, char out[double_text_capacity]) {
    if (!std::isfinite(v)) return 0;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = bits >> 63;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0 && fraction == 0) {
        if (negative) {
            out[0] = '-';
            out[1] = '0';
            return 2;
        }
        out[0] = '0';
        return 1;
    }
    const uint64_t m = biased ? fraction | (uint64_t{1} << 52) : fraction;
    const int e = biased ? biased - 1075 : -1074;
    uint64_t digits;
    int k;
    if (digits17(m, e, &digits, &k)) return layout17(negative, digits, k, out);
    // The exact, slower route: to_chars in general format with precision 17 gives the digits
    // of printf("%.17g") in the C locale, and never looks at the process locale either.
    std::to_chars_result r =
        std::to_chars(out, out + double_text_capacity, v, std::chars_format::general, 17);
    if (r.ec != std::errc()) return 0;
    return static_cast<size_t>(r.ptr - out);
}

namespace {

constexpr uint64_t powers_of_ten_u64[20] = {1u,
                                            10u,
                                            100u,
                                            1000u,
                                            10000u,
                                            100000u,
                                            1000000u,
                                            10000000u,
                                            100000000u,
                                            1000000000u,
                                            10000000000u,
                                            100000000000u,
                                            1000000000000u,
                                            10000000000000u,
                                            100000000000000u,
                                            1000000000000000u,
                                            10000000000000000u,
                                            100000000000000000u,
                                            1000000000000000000u,
                                            10000000000000000000u};

// The number of decimal digits of `v`: from its bit length, corrected once.
size_t decimal_digits(uint64_t v) {
    const int bits = 64 - __builtin_clzll(v | 1);
    size_t n = static_cast<size_t>((bits * 1233) >> 12) + 1; // bits * log10(2), + 1
    if (n > 20 || (n > 1 && v < powers_of_ten_u64[n - 1])) --n;
    return n;
}

} // namespace

tamsel_status emit_u64(io::byte_output &out, uint64_t v) {
    const size_t n = decimal_digits(v);
    if (out.room() >= n) {
        char *w = reinterpret_cast<char *>(out.window());
        (void)format_u64_backwards(v, w + n);
        out.advance(n);
        return TAMSEL_STATUS_OK;
    }
    char digits[integer_text_capacity];
    char *end = digits + sizeof digits;
    return out.put(end - n, static_cast<size_t>(end - format_u64_backwards(v, end)));
}

tamsel_status emit_i64(io::byte_output &out, int64_t v) {
    if (v >= 0) return emit_u64(out, static_cast<uint64_t>(v));
    TAMSEL_TRY(out.put('-'));
    return emit_u64(out, 0 - static_cast<uint64_t>(v));
}

tamsel_status emit_double(io::byte_output &out, double v, tamsel_error *error,
                          const char *nonfinite_message) {
    if (!std::isfinite(v)) return fail(error, TAMSEL_STATUS_TYPE_MISMATCH, "%s", nonfinite_message);
    if (out.room() >= double_text_capacity) {
        const size_t n = format_double(v, reinterpret_cast<char *>(out.window()));
        if (n == 0) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "failed to format number");
        out.advance(n);
        return TAMSEL_STATUS_OK;
    }
    char text[double_text_capacity];
    const size_t n = format_double(v, text);
    if (n == 0) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "failed to format number");
    return out.put(text, n);
}

} // namespace tamsel::text

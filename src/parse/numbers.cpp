// Number conversion for mapped fields: integers by one pass with an exact overflow test,
// doubles correctly rounded and independent of the process locale.
#include "parse/parser.hpp"
#include "text/internal.hpp"

#include <charconv>
#include <cmath>

namespace tamsel::parse {

namespace {

// An optional '-' (when allowed), then 0 or [1-9][0-9]*, and nothing else, whose value fits
// in 64 bits.
bool parse_magnitude(const unsigned char *s, size_t len, bool allow_minus, bool *negative,
                     uint64_t *out) {
    size_t i = 0;
    *negative = false;
    if (allow_minus && i < len && s[i] == '-') {
        *negative = true;
        ++i;
    }
    if (i >= len) return false;
    if (s[i] == '0') {
        if (i + 1 != len) return false;
        *out = 0;
        return true;
    }
    uint64_t v = 0;
    // Nineteen digits stay below 10^19 < 2^64: only longer runs test for overflow.
    if (len - i <= 19) {
        for (; i < len; ++i) {
            const unsigned d = static_cast<unsigned>(s[i]) - '0';
            if (d > 9) return false;
            v = v * 10 + d;
        }
    } else {
        for (; i < len; ++i) {
            const unsigned d = static_cast<unsigned>(s[i]) - '0';
            if (d > 9 || __builtin_mul_overflow(v, uint64_t{10}, &v) ||
                __builtin_add_overflow(v, d, &v))
                return false;
        }
    }
    *out = v;
    return true;
}

// Takes the run of decimal digits at p into *m (which may wrap past 19 digits: the caller
// checks *count) and returns its end.
inline const unsigned char *accumulate_digits(const unsigned char *p, const unsigned char *end,
                                              uint64_t *m, size_t *count) {
    const unsigned char *const from = p;
    uint64_t v = *m;
    for (; p < end && static_cast<unsigned>(*p - '0') < 10; ++p)
        v = v * 10 + static_cast<unsigned>(*p - '0');
    *m = v;
    *count += static_cast<size_t>(p - from);
    return p;
}

// The exact doubles 1e0 .. 1e22.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Numbers whose digits make an integer m below 2^53 and whose decimal exponent k lies within
// +-22: m and 10^|k| are both exact doubles, so one IEEE multiplication or division rounds
// the result correctly. Anything else (and any token that breaks the grammar) is left to the
// general conversion.
bool parse_f64_exact(const unsigned char *s, size_t len, double *out) {
    constexpr uint64_t exact_limit = uint64_t{1} << 53;
    const unsigned char *p = s;
    const unsigned char *const end = s + len;
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    if (p == end) return false;
    uint64_t m = 0;
    size_t count = 0; // digits taken into m
    int64_t k = 0;
    if (*p == '0') {
        ++p;
    } else {
        p = accumulate_digits(p, end, &m, &count);
        if (m == 0) return false; // no digit
    }
    if (p < end && *p == '.') {
        const unsigned char *digits = ++p;
        p = accumulate_digits(p, end, &m, &count);
        if (p == digits) return false;
        k = -(p - digits);
    }
    // Up to 19 digits m cannot have wrapped; m only grows digit by digit, so testing it once
    // here refuses what a test after every digit would.
    if (count > 19 || m >= exact_limit) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool minus = false;
        if (p < end && (*p == '+' || *p == '-')) minus = *p++ == '-';
        const unsigned char *digits = p;
        int64_t x = 0;
        for (; p < end && static_cast<unsigned>(*p - '0') < 10; ++p) {
            if (x > 1000) return false; // far outside +-22: the general path takes it
            x = x * 10 + (*p - '0');
        }
        if (p == digits) return false;
        k += minus ? -x : x;
    }
    if (p != end || k < -22 || k > 22) return false;
    double v = static_cast<double>(m);
    v = k < 0 ? v / exact_powers[-k] : v * exact_powers[k];
    *out = negative ? -v : v;
    return true;
}

// The decimal exponent of the first significant digit of a nonzero number token that follows
// the grammar: the value lies in [10^m, 10^(m+1)). The written exponent saturates, so any
// length of exponent text is safe; token lengths stay far below the saturation bound.
int64_t decimal_magnitude(const char *s, size_t len) {
    constexpr int64_t saturated = 100'000'000'000'000'000; // 10^17: x * 10 + 9 fits
    const char *p = s + (s[0] == '-' ? 1 : 0);
    const char *const end = s + len;
    int64_t m = -1;
    bool significant = false;
    for (; p < end && *p != '.' && *p != 'e' && *p != 'E'; ++p) {
        significant = significant || *p != '0';
        if (significant) ++m;
    }
    if (p < end && *p == '.') {
        for (++p; p < end && *p != 'e' && *p != 'E'; ++p) {
            if (significant) continue;
            significant = *p != '0';
            if (!significant) --m;
        }
    }
    if (p < end) {
        ++p; // 'e' or 'E'
        const bool minus = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        int64_t x = 0;
        for (; p < end; ++p)
            x = x < saturated ? x * 10 + (*p - '0') : saturated;
        m += minus ? -x : x;
    }
    return m;
}

} // namespace

bool parse_i64(const unsigned char *token, size_t len, int64_t *out) {
    // The usual integer, 1 to 18 digits without a leading zero, stays below 10^18 < 2^63: one
    // pass with no overflow test.
    const size_t sign = len && token[0] == '-';
    const size_t digits = len - sign;
    if (digits - 1 < 18 && (token[sign] != '0' || digits == 1)) {
        uint64_t v = 0;
        for (size_t i = sign; i < len; ++i) {
            const unsigned d = static_cast<unsigned>(token[i]) - '0';
            if (d > 9) return false;
            v = v * 10 + d;
        }
        *out = sign ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }
    bool negative;
    uint64_t magnitude;
    if (!parse_magnitude(token, len, true, &negative, &magnitude)) return false;
    if (magnitude > (negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX})) return false;
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool parse_u64(const unsigned char *token, size_t len, uint64_t *out) {
    bool negative;
    return parse_magnitude(token, len, false, &negative, out);
}

bool parse_f64(const unsigned char *token, size_t len, double *out) {
    if (parse_f64_exact(token, len, out)) return true;
    const char *s = reinterpret_cast<const char *>(token);
    if (!text::is_valid_json_number(s, len)) return false;
    // libstdc++'s from_chars rounds correctly whatever the number of digits and saturates long
    // exponents (the conversion table in the tests holds it to that, halfway points with
    // hundreds of digits included). It reports a range error both ways: beyond the largest
    // double is refused, a value that rounds below the smallest subnormal is a zero of the
    // token's sign.
    double v = 0;
    auto r = std::from_chars(s, s + len, v, std::chars_format::general);
    if (r.ptr != s + len) return false;
    if (r.ec == std::errc::result_out_of_range) {
        if (decimal_magnitude(s, len) >= 0) return false;
        v = s[0] == '-' ? -0.0 : 0.0;
    } else if (r.ec != std::errc{} || !std::isfinite(v)) {
        return false;
    }
    *out = v;
    return true;
}

} // namespace tamsel::parse

// Number conversion for mapped fields: integers by one pass with an exact overflow test,
// doubles correctly rounded and independent of the process locale.
#include "parse/parser.hpp"
#include "text/internal.hpp"

#include <charconv>
#include <cmath>

namespace tamsel::parse {

namespace {

// An optional '-' (when allowed), then 0 or [1-9][0-9]*, and nothing else.
bool parse_magnitude(const unsigned char *s, size_t len, bool allow_minus, bool *negative,
                     uint64_t limit, uint64_t *out) {
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
    for (; i < len; ++i) {
        unsigned d = static_cast<unsigned>(s[i]) - '0';
        if (d > 9) return false;
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// The exact doubles 1e0 .. 1e22.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Numbers whose digits make an integer m below 2^53 and whose decimal exponent k lies within
// +-22: m and 10^|k| are both exact doubles, so one IEEE multiplication or division rounds
// the result correctly. Anything else (and any token that breaks the grammar) is left to the
// general conversion, which also owns the refusals.
bool parse_f64_exact(const unsigned char *s, size_t len, double *out) {
    constexpr uint64_t exact_limit = uint64_t{1} << 53;
    const unsigned char *p = s;
    const unsigned char *const end = s + len;
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    if (p == end) return false;
    uint64_t m = 0;
    int64_t k = 0;
    if (*p == '0') {
        ++p;
    } else {
        for (; p < end && static_cast<unsigned>(*p - '0') < 10; ++p) {
            m = m * 10 + static_cast<unsigned>(*p - '0');
            if (m >= exact_limit) return false;
        }
        if (m == 0) return false; // no digit
    }
    if (p < end && *p == '.') {
        const unsigned char *digits = ++p;
        for (; p < end && static_cast<unsigned>(*p - '0') < 10; ++p) {
            m = m * 10 + static_cast<unsigned>(*p - '0');
            if (m >= exact_limit) return false;
        }
        if (p == digits) return false;
        k = -(p - digits);
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool minus = false;
        if (p < end && (*p == '+' || *p == '-')) minus = *p++ == '-';
        const unsigned char *digits = p;
        int64_t x = 0;
        for (; p < end && static_cast<unsigned>(*p - '0') < 10; ++p) {
            if (x > 1000) return false;
            x = x * 10 + (*p - '0');
        }
        // Explicit exponents of 512 or more are refused by the general path, whatever the
        // digits before them.
        if (p == digits || x >= 512) return false;
        k += minus ? -x : x;
    }
    if (p != end || k < -22 || k > 22) return false;
    double v = static_cast<double>(m);
    v = k < 0 ? v / exact_powers[-k] : v * exact_powers[k];
    *out = negative ? -v : v;
    return true;
}

} // namespace

bool parse_i64(const unsigned char *token, size_t len, int64_t *out) {
    bool negative;
    uint64_t magnitude;
    if (!parse_magnitude(token, len, true, &negative, UINT64_MAX, &magnitude)) return false;
    if (magnitude > (negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX})) return false;
    *out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool parse_u64(const unsigned char *token, size_t len, uint64_t *out) {
    bool negative;
    return parse_magnitude(token, len, false, &negative, UINT64_MAX, out);
}

bool parse_f64(const unsigned char *token, size_t len, double *out) {
    if (parse_f64_exact(token, len, out)) return true;
    const char *s = reinterpret_cast<const char *>(token);
    if (!text::is_valid_json_number(s, len)) return false;
    // Exponents of 512 or more in magnitude are refused, as are results that overflow;
    // results that underflow become a signed zero.
    int64_t exponent = 0;
    bool has_exponent = false;
    const char *e = static_cast<const char *>(std::memchr(s, 'e', len));
    if (!e) e = static_cast<const char *>(std::memchr(s, 'E', len));
    if (e) {
        has_exponent = true;
        const char *q = e + 1;
        const char *end = s + len;
        bool neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        for (; q < end; ++q) {
            if (exponent < 100000) exponent = exponent * 10 + (*q - '0');
        }
        if (neg) exponent = -exponent;
    }
    if (has_exponent && (exponent >= 512 || exponent <= -512)) return false;
    double v = 0;
    auto r = std::from_chars(s, s + len, v, std::chars_format::general);
    if (r.ptr != s + len) return false;
    if (r.ec == std::errc::result_out_of_range) {
        // Out of range one way or the other: tell them apart by the decimal magnitude.
        const bool negative = s[0] == '-';
        const char *digits = s + (negative ? 1 : 0);
        const char *end = e ? e : s + len;
        int64_t magnitude = exponent;
        const char *dot = static_cast<const char *>(std::memchr(digits, '.', end - digits));
        const char *int_end = dot ? dot : end;
        bool nonzero_int = !(int_end - digits == 1 && digits[0] == '0');
        if (nonzero_int) {
            magnitude += int_end - digits - 1;
        } else if (dot) {
            const char *q = dot + 1;
            while (q < end && *q == '0')
                ++q;
            magnitude -= (q - dot);
        }
        if (magnitude > 0) return false; // overflow
        v = negative ? -0.0 : 0.0;
    } else if (r.ec != std::errc{}) {
        return false;
    }
    if (!std::isfinite(v)) return false;
    *out = v;
    return true;
}

} // namespace tamsel::parse

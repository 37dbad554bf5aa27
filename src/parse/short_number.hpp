// Mapped numbers read and converted in one pass: the usual short number of an I64 or F64 field
// is scanned digit by digit into its value, where checking the token's grammar first and then
// converting it would read it twice.
//
// Only what converts exactly is taken: an integer of up to 18 digits for I64 (below 10^18, so
// no overflow test), and for F64 a number without exponent whose digits make an integer m below
// 2^53 in at most 19 digits: m and 10^places are exact doubles, so one IEEE division rounds the
// value correctly, as parse_f64 converts it. The number must end inside the range, before a byte
// that cannot continue it. Anything else is NULL, nothing stored, for the checking road (which
// also reports errors).
#pragma once

#include "text/scan.hpp"

#include <cstdint>
#include <cstring>

namespace tamsel::parse {

namespace short_number_detail {

// The digits from p on into *m; their end.
[[gnu::always_inline]] inline const uint8_t *digits(const uint8_t *p, const uint8_t *e,
                                                    uint64_t *m) {
    uint64_t v = *m;
    for (unsigned d; p < e && (d = static_cast<unsigned>(*p) - '0') < 10; ++p)
        v = v * 10 + d;
    *m = v;
    return p;
}

// The integer part at p ('-' already passed): its end, the value in *m, the digit count in
// *count; NULL when there is no digit, or a leading zero is followed by a digit.
[[gnu::always_inline]] inline const uint8_t *integer_part(const uint8_t *p, const uint8_t *e,
                                                          uint64_t *m, size_t *count) {
    if (p == e || static_cast<unsigned>(*p) - '0' > 9) return nullptr;
    *m = 0;
    if (*p == '0') {
        *count = 0;
        return p + 1; // a digit after it is refused by the ending test
    }
    const uint8_t *r = digits(p, e, m);
    *count = static_cast<size_t>(r - p);
    return r;
}

// Whether the number ended at p: a byte that cannot continue it, inside the range.
[[gnu::always_inline]] inline bool ends(const uint8_t *p, const uint8_t *e) {
    return p < e && !scan::number_chars[*p];
}

inline constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

} // namespace short_number_detail

// The I64 value of the number at p, [-](0|[1-9][0-9]{0,17}), in *out: its end, or NULL.
[[gnu::always_inline]] inline const uint8_t *short_i64(const uint8_t *p, const uint8_t *e,
                                                       int64_t *out) {
    using namespace short_number_detail;
    const bool negative = *p == '-';
    uint64_t m;
    size_t count;
    const uint8_t *r = integer_part(p + negative, e, &m, &count);
    if (!r || count > 18 || !ends(r, e)) return nullptr;
    *out = negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
    return r;
}

// The F64 value of the number at p, without exponent, in *out: its end, or NULL.
[[gnu::always_inline]] inline const uint8_t *short_f64(const uint8_t *p, const uint8_t *e,
                                                       double *out) {
    using namespace short_number_detail;
    constexpr uint64_t exact_limit = uint64_t{1} << 53;
    const bool negative = *p == '-';
    uint64_t m;
    size_t count;
    const uint8_t *r = integer_part(p + negative, e, &m, &count);
    if (!r) return nullptr;
    size_t places = 0;
    if (r < e && *r == '.') {
        const uint8_t *from = r + 1;
        r = digits(from, e, &m);
        places = static_cast<size_t>(r - from);
        if (!places) return nullptr;
    }
    if (count + places > 19 || m >= exact_limit || !ends(r, e)) return nullptr;
    const double v = static_cast<double>(m) / exact_powers[places];
    *out = negative ? -v : v;
    return r;
}

// Stores the short number `read` takes at *q into `value` when it leaves the two bytes the
// caller needs within `room`, and moves *q past it; false (nothing stored) otherwise.
template <typename T, const uint8_t *(*read)(const uint8_t *, const uint8_t *, T *)>
[[gnu::always_inline]] inline bool take_short(const uint8_t **q, const uint8_t *e, size_t room,
                                              unsigned char *value) {
    T v;
    const uint8_t *end = read(*q, e, &v);
    if (!end || static_cast<size_t>(end - *q) + 2 > room) return false;
    std::memcpy(value, &v, sizeof v);
    *q = end;
    return true;
}

} // namespace tamsel::parse

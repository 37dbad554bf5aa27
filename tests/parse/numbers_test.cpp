// Double conversion of mapped F64 fields: every token, whether the exact short path or the
// general conversion takes it, must give the correctly rounded value, bit for bit.
#include "parse_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using tamsel::parse::parse_f64;

namespace {

void expect_like_strtod(const std::string &token) {
    double got = 0;
    ASSERT_TRUE(
        parse_f64(reinterpret_cast<const unsigned char *>(token.data()), token.size(), &got))
        << token;
    const double want = std::strtod(token.c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << token;
}

} // namespace

TEST(ParseF64, MatchesStrtodAcrossDigitCountsAndExponents) {
    std::mt19937_64 rng(20261209);
    for (int i = 0; i < 200000; ++i) {
        const int digits = 1 + static_cast<int>(rng() % 19);
        std::string mantissa = std::to_string(1 + rng() % 9);
        for (int d = 1; d < digits; ++d)
            mantissa += static_cast<char>('0' + rng() % 10);
        std::string token = rng() % 2 ? "-" : "";
        const size_t dot = rng() % (mantissa.size() + 1);
        if (dot == 0)
            token += "0." + std::string(rng() % 4, '0') + mantissa;
        else if (dot < mantissa.size())
            token += mantissa.substr(0, dot) + "." + mantissa.substr(dot);
        else
            token += mantissa;
        if (rng() % 3 == 0) token += (rng() % 2 ? "e" : "E") + std::to_string(int(rng() % 61) - 30);
        expect_like_strtod(token);
        if (HasFailure()) return;
    }
    for (const char *token : {"0", "-0", "0.0", "-0.0e5", "9007199254740991", "9007199254740993",
                              "1e22", "1e23", "123456789e-22", "1e-22", "4.9e-324", "2.5E+2"})
        expect_like_strtod(token);
}

TEST(ParseF64, RefusesTokensOutsideTheGrammar) {
    for (const char *token : {"", "-", "01", "1.", ".5", "1e", "1e+", "+1", "1.e3", "0x10", "1,"}) {
        double v = 0;
        EXPECT_FALSE(
            parse_f64(reinterpret_cast<const unsigned char *>(token), std::strlen(token), &v))
            << token;
    }
}

// Integers either side of the one-pass road (up to 18 digits) and of the 64-bit range.
TEST(ParseI64, DigitCountsSignsAndLimits) {
    const struct {
        const char *token;
        bool ok;
        int64_t value;
    } cases[] = {{"0", true, 0},
                 {"-0", true, 0},
                 {"7", true, 7},
                 {"-7", true, -7},
                 {"123456789012345678", true, 123456789012345678},
                 {"-123456789012345678", true, -123456789012345678},
                 {"1234567890123456789", true, 1234567890123456789},
                 {"9223372036854775807", true, INT64_MAX},
                 {"-9223372036854775808", true, INT64_MIN},
                 {"9223372036854775808", false, 0},
                 {"-9223372036854775809", false, 0},
                 {"", false, 0},
                 {"-", false, 0},
                 {"01", false, 0},
                 {"-01", false, 0},
                 {"1.5", false, 0},
                 {"12a", false, 0},
                 {"1-", false, 0}};
    for (const auto &c : cases) {
        int64_t v = 0;
        EXPECT_EQ(tamsel::parse::parse_i64(reinterpret_cast<const unsigned char *>(c.token),
                                           std::strlen(c.token), &v),
                  c.ok)
            << c.token;
        EXPECT_EQ(v, c.ok ? c.value : 0) << c.token;
    }
}

TEST(ParseF64, LargeExplicitExponentsAreScaledByTheDigitsBeforeThem) {
    const std::string token = "0." + std::string(799, '0') + "1e800";
    double v = 0;
    ASSERT_TRUE(parse_f64(reinterpret_cast<const unsigned char *>(token.data()), token.size(), &v));
    EXPECT_EQ(v, 1.0);
}

namespace {

// One text of the conversion table: head, a run of zeros, tail; the double's bits, or none
// when the value lies beyond the largest double.
struct conversion {
    std::string text;
    uint64_t bits;
    bool ok;
};

// Written out, bits from a correctly rounded reference (Python's float()).
const struct {
    const char *head;
    size_t zeros;
    const char *tail;
    uint64_t bits;
    bool ok;
} written[] = {
    {"0e785", 0, "", 0x0000000000000000u, true},
    {"0.0e512", 0, "", 0x0000000000000000u, true},
    {"-0e-999", 0, "", 0x8000000000000000u, true},
    {"0e+2147483647", 0, "", 0x0000000000000000u, true},
    {"-0.", 300, "e99999999999999999999", 0x8000000000000000u, true},
    {"0", 0, "E-1", 0x0000000000000000u, true},
    {"0.", 700, "", 0x0000000000000000u, true},
    {"-0.", 700, "e700", 0x8000000000000000u, true},
    {"1", 600, "e-600", 0x3ff0000000000000u, true},
    {"5", 520, "e-521", 0x3fe0000000000000u, true},
    {"-1", 600, "e-600", 0xbff0000000000000u, true},
    {"0.", 799, "1e800", 0x3ff0000000000000u, true},
    {"1e-", 40, "1", 0x3fb999999999999au, true},
    {"1e+", 40, "308", 0x7fe1ccf385ebc8a0u, true},
    {"1e", 40, "309", 0x0000000000000000u, false},
    {"-1e+", 60, "308", 0xffe1ccf385ebc8a0u, true},
    {"1", 400, "e-400", 0x3ff0000000000000u, true},
    {"1", 400, ".0e-400", 0x3ff0000000000000u, true},
    {"1.", 400, "e0", 0x3ff0000000000000u, true},
    {"1e-400", 0, "", 0x0000000000000000u, true},
    {"-1e-400", 0, "", 0x8000000000000000u, true},
    {"1e-511", 0, "", 0x0000000000000000u, true},
    {"1e-512", 0, "", 0x0000000000000000u, true},
    {"-1e-512", 0, "", 0x8000000000000000u, true},
    {"1e-600", 0, "", 0x0000000000000000u, true},
    {"1e-99999999999999999999", 0, "", 0x0000000000000000u, true},
    {"-1e-", 30, "99999999999999999999", 0x8000000000000000u, true},
    {"1e600", 0, "", 0x0000000000000000u, false},
    {"1e309", 0, "", 0x0000000000000000u, false},
    {"-1e309", 0, "", 0x0000000000000000u, false},
    {"1e99999999999999999999", 0, "", 0x0000000000000000u, false},
    {"0.", 330, "1e10", 0x00000000000000cau, true},
    {"0.", 330, "1e660", 0x0000000000000000u, false},
    {"0.", 330, "1e20", 0x000001d74124e3d1u, true},
    {"1e308", 0, "", 0x7fe1ccf385ebc8a0u, true},
    {"1.7976931348623157e308", 0, "", 0x7fefffffffffffffu, true},
    {"-1.7976931348623157e308", 0, "", 0xffefffffffffffffu, true},
    {"1.7976931348623158e308", 0, "", 0x7fefffffffffffffu, true},
    {"1.7976931348623158079e308", 0, "", 0x7fefffffffffffffu, true},
    {"1.797693134862315807937e308", 0, "", 0x7fefffffffffffffu, true},
    {"1.7976931348623159e308", 0, "", 0x0000000000000000u, false},
    {"4.9e-324", 0, "", 0x0000000000000001u, true},
    {"5e-324", 0, "", 0x0000000000000001u, true},
    {"-5e-324", 0, "", 0x8000000000000001u, true},
    {"2.4703282292062328e-324", 0, "", 0x0000000000000001u, true},
    {"2.4703282292062327e-324", 0, "", 0x0000000000000000u, true},
    {"2.47032822920623272e-324", 0, "", 0x0000000000000000u, true},
    {"2.225073858507201e-308", 0, "", 0x000fffffffffffffu, true},
    {"2.2250738585072011e-308", 0, "", 0x000fffffffffffffu, true},
    {"2.2250738585072012e-308", 0, "", 0x0010000000000000u, true},
    {"2.2250738585072014e-308", 0, "", 0x0010000000000000u, true},
    {"2.2250738585072013e-308", 0, "", 0x0010000000000000u, true},
    {"2.225073858507201136057409796709131975934819546351645648e-308", 0, "", 0x000fffffffffffffu,
     true},
    {"4.4501477170144023e-308", 0, "", 0x001fffffffffffffu, true},
    {"1e-323", 0, "", 0x0000000000000002u, true},
    {"1e-324", 0, "", 0x0000000000000000u, true},
    {"3e-324", 0, "", 0x0000000000000001u, true},
    {"7.4e-323", 0, "", 0x000000000000000fu, true},
    {"9007199254740993", 0, "", 0x4340000000000000u, true},
    {"9007199254740993", 0, ".000000000000000000000000001", 0x4340000000000001u, true},
    {"9007199254740995", 0, "", 0x4340000000000002u, true},
    {"9007199254740993", 600, "e-600", 0x4340000000000000u, true},
    {"1.00000000000000011102230246251565404236316680908203125", 0, "", 0x3ff0000000000000u, true},
    {"1.00000000000000011102230246251565404236316680908203125", 500, "1", 0x3ff0000000000001u,
     true},
    {"1.00000000000000011102230246251565404236316680908203124", 500, "9", 0x3ff0000000000000u,
     true},
    {"0.99999999999999994448884876874217297882", 0, "", 0x3ff0000000000000u, true},
    {"7.2057594037927933e16", 0, "", 0x4370000000000000u, true},
    {"72057594037927933", 0, "", 0x4370000000000000u, true},
    {"72057594037927932", 0, "1e-17", 0x401cd2b297d889bcu, true},
    {"2.2250738585072011e-308", 0, "", 0x000fffffffffffffu, true},
    {"123456789012345678901234567890", 0, "", 0x45f8ee90ff6c373eu, true},
    {"0.1", 0, "", 0x3fb999999999999au, true},
    {"0.", 0, "1", 0x3fb999999999999au, true},
    {"3.14159265358979323846264338327950288419716939937510582097494459", 0, "", 0x400921fb54442d18u,
     true},
    {"6.6e-1", 0, "", 0x3fe51eb851eb851fu, true},
    {"1.448997445238699", 0, "", 0x3ff72f17f1f49aadu, true},
    {"8.98846567431158e307", 0, "", 0x7fe0000000000000u, true},
    {"9.5e-322", 0, "", 0x00000000000000c0u, true},
    {"1e23", 0, "", 0x44b52d02c7e14af6u, true},
    {"8.41e21", 0, "", 0x447c7e83209e90b2u, true},
    {"4.35166e-10", 0, "", 0x3dfde7856f79473cu, true},
    {"2.5e-23", 0, "", 0x3b3e392010175ee6u, true},
    {"1e-22", 0, "", 0x3b5e392010175ee6u, true},
    {"9007199254740992e-22", 0, "", 0x3eae392010175ee6u, true},
    {"9007199254740993e-22", 0, "", 0x3eae392010175ee7u, true},
    {"1234567890123456789", 0, "", 0x43b12210f47de981u, true},
    {"12345678901234567890e-5", 0, "", 0x42dc12218377de6bu, true},
    {"0.000000000000000000000000000000000000000000000001", 0, "", 0x35f7624f8a762fd8u, true},
    {"-2.2250738585072012e-308", 0, "", 0x8010000000000000u, true},
    {"1", 0, "e-2147483648", 0x0000000000000000u, true},
    {"1", 0, "E+2147483647", 0x0000000000000000u, false},
    {"1e", 0, "-9223372036854775808", 0x0000000000000000u, true},
    {"1e", 0, "9223372036854775808", 0x0000000000000000u, false},
    {"0.", 5, "1e+0000000000000000000000005", 0x3fb999999999999au, true},
};

// The exact decimal digits of n * 2^twos * 5^fives.
std::string exact_digits(uint64_t n, int twos, int fives) {
    constexpr uint64_t base = 1000000000;
    std::vector<uint64_t> limbs{n % base, n / base % base, n / base / base};
    auto times = [&](uint64_t f) {
        uint64_t carry = 0;
        for (uint64_t &l : limbs) {
            const uint64_t v = l * f + carry;
            l = v % base;
            carry = v / base;
        }
        for (; carry; carry /= base)
            limbs.push_back(carry % base);
    };
    for (; twos >= 29; twos -= 29)
        times(uint64_t{1} << 29);
    times(uint64_t{1} << twos);
    for (; fives >= 12; fives -= 12)
        times(244140625); // 5^12
    for (; fives > 0; --fives)
        times(5);
    while (limbs.size() > 1 && limbs.back() == 0)
        limbs.pop_back();
    std::string out = std::to_string(limbs.back());
    for (size_t i = limbs.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(limbs[i]);
        out += std::string(9 - part.size(), '0') + part;
    }
    return out;
}

// The point exactly halfway between the positive double `bits` and the next one up, then
// just above and just below it, each written exactly (digits, or d.ddd with its exponent).
void add_halfway_points(std::vector<conversion> &table, uint64_t bits, bool negative, bool point) {
    constexpr uint64_t infinity = 0x7ff0000000000000u;
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int exponent = static_cast<int>(bits >> 52);
    const uint64_t m = exponent ? fraction | uint64_t{1} << 52 : fraction;
    const int k = (exponent ? exponent - 1075 : -1074) - 1; // halfway = (2m + 1) * 2^k
    const std::string digits =
        k >= 0 ? exact_digits(2 * m + 1, k, 0) : exact_digits(2 * m + 1, 0, -k);
    const int64_t scale = k >= 0 ? 0 : k;
    std::string below = digits;
    for (size_t i = below.size(); i-- > 0;) { // minus one in the last digit
        if (below[i] != '0') {
            --below[i];
            break;
        }
        below[i] = '9';
    }
    const uint64_t even = bits & 1 ? bits + 1 : bits;
    const uint64_t sign = negative ? uint64_t{1} << 63 : 0;
    auto add = [&](const std::string &d, int64_t e, uint64_t want) {
        std::string text = negative ? "-" : "";
        if (point)
            text += d.substr(0, 1) + "." + d.substr(1) + "e" +
                    std::to_string(e + static_cast<int64_t>(d.size()) - 1);
        else
            text += d + "e" + std::to_string(e);
        table.push_back({text, want | sign, want != infinity});
    };
    add(digits, scale, even);
    add(digits + "0001", scale - 4, bits + 1);
    add(below + "9999", scale - 4, bits);
}

struct f64_record {
    double d;
    tamsel_f64_array a;
};

} // namespace

// Halfway points (ties to even, and one unit in the far digits either side), the subnormal
// and normal boundaries, the largest double, long mantissas and long exponents, zeros with
// any exponent: each through the conversion and through a mapped parse into an F64 field and
// an F64 array, bit for bit. Beyond the largest double is refused; below the smallest
// subnormal is a zero of the token's sign.
TEST(ParseF64, ConversionTable) {
    std::vector<conversion> table;
    for (const auto &w : written)
        table.push_back({w.head + std::string(w.zeros, '0') + w.tail, w.bits, w.ok});
    std::vector<uint64_t> starts = {0,
                                    1,
                                    2,
                                    3,
                                    0x000ffffffffffffeu,
                                    0x000fffffffffffffu,
                                    0x0010000000000000u,
                                    0x0010000000000001u,
                                    0x001fffffffffffffu,
                                    0x3fefffffffffffffu,
                                    0x3ff0000000000000u,
                                    0x433fffffffffffffu,
                                    0x4340000000000000u,
                                    0x4340000000000001u,
                                    0x7feffffffffffffeu,
                                    0x7fefffffffffffffu};
    std::mt19937_64 rng(27);
    for (int i = 0; i < 48; ++i)
        starts.push_back(rng() % 0x7ff0000000000000u);
    for (size_t i = 0; i < starts.size(); ++i)
        add_halfway_points(table, starts[i], i % 2 == 1, i % 3 == 1);
    ASSERT_GT(table.size(), 250u);

    const tamsel_field fields[] = {{TAMSEL_KEY("d"), offsetof(f64_record, d), TAMSEL_FIELD_F64, 0,
                                    0, 0, 0, 0, nullptr, nullptr, 0, 0},
                                   {TAMSEL_KEY("a"), offsetof(f64_record, a),
                                    TAMSEL_FIELD_F64_ARRAY, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    const tamsel_map map = {"f64_record", sizeof(f64_record), fields, 2, nullptr, nullptr};
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (const conversion &c : table) {
        double v = 0;
        const bool ok =
            parse_f64(reinterpret_cast<const unsigned char *>(c.text.data()), c.text.size(), &v);
        ASSERT_EQ(ok, c.ok) << c.text;
        uint64_t got = 0;
        std::memcpy(&got, &v, sizeof got);
        if (c.ok) {
            EXPECT_EQ(got, c.bits) << c.text;
        }

        f64_record r{};
        tamsel_error e;
        const std::string json = "{\"d\": " + c.text + ", \"a\": [1, " + c.text + "]}";
        const tamsel_status st = tamsel_parse_buffer(rt, &map, &r, json.data(), json.size(), &e);
        if (c.ok) {
            ASSERT_EQ(st, TAMSEL_STATUS_OK) << c.text << ": " << e.message;
            ASSERT_EQ(r.a.count, 2u);
            EXPECT_EQ(std::memcmp(&r.d, &v, sizeof v), 0) << c.text;
            EXPECT_EQ(std::memcmp(&r.a.items[1], &v, sizeof v), 0) << c.text;
        } else {
            EXPECT_EQ(st, TAMSEL_STATUS_TYPE_MISMATCH) << c.text;
            EXPECT_STREQ(e.message, "expected number for 'd'") << c.text;
        }
        tamsel_cleanup(&map, &r);
        if (HasFailure()) break;
    }
    tamsel_free(rt);
}

// Mapped numbers the skim converts as it scans them (short integers, short doubles without
// exponent) and those it leaves to the grammar check: the same values, bit for bit, and the same
// failures at the same positions, whole and at every cut (one byte per call takes them all the
// general way).
TEST(MappedNumbers, ShortRoadAgreesWithTheGeneralPathAtEveryCut) {
    using namespace parse_test;
    struct pair {
        int64_t i;
        double d;
    };
    const tamsel_field fields[] = {{TAMSEL_KEY("i"), offsetof(pair, i), TAMSEL_FIELD_I64, 0, 0, 0,
                                    0, 0, nullptr, nullptr, 0, 0},
                                   {TAMSEL_KEY("d"), offsetof(pair, d), TAMSEL_FIELD_F64, 0, 0, 0,
                                    0, 0, nullptr, nullptr, 0, 0}};
    const tamsel_map map = {"pair", sizeof(pair), fields, 2, nullptr, nullptr};
    for (const char *token : {"0",
                              "-0",
                              "7",
                              "-7",
                              "10",
                              "123456789012345678",
                              "-123456789012345678",
                              "1234567890123456789",
                              "-9223372036854775808",
                              "9223372036854775808",
                              "0.5",
                              "-0.0",
                              "-0.125",
                              "3.14159",
                              "0.1234567890123456789",
                              "0.12345678901234567890",
                              "9007199254740991",
                              "9007199254740992.0",
                              "900719925474099.3",
                              "1e5",
                              "1.5E-3",
                              "00",
                              "-01",
                              "-",
                              "-x",
                              "1.",
                              "1.x",
                              "1.2.3",
                              "12a",
                              "1-",
                              "1+",
                              "0e"}) {
        const std::string doc = std::string("{\"i\":") + token + ",\"d\":" + token + "}";
        pair whole{}, bytewise{};
        const outcome w = feed_pieces(doc, {}, &map, &whole);
        const outcome b = feed_pieces(doc, every(1, doc.size()), &map, &bytewise);
        EXPECT_EQ(w, b) << doc;
        EXPECT_EQ(whole.i, bytewise.i) << doc;
        EXPECT_EQ(std::memcmp(&whole.d, &bytewise.d, sizeof whole.d), 0) << doc;
        for (size_t cut = 1; cut < doc.size(); ++cut) {
            pair r{};
            EXPECT_EQ(feed_pieces(doc, {cut}, &map, &r), w) << doc << " cut at " << cut;
            EXPECT_EQ(std::memcmp(&r, &whole, sizeof r), 0) << doc << " cut at " << cut;
        }
        if (HasFailure()) return;
    }
}

// Double conversion of mapped F64 fields: every token, whether the exact short path or the
// general conversion takes it, must give strtod's correctly rounded value, bit for bit.
#include "parse_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

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

TEST(ParseF64, LargeExplicitExponentsAreRefusedEvenWhenTheValueIsSmall) {
    const std::string token = "0." + std::string(799, '0') + "1e800";
    double v = 0;
    EXPECT_FALSE(
        parse_f64(reinterpret_cast<const unsigned char *>(token.data()), token.size(), &v));
}

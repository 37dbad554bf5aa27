// The JSON text rules: escaping every byte, integer limits, doubles against printf in the C
// locale and under a comma-decimal locale, base64 fed in pieces, indentation.
#include "serialize/every_kind.hpp"
#include "serialize/internal.hpp"

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

using tamsel::text::double_text_capacity;
using tamsel::text::format_double;

// An output window over a std::string through a small buffer, so pieces cross its end.
class string_output final : public tamsel::io::byte_output {
  public:
    string_output() { reset_window(); }
    std::string text() const {
        return out_ +
               std::string(reinterpret_cast<const char *>(buf_), static_cast<size_t>(pos_ - buf_));
    }
    size_t pieces_overflowed = 0;

  private:
    void reset_window() {
        pos_ = buf_;
        end_ = buf_ + sizeof buf_;
    }
    tamsel_status overflow(const void *data, size_t n) override {
        ++pieces_overflowed;
        out_.append(reinterpret_cast<char *>(buf_), static_cast<size_t>(pos_ - buf_));
        out_.append(static_cast<const char *>(data), n);
        reset_window();
        return TAMSEL_STATUS_OK;
    }
    std::string out_;
    unsigned char buf_[7];
};

std::string printf_17g(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string ours(double v) {
    char buf[double_text_capacity];
    size_t n = format_double(v, buf);
    return std::string(buf, n);
}

TEST(TextEscaping, EveryByteAloneAndInsideARun) {
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        std::string want;
        switch (b) {
        case '"':
            want = "\\\"";
            break;
        case '\\':
            want = "\\\\";
            break;
        case '\b':
            want = "\\b";
            break;
        case '\t':
            want = "\\t";
            break;
        case '\n':
            want = "\\n";
            break;
        case '\f':
            want = "\\f";
            break;
        case '\r':
            want = "\\r";
            break;
        default:
            if (b < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", b);
                want = u;
            } else {
                want = std::string(1, byte);
            }
        }
        string_output out;
        const std::string in = std::string("abcdefghijklmnopqrst") + byte + "xyz";
        ASSERT_EQ(tamsel::text::escaped_string(out, in.data(), in.size()), TAMSEL_STATUS_OK);
        EXPECT_EQ(out.text(), "\"abcdefghijklmnopqrst" + want + "xyz\"") << "byte " << b;
    }
}

TEST(TextIntegers, LimitsAndEveryLength) {
    auto u = [](uint64_t v) {
        string_output out;
        EXPECT_EQ(tamsel::text::emit_u64(out, v), TAMSEL_STATUS_OK);
        return out.text();
    };
    auto i = [](int64_t v) {
        string_output out;
        EXPECT_EQ(tamsel::text::emit_i64(out, v), TAMSEL_STATUS_OK);
        return out.text();
    };
    EXPECT_EQ(u(0), "0");
    EXPECT_EQ(u(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(i(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(i(INT64_MAX), "9223372036854775807");
    EXPECT_EQ(i(-1), "-1");
    uint64_t p = 1;
    for (int digits = 1; digits <= 19; ++digits, p *= 10) {
        EXPECT_EQ(u(p), std::to_string(p));
        EXPECT_EQ(u(p - 1), std::to_string(p - 1));
        EXPECT_EQ(i(-static_cast<int64_t>(p)), "-" + std::to_string(p));
    }
}

TEST(TextDoubles, MatchPrintfForTheSpecialClasses) {
    const double specials[] = {0.0,
                               -0.0,
                               1.0,
                               0.1,
                               2.5,
                               1e16,
                               1e17,
                               1e-7,
                               DBL_MAX,
                               -DBL_MAX,
                               DBL_MIN,
                               DBL_EPSILON,
                               5e-324,
                               -5e-324,
                               2.2250738585072009e-308,
                               1e21,
                               123456789012345678.0,
                               1e-5,
                               1e-4,
                               0.5,
                               1.0 / 3.0,
                               9007199254740993.0};
    for (double d : specials)
        EXPECT_EQ(ours(d), printf_17g(d)) << printf_17g(d);
    // Values with short exact decimal forms, where the fraction of the scaled value is zero or
    // a half.
    for (int64_t n = 1; n < 200000; n += 7) {
        for (int p = -30; p <= 30; p += 3) {
            const double d = static_cast<double>(n) * std::pow(10.0, p);
            ASSERT_EQ(ours(d), printf_17g(d)) << n << "e" << p;
            const double h = static_cast<double>(n) + 0.25 * (n % 4);
            ASSERT_EQ(ours(h * 1e10), printf_17g(h * 1e10));
        }
    }
    for (int e = -1074; e <= 1023; ++e) {
        const double d = std::ldexp(1.0, e);
        ASSERT_EQ(ours(d), printf_17g(d)) << "2^" << e;
        ASSERT_EQ(ours(-d), printf_17g(-d)) << "-2^" << e;
    }
    EXPECT_EQ(ours(0.1), "0.10000000000000001");
    EXPECT_EQ(ours(-0.0), "-0");
    EXPECT_EQ(ours(1e17), "1e+17");
    EXPECT_EQ(ours(1e-7), "9.9999999999999995e-08");
    EXPECT_EQ(ours(NAN), "");
    EXPECT_EQ(ours(INFINITY), "");
    EXPECT_EQ(ours(-INFINITY), "");
}

TEST(TextDoubles, MatchPrintfForTwoMillionRandomBitPatterns) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 2000000; ++i) {
        uint64_t bits = rng();
        if (i % 4 == 0) bits &= 0x800FFFFFFFFFFFFFull; // subnormals and zeros
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        ASSERT_EQ(ours(d), printf_17g(d)) << "bits " << std::hex << bits;
    }
}

// A comma-decimal LC_NUMERIC: the installed one, or one built with localedef.
bool use_comma_locale() {
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
        if (std::setlocale(LC_NUMERIC, name)) return true;
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/tamsel-locale-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        const std::string cmd =
            "localedef -c -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0 && !std::ifstream(dir + "/de_DE.UTF-8/LC_NUMERIC"))
            return false;
    }
    setenv("LOCPATH", dir.c_str(), 1);
    const bool ok = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

TEST(TextDoubles, AreWrittenWithAPointUnderACommaDecimalLocale) {
    if (!use_comma_locale()) GTEST_SKIP() << "no comma-decimal locale available";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    const bool comma = std::string(probe) == "0,5";
    struct one {
        double d;
    } r{0.1};
    const tamsel_field fields[] = {serialize_test::field("d", 0, TAMSEL_FIELD_F64)};
    const tamsel_map map = {"d", sizeof(one), fields, 1, nullptr, nullptr};
    std::string doc;
    {
        serialize_test::runtime_holder rt;
        doc = serialize_test::serialize(rt.rt, map, &r);
    }
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_TRUE(comma) << "the locale did not switch the decimal point";
    EXPECT_EQ(doc, "{\"d\":0.10000000000000001}");
}

TEST(TextBase64, FeedingInAnyPiecesEqualsOneFeed) {
    std::mt19937_64 rng(7);
    std::string data(1000, '\0');
    for (char &c : data)
        c = static_cast<char>(rng());
    string_output whole;
    tamsel::text::base64_stream one;
    ASSERT_EQ(one.feed(whole, data.data(), data.size()), TAMSEL_STATUS_OK);
    ASSERT_EQ(one.finish(whole), TAMSEL_STATUS_OK);
    for (int round = 0; round < 200; ++round) {
        string_output split;
        tamsel::text::base64_stream s;
        size_t pos = 0;
        while (pos < data.size()) {
            size_t n = std::min<size_t>(rng() % 9, data.size() - pos);
            ASSERT_EQ(s.feed(split, data.data() + pos, n), TAMSEL_STATUS_OK);
            pos += n;
        }
        ASSERT_EQ(s.finish(split), TAMSEL_STATUS_OK);
        ASSERT_EQ(split.text(), whole.text());
    }
}

TEST(TextIndent, LevelsUpToThirtyTwoAreOnePieceDeeperOnesRunsOfSixtyFour) {
    for (uint64_t level : {0, 1, 32, 33, 64, 100}) {
        string_output out;
        ASSERT_EQ(tamsel::text::indent(out, level, nullptr), TAMSEL_STATUS_OK);
        EXPECT_EQ(out.text(), "\n" + std::string(2 * level, ' ')) << level;
    }
    string_output out;
    tamsel_error e;
    EXPECT_EQ(tamsel::text::indent(out, uint64_t{INT64_MAX} + 1, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "JSON indentation depth is too large");
}

} // namespace

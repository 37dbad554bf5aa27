// The one-pass checks of the span engine against the scanners they stand in for: the one-load
// number check against the byte-wise one (every number form, valid and not, with each byte that
// may follow it, cut at every length, in a block of exactly that size, so a read past the range
// is caught by the sanitizers), and the one-pass string body against the two-pass one (every
// lead byte with every second byte and a spread of later ones, alone or followed by another
// character that is not ASCII, cut at every length).
#include "text/scan.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> number_forms() {
    std::vector<std::string> forms;
    for (const char *sign : {"", "-"})
        for (const char *whole : {"0", "7", "12", "123456789", "1234567890123456"})
            for (const char *fraction : {"", ".5", ".0123456789"})
                for (const char *exponent : {"", "e5", "E+12", "e-0", "E123456"})
                    forms.push_back(std::string(sign) + whole + fraction + exponent);
    for (const char *bad : {"-", "01", "-01", "1.", "1.e5", "1e", "1e+", "1E-x", "-a", "1..2",
                            "1ee5", "1.5.5", "0x1", "1e5.5", "+1", ".5", "-.5", "00"})
        forms.push_back(bad);
    return forms;
}

// Calls `check` with a block of exactly `n` bytes of `text`, for every n.
template <class Check> void every_length(const std::string &text, Check check) {
    for (size_t n = 1; n <= text.size(); ++n) {
        std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
        std::memcpy(block.get(), text.data(), n);
        check(block.get(), block.get() + n);
    }
}

TEST(NumberScan, OneLoadAgreesWithTheByteWisePassAtEveryLength) {
    const std::string tail = ",]}";
    for (const std::string &form : number_forms()) {
        for (const char *follow : {",", "]", " ", "\n", "x", "e", ".", "-", "+", "9"}) {
            const std::string text = form + follow + tail + std::string(20, ',');
            every_length(text, [&](const uint8_t *p, const uint8_t *e) {
                ASSERT_EQ(tamsel::scan::short_valid_number(p, e), tamsel::scan::valid_number(p, e))
                    << "'" << text.substr(0, static_cast<size_t>(e - p)) << "'";
            });
        }
    }
}

TEST(StringScan, OnePassBodyAgreesWithTheTwoPassOne) {
    const uint8_t later[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 'a', '"', '\\'};
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
        for (unsigned second = 0; second <= 0xFF; ++second) {
            for (uint8_t third : later) {
                for (const char *after : {"x\\n\"", "\xC3\xA9\"", "\\u00e9\""}) {
                    std::string body = "ab";
                    body += static_cast<char>(lead);
                    body += static_cast<char>(second);
                    body += static_cast<char>(third);
                    body += static_cast<char>(third ^ 0x10);
                    body += after;
                    const uint8_t *p = reinterpret_cast<const uint8_t *>(body.data());
                    const uint8_t *e = p + body.size();
                    ASSERT_EQ(tamsel::scan::checked_body_end(p, e),
                              tamsel::scan::checked_string_body_end(p, e));
                    if (lead == 0xE0 || lead == 0xF0 || second == 0x80)
                        every_length(body, [](const uint8_t *bp, const uint8_t *be) {
                            ASSERT_EQ(tamsel::scan::checked_body_end(bp, be),
                                      tamsel::scan::checked_string_body_end(bp, be));
                        });
                }
            }
        }
    }
}

// Runs of characters that are not ASCII on either side of the most checked where they stand,
// each with one byte made bad at every position: the same answer as the two-pass check.
TEST(StringScan, LongRunsOfCharactersThatAreNotAsciiAgree) {
    for (const char *ch : {"\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80"}) {
        for (size_t count = 1; count <= 12; ++count) {
            std::string run;
            for (size_t i = 0; i < count; ++i)
                run += ch;
            const std::string good = "a" + run + "b\\n\"";
            for (size_t at = 0; at <= good.size(); ++at) {
                for (char bad : {'\x80', '\xFF', 'x', '\x01'}) {
                    std::string body = good;
                    if (at < body.size()) body[at] = bad;
                    every_length(body, [](const uint8_t *p, const uint8_t *e) {
                        ASSERT_EQ(tamsel::scan::checked_body_end(p, e),
                                  tamsel::scan::checked_string_body_end(p, e));
                    });
                }
            }
        }
    }
}

} // namespace

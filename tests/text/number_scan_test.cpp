// The one-load number check against the byte-wise one: every number form, valid and not, with
// each byte that may follow it, cut at every length, in a block of exactly that size (so a read
// past the range is caught by the sanitizers).
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

TEST(NumberScan, OneLoadAgreesWithTheByteWisePassAtEveryLength) {
    const std::string tail = ",]}";
    for (const std::string &form : number_forms()) {
        for (const char *follow : {",", "]", " ", "\n", "x", "e", ".", "-", "+", "9"}) {
            const std::string text = form + follow + tail + std::string(20, ',');
            for (size_t n = 1; n <= text.size(); ++n) {
                std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
                std::memcpy(block.get(), text.data(), n);
                const uint8_t *p = block.get();
                const uint8_t *want = tamsel::scan::valid_number(p, p + n);
                const uint8_t *got = tamsel::scan::short_valid_number(p, p + n);
                ASSERT_EQ(got, want) << "'" << text.substr(0, n) << "'";
            }
        }
    }
}

} // namespace

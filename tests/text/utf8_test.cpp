// The UTF-8 check: the automaton against an independent definition (a sequence is well-formed
// when it is the encoding of the scalar value it decodes to), and every kernel against the
// automaton, with each case at every offset of two blocks and the range cut anywhere.
#include "support/utf8_cases.hpp"
#include "text/block_scan.hpp"
#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using tamsel::scan::kernel;
using tamsel::scan::utf8_state;

// Decodes one character by its lead byte's length, without any validity rule, and says
// whether encoding the result gives the same bytes and a scalar value.
bool encodes_a_scalar_value(const uint8_t *b, size_t n) {
    const size_t want = b[0] < 0x80 ? 1 : b[0] >= 0xF0 ? 4 : b[0] >= 0xE0 ? 3 : 2;
    const unsigned lead_mask = n == 1 ? 0x80 : (0xFF00u >> (n + 1)) & 0xFF; // 80, E0, F0, F8
    const unsigned lead_bits = n == 1 ? 0 : (0xFF00u >> n) & 0xFF;          // 0, C0, E0, F0
    if (n != want || (b[0] & lead_mask) != lead_bits) return false;
    uint32_t cp = n == 1 ? b[0] : b[0] & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((b[i] & 0xC0) != 0x80) return false;
        cp = cp << 6 | (b[i] & 0x3F);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    const size_t shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    return shortest == n;
}

// A sequence of such characters, each as long as its lead byte says.
bool well_formed(const uint8_t *b, size_t n) {
    for (size_t i = 0; i < n;) {
        const size_t len = b[i] < 0x80 ? 1 : b[i] >= 0xF0 ? 4 : b[i] >= 0xE0 ? 3 : 2;
        if (len > n - i || !encodes_a_scalar_value(b + i, len)) return false;
        i += len;
    }
    return true;
}

bool automaton_accepts(const uint8_t *b, size_t n) {
    utf8_state s;
    for (size_t i = 0; i < n; ++i)
        if (!tamsel::scan::utf8_step(s, b[i])) return false;
    return s.due == 0;
}

std::vector<const kernel *> kernels() {
    const kernel *k[8];
    const size_t n = tamsel::scan::runnable_kernels(k, 8);
    return {k, k + n};
}

// The first bad byte of [p, e) by the automaton alone.
const uint8_t *automaton_bad(const uint8_t *p, const uint8_t *e, bool *open) {
    utf8_state s;
    for (; p < e; ++p)
        if (!tamsel::scan::utf8_step(s, *p)) break;
    *open = s.due != 0;
    return p;
}

} // namespace

TEST(Utf8Automaton, AcceptsExactlyTheEncodingsOfScalarValues) {
    uint8_t b[4];
    for (unsigned x = 0; x < 0x10000; ++x) { // every one- and two-byte sequence
        b[0] = static_cast<uint8_t>(x >> 8);
        b[1] = static_cast<uint8_t>(x);
        ASSERT_EQ(automaton_accepts(b + 1, 1), well_formed(b + 1, 1)) << x;
        ASSERT_EQ(automaton_accepts(b, 2), well_formed(b, 2)) << std::hex << x;
    }
    // Every three-byte sequence from a lead of E0 or above, and every four-byte one whose last
    // two bytes sit at the edges of the continuation range (or just outside it).
    for (unsigned x = 0xE00000; x < 0x1000000; ++x) {
        b[0] = static_cast<uint8_t>(x >> 16);
        b[1] = static_cast<uint8_t>(x >> 8);
        b[2] = static_cast<uint8_t>(x);
        if (automaton_accepts(b, 3) != well_formed(b, 3)) FAIL() << std::hex << x;
    }
    const uint8_t edges[] = {0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0};
    for (unsigned lead = 0xF0; lead < 0x100; ++lead)
        for (unsigned second = 0; second < 0x100; ++second)
            for (uint8_t third : edges)
                for (uint8_t fourth : edges) {
                    const uint8_t s[] = {uint8_t(lead), uint8_t(second), third, fourth};
                    ASSERT_EQ(automaton_accepts(s, 4), well_formed(s, 4))
                        << std::hex << lead << " " << second << " " << int(third) << " "
                        << int(fourth);
                }
}

// Each case at every offset of two blocks, after ASCII or after multibyte text, from several
// alignments of a block start, with the range ending anywhere from just before the case to
// well past it: the run check finds the bad byte the automaton finds, and each kernel alone
// stops at a character boundary no later than it (at the end only when nothing is wrong).
TEST(Utf8Kernels, AgreeWithTheAutomatonAtEveryOffset) {
    const auto ks = kernels();
    alignas(64) uint8_t base[64 + 200];
    for (const auto &c : utf8_test::cases()) {
        const size_t n = c.bytes.size();
        for (const auto &chars : utf8_test::fillers()) {
            for (size_t align : {0, 7, 33}) {
                uint8_t *const text = base + align;
                const size_t size = sizeof base - align;
                for (size_t at = 0; at + n < 140; ++at) {
                    const std::string before = utf8_test::filler(chars, at);
                    std::memcpy(text, before.data(), at);
                    std::memcpy(text + at, c.bytes.data(), n);
                    std::memset(text + at + n, 'z', size - at - n);
                    for (size_t end : {at, at + n / 2 + 1, at + n, at + n + 1, at + 70, size}) {
                        if (end > size) continue;
                        const uint8_t *e = text + end;
                        bool open = false;
                        const uint8_t *want = automaton_bad(text, e, &open);
                        utf8_state s;
                        ASSERT_EQ(tamsel::scan::utf8_run(s, text, e), want)
                            << c.name << " at " << at << " end " << end << " align " << align;
                        if (want == e) {
                            ASSERT_EQ(s.due != 0, open) << c.name << " at " << at;
                        }
                        for (const kernel *k : ks) {
                            const uint8_t *r = k->utf8_prefix(text, e);
                            bool open_at_r = false;
                            ASSERT_TRUE(r <= want && automaton_bad(text, r, &open_at_r) == r &&
                                        !open_at_r && (r == e) == (want == e && !open))
                                << k->name << " " << c.name << " at " << at << " end " << end
                                << " align " << align << ": stopped at " << (r - text);
                        }
                    }
                }
            }
        }
    }
}

// The block scanner's kernels against the portable one: every stop byte at every offset of a
// run, from every start alignment, with the range ending just before the stop, on it, or well
// past it; whitespace runs also count the same line feeds and leave the same last one. The
// inline scanners of scan.hpp (first 16 bytes, then the kernel) are held to the same answers.
#include "text/block_scan.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <string>
#include <vector>

namespace {

using tamsel::scan::kernel;

constexpr size_t max_offset = 130;
constexpr size_t alignments = 64;
// Room for a run, its stop byte and a long tail, from any alignment.
constexpr size_t buffer_bytes = alignments + max_offset + 1 + 192;

std::vector<const kernel *> kernels() {
    const kernel *k[8];
    const size_t n = tamsel::scan::runnable_kernels(k, 8);
    return {k, k + n};
}

// Plain string bytes, high ones and DEL among them; for the odd alignments plain ASCII, so
// that the ASCII search meets runs with and without a byte that stops it.
uint8_t plain_byte(size_t i, size_t alignment) {
    static const uint8_t bytes[] = {'a', 0x7F, 0x80, 'Z',  0xC3, 0xA9,
                                    ' ', 0xFF, '/',  0xE2, '~',  0x9F};
    return alignment % 2 ? static_cast<uint8_t>('a' + i % 26) : bytes[i % sizeof bytes];
}

// Whitespace, with line feeds (or none) at varying places.
uint8_t space_byte(size_t i, bool newlines) {
    if (newlines && (i % 9 == 4 || i % 13 == 0)) return '\n';
    return i % 7 == 3 ? '\t' : i % 11 == 5 ? '\r' : ' ';
}

// Whether the upper halves of the vector registers hold state (XINUSE bit 2), or -1 where the
// processor cannot say.
int vector_upper_in_use() {
#if defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27))) return -1;   // OSXSAVE
    if (!__get_cpuid_count(0xD, 1, &a, &b, &c, &d) || !(a & 4)) return -1; // XGETBV with ECX=1
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return static_cast<int>((lo >> 2) & 1);
#else
    return -1;
#endif
}

} // namespace

// A kernel that returns (or hands its rest to another) with the upper halves in use slows
// every later SSE instruction of the process on Intel cores, by a third on a whole parse.
TEST(BlockScan, KernelsLeaveTheUpperHalvesOfTheVectorRegistersUnused) {
    if (vector_upper_in_use() != 0) GTEST_SKIP() << "the processor does not say";
    std::vector<uint8_t> plain(200, 'a'), blank(200, ' ');
    for (const kernel *k : kernels()) {
        for (size_t n = 0; n <= 130; ++n) {
            size_t lines = 0;
            const uint8_t *last = nullptr;
            (void)k->string_end(plain.data(), plain.data() + n);
            (void)k->ascii_string_end(plain.data(), plain.data() + n);
            (void)k->space_end(blank.data(), blank.data() + n, &lines, &last);
            (void)k->utf8_prefix(plain.data(), plain.data() + n);
            ASSERT_EQ(vector_upper_in_use(), 0) << k->name << " over " << n << " bytes";
        }
    }
}

TEST(BlockScan, PortableIsFirstAndTheKernelInUseRuns) {
    const auto ks = kernels();
    ASSERT_FALSE(ks.empty());
    EXPECT_STREQ(ks[0]->name, "portable");
    const kernel &active = tamsel::scan::active_kernel();
    bool listed = false;
    for (const kernel *k : ks)
        listed |= k == &active;
    EXPECT_TRUE(listed) << active.name;
    // ctest runs the parser suites again with a kernel pinned: a pin this machine runs takes.
    if (const char *want = std::getenv("TAMSEL_SCAN_KERNEL")) {
        bool runs = false;
        for (const kernel *k : ks)
            runs |= std::strcmp(k->name, want) == 0;
        if (runs) {
            EXPECT_STREQ(active.name, want);
        }
    }
}

TEST(BlockScan, KernelsAgreeWithPortableOnEveryStopOffsetAndAlignment) {
    // The inline scanners go through the kernel in use after their first 16 bytes: they are
    // checked beside the kernels.
    const kernel inline_scanners = {
        "scan.hpp inline", tamsel::scan::plain_run,
        [](const uint8_t *p, const uint8_t *e) { return tamsel::scan::plain_ascii_run(p, e); },
        [](const uint8_t *p, const uint8_t *e, size_t *lines, const uint8_t **last) {
            return tamsel::scan::whitespace_run(p, e, lines, last);
        },
        tamsel::scan::utf8_prefix_portable};
    auto checked = kernels();
    const kernel &portable = *checked[0];
    checked[0] = &inline_scanners;
    alignas(64) uint8_t base[buffer_bytes]; // `base + a` starts at alignment a
    // One byte of every class that ends whitespace: controls next to tab/LF/CR, structure,
    // scalar starts, DEL and high bytes.
    const uint8_t space_classes[] = {0x00, 0x08, 0x0B, 0x0C, 0x0E, 0x1F, '!',  '"', ',',
                                     ':',  '[',  ']',  '{',  '}',  '-',  '0',  '9', 't',
                                     'f',  'n',  '/',  '\\', 0x7F, 0x80, 0xA0, 0xFF};
    static const uint8_t sentinel = 0; // a last line feed that must survive a run without one
    auto where = [](const kernel &k, uint8_t stop, size_t a, size_t at, size_t end) {
        return std::string(k.name) + " stop " + std::to_string(stop) + " align " +
               std::to_string(a) + " at " + std::to_string(at) + " end " + std::to_string(end);
    };
    for (size_t a = 0; a < alignments; ++a) {
        uint8_t *const p = base + a;
        const size_t size = buffer_bytes - a;
        for (size_t i = 0; i < size; ++i)
            p[i] = plain_byte(i + a, a);
        // In one ASCII alignment of four, a single high byte turning around the stop.
        const size_t lone_high = a % 4 == 1 ? (a * 13) % 97 : size;
        if (lone_high < size) p[lone_high] = 0xE9;
        for (size_t at = 0; at <= max_offset; ++at) {
            // The stop just past the range, as its last byte, and well inside it.
            const size_t ends[] = {at, at + 1, size};
            // The quote, the backslash and four control bytes, turning with the alignment so
            // that every control byte meets every offset and every alignment.
            const uint8_t string_stops[] = {'"',
                                            '\\',
                                            uint8_t((a * 5 + at) % 32),
                                            uint8_t((a * 5 + at + 8) % 32),
                                            uint8_t((a * 5 + at + 16) % 32),
                                            uint8_t((a * 5 + at + 24) % 32)};
            for (uint8_t stop : string_stops) {
                p[at] = stop;
                for (size_t end : ends) {
                    const uint8_t *e = p + end;
                    const uint8_t *want = portable.string_end(p, e);
                    ASSERT_EQ(want, p + std::min(at, end)) << where(portable, stop, a, at, end);
                    // The ASCII search stops at the first byte that is not ASCII as well.
                    const uint8_t *want_ascii = p;
                    while (want_ascii < want && *want_ascii < 0x80)
                        ++want_ascii;
                    for (const kernel *k : checked)
                        if (k->string_end(p, e) != want || k->ascii_string_end(p, e) != want_ascii)
                            FAIL() << where(*k, stop, a, at, end);
                }
            }
            p[at] = at == lone_high ? 0xE9 : plain_byte(at + a, a);
        }
        for (bool newlines : {true, false}) {
            for (size_t i = 0; i < size; ++i)
                p[i] = space_byte(i, newlines);
            for (size_t at = 0; at <= max_offset; ++at) {
                const size_t ends[] = {at, at + 1, size};
                // Five of the classes, turning in the same way.
                for (size_t j = 0; j < 5; ++j) {
                    const uint8_t stop =
                        space_classes[(a + at * 3 + j * 5) % std::size(space_classes)];
                    p[at] = stop;
                    for (size_t end : ends) {
                        const uint8_t *e = p + end;
                        size_t want_lines = 5;
                        const uint8_t *want_last = &sentinel;
                        const uint8_t *want = portable.space_end(p, e, &want_lines, &want_last);
                        ASSERT_EQ(want, p + std::min(at, end)) << where(portable, stop, a, at, end);
                        for (const kernel *k : checked) {
                            size_t lines = 5;
                            const uint8_t *last = &sentinel;
                            if (k->space_end(p, e, &lines, &last) != want || lines != want_lines ||
                                last != want_last)
                                FAIL() << where(*k, stop, a, at, end) << " newlines " << newlines
                                       << ": lines " << lines << " (want " << want_lines
                                       << "), last line feed at " << (last - p) << " (want "
                                       << (want_last - p) << ")";
                        }
                    }
                }
                p[at] = space_byte(at, newlines);
            }
        }
    }
}

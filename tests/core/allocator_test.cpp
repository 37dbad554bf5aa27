#include "core/internal.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

using tamsel_test::counting_allocator;

TEST(DefaultConfig, HasTheDocumentedDefaultsAndMagic) {
    tamsel_config c = tamsel_default_config();
    EXPECT_EQ(c.max_parse_bytes, 1048576u);
    EXPECT_EQ(c.max_string_bytes, 131072u);
    EXPECT_EQ(c.max_depth, 64u);
    EXPECT_EQ(c.value_max_total_bytes, 0u);
    EXPECT_EQ(c.value_max_string_bytes, 1048576u);
    EXPECT_EQ(c.value_max_key_bytes, 65536u);
    EXPECT_EQ(c.value_max_number_bytes, 256u);
    EXPECT_EQ(c.value_max_depth, 64u);
    EXPECT_EQ(c.init_destination, 1u);
    EXPECT_EQ(c.reject_duplicates, 1u);
    EXPECT_EQ(c.overflow_policy, 0u);
    EXPECT_EQ(c.pretty, 0u);
    EXPECT_EQ(c.max_output_bytes, 8388608u);
    for (const auto &spool : c.spool_classes) {
        EXPECT_EQ(spool.memory_limit, 65536u);
        EXPECT_EQ(spool.max_bytes, 10485760u);
        EXPECT_EQ(spool.temp_dir, nullptr);
    }
    EXPECT_EQ(c.fixed_string_scratch, nullptr);
    EXPECT_EQ(c.fixed_string_scratch_size, 0u);
    EXPECT_EQ(c.allocator, nullptr);
    EXPECT_EQ(c.magic, 0x54534346u);
}

TEST(DefaultOptions, ExportedDefaultsMatchTheConfiguration) {
    tamsel_parse_options p = tamsel__default_parse_options();
    EXPECT_EQ(p.init_destination, 1u);
    EXPECT_EQ(p.reject_duplicates, 1u);
    EXPECT_EQ(p.max_depth, 64u);
    EXPECT_EQ(p.max_string_bytes, 131072u);
    EXPECT_EQ(p.max_parse_bytes, 1048576u);
    EXPECT_EQ(p.fixed_string_scratch, nullptr);
    EXPECT_EQ(p.fixed_string_scratch_size, 0u);
    EXPECT_EQ(p.allocator, nullptr);
    tamsel_value_limits v = tamsel__default_value_limits();
    EXPECT_EQ(v.max_depth, 64u);
    EXPECT_EQ(v.max_string_bytes, 1048576u);
    EXPECT_EQ(v.max_number_bytes, 256u);
    EXPECT_EQ(v.max_key_bytes, 65536u);
    EXPECT_EQ(v.max_total_bytes, 0u);
    tamsel_write_options w = tamsel__default_write_options();
    EXPECT_EQ(w.overflow_policy, 0u);
    EXPECT_EQ(w.pretty, 0u);
    EXPECT_EQ(w.allocator, nullptr);
    EXPECT_EQ(w.max_output_bytes, 8388608u);
    tamsel_spool_options s = tamsel__default_spool_options();
    EXPECT_EQ(s.memory_limit, 65536u);
    EXPECT_EQ(s.max_bytes, 10485760u);
    EXPECT_EQ(s.temp_dir, nullptr);
}

TEST(DefaultAllocator, UsesTheProcessAllocatorWithoutStats) {
    tamsel_allocator a = tamsel_default_allocator();
    ASSERT_TRUE(a.malloc && a.realloc && a.free);
    EXPECT_EQ(a.user_data, nullptr);
    EXPECT_EQ(a.stats, nullptr);
    void *p = a.malloc(nullptr, 10);
    ASSERT_NE(p, nullptr);
    p = a.realloc(nullptr, p, 100);
    ASSERT_NE(p, nullptr);
    a.free(nullptr, p);
}

TEST(AllocatorRule, AllOrNone) {
    counting_allocator counting;
    tamsel_allocator out;
    EXPECT_TRUE(tamsel::resolve_allocator(nullptr, &out));
    EXPECT_EQ(out.stats, nullptr);
    tamsel_allocator none{};
    none.stats = &counting.stats; // ignored without callbacks
    EXPECT_TRUE(tamsel::resolve_allocator(&none, &out));
    EXPECT_EQ(out.stats, nullptr);
    EXPECT_TRUE(tamsel::resolve_allocator(counting.get(), &out));
    EXPECT_EQ(out.user_data, &counting);

    tamsel_allocator partial = counting.value();
    partial.realloc = nullptr;
    EXPECT_FALSE(tamsel::resolve_allocator(&partial, &out));
    tamsel_error e;
    EXPECT_EQ(tamsel::require_allocator(&partial, &out, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");
    // Objects that only inherit an allocator fall back to the default.
    tamsel_allocator inherited = tamsel::inherit_allocator(&partial);
    EXPECT_EQ(inherited.user_data, nullptr);
    EXPECT_EQ(inherited.stats, nullptr);
}

TEST(OwnedBlocks, StringDuplicateCountsLengthPlusOne) {
    counting_allocator a;
    char *s = tamsel::owned_strdup(a.get(), "0123456789");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "0123456789");
    EXPECT_EQ(a.stats.current_bytes, 11u);
    EXPECT_EQ(a.stats.alloc_count, 1u);
    EXPECT_EQ(tamsel::owned_size(s), 11u);
    EXPECT_EQ(a.live_bytes(), 11u + 64u) << "every owned block carries a 64-byte header";
    tamsel::owned_free(s);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_EQ(a.stats.free_count, 1u);
    EXPECT_EQ(tamsel::owned_strdup(a.get(), nullptr), nullptr);
}

TEST(OwnedBlocks, HeaderNamesTheAllocatorThatMadeTheBlock) {
    counting_allocator a;
    void *p = tamsel::owned_alloc(a.get(), 32);
    ASSERT_NE(p, nullptr);
    const tamsel::alloc_header *h = tamsel::header_of(p);
    EXPECT_EQ(h->user_data, &a);
    EXPECT_EQ(h->stats, &a.stats);
    EXPECT_EQ(h->size, 32u);
    EXPECT_EQ(h->charge_owner, 0u);
    EXPECT_EQ(h->charged_bytes, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    // Freed with its own allocator even though no allocator is passed.
    tamsel::owned_free(p);
    EXPECT_EQ(a.live_blocks(), 0u);
}

TEST(OwnedBlocks, ShrinkingReallocLowersCurrentBytesButNotPeak) {
    counting_allocator a;
    void *p = tamsel::owned_alloc(a.get(), 100);
    ASSERT_NE(p, nullptr);
    std::memset(p, 'x', 100);
    p = tamsel::owned_realloc(nullptr, p, 40);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(a.stats.current_bytes, 40u);
    EXPECT_EQ(a.stats.realloc_count, 1u);
    EXPECT_EQ(a.stats.peak_bytes, 100u);
    EXPECT_EQ(static_cast<char *>(p)[39], 'x');
    EXPECT_EQ(tamsel::owned_realloc(nullptr, p, 0), p) << "size 0 leaves the block alone";
    tamsel::owned_free(p);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(OwnedBlocks, FailedReallocKeepsTheBlockAndChangesNoCounter) {
    counting_allocator a;
    void *p = tamsel::owned_alloc(a.get(), 10);
    ASSERT_NE(p, nullptr);
    tamsel::header_of(p)->charge_owner = 77;
    tamsel::header_of(p)->charged_bytes = 10;
    tamsel_alloc_stats before = a.stats;
    a.fail_at(a.calls() + 1);
    EXPECT_EQ(tamsel::owned_realloc(nullptr, p, 1000), nullptr);
    EXPECT_EQ(std::memcmp(&before, &a.stats, sizeof before), 0);
    a.fail_at(0);
    void *q = tamsel::owned_realloc(nullptr, p, 1000);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(tamsel::header_of(q)->charge_owner, 77u) << "the charge words survive a move";
    EXPECT_EQ(tamsel::header_of(q)->charged_bytes, 10u);
    tamsel::owned_free(q);
}

TEST(OwnedBlocks, SizesThatWouldWrapFailInsteadOfAllocatingLess) {
    counting_allocator a;
    EXPECT_EQ(tamsel::owned_alloc(a.get(), SIZE_MAX - 10), nullptr);
    EXPECT_EQ(tamsel::owned_alloc(nullptr, SIZE_MAX - 63), nullptr);
    EXPECT_EQ(tamsel::owned_strndup(a.get(), "x", SIZE_MAX), nullptr);
    void *p = tamsel::owned_alloc(a.get(), 8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tamsel::owned_realloc(nullptr, p, SIZE_MAX - 1), nullptr);
    EXPECT_EQ(a.calls(), 1u) << "no allocator call was made for a wrapping size";
    tamsel::owned_free(p);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(OwnedBlocks, DefaultAllocatorBlocksCarryNoStats) {
    void *p = tamsel::owned_alloc(nullptr, 5);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tamsel::header_of(p)->stats, nullptr);
    tamsel::owned_block guard(p);
}

TEST(Stats, CurrentBytesFloorsAtZero) {
    counting_allocator a;
    void *p = tamsel::owned_alloc(a.get(), 64);
    ASSERT_NE(p, nullptr);
    a.stats.current_bytes = 5;
    tamsel::owned_free(p);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_EQ(a.stats.free_count, 1u);
    tamsel::stats_on_realloc(&a.stats, 100, 3);
    EXPECT_EQ(a.stats.current_bytes, 3u);
}

TEST(Stats, PeakNeverDecreases) {
    tamsel_alloc_stats s{};
    tamsel::stats_on_alloc(&s, 100);
    tamsel::stats_on_alloc(&s, 50);
    tamsel::stats_on_free(&s, 150);
    tamsel::stats_on_alloc(&s, 10);
    EXPECT_EQ(s.peak_bytes, 150u);
    EXPECT_EQ(s.current_bytes, 10u);
    tamsel::stats_on_alloc(&s, UINT64_MAX);
    EXPECT_EQ(s.current_bytes, UINT64_MAX) << "saturates instead of wrapping";
}

TEST(RawBuffers, CountCapacitiesWithoutHeader) {
    counting_allocator a;
    tamsel_allocator use = a.value();
    void *p = tamsel::raw_realloc(use, nullptr, 0, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(a.stats.alloc_count, 1u);
    EXPECT_EQ(a.live_bytes(), 64u);
    void *q = tamsel::raw_realloc(use, p, 64, 128);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(a.stats.realloc_count, 1u);
    EXPECT_EQ(a.stats.current_bytes, 128u);
    a.fail_at(a.calls() + 1);
    EXPECT_EQ(tamsel::raw_realloc(use, q, 128, 256), nullptr);
    EXPECT_EQ(a.stats.current_bytes, 128u);
    tamsel::raw_free(use, q, 128);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_EQ(a.stats.free_count, 1u);
}

TEST(CheckedArithmetic, GrowCapacityDoublesAndRespectsTheLimit) {
    size_t cap = 0;
    ASSERT_TRUE(tamsel::grow_capacity(0, 1, 64, 1000, &cap));
    EXPECT_EQ(cap, 64u);
    ASSERT_TRUE(tamsel::grow_capacity(64, 65, 64, 1000, &cap));
    EXPECT_EQ(cap, 128u);
    ASSERT_TRUE(tamsel::grow_capacity(512, 900, 64, 1000, &cap));
    EXPECT_EQ(cap, 1000u);
    EXPECT_FALSE(tamsel::grow_capacity(512, 1001, 64, 1000, &cap));
    ASSERT_TRUE(tamsel::grow_capacity(SIZE_MAX / 2 + 1, SIZE_MAX, 64, SIZE_MAX, &cap));
    EXPECT_EQ(cap, SIZE_MAX);
    size_t out;
    EXPECT_FALSE(tamsel::checked_add(SIZE_MAX, 1, &out));
    EXPECT_FALSE(tamsel::checked_mul(SIZE_MAX / 2, 3, &out));
    EXPECT_EQ(tamsel::clamp_to_size(UINT64_MAX), SIZE_MAX);
}

#include "core/internal.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using tamsel_test::counting_allocator;

namespace {

// Borrows through `h` the way every operation does, reporting the status it would return.
tamsel_status borrow_status(const tamsel_runtime *h, tamsel_error *e = nullptr) {
    tamsel::runtime_borrow borrow;
    return borrow.acquire(h, e);
}

} // namespace

TEST(RuntimeNew, NullConfigGivesDefaultsAndClearsTheError) {
    tamsel_error e;
    tamsel__set_error(&e, TAMSEL_STATUS_IO_ERROR, 1, 1, 1, "stale");
    tamsel_runtime *rt = tamsel_new(nullptr, &e);
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(e.code, 0u);
    EXPECT_STREQ(e.message, "");
    tamsel_borrow_token token;
    const tamsel_runtime_settings *s = tamsel__runtime_borrow_const(rt, &token);
    ASSERT_NE(s, nullptr);
    const tamsel_parse_options &p = s->parse_options;
    EXPECT_EQ(p.init_destination, 1u);
    EXPECT_EQ(p.reject_duplicates, 1u);
    EXPECT_EQ(p.max_depth, 64u);
    EXPECT_EQ(p.max_string_bytes, 131072u);
    EXPECT_EQ(p.max_parse_bytes, 1048576u);
    EXPECT_EQ(p.fixed_string_scratch, nullptr);
    EXPECT_EQ(p.fixed_string_scratch_size, 0u);
    EXPECT_EQ(p.allocator, nullptr);
    EXPECT_EQ(s->write_options.allocator, nullptr);
    EXPECT_EQ(s->owner.load(), rt);
    tamsel__runtime_release(&token);
    tamsel_free(rt);
}

TEST(RuntimeNew, DerivesEveryOptionRecordFromTheConfiguration) {
    counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = 11;
    c.max_string_bytes = 12;
    c.max_depth = 13;
    c.value_max_total_bytes = 14;
    c.value_max_string_bytes = 15;
    c.value_max_key_bytes = 16;
    c.value_max_number_bytes = 17;
    c.value_max_depth = 18;
    c.init_destination = 0;
    c.reject_duplicates = 0;
    c.overflow_policy = 2;
    c.pretty = 1;
    c.max_output_bytes = 19;
    char scratch[32];
    c.fixed_string_scratch = scratch;
    c.fixed_string_scratch_size = sizeof scratch;
    std::string dir = "/tmp/spool-b";
    c.spool_classes[1].temp_dir = dir.c_str();
    c.spool_classes[2].memory_limit = 5;
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    dir.assign("overwritten by the caller");
    const tamsel_runtime_settings *s = rt->settings;
    EXPECT_EQ(s->parse_options.max_depth, 13u);
    EXPECT_EQ(s->parse_options.max_string_bytes, 12u);
    EXPECT_EQ(s->parse_options.max_parse_bytes, 11u);
    EXPECT_EQ(s->parse_options.init_destination, 0u);
    EXPECT_EQ(s->parse_options.reject_duplicates, 0u);
    EXPECT_EQ(s->parse_options.fixed_string_scratch, scratch);
    EXPECT_EQ(s->parse_options.allocator, &s->allocator_copy);
    EXPECT_EQ(s->config.allocator, &s->allocator_copy);
    EXPECT_EQ(s->allocator_copy.user_data, &a);
    EXPECT_EQ(s->value_limits.max_depth, 18u);
    EXPECT_EQ(s->value_limits.max_string_bytes, 15u);
    EXPECT_EQ(s->value_limits.max_number_bytes, 17u);
    EXPECT_EQ(s->value_limits.max_key_bytes, 16u);
    EXPECT_EQ(s->value_limits.max_total_bytes, 14u);
    EXPECT_EQ(s->write_options.overflow_policy, 2u);
    EXPECT_EQ(s->write_options.pretty, 1u);
    EXPECT_EQ(s->write_options.max_output_bytes, 19u);
    EXPECT_EQ(s->write_options.allocator, &s->allocator_copy);
    EXPECT_STREQ(s->spool[1].temp_dir, "/tmp/spool-b") << "the runtime owns its own copy";
    EXPECT_EQ(s->spool[1].temp_dir, s->owned[1]);
    EXPECT_EQ(s->spool[0].temp_dir, nullptr);
    EXPECT_EQ(s->spool[2].memory_limit, 5u);
    EXPECT_EQ(a.stats.alloc_count, 2u) << "the runtime block and one directory";
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_EQ(a.stats.free_count, 2u);
    EXPECT_EQ(a.live_blocks(), 0u);
}

TEST(RuntimeNew, RefusesAConfigurationWithoutMagic) {
    tamsel_config c = tamsel_default_config();
    c.magic = 0;
    tamsel_error e;
    EXPECT_EQ(tamsel_new(&c, &e), nullptr);
    EXPECT_EQ(e.code, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel_config must be initialized with tamsel_default_config()");
    EXPECT_EQ(e.line, 0u);
}

TEST(RuntimeNew, RefusesAPartialAllocator) {
    counting_allocator a;
    tamsel_allocator partial = a.value();
    partial.realloc = nullptr; // only malloc and free
    tamsel_config c = tamsel_default_config();
    c.allocator = &partial;
    tamsel_error e;
    EXPECT_EQ(tamsel_new(&c, &e), nullptr);
    EXPECT_EQ(e.code, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");
    EXPECT_EQ(a.calls(), 0u);
}

TEST(RuntimeNew, AllocationFailuresReleaseEverything) {
    const char *dirs[] = {"/tmp/a", "/tmp/bb", "/tmp/ccc"};
    size_t runs =
        tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) -> tamsel_status {
            tamsel_config c = tamsel_default_config();
            for (int i = 0; i < 3; ++i)
                c.spool_classes[i].temp_dir = dirs[i];
            c.allocator = a.get();
            tamsel_error e;
            tamsel_runtime *rt = tamsel_new(&c, &e);
            if (!rt) {
                EXPECT_EQ(e.code, TAMSEL_STATUS_ALLOCATION_FAILED);
                EXPECT_TRUE(std::strcmp(e.message, "failed to allocate tamsel runtime") == 0 ||
                            std::strcmp(e.message, "failed to allocate runtime spool temp_dir") ==
                                0)
                    << e.message;
                return e.code;
            }
            tamsel_free(rt);
            return TAMSEL_STATUS_OK;
        });
    EXPECT_EQ(runs, 4u) << "the runtime block and three directory copies";
}

TEST(RuntimeNew, TempDirFailureLeavesStatsWhereTheyWere) {
    counting_allocator a;
    void *held = tamsel::owned_alloc(a.get(), 100); // so the baseline is not zero
    tamsel_alloc_stats before = a.stats;
    tamsel_config c = tamsel_default_config();
    c.spool_classes[0].temp_dir = "/tmp/x";
    c.spool_classes[2].temp_dir = "/tmp/y";
    c.allocator = a.get();
    a.fail_at(a.calls() + 3); // block, first dir, then the second dir fails
    tamsel_error e;
    EXPECT_EQ(tamsel_new(&c, &e), nullptr);
    EXPECT_STREQ(e.message, "failed to allocate runtime spool temp_dir");
    EXPECT_EQ(a.stats.current_bytes, before.current_bytes);
    EXPECT_EQ(a.stats.alloc_count - before.alloc_count, 2u);
    EXPECT_EQ(a.stats.free_count - before.free_count, 2u);
    tamsel::owned_free(held);
}

TEST(RuntimeGenerations, WrapToOneAndAreNeverZero) {
    uint32_t saved = tamsel::runtime_set_generation_counter_for_testing(4294967294u);
    tamsel_runtime *a = tamsel_new(nullptr, nullptr);
    tamsel_runtime *b = tamsel_new(nullptr, nullptr);
    tamsel_runtime *c = tamsel_new(nullptr, nullptr);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->generation, 4294967295u);
    EXPECT_EQ(b->generation, 1u);
    EXPECT_EQ(c->generation, 2u);
    tamsel::runtime_set_generation_counter_for_testing(0);
    tamsel_runtime *d = tamsel_new(nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->generation, 1u) << "a counter at 0 also restarts at 1";
    for (tamsel_runtime *rt : {a, b, c, d})
        EXPECT_EQ(borrow_status(rt), TAMSEL_STATUS_OK);
    for (tamsel_runtime *rt : {a, b, c, d})
        tamsel_free(rt);
    tamsel::runtime_set_generation_counter_for_testing(saved);
}

TEST(RuntimeBorrow, DeadNullAndForgedHandlesAreRefused) {
    tamsel_error e;
    EXPECT_EQ(borrow_status(nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");

    tamsel_runtime forged;
    std::memset(&forged, 0, sizeof forged);
    forged.generation = 2;
    forged.settings = reinterpret_cast<tamsel_runtime_settings *>(&forged);
    forged.self = &forged;
    forged.settings_fast = forged.settings;
    EXPECT_EQ(borrow_status(&forged), TAMSEL_STATUS_INVALID_ARGUMENT);

    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel_runtime copy = *rt;
    tamsel_free(rt);
    EXPECT_EQ(borrow_status(rt), TAMSEL_STATUS_INVALID_ARGUMENT) << "freed original";
    EXPECT_EQ(borrow_status(&copy), TAMSEL_STATUS_INVALID_ARGUMENT) << "copy of a freed one";
    tamsel_free(rt); // a second free of a zeroed header does nothing
    tamsel_free(nullptr);
}

TEST(RuntimeBorrow, ByValueCopyWorksUntilTheOriginalIsFreed) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel_runtime copy = *rt;
    EXPECT_EQ(borrow_status(&copy), TAMSEL_STATUS_OK);
    {
        tamsel::runtime_borrow held;
        ASSERT_EQ(held.acquire(&copy, nullptr), TAMSEL_STATUS_OK);
        EXPECT_EQ(held.settings(), rt->settings);
    }
    tamsel_free(rt);
    EXPECT_EQ(borrow_status(&copy), TAMSEL_STATUS_INVALID_ARGUMENT);
}

TEST(RuntimeFree, FreeingACopyZeroesOnlyTheCopy) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel_runtime copy = *rt;
    tamsel_free(&copy);
    EXPECT_EQ(copy.generation, 0u);
    EXPECT_EQ(copy.settings, nullptr);
    EXPECT_EQ(copy.self, nullptr);
    EXPECT_EQ(copy.settings_fast, nullptr);
    EXPECT_EQ(borrow_status(rt), TAMSEL_STATUS_OK);
    tamsel_runtime second = *rt;
    EXPECT_EQ(borrow_status(&second), TAMSEL_STATUS_OK);
    tamsel_free(rt);
}

TEST(RuntimeFree, RecycledHandleSlotsDoNotReviveOldCopies) {
    tamsel_runtime *first = tamsel_new(nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    tamsel_runtime copy = *first;
    tamsel_free(first);
    // Create enough runtimes that the first slot is handed out again.
    tamsel_runtime *many[80];
    for (auto &rt : many) {
        rt = tamsel_new(nullptr, nullptr);
        ASSERT_NE(rt, nullptr);
    }
    EXPECT_EQ(borrow_status(&copy), TAMSEL_STATUS_INVALID_ARGUMENT);
    for (auto &rt : many)
        EXPECT_EQ(borrow_status(rt), TAMSEL_STATUS_OK);
    for (auto &rt : many)
        tamsel_free(rt);
}

TEST(RuntimeMethods, FreeSlotIsLiveAndUnbuiltSlotsAreNull) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(rt->methods.free, &tamsel_free);
    // 73 slots, in order, each one function pointer.
    static_assert(sizeof(tamsel_runtime_methods) == 73 * sizeof(void (*)(void)));
    static_assert(offsetof(tamsel_runtime_methods, free) == 72 * sizeof(void (*)(void)));
    static_assert(offsetof(tamsel_runtime_methods, generator_init) == 50 * sizeof(void *));
    static_assert(offsetof(tamsel_runtime_methods, serialize_sink) == 55 * sizeof(void *));
    static_assert(offsetof(tamsel_runtime_methods, curl_upload_init) == 71 * sizeof(void *));
    rt->methods.free(rt);
    EXPECT_EQ(borrow_status(rt), TAMSEL_STATUS_INVALID_ARGUMENT);
}

TEST(RuntimeSnapshots, WriteSnapshotPointsAtItsOwnAllocatorCopy) {
    counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    c.pretty = 1;
    c.max_output_bytes = 99;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel::write_snapshot snap;
    ASSERT_EQ(tamsel::take_write_snapshot(rt, &snap, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(snap.options.pretty, 1u);
    EXPECT_EQ(snap.options.max_output_bytes, 99u);
    EXPECT_EQ(snap.options.allocator, &snap.allocator);
    EXPECT_EQ(snap.allocator.user_data, &a);
    tamsel_runtime copy = *rt;
    tamsel::write_snapshot via_copy;
    EXPECT_EQ(tamsel::take_write_snapshot(&copy, &via_copy, nullptr), TAMSEL_STATUS_OK);
    tamsel_free(rt);
    // The snapshot outlives the runtime: its allocator is still usable.
    void *p = tamsel::owned_alloc(snap.options.allocator, 10);
    ASSERT_NE(p, nullptr);
    tamsel::owned_free(p);
    tamsel_error e;
    EXPECT_EQ(tamsel::take_write_snapshot(rt, &snap, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");

    tamsel_runtime *plain = tamsel_new(nullptr, nullptr);
    tamsel::write_snapshot none;
    ASSERT_EQ(tamsel::take_write_snapshot(plain, &none, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(none.options.allocator, nullptr);
    tamsel_free(plain);
}

TEST(RuntimeSnapshots, VisitSnapshotCopiesLimitsAndAllocator) {
    counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.value_max_depth = 7;
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel::visit_snapshot snap;
    ASSERT_EQ(tamsel::take_visit_snapshot(rt, &snap, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(snap.limits.max_depth, 7u);
    EXPECT_EQ(snap.allocator.user_data, &a);
    tamsel_free(rt);
    EXPECT_EQ(tamsel::take_visit_snapshot(rt, &snap, nullptr), TAMSEL_STATUS_INVALID_ARGUMENT);
}

TEST(RuntimeSnapshots, SettingsSnapshotIsPrivateAndSurvivesTheRuntime) {
    counting_allocator a;
    char scratch[16] = "scratch";
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    c.fixed_string_scratch = scratch;
    c.fixed_string_scratch_size = sizeof scratch;
    c.spool_classes[0].temp_dir = "/tmp/zero";
    c.spool_classes[2].temp_dir = "/tmp/two";
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    tamsel_runtime_settings snap{};
    ASSERT_EQ(tamsel::settings_snapshot(&snap, rt->settings, nullptr), TAMSEL_STATUS_OK);
    tamsel_free(rt);

    EXPECT_EQ(snap.owner.load(), nullptr);
    EXPECT_NE(snap.parse_options.fixed_string_scratch, scratch);
    EXPECT_EQ(snap.parse_options.fixed_string_scratch, snap.owned[3]);
    EXPECT_EQ(snap.parse_options.fixed_string_scratch_size, sizeof scratch);
    EXPECT_STREQ(static_cast<const char *>(snap.owned[3]), "scratch");
    EXPECT_STREQ(snap.spool[0].temp_dir, "/tmp/zero");
    EXPECT_EQ(snap.spool[1].temp_dir, nullptr);
    EXPECT_STREQ(snap.spool[2].temp_dir, "/tmp/two");
    EXPECT_EQ(snap.parse_options.allocator, &snap.allocator_copy);
    EXPECT_EQ(snap.write_options.allocator, &snap.allocator_copy);
    EXPECT_EQ(snap.config.allocator, &snap.allocator_copy);
    tamsel__runtime_free_owned_config(&snap);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    tamsel__runtime_free_owned_config(&snap); // a second release does nothing
}

TEST(RuntimeSnapshots, SettingsSnapshotFailuresOwnNothing) {
    char scratch[8] = {};
    counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    c.fixed_string_scratch = scratch;
    c.fixed_string_scratch_size = sizeof scratch;
    c.spool_classes[1].temp_dir = "/tmp/one";
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    const uint64_t baseline = a.stats.current_bytes;
    // The snapshot allocates the scratch copy first, then the directory copy.
    const char *messages[] = {"failed to allocate runtime fixed string scratch",
                              "failed to allocate runtime spool temp_dir"};
    for (uint64_t n = 1; n <= 2; ++n) {
        a.fail_at(a.calls() + n);
        tamsel_runtime_settings snap{};
        tamsel_error e;
        EXPECT_EQ(tamsel::settings_snapshot(&snap, rt->settings, &e),
                  TAMSEL_STATUS_ALLOCATION_FAILED);
        EXPECT_STREQ(e.message, messages[n - 1]);
        for (void *p : snap.owned)
            EXPECT_EQ(p, nullptr);
        EXPECT_EQ(a.stats.current_bytes, baseline);
    }
    a.fail_at(0);
    tamsel_runtime_settings ok{};
    EXPECT_EQ(tamsel::settings_snapshot(&ok, rt->settings, nullptr), TAMSEL_STATUS_OK);
    tamsel__runtime_free_owned_config(&ok);
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

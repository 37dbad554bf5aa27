// Runtime borrowing under contention. Built with ThreadSanitizer by `make test` (label
// `concurrency`) as well as with AddressSanitizer in the dev build.
#include "core/internal.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// One borrow as an operation does it; while held, reads the settings so that a borrower
// proceeding on a freed runtime is caught by the sanitizer.
tamsel_status borrow_and_read(const tamsel_runtime *h, uint64_t *sink) {
    tamsel::runtime_borrow borrow;
    tamsel_error e;
    tamsel_status st = borrow.acquire(h, &e);
    if (st == TAMSEL_STATUS_OK)
        *sink += borrow.settings()->parse_options.max_depth;
    else if (std::string(e.message) != "tamsel runtime is required")
        return TAMSEL_STATUS_INTERNAL_ERROR;
    return st;
}

} // namespace

TEST(RuntimeConcurrency, BorrowersThroughHandleAndCopyRaceWithFree) {
    for (int round = 0; round < 20; ++round) {
        tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
        ASSERT_NE(rt, nullptr);
        const tamsel_runtime copy = *rt;
        std::atomic<bool> go{false}, freed{false};
        std::atomic<int> bad{0}, late_success{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                const tamsel_runtime *h = (t % 2) ? &copy : rt;
                uint64_t sink = 0;
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < 20000; ++i) {
                    bool after_free = freed.load(std::memory_order_seq_cst);
                    tamsel_status st = borrow_and_read(h, &sink);
                    if (st == TAMSEL_STATUS_INTERNAL_ERROR) bad++;
                    if (st == TAMSEL_STATUS_OK && after_free) late_success++;
                    if (after_free && st != TAMSEL_STATUS_OK && i > 100) break;
                }
                (void)sink;
            });
        }
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        tamsel_free(rt);
        freed = true;
        for (auto &th : threads)
            th.join();
        EXPECT_EQ(bad.load(), 0);
        EXPECT_EQ(late_success.load(), 0) << "a borrow succeeded after tamsel_free returned";
    }
}

TEST(RuntimeConcurrency, CreateFreeLoopWithBorrowersOnThePublishedHandle) {
    std::atomic<tamsel_runtime *> published{nullptr};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> borrowers;
    for (int t = 0; t < 3; ++t) {
        borrowers.emplace_back([&] {
            uint64_t sink = 0;
            while (!stop.load()) {
                tamsel_runtime *h = published.load();
                if (!h) continue;
                if (borrow_and_read(h, &sink) == TAMSEL_STATUS_INTERNAL_ERROR) bad++;
            }
            (void)sink;
        });
    }
    for (int i = 0; i < 2000; ++i) {
        tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
        ASSERT_NE(rt, nullptr);
        published.store(rt);
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(i % 50));
        tamsel_free(rt);
    }
    stop = true;
    for (auto &th : borrowers)
        th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(RuntimeConcurrency, WriteSnapshotOutlivesAConcurrentFree) {
    tamsel_test::counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    std::atomic<int> phase{0};
    std::thread writer([&] {
        tamsel::write_snapshot snap;
        ASSERT_EQ(tamsel::take_write_snapshot(rt, &snap, nullptr), TAMSEL_STATUS_OK);
        phase = 1;
        while (phase.load() != 2)
            std::this_thread::yield();
        // The runtime is gone; the snapshot's allocator copy still works.
        tamsel_allocator use;
        ASSERT_TRUE(tamsel::resolve_allocator(snap.options.allocator, &use));
        void *p = tamsel::raw_realloc(use, nullptr, 0, 128);
        ASSERT_NE(p, nullptr);
        tamsel::raw_free(use, p, 128);
    });
    while (phase.load() != 1)
        std::this_thread::yield();
    tamsel_free(rt);
    phase = 2;
    writer.join();
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(StatsConcurrency, SharedRecordCountsAddUpExactly) {
    tamsel_test::counting_allocator a;
    constexpr int threads = 4, rounds = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                void *p = tamsel::owned_alloc(a.get(), 16);
                ASSERT_NE(p, nullptr);
                p = tamsel::owned_realloc(nullptr, p, 48);
                ASSERT_NE(p, nullptr);
                tamsel::owned_free(p);
            }
        });
    }
    for (auto &w : workers)
        w.join();
    EXPECT_EQ(a.stats.alloc_count, uint64_t{threads * rounds});
    EXPECT_EQ(a.stats.realloc_count, uint64_t{threads * rounds});
    EXPECT_EQ(a.stats.free_count, uint64_t{threads * rounds});
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_LE(a.stats.peak_bytes, uint64_t{threads * 48});
    EXPECT_GE(a.stats.peak_bytes, 48u);
}

// Test support: an allocator over the process allocator that counts every call, tracks each
// live block, and can be told to fail the N-th allocation; and the fault loop every
// allocating operation is tested with.
#pragma once

#include "tamsel.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace tamsel_test {

class counting_allocator {
  public:
    counting_allocator();
    counting_allocator(const counting_allocator &) = delete;
    counting_allocator &operator=(const counting_allocator &) = delete;
    ~counting_allocator();

    // The record to hand to the library; `stats` points at this object's statistics.
    const tamsel_allocator *get() const { return &allocator_; }
    tamsel_allocator value() const { return allocator_; }
    // The same callbacks without statistics.
    tamsel_allocator without_stats() const;

    // Fail the N-th allocating call (malloc or growing realloc), counting from 1; 0 = never.
    void fail_at(uint64_t n) { fail_at_ = n; }
    // While paused, calls are served but neither counted nor failed (for set-up and
    // tear-down around the operation under test).
    void pause() { paused_ = true; }
    void resume() { paused_ = false; }
    // Whether the planned failure was reached.
    bool failure_injected() const { return injected_; }

    tamsel_alloc_stats stats;

    uint64_t calls() const;     // allocating calls seen (failed ones included)
    size_t live_blocks() const; // blocks handed out and not yet freed
    size_t live_bytes() const;  // their sizes
    void reset_counts();        // keeps live blocks

  private:
    static void *do_malloc(void *user, size_t size);
    static void *do_realloc(void *user, void *block, size_t size);
    static void do_free(void *user, void *block);
    bool should_fail();

    tamsel_allocator allocator_;
    mutable std::mutex mu_;
    std::unordered_map<void *, size_t> live_;
    uint64_t calls_ = 0;
    uint64_t fail_at_ = 0;
    bool injected_ = false;
    bool paused_ = false;
};

// A runtime made with config `c` whose allocations all go through `a`; its own set-up is not
// counted (the allocator is paused around it), so failure indexes count the operation only.
tamsel_runtime *runtime_with(counting_allocator &a, tamsel_config c = tamsel_default_config());

// Runs `op` once for every allocation index N = 1, 2, ... with the N-th allocation failing,
// until a run in which the failure is never reached. `op` gets the allocator, performs the
// operation and releases whatever it succeeded in creating, and returns the operation's
// status. Every failing run must return status 8 (ALLOCATION_FAILED), and after each run no
// block may be live. Returns the number of failing runs. Stops at `max_runs`.
size_t
expect_allocation_failures_clean(const std::function<tamsel_status(counting_allocator &)> &op,
                                 size_t max_runs = 100000);

} // namespace tamsel_test

#include "counting_allocator.hpp"

#include <cstdlib>

namespace tamsel_test {

counting_allocator::counting_allocator() : stats{} {
    allocator_ = {do_malloc, do_realloc, do_free, this, &stats};
}

counting_allocator::~counting_allocator() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto &[block, size] : live_)
        std::free(block);
}

tamsel_allocator counting_allocator::without_stats() const {
    tamsel_allocator a = allocator_;
    a.stats = nullptr;
    return a;
}

bool counting_allocator::should_fail() {
    if (paused_) return false;
    ++calls_;
    if (fail_at_ != 0 && calls_ == fail_at_) {
        injected_ = true;
        return true;
    }
    return false;
}

void *counting_allocator::do_malloc(void *user, size_t size) {
    auto *self = static_cast<counting_allocator *>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    if (self->should_fail()) return nullptr;
    void *p = std::malloc(size ? size : 1);
    if (p) self->live_[p] = size;
    return p;
}

void *counting_allocator::do_realloc(void *user, void *block, size_t size) {
    auto *self = static_cast<counting_allocator *>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    if (block) {
        auto it = self->live_.find(block);
        EXPECT_NE(it, self->live_.end()) << "realloc of a block this allocator never made";
    }
    if (self->should_fail()) return nullptr;
    void *p = std::realloc(block, size ? size : 1);
    if (!p) return nullptr;
    if (block) self->live_.erase(block);
    self->live_[p] = size;
    return p;
}

void counting_allocator::do_free(void *user, void *block) {
    auto *self = static_cast<counting_allocator *>(user);
    if (!block) return;
    std::lock_guard<std::mutex> lock(self->mu_);
    auto it = self->live_.find(block);
    EXPECT_NE(it, self->live_.end()) << "free of a block this allocator never made";
    if (it != self->live_.end()) self->live_.erase(it);
    std::free(block);
}

uint64_t counting_allocator::calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
}

size_t counting_allocator::live_blocks() const {
    std::lock_guard<std::mutex> lock(mu_);
    return live_.size();
}

size_t counting_allocator::live_bytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t total = 0;
    for (auto &[block, size] : live_)
        total += size;
    return total;
}

void counting_allocator::reset_counts() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_ = 0;
    injected_ = false;
    fail_at_ = 0;
}

size_t
expect_allocation_failures_clean(const std::function<tamsel_status(counting_allocator &)> &op,
                                 size_t max_runs) {
    for (size_t n = 1; n <= max_runs; ++n) {
        counting_allocator alloc;
        alloc.fail_at(n);
        tamsel_status status = op(alloc);
        EXPECT_EQ(alloc.live_blocks(), 0u) << "blocks leaked when allocation " << n << " failed";
        EXPECT_EQ(alloc.stats.current_bytes, 0u) << "current_bytes after failing allocation " << n;
        if (!alloc.failure_injected()) {
            EXPECT_EQ(status, TAMSEL_STATUS_OK) << "the run without a failure must succeed";
            return n - 1;
        }
        EXPECT_EQ(status, TAMSEL_STATUS_ALLOCATION_FAILED) << "allocation " << n << " failed";
        if (::testing::Test::HasFailure()) return n;
    }
    ADD_FAILURE() << "operation still allocating after " << max_runs << " runs";
    return max_runs;
}

tamsel_runtime *runtime_with(counting_allocator &a, tamsel_config c) {
    c.allocator = a.get();
    a.pause();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    a.resume();
    return rt;
}

} // namespace tamsel_test

// The mapped parse of fuzz_parse with one failing allocation. The first two input bytes choose
// which allocating call fails (among those a run without failure makes), the next four the
// limits. Invariants: a run in which the failure was injected ends in status 8, or, where the
// library has a fallback, exactly as the run without failure (status, message, position and
// record contents); a run that never reached the failure is identical to the reference; the
// record cleans up to nothing, and no spool file is left, whatever happened. One fallback
// changes what the budget sees: a spooled field whose directory copy fails spills to an
// anonymous file, and the copy it did not make is not charged to the parse budget. So where the
// reference ends on the budget, a run through that fallback gets at least as far before it ends,
// on the budget or otherwise, and then holds what it got that far (contents not compared).
#include "fuzz_record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint16_t choice = in.take16();
    const fuzz::parse_limits limits = fuzz::take_limits(in);
    fuzz::counting_allocator alloc;
    alloc.pause();
    tamsel_runtime *rt = fuzz::new_runtime(limits, alloc.get());
    alloc.resume();
    const size_t runtime_blocks = alloc.live_blocks();

    alloc.fail_at(0);
    const fuzz::parse_outcome reference = fuzz::parse_once(rt, in.rest(), in.rest_size(), nullptr);
    const uint64_t calls = alloc.calls();
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "reference run leaked %zu blocks",
               alloc.live_blocks() - runtime_blocks);

    if (calls > 0) {
        alloc.fail_at(1 + choice % calls);
        const fuzz::parse_outcome failed = fuzz::parse_once(rt, in.rest(), in.rest_size(), nullptr);
        FUZZ_CHECK(alloc.live_blocks() == runtime_blocks,
                   "failing allocation %llu of %llu leaked %zu blocks (%s)",
                   static_cast<unsigned long long>(1 + choice % calls),
                   static_cast<unsigned long long>(calls), alloc.live_blocks() - runtime_blocks,
                   failed.error.c_str());
        const bool fallback = alloc.injected() && failed.status != TAMSEL_STATUS_ALLOCATION_FAILED;
        if (fallback && fuzz::over_budget(reference)) {
            FUZZ_CHECK(failed.offset >= reference.offset,
                       "with less charged to the budget the parse ended earlier:\n%s\n--- "
                       "reference ---\n%s",
                       failed.error.c_str(), reference.error.c_str());
        } else if (failed.status != TAMSEL_STATUS_ALLOCATION_FAILED || !alloc.injected()) {
            FUZZ_CHECK(
                fuzz::without_budget_position(failed) == fuzz::without_budget_position(reference),
                "allocation %llu of %llu failed (%s):\n%s\n%s\n--- reference ---\n%s\n%s",
                static_cast<unsigned long long>(1 + choice % calls),
                static_cast<unsigned long long>(calls),
                alloc.injected() ? "injected" : "not reached", failed.error.c_str(),
                failed.contents.c_str(), reference.error.c_str(), reference.contents.c_str());
        }
    }

    tamsel_free(rt);
    FUZZ_CHECK(alloc.live_blocks() == 0, "%zu blocks outlived the runtime", alloc.live_blocks());
    return 0;
}

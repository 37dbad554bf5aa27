// Mapped parsing of a whole buffer into a record that uses nearly every field kind, with limits
// taken from the first four input bytes (depth, string size, parse budget, duplicates).
// Invariants: the status is one a parse can give and the error record agrees with it; the
// record reads back (every string terminated, every array within its capacity, spooled values
// replay their full size); parsing the same text again into a cleaned, re-initialised record
// gives the same result; after cleanup the allocator holds only the runtime, after freeing the
// runtime nothing, and no spool file is left.
#include "fuzz_record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const fuzz::parse_limits limits = fuzz::take_limits(in);
    fuzz::counting_allocator alloc;
    tamsel_runtime *rt = fuzz::new_runtime(limits, alloc.get());
    const uint64_t runtime_bytes = alloc.stats.current_bytes;
    const size_t runtime_blocks = alloc.live_blocks();

    alloc.mark_peak();
    const fuzz::parse_outcome first = fuzz::parse_once(rt, in.rest(), in.rest_size(), nullptr);
    FUZZ_CHECK(fuzz::is_parse_status(first.status), "unexpected %s", first.error.c_str());
    // The budget counts the payload of what the parse allocates; each block also carries the
    // allocator's 64-byte header.
    const size_t held = alloc.peak_bytes_above_mark(), blocks = alloc.peak_blocks_above_mark();
    FUZZ_CHECK(limits.max_parse_bytes == 0 || held <= limits.max_parse_bytes + 64 * blocks,
               "the parse held %zu bytes in %zu blocks under a budget of %llu (%s)", held, blocks,
               static_cast<unsigned long long>(limits.max_parse_bytes), first.error.c_str());
    FUZZ_CHECK(alloc.stats.current_bytes == runtime_bytes,
               "cleanup left %llu bytes counted after %s",
               static_cast<unsigned long long>(alloc.stats.current_bytes - runtime_bytes),
               first.error.c_str());
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "cleanup left %zu blocks after %s",
               alloc.live_blocks() - runtime_blocks, first.error.c_str());

    const fuzz::parse_outcome again = fuzz::parse_once(rt, in.rest(), in.rest_size(), nullptr);
    FUZZ_CHECK(again == first, "a second parse differs:\n%s\n%s\n--- vs ---\n%s\n%s",
               first.error.c_str(), first.contents.c_str(), again.error.c_str(),
               again.contents.c_str());

    tamsel_free(rt);
    FUZZ_CHECK(alloc.stats.current_bytes == 0 && alloc.live_blocks() == 0,
               "%llu bytes in %zu blocks outlived the runtime",
               static_cast<unsigned long long>(alloc.stats.current_bytes), alloc.live_blocks());
    return 0;
}

// Object streams over a reader. Input: four limit bytes as in fuzz_parse, one flag byte (bit 0:
// a zero piece size is a would-block result rather than an empty one), one byte giving up to 15
// piece sizes, the sizes, then the text: objects one after another. Invariants: reading in
// those pieces gives the same sequence of results as reading the input in the largest pieces
// the stream asks for (item contents, end, error status, message and position), would-block
// results aside, each of which resumes where it stopped; the stream's own error record is the
// caller's; after an error the next call ends the same way in both; closing the stream and
// cleaning the destination leave nothing allocated and no spool file. A failure of the parse
// budget is compared without its position, which depends on the pieces (fuzz_record.hpp), and
// without the call after it.
#include "fuzz_record.hpp"

namespace {

// A result's error as compared: budget failures without their position.
std::string compared(const tamsel_error &e) {
    fuzz::parse_outcome o;
    o.status = e.code;
    o.error = fuzz::describe(e.code, e);
    return fuzz::without_budget_position(o).error;
}

struct stream_run {
    std::string results;
    size_t would_blocks = 0;
};

stream_run run_stream(tamsel_runtime *rt, fuzz::piece_reader &reader, size_t input_size) {
    stream_run run;
    tamsel_error e;
    tamsel_stream *s =
        tamsel_stream_open_reader(rt, fuzz::record_map(), fuzz::piece_reader::read, &reader, &e);
    FUZZ_CHECK(s != nullptr, "stream_open_reader failed: %s", e.message);
    fuzz::destination d;
    d.init(rt);
    // Every object takes at least two bytes, and would-block results are bounded by the plan.
    const size_t max_calls = 2 * input_size + 64 * (input_size + 2);
    bool after_error = false;
    for (size_t calls = 0;; ++calls) {
        FUZZ_CHECK(calls < max_calls, "stream made no progress after %zu calls", calls);
        std::memset(&e, 0x5A, sizeof e);
        const tamsel_stream_result r = tamsel_stream_next(s, &d.rec, &e);
        FUZZ_CHECK(r >= TAMSEL_STREAM_ITEM && r <= TAMSEL_STREAM_ERROR, "result %d", r);
        const tamsel_error *own = tamsel_stream_error(s);
        FUZZ_CHECK(own != nullptr && own->code == e.code && own->offset == e.offset &&
                       std::strcmp(own->message, e.message) == 0,
                   "the stream's record differs from the caller's");
        if (r == TAMSEL_STREAM_WOULD_BLOCK) {
            ++run.would_blocks;
            continue;
        }
        run.results += "result " + std::to_string(r) + ": " + compared(e) + "\n";
        if (r == TAMSEL_STREAM_ITEM) {
            fuzz::check_error_record(e.code == 0 && e.truncated ? TAMSEL_STATUS_TRUNCATED : e.code,
                                     e, input_size);
            run.results += fuzz::dump(d);
            d.log.text.clear();
            continue;
        }
        if (r == TAMSEL_STREAM_ERROR) {
            FUZZ_CHECK(e.code != 0 && e.code != TAMSEL_STATUS_TRUNCATED,
                       "error result with status %u", e.code);
            // A failure abandons a streamed string without its end: the next object's strings
            // begin afresh.
            d.log.in_string = false;
            // Where a budget failure stopped depends on the pieces, and so does what the next
            // call finds after it.
            if (!after_error && compared(e) == fuzz::describe(e.code, e)) {
                after_error = true;
                continue; // once more: how a stream behaves after its error is compared too
            }
        }
        break;
    }
    tamsel_stream_close(s);
    d.cleanup();
    FUZZ_CHECK(fuzz::files_in(fuzz::spool_dir()) == 0, "a spool file outlived cleanup");
    return run;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const fuzz::parse_limits limits = fuzz::take_limits(in);
    const bool would_block = in.take() & 1;
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    fuzz::counting_allocator alloc;
    tamsel_runtime *rt = fuzz::new_runtime(limits, alloc.get());
    const size_t runtime_blocks = alloc.live_blocks();

    fuzz::piece_reader whole_reader{in.rest(), in.rest_size()};
    const stream_run whole = run_stream(rt, whole_reader, in.rest_size());
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "stream leaked %zu blocks",
               alloc.live_blocks() - runtime_blocks);
    fuzz::piece_reader piece_reader{in.rest(), in.rest_size()};
    piece_reader.plan = plan;
    piece_reader.would_block_on_zero = would_block;
    const stream_run split = run_stream(rt, piece_reader, in.rest_size());
    FUZZ_CHECK(split.results == whole.results, "split stream differs:\n%s\n--- whole ---\n%s",
               split.results.c_str(), whole.results.c_str());
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "stream leaked %zu blocks",
               alloc.live_blocks() - runtime_blocks);

    tamsel_free(rt);
    FUZZ_CHECK(alloc.live_blocks() == 0, "%zu blocks outlived the runtime", alloc.live_blocks());
    return 0;
}

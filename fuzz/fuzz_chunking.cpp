// The same text parsed whole and through a reader that hands it out in fuzzer-chosen pieces
// (empty results included). Input: four limit bytes as in fuzz_parse, one byte giving up to 15
// piece sizes, the sizes, then the JSON text. Invariants: tamsel_parse_reader, fed in those
// pieces or in the largest pieces the reader is asked for, ends exactly as
// tamsel_parse_buffer (status, message, line, column, offset, truncation) and leaves the same
// record contents; so does the push parser itself fed runs cut at positions taken from the
// same sizes scaled up (runs of up to several KiB, longer than the 1024 bytes a reader is asked
// for, so that runs cross every kind of token); tamsel_validate_reader in those pieces ends
// exactly as tamsel_validate_buffer. One class is compared without its position: the parse budget
// (max_parse_bytes) is charged when a block grows, and blocks grow by doubling as the pieces
// arrive, so a run of bytes crosses the budget at the end of the piece that needed the growth;
// there status, message and record contents must still agree.
#include "fuzz_record.hpp"
#include "parse/parser.hpp"

namespace {

// Feeds the text to the push parser in runs of 37 * size + 1 bytes, cycling through `plan`,
// set up as tamsel_parse_buffer sets it up.
fuzz::parse_outcome push_parse(tamsel_runtime *rt, const uint8_t *json, size_t len,
                               const std::vector<uint8_t> &plan) {
    using namespace tamsel::parse;
    return fuzz::parse_into_fresh(rt, len, [&](fuzz::record *rec, tamsel_error *e) {
        tamsel::runtime_borrow borrow;
        FUZZ_CHECK(borrow.acquire(rt, e) == 0, "%s", e->message);
        parser p;
        alignas(8) unsigned char workspace[workspace_bytes];
        init_args args;
        args.map = fuzz::record_map();
        args.dst = rec;
        args.options = &borrow.settings()->parse_options;
        args.settings = borrow.settings();
        args.runtime = rt;
        args.workspace = workspace;
        tamsel_status st = parser_init(p, args);
        if (st == 0 && p.options.init_destination) st = init_map_parse(p, *args.map, rec);
        FUZZ_CHECK(st == 0, "parser set-up failed: %s", p.error.message);
        size_t at = 0;
        for (size_t step = 0; at < len; ++step) {
            size_t n = plan.empty() ? len : size_t(plan[step % plan.size()]) * 37 + 1;
            if (n > len - at) n = len - at;
            st = parser_feed(p, json + at, n, nullptr, false);
            at += n;
            if (st != 0 && st != TAMSEL_STATUS_TRUNCATED) break;
        }
        if (st == 0 || st == TAMSEL_STATUS_TRUNCATED) st = parser_finish(p);
        if (st != 0 && st != TAMSEL_STATUS_TRUNCATED) unwind_mapped_streams(p);
        parser_destroy(p);
        *e = p.error;
        return st;
    });
}

std::string validate(tamsel_runtime *rt, const uint8_t *json, size_t len,
                     fuzz::piece_reader *reader) {
    tamsel_error e;
    tamsel_status st = reader ? tamsel_validate_reader(rt, fuzz::piece_reader::read, reader, &e)
                              : tamsel_validate_buffer(rt, json, len, &e);
    fuzz::check_error_record(st, e, len);
    return fuzz::describe(st, e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const fuzz::parse_limits limits = fuzz::take_limits(in);
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const uint8_t *json = in.rest();
    const size_t len = in.rest_size();
    fuzz::counting_allocator alloc;
    tamsel_runtime *rt = fuzz::new_runtime(limits, alloc.get());

    const fuzz::parse_outcome whole =
        fuzz::without_budget_position(fuzz::parse_once(rt, json, len, nullptr));
    fuzz::piece_reader pieces{json, len};
    pieces.plan = plan;
    const fuzz::parse_outcome split =
        fuzz::without_budget_position(fuzz::parse_once(rt, json, len, &pieces));
    FUZZ_CHECK(split == whole, "split parse differs:\n%s\n%s\n--- whole ---\n%s\n%s",
               split.error.c_str(), split.contents.c_str(), whole.error.c_str(),
               whole.contents.c_str());
    fuzz::piece_reader full{json, len};
    const fuzz::parse_outcome read =
        fuzz::without_budget_position(fuzz::parse_once(rt, json, len, &full));
    FUZZ_CHECK(read == whole, "reader parse differs:\n%s\n%s\n--- whole ---\n%s\n%s",
               read.error.c_str(), read.contents.c_str(), whole.error.c_str(),
               whole.contents.c_str());

    const fuzz::parse_outcome pushed =
        fuzz::without_budget_position(push_parse(rt, json, len, plan));
    FUZZ_CHECK(pushed == whole, "push parse differs:\n%s\n%s\n--- whole ---\n%s\n%s",
               pushed.error.c_str(), pushed.contents.c_str(), whole.error.c_str(),
               whole.contents.c_str());

    const std::string v_whole = validate(rt, json, len, nullptr);
    fuzz::piece_reader v_pieces{json, len};
    v_pieces.plan = plan;
    const std::string v_split = validate(rt, json, len, &v_pieces);
    FUZZ_CHECK(v_split == v_whole, "split validation differs: %s\n--- whole ---\n%s",
               v_split.c_str(), v_whole.c_str());

    tamsel_free(rt);
    FUZZ_CHECK(alloc.live_blocks() == 0, "%zu blocks outlived the runtime", alloc.live_blocks());
    return 0;
}

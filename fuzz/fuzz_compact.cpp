// The span engine's doors: compact copy, validation and items. Input: an option byte (bit 0:
// keep escapes, bit 1: the UTF-8 check), a plan of reader piece sizes (fuzz::take_plan), then
// the text. Invariants: validation reports exactly what the visitor with no callbacks reports;
// a compact copy succeeds exactly when validation does, read whole or in pieces, with the same
// failure and, on success, the same bytes, which validate and copy onto themselves; and for a
// root array, the items written as lines and joined with commas in brackets are that copy.
#include "fuzz_support.hpp"

namespace {

tamsel_runtime *runtime(bool utf8) {
    static tamsel_runtime *rts[2] = {};
    tamsel_runtime *&rt = rts[utf8];
    if (!rt) {
        tamsel_config c = tamsel_default_config();
        c.value_max_depth = 1024; // past the 512 levels held in place
        c.reject_duplicates = 0;  // the items' root-key rules stay out of the comparison
        tamsel_error e;
        rt = tamsel_new(&c, &e);
        FUZZ_CHECK(rt != nullptr, "tamsel_new failed: %s", e.message);
        FUZZ_CHECK(tamsel_set_utf8_check(rt, utf8, &e) == TAMSEL_STATUS_OK, "%s", e.message);
    }
    return rt;
}

std::string where(tamsel_status st, const tamsel_error &e) {
    return fuzz::describe(st, e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint8_t options = in.take();
    const unsigned flags = options & 1 ? TAMSEL_COMPACT_KEEP_ESCAPES : 0;
    tamsel_runtime *rt = runtime(options & 2);
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const uint8_t *text = in.rest();
    const size_t len = in.rest_size();

    tamsel_error ve, xe, ce, re;
    const tamsel_status valid = tamsel_validate_value_buffer(rt, text, len, &ve);
    const tamsel_value_visitor none{};
    const tamsel_status visited = tamsel_visit_value_buffer(rt, text, len, &none, nullptr, &xe);
    FUZZ_CHECK(where(valid, ve) == where(visited, xe), "validate %s, visit %s",
               where(valid, ve).c_str(), where(visited, xe).c_str());

    std::string whole, pieces;
    const tamsel_status st =
        tamsel_compact_value_buffer(rt, text, len, fuzz::append_sink, &whole, flags, &ce);
    fuzz::piece_reader reader(text, len);
    reader.plan = plan;
    const tamsel_status st2 = tamsel_compact_value_reader(rt, fuzz::piece_reader::read, &reader,
                                                          fuzz::append_sink, &pieces, flags, &re);
    FUZZ_CHECK(where(st, ce) == where(valid, ve), "compact %s, validate %s", where(st, ce).c_str(),
               where(valid, ve).c_str());
    FUZZ_CHECK(where(st2, re) == where(st, ce), "whole %s, in pieces %s", where(st, ce).c_str(),
               where(st2, re).c_str());
    if (st != TAMSEL_STATUS_OK) return 0;
    FUZZ_CHECK(whole == pieces, "the copy in pieces differs");

    std::string again;
    FUZZ_CHECK(tamsel_compact_value_buffer(rt, whole.data(), whole.size(), fuzz::append_sink,
                                           &again, flags, &ce) == TAMSEL_STATUS_OK,
               "the copy does not copy: %s", ce.message);
    FUZZ_CHECK(again == whole, "a copy of the copy differs");

    if (whole.empty() || whole[0] != '[') return 0;
    std::string lines;
    reader = fuzz::piece_reader(text, len);
    reader.plan = plan;
    const tamsel_status items = tamsel_compact_items_reader(
        rt, nullptr, fuzz::piece_reader::read, &reader, fuzz::append_sink, &lines, flags, &re);
    FUZZ_CHECK(items == TAMSEL_STATUS_OK, "items of a valid array: %s", re.message);
    std::string joined = "[";
    for (size_t at = 0; at < lines.size();) {
        const size_t end = lines.find('\n', at);
        FUZZ_CHECK(end != std::string::npos, "an unfinished line");
        if (joined.size() > 1) joined += ',';
        joined.append(lines, at, end - at);
        at = end + 1;
    }
    FUZZ_CHECK(joined + "]" == whole, "the items joined differ from the copy");
    return 0;
}

// Writer value streams against the validator: the first byte chooses a split point, the rest is
// one JSON value pushed in two pieces into a writer. Whatever the validator accepts the value
// stream accepts too (or refuses with a value limit), what it refuses the stream refuses; an
// accepted value comes out as text the validator accepts, equal for the whole push and the
// split one, and splicing that output again gives it back unchanged (compact text is a fixed
// point).
#include "fuzz_support.hpp"

using namespace fuzz;

namespace {

tamsel_runtime *runtime() {
    static tamsel_runtime *rt = [] {
        tamsel_config c = tamsel_default_config();
        c.max_depth = 32;
        c.value_max_depth = 32;
        c.max_string_bytes = 0;
        c.reject_duplicates = 0; // the value stream re-emits duplicates as they stand
        tamsel_error e;
        tamsel_runtime *made = tamsel_new(&c, &e);
        FUZZ_CHECK(made != nullptr, "tamsel_new failed: %s", e.message);
        return made;
    }();
    return rt;
}

// Splices `text` as one value, pushed in two pieces cut at `cut`.
tamsel_status splice(const uint8_t *text, size_t len, size_t cut, std::string *out,
                     tamsel_error *e) {
    tamsel_writer w;
    FUZZ_CHECK(tamsel_writer_init_sink(runtime(), &w, append_sink, out, e) == 0, "init: %s",
               e->message);
    tamsel_writer_value_stream vs;
    tamsel_writer_value_stream_init(&vs);
    tamsel_status st = vs.open(&vs, &w, e);
    if (st == TAMSEL_STATUS_OK) st = vs.push(&vs, text, cut, e);
    if (st == TAMSEL_STATUS_OK) st = vs.push(&vs, text + cut, len - cut, e);
    if (st == TAMSEL_STATUS_OK) st = vs.close(&vs, e);
    vs.cleanup(&vs);
    if (st == TAMSEL_STATUS_OK) {
        tamsel_error fe;
        FUZZ_CHECK(tamsel_writer_finish(&w, &fe) == 0, "finish after a value: %s", fe.message);
    }
    tamsel_writer_cleanup(&w);
    return st;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *text = data + 1;
    const size_t len = size - 1;
    const size_t cut = len ? data[0] % (len + 1) : 0;
    tamsel_error ve, we, se;
    const tamsel_status valid = tamsel_validate_buffer(runtime(), text, len, &ve);
    std::string whole, split;
    const tamsel_status st = splice(text, len, len, &whole, &we);
    const tamsel_status st2 = splice(text, len, cut, &split, &se);
    FUZZ_CHECK(st == st2, "whole %s, split %s", describe(st, we).c_str(),
               describe(st2, se).c_str());
    if (valid != TAMSEL_STATUS_OK) {
        // The validator's token workspace is a limit of its own: only a refusal of the text
        // itself must be shared.
        if (fuzz::validator_limit(valid, ve)) return 0;
        FUZZ_CHECK(st != TAMSEL_STATUS_OK, "validator refused (%s), value stream accepted",
                   describe(valid, ve).c_str());
        return 0;
    }
    if (st != TAMSEL_STATUS_OK) {
        FUZZ_CHECK(st == TAMSEL_STATUS_OVERFLOW, "validator accepted, value stream: %s",
                   describe(st, we).c_str());
        return 0;
    }
    FUZZ_CHECK(whole == split, "split output differs");
    FUZZ_CHECK(tamsel_validate_buffer(runtime(), whole.data(), whole.size(), &ve) == 0,
               "output does not validate: %s", ve.message);
    std::string again;
    FUZZ_CHECK(
        splice(reinterpret_cast<const uint8_t *>(whole.data()), whole.size(), 0, &again, &we) == 0,
        "output does not splice: %s", we.message);
    FUZZ_CHECK(again == whole, "compact output is not a fixed point");
    return 0;
}

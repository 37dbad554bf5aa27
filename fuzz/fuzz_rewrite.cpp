// Rewrites. Input: a plan of reader piece sizes (fuzz::take_plan), then the text. Invariants:
// a keep-all value rewrite read in those pieces succeeds exactly when the text is one valid
// JSON value, and then equals its compact transcoding; a keep-all array rewrite of the root
// array gives the same bytes (for a root that is not an array, the same bytes and "selected
// array was not found"), and one that drops every item leaves `[]`.
#include "fuzz_support.hpp"

namespace {

tamsel_runtime *runtime() {
    static tamsel_runtime *rt = [] {
        tamsel_config c = tamsel_default_config();
        c.max_depth = 32;
        c.value_max_depth = 32;
        c.max_string_bytes = 0;
        c.reject_duplicates = 0; // the transcoder keeps duplicates as they stand
        tamsel_error e;
        tamsel_runtime *made = tamsel_new(&c, &e);
        FUZZ_CHECK(made != nullptr, "tamsel_new failed: %s", e.message);
        return made;
    }();
    return rt;
}

tamsel_status drop_all(void *, const tamsel_array_rewrite_context *, const void *,
                       tamsel_array_rewrite_action *a, tamsel_error *) {
    a->action = TAMSEL_REWRITE_DROP;
    return TAMSEL_STATUS_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const uint8_t *text = in.rest();
    const size_t len = in.rest_size();

    // The oracle: the writer's compact transcoding of the whole text.
    std::string want;
    tamsel_writer w;
    tamsel_error we;
    FUZZ_CHECK(tamsel_writer_init_sink(runtime(), &w, fuzz::append_sink, &want, &we) == 0,
               "init: %s", we.message);
    const tamsel_status valid = tamsel_writer_json_value_buffer(&w, text, len, &we);
    tamsel_writer_cleanup(&w);

    fuzz::piece_reader reader(text, len);
    reader.plan = plan;
    tamsel_value_rewrite_options vo{};
    std::string got;
    tamsel_error ve;
    const tamsel_status st = tamsel_value_rewrite_reader(
        runtime(), fuzz::piece_reader::read, &reader, fuzz::append_sink, &got, &vo, &ve);
    FUZZ_CHECK((st == TAMSEL_STATUS_OK) == (valid == TAMSEL_STATUS_OK),
               "transcoder %s, value rewrite %s", fuzz::describe(valid, we).c_str(),
               fuzz::describe(st, ve).c_str());
    if (valid != TAMSEL_STATUS_OK) return 0;
    FUZZ_CHECK(got == want, "keep-all value rewrite differs from the compact text");

    tamsel_array_rewrite_options ao{};
    ao.array_end_callback = [](void *, const tamsel_array_rewrite_context *,
                               tamsel_array_rewrite_emit, void *,
                               tamsel_error *) { return TAMSEL_STATUS_OK; };
    fuzz::piece_reader again(text, len);
    again.plan = plan;
    std::string kept;
    tamsel_error ae;
    tamsel_status as = tamsel_array_rewrite_reader(runtime(), "", fuzz::piece_reader::read, &again,
                                                   fuzz::append_sink, &kept, &ao, &ae);
    const bool root_array = !want.empty() && want[0] == '[';
    if (root_array)
        FUZZ_CHECK(as == TAMSEL_STATUS_OK, "array rewrite: %s", fuzz::describe(as, ae).c_str());
    else
        FUZZ_CHECK(as == TAMSEL_STATUS_TYPE_MISMATCH, "array rewrite of a non-array: %s",
                   fuzz::describe(as, ae).c_str());
    FUZZ_CHECK(kept == want, "keep-all array rewrite differs from the compact text");
    if (!root_array) return 0;

    tamsel_json_value item;
    tamsel_json_value_init(runtime(), &item);
    ao.item_value = &item;
    ao.item_callback = drop_all;
    std::string dropped;
    tamsel_buffer_reader br;
    tamsel_buffer_reader_init(&br, text, len);
    as = tamsel_array_rewrite_reader(runtime(), "", tamsel_buffer_reader_read, &br,
                                     fuzz::append_sink, &dropped, &ao, &ae);
    tamsel_json_value_cleanup(&item);
    FUZZ_CHECK(as == TAMSEL_STATUS_OK, "drop-all array rewrite: %s",
               fuzz::describe(as, ae).c_str());
    FUZZ_CHECK(dropped == "[]", "drop-all array rewrite left %s", dropped.c_str());
    return 0;
}

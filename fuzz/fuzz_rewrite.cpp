// Rewrites. Input: a plan of reader piece sizes (fuzz::take_plan), then the text. Invariants:
// a keep-all value rewrite read in those pieces succeeds exactly when the text is one valid
// JSON value, and then equals its compact transcoding; a keep-all array rewrite of the root
// array gives the same bytes (for a root that is not an array, the same bytes and "selected
// array was not found"), and one that drops every item leaves `[]`.
// With bit 4 of the plan's count byte, a selector follows the plan (a length byte and its
// bytes) and the text is also rewritten with `null` set at it: a success validates under the
// runtime's depth limit (created levels stay within it), a target not found or not creatable
// leaves a prefix of the compact text (nothing of a refused creation is written), and a path
// deeper than the limit is refused before any output.
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

void check_set(const uint8_t *text, size_t len, const std::string &selector,
               const std::string &want) {
    tamsel_value_rewrite_selector_options o{};
    o.selector = selector.c_str();
    o.action = TAMSEL_VALUE_REWRITE_REPLACE;
    o.replacement.write = [](tamsel_writer *w, void *, tamsel_error *e) {
        return tamsel_writer_null(w, e);
    };
    std::string got;
    tamsel_error e;
    const tamsel_status st =
        tamsel_value_rewrite_selector_buffer(runtime(), text, len, fuzz::append_sink, &got, &o, &e);
    const std::string what = fuzz::describe(st, e);
    if (st == TAMSEL_STATUS_OK) {
        const tamsel_value_visitor none = tamsel_default_value_visitor();
        tamsel_error ve;
        const tamsel_status vs =
            tamsel_visit_value_buffer(runtime(), got.data(), got.size(), &none, nullptr, &ve);
        FUZZ_CHECK(vs == TAMSEL_STATUS_OK, "set output does not read back: %s",
                   fuzz::describe(vs, ve).c_str());
    } else if (st == TAMSEL_STATUS_TYPE_MISMATCH) {
        FUZZ_CHECK(want.compare(0, got.size(), got) == 0 && got.size() <= want.size(),
                   "%s left more than a prefix of the document", what.c_str());
    } else {
        FUZZ_CHECK(st == TAMSEL_STATUS_OVERFLOW || st == TAMSEL_STATUS_INVALID_ARGUMENT, "set: %s",
                   what.c_str());
        FUZZ_CHECK(got.empty(), "%s after output", what.c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const bool set = size > 0 && (data[0] & 0x10);
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    std::string selector;
    if (set)
        for (size_t n = in.take(); n > 0; --n)
            selector += static_cast<char>(in.take());
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
    if (set) check_set(text, len, selector, want);

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

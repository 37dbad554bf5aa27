// Serialization of whatever the mapped parser accepted. Input: four limit bytes as in
// fuzz_parse, one option byte (bit 0: pretty output; the rest chooses the generator's read
// sizes), then the JSON text. When the text parses into the record (status 0 or 7), the record
// serializes without failure; the pull generator, read in small varying pieces, hands out
// exactly the serializer's bytes, and measure gives their length; the validator accepts them
// (the workspace-free one where a key or number outgrows the push parser's workspace, which a
// captured JSON value does not bound);
// they parse back (no limits) with status 0 into a record with the same dump (doubles compared
// through "%.17g", which tells every double apart); and the record read back serializes to the
// same bytes (a JSON value holding nothing reads back as the text null). The map is the fuzz record
// without its stream fields, which cannot be written.
#include "fuzz_record.hpp"

namespace {

// A JSON value field that holds nothing (the record's own, an item's) is written as null, and
// null is captured as the text null: the two are the same value.
std::string settled_dump(const fuzz::destination &d) {
    std::string out = fuzz::dump(d);
    const std::string none = "raw=0:";
    for (size_t at = 0; (at = out.find(none, at)) != std::string::npos;) {
        out.replace(at, none.size(), "raw=1:null");
        at += none.size();
    }
    return out;
}

// The validator reads keys and numbers into the push parser's workspace, about 4 KiB less the
// open frames; a JSON value holder passes longer ones on.
bool outgrew_workspace(tamsel_status st, const tamsel_error &e) {
    return (st == TAMSEL_STATUS_ALLOCATION_FAILED &&
            std::strncmp(e.message, "failed to append", 16) == 0) ||
           (st == TAMSEL_STATUS_OVERFLOW &&
            std::strncmp(e.message, "parser workspace exhausted", 26) == 0);
}

// The text through the validator that keeps nothing whole, with limits no fuzz input reaches.
tamsel_status validate_unbounded(const std::string &text, const tamsel_allocator *alloc,
                                 tamsel_error *e) {
    tamsel_config c = tamsel_default_config();
    c.allocator = alloc;
    c.value_max_depth = 1u << 20;
    c.value_max_string_bytes = c.value_max_key_bytes = c.value_max_number_bytes = 1u << 20;
    tamsel_runtime *rt = tamsel_new(&c, e);
    FUZZ_CHECK(rt != nullptr, "tamsel_new failed: %s", e->message);
    const tamsel_status st = tamsel_validate_value_buffer(rt, text.data(), text.size(), e);
    tamsel_free(rt);
    return st;
}

std::string serialize(tamsel_runtime *rt, const fuzz::record &rec) {
    std::string out;
    tamsel_error e;
    const tamsel_status st =
        tamsel_serialize_sink(rt, fuzz::serializable_map(), &rec, fuzz::append_sink, &out, &e);
    FUZZ_CHECK(st == 0, "a parsed record does not serialize: %s", fuzz::describe(st, e).c_str());
    return out;
}

// The document through the pull generator, read in pieces of 0 to 16 and 4096 bytes and of
// exactly what is still owed of the serializer's `expected` bytes: an empty read places
// nothing, and a read of exactly the rest hands it all out and reports the end.
std::string generate(tamsel_runtime *rt, const fuzz::record &rec, uint8_t seed, size_t expected) {
    tamsel_generator g;
    tamsel_status st = tamsel_generator_init(rt, &g, fuzz::serializable_map(), &rec);
    FUZZ_CHECK(st == 0, "generator init failed: %s", g.error.message);
    std::string out;
    char buf[4096];
    int done = 0;
    for (unsigned step = 0; !done; ++step) {
        const size_t pick = (seed + step * 7u) % 19u;
        const size_t owed = expected > out.size() ? expected - out.size() : 0;
        const bool rest = pick == 18 && owed <= sizeof buf;
        const size_t want = rest ? owed : pick <= 16 ? pick : sizeof buf;
        size_t n = 0;
        st = tamsel_generator_read(&g, buf, want, &n, &done);
        FUZZ_CHECK(st == 0, "generator read failed: %s", g.error.message);
        FUZZ_CHECK(n <= want, "generator placed %zu bytes in %zu", n, want);
        FUZZ_CHECK(n > 0 || done || want == 0, "generator made no progress");
        if (rest)
            FUZZ_CHECK(n == want && done, "a read of the %zu bytes owed gave %zu, done %d", want, n,
                       done);
        out.append(buf, n);
    }
    tamsel_generator_cleanup(&g);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const fuzz::parse_limits limits = fuzz::take_limits(in);
    const uint8_t options = in.take();
    const bool pretty = options & 1;
    const uint8_t *json = in.rest();
    const size_t len = in.rest_size();
    fuzz::counting_allocator alloc;
    tamsel_runtime *rt = fuzz::new_runtime(limits, alloc.get(), pretty);
    tamsel_runtime *plain = fuzz::new_runtime(fuzz::parse_limits{}, alloc.get(), pretty);

    fuzz::destination first;
    first.init(rt, fuzz::serializable_map());
    tamsel_error e;
    const tamsel_status st =
        tamsel_parse_buffer(rt, fuzz::serializable_map(), &first.rec, json, len, &e);
    fuzz::check_error_record(st, e, len);
    if (st == 0 || st == TAMSEL_STATUS_TRUNCATED) {
        const std::string text = serialize(rt, first.rec);
        const std::string pulled =
            generate(rt, first.rec, static_cast<uint8_t>(options >> 1), text.size());
        FUZZ_CHECK(pulled == text, "the generator differs from the serializer:\n%s\n--- vs ---\n%s",
                   pulled.c_str(), text.c_str());
        size_t measured = 0;
        FUZZ_CHECK(tamsel_generator_measure(rt, fuzz::serializable_map(), &first.rec, &measured,
                                            &e) == 0 &&
                       measured == text.size(),
                   "measure gave %zu for %zu bytes (%s)", measured, text.size(), e.message);
        tamsel_status vst = tamsel_validate_buffer(plain, text.data(), text.size(), &e);
        if (outgrew_workspace(vst, e)) vst = validate_unbounded(text, alloc.get(), &e);
        FUZZ_CHECK(vst == 0, "the output is not valid JSON: %s\n%s", fuzz::describe(vst, e).c_str(),
                   text.c_str());

        fuzz::destination back;
        back.init(plain, fuzz::serializable_map());
        const tamsel_status bst = tamsel_parse_buffer(plain, fuzz::serializable_map(), &back.rec,
                                                      text.data(), text.size(), &e);
        FUZZ_CHECK(bst == 0, "the output does not parse back: %s\n%s",
                   fuzz::describe(bst, e).c_str(), text.c_str());
        const std::string want = settled_dump(first), got = settled_dump(back);
        FUZZ_CHECK(got == want,
                   "read back differs:\n%s\n--- parsed first ---\n%s\n--- text ---\n%s",
                   got.c_str(), want.c_str(), text.c_str());
        const std::string again = serialize(plain, back.rec);
        FUZZ_CHECK(again == text, "serializing the read-back record differs:\n%s\n--- vs ---\n%s",
                   again.c_str(), text.c_str());
        back.cleanup();
    }
    first.cleanup();
    FUZZ_CHECK(fuzz::files_in(fuzz::spool_dir()) == 0, "a spool file outlived cleanup");
    tamsel_free(rt);
    tamsel_free(plain);
    FUZZ_CHECK(alloc.live_blocks() == 0, "%zu blocks outlived the runtimes", alloc.live_blocks());
    return 0;
}

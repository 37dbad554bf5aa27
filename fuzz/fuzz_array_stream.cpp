// Array streams. Input: one flag byte (bit 0: the array is under the root member "p"; bit 1:
// items into records, else JSON values; bit 2: duplicate keys rejected; bit 3: a zero piece
// size is a would-block result rather than an empty one; bit 4: the path is a selector, "p.1"
// with bit 0, else "1": element or member 1 of what comes before; bit 5: a value item's text is
// limited to 24 bytes, which the raw mode does not hold and so is not compared), one byte giving up
// to 15 piece sizes, the sizes, then the text. Items nest up to 100 levels, past the parser's fixed
// workspace. Invariants: pulling through a reader in those pieces gives the same items, end or
// error (status, message, position) as reading the text in place; pushing the text in those
// pieces gives the same as pulling (records); every value item validates, and equals its raw
// bytes stored as a holder would; the raw mode's pieces are the input's own bytes; closing
// leaves nothing allocated.
#include "fuzz_support.hpp"
#include "stream/internal.hpp"

namespace {

struct rec {
    int64_t id;
    char *name;
    double x;
};

const tamsel_map *rec_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("id"), offsetof(rec, id), TAMSEL_FIELD_I64, 0, 0,
                                      0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("name"), offsetof(rec, name), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("x"), offsetof(rec, x), TAMSEL_FIELD_F64, 0, 0, 0,
                                      0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"rec", sizeof(rec), f, 3, &m, nullptr};
    return &m;
}

std::string describe_rec(const rec &r) {
    char x[64];
    std::snprintf(x, sizeof x, "%a", r.x);
    return std::to_string(r.id) + "|" + (r.name ? r.name : "-") + "|" + x + "\n";
}

std::string ending(tamsel_stream_result r, const tamsel_error &e) {
    if (r == TAMSEL_STREAM_END) return "end\n";
    return fuzz::describe(e.code, e) + "\n";
}

struct options {
    const char *path;
    bool selector; // `path` is a selector
    bool records;
};

// Pulls every item; `raw` also checks each value item against its raw bytes.
std::string pull(tamsel_array_stream *s, const options &o, size_t input_size, tamsel_runtime *rt) {
    std::string out;
    rec r{};
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    tamsel_error e;
    tamsel_stream_result res;
    for (size_t calls = 0;; ++calls) {
        FUZZ_CHECK(calls < 64 * (input_size + 4), "no progress after %zu calls", calls);
        res = o.records ? tamsel_array_stream_next(s, rec_map(), &r, &e)
                        : tamsel_array_stream_next_value(s, &v, &e);
        FUZZ_CHECK(std::memcmp(tamsel_array_stream_error(s), &e, sizeof e) == 0,
                   "the stream's record differs from the caller's");
        if (res == TAMSEL_STREAM_WOULD_BLOCK) continue;
        if (res != TAMSEL_STREAM_ITEM) break;
        if (o.records) {
            out += describe_rec(r);
            continue;
        }
        tamsel_error ve;
        const tamsel_status vst = tamsel_validate_buffer(rt, v.data, v.len, &ve);
        FUZZ_CHECK(vst == TAMSEL_STATUS_OK || fuzz::validator_limit(vst, ve),
                   "a value item does not validate: %s", ve.message);
        out += std::string(v.data, v.len) + "\n";
    }
    tamsel_cleanup(rec_map(), &r);
    tamsel_json_value_cleanup(&v);
    return out + ending(res, e);
}

tamsel_status log_rec(void *user, void *dst) {
    *static_cast<std::string *>(user) += describe_rec(*static_cast<rec *>(dst));
    return TAMSEL_STATUS_OK;
}

std::string push(tamsel_runtime *rt, const options &o, const uint8_t *text, size_t size,
                 const std::vector<uint8_t> &plan) {
    tamsel_error e;
    tamsel_array_stream *s = o.selector ? tamsel_array_stream_open_selector_push(rt, o.path, &e)
                                        : tamsel_array_stream_open_push(rt, o.path, &e);
    FUZZ_CHECK(s != nullptr, "open_push failed: %s", e.message);
    std::string out;
    rec r{};
    tamsel_status st = TAMSEL_STATUS_OK;
    size_t at = 0;
    for (size_t i = 0; at < size; ++i) {
        size_t n = plan.empty() ? size : plan[i % plan.size()];
        if (n == 0) n = 1; // a zero piece of the reader's plan is one byte here
        if (n > size - at) n = size - at;
        st = tamsel_array_stream_push(s, rec_map(), &r, text + at, n, log_rec, &out, &e);
        at += n;
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) break;
    }
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED)
        st = tamsel_array_stream_finish(s, rec_map(), &r, log_rec, &out, &e);
    tamsel_cleanup(rec_map(), &r);
    tamsel_array_stream_close(s);
    return out + (st == TAMSEL_STATUS_OK ? "end\n" : fuzz::describe(st, e) + "\n");
}

struct raw_check {
    const uint8_t *input = nullptr;
    size_t size = 0;
    std::string item;
};

tamsel_status raw_piece(void *user, const void *bytes, size_t length, tamsel_error *) {
    auto *c = static_cast<raw_check *>(user);
    const auto *p = static_cast<const uint8_t *>(bytes);
    FUZZ_CHECK(p >= c->input && p + length <= c->input + c->size,
               "a raw piece lies outside the input");
    c->item.append(reinterpret_cast<const char *>(p), length);
    return TAMSEL_STATUS_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint8_t flags = in.take();
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const bool selector = (flags & 16) != 0;
    const options o{flags & 1 ? (selector ? "p.1" : "p") : (selector ? "1" : nullptr), selector,
                    (flags & 2) != 0};
    const uint8_t *text = in.rest();
    const size_t text_size = in.rest_size();

    fuzz::counting_allocator alloc;
    tamsel_config c = tamsel_default_config();
    c.allocator = alloc.get();
    c.reject_duplicates = (flags & 4) ? 1 : 0;
    c.max_depth = 100;
    const bool text_limit = (flags & 32) != 0;
    if (text_limit) c.value_max_total_bytes = 24;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    FUZZ_CHECK(rt != nullptr, "tamsel_new failed");
    const size_t runtime_blocks = alloc.live_blocks();

    tamsel::stream::open_args args;
    tamsel_borrow_token token;
    args.settings = tamsel__runtime_borrow_const(rt, &token);
    (o.selector ? args.selector : args.path) = o.path;
    args.input.kind = tamsel::stream::input_kind::memory;
    args.input.bytes = text;
    args.input.length = text_size;
    tamsel_error e;
    tamsel_array_stream *whole = tamsel::stream::open(args, &e);
    FUZZ_CHECK(whole != nullptr, "memory open failed: %s", e.message);
    const std::string reference = pull(whole, o, text_size, rt);
    tamsel_array_stream_close(whole);

    fuzz::piece_reader reader{text, text_size};
    reader.plan = plan;
    reader.would_block_on_zero = (flags & 8) != 0;
    tamsel_array_stream *pieces =
        o.selector
            ? tamsel_array_stream_open_selector_reader(rt, o.path, fuzz::piece_reader::read,
                                                       &reader, &e)
            : tamsel_array_stream_open_reader(rt, o.path, fuzz::piece_reader::read, &reader, &e);
    FUZZ_CHECK(pieces != nullptr, "open_reader failed: %s", e.message);
    const std::string pulled = pull(pieces, o, text_size, rt);
    tamsel_array_stream_close(pieces);
    FUZZ_CHECK(pulled == reference, "reader pieces differ:\n%s\nwhole:\n%s", pulled.c_str(),
               reference.c_str());

    if (o.records) {
        const std::string pushed = push(rt, o, text, text_size, plan);
        FUZZ_CHECK(pushed == reference, "push differs:\n%s\npull:\n%s", pushed.c_str(),
                   reference.c_str());
    } else if (!text_limit) {
        // Raw items: the input's own bytes, which a holder stores as the value item.
        tamsel_array_stream *raw = tamsel::stream::open(args, &e);
        std::string rebuilt;
        tamsel_stream_result r;
        raw_check check;
        check.input = text;
        check.size = text_size;
        tamsel_json_value v;
        tamsel_json_value_init(rt, &v);
        while ((r = tamsel::stream::next_raw(raw, raw_piece, &check, &e)) == TAMSEL_STREAM_ITEM) {
            tamsel_error ve;
            FUZZ_CHECK(tamsel_json_value_set_buffer(&v, check.item.data(), check.item.size(),
                                                    &ve) == TAMSEL_STATUS_OK,
                       "a raw item is not one value: %s", ve.message);
            rebuilt += std::string(v.data, v.len) + "\n";
            check.item.clear();
        }
        rebuilt += ending(r, e);
        tamsel_json_value_cleanup(&v);
        tamsel_array_stream_close(raw);
        FUZZ_CHECK(rebuilt == reference, "raw items differ:\n%s\nvalues:\n%s", rebuilt.c_str(),
                   reference.c_str());
    }
    tamsel__runtime_release(&token);
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "%zu blocks outlived the streams",
               alloc.live_blocks() - runtime_blocks);
    tamsel_free(rt);
    FUZZ_CHECK(alloc.live_blocks() == 0, "blocks outlived the runtime");
    return 0;
}

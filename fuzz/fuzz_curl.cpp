// The libcurl adapters, driven as libcurl drives them. Input: a flag byte (bits 0-1: the
// adapter: a body into the fuzz record, object items into the item record, string items as
// chunks, string items whole; bit 2: duplicate keys rejected; bit 3: small limits (depth 6,
// strings of 16 bytes, a parse budget of 2 KiB) and the UTF-8 check; bit 4: the array under the
// root member "p", or for the one-record adapter the parsed record uploaded again; bits 5-6: how a
// piece of n bytes is spelled as size * nmemb: n * 1, 1 * n, a divisor of n times the rest, or the
// three in turn; bit 7: through the record's method members rather than the exported callbacks), a
// count byte (low 4 bits) and that many piece sizes (0: an empty write), then the body.
// Invariants: the body written in those pieces ends exactly as the road underneath fed whole
// (tamsel_parse_buffer for the one-record adapter, a push-fed array stream for the others):
// the same record contents or items, status, message and position; every write returns its
// size * nmemb or 0, and only 0 with a failure in the record's error; a write after a failure
// fails again and finish reports the same failure; with bit 7 the record is initialised twice
// (the second init releases what the first made); the adapter's runtime may be freed right
// after init; after cleanup (done twice) nothing it allocated is held. Uploads: the record the
// body parsed into, read through tamsel_curl_read_callback in fuzzer-chosen sizes, gives
// exactly the serializer's bytes and then 0; a request of 0 bytes gives 0; the upload's size is
// always the unknown size. Budget failures are compared without their position (see README).
#include "fuzz_record.hpp"

namespace {

enum adapter { one_record = 0, object_items = 1, string_chunks = 2, string_items = 3 };

struct options {
    adapter kind;
    bool reject_duplicates;
    bool small_limits;
    bool under_member; // the array under "p"; for one_record: upload the record
    unsigned spelling; // how size * nmemb spells a piece
    bool methods;
    const char *path() const { return under_member ? "p" : nullptr; }
};

tamsel_runtime *new_runtime(const options &o, const tamsel_allocator *alloc) {
    fuzz::parse_limits l{};
    if (o.small_limits) {
        l.max_depth = 6;
        l.max_string_bytes = 16;
        l.max_parse_bytes = 2048;
    }
    l.reject_duplicates = o.reject_duplicates;
    tamsel_runtime *rt = fuzz::new_runtime(l, alloc);
    if (o.small_limits) FUZZ_CHECK(tamsel_set_utf8_check(rt, 1, nullptr) == 0, "UTF-8 check");
    return rt;
}

// A piece of n bytes as libcurl might pass it.
void spell(size_t n, unsigned spelling, size_t step, size_t *size, size_t *nmemb) {
    if (spelling == 3) spelling = step % 3;
    *size = n;
    *nmemb = 1;
    if (spelling == 1) {
        *size = 1;
        *nmemb = n;
    } else if (spelling == 2 && n != 0) {
        for (size_t d : {7, 4, 3, 2})
            if (n % d == 0) {
                *size = d;
                *nmemb = n / d;
                break;
            }
    }
}

// What the split road saw, beside the adapter's own error record.
struct writes {
    bool failed = false;
    tamsel_error failure{};
};

// Writes the body through `write` in the planned pieces, each from a private copy so that a
// read past it is caught, and checks libcurl's contract on every return. After the first
// refusal one more write must be refused with the error record unchanged.
template <class Write>
writes write_body(const uint8_t *body, size_t len, const std::vector<uint8_t> &plan,
                  unsigned spelling, const tamsel_error &error, Write write) {
    writes out;
    size_t at = 0;
    bool was_empty = false;
    for (size_t step = 0; at < len || (step < plan.size() && plan[step] == 0); ++step) {
        size_t n = plan.empty() ? len - at : plan[step % plan.size()];
        if (n == 0 && was_empty) n = 1; // never two empty writes in a row
        if (n > len - at) n = len - at;
        was_empty = n == 0;
        size_t size, nmemb;
        spell(n, spelling, step, &size, &nmemb);
        if (n == 0) { // an empty write as 0 * 5 or 1 * 0
            size = step % 2;
            nmemb = step % 2 ? 0 : 5;
        }
        std::vector<char> piece(body + at, body + at + n);
        const size_t got = write(piece.data(), size, nmemb);
        FUZZ_CHECK(got == n || got == 0, "a write of %zu * %zu returned %zu", size, nmemb, got);
        if (got == 0 && n != 0) {
            FUZZ_CHECK(error.code != TAMSEL_STATUS_OK && error.message[0] != '\0',
                       "a refused write left no failure: %s", fuzz::describe(0, error).c_str());
            out.failed = true;
            out.failure = error;
            char one = '1';
            FUZZ_CHECK(write(&one, 1, 1) == 0, "a write after a failure was accepted");
            FUZZ_CHECK(std::memcmp(&error, &out.failure, sizeof error) == 0,
                       "a write after a failure changed the error: %s",
                       fuzz::describe(error.code, error).c_str());
            return out;
        }
        at += n;
    }
    return out;
}

// Finish after the writes: a failed body fails again with the same record.
tamsel_status finish_checked(const writes &w, const tamsel_error &error, tamsel_status st) {
    if (w.failed) {
        FUZZ_CHECK(st == w.failure.code && std::memcmp(&error, &w.failure, sizeof error) == 0,
                   "finish after a failure: %s, the write failed with %s",
                   fuzz::describe(st, error).c_str(),
                   fuzz::describe(w.failure.code, w.failure).c_str());
    }
    return st;
}

// ---- uploads ---------------------------------------------------------------------------------

void check_upload(tamsel_runtime *rt, const fuzz::record &rec, const std::vector<uint8_t> &plan,
                  unsigned spelling, bool methods) {
    std::string expected;
    tamsel_error se;
    const tamsel_status sst = tamsel_serialize_sink(rt, fuzz::serializable_map(), &rec,
                                                    fuzz::append_sink, &expected, &se);
    tamsel_curl_upload u;
    FUZZ_CHECK(tamsel_curl_upload_init(&u, rt, fuzz::serializable_map(), &rec) == 0,
               "upload init failed: %s", u.generator.error.message);
    FUZZ_CHECK(tamsel_curl_upload_size(&u) == TAMSEL_CURL_UNKNOWN_SIZE &&
                   u.size(&u) == TAMSEL_CURL_UNKNOWN_SIZE,
               "the upload's size is not the unknown size");
    char none = 0;
    FUZZ_CHECK(tamsel_curl_read_callback(&none, 0, 9, &u) == 0, "a read of 0 bytes gave bytes");
    std::string got;
    bool aborted = false;
    for (size_t step = 0;; ++step) {
        const size_t n = plan.empty() ? 4096 : 1 + plan[step % plan.size()];
        size_t size, nitems;
        spell(n, spelling, step, &size, &nitems);
        std::vector<char> buf(n); // exactly the room asked for, so a write past it is caught
        const size_t r = methods ? u.read(&u, buf.data(), size, nitems)
                                 : tamsel_curl_read_callback(buf.data(), size, nitems, &u);
        if (r == TAMSEL_CURL_READFUNC_ABORT) {
            aborted = true;
            break;
        }
        FUZZ_CHECK(r <= n, "a read of %zu bytes gave %zu", n, r);
        if (r == 0) break;
        got.append(buf.data(), r);
        FUZZ_CHECK(got.size() <= expected.size() || sst != 0, "the upload outgrows the text");
    }
    if (sst == TAMSEL_STATUS_OK) {
        FUZZ_CHECK(!aborted, "the upload aborted: %s",
                   fuzz::describe(u.generator.error.code, u.generator.error).c_str());
        FUZZ_CHECK(got == expected, "upload:\n%s\nserializer:\n%s", got.c_str(), expected.c_str());
        char after[16];
        FUZZ_CHECK(tamsel_curl_read_callback(after, 1, sizeof after, &u) == 0,
                   "a read after the end gave bytes");
    } else {
        FUZZ_CHECK(aborted && u.generator.error.code == sst,
                   "the serializer failed (%s) but the upload gave %s",
                   fuzz::describe(sst, se).c_str(),
                   fuzz::describe(u.generator.error.code, u.generator.error).c_str());
    }
    tamsel_curl_upload_cleanup(&u);
    tamsel_curl_upload_cleanup(&u);
}

// ---- one record -----------------------------------------------------------------------------

fuzz::parse_outcome adapter_parse(tamsel_runtime *rt, const options &o, const uint8_t *body,
                                  size_t len, const std::vector<uint8_t> &plan,
                                  const tamsel_allocator *alloc) {
    return fuzz::parse_into_fresh(rt, len, [&](fuzz::record *rec, tamsel_error *e) {
        tamsel_runtime *own = new_runtime(o, alloc);
        tamsel_curl_parse a;
        std::memset(&a, 0x5A, sizeof a);
        tamsel_status st = 0;
        for (int k = 0; k <= o.methods; ++k) // a second init releases what the first made
            st = tamsel_curl_parse_init(&a, own, fuzz::record_map(), rec);
        FUZZ_CHECK(st == 0, "curl parse init failed: %s", a.error.message);
        tamsel_free(own); // the adapter keeps its own settings
        const writes w =
            write_body(body, len, plan, o.spelling, a.error, [&](char *d, size_t s, size_t n) {
                return o.methods ? a.write(&a, d, s, n) : tamsel_curl_write_callback(d, s, n, &a);
            });
        st = finish_checked(w, a.error, o.methods ? a.finish(&a) : tamsel_curl_parse_finish(&a));
        *e = a.error;
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) {
            FUZZ_CHECK(e->code == 0, "success with code %u", e->code);
            if (o.under_member) check_upload(rt, *rec, plan, o.spelling, o.methods);
        }
        if (o.methods)
            a.cleanup(&a);
        else
            tamsel_curl_parse_cleanup(&a);
        tamsel_curl_parse_cleanup(&a);
        FUZZ_CHECK(a.parser == nullptr && a.snapshot == nullptr, "cleanup left the parser");
        return st;
    });
}

// ---- array items ----------------------------------------------------------------------------

struct item_log {
    std::string text;
    std::string current;
    bool in_string = false;
};

tamsel_status log_item(void *user, void *dst) {
    static_cast<item_log *>(user)->text +=
        "{" + fuzz::dump_item(*static_cast<fuzz::item_record *>(dst)) + "}\n";
    return TAMSEL_STATUS_OK;
}

tamsel_status log_string(void *user, const char *text, size_t length, tamsel_error *) {
    FUZZ_CHECK(text[length] == '\0', "a string item without its NUL");
    static_cast<item_log *>(user)->text += "s[" + std::string(text, length) + "]\n";
    return TAMSEL_STATUS_OK;
}

tamsel_string_chunk_handler chunk_handler() {
    tamsel_string_chunk_handler h{};
    h.begin = [](void *u, tamsel_error *) {
        auto *l = static_cast<item_log *>(u);
        FUZZ_CHECK(!l->in_string, "begin inside a string");
        l->in_string = true;
        l->current.clear();
        return TAMSEL_STATUS_OK;
    };
    h.chunk = [](void *u, const char *bytes, size_t n, tamsel_error *) {
        auto *l = static_cast<item_log *>(u);
        FUZZ_CHECK(l->in_string, "a chunk outside a string");
        l->current.append(bytes, n);
        return TAMSEL_STATUS_OK;
    };
    h.end = [](void *u, tamsel_error *) {
        auto *l = static_cast<item_log *>(u);
        FUZZ_CHECK(l->in_string, "end outside a string");
        l->in_string = false;
        l->text += "s[" + l->current + "]\n";
        return TAMSEL_STATUS_OK;
    };
    return h;
}

std::string ending(tamsel_status st, const tamsel_error &e) {
    tamsel_error shown = e;
    if (st == TAMSEL_STATUS_OVERFLOW &&
        std::strcmp(e.message, "parse allocations exceed configured max bytes") == 0)
        shown.line = shown.column = shown.offset = 0;
    return fuzz::describe(st, shown);
}

// The reference: a push-fed array stream fed the body whole.
std::string stream_whole(tamsel_runtime *rt, const options &o, const uint8_t *body, size_t len,
                         fuzz::item_record *item) {
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, o.path(), &e);
    FUZZ_CHECK(s != nullptr, "open_push failed: %s", e.message);
    item_log log;
    const tamsel_string_chunk_handler h = chunk_handler();
    tamsel_status st = TAMSEL_STATUS_OK;
    switch (o.kind) {
    case object_items:
        st = tamsel_array_stream_push(s, fuzz::item_map(), item, body, len, log_item, &log, &e);
        if (st == 0 || st == TAMSEL_STATUS_TRUNCATED)
            st = tamsel_array_stream_finish(s, fuzz::item_map(), item, log_item, &log, &e);
        break;
    case string_chunks:
        st = tamsel_array_stream_push_string(s, body, len, &h, &log, &e);
        if (st == 0) st = tamsel_array_stream_finish_string(s, &h, &log, &e);
        break;
    default:
        st = tamsel_array_stream_push_string_items(s, body, len, log_string, &log, &e);
        if (st == 0) st = tamsel_array_stream_finish_string_items(s, log_string, &log, &e);
        break;
    }
    tamsel_array_stream_close(s);
    return log.text + ending(st, e);
}

// The same body through the adapter in pieces.
template <class R, class Write, class Finish, class Cleanup>
std::string adapter_items(R &a, tamsel_status init_status, item_log &log, const options &o,
                          const uint8_t *body, size_t len, const std::vector<uint8_t> &plan,
                          Write write, Finish finish, Cleanup cleanup) {
    FUZZ_CHECK(init_status == 0, "adapter init failed: %s", a.error.message);
    const writes w =
        write_body(body, len, plan, o.spelling, a.error, [&](char *d, size_t s, size_t n) {
            return o.methods ? a.write(&a, d, s, n) : write(d, s, n, &a);
        });
    const tamsel_status st = finish_checked(w, a.error, o.methods ? a.finish(&a) : finish(&a));
    FUZZ_CHECK(a.error.code == st, "finish returned %u, the error record says %u", st,
               a.error.code);
    const std::string out = log.text + ending(st, a.error);
    if (o.methods)
        a.cleanup(&a);
    else
        cleanup(&a);
    cleanup(&a);
    FUZZ_CHECK(a.stream == nullptr, "cleanup left the stream");
    return out;
}

std::string adapter_whole_items(const options &o, const uint8_t *body, size_t len,
                                const std::vector<uint8_t> &plan, const tamsel_allocator *alloc,
                                fuzz::item_record *item) {
    tamsel_runtime *own = new_runtime(o, alloc);
    item_log log;
    std::string out;
    switch (o.kind) {
    case object_items: {
        tamsel_curl_array_parse a;
        std::memset(&a, 0x5A, sizeof a);
        tamsel_status st = 0;
        for (int k = 0; k <= o.methods; ++k)
            st = tamsel_curl_array_parse_init(&a, own, o.path(), fuzz::item_map(), item, log_item,
                                              &log);
        tamsel_free(own);
        out = adapter_items(a, st, log, o, body, len, plan, tamsel_curl_array_write_callback,
                            tamsel_curl_array_parse_finish, tamsel_curl_array_parse_cleanup);
        break;
    }
    case string_chunks: {
        tamsel_curl_string_array_parse a;
        std::memset(&a, 0x5A, sizeof a);
        tamsel_string_chunk_handler h = chunk_handler();
        tamsel_status st = 0;
        for (int k = 0; k <= o.methods; ++k)
            st = tamsel_curl_string_array_parse_init(&a, own, o.path(), &h, &log);
        std::memset(&h, 0, sizeof h); // the adapter keeps its own copy
        tamsel_free(own);
        out = adapter_items(a, st, log, o, body, len, plan, tamsel_curl_string_array_write_callback,
                            tamsel_curl_string_array_parse_finish,
                            tamsel_curl_string_array_parse_cleanup);
        break;
    }
    default: {
        tamsel_curl_string_items_parse a;
        std::memset(&a, 0x5A, sizeof a);
        tamsel_status st = 0;
        for (int k = 0; k <= o.methods; ++k)
            st = tamsel_curl_string_items_parse_init(&a, own, o.path(), log_string, &log);
        tamsel_free(own);
        out = adapter_items(a, st, log, o, body, len, plan, tamsel_curl_string_items_write_callback,
                            tamsel_curl_string_items_parse_finish,
                            tamsel_curl_string_items_parse_cleanup);
        break;
    }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint8_t flags = in.take();
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const options o{static_cast<adapter>(flags & 3),
                    (flags & 4) != 0,
                    (flags & 8) != 0,
                    (flags & 16) != 0,
                    (flags >> 5) & 3u,
                    (flags & 128) != 0};
    const uint8_t *body = in.rest();
    const size_t len = in.rest_size();

    fuzz::counting_allocator alloc;
    tamsel_runtime *rt = new_runtime(o, alloc.get());
    const size_t runtime_blocks = alloc.live_blocks();
    if (o.kind == one_record) {
        const fuzz::parse_outcome whole =
            fuzz::without_budget_position(fuzz::parse_once(rt, body, len, nullptr));
        const fuzz::parse_outcome split =
            fuzz::without_budget_position(adapter_parse(rt, o, body, len, plan, alloc.get()));
        FUZZ_CHECK(split == whole, "adapter differs:\n%s\n%s\n--- parse_buffer ---\n%s\n%s",
                   split.error.c_str(), split.contents.c_str(), whole.error.c_str(),
                   whole.contents.c_str());
    } else {
        fuzz::item_record item;
        tamsel_init(rt, fuzz::item_map(), &item);
        const std::string whole = stream_whole(rt, o, body, len, &item);
        tamsel_cleanup(fuzz::item_map(), &item);
        tamsel_init(rt, fuzz::item_map(), &item);
        const std::string split = adapter_whole_items(o, body, len, plan, alloc.get(), &item);
        tamsel_cleanup(fuzz::item_map(), &item);
        FUZZ_CHECK(split == whole, "adapter differs:\n%s\n--- array stream ---\n%s", split.c_str(),
                   whole.c_str());
    }
    FUZZ_CHECK(alloc.live_blocks() == runtime_blocks, "%zu blocks outlived the adapters",
               alloc.live_blocks() - runtime_blocks);
    tamsel_free(rt);
    FUZZ_CHECK(alloc.live_blocks() == 0, "blocks outlived the runtime");
    return 0;
}

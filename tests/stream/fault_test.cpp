// Array streams under faults: would-block at every byte of a pipe, allocation failure at every
// index, readers that make no progress, failing callbacks and sinks, truncated items, and the
// raw mode's pieces.
#include "stream_support.hpp"
#include "support/counting_allocator.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

using namespace stream_test;
using tamsel_test::counting_allocator;

namespace {

tamsel_runtime *runtime_with(counting_allocator &a, uint64_t max_parse_bytes) {
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = max_parse_bytes;
    return tamsel_test::runtime_with(a, c);
}

// Writes `text` into a non-blocking pipe `piece` bytes at a time, calling next after each
// piece until the stream asks for more; the transcript is as drain's.
std::string through_pipe(const char *path, const std::string &text, kind k, size_t piece = 1) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_fd(rt, path, fds[0], &e);
    tamsel_free(rt); // the stream outlives its runtime
    item it{};
    tamsel_json_value v;
    tamsel_json_value_init(nullptr, &v);
    std::string out;
    tamsel_stream_result r = TAMSEL_STREAM_WOULD_BLOCK;
    for (size_t i = 0; i < text.size() + piece; i += piece) {
        if (i < text.size()) {
            const size_t n = std::min(piece, text.size() - i);
            EXPECT_EQ(write(fds[1], &text[i], n), static_cast<ssize_t>(n));
        } else {
            close(fds[1]);
        }
        for (;;) {
            r = k == kind::records ? tamsel_array_stream_next(s, item_map(), &it, &e)
                                   : tamsel_array_stream_next_value(s, &v, &e);
            if (r != TAMSEL_STREAM_ITEM) break;
            out += (k == kind::records ? describe(it) : std::string(v.data, v.len)) + ",";
        }
        if (r != TAMSEL_STREAM_WOULD_BLOCK) break;
    }
    if (r != TAMSEL_STREAM_END && r != TAMSEL_STREAM_ERROR) close(fds[1]);
    tamsel_cleanup(item_map(), &it);
    tamsel_json_value_cleanup(&v);
    tamsel_array_stream_close(s);
    close(fds[0]);
    return out + "|" + describe_result(r, e);
}

tamsel_status collect_piece(void *user, const void *bytes, size_t length, tamsel_error *) {
    auto *pieces = static_cast<std::vector<std::string> *>(user);
    pieces->emplace_back(static_cast<const char *>(bytes), length);
    return TAMSEL_STATUS_OK;
}

} // namespace

TEST(ArrayStreamFaults, WouldBlockAtEveryByteResumesExactly) {
    const std::string root = "[{\"id\":1,\"name\":\"a\\u00e9b\"}, {\"id\":22} ,{\"id\":3}]\n";
    EXPECT_EQ(through_pipe(nullptr, root, kind::records), "1:a\xc3\xa9"
                                                          "b,22:-,3:-,|END");
    const std::string member = "{\"x\":[1,{}],\"v\":[10,\"s\",[true],{\"k\":null}]}";
    EXPECT_EQ(through_pipe("v", member, kind::values), "10,\"s\",[true],{\"k\":null},|END");
    EXPECT_EQ(through_pipe(nullptr, "[1,\n2 x", kind::values),
              "1,|ERROR status 2 'expected ',' or ']' in selected array' at 2:3/7");
}

TEST(ArrayStreamFaults, DescriptorWindowsAcrossEveryRefill) {
    // Items over 130 KiB, read through a pipe one byte a read and 64 KiB a read (the window's
    // size, at four offsets): items, strings, keys and numbers cut by every kind of refill.
    std::string items = "{\"skip\":[1,{\"a\":\"b\"}],\"v\":[";
    for (int i = 0; items.size() < 130000; ++i) {
        if (i) items += i % 4 ? "," : " ,\n";
        items += i % 3 ? "{\"id\":" + std::to_string(i * 7919) + ",\"name\":\"" +
                             std::string(static_cast<size_t>(i % 700), 'n') + "\\u00e9\"}"
                       : std::to_string(i) + "." + std::to_string(i * 13);
    }
    items += "]}";
    tamsel::stream::open_args a;
    a.path = "v";
    a.input.kind = tamsel::stream::input_kind::memory;
    a.input.bytes = items.data();
    a.input.length = items.size();
    tamsel_error e;
    tamsel_array_stream *s = tamsel::stream::open(a, &e);
    const std::string expect = drain(s, kind::values);
    tamsel_array_stream_close(s);
    ASSERT_EQ(expect.substr(expect.size() - 4), "|END");
    EXPECT_EQ(through_pipe("v", items, kind::values, 1), expect);
    for (size_t lead : {0, 1, 700, 65535}) {
        const std::string text = std::string(lead, ' ') + items;
        EXPECT_EQ(through_pipe("v", text, kind::values, 65536), expect) << lead;
    }
}

TEST(ArrayStreamFaults, AllocationFailureAtEveryIndexLeavesNothingBehind) {
    const std::string text =
        "{\"skip\":{\"a\":[1,2],\"b\":\"x\"},\"items\":[{\"id\":1,\"name\":\"first\"},{\"id\":2,"
        "\"name\":\"second\",\"k1\":1,\"k2\":2,\"k3\":3,\"k4\":4,\"k5\":5,\"k6\":6,\"k7\":7,\"k8\":"
        "8,"
        "\"k9\":9,\"k10\":10}]}";
    for (kind k : {kind::records, kind::values, kind::strings}) {
        size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
            tamsel_runtime *rt = runtime_with(a, 0);
            std::string out =
                k == kind::strings
                    ? push_pieces(rt, "items", "{\"items\":[\"abc\",\"de\"]}", k, every(3, 22))
                    : pull_reader(rt, "items", text, k, 5);
            a.pause();
            tamsel_free(rt);
            if (out.find("|END") != std::string::npos) return TAMSEL_STATUS_OK;
            EXPECT_NE(out.find("status 8"), std::string::npos) << out;
            return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
        });
        EXPECT_GT(runs, 3u) << static_cast<int>(k);
    }
}

TEST(ArrayStreamFaults, ReadersThatMakeNoProgressOrFail) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    auto empty = [](void *, void *, size_t) { return tamsel_default_read_result(); };
    tamsel_array_stream *s = tamsel_array_stream_open_reader(rt, nullptr, empty, nullptr, &e);
    EXPECT_EQ(tamsel_array_stream_next_value(s, nullptr, &e), TAMSEL_STREAM_ERROR);
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    EXPECT_EQ(tamsel_array_stream_next_value(s, &v, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader made no progress");
    tamsel_array_stream_close(s);
    auto broken = [](void *, void *, size_t) {
        tamsel_read_result r = tamsel_default_read_result();
        r.error_code = 104;
        return r;
    };
    s = tamsel_array_stream_open_reader(rt, nullptr, broken, nullptr, &e);
    EXPECT_EQ(tamsel_array_stream_next_value(s, &v, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "array stream read failed");
    EXPECT_EQ(e.system_errno, 104);
    tamsel_array_stream_close(s);
    tamsel_json_value_cleanup(&v);
    tamsel_free(rt);
}

TEST(ArrayStreamFaults, CallbacksThatFailAndTruncatedItems) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    item it{};
    // The item callback's failure fails the stream; later calls repeat it.
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, nullptr, &e);
    auto refuse = [](void *, void *) -> tamsel_status { return 9; };
    EXPECT_EQ(tamsel_array_stream_push(s, item_map(), &it, "[{\"id\":1,\"name\":\"n\"},", 21,
                                       refuse, nullptr, &e),
              9u);
    EXPECT_STREQ(e.message, "array stream item callback failed");
    EXPECT_EQ(e.column, 20u);
    EXPECT_EQ(tamsel_array_stream_finish(s, item_map(), &it, refuse, nullptr, &e), 9u);
    EXPECT_EQ(it.name, nullptr) << "the record was cleaned up after the callback";
    tamsel_array_stream_close(s);

    // A truncated item: 7 from then on, with the record of the last item delivered.
    s = tamsel_array_stream_open_push(rt, nullptr, &e);
    push_log log;
    const char first[] = "[{\"id\":1,\"tag\":\"abcdef\"},";
    EXPECT_EQ(
        tamsel_array_stream_push(s, item_map(), &it, first, sizeof first - 1, log_record, &log, &e),
        TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(e.truncated, 1);
    EXPECT_EQ(tamsel_array_stream_push(s, item_map(), &it, "{\"id\":2}]", 9, log_record, &log, &e),
              TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(tamsel_array_stream_finish(s, item_map(), &it, log_record, &log, &e),
              TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(log.out, "1:-#abc,2:-,");
    tamsel_array_stream_close(s);

    // String handler failures: begin and chunk unchanged, end with its message.
    struct calls {
        std::string seen;
        tamsel_status end_status = 0;
    } c;
    tamsel_string_chunk_handler h{};
    h.begin = [](void *u, tamsel_error *) -> tamsel_status {
        static_cast<calls *>(u)->seen += "<";
        return 0;
    };
    h.chunk = [](void *u, const char *b, size_t n, tamsel_error *) -> tamsel_status {
        static_cast<calls *>(u)->seen += "[" + std::string(b, n) + "]";
        return 0;
    };
    h.end = [](void *u, tamsel_error *) -> tamsel_status {
        static_cast<calls *>(u)->seen += ">";
        return static_cast<calls *>(u)->end_status;
    };
    s = tamsel_array_stream_open_push(rt, nullptr, &e);
    const char strings[] = "[\"plain run\\nmore\",\"x\"";
    EXPECT_EQ(tamsel_array_stream_push_string(s, strings, sizeof strings - 1, &h, &c, &e), 0u);
    EXPECT_EQ(c.seen, "<[plain run][\n][more]><[x]") << "runs arrive as runs";
    c.end_status = 9;
    EXPECT_EQ(tamsel_array_stream_push_string(s, "]", 1, &h, &c, &e), 9u);
    EXPECT_STREQ(e.message, "array stream string callback failed");
    tamsel_array_stream_close(s);
    tamsel_cleanup(item_map(), &it);

    // A string item over the runtime's limit.
    tamsel_config cfg = tamsel_default_config();
    cfg.value_max_string_bytes = 3;
    tamsel_runtime *small = tamsel_new(&cfg, nullptr);
    EXPECT_EQ(push_pieces(small, nullptr, "[\"abc\",\"abcd\"]", kind::strings, {}),
              "abc,|ERROR status 6 'framing buffer limit exceeded' at 1:12/12");
    tamsel_free(small);
    tamsel_free(rt);
}

TEST(ArrayStreamFaults, AnItemThatFailsItsMapFailsTheStream) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string text = "[{\"id\":1,\"name\":\"n\"},{\"id\":\"x\"},{\"id\":3}]";
    tamsel_test::chunked_reader reader{&text};
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_reader(
        rt, nullptr, tamsel_test::chunked_reader::read, &reader, &e);
    item it{};
    ASSERT_EQ(tamsel_array_stream_next(s, item_map(), &it, &e), TAMSEL_STREAM_ITEM);
    EXPECT_EQ(tamsel_array_stream_next(s, item_map(), &it, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e.offset, 30u);
    const std::string first = describe_error(e);
    EXPECT_EQ(tamsel_array_stream_next(s, item_map(), &it, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(describe_error(e), first) << "the failure repeats, nothing more is read";
    EXPECT_EQ(describe_error(*tamsel_array_stream_error(s)), first);
    EXPECT_EQ(it.name, nullptr) << "the failed item's record holds only what it parsed";
    tamsel_cleanup(item_map(), &it);
    tamsel_array_stream_close(s);
    tamsel_free(rt);
}

TEST(ArrayStreamRaw, PiecesAreTheItemBytesInRuns) {
    const std::string text = "{\"items\": [ {\"a\" : \"long string value\\n\", \"b\":[1, 2]} ,"
                             " 123 ,\"s\",\n true ] }";
    tamsel::stream::open_args a;
    a.path = "items";
    a.input.kind = tamsel::stream::input_kind::memory;
    a.input.bytes = text.data();
    a.input.length = text.size();
    tamsel_error e;
    tamsel_array_stream *s = tamsel::stream::open(a, &e);
    std::vector<std::string> items;
    for (;;) {
        std::vector<std::string> pieces;
        tamsel_stream_result r = tamsel::stream::next_raw(s, collect_piece, &pieces, &e);
        if (r != TAMSEL_STREAM_ITEM) {
            EXPECT_EQ(r, TAMSEL_STREAM_END) << e.message;
            break;
        }
        EXPECT_EQ(pieces.size(), 1u) << "a byte range gives each item in one piece";
        std::string whole;
        for (auto &p : pieces)
            whole += p;
        items.push_back(whole);
    }
    EXPECT_EQ(items, (std::vector<std::string>{"{\"a\" : \"long string value\\n\", \"b\":[1, 2]}",
                                               "123", "\"s\"", "true"}));
    tamsel_array_stream_close(s);

    // A failing sink fails the stream with its status.
    s = tamsel::stream::open(a, &e);
    auto refuse = [](void *, const void *, size_t, tamsel_error *) -> tamsel_status { return 9; };
    EXPECT_EQ(tamsel::stream::next_raw(s, refuse, nullptr, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, 9u);
    EXPECT_STREQ(e.message, "array stream item sink failed");
    EXPECT_EQ(tamsel::stream::next_raw(s, collect_piece, &items, &e), TAMSEL_STREAM_ERROR);
    tamsel_array_stream_close(s);
}

// One record filled item after item: names as long as the last one, shorter, longer, absent,
// escaped, and over the tag's capacity; pulled and pushed at any piece size, under allocation
// failure at every index, and under a parse budget that fits one item's strings exactly.
TEST(ArrayStreamFaults, OneRecordAcrossItemsOfChangingShape) {
    std::string text = "[";
    std::string expected;
    const char *names[] = {"abcdef", "ghijkl", "mn", "opqrstuvwxyz", nullptr, "a\\u00e9", "zz"};
    int id = 0;
    for (const char *name : names) {
        text +=
            "{\"id\":" + std::to_string(++id) + (name ? ",\"name\":\"" + std::string(name) : "");
        text += std::string(name ? "\"" : "") + (id % 3 ? "" : ",\"tag\":\"long tag\"") + "},";
        expected += std::to_string(id) + ":" + (name ? id == 6 ? "a\xc3\xa9" : name : "-") +
                    (id % 3 ? "" : "#lon") + ",";
    }
    text.back() = ']';
    for (size_t step : {size_t{1}, size_t{5}, size_t{4096}}) {
        tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
        EXPECT_EQ(pull_reader(rt, nullptr, text, kind::records, step), expected + "|END!7");
        EXPECT_EQ(push_pieces(rt, nullptr, text, kind::records, every(step, text.size())),
                  expected + "|END!7");
        tamsel_free(rt);
    }
    for (bool push : {false, true}) {
        size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
            tamsel_runtime *rt = runtime_with(a, 0);
            std::string out =
                push ? push_pieces(rt, nullptr, text, kind::records, every(7, text.size()))
                     : pull_reader(rt, nullptr, text, kind::records, 7);
            a.pause();
            tamsel_free(rt);
            if (out.find("|END") != std::string::npos) return TAMSEL_STATUS_OK;
            EXPECT_NE(out.find("status 8"), std::string::npos) << out;
            return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
        });
        EXPECT_GT(runs, 2u) << push;
    }
    // The budget is per item: a block taken back from the item before counts in full again.
    const std::string one = "[{\"id\":1,\"name\":\"abcdefghijklmnopqrstuvwxyz\"}]";
    std::string many = "[";
    for (int i = 0; i < 40; ++i)
        many += "{\"id\":1,\"name\":\"abcdefghijklmnopqrstuvwxyz\"},";
    many.back() = ']';
    uint64_t budget = 1;
    for (;; ++budget) {
        counting_allocator a;
        tamsel_runtime *rt = runtime_with(a, budget);
        const bool fits =
            pull_reader(rt, nullptr, one, kind::records, 4096).find("|END") != std::string::npos;
        tamsel_free(rt);
        if (fits) break;
        ASSERT_LT(budget, 4096u);
    }
    for (uint64_t b : {budget - 1, budget}) {
        counting_allocator a;
        tamsel_runtime *rt = runtime_with(a, b);
        for (bool push : {false, true}) {
            std::string out =
                push ? push_pieces(rt, nullptr, many, kind::records, every(9, many.size()))
                     : pull_reader(rt, nullptr, many, kind::records, 9);
            EXPECT_EQ(out.find("|END") != std::string::npos, b == budget) << b << " " << out;
        }
        tamsel_free(rt);
    }
}

// An item callback that calls into its own stream is refused and the stream goes on; one that
// closes it stops the call, which frees the stream once it returns.
TEST(ArrayStreamFaults, CallsFromItsOwnCallback) {
    struct ctx {
        tamsel_array_stream *s;
        bool close;
        std::string log;
    };
    static item spare;
    const auto cb = [](void *user, void *dst) -> tamsel_status {
        auto *c = static_cast<ctx *>(user);
        c->log += describe(*static_cast<item *>(dst)) + ",";
        if (c->close) {
            tamsel_array_stream_close(c->s);
            return TAMSEL_STATUS_OK;
        }
        tamsel_error e;
        const tamsel_status st = tamsel_array_stream_push(
            c->s, item_map(), &spare, "[", 1, [](void *, void *) { return 0u; }, c, &e);
        c->log += std::to_string(st) + " " + e.message + ";";
        return TAMSEL_STATUS_OK;
    };
    const std::string text = "[{\"id\":1},{\"id\":2}]";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (bool close : {false, true}) {
        tamsel_error e;
        ctx c{tamsel_array_stream_open_selector_push(rt, nullptr, &e), close, ""};
        item it{};
        EXPECT_EQ(
            tamsel_array_stream_push(c.s, item_map(), &it, text.data(), text.size(), cb, &c, &e),
            TAMSEL_STATUS_OK);
        if (close) {
            EXPECT_EQ(c.log, "1:-,");
        } else {
            EXPECT_EQ(c.log, "1:-,1 array stream called from its own callback;2:-,1 array stream "
                             "called from its own callback;");
            EXPECT_EQ(tamsel_array_stream_finish(c.s, item_map(), &it, cb, &c, &e), 0);
            tamsel_array_stream_close(c.s);
        }
        tamsel_cleanup(item_map(), &it);
    }
    tamsel_free(rt);
}

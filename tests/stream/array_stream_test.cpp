// Array streams: root and member arrays through every door, the outer grammar's errors with
// their stream positions, pending items, and the states after a failure.
#include "stream_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

using namespace stream_test;

namespace {

struct rt_holder {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ~rt_holder() { tamsel_free(rt); }
};

const char kRoot[] = " [ {\"id\":1,\"name\":\"a\"} , {\"id\":2,\"tag\":\"xy\"},\n{\"id\":3}] \n";
const char kItems[] =
    "{\"before\":{\"x\":[1,{\"y\":null}]},\"items\":[{\"id\":7,\"name\":\"q\\u00e9\"}"
    ",{\"id\":8}],\"after\":\"s\"}";

} // namespace

TEST(ArrayStream, RootAndMemberArraysThroughEveryDoor) {
    rt_holder h;
    const std::string root = kRoot, items = kItems;
    const std::string root_expect = "1:a,2:-#xy,3:-,|END";
    const std::string items_expect = "7:q\xc3\xa9,8:-,|END";
    for (size_t step : {size_t{1}, size_t{3}, size_t{0}, size_t{4096}}) {
        EXPECT_EQ(pull_reader(h.rt, nullptr, root, kind::records, step), root_expect);
        EXPECT_EQ(pull_reader(h.rt, "items", items, kind::records, step), items_expect);
    }
    EXPECT_EQ(push_pieces(h.rt, nullptr, root, kind::records, {}), root_expect);
    EXPECT_EQ(push_pieces(h.rt, "", root, kind::records, every(1, root.size())), root_expect);
    EXPECT_EQ(push_pieces(h.rt, "items", items, kind::records, every(7, items.size())),
              items_expect);
    EXPECT_EQ(pull_reader(h.rt, nullptr, root, kind::values, 5),
              "{\"id\":1,\"name\":\"a\"},{\"id\":2,\"tag\":\"xy\"},{\"id\":3},|END");

    // FILE*, path, descriptor and a byte range give the same.
    char name[] = "/tmp/tamsel-array-stream-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, root.data(), root.size()), static_cast<ssize_t>(root.size()));
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_path(h.rt, nullptr, name, &e);
    ASSERT_NE(s, nullptr) << e.message;
    EXPECT_EQ(drain(s, kind::records), root_expect);
    s->close(s);
    FILE *f = std::fopen(name, "rb");
    s = h.rt->methods.array_stream_open_filep(h.rt, nullptr, f, &e);
    EXPECT_EQ(drain(s, kind::records), root_expect);
    tamsel_array_stream_close(s);
    std::fclose(f);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    s = tamsel_array_stream_open_fd(h.rt, nullptr, fd, &e);
    EXPECT_EQ(drain(s, kind::records), root_expect);
    tamsel_array_stream_close(s);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "the stream does not close a caller's descriptor";
    close(fd);
    unlink(name);
    tamsel::stream::open_args a;
    a.input.kind = tamsel::stream::input_kind::memory;
    a.input.bytes = root.data();
    a.input.length = root.size();
    s = tamsel::stream::open(a, &e);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(drain(s, kind::records), root_expect);
    tamsel_array_stream_close(s);
}

TEST(ArrayStream, OuterGrammarErrorsCarryStreamPositions) {
    rt_holder h;
    struct error_case {
        const char *path;
        const char *text;
        const char *expect;
    };
    const error_case cases[] = {
        {nullptr, "[]", "|END"},
        {nullptr, " [ ]\n\t ", "|END"},
        {nullptr, "", "|ERROR status 3 'selected JSON value is not an array' at 1:0/0"},
        {nullptr, " {}", "|ERROR status 3 'selected JSON value is not an array' at 1:2/2"},
        {"items", "[]", "|ERROR status 3 'array path requires a root object' at 1:1/1"},
        {"items", "{\"items\":3}",
         "|ERROR status 3 'selected JSON value is not an array' at 1:10/10"},
        {"items", "{\"other\":[1]}",
         "|ERROR status 4 'selected array field was not found: no member \"items\" in the root "
         "object' at 1:13/13"},
        {"items", "{}",
         "|ERROR status 4 'selected array field was not found: no member \"items\" in the root "
         "object' at 1:2/2"},
        {"items", "{\"a\":1,}", "|ERROR status 2 'expected object key' at 1:8/8"},
        {"items", "{\"a\" 1}", "|ERROR status 2 'expected ':' after object key' at 1:6/6"},
        {"items", "{\"a\":1 2}", "|ERROR status 2 'expected ',' or '}' in object' at 1:8/8"},
        {"items", "{\"a\":[1,]}", "|ERROR status 2 'trailing comma in array' at 1:9/9"},
        {"items", "{\"items\":[],\"items\":[]}",
         "|ERROR status 5 'duplicate root object field' at 1:19/19"},
        {"items", "{\"a\\u00\":1}",
         "|ERROR status 2 'invalid unicode escape in JSON string' at 1:8/8"},
        {"items", "{\"\\udc00\":1}", "|ERROR status 2 'unexpected low surrogate' at 1:8/8"},
        {"items", "{\"\\ud800x\":1}", "|ERROR status 2 'invalid unicode surrogate pair' at 1:9/9"},
        {"items", "{\"a\n\":1}", "|ERROR status 2 'control character in JSON string' at 2:0/4"},
        {"items", "{\"a", "|ERROR status 2 'unterminated JSON string' at 1:3/3"},
        {nullptr, "[{\"id\":1},]",
         "1:-,|ERROR status 2 'expected JSON value in selected array' at 1:11/11"},
        {nullptr, "[{\"id\":1}", "|ERROR status 2 'unterminated selected array' at 1:9/9"},
        {nullptr, "[{\"id\":1} x]",
         "|ERROR status 2 'expected ',' or ']' in selected array' at 1:11/11"},
        {nullptr, "[{\"id\":1}]]",
         "1:-,|ERROR status 2 'unexpected data after root array' at 1:11/11"},
        {"items", "{\"items\":[]} x",
         "|ERROR status 2 'unexpected data after root object' at 1:14/14"},
        {nullptr, "[{\"id\":1", "|ERROR status 2 'unterminated JSON value' at 1:8/8"},
        // Item errors: the position counts from the start of the input.
        {nullptr, "[{\"id\":1},\n {\"id\":x}]",
         "1:-,|ERROR status 2 'expected JSON value' at 2:8/19"},
        {nullptr, "[{\"name\":\"a\"}]", "|ERROR status 4 'missing required field 'id'' at 1:13/13"},
        {nullptr, "[7]", "|ERROR status 3 'root value must be an object' at 1:2/2"},
    };
    for (const error_case &c : cases) {
        const std::string text = c.text;
        EXPECT_EQ(pull_reader(h.rt, c.path, text, kind::records, 0), c.expect) << text;
        EXPECT_EQ(push_pieces(h.rt, c.path, text, kind::records, every(1, text.size())), c.expect)
            << text;
    }
    // A member named twice is streamed twice when duplicates are allowed.
    tamsel_config cfg = tamsel_default_config();
    cfg.reject_duplicates = 0;
    tamsel_runtime *lax = tamsel_new(&cfg, nullptr);
    EXPECT_EQ(pull_reader(lax, "items", "{\"items\":[{\"id\":1}],\"items\":[{\"id\":2}]}",
                          kind::records, 0),
              "1:-,2:-,|END");
    tamsel_free(lax);
}

TEST(ArrayStream, ValueItemsOfEveryKindAndDuplicateKeys) {
    rt_holder h;
    const std::string text =
        "[1, -2.5e3 ,\"s\\/\\u00e9\",true,null,[],{},{\"a\":[{\"b\":1,\"c\":2}]}"
        ",[{\"k\":1},{\"k\":2}]]";
    const std::string expect =
        "1,-2.5e3,\"s\\/\\u00e9\",true,null,[],{},{\"a\":[{\"b\":1,\"c\":2}]},"
        "[{\"k\":1},{\"k\":2}],|END";
    for (size_t step : {size_t{1}, size_t{2}, size_t{0}})
        EXPECT_EQ(pull_reader(h.rt, nullptr, text, kind::values, step), expect);
    EXPECT_EQ(pull_reader(h.rt, nullptr, "[{\"a\":1,\"b\":{\"a\":2},\"a\":3}]", kind::values, 0),
              "|ERROR status 5 'duplicate object field' at 1:23/23");
    // Keys of skipped members are checked too; sibling objects do not share keys.
    EXPECT_EQ(pull_reader(h.rt, "items", "{\"x\":{\"k\":1,\"k\":1},\"items\":[]}", kind::values, 0),
              "|ERROR status 5 'duplicate object field' at 1:15/15");
    EXPECT_EQ(pull_reader(h.rt, nullptr, "[12]", kind::values, 1), "12,|END");
}

TEST(ArrayStream, PendingItemsResumeOnlyWithTheSameDestination) {
    rt_holder h;
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(h.rt, nullptr, &e);
    item a{}, b{};
    push_log log;
    ASSERT_EQ(tamsel_array_stream_push(s, item_map(), &a, "[{\"id\":1", 8, log_record, &log, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_array_stream_push(s, item_map(), &b, "}]", 2, log_record, &log, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "resume array stream item with the same destination");
    // Failed: every later call repeats the failure.
    EXPECT_EQ(tamsel_array_stream_push(s, item_map(), &a, "}]", 2, log_record, &log, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_array_stream_next(s, item_map(), &a, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(tamsel_array_stream_error(s)->message,
                 "resume array stream item with the same destination");
    tamsel_array_stream_close(s);
    tamsel_cleanup(item_map(), &a);
    tamsel_cleanup(item_map(), &b);
}

TEST(ArrayStream, NumberItemsAcrossPushesAndFinishedStreams) {
    rt_holder h;
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(h.rt, nullptr, &e);
    push_log log;
    ASSERT_EQ(tamsel_array_stream_push_string_items(s, "[\"a\",", 5, log_string_item, &log, &e),
              TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_array_stream_push_string_items(s, "\"b\"]", 4, log_string_item, &log, &e),
              TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_array_stream_finish_string_items(s, log_string_item, &log, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(log.out, "a,b,");
    EXPECT_EQ(tamsel_array_stream_push_string_items(s, " ", 1, log_string_item, &log, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "array stream is already finished");
    tamsel_array_stream_close(s);

    // 12 split as "1" | "2]" is one number.
    tamsel_array_stream *v = tamsel_array_stream_open_push(h.rt, nullptr, &e);
    EXPECT_EQ(tamsel_array_stream_push_string_items(v, "[1", 2, log_string_item, &log, &e), 0u);
    EXPECT_EQ(tamsel_array_stream_push_string_items(v, "2]", 2, log_string_item, &log, &e),
              TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e.message, "selected array item is not a string");
    EXPECT_EQ(e.column, 3u);
    tamsel_array_stream_close(v);
    EXPECT_EQ(pull_reader(h.rt, nullptr, "[1", kind::values, 1),
              "|ERROR status 2 'unterminated selected array' at 1:2/2");
}

TEST(ArrayStream, ArgumentChecksChangeNothing) {
    rt_holder h;
    tamsel_error e;
    EXPECT_EQ(tamsel_array_stream_open_push(nullptr, nullptr, &e), nullptr);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    EXPECT_EQ(tamsel_array_stream_open_push(h.rt, "a.b", &e), nullptr);
    EXPECT_STREQ(e.message, "array stream v1 supports only one direct path segment");
    EXPECT_EQ(tamsel_array_stream_open_reader(h.rt, nullptr, nullptr, nullptr, &e), nullptr);
    EXPECT_EQ(tamsel_array_stream_open_fd(h.rt, nullptr, -1, &e), nullptr);
    EXPECT_STREQ(e.message, "fd must be non-negative");
    EXPECT_EQ(tamsel_array_stream_open_path(h.rt, nullptr, "/nonexistent/x", &e), nullptr);
    EXPECT_EQ(e.code, TAMSEL_STATUS_IO_ERROR);

    // A map that fails its analysis is refused before any input is read.
    static const tamsel_field bad_fields[] = {
        {TAMSEL_KEY("o"), 0, TAMSEL_FIELD_OBJECT, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map bad = {"bad", 8, bad_fields, 1, &bad, nullptr};
    static const tamsel_field wide_fields[] = {
        {TAMSEL_KEY("i"), 64, TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map wide = {"wide", 8, wide_fields, 1, &wide, nullptr};
    std::string text = "[{\"o\":{}}]";
    tamsel_test::chunked_reader reader{&text};
    tamsel_array_stream *s = tamsel_array_stream_open_reader(
        h.rt, nullptr, tamsel_test::chunked_reader::read, &reader, &e);
    unsigned char dst[64] = {};
    for (const tamsel_map *m : {&bad, &wide}) {
        EXPECT_EQ(tamsel_array_stream_next(s, m, dst, &e), TAMSEL_STREAM_ERROR);
        EXPECT_STREQ(e.message, "invalid field layout");
        EXPECT_EQ(tamsel_array_stream_push(s, m, dst, "x", 1, log_record, nullptr, &e),
                  TAMSEL_STATUS_INVALID_ARGUMENT);
        EXPECT_STREQ(e.message, "invalid field layout");
    }
    EXPECT_EQ(reader.pos, 0u) << "nothing was read";
    EXPECT_EQ(tamsel_array_stream_next(s, nullptr, dst, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(e.message, "array stream, map, and destination are required");
    EXPECT_EQ(tamsel_array_stream_push(s, item_map(), dst, "x", 1, log_record, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "array stream is not push-fed");
    EXPECT_EQ(tamsel_array_stream_next_value(s, nullptr, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(e.message, "JSON value destination is required");
    EXPECT_EQ(tamsel_array_stream_error(s)->code, 0u) << "the stream itself is untouched";
    tamsel_array_stream_close(s);
    tamsel_array_stream_close(nullptr);
}

// Array streams at a path of members and elements (the selector openers), value items held as
// compact text within their limit, items deeper than the parser's fixed workspace, and the
// JSON value fields of streamed records.
#include "stream_support.hpp"
#include "support/counting_allocator.hpp"

using namespace stream_test;
using tamsel_test::counting_allocator;

namespace {

tamsel_runtime *runtime(uint64_t max_depth = 64, uint64_t max_parse_bytes = 1048576,
                        uint64_t value_max_total = 0, const tamsel_allocator *a = nullptr) {
    tamsel_config c = tamsel_default_config();
    c.max_depth = max_depth;
    c.max_parse_bytes = max_parse_bytes;
    c.value_max_total_bytes = value_max_total;
    c.allocator = a;
    return tamsel_new(&c, nullptr);
}

// Pulls the items at `selector` through a reader handing out `step` bytes (0: random sizes).
std::string pull_selector(tamsel_runtime *rt, const char *selector, const std::string &text, kind k,
                          size_t step) {
    tamsel_test::chunked_reader reader{&text};
    reader.step = step;
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_selector_reader(
        rt, selector, tamsel_test::chunked_reader::read, &reader, &e);
    if (!s) return "OPEN " + describe_error(e);
    std::string out = drain(s, k);
    tamsel_array_stream_close(s);
    return out;
}

// Pushes `text` cut once at `cut` into a push stream at `selector`, then finishes.
std::string push_selector(tamsel_runtime *rt, const char *selector, const std::string &text,
                          size_t cut) {
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_selector_push(rt, selector, &e);
    if (!s) return "OPEN " + describe_error(e);
    push_log log;
    item it{};
    tamsel_status st =
        tamsel_array_stream_push(s, item_map(), &it, text.data(), cut, log_record, &log, &e);
    if (st == TAMSEL_STATUS_OK)
        st = tamsel_array_stream_push(s, item_map(), &it, text.data() + cut, text.size() - cut,
                                      log_record, &log, &e);
    if (st == TAMSEL_STATUS_OK)
        st = tamsel_array_stream_finish(s, item_map(), &it, log_record, &log, &e);
    tamsel_cleanup(item_map(), &it);
    tamsel_array_stream_close(s);
    return log.out + "|" + (st == TAMSEL_STATUS_OK ? "END" : "ERROR " + describe_error(e));
}

} // namespace

TEST(ArrayStreamSelector, NestedPathsWholeAndAtEverySplit) {
    tamsel_runtime *rt = runtime();
    struct path_case {
        const char *selector;
        std::string text;
        const char *expect;
    };
    const path_case cases[] = {
        {"data.page.items",
         "{\"meta\":{\"items\":[9]},\"data\":{\"n\":[1,{\"x\":2}],\"page\":{\"items\":"
         "[{\"id\":1,\"name\":\"a\"} , {\"id\":2}]},\"z\":[]},\"end\":0}",
         "1:a,2:-,|END"},
        {"a\\.b.c\\\\.items", "{\"a\":{\"b\":1},\"a.b\":{\"c\\\\\":{\"items\":[{\"id\":5}]}}}",
         "5:-,|END"},
        {"results.1.rows", "{\"results\":[{\"rows\":[{\"id\":0}]},{\"rows\":[{\"id\":3}]},7]}",
         "3:-,|END"},
        {"1.items", " [ {\"items\":[{\"id\":0}]} , {\"items\":[{\"id\":4}]} ] ", "4:-,|END"},
        {"10", "{\"10\":[{\"id\":10}]}", "10:-,|END"},
        {"", "[{\"id\":6}]", "6:-,|END"},
    };
    for (const path_case &c : cases) {
        for (size_t step : {size_t{1}, size_t{0}, size_t{4096}})
            EXPECT_EQ(pull_selector(rt, c.selector, c.text, kind::records, step), c.expect)
                << c.selector;
        for (size_t cut = 0; cut <= c.text.size(); ++cut)
            EXPECT_EQ(push_selector(rt, c.selector, c.text, cut), c.expect)
                << c.selector << " cut at " << cut;
    }
    tamsel_free(rt);
}

TEST(ArrayStreamSelector, PathsThatLeadNowhere) {
    tamsel_runtime *rt = runtime();
    struct error_case {
        const char *selector;
        const char *text;
        const char *expect;
    };
    const error_case cases[] = {
        {"data.page.items", "{\"data\":{\"page\":{\"item\":[]}},\"x\":1}",
         "|ERROR status 4 'selected array field was not found: no member \"items\" in "
         "\"data.page\"' at 1:35/35"},
        {"data.items", "{\"x\":{\"data\":{\"items\":[]}}}",
         "|ERROR status 4 'selected array field was not found: no member \"data\" in the root "
         "object' at 1:27/27"},
        {"a\\.b.1.c", "{\"a.b\":[{\"c\":[]}]}",
         "|ERROR status 4 'selected array field was not found: no element 1 in \"a\\.b\"' at "
         "1:18/18"},
        {"2", "[1]",
         "|ERROR status 4 'selected array field was not found: no element 2 in the "
         "root array' at 1:3/3"},
        {"data.items", "{\"data\":null}",
         "|ERROR status 3 'array path requires an object at \"data\"' at 1:9/9"},
        {"data.0", "{\"data\":\"s\"}",
         "|ERROR status 3 'array path requires an object or array at \"data\"' at 1:9/9"},
        {"0.items", "\"s\"",
         "|ERROR status 3 'array path requires a root object or array' at 1:1/1"},
        {"data.items", "{\"data\":{\"items\":{}}}",
         "|ERROR status 3 'selected JSON value is not an array' at 1:18/18"},
        {"data.items", "{\"data\":{\"items\":[]},\"data\":{}}",
         "|ERROR status 5 'duplicate root object field' at 1:27/27"},
        {"data.items", "{\"data\":{\"a\":1,\"a\":2,\"items\":[]}}",
         "|ERROR status 5 'duplicate object field' at 1:18/18"},
        {"data.items", "{\"data\":[1,]}",
         "|ERROR status 3 'array path requires an object at "
         "\"data\"' at 1:9/9"},
        {"0.items", "[{\"items\":[]},]",
         "|ERROR status 2 'expected JSON value in array' at 1:15/15"},
        {"0.items", "[{\"items\":[]} 1]",
         "|ERROR status 2 'expected ',' or ']' in array' at 1:15/15"},
        {"a\\", "[]", "OPEN status 1 'array stream selector ends with an escape' at 0:0/0"},
        {"a..b", "[]", "OPEN status 1 'array stream selector contains empty segment' at 0:0/0"},
    };
    for (const error_case &c : cases) {
        EXPECT_EQ(pull_selector(rt, c.selector, c.text, kind::values, 1), c.expect) << c.text;
        EXPECT_EQ(pull_selector(rt, c.selector, c.text, kind::values, 4096), c.expect) << c.text;
    }
    // With duplicates allowed, every matching member is followed.
    tamsel_config cfg = tamsel_default_config();
    cfg.reject_duplicates = 0;
    tamsel_runtime *lax = tamsel_new(&cfg, nullptr);
    EXPECT_EQ(pull_selector(lax, "d.i", "{\"d\":{\"i\":[1]},\"d\":{\"x\":0,\"i\":[2,3]}}",
                            kind::values, 3),
              "1,2,3,|END");
    tamsel_free(lax);
    // The one-member openers keep refusing a dot.
    tamsel_error e;
    EXPECT_EQ(tamsel_array_stream_open_push(rt, "a.b", &e), nullptr);
    EXPECT_STREQ(e.message, "array stream v1 supports only one direct path segment");
    tamsel_free(rt);
}

TEST(ArrayStreamSelector, AllocationFailureAtEveryIndexLeavesNothingBehind) {
    const std::string text = "{\"a\":{\"b\":[0,{\"items\":[1,[[[[[[2]]]]]],{\"k\":\"v\"}]}]}}";
    size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        a.pause();
        tamsel_runtime *rt = runtime(200, 0, 0, a.get());
        a.resume();
        // Deep enough for the item parser's workspace to grow.
        const std::string deep = "{\"a\":{\"b\":[0,{\"items\":[" + std::string(100, '[') +
                                 std::string(100, ']') + "]}]}}";
        std::string out = pull_selector(rt, "a.b.1.items", text, kind::values, 7) +
                          pull_selector(rt, "a.b.1.items", deep, kind::values, 0);
        a.pause();
        tamsel_free(rt);
        if (out == "1,[[[[[[2]]]]]],{\"k\":\"v\"},|END" + std::string(100, '[') +
                       std::string(100, ']') + ",|END")
            return TAMSEL_STATUS_OK;
        EXPECT_NE(out.find("status 8"), std::string::npos) << out;
        return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
    });
    EXPECT_GT(runs, 3u);
}

// A value item is held as its compact text: whitespace never reaches memory, and the text is
// bounded by value_max_total_bytes, failing at the first byte past it whatever the pieces.
TEST(ArrayStreamValues, ItemTextIsCompactAndBounded) {
    const std::string spaces(200000, ' ');
    const std::string text = "[[1," + spaces + "2]\n, \"a b\" ,\"\\\" \",\t[12,\n345]]";
    for (size_t step : {size_t{1}, size_t{3}, size_t{4096}}) {
        counting_allocator a;
        tamsel_runtime *rt = runtime(64, 1048576, 5, a.get());
        tamsel_test::chunked_reader reader{&text};
        reader.step = step;
        tamsel_error e;
        tamsel_array_stream *s = tamsel_array_stream_open_reader(
            rt, nullptr, tamsel_test::chunked_reader::read, &reader, &e);
        ASSERT_NE(s, nullptr);
        tamsel_json_value v;
        tamsel_json_value_init(rt, &v);
        std::vector<std::string> items;
        tamsel_stream_result r;
        while ((r = tamsel_array_stream_next_value(s, &v, &e)) == TAMSEL_STREAM_ITEM)
            items.emplace_back(v.data, v.len);
        EXPECT_EQ(items, (std::vector<std::string>{"[1,2]", "\"a b\"", "\"\\\" \""}));
        EXPECT_LT(a.stats.peak_bytes, 64000u) << "the whitespace was held";
        ASSERT_EQ(r, TAMSEL_STREAM_ERROR);
        EXPECT_EQ(describe_error(e),
                  "status 6 'array item exceeds value_max_total_bytes (5 bytes)' at 3:2/200030")
            << "pieces of " << step;
        tamsel_json_value_cleanup(&v);
        tamsel_array_stream_close(s);
        tamsel_free(rt);
    }
}

// Items, and values skipped on the way, nest as deep as max_depth, whatever the workspace holds;
// the frames beyond it are charged to the parse budget.
TEST(ArrayStreamValues, DeepItemsUpToMaxDepth) {
    const auto nest = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
    tamsel_runtime *rt = runtime(300);
    const std::string text = "{\"skip\":" + nest(300) + ",\"items\":[" + nest(299) + "]}";
    EXPECT_EQ(pull_selector(rt, "items", text, kind::values, 0), nest(299) + ",|END");
    EXPECT_EQ(pull_selector(rt, "items", "{\"items\":[" + nest(301) + "]}", kind::values, 0),
              "|ERROR status 6 'maximum nesting depth exceeded' at 1:311/311");
    // A key longer than the workspace grows it too.
    const std::string key = "{\"" + std::string(5000, 'k') + "\":1}";
    EXPECT_EQ(pull_selector(rt, "", "[" + key + "]", kind::values, 0), key + ",|END");
    tamsel_free(rt);
    rt = runtime(300, 8192);
    EXPECT_EQ(pull_selector(rt, "", "[" + nest(200) + "]", kind::values, 0),
              "|ERROR status 6 'parse allocations exceed configured max bytes' at 1:75/75");
    tamsel_free(rt);
    rt = runtime(0);
    EXPECT_EQ(pull_selector(rt, "", "[" + nest(200) + "]", kind::values, 0),
              "|ERROR status 6 'parser workspace exhausted by nesting depth' at 1:75/75");
    tamsel_free(rt);
}

namespace {

struct raw_item {
    int64_t id;
    tamsel_json_value raw;
};

const tamsel_map *raw_map(uint32_t flags) {
    static tamsel_field plain[2], capture[2];
    tamsel_field *f = flags ? capture : plain;
    f[0] = {TAMSEL_KEY("id"),
            offsetof(raw_item, id),
            TAMSEL_FIELD_I64,
            0,
            0,
            0,
            0,
            0,
            nullptr,
            nullptr,
            0,
            0};
    f[1] = {TAMSEL_KEY("raw"),
            offsetof(raw_item, raw),
            TAMSEL_FIELD_JSON_VALUE,
            0,
            0,
            flags,
            0,
            0,
            nullptr,
            nullptr,
            0,
            0};
    static tamsel_map plain_map = {"plain", sizeof(raw_item), plain, 2, nullptr, nullptr};
    static tamsel_map capture_map = {"capture", sizeof(raw_item), capture, 2, nullptr, nullptr};
    return flags ? &capture_map : &plain_map;
}

} // namespace

// Streamed records are prepared and cleaned for every item, which resets their holders: a
// parse mode set once is gone by the first item, and the failure names the field.
TEST(ArrayStreamValues, JsonValueFieldsNeedTheCaptureFlag) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string text = "[{\"id\":1,\"raw\":{\"a\" : [1]}},{\"id\":2,\"raw\":\"s\"}]";
    for (uint32_t flags : {0u, TAMSEL_FIELD_CAPTURE}) {
        const tamsel_map *map = raw_map(flags);
        raw_item it{};
        tamsel_init(rt, map, &it);
        ASSERT_EQ(tamsel_json_value_enable_parse_capture(&it.raw, nullptr), 0);
        tamsel_error e;
        tamsel_array_stream *s = tamsel_array_stream_open_push(rt, nullptr, &e);
        std::string seen;
        auto log = [](void *user, void *dst) -> tamsel_status {
            const auto &i = *static_cast<raw_item *>(dst);
            *static_cast<std::string *>(user) += std::string(i.raw.data, i.raw.len) + ";";
            return TAMSEL_STATUS_OK;
        };
        tamsel_status st =
            tamsel_array_stream_push(s, map, &it, text.data(), text.size(), log, &seen, &e);
        if (st == TAMSEL_STATUS_OK) st = tamsel_array_stream_finish(s, map, &it, log, &seen, &e);
        if (flags) {
            EXPECT_EQ(st, TAMSEL_STATUS_OK) << e.message;
            EXPECT_EQ(seen, "{\"a\":[1]};\"s\";");
        } else {
            EXPECT_EQ(st, TAMSEL_STATUS_INVALID_ARGUMENT);
            EXPECT_STREQ(e.message, "JSON value parse requires a configured parse sink, parse "
                                    "visitor, or parse capture (field 'raw')");
        }
        tamsel_array_stream_close(s);
        tamsel_cleanup(map, &it);
    }
    tamsel_free(rt);
}

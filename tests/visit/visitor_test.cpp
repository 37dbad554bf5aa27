// The walker's events, errors, limits and callback statuses, from memory.
#include "support/counting_allocator.hpp"
#include "support/event_log.hpp"

#include <gtest/gtest.h>

#include <string>

using tamsel_test::event_log;

namespace {

struct visit_result {
    tamsel_status status;
    std::string events;
    tamsel_error error;
};

class Visitor : public ::testing::Test {
  protected:
    void SetUp() override { make_runtime(tamsel_default_config()); }
    void TearDown() override { tamsel_free(rt_); }
    void make_runtime(tamsel_config c) {
        tamsel_free(rt_);
        rt_ = tamsel_new(&c, nullptr);
        ASSERT_NE(rt_, nullptr);
    }
    void limits(uint64_t depth, uint64_t string, uint64_t number, uint64_t key, uint64_t total) {
        tamsel_config c = tamsel_default_config();
        c.value_max_depth = depth;
        c.value_max_string_bytes = string;
        c.value_max_number_bytes = number;
        c.value_max_key_bytes = key;
        c.value_max_total_bytes = total;
        make_runtime(c);
    }
    visit_result visit(const std::string &json) {
        event_log log;
        tamsel_value_visitor v = event_log::visitor();
        visit_result r{};
        r.status = tamsel_visit_value_buffer(rt_, json.data(), json.size(), &v, &log, &r.error);
        r.events = log.events;
        return r;
    }
    tamsel_runtime *rt_ = nullptr;
};

} // namespace

TEST_F(Visitor, ReportsEveryKindOfValue) {
    auto r = visit(R"( {"a": [1, -2.5e3, "x", true, false, null, {}, []], "": ""} )");
    ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << r.error.message;
    EXPECT_EQ(r.events, "{ka;[n1;n-2.5e3;sx;TFN{}[]]k;s;}");
    EXPECT_EQ(r.error.code, 0u);
    EXPECT_EQ(r.error.offset, 0u) << "a successful visit leaves a cleared record";
}

TEST_F(Visitor, EmptyContainersAndScalarRoots) {
    EXPECT_EQ(visit("[]").events, "[]");
    EXPECT_EQ(visit("{}").events, "{}");
    auto r = visit("  7  ");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OK);
    EXPECT_EQ(r.events, "n7;");
    EXPECT_EQ(visit("\"\"").events, "s;");
}

TEST_F(Visitor, EscapesAreDecodedIntoTheirOwnChunks) {
    event_log log;
    tamsel_value_visitor v = event_log::visitor();
    std::string json = R"("a\u00e9b")";
    ASSERT_EQ(tamsel_visit_value_buffer(rt_, json.data(), json.size(), &v, &log, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(log.events, "sa\xC3\xA9"
                          "b;");
    EXPECT_EQ(log.chunks, 3u);
    EXPECT_EQ(visit(R"("\"\\\/\b\f\n\r\t")").events, "s\"\\/\b\f\n\r\t;");
    EXPECT_EQ(visit(R"("\u0041\u00FF\u20AC\uffff")").events, "sA\xC3\xBF\xE2\x82\xAC\xEF\xBF\xBF;");
    EXPECT_EQ(visit(R"("\ud83d\ude00")").events, "s\xF0\x9F\x98\x80;");
    EXPECT_EQ(visit(R"("\uD83D\uDE00")").events, "s\xF0\x9F\x98\x80;");
    EXPECT_EQ(visit("\"\xC3\xA9\xFF\"").events, "s\xC3\xA9\xFF;") << "bytes >= 0x80 pass through";
}

TEST_F(Visitor, SurrogateErrors) {
    EXPECT_STREQ(visit(R"("\ude00")").error.message, "unexpected low surrogate");
    EXPECT_STREQ(visit(R"("\ud83da")").error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit(R"("\ud83d\n")").error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit(R"("\ud83d\u0041")").error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit(R"("\ud83d)").error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit(R"("\u12g4")").error.message, "invalid unicode escape");
    EXPECT_STREQ(visit(R"("\u12)").error.message, "invalid unicode escape");
    EXPECT_STREQ(visit(R"("\x")").error.message, "invalid string escape");
    EXPECT_STREQ(visit("\"\\").error.message, "unterminated escape sequence");
    EXPECT_STREQ(visit("\"a\x01\"").error.message, "control character in string");
    EXPECT_STREQ(visit("\"abc").error.message, "unterminated JSON string");
}

TEST_F(Visitor, SyntaxErrorsHaveTheirMessagesAndPositions) {
    struct {
        const char *json, *message;
        size_t line, column, offset;
    } cases[] = {
        {"1 2", "visited JSON must contain exactly one value", 1, 3, 3},
        {"[1,]", "expected JSON value", 1, 4, 4},
        {"{\"a\":1,}", "expected object key", 1, 8, 8},
        {"{\"a\" 1}", "expected ':' after object key", 1, 6, 6},
        {"[1 2]", "expected ',' in array", 1, 4, 4},
        {"{\"a\":1 \"b\":2}", "expected ',' in object", 1, 8, 8},
        {"[1,\n 2", "unterminated JSON array", 2, 2, 6},
        {"{\"a\":1", "unterminated JSON object", 1, 6, 6},
        {"{1:2}", "expected object key", 1, 2, 2},
        {"", "expected JSON value", 1, 0, 0},
        {"  ", "expected JSON value", 1, 2, 2},
        {"tru", "invalid JSON literal", 1, 3, 3},
        {"[nul]", "invalid JSON literal", 1, 5, 5},
        {"trux", "invalid JSON literal", 1, 4, 4},
        {"truex", "visited JSON must contain exactly one value", 1, 5, 5},
        {"01", "invalid JSON number", 1, 2, 2},
        {"[1.]", "invalid JSON number", 1, 3, 3},
        {"-", "invalid JSON number", 1, 1, 1},
        {"1e", "invalid JSON number", 1, 2, 2},
        {".5", "expected JSON value", 1, 1, 1},
        {"\n\n  x", "expected JSON value", 3, 3, 5},
    };
    for (const auto &c : cases) {
        auto r = visit(c.json);
        EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_JSON) << c.json;
        EXPECT_STREQ(r.error.message, c.message) << c.json;
        EXPECT_EQ(r.error.line, c.line) << c.json;
        EXPECT_EQ(r.error.column, c.column) << c.json;
        EXPECT_EQ(r.error.offset, c.offset) << c.json;
    }
    EXPECT_EQ(visit("-0").status, TAMSEL_STATUS_OK);
    EXPECT_EQ(visit("0.5e+3").events, "n0.5e+3;");
}

TEST_F(Visitor, DepthLimitIsExact) {
    limits(1, 0, 0, 0, 0);
    EXPECT_EQ(visit("[1]").status, TAMSEL_STATUS_OK);
    auto r = visit("[[1]]");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(r.error.message, "JSON value nesting exceeds maximum depth");
    EXPECT_EQ(r.events, "[") << "refused before the begin callback";
    limits(64, 0, 0, 0, 0);
    EXPECT_EQ(visit(std::string(64, '[') + std::string(64, ']')).status, TAMSEL_STATUS_OK);
    EXPECT_EQ(visit(std::string(65, '[') + std::string(65, ']')).status, TAMSEL_STATUS_OVERFLOW);
}

TEST_F(Visitor, ZeroLimitsTakeTheirDefaults) {
    limits(0, 0, 0, 0, 0);
    EXPECT_EQ(visit(std::string(64, '[') + std::string(64, ']')).status, TAMSEL_STATUS_OK);
    EXPECT_EQ(visit(std::string(65, '[') + std::string(65, ']')).status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(visit(std::string(256, '1')).status, TAMSEL_STATUS_OK);
    EXPECT_EQ(visit(std::string(257, '1')).status, TAMSEL_STATUS_OVERFLOW);
}

TEST_F(Visitor, TotalByteLimitCountsWhitespace) {
    limits(64, 0, 0, 0, 3);
    EXPECT_EQ(visit("[1]").status, TAMSEL_STATUS_OK);
    auto r = visit(" [1]");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(r.error.message, "JSON value exceeds maximum total byte limit");
    // Over the limit in the trailing whitespace: reported as more than one value.
    r = visit("[1] ");
    EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(r.error.message, "visited JSON must contain exactly one value");
    EXPECT_EQ(visit("\"abcdef\"").status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(visit("12345").status, TAMSEL_STATUS_OVERFLOW);
}

TEST_F(Visitor, StringKeyAndNumberLimitsAreExact) {
    limits(64, 5, 4, 3, 0);
    EXPECT_EQ(visit("\"abcde\"").status, TAMSEL_STATUS_OK);
    auto r = visit("\"abcdef\"");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(r.error.message, "JSON string exceeds maximum decoded byte limit");
    EXPECT_EQ(r.error.offset, 7u) << "the first byte past the limit";
    EXPECT_STREQ(visit("\"abcd\\n!\"").error.message,
                 "JSON string exceeds maximum decoded byte limit");
    EXPECT_STREQ(visit("\"abcd\\u00e9\"").error.message, "decoded JSON text exceeds limit");
    EXPECT_EQ(visit("\"abc\\u00e9\"").status, TAMSEL_STATUS_OK) << "exactly 5 decoded bytes";

    EXPECT_EQ(visit("{\"abc\":\"abcde\"}").status, TAMSEL_STATUS_OK);
    r = visit("{\"abcd\":1}");
    EXPECT_STREQ(r.error.message, "JSON object key exceeds maximum decoded byte limit");
    EXPECT_EQ(visit("[\"abcd\"]").status, TAMSEL_STATUS_OK) << "values use the string limit";

    EXPECT_EQ(visit("-123").status, TAMSEL_STATUS_OK);
    r = visit("-1234");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(r.error.message, "JSON number exceeds maximum byte limit");
    EXPECT_EQ(r.error.offset, 5u);
}

namespace {

struct status_script {
    tamsel_status string_end = TAMSEL_STATUS_OK;
    tamsel_status array_end = TAMSEL_STATUS_OK;
    tamsel_status chunk = TAMSEL_STATUS_OK;
    int calls_after_stop = 0;
    bool stopped = false;
};

} // namespace

TEST_F(Visitor, CallbackStatusesFollowTheLastCallbackRule) {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.string_end = [](void *u, tamsel_error *) {
        return static_cast<status_script *>(u)->string_end;
    };
    v.array_end = [](void *u, tamsel_error *) {
        return static_cast<status_script *>(u)->array_end;
    };
    status_script s;
    s.string_end = TAMSEL_STATUS_TRUNCATED;
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, "\"x\"", &v, &s, &e), TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, "[\"x\", \"y\"]", &v, &s, &e), TAMSEL_STATUS_OK)
        << "a nested TRUNCATED is not carried further";
    s.array_end = TAMSEL_STATUS_TRUNCATED;
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, "[\"x\"]", &v, &s, &e), TAMSEL_STATUS_TRUNCATED);
}

TEST_F(Visitor, FailingCallbackStopsTheWalkUnchanged) {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.number_chunk = [](void *, const char *b, size_t, tamsel_error *error) {
        if (b[0] != '3') return tamsel_status{TAMSEL_STATUS_OK};
        tamsel_error_init(error);
        std::snprintf(error->message, sizeof error->message, "no threes");
        return tamsel_status{42};
    };
    v.number_end = [](void *u, tamsel_error *) {
        ++*static_cast<int *>(u);
        return tamsel_status{TAMSEL_STATUS_OK};
    };
    int ends = 0;
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, "[1, 2, 3, 4]", &v, &ends, &e), 42u);
    EXPECT_EQ(ends, 2) << "no events after the stop";
    EXPECT_STREQ(e.message, "no threes") << "the walker writes nothing over the callback's record";
}

TEST_F(Visitor, DeepNestingNeverRecurses) {
    tamsel_config c = tamsel_default_config();
    c.value_max_depth = 10000000;
    make_runtime(c);
    std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    tamsel_value_visitor v = tamsel_default_value_visitor();
    EXPECT_EQ(tamsel_visit_value_buffer(rt_, deep.data(), deep.size(), &v, nullptr, nullptr),
              TAMSEL_STATUS_OK);
    std::string open(1000000, '[');
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_buffer(rt_, open.data(), open.size(), &v, nullptr, &e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "unterminated JSON array");
    std::string objects;
    for (int i = 0; i < 200000; ++i)
        objects += "{\"a\":";
    objects += "1" + std::string(200000, '}');
    EXPECT_EQ(tamsel_visit_value_buffer(rt_, objects.data(), objects.size(), &v, nullptr, &e),
              TAMSEL_STATUS_OK);
}

TEST_F(Visitor, LargeNumberLimitDoesNotPreallocate) {
    tamsel_test::counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.value_max_number_bytes = UINT64_MAX;
    c.allocator = a.get();
    make_runtime(c);
    uint64_t before = a.stats.peak_bytes;
    EXPECT_EQ(visit("[1, 2.5]").status, TAMSEL_STATUS_OK);
    EXPECT_EQ(a.stats.peak_bytes, before) << "short numbers never allocate";
    std::string big(100000, '7');
    EXPECT_EQ(visit(big).status, TAMSEL_STATUS_OK);
    tamsel_free(rt_);
    rt_ = nullptr;
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST_F(Visitor, ArgumentChecks) {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_buffer(nullptr, "1", 1, &v, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    EXPECT_EQ(tamsel_visit_value_buffer(rt_, nullptr, 1, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "buffer and visitor are required");
    EXPECT_EQ(tamsel_visit_value_buffer(rt_, "1", 1, nullptr, nullptr, &e), 1u);
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, nullptr, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "json string and visitor are required");
    EXPECT_EQ(tamsel_visit_value_cstr(rt_, "1", nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "buffer and visitor are required");
    EXPECT_EQ(tamsel_visit_value_reader(rt_, nullptr, nullptr, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "reader and visitor are required");
    EXPECT_EQ(tamsel_visit_value_filep(nullptr, nullptr, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "file pointer and visitor are required");
    EXPECT_EQ(tamsel_visit_value_filep(nullptr, stdin, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    EXPECT_EQ(tamsel_visit_value_filep(rt_, stdin, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "reader and visitor are required");
    EXPECT_EQ(tamsel_visit_value_path(rt_, nullptr, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "path and visitor are required");
    EXPECT_EQ(tamsel_visit_value_path(nullptr, "/nonexistent/x.json", &v, nullptr, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to open '/nonexistent/x.json'");
    EXPECT_EQ(e.system_errno, ENOENT);
    EXPECT_EQ(tamsel_visit_value_fd(rt_, -1, &v, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "fd and visitor are required");
    EXPECT_EQ(rt_->methods.visit_value_cstr(rt_, "[true]", &v, nullptr, &e), TAMSEL_STATUS_OK);
}

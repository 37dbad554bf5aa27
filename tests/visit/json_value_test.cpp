// JSON value holders: setters and modes, the transcoder compact and pretty, rewinding.
#include "support/counting_allocator.hpp"
#include "support/event_log.hpp"
#include "visit/json_value.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct capture_sink {
    std::string bytes;
    size_t calls = 0;
    tamsel_status answer = TAMSEL_STATUS_OK;
    static tamsel_status write(void *user, const void *data, size_t len, tamsel_error *) {
        auto *s = static_cast<capture_sink *>(user);
        s->bytes.append(static_cast<const char *>(data), len);
        s->calls++;
        return s->answer;
    }
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string write_out(const tamsel_json_value &v, tamsel_status *st = nullptr) {
    capture_sink sink;
    tamsel_error e;
    tamsel_status s = tamsel_json_value_write_to_sink(&v, capture_sink::write, &sink, &e);
    if (st)
        *st = s;
    else
        EXPECT_EQ(s, TAMSEL_STATUS_OK) << e.message;
    return sink.bytes;
}

std::string pretty(const tamsel_json_value &v, uint64_t base) {
    capture_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel::visit::transcode_json_value(&v, capture_sink::write, &sink, &e, true, base),
              TAMSEL_STATUS_OK)
        << e.message;
    return sink.bytes;
}

class JsonValue : public ::testing::Test {
  protected:
    void SetUp() override {
        tamsel_json_value_init(nullptr, &v_);
        char name[] = "/tmp/tamsel-jv-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
    }
    void TearDown() override {
        tamsel_json_value_cleanup(&v_);
        unlink(path_.c_str());
    }
    tamsel_json_value v_;
    std::string path_;
};

} // namespace

TEST_F(JsonValue, SetBufferStoresCompactTextAndWritesItInOneCall) {
    const std::string text =
        "{ \"a\" : [ 1 , 2.5e-3 ,\n\t\"x y\\n\\u00e9\" ] ,\r\n \"b\":{ } , \"c\":[] , "
        "\"d\" : true , \"e\":false,\"f\" :null }";
    tamsel_error e;
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, text.data(), text.size(), &e), TAMSEL_STATUS_OK);
    const std::string compact =
        R"({"a":[1,2.5e-3,"x y\n\u00e9"],"b":{},"c":[],"d":true,"e":false,"f":null})";
    EXPECT_EQ(v_.kind, TAMSEL_JSON_BUFFER);
    EXPECT_EQ(std::string(v_.data, v_.len), compact);
    EXPECT_EQ(v_.data[v_.len], '\0');
    capture_sink sink;
    ASSERT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(sink.bytes, compact);
    EXPECT_EQ(sink.calls, 1u);
    EXPECT_EQ(v_.methods->write_to_sink, &tamsel_json_value_write_to_sink);
}

TEST_F(JsonValue, SetBufferFailureKeepsThePreviousValue) {
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, "[1]", 3, nullptr), TAMSEL_STATUS_OK);
    tamsel_error e;
    EXPECT_EQ(tamsel_json_value_set_buffer(&v_, "1 2", 3, &e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "embedded JSON must contain exactly one value");
    EXPECT_EQ(tamsel_json_value_set_buffer(&v_, "", 0, &e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "expected JSON value");
    EXPECT_EQ(tamsel_json_value_set_buffer(&v_, "[\"\\x\"]", 6, &e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "invalid string escape");
    EXPECT_EQ(write_out(v_), "[1]");
    // Escapes are checked but not decoded: a lone surrogate passes through as written.
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, "\"\\ud800\"", 8, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(write_out(v_), "\"\\ud800\"");
    // No value limits apply: deep nesting and long numbers are kept.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, deep.data(), deep.size(), nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.len, deep.size());
}

TEST_F(JsonValue, NothingIsWrittenAsNull) {
    EXPECT_EQ(write_out(v_), "null");
    EXPECT_EQ(pretty(v_, 3), "null");
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 1);
}

TEST_F(JsonValue, FileAndDescriptorAreRewoundEveryTime) {
    std::ofstream(path_, std::ios::binary) << "[ 1, {\"k\": \"v\"} ]";
    FILE *f = std::fopen(path_.c_str(), "rb");
    ASSERT_EQ(tamsel_json_value_set_file(&v_, f, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(write_out(v_), R"([1,{"k":"v"}])");
    EXPECT_EQ(write_out(v_), R"([1,{"k":"v"}])") << "read to its end, then rewound";
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 1);
    int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(tamsel_json_value_set_fd(&v_, fd, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.file, nullptr) << "the file is forgotten, not closed";
    EXPECT_EQ(write_out(v_), R"([1,{"k":"v"}])");
    EXPECT_EQ(write_out(v_), R"([1,{"k":"v"}])");
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 1);
    ASSERT_EQ(tamsel_json_value_set_path(&v_, path_.c_str(), nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(write_out(v_), R"([1,{"k":"v"}])");
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 1);
    std::fclose(f);
    close(fd);

    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(tamsel_json_value_set_fd(&v_, pipefd[0], nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 0);
    tamsel_status st;
    write_out(v_, &st);
    EXPECT_EQ(st, TAMSEL_STATUS_IO_ERROR);
    close(pipefd[0]);
    close(pipefd[1]);
}

TEST_F(JsonValue, InputFailuresAreReported) {
    tamsel_error e;
    ASSERT_EQ(tamsel_json_value_set_path(&v_, "/nonexistent/v.json", nullptr), TAMSEL_STATUS_OK);
    capture_sink sink;
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to open JSON value path '/nonexistent/v.json'");
    EXPECT_EQ(e.system_errno, ENOENT);

    std::ofstream(path_, std::ios::binary) << "[1,2] 3";
    ASSERT_EQ(tamsel_json_value_set_path(&v_, path_.c_str(), nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "embedded JSON must contain exactly one value");

    int fd = open(path_.c_str(), O_WRONLY);
    ASSERT_EQ(tamsel_json_value_set_fd(&v_, fd, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to read JSON value fd");
    EXPECT_EQ(e.system_errno, EBADF);
    close(fd);
}

TEST_F(JsonValue, ReaderHoldersAreWrittenOnceAndNotRewindable) {
    std::string text = "{\"a\": [true, null]}";
    tamsel_test::chunked_reader r{&text};
    r.step = 3;
    ASSERT_EQ(tamsel_json_value_set_reader(&v_, tamsel_test::chunked_reader::read, &r, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_json_value_is_rewindable(&v_), 0);
    EXPECT_EQ(write_out(v_), R"({"a":[true,null]})");
}

TEST_F(JsonValue, EachSideClearsTheOther) {
    FILE *f = std::fopen(path_.c_str(), "rb");
    ASSERT_EQ(tamsel_json_value_set_file(&v_, f, nullptr), TAMSEL_STATUS_OK);
    capture_sink sink;
    ASSERT_EQ(tamsel_json_value_set_parse_sink(&v_, capture_sink::write, &sink, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.kind, TAMSEL_JSON_NONE);
    EXPECT_EQ(v_.file, nullptr);
    EXPECT_EQ(v_.parse_mode, TAMSEL_JSON_PARSE_SINK);
    ASSERT_EQ(tamsel_json_value_set_file(&v_, f, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.parse_mode, TAMSEL_JSON_PARSE_NONE);
    EXPECT_EQ(v_.parse_sink, nullptr);
    tamsel_value_visitor visitor = tamsel_default_value_visitor();
    ASSERT_EQ(tamsel_json_value_set_parse_visitor(&v_, &visitor, nullptr, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.parse_visitor, &visitor);
    ASSERT_EQ(tamsel_json_value_enable_parse_capture(&v_, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(v_.parse_mode, TAMSEL_JSON_PARSE_CAPTURE);
    EXPECT_EQ(v_.parse_visitor, nullptr);
    std::fclose(f);
}

TEST_F(JsonValue, LimitsFollowTheRuntimeUntilTheCallerEditsThem) {
    tamsel_config c = tamsel_default_config();
    c.value_max_depth = 9;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    EXPECT_EQ(v.limits.max_depth, 9u);
    EXPECT_EQ(v.runtime_limits.max_depth, 9u);
    EXPECT_EQ(v.limits_follow_runtime, 1);
    v.limits.max_total_bytes = 10;
    capture_sink sink;
    ASSERT_EQ(tamsel_json_value_set_parse_sink(&v, capture_sink::write, &sink, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(v.limits_follow_runtime, 0);
    tamsel_json_value_cleanup(&v);
    EXPECT_EQ(v.limits.max_total_bytes, 10u) << "cleanup keeps the limits";
    tamsel_free(rt);
    tamsel_json_value_init(rt, &v); // a dead runtime gives the defaults
    EXPECT_EQ(v.limits.max_depth, 64u);
    tamsel_json_value_cleanup(&v);
}

TEST_F(JsonValue, ArgumentChecks) {
    tamsel_error e;
    EXPECT_EQ(tamsel_json_value_set_buffer(nullptr, "1", 1, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and buffer are required");
    EXPECT_EQ(tamsel_json_value_set_buffer(&v_, nullptr, 1, &e), 1u);
    EXPECT_EQ(tamsel_json_value_set_reader(&v_, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and reader are required");
    EXPECT_EQ(tamsel_json_value_set_file(&v_, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and FILE* are required");
    EXPECT_EQ(tamsel_json_value_set_fd(&v_, -1, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and non-negative fd are required");
    EXPECT_EQ(tamsel_json_value_set_path(&v_, "", &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and path are required");
    EXPECT_EQ(tamsel_json_value_set_parse_sink(&v_, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and parse sink are required");
    EXPECT_EQ(tamsel_json_value_set_parse_visitor(&v_, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle and parse visitor are required");
    EXPECT_EQ(tamsel_json_value_enable_parse_capture(nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle is required");
    EXPECT_EQ(tamsel_json_value_write_to_sink(nullptr, capture_sink::write, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "JSON value handle is required");
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "sink is required");
    EXPECT_EQ(tamsel_json_value_is_rewindable(nullptr), 0);
    tamsel_json_value_cleanup(nullptr);
    tamsel_json_value_init(nullptr, nullptr);
}

TEST_F(JsonValue, CopiesAndUninitialisedRecordsAreNeverFreed) {
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, "[1,2]", 5, nullptr), TAMSEL_STATUS_OK);
    tamsel_json_value copy = v_;
    EXPECT_FALSE(tamsel::visit::json_value_is_initialized(&copy));
    tamsel_json_value_cleanup(&copy); // would double-free if it trusted the copy
    EXPECT_EQ(copy.data, nullptr);
    EXPECT_EQ(write_out(v_), "[1,2]");
    tamsel_json_value garbage;
    std::memset(&garbage, 0xAB, sizeof garbage);
    EXPECT_EQ(tamsel_json_value_set_buffer(&garbage, "{}", 2, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(write_out(garbage), "{}");
    tamsel_json_value_cleanup(&garbage);
    tamsel_json_value_cleanup(&garbage);
}

TEST_F(JsonValue, SinkStatusesStopOrContinue) {
    std::ofstream(path_, std::ios::binary) << "[1, 2, 3]";
    ASSERT_EQ(tamsel_json_value_set_path(&v_, path_.c_str(), nullptr), TAMSEL_STATUS_OK);
    capture_sink sink;
    sink.answer = TAMSEL_STATUS_TRUNCATED;
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, nullptr),
              TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(sink.bytes, "[1,2,3]");
    sink = {};
    sink.answer = TAMSEL_STATUS_CALLBACK_FAILED;
    EXPECT_EQ(tamsel_json_value_write_to_sink(&v_, capture_sink::write, &sink, nullptr),
              TAMSEL_STATUS_CALLBACK_FAILED);
}

TEST_F(JsonValue, PrettyLayout) {
    const std::string text = R"({"a":[1,[],{}],"b":{"c":null}})";
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, text.data(), text.size(), nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(pretty(v_, 0), "{\n  \"a\": [\n    1,\n    [],\n    {}\n  ],\n  \"b\": {\n"
                             "    \"c\": null\n  }\n}");
    EXPECT_EQ(pretty(v_, 1), "{\n    \"a\": [\n      1,\n      [],\n      {}\n    ],\n"
                             "    \"b\": {\n      \"c\": null\n    }\n  }");
    ASSERT_EQ(tamsel_json_value_set_buffer(&v_, "[7]", 3, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(pretty(v_, 40), "[\n" + std::string(82, ' ') + "7\n" + std::string(80, ' ') + "]");
    capture_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel::visit::transcode_json_value(&v_, capture_sink::write, &sink, &e, true,
                                                  UINT64_MAX / 2),
              TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "JSON indentation depth is too large");
}

TEST_F(JsonValue, SetBufferAllocationFailuresKeepTheHolder) {
    const std::string text = slurp(std::string(TAMSEL_TEST_DATA) + "/corpus/github_events.json");
    tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
        tamsel_json_value v;
        tamsel_json_value_init_with_allocator(&v, a.get());
        tamsel_error e;
        tamsel_status st = tamsel_json_value_set_buffer(&v, text.data(), text.size(), &e);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(v.kind, TAMSEL_JSON_BUFFER);
        } else {
            EXPECT_EQ(v.kind, TAMSEL_JSON_NONE);
        }
        tamsel_json_value_cleanup(&v);
        return st;
    });
}

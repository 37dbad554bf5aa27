// tamsel stats against counts RapidJSON's SAX reader takes of the same documents.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <algorithm>
#include <cstdint>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

namespace {

struct counter : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, counter> {
    uint64_t objects = 0, arrays = 0, keys = 0, strings = 0, numbers = 0;
    uint64_t trues = 0, falses = 0, nulls = 0, depth = 0, max_depth = 0, longest = 0;
    bool Null() { return ++nulls; }
    bool Bool(bool b) { return ++(b ? trues : falses); }
    bool RawNumber(const char *, rapidjson::SizeType, bool) { return ++numbers; }
    bool String(const char *, rapidjson::SizeType len, bool) {
        longest = std::max<uint64_t>(longest, len);
        return ++strings;
    }
    bool Key(const char *, rapidjson::SizeType, bool) { return ++keys; }
    bool StartObject() { return open(++objects); }
    bool StartArray() { return open(++arrays); }
    bool EndObject(rapidjson::SizeType) { return --depth, true; }
    bool EndArray(rapidjson::SizeType) { return --depth, true; }
    bool open(uint64_t) {
        max_depth = std::max(max_depth, ++depth);
        return true;
    }
    std::string report(size_t bytes) const {
        auto line = [](const char *name, uint64_t v) {
            return std::string(name) + ": " + std::to_string(v) + "\n";
        };
        return line("objects", objects) + line("arrays", arrays) + line("keys", keys) +
               line("strings", strings) + line("numbers", numbers) + line("true", trues) +
               line("false", falses) + line("null", nulls) + line("max_depth", max_depth) +
               line("longest_string", longest) + line("bytes", bytes);
    }
};

} // namespace

TEST(ToolStats, CountsOfASmallDocument) {
    const std::string doc = "{\"a\": [1, 2.5, {}], \"b\": {\"c\": \"x\\u00e9\\n\"}, "
                            "\"e\": null, \"f\": true, \"g\": [false, \"\"]}\n";
    result r = run_with_input({"stats"}, doc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "objects: 3\narrays: 2\nkeys: 6\nstrings: 2\nnumbers: 2\ntrue: 1\n"
                     "false: 1\nnull: 1\nmax_depth: 3\nlongest_string: 4\nbytes: " +
                         std::to_string(doc.size()) + "\n");
    r = run_with_input({"stats"}, "7");
    EXPECT_EQ(r.out, "objects: 0\narrays: 0\nkeys: 0\nstrings: 0\nnumbers: 1\ntrue: 0\n"
                     "false: 0\nnull: 0\nmax_depth: 0\nlongest_string: 0\nbytes: 1\n");
}

TEST(ToolStats, CorpusCountsAgreeWithRapidJson) {
    for (const auto &f : tool_test::corpus_files()) {
        const std::string doc = tool_test::slurp(f);
        counter c;
        rapidjson::Reader reader;
        rapidjson::StringStream ss(doc.c_str());
        ASSERT_FALSE(reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(ss, c).IsError()) << f;
        result r = run({"stats", f});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.report(doc.size())) << f;
    }
}

TEST(ToolStats, InvalidAndUnreadableInputs) {
    result r = run_with_input({"stats"}, "{\"a\" 1}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "<stdin>:1:6: expected ':' after object key\n");
    r = run({"stats", "/nonexistent.json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: /nonexistent.json: No such file or directory\n");
}

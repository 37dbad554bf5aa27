// tamsel stats against the counts RapidJSON's SAX reader takes of the same documents.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <algorithm>
#include <cstdint>

using tool_test::result;
using tool_test::run;

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

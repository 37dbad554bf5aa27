// tamsel fmt with RapidJSON as the oracle: the output holds the same value, with the same
// members in the same order and the same number tokens, as the input.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

using tool_test::result;
using tool_test::run;

namespace {

constexpr unsigned parse_flags = rapidjson::kParseFullPrecisionFlag;

// Parses `text` with RapidJSON into `doc`; the reason on failure.
std::string parse(const std::string &text, rapidjson::Document *doc) {
    doc->Parse<parse_flags>(text.data(), text.size());
    if (!doc->HasParseError()) return "";
    return std::string(rapidjson::GetParseError_En(doc->GetParseError())) + " at " +
           std::to_string(doc->GetErrorOffset());
}

// Whether RapidJSON reads `a` and `b` as the same value (objects compare by member).
::testing::AssertionResult same_value(const std::string &a, const std::string &b) {
    rapidjson::Document da, db;
    std::string ea = parse(a, &da), eb = parse(b, &db);
    if (!ea.empty()) return ::testing::AssertionFailure() << "first: " << ea;
    if (!eb.empty()) return ::testing::AssertionFailure() << "second: " << eb;
    if (da != db) return ::testing::AssertionFailure() << "values differ";
    return ::testing::AssertionSuccess();
}

// RapidJSON's SAX events of a text, numbers as their text: equal logs mean the same members
// in the same order with the same number tokens (duplicate keys included).
struct event_log : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, event_log> {
    std::string log;
    bool add(char tag, const char *s = "", size_t n = 0) {
        log += tag;
        log += std::to_string(n) + ":";
        log.append(s, n);
        return true;
    }
    bool Null() { return add('n'); }
    bool Bool(bool b) { return add(b ? 't' : 'f'); }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool) { return add('#', s, n); }
    bool String(const char *s, rapidjson::SizeType n, bool) { return add('s', s, n); }
    bool Key(const char *s, rapidjson::SizeType n, bool) { return add('k', s, n); }
    bool StartObject() { return add('{'); }
    bool EndObject(rapidjson::SizeType) { return add('}'); }
    bool StartArray() { return add('['); }
    bool EndArray(rapidjson::SizeType) { return add(']'); }
};

::testing::AssertionResult same_events(const std::string &a, const std::string &b) {
    event_log la, lb;
    rapidjson::Reader ra, rb;
    rapidjson::MemoryStream sa(a.data(), a.size()), sb(b.data(), b.size());
    if (ra.Parse<rapidjson::kParseNumbersAsStringsFlag>(sa, la).IsError())
        return ::testing::AssertionFailure() << "first does not parse";
    if (rb.Parse<rapidjson::kParseNumbersAsStringsFlag>(sb, lb).IsError())
        return ::testing::AssertionFailure() << "second does not parse";
    if (la.log != lb.log) return ::testing::AssertionFailure() << "events differ";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(ToolFmt, CorpusOutputHoldsTheSameValueForRapidJson) {
    for (const auto &f : tool_test::corpus_files()) {
        const std::string original = tool_test::slurp(f);
        for (const char *mode : {"--compact", "--pretty=3"}) {
            result r = run({"fmt", mode, f});
            ASSERT_EQ(r.status, 0) << f << ": " << r.err;
            EXPECT_TRUE(same_value(original, r.out)) << f << " " << mode;
            EXPECT_TRUE(same_events(original, r.out)) << f << " " << mode;
        }
    }
}

TEST(ToolFmt, EveryYFileComesOutAsTheSameValue) {
    for (const auto &f : tool_test::suite_files("y_")) {
        const std::string original = tool_test::slurp(f);
        rapidjson::Document doc;
        if (!parse(original, &doc).empty()) continue; // not RapidJSON's to judge
        for (const char *mode : {"--compact", "--pretty"}) {
            result r = run({"fmt", mode, f});
            ASSERT_EQ(r.status, 0) << f << ": " << r.err;
            EXPECT_TRUE(same_events(original, r.out)) << f << " " << mode << ": " << r.out;
        }
    }
}

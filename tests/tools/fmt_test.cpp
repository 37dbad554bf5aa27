// tamsel fmt: layouts, round trips of the real-world documents, RapidJSON as the oracle of
// what the output holds, long strings, limits and failures.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <unistd.h>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

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

TEST(ToolFmt, PrettyLayoutWithEmptyContainers) {
    const std::string in =
        "{\"a\":[1,2.50,{}],\"b\":{\"c\":\"x\\u00e9\\n\\/\",\"d\":[]},\"e\":null,\"f\":true,"
        "\"g\":false,\"h\":[[]]}";
    result r = run_with_input({"fmt"}, in);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\n"
                     "  \"a\": [\n"
                     "    1,\n"
                     "    2.50,\n"
                     "    {}\n"
                     "  ],\n"
                     "  \"b\": {\n"
                     "    \"c\": \"x\xc3\xa9\\n/\",\n"
                     "    \"d\": []\n"
                     "  },\n"
                     "  \"e\": null,\n"
                     "  \"f\": true,\n"
                     "  \"g\": false,\n"
                     "  \"h\": [\n"
                     "    []\n"
                     "  ]\n"
                     "}\n");
    EXPECT_EQ(run_with_input({"fmt", "--pretty"}, in).out, r.out);
    r = run_with_input({"fmt", "--pretty=4"}, "{\"k\": [1]}");
    EXPECT_EQ(r.out, "{\n    \"k\": [\n        1\n    ]\n}\n");
}

TEST(ToolFmt, CompactLayoutAndScalarRoots) {
    result r = run_with_input({"fmt", "--compact"}, " { \"a\" : [ 1 , -0.0e+1 , \"\" ] } ");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"a\":[1,-0.0e+1,\"\"]}\n");
    EXPECT_EQ(run_with_input({"fmt", "--compact"}, "{}").out, "{}\n");
    EXPECT_EQ(run_with_input({"fmt"}, "[]").out, "[]\n");
    EXPECT_EQ(run_with_input({"fmt"}, " 12345678901234567890123 ").out,
              "12345678901234567890123\n");
    EXPECT_EQ(run_with_input({"fmt"}, "null").out, "null\n");
    // The last option of the two wins.
    EXPECT_EQ(run_with_input({"fmt", "--pretty", "--compact"}, "[1]").out, "[1]\n");
}

TEST(ToolFmt, EscapesControlCharactersAndQuotesInKeysAndStrings) {
    result r =
        run_with_input({"fmt", "--compact"},
                       "{\"k\\\"\\u0001\\t\": \"\\\\\\b\\f\\r\\u001f\\u007f\\ud83d\\ude00\"}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"k\\\"\\u0001\\t\":\"\\\\\\b\\f\\r\\u001f\x7f\xf0\x9f\x98\x80\"}\n");
}

TEST(ToolFmt, CorpusRoundTripsThroughPretty) {
    for (const auto &f : tool_test::corpus_files()) {
        result compact = run({"fmt", "--compact", f});
        ASSERT_EQ(compact.status, 0) << f << ": " << compact.err;
        const std::string pretty_path = tool_test::temp_path("pretty.json");
        result pretty = run({"fmt", "--pretty", f}, nullptr, pretty_path.c_str());
        ASSERT_EQ(pretty.status, 0) << f << ": " << pretty.err;
        result again = run({"fmt", "--compact", pretty_path});
        EXPECT_EQ(again.status, 0);
        EXPECT_TRUE(again.out == compact.out) << f;
        unlink(pretty_path.c_str());
    }
}

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

TEST(ToolFmt, InvalidInputStopsWithThePositionAndKeepsWhatWasWritten) {
    result r = run_with_input({"fmt", "--compact"}, "[1, 2, {\"a\": tru}]");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[1,2,{\"a\":");
    EXPECT_EQ(r.err, "<stdin>:1:17: invalid JSON literal\n");
    for (const auto &f : tool_test::suite_files("n_")) {
        result n = run({"fmt", f});
        EXPECT_EQ(n.status, 1) << f;
        EXPECT_EQ(n.err.rfind(f + ":", 0), 0u) << f << ": " << n.err;
    }
}

TEST(ToolFmt, StringsAndKeysLongerThanTheDefaultLimitsStream) {
    const std::string big(3 << 20, 'y'); // 3 MiB: over the visitor's 1 MiB default
    const std::string doc = "{\"" + big + "\": \"" + big + "\\n\"}";
    result r = run_with_input({"fmt", "--compact"}, doc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == "{\"" + big + "\":\"" + big + "\\n\"}\n");
    r = run_with_input({"fmt", "--max-string=1000"}, doc);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("<stdin>:1:", 0), 0u) << r.err;
}

TEST(ToolFmt, MaxDepthIsTheRuntimes) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    result r = run_with_input({"fmt"}, deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("<stdin>:1:65: ", 0), 0u) << r.err;
    r = run_with_input({"fmt", "--compact", "--max-depth=100"}, deep);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, deep + "\n");
}

TEST(ToolFmt, FailuresToReadOrWrite) {
    result r = run({"fmt", "/nonexistent.json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: /nonexistent.json: No such file or directory\n");
    if (access("/dev/full", W_OK) == 0) {
        r = run({"fmt", tool_test::corpus_files()[0]}, nullptr, "/dev/full");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "tamsel: <stdout>: No space left on device\n");
    }
    EXPECT_EQ(run_with_input({"fmt"}, "").status, 1);
}

// tamsel validate: the conformance suite, positions of errors, unreadable inputs, stdin and
// JSON Lines.
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <regex>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

namespace {

// Lines of `text`, without their newlines.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

std::string cut(const std::string &text, size_t len) {
    return text.substr(0, len);
}

} // namespace

TEST(ToolValidate, AcceptsEveryYFileSilently) {
    auto files = tool_test::suite_files("y_");
    ASSERT_EQ(files.size(), 95u);
    result r = run([&] {
        std::vector<std::string> a{"validate"};
        a.insert(a.end(), files.begin(), files.end());
        return a;
    }());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(ToolValidate, RejectsEveryNFileWithOnePositionEach) {
    auto files = tool_test::suite_files("n_");
    ASSERT_GT(files.size(), 180u);
    std::vector<std::string> args{"validate"};
    args.insert(args.end(), files.begin(), files.end());
    result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), files.size()) << r.err;
    const std::regex shape("^(.*):([0-9]+):([0-9]+): [a-z].*$");
    for (size_t i = 0; i < files.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i];
        EXPECT_EQ(m[1].str(), files[i]);
    }
}

TEST(ToolValidate, ImplementationDefinedFilesGiveZeroOrOne) {
    for (const auto &f : tool_test::suite_files("i_")) {
        result r = run({"validate", f});
        EXPECT_TRUE(r.status == 0 || r.status == 1) << f << ": " << r.err;
    }
}

TEST(ToolValidate, ReportsTheLibrarysPositionOfTheFaultyByte) {
    // Multi-line input: the second comma on line 3 is the 7th byte of that line.
    result r = run_with_input({"validate"}, "{\n  \"a\": [\n    1,, 2]\n}\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:3:7: expected JSON value\n");
    // A fault injected into a real document is found where it was put.
    const std::string doc = tool_test::slurp(tool_test::corpus_files()[2]); // github_events
    const size_t at = doc.find("\"type\"", 5000);
    ASSERT_NE(at, std::string::npos);
    std::string bad = doc;
    bad[at] = '#';
    const std::string path = tool_test::temp_path("bad.json");
    tool_test::spit(path, bad);
    size_t line = 1 + static_cast<size_t>(std::count(doc.begin(), doc.begin() + at, '\n'));
    size_t column = at - doc.rfind('\n', at);
    r = run({"validate", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err.rfind(path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ", 0), 0u)
        << r.err;
}

TEST(ToolValidate, TruncatedDocumentsAreInvalidAtTheirEnd) {
    for (const auto &f : tool_test::corpus_files()) {
        const std::string doc = tool_test::slurp(f);
        for (size_t len : {size_t{1}, doc.size() / 3, doc.size() / 2, doc.size() - 2}) {
            result r = run_with_input({"validate", "-"}, cut(doc, len));
            EXPECT_EQ(r.status, 1) << f << " cut at " << len;
            EXPECT_EQ(r.err.rfind("<stdin>:", 0), 0u) << r.err;
        }
    }
}

TEST(ToolValidate, CorpusDocumentsAreValid) {
    std::vector<std::string> args{"validate"};
    for (const auto &f : tool_test::corpus_files())
        args.push_back(f);
    result r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(ToolValidate, UnreadableInputsAreIoErrors) {
    result r = run({"validate", "/nonexistent/x.json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: /nonexistent/x.json: No such file or directory\n");
    r = run({"validate", "/"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: /: Is a directory\n");
    // Every input is still checked; the worst outcome decides the status.
    const std::string bad = tool_test::temp_path("bad.json");
    tool_test::spit(bad, "[1,]");
    r = run({"validate", bad, "/nonexistent/x.json", tool_test::corpus_files()[2]});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines_of(r.err).size(), 2u) << r.err;
}

TEST(ToolValidate, EmptyInputIsInvalid) {
    for (const char *text : {"", "  \n "}) {
        result r = run_with_input({"validate"}, text);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "<stdin>:1:1: empty input\n");
    }
}

TEST(ToolValidate, ReadsStdinWithoutFileOrWithDash) {
    EXPECT_EQ(run_with_input({"validate"}, "[1, {\"a\": null}]\n").status, 0);
    EXPECT_EQ(run_with_input({"validate", "-"}, "\"x\"").status, 0);
    EXPECT_EQ(run_with_input({"validate", "--", "-"}, "tru").status, 1);
}

TEST(ToolValidate, AnyValidDocumentPassesUnderTheDefaults) {
    // Deep nesting and keys and strings of any length are valid JSON, whatever the library's
    // mapped-parse workspace could hold.
    const auto nested = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_EQ(run_with_input({"validate"}, nested(100)).status, 0);
    EXPECT_EQ(run_with_input({"validate"}, nested(10000)).status, 0);
    const std::string key(100000, 'k');
    result r = run_with_input({"validate"}, "{\"" + key + "\": \"" + key + "\"}");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_with_input({"validate", "--lines"}, "{\"" + key + "\": 1}\n" + nested(5000) + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(ToolValidate, OnlyALimitTheUserSetIsReportedAndItIsNamed) {
    const std::string deep = std::string(20, '[') + std::string(20, ']');
    result r = run_with_input({"validate", "--max-depth=10"}, deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:11: nesting exceeds --max-depth 10\n");
    r = run_with_input({"validate"}, std::string(10001, '[') + std::string(10001, ']'));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:10001: nesting exceeds --max-depth 10000\n");
    r = run_with_input({"validate", "--max-string=3"}, "{\"k\": \"abcd\"}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:11: string exceeds --max-string 3\n");
    r = run_with_input({"stats", "--max-string=3"}, "[\"abcd\"]");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.find(": ") + 2), "string exceeds --max-string 3\n");
}

TEST(ToolValidate, CommandsShareOneVocabulary) {
    for (const char *text : {"tru", "[1,]", "{\"a\" 1}", "\"\x01\"", "[1] x"}) {
        const std::string want = run_with_input({"validate"}, text).err;
        EXPECT_EQ(run_with_input({"fmt"}, text).err, want) << text;
        EXPECT_EQ(run_with_input({"stats"}, text).err, want) << text;
    }
}

// validate, fmt, items and rewrite check UTF-8 by default and name the option that accepts
// ill-formed text; with --no-utf8-check the bytes pass through as before.
TEST(ToolValidate, IllFormedUtf8IsInvalidUnlessAccepted) {
    const std::string bad = "[\"\xFF\xFE\"]";
    const std::string hint = " (--no-utf8-check accepts it)\n";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"validate"}, {"fmt"}, {"items"}, {"rewrite", "--drop", "x"}}) {
        result r = run_with_input(args, bad);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "<stdin>:1:3: invalid UTF-8 in string" + hint) << args[0];
        std::vector<std::string> off = args;
        off.push_back("--no-utf8-check");
        r = run_with_input(off, bad);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        if (args[0] != "validate") {
            EXPECT_NE(r.out.find("\xFF\xFE"), std::string::npos) << args[0] << ": " << r.out;
        }
        EXPECT_NE(run({args[0], "--help"}).out.find("--no-utf8-check"), std::string::npos);
    }
    result r = run_with_input({"validate"}, "{\"ok\": 1, \"\xE2\x82\": 2}");
    EXPECT_EQ(r.err, "<stdin>:1:14: invalid UTF-8 in key" + hint);
    r = run_with_input({"validate", "--lines"}, "[\"\xC3\xA9\"]\n[\"\xC3\"]\n");
    EXPECT_EQ(r.err, "<stdin>:2:4: invalid UTF-8 in string" + hint);
    EXPECT_EQ(run_with_input({"validate", "--lines", "--no-utf8-check"}, "[\"\xC3\"]\n").status, 0);
}

TEST(ToolValidateLines, ReportsEveryBadLineWithItsLineAndColumn) {
    const std::string text = "{\"a\": 1}\n"     // 1
                             "\n"               // 2: blank, skipped
                             "  \t \n"          // 3: whitespace only, skipped
                             "[1, 2\n"          // 4: ends early
                             "  {\"x\": tru}\n" // 5: leading blanks keep their columns
                             "3\r\n"            // 6: CRLF
                             "1 2\n"            // 7: two values
                             "null";            // 8: no final newline
    result r = run_with_input({"validate", "--lines"}, text);
    EXPECT_EQ(r.status, 1);
    auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_EQ(lines[0].rfind("<stdin>:4:", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "<stdin>:5:12: invalid JSON literal");
    EXPECT_EQ(lines[2].rfind("<stdin>:7:3: ", 0), 0u) << lines[2];
}

TEST(ToolValidateLines, ValidFilesAndEmptyFilesPass) {
    EXPECT_EQ(run_with_input({"validate", "--lines"}, "").status, 0);
    EXPECT_EQ(run_with_input({"validate", "--lines"}, "\n\n").status, 0);
    result r = run_with_input({"validate", "--lines"}, "{}\n[]\n\"s\"\n-1.5e3\ntrue\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(ToolValidateLines, LinesLongerThanTheReadWindow) {
    // Lines of 200 KB cross the tool's 64 KiB window several times.
    const std::string big(200000, 'x');
    std::string text = "\"" + big + "\"\n";
    text += "[\"" + big + "\", 1,]\n";
    text += "\"" + big + "\"\n";
    result r = run_with_input({"validate", "--lines"}, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:2:" + std::to_string(big.size() + 8) + ": expected JSON value\n");
}

TEST(ToolValidateLines, EachLineOfACorpusDocumentCompacted) {
    // A compact document per line, from fmt, and one faulty copy among them.
    std::string text;
    for (const auto &f : tool_test::corpus_files())
        text += run({"fmt", "--compact", f}).out;
    std::string faulty = run({"fmt", "--compact", tool_test::corpus_files()[5]}).out;
    faulty[1000] = '\x01';
    text += faulty;
    result r = run_with_input({"validate", "--lines"}, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("<stdin>:7:1001: ", 0), 0u) << r.err;
}

TEST(ToolValidateLines, EveryLineIsCheckedWhateverCrossesTheWindow) {
    // Runs of blanks and lines of content around the 64 KiB window, one after another, so each
    // starts at another offset in it; each is followed by a bad line that must be found.
    std::string text, want;
    size_t line = 0;
    const auto add = [&](const std::string &l, size_t bad_column) {
        text += l + "\n";
        ++line;
        if (bad_column)
            want += "<stdin>:" + std::to_string(line) + ":" + std::to_string(bad_column) + ": ";
        return line;
    };
    const auto blanks = [](size_t n) {
        std::string b(n, ' ');
        for (size_t i = 0; i < n; i += 7)
            b[i] = i % 2 ? '\t' : '\r';
        return b;
    };
    for (size_t n : {size_t{65534}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{131072},
                     size_t{200001}}) {
        add(blanks(n), 0); // a blank line
        add("{not json", 2);
        want += "expected object key\n";
        add(blanks(n) + "[1,]", n + 4); // blanks, then a bad value
        want += "expected JSON value\n";
        add(blanks(n) + "\"" + std::string(n, 's') + "\"", 0); // blanks, then a long line
        add(std::string(n - 2, ' ') + "\"" + std::string(n, 's') + "\" 1", 2 * n + 2);
        want += "unexpected data after the JSON value\n";
        add("\"" + std::string(n - 2, 'x') + "\"", 0); // content of exactly n bytes
        add("[" + std::string(n, '1') + ",]", n + 3);
        want += "expected JSON value\n";
    }
    result r = run_with_input({"validate", "--lines"}, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, want);
}

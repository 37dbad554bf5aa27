// tamsel fmt: layouts, round trips of the real-world documents, long strings, limits and
// failures (RapidJSON as the oracle of what the output holds: fmt_rapidjson_test.cpp).
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

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
    result r = run_with_input({"fmt", "--max-depth=64"}, deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:65: nesting exceeds --max-depth 64\n");
    r = run_with_input({"fmt", "--compact"}, deep);
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

TEST(ToolFmt, WaitsOnNonBlockingStdinAndStdout) {
    // Descriptors another process left non-blocking: the input arrives late and the output
    // (4 KB of nesting laid out as 8 MB) fills its pipe before it is read.
    const std::string doc = std::string(2000, '[') + std::string(2000, ']');
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    fcntl(in[0], F_SETFL, O_NONBLOCK);
    fcntl(out[1], F_SETFL, O_NONBLOCK);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(TAMSEL_TOOL, TAMSEL_TOOL, "fmt", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    usleep(100000);
    // in[0] stays open here until written to, so a tool that gave up leaves no broken pipe.
    EXPECT_EQ(write(in[1], doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
    close(in[1]);
    close(in[0]);
    usleep(100000);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    const std::string expected = run_with_input({"fmt"}, doc).out;
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);
}

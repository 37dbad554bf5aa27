// The tool's command line: help, version, usage errors and their exit status.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <tamsel.h>

using tool_test::result;
using tool_test::run;

TEST(ToolUsage, HelpAndVersion) {
    result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: tamsel COMMAND", 0), 0u);
    for (const char *command : {"validate", "fmt", "stats"}) {
        r = run({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: tamsel ") + command, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("tamsel ") + TAMSEL_VERSION_STRING + "\n");
}

TEST(ToolUsage, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"validate", "--bogus"},
        {"validate", "-x"},
        {"validate", "--max-depth"},
        {"validate", "--max-depth=0"},
        {"validate", "--max-depth=-3"},
        {"validate", "--max-string=10"},
        {"fmt", "--pretty=0"},
        {"fmt", "--pretty=17"},
        {"fmt", "--pretty=two"},
        {"fmt", "--max-string=1k"},
        {"fmt", "a.json", "b.json"},
        {"stats", "a.json", "b.json"},
        {"stats", "--lines"},
    };
    for (const auto &args : cases) {
        result r = run(args);
        std::string joined;
        for (const auto &a : args)
            joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_EQ(r.out, "") << joined;
        EXPECT_FALSE(r.err.empty()) << joined;
    }
}

TEST(ToolUsage, OptionsMayFollowFilesUntilDoubleDash) {
    const std::string path = tool_test::temp_path("doc.json");
    tool_test::spit(path, "[1]");
    EXPECT_EQ(run({"fmt", path, "--compact"}).out, "[1]\n");
    // After --, "--compact" is a file name.
    result r = run({"fmt", "--", "--compact"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: --compact: No such file or directory\n");
}

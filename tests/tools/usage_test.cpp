// The tool's command line: help, version, usage errors and their exit status.
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <tamsel.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

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
    // Text that cannot be written is a failure, not a success.
    if (access("/dev/full", W_OK) == 0) {
        for (const char *arg : {"--help", "--version"}) {
            r = run({arg}, nullptr, "/dev/full");
            EXPECT_EQ(r.status, 2) << arg;
            EXPECT_EQ(r.err, "tamsel: <stdout>: No space left on device\n");
        }
        EXPECT_EQ(run({"items", "--help"}, nullptr, "/dev/full").status, 2);
    }
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
        {"validate", "--max-string=0"},
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

// The man page and the help texts describe the same commands and options.
TEST(ToolUsage, ManPageCoversEveryCommandAndOption) {
    std::ifstream in(std::string(TAMSEL_SOURCE_DIR) + "/man/tamsel.1");
    std::stringstream text;
    text << in.rdbuf();
    const std::string man = text.str();
    ASSERT_FALSE(man.empty());
    const std::string top = run({"--help"}).out;
    const std::regex command_line("\n  ([a-z]+)  ");
    std::set<std::string> commands;
    for (std::sregex_iterator it(top.begin(), top.end(), command_line), end; it != end; ++it)
        commands.insert((*it)[1]);
    ASSERT_GE(commands.size(), 3u) << top;
    const std::regex option("--([a-z][a-z-]*)");
    for (const auto &command : commands) {
        const size_t at = man.find("\n.SS " + command + "\n");
        ASSERT_NE(at, std::string::npos) << "no section for " << command;
        const size_t next = man.find("\n.S", at + 1);
        const std::string section = man.substr(at, next - at);
        const std::string help = run({command, "--help"}).out;
        for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
            std::string name = (*it)[1];
            std::string in_roff;
            for (char c : name)
                in_roff += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(section.find("\\-\\-" + in_roff), std::string::npos)
                << command << " --" << name << " is not in its man page section";
        }
    }
}

// tamsel stats: the counts of a small document, invalid and unreadable inputs.
#include "run_tool.hpp"

#include <gtest/gtest.h>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

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

TEST(ToolStats, InvalidAndUnreadableInputs) {
    result r = run_with_input({"stats"}, "{\"a\" 1}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "<stdin>:1:6: expected ':' after object key\n");
    r = run({"stats", "/nonexistent.json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel: /nonexistent.json: No such file or directory\n");
}

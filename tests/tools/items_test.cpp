// tamsel items: items as JSON Lines from root and member arrays, paths, inputs that only their
// size, depth or whitespace makes hard, errors with positions after the items before them, and
// the usage errors.
#include "run_tool.hpp"

#include <gtest/gtest.h>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

TEST(ToolItems, RootAndMemberArraysAsJsonLines) {
    result r =
        run_with_input({"items"}, " [ {\"a\" : [1, 2]},\n\"s\\u00e9\", 3.5 ,true,null,[] ]\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"a\":[1,2]}\n\"s\\u00e9\"\n3.5\ntrue\nnull\n[]\n");
    r = run_with_input({"items", "--path", "data", "--compact"},
                       "{\"meta\":{\"n\":2},\"data\":[{\"id\":1},{\"id\":2}]}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"id\":1}\n{\"id\":2}\n");
    r = run_with_input({"items"}, "[]");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // Every corpus array gives one line per item, each a valid JSON value.
    const std::string path = tool_test::temp_path("statuses.jsonl");
    r = run({"items", "--path", "statuses", std::string(TAMSEL_TEST_DATA) + "/corpus/twitter.json"},
            nullptr, path.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"validate", "--lines", path});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string lines = tool_test::slurp(path);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 100);
}

TEST(ToolItems, PathsOfMembersAndElements) {
    result r = run_with_input({"items", "--path", "data.items"},
                              "{\"data\":{\"n\":1,\"items\":[1,{\"b\" : 2}]},\"more\":[]}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n{\"b\":2}\n");
    r = run_with_input({"items", "--path", "a\\.b.1.c"}, "{\"a.b\":[{\"c\":0},{\"c\":[\"x\"]}]}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\"x\"\n");
    r = run_with_input({"items", "--path", "data.items"}, "{\"data\":{\"item\":[]}}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:20: selected array field was not found: no member \"items\" in "
                     "\"data\"\n");
}

// Valid documents that only their shape makes hard pass under the defaults, in bounded memory.
TEST(ToolItems, DeepItemsWhitespaceAndManyKeysPass) {
    const std::string deep = "[" + std::string(1000, '[') + std::string(1000, ']') + ",1]";
    result r = run_with_input({"items"}, deep);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(1000, '[') + std::string(1000, ']') + "\n1\n");
    r = run_with_input({"items", "--max-depth=999"}, deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:1001: nesting exceeds --max-depth 999\n");
    r = run_with_input({"items"}, "[[1," + std::string(100000, ' ') + "2]]");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[1,2]\n");
    std::string keys = "{";
    for (int i = 0; i < 50000; ++i)
        keys += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    r = run_with_input({"items", "--path", "items"}, keys + "\"items\":[1,2]}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n2\n");
    r = run_with_input({"rewrite", "--keep-items", "items", "--where", "a=1"},
                       keys + "\"items\":[{\"a\":1},{\"a\":2}]}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 19), "\"items\":[{\"a\":1}]}\n");
    keys.back() = '}';
    r = run_with_input({"items"}, "[" + keys + "]");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, keys + "\n");
}

TEST(ToolItems, ErrorsAreReportedWithTheirPositionAfterTheItemsBefore) {
    result r = run_with_input({"items"}, "[1,\n{\"a\":1,\"a\":2}]");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.err, "<stdin>:2:10: duplicate object field\n");
    r = run_with_input({"items", "--path", "x"}, "{\"y\":[]}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:8: selected array field was not found: no member \"x\" in the "
                     "root object\n");
    r = run_with_input({"items"}, " {}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:1:2: the root is an object, not an array: name the array with "
                     "--path (--path items, --path data.items)\n");
    r = run_with_input({"items"}, "3");
    EXPECT_EQ(r.err, "<stdin>:1:1: selected JSON value is not an array\n");
    r = run_with_input({"items"}, "[1] 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.err, "<stdin>:1:5: unexpected data after root array\n");
}

TEST(ToolItems, UsageErrors) {
    result r = run({"items", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: tamsel items"), std::string::npos);
    r = run({"items", "--path", "a.", "/dev/null"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamsel items: array stream selector contains empty segment\n");
    r = run({"items", "a", "b"});
    EXPECT_EQ(r.status, 2);
    r = run({"items", "/nonexistent/file.json"});
    EXPECT_EQ(r.status, 2);
    r = run({"--help"});
    EXPECT_NE(r.out.find("items"), std::string::npos);
}

// tamsel rewrite: its three edits against jq's equivalent programs on the corpus (both outputs
// normalised by jq, so only the documents are compared), errors with positions, usage errors.
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

namespace {

bool have_jq() {
    return std::system("jq --version >/dev/null 2>&1") == 0;
}

// `jq -c PROGRAM` over `in` into `out`.
void jq(const std::string &program, const std::string &in, const std::string &out) {
    const std::string cmd = "jq -c '" + program + "' '" + in + "' > '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

} // namespace

TEST(ToolRewrite, AgreesWithJqOnTheCorpus) {
    if (!have_jq()) GTEST_SKIP() << "jq is not installed (scripts/ensure-deps.sh test)";
    struct form {
        const char *file;
        std::vector<std::string> args;
        const char *program;
    };
    const form forms[] = {
        {"canada.json", {"--drop", "type"}, "del(.type)"},
        {"canada.json",
         {"--set", "features.0.type=[1,{\"a\":null}]"},
         ".features[0].type = [1,{\"a\":null}]"},
        {"canada.json",
         {"--keep-items", "features", "--where", "type=\"Feature\""},
         ".features |= map(select(.type == \"Feature\"))"},
        {"citm_catalog.json", {"--drop", "areaNames.205705993"}, "del(.areaNames[\"205705993\"])"},
        {"citm_catalog.json",
         {"--set", "events.138586341.extra.deep=1"},
         ".events[\"138586341\"].extra.deep = 1"},
        {"citm_catalog.json",
         {"--keep-items", "performances", "--where", "venueCode=\"PLEYEL_PLEYEL\""},
         ".performances |= map(select(.venueCode == \"PLEYEL_PLEYEL\"))"},
        {"github_events.json", {"--drop", "0.actor"}, "del(.[0].actor)"},
        {"github_events.json",
         {"--keep-items", "", "--where", "type=\"PushEvent\""},
         "map(select(.type == \"PushEvent\"))"},
        {"gsoc-2018.json", {"--set", "1.new=\"x\""}, ".[\"1\"].new = \"x\""},
        {"mesh.json", {"--drop", "batches"}, "del(.batches)"},
        {"twitter.json", {"--drop", "statuses.0.user"}, "del(.statuses[0].user)"},
        {"twitter.json", {"--set", "search_metadata.count=1"}, ".search_metadata.count = 1"},
        {"twitter.json",
         {"--keep-items", "statuses", "--where", "lang=\"ja\""},
         ".statuses |= map(select(.lang == \"ja\"))"},
    };
    const std::string ours = tool_test::temp_path("ours.json");
    const std::string ours_norm = tool_test::temp_path("ours-norm.json");
    const std::string theirs = tool_test::temp_path("theirs.json");
    for (const form &f : forms) {
        const std::string doc = std::string(TAMSEL_TEST_DATA) + "/corpus/" + f.file;
        std::vector<std::string> args{"rewrite"};
        args.insert(args.end(), f.args.begin(), f.args.end());
        args.push_back(doc);
        result r = run(args, nullptr, ours.c_str());
        ASSERT_EQ(r.status, 0) << f.file << " " << f.program << ": " << r.err;
        jq(".", ours, ours_norm);
        jq(f.program, doc, theirs);
        EXPECT_TRUE(tool_test::slurp(ours_norm) == tool_test::slurp(theirs))
            << f.file << " " << f.program;
        // Laid out, the same document as tamsel fmt lays out the compact one.
        args.insert(args.end() - 1, "--pretty=3");
        r = run(args, nullptr, ours_norm.c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        r = run({"fmt", "--pretty=3", ours}, nullptr, theirs.c_str());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(tool_test::slurp(ours_norm) == tool_test::slurp(theirs)) << f.file;
    }
}

TEST(ToolRewrite, PrettyOutputKeepsStringsAndEmptyContainers) {
    const std::string in = "{\"a\":[],\"b\":{},\"s\":\"x\\\",{}[]:\\\\\",\"n\":[1,{\"c\":null}]}";
    result r = run_with_input({"rewrite", "--pretty", "--drop", "zz"}, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\n  \"a\": [],\n  \"b\": {},\n  \"s\": \"x\\\",{}[]:\\\\\",\n"
                     "  \"n\": [\n    1,\n    {\n      \"c\": null\n    }\n  ]\n}\n");
    EXPECT_EQ(run({"rewrite", "--pretty=0", "--drop", "a"}).status, 2);
}

TEST(ToolRewrite, ErrorsAndUsage) {
    result r = run_with_input({"rewrite", "--set", "a.b=1"}, "{\"a\":{},\n\"c\":[1,]}");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("<stdin>:2:"), std::string::npos) << r.err;
    r = run_with_input({"rewrite", "--set", "list.0.x=1"}, "{}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tamsel rewrite: <stdin>: cannot set list.0.x: a missing array element is "
                     "not created\n");
    EXPECT_EQ(r.out, "{"); // nothing of the member it would have created
    r = run_with_input({"rewrite", "--drop", "a.b"}, "{\"a\":1}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"a\":1}\n");
    r = run_with_input({"rewrite", "--set", "a\\.b=[ 1 ]"}, "{\"a.b\":0,\"a\":{\"b\":0}}");
    EXPECT_EQ(r.out, "{\"a.b\":[1],\"a\":{\"b\":0}}\n");
    r = run_with_input({"rewrite", "--keep-items", "x", "--where", "k=1"}, "{\"y\":[]}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(run({"rewrite", "--drop", "a", "--set", "b=1"}).status, 2);
    EXPECT_EQ(run({"rewrite", "--keep-items", "a"}).status, 2);
    EXPECT_EQ(run({"rewrite", "--set", "a=[1"}).status, 2);
}

TEST(ToolRewrite, SetCreatesNoMoreLevelsThanTheDepthLimitAndNamesItsPath) {
    result r = run_with_input({"rewrite", "--max-depth=3", "--set", "a.b.c=1"}, "{}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"a\":{\"b\":{\"c\":1}}}\n");
    r = run_with_input({"rewrite", "--max-depth=3", "--set", "a.b.c.d=1"}, "{}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tamsel rewrite: <stdin>: cannot set a.b.c.d: it has more levels than "
                     "--max-depth 3\n");
    // 20,000 levels under the default limit, laid out: refused before anything is written,
    // the path named by its start.
    std::string deep = "a";
    for (int i = 1; i < 20000; ++i)
        deep += ".a";
    r = run_with_input({"rewrite", "--pretty=16", "--set", deep + "=1"}, "{}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tamsel rewrite: <stdin>: cannot set " + deep.substr(0, 64) +
                         "...: it has more levels than --max-depth 10000\n");
    // A missing array element names the path; a digit-only name is a member of an object.
    r = run_with_input({"rewrite", "--set", "a.100.x=1"}, "{\"a\":[1]}");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("tamsel rewrite: <stdin>: cannot set a.100.x: ", 0), 0u) << r.err;
    r = run_with_input({"rewrite", "--set", "0=1"}, "{}");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"0\":1}\n");
}

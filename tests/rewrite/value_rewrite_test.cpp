// The value rewrite: keep-all reproduces the compact document, every action at its target,
// created targets, CALLBACK events, every split of the input, every door, errors and
// allocation failures.
#include "rewrite_support.hpp"
#include "support/counting_allocator.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

using namespace rewrite_test;

namespace {

tamsel_status write_one(tamsel_writer *w, void *, tamsel_error *e) {
    return tamsel_writer_i64(w, 1, e);
}

struct run_result {
    tamsel_status status;
    std::string out;
    std::string message;
};

run_result run(tamsel_runtime *rt, const std::string &json, const char *selector, int action,
               tamsel_value_rewrite_source replacement = {write_one, nullptr, nullptr, nullptr,
                                                          nullptr}) {
    tamsel_value_rewrite_selector_options o{};
    o.selector = selector;
    o.action = action;
    o.replacement = replacement;
    capture c;
    tamsel_error e{};
    tamsel_status st = tamsel_value_rewrite_selector_buffer(rt, json.data(), json.size(),
                                                            capture::sink, &c, &o, &e);
    return {st, c.out, e.message};
}

struct rt_holder {
    tamsel_runtime *rt = roomy_runtime();
    ~rt_holder() { tamsel_free(rt); }
};

} // namespace

TEST(ValueRewrite, KeepAllIsTheCompactDocumentForEveryCorpusFile) {
    rt_holder h;
    for (const char *name : corpus_names) {
        const std::string json = load_corpus(name);
        run_result r = run(h.rt, json, "no.such.member", TAMSEL_VALUE_REWRITE_KEEP);
        ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << name << ": " << r.message;
        EXPECT_TRUE(r.out == compact(h.rt, json)) << name;
    }
}

TEST(ValueRewrite, ActionsAtTheirTargets) {
    rt_holder h;
    struct row {
        const char *in, *selector;
        int action;
        tamsel_status status;
        const char *out_or_message;
    };
    const int K = TAMSEL_VALUE_REWRITE_KEEP, D = TAMSEL_VALUE_REWRITE_DROP,
              R = TAMSEL_VALUE_REWRITE_REPLACE;
    const row rows[] = {
        {R"({"a":{"x":0}})", "a.b", R, 0, R"({"a":{"x":0,"b":1}})"},
        {R"({"z":0})", "a.b.c", R, 0, R"({"z":0,"a":{"b":{"c":1}}})"},
        {R"({})", "a", R, 0, R"({"a":1})"},
        {R"({"items":[0,1,2,3]})", "items.2", D, 0, R"({"items":[0,1,3]})"},
        {R"({"items":[0,1,2,3]})", "items.0", D, 0, R"({"items":[1,2,3]})"},
        {R"({"items":[0,1,2,3]})", "items.3", D, 0, R"({"items":[0,1,2]})"},
        {R"({"items":[0,1,2]})", "items.5", R, 3, "value rewrite target was not found"},
        {R"({"items":[0,1,2]})", "items.07", R, 3, "value rewrite target was not found"},
        {R"({"a":1})", "list.0.x", R, 3, "value rewrite cannot synthesize a missing array index"},
        {R"({})", "0", R, 0, R"({"0":1})"},
        {R"({"x":{"a":2}})", "x.0.y", R, 0, R"({"x":{"a":2,"0":{"y":1}}})"},
        {R"({"a.b":{"c":2},"a":{"b":3}})", "a\\.b.c", R, 0, R"({"a.b":{"c":1},"a":{"b":3}})"},
        {R"({"a":1})", "", D, 1, "value rewrite cannot drop the root value"},
        {R"({"a":1})", "b", K, 0, R"({"a":1})"},
        {R"({"a":1})", "b", D, 3, "value rewrite target was not found"},
        {R"({"a":{"b":[1,{"c":true}]},"d":null})", "a.b.1.c", R, 0,
         R"({"a":{"b":[1,{"c":1}]},"d":null})"},
        {R"({"a":{"b":[1,{"c":true}]},"d":null})", "a.b", D, 0, R"({"a":{},"d":null})"},
        {R"({"a":"s\u00e9\n","b":-1.5e3})", "b", R, 0, "{\"a\":\"s\xc3\xa9\\n\",\"b\":1}"},
        {R"([1,2])", "", R, 0, "1"},
        {R"({"a":1})", "a..b", K, 1, "value rewrite selector contains empty segment"},
        {R"({"a":1})", "a\\", K, 1, "value rewrite selector ends with an escape"},
        {R"({"a":[1})", "a", K, 2, nullptr},
    };
    for (const row &w : rows) {
        run_result r = run(h.rt, w.in, w.selector, w.action);
        EXPECT_EQ(r.status, w.status) << w.in << " " << w.selector << ": " << r.message;
        if (w.status == TAMSEL_STATUS_OK) {
            EXPECT_EQ(r.out, w.out_or_message) << w.in << " " << w.selector;
        } else if (w.out_or_message) {
            EXPECT_EQ(r.message, w.out_or_message) << w.in << " " << w.selector;
        }
    }
}

TEST(ValueRewrite, CreationStaysWithinTheDepthLimitAndIsRefusedBeforeItIsWritten) {
    tamsel_config cfg = tamsel_default_config();
    cfg.max_depth = 3;
    cfg.value_max_depth = 3;
    tamsel_runtime *rt = tamsel_new(&cfg, nullptr);
    ASSERT_NE(rt, nullptr);
    const int R = TAMSEL_VALUE_REWRITE_REPLACE, C = TAMSEL_VALUE_REWRITE_CALLBACK;
    run_result r = run(rt, "{}", "a.b.c", R);
    EXPECT_EQ(r.out, R"({"a":{"b":{"c":1}}})") << r.message;
    // One level more can be neither read nor created: refused before any output, whichever
    // action would create it.
    for (int action : {R, C}) {
        tamsel_value_rewrite_selector_options o{};
        o.selector = "a.b.c.d";
        o.action = action;
        o.replacement.write = write_one;
        o.replace_callback = [](tamsel_writer *w, const tamsel_value_rewrite_target *, void *,
                                tamsel_error *e) { return tamsel_writer_i64(w, 1, e); };
        capture c;
        tamsel_error e{};
        EXPECT_EQ(tamsel_value_rewrite_selector_buffer(rt, "{}", 2, capture::sink, &c, &o, &e),
                  TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(e.message, "value rewrite target path exceeds maximum depth");
        EXPECT_EQ(c.out, "");
    }
    // Dropping and keeping create nothing: a deep path is only not found.
    r = run(rt, "{}", "a.b.c.d", TAMSEL_VALUE_REWRITE_DROP);
    EXPECT_EQ(r.message, "value rewrite target was not found");
    // An index below a created level is refused before any of the created text.
    r = run(rt, R"({"k":[]})", "x.0", R);
    EXPECT_EQ(r.status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(r.out, R"({"k":[])");
    tamsel_free(rt);
}

TEST(ValueRewrite, ReplacementsFromRecordsAndHoldersAreCheckedFirst) {
    rt_holder h;
    tamsel_json_value v;
    tamsel_json_value_init(h.rt, &v);
    ASSERT_EQ(tamsel_json_value_set_buffer(&v, "[ true , \"x\" ]", 14, nullptr), TAMSEL_STATUS_OK);
    run_result r = run(h.rt, R"({"a":0,"b":2})", "a", TAMSEL_VALUE_REWRITE_REPLACE,
                       {nullptr, nullptr, nullptr, nullptr, &v});
    EXPECT_EQ(r.out, R"({"a":[true,"x"],"b":2})");

    // Two kinds at once, and a map whose layout is broken: refused before any output.
    r = run(h.rt, R"({"a":0})", "a", TAMSEL_VALUE_REWRITE_REPLACE,
            {write_one, nullptr, nullptr, nullptr, &v});
    EXPECT_EQ(r.message, std::string("value rewrite replacement source is invalid"));
    static const tamsel_field bad[] = {
        {TAMSEL_KEY("x"), 1000, TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map bad_map = {"bad", 8, bad, 1, &bad_map, nullptr};
    int64_t rec = 0;
    r = run(h.rt, R"({"a":0})", "a", TAMSEL_VALUE_REWRITE_REPLACE,
            {nullptr, nullptr, &bad_map, &rec, nullptr});
    EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.message, "invalid map layout");
    EXPECT_EQ(r.out, "");
    tamsel_json_value_cleanup(&v);
}

TEST(ValueRewrite, CallbackSeesTheTargetEventsThenWritesItsReplacement) {
    rt_holder h;
    struct seen {
        std::string events;
        std::vector<tamsel_value_rewrite_target> targets;
        std::string number;
    } s;
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.object_begin = [](void *u, tamsel_error *) {
        static_cast<seen *>(u)->events += "{";
        return TAMSEL_STATUS_OK;
    };
    v.object_end = [](void *u, tamsel_error *) {
        static_cast<seen *>(u)->events += "}";
        return TAMSEL_STATUS_OK;
    };
    v.key_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        static_cast<seen *>(u)->events.append(b, n) += ":";
        return TAMSEL_STATUS_OK;
    };
    v.null = [](void *u, tamsel_error *) {
        static_cast<seen *>(u)->events += "null";
        return TAMSEL_STATUS_OK;
    };
    tamsel_value_rewrite_selector_options o{};
    o.action = TAMSEL_VALUE_REWRITE_CALLBACK;
    o.visitor = &v;
    o.visitor_user = &s;
    o.replace_user = &s;
    o.replace_callback = [](tamsel_writer *w, const tamsel_value_rewrite_target *t, void *u,
                            tamsel_error *e) {
        auto *s = static_cast<seen *>(u);
        s->targets.push_back(*t);
        if (t->number_text) s->number.assign(t->number_text, t->number_len);
        return tamsel_writer_string(w, "R", 1, e);
    };
    const char *cases[][3] = {{R"({"t":{"k":null},"u":1})", "t", R"({"t":"R","u":1})"},
                              {R"({"t":-12.5e1})", "t", R"({"t":"R"})"},
                              {R"({"t":false})", "t", R"({"t":"R"})"},
                              {R"({"u":{}})", "u.new", R"({"u":{"new":"R"}})"}};
    for (auto &c : cases) {
        o.selector = c[1];
        capture out;
        tamsel_error e{};
        ASSERT_EQ(tamsel_value_rewrite_selector_buffer(h.rt, c[0], std::strlen(c[0]), capture::sink,
                                                       &out, &o, &e),
                  TAMSEL_STATUS_OK)
            << e.message;
        EXPECT_EQ(out.out, c[2]);
    }
    EXPECT_EQ(s.events, "{k:null}");
    ASSERT_EQ(s.targets.size(), 4u);
    EXPECT_EQ(s.targets[0].kind, 1);
    EXPECT_EQ(s.targets[1].kind, 4);
    EXPECT_EQ(s.number, "-12.5e1");
    EXPECT_EQ(s.targets[2].kind, 5);
    EXPECT_EQ(s.targets[2].boolean, 0);
    EXPECT_EQ(s.targets[3].present, 0);
    EXPECT_EQ(s.targets[3].kind, 0);
}

TEST(ValueRewrite, EverySplitOfTheInputGivesTheSameOutput) {
    rt_holder h;
    const std::string json = R"({"a" : [1, "x\u0041y", {"b": -2.5e-3}], "k\"q": {"c": null}})";
    tamsel_value_rewrite_selector_options o{};
    o.selector = "a.2.b";
    o.action = TAMSEL_VALUE_REWRITE_REPLACE;
    o.replacement.write = write_one;
    const std::string want = R"({"a":[1,"xAy",{"b":1}],"k\"q":{"c":null}})";
    for (size_t split = 1; split <= json.size(); ++split) {
        for (size_t piece : {size_t{1}, size_t{7}, json.size()}) {
            chunks src{json, split, piece};
            capture c;
            tamsel_error e{};
            ASSERT_EQ(tamsel_value_rewrite_selector_reader(h.rt, chunks::read, &src, capture::sink,
                                                           &c, &o, &e),
                      TAMSEL_STATUS_OK)
                << split << ": " << e.message;
            ASSERT_EQ(c.out, want) << split << "/" << piece;
        }
    }
}

TEST(ValueRewrite, EveryDoorGivesTheSameOutputAndPathsMustDiffer) {
    rt_holder h;
    const std::string json = R"({"a":{"b":[true]},"c":"d"})";
    const std::string want = R"({"a":{"b":1},"c":"d"})";
    char in_path[] = "/tmp/tamsel-vrw-in-XXXXXX";
    int fd = mkstemp(in_path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, json.data(), json.size()), static_cast<ssize_t>(json.size()));
    const char *segs[] = {"a", "b"};
    tamsel_value_rewrite_options o{};
    o.segments = segs;
    o.segment_count = 2;
    o.action = TAMSEL_VALUE_REWRITE_REPLACE;
    o.replacement.write = write_one;
    tamsel_error e{};

    capture by_fd;
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(tamsel_value_rewrite_fd(h.rt, fd, capture::sink, &by_fd, &o, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(by_fd.out, want);
    capture by_file;
    FILE *f = std::fopen(in_path, "rb");
    EXPECT_EQ(tamsel_value_rewrite_filep(h.rt, f, capture::sink, &by_file, &o, &e),
              TAMSEL_STATUS_OK);
    std::fclose(f);
    EXPECT_EQ(by_file.out, want);

    const std::string out_path = std::string(in_path) + ".out";
    EXPECT_EQ(tamsel_value_rewrite_path(h.rt, in_path, out_path.c_str(), &o, &e), TAMSEL_STATUS_OK);
    std::ifstream back(out_path);
    std::string got((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, want);
    EXPECT_EQ(tamsel_value_rewrite_path(h.rt, in_path, in_path, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "input and output paths must refer to distinct files");
    EXPECT_EQ(tamsel_value_rewrite_fd(h.rt, -1, capture::sink, &by_fd, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "input fd must be non-negative");
    close(fd);
    unlink(in_path);
    unlink(out_path.c_str());
}

TEST(ValueRewrite, ErrorsCarryPositionsAndOutputStaysWritten) {
    rt_holder h;
    const std::string json = "{\"a\":1,\n \"b\":[tru]}";
    capture c;
    tamsel_error e{};
    tamsel_value_rewrite_selector_options o{};
    o.selector = "a";
    o.action = TAMSEL_VALUE_REWRITE_DROP;
    EXPECT_EQ(tamsel_value_rewrite_selector_buffer(h.rt, json.data(), json.size(), capture::sink,
                                                   &c, &o, &e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(e.line, 2u);
    EXPECT_GT(e.offset, 10u);

    // A failing sink stops the rewrite with its status.
    capture failing;
    failing.fail_at = 1;
    EXPECT_EQ(
        tamsel_value_rewrite_selector_buffer(h.rt, "[1,2]", 5, capture::sink, &failing, &o, &e),
        TAMSEL_STATUS_IO_ERROR);
}

TEST(ValueRewrite, AllocationFailuresAreCleanAtEveryIndex) {
    const std::string json = R"({"a":{"b":[1,{"c":"long key and string ....................."}]},)"
                             R"("deep":[[[[[[[[[[[[]]]]]]]]]]]],"n":123456789})";
    size_t failing =
        tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
            a.pause();
            tamsel_runtime *rt = roomy_runtime(a.get());
            a.resume();
            tamsel_value_rewrite_selector_options o{};
            o.selector = "a.b.1.c.x";
            o.action = TAMSEL_VALUE_REWRITE_REPLACE;
            o.replacement.write = write_one;
            capture c;
            tamsel_error e{};
            tamsel_status st = tamsel_value_rewrite_selector_buffer(rt, json.data(), json.size(),
                                                                    capture::sink, &c, &o, &e);
            a.pause();
            tamsel_free(rt);
            a.resume();
            return st == TAMSEL_STATUS_TYPE_MISMATCH ? TAMSEL_STATUS_OK : st;
        });
    EXPECT_GT(failing, 2u);
}

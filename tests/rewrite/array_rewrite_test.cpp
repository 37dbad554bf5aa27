// The array rewrite: keep-all reproduces the compact document, every action at the first,
// middle and last item and in empty arrays, array-end appends, parents, every split of the
// input, the doors, errors and allocation failures.
#include "rewrite_support.hpp"
#include "support/counting_allocator.hpp"
#include "support/repeated_keys.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

using namespace rewrite_test;

namespace {

struct item {
    int64_t id;
    char *name;
};

const tamsel_map *item_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("id"), offsetof(item, id), TAMSEL_FIELD_I64, 0, 0,
                                      0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("name"), offsetof(item, name), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"item", sizeof(item), f, 2, &m, nullptr};
    return &m;
}

// Decides by item id: the plan's action for that id; replacements and inserts are {"id":-id}.
struct plan {
    int actions[16] = {};
    item made[16][2] = {};
    std::vector<std::string> parents_seen;
    item *parent = nullptr;
    int appends = 0;
};

tamsel_status decide(void *user, const tamsel_array_rewrite_context *, const void *it,
                     tamsel_array_rewrite_action *a, tamsel_error *) {
    auto *p = static_cast<plan *>(user);
    const auto *i = static_cast<const item *>(it);
    if (p->parent) p->parents_seen.push_back(p->parent->name ? p->parent->name : "-");
    a->action = p->actions[i->id & 15];
    for (int k = 0; k < 2; ++k)
        p->made[i->id & 15][k] = item{-i->id * 10 - k, nullptr};
    a->replacement = {item_map(), &p->made[i->id & 15][0], nullptr};
    a->insert = {item_map(), &p->made[i->id & 15][1], nullptr};
    return TAMSEL_STATUS_OK;
}

tamsel_status append_two(void *user, const tamsel_array_rewrite_context *,
                         tamsel_array_rewrite_emit emit, void *handle, tamsel_error *e) {
    auto *p = static_cast<plan *>(user);
    static item extra{99, nullptr};
    const tamsel_rewrite_source src{item_map(), &extra, nullptr};
    for (int k = 0; k < p->appends; ++k)
        if (tamsel_status st = emit(handle, &src, e)) return st;
    return TAMSEL_STATUS_OK;
}

struct run_result {
    tamsel_status status;
    std::string out;
    std::string message;
};

run_result run(tamsel_runtime *rt, const std::string &json, const char *selector, plan &p,
               const tamsel_array_rewrite_parent *parents = nullptr, size_t parent_count = 0) {
    item dst{};
    tamsel_array_rewrite_options o{};
    o.item_map = item_map();
    o.item_dst = &dst;
    o.item_callback = decide;
    o.array_end_callback = append_two;
    o.parents = parents;
    o.parent_count = parent_count;
    o.user = &p;
    capture c;
    tamsel_buffer_reader br;
    tamsel_buffer_reader_init(&br, json.data(), json.size());
    tamsel_error e{};
    tamsel_status st = tamsel_array_rewrite_reader(rt, selector, tamsel_buffer_reader_read, &br,
                                                   capture::sink, &c, &o, &e);
    return {st, c.out, e.message};
}

struct rt_holder {
    tamsel_runtime *rt = roomy_runtime();
    ~rt_holder() { tamsel_free(rt); }
};

tamsel_status keep_value(void *, const tamsel_array_rewrite_context *, const void *,
                         tamsel_array_rewrite_action *, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}

} // namespace

TEST(ArrayRewrite, KeepAllIsTheCompactDocumentForEveryCorpusFile) {
    rt_holder h;
    const char *selectors[] = {"features", "performances", "", "nope", "positions", "statuses"};
    for (size_t i = 0; i < std::size(corpus_names); ++i) {
        const std::string json = load_corpus(corpus_names[i]);
        const std::string want = compact(h.rt, json);
        tamsel_json_value v;
        tamsel_json_value_init(h.rt, &v);
        tamsel_array_rewrite_options o{};
        o.item_value = &v;
        o.item_callback = keep_value;
        capture c;
        tamsel_error e{};
        tamsel_status st = tamsel_array_rewrite_reader(
            h.rt, selectors[i], tamsel_buffer_reader_read, nullptr, capture::sink, &c, &o, &e);
        // (a reader over the whole text)
        tamsel_buffer_reader br;
        tamsel_buffer_reader_init(&br, json.data(), json.size());
        c.out.clear();
        st = tamsel_array_rewrite_reader(h.rt, selectors[i], tamsel_buffer_reader_read, &br,
                                         capture::sink, &c, &o, &e);
        if (std::string(selectors[i]) == "nope") {
            EXPECT_EQ(st, TAMSEL_STATUS_TYPE_MISMATCH);
            EXPECT_STREQ(e.message, "selected array was not found");
        } else {
            EXPECT_EQ(st, TAMSEL_STATUS_OK) << corpus_names[i] << ": " << e.message;
        }
        EXPECT_TRUE(c.out == want) << corpus_names[i];
        tamsel_json_value_cleanup(&v);
    }
}

TEST(ArrayRewrite, EveryActionAtFirstMiddleAndLastItem) {
    rt_holder h;
    const std::string json = R"({"x": [1, 2], "items": [{"id":1}, {"id":2,"name":"b"}, {"id":3}]})";
    const std::string items[] = {R"({"id":1})", R"({"id":2,"name":"b"})", R"({"id":3})"};
    for (int action = 0; action <= 5; ++action) {
        for (int at : {1, 2, 3}) {
            plan p;
            p.actions[at] = action;
            run_result r = run(h.rt, json, "items", p);
            ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << r.message;
            std::string expect = R"({"x":[1,2],"items":[)";
            for (int i = 1; i <= 3; ++i) {
                const std::string rep = "{\"id\":" + std::to_string(-i * 10) + ",\"name\":null}";
                const std::string ins =
                    "{\"id\":" + std::to_string(-i * 10 - 1) + ",\"name\":null}";
                const std::string &in = items[i - 1];
                const std::vector<std::string> parts[] = {{in},      {},        {rep},
                                                          {ins, in}, {in, ins}, {rep, ins}};
                for (const std::string &part : parts[i == at ? action : 0])
                    expect += (expect.back() == '[' ? "" : ",") + part;
            }
            EXPECT_EQ(r.out, expect + "]}") << action << " at " << at;
        }
    }
    // Dropping everything leaves an empty array; appends land in empty and full arrays alike.
    plan drop_all;
    for (int &a : drop_all.actions)
        a = TAMSEL_REWRITE_DROP;
    EXPECT_EQ(run(h.rt, json, "items", drop_all).out, R"({"x":[1,2],"items":[]})");
    drop_all.appends = 2;
    EXPECT_EQ(run(h.rt, json, "items", drop_all).out,
              R"({"x":[1,2],"items":[{"id":99,"name":null},{"id":99,"name":null}]})");
    plan keep_append;
    keep_append.appends = 1;
    EXPECT_EQ(run(h.rt, R"({"items":[]})", "items", keep_append).out,
              R"({"items":[{"id":99,"name":null}]})");
    EXPECT_EQ(run(h.rt, R"([{"id":3}])", "", keep_append).out,
              R"([{"id":3},{"id":99,"name":null}])");
    plan last;
    last.actions[3] = TAMSEL_REWRITE_INSERT_AFTER;
    EXPECT_EQ(
        run(h.rt, json, "items", last).out,
        R"({"x":[1,2],"items":[{"id":1},{"id":2,"name":"b"},{"id":3},{"id":-31,"name":null}]})");
    plan bad;
    bad.actions[2] = 9;
    run_result r = run(h.rt, json, "items", bad);
    EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.message, "invalid array rewrite action");
    EXPECT_EQ(r.out.rfind(R"({"x":[1,2],"items":[{"id":1})", 0), 0u) << "prefix stays written";
}

TEST(ArrayRewrite, ParentsSeeTheirMembersBeforeTheArray) {
    rt_holder h;
    const std::string json = R"({"users":[{"name":"ann","orders":[{"id":1},{"id":2}]},)"
                             R"({"orders":[{"id":3}],"name":"bob"},{"name":"cy","orders":[]}]})";
    item parent{};
    const tamsel_array_rewrite_parent parents[] = {{"users", item_map(), &parent}};
    plan p;
    p.parent = &parent;
    p.actions[2] = TAMSEL_REWRITE_DROP;
    run_result r = run(h.rt, json, "users[].orders", p, parents, 1);
    ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << r.message;
    EXPECT_EQ(r.out, R"({"users":[{"name":"ann","orders":[{"id":1}]},)"
                     R"({"orders":[{"id":3}],"name":"bob"},{"name":"cy","orders":[]}]})");
    EXPECT_EQ(p.parents_seen, (std::vector<std::string>{"ann", "ann", "-"}));
    EXPECT_EQ(parent.name, nullptr) << "the parent record is cleaned up when its object closes";
}

TEST(ArrayRewrite, SelectorsAndInputsThatFail) {
    rt_holder h;
    struct row {
        const char *in, *selector;
        tamsel_status status;
        const char *message;
    };
    const row rows[] = {
        {R"({"a":{"b":{"items":[]}}})", "a.items", 0, ""},
        {R"({"a":{"items":5}})", "a.items", 3, "selected array path matched a non-array value"},
        {R"({"a":[]})", "b", 3, "selected array was not found"},
        {R"({"a":[]})", "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q", 6,
         "array rewrite selector is too deep"},
        {R"({"a":[]})", "a[]", 1,
         "array rewrite selector must end at an array field, not a fanout"},
        {R"({"a":[]})", "[].a", 1, "array rewrite selector contains empty fanout segment"},
        {R"({"a":[]})", "a..b", 1, "array rewrite selector contains empty segment"},
        {R"({"a":[],"a":[]})", "a", 5, "duplicate object field"},
        {R"({"a":[{"id":1},{"id":"x"}]})", "a", 3, nullptr},
        {"{\"a\":[{},\n{},]}", "a", 2, nullptr},
    };
    for (const row &w : rows) {
        plan p;
        run_result r = run(h.rt, w.in, w.selector, p);
        EXPECT_EQ(r.status, w.status) << w.in << " " << w.selector << ": " << r.message;
        if (w.message) {
            EXPECT_EQ(r.message, w.message) << w.selector;
        }
    }
    // A failing selector is refused before anything is read or written.
    plan p;
    EXPECT_EQ(run(h.rt, R"({"a":[]})", "a[]", p).out, "");
    tamsel_error e{};
    capture c;
    tamsel_array_rewrite_options o{};
    o.item_callback = keep_value;
    EXPECT_EQ(tamsel_array_rewrite_reader(h.rt, "a", nullptr, nullptr, capture::sink, &c, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "selector, reader, sink, options, and at least one rewrite callback "
                            "are required");
}

TEST(ArrayRewrite, BrokenMapsAreRefusedBeforeAnyInput) {
    rt_holder h;
    static const tamsel_field bad[] = {
        {TAMSEL_KEY("x"), 1000, TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map bad_map = {"bad", 8, bad, 1, &bad_map, nullptr};
    int64_t rec = 0;
    tamsel_array_rewrite_options o{};
    o.item_map = &bad_map;
    o.item_dst = &rec;
    o.item_callback = keep_value;
    capture c;
    tamsel_error e{};
    EXPECT_EQ(tamsel_array_rewrite_reader(h.rt, "", tamsel_buffer_reader_read, &c, capture::sink,
                                          &c, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid field layout");
    const tamsel_array_rewrite_parent parents[] = {{"a", &bad_map, &rec}};
    o.item_map = item_map();
    item it{};
    o.item_dst = &it;
    o.parents = parents;
    o.parent_count = 1;
    EXPECT_EQ(tamsel_array_rewrite_reader(h.rt, "a[].b", tamsel_buffer_reader_read, &c,
                                          capture::sink, &c, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid field layout");
}

TEST(ArrayRewrite, EverySplitOfTheInputGivesTheSameOutput) {
    rt_holder h;
    const std::string json = R"({"k" : "v\u0041", "items" : [ {"id": 1}, {"id":2, "name":"\"q"} ,)"
                             R"( {"id":3} ], "z": [true, null, -1.5e+2]})";
    plan p;
    p.actions[2] = TAMSEL_REWRITE_REPLACE_AND_INSERT;
    const std::string want = run(h.rt, json, "items", p).out;
    ASSERT_EQ(
        want,
        R"({"k":"vA","items":[{"id":1},{"id":-20,"name":null},{"id":-21,"name":null},{"id":3}],)"
        R"("z":[true,null,-1.5e+2]})");
    for (size_t split = 1; split <= json.size(); ++split) {
        chunks src{json, split, 5};
        item dst{};
        tamsel_array_rewrite_options o{};
        o.item_map = item_map();
        o.item_dst = &dst;
        o.item_callback = decide;
        o.user = &p;
        capture c;
        tamsel_error e{};
        ASSERT_EQ(tamsel_array_rewrite_reader(h.rt, "items", chunks::read, &src, capture::sink, &c,
                                              &o, &e),
                  TAMSEL_STATUS_OK)
            << split << e.message;
        ASSERT_EQ(c.out, want) << split;
    }
}

// The duplicate check inside copied items hears packed text taken many tokens a step as it hears
// it read a byte at a time: a key repeated at any member gives the same status, message and
// position.
TEST(ArrayRewrite, RepeatedKeysInCopiedPackedTextAreReportedAsReadByteByByte) {
    rt_holder h;
    const std::string &record = tamsel_test::packed_record;
    const std::string doc = "{\"items\":[" + record + "," + record + "]}";
    const auto rewrite = [&h](const std::string &json, size_t first, size_t piece,
                              tamsel_error *e) {
        tamsel_array_rewrite_options o{};
        o.array_end_callback = [](void *, const tamsel_array_rewrite_context *,
                                  tamsel_array_rewrite_emit, void *,
                                  tamsel_error *) { return TAMSEL_STATUS_OK; };
        capture c;
        chunks in{json, first, piece};
        return tamsel_array_rewrite_reader(h.rt, "items", chunks::read, &in, capture::sink, &c, &o,
                                           e);
    };
    size_t repeated = 0;
    tamsel_test::each_key_renamed(doc, [&](size_t i, char, const std::string &json) {
        tamsel_error want{}, got{};
        const tamsel_status st = rewrite(json, 1, 1, &want);
        repeated += st == TAMSEL_STATUS_DUPLICATE_FIELD;
        ASSERT_EQ(rewrite(json, json.size(), 1, &got), st) << i << ": " << json;
        EXPECT_STREQ(got.message, want.message) << i << ": " << json;
        EXPECT_EQ(got.line, want.line) << i << ": " << json;
        EXPECT_EQ(got.column, want.column) << i << ": " << json;
        EXPECT_EQ(got.offset, want.offset) << i << ": " << json;
    });
    EXPECT_GT(repeated, 20u);
}

TEST(ArrayRewrite, DoorsAgreeAndDescriptorOutputIsStaged) {
    rt_holder h;
    std::string json = "[";
    for (int i = 0; i < 3000; ++i)
        json += (i ? "," : "") + std::string("{\"id\":7}");
    json += "]";
    char in_path[] = "/tmp/tamsel-arw-in-XXXXXX";
    int in_fd = mkstemp(in_path);
    ASSERT_GE(in_fd, 0);
    ASSERT_EQ(write(in_fd, json.data(), json.size()), static_cast<ssize_t>(json.size()));
    const std::string out_path = std::string(in_path) + ".out";
    tamsel_array_rewrite_options o{};
    o.array_end_callback = [](void *, const tamsel_array_rewrite_context *,
                              tamsel_array_rewrite_emit, void *,
                              tamsel_error *) { return TAMSEL_STATUS_OK; };
    tamsel_error e{};
    auto read_back = [&] {
        std::ifstream back(out_path);
        return std::string((std::istreambuf_iterator<char>(back)),
                           std::istreambuf_iterator<char>());
    };
    lseek(in_fd, 0, SEEK_SET);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(tamsel_array_rewrite_fd_to_fd(h.rt, "", in_fd, out_fd, &o, &e), TAMSEL_STATUS_OK);
    close(out_fd);
    EXPECT_TRUE(read_back() == json);
    EXPECT_EQ(tamsel_array_rewrite_path(h.rt, "", in_path, out_path.c_str(), &o, &e),
              TAMSEL_STATUS_OK);
    EXPECT_TRUE(read_back() == json);
    EXPECT_EQ(tamsel_array_rewrite_path(h.rt, "", in_path, in_path, &o, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    // Sink calls come in staged blocks, not one per piece.
    struct counter {
        size_t calls = 0;
        std::string out;
        static tamsel_status sink(void *u, const void *d, size_t n, tamsel_error *) {
            auto *c = static_cast<counter *>(u);
            ++c->calls;
            c->out.append(static_cast<const char *>(d), n);
            return TAMSEL_STATUS_OK;
        }
    } count;
    lseek(in_fd, 0, SEEK_SET);
    EXPECT_EQ(tamsel_array_rewrite_fd(h.rt, "", in_fd, counter::sink, &count, &o, &e),
              TAMSEL_STATUS_OK);
    EXPECT_TRUE(count.out == json);
    EXPECT_LE(count.calls, json.size() / 4096 + 1);
    // A failing descriptor reports after the staged bytes were tried.
    lseek(in_fd, 0, SEEK_SET);
    EXPECT_EQ(tamsel_array_rewrite_fd_to_fd(h.rt, "", in_fd, 1000, &o, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to write rewrite output fd");
    close(in_fd);
    unlink(in_path);
    unlink(out_path.c_str());
}

TEST(ArrayRewrite, AllocationFailuresAreCleanAtEveryIndex) {
    std::string json = R"({"users":[{"name":"a long enough name to allocate","orders":[)";
    for (int i = 0; i < 20; ++i)
        json += (i ? "," : "") + std::string(R"({"id":5,"name":"n"})");
    json += R"(]}],"k":{"k2":{"k3":[1,2,3]}}})";
    size_t failing =
        tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
            a.pause();
            tamsel_runtime *rt = roomy_runtime(a.get());
            a.resume();
            item parent{};
            const tamsel_array_rewrite_parent parents[] = {{"users", item_map(), &parent}};
            plan p;
            p.parent = &parent;
            p.actions[5] = TAMSEL_REWRITE_INSERT_BEFORE;
            p.appends = 1;
            run_result r = run(rt, json, "users[].orders", p, parents, 1);
            a.pause();
            tamsel_free(rt);
            a.resume();
            return r.status;
        });
    EXPECT_GT(failing, 3u);
}

TEST(ArrayRewrite, AFailureKeepsItsPositionWhenTheStagedOutputCannotBeWritten) {
    rt_holder h;
    const std::string json = "[1,\n2,\n]";
    tamsel_array_rewrite_options o{};
    o.array_end_callback = [](void *, const tamsel_array_rewrite_context *,
                              tamsel_array_rewrite_emit, void *,
                              tamsel_error *) { return TAMSEL_STATUS_OK; };
    // A sink that fails the way the library's own sinks do: into the error record.
    size_t calls = 0;
    auto failing_sink = [](void *u, const void *, size_t, tamsel_error *err) {
        ++*static_cast<size_t *>(u);
        *err = tamsel_error{};
        err->code = TAMSEL_STATUS_IO_ERROR;
        std::snprintf(err->message, sizeof err->message, "sink failed");
        return TAMSEL_STATUS_IO_ERROR;
    };
    tamsel_buffer_reader br;
    tamsel_buffer_reader_init(&br, json.data(), json.size());
    tamsel_error e{};
    EXPECT_EQ(tamsel_array_rewrite_reader(h.rt, "", tamsel_buffer_reader_read, &br, failing_sink,
                                          &calls, &o, &e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(calls, 1u) << "the staged prefix was offered to the sink";
}

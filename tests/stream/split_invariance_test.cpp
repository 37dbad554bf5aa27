// Array streams give the same items, and the same failure at the same position, whatever the
// pushed chunking and whatever the reader's piece sizes.
#include "stream_support.hpp"

#include <fstream>
#include <random>
#include <sstream>

using namespace stream_test;

namespace {

struct doc {
    const char *path;
    const char *text;
};

const doc kRecordDocs[] = {
    {nullptr,
     "[{\"id\":1,\"name\":\"a\\nb\\u00e9\\ud83d\\ude00\"},{\"tag\":\"long tag\",\"id\":-2}]"},
    {nullptr, " [\n{\"id\":3,\"x\":[1,2,{\"y\":\"z\"}],\"name\":\"\"} ]\n"},
    {"items",
     "{\"a\":{\"b\":[true,null]},\"items\":[{\"id\":4},{\"id\":5,\"name\":\"n\"}],\"z\":1.5e3}"},
    {"k\xc3\xa9", "{\"k\\u00e9\":[{\"id\":6}]}"},
    {nullptr, "[{\"id\":1},{\"id\":2,\"name\":\"x\"},{\"id\":1e}]"},
    {nullptr, "[{\"id\":1}, {\"id\":2} 3]"},
    {"items", "{\"items\":[{\"id\":1}],\"items\":[]}"},
};

const doc kValueDocs[] = {
    {nullptr, "[12,-0.5,\"s\\\"\",true,false,null,[1,[2]],{\"a\":{\"b\":[]}},1e5]"},
    {"v", "{\"w\":[1,2],\"v\":[ 1 , \"two\" , [3] ]}"},
    {nullptr, "[1,2,{\"a\":1,\"a\":2}]"},
    {nullptr, "[1 2]"},
    {nullptr, "[3"},
};

std::string memory_reference(const doc &d, kind k) {
    tamsel::stream::open_args a;
    a.path = d.path;
    a.input.kind = tamsel::stream::input_kind::memory;
    a.input.bytes = d.text;
    a.input.length = std::strlen(d.text);
    tamsel_error e;
    tamsel_array_stream *s = tamsel::stream::open(a, &e);
    if (!s) return "OPEN " + describe_error(e);
    std::string out = drain(s, k);
    tamsel_array_stream_close(s);
    return out;
}

std::string slurp(const char *name) {
    std::ifstream in(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t values_in(tamsel_runtime *rt, const char *path, const std::string &text) {
    tamsel::stream::open_args a;
    a.path = path;
    a.input.kind = tamsel::stream::input_kind::memory;
    a.input.bytes = text.data();
    a.input.length = text.size();
    tamsel_error e;
    tamsel_array_stream *s = tamsel::stream::open(a, &e);
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    size_t n = 0;
    while (tamsel_array_stream_next_value(s, &v, &e) == TAMSEL_STREAM_ITEM)
        ++n;
    tamsel_json_value_cleanup(&v);
    tamsel_array_stream_close(s);
    return n;
}

} // namespace

TEST(ArrayStreamSplits, EverySplitPointOfSmallInputs) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (const doc &d : kRecordDocs) {
        const std::string text = d.text;
        const std::string expect = memory_reference(d, kind::records);
        for (size_t step : {size_t{1}, size_t{2}, size_t{7}, size_t{0}})
            EXPECT_EQ(pull_reader(rt, d.path, text, kind::records, step), expect) << text;
        EXPECT_EQ(push_pieces(rt, d.path, text, kind::records, every(1, text.size())), expect);
        for (size_t cut = 0; cut <= text.size(); ++cut)
            for (size_t second : {cut, cut + 3})
                EXPECT_EQ(push_pieces(rt, d.path, text, kind::records,
                                      {cut, std::min(second, text.size())}),
                          expect)
                    << text << " cut at " << cut << ", " << second;
    }
    for (const doc &d : kValueDocs) {
        const std::string text = d.text;
        const std::string expect = memory_reference(d, kind::values);
        for (size_t step : {size_t{1}, size_t{2}, size_t{5}, size_t{0}})
            EXPECT_EQ(pull_reader(rt, d.path, text, kind::values, step), expect) << text;
    }
    // String items, pushed at every split point.
    const std::string strings = "[\"a\\tb\", \"\", \"\\u00e9\\ud83d\\ude00xyz\" ,\"q\"]";
    const std::string expect = push_pieces(rt, nullptr, strings, kind::strings, {});
    EXPECT_EQ(expect, "a\tb,,\xc3\xa9\xf0\x9f\x98\x80xyz,q,|END");
    for (size_t cut = 0; cut <= strings.size(); ++cut)
        EXPECT_EQ(push_pieces(rt, nullptr, strings, kind::strings, {cut}), expect) << cut;
    EXPECT_EQ(push_pieces(rt, nullptr, strings, kind::strings, every(1, strings.size())), expect);
    tamsel_free(rt);
}

TEST(ArrayStreamSplits, CorpusArraysAtRandomChunkings) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const doc corpus_docs[] = {
        {nullptr, "github_events.json"}, {"statuses", "twitter.json"}, {"features", "canada.json"}};
    std::mt19937 rng(7);
    for (const doc &d : corpus_docs) {
        const std::string text = slurp(d.text);
        ASSERT_FALSE(text.empty()) << d.text;
        const doc in_memory{d.path, text.c_str()};
        const std::string expect = memory_reference(in_memory, kind::values);
        ASSERT_EQ(expect.substr(expect.size() - 4), "|END") << d.text;
        EXPECT_EQ(pull_reader(rt, d.path, text, kind::values, 0), expect) << d.text;
        EXPECT_EQ(pull_reader(rt, d.path, text, kind::values, 61), expect) << d.text;
        // Items into a record that maps nothing: every item is validated and skipped alike.
        std::vector<size_t> cuts;
        for (size_t at = 0; at < text.size();)
            cuts.push_back(at += 1 + rng() % 3000);
        cuts.back() = text.size();
        tamsel_error e;
        tamsel_array_stream *s = tamsel_array_stream_open_push(rt, d.path, &e);
        static const tamsel_map none = {"none", 8, nullptr, 0, &none, nullptr};
        unsigned char dst[8];
        size_t count = 0, at = 0;
        auto counter = [](void *user, void *) -> tamsel_status {
            ++*static_cast<size_t *>(user);
            return TAMSEL_STATUS_OK;
        };
        tamsel_status st = TAMSEL_STATUS_OK;
        for (size_t cut : cuts) {
            st = tamsel_array_stream_push(s, &none, dst, text.data() + at, cut - at, counter,
                                          &count, &e);
            at = cut;
            if (st) break;
        }
        if (!st) st = tamsel_array_stream_finish(s, &none, dst, counter, &count, &e);
        EXPECT_EQ(st, TAMSEL_STATUS_OK) << d.text << ": " << e.message;
        EXPECT_EQ(count, values_in(rt, d.path, text)) << d.text;
        tamsel_array_stream_close(s);
    }
    tamsel_free(rt);
}

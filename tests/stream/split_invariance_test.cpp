// Array streams give the same items, and the same failure at the same position, whatever the
// pushed chunking and whatever the reader's piece sizes.
#include "stream_support.hpp"

#include <algorithm>
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

namespace {

// The buffer reader by another address: the stream cannot know the bytes stay put and copies
// every read into its window.
tamsel_read_result copying_read(void *user, void *buffer, size_t capacity) {
    return tamsel_buffer_reader_read(user, buffer, capacity);
}

// Drains a stream over `bytes` through the buffer reader (in place) or through copying_read;
// the transcript has every result and the reader's position after each call. `between` runs
// after every item.
template <typename Between>
std::string drain_buffer(tamsel_runtime *rt, const char *path, const unsigned char *bytes,
                         size_t len, bool in_place, kind k, Between between) {
    tamsel_buffer_reader reader;
    tamsel_buffer_reader_init(&reader, bytes, len);
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_reader(
        rt, path, in_place ? tamsel_buffer_reader_read : copying_read, &reader, &e);
    if (!s) return "OPEN " + describe_error(e);
    std::string out;
    item it{};
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    for (tamsel_stream_result r = TAMSEL_STREAM_ITEM; r == TAMSEL_STREAM_ITEM;) {
        r = k == kind::records ? tamsel_array_stream_next(s, item_map(), &it, &e)
                               : tamsel_array_stream_next_value(s, &v, &e);
        out += r == TAMSEL_STREAM_ITEM
                   ? (k == kind::records ? describe(it) : std::string(v.data, v.len))
                   : describe_result(r, e);
        out += "@" + std::to_string(reader.pos) + "\n";
        if (r == TAMSEL_STREAM_ITEM) between(reader);
    }
    tamsel_cleanup(item_map(), &it);
    tamsel_json_value_cleanup(&v);
    tamsel_array_stream_close(s);
    return out;
}

std::string drain_buffer(tamsel_runtime *rt, const char *path, const std::string &text,
                         bool in_place, kind k) {
    return drain_buffer(rt, path, reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                        in_place, k, [](tamsel_buffer_reader &) {});
}

} // namespace

TEST(ArrayStreamSplits, BufferReaderInPlaceMatchesTheCopyingRoad) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    // Items, errors and the reader's position after every call, whole or long (items across
    // many chunks, an item error past the first chunk, a number item ending on a chunk's end).
    for (const doc &d : kRecordDocs)
        EXPECT_EQ(drain_buffer(rt, d.path, d.text, true, kind::records),
                  drain_buffer(rt, d.path, d.text, false, kind::records))
            << d.text;
    for (const doc &d : kValueDocs)
        EXPECT_EQ(drain_buffer(rt, d.path, d.text, true, kind::values),
                  drain_buffer(rt, d.path, d.text, false, kind::values))
            << d.text;
    std::string numbers = "[";
    while (numbers.size() < 3000)
        numbers += "1234567,";
    numbers.resize(1023);
    numbers += "5,  {\"bad\" 1}]";
    const std::string events = slurp("github_events.json");
    const std::pair<const char *, std::string> long_docs[] = {
        {nullptr, numbers}, {"statuses", slurp("twitter.json")}, {nullptr, events}};
    for (const auto &[path, text] : long_docs) {
        const std::string expect = drain_buffer(rt, path, text, false, kind::values);
        ASSERT_GT(std::count(expect.begin(), expect.end(), '\n'), 3) << expect;
        EXPECT_EQ(drain_buffer(rt, path, text, true, kind::values), expect);
    }
    // Between calls the stream holds the bytes handed out and not consumed: a caller that
    // rewrites them, or frees the buffer once all of it was handed out, changes nothing.
    std::string scribbled_reference;
    for (bool in_place : {false, true}) {
        std::string scribbled = events;
        auto *bytes = reinterpret_cast<unsigned char *>(scribbled.data());
        auto scribble = [&](tamsel_buffer_reader &r) {
            const size_t n = std::min<size_t>(r.pos, 600);
            std::memset(bytes + r.pos - n, '!', n);
        };
        const std::string got =
            drain_buffer(rt, nullptr, bytes, scribbled.size(), in_place, kind::values, scribble);
        if (!in_place) scribbled_reference = got;
        EXPECT_EQ(got, scribbled_reference);
        auto *owned = static_cast<unsigned char *>(std::malloc(events.size()));
        std::memcpy(owned, events.data(), events.size());
        auto release = [&](tamsel_buffer_reader &r) {
            if (owned && r.pos == r.len) {
                std::free(owned);
                owned = nullptr;
            }
        };
        EXPECT_EQ(drain_buffer(rt, nullptr, owned, events.size(), in_place, kind::values, release),
                  drain_buffer(rt, nullptr, events, false, kind::values));
        std::free(owned);
    }
    tamsel_free(rt);
}

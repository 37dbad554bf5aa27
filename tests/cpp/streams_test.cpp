// tamsel.hpp's streams: items over a nested path at every split of the input, a failure in the
// middle of the array (thrown from the loop with its position, or kept by try_items), the writer
// over its three sinks (a failure keeps its record), and the SSE reader ending at its marker.
#include "support/counting_allocator.hpp"

#include "tamsel.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace cpp_stream_test {

struct item {
    int64_t id;
    tamsel::string name;
    tamsel::json extra;
};
TAMSEL_MAP(item, (id, tamsel::required), name, extra);

const char kDoc[] = "{\"meta\": {\"n\": 3},\n \"data\": {\"items\": [\n"
                    "  {\"id\": 1, \"name\": \"a\", \"extra\": [1, 2]},\n"
                    "  {\"id\": 2, \"name\": \"b\"},\n"
                    "  {\"id\": 3, \"extra\": {\"k\": null}}]}}";

// The records of the items as one line each.
template <class Range> std::string collect(Range &&items) {
    std::string out;
    for (const item &i : items)
        out += std::to_string(i.id) + ":" + std::string(i.name.view()) + ":" +
               std::string(i.extra.text()) + "\n";
    return out;
}

std::FILE *file_with(const std::string &text) {
    std::FILE *f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

} // namespace cpp_stream_test

using namespace cpp_stream_test;

TEST(CppItems, ItemsAtANestedPathFromTextFileAndPushedChunksAtEverySplit) {
    tamsel::runtime rt;
    const std::string expected = "1:a:[1,2]\n2:b:\n3::{\"k\":null}\n";
    EXPECT_EQ(collect(tamsel::items<item>(rt, kDoc, "data.items")), expected);
    std::FILE *f = file_with(kDoc);
    EXPECT_EQ(collect(tamsel::items<item>(rt, f, "data.items")), expected);
    std::fclose(f);
    // The same items pushed in two pieces cut at every byte.
    const std::string doc = kDoc;
    for (size_t cut = 0; cut <= doc.size(); ++cut) {
        std::string got;
        tamsel::item_pusher<item> pusher(rt, "data.items",
                                         [&](const item &i) { got += std::to_string(i.id) + ","; });
        pusher.push(std::string_view(doc).substr(0, cut));
        pusher.push(std::string_view(doc).substr(cut));
        pusher.finish();
        ASSERT_EQ(got, "1,2,3,") << "cut at " << cut;
    }
    // Items kept as JSON text.
    std::string raw;
    for (const tamsel::json &j : tamsel::items<tamsel::json>(rt, "[1, {\"a\" : 2}]"))
        raw += std::string(j.text()) + ";";
    EXPECT_EQ(raw, "1;{\"a\":2};");
}

TEST(CppItems, AFailureMidStreamThrowsFromTheLoopWithItsPositionOrIsKept) {
    tamsel::runtime rt;
    // The second item lacks its required id; the third is never read.
    const char bad[] = "{\"data\": {\"items\": [{\"id\": 1},\n  {\"name\": \"x\"}, {\"id\": 3}]}}";
    std::vector<int64_t> seen;
    try {
        for (const item &i : tamsel::items<item>(rt, bad, "data.items"))
            seen.push_back(i.id);
        FAIL() << "no error";
    } catch (const tamsel::error &e) {
        EXPECT_EQ(e.status(), TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
        EXPECT_EQ(e.line(), 2u);
        EXPECT_GT(e.column(), 2u);
        EXPECT_EQ(std::string(e.what()).rfind("2:", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("'id'"), std::string::npos) << e.what();
    }
    EXPECT_EQ(seen, std::vector<int64_t>{1});

    auto kept = tamsel::try_items<item>(rt, bad, "data.items");
    EXPECT_EQ(collect(kept), "1::\n");
    ASSERT_TRUE(kept.failed());
    EXPECT_EQ(kept.error().code, TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_EQ(kept.error().line, 2u);
    // A path that names no array, and a bad path, fail alike.
    EXPECT_THROW(collect(tamsel::items<item>(rt, kDoc, "meta.n")), tamsel::error);
    EXPECT_TRUE(tamsel::try_items<item>(rt, kDoc, "data..items").failed());
}

TEST(CppItems, ARangeKeepsATemporaryStringAndAMovedFromRangeHasFailed) {
    tamsel::runtime rt;
    // The text dies with the range's expression: the range must read its own copy.
    EXPECT_EQ(collect(tamsel::items<item>(rt, std::string(kDoc), "data.items")),
              "1:a:[1,2]\n2:b:\n3::{\"k\":null}\n");
    std::string lines = "{\"id\": 4}\n{\"id\": 5, \"name\": \"e\"}\n";
    for (const item &i : tamsel::try_objects<item>(rt, std::string(lines)))
        lines += std::to_string(i.id);
    EXPECT_EQ(lines.substr(lines.size() - 2), "45");

    auto from = tamsel::try_items<item>(rt, kDoc, "data.items");
    auto to = std::move(from);
    EXPECT_EQ(collect(from), "");
    EXPECT_TRUE(from.failed());
    EXPECT_EQ(from.message(), "range was moved from");
    EXPECT_EQ(collect(to), "1:a:[1,2]\n2:b:\n3::{\"k\":null}\n");
}

TEST(CppItems, RangesAndPushersLeakNothingWhenStoppedEarly) {
    tamsel_test::counting_allocator a;
    {
        tamsel_config c = tamsel_default_config();
        c.allocator = a.get();
        tamsel::runtime rt(c);
        const size_t base = a.live_blocks();
        for (const item &i : tamsel::items<item>(rt, kDoc, "data.items"))
            if (i.id == 2) break;
        {
            tamsel::item_pusher<item> pusher(rt, "data.items", [](const item &) { return false; });
            EXPECT_EQ(pusher.try_push(kDoc).error().code, TAMSEL_STATUS_CALLBACK_FAILED);
        }
        EXPECT_EQ(a.live_blocks(), base);
    }
    EXPECT_EQ(a.live_blocks(), 0u);
}

TEST(CppWriter, WritesToAStringAFileAndACallableAndRefusesInvalidDocuments) {
    tamsel::runtime rt;
    std::string out;
    {
        tamsel::writer w(rt, out);
        w.begin_object().member("model", "m1").member("max", 512).member("t", 0.5);
        w.member("tags", {"a", "b"}).member("ok", true).member("none", nullptr);
        w.key("item").value(tamsel::parse<item>(rt, R"({"id": 7, "extra": [1]})"));
        w.key("s").string_begin().string_chunk("x\"").string_chunk("y").string_end();
        w.end_object();
        EXPECT_TRUE(w.finish());
    }
    const char expected[] = R"({"model":"m1","max":512,"t":0.5,"tags":["a","b"],"ok":true,)"
                            R"("none":null,"item":{"id":7,"name":null,"extra":[1]},"s":"x\"y"})";
    EXPECT_EQ(out, expected);

    std::string pieces;
    tamsel::writer(rt, [&](std::string_view s) { pieces += s; }).array([] {}).finish();
    EXPECT_EQ(pieces, "[]");

    std::FILE *f = std::tmpfile();
    tamsel::writer(rt, f).value(std::vector<int>{1, 2}).finish();
    std::rewind(f);
    char back[16] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back - 1, f), 5u);
    EXPECT_STREQ(back, "[1,2]");
    std::fclose(f);

    // A key outside an object: thrown at once, or kept with no_throw.
    std::string unused;
    tamsel::writer thrower(rt, unused);
    EXPECT_THROW(thrower.begin_array().key("k"), tamsel::error);
    tamsel::writer quiet(rt, unused, tamsel::no_throw);
    quiet.begin_array().key("k").end_array();
    EXPECT_FALSE(quiet.finish());
    EXPECT_NE(quiet.error().code, TAMSEL_STATUS_OK);
    // A sink that throws: its own exception comes out.
    tamsel::writer boom(rt, [](std::string_view) { throw std::logic_error("sink"); });
    EXPECT_THROW(boom.value(1).finish(), std::logic_error);
}

TEST(CppWriter, WritesAbsentStringsAsNullAndNothingAfterAFailure) {
    tamsel::runtime rt;
    std::string out;
    tamsel::writer w(rt, out, tamsel::no_throw);
    const char *no_text = nullptr;
    const char full[2] = {'o', 'k'}; // a char[N] without a NUL ends at its end
    tamsel::record<item> r = tamsel::parse<item>(rt, R"({"id": 1, "name": null})");
    w.begin_array().value(r->name).value(no_text).value(full).value(r);
    w.key("k").value(2).end_array();
    EXPECT_FALSE(w.finish());
    EXPECT_EQ(w.error().code, TAMSEL_STATUS_INVALID_JSON); // the key in an array
    EXPECT_EQ(out, R"([null,null,"ok",{"id":1,"name":null,"extra":null})");
}

TEST(CppSse, EventsParsedIntoRecordsUntilTheEndMarkerAtEverySplit) {
    const std::string stream = "event: delta\ndata: {\"id\": 1, \"name\": \"he\"}\n\n"
                               ": comment\nevent: ping\ndata: {}\n\n"
                               "event: delta\ndata: {\"id\": 2, \"name\": \"llo\"}\n\n"
                               "data: [DONE]\n\nevent: delta\ndata: {\"id\": 9}\n\n";
    tamsel::runtime rt;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string text, other;
        tamsel::sse events(rt);
        events.on<item>("delta", [&](const item &d) { text += d.name.view(); });
        events.on_other([&](const tamsel_sse_event &ev, std::string_view data) {
            other += std::string(ev.event) + "=" + std::string(data) + ";";
        });
        events.push(std::string_view(stream).substr(0, cut));
        events.push(std::string_view(stream).substr(cut));
        events.finish();
        ASSERT_EQ(text, "hello") << "cut at " << cut;
        ASSERT_EQ(other, "ping={};=[DONE];") << "cut at " << cut; // the marker too
        ASSERT_EQ(events.ended(), TAMSEL_SSE_ENDED_AT_MARKER);
    }
}

TEST(CppSse, AReaderFollowsItsRuntimeWhenMovedAndRefusesItOnceDestroyed) {
    std::string ids;
    auto rt = std::make_unique<tamsel::runtime>();
    tamsel::sse events(*rt);
    events.on<item>("e", [&](const item &i) { ids += std::to_string(i.id); });
    const char event[] = "event: e\ndata: {\"id\": 1}\n\n";
    events.push(event);
    auto moved = std::make_unique<tamsel::runtime>(std::move(*rt));
    rt.reset();
    events.push(event);
    EXPECT_EQ(ids, "11");
    moved.reset();
    EXPECT_EQ(events.try_push(event).error().code, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ids, "11");
}

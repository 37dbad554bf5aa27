// One record through items of changing shape, over an array stream (pulled, and pushed in
// small pieces) and an object stream: after every item the record holds exactly what a fresh
// record parsed from that item alone holds (strings shorter and longer than the last, members
// present then absent, a nested record given twice, presence ints), an item error leaves the
// stream usable as before, and every allocation failure ends in status 8 with nothing leaked.
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>
#include <tamsel.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct place {
    char *city;
    double lat;
    int has_lat;
};

struct rec {
    int64_t id;
    char *name;
    int active;
    int has_active;
    double score;
    place loc;
    char *email;
};

tamsel_field scalar(const char *name, size_t len, char first, char last, size_t offset,
                    tamsel_field_kind kind, const tamsel_map *submap = nullptr,
                    size_t presence = 0) {
    tamsel_field f{};
    f.name = name;
    f.name_len = len;
    f.name_first = first;
    f.name_last = last;
    f.offset = offset;
    f.kind = kind;
    f.submap = submap;
    if (presence) {
        f.flags = TAMSEL_FIELD_HAS_PRESENCE;
        f.presence_offset = presence;
    }
    return f;
}

const tamsel_map *rec_map() {
    static const tamsel_field place_fields[] = {
        scalar(TAMSEL_KEY("city"), offsetof(place, city), TAMSEL_FIELD_STRING),
        scalar(TAMSEL_KEY("lat"), offsetof(place, lat), TAMSEL_FIELD_F64, nullptr,
               offsetof(place, has_lat)),
    };
    static const tamsel_map place_map = {"place", sizeof(place), place_fields,
                                         2,       &place_map,    nullptr};
    static const tamsel_field fields[] = {
        scalar(TAMSEL_KEY("id"), offsetof(rec, id), TAMSEL_FIELD_I64),
        scalar(TAMSEL_KEY("name"), offsetof(rec, name), TAMSEL_FIELD_STRING),
        scalar(TAMSEL_KEY("active"), offsetof(rec, active), TAMSEL_FIELD_BOOL, nullptr,
               offsetof(rec, has_active)),
        scalar(TAMSEL_KEY("score"), offsetof(rec, score), TAMSEL_FIELD_F64),
        scalar(TAMSEL_KEY("loc"), offsetof(rec, loc), TAMSEL_FIELD_OBJECT, &place_map),
        scalar(TAMSEL_KEY("email"), offsetof(rec, email), TAMSEL_FIELD_STRING),
    };
    static const tamsel_map m = {"rec", sizeof(rec), fields, 6, &m, nullptr};
    return &m;
}

std::string describe(const rec &r) {
    auto s = [](const char *p) { return p ? std::string(p) : std::string("-"); };
    return std::to_string(r.id) + "|" + s(r.name) + "|" + std::to_string(r.active) +
           std::to_string(r.has_active) + "|" + std::to_string(r.score) + "|" + s(r.loc.city) +
           "|" + std::to_string(r.loc.lat) + std::to_string(r.loc.has_lat) + "|" + s(r.email);
}

// The items; the fifth fails at its last byte (a fraction for an integer, found when the
// number ends), so that an object stream goes on with the next line. The rest parse.
const std::vector<std::string> &items() {
    static const std::vector<std::string> v = {
        R"({"id":1,"name":"a fairly long name","active":true,"score":1.5,)"
        R"("loc":{"city":"Lisbon","lat":38.7},"email":"a@example.org"})",
        R"({"loc":{"city":"first","lat":2},"id":8,"loc":{"city":"Porto"}})",
        R"({"name":"short","loc":{"city":"A much longer city name"}})",
        R"({"id":3,"email":"e","extra":[1,{"name":"not mapped"}],"active":false})",
        R"({"name":"never kept","id":4.25})",
        R"({"loc":{"lat":-1},"name":"a name of another length"})",
        R"({})",
        R"({"id":7,"name":"a fairly long name","loc":{"city":"Lisbon","lat":38.7}})",
    };
    return v;
}

// What each item alone gives in a fresh record ("E<code>" for a failure).
std::vector<std::string> alone(tamsel_runtime *rt) {
    std::vector<std::string> out;
    for (const std::string &text : items()) {
        rec r{};
        tamsel_error e;
        const tamsel_status st =
            tamsel_parse_buffer(rt, rec_map(), &r, text.data(), text.size(), &e);
        out.push_back(st == TAMSEL_STATUS_OK ? describe(r) : "E" + std::to_string(st));
        tamsel_cleanup(rec_map(), &r);
    }
    return out;
}

// An object stream (with `map`) or an array stream over `text`, pulled through one call.
struct either_stream {
    tamsel_buffer_reader reader;
    tamsel_error e;
    tamsel_stream *os = nullptr;
    tamsel_array_stream *as = nullptr;

    either_stream(tamsel_runtime *rt, bool object_stream, const tamsel_map *map,
                  const std::string &text) {
        tamsel_buffer_reader_init(&reader, text.data(), text.size());
        if (object_stream)
            os = tamsel_stream_open_reader(rt, map, tamsel_buffer_reader_read, &reader, &e);
        else
            as = tamsel_array_stream_open_reader(rt, nullptr, tamsel_buffer_reader_read, &reader,
                                                 &e);
    }
    ~either_stream() {
        if (os) tamsel_stream_close(os);
        if (as) tamsel_array_stream_close(as);
    }
    either_stream(const either_stream &) = delete;
    either_stream &operator=(const either_stream &) = delete;
    tamsel_stream_result next(const tamsel_map *map, void *r) {
        return os ? tamsel_stream_next(os, r, &e) : tamsel_array_stream_next(as, map, r, &e);
    }
};

enum class road { object_stream, array_stream, pushed };

// The array pushed 5 bytes at a time into one record, each item described by the callback.
std::vector<std::string> pushed(tamsel_runtime *rt, const std::string &text) {
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, nullptr, &e);
    if (!s) return {"E" + std::to_string(e.code)};
    std::vector<std::string> out;
    auto on_item = [](void *user, void *dst) {
        static_cast<std::vector<std::string> *>(user)->push_back(
            describe(*static_cast<rec *>(dst)));
        return TAMSEL_STATUS_OK;
    };
    rec r{};
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t at = 0; st == TAMSEL_STATUS_OK && at < text.size(); at += 5)
        st = tamsel_array_stream_push(s, rec_map(), &r, text.data() + at,
                                      std::min<size_t>(5, text.size() - at), on_item, &out, &e);
    if (st == TAMSEL_STATUS_OK)
        st = tamsel_array_stream_finish(s, rec_map(), &r, on_item, &out, &e);
    if (st != TAMSEL_STATUS_OK) out.push_back("E" + std::to_string(st));
    tamsel_cleanup(rec_map(), &r);
    tamsel_array_stream_close(s);
    return out;
}

// Every item through one stream into one record; stops at the first allocation failure.
std::vector<std::string> streamed(tamsel_runtime *rt, road way) {
    const bool object_stream = way == road::object_stream;
    std::string text = object_stream ? "" : "[";
    for (size_t i = 0; i < items().size(); ++i)
        text += (object_stream ? "" : i ? "," : "") + items()[i] + (object_stream ? "\n" : "");
    if (!object_stream) text += "]";
    if (way == road::pushed) return pushed(rt, text);
    either_stream st(rt, object_stream, rec_map(), text);
    if (!st.os && !st.as) return {"E" + std::to_string(st.e.code)};
    std::vector<std::string> out;
    rec r{};
    for (;;) {
        const tamsel_stream_result res = st.next(rec_map(), &r);
        if (res == TAMSEL_STREAM_END) break;
        out.push_back(res == TAMSEL_STREAM_ITEM ? describe(r) : "E" + std::to_string(st.e.code));
        if (res != TAMSEL_STREAM_ITEM && (st.e.code == TAMSEL_STATUS_ALLOCATION_FAILED || !st.os))
            break;
        if (out.size() > items().size()) break; // a stream that never ends is a failure
    }
    tamsel_cleanup(rec_map(), &r);
    return out;
}

} // namespace

TEST(RecordReuse, EachItemAsIfParsedAloneThroughBothStreams) {
    // With duplicate keys rejected (the default) the last item fails; allowed, its second
    // nested record replaces the first.
    std::vector<std::string> lenient;
    for (uint32_t reject : {1u, 0u}) {
        tamsel_config c = tamsel_default_config();
        c.reject_duplicates = reject;
        tamsel_runtime *rt = tamsel_new(&c, nullptr);
        const std::vector<std::string> expected = alone(rt);
        ASSERT_EQ(expected[4], "E" + std::to_string(TAMSEL_STATUS_TYPE_MISMATCH));
        EXPECT_EQ(expected[1], reject ? "E" + std::to_string(TAMSEL_STATUS_DUPLICATE_FIELD)
                                      : "8|-|00|0.000000|Porto|0.0000000|-");
        // An object stream goes on after a failing object (after a duplicate key, at the byte
        // that follows the key: "expected top-level object" from then on); an array stream
        // stops at a failing item.
        const auto upto = expected.begin() + (reject ? 2 : 5);
        const std::vector<std::string> until_failure(expected.begin(), upto);
        std::vector<std::string> objects = streamed(rt, road::object_stream);
        if (reject) objects.resize(2);
        EXPECT_EQ(objects, reject ? until_failure : expected);
        EXPECT_EQ(streamed(rt, road::array_stream), until_failure);
        EXPECT_EQ(streamed(rt, road::pushed), until_failure);
        tamsel_free(rt);
        lenient = expected;
    }

    for (road object_stream : {road::object_stream, road::array_stream, road::pushed}) {
        const size_t runs =
            tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
                tamsel_config c = tamsel_default_config();
                c.allocator = a.get();
                c.reject_duplicates = 0;
                tamsel_runtime *frt = tamsel_new(&c, nullptr);
                if (!frt) return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
                const std::vector<std::string> got = streamed(frt, object_stream);
                tamsel_free(frt);
                const std::string failed = "E" + std::to_string(TAMSEL_STATUS_ALLOCATION_FAILED);
                if (got.empty() || got.back() != failed) return TAMSEL_STATUS_OK;
                // Everything before the failure is what the items give alone.
                for (size_t i = 0; i + 1 < got.size(); ++i)
                    EXPECT_EQ(got[i], lenient[i]) << "item " << i;
                return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
            });
        EXPECT_GT(runs, 3u) << static_cast<int>(object_stream);
    }
}

// With init_destination off the record is not emptied before an object, but a nested record is
// whenever its key comes, the first time too.
TEST(RecordReuse, NestedRecordEmptiedOnEntryWithoutInitDestination) {
    tamsel_config c = tamsel_default_config();
    c.init_destination = 0;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    const std::string text = "{\"loc\":{\"city\":\"X\"}}\n{\"id\":2}\n";
    either_stream st(rt, true, rec_map(), text);
    ASSERT_TRUE(st.os);
    rec r{};
    r.id = 9;
    r.loc.lat = 5;
    r.loc.has_lat = 1;
    ASSERT_EQ(st.next(rec_map(), &r), TAMSEL_STREAM_ITEM) << st.e.message;
    EXPECT_EQ(describe(r), "9|-|00|0.000000|X|0.0000000|-");
    ASSERT_EQ(st.next(rec_map(), &r), TAMSEL_STREAM_ITEM) << st.e.message;
    EXPECT_EQ(describe(r), "2|-|00|0.000000|X|0.0000000|-");
    tamsel_cleanup(rec_map(), &r);
    tamsel_free(rt);
}

// A map changed in place between items (new fields, a new cache_token, as the header asks) is
// read as it now stands by both streams, not through a key index of the map as it was (which
// pointed past the new fields).
TEST(RecordReuse, BothStreamsSeeAMapChangedInPlace) {
    static const tamsel_field before[] = {
        scalar(TAMSEL_KEY("id"), offsetof(rec, id), TAMSEL_FIELD_I64),
        scalar(TAMSEL_KEY("name"), offsetof(rec, name), TAMSEL_FIELD_STRING),
    };
    static const tamsel_field after[] = {
        scalar(TAMSEL_KEY("mail"), offsetof(rec, email), TAMSEL_FIELD_STRING),
    };
    static int tokens[2];
    static tamsel_map m = {"rec", sizeof(rec), before, 2, &m, &tokens[0]};
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (bool object_stream : {false, true}) {
        m.fields = before;
        m.field_count = 2;
        m.cache_token = &tokens[0];
        const std::string text =
            object_stream ? "{\"id\":1,\"name\":\"a\"}\n{\"name\":\"b\",\"mail\":\"c\"}\n"
                          : R"([{"id":1,"name":"a"},{"name":"b","mail":"c"}])";
        either_stream st(rt, object_stream, &m, text);
        ASSERT_TRUE(st.os || st.as);
        rec r{};
        ASSERT_EQ(st.next(&m, &r), TAMSEL_STREAM_ITEM);
        EXPECT_EQ(describe(r), "1|a|00|0.000000|-|0.0000000|-");
        tamsel_cleanup(&m, &r);
        r = rec{}; // members the new map does not name are the caller's
        m.fields = after;
        m.field_count = 1;
        m.cache_token = &tokens[1];
        ASSERT_EQ(st.next(&m, &r), TAMSEL_STREAM_ITEM) << st.e.message;
        EXPECT_EQ(describe(r), "0|-|00|0.000000|-|0.0000000|c");
        tamsel_cleanup(&m, &r);
    }
    tamsel_free(rt);
}

// After a push's last callback the record holds what tamsel_cleanup leaves of the item: its
// scalars, no strings, a zeroed nested record and presence ints.
TEST(RecordReuse, PushedRecordCleanedUpAfterEachCallback) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string item = items()[0];
    rec want;
    std::memset(&want, 0, sizeof want);
    tamsel_error e;
    ASSERT_EQ(tamsel_parse_buffer(rt, rec_map(), &want, item.data(), item.size(), &e),
              TAMSEL_STATUS_OK);
    tamsel_cleanup(rec_map(), &want);
    rec r;
    std::memset(&r, 0, sizeof r);
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, nullptr, &e);
    ASSERT_NE(s, nullptr);
    auto ignore = [](void *, void *) { return TAMSEL_STATUS_OK; };
    const std::string text = "[" + items()[2] + "," + item + "]";
    ASSERT_EQ(
        tamsel_array_stream_push(s, rec_map(), &r, text.data(), text.size(), ignore, nullptr, &e),
        TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_array_stream_finish(s, rec_map(), &r, ignore, nullptr, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(std::memcmp(&r, &want, sizeof r), 0) << describe(r) << " / " << describe(want);
    tamsel_array_stream_close(s);
    tamsel_cleanup(rec_map(), &r);
    tamsel_free(rt);
}

// tamsel.hpp's maps and records: the kinds TAMSEL_MAP deduces (checked at compile time), the C
// declaration macros against the same fields, a record of every member type through parse and
// to_json, and the record's life under the counting allocator, failures included.
#include "support/counting_allocator.hpp"

#include "tamsel.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace cpp_test {

struct place {
    tamsel::string city;
    double lat;
};
TAMSEL_MAP(place, city, lat);

// One member of every type the layer deduces.
struct every {
    int64_t i;
    uint64_t u;
    double f;
    tamsel::flag b;
    tamsel::string s;
    char code[4];
    place home;
    tamsel::array<int64_t> is;
    tamsel::array<uint64_t> us;
    tamsel::array<double> fs;
    tamsel::array<tamsel::flag> bs;
    tamsel::array<tamsel::string> ss;
    tamsel::array<place> places;
    tamsel::json raw;
    tamsel::spooled notes;
};
TAMSEL_MAP(every, (i, tamsel::required), u, f, b, (s, tamsel::omit_null),
           (code, tamsel::truncate_to_fit), (home, tamsel::key("home-town")), is, us, fs, bs, ss,
           places, raw, notes);

constexpr const tamsel_map &kEvery = tamsel::map_of<every>();
constexpr tamsel_field_kind kind_of(size_t i) {
    return kEvery.fields[i].kind;
}

static_assert(kEvery.field_count == 15 && kEvery.struct_size == sizeof(every));
static_assert(kEvery.cache_self == &kEvery, "the map may cache its validation");
static_assert(kind_of(0) == TAMSEL_FIELD_I64 && kEvery.fields[0].flags == TAMSEL_FIELD_REQUIRED);
static_assert(kind_of(1) == TAMSEL_FIELD_U64 && kind_of(2) == TAMSEL_FIELD_F64);
static_assert(kind_of(3) == TAMSEL_FIELD_BOOL);
static_assert(kind_of(4) == TAMSEL_FIELD_STRING &&
              kEvery.fields[4].storage == TAMSEL_STORAGE_DYNAMIC &&
              kEvery.fields[4].flags == TAMSEL_FIELD_OMIT_NULL);
static_assert(kind_of(5) == TAMSEL_FIELD_STRING &&
              kEvery.fields[5].storage == TAMSEL_STORAGE_FIXED && kEvery.fields[5].capacity == 4 &&
              kEvery.fields[5].overflow_policy == TAMSEL_OVERFLOW_TRUNCATE);
static_assert(kind_of(6) == TAMSEL_FIELD_OBJECT &&
              kEvery.fields[6].submap == &tamsel::map_of<place>());
static_assert(kEvery.fields[6].name_len == 9 && kEvery.fields[6].name_first == 'h' &&
              kEvery.fields[6].name_last == 'n');
static_assert(kind_of(7) == TAMSEL_FIELD_I64_ARRAY && kind_of(8) == TAMSEL_FIELD_U64_ARRAY &&
              kind_of(9) == TAMSEL_FIELD_F64_ARRAY && kind_of(10) == TAMSEL_FIELD_BOOL_ARRAY &&
              kind_of(11) == TAMSEL_FIELD_STRING_ARRAY);
static_assert(kind_of(12) == TAMSEL_FIELD_OBJECT_ARRAY &&
              kEvery.fields[12].submap == &tamsel::map_of<place>() &&
              kEvery.fields[12].elem_size == sizeof(place));
static_assert(kind_of(13) == TAMSEL_FIELD_JSON_VALUE &&
              kEvery.fields[13].flags == TAMSEL_FIELD_CAPTURE);
static_assert(kind_of(14) == TAMSEL_FIELD_SPOOLED_TEXT);
// TAMSEL_MAP refuses two members under one JSON key (to_json would write the key twice): the
// check, on one key given twice and on keys that differ in their last byte only.
struct two_keys {
    int64_t a, b, c;
};
constexpr tamsel_field kTwoKeys[] = {TAMSEL_MEMBER_AS(I64, "ab", two_keys, a, 0),
                                     TAMSEL_MEMBER_AS(I64, "ac", two_keys, b, 0),
                                     TAMSEL_MEMBER_AS(I64, "ab", two_keys, c, 0)};
static_assert(!tamsel::detail::keys_distinct(kTwoKeys));
static_assert(tamsel::detail::keys_distinct<2>({kTwoKeys[0], kTwoKeys[1]}));
static_assert(sizeof(tamsel::array<int64_t>) == sizeof(tamsel_i64_array) &&
              sizeof(tamsel::array<tamsel::string>) == sizeof(tamsel_string_array) &&
              sizeof(tamsel::array<place>) == sizeof(tamsel_object_array));

// A plain C record, declared once with the C macros and once with TAMSEL_MAP: the same fields.
struct plain_inner {
    int64_t n;
};
TAMSEL_MAP(plain_inner, n);
static const tamsel_field kPlainInnerFields[] = {TAMSEL_MEMBER_I64(plain_inner, n, 0)};
TAMSEL_DEFINE_MAP(kPlainInnerMap, plain_inner, kPlainInnerFields);

struct plain {
    int64_t id;
    uint64_t big;
    double score;
    char country[3];
    plain_inner inner;
};
TAMSEL_MAP(plain, (id, tamsel::required), big, score, (country, tamsel::key("cc")), inner);
static const tamsel_field kPlainFields[] = {
    TAMSEL_MEMBER_I64(plain, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_U64(plain, big, 0),
    TAMSEL_MEMBER_F64(plain, score, 0),
    TAMSEL_MEMBER_AS(FIXED_STRING, "cc", plain, country, TAMSEL_OVERFLOW_FAIL, 0),
    TAMSEL_MEMBER_OBJECT(plain, inner, &tamsel::map_of<plain_inner>(), 0),
};
TAMSEL_DEFINE_MAP(kPlainMap, plain, kPlainFields);

// The C macros of the other kinds, one each, as constants.
struct c_kinds {
    char *s;
    tamsel_spooled sp;
    tamsel_source src;
    tamsel_json_value jv;
    int flag;
    int has_n;
    int64_t n;
    tamsel_string_array sa;
    tamsel_bool_array ba;
    tamsel_object_array oa;
    tamsel_mapped_array_stream ms;
};
constexpr tamsel_field kCKinds[] = {
    TAMSEL_MEMBER_SPOOLED_BYTES(c_kinds, sp, 2, 0),
    TAMSEL_MEMBER_SOURCE_TEXT(c_kinds, src, TAMSEL_FIELD_OMIT_NULL),
    TAMSEL_MEMBER_JSON_VALUE(c_kinds, jv, TAMSEL_FIELD_CAPTURE),
    TAMSEL_MEMBER_BOOL(c_kinds, flag, 0),
    TAMSEL_MEMBER_I64_PRESENCE(c_kinds, n, has_n, TAMSEL_FIELD_NULLABLE),
    TAMSEL_MEMBER_STRING_ARRAY(c_kinds, sa, 0),
    TAMSEL_MEMBER_OBJECT_ARRAY(c_kinds, oa, plain_inner, &kPlainInnerMap, 0),
    TAMSEL_MEMBER_MAPPED_ARRAY_STREAM(c_kinds, ms, &kPlainInnerMap, 0),
};
static_assert(kCKinds[0].kind == TAMSEL_FIELD_SPOOLED_BYTES && kCKinds[0].spool_class == 2);
static_assert(kCKinds[1].kind == TAMSEL_FIELD_SOURCE_TEXT &&
              kCKinds[1].flags == TAMSEL_FIELD_OMIT_NULL);
static_assert(kCKinds[2].kind == TAMSEL_FIELD_JSON_VALUE && kCKinds[3].kind == TAMSEL_FIELD_BOOL);
static_assert(kCKinds[4].kind == TAMSEL_FIELD_I64 &&
              kCKinds[4].flags == (TAMSEL_FIELD_NULLABLE | TAMSEL_FIELD_HAS_PRESENCE) &&
              kCKinds[4].presence_offset == offsetof(c_kinds, has_n));
static_assert(kCKinds[6].kind == TAMSEL_FIELD_OBJECT_ARRAY &&
              kCKinds[6].elem_size == sizeof(plain_inner) && kCKinds[6].submap == &kPlainInnerMap);
static_assert(kCKinds[7].kind == TAMSEL_FIELD_MAPPED_ARRAY_STREAM && kCKinds[7].name_len == 2 &&
              kCKinds[7].name_first == 'm' && kCKinds[7].name_last == 's');

tamsel_config counted_config(tamsel_test::counting_allocator &a) {
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    return c;
}

const char kEveryText[] =
    R"({"i": -7, "u": 18446744073709551615, "f": 0.5, "b": true, "s": "h\u00e9\n", "code": "ABCDE",
        "home-town": {"city": "Oslo", "lat": 59.9}, "is": [1, -2], "us": [3], "fs": [0.25],
        "bs": [true, false], "ss": ["x", "y\"z"], "places": [{"city": "A", "lat": 1}, {"city": "B"}],
        "raw": {"k": [1, {"n": null}]}, "notes": "long text"})";

} // namespace cpp_test

using namespace cpp_test;

TEST(CppMap, CMacrosDeclareTheFieldsTamselMapDeduces) {
    const tamsel_map &deduced = tamsel::map_of<plain>();
    ASSERT_EQ(deduced.field_count, kPlainMap.field_count);
    EXPECT_EQ(kPlainMap.cache_self, &kPlainMap);
    EXPECT_STREQ(kPlainMap.name, "plain");
    EXPECT_EQ(kPlainMap.struct_size, sizeof(plain));
    for (size_t i = 0; i < deduced.field_count; ++i) {
        const tamsel_field &a = deduced.fields[i], &b = kPlainMap.fields[i];
        SCOPED_TRACE(b.name);
        EXPECT_STREQ(a.name, b.name);
        EXPECT_EQ(a.name_len, b.name_len);
        EXPECT_EQ(a.name_first, b.name_first);
        EXPECT_EQ(a.name_last, b.name_last);
        EXPECT_EQ(a.offset, b.offset);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.storage, b.storage);
        EXPECT_EQ(a.overflow_policy, b.overflow_policy);
        EXPECT_EQ(a.flags, b.flags);
        EXPECT_EQ(a.capacity, b.capacity);
        EXPECT_EQ(a.elem_size, b.elem_size);
        EXPECT_EQ(a.submap, b.submap);
        EXPECT_EQ(a.spool_options, b.spool_options);
        EXPECT_EQ(a.presence_offset, b.presence_offset);
        EXPECT_EQ(a.spool_class, b.spool_class);
    }
    // Both parse alike.
    tamsel::runtime rt;
    plain c{};
    const char text[] = R"({"id": 3, "big": 4, "score": 1.5, "cc": "NO", "inner": {"n": 9}})";
    ASSERT_EQ(tamsel_parse_cstr(rt.get(), &kPlainMap, &c, text, nullptr), TAMSEL_STATUS_OK);
    tamsel::record<plain> r = tamsel::parse<plain>(rt, text);
    EXPECT_EQ(std::memcmp(&c, r.get(), sizeof c), 0);
}

TEST(CppMap, EveryMemberTypeRoundTripsThroughParseAndToJson) {
    tamsel::runtime rt;
    tamsel::record<every> r = tamsel::parse<every>(rt, kEveryText);
    EXPECT_TRUE(r.truncated()); // "ABCDE" into char[4]
    EXPECT_EQ(r->i, -7);
    EXPECT_EQ(r->u, UINT64_MAX);
    EXPECT_TRUE(r->b);
    EXPECT_EQ(r->s, "h\xc3\xa9\n");
    EXPECT_STREQ(r->code, "ABC");
    EXPECT_EQ(r->home.city, "Oslo");
    ASSERT_EQ(r->is.size(), 2u);
    EXPECT_EQ(r->is[1], -2);
    EXPECT_FALSE(r->bs[1]);
    EXPECT_EQ(r->ss[1], "y\"z");
    ASSERT_EQ(r->places.size(), 2u);
    EXPECT_EQ(r->places[1].city, "B");
    EXPECT_EQ(r->places[1].lat, 0.0);
    EXPECT_EQ(r->raw.text(), R"({"k":[1,{"n":null}]})");
    EXPECT_EQ(r->notes.str(), "long text");

    const std::string compact = tamsel::to_json(rt, r);
    EXPECT_EQ(compact,
              R"({"i":-7,"u":18446744073709551615,"f":0.5,"b":true,"s":"h)"
              "\xc3\xa9"
              R"(\n","code":"ABC","home-town":{"city":"Oslo","lat":59.899999999999999},)"
              R"("is":[1,-2],"us":[3],"fs":[0.25],"bs":[true,false],"ss":["x","y\"z"],)"
              R"("places":[{"city":"A","lat":1},{"city":"B","lat":0}],"raw":{"k":[1,{"n":null}]},)"
              R"("notes":"long text"})");
    // The text read back gives the same text; pretty output is the library's pretty layout.
    EXPECT_EQ(tamsel::to_json(rt, tamsel::parse<every>(rt, compact)), compact);
    tamsel_config pretty = tamsel_default_config();
    pretty.pretty = 1;
    tamsel::runtime pretty_rt(pretty);
    char *expected = tamsel_serialize_alloc(pretty_rt.get(), &kEvery, r.get(), nullptr, nullptr);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(tamsel::to_json(rt, *r, true), expected);
    std::free(expected);
    EXPECT_EQ(tamsel::to_json(pretty_rt, *r, false), compact); // and the other way round
}

TEST(CppMap, ParseErrorsCarryTheirPositionInWhatAndTheRecord) {
    tamsel::runtime rt;
    const char bad[] = "{\"i\": 1,\n  \"u\": -1}";
    every c{};
    tamsel_error ce{};
    ASSERT_EQ(tamsel_parse_cstr(rt.get(), &kEvery, &c, bad, &ce), TAMSEL_STATUS_TYPE_MISMATCH);
    tamsel_cleanup(&kEvery, &c);
    ASSERT_EQ(ce.line, 2u);
    try {
        tamsel::parse<every>(rt, bad);
        FAIL() << "no error";
    } catch (const tamsel::error &e) {
        EXPECT_EQ(e.status(), TAMSEL_STATUS_TYPE_MISMATCH);
        EXPECT_EQ(e.line(), 2u);
        EXPECT_EQ(e.column(), ce.column);
        EXPECT_EQ(e.offset(), ce.offset);
        EXPECT_EQ(std::string(e.what()),
                  "2:" + std::to_string(ce.column) + ": " + std::string(ce.message));
    }
    auto missing = tamsel::try_parse<every>(rt, "{}");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_EQ(missing.message(), "1:2: missing required field 'i'");
    // An error outside the input has no position in its text.
    auto no_file = tamsel::try_parse<every>(rt, tamsel::file("/nonexistent/x.json"));
    EXPECT_EQ(no_file.message(), "failed to open '/nonexistent/x.json'");
    EXPECT_THROW(no_file.value(), tamsel::error);
}

TEST(CppRecord, MovedFromRuntimesAndRecordsAreRefusedWithStatus1) {
    tamsel::runtime rt;
    tamsel::record<plain> r = tamsel::parse<plain>(rt, R"({"id": 1})");
    tamsel::record<plain> taker = std::move(r);
    auto empty = tamsel::try_to_json(rt, r);
    EXPECT_EQ(empty.error().code, TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(empty.message(), "record holds no value");
    std::string out;
    tamsel::writer w(rt, out, tamsel::no_throw);
    EXPECT_FALSE(w.value(r).finish());
    EXPECT_EQ(w.error().code, TAMSEL_STATUS_INVALID_ARGUMENT);

    tamsel::runtime keeper = std::move(rt);
    for (bool pretty : {false, true}) { // both layouts: the second runtime is not made either
        auto text = tamsel::try_to_json(rt, *taker, pretty);
        EXPECT_EQ(text.error().code, TAMSEL_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(text.message(), "tamsel runtime is required");
    }
    EXPECT_EQ(tamsel::to_json(keeper, taker),
              R"({"id":1,"big":0,"score":0,"cc":"","inner":{"n":0}})");
}

TEST(CppRecord, MembersAndRecordsReleaseEverythingTheyHoldOnce) {
    tamsel_test::counting_allocator a;
    {
        tamsel::runtime rt(counted_config(a));
        const size_t no_record = a.live_blocks(); // the runtime's own
        tamsel::record<every> r = tamsel::parse<every>(rt, kEveryText);
        const size_t one_record = a.live_blocks();
        {
            tamsel::string moved = std::move(r->s); // values may leave their record
            tamsel::array<place> places = std::move(r->places);
            EXPECT_FALSE(r->s.has_value());
            EXPECT_TRUE(r->places.empty());
            tamsel::record<every> other = std::move(r);
            EXPECT_FALSE(r);
            other = tamsel::parse<every>(rt, kEveryText); // the first record is released here
            EXPECT_EQ(moved, "h\xc3\xa9\n");
            EXPECT_EQ(places[0].city, "A");
        }
        EXPECT_EQ(a.live_blocks(), no_record);
        r = tamsel::parse<every>(rt, kEveryText);
        EXPECT_EQ(a.live_blocks(), one_record);
    }
    EXPECT_EQ(a.live_blocks(), 0u);
}

TEST(CppRecord, AllocationFailuresAtEveryIndexReportStatus8AndLeakNothing) {
    const size_t runs = tamsel_test::expect_allocation_failures_clean([](auto &a) {
        auto rt = tamsel::runtime::make(counted_config(a));
        if (!rt) return rt.error().code;
        auto r = tamsel::try_parse<every>(*rt, kEveryText);
        if (!r) return r.error().code;
        auto text = tamsel::try_to_json(*rt, *r, true); // makes the pretty runtime
        if (!text) return text.error().code;
        // A range of two records (its stream, and the record reused for the second).
        auto items = tamsel::try_items<every>(*rt, "[" + *text + "," + *text + "]");
        size_t n = 0;
        for (const every &e : items)
            n += e.places.size();
        return items.failed() ? items.error().code
               : n == 4       ? TAMSEL_STATUS_OK
                              : TAMSEL_STATUS_INTERNAL_ERROR;
    });
    EXPECT_GT(runs, 30u);
}

// Map analysis, the per-thread cache, key lookup, and the lifecycle of mapped records.
#include "parse/item_cache.hpp"
#include "parse_support.hpp"

#include <cstring>
#include <string>
#include <vector>

using tamsel::parse::analyze_map;
using tamsel::parse::find_field;

namespace {

tamsel_field key_field(const char *name, size_t offset, tamsel_field_kind kind) {
    tamsel_field f{};
    f.name = name;
    f.name_len = std::strlen(name);
    f.name_first = f.name_len ? name[0] : 0;
    f.name_last = f.name_len ? name[f.name_len - 1] : 0;
    f.offset = offset;
    f.kind = kind;
    return f;
}

tamsel_status parse_into(const tamsel_map *m, void *dst, const char *json, tamsel_error *e) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_status st = tamsel_parse_cstr(rt, m, dst, json, e);
    tamsel_free(rt);
    return st;
}

} // namespace

TEST(MapAnalysis, LayoutRules) {
    unsigned char record[64];
    tamsel_field f = key_field("a", 57, TAMSEL_FIELD_I64); // one byte past the end
    tamsel_field g = key_field("b", 0, TAMSEL_FIELD_I64);
    tamsel_field fields[] = {f, g};
    tamsel_map m = {"m", 64, fields, 2, nullptr, nullptr};
    EXPECT_FALSE(analyze_map(&m).valid);
    tamsel_error e;
    EXPECT_EQ(parse_into(&m, record, "{}", &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid field layout");
    std::memset(record, 0xEE, sizeof record);
    tamsel_init(nullptr, &m, record);
    int64_t b;
    std::memcpy(&b, record, sizeof b);
    EXPECT_EQ(b, 0) << "init still initialises the valid fields";
    fields[0].offset = 56;
    EXPECT_TRUE(analyze_map(&m).valid);

    tamsel_field s = key_field("s", 0, TAMSEL_FIELD_STRING);
    s.flags = TAMSEL_FIELD_HAS_PRESENCE;
    tamsel_map ms = {"m", 64, &s, 1, nullptr, nullptr};
    EXPECT_FALSE(analyze_map(&ms).valid) << "presence only for scalars";
    s.flags = TAMSEL_FIELD_REQUIRED | TAMSEL_FIELD_OMIT_EMPTY;
    EXPECT_FALSE(analyze_map(&ms).valid);
    s.flags = 0;
    s.name = nullptr;
    EXPECT_FALSE(analyze_map(&ms).valid) << "a NULL key";
    s = key_field("s", 0, TAMSEL_FIELD_STRING);
    s.name_last = 'x';
    EXPECT_FALSE(analyze_map(&ms).valid) << "first and last bytes must agree with the name";
    s = key_field("s", 0, 19);
    EXPECT_FALSE(analyze_map(&ms).valid) << "unknown kind";
    s = key_field("s", 0, TAMSEL_FIELD_STRING);
    s.storage = TAMSEL_STORAGE_FIXED;
    s.capacity = 0;
    EXPECT_FALSE(analyze_map(&ms).valid);
}

TEST(MapAnalysis, PresenceOutsideTheRecordIsNeverWritten) {
    auto *record = static_cast<unsigned char *>(std::malloc(16));
    tamsel_field f = key_field("n", 0, TAMSEL_FIELD_I64);
    f.flags = TAMSEL_FIELD_HAS_PRESENCE;
    f.presence_offset = 14; // only 2 bytes left: no room for an int
    tamsel_map m = {"m", 16, &f, 1, nullptr, nullptr};
    EXPECT_FALSE(analyze_map(&m).valid);
    tamsel_init(nullptr, &m, record); // clean under ASan
    tamsel_reset(nullptr, &m, record);
    std::free(record);
}

TEST(MapAnalysis, SelfReferenceIsATreeThroughArraysButInvalidByValue) {
    struct node {
        int64_t v;
        tamsel_object_array kids;
    };
    static tamsel_field node_fields[2];
    static tamsel_map node_map = {"node", sizeof(node), node_fields, 2, &node_map, nullptr};
    node_fields[0] = key_field("v", offsetof(node, v), TAMSEL_FIELD_I64);
    node_fields[1] = key_field("kids", offsetof(node, kids), TAMSEL_FIELD_OBJECT_ARRAY);
    node_fields[1].submap = &node_map;
    node_fields[1].elem_size = sizeof(node);
    auto a = analyze_map(&node_map);
    EXPECT_TRUE(a.valid);
    EXPECT_TRUE(a.may_allocate);
    node n;
    tamsel_error e;
    ASSERT_EQ(parse_into(&node_map, &n, R"({"v":1,"kids":[{"v":2,"kids":[{"v":3}]}]})", &e), 0u)
        << e.message;
    auto *kid = static_cast<node *>(n.kids.items);
    EXPECT_EQ(static_cast<node *>(kid->kids.items)->v, 3);
    tamsel_cleanup(&node_map, &n);

    struct looped {
        unsigned char self[64];
    };
    static tamsel_field loop_field;
    static tamsel_map loop_map = {"loop", sizeof(looped), &loop_field, 1, nullptr, nullptr};
    loop_field = key_field("self", 0, TAMSEL_FIELD_OBJECT);
    loop_field.submap = &loop_map;
    EXPECT_FALSE(analyze_map(&loop_map).valid) << "a record cannot contain itself";
    looped l;
    tamsel_init(nullptr, &loop_map, &l); // terminates
    tamsel_cleanup(&loop_map, &l);
}

TEST(MapAnalysis, ObjectArrayStrideMustHoldAnItem) {
    struct big {
        unsigned char bytes[64];
    };
    static const tamsel_map item = {"big", sizeof(big), nullptr, 0, nullptr, nullptr};
    struct holder {
        tamsel_object_array items;
    } h;
    tamsel_field f = key_field("items", 0, TAMSEL_FIELD_OBJECT_ARRAY);
    f.submap = &item;
    f.elem_size = 8;
    tamsel_map m = {"h", sizeof(holder), &f, 1, nullptr, nullptr};
    tamsel_error e;
    EXPECT_EQ(parse_into(&m, &h, R"({"items":[{}]})", &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid field layout");
    f.elem_size = 64;
    ASSERT_EQ(parse_into(&m, &h, R"({"items":[{},{},{}]})", &e), 0u);
    h.items.elem_size = 7; // informational only: cleanup walks the field's stride
    tamsel_cleanup(&m, &h);
}

TEST(MapAnalysis, CacheNoticesANewMapAtTheSameAddress) {
    struct rec {
        int64_t a;
    };
    tamsel_field good = key_field("a", 0, TAMSEL_FIELD_I64);
    tamsel_field bad = key_field("a", 4, TAMSEL_FIELD_I64); // past the 8-byte record
    auto *m = static_cast<tamsel_map *>(std::malloc(sizeof(tamsel_map)));
    *m = {"m", sizeof(rec), &good, 1, m, nullptr};
    EXPECT_TRUE(analyze_map(m).valid);
    // "Free" it and build another map at the same address with the same NULL token.
    *m = {"m", sizeof(rec), &bad, 1, m, nullptr};
    EXPECT_FALSE(analyze_map(m).valid);
    m->fields = &good;
    m->struct_size = 4;
    EXPECT_FALSE(analyze_map(m).valid) << "a changed record size is noticed too";
    std::free(m);
}

TEST(MapLookup, HintAndByteFilters) {
    tamsel_field fields[] = {key_field("ab", 0, TAMSEL_FIELD_I64),
                             key_field("abc", 8, TAMSEL_FIELD_I64),
                             key_field("", 16, TAMSEL_FIELD_I64)};
    tamsel_map m = {"m", 24, fields, 3, nullptr, nullptr};
    uint32_t hint = 0;
    EXPECT_EQ(find_field(m, &hint, "ab", 2), &fields[0]);
    EXPECT_EQ(hint, 1u);
    EXPECT_EQ(find_field(m, &hint, "abc", 3), &fields[1]);
    EXPECT_EQ(find_field(m, &hint, "", 0), &fields[2]);
    EXPECT_EQ(find_field(m, &hint, "ax", 2), nullptr) << "last byte differs";
    EXPECT_EQ(find_field(m, &hint, "axc", 3), nullptr) << "middle byte differs";
    EXPECT_EQ(find_field(m, &hint, "abc", 3), &fields[1]) << "out of order still matches";
}

TEST(MapLookup, WideMapsStillRejectDuplicates) {
    struct wide {
        int64_t v[65];
    };
    static tamsel_field fields[65];
    static char names[65][6];
    for (int i = 0; i < 65; ++i) {
        std::snprintf(names[i], sizeof names[i], "f%d", i);
        fields[i] = key_field(names[i], 8 * static_cast<size_t>(i), TAMSEL_FIELD_I64);
    }
    fields[64].flags = TAMSEL_FIELD_REQUIRED;
    static const tamsel_map m = {"wide", sizeof(wide), fields, 65, nullptr, nullptr};
    wide w;
    tamsel_error e;
    EXPECT_EQ(parse_into(&m, &w, R"({"f64": 1, "f3": 2, "f3": 3})", &e),
              TAMSEL_STATUS_DUPLICATE_FIELD);
    EXPECT_STREQ(e.message, "duplicate field 'f3'");
    EXPECT_EQ(parse_into(&m, &w, R"({"f1": 1})", &e), TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(e.message, "missing required field 'f64'");
    EXPECT_EQ(parse_into(&m, &w, R"({})", &e), TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    ASSERT_EQ(parse_into(&m, &w, R"({"f64": 5, "f0": 1})", &e), 0u);
    EXPECT_EQ(w.v[64], 5);
}

TEST(MapLifecycle, CleanupIsSafeToRepeatAndStreamsKeepTheirHandlers) {
    struct rec {
        char *s;
        tamsel_spooled sp;
        tamsel_string_array_stream st;
    };
    tamsel_field fields[] = {key_field("s", offsetof(rec, s), TAMSEL_FIELD_STRING),
                             key_field("sp", offsetof(rec, sp), TAMSEL_FIELD_SPOOLED_TEXT),
                             key_field("st", offsetof(rec, st), TAMSEL_FIELD_STRING_ARRAY_STREAM)};
    tamsel_spool_options tiny = tamsel__default_spool_options();
    tiny.memory_limit = 4;
    fields[1].spool_options = &tiny;
    tamsel_map m = {"rec", sizeof(rec), fields, 3, nullptr, nullptr};
    rec r;
    tamsel_init(nullptr, &m, &r);
    tamsel_string_chunk_handler h{};
    h.chunk = [](void *, const char *, size_t, tamsel_error *) { return TAMSEL_STATUS_OK; };
    ASSERT_EQ(tamsel_string_array_stream_set_handler(&r.st, &h, nullptr, nullptr), 0u);
    tamsel_error e;
    ASSERT_EQ(tamsel_spooled_append(&r.sp, "0123456789", 10, &e), 0u); // spills
    tamsel_cleanup(&m, &r);
    tamsel_cleanup(&m, &r);
    EXPECT_EQ(r.st.chunk, h.chunk) << "the handler survives cleanup";
    tamsel_init(nullptr, &m, &r);
    EXPECT_EQ(r.st.chunk, h.chunk) << "and init of a record that validates";
    tamsel_cleanup(&m, &r);
}

// The key index of a stream's map plan finds what the scan from the front finds: every field
// by its own name (the first of two sharing a name), nothing for names that share length and
// end bytes with a field, at every key length the word compare treats differently.
TEST(MapPlans, KeyIndexAgreesWithTheScan) {
    std::vector<std::string> names;
    for (size_t len = 1; len <= 20; ++len)
        names.push_back(std::string(len, 'k'));
    names.push_back("kkkk"); // a second field of that name
    std::vector<tamsel_field> fields(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        fields[i].name = names[i].c_str();
        fields[i].name_len = names[i].size();
        fields[i].kind = TAMSEL_FIELD_I64;
    }
    const tamsel_map map = {"keys", 8, fields.data(), fields.size(), nullptr, nullptr};
    tamsel::parse::plan_set plans;
    const tamsel::parse::map_plan *plan = plans.of(&map);
    ASSERT_NE(plan, nullptr);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string key = names[i];
        uint32_t hint = 0, scan_hint = 0;
        EXPECT_EQ(find_field_planned(*plan, &hint, key.data(), key.size()),
                  find_field(map, &scan_hint, key.data(), key.size()))
            << key;
        EXPECT_EQ(hint, scan_hint) << key;
        for (size_t at = 0; at < key.size(); ++at) {
            std::string other = key;
            other[at] = 'x';
            hint = 3;
            EXPECT_EQ(find_field_planned(*plan, &hint, other.data(), other.size()), nullptr)
                << other;
        }
    }
}

// A plan's reset and cleanup steps share the set's pool: a plan built once it is full has none
// (its records are emptied field by field), and forgetting the plans gives the room back. Its
// key index finds what the scan finds for keys out of the map's order.
// Through its steps a record is cleaned up as tamsel_cleanup cleans it: strings of the nested
// record detached before it is zeroed whole, presence ints zeroed, scalars kept.
TEST(MapPlans, StepsShareThePoolAndCleanUpAsCleanupDoes) {
    struct inner {
        char *city;
        double lat;
    };
    struct outer {
        int64_t id;
        char *name;
        int flag;
        int has_flag;
        inner at;
        char *note;
    };
    tamsel_field inner_fields[] = {key_field("city", offsetof(inner, city), TAMSEL_FIELD_STRING),
                                   key_field("lat", offsetof(inner, lat), TAMSEL_FIELD_F64)};
    const tamsel_map inner_map = {"inner", sizeof(inner), inner_fields, 2, nullptr, nullptr};
    tamsel_field fields[] = {key_field("id", offsetof(outer, id), TAMSEL_FIELD_I64),
                             key_field("name", offsetof(outer, name), TAMSEL_FIELD_STRING),
                             key_field("flag", offsetof(outer, flag), TAMSEL_FIELD_BOOL),
                             key_field("at", offsetof(outer, at), TAMSEL_FIELD_OBJECT),
                             key_field("note", offsetof(outer, note), TAMSEL_FIELD_STRING)};
    fields[2].flags = TAMSEL_FIELD_HAS_PRESENCE;
    fields[2].presence_offset = offsetof(outer, has_flag);
    fields[3].submap = &inner_map;
    const tamsel_map map = {"outer", sizeof(outer), fields, 5, nullptr, nullptr};

    tamsel::parse::plan_set plans;
    const tamsel::parse::map_plan *plan = plans.of(&map);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->reset_count, 7u); // id, name, flag, has_flag, city, lat, note
    ASSERT_NE(plans.cleanup_count(*plan), 0u);
    // Keys in another order than the map's, twice: the same fields and hints as the scan.
    for (int round = 0; round < 2; ++round) {
        uint32_t hint = 0, scan_hint = 0;
        for (const char *key : {"note", "id", "at", "name", "nope", "flag", "note"})
            EXPECT_EQ(find_field_planned(*plan, &hint, key, std::strlen(key)),
                      find_field(map, &scan_hint, key, std::strlen(key)))
                << key << " " << hint << " " << scan_hint;
        EXPECT_EQ(hint, scan_hint);
    }
    outer want{}, r{};
    tamsel_error e;
    const char *json = R"({"id":5,"name":"n","flag":true,"at":{"city":"c","lat":1.5},"note":"x"})";
    ASSERT_EQ(parse_into(&map, &want, json, &e), TAMSEL_STATUS_OK);
    ASSERT_EQ(parse_into(&map, &r, json, &e), TAMSEL_STATUS_OK);
    tamsel_cleanup(&map, &want);
    tamsel::parse::string_spares spares;
    tamsel::parse::cleanup_planned(plans, *plan, reinterpret_cast<unsigned char *>(&r), spares);
    EXPECT_EQ(std::memcmp(&r, &want, sizeof r), 0);
    EXPECT_EQ(r.id, 5);
    EXPECT_EQ(spares.held, 3u);
    spares.release();

    // Maps of 24 strings fill the pools: the first takes 48 words (its reset and cleanup
    // steps), the second finds room for its reset steps only, the third for none, and the
    // fourth finds no room for its key index (no plan: its keys go through find_field).
    std::vector<tamsel_field> wide(24, key_field("s", 0, TAMSEL_FIELD_STRING));
    std::vector<std::string> names;
    for (size_t i = 0; i < wide.size(); ++i)
        names.push_back("s" + std::to_string(i));
    for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = key_field(names[i].c_str(), i * sizeof(char *), TAMSEL_FIELD_STRING);
    std::vector<tamsel_map> maps(4,
                                 {"wide", 24 * sizeof(char *), wide.data(), 24, nullptr, nullptr});
    const uint32_t want_reset[] = {24, 24, 0}, want_cleanup[] = {24, 0, 0};
    for (size_t i = 0; i < 3; ++i) {
        const tamsel::parse::map_plan *p = plans.of(&maps[i]);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->reset_count, want_reset[i]) << i;
        EXPECT_EQ(plans.cleanup_count(*p), want_cleanup[i]) << i;
    }
    EXPECT_EQ(plans.of(&maps[3]), nullptr);
    plans.clear();
    EXPECT_EQ(plans.of(&maps[3])->reset_count, 24u);
}

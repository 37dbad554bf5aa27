// Values handed on while they are read: spooled fields (text and base64), string array
// streams, mapped array streams, and JSON value fields in capture, sink and visitor modes.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"
#include "support/event_log.hpp"

#include <cstdlib>
#include <cstring>

using namespace parse_test;

namespace {

struct item {
    char *name;
    int64_t n;
};

struct rec {
    tamsel_spooled text;
    tamsel_spooled bytes;
    tamsel_string_array_stream strings;
    tamsel_mapped_array_stream items;
    tamsel_json_value value;
    char fixed[8];
};

const tamsel_map *item_map() {
    static const tamsel_field fields[] = {{TAMSEL_KEY("name"), offsetof(item, name),
                                           TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
                                           0},
                                          {TAMSEL_KEY("n"), offsetof(item, n), TAMSEL_FIELD_I64, 0,
                                           0, TAMSEL_FIELD_REQUIRED, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map map = {"item", sizeof(item), fields, 2, &map, nullptr};
    return &map;
}

const tamsel_map *rec_map() {
    static const tamsel_field fields[] = {
        {TAMSEL_KEY("text"), offsetof(rec, text), TAMSEL_FIELD_SPOOLED_TEXT, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("bytes"), offsetof(rec, bytes), TAMSEL_FIELD_SPOOLED_BYTES, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("strings"), offsetof(rec, strings), TAMSEL_FIELD_STRING_ARRAY_STREAM, 0, 0, 0,
         0, 0, nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("items"), offsetof(rec, items), TAMSEL_FIELD_MAPPED_ARRAY_STREAM, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("value"), offsetof(rec, value), TAMSEL_FIELD_JSON_VALUE, 0, 0,
         TAMSEL_FIELD_CAPTURE, 0, 0, nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("fixed"), offsetof(rec, fixed), TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
         TAMSEL_OVERFLOW_TRUNCATE, 0, 8, 0, nullptr, nullptr, 0, 0},
    };
    static const tamsel_map map = {"rec", sizeof(rec), fields, 6, &map, nullptr};
    return &map;
}

std::string spooled_bytes(const tamsel_spooled &s) {
    std::string out;
    tamsel_error e;
    tamsel_spooled_write_to_sink(
        &s,
        [](void *u, const void *d, size_t n, tamsel_error *) {
            static_cast<std::string *>(u)->append(static_cast<const char *>(d), n);
            return TAMSEL_STATUS_OK;
        },
        &out, &e);
    return out;
}

struct collected {
    std::vector<std::string> strings;
    std::vector<std::string> names;
    std::vector<int64_t> ns;
    size_t chunks = 0;
    tamsel_status begin_answer = TAMSEL_STATUS_OK;
    tamsel_status callback_answer = TAMSEL_STATUS_OK;
};

class Streamed : public ::testing::Test {
  protected:
    void SetUp() override {
        rt_ = tamsel_new(nullptr, nullptr);
        std::memset(&r_, 0xAB, sizeof r_); // never initialised: the parse must cope
        std::memset(&item_, 0xAB, sizeof item_);
        tamsel_init(rt_, rec_map(), &r_);
        tamsel_string_chunk_handler h{};
        h.begin = [](void *u, tamsel_error *) {
            auto *c = static_cast<collected *>(u);
            c->strings.emplace_back();
            return c->begin_answer;
        };
        h.chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
            auto *c = static_cast<collected *>(u);
            c->strings.back().append(b, n);
            c->chunks++;
            return TAMSEL_STATUS_OK;
        };
        ASSERT_EQ(tamsel_string_array_stream_set_handler(&r_.strings, &h, &c_, nullptr), 0u);
        tamsel_mapped_item_handler mh{item_map(), &item_, nullptr, &c_};
        mh.callback = [](void *u, void *it, tamsel_error *) {
            auto *c = static_cast<collected *>(u);
            auto *i = static_cast<item *>(it);
            c->names.push_back(i->name ? i->name : "<null>");
            c->ns.push_back(i->n);
            return c->callback_answer;
        };
        ASSERT_EQ(tamsel_mapped_array_stream_set_handler(&r_.items, &mh, nullptr), 0u);
    }
    void TearDown() override {
        tamsel_cleanup(rec_map(), &r_);
        tamsel_cleanup(item_map(), &item_);
        tamsel_free(rt_);
    }
    tamsel_status parse(const std::string &json, const std::vector<size_t> &cuts = {}) {
        tamsel_parse_options o = tamsel__default_parse_options();
        o.init_destination = 0; // keep the handlers and the holder configuration
        outcome out = feed_pieces(json, cuts, rec_map(), &r_, &o);
        e_ = out;
        return out.status;
    }
    tamsel_runtime *rt_ = nullptr;
    rec r_;
    item item_;
    collected c_;
    outcome e_;
};

} // namespace

TEST_F(Streamed, SpooledTextStoresDecodedBytes) {
    ASSERT_EQ(parse(R"({"text": "a\nb\u00e9"})"), 0u) << e_.message;
    EXPECT_EQ(spooled_bytes(r_.text), "a\nb\xC3\xA9");
    std::string big(200000, 'x');
    ASSERT_EQ(parse("{\"text\": \"" + big + "\"}"), 0u) << e_.message;
    EXPECT_EQ(tamsel_spooled_size(&r_.text), big.size());
    EXPECT_EQ(tamsel_spooled_spilled(&r_.text), 1) << "beyond memory_limit it spills";
    EXPECT_EQ(spooled_bytes(r_.text), big);
}

TEST_F(Streamed, SpooledBytesDecodeBase64AtEverySplit) {
    struct {
        const char *b64, *bytes, *error;
    } cases[] = {
        {"QUJD", "ABC", nullptr},
        {"QQ==", "A", nullptr},
        {"QUI=", "AB", nullptr},
        {"", "", nullptr},
        {"QQ", nullptr, "incomplete base64 quartet in streamed field"},
        {"QQ=A", nullptr, "non-padding base64 data after padding"},
        {"Q===", nullptr, "invalid base64 quartet in streamed field"},
        {"QQ=", nullptr, "incomplete base64 quartet in streamed field"},
        {"QQ==QQ", nullptr, "non-padding base64 data after padding"},
        {"QU JD", nullptr, "invalid base64 character in streamed field"},
        {"QUJD\\nQUJD", nullptr, "invalid base64 character in streamed field"},
    };
    for (const auto &c : cases) {
        const std::string json = std::string("{\"bytes\": \"") + c.b64 + "\"}";
        for (size_t cut = 0; cut <= json.size(); ++cut) {
            tamsel_status st = parse(json, {cut});
            if (c.error) {
                EXPECT_EQ(st, TAMSEL_STATUS_INVALID_JSON) << c.b64 << " cut " << cut;
                EXPECT_EQ(e_.message, c.error) << c.b64 << " cut " << cut;
            } else {
                ASSERT_EQ(st, 0u) << c.b64 << ": " << e_.message;
                EXPECT_EQ(spooled_bytes(r_.bytes), c.bytes) << c.b64 << " cut " << cut;
            }
        }
    }
}

TEST_F(Streamed, SpooledLimitIsEnforced) {
    tamsel_spool_options small = tamsel__default_spool_options();
    small.max_bytes = 5;
    tamsel_spooled_init_with_allocator(&r_.text, &small, nullptr);
    EXPECT_EQ(parse(R"({"text": "123456"})"), TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(e_.message, "spooled field exceeds configured max bytes");
    EXPECT_EQ(e_.offset, 16u) << "parse errors carry the parser's position";
}

TEST_F(Streamed, StringArrayStreamDeliversChunks) {
    ASSERT_EQ(parse(R"({"strings": ["a\nb", "", "xyz"]})"), 0u) << e_.message;
    ASSERT_EQ(c_.strings.size(), 3u);
    EXPECT_EQ(c_.strings[0], "a\nb");
    EXPECT_EQ(c_.strings[1], "");
    EXPECT_EQ(c_.strings[2], "xyz");
    EXPECT_EQ(c_.chunks, 4u) << "a, the escaped line feed, b; then xyz";
    EXPECT_EQ(parse(R"({"strings": [1]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "array 'strings' expects strings");
    EXPECT_EQ(parse(R"({"strings": [{}]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "array 'strings' expects scalar elements");
    EXPECT_EQ(parse(R"({"strings": "x"})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "field 'strings' is not an array");
    EXPECT_EQ(parse(R"({"strings": null})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "null is not allowed for 'strings'");
    c_ = {};
    c_.begin_answer = TAMSEL_STATUS_CALLBACK_FAILED;
    EXPECT_EQ(parse(R"({"strings": ["a"]})"), TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(c_.chunks, 0u);
}

TEST_F(Streamed, StringArrayStreamFailingMidElementCanBeParsedAgain) {
    EXPECT_EQ(parse(R"({"strings": ["abc\x"]})"), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(r_.strings.active, 0) << "teardown ends the element";
    EXPECT_EQ(parse(R"({"strings": ["ok"]})"), 0u) << e_.message;
}

TEST_F(Streamed, CallbacksSeeAScratchRecord) {
    // A truncated fixed string, then a chunk handler that clears its record: the parse still
    // reports the truncation, with the right final offset.
    tamsel_string_chunk_handler h{};
    h.chunk = [](void *, const char *, size_t, tamsel_error *e) {
        tamsel_error_init(e);
        return TAMSEL_STATUS_OK;
    };
    ASSERT_EQ(tamsel_string_array_stream_set_handler(&r_.strings, &h, nullptr, nullptr), 0u);
    const std::string json = R"({"fixed": "0123456789", "strings": ["x"]})";
    EXPECT_EQ(parse(json), TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(e_.truncated, 1);
    EXPECT_EQ(e_.offset, json.size());
    EXPECT_STREQ(r_.fixed, "0123456");
}

TEST_F(Streamed, MappedArrayStreamResetsTheItemBetweenCallbacks) {
    ASSERT_EQ(parse(R"({"items": [{"name": "a", "n": 1}, {"n": 2}, {"name": "c", "n": 3}]})"), 0u)
        << e_.message;
    EXPECT_EQ(c_.names, (std::vector<std::string>{"a", "<null>", "c"}));
    EXPECT_EQ(c_.ns, (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(item_.name, nullptr) << "reset after the last callback";
    c_ = {};
    ASSERT_EQ(parse(R"({"items": []})"), 0u);
    EXPECT_TRUE(c_.names.empty());
    EXPECT_EQ(parse(R"({"items": [{"name": "x"}]})"), TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_EQ(e_.message, "missing required field 'n'");
    EXPECT_TRUE(c_.names.empty()) << "no callback for an incomplete item";
    EXPECT_EQ(r_.items.active, 0);
    c_.callback_answer = TAMSEL_STATUS_CALLBACK_FAILED;
    EXPECT_EQ(parse(R"({"items": [{"n": 1}]})"), TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(e_.message, "mapped array stream field 'items' item callback failed");
    EXPECT_EQ(parse(R"({"items": [1]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "array 'items' expects object items");
    EXPECT_EQ(parse(R"({"items": {}})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "field 'items' expects non-object value");
    EXPECT_EQ(parse(R"({"items": [[]]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(e_.message, "field 'items' does not accept nested arrays");
}

TEST(StreamedHandlers, ItemRecordsFromMallocAreInitialisedBySetHandler) {
    auto *it = static_cast<item *>(std::malloc(sizeof(item)));
    std::memset(it, 0xAA, sizeof(item));
    struct holder {
        tamsel_mapped_array_stream items;
    } h;
    static const tamsel_field f[] = {{TAMSEL_KEY("items"), 0, TAMSEL_FIELD_MAPPED_ARRAY_STREAM, 0,
                                      0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"h", sizeof(holder), f, 1, nullptr, nullptr};
    std::string seen;
    tamsel_mapped_item_handler mh{item_map(), it, nullptr, &seen};
    mh.callback = [](void *u, void *i, tamsel_error *) {
        *static_cast<std::string *>(u) += static_cast<item *>(i)->name;
        return TAMSEL_STATUS_OK;
    };
    tamsel_mapped_array_stream_init(&h.items);
    ASSERT_EQ(tamsel_mapped_array_stream_set_handler(&h.items, &mh, nullptr), 0u);
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    EXPECT_EQ(tamsel_parse_cstr(rt, &m, &h, R"({"items":[{"name":"x","n":1}]})", &e), 0u)
        << e.message;
    EXPECT_EQ(seen, "x");
    tamsel_cleanup(&m, &h);
    tamsel_cleanup(item_map(), it);
    std::free(it);
    tamsel_free(rt);
    tamsel_mapped_array_stream s;
    std::memset(&s, 0, sizeof s);
    EXPECT_EQ(tamsel_mapped_array_stream_set_handler(&s, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message,
                 "mapped array stream, item map, destination, and callback are required");
    struct holder2 {
        tamsel_mapped_array_stream items;
    } h2;
    std::memset(&h2, 0, sizeof h2);
    rt = tamsel_new(nullptr, nullptr);
    EXPECT_EQ(tamsel_parse_cstr(rt, &m, &h2, R"({"items":[]})", &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "mapped array stream field 'items' has no item handler");
    tamsel_free(rt);
}

TEST_F(Streamed, JsonValueCaptureHoldsCompactText) {
    ASSERT_EQ(parse(R"({"value": { "a" : [1, true, null, "x\u0041\n"] }})"), 0u) << e_.message;
    EXPECT_EQ(r_.value.kind, TAMSEL_JSON_BUFFER);
    EXPECT_EQ(std::string(r_.value.data, r_.value.len), R"({"a":[1,true,null,"xA\n"]})");
    ASSERT_EQ(parse(R"({"value": "just a string"})"), 0u);
    EXPECT_EQ(std::string(r_.value.data, r_.value.len), R"("just a string")");
    ASSERT_EQ(parse(R"({"value": -12.5e3})"), 0u);
    EXPECT_EQ(std::string(r_.value.data, r_.value.len), "-12.5e3");
    // A failed parse leaves no half-captured value marked as stored.
    EXPECT_EQ(parse(R"({"value": [1,2)"), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(r_.value.kind, TAMSEL_JSON_NONE);
    r_.value.limits.max_total_bytes = 10;
    EXPECT_EQ(parse(R"({"value": [1234567890, 1]})"), TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(e_.message, "JSON value exceeds maximum total byte limit");
}

// A captured string's own limit, the value's total and the parse budget stop a long string at
// the byte that crosses them, wherever the input was cut.
TEST_F(Streamed, CapturedStringLimitsFailAtTheCrossingByteWhateverTheSplit) {
    const std::string json = "{\"value\": [\"" + std::string(300, 'x') + "\"]}";
    const auto run = [&](size_t cut, uint64_t budget) {
        tamsel_parse_options o = tamsel__default_parse_options();
        o.init_destination = 0;
        o.max_parse_bytes = budget;
        e_ = feed_pieces(json, cut ? std::vector<size_t>{cut} : std::vector<size_t>{}, rec_map(),
                         &r_, &o);
        return e_.status;
    };
    for (int limit = 0; limit < 3; ++limit) {
        r_.value.limits.max_string_bytes = limit == 0 ? 100 : 0;
        r_.value.limits.max_total_bytes = limit == 1 ? 150 : 0;
        const uint64_t budget = limit == 2 ? 200 : 0;
        ASSERT_EQ(run(0, budget), TAMSEL_STATUS_OVERFLOW) << limit;
        const outcome whole = e_;
        for (size_t cut = 1; cut < json.size(); ++cut) {
            ASSERT_EQ(run(cut, budget), TAMSEL_STATUS_OVERFLOW) << limit << " cut " << cut;
            EXPECT_EQ(e_.message, whole.message) << limit << " cut " << cut;
            EXPECT_EQ(e_.offset, whole.offset) << limit << " cut " << cut;
        }
    }
}

// A spooled field's in-memory prefix under the parse budget fails at the byte (for base64, the
// quartet) that first passes what the budget leaves, wherever the input was cut.
TEST_F(Streamed, SpooledPrefixOverBudgetFailsAtTheCrossingByteWhateverTheSplit) {
    std::string b64;
    for (int i = 0; i < 1000; ++i)
        b64 += "QUFB";
    for (const std::string &json :
         {"{\"text\": \"" + std::string(3000, 'x') + "\"}", "{\"bytes\": \"" + b64 + "\"}"}) {
        const auto run = [&](size_t cut) {
            tamsel_parse_options o = tamsel__default_parse_options();
            o.init_destination = 0;
            o.max_parse_bytes = 2000;
            e_ = feed_pieces(json, cut ? std::vector<size_t>{cut} : std::vector<size_t>{},
                             rec_map(), &r_, &o);
            return e_.status;
        };
        ASSERT_EQ(run(0), TAMSEL_STATUS_OVERFLOW) << json.substr(0, 9);
        const outcome whole = e_;
        for (size_t cut = 1; cut < json.size(); ++cut) {
            ASSERT_EQ(run(cut), TAMSEL_STATUS_OVERFLOW) << json.substr(0, 9) << " cut " << cut;
            EXPECT_EQ(e_.message, whole.message) << json.substr(0, 9) << " cut " << cut;
            EXPECT_EQ(e_.offset, whole.offset) << json.substr(0, 9) << " cut " << cut;
        }
    }
}

TEST_F(Streamed, JsonValueVisitorAndSinkModes) {
    tamsel_test::event_log log;
    tamsel_value_visitor v = tamsel_test::event_log::visitor();
    ASSERT_EQ(tamsel_json_value_set_parse_visitor(&r_.value, &v, &log, nullptr), 0u);
    ASSERT_EQ(parse(R"({"value": {"a": [1, true, null, "x"]}})"), 0u) << e_.message;
    EXPECT_EQ(log.events, "{ka;[n1;TNsx;]}");
    std::string text;
    ASSERT_EQ(tamsel_json_value_set_parse_sink(
                  &r_.value,
                  [](void *u, const void *d, size_t n, tamsel_error *) {
                      static_cast<std::string *>(u)->append(static_cast<const char *>(d), n);
                      return TAMSEL_STATUS_OK;
                  },
                  &text, nullptr),
              0u);
    ASSERT_EQ(parse(R"({"value": [ {"k" : "v"} , 2 ]})"), 0u) << e_.message;
    EXPECT_EQ(text, R"([{"k":"v"},2])");
    tamsel_json_value_cleanup(&r_.value);
    EXPECT_EQ(parse(R"({"value": 1})"), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(e_.message, "JSON value parse requires a configured parse sink, parse visitor, or "
                          "parse capture (field 'value')");
}

TEST(StreamedLimits, TightenedHolderLimitsSurviveTheParse) {
    struct one {
        tamsel_json_value v;
    };
    static const tamsel_field f[] = {
        {TAMSEL_KEY("v"), 0, TAMSEL_FIELD_JSON_VALUE, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"one", sizeof(one), f, 1, nullptr, nullptr};
    tamsel_config c = tamsel_default_config();
    c.init_destination = 0;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    one o;
    tamsel_init(rt, &m, &o);
    std::string sink;
    tamsel_json_value_set_parse_sink(
        &o.v,
        [](void *u, const void *d, size_t n, tamsel_error *) {
            static_cast<std::string *>(u)->append(static_cast<const char *>(d), n);
            return TAMSEL_STATUS_OK;
        },
        &sink, nullptr);
    o.v.limits.max_total_bytes = 10; // edited after the setter
    tamsel_reset(rt, &m, &o);        // a re-seed must not loosen it
    tamsel_error e;
    const std::string big = "{\"v\": \"" + std::string(100, 'x') + "\"}";
    EXPECT_EQ(tamsel_parse_buffer(rt, &m, &o, big.data(), big.size(), &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "JSON value exceeds maximum total byte limit");
    tamsel_cleanup(&m, &o);
    tamsel_free(rt);
}

TEST_F(Streamed, SpooledBytesFailAtTheOffendingByteKeepingWhatWasDecoded) {
    struct {
        const char *json;
        const char *kept;
        size_t offset;
    } cases[] = {
        {R"({"bytes": "QUJDREVG*QUJD"})", "ABCDEF", 20},
        {R"({"bytes": "QUJDQQ==QUJD"})", "ABCA", 20},
        {R"({"bytes": "QUJD=QUJD"})", "ABC", 17},
        {R"({"bytes": "QUJDQ=AA"})", "ABC", 18},
    };
    for (const auto &c : cases) {
        const std::string json = c.json;
        for (size_t cut = 0; cut <= json.size(); ++cut) {
            EXPECT_EQ(parse(json, {cut}), TAMSEL_STATUS_INVALID_JSON) << json << " cut " << cut;
            EXPECT_EQ(e_.offset, c.offset) << json << " cut " << cut << ": " << e_;
            EXPECT_EQ(spooled_bytes(r_.bytes), c.kept) << json << " cut " << cut;
        }
    }
}

TEST_F(Streamed, SpooledBytesLimitFailsAtTheCrossingQuartetAtEverySplit) {
    tamsel_spool_options small = tamsel__default_spool_options();
    small.max_bytes = 5;
    tamsel_spooled_init_with_allocator(&r_.bytes, &small, nullptr);
    const std::string json = R"({"bytes": "QUJDREVGR0hJ"})";
    for (size_t cut = 0; cut <= json.size(); ++cut) {
        tamsel_spooled_cleanup(&r_.bytes);
        EXPECT_EQ(parse(json, {cut}), TAMSEL_STATUS_OVERFLOW) << cut;
        EXPECT_EQ(e_.message, "spooled field exceeds configured max bytes");
        EXPECT_EQ(e_.offset, 19u) << "the last character of the quartet past the limit, cut "
                                  << cut;
        EXPECT_EQ(spooled_bytes(r_.bytes), "ABC") << cut;
    }
}

// Items of an object array that hold a JSON value or a spooled value keep them when the array
// grows and its block moves: serialized in full, cleaned up to nothing.
TEST(StreamedItems, HoldersSurviveTheirObjectArrayGrowing) {
    struct held {
        int64_t n;
        tamsel_spooled text;
        tamsel_json_value raw;
        struct {
            tamsel_json_value raw;
        } inner;
    };
    static const tamsel_field inner_fields[] = {
        TAMSEL_MEMBER_JSON_VALUE(decltype(held::inner), raw, TAMSEL_FIELD_CAPTURE)};
    static const tamsel_map inner_map = {"inner", sizeof(held::inner), inner_fields,
                                         1,       &inner_map,          nullptr};
    static const tamsel_field held_fields[] = {
        TAMSEL_MEMBER_I64(held, n, 0), TAMSEL_MEMBER_SPOOLED_TEXT(held, text, 0, 0),
        TAMSEL_MEMBER_JSON_VALUE(held, raw, TAMSEL_FIELD_CAPTURE),
        TAMSEL_MEMBER_OBJECT(held, inner, &inner_map, 0)};
    static const tamsel_map held_map = {"held", sizeof(held), held_fields, 4, &held_map, nullptr};
    struct outer {
        tamsel_object_array xs;
    };
    static const tamsel_field outer_fields[] = {
        TAMSEL_MEMBER_OBJECT_ARRAY(outer, xs, held, &held_map, 0)};
    static const tamsel_map outer_map = {"outer", sizeof(outer), outer_fields,
                                         1,       &outer_map,    nullptr};
    std::string doc = "{\"xs\":[";
    for (int i = 0; i < 9; ++i) // the block holds 4 items, then 8, then 16
        doc += std::string(i ? "," : "") + "{\"n\":" + std::to_string(i) + ",\"text\":\"t" +
               std::to_string(i) + "\",\"raw\":[" + std::to_string(i) + "],\"inner\":{\"raw\":{}}}";
    doc += "]}";
    tamsel_test::counting_allocator a;
    tamsel_runtime *rt = tamsel_test::runtime_with(a);
    outer o{};
    tamsel_error e;
    ASSERT_EQ(tamsel_parse_buffer(rt, &outer_map, &o, doc.data(), doc.size(), &e), 0) << e.message;
    char out[4096];
    size_t needed = 0;
    ASSERT_EQ(tamsel_serialize_buffer(rt, &outer_map, &o, out, sizeof out, &needed, &e), 0)
        << e.message;
    EXPECT_EQ(out, doc);
    tamsel_cleanup(&outer_map, &o);
    tamsel_free(rt);
    EXPECT_EQ(a.live_blocks(), 0u);
}

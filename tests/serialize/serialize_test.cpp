// The record writer through the sink door: byte-exact compact and pretty text for every
// field kind, the omission rules, and the failures a record can cause.
#include "serialize/every_kind.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

using namespace serialize_test;

namespace {

std::string temp_file(const std::string &contents) {
    char name[] = "/tmp/tamsel-ser-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
    return name;
}

// The record of the byte-exact tests: every kind, every escaping class, integer limits, the
// double classes.
class EveryKindRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        every_values v;
        v.text = std::string("q\"b\\s/\x01\x1f\n\t\b\f\r\x7f\xc3\xa9");
        v.fixed = "fx";
        v.spooled_text = "ab\"c";
        v.spooled_bytes = "abcd";
        v.raw = "{ \"a\" : [1, 2] }";
        v.i64 = INT64_MIN;
        v.u64 = UINT64_MAX;
        v.f64 = 0.1;
        v.flag = true;
        v.obj_n = -7;
        v.obj_tag = "t";
        v.strings = {"x", "", ""};
        v.i64s = {INT64_MAX, -1};
        v.u64s = {0};
        v.f64s = {-0.0, 1e17, 2.5, 1e-7};
        v.bools = {1, 0, 5};
        v.items = {{1, "n1"}, {2, ""}};
        record.assign(v);
        record.get().strings.items[1] = nullptr; // a null item writes ""
        item second;
        std::memcpy(&second, static_cast<char *>(record.get().items.items) + item_stride,
                    sizeof second);
        second.name = nullptr;
        std::memcpy(static_cast<char *>(record.get().items.items) + item_stride, &second,
                    sizeof second);
        path = temp_file("src\ntext");
        ASSERT_EQ(tamsel_source_set_path(&record.get().source_text, path.c_str(), nullptr),
                  TAMSEL_STATUS_OK);
    }
    void TearDown() override { std::remove(path.c_str()); }

    every_record record;
    std::string path;
};

const char *const every_compact =
    "{\"text\":\"q\\\"b\\\\s/\\u0001\\u001f\\n\\t\\b\\f\\r\x7f\xc3\xa9\",\"fixed\":\"fx\","
    "\"spooled_text\":\"ab\\\"c\",\"spooled_bytes\":\"YWJjZA==\",\"source_text\":\"src\\ntext\","
    "\"source_bytes\":null,\"raw\":{\"a\":[1,2]},\"i64\":-9223372036854775808,"
    "\"u64\":18446744073709551615,\"f64\":0.10000000000000001,\"flag\":true,"
    "\"obj\":{\"n\":-7,\"tag\":\"t\"},\"strings\":[\"x\",\"\",\"\"],"
    "\"i64s\":[9223372036854775807,-1],\"u64s\":[0],"
    "\"f64s\":[-0,1e+17,2.5,9.9999999999999995e-08],\"bools\":[true,false,true],"
    "\"items\":[{\"id\":1,\"name\":\"n1\"},{\"id\":2,\"name\":null}]}";

const char *const every_pretty = R"({
  "text": "q\"b\\s/\u0001\u001f\n\t\b\f\r)"
                                 "\x7f\xc3\xa9"
                                 R"(",
  "fixed": "fx",
  "spooled_text": "ab\"c",
  "spooled_bytes": "YWJjZA==",
  "source_text": "src\ntext",
  "source_bytes": null,
  "raw": {
    "a": [
      1,
      2
    ]
  },
  "i64": -9223372036854775808,
  "u64": 18446744073709551615,
  "f64": 0.10000000000000001,
  "flag": true,
  "obj": {
    "n": -7,
    "tag": "t"
  },
  "strings": [
    "x",
    "",
    ""
  ],
  "i64s": [
    9223372036854775807,
    -1
  ],
  "u64s": [
    0
  ],
  "f64s": [
    -0,
    1e+17,
    2.5,
    9.9999999999999995e-08
  ],
  "bools": [
    true,
    false,
    true
  ],
  "items": [
    {
      "id": 1,
      "name": "n1"
    },
    {
      "id": 2,
      "name": null
    }
  ]
})";

TEST_F(EveryKindRecord, CompactTextIsByteExact) {
    runtime_holder rt(false);
    EXPECT_EQ(serialize(rt.rt, every_map(), &record.get()), every_compact);
}

TEST_F(EveryKindRecord, PrettyTextIsByteExact) {
    runtime_holder rt(true);
    EXPECT_EQ(serialize(rt.rt, every_map(), &record.get()), every_pretty);
}

TEST_F(EveryKindRecord, TheRecordIsOnlyRead) {
    runtime_holder rt(false);
    every before = record.get();
    serialize(rt.rt, every_map(), &record.get());
    EXPECT_EQ(std::memcmp(&before, &record.get(), sizeof before), 0);
}

// ---- base64 -------------------------------------------------------------------------------

std::string reference_base64(const std::string &in) {
    static const char *a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
    }
    if (in.size() - i == 1) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
    } else if (in.size() - i == 2) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    }
    return out;
}

struct bytes_rec {
    tamsel_spooled spooled;
    tamsel_source source;
};
const tamsel_map &bytes_map() {
    static const tamsel_field fields[] = {
        field("s", offsetof(bytes_rec, spooled), TAMSEL_FIELD_SPOOLED_BYTES),
        field("f", offsetof(bytes_rec, source), TAMSEL_FIELD_SOURCE_BYTES),
    };
    static const tamsel_map map = {"bytes", sizeof(bytes_rec), fields, 2, &map, nullptr};
    return map;
}

TEST(SerializeBase64, EveryLengthModThreeAndAcrossBlocksAndSpillFiles) {
    runtime_holder rt;
    // Small memory limit: the larger values spill, and are read back in 4096-byte blocks.
    tamsel_spool_options opts = tamsel__default_spool_options();
    opts.memory_limit = 1000;
    for (size_t len : {0, 1, 2, 3, 4, 4095, 4096, 4097, 8192, 12289}) {
        std::string data;
        for (size_t i = 0; i < len; ++i)
            data.push_back(static_cast<char>(i * 131 + 7));
        bytes_rec r;
        tamsel_spooled_init_with_allocator(&r.spooled, &opts, nullptr);
        tamsel_source_init(&r.source);
        ASSERT_EQ(tamsel_spooled_append(&r.spooled, data.data(), data.size(), nullptr),
                  TAMSEL_STATUS_OK);
        const std::string path = temp_file(data);
        ASSERT_EQ(tamsel_source_set_path(&r.source, path.c_str(), nullptr), TAMSEL_STATUS_OK);
        const std::string b64 = reference_base64(data);
        EXPECT_EQ(serialize(rt.rt, bytes_map(), &r),
                  "{\"s\":\"" + b64 + "\",\"f\":\"" + b64 + "\"}")
            << "length " << len;
        tamsel_spooled_cleanup(&r.spooled);
        tamsel_source_cleanup(&r.source);
        std::remove(path.c_str());
    }
}

// ---- omission -----------------------------------------------------------------------------

struct inner {
    char *s;
};
const tamsel_map &inner_map() {
    static const tamsel_field fields[] = {
        field("s", offsetof(inner, s), TAMSEL_FIELD_STRING, TAMSEL_FIELD_OMIT_NULL)};
    static const tamsel_map map = {"inner", sizeof(inner), fields, 1, &map, nullptr};
    return map;
}

struct omit_rec {
    char *a, *b, *c;
    char d[4];
    int64_t e;
    int pe;
    int64_t f;
    int pf;
    int64_t g;
    tamsel_json_value h, i;
    tamsel_source j;
    tamsel_spooled k, l;
    tamsel_i64_array m, n;
    inner o, p, q;
};

const tamsel_map &omit_map() {
    static const tamsel_field *const fields = [] {
        static tamsel_field f[17];
        f[0] = field("a", offsetof(omit_rec, a), TAMSEL_FIELD_STRING, TAMSEL_FIELD_OMIT_NULL);
        f[1] = field("b", offsetof(omit_rec, b), TAMSEL_FIELD_STRING, TAMSEL_FIELD_OMIT_NULL);
        f[2] = field("c", offsetof(omit_rec, c), TAMSEL_FIELD_STRING, TAMSEL_FIELD_OMIT_EMPTY);
        f[3] = field("d", offsetof(omit_rec, d), TAMSEL_FIELD_STRING, TAMSEL_FIELD_OMIT_EMPTY);
        f[3].storage = TAMSEL_STORAGE_FIXED;
        f[3].capacity = 4;
        f[4] = field("e", offsetof(omit_rec, e), TAMSEL_FIELD_I64, TAMSEL_FIELD_HAS_PRESENCE);
        f[4].presence_offset = offsetof(omit_rec, pe);
        f[5] = field("f", offsetof(omit_rec, f), TAMSEL_FIELD_I64, TAMSEL_FIELD_HAS_PRESENCE);
        f[5].presence_offset = offsetof(omit_rec, pf);
        f[6] = field("g", offsetof(omit_rec, g), TAMSEL_FIELD_I64, TAMSEL_FIELD_REQUIRED);
        f[7] = field("h", offsetof(omit_rec, h), TAMSEL_FIELD_JSON_VALUE, TAMSEL_FIELD_OMIT_NULL);
        f[8] = field("i", offsetof(omit_rec, i), TAMSEL_FIELD_JSON_VALUE);
        f[9] = field("j", offsetof(omit_rec, j), TAMSEL_FIELD_SOURCE_TEXT, TAMSEL_FIELD_OMIT_NULL);
        f[10] =
            field("k", offsetof(omit_rec, k), TAMSEL_FIELD_SPOOLED_TEXT, TAMSEL_FIELD_OMIT_EMPTY);
        f[11] = field("l", offsetof(omit_rec, l), TAMSEL_FIELD_SPOOLED_TEXT);
        f[12] = field("m", offsetof(omit_rec, m), TAMSEL_FIELD_I64_ARRAY, TAMSEL_FIELD_OMIT_EMPTY);
        f[13] = field("n", offsetof(omit_rec, n), TAMSEL_FIELD_I64_ARRAY);
        f[14] = field("o", offsetof(omit_rec, o), TAMSEL_FIELD_OBJECT, TAMSEL_FIELD_OMIT_EMPTY);
        f[15] = field("p", offsetof(omit_rec, p), TAMSEL_FIELD_OBJECT);
        f[16] = field("q", offsetof(omit_rec, q), TAMSEL_FIELD_OBJECT, TAMSEL_FIELD_OMIT_NULL);
        for (int i : {14, 15, 16})
            f[i].submap = &inner_map();
        return f;
    }();
    static const tamsel_map map = {"omit", sizeof(omit_rec), fields, 17, &map, nullptr};
    return map;
}

TEST(SerializeOmission, EachRuleLeavesOutKeyAndCommaAndNothingElse) {
    omit_rec r;
    std::memset(&r, 0, sizeof r);
    tamsel_init(nullptr, &omit_map(), &r);
    char empty[] = "";
    r.b = empty; // OMIT_NULL keeps an empty string
    r.c = empty; // OMIT_EMPTY drops it
    r.e = 5;     // presence 0: left out whatever the value
    r.f = 6;
    r.pf = 1;
    r.g = 7;
    for (bool pretty : {false, true}) {
        runtime_holder rt(pretty);
        EXPECT_EQ(serialize(rt.rt, omit_map(), &r),
                  pretty ? "{\n  \"b\": \"\",\n  \"f\": 6,\n  \"g\": 7,\n  \"i\": null,\n  \"l\": "
                           "\"\",\n  \"n\": [],\n  \"p\": {},\n  \"q\": {}\n}"
                         : "{\"b\":\"\",\"f\":6,\"g\":7,\"i\":null,\"l\":\"\",\"n\":[],\"p\":{},"
                           "\"q\":{}}");
    }
    r.b = r.c = nullptr; // the caller's, not the library's
    tamsel_cleanup(&omit_map(), &r);
}

TEST(SerializeOmission, ARecordWithEveryFieldOmittedIsAnEmptyObjectInBothLayouts) {
    inner r{nullptr};
    for (bool pretty : {false, true}) {
        runtime_holder rt(pretty);
        EXPECT_EQ(serialize(rt.rt, inner_map(), &r), "{}");
    }
}

// ---- failures -----------------------------------------------------------------------------

struct fail_rec {
    int64_t x;
    double d;
    tamsel_f64_array ds;
    tamsel_string_array_stream st;
};

struct failing_case {
    const char *name;
    tamsel_field second;
    tamsel_status status;
    const char *message;
    const char *written; // what reached the sink before the failure
};

TEST(SerializeFailures, StopAfterTheKeyWithTheirStatusAndMessage) {
    fail_rec r;
    std::memset(&r, 0, sizeof r);
    r.x = 1;
    r.d = std::nan("");
    double items[] = {1.0, INFINITY};
    r.ds = {items, 2, 2, 0};
    tamsel_string_array_stream_init(&r.st);
    const failing_case cases[] = {
        {"nan field", field("d", offsetof(fail_rec, d), TAMSEL_FIELD_F64),
         TAMSEL_STATUS_TYPE_MISMATCH, "non-finite double cannot be serialized", "{\"x\":1,\"d\":"},
        {"inf item", field("ds", offsetof(fail_rec, ds), TAMSEL_FIELD_F64_ARRAY),
         TAMSEL_STATUS_TYPE_MISMATCH, "non-finite double array element cannot be serialized",
         "{\"x\":1,\"ds\":[1,"},
        {"stream", field("st", offsetof(fail_rec, st), TAMSEL_FIELD_STRING_ARRAY_STREAM),
         TAMSEL_STATUS_TYPE_MISMATCH, "field 'st' is parse-only and cannot be serialized",
         "{\"x\":1,\"st\":"},
    };
    runtime_holder rt;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const tamsel_field fields[] = {field("x", offsetof(fail_rec, x), TAMSEL_FIELD_I64),
                                       c.second};
        const tamsel_map map = {"fail", sizeof(fail_rec), fields, 2, nullptr, nullptr};
        capture_sink sink;
        tamsel_error e;
        EXPECT_EQ(tamsel_serialize_sink(rt.rt, &map, &r, capture_sink::write, &sink, &e), c.status);
        EXPECT_STREQ(e.message, c.message);
        EXPECT_EQ(e.code, c.status);
        EXPECT_EQ(sink.bytes, c.written);
    }
}

TEST(SerializeFailures, ArrayWithACountButNoItemsIsRefused) {
    fail_rec r;
    std::memset(&r, 0, sizeof r);
    r.ds.count = 3;
    const tamsel_field fields[] = {field("ds", offsetof(fail_rec, ds), TAMSEL_FIELD_F64_ARRAY)};
    const tamsel_map map = {"fail", sizeof(fail_rec), fields, 1, nullptr, nullptr};
    runtime_holder rt;
    capture_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_sink(rt.rt, &map, &r, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "array field 'ds' has a count but no items");
}

struct self_rec {
    int64_t v;
    self_rec *unused;
};

TEST(SerializeFailures, MapContainingItselfByValueIsAnInvalidLayout) {
    static tamsel_field fields[1];
    static const tamsel_map map = {"self", sizeof(self_rec), fields, 1, &map, nullptr};
    fields[0] = field("me", 0, TAMSEL_FIELD_OBJECT);
    fields[0].submap = &map;
    self_rec r{};
    runtime_holder rt;
    capture_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_sink(rt.rt, &map, &r, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid map layout");
    EXPECT_TRUE(sink.bytes.empty());
}

// A tree through object arrays: each node holds an array of children.
struct node {
    int64_t v;
    tamsel_object_array kids;
};
const tamsel_map &node_map() {
    static tamsel_field fields[2];
    static const tamsel_map map = {"node", sizeof(node), fields, 2, &map, nullptr};
    fields[0] = field("v", offsetof(node, v), TAMSEL_FIELD_I64);
    fields[1] = field("kids", offsetof(node, kids), TAMSEL_FIELD_OBJECT_ARRAY);
    fields[1].submap = &map;
    fields[1].elem_size = sizeof(node);
    return map;
}

TEST(SerializeFailures, NestingPastTheDepthLimitAndCyclesFailInsteadOfOverflowingTheStack) {
    runtime_holder rt;
    // A cycle: the node is its own child.
    node cyclic{};
    cyclic.kids = {&cyclic, 1, 1, sizeof(node), 0};
    // A chain 256 object levels deep is the deepest that fits (layout depth 512).
    std::vector<node> chain(300);
    for (size_t i = 0; i + 1 < chain.size(); ++i)
        chain[i].kids = {&chain[i + 1], 1, 1, sizeof(node), 0};
    for (node *root : {&cyclic, &chain[0]}) {
        capture_sink sink;
        tamsel_error e;
        EXPECT_EQ(tamsel_serialize_sink(rt.rt, &node_map(), root, capture_sink::write, &sink, &e),
                  TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(e.message, "record nesting is too deep to serialize");
        tamsel_generator g;
        ASSERT_EQ(tamsel_generator_init(rt.rt, &g, &node_map(), root), TAMSEL_STATUS_OK);
        std::string out(1 << 16, '\0');
        size_t n;
        int done;
        EXPECT_EQ(g.read(&g, out.data(), out.size(), &n, &done), TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(g.error.message, "record nesting is too deep to serialize");
        g.cleanup(&g);
    }
    chain[256].kids = {nullptr, 0, 0, sizeof(node), 0};
    std::string expected;
    for (int i = 0; i < 257; ++i)
        expected += "{\"v\":0,\"kids\":[";
    for (int i = 0; i < 257; ++i)
        expected += "]}";
    EXPECT_EQ(serialize(rt.rt, node_map(), &chain[0]), expected);
}

} // namespace

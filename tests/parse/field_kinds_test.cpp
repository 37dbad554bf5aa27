// Every field kind at its boundaries: integers, doubles, strings under each storage and
// overflow policy, arrays, presence and nullable flags, required and duplicate fields.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"

#include <cmath>
#include <cstring>

namespace {

struct rec {
    int64_t i;
    uint64_t u;
    double d;
    int b;
    char *s;
    char fixed[4];
    int64_t opt;
    int opt_present;
    tamsel_i64_array ints;
    tamsel_string_array strs;
    tamsel_f64_array doubles;
    tamsel_bool_array bools;
    tamsel_u64_array uints;
};

tamsel_field field(const char *name, size_t offset, tamsel_field_kind kind) {
    tamsel_field f{};
    f.name = name;
    f.name_len = std::strlen(name);
    f.name_first = f.name_len ? name[0] : 0;
    f.name_last = f.name_len ? name[f.name_len - 1] : 0;
    f.offset = offset;
    f.kind = kind;
    return f;
}

class FieldKinds : public ::testing::Test {
  protected:
    void SetUp() override {
        fields_[0] = field("i", offsetof(rec, i), TAMSEL_FIELD_I64);
        fields_[1] = field("u", offsetof(rec, u), TAMSEL_FIELD_U64);
        fields_[2] = field("d", offsetof(rec, d), TAMSEL_FIELD_F64);
        fields_[3] = field("b", offsetof(rec, b), TAMSEL_FIELD_BOOL);
        fields_[4] = field("s", offsetof(rec, s), TAMSEL_FIELD_STRING);
        fields_[5] = field("fixed", offsetof(rec, fixed), TAMSEL_FIELD_STRING);
        fields_[5].storage = TAMSEL_STORAGE_FIXED;
        fields_[5].capacity = sizeof(rec::fixed);
        fields_[6] = field("opt", offsetof(rec, opt), TAMSEL_FIELD_I64);
        fields_[6].flags = TAMSEL_FIELD_HAS_PRESENCE | TAMSEL_FIELD_NULLABLE;
        fields_[6].presence_offset = offsetof(rec, opt_present);
        fields_[7] = field("ints", offsetof(rec, ints), TAMSEL_FIELD_I64_ARRAY);
        fields_[8] = field("strs", offsetof(rec, strs), TAMSEL_FIELD_STRING_ARRAY);
        fields_[9] = field("doubles", offsetof(rec, doubles), TAMSEL_FIELD_F64_ARRAY);
        fields_[10] = field("bools", offsetof(rec, bools), TAMSEL_FIELD_BOOL_ARRAY);
        fields_[11] = field("uints", offsetof(rec, uints), TAMSEL_FIELD_U64_ARRAY);
        map_ = {"rec", sizeof(rec), fields_, 12, nullptr, nullptr};
        rt_ = tamsel_new(nullptr, nullptr);
        std::memset(&r_, 0, sizeof r_);
    }
    void TearDown() override {
        tamsel_cleanup(&map_, &r_);
        tamsel_free(rt_);
    }
    // Parses into a freshly cleaned record.
    tamsel_status parse(const std::string &json) {
        tamsel_cleanup(&map_, &r_);
        return tamsel_parse_buffer(rt_, &map_, &r_, json.data(), json.size(), &e_);
    }
    void use_runtime(const tamsel_config &c) {
        tamsel_cleanup(&map_, &r_);
        tamsel_free(rt_);
        rt_ = tamsel_new(&c, nullptr);
        ASSERT_NE(rt_, nullptr);
    }
    tamsel_field fields_[12];
    tamsel_map map_;
    tamsel_runtime *rt_ = nullptr;
    rec r_;
    tamsel_error e_;
};

} // namespace

TEST_F(FieldKinds, IntegersAtTheirLimits) {
    ASSERT_EQ(parse(R"({"i": -9223372036854775808, "u": 18446744073709551615})"), 0u) << e_.message;
    EXPECT_EQ(r_.i, INT64_MIN);
    EXPECT_EQ(r_.u, UINT64_MAX);
    ASSERT_EQ(parse(R"({"i": 9223372036854775807, "u": 0})"), 0u);
    EXPECT_EQ(r_.i, INT64_MAX);
    for (const char *bad : {"9223372036854775808", "1.0", "1e3", "01", "-", "-01", "1e"}) {
        EXPECT_EQ(parse(std::string("{\"i\": ") + bad + "}"), TAMSEL_STATUS_TYPE_MISMATCH) << bad;
        EXPECT_STREQ(e_.message, "expected integer for 'i'") << bad;
    }
    for (const char *bad : {"18446744073709551616", "-1", "-0", "1.5"}) {
        EXPECT_EQ(parse(std::string("{\"u\": ") + bad + "}"), TAMSEL_STATUS_TYPE_MISMATCH) << bad;
        EXPECT_STREQ(e_.message, "expected unsigned integer for 'u'") << bad;
    }
    EXPECT_EQ(parse(R"({"i": "1"})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "expected string field 'i'");
    EXPECT_EQ(parse(R"({"b": 1})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "numeric value does not match field 'b'");
    EXPECT_EQ(parse(R"({"i": true})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "boolean value does not match field 'i'");
    EXPECT_EQ(parse(R"({"i": null})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "null is not allowed for 'i'");
}

TEST_F(FieldKinds, DoublesKeepTheStatedRangeDecisions) {
    struct {
        const char *text;
        double want;
        bool ok;
    } cases[] = {
        {"1e308", 1e308, true},
        {"1e309", 0, false},
        {"1e-400", 0.0, true},
        {"1e600", 0, false},
        {"1e-600", 0.0, true},
        {"-1e-600", -0.0, true},
        {"-0", -0.0, true},
        {"0.1", 0.1, true},
        {"2.2250738585072011e-308", 2.2250738585072011e-308, true},
        {"4.9e-324", 4.9e-324, true},
        {"9007199254740993", 9007199254740992.0, true},
        // Exactly halfway between 1 and the next double: ties go to even.
        {"1.00000000000000011102230246251565404236316680908203125", 1.0, true},
        {"1.00000000000000011102230246251565404236316680908203126", 1.0000000000000002, true},
        {"123456789012345678901234567890", 1.2345678901234568e29, true},
    };
    for (const auto &c : cases) {
        tamsel_status st = parse(std::string("{\"d\": ") + c.text + "}");
        if (!c.ok) {
            EXPECT_EQ(st, TAMSEL_STATUS_TYPE_MISMATCH) << c.text;
            EXPECT_STREQ(e_.message, "expected number for 'd'") << c.text;
            continue;
        }
        ASSERT_EQ(st, 0u) << c.text << ": " << e_.message;
        EXPECT_EQ(r_.d, c.want) << c.text;
        EXPECT_EQ(std::signbit(r_.d), std::signbit(c.want)) << c.text;
    }
    // A 401-digit integer would be +inf: refused, never stored as infinity.
    EXPECT_EQ(parse("{\"d\": 1" + std::string(400, '0') + "}"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(parse("{\"doubles\": [1" + std::string(400, '0') + "]}"),
              TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "expected number for 'doubles'");
    // Long mantissas are still the nearest double.
    ASSERT_EQ(parse("{\"d\": 0." + std::string(800, '3') + "}"), 0u);
    EXPECT_EQ(r_.d, 1.0 / 3.0);
}

TEST_F(FieldKinds, FixedStringsUnderEachPolicy) {
    ASSERT_EQ(parse(R"({"fixed": "abc"})"), 0u);
    EXPECT_STREQ(r_.fixed, "abc");
    EXPECT_EQ(parse(R"({"fixed": "abcde"})"), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e_.message, "string field 'fixed' exceeds fixed capacity");
    fields_[5].overflow_policy = TAMSEL_OVERFLOW_TRUNCATE;
    EXPECT_EQ(parse(R"({"fixed": "abcde", "i": 3})"), TAMSEL_STATUS_TRUNCATED);
    EXPECT_STREQ(r_.fixed, "abc");
    EXPECT_EQ(e_.code, 0u);
    EXPECT_EQ(e_.truncated, 1);
    EXPECT_EQ(r_.i, 3) << "the parse goes on after a truncation";
    fields_[5].overflow_policy = TAMSEL_OVERFLOW_TRUNCATE_SILENT;
    EXPECT_EQ(parse(R"({"fixed": "ab\u00e9cde"})"), 0u);
    EXPECT_EQ(e_.truncated, 1);
    EXPECT_EQ(std::string(r_.fixed), "ab\xC3");
    EXPECT_EQ(parse(R"({"fixed": null})"), 0u);
    EXPECT_STREQ(r_.fixed, "");
}

TEST_F(FieldKinds, DynamicStringsAndTheirLimit) {
    tamsel_config c = tamsel_default_config();
    c.max_string_bytes = 10;
    use_runtime(c);
    ASSERT_EQ(parse(R"({"s": "0123456789"})"), 0u);
    EXPECT_STREQ(r_.s, "0123456789");
    EXPECT_EQ(parse(R"({"s": "0123456789a"})"), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e_.message, "string field 's' exceeds configured max dynamic string bytes");
    ASSERT_EQ(parse(R"({"s": "x", "s": null})"), TAMSEL_STATUS_DUPLICATE_FIELD);
    c.reject_duplicates = 0;
    use_runtime(c);
    ASSERT_EQ(parse(R"({"s": "x", "s": "y"})"), 0u);
    EXPECT_STREQ(r_.s, "y");
    ASSERT_EQ(parse(R"({"s": "x", "s": null})"), 0u);
    EXPECT_EQ(r_.s, nullptr);
    EXPECT_EQ(parse(R"({"s": "a\u0000b"})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "field 's' contains embedded NUL unsupported by C strings");
    // With no limit configured (UINT64_MAX), a long string is stored intact.
    c.max_string_bytes = UINT64_MAX;
    c.max_parse_bytes = 0;
    use_runtime(c);
    std::string big(100000, 'q');
    ASSERT_EQ(parse("{\"s\": \"" + big + "\"}"), 0u) << e_.message;
    EXPECT_EQ(std::string(r_.s), big);
}

TEST_F(FieldKinds, PresenceAndNullable) {
    ASSERT_EQ(parse(R"({"opt": null})"), 0u);
    EXPECT_EQ(r_.opt, 0);
    EXPECT_EQ(r_.opt_present, 0);
    ASSERT_EQ(parse(R"({"opt": 42})"), 0u);
    EXPECT_EQ(r_.opt, 42);
    EXPECT_EQ(r_.opt_present, 1);
    tamsel_reset(rt_, &map_, &r_);
    EXPECT_EQ(r_.opt, 0);
    EXPECT_EQ(r_.opt_present, 0);
    ASSERT_EQ(parse(R"({"opt": 7})"), 0u);
    tamsel_cleanup(&map_, &r_);
    EXPECT_EQ(r_.opt, 7) << "cleanup keeps scalar values";
    EXPECT_EQ(r_.opt_present, 0);
}

TEST_F(FieldKinds, ArraysGrowAndFixedOnesKeepTheirStorage) {
    ASSERT_EQ(parse(R"({"ints": [1,2,3,4,5,6,7,8,9], "strs": ["a", null, "c"], "doubles": [0.5, -2],
                        "bools": [true, false], "uints": [18446744073709551615]})"),
              0u)
        << e_.message;
    EXPECT_EQ(r_.ints.count, 9u);
    EXPECT_EQ(r_.ints.capacity, 16u) << "4, 8, 16";
    EXPECT_EQ(r_.ints.items[8], 9);
    EXPECT_EQ(r_.strs.count, 3u);
    EXPECT_STREQ(r_.strs.items[1], "") << "null becomes an empty string";
    EXPECT_EQ(r_.doubles.items[1], -2.0);
    EXPECT_EQ(r_.bools.items[0], 1);
    EXPECT_EQ(r_.uints.items[0], UINT64_MAX);
    EXPECT_EQ(parse(R"({"ints": ["x"]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "array 'ints' expects integers");
    EXPECT_EQ(parse(R"({"strs": [1]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "array 'strs' expects strings");
    EXPECT_EQ(parse(R"({"bools": [null]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(parse(R"({"ints": [[1]]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "field 'ints' does not accept nested arrays");
    EXPECT_EQ(parse(R"({"ints": [{}]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "array 'ints' expects scalar elements");
    EXPECT_EQ(parse(R"({"ints": 1})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "numeric value does not match field 'ints'");
    EXPECT_EQ(parse(R"({"i": [1]})"), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e_.message, "field 'i' is not an array");

    int64_t storage[2];
    tamsel_cleanup(&map_, &r_);
    tamsel_init(rt_, &map_, &r_);
    r_.ints.items = storage;
    r_.ints.capacity = 2;
    r_.ints.flags = TAMSEL_ARRAY_FIXED;
    tamsel_runtime *keep = rt_;
    tamsel_config c = tamsel_default_config();
    c.init_destination = 0;
    rt_ = tamsel_new(&c, nullptr);
    EXPECT_EQ(tamsel_parse_cstr(rt_, &map_, &r_, R"({"ints": [1, 2, 3]})", &e_),
              TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e_.message, "array capacity exceeded");
    fields_[7].overflow_policy = TAMSEL_OVERFLOW_TRUNCATE_SILENT;
    EXPECT_EQ(tamsel_parse_cstr(rt_, &map_, &r_, R"({"ints": [1, 2, 3]})", &e_), 0u);
    EXPECT_EQ(r_.ints.count, 2u);
    EXPECT_EQ(e_.truncated, 1);
    EXPECT_EQ(r_.ints.items, storage);
    tamsel_cleanup(&map_, &r_);
    EXPECT_EQ(r_.ints.items, storage) << "cleanup restores a fixed array";
    EXPECT_EQ(r_.ints.capacity, 2u);
    EXPECT_EQ(r_.ints.count, 0u);
    EXPECT_EQ(r_.ints.flags, TAMSEL_ARRAY_FIXED);
    tamsel_free(keep);
    std::memset(&r_, 0, sizeof r_);
}

TEST_F(FieldKinds, UnknownKeysSkipTheirWholeValue) {
    std::string huge(100000, 'z');
    ASSERT_EQ(parse("{\"x\": {\"a\": [1, {\"b\": null}, \"" + huge + "\"]}, \"i\": 5, \"y\": \"" +
                    huge + "\"}"),
              0u)
        << e_.message;
    EXPECT_EQ(r_.i, 5);
    EXPECT_EQ(parse(R"({"x": [1, 2,], "i": 5})"), TAMSEL_STATUS_INVALID_JSON)
        << "skipped values must still be well-formed";
    EXPECT_STREQ(e_.message, "trailing comma in array");
}

TEST(FieldKindsRequired, MissingRequiredFieldsNameTheFirstInMapOrder) {
    struct inner {
        int64_t a, b;
    };
    struct outer {
        inner in;
        int64_t z;
    };
    static const tamsel_field inner_fields[] = {
        {TAMSEL_KEY("a"), offsetof(inner, a), TAMSEL_FIELD_I64, 0, 0, TAMSEL_FIELD_REQUIRED, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("b"), offsetof(inner, b), TAMSEL_FIELD_I64, 0, 0, TAMSEL_FIELD_REQUIRED, 0, 0,
         nullptr, nullptr, 0, 0}};
    static const tamsel_map inner_map = {"in", sizeof(inner), inner_fields, 2, nullptr, nullptr};
    static const tamsel_field outer_fields[] = {
        {TAMSEL_KEY("in"), offsetof(outer, in), TAMSEL_FIELD_OBJECT, 0, 0, 0, 0, 0, &inner_map,
         nullptr, 0, 0},
        {TAMSEL_KEY("z"), offsetof(outer, z), TAMSEL_FIELD_I64, 0, 0, TAMSEL_FIELD_REQUIRED, 0, 0,
         nullptr, nullptr, 0, 0}};
    static const tamsel_map outer_map = {"out", sizeof(outer), outer_fields, 2, nullptr, nullptr};
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    outer o;
    tamsel_error e;
    EXPECT_EQ(tamsel_parse_cstr(rt, &outer_map, &o, R"({"in": {"b": 1}, "z": 1})", &e),
              TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(e.message, "missing required field 'a'");
    EXPECT_EQ(e.offset, 15u) << "reported at the closing brace of its object";
    EXPECT_EQ(tamsel_parse_cstr(rt, &outer_map, &o, R"({"in": {"b": 1, "a": 2}})", &e),
              TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(e.message, "missing required field 'z'");
    EXPECT_EQ(tamsel_parse_cstr(rt, &outer_map, &o, R"({"z": 1, "x": {"in": {}}})", &e), 0u)
        << "required fields inside a skipped object are not tested";
    tamsel_free(rt);
}

// The parse budget and allocation failures: every allocating kind at every failing index,
// the budget at its exact boundary, charges that follow a parse (not an address), and the
// state a failed parse leaves behind.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"

#include <cstring>

using namespace parse_test;
using tamsel_test::counting_allocator;

namespace {

struct sub {
    char *label;
};

struct everything {
    char *s;
    tamsel_string_array tags;
    tamsel_i64_array nums;
    tamsel_spooled blob;
    tamsel_json_value raw;
    tamsel_object_array subs;
    sub nested;
};

const tamsel_map *sub_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("label"), offsetof(sub, label),
                                      TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"sub", sizeof(sub), f, 1, &m, nullptr};
    return &m;
}

const tamsel_map *everything_map() {
    static const tamsel_field f[] = {
        {TAMSEL_KEY("s"), offsetof(everything, s), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("tags"), offsetof(everything, tags), TAMSEL_FIELD_STRING_ARRAY, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("nums"), offsetof(everything, nums), TAMSEL_FIELD_I64_ARRAY, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("blob"), offsetof(everything, blob), TAMSEL_FIELD_SPOOLED_TEXT, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("raw"), offsetof(everything, raw), TAMSEL_FIELD_JSON_VALUE, 0, 0,
         TAMSEL_FIELD_CAPTURE, 0, 0, nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("subs"), offsetof(everything, subs), TAMSEL_FIELD_OBJECT_ARRAY, 0, 0, 0, 0,
         sizeof(sub), sub_map(), nullptr, 0, 0},
        {TAMSEL_KEY("nested"), offsetof(everything, nested), TAMSEL_FIELD_OBJECT, 0, 0, 0, 0, 0,
         sub_map(), nullptr, 0, 0},
    };
    static const tamsel_map m = {"everything", sizeof(everything), f, 7, &m, nullptr};
    return &m;
}

const char *everything_json =
    R"({"s": "a string that is longer than sixty-four bytes so that it has to grow",
  "tags": ["one", "two", "three", "four", "five"], "nums": [1, 2, 3, 4, 5, 6, 7, 8, 9],
  "blob": "spooled text", "raw": {"k": [1, 2, {"deep": "value"}]},
  "subs": [{"label": "a"}, {"label": "b"}, {"label": "c"}, {"label": "d"}, {"label": "e"}],
  "nested": {"label": "inner"}})";

struct one {
    char *a;
    char *b;
};
const tamsel_map *two_strings() {
    static const tamsel_field f[] = {{TAMSEL_KEY("a"), offsetof(one, a), TAMSEL_FIELD_STRING, 0, 0,
                                      0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("b"), offsetof(one, b), TAMSEL_FIELD_STRING, 0, 0,
                                      0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"one", sizeof(one), f, 2, &m, nullptr};
    return &m;
}

tamsel_runtime *runtime_with(counting_allocator &a, uint64_t max_parse_bytes, uint32_t init = 1) {
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = max_parse_bytes;
    c.init_destination = init;
    return tamsel_test::runtime_with(a, c);
}

} // namespace

TEST(ParseBudget, AllocationFailureAtEveryIndexLeavesNothingBehind) {
    size_t runs = tamsel_test::expect_allocation_failures_clean([](counting_allocator &a) {
        tamsel_runtime *rt = runtime_with(a, 0);
        everything r;
        tamsel_error e;
        tamsel_status st = tamsel_parse_cstr(rt, everything_map(), &r, everything_json, &e);
        if (st == TAMSEL_STATUS_ALLOCATION_FAILED) {
            EXPECT_NE(e.message[0], '\0');
        }
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_STREQ(r.nested.label, "inner");
            EXPECT_EQ(r.subs.count, 5u);
        }
        tamsel_cleanup(everything_map(), &r);
        a.pause();
        tamsel_free(rt);
        return st;
    });
    EXPECT_GT(runs, 20u);
}

TEST(ParseBudget, TheBudgetHoldsAtItsExactBoundary) {
    // "abc" needs a 64-byte first block: a budget of 64 fits, 63 does not (a smaller first
    // block would be taken, and then the value does not fit either).
    for (uint64_t budget : {uint64_t{63}, uint64_t{64}}) {
        counting_allocator a;
        tamsel_runtime *rt = runtime_with(a, budget);
        one o;
        tamsel_error e;
        tamsel_status st = tamsel_parse_cstr(rt, two_strings(), &o, R"({"a": "abc"})", &e);
        EXPECT_EQ(st, TAMSEL_STATUS_OK) << budget << ": " << e.message;
        tamsel_cleanup(two_strings(), &o);
        tamsel_free(rt);
    }
    counting_allocator a;
    tamsel_runtime *rt = runtime_with(a, 100);
    one o;
    tamsel_error e;
    const std::string big = "{\"a\": \"" + std::string(200, 'x') + "\"}";
    EXPECT_EQ(tamsel_parse_buffer(rt, two_strings(), &o, big.data(), big.size(), &e),
              TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "parse allocations exceed configured max bytes");
    EXPECT_EQ(o.a, nullptr) << "the field keeps its old (empty) value";
    tamsel_cleanup(two_strings(), &o);
    tamsel_free(rt);
}

TEST(ParseBudget, ChargesFollowTheParseNotTheParserAddress) {
    // Two parses from one function put their parsers at the same address. The second one
    // (init_destination off) must count the first one's 100 bytes as already held.
    counting_allocator a;
    tamsel_runtime *rt = runtime_with(a, 150, 0);
    one o{};
    tamsel_error e;
    const std::string first = "{\"a\": \"" + std::string(99, 'x') + "\"}";
    const std::string second = "{\"b\": \"" + std::string(99, 'y') + "\"}";
    ASSERT_EQ(tamsel_parse_buffer(rt, two_strings(), &o, first.data(), first.size(), &e), 0u)
        << e.message;
    EXPECT_EQ(tamsel_parse_buffer(rt, two_strings(), &o, second.data(), second.size(), &e),
              TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "parse allocations exceed configured max bytes");
    tamsel_cleanup(two_strings(), &o);
    tamsel_free(rt);
}

TEST(ParseBudget, AdoptionFailureIsReportedInTheCallersRecord) {
    counting_allocator a;
    tamsel_runtime *big = runtime_with(a, 0);
    one o{};
    tamsel_error e;
    const std::string first = "{\"a\": \"" + std::string(500, 'x') + "\"}";
    ASSERT_EQ(tamsel_parse_buffer(big, two_strings(), &o, first.data(), first.size(), &e), 0u);
    ASSERT_EQ(tamsel_validate_cstr(big, "[]", &e), 0u); // a previous success in the record
    tamsel_runtime *tight = runtime_with(a, 100, 0);
    EXPECT_EQ(tamsel_parse_cstr(tight, two_strings(), &o, R"({"b": "y"})", &e),
              TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(e.code, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "parse allocations exceed configured max bytes");
    tamsel_cleanup(two_strings(), &o);
    tamsel_free(big);
    tamsel_free(tight);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(ParseBudget, FailedInPlaceStringsStayTerminated) {
    struct fixed_rec {
        char s[8];
    } r;
    static const tamsel_field f[] = {{TAMSEL_KEY("s"), 0, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
                                      0, 0, 8, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"f", sizeof(fixed_rec), f, 1, nullptr, nullptr};
    std::memset(&r, 0xAA, sizeof r);
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    EXPECT_EQ(tamsel_parse_cstr(rt, &m, &r, "{\"s\":\"abcdefg\\x", &e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_NE(std::memchr(r.s, 0, sizeof r.s), nullptr);
    std::memset(&r, 0xAA, sizeof r);
    EXPECT_EQ(tamsel_parse_cstr(rt, &m, &r, "{\"s\":\"abc", &e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(r.s, "abc");
    tamsel_free(rt);
}

TEST(ParseBudget, WideMapBookkeepingNeverOverwritesTheToken) {
    // 70 fields: seen bytes come from the workspace top while a long number token is live.
    struct wide {
        double f;
        int64_t rest[69];
    };
    static tamsel_field fields[70];
    static char names[70][8];
    for (int i = 0; i < 70; ++i) {
        std::snprintf(names[i], sizeof names[i], i == 0 ? "f" : "k%d", i);
        tamsel_field &x = fields[i];
        x = tamsel_field{};
        x.name = names[i];
        x.name_len = std::strlen(names[i]);
        x.name_first = names[i][0];
        x.name_last = names[i][x.name_len - 1];
        x.offset = i == 0 ? 0 : 8 * static_cast<size_t>(i);
        x.kind = i == 0 ? TAMSEL_FIELD_F64 : TAMSEL_FIELD_I64;
    }
    static const tamsel_map m = {"wide", sizeof(wide), fields, 70, nullptr, nullptr};
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (size_t zeros = 3950; zeros < 4060; zeros += 3) {
        const std::string json = "{\"f\":1." + std::string(zeros, '0') + "e-5}";
        wide w;
        tamsel_error e;
        tamsel_status st = tamsel_parse_buffer(rt, &m, &w, json.data(), json.size(), &e);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(w.f, 1e-05) << zeros;
        } else {
            EXPECT_TRUE(st == TAMSEL_STATUS_OVERFLOW || st == TAMSEL_STATUS_ALLOCATION_FAILED)
                << zeros;
            EXPECT_NE(st, TAMSEL_STATUS_TYPE_MISMATCH);
        }
    }
    tamsel_free(rt);
}

TEST(ParseBudget, ArraySizesThatWouldWrapAreRefused) {
    // Items so large that 4 of them do not fit a size_t: the growth must fail as "array too
    // large", never allocate a wrapped, smaller block.
    struct holder {
        tamsel_object_array items;
    } h;
    tamsel_field f{};
    f.name = "items";
    f.name_len = 5;
    f.name_first = 'i';
    f.name_last = 's';
    f.kind = TAMSEL_FIELD_OBJECT_ARRAY;
    f.elem_size = SIZE_MAX / 3;
    tamsel_map m = {"h", sizeof(holder), &f, 1, nullptr, nullptr};
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = 0;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    tamsel_error e;
    EXPECT_EQ(tamsel_parse_cstr(rt, &m, &h, R"({"items": [{}]})", &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "array too large");
    tamsel_cleanup(&m, &h);
    tamsel_free(rt);
}

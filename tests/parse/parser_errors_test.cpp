// Grammar errors with their messages and positions, workspace bounds, and surrogate rules.
#include "parse_support.hpp"

#include <cstring>

using namespace parse_test;

namespace {

struct one {
    char *s;
    int64_t n;
};

const tamsel_map *one_map() {
    static const tamsel_field fields[] = {{TAMSEL_KEY("s"), offsetof(one, s), TAMSEL_FIELD_STRING,
                                           0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
                                          {TAMSEL_KEY("n"), offsetof(one, n), TAMSEL_FIELD_I64, 0,
                                           0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map map = {"one", sizeof(one), fields, 2, &map, nullptr};
    return &map;
}

outcome validate(const std::string &text) {
    return feed_pieces(text, {});
}

outcome mapped(const std::string &text) {
    one o;
    outcome r = feed_pieces(text, {}, one_map(), &o);
    tamsel_cleanup(one_map(), &o);
    return r;
}

} // namespace

TEST(ParserErrors, GrammarMessagesAndPositions) {
    struct {
        const char *text, *message;
        size_t line, column, offset;
    } cases[] = {
        {"{\"a\":1,}", "trailing comma in object", 1, 8, 8},
        {"[1,]", "trailing comma in array", 1, 4, 4},
        {"{,}", "expected object key", 1, 2, 2},
        {"{\"a\" 1}", "expected ':' after object key", 1, 6, 6},
        {"{\"a\":1 \"b\":2}", "expected ',' or '}' in object", 1, 8, 8},
        {"[1 2]", "expected ',' or ']' in array", 1, 4, 4},
        {"{} x", "unexpected trailing data", 1, 4, 4},
        {"{\"a\":tru}", "invalid literal", 1, 9, 9},
        {"[01]", "invalid JSON number", 1, 4, 4},
        {"[1.]", "invalid JSON number", 1, 4, 4},
        {"[-]", "invalid JSON number", 1, 3, 3},
        {"[1e+]", "invalid JSON number", 1, 5, 5},
        {"{\"a\":+1}", "expected JSON value", 1, 6, 6},
        {"[.5]", "expected array value", 1, 2, 2},
        {"\"\\x\"", "invalid escape sequence", 1, 3, 3},
        {"\"\\u12G4\"", "invalid unicode escape", 1, 6, 6},
        {"\"\\uDE00\"", "unexpected low surrogate", 1, 7, 7},
        {"\"\\uD83D\"", "unterminated unicode surrogate pair", 1, 8, 8},
        {"\"\\uD83D\\u0041\"", "invalid unicode surrogate pair", 1, 13, 13},
        {"\"a\tb\"", "control character in string literal", 1, 3, 3},
        {"{\"a\":12", "incomplete JSON document", 1, 7, 7},
        {"{\"a\":\"x", "incomplete JSON token at end of input", 1, 7, 7},
        {"", "incomplete JSON document", 1, 0, 0},
        {"[1,\n2,\n]", "trailing comma in array", 3, 1, 8},
    };
    for (const auto &c : cases) {
        outcome o = validate(c.text);
        EXPECT_EQ(o.status, TAMSEL_STATUS_INVALID_JSON) << c.text;
        EXPECT_EQ(o.message, c.message) << c.text;
        EXPECT_EQ(o.line, c.line) << c.text;
        EXPECT_EQ(o.column, c.column) << c.text;
        EXPECT_EQ(o.offset, c.offset) << c.text;
    }
    EXPECT_EQ(validate("12").status, TAMSEL_STATUS_OK) << "a bare number in any-root mode";
    EXPECT_EQ(validate("{}\n\n").status, TAMSEL_STATUS_OK);
    EXPECT_EQ(validate("-0.0E+2").status, TAMSEL_STATUS_OK);
    outcome root = mapped("[1]");
    EXPECT_EQ(root.status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(root.message, "root value must be an object");
    EXPECT_EQ(mapped("1").status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(mapped("{}").status, TAMSEL_STATUS_OK);
}

TEST(ParserErrors, RawBytesAndEscapesIntoAStringField) {
    one o;
    ASSERT_EQ(feed_pieces("{\"s\":\"\xFF\\u00e9\\uD83D\\uDE00\"}", {}, one_map(), &o).status, 0u);
    EXPECT_STREQ(o.s, "\xFF\xC3\xA9\xF0\x9F\x98\x80");
    tamsel_cleanup(one_map(), &o);
}

TEST(ParserErrors, SurrogatePairsJoinAtEverySplit) {
    const std::string text = "{\"s\":\"\\uD83D\\uDE00\"}";
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        one o;
        ASSERT_EQ(feed_pieces(text, {cut}, one_map(), &o).status, 0u) << cut;
        EXPECT_STREQ(o.s, "\xF0\x9F\x98\x80") << cut;
        tamsel_cleanup(one_map(), &o);
    }
    // Nothing but the low half may follow a high half.
    // Reported at the first byte that cannot continue the pair: the 'a' (offset 13), or the
    // 'n' after the backslash (offset 14).
    for (const char *t : {"{\"s\":\"\\ud800a\\udc00\"}", "{\"s\":\"\\ud800\\n\\udc00\"}"}) {
        const std::string bad = t;
        const outcome whole = mapped(bad);
        EXPECT_EQ(whole.status, TAMSEL_STATUS_INVALID_JSON) << t;
        EXPECT_EQ(whole.message, "invalid unicode surrogate pair") << t;
        EXPECT_EQ(whole.offset, bad[12] == 'a' ? 13u : 14u) << t;
        for (size_t cut = 0; cut <= bad.size(); ++cut) {
            one o;
            EXPECT_EQ(feed_pieces(bad, {cut}, one_map(), &o), whole) << t << " cut " << cut;
            tamsel_cleanup(one_map(), &o);
        }
    }
}

TEST(ParserErrors, DepthLimits) {
    tamsel_parse_options o = tamsel__default_parse_options();
    o.max_depth = 2;
    struct deep {
        int unused;
    } d{};
    static const tamsel_map empty = {"empty", sizeof(deep), nullptr, 0, nullptr, nullptr};
    outcome r = feed_pieces("{\"a\":{\"b\":{}}}", {}, &empty, &d, &o);
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(r.message, "maximum nesting depth exceeded");
    EXPECT_EQ(r.offset, 11u);
    // Deep nesting always ends in status 6, whatever the limit.
    o.max_depth = 0;
    std::string deepest(100000, '[');
    r = feed_pieces(deepest, {}, nullptr, nullptr, &o);
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(r.message, "parser workspace exhausted by nesting depth");
    o.max_depth = 1000000;
    EXPECT_EQ(feed_pieces(deepest, {}, nullptr, nullptr, &o).message,
              "parser workspace exhausted by nesting depth");
}

TEST(ParserErrors, TokensNeverReachPastTheWorkspace) {
    auto key = [](size_t n) { return "{\"" + std::string(n, 'k') + "\":1}"; };
    // The token room is the workspace less the open frame, a NUL and one spare byte.
    const outcome fits = mapped(key(4000));
    EXPECT_EQ(fits.status, TAMSEL_STATUS_OK) << fits.message;
    for (size_t n : {size_t{4095}, size_t{4096}, size_t{100000}}) {
        const outcome r = mapped(key(n));
        EXPECT_EQ(r.status, TAMSEL_STATUS_ALLOCATION_FAILED) << n;
        EXPECT_EQ(r.message, "failed to append string") << n;
        one o;
        EXPECT_EQ(feed_pieces(key(n), every(1, key(n).size()), one_map(), &o).status,
                  TAMSEL_STATUS_ALLOCATION_FAILED);
        tamsel_cleanup(one_map(), &o);
    }
    const std::string digits = "{\"n\":" + std::string(100000, '1') + "}";
    EXPECT_EQ(mapped(digits).message, "failed to append number");
    // Deep nesting leaves less room for a key.
    std::string nested;
    for (int i = 0; i < 60; ++i)
        nested += "{\"x\":";
    nested += "{\"" + std::string(1000, 'k') + "\":1}" + std::string(60, '}');
    EXPECT_EQ(validate(nested).message, "failed to append string");
    // A string value of a known string field is not bounded by the workspace.
    EXPECT_EQ(mapped("{\"s\":\"" + std::string(100000, 'v') + "\"}").status, TAMSEL_STATUS_OK);
}

TEST(ParserErrors, FeedingAfterAFailureReturnsTheStoredStatus) {
    using namespace tamsel::parse;
    parser p;
    alignas(8) unsigned char ws[workspace_bytes];
    init_args a;
    a.any_root = true;
    a.workspace = ws;
    ASSERT_EQ(parser_init(p, a), 0u);
    size_t used = 0;
    EXPECT_EQ(parser_feed(p, "[1,]", 4, &used, false), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(used, 4u);
    EXPECT_EQ(parser_feed(p, "[]", 2, &used, false), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(parser_finish(p), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(p.error.message, "trailing comma in array");
    EXPECT_EQ(parser_feed(p, nullptr, 3, &used, false), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(p.error.message, "invalid parser feed arguments");
    parser_destroy(p);
}

TEST(ParserErrors, StopAfterRootConsumesOneDocument) {
    using namespace tamsel::parse;
    parser p;
    alignas(8) unsigned char ws[workspace_bytes];
    init_args a;
    a.any_root = true;
    a.workspace = ws;
    ASSERT_EQ(parser_init(p, a), 0u);
    size_t used = 0;
    EXPECT_EQ(parser_feed(p, "{}{}", 4, &used, true), 0u);
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(parser_finish(p), 0u);
    parser_destroy(p);
}

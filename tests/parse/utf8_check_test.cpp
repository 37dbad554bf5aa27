// The push parser's UTF-8 check: each case (well-formed characters and every ill-formed class)
// at every offset of a 64-byte block, in string values and keys, dropped, mapped, stored
// directly or as array elements, fed whole, byte by byte and cut at every byte around the case.
// With the check on, an ill-formed case fails with status 2 at its first bad byte whatever the
// chunking; with it off, and for well-formed cases, the document parses as before.
#include "parse_support.hpp"
#include "support/utf8_cases.hpp"

#include <cstring>

namespace {

using parse_test::feed_pieces;
using parse_test::outcome;

struct rec {
    char *s;
    tamsel_string_array a;
};

const tamsel_map *rec_map() {
    static const tamsel_field fields[] = {{TAMSEL_KEY("s"), offsetof(rec, s), TAMSEL_FIELD_STRING,
                                           0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
                                          {TAMSEL_KEY("a"), offsetof(rec, a),
                                           TAMSEL_FIELD_STRING_ARRAY, 0, 0, 0, 0, 0, nullptr,
                                           nullptr, 0, 0}};
    static const tamsel_map map = {"rec", sizeof(rec), fields, 2, &map, nullptr};
    return &map;
}

// Where the text goes: the document around it, whether it is a key, and whether it is parsed
// into the record.
struct shape {
    const char *before;
    const char *after;
    bool key;
    bool mapped;
};

const shape shapes[] = {
    {"[\"", "\"]", false, false},              // a value nothing takes (the skim)
    {"{\"", "\":1}", true, false},             // a key, validating
    {"{\"s\":\"", "\"}", false, true},         // a STRING field, written directly
    {"{\"", "\":1}", true, true},              // a key looked up in a map
    {"{\"u\":\"", "\"}", false, true},         // the value of an unknown key
    {"{\"a\":[\"x\",\"", "\"]}", false, true}, // an array element, through the token
};

outcome parse(const std::string &doc, const shape &sh, const std::vector<size_t> &cuts,
              bool check) {
    rec r{};
    const outcome o = feed_pieces(doc, cuts, sh.mapped ? rec_map() : nullptr,
                                  sh.mapped ? &r : nullptr, nullptr, check);
    if (sh.mapped) tamsel_cleanup(rec_map(), &r);
    return o.status ? o : outcome{}; // where a success ends is not the point here
}

} // namespace

TEST(Utf8Check, ParserStopsAtTheFirstBadByteAtAnyChunking) {
    for (const auto &c : utf8_test::cases()) {
        for (const shape &sh : shapes) {
            for (const auto &chars : utf8_test::fillers()) {
                for (size_t at = 0; at < 68; ++at) {
                    // A case cut short is followed by text, or by the closing quote.
                    const std::string text =
                        utf8_test::filler(chars, at) + c.bytes + (at % 2 ? "zz" : "");
                    const std::string doc = sh.before + text + sh.after;
                    const size_t body = std::strlen(sh.before);
                    outcome want{};
                    if (c.bad >= 0) {
                        const size_t bad = body + at + static_cast<size_t>(c.bad);
                        want = {TAMSEL_STATUS_INVALID_JSON,
                                sh.key ? "invalid UTF-8 in key" : "invalid UTF-8 in string",
                                bad + 1,
                                1,
                                bad + 1,
                                0};
                    }
                    const std::string where = std::string(c.name) + " at " + std::to_string(at) +
                                              " in " + doc.substr(0, body);
                    ASSERT_EQ(parse(doc, sh, {}, false), outcome{}) << where;
                    ASSERT_EQ(parse(doc, sh, {}, true), want) << where;
                    ASSERT_EQ(parse(doc, sh, parse_test::every(1, doc.size()), true), want)
                        << where << ", byte by byte";
                    for (size_t cut = body + at - (at ? 1 : 0); cut <= body + at + c.bytes.size();
                         ++cut)
                        ASSERT_EQ(parse(doc, sh, {cut}, true), want) << where << ", cut " << cut;
                }
            }
        }
    }
}

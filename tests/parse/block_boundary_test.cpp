// Documents built so that every kind of token meets the block scanner at every offset of a
// 64-byte block (behind the 16 bytes the inline scanners look at first): string contents
// (quotes, backslash runs, multi-byte characters, escapes), structure, literals and numbers
// behind whitespace, valid and broken. The bulk paths (the skim, whole escapes and literals,
// dropped strings) must end exactly as one byte per call, which only the per-byte step sees:
// validated whole, cut in two at every byte and fed a byte at a time, and parsed into a record
// whose string field takes escapes at every offset beside skipped unknown values.
#include "parse_support.hpp"

#include <cstdio>
#include <functional>
#include <utility>

using namespace parse_test;

namespace {

// Offsets 0..15 are the inline scanners', 16..79 the kernel's first block, then the next.
constexpr size_t max_offset = 84;
// Enough bytes after any token for a kernel to take a whole 64-byte block over it.
const std::string filler(72, 'f');

// Whitespace of `n` bytes, line feeds among them so that lines and columns move.
std::string ws(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += i % 8 == 3 ? '\n' : i % 5 == 1 ? '\t' : i % 11 == 7 ? '\r' : ' ';
    return s;
}

// Plain string bytes of `n` bytes: letters, DEL, spaces and UTF-8 sequences cut anywhere.
std::string plain(size_t n) {
    static const char bytes[] = "ab\x7f\xc3\xa9 Z\xe2\x82\xac~\xf0\x9f\x98\x80/q";
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += bytes[i % (sizeof bytes - 1)];
    return s;
}

std::string printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// What one run ended with: the outcome and, for mapped parses, the record's contents.
using result = std::pair<outcome, std::string>;
using runner = std::function<result(const std::string &, const std::vector<size_t> &)>;

result validate(const std::string &text, const std::vector<size_t> &cuts) {
    return {feed_pieces(text, cuts), ""};
}

// `text` ends alike whole, cut in two at every byte, and fed one byte per call; it succeeds
// exactly when `valid`.
::testing::AssertionResult same_at_every_split(const std::string &text, bool valid,
                                               const runner &run = validate) {
    const result whole = run(text, {});
    if ((whole.first.status == TAMSEL_STATUS_OK) != valid)
        return ::testing::AssertionFailure()
               << printable(text) << (valid ? " should be valid: " : " should fail: ")
               << whole.first;
    for (size_t cut = 1; cut < text.size(); ++cut) {
        const result split = run(text, {cut});
        if (split != whole)
            return ::testing::AssertionFailure()
                   << printable(text) << "\n  cut at " << cut << ": " << split.first << " "
                   << split.second << "\n  whole: " << whole.first << " " << whole.second;
    }
    const result bytes = run(text, every(1, text.size()));
    if (bytes != whole)
        return ::testing::AssertionFailure()
               << printable(text) << "\n  byte by byte: " << bytes.first << " " << bytes.second
               << "\n  whole: " << whole.first << " " << whole.second;
    return ::testing::AssertionSuccess();
}

// A string with the given body as the root, an array element, a key or a value, with a long
// string after it.
std::string in_context(size_t context, const std::string &body) {
    const std::string s = "\"" + body + "\"";
    switch (context % 4) {
    case 0:
        return s;
    case 1:
        return "[" + s + ",\"" + filler + "\"]";
    case 2:
        return "{" + s + ":\"" + filler + "\"}";
    default:
        return "{\"k\":" + s + ",\"" + filler + "\":0}";
    }
}

} // namespace

TEST(BlockBoundary, StringContentsAtEveryOffsetValidateAlikeAtEverySplit) {
    const std::pair<const char *, bool> features[] = {
        {"", true},                     // the closing quote itself
        {"\xc3\xa9\xe2\x82\xac", true}, // two- and three-byte characters
        {"\xf0\x9f\x98\x80", true},     // a four-byte character
        {"\\u00e9", true},              // \uXXXX
        {"\\ud83d\\ude00", true},       // a surrogate pair
        {"\\n\\\"\\\\\\/\\t", true},    // one-letter escapes back to back
        {"\\x", false},                 // an escape that does not exist
        {"\\u00g9", false},             // a bad hex digit
        {"\\ud83dx", false},            // a high half alone
        {"\\ude00", false},             // a low half alone
        {"\\ud83d\\u0041", false},      // a high half with no low one
        {"\x01", false},                // control bytes
        {"\x1f", false},                //
        {"\n", false},                  //
    };
    for (size_t at = 0; at <= max_offset; ++at) {
        for (size_t i = 0; i < std::size(features); ++i) {
            const auto &[feature, valid] = features[i];
            const std::string body = plain(at) + feature + plain(5);
            ASSERT_TRUE(same_at_every_split(in_context(at + i, body), valid));
        }
        // Cut off inside the string, right after an escape.
        ASSERT_TRUE(same_at_every_split("[\"" + plain(at) + "\\u00e9", false));
    }
}

TEST(BlockBoundary, BackslashRunsOfEveryLengthValidateAlikeAtEverySplit) {
    for (size_t n = 0; n <= 70; ++n) {
        // Once across the end of the kernel's first block, once at an offset turning with n.
        for (size_t at : {80 - n / 2, n * 7 % 64}) {
            const std::string run(n, '\\');
            // An odd run escapes the quote after it: the string goes on to a second one.
            const std::string valid = plain(at) + run + (n % 2 ? "\"x" : "");
            // An odd run before a letter that is no escape.
            const std::string invalid = plain(at) + run + (n % 2 ? "q" : "\\q");
            ASSERT_TRUE(same_at_every_split(in_context(n + at, valid), true));
            ASSERT_TRUE(same_at_every_split(in_context(n + at + 1, invalid), false));
        }
    }
}

TEST(BlockBoundary, TokensBehindWhitespaceAtEveryOffsetValidateAlikeAtEverySplit) {
    // The whitespace goes in front of the token marked '|'; the long string after keeps a
    // whole block in the input past any token.
    const std::string tail = ",\"" + filler + "\"]}";
    const std::pair<std::string, bool> templates[] = {
        {"{\"a\":[|{\"b\":1}", true},         // '{' inside an array
        {"{\"a\":[{\"b\":1|}", true},         // '}'
        {"{\"a\":[|[1]", true},               // '['
        {"{\"a\":[[1|]", true},               // ']'
        {"{\"a\":[1|,2", true},               // ',' in an array
        {"{\"a\":[{\"b\":1|,\"c\":0}", true}, // ',' in an object
        {"{\"a\":[{\"b\"|:0}", true},         // ':'
        {"{\"a\":[{|\"b\":0}", true},         // a key
        {"{\"a\":[|\"s\\n\"", true},          // a string value with an escape
        {"{\"a\":[|true", true},              // literals
        {"{\"a\":[|false", true},             //
        {"{\"a\":[|null", true},              //
        {"{\"a\":[|-2.5e+3", true},           // numbers
        {"{\"a\":[|0", true},                 //
        {"{\"a\":[1,|]", false},              // a trailing comma in an array
        {"{\"a\":[{\"b\":1,|}", false},       // and in an object
        {"{\"a\":[|tru", false},              // a literal cut short
        {"{\"a\":[|nul ", false},             //
        {"{\"a\":[|truex", false},            // a literal running on
        {"{\"a\":[|-", false},                // a sign alone
        {"{\"a\":[|01", false},               // a leading zero
        {"{\"a\":[{\"b\"|1}", false},         // no colon
    };
    for (size_t at = 0; at <= max_offset; ++at) {
        for (const auto &[t, valid] : templates) {
            const size_t mark = t.find('|');
            const std::string text = t.substr(0, mark) + ws(at) + t.substr(mark + 1) + tail;
            ASSERT_TRUE(same_at_every_split(text, valid));
        }
        // A literal cut off by the end of the input, and the whitespace before the root.
        ASSERT_TRUE(same_at_every_split("[" + ws(at) + "fals", false));
        ASSERT_TRUE(same_at_every_split(ws(at) + "{\"" + filler + "\":[]}", true));
    }
}

namespace {

struct escaped {
    char *s;
    int64_t n;
    int b;
};

const tamsel_map *escaped_map() {
    static const tamsel_field fields[] = {
        {TAMSEL_KEY("s"), offsetof(escaped, s), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("n"), offsetof(escaped, n), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr,
         0, 0},
        {TAMSEL_KEY("b"), offsetof(escaped, b), TAMSEL_FIELD_BOOL, 0, 0, 0, 0, 0, nullptr, nullptr,
         0, 0},
    };
    static const tamsel_map map = {"escaped", sizeof(escaped), fields, 3, &map, nullptr};
    return &map;
}

result parse_escaped(const std::string &text, const std::vector<size_t> &cuts) {
    escaped r;
    const outcome o = feed_pieces(text, cuts, escaped_map(), &r);
    std::string contents =
        (r.s ? std::string(r.s) : "<null>") + "|" + std::to_string(r.n) + "|" + std::to_string(r.b);
    tamsel_cleanup(escaped_map(), &r);
    return {o, contents};
}

} // namespace

TEST(BlockBoundary, MappedStringTakesEscapesAtEveryOffsetBesideSkippedValues) {
    const std::string escapes = "\\n\\\\\\\"\\u00e9\\ud83d\\ude00\\/\\u0041";
    const std::string decoded = "\n\\\"\xc3\xa9\xf0\x9f\x98\x80/A";
    // What goes wrong in the field's string, turning with the offset.
    const char *const faults[] = {"\\u0000", "\\x", "\\ud800a", "\x01"};
    for (size_t at = 0; at <= max_offset; ++at) {
        // Unknown keys before and after, their values skipped: nested containers, strings with
        // escapes at the same offset, literals and numbers.
        auto doc = [&](const std::string &field) {
            return "{\"x\":{\"skip\":[\"" + plain(at) + "\\t\\u00e9\",[1,-2.5,true,null]," +
                   ws(at) + "{}]},\"s\":\"" + field + "\",\"u\":\"" + plain(at) + escapes +
                   "\",\"b\":true,\"v\":[\"" + filler + "\"],\"n\":7}";
        };
        const std::string value = plain(at) + escapes + plain(3);
        const std::string text = doc(value);
        EXPECT_EQ(parse_escaped(text, {}).second, plain(at) + decoded + plain(3) + "|7|1");
        ASSERT_TRUE(same_at_every_split(text, true, parse_escaped));
        const std::string broken = doc(plain(at) + faults[at % std::size(faults)] + escapes);
        ASSERT_TRUE(same_at_every_split(broken, false, parse_escaped));
    }
}

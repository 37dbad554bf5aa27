// Dynamic strings with escapes that lie whole in the input are decoded in one pass into the
// block their body's length calls for, and cut down when the decoded string needs a smaller
// one. Whatever road a string takes, it must end as byte by byte: the same contents, status,
// position, block size and budget decisions, and nothing left behind when an allocation fails.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"

using namespace parse_test;
using tamsel_test::counting_allocator;

namespace {

struct texts {
    char *s;
    char *t;
};

const tamsel_map *texts_map() {
    static const tamsel_field fields[] = {
        {TAMSEL_KEY("s"), offsetof(texts, s), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, nullptr,
         0, 0},
        {TAMSEL_KEY("t"), offsetof(texts, t), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, nullptr,
         0, 0},
    };
    static const tamsel_map map = {"texts", sizeof(texts), fields, 2, &map, nullptr};
    return &map;
}

// The parse's outcome, the strings, and the bytes the record's blocks hold afterwards.
struct run_result {
    outcome o;
    std::string contents;
    size_t live_bytes = 0;
    bool operator==(const run_result &) const = default;
};

std::ostream &operator<<(std::ostream &os, const run_result &r) {
    return os << r.o << " [" << r.contents << "] " << r.live_bytes << " bytes";
}

run_result parse_texts(const std::string &text, const std::vector<size_t> &cuts,
                       uint64_t max_string, uint64_t budget) {
    counting_allocator a;
    tamsel_parse_options o = tamsel__default_parse_options();
    o.allocator = a.get();
    o.max_string_bytes = max_string;
    o.max_parse_bytes = budget;
    texts r{};
    run_result out;
    out.o = feed_pieces(text, cuts, texts_map(), &r, &o);
    out.contents = std::string(r.s ? r.s : "<null>") + "|" + (r.t ? r.t : "<null>");
    out.live_bytes = a.live_bytes();
    tamsel_cleanup(texts_map(), &r);
    return out;
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

TEST(EscapedStrings, OnePassDecodingEndsAsByteByByteAroundEveryBlockSize) {
    // Escapes that shrink by 1 (\n), 4 (\u00e9), 8 (a surrogate pair) and 5 (\u0041) bytes, in
    // counts that put the body's length and the decoded length on either side of 64, 128 and
    // 256 bytes; budgets and string limits around what they call for.
    const std::string escapes[] = {"\\n", "\\u00e9", "\\ud83d\\ude00", "\\u0041", "\\\"\\/"};
    for (const std::string &escape : escapes)
        for (size_t count : {size_t{1}, size_t{9}, size_t{13}, size_t{21}, size_t{40}})
            for (size_t pad : {size_t{0}, size_t{5}, size_t{31}}) {
                const std::string body = std::string(pad, 'x') + repeat(escape, count);
                const std::string text = "{\"s\":\"" + body + "\",\"t\":\"" + escape + "\"}";
                for (uint64_t max_string : {uint64_t{0}, uint64_t{60}, uint64_t{130}})
                    for (uint64_t budget :
                         {uint64_t{0}, uint64_t{70}, uint64_t{200}, uint64_t{300}}) {
                        const run_result whole = parse_texts(text, {}, max_string, budget);
                        const run_result bytes =
                            parse_texts(text, every(1, text.size()), max_string, budget);
                        ASSERT_EQ(whole, bytes)
                            << text << " limit " << max_string << " budget " << budget;
                    }
            }
    // A NUL escape is refused as byte by byte refuses it.
    const std::string nul = "{\"s\":\"" + repeat("\\u00e9", 30) + "\\u0000\"}";
    const run_result whole = parse_texts(nul, {}, 0, 0);
    EXPECT_EQ(whole.o.status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(whole, parse_texts(nul, every(1, nul.size()), 0, 0));
}

TEST(EscapedStrings, AllocationFailureAtEveryIndexWhileDecodingInOnePass) {
    // The decoded string needs a smaller block than its body: the block is cut down.
    const std::string text = "{\"s\":\"" + repeat("\\u00e9", 20) + "\",\"t\":\"a\\nb\"}";
    size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        tamsel_parse_options o = tamsel__default_parse_options();
        o.allocator = a.get();
        texts r{};
        const outcome got = feed_pieces(text, {}, texts_map(), &r, &o);
        if (got.status == TAMSEL_STATUS_OK) {
            EXPECT_EQ(std::string(r.s), repeat("\xc3\xa9", 20));
            EXPECT_STREQ(r.t, "a\nb");
        }
        tamsel_cleanup(texts_map(), &r);
        return got.status;
    });
    EXPECT_GE(runs, 3u);
}

TEST(EscapedStrings, BodiesTheOnePassCannotDecideEndAsByteByByte) {
    // Faults at and after escapes, a NUL escape, and bodies longer than the parser's workspace
    // (decoded in two passes then): the same outcome, contents and position whole, in 64-byte
    // pieces and a byte at a time.
    const std::string long_body = repeat("ab\\u00e9cd\\n", 600);
    const std::string bodies[] = {
        "x\\u00e9\\q",
        "x\\u00e9\\u00g9",
        "x\\n\\ud83d\\u0041",
        "x\\n\\ude00",
        "x\\u00e9\x01tail",
        "x\\n\\u0000y",
        long_body,
        long_body + "\\u0000",
        long_body + "\\k",
        "x\\n" + std::string(40, 'y'),
    };
    for (const std::string &body : bodies)
        for (const std::string &after : {std::string("\"}"), std::string("")}) {
            const std::string text = "{\"t\":\"a\\tb\",\"s\":\"" + body + after;
            const run_result whole = parse_texts(text, {}, 0, 0);
            ASSERT_EQ(whole, parse_texts(text, every(64, text.size()), 0, 0)) << text;
            ASSERT_EQ(whole, parse_texts(text, every(1, text.size()), 0, 0)) << text;
        }
}

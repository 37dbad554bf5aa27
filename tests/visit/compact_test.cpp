// The compact copy, the workspace-free validation and the items doors against the visitor road:
// the same output as the writer's compact transcoding, the same errors as the visitor, at every
// split of the input.
#include "rewrite/rewrite_support.hpp"
#include "support/counting_allocator.hpp"
#include "support/repeated_keys.hpp"

#include <dirent.h>

#include <vector>

using namespace rewrite_test;

namespace {

std::vector<std::string> suite_files(const std::string &prefix) {
    const std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing/";
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string suite_file(const std::string &name) {
    return load_corpus(("../JSONTestSuite/test_parsing/" + name).c_str());
}

struct result {
    tamsel_status status;
    std::string out;
    tamsel_error error;
};

result compact_buffer(tamsel_runtime *rt, const std::string &json, unsigned flags = 0) {
    result r{};
    capture c;
    r.status = tamsel_compact_value_buffer(rt, json.data(), json.size(), capture::sink, &c, flags,
                                           &r.error);
    r.out = c.out;
    return r;
}

result compact_split(tamsel_runtime *rt, const std::string &json, size_t first, size_t piece) {
    result r{};
    capture c;
    chunks in{json, first, piece};
    r.status = tamsel_compact_value_reader(rt, chunks::read, &in, capture::sink, &c, 0, &r.error);
    r.out = c.out;
    return r;
}

result items_split(tamsel_runtime *rt, const std::string &json, size_t first, size_t piece) {
    result r{};
    capture c;
    chunks in{json, first, piece};
    r.status =
        tamsel_compact_items_reader(rt, nullptr, chunks::read, &in, capture::sink, &c, 0, &r.error);
    r.out = c.out;
    return r;
}

result items_buffer(tamsel_runtime *rt, const std::string &json, const char *selector = nullptr) {
    result r{};
    capture c;
    r.status = tamsel_compact_items_buffer(rt, selector, json.data(), json.size(), capture::sink,
                                           &c, 0, &r.error);
    r.out = c.out;
    return r;
}

void expect_same_error(const tamsel_error &want, const tamsel_error &got, const std::string &what) {
    EXPECT_STREQ(want.message, got.message) << what;
    EXPECT_EQ(want.line, got.line) << what;
    EXPECT_EQ(want.column, got.column) << what;
    EXPECT_EQ(want.offset, got.offset) << what;
}

// The compact copy (escapes kept or not), validation and the copy cut at each of `firsts` into
// `piece`-byte reads report what the visitor reports for `json`.
void expect_visitors_result(tamsel_runtime *rt, const std::string &json,
                            const std::vector<size_t> &firsts, size_t piece,
                            const std::string &what) {
    const tamsel_value_visitor none = tamsel_default_value_visitor();
    tamsel_error want{};
    const tamsel_status st =
        tamsel_visit_value_buffer(rt, json.data(), json.size(), &none, nullptr, &want);
    for (unsigned flags : {0u, unsigned{TAMSEL_COMPACT_KEEP_ESCAPES}}) {
        const result r = compact_buffer(rt, json, flags);
        ASSERT_EQ(r.status, st) << what;
        if (st != TAMSEL_STATUS_OK) expect_same_error(want, r.error, what);
    }
    tamsel_error e{};
    ASSERT_EQ(tamsel_validate_value_buffer(rt, json.data(), json.size(), &e), st) << what;
    if (st != TAMSEL_STATUS_OK) expect_same_error(want, e, what + " (validate)");
    for (size_t first : firsts) {
        const result s = compact_split(rt, json, first, piece);
        ASSERT_EQ(s.status, st) << what << " split " << first;
        if (st != TAMSEL_STATUS_OK) expect_same_error(want, s.error, what + " (split)");
        chunks in{json, first, piece};
        tamsel_error v{};
        ASSERT_EQ(tamsel_validate_value_reader(rt, chunks::read, &in, &v), st)
            << what << " validate split " << first;
        if (st != TAMSEL_STATUS_OK) expect_same_error(want, v, what + " (validate split)");
    }
}

// Every escape and number form the text rules know, and a few of each kind of value.
const char every_form[] =
    "{\"s\": \"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u0001\\u001f\\u0020\\u00e9\\u20AC\\ud83d\\ude00\","
    " \"\\u0041key\" : [0, -0, 1.5, -1.5e10, 2E-3, 1e+2, 123456789012345678901234567890],\n"
    "\t\"l\": [true, false, null, {}, [], \"\xC3\xA9\"] }";

} // namespace

TEST(CompactCopy, EqualsTheWritersCompactFormOnTheCorpusAndTheYFiles) {
    tamsel_config cfg = tamsel_default_config();
    cfg.max_depth = cfg.value_max_depth = 1000;
    cfg.reject_duplicates = 0; // y_object_duplicated_key is an item below
    tamsel_runtime *rt = tamsel_new(&cfg, nullptr);
    for (const char *name : corpus_names) {
        const std::string json = load_corpus(name);
        const result r = compact_buffer(rt, json);
        ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << name << ": " << r.error.message;
        EXPECT_TRUE(r.out == compact(rt, json)) << name;
        // Each corpus file as the one item of an array.
        const result items = items_buffer(rt, "[" + json + "]");
        ASSERT_EQ(items.status, TAMSEL_STATUS_OK) << name << ": " << items.error.message;
        EXPECT_TRUE(items.out == r.out + "\n") << name;
    }
    for (const std::string &name : suite_files("y_")) {
        const std::string json = suite_file(name);
        const result r = compact_buffer(rt, json);
        ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << name << ": " << r.error.message;
        EXPECT_EQ(r.out, compact(rt, json)) << name;
        tamsel_error e{};
        EXPECT_EQ(tamsel_validate_value_buffer(rt, json.data(), json.size(), &e), TAMSEL_STATUS_OK)
            << name;
        const result items = items_buffer(rt, "[" + json + " ,\n" + json + "]");
        ASSERT_EQ(items.status, TAMSEL_STATUS_OK) << name << ": " << items.error.message;
        EXPECT_EQ(items.out, r.out + "\n" + r.out + "\n") << name;
    }
    tamsel_free(rt);
}

TEST(CompactCopy, EveryEscapeAndNumberFormAtEverySplit) {
    tamsel_runtime *rt = roomy_runtime();
    const std::string json = every_form;
    const std::string want = compact(rt, json);
    EXPECT_EQ(compact_buffer(rt, json).out, want);
    // Escapes kept: only the whitespace goes.
    EXPECT_EQ(compact_buffer(rt, json, TAMSEL_COMPACT_KEEP_ESCAPES).out,
              "{\"s\":\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u0001\\u001f\\u0020\\u00e9\\u20AC\\ud83d"
              "\\ude00\",\"\\u0041key\":[0,-0,1.5,-1.5e10,2E-3,1e+2,"
              "123456789012345678901234567890],\"l\":[true,false,null,{},[],\"\xC3\xA9\"]}");
    for (size_t first = 1; first <= json.size(); ++first) {
        for (size_t piece : {size_t{1}, size_t{7}}) {
            const result r = compact_split(rt, json, first, piece);
            ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << first << "/" << piece << r.error.message;
            ASSERT_EQ(r.out, want) << first << "/" << piece;
        }
    }
    // Items at every split: the document's values as lines.
    const std::string doc = "[" + json + ", 1 , \"x\\/\",[ ]]";
    const std::string lines = want + "\n1\n\"x/\"\n[]\n";
    for (size_t first = 1; first <= doc.size(); ++first) {
        const result r = items_split(rt, doc, first, 3);
        ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << first << ": " << r.error.message;
        ASSERT_EQ(r.out, lines) << first;
    }
    tamsel_free(rt);
}

TEST(CompactCopy, ErrorsAreTheVisitorsOnTheNFiles) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), TAMSEL_STATUS_OK);
    const tamsel_value_visitor none = tamsel_default_value_visitor();
    for (const std::string &name : suite_files("n_")) {
        const std::string json = suite_file(name);
        tamsel_error want{};
        const tamsel_status st =
            tamsel_visit_value_buffer(rt, json.data(), json.size(), &none, nullptr, &want);
        const result r = compact_buffer(rt, json);
        EXPECT_EQ(r.status, st) << name;
        expect_same_error(want, r.error, name + " (compact)");
        tamsel_error e{};
        EXPECT_EQ(tamsel_validate_value_buffer(rt, json.data(), json.size(), &e), st) << name;
        expect_same_error(want, e, name + " (validate)");
        // Split in two: the same error.
        const result s = compact_split(rt, json, json.size() / 2 + 1, 5);
        EXPECT_EQ(s.status, st) << name;
        expect_same_error(want, s.error, name + " (split)");
    }
    tamsel_free(rt);
}

TEST(CompactCopy, StringLimitsAreTheVisitorsWhereEscapesShorten) {
    // Written longer than decoded, around the limit: whole in memory and at every split.
    const char *docs[] = {"[\"ab\\u00e9\"]",      "[\"a\\/b\\n\"]", "{\"k\\u0041y\":1}",
                          "[\"\\ud83d\\ude00\"]", "[\"abcdefg\"]",  "[\"\xC3\xA9\\tx\\\"\"]"};
    for (uint64_t limit = 3; limit <= 6; ++limit) {
        tamsel_config cfg = tamsel_default_config();
        cfg.value_max_string_bytes = cfg.value_max_key_bytes = limit;
        tamsel_runtime *rt = tamsel_new(&cfg, nullptr);
        ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), TAMSEL_STATUS_OK);
        for (const std::string json : docs) {
            std::vector<size_t> firsts;
            for (size_t first = 1; first < json.size(); ++first)
                firsts.push_back(first);
            expect_visitors_result(rt, json, firsts, 1, json + " at " + std::to_string(limit));
        }
        tamsel_free(rt);
    }
}

// Packed text (no whitespace) is taken many tokens a step: a fault or a limit at any byte of it
// is still reported as the visitor reports it, whole in memory and cut anywhere.
TEST(CompactCopy, PackedTextFaultsAndLimitsAreTheVisitors) {
    const std::string record =
        "{\"id\":12,\"v\":\"abcde\",\"s\":\"ab\\u00e9c\\n\",\"u\":\"\xE6\x97\xA5x\",\"t\":true,"
        "\"f\":false,\"n\":null,\"a\":[1.5,-2e3,[],{}],\"o\":{\"k\":[0]}}";
    const std::string doc = "[" + record + "," + record + "]";
    const auto same = [](tamsel_runtime *rt, const std::string &json, const std::string &what) {
        expect_visitors_result(rt, json, {9, json.size() / 2 + 1}, 64, what);
    };
    // Without the duplicate check (the repeated keys are checked in CompactItems).
    tamsel_config plain = tamsel_default_config();
    plain.reject_duplicates = 0;
    tamsel_runtime *rt = tamsel_new(&plain, nullptr);
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), TAMSEL_STATUS_OK);
    for (size_t i = 0; i < doc.size(); ++i) {
        for (char bad : {'x', '"', ']', '}', ',', ':', '1', ' ', '\x01', '\xff'}) {
            std::string json = doc;
            json[i] = bad;
            same(rt, json, std::to_string(i) + ": " + json);
        }
        same(rt, doc.substr(0, i), "prefix " + std::to_string(i));
    }
    tamsel_free(rt);
    // Each limit met inside packed text, and nesting 1,000 deep at and past the depth limit.
    for (int which = 0; which < 4; ++which) {
        tamsel_config cfg = plain;
        cfg.value_max_depth = which == 0 ? 1000 : 3;
        if (which == 1) cfg.value_max_string_bytes = 4;
        if (which == 2) cfg.value_max_key_bytes = 1;
        if (which == 3) cfg.value_max_number_bytes = 3;
        rt = tamsel_new(&cfg, nullptr);
        ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), TAMSEL_STATUS_OK);
        same(rt, doc, "limit " + std::to_string(which));
        if (which == 0) {
            for (size_t depth : {size_t{1000}, size_t{1001}}) {
                const std::string deep =
                    std::string(depth - 1, '[') + "{\"k\":1}" + std::string(depth - 1, ']');
                same(rt, deep, "depth " + std::to_string(depth));
            }
        }
        tamsel_free(rt);
    }
}

// Laid-out text (spaces, line feeds, CR LF, tabs between tokens) with escapes and characters that
// are not ASCII: a fault at any byte of it is reported as the visitor reports it (line and column
// included), whole in memory and read in pieces, with the UTF-8 check on and off.
TEST(CompactCopy, LaidOutTextFaultsAreTheVisitors) {
    const std::string record = "{ \"id\": 12,\n  \"s\" : \"ab\\u00e9c\\n\\\"\",\r\n\t\"u\": "
                               "\"\xE6\x97\xA5x\",  \"a\": [ 1.5 , -2e3, [ ], { } , true ] }";
    const std::string doc = "[\n" + record + ",\n" + record + "\n]\n";
    tamsel_config plain = tamsel_default_config();
    plain.reject_duplicates = 0;
    for (int check : {1, 0}) {
        tamsel_runtime *rt = tamsel_new(&plain, nullptr);
        ASSERT_EQ(tamsel_set_utf8_check(rt, check, nullptr), TAMSEL_STATUS_OK);
        const auto same = [rt](const std::string &json, const std::string &what) {
            expect_visitors_result(rt, json, {7, json.size() / 2 + 1}, 97, what);
        };
        for (size_t i = 0; i < doc.size(); ++i) {
            for (char bad : {'x', '"', '\\', '}', ',', '\n', '\x01', '\xff'}) {
                std::string json = doc;
                json[i] = bad;
                same(json, std::to_string(i) + ": " + json);
            }
        }
        tamsel_free(rt);
    }
}

// Records one to a line (`},\n{`) with escapes the text rules write otherwise and a run of more
// characters that are not ASCII than are checked where they stand: the copy, the items and every
// fault's position (line and column included) are the visitor's and the writer's, whole in memory
// and cut anywhere.
TEST(CompactCopy, RecordsOneToALineAtEverySplit) {
    const std::string record =
        "{\"s\":\"a\\u00e9b\\/c\\ud83d\\ude00\\t\\u0001\",\"u\":\"\xC3\xA9\xE6\x97\xA5\xE6\x97\xA5"
        "\xE6\x97\xA5\xE6\x97\xA5\xE6\x97\xA5\xE6\x97\xA5\xE6\x97\xA5\xE6\x97\xA5\xE6\x97\xA5x\","
        "\"a\":[1,{\"k\":\"\\u0041\"}],\"t\":true}";
    const std::string doc = "[" + record + ",\n" + record + ",\n" + record + "\n]";
    tamsel_runtime *rt = roomy_runtime();
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), TAMSEL_STATUS_OK);
    const std::string want = compact(rt, doc);
    const std::string item = compact(rt, record) + "\n";
    for (size_t first = 1; first <= doc.size(); ++first) {
        for (size_t piece : {size_t{1}, size_t{64}}) {
            const result r = compact_split(rt, doc, first, piece);
            ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << first << "/" << piece << r.error.message;
            ASSERT_EQ(r.out, want) << first << "/" << piece;
        }
        const result r = items_split(rt, doc, first, 64);
        ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << first << ": " << r.error.message;
        ASSERT_EQ(r.out, item + item + item) << first;
    }
    for (size_t i = 0; i < doc.size(); ++i) {
        for (char bad : {'x', '\n', '"', '\xff'}) {
            std::string json = doc;
            json[i] = bad;
            expect_visitors_result(rt, json, {7, json.size() / 2 + 1}, 64,
                                   std::to_string(i) + ": " + json);
        }
        // A line feed between any two bytes, after a key's `:` too: where it is whitespace
        // the copy is unchanged.
        const std::string json = doc.substr(0, i) + "\n" + doc.substr(i);
        expect_visitors_result(rt, json, {7, json.size() / 2 + 1}, 64,
                               "line feed at " + std::to_string(i) + ": " + json);
        const result r = compact_buffer(rt, json);
        if (r.status == TAMSEL_STATUS_OK) {
            ASSERT_EQ(r.out, want) << json;
        }
    }
    // A value missing behind a key's `:` and a line feed is no member start.
    for (const char *bad : {"[{\"a\":\n\"b\":1,\"c\":[2,3]}]", "{\"a\":\n\"b\":\"\",\"c\":true}"})
        expect_visitors_result(rt, bad, {3}, 64, bad);
    tamsel_free(rt);
}

// The library's buffer reader is read where its bytes lie: the same results, and the reader left
// where copying reads leave it, as through any other reader.
TEST(CompactCopy, BufferReaderInPlaceActsAsCopiedReads) {
    tamsel_runtime *rt = roomy_runtime();
    const tamsel_reader copied = [](void *u, void *b, size_t n) {
        return tamsel_buffer_reader_read(u, b, n);
    };
    std::string big = "[";
    for (int i = 0; i < 20000; ++i)
        big += std::string(i ? ", " : "") + every_form;
    big += "]";
    const std::string docs[] = {big, big + " x", big.substr(0, big.size() - 1), "[1, 2]\n"};
    for (const std::string &json : docs) {
        result got[2];
        tamsel_buffer_reader readers[2];
        for (int i = 0; i < 2; ++i) {
            tamsel_buffer_reader_init(&readers[i], json.data(), json.size());
            capture c;
            got[i].status =
                tamsel_compact_value_reader(rt, i ? copied : tamsel_buffer_reader_read, &readers[i],
                                            capture::sink, &c, 0, &got[i].error);
            got[i].out = c.out;
        }
        EXPECT_EQ(got[0].status, got[1].status) << json.size();
        EXPECT_EQ(got[0].out, got[1].out) << json.size();
        expect_same_error(got[1].error, got[0].error, std::to_string(json.size()));
        EXPECT_EQ(readers[0].pos, readers[1].pos) << json.size();
        // The walker's door, through the cursor's own window.
        const tamsel_value_visitor none = tamsel_default_value_visitor();
        tamsel_error e[2] = {};
        for (int i = 0; i < 2; ++i) {
            tamsel_buffer_reader_init(&readers[i], json.data(), json.size());
            (void)tamsel_visit_value_reader(rt, i ? copied : tamsel_buffer_reader_read, &readers[i],
                                            &none, nullptr, &e[i]);
        }
        expect_same_error(e[1], e[0], std::to_string(json.size()) + " (visit)");
        EXPECT_EQ(readers[0].pos, readers[1].pos) << json.size();
    }
    tamsel_free(rt);
}

TEST(CompactItems, DeepItemsSelectorsAndPathErrors) {
    tamsel_config cfg = tamsel_default_config();
    cfg.value_max_depth = 1000;
    tamsel_runtime *rt = tamsel_new(&cfg, nullptr);
    // A 1,000-deep item: counted from its own root, so it fits a limit of 1,000.
    const std::string deep = std::string(1000, '[') + std::string(1000, ']');
    result r = items_buffer(rt, "[" + deep + ",0]");
    ASSERT_EQ(r.status, TAMSEL_STATUS_OK) << r.error.message;
    EXPECT_EQ(r.out, deep + "\n0\n");
    r = items_buffer(rt, "[[" + deep + "]]");
    EXPECT_EQ(r.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(r.error.message, "JSON value nesting exceeds maximum depth");

    const std::string doc = "{\"a\": 1, \"b\": {\"x.y\": [{\"c\": [1, 2]}, [3, [4, 5]]]}}";
    EXPECT_EQ(items_buffer(rt, doc, "b.x\\.y.1").out, "3\n[4,5]\n");
    EXPECT_EQ(items_buffer(rt, doc, "b.x\\.y.0.c").out, "1\n2\n");
    r = items_buffer(rt, doc, "b.z");
    EXPECT_EQ(r.status, TAMSEL_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(r.error.message, "selected array field was not found: no member \"z\" in \"b\"");
    r = items_buffer(rt, doc, "a.q");
    EXPECT_EQ(r.status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(r.error.message, "array path requires an object at \"a\"");
    r = items_buffer(rt, doc, "b");
    EXPECT_EQ(r.status, TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(r.error.message, "selected JSON value is not an array");
    r = items_buffer(rt, "[1] 2");
    EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(r.error.message, "unexpected data after root array");
    r = items_buffer(rt, "[1, 2, x]");
    EXPECT_EQ(r.status, TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(r.out, "1\n2\n");

    // Argument faults.
    capture c;
    tamsel_error e{};
    EXPECT_EQ(tamsel_compact_value_buffer(rt, "1", 1, capture::sink, &c, 2, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "unknown compact flags");
    EXPECT_EQ(tamsel_compact_items_buffer(rt, nullptr, "[]", 2, nullptr, &c, 0, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "buffer and sink are required");
    EXPECT_EQ(tamsel_compact_items_buffer(rt, "a.", "[]", 2, capture::sink, &c, 0, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "array stream selector contains empty segment");
    EXPECT_EQ(tamsel_validate_value_fd(rt, -1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_validate_value_buffer(nullptr, "1", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    tamsel_free(rt);
}

namespace {

// The duplicate check hears the keys of packed text taken many tokens a step as it hears them
// read a byte at a time: a key repeated at any member, in a skipped value or in an item, of a
// document made of `record`, is reported with the same status, message and position (just
// behind the key that repeats it), after the same items, whole and in 64-byte reads.
void expect_repeated_keys_behind_the_key(const std::string &record) {
    const std::string doc = "{\"pre\":" + record + ",\"items\":[" + record + "," + record +
                            "],\"post\":" + record + "}";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const auto read = [rt](const std::string &json, size_t first, size_t piece) {
        result r{};
        capture c;
        chunks in{json, first, piece};
        r.status = tamsel_compact_items_reader(rt, "items", chunks::read, &in, capture::sink, &c, 0,
                                               &r.error);
        r.out = c.out;
        return r;
    };
    size_t repeated = 0;
    tamsel_test::each_key_renamed(doc, [&](size_t i, char name, const std::string &json) {
        const std::string what = std::to_string(i) + ": " + json;
        const result bytewise = read(json, 1, 1);
        if (bytewise.status == TAMSEL_STATUS_DUPLICATE_FIELD) {
            ++repeated;
            const size_t at = static_cast<size_t>(bytewise.error.offset);
            EXPECT_TRUE(at > i && json.compare(at - 3, 4, std::string("\"") + name + "\":") == 0)
                << what;
        }
        for (const result &r : {items_buffer(rt, json, "items"), read(json, 9, 64),
                                read(json, json.size() / 2 + 1, 64)}) {
            ASSERT_EQ(r.status, bytewise.status) << what;
            // The whole items: how much of the failing one went over depends on the reads.
            const auto lines = [](const std::string &out) {
                return out.substr(0, out.rfind('\n') + 1);
            };
            EXPECT_TRUE(lines(r.out) == lines(bytewise.out)) << what;
            if (r.status != TAMSEL_STATUS_OK) expect_same_error(bytewise.error, r.error, what);
        }
    });
    EXPECT_GT(repeated, 40u);
    tamsel_free(rt);
}

} // namespace

TEST(CompactItems, RepeatedKeysInPackedTextAreReportedBehindTheKey) {
    expect_repeated_keys_behind_the_key(tamsel_test::packed_record);
}

// The same with every member on a line of its own (`,\n"k":`): the line feeds the lane drops
// are counted before any key is heard.
TEST(CompactItems, RepeatedKeysOneMemberToALineAreReportedBehindTheKey) {
    std::string record;
    for (char c : tamsel_test::packed_record)
        record += c == ',' ? std::string(",\n") : std::string(1, c);
    expect_repeated_keys_behind_the_key(record);
}

TEST(CompactCopy, AllocationFailuresAreCleanAtEveryIndex) {
    // Deeper than the inline stack, a number longer than the inline buffer cut by the reads,
    // keys for the duplicate check.
    const std::string deep = std::string(600, '[') + std::string(600, ']');
    const std::string json = "{\"a\": [" + deep + ", {\"k\": 1, \"l\": " + std::string(300, '7') +
                             "}, \"x\\/\"], \"b\": 2}";
    size_t failing =
        tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
            a.pause();
            tamsel_config cfg = tamsel_default_config();
            cfg.value_max_depth = 1000;
            cfg.value_max_number_bytes = 1000;
            cfg.allocator = a.get();
            tamsel_runtime *rt = tamsel_new(&cfg, nullptr);
            a.resume();
            capture c;
            tamsel_error e{};
            chunks in{json, 5, 7};
            tamsel_status st =
                tamsel_compact_value_reader(rt, chunks::read, &in, capture::sink, &c, 0, &e);
            if (st == TAMSEL_STATUS_OK) {
                chunks again{json, 5, 7};
                st = tamsel_validate_value_reader(rt, chunks::read, &again, &e);
            }
            if (st == TAMSEL_STATUS_OK) {
                chunks items{json, 5, 7};
                st = tamsel_compact_items_reader(rt, "a", chunks::read, &items, capture::sink, &c,
                                                 0, &e);
            }
            a.pause();
            tamsel_free(rt);
            a.resume();
            return st;
        });
    EXPECT_GT(failing, 2u);
}

// The hashed key sets and the duplicate-key tracker: membership whatever the number and shape
// of keys, the budget, allocation failure, and the parser reporting objects and keys to it.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"

#include <string>

using namespace tamsel::parse;
using tamsel_test::counting_allocator;

TEST(KeySet, ManyKeysStayDistinctAndDuplicatesAreFound) {
    const tamsel_allocator alloc = tamsel_default_allocator();
    key_set s;
    s.bind(alloc, {});
    tamsel_error e{};
    bool added = false;
    // Keys of every length, including ones that differ only past 16 bytes, and the empty key.
    std::vector<std::string> keys{""};
    for (int i = 0; i < 20000; ++i)
        keys.push_back(std::string(static_cast<size_t>(i % 37), 'k') + std::to_string(i));
    for (const std::string &k : keys) {
        ASSERT_EQ(s.insert(k.data(), k.size(), &added, &e), TAMSEL_STATUS_OK);
        ASSERT_TRUE(added) << k;
    }
    EXPECT_EQ(s.size(), keys.size());
    for (const std::string &k : keys) {
        ASSERT_EQ(s.insert(k.data(), k.size(), &added, &e), TAMSEL_STATUS_OK);
        ASSERT_FALSE(added) << k;
    }
    s.clear();
    ASSERT_EQ(s.insert("", 0, &added, &e), TAMSEL_STATUS_OK);
    EXPECT_TRUE(added) << "a cleared set is empty";
}

TEST(KeySet, SmallSetsCompareBytesWhereFingerprintsMatch) {
    // Fifteen keys (a set without a table) of 1 to 28 bytes sharing one fingerprint, and keys
    // one byte apart: all are added, whole or in pieces, and each comes back as a duplicate by
    // either road.
    std::vector<std::vector<std::string>> by_print(256);
    for (int i = 0; by_print[7].size() < 15; ++i) {
        const std::string key = std::string(static_cast<size_t>(i % 24), 'x') + std::to_string(i);
        by_print[key_set::fingerprint(reinterpret_cast<const unsigned char *>(key.data()),
                                      key.size())]
            .push_back(key);
    }
    std::vector<std::string> one_byte_apart;
    for (size_t at = 0; at < 15; ++at)
        one_byte_apart.push_back(std::string(16, 'k').replace(at, 1, "K"));
    key_set s;
    s.bind(tamsel_default_allocator(), {});
    tamsel_error e{};
    for (const auto &keys : {by_print[7], one_byte_apart}) {
        for (int pieced = 0; pieced < 2; ++pieced) {
            s.clear();
            auto add = [&](const std::string &k, bool in_pieces) {
                bool added = false;
                if (in_pieces) {
                    s.pending_begin();
                    for (char c : k)
                        EXPECT_EQ(s.pending_append(&c, 1, &e), TAMSEL_STATUS_OK);
                    EXPECT_EQ(s.pending_commit(&added, &e), TAMSEL_STATUS_OK);
                } else {
                    EXPECT_EQ(s.insert(k.data(), k.size(), &added, &e), TAMSEL_STATUS_OK);
                }
                return added;
            };
            for (const std::string &k : keys)
                EXPECT_TRUE(add(k, pieced)) << k;
            for (const std::string &k : keys) {
                EXPECT_FALSE(add(k, !pieced)) << k;
                EXPECT_FALSE(add(k, pieced)) << k;
            }
            EXPECT_EQ(s.size(), keys.size());
        }
    }
}

TEST(KeySet, ChargesItsBudgetAndSurvivesAllocationFailure) {
    uint64_t in_use = 0;
    key_set s;
    s.bind(tamsel_default_allocator(), {256, &in_use});
    tamsel_error e{};
    bool added = false;
    tamsel_status st = TAMSEL_STATUS_OK;
    size_t n = 0;
    for (; st == TAMSEL_STATUS_OK; ++n) {
        const std::string k = "key-" + std::to_string(n);
        st = s.insert(k.data(), k.size(), &added, &e);
    }
    EXPECT_EQ(st, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "parse allocations exceed configured max bytes");
    EXPECT_LE(in_use, 256u);
    EXPECT_EQ(in_use, s.heap_bytes());
    s.release();
    EXPECT_EQ(in_use, 0u);

    size_t runs = tamsel_test::expect_allocation_failures_clean([](counting_allocator &a) {
        key_set k;
        k.bind(a.value(), {});
        tamsel_error err{};
        bool fresh = false;
        for (int i = 0; i < 100; ++i) {
            const std::string key = "a rather long key number " + std::to_string(i);
            tamsel_status status = k.insert(key.data(), key.size(), &fresh, &err);
            if (status != TAMSEL_STATUS_OK) return status;
        }
        return static_cast<tamsel_status>(k.size() == 100 ? 0 : 11);
    });
    EXPECT_GT(runs, 3u);
}

TEST(KeyTracker, TheParserReportsEveryObjectAndKeyOfAnAnyRootValue) {
    key_tracker t;
    t.bind(tamsel_default_allocator());
    auto run = [&](const std::string &text, size_t cut) {
        parser p;
        alignas(8) unsigned char ws[workspace_bytes];
        init_args a;
        a.any_root = true;
        a.keys = &t;
        a.workspace = ws;
        EXPECT_EQ(parser_init(p, a), TAMSEL_STATUS_OK);
        t.set_budget({0, &p.in_use});
        tamsel_status st = parser_feed(p, text.data(), cut, nullptr, false);
        if (st == TAMSEL_STATUS_OK)
            st = parser_feed(p, text.data() + cut, text.size() - cut, nullptr, false);
        if (st == TAMSEL_STATUS_OK) st = parser_finish(p);
        std::string out =
            std::to_string(st) + " " + p.error.message + " @" + std::to_string(p.error.offset);
        parser_destroy(p);
        t.reset();
        return out;
    };
    const std::string escaped =
        "{\"a\":{\"a\":1,\"b\":[{\"a\":1},{\"a\":2}]},\"b\":{},\"c\\u0041\":1,\"cA\":2}";
    const std::string dup = "[{\"x\":1,\"y\":2,\"x\":3}]";
    for (size_t cut = 0; cut <= escaped.size(); ++cut)
        EXPECT_EQ(run(escaped, cut), "5 duplicate object field @58") << "cut at " << cut;
    for (size_t cut = 0; cut <= dup.size(); ++cut)
        EXPECT_EQ(run(dup, cut), "5 duplicate object field @17") << "cut at " << cut;
    EXPECT_EQ(run("{\"a\":{\"a\":1},\"b\":{\"a\":1}}", 3), "0  @25");
}

TEST(ParserFeed, StopAfterRootLeavesTheByteThatEndsARootNumber) {
    for (const char *text : {"12]", "-0.5e3,", "7 "}) {
        parser p;
        alignas(8) unsigned char ws[workspace_bytes];
        init_args a;
        a.any_root = true;
        a.workspace = ws;
        ASSERT_EQ(parser_init(p, a), TAMSEL_STATUS_OK);
        const std::string t = text;
        size_t used = 0, total = 0;
        for (size_t i = 0; i < t.size() && !parser_complete(p); ++i) {
            // One byte at a time and the rest at once give the same stop.
            ASSERT_EQ(parser_feed(p, t.data() + i, 1, &used, true), TAMSEL_STATUS_OK);
            total += used;
        }
        EXPECT_TRUE(parser_complete(p)) << text;
        EXPECT_EQ(total, t.size() - 1) << text;
        EXPECT_EQ(p.error.offset, t.size() - 1) << text;
        parser_destroy(p);
    }
}

// The defining property of the push parser: the result does not depend on how the input is
// cut into feed calls. Status, message, position and record contents are compared.
#include "parse_support.hpp"

#include <dirent.h>

#include <algorithm>
#include <random>

using namespace parse_test;

namespace {

std::vector<std::string> suite_files() {
    std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing";
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(ParserSplit, EveryConformanceFileAtEveryCutAndOneBytePerCall) {
    auto files = suite_files();
    ASSERT_EQ(files.size(), 318u);
    for (const auto &f : files) {
        const std::string text = slurp(f);
        const outcome whole = feed_pieces(text, {});
        EXPECT_EQ(feed_pieces(text, every(1, text.size())), whole) << f << " one byte per call";
        if (text.size() > 4096) continue;
        for (size_t cut = 0; cut <= text.size(); ++cut)
            ASSERT_EQ(feed_pieces(text, {cut}), whole) << f << " cut at " << cut;
    }
}

TEST(ParserSplit, CorpusDocumentsValidateAlikeAtAnyChunking) {
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json",
                             "github_events.json", "gsoc-2018.json", "mesh.json"}) {
        const std::string text = corpus(name);
        const outcome whole = feed_pieces(text, {});
        ASSERT_EQ(whole.status, TAMSEL_STATUS_OK) << name << ": " << whole.message;
        EXPECT_EQ(whole.offset, text.size());
        for (size_t step : {size_t{7}, size_t{1000}, size_t{4093}})
            EXPECT_EQ(feed_pieces(text, every(step, text.size())), whole)
                << name << " step " << step;
        std::mt19937 rng(42);
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(feed_pieces(text, {rng() % text.size()}), whole) << name;
        if (text.size() < 700000) {
            EXPECT_EQ(feed_pieces(text, every(1, text.size())), whole) << name << " byte by byte";
        }
    }
}

TEST(ParserSplit, TwitterExtractionIsTheSameAtAnyChunking) {
    const std::string text = corpus("twitter.json");
    tw_doc whole_doc;
    const outcome whole = feed_pieces(text, {}, twitter_map(), &whole_doc);
    ASSERT_EQ(whole.status, TAMSEL_STATUS_OK) << whole.message;
    const std::string want = describe(whole_doc);
    EXPECT_EQ(whole_doc.statuses.count, 100u);
    tamsel_cleanup(twitter_map(), &whole_doc);
    std::mt19937 rng(7);
    std::vector<std::vector<size_t>> cuttings = {every(1, text.size()), every(3, text.size()),
                                                 every(4096, text.size())};
    for (int i = 0; i < 30; ++i)
        cuttings.push_back({rng() % text.size()});
    for (const auto &cuts : cuttings) {
        tw_doc d;
        EXPECT_EQ(feed_pieces(text, cuts, twitter_map(), &d), whole);
        EXPECT_EQ(describe(d), want);
        tamsel_cleanup(twitter_map(), &d);
    }
}

TEST(ParserSplit, ErrorsAgreeAtEveryCut) {
    // Each text fails somewhere; the failure must not move with the cut.
    const char *texts[] = {
        "{\"statuses\": [{\"id\": 1, \"text\": \"abc\\u00e9\\ud83d\\ude00\", \"retweet_count\": "
        "1.5}]}",
        "{\"statuses\": [{\"id\": 9223372036854775808}]}",
        "{\"statuses\": [{\"id\": 1, \"id\": 2}]}",
        "{\"statuses\": [{\"user\": {\"screen_name\": \"a\\x\"}}]}",
        "{\"statuses\": [{\"favorited\": tru}]}",
        "{\"statuses\": [{\"text\": \"\\ud800a\\udc00\"}]}",
        "{\"statuses\": [{\"text\": \"abc",
        "{\"statuses\": [1]}",
        "{\"statuses\": [{\"id\": 12 }], \"x\": [1, 2,]}",
        "{\"statuses\": [{\"id\": -0}]}  x",
    };
    for (const char *t : texts) {
        const std::string text = t;
        tw_doc whole_doc;
        const outcome whole = feed_pieces(text, {}, twitter_map(), &whole_doc);
        EXPECT_NE(whole.status, TAMSEL_STATUS_OK) << t;
        const std::string want = describe(whole_doc);
        tamsel_cleanup(twitter_map(), &whole_doc);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            tw_doc d;
            EXPECT_EQ(feed_pieces(text, {cut}, twitter_map(), &d), whole) << t << " cut " << cut;
            EXPECT_EQ(describe(d), want) << t << " cut " << cut;
            tamsel_cleanup(twitter_map(), &d);
        }
    }
}

TEST(ParserSplit, LimitsFailAtTheByteThatCrossesThemAtEveryCut) {
    tamsel_parse_options o = tamsel__default_parse_options();
    o.max_string_bytes = 10;
    const std::string number(5000, '1'), key(5000, 'k');
    const std::string texts[] = {
        "{\"statuses\": [{\"text\": \"0123456789abcdef\"}]}",    // dynamic string maximum
        "{\"statuses\": [{\"text\": \"0123456789\\nabcdef\"}]}", // the same after an escape
        "{\"statuses\": [{\"id\": " + number + "}]}",            // a number beyond the workspace
        "{\"statuses\": [{\"" + key + "\": 1}]}",                // a key beyond the workspace
    };
    const size_t crossing[] = {texts[0].find("abc") + 1, texts[1].find("abc"), 0, 0};
    for (size_t i = 0; i < std::size(texts); ++i) {
        const std::string &text = texts[i];
        tw_doc whole_doc;
        const outcome whole = feed_pieces(text, {}, twitter_map(), &whole_doc, &o);
        tamsel_cleanup(twitter_map(), &whole_doc);
        EXPECT_NE(whole.status, TAMSEL_STATUS_OK) << i;
        if (crossing[i]) {
            EXPECT_EQ(whole.offset, crossing[i]) << i << ": " << whole;
        }
        const size_t step = text.size() > 100 ? 97 : 1;
        for (size_t cut = 0; cut <= text.size(); cut += step) {
            tw_doc d;
            EXPECT_EQ(feed_pieces(text, {cut}, twitter_map(), &d, &o), whole)
                << i << " cut " << cut;
            tamsel_cleanup(twitter_map(), &d);
        }
        tw_doc d;
        EXPECT_EQ(feed_pieces(text, every(1, text.size()), twitter_map(), &d, &o), whole)
            << i << " byte by byte";
        tamsel_cleanup(twitter_map(), &d);
    }
}

// Parsing on several threads at once with one runtime: shared maps (the analysis cache is
// per thread) and the runtime's shared fixed-string scratch, which one parse at a time owns.
#include "parse_support.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace parse_test;

TEST(ParseConcurrency, ThreadsShareOneRuntimeAndOneMap) {
    const std::string text = corpus("github_events.json");
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string twitter = corpus("twitter.json");
    tw_doc reference;
    tamsel_error e;
    ASSERT_EQ(
        tamsel_parse_buffer(rt, twitter_map(), &reference, twitter.data(), twitter.size(), &e), 0u);
    const std::string want = describe(reference);
    tamsel_cleanup(twitter_map(), &reference);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                tw_doc d;
                tamsel_error err;
                if (tamsel_parse_buffer(rt, twitter_map(), &d, twitter.data(), twitter.size(),
                                        &err) ||
                    describe(d) != want)
                    bad++;
                tamsel_cleanup(twitter_map(), &d);
                if (tamsel_validate_buffer(rt, text.data(), text.size(), &err)) bad++;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    tamsel_free(rt);
}

TEST(ParseConcurrency, SharedScratchIsNeverStagedIntoTwiceAtOnce) {
    struct rec {
        char name[32];
    };
    static const tamsel_field f[] = {{TAMSEL_KEY("name"), 0, TAMSEL_FIELD_STRING,
                                      TAMSEL_STORAGE_FIXED, 0, 0, 32, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"rec", sizeof(rec), f, 1, &m, nullptr};
    static char scratch[256];
    tamsel_config c = tamsel_default_config();
    c.init_destination = 0; // fixed strings are staged so the old value survives a failure
    c.fixed_string_scratch = scratch;
    c.fixed_string_scratch_size = sizeof scratch;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            rec r;
            std::snprintf(r.name, sizeof r.name, "old value"); // non-empty: staged
            for (int i = 0; i < 300; ++i) {
                const std::string mine = "thread-" + std::to_string(t) + "-" + std::to_string(i);
                const std::string json = "{\"name\":\"" + mine + "\"}";
                tamsel_error e;
                if (tamsel_parse_buffer(rt, &m, &r, json.data(), json.size(), &e) != 0 ||
                    mine != r.name)
                    bad++;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    tamsel_free(rt);
}

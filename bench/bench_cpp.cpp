// cpp-layer: what tamsel.hpp costs over the C calls it wraps, the same job on the same bytes in
// the same run. twitter.json: the statuses into records, tamsel_parse_buffer with the C maps of
// tamsel_side.cpp (tamsel-c) against tamsel::parse<T> with maps TAMSEL_MAP deduces from C++
// records of the same layout (tamsel-hpp). records-*.json: the items of the root array one at a
// time into a bench_record, tamsel_array_stream_next against a tamsel::items<T> loop. Both sides
// share one runtime, and the C++ records are read as the C ones by the checksum: they must agree.
#include "corpus.hpp"
#include "tamsel_side.hpp"

#include <tamsel.hpp>

#include <cstddef>

namespace bench {

namespace {

constexpr const char *kTamselC = "tamsel-c";
constexpr const char *kTamselHpp = "tamsel-hpp";

// The records of records.h with the layer's member types, each laid out as its C twin.
struct hpp_tweet_user {
    tamsel::string screen_name;
};
TAMSEL_MAP(hpp_tweet_user, screen_name);
struct hpp_tweet {
    int64_t id;
    tamsel::string text;
    hpp_tweet_user user;
    int64_t retweet_count;
    tamsel::flag favorited;
};
TAMSEL_MAP(hpp_tweet, id, text, user, retweet_count, favorited);
struct hpp_tweets {
    tamsel::array<hpp_tweet> statuses;
};
TAMSEL_MAP(hpp_tweets, statuses);

struct hpp_location {
    tamsel::string city;
    double lat;
};
TAMSEL_MAP(hpp_location, city, lat);
struct hpp_record {
    int64_t id;
    tamsel::string name, email;
    tamsel::flag active;
    double score;
    hpp_location location;
};
TAMSEL_MAP(hpp_record, id, name, email, active, score, location);

static_assert(sizeof(hpp_tweet) == sizeof(bench_tweet) &&
              offsetof(hpp_tweet, favorited) == offsetof(bench_tweet, favorited) &&
              sizeof(hpp_tweets) == sizeof(tamsel_tweets));
static_assert(sizeof(hpp_record) == sizeof(bench_record) &&
              offsetof(hpp_record, location) == offsetof(bench_record, location) &&
              sizeof(hpp_location) == sizeof(bench_location));

const bench_record &as_c(const hpp_record &r) {
    return *reinterpret_cast<const bench_record *>(&r);
}

// The runtime of both sides: the configuration of tamsel_bench_runtime().
tamsel::runtime &shared_runtime() {
    static tamsel::runtime rt([] {
        tamsel_config c = tamsel_default_config();
        c.max_parse_bytes = 0;
        return c;
    }());
    return rt;
}

outcome tweets_c(const input &in, bool check) {
    tamsel_tweets parsed{};
    tamsel_error error;
    const bool ok =
        tamsel_parse_buffer(shared_runtime().get(), &kTamselTweetsMap, &parsed, in.bytes.data(),
                            in.bytes.size(), &error) == TAMSEL_STATUS_OK;
    if (!ok) tamsel_report("tamsel_parse_buffer", error);
    const uint64_t sum = check ? checksum(tweets_view(parsed)) : parsed.statuses.count;
    tamsel_cleanup(&kTamselTweetsMap, &parsed);
    return {sum, in.bytes.size(), ok};
}

outcome tweets_hpp(const input &in, bool check) {
    auto r = tamsel::try_parse<hpp_tweets>(shared_runtime(), {in.bytes.data(), in.bytes.size()});
    if (!r) {
        tamsel_report("tamsel::try_parse", r.error());
        return {0, in.bytes.size(), false};
    }
    const tamsel::array<hpp_tweet> &s = (*r)->statuses;
    const bench_tweets view = {reinterpret_cast<bench_tweet *>(const_cast<hpp_tweet *>(s.data())),
                               s.size(), s.size()};
    return {check ? checksum(view) : s.size(), in.bytes.size(), true};
}

outcome items_c(const input &in, bool check) {
    tamsel_buffer_reader reader;
    tamsel_buffer_reader_init(&reader, in.bytes.data(), in.bytes.size());
    tamsel_error error;
    tamsel_array_stream *s = tamsel_array_stream_open_selector_reader(
        shared_runtime().get(), nullptr, tamsel_buffer_reader_read, &reader, &error);
    if (!s) {
        tamsel_report("tamsel_array_stream_open_selector_reader", error);
        return {0, in.bytes.size(), false};
    }
    bench_record record{};
    fold f;
    uint64_t n = 0;
    tamsel_stream_result r;
    while ((r = tamsel_array_stream_next(s, &kTamselRecordMap, &record, &error)) ==
           TAMSEL_STREAM_ITEM) {
        if (check) add(f, record);
        ++n;
    }
    tamsel_cleanup(&kTamselRecordMap, &record);
    tamsel_array_stream_close(s);
    if (r != TAMSEL_STREAM_END) tamsel_report("tamsel_array_stream_next", error);
    f.u64(n);
    return {check ? f.value() : n, in.bytes.size(), r == TAMSEL_STREAM_END};
}

outcome items_hpp(const input &in, bool check) {
    fold f;
    uint64_t n = 0;
    auto items =
        tamsel::try_items<hpp_record>(shared_runtime(), {in.bytes.data(), in.bytes.size()});
    for (const hpp_record &record : items) {
        if (check) add(f, as_c(record));
        ++n;
    }
    if (items.failed()) tamsel_report("tamsel::try_items", items.error());
    f.u64(n);
    return {check ? f.value() : n, in.bytes.size(), !items.failed()};
}

} // namespace

void add_cpp_layer_groups(registry &r, const inputs &in) {
    if (const input *twitter = in.find("twitter.json")) {
        group g{"cpp-layer", twitter->name, {}, false};
        g.sides.push_back({kTamselC, [twitter](bool check) { return tweets_c(*twitter, check); }});
        g.sides.push_back(
            {kTamselHpp, [twitter](bool check) { return tweets_hpp(*twitter, check); }});
        r.add(std::move(g));
    }
    for (const input &array : in.arrays) {
        const input *a = &array;
        group g{"cpp-layer", a->name, {}, a->bytes.size() >= 64 * kMiB};
        g.sides.push_back({kTamselC, [a](bool check) { return items_c(*a, check); }});
        g.sides.push_back({kTamselHpp, [a](bool check) { return items_hpp(*a, check); }});
        r.add(std::move(g));
    }
}

} // namespace bench

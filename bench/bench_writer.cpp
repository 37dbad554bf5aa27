// writer: the twitter statuses written token by token into memory, the writer against
// RapidJSON Writer<StringBuffer> and yajl_gen making the same calls. MB/s counts the output.
// The verification run reads each output back (the records it was written from) and holds
// the writer's bytes to RapidJSON's: both are compact, so they must be identical.
//
// tamsel's sink appends to a doubling block, as StringBuffer does: the writer hands each
// operation's text to its sink in one call.
#include "corpus.hpp"
#include "extractors.hpp"
#include "tamsel_side.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <yajl/yajl_gen.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace bench {

namespace {

struct tweets_source {
    bench_tweets set{};
    uint64_t sum = 0;
    ~tweets_source() { release(set); }
};

bool read_back(std::string_view text, bench_tweets &set) {
    tweet_builder builder(set);
    rapidjson_sax<tweet_builder> handler(builder);
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text.data(), text.size());
    return !reader.Parse<rapidjson::kParseFullPrecisionFlag>(stream, handler).IsError();
}

outcome checked(std::string_view text, const tweets_source &src, bool check) {
    if (!check) return {0, text.size(), true};
    bench_tweets set{};
    const uint64_t sum = read_back(text, set) ? checksum(set) : 0;
    release(set);
    return {sum, text.size(), sum == src.sum};
}

std::string rapidjson_text(const tweets_source &src) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("statuses");
    w.StartArray();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_tweet &t = src.set.statuses[i];
        w.StartObject();
        w.Key("id");
        w.Int64(t.id);
        w.Key("text");
        w.String(t.text, static_cast<rapidjson::SizeType>(std::strlen(t.text)));
        w.Key("user");
        w.StartObject();
        w.Key("screen_name");
        w.String(t.user.screen_name,
                 static_cast<rapidjson::SizeType>(std::strlen(t.user.screen_name)));
        w.EndObject();
        w.Key("retweet_count");
        w.Int64(t.retweet_count);
        w.Key("favorited");
        w.Bool(t.favorited);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

outcome tweets_rapidjson(const tweets_source &src, bool check) {
    const std::string text = rapidjson_text(src);
    return checked(text, src, check);
}

// A block that doubles, like StringBuffer.
struct growing {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    ~growing() { std::free(data); }
    static tamsel_status sink(void *user, const void *bytes, size_t n, tamsel_error *) {
        auto *g = static_cast<growing *>(user);
        if (g->len + n > g->cap) {
            size_t cap = g->cap ? g->cap : 256;
            while (cap < g->len + n)
                cap *= 2;
            char *p = static_cast<char *>(std::realloc(g->data, cap));
            if (!p) return TAMSEL_STATUS_ALLOCATION_FAILED;
            g->data = p;
            g->cap = cap;
        }
        std::memcpy(g->data + g->len, bytes, n);
        g->len += n;
        return TAMSEL_STATUS_OK;
    }
};

outcome tweets_tamsel(const tweets_source &src, bool check) {
    growing out;
    tamsel_writer w;
    tamsel_error e;
    if (tamsel_writer_init_sink(tamsel_bench_runtime(), &w, growing::sink, &out, &e)) {
        tamsel_report("tamsel_writer_init_sink", e);
        return {0, 0, false};
    }
    tamsel_writer *p = &w;
    tamsel_writer_begin_object(p, nullptr);
    tamsel_writer_key(p, "statuses", 8, nullptr);
    tamsel_writer_begin_array(p, nullptr);
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_tweet &t = src.set.statuses[i];
        tamsel_writer_begin_object(p, nullptr);
        tamsel_writer_key(p, "id", 2, nullptr);
        tamsel_writer_i64(p, t.id, nullptr);
        tamsel_writer_key(p, "text", 4, nullptr);
        tamsel_writer_string(p, t.text, std::strlen(t.text), nullptr);
        tamsel_writer_key(p, "user", 4, nullptr);
        tamsel_writer_begin_object(p, nullptr);
        tamsel_writer_key(p, "screen_name", 11, nullptr);
        tamsel_writer_string(p, t.user.screen_name, std::strlen(t.user.screen_name), nullptr);
        tamsel_writer_end_object(p, nullptr);
        tamsel_writer_key(p, "retweet_count", 13, nullptr);
        tamsel_writer_i64(p, t.retweet_count, nullptr);
        tamsel_writer_key(p, "favorited", 9, nullptr);
        tamsel_writer_bool(p, t.favorited, nullptr);
        tamsel_writer_end_object(p, nullptr);
    }
    tamsel_writer_end_array(p, nullptr);
    tamsel_writer_end_object(p, nullptr);
    const tamsel_status st = tamsel_writer_finish(p, &e);
    if (st != TAMSEL_STATUS_OK) tamsel_report("tamsel_writer_finish", e);
    tamsel_writer_cleanup(p);
    const std::string_view text(out.data ? out.data : "", out.len);
    outcome o = checked(text, src, check);
    if (check && text != rapidjson_text(src)) o.ok = false; // byte-identical to RapidJSON
    if (st != TAMSEL_STATUS_OK) o.ok = false;
    return o;
}

void gen_string(yajl_gen g, const char *s) {
    yajl_gen_string(g, reinterpret_cast<const unsigned char *>(s), std::strlen(s));
}

outcome tweets_yajl(const tweets_source &src, bool check) {
    yajl_gen g = yajl_gen_alloc(nullptr);
    yajl_gen_map_open(g);
    gen_string(g, "statuses");
    yajl_gen_array_open(g);
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_tweet &t = src.set.statuses[i];
        yajl_gen_map_open(g);
        gen_string(g, "id");
        yajl_gen_integer(g, t.id);
        gen_string(g, "text");
        gen_string(g, t.text);
        gen_string(g, "user");
        yajl_gen_map_open(g);
        gen_string(g, "screen_name");
        gen_string(g, t.user.screen_name);
        yajl_gen_map_close(g);
        gen_string(g, "retweet_count");
        yajl_gen_integer(g, t.retweet_count);
        gen_string(g, "favorited");
        yajl_gen_bool(g, t.favorited);
        yajl_gen_map_close(g);
    }
    yajl_gen_array_close(g);
    yajl_gen_map_close(g);
    const unsigned char *buf;
    size_t len;
    yajl_gen_get_buf(g, &buf, &len);
    outcome o = checked({reinterpret_cast<const char *>(buf), len}, src, check);
    yajl_gen_free(g);
    return o;
}

side make_side(const char *name, std::shared_ptr<tweets_source> src,
               outcome (*f)(const tweets_source &, bool)) {
    return {name, [src, f](bool check) { return f(*src, check); }};
}

} // namespace

void add_writer_groups(registry &r, const inputs &in) {
    const input *twitter = in.find("twitter.json");
    if (!twitter) return;
    auto src = std::make_shared<tweets_source>();
    if (!read_back(twitter->bytes.view(), src->set))
        throw std::runtime_error("cannot read " + twitter->name);
    src->sum = checksum(src->set);
    group g{"writer", twitter->name, {}, false};
    g.sides.push_back(make_side(kTamsel, src, tweets_tamsel));
    g.sides.push_back(make_side(kRapidjson, src, tweets_rapidjson));
    g.sides.push_back(make_side(kYajl, src, tweets_yajl));
    r.add(std::move(g));
}

} // namespace bench

// serialize: write a record set as compact JSON text into memory. The record sets are the
// statuses extracted from twitter.json and the records of records-1m.json; MB/s counts the
// output. Each side's output is parsed back (RapidJSON, full precision) and must give the
// records it was written from.
//
// Shapes written:
//   twitter.json:    {"statuses":[{"id":..,"text":"..","user":{"screen_name":".."},
//                     "retweet_count":..,"favorited":..},...]}
//   records-1m.json: [{"id":..,"name":"..","email":"..","active":..,"score":..,
//                     "location":{"city":"..","lat":..}},...]
//
// Sides: RapidJSON Writer<StringBuffer> (the baseline), yajl_gen, jansson (build its tree from
// the records, json_dumps) and cJSON (the same with cJSON_PrintUnformatted; generated records
// only, since cJSON holds numbers as doubles and tweet ids are above 2^53). yyjson, when it is
// built in: a mutable document built from the records (strings referenced, not copied, as
// yyjson_mut_str allows), written with yyjson_mut_write; serialize-pretty too, with
// YYJSON_WRITE_PRETTY_TWO_SPACES.
//
// tamsel: tamsel_serialize_owned of the statuses viewed as a tamsel_tweets record
// (kTamselTweetsMap, nothing copied) into an owned buffer. serialize-pretty: the same statuses
// with pretty output, tamsel's runtime asking for it, RapidJSON's PrettyWriter indenting by two.
// records-1m.json is written as a root array, which a map (one object) does not describe: that row
// needs the writer.
#include "corpus.hpp"
#include "extractors.hpp"
#include "tamsel_side.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <yajl/yajl_gen.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

#if TAMSEL_BENCH_YYJSON
#include <yyjson.h>
#endif

namespace bench {

namespace {

constexpr unsigned kReadBack = rapidjson::kParseFullPrecisionFlag;

template <typename Builder> bool read_back(std::string_view text, Builder &builder) {
    rapidjson_sax<Builder> handler(builder);
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text.data(), text.size());
    return !reader.Parse<kReadBack>(stream, handler).IsError();
}

uint64_t read_back_checksum(std::string_view text, const bench_tweets &) {
    bench_tweets set{};
    tweet_builder builder(set);
    uint64_t sum = read_back(text, builder) ? checksum(set) : 0;
    release(set);
    return sum;
}

uint64_t read_back_checksum(std::string_view text, const bench_records &) {
    bench_records set{};
    record_collector collect(set);
    record_builder builder(collect, 1);
    uint64_t sum = read_back(text, builder) ? checksum(set) : 0;
    release(set);
    return sum;
}

// The record set a group writes, and its checksum.
template <typename Set> struct source {
    Set set{};
    uint64_t sum = 0;
    ~source() { release(set); }
};

std::shared_ptr<source<bench_tweets>> load_tweets(const input &in) {
    auto src = std::make_shared<source<bench_tweets>>();
    tweet_builder builder(src->set);
    if (!read_back(in.bytes.view(), builder)) throw std::runtime_error("cannot read " + in.name);
    src->sum = checksum(src->set);
    return src;
}

std::shared_ptr<source<bench_records>> load_records(const input &in) {
    auto src = std::make_shared<source<bench_records>>();
    record_collector collect(src->set);
    record_builder builder(collect, 1);
    if (!read_back(in.bytes.view(), builder)) throw std::runtime_error("cannot read " + in.name);
    src->sum = checksum(src->set);
    return src;
}

// With `check`, the checksum of the output read back; the side fails if it is not the checksum
// of the records written.
template <typename Set> outcome written(std::string_view text, const source<Set> &src, bool check) {
    if (!check) return {0, text.size(), true};
    uint64_t sum = read_back_checksum(text, src.set);
    return {sum, text.size(), sum == src.sum};
}

// ---- tamsel -------------------------------------------------------------------------------

outcome tweets_tamsel(const source<bench_tweets> &src, bool check) {
    const tamsel_tweets root = tweets_record(src.set);
    tamsel_owned_buffer out = tamsel_default_owned_buffer();
    tamsel_error error;
    tamsel_status st =
        tamsel_serialize_owned(tamsel_bench_runtime(), &kTamselTweetsMap, &root, &out, &error);
    if (st != TAMSEL_STATUS_OK) tamsel_report("tamsel_serialize_owned", error);
    outcome result = written(std::string_view(out.data ? out.data : "", out.len), src, check);
    if (st != TAMSEL_STATUS_OK) result.ok = false;
    tamsel_owned_buffer_free(&out);
    return result;
}

// The same with pretty output: a runtime of its own whose write options ask for it.
tamsel_runtime *pretty_runtime() {
    static tamsel_runtime *const runtime = [] {
        tamsel_config config = tamsel_default_config();
        config.max_parse_bytes = 0;
        config.pretty = 1;
        return tamsel_new_or_throw(config);
    }();
    return runtime;
}

outcome tweets_tamsel_pretty(const source<bench_tweets> &src, bool check) {
    const tamsel_tweets root = tweets_record(src.set);
    tamsel_owned_buffer out = tamsel_default_owned_buffer();
    tamsel_error error;
    tamsel_status st =
        tamsel_serialize_owned(pretty_runtime(), &kTamselTweetsMap, &root, &out, &error);
    if (st != TAMSEL_STATUS_OK) tamsel_report("tamsel_serialize_owned (pretty)", error);
    outcome result = written(std::string_view(out.data ? out.data : "", out.len), src, check);
    if (st != TAMSEL_STATUS_OK) result.ok = false;
    tamsel_owned_buffer_free(&out);
    return result;
}

// ---- RapidJSON ------------------------------------------------------------------------------

using rapid_writer = rapidjson::Writer<rapidjson::StringBuffer>;
using rapid_pretty_writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

template <typename W> void write_string(W &w, const char *s) {
    w.String(s, static_cast<rapidjson::SizeType>(std::strlen(s)));
}

template <typename W>
outcome write_tweets(W &w, rapidjson::StringBuffer &buffer, const source<bench_tweets> &src,
                     bool check) {
    w.StartObject();
    w.Key("statuses");
    w.StartArray();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_tweet &t = src.set.statuses[i];
        w.StartObject();
        w.Key("id");
        w.Int64(t.id);
        w.Key("text");
        write_string(w, t.text);
        w.Key("user");
        w.StartObject();
        w.Key("screen_name");
        write_string(w, t.user.screen_name);
        w.EndObject();
        w.Key("retweet_count");
        w.Int64(t.retweet_count);
        w.Key("favorited");
        w.Bool(t.favorited);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return written({buffer.GetString(), buffer.GetSize()}, src, check);
}

outcome tweets_rapidjson(const source<bench_tweets> &src, bool check) {
    rapidjson::StringBuffer buffer;
    rapid_writer w(buffer);
    return write_tweets(w, buffer, src, check);
}

// Two-space indentation, as tamsel's pretty layout.
outcome tweets_rapidjson_pretty(const source<bench_tweets> &src, bool check) {
    rapidjson::StringBuffer buffer;
    rapid_pretty_writer w(buffer);
    w.SetIndent(' ', 2);
    return write_tweets(w, buffer, src, check);
}

outcome records_rapidjson(const source<bench_records> &src, bool check) {
    rapidjson::StringBuffer buffer;
    rapid_writer w(buffer);
    w.StartArray();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_record &r = src.set.items[i];
        w.StartObject();
        w.Key("id");
        w.Int64(r.id);
        w.Key("name");
        write_string(w, r.name);
        w.Key("email");
        write_string(w, r.email);
        w.Key("active");
        w.Bool(r.active);
        w.Key("score");
        w.Double(r.score);
        w.Key("location");
        w.StartObject();
        w.Key("city");
        write_string(w, r.location.city);
        w.Key("lat");
        w.Double(r.location.lat);
        w.EndObject();
        w.EndObject();
    }
    w.EndArray();
    return written({buffer.GetString(), buffer.GetSize()}, src, check);
}

// ---- yajl_gen -------------------------------------------------------------------------------

void gen_key(yajl_gen g, std::string_view key) {
    yajl_gen_string(g, reinterpret_cast<const unsigned char *>(key.data()), key.size());
}

void gen_string(yajl_gen g, const char *s) {
    yajl_gen_string(g, reinterpret_cast<const unsigned char *>(s), std::strlen(s));
}

template <typename Set, typename Body>
outcome with_yajl_gen(const source<Set> &src, bool check, Body body) {
    yajl_gen g = yajl_gen_alloc(nullptr);
    body(g);
    const unsigned char *buf;
    size_t len;
    yajl_gen_get_buf(g, &buf, &len);
    outcome o = written({reinterpret_cast<const char *>(buf), len}, src, check);
    yajl_gen_free(g);
    return o;
}

outcome tweets_yajl(const source<bench_tweets> &src, bool check) {
    return with_yajl_gen(src, check, [&](yajl_gen g) {
        yajl_gen_map_open(g);
        gen_key(g, "statuses");
        yajl_gen_array_open(g);
        for (size_t i = 0; i < src.set.count; ++i) {
            const bench_tweet &t = src.set.statuses[i];
            yajl_gen_map_open(g);
            gen_key(g, "id");
            yajl_gen_integer(g, t.id);
            gen_key(g, "text");
            gen_string(g, t.text);
            gen_key(g, "user");
            yajl_gen_map_open(g);
            gen_key(g, "screen_name");
            gen_string(g, t.user.screen_name);
            yajl_gen_map_close(g);
            gen_key(g, "retweet_count");
            yajl_gen_integer(g, t.retweet_count);
            gen_key(g, "favorited");
            yajl_gen_bool(g, t.favorited);
            yajl_gen_map_close(g);
        }
        yajl_gen_array_close(g);
        yajl_gen_map_close(g);
    });
}

outcome records_yajl(const source<bench_records> &src, bool check) {
    return with_yajl_gen(src, check, [&](yajl_gen g) {
        yajl_gen_array_open(g);
        for (size_t i = 0; i < src.set.count; ++i) {
            const bench_record &r = src.set.items[i];
            yajl_gen_map_open(g);
            gen_key(g, "id");
            yajl_gen_integer(g, r.id);
            gen_key(g, "name");
            gen_string(g, r.name);
            gen_key(g, "email");
            gen_string(g, r.email);
            gen_key(g, "active");
            yajl_gen_bool(g, r.active);
            gen_key(g, "score");
            yajl_gen_double(g, r.score);
            gen_key(g, "location");
            yajl_gen_map_open(g);
            gen_key(g, "city");
            gen_string(g, r.location.city);
            gen_key(g, "lat");
            yajl_gen_double(g, r.location.lat);
            yajl_gen_map_close(g);
            yajl_gen_map_close(g);
        }
        yajl_gen_array_close(g);
    });
}

// ---- jansson --------------------------------------------------------------------------------

template <typename Set> outcome dump_jansson(json_t *root, const source<Set> &src, bool check) {
    char *text = json_dumps(root, JSON_COMPACT);
    json_decref(root);
    if (!text) return {0, 0, false};
    outcome o = written(text, src, check);
    std::free(text);
    return o;
}

outcome tweets_jansson(const source<bench_tweets> &src, bool check) {
    json_t *statuses = json_array();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_tweet &t = src.set.statuses[i];
        json_t *status = json_object();
        json_t *user = json_object();
        json_object_set_new(status, "id", json_integer(t.id));
        json_object_set_new(status, "text", json_string(t.text));
        json_object_set_new(user, "screen_name", json_string(t.user.screen_name));
        json_object_set_new(status, "user", user);
        json_object_set_new(status, "retweet_count", json_integer(t.retweet_count));
        json_object_set_new(status, "favorited", json_boolean(t.favorited));
        json_array_append_new(statuses, status);
    }
    json_t *root = json_object();
    json_object_set_new(root, "statuses", statuses);
    return dump_jansson(root, src, check);
}

outcome records_jansson(const source<bench_records> &src, bool check) {
    json_t *root = json_array();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_record &r = src.set.items[i];
        json_t *record = json_object();
        json_t *location = json_object();
        json_object_set_new(record, "id", json_integer(r.id));
        json_object_set_new(record, "name", json_string(r.name));
        json_object_set_new(record, "email", json_string(r.email));
        json_object_set_new(record, "active", json_boolean(r.active));
        json_object_set_new(record, "score", json_real(r.score));
        json_object_set_new(location, "city", json_string(r.location.city));
        json_object_set_new(location, "lat", json_real(r.location.lat));
        json_object_set_new(record, "location", location);
        json_array_append_new(root, record);
    }
    return dump_jansson(root, src, check);
}

// ---- cJSON ----------------------------------------------------------------------------------

outcome records_cjson(const source<bench_records> &src, bool check) {
    cJSON *root = cJSON_CreateArray();
    for (size_t i = 0; i < src.set.count; ++i) {
        const bench_record &r = src.set.items[i];
        cJSON *record = cJSON_CreateObject();
        cJSON_AddNumberToObject(record, "id", static_cast<double>(r.id));
        cJSON_AddStringToObject(record, "name", r.name);
        cJSON_AddStringToObject(record, "email", r.email);
        cJSON_AddBoolToObject(record, "active", r.active);
        cJSON_AddNumberToObject(record, "score", r.score);
        cJSON *location = cJSON_AddObjectToObject(record, "location");
        cJSON_AddStringToObject(location, "city", r.location.city);
        cJSON_AddNumberToObject(location, "lat", r.location.lat);
        cJSON_AddItemToArray(root, record);
    }
    char *text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (!text) return {0, 0, false};
    outcome o = written(text, src, check);
    cJSON_free(text);
    return o;
}

// ---- yyjson ---------------------------------------------------------------------------------

#if TAMSEL_BENCH_YYJSON

// Builds the document with `build` (returning its root), writes it with `flags`, frees both.
template <typename Set, typename Build>
outcome with_yyjson(const source<Set> &src, bool check, yyjson_write_flag flags, Build build) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (!doc) return {0, 0, false};
    yyjson_mut_doc_set_root(doc, build(doc));
    size_t len = 0;
    char *text = yyjson_mut_write(doc, flags, &len);
    yyjson_mut_doc_free(doc);
    if (!text) return {0, 0, false};
    outcome o = written({text, len}, src, check);
    std::free(text);
    return o;
}

yyjson_mut_val *yyjson_tweets(yyjson_mut_doc *doc, const bench_tweets &set) {
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_val *statuses = yyjson_mut_obj_add_arr(doc, root, "statuses");
    for (size_t i = 0; i < set.count; ++i) {
        const bench_tweet &t = set.statuses[i];
        yyjson_mut_val *status = yyjson_mut_arr_add_obj(doc, statuses);
        yyjson_mut_obj_add_sint(doc, status, "id", t.id);
        yyjson_mut_obj_add_str(doc, status, "text", t.text);
        yyjson_mut_val *user = yyjson_mut_obj_add_obj(doc, status, "user");
        yyjson_mut_obj_add_str(doc, user, "screen_name", t.user.screen_name);
        yyjson_mut_obj_add_sint(doc, status, "retweet_count", t.retweet_count);
        yyjson_mut_obj_add_bool(doc, status, "favorited", t.favorited);
    }
    return root;
}

outcome tweets_yyjson(const source<bench_tweets> &src, bool check) {
    return with_yyjson(src, check, YYJSON_WRITE_NOFLAG,
                       [&](yyjson_mut_doc *doc) { return yyjson_tweets(doc, src.set); });
}

outcome tweets_yyjson_pretty(const source<bench_tweets> &src, bool check) {
    return with_yyjson(src, check, YYJSON_WRITE_PRETTY_TWO_SPACES,
                       [&](yyjson_mut_doc *doc) { return yyjson_tweets(doc, src.set); });
}

outcome records_yyjson(const source<bench_records> &src, bool check) {
    return with_yyjson(src, check, YYJSON_WRITE_NOFLAG, [&](yyjson_mut_doc *doc) {
        yyjson_mut_val *root = yyjson_mut_arr(doc);
        for (size_t i = 0; i < src.set.count; ++i) {
            const bench_record &r = src.set.items[i];
            yyjson_mut_val *record = yyjson_mut_arr_add_obj(doc, root);
            yyjson_mut_obj_add_sint(doc, record, "id", r.id);
            yyjson_mut_obj_add_str(doc, record, "name", r.name);
            yyjson_mut_obj_add_str(doc, record, "email", r.email);
            yyjson_mut_obj_add_bool(doc, record, "active", r.active);
            yyjson_mut_obj_add_real(doc, record, "score", r.score);
            yyjson_mut_val *location = yyjson_mut_obj_add_obj(doc, record, "location");
            yyjson_mut_obj_add_str(doc, location, "city", r.location.city);
            yyjson_mut_obj_add_real(doc, location, "lat", r.location.lat);
        }
        return root;
    });
}

#endif

template <typename Set>
side make_side(const char *name, std::shared_ptr<source<Set>> src,
               outcome (*f)(const source<Set> &, bool)) {
    return {name, [src, f](bool check) { return f(*src, check); }};
}

} // namespace

void add_serialize_groups(registry &r, const inputs &in) {
    if (const input *twitter = in.find("twitter.json")) {
        auto src = load_tweets(*twitter);
        group g{"serialize", twitter->name, {}, false};
        g.sides.push_back(make_side(kTamsel, src, tweets_tamsel));
        g.sides.push_back(make_side(kRapidjson, src, tweets_rapidjson));
        g.sides.push_back(make_side(kYajl, src, tweets_yajl));
        g.sides.push_back(make_side(kJansson, src, tweets_jansson));
#if TAMSEL_BENCH_YYJSON
        g.sides.push_back(make_side(kYyjson, src, tweets_yyjson));
#endif
        r.add(std::move(g));
        group pretty{"serialize-pretty", twitter->name, {}, false};
        pretty.sides.push_back(make_side(kTamsel, src, tweets_tamsel_pretty));
        pretty.sides.push_back(make_side(kRapidjson, src, tweets_rapidjson_pretty));
#if TAMSEL_BENCH_YYJSON
        pretty.sides.push_back(make_side(kYyjson, src, tweets_yyjson_pretty));
#endif
        r.add(std::move(pretty));
    }
    if (const input *records = in.find(generated_name(shape::array, kMiB))) {
        auto src = load_records(*records);
        group g{"serialize", records->name, {}, false};
        g.sides.push_back(make_side(kRapidjson, src, records_rapidjson));
        g.sides.push_back(make_side(kYajl, src, records_yajl));
        g.sides.push_back(make_side(kJansson, src, records_jansson));
        g.sides.push_back(make_side(kCjson, src, records_cjson));
#if TAMSEL_BENCH_YYJSON
        g.sides.push_back(make_side(kYyjson, src, records_yyjson));
#endif
        r.add(std::move(g));
    }
}

} // namespace bench

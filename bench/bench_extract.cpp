// extract: parse into records. twitter.json gives, for each of statuses[], its id, text,
// user.screen_name, retweet_count and favorited (bench_tweets); the generated arrays give one
// bench_record per element (the scaling rows). Every side fills the same C records, and the
// checksum of the records must agree across sides.
//
// Sides: tamsel (tamsel_parse_buffer with the field maps of tamsel_side.cpp, released with
// tamsel_cleanup), RapidJSON's Reader with a key-path SAX handler (the baseline), simdjson On
// Demand and DOM, yajl callbacks through the same key-path builder, jansson and cJSON (parse
// the tree, copy the members out). cJSON holds numbers as doubles, so tweet ids (above 2^53) do
// not survive it: it takes part on the generated records only.
//
// tamsel maps a root object into a record; the generated arrays have an array at the root,
// which its array streams read one item at a time (bench_array_stream.cpp).
#include "corpus.hpp"
#include "extractors.hpp"
#include "tamsel_side.hpp"

#include <memory>

namespace bench {

namespace {

namespace ondemand = simdjson::ondemand;
using simdjson::dom::element;

simdjson::dom::parser &dom_parser() {
    static simdjson::dom::parser parser;
    return parser;
}
ondemand::parser &ondemand_parser() {
    static ondemand::parser parser;
    return parser;
}

// Runs `parse` into `set`, takes the checksum when asked, and frees the records again, so that
// every iteration allocates and frees what one parse does.
template <typename Set, typename Parse>
outcome fill(Set &set, const input &in, bool check, Parse parse) {
    bool ok = parse(set);
    uint64_t sum = check ? checksum(set) : set.count;
    clear(set);
    return {sum, in.bytes.size(), ok};
}

// ---- twitter.json ---------------------------------------------------------------------------

bool tweets_rapidjson(const input &in, bench_tweets &out) {
    tweet_builder builder(out);
    rapidjson_sax<tweet_builder> handler(builder);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(in.bytes.data());
    return !reader.Parse(stream, handler).IsError();
}

bool tweets_yajl(const input &in, bench_tweets &out) {
    tweet_builder builder(out);
    yajl_handle h = yajl_alloc(&yajl_sax<tweet_builder>::callbacks, nullptr, &builder);
    auto *text = reinterpret_cast<const unsigned char *>(in.bytes.data());
    bool ok = yajl_parse(h, text, in.bytes.size()) == yajl_status_ok &&
              yajl_complete_parse(h) == yajl_status_ok;
    yajl_free(h);
    return ok;
}

bool tweets_ondemand(const input &in, bench_tweets &out) {
    simdjson::padded_string_view view(in.bytes.data(), in.bytes.size(), in.bytes.capacity());
    ondemand::document doc;
    ondemand::array statuses;
    if (ondemand_parser().iterate(view).get(doc) || doc["statuses"].get_array().get(statuses)) {
        return false;
    }
    for (auto item : statuses) {
        ondemand::object status;
        if (item.get_object().get(status)) return false;
        bench_tweet *t = push(out);
        for (auto field : status) {
            ondemand::raw_json_string key;
            if (field.key().get(key)) return false;
            std::string_view s;
            if (key == "id") {
                if (field.value().get_int64().get(t->id)) return false;
            } else if (key == "text") {
                if (field.value().get_string().get(s)) return false;
                set_string(&t->text, s);
            } else if (key == "user") {
                ondemand::object user;
                if (field.value().get_object().get(user) ||
                    user["screen_name"].get_string().get(s)) {
                    return false;
                }
                set_string(&t->user.screen_name, s);
            } else if (key == "retweet_count") {
                if (field.value().get_int64().get(t->retweet_count)) return false;
            } else if (key == "favorited") {
                bool favorited;
                if (field.value().get_bool().get(favorited)) return false;
                t->favorited = favorited;
            }
        }
    }
    return true;
}

bool tweets_dom(const input &in, bench_tweets &out) {
    element root;
    simdjson::dom::array statuses;
    if (dom_parser().parse(in.bytes.data(), in.bytes.size(), false).get(root) ||
        root["statuses"].get_array().get(statuses)) {
        return false;
    }
    for (element status : statuses) {
        bench_tweet *t = push(out);
        std::string_view text, screen_name;
        bool favorited;
        if (status["id"].get_int64().get(t->id) || status["text"].get_string().get(text) ||
            status["user"]["screen_name"].get_string().get(screen_name) ||
            status["retweet_count"].get_int64().get(t->retweet_count) ||
            status["favorited"].get_bool().get(favorited)) {
            return false;
        }
        t->favorited = favorited;
        set_string(&t->text, text);
        set_string(&t->user.screen_name, screen_name);
    }
    return true;
}

bool tweets_jansson(const input &in, bench_tweets &out) {
    json_error_t error;
    json_t *root = json_loadb(in.bytes.data(), in.bytes.size(), 0, &error);
    json_t *statuses = json_object_get(root, "statuses");
    bool ok = json_is_array(statuses);
    size_t index;
    json_t *status;
    json_array_foreach(statuses, index, status) {
        bench_tweet *t = push(out);
        json_t *id = json_object_get(status, "id");
        json_t *text = json_object_get(status, "text");
        json_t *name = json_object_get(json_object_get(status, "user"), "screen_name");
        json_t *retweets = json_object_get(status, "retweet_count");
        json_t *favorited = json_object_get(status, "favorited");
        if (!json_is_integer(id) || !json_is_string(text) || !json_is_string(name) ||
            !json_is_integer(retweets) || !json_is_boolean(favorited)) {
            ok = false;
            break;
        }
        t->id = json_integer_value(id);
        set_string(&t->text, json_string_value(text), json_string_length(text));
        set_string(&t->user.screen_name, json_string_value(name), json_string_length(name));
        t->retweet_count = json_integer_value(retweets);
        t->favorited = json_is_true(favorited);
    }
    json_decref(root);
    return ok;
}

// tamsel writes the statuses straight into bench_tweet items of its own object array; the
// checksum reads them in place, and tamsel_cleanup frees the strings and the array (clear()
// keeps a peer's array for its next run).
outcome tweets_tamsel(tamsel_runtime *rt, const input &in, bool check) {
    tamsel_tweets parsed{};
    tamsel_error error;
    bool ok = tamsel_parse_buffer(rt, &kTamselTweetsMap, &parsed, in.bytes.data(), in.bytes.size(),
                                  &error) == TAMSEL_STATUS_OK;
    if (!ok) tamsel_report("tamsel_parse_buffer", error);
    uint64_t sum = check ? checksum(tweets_view(parsed)) : parsed.statuses.count;
    tamsel_cleanup(&kTamselTweetsMap, &parsed);
    return {sum, in.bytes.size(), ok};
}

// ---- generated arrays of records ------------------------------------------------------------

bool records_rapidjson(const input &in, bench_records &out) {
    record_collector collect(out);
    record_builder builder(collect, 1);
    rapidjson_sax<record_builder> handler(builder);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(in.bytes.data());
    return !reader.Parse(stream, handler).IsError();
}

bool records_yajl(const input &in, bench_records &out) {
    record_collector collect(out);
    record_builder builder(collect, 1);
    yajl_handle h = yajl_alloc(&yajl_sax<record_builder>::callbacks, nullptr, &builder);
    auto *text = reinterpret_cast<const unsigned char *>(in.bytes.data());
    bool ok = yajl_parse(h, text, in.bytes.size()) == yajl_status_ok &&
              yajl_complete_parse(h) == yajl_status_ok;
    yajl_free(h);
    return ok;
}

bool records_ondemand(const input &in, bench_records &out) {
    simdjson::padded_string_view view(in.bytes.data(), in.bytes.size(), in.bytes.capacity());
    ondemand::document doc;
    ondemand::array array;
    if (ondemand_parser().iterate(view).get(doc) || doc.get_array().get(array)) return false;
    for (auto item : array) {
        ondemand::object object;
        if (item.get_object().get(object) || !ondemand_record(object, push(out))) return false;
    }
    return true;
}

bool records_dom(const input &in, bench_records &out) {
    element root;
    simdjson::dom::array array;
    if (dom_parser().parse(in.bytes.data(), in.bytes.size(), false).get(root) ||
        root.get_array().get(array)) {
        return false;
    }
    for (element item : array) {
        if (!dom_record(item, push(out))) return false;
    }
    return true;
}

bool records_cjson(const input &in, bench_records &out) {
    cJSON *root = cJSON_ParseWithLength(in.bytes.data(), in.bytes.size());
    bool ok = cJSON_IsArray(root);
    for (const cJSON *item = ok ? root->child : nullptr; item && ok; item = item->next) {
        ok = cjson_record(item, push(out));
    }
    cJSON_Delete(root);
    return ok;
}

bool records_jansson(const input &in, bench_records &out) {
    json_error_t error;
    json_t *root = json_loadb(in.bytes.data(), in.bytes.size(), 0, &error);
    bool ok = json_is_array(root);
    size_t index;
    json_t *item;
    json_array_foreach(root, index, item) {
        if (!jansson_record(item, push(out))) {
            ok = false;
            break;
        }
    }
    json_decref(root);
    return ok;
}

template <typename Set> struct owned_set {
    Set set{};
    ~owned_set() { release(set); }
};

template <typename Set>
side make_side(const char *name, const input *in, bool (*f)(const input &, Set &)) {
    auto holder = std::make_shared<owned_set<Set>>();
    return {name, [in, f, holder](bool check) {
                return fill(holder->set, *in, check, [&](Set &s) { return f(*in, s); });
            }};
}

} // namespace

void add_extract_groups(registry &r, const inputs &in) {
    if (const input *twitter = in.find("twitter.json")) {
        group g{"extract", twitter->name, {}, false};
        g.sides.push_back({kTamsel, [twitter](bool check) {
                               return tweets_tamsel(tamsel_bench_runtime(), *twitter, check);
                           }});
        g.sides.push_back(make_side<bench_tweets>(kRapidjson, twitter, tweets_rapidjson));
        g.sides.push_back(make_side<bench_tweets>(kSimdjsonOndemand, twitter, tweets_ondemand));
        g.sides.push_back(make_side<bench_tweets>(kSimdjsonDom, twitter, tweets_dom));
        g.sides.push_back(make_side<bench_tweets>(kYajl, twitter, tweets_yajl));
        g.sides.push_back(make_side<bench_tweets>(kJansson, twitter, tweets_jansson));
        r.add(std::move(g));
    }
    for (const input &array : in.arrays) {
        const input *a = &array;
        group g{"extract", a->name, {}, a->bytes.size() >= 64 * kMiB};
        g.sides.push_back(tamsel_array_extract_side(a));
        g.sides.push_back(make_side<bench_records>(kRapidjson, a, records_rapidjson));
        g.sides.push_back(make_side<bench_records>(kSimdjsonOndemand, a, records_ondemand));
        g.sides.push_back(make_side<bench_records>(kSimdjsonDom, a, records_dom));
        g.sides.push_back(make_side<bench_records>(kYajl, a, records_yajl));
        g.sides.push_back(make_side<bench_records>(kCjson, a, records_cjson));
        g.sides.push_back(make_side<bench_records>(kJansson, a, records_jansson));
        r.add(std::move(g));
    }
}

} // namespace bench

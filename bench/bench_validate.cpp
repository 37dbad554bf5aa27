// validate: is this one well-formed JSON text? visit: walk every value and key of it, handing
// each to a visitor that does nothing but count (the count is the checksum every side must
// match). Both over the six documents; validate also over the generated arrays (scaling).
//
// Sides: tamsel (tamsel_validate_buffer; tamsel_visit_value_buffer with a visitor counting
// at the begin events), RapidJSON's Reader (null handler, default flags: the baseline),
// simdjson (DOM parse; On Demand walking every value for visit), yajl (push parser with null
// callbacks), cJSON and jansson (parse into their tree, free it), yyjson for validate when it is
// built in (yyjson_read_opts with default flags into its document, freed), and two limits:
// memcpy of the bytes and a plain loop counting '"'.
#include "corpus.hpp"
#include "tamsel_side.hpp"

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <jansson.h>
#include <rapidjson/reader.h>
#include <simdjson.h>
#include <yajl/yajl_parse.h>

#include <cstring>
#include <memory>

#if TAMSEL_BENCH_YYJSON
#include <yyjson.h>
#endif

namespace bench {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
namespace ondemand = simdjson::ondemand;

outcome result(bool ok, uint64_t checksum, size_t bytes) {
    return {checksum, bytes, ok};
}

// ---- validate -------------------------------------------------------------------------------

outcome validate_tamsel(tamsel_runtime *rt, const input &in) {
    tamsel_error error;
    bool ok =
        tamsel_validate_buffer(rt, in.bytes.data(), in.bytes.size(), &error) == TAMSEL_STATUS_OK;
    if (!ok) tamsel_report("tamsel_validate_buffer", error);
    return result(ok, 1, in.bytes.size());
}

outcome validate_rapidjson(const input &in) {
    rapidjson::Reader reader;
    rapidjson::StringStream stream(in.bytes.data());
    rapidjson::BaseReaderHandler<> handler;
    bool ok = !reader.Parse(stream, handler).IsError();
    return result(ok, 1, in.bytes.size());
}

outcome validate_simdjson(simdjson::dom::parser &parser, const input &in) {
    element root;
    bool ok = !parser.parse(in.bytes.data(), in.bytes.size(), false).get(root);
    return result(ok, 1, in.bytes.size());
}

outcome validate_yajl(const input &in) {
    yajl_handle h = yajl_alloc(nullptr, nullptr, nullptr);
    auto *text = reinterpret_cast<const unsigned char *>(in.bytes.data());
    bool ok = yajl_parse(h, text, in.bytes.size()) == yajl_status_ok &&
              yajl_complete_parse(h) == yajl_status_ok;
    yajl_free(h);
    return result(ok, 1, in.bytes.size());
}

outcome validate_cjson(const input &in) {
    cJSON *root = cJSON_ParseWithLength(in.bytes.data(), in.bytes.size());
    bool ok = root != nullptr;
    cJSON_Delete(root);
    return result(ok, 1, in.bytes.size());
}

outcome validate_jansson(const input &in) {
    json_error_t error;
    json_t *root = json_loadb(in.bytes.data(), in.bytes.size(), 0, &error);
    bool ok = root != nullptr;
    json_decref(root);
    return result(ok, 1, in.bytes.size());
}

#if TAMSEL_BENCH_YYJSON
// yyjson reads into its document (immutable DOM) and frees it; without the in-situ flag it
// leaves the input alone.
outcome validate_yyjson(const input &in) {
    yyjson_read_err error;
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(in.bytes.data()), in.bytes.size(),
                                       YYJSON_READ_NOFLAG, nullptr, &error);
    const bool ok = doc != nullptr;
    yyjson_doc_free(doc);
    return result(ok, 1, in.bytes.size());
}
#endif

outcome copy_bytes(char *dst, const input &in) {
    std::memcpy(dst, in.bytes.data(), in.bytes.size());
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
    return result(true, static_cast<unsigned char>(dst[in.bytes.size() / 2]), in.bytes.size());
}

outcome count_quotes(const input &in) {
    const char *p = in.bytes.data();
    uint64_t n = 0;
    for (size_t i = 0, size = in.bytes.size(); i < size; ++i) {
        n += p[i] == '"';
    }
    return result(true, n, in.bytes.size());
}

// ---- visit: count one event per value and per key -------------------------------------------

outcome visit_tamsel(tamsel_runtime *rt, const input &in) {
    uint64_t n = 0;
    tamsel_error error;
    bool ok = tamsel_visit_value_buffer(rt, in.bytes.data(), in.bytes.size(),
                                        &tamsel_counting_visitor(), &n, &error) == TAMSEL_STATUS_OK;
    if (!ok) tamsel_report("tamsel_visit_value_buffer", error);
    return result(ok, n, in.bytes.size());
}

struct counting_handler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, counting_handler> {
    uint64_t events = 0;
    bool Default() {
        ++events;
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return true; }
    bool EndArray(rapidjson::SizeType) { return true; }
};

outcome visit_rapidjson(const input &in) {
    rapidjson::Reader reader;
    rapidjson::StringStream stream(in.bytes.data());
    counting_handler handler;
    bool ok = !reader.Parse(stream, handler).IsError();
    return result(ok, handler.events, in.bytes.size());
}

uint64_t walk_dom(element e) {
    uint64_t n = 1;
    switch (e.type()) {
    case element_type::ARRAY:
        for (element child : simdjson::dom::array(e))
            n += walk_dom(child);
        break;
    case element_type::OBJECT:
        for (auto field : simdjson::dom::object(e))
            n += 1 + walk_dom(field.value);
        break;
    default:
        break;
    }
    return n;
}

outcome visit_simdjson_dom(simdjson::dom::parser &parser, const input &in) {
    element root;
    if (parser.parse(in.bytes.data(), in.bytes.size(), false).get(root)) {
        return result(false, 0, in.bytes.size());
    }
    return result(true, walk_dom(root), in.bytes.size());
}

// On Demand parses a value when it is asked for; asking for every one of them is its visit.
bool walk_ondemand(ondemand::value v, uint64_t &n) {
    ++n;
    ondemand::json_type type;
    if (v.type().get(type)) return false;
    switch (type) {
    case ondemand::json_type::object: {
        ondemand::object object;
        if (v.get_object().get(object)) return false;
        for (auto field : object) {
            std::string_view key;
            if (field.unescaped_key().get(key)) return false;
            ++n;
            if (!walk_ondemand(field.value(), n)) return false;
        }
        return true;
    }
    case ondemand::json_type::array: {
        ondemand::array array;
        if (v.get_array().get(array)) return false;
        for (auto element : array) {
            ondemand::value child;
            if (element.get(child) || !walk_ondemand(child, n)) return false;
        }
        return true;
    }
    case ondemand::json_type::number: {
        ondemand::number number;
        return !v.get_number().get(number);
    }
    case ondemand::json_type::string: {
        std::string_view s;
        return !v.get_string().get(s);
    }
    case ondemand::json_type::boolean: {
        bool b;
        return !v.get_bool().get(b);
    }
    case ondemand::json_type::null:
        return v.is_null();
    }
    return false;
}

outcome visit_simdjson_ondemand(ondemand::parser &parser, const input &in) {
    ondemand::document doc;
    simdjson::padded_string_view view(in.bytes.data(), in.bytes.size(), in.bytes.capacity());
    ondemand::value root;
    uint64_t n = 0;
    bool ok =
        !parser.iterate(view).get(doc) && !doc.get_value().get(root) && walk_ondemand(root, n);
    return result(ok, n, in.bytes.size());
}

int yajl_count(void *ctx) {
    ++*static_cast<uint64_t *>(ctx);
    return 1;
}
int yajl_count_bool(void *ctx, int) {
    return yajl_count(ctx);
}
int yajl_count_integer(void *ctx, long long) {
    return yajl_count(ctx);
}
int yajl_count_double(void *ctx, double) {
    return yajl_count(ctx);
}
int yajl_count_string(void *ctx, const unsigned char *, size_t) {
    return yajl_count(ctx);
}
int yajl_skip(void *) {
    return 1;
}

constexpr yajl_callbacks kCountingCallbacks = {
    yajl_count, yajl_count_bool,   yajl_count_integer, yajl_count_double,
    nullptr,    yajl_count_string, yajl_count,         yajl_count_string,
    yajl_skip,  yajl_count,        yajl_skip};

outcome visit_yajl(const input &in) {
    uint64_t n = 0;
    yajl_handle h = yajl_alloc(&kCountingCallbacks, nullptr, &n);
    auto *text = reinterpret_cast<const unsigned char *>(in.bytes.data());
    bool ok = yajl_parse(h, text, in.bytes.size()) == yajl_status_ok &&
              yajl_complete_parse(h) == yajl_status_ok;
    yajl_free(h);
    return result(ok, n, in.bytes.size());
}

uint64_t walk_cjson(const cJSON *item) {
    uint64_t n = 1;
    const bool object = cJSON_IsObject(item);
    for (const cJSON *child = item->child; child; child = child->next) {
        n += walk_cjson(child) + (object ? 1 : 0);
    }
    return n;
}

outcome visit_cjson(const input &in) {
    cJSON *root = cJSON_ParseWithLength(in.bytes.data(), in.bytes.size());
    if (!root) return result(false, 0, in.bytes.size());
    uint64_t n = walk_cjson(root);
    cJSON_Delete(root);
    return result(true, n, in.bytes.size());
}

uint64_t walk_jansson(json_t *value) {
    uint64_t n = 1;
    if (json_is_object(value)) {
        const char *key;
        json_t *child;
        json_object_foreach(value, key, child) {
            n += 1 + walk_jansson(child);
        }
    } else if (json_is_array(value)) {
        size_t index;
        json_t *child;
        json_array_foreach(value, index, child) {
            n += walk_jansson(child);
        }
    }
    return n;
}

outcome visit_jansson(const input &in) {
    json_error_t error;
    json_t *root = json_loadb(in.bytes.data(), in.bytes.size(), 0, &error);
    if (!root) return result(false, 0, in.bytes.size());
    uint64_t n = walk_jansson(root);
    json_decref(root);
    return result(true, n, in.bytes.size());
}

bool heavy(const input &in) {
    return in.bytes.size() >= 64 * kMiB;
}

// One parser of each kind for the whole run, reused as simdjson recommends; it keeps the
// capacity of the largest input it has seen.
simdjson::dom::parser &dom_parser() {
    static simdjson::dom::parser parser;
    return parser;
}
ondemand::parser &ondemand_parser() {
    static ondemand::parser parser;
    return parser;
}

} // namespace

void add_validate_groups(registry &r, const inputs &in) {
    std::vector<const input *> all;
    for (const input &i : in.documents)
        all.push_back(&i);
    for (const input &i : in.arrays)
        all.push_back(&i);
    for (const input *i : all) {
        auto scratch = std::make_shared<padded_bytes>(i->bytes.size());
        group g{"validate", i->name, {}, heavy(*i)};
        g.sides.push_back(
            {kTamsel, [i](bool) { return validate_tamsel(tamsel_bench_runtime(), *i); }});
        g.sides.push_back({kRapidjson, [i](bool) { return validate_rapidjson(*i); }});
        g.sides.push_back(
            {kSimdjsonDom, [i](bool) { return validate_simdjson(dom_parser(), *i); }});
        g.sides.push_back({kYajl, [i](bool) { return validate_yajl(*i); }});
        g.sides.push_back({kCjson, [i](bool) { return validate_cjson(*i); }});
        g.sides.push_back({kJansson, [i](bool) { return validate_jansson(*i); }});
#if TAMSEL_BENCH_YYJSON
        g.sides.push_back({kYyjson, [i](bool) { return validate_yyjson(*i); }});
#endif
        g.sides.push_back(
            {kMemcpy, [i, scratch](bool) { return copy_bytes(scratch->data(), *i); }, true});
        g.sides.push_back({kQuoteCount, [i](bool) { return count_quotes(*i); }, true});
        r.add(std::move(g));
    }
}

void add_visit_groups(registry &r, const inputs &in) {
    for (const input &doc : in.documents) {
        const input *i = &doc;
        group g{"visit", i->name, {}, false};
        g.sides.push_back(
            {kTamsel, [i](bool) { return visit_tamsel(tamsel_bench_runtime(), *i); }});
        g.sides.push_back({kRapidjson, [i](bool) { return visit_rapidjson(*i); }});
        g.sides.push_back(
            {kSimdjsonDom, [i](bool) { return visit_simdjson_dom(dom_parser(), *i); }});
        g.sides.push_back({kSimdjsonOndemand,
                           [i](bool) { return visit_simdjson_ondemand(ondemand_parser(), *i); }});
        g.sides.push_back({kYajl, [i](bool) { return visit_yajl(*i); }});
        g.sides.push_back({kCjson, [i](bool) { return visit_cjson(*i); }});
        g.sides.push_back({kJansson, [i](bool) { return visit_jansson(*i); }});
        r.add(std::move(g));
    }
}

} // namespace bench

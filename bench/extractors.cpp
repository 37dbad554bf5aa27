#include "extractors.hpp"

#include <cstring>
#include <string_view>
#include <utility>

namespace bench {

namespace ondemand = simdjson::ondemand;

bool ondemand_record(ondemand::object object, bench_record *r) {
    // Members in document order; the ones not asked for are skipped when the loop moves on.
    for (auto field : object) {
        ondemand::raw_json_string key;
        if (field.key().get(key)) return false;
        std::string_view s;
        if (key == "id") {
            if (field.value().get_int64().get(r->id)) return false;
        } else if (key == "name") {
            if (field.value().get_string().get(s)) return false;
            set_string(&r->name, s);
        } else if (key == "email") {
            if (field.value().get_string().get(s)) return false;
            set_string(&r->email, s);
        } else if (key == "active") {
            bool active;
            if (field.value().get_bool().get(active)) return false;
            r->active = active;
        } else if (key == "score") {
            if (field.value().get_double().get(r->score)) return false;
        } else if (key == "location") {
            ondemand::object location;
            if (field.value().get_object().get(location)) return false;
            for (auto member : location) {
                ondemand::raw_json_string k;
                if (member.key().get(k)) return false;
                if (k == "city") {
                    if (member.value().get_string().get(s)) return false;
                    set_string(&r->location.city, s);
                } else if (k == "lat") {
                    if (member.value().get_double().get(r->location.lat)) return false;
                }
            }
        }
    }
    return true;
}

bool dom_record(simdjson::dom::element object, bench_record *r) {
    std::string_view name, email, city;
    bool active;
    if (object["id"].get_int64().get(r->id) || object["name"].get_string().get(name) ||
        object["email"].get_string().get(email) || object["active"].get_bool().get(active) ||
        object["score"].get_double().get(r->score)) {
        return false;
    }
    r->active = active;
    simdjson::dom::element location;
    if (object["location"].get(location) || location["city"].get_string().get(city) ||
        location["lat"].get_double().get(r->location.lat)) {
        return false;
    }
    set_string(&r->name, name);
    set_string(&r->email, email);
    set_string(&r->location.city, city);
    return true;
}

namespace {

bool cjson_string(const cJSON *object, const char *key, char **dst) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsString(item)) return false;
    set_string(dst, item->valuestring, std::strlen(item->valuestring));
    return true;
}

bool cjson_number(const cJSON *object, const char *key, double *dst) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsNumber(item)) return false;
    *dst = item->valuedouble;
    return true;
}

bool jansson_string(json_t *object, const char *key, char **dst) {
    json_t *item = json_object_get(object, key);
    if (!json_is_string(item)) return false;
    set_string(dst, json_string_value(item), json_string_length(item));
    return true;
}

} // namespace

bool cjson_record(const cJSON *object, bench_record *r) {
    // cJSON keeps every number as a double: exact for these ids, which stay below 2^53.
    double id;
    const cJSON *active = cJSON_GetObjectItemCaseSensitive(object, "active");
    const cJSON *location = cJSON_GetObjectItemCaseSensitive(object, "location");
    if (!cjson_number(object, "id", &id) || !cjson_string(object, "name", &r->name) ||
        !cjson_string(object, "email", &r->email) || !cJSON_IsBool(active) ||
        !cjson_number(object, "score", &r->score) || !cJSON_IsObject(location) ||
        !cjson_string(location, "city", &r->location.city) ||
        !cjson_number(location, "lat", &r->location.lat)) {
        return false;
    }
    r->id = static_cast<int64_t>(id);
    r->active = cJSON_IsTrue(active);
    return true;
}

bool jansson_record(json_t *object, bench_record *r) {
    json_t *id = json_object_get(object, "id");
    json_t *active = json_object_get(object, "active");
    json_t *score = json_object_get(object, "score");
    json_t *location = json_object_get(object, "location");
    json_t *lat = json_object_get(location, "lat");
    if (!json_is_integer(id) || !jansson_string(object, "name", &r->name) ||
        !jansson_string(object, "email", &r->email) || !json_is_boolean(active) ||
        !json_is_number(score) || !jansson_string(location, "city", &r->location.city) ||
        !json_is_number(lat)) {
        return false;
    }
    r->id = json_integer_value(id);
    r->active = json_is_true(active);
    r->score = json_number_value(score);
    r->location.lat = json_number_value(lat);
    return true;
}

// ---- streams --------------------------------------------------------------------------------

bool ondemand_records(ondemand::parser &parser, const char *data, size_t len,
                      record_consumer &out) {
    ondemand::document_stream stream;
    if (parser.iterate_many(data, len, kSimdjsonBatch).get(stream)) return false;
    for (auto item : stream) {
        ondemand::document_reference doc;
        ondemand::object object;
        if (std::move(item).get(doc) || doc.get_object().get(object)) return false;
        if (!ondemand_record(object, out.begin())) return false;
        out.end();
    }
    return stream.truncated_bytes() == 0;
}

bool dom_records(simdjson::dom::parser &parser, const char *data, size_t len,
                 record_consumer &out) {
    simdjson::dom::document_stream stream;
    if (parser.parse_many(data, len, kSimdjsonBatch).get(stream)) return false;
    for (auto item : stream) {
        simdjson::dom::element doc;
        if (item.get(doc) || !dom_record(doc, out.begin())) return false;
        out.end();
    }
    return stream.truncated_bytes() == 0;
}

bool dom_validate_values(simdjson::dom::parser &parser, const char *data, size_t len) {
    simdjson::dom::document_stream stream;
    if (parser.parse_many(data, len, kSimdjsonBatch).get(stream)) return false;
    for (auto item : stream) {
        if (item.error()) return false;
    }
    return stream.truncated_bytes() == 0;
}

namespace {

template <typename Line> bool for_each_line(const char *data, size_t len, Line line) {
    const char *p = data, *end = data + len;
    while (p < end) {
        auto *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *stop = nl ? nl : end;
        if (stop > p && !line(p, static_cast<size_t>(stop - p))) return false;
        p = stop + 1;
    }
    return true;
}

} // namespace

bool cjson_records(const char *data, size_t len, record_consumer &out) {
    return for_each_line(data, len, [&](const char *p, size_t n) {
        cJSON *root = cJSON_ParseWithLength(p, n);
        bool ok = root && cjson_record(root, out.begin());
        if (ok) out.end();
        cJSON_Delete(root);
        return ok;
    });
}

bool jansson_records(const char *data, size_t len, record_consumer &out) {
    return for_each_line(data, len, [&](const char *p, size_t n) {
        json_error_t error;
        json_t *root = json_loadb(p, n, 0, &error);
        bool ok = root && jansson_record(root, out.begin());
        if (ok) out.end();
        json_decref(root);
        return ok;
    });
}

bool cjson_validate_lines(const char *data, size_t len) {
    return for_each_line(data, len, [](const char *p, size_t n) {
        cJSON *root = cJSON_ParseWithLength(p, n);
        bool ok = root != nullptr;
        cJSON_Delete(root);
        return ok;
    });
}

bool jansson_validate_lines(const char *data, size_t len) {
    return for_each_line(data, len, [](const char *p, size_t n) {
        json_error_t error;
        json_t *root = json_loadb(p, n, 0, &error);
        bool ok = root != nullptr;
        json_decref(root);
        return ok;
    });
}

} // namespace bench

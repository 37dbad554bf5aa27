// Test support for the libcurl adapters: an order record and its map, a transcript of a
// record (its serialized text), and the oracles the adapters are held to: the one-shot parse
// and the push-fed array stream over the same bytes.
#pragma once

#include "tamsel.h"

#include <cstddef>
#include <cstdlib>
#include <string>

namespace curl_test {

struct order {
    int64_t id;
    char *name;
    double price;
    int paid;
    tamsel_string_array tags;
    char code[4]; // fixed, truncating
};

inline const tamsel_map *order_map() {
    static const tamsel_field f[] = {
        {TAMSEL_KEY("id"), offsetof(order, id), TAMSEL_FIELD_I64, 0, 0, TAMSEL_FIELD_REQUIRED, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("name"), offsetof(order, name), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("price"), offsetof(order, price), TAMSEL_FIELD_F64, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("paid"), offsetof(order, paid), TAMSEL_FIELD_BOOL, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("tags"), offsetof(order, tags), TAMSEL_FIELD_STRING_ARRAY, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("code"), offsetof(order, code), TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
         TAMSEL_OVERFLOW_TRUNCATE, 0, sizeof(order{}.code), 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"order", sizeof(order), f, 6, &m, nullptr};
    return &m;
}

// The record as the library writes it.
inline std::string describe(const order &o) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    size_t len = 0;
    char *text = tamsel_serialize_alloc(rt, order_map(), &o, &len, nullptr);
    std::string out = text ? std::string(text, len) : "<unserializable>";
    std::free(text);
    tamsel_free(rt);
    return out;
}

inline std::string describe_error(const tamsel_error &e) {
    return "status " + std::to_string(e.code) + " '" + e.message + "' at " +
           std::to_string(e.line) + ":" + std::to_string(e.column) + "/" + std::to_string(e.offset);
}

// What tamsel_parse_buffer makes of `body`: the record or the error.
inline std::string parse_oracle(const std::string &body) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    order o{};
    tamsel_error e;
    tamsel_status st = tamsel_parse_buffer(rt, order_map(), &o, body.data(), body.size(), &e);
    std::string out = st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED
                          ? describe(o) + (st ? " (7)" : "")
                          : describe_error(e);
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
    return out;
}

// Appends each item it is handed to a transcript (user: a std::string).
inline tamsel_status collect_order(void *user, void *item) {
    *static_cast<std::string *>(user) += describe(*static_cast<order *>(item)) + "\n";
    return TAMSEL_STATUS_OK;
}
inline tamsel_status collect_string(void *user, const char *text, size_t length, tamsel_error *) {
    *static_cast<std::string *>(user) += std::string(text, length) + "\n";
    return TAMSEL_STATUS_OK;
}
// A chunk handler writing "<" chunks ">" per string item.
inline const tamsel_string_chunk_handler &chunk_transcript() {
    static const tamsel_string_chunk_handler h = {
        [](void *user, tamsel_error *) {
            *static_cast<std::string *>(user) += "<";
            return TAMSEL_STATUS_OK;
        },
        [](void *user, const char *bytes, size_t length, tamsel_error *) {
            *static_cast<std::string *>(user) += std::string(bytes, length);
            return TAMSEL_STATUS_OK;
        },
        [](void *user, tamsel_error *) {
            *static_cast<std::string *>(user) += ">\n";
            return TAMSEL_STATUS_OK;
        }};
    return h;
}

enum class items { orders, chunks, strings };

// What the push-fed array stream makes of `body` in one push: the items, then "|" and the
// final status with its error.
inline std::string array_oracle(const char *path, const std::string &body, items kind) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, path, &e);
    std::string out;
    order o{};
    tamsel_status st = TAMSEL_STATUS_OK;
    switch (kind) {
    case items::orders:
        st = tamsel_array_stream_push(s, order_map(), &o, body.data(), body.size(), collect_order,
                                      &out, &e);
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED)
            st = tamsel_array_stream_finish(s, order_map(), &o, collect_order, &out, &e);
        break;
    case items::chunks:
        st = tamsel_array_stream_push_string(s, body.data(), body.size(), &chunk_transcript(), &out,
                                             &e);
        if (st == TAMSEL_STATUS_OK)
            st = tamsel_array_stream_finish_string(s, &chunk_transcript(), &out, &e);
        break;
    case items::strings:
        st = tamsel_array_stream_push_string_items(s, body.data(), body.size(), collect_string,
                                                   &out, &e);
        if (st == TAMSEL_STATUS_OK)
            st = tamsel_array_stream_finish_string_items(s, collect_string, &out, &e);
        break;
    }
    tamsel_array_stream_close(s);
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
    return out + "|" + (st == TAMSEL_STATUS_OK ? "ok" : describe_error(e));
}

} // namespace curl_test

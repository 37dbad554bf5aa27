// How each peer library turns its view of one generated record into a bench_record, shared by
// the array, object-stream and descriptor jobs; and the adapters that feed the event-driven
// peers (RapidJSON's SAX handler, yajl's callbacks) into the key-path builders of records.hpp.
#pragma once

#include "records.hpp"

#include <cjson/cJSON.h>
#include <jansson.h>
#include <rapidjson/reader.h>
#include <simdjson.h>
#include <yajl/yajl_parse.h>

#include <cstdint>
#include <limits>

namespace bench {

// RapidJSON SAX handler forwarding every event to a builder (tweet_builder, record_builder).
template <typename Builder>
struct rapidjson_sax : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, rapidjson_sax<Builder>> {
    explicit rapidjson_sax(Builder &b) : builder(b) {}
    Builder &builder;
    bool Null() {
        builder.null();
        return true;
    }
    bool Bool(bool v) {
        builder.boolean(v);
        return true;
    }
    bool Int(int v) { return Int64(v); }
    bool Uint(unsigned v) { return Int64(v); }
    bool Int64(int64_t v) {
        builder.integer(v);
        return true;
    }
    bool Uint64(uint64_t v) {
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            builder.real(static_cast<double>(v));
        } else {
            builder.integer(static_cast<int64_t>(v));
        }
        return true;
    }
    bool Double(double v) {
        builder.real(v);
        return true;
    }
    bool String(const char *s, rapidjson::SizeType n, bool) {
        builder.string(s, n);
        return true;
    }
    bool Key(const char *s, rapidjson::SizeType n, bool) {
        builder.key(s, n);
        return true;
    }
    bool StartObject() {
        builder.start_object();
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        builder.end_object();
        return true;
    }
    bool StartArray() {
        builder.start_array();
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        builder.end_array();
        return true;
    }
};

// yajl callbacks forwarding every event to a builder passed as the context.
template <typename Builder> struct yajl_sax {
    static Builder &b(void *ctx) { return *static_cast<Builder *>(ctx); }
    static int null(void *ctx) { return b(ctx).null(), 1; }
    static int boolean(void *ctx, int v) { return b(ctx).boolean(v != 0), 1; }
    static int integer(void *ctx, long long v) { return b(ctx).integer(v), 1; }
    static int real(void *ctx, double v) { return b(ctx).real(v), 1; }
    static int string(void *ctx, const unsigned char *s, size_t n) {
        return b(ctx).string(reinterpret_cast<const char *>(s), n), 1;
    }
    static int key(void *ctx, const unsigned char *s, size_t n) {
        return b(ctx).key(reinterpret_cast<const char *>(s), n), 1;
    }
    static int start_object(void *ctx) { return b(ctx).start_object(), 1; }
    static int end_object(void *ctx) { return b(ctx).end_object(), 1; }
    static int start_array(void *ctx) { return b(ctx).start_array(), 1; }
    static int end_array(void *ctx) { return b(ctx).end_array(), 1; }
    static constexpr yajl_callbacks callbacks = {null,       boolean,     integer,      real,
                                                 nullptr,    string,      start_object, key,
                                                 end_object, start_array, end_array};
};

// One generated record out of each library's own representation; false if a member is missing
// or has the wrong type.
bool ondemand_record(simdjson::ondemand::object object, bench_record *r);
bool dom_record(simdjson::dom::element object, bench_record *r);
bool cjson_record(const cJSON *object, bench_record *r);
bool jansson_record(json_t *object, bench_record *r);

// ---- streams of top-level values (JSON Lines) -----------------------------------------------
// Each takes a run of complete lines; a descriptor job hands them one window at a time.

// RapidJSON: one Parse with kParseStopWhenDoneFlag per value until the stream's NUL.
template <typename Stream, typename Handler> bool rapidjson_values(Stream &stream, Handler &h) {
    rapidjson::Reader reader;
    for (;;) {
        rapidjson::SkipWhitespace(stream);
        if (stream.Peek() == '\0') return true;
        if (reader.Parse<rapidjson::kParseStopWhenDoneFlag>(stream, h).IsError()) return false;
    }
}

// yajl: one handle that accepts any number of values, fed chunk by chunk.
class yajl_values {
  public:
    yajl_values(const yajl_callbacks *callbacks, void *ctx)
        : handle_(yajl_alloc(callbacks, nullptr, ctx)) {
        yajl_config(handle_, yajl_allow_multiple_values, 1);
    }
    ~yajl_values() { yajl_free(handle_); }
    yajl_values(const yajl_values &) = delete;
    yajl_values &operator=(const yajl_values &) = delete;
    bool feed(const char *p, size_t n) {
        return yajl_parse(handle_, reinterpret_cast<const unsigned char *>(p), n) == yajl_status_ok;
    }
    bool finish() { return yajl_complete_parse(handle_) == yajl_status_ok; }

  private:
    yajl_handle handle_;
};

// simdjson's document streams over [data, data + len); the bytes after must be readable
// padding. Lines are at most a few KiB, far below the batch size.
inline constexpr size_t kSimdjsonBatch = 1 << 20;
bool ondemand_records(simdjson::ondemand::parser &parser, const char *data, size_t len,
                      record_consumer &out);
bool dom_records(simdjson::dom::parser &parser, const char *data, size_t len, record_consumer &out);
bool dom_validate_values(simdjson::dom::parser &parser, const char *data, size_t len);

// One line at a time for the tree builders.
bool cjson_records(const char *data, size_t len, record_consumer &out);
bool jansson_records(const char *data, size_t len, record_consumer &out);
bool cjson_validate_lines(const char *data, size_t len);
bool jansson_validate_lines(const char *data, size_t len);

} // namespace bench

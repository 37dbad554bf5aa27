// push-chunks: the generated arrays (records-*.json) handed over in pieces of 1 KiB, 4 KiB and
// 64 KiB, as bytes arrive from a socket or a pipe, every item filled into a bench_record (the
// six members the extract rows read), folded into the checksum and dropped before the next.
//
// Sides: tamsel (tamsel_array_stream_open_push, tamsel_array_stream_push per piece into the
// same record with kTamselRecordMap, then tamsel_array_stream_finish), Boost.JSON
// (basic_parser::write_some with more = true per piece, then once with more = false; its handler
// gathers strings and keys split across pieces and feeds the key-path builder the SAX peers
// use) and yajl (yajl_parse per piece, yajl_complete_parse). RapidJSON, which has no push
// parser, reads the whole buffer at once through the same builder: a reference, not chunked.
// Every side folds the records in order and then their count, as checksum(bench_records)
// does, so the checksums also match the extract rows of the same array.
#include "corpus.hpp"
#include "extractors.hpp"
#include "tamsel_side.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <limits>
#include <string>

namespace bench {

namespace {

// ---- Boost.JSON -----------------------------------------------------------------------------

// basic_parser's handler: every event to the record builder. A string or key that spans pieces
// arrives as parts followed by its last part; the parts are gathered in `pending_` first.
struct boost_handler {
    using error_code = boost::json::error_code;
    using string_view = boost::json::string_view;
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    explicit boost_handler(record_builder &b) : builder(b) {}
    record_builder &builder;
    std::string pending_;

    // The whole text: `last` alone, or the gathered parts followed by it.
    string_view whole(string_view last) {
        if (pending_.empty()) return last;
        pending_.append(last.data(), last.size());
        return {pending_.data(), pending_.size()};
    }

    bool on_document_begin(error_code &) { return true; }
    bool on_document_end(error_code &) { return true; }
    bool on_array_begin(error_code &) { return builder.start_array(), true; }
    bool on_array_end(std::size_t, error_code &) { return builder.end_array(), true; }
    bool on_object_begin(error_code &) { return builder.start_object(), true; }
    bool on_object_end(std::size_t, error_code &) { return builder.end_object(), true; }
    bool on_string_part(string_view s, std::size_t, error_code &) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code &) {
        const string_view text = whole(s);
        builder.string(text.data(), text.size());
        pending_.clear();
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code &) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code &) {
        const string_view text = whole(s);
        builder.key(text.data(), text.size());
        pending_.clear();
        return true;
    }
    bool on_number_part(string_view, error_code &) { return true; }
    bool on_int64(int64_t v, string_view, error_code &) { return builder.integer(v), true; }
    bool on_uint64(uint64_t v, string_view, error_code &) {
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            builder.real(static_cast<double>(v));
        } else {
            builder.integer(static_cast<int64_t>(v));
        }
        return true;
    }
    bool on_double(double v, string_view, error_code &) { return builder.real(v), true; }
    bool on_bool(bool v, error_code &) { return builder.boolean(v), true; }
    bool on_null(error_code &) { return builder.null(), true; }
    bool on_comment_part(string_view, error_code &) { return true; }
    bool on_comment(string_view, error_code &) { return true; }
};

outcome push_boost(const input &in, size_t piece, bool check) {
    record_folder out(check);
    record_builder builder(out, 1);
    boost::json::basic_parser<boost_handler> parser(boost::json::parse_options{}, builder);
    boost::json::error_code ec;
    const char *p = in.bytes.data();
    const size_t size = in.bytes.size();
    bool ok = true;
    for (size_t at = 0; ok && at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        ok = parser.write_some(true, p + at, n, ec) == n && !ec;
    }
    ok = ok && (parser.write_some(false, nullptr, 0, ec), !ec) && parser.done();
    return {out.collected_checksum(), size, ok};
}

// ---- yajl -----------------------------------------------------------------------------------

outcome push_yajl(const input &in, size_t piece, bool check) {
    record_folder out(check);
    record_builder builder(out, 1);
    yajl_handle h = yajl_alloc(&yajl_sax<record_builder>::callbacks, nullptr, &builder);
    auto *p = reinterpret_cast<const unsigned char *>(in.bytes.data());
    const size_t size = in.bytes.size();
    bool ok = true;
    for (size_t at = 0; ok && at < size; at += piece) {
        ok = yajl_parse(h, p + at, std::min(piece, size - at)) == yajl_status_ok;
    }
    ok = ok && yajl_complete_parse(h) == yajl_status_ok;
    yajl_free(h);
    return {out.collected_checksum(), size, ok};
}

// ---- RapidJSON, the whole buffer at once ----------------------------------------------------

outcome whole_rapidjson(const input &in, bool check) {
    record_folder out(check);
    record_builder builder(out, 1);
    rapidjson_sax<record_builder> handler(builder);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(in.bytes.data());
    const bool ok = !reader.Parse(stream, handler).IsError();
    return {out.collected_checksum(), in.bytes.size(), ok};
}

// ---- tamsel ---------------------------------------------------------------------------------

struct tamsel_fold {
    fold f;
    uint64_t count = 0;
    bool check;
};

tamsel_status fold_item(void *user, void *destination) {
    auto *acc = static_cast<tamsel_fold *>(user);
    if (acc->check) add(acc->f, *static_cast<const bench_record *>(destination));
    ++acc->count;
    return TAMSEL_STATUS_OK;
}

outcome push_tamsel(const input &in, size_t piece, bool check) {
    const size_t size = in.bytes.size();
    tamsel_error error;
    tamsel_array_stream *s = tamsel_array_stream_open_push(tamsel_bench_runtime(), nullptr, &error);
    if (!s) {
        tamsel_report("tamsel_array_stream_open_push", error);
        return {0, size, false};
    }
    bench_record record{};
    tamsel_fold acc{{}, 0, check};
    const char *p = in.bytes.data();
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t at = 0; st == TAMSEL_STATUS_OK && at < size; at += piece) {
        st = tamsel_array_stream_push(s, &kTamselRecordMap, &record, p + at,
                                      std::min(piece, size - at), fold_item, &acc, &error);
    }
    if (st == TAMSEL_STATUS_OK) {
        st = tamsel_array_stream_finish(s, &kTamselRecordMap, &record, fold_item, &acc, &error);
    }
    if (st != TAMSEL_STATUS_OK) tamsel_report("tamsel_array_stream_push", error);
    tamsel_cleanup(&kTamselRecordMap, &record);
    tamsel_array_stream_close(s);
    acc.f.u64(acc.count);
    return {check ? acc.f.value() : acc.count, size, st == TAMSEL_STATUS_OK};
}

} // namespace

void add_push_groups(registry &r, const inputs &in) {
    constexpr struct {
        size_t bytes;
        const char *suffix;
    } kPieces[] = {{1024, "@1k"}, {4096, "@4k"}, {65536, "@64k"}};
    for (const input &array : in.arrays) {
        const input *a = &array;
        for (const auto &piece : kPieces) {
            const size_t n = piece.bytes;
            group g{"push-chunks", a->name + piece.suffix, {}, a->bytes.size() >= 64 * kMiB};
            g.sides.push_back({kTamsel, [a, n](bool check) { return push_tamsel(*a, n, check); }});
            g.sides.push_back(
                {kBoostJson, [a, n](bool check) { return push_boost(*a, n, check); }});
            g.sides.push_back({kYajl, [a, n](bool check) { return push_yajl(*a, n, check); }});
            g.sides.push_back(
                {kRapidjsonWhole, [a](bool check) { return whole_rapidjson(*a, check); }});
            r.add(std::move(g));
        }
    }
}

} // namespace bench

// object-stream: JSON Lines in memory (records-16m.jsonl), one bench_record per line, handed
// to the consumer one at a time and dropped (an object stream never holds more than one). The
// checksum of the records in order must agree across sides. The same job over a descriptor,
// with peak memory, is in bench_memory.cpp.
//
// Sides: tamsel (an object stream over a buffer reader, each line into the same bench_record,
// whose previous values the stream releases), RapidJSON's Reader with kParseStopWhenDoneFlag
// and the key-path SAX handler (the baseline), simdjson's document streams (On Demand
// iterate_many, DOM parse_many), yajl with yajl_allow_multiple_values, cJSON and jansson
// parsing line by line.
#include "corpus.hpp"
#include "extractors.hpp"
#include "tamsel_side.hpp"

namespace bench {

namespace {

namespace ondemand = simdjson::ondemand;

outcome stream_tamsel(tamsel_runtime *rt, const input &in, bool check) {
    tamsel_buffer_reader reader;
    tamsel_buffer_reader_init(&reader, in.bytes.data(), in.bytes.size());
    tamsel_error error;
    tamsel_stream *stream = tamsel_stream_open_reader(rt, &kTamselRecordMap,
                                                      tamsel_buffer_reader_read, &reader, &error);
    if (!stream) {
        tamsel_report("tamsel_stream_open_reader", error);
        return {0, in.bytes.size(), false};
    }
    uint64_t result = 0;
    bool ok = tamsel_fold_records(stream, check, result);
    tamsel_stream_close(stream);
    return {result, in.bytes.size(), ok};
}

outcome stream_rapidjson(const input &in, bool check) {
    record_folder out(check);
    record_builder builder(out, 0);
    rapidjson_sax<record_builder> handler(builder);
    rapidjson::StringStream stream(in.bytes.data());
    bool ok = rapidjson_values(stream, handler);
    return {out.result(), in.bytes.size(), ok};
}

outcome stream_yajl(const input &in, bool check) {
    record_folder out(check);
    record_builder builder(out, 0);
    yajl_values parser(&yajl_sax<record_builder>::callbacks, &builder);
    bool ok = parser.feed(in.bytes.data(), in.bytes.size()) && parser.finish();
    return {out.result(), in.bytes.size(), ok};
}

outcome stream_ondemand(ondemand::parser &parser, const input &in, bool check) {
    record_folder out(check);
    bool ok = ondemand_records(parser, in.bytes.data(), in.bytes.size(), out);
    return {out.result(), in.bytes.size(), ok};
}

outcome stream_dom(simdjson::dom::parser &parser, const input &in, bool check) {
    record_folder out(check);
    bool ok = dom_records(parser, in.bytes.data(), in.bytes.size(), out);
    return {out.result(), in.bytes.size(), ok};
}

outcome stream_cjson(const input &in, bool check) {
    record_folder out(check);
    bool ok = cjson_records(in.bytes.data(), in.bytes.size(), out);
    return {out.result(), in.bytes.size(), ok};
}

outcome stream_jansson(const input &in, bool check) {
    record_folder out(check);
    bool ok = jansson_records(in.bytes.data(), in.bytes.size(), out);
    return {out.result(), in.bytes.size(), ok};
}

} // namespace

void add_object_stream_groups(registry &r, const inputs &in) {
    const input *lines = &in.lines;
    auto od = std::make_shared<ondemand::parser>();
    auto dom = std::make_shared<simdjson::dom::parser>();
    group g{"object-stream", lines->name, {}, false};
    g.sides.push_back({kTamsel, [lines](bool check) {
                           return stream_tamsel(tamsel_bench_runtime(), *lines, check);
                       }});
    g.sides.push_back(
        {kRapidjson, [lines](bool check) { return stream_rapidjson(*lines, check); }});
    g.sides.push_back({kSimdjsonOndemand,
                       [lines, od](bool check) { return stream_ondemand(*od, *lines, check); }});
    g.sides.push_back(
        {kSimdjsonDom, [lines, dom](bool check) { return stream_dom(*dom, *lines, check); }});
    g.sides.push_back({kYajl, [lines](bool check) { return stream_yajl(*lines, check); }});
    g.sides.push_back({kCjson, [lines](bool check) { return stream_cjson(*lines, check); }});
    g.sides.push_back({kJansson, [lines](bool check) { return stream_jansson(*lines, check); }});
    r.add(std::move(g));
}

} // namespace bench

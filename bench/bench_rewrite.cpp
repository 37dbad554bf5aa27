// Rewrites of a generated array held in memory, into a sink that only counts: keep-all (the
// array rewrite with no item callback, every item copied) and drop-one (the value rewrite
// dropping element 1), each beside a RapidJSON Reader -> Writer filter doing the same edit
// into a counting stream. tamsel's rows report its peak heap (allocation statistics of a
// runtime made inside the job): one item and the open levels, whatever the input size.
#include "corpus.hpp"
#include "harness.hpp"
#include "tamsel_side.hpp"

#include <benchmark/benchmark.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>
#include <tamsel.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

// A RapidJSON output stream that counts and discards.
struct counting_stream {
    using Ch = char;
    uint64_t bytes = 0;
    void Put(char) { ++bytes; }
    void Flush() {}
};

// Forwards every event to the writer, except the element at index 1 of the root array.
struct drop_filter : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, drop_filter> {
    explicit drop_filter(rapidjson::Writer<counting_stream> &w, bool drop) : w(w), drop(drop) {}
    rapidjson::Writer<counting_stream> &w;
    bool drop;
    int depth = 0;
    uint64_t index = 0;
    int skip = 0; // depth at which the dropped element closes
    bool skipping = false;

    bool begin_value(bool container) {
        if (depth == 1) {
            skipping = drop && index++ == 1;
            if (skipping && container) skip = depth + 1;
            if (skipping && !container) {
                skipping = false;
                return false; // a dropped scalar: nothing to write
            }
        }
        return !skipping;
    }
    bool Null() { return begin_value(false) ? w.Null() : true; }
    bool Bool(bool b) { return begin_value(false) ? w.Bool(b) : true; }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool) {
        return begin_value(false) ? w.RawValue(s, n, rapidjson::kNumberType) : true;
    }
    bool String(const char *s, rapidjson::SizeType n, bool c) {
        return begin_value(false) ? w.String(s, n, c) : true;
    }
    bool Key(const char *s, rapidjson::SizeType n, bool c) {
        return skipping ? true : w.Key(s, n, c);
    }
    bool StartObject() {
        const bool out = begin_value(true);
        ++depth;
        return out ? w.StartObject() : true;
    }
    bool EndObject(rapidjson::SizeType n) { return end(true, n); }
    bool StartArray() {
        const bool out = begin_value(true);
        ++depth;
        return out ? w.StartArray() : true;
    }
    bool EndArray(rapidjson::SizeType n) { return end(false, n); }
    bool end(bool object, rapidjson::SizeType n) {
        --depth;
        if (skipping) {
            if (depth + 1 == skip) skipping = false;
            return true;
        }
        return object ? w.EndObject(n) : w.EndArray(n);
    }
};

uint64_t rapidjson_filter(const std::string &text, bool drop) {
    counting_stream out;
    rapidjson::Writer<counting_stream> w(out);
    drop_filter f(w, drop);
    rapidjson::Reader reader;
    rapidjson::StringStream in(text.c_str());
    if (!reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(in, f)) return 0;
    return out.bytes;
}

// One rewrite by tamsel; `peak` gets the peak heap of the runtime and the rewrite.
uint64_t tamsel_rewrite(const std::string &text, bool drop, int64_t *peak) {
    tamsel_alloc_stats stats{};
    const tamsel_allocator allocator = tamsel_stats_allocator(&stats);
    tamsel_config config = tamsel_default_config();
    config.allocator = &allocator;
    tamsel_runtime *rt = tamsel_new_or_throw(config);
    uint64_t bytes = 0;
    tamsel_error error;
    tamsel_status st;
    if (drop) {
        tamsel_value_rewrite_selector_options o{};
        o.selector = "1";
        o.action = TAMSEL_VALUE_REWRITE_DROP;
        st = tamsel_value_rewrite_selector_buffer(rt, text.data(), text.size(),
                                                  tamsel_counting_sink, &bytes, &o, &error);
    } else {
        tamsel_array_rewrite_options o{};
        o.array_end_callback = [](void *, const tamsel_array_rewrite_context *,
                                  tamsel_array_rewrite_emit, void *,
                                  tamsel_error *) { return TAMSEL_STATUS_OK; };
        tamsel_buffer_reader reader;
        tamsel_buffer_reader_init(&reader, text.data(), text.size());
        st = tamsel_array_rewrite_reader(rt, "", tamsel_buffer_reader_read, &reader,
                                         tamsel_counting_sink, &bytes, &o, &error);
    }
    if (st != TAMSEL_STATUS_OK) tamsel_report("rewrite", error);
    tamsel_free(rt);
    *peak = static_cast<int64_t>(stats.peak_bytes);
    return st == TAMSEL_STATUS_OK ? bytes : 0;
}

} // namespace

void register_rewrite_benchmarks(const options &opt) {
    std::vector<uint64_t> sizes{16 * kMiB};
    if (!opt.quick) sizes.push_back(256 * kMiB);
    for (uint64_t size : sizes) {
        const std::string input_name = generated_name(shape::array, size);
        for (bool drop : {false, true}) {
            for (const char *peer : {kTamsel, kRapidjson}) {
                const std::string name = std::string("rewrite-") +
                                         (drop ? "drop-one/" : "keep-all/") + input_name + "/" +
                                         peer;
                if (!filter_matches(opt.filter, name)) continue;
                const std::string path = ensure_generated(opt.cache_dir, shape::array, size);
                const bool is_tamsel = peer == kTamsel;
                benchmark::RegisterBenchmark(
                    name.c_str(),
                    [path, drop, is_tamsel](benchmark::State &state) {
                        std::ifstream in(path, std::ios::binary);
                        std::stringstream s;
                        s << in.rdbuf();
                        const std::string text = s.str();
                        uint64_t out = 0;
                        int64_t peak = 0;
                        for (auto _ : state)
                            out = is_tamsel ? tamsel_rewrite(text, drop, &peak)
                                            : rapidjson_filter(text, drop);
                        if (!out) {
                            state.SkipWithError("the rewrite failed");
                            return;
                        }
                        state.SetBytesProcessed(static_cast<int64_t>(text.size()) *
                                                static_cast<int64_t>(state.iterations()));
                        state.counters["output_bytes"] = static_cast<double>(out);
                        if (is_tamsel) state.counters["peak_heap"] = static_cast<double>(peak);
                    })
                    ->Iterations(1)
                    ->Repetitions(3)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

} // namespace bench

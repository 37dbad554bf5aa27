// Splicing all items of a generated array file into an open array of a writer, into a sink
// that only counts: the writer reads the file through the array stream's raw item mode, so its
// peak heap (allocation statistics of a runtime made inside the job) is one window and the open
// levels, whatever the size of the array.
#include "corpus.hpp"
#include "harness.hpp"
#include "tamsel_side.hpp"

#include <benchmark/benchmark.h>
#include <tamsel.h>

#include <cstdlib>
#include <filesystem>

namespace bench {
namespace {

// `[0, <every item of the file>]` written once; `peak` gets the peak heap of the whole job.
uint64_t splice_file(const std::string &path, int64_t *peak) {
    tamsel_alloc_stats stats{};
    const tamsel_allocator allocator = tamsel_stats_allocator(&stats);
    tamsel_config config = tamsel_default_config();
    config.allocator = &allocator;
    tamsel_runtime *rt = tamsel_new_or_throw(config);
    uint64_t bytes = 0;
    tamsel_error error;
    tamsel_writer w;
    tamsel_status st = tamsel_writer_init_sink(rt, &w, tamsel_counting_sink, &bytes, &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_begin_array(&w, &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_i64(&w, 0, &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_array_items_path(&w, "", path.c_str(), &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_end_array(&w, &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_finish(&w, &error);
    if (st != TAMSEL_STATUS_OK) tamsel_report("splice", error);
    tamsel_writer_cleanup(&w);
    tamsel_free(rt);
    *peak = static_cast<int64_t>(stats.peak_bytes);
    return st == TAMSEL_STATUS_OK ? bytes : 0;
}

} // namespace

void register_splice_benchmarks(const options &opt) {
    std::vector<uint64_t> sizes{16 * kMiB};
    if (!opt.quick) sizes.push_back(256 * kMiB);
    for (uint64_t size : sizes) {
        const std::string name = "writer-splice/" + generated_name(shape::array, size) + "/tamsel";
        if (!filter_matches(opt.filter, name)) continue;
        const std::string path = ensure_generated(opt.cache_dir, shape::array, size);
        benchmark::RegisterBenchmark(
            name.c_str(),
            [path](benchmark::State &state) {
                uint64_t out = 0;
                int64_t peak = 0;
                for (auto _ : state)
                    out = splice_file(path, &peak);
                if (!out) {
                    state.SkipWithError("the splice failed");
                    return;
                }
                const auto n = static_cast<int64_t>(std::filesystem::file_size(path));
                state.SetBytesProcessed(n * static_cast<int64_t>(state.iterations()));
                state.counters["output_bytes"] = static_cast<double>(out);
                state.counters["peak_heap"] = static_cast<double>(peak);
            })
            ->Iterations(1)
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench

// Array streams. extract over the generated arrays (records-*.json): tamsel's side, the items
// of the root array parsed one at a time into a bench_record through a reader over the bytes
// in memory (as the object-stream row reads), each folded into the checksum in order, then
// released (the peers collect every record; the checksum is the same). fd-array-stream: the
// same over the generated arrays read from a descriptor, 16 MiB to 1 GiB, with tamsel's peak
// heap (its allocation statistics): memory stays that of one item, MB/s stays flat.
#include "corpus.hpp"
#include "tamsel_side.hpp"

#include <benchmark/benchmark.h>
#include <tamsel.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

// Drains the stream into one record, folding each item as checksum(bench_records) folds a set.
bool fold_items(tamsel_array_stream *stream, bool check, uint64_t &result) {
    bench_record record{};
    fold f;
    uint64_t n = 0;
    tamsel_error error;
    tamsel_stream_result r;
    while ((r = stream->next(stream, &kTamselRecordMap, &record, &error)) == TAMSEL_STREAM_ITEM) {
        if (check) add(f, record);
        ++n;
    }
    tamsel_cleanup(&kTamselRecordMap, &record);
    if (r != TAMSEL_STREAM_END) tamsel_report("tamsel_array_stream_next", error);
    f.u64(n);
    result = check ? f.value() : n;
    return r == TAMSEL_STREAM_END;
}

outcome extract_tamsel(const input &in, bool check) {
    tamsel_buffer_reader reader;
    tamsel_buffer_reader_init(&reader, in.bytes.data(), in.bytes.size());
    tamsel_error error;
    tamsel_array_stream *s = tamsel_array_stream_open_reader(
        tamsel_bench_runtime(), nullptr, tamsel_buffer_reader_read, &reader, &error);
    if (!s) {
        tamsel_report("tamsel_array_stream_open_reader", error);
        return {0, in.bytes.size(), false};
    }
    uint64_t result = 0;
    const bool ok = fold_items(s, check, result);
    tamsel_array_stream_close(s);
    return {result, in.bytes.size(), ok};
}

} // namespace

side tamsel_array_extract_side(const input *in) {
    return {kTamsel, [in](bool check) { return extract_tamsel(*in, check); }};
}

void register_array_stream_benchmarks(const options &opt) {
    std::vector<uint64_t> sizes{16 * kMiB};
    if (!opt.quick) sizes.insert(sizes.end(), {256 * kMiB, 1024 * kMiB});
    for (uint64_t size : sizes) {
        const std::string input_name = generated_name(shape::array, size);
        const std::string name = "fd-array-stream/" + input_name + "/" + kTamsel;
        if (!filter_matches(opt.filter, name)) continue;
        const std::string path = ensure_generated(opt.cache_dir, shape::array, size);
        benchmark::RegisterBenchmark(
            name.c_str(),
            [path](benchmark::State &state) {
                uint64_t result = 0, bytes = 0;
                int64_t peak = 0;
                bool ok = false;
                for (auto _ : state) {
                    // The runtime lives inside the job, so the peak covers all tamsel allocated.
                    tamsel_alloc_stats stats{};
                    const tamsel_allocator allocator = tamsel_stats_allocator(&stats);
                    tamsel_config config = tamsel_default_config();
                    config.allocator = &allocator;
                    tamsel_runtime *rt = tamsel_new_or_throw(config);
                    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                    tamsel_error error;
                    tamsel_array_stream *s =
                        fd < 0 ? nullptr : tamsel_array_stream_open_fd(rt, nullptr, fd, &error);
                    ok = s && fold_items(s, true, result);
                    if (s) {
                        // The stream never reads past the end of the array: the file's length.
                        bytes = static_cast<uint64_t>(::lseek(fd, 0, SEEK_CUR));
                        tamsel_array_stream_close(s);
                    }
                    if (fd >= 0) ::close(fd);
                    tamsel_free(rt);
                    peak = static_cast<int64_t>(stats.peak_bytes);
                }
                if (!ok) {
                    state.SkipWithError("the array stream failed");
                    return;
                }
                char label[64];
                std::snprintf(label, sizeof label, "checksum=%016" PRIx64 " heap=library", result);
                state.SetBytesProcessed(static_cast<int64_t>(bytes));
                state.counters["bytes"] = static_cast<double>(bytes);
                state.counters["peak_heap"] = static_cast<double>(peak);
                state.SetLabel(label);
            })
            ->Iterations(1)
            ->Repetitions(1)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench

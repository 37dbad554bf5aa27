// tamsel_bench: prepares the inputs, checks that every side of every job agrees, then runs the
// benchmarks through Google Benchmark. Repetitions run in random interleaved order so that a
// drift of the machine spreads over all sides instead of favouring whichever ran first.
//
// Environment: BENCH_QUICK=1 (smoke run: short runs, no 256 MiB / 1 GiB inputs),
// BENCH_DATA_DIR (the six documents; default tests/data/corpus), BENCH_CACHE_DIR (generated inputs;
// default bench/cache). Google Benchmark's own flags pass through (--benchmark_filter=...).
#include "corpus.hpp"

#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <tamsel.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

} // namespace

int main(int argc, char **argv) {
    if (int rc = bench::curl_child_main(argc, argv); rc >= 0) return rc;
    if (int rc = bench::byte_io_child_main(argc, argv); rc >= 0) return rc;
    try {
        bench::options opt = bench::options_from_environment(argc, argv);
        bench::inputs in = bench::prepare_inputs(opt);

        bench::registry reg;
        bench::add_validate_groups(reg, in);
        bench::add_visit_groups(reg, in);
        bench::add_extract_groups(reg, in);
        bench::add_push_groups(reg, in);
        bench::add_serialize_groups(reg, in);
        bench::add_writer_groups(reg, in);
        bench::add_object_stream_groups(reg, in);
        bench::add_byte_io_groups(reg, in);
        bench::add_multipart_groups(reg, in);
        bench::add_cpp_layer_groups(reg, in);
        if (!reg.verify(opt)) return 1;
        reg.register_benchmarks(opt);
        bench::register_memory_benchmarks(opt, in);
        bench::register_array_stream_benchmarks(opt);
        bench::register_sse_benchmarks(opt);
        bench::register_curl_benchmarks(opt);
        bench::register_byte_io_benchmarks(opt);
        bench::register_rewrite_benchmarks(opt);
        bench::register_splice_benchmarks(opt);

        std::vector<char *> args(argv, argv + argc);
        std::string interleave = "--benchmark_enable_random_interleaving=true";
        args.insert(args.begin() + 1, interleave.data());
        int count = static_cast<int>(args.size());
        args.push_back(nullptr);
        benchmark::Initialize(&count, args.data());
        if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

        benchmark::AddCustomContext("cpu_model", cpu_model());
        benchmark::AddCustomContext("bench_mode", opt.quick ? "quick" : "full");
        benchmark::AddCustomContext("min_time", std::to_string(opt.min_time));
        benchmark::AddCustomContext("repetitions", std::to_string(opt.repetitions));
        benchmark::AddCustomContext("heavy_repetitions", std::to_string(opt.heavy_repetitions));
        benchmark::AddCustomContext("compiler", "gcc " __VERSION__);
        benchmark::AddCustomContext("tamsel_version", TAMSEL_VERSION_STRING);
        benchmark::AddCustomContext("simdjson_dom_kernel",
                                    simdjson::get_active_implementation()->name());
        // On Demand is compiled into this program; the macro names the kernel it was built for.
        benchmark::AddCustomContext("simdjson_ondemand_kernel",
                                    SIMDJSON_STRINGIFY(SIMDJSON_BUILTIN_IMPLEMENTATION));
        benchmark::AddCustomContext("stream_input", in.stream_name);

        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        if (bench::memory_failures()) {
            std::fprintf(stderr, "%d descriptor run(s) failed or disagreed\n",
                         bench::memory_failures());
            return 1;
        }
        if (bench::curl_benchmark_failures()) {
            std::fprintf(stderr, "%d curl run(s) failed or disagreed\n",
                         bench::curl_benchmark_failures());
            return 1;
        }
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tamsel_bench: %s\n", e.what());
        return 1;
    }
}

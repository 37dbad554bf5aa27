#include "harness.hpp"

#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

std::string env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}

// Before each benchmark, untimed: a side that freed millions of small blocks leaves them in
// malloc's fast bins, and the next large request consolidates them all, which would charge
// the next benchmark for tens of milliseconds. malloc_trim consolidates and returns the free
// memory now, so every benchmark starts from the same heap state.
void settle_heap() {
    malloc_trim(0);
}

std::string hex64(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
    return buf;
}

} // namespace

options options_from_environment(int argc, char **argv) {
    options opt;
    const std::string quick = env_or("BENCH_QUICK", "0");
    opt.quick = quick != "0";
    if (opt.quick) {
        opt.min_time = 0.05;
        opt.repetitions = 1;
        opt.heavy_repetitions = 1;
    }
    opt.data_dir = env_or("BENCH_DATA_DIR", TAMSEL_BENCH_DATA);
    opt.cache_dir = env_or("BENCH_CACHE_DIR", TAMSEL_BENCH_CACHE);
    opt.memory_exe = TAMSEL_BENCH_MEMORY_EXE;
    for (int i = 1; i < argc; ++i) {
        constexpr std::string_view flag = "--benchmark_filter=";
        if (std::string_view(argv[i]).starts_with(flag)) opt.filter = argv[i] + flag.size();
    }
    return opt;
}

bool filter_matches(const std::string &filter, const std::string &name) {
    if (filter.empty() || filter == "all" || filter == ".") return true;
    const bool negate = filter[0] == '-';
    const std::regex re(negate ? filter.substr(1) : filter);
    return std::regex_search(name, re) != negate;
}

bool registry::verify(const options &opt) {
    bool ok = true;
    size_t checked = 0;
    results_.assign(groups_.size(), {});
    for (size_t g = 0; g < groups_.size(); ++g) {
        const group &grp = groups_[g];
        const side *reference = nullptr;
        uint64_t reference_sum = 0;
        std::string report;
        bool group_ok = true;
        for (const side &s : grp.sides) {
            const std::string name = grp.job + "/" + grp.input + "/" + s.name;
            if (!filter_matches(opt.filter, name)) {
                results_[g].push_back({0, 0});
                continue;
            }
            outcome o = s.run(true);
            ++checked;
            results_[g].push_back({o.checksum, o.bytes});
            report += "    " + s.name + (s.limit ? " (limit)" : "") + ": " +
                      (o.ok ? hex64(o.checksum) : std::string("FAILED")) + "\n";
            if (!o.ok) {
                group_ok = false;
            } else if (!s.limit) {
                if (!reference) {
                    reference = &s;
                    reference_sum = o.checksum;
                } else if (o.checksum != reference_sum) {
                    group_ok = false;
                }
            }
        }
        if (!group_ok) {
            std::fprintf(stderr, "CHECKSUM MISMATCH in %s/%s: the sides disagree\n%s",
                         grp.job.c_str(), grp.input.c_str(), report.c_str());
            ok = false;
        }
    }
    std::fprintf(stderr, "verified %zu runs in %zu groups: %s\n", checked, groups_.size(),
                 ok ? "every side agrees" : "FAILED");
    return ok;
}

bool run_self_child(const std::vector<std::string> &args, void *out, size_t size) {
    std::vector<const char *> argv{"tamsel_bench"};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execv("/proc/self/exe", const_cast<char *const *>(argv.data()));
        ::_exit(127);
    }
    ::close(fds[1]);
    const bool ok = pid > 0 && ::read(fds[0], out, size) == static_cast<ssize_t>(size);
    ::close(fds[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return ok;
}

void registry::register_benchmarks(const options &opt) {
    for (size_t g = 0; g < groups_.size(); ++g) {
        const group &grp = groups_[g];
        if (grp.own_process) continue;
        for (size_t i = 0; i < grp.sides.size(); ++i) {
            const side &s = grp.sides[i];
            const std::string name = grp.job + "/" + grp.input + "/" + s.name;
            if (!filter_matches(opt.filter, name)) continue;
            const verified v = results_[g][i];
            const std::string label = "checksum=" + hex64(v.checksum);
            benchmark::RegisterBenchmark(name.c_str(),
                                         [run = s.run, v, label](benchmark::State &state) {
                                             settle_heap();
                                             for (auto _ : state) {
                                                 outcome o = run(false);
                                                 benchmark::DoNotOptimize(o);
                                                 if (!o.ok) {
                                                     state.SkipWithError("the side failed");
                                                     break;
                                                 }
                                             }
                                             state.SetBytesProcessed(
                                                 static_cast<int64_t>(state.iterations()) *
                                                 static_cast<int64_t>(v.bytes));
                                             state.counters["bytes"] = static_cast<double>(v.bytes);
                                             state.SetLabel(label);
                                         })
                ->MinTime(opt.min_time)
                ->Repetitions(grp.heavy ? opt.heavy_repetitions : opt.repetitions)
                ->DisplayAggregatesOnly(true)
                ->MeasureProcessCPUTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

} // namespace bench

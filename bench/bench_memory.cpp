// fd-validate, fd-object-stream: the validate and object-stream jobs over the 1 GiB JSON Lines
// file (16 MiB with BENCH_QUICK) read from a descriptor; fd-array-stream: the items of the
// 1 GiB generated array (16 MiB with BENCH_QUICK) from a descriptor, tamsel against RapidJSON; one
// child process per side (tamsel_bench_memory, see memory_child.cpp) so that each has a peak RSS of
// its own. The benchmark's time is the child's CPU time over the job; its counters carry peak_heap
// and peak_rss. Sides of a job must agree on the result; a disagreement fails the run.
#include "corpus.hpp"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench {

namespace {

int failures = 0;

struct child_report {
    bool ok = false;
    std::string error;
    uint64_t result = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    int64_t heap_peak = 0;
    std::string heap_source;
    int64_t peak_rss = 0;
    int64_t process_heap = 0; // the process heap's growth, whatever heap_peak measured
};

// Runs the child with `args` and collects its standard output.
bool run_child(const std::string &exe, const std::vector<std::string> &args, std::string &out,
               std::string &error) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return error = std::strerror(errno), false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipefd[0]);
    posix_spawn_file_actions_addclose(&actions, pipefd[1]);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipefd[1]);
    if (rc != 0) {
        ::close(pipefd[0]);
        error = "cannot start " + exe + ": " + std::strerror(rc);
        return false;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(pipefd[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(pipefd[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = exe + " failed (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

child_report measure(const options &opt, const std::string &job, const std::string &side,
                     const std::string &path) {
    child_report r;
    std::string out;
    if (!run_child(opt.memory_exe, {job, side, path}, out, r.error)) return r;
    unsigned long long result, bytes;
    long long heap, rss, process_heap;
    char source[16] = {0};
    if (std::sscanf(out.c_str(),
                    "result=%llx bytes=%llu seconds=%lf heap_peak=%lld heap=%15s peak_rss=%lld"
                    " process_heap=%lld",
                    &result, &bytes, &r.seconds, &heap, source, &rss, &process_heap) != 7) {
        r.error = "unreadable report: " + out;
        return r;
    }
    r.ok = true;
    r.result = result;
    r.bytes = bytes;
    r.heap_peak = heap;
    r.heap_source = source;
    r.peak_rss = rss;
    r.process_heap = process_heap;
    return r;
}

struct listed {
    std::string job, side;
    bool limit;
};

std::vector<listed> list_sides(const options &opt) {
    std::string out, error;
    std::vector<listed> sides;
    if (!run_child(opt.memory_exe, {"--list"}, out, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        ++failures;
        return sides;
    }
    char job[64], side[64];
    int limit, used;
    for (const char *p = out.c_str();
         std::sscanf(p, "%63s %63s %d\n%n", job, side, &limit, &used) == 3; p += used) {
        sides.push_back({job, side, limit != 0});
    }
    return sides;
}

// The first result each job saw, and from which side.
std::map<std::string, std::pair<uint64_t, std::string>> &first_results() {
    static std::map<std::string, std::pair<uint64_t, std::string>> results;
    return results;
}

} // namespace

int memory_failures() {
    return failures;
}

void register_memory_benchmarks(const options &opt, const inputs &in) {
    for (const listed &l : list_sides(opt)) {
        const std::string job = "fd-" + l.job;
        const bool array = l.job == "array-stream";
        const std::string name =
            job + "/" + (array ? in.array_stream_name : in.stream_name) + "/" + l.side;
        if (!filter_matches(opt.filter, name)) continue;
        benchmark::RegisterBenchmark(
            name.c_str(),
            [opt, l, job,
             path = array ? in.array_stream_path : in.stream_path](benchmark::State &state) {
                child_report r;
                for (auto _ : state) {
                    r = measure(opt, l.job, l.side, path);
                    state.SetIterationTime(r.seconds);
                }
                if (!r.ok) {
                    ++failures;
                    state.SkipWithError(r.error.c_str());
                    return;
                }
                char label[96];
                std::snprintf(label, sizeof label, "checksum=%016" PRIx64 " heap=%s", r.result,
                              r.heap_source.c_str());
                if (!l.limit) {
                    auto [it, fresh] = first_results().try_emplace(job, r.result, l.side);
                    if (!fresh && it->second.first != r.result) {
                        ++failures;
                        std::fprintf(stderr,
                                     "CHECKSUM MISMATCH in %s: %s gave %016" PRIx64
                                     ", %s gave %016" PRIx64 "\n",
                                     job.c_str(), it->second.second.c_str(), it->second.first,
                                     l.side.c_str(), r.result);
                        state.SkipWithError("result differs from another side's");
                        return;
                    }
                }
                state.SetBytesProcessed(static_cast<int64_t>(r.bytes));
                state.counters["bytes"] = static_cast<double>(r.bytes);
                state.counters["peak_heap"] = static_cast<double>(r.heap_peak);
                state.counters["peak_rss"] = static_cast<double>(r.peak_rss);
                state.counters["process_heap"] = static_cast<double>(r.process_heap);
                state.SetLabel(label);
            })
            ->Iterations(1)
            ->Repetitions(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench

// owned-buffer and spool: the byte pipes under every parser and writer, against their plain
// equivalents in the same run.
//   owned-buffer: appending pieces of 16 bytes and of 64 KiB to a tamsel_owned_buffer through
//                 its sink, against std::string::append (64 MiB in all; 8 MiB quick).
//   spool:        256 MiB (16 MiB quick) written in 64 KiB pieces to a spooled value with a
//                 64 KiB memory limit and read back, against fwrite and fread on a tmpfile().
// The checksum folds the bytes read back (or kept), so both sides must hold the same bytes.
// Each measurement runs in a fresh process (this program re-executed with --byte-io-child):
// in the runner these rows timed the heap the row before them left, not the appends. After
// the jansson extract row tamsel's 64 KiB appends took 4.5 ms and std::string's 15 ms; after
// cjson's, 52 ms and 15 ms; alone, 30 ms and 48 ms.
#include "corpus.hpp"

#include <benchmark/benchmark.h>
#include <tamsel.h>

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr const char *kStdString = "std-string";
constexpr const char *kStdio = "stdio";

bool quick_mode() {
    const char *q = std::getenv("BENCH_QUICK");
    return q && *q && std::strcmp(q, "0") != 0;
}

// A deterministic 64 KiB pattern every side copies from.
const std::vector<unsigned char> &pattern() {
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(65536);
        uint32_t x = 2463534242u;
        for (auto &c : b) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<unsigned char>(x);
        }
        return b;
    }();
    return bytes;
}

uint64_t fold(uint64_t h, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

outcome append_owned(size_t total, size_t piece, bool check) {
    const unsigned char *src = pattern().data();
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    tamsel_error e;
    bool ok = true;
    for (size_t done = 0; done < total && ok; done += piece)
        ok = tamsel_owned_buffer_sink(&b, src + (done % 65536), piece, &e) == TAMSEL_STATUS_OK;
    uint64_t sum = check && b.data ? fold(14695981039346656037ull,
                                          reinterpret_cast<unsigned char *>(b.data), b.len)
                                   : 0;
    tamsel_owned_buffer_free(&b);
    return {sum, total, ok};
}

outcome append_string(size_t total, size_t piece, bool check) {
    const char *src = reinterpret_cast<const char *>(pattern().data());
    std::string s;
    for (size_t done = 0; done < total; done += piece)
        s.append(src + (done % 65536), piece);
    uint64_t sum = check ? fold(14695981039346656037ull,
                                reinterpret_cast<const unsigned char *>(s.data()), s.size())
                         : 0;
    return {sum, total, true};
}

outcome spool_tamsel(size_t total, bool check) {
    tamsel_spool_options o = tamsel__default_spool_options();
    o.memory_limit = 65536;
    o.max_bytes = 0;
    tamsel_spooled s;
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    tamsel_error e;
    bool ok = true;
    for (size_t done = 0; done < total && ok; done += 65536)
        ok = tamsel_spooled_append(&s, pattern().data(), 65536, &e) == TAMSEL_STATUS_OK;
    ok = ok && tamsel_spooled_rewind(&s, &e) == TAMSEL_STATUS_OK;
    std::vector<unsigned char> buf(65536);
    uint64_t sum = 14695981039346656037ull;
    size_t read = 0;
    while (ok) {
        tamsel_read_result r = tamsel_spooled_read(&s, buf.data(), buf.size());
        if (r.error_code) ok = false;
        if (check) sum = fold(sum, buf.data(), r.bytes);
        read += r.bytes;
        if (r.eof || r.bytes == 0) break;
    }
    tamsel_spooled_cleanup(&s);
    return {check ? sum : 0, total, ok && read == total};
}

outcome spool_stdio(size_t total, bool check) {
    FILE *f = std::tmpfile();
    if (!f) return {0, total, false};
    bool ok = true;
    for (size_t done = 0; done < total && ok; done += 65536)
        ok = std::fwrite(pattern().data(), 1, 65536, f) == 65536;
    ok = ok && std::fflush(f) == 0 && std::fseek(f, 0, SEEK_SET) == 0;
    std::vector<unsigned char> buf(65536);
    uint64_t sum = 14695981039346656037ull;
    size_t read = 0;
    while (ok) {
        size_t n = std::fread(buf.data(), 1, buf.size(), f);
        if (check) sum = fold(sum, buf.data(), n);
        read += n;
        if (n < buf.size()) break;
    }
    std::fclose(f);
    return {check ? sum : 0, total, ok && read == total};
}

// The rows, for the verification in the runner and for the measuring child alike.
std::vector<group> byte_io_groups() {
    std::vector<group> groups;
    const size_t owned_total = (quick_mode() ? 8u : 64u) << 20;
    for (size_t piece : {size_t{16}, size_t{65536}}) {
        group g{"owned-buffer", piece == 16 ? "16-byte pieces" : "64 KiB pieces", {}, false, true};
        g.sides.push_back(
            {kTamsel, [=](bool check) { return append_owned(owned_total, piece, check); }});
        g.sides.push_back(
            {kStdString, [=](bool check) { return append_string(owned_total, piece, check); }});
        groups.push_back(std::move(g));
    }
    const size_t spool_total = (quick_mode() ? 16u : 256u) << 20;
    group g{"spool",
            quick_mode() ? "16 MiB, 64 KiB in memory" : "256 MiB, 64 KiB in memory",
            {},
            true,
            true};
    g.sides.push_back({kTamsel, [=](bool check) { return spool_tamsel(spool_total, check); }});
    g.sides.push_back({kStdio, [=](bool check) { return spool_stdio(spool_total, check); }});
    groups.push_back(std::move(g));
    return groups;
}

double process_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// What a child measured: the median CPU time of its timed runs, and the checksum of one more.
struct child_report {
    bool ok = false;
    double seconds = 0;
    uint64_t runs = 0, bytes = 0, checksum = 0;
};

// Runs `name`'s side in a fresh process and reads back what it measured.
child_report measure(const std::string &name, double min_time) {
    child_report r;
    if (!run_self_child({"--byte-io-child", name, std::to_string(min_time)}, &r, sizeof r))
        r.ok = false;
    return r;
}

} // namespace

void add_byte_io_groups(registry &r, const inputs &) {
    for (group &g : byte_io_groups())
        r.add(std::move(g));
}

void register_byte_io_benchmarks(const options &opt) {
    for (const group &g : byte_io_groups()) {
        for (const side &s : g.sides) {
            const std::string name = g.job + "/" + g.input + "/" + s.name;
            if (!filter_matches(opt.filter, name)) continue;
            const double min_time = opt.min_time;
            benchmark::RegisterBenchmark(name.c_str(),
                                         [name, min_time](benchmark::State &state) {
                                             child_report r;
                                             for (auto _ : state) {
                                                 r = measure(name, min_time);
                                                 state.SetIterationTime(r.seconds);
                                             }
                                             if (!r.ok) {
                                                 state.SkipWithError("the side failed");
                                                 return;
                                             }
                                             char label[40];
                                             std::snprintf(label, sizeof label,
                                                           "checksum=%016" PRIx64, r.checksum);
                                             state.SetLabel(label);
                                             state.SetBytesProcessed(static_cast<int64_t>(r.bytes));
                                             state.counters["bytes"] = static_cast<double>(r.bytes);
                                         })
                ->Iterations(1)
                ->Repetitions(opt.repetitions) // short runs: a median of three, whatever the size
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

int byte_io_child_main(int argc, char **argv) {
    if (argc != 4 || std::strcmp(argv[1], "--byte-io-child") != 0) return -1;
    const std::string wanted = argv[2];
    const double min_time = std::strtod(argv[3], nullptr);
    child_report out;
    for (const group &g : byte_io_groups()) {
        for (const side &s : g.sides) {
            if (g.job + "/" + g.input + "/" + s.name != wanted) continue;
            // Timed runs until min_time has passed and at least three ran; the median run is the
            // time, so that one run slowed by the machine (on this VM, first touches of memory
            // the host has taken back cost up to ten times the job) does not decide it. Then one
            // checked run.
            std::vector<double> times;
            double spent = 0;
            out.ok = true;
            while (out.ok && (times.size() < 3 || spent < min_time)) {
                const double start = process_seconds();
                const outcome o = s.run(false);
                times.push_back(process_seconds() - start);
                spent += times.back();
                out.ok = o.ok;
            }
            const outcome checked = s.run(true);
            out.ok = out.ok && checked.ok;
            out.checksum = checked.checksum;
            out.bytes = checked.bytes;
            out.runs = times.size();
            std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
            out.seconds = times[times.size() / 2];
        }
    }
    return ::write(1, &out, sizeof out) == sizeof out ? 0 : 1;
}

} // namespace bench

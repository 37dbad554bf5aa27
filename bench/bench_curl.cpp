// curl-array: a JSON array of 256 MiB (16 MiB under BENCH_QUICK, BENCH_CURL_MIB MiB when set)
// served over loopback by a server process of its own, downloaded with libcurl. tamsel's side
// parses the items one at a time as the body arrives (tamsel_curl_array_parse into one record);
// RapidJSON's side has libcurl append the body to a growing buffer, then runs its SAX reader over
// it. Each side runs in a fresh process per measurement, so wall time, peak RSS and peak heap are
// its own (peak_heap: tamsel's allocation statistics; the buffer's capacity for the other side).
// Both sides fold the same sum of ids and item count; a disagreement fails the run.
#include "harness.hpp"
#include "tamsel_side.hpp"

#if TAMSEL_BENCH_CURL

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <rapidjson/reader.h>
#include <tamsel.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

namespace {

struct item {
    int64_t id;
    char *name;
    double score;
};
const tamsel_field item_fields[] = {
    {TAMSEL_KEY("id"), offsetof(item, id), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
    {TAMSEL_KEY("name"), offsetof(item, name), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, nullptr,
     0, 0},
    {TAMSEL_KEY("score"), offsetof(item, score), TAMSEL_FIELD_F64, 0, 0, 0, 0, 0, nullptr, nullptr,
     0, 0}};
const tamsel_map item_map = {"item", sizeof(item), item_fields, 3, &item_map, nullptr};

pid_t server_pid = -1;
uint16_t server_port = 0;

// The server child: builds the body, then serves it whole to every connection until killed.
[[noreturn]] void serve(int listener, size_t target) {
    std::string body = "[";
    for (uint64_t i = 0; body.size() < target; ++i) {
        char item_text[160];
        std::snprintf(item_text, sizeof item_text,
                      "%s{\"id\":%" PRIu64 ",\"name\":\"item \\\"%" PRIu64
                      "\\\" of the bench\",\"score\":%" PRIu64 ".25,\"tags\":[\"a\",\"b\"]}",
                      i ? "," : "", i, i, i % 1000);
        body += item_text;
    }
    body += "]";
    for (;;) {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        char request[4096];
        (void)::recv(fd, request, sizeof request, 0);
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        bool ok = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (size_t at = 0; ok && at < body.size();) {
            ssize_t k = ::send(fd, body.data() + at, body.size() - at, MSG_NOSIGNAL);
            ok = k > 0;
            at += ok ? static_cast<size_t>(k) : 0;
        }
        ::close(fd);
    }
}

void stop_server() {
    if (server_pid > 0) {
        ::kill(server_pid, SIGTERM);
        ::waitpid(server_pid, nullptr, 0);
        server_pid = -1;
    }
}

bool start_server(size_t target) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return false;
    server_port = ntohs(a.sin_port);
    server_pid = ::fork();
    if (server_pid == 0) serve(listener, target);
    ::close(listener);
    std::atexit(stop_server);
    return server_pid > 0;
}

struct report {
    bool ok = false;
    uint64_t checksum = 0, bytes = 0;
    double seconds = 0;
    uint64_t peak_heap = 0;
    long peak_rss_kb = 0;
};

CURL *easy(curl_write_callback write, void *user) {
    CURL *c = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + std::to_string(server_port) + "/";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, user);
    return c;
}

struct sum {
    uint64_t ids = 0, count = 0;
};

tamsel_status add_item(void *user, void *destination) {
    auto *s = static_cast<sum *>(user);
    s->ids += static_cast<uint64_t>(static_cast<item *>(destination)->id);
    ++s->count;
    return TAMSEL_STATUS_OK;
}

report tamsel_side() {
    report r;
    tamsel_alloc_stats stats{};
    tamsel_allocator alloc = tamsel_stats_allocator(&stats);
    tamsel_config config = tamsel_default_config();
    config.allocator = &alloc;
    tamsel_runtime *rt = tamsel_new(&config, nullptr);
    item record{};
    sum s;
    tamsel_curl_array_parse adapter;
    if (tamsel_curl_array_parse_init(&adapter, rt, nullptr, &item_map, &record, add_item, &s))
        return r;
    CURL *c = easy(tamsel_curl_array_write_callback, &adapter);
    const CURLcode code = curl_easy_perform(c);
    curl_off_t bytes = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
    curl_easy_cleanup(c);
    r.ok = code == CURLE_OK && tamsel_curl_array_parse_finish(&adapter) == TAMSEL_STATUS_OK;
    if (!r.ok) std::fprintf(stderr, "curl-array tamsel: %s\n", adapter.error.message);
    tamsel_curl_array_parse_cleanup(&adapter);
    tamsel_cleanup(&item_map, &record);
    tamsel_free(rt);
    r.checksum = s.ids * 31 + s.count;
    r.bytes = static_cast<uint64_t>(bytes);
    r.peak_heap = stats.peak_bytes;
    return r;
}

struct growing {
    char *data = nullptr;
    size_t length = 0, capacity = 0;
};

size_t append_body(char *bytes, size_t size, size_t n, void *user) {
    auto *g = static_cast<growing *>(user);
    const size_t k = size * n;
    if (g->length + k + 1 > g->capacity) {
        size_t cap = g->capacity ? g->capacity : 65536;
        while (cap < g->length + k + 1)
            cap *= 2;
        char *p = static_cast<char *>(std::realloc(g->data, cap));
        if (!p) return 0;
        g->data = p;
        g->capacity = cap;
    }
    std::memcpy(g->data + g->length, bytes, k);
    g->length += k;
    g->data[g->length] = '\0';
    return k;
}

// Sums the "id" members of the root array's objects.
struct id_sum : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, id_sum> {
    sum s;
    unsigned depth = 0;
    bool id_next = false;
    bool Key(const char *k, rapidjson::SizeType n, bool) {
        id_next = depth == 2 && n == 2 && k[0] == 'i' && k[1] == 'd';
        return true;
    }
    bool Uint(unsigned v) { return Uint64(v); }
    bool Int(int v) { return Uint64(static_cast<uint64_t>(v)); }
    bool Int64(int64_t v) { return Uint64(static_cast<uint64_t>(v)); }
    bool Uint64(uint64_t v) {
        if (id_next) s.ids += v;
        id_next = false;
        return true;
    }
    bool Default() {
        id_next = false;
        return true;
    }
    bool StartObject() {
        if (++depth == 2) ++s.count;
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth;
        return true;
    }
    bool StartArray() {
        ++depth;
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }
};

report rapidjson_side() {
    report r;
    growing g;
    CURL *c = easy(append_body, &g);
    const CURLcode code = curl_easy_perform(c);
    curl_easy_cleanup(c);
    id_sum handler;
    rapidjson::Reader reader;
    rapidjson::InsituStringStream in(g.data ? g.data : const_cast<char *>(""));
    r.ok = code == CURLE_OK && !reader.Parse<rapidjson::kParseInsituFlag>(in, handler).IsError();
    r.checksum = handler.s.ids * 31 + handler.s.count;
    r.bytes = g.length;
    r.peak_heap = g.capacity;
    std::free(g.data);
    return r;
}

// Runs one side in a fresh process (this program re-executed with --curl-child, so none of
// the runner's inputs count in its RSS) and reads back what it measured.
report measure(bool tamsel) {
    report r;
    if (!run_self_child(
            {"--curl-child", tamsel ? "tamsel" : "rapidjson", std::to_string(server_port)}, &r,
            sizeof r))
        r.ok = false;
    return r;
}

// The high-water mark of this process's resident set (VmHWM) in KiB. Not getrusage's ru_maxrss:
// that survives execve, so it would report the forked copy of the runner with all its inputs.
long peak_rss_kib() {
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib;
}

uint64_t first_checksum = 0;
bool have_checksum = false;
int curl_failures = 0;

} // namespace

void register_curl_benchmarks(const options &opt) {
    // BENCH_CURL_MIB sets the array's size (for the full row under BENCH_QUICK).
    const char *mib_text = std::getenv("BENCH_CURL_MIB");
    const size_t mib = mib_text ? std::strtoul(mib_text, nullptr, 10) : opt.quick ? 16 : 256;
    const std::string input = std::to_string(mib) + "m";
    const bool wanted = filter_matches(opt.filter, "curl-array/" + input + "/tamsel") ||
                        filter_matches(opt.filter, "curl-array/" + input + "/rapidjson");
    if (!wanted || !mib || !start_server(mib << 20)) return;
    for (bool tamsel : {true, false}) {
        const std::string name =
            "curl-array/" + input + "/" + (tamsel ? "tamsel" : "rapidjson-buffer-sax");
        benchmark::RegisterBenchmark(
            name.c_str(),
            [tamsel](benchmark::State &state) {
                report r;
                for (auto _ : state) {
                    r = measure(tamsel);
                    state.SetIterationTime(r.seconds);
                }
                if (!r.ok || (have_checksum && r.checksum != first_checksum)) {
                    ++curl_failures;
                    state.SkipWithError(r.ok ? "result differs from the other side's"
                                             : "transfer or parse failed");
                    return;
                }
                first_checksum = r.checksum;
                have_checksum = true;
                char label[64];
                std::snprintf(label, sizeof label, "checksum=%016" PRIx64, r.checksum);
                state.SetLabel(label);
                state.SetBytesProcessed(static_cast<int64_t>(r.bytes));
                state.counters["peak_heap"] = static_cast<double>(r.peak_heap);
                state.counters["peak_rss"] = static_cast<double>(r.peak_rss_kb) * 1024;
            })
            ->Iterations(1)
            ->Repetitions(opt.quick ? 1 : 3) // a median of three: one slow transfer is not the row
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

int curl_benchmark_failures() {
    return curl_failures;
}

int curl_child_main(int argc, char **argv) {
    if (argc != 4 || std::strcmp(argv[1], "--curl-child") != 0) return -1;
    server_port = static_cast<uint16_t>(std::atoi(argv[3]));
    const bool tamsel = std::strcmp(argv[2], "tamsel") == 0;
    const auto start = std::chrono::steady_clock::now();
    report out = tamsel ? tamsel_side() : rapidjson_side();
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.peak_rss_kb = peak_rss_kib();
    return ::write(1, &out, sizeof out) == sizeof out ? 0 : 1;
}

} // namespace bench

#else

namespace bench {
int curl_child_main(int, char **) {
    return -1;
}
void register_curl_benchmarks(const options &) {}
int curl_benchmark_failures() {
    return 0;
}
} // namespace bench

#endif

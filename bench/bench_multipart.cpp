// multipart: a 256 MiB form upload (16 MiB quick) read by tamsel_multipart_push in 64 KiB
// pieces, against memmem scanning the same buffer for the line break and delimiter that end
// each part (the limit of the job: no header is read, nothing is delivered). The body holds
// four large binary file parts (CR, LF and "--" among their bytes) and many small text fields.
// tamsel's side runs with a counting allocator and fails when its heap peak passes 1 MiB.
#include "corpus.hpp"
#include "tamsel_side.hpp"

#include <tamsel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

namespace {

constexpr const char *kMemmem = "memmem";
constexpr const char *kBoundary = "----tamselFormBoundary7MA4YWxkTrZu0gW";
constexpr size_t kPiece = 65536;
constexpr uint64_t kHeapCeiling = 1u << 20;

bool quick_mode() {
    const char *q = std::getenv("BENCH_QUICK");
    return q && *q && std::strcmp(q, "0") != 0;
}

const std::string &form_body() {
    static const std::string body = [] {
        const size_t total = (quick_mode() ? 16u : 256u) << 20;
        const std::string delimiter = std::string("--") + kBoundary;
        std::string b;
        b.reserve(total + 4096);
        uint32_t x = 2463534242u;
        size_t field = 0;
        for (int file = 0; file < 4; ++file) {
            // Small fields between the files: about a tenth of the body.
            for (size_t f = 0; f < total / 10 / 4 / 160; ++f, ++field)
                b += delimiter + "\r\nContent-Disposition: form-data; name=\"field" +
                     std::to_string(field) + "\"\r\n\r\nvalue of field " + std::to_string(field) +
                     ", some text\r\n";
            b += delimiter + "\r\nContent-Disposition: form-data; name=\"file" +
                 std::to_string(file) + "\"; filename=\"upload" + std::to_string(file) +
                 ".bin\"\r\nContent-Type: application/octet-stream\r\n\r\n";
            const size_t size = total * 9 / 10 / 4;
            for (size_t i = 0; i < size; ++i) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                b += static_cast<char>(x % 997 == 0 ? '-' : x);
            }
            b += "\r\n";
        }
        b += delimiter + "--\r\n";
        return b;
    }();
    return body;
}

struct counts {
    uint64_t parts = 0;
    uint64_t bytes = 0;
    uint64_t fold = 14695981039346656037ull;
};

int on_data(void *user, const void *, size_t n, tamsel_error *) {
    auto *c = static_cast<counts *>(user);
    c->bytes += n;
    return 0;
}
int on_data_folded(void *user, const void *bytes, size_t n, tamsel_error *) {
    auto *c = static_cast<counts *>(user);
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < n; ++i)
        c->fold = (c->fold ^ p[i]) * 1099511628211ull;
    c->bytes += n;
    return 0;
}
int on_end(void *user, const tamsel_multipart_part *, tamsel_error *) {
    static_cast<counts *>(user)->parts += 1;
    return 0;
}

struct heap_stats {
    tamsel_alloc_stats stats{};
    tamsel_allocator allocator = tamsel_stats_allocator(&stats);
};

outcome run_tamsel(bool check) {
    const std::string &body = form_body();
    heap_stats heap;
    tamsel_multipart_options o = tamsel_default_multipart_options();
    o.allocator = &heap.allocator;
    const std::string type = std::string("multipart/form-data; boundary=") + kBoundary;
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(type.c_str(), &o, &e);
    if (!p) return {0, body.size(), false};
    counts c;
    const tamsel_multipart_callbacks cb{nullptr, check ? on_data_folded : on_data, on_end};
    bool ok = true;
    for (size_t at = 0; at < body.size() && ok; at += kPiece) {
        const size_t n = std::min(kPiece, body.size() - at);
        ok = tamsel_multipart_push(p, body.data() + at, n, &cb, &c, &e) == TAMSEL_STATUS_OK;
    }
    ok = ok && tamsel_multipart_finish(p, nullptr, nullptr, &e) == TAMSEL_STATUS_OK;
    tamsel_multipart_close(p);
    if (!ok) std::fprintf(stderr, "multipart: %s\n", e.message);
    if (heap.stats.peak_bytes > kHeapCeiling) {
        std::fprintf(stderr, "multipart: heap peak %llu bytes over the 1 MiB ceiling\n",
                     static_cast<unsigned long long>(heap.stats.peak_bytes));
        ok = false;
    }
    if (check)
        std::fprintf(stderr, "multipart: %llu parts, %llu data bytes, heap peak %llu bytes\n",
                     static_cast<unsigned long long>(c.parts),
                     static_cast<unsigned long long>(c.bytes),
                     static_cast<unsigned long long>(heap.stats.peak_bytes));
    return {c.fold ^ c.parts ^ (c.bytes << 20), body.size(), ok};
}

// The limit: every "\r\n--boundary" found with memmem, the bytes between them counted.
outcome run_memmem(bool) {
    const std::string &body = form_body();
    const std::string needle = std::string("\r\n--") + kBoundary;
    const char *at = body.data(), *end = body.data() + body.size();
    uint64_t parts = 0, bytes = 0;
    while (const void *hit = memmem(at, size_t(end - at), needle.data(), needle.size())) {
        bytes += static_cast<uint64_t>(static_cast<const char *>(hit) - at);
        ++parts;
        at = static_cast<const char *>(hit) + needle.size();
    }
    return {parts ^ (bytes << 20), body.size(), true};
}

} // namespace

void add_multipart_groups(registry &r, const inputs &) {
    group g{"multipart", quick_mode() ? "form-16m" : "form-256m", {}, true};
    g.sides.push_back({kTamsel, run_tamsel});
    g.sides.push_back({kMemmem, run_memmem, true});
    r.add(std::move(g));
}

} // namespace bench

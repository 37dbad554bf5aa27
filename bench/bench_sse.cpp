// Server-Sent Events. A generated event stream of JSON payloads held in memory (256 MiB; 16 MiB
// with BENCH_QUICK), in two shapes: "tokens", an LLM-style token stream of many small events
// ({"index":N,"text":" word","logprob":-0.5}, with keep-alive comments), and "large", events of
// about 32 KiB whose object spans eight data lines. Rows, in one run:
//   tamsel-callbacks  tamsel_sse_push in 64 KiB pieces, callbacks only (data bytes counted)
//   tamsel-json       tamsel_sse_push_json into one reused record per event
//   memchr-rapidjson  the baseline: lines split with memchr, each event's data lines gathered
//                     into one buffer and parsed by RapidJSON's Reader into the same record
// Each row reports events/s, MB/s and, for tamsel, its peak heap (its allocation statistics:
// the parser, its buffers, the runtime and the record's strings). Every row's checksum
// (index sum and text bytes) must agree before anything is timed.
#include "corpus.hpp"
#include "harness.hpp"
#include "tamsel_side.hpp"

#include <benchmark/benchmark.h>
#include <rapidjson/reader.h>
#include <tamsel.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace bench {

namespace {

struct sse_record {
    int64_t index;
    double logprob;
    char *text[8];
};

const tamsel_field kSseFields[] = {
    {TAMSEL_KEY("index"), offsetof(sse_record, index), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("logprob"), offsetof(sse_record, logprob), TAMSEL_FIELD_F64, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("text"), offsetof(sse_record, text[0]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p1"), offsetof(sse_record, text[1]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p2"), offsetof(sse_record, text[2]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p3"), offsetof(sse_record, text[3]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p4"), offsetof(sse_record, text[4]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p5"), offsetof(sse_record, text[5]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p6"), offsetof(sse_record, text[6]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
    {TAMSEL_KEY("p7"), offsetof(sse_record, text[7]), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
     nullptr, 0, 0},
};
const tamsel_map kSseMap = {"sse_record", sizeof(sse_record), kSseFields, 10, &kSseMap, nullptr};

constexpr size_t kPiece = 64 * 1024;

const char *const kWords[] = {" the",   " stream", " of", " tokens", ",",     " each",    " one",
                              " event", " with",   " a",  " small",  " JSON", " payload", "."};

std::string generate(bool large, size_t size) {
    std::string out;
    out.reserve(size + 65536);
    uint64_t n = 0;
    char line[256];
    while (out.size() < size) {
        ++n;
        if (!large) {
            const char *w = kWords[n % (sizeof kWords / sizeof *kWords)];
            std::snprintf(line, sizeof line,
                          "event: delta\nid: %" PRIu64 "\ndata: {\"index\":%" PRIu64
                          ",\"text\":\"%s\",\"logprob\":-0.%03u}\n\n",
                          n, n, w, static_cast<unsigned>(n % 997));
            out += line;
            if (n % 64 == 0) out += ": keep-alive\n\n";
            continue;
        }
        std::snprintf(line, sizeof line, "event: chunk\r\ndata: {\"index\":%" PRIu64 ",\r\n", n);
        out += line;
        for (int p = 0; p < 8; ++p) {
            out += p == 0 ? "data: \"text\":\"" : "data: \"p" + std::to_string(p) + "\":\"";
            for (int k = 0; k < 4000 / 40; ++k)
                out += "lorem ipsum dolor sit amet \\u00e9 \\n 0123";
            out += "\",\r\n";
        }
        out += "data: \"logprob\":-1.25}\r\n\r\n";
    }
    return out;
}

struct tally {
    uint64_t events = 0, checksum = 0;
    void add(const sse_record &r) {
        ++events;
        checksum += static_cast<uint64_t>(r.index);
        for (char *t : r.text)
            if (t) checksum += std::strlen(t);
    }
};

int count_end(void *user, const tamsel_sse_event *e, tamsel_error *) {
    auto *t = static_cast<tally *>(user);
    ++t->events;
    t->checksum += e->data_bytes;
    return 0;
}

int add_record(void *user, const tamsel_sse_event *, void *dst, tamsel_error *) {
    static_cast<tally *>(user)->add(*static_cast<const sse_record *>(dst));
    return 0;
}

// One tamsel run; `json` picks the family. Returns false on a failure.
bool run_tamsel(const std::string &text, bool json, tally &t, uint64_t *peak) {
    tamsel_alloc_stats stats{};
    const tamsel_allocator allocator = tamsel_stats_allocator(&stats);
    tamsel_config config = tamsel_default_config();
    config.allocator = &allocator;
    tamsel_runtime *rt = tamsel_new(&config, nullptr);
    tamsel_sse_options o = tamsel_default_sse_options();
    o.allocator = &allocator;
    tamsel_sse *s = tamsel_sse_open(&o, nullptr);
    const tamsel_sse_callbacks cb{nullptr, nullptr, count_end};
    sse_record r{};
    tamsel_error e;
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t at = 0; at < text.size() && st == TAMSEL_STATUS_OK; at += kPiece) {
        const size_t n = std::min(kPiece, text.size() - at);
        st = json ? tamsel_sse_push_json(rt, s, &kSseMap, &r, text.data() + at, n, nullptr,
                                         add_record, &t, &e)
                  : tamsel_sse_push(s, text.data() + at, n, &cb, &t, &e);
    }
    if (st == TAMSEL_STATUS_OK)
        st = json ? tamsel_sse_finish_json(rt, s, &kSseMap, &r, nullptr, add_record, &t, &e)
                  : tamsel_sse_finish(s, &cb, &t, &e);
    if (st != TAMSEL_STATUS_OK) std::fprintf(stderr, "tamsel sse: %s\n", e.message);
    tamsel_sse_close(s);
    tamsel_cleanup(&kSseMap, &r);
    tamsel_free(rt);
    *peak = stats.peak_bytes;
    return st == TAMSEL_STATUS_OK;
}

// The baseline's SAX handler: the record's fields by key, strings copied like tamsel's.
struct record_handler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, record_handler> {
    sse_record *r;
    int field = -1;
    bool Key(const char *k, rapidjson::SizeType n, bool) {
        field = -1;
        if (n == 5 && std::memcmp(k, "index", 5) == 0) field = 100;
        if (n == 7 && std::memcmp(k, "logprob", 7) == 0) field = 101;
        if (n == 4 && std::memcmp(k, "text", 4) == 0) field = 0;
        if (n == 2 && k[0] == 'p' && k[1] >= '1' && k[1] <= '7') field = k[1] - '0';
        return true;
    }
    bool String(const char *s, rapidjson::SizeType n, bool) {
        if (field >= 0 && field < 8) {
            char *copy = static_cast<char *>(std::realloc(r->text[field], n + 1));
            std::memcpy(copy, s, n);
            copy[n] = '\0';
            r->text[field] = copy;
        }
        return true;
    }
    bool Int(int v) { return Int64(v); }
    bool Uint(unsigned v) { return Int64(v); }
    bool Int64(int64_t v) {
        if (field == 100) r->index = v;
        return true;
    }
    bool Double(double v) {
        if (field == 101) r->logprob = v;
        return true;
    }
    bool Default() { return true; }
};

bool run_baseline(const std::string &text, tally &t) {
    sse_record r{};
    std::string data;
    bool has_data = false, ok = true;
    rapidjson::Reader reader;
    record_handler h;
    h.r = &r;
    auto dispatch = [&] {
        if (!has_data) return;
        for (char *&s : r.text) {
            std::free(s);
            s = nullptr;
        }
        rapidjson::StringStream in(data.c_str());
        ok = ok && !reader.Parse(in, h).IsError();
        t.add(r);
        data.clear();
        has_data = false;
    };
    const char *p = text.data(), *e = p + text.size();
    while (p < e) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', e - p));
        if (!nl) nl = e;
        size_t n = nl - p;
        if (n && p[n - 1] == '\r') --n;
        if (n == 0) {
            dispatch();
        } else if (n >= 5 && std::memcmp(p, "data:", 5) == 0) {
            size_t skip = n > 5 && p[5] == ' ' ? 6 : 5;
            if (has_data) data += '\n';
            data.append(p + skip, n - skip);
            has_data = true;
        }
        p = nl + 1;
    }
    dispatch();
    for (char *s : r.text)
        std::free(s);
    return ok;
}

enum class row { callbacks, json, baseline };

} // namespace

void register_sse_benchmarks(const options &opt) {
    const size_t size = (opt.quick ? 16 : 256) * kMiB;
    for (bool large : {false, true}) {
        const std::string shape = large ? "large" : "tokens";
        const std::string input = "sse-" + shape + "-" + std::to_string(size / kMiB) + "m";
        struct entry {
            row r;
            const char *name;
        } rows[] = {{row::callbacks, "tamsel-callbacks"},
                    {row::json, "tamsel-json"},
                    {row::baseline, "memchr-rapidjson"}};
        bool wanted = false;
        for (const entry &en : rows)
            wanted = wanted || filter_matches(opt.filter, "sse/" + input + "/" + en.name);
        if (!wanted) continue;
        auto text = std::make_shared<std::string>(generate(large, size));
        // The rows must agree before anything is timed: records against the baseline, and
        // the callbacks' event count.
        tally json_t, base_t, cb_t;
        uint64_t peak = 0;
        if (!run_tamsel(*text, true, json_t, &peak) || !run_baseline(*text, base_t) ||
            !run_tamsel(*text, false, cb_t, &peak) || json_t.events != base_t.events ||
            json_t.checksum != base_t.checksum || cb_t.events != base_t.events) {
            std::fprintf(stderr,
                         "sse/%s: the rows disagree (%" PRIu64 "/%" PRIu64 "/%" PRIu64 " events)\n",
                         input.c_str(), json_t.events, base_t.events, cb_t.events);
            std::exit(1);
        }
        for (const entry &en : rows) {
            const std::string name = "sse/" + input + "/" + en.name;
            if (!filter_matches(opt.filter, name)) continue;
            const row r = en.r;
            benchmark::RegisterBenchmark(
                name.c_str(),
                [text, r](benchmark::State &state) {
                    tally t;
                    uint64_t peak = 0;
                    bool ok = true;
                    for (auto _ : state) {
                        t = tally{};
                        ok = r == row::baseline ? run_baseline(*text, t)
                                                : run_tamsel(*text, r == row::json, t, &peak);
                    }
                    if (!ok) {
                        state.SkipWithError("the event stream failed");
                        return;
                    }
                    state.SetBytesProcessed(
                        static_cast<int64_t>(text->size() * state.iterations()));
                    state.counters["events/s"] =
                        benchmark::Counter(static_cast<double>(t.events * state.iterations()),
                                           benchmark::Counter::kIsRate);
                    if (r != row::baseline) state.counters["peak_heap"] = static_cast<double>(peak);
                })
                ->Unit(benchmark::kMillisecond)
                ->MinTime(opt.quick ? 0.05 : 1.0)
                ->Repetitions(opt.quick ? 1 : 3);
        }
    }
}

} // namespace bench

// tamsel_bench_memory: runs one side of one job over a file read from a descriptor, in a
// process of its own, and reports what it cost. tamsel_bench starts one per measurement.
//
//   tamsel_bench_memory --list             every "job side limit" it knows, one a line
//   tamsel_bench_memory JOB SIDE PATH      prints: result=<hex> bytes=<n> seconds=<cpu s>
//                                                  heap_peak=<bytes> heap=<process|library>
//                                                  peak_rss=<bytes> process_heap=<bytes>
//
// Jobs (PATH is JSON Lines, or for array-stream a generated array of records):
//   validate       every line is one well-formed JSON text
//   object-stream  one bench_record per line, folded into a checksum in order and dropped
//   array-stream   one bench_record per item of the root array, folded in the same way
//
// heap_peak is the growth of the process heap over the job (heap_counter.c) for the peers;
// a tamsel side reports the peak of its runtime's allocation statistics instead (heap=library).
// process_heap is always the process heap's growth, so the two can be compared for tamsel.
//
// tamsel reads the descriptor itself through an object stream (tamsel_stream_open_fd), as the
// RapidJSON side reads it through its stream: validate streams the lines through a map with
// no fields (every value validated and skipped), object-stream through the record's map;
// array-stream reads the items through an array stream (tamsel_array_stream_open_fd) and
// RapidJSON's Reader over the same 64 KiB stream with the extract handler.
#include "extractors.hpp"
#include "harness.hpp"
#include "heap_counter.h"
#include "tamsel_side.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

namespace bench {

namespace {

namespace ondemand = simdjson::ondemand;

constexpr size_t kChunk = 64 * 1024; // what the chunked readers ask read() for
constexpr size_t kWindow = 1 << 20;  // the line windows of the per-document parsers

struct job_result {
    bool ok = false;
    uint64_t result = 0;
    uint64_t bytes = 0;
    int64_t library_heap_peak = -1; // >= 0: the side measured its own heap (tamsel's stats)
};

// A RapidJSON input stream over a descriptor: FileReadStream's scheme with read() in place of
// fread(); the NUL after the last byte ends the input.
class fd_stream {
  public:
    typedef char Ch;
    fd_stream(int fd, char *buffer, size_t size) : fd_(fd), buffer_(buffer), size_(size) {
        refill();
    }
    Ch Peek() const { return *current_; }
    Ch Take() {
        Ch c = *current_;
        advance();
        return c;
    }
    size_t Tell() const { return count_ + static_cast<size_t>(current_ - buffer_); }
    Ch *PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch *) { return 0; }
    bool failed() const { return failed_; }
    uint64_t bytes() const { return total_; }

  private:
    void advance() {
        if (current_ < last_) {
            ++current_;
        } else if (!eof_) {
            count_ += filled_;
            refill();
        }
    }
    void refill() {
        ssize_t n;
        do {
            n = ::read(fd_, buffer_, size_);
        } while (n < 0 && errno == EINTR);
        current_ = buffer_;
        if (n <= 0) {
            failed_ = n < 0;
            eof_ = true;
            buffer_[0] = '\0';
            last_ = buffer_;
            filled_ = 1;
            return;
        }
        filled_ = static_cast<size_t>(n);
        total_ += filled_;
        last_ = buffer_ + filled_ - 1;
    }

    int fd_;
    char *buffer_; // size_ + 1 bytes
    size_t size_;
    char *current_ = nullptr;
    char *last_ = nullptr;
    size_t filled_ = 0;
    size_t count_ = 0;
    uint64_t total_ = 0;
    bool eof_ = false;
    bool failed_ = false;
};

// Reads whole chunks; calls chunk(data, n) for each. False on a read error or a refusal.
template <typename Chunk> bool read_chunks(int fd, char *buffer, Chunk chunk) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!chunk(buffer, static_cast<size_t>(n))) return false;
    }
}

// Hands out runs of complete lines, at most a window at a time, with readable padding after
// each run (simdjson reads past the end).
class line_windows {
  public:
    line_windows(int fd, char *buffer, size_t window) : fd_(fd), buffer_(buffer), cap_(window) {}
    // The next run; false at the end of the input or on failure (see failed()).
    bool next(const char *&data, size_t &len) {
        std::memmove(buffer_, buffer_ + consumed_, filled_ - consumed_);
        filled_ -= consumed_;
        consumed_ = 0;
        while (!eof_ && filled_ < cap_) {
            ssize_t n = ::read(fd_, buffer_ + filled_, cap_ - filled_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failed_ = true, false;
            if (n == 0) eof_ = true;
            filled_ += static_cast<size_t>(n);
            total_ += static_cast<size_t>(n);
        }
        if (filled_ == 0) return false;
        if (eof_) {
            len = filled_;
        } else {
            auto *nl = static_cast<const char *>(memrchr(buffer_, '\n', filled_));
            if (!nl) return failed_ = true, false; // a line longer than the window
            len = static_cast<size_t>(nl - buffer_) + 1;
        }
        consumed_ = len;
        data = buffer_;
        return true;
    }
    bool failed() const { return failed_; }
    uint64_t bytes() const { return total_; }

  private:
    int fd_;
    char *buffer_; // cap_ + kPadding bytes
    size_t cap_;
    size_t filled_ = 0;
    size_t consumed_ = 0;
    uint64_t total_ = 0;
    bool eof_ = false;
    bool failed_ = false;
};

// The buffers a job may use, allocated before the heap peak is reset: they are the harness's,
// not the side's.
struct buffers {
    std::unique_ptr<char[]> chunk{new char[kChunk + kPadding]};
    std::unique_ptr<char[]> window{new char[kWindow + kPadding]};
};

template <typename Parse> job_result windows(int fd, buffers &b, Parse parse) {
    line_windows w(fd, b.window.get(), kWindow);
    const char *data;
    size_t len;
    bool ok = true;
    while (ok && w.next(data, len))
        ok = parse(data, len);
    return {ok && !w.failed(), 1, w.bytes()};
}

// ---- validate -------------------------------------------------------------------------------

job_result validate_rapidjson(int fd, buffers &b) {
    fd_stream stream(fd, b.chunk.get(), kChunk);
    rapidjson::BaseReaderHandler<> handler;
    bool ok = rapidjson_values(stream, handler) && !stream.failed();
    return {ok, 1, stream.bytes()};
}

job_result validate_yajl(int fd, buffers &b) {
    yajl_values parser(nullptr, nullptr);
    uint64_t bytes = 0;
    bool ok = read_chunks(fd, b.chunk.get(), [&](const char *p, size_t n) {
        bytes += n;
        return parser.feed(p, n);
    });
    return {ok && parser.finish(), 1, bytes};
}

job_result validate_simdjson(int fd, buffers &b) {
    simdjson::dom::parser parser;
    return windows(fd, b,
                   [&](const char *p, size_t n) { return dom_validate_values(parser, p, n); });
}

job_result validate_cjson(int fd, buffers &b) {
    return windows(fd, b, cjson_validate_lines);
}

job_result validate_jansson(int fd, buffers &b) {
    return windows(fd, b, jansson_validate_lines);
}

job_result read_only(int fd, buffers &b) {
    uint64_t bytes = 0;
    bool ok = read_chunks(fd, b.chunk.get(), [&](const char *, size_t n) {
        bytes += n;
        return true;
    });
    return {ok, bytes, bytes};
}

job_result count_quotes(int fd, buffers &b) {
    uint64_t bytes = 0, quotes = 0;
    bool ok = read_chunks(fd, b.chunk.get(), [&](const char *p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            quotes += p[i] == '"';
        bytes += n;
        return true;
    });
    return {ok, quotes, bytes};
}

// ---- object stream --------------------------------------------------------------------------

job_result stream_rapidjson(int fd, buffers &b) {
    record_folder out(true);
    record_builder builder(out, 0);
    rapidjson_sax<record_builder> handler(builder);
    fd_stream stream(fd, b.chunk.get(), kChunk);
    bool ok = rapidjson_values(stream, handler) && !stream.failed();
    return {ok, out.result(), stream.bytes()};
}

job_result stream_yajl(int fd, buffers &b) {
    record_folder out(true);
    record_builder builder(out, 0);
    yajl_values parser(&yajl_sax<record_builder>::callbacks, &builder);
    uint64_t bytes = 0;
    bool ok = read_chunks(fd, b.chunk.get(), [&](const char *p, size_t n) {
        bytes += n;
        return parser.feed(p, n);
    });
    return {ok && parser.finish(), out.result(), bytes};
}

template <typename Parse> job_result stream_windows(int fd, buffers &b, Parse parse) {
    record_folder out(true);
    job_result r = windows(fd, b, [&](const char *p, size_t n) { return parse(p, n, out); });
    r.result = out.result();
    return r;
}

job_result stream_ondemand(int fd, buffers &b) {
    ondemand::parser parser;
    return stream_windows(fd, b, [&](const char *p, size_t n, record_consumer &out) {
        return ondemand_records(parser, p, n, out);
    });
}

job_result stream_cjson(int fd, buffers &b) {
    return stream_windows(fd, b, cjson_records);
}

job_result stream_jansson(int fd, buffers &b) {
    return stream_windows(fd, b, jansson_records);
}

// ---- array stream ---------------------------------------------------------------------------

job_result array_rapidjson(int fd, buffers &b) {
    record_folder out(true);
    record_builder builder(out, 1);
    rapidjson_sax<record_builder> handler(builder);
    fd_stream stream(fd, b.chunk.get(), kChunk);
    rapidjson::Reader reader;
    bool ok = !reader.Parse(stream, handler).IsError() && !stream.failed();
    return {ok, out.collected_checksum(), stream.bytes()};
}

// ---- tamsel ---------------------------------------------------------------------------------

// A runtime with the default limits and a counting allocator for `body(rt, r)`, which reads
// the descriptor and fills r.ok and r.result. The runtime is created and freed inside the job,
// so that the peak covers everything tamsel allocated.
template <typename Body> job_result tamsel_job(int fd, Body body) {
    tamsel_alloc_stats stats{};
    const tamsel_allocator allocator = tamsel_stats_allocator(&stats);
    tamsel_config config = tamsel_default_config();
    config.allocator = &allocator;
    tamsel_runtime *rt = tamsel_new_or_throw(config);
    job_result r;
    body(rt, r);
    tamsel_free(rt);
    // The stream read the descriptor from its start to wherever it stopped.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    r.bytes = end < 0 ? 0 : static_cast<uint64_t>(end);
    r.library_heap_peak = static_cast<int64_t>(stats.peak_bytes);
    return r;
}

// An object stream over the descriptor with `map`; `drain` takes the stream and returns
// {ok, result}.
template <typename Drain> job_result tamsel_stream_job(int fd, const tamsel_map &map, Drain drain) {
    return tamsel_job(fd, [&](tamsel_runtime *rt, job_result &r) {
        tamsel_error error;
        if (tamsel_stream *stream = tamsel_stream_open_fd(rt, &map, fd, &error)) {
            r.ok = drain(stream, r.result);
            tamsel_stream_close(stream);
        } else {
            tamsel_report("tamsel_stream_open_fd", error);
        }
    });
}

job_result validate_tamsel(int fd, buffers &) {
    return tamsel_stream_job(fd, kTamselAnyObjectMap, [](tamsel_stream *stream, uint64_t &result) {
        unsigned char sink = 0; // kTamselAnyObjectMap's one-byte record
        tamsel_error error;
        tamsel_stream_result r;
        while ((r = tamsel_stream_next(stream, &sink, &error)) == TAMSEL_STREAM_ITEM) {
        }
        if (r != TAMSEL_STREAM_END) tamsel_report("tamsel_stream_next", error);
        result = 1;
        return r == TAMSEL_STREAM_END;
    });
}

job_result stream_tamsel(int fd, buffers &) {
    return tamsel_stream_job(fd, kTamselRecordMap, [](tamsel_stream *stream, uint64_t &result) {
        return tamsel_fold_records(stream, true, result);
    });
}

job_result array_tamsel(int fd, buffers &) {
    return tamsel_job(fd, [fd](tamsel_runtime *rt, job_result &r) {
        tamsel_error error;
        tamsel_array_stream *stream = tamsel_array_stream_open_fd(rt, nullptr, fd, &error);
        if (!stream) {
            tamsel_report("tamsel_array_stream_open_fd", error);
            return;
        }
        bench_record record{};
        fold f;
        uint64_t n = 0;
        tamsel_stream_result res;
        while ((res = stream->next(stream, &kTamselRecordMap, &record, &error)) ==
               TAMSEL_STREAM_ITEM) {
            add(f, record);
            ++n;
        }
        tamsel_cleanup(&kTamselRecordMap, &record);
        if (res != TAMSEL_STREAM_END) tamsel_report("tamsel_array_stream_next", error);
        f.u64(n); // as collected_checksum
        r.ok = res == TAMSEL_STREAM_END;
        r.result = f.value();
        tamsel_array_stream_close(stream);
    });
}

// ---- the table ------------------------------------------------------------------------------

struct entry {
    const char *job;
    const char *side;
    bool limit;
    job_result (*run)(int fd, buffers &b);
};

constexpr entry kJobs[] = {
    {"validate", kTamsel, false, validate_tamsel},
    {"validate", kRapidjson, false, validate_rapidjson},
    {"validate", kSimdjsonDom, false, validate_simdjson},
    {"validate", kYajl, false, validate_yajl},
    {"validate", kCjson, false, validate_cjson},
    {"validate", kJansson, false, validate_jansson},
    {"validate", kRead, true, read_only},
    {"validate", kQuoteCount, true, count_quotes},
    {"object-stream", kTamsel, false, stream_tamsel},
    {"object-stream", kRapidjson, false, stream_rapidjson},
    {"object-stream", kSimdjsonOndemand, false, stream_ondemand},
    {"object-stream", kYajl, false, stream_yajl},
    {"object-stream", kCjson, false, stream_cjson},
    {"object-stream", kJansson, false, stream_jansson},
    {"array-stream", kTamsel, false, array_tamsel},
    {"array-stream", kRapidjson, false, array_rapidjson},
};

// The high-water mark of this process's resident set (VmHWM), in bytes. Measured here rather
// than through the parent's wait4(): a child started by fork or vfork inherits the parent's
// peak in ru_maxrss, but VmHWM belongs to the image this process exec'd.
int64_t peak_rss() {
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "VmHWM: %lld kB", &kib) == 1) break;
    }
    std::fclose(f);
    return kib < 0 ? -1 : kib * 1024;
}

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int run(const char *job, const char *side, const char *path) {
    for (const entry &e : kJobs) {
        if (std::strcmp(e.job, job) != 0 || std::strcmp(e.side, side) != 0) continue;
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "cannot open %s: %s\n", path, std::strerror(errno));
            return 1;
        }
        buffers b;
        const int64_t base = heap_counter_current();
        heap_counter_reset_peak();
        const double start = cpu_seconds();
        job_result r = e.run(fd, b);
        const double seconds = cpu_seconds() - start;
        const int64_t heap_peak = heap_counter_peak() - base;
        ::close(fd);
        if (!r.ok) {
            std::fprintf(stderr, "%s %s failed on %s\n", job, side, path);
            return 1;
        }
        const bool library = r.library_heap_peak >= 0;
        std::printf("result=%016" PRIx64 " bytes=%" PRIu64 " seconds=%.6f heap_peak=%" PRId64
                    " heap=%s peak_rss=%" PRId64 " process_heap=%" PRId64 "\n",
                    r.result, r.bytes, seconds, library ? r.library_heap_peak : heap_peak,
                    library ? "library" : "process", peak_rss(), heap_peak);
        return 0;
    }
    std::fprintf(stderr, "no side %s for job %s\n", side, job);
    return 2;
}

} // namespace

} // namespace bench

int main(int argc, char **argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--list") {
        for (const bench::entry &e : bench::kJobs) {
            std::printf("%s %s %d\n", e.job, e.side, e.limit ? 1 : 0);
        }
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s --list | JOB SIDE PATH\n", argv[0]);
        return 2;
    }
    return bench::run(argv[1], argv[2], argv[3]);
}

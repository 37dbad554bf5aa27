// The harness: inputs held in memory, groups of sides doing one job on one input, the check
// that every side of a group produced the same thing, and registration with Google Benchmark.
//
// A benchmark is named "job/input/side" (e.g. "extract/twitter.json/rapidjson"); report.py
// groups by job and input and divides every side's time by RapidJSON's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Side names. A tamsel row uses "tamsel".
inline constexpr const char *kRapidjson = "rapidjson";
inline constexpr const char *kSimdjsonDom = "simdjson-dom";
inline constexpr const char *kSimdjsonOndemand = "simdjson-ondemand";
inline constexpr const char *kYajl = "yajl";
inline constexpr const char *kCjson = "cjson";
inline constexpr const char *kJansson = "jansson";
inline constexpr const char *kYyjson = "yyjson";        // built in when its sources are found
inline constexpr const char *kBoostJson = "boost-json"; // basic_parser, fed in pieces
// RapidJSON over the whole buffer, beside sides that are fed in pieces.
inline constexpr const char *kRapidjsonWhole = "rapidjson-whole";
inline constexpr const char *kMemcpy = "memcpy";
inline constexpr const char *kQuoteCount = "quote-count";
inline constexpr const char *kRead = "read";
inline constexpr const char *kTamsel = "tamsel";

// Bytes followed by kPadding zero bytes: simdjson may read up to 64 bytes past the end, and
// RapidJSON's StringStream stops at the NUL. Every side gets the same padded buffer.
inline constexpr size_t kPadding = 128;

class padded_bytes {
  public:
    padded_bytes() = default;
    explicit padded_bytes(size_t size);
    char *data() { return data_.get(); }
    const char *data() const { return data_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return size_ + kPadding; }
    std::string_view view() const { return {data_.get(), size_}; }

  private:
    struct deleter {
        void operator()(char *p) const;
    };
    std::unique_ptr<char, deleter> data_;
    size_t size_ = 0;
};

struct input {
    std::string name; // file name, used in benchmark names: "twitter.json", "records-16m.json"
    padded_bytes bytes;
};

// What one run of a side produced. `checksum` must be equal across the sides of a group (limits
// excepted); `bytes` is what MB/s counts: the input for readers, the output for writers.
struct outcome {
    uint64_t checksum = 0;
    size_t bytes = 0;
    bool ok = true;
};

// check = true asks for the checksum (the verification run); timed runs pass false and may
// return anything cheaper, as long as the same work is done.
using task = std::function<outcome(bool check)>;

struct side {
    std::string name; // kRapidjson, ..., kTamsel
    task run;
    bool limit = false; // memcpy, quote count: a speed limit, not a parser; its result differs
};

struct group {
    std::string job;   // "validate", "visit", "extract", "serialize", "object-stream"
    std::string input; // input name
    std::vector<side> sides;
    bool heavy = false; // large input: fewer repetitions
    // Verified here, but measured by its family in a fresh process of its own (registered
    // there), where the heap is not the one the rows before it left.
    bool own_process = false;
};

struct options {
    bool quick = false;
    double min_time = 0.25;
    int repetitions = 3;
    int heavy_repetitions = 2;
    std::string data_dir;   // the six real-world documents
    std::string cache_dir;  // generated inputs
    std::string memory_exe; // tamsel_bench_memory
    std::string filter;     // --benchmark_filter, so that verification skips what won't run
};

options options_from_environment(int argc, char **argv);

class registry {
  public:
    void add(group g) { groups_.push_back(std::move(g)); }
    // Runs every side once with check = true and compares the checksums within each group.
    // Prints every disagreement and returns false if there is any.
    bool verify(const options &opt);
    // Registers "job/input/side" benchmarks for every side that passed verification.
    void register_benchmarks(const options &opt);

  private:
    struct verified {
        uint64_t checksum;
        size_t bytes;
    };
    std::vector<group> groups_;
    std::vector<std::vector<verified>> results_;
};

// Matches a benchmark name against --benchmark_filter the way Google Benchmark does (a regex,
// '-' in front negates). An empty filter matches everything.
bool filter_matches(const std::string &filter, const std::string &name);

// The job families; each adds its groups.
struct inputs;
void add_validate_groups(registry &r, const inputs &in);
void add_visit_groups(registry &r, const inputs &in);
void add_extract_groups(registry &r, const inputs &in);
void add_serialize_groups(registry &r, const inputs &in);
void add_object_stream_groups(registry &r, const inputs &in);
void add_byte_io_groups(registry &r, const inputs &in);
void add_writer_groups(registry &r, const inputs &in);
void add_multipart_groups(registry &r, const inputs &in);
void add_cpp_layer_groups(registry &r, const inputs &in); // tamsel.hpp against the C calls
// The generated arrays pushed in 1, 4 and 64 KiB pieces (bench_push.cpp).
void add_push_groups(registry &r, const inputs &in);
// tamsel's array-stream side of the extract rows over the generated arrays, and the
// fd-array-stream benchmarks (bench_array_stream.cpp).
side tamsel_array_extract_side(const input *in);
void register_array_stream_benchmarks(const options &opt);
// The Server-Sent Events rows over generated event streams (bench_sse.cpp).
void register_sse_benchmarks(const options &opt);
void register_rewrite_benchmarks(const options &opt);
// Splicing a generated array file into an open writer array (bench_splice.cpp).
void register_splice_benchmarks(const options &opt);
// Registers the benchmarks that each run one side in a child process over a descriptor.
void register_memory_benchmarks(const options &opt, const inputs &in);
// Nonzero when a memory run failed or disagreed with another side.
int memory_failures();
// curl-array (bench_curl.cpp; built with libcurl only): the adapter against libcurl into a
// buffer and RapidJSON SAX, each side in a child process.
void register_curl_benchmarks(const options &opt);
int curl_benchmark_failures();
// The measured side when this program runs as `--curl-child SIDE PORT`; -1 otherwise.
int curl_child_main(int argc, char **argv);
// Runs this program again in a fresh process with `args` (args[0] the mode flag) and reads the
// `size` bytes the child writes to its standard output into `out`. False when that fails.
bool run_self_child(const std::vector<std::string> &args, void *out, size_t size);
// owned-buffer and spool (bench_byte_io.cpp): each measurement in a fresh process.
void register_byte_io_benchmarks(const options &opt);
// The measured side when this program runs as `--byte-io-child JOB INPUT SIDE MIN_TIME`; -1
// otherwise.
int byte_io_child_main(int argc, char **argv);

} // namespace bench

// The inputs: the six real-world documents, and generated records at several sizes. Generated
// files are written once into the cache directory and reused; the generator is deterministic,
// so every run and every machine measures the same bytes.
#pragma once

#include "harness.hpp"

#include <string>
#include <vector>

namespace bench {

// The shape of a generated file: one JSON array of records, or one record per line.
enum class shape { array, lines };

inline constexpr uint64_t kMiB = 1024 * 1024;

struct inputs {
    std::vector<input> documents; // canada.json, citm_catalog.json, ... (sorted by name)
    std::vector<input> arrays;    // records-1m.json, records-16m.json, records-256m.json
    input lines;                  // records-16m.jsonl, the in-memory object stream
    std::string stream_path;      // records-1g.jsonl (quick: records-16m.jsonl), read by fd
    std::string stream_name;
    std::string array_stream_path; // records-1g.json (quick: records-16m.json), read by fd
    std::string array_stream_name;
    const input *find(const std::string &name) const;
};

// Loads the documents and generates (if missing) and loads the generated inputs.
inputs prepare_inputs(const options &opt);

padded_bytes read_file(const std::string &path);

// "records-16m.json", "records-1g.jsonl".
std::string generated_name(shape s, uint64_t size);
// The path of the generated file, written first if the cache lacks it.
std::string ensure_generated(const std::string &cache_dir, shape s, uint64_t size);

} // namespace bench

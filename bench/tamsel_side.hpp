// tamsel's side of the jobs: the field maps that describe the C records of records.h, the
// runtime the timed sides share, the counting visitor, and the loop that drains an object
// stream into a checksum. Shared by the benchmark runner and the descriptor child.
#pragma once

#include "records.hpp"

#include <tamsel.h>

#include <cstdint>

namespace bench {

// twitter.json as tamsel parses it: {"statuses": [...]}, each status a bench_tweet item of an
// object array (the items are sizeof(bench_tweet) apart).
struct tamsel_tweets {
    tamsel_object_array statuses;
};

extern const tamsel_map kTamselTweetsMap; // tamsel_tweets; statuses -> bench_tweet
extern const tamsel_map kTamselRecordMap; // bench_record: one generated record
// No fields: accepts any object and validates and skips every value in it. An object stream
// over this map validates a stream of objects; its destination is one byte (struct_size 1).
extern const tamsel_map kTamselAnyObjectMap;

// The parsed statuses seen as the peers' record set, without a copy: checksum() reads it.
inline bench_tweets tweets_view(const tamsel_tweets &t) {
    return {static_cast<bench_tweet *>(t.statuses.items), t.statuses.count, t.statuses.count};
}

// The peers' record set seen as tamsel's root record, without a copy (flags 0: the items stay
// the set's), for a serializer that writes kTamselTweetsMap.
inline tamsel_tweets tweets_record(const bench_tweets &set) {
    return {{set.statuses, set.count, set.capacity, sizeof(bench_tweet), 0}};
}

// The runtime of the in-memory jobs, created on first use and freed at exit: the default
// configuration with max_parse_bytes 0 (unlimited), so that the default 1 MiB budget for the
// values of one parse cuts no extraction short (a large record set outgrows it). max_depth stays
// 64: the deepest input, twitter.json, has 10 containers open at once. Throws when the runtime
// cannot be created.
tamsel_runtime *tamsel_bench_runtime();

// A runtime from `config`; throws with tamsel's message when it cannot be created.
tamsel_runtime *tamsel_new_or_throw(const tamsel_config &config);

// Counts one event per value and per key, as the peers' visit sides do: object_begin,
// array_begin, key_begin, string_begin, number_begin, boolean and null; `user` is a uint64_t*.
// The other callbacks are set too, doing nothing, so that every event is delivered.
const tamsel_value_visitor &tamsel_counting_visitor();

// Drains `stream` into `record` (kTamselRecordMap), one object per call, folding each record
// into a checksum in order (check) or only counting them, and releases the last record.
// `result` is the checksum or the count; returns true when the stream ended cleanly.
bool tamsel_fold_records(tamsel_stream *stream, bool check, uint64_t &result);

// The process allocator with `stats` attached, so that a runtime made with it reports what
// tamsel itself holds (peak_bytes).
tamsel_allocator tamsel_stats_allocator(tamsel_alloc_stats *stats);

// A sink that only counts the bytes it is given into the uint64_t at `user`.
tamsel_status tamsel_counting_sink(void *user, const void *data, size_t len, tamsel_error *error);

// Prints a failed tamsel call to stderr: "<what>: <status> <message> at line:column".
void tamsel_report(const char *what, const tamsel_error &error);

} // namespace bench

/*
 * The C records the extraction, serialization and object-stream rows fill and write. Every side
 * of a job (RapidJSON, simdjson, ..., and tamsel through its field maps) produces the same
 * records from the same bytes; the harness compares a checksum of them across sides.
 *
 * Strings are NUL-terminated and owned by the record: the peers allocate them with malloc and
 * the C++ helpers in records.hpp free them; tamsel allocates its own and tamsel_cleanup frees
 * them. Plain C99 so a tamsel field map can describe these types directly: booleans are ints
 * holding 0 or 1, the representation of TAMSEL_FIELD_BOOL.
 */
#ifndef TAMSEL_BENCH_RECORDS_H
#define TAMSEL_BENCH_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* twitter.json: for each of statuses[], these five values (user.screen_name is nested). */
typedef struct bench_tweet_user {
    char *screen_name;
} bench_tweet_user;

typedef struct bench_tweet {
    int64_t id;
    char *text;
    bench_tweet_user user;
    int64_t retweet_count;
    int favorited; /* 0 or 1 */
} bench_tweet;

/* {"statuses": [...]}: `count` statuses in `statuses`, room for `capacity`. */
typedef struct bench_tweets {
    bench_tweet *statuses;
    size_t count;
    size_t capacity;
} bench_tweets;

/* One generated record (records-*.json elements, records-*.jsonl lines): the fields read out of
   it. The generated records carry more members (uuid, tags, bio, history, ...), which every
   side skips. Ids stay below 2^53 so that sides holding numbers as doubles keep them exact. */
typedef struct bench_location {
    char *city;
    double lat;
} bench_location;

typedef struct bench_record {
    int64_t id;
    char *name;
    char *email;
    int active; /* 0 or 1 */
    double score;
    bench_location location;
} bench_record;

typedef struct bench_records {
    bench_record *items;
    size_t count;
    size_t capacity;
} bench_records;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAMSEL_BENCH_RECORDS_H */

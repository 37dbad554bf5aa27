/*
 * Reads a JSON Lines file of events into C structs with an object stream, keeps the ones that
 * match a filter and writes them, with fewer fields, to another JSON Lines file with the
 * serializer. Memory stays bounded whatever the size of the input: one record at a time.
 * Every allocation goes through a counting allocator, so the program can print the peak heap
 * the library used.
 *
 *   jsonl_filter generate OUT.jsonl MEGABYTES   writes sample events to filter
 *   jsonl_filter filter IN.jsonl OUT.jsonl      keeps active events from DE scoring 90 or more
 */
#define _POSIX_C_SOURCE 200809L
#include <tamsel.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* One line of the input. */
struct event {
    int64_t id;
    char *user;      /* allocated by the library */
    char country[3]; /* two letters and the NUL */
    double score;
    int active;
    tamsel_string_array tags;
    char *note;
};

/* The input map names every member; the output map only those the filtered file keeps, in
   the order they are written. Both describe the same struct. */
static const tamsel_field event_fields[] = {
    TAMSEL_MEMBER_I64(struct event, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(struct event, user, 0),
    TAMSEL_MEMBER_FIXED_STRING(struct event, country, TAMSEL_OVERFLOW_FAIL, 0),
    TAMSEL_MEMBER_F64(struct event, score, 0),
    TAMSEL_MEMBER_BOOL(struct event, active, 0),
    TAMSEL_MEMBER_STRING_ARRAY(struct event, tags, 0),
    TAMSEL_MEMBER_STRING(struct event, note, 0),
};
TAMSEL_DEFINE_MAP(event_map, struct event, event_fields);

static const tamsel_field kept_fields[] = {
    TAMSEL_MEMBER_I64(struct event, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(struct event, user, 0),
    TAMSEL_MEMBER_F64(struct event, score, 0),
    TAMSEL_MEMBER_STRING_ARRAY(struct event, tags, 0),
};
TAMSEL_DEFINE_MAP(kept_map, struct event, kept_fields);

/* The allocator every library allocation goes through; the library keeps the statistics. */
static void *plain_malloc(void *user, size_t size) {
    (void)user;
    return malloc(size);
}
static void *plain_realloc(void *user, void *block, size_t size) {
    (void)user;
    return realloc(block, size);
}
static void plain_free(void *user, void *block) {
    (void)user;
    free(block);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Sample input: MEGABYTES of events from a fixed pseudo-random sequence. */
static int generate(const char *path, long megabytes) {
    static const char *const countries[] = {"DE", "FR", "GB", "US", "JP"};
    static const char *const words[] = {"alpha", "beta", "gamma", "delta", "omega"};
    const long long limit = (long long)megabytes << 20;
    long long written = 0, id = 0;
    unsigned long long seed = 88172645463325252ull;
    FILE *out = fopen(path, "wb");
    if (!out) {
        perror(path);
        return 1;
    }
    while (written < limit) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17; /* xorshift64 */
        ++id;
        int n = fprintf(out,
                        "{\"id\":%lld,\"user\":\"user_%llu\",\"country\":\"%s\",\"score\":%.2f,"
                        "\"active\":%s,\"tags\":[\"%s\",\"%s\"],\"note\":\"event %lld says "
                        "\\\"hello\\\"\\n\"}\n",
                        id, seed % 100000, countries[seed % 5], (double)(seed % 10000) / 100.0,
                        (seed >> 20) % 3 ? "true" : "false", words[(seed >> 24) % 5],
                        words[(seed >> 40) % 5], id);
        if (n < 0) break;
        written += n;
    }
    if (fclose(out) != 0 || written < limit) {
        perror(path);
        return 1;
    }
    printf("wrote %lld events (%.1f MB) to %s\n", id, (double)written / 1e6, path);
    return 0;
}

static int filter(const char *in_path, const char *out_path) {
    tamsel_alloc_stats stats = {0, 0, 0, 0, 0};
    tamsel_allocator allocator = {plain_malloc, plain_realloc, plain_free, NULL, &stats};
    tamsel_config config = tamsel_default_config();
    tamsel_error error;
    tamsel_runtime *rt;
    tamsel_stream *stream;
    struct event ev;
    unsigned long long seen = 0, kept = 0;
    tamsel_stream_result r;
    FILE *out;
    double start, seconds;
    int status = 0;

    config.allocator = &allocator;
    rt = tamsel_new(&config, &error);
    if (!rt) {
        fprintf(stderr, "tamsel_new: %s\n", error.message);
        return 1;
    }
    stream = tamsel_stream_open_path(rt, &event_map, in_path, &error);
    out = fopen(out_path, "wb");
    if (!stream || !out) {
        fprintf(stderr, "%s\n", stream ? out_path : error.message);
        tamsel_stream_close(stream);
        tamsel_free(rt);
        return 1;
    }
    memset(&ev, 0, sizeof ev); /* fresh: the stream initialises it */

    start = now();
    /* The same destination each time: the stream releases the previous event's values. */
    while ((r = tamsel_stream_next(stream, &ev, &error)) == TAMSEL_STREAM_ITEM) {
        ++seen;
        if (!ev.active || ev.score < 90.0 || strcmp(ev.country, "DE") != 0) continue;
        /* One record as one line of JSON Lines. */
        if (tamsel_serialize_jsonl_filep(rt, &kept_map, &ev, 1, 0, out, &error) != 0) break;
        ++kept;
    }
    seconds = now() - start;
    if (r == TAMSEL_STREAM_ERROR || error.code != 0) {
        fprintf(stderr, "%s:%zu:%zu: %s\n", in_path, error.line, error.column, error.message);
        status = 1;
    }
    tamsel_cleanup(&event_map, &ev);
    tamsel_stream_close(stream);
    if (fclose(out) != 0) {
        perror(out_path);
        status = 1;
    }
    tamsel_free(rt);

    printf("read %llu events, kept %llu, in %.2f s: %.0f records/s\n", seen, kept, seconds,
           seconds > 0 ? (double)seen / seconds : 0.0);
    printf("peak heap of the library: %llu bytes in %llu allocations (%llu still held)\n",
           (unsigned long long)stats.peak_bytes, (unsigned long long)stats.alloc_count,
           (unsigned long long)stats.current_bytes);
    return status;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "generate") == 0) return generate(argv[2], atol(argv[3]));
    if (argc == 4 && strcmp(argv[1], "filter") == 0) return filter(argv[2], argv[3]);
    fprintf(stderr,
            "usage: %s generate OUT.jsonl MEGABYTES\n"
            "       %s filter IN.jsonl OUT.jsonl\n",
            argv[0], argv[0]);
    return 2;
}

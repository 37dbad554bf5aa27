/*
 * tamsel: reading and writing JSON with bounded memory.
 *
 * This header is the whole public contract of the library. It is plain C (C99 and later) and
 * usable from C++. Everything not declared here is internal.
 *
 * Conventions used throughout:
 *  - Every fallible operation takes a `tamsel_error *` (may be NULL) as its last argument and
 *    returns a `tamsel_status`; operations returning a handle return NULL on failure and report
 *    the status through the error record only.
 *  - Argument checks come first: a failed check records status 1 with a fixed message and
 *    changes nothing else. An accepted operation clears the error record before working.
 *  - The caller owns every record it passes in; the library owns only what it allocated, always
 *    through the caller's allocator (the process allocator by default).
 *  - Status 7 (TAMSEL_STATUS_TRUNCATED) is the one non-fatal status.
 */
#ifndef TAMSEL_H
#define TAMSEL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* ======================================================================================== */
/* Version and export macros                                                                */
/* ======================================================================================== */

#define TAMSEL_VERSION_MAJOR 0        /* major version: changes break the interface */
#define TAMSEL_VERSION_MINOR 1        /* minor version: additions that keep the interface */
#define TAMSEL_VERSION_PATCH 0        /* patch version: fixes only */
#define TAMSEL_VERSION_STRING "0.1.0" /* the three numbers as text */
/* One number that grows with every release: major * 10000 + minor * 100 + patch. */
#define TAMSEL_VERSION                                                                             \
    (TAMSEL_VERSION_MAJOR * 10000 + TAMSEL_VERSION_MINOR * 100 + TAMSEL_VERSION_PATCH)

#if defined(_WIN32)
#define TAMSEL_API
#elif defined(__GNUC__) || defined(__clang__)
#define TAMSEL_API __attribute__((visibility("default")))
#else
/* Marks the library's exported functions. */
#define TAMSEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================================== */
/* Status codes and the error record                                                        */
/* ======================================================================================== */

/*
 * How to use: pass a `tamsel_error` (usually on your stack) as the last argument of any
 * fallible operation. On return, `code` equals the returned status; `message` explains it and,
 * for failures found while reading JSON text, `line`, `column` and `offset` give the position of
 * the offending byte (bytes, not characters). The record may be reused for any number of
 * operations; each accepted operation clears it first.
 */

/* A 32-bit status code. The values never change. */
typedef uint32_t tamsel_status;

/* Macros rather than enumerators, so that the constants have the type tamsel_status in C++
   too (a lambda returning TAMSEL_STATUS_OK converts to a callback pointer). */
#define TAMSEL_STATUS_OK ((tamsel_status)0)                     /* "ok" */
#define TAMSEL_STATUS_INVALID_ARGUMENT ((tamsel_status)1)       /* "invalid_argument" */
#define TAMSEL_STATUS_INVALID_JSON ((tamsel_status)2)           /* "invalid_json" */
#define TAMSEL_STATUS_TYPE_MISMATCH ((tamsel_status)3)          /* "type_mismatch" */
#define TAMSEL_STATUS_MISSING_REQUIRED_FIELD ((tamsel_status)4) /* "missing_required_field" */
#define TAMSEL_STATUS_DUPLICATE_FIELD ((tamsel_status)5)        /* "duplicate_field" */
#define TAMSEL_STATUS_OVERFLOW ((tamsel_status)6)               /* "overflow" */
#define TAMSEL_STATUS_TRUNCATED ((tamsel_status)7)              /* "truncated": not fatal */
#define TAMSEL_STATUS_ALLOCATION_FAILED ((tamsel_status)8)      /* "allocation_failed" */
#define TAMSEL_STATUS_CALLBACK_FAILED ((tamsel_status)9)        /* "callback_failed" */
#define TAMSEL_STATUS_IO_ERROR ((tamsel_status)10)              /* "io_error" */
#define TAMSEL_STATUS_INTERNAL_ERROR ((tamsel_status)11)        /* "internal_error" */

#define TAMSEL_ERROR_MESSAGE_CAPACITY 160 /* bytes of tamsel_error.message, NUL included */

/* The error record. Members in this order. */
typedef struct tamsel_error {
    tamsel_status code; /* status of the failure; 0 after a successful operation */
    size_t line;        /* 1-based line of the failing byte in the input text */
    size_t column;      /* bytes since the last newline, the failing byte included */
    size_t offset;      /* input bytes consumed, the failing byte included */
    int system_errno;   /* errno captured when a file, descriptor or temp file failed */
    int truncated;      /* sticky: 1 once anything was truncated during the operation */
    char message[TAMSEL_ERROR_MESSAGE_CAPACITY]; /* NUL-terminated, at most 159 bytes */
} tamsel_error;

/*
 * tamsel_error_init: sets every member of `error` to zero (empty message).
 *   error: the record; NULL is ignored.
 * Thread-safety: touches only the record.
 */
TAMSEL_API void tamsel_error_init(tamsel_error *error);

/*
 * tamsel_status_string: the fixed text of a status ("ok", "invalid_argument", ...).
 *   status: any value; values above 11 give "unknown".
 * Returns a static string; never NULL. Thread-safe.
 */
TAMSEL_API const char *tamsel_status_string(tamsel_status status);

/* ======================================================================================== */
/* Allocator, configuration and option records                                              */
/* ======================================================================================== */

/*
 * How to use: every allocation the library makes goes through a `tamsel_allocator`. Give all
 * three callbacks or none: none selects the process allocator (malloc, realloc, free); one or
 * two is rejected with status 1 "allocator must provide either all callbacks or none" by every
 * operation that takes an allocator. To have the library count what it allocates, set `stats`
 * to a `tamsel_alloc_stats` in an allocator that HAS its callbacks: with all three callbacks
 * NULL the record selects the default allocator and its `stats` is ignored, so nothing is
 * counted. For counting over the process allocator, start from tamsel_default_allocator():
 *
 *     tamsel_alloc_stats stats = {0};
 *     tamsel_allocator counted = tamsel_default_allocator();
 *     counted.stats = &stats;
 *     config.allocator = &counted;
 *
 * tamsel_new copies the allocator record; the stats record it points to must outlive the
 * runtime and every block counted in it.
 *
 * The counters are updated under one process-wide lock, so a record may be shared between
 * threads and allocators, but read it only while no operation runs.
 */

/* Allocation statistics, five unsigned 64-bit counters in this order. */
typedef struct tamsel_alloc_stats {
    uint64_t alloc_count;   /* successful malloc calls */
    uint64_t realloc_count; /* successful realloc calls */
    uint64_t free_count;    /* frees of blocks whose size is known */
    uint64_t current_bytes; /* bytes currently held; never below 0 */
    uint64_t peak_bytes;    /* largest current_bytes seen */
} tamsel_alloc_stats;

/* The allocator: three callbacks over `user_data`, and optional statistics. */
typedef struct tamsel_allocator {
    /* Allocate `size` bytes; NULL on failure. */
    void *(*malloc)(void *user_data, size_t size);
    /* Resize a block returned by malloc or realloc; NULL on failure (block unchanged). */
    void *(*realloc)(void *user_data, void *block, size_t size);
    /* Release a block. */
    void (*free)(void *user_data, void *block);
    /* Passed as the first argument of every callback. */
    void *user_data;
    /* Optional statistics updated by the library; NULL for none. */
    tamsel_alloc_stats *stats;
} tamsel_allocator;

/* Settings of one spool class (spooled values, which spill to a temporary file). */
typedef struct tamsel_spool_options {
    uint64_t memory_limit; /* bytes kept in memory before spilling; default 65536 */
    uint64_t max_bytes;    /* largest total size of one spooled value; 0 = unlimited;
                              default 10485760 */
    const char *temp_dir;  /* directory for spill files; NULL or "" = anonymous tmpfile() */
} tamsel_spool_options;

/* Options of mapped parsing. Defaults: 1, 1, 64, 131072, 1048576, NULL, 0, NULL. */
typedef struct tamsel_parse_options {
    /* Nonzero: set every mapped field of the destination to its empty state before parsing,
       WITHOUT releasing what was there. A destination parsed with this on must be fresh
       (never initialised) or cleaned with tamsel_cleanup first, or its old contents leak. */
    uint32_t init_destination;
    uint32_t reject_duplicates;         /* a key seen twice in one object is status 5 */
    uint64_t max_depth;                 /* most containers open at once; 0 = workspace limit */
    uint64_t max_string_bytes;          /* largest dynamic string, NUL excluded; 0 = unlimited */
    uint64_t max_parse_bytes;           /* bytes one parse may allocate for values; 0 = unlimited */
    void *fixed_string_scratch;         /* staging buffer for fixed-capacity strings, or NULL */
    uint64_t fixed_string_scratch_size; /* bytes at fixed_string_scratch */
    const tamsel_allocator *allocator;  /* NULL = default allocator */
} tamsel_parse_options;

/* Limits of raw JSON values and of the visitor. Defaults: 64, 1048576, 256, 65536, 0.
   In the visitor a 0 in the first four members takes that member's default; only
   max_total_bytes = 0 means unlimited. */
typedef struct tamsel_value_limits {
    uint64_t max_depth;        /* most containers open at once */
    uint64_t max_string_bytes; /* largest string value in bytes */
    uint64_t max_number_bytes; /* largest number token in bytes */
    uint64_t max_key_bytes;    /* largest key in bytes */
    uint64_t max_total_bytes;  /* most input bytes read; 0 = unlimited */
} tamsel_value_limits;

/* Options of serialization and the writer. Defaults: 0, 0, NULL, 8388608. */
typedef struct tamsel_write_options {
    /* Caller buffer too small: 0 fails, 1 truncates and returns status 7, any other value
       truncates and returns status 0. */
    uint32_t overflow_policy;
    uint32_t pretty;                   /* nonzero selects pretty output */
    const tamsel_allocator *allocator; /* NULL = default allocator */
    uint64_t max_output_bytes;         /* largest buffer grown by the library; 0 = 8388608 */
} tamsel_write_options;

#define TAMSEL_CONFIG_MAGIC 0x54534346u /* 'TSCF' */
#define TAMSEL_SPOOL_CLASS_COUNT 3      /* number of spool classes in tamsel_config */

/*
 * The runtime configuration. Obtain it from tamsel_default_config(), edit members, and pass it
 * to tamsel_new(), which copies it (strings included): the record may be discarded afterwards.
 * Members in this order; defaults in the comments.
 */
typedef struct tamsel_config {
    uint64_t max_parse_bytes;        /* 1048576; 0 = unlimited */
    uint64_t max_string_bytes;       /* 131072; 0 = unlimited */
    uint64_t max_depth;              /* 64; 0 = limited only by the parser workspace */
    uint64_t value_max_total_bytes;  /* 0 = unlimited */
    uint64_t value_max_string_bytes; /* 1048576 */
    uint64_t value_max_key_bytes;    /* 65536 */
    uint64_t value_max_number_bytes; /* 256 */
    uint64_t value_max_depth;        /* 64 */
    uint32_t init_destination;       /* 1 */
    uint32_t reject_duplicates;      /* 1 */
    uint32_t overflow_policy;        /* 0 */
    uint32_t pretty;                 /* 0 */
    uint64_t max_output_bytes;       /* 8388608; 0 means the same */
    tamsel_spool_options spool_classes[TAMSEL_SPOOL_CLASS_COUNT]; /* 65536, 10485760, NULL */
    void *fixed_string_scratch;                                   /* NULL */
    uint64_t fixed_string_scratch_size;                           /* 0 */
    const tamsel_allocator *allocator; /* NULL = default allocator; copied by tamsel_new */
    uint32_t magic;                    /* TAMSEL_CONFIG_MAGIC, set only by tamsel_default_config */
} tamsel_config;

/* tamsel_default_config: the defaults above with `magic` set. Thread-safe. */
TAMSEL_API tamsel_config tamsel_default_config(void);

/* tamsel_default_allocator: callbacks over the process malloc, realloc and free; NULL
   user_data and stats. Thread-safe. */
TAMSEL_API tamsel_allocator tamsel_default_allocator(void);

/* The library's own defaults of each option record, exported for the library's use. */
TAMSEL_API tamsel_parse_options tamsel__default_parse_options(void);
TAMSEL_API tamsel_value_limits tamsel__default_value_limits(void);
TAMSEL_API tamsel_write_options tamsel__default_write_options(void);
TAMSEL_API tamsel_spool_options tamsel__default_spool_options(void);

/* ======================================================================================== */
/* Runtime                                                                                  */
/* ======================================================================================== */

/*
 * How to use: create one runtime with tamsel_new() and share it between any number of threads;
 * pass it as the first argument of operations, or call them through `runtime->methods`. Free
 * it once with tamsel_free(), which waits until running operations have finished. Long-lived
 * objects opened from a runtime (streams, writers, ...) copy its settings and stay usable after
 * it is freed.
 *
 * The handle's first four members are its header. A by-value copy of the whole struct also
 * works as a handle while the runtime lives (it is checked against a registry); after the
 * runtime is freed, operations through the original or the copy fail with status 1
 * "tamsel runtime is required". Never edit the members.
 */

typedef struct tamsel_runtime tamsel_runtime;
typedef struct tamsel_runtime_settings tamsel_runtime_settings; /* internal */

/* Types of later sections that the method table mentions. */
struct tamsel_json_value;
struct tamsel_map;
struct tamsel_stream;
struct tamsel_array_stream;
struct tamsel_writer;
struct tamsel_array_rewrite_options;
struct tamsel_value_rewrite_options;
struct tamsel_value_rewrite_selector_options;
typedef struct tamsel_read_result tamsel_read_result;
typedef struct tamsel_value_visitor tamsel_value_visitor;
/* A pull reader (see "Readers"): fills up to `capacity` bytes of `buffer`, never more. */
typedef tamsel_read_result (*tamsel_reader)(void *user_data, void *buffer, size_t capacity);
/* A push sink (see "Sinks"): takes `len` bytes; returns 0, 7 (kept what fitted) or a failure. */
typedef tamsel_status (*tamsel_sink)(void *user_data, const void *data, size_t len,
                                     tamsel_error *error);
struct tamsel_owned_buffer;
struct tamsel_generator;
struct tamsel_string_chunk_handler;
struct tamsel_curl_parse;
struct tamsel_curl_array_parse;
struct tamsel_curl_string_array_parse;
struct tamsel_curl_string_items_parse;
struct tamsel_curl_upload;

/* Type of a method-table slot whose operation this version of the library does not provide
   yet; such slots are NULL. A slot takes its operation's exact type when that operation
   exists; the table's layout does not change. */
typedef void (*tamsel_method_unavailable)(void);

/* A spooled value (defined in the "Spooled values" section below). */
typedef struct tamsel_spooled tamsel_spooled;

/* The method table: one slot per public operation, each taking the runtime first. */
typedef struct tamsel_runtime_methods {
    /* 1-5: parse */
    tamsel_status (*parse_cstr)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst,
                                const char *json, tamsel_error *error);
    tamsel_status (*parse_buffer)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst,
                                  const void *data, size_t len, tamsel_error *error);
    tamsel_status (*parse_reader)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst,
                                  tamsel_reader reader, void *reader_user, tamsel_error *error);
    tamsel_status (*parse_filep)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst,
                                 FILE *file, tamsel_error *error);
    tamsel_status (*parse_path)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst,
                                const char *path, tamsel_error *error);
    /* 6-10: validate */
    tamsel_status (*validate_buffer)(tamsel_runtime *runtime, const void *data, size_t len,
                                     tamsel_error *error);
    tamsel_status (*validate_cstr)(tamsel_runtime *runtime, const char *json, tamsel_error *error);
    tamsel_status (*validate_reader)(tamsel_runtime *runtime, tamsel_reader reader,
                                     void *reader_user, tamsel_error *error);
    tamsel_status (*validate_filep)(tamsel_runtime *runtime, FILE *file, tamsel_error *error);
    tamsel_status (*validate_path)(tamsel_runtime *runtime, const char *path, tamsel_error *error);
    /* 11-16: visit */
    tamsel_status (*visit_value_buffer)(tamsel_runtime *runtime, const void *data, size_t len,
                                        const tamsel_value_visitor *visitor, void *user,
                                        tamsel_error *error);
    tamsel_status (*visit_value_cstr)(tamsel_runtime *runtime, const char *json,
                                      const tamsel_value_visitor *visitor, void *user,
                                      tamsel_error *error);
    tamsel_status (*visit_value_reader)(tamsel_runtime *runtime, tamsel_reader reader,
                                        void *reader_user, const tamsel_value_visitor *visitor,
                                        void *user, tamsel_error *error);
    tamsel_status (*visit_value_filep)(tamsel_runtime *runtime, FILE *file,
                                       const tamsel_value_visitor *visitor, void *user,
                                       tamsel_error *error);
    tamsel_status (*visit_value_path)(tamsel_runtime *runtime, const char *path,
                                      const tamsel_value_visitor *visitor, void *user,
                                      tamsel_error *error);
    tamsel_status (*visit_value_fd)(tamsel_runtime *runtime, int fd,
                                    const tamsel_value_visitor *visitor, void *user,
                                    tamsel_error *error);
    /* 17-19: mapped values (cleanup ignores the runtime) */
    void (*init)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst);
    void (*reset)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst);
    void (*cleanup)(tamsel_runtime *runtime, const struct tamsel_map *map, void *dst);
    /* 20-23: object streams */
    struct tamsel_stream *(*stream_open_reader)(tamsel_runtime *runtime,
                                                const struct tamsel_map *map, tamsel_reader reader,
                                                void *reader_user, tamsel_error *error);
    struct tamsel_stream *(*stream_open_filep)(tamsel_runtime *runtime,
                                               const struct tamsel_map *map, FILE *file,
                                               tamsel_error *error);
    struct tamsel_stream *(*stream_open_path)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                              const char *path, tamsel_error *error);
    struct tamsel_stream *(*stream_open_fd)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                            int fd, tamsel_error *error);
    /* 24-28: array streams */
    struct tamsel_array_stream *(*array_stream_open_reader)(tamsel_runtime *runtime,
                                                            const char *path, tamsel_reader reader,
                                                            void *reader_user, tamsel_error *error);
    struct tamsel_array_stream *(*array_stream_open_filep)(tamsel_runtime *runtime,
                                                           const char *path, FILE *file,
                                                           tamsel_error *error);
    struct tamsel_array_stream *(*array_stream_open_path)(tamsel_runtime *runtime, const char *path,
                                                          const char *file_path,
                                                          tamsel_error *error);
    struct tamsel_array_stream *(*array_stream_open_fd)(tamsel_runtime *runtime, const char *path,
                                                        int fd, tamsel_error *error);
    struct tamsel_array_stream *(*array_stream_open_push)(tamsel_runtime *runtime, const char *path,
                                                          tamsel_error *error);
    /* 29-30: spooled values */
    void (*spooled_init)(tamsel_runtime *runtime, tamsel_spooled *spooled);
    void (*spooled_init_class)(tamsel_runtime *runtime, tamsel_spooled *spooled, int spool_class);
    /* 31-32: JSON value holders (json_value_cleanup ignores the runtime) */
    void (*json_value_init)(tamsel_runtime *runtime, struct tamsel_json_value *value);
    void (*json_value_cleanup)(tamsel_runtime *runtime, struct tamsel_json_value *value);
    /* 33-40: array rewrite */
    tamsel_status (*array_rewrite_reader)(tamsel_runtime *runtime, const char *selector,
                                          tamsel_reader reader, void *reader_user, tamsel_sink sink,
                                          void *sink_user,
                                          const struct tamsel_array_rewrite_options *options,
                                          tamsel_error *error);
    tamsel_status (*array_rewrite_reader_to_filep)(
        tamsel_runtime *runtime, const char *selector, tamsel_reader reader, void *reader_user,
        FILE *out, const struct tamsel_array_rewrite_options *options, tamsel_error *error);
    tamsel_status (*array_rewrite_reader_to_fd)(tamsel_runtime *runtime, const char *selector,
                                                tamsel_reader reader, void *reader_user, int out_fd,
                                                const struct tamsel_array_rewrite_options *options,
                                                tamsel_error *error);
    tamsel_status (*array_rewrite_filep)(tamsel_runtime *runtime, const char *selector, FILE *in,
                                         tamsel_sink sink, void *sink_user,
                                         const struct tamsel_array_rewrite_options *options,
                                         tamsel_error *error);
    tamsel_status (*array_rewrite_filep_to_filep)(
        tamsel_runtime *runtime, const char *selector, FILE *in, FILE *out,
        const struct tamsel_array_rewrite_options *options, tamsel_error *error);
    tamsel_status (*array_rewrite_fd)(tamsel_runtime *runtime, const char *selector, int in_fd,
                                      tamsel_sink sink, void *sink_user,
                                      const struct tamsel_array_rewrite_options *options,
                                      tamsel_error *error);
    tamsel_status (*array_rewrite_fd_to_fd)(tamsel_runtime *runtime, const char *selector,
                                            int in_fd, int out_fd,
                                            const struct tamsel_array_rewrite_options *options,
                                            tamsel_error *error);
    tamsel_status (*array_rewrite_path)(tamsel_runtime *runtime, const char *selector,
                                        const char *in_path, const char *out_path,
                                        const struct tamsel_array_rewrite_options *options,
                                        tamsel_error *error);
    /* 41-45: value rewrite */
    tamsel_status (*value_rewrite_reader)(tamsel_runtime *runtime, tamsel_reader reader,
                                          void *reader_user, tamsel_sink sink, void *sink_user,
                                          const struct tamsel_value_rewrite_options *options,
                                          tamsel_error *error);
    tamsel_status (*value_rewrite_buffer)(tamsel_runtime *runtime, const void *bytes, size_t len,
                                          tamsel_sink sink, void *sink_user,
                                          const struct tamsel_value_rewrite_options *options,
                                          tamsel_error *error);
    tamsel_status (*value_rewrite_filep)(tamsel_runtime *runtime, FILE *in, tamsel_sink sink,
                                         void *sink_user,
                                         const struct tamsel_value_rewrite_options *options,
                                         tamsel_error *error);
    tamsel_status (*value_rewrite_fd)(tamsel_runtime *runtime, int in_fd, tamsel_sink sink,
                                      void *sink_user,
                                      const struct tamsel_value_rewrite_options *options,
                                      tamsel_error *error);
    tamsel_status (*value_rewrite_path)(tamsel_runtime *runtime, const char *in_path,
                                        const char *out_path,
                                        const struct tamsel_value_rewrite_options *options,
                                        tamsel_error *error);
    /* 46-50: value rewrite with a selector */
    tamsel_status (*value_rewrite_selector_reader)(
        tamsel_runtime *runtime, tamsel_reader reader, void *reader_user, tamsel_sink sink,
        void *sink_user, const struct tamsel_value_rewrite_selector_options *options,
        tamsel_error *error);
    tamsel_status (*value_rewrite_selector_buffer)(
        tamsel_runtime *runtime, const void *bytes, size_t len, tamsel_sink sink, void *sink_user,
        const struct tamsel_value_rewrite_selector_options *options, tamsel_error *error);
    tamsel_status (*value_rewrite_selector_filep)(
        tamsel_runtime *runtime, FILE *in, tamsel_sink sink, void *sink_user,
        const struct tamsel_value_rewrite_selector_options *options, tamsel_error *error);
    tamsel_status (*value_rewrite_selector_fd)(
        tamsel_runtime *runtime, int in_fd, tamsel_sink sink, void *sink_user,
        const struct tamsel_value_rewrite_selector_options *options, tamsel_error *error);
    tamsel_status (*value_rewrite_selector_path)(
        tamsel_runtime *runtime, const char *in_path, const char *out_path,
        const struct tamsel_value_rewrite_selector_options *options, tamsel_error *error);
    /* 51: pull generator */
    tamsel_status (*generator_init)(tamsel_runtime *runtime, struct tamsel_generator *generator,
                                    const struct tamsel_map *map, const void *src);
    /* 52: writer */
    tamsel_status (*writer_init_sink)(tamsel_runtime *runtime, struct tamsel_writer *writer,
                                      tamsel_sink sink, void *sink_user, tamsel_error *error);
    /* 53-55: one-shot string writers */
    tamsel_status (*write_json_string_sink)(tamsel_runtime *runtime, tamsel_reader reader,
                                            void *reader_user, tamsel_sink sink, void *sink_user,
                                            tamsel_error *error);
    tamsel_status (*write_json_string_buffer_sink)(tamsel_runtime *runtime, const void *bytes,
                                                   size_t len, tamsel_sink sink, void *sink_user,
                                                   tamsel_error *error);
    tamsel_status (*write_json_string_spooled_sink)(tamsel_runtime *runtime,
                                                    const tamsel_spooled *spooled, tamsel_sink sink,
                                                    void *sink_user, tamsel_error *error);
    /* 56-61: serialize */
    tamsel_status (*serialize_sink)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                    const void *src, tamsel_sink sink, void *sink_user,
                                    tamsel_error *error);
    tamsel_status (*serialize_buffer)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                      const void *src, char *buffer, size_t capacity,
                                      size_t *out_needed, tamsel_error *error);
    char *(*serialize_alloc)(tamsel_runtime *runtime, const struct tamsel_map *map, const void *src,
                             size_t *out_length, tamsel_error *error);
    tamsel_status (*serialize_owned)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                     const void *src, struct tamsel_owned_buffer *out,
                                     tamsel_error *error);
    tamsel_status (*serialize_filep)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                     const void *src, FILE *file, tamsel_error *error);
    tamsel_status (*serialize_path)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                    const void *src, const char *path, tamsel_error *error);
    /* 62-67: serialize JSON Lines */
    tamsel_status (*serialize_jsonl_sink)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                          const void *items, size_t count, size_t stride,
                                          tamsel_sink sink, void *sink_user, tamsel_error *error);
    tamsel_status (*serialize_jsonl_buffer)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                            const void *items, size_t count, size_t stride,
                                            char *buffer, size_t capacity, size_t *out_needed,
                                            tamsel_error *error);
    char *(*serialize_jsonl_alloc)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                   const void *items, size_t count, size_t stride,
                                   size_t *out_length, tamsel_error *error);
    tamsel_status (*serialize_jsonl_owned)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                           const void *items, size_t count, size_t stride,
                                           struct tamsel_owned_buffer *out, tamsel_error *error);
    tamsel_status (*serialize_jsonl_filep)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                           const void *items, size_t count, size_t stride,
                                           FILE *file, tamsel_error *error);
    tamsel_status (*serialize_jsonl_path)(tamsel_runtime *runtime, const struct tamsel_map *map,
                                          const void *items, size_t count, size_t stride,
                                          const char *path, tamsel_error *error);
    /* 68-72: libcurl callback adapters */
    tamsel_status (*curl_parse_init)(tamsel_runtime *runtime, struct tamsel_curl_parse *record,
                                     const struct tamsel_map *map, void *dst);
    tamsel_status (*curl_array_parse_init)(tamsel_runtime *runtime,
                                           struct tamsel_curl_array_parse *record, const char *path,
                                           const struct tamsel_map *item_map, void *item_dst,
                                           tamsel_status (*callback)(void *user, void *destination),
                                           void *user);
    tamsel_status (*curl_string_array_parse_init)(tamsel_runtime *runtime,
                                                  struct tamsel_curl_string_array_parse *record,
                                                  const char *path,
                                                  const struct tamsel_string_chunk_handler *handler,
                                                  void *user);
    tamsel_status (*curl_string_items_parse_init)(
        tamsel_runtime *runtime, struct tamsel_curl_string_items_parse *record, const char *path,
        tamsel_status (*callback)(void *user, const char *text, size_t length, tamsel_error *error),
        void *user);
    tamsel_status (*curl_upload_init)(tamsel_runtime *runtime, struct tamsel_curl_upload *record,
                                      const struct tamsel_map *map, const void *src);
    /* 73: tamsel_free */
    void (*free)(tamsel_runtime *runtime);
} tamsel_runtime_methods;

/* The runtime handle (see "How to use" above). Never edit the members. */
struct tamsel_runtime {
    /* Header. */
    uint64_t generation;                    /* 0 marks a handle that is not live */
    tamsel_runtime_settings *settings;      /* the settings every operation reads */
    tamsel_runtime *self;                   /* the handle's own address (not in copies) */
    tamsel_runtime_settings *settings_fast; /* settings for the lock-free borrow */
    /* Method table. */
    tamsel_runtime_methods methods;
};

/*
 * tamsel_new: creates a runtime from a configuration.
 *   config: from tamsel_default_config(), possibly edited; NULL = all defaults. A record
 *           without TAMSEL_CONFIG_MAGIC is refused (status 1). The record and its strings are
 *           copied: the caller may discard them afterwards. `fixed_string_scratch` is not
 *           copied: it must stay valid while the runtime lives.
 *   error:  may be NULL.
 * Returns the handle, or NULL with status 1 (bad configuration or partial allocator) or
 * 8 ("failed to allocate tamsel runtime", "failed to allocate runtime spool temp_dir").
 * Ownership: the caller frees the handle with tamsel_free. Thread-safe.
 */
TAMSEL_API tamsel_runtime *tamsel_new(const tamsel_config *config, tamsel_error *error);

/*
 * tamsel_free: destroys a runtime. Refuses new borrowers at once, waits (yielding the
 * processor) until operations running on other threads have finished with it, then frees it.
 *   runtime: the handle from tamsel_new; NULL or a handle that is not live is ignored. Given a
 *            by-value copy, only the copy's header is zeroed and the runtime stays live.
 * Caller error: calling tamsel_free from inside a callback (sink, reader, visitor, handler...)
 * of an operation that is running on the same runtime waits for that operation's own borrow
 * forever. Free the runtime after the operation has returned.
 * Thread-safe with respect to other operations; free a given runtime only once.
 */
TAMSEL_API void tamsel_free(tamsel_runtime *runtime);

/*
 * tamsel_set_utf8_check: turns the UTF-8 check on or off for every operation that reads JSON
 * text through this runtime: the parse and validate doors, the visitor doors, object streams,
 * array streams, the SSE JSON family, writer value streams, both rewrites and the curl
 * adapters. Off by default: string and key bytes pass through unchecked.
 *
 * With the check on, a string or key whose bytes are not well-formed UTF-8 (RFC 3629: a stray
 * continuation byte, a sequence cut short, an overlong form, an encoded surrogate, a code point
 * above U+10FFFF, the bytes C0, C1 and F5..FF) fails with status 2 "invalid UTF-8 in string"
 * or "invalid UTF-8 in key", positioned at the first byte at which the text stops being the
 * start of well-formed UTF-8: the bad byte itself, or the byte that interrupts a sequence (a
 * closing quote included). The position does not depend on how the input is cut into pushes
 * or reads. Escapes are not affected (they are checked as before).
 *   runtime: a live runtime (a by-value copy of its handle sets the same runtime).
 *   enabled: nonzero turns the check on, 0 turns it off.
 *   error:   may be NULL.
 * Returns 0, or 1 "tamsel runtime is required" when the runtime is not live.
 * Thread-safety: an atomic store. An operation reads the setting once when it starts and keeps
 * it to its end; operations that start after this call returns see the new setting.
 * Long-lived objects (object streams, array streams, writers and their value streams, curl
 * adapters) take it when they are opened, with the rest of their settings snapshot; the SSE
 * JSON family reads it for each event it starts.
 */
TAMSEL_API tamsel_status tamsel_set_utf8_check(tamsel_runtime *runtime, int enabled,
                                               tamsel_error *error);

/* ======================================================================================== */
/* Readers, sinks and owned buffers                                                         */
/* ======================================================================================== */

/*
 * How to use: the library pulls input through a `tamsel_reader` and pushes output into a
 * `tamsel_sink`; memory, files, descriptors and your own code are adapted to these two shapes.
 *
 * A reader fills at most `capacity` bytes of `buffer` and describes the call in a
 * `tamsel_read_result`: bytes may come together with `eof` or `would_block`; `error_code` set
 * means the read failed (the bytes of that call are then ignored). A result of 0 bytes with
 * neither `eof` nor `would_block` is not the end of the input: the library calls again, and
 * fails with status 9 "reader made no progress" after TAMSEL_READER_MAX_EMPTY_READS such
 * results in a row. A reader that reports more bytes than `capacity` has failed (status 10,
 * `system_errno` 22).
 *
 * A sink takes all `len` bytes and returns 0, or returns 7 (TAMSEL_STATUS_TRUNCATED) when it
 * kept what it could and the producer should carry on; any other status stops the producer,
 * which returns it unchanged. A sink may fill the error record it is given.
 *
 * `tamsel_buffer_reader` reads a memory block. `tamsel_owned_buffer` is a growable,
 * NUL-terminated output buffer that the library fills through `tamsel_owned_buffer_sink` with
 * the allocator embedded in it; release it with `tamsel_owned_buffer_free`.
 */

/* Empty reader results (0 bytes, neither eof nor would_block) tolerated in a row before a
   consumer gives up with status 9 "reader made no progress". */
#define TAMSEL_READER_MAX_EMPTY_READS 64

/* What one reader call did. Members in this order. */
struct tamsel_read_result {
    size_t bytes;    /* bytes placed in the buffer by this call */
    int eof;         /* nonzero: the input is exhausted after these bytes */
    int would_block; /* nonzero: nothing more now, but the input is not finished */
    int error_code;  /* errno-style code when the read failed, else 0 */
};

/* tamsel_reader, the pull callback (declared with the runtime): fills at most `capacity`
   bytes of `buffer`. */

/* tamsel_sink, the push callback (declared with the runtime): takes `len` bytes of `data`.
   Returns 0, 7 (kept what fitted) or a failure. */

/* A reader over a memory block. Members in this order. */
typedef struct tamsel_buffer_reader {
    const void *data; /* the bytes; NULL only together with len 0 */
    size_t len;       /* their number */
    size_t pos;       /* bytes already handed out */
} tamsel_buffer_reader;

/* A growable output buffer owned by the library. Members in this order. Whenever `data` is
   not NULL it holds `len` bytes followed by a NUL byte. */
typedef struct tamsel_owned_buffer {
    char *data;                 /* NULL while empty */
    size_t len;                 /* bytes written, the NUL not counted */
    size_t capacity;            /* bytes allocated */
    tamsel_allocator allocator; /* all three callbacks or none (none = process allocator) */
} tamsel_owned_buffer;

/* tamsel_default_read_result: a result with all four members zero. Thread-safe. */
TAMSEL_API tamsel_read_result tamsel_default_read_result(void);

/*
 * tamsel_buffer_reader_init: points a buffer reader at `len` bytes of `data`, `pos` 0.
 *   reader: the record; NULL is ignored.
 *   data:   the bytes, borrowed until the reader is done; NULL with `len` 0 reads as empty.
 * Thread-safety: touches only the record.
 */
TAMSEL_API void tamsel_buffer_reader_init(tamsel_buffer_reader *reader, const void *data,
                                          size_t len);

/*
 * tamsel_buffer_reader_read: the `tamsel_reader` of a buffer reader. Copies
 * min(len - pos, capacity) bytes and advances `pos`; the last bytes come with `eof` set, and
 * every call after them returns 0 bytes with `eof`.
 *   user_data: a `tamsel_buffer_reader *`. NULL gives `error_code` 22.
 *   buffer:    destination; NULL gives `error_code` 22.
 *   capacity:  0 returns an all-zero result unless the reader is at its end (then `eof`).
 * Returns the read result; a reader whose `data` is NULL with a nonzero `len` gives
 * `error_code` 22. Thread-safety: touches only the reader and the buffer.
 */
TAMSEL_API tamsel_read_result tamsel_buffer_reader_read(void *user_data, void *buffer,
                                                        size_t capacity);

/*
 * tamsel_owned_buffer_init: sets the initial state: `data` NULL, `len` and `capacity` 0,
 * the process-allocator callbacks, NULL `user_data` and `stats`.
 *   buffer: the record; NULL is ignored. Whatever it held is forgotten, not freed.
 * Change `allocator` after this call to use your own allocator or statistics.
 */
TAMSEL_API void tamsel_owned_buffer_init(tamsel_owned_buffer *buffer);

/* tamsel_default_owned_buffer: a buffer in the initial state, by value. Thread-safe. */
TAMSEL_API tamsel_owned_buffer tamsel_default_owned_buffer(void);

/*
 * tamsel_owned_buffer_sink: the `tamsel_sink` of an owned buffer: appends `len` bytes and a
 * NUL. Capacity grows from 64 bytes by doubling (exactly the needed size where doubling would
 * overflow), through the embedded allocator; growth and free are counted in
 * `allocator.stats` whenever it is not NULL, whatever the callbacks.
 *   user_data: a `tamsel_owned_buffer *`.
 *   data:      the bytes; may be NULL only when `len` is 0.
 *   len:       0 returns 0 and allocates nothing.
 *   error:     may be NULL.
 * Returns 0; 1 "owned buffer sink arguments are invalid" (NULL buffer, or NULL data with
 * `len` > 0) or "allocator must provide either all callbacks or none"; 6 "owned buffer sink
 * size overflow"; 8 "failed to grow owned buffer sink". On failure the buffer is unchanged.
 * Thread-safety: touches only the buffer (and its statistics, under the library's lock).
 */
TAMSEL_API tamsel_status tamsel_owned_buffer_sink(void *user_data, const void *data, size_t len,
                                                  tamsel_error *error);

/*
 * tamsel_owned_buffer_free: frees `data` with the embedded allocator (counting the free in
 * `allocator.stats` when set) and returns the buffer to the initial state, process-allocator
 * callbacks included, ready for reuse.
 *   buffer: the record; NULL is ignored.
 */
TAMSEL_API void tamsel_owned_buffer_free(tamsel_owned_buffer *buffer);

/* ======================================================================================== */
/* Sources                                                                                  */
/* ======================================================================================== */

/*
 * How to use: a `tamsel_source` names where the bytes of an output field come from, read only
 * when the output is produced: nothing, your open `FILE*`, your open descriptor, or a path.
 * Initialise it with tamsel_source_init, choose the input with a setter, and release it with
 * tamsel_source_cleanup. Every replay starts again at the first byte of the file, so a `FILE*`
 * or descriptor must be seekable (tamsel_source_is_rewindable tells). The library never closes
 * your `FILE*` or descriptor; keep them open while the source is in use. A path is opened
 * for each replay and closed on every exit.
 *
 * A failed setter leaves the previous setting in place. The record owns its path copy: a
 * by-value copy shares it, so clean up only one of them. The members after `path` are the
 * record's methods; they point at the functions of the same names.
 */

enum {
    TAMSEL_SOURCE_NONE = 0, /* no bytes */
    TAMSEL_SOURCE_FILE = 1, /* a borrowed FILE* */
    TAMSEL_SOURCE_FD = 2,   /* a borrowed file descriptor */
    TAMSEL_SOURCE_PATH = 3  /* a path, opened for each replay */
};

typedef struct tamsel_source tamsel_source;

/* Members in this order. */
struct tamsel_source {
    int kind;   /* TAMSEL_SOURCE_* */
    FILE *file; /* kind FILE, else NULL */
    int fd;     /* kind FD, else -1 */
    char *path; /* kind PATH: the source's own copy, else NULL */
    void (*cleanup)(tamsel_source *source);
    void (*reset)(tamsel_source *source);
    tamsel_status (*set_file)(tamsel_source *source, FILE *file, tamsel_error *error);
    tamsel_status (*set_fd)(tamsel_source *source, int fd, tamsel_error *error);
    tamsel_status (*set_path)(tamsel_source *source, const char *path, tamsel_error *error);
    tamsel_status (*write_to_sink)(const tamsel_source *source, tamsel_sink sink, void *sink_user,
                                   tamsel_error *error);
    int (*is_rewindable)(const tamsel_source *source);
};

/*
 * tamsel_source_init: kind NONE, `file` and `path` NULL, `fd` -1, methods set.
 *   source: the record; NULL is ignored. Whatever it held is forgotten, not freed.
 * Thread-safety: touches only the record.
 */
TAMSEL_API void tamsel_source_init(tamsel_source *source);

/*
 * tamsel_source_cleanup: frees the path copy and returns the record to kind NONE (`fd` -1);
 * the methods stay. A second call does nothing.
 *   source: the record; NULL is ignored. A `FILE*` or descriptor is forgotten, not closed.
 */
TAMSEL_API void tamsel_source_cleanup(tamsel_source *source);

/* tamsel_source_reset: the same as tamsel_source_cleanup. */
TAMSEL_API void tamsel_source_reset(tamsel_source *source);

/*
 * tamsel_source_set_file: makes the source read `file`.
 *   source: the record; NULL fails.
 *   file:   a stream open for reading, borrowed (never closed); NULL fails.
 *   error:  may be NULL.
 * Returns 0, or 1 "source handle and FILE* are required". A previous path copy is freed.
 */
TAMSEL_API tamsel_status tamsel_source_set_file(tamsel_source *source, FILE *file,
                                                tamsel_error *error);

/*
 * tamsel_source_set_fd: makes the source read descriptor `fd`.
 *   source: the record; NULL fails.
 *   fd:     an open descriptor, borrowed (never closed); negative fails.
 *   error:  may be NULL.
 * Returns 0, or 1 "source handle and non-negative fd are required".
 */
TAMSEL_API tamsel_status tamsel_source_set_fd(tamsel_source *source, int fd, tamsel_error *error);

/*
 * tamsel_source_set_path: makes the source read the file at `path`, opened at each replay.
 *   source: the record; NULL fails.
 *   path:   copied (with the process allocator); NULL or "" fails.
 *   error:  may be NULL.
 * Returns 0; 1 "source handle and path are required"; 8 "failed to duplicate source path"
 * (the previous setting stays).
 */
TAMSEL_API tamsel_status tamsel_source_set_path(tamsel_source *source, const char *path,
                                                tamsel_error *error);

/*
 * tamsel_source_write_to_sink: replays the source from its first byte into `sink`, in blocks
 * of up to 4096 bytes. A NONE source calls the sink zero times.
 *   source:    the record; NULL fails.
 *   sink:      receives each non-empty block; NULL fails. A status 7 from it is tolerated;
 *              any other nonzero status stops the replay and is returned unchanged.
 *   sink_user: passed to the sink.
 *   error:     may be NULL; passed to the sink.
 * Returns 0; 1 "source handle and sink are required"; 10 "failed to rewind source FILE*;
 * non-seekable sources are unsupported", "failed to rewind source fd; non-seekable sources are
 * unsupported", "failed to open source path '<path>'" or "failed to read source data" (each
 * with `system_errno`); or the sink's status. Output already delivered is not retracted.
 * Leaves a `FILE*` or descriptor positioned where the replay stopped.
 */
TAMSEL_API tamsel_status tamsel_source_write_to_sink(const tamsel_source *source, tamsel_sink sink,
                                                     void *sink_user, tamsel_error *error);

/*
 * tamsel_source_is_rewindable: 1 when a replay can start at the first byte: always for NONE
 * and PATH; for FILE and FD when telling the position, seeking to 0 and seeking back all
 * succeed (the position is left where it was). 0 otherwise, and for NULL.
 */
TAMSEL_API int tamsel_source_is_rewindable(const tamsel_source *source);

/* ======================================================================================== */
/* Spooled values                                                                           */
/* ======================================================================================== */

/*
 * How to use: a `tamsel_spooled` holds a byte sequence of unknown length with bounded memory:
 * the first `memory_limit` bytes stay in memory, the rest spill to a temporary file (named
 * "<temp_dir>/tamsel-spool-XXXXXX", mode 0600, or an anonymous tmpfile() when there is no
 * temp_dir). Initialise the record (tamsel_spooled_init, _init_class or _init_with_allocator),
 * append, read it back with tamsel_spooled_read (a `tamsel_reader`) or replay it whole with
 * tamsel_spooled_write_to_sink, and release it with tamsel_spooled_cleanup. The record itself
 * is your storage (a local or a struct member); the library owns what it points to.
 *
 * The record carries a mark keyed to its own address: a record that was never initialised, or
 * a by-value copy (`b = a`), is refused by every function (status 1, or `error_code` 22 from
 * the reader) and never frees anything. Initialising a record that holds a value does not
 * release it: clean it up first. A failed append leaves the value as it was before the call;
 * a named spill file is removed by cleanup and reset and never outlives a failure that
 * created it. Use one record from one thread at a time.
 *
 * The members after `magic` are the record's methods; they point at the functions of the
 * same names.
 */

#define TAMSEL_SPOOLED_MAGIC 0x54535350u /* 'TSSP', stored XOR-ed with a hash of the address */
#define TAMSEL_SPOOL_PATH_CAPACITY 512   /* bytes of `path`, the NUL included */

/* Members in this order. */
struct tamsel_spooled {
    unsigned char *memory; /* in-memory prefix (library-owned); NULL while empty */
    uint64_t memory_len;   /* bytes in `memory`: min(total_len, memory_limit) */
    uint64_t total_len;    /* all bytes appended */
    uint64_t read_pos;     /* read cursor, from the first byte of the value */
    uint64_t memory_limit; /* bytes kept in memory before spilling */
    uint64_t max_bytes;    /* largest total size; 0 = unlimited */
    const char *temp_dir;  /* spill directory (points at owned_temp_dir) or NULL */
    FILE *file;            /* spill file holding bytes memory_len.. ; NULL until a spill */
    int is_spilled;        /* 1 exactly when `file` is set */
    char path[TAMSEL_SPOOL_PATH_CAPACITY]; /* named spill file; "" for an anonymous one */
    char *owned_temp_dir;                  /* the record's copy of the directory */
    tamsel_allocator allocator;            /* for `memory` and the directory copy */
    uint32_t magic;                        /* address-keyed initialisation mark */
    void (*reset)(tamsel_spooled *spooled);
    void (*cleanup)(tamsel_spooled *spooled);
    uint64_t (*size)(const tamsel_spooled *spooled);
    int (*spilled)(const tamsel_spooled *spooled);
    tamsel_status (*append)(tamsel_spooled *spooled, const void *bytes, size_t len,
                            tamsel_error *error);
    tamsel_status (*rewind)(tamsel_spooled *spooled, tamsel_error *error);
    tamsel_reader read;
    tamsel_status (*write_to_sink)(const tamsel_spooled *spooled, tamsel_sink sink, void *sink_user,
                                   tamsel_error *error);
};

/*
 * tamsel_spooled_init: initialises an empty value with the runtime's spool class 0 and its
 * allocator (a partial allocator falls back to the process allocator).
 *   runtime: borrowed only to copy the options; NULL or not live selects the defaults
 *            (65536, 10485760, no temp_dir) and the process allocator, silently.
 *   spooled: the record; NULL is ignored.
 * The directory is copied with the allocator; if that copy fails the value spills to an
 * anonymous file instead. Thread-safe with respect to the runtime.
 */
TAMSEL_API void tamsel_spooled_init(tamsel_runtime *runtime, tamsel_spooled *spooled);

/*
 * tamsel_spooled_init_class: as tamsel_spooled_init with spool class `spool_class`: 1 and 2
 * select those classes, any other value class 0.
 */
TAMSEL_API void tamsel_spooled_init_class(tamsel_runtime *runtime, tamsel_spooled *spooled,
                                          int spool_class);

/*
 * tamsel_spooled_init_with_allocator: initialises an empty value from explicit settings.
 *   spooled:   the record; NULL is ignored.
 *   options:   limits and directory (copied); NULL = 65536, 10485760, no temp_dir.
 *   allocator: copied with its user data and statistics when all three callbacks are set;
 *              NULL or incomplete = the process allocator without statistics.
 */
TAMSEL_API void tamsel_spooled_init_with_allocator(tamsel_spooled *spooled,
                                                   const tamsel_spool_options *options,
                                                   const tamsel_allocator *allocator);

/*
 * tamsel_spooled_cleanup: frees the prefix and the directory copy, closes and (when named)
 * removes the spill file, and leaves an empty, still initialised record without temp_dir;
 * `memory_limit`, `max_bytes` and `allocator` stay. A second call does nothing.
 *   spooled: the record; NULL or not initialised is ignored.
 */
TAMSEL_API void tamsel_spooled_cleanup(tamsel_spooled *spooled);

/* tamsel_spooled_reset: as cleanup, but the directory copy stays: an empty value with the
   same policy, ready for new appends. NULL or not initialised is ignored. */
TAMSEL_API void tamsel_spooled_reset(tamsel_spooled *spooled);

/* tamsel_spooled_size: `total_len`; 0 for NULL or a record not initialised. */
TAMSEL_API uint64_t tamsel_spooled_size(const tamsel_spooled *spooled);

/* tamsel_spooled_spilled: `is_spilled`; 0 for NULL or a record not initialised. */
TAMSEL_API int tamsel_spooled_spilled(const tamsel_spooled *spooled);

/*
 * tamsel_spooled_append: appends `len` bytes: to the prefix while it has room (reallocated to
 * exactly the bytes it holds), the rest to the spill file, created on the first spill.
 *   spooled: an initialised record; NULL or not initialised fails.
 *   bytes:   may be NULL only when `len` is 0.
 *   len:     0 succeeds and changes nothing.
 *   error:   may be NULL.
 * Returns 0; 1 "invalid spooled append arguments"; 6 "spooled field exceeds configured max
 * bytes" (exactly `max_bytes` in total is accepted) or "spooled value size overflow";
 * 8 "failed to expand spooled in-memory prefix"; 10 "failed to create anonymous spool file",
 * "temporary spool path is too long", "failed to create spool file", "failed to open spool
 * file", "failed to seek spool file for append", "failed to write spool file" or "failed to
 * restore spool file read cursor" (all but the path-length case with `system_errno`). On
 * failure the value is as before the call.
 */
TAMSEL_API tamsel_status tamsel_spooled_append(tamsel_spooled *spooled, const void *bytes,
                                               size_t len, tamsel_error *error);

/*
 * tamsel_spooled_rewind: moves the read cursor to the first byte.
 *   spooled: an initialised record; NULL or not initialised fails.
 * Returns 0; 1 "spooled value is required"; 10 "failed to rewind spool file".
 */
TAMSEL_API tamsel_status tamsel_spooled_rewind(tamsel_spooled *spooled, tamsel_error *error);

/*
 * tamsel_spooled_read: the `tamsel_reader` of a spooled value: reads from the cursor, at most
 * `capacity` bytes and never across the end of the prefix in one call; `eof` comes with the
 * last bytes. `would_block` is never set; reads may be interleaved with appends.
 *   user_data: a `tamsel_spooled *`; NULL reads as empty (`eof`), a record not initialised
 *              gives `error_code` 22.
 *   buffer:    destination; NULL gives `error_code` 22.
 *   capacity:  0 returns 0 bytes (`eof` only at the end).
 * A failed read of the spill file gives its errno, or 5 (EIO) when the file is shorter than
 * the value. The spill file's stream position is not used or moved.
 */
TAMSEL_API tamsel_read_result tamsel_spooled_read(void *user_data, void *buffer, size_t capacity);

/*
 * tamsel_spooled_write_to_sink: replays the whole value into `sink` in blocks of up to 4096
 * bytes, with a private cursor (the record's `read_pos` is untouched). An empty value calls
 * the sink zero times.
 *   spooled:   an initialised record; NULL or not initialised fails.
 *   sink:      NULL fails; status 7 from it is tolerated, any other nonzero status stops the
 *              replay and is returned unchanged.
 *   sink_user: passed to the sink.
 *   error:     may be NULL; passed to the sink.
 * Returns 0; 1 "spooled value and sink are required"; 10 "failed to rewind spool file" or
 * "failed to read spooled value" (`system_errno` set); or the sink's status.
 */
TAMSEL_API tamsel_status tamsel_spooled_write_to_sink(const tamsel_spooled *spooled,
                                                      tamsel_sink sink, void *sink_user,
                                                      tamsel_error *error);

/* ======================================================================================== */
/* Value visitor                                                                            */
/* ======================================================================================== */

/*
 * How to use: fill a `tamsel_value_visitor` (start from tamsel_default_value_visitor(), all
 * callbacks NULL) with the events you care about and call one of the tamsel_visit_value_*
 * functions. The walker reads exactly one JSON value and reports it as a flat sequence of
 * events, without building a tree: strings and keys arrive in chunks as they are decoded
 * (a chunk may split a multi-byte UTF-8 sequence), a number arrives whole in one
 * number_chunk. Memory stays bounded by the runtime's value limits (tamsel_config's
 * value_max_* members).
 *
 * Callback statuses: OK and TRUNCATED let the walk go on; any other status stops it at once
 * and is returned unchanged (the walker writes nothing into the error record then; the
 * callback may fill it through the pointer it is given). A value's status is the status of
 * its last callback, so a visit returns TRUNCATED only when the root value's last callback
 * returned it.
 *
 * Errors found in the input carry the line, column and byte offset of the offending byte.
 * Inputs read from a FILE* or a descriptor start at the current position and are neither
 * rewound nor closed; the input is left wherever reading stopped.
 */
/* The callbacks of a visit; any may be NULL (the event is then only checked). */
struct tamsel_value_visitor {
    tamsel_status (*object_begin)(void *user, tamsel_error *error); /* `{` read */
    tamsel_status (*object_end)(void *user, tamsel_error *error);   /* `}` read */
    tamsel_status (*key_begin)(void *user, tamsel_error *error);    /* a key starts */
    tamsel_status (*key_chunk)(void *user, const char *bytes, size_t length,
                               tamsel_error *error);                /* a decoded piece of the key */
    tamsel_status (*key_end)(void *user, tamsel_error *error);      /* the key ends */
    tamsel_status (*array_begin)(void *user, tamsel_error *error);  /* `[` read */
    tamsel_status (*array_end)(void *user, tamsel_error *error);    /* `]` read */
    tamsel_status (*string_begin)(void *user, tamsel_error *error); /* a string value starts */
    tamsel_status (*string_chunk)(void *user, const char *bytes, size_t length,
                                  tamsel_error *error); /* a decoded piece of the string */
    tamsel_status (*string_end)(void *user, tamsel_error *error);   /* the string value ends */
    tamsel_status (*number_begin)(void *user, tamsel_error *error); /* a number starts */
    /* Called exactly once per number with the whole token as it stands in the input. */
    tamsel_status (*number_chunk)(void *user, const char *bytes, size_t length,
                                  tamsel_error *error);
    tamsel_status (*number_end)(void *user, tamsel_error *error); /* the number ends */
    tamsel_status (*boolean)(void *user, int value,
                             tamsel_error *error);          /* `true` (1) or `false` (0) */
    tamsel_status (*null)(void *user, tamsel_error *error); /* `null` */
};

/* tamsel_default_value_visitor: a table with all fifteen callbacks NULL. */
TAMSEL_API tamsel_value_visitor tamsel_default_value_visitor(void);

/*
 * tamsel_visit_value_buffer: visits the one JSON value in `data[0..len)`.
 *   runtime: a live runtime (its value limits and allocator are used); else status 1
 *            "tamsel runtime is required".
 *   data, visitor: required ("buffer and visitor are required"); len may be 0.
 *   user: passed to every callback.
 * Returns OK (error record cleared), TRUNCATED, a callback's status, or the failure.
 * Thread-safe: the runtime may be shared; the visitor table is only read.
 */
TAMSEL_API tamsel_status tamsel_visit_value_buffer(tamsel_runtime *runtime, const void *data,
                                                   size_t len, const tamsel_value_visitor *visitor,
                                                   void *user, tamsel_error *error);
/* As tamsel_visit_value_buffer over a NUL-terminated text ("json string and visitor are
   required" when `json` is NULL). */
TAMSEL_API tamsel_status tamsel_visit_value_cstr(tamsel_runtime *runtime, const char *json,
                                                 const tamsel_value_visitor *visitor, void *user,
                                                 tamsel_error *error);
/* Visits the value produced by `reader` (called with 4096-byte buffers). A reader error is
   status 9 "reader callback failed" (its code in system_errno), would-block is status 9
   "reader would block", and TAMSEL_READER_MAX_EMPTY_READS empty results in a row are
   status 9 "reader made no progress". */
TAMSEL_API tamsel_status tamsel_visit_value_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                   void *reader_user,
                                                   const tamsel_value_visitor *visitor, void *user,
                                                   tamsel_error *error);
/* Visits the value read from `file` at its current position ("file pointer and visitor are
   required"). */
TAMSEL_API tamsel_status tamsel_visit_value_filep(tamsel_runtime *runtime, FILE *file,
                                                  const tamsel_value_visitor *visitor, void *user,
                                                  tamsel_error *error);
/* Opens `path` ("rb"; status 10 "failed to open '%s'" with errno), visits it and closes it on
   every return ("path and visitor are required"). */
TAMSEL_API tamsel_status tamsel_visit_value_path(tamsel_runtime *runtime, const char *path,
                                                 const tamsel_value_visitor *visitor, void *user,
                                                 tamsel_error *error);
/* Visits the value read from descriptor `fd` (>= 0; "fd and visitor are required"); reads
   interrupted by a signal are retried. */
TAMSEL_API tamsel_status tamsel_visit_value_fd(tamsel_runtime *runtime, int fd,
                                               const tamsel_value_visitor *visitor, void *user,
                                               tamsel_error *error);

/* ======================================================================================== */
/* JSON value holders                                                                       */
/* ======================================================================================== */

/*
 * How to use: a `tamsel_json_value` carries one raw JSON value without mapping it. Initialise
 * it once (tamsel_json_value_init or _init_with_allocator), then use one side at a time:
 *  - source side, for output: set_buffer (validated and stored compactly), set_reader,
 *    set_file, set_fd or set_path; write_to_sink writes the value, re-parsing every source
 *    except a stored buffer, so the output is always exactly one valid JSON value;
 *  - parse side, for a TAMSEL_FIELD_JSON_VALUE field: set_parse_sink, set_parse_visitor or
 *    enable_parse_capture say what the mapped parser does with the field's value.
 * Every setter of one side clears the other. Release with tamsel_json_value_cleanup; a
 * cleaned holder keeps its allocator and limits and may be used again. FILE* handles and
 * descriptors stay the caller's: they are rewound when written, never closed.
 * A record that was never initialised (or is a by-value copy of one) is recognised by its
 * address-keyed mark: setters and cleanup initialise it afresh without freeing anything.
 */

#define TAMSEL_JSON_NONE 0   /* empty holder */
#define TAMSEL_JSON_BUFFER 1 /* a stored compact text */
#define TAMSEL_JSON_READER 2 /* read from a reader */
#define TAMSEL_JSON_FILE 3   /* read from a caller FILE* */
#define TAMSEL_JSON_FD 4     /* read from a caller descriptor */
#define TAMSEL_JSON_PATH 5   /* read from a file opened by path */

#define TAMSEL_JSON_PARSE_NONE 0    /* the parser skips the value */
#define TAMSEL_JSON_PARSE_SINK 1    /* the parser copies the value to a sink */
#define TAMSEL_JSON_PARSE_VISITOR 2 /* the parser walks the value with a visitor */
#define TAMSEL_JSON_PARSE_CAPTURE 3 /* the parser stores the value as compact text */

#define TAMSEL_JSON_VALUE_MAGIC 0x54534a56u /* 'TSJV' */

typedef struct tamsel_json_value tamsel_json_value;

/* One constant table shared by all holders: the public functions of the same names. */
typedef struct tamsel_json_value_methods {
    void (*reset)(tamsel_json_value *value);
    void (*cleanup)(tamsel_json_value *value);
    tamsel_status (*set_buffer)(tamsel_json_value *value, const void *bytes, size_t len,
                                tamsel_error *error);
    tamsel_status (*set_parse_sink)(tamsel_json_value *value, tamsel_sink sink, void *sink_user,
                                    tamsel_error *error);
    tamsel_status (*set_parse_visitor)(tamsel_json_value *value,
                                       const tamsel_value_visitor *visitor, void *visitor_user,
                                       tamsel_error *error);
    tamsel_status (*enable_parse_capture)(tamsel_json_value *value, tamsel_error *error);
    tamsel_status (*set_reader)(tamsel_json_value *value, tamsel_reader reader, void *reader_user,
                                tamsel_error *error);
    tamsel_status (*set_file)(tamsel_json_value *value, FILE *file, tamsel_error *error);
    tamsel_status (*set_fd)(tamsel_json_value *value, int fd, tamsel_error *error);
    tamsel_status (*set_path)(tamsel_json_value *value, const char *path, tamsel_error *error);
    tamsel_status (*write_to_sink)(const tamsel_json_value *value, tamsel_sink sink,
                                   void *sink_user, tamsel_error *error);
    int (*is_rewindable)(const tamsel_json_value *value);
} tamsel_json_value_methods;

/* A JSON value holder: one JSON value as text, or where to read it from, or what the parser does
 * with it. Change it only through its functions. */
struct tamsel_json_value {
    int kind;               /* TAMSEL_JSON_NONE ... TAMSEL_JSON_PATH */
    char *data;             /* BUFFER: owned compact text, NUL-terminated */
    uint64_t len;           /* length of data without the NUL */
    tamsel_reader reader;   /* READER */
    void *reader_user;      /* passed to reader */
    FILE *file;             /* FILE: borrowed */
    int fd;                 /* FD: borrowed; -1 otherwise */
    char *path;             /* PATH: the holder's own copy */
    int parse_mode;         /* TAMSEL_JSON_PARSE_NONE ... TAMSEL_JSON_PARSE_CAPTURE */
    tamsel_sink parse_sink; /* PARSE_SINK */
    void *parse_sink_user;  /* passed to parse_sink */
    const tamsel_value_visitor *parse_visitor; /* PARSE_VISITOR */
    void *parse_visitor_user;                  /* passed to parse_visitor */
    tamsel_value_limits limits;         /* applied when the parser fills this holder; editable */
    tamsel_value_limits runtime_limits; /* the runtime's value limits as last taken */
    const tamsel_json_value_methods *methods; /* the shared method table */
    tamsel_allocator allocator;               /* for data, path and capture */
    int limits_follow_runtime;                /* 1 while limits equals runtime_limits */
    uint32_t magic; /* initialisation mark, keyed to the record's address */
};

/* Initialises `value` (NULL ignored) with the runtime's allocator and value limits; a NULL or
   dead runtime gives the default allocator and limits. Never fails. */
TAMSEL_API void tamsel_json_value_init(tamsel_runtime *runtime, tamsel_json_value *value);
/* Initialises with `allocator` (complete: copied with its stats; NULL, all-NULL or partial:
   the default allocator) and the default limits. */
TAMSEL_API void tamsel_json_value_init_with_allocator(tamsel_json_value *value,
                                                      const tamsel_allocator *allocator);
/* Frees what the holder owns and returns it to idle (kind NONE, no parse mode); allocator
   and limits are kept. A second cleanup does nothing. */
TAMSEL_API void tamsel_json_value_cleanup(tamsel_json_value *value);
/* The same as tamsel_json_value_cleanup. */
TAMSEL_API void tamsel_json_value_reset(tamsel_json_value *value);

/* Validates `bytes[0..len)` as exactly one JSON value and stores it compactly (whitespace
   outside strings dropped) as kind BUFFER. On failure (the parse error, or status 8) the
   holder keeps its previous contents. */
TAMSEL_API tamsel_status tamsel_json_value_set_buffer(tamsel_json_value *value, const void *bytes,
                                                      size_t len, tamsel_error *error);
/* Kind READER: the value is read from `reader` when written (once: a reader is not rewound). */
TAMSEL_API tamsel_status tamsel_json_value_set_reader(tamsel_json_value *value,
                                                      tamsel_reader reader, void *reader_user,
                                                      tamsel_error *error);
/* Kind FILE: the caller's stream is rewound and read each time the value is written. */
TAMSEL_API tamsel_status tamsel_json_value_set_file(tamsel_json_value *value, FILE *file,
                                                    tamsel_error *error);
/* Kind FD: the caller's descriptor is rewound and read each time the value is written. */
TAMSEL_API tamsel_status tamsel_json_value_set_fd(tamsel_json_value *value, int fd,
                                                  tamsel_error *error);
/* Kind PATH: the path is copied; the file is opened and closed each time it is written. */
TAMSEL_API tamsel_status tamsel_json_value_set_path(tamsel_json_value *value, const char *path,
                                                    tamsel_error *error);
/* Parse side: the mapped parser streams the field's compact text to `sink`. */
TAMSEL_API tamsel_status tamsel_json_value_set_parse_sink(tamsel_json_value *value,
                                                          tamsel_sink sink, void *sink_user,
                                                          tamsel_error *error);
/* Parse side: the mapped parser reports the field's events to `visitor`. */
TAMSEL_API tamsel_status tamsel_json_value_set_parse_visitor(tamsel_json_value *value,
                                                             const tamsel_value_visitor *visitor,
                                                             void *visitor_user,
                                                             tamsel_error *error);
/* Parse side: the mapped parser captures the field's compact text into the holder. */
TAMSEL_API tamsel_status tamsel_json_value_enable_parse_capture(tamsel_json_value *value,
                                                                tamsel_error *error);
/* Writes the value compactly to `sink`: NONE as null, BUFFER as stored (one sink call), the
   other kinds re-parsed on the way. A sink status other than OK or TRUNCATED stops the write
   and is returned. */
TAMSEL_API tamsel_status tamsel_json_value_write_to_sink(const tamsel_json_value *value,
                                                         tamsel_sink sink, void *sink_user,
                                                         tamsel_error *error);
/* 1 when the value can be written more than once (NONE, BUFFER, PATH, a seekable FILE* or
   descriptor); 0 for READER, unseekable inputs and NULL. */
TAMSEL_API int tamsel_json_value_is_rewindable(const tamsel_json_value *value);

/* ======================================================================================== */
/* Field maps and mapped records                                                            */
/* ======================================================================================== */

/*
 * How to use: describe a C record with a `tamsel_map` listing one `tamsel_field` per mapped
 * member (key, offset, kind, storage, flags). The parser writes JSON straight into such
 * records and the serializer reads them back. A record goes: fresh, then tamsel_init (or a
 * parse with init_destination on), then populated by parses, then tamsel_reset (empty again,
 * caller storage kept) or tamsel_cleanup (everything the library allocated released). A
 * cleaned record may be initialised or cleaned again.
 *
 * Maps are read-only and may be shared by all threads. Give a map `cache_self` = its own
 * address to let entry points cache its validation per thread; change `cache_token` whenever
 * you change the map in place.
 *
 * TAMSEL_KEY("name") fills the four key members of a field from a string literal:
 *     { TAMSEL_KEY("id"), offsetof(struct rec, id), TAMSEL_FIELD_I64, 0, 0,
 *       TAMSEL_FIELD_REQUIRED, 0, 0, NULL, NULL, 0, 0 }
 */

/* The kind of a mapped field: one of the TAMSEL_FIELD_* kinds below. */
typedef uint32_t tamsel_field_kind;
#define TAMSEL_FIELD_STRING ((tamsel_field_kind)0)        /* char* (dynamic) or char[capacity] */
#define TAMSEL_FIELD_SPOOLED_TEXT ((tamsel_field_kind)1)  /* tamsel_spooled: decoded string */
#define TAMSEL_FIELD_SPOOLED_BYTES ((tamsel_field_kind)2) /* tamsel_spooled: base64-decoded */
#define TAMSEL_FIELD_SOURCE_TEXT ((tamsel_field_kind)3)   /* tamsel_source; serialize only */
#define TAMSEL_FIELD_SOURCE_BYTES ((tamsel_field_kind)4)  /* tamsel_source as base64 */
#define TAMSEL_FIELD_JSON_VALUE ((tamsel_field_kind)5)    /* tamsel_json_value */
#define TAMSEL_FIELD_I64 ((tamsel_field_kind)6)           /* int64_t */
#define TAMSEL_FIELD_U64 ((tamsel_field_kind)7)           /* uint64_t */
#define TAMSEL_FIELD_F64 ((tamsel_field_kind)8)           /* double (numbers: below) */
#define TAMSEL_FIELD_BOOL ((tamsel_field_kind)9)          /* int, 0 or 1 */
#define TAMSEL_FIELD_OBJECT ((tamsel_field_kind)10)       /* nested record of submap */
#define TAMSEL_FIELD_STRING_ARRAY ((tamsel_field_kind)11) /* tamsel_string_array */
#define TAMSEL_FIELD_I64_ARRAY ((tamsel_field_kind)12)    /* tamsel_i64_array */
#define TAMSEL_FIELD_U64_ARRAY ((tamsel_field_kind)13)    /* tamsel_u64_array */
#define TAMSEL_FIELD_F64_ARRAY ((tamsel_field_kind)14)    /* tamsel_f64_array */
#define TAMSEL_FIELD_BOOL_ARRAY ((tamsel_field_kind)15)   /* tamsel_bool_array */
#define TAMSEL_FIELD_OBJECT_ARRAY ((tamsel_field_kind)16) /* tamsel_object_array */
#define TAMSEL_FIELD_STRING_ARRAY_STREAM ((tamsel_field_kind)17) /* tamsel_string_array_stream */
#define TAMSEL_FIELD_MAPPED_ARRAY_STREAM ((tamsel_field_kind)18) /* tamsel_mapped_array_stream */

/* Numbers into F64 fields and F64_ARRAY items: any number the JSON grammar accepts, whatever
   the length of its digits or of its exponent, gives the correctly rounded double (ties to
   even). A value beyond the largest double is refused (status 3 "expected number for
   '<field>'"); a nonzero value that rounds below the smallest subnormal is stored as a zero of
   its sign, as 0 with any exponent is. */

#define TAMSEL_STORAGE_DYNAMIC 0u /* the library allocates the value */
#define TAMSEL_STORAGE_FIXED 1u   /* the caller provides fixed capacity */

#define TAMSEL_OVERFLOW_FAIL 0u            /* too long: status 6 */
#define TAMSEL_OVERFLOW_TRUNCATE 1u        /* cut, and the parse returns status 7 */
#define TAMSEL_OVERFLOW_TRUNCATE_SILENT 2u /* cut; only error.truncated tells (any value > 1) */

#define TAMSEL_FIELD_REQUIRED 0x1u   /* must appear; always serialized */
#define TAMSEL_FIELD_OMIT_NULL 0x2u  /* serialize: omitted when null */
#define TAMSEL_FIELD_OMIT_EMPTY 0x4u /* serialize: omitted when null or empty */
#define TAMSEL_FIELD_HAS_PRESENCE                                                                  \
    0x8u                                 /* kinds I64..BOOL: an int at presence_offset says        \
                                            whether the value was parsed */
#define TAMSEL_FIELD_NULLABLE 0x10u      /* with HAS_PRESENCE: null clears the presence int */
#define TAMSEL_FIELD_CAPTURE 0x80000000u /* JSON_VALUE: init and reset enable parse capture */

#define TAMSEL_ARRAY_OWNED 0x1u /* items were allocated by the library */
#define TAMSEL_ARRAY_FIXED 0x2u /* the caller supplied items and capacity (after tamsel_init) */

typedef struct tamsel_map tamsel_map;

/* One field of a map: the JSON key, where the member lies in the record, and how it is stored.
 * Members in this order. */
typedef struct tamsel_field {
    const char *name;         /* NUL-terminated JSON key */
    size_t name_len;          /* key length in bytes (0 matches the empty key) */
    char name_first;          /* name[0] (0 for the empty key) */
    char name_last;           /* name[name_len - 1] (0 for the empty key) */
    size_t offset;            /* byte offset of the member in the record */
    tamsel_field_kind kind;   /* TAMSEL_FIELD_* */
    uint32_t storage;         /* TAMSEL_STORAGE_* */
    uint32_t overflow_policy; /* TAMSEL_OVERFLOW_* */
    uint32_t flags;           /* TAMSEL_FIELD_* flags */
    size_t capacity;          /* fixed string: bytes of the char array, NUL included */
    size_t elem_size;         /* OBJECT_ARRAY: item size (at least submap->struct_size) */
    const tamsel_map *submap; /* OBJECT, OBJECT_ARRAY, MAPPED_ARRAY_STREAM */
    const tamsel_spool_options *spool_options; /* SPOOLED_*: NULL = the runtime's class */
    size_t presence_offset;                    /* HAS_PRESENCE: offset of the int */
    uint32_t spool_class;                      /* 1 or 2 select that class; anything else class 0 */
} tamsel_field;

/* Expands to the four key members of a tamsel_field for a string literal key. */
#define TAMSEL_KEY(literal)                                                                        \
    literal, sizeof(literal) - 1, (literal)[0],                                                    \
        (literal)[sizeof(literal) > 1 ? sizeof(literal) - 2 : 0]

/* A field map: the fields of one record type. Members in this order. */
struct tamsel_map {
    const char *name;             /* descriptive tag; not interpreted */
    size_t struct_size;           /* size of the record */
    const tamsel_field *fields;   /* the descriptors */
    size_t field_count;           /* number of descriptors at fields */
    const tamsel_map *cache_self; /* the map's own address to allow caching its validation */
    const void *cache_token;      /* change it when the map changes in place */
};

/* Array records. All share one layout: items, count, capacity (in items), flags. */
typedef struct tamsel_string_array {
    char **items;    /* the strings, NUL-terminated */
    size_t count;    /* items in use */
    size_t capacity; /* items allocated */
    uint32_t flags;  /* TAMSEL_ARRAY_* */
} tamsel_string_array;
/* An array of int64_t values, in the layout of tamsel_string_array. */
typedef struct tamsel_i64_array {
    int64_t *items;  /* the values */
    size_t count;    /* items in use */
    size_t capacity; /* items allocated */
    uint32_t flags;  /* TAMSEL_ARRAY_* */
} tamsel_i64_array;
/* An array of uint64_t values, in the layout of tamsel_string_array. */
typedef struct tamsel_u64_array {
    uint64_t *items; /* the values */
    size_t count;    /* items in use */
    size_t capacity; /* items allocated */
    uint32_t flags;  /* TAMSEL_ARRAY_* */
} tamsel_u64_array;
/* An array of double values, in the layout of tamsel_string_array. */
typedef struct tamsel_f64_array {
    double *items;   /* the values */
    size_t count;    /* items in use */
    size_t capacity; /* items allocated */
    uint32_t flags;  /* TAMSEL_ARRAY_* */
} tamsel_f64_array;
/* An array of int (0 or 1) values, in the layout of tamsel_string_array. */
typedef struct tamsel_bool_array {
    int *items;      /* the values, 0 or 1 */
    size_t count;    /* items in use */
    size_t capacity; /* items allocated */
    uint32_t flags;  /* TAMSEL_ARRAY_* */
} tamsel_bool_array;
/* OBJECT_ARRAY: items are `elem_size` bytes apart (the field's elem_size; this member is
   informational, set by init). */
typedef struct tamsel_object_array {
    void *items;      /* the item records */
    size_t count;     /* items in use */
    size_t capacity;  /* items allocated */
    size_t elem_size; /* bytes per item */
    uint32_t flags;   /* TAMSEL_ARRAY_* */
} tamsel_object_array;

/* Sets every mapped member of `dst` to its empty state WITHOUT releasing what was there: the
   record must be fresh, or cleaned with tamsel_cleanup, or its old contents leak. Fields with
   an invalid layout are skipped. runtime may be NULL (defaults). Never fails. */
TAMSEL_API void tamsel_init(tamsel_runtime *runtime, const tamsel_map *map, void *dst);
/* Returns a populated record to its empty state, releasing values but keeping caller
   storage (fixed arrays, stream handlers, holder configuration). Never fails. */
TAMSEL_API void tamsel_reset(tamsel_runtime *runtime, const tamsel_map *map, void *dst);
/* Releases everything the library allocated in `dst`; scalars keep their values, presence
   ints become 0. Does nothing for an invalid map. Safe to repeat. */
TAMSEL_API void tamsel_cleanup(const tamsel_map *map, void *dst);

/* ======================================================================================== */
/* Field declarations                                                                       */
/* ======================================================================================== */

/*
 * How to use: declare a map one field per line. Each TAMSEL_MEMBER_<KIND> macro takes the
 * record type and the member and expands to a whole `tamsel_field` initialiser: the JSON key
 * is the member's name, the offset is offsetof(type, member), a fixed string's capacity is the
 * size of its char array, an object array's item size is the size of its item type, and every
 * member the kind does not use is zero. TAMSEL_MEMBER_AS(KIND, "key", ...) gives a key that
 * differs from the member's name. TAMSEL_DEFINE_MAP counts the fields and points the map's
 * `cache_self` at itself, so entry points cache its validation:
 *
 *     static const tamsel_field user_fields[] = {
 *         TAMSEL_MEMBER_I64(struct user, id, TAMSEL_FIELD_REQUIRED),
 *         TAMSEL_MEMBER_STRING(struct user, name, 0),
 *         TAMSEL_MEMBER_FIXED_STRING(struct user, country, TAMSEL_OVERFLOW_FAIL, 0),
 *         TAMSEL_MEMBER_OBJECT(struct user, address, &address_map, 0),
 *         TAMSEL_MEMBER_AS(STRING, "e-mail", struct user, email, TAMSEL_FIELD_OMIT_NULL),
 *     };
 *     TAMSEL_DEFINE_MAP(user_map, struct user, user_fields);
 *
 * `flags` is 0 or TAMSEL_FIELD_* flags. The macros are C99 and C++ alike: positional
 * initialisers of all fifteen members, no designated initialisers. A key must be a string
 * literal. The kind constants keep their names (TAMSEL_FIELD_I64 is a kind), so the
 * declarations are TAMSEL_MEMBER_*; a field they do not cover (fixed-capacity arrays, explicit
 * spool options) is written as a plain initialiser beside them.
 */

/* A string member: `char *`, allocated by the library (NULL when absent). */
#define TAMSEL_MEMBER_STRING(type, member, flags)                                                  \
    TAMSEL__MEMBER_STRING(#member, type, member, flags)
/* A `char[N]` member: at most N - 1 bytes and the NUL; `overflow` is a TAMSEL_OVERFLOW_* policy. */
#define TAMSEL_MEMBER_FIXED_STRING(type, member, overflow, flags)                                  \
    TAMSEL__MEMBER_FIXED_STRING(#member, type, member, overflow, flags)
/* A `tamsel_spooled` member holding the decoded string; `spool_class` 0, 1 or 2 of the runtime. */
#define TAMSEL_MEMBER_SPOOLED_TEXT(type, member, spool_class, flags)                               \
    TAMSEL__MEMBER_SPOOLED_TEXT(#member, type, member, spool_class, flags)
/* A `tamsel_spooled` member holding the base64-decoded bytes of a string. */
#define TAMSEL_MEMBER_SPOOLED_BYTES(type, member, spool_class, flags)                              \
    TAMSEL__MEMBER_SPOOLED_BYTES(#member, type, member, spool_class, flags)
/* A `tamsel_source` member written as a string (serialize only). */
#define TAMSEL_MEMBER_SOURCE_TEXT(type, member, flags)                                             \
    TAMSEL__MEMBER_SOURCE_TEXT(#member, type, member, flags)
/* A `tamsel_source` member written as base64 (serialize only). */
#define TAMSEL_MEMBER_SOURCE_BYTES(type, member, flags)                                            \
    TAMSEL__MEMBER_SOURCE_BYTES(#member, type, member, flags)
/* A `tamsel_json_value` member; add TAMSEL_FIELD_CAPTURE to keep the value's compact text. */
#define TAMSEL_MEMBER_JSON_VALUE(type, member, flags)                                              \
    TAMSEL__MEMBER_JSON_VALUE(#member, type, member, flags)
/* An `int64_t` member. */
#define TAMSEL_MEMBER_I64(type, member, flags) TAMSEL__MEMBER_I64(#member, type, member, flags)
/* A `uint64_t` member. */
#define TAMSEL_MEMBER_U64(type, member, flags) TAMSEL__MEMBER_U64(#member, type, member, flags)
/* A `double` member. */
#define TAMSEL_MEMBER_F64(type, member, flags) TAMSEL__MEMBER_F64(#member, type, member, flags)
/* An `int` member holding 0 or 1. */
#define TAMSEL_MEMBER_BOOL(type, member, flags) TAMSEL__MEMBER_BOOL(#member, type, member, flags)
/* An `int64_t` member with TAMSEL_FIELD_HAS_PRESENCE: the int member `presence` says whether
   the value was parsed (add TAMSEL_FIELD_NULLABLE to accept null). */
#define TAMSEL_MEMBER_I64_PRESENCE(type, member, presence, flags)                                  \
    TAMSEL__MEMBER_I64_PRESENCE(#member, type, member, presence, flags)
/* A `uint64_t` member with a presence int, as TAMSEL_MEMBER_I64_PRESENCE. */
#define TAMSEL_MEMBER_U64_PRESENCE(type, member, presence, flags)                                  \
    TAMSEL__MEMBER_U64_PRESENCE(#member, type, member, presence, flags)
/* A `double` member with a presence int, as TAMSEL_MEMBER_I64_PRESENCE. */
#define TAMSEL_MEMBER_F64_PRESENCE(type, member, presence, flags)                                  \
    TAMSEL__MEMBER_F64_PRESENCE(#member, type, member, presence, flags)
/* An `int` (0 or 1) member with a presence int, as TAMSEL_MEMBER_I64_PRESENCE. */
#define TAMSEL_MEMBER_BOOL_PRESENCE(type, member, presence, flags)                                 \
    TAMSEL__MEMBER_BOOL_PRESENCE(#member, type, member, presence, flags)
/* A nested record described by `submap` (a `const tamsel_map *`). */
#define TAMSEL_MEMBER_OBJECT(type, member, submap, flags)                                          \
    TAMSEL__MEMBER_OBJECT(#member, type, member, submap, flags)
/* A `tamsel_string_array` member. */
#define TAMSEL_MEMBER_STRING_ARRAY(type, member, flags)                                            \
    TAMSEL__MEMBER_STRING_ARRAY(#member, type, member, flags)
/* A `tamsel_i64_array` member. */
#define TAMSEL_MEMBER_I64_ARRAY(type, member, flags)                                               \
    TAMSEL__MEMBER_I64_ARRAY(#member, type, member, flags)
/* A `tamsel_u64_array` member. */
#define TAMSEL_MEMBER_U64_ARRAY(type, member, flags)                                               \
    TAMSEL__MEMBER_U64_ARRAY(#member, type, member, flags)
/* A `tamsel_f64_array` member. */
#define TAMSEL_MEMBER_F64_ARRAY(type, member, flags)                                               \
    TAMSEL__MEMBER_F64_ARRAY(#member, type, member, flags)
/* A `tamsel_bool_array` member. */
#define TAMSEL_MEMBER_BOOL_ARRAY(type, member, flags)                                              \
    TAMSEL__MEMBER_BOOL_ARRAY(#member, type, member, flags)
/* A `tamsel_object_array` member whose items are `item_type` records described by `submap`. */
#define TAMSEL_MEMBER_OBJECT_ARRAY(type, member, item_type, submap, flags)                         \
    TAMSEL__MEMBER_OBJECT_ARRAY(#member, type, member, item_type, submap, flags)
/* A `tamsel_string_array_stream` member (parse only). */
#define TAMSEL_MEMBER_STRING_ARRAY_STREAM(type, member, flags)                                     \
    TAMSEL__MEMBER_STRING_ARRAY_STREAM(#member, type, member, flags)
/* A `tamsel_mapped_array_stream` member whose items `submap` describes (parse only). */
#define TAMSEL_MEMBER_MAPPED_ARRAY_STREAM(type, member, submap, flags)                             \
    TAMSEL__MEMBER_MAPPED_ARRAY_STREAM(#member, type, member, submap, flags)
/* Any of the declarations above with the JSON key `key` (a string literal) instead of the
   member's name: TAMSEL_MEMBER_AS(I64, "user-id", struct user, id, 0). `KIND` is the part of
   the macro's name after TAMSEL_MEMBER_ (STRING, FIXED_STRING, I64_PRESENCE, OBJECT ...). */
#define TAMSEL_MEMBER_AS(KIND, key, ...) TAMSEL__MEMBER_##KIND(key, __VA_ARGS__)

/* The initialiser of a map named `name` over the record type `type` and the field array
   `fields` (an array, not a pointer: its length is the field count), pointing to itself. */
#define TAMSEL_MAP_INITIALIZER(name, type, fields)                                                 \
    { #type, sizeof(type), fields, sizeof(fields) / sizeof((fields)[0]), &(name), NULL }
/* Defines `static const tamsel_map name` with TAMSEL_MAP_INITIALIZER. For a map shared between
   files, declare it `extern const tamsel_map name;` and define it with the initialiser. */
#define TAMSEL_DEFINE_MAP(name, type, fields)                                                      \
    static const tamsel_map name = TAMSEL_MAP_INITIALIZER(name, type, fields)

/* Every member of a tamsel_field in order, for the declarations above. */
#define TAMSEL__MEMBER(key, type, member, kind, storage, overflow, flags, capacity, elem_size,     \
                       submap, presence_offset, spool_class)                                       \
    {                                                                                              \
        TAMSEL_KEY(key), offsetof(type, member), kind, storage, (uint32_t)(overflow),              \
            (uint32_t)(flags), capacity, elem_size, submap, NULL, presence_offset,                 \
            (uint32_t)(spool_class)                                                                \
    }
#define TAMSEL__MEMBER_PLAIN(key, type, member, kind, flags)                                       \
    TAMSEL__MEMBER(key, type, member, kind, TAMSEL_STORAGE_DYNAMIC, 0, flags, 0, 0, NULL, 0, 0)
#define TAMSEL__MEMBER_PRESENCE(key, type, member, kind, presence, flags)                          \
    TAMSEL__MEMBER(key, type, member, kind, TAMSEL_STORAGE_DYNAMIC, 0,                             \
                   (flags) | TAMSEL_FIELD_HAS_PRESENCE, 0, 0, NULL, offsetof(type, presence), 0)
#define TAMSEL__MEMBER_STRING(key, type, member, flags)                                            \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_STRING, flags)
#define TAMSEL__MEMBER_FIXED_STRING(key, type, member, overflow, flags)                            \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED, overflow, flags,  \
                   sizeof(((type *)0)->member), 0, NULL, 0, 0)
#define TAMSEL__MEMBER_SPOOLED_TEXT(key, type, member, spool_class, flags)                         \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_SPOOLED_TEXT, TAMSEL_STORAGE_DYNAMIC, 0, flags, \
                   0, 0, NULL, 0, spool_class)
#define TAMSEL__MEMBER_SPOOLED_BYTES(key, type, member, spool_class, flags)                        \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_SPOOLED_BYTES, TAMSEL_STORAGE_DYNAMIC, 0,       \
                   flags, 0, 0, NULL, 0, spool_class)
#define TAMSEL__MEMBER_SOURCE_TEXT(key, type, member, flags)                                       \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_SOURCE_TEXT, flags)
#define TAMSEL__MEMBER_SOURCE_BYTES(key, type, member, flags)                                      \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_SOURCE_BYTES, flags)
#define TAMSEL__MEMBER_JSON_VALUE(key, type, member, flags)                                        \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_JSON_VALUE, flags)
#define TAMSEL__MEMBER_I64(key, type, member, flags)                                               \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_I64, flags)
#define TAMSEL__MEMBER_U64(key, type, member, flags)                                               \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_U64, flags)
#define TAMSEL__MEMBER_F64(key, type, member, flags)                                               \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_F64, flags)
#define TAMSEL__MEMBER_BOOL(key, type, member, flags)                                              \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_BOOL, flags)
#define TAMSEL__MEMBER_I64_PRESENCE(key, type, member, presence, flags)                            \
    TAMSEL__MEMBER_PRESENCE(key, type, member, TAMSEL_FIELD_I64, presence, flags)
#define TAMSEL__MEMBER_U64_PRESENCE(key, type, member, presence, flags)                            \
    TAMSEL__MEMBER_PRESENCE(key, type, member, TAMSEL_FIELD_U64, presence, flags)
#define TAMSEL__MEMBER_F64_PRESENCE(key, type, member, presence, flags)                            \
    TAMSEL__MEMBER_PRESENCE(key, type, member, TAMSEL_FIELD_F64, presence, flags)
#define TAMSEL__MEMBER_BOOL_PRESENCE(key, type, member, presence, flags)                           \
    TAMSEL__MEMBER_PRESENCE(key, type, member, TAMSEL_FIELD_BOOL, presence, flags)
#define TAMSEL__MEMBER_OBJECT(key, type, member, submap, flags)                                    \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_OBJECT, TAMSEL_STORAGE_DYNAMIC, 0, flags, 0, 0, \
                   submap, 0, 0)
#define TAMSEL__MEMBER_STRING_ARRAY(key, type, member, flags)                                      \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_STRING_ARRAY, flags)
#define TAMSEL__MEMBER_I64_ARRAY(key, type, member, flags)                                         \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_I64_ARRAY, flags)
#define TAMSEL__MEMBER_U64_ARRAY(key, type, member, flags)                                         \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_U64_ARRAY, flags)
#define TAMSEL__MEMBER_F64_ARRAY(key, type, member, flags)                                         \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_F64_ARRAY, flags)
#define TAMSEL__MEMBER_BOOL_ARRAY(key, type, member, flags)                                        \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_BOOL_ARRAY, flags)
#define TAMSEL__MEMBER_OBJECT_ARRAY(key, type, member, item_type, submap, flags)                   \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_OBJECT_ARRAY, TAMSEL_STORAGE_DYNAMIC, 0, flags, \
                   0, sizeof(item_type), submap, 0, 0)
#define TAMSEL__MEMBER_STRING_ARRAY_STREAM(key, type, member, flags)                               \
    TAMSEL__MEMBER_PLAIN(key, type, member, TAMSEL_FIELD_STRING_ARRAY_STREAM, flags)
#define TAMSEL__MEMBER_MAPPED_ARRAY_STREAM(key, type, member, submap, flags)                       \
    TAMSEL__MEMBER(key, type, member, TAMSEL_FIELD_MAPPED_ARRAY_STREAM, TAMSEL_STORAGE_DYNAMIC, 0, \
                   flags, 0, 0, submap, 0, 0)

/* ======================================================================================== */
/* Streamed fields: string array streams and mapped array streams                           */
/* ======================================================================================== */

/*
 * How to use: a TAMSEL_FIELD_STRING_ARRAY_STREAM member hands each string element of its JSON
 * array to a chunk handler as it is decoded; a TAMSEL_FIELD_MAPPED_ARRAY_STREAM member parses
 * each object element into one caller item record, calls back, and resets the item for the
 * next element. Set the handler once (set_handler); it survives tamsel_init, tamsel_reset and
 * parses. Callbacks run inside the parse call; a status other than OK or TRUNCATED fails the
 * parse with that status.
 */

/* Receives one string piece by piece; only `chunk` is required. */
typedef struct tamsel_string_chunk_handler {
    tamsel_status (*begin)(void *user, tamsel_error *error); /* the string starts; may be NULL */
    tamsel_status (*chunk)(void *user, const char *bytes, size_t length,
                           tamsel_error *error);           /* a decoded piece; required */
    tamsel_status (*end)(void *user, tamsel_error *error); /* the string ends; may be NULL */
} tamsel_string_chunk_handler;

#define TAMSEL_STRING_ARRAY_STREAM_MAGIC 0x54534153u /* 'TSAS' */
#define TAMSEL_MAPPED_ARRAY_STREAM_MAGIC 0x54534d53u /* 'TSMS' */

typedef struct tamsel_string_array_stream tamsel_string_array_stream;
/* A TAMSEL_FIELD_STRING_ARRAY_STREAM member: the handler it hands each string element to. */
struct tamsel_string_array_stream {
    tamsel_status (*begin)(void *user, tamsel_error *error); /* the handler's begin */
    tamsel_status (*chunk)(void *user, const char *bytes, size_t length,
                           tamsel_error *error);           /* the handler's chunk */
    tamsel_status (*end)(void *user, tamsel_error *error); /* the handler's end */
    void *user;                                            /* passed to the callbacks */
    int active;     /* 1 while an element string is being delivered */
    uint32_t magic; /* address-keyed initialisation mark */
    tamsel_status (*set_handler)(tamsel_string_array_stream *stream,
                                 const tamsel_string_chunk_handler *handler, void *user,
                                 tamsel_error *error);
};

/* What a mapped array stream does with each element. */
typedef struct tamsel_mapped_item_handler {
    const tamsel_map *item_map; /* map of one item */
    void *item;                 /* the caller's item record, reused for every element */
    tamsel_status (*callback)(void *user, void *item,
                              tamsel_error *error); /* called with each parsed item */
    void *user;                                     /* passed to callback */
} tamsel_mapped_item_handler;

typedef struct tamsel_mapped_array_stream tamsel_mapped_array_stream;
/* A TAMSEL_FIELD_MAPPED_ARRAY_STREAM member: the item record and callback each element goes to. */
struct tamsel_mapped_array_stream {
    const tamsel_map *item_map; /* map of one item */
    void *item;                 /* the caller's item record */
    tamsel_status (*callback)(void *user, void *item,
                              tamsel_error *error); /* called with each parsed item */
    void *user;                                     /* passed to callback */
    int active;                                     /* 1 while its array is being parsed */
    uint32_t magic;                                 /* address-keyed initialisation mark */
    tamsel_status (*set_handler)(tamsel_mapped_array_stream *stream,
                                 const tamsel_mapped_item_handler *handler, tamsel_error *error);
};

/* Zeroes the record, stamps its mark and installs set_handler; returns `stream` (NULL
   ignored). */
TAMSEL_API tamsel_string_array_stream *
tamsel_string_array_stream_init(tamsel_string_array_stream *stream);
/* Copies the handler's callbacks and `user` (initialising the record first if needed).
   Status 1 "string array stream and chunk handler are required" without stream, handler or
   handler->chunk. */
TAMSEL_API tamsel_status tamsel_string_array_stream_set_handler(
    tamsel_string_array_stream *stream, const tamsel_string_chunk_handler *handler, void *user,
    tamsel_error *error);
TAMSEL_API tamsel_mapped_array_stream *
tamsel_mapped_array_stream_init(tamsel_mapped_array_stream *stream);
/* Copies the handler (initialising the record first if needed) and initialises the item
   record for the item map, so that it never holds garbage. Status 1 when a member is missing
   or the item map is invalid. */
TAMSEL_API tamsel_status tamsel_mapped_array_stream_set_handler(
    tamsel_mapped_array_stream *stream, const tamsel_mapped_item_handler *handler,
    tamsel_error *error);

/* ======================================================================================== */
/* Parsing, validation and object streams                                                   */
/* ======================================================================================== */

/*
 * How to use: tamsel_parse_* reads one JSON object into `dst` as `map` describes; any bytes
 * after it other than whitespace are an error. tamsel_validate_* checks that the input is
 * exactly one JSON value within the runtime's parse limits. Inputs are read in 1024-byte
 * pieces; one-shot calls allocate nothing themselves (values are allocated under the parse
 * budget, max_parse_bytes). With init_destination on (the default) `dst` must be fresh or
 * cleaned first. After a failure `dst` may be partly filled; everything it holds is valid and
 * released by tamsel_cleanup. The error record carries the line, column and byte offset of
 * the failing byte; after success, the position reached. A complete parse in which a
 * fixed-capacity value was cut returns TRUNCATED (error.code 0, error.truncated 1).
 *
 * Object streams read a sequence of top-level objects (concatenated or one per line) from one
 * input into a destination, one per tamsel_stream_next call. A non-blocking descriptor or
 * reader without data gives TAMSEL_STREAM_WOULD_BLOCK; call next again with the same
 * destination to resume. Passing the same destination each time releases the previous
 * object's values first. A stream copies the runtime's settings and outlives it.
 */

/* Parses one JSON object from `len` bytes at `data` (_cstr: a NUL-terminated string) into `dst`. */
TAMSEL_API tamsel_status tamsel_parse_buffer(tamsel_runtime *runtime, const tamsel_map *map,
                                             void *dst, const void *data, size_t len,
                                             tamsel_error *error);
/* As tamsel_parse_buffer, over the bytes of `json` up to its NUL. */
TAMSEL_API tamsel_status tamsel_parse_cstr(tamsel_runtime *runtime, const tamsel_map *map,
                                           void *dst, const char *json, tamsel_error *error);
/* Reader errors are status 10 "reader callback failed" (system_errno set); would-block is
   status 9 "reader would block" (a one-shot parse cannot resume). The reader is asked for
   1024 bytes a call. */
TAMSEL_API tamsel_status tamsel_parse_reader(tamsel_runtime *runtime, const tamsel_map *map,
                                             void *dst, tamsel_reader reader, void *reader_user,
                                             tamsel_error *error);
/* Reads `file` with fread, 8 KiB a call (the call's whole read buffer, on the stack, as for
   every one-shot door: at most 16 KiB of it in all). The file is read to its end. */
TAMSEL_API tamsel_status tamsel_parse_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                            void *dst, FILE *file, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_parse_path(tamsel_runtime *runtime, const tamsel_map *map,
                                           void *dst, const char *path, tamsel_error *error);

/* Checks that the input is exactly one JSON value within the runtime's parse limits; returns 0 or
 * the failure with its position. Keys and numbers (and, in a parse, the elements of
 * TAMSEL_FIELD_STRING_ARRAY fields) are held whole in the parser's workspace beside the open
 * levels: about 4 KiB at the root, less at each level (about 500 bytes 64 levels down). A
 * longer one fails these doors and the parse doors with status 8 "failed to append string" or
 * "failed to append number", although no allocation failed: read status 8 from them as "too
 * long for the workspace" as well as "out of memory". To validate arbitrary input, use
 * tamsel_visit_value_* with tamsel_default_value_visitor(): keys and strings are streamed
 * there, and every length is bounded by the runtime's value limits alone. */
TAMSEL_API tamsel_status tamsel_validate_buffer(tamsel_runtime *runtime, const void *data,
                                                size_t len, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_validate_cstr(tamsel_runtime *runtime, const char *json,
                                              tamsel_error *error);
TAMSEL_API tamsel_status tamsel_validate_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                void *reader_user, tamsel_error *error);
/* _filep and _path read as tamsel_parse_filep, 8 KiB a call. */
TAMSEL_API tamsel_status tamsel_validate_filep(tamsel_runtime *runtime, FILE *file,
                                               tamsel_error *error);
TAMSEL_API tamsel_status tamsel_validate_path(tamsel_runtime *runtime, const char *path,
                                              tamsel_error *error);

/* What tamsel_stream_next returned: one of the TAMSEL_STREAM_* values. */
typedef int tamsel_stream_result;
#define TAMSEL_STREAM_ITEM 0        /* an object was delivered */
#define TAMSEL_STREAM_END 1         /* the input ended cleanly between objects */
#define TAMSEL_STREAM_WOULD_BLOCK 2 /* no data now; call next again with the same dst */
#define TAMSEL_STREAM_ERROR 3       /* failure: see the error record */

typedef struct tamsel_stream tamsel_stream;
/* An object stream handle. Never edit the members. */
struct tamsel_stream {
    tamsel_error error; /* the stream's own record: the last result */
    tamsel_stream_result (*next)(tamsel_stream *stream, void *dst, tamsel_error *error);
    void (*close)(tamsel_stream *stream);
};

/* Opening: status 1 "tamsel runtime is required", "map is required", a partial allocator, or
   the input's own message; status 8 "failed to allocate stream". Returns NULL on failure.
   The stream never closes a caller's FILE* or descriptor; it closes a file it opened.
   Input: a reader is asked for 1024 bytes a call. A FILE* (_filep, _path) or descriptor
   (_fd) is read 64 KiB a call into a window allocated with the stream at open; this changes
   no result, since a stream holds the bytes after the current object in its window whatever
   its size, but a caller's FILE* or descriptor may have been read further when the stream
   closes. A stream over tamsel_buffer_reader_read reads the buffer's bytes where they lie:
   the reader's `pos` moves exactly as 1024-byte reads would move it, and the bytes it handed
   out and the stream has not used are copied into the stream before next returns, so
   changing or freeing them afterwards changes nothing. */
TAMSEL_API tamsel_stream *tamsel_stream_open_reader(tamsel_runtime *runtime, const tamsel_map *map,
                                                    tamsel_reader reader, void *reader_user,
                                                    tamsel_error *error);
TAMSEL_API tamsel_stream *tamsel_stream_open_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                                   FILE *file, tamsel_error *error);
TAMSEL_API tamsel_stream *tamsel_stream_open_path(tamsel_runtime *runtime, const tamsel_map *map,
                                                  const char *path, tamsel_error *error);
TAMSEL_API tamsel_stream *tamsel_stream_open_fd(tamsel_runtime *runtime, const tamsel_map *map,
                                                int fd, tamsel_error *error);
/* Delivers the next object into `dst`. `error` may be NULL (the stream's own record always
   gets the result). */
TAMSEL_API tamsel_stream_result tamsel_stream_next(tamsel_stream *stream, void *dst,
                                                   tamsel_error *error);
TAMSEL_API const tamsel_error *tamsel_stream_error(const tamsel_stream *stream);
/* Frees the stream (NULL ignored). The destination's contents stay the caller's. Called from
   one of the stream's own callbacks (its reader, field handlers, holders' visitors), it frees
   the stream once the running next returns; next called from them fails with status 1
   "stream called from its own callback". */
TAMSEL_API void tamsel_stream_close(tamsel_stream *stream);

/* ======================================================================================== */
/* Array streams                                                                            */
/* ======================================================================================== */

/*
 * How to use: an array stream hands out the items of one JSON array one at a time, so an array
 * of any length costs the memory of one item (a window of 1024 bytes, or 64 KiB for a FILE*
 * or descriptor, the item parser and the open levels of the item). The array is the root value
 * (path NULL or "") or the value of one member of a root object (path "items": one member
 * name, no dots), or, with the selector openers, the value at a path of members and elements
 * ("data.items"). Open the stream from a reader, FILE*, descriptor or path and pull items with
 * next (into a mapped record) or next_value (into a JSON value holder) until
 * TAMSEL_STREAM_END; or open it push-fed and hand it the input in chunks with push /
 * push_string / push_string_items, then call the matching finish. Close it with
 * tamsel_array_stream_close (or its close member) in every case.
 *
 * The stream never reads past the item it delivers: the bytes after an item stay in its
 * window. An item is delivered only once the ',' or ']' after it was seen, so a syntax error
 * after the last item is reported instead of that item. A non-blocking reader or descriptor
 * gives TAMSEL_STREAM_WOULD_BLOCK; call again with the same item kind and destination and the
 * stream resumes exactly where it stopped. Errors carry the line, column and byte offset of
 * the failing byte counted from the start of the input.
 *
 * States: active, then done (after TAMSEL_STREAM_END) or failed (after any error, including
 * an item that fails its map or a callback failure). A failed stream repeats its error on every
 * later call (pushes return its status); a done stream returns TAMSEL_STREAM_END (pushes: "array
 * stream is already finished"). Argument checks (status 1) change nothing.
 *
 * Destinations: with init_destination on (the default), next and push prepare the record for
 * each item; passing the same record again releases the previous item's values first, and
 * after the last item the record is the caller's to tamsel_cleanup. push cleans the record up
 * after each callback. After an item failure the record may be partly filled; tamsel_cleanup
 * releases it.
 *
 * A stream copies the runtime's settings when it opens and outlives the runtime. It belongs to
 * one thread at a time.
 */

typedef struct tamsel_array_stream tamsel_array_stream;

/* Push item callback: receives the record the item was parsed into. Returns 0 to go on, 7
   (something was cut) to go on and have the call return 7, or a failure that stops the
   stream. */
typedef tamsel_status (*tamsel_array_item_callback)(void *user, void *destination);
/* String item callback: one whole string item, NUL-terminated (`length` excludes the NUL), its
   bytes valid during the call. A failure may leave a message in `error`. */
typedef tamsel_status (*tamsel_array_string_item_callback)(void *user, const char *text,
                                                           size_t length, tamsel_error *error);

/* The handle: the stream's own error record first (tamsel_array_stream_error returns it), then
   its operations, each the public function of the same name. Never edit the members. */
struct tamsel_array_stream {
    tamsel_error error; /* the last result of the stream */
    tamsel_stream_result (*next)(tamsel_array_stream *stream, const struct tamsel_map *map,
                                 void *dst, tamsel_error *error);
    tamsel_stream_result (*next_value)(tamsel_array_stream *stream, struct tamsel_json_value *value,
                                       tamsel_error *error);
    tamsel_status (*push)(tamsel_array_stream *stream, const struct tamsel_map *map, void *dst,
                          const void *bytes, size_t length, tamsel_array_item_callback callback,
                          void *user, tamsel_error *error);
    tamsel_status (*finish)(tamsel_array_stream *stream, const struct tamsel_map *map, void *dst,
                            tamsel_array_item_callback callback, void *user, tamsel_error *error);
    tamsel_status (*push_string)(tamsel_array_stream *stream, const void *bytes, size_t length,
                                 const tamsel_string_chunk_handler *handler, void *user,
                                 tamsel_error *error);
    tamsel_status (*finish_string)(tamsel_array_stream *stream,
                                   const tamsel_string_chunk_handler *handler, void *user,
                                   tamsel_error *error);
    tamsel_status (*push_string_items)(tamsel_array_stream *stream, const void *bytes,
                                       size_t length, tamsel_array_string_item_callback callback,
                                       void *user, tamsel_error *error);
    tamsel_status (*finish_string_items)(tamsel_array_stream *stream,
                                         tamsel_array_string_item_callback callback, void *user,
                                         tamsel_error *error);
    void (*close)(tamsel_array_stream *stream);
};

/*
 * Openers. Each borrows `runtime` for the call only ("tamsel runtime is required") and copies
 * its settings and parse options.
 *   path: NULL or "" streams the root array; otherwise the member of the root object whose
 *         value is the array. A path with a '.' is refused ("array stream v1 supports only one
 *         direct path segment").
 *   error: optional; reset on success.
 * Returns the handle, or NULL: status 1 for the checks named below and "allocator must
 * provide either all callbacks or none"; status 8 "failed to allocate array stream" or "failed
 * to allocate string". The stream never closes a caller's FILE* or descriptor.
 */
/* Reads through `reader` ("reader callback is required"), 1024 bytes a call. A reader failure
   is status 10 "array stream read failed" (its code in system_errno); 0 bytes without eof or
   would_block is asked again, at most TAMSEL_READER_MAX_EMPTY_READS times in a row (then
   status 9 "reader made no progress"). Over tamsel_buffer_reader_read the buffer's bytes are
   read where they lie: the reader's `pos` moves exactly as 1024-byte reads would move it, and
   the bytes it handed out that the stream has not used are copied into the stream before each
   call returns, so changing or freeing them afterwards changes nothing. */
TAMSEL_API tamsel_array_stream *
tamsel_array_stream_open_reader(tamsel_runtime *runtime, const char *path, tamsel_reader reader,
                                void *reader_user, tamsel_error *error);
/* Reads `file` ("file pointer is required") with fread, 64 KiB a call into a window allocated
   with the stream; a read error is status 10 with errno. The window's size changes no result
   (the bytes after an item stay in the window whatever its size), but the FILE* may have been
   read further when the stream closes. */
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_filep(tamsel_runtime *runtime,
                                                               const char *path, FILE *file,
                                                               tamsel_error *error);
/* Opens `file_path` ("path is required") with fopen "rb" (status 10 "failed to open '%s'",
   errno set) and closes it at close. */
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_path(tamsel_runtime *runtime,
                                                              const char *path,
                                                              const char *file_path,
                                                              tamsel_error *error);
/* Reads descriptor `fd` ("fd must be non-negative") with read(2), 64 KiB a call into a window
   allocated with the stream (as _filep: no result changes, the descriptor's offset may be
   further on at close); EAGAIN gives TAMSEL_STREAM_WOULD_BLOCK. */
TAMSEL_API tamsel_array_stream *
tamsel_array_stream_open_fd(tamsel_runtime *runtime, const char *path, int fd, tamsel_error *error);
/* A push-fed stream: input comes only from the push calls. */
TAMSEL_API tamsel_array_stream *
tamsel_array_stream_open_push(tamsel_runtime *runtime, const char *path, tamsel_error *error);

/*
 * Selector openers: as the openers above, with the array found at a path of any depth, written
 * as the value rewrite's selector.
 *   selector: segments separated by dots; a backslash makes the next character literal
 *             ("a\\.b" is the member named a.b). From the root, each segment names a member of
 *             the object reached so far or, when it is a decimal index without leading zeros,
 *             also an element of the array reached so far ("data.0.items"). NULL or "" streams
 *             the root array. A selector ending in a backslash or holding an empty segment is
 *             status 1 "array stream selector ends with an escape" / "array stream selector
 *             contains empty segment".
 * The objects and arrays on the way are read by the stream itself (their keys checked for
 * duplicates when duplicates are rejected, "duplicate root object field" at the root,
 * "duplicate object field" below); every other value is validated and skipped without being
 * stored. Besides the errors of next, a value on the way that is not an object (or, for an
 * index segment, not an object or array) fails with status 3 "array path requires a root
 * object" (or "... a root object or array") at the root and "array path requires an object at
 * \"PATH\"" below it; a path that nothing matches fails, once the root closed, with status 4
 * "selected array field was not found: no member \"NAME\" in the root object" (or "in
 * \"PATH\"", or "no element N in ..."), naming the first segment that was never matched.
 * When duplicates are allowed, every member that matches is followed, and each array it
 * leads to is streamed. Other arguments, checks and results as the openers above; status 8
 * "failed to allocate array stream selector" when the path cannot be stored.
 */
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_selector_reader(tamsel_runtime *runtime,
                                                                         const char *selector,
                                                                         tamsel_reader reader,
                                                                         void *reader_user,
                                                                         tamsel_error *error);
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_selector_filep(tamsel_runtime *runtime,
                                                                        const char *selector,
                                                                        FILE *file,
                                                                        tamsel_error *error);
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_selector_path(tamsel_runtime *runtime,
                                                                       const char *selector,
                                                                       const char *file_path,
                                                                       tamsel_error *error);
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_selector_fd(tamsel_runtime *runtime,
                                                                     const char *selector, int fd,
                                                                     tamsel_error *error);
TAMSEL_API tamsel_array_stream *tamsel_array_stream_open_selector_push(tamsel_runtime *runtime,
                                                                       const char *selector,
                                                                       tamsel_error *error);

/*
 * tamsel_array_stream_next: parses the next item (an object) into `dst` as `map` describes.
 *   map, dst: required with the stream ("array stream, map, and destination are required");
 *             a map that fails the layout analysis: "invalid field layout" (status 1, nothing
 *             read). A pending item must be resumed with the same map and destination, else
 *             the stream fails with "resume array stream item with the same destination".
 *   error: optional; receives a copy of the stream's error record. After an item it holds the
 *          item's status: 0, or 7 with `truncated` 1 when a fixed-capacity value was cut.
 * Returns TAMSEL_STREAM_ITEM, TAMSEL_STREAM_END (array closed, only whitespace after the root),
 * TAMSEL_STREAM_WOULD_BLOCK or TAMSEL_STREAM_ERROR. Errors include "selected JSON value is not
 * an array", "array path requires a root object" (status 3), "selected array field was not
 * found: no member \"NAME\" in the root object" (status 4), "duplicate root object field"
 * (status 5, when duplicates are rejected),
 * "expected JSON value in selected array", "expected ',' or ']' in selected array",
 * "unterminated selected array", "unterminated JSON value", "unexpected data after root array"
 * and "unexpected data after root object" (status 2), and every failure of the item parser.
 * Items, and the values skipped on the way to the array, may nest as deep as the parse option
 * max_depth allows (beyond about 70 levels the parser's frames move into a block charged to
 * max_parse_bytes; with max_depth 0 the parser's fixed workspace is the limit).
 * JSON value fields of the item map: the record is prepared (or cleaned, after push) for every
 * item, which resets its holders, so a holder set to a parse mode once before the loop loses
 * it after the first item; give such fields the flag TAMSEL_FIELD_CAPTURE, which re-enables
 * parse capture each time. A holder without a parse mode fails the item with status 1 "JSON
 * value parse requires a configured parse sink, parse visitor, or parse capture (field
 * 'NAME')".
 */
TAMSEL_API tamsel_stream_result tamsel_array_stream_next(tamsel_array_stream *stream,
                                                         const struct tamsel_map *map, void *dst,
                                                         tamsel_error *error);
/*
 * tamsel_array_stream_next_value: the next item, any JSON value, stored in `value` as compact
 * text, as tamsel_json_value_set_buffer stores it. Null stream: "array stream is required";
 * null value: "JSON value destination is required". With reject_duplicates on, a key repeated
 * in one object of the item is status 5 "duplicate object field". Results as next.
 * Memory: the stream holds only the item's compact text (the whitespace outside strings is
 * dropped as it is read), at most the runtime's value_max_total_bytes when that is not 0;
 * a longer item fails with status 6 "array item exceeds value_max_total_bytes (N bytes)".
 */
TAMSEL_API tamsel_stream_result tamsel_array_stream_next_value(tamsel_array_stream *stream,
                                                               struct tamsel_json_value *value,
                                                               tamsel_error *error);

/*
 * tamsel_array_stream_push: hands the stream the next `length` bytes of its input (push-fed
 * streams only: "array stream is not push-fed"). Every item completed by them is parsed into
 * `dst`, passed to `callback` (user, dst) and then released with tamsel_cleanup semantics, so
 * the record is empty again before the next item.
 *   stream, map, dst, callback: required ("array stream, map, destination, and callback are
 *                               required"); map: "invalid field layout" as in next.
 *   bytes: required unless length is 0 ("input bytes are required").
 * Returns 0; 7 once any item of the stream was truncated (the error record is the stream's at
 * the last item this call delivered, code 7, truncated 1); the callback's failure ("array
 * stream item callback failed"); or the stream's failure. The bytes need not outlive the call.
 */
TAMSEL_API tamsel_status tamsel_array_stream_push(tamsel_array_stream *stream,
                                                  const struct tamsel_map *map, void *dst,
                                                  const void *bytes, size_t length,
                                                  tamsel_array_item_callback callback, void *user,
                                                  tamsel_error *error);
/* Ends the input of a push stream: the last items are delivered and the array must be
   complete. Same arguments and results as push. */
TAMSEL_API tamsel_status tamsel_array_stream_finish(tamsel_array_stream *stream,
                                                    const struct tamsel_map *map, void *dst,
                                                    tamsel_array_item_callback callback, void *user,
                                                    tamsel_error *error);
/*
 * tamsel_array_stream_push_string: as push, for an array of strings: each item's decoded bytes
 * go to handler->chunk as they are read (runs of plain bytes in one piece), after
 * handler->begin, and handler->end is called once the item is delivered. An item that is not a
 * string fails with status 3 "selected array item is not a string". A failure of begin or
 * chunk is returned unchanged; of end, with "array stream string callback failed".
 *   handler: required with its chunk member ("array stream and string chunk handler are
 *            required").
 * Returns 0 or the failure.
 */
TAMSEL_API tamsel_status tamsel_array_stream_push_string(tamsel_array_stream *stream,
                                                         const void *bytes, size_t length,
                                                         const tamsel_string_chunk_handler *handler,
                                                         void *user, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_stream_finish_string(
    tamsel_array_stream *stream, const tamsel_string_chunk_handler *handler, void *user,
    tamsel_error *error);
/*
 * tamsel_array_stream_push_string_items: as push_string, with each string item gathered whole
 * and passed to `callback` ("array stream and string item callback are required"). An item
 * longer than the runtime's value limit max_string_bytes (0: no limit) fails with status 6
 * "framing buffer limit exceeded".
 */
TAMSEL_API tamsel_status tamsel_array_stream_push_string_items(
    tamsel_array_stream *stream, const void *bytes, size_t length,
    tamsel_array_string_item_callback callback, void *user, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_stream_finish_string_items(
    tamsel_array_stream *stream, tamsel_array_string_item_callback callback, void *user,
    tamsel_error *error);

/* The stream's own error record (NULL for a NULL stream). */
TAMSEL_API const tamsel_error *tamsel_array_stream_error(const tamsel_array_stream *stream);
/* Closes a file the stream opened, releases everything it holds and frees it (NULL ignored). A
   destination record keeps the values of items already delivered. Called from one of the
   stream's own callbacks (items, strings, readers, holders' visitors), it stops the running
   call, which frees the stream as it returns; any other call into the stream from its
   callbacks fails with status 1 "array stream called from its own callback". */
TAMSEL_API void tamsel_array_stream_close(tamsel_array_stream *stream);

/* ======================================================================================== */
/* Serialization and JSON Lines                                                             */
/* ======================================================================================== */

/*
 * How to use: tamsel_serialize_* writes one mapped record as one JSON object, in map order;
 * tamsel_serialize_jsonl_* writes `count` records taken `stride` bytes apart from `items`
 * (stride 0 = map->struct_size), each followed by a newline (count 0 writes nothing). The
 * runtime's write options choose compact (no whitespace) or pretty output (two-space
 * indentation, "key": value) and, for caller buffers, the overflow policy. The record is only
 * read; it must not change during the call.
 *
 * Text rules: strings are escaped with \" \\ \b \f \n \r \t, other bytes below 0x20 as \u00xx
 * (lowercase hex), every other byte (/, 0x7F, 0x80..0xFF) copied unchanged, without UTF-8
 * validation; integers in decimal; doubles as printf("%.17g") writes them in the C locale,
 * whatever the process locale (0.1 is 0.10000000000000001, -0.0 is -0); NaN and infinities
 * fail with status 3 ("non-finite double cannot be serialized", "non-finite double array
 * element cannot be serialized"); booleans true/false. Byte fields (SPOOLED_BYTES,
 * SOURCE_BYTES) are base64 (RFC 4648, '=' padding, no line breaks). Spooled values and sources
 * are streamed from their first byte in 4096-byte blocks; JSON value holders are written
 * through their transcoder (a stored compact buffer as stored). Array-stream fields fail
 * with status 3 "field '%s' is parse-only and cannot be serialized". Omission: a field
 * without TAMSEL_FIELD_REQUIRED is left out (key and comma too) when its presence int is 0,
 * under OMIT_NULL when null, under OMIT_EMPTY when null or empty.
 *
 * Common failures (status 1 unless noted): "tamsel runtime is required"; "map, source, and
 * sink are required" (single record: NULL map, record or sink); "map and sink are required",
 * "items are required when count is non-zero", "stride must be at least map->struct_size"
 * (JSON Lines); "invalid map layout"; "array field '%s' has a count but no items"; status 6
 * "record nesting is too deep to serialize" (records nested through object arrays more than
 * 512 layout levels deep). A failure leaves what was already written in sinks, files and
 * caller buffers; library-owned outputs are released. A successful call leaves the error
 * record all zero; a truncating call returns 7 with `code` 0 and `truncated` 1.
 *
 * Thread-safety: calls on one runtime may run in parallel; serializing one record from
 * several threads at once is fine unless it holds spooled values that spilled to a file or
 * FILE* or descriptor sources and holders (their file positions are shared).
 */

/*
 * tamsel_serialize_sink: writes the record to `sink`, gathered into 4 KiB pieces.
 *   sink: required. A status 7 from it lets the output go on and makes the call return 7; any
 *         other failure stops it and is returned unchanged.
 * Returns 0, 7, the sink's failure, or a failure above.
 */
TAMSEL_API tamsel_status tamsel_serialize_sink(tamsel_runtime *runtime, const tamsel_map *map,
                                               const void *src, tamsel_sink sink, void *sink_user,
                                               tamsel_error *error);

/*
 * tamsel_serialize_buffer: writes into `buffer` of `capacity` bytes, always NUL-terminated
 * (at most capacity - 1 bytes of JSON).
 *   buffer, capacity: required ("output buffer and capacity are required"); buffer[0] is set
 *                     to NUL before anything else can fail.
 *   out_needed: optional; receives the length the output asked for: the document's length
 *               when it fit or was truncated (retry with out_needed + 1), or the bytes written
 *               plus the piece that did not fit under policy 0.
 * Overflow policy (write options): 0 fails with status 6 "output buffer too small"; 1 cuts the
 * text and returns 7; any other value cuts it and returns 0 (`truncated` 1).
 */
TAMSEL_API tamsel_status tamsel_serialize_buffer(tamsel_runtime *runtime, const tamsel_map *map,
                                                 const void *src, char *buffer, size_t capacity,
                                                 size_t *out_needed, tamsel_error *error);

/*
 * tamsel_serialize_alloc: returns the text in a NUL-terminated block from the process
 * malloc (release it with free()), or NULL on failure.
 *   out_length: optional; the text's length (0 after a failure).
 * Status 1 "serialize_alloc uses the default allocator only; use serialize_owned for custom
 * allocators" when the runtime has its own allocator; otherwise as tamsel_serialize_owned.
 */
TAMSEL_API char *tamsel_serialize_alloc(tamsel_runtime *runtime, const tamsel_map *map,
                                        const void *src, size_t *out_length, tamsel_error *error);

/*
 * tamsel_serialize_owned: writes into a buffer the library grows (from 2048 bytes, doubling)
 * with the runtime's allocator, up to max_output_bytes of text (0 = 8388608).
 *   out: required ("output buffer handle is required"); set to the initial state first
 *        (whatever it held is forgotten, not freed). On success it holds the text, its
 *        length, capacity and the allocator; release it with tamsel_owned_buffer_free. On
 *        failure it stays empty.
 * Failures: status 6 "serializer-owned output exceeds max_output_bytes", "output buffer too
 * large"; status 8 "failed to grow output buffer"; status 1 for a partial allocator.
 */
TAMSEL_API tamsel_status tamsel_serialize_owned(tamsel_runtime *runtime, const tamsel_map *map,
                                                const void *src, tamsel_owned_buffer *out,
                                                tamsel_error *error);

/*
 * tamsel_serialize_filep: writes to `file` ("file pointer is required"), never closing it.
 * A failed write is status 10 "failed to write JSON output" with system_errno.
 */
TAMSEL_API tamsel_status tamsel_serialize_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                                const void *src, FILE *file, tamsel_error *error);

/*
 * tamsel_serialize_path: creates or truncates `path` ("path is required"), writes and closes
 * it on every return. Status 10 "failed to open '%s' for writing", "failed to write JSON
 * output", or "failed to close '%s'" when the final flush fails (a full disk), each with
 * system_errno.
 */
TAMSEL_API tamsel_status tamsel_serialize_path(tamsel_runtime *runtime, const tamsel_map *map,
                                               const void *src, const char *path,
                                               tamsel_error *error);

/* JSON Lines forms of the six above: the same outputs, rules and failures. The _alloc form
   returns NULL with length 0 and status 0 for count 0, and names itself in its allocator
   message ("serialize_jsonl_alloc uses the default allocator only; use
   serialize_jsonl_owned for custom allocators"). */
TAMSEL_API tamsel_status tamsel_serialize_jsonl_sink(tamsel_runtime *runtime, const tamsel_map *map,
                                                     const void *items, size_t count, size_t stride,
                                                     tamsel_sink sink, void *sink_user,
                                                     tamsel_error *error);
TAMSEL_API tamsel_status tamsel_serialize_jsonl_buffer(tamsel_runtime *runtime,
                                                       const tamsel_map *map, const void *items,
                                                       size_t count, size_t stride, char *buffer,
                                                       size_t capacity, size_t *out_needed,
                                                       tamsel_error *error);
TAMSEL_API char *tamsel_serialize_jsonl_alloc(tamsel_runtime *runtime, const tamsel_map *map,
                                              const void *items, size_t count, size_t stride,
                                              size_t *out_length, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_serialize_jsonl_owned(tamsel_runtime *runtime,
                                                      const tamsel_map *map, const void *items,
                                                      size_t count, size_t stride,
                                                      tamsel_owned_buffer *out,
                                                      tamsel_error *error);
TAMSEL_API tamsel_status tamsel_serialize_jsonl_filep(tamsel_runtime *runtime,
                                                      const tamsel_map *map, const void *items,
                                                      size_t count, size_t stride, FILE *file,
                                                      tamsel_error *error);
TAMSEL_API tamsel_status tamsel_serialize_jsonl_path(tamsel_runtime *runtime, const tamsel_map *map,
                                                     const void *items, size_t count, size_t stride,
                                                     const char *path, tamsel_error *error);

/* ======================================================================================== */
/* Pull generator                                                                           */
/* ======================================================================================== */

/*
 * How to use: instead of pushing a record into a sink, pull its serialized text into buffers
 * of your choosing. tamsel_generator_init (runtime needed only here), then
 * tamsel_generator_read until `out_done` is 1, then tamsel_generator_cleanup. The bytes equal
 * what tamsel_serialize_sink writes for the same record and write options, whatever the
 * capacities asked for. The record, its strings, spooled values, sources and JSON value
 * holders must stay alive and unchanged until cleanup. Memory is bounded by the record's
 * nesting: one frame per open object, array or string, and one 4096-byte window for streamed
 * fields and JSON values.
 *
 * After a failed read the generator keeps returning that failure (the document cannot be
 * resumed); bytes handed out before are not retracted. Only cleanup remains useful. A
 * generator belongs to one thread at a time.
 */

#define TAMSEL_GENERATOR_MAGIC 0x5453474eu        /* 'TSGN': state of a map generator */
#define TAMSEL_WRITER_GENERATOR_MAGIC 0x54535747u /* 'TSWG': state of a writer generator */

typedef struct tamsel_generator tamsel_generator;

/* Members in this order. */
struct tamsel_generator {
    void *state;        /* library-owned; NULL when not initialised or init failed */
    int done;           /* 1 once every byte of the document was handed out */
    tamsel_error error; /* receives every failure of init and read */
    tamsel_status (*read)(tamsel_generator *generator, void *buffer, size_t capacity,
                          size_t *out_length, int *out_done);
    void (*cleanup)(tamsel_generator *generator);
};

/*
 * tamsel_generator_init: prepares to generate `src` as `map` describes, with the runtime's
 * write options (pretty flag, allocator). The record is zeroed and its two methods installed
 * before anything can fail, so a failed init leaves a record that cleanup accepts.
 *   generator: NULL returns status 1 with nothing written.
 * Returns 0; 1 "tamsel runtime is required", "map and source are required for generator
 * init", "invalid map layout", or a partial allocator; 8 "failed to allocate generator
 * state", "failed to grow generator frame stack". The failure is also in generator->error.
 * Initialising a generator that holds a state forgets it: clean it up first.
 */
TAMSEL_API tamsel_status tamsel_generator_init(tamsel_runtime *runtime, tamsel_generator *generator,
                                               const tamsel_map *map, const void *src);

/*
 * tamsel_generator_read: hands out the next bytes of the document.
 *   buffer, capacity: up to `capacity` bytes are written; NULL with a nonzero capacity fails
 *                     ("generator read buffer is required"). Capacity 0 produces nothing and
 *                     reports done only when nothing is owed.
 *   out_length: optional; the bytes placed (0 after a failure, even if some were copied).
 *   out_done: optional; 1 exactly when the document is complete and all of it handed out.
 * Returns 0 (also for every read after done: length 0, done 1); 1 without a message for a
 * NULL or uninitialised generator; or the failure, as the serializer reports it, except that
 * F64 array items say "non-finite double cannot be serialized" and streamed fields "failed to
 * read source data" or "failed to read spooled data".
 */
TAMSEL_API tamsel_status tamsel_generator_read(tamsel_generator *generator, void *buffer,
                                               size_t capacity, size_t *out_length, int *out_done);

/*
 * tamsel_generator_measure: the exact length of the document the generator (and the
 * serializer) would produce, without keeping it. Reads sources and holders once.
 *   out_length: required with map and source ("map, source, and output length are
 *               required").
 * Returns 0; 1 "tamsel runtime is required", "invalid map layout", "cannot measure
 * non-rewindable JSON document" (a written source or holder that cannot be read again);
 * 6 "serialized output is too large to measure"; or a serializer failure.
 */
TAMSEL_API tamsel_status tamsel_generator_measure(tamsel_runtime *runtime, const tamsel_map *map,
                                                  const void *src, size_t *out_length,
                                                  tamsel_error *error);

/*
 * tamsel_generator_cleanup: closes files the generator opened, frees its state through the
 * allocator that made it, zeroes the record and re-installs its methods. NULL is ignored;
 * a second call does nothing.
 */
TAMSEL_API void tamsel_generator_cleanup(tamsel_generator *generator);

/* ======================================================================================== */
/* Streaming writer                                                                         */
/* ======================================================================================== */

/*
 * How to use: tamsel_writer_init_sink on a caller-held tamsel_writer, then one call per token
 * (begin/end of containers, keys, strings, numbers, booleans, null, spliced values), then
 * tamsel_writer_finish and tamsel_writer_cleanup. The writer inserts commas, accepts keys only
 * inside objects, each followed by exactly one value, allows one root value, and refuses to
 * finish an incomplete document. Its own output is compact; mapped records and JSON value
 * holders spliced in follow the runtime's `pretty` option.
 *
 * Output goes straight to the sink, in the pieces each operation makes (no buffering across
 * calls): a sink that wants throughput buffers itself. Misuse (a value without a key, a second
 * root, a wrong container end) fails with status 2 and writes nothing; the writer stays usable.
 * A sink failure, or a splice that failed after writing, latches the writer: every later call
 * but cleanup fails with "writer is in a failed state". A sink's TRUNCATED (7) counts as taken:
 * the operation completes and returns 7, and tamsel_writer_finish returns 7 again at the end.
 * Only a writer generator's blocked output makes an operation return 7 unfinished; the
 * producer then returns 7 and repeats the same call on the next read, with the same
 * arguments, which continues where it stopped.
 *
 * Every operation takes an optional error record last; NULL reports into writer->error. A
 * writer belongs to one thread at a time; the runtime is needed only by init (the writer runs
 * on a snapshot of its settings afterwards).
 */

typedef struct tamsel_writer tamsel_writer;

/* Members in this order: the state, the embedded error record, then 36 operations, each the
   public function tamsel_writer_<member>. */
struct tamsel_writer {
    void *state;        /* library-owned; NULL before init, after a failed init and after cleanup */
    tamsel_error error; /* the writer's own record: its latched failure, or the last result */
    void (*cleanup)(tamsel_writer *writer);
    tamsel_status (*begin_object)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*end_object)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*begin_array)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*end_array)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*key)(tamsel_writer *writer, const char *key, size_t len, tamsel_error *error);
    tamsel_status (*string)(tamsel_writer *writer, const char *bytes, size_t len,
                            tamsel_error *error);
    tamsel_status (*string_begin)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*string_chunk)(tamsel_writer *writer, const char *bytes, size_t len,
                                  tamsel_error *error);
    tamsel_status (*string_end)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*string_reader)(tamsel_writer *writer, tamsel_reader reader, void *reader_user,
                                   tamsel_error *error);
    tamsel_status (*string_spooled)(tamsel_writer *writer, const tamsel_spooled *spooled,
                                    tamsel_error *error);
    tamsel_status (*source_text)(tamsel_writer *writer, const tamsel_source *source,
                                 tamsel_error *error);
    tamsel_status (*spooled_base64)(tamsel_writer *writer, const tamsel_spooled *spooled,
                                    tamsel_error *error);
    tamsel_status (*source_base64)(tamsel_writer *writer, const tamsel_source *source,
                                   tamsel_error *error);
    tamsel_status (*number_text)(tamsel_writer *writer, const char *text, size_t len,
                                 tamsel_error *error);
    tamsel_status (*i64)(tamsel_writer *writer, int64_t value, tamsel_error *error);
    tamsel_status (*u64)(tamsel_writer *writer, uint64_t value, tamsel_error *error);
    tamsel_status (*f64)(tamsel_writer *writer, double value, tamsel_error *error);
    /* tamsel_writer_bool (a C++ keyword cannot name a member) */
    tamsel_status (*boolean)(tamsel_writer *writer, int value, tamsel_error *error);
    tamsel_status (*null)(tamsel_writer *writer, tamsel_error *error);
    tamsel_status (*json_value)(tamsel_writer *writer, const tamsel_json_value *value,
                                tamsel_error *error);
    tamsel_status (*json_value_reader)(tamsel_writer *writer, tamsel_reader reader,
                                       void *reader_user, tamsel_error *error);
    tamsel_status (*json_value_buffer)(tamsel_writer *writer, const void *bytes, size_t len,
                                       tamsel_error *error);
    tamsel_status (*json_value_file)(tamsel_writer *writer, FILE *file, tamsel_error *error);
    tamsel_status (*json_value_fd)(tamsel_writer *writer, int fd, tamsel_error *error);
    tamsel_status (*json_value_path)(tamsel_writer *writer, const char *path, tamsel_error *error);
    tamsel_status (*json_value_spooled)(tamsel_writer *writer, const tamsel_spooled *spooled,
                                        tamsel_error *error);
    tamsel_status (*array_items_reader)(tamsel_writer *writer, const char *array_path,
                                        tamsel_reader reader, void *reader_user,
                                        tamsel_error *error);
    tamsel_status (*array_items_buffer)(tamsel_writer *writer, const char *array_path,
                                        const void *bytes, size_t len, tamsel_error *error);
    tamsel_status (*array_items_filep)(tamsel_writer *writer, const char *array_path, FILE *file,
                                       tamsel_error *error);
    tamsel_status (*array_items_fd)(tamsel_writer *writer, const char *array_path, int fd,
                                    tamsel_error *error);
    tamsel_status (*array_items_path)(tamsel_writer *writer, const char *array_path,
                                      const char *path, tamsel_error *error);
    tamsel_status (*array_items_spooled)(tamsel_writer *writer, const char *array_path,
                                         const tamsel_spooled *spooled, tamsel_error *error);
    tamsel_status (*mapped)(tamsel_writer *writer, const tamsel_map *map, const void *record,
                            tamsel_error *error);
    tamsel_status (*finish)(tamsel_writer *writer, tamsel_error *error);
};

/*
 * tamsel_writer_init_sink: initialises `writer` on `sink` with the runtime's write options.
 * The record is reset (operations installed) before anything can fail, so a failed init
 * leaves a record whose operations fail cleanly and that cleanup accepts.
 * Returns 0; 1 "tamsel runtime is required", "writer and sink are required", a partial
 * allocator; 8 "failed to allocate writer state".
 */
TAMSEL_API tamsel_status tamsel_writer_init_sink(tamsel_runtime *runtime, tamsel_writer *writer,
                                                 tamsel_sink sink, void *sink_user,
                                                 tamsel_error *error);

/* Containers: `{` or `[` as a value, and the matching end ("writer is not inside an object",
   "writer is not inside an array", "object key is missing a value"). 8 "failed to grow writer
   stack" writes nothing. */
TAMSEL_API tamsel_status tamsel_writer_begin_object(tamsel_writer *writer, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_end_object(tamsel_writer *writer, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_begin_array(tamsel_writer *writer, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_end_array(tamsel_writer *writer, tamsel_error *error);

/* An object key, escaped, followed by `:`; the next operation must write its value. Bytes are
   not validated and duplicates are not detected. */
TAMSEL_API tamsel_status tamsel_writer_key(tamsel_writer *writer, const char *key, size_t len,
                                           tamsel_error *error);

/* Scalars: decimal integers, doubles in the "%.17g" form (non-finite: 1 "JSON numbers must be
   finite"), `true`/`false` (nonzero is true) and `null`. */
TAMSEL_API tamsel_status tamsel_writer_i64(tamsel_writer *writer, int64_t value,
                                           tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_u64(tamsel_writer *writer, uint64_t value,
                                           tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_f64(tamsel_writer *writer, double value,
                                           tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_bool(tamsel_writer *writer, int value, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_null(tamsel_writer *writer, tamsel_error *error);

/* Number text written unchanged once it matches the JSON number grammar as a whole (2 "number
   text must be a JSON number"; 1 "number text is required" for NULL or length 0). */
TAMSEL_API tamsel_status tamsel_writer_number_text(tamsel_writer *writer, const char *text,
                                                   size_t len, tamsel_error *error);

/* One whole string value; `bytes` may be NULL only with `len` 0. */
TAMSEL_API tamsel_status tamsel_writer_string(tamsel_writer *writer, const char *bytes, size_t len,
                                              tamsel_error *error);
/* A string value in caller chunks: begin (the opening quote), any number of chunks (escaped;
   cut anywhere), end (the closing quote). While a string is open every value, key, container
   end and finish fails with "writer string is still open". */
TAMSEL_API tamsel_status tamsel_writer_string_begin(tamsel_writer *writer, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_string_chunk(tamsel_writer *writer, const char *bytes,
                                                    size_t len, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_string_end(tamsel_writer *writer, tamsel_error *error);
/* One string value whose bytes are read from `reader` (4096 at a time) until it reports eof.
   10 "failed to read JSON string source", 4 "string reader would block", 9 "reader made no
   progress": the string stays open and the reader recorded; a repeated call resumes. */
TAMSEL_API tamsel_status tamsel_writer_string_reader(tamsel_writer *writer, tamsel_reader reader,
                                                     void *reader_user, tamsel_error *error);
/* A spooled value or a source as one string value, as text or base64 (an unset source is
   `null`). The caller's read position is not moved. */
TAMSEL_API tamsel_status tamsel_writer_string_spooled(tamsel_writer *writer,
                                                      const tamsel_spooled *spooled,
                                                      tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_spooled_base64(tamsel_writer *writer,
                                                      const tamsel_spooled *spooled,
                                                      tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_source_text(tamsel_writer *writer,
                                                   const tamsel_source *source,
                                                   tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_source_base64(tamsel_writer *writer,
                                                     const tamsel_source *source,
                                                     tamsel_error *error);

/* The holder's value (compact, or pretty at level 0 under the runtime's `pretty`), and a mapped
   record as the map generator writes it (1 "map and source are required", "invalid map
   layout", both before any output). Both work on writer generators. */
TAMSEL_API tamsel_status tamsel_writer_json_value(tamsel_writer *writer,
                                                  const tamsel_json_value *value,
                                                  tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_mapped(tamsel_writer *writer, const tamsel_map *map,
                                              const void *record, tamsel_error *error);

/*
 * One complete JSON value from bytes, a reader, a stream, a descriptor, a path or a spooled
 * value, validated under the runtime's value limits and written compactly (strings are
 * re-escaped by the library's rules). Needs a writer on an ordinary sink. A failure after
 * output reached the writer latches it; one before any output leaves it usable. Streams and
 * descriptors are read from their current position and never closed.
 */
TAMSEL_API tamsel_status tamsel_writer_json_value_buffer(tamsel_writer *writer, const void *bytes,
                                                         size_t len, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_json_value_reader(tamsel_writer *writer,
                                                         tamsel_reader reader, void *reader_user,
                                                         tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_json_value_file(tamsel_writer *writer, FILE *file,
                                                       tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_json_value_fd(tamsel_writer *writer, int fd,
                                                     tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_json_value_path(tamsel_writer *writer, const char *path,
                                                       tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_json_value_spooled(tamsel_writer *writer,
                                                          const tamsel_spooled *spooled,
                                                          tamsel_error *error);

/*
 * Appends every item of the array found in another input (the root array, or the array under
 * member `array_path` of the root object) to the array open in the writer, each item's bytes
 * copied as they stand. The writer's array stays open. Needs a writer on an ordinary sink
 * whose innermost container is an array ("writer is not inside an array"). Memory stays
 * bounded whatever the size of the input.
 */
TAMSEL_API tamsel_status tamsel_writer_array_items_reader(tamsel_writer *writer,
                                                          const char *array_path,
                                                          tamsel_reader reader, void *reader_user,
                                                          tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_array_items_buffer(tamsel_writer *writer,
                                                          const char *array_path, const void *bytes,
                                                          size_t len, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_array_items_filep(tamsel_writer *writer,
                                                         const char *array_path, FILE *file,
                                                         tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_array_items_fd(tamsel_writer *writer, const char *array_path,
                                                      int fd, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_array_items_path(tamsel_writer *writer,
                                                        const char *array_path, const char *path,
                                                        tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_array_items_spooled(tamsel_writer *writer,
                                                           const char *array_path,
                                                           const tamsel_spooled *spooled,
                                                           tamsel_error *error);

/* Checks that the document is complete (one root value, no open container or string, no
   operation left unfinished by a blocked sink: status 2 "writer event is still active") and
   marks the writer finished. Writes nothing. Returns 7 when a sink truncated anything. */
TAMSEL_API tamsel_status tamsel_writer_finish(tamsel_writer *writer, tamsel_error *error);

/* Releases everything in any state (an unfinished document is abandoned) and resets the record,
   which may be initialised again. NULL or a second call does nothing.
   Caller error: cleaning up from inside the writer's own sink (or a reader or callback of an
   operation still running on it) frees what that operation is using. Return from the callback
   (a sink may fail the operation) and clean up after the operation has returned. */
TAMSEL_API void tamsel_writer_cleanup(tamsel_writer *writer);

/*
 * Value streams: push the bytes of one JSON value as they arrive. init (once), open (places
 * the value in the writer), push any number of times, close (checks the value is complete);
 * cleanup in any state (a stream not closed successfully latches the writer, since part of a
 * value may be out). While a stream is open every other writer operation fails with "writer
 * value stream is still open".
 */
typedef struct tamsel_writer_value_stream tamsel_writer_value_stream;

/* Members in this order. */
struct tamsel_writer_value_stream {
    void *state;        /* library-owned; NULL when not open */
    tamsel_error error; /* the stream's own record: the last result */
    tamsel_status (*open)(tamsel_writer_value_stream *stream, tamsel_writer *writer,
                          tamsel_error *error);
    tamsel_status (*push)(tamsel_writer_value_stream *stream, const void *bytes, size_t len,
                          tamsel_error *error);
    tamsel_status (*close)(tamsel_writer_value_stream *stream, tamsel_error *error);
    void (*cleanup)(tamsel_writer_value_stream *stream);
};

/* The calls of the paragraph above, in their order: init, open, push, close, cleanup. */
TAMSEL_API void tamsel_writer_value_stream_init(tamsel_writer_value_stream *stream);
TAMSEL_API tamsel_status tamsel_writer_value_stream_open(tamsel_writer_value_stream *stream,
                                                         tamsel_writer *writer,
                                                         tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_value_stream_push(tamsel_writer_value_stream *stream,
                                                         const void *bytes, size_t len,
                                                         tamsel_error *error);
TAMSEL_API tamsel_status tamsel_writer_value_stream_close(tamsel_writer_value_stream *stream,
                                                          tamsel_error *error);
TAMSEL_API void tamsel_writer_value_stream_cleanup(tamsel_writer_value_stream *stream);

/*
 * Writer generators: pull a document that a producer writes token by token. Each
 * tamsel_generator_read lends the producer the caller's buffer; when it is full every writer
 * operation returns 7 and the producer returns 7 too; on the next read it is called again and
 * repeats the same call. The producer returns 0 once the document is complete (the writer is
 * then finished), 7 to be called again, anything else to fail. Read and release the generator
 * with tamsel_generator_read and tamsel_generator_cleanup. Value streams and array-item
 * splicing need an ordinary sink and fail here; holders and mapped records work.
 */
typedef tamsel_status (*tamsel_writer_producer)(tamsel_writer *writer, void *user,
                                                tamsel_error *error);

/* Returns 0; 1 without a message for a NULL generator, "tamsel runtime is required", "writer
   producer is required", a partial allocator; 8 "failed to allocate writer generator state".
   Failures are also in generator->error. */
TAMSEL_API tamsel_status tamsel_writer_generator_init(tamsel_runtime *runtime,
                                                      tamsel_generator *generator,
                                                      tamsel_writer_producer producer, void *user);

/* One-shot JSON strings: exactly one escaped JSON string from a reader, bytes or a spooled
   value, into `sink`. Returns the first failure, 7 when the sink truncated, or 0. */
TAMSEL_API tamsel_status tamsel_write_json_string_sink(tamsel_runtime *runtime,
                                                       tamsel_reader reader, void *reader_user,
                                                       tamsel_sink sink, void *sink_user,
                                                       tamsel_error *error);
TAMSEL_API tamsel_status tamsel_write_json_string_buffer_sink(tamsel_runtime *runtime,
                                                              const void *bytes, size_t len,
                                                              tamsel_sink sink, void *sink_user,
                                                              tamsel_error *error);
TAMSEL_API tamsel_status tamsel_write_json_string_spooled_sink(tamsel_runtime *runtime,
                                                               const tamsel_spooled *spooled,
                                                               tamsel_sink sink, void *sink_user,
                                                               tamsel_error *error);

/* ======================================================================================== */
/* Server-Sent Events                                                                       */
/* ======================================================================================== */

/*
 * How to use: an incremental parser for an event stream (text/event-stream). Open a parser,
 * push the bytes as they arrive, in chunks cut anywhere, finish once at the end of the stream,
 * then close. The parser splits lines (LF, CR or CR LF, also across pushes), reads the
 * `event`, `data`, `id` and `retry` fields, ignores comments (':' first) and unknown fields,
 * and reports each event through callbacks. A UTF-8 byte order mark at the very start of the
 * stream is skipped. Each event is reported exactly once, whatever the chunking.
 *
 * Two families of entry points, one per parser:
 *  - tamsel_sse_push / tamsel_sse_finish report begin_event, one data_chunk per data line (and
 *    a "\n" between two data lines), then end_event;
 *  - the JSON family feeds each event's data lines straight into the mapped parser, into a
 *    record (tamsel_sse_push_json) or a JSON value holder (tamsel_sse_push_json_value), and
 *    calls one callback per parsed event; the data is never gathered in one buffer.
 *
 * The extended JSON entry points (tamsel_sse_push_json_ex and its three siblings) take a
 * tamsel_sse_json_handlers record instead of one callback, and add three things:
 *  - every event that is not parsed (filtered out, without data, or ending the stream) is
 *    reported to `other` as a plain event (begin_event, data_chunk, end_event), so each event
 *    reaches the caller exactly once, through one of the two routes;
 *  - an end marker: an event whose whole data equals it (LLM APIs end with "data: [DONE]") is
 *    not parsed; it goes to `other`, and then the stream ends;
 *  - a callback (the JSON callback or one of `other`) may return TAMSEL_SSE_END_STREAM to end
 *    the stream after what it was given.
 * When the stream ends, the call returns as if the rest of its bytes were not there (0, or the
 * first failure it met before the end), nothing more is read or reported, later extended
 * pushes and finishes return 0 and do nothing, and tamsel_sse_ended tells how it ended. Their
 * parse failures carry positions in the stream (line, column and offset of the offending byte
 * among the pushed bytes) instead of within the event's data. Data that is neither JSON nor
 * the marker is an error as with the other entry points: the first bytes of a value do not
 * show that it is not JSON ("nope" begins like null), and the marker and the filter are the
 * caller's own statement of which events are not.
 *
 * Memory is bounded by the options: one line buffer (max_line_bytes), the event name and id
 * (max_field_bytes each), and for the JSON family the parser's fixed workspace and the parse
 * budget of the runtime.
 *
 * The id is per event, unlike the "last event ID" of a browser's EventSource: it is cleared
 * when an event is dispatched, so an event without an `id` line reports "" (or NULL while the
 * parser has never seen an id). A caller that needs the persistent last ID keeps the last
 * non-empty id it was given.
 *
 * After an error: the event it happened in is dropped whole. Its remaining lines, up to the
 * empty line that would have dispatched it, are read and discarded, and no end_event or JSON
 * callback is made for it; the next event is parsed normally. A limit or JSON error does not
 * stop the push: the rest of the chunk is still read (later events are reported) and the call
 * returns the first error. A failing callback stops the push at once: the rest of the chunk is
 * not read. The rest of an overlong line is skipped. The parser may be pushed again after any
 * error except "SSE parser is already finished".
 *
 * A parser belongs to one thread at a time. It does not keep the runtime: the JSON family
 * borrows it for each call and parses each event with its own copy of the runtime's settings.
 */

/* Options of an SSE parser. Members in this order. Defaults: 65536, 1048576, 1048576, NULL;
   a zero limit means its default. */
typedef struct tamsel_sse_options {
    size_t max_line_bytes;             /* longest line, terminator excluded */
    size_t max_event_data_bytes;       /* data of one event, each joining "\n" counted */
    size_t max_field_bytes;            /* longest `event` or `id` value */
    const tamsel_allocator *allocator; /* NULL: the process allocator */
} tamsel_sse_options;

/* One event, as the callbacks see it; valid only during the callback. Members in this order. */
typedef struct tamsel_sse_event {
    const char *event; /* the event name; "" when the event had no `event` line; never NULL */
    const char *id;    /* this event's id; NULL while the parser never stored one, then "" */
    size_t data_bytes; /* data bytes delivered so far in this event */
    uint64_t retry;    /* the `retry` value, 0 if none */
    int has_retry;     /* 1 when the event carried a valid `retry` field */
} tamsel_sse_event;

/* Callbacks of the plain family; any member may be NULL. Each returns 0 to go on, non-zero to
   fail (with a status of its own in `error`, or none: status 9 then). */
typedef struct tamsel_sse_callbacks {
    /* An event starts: before its first data piece, or at dispatch for an event without data. */
    int (*begin_event)(void *user, const tamsel_sse_event *event, tamsel_error *error);
    /* A piece of the event's data, data lines joined with LF. */
    int (*data_chunk)(void *user, const char *bytes, size_t length, tamsel_error *error);
    /* The event is dispatched (an empty line, or finish). */
    int (*end_event)(void *user, const tamsel_sse_event *event, tamsel_error *error);
} tamsel_sse_callbacks;

/* Event names the JSON family parses; other events are skipped unparsed. NULL entries are
   skipped; a NULL filter or a count of 0 takes every event. An unnamed event has the name "". */
typedef struct tamsel_sse_event_filter {
    const char *const *event_names; /* the names, NUL-terminated */
    size_t event_name_count;        /* entries at event_names */
} tamsel_sse_event_filter;

/* Called once per parsed event of tamsel_sse_push_json with the record `dst` holding it. */
typedef int (*tamsel_sse_json_callback)(void *user, const tamsel_sse_event *event, void *dst,
                                        tamsel_error *error);
/* Called once per parsed event of tamsel_sse_push_json_value with the holder. */
typedef int (*tamsel_sse_json_value_callback)(void *user, const tamsel_sse_event *event,
                                              tamsel_json_value *value, tamsel_error *error);

/* The parser: opaque, made by tamsel_sse_open and freed by tamsel_sse_close. */
typedef struct tamsel_sse tamsel_sse;

/* The defaults above, by value. */
TAMSEL_API tamsel_sse_options tamsel_default_sse_options(void);

/*
 * tamsel_sse_open: a new parser.
 *   options: NULL for the defaults; copied (the allocator record too).
 *   error: optional.
 * Returns the parser, or NULL: status 1 "allocator must provide either all callbacks or none",
 * status 8 "failed to allocate SSE parser". Release with tamsel_sse_close.
 */
TAMSEL_API tamsel_sse *tamsel_sse_open(const tamsel_sse_options *options, tamsel_error *error);

/*
 * tamsel_sse_push: reads `length` more bytes of the stream and reports every event they
 * complete.
 *   parser: required; bytes: required unless length is 0 ("SSE parser and bytes are
 *           required").
 *   callbacks: NULL or any NULL member: nothing is called for it. `user` goes to each call.
 * Returns 0; 1 "SSE parser is already finished", or a parser used by the JSON family ("SSE
 * parser is used by the other family of entry points"); 6 "framing buffer limit exceeded" (a
 * line over max_line_bytes, an `event` or `id` over max_field_bytes), "SSE event data exceeds
 * configured limit"; 8 "failed to allocate framing buffer"; a callback's failure (its own
 * status, or 9 "SSE begin_event callback failed", "SSE data_chunk callback failed", "SSE
 * end_event callback failed").
 */
TAMSEL_API tamsel_status tamsel_sse_push(tamsel_sse *parser, const void *bytes, size_t length,
                                         const tamsel_sse_callbacks *callbacks, void *user,
                                         tamsel_error *error);
/*
 * tamsel_sse_finish: ends the stream: an unterminated last line is read and the last event is
 * dispatched even without its empty line. A second finish returns 0 and does nothing; a push
 * after it fails. NULL parser: status 1 "SSE parser is required". Failures as push; the parser
 * is finished only on success.
 */
TAMSEL_API tamsel_status tamsel_sse_finish(tamsel_sse *parser,
                                           const tamsel_sse_callbacks *callbacks, void *user,
                                           tamsel_error *error);

/*
 * tamsel_sse_push_json: as tamsel_sse_push, with each event's data parsed as one JSON object
 * into `dst` as `map` describes, with the runtime's parse options. When the event is complete
 * `callback` (NULL: none) receives it with `dst`; the record keeps the values afterwards.
 * With init_destination on, each event starts from an empty record: when `dst` is the record
 * the previous event filled it is emptied first, releasing those values; a different record is
 * initialised and the previous one is left to the caller untouched, so a caller may hand in a
 * fresh record per event and keep (or clean up) the old ones itself.
 *   runtime: required ("tamsel runtime is required"); map, dst: required ("map and destination
 *            are required"); a map that fails the layout analysis: "invalid field layout".
 *   filter: NULL for every event. With names, an `event` line must come before the event's
 *           data ("SSE event name must precede data for streaming JSON filters", status 1).
 *   Within one event every call must pass the same runtime, map and dst ("SSE JSON parser
 *   arguments changed during an event", status 1).
 * Returns 0; 7 when a fixed-capacity value of some event was truncated; the push failures;
 * 6 "SSE JSON event data exceeds configured limit"; the parser's failure for an event whose
 * data is not one valid object (its message, and its line, column and offset within the
 * event's data); a callback's failure (its own status, or 9 "SSE JSON callback failed").
 * After a failed event the record is cleaned up (tamsel_cleanup) when this parser had
 * initialised it.
 */
TAMSEL_API tamsel_status tamsel_sse_push_json(tamsel_runtime *runtime, tamsel_sse *parser,
                                              const struct tamsel_map *map, void *dst,
                                              const void *bytes, size_t length,
                                              const tamsel_sse_event_filter *filter,
                                              tamsel_sse_json_callback callback, void *user,
                                              tamsel_error *error);
/*
 * tamsel_sse_push_json_value: as tamsel_sse_push_json, with each event's data, any one JSON
 * value, going to `value` by its parse-side mode (captured as text, or streamed to its sink or
 * visitor). value: required ("JSON value handle is required"), initialised with a parse mode
 * ("JSON value parse requires a configured parse sink, parse visitor, or parse capture").
 * After a failed event captured text is released.
 */
TAMSEL_API tamsel_status tamsel_sse_push_json_value(tamsel_runtime *runtime, tamsel_sse *parser,
                                                    tamsel_json_value *value, const void *bytes,
                                                    size_t length,
                                                    const tamsel_sse_event_filter *filter,
                                                    tamsel_sse_json_value_callback callback,
                                                    void *user, tamsel_error *error);
/* Ends the stream for the JSON family, as tamsel_sse_finish. Same arguments as the pushes. */
TAMSEL_API tamsel_status tamsel_sse_finish_json(tamsel_runtime *runtime, tamsel_sse *parser,
                                                const struct tamsel_map *map, void *dst,
                                                const tamsel_sse_event_filter *filter,
                                                tamsel_sse_json_callback callback, void *user,
                                                tamsel_error *error);
/* Ends the stream for tamsel_sse_push_json_value, as tamsel_sse_finish. */
TAMSEL_API tamsel_status tamsel_sse_finish_json_value(tamsel_runtime *runtime, tamsel_sse *parser,
                                                      tamsel_json_value *value,
                                                      const tamsel_sse_event_filter *filter,
                                                      tamsel_sse_json_value_callback callback,
                                                      void *user, tamsel_error *error);

/* Returned by a callback of the extended JSON entry points: end the stream after this (see the
   how-to-use paragraph above). A value no other meaning uses; any other non-zero return fails. */
#define TAMSEL_SSE_END_STREAM 0x20000000
/* What tamsel_sse_ended returns. */
#define TAMSEL_SSE_NOT_ENDED 0
#define TAMSEL_SSE_ENDED_AT_MARKER 1   /* an event's data equalled the end marker */
#define TAMSEL_SSE_ENDED_BY_CALLBACK 2 /* a callback returned TAMSEL_SSE_END_STREAM */

/* What the extended JSON entry points call and look for. Members in this order; any may be
   NULL. Passed again on every call, like the filter. */
typedef struct tamsel_sse_json_handlers {
    /* Each parsed event of tamsel_sse_push_json_ex, with the record. */
    tamsel_sse_json_callback callback;
    /* Each parsed event of tamsel_sse_push_json_value_ex, with the holder. */
    tamsel_sse_json_value_callback value_callback;
    /* Every dispatched event that is not parsed, as a plain event: begin_event, its data in
       data_chunk pieces (data lines joined with LF), end_event. NULL: such events are skipped
       unseen, as by tamsel_sse_push_json. */
    const tamsel_sse_callbacks *other;
    /* NUL-terminated: an event whose data (all its data lines joined) equals it ends the
       stream. It must not hold CR or LF. NULL or "": no marker. */
    const char *end_marker;
    void *user; /* passed to every callback */
} tamsel_sse_json_handlers;

/*
 * tamsel_sse_push_json_ex: as tamsel_sse_push_json, with an end marker and a road for the
 * events that are not parsed (see the how-to-use paragraph of this section).
 *   runtime, parser, map, dst, bytes, length, filter, error: as tamsel_sse_push_json.
 *   handlers: NULL for none at all. An event that matches the filter is parsed unless its
 *             data equals handlers->end_marker; every other dispatched event goes to
 *             handlers->other (begin_event before its first data piece or at dispatch,
 *             end_event at dispatch).
 * A callback returning TAMSEL_SSE_END_STREAM ends the stream at once: nothing more is called,
 * not even the end_event of an event in progress. Another non-zero return fails as with
 * tamsel_sse_push_json (its own status, or 9 "SSE JSON callback failed", or for `other` "SSE
 * begin_event callback failed", "SSE data_chunk callback failed", "SSE end_event callback
 * failed").
 * Returns as tamsel_sse_push_json, and: 0 once the stream has ended, reading nothing; 1 "SSE
 * end marker must not hold CR or LF"; 6 "SSE event data exceeds configured limit" for the data
 * of an event reported to `other`. A parse failure carries the line, column and offset of the
 * offending byte in the stream: a line break joining two data lines counts as the terminator
 * of the first, the end of the data as its last byte.
 * Nothing of `handlers` is kept after the call. Thread-safety as tamsel_sse_push_json.
 */
TAMSEL_API tamsel_status tamsel_sse_push_json_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                 const struct tamsel_map *map, void *dst,
                                                 const void *bytes, size_t length,
                                                 const tamsel_sse_event_filter *filter,
                                                 const tamsel_sse_json_handlers *handlers,
                                                 tamsel_error *error);
/* As tamsel_sse_push_json_ex, into a JSON value holder as tamsel_sse_push_json_value does
   (handlers->value_callback receives each parsed event). */
TAMSEL_API tamsel_status tamsel_sse_push_json_value_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                       tamsel_json_value *value, const void *bytes,
                                                       size_t length,
                                                       const tamsel_sse_event_filter *filter,
                                                       const tamsel_sse_json_handlers *handlers,
                                                       tamsel_error *error);
/* Ends the stream for tamsel_sse_push_json_ex, as tamsel_sse_finish (0 at once when the stream
   has ended). */
TAMSEL_API tamsel_status tamsel_sse_finish_json_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                   const struct tamsel_map *map, void *dst,
                                                   const tamsel_sse_event_filter *filter,
                                                   const tamsel_sse_json_handlers *handlers,
                                                   tamsel_error *error);
/* Ends the stream for tamsel_sse_push_json_value_ex, as tamsel_sse_finish_json_ex. */
TAMSEL_API tamsel_status tamsel_sse_finish_json_value_ex(tamsel_runtime *runtime,
                                                         tamsel_sse *parser,
                                                         tamsel_json_value *value,
                                                         const tamsel_sse_event_filter *filter,
                                                         const tamsel_sse_json_handlers *handlers,
                                                         tamsel_error *error);

/*
 * tamsel_sse_ended: how the stream of `parser` ended: TAMSEL_SSE_ENDED_AT_MARKER,
 * TAMSEL_SSE_ENDED_BY_CALLBACK, or TAMSEL_SSE_NOT_ENDED while it goes on (also after a plain
 * finish, and for NULL). A caller reading from a live connection stops reading when this turns
 * non-zero. Reads the parser only; the same thread rules as the pushes.
 */
TAMSEL_API int tamsel_sse_ended(const tamsel_sse *parser);

/* Frees the parser and all it holds through the allocator it was opened with (NULL ignored).
   The caller's records and holders are not touched. Called from one of the parser's own
   callbacks, it stops the running push or finish, which frees the parser as it returns; any
   other call into the parser from its callbacks fails with status 1 "SSE parser called from
   its own callback". */
TAMSEL_API void tamsel_sse_close(tamsel_sse *parser);

/* ======================================================================================== */
/* Multipart bodies                                                                         */
/* ======================================================================================== */

/*
 * How to use: open a parser with the value of the body's Content-Type header (its `boundary`
 * parameter, quoted or not, names the delimiter), push the body bytes in chunks of any size,
 * call tamsel_multipart_finish once the body has ended, and close the parser. For every part
 * the callbacks receive begin_part with the part's headers, the part's bytes through
 * part_data, and end_part. Part bodies are streamed, never collected: a part of any length
 * costs only the look-behind that may still be the start of a boundary line (at most a line
 * break, the close delimiter and a CR). The callbacks, and what they receive, are the same
 * whatever the chunking of the body; only how part_data cuts a part's bytes into calls may
 * differ.
 *
 * A part's data is every byte of its body except the line break (LF or CR LF) in front of the
 * next boundary line. A part with a Content-Length header is read by that length without
 * looking for boundaries; the line break after it is skipped. Header lines and the boundary
 * lines outside part bodies may end in LF, CR LF or CR alone.
 *
 * Restrictions, stricter than RFC 2046 on purpose:
 *  - No preamble: only empty lines may come before the first boundary line; any other text
 *    there fails with "unexpected multipart boundary line".
 *  - A boundary line matches exactly: "--" boundary (or "--" boundary "--" for the last one)
 *    and its line break, no transport padding. Inside a part body a padded line is data; before
 *    the first boundary, or after a part read by its Content-Length, it fails as above.
 *  - The close delimiter line needs its line break (LF or CR LF): a body that ends right
 *    after "--" boundary "--" fails at finish with "multipart stream ended before closing
 *    boundary".
 *  - Header lines are not unfolded: a continuation line has no ':' and fails with "invalid
 *    multipart header line".
 * What follows the close delimiter line (the epilogue) is ignored, whether it arrives in the
 * same push or in later ones.
 *
 * Errors: malformed framing is TAMSEL_STATUS_INVALID_JSON, limits TAMSEL_STATUS_OVERFLOW,
 * allocation TAMSEL_STATUS_ALLOCATION_FAILED, failing callbacks the code the callback left in
 * the error record or TAMSEL_STATUS_CALLBACK_FAILED. A push stops at the byte that failed,
 * whose 1-based position in the body is the error's `offset` (`line` and `column` stay 0);
 * the bytes before it were consumed and delivered. The parser is not reset: a caller that
 * goes on pushing gets whatever the state at the failure gives. A parser belongs to one
 * thread at a time; it needs no runtime.
 */

/* A multipart parser (opaque): from tamsel_multipart_open to tamsel_multipart_close. */
typedef struct tamsel_multipart tamsel_multipart;

/* Limits of a multipart parser; a zero member takes its default. */
typedef struct tamsel_multipart_options {
    /* Longest accepted boundary; 200. */
    size_t max_boundary_bytes;
    /* Longest boundary or header line outside part bodies (without its line break), and so
       longest quoted parameter; 65536. */
    size_t max_line_bytes;
    /* Most headers per part; 64. */
    size_t max_header_count;
    /* The look-behind kept while a part body is scanned for its boundary, the byte that
       decides it included; 1048576. */
    size_t max_body_buffer_bytes;
    /* NULL: the process allocator. */
    const tamsel_allocator *allocator;
} tamsel_multipart_options;

/* One header line of a part: the name is the text before the first ':' as sent, the value the
   text after it without leading and trailing spaces and tabs. Both NUL-terminated and owned by
   the parser. */
typedef struct tamsel_multipart_header {
    const char *name;  /* the header name as sent */
    const char *value; /* the value, trimmed */
} tamsel_multipart_header;

/* The part handed to begin_part and end_part; valid only during the callback. Members in this
   order. */
typedef struct tamsel_multipart_part {
    const char *name;         /* `name` parameter of Content-Disposition; NULL if absent */
    const char *content_type; /* the Content-Type value; NULL if absent */
    int64_t content_length;   /* the Content-Length value; -1 if absent */
    const tamsel_multipart_header *headers; /* every header line, in arrival order */
    size_t header_count;                    /* entries at headers */
    const char *filename; /* `filename` parameter of Content-Disposition; NULL if absent */
} tamsel_multipart_part;

/* Callbacks of a parser, each may be NULL. Return 0 to go on; anything else fails the push
   with the code the callback left in `error` (a nonzero `code`), or else with status 9 and
   "multipart begin_part callback failed" (part_data, end_part likewise). */
typedef struct tamsel_multipart_callbacks {
    /* A part starts; its headers are read. */
    int (*begin_part)(void *user, const tamsel_multipart_part *part, tamsel_error *error);
    /* `length` bytes of the current part's data, in order; never called with length 0. */
    int (*part_data)(void *user, const void *bytes, size_t length, tamsel_error *error);
    /* The part ended at its delimiter line. */
    int (*end_part)(void *user, const tamsel_multipart_part *part, tamsel_error *error);
} tamsel_multipart_callbacks;

/* The defaults: 200, 65536, 64, 1048576 and the process allocator. */
TAMSEL_API tamsel_multipart_options tamsel_default_multipart_options(void);

/*
 * tamsel_multipart_open: a parser for the body whose Content-Type value is `content_type`.
 * The value is read as items separated by ';'; the first item named `boundary` (any case)
 * gives the boundary, as a token (up to a space, tab or ';') or as a quoted string (up to the
 * next '"', no escapes). The media type itself is not examined.
 *   content_type: required ("multipart Content-Type is required").
 *   options: NULL for the defaults.
 *   error: optional; cleared on success.
 * Returns the parser, or NULL: status 1 "allocator must provide either all callbacks or
 * none", "multipart boundary quote is unterminated", "multipart boundary is invalid" (empty,
 * or holding a CR or LF, which no boundary line could ever match), "multipart Content-Type
 * missing boundary"; status 6 "multipart boundary length limit exceeded"; status 8 "failed to
 * allocate multipart parser" or "failed to allocate framing buffer".
 */
TAMSEL_API tamsel_multipart *tamsel_multipart_open(const char *content_type,
                                                   const tamsel_multipart_options *options,
                                                   tamsel_error *error);

/*
 * tamsel_multipart_push: parses the next `length` bytes of the body, calling `callbacks` as
 * parts begin, deliver data and end.
 *   parser, bytes: required, bytes only when length > 0 ("multipart parser and bytes are
 *                  required"); a finished parser fails ("multipart parser is already
 *                  finished"), both status 1.
 *   callbacks: NULL or any NULL member: those events are not reported.
 *   user: passed to every callback.
 * Returns 0; status 2 "unexpected multipart boundary line", "invalid multipart header line",
 * "multipart Content-Length is invalid", "multipart Content-Disposition name invalid" (a
 * quoted parameter without its closing quote); status 6 "framing buffer limit exceeded" (a
 * line over max_line_bytes, a look-behind over max_body_buffer_bytes), "multipart header
 * count limit exceeded", "multipart Content-Length exceeds supported range"; status 8
 * "failed to allocate framing buffer", "failed to allocate headers"; or a callback failure.
 */
TAMSEL_API tamsel_status tamsel_multipart_push(tamsel_multipart *parser, const void *bytes,
                                               size_t length,
                                               const tamsel_multipart_callbacks *callbacks,
                                               void *user, tamsel_error *error);

/*
 * tamsel_multipart_finish: ends the body. Succeeds once the close delimiter line was seen (the
 * parser is then finished and later pushes fail; a second finish returns 0); otherwise fails
 * with status 2 "multipart stream ended before closing boundary", and a line still waiting
 * for its line break is not processed.
 *   parser: required ("multipart parser is required", status 1).
 *   callbacks, user: as for push (finish calls none at present).
 */
TAMSEL_API tamsel_status tamsel_multipart_finish(tamsel_multipart *parser,
                                                 const tamsel_multipart_callbacks *callbacks,
                                                 void *user, tamsel_error *error);

/* tamsel_multipart_close: frees the parser and everything it holds through the allocator it
   was opened with. NULL is ignored. Called from one of the parser's own callbacks, it stops the
   running push, which frees the parser as it returns; a push or finish from its callbacks
   fails with status 1 "multipart parser called from its own callback". */
TAMSEL_API void tamsel_multipart_close(tamsel_multipart *parser);

/* ======================================================================================== */
/* libcurl adapters                                                                         */
/* ======================================================================================== */

/*
 * How to use: plug the library into a libcurl transfer without the library ever calling
 * libcurl. Each adapter is a record you allocate (stack or heap) and initialise in place, plus
 * a callback with the shape libcurl expects:
 *
 *   download into one record:    tamsel_curl_parse_init, then
 *                                CURLOPT_WRITEFUNCTION tamsel_curl_write_callback,
 *                                CURLOPT_WRITEDATA the record's address; after curl_easy_perform,
 *                                tamsel_curl_parse_finish, tamsel_curl_parse_cleanup.
 *   download an array's items:   tamsel_curl_array_parse_* (object items into a record, one
 *                                callback per item), tamsel_curl_string_array_parse_* (string
 *                                items as chunks), tamsel_curl_string_items_parse_* (string
 *                                items whole), with their own write callbacks, then finish
 *                                and cleanup.
 *   upload a record:             tamsel_curl_upload_init, then CURLOPT_READFUNCTION
 *                                tamsel_curl_read_callback, CURLOPT_READDATA &record and
 *                                CURLOPT_INFILESIZE_LARGE (or POSTFIELDSIZE_LARGE)
 *                                tamsel_curl_upload_size(&record), i.e. -1: the length is not
 *                                known in advance and HTTP/1.1 sends the body chunked; after the
 *                                transfer, tamsel_curl_upload_cleanup.
 *
 * Every failure lands in the record's own `error` (the upload's: generator.error), because
 * libcurl only sees a short count: a write callback returns 0 and curl_easy_perform reports
 * CURLE_WRITE_ERROR; the read callback returns TAMSEL_CURL_READFUNC_ABORT and curl reports
 * CURLE_ABORTED_BY_CALLBACK. Read the record's error for the parser's message and position.
 *
 * The runtime is needed only by the init functions; each adapter keeps its own copy of the
 * settings, so the runtime may be freed while a transfer runs. Cleanup is valid after a failed
 * init and a second cleanup does nothing; a cleaned record may be initialised again, and
 * initialising a record that is still initialised releases what it held first.
 *
 * Records must not be copied or moved once initialised: the `magic` member holds
 * TAMSEL_CURL_MAGIC XOR-ed with a hash of the record's own address, so a bitwise copy is not
 * recognised. Every function refuses such a copy (write callbacks return 0, finish returns 1,
 * cleanup does nothing), and the original stays the one to clean up.
 *
 * The method members after `magic` point at the functions of the same name with the record
 * first; they do exactly what the exported callbacks do. A record belongs to the one transfer
 * and thread that drives it.
 */

/* "TSCURL10" as one 64-bit word, 'T' in the lowest byte (before the address key is applied). */
#define TAMSEL_CURL_MAGIC UINT64_C(0x30314c5255435354)
/* What the read callback returns to abort an upload: libcurl's CURL_READFUNC_ABORT. */
#define TAMSEL_CURL_READFUNC_ABORT ((size_t)0x10000000)
/* The body size that tells libcurl the length is not known in advance. */
#define TAMSEL_CURL_UNKNOWN_SIZE ((int64_t)-1)

typedef struct tamsel_curl_parse tamsel_curl_parse;
typedef struct tamsel_curl_array_parse tamsel_curl_array_parse;
typedef struct tamsel_curl_string_array_parse tamsel_curl_string_array_parse;
typedef struct tamsel_curl_string_items_parse tamsel_curl_string_items_parse;
typedef struct tamsel_curl_upload tamsel_curl_upload;

/* A response body that is one JSON document, parsed into a mapped record. Members in this
   order; never edit them. */
struct tamsel_curl_parse {
    void *parser;       /* library-owned push parser; NULL until a successful init */
    void *snapshot;     /* library-owned copy of the runtime's settings */
    tamsel_error error; /* every failure of this adapter */
    uint64_t magic;     /* TAMSEL_CURL_MAGIC, keyed to the record's address */
    /* Slot of tamsel_curl_write_callback(). */
    size_t (*write)(tamsel_curl_parse *record, const char *data, size_t size, size_t nmemb);
    tamsel_status (*finish)(tamsel_curl_parse *record);
    void (*cleanup)(tamsel_curl_parse *record);
};

/* A response body holding a JSON array (root or member) whose object items are parsed one by
   one into `item_dst` and handed to `callback`, which then finds the record emptied again. */
struct tamsel_curl_array_parse {
    tamsel_array_stream *stream;         /* library-owned push-fed array stream */
    const tamsel_map *item_map;          /* borrowed */
    void *item_dst;                      /* borrowed; one item at a time */
    tamsel_array_item_callback callback; /* called with each parsed item */
    void *user;                          /* passed to the callbacks */
    tamsel_error error;                  /* every failure of this adapter */
    uint64_t magic;                      /* TAMSEL_CURL_MAGIC, keyed to the record's address */
    /* Slot of tamsel_curl_array_write_callback(). */
    size_t (*write)(tamsel_curl_array_parse *record, const char *data, size_t size, size_t nmemb);
    tamsel_status (*finish)(tamsel_curl_array_parse *record);
    void (*cleanup)(tamsel_curl_array_parse *record);
};

/* The same array, whose string items are streamed to a chunk handler (a copy is kept). */
struct tamsel_curl_string_array_parse {
    tamsel_array_stream *stream;         /* library-owned push-fed array stream */
    tamsel_string_chunk_handler handler; /* `chunk` is required */
    void *user;                          /* passed to the callbacks */
    tamsel_error error;                  /* every failure of this adapter */
    uint64_t magic;                      /* TAMSEL_CURL_MAGIC, keyed to the record's address */
    /* Slot of tamsel_curl_string_array_write_callback(). */
    size_t (*write)(tamsel_curl_string_array_parse *record, const char *data, size_t size,
                    size_t nmemb);
    tamsel_status (*finish)(tamsel_curl_string_array_parse *record);
    void (*cleanup)(tamsel_curl_string_array_parse *record);
};

/* The same array, whose string items are delivered whole, one callback per item. */
struct tamsel_curl_string_items_parse {
    tamsel_array_stream *stream;                /* library-owned push-fed array stream */
    tamsel_array_string_item_callback callback; /* called with each whole string item */
    void *user;                                 /* passed to the callbacks */
    tamsel_error error;                         /* every failure of this adapter */
    uint64_t magic; /* TAMSEL_CURL_MAGIC, keyed to the record's address */
    /* Slot of tamsel_curl_string_items_write_callback(). */
    size_t (*write)(tamsel_curl_string_items_parse *record, const char *data, size_t size,
                    size_t nmemb);
    tamsel_status (*finish)(tamsel_curl_string_items_parse *record);
    void (*cleanup)(tamsel_curl_string_items_parse *record);
};

/* A request body: a mapped record serialized on demand by the pull generator. */
struct tamsel_curl_upload {
    tamsel_generator generator; /* its error record is the adapter's */
    uint64_t magic;             /* TAMSEL_CURL_MAGIC, keyed to the record's address */
    /* Slot of tamsel_curl_read_callback(). */
    size_t (*read)(tamsel_curl_upload *record, char *buffer, size_t size, size_t nitems);
    int64_t (*size)(const tamsel_curl_upload *record);
    void (*cleanup)(tamsel_curl_upload *record);
};

/*
 * tamsel_curl_parse_init: prepares `record` to parse a response body into `dst` as `map`
 * describes, with the runtime's parse options (borrowed for this call only; the settings are
 * copied). The destination is initialised as tamsel_parse_buffer would.
 *   record: NULL returns 1 with nothing written. A record that is still initialised is
 *           released first.
 * Returns 0; 1 "tamsel runtime is required", "map and destination are required", "invalid
 * field layout", a partial allocator; 8 "failed to allocate curl parse runtime", "failed to
 * allocate parser", or a failure of the settings copy or of preparing the destination. The
 * failure is also in record->error; the parser stays NULL.
 */
TAMSEL_API tamsel_status tamsel_curl_parse_init(tamsel_curl_parse *record, tamsel_runtime *runtime,
                                                const tamsel_map *map, void *dst);
/*
 * tamsel_curl_write_callback: libcurl's CURLOPT_WRITEFUNCTION, with CURLOPT_WRITEDATA the
 * record. Feeds the size * nmemb bytes to the parser; returns that count when they were
 * accepted (status 0 or 7), else 0 with the parser's error (code, message, position) in
 * record->error. A record without a parser, a copied record and a product size * nmemb that
 * overflows (status 6 "curl write size overflows") return 0.
 */
TAMSEL_API size_t tamsel_curl_write_callback(char *data, size_t size, size_t nmemb, void *record);
/*
 * tamsel_curl_parse_finish: ends the body: an incomplete document fails here ("incomplete JSON
 * document", "incomplete JSON token at end of input"), as do missing required fields.
 * Returns the parser's status (0, 7, or the failure), copied into record->error; 1 without
 * touching the error record for NULL, a copy, or a record without a parser.
 */
TAMSEL_API tamsel_status tamsel_curl_parse_finish(tamsel_curl_parse *record);
/* Frees the parser and the settings copy, zeroes the record and re-installs its methods. The
   destination stays the caller's to tamsel_cleanup. NULL and copies are ignored. */
TAMSEL_API void tamsel_curl_parse_cleanup(tamsel_curl_parse *record);

/*
 * The array adapters' initialisers open a push-fed array stream for `path` (NULL or "" for the
 * root array, else one member name of the root object) with the runtime's parse options; the
 * stream keeps its own copy of the settings.
 *   record: NULL returns 1 with nothing written; a record still initialised is released.
 * Returns 0; 1 "tamsel runtime is required", "map, destination, and callback are required",
 * "string chunk handler is required", "string item callback is required", or the stream
 * opener's failures ("array stream v1 supports only one direct path segment", a partial
 * allocator; 8 "failed to allocate array stream"...), also in record->error.
 */
TAMSEL_API tamsel_status tamsel_curl_array_parse_init(tamsel_curl_array_parse *record,
                                                      tamsel_runtime *runtime, const char *path,
                                                      const tamsel_map *item_map, void *item_dst,
                                                      tamsel_array_item_callback callback,
                                                      void *user);
/* `handler` is copied; its `chunk` member is required. */
TAMSEL_API tamsel_status tamsel_curl_string_array_parse_init(
    tamsel_curl_string_array_parse *record, tamsel_runtime *runtime, const char *path,
    const tamsel_string_chunk_handler *handler, void *user);
/* Each string item arrives whole, at most the runtime's max_string_bytes long (0: no limit),
   else status 6 "framing buffer limit exceeded". */
TAMSEL_API tamsel_status tamsel_curl_string_items_parse_init(
    tamsel_curl_string_items_parse *record, tamsel_runtime *runtime, const char *path,
    tamsel_array_string_item_callback callback, void *user);

/*
 * The array adapters' write callbacks push size * nmemb bytes into the stream; every item they
 * complete is delivered at once. They return the count when the push gave 0 or 7, else 0 with
 * the stream's error (a syntax error with its position, "array stream item callback failed"
 * with the callback's status, ...) in record->error. NULL data with a non-zero size, a record
 * without a stream, a copy, or an overflowing product (status 6 "curl write size overflows")
 * return 0.
 */
TAMSEL_API size_t tamsel_curl_array_write_callback(char *data, size_t size, size_t nmemb,
                                                   void *record);
TAMSEL_API size_t tamsel_curl_string_array_write_callback(char *data, size_t size, size_t nmemb,
                                                          void *record);
TAMSEL_API size_t tamsel_curl_string_items_write_callback(char *data, size_t size, size_t nmemb,
                                                          void *record);
/* End of the body: the array must be complete ("unterminated selected array"...). Returns 0,
   7 once an item was truncated, or the failure (also in record->error); 1 for NULL, a copy or
   a record without a stream. */
TAMSEL_API tamsel_status tamsel_curl_array_parse_finish(tamsel_curl_array_parse *record);
TAMSEL_API tamsel_status
tamsel_curl_string_array_parse_finish(tamsel_curl_string_array_parse *record);
TAMSEL_API tamsel_status
tamsel_curl_string_items_parse_finish(tamsel_curl_string_items_parse *record);
/* Close the stream, zero the record and re-install its methods. NULL and copies are ignored. */
TAMSEL_API void tamsel_curl_array_parse_cleanup(tamsel_curl_array_parse *record);
TAMSEL_API void tamsel_curl_string_array_parse_cleanup(tamsel_curl_string_array_parse *record);
TAMSEL_API void tamsel_curl_string_items_parse_cleanup(tamsel_curl_string_items_parse *record);

/*
 * tamsel_curl_upload_init: prepares `record` to produce `src` serialized as `map` describes,
 * with the runtime's write options, exactly as tamsel_generator_init would. `src` and what it
 * points at must stay alive and unchanged until cleanup.
 *   record: NULL returns 1 with nothing written; a record still initialised is released.
 * Returns the generator's status (0; 1 "tamsel runtime is required", "map and source are
 * required for generator init", "invalid map layout"; 8 ...), also in generator.error.
 */
TAMSEL_API tamsel_status tamsel_curl_upload_init(tamsel_curl_upload *record,
                                                 tamsel_runtime *runtime, const tamsel_map *map,
                                                 const void *src);
/*
 * tamsel_curl_read_callback: libcurl's CURLOPT_READFUNCTION, with CURLOPT_READDATA the record.
 * Writes up to size * nitems bytes of the document into `buffer` and returns how many; 0 once
 * the document is complete (which ends the upload), and 0 for a request of 0 bytes.
 * Returns TAMSEL_CURL_READFUNC_ABORT for a NULL buffer or record, a copy, a record without a
 * generator, an overflowing product (status 6 "curl read size overflows"), or a generator
 * failure (its reason in generator.error).
 */
TAMSEL_API size_t tamsel_curl_read_callback(char *buffer, size_t size, size_t nitems, void *record);
/* TAMSEL_CURL_UNKNOWN_SIZE (-1), whatever the record holds (it is not read). */
TAMSEL_API int64_t tamsel_curl_upload_size(const tamsel_curl_upload *record);
/* Cleans up the generator, zeroes the record and re-installs its methods. NULL and copies are
   ignored. */
TAMSEL_API void tamsel_curl_upload_cleanup(tamsel_curl_upload *record);

/* ======================================================================================== */
/* Streaming rewrite                                                                        */
/* ======================================================================================== */

/*
 * How to use: a rewrite copies one JSON document from an input to an output in one pass and
 * changes only what the caller selects. The value rewrite keeps, drops or replaces the one
 * value at a target path (creating a missing replacement target); its output goes through a
 * tamsel_writer with the runtime's write options. The array rewrite hands each item of the
 * selected arrays to a callback that keeps, drops, replaces or inserts items, and may append
 * items when an array closes; its output is compact. Memory stays bounded by one item and the
 * open nesting levels. The first failure stops the rewrite; output already written stays
 * written. Every function borrows the runtime for the whole call and runs on the caller's
 * thread. Paths: `_path` forms refuse an output that is the input file.
 */

/* What an array item callback and the array-end emitter write: either a mapped record
   (`map` and `record`, serialized compactly) or a rewindable JSON value holder (`value`). */
typedef struct tamsel_rewrite_source {
    const struct tamsel_map *map;    /* with record: a mapped record */
    const void *record;              /* the record map describes */
    struct tamsel_json_value *value; /* or a rewindable JSON value holder */
} tamsel_rewrite_source;

#define TAMSEL_REWRITE_KEEP 0               /* the item is copied */
#define TAMSEL_REWRITE_DROP 1               /* the item is left out */
#define TAMSEL_REWRITE_REPLACE 2            /* `replacement` instead of the item */
#define TAMSEL_REWRITE_INSERT_BEFORE 3      /* `insert`, then the item */
#define TAMSEL_REWRITE_INSERT_AFTER 4       /* the item, then `insert` */
#define TAMSEL_REWRITE_REPLACE_AND_INSERT 5 /* `replacement`, then `insert` */

/* Filled by the item callback; zeroed before each call. */
typedef struct tamsel_array_rewrite_action {
    int action; /* TAMSEL_REWRITE_*; 0 keeps the item */
    tamsel_rewrite_source
        replacement;              /* REPLACE, REPLACE_AND_INSERT: written instead of the item */
    tamsel_rewrite_source insert; /* INSERT_*, REPLACE_AND_INSERT: written beside it */
} tamsel_array_rewrite_action;

/* A record filled while an enclosing object streams: `name` is a fanout segment's name
   (`users` for the selector `users[].orders`). */
typedef struct tamsel_array_rewrite_parent {
    const char *name;             /* the fanout segment's member name */
    const struct tamsel_map *map; /* map of the enclosing object */
    void *dst;                    /* the record it is parsed into */
} tamsel_array_rewrite_parent;

/* Passed to both callbacks: the selector as given ("" when none) and the parent entries. */
typedef struct tamsel_array_rewrite_context {
    const char *selector;                       /* the selector as given */
    const tamsel_array_rewrite_parent *parents; /* the parent entries of the options */
    size_t parent_count;                        /* entries at parents */
} tamsel_array_rewrite_context;

/* Appends one item to the array being closed; may be called any number of times. */
typedef tamsel_status (*tamsel_array_rewrite_emit)(void *emit_handle,
                                                   const tamsel_rewrite_source *source,
                                                   tamsel_error *error);
/* Decides one item: fills `action` (zeroed before the call: keep). */
typedef tamsel_status (*tamsel_array_rewrite_item_callback)(
    void *user, const tamsel_array_rewrite_context *context, const void *item,
    tamsel_array_rewrite_action *action, tamsel_error *error);
/* Called when a selected array closes; `emit` appends items before its `]`. */
typedef tamsel_status (*tamsel_array_rewrite_array_end_callback)(
    void *user, const tamsel_array_rewrite_context *context, tamsel_array_rewrite_emit emit,
    void *emit_handle, tamsel_error *error);

/* Members in this order. Items reach the callback parsed into `item_dst` through `item_map`,
   or as their compact text in `item_value`: exactly one of the two with an item callback,
   neither without. */
typedef struct tamsel_array_rewrite_options {
    const struct tamsel_map *item_map;                /* map of one item, with item_dst */
    void *item_dst;                                   /* record each item is parsed into */
    struct tamsel_json_value *item_value;             /* or the holder that gets each item's text */
    const tamsel_array_rewrite_parent *parents;       /* enclosing objects to parse; may be NULL */
    size_t parent_count;                              /* entries at parents */
    tamsel_array_rewrite_item_callback item_callback; /* decides each item; NULL keeps all */
    tamsel_array_rewrite_array_end_callback array_end_callback; /* may append items; may be NULL */
    void *user;                                                 /* passed to both callbacks */
} tamsel_array_rewrite_options;

/*
 * Array rewrite. `selector`: member names separated by `.` (NULL or "": the root array); a
 * segment ending in `[]` is a fanout through the elements of an array; at most 16 segments.
 * Segments must occur in order along the path, with any levels between them. Returns 0, 7
 * when anything truncated, 3 "selected array was not found" (after the whole document was
 * copied), or the first failure.
 */
TAMSEL_API tamsel_status tamsel_array_rewrite_reader(tamsel_runtime *runtime, const char *selector,
                                                     tamsel_reader reader, void *reader_user,
                                                     tamsel_sink sink, void *sink_user,
                                                     const tamsel_array_rewrite_options *options,
                                                     tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_reader_to_filep(
    tamsel_runtime *runtime, const char *selector, tamsel_reader reader, void *reader_user,
    FILE *out, const tamsel_array_rewrite_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_reader_to_fd(
    tamsel_runtime *runtime, const char *selector, tamsel_reader reader, void *reader_user,
    int out_fd, const tamsel_array_rewrite_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_filep(tamsel_runtime *runtime, const char *selector,
                                                    FILE *in, tamsel_sink sink, void *sink_user,
                                                    const tamsel_array_rewrite_options *options,
                                                    tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_filep_to_filep(
    tamsel_runtime *runtime, const char *selector, FILE *in, FILE *out,
    const tamsel_array_rewrite_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_fd(tamsel_runtime *runtime, const char *selector,
                                                 int in_fd, tamsel_sink sink, void *sink_user,
                                                 const tamsel_array_rewrite_options *options,
                                                 tamsel_error *error);
/* Descriptor output is staged in 4 KiB and flushed when full, at the end and before any
   failure is returned. */
TAMSEL_API tamsel_status tamsel_array_rewrite_fd_to_fd(tamsel_runtime *runtime,
                                                       const char *selector, int in_fd, int out_fd,
                                                       const tamsel_array_rewrite_options *options,
                                                       tamsel_error *error);
TAMSEL_API tamsel_status tamsel_array_rewrite_path(tamsel_runtime *runtime, const char *selector,
                                                   const char *in_path, const char *out_path,
                                                   const tamsel_array_rewrite_options *options,
                                                   tamsel_error *error);

#define TAMSEL_VALUE_REWRITE_KEEP 0     /* copy the document unchanged */
#define TAMSEL_VALUE_REWRITE_DROP 1     /* leave the target out */
#define TAMSEL_VALUE_REWRITE_REPLACE 2  /* write `replacement` at the target */
#define TAMSEL_VALUE_REWRITE_CALLBACK 3 /* `replace_callback` writes the target */

/* A replacement value: exactly one of `write` (called with the rewrite's writer; writes one
   value), `map` with `record`, or a rewindable `value`. */
typedef struct tamsel_value_rewrite_source {
    /* writes the value through the rewrite's writer */
    tamsel_status (*write)(tamsel_writer *writer, void *user, tamsel_error *error);
    void *write_user;                /* passed to write */
    const struct tamsel_map *map;    /* with record: a mapped record */
    const void *record;              /* the record map describes */
    struct tamsel_json_value *value; /* or a rewindable JSON value holder */
} tamsel_value_rewrite_source;

/* The value CALLBACK mode replaces: `present` 0 when it is being created; `kind` 1 object,
   2 array, 3 string, 4 number, 5 boolean, 6 null (0 when not present). */
typedef struct tamsel_value_rewrite_target {
    int present;             /* 1 when the input holds the value */
    int kind;                /* see above */
    const char *number_text; /* a number: its text as in the input */
    size_t number_len;       /* bytes at number_text */
    int boolean;             /* a boolean: its value */
} tamsel_value_rewrite_target;

/* Writes exactly one replacement value through `writer`. */
typedef tamsel_status (*tamsel_value_rewrite_callback)(tamsel_writer *writer,
                                                       const tamsel_value_rewrite_target *target,
                                                       void *replace_user, tamsel_error *error);

/* Members in this order. A segment is a member name or, inside an array, a decimal index
   ("7", never "07"); no segments target the root. */
typedef struct tamsel_value_rewrite_options {
    const char *const *segments;             /* the path, segment by segment */
    size_t segment_count;                    /* entries at segments */
    int action;                              /* TAMSEL_VALUE_REWRITE_* */
    tamsel_value_rewrite_source replacement; /* REPLACE: the new value */
    const tamsel_value_visitor *visitor;     /* CALLBACK: the target's events (may be NULL) */
    void *visitor_user;                      /* passed to visitor */
    tamsel_value_rewrite_callback replace_callback; /* CALLBACK: writes the new value */
    void *replace_user;                             /* passed to replace_callback */
} tamsel_value_rewrite_options;

/* The same with one selector string: segments split at dots, a backslash makes the next
   character literal (`a\.b` is the one member "a.b"). */
typedef struct tamsel_value_rewrite_selector_options {
    const char *selector;                    /* the path as one string */
    int action;                              /* TAMSEL_VALUE_REWRITE_* */
    tamsel_value_rewrite_source replacement; /* REPLACE: the new value */
    const tamsel_value_visitor *visitor;     /* CALLBACK: the target's events (may be NULL) */
    void *visitor_user;                      /* passed to visitor */
    tamsel_value_rewrite_callback replace_callback; /* CALLBACK: writes the new value */
    void *replace_user;                             /* passed to replace_callback */
} tamsel_value_rewrite_selector_options;

/*
 * Value rewrite. Returns 0, 7 when a sink truncated, 3 "value rewrite target was not found"
 * (REPLACE, DROP, CALLBACK) or "value rewrite cannot synthesize a missing array index", 6
 * "value rewrite target path exceeds maximum depth", or the first failure. A missing
 * replacement target is created at the end of the deepest existing object on its path, with
 * objects for the missing levels: that object gains the member even when the segment is all
 * digits (in an object it can only be a name), while an all-digit segment below it would be a
 * missing array element, which is refused before any of the created text is written. REPLACE
 * and CALLBACK with more segments than the depth limit (the parse options' max_depth, else the
 * value limits') are refused before any output: such a target can be neither read nor created.
 */
TAMSEL_API tamsel_status tamsel_value_rewrite_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                     void *reader_user, tamsel_sink sink,
                                                     void *sink_user,
                                                     const tamsel_value_rewrite_options *options,
                                                     tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_buffer(tamsel_runtime *runtime, const void *bytes,
                                                     size_t len, tamsel_sink sink, void *sink_user,
                                                     const tamsel_value_rewrite_options *options,
                                                     tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_filep(tamsel_runtime *runtime, FILE *in,
                                                    tamsel_sink sink, void *sink_user,
                                                    const tamsel_value_rewrite_options *options,
                                                    tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_fd(tamsel_runtime *runtime, int in_fd,
                                                 tamsel_sink sink, void *sink_user,
                                                 const tamsel_value_rewrite_options *options,
                                                 tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_path(tamsel_runtime *runtime, const char *in_path,
                                                   const char *out_path,
                                                   const tamsel_value_rewrite_options *options,
                                                   tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_selector_reader(
    tamsel_runtime *runtime, tamsel_reader reader, void *reader_user, tamsel_sink sink,
    void *sink_user, const tamsel_value_rewrite_selector_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_selector_buffer(
    tamsel_runtime *runtime, const void *bytes, size_t len, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_selector_filep(
    tamsel_runtime *runtime, FILE *in, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_selector_fd(
    tamsel_runtime *runtime, int in_fd, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error);
TAMSEL_API tamsel_status tamsel_value_rewrite_selector_path(
    tamsel_runtime *runtime, const char *in_path, const char *out_path,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error);

/* ======================================================================================== */
/* Compact copies and fast validation                                                       */
/* ======================================================================================== */

/*
 * How to use: these functions read one JSON document as the value visitor reads it (the same
 * checks, statuses, messages and positions, under the runtime's value limits and its UTF-8
 * check) and write it out compactly at the speed of reading it: the whitespace between tokens
 * is dropped and the significant bytes are copied as they stand, in long runs, without being
 * decoded and written again. Nothing like the parser's workspace bounds them: nesting is
 * bounded by value_max_depth alone, strings and keys by value_max_string_bytes and
 * value_max_key_bytes, a number by value_max_number_bytes.
 *
 * Strings are written as the library writes decoded text (the serializer, the writer and the
 * rewrites): each escape is decoded and escaped again where the text rules escape, so an
 * escaped solidus becomes a plain one and the six-character escape of U+00E9 its two UTF-8
 * bytes, while the escapes the text rules write themselves (of a quote, a backslash, a line feed,
 * U+0001) stay.
 * With TAMSEL_COMPACT_KEEP_ESCAPES they are copied exactly as written, as JSON value holders and
 * array stream items keep them. Numbers are always copied as written.
 *
 * Output reaches the sink in pieces of up to 4096 bytes (longer runs of the input in one
 * piece). A sink's TRUNCATED is remembered and the copy goes on; the call then returns
 * TRUNCATED (code 7, "compact output truncated", the truncated flag set). Any other failing
 * sink status stops the copy and is returned. After an error in the input the sink holds
 * compact text of the tokens before the failing one (not always all of them) and the error
 * record the position of the offending byte.
 *
 * Readers and descriptors are read 64 KiB at a time into a window allocated from the runtime's
 * allocator (status 8 "failed to allocate JSON input window"). A reader is called with 65536-
 * byte buffers; its results are read as for tamsel_visit_value_reader. Descriptors are read
 * from their current position and are not closed.
 *
 * Thread-safety: as the visitor's doors; the runtime may be shared.
 */

/* Strings and keys copied exactly as written (escapes kept) instead of in the text rules' form. */
#define TAMSEL_COMPACT_KEEP_ESCAPES 1u

/*
 * tamsel_compact_value_buffer: writes the one JSON value in `data[0..len)` compactly to `sink`.
 *   runtime: a live runtime (its value limits, allocator and UTF-8 check are used); else
 *            status 1 "tamsel runtime is required".
 *   data, sink: required ("buffer and sink are required"); len may be 0 (then "expected JSON
 *            value").
 *   sink_user: passed to every sink call.
 *   flags:   0 or TAMSEL_COMPACT_KEEP_ESCAPES; other bits are status 1 "unknown compact flags".
 * Returns OK (error record cleared), TRUNCATED, the sink's failing status, or the input's
 * failure as the visitor reports it ("visited JSON must contain exactly one value" when more
 * than whitespace follows the value).
 */
TAMSEL_API tamsel_status tamsel_compact_value_buffer(tamsel_runtime *runtime, const void *data,
                                                     size_t len, tamsel_sink sink, void *sink_user,
                                                     unsigned flags, tamsel_error *error);
/* The same over the value `reader` produces ("reader and sink are required"). */
TAMSEL_API tamsel_status tamsel_compact_value_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                     void *reader_user, tamsel_sink sink,
                                                     void *sink_user, unsigned flags,
                                                     tamsel_error *error);
/* The same over descriptor `fd` (>= 0; "fd and sink are required"). */
TAMSEL_API tamsel_status tamsel_compact_value_fd(tamsel_runtime *runtime, int fd, tamsel_sink sink,
                                                 void *sink_user, unsigned flags,
                                                 tamsel_error *error);

/*
 * tamsel_validate_value_buffer: checks that `data[0..len)` is one JSON value, exactly as
 * tamsel_visit_value_buffer with no callbacks does (the same statuses, messages and positions)
 * and as fast as tamsel_validate_buffer, without its workspace's bound on nesting: any depth
 * within value_max_depth and any key length within value_max_key_bytes pass.
 *   runtime: a live runtime; else status 1 "tamsel runtime is required".
 *   data:    required ("buffer is required"); len may be 0.
 * Returns OK (error record cleared) or the failure.
 */
TAMSEL_API tamsel_status tamsel_validate_value_buffer(tamsel_runtime *runtime, const void *data,
                                                      size_t len, tamsel_error *error);
/* The same over the value `reader` produces ("reader is required"). */
TAMSEL_API tamsel_status tamsel_validate_value_reader(tamsel_runtime *runtime,
                                                      tamsel_reader reader, void *reader_user,
                                                      tamsel_error *error);
/* The same over descriptor `fd` ("fd must be non-negative"). */
TAMSEL_API tamsel_status tamsel_validate_value_fd(tamsel_runtime *runtime, int fd,
                                                  tamsel_error *error);

/*
 * tamsel_compact_items_buffer: writes each item of one array of the document as JSON Lines: its
 * compact text (as above) and a line feed, in the order of the input, holding no item in
 * memory. The array is the root (NULL or empty `selector`) or the value at `selector`, a path
 * in the syntax of tamsel_array_stream_open_selector_reader (member names, and element indices
 * of arrays, separated by dots; a backslash makes the next character literal; its faults are
 * status 1 "array stream selector ends with an escape" and "array stream selector contains
 * empty segment"). The whole document is checked as the visitor checks it; in addition:
 *   - the root must be an array without a selector and an object (or an array, when the first
 *     segment is an index) with one: status 3 "selected JSON value is not an array", "array
 *     path requires a root object" or "array path requires a root object or array"; a value
 *     on the path that is not a container: status 3 "array path requires an object at \"a.b\""
 *     (or "... object or array at ..."); the value at the path not an array: status 3
 *     "selected JSON value is not an array";
 *   - a path never found: status 4 "selected array field was not found: no member \"x\" in
 *     \"a.b\"" (or "no element 3 in ...", "in the root object", "in the root array"), reported
 *     at the root's closing bracket; when a key occurs twice (duplicates allowed), each array it
 *     names is written;
 *   - with the runtime's reject_duplicates, a key repeated in any object: status 5 "duplicate
 *     root object field" (in the root object on the path) or "duplicate object field", at the
 *     key's closing quote; the key sets are held to max_parse_bytes when it is set;
 *   - items and the values off the path count their nesting from their own root against
 *     value_max_depth, as array stream items do;
 *   - more than whitespace after the root: status 2 "unexpected data after root array" (or
 *     "... root object").
 * An item's line feed is written as soon as the item has been read whole, so after an error the
 * sink holds the complete lines of the items before it (and part of the failing one).
 *   runtime, sink, sink_user, flags: as tamsel_compact_value_buffer ("buffer and sink are
 *            required").
 * Returns OK (error record cleared), TRUNCATED, the sink's failing status or the failure.
 */
TAMSEL_API tamsel_status tamsel_compact_items_buffer(tamsel_runtime *runtime, const char *selector,
                                                     const void *data, size_t len,
                                                     tamsel_sink sink, void *sink_user,
                                                     unsigned flags, tamsel_error *error);
/* The same over the document `reader` produces ("reader and sink are required"). */
TAMSEL_API tamsel_status tamsel_compact_items_reader(tamsel_runtime *runtime, const char *selector,
                                                     tamsel_reader reader, void *reader_user,
                                                     tamsel_sink sink, void *sink_user,
                                                     unsigned flags, tamsel_error *error);
/* The same over descriptor `fd` (>= 0; "fd and sink are required"). */
TAMSEL_API tamsel_status tamsel_compact_items_fd(tamsel_runtime *runtime, const char *selector,
                                                 int fd, tamsel_sink sink, void *sink_user,
                                                 unsigned flags, tamsel_error *error);

/* ======================================================================================== */
/* JSON text rules                                                                          */
/* ======================================================================================== */

/*
 * The library's own rules for writing JSON text, over a sink, for programs that lay out JSON
 * themselves (such as the tamsel tool). Each call hands its text to `sink` in as few pieces as
 * its buffer allows and returns OK, TRUNCATED (the sink truncated) or the sink's failure.
 */

/* A whole JSON string: quote, `bytes[0..len)` escaped, quote. */
TAMSEL_API tamsel_status tamsel__emit_escaped_bytes(tamsel_sink sink, void *user,
                                                    tamsel_error *error, const void *bytes,
                                                    size_t len);
/* The escaped body only (no quotes), for text that arrives in pieces: every byte is escaped on
   its own, so pieces may be cut anywhere. */
TAMSEL_API tamsel_status tamsel__emit_escaped_fragment(tamsel_sink sink, void *user,
                                                       tamsel_error *error, const void *bytes,
                                                       size_t len);
/* A double in the "%.17g" form, whatever the process locale; NaN and infinities fail with
   status 3. */
TAMSEL_API tamsel_status tamsel__emit_number_text(tamsel_sink sink, void *user, tamsel_error *error,
                                                  double value);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAMSEL_H */

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

#define TAMSEL_VERSION_MAJOR 0
#define TAMSEL_VERSION_MINOR 1
#define TAMSEL_VERSION_PATCH 0
#define TAMSEL_VERSION_STRING "0.1.0"
/* One number that grows with every release: major * 10000 + minor * 100 + patch. */
#define TAMSEL_VERSION                                                                             \
    (TAMSEL_VERSION_MAJOR * 10000 + TAMSEL_VERSION_MINOR * 100 + TAMSEL_VERSION_PATCH)

#if defined(_WIN32)
#define TAMSEL_API
#elif defined(__GNUC__) || defined(__clang__)
#define TAMSEL_API __attribute__((visibility("default")))
#else
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

#define TAMSEL_ERROR_MESSAGE_CAPACITY 160

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
 * operation that takes an allocator. Attach a `tamsel_alloc_stats` to have the library count
 * what it allocates; the counters are updated under one process-wide lock, so a record may be
 * shared between threads, but read it only while no operation runs.
 */

/* Allocation statistics, five unsigned 64-bit counters in this order. */
typedef struct tamsel_alloc_stats {
    uint64_t alloc_count;   /* successful malloc calls */
    uint64_t realloc_count; /* successful realloc calls */
    uint64_t free_count;    /* frees of blocks whose size is known */
    uint64_t current_bytes; /* bytes currently held; never below 0 */
    uint64_t peak_bytes;    /* largest current_bytes seen */
} tamsel_alloc_stats;

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
    uint32_t reject_duplicates; /* a key seen twice in one object is status 5 */
    uint64_t max_depth;         /* most containers open at once; 0 = workspace limit */
    uint64_t max_string_bytes;  /* largest dynamic string, NUL excluded; 0 = unlimited */
    uint64_t max_parse_bytes;   /* bytes one parse may allocate for values; 0 = unlimited */
    void *fixed_string_scratch; /* staging buffer for fixed-capacity strings, or NULL */
    uint64_t fixed_string_scratch_size;
    const tamsel_allocator *allocator; /* NULL = default allocator */
} tamsel_parse_options;

/* Limits of raw JSON values and of the visitor. Defaults: 64, 1048576, 256, 65536, 0.
   In the visitor a 0 in the first four members takes that member's default; only
   max_total_bytes = 0 means unlimited. */
typedef struct tamsel_value_limits {
    uint64_t max_depth;
    uint64_t max_string_bytes;
    uint64_t max_number_bytes;
    uint64_t max_key_bytes;
    uint64_t max_total_bytes;
} tamsel_value_limits;

/* Options of serialization and the writer. Defaults: 0, 0, NULL, 8388608. */
typedef struct tamsel_write_options {
    /* Caller buffer too small: 0 fails, 1 truncates and returns status 7, any other value
       truncates and returns status 0. */
    uint32_t overflow_policy;
    uint32_t pretty; /* nonzero selects pretty output */
    const tamsel_allocator *allocator;
    uint64_t max_output_bytes; /* largest buffer grown by the library; 0 = 8388608 */
} tamsel_write_options;

#define TAMSEL_CONFIG_MAGIC 0x54534346u /* 'TSCF' */
#define TAMSEL_SPOOL_CLASS_COUNT 3

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
typedef struct tamsel_read_result tamsel_read_result;
typedef struct tamsel_value_visitor tamsel_value_visitor;
/* A pull reader (see "Readers"): fills up to `capacity` bytes of `buffer`, never more. */
typedef tamsel_read_result (*tamsel_reader)(void *user_data, void *buffer, size_t capacity);

/* Type of a method-table slot whose operation this version of the library does not provide
   yet; such slots are NULL. A slot takes its operation's exact type when that operation
   exists; the table's layout does not change. */
typedef void (*tamsel_method_unavailable)(void);

/* The method table: one slot per public operation, each taking the runtime first. */
typedef struct tamsel_runtime_methods {
    /* 1-5: parse */
    tamsel_method_unavailable parse_cstr;
    tamsel_method_unavailable parse_buffer;
    tamsel_method_unavailable parse_reader;
    tamsel_method_unavailable parse_filep;
    tamsel_method_unavailable parse_path;
    /* 6-10: validate */
    tamsel_method_unavailable validate_buffer;
    tamsel_method_unavailable validate_cstr;
    tamsel_method_unavailable validate_reader;
    tamsel_method_unavailable validate_filep;
    tamsel_method_unavailable validate_path;
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
    /* 17-19: mapped values */
    tamsel_method_unavailable init;
    tamsel_method_unavailable reset;
    tamsel_method_unavailable cleanup;
    /* 20-23: object streams */
    tamsel_method_unavailable stream_open_reader;
    tamsel_method_unavailable stream_open_filep;
    tamsel_method_unavailable stream_open_path;
    tamsel_method_unavailable stream_open_fd;
    /* 24-28: array streams */
    tamsel_method_unavailable array_stream_open_reader;
    tamsel_method_unavailable array_stream_open_filep;
    tamsel_method_unavailable array_stream_open_path;
    tamsel_method_unavailable array_stream_open_fd;
    tamsel_method_unavailable array_stream_open_push;
    /* 29-30: spooled values */
    tamsel_method_unavailable spooled_init;
    tamsel_method_unavailable spooled_init_class;
    /* 31-32: JSON value holders (json_value_cleanup ignores the runtime) */
    void (*json_value_init)(tamsel_runtime *runtime, struct tamsel_json_value *value);
    void (*json_value_cleanup)(tamsel_runtime *runtime, struct tamsel_json_value *value);
    /* 33-40: array rewrite */
    tamsel_method_unavailable array_rewrite_reader;
    tamsel_method_unavailable array_rewrite_reader_to_filep;
    tamsel_method_unavailable array_rewrite_reader_to_fd;
    tamsel_method_unavailable array_rewrite_filep;
    tamsel_method_unavailable array_rewrite_filep_to_filep;
    tamsel_method_unavailable array_rewrite_fd;
    tamsel_method_unavailable array_rewrite_fd_to_fd;
    tamsel_method_unavailable array_rewrite_path;
    /* 41-45: value rewrite */
    tamsel_method_unavailable value_rewrite_reader;
    tamsel_method_unavailable value_rewrite_buffer;
    tamsel_method_unavailable value_rewrite_filep;
    tamsel_method_unavailable value_rewrite_fd;
    tamsel_method_unavailable value_rewrite_path;
    /* 46-50: value rewrite with a selector */
    tamsel_method_unavailable value_rewrite_selector_reader;
    tamsel_method_unavailable value_rewrite_selector_buffer;
    tamsel_method_unavailable value_rewrite_selector_filep;
    tamsel_method_unavailable value_rewrite_selector_fd;
    tamsel_method_unavailable value_rewrite_selector_path;
    /* 51: pull generator */
    tamsel_method_unavailable generator_init;
    /* 52: writer */
    tamsel_method_unavailable writer_init_sink;
    /* 53-55: one-shot string writers */
    tamsel_method_unavailable write_json_string_sink;
    tamsel_method_unavailable write_json_string_buffer_sink;
    tamsel_method_unavailable write_json_string_spooled_sink;
    /* 56-61: serialize */
    tamsel_method_unavailable serialize_sink;
    tamsel_method_unavailable serialize_buffer;
    tamsel_method_unavailable serialize_alloc;
    tamsel_method_unavailable serialize_owned;
    tamsel_method_unavailable serialize_filep;
    tamsel_method_unavailable serialize_path;
    /* 62-67: serialize JSON Lines */
    tamsel_method_unavailable serialize_jsonl_sink;
    tamsel_method_unavailable serialize_jsonl_buffer;
    tamsel_method_unavailable serialize_jsonl_alloc;
    tamsel_method_unavailable serialize_jsonl_owned;
    tamsel_method_unavailable serialize_jsonl_filep;
    tamsel_method_unavailable serialize_jsonl_path;
    /* 68-72: libcurl callback adapters */
    tamsel_method_unavailable curl_parse_init;
    tamsel_method_unavailable curl_array_parse_init;
    tamsel_method_unavailable curl_string_array_parse_init;
    tamsel_method_unavailable curl_string_items_parse_init;
    tamsel_method_unavailable curl_upload_init;
    /* 73: tamsel_free */
    void (*free)(tamsel_runtime *runtime);
} tamsel_runtime_methods;

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

/* ======================================================================================== */
/* Readers                                                                                  */
/* ======================================================================================== */

/* What one reader call did. */
struct tamsel_read_result {
    size_t bytes;    /* bytes placed in the buffer by this call */
    int eof;         /* nonzero: the input is exhausted after these bytes */
    int would_block; /* nonzero: no more bytes now, but the input is not finished */
    int error_code;  /* errno-style code when the read failed, 0 otherwise */
};

/* A push sink: takes `len` bytes. Returns 0 when all were taken, 7 (TRUNCATED) when it kept
   what it could and the producer should go on, any other status to abort the producer. */
typedef tamsel_status (*tamsel_sink)(void *user_data, const void *data, size_t len,
                                     tamsel_error *error);

/* Consumers call a reader again after an empty result without eof or would_block; this many
   empty results in a row fail with status 9 "reader made no progress". */
#define TAMSEL_READER_MAX_EMPTY_READS 64

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
struct tamsel_value_visitor {
    tamsel_status (*object_begin)(void *user, tamsel_error *error);
    tamsel_status (*object_end)(void *user, tamsel_error *error);
    tamsel_status (*key_begin)(void *user, tamsel_error *error);
    tamsel_status (*key_chunk)(void *user, const char *bytes, size_t length, tamsel_error *error);
    tamsel_status (*key_end)(void *user, tamsel_error *error);
    tamsel_status (*array_begin)(void *user, tamsel_error *error);
    tamsel_status (*array_end)(void *user, tamsel_error *error);
    tamsel_status (*string_begin)(void *user, tamsel_error *error);
    tamsel_status (*string_chunk)(void *user, const char *bytes, size_t length,
                                  tamsel_error *error);
    tamsel_status (*string_end)(void *user, tamsel_error *error);
    tamsel_status (*number_begin)(void *user, tamsel_error *error);
    /* Called exactly once per number with the whole token as it stands in the input. */
    tamsel_status (*number_chunk)(void *user, const char *bytes, size_t length,
                                  tamsel_error *error);
    tamsel_status (*number_end)(void *user, tamsel_error *error);
    tamsel_status (*boolean)(void *user, int value, tamsel_error *error);
    tamsel_status (*null)(void *user, tamsel_error *error);
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

#define TAMSEL_JSON_NONE 0
#define TAMSEL_JSON_BUFFER 1
#define TAMSEL_JSON_READER 2
#define TAMSEL_JSON_FILE 3
#define TAMSEL_JSON_FD 4
#define TAMSEL_JSON_PATH 5

#define TAMSEL_JSON_PARSE_NONE 0
#define TAMSEL_JSON_PARSE_SINK 1
#define TAMSEL_JSON_PARSE_VISITOR 2
#define TAMSEL_JSON_PARSE_CAPTURE 3

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

struct tamsel_json_value {
    int kind;             /* TAMSEL_JSON_NONE ... TAMSEL_JSON_PATH */
    char *data;           /* BUFFER: owned compact text, NUL-terminated */
    uint64_t len;         /* length of data without the NUL */
    tamsel_reader reader; /* READER */
    void *reader_user;
    FILE *file;             /* FILE: borrowed */
    int fd;                 /* FD: borrowed; -1 otherwise */
    char *path;             /* PATH: the holder's own copy */
    int parse_mode;         /* TAMSEL_JSON_PARSE_NONE ... TAMSEL_JSON_PARSE_CAPTURE */
    tamsel_sink parse_sink; /* PARSE_SINK */
    void *parse_sink_user;
    const tamsel_value_visitor *parse_visitor; /* PARSE_VISITOR */
    void *parse_visitor_user;
    tamsel_value_limits limits;         /* applied when the parser fills this holder; editable */
    tamsel_value_limits runtime_limits; /* the runtime's value limits as last taken */
    const tamsel_json_value_methods *methods;
    tamsel_allocator allocator; /* for data, path and capture */
    int limits_follow_runtime;  /* 1 while limits equals runtime_limits */
    uint32_t magic;             /* initialisation mark, keyed to the record's address */
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

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAMSEL_H */

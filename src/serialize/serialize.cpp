// The serialize entry points: one record or a run of records (JSON Lines) into a sink, a
// caller buffer, a growing buffer (owned or malloc'd), a FILE* or a path.
//
// Every door follows one prologue: snapshot the runtime's write options, check the
// destination, then the map and record (or items), validate the map, clear the error record.
// The doors differ only in the output window the record writer fills: a buffered sink (sink,
// FILE*, path), the caller's buffer, or a growing block.
#include "io/internal.hpp"
#include "parse/maps.hpp"
#include "serialize/internal.hpp"

#include <cerrno>

namespace {

using namespace tamsel;
using tamsel::serialize::write_lines;
using tamsel::serialize::write_record;

constexpr uint64_t default_max_output_bytes = 8388608;

tamsel_status invalid(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

// What one call writes: a record, or `count` records `stride` bytes apart.
struct job {
    const tamsel_map *map = nullptr;
    const void *record = nullptr;
    bool lines = false;
    size_t count = 0;
    size_t stride = 0;
    bool pretty = false;

    tamsel_status run(io::byte_output &out, tamsel_error *error) const {
        if (lines) return write_lines(*map, record, count, stride, out, error, pretty);
        return write_record(*map, record, out, error, pretty);
    }
};

tamsel_status check_map(const tamsel_map *map, tamsel_error *error) {
    if (!parse::analyze_map(map).valid) return invalid(error, "invalid map layout");
    return TAMSEL_STATUS_OK;
}

// The checks of the single-record doors after their destination's own.
tamsel_status check_record(const tamsel_map *map, const void *src, bool have_sink, bool pretty,
                           job *out, tamsel_error *error) {
    if (!map || !src || !have_sink) return invalid(error, "map, source, and sink are required");
    TAMSEL_TRY(check_map(map, error));
    out->map = map;
    out->record = src;
    out->pretty = pretty;
    return TAMSEL_STATUS_OK;
}

// The checks of the JSON Lines doors after their destination's own.
tamsel_status check_lines(const tamsel_map *map, const void *items, size_t count, size_t stride,
                          bool have_sink, bool pretty, job *out, tamsel_error *error) {
    if (!map || !have_sink) return invalid(error, "map and sink are required");
    if (!items && count) return invalid(error, "items are required when count is non-zero");
    if (stride && stride < map->struct_size)
        return invalid(error, "stride must be at least map->struct_size");
    TAMSEL_TRY(check_map(map, error));
    if (!stride) stride = map->struct_size;
    size_t span;
    if (count && !checked_mul(count - 1, stride, &span))
        return invalid(error, "count and stride exceed the address space");
    out->map = map;
    out->record = items;
    out->lines = true;
    out->count = count;
    out->stride = stride;
    out->pretty = pretty;
    return TAMSEL_STATUS_OK;
}

// A sink that truncated makes the call TRUNCATED: code 0 in the record, `truncated` set.
tamsel_status note_truncation(tamsel_status st, tamsel_error *error) {
    if (st == TAMSEL_STATUS_TRUNCATED && error) {
        error->code = TAMSEL_STATUS_OK;
        error->truncated = 1;
    }
    return st;
}

tamsel_status write_to_sink(const job &j, tamsel_sink sink, void *user, tamsel_error *error) {
    io::buffered_sink out(sink, user, error);
    tamsel_status st = j.run(out, error);
    if (st != TAMSEL_STATUS_OK) {
        // What was written before the failure still reaches the sink, as it would have
        // without the buffer (a sink that failed is latched and not called again); the
        // failure reported stays the one in the record.
        tamsel_error saved;
        if (error) saved = *error;
        (void)out.flush();
        if (error) *error = saved;
        return st;
    }
    TAMSEL_TRY(out.flush());
    return note_truncation(out.result(), error);
}

// The allocator of library-owned output: the snapshot's, resolved (status 1 when partial).
tamsel_status owned_allocator(const write_snapshot &snap, tamsel_allocator *out,
                              tamsel_error *error) {
    return require_allocator(snap.options.allocator, out, error);
}

tamsel_status write_growing(const job &j, const tamsel_write_options &options,
                            const tamsel_allocator &allocator, tamsel_owned_buffer *dst,
                            tamsel_error *error) {
    const uint64_t limit =
        options.max_output_bytes ? options.max_output_bytes : default_max_output_bytes;
    serialize::growing_output out(allocator, limit, error);
    TAMSEL_TRY(j.run(out, error)); // the partial block is freed with `out`
    dst->len = out.length();
    dst->capacity = out.capacity();
    dst->data = out.release();
    dst->allocator = allocator;
    return TAMSEL_STATUS_OK;
}

tamsel_status write_caller_buffer(const job &j, uint32_t policy, char *buffer, size_t capacity,
                                  size_t *needed, tamsel_error *error) {
    serialize::caller_buffer_output out(buffer, capacity, policy, error);
    tamsel_status st = j.run(out, error);
    out.terminate();
    if (needed) *needed = out.needed();
    if (st == TAMSEL_STATUS_OK && out.truncated()) {
        // Policies 1 and up cut the text; only 1 says so in the status.
        if (error) error->truncated = 1;
        return policy == TAMSEL_OVERFLOW_TRUNCATE ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
    }
    return st;
}

tamsel_status write_path(const job &j, const char *path, tamsel_error *error) {
    unique_file file(std::fopen(path, "wb"));
    if (!file) {
        const int code = io::errno_or_eio();
        fail(error, TAMSEL_STATUS_IO_ERROR, "failed to open '%s' for writing", path);
        if (error) error->system_errno = code;
        return TAMSEL_STATUS_IO_ERROR;
    }
    tamsel_status st = write_to_sink(j, tamsel__sink_file, file.get(), error);
    // The final flush happens in fclose: a full disk shows up only here.
    if (!file.close() && (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED)) {
        const int code = io::errno_or_eio();
        fail(error, TAMSEL_STATUS_IO_ERROR, "failed to close '%s'", path);
        if (error) error->system_errno = code;
        return TAMSEL_STATUS_IO_ERROR;
    }
    return st;
}

// malloc outputs take the process allocator only (the caller frees with free()).
tamsel_status require_default_allocator(const write_snapshot &snap, const char *message,
                                        tamsel_error *error) {
    const tamsel_allocator *a = snap.options.allocator;
    if (!a || allocator_is_default(a)) return TAMSEL_STATUS_OK;
    tamsel_allocator resolved;
    TAMSEL_TRY(require_allocator(a, &resolved, error));
    const tamsel_allocator d = tamsel_default_allocator();
    if (a->malloc != d.malloc || a->realloc != d.realloc || a->free != d.free || a->user_data)
        return invalid(error, message);
    return TAMSEL_STATUS_OK;
}

char *write_alloc(const job &j, const write_snapshot &snap, size_t *out_len, tamsel_error *error) {
    tamsel_owned_buffer result = tamsel_default_owned_buffer();
    if (write_growing(j, snap.options, tamsel_default_allocator(), &result, error) !=
        TAMSEL_STATUS_OK)
        return nullptr;
    if (out_len) *out_len = result.len;
    return result.data;
}

} // namespace

using namespace tamsel;

// ---- one record -------------------------------------------------------------------------------

extern "C" tamsel_status tamsel_serialize_sink(tamsel_runtime *runtime, const tamsel_map *map,
                                               const void *src, tamsel_sink sink, void *sink_user,
                                               tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    job j;
    TAMSEL_TRY(check_record(map, src, sink != nullptr, snap.options.pretty, &j, error));
    clear_error(error);
    return write_to_sink(j, sink, sink_user, error);
}

extern "C" tamsel_status tamsel_serialize_buffer(tamsel_runtime *runtime, const tamsel_map *map,
                                                 const void *src, char *buffer, size_t capacity,
                                                 size_t *out_needed, tamsel_error *error) {
    if (out_needed) *out_needed = 0;
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!buffer || !capacity) return invalid(error, "output buffer and capacity are required");
    buffer[0] = '\0';
    job j;
    TAMSEL_TRY(check_record(map, src, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_caller_buffer(j, snap.options.overflow_policy, buffer, capacity, out_needed,
                               error);
}

extern "C" char *tamsel_serialize_alloc(tamsel_runtime *runtime, const tamsel_map *map,
                                        const void *src, size_t *out_length, tamsel_error *error) {
    if (out_length) *out_length = 0;
    write_snapshot snap;
    if (take_write_snapshot(runtime, &snap, error) != TAMSEL_STATUS_OK) return nullptr;
    if (require_default_allocator(snap,
                                  "serialize_alloc uses the default allocator only; use "
                                  "serialize_owned for custom allocators",
                                  error) != TAMSEL_STATUS_OK)
        return nullptr;
    job j;
    if (check_record(map, src, true, snap.options.pretty, &j, error) != TAMSEL_STATUS_OK)
        return nullptr;
    clear_error(error);
    return write_alloc(j, snap, out_length, error);
}

extern "C" tamsel_status tamsel_serialize_owned(tamsel_runtime *runtime, const tamsel_map *map,
                                                const void *src, tamsel_owned_buffer *out,
                                                tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!out) return invalid(error, "output buffer handle is required");
    *out = tamsel_default_owned_buffer();
    tamsel_allocator allocator;
    TAMSEL_TRY(owned_allocator(snap, &allocator, error));
    job j;
    TAMSEL_TRY(check_record(map, src, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_growing(j, snap.options, allocator, out, error);
}

extern "C" tamsel_status tamsel_serialize_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                                const void *src, FILE *file, tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!file) return invalid(error, "file pointer is required");
    job j;
    TAMSEL_TRY(check_record(map, src, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_to_sink(j, tamsel__sink_file, file, error);
}

extern "C" tamsel_status tamsel_serialize_path(tamsel_runtime *runtime, const tamsel_map *map,
                                               const void *src, const char *path,
                                               tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!path) return invalid(error, "path is required");
    job j;
    TAMSEL_TRY(check_record(map, src, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_path(j, path, error);
}

// ---- JSON Lines -------------------------------------------------------------------------------

extern "C" tamsel_status tamsel_serialize_jsonl_sink(tamsel_runtime *runtime, const tamsel_map *map,
                                                     const void *items, size_t count, size_t stride,
                                                     tamsel_sink sink, void *sink_user,
                                                     tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    job j;
    TAMSEL_TRY(
        check_lines(map, items, count, stride, sink != nullptr, snap.options.pretty, &j, error));
    clear_error(error);
    return write_to_sink(j, sink, sink_user, error);
}

extern "C" tamsel_status tamsel_serialize_jsonl_buffer(tamsel_runtime *runtime,
                                                       const tamsel_map *map, const void *items,
                                                       size_t count, size_t stride, char *buffer,
                                                       size_t capacity, size_t *out_needed,
                                                       tamsel_error *error) {
    if (out_needed) *out_needed = 0;
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!buffer || !capacity) return invalid(error, "output buffer and capacity are required");
    buffer[0] = '\0';
    job j;
    TAMSEL_TRY(check_lines(map, items, count, stride, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_caller_buffer(j, snap.options.overflow_policy, buffer, capacity, out_needed,
                               error);
}

extern "C" char *tamsel_serialize_jsonl_alloc(tamsel_runtime *runtime, const tamsel_map *map,
                                              const void *items, size_t count, size_t stride,
                                              size_t *out_length, tamsel_error *error) {
    if (out_length) *out_length = 0;
    write_snapshot snap;
    if (take_write_snapshot(runtime, &snap, error) != TAMSEL_STATUS_OK) return nullptr;
    if (require_default_allocator(snap,
                                  "serialize_jsonl_alloc uses the default allocator only; use "
                                  "serialize_jsonl_owned for custom allocators",
                                  error) != TAMSEL_STATUS_OK)
        return nullptr;
    job j;
    if (check_lines(map, items, count, stride, true, snap.options.pretty, &j, error) !=
        TAMSEL_STATUS_OK)
        return nullptr;
    clear_error(error);
    return write_alloc(j, snap, out_length, error);
}

extern "C" tamsel_status tamsel_serialize_jsonl_owned(tamsel_runtime *runtime,
                                                      const tamsel_map *map, const void *items,
                                                      size_t count, size_t stride,
                                                      tamsel_owned_buffer *out,
                                                      tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!out) return invalid(error, "output buffer handle is required");
    *out = tamsel_default_owned_buffer();
    tamsel_allocator allocator;
    TAMSEL_TRY(owned_allocator(snap, &allocator, error));
    job j;
    TAMSEL_TRY(check_lines(map, items, count, stride, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_growing(j, snap.options, allocator, out, error);
}

extern "C" tamsel_status tamsel_serialize_jsonl_filep(tamsel_runtime *runtime,
                                                      const tamsel_map *map, const void *items,
                                                      size_t count, size_t stride, FILE *file,
                                                      tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!file) return invalid(error, "file pointer is required");
    job j;
    TAMSEL_TRY(check_lines(map, items, count, stride, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_to_sink(j, tamsel__sink_file, file, error);
}

extern "C" tamsel_status tamsel_serialize_jsonl_path(tamsel_runtime *runtime, const tamsel_map *map,
                                                     const void *items, size_t count, size_t stride,
                                                     const char *path, tamsel_error *error) {
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!path) return invalid(error, "path is required");
    job j;
    TAMSEL_TRY(check_lines(map, items, count, stride, true, snap.options.pretty, &j, error));
    clear_error(error);
    return write_path(j, path, error);
}

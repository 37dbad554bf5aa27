// The transcoder: re-emits a JSON value held as text, a reader, a FILE*, a descriptor or a
// path, compact or pretty. It is the raw walk (strings passed through as written, no value
// limits, no recursion) driving an emitter that writes the structure into a buffered output.
#include "visit/internal.hpp"
#include "visit/json_value.hpp"

#include <unistd.h>

#include <cerrno>

namespace tamsel::visit {

using io::block_appender;
using io::buffered_sink;
using io::byte_output;

namespace {

constexpr const char *trailing_message = "embedded JSON must contain exactly one value";

// Writes the structure around the raw events. Needs no stack: a value inside a container is
// preceded by a comma exactly when something was written since the container opened, and a
// value right after a key never is.
template <class Output> struct emitter {
    Output &out;
    tamsel_error *error;
    bool pretty;
    uint64_t base;
    uint64_t depth = 0;
    bool need_comma = false;
    bool after_key = false;

    tamsel_status indent(uint64_t extra) {
        uint64_t level;
        if (__builtin_add_overflow(base, extra, &level) || level > INT64_MAX)
            return fail(error, TAMSEL_STATUS_OVERFLOW, "JSON indentation depth is too large");
        static const char spaces[66] =
            "\n                                                                ";
        if (level <= 32) return out.put(spaces, 1 + 2 * static_cast<size_t>(level));
        TAMSEL_TRY(out.put(spaces, 65));
        uint64_t left = 2 * level - 64;
        while (left > 64) {
            TAMSEL_TRY(out.put(spaces + 1, 64));
            left -= 64;
        }
        return out.put(spaces + 1, static_cast<size_t>(left));
    }
    tamsel_status before_value() {
        if (after_key) {
            after_key = false;
            return TAMSEL_STATUS_OK;
        }
        if (depth == 0) return TAMSEL_STATUS_OK;
        if (need_comma) TAMSEL_TRY(out.put(','));
        return pretty ? indent(depth) : TAMSEL_STATUS_OK;
    }
    tamsel_status open(char c) {
        TAMSEL_TRY(before_value());
        TAMSEL_TRY(out.put(c));
        ++depth;
        need_comma = false;
        return TAMSEL_STATUS_OK;
    }
    tamsel_status close(char c) {
        --depth;
        if (pretty && need_comma) TAMSEL_TRY(indent(depth));
        need_comma = true;
        return out.put(c);
    }
    tamsel_status scalar(const char *text, size_t n) {
        TAMSEL_TRY(before_value());
        need_comma = true;
        return out.put(text, n);
    }

    static emitter &of(void *u) { return *static_cast<emitter *>(u); }
    static tamsel_value_visitor table() {
        tamsel_value_visitor v = tamsel_default_value_visitor();
        v.object_begin = [](void *u, tamsel_error *) { return of(u).open('{'); };
        v.object_end = [](void *u, tamsel_error *) { return of(u).close('}'); };
        v.array_begin = [](void *u, tamsel_error *) { return of(u).open('['); };
        v.array_end = [](void *u, tamsel_error *) { return of(u).close(']'); };
        v.key_begin = [](void *u, tamsel_error *) {
            emitter &e = of(u);
            if (e.need_comma) TAMSEL_TRY(e.out.put(','));
            if (e.pretty) TAMSEL_TRY(e.indent(e.depth));
            return e.out.put('"');
        };
        v.key_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
            return of(u).out.put(b, n);
        };
        v.key_end = [](void *u, tamsel_error *) {
            emitter &e = of(u);
            e.after_key = true;
            return e.pretty ? e.out.put("\": ", 3) : e.out.put("\":", 2);
        };
        v.string_begin = [](void *u, tamsel_error *) { return of(u).scalar("\"", 1); };
        v.string_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
            return of(u).out.put(b, n);
        };
        v.string_end = [](void *u, tamsel_error *) { return of(u).out.put('"'); };
        v.number_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
            return of(u).scalar(b, n);
        };
        v.boolean = [](void *u, int value, tamsel_error *) {
            return value ? of(u).scalar("true", 4) : of(u).scalar("false", 5);
        };
        v.null = [](void *u, tamsel_error *) { return of(u).scalar("null", 4); };
        return v;
    }
};

template <class Output>
tamsel_status transcode_cursor(visit::input_cursor &cursor, const tamsel_allocator &allocator,
                               Output &out, tamsel_error *error, bool pretty, uint64_t base) {
    emitter<Output> e{out, error, pretty, base};
    const tamsel_value_visitor table = emitter<Output>::table();
    tamsel_status st = visit::walk_raw_value(cursor, allocator, table, &e, trailing_message);
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
    return out.flush();
}

} // namespace

tamsel_status open_json_value_input(const tamsel_json_value *value, visit::input_cursor &cursor,
                                    unique_file &opened, tamsel_error *error) {
    switch (value->kind) {
    case TAMSEL_JSON_NONE:
        cursor.open_memory("", 0);
        return TAMSEL_STATUS_OK;
    case TAMSEL_JSON_BUFFER:
        cursor.open_memory(value->data ? value->data : "", clamp_to_size(value->len));
        return TAMSEL_STATUS_OK;
    case TAMSEL_JSON_READER:
        if (!value->reader) break;
        cursor.open_reader(value->reader, value->reader_user);
        return TAMSEL_STATUS_OK;
    case TAMSEL_JSON_FILE:
        if (!value->file) break;
        if (std::fseek(value->file, 0, SEEK_SET) != 0) {
            int code = errno;
            if (error) error->system_errno = code;
            return fail(error, TAMSEL_STATUS_IO_ERROR, "failed to rewind JSON value FILE*");
        }
        std::clearerr(value->file);
        cursor.open_file(value->file, visit::read_wording::holder);
        return TAMSEL_STATUS_OK;
    case TAMSEL_JSON_FD:
        if (value->fd < 0) break;
        if (::lseek(value->fd, 0, SEEK_SET) < 0) {
            int code = errno;
            if (error) error->system_errno = code;
            return fail(error, TAMSEL_STATUS_IO_ERROR, "failed to rewind JSON value fd");
        }
        cursor.open_fd(value->fd, visit::read_wording::holder);
        return TAMSEL_STATUS_OK;
    case TAMSEL_JSON_PATH: {
        if (!value->path) break;
        opened.reset(std::fopen(value->path, "rb"));
        if (!opened) {
            int code = errno;
            if (error) error->system_errno = code;
            return fail(error, TAMSEL_STATUS_IO_ERROR, "failed to open JSON value path '%s'",
                        value->path);
        }
        cursor.open_file(opened.get(), visit::read_wording::holder);
        return TAMSEL_STATUS_OK;
    }
    default:
        break;
    }
    return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "unsupported JSON value kind");
}

tamsel_status transcode_json_value(const tamsel_json_value *value, byte_output &out,
                                   tamsel_error *error, bool pretty, uint64_t base_level) {
    if (!value || !json_value_is_initialized(value))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    if (value->kind == TAMSEL_JSON_NONE) return out.put("null", 4);
    if (value->kind == TAMSEL_JSON_BUFFER && !pretty && value->data)
        return out.put(value->data, clamp_to_size(value->len)); // validated when stored
    visit::input_cursor cursor(error, 0);
    unique_file opened;
    TAMSEL_TRY(open_json_value_input(value, cursor, opened, error));
    emitter<byte_output> e{out, error, pretty, base_level};
    const tamsel_value_visitor table = emitter<byte_output>::table();
    tamsel_status st = visit::walk_raw_value(cursor, value->allocator, table, &e, trailing_message);
    return st == TAMSEL_STATUS_TRUNCATED ? TAMSEL_STATUS_OK : st;
}

tamsel_status transcode_json_value(const tamsel_json_value *value, tamsel_sink sink,
                                   void *sink_user, tamsel_error *error, bool pretty,
                                   uint64_t base_level) {
    buffered_sink out(sink, sink_user, error);
    TAMSEL_TRY(transcode_json_value(value, out, error, pretty, base_level));
    TAMSEL_TRY(out.flush());
    return out.result();
}

tamsel_status visit_json_value(const tamsel_json_value *value, const tamsel_value_visitor *visitor,
                               void *user, const tamsel_value_limits &limits, tamsel_error *error) {
    if (!value || !json_value_is_initialized(value))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    visit::input_cursor cursor(error, limits.max_total_bytes);
    unique_file opened;
    TAMSEL_TRY(open_json_value_input(value, cursor, opened, error));
    return visit::walk_value(cursor, limits, value->allocator, *visitor, user, trailing_message,
                             false);
}

// Compacts `bytes` into a new owned block (set_buffer).
tamsel_status compact_copy(const void *bytes, size_t len, const tamsel_allocator *allocator,
                           char **data, size_t *out_len, tamsel_error *error) {
    visit::input_cursor cursor(error, 0);
    cursor.open_memory(len ? bytes : "", len);
    block_appender out(allocator, error, "failed to allocate JSON value buffer");
    tamsel_allocator walk_alloc = inherit_allocator(allocator);
    TAMSEL_TRY(transcode_cursor(cursor, walk_alloc, out, error, false, 0));
    *out_len = out.size();
    *data = out.release();
    if (!*data)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate JSON value buffer");
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::visit

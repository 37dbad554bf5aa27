// Value streams: one JSON value pushed in pieces, validated by the push parser under the
// runtime's value limits and re-emitted compactly through the writer as its events complete
// (strings decoded by the parser and escaped again by the library's table). And the one-shot
// splices over bytes, readers, FILE*, descriptors, paths and spooled values.
//
//   reset --open (value placed)--> open --root complete--> complete (whitespace only)
//        --close--> released | any failure --> failed (cleanup latches the writer)
#include "io/internal.hpp"
#include "parse/parser.hpp"
#include "text/internal.hpp"
#include "writer/state.hpp"

#include <cerrno>
#include <cstring>
#include <memory>

namespace tamsel::writer {

struct stream_state {
    tamsel_writer *writer = nullptr;
    state *ws = nullptr;
    tamsel_value_visitor visitor{};
    tamsel_json_value holder{};
    parse::parser *p = nullptr; // its own block, the workspace after it
    container *stack = nullptr;
    size_t depth = 0;
    size_t capacity = 0;
    bool root_seen = false;
    bool text_open = false; // a key or string between begin and end
    bool number_open = false;
    bool complete = false;
    bool failed = false;
    bool closed = false;
    uint64_t limit = 0;
    uint64_t pushed = 0;
};

void detach_value_stream(state &s) {
    if (!s.stream) return;
    s.stream->writer = nullptr;
    s.stream->ws = nullptr;
    s.stream->failed = true;
    s.stream = nullptr;
}

namespace {

stream_state *from(void *user) {
    return static_cast<stream_state *>(user);
}

tamsel_status out(stream_state &v, const void *p, size_t n, tamsel_error *e) {
    return put(*v.ws, v.writer, p, n, e);
}

tamsel_status place(stream_state &v, tamsel_error *e) {
    if (!v.depth) {
        if (v.root_seen)
            return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream already has a root");
        v.root_seen = true;
        return TAMSEL_STATUS_OK;
    }
    container &top = v.stack[v.depth - 1];
    if (top.kind == container_array) {
        if (top.count++) return out(v, ",", 1, e);
        return TAMSEL_STATUS_OK;
    }
    if (!top.key_pending)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "object value is missing a key");
    top.key_pending = false;
    ++top.count;
    return TAMSEL_STATUS_OK;
}

tamsel_status open_container(stream_state &v, uint8_t kind, tamsel_error *e) {
    if (v.depth == v.capacity) {
        const size_t capacity = v.capacity ? v.capacity * 2 : initial_stack;
        size_t bytes;
        void *grown = nullptr;
        if (checked_mul(capacity, sizeof(container), &bytes))
            grown = owned_realloc(&v.ws->allocator, v.stack, bytes);
        if (!grown)
            return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow writer value stream stack");
        v.stack = static_cast<container *>(grown);
        v.capacity = capacity;
    }
    TAMSEL_TRY(place(v, e));
    v.stack[v.depth++] = container{kind, false, 0};
    return out(v, kind == container_object ? "{" : "[", 1, e);
}

tamsel_status close_container(stream_state &v, uint8_t kind, tamsel_error *e) {
    if (!v.depth || v.stack[v.depth - 1].kind != kind)
        return fail(e, TAMSEL_STATUS_INVALID_JSON,
                    kind == container_object ? "invalid writer value object end"
                                             : "invalid writer value array end");
    --v.depth;
    return out(v, kind == container_object ? "}" : "]", 1, e);
}

tamsel_status escaped(stream_state &v, const char *bytes, size_t n, tamsel_error *e) {
    size_t progress = 0;
    return put_escaped(*v.ws, v.writer, reinterpret_cast<const unsigned char *>(bytes), n,
                       &progress, e);
}

tamsel_status on_object_begin(void *u, tamsel_error *e) {
    return open_container(*from(u), container_object, e);
}
tamsel_status on_object_end(void *u, tamsel_error *e) {
    return close_container(*from(u), container_object, e);
}
tamsel_status on_array_begin(void *u, tamsel_error *e) {
    return open_container(*from(u), container_array, e);
}
tamsel_status on_array_end(void *u, tamsel_error *e) {
    return close_container(*from(u), container_array, e);
}
tamsel_status on_key_begin(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    if (!v.depth || v.stack[v.depth - 1].kind != container_object)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "invalid writer value object key");
    v.text_open = true;
    return v.stack[v.depth - 1].count ? out(v, ",\"", 2, e) : out(v, "\"", 1, e);
}
tamsel_status on_chunk(void *u, const char *bytes, size_t n, tamsel_error *e) {
    return escaped(*from(u), bytes, n, e);
}
tamsel_status on_key_end(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    if (!v.text_open || !v.depth)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "invalid writer value object key end");
    v.text_open = false;
    v.stack[v.depth - 1].key_pending = true;
    return out(v, "\":", 2, e);
}
tamsel_status on_string_begin(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    TAMSEL_TRY(place(v, e));
    v.text_open = true;
    return out(v, "\"", 1, e);
}
tamsel_status on_string_end(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    if (!v.text_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "invalid writer value string end");
    v.text_open = false;
    return out(v, "\"", 1, e);
}
tamsel_status on_number_begin(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    TAMSEL_TRY(place(v, e));
    v.number_open = true;
    return TAMSEL_STATUS_OK;
}
tamsel_status on_number_chunk(void *u, const char *bytes, size_t n, tamsel_error *e) {
    return out(*from(u), bytes, n, e);
}
tamsel_status on_number_end(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    if (!v.number_open)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "invalid writer value number end");
    v.number_open = false;
    return TAMSEL_STATUS_OK;
}
tamsel_status on_boolean(void *u, int value, tamsel_error *e) {
    stream_state &v = *from(u);
    TAMSEL_TRY(place(v, e));
    return value ? out(v, "true", 4, e) : out(v, "false", 5, e);
}
tamsel_status on_null(void *u, tamsel_error *e) {
    stream_state &v = *from(u);
    TAMSEL_TRY(place(v, e));
    return out(v, "null", 4, e);
}

void reset_record(tamsel_writer_value_stream *vs) {
    vs->state = nullptr;
    tamsel_error_init(&vs->error);
    vs->open = tamsel_writer_value_stream_open;
    vs->push = tamsel_writer_value_stream_push;
    vs->close = tamsel_writer_value_stream_close;
    vs->cleanup = tamsel_writer_value_stream_cleanup;
}

// Frees the stream; the writer is latched unless the value was closed successfully.
void release(tamsel_writer_value_stream *vs) {
    auto *v = static_cast<stream_state *>(vs->state);
    if (!v) return;
    if (v->p) {
        parse::parser_destroy(*v->p);
        std::destroy_at(v->p);
        owned_free(v->p);
    }
    tamsel_json_value_cleanup(&v->holder);
    owned_free(v->stack);
    if (v->ws) {
        if (!v->closed) latch(*v->ws);
        v->ws->value_stream_open = false;
        v->ws->stream = nullptr;
    }
    std::destroy_at(v);
    owned_free(v);
    reset_record(vs);
}

// Marks the stream failed and the writer latched: part of the value may be out.
tamsel_status broken(stream_state &v, tamsel_status st) {
    v.failed = true;
    if (v.ws) latch(*v.ws);
    return st;
}

// The parser's failure (its message and position) into the caller's record.
tamsel_status parser_failed(stream_state &v, tamsel_status st, tamsel_error *e) {
    if (v.p->error.code) *e = v.p->error;
    return broken(v, st);
}

// Flushes what the push wrote and turns an ordinary sink's truncation into a failure: a cut
// value cannot be completed.
tamsel_status settle(stream_state &v, tamsel_error *e) {
    TAMSEL_TRY(flush(*v.ws, v.writer, e));
    if (!v.ws->truncated_now) return TAMSEL_STATUS_OK;
    v.ws->truncated_now = false;
    v.ws->truncated_ever = true;
    return broken(v, fail(e, TAMSEL_STATUS_OVERFLOW, "writer value stream sink truncated output"));
}

bool only_whitespace(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != '\t' && p[i] != '\n' && p[i] != '\r') return false;
    return true;
}

} // namespace

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" void tamsel_writer_value_stream_init(tamsel_writer_value_stream *stream) {
    if (stream) reset_record(stream);
}

extern "C" tamsel_status tamsel_writer_value_stream_open(tamsel_writer_value_stream *stream,
                                                         tamsel_writer *writer,
                                                         tamsel_error *error) {
    tamsel_error *e = error ? error : (stream ? &stream->error : nullptr);
    state *s = state_of(writer);
    if (!stream || !s)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer value stream and writer are required");
    if (stream->state)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is already open");
    if (s->kind != sink_kind::ordinary)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer value streams require sink-mode writers");
    if (s->value_stream_open)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is already open");
    if (s->ev.kind != event_kind::none)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer event is still active");
    if (s->failed) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer is in a failed state");
    reset_record(stream);
    void *memory = owned_alloc(&s->allocator, sizeof(stream_state));
    if (!memory)
        return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate writer value stream");
    auto *v = std::construct_at(static_cast<stream_state *>(memory));
    stream->state = v;
    v->writer = writer;
    v->ws = s;
    v->closed = true; // nothing placed yet: releasing must not latch the writer
    void *pm = owned_alloc(&s->allocator, sizeof(parse::parser) + 8 + parse::workspace_bytes);
    if (!pm) {
        release(stream);
        return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate writer value stream parser");
    }
    v->p = std::construct_at(static_cast<parse::parser *>(pm));
    tamsel_value_visitor &t = v->visitor;
    t.object_begin = on_object_begin;
    t.object_end = on_object_end;
    t.key_begin = on_key_begin;
    t.key_chunk = on_chunk;
    t.key_end = on_key_end;
    t.array_begin = on_array_begin;
    t.array_end = on_array_end;
    t.string_begin = on_string_begin;
    t.string_chunk = on_chunk;
    t.string_end = on_string_end;
    t.number_begin = on_number_begin;
    t.number_chunk = on_number_chunk;
    t.number_end = on_number_end;
    t.boolean = on_boolean;
    t.null = on_null;
    const tamsel_value_limits &limits = s->settings.value_limits;
    tamsel_json_value_init_with_allocator(&v->holder, &s->allocator);
    v->holder.limits = limits;
    v->holder.limits_follow_runtime = 0;
    tamsel_status st = tamsel_json_value_set_parse_visitor(&v->holder, &v->visitor, v, e);
    tamsel_parse_options options{};
    options.init_destination = 1;
    options.reject_duplicates = 1;
    options.max_depth = limits.max_depth;
    options.max_string_bytes = 131072;
    options.max_parse_bytes = 1048576;
    options.allocator = &s->allocator;
    parse::init_args a;
    a.options = &options;
    a.settings = &s->settings;
    a.any_root = true;
    a.workspace = static_cast<unsigned char *>(pm) + sizeof(parse::parser);
    if (st == TAMSEL_STATUS_OK) st = parse::parser_init(*v->p, a);
    if (st != TAMSEL_STATUS_OK) {
        if (v->p->error.code) *e = v->p->error;
        release(stream);
        return st;
    }
    v->p->root_holder = &v->holder;
    v->limit = limits.max_total_bytes;
    st = before_value(writer, e);
    if (st != TAMSEL_STATUS_OK) {
        release(stream);
        return st;
    }
    v->closed = false;
    s->value_stream_open = true;
    s->stream = v;
    clear_error(e);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_writer_value_stream_push(tamsel_writer_value_stream *stream,
                                                         const void *bytes, size_t len,
                                                         tamsel_error *error) {
    tamsel_error *e = error ? error : (stream ? &stream->error : nullptr);
    auto *v = stream ? static_cast<stream_state *>(stream->state) : nullptr;
    if (!v || (!bytes && len))
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "open writer value stream and data are required");
    if (v->failed || v->closed || !v->ws)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is not writable");
    if (!len) return TAMSEL_STATUS_OK;
    if (v->limit && (len > v->limit || v->pushed > v->limit - len))
        return broken(*v, fail(e, TAMSEL_STATUS_OVERFLOW,
                               "writer value stream exceeds maximum total byte limit"));
    v->pushed += len;
    const auto *p = static_cast<const unsigned char *>(bytes);
    size_t used = 0;
    if (!v->complete) {
        tamsel_status st = parse::parser_feed(*v->p, p, len, &used, true);
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED)
            return parser_failed(*v, st, e);
        TAMSEL_TRY(settle(*v, e));
        if (st == TAMSEL_STATUS_TRUNCATED)
            return broken(
                *v, fail(e, TAMSEL_STATUS_OVERFLOW, "writer value stream sink truncated output"));
        v->complete = parse::parser_complete(*v->p);
        if (!v->complete) return TAMSEL_STATUS_OK;
    }
    if (!only_whitespace(p + used, len - used))
        return broken(*v, fail(e, TAMSEL_STATUS_INVALID_JSON,
                               "writer value stream contains trailing non-whitespace"));
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_writer_value_stream_close(tamsel_writer_value_stream *stream,
                                                          tamsel_error *error) {
    tamsel_error *e = error ? error : (stream ? &stream->error : nullptr);
    auto *v = stream ? static_cast<stream_state *>(stream->state) : nullptr;
    if (!v) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "open writer value stream is required");
    if (v->failed || v->closed || !v->ws)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is not closable");
    if (!v->complete) {
        const tamsel_status st = parse::parser_finish(*v->p);
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED)
            return parser_failed(*v, st, e);
        TAMSEL_TRY(settle(*v, e));
    }
    if (!v->root_seen || v->depth || v->text_open || v->number_open)
        return broken(*v, fail(e, TAMSEL_STATUS_INVALID_JSON,
                               "writer value stream did not finish one complete value"));
    v->closed = true;
    release(stream);
    return TAMSEL_STATUS_OK;
}

extern "C" void tamsel_writer_value_stream_cleanup(tamsel_writer_value_stream *stream) {
    if (!stream || !stream->state) return;
    release(stream);
}

// ---- one-shot splices ----------------------------------------------------------------------

namespace {

constexpr size_t splice_block = 4096;

// Opens a value stream, feeds it everything `reader` gives, and closes it. Reader failures
// follow the shared reader rules (a reader that makes no progress fails, status 9).
tamsel_status splice_reader(tamsel_writer *w, tamsel_reader reader, void *user, tamsel_error *e) {
    tamsel_writer_value_stream vs;
    tamsel_writer_value_stream_init(&vs);
    TAMSEL_TRY(tamsel_writer_value_stream_open(&vs, w, e));
    unsigned char buffer[splice_block];
    for (;;) {
        io::pull_result got;
        tamsel_status st = io::pull_reader(reader, user, buffer, sizeof buffer,
                                           "failed to read JSON value source", &got, e);
        if (st == TAMSEL_STATUS_OK && got.bytes)
            st = tamsel_writer_value_stream_push(&vs, buffer, got.bytes, e);
        if (st == TAMSEL_STATUS_OK && got.would_block && !got.eof)
            st = fail(e, TAMSEL_STATUS_CALLBACK_FAILED, "JSON value reader would block");
        if (st != TAMSEL_STATUS_OK) {
            tamsel_writer_value_stream_cleanup(&vs); // latches: part of the value may be out
            return st;
        }
        if (got.eof) break;
    }
    const tamsel_status st = tamsel_writer_value_stream_close(&vs, e);
    tamsel_writer_value_stream_cleanup(&vs);
    return st;
}

tamsel_read_result fd_read(void *user, void *buffer, size_t capacity) {
    return io::read_fd_once(*static_cast<int *>(user), buffer, capacity, true);
}

tamsel_status require(tamsel_writer *w, bool present, const char *message, tamsel_error *error) {
    tamsel_error *e = error ? error : (w ? &w->error : nullptr);
    if (!present) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
    return TAMSEL_STATUS_OK;
}

} // namespace

namespace tamsel::writer {

tamsel_read_result spooled_read(void *user, void *buffer, size_t capacity) {
    auto *c = static_cast<spooled_cursor *>(user);
    if (!io::spooled_is_initialised(c->s)) {
        tamsel_read_result r = tamsel_default_read_result();
        r.eof = 1;
        return r;
    }
    return io::spooled_read_at(*c->s, &c->pos, buffer, capacity);
}

tamsel_status open_spooled_reader(const tamsel_spooled *s, tamsel_error *e) {
    if (io::spooled_is_initialised(s) && s->total_len > 0) return io::spooled_rewind_file(*s, e);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::writer

extern "C" tamsel_status tamsel_writer_json_value_buffer(tamsel_writer *writer, const void *bytes,
                                                         size_t len, tamsel_error *error) {
    TAMSEL_TRY(require(writer, bytes || !len, "JSON value buffer is required", error));
    tamsel_error *e = error ? error : (writer ? &writer->error : nullptr);
    tamsel_writer_value_stream vs;
    tamsel_writer_value_stream_init(&vs);
    TAMSEL_TRY(tamsel_writer_value_stream_open(&vs, writer, e));
    tamsel_status st = tamsel_writer_value_stream_push(&vs, bytes, len, e);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_value_stream_close(&vs, e);
    tamsel_writer_value_stream_cleanup(&vs);
    return st;
}

extern "C" tamsel_status tamsel_writer_json_value_reader(tamsel_writer *writer,
                                                         tamsel_reader reader, void *reader_user,
                                                         tamsel_error *error) {
    TAMSEL_TRY(require(writer, reader != nullptr, "JSON value reader is required", error));
    return splice_reader(writer, reader, reader_user,
                         error ? error : (writer ? &writer->error : nullptr));
}

extern "C" tamsel_status tamsel_writer_json_value_file(tamsel_writer *writer, FILE *file,
                                                       tamsel_error *error) {
    TAMSEL_TRY(require(writer, file != nullptr, "JSON value FILE* is required", error));
    clearerr(file);
    return splice_reader(writer, tamsel__file_reader, file,
                         error ? error : (writer ? &writer->error : nullptr));
}

extern "C" tamsel_status tamsel_writer_json_value_fd(tamsel_writer *writer, int fd,
                                                     tamsel_error *error) {
    TAMSEL_TRY(require(writer, fd >= 0, "JSON value file descriptor is required", error));
    return splice_reader(writer, fd_read, &fd, error ? error : (writer ? &writer->error : nullptr));
}

extern "C" tamsel_status tamsel_writer_json_value_path(tamsel_writer *writer, const char *path,
                                                       tamsel_error *error) {
    TAMSEL_TRY(require(writer, path && *path, "JSON value path is required", error));
    tamsel_error *e = error ? error : (writer ? &writer->error : nullptr);
    // Everything that would refuse the value is checked before the file is opened.
    state *s = state_of(writer);
    if (!s) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer is required");
    if (s->kind != sink_kind::ordinary)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer value streams require a sink-mode writer");
    if (s->value_stream_open)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is already open");
    if (s->failed) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer is in a failed state");
    if (s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is still open");
    if (s->ev.kind != event_kind::none)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer event is still active");
    if (s->finished) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer is already finished");
    if (s->depth && s->stack[s->depth - 1].kind == container_object &&
        !s->stack[s->depth - 1].key_pending)
        return fail(e, TAMSEL_STATUS_INVALID_JSON,
                    "object values must be preceded by a writer key");
    if (!s->depth && s->root_started)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer already has a root value");
    unique_file file(std::fopen(path, "rb"));
    if (!file) {
        const int code = errno;
        fail(e, TAMSEL_STATUS_IO_ERROR, "failed to open JSON value path");
        e->system_errno = code;
        return TAMSEL_STATUS_IO_ERROR;
    }
    const tamsel_status st = splice_reader(writer, tamsel__file_reader, file.get(), e);
    if (!file.close() && st == TAMSEL_STATUS_OK) {
        const int code = errno;
        latch(*s);
        fail(e, TAMSEL_STATUS_IO_ERROR, "failed to close JSON value path");
        e->system_errno = code;
        return TAMSEL_STATUS_IO_ERROR;
    }
    return st;
}

extern "C" tamsel_status tamsel_writer_json_value_spooled(tamsel_writer *writer,
                                                          const tamsel_spooled *spooled,
                                                          tamsel_error *error) {
    TAMSEL_TRY(require(writer, spooled != nullptr, "spooled JSON value is required", error));
    tamsel_error *e = error ? error : (writer ? &writer->error : nullptr);
    TAMSEL_TRY(open_spooled_reader(spooled, e));
    spooled_cursor c{spooled};
    return splice_reader(writer, spooled_read, &c, e);
}

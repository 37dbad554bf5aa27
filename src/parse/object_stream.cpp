// Object streams: a sequence of top-level objects from one input, delivered one per call into
// a caller record. One allocation at open holds everything: the source, a settings snapshot
// (so the stream outlives its runtime), the public part, the parser and, after them, the read
// window: 1024 bytes for a reader, 64 KiB for a FILE* or descriptor. The library's buffer
// reader is read in place (io::in_place_reads).
#include "io/internal.hpp"
#include "parse/parser.hpp"

#include <cerrno>
#include <new>

namespace tamsel::parse {

namespace {

// Bytes a reader callback is asked for.
constexpr size_t read_size = 1024;

enum class source_kind : uint8_t { reader = 1, file = 2, fd = 3 };

// Where a stream reads from.
struct source_spec {
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    FILE *file = nullptr;
    int fd = -1;
    bool owns_file = false; // opened from a path: the stream closes it
    source_kind source = source_kind::reader;
};

struct stream_block {
    // Input.
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    FILE *file = nullptr;
    int fd = -1;
    bool owns_file = false;
    source_kind source = source_kind::reader;
    // State.
    bool active = false;
    bool at_eof = false;
    running_call call;    // next and the callbacks it makes (reader, field handlers, visitors)
    bool started = false; // the current object has begun (a '{' was fed)
    bool parser_set_up = false; // set up for an object once (later objects restart it)
    // The window: `window`, or in place a chunk of the buffer reader's bytes, whose rest up
    // to `avail` the parser may read on into.
    const unsigned char *win = nullptr;
    size_t pos = 0, end = 0, avail = 0;
    io::in_place_reads in_place;
    unsigned char *window = nullptr; // window_cap bytes after the block
    size_t window_cap = 0;
    size_t block_bytes = 0;
    void *dst = nullptr; // the destination being filled
    void *last_initialised = nullptr;
    const tamsel_map *map = nullptr;
    map_identity analysed{}; // the map as `analysis` and the cache's plans saw it
    map_analysis analysis;
    item_cache cache; // the map's plans and the record's spare strings
    tamsel_runtime_settings settings{};
    tamsel_allocator allocator{};
    tamsel_stream pub{};
    parser p;
    alignas(8) unsigned char workspace[workspace_bytes];
};

stream_block *block_of(tamsel_stream *s) {
    return reinterpret_cast<stream_block *>(reinterpret_cast<unsigned char *>(s) -
                                            offsetof(stream_block, pub));
}

// Sets the parser up for the next object and prepares the destination.
tamsel_status begin_object(stream_block &b, void *dst) {
    init_args args;
    args.map = b.map;
    args.dst = dst;
    args.options = &b.settings.parse_options;
    args.settings = &b.settings;
    args.analysis = &b.analysis;
    args.workspace = b.workspace;
    args.cache = &b.cache;
    parser_destroy(b.p);
    // The parser set up for the first object is restarted for the others: the options,
    // settings and workspace stay the stream's.
    tamsel_status st = parser_start(b.p, args, b.parser_set_up);
    if (st != TAMSEL_STATUS_OK) return st;
    if (b.p.options.init_destination) {
        if (dst == b.last_initialised) {
            // The previous object's values go before this one fills the record.
            reset_map_parse(b.p, *b.map, dst);
            if (b.p.failed) return b.p.error.code;
        } else {
            TAMSEL_TRY(init_map_parse(b.p, *b.map, dst));
            b.last_initialised = dst;
        }
    }
    return TAMSEL_STATUS_OK;
}

enum class refill_result { data, would_block, end, error };

refill_result refill(stream_block &b) {
    tamsel_read_result r{};
    switch (b.source) {
    case source_kind::reader: {
        // The eof of a last chunk taken in place is not kept: the next refill asks the reader,
        // which says it again, as when the chunk was read.
        bool last = false;
        if (b.in_place.refill(b.win, b.pos, b.end, b.avail, &last)) return refill_result::data;
        io::pull_result pr;
        if (io::pull_reader(b.reader, b.reader_user, b.window, read_size, "stream read failed", &pr,
                            &b.pub.error) != TAMSEL_STATUS_OK)
            return refill_result::error;
        r.bytes = pr.bytes;
        r.eof = pr.eof;
        r.would_block = pr.would_block;
        break;
    }
    case source_kind::file:
        r = io::read_file_once(b.file, b.window, b.window_cap);
        break;
    case source_kind::fd:
        r = io::read_fd_once(b.fd, b.window, b.window_cap, true);
        break;
    }
    if (r.error_code) {
        tamsel_error_init(&b.pub.error);
        b.pub.error.system_errno = r.error_code;
        tamsel::fail(&b.pub.error, TAMSEL_STATUS_IO_ERROR, "stream read failed");
        return refill_result::error;
    }
    b.win = b.window;
    b.pos = 0;
    b.end = b.avail = r.bytes;
    if (r.bytes) return refill_result::data;
    if (r.would_block) return refill_result::would_block;
    if (r.eof) return refill_result::end;
    return refill_result::data; // nothing now, not the end: ask again
}

// Every return of tamsel_stream_next after its argument checks: bytes held from the buffer
// reader move into the window.
tamsel_stream_result finish_with(stream_block &b, tamsel_stream_result result,
                                 tamsel_error *error) {
    b.in_place.leave(b.window, b.win, b.pos, b.end, b.avail);
    if (error) *error = b.pub.error;
    return result;
}

tamsel_stream_result object_failed(stream_block &b, tamsel_error *error) {
    unwind_mapped_streams(b.p);
    b.cache.spares.release();
    b.pub.error = b.p.error;
    b.active = false;
    b.started = false;
    return finish_with(b, TAMSEL_STREAM_ERROR, error);
}

tamsel_stream *open_stream(const tamsel_runtime *runtime, const tamsel_map *map,
                           tamsel_error *error, const source_spec &init) {
    runtime_borrow borrow;
    if (borrow.acquire(runtime, error) != TAMSEL_STATUS_OK) return nullptr;
    if (!map) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "map is required");
        return nullptr;
    }
    tamsel_allocator alloc;
    if (require_allocator(borrow.settings()->parse_options.allocator, &alloc, error) !=
        TAMSEL_STATUS_OK)
        return nullptr;
    // A FILE* or descriptor is read 64 KiB at a time, a reader callback 1024 bytes.
    const size_t window = init.source == source_kind::reader ? read_size : io::stream_read_size;
    const size_t bytes = sizeof(stream_block) + window;
    void *raw = raw_realloc(alloc, nullptr, 0, bytes);
    if (!raw) {
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate stream");
        return nullptr;
    }
    auto *b = new (raw) stream_block();
    b->block_bytes = bytes;
    b->window = static_cast<unsigned char *>(raw) + sizeof(stream_block);
    b->window_cap = window;
    b->win = b->window;
    if (init.source == source_kind::reader)
        b->in_place.bind(init.reader, init.reader_user, read_size);
    b->reader = init.reader;
    b->reader_user = init.reader_user;
    b->file = init.file;
    b->fd = init.fd;
    b->owns_file = init.owns_file;
    b->source = init.source;
    b->map = map;
    b->analysed = map_identity::of(map);
    b->analysis = analyze_map(map);
    b->allocator = alloc;
    tamsel_status st = settings_snapshot(&b->settings, borrow.settings(), error);
    if (st != TAMSEL_STATUS_OK) {
        b->~stream_block();
        raw_free(alloc, raw, bytes);
        return nullptr;
    }
    b->pub.next = tamsel_stream_next;
    b->pub.close = tamsel_stream_close;
    init_args args;
    args.workspace = b->workspace;
    args.any_root = true;
    (void)parser_init(b->p, args);
    clear_error(error);
    return &b->pub;
}

} // namespace

} // namespace tamsel::parse

using namespace tamsel;
using namespace tamsel::parse;

extern "C" tamsel_stream *tamsel_stream_open_reader(tamsel_runtime *runtime, const tamsel_map *map,
                                                    tamsel_reader reader, void *reader_user,
                                                    tamsel_error *error) {
    if (!reader) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "reader callback is required");
        return nullptr;
    }
    source_spec init;
    init.reader = reader;
    init.reader_user = reader_user;
    init.source = source_kind::reader;
    return open_stream(runtime, map, error, init);
}

extern "C" tamsel_stream *tamsel_stream_open_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                                   FILE *file, tamsel_error *error) {
    if (!file) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "file pointer is required");
        return nullptr;
    }
    source_spec init;
    init.file = file;
    init.source = source_kind::file;
    return open_stream(runtime, map, error, init);
}

extern "C" tamsel_stream *tamsel_stream_open_path(tamsel_runtime *runtime, const tamsel_map *map,
                                                  const char *path, tamsel_error *error) {
    if (!path) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "path is required");
        return nullptr;
    }
    unique_file file(std::fopen(path, "rb"));
    if (!file) {
        open_failed(error, path, 1);
        return nullptr;
    }
    source_spec init;
    init.file = file.get();
    init.owns_file = true;
    init.source = source_kind::file;
    tamsel_stream *s = open_stream(runtime, map, error, init);
    if (s) (void)file.release(); // the stream closes it
    return s;
}

extern "C" tamsel_stream *tamsel_stream_open_fd(tamsel_runtime *runtime, const tamsel_map *map,
                                                int fd, tamsel_error *error) {
    if (fd < 0) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "fd must be non-negative");
        return nullptr;
    }
    source_spec init;
    init.fd = fd;
    init.source = source_kind::fd;
    return open_stream(runtime, map, error, init);
}

namespace {

tamsel_stream_result next_object(stream_block &b, void *dst, tamsel_error *error) {
    // Bytes held from the buffer reader are read in place again while they stay put.
    b.in_place.resume(b.win, b.pos, b.end, b.avail);
    // A map changed in place since the last object is analysed and planned again.
    if (!b.active && !(map_identity::of(b.map) == b.analysed)) {
        b.analysed = map_identity::of(b.map);
        b.analysis = analyze_map(b.map);
        b.cache.plans.clear();
    }
    if (!b.analysis.valid) {
        fail(&b.pub.error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
        return finish_with(b, TAMSEL_STREAM_ERROR, error);
    }
    if (!b.active) {
        tamsel_status st = begin_object(b, dst);
        if (st != TAMSEL_STATUS_OK) return object_failed(b, error);
        b.active = true;
        b.started = false;
        b.dst = dst;
    } else if (dst != b.dst) {
        tamsel_error_init(&b.pub.error);
        fail(&b.pub.error, TAMSEL_STATUS_INVALID_ARGUMENT,
             "resume the stream with the same destination");
        return finish_with(b, TAMSEL_STREAM_ERROR, error);
    }
    for (;;) {
        if (b.started && parser_complete(b.p)) {
            if (b.p.error.code || b.p.error.truncated)
                b.pub.error = b.p.error;
            else
                clear_kept_error(b.pub.error);
            b.active = false;
            b.started = false;
            b.cache.spares.release(); // what the object did not take back goes
            return finish_with(b, TAMSEL_STREAM_ITEM, error);
        }
        if (b.pos >= b.end) {
            switch (refill(b)) {
            case refill_result::data:
                b.at_eof = false;
                continue;
            case refill_result::would_block:
                tamsel_error_init(&b.pub.error);
                return finish_with(b, TAMSEL_STREAM_WOULD_BLOCK, error);
            case refill_result::error:
                b.active = false;
                b.started = false;
                unwind_mapped_streams(b.p);
                b.cache.spares.release();
                return finish_with(b, TAMSEL_STREAM_ERROR, error);
            case refill_result::end:
                b.at_eof = true;
                if (b.started) {
                    (void)parser_finish(b.p);
                    return object_failed(b, error);
                }
                b.active = false;
                tamsel_error_init(&b.pub.error);
                return finish_with(b, TAMSEL_STREAM_END, error);
            }
        }
        if (!b.started) {
            while (b.pos < b.end) {
                unsigned char c = b.win[b.pos];
                if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
                ++b.pos;
            }
            if (b.pos >= b.end) continue;
            if (b.win[b.pos] != '{') {
                tamsel_error_init(&b.pub.error);
                fail(&b.pub.error, TAMSEL_STATUS_INVALID_JSON, "expected top-level object");
                b.active = false;
                return finish_with(b, TAMSEL_STREAM_ERROR, error);
            }
            b.started = true;
        }
        // In place the parser reads on past the chunk; the chunks it took are handed out.
        size_t used = 0;
        tamsel_status st = parser_feed(b.p, b.win + b.pos, b.avail - b.pos, &used, true);
        b.pos += used;
        if (b.pos > b.end) {
            bool last = false;
            b.in_place.cover(b.pos, b.end, &last);
        }
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return object_failed(b, error);
    }
}

} // namespace

extern "C" tamsel_stream_result tamsel_stream_next(tamsel_stream *stream, void *dst,
                                                   tamsel_error *error) {
    if (!stream || !dst) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "stream and destination are required");
        return TAMSEL_STREAM_ERROR;
    }
    stream_block &b = *block_of(stream);
    if (b.call.refuses(error, "stream called from its own callback")) return TAMSEL_STREAM_ERROR;
    return b.call.run([&] { return next_object(b, dst, error); },
                      [stream] { tamsel_stream_close(stream); });
}

extern "C" const tamsel_error *tamsel_stream_error(const tamsel_stream *stream) {
    return stream ? &stream->error : nullptr;
}

extern "C" void tamsel_stream_close(tamsel_stream *stream) {
    if (!stream) return;
    stream_block *b = block_of(stream);
    if (!b->call.close_now()) return; // from one of its callbacks: next frees it
    unwind_mapped_streams(b->p);
    parser_destroy(b->p);
    b->cache.spares.release();
    if (b->owns_file && b->file) std::fclose(b->file);
    tamsel__runtime_free_owned_config(&b->settings);
    const tamsel_allocator alloc = b->allocator;
    const size_t bytes = b->block_bytes;
    b->~stream_block();
    raw_free(alloc, b, bytes);
}

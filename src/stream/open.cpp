// Array stream life cycle: the openers (one core under five input doors, each with a
// one-member path or a selector), the error accessor and close.
#include "stream/state.hpp"
#include "visit/json_value.hpp"

#include <unistd.h>

#include <cstring>
#include <new>

namespace tamsel::stream {

namespace {

void release(block *b) {
    drop_item(*b);
    b->cache.spares.release();
    b->tracker.release();
    b->path_keys.release();
    io::byte_buffer_free(b->key, b->allocator);
    io::byte_buffer_free(b->text, b->allocator);
    io::byte_buffer_free(b->string_item, b->allocator);
    tamsel_json_value_cleanup(&b->string_holder);
    owned_free(b->path);
    owned_free(b->levels);
    tamsel__runtime_free_owned_config(&b->settings);
    const tamsel_allocator alloc = b->allocator;
    const size_t bytes = b->block_bytes;
    b->~block();
    raw_free(alloc, b, bytes);
}

// The stream's own window: a reader callback is asked for window_size bytes, a FILE* or a
// descriptor fills io::stream_read_size at a time; pushes and ranges are read where they lie.
size_t window_for(input_kind kind) {
    switch (kind) {
    case input_kind::reader:
        return window_size;
    case input_kind::file:
    case input_kind::fd:
        return io::stream_read_size;
    case input_kind::push:
    case input_kind::memory:
        break;
    }
    return 0;
}

// Points the options' allocator and scratch at the stream's own copies.
void adopt_options(block &b, const tamsel_runtime_settings &source,
                   const tamsel_parse_options &given) {
    b.options = given;
    b.options_allocator = inherit_allocator(given.allocator);
    b.options.allocator = &b.options_allocator;
    const tamsel_parse_options &own = b.settings.parse_options;
    if (given.fixed_string_scratch &&
        given.fixed_string_scratch == source.parse_options.fixed_string_scratch) {
        b.options.fixed_string_scratch = own.fixed_string_scratch;
        b.options.fixed_string_scratch_size = own.fixed_string_scratch_size;
    }
}

// One level per segment of the one-member path or of the selector.
tamsel_status build_levels(block &b, const open_args &args, const char *path, tamsel_error *error) {
    if (path) {
        const size_t len = std::strlen(path);
        b.path = owned_strndup(&b.allocator, path, len);
        if (!b.path)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate string");
    } else {
        TAMSEL_TRY(b.selector.parse(args.selector, b.allocator, "array stream selector", error));
    }
    const size_t count = path ? 1 : b.selector.count();
    if (count == 0) return TAMSEL_STATUS_OK;
    size_t bytes;
    if (!checked_mul(count, sizeof(block::level), &bytes) ||
        !(b.levels = static_cast<block::level *>(owned_alloc(&b.allocator, bytes))))
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate array stream selector");
    b.level_count = count;
    for (size_t i = 0; i < count; ++i) {
        block::level &l = *new (&b.levels[i]) block::level();
        l.name = path ? b.path : b.selector.segments()[i];
        l.len = std::strlen(l.name);
        l.names_index = text::segment_index(l.name, l.len, &l.index);
    }
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_array_stream *open(const open_args &args, tamsel_error *error) {
    const tamsel_runtime_settings &source = args.settings ? *args.settings : default_settings();
    const tamsel_parse_options &given = args.options ? *args.options : source.parse_options;
    tamsel_allocator alloc;
    if (require_allocator(given.allocator, &alloc, error) != TAMSEL_STATUS_OK) return nullptr;
    const char *path = args.path && args.path[0] ? args.path : nullptr;
    if (path && std::strchr(path, '.')) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
             "array stream v1 supports only one direct path segment");
        return nullptr;
    }
    const size_t window = window_for(args.input.kind);
    void *raw = raw_realloc(alloc, nullptr, 0, sizeof(block) + window);
    if (!raw) {
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate array stream");
        return nullptr;
    }
    auto *b = new (raw) block();
    b->allocator = alloc;
    b->block_bytes = sizeof(block) + window;
    b->window = static_cast<unsigned char *>(raw) + sizeof(block);
    b->window_cap = window;
    tamsel_json_value_init_with_allocator(&b->string_holder, &alloc);
    if (settings_snapshot(&b->settings, &source, error) != TAMSEL_STATUS_OK) {
        release(b);
        return nullptr;
    }
    if (build_levels(*b, args, path, error) != TAMSEL_STATUS_OK) {
        release(b);
        return nullptr;
    }
    adopt_options(*b, source, given);
    b->has_runtime = args.settings != nullptr;
    const input_spec &in = args.input;
    b->kind = in.kind;
    b->reader = in.reader;
    b->reader_user = in.reader_user;
    b->file = in.file;
    b->fd = in.fd;
    if (in.kind == input_kind::memory) {
        b->win = static_cast<const unsigned char *>(in.bytes);
        b->end = b->avail = in.bytes ? in.length : 0;
    } else {
        b->win = b->window;
    }
    if (in.kind == input_kind::reader) b->in_place.bind(in.reader, in.reader_user, window_size);
    // Bounded by the budget when one is set: the keys of on-path objects are not an item. A
    // value item's compact text is bounded by the value limit on total bytes.
    if (b->options.max_parse_bytes) b->key_limit = clamp_to_size(b->options.max_parse_bytes);
    if (b->settings.value_limits.max_total_bytes)
        b->text_limit = clamp_to_size(b->settings.value_limits.max_total_bytes);
    b->path_keys.bind(alloc);
    b->path_keys.set_budget({b->options.max_parse_bytes, &b->path_keys_bytes});
    b->tracker.bind(alloc);
    install_string_visitor(*b);
    b->pub.next = tamsel_array_stream_next;
    b->pub.next_value = tamsel_array_stream_next_value;
    b->pub.push = tamsel_array_stream_push;
    b->pub.finish = tamsel_array_stream_finish;
    b->pub.push_string = tamsel_array_stream_push_string;
    b->pub.finish_string = tamsel_array_stream_finish_string;
    b->pub.push_string_items = tamsel_array_stream_push_string_items;
    b->pub.finish_string_items = tamsel_array_stream_finish_string_items;
    b->pub.close = tamsel_array_stream_close;
    // Taken over only now: a failed open leaves them to the caller.
    b->owns_file = in.owns_file;
    b->owns_fd = in.owns_fd;
    clear_error(error);
    return &b->pub;
}

namespace {

// `path` is a one-member path, or with `is_selector` a selector.
tamsel_array_stream *open_door(const tamsel_runtime *runtime, const char *path, bool is_selector,
                               const input_spec &in, tamsel_error *error) {
    runtime_borrow borrow;
    if (borrow.acquire(runtime, error) != TAMSEL_STATUS_OK) return nullptr;
    open_args args;
    args.settings = borrow.settings();
    (is_selector ? args.selector : args.path) = path;
    args.input = in;
    return open(args, error);
}

// The input doors, shared by the one-member and selector openers.
tamsel_array_stream *open_reader(tamsel_runtime *runtime, const char *path, bool is_selector,
                                 tamsel_reader reader, void *reader_user, tamsel_error *error) {
    if (!reader) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "reader callback is required");
        return nullptr;
    }
    input_spec in;
    in.kind = input_kind::reader;
    in.reader = reader;
    in.reader_user = reader_user;
    return open_door(runtime, path, is_selector, in, error);
}

tamsel_array_stream *open_filep(tamsel_runtime *runtime, const char *path, bool is_selector,
                                FILE *file, tamsel_error *error) {
    if (!file) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "file pointer is required");
        return nullptr;
    }
    input_spec in;
    in.kind = input_kind::file;
    in.file = file;
    return open_door(runtime, path, is_selector, in, error);
}

tamsel_array_stream *open_path(tamsel_runtime *runtime, const char *path, bool is_selector,
                               const char *file_path, tamsel_error *error) {
    if (!file_path) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "path is required");
        return nullptr;
    }
    unique_file file(std::fopen(file_path, "rb"));
    if (!file) {
        open_failed(error, file_path, 1);
        return nullptr;
    }
    input_spec in;
    in.kind = input_kind::file;
    in.file = file.get();
    in.owns_file = true;
    tamsel_array_stream *s = open_door(runtime, path, is_selector, in, error);
    if (s) (void)file.release(); // the stream closes it
    return s;
}

tamsel_array_stream *open_fd(tamsel_runtime *runtime, const char *path, bool is_selector, int fd,
                             tamsel_error *error) {
    if (fd < 0) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "fd must be non-negative");
        return nullptr;
    }
    input_spec in;
    in.kind = input_kind::fd;
    in.fd = fd;
    return open_door(runtime, path, is_selector, in, error);
}

} // namespace

} // namespace tamsel::stream

using namespace tamsel;
using namespace tamsel::stream;

extern "C" tamsel_array_stream *
tamsel_array_stream_open_reader(tamsel_runtime *runtime, const char *path, tamsel_reader reader,
                                void *reader_user, tamsel_error *error) {
    return open_reader(runtime, path, false, reader, reader_user, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_filep(tamsel_runtime *runtime,
                                                               const char *path, FILE *file,
                                                               tamsel_error *error) {
    return open_filep(runtime, path, false, file, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_path(tamsel_runtime *runtime,
                                                              const char *path,
                                                              const char *file_path,
                                                              tamsel_error *error) {
    return open_path(runtime, path, false, file_path, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_fd(tamsel_runtime *runtime,
                                                            const char *path, int fd,
                                                            tamsel_error *error) {
    return open_fd(runtime, path, false, fd, error);
}

extern "C" tamsel_array_stream *
tamsel_array_stream_open_push(tamsel_runtime *runtime, const char *path, tamsel_error *error) {
    return open_door(runtime, path, false, input_spec{}, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_selector_reader(tamsel_runtime *runtime,
                                                                         const char *selector,
                                                                         tamsel_reader reader,
                                                                         void *reader_user,
                                                                         tamsel_error *error) {
    return open_reader(runtime, selector, true, reader, reader_user, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_selector_filep(tamsel_runtime *runtime,
                                                                        const char *selector,
                                                                        FILE *file,
                                                                        tamsel_error *error) {
    return open_filep(runtime, selector, true, file, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_selector_path(tamsel_runtime *runtime,
                                                                       const char *selector,
                                                                       const char *file_path,
                                                                       tamsel_error *error) {
    return open_path(runtime, selector, true, file_path, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_selector_fd(tamsel_runtime *runtime,
                                                                     const char *selector, int fd,
                                                                     tamsel_error *error) {
    return open_fd(runtime, selector, true, fd, error);
}

extern "C" tamsel_array_stream *tamsel_array_stream_open_selector_push(tamsel_runtime *runtime,
                                                                       const char *selector,
                                                                       tamsel_error *error) {
    return open_door(runtime, selector, true, input_spec{}, error);
}

extern "C" const tamsel_error *tamsel_array_stream_error(const tamsel_array_stream *stream) {
    return stream ? &stream->error : nullptr;
}

extern "C" void tamsel_array_stream_close(tamsel_array_stream *stream) {
    if (!stream) return;
    block *b = block_of(stream);
    if (!b->call.close_now()) return; // from one of its callbacks: the running call frees it
    if (b->owns_file && b->file) std::fclose(b->file);
    if (b->owns_fd && b->fd >= 0) ::close(b->fd);
    release(b);
}

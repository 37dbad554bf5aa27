// The parse and validate doors. Every door checks its arguments in its own order, then runs
// the one core over a byte range or a reader; the parser state, its workspace and the read
// buffer live in the call's own storage (at most 16 KiB of stack).
#include "io/internal.hpp"
#include "parse/parser.hpp"

#include <cerrno>

namespace tamsel::parse {

namespace {

// A reader callback is asked for 1024 bytes; the library's own FILE* reader fills the whole
// buffer, so a file costs one fread per 8 KiB.
constexpr size_t read_size = 1024;
constexpr size_t file_read_size = 8192;

// Where the bytes come from: a whole buffer, or a reader pulled `read` bytes at a time.
struct input {
    const void *data = nullptr;
    size_t len = 0;
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    size_t read = read_size;
};

struct one_shot {
    parser p;
    alignas(8) unsigned char workspace[workspace_bytes];
    unsigned char buffer[file_read_size];
};
static_assert(sizeof(one_shot) <= 16 * 1024, "a one-shot call keeps to 16 KiB of stack");

io::input_position position_of(const parser &p) {
    return {p.error.offset, p.error.line, p.error.column};
}

tamsel_status feed_input(one_shot &s, const input &in) {
    parser &p = s.p;
    if (!in.reader) {
        tamsel_status st = parser_feed(p, in.data, in.len, nullptr, false);
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
        return parser_finish(p);
    }
    for (;;) {
        io::pull_result r;
        tamsel_status st = io::pull_reader(in.reader, in.reader_user, s.buffer, in.read,
                                           "reader callback failed", &r, &p.error, position_of(p));
        if (st != TAMSEL_STATUS_OK) {
            p.failed = true;
            return st;
        }
        if (r.bytes) {
            st = parser_feed(p, s.buffer, r.bytes, nullptr, false);
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
        }
        if (r.would_block) return p.raise(TAMSEL_STATUS_CALLBACK_FAILED, "reader would block");
        if (r.eof) return parser_finish(p);
    }
}

// Copies the parser's record whole into the caller's, tears the parser down and returns.
tamsel_status settle(parser &p, tamsel_status st, tamsel_error *error) {
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) unwind_mapped_streams(p);
    parser_destroy(p);
    if (error) *error = p.error;
    return st;
}

tamsel_status run_parse(const tamsel_runtime *runtime, const tamsel_runtime_settings *settings,
                        const tamsel_map *map, void *dst, const input &in, tamsel_error *error) {
    const map_analysis analysis = analyze_map(map);
    if (!analysis.valid) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
    tamsel_allocator resolved;
    TAMSEL_TRY(require_allocator(settings->parse_options.allocator, &resolved, error));
    one_shot s;
    init_args args;
    args.map = map;
    args.dst = dst;
    args.options = &settings->parse_options;
    args.settings = settings;
    args.runtime = runtime;
    args.analysis = &analysis;
    args.workspace = s.workspace;
    tamsel_status st = parser_init(s.p, args);
    if (st == TAMSEL_STATUS_OK && s.p.options.init_destination) st = init_map_parse(s.p, *map, dst);
    if (st != TAMSEL_STATUS_OK) return settle(s.p, st, error);
    clear_error(error);
    return settle(s.p, feed_input(s, in), error);
}

tamsel_status run_validate(const tamsel_runtime_settings *settings, const input &in,
                           tamsel_error *error) {
    tamsel_allocator resolved;
    TAMSEL_TRY(require_allocator(settings->parse_options.allocator, &resolved, error));
    one_shot s;
    init_args args;
    args.options = &settings->parse_options;
    args.settings = settings;
    args.any_root = true;
    args.workspace = s.workspace;
    (void)parser_init(s.p, args);
    clear_error(error);
    return settle(s.p, feed_input(s, in), error);
}

tamsel_status required(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

// The mapped doors past their own input checks: runtime, map and destination, then the core.
tamsel_status parse_with(const tamsel_runtime *runtime, const tamsel_map *map, void *dst,
                         const input &in, tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if (!map || !dst) return required(error, "map and destination are required");
    return run_parse(runtime, borrow.settings(), map, dst, in, error);
}

tamsel_status validate_with(const tamsel_runtime *runtime, const input &in, tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    return run_validate(borrow.settings(), in, error);
}

input file_input(FILE *file) {
    return input{nullptr, 0, tamsel__file_reader, file, file_read_size};
}

} // namespace

} // namespace tamsel::parse

using namespace tamsel;
using namespace tamsel::parse;

extern "C" tamsel_status tamsel_parse_buffer(tamsel_runtime *runtime, const tamsel_map *map,
                                             void *dst, const void *data, size_t len,
                                             tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if (!map || !dst) return required(error, "map and destination are required");
    if (!data && len > 0) return required(error, "buffer is required");
    return run_parse(runtime, borrow.settings(), map, dst, input{data ? data : "", len}, error);
}

extern "C" tamsel_status tamsel_parse_cstr(tamsel_runtime *runtime, const tamsel_map *map,
                                           void *dst, const char *json, tamsel_error *error) {
    if (!json) return required(error, "json string is required");
    return parse_with(runtime, map, dst, input{json, std::strlen(json)}, error);
}

extern "C" tamsel_status tamsel_parse_reader(tamsel_runtime *runtime, const tamsel_map *map,
                                             void *dst, tamsel_reader reader, void *reader_user,
                                             tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if (!reader) return required(error, "reader callback is required");
    if (!map || !dst) return required(error, "map and destination are required");
    return run_parse(runtime, borrow.settings(), map, dst, input{nullptr, 0, reader, reader_user},
                     error);
}

extern "C" tamsel_status tamsel_parse_filep(tamsel_runtime *runtime, const tamsel_map *map,
                                            void *dst, FILE *file, tamsel_error *error) {
    if (!file) return required(error, "file pointer is required");
    return parse_with(runtime, map, dst, file_input(file), error);
}

extern "C" tamsel_status tamsel_parse_path(tamsel_runtime *runtime, const tamsel_map *map,
                                           void *dst, const char *path, tamsel_error *error) {
    if (!path) return required(error, "path is required");
    unique_file file(std::fopen(path, "rb"));
    if (!file) return open_failed(error, path, 0);
    return parse_with(runtime, map, dst, file_input(file.get()), error);
}

extern "C" tamsel_status tamsel_validate_buffer(tamsel_runtime *runtime, const void *data,
                                                size_t len, tamsel_error *error) {
    if (!data && len > 0) return required(error, "buffer is required");
    return validate_with(runtime, input{data ? data : "", len}, error);
}

extern "C" tamsel_status tamsel_validate_cstr(tamsel_runtime *runtime, const char *json,
                                              tamsel_error *error) {
    if (!json) return required(error, "json string is required");
    return validate_with(runtime, input{json, std::strlen(json)}, error);
}

extern "C" tamsel_status tamsel_validate_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                void *reader_user, tamsel_error *error) {
    if (!reader) return required(error, "reader callback is required");
    return validate_with(runtime, input{nullptr, 0, reader, reader_user}, error);
}

extern "C" tamsel_status tamsel_validate_filep(tamsel_runtime *runtime, FILE *file,
                                               tamsel_error *error) {
    if (!file) return required(error, "file pointer is required");
    return validate_with(runtime, file_input(file), error);
}

extern "C" tamsel_status tamsel_validate_path(tamsel_runtime *runtime, const char *path,
                                              tamsel_error *error) {
    if (!path) return required(error, "path is required");
    unique_file file(std::fopen(path, "rb"));
    if (!file) return open_failed(error, path, 1);
    return validate_with(runtime, file_input(file.get()), error);
}

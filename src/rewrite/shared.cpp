// What both rewrites share: opening the input, the walk's limits, the path doors and the
// digit test of index segments.
#include "rewrite/internal.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace tamsel::rewrite {

void open_input(visit::input_cursor &cursor, const rewrite_input &in) {
    switch (in.from) {
    case rewrite_input::kind::memory:
        cursor.open_memory(in.data ? in.data : "", in.len);
        break;
    case rewrite_input::kind::reader:
        cursor.open_reader(in.reader, in.reader_user);
        break;
    case rewrite_input::kind::file:
        cursor.open_file(in.file, visit::read_wording::reader);
        break;
    case rewrite_input::kind::fd:
        cursor.open_fd(in.fd, visit::read_wording::reader);
        break;
    }
}

tamsel_status read_window(visit::input_cursor &cursor, const rewrite_input &in,
                          const tamsel_allocator &allocator, owned_block &window,
                          tamsel_error *error) {
    // Memory, and the library's buffer reader (read in place), need no window of their own.
    if (in.from == rewrite_input::kind::memory ||
        (in.from == rewrite_input::kind::reader && in.reader == tamsel_buffer_reader_read))
        return TAMSEL_STATUS_OK;
    window.reset(owned_alloc(&allocator, read_window_size));
    if (!window.get())
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate JSON input window");
    cursor.use_window(static_cast<uint8_t *>(window.get()), read_window_size);
    return TAMSEL_STATUS_OK;
}

tamsel_value_limits walk_limits(const tamsel_runtime_settings &settings) {
    tamsel_value_limits limits = settings.value_limits;
    if (settings.parse_options.max_depth) limits.max_depth = settings.parse_options.max_depth;
    return limits;
}

namespace {

// Status 10 with `message` and the current errno (5 when it is 0) in system_errno.
tamsel_status io_failure(tamsel_error *error, const char *message) {
    const int e = io::errno_or_eio();
    const tamsel_status st = fail(error, TAMSEL_STATUS_IO_ERROR, "%s", message);
    if (error) error->system_errno = e;
    return st;
}

} // namespace

tamsel_status open_paths(const char *in_path, const char *out_path, const path_words &words,
                         unique_file &in, unique_file &out, tamsel_error *error) {
    if (!in_path || !out_path)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "input and output paths are required");
    struct stat a {
    }, b{};
    if (::stat(in_path, &a) == 0 && ::stat(out_path, &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "input and output paths must refer to distinct files");
    in.reset(std::fopen(in_path, "rb"));
    if (!in) return io_failure(error, words.open_input);
    out.reset(std::fopen(out_path, "wb"));
    if (!out) return io_failure(error, words.open_output);
    return TAMSEL_STATUS_OK;
}

tamsel_status close_output(tamsel_status status, unique_file &out, const path_words &words,
                           tamsel_error *error) {
    bool closed = out.close();
    if (closed || (status != TAMSEL_STATUS_OK && status != TAMSEL_STATUS_TRUNCATED)) return status;
    return io_failure(error, words.close_output);
}

bool all_digits(const char *text, size_t len) {
    if (len == 0) return false;
    for (size_t i = 0; i < len; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

} // namespace tamsel::rewrite

// Streaming rewrite: the pieces the array rewrite and the value rewrite share.
//
// - rewrite_input: the one input description every door reduces to (a byte range read in
//   place, a reader, a FILE* or a descriptor), and the cursor it opens.
// - The walk's limits: the runtime's value limits with the parse options' depth.
// - The path doors' checks: both paths, distinct files, open, close.
#pragma once

#include "io/internal.hpp"
#include "text/selector.hpp"
#include "visit/internal.hpp"

#include <cstdio>

namespace tamsel::rewrite {

struct rewrite_input {
    enum class kind : uint8_t { memory, reader, file, fd };
    kind from = kind::memory;
    const void *data = nullptr;
    size_t len = 0;
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    FILE *file = nullptr;
    int fd = -1;

    static rewrite_input from_memory(const void *bytes, size_t len) {
        rewrite_input in;
        in.data = bytes;
        in.len = len;
        return in;
    }
    static rewrite_input from_reader(tamsel_reader reader, void *user) {
        rewrite_input in;
        in.from = kind::reader;
        in.reader = reader;
        in.reader_user = user;
        return in;
    }
    static rewrite_input from_file(FILE *file) {
        rewrite_input in;
        in.from = kind::file;
        in.file = file;
        return in;
    }
    static rewrite_input from_fd(int fd) {
        rewrite_input in;
        in.from = kind::fd;
        in.fd = fd;
        return in;
    }
};

void open_input(visit::input_cursor &cursor, const rewrite_input &in);

// The window read inputs go through.
inline constexpr size_t read_window_size = 64 * 1024;

// Inputs that are read (readers, FILE* streams, descriptors) go through a 64 KiB window from
// the allocator: long reads, few calls. Allocates it when `in` is read (not for memory or the
// library's buffer reader, which the cursor reads in place); status 8 when that fails. Call
// before open_input.
[[nodiscard]] tamsel_status read_window(visit::input_cursor &cursor, const rewrite_input &in,
                                        const tamsel_allocator &allocator, owned_block &window,
                                        tamsel_error *error);

// The walk's limits: the runtime's value limits, with max_depth taken from the parse options
// when they set one.
[[nodiscard]] tamsel_value_limits walk_limits(const tamsel_runtime_settings &settings);

// The messages a path door reports (array and value rewrite word them differently).
struct path_words {
    const char *open_input;
    const char *open_output;
    const char *close_output;
};

// Checks both paths and that they do not name one file, opens the input ("rb") and the output
// ("wb"). On success both streams are open in `in` and `out`.
[[nodiscard]] tamsel_status open_paths(const char *in_path, const char *out_path,
                                       const path_words &words, unique_file &in, unique_file &out,
                                       tamsel_error *error);
// Closes the output after `status`; a failing close turns success into status 10.
[[nodiscard]] tamsel_status close_output(tamsel_status status, unique_file &out,
                                         const path_words &words, tamsel_error *error);

// True for a non-empty text made only of decimal digits.
[[nodiscard]] bool all_digits(const char *text, size_t len);

} // namespace tamsel::rewrite

namespace tamsel::rewrite {

// The value rewrite over one input: borrows the runtime, checks the options, walks.
[[nodiscard]] tamsel_status value_rewrite(tamsel_runtime *runtime, const rewrite_input &in,
                                          tamsel_sink sink, void *sink_user,
                                          const tamsel_value_rewrite_options *options,
                                          tamsel_error *error);

// A selector string split into segments at unescaped dots, each an owned NUL-terminated copy,
// with the value rewrite's messages: status 1 "value rewrite selector ends with an escape" or
// "... contains empty segment"; status 8 when the segments cannot be stored.
class value_selector : public text::selector {
  public:
    [[nodiscard]] tamsel_status parse(const char *selector, const tamsel_allocator &allocator,
                                      tamsel_error *error) {
        return text::selector::parse(selector, allocator, "value rewrite selector", error);
    }
};

} // namespace tamsel::rewrite

namespace tamsel::rewrite {

// The array rewrite over one input into `sink` (staged in 4 KiB, flushed when full, at the
// end and before a failure is returned): borrows the runtime, checks, walks.
[[nodiscard]] tamsel_status array_rewrite(tamsel_runtime *runtime, const char *selector,
                                          const rewrite_input &in, tamsel_sink sink,
                                          void *sink_user,
                                          const tamsel_array_rewrite_options *options,
                                          tamsel_error *error);

} // namespace tamsel::rewrite

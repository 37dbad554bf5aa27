// The array rewrite's doors: each reduces its input and output to a rewrite_input and a sink
// and runs the one core.
#include "rewrite/internal.hpp"

using namespace tamsel;
using namespace tamsel::rewrite;

namespace {

tamsel_status invalid(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

constexpr path_words array_path_words = {"failed to open rewrite input path",
                                         "failed to open rewrite output path",
                                         "failed to close rewrite output path"};

} // namespace

extern "C" tamsel_status tamsel_array_rewrite_reader(tamsel_runtime *runtime, const char *selector,
                                                     tamsel_reader reader, void *reader_user,
                                                     tamsel_sink sink, void *sink_user,
                                                     const tamsel_array_rewrite_options *options,
                                                     tamsel_error *error) {
    return array_rewrite(runtime, selector, rewrite_input::from_reader(reader, reader_user), sink,
                         sink_user, options, error);
}

extern "C" tamsel_status tamsel_array_rewrite_reader_to_filep(
    tamsel_runtime *runtime, const char *selector, tamsel_reader reader, void *reader_user,
    FILE *out, const tamsel_array_rewrite_options *options, tamsel_error *error) {
    if (!out) return invalid(error, "output file is required");
    return array_rewrite(runtime, selector, rewrite_input::from_reader(reader, reader_user),
                         tamsel__sink_file, out, options, error);
}

extern "C" tamsel_status tamsel_array_rewrite_reader_to_fd(
    tamsel_runtime *runtime, const char *selector, tamsel_reader reader, void *reader_user,
    int out_fd, const tamsel_array_rewrite_options *options, tamsel_error *error) {
    if (out_fd < 0) return invalid(error, "output fd must be non-negative");
    return array_rewrite(runtime, selector, rewrite_input::from_reader(reader, reader_user),
                         tamsel__sink_fd, &out_fd, options, error);
}

extern "C" tamsel_status tamsel_array_rewrite_filep(tamsel_runtime *runtime, const char *selector,
                                                    FILE *in, tamsel_sink sink, void *sink_user,
                                                    const tamsel_array_rewrite_options *options,
                                                    tamsel_error *error) {
    if (!in) return invalid(error, "input file is required");
    return array_rewrite(runtime, selector, rewrite_input::from_file(in), sink, sink_user, options,
                         error);
}

extern "C" tamsel_status
tamsel_array_rewrite_filep_to_filep(tamsel_runtime *runtime, const char *selector, FILE *in,
                                    FILE *out, const tamsel_array_rewrite_options *options,
                                    tamsel_error *error) {
    if (!in) return invalid(error, "input file is required");
    if (!out) return invalid(error, "output file is required");
    return array_rewrite(runtime, selector, rewrite_input::from_file(in), tamsel__sink_file, out,
                         options, error);
}

extern "C" tamsel_status tamsel_array_rewrite_fd(tamsel_runtime *runtime, const char *selector,
                                                 int in_fd, tamsel_sink sink, void *sink_user,
                                                 const tamsel_array_rewrite_options *options,
                                                 tamsel_error *error) {
    if (in_fd < 0) return invalid(error, "input fd must be non-negative");
    return array_rewrite(runtime, selector, rewrite_input::from_fd(in_fd), sink, sink_user, options,
                         error);
}

extern "C" tamsel_status tamsel_array_rewrite_fd_to_fd(tamsel_runtime *runtime,
                                                       const char *selector, int in_fd, int out_fd,
                                                       const tamsel_array_rewrite_options *options,
                                                       tamsel_error *error) {
    if (out_fd < 0) return invalid(error, "output fd must be non-negative");
    if (in_fd < 0) return invalid(error, "input fd must be non-negative");
    return array_rewrite(runtime, selector, rewrite_input::from_fd(in_fd), tamsel__sink_fd, &out_fd,
                         options, error);
}

extern "C" tamsel_status tamsel_array_rewrite_path(tamsel_runtime *runtime, const char *selector,
                                                   const char *in_path, const char *out_path,
                                                   const tamsel_array_rewrite_options *options,
                                                   tamsel_error *error) {
    if (!in_path || !out_path) return invalid(error, "input and output paths are required");
    {
        runtime_borrow borrow;
        TAMSEL_TRY(borrow.acquire(runtime, error));
    }
    unique_file in, out;
    TAMSEL_TRY(open_paths(in_path, out_path, array_path_words, in, out, error));
    tamsel_status st = array_rewrite(runtime, selector, rewrite_input::from_file(in.get()),
                                     tamsel__sink_file, out.get(), options, error);
    return close_output(st, out, array_path_words, error);
}

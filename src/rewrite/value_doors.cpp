// The value rewrite's doors: each reduces its input to a rewrite_input and runs the one core;
// the selector forms split their selector into segments first.
#include "rewrite/internal.hpp"

using namespace tamsel;
using namespace tamsel::rewrite;

namespace {

tamsel_status invalid(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

constexpr path_words value_path_words = {"failed to open value rewrite input path",
                                         "failed to open value rewrite output path",
                                         "failed to close value rewrite output path"};

tamsel_status value_rewrite_paths(tamsel_runtime *runtime, const char *in_path,
                                  const char *out_path, const tamsel_value_rewrite_options *options,
                                  tamsel_error *error) {
    {
        runtime_borrow borrow;
        TAMSEL_TRY(borrow.acquire(runtime, error));
    }
    unique_file in, out;
    TAMSEL_TRY(open_paths(in_path, out_path, value_path_words, in, out, error));
    rewrite_input input;
    input.from = rewrite_input::kind::file;
    input.file = in.get();
    tamsel_status st = value_rewrite(runtime, input, tamsel__sink_file, out.get(), options, error);
    return close_output(st, out, value_path_words, error);
}

// Runs `run` with segment-form options built from selector-form `options`.
template <class Run>
tamsel_status with_selector(tamsel_runtime *runtime,
                            const tamsel_value_rewrite_selector_options *options,
                            tamsel_error *error, Run run) {
    tamsel_allocator allocator;
    {
        runtime_borrow borrow;
        TAMSEL_TRY(borrow.acquire(runtime, error));
        if (!options) return invalid(error, "value rewrite selector options are required");
        TAMSEL_TRY(
            require_allocator(borrow.settings()->parse_options.allocator, &allocator, error));
    }
    value_selector selector;
    TAMSEL_TRY(selector.parse(options->selector, allocator, error));
    tamsel_value_rewrite_options o{};
    o.segments = selector.segments();
    o.segment_count = selector.count();
    o.action = options->action;
    o.replacement = options->replacement;
    o.visitor = options->visitor;
    o.visitor_user = options->visitor_user;
    o.replace_callback = options->replace_callback;
    o.replace_user = options->replace_user;
    return run(&o);
}

} // namespace

extern "C" tamsel_status tamsel_value_rewrite_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                     void *reader_user, tamsel_sink sink,
                                                     void *sink_user,
                                                     const tamsel_value_rewrite_options *options,
                                                     tamsel_error *error) {
    return value_rewrite(runtime, rewrite_input::from_reader(reader, reader_user), sink, sink_user,
                         options, error);
}

extern "C" tamsel_status tamsel_value_rewrite_buffer(tamsel_runtime *runtime, const void *bytes,
                                                     size_t len, tamsel_sink sink, void *sink_user,
                                                     const tamsel_value_rewrite_options *options,
                                                     tamsel_error *error) {
    if (!bytes && len > 0) return invalid(error, "JSON buffer is required");
    return value_rewrite(runtime, rewrite_input::from_memory(bytes, len), sink, sink_user, options,
                         error);
}

extern "C" tamsel_status tamsel_value_rewrite_filep(tamsel_runtime *runtime, FILE *in,
                                                    tamsel_sink sink, void *sink_user,
                                                    const tamsel_value_rewrite_options *options,
                                                    tamsel_error *error) {
    if (!in) return invalid(error, "input file is required");
    return value_rewrite(runtime, rewrite_input::from_file(in), sink, sink_user, options, error);
}

extern "C" tamsel_status tamsel_value_rewrite_fd(tamsel_runtime *runtime, int in_fd,
                                                 tamsel_sink sink, void *sink_user,
                                                 const tamsel_value_rewrite_options *options,
                                                 tamsel_error *error) {
    if (in_fd < 0) return invalid(error, "input fd must be non-negative");
    return value_rewrite(runtime, rewrite_input::from_fd(in_fd), sink, sink_user, options, error);
}

extern "C" tamsel_status tamsel_value_rewrite_path(tamsel_runtime *runtime, const char *in_path,
                                                   const char *out_path,
                                                   const tamsel_value_rewrite_options *options,
                                                   tamsel_error *error) {
    return value_rewrite_paths(runtime, in_path, out_path, options, error);
}

extern "C" tamsel_status tamsel_value_rewrite_selector_reader(
    tamsel_runtime *runtime, tamsel_reader reader, void *reader_user, tamsel_sink sink,
    void *sink_user, const tamsel_value_rewrite_selector_options *options, tamsel_error *error) {
    return with_selector(runtime, options, error, [&](const tamsel_value_rewrite_options *o) {
        return tamsel_value_rewrite_reader(runtime, reader, reader_user, sink, sink_user, o, error);
    });
}

extern "C" tamsel_status tamsel_value_rewrite_selector_buffer(
    tamsel_runtime *runtime, const void *bytes, size_t len, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error) {
    return with_selector(runtime, options, error, [&](const tamsel_value_rewrite_options *o) {
        return tamsel_value_rewrite_buffer(runtime, bytes, len, sink, sink_user, o, error);
    });
}

extern "C" tamsel_status tamsel_value_rewrite_selector_filep(
    tamsel_runtime *runtime, FILE *in, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error) {
    return with_selector(runtime, options, error, [&](const tamsel_value_rewrite_options *o) {
        return tamsel_value_rewrite_filep(runtime, in, sink, sink_user, o, error);
    });
}

extern "C" tamsel_status tamsel_value_rewrite_selector_fd(
    tamsel_runtime *runtime, int in_fd, tamsel_sink sink, void *sink_user,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error) {
    return with_selector(runtime, options, error, [&](const tamsel_value_rewrite_options *o) {
        return tamsel_value_rewrite_fd(runtime, in_fd, sink, sink_user, o, error);
    });
}

extern "C" tamsel_status tamsel_value_rewrite_selector_path(
    tamsel_runtime *runtime, const char *in_path, const char *out_path,
    const tamsel_value_rewrite_selector_options *options, tamsel_error *error) {
    return with_selector(runtime, options, error, [&](const tamsel_value_rewrite_options *o) {
        return value_rewrite_paths(runtime, in_path, out_path, o, error);
    });
}

// The compact and validate doors: one value through the span engine, into a sink or only
// checked. Argument checks in each door's order, the runtime snapshot, a 64 KiB window for the
// inputs that are read, and the output staged in 4 KiB before the caller's sink.
#include "visit/internal.hpp"

#include <cstring>

namespace tamsel::visit {
namespace {

// Readers and descriptors fill this much at a time: long reads, few calls.
constexpr size_t read_window_size = 64 * 1024;
// What follows the value when more than whitespace does: the visitor's words.
constexpr const char *trailing_message = "visited JSON must contain exactly one value";

tamsel_status required(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

tamsel_status check_flags(unsigned flags, tamsel_error *error) {
    if (flags & ~TAMSEL_COMPACT_KEEP_ESCAPES) return required(error, "unknown compact flags");
    return TAMSEL_STATUS_OK;
}

enum class source : uint8_t { memory, reader, fd };

struct input {
    source from = source::memory;
    const void *data = nullptr;
    size_t len = 0;
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    int fd = -1;
};

// The one core every door ends in: `sink` NULL only checks.
tamsel_status run(const visit_snapshot &snapshot, const input &in, tamsel_sink sink,
                  void *sink_user, unsigned flags, tamsel_error *error) {
    clear_error(error);
    owned_block window;
    input_cursor cursor(error, snapshot.limits.max_total_bytes);
    if (in.from != source::memory) {
        window.reset(owned_alloc(&snapshot.allocator, read_window_size));
        if (!window.get())
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate JSON input window");
        cursor.use_window(static_cast<uint8_t *>(window.get()), read_window_size);
    }
    switch (in.from) {
    case source::memory:
        cursor.open_memory(in.data, in.len);
        break;
    case source::reader:
        cursor.open_reader(in.reader, in.reader_user);
        break;
    case source::fd:
        cursor.open_fd(in.fd, read_wording::reader);
        break;
    }
    span_copy copy;
    copy.keep_escapes = (flags & TAMSEL_COMPACT_KEEP_ESCAPES) != 0;
    if (!sink)
        return compact_value(cursor, snapshot.limits, snapshot.allocator, copy, trailing_message,
                             snapshot.utf8_check);
    io::buffered_sink out(sink, sink_user, error);
    copy.out = &out;
    const tamsel_status st = compact_value(cursor, snapshot.limits, snapshot.allocator, copy,
                                           trailing_message, snapshot.utf8_check);
    return out.settle(st, "compact output truncated");
}

tamsel_status compact(tamsel_runtime *runtime, const input &in, bool in_given, const char *message,
                      tamsel_sink sink, void *sink_user, unsigned flags, tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!in_given || !sink) return required(error, message);
    TAMSEL_TRY(check_flags(flags, error));
    return run(snapshot, in, sink, sink_user, flags, error);
}

tamsel_status validate(tamsel_runtime *runtime, const input &in, bool in_given, const char *message,
                       tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!in_given) return required(error, message);
    return run(snapshot, in, nullptr, nullptr, 0, error);
}

input memory(const void *data, size_t len) {
    input in;
    in.data = data;
    in.len = len;
    return in;
}

input reading(tamsel_reader reader, void *user) {
    input in;
    in.from = source::reader;
    in.reader = reader;
    in.reader_user = user;
    return in;
}

input descriptor(int fd) {
    input in;
    in.from = source::fd;
    in.fd = fd;
    return in;
}

} // namespace
} // namespace tamsel::visit

using namespace tamsel;
using namespace tamsel::visit;

extern "C" tamsel_status tamsel_compact_value_buffer(tamsel_runtime *runtime, const void *data,
                                                     size_t len, tamsel_sink sink, void *sink_user,
                                                     unsigned flags, tamsel_error *error) {
    return compact(runtime, memory(data, len), data != nullptr, "buffer and sink are required",
                   sink, sink_user, flags, error);
}

extern "C" tamsel_status tamsel_compact_value_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                     void *reader_user, tamsel_sink sink,
                                                     void *sink_user, unsigned flags,
                                                     tamsel_error *error) {
    return compact(runtime, reading(reader, reader_user), reader != nullptr,
                   "reader and sink are required", sink, sink_user, flags, error);
}

extern "C" tamsel_status tamsel_compact_value_fd(tamsel_runtime *runtime, int fd, tamsel_sink sink,
                                                 void *sink_user, unsigned flags,
                                                 tamsel_error *error) {
    return compact(runtime, descriptor(fd), fd >= 0, "fd and sink are required", sink, sink_user,
                   flags, error);
}

extern "C" tamsel_status tamsel_validate_value_buffer(tamsel_runtime *runtime, const void *data,
                                                      size_t len, tamsel_error *error) {
    return validate(runtime, memory(data, len), data != nullptr, "buffer is required", error);
}

extern "C" tamsel_status tamsel_validate_value_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                      void *reader_user, tamsel_error *error) {
    return validate(runtime, reading(reader, reader_user), reader != nullptr, "reader is required",
                    error);
}

extern "C" tamsel_status tamsel_validate_value_fd(tamsel_runtime *runtime, int fd,
                                                  tamsel_error *error) {
    return validate(runtime, descriptor(fd), fd >= 0, "fd must be non-negative", error);
}

// The visit entry points: argument checks in each door's order, the runtime snapshot, and one
// walk over an input cursor.
#include "visit/internal.hpp"

#include <cerrno>
#include <cstring>

namespace tamsel::visit {
namespace {

// The one core every door ends in.
template <class Open>
tamsel_status run_visit(const visit_snapshot &snapshot, const tamsel_value_visitor *visitor,
                        void *user, tamsel_error *error, Open open) {
    clear_error(error);
    input_cursor cursor(error, snapshot.limits.max_total_bytes);
    open(cursor);
    tamsel_status st =
        walk_value(cursor, snapshot.limits, snapshot.allocator, *visitor, user,
                   "visited JSON must contain exactly one value", snapshot.utf8_check);
    if (st == TAMSEL_STATUS_OK) clear_error(error);
    return st;
}

tamsel_status required(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

tamsel_status visit_file(const tamsel_runtime *runtime, FILE *file,
                         const tamsel_value_visitor *visitor, void *user, tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!visitor) return required(error, "reader and visitor are required");
    return run_visit(snapshot, visitor, user, error,
                     [&](input_cursor &c) { c.open_file(file, read_wording::reader); });
}

} // namespace
} // namespace tamsel::visit

using namespace tamsel;
using namespace tamsel::visit;

extern "C" tamsel_value_visitor tamsel_default_value_visitor(void) {
    return {};
}

extern "C" tamsel_status tamsel_visit_value_buffer(tamsel_runtime *runtime, const void *data,
                                                   size_t len, const tamsel_value_visitor *visitor,
                                                   void *user, tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!data || !visitor) return required(error, "buffer and visitor are required");
    return run_visit(snapshot, visitor, user, error,
                     [&](input_cursor &c) { c.open_memory(data, len); });
}

extern "C" tamsel_status tamsel_visit_value_cstr(tamsel_runtime *runtime, const char *json,
                                                 const tamsel_value_visitor *visitor, void *user,
                                                 tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!json) return required(error, "json string and visitor are required");
    if (!visitor) return required(error, "buffer and visitor are required");
    return run_visit(snapshot, visitor, user, error,
                     [&](input_cursor &c) { c.open_memory(json, std::strlen(json)); });
}

extern "C" tamsel_status tamsel_visit_value_reader(tamsel_runtime *runtime, tamsel_reader reader,
                                                   void *reader_user,
                                                   const tamsel_value_visitor *visitor, void *user,
                                                   tamsel_error *error) {
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    if (!reader || !visitor) return required(error, "reader and visitor are required");
    return run_visit(snapshot, visitor, user, error,
                     [&](input_cursor &c) { c.open_reader(reader, reader_user); });
}

extern "C" tamsel_status tamsel_visit_value_filep(tamsel_runtime *runtime, FILE *file,
                                                  const tamsel_value_visitor *visitor, void *user,
                                                  tamsel_error *error) {
    if (!file) return required(error, "file pointer and visitor are required");
    return visit_file(runtime, file, visitor, user, error);
}

extern "C" tamsel_status tamsel_visit_value_path(tamsel_runtime *runtime, const char *path,
                                                 const tamsel_value_visitor *visitor, void *user,
                                                 tamsel_error *error) {
    if (!path || !visitor) return required(error, "path and visitor are required");
    unique_file file(std::fopen(path, "rb"));
    if (!file) return open_failed(error, path, 0);
    return visit_file(runtime, file.get(), visitor, user, error);
}

extern "C" tamsel_status tamsel_visit_value_fd(tamsel_runtime *runtime, int fd,
                                               const tamsel_value_visitor *visitor, void *user,
                                               tamsel_error *error) {
    if (fd < 0 || !visitor) return required(error, "fd and visitor are required");
    visit_snapshot snapshot;
    TAMSEL_TRY(take_visit_snapshot(runtime, &snapshot, error));
    return run_visit(snapshot, visitor, user, error,
                     [&](input_cursor &c) { c.open_fd(fd, read_wording::reader); });
}

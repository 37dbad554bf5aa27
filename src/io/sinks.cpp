// The stock sinks over a FILE* and a descriptor, and the descriptor write core.
#include "io/internal.hpp"

#include <unistd.h>

#include <cerrno>

namespace {

// Records a sink failure without disturbing the positions the producer already recorded.
tamsel_status sink_failure(tamsel_error *error, tamsel_status code, int system_errno,
                           const char *message) {
    if (!error) return code;
    tamsel__set_error(error, code, error->offset, error->line, error->column, "%s", message);
    error->system_errno = system_errno;
    return code;
}

} // namespace

namespace tamsel::io {

int write_fd_all(int fd, const void *data, size_t len, bool *wrote_zero) {
    *wrote_zero = false;
    const auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            *wrote_zero = true;
            return 0;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace tamsel::io

tamsel_status tamsel__sink_file(void *file, const void *data, size_t len, tamsel_error *error) {
    if (len == 0) return TAMSEL_STATUS_OK;
    if (!file || !data)
        return sink_failure(error, TAMSEL_STATUS_INVALID_ARGUMENT, 0,
                            "file sink arguments are invalid");
    errno = 0;
    if (std::fwrite(data, 1, len, static_cast<FILE *>(file)) != len)
        return sink_failure(error, TAMSEL_STATUS_IO_ERROR, tamsel::io::errno_or_eio(),
                            "failed to write JSON output");
    return TAMSEL_STATUS_OK;
}

tamsel_status tamsel__sink_fd(void *fd_ptr, const void *data, size_t len, tamsel_error *error) {
    if (len == 0) return TAMSEL_STATUS_OK;
    if (!fd_ptr || !data)
        return sink_failure(error, TAMSEL_STATUS_INVALID_ARGUMENT, 0,
                            "descriptor sink arguments are invalid");
    bool wrote_zero = false;
    if (tamsel::io::write_fd_all(*static_cast<const int *>(fd_ptr), data, len, &wrote_zero) != 0)
        return sink_failure(error, TAMSEL_STATUS_IO_ERROR, tamsel::io::errno_or_eio(),
                            "failed to write rewrite output fd");
    if (wrote_zero)
        return sink_failure(error, TAMSEL_STATUS_IO_ERROR, 0, "rewrite output fd wrote zero bytes");
    return TAMSEL_STATUS_OK;
}

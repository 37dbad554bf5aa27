// The stock readers (memory, FILE*, descriptor) and the one-call read cores they share with
// the source cursor and, later, the streams.
#include "io/internal.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tamsel::io {

int errno_or_eio() noexcept {
    return errno != 0 ? errno : EIO;
}

void unique_fd::reset(int fd) noexcept {
    int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
}

tamsel_read_result read_file_once(FILE *file, void *buffer, size_t capacity) {
    tamsel_read_result r = tamsel_default_read_result();
    if (!file || (!buffer && capacity)) {
        r.error_code = EINVAL;
        return r;
    }
    // errno is only meaningful for this call: a stale value must not be reported, and a
    // stream that fails without setting it (a cookie stream, say) still reports a failure.
    errno = 0;
    r.bytes = capacity ? std::fread(buffer, 1, capacity, file) : 0;
    r.eof = std::feof(file) != 0;
    if (std::ferror(file)) r.error_code = errno_or_eio();
    return r;
}

tamsel_read_result read_fd_once(int fd, void *buffer, size_t capacity, bool eagain_would_block) {
    tamsel_read_result r = tamsel_default_read_result();
    if (!buffer && capacity) {
        r.error_code = EINVAL;
        return r;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (eagain_would_block && (errno == EAGAIN || errno == EWOULDBLOCK))
            r.would_block = 1;
        else
            r.error_code = errno_or_eio();
        return r;
    }
    r.bytes = static_cast<size_t>(n);
    r.eof = n == 0 && capacity > 0;
    return r;
}

} // namespace tamsel::io

extern "C" tamsel_read_result tamsel_default_read_result(void) {
    return {0, 0, 0, 0};
}

extern "C" void tamsel_buffer_reader_init(tamsel_buffer_reader *reader, const void *data,
                                          size_t len) {
    if (!reader) return;
    reader->data = data;
    reader->len = len;
    reader->pos = 0;
}

extern "C" tamsel_read_result tamsel_buffer_reader_read(void *user_data, void *buffer,
                                                        size_t capacity) {
    tamsel_read_result r = tamsel_default_read_result();
    auto *reader = static_cast<tamsel_buffer_reader *>(user_data);
    if (!reader || !buffer) {
        r.error_code = EINVAL;
        return r;
    }
    if (!reader->data) {
        if (reader->len == 0)
            r.eof = 1;
        else
            r.error_code = EINVAL;
        return r;
    }
    if (reader->pos >= reader->len) {
        r.eof = 1;
        return r;
    }
    if (capacity == 0) return r;
    size_t n = std::min(reader->len - reader->pos, capacity);
    std::memcpy(buffer, static_cast<const unsigned char *>(reader->data) + reader->pos, n);
    reader->pos += n;
    r.bytes = n;
    r.eof = reader->pos >= reader->len;
    return r;
}

tamsel_read_result tamsel__file_reader(void *file, void *buffer, size_t capacity) {
    return tamsel::io::read_file_once(static_cast<FILE *>(file), buffer, capacity);
}

tamsel_read_result tamsel__fd_reader(void *fd_ptr, void *buffer, size_t capacity) {
    if (!fd_ptr) {
        tamsel_read_result r = tamsel_default_read_result();
        r.error_code = EINVAL;
        return r;
    }
    return tamsel::io::read_fd_once(*static_cast<const int *>(fd_ptr), buffer, capacity);
}

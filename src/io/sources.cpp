// Sources: bytes of an output field taken from a FILE*, a descriptor or a path at output
// time, always replayed from the first byte. The three kinds share one cursor: a PATH source
// opens its own stream and is then read exactly like a FILE* source.
#include "io/internal.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

void set_methods(tamsel_source *s) {
    s->cleanup = tamsel_source_cleanup;
    s->reset = tamsel_source_reset;
    s->set_file = tamsel_source_set_file;
    s->set_fd = tamsel_source_set_fd;
    s->set_path = tamsel_source_set_path;
    s->write_to_sink = tamsel_source_write_to_sink;
    s->is_rewindable = tamsel_source_is_rewindable;
}

// Forgets the current input, freeing the path copy (made with the process allocator; its
// header names the free callback and statistics).
void clear_input(tamsel_source *s) {
    tamsel::owned_free(s->path);
    s->kind = TAMSEL_SOURCE_NONE;
    s->file = nullptr;
    s->fd = -1;
    s->path = nullptr;
}

tamsel_status io_failure(tamsel_error *error, int system_errno, const char *message) {
    tamsel::fail(error, TAMSEL_STATUS_IO_ERROR, "%s", message);
    if (error) error->system_errno = system_errno;
    return TAMSEL_STATUS_IO_ERROR;
}

} // namespace

namespace tamsel::io {

tamsel_status source_cursor::open(const tamsel_source &source, tamsel_error *error) {
    kind_ = source.kind;
    switch (source.kind) {
    case TAMSEL_SOURCE_FILE:
        if (!source.file || std::fseek(source.file, 0, SEEK_SET) != 0)
            return io_failure(error, source.file ? errno_or_eio() : EBADF,
                              "failed to rewind source FILE*; non-seekable sources are "
                              "unsupported");
        std::clearerr(source.file);
        file_ = source.file;
        return TAMSEL_STATUS_OK;
    case TAMSEL_SOURCE_FD:
        if (::lseek(source.fd, 0, SEEK_SET) < 0)
            return io_failure(error, errno_or_eio(),
                              "failed to rewind source fd; non-seekable sources are "
                              "unsupported");
        fd_ = source.fd;
        return TAMSEL_STATUS_OK;
    case TAMSEL_SOURCE_PATH:
        owned_.reset(source.path ? std::fopen(source.path, "rb") : nullptr);
        if (!owned_) {
            int code = source.path ? errno_or_eio() : EINVAL;
            tamsel::fail(error, TAMSEL_STATUS_IO_ERROR, "failed to open source path '%s'",
                         source.path ? source.path : "");
            if (error) error->system_errno = code;
            return TAMSEL_STATUS_IO_ERROR;
        }
        kind_ = TAMSEL_SOURCE_FILE;
        file_ = owned_.get();
        return TAMSEL_STATUS_OK;
    default:
        kind_ = TAMSEL_SOURCE_NONE;
        return TAMSEL_STATUS_OK;
    }
}

tamsel_read_result source_cursor::read(void *buffer, size_t capacity) {
    if (capacity > source_block_size) capacity = source_block_size;
    tamsel_read_result r = tamsel_default_read_result();
    switch (kind_) {
    case TAMSEL_SOURCE_FILE:
        r = read_file_once(file_, buffer, capacity);
        // A short block from a blocking stream is its end (or its failure).
        if (r.error_code == 0 && r.bytes < capacity) r.eof = 1;
        if (r.bytes == capacity) r.eof = 0;
        return r;
    case TAMSEL_SOURCE_FD:
        return read_fd_once(fd_, buffer, capacity);
    default:
        r.eof = 1;
        return r;
    }
}

tamsel_read_result source_cursor::reader(void *cursor, void *buffer, size_t capacity) {
    return static_cast<source_cursor *>(cursor)->read(buffer, capacity);
}

} // namespace tamsel::io

extern "C" void tamsel_source_init(tamsel_source *source) {
    if (!source) return;
    source->kind = TAMSEL_SOURCE_NONE;
    source->file = nullptr;
    source->fd = -1;
    source->path = nullptr;
    set_methods(source);
}

extern "C" void tamsel_source_cleanup(tamsel_source *source) {
    if (source) clear_input(source);
}

extern "C" void tamsel_source_reset(tamsel_source *source) {
    tamsel_source_cleanup(source);
}

extern "C" tamsel_status tamsel_source_set_file(tamsel_source *source, FILE *file,
                                                tamsel_error *error) {
    if (!source || !file)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "source handle and FILE* are required");
    clear_input(source);
    source->kind = TAMSEL_SOURCE_FILE;
    source->file = file;
    tamsel::clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_source_set_fd(tamsel_source *source, int fd, tamsel_error *error) {
    if (!source || fd < 0)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "source handle and non-negative fd are required");
    clear_input(source);
    source->kind = TAMSEL_SOURCE_FD;
    source->fd = fd;
    tamsel::clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_source_set_path(tamsel_source *source, const char *path,
                                                tamsel_error *error) {
    if (!source || !path || path[0] == '\0')
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "source handle and path are required");
    // Copy before forgetting the old setting, so a failure leaves it in place.
    char *copy = tamsel::owned_strdup(nullptr, path);
    if (!copy)
        return tamsel::fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                            "failed to duplicate source path");
    clear_input(source);
    source->kind = TAMSEL_SOURCE_PATH;
    source->path = copy;
    tamsel::clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_source_write_to_sink(const tamsel_source *source, tamsel_sink sink,
                                                     void *sink_user, tamsel_error *error) {
    using namespace tamsel::io;
    if (!source || !sink)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "source handle and sink are required");
    tamsel::clear_error(error);
    source_cursor cursor;
    TAMSEL_TRY(cursor.open(*source, error));
    unsigned char block[source_block_size];
    for (;;) {
        pull_result got;
        TAMSEL_TRY(pull_reader(source_cursor::reader, &cursor, block, sizeof block,
                               "failed to read source data", &got, error));
        if (got.bytes > 0) {
            tamsel_status st = sink(sink_user, block, got.bytes, error);
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
        }
        // A cursor never reports would-block; treat it like the end it cannot be waiting on.
        if (got.eof || got.would_block) return TAMSEL_STATUS_OK;
    }
}

extern "C" int tamsel_source_is_rewindable(const tamsel_source *source) {
    if (!source) return 0;
    switch (source->kind) {
    case TAMSEL_SOURCE_NONE:
    case TAMSEL_SOURCE_PATH:
        return 1;
    case TAMSEL_SOURCE_FILE: {
        if (!source->file) return 0;
        long here = std::ftell(source->file);
        if (here < 0) return 0;
        if (std::fseek(source->file, 0, SEEK_SET) != 0) return 0;
        return std::fseek(source->file, here, SEEK_SET) == 0 ? 1 : 0;
    }
    case TAMSEL_SOURCE_FD: {
        if (source->fd < 0) return 0;
        off_t here = ::lseek(source->fd, 0, SEEK_CUR);
        if (here < 0) return 0;
        if (::lseek(source->fd, 0, SEEK_SET) < 0) return 0;
        return ::lseek(source->fd, here, SEEK_SET) == here ? 1 : 0;
    }
    default:
        return 0;
    }
}

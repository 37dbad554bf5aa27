// Driving a tamsel_reader: the rules every consumer shares (empty results, overruns, errors).
#include "io/internal.hpp"

#include <cerrno>

namespace tamsel::io {

tamsel_status pull_reader(tamsel_reader reader, void *user, void *buffer, size_t capacity,
                          const char *failure_message, pull_result *out, tamsel_error *error,
                          input_position where, tamsel_status error_status) {
    *out = {};
    if (!reader || !buffer || capacity == 0)
        return tamsel__set_error(error, TAMSEL_STATUS_INTERNAL_ERROR, where.offset, where.line,
                                 where.column, "reader driven without a buffer");
    for (int empty = 0;;) {
        tamsel_read_result r = reader(user, buffer, capacity);
        if (r.error_code != 0 || r.bytes > capacity) {
            // A reader that claims more than it was given has already written past the
            // buffer or is lying about it; either way its bytes cannot be trusted.
            int code = r.error_code != 0 ? r.error_code : EINVAL;
            tamsel_status st = r.error_code != 0 ? error_status : TAMSEL_STATUS_IO_ERROR;
            tamsel__set_error(error, st, where.offset, where.line, where.column, "%s",
                              failure_message);
            if (error) error->system_errno = code;
            return st;
        }
        if (r.bytes > 0 || r.eof || r.would_block) {
            out->bytes = r.bytes;
            out->eof = r.eof != 0;
            out->would_block = r.would_block != 0;
            return TAMSEL_STATUS_OK;
        }
        if (++empty >= TAMSEL_READER_MAX_EMPTY_READS)
            return tamsel__set_error(error, TAMSEL_STATUS_CALLBACK_FAILED, where.offset, where.line,
                                     where.column, "reader made no progress");
    }
}

} // namespace tamsel::io

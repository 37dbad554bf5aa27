// The JSON text rules as exported functions over a sink, for writers outside the library's own
// walks (the command-line tool re-emits visited values with them).
#include "io/output.hpp"
#include "text/internal.hpp"

namespace {

template <class Write>
tamsel_status through_sink(tamsel_sink sink, void *user, tamsel_error *error, Write write) {
    if (!sink) return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "sink is required");
    tamsel::io::buffered_sink out(sink, user, error);
    TAMSEL_TRY(write(out));
    TAMSEL_TRY(out.flush());
    return out.result();
}

} // namespace

extern "C" tamsel_status tamsel__emit_escaped_bytes(tamsel_sink sink, void *user,
                                                    tamsel_error *error, const void *bytes,
                                                    size_t len) {
    if (!bytes && len)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "bytes are required");
    return through_sink(sink, user, error, [&](tamsel::io::byte_output &out) {
        return tamsel::text::escaped_string(out, bytes, len);
    });
}

extern "C" tamsel_status tamsel__emit_escaped_fragment(tamsel_sink sink, void *user,
                                                       tamsel_error *error, const void *bytes,
                                                       size_t len) {
    if (!bytes && len)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "bytes are required");
    return through_sink(sink, user, error, [&](tamsel::io::byte_output &out) {
        return tamsel::text::escaped_fragment(out, bytes, len);
    });
}

extern "C" tamsel_status tamsel__emit_number_text(tamsel_sink sink, void *user, tamsel_error *error,
                                                  double value) {
    return through_sink(sink, user, error, [&](tamsel::io::byte_output &out) {
        return tamsel::text::emit_double(out, value, error, "non-finite double cannot be written");
    });
}

// Pulling items: into mapped records, into JSON value holders, and raw (the item's bytes to a
// sink, for the library's own splicing).
#include "stream/state.hpp"
#include "visit/json_value.hpp"

namespace tamsel::stream {

namespace {

tamsel_stream_result pull(tamsel_array_stream *stream, const request &r, tamsel_error *error) {
    block &b = *block_of(stream);
    if (called_back(b, error)) return TAMSEL_STREAM_ERROR;
    return as_call(stream, [&] { return finish_with(b, step(b, r), error); });
}

} // namespace

tamsel_stream_result next_raw(tamsel_array_stream *stream, raw_piece_fn piece, void *user,
                              tamsel_error *error) {
    if (!stream || !piece) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "array stream and item sink are required");
        return TAMSEL_STREAM_ERROR;
    }
    request r;
    r.type = item_type::raw;
    r.piece = piece;
    r.piece_user = user;
    return pull(stream, r, error);
}

} // namespace tamsel::stream

using namespace tamsel;
using namespace tamsel::stream;

extern "C" tamsel_stream_result tamsel_array_stream_next(tamsel_array_stream *stream,
                                                         const tamsel_map *map, void *dst,
                                                         tamsel_error *error) {
    if (!stream || !map || !dst) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
             "array stream, map, and destination are required");
        return TAMSEL_STREAM_ERROR;
    }
    if (called_back(*block_of(stream), error)) return TAMSEL_STREAM_ERROR;
    // An invalid map never reaches the parser, whatever state the stream is in.
    if (!map_layout_valid(*block_of(stream), map)) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
        return TAMSEL_STREAM_ERROR;
    }
    request r;
    r.type = item_type::mapped;
    r.map = map;
    r.dst = dst;
    return pull(stream, r, error);
}

extern "C" tamsel_stream_result tamsel_array_stream_next_value(tamsel_array_stream *stream,
                                                               tamsel_json_value *value,
                                                               tamsel_error *error) {
    if (!stream) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "array stream is required");
        return TAMSEL_STREAM_ERROR;
    }
    if (!value) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value destination is required");
        return TAMSEL_STREAM_ERROR;
    }
    request r;
    r.type = item_type::value;
    r.value = value;
    return pull(stream, r, error);
}

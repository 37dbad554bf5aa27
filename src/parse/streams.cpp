// The public set-up of string array streams and mapped array streams.
#include "parse/maps.hpp"

#include <cstring>

using namespace tamsel;
using namespace tamsel::parse;

extern "C" tamsel_string_array_stream *
tamsel_string_array_stream_init(tamsel_string_array_stream *stream) {
    if (!stream) return nullptr;
    std::memset(stream, 0, sizeof *stream);
    stream->magic = address_mark(stream, TAMSEL_STRING_ARRAY_STREAM_MAGIC);
    stream->set_handler = tamsel_string_array_stream_set_handler;
    return stream;
}

extern "C" tamsel_status
tamsel_string_array_stream_set_handler(tamsel_string_array_stream *stream,
                                       const tamsel_string_chunk_handler *handler, void *user,
                                       tamsel_error *error) {
    if (!stream || !handler || !handler->chunk)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "string array stream and chunk handler are required");
    if (!string_stream_is_initialized(stream)) tamsel_string_array_stream_init(stream);
    stream->begin = handler->begin;
    stream->chunk = handler->chunk;
    stream->end = handler->end;
    stream->user = user;
    stream->active = 0;
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_mapped_array_stream *
tamsel_mapped_array_stream_init(tamsel_mapped_array_stream *stream) {
    if (!stream) return nullptr;
    std::memset(stream, 0, sizeof *stream);
    stream->magic = address_mark(stream, TAMSEL_MAPPED_ARRAY_STREAM_MAGIC);
    stream->set_handler = tamsel_mapped_array_stream_set_handler;
    return stream;
}

extern "C" tamsel_status
tamsel_mapped_array_stream_set_handler(tamsel_mapped_array_stream *stream,
                                       const tamsel_mapped_item_handler *handler,
                                       tamsel_error *error) {
    if (!stream || !handler || !handler->item_map || !handler->item || !handler->callback)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "mapped array stream, item map, destination, and callback are required");
    if (!map_is_valid(handler->item_map))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "mapped array stream item map is invalid");
    if (!mapped_stream_is_initialized(stream)) tamsel_mapped_array_stream_init(stream);
    stream->item_map = handler->item_map;
    stream->item = handler->item;
    stream->callback = handler->callback;
    stream->user = handler->user;
    stream->active = 0;
    // The first item resets the record, which frees what it points at: start it from a known
    // empty state so a record fresh from malloc or the stack never has garbage freed.
    init_record(*handler->item_map, handler->item, init_context{});
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

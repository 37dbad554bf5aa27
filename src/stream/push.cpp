// Pushing input: the caller's chunks become the window in turn (no copy), and every item
// they complete is handed over at once: a mapped record to the item callback, a string item
// as chunks to a handler, or whole to the string item callback.
#include "stream/state.hpp"
#include "visit/json_value.hpp"

namespace tamsel::stream {

namespace {

constexpr size_t default_string_item_limit = 1048576;

block &of(void *user) {
    return *static_cast<block *>(user);
}

tamsel_status not_a_string(tamsel_error *error) {
    return fail(error, TAMSEL_STATUS_TYPE_MISMATCH, "selected array item is not a string");
}
tamsel_status refuse(void *, tamsel_error *error) {
    return not_a_string(error);
}
tamsel_status refuse_chunk(void *, const char *, size_t, tamsel_error *error) {
    return not_a_string(error);
}
tamsel_status refuse_boolean(void *, int, tamsel_error *error) {
    return not_a_string(error);
}

// The visitor of string items: one string per item, its pieces to the handler of the call.
tamsel_status on_string_begin(void *user, tamsel_error *error) {
    block &b = of(user);
    if (b.string_seen) return not_a_string(error);
    b.string_seen = true;
    return b.handler->begin ? b.handler->begin(b.handler_user, error) : TAMSEL_STATUS_OK;
}
tamsel_status on_string_chunk(void *user, const char *bytes, size_t length, tamsel_error *error) {
    block &b = of(user);
    return b.handler->chunk(b.handler_user, bytes, length, error);
}
tamsel_status on_string_end(void *, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}

// The built-in handler of string items: the item gathered whole, then the item callback.
tamsel_status items_begin(void *user, tamsel_error *) {
    io::byte_clear(of(user).string_item);
    return TAMSEL_STATUS_OK;
}
tamsel_status items_chunk(void *user, const char *bytes, size_t length, tamsel_error *error) {
    block &b = of(user);
    return io::byte_append(b.string_item, bytes, length, b.string_limit, b.allocator, error);
}
tamsel_status items_end(void *user, tamsel_error *error) {
    block &b = of(user);
    const char *text = b.string_item.data ? b.string_item.data : "";
    tamsel_status st = b.item_callback(b.item_user, text, b.string_item.length, error);
    io::byte_clear(b.string_item);
    return st;
}

tamsel_status failed_status(block &b, tamsel_error *error) {
    if (b.pub.error.code == 0) {
        tamsel__set_error(&b.pub.error, TAMSEL_STATUS_INTERNAL_ERROR, b.offset, b.line, b.column,
                          "array stream failed without an error code");
        b.status = life::failed;
    }
    if (error) *error = b.pub.error;
    return b.pub.error.code;
}

// The checks every push and finish makes once its own arguments are known to be there.
bool push_allowed(block &b, const void *bytes, size_t length, tamsel_error *error,
                  tamsel_status *st) {
    if (b.kind != input_kind::push) {
        *st = fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "array stream is not push-fed");
        return false;
    }
    if (!bytes && length) {
        *st = fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "input bytes are required");
        return false;
    }
    if (b.status == life::done) {
        *st = fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "array stream is already finished");
        return false;
    }
    if (b.status == life::failed) {
        *st = failed_status(b, error);
        return false;
    }
    return true;
}

// Hands one delivered item over; OK, TRUNCATED (go on, something was cut) or the failure,
// after which the stream has failed.
using item_fn = tamsel_status (*)(block &b, const void *ctx);

struct mapped_ctx {
    const tamsel_map *map;
    void *dst;
    tamsel_array_item_callback callback;
    void *user;
};

tamsel_status deliver_mapped(block &b, const void *ctx) {
    const auto &m = *static_cast<const mapped_ctx *>(ctx);
    tamsel_status st = m.callback(m.user, m.dst);
    // Empty again before the next item, whatever the callback said; its strings wait as
    // spares for the next item's (freed when that item is over, or at close).
    const parse::map_plan *plan = b.cache.plans.of(m.map);
    if (plan && b.cache.plans.cleanup_count(*plan))
        parse::cleanup_planned(b.cache.plans, *plan, static_cast<unsigned char *>(m.dst),
                               b.cache.spares);
    else
        parse::cleanup_record(*m.map, m.dst, &b.cache.spares);
    // What cleanup leaves of a record whose map has reset steps (its scalars) the steps empty
    // for the next item, as for a record passed again to next; any other record is prepared
    // afresh.
    b.last_initialised = plan && plan->reset_count ? m.dst : nullptr;
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return st;
    raise(b, st, "array stream item callback failed");
    return st;
}

tamsel_status deliver_string(block &b, const void *) {
    if (!b.handler->end) return TAMSEL_STATUS_OK;
    tamsel_error e{};
    e.offset = b.offset;
    e.line = b.line;
    e.column = b.column;
    tamsel_status st = b.handler->end(b.handler_user, &e);
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return st;
    raise_from(b, st, e, "array stream string callback failed");
    return st;
}

// Runs the machine over `bytes` (and to the end when `final`), handing each item to
// `deliver_item`.
tamsel_status drive(block &b, const request &r, const void *bytes, size_t length, bool final,
                    item_fn deliver_item, const void *ctx, tamsel_error *error) {
    if (length) {
        b.win = static_cast<const unsigned char *>(bytes);
        b.pos = 0;
        b.end = b.avail = length;
    }
    if (final) b.final_input = true;
    bool delivered = false;
    tamsel_error last; // read only once `delivered`: a push costs no clearing of it
    tamsel_status st = TAMSEL_STATUS_OK;
    for (bool going = true; going;) {
        switch (step(b, r)) {
        case TAMSEL_STREAM_ITEM: {
            tamsel_status item = deliver_item(b, ctx);
            if (item == TAMSEL_STATUS_TRUNCATED) b.pub.error.truncated = 1;
            if (item != TAMSEL_STATUS_OK && item != TAMSEL_STATUS_TRUNCATED) {
                going = false;
                st = failed_status(b, error);
                break;
            }
            if (b.call.close_pending) { // closed by the callback: nothing more is read
                going = false;
                break;
            }
            if (b.pub.error.truncated) b.truncated_sticky = true;
            if (b.truncated_sticky) {
                last = b.pub.error;
                delivered = true;
            }
            break;
        }
        case TAMSEL_STREAM_WOULD_BLOCK:
            going = false;
            if (final) {
                raise(b, TAMSEL_STATUS_INTERNAL_ERROR, "push array stream blocked at EOF");
                st = failed_status(b, error);
            }
            break;
        case TAMSEL_STREAM_END:
            going = false;
            break;
        default:
            going = false;
            st = failed_status(b, error);
            break;
        }
    }
    // The caller's bytes are not looked at again.
    b.win = b.window;
    b.pos = b.end = b.avail = 0;
    if (st != TAMSEL_STATUS_OK) return st;
    if (b.truncated_sticky) {
        tamsel_error out = delivered ? last : b.pub.error;
        out.code = TAMSEL_STATUS_TRUNCATED;
        out.truncated = 1;
        if (error) *error = out;
        return TAMSEL_STATUS_TRUNCATED;
    }
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

tamsel_status push_mapped(tamsel_array_stream *stream, const tamsel_map *map, void *dst,
                          const void *bytes, size_t length, tamsel_array_item_callback callback,
                          void *user, bool final, tamsel_error *error) {
    if (!stream || !map || !dst || !callback)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "array stream, map, destination, and callback are required");
    block &b = *block_of(stream);
    if (called_back(b, error)) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (!map_layout_valid(b, map))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
    tamsel_status st;
    if (!push_allowed(b, bytes, length, error, &st)) return st;
    request r;
    r.type = item_type::mapped;
    r.map = map;
    r.dst = dst;
    const mapped_ctx ctx{map, dst, callback, user};
    return as_call(stream,
                   [&] { return drive(b, r, bytes, length, final, deliver_mapped, &ctx, error); });
}

tamsel_status push_chunks(tamsel_array_stream *stream, const void *bytes, size_t length,
                          const tamsel_string_chunk_handler *handler, void *user, bool final,
                          tamsel_error *error) {
    if (!stream || !handler || !handler->chunk)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "array stream and string chunk handler are required");
    block &b = *block_of(stream);
    if (called_back(b, error)) return TAMSEL_STATUS_INVALID_ARGUMENT;
    tamsel_status st;
    if (!push_allowed(b, bytes, length, error, &st)) return st;
    b.handler = handler;
    b.handler_user = user;
    request r;
    r.type = item_type::string;
    return as_call(
        stream, [&] { return drive(b, r, bytes, length, final, deliver_string, nullptr, error); });
}

tamsel_status push_items(tamsel_array_stream *stream, const void *bytes, size_t length,
                         tamsel_array_string_item_callback callback, void *user, bool final,
                         tamsel_error *error) {
    if (!stream || !callback)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "array stream and string item callback are required");
    block &b = *block_of(stream);
    if (called_back(b, error)) return TAMSEL_STATUS_INVALID_ARGUMENT;
    tamsel_status st;
    if (!push_allowed(b, bytes, length, error, &st)) return st;
    const uint64_t limit = b.settings.value_limits.max_string_bytes;
    b.string_limit = !b.has_runtime ? default_string_item_limit
                     : limit        ? clamp_to_size(limit)
                                    : io::byte_buffer_no_limit;
    b.item_callback = callback;
    b.item_user = user;
    b.handler = &b.items_handler;
    b.handler_user = &b;
    request r;
    r.type = item_type::string_items;
    return as_call(
        stream, [&] { return drive(b, r, bytes, length, final, deliver_string, nullptr, error); });
}

} // namespace

void refuse_input(tamsel_array_stream *stream, tamsel_status code, const char *message,
                  tamsel_error *error) {
    block &b = *block_of(stream);
    if (b.status != life::failed) (void)raise(b, code, "%s", message);
    if (error) *error = b.pub.error;
}

void install_string_visitor(block &b) {
    tamsel_value_visitor &v = b.string_visitor;
    v = tamsel_default_value_visitor();
    v.object_begin = v.object_end = v.key_begin = v.key_end = refuse;
    v.array_begin = v.array_end = v.number_begin = v.number_end = v.null = refuse;
    v.key_chunk = v.number_chunk = refuse_chunk;
    v.boolean = refuse_boolean;
    v.string_begin = on_string_begin;
    v.string_chunk = on_string_chunk;
    v.string_end = on_string_end;
    b.items_handler = {items_begin, items_chunk, items_end};
    (void)tamsel_json_value_set_parse_visitor(&b.string_holder, &b.string_visitor, &b, nullptr);
    // Strings pass through in pieces: only the handlers decide what is too long.
    b.string_holder.limits = tamsel_value_limits{};
    b.string_holder.limits_follow_runtime = 0;
}

} // namespace tamsel::stream

using namespace tamsel;
using namespace tamsel::stream;

extern "C" tamsel_status tamsel_array_stream_push(tamsel_array_stream *stream,
                                                  const tamsel_map *map, void *dst,
                                                  const void *bytes, size_t length,
                                                  tamsel_array_item_callback callback, void *user,
                                                  tamsel_error *error) {
    return push_mapped(stream, map, dst, bytes, length, callback, user, false, error);
}

extern "C" tamsel_status tamsel_array_stream_finish(tamsel_array_stream *stream,
                                                    const tamsel_map *map, void *dst,
                                                    tamsel_array_item_callback callback, void *user,
                                                    tamsel_error *error) {
    return push_mapped(stream, map, dst, nullptr, 0, callback, user, true, error);
}

extern "C" tamsel_status tamsel_array_stream_push_string(tamsel_array_stream *stream,
                                                         const void *bytes, size_t length,
                                                         const tamsel_string_chunk_handler *handler,
                                                         void *user, tamsel_error *error) {
    return push_chunks(stream, bytes, length, handler, user, false, error);
}

extern "C" tamsel_status
tamsel_array_stream_finish_string(tamsel_array_stream *stream,
                                  const tamsel_string_chunk_handler *handler, void *user,
                                  tamsel_error *error) {
    return push_chunks(stream, nullptr, 0, handler, user, true, error);
}

extern "C" tamsel_status
tamsel_array_stream_push_string_items(tamsel_array_stream *stream, const void *bytes, size_t length,
                                      tamsel_array_string_item_callback callback, void *user,
                                      tamsel_error *error) {
    return push_items(stream, bytes, length, callback, user, false, error);
}

extern "C" tamsel_status
tamsel_array_stream_finish_string_items(tamsel_array_stream *stream,
                                        tamsel_array_string_item_callback callback, void *user,
                                        tamsel_error *error) {
    return push_items(stream, nullptr, 0, callback, user, true, error);
}

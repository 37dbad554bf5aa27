// libcurl downloads of a JSON array's items: three adapters over one push-fed array stream,
// which keeps its own copy of the settings. Object items are parsed into the caller's record
// and handed to its callback; string items go to a chunk handler, or whole to an item
// callback.
#include "framing/internal.hpp"
#include "stream/internal.hpp"

#include <cstring>

namespace tamsel::framing {

namespace {

size_t write_items(tamsel_curl_array_parse *r, const char *data, size_t size, size_t nmemb);
size_t write_chunks(tamsel_curl_string_array_parse *r, const char *data, size_t size, size_t nmemb);
size_t write_strings(tamsel_curl_string_items_parse *r, const char *data, size_t size,
                     size_t nmemb);

void install(tamsel_curl_array_parse *r) {
    r->write = write_items;
    r->finish = tamsel_curl_array_parse_finish;
    r->cleanup = tamsel_curl_array_parse_cleanup;
}
void install(tamsel_curl_string_array_parse *r) {
    r->write = write_chunks;
    r->finish = tamsel_curl_string_array_parse_finish;
    r->cleanup = tamsel_curl_string_array_parse_cleanup;
}
void install(tamsel_curl_string_items_parse *r) {
    r->write = write_strings;
    r->finish = tamsel_curl_string_items_parse_finish;
    r->cleanup = tamsel_curl_string_items_parse_cleanup;
}

template <class R> void reset_record(R *r) {
    std::memset(r, 0, sizeof *r);
    install(r);
}

// The common start of the three initialisers: a genuine record's stream is closed, the
// record reset and marked, and the runtime borrowed.
template <class R>
tamsel_status begin_init(R *r, runtime_borrow &borrow, const tamsel_runtime *runtime) {
    if (curl_live(r, r->magic)) tamsel_array_stream_close(r->stream);
    reset_record(r);
    r->magic = curl_mark(r);
    return borrow.acquire(runtime, &r->error);
}

template <class R> tamsel_status open_stream(R *r, const runtime_borrow &borrow, const char *path) {
    stream::open_args args;
    args.settings = borrow.settings();
    args.path = path;
    args.input.kind = stream::input_kind::push;
    r->stream = stream::open(args, &r->error);
    return r->stream ? TAMSEL_STATUS_OK : r->error.code;
}

template <class R> tamsel_array_stream *stream_of(R *r) {
    return r && curl_live(r, r->magic) ? r->stream : nullptr;
}

// One write callback: the chunk is pushed whole; a truncated item (7) still accepts it.
template <class R, class Push>
size_t write_chunk(R *r, const char *data, size_t size, size_t nmemb, Push push) {
    tamsel_array_stream *s = stream_of(r);
    if (!s) return 0;
    size_t n;
    if (!curl_bytes(size, nmemb, &n)) {
        stream::refuse_input(s, TAMSEL_STATUS_OVERFLOW, "curl write size overflows", &r->error);
        return 0;
    }
    if (!data && n) return 0;
    const tamsel_status st = push(r, s, data, n);
    return st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED ? n : 0;
}

size_t write_items(tamsel_curl_array_parse *r, const char *data, size_t size, size_t nmemb) {
    return write_chunk(
        r, data, size, nmemb,
        [](tamsel_curl_array_parse *a, tamsel_array_stream *s, const char *d, size_t n) {
            return tamsel_array_stream_push(s, a->item_map, a->item_dst, d, n, a->callback, a->user,
                                            &a->error);
        });
}

size_t write_chunks(tamsel_curl_string_array_parse *r, const char *data, size_t size,
                    size_t nmemb) {
    return write_chunk(
        r, data, size, nmemb,
        [](tamsel_curl_string_array_parse *a, tamsel_array_stream *s, const char *d, size_t n) {
            return tamsel_array_stream_push_string(s, d, n, &a->handler, a->user, &a->error);
        });
}

size_t write_strings(tamsel_curl_string_items_parse *r, const char *data, size_t size,
                     size_t nmemb) {
    return write_chunk(
        r, data, size, nmemb,
        [](tamsel_curl_string_items_parse *a, tamsel_array_stream *s, const char *d, size_t n) {
            return tamsel_array_stream_push_string_items(s, d, n, a->callback, a->user, &a->error);
        });
}

template <class R> void cleanup(R *r) {
    if (!r || !curl_live(r, r->magic)) return;
    tamsel_array_stream_close(r->stream);
    reset_record(r);
}

} // namespace

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" tamsel_status tamsel_curl_array_parse_init(tamsel_curl_array_parse *record,
                                                      tamsel_runtime *runtime, const char *path,
                                                      const tamsel_map *item_map, void *item_dst,
                                                      tamsel_array_item_callback callback,
                                                      void *user) {
    if (!record) return TAMSEL_STATUS_INVALID_ARGUMENT;
    runtime_borrow borrow;
    TAMSEL_TRY(begin_init(record, borrow, runtime));
    if (!item_map || !item_dst || !callback)
        return fail(&record->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "map, destination, and callback are required");
    record->item_map = item_map;
    record->item_dst = item_dst;
    record->callback = callback;
    record->user = user;
    return open_stream(record, borrow, path);
}

extern "C" size_t tamsel_curl_array_write_callback(char *data, size_t size, size_t nmemb,
                                                   void *record) {
    return write_items(static_cast<tamsel_curl_array_parse *>(record), data, size, nmemb);
}

extern "C" tamsel_status tamsel_curl_array_parse_finish(tamsel_curl_array_parse *record) {
    tamsel_array_stream *s = stream_of(record);
    if (!s) return TAMSEL_STATUS_INVALID_ARGUMENT;
    return tamsel_array_stream_finish(s, record->item_map, record->item_dst, record->callback,
                                      record->user, &record->error);
}

extern "C" void tamsel_curl_array_parse_cleanup(tamsel_curl_array_parse *record) {
    cleanup(record);
}

extern "C" tamsel_status
tamsel_curl_string_array_parse_init(tamsel_curl_string_array_parse *record, tamsel_runtime *runtime,
                                    const char *path, const tamsel_string_chunk_handler *handler,
                                    void *user) {
    if (!record) return TAMSEL_STATUS_INVALID_ARGUMENT;
    runtime_borrow borrow;
    TAMSEL_TRY(begin_init(record, borrow, runtime));
    if (!handler || !handler->chunk)
        return fail(&record->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "string chunk handler is required");
    record->handler = *handler;
    record->user = user;
    return open_stream(record, borrow, path);
}

extern "C" size_t tamsel_curl_string_array_write_callback(char *data, size_t size, size_t nmemb,
                                                          void *record) {
    return write_chunks(static_cast<tamsel_curl_string_array_parse *>(record), data, size, nmemb);
}

extern "C" tamsel_status
tamsel_curl_string_array_parse_finish(tamsel_curl_string_array_parse *record) {
    tamsel_array_stream *s = stream_of(record);
    if (!s) return TAMSEL_STATUS_INVALID_ARGUMENT;
    return tamsel_array_stream_finish_string(s, &record->handler, record->user, &record->error);
}

extern "C" void tamsel_curl_string_array_parse_cleanup(tamsel_curl_string_array_parse *record) {
    cleanup(record);
}

extern "C" tamsel_status
tamsel_curl_string_items_parse_init(tamsel_curl_string_items_parse *record, tamsel_runtime *runtime,
                                    const char *path, tamsel_array_string_item_callback callback,
                                    void *user) {
    if (!record) return TAMSEL_STATUS_INVALID_ARGUMENT;
    runtime_borrow borrow;
    TAMSEL_TRY(begin_init(record, borrow, runtime));
    if (!callback)
        return fail(&record->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "string item callback is required");
    record->callback = callback;
    record->user = user;
    return open_stream(record, borrow, path);
}

extern "C" size_t tamsel_curl_string_items_write_callback(char *data, size_t size, size_t nmemb,
                                                          void *record) {
    return write_strings(static_cast<tamsel_curl_string_items_parse *>(record), data, size, nmemb);
}

extern "C" tamsel_status
tamsel_curl_string_items_parse_finish(tamsel_curl_string_items_parse *record) {
    tamsel_array_stream *s = stream_of(record);
    if (!s) return TAMSEL_STATUS_INVALID_ARGUMENT;
    return tamsel_array_stream_finish_string_items(s, record->callback, record->user,
                                                   &record->error);
}

extern "C" void tamsel_curl_string_items_parse_cleanup(tamsel_curl_string_items_parse *record) {
    cleanup(record);
}

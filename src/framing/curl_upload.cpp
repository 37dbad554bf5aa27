// libcurl upload of one record: the read callback pulls the serialized text from the pull
// generator embedded at the record's head, in whatever sizes libcurl asks for.
#include "framing/internal.hpp"
#include "serialize/internal.hpp"

#include <cstring>

namespace tamsel::framing {

namespace {

size_t read_method(tamsel_curl_upload *record, char *buffer, size_t size, size_t nitems);

void reset_record(tamsel_curl_upload *r) {
    std::memset(r, 0, sizeof *r);
    r->generator.read = tamsel_generator_read;
    r->generator.cleanup = tamsel_generator_cleanup;
    r->read = read_method;
    r->size = tamsel_curl_upload_size;
    r->cleanup = tamsel_curl_upload_cleanup;
}

size_t read_method(tamsel_curl_upload *r, char *buffer, size_t size, size_t nitems) {
    if (!buffer || !r || !curl_live(r, r->magic) || !r->generator.state)
        return TAMSEL_CURL_READFUNC_ABORT;
    size_t capacity;
    if (!curl_bytes(size, nitems, &capacity)) {
        fail(&r->generator.error, TAMSEL_STATUS_OVERFLOW, "curl read size overflows");
        return TAMSEL_CURL_READFUNC_ABORT;
    }
    if (capacity == 0) return 0;
    size_t produced = 0;
    int done = 0;
    if (tamsel_generator_read(&r->generator, buffer, capacity, &produced, &done) !=
        TAMSEL_STATUS_OK)
        return TAMSEL_CURL_READFUNC_ABORT;
    // 0 ends the upload: never say it while the document is unfinished.
    if (produced == 0 && !done) {
        fail(&r->generator.error, TAMSEL_STATUS_INTERNAL_ERROR,
             "upload generator made no progress");
        return TAMSEL_CURL_READFUNC_ABORT;
    }
    return produced;
}

} // namespace

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" tamsel_status tamsel_curl_upload_init(tamsel_curl_upload *record,
                                                 tamsel_runtime *runtime, const tamsel_map *map,
                                                 const void *src) {
    if (!record) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (curl_live(record, record->magic)) tamsel_generator_cleanup(&record->generator);
    reset_record(record);
    record->magic = curl_mark(record);
    write_snapshot snapshot;
    TAMSEL_TRY(take_write_snapshot(runtime, &snapshot, &record->generator.error));
    return serialize::generator_init_with_options(&record->generator, map, src, snapshot.options);
}

extern "C" size_t tamsel_curl_read_callback(char *buffer, size_t size, size_t nitems,
                                            void *record) {
    return read_method(static_cast<tamsel_curl_upload *>(record), buffer, size, nitems);
}

extern "C" int64_t tamsel_curl_upload_size(const tamsel_curl_upload *) {
    return TAMSEL_CURL_UNKNOWN_SIZE;
}

extern "C" void tamsel_curl_upload_cleanup(tamsel_curl_upload *record) {
    if (!record || !curl_live(record, record->magic)) return;
    tamsel_generator_cleanup(&record->generator);
    reset_record(record);
}

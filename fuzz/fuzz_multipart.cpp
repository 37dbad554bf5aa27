// Multipart bodies. Input: a flag byte (bits 0-1: the boundary, one of "b", "XyZ", "-b-" and
// "bound ary"; bits 2-7: max_body_buffer_bytes when nonzero, so small look-behind limits are
// reached), a count byte (low 4 bits) and that many piece sizes, then the body. Invariants:
// pushing the body in those pieces gives the same parts, headers, data, status, message and
// offset as pushing it whole; the part bytes delivered never exceed the body's length; no
// part_data call is empty.
#include "fuzz_support.hpp"

namespace {

struct recorder {
    std::string events;
    size_t data_bytes = 0;

    static int begin(void *u, const tamsel_multipart_part *p, tamsel_error *) {
        auto *r = static_cast<recorder *>(u);
        r->events += "B";
        r->events += p->name ? p->name : "-";
        r->events += p->filename ? p->filename : "-";
        r->events += p->content_type ? p->content_type : "-";
        r->events += std::to_string(p->content_length) + ":" + std::to_string(p->header_count);
        for (size_t i = 0; i < p->header_count; ++i)
            r->events += std::string(p->headers[i].name) + "=" + p->headers[i].value + ";";
        r->events += "D";
        return 0;
    }
    static int data(void *u, const void *bytes, size_t n, tamsel_error *) {
        auto *r = static_cast<recorder *>(u);
        FUZZ_CHECK(n > 0, "an empty part_data call");
        r->events.append(static_cast<const char *>(bytes), n);
        r->data_bytes += n;
        return 0;
    }
    static int end(void *u, const tamsel_multipart_part *, tamsel_error *) {
        static_cast<recorder *>(u)->events += "E";
        return 0;
    }
};

struct result {
    std::string events;
    tamsel_status status = TAMSEL_STATUS_OK;
    std::string message;
    size_t offset = 0;
    size_t data_bytes = 0;
};

result run(const char *type, const tamsel_multipart_options &o, const uint8_t *body, size_t size,
           const std::vector<size_t> &pieces) {
    result out;
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(type, &o, &e);
    FUZZ_CHECK(p, "open failed: %s", e.message);
    recorder r;
    const tamsel_multipart_callbacks cb{recorder::begin, recorder::data, recorder::end};
    tamsel_status st = TAMSEL_STATUS_OK;
    size_t at = 0, k = 0;
    while (at < size && st == TAMSEL_STATUS_OK) {
        size_t n = pieces.empty() ? size : pieces[k++ % pieces.size()];
        if (n > size - at) n = size - at;
        // A private copy of each piece, so that reading past it is caught.
        std::vector<uint8_t> piece(body + at, body + at + n);
        st = tamsel_multipart_push(p, piece.data(), n, &cb, &r, &e);
        at += n;
    }
    if (st == TAMSEL_STATUS_OK) st = tamsel_multipart_finish(p, &cb, &r, &e);
    out.events = r.events;
    out.status = st;
    out.message = st ? e.message : "";
    out.offset = st ? e.offset : 0;
    out.data_bytes = r.data_bytes;
    tamsel_multipart_close(p);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint8_t flags = in.take();
    const size_t count = in.take() & 15;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < count; ++i)
        pieces.push_back(1 + in.take());
    static const char *const types[] = {"m/x; boundary=b", "multipart/form-data; boundary=XyZ",
                                        "m/x; boundary=-b-", "m/x; boundary=\"bound ary\""};
    tamsel_multipart_options o = tamsel_default_multipart_options();
    o.max_body_buffer_bytes = flags >> 2;
    o.max_line_bytes = 256;
    o.max_header_count = 4;
    const char *type = types[flags & 3];
    const result whole = run(type, o, in.rest(), in.rest_size(), {});
    FUZZ_CHECK(whole.data_bytes <= in.rest_size(), "%zu part bytes from %zu body bytes",
               whole.data_bytes, in.rest_size());
    if (pieces.empty()) pieces.push_back(1);
    const result chunked = run(type, o, in.rest(), in.rest_size(), pieces);
    FUZZ_CHECK(chunked.events == whole.events && chunked.status == whole.status &&
                   chunked.message == whole.message && chunked.offset == whole.offset,
               "chunked: %d %s @%zu, whole: %d %s @%zu", chunked.status, chunked.message.c_str(),
               chunked.offset, whole.status, whole.message.c_str(), whole.offset);
    return 0;
}

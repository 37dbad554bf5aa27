// Test support for the multipart parser: a recorder that turns every callback into one text
// (part data concatenated per part, so chunking cannot show), and a driver that pushes a body
// in given pieces and finishes it.
#pragma once

#include "tamsel.h"

#include <cstring>
#include <string>
#include <vector>

namespace mp_test {

struct recorder {
    std::string events;    // "B[...]" per begin_part, "D<bytes>" per part, "E" per end_part
    std::string data;      // the current part's bytes
    size_t data_calls = 0; // part_data calls
    size_t data_bytes = 0; // every byte handed to part_data
    int fail_begin = 0, fail_data = 0, fail_end = 0; // return this from the callback
    tamsel_status fail_code = TAMSEL_STATUS_OK;      // and leave this code in the record

    static tamsel_multipart_callbacks callbacks();
};

// Describes a part for the event text: name, filename, content type, length, headers.
inline std::string describe(const tamsel_multipart_part &p);

struct outcome {
    tamsel_status status = TAMSEL_STATUS_OK; // the first failure (push or finish), else OK
    std::string message;
    size_t offset = 0;
    std::string events;
    size_t data_calls = 0;
    bool operator==(const outcome &o) const {
        return status == o.status && message == o.message && offset == o.offset &&
               events == o.events;
    }
};

// Opens a parser for `content_type`, pushes `body` cut at `cuts` (increasing offsets), stops at
// the first failure, else finishes. An open failure gives its status and message.
inline outcome parse(const std::string &content_type, const std::string &body,
                     const std::vector<size_t> &cuts = {},
                     const tamsel_multipart_options *options = nullptr);

namespace detail {

inline int on_begin(void *user, const tamsel_multipart_part *part, tamsel_error *error) {
    auto *r = static_cast<recorder *>(user);
    r->events += "B[" + describe(*part) + "]";
    if (r->fail_begin && r->fail_code) error->code = r->fail_code;
    return r->fail_begin;
}

inline int on_data(void *user, const void *bytes, size_t length, tamsel_error *error) {
    auto *r = static_cast<recorder *>(user);
    r->data.append(static_cast<const char *>(bytes), length);
    r->data_calls += 1;
    r->data_bytes += length;
    if (length == 0) r->events += "<empty data call>";
    if (r->fail_data && r->fail_code) error->code = r->fail_code;
    return r->fail_data;
}

inline int on_end(void *user, const tamsel_multipart_part *part, tamsel_error *error) {
    auto *r = static_cast<recorder *>(user);
    r->events += "D" + r->data + "E[" + describe(*part) + "]";
    r->data.clear();
    if (r->fail_end && r->fail_code) error->code = r->fail_code;
    return r->fail_end;
}

} // namespace detail

inline tamsel_multipart_callbacks recorder::callbacks() {
    return {detail::on_begin, detail::on_data, detail::on_end};
}

inline std::string describe(const tamsel_multipart_part &p) {
    std::string s;
    s += p.name ? std::string("name=") + p.name : "no-name";
    s += p.filename ? std::string(";file=") + p.filename : "";
    s += p.content_type ? std::string(";type=") + p.content_type : "";
    s += ";len=" + std::to_string(p.content_length);
    for (size_t i = 0; i < p.header_count; ++i)
        s += std::string(";") + p.headers[i].name + "=" + p.headers[i].value;
    return s;
}

inline outcome parse(const std::string &content_type, const std::string &body,
                     const std::vector<size_t> &cuts, const tamsel_multipart_options *options) {
    outcome out;
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(content_type.c_str(), options, &e);
    if (!p) {
        out.status = e.code;
        out.message = e.message;
        return out;
    }
    recorder r;
    const tamsel_multipart_callbacks cb = recorder::callbacks();
    size_t from = 0;
    tamsel_status st = TAMSEL_STATUS_OK;
    std::vector<size_t> ends = cuts;
    ends.push_back(body.size());
    for (size_t to : ends) {
        // A private copy per piece: the parser must not read past what it was given.
        std::string piece = body.substr(from, to - from);
        st = tamsel_multipart_push(p, piece.data(), piece.size(), &cb, &r, &e);
        from = to;
        if (st != TAMSEL_STATUS_OK) break;
    }
    if (st == TAMSEL_STATUS_OK) st = tamsel_multipart_finish(p, &cb, &r, &e);
    out.status = st;
    out.message = st ? e.message : "";
    out.offset = st ? e.offset : 0;
    out.events = r.events + (r.data.empty() ? "" : "D" + r.data);
    out.data_calls = r.data_calls;
    tamsel_multipart_close(p);
    return out;
}

} // namespace mp_test

// Test support for array streams: a small item record and its map, and drivers that run one
// input through a door (pull from a reader or a byte range, or push in given pieces) and
// describe what came out as one comparable transcript.
#pragma once

#include "stream/internal.hpp"
#include "support/event_log.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace stream_test {

struct item {
    int64_t id;
    char *name;
    char tag[4]; // fixed, truncating
};

inline const tamsel_map *item_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("id"), offsetof(item, id), TAMSEL_FIELD_I64, 0, 0,
                                      TAMSEL_FIELD_REQUIRED, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("name"), offsetof(item, name), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("tag"), offsetof(item, tag), TAMSEL_FIELD_STRING,
                                      TAMSEL_STORAGE_FIXED, TAMSEL_OVERFLOW_TRUNCATE, 0,
                                      sizeof(item{}.tag), 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"item", sizeof(item), f, 3, &m, nullptr};
    return &m;
}

inline std::string describe(const item &i) {
    return std::to_string(i.id) + ":" + (i.name ? i.name : "-") + (i.tag[0] ? "#" : "") + i.tag;
}

inline std::string describe_error(const tamsel_error &e) {
    return "status " + std::to_string(e.code) + " '" + e.message + "' at " +
           std::to_string(e.line) + ":" + std::to_string(e.column) + "/" + std::to_string(e.offset);
}

inline std::string describe_result(tamsel_stream_result r, const tamsel_error &e) {
    switch (r) {
    case TAMSEL_STREAM_END:
        return "END";
    case TAMSEL_STREAM_WOULD_BLOCK:
        return "BLOCK";
    case TAMSEL_STREAM_ERROR:
        return "ERROR " + describe_error(e);
    default:
        return "?";
    }
}

enum class kind { records, values, strings };

// Pulls every item out of `s`; the transcript lists the items, then the final result.
inline std::string drain(tamsel_array_stream *s, kind k) {
    std::string out;
    item it{};
    tamsel_json_value v;
    tamsel_json_value_init(nullptr, &v);
    tamsel_error e;
    tamsel_stream_result r;
    bool truncated = false;
    for (;;) {
        r = k == kind::records ? tamsel_array_stream_next(s, item_map(), &it, &e)
                               : tamsel_array_stream_next_value(s, &v, &e);
        if (r != TAMSEL_STREAM_ITEM) break;
        out += (k == kind::records ? describe(it) : std::string(v.data, v.len)) + ",";
        if (e.code == TAMSEL_STATUS_TRUNCATED && e.truncated) truncated = true;
    }
    tamsel_cleanup(item_map(), &it);
    tamsel_json_value_cleanup(&v);
    // A push reports a truncation once, at its end: so does the transcript.
    return out + "|" + describe_result(r, e) + (truncated ? "!7" : "");
}

// Opens a stream over `text` (root array, or the array under `path`) read through a reader
// handing out `step` bytes a call (0: random sizes), and drains it.
inline std::string pull_reader(tamsel_runtime *rt, const char *path, const std::string &text,
                               kind k, size_t step) {
    tamsel_test::chunked_reader reader{&text};
    reader.step = step;
    tamsel_error e;
    tamsel_array_stream *s =
        tamsel_array_stream_open_reader(rt, path, tamsel_test::chunked_reader::read, &reader, &e);
    if (!s) return "OPEN " + describe_error(e);
    std::string out = drain(s, k);
    tamsel_array_stream_close(s);
    return out;
}

struct push_log {
    std::string out;
    std::string string; // the string item being gathered from chunks
};

inline tamsel_status log_record(void *user, void *dst) {
    static_cast<push_log *>(user)->out += describe(*static_cast<item *>(dst)) + ",";
    return TAMSEL_STATUS_OK;
}

inline tamsel_status log_string_item(void *user, const char *text, size_t length, tamsel_error *) {
    static_cast<push_log *>(user)->out += std::string(text, length) + ",";
    return TAMSEL_STATUS_OK;
}

// Opens a push stream and pushes `text` cut at `cuts` (ascending), then finishes. The
// transcript lists the items, then "END" or the failure (as drain). Records, or string items
// (`strings`).
inline std::string push_pieces(tamsel_runtime *rt, const char *path, const std::string &text,
                               kind k, const std::vector<size_t> &cuts) {
    tamsel_error e;
    tamsel_array_stream *s = tamsel_array_stream_open_push(rt, path, &e);
    if (!s) return "OPEN " + describe_error(e);
    push_log log;
    item it{};
    tamsel_status st = TAMSEL_STATUS_OK;
    size_t at = 0;
    bool truncated = false;
    for (size_t i = 0; i <= cuts.size() && (st == TAMSEL_STATUS_OK || st == 7); ++i) {
        const size_t end = i < cuts.size() ? cuts[i] : text.size();
        if (k == kind::strings)
            st = tamsel_array_stream_push_string_items(s, text.data() + at, end - at,
                                                       log_string_item, &log, &e);
        else
            st = tamsel_array_stream_push(s, item_map(), &it, text.data() + at, end - at,
                                          log_record, &log, &e);
        at = end;
        truncated |= st == TAMSEL_STATUS_TRUNCATED;
    }
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED)
        st = k == kind::strings
                 ? tamsel_array_stream_finish_string_items(s, log_string_item, &log, &e)
                 : tamsel_array_stream_finish(s, item_map(), &it, log_record, &log, &e);
    tamsel_cleanup(item_map(), &it);
    tamsel_array_stream_close(s);
    if (st == TAMSEL_STATUS_TRUNCATED) {
        EXPECT_TRUE(e.truncated);
        return log.out + "|END!7";
    }
    EXPECT_FALSE(truncated && st == TAMSEL_STATUS_OK) << "a truncation is sticky";
    return log.out + "|" + (st == TAMSEL_STATUS_OK ? "END" : "ERROR " + describe_error(e));
}

inline std::vector<size_t> every(size_t step, size_t size) {
    std::vector<size_t> cuts;
    for (size_t i = step; i < size; i += step)
        cuts.push_back(i);
    return cuts;
}

} // namespace stream_test

// Test support for mapped parsing: feeding the internal parser in pieces, reading files, and
// a small twitter extraction map used by several suites.
#pragma once

#include "parse/parser.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace parse_test {

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string corpus(const char *name) {
    return slurp(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name);
}

// What a parse ended with: status and the whole position.
struct outcome {
    tamsel_status status = 0;
    std::string message;
    size_t offset = 0, line = 0, column = 0;
    int truncated = 0;
    bool operator==(const outcome &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const outcome &o) {
    return os << "status " << o.status << " '" << o.message << "' at " << o.line << ":" << o.column
              << " offset " << o.offset << (o.truncated ? " truncated" : "");
}

// Feeds `text` to a fresh parser in the pieces given by `cuts` (ascending split positions),
// then finishes. Mapped when `map` is set, any-root otherwise. The destination is initialised
// first when the runtime's options say so (tamsel_parse_* do the same). `utf8_check` turns the
// runtime's UTF-8 check on for the parse.
inline outcome feed_pieces(const std::string &text, const std::vector<size_t> &cuts,
                           const tamsel_map *map = nullptr, void *dst = nullptr,
                           const tamsel_parse_options *options = nullptr, bool utf8_check = false) {
    using namespace tamsel::parse;
    parser p;
    alignas(8) unsigned char workspace[workspace_bytes];
    init_args a;
    a.map = map;
    a.dst = dst;
    a.options = options;
    a.any_root = map == nullptr;
    a.workspace = workspace;
    tamsel_status st = parser_init(p, a);
    p.utf8_check = utf8_check;
    if (st == TAMSEL_STATUS_OK && map && p.options.init_destination)
        st = init_map_parse(p, *map, dst);
    size_t at = 0;
    for (size_t i = 0; st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED; ++i) {
        size_t end = i < cuts.size() ? cuts[i] : text.size();
        if (end < at) end = at;
        st = parser_feed(p, text.data() + at, end - at, nullptr, false);
        at = end;
        if (i >= cuts.size()) break;
    }
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) st = parser_finish(p);
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) unwind_mapped_streams(p);
    parser_destroy(p);
    return {st, p.error.message, p.error.offset, p.error.line, p.error.column, p.error.truncated};
}

inline std::vector<size_t> every(size_t step, size_t size) {
    std::vector<size_t> cuts;
    for (size_t i = step; i < size; i += step)
        cuts.push_back(i);
    return cuts;
}

// The twitter extraction: for each of statuses[] its id, text, user.screen_name,
// retweet_count and favorited.
struct tw_user {
    char *screen_name;
};
struct tw_status {
    int64_t id;
    char *text;
    tw_user user;
    int64_t retweet_count;
    int favorited;
};
struct tw_doc {
    tamsel_object_array statuses;
};

inline const tamsel_map *twitter_map() {
    static const tamsel_field user_fields[] = {{TAMSEL_KEY("screen_name"),
                                                offsetof(tw_user, screen_name), TAMSEL_FIELD_STRING,
                                                0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map user_map = {"user", sizeof(tw_user), user_fields,
                                        1,      &user_map,       nullptr};
    static const tamsel_field status_fields[] = {
        {TAMSEL_KEY("id"), offsetof(tw_status, id), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("text"), offsetof(tw_status, text), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
        {TAMSEL_KEY("user"), offsetof(tw_status, user), TAMSEL_FIELD_OBJECT, 0, 0, 0, 0, 0,
         &user_map, nullptr, 0, 0},
        {TAMSEL_KEY("retweet_count"), offsetof(tw_status, retweet_count), TAMSEL_FIELD_I64, 0, 0, 0,
         0, 0, nullptr, nullptr, 0, 0},
        {TAMSEL_KEY("favorited"), offsetof(tw_status, favorited), TAMSEL_FIELD_BOOL, 0, 0, 0, 0, 0,
         nullptr, nullptr, 0, 0},
    };
    static const tamsel_map status_map = {"status", sizeof(tw_status), status_fields,
                                          5,        &status_map,       nullptr};
    static const tamsel_field doc_fields[] = {{TAMSEL_KEY("statuses"), offsetof(tw_doc, statuses),
                                               TAMSEL_FIELD_OBJECT_ARRAY, 0, 0, 0, 0,
                                               sizeof(tw_status), &status_map, nullptr, 0, 0}};
    static const tamsel_map doc_map = {"doc", sizeof(tw_doc), doc_fields, 1, &doc_map, nullptr};
    return &doc_map;
}

// The extracted values as one comparable string.
inline std::string describe(const tw_doc &d) {
    std::string out;
    const auto *items = static_cast<const tw_status *>(d.statuses.items);
    for (size_t i = 0; i < d.statuses.count; ++i) {
        const tw_status &s = items[i];
        out += std::to_string(s.id) + "|" + (s.text ? s.text : "<null>") + "|" +
               (s.user.screen_name ? s.user.screen_name : "<null>") + "|" +
               std::to_string(s.retweet_count) + "|" + std::to_string(s.favorited) + "\n";
    }
    return out;
}

} // namespace parse_test

// Rewrite test support: a capturing sink, a chunking reader, corpus loading and the compact
// transcoding every keep-all rewrite must reproduce.
#pragma once

#include "tamsel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace rewrite_test {

struct capture {
    std::string out;
    size_t fail_at = 0; // 1-based call that fails with IO_ERROR; 0 = never
    size_t calls = 0;
    static tamsel_status sink(void *user, const void *data, size_t len, tamsel_error *) {
        auto *c = static_cast<capture *>(user);
        if (c->fail_at && ++c->calls == c->fail_at) return TAMSEL_STATUS_IO_ERROR;
        c->out.append(static_cast<const char *>(data), len);
        return TAMSEL_STATUS_OK;
    }
};

// Hands out `text` in pieces of `piece` bytes, the first piece `first` bytes long.
struct chunks {
    const std::string &text;
    size_t first;
    size_t piece;
    size_t pos = 0;
    static tamsel_read_result read(void *user, void *buffer, size_t capacity) {
        auto *c = static_cast<chunks *>(user);
        tamsel_read_result r = tamsel_default_read_result();
        size_t want = c->pos == 0 ? c->first : c->piece;
        size_t n = std::min({want, capacity, c->text.size() - c->pos});
        std::memcpy(buffer, c->text.data() + c->pos, n);
        c->pos += n;
        r.bytes = n;
        r.eof = c->pos == c->text.size();
        return r;
    }
};

inline std::string load_corpus(const char *name) {
    std::ifstream in(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline const char *const corpus_names[] = {"canada.json",        "citm_catalog.json",
                                           "github_events.json", "gsoc-2018.json",
                                           "mesh.json",          "twitter.json"};

// The document as the writer writes it compactly.
inline std::string compact(tamsel_runtime *rt, const std::string &json) {
    capture c;
    tamsel_writer w{};
    tamsel_error e{};
    EXPECT_EQ(tamsel_writer_init_sink(rt, &w, capture::sink, &c, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_writer_json_value_buffer(&w, json.data(), json.size(), &e), TAMSEL_STATUS_OK)
        << e.message;
    tamsel_writer_cleanup(&w);
    return c.out;
}

// A runtime with depth and value limits wide enough for the corpus.
inline tamsel_runtime *roomy_runtime(const tamsel_allocator *allocator = nullptr) {
    tamsel_config cfg = tamsel_default_config();
    cfg.max_depth = 1000;
    cfg.value_max_depth = 1000;
    cfg.allocator = allocator;
    return tamsel_new(&cfg, nullptr);
}

} // namespace rewrite_test

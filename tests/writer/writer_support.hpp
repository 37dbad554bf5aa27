// Writer test support: a sink that keeps what it is given (optionally truncating once full or
// failing at a given call), and a writer bound to it.
#pragma once

#include "tamsel.h"

#include <gtest/gtest.h>

#include <string>

namespace writer_test {

struct capture {
    std::string out;
    size_t calls = 0;
    size_t limit = SIZE_MAX; // TRUNCATED (the piece kept up to the limit) once reached
    size_t fail_at = 0;      // 1-based call that fails with IO_ERROR; 0 = never

    static tamsel_status sink(void *user, const void *data, size_t len, tamsel_error *) {
        auto *c = static_cast<capture *>(user);
        ++c->calls;
        if (c->fail_at && c->calls == c->fail_at) return TAMSEL_STATUS_IO_ERROR;
        const size_t room = c->out.size() < c->limit ? c->limit - c->out.size() : 0;
        c->out.append(static_cast<const char *>(data), len < room ? len : room);
        return len > room ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
    }
};

// A writer on a capture sink over its own runtime.
struct bound_writer {
    tamsel_runtime *rt = nullptr;
    tamsel_writer w{};
    capture c;
    tamsel_error e{};

    explicit bound_writer(const tamsel_config *config = nullptr) {
        rt = tamsel_new(config, nullptr);
        EXPECT_EQ(tamsel_writer_init_sink(rt, &w, capture::sink, &c, &e), TAMSEL_STATUS_OK);
    }
    ~bound_writer() {
        tamsel_writer_cleanup(&w);
        tamsel_free(rt);
    }
    bound_writer(const bound_writer &) = delete;
    bound_writer &operator=(const bound_writer &) = delete;
    tamsel_writer *operator->() { return &w; }
    tamsel_writer *get() { return &w; }
    const std::string &out() const { return c.out; }
};

} // namespace writer_test

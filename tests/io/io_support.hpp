// Helpers shared by the byte I/O tests: a scratch directory, a collecting sink, a scripted
// reader, and a signal that interrupts blocking system calls.
#pragma once

#include "io/internal.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace io_test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class scratch_dir {
  public:
    scratch_dir() {
        char templ[] = "/tmp/tamsel-io-test-XXXXXX";
        const char *made = ::mkdtemp(templ);
        EXPECT_NE(made, nullptr);
        path_ = made ? made : "/tmp";
    }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    const std::string &path() const { return path_; }
    const char *c_str() const { return path_.c_str(); }

    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        if (DIR *d = ::opendir(path_.c_str())) {
            while (dirent *e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    out.emplace_back(e->d_name);
            ::closedir(d);
        }
        return out;
    }

  private:
    std::string path_;
};

// Collects what a producer pushes; may fail (returning `fail_status`) on call `fail_on_call`.
struct collecting_sink {
    std::string bytes;
    size_t calls = 0;
    size_t fail_on_call = 0; // 1-based; 0 = never
    tamsel_status fail_status = TAMSEL_STATUS_CALLBACK_FAILED;
    tamsel_status ok_status = TAMSEL_STATUS_OK; // what a successful call returns (0 or 7)

    static tamsel_status sink(void *user, const void *data, size_t len, tamsel_error *) {
        auto *self = static_cast<collecting_sink *>(user);
        ++self->calls;
        if (self->fail_on_call != 0 && self->calls == self->fail_on_call) return self->fail_status;
        self->bytes.append(static_cast<const char *>(data), len);
        return self->ok_status;
    }
};

// A reader that replays a script of results; a step's text is copied into the buffer.
struct scripted_reader {
    struct step {
        std::string text;
        int eof = 0;
        int would_block = 0;
        int error_code = 0;
        size_t claimed = 0; // nonzero: report this many bytes whatever was copied
    };
    std::vector<step> steps;
    size_t next = 0;
    size_t calls = 0;

    static tamsel_read_result read(void *user, void *buffer, size_t capacity) {
        auto *self = static_cast<scripted_reader *>(user);
        ++self->calls;
        tamsel_read_result r = tamsel_default_read_result();
        if (self->next >= self->steps.size()) return r; // an endless run of empty results
        const step &s = self->steps[self->next++];
        size_t n = std::min(s.text.size(), capacity);
        std::memcpy(buffer, s.text.data(), n);
        r.bytes = s.claimed ? s.claimed : n;
        r.eof = s.eof;
        r.would_block = s.would_block;
        r.error_code = s.error_code;
        return r;
    }
};

// Writes `text` to `path` (truncating).
inline void write_file(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
    std::fclose(f);
}

// Deterministic bytes: every value 0..255 appears, so escaping or NUL handling bugs show.
inline std::string pattern(size_t n, unsigned seed = 7) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 8)) & 0xff);
    return s;
}

// Number of open descriptors of this process.
inline size_t open_fd_count() {
    size_t n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// SIGUSR1 with a handler installed without SA_RESTART, so blocking calls fail with EINTR.
inline void install_interrupting_handler() {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, nullptr), 0);
}

} // namespace io_test

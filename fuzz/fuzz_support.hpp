// Shared pieces of the fuzz targets: a failing check, a reader of option bytes at the front of
// an input, a counting allocator that can fail one chosen call, a reader that hands out the
// input in chosen pieces, and a sink that collects bytes. Header-only: each target is one
// translation unit, built for libFuzzer in the fuzz preset and with the replay main in dev.
#pragma once

#include "tamsel.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

// A broken invariant: say which and where, then abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n  ", __FILE__, __LINE__, #cond);    \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// Option bytes taken from the front of an input; what remains is the JSON text. An input
// shorter than the options reads zeros for the missing bytes.
class byte_taker {
  public:
    byte_taker(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t take() {
        if (pos_ == size_) return 0;
        return data_[pos_++];
    }
    uint16_t take16() {
        uint16_t hi = take();
        return static_cast<uint16_t>(hi << 8 | take());
    }
    const uint8_t *rest() const { return data_ + pos_; }
    size_t rest_size() const { return size_ - pos_; }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// An allocator over malloc that tracks every live block and fails the N-th allocating call
// (malloc, or a realloc that may need memory), counting from 1; 0 never fails.
class counting_allocator {
  public:
    counting_allocator() { allocator_ = {do_malloc, do_realloc, do_free, this, &stats}; }
    counting_allocator(const counting_allocator &) = delete;
    counting_allocator &operator=(const counting_allocator &) = delete;
    ~counting_allocator() {
        for (auto &[block, size] : live_)
            std::free(block);
    }

    const tamsel_allocator *get() const { return &allocator_; }
    void fail_at(uint64_t n) {
        fail_at_ = n;
        calls_ = 0;
        injected_ = false;
    }
    // While paused calls are served but neither counted nor failed.
    void pause() { paused_ = true; }
    void resume() { paused_ = false; }
    uint64_t calls() const { return calls_; }
    bool injected() const { return injected_; }
    size_t live_blocks() const { return live_.size(); }
    // The most bytes and blocks held at once since the last mark_peak(), above what was held
    // at the mark.
    void mark_peak() {
        base_bytes_ = peak_bytes_ = live_bytes_;
        base_blocks_ = peak_blocks_ = live_.size();
    }
    size_t peak_bytes_above_mark() const { return peak_bytes_ - base_bytes_; }
    size_t peak_blocks_above_mark() const { return peak_blocks_ - base_blocks_; }

    tamsel_alloc_stats stats{};

  private:
    bool should_fail() {
        if (paused_) return false;
        ++calls_;
        if (fail_at_ != 0 && calls_ == fail_at_) {
            injected_ = true;
            return true;
        }
        return false;
    }
    static void *do_malloc(void *user, size_t size) {
        auto *self = static_cast<counting_allocator *>(user);
        if (self->should_fail()) return nullptr;
        void *p = std::malloc(size ? size : 1);
        if (p) self->add(p, size);
        return p;
    }
    static void *do_realloc(void *user, void *block, size_t size) {
        auto *self = static_cast<counting_allocator *>(user);
        if (block) FUZZ_CHECK(self->live_.count(block), "realloc of a block never handed out");
        if (self->should_fail()) return nullptr;
        void *p = std::realloc(block, size ? size : 1);
        if (!p) return nullptr;
        if (block) self->remove(block);
        self->add(p, size);
        return p;
    }
    static void do_free(void *user, void *block) {
        auto *self = static_cast<counting_allocator *>(user);
        if (!block) return;
        FUZZ_CHECK(self->live_.count(block), "free of a block never handed out");
        self->remove(block);
        std::free(block);
    }

    void add(void *p, size_t size) {
        live_[p] = size;
        live_bytes_ += size;
        if (live_bytes_ > peak_bytes_) peak_bytes_ = live_bytes_;
        if (live_.size() > peak_blocks_) peak_blocks_ = live_.size();
    }
    void remove(void *p) {
        auto it = live_.find(p);
        live_bytes_ -= it->second;
        live_.erase(it);
    }

    tamsel_allocator allocator_{};
    std::unordered_map<void *, size_t> live_;
    size_t live_bytes_ = 0, peak_bytes_ = 0, base_bytes_ = 0;
    size_t peak_blocks_ = 0, base_blocks_ = 0;
    uint64_t calls_ = 0;
    uint64_t fail_at_ = 0;
    bool injected_ = false;
    bool paused_ = false;
};

// A reader over a byte range that hands out pieces of chosen sizes, cycling through `plan`.
// A plan entry of 0 is an empty result (neither eof nor would_block); with `would_block_on_zero`
// it is a would-block result instead. Pieces are cut to the reader's capacity. The last bytes
// come with eof.
struct piece_reader {
    piece_reader(const uint8_t *bytes, size_t size) : data(bytes), len(size) {}

    const uint8_t *data;
    size_t len;
    size_t pos = 0;
    std::vector<uint8_t> plan; // empty: everything that fits in one call
    size_t step = 0;
    bool would_block_on_zero = false;
    unsigned empty_run = 0; // empty results in a row, kept below the reader-progress limit

    static tamsel_read_result read(void *user, void *buffer, size_t capacity) {
        auto *r = static_cast<piece_reader *>(user);
        tamsel_read_result out = tamsel_default_read_result();
        size_t want = capacity;
        if (!r->plan.empty()) {
            const uint8_t p = r->plan[r->step++ % r->plan.size()];
            if (p == 0 && r->pos < r->len && r->empty_run < 8) {
                ++r->empty_run;
                out.would_block = r->would_block_on_zero;
                return out;
            }
            want = p == 0 ? 1 : p;
        }
        r->empty_run = 0;
        size_t n = r->len - r->pos;
        if (n > want) n = want;
        if (n > capacity) n = capacity;
        if (n) std::memcpy(buffer, r->data + r->pos, n);
        r->pos += n;
        out.bytes = n;
        out.eof = r->pos == r->len;
        return out;
    }
};

// Takes up to 15 piece sizes from the front of an input.
inline std::vector<uint8_t> take_plan(byte_taker &in) {
    std::vector<uint8_t> plan(in.take() & 15);
    for (auto &p : plan)
        p = in.take();
    return plan;
}

inline tamsel_status append_sink(void *user, const void *data, size_t len, tamsel_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
    return TAMSEL_STATUS_OK;
}

// What an operation ended with, as one comparable string.
inline std::string describe(tamsel_status st, const tamsel_error &e) {
    char head[128];
    std::snprintf(head, sizeof head, "status %u at %zu:%zu offset %zu%s errno %d: ", st, e.line,
                  e.column, e.offset, e.truncated ? " truncated" : "", e.system_errno);
    return head + std::string(e.message);
}

// The one-shot validator's limits of its own: the depth limit and its fixed token workspace
// (a long key, number or string at depth). Such a refusal says nothing about the text.
inline bool validator_limit(tamsel_status st, const tamsel_error &e) {
    return st == TAMSEL_STATUS_OVERFLOW || (st == TAMSEL_STATUS_ALLOCATION_FAILED &&
                                            std::strncmp(e.message, "failed to append ", 17) == 0);
}

inline bool is_json_whitespace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace fuzz

// Runtime core: what every other subsystem may call.
//
// - Error reporting: tamsel__set_error, clear_error and the TAMSEL_TRY forwarding macro.
// - Checked size arithmetic, used wherever a caller or the input controls a size.
// - The allocator layer: the all-or-none rule, owned blocks (with the 64-byte header that
//   names their allocator), raw output buffers (no header) and the allocation statistics.
// - The runtime settings record, borrowing (RAII), and the snapshots long-lived objects take.
#pragma once

#include "tamsel.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>

// Forward a non-OK status (TRUNCATED included: callers that tolerate it check explicitly).
#define TAMSEL_TRY(expr)                                                                           \
    do {                                                                                           \
        tamsel_status tamsel_try_status_ = (expr);                                                 \
        if (tamsel_try_status_ != TAMSEL_STATUS_OK) return tamsel_try_status_;                     \
    } while (0)

// Fills `error` (if not NULL) and returns `code`. Positions come in the order offset, line,
// column; callers outside the parser pass 0, 0, 0. Status 7 also sets the sticky `truncated`.
__attribute__((format(printf, 6, 7))) tamsel_status
tamsel__set_error(tamsel_error *error, tamsel_status code, size_t offset, size_t line,
                  size_t column, const char *format, ...);

namespace tamsel {

// Records `code` with a fixed message and positions 0.
__attribute__((format(printf, 3, 4))) tamsel_status fail(tamsel_error *error, tamsel_status code,
                                                         const char *format, ...);

// Records status 10 "failed to open '<path>'" with the current errno in system_errno (the
// record is cleared first); `line` is 1 for the stream and validate openers, else 0.
tamsel_status open_failed(tamsel_error *error, const char *path, size_t line);

// What an accepted operation does before working.
inline void clear_error(tamsel_error *error) {
    tamsel_error_init(error);
}

// ---- checked arithmetic -------------------------------------------------------------------

[[nodiscard]] inline bool checked_add(size_t a, size_t b, size_t *out) {
    return !__builtin_add_overflow(a, b, out);
}
[[nodiscard]] inline bool checked_mul(size_t a, size_t b, size_t *out) {
    return !__builtin_mul_overflow(a, b, out);
}
// A u64 limit as a size_t, saturating where size_t is narrower.
[[nodiscard]] constexpr size_t clamp_to_size(uint64_t v) {
    return v > std::numeric_limits<size_t>::max() ? std::numeric_limits<size_t>::max()
                                                  : static_cast<size_t>(v);
}
// Next capacity for a buffer that must hold `needed` bytes: doubles from `current` (or from
// `initial` when empty) and never exceeds `limit`. Returns false when `needed` > `limit`.
[[nodiscard]] inline bool grow_capacity(size_t current, size_t needed, size_t initial, size_t limit,
                                        size_t *out) {
    if (needed > limit) return false;
    size_t cap = current ? current : initial;
    while (cap < needed) {
        if (cap > limit / 2) {
            cap = limit;
            break;
        }
        cap *= 2;
    }
    *out = cap < needed ? needed : (cap > limit ? limit : cap);
    return true;
}

// ---- spin locks ---------------------------------------------------------------------------

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// A 32-bit word taken with an atomic exchange (acquire), released with a store (release).
// Waiters spin on plain loads so the cache line is not bounced while it is held.
class spin_lock {
  public:
    void lock() noexcept {
        while (word_.exchange(1, std::memory_order_acquire) != 0)
            while (word_.load(std::memory_order_relaxed) != 0)
                cpu_relax();
    }
    void unlock() noexcept { word_.store(0, std::memory_order_release); }

  private:
    std::atomic<uint32_t> word_{0};
};

class spin_guard {
  public:
    explicit spin_guard(spin_lock &lock) noexcept : lock_(lock) { lock_.lock(); }
    ~spin_guard() { lock_.unlock(); }
    spin_guard(const spin_guard &) = delete;
    spin_guard &operator=(const spin_guard &) = delete;

  private:
    spin_lock &lock_;
};

// ---- allocators ---------------------------------------------------------------------------

// Applies the all-or-none rule. Returns false for a partial allocator. Otherwise `*out` is
// the allocator to use: `a` itself, or the process allocator (NULL user_data and stats) when
// `a` is NULL or has no callbacks.
[[nodiscard]] bool resolve_allocator(const tamsel_allocator *a, tamsel_allocator *out);
// The same, recording status 1 "allocator must provide either all callbacks or none".
[[nodiscard]] tamsel_status require_allocator(const tamsel_allocator *a, tamsel_allocator *out,
                                              tamsel_error *error);
// True when `a` is NULL or all three callbacks are NULL.
[[nodiscard]] bool allocator_is_default(const tamsel_allocator *a);
// Resolves like resolve_allocator but falls back to the default for a partial allocator
// (for objects that only inherit an allocator).
[[nodiscard]] tamsel_allocator inherit_allocator(const tamsel_allocator *a);

// Statistics updates, each under the process-wide statistics lock. NULL stats do nothing.
void stats_on_alloc(tamsel_alloc_stats *stats, uint64_t bytes);
void stats_on_realloc(tamsel_alloc_stats *stats, uint64_t old_bytes, uint64_t new_bytes);
void stats_on_free(tamsel_alloc_stats *stats, uint64_t bytes);

// The header in front of every library-owned block (64 bytes).
struct alloc_header {
    void *(*malloc_fn)(void *, size_t);
    void *(*realloc_fn)(void *, void *, size_t);
    void (*free_fn)(void *, void *);
    void *user_data;
    tamsel_alloc_stats *stats;
    uint64_t size;          // payload bytes (a duplicated string: length + 1)
    uint64_t charge_owner;  // the parse that charged this block to its budget, or 0
    uint64_t charged_bytes; // bytes charged to that owner
};
inline constexpr size_t alloc_header_size = 64;
static_assert(sizeof(alloc_header) <= alloc_header_size);

[[nodiscard]] inline alloc_header *header_of(void *block) {
    return reinterpret_cast<alloc_header *>(static_cast<unsigned char *>(block) -
                                            alloc_header_size);
}
[[nodiscard]] inline const alloc_header *header_of(const void *block) {
    return reinterpret_cast<const alloc_header *>(static_cast<const unsigned char *>(block) -
                                                  alloc_header_size);
}

// Owned blocks. `a` may be NULL (default allocator). A size whose header arithmetic would
// overflow fails like an allocator returning NULL.
[[nodiscard]] void *owned_alloc(const tamsel_allocator *a, size_t size);
// Resizes `block` (NULL: an owned allocation with `a`). Size 0 returns the block unchanged.
// On failure returns NULL and the block stays valid.
[[nodiscard]] void *owned_realloc(const tamsel_allocator *a, void *block, size_t size);
void owned_free(void *block);
// Copies a NUL-terminated string (NULL in, NULL out).
[[nodiscard]] char *owned_strdup(const tamsel_allocator *a, const char *text);
// Copies `len` bytes and appends a NUL.
[[nodiscard]] char *owned_strndup(const tamsel_allocator *a, const char *text, size_t len);
[[nodiscard]] inline size_t owned_size(const void *block) {
    return block ? static_cast<size_t>(header_of(block)->size) : 0;
}

// Raw buffers (output buffers: no header; the owner keeps the allocator and capacity).
// `a` must already be resolved (resolve_allocator). Returns NULL on failure (block intact).
[[nodiscard]] void *raw_realloc(const tamsel_allocator &a, void *block, size_t old_capacity,
                                size_t new_capacity);
void raw_free(const tamsel_allocator &a, void *block, size_t capacity);

// Owns one owned block until released or moved out.
class owned_block {
  public:
    owned_block() = default;
    explicit owned_block(void *p) noexcept : p_(p) {}
    owned_block(owned_block &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    owned_block &operator=(owned_block &&o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~owned_block() { owned_free(p_); }
    owned_block(const owned_block &) = delete;
    owned_block &operator=(const owned_block &) = delete;

    [[nodiscard]] void *get() const noexcept { return p_; }
    [[nodiscard]] void *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(void *p = nullptr) noexcept { owned_free(std::exchange(p_, p)); }

  private:
    void *p_ = nullptr;
};

// The running call of an object that calls back into its caller (streams, parsers): a call
// into the object from one of those callbacks is refused, and a close made there waits for
// the running call, which frees the object as it returns.
struct running_call {
    bool in_call = false;
    bool close_pending = false;

    // Status 1 with `message` when a call comes from one of the object's own callbacks.
    [[nodiscard]] bool refuses(tamsel_error *error, const char *message) const {
        if (!in_call) return false;
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
        return true;
    }
    // Whether a close may free the object now; otherwise the running call will.
    [[nodiscard]] bool close_now() noexcept {
        close_pending = in_call;
        return !in_call;
    }
    // Runs `body` as the running call, then `close` if a callback closed the object meanwhile.
    template <class Body, class Close> auto run(Body body, Close close) {
        in_call = true;
        const auto result = body();
        in_call = false;
        if (close_pending) close();
        return result;
    }
};

// The address-keyed mark of records embedded in caller structs: a copied or never
// initialised record does not carry its own address's mark.
[[nodiscard]] inline uint32_t address_mark_at(uintptr_t address, uint32_t magic) {
    return static_cast<uint32_t>((address >> 9) ^ (address >> 4) ^ magic);
}
[[nodiscard]] inline uint32_t address_mark(const void *record, uint32_t magic) {
    return address_mark_at(reinterpret_cast<uintptr_t>(record), magic);
}

// A stream the library opened itself; closed on every exit path. Never wraps a caller's FILE*.
class unique_file {
  public:
    unique_file() = default;
    explicit unique_file(FILE *f) noexcept : f_(f) {}
    unique_file(unique_file &&o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    unique_file &operator=(unique_file &&o) noexcept {
        if (this != &o) reset(std::exchange(o.f_, nullptr));
        return *this;
    }
    ~unique_file() { reset(); }
    unique_file(const unique_file &) = delete;
    unique_file &operator=(const unique_file &) = delete;

    [[nodiscard]] FILE *get() const noexcept { return f_; }
    [[nodiscard]] FILE *release() noexcept { return std::exchange(f_, nullptr); }
    void reset(FILE *f = nullptr) noexcept {
        if (FILE *old = std::exchange(f_, f)) std::fclose(old);
    }
    explicit operator bool() const noexcept { return f_ != nullptr; }
    // Closes now and reports whether the close (the final flush) succeeded.
    [[nodiscard]] bool close() noexcept {
        FILE *f = std::exchange(f_, nullptr);
        return !f || std::fclose(f) == 0;
    }

  private:
    FILE *f_ = nullptr;
};

} // namespace tamsel

// ---- runtime --------------------------------------------------------------------------------

// The settings record every operation reads. Live runtimes own one; long-lived objects embed
// a snapshot copy (owner NULL) that they release with tamsel__runtime_free_owned_config.
struct tamsel_runtime_settings {
    std::atomic<tamsel_runtime *> owner;
    tamsel_config config; // strings point at owned[], allocator at allocator_copy (or NULL)
    tamsel_allocator allocator_copy;
    // owned[0..2]: duplicates of the spool temp_dir strings; owned[3]: a snapshot's private
    // fixed-string scratch buffer.
    void *owned[4];
    tamsel_parse_options parse_options;
    tamsel_value_limits value_limits;
    tamsel_write_options write_options;
    tamsel_spool_options spool[TAMSEL_SPOOL_CLASS_COUNT];
    // Taken by a one-shot parse that stages fixed strings in the shared scratch buffer, so two
    // threads never stage into it at once; a parse that finds it taken stages elsewhere.
    mutable std::atomic<uint32_t> scratch_busy;
    // 1: strings and keys of the JSON text read through this runtime must be well-formed
    // UTF-8 (tamsel_set_utf8_check). The one setting that may change while the runtime lives:
    // each operation reads it once when it starts, long-lived objects with their snapshot.
    mutable std::atomic<uint32_t> utf8_check;

    [[nodiscard]] bool checks_utf8() const {
        return utf8_check.load(std::memory_order_acquire) != 0;
    }
};

// What a borrow hands back for its release.
struct tamsel_borrow_token {
    const tamsel_runtime_settings *settings = nullptr;
    void *node = nullptr; // registry node whose borrow count was raised
};

// Borrows a live runtime; NULL when the handle is NULL, freed, closing or forged.
[[nodiscard]] const tamsel_runtime_settings *
tamsel__runtime_borrow_const(const tamsel_runtime *runtime, tamsel_borrow_token *token);
// As above; on failure records status 1 "tamsel runtime is required".
[[nodiscard]] const tamsel_runtime_settings *
tamsel__require_runtime_borrow(const tamsel_runtime *runtime, tamsel_borrow_token *token,
                               tamsel_error *error);
void tamsel__runtime_release(tamsel_borrow_token *token);
// Frees the four owned pointers of a settings record and sets them to NULL.
void tamsel__runtime_free_owned_config(tamsel_runtime_settings *settings);

namespace tamsel {

// A borrow held for the lifetime of the object: every return path releases it.
class runtime_borrow {
  public:
    runtime_borrow() = default;
    ~runtime_borrow() { tamsel__runtime_release(&token_); }
    runtime_borrow(const runtime_borrow &) = delete;
    runtime_borrow &operator=(const runtime_borrow &) = delete;

    // Borrows `runtime`; records "tamsel runtime is required" and returns status 1 if not live.
    [[nodiscard]] tamsel_status acquire(const tamsel_runtime *runtime, tamsel_error *error) {
        return tamsel__require_runtime_borrow(runtime, &token_, error)
                   ? TAMSEL_STATUS_OK
                   : TAMSEL_STATUS_INVALID_ARGUMENT;
    }
    // Borrows if live; false (nothing recorded) otherwise.
    [[nodiscard]] bool try_acquire(const tamsel_runtime *runtime) {
        return tamsel__runtime_borrow_const(runtime, &token_) != nullptr;
    }
    [[nodiscard]] const tamsel_runtime_settings *settings() const { return token_.settings; }

  private:
    tamsel_borrow_token token_;
};

// The defaults used by operations that run without a live runtime.
[[nodiscard]] const tamsel_runtime_settings &default_settings();

// Copy of a runtime's write options whose allocator points at the snapshot's own copy, never
// into the runtime, so serialization may outlive a concurrent tamsel_free.
struct write_snapshot {
    tamsel_write_options options{};
    tamsel_allocator allocator{};

    write_snapshot() = default;
    write_snapshot(const write_snapshot &) = delete;
    write_snapshot &operator=(const write_snapshot &) = delete;
};
[[nodiscard]] tamsel_status take_write_snapshot(const tamsel_runtime *runtime, write_snapshot *out,
                                                tamsel_error *error);

// Copy of a runtime's value limits and allocator (the visitor's options).
struct visit_snapshot {
    tamsel_value_limits limits{};
    tamsel_allocator allocator{}; // resolved: never partial
    bool utf8_check = false;      // strings and keys must be well-formed UTF-8
    visit_snapshot() = default;
    visit_snapshot(const visit_snapshot &) = delete;
    visit_snapshot &operator=(const visit_snapshot &) = delete;
};
[[nodiscard]] tamsel_status take_visit_snapshot(const tamsel_runtime *runtime, visit_snapshot *out,
                                                tamsel_error *error);

// Fills `dst` with a private copy of `src` (NULL `src` leaves `dst` empty): option records,
// the allocator, duplicated spool directories and, when `src` names one, a private
// fixed-string scratch buffer of the same size. Every pointer in `dst` points into `dst`.
// On failure `dst` owns nothing. Release with tamsel__runtime_free_owned_config.
[[nodiscard]] tamsel_status settings_snapshot(tamsel_runtime_settings *dst,
                                              const tamsel_runtime_settings *src,
                                              tamsel_error *error);

// Test hook: sets the generation counter (registry lock held), returning the old value.
uint32_t runtime_set_generation_counter_for_testing(uint32_t value);

} // namespace tamsel

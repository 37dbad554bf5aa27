// Value visiting: what other subsystems may call.
#pragma once

#include "core/internal.hpp"
#include "io/output.hpp"
#include "visit/cursor.hpp"

namespace tamsel::visit {

// Limits as the walker applies them: zeros in the first four members take their defaults.
[[nodiscard]] tamsel_value_limits effective_limits(const tamsel_value_limits &limits);

// Walks exactly one JSON value from `cursor`, reporting it to `visitor`. `allocator` must be
// resolved (it serves the nesting stack beyond its inline part and long number tokens).
// `trailing_message` is the failure recorded when more than whitespace follows the value.
// With `utf8_check`, strings and keys must be well-formed UTF-8 (status 2 "invalid UTF-8 in
// string" or "... in key" at the first bad byte).
// Returns the root value's last callback status (OK or TRUNCATED), a callback's failing
// status unchanged, or the failure recorded in the cursor's error record.
[[nodiscard]] tamsel_status walk_value(input_cursor &cursor, const tamsel_value_limits &limits,
                                       const tamsel_allocator &allocator,
                                       const tamsel_value_visitor &visitor, void *user,
                                       const char *trailing_message, bool utf8_check);

// The same walk with strings passed through as written (escapes checked but not decoded, so
// surrogates are not paired) and no value limits: the reading half of the transcoder.
[[nodiscard]] tamsel_status walk_raw_value(input_cursor &cursor, const tamsel_allocator &allocator,
                                           const tamsel_value_visitor &visitor, void *user,
                                           const char *trailing_message);

// ---- the span engine ----------------------------------------------------------------------
//
// Whole values read from a cursor, checked token by token exactly as the walker checks them
// (statuses, messages, positions, limits, the UTF-8 check), and copied to an output as compact
// text in spans of the input's own bytes (span.cpp).

// Receives the decoded keys of the objects inside copied and skipped values (a duplicate-key
// check). A whole key that lies plain in the window comes in one key() call; any other key as
// key_begin, key_chunk for each piece, key_end. A failing status stops the copy and is its
// result, with the error record as the watch left it.
// A number token gathered across windows: 256 bytes in place, then a block from the allocator
// that grows up to the number limit.
class number_text {
  public:
    static constexpr size_t inline_bytes = 256;

    explicit number_text(const tamsel_allocator &allocator) : allocator_(allocator) {}
    ~number_text() {
        if (heap_) raw_free(allocator_, heap_, heap_capacity_);
    }
    number_text(const number_text &) = delete;
    number_text &operator=(const number_text &) = delete;

    // Appends `n` bytes to the `*len` gathered so far, `max` in all: OK, OVERFLOW when the
    // block cannot grow that far, ALLOCATION_FAILED. The caller checks `max` against the
    // token first, to place its error.
    [[nodiscard]] tamsel_status append(const uint8_t *p, size_t n, size_t max, size_t *len) {
        const size_t need = *len + n;
        size_t capacity = heap_ ? heap_capacity_ : inline_bytes;
        if (need > capacity) {
            size_t grown;
            if (!grow_capacity(capacity, need, inline_bytes, max, &grown))
                return TAMSEL_STATUS_OVERFLOW;
            void *block = raw_realloc(allocator_, heap_, heap_capacity_, grown);
            if (!block) return TAMSEL_STATUS_ALLOCATION_FAILED;
            if (!heap_) std::memcpy(block, inline_, *len);
            heap_ = static_cast<uint8_t *>(block);
            heap_capacity_ = grown;
        }
        std::memcpy(data() + *len, p, n);
        *len = need;
        return TAMSEL_STATUS_OK;
    }
    // Gathers the number token that starts at `start` and runs to the end of the cursor's
    // window, across windows, held to `max` bytes: on OK the token is the `*len` bytes at
    // data() and the cursor stands after it. A failure leaves its words in `*message` with
    // the cursor where it is reported (past the limit: on the first byte beyond it), or NULL
    // there for a read failure, which the cursor has recorded. The token is not checked.
    [[nodiscard]] tamsel_status gather(input_cursor &cursor, const uint8_t *start, size_t max,
                                       size_t *len, const char **message);
    uint8_t *data() { return heap_ ? heap_ : inline_; }
    // The message of a failed append.
    static const char *message(tamsel_status st) {
        return st == TAMSEL_STATUS_OVERFLOW ? "JSON number exceeds maximum byte limit"
                                            : "failed to allocate JSON number buffer";
    }

  private:
    const tamsel_allocator &allocator_;
    uint8_t *heap_ = nullptr;
    size_t heap_capacity_ = 0;
    uint8_t inline_[inline_bytes];
};

class key_watch {
  public:
    virtual tamsel_status object_begin(tamsel_error *error) = 0;
    virtual void object_end() = 0;
    virtual tamsel_status key(const void *bytes, size_t len, tamsel_error *error) = 0;
    virtual tamsel_status key_begin(tamsel_error *error) = 0;
    virtual tamsel_status key_chunk(const void *bytes, size_t len, tamsel_error *error) = 0;
    virtual tamsel_status key_end(tamsel_error *error) = 0;

  protected:
    ~key_watch() = default;
};

// How values are copied. Compact text drops the whitespace between tokens and keeps every other
// byte as it stands, except in strings, which are written as the library's text rules write
// their decoded bytes (escapes decoded, then escaped again where the rules escape: `\/` and
// `\u00e9` change, `\n` and `\u0001` stay); with `keep_escapes` strings are copied as written,
// as JSON value holders keep them. Numbers are always copied as written.
struct span_copy {
    io::byte_output *out = nullptr; // NULL: values are checked and nothing is written
    key_watch *keys = nullptr;
    bool keep_escapes = false;
    // A driver's own bound on open containers (the array rewrite's 64 frames), checked after the
    // walk's depth limit and reported as the driver reports it: `frame_message`, status 6,
    // positions 0.
    uint64_t frame_limit = UINT64_MAX;
    const char *frame_message = nullptr;
};

// One value from `cursor` (leading and trailing whitespace allowed) copied compactly into
// `copy.out`, or only checked when it is NULL. `limits` as walk_value takes them; the failures
// are the walk's (`trailing_message` when more than whitespace follows), or an output's failing
// status. Output owners see only what precedes a failure's token; what they got stays.
[[nodiscard]] tamsel_status compact_value(input_cursor &cursor, const tamsel_value_limits &limits,
                                          const tamsel_allocator &allocator, const span_copy &copy,
                                          const char *trailing_message, bool utf8_check);

// What a driven walk does with a value.
enum class route : uint8_t {
    visit, // its events go to the visitor, as in any walk
    copy,  // copied compactly into the driver's output, no events
    skip,  // checked, no events, nothing written
};

// The driver of a walk that mixes events and spans: it routes every value (the root, members,
// elements) before the visitor hears of it.
class walk_driver {
  public:
    // A value starts: `first` is its first byte, already taken (a quote, '-', a digit, 't',
    // 'f', 'n', '[' or '{'). Sets `*how`; a failing status stops the walk.
    virtual tamsel_status value_start(int first, route *how, tamsel_error *error) = 0;
    // A copied or skipped value has ended; its status is the value's.
    virtual tamsel_status value_end(tamsel_error *error) = 0;
    // What follows a walk's value when more than whitespace does (NULL: the walk's own).
    [[nodiscard]] virtual const char *trailing_message() const { return nullptr; }

    // How values are copied; read when each copy starts, so value_start may change `out`.
    span_copy copy;
    // Copied and skipped values count their nesting from their own root (the array stream's
    // items) instead of from the walk's.
    bool own_depth = false;

  protected:
    ~walk_driver() = default;
};

// walk_value with `driver` routing the values.
[[nodiscard]] tamsel_status walk_value(input_cursor &cursor, const tamsel_value_limits &limits,
                                       const tamsel_allocator &allocator,
                                       const tamsel_value_visitor &visitor, void *user,
                                       const char *trailing_message, bool utf8_check,
                                       walk_driver &driver);

} // namespace tamsel::visit

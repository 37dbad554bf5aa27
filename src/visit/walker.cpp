// The value walker: reads exactly one JSON value from an input cursor and reports it to a
// visitor table as a flat sequence of events.
//
// The walk is a loop over an explicit stack of open containers, one byte per level (kind and
// whether a member was seen), kept inline for the usual depths and grown through the visit's
// allocator beyond; the input's nesting depth never reaches the machine stack.
//
//   value    := string | number | literal | '[' -> push array | '{' -> push object
//   in array : ']' -> array_end, pop | (',' if not first) value
//   in object: '}' -> object_end, pop | (',' if not first) '"' key ':' value
//
// Plain string bytes are scanned a run at a time and handed to the chunk callback straight
// from the input window; escapes are decoded and delivered as their own chunks.
//
// A driven walk (walk_driver) asks its driver about every value before the visitor hears of it:
// a value routed to be copied or skipped goes to the span engine (span.cpp) whole, and only the
// driver's value_end follows it.
#include "text/internal.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"
#include "visit/internal.hpp"
#include "visit/span.hpp"

#include <array>
#include <cstring>

namespace tamsel::visit {

namespace {

constexpr uint8_t frame_object = 1;
constexpr uint8_t frame_has_members = 2;
constexpr size_t inline_depth = 256;

using scan::digit;
using scan::number_chars;

// whole_escape's answer when the escape is left to the byte-wise path (not a real status).
constexpr auto left_to_escape = static_cast<tamsel_status>(-1);

inline bool stops(tamsel_status st) {
    return st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED;
}

using event_fn = tamsel_status (*)(void *, tamsel_error *);
using chunk_fn = tamsel_status (*)(void *, const char *, size_t, tamsel_error *);

// Raw: strings are passed through as written (escapes validated, not decoded), as the
// transcoder of JSON value holders needs; otherwise strings are decoded. Check: strings and
// keys must be well-formed UTF-8 (one instance each way, so a walk without the check pays
// nothing for it). Driven: a walk_driver routes the values (the undriven walks are the code they
// were without one).
template <bool Raw, bool Check, bool Driven = false> class walker {
  public:
    walker(input_cursor &cursor, const tamsel_value_limits &limits,
           const tamsel_allocator &allocator, const tamsel_value_visitor &visitor, void *user,
           walk_driver *driver = nullptr, copy_state *copies = nullptr)
        : cursor_(cursor), limits_(effective_limits(limits)), allocator_(allocator),
          visitor_(visitor), user_(user), error_(cursor.error()),
          max_number_(clamp_to_size(limits_.max_number_bytes)), driver_(driver), copies_(copies),
          number_(allocator) {}
    ~walker() {
        if (stack_ != inline_stack_) raw_free(allocator_, stack_, stack_capacity_);
    }
    walker(const walker &) = delete;
    walker &operator=(const walker &) = delete;

    tamsel_status run(const char *trailing_message);

  private:
    tamsel_status fail(tamsel_status code, const char *message) {
        return cursor_.fail_here(code, message);
    }
    tamsel_status invalid(const char *message) { return fail(TAMSEL_STATUS_INVALID_JSON, message); }
    // The status for a byte `c` from get() that is an end state.
    tamsel_status at_end(int c, const char *eof_message) {
        return c == input_cursor::read_failed ? cursor_.failure() : invalid(eof_message);
    }
    tamsel_status call(event_fn fn) { return fn ? fn(user_, error_) : TAMSEL_STATUS_OK; }
    tamsel_status call(chunk_fn fn, const void *bytes, size_t len) {
        return fn ? fn(user_, static_cast<const char *>(bytes), len, error_) : TAMSEL_STATUS_OK;
    }

    int skip_whitespace();
    // The next byte that is not whitespace; the common case (no whitespace) inline.
    int next_token_byte() {
        const uint8_t *p = cursor_.cur;
        if (cursor_.end - p >= 2) {
            if (p[0] > ' ') {
                cursor_.cur = p + 1;
                return p[0];
            }
            if (p[0] == ' ' && p[1] > ' ') { // ", " and ": "
                cursor_.cur = p + 2;
                return p[1];
            }
            if (const uint8_t *r = scan::indentation_end(p, cursor_.end)) {
                cursor_.newlines(1, p);
                cursor_.cur = r + 1;
                return *r;
            }
        }
        return skip_whitespace();
    }
    tamsel_status value(int c);
    tamsel_status open_container(uint8_t kind);
    tamsel_status string(bool key);
    // Delivers the plain bytes [p, q) of a string or key (the decoded-size limit first).
    __attribute__((always_inline)) inline tamsel_status deliver(chunk_fn chunk, uint64_t limit,
                                                                uint64_t *decoded, const uint8_t *p,
                                                                const uint8_t *q, bool key);
    __attribute__((noinline)) tamsel_status checked_text(chunk_fn chunk, uint64_t limit,
                                                         uint64_t *decoded, bool key);
    __attribute__((always_inline)) inline tamsel_status escape(chunk_fn chunk, uint64_t limit,
                                                               uint64_t *decoded);
    __attribute__((always_inline)) inline tamsel_status
    whole_escape(chunk_fn chunk, uint64_t limit, uint64_t *decoded, const uint8_t *at);
    tamsel_status hex4(uint32_t *out);
    tamsel_status number();
    tamsel_status number_token(const uint8_t *token, size_t len);
    tamsel_status deliver_number(const uint8_t *token, size_t len);
    tamsel_status literal(const char *rest, size_t len);

    input_cursor &cursor_;
    const tamsel_value_limits limits_;
    const tamsel_allocator &allocator_;
    const tamsel_value_visitor &visitor_;
    void *user_;
    tamsel_error *error_;
    const size_t max_number_;
    walk_driver *const driver_;
    copy_state *const copies_;

    uint8_t *stack_ = inline_stack_;
    size_t stack_capacity_ = inline_depth;
    size_t depth_ = 0;
    uint8_t inline_stack_[inline_depth];

    number_text number_;
};

template <bool Raw, bool Check, bool Driven> int walker<Raw, Check, Driven>::skip_whitespace() {
    for (;;) {
        size_t lines = 0;
        const uint8_t *last_newline = nullptr;
        const uint8_t *p = scan::whitespace_run(cursor_.cur, cursor_.end, &lines, &last_newline);
        if (lines) cursor_.newlines(static_cast<unsigned>(lines), last_newline);
        if (p < cursor_.end) {
            cursor_.cur = p + 1;
            return *p;
        }
        cursor_.cur = p;
        if (!cursor_.refill()) return cursor_.state();
    }
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::run(const char *trailing_message) {
    tamsel_status st = value(next_token_byte());
    if (stops(st)) return st;
    while (depth_ > 0) {
        const size_t top = depth_ - 1;
        int c = next_token_byte();
        if (stack_[top] & frame_object) {
            if (c == '}') {
                st = call(visitor_.object_end);
                if (stops(st)) return st;
                --depth_;
                continue;
            }
            if (c < 0) return at_end(c, "unterminated JSON object");
            if (stack_[top] & frame_has_members) {
                if (c != ',') return invalid("expected ',' in object");
                // A read failure here is reported as the missing key, errno kept.
                c = next_token_byte();
            }
            stack_[top] |= frame_has_members;
            if (c != '"') return invalid("expected object key");
            st = string(true);
            if (stops(st)) return st;
            if (next_token_byte() != ':') return invalid("expected ':' after object key");
            st = value(next_token_byte());
            if (stops(st)) return st;
        } else {
            if (c == ']') {
                st = call(visitor_.array_end);
                if (stops(st)) return st;
                --depth_;
                continue;
            }
            if (c < 0) return at_end(c, "unterminated JSON array");
            if (stack_[top] & frame_has_members) {
                if (c != ',') return invalid("expected ',' in array");
                c = next_token_byte();
            }
            stack_[top] |= frame_has_members;
            st = value(c);
            if (stops(st)) return st;
        }
    }
    if constexpr (Driven) {
        if (const char *own = driver_->trailing_message()) trailing_message = own;
    }
    if (next_token_byte() != input_cursor::end_of_input) return invalid(trailing_message);
    return st;
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::value(int c) {
    if constexpr (Driven) {
        if (starts_value(c)) {
            route how = route::visit;
            tamsel_status st = driver_->value_start(c, &how, error_);
            if (stops(st)) return st;
            if (how != route::visit) {
                st = copy_value(*copies_, c, driver_->own_depth ? 0 : depth_, how == route::copy);
                if (stops(st)) return st;
                return driver_->value_end(error_);
            }
        }
    }
    switch (c) {
    case '"':
        return string(false);
    case '-':
    case '0' ... '9':
        return number();
    case 't': {
        tamsel_status st = literal("rue", 3);
        return stops(st) ? st : visitor_.boolean ? visitor_.boolean(user_, 1, error_) : st;
    }
    case 'f': {
        tamsel_status st = literal("alse", 4);
        return stops(st) ? st : visitor_.boolean ? visitor_.boolean(user_, 0, error_) : st;
    }
    case 'n': {
        tamsel_status st = literal("ull", 3);
        return stops(st) ? st : call(visitor_.null);
    }
    case '[':
        return open_container(0);
    case '{':
        return open_container(frame_object);
    default:
        return at_end(c, "expected JSON value");
    }
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::open_container(uint8_t kind) {
    if (depth_ >= limits_.max_depth)
        return fail(TAMSEL_STATUS_OVERFLOW, "JSON value nesting exceeds maximum depth");
    if (depth_ == stack_capacity_) {
        size_t capacity;
        if (!checked_mul(stack_capacity_, 2, &capacity))
            return fail(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow JSON nesting stack");
        void *grown = stack_ == inline_stack_
                          ? raw_realloc(allocator_, nullptr, 0, capacity)
                          : raw_realloc(allocator_, stack_, stack_capacity_, capacity);
        if (!grown)
            return fail(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow JSON nesting stack");
        if (stack_ == inline_stack_) std::memcpy(grown, inline_stack_, depth_);
        stack_ = static_cast<uint8_t *>(grown);
        stack_capacity_ = capacity;
    }
    tamsel_status st = call(kind ? visitor_.object_begin : visitor_.array_begin);
    if (stops(st)) return st;
    stack_[depth_++] = kind;
    return st;
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::literal(const char *rest, size_t len) {
    if (static_cast<size_t>(cursor_.end - cursor_.cur) >= len &&
        std::memcmp(cursor_.cur, rest, len) == 0) {
        cursor_.cur += len;
        return TAMSEL_STATUS_OK;
    }
    for (size_t i = 0; i < len; ++i) {
        int c = cursor_.get();
        if (c != static_cast<uint8_t>(rest[i])) return at_end(c, "invalid JSON literal");
    }
    return TAMSEL_STATUS_OK;
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::deliver(chunk_fn chunk, uint64_t limit, uint64_t *decoded,
                                                  const uint8_t *p, const uint8_t *q, bool key) {
    const size_t n = static_cast<size_t>(q - p);
    if (n > limit - *decoded) {
        cursor_.cur = p + (limit - *decoded) + 1; // the first byte past the limit
        return fail(TAMSEL_STATUS_OVERFLOW,
                    key ? "JSON object key exceeds maximum decoded byte limit"
                        : "JSON string exceeds maximum decoded byte limit");
    }
    *decoded += n;
    const tamsel_status st = call(chunk, p, n);
    cursor_.cur = q;
    return st;
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::string(bool key) {
    tamsel_status st = call(key ? visitor_.key_begin : visitor_.string_begin);
    if (stops(st)) return st;
    const chunk_fn chunk = key ? visitor_.key_chunk : visitor_.string_chunk;
    const uint64_t limit = key ? limits_.max_key_bytes : limits_.max_string_bytes;
    uint64_t decoded = 0;
    for (;;) {
        // With the check on, a byte that is not ASCII ends the run too and sends the string to
        // checked_text; an ASCII run needs nothing more.
        const uint8_t *p = cursor_.cur;
        const uint8_t *q =
            Check ? scan::plain_ascii_run(p, cursor_.end) : scan::plain_run(p, cursor_.end);
        if (q != p) {
            const size_t n = static_cast<size_t>(q - p);
            if (n > limit - decoded) {
                cursor_.cur = p + (limit - decoded) + 1; // the first byte past the limit
                return fail(TAMSEL_STATUS_OVERFLOW,
                            key ? "JSON object key exceeds maximum decoded byte limit"
                                : "JSON string exceeds maximum decoded byte limit");
            }
            decoded += n;
            st = call(chunk, p, n);
            if (stops(st)) return st;
            cursor_.cur = q;
        }
        if (q == cursor_.end) {
            if (!cursor_.refill()) return at_end(cursor_.state(), "unterminated JSON string");
            continue;
        }
        const uint8_t b = *q;
        if constexpr (Check) {
            if (b >= 0x80) {
                st = checked_text(chunk, limit, &decoded, key);
                if (stops(st)) return st;
                continue;
            }
        }
        cursor_.cur = q + 1;
        if (b == '"') return call(key ? visitor_.key_end : visitor_.string_end);
        if (b != '\\') return invalid("control character in string");
        st = whole_escape(chunk, limit, &decoded, q);
        if (st == left_to_escape) st = escape(chunk, limit, &decoded);
        if (stops(st)) return st;
    }
}

// Plain bytes from the cursor, the first of them not ASCII: delivered as string() delivers runs,
// each run checked, a character cut by the window's end checked across the refill. Returns
// with the cursor on the byte that ends the plain bytes (a quote, backslash or control byte,
// no character left open), or fails at the first bad byte after delivering the bytes before
// it.
template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::checked_text(chunk_fn chunk, uint64_t limit,
                                                       uint64_t *decoded, bool key) {
    scan::utf8_state utf8;
    for (;;) {
        const uint8_t *p = cursor_.cur;
        const uint8_t *q = scan::plain_run(p, cursor_.end);
        const uint8_t *bad = scan::utf8_run(utf8, p, q);
        if (bad == q && (!utf8.due || q == cursor_.end)) bad = nullptr; // else the byte cuts it
        if (bad) q = bad;
        if (q != p) {
            tamsel_status st = deliver(chunk, limit, decoded, p, q, key);
            if (stops(st)) return st;
        }
        if (bad) {
            cursor_.cur = bad + 1;
            return invalid(key ? "invalid UTF-8 in key" : "invalid UTF-8 in string");
        }
        if (q != cursor_.end) return TAMSEL_STATUS_OK;
        if (!cursor_.refill()) return at_end(cursor_.state(), "unterminated JSON string");
    }
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::hex4(uint32_t *out) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int c = cursor_.get();
        int h = c < 0 ? -1 : text::hex_value(c);
        if (h < 0) return at_end(c, "invalid unicode escape");
        v = (v << 4) | static_cast<uint32_t>(h);
    }
    *out = v;
    return TAMSEL_STATUS_OK;
}

// An escape that lies whole in the window and is valid, taken in one step with the same
// chunks and limit checks as byte by byte; anything else is left to escape(), which reads it a
// byte at a time and reports its faults. A surrogate pair is one chunk when decoded, two
// (one per escape, as written) when raw.
template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::whole_escape(chunk_fn chunk, uint64_t limit,
                                                       uint64_t *decoded, const uint8_t *at) {
    uint32_t cp;
    size_t n = scan::escape_length(at, cursor_.end, &cp);
    if (!n) return left_to_escape;
    if constexpr (Raw) {
        if (n == 12) n = 6;
        cursor_.cur = at + n;
        return call(chunk, at, n);
    }
    cursor_.cur = at + n;
    uint8_t out[4];
    out[0] = static_cast<uint8_t>(cp);
    const size_t len = n == 2 ? 1 : text::encode_utf8(cp, out);
    if (len > limit - *decoded)
        return fail(TAMSEL_STATUS_OVERFLOW, "decoded JSON text exceeds limit");
    *decoded += len;
    return call(chunk, out, len);
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::escape(chunk_fn chunk, uint64_t limit,
                                                 uint64_t *decoded) {
    int c = cursor_.get();
    if constexpr (Raw) {
        // Check the escape and pass it on as written.
        uint8_t out[6] = {'\\', static_cast<uint8_t>(c), 0, 0, 0, 0};
        if (c >= 0 && text::unescape_table[c]) return call(chunk, out, 2);
        if (c != 'u')
            return at_end(c, c < 0 ? "unterminated escape sequence" : "invalid string escape");
        for (int i = 2; i < 6; ++i) {
            int h = cursor_.get();
            if (text::hex_value(h) < 0) return at_end(h, "invalid unicode escape");
            out[i] = static_cast<uint8_t>(h);
        }
        return call(chunk, out, 6);
    }
    uint8_t out[4];
    size_t n = 1;
    if (c >= 0 && text::unescape_table[c]) {
        out[0] = text::unescape_table[c];
    } else if (c == 'u') {
        uint32_t cp;
        TAMSEL_TRY(hex4(&cp));
        if (cp >= 0xDC00 && cp <= 0xDFFF) return invalid("unexpected low surrogate");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            // The low half must follow at once.
            c = cursor_.get();
            if (c == '\\')
                c = cursor_.get();
            else if (c >= 0)
                return invalid("invalid unicode surrogate pair");
            if (c != 'u') return at_end(c, "invalid unicode surrogate pair");
            uint32_t low;
            TAMSEL_TRY(hex4(&low));
            if (low < 0xDC00 || low > 0xDFFF) return invalid("invalid unicode surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        n = text::encode_utf8(cp, out);
    } else {
        return at_end(c, c < 0 ? "unterminated escape sequence" : "invalid string escape");
    }
    if (n > limit - *decoded)
        return fail(TAMSEL_STATUS_OVERFLOW, "decoded JSON text exceeds limit");
    *decoded += n;
    return call(chunk, out, n);
}

template <bool Raw, bool Check, bool Driven> tamsel_status walker<Raw, Check, Driven>::number() {
    tamsel_status st = call(visitor_.number_begin);
    if (stops(st)) return st;
    const uint8_t *start = cursor_.cur - 1; // the first character, already taken
    if (const uint8_t *valid = scan::valid_number(start, cursor_.end)) {
        const size_t len = static_cast<size_t>(valid - start);
        if (len <= max_number_) {
            cursor_.cur = valid;
            return deliver_number(start, len);
        }
    }
    const uint8_t *q = scan::number_run(cursor_.cur, cursor_.end);
    if (q < cursor_.end) {
        // The whole token lies in the window: hand it over in place.
        const size_t len = static_cast<size_t>(q - start);
        if (len > max_number_) {
            cursor_.cur = start + max_number_ + 1;
            return fail(TAMSEL_STATUS_OVERFLOW, "JSON number exceeds maximum byte limit");
        }
        cursor_.cur = q;
        return number_token(start, len);
    }
    // The token runs to the window's end: gather it across windows.
    size_t len = 0;
    const char *message = nullptr;
    const tamsel_status gathered = number_.gather(cursor_, start, max_number_, &len, &message);
    if (gathered != TAMSEL_STATUS_OK) return message ? fail(gathered, message) : gathered;
    return number_token(number_.data(), len);
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::number_token(const uint8_t *token, size_t len) {
    if (!text::is_valid_json_number(reinterpret_cast<const char *>(token), len))
        return invalid("invalid JSON number");
    return deliver_number(token, len);
}

template <bool Raw, bool Check, bool Driven>
tamsel_status walker<Raw, Check, Driven>::deliver_number(const uint8_t *token, size_t len) {
    tamsel_status st = TAMSEL_STATUS_OK;
    if (visitor_.number_chunk) {
        st = call(visitor_.number_chunk, token, len);
        if (stops(st)) return st;
    }
    if (visitor_.number_end) st = call(visitor_.number_end);
    return st;
}

} // namespace

tamsel_value_limits effective_limits(const tamsel_value_limits &limits) {
    const tamsel_value_limits d = tamsel__default_value_limits();
    tamsel_value_limits out = limits;
    if (!out.max_depth) out.max_depth = d.max_depth;
    if (!out.max_string_bytes) out.max_string_bytes = d.max_string_bytes;
    if (!out.max_number_bytes) out.max_number_bytes = d.max_number_bytes;
    if (!out.max_key_bytes) out.max_key_bytes = d.max_key_bytes;
    return out;
}

tamsel_status walk_value(input_cursor &cursor, const tamsel_value_limits &limits,
                         const tamsel_allocator &allocator, const tamsel_value_visitor &visitor,
                         void *user, const char *trailing_message, bool utf8_check) {
    if (utf8_check) {
        walker<false, true> w(cursor, limits, allocator, visitor, user);
        return w.run(trailing_message);
    }
    walker<false, false> w(cursor, limits, allocator, visitor, user);
    return w.run(trailing_message);
}

tamsel_status walk_value(input_cursor &cursor, const tamsel_value_limits &limits,
                         const tamsel_allocator &allocator, const tamsel_value_visitor &visitor,
                         void *user, const char *trailing_message, bool utf8_check,
                         walk_driver &driver) {
    copy_state copies(cursor, limits, allocator, driver.copy, utf8_check);
    if (utf8_check) {
        walker<false, true, true> w(cursor, limits, allocator, visitor, user, &driver, &copies);
        return w.run(trailing_message);
    }
    walker<false, false, true> w(cursor, limits, allocator, visitor, user, &driver, &copies);
    return w.run(trailing_message);
}

tamsel_status walk_raw_value(input_cursor &cursor, const tamsel_allocator &allocator,
                             const tamsel_value_visitor &visitor, void *user,
                             const char *trailing_message) {
    constexpr tamsel_value_limits unlimited = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, 0};
    walker<true, false> w(cursor, unlimited, allocator, visitor, user);
    return w.run(trailing_message);
}

} // namespace tamsel::visit

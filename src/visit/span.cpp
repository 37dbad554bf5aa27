// The span engine: one JSON value read from an input cursor, checked token by token as the
// value walker checks it (the same statuses, messages, positions and limits, the UTF-8 check
// included), and copied to an output as compact text without being decoded and written again:
// the significant bytes of the input go over in spans, each as long as the input allows. A span
// ends at whitespace between tokens (dropped), at the end of the cursor's window (read anew),
// and in strings at an escape that compact text writes otherwise (`\/`, `\u00e9`, `\u001F`,
// a surrogate pair; `\n`, `\"` and `\u0001` are already as the text rules write them). A number
// or literal cut by a window's end is gathered and handed over whole.
//
//   value    := string | number | literal | '[' -> push array | '{' -> push object
//   in array : ']' -> pop | (',' if not first) value
//   in object: '}' -> pop | (',' if not first) '"' key ':' value
//
// The stack holds one bit per open container (set for an object); whether the innermost one has
// a member yet is one flag, since every container below it has one. Nothing is kept between
// values except the stack's and the number buffer's memory (copy_state), so a driven walk
// hands the copier one value at a time.
//
// Failures: the walker's, at the walker's positions. An output's failure stops the copy at
// once; one met while whitespace is dropped is held (out_status_) and wins over any later
// failure. Before an input failure is reported the output gets the span up to the start of
// the token that failed, when that lies in the current window.
#include "visit/span.hpp"

#include "text/internal.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <cstring>

namespace tamsel::visit {
namespace {

constexpr int output_failed = -3; // next_token(): the output failed (out_status_ holds it)

// Whether the text rules write what the valid escape [at, at + n) stands for (code point `cp`)
// as this very escape: `\n` and `\u0001` yes, `\/`, `\u00e9` and a surrogate pair no.
inline bool as_the_rules_write(const uint8_t *at, size_t n, uint32_t cp) {
    if (cp >= 0x80 || !text::escape_table[cp]) return false;
    char form[6];
    const size_t len = text::escape_sequence(static_cast<uint8_t>(cp), form);
    if (len != n) return false;
    // n is 2 or 6: compared without a call.
    for (size_t i = 1; i < n; ++i)
        if (static_cast<uint8_t>(form[i]) != at[i]) return false;
    return true;
}

// The text rules' form of code point `cp` (a byte the one-letter escapes stand for, or a code
// point of \u): the escape they write for it, or its UTF-8 bytes.
inline size_t rules_form(uint32_t cp, char out[6]) {
    if (cp < 0x80 && text::escape_table[cp])
        return text::escape_sequence(static_cast<uint8_t>(cp), out);
    return text::encode_utf8(cp, reinterpret_cast<uint8_t *>(out));
}

// Of the one-letter escapes only `\/` is written otherwise by the text rules (as '/').
constexpr bool only_solidus_rewritten() {
    for (int c = 0; c < 256; ++c) {
        const uint8_t b = text::unescape_table[c];
        if (b && c != '/' && text::escape_table[b] != c) return false;
    }
    return text::escape_table['/'] == 0;
}
static_assert(only_solidus_rewritten());

// The length of the escape at r (0 when it is invalid or cut by e), with *cp what it stands
// for (the byte of a one-letter escape) and *rewritten set when the text rules write it
// otherwise.
inline size_t escape_in_rules(const uint8_t *r, const uint8_t *e, uint32_t *cp, bool *rewritten) {
    if (e - r >= 2 && r[1] != 'u') {
        const uint8_t v = text::unescape_table[r[1]];
        *cp = v;
        *rewritten = v == '/'; // the other one-letter escapes stand as the rules write them
        return v ? 2 : 0;
    }
    const size_t n = scan::escape_length(r, e, cp);
    *rewritten = n && !as_the_rules_write(r, n, *cp);
    return n;
}

// The escapes of a string body that the text rules write otherwise (`\/`, `\u00e9`, a surrogate
// pair), as whole_body finds them: the first few where they stand, and whether more follow.
struct rewrites {
    static constexpr unsigned most = 4;
    struct escape {
        const uint8_t *at;
        uint32_t length;
        uint32_t cp; // the code point, or the byte a one-letter escape stands for
    };
    escape at[most];
    unsigned count = 0;
    bool more = false;
    void note(const uint8_t *p, size_t n, uint32_t cp) {
        if (count < most)
            at[count++] = {p, static_cast<uint32_t>(n), cp};
        else
            more = true;
    }
};

// Whether a key's closing quote and its `:` stand at q: one two-byte comparison.
[[gnu::always_inline]] inline bool quote_colon(const uint8_t *q) {
    uint16_t two;
    std::memcpy(&two, q, 2);
    uint16_t want;
    std::memcpy(&want, "\":", 2);
    return two == want;
}

// Keep: strings as written. Check: the UTF-8 check. Emit: an output is written.
template <bool Keep, bool Check, bool Emit> class copier {
  public:
    copier(copy_state &s, size_t base)
        : s_(s), c_(s.cursor), out_(s.copy.out), keys_(s.copy.keys), error_(s.cursor.error()),
          base_(base) {}
    copier(const copier &) = delete;
    copier &operator=(const copier &) = delete;

    tamsel_status run(int first);

  private:
    // ---- failures ----------------------------------------------------------------------------

    tamsel_status fail(tamsel_status code, const char *message) {
        if (out_status_) return out_status_;
        if constexpr (Emit) {
            // What precedes the failing token in this window is complete text.
            if (mark_ && mark_ > span_) (void)out_->put(span_, static_cast<size_t>(mark_ - span_));
        }
        return c_.fail_here(code, message);
    }
    tamsel_status invalid(const char *message) { return fail(TAMSEL_STATUS_INVALID_JSON, message); }
    // The status for a byte `c` that is an end state.
    tamsel_status at_end(int c, const char *eof_message) {
        if (out_status_) return out_status_;
        return c == input_cursor::read_failed ? c_.failure() : invalid(eof_message);
    }

    // ---- output ------------------------------------------------------------------------------

    tamsel_status emit(const void *bytes, size_t len) {
        const tamsel_status st = out_->put(bytes, len);
        if (st != TAMSEL_STATUS_OK) out_status_ = st;
        return st;
    }
    // Hands over the span up to `to`.
    tamsel_status emit_to(const uint8_t *to) {
        if constexpr (Emit) {
            if (to != span_) {
                TAMSEL_TRY(emit(span_, static_cast<size_t>(to - span_)));
                span_ = to;
            }
        }
        return TAMSEL_STATUS_OK;
    }
    // Hands over [span_, a) and goes on at b (the bytes between are dropped).
    [[gnu::always_inline]] bool cut(const uint8_t *a, const uint8_t *b) {
        if constexpr (Emit) {
            if (a != span_ && emit(span_, static_cast<size_t>(a - span_)) != TAMSEL_STATUS_OK)
                return false;
            span_ = b;
        }
        return true;
    }
    // The window was read anew: the span starts at the cursor.
    void restart_span() {
        if constexpr (Emit) {
            span_ = c_.cur;
            mark_ = nullptr;
        }
    }
    void set_mark(const uint8_t *p) {
        if constexpr (Emit) mark_ = p;
    }
    // Reads the next window after handing over what is left of this one.
    bool refill_after_span() {
        if (emit_to(c_.end) != TAMSEL_STATUS_OK) return false;
        if (!c_.refill()) return false;
        restart_span();
        return true;
    }

    // ---- tokens ------------------------------------------------------------------------------

    template <bool Watch> bool lane(tamsel_status *failed);
    int skip_whitespace();
    // The usual separator `sep` with the next token right behind it (`,"` and `:1`): both
    // taken in one step, the token's byte in `*next`.
    [[gnu::always_inline]] bool pair(uint8_t sep, int *next) {
        const uint8_t *p = c_.cur;
        if (c_.end - p < 2 || p[0] != sep || p[1] <= ' ') return false;
        c_.cur = p + 2;
        set_mark(p + 1);
        *next = p[1];
        return true;
    }
    // The next byte that is not whitespace; the common case (no whitespace) inline.
    [[gnu::always_inline]] int next_token() {
        const uint8_t *p = c_.cur;
        if (c_.end - p >= 2) {
            if (p[0] > ' ') {
                c_.cur = p + 1;
                set_mark(p);
                return p[0];
            }
            if (p[0] == ' ' && p[1] > ' ') { // ", " and ": "
                if (!cut(p, p + 1)) return output_failed;
                c_.cur = p + 2;
                set_mark(p + 1);
                return p[1];
            }
            if (const uint8_t *r = scan::indentation_end(p, c_.end)) {
                c_.newlines(1, p);
                if (!cut(p, r)) return output_failed;
                c_.cur = r + 1;
                set_mark(r);
                return *r;
            }
        }
        return skip_whitespace();
    }
    [[gnu::always_inline]] inline tamsel_status value(int c);
    [[gnu::always_inline]] inline tamsel_status open(bool object);
    void close() {
        --depth_;
        first_ = false;
        in_object_ = depth_ && top_is_object();
    }
    tamsel_status grow_stack();
    [[nodiscard]] bool top_is_object() const {
        const size_t i = depth_ - 1;
        return (s_.stack[i >> 6] >> (i & 63)) & 1;
    }
    [[gnu::always_inline]] inline tamsel_status string(bool key);
    tamsel_status long_string(bool key, const uint8_t *q);
    const uint8_t *whole_body(const uint8_t *q, rewrites *rewrite) const;
    tamsel_status copy_rewritten(const rewrites &rewrite, const uint8_t *end);
    tamsel_status rewrite_escape(const uint8_t *at, size_t n, uint32_t cp);
    tamsel_status plain_bytes(const uint8_t *p, const uint8_t *q, uint64_t limit, uint64_t *decoded,
                              key_watch *w, bool key);
    tamsel_status checked_text(uint64_t limit, uint64_t *decoded, key_watch *w, bool key);
    tamsel_status escape(const uint8_t *at, uint64_t limit, uint64_t *decoded, key_watch *w);
    tamsel_status slow_escape(const uint8_t *at, uint64_t limit, uint64_t *decoded, key_watch *w);
    tamsel_status hex4(uint32_t *out, uint8_t *raw, size_t *raw_len);
    tamsel_status write_decoded(const uint8_t *at, size_t n, const uint8_t *bytes, size_t len);
    tamsel_status put_instead(const uint8_t *at, size_t n, const char *form, size_t len);
    [[gnu::always_inline]] inline tamsel_status number();
    tamsel_status general_number(const uint8_t *start);
    tamsel_status long_number(const uint8_t *start);
    [[gnu::always_inline]] inline tamsel_status literal(const char *whole, size_t rest);
    tamsel_status cut_literal(const char *whole, size_t rest);

    copy_state &s_;
    input_cursor &c_;
    io::byte_output *const out_;
    key_watch *const keys_;
    tamsel_error *const error_;
    const size_t base_;
    size_t depth_ = 0;
    bool first_ = false;        // the innermost container has no member yet
    bool in_object_ = false;    // the innermost container is an object (its stack bit)
    unsigned lane_wait_ = 0;    // tokens the token steps take before the lane is tried again
    unsigned lane_backoff_ = 0; // the last such wait; 0 after a lane that took tokens
    tamsel_status out_status_ = TAMSEL_STATUS_OK;
    const uint8_t *span_ = nullptr; // the first byte not yet handed over (Emit)
    const uint8_t *mark_ = nullptr; // the start of the current token in this window (Emit)
};

// The lane: the usual tokens of compact text, one right behind the other and whole in the
// window, taken in one tight loop with the walk's state in registers: closes, `,`, keys that are
// plain (ASCII when checked) with their `:` right behind, strings that go over as written,
// numbers that end inside one 16-byte load, literals and opens within the limits. It stops in
// front of anything else (whitespace, a string or number that runs on to the window's end, a
// limit about to be met, any fault) at the end of a value or of an open or close, and run()
// goes on from there exactly as if it had taken those tokens itself.
// With a key watch (Watch) it tells the watch what the token steps would, in their order and
// with the cursor where they leave it: object_begin after an object's `{`, key() after a key's
// closing quote, object_end at its `}`. A key is heard only once its value is taken, so the
// lane never stops between a key the watch has heard and its value; a watch's failure stops
// the walk with the cursor where the watch met it, which is the walk's result (`*failed`).
// Otherwise it never fails, so every fault is reported by the token steps. It cuts the span only
// where the token steps would, once what it cuts for is sure to be taken: at a line feed right
// in front of a member (`},\n{`, records one to a line), counted as they count it, and, without
// a watch, at the escapes of a string checked whole that the text rules write otherwise; an
// output's failure there ends the walk (`*failed`). Whether it took anything is the answer.
template <bool Keep, bool Check, bool Emit>
template <bool Watch>
bool copier<Keep, Check, Emit>::lane(tamsel_status *failed) {
    const uint8_t *const from = c_.cur;
    const uint8_t *p = from;
    const uint8_t *const e = c_.end;
    size_t depth = depth_;
    bool first = first_;
    bool in_object = in_object_;
    const uint64_t max_key = s_.limits.max_key_bytes;
    const uint64_t max_string = s_.limits.max_string_bytes;
    const size_t max_number = s_.max_number;
    const uint64_t max_depth =
        s_.limits.max_depth < s_.copy.frame_limit ? s_.limits.max_depth : s_.copy.frame_limit;
    const auto plain = [e](const uint8_t *from) {
        return Check ? scan::plain_ascii_run(from, e) : scan::plain_run(from, e);
    };
    // The key of the member being taken (Watch): its bytes and the byte after its closing quote.
    [[maybe_unused]] const uint8_t *key = nullptr;
    [[maybe_unused]] const uint8_t *key_end = nullptr;
    // Tells the watch of the member's key, with the cursor just behind it.
    [[maybe_unused]] const auto hear_key = [&]() {
        c_.cur = key_end + 1;
        return keys_->key(key, static_cast<size_t>(key_end - key), error_);
    };
    tamsel_status st = TAMSEL_STATUS_OK;
    // The line feed in front of the member being taken, counted and dropped (a cut) once the
    // member is sure to be taken, as the token steps drop it when they read the member.
    const uint8_t *nl = nullptr;
    const auto take_newline = [&]() {
        c_.newlines(1, nl);
        const bool ok = cut(nl, nl + 1);
        nl = nullptr;
        if (!ok) st = out_status_;
        return ok;
    };
    // 8 bytes are left at p, and after a key's `:`: enough for a separator, a literal and the
    // byte behind a key.
    while (e - p >= 8) {
        const uint8_t *t = p;
        int c = *t;
        if (c == (in_object ? '}' : ']')) {
            p = t + 1;
            first = false;
            if constexpr (Watch) {
                if (in_object) keys_->object_end();
            }
            if (--depth == 0) break;
            const size_t i = depth - 1;
            in_object = (s_.stack[i >> 6] >> (i & 63)) & 1;
            continue;
        }
        if (!first) {
            if (c != ',') break;
            c = *++t;
        }
    member:
        if (in_object) {
            if (c != '"') [[unlikely]] {
                if (c != '\n' || nl || t[1] <= ' ') break;
                nl = t;
                c = *++t;
                goto member;
            }
            const uint8_t *q = plain(t + 1);
            if (e - q < 8 || !quote_colon(q) || static_cast<uint64_t>(q - (t + 1)) > max_key) break;
            if constexpr (Watch) {
                key = t + 1;
                key_end = q;
            }
            t = q + 2;
            c = *t;
        }
        // Strings and numbers first, the usual values, then the rest.
        if (c == '"') {
            const uint8_t *q = plain(t + 1);
            if (q == e) goto stop;
            if (*q == '"') {
                if (static_cast<uint64_t>(q - (t + 1)) > max_string) goto stop;
            } else {
                rewrites rewrite;
                if (!(q = whole_body(q, &rewrite))) goto stop;
                if (static_cast<uint64_t>(q - (t + 1)) > max_string) goto stop;
                if (rewrite.count) {
                    // Checked whole: nothing in it can fail, so its escapes go over in the
                    // rules' form now. With a watch the member's key is heard first, so such a
                    // value is left to the token steps.
                    if constexpr (Watch || Keep || !Emit) {
                        goto stop;
                    } else {
                        if (nl && !take_newline()) goto stop;
                        if ((st = copy_rewritten(rewrite, q)) != TAMSEL_STATUS_OK) goto stop;
                    }
                }
            }
            p = q + 1;
        } else if (scan::digit(static_cast<uint8_t>(c)) || c == '-') {
            const uint8_t *v = scan::short_valid_number(t, e);
            if (!v || static_cast<size_t>(v - t) > max_number) goto stop;
            p = v;
        } else {
            switch (c) {
            case 't':
            case 'n':
                if (e - t < 4 || std::memcmp(t, c == 't' ? "true" : "null", 4) != 0) goto stop;
                p = t + 4;
                break;
            case 'f':
                if (e - t < 5 || std::memcmp(t, "false", 5) != 0) goto stop;
                p = t + 5;
                break;
            case '[':
            case '{': {
                if (base_ + depth >= max_depth || depth >> 6 == s_.stack_words) goto stop;
                if (nl && !take_newline()) goto stop;
                if constexpr (Watch) {
                    if (in_object && (st = hear_key()) != TAMSEL_STATUS_OK) goto stop;
                    if (c == '{') {
                        c_.cur = t + 1;
                        if ((st = keys_->object_begin(error_)) != TAMSEL_STATUS_OK) goto stop;
                    }
                }
                uint64_t &word = s_.stack[depth >> 6];
                const uint64_t bit = uint64_t{1} << (depth & 63);
                word = c == '{' ? word | bit : word & ~bit;
                ++depth;
                first = true;
                in_object = c == '{';
                p = t + 1;
                continue;
            }
            default:
                // One line feed right in front of an array's element (`},\n{`: records one to a
                // line); an object's member is past its key here, and its line feed was before it.
                if (in_object || c != '\n' || nl || t[1] <= ' ') [[likely]]
                    goto stop;
                nl = t;
                c = *++t;
                goto member;
            }
        }
        if (nl) [[unlikely]] {
            if (!take_newline()) goto stop;
        }
        if constexpr (Watch) {
            if (in_object && (st = hear_key()) != TAMSEL_STATUS_OK) goto stop;
        }
        first = false;
    }
stop:
    if (st != TAMSEL_STATUS_OK) {
        // The cursor stands where the watch met the failure; an output's failure has no
        // position.
        *failed = st;
        return true;
    }
    c_.cur = p;
    depth_ = depth;
    first_ = first;
    in_object_ = in_object;
    return p != from;
}

template <bool Keep, bool Check, bool Emit> int copier<Keep, Check, Emit>::skip_whitespace() {
    for (;;) {
        size_t lines = 0;
        const uint8_t *last_newline = nullptr;
        const uint8_t *from = c_.cur;
        const uint8_t *p = scan::whitespace_run(from, c_.end, &lines, &last_newline);
        if (lines) c_.newlines(static_cast<unsigned>(lines), last_newline);
        if (p < c_.end) {
            if (p != from && !cut(from, p)) return output_failed;
            c_.cur = p + 1;
            set_mark(p);
            return *p;
        }
        // The window ends: what it holds of the span goes over before it is read anew.
        if (!cut(from, p)) return output_failed;
        c_.cur = p;
        if (!c_.refill()) return c_.state();
        restart_span();
    }
}

template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::run(int first) {
    if constexpr (Emit) span_ = mark_ = c_.cur - 1; // the first byte, taken
    TAMSEL_TRY(value(first));
    while (depth_ > 0) {
        // Laid-out text would stop the lane at once on every token: after a lane that took
        // nothing the token steps take the next 1, 2, 4 ... 16 tokens before it is tried again.
        if (lane_wait_ == 0) {
            tamsel_status failed = TAMSEL_STATUS_OK;
            if (keys_ ? lane<true>(&failed) : lane<false>(&failed)) {
                if (failed != TAMSEL_STATUS_OK) return failed;
                lane_backoff_ = 0;
            } else {
                lane_backoff_ = lane_backoff_ ? std::min(2 * lane_backoff_, 16u) : 1;
                lane_wait_ = lane_backoff_;
            }
            if (depth_ == 0) break;
        } else {
            --lane_wait_;
        }
        int c;
        if (first_ || !pair(',', &c)) {
            c = next_token();
            if (in_object_) {
                if (c == '}') {
                    close();
                    if (keys_) keys_->object_end();
                    continue;
                }
                if (c < 0) return at_end(c, "unterminated JSON object");
                if (!first_) {
                    if (c != ',') return invalid("expected ',' in object");
                    // A read failure here is reported as the missing key, errno kept.
                    c = next_token();
                }
            } else {
                if (c == ']') {
                    close();
                    continue;
                }
                if (c < 0) return at_end(c, "unterminated JSON array");
                if (!first_) {
                    if (c != ',') return invalid("expected ',' in array");
                    c = next_token();
                }
            }
        }
        first_ = false;
        if (in_object_) {
            if (c != '"') return invalid("expected object key");
            TAMSEL_TRY(string(true));
            int v;
            if (!pair(':', &v)) {
                if (next_token() != ':') return invalid("expected ':' after object key");
                v = next_token();
            }
            TAMSEL_TRY(value(v));
        } else {
            TAMSEL_TRY(value(c));
        }
    }
    return emit_to(c_.cur);
}

template <bool Keep, bool Check, bool Emit> tamsel_status copier<Keep, Check, Emit>::value(int c) {
    switch (c) {
    case '"':
        return string(false);
    case '-':
    case '0' ... '9':
        return number();
    case 't':
        return literal("true", 3);
    case 'f':
        return literal("false", 4);
    case 'n':
        return literal("null", 3);
    case '[':
        return open(false);
    case '{':
        return open(true);
    default:
        return at_end(c, "expected JSON value");
    }
}

template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::open(bool object) {
    const size_t level = base_ + depth_;
    if (level >= s_.limits.max_depth)
        return fail(TAMSEL_STATUS_OVERFLOW, "JSON value nesting exceeds maximum depth");
    if (depth_ >> 6 == s_.stack_words) TAMSEL_TRY(grow_stack());
    if (level >= s_.copy.frame_limit) {
        if (out_status_) return out_status_;
        return tamsel::fail(error_, TAMSEL_STATUS_OVERFLOW, "%s", s_.copy.frame_message);
    }
    if (object && keys_) TAMSEL_TRY(keys_->object_begin(error_));
    uint64_t &word = s_.stack[depth_ >> 6];
    const uint64_t bit = uint64_t{1} << (depth_ & 63);
    word = object ? word | bit : word & ~bit;
    ++depth_;
    first_ = true;
    in_object_ = object;
    return TAMSEL_STATUS_OK;
}

template <bool Keep, bool Check, bool Emit> tamsel_status copier<Keep, Check, Emit>::grow_stack() {
    size_t words, bytes;
    if (!checked_mul(s_.stack_words, 2, &words) || !checked_mul(words, sizeof(uint64_t), &bytes))
        return fail(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow JSON nesting stack");
    const bool inline_now = s_.stack == s_.inline_stack;
    void *grown = raw_realloc(s_.allocator, inline_now ? nullptr : s_.stack,
                              inline_now ? 0 : s_.stack_words * sizeof(uint64_t), bytes);
    if (!grown) return fail(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow JSON nesting stack");
    if (inline_now) std::memcpy(grown, s_.inline_stack, sizeof s_.inline_stack);
    s_.stack = static_cast<uint64_t *>(grown);
    s_.stack_words = words;
    return TAMSEL_STATUS_OK;
}

template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::literal(const char *whole, size_t rest) {
    // `rest` is a constant here, so the comparison is one or two loads.
    if (static_cast<size_t>(c_.end - c_.cur) >= rest && std::memcmp(c_.cur, whole + 1, rest) == 0) {
        c_.cur += rest;
        return TAMSEL_STATUS_OK;
    }
    return cut_literal(whole, rest);
}

// A literal cut by the window's end (or not a literal): read a byte at a time, written whole.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::cut_literal(const char *whole, size_t rest) {
    TAMSEL_TRY(emit_to(c_.cur - 1));
    if constexpr (Emit) mark_ = nullptr;
    for (size_t i = 1; i <= rest; ++i) {
        int c = c_.get();
        if (c != static_cast<uint8_t>(whole[i])) return at_end(c, "invalid JSON literal");
    }
    if constexpr (Emit) {
        TAMSEL_TRY(emit(whole, rest + 1));
        span_ = c_.cur;
    }
    return TAMSEL_STATUS_OK;
}

// ---- strings ---------------------------------------------------------------------------------

// The plain bytes [p, q) of a string or key: the decoded-size limit, then the key watch. The
// cursor moves to q.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::plain_bytes(const uint8_t *p, const uint8_t *q,
                                                     uint64_t limit, uint64_t *decoded,
                                                     key_watch *w, bool key) {
    const size_t n = static_cast<size_t>(q - p);
    if (n > limit - *decoded) {
        c_.cur = p + (limit - *decoded) + 1; // the first byte past the limit
        return fail(TAMSEL_STATUS_OVERFLOW,
                    key ? "JSON object key exceeds maximum decoded byte limit"
                        : "JSON string exceeds maximum decoded byte limit");
    }
    *decoded += n;
    if (w) TAMSEL_TRY(w->key_chunk(p, n, error_));
    c_.cur = q;
    return TAMSEL_STATUS_OK;
}

// The usual string lies plain (ASCII when checked) and whole in the window within its limit:
// one scan, and a key goes to the watch in one call. Anything else goes to long_string.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::string(bool key) {
    const uint8_t *p = c_.cur;
    const uint8_t *q = Check ? scan::plain_ascii_run(p, c_.end) : scan::plain_run(p, c_.end);
    if (q < c_.end && *q == '"' &&
        static_cast<uint64_t>(q - p) <=
            (key ? s_.limits.max_key_bytes : s_.limits.max_string_bytes)) {
        c_.cur = q + 1;
        if (key && keys_) return keys_->key(p, static_cast<size_t>(q - p), error_);
        return TAMSEL_STATUS_OK;
    }
    return long_string(key, q);
}

// The closing quote of the string body that goes on at `q` (a character boundary), when the
// rest of it lies whole in the window, is valid and can go over as written; NULL otherwise.
// The escapes the text rules write otherwise are noted in `*rewrite` (Emit without Keep), for
// copy_rewritten.
template <bool Keep, bool Check, bool Emit>
const uint8_t *copier<Keep, Check, Emit>::whole_body(const uint8_t *q, rewrites *rewrite) const {
    if constexpr (Keep || !Emit) {
        (void)rewrite;
        return Check ? scan::checked_body_end(q, c_.end) : scan::string_body_end(q, c_.end);
    } else {
        const uint8_t *const e = c_.end;
        // The length of the escape at r, noted when the rules write it otherwise; 0 when it is
        // invalid or cut by the window's end.
        const auto escape_at = [e, rewrite](const uint8_t *r) -> size_t {
            uint32_t cp;
            bool rewritten;
            const size_t n = escape_in_rules(r, e, &cp, &rewritten);
            if (rewritten) rewrite->note(r, n, cp);
            return n;
        };
        while (q < e) {
            const uint8_t b = *q;
            if (b == '"') return q;
            if (b == '\\') {
                const size_t n = escape_at(q);
                if (!n) return nullptr;
                q += n;
            } else if (Check && b >= 0x80) {
                // A few characters where they stand; a longer run of them goes to the kernel.
                const uint8_t *rest = nullptr;
                const uint8_t *r = scan::short_utf8_run(q, e, &rest);
                if (!r) {
                    if (!rest || !(q = scan::utf8_plain_run(rest, e))) return nullptr;
                    continue;
                }
                q = r;
            } else {
                return nullptr; // a control byte
            }
            q = Check ? scan::plain_ascii_run(q, e) : scan::plain_run(q, e);
        }
        return nullptr;
    }
}

// The escapes of a string body checked whole by whole_body that the text rules write otherwise,
// up to its closing quote at `end`: each ends the span and its rules' form goes over instead, as
// escape() hands them over; the rest stay in the span. Nothing here can fail but the output.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::copy_rewritten(const rewrites &rewrite,
                                                        const uint8_t *end) {
    for (unsigned i = 0; i < rewrite.count; ++i)
        TAMSEL_TRY(rewrite_escape(rewrite.at[i].at, rewrite.at[i].length, rewrite.at[i].cp));
    if (!rewrite.more) return TAMSEL_STATUS_OK;
    // More than were noted: the rest are found again behind the last noted one.
    const rewrites::escape &last = rewrite.at[rewrites::most - 1];
    for (const uint8_t *p = last.at + last.length; p != end;) {
        if (*p != '\\') {
            p = scan::plain_run(p, end); // a valid body: only a backslash stops it
            continue;
        }
        uint32_t cp;
        bool rewritten;
        const size_t n = escape_in_rules(p, end, &cp, &rewritten);
        if (rewritten) TAMSEL_TRY(rewrite_escape(p, n, cp));
        p += n;
    }
    return TAMSEL_STATUS_OK;
}

// The valid escape [at, at + n) standing for `cp`, which the text rules write otherwise, in
// their form.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::rewrite_escape(const uint8_t *at, size_t n, uint32_t cp) {
    char form[6];
    return put_instead(at, n, form, rules_form(cp, form));
}

// A string from the cursor whose first run ends at `q`: read run by run across windows.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::long_string(bool key, const uint8_t *q) {
    const uint64_t limit = key ? s_.limits.max_key_bytes : s_.limits.max_string_bytes;
    key_watch *const w = key ? keys_ : nullptr;
    uint64_t decoded = 0;
    const uint8_t *p = c_.cur;
    if (!w && q < c_.end && *q != '"') {
        // No watch needs the decoded bytes: a string that lies whole and valid in the window,
        // with nothing in it to write otherwise, is one pass. It decodes to at most as many
        // bytes as it is written in, so a body within the limit is within it decoded too.
        rewrites rewrite;
        const uint8_t *r = whole_body(q, &rewrite);
        if (r && static_cast<uint64_t>(r - p) <= limit) {
            if constexpr (Emit && !Keep) {
                if (rewrite.count) TAMSEL_TRY(copy_rewritten(rewrite, r));
            }
            c_.cur = r + 1;
            return TAMSEL_STATUS_OK;
        }
    }
    if (w) TAMSEL_TRY(w->key_begin(error_));
    for (;;) {
        // With the check on, a byte that is not ASCII ends the run too and sends the string to
        // checked_text; an ASCII run needs nothing more.
        if (q != p) TAMSEL_TRY(plain_bytes(p, q, limit, &decoded, w, key));
        if (q == c_.end) {
            if (!refill_after_span()) return at_end(c_.state(), "unterminated JSON string");
            p = c_.cur;
            q = Check ? scan::plain_ascii_run(p, c_.end) : scan::plain_run(p, c_.end);
            continue;
        }
        const uint8_t b = *q;
        if constexpr (Check) {
            if (b >= 0x80) {
                TAMSEL_TRY(checked_text(limit, &decoded, w, key));
                p = c_.cur;
                q = scan::plain_ascii_run(p, c_.end);
                continue;
            }
        }
        c_.cur = q + 1;
        if (b == '"') return w ? w->key_end(error_) : TAMSEL_STATUS_OK;
        if (b != '\\') return invalid("control character in string");
        TAMSEL_TRY(escape(q, limit, &decoded, w));
        p = c_.cur;
        q = Check ? scan::plain_ascii_run(p, c_.end) : scan::plain_run(p, c_.end);
    }
}

// Plain bytes from the cursor, the first of them not ASCII, as the walker reads them: each run
// checked, a character cut by the window's end checked across the refill. Returns with the
// cursor on the byte that ends the plain bytes (no character left open), or fails at the first
// bad byte.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::checked_text(uint64_t limit, uint64_t *decoded,
                                                      key_watch *w, bool key) {
    scan::utf8_state utf8;
    for (;;) {
        const uint8_t *p = c_.cur;
        const uint8_t *q = scan::plain_run(p, c_.end);
        const uint8_t *bad = scan::utf8_run(utf8, p, q);
        if (bad == q && (!utf8.due || q == c_.end)) bad = nullptr; // else the byte cuts it
        if (bad) q = bad;
        if (q != p) TAMSEL_TRY(plain_bytes(p, q, limit, decoded, w, key));
        if (bad) {
            c_.cur = bad + 1;
            return invalid(key ? "invalid UTF-8 in key" : "invalid UTF-8 in string");
        }
        if (q != c_.end) return TAMSEL_STATUS_OK;
        if (!refill_after_span()) return at_end(c_.state(), "unterminated JSON string");
    }
}

// The escape whose backslash at `at` was just taken. One that lies whole in the window and is
// valid takes one step; anything else goes to slow_escape, which reads it a byte at a time and
// reports its faults.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::escape(const uint8_t *at, uint64_t limit,
                                                uint64_t *decoded, key_watch *w) {
    uint32_t cp;
    const size_t n = scan::escape_length(at, c_.end, &cp);
    if (!n) return slow_escape(at, limit, decoded, w);
    c_.cur = at + n;
    uint8_t bytes[4];
    bytes[0] = static_cast<uint8_t>(cp);
    const size_t len = n == 2 ? 1 : text::encode_utf8(cp, bytes);
    if (len > limit - *decoded)
        return fail(TAMSEL_STATUS_OVERFLOW, "decoded JSON text exceeds limit");
    *decoded += len;
    if (w) TAMSEL_TRY(w->key_chunk(bytes, len, error_));
    if constexpr (Emit && !Keep) return write_decoded(at, n, bytes, len);
    return TAMSEL_STATUS_OK;
}

// The escape [at, at + n) stands for `bytes`: unless the text rules write them exactly as the
// escape is written, the span ends before it and the rules' form goes over instead.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::write_decoded(const uint8_t *at, size_t n,
                                                       const uint8_t *bytes, size_t len) {
    char form[6];
    const char *text = reinterpret_cast<const char *>(bytes);
    size_t text_len = len;
    if (len == 1 && text::escape_table[bytes[0]]) {
        text_len = text::escape_sequence(bytes[0], form);
        text = form;
    }
    if (text_len == n && std::memcmp(text, at, n) == 0) return TAMSEL_STATUS_OK;
    return put_instead(at, n, text, text_len);
}

// The span ends before the escape [at, at + n) and `form` goes over in its place.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::put_instead(const uint8_t *at, size_t n, const char *form,
                                                     size_t len) {
    if constexpr (Emit) {
        // The span and the form in one step when both fit the output's window, as two pieces
        // that fit would go.
        const size_t run = static_cast<size_t>(at - span_);
        if (run + len <= out_->room()) {
            unsigned char *to = out_->window();
            std::memcpy(to, span_, run);
            io::byte_output::copy(to + run, form, len);
            out_->advance(run + len);
            span_ = at + n;
            return TAMSEL_STATUS_OK;
        }
    }
    TAMSEL_TRY(emit_to(at));
    span_ = at + n;
    return emit(form, len);
}

template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::hex4(uint32_t *out, uint8_t *raw, size_t *raw_len) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int c = c_.get();
        int h = c < 0 ? -1 : text::hex_value(c);
        if (h < 0) return at_end(c, "invalid unicode escape");
        raw[(*raw_len)++] = static_cast<uint8_t>(c);
        v = (v << 4) | static_cast<uint32_t>(h);
    }
    *out = v;
    return TAMSEL_STATUS_OK;
}

// An escape cut by the window's end, or invalid: read a byte at a time as the walker reads it.
// The span ends before it; the escape goes over as written (Keep) or in the rules' form.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::slow_escape(const uint8_t *at, uint64_t limit,
                                                     uint64_t *decoded, key_watch *w) {
    TAMSEL_TRY(emit_to(at));
    if constexpr (Emit) mark_ = nullptr;
    uint8_t raw[12];
    size_t raw_len = 0;
    raw[raw_len++] = '\\';
    int c = c_.get();
    uint8_t bytes[4];
    size_t len = 1;
    if (c >= 0 && text::unescape_table[c]) {
        raw[raw_len++] = static_cast<uint8_t>(c);
        bytes[0] = text::unescape_table[c];
    } else if (c == 'u') {
        raw[raw_len++] = 'u';
        uint32_t cp;
        TAMSEL_TRY(hex4(&cp, raw, &raw_len));
        if (cp >= 0xDC00 && cp <= 0xDFFF) return invalid("unexpected low surrogate");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            // The low half must follow at once.
            c = c_.get();
            if (c == '\\') {
                raw[raw_len++] = '\\';
                c = c_.get();
            } else if (c >= 0) {
                return invalid("invalid unicode surrogate pair");
            }
            if (c != 'u') return at_end(c, "invalid unicode surrogate pair");
            raw[raw_len++] = 'u';
            uint32_t low;
            TAMSEL_TRY(hex4(&low, raw, &raw_len));
            if (low < 0xDC00 || low > 0xDFFF) return invalid("invalid unicode surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        len = text::encode_utf8(cp, bytes);
    } else {
        return at_end(c, c < 0 ? "unterminated escape sequence" : "invalid string escape");
    }
    if (len > limit - *decoded)
        return fail(TAMSEL_STATUS_OVERFLOW, "decoded JSON text exceeds limit");
    *decoded += len;
    if (w) TAMSEL_TRY(w->key_chunk(bytes, len, error_));
    if constexpr (Emit) {
        if constexpr (Keep) {
            TAMSEL_TRY(emit(raw, raw_len));
        } else if (len == 1 && text::escape_table[bytes[0]]) {
            char form[6];
            TAMSEL_TRY(emit(form, text::escape_sequence(bytes[0], form)));
        } else {
            TAMSEL_TRY(emit(bytes, len));
        }
        span_ = c_.cur;
    }
    return TAMSEL_STATUS_OK;
}

// ---- numbers ---------------------------------------------------------------------------------

template <bool Keep, bool Check, bool Emit> tamsel_status copier<Keep, Check, Emit>::number() {
    const uint8_t *start = c_.cur - 1; // the first character, already taken
    if (const uint8_t *valid = scan::short_valid_number(start, c_.end)) {
        if (static_cast<size_t>(valid - start) <= s_.max_number) {
            c_.cur = valid;
            return TAMSEL_STATUS_OK;
        }
    }
    return general_number(start);
}

// A number that is invalid, too long, or may go on past the window's end.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::general_number(const uint8_t *start) {
    const uint8_t *q = scan::number_run(c_.cur, c_.end);
    if (q == c_.end) return long_number(start);
    const size_t len = static_cast<size_t>(q - start);
    if (len > s_.max_number) {
        c_.cur = start + s_.max_number + 1;
        return fail(TAMSEL_STATUS_OVERFLOW, "JSON number exceeds maximum byte limit");
    }
    c_.cur = q;
    if (!text::is_valid_json_number(reinterpret_cast<const char *>(start), len))
        return invalid("invalid JSON number");
    return TAMSEL_STATUS_OK;
}

// A number token that runs to the window's end: gathered across windows, checked, handed over
// whole.
template <bool Keep, bool Check, bool Emit>
tamsel_status copier<Keep, Check, Emit>::long_number(const uint8_t *start) {
    TAMSEL_TRY(emit_to(start));
    if constexpr (Emit) mark_ = nullptr;
    size_t len = 0;
    const char *message = nullptr;
    const tamsel_status st = s_.number.gather(c_, start, s_.max_number, &len, &message);
    if (st != TAMSEL_STATUS_OK) return message ? fail(st, message) : st;
    const uint8_t *token = s_.number.data();
    if (!text::is_valid_json_number(reinterpret_cast<const char *>(token), len))
        return invalid("invalid JSON number");
    if constexpr (Emit) {
        TAMSEL_TRY(emit(token, len));
        span_ = c_.cur;
    }
    return TAMSEL_STATUS_OK;
}

template <bool Keep, bool Check, bool Emit>
tamsel_status run_copy(copy_state &s, int first, size_t base) {
    copier<Keep, Check, Emit> c(s, base);
    return c.run(first);
}

} // namespace

tamsel_status number_text::gather(input_cursor &cursor, const uint8_t *start, size_t max,
                                  size_t *len, const char **message) {
    *len = 0;
    const uint8_t *p = start;
    const uint8_t *q = cursor.end;
    for (;;) {
        const size_t n = static_cast<size_t>(q - p);
        if (n > max - *len) {
            cursor.cur = p + (max - *len) + 1; // the first character past the limit
            *message = "JSON number exceeds maximum byte limit";
            return TAMSEL_STATUS_OVERFLOW;
        }
        const tamsel_status st = append(p, n, max, len);
        if (st != TAMSEL_STATUS_OK) {
            *message = number_text::message(st);
            return st;
        }
        cursor.cur = q;
        if (q < cursor.end || !cursor.refill()) break;
        p = cursor.cur;
        q = scan::number_run(p, cursor.end);
    }
    if (cursor.state() != input_cursor::read_failed) return TAMSEL_STATUS_OK;
    *message = nullptr;
    return cursor.failure();
}

tamsel_status copy_value(copy_state &state, int first, size_t depth, bool emit) {
    const bool check = state.utf8_check;
    if (!emit || !state.copy.out)
        return check ? run_copy<true, true, false>(state, first, depth)
                     : run_copy<true, false, false>(state, first, depth);
    if (state.copy.keep_escapes)
        return check ? run_copy<true, true, true>(state, first, depth)
                     : run_copy<true, false, true>(state, first, depth);
    return check ? run_copy<false, true, true>(state, first, depth)
                 : run_copy<false, false, true>(state, first, depth);
}

int next_significant(input_cursor &cursor) {
    for (;;) {
        size_t lines = 0;
        const uint8_t *last_newline = nullptr;
        const uint8_t *p = scan::whitespace_run(cursor.cur, cursor.end, &lines, &last_newline);
        if (lines) cursor.newlines(static_cast<unsigned>(lines), last_newline);
        if (p < cursor.end) {
            cursor.cur = p + 1;
            return *p;
        }
        cursor.cur = p;
        if (!cursor.refill()) return cursor.state();
    }
}

tamsel_status compact_value(input_cursor &cursor, const tamsel_value_limits &limits,
                            const tamsel_allocator &allocator, const span_copy &copy,
                            const char *trailing_message, bool utf8_check) {
    int c = next_significant(cursor);
    if (c < 0)
        return c == input_cursor::read_failed
                   ? cursor.failure()
                   : cursor.fail_here(TAMSEL_STATUS_INVALID_JSON, "expected JSON value");
    copy_state state(cursor, limits, allocator, copy, utf8_check);
    TAMSEL_TRY(copy_value(state, c, 0, copy.out != nullptr));
    if (next_significant(cursor) != input_cursor::end_of_input)
        return cursor.fail_here(TAMSEL_STATUS_INVALID_JSON, trailing_message);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::visit

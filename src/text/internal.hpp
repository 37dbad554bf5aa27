// The JSON text rules, in one place: string escaping, integers, doubles, base64 and pretty
// indentation. Every writer of JSON text (the serializer, the pull generator, and later the
// streaming writer, the rewriters and the CLI) emits through these functions into an
// io::byte_output, so the bytes and the piece boundaries are the same wherever text is made.
//
// Pieces: each function hands the output the same pieces a sink would see one call each for
// (the opening quote, a run of plain bytes, one escape, the closing quote; a '-' before the
// digits; one 4-character base64 group...). The owner of the output decides what a piece that
// does not fit means (a caller buffer under the exact policy fails on it whole); in-place fast
// paths are taken only when every piece they stand for would have fitted.
#pragma once

#include "core/internal.hpp"
#include "io/output.hpp"

#include <array>
#include <cstring>

namespace tamsel::text {

// ---- escaping ---------------------------------------------------------------------------------

// What follows the backslash for each byte: 0 = copied unchanged, 'u' = \u00XX with lowercase
// hex digits, else the letter of the short escape (or the quote or backslash itself).
constexpr std::array<uint8_t, 256> make_escape_table() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c)
        t[c] = 'u';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
inline constexpr std::array<uint8_t, 256> escape_table = make_escape_table();
static_assert(escape_table['\n'] == 'n' && escape_table['\t'] == 't' && escape_table['\b'] == 'b');
static_assert(escape_table['\f'] == 'f' && escape_table['\r'] == 'r');
static_assert(escape_table['"'] == '"' && escape_table['\\'] == '\\');
static_assert(escape_table[0x00] == 'u' && escape_table[0x01] == 'u' && escape_table[0x1F] == 'u');
static_assert(escape_table['/'] == 0 && escape_table[0x7F] == 0 && escape_table[' '] == 0);
static_assert(escape_table[0x80] == 0 && escape_table[0xC3] == 0 && escape_table[0xFF] == 0);

inline constexpr char hex_digits[] = "0123456789abcdef";

// The first byte in [p, e) that needs escaping, or `e`.
[[nodiscard]] const uint8_t *find_escape(const uint8_t *p, const uint8_t *e);
// Copies the bytes of [p, e) before the first that needs escaping to `out`, which has room for
// all of [p, e); returns how many. One pass where find_escape and a copy would make two.
[[nodiscard]] size_t copy_plain(uint8_t *out, const uint8_t *p, const uint8_t *e);
// The escape text of a byte that needs one (2 or 6 bytes) into `out`; returns its length.
[[nodiscard]] inline size_t escape_sequence(uint8_t b, char out[6]) {
    const uint8_t e = escape_table[b];
    out[0] = '\\';
    if (e != 'u') {
        out[1] = static_cast<char>(e);
        return 2;
    }
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = hex_digits[b >> 4];
    out[5] = hex_digits[b & 15];
    return 6;
}
// Whether any of the eight bytes of `w` needs escaping: below 0x20, '"' or '\\'. Exact for
// the word as a whole (the classic has-zero-byte tests), not for where.
[[nodiscard]] inline bool word_has_escape(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    const uint64_t quote = w ^ (ones * '"'), backslash = w ^ (ones * '\\');
    const uint64_t control = (w - ones * 0x20) & ~w;
    const uint64_t hits = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | control;
    return hits & highs;
}

[[nodiscard]] inline uint64_t load8(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// True when no byte of [p, p + n) needs escaping.
[[nodiscard]] inline bool is_plain(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    if (n >= 16) return find_escape(b, b + n) == b + n;
    // Keys are mostly a few bytes: two overlapping words (or half-words) cover them without a
    // call; fewer than four bytes a table lookup each.
    if (n >= 8) return !word_has_escape(load8(b)) && !word_has_escape(load8(b + n - 8));
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, b, 4);
        std::memcpy(&hi, b + n - 4, 4);
        return !word_has_escape(lo | static_cast<uint64_t>(hi) << 32);
    }
    uint8_t any = 0;
    for (size_t i = 0; i < n; ++i)
        any |= escape_table[b[i]];
    return any == 0;
}

// The escaped body of `len` bytes (no quotes): each run of plain bytes is one piece, each
// escape another. Bytes are looked at one by one, so text may be escaped in pieces.
[[nodiscard]] tamsel_status escaped_fragment(io::byte_output &out, const void *bytes, size_t len);
// A whole JSON string: quote, body, quote.
[[nodiscard]] tamsel_status escaped_string(io::byte_output &out, const void *bytes, size_t len);

// ---- reading escapes ---------------------------------------------------------------------------

// The byte each one-letter escape stands for (`\n` is 0x0A, `\/` is '/'); 0 for every other
// byte, 'u' included (four hexadecimal digits follow it).
constexpr std::array<uint8_t, 256> make_unescape_table() {
    std::array<uint8_t, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    t['b'] = 0x08;
    t['f'] = 0x0C;
    t['n'] = 0x0A;
    t['r'] = 0x0D;
    t['t'] = 0x09;
    return t;
}
inline constexpr std::array<uint8_t, 256> unescape_table = make_unescape_table();
static_assert(unescape_table['n'] == '\n' && unescape_table['/'] == '/' &&
              unescape_table['u'] == 0);
static_assert(unescape_table['"'] == '"' && unescape_table['a'] == 0 && unescape_table[0] == 0);

// The value of a hexadecimal digit, or -1 (any int, end-of-input markers included).
[[nodiscard]] constexpr int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The UTF-8 bytes of code point `cp` (at most 0x10FFFF) into `out`; returns their count.
[[nodiscard]] inline size_t encode_utf8(uint32_t cp, uint8_t out[4]) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

// ---- numbers ----------------------------------------------------------------------------------

// Room for the decimal digits of any 64-bit integer and a sign.
inline constexpr size_t integer_text_capacity = 24;
// Room for any double in the "%.17g" form ("-2.2250738585072014e-308" is 24 bytes).
inline constexpr size_t double_text_capacity = 32;

// Writes the digits of `v` so that they end at `end`; returns where they start.
[[nodiscard]] char *format_u64_backwards(uint64_t v, char *end);
// The decimal text of `v` into `out`; returns its length.
[[nodiscard]] size_t format_u64(uint64_t v, char out[integer_text_capacity]);
[[nodiscard]] size_t format_i64(int64_t v, char out[integer_text_capacity]);
// The "%.17g" text of a finite `v` as the C locale gives it, whatever the process locale;
// returns its length, or 0 when `v` is NaN or infinite (JSON has no text for those).
[[nodiscard]] size_t format_double(double v, char out[double_text_capacity]);

// Digits as one piece.
[[nodiscard]] tamsel_status emit_u64(io::byte_output &out, uint64_t v);
// '-' as its own piece for a negative value, then the digits of the magnitude (the minimum
// value included: the magnitude is taken in unsigned arithmetic).
[[nodiscard]] tamsel_status emit_i64(io::byte_output &out, int64_t v);
// The "%.17g" text as one piece. A NaN or infinity fails with status 3 and `nonfinite_message`
// before anything of the value is written.
[[nodiscard]] tamsel_status emit_double(io::byte_output &out, double v, tamsel_error *error,
                                        const char *nonfinite_message);
[[nodiscard]] [[gnu::always_inline]] inline tamsel_status emit_bool(io::byte_output &out, bool v) {
    return v ? out.put("true", 4) : out.put("false", 5);
}

// True when text[0..len) matches the JSON number grammar as a whole:
// -? (0 | [1-9][0-9]*) (\.[0-9]+)? ([eE][+-]?[0-9]+)?
[[nodiscard]] bool is_valid_json_number(const char *text, size_t len);

// ---- base64 -----------------------------------------------------------------------------------

inline constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encodes `groups` complete 3-byte groups of `in` as 4 characters each into `out`.
void base64_groups(const uint8_t *in, size_t groups, char *out);
// The last group of 1 or 2 bytes with its '=' padding (4 characters).
void base64_tail(const uint8_t *in, size_t n, char out[4]);

// Base64 of a byte stream that arrives in pieces: each complete group is one 4-character
// piece, up to two leftover bytes are carried into the next feed, and finish() writes the
// padded last group.
class base64_stream {
  public:
    [[nodiscard]] tamsel_status feed(io::byte_output &out, const void *bytes, size_t len);
    [[nodiscard]] tamsel_status finish(io::byte_output &out);

  private:
    uint8_t carry_[3] = {};
    size_t carried_ = 0;
};

// ---- layout -----------------------------------------------------------------------------------

// A newline followed by 64 spaces: every indentation is cut from it.
inline constexpr char indent_text[] =
    "\n                                                                ";
static_assert(sizeof indent_text == 66);

// Indent(level): a newline and 2 x level spaces. Up to 32 levels are one piece; deeper ones
// the newline with 64 spaces, then runs of 64 while more than 64 remain, then the rest. A
// level beyond INT64_MAX fails with status 6 "JSON indentation depth is too large".
[[nodiscard]] tamsel_status indent_deep(io::byte_output &out, uint64_t level, tamsel_error *error);
[[nodiscard]] [[gnu::always_inline]] inline tamsel_status
indent(io::byte_output &out, uint64_t level, tamsel_error *error) {
    if (level <= 32) return out.put(indent_text, 1 + 2 * static_cast<size_t>(level));
    return indent_deep(out, level, error);
}
// ',' and then Indent(level), as two pieces (one copy when both fit).
[[nodiscard]] [[gnu::always_inline]] inline tamsel_status
comma_indent(io::byte_output &out, uint64_t level, tamsel_error *error) {
    if (level <= 32) {
        const size_t n = 1 + 2 * static_cast<size_t>(level);
        if (out.room() > n) {
            unsigned char *w = out.window();
            w[0] = ',';
            io::byte_output::copy(w + 1, indent_text, n);
            out.advance(n + 1);
            return TAMSEL_STATUS_OK;
        }
    }
    TAMSEL_TRY(out.put(','));
    return indent(out, level, error);
}

} // namespace tamsel::text

// A sink that lays compact JSON text out as it streams by: one member or element per line,
// `indent` spaces per level, `"key": value`, empty containers kept as `{}` and `[]` (the
// layout of `tamsel fmt --pretty`). It needs no stack: compact text has no whitespace outside
// strings, so each structural byte says what to write, and only string state crosses pieces.
#include "tool.hpp"

namespace tool {
namespace {

bool structural(char c) {
    return c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':' || c == '"';
}

} // namespace

reindent::reindent(output &out, unsigned indent) : out_(out), indent_(indent) {}

tamsel_status reindent::sink(void *user, const void *data, size_t len, tamsel_error *) {
    return static_cast<reindent *>(user)->feed(static_cast<const char *>(data), len);
}

tamsel_status reindent::feed(const char *p, size_t n) {
    const char *const e = p + n;
    tamsel_status st = TAMSEL_STATUS_OK;
    while (p < e && st == TAMSEL_STATUS_OK) {
        if (in_string_) {
            // Copy up to and including the closing quote or the next backslash; the byte a
            // backslash escapes is copied as it stands, also when it starts the next piece.
            const char *q = p;
            if (escaped_) {
                escaped_ = false;
                ++q;
            }
            while (q < e && *q != '"' && *q != '\\')
                ++q;
            if (q == e) return out_.put(p, static_cast<size_t>(e - p));
            if (*q == '\\')
                escaped_ = true;
            else
                in_string_ = false;
            st = out_.put(p, static_cast<size_t>(q + 1 - p));
            p = q + 1;
            continue;
        }
        const char c = *p;
        if (opened_) {
            // The byte after `{` or `[` decides: a close keeps the container on one line.
            opened_ = false;
            if (c == '}' || c == ']') {
                --depth_;
                st = out_.put(p++, 1);
                continue;
            }
            st = out_.newline(depth_ * indent_);
            continue;
        }
        switch (c) {
        case '{':
        case '[':
            ++depth_;
            opened_ = true;
            st = out_.put(p++, 1);
            break;
        case '}':
        case ']':
            --depth_;
            st = out_.newline(depth_ * indent_);
            if (st == TAMSEL_STATUS_OK) st = out_.put(p++, 1);
            break;
        case ',':
            st = out_.put(p++, 1);
            if (st == TAMSEL_STATUS_OK) st = out_.newline(depth_ * indent_);
            break;
        case ':':
            ++p;
            st = out_.put(": ", 2);
            break;
        case '"':
            in_string_ = true;
            st = out_.put(p++, 1);
            break;
        default: {
            // A run of scalar text (a number or a literal).
            const char *q = p;
            while (q < e && !structural(*q))
                ++q;
            st = out_.put(p, static_cast<size_t>(q - p));
            p = q;
        }
        }
    }
    return st;
}

} // namespace tool

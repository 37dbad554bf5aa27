// The JSON number grammar, shared by the walkers and the parser.
#include "text/internal.hpp"

namespace tamsel::text {

namespace {
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
} // namespace

bool is_valid_json_number(const char *s, size_t len) {
    size_t i = 0;
    if (i < len && s[i] == '-') ++i;
    if (i >= len) return false;
    if (s[i] == '0') {
        ++i;
    } else if (s[i] >= '1' && s[i] <= '9') {
        while (i < len && is_digit(s[i]))
            ++i;
    } else {
        return false;
    }
    if (i < len && s[i] == '.') {
        ++i;
        if (i >= len || !is_digit(s[i])) return false;
        while (i < len && is_digit(s[i]))
            ++i;
    }
    if (i < len && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < len && (s[i] == '+' || s[i] == '-')) ++i;
        if (i >= len || !is_digit(s[i])) return false;
        while (i < len && is_digit(s[i]))
            ++i;
    }
    return i == len;
}

} // namespace tamsel::text

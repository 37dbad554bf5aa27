// UTF-8 test cases shared by the scanner, parser and visitor suites: well-formed 2-, 3- and
// 4-byte characters at the edges of their ranges, and one or two of each ill-formed class, with
// the index of the first bad byte (the first at which the bytes stop being the start of
// well-formed UTF-8). A case whose sequence is cut short has its bad byte one past its end:
// whatever byte follows it.
#pragma once

#include <string>
#include <vector>

namespace utf8_test {

struct utf8_case {
    const char *name;
    std::string bytes;
    int bad; // -1: well-formed
};

inline const std::vector<utf8_case> &cases() {
    static const std::vector<utf8_case> all = {
        {"two bytes, lowest", "\xC2\x80", -1},
        {"two bytes", "\xC3\xA9", -1},
        {"two bytes, highest", "\xDF\xBF", -1},
        {"three bytes after E0", "\xE0\xA0\x80", -1},
        {"three bytes", "\xE2\x82\xAC", -1},
        {"three bytes below the surrogates", "\xED\x9F\xBF", -1},
        {"three bytes, highest", "\xEF\xBF\xBF", -1},
        {"four bytes, lowest", "\xF0\x90\x80\x80", -1},
        {"four bytes", "\xF0\x9F\x98\x80", -1},
        {"four bytes, U+10FFFF", "\xF4\x8F\xBF\xBF", -1},
        {"stray continuation", "\x80", 0},
        {"stray continuation after a character", "\xC3\xA9\xBF", 2},
        {"overlong C0", "\xC0\x80", 0},
        {"overlong C1", "\xC1\xBF", 0},
        {"overlong three bytes", "\xE0\x80\x80", 1},
        {"overlong three bytes, highest", "\xE0\x9F\xBF", 1},
        {"overlong four bytes", "\xF0\x8F\xBF\xBF", 1},
        {"surrogate D800", "\xED\xA0\x80", 1},
        {"surrogate DFFF", "\xED\xBF\xBF", 1},
        {"above U+10FFFF after F4", "\xF4\x90\x80\x80", 1},
        {"above U+10FFFF, F5", "\xF5\x80\x80\x80", 0},
        {"byte FF", "\xFF", 0},
        {"two bytes cut short", "\xC3", 1},
        {"three bytes cut short", "\xE2\x82", 2},
        {"four bytes cut short", "\xF0\x9F\x98", 3},
        {"lead byte interrupting a sequence", "\xE2\xC3\xA9", 1},
    };
    return all;
}

// `len` bytes of whole characters taken in turn from `chars` ('x' where the next one would
// not fit): text before a case, ASCII or multibyte.
inline std::string filler(const std::vector<std::string> &chars, size_t len) {
    std::string s;
    for (size_t k = 0; s.size() < len; ++k) {
        const std::string &ch = chars[k % chars.size()];
        s += s.size() + ch.size() <= len ? ch : std::string("x");
    }
    return s;
}

inline const std::vector<std::vector<std::string>> &fillers() {
    static const std::vector<std::vector<std::string>> all = {
        {"a", "b", "c"}, {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}};
    return all;
}

// The JSONTestSuite files (test_parsing/) whose strings or keys hold ill-formed UTF-8 and
// nothing that fails first: with the check on, each fails with "invalid UTF-8 in ...".
inline const std::vector<std::string> &ill_formed_suite_files() {
    static const std::vector<std::string> all = {
        "i_string_UTF-8_invalid_sequence.json",
        "i_string_UTF8_surrogate_U+D800.json",
        "i_string_invalid_utf-8.json",
        "i_string_iso_latin_1.json",
        "i_string_lone_utf8_continuation_byte.json",
        "i_string_not_in_unicode_range.json",
        "i_string_overlong_sequence_2_bytes.json",
        "i_string_overlong_sequence_6_bytes.json",
        "i_string_overlong_sequence_6_bytes_null.json",
        "i_string_truncated-utf-8.json",
        "n_object_lone_continuation_byte_in_key_and_trailing_comma.json"};
    return all;
}

} // namespace utf8_test

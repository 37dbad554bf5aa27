// Multipart part headers: the header list, the Content-Disposition parameters (name and
// filename), Content-Type and Content-Length.
#include "framing/multipart_state.hpp"

#include <array>
#include <cstring>
#include <string_view>

namespace tamsel::framing {

namespace {

constexpr size_t initial_headers = 8;
constexpr size_t slot_pair_bytes = sizeof(header_slot) + sizeof(tamsel_multipart_header);
static_assert(alignof(tamsel_multipart_header) <= alignof(header_slot) &&
              sizeof(header_slot) % alignof(tamsel_multipart_header) == 0);

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// ASCII lower case of every byte.
constexpr std::array<char, 256> make_fold() {
    std::array<char, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return t;
}
constexpr std::array<char, 256> fold = make_fold();
static_assert(fold['C'] == 'c' && fold['c'] == 'c' && fold['-'] == '-' && fold['\r'] == '\r');

uint64_t load8(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// 0x20 in every byte of `w` that is a lower-case ASCII letter, 0 elsewhere.
uint64_t letter_bits(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    const uint64_t seven = w & ~highs; // no carry leaves a byte below
    const uint64_t at_least_a = seven + ones * (0x80 - 'a');
    const uint64_t above_z = seven + ones * (0x80 - 'z' - 1);
    return (at_least_a & ~above_z & ~w & highs) >> 2;
}

// ASCII case-insensitive equality with a lower-case name of the same length. Eight bytes a
// step: the text's bytes get the case bit where the name has a letter, so a letter matches
// in either case and any other byte exactly.
bool name_is(std::string_view text, std::string_view lower) {
    const size_t n = lower.size();
    if (text.size() != n) return false;
    if (n < 8) {
        for (size_t i = 0; i < n; ++i)
            if (fold[static_cast<unsigned char>(text[i])] != lower[i]) return false;
        return true;
    }
    for (size_t i = 0;; i += 8) {
        const size_t at = i + 8 <= n ? i : n - 8; // the last word may overlap the one before
        const uint64_t want = load8(lower.data() + at);
        if ((load8(text.data() + at) | letter_bits(want)) != want) return false;
        if (at + 8 >= n) return true;
    }
}

// The first '"' or '\\' of `s` from `from` on, or its size: memchr for the quote, then for a
// backslash before it.
size_t quote_or_backslash(std::string_view s, size_t from) {
    const char *p = s.data() + from;
    const void *q = std::memchr(p, '"', s.size() - from);
    const size_t to = q ? static_cast<size_t>(static_cast<const char *>(q) - s.data()) : s.size();
    const void *bs = std::memchr(p, '\\', to - from);
    return bs ? static_cast<size_t>(static_cast<const char *>(bs) - s.data()) : to;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Appends `s` and a NUL to the arena; `*offset` gets where it starts. The arena is bounded by
// the header count and line limits, which every header line was checked against.
tamsel_status arena_put(mp_block &b, std::string_view s, size_t *offset, tamsel_error *error) {
    *offset = b.arena.length;
    TAMSEL_TRY(
        io::byte_append(b.arena, s.data(), s.size(), io::byte_buffer_no_limit, b.allocator, error));
    return io::byte_append(b.arena, "", 1, io::byte_buffer_no_limit, b.allocator, error);
}

tamsel_status grow_headers(mp_block &b, tamsel_error *error) {
    const size_t wanted = b.header_capacity ? b.header_capacity * 2 : initial_headers;
    const size_t capacity = wanted < b.max_header_count ? wanted : b.max_header_count;
    size_t bytes;
    void *grown = nullptr;
    if (checked_mul(capacity, slot_pair_bytes, &bytes))
        grown = raw_realloc(b.allocator, b.slots, b.header_capacity * slot_pair_bytes, bytes);
    if (!grown) return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate headers");
    // Only the slots (at the front) carry content while headers are collected.
    b.slots = static_cast<header_slot *>(grown);
    b.headers = reinterpret_cast<tamsel_multipart_header *>(b.slots + capacity);
    b.header_capacity = capacity;
    return TAMSEL_STATUS_OK;
}

// Content-Disposition: the parameters after the value's first ';'. A quoted value takes the
// character after a backslash literally; `name` and `filename` (any case) replace the part's.
tamsel_status disposition(mp_block &b, std::string_view value, uint64_t offset,
                          tamsel_error *error) {
    size_t i = value.find(';');
    if (i == std::string_view::npos) return TAMSEL_STATUS_OK;
    ++i;
    while (i < value.size()) {
        while (i < value.size() && (is_blank(value[i]) || value[i] == ';'))
            ++i;
        const size_t name_start = i;
        while (i < value.size() && value[i] != '=' && value[i] != ';')
            ++i;
        const std::string_view name = trim(value.substr(name_start, i - name_start));
        if (i >= value.size() || value[i] != '=') continue;
        ++i;
        while (i < value.size() && is_blank(value[i]))
            ++i;
        size_t *target = name_is(name, "name")       ? &b.name
                         : name_is(name, "filename") ? &b.filename
                                                     : nullptr;
        const size_t start = b.arena.length;
        if (i < value.size() && value[i] == '"') {
            ++i;
            bool closed = false;
            while (i < value.size()) {
                const size_t run_start = i;
                i = quote_or_backslash(value, i);
                if (target)
                    TAMSEL_TRY(io::byte_append(b.arena, value.data() + run_start, i - run_start,
                                               io::byte_buffer_no_limit, b.allocator, error));
                if (i >= value.size()) break;
                if (value[i] == '"') {
                    ++i;
                    closed = true;
                    break;
                }
                // A backslash: the next character is taken as it is; at the very end the
                // backslash stays.
                const size_t literal = i + 1 < value.size() ? i + 1 : i;
                if (target)
                    TAMSEL_TRY(io::byte_append(b.arena, value.data() + literal, 1,
                                               io::byte_buffer_no_limit, b.allocator, error));
                i = literal + 1;
            }
            if (!closed)
                return fail_at(error, TAMSEL_STATUS_INVALID_JSON, offset,
                               "multipart Content-Disposition name invalid");
        } else {
            const size_t token_start = i;
            while (i < value.size() && value[i] != ';' && !is_blank(value[i]))
                ++i;
            if (target)
                TAMSEL_TRY(io::byte_append(b.arena, value.data() + token_start, i - token_start,
                                           io::byte_buffer_no_limit, b.allocator, error));
        }
        if (target) {
            TAMSEL_TRY(
                io::byte_append(b.arena, "", 1, io::byte_buffer_no_limit, b.allocator, error));
            *target = start;
        }
        // Whatever follows the value up to the next ';' is not part of it.
        while (i < value.size() && value[i] != ';')
            ++i;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status content_length(mp_block &b, std::string_view value, uint64_t offset,
                             tamsel_error *error) {
    if (value.empty())
        return fail_at(error, TAMSEL_STATUS_INVALID_JSON, offset,
                       "multipart Content-Length is invalid");
    int64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return fail_at(error, TAMSEL_STATUS_INVALID_JSON, offset,
                           "multipart Content-Length is invalid");
        const int64_t d = c - '0';
        if (n > (INT64_MAX - d) / 10)
            return fail_at(error, TAMSEL_STATUS_OVERFLOW, offset,
                           "multipart Content-Length exceeds supported range");
        n = n * 10 + d;
    }
    b.content_length = n;
    return TAMSEL_STATUS_OK;
}

} // namespace

void reset_part(mp_block &b) noexcept {
    io::byte_clear(b.arena);
    io::byte_clear(b.look);
    b.cand = cand_step::none;
    b.matched = 0;
    b.header_count = 0;
    b.name = b.filename = b.content_type = no_offset;
    b.content_length = -1;
    b.remaining = 0;
    b.begun = false;
    b.part = tamsel_multipart_part{};
}

void free_header_slots(mp_block &b) noexcept {
    raw_free(b.allocator, b.slots, b.header_capacity * slot_pair_bytes);
    b.slots = nullptr;
    b.headers = nullptr;
    b.header_capacity = 0;
}

tamsel_status header_line(mp_block &b, std::string_view line, uint64_t offset,
                          tamsel_error *error) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return fail_at(error, TAMSEL_STATUS_INVALID_JSON, offset, "invalid multipart header line");
    if (b.header_count >= b.max_header_count)
        return fail_at(error, TAMSEL_STATUS_OVERFLOW, offset,
                       "multipart header count limit exceeded");
    if (b.header_count == b.header_capacity) TAMSEL_TRY(grow_headers(b, error));
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim(line.substr(colon + 1));
    header_slot slot;
    TAMSEL_TRY(arena_put(b, name, &slot.name, error));
    TAMSEL_TRY(arena_put(b, value, &slot.value, error));
    b.slots[b.header_count++] = slot;
    if (name_is(name, "content-disposition")) return disposition(b, value, offset, error);
    if (name_is(name, "content-type")) {
        b.content_type = slot.value;
        return TAMSEL_STATUS_OK;
    }
    if (name_is(name, "content-length")) return content_length(b, value, offset, error);
    return TAMSEL_STATUS_OK;
}

void publish_part(mp_block &b) noexcept {
    const char *base = b.arena.data;
    for (size_t i = 0; i < b.header_count; ++i)
        b.headers[i] = tamsel_multipart_header{base + b.slots[i].name, base + b.slots[i].value};
    b.part.name = b.name == no_offset ? nullptr : base + b.name;
    b.part.content_type = b.content_type == no_offset ? nullptr : base + b.content_type;
    b.part.content_length = b.content_length;
    b.part.headers = b.header_count ? b.headers : nullptr;
    b.part.header_count = b.header_count;
    b.part.filename = b.filename == no_offset ? nullptr : base + b.filename;
}

} // namespace tamsel::framing

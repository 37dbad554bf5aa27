// Multipart parser life cycle: options, the boundary taken from the Content-Type value, close.
#include "framing/multipart_state.hpp"

#include <cstring>
#include <new>

namespace tamsel::framing {

namespace {

constexpr size_t default_max_boundary = 200;
constexpr size_t default_max_line = 65536;
constexpr size_t default_max_headers = 64;
constexpr size_t default_max_body_buffer = 1048576;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void release(tamsel_multipart *parser) noexcept {
    mp_block &b = parser->block;
    const tamsel_allocator alloc = b.allocator;
    io::byte_buffer_free(b.close_line, alloc);
    io::byte_buffer_free(b.lf_delimiter, alloc);
    io::byte_buffer_free(b.line, alloc);
    io::byte_buffer_free(b.look, alloc);
    io::byte_buffer_free(b.arena, alloc);
    free_header_slots(b);
    parser->~tamsel_multipart();
    raw_free(alloc, parser, sizeof(tamsel_multipart));
}

struct boundary_text {
    const char *text = nullptr;
    size_t length = 0;
};

// Finds the first `boundary` item of a Content-Type value: items separated by ';', each a name,
// '=' and a token or a quoted string (no escapes). Items without '=' (the media type) are
// skipped.
tamsel_status find_boundary(const char *s, boundary_text *out, tamsel_error *error) {
    size_t i = 0;
    for (;;) {
        while (s[i] == ' ' || s[i] == '\t' || s[i] == ';')
            ++i;
        if (!s[i]) break;
        const size_t name_start = i;
        while (s[i] && s[i] != '=' && s[i] != ';')
            ++i;
        size_t name_end = i;
        while (name_end > name_start && is_blank(s[name_end - 1]))
            --name_end;
        if (s[i] != '=') continue; // no value: on to the next ';'
        ++i;
        while (is_blank(s[i]))
            ++i;
        const char *value;
        size_t value_len;
        if (s[i] == '"') {
            const char *close = std::strchr(s + i + 1, '"');
            if (!close)
                return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "multipart boundary quote is unterminated");
            value = s + i + 1;
            value_len = static_cast<size_t>(close - value);
            i = static_cast<size_t>(close - s) + 1;
        } else {
            value = s + i;
            while (s[i] && !is_blank(s[i]) && s[i] != ';')
                ++i;
            value_len = static_cast<size_t>(s + i - value);
        }
        static constexpr char key[] = "boundary";
        bool is_boundary = name_end - name_start == sizeof key - 1;
        for (size_t k = 0; is_boundary && k < sizeof key - 1; ++k)
            is_boundary = ascii_lower(s[name_start + k]) == key[k];
        if (is_boundary) {
            out->text = value;
            out->length = value_len;
            return TAMSEL_STATUS_OK;
        }
    }
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "multipart Content-Type missing boundary");
}

tamsel_status store_boundary(mp_block &b, const boundary_text &bt, tamsel_error *error) {
    if (bt.length == 0 || std::memchr(bt.text, '\r', bt.length) ||
        std::memchr(bt.text, '\n', bt.length))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "multipart boundary is invalid");
    if (bt.length > b.max_boundary_bytes)
        return fail(error, TAMSEL_STATUS_OVERFLOW, "multipart boundary length limit exceeded");
    // bt.length <= max_boundary_bytes fits in memory, so + 4 cannot wrap in practice; the
    // buffer checks the sum anyway.
    TAMSEL_TRY(
        io::byte_append(b.close_line, "--", 2, io::byte_buffer_no_limit, b.allocator, error));
    TAMSEL_TRY(io::byte_append(b.close_line, bt.text, bt.length, io::byte_buffer_no_limit,
                               b.allocator, error));
    TAMSEL_TRY(
        io::byte_append(b.close_line, "--", 2, io::byte_buffer_no_limit, b.allocator, error));
    b.delimiter_len = bt.length + 2;
    TAMSEL_TRY(
        io::byte_append(b.lf_delimiter, "\n", 1, io::byte_buffer_no_limit, b.allocator, error));
    TAMSEL_TRY(io::byte_append(b.lf_delimiter, b.close_line.data, b.delimiter_len,
                               io::byte_buffer_no_limit, b.allocator, error));
    // The longest look-behind: CR LF, the close delimiter, CR, and the byte that decides it.
    size_t longest;
    b.roomy_look =
        checked_add(b.close_line.length, 4, &longest) && longest <= b.max_body_buffer_bytes;
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_status fail_at(tamsel_error *error, tamsel_status code, uint64_t offset,
                      const char *message) {
    return tamsel__set_error(error, code, static_cast<size_t>(offset), 0, 0, "%s", message);
}

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" {

TAMSEL_API tamsel_multipart_options tamsel_default_multipart_options(void) {
    tamsel_multipart_options o{};
    o.max_boundary_bytes = default_max_boundary;
    o.max_line_bytes = default_max_line;
    o.max_header_count = default_max_headers;
    o.max_body_buffer_bytes = default_max_body_buffer;
    o.allocator = nullptr;
    return o;
}

TAMSEL_API tamsel_multipart *tamsel_multipart_open(const char *content_type,
                                                   const tamsel_multipart_options *options,
                                                   tamsel_error *error) {
    if (!content_type) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "multipart Content-Type is required");
        return nullptr;
    }
    const tamsel_multipart_options given = options ? *options : tamsel_default_multipart_options();
    tamsel_allocator alloc;
    if (require_allocator(given.allocator, &alloc, error) != TAMSEL_STATUS_OK) return nullptr;
    void *raw = raw_realloc(alloc, nullptr, 0, sizeof(tamsel_multipart));
    if (!raw) {
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate multipart parser");
        return nullptr;
    }
    std::memset(raw, 0, sizeof(tamsel_multipart));
    auto *parser = new (raw) tamsel_multipart();
    mp_block &b = parser->block;
    b.allocator = alloc;
    b.max_boundary_bytes =
        given.max_boundary_bytes ? given.max_boundary_bytes : default_max_boundary;
    b.max_line_bytes = given.max_line_bytes ? given.max_line_bytes : default_max_line;
    b.max_header_count = given.max_header_count ? given.max_header_count : default_max_headers;
    b.max_body_buffer_bytes =
        given.max_body_buffer_bytes ? given.max_body_buffer_bytes : default_max_body_buffer;
    boundary_text bt;
    if (find_boundary(content_type, &bt, error) != TAMSEL_STATUS_OK ||
        store_boundary(b, bt, error) != TAMSEL_STATUS_OK) {
        release(parser);
        return nullptr;
    }
    clear_error(error);
    return parser;
}

TAMSEL_API void tamsel_multipart_close(tamsel_multipart *parser) {
    // Closed from a callback of the running push, it is freed when that push returns.
    if (parser && parser->block.call.close_now()) release(parser);
}

} // extern "C"

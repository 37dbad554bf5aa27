// Status texts and the one routine that fills an error record.
#include "core/internal.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::array<const char *, 12> status_texts = {
    "ok",
    "invalid_argument",
    "invalid_json",
    "type_mismatch",
    "missing_required_field",
    "duplicate_field",
    "overflow",
    "truncated",
    "allocation_failed",
    "callback_failed",
    "io_error",
    "internal_error",
};
static_assert(status_texts.size() == TAMSEL_STATUS_INTERNAL_ERROR + 1);
static_assert(std::string_view(status_texts[TAMSEL_STATUS_TRUNCATED]) == "truncated");
static_assert(std::string_view(status_texts[TAMSEL_STATUS_INTERNAL_ERROR]) == "internal_error");

tamsel_status set_error_v(tamsel_error *error, tamsel_status code, size_t offset, size_t line,
                          size_t column, const char *format, va_list args) {
    if (!error) return code;
    error->code = code;
    error->offset = offset;
    error->line = line;
    error->column = column;
    if (code == TAMSEL_STATUS_TRUNCATED) error->truncated = 1;
    // vsnprintf cuts at capacity - 1 and always terminates.
    if (std::vsnprintf(error->message, sizeof error->message, format, args) < 0)
        error->message[0] = '\0';
    return code;
}

} // namespace

extern "C" void tamsel_error_init(tamsel_error *error) {
    if (error) std::memset(error, 0, sizeof *error);
}

extern "C" const char *tamsel_status_string(tamsel_status status) {
    return status < status_texts.size() ? status_texts[status] : "unknown";
}

tamsel_status tamsel__set_error(tamsel_error *error, tamsel_status code, size_t offset, size_t line,
                                size_t column, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tamsel_status result = set_error_v(error, code, offset, line, column, format, args);
    va_end(args);
    return result;
}

namespace tamsel {

tamsel_status fail(tamsel_error *error, tamsel_status code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tamsel_status result = set_error_v(error, code, 0, 0, 0, format, args);
    va_end(args);
    return result;
}

tamsel_status open_failed(tamsel_error *error, const char *path, size_t line) {
    const int code = errno;
    tamsel_error_init(error);
    if (error) error->system_errno = code;
    return tamsel__set_error(error, TAMSEL_STATUS_IO_ERROR, 0, line, 0, "failed to open '%s'",
                             path);
}

} // namespace tamsel

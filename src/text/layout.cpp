// Pretty layout: indentation deeper than one piece can hold.
#include "text/internal.hpp"

namespace tamsel::text {

tamsel_status indent_deep(io::byte_output &out, uint64_t level, tamsel_error *error) {
    if (level > static_cast<uint64_t>(INT64_MAX))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "JSON indentation depth is too large");
    if (level <= 32) return out.put(indent_text, 1 + 2 * static_cast<size_t>(level));
    TAMSEL_TRY(out.put(indent_text, 65));
    uint64_t left = 2 * level - 64;
    while (left > 64) {
        TAMSEL_TRY(out.put(indent_text + 1, 64));
        left -= 64;
    }
    return out.put(indent_text + 1, static_cast<size_t>(left));
}

} // namespace tamsel::text

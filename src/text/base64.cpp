// Base64 (RFC 4648, with padding) for byte fields, whole or as a stream of pieces.
#include "text/internal.hpp"

#include <cstring>

namespace tamsel::text {

void base64_groups(const uint8_t *in, size_t groups, char *out) {
    for (size_t i = 0; i < groups; ++i, in += 3, out += 4) {
        const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
        out[0] = base64_alphabet[v >> 18];
        out[1] = base64_alphabet[(v >> 12) & 63];
        out[2] = base64_alphabet[(v >> 6) & 63];
        out[3] = base64_alphabet[v & 63];
    }
}

void base64_tail(const uint8_t *in, size_t n, char out[4]) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (n > 1 ? uint32_t{in[1]} << 8 : 0);
    out[0] = base64_alphabet[v >> 18];
    out[1] = base64_alphabet[(v >> 12) & 63];
    out[2] = n > 1 ? base64_alphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
}

tamsel_status base64_stream::feed(io::byte_output &out, const void *bytes, size_t len) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    if (carried_) {
        while (carried_ < 3 && len) {
            carry_[carried_++] = *p++;
            --len;
        }
        if (carried_ < 3) return TAMSEL_STATUS_OK;
        carried_ = 0;
        char group[4];
        base64_groups(carry_, 1, group);
        TAMSEL_TRY(out.put(group, 4));
    }
    size_t groups = len / 3;
    while (groups) {
        // As many groups as the window holds are encoded in place; a group that does not fit
        // goes through put() as its own piece.
        size_t fit = out.room() / 4;
        if (fit == 0) {
            char group[4];
            base64_groups(p, 1, group);
            TAMSEL_TRY(out.put(group, 4));
            p += 3;
            --groups;
            continue;
        }
        if (fit > groups) fit = groups;
        base64_groups(p, fit, reinterpret_cast<char *>(out.window()));
        out.advance(4 * fit);
        p += 3 * fit;
        groups -= fit;
    }
    carried_ = len % 3;
    if (carried_) std::memcpy(carry_, p, carried_);
    return TAMSEL_STATUS_OK;
}

tamsel_status base64_stream::finish(io::byte_output &out) {
    if (!carried_) return TAMSEL_STATUS_OK;
    char group[4];
    base64_tail(carry_, carried_, group);
    carried_ = 0;
    return out.put(group, 4);
}

} // namespace tamsel::text

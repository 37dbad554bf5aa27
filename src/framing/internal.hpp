// Framing adapters: what their files share.
#pragma once

#include "core/internal.hpp"

namespace tamsel::framing {

// libcurl adapters
//
// The records live in caller memory and end with a 64-bit mark: TAMSEL_CURL_MAGIC XOR-ed with
// a hash of the record's own address, so a bitwise copy of an initialised record is never
// taken for one and can neither drive nor free what the original owns.

[[nodiscard]] inline uint64_t curl_mark(const void *record) {
    const auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
    return TAMSEL_CURL_MAGIC ^ (a >> 9) ^ (a >> 4);
}

// The record carries its own address's mark.
[[nodiscard]] inline bool curl_live(const void *record, uint64_t magic) {
    return record && magic == curl_mark(record);
}

// size * nmemb as libcurl passes it; false when the product does not fit a size_t, which a
// callback must refuse rather than act on a wrapped count.
[[nodiscard]] inline bool curl_bytes(size_t size, size_t nmemb, size_t *out) {
    return checked_mul(size, nmemb, out);
}

} // namespace tamsel::framing

// JSON value holders: what the serializer, the parser and the rewriters call.
#pragma once

#include "core/internal.hpp"
#include "io/output.hpp"

namespace tamsel::visit {

class input_cursor;

// True when `value` was initialised at its own address (mark and shared method table).
[[nodiscard]] bool json_value_is_initialized(const tamsel_json_value *value);

// All five limits equal.
[[nodiscard]] bool same_limits(const tamsel_value_limits &a, const tamsel_value_limits &b);

// Writes the holder's value to `sink`, compact or pretty. Pretty output indents as a value
// nested `base_level` levels deep (2 spaces a level). Returns OK, TRUNCATED (a sink truncated),
// a sink's failing status, or the read/parse failure.
[[nodiscard]] tamsel_status transcode_json_value(const tamsel_json_value *value, tamsel_sink sink,
                                                 void *sink_user, tamsel_error *error, bool pretty,
                                                 uint64_t base_level);

// The same into an output window (the serializer's). A compact BUFFER holder is one piece.
[[nodiscard]] tamsel_status transcode_json_value(const tamsel_json_value *value,
                                                 io::byte_output &out, tamsel_error *error,
                                                 bool pretty, uint64_t base_level);

// Opens the holder's input and walks it with `visitor` under `limits`, with the holder's
// allocator.
[[nodiscard]] tamsel_status visit_json_value(const tamsel_json_value *value,
                                             const tamsel_value_visitor *visitor, void *user,
                                             const tamsel_value_limits &limits,
                                             tamsel_error *error);

// Points `cursor` at the holder's input for a transcode or a visit: NONE reads as empty, BUFFER
// as its text; FILE and FD are rewound, PATH is opened into `opened` (closed when the caller
// drops it). Status 10 with the rewind/open messages and errno, or 11 "unsupported JSON value
// kind". The holder must be initialised.
[[nodiscard]] tamsel_status open_json_value_input(const tamsel_json_value *value,
                                                  input_cursor &cursor, unique_file &opened,
                                                  tamsel_error *error);

// Stores `text[0..len)`, one JSON value already validated and compact, in `value` as
// tamsel_json_value_set_buffer would (a copy from the holder's allocator; the holder's old
// contents and parse mode go), without reading it again. Status 8 "failed to allocate JSON
// value buffer", the holder unchanged.
[[nodiscard]] tamsel_status json_value_store_compact(tamsel_json_value *value, const char *text,
                                                     size_t len, tamsel_error *error);

// Validates `bytes[0..len)` as one JSON value and stores it compactly in a new owned block
// from `allocator` (NUL-terminated; `*out_len` excludes the NUL).
[[nodiscard]] tamsel_status compact_copy(const void *bytes, size_t len,
                                         const tamsel_allocator *allocator, char **data,
                                         size_t *out_len, tamsel_error *error);

} // namespace tamsel::visit

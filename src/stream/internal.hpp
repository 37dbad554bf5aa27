// Array streams: what other subsystems may call.
//
// - Opening a stream from inside the library over any input (a byte range, a reader, a FILE*,
//   a descriptor, or push-fed) with given settings and parse options.
// - The raw-item mode: each item's bytes exactly as they stand in the input, handed to a piece
//   callback in the runs in which they are consumed (the writer's array splicing, the rewrite).
// - Failing a push-fed stream from outside, for input its owner refused (the libcurl
//   adapters).
#pragma once

#include "core/internal.hpp"

namespace tamsel::stream {

enum class input_kind : uint8_t { reader = 1, file = 2, fd = 3, push = 4, memory = 5 };

// Where a stream reads from. `memory` reads `bytes[0..length)` in place (the range must stay
// valid and unchanged until the stream is closed); `push` takes the bytes of the push calls.
struct input_spec {
    input_kind kind = input_kind::push;
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    FILE *file = nullptr;
    bool owns_file = false; // the stream closes `file` (once opened successfully)
    int fd = -1;
    bool owns_fd = false; // the stream closes `fd` (once opened successfully)
    const void *bytes = nullptr;
    size_t length = 0;
};

struct open_args {
    // Copied into the stream's private snapshot; NULL: the library defaults.
    const tamsel_runtime_settings *settings = nullptr;
    // The parse options in force; NULL: the settings' own. An allocator or fixed-string scratch
    // of the settings is redirected to the snapshot's copies; others must outlive the stream.
    const tamsel_parse_options *options = nullptr;
    // The member of the root object whose array is streamed; NULL or empty: the root array.
    const char *path = nullptr;
    // Instead of `path`: a selector ("data.items", backslash escapes; a segment of digits also
    // names an array element). NULL or empty: the root array.
    const char *selector = nullptr;
    input_spec input;
};

// Opens a stream as the public openers do after borrowing their runtime (the same checks,
// messages and statuses). Returns NULL with the error recorded; a failed open takes nothing
// over (a FILE* or descriptor to be owned stays the caller's to close).
[[nodiscard]] tamsel_array_stream *open(const open_args &args, tamsel_error *error);

using raw_piece_fn = tamsel_status (*)(void *user, const void *bytes, size_t length,
                                       tamsel_error *error);

// One step like tamsel_array_stream_next: delivers at most one item. Every byte of the item,
// exactly as it stands in the input, goes to `piece` in the runs in which it is consumed (runs,
// not single bytes). Returns TAMSEL_STREAM_ITEM once the item's bytes have all been handed over
// (after the following ',' or ']' was seen), TAMSEL_STREAM_END at the end of the array and
// input, WOULD_BLOCK, or ERROR (a non-zero piece status stops the item, fails the stream and is
// recorded as the result's status in the stream's error record). `piece` gets an error record
// seeded with the stream position; a message it leaves there is kept. `error` (may be NULL)
// receives a copy of the stream's error record.
[[nodiscard]] tamsel_stream_result next_raw(tamsel_array_stream *stream, raw_piece_fn piece,
                                            void *user, tamsel_error *error);

// Fails a push-fed stream with `code` and `message` at its current position, for input its
// owner had to refuse (a chunk whose size cannot be trusted): every later call reports this
// failure. A stream that already failed keeps its first error. `error` (may be NULL) receives
// a copy of the stream's error record.
void refuse_input(tamsel_array_stream *stream, tamsel_status code, const char *message,
                  tamsel_error *error);

} // namespace tamsel::stream

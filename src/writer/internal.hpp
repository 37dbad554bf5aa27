// The streaming writer: what other subsystems (the rewrite) may call besides the public
// tamsel_writer_* operations.
//
// - Initialising a writer with explicit write options over borrowed settings.
// - The place-a-value check and the single path of raw bytes to the sink, for callers that
//   copy JSON text they have already checked into an open document.
#pragma once

#include "core/internal.hpp"

namespace tamsel::writer {

// Initialises `writer` on `sink` as tamsel_writer_init_sink does after borrowing its runtime:
// `options` are copied (their allocator decides where the state lives), `settings` (NULL: the
// library defaults) are snapshotted for value streams and child generators.
[[nodiscard]] tamsel_status init_sink_with_options(tamsel_writer *writer, tamsel_sink sink,
                                                   void *sink_user,
                                                   const tamsel_write_options &options,
                                                   const tamsel_runtime_settings *settings,
                                                   tamsel_error *error);

// The check run at the start of every value: the writer's latches, then the separator inside
// an array or the pending key inside an object, or the one root value. Writes `,` when due.
[[nodiscard]] tamsel_status before_value(tamsel_writer *writer, tamsel_error *error);

// Hands `bytes` to the writer's sink unchanged (no state change). A sink failure latches the
// writer; an ordinary sink's TRUNCATED is returned as it is.
[[nodiscard]] tamsel_status emit(tamsel_writer *writer, const void *bytes, size_t len,
                                 tamsel_error *error);

// Marks the writer failed: the document can no longer be completed correctly.
void latch_failed(tamsel_writer *writer);

// The sink of writer generators (a writer on it is a generator writer).
tamsel_status generator_sink(void *user, const void *data, size_t len, tamsel_error *error);

} // namespace tamsel::writer

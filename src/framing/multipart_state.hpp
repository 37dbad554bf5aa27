// The private block of a multipart parser, shared by its three files: opening and closing
// (multipart_open.cpp), header lines (multipart_headers.cpp) and the byte-level machine with
// its body scanner (multipart.cpp).
//
//   expect_boundary --delimiter line--> headers --empty line--> body_sized (Content-Length > 0)
//         ^   |                          ^    |                 body_scan (no Content-Length)
//         |   '--close line--> epilogue  |    '--Content-Length 0: the part ends at once,
//         |                              |       back to expect_boundary
//         '--- sized body read ----------+--- delimiter line in a scanned body
//   a close delimiter line in a scanned body --> epilogue (ignored until finish)
#pragma once

#include "io/internal.hpp"

#include <string_view>

namespace tamsel::framing {

enum class mp_state : uint8_t {
    expect_boundary, // lines before a boundary, and after a body read by its length
    headers,
    body_sized,
    body_scan,
    epilogue,
};

// Where the look-behind of a scanned body stands. The held bytes are always one of: nothing;
// a lone CR (it may begin the line break in front of a boundary line); or an optional CR, an
// optional LF (absent only at the start of the body) and a proper beginning of a boundary line,
// `matched` bytes of the delimiter followed by the tail given by `step`.
enum class cand_step : uint8_t {
    none,      // nothing held, not at the start of a line
    cr,        // a lone CR
    delimiter, // `matched` < delimiter length bytes of the delimiter
    after,     // the whole delimiter: LF, CR or '-' may follow
    after_cr,  // delimiter CR: LF completes it
    dash,      // delimiter '-': a second '-' makes the close delimiter
    close,     // the close delimiter: LF or CR may follow
    close_cr,  // close delimiter CR: LF completes it
};

// Offsets of a part's strings in the header arena.
struct header_slot {
    size_t name;
    size_t value;
};
inline constexpr size_t no_offset = static_cast<size_t>(-1);

struct mp_block {
    tamsel_allocator allocator{}; // resolved: never partial
    size_t max_boundary_bytes = 0;
    size_t max_line_bytes = 0;
    size_t max_header_count = 0;
    size_t max_body_buffer_bytes = 0;

    // "--" boundary "--": the delimiter line is its first `delimiter_len` bytes.
    io::byte_buffer close_line;
    size_t delimiter_len = 0;
    io::byte_buffer lf_delimiter; // LF and the delimiter: what the body scanner looks for
    // The look-behind never outgrows the limit, so the body scanner decides candidates in place.
    bool roomy_look = false;

    io::byte_buffer line; // the line being collected outside part bodies
    bool pending_cr = false;
    io::byte_buffer look; // undecided bytes of a scanned body
    cand_step cand = cand_step::none;
    size_t matched = 0;

    // The current part. Header names, values and the parsed parameters live in one arena
    // (cleared, not freed, between parts) and are addressed by offset while it may still grow;
    // `headers` gets the pointers just before begin_part.
    io::byte_buffer arena;
    // One block: `header_capacity` slots, then as many public headers (filled by publish_part).
    header_slot *slots = nullptr;
    tamsel_multipart_header *headers = nullptr;
    size_t header_capacity = 0;
    size_t header_count = 0;
    size_t name = no_offset;
    size_t filename = no_offset;
    size_t content_type = no_offset;
    int64_t content_length = -1;
    uint64_t remaining = 0; // bytes still owed by a part with a Content-Length
    bool begun = false;
    tamsel_multipart_part part{};

    mp_state state = mp_state::expect_boundary;
    bool finished = false;
    uint64_t consumed = 0; // body bytes consumed by earlier pushes (error offsets)

    // A push and its callbacks: a close they make stops the push, which reads nothing more.
    running_call call;
};

// Frees the part's strings (the arena is cleared) and forgets its headers, length and
// look-behind. The headers array keeps its capacity.
void reset_part(mp_block &b) noexcept;

// Frees the block of header slots and public headers.
void free_header_slots(mp_block &b) noexcept;

// Processes one complete header line of the current part (the line buffer, or the line in
// place in the pushed bytes). Appends the header and interprets Content-Disposition,
// Content-Type and Content-Length. `offset` is recorded with a failure.
[[nodiscard]] tamsel_status header_line(mp_block &b, std::string_view line, uint64_t offset,
                                        tamsel_error *error);

// Fills the public part record (and the header pointers) from the arena.
void publish_part(mp_block &b) noexcept;

// Records a failure at body byte `offset` (1-based; line and column 0) and returns `code`.
tamsel_status fail_at(tamsel_error *error, tamsel_status code, uint64_t offset,
                      const char *message);

} // namespace tamsel::framing

struct tamsel_multipart {
    tamsel::framing::mp_block block;
};

// Byte I/O: what other subsystems may call.
//
// - The RAII owner of descriptors the library opens itself (unique_fd; unique_file is core's).
// - The one-call read cores over a FILE* and a descriptor, and the stock readers and sinks
//   built on them (tamsel__file_reader, tamsel__fd_reader, tamsel__sink_file, tamsel__sink_fd).
// - pull_reader: the rules every consumer of a tamsel_reader follows to pull bytes.
// - in_place_reads: the buffer reader's bytes read where they lie by the streams.
// - The source cursor (a replay of a tamsel_source from its first byte).
// - Spooled values read through a private cursor, and the address-keyed mark.
// - byte_buffer: the bounded, NUL-terminated growable buffer of the framing parsers, the array
//   stream and the rewriters.
#pragma once

#include "core/internal.hpp"

#include <cstdio>
#include <cstring>

// The stock readers. User data: a FILE* (file reader) or a pointer to an int descriptor (fd
// reader). Neither ever sets would_block; a descriptor's EAGAIN arrives as error_code.
// File reader: error_code = errno when the stream's error indicator is set, 5 (EIO) when
// errno is 0. Fd reader: retries EINTR; 0 bytes is eof; NULL user data gives error_code 22.
tamsel_read_result tamsel__file_reader(void *file, void *buffer, size_t capacity);
tamsel_read_result tamsel__fd_reader(void *fd_ptr, void *buffer, size_t capacity);

// The stock sinks. Both return 0 at once for len 0 and keep the positions already in the
// error record when they fail.
// FILE* sink: a short fwrite stores errno (5 when 0) in system_errno and records status 10
// "failed to write JSON output". A NULL stream, or NULL data with len > 0: status 1 "file sink
// arguments are invalid".
tamsel_status tamsel__sink_file(void *file, const void *data, size_t len, tamsel_error *error);
// Descriptor sink (user data: pointer to an int descriptor): writes until all is written,
// retrying EINTR and continuing short writes. A write of 0 bytes: status 10 "rewrite output fd
// wrote zero bytes"; a failure: status 10 "failed to write rewrite output fd" with errno in
// system_errno. NULL descriptor pointer or data: status 1 "descriptor sink arguments are
// invalid".
tamsel_status tamsel__sink_fd(void *fd_ptr, const void *data, size_t len, tamsel_error *error);

namespace tamsel::io {

// ---- RAII owners ------------------------------------------------------------------------------

// A descriptor the library opened; closed on destruction.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// True when `p` points into the `size` bytes at `block`, with its offset in `*offset`: lets an
// append whose bytes come from the very buffer it grows find them again after a move.
[[nodiscard]] inline bool offset_within(const void *p, const void *block, size_t size,
                                        size_t *offset) noexcept {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(block);
    if (!block || a < b || a - b >= size) return false;
    *offset = a - b;
    return true;
}

// Moves n <= 16 bytes without a call (short pieces are most of what sinks see): every load
// comes before any store, so the ranges may overlap as for memmove.
inline void move_short(void *to, const void *from, size_t n) noexcept {
    auto *t = static_cast<unsigned char *>(to);
    const auto *f = static_cast<const unsigned char *>(from);
    if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, f, 8);
        std::memcpy(&b, f + n - 8, 8);
        std::memcpy(t, &a, 8);
        std::memcpy(t + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, f, 4);
        std::memcpy(&b, f + n - 4, 4);
        std::memcpy(t, &a, 4);
        std::memcpy(t + n - 4, &b, 4);
    } else if (n) {
        const unsigned char a = f[0], b = f[n / 2], c = f[n - 1];
        t[0] = a;
        t[n / 2] = b;
        t[n - 1] = c;
    }
}

// errno, or 5 (EIO) when a call failed without setting it.
[[nodiscard]] int errno_or_eio() noexcept;

// ---- read and write cores ---------------------------------------------------------------------

// One fread of up to `capacity` bytes: eof = feof; error_code = errno (5 when 0) when the
// error indicator is set. A NULL stream gives error_code 22.
[[nodiscard]] tamsel_read_result read_file_once(FILE *file, void *buffer, size_t capacity);
// One read(2) of up to `capacity` bytes, retried on EINTR: 0 bytes is eof; a failure gives
// error_code = errno, or would_block when `eagain_would_block` and errno is EAGAIN or
// EWOULDBLOCK (what resumable consumers want).
[[nodiscard]] tamsel_read_result read_fd_once(int fd, void *buffer, size_t capacity,
                                              bool eagain_would_block = false);
// Writes all `len` bytes to `fd`, retrying EINTR and continuing short writes. Returns 0, or
// -1 with errno set, or 0 with *wrote_zero set when write(2) returned 0.
[[nodiscard]] int write_fd_all(int fd, const void *data, size_t len, bool *wrote_zero);

// ---- driving a reader -------------------------------------------------------------------------

// Where an error is recorded (the parser passes its current position; others use zeros).
struct input_position {
    size_t offset = 0;
    size_t line = 0;
    size_t column = 0;
};

// What one pull produced: `bytes` > 0, or `eof`, or `would_block` (bytes may come with either
// flag; feed the bytes first, then act on the flag).
struct pull_result {
    size_t bytes = 0;
    bool eof = false;
    bool would_block = false;
};

// Calls `reader(user, buffer, capacity)` until it returns bytes, eof or would_block, under
// the rules every reader consumer shares:
//  - 0 bytes with neither eof nor would_block is not the end: the reader is called again; the
//    TAMSEL_READER_MAX_EMPTY_READS-th such result in a row fails with status 9 "reader made
//    no progress".
//  - a nonzero error_code fails with `error_status` (10 unless the consumer's contract says
//    otherwise; the visitor's says 9) and `failure_message` ("reader callback
//    failed" in one-shot operations, "stream read failed" in streams), the code stored in
//    system_errno; the bytes of that call are dropped.
//  - more bytes than `capacity` is a reader failure: status 10, `failure_message`,
//    system_errno 22 (EINVAL).
// Returns 0 with `*out` filled, or the failure status with the error recorded at `where`
// (`*out` then all zero). `capacity` must be nonzero.
[[nodiscard]] tamsel_status pull_reader(tamsel_reader reader, void *user, void *buffer,
                                        size_t capacity, const char *failure_message,
                                        pull_result *out, tamsel_error *error,
                                        input_position where = {},
                                        tamsel_status error_status = TAMSEL_STATUS_IO_ERROR);

// ---- the buffer reader read in place -----------------------------------------------------------

// Window size of the streams that read a descriptor or a FILE* themselves: one read(2) or
// fread per 64 KiB instead of per 1 KiB. Reader callbacks are still asked for 1024 bytes.
inline constexpr size_t stream_read_size = 65536;

// A stream pulling through the library's own tamsel_buffer_reader_read reads the bytes where
// they lie, with the reader's observable state kept as if every chunk had been copied into the
// stream's window: a refill takes the next chunk of at most `chunk` bytes and moves the
// reader's `pos` past it (the last chunk with eof), as one read would. The consumer may look
// past the chunk into the rest of the buffer (`avail`); once it has consumed bytes there,
// cover() hands out the chunks that hold them. When the call returns, leave() copies the bytes
// of the chunk not consumed yet into the stream's own window, so that between calls the
// stream holds what a read would have given it; resume() takes them in place again at the next
// call when the reader record and those bytes are as they were (and the reader has bytes left,
// so a buffer the caller let go after its last byte was handed out is never touched again).
// Chunk boundaries, eof and the reader's `pos` are those of the copying road, so every result
// is the same.
class in_place_reads {
  public:
    // In place only for a reader that is tamsel_buffer_reader_read over a record.
    void bind(tamsel_reader reader, void *user, size_t chunk) noexcept;
    // Whether the window lies in the reader's bytes now.
    [[nodiscard]] bool active() const noexcept { return active_; }
    // The next chunk in place: `win` becomes the reader's bytes, [pos, end) the chunk and
    // `avail` the end of the reader's bytes; `*eof` is set with the last chunk. False when
    // the reader has to be called instead (not bound, no bytes left, or a record a read
    // refuses): the call then gives what it always gives.
    [[nodiscard]] bool refill(const unsigned char *&win, size_t &pos, size_t &end, size_t &avail,
                              bool *eof) noexcept;
    // The consumer took bytes up to `pos` (past `end`): the chunks holding them are handed
    // out, `end` moves to the last one's end; `*eof` is set when that reaches the last byte.
    void cover(size_t pos, size_t &end, bool *eof) noexcept;
    // The call returns: the rest of the chunk, [pos, end), moves to `own` (room for a chunk).
    // Inline, so that a stream not read in place pays one test per call.
    void leave(unsigned char *own, const unsigned char *&win, size_t &pos, size_t &end,
               size_t &avail) noexcept {
        if (active_) hold(own, win, pos, end, avail);
    }
    // The next call begins: back in place if nothing changed since leave().
    void resume(const unsigned char *&win, size_t &pos, size_t &end, size_t &avail) noexcept {
        if (held_) take_back(win, pos, end, avail);
    }

  private:
    void hold(unsigned char *own, const unsigned char *&win, size_t &pos, size_t &end,
              size_t &avail) noexcept;
    void take_back(const unsigned char *&win, size_t &pos, size_t &end, size_t &avail) noexcept;

    tamsel_buffer_reader *reader_ = nullptr;
    size_t chunk_ = 0;
    bool active_ = false;
    // What leave() saw: the record's fields and where the held bytes came from.
    bool held_ = false;
    const void *data_ = nullptr;
    size_t len_ = 0;
    size_t handed_ = 0; // the reader's pos
    size_t from_ = 0;   // the offset of own[0] in the reader's bytes
};

// ---- sources ----------------------------------------------------------------------------------

// Bytes a source cursor reads per call.
inline constexpr size_t source_block_size = 4096;

// A replay of a source from its first byte. open() rewinds a FILE* or descriptor (clearing
// the stream's indicators) or opens the path (closed by the cursor on every exit); read()
// fills up to source_block_size bytes: a full block from a stream may be followed by more, a
// short block carries eof; a NONE source reads as eof at once.
class source_cursor {
  public:
    source_cursor() = default;
    source_cursor(const source_cursor &) = delete;
    source_cursor &operator=(const source_cursor &) = delete;

    // Status 10 with the messages of tamsel_source_write_to_sink and system_errno set.
    [[nodiscard]] tamsel_status open(const tamsel_source &source, tamsel_error *error);
    [[nodiscard]] tamsel_read_result read(void *buffer, size_t capacity);
    // The cursor as a tamsel_reader (user data: the cursor).
    static tamsel_read_result reader(void *cursor, void *buffer, size_t capacity);

  private:
    int kind_ = TAMSEL_SOURCE_NONE;
    FILE *file_ = nullptr; // the caller's stream, or owned_.get()
    int fd_ = -1;
    unique_file owned_; // the stream opened for a PATH source
};

// ---- spooled values ---------------------------------------------------------------------------

// Bytes a spooled replay moves per step.
inline constexpr size_t spooled_block_size = 4096;

// The mark a record at `record` carries once initialised.
[[nodiscard]] uint32_t spooled_mark(const void *record) noexcept;
// True when `s` is not NULL and carries the mark of its own address.
[[nodiscard]] bool spooled_is_initialised(const tamsel_spooled *s) noexcept;

// Releases what an initialised record holds, then initialises it afresh (what re-seeding a
// spooled field needs): a record that is not initialised is only initialised, never freed.
void spooled_reinit(tamsel_spooled *s, const tamsel_spool_options *options,
                    const tamsel_allocator *allocator);

// Grows a spooled value's in-memory prefix to `size` bytes; on failure returns NULL with the
// error recorded and its status in `*status`. The parser's grower charges the parse budget.
using prefix_grower = void *(*)(void *ctx, tamsel_spooled *s, size_t size, tamsel_error *error,
                                tamsel_status *status);
// Appends to an initialised value (the prefix first, the rest to the spill file, all or
// nothing). `grow` NULL: the value's own allocator.
[[nodiscard]] tamsel_status spooled_append(tamsel_spooled *s, const void *bytes, size_t len,
                                           tamsel_error *error, prefix_grower grow, void *grow_ctx);

// Reads like tamsel_spooled_read with the cursor `*pos` instead of `read_pos`, so that
// replays (write_to_sink, generators) leave the record untouched. No mark check.
[[nodiscard]] tamsel_read_result spooled_read_at(const tamsel_spooled &s, uint64_t *pos,
                                                 void *buffer, size_t capacity);
// Seeks the spill file (if any) to 0: status 10 "failed to rewind spool file" with errno.
[[nodiscard]] tamsel_status spooled_rewind_file(const tamsel_spooled &s, tamsel_error *error);

// ---- bounded byte buffers ----------------------------------------------------------------------

// A growable byte buffer whose content is always followed by a NUL byte (once it has memory),
// with a limit given at each append. The owner keeps the allocator (resolved) and frees the
// buffer with byte_buffer_free. Clearing keeps the memory.
struct byte_buffer {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

inline constexpr size_t byte_buffer_no_limit = std::numeric_limits<size_t>::max() - 1;

// byte_append when the bytes do not fit the capacity or the limit: grows, or fails.
[[nodiscard]] tamsel_status byte_append_grow(byte_buffer &b, const void *bytes, size_t n,
                                             size_t limit, const tamsel_allocator &allocator,
                                             tamsel_error *error);

// Appends `n` bytes so that the length stays at most `limit`. Capacity starts at 64 and
// doubles until it exceeds the new length, capped at limit + 1 (a long line near a limit that
// is not a power of two costs one more growth, not one per append). Failures leave the buffer
// as it was: status 6 "framing buffer size overflow" (the length would wrap) or "framing
// buffer limit exceeded", status 8 "failed to allocate framing buffer". Bytes that fit the
// capacity within the limit are copied inline.
[[nodiscard]] inline tamsel_status byte_append(byte_buffer &b, const void *bytes, size_t n,
                                               size_t limit, const tamsel_allocator &allocator,
                                               tamsel_error *error) {
    // Capacity 0 (no block) takes the growing path whatever n is.
    if (n < b.capacity - b.length && b.length + n <= limit) {
        if (n) std::memcpy(b.data + b.length, bytes, n);
        b.length += n;
        b.data[b.length] = '\0';
        return TAMSEL_STATUS_OK;
    }
    return byte_append_grow(b, bytes, n, limit, allocator, error);
}
inline void byte_clear(byte_buffer &b) noexcept {
    b.length = 0;
    if (b.data) b.data[0] = '\0';
}
void byte_buffer_free(byte_buffer &b, const tamsel_allocator &allocator) noexcept;

} // namespace tamsel::io

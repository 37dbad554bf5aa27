// Serialization: what other subsystems may call.
//
// - The JSON text rules (text/internal.hpp): escaping, numbers, base64, indentation.
// - The record writer: one mapped record, or a run of them as JSON Lines, into an output
//   window, compact or pretty.
// - The output windows of the serialize entry points: a caller buffer under an overflow
//   policy, a growing buffer under a length limit, a byte counter.
#pragma once

#include "core/internal.hpp"
#include "io/output.hpp"
#include "text/internal.hpp"

namespace tamsel::serialize {

// The deepest layout level a record may reach: the top-level record is at 0, a nested OBJECT
// value one deeper, an array value one deeper and its object items two deeper. Records may
// nest through OBJECT_ARRAY fields without bound (a tree, or a cycle through an items
// pointer); past this level the writers fail with status 6 "record nesting is too deep to
// serialize", which also bounds the writer's recursion (one call chain per level).
inline constexpr uint64_t max_record_depth = 512;

// Writes `record` as one JSON object at layout depth `depth` (0 for a document). The map must
// have passed parse::analyze_map. Does not clear `error`. Returns OK or the first failure (an
// output's latched status, a field's failure, a holder's or a stream's failure).
[[nodiscard]] tamsel_status write_record(const tamsel_map &map, const void *record,
                                         io::byte_output &out, tamsel_error *error, bool pretty,
                                         uint64_t depth = 0);

// `count` records from `items`, `stride` bytes apart, each followed by a newline.
[[nodiscard]] tamsel_status write_lines(const tamsel_map &map, const void *items, size_t count,
                                        size_t stride, io::byte_output &out, tamsel_error *error,
                                        bool pretty);

// True when every field of `record` that would be written can be read again: sources and
// JSON value holders must be rewindable, nested records and object-array items recursively.
[[nodiscard]] bool record_is_rewindable(const tamsel_map &map, const void *record,
                                        uint64_t depth = 0);

// Initialises a map generator with explicit write options (tamsel_generator_init's worker, and
// the upload adapter's): `generator` has been zeroed and its methods installed.
[[nodiscard]] tamsel_status generator_init_with_options(tamsel_generator *generator,
                                                        const tamsel_map *map, const void *src,
                                                        const tamsel_write_options &options);

// The values a generator can produce on their own, as one frame (the writer's child
// generators): exactly the bytes the record writer writes for a field of the same kind.
enum class value_frame : uint8_t { spooled_text, source_text, spooled_base64, source_base64, json };

// Initialises a generator over one value: a spooled value, a source (which must be set) or a
// JSON value holder, at layout level 0. `generator` has been zeroed and its methods installed.
[[nodiscard]] tamsel_status generator_init_value(tamsel_generator *generator, value_frame kind,
                                                 const void *value,
                                                 const tamsel_write_options &options);

// The first members of a generator state that another subsystem produces (the writer
// generator, tagged 'TSWG'): tamsel_generator_read and _cleanup hand such a state to its own
// operations.
struct foreign_generator {
    uint32_t magic;
    tamsel_status (*read)(tamsel_generator *generator, void *buffer, size_t capacity,
                          size_t *out_length, int *out_done);
    void (*cleanup)(tamsel_generator *generator);
};

// The status and message of records nested past max_record_depth.
[[nodiscard]] tamsel_status too_deep(tamsel_error *error);

// A caller's buffer of `capacity` bytes (at least 1), one byte always kept for the NUL. Under
// policy 0 a piece that does not fit fails whole with status 6 "output buffer too small";
// under any other policy as much of it as fits is copied and the rest of the document is
// only counted. needed() is the length the output asked for: the full document after a
// truncation, the bytes written plus the failing piece after a failure.
class caller_buffer_output final : public io::byte_output {
  public:
    caller_buffer_output(char *buffer, size_t capacity, uint32_t policy, tamsel_error *error);

    [[nodiscard]] size_t written() const { return mode_ == mode::filling ? used() : written_; }
    [[nodiscard]] size_t needed() const;
    [[nodiscard]] bool truncated() const { return truncated_; }
    // Stores the NUL after what was written.
    void terminate() { start_[written()] = '\0'; }

  private:
    enum class mode : uint8_t { filling, counting, failed };
    static constexpr size_t scratch_size = 256;

    [[nodiscard]] size_t used() const { return static_cast<size_t>(pos_ - start_); }
    tamsel_status overflow(const void *data, size_t n) override;

    unsigned char *start_;
    uint32_t policy_;
    tamsel_error *error_;
    mode mode_ = mode::filling;
    bool truncated_ = false;
    tamsel_status failed_ = TAMSEL_STATUS_OK;
    size_t written_ = 0;   // bytes in the caller's buffer once it stopped filling
    size_t discarded_ = 0; // bytes counted but not kept (saturating)
    unsigned char scratch_[scratch_size];
};

// A buffer grown through `allocator` (resolved) from 2048 bytes, doubling, its capacity always
// above its length and at most limit + 1 (the largest size when that does not exist). A
// piece that would take the length past `limit` fails with status 6 "serializer-owned output
// exceeds max_output_bytes". The block is freed on destruction unless released.
class growing_output final : public io::byte_output {
  public:
    static constexpr size_t initial_capacity = 2048;

    growing_output(const tamsel_allocator &allocator, uint64_t limit, tamsel_error *error);
    ~growing_output();

    [[nodiscard]] size_t length() const { return data_ ? static_cast<size_t>(pos_ - data_) : 0; }
    [[nodiscard]] size_t capacity() const { return capacity_; }
    // Hands the block over, NUL-terminated (NULL when nothing was written).
    [[nodiscard]] char *release();

  private:
    tamsel_status overflow(const void *data, size_t n) override;

    tamsel_allocator allocator_;
    size_t limit_;
    size_t capacity_limit_;
    tamsel_error *error_;
    unsigned char *data_ = nullptr;
    size_t capacity_ = 0;
    tamsel_status failed_ = TAMSEL_STATUS_OK;
};

// Counts the bytes of a document without keeping them. A total that would wrap fails with
// status 6 "serialized output is too large to measure".
class counting_output final : public io::byte_output {
  public:
    explicit counting_output(tamsel_error *error);
    [[nodiscard]] uint64_t total() const { return total_ + static_cast<uint64_t>(pos_ - scratch_); }

  private:
    static constexpr size_t scratch_size = 1024;
    tamsel_status overflow(const void *data, size_t n) override;
    tamsel_status add(uint64_t n);

    tamsel_error *error_;
    uint64_t total_ = 0;
    tamsel_status failed_ = TAMSEL_STATUS_OK;
    unsigned char scratch_[scratch_size];
};

} // namespace tamsel::serialize

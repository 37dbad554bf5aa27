// Field maps: validity analysis (with the per-thread cache), key lookup, required-field
// bookkeeping, the lifecycle of mapped records and the omission rules serialization shares.
#pragma once

#include "core/internal.hpp"

namespace tamsel::parse {

struct map_analysis {
    bool valid = false;
    bool may_allocate = false; // some field can hold library allocations
    uint64_t adopt_mask = 0;   // bit i: field i may hold allocations (all ones above 64 fields)
};

// The analysis of `map`, through this thread's cache when the map allows it.
[[nodiscard]] map_analysis analyze_map(const tamsel_map *map);
[[nodiscard]] inline bool map_is_valid(const tamsel_map *map) {
    return analyze_map(map).valid;
}

// What a map's analysis depends on at its top level, as the per-thread cache keys it: an owner
// that keeps an analysis (and plans) across calls compares this to see the map changed, in
// place (a new cache_token, fields, field count or record size) or for another one.
struct map_identity {
    const tamsel_map *map = nullptr;
    const void *token = nullptr;
    const tamsel_field *fields = nullptr;
    size_t field_count = 0;
    size_t struct_size = 0;

    [[nodiscard]] static map_identity of(const tamsel_map *m) {
        return {m, m->cache_token, m->fields, m->field_count, m->struct_size};
    }
    [[nodiscard]] bool operator==(const map_identity &) const = default;
};

// The member of `field` in record `dst`.
[[nodiscard]] inline unsigned char *member(void *dst, const tamsel_field &field) {
    return static_cast<unsigned char *>(dst) + field.offset;
}
// The presence int of a HAS_PRESENCE field, or NULL when its layout does not allow one.
[[nodiscard]] int *presence_of(const tamsel_map &map, void *dst, const tamsel_field &field);
// Whether the first two layout checks (member inside the record) pass for `field`.
[[nodiscard]] bool field_layout_ok(const tamsel_map &map, const tamsel_field &field);

// Key lookup: tries the field at `*hint` first, then scans; on a match `*hint` becomes the
// matched index + 1.
[[nodiscard]] const tamsel_field *find_field(const tamsel_map &map, uint32_t *hint, const char *key,
                                             size_t len);

// Required fields of a map with at most 64 fields as a mask, and the count for any map.
[[nodiscard]] uint64_t required_mask(const tamsel_map &map);
[[nodiscard]] uint32_t required_count(const tamsel_map &map);

// What a record's values are initialised from: the runtime's allocator and spool classes, or
// the defaults.
struct init_context {
    const tamsel_runtime_settings *settings = nullptr; // NULL: defaults
    const tamsel_runtime *runtime = nullptr;           // for holders (their limits)
};

// tamsel_init's per-record work (fields whose layout fails are skipped).
void init_record(const tamsel_map &map, void *dst, const init_context &ctx);
// Releases one member of a field of a valid map (tamsel_cleanup's per-field work); presence
// is left alone. The walks below also expect valid maps.
void cleanup_value(const tamsel_field &field, void *value);
struct string_spares; // item_cache.hpp
// Cleans up every field of a valid map's record, zeroing presence ints. With `spares`, the
// dynamic strings are detached into them instead of freed (the record ends the same).
void cleanup_record(const tamsel_map &map, void *dst, string_spares *spares = nullptr);
// After a block of records moved from address `from` to `dst` (an object array grown by
// realloc), the members marked with their own address (JSON value holders, spooled values,
// array-stream members) that were initialised where they stood are marked where they stand
// now; the others stay as they were.
void rekey_moved_record(const tamsel_map &map, uintptr_t from, void *dst);
// tamsel_reset's per-record work on a valid map; `spares` as for cleanup_record.
void reset_record(const tamsel_map &map, void *dst, const init_context &ctx,
                  string_spares *spares = nullptr);
// A caller-provided fixed array whose items hold nothing owned is emptied in place (count 0)
// and kept; true when that was done, false when the field needs a cleanup instead.
[[nodiscard]] bool empty_reusable_array(const tamsel_field &field, void *array);

// The stream records' marks.
[[nodiscard]] bool string_stream_is_initialized(const tamsel_string_array_stream *s);
[[nodiscard]] bool mapped_stream_is_initialized(const tamsel_mapped_array_stream *s);
// Tags a stream record if it is not initialised, reinstalls set_handler and clears `active`;
// a handler already set survives.
void prepare_string_stream(tamsel_string_array_stream *s);
void prepare_mapped_stream(tamsel_mapped_array_stream *s);

// The omission rules of serialization for a field without TAMSEL_FIELD_REQUIRED.
[[nodiscard]] bool field_is_empty_for_omit(const tamsel_map &map, const tamsel_field &field,
                                           void *dst);
// False when every field of the record would be omitted.
[[nodiscard]] bool map_has_serialized_fields(const tamsel_map &map, void *dst);

// Layout sizes per kind (the member type's size).
[[nodiscard]] size_t layout_size(const tamsel_field &field);

} // namespace tamsel::parse

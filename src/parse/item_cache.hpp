// What an owner that parses one document after another (array and object streams, the SSE
// JSON family) keeps from one item to the next, so that an item costs what its bytes cost:
//
// - map plans: per map, worked out on first use and kept, a key index (an unknown key is one
//   probe, whatever the map's width), the required-field count and mask, and for maps of
//   scalars, dynamic strings and nested records of those the steps that empty a record;
// - spare string blocks: the dynamic strings a record held when it was emptied for the next
//   item. The record is empty exactly as before (its pointers are NULL), but the blocks wait
//   here, and the next string of the same member takes its block back when it needs exactly
//   that size, charged to the budget as a fresh block would be. The rest is freed once the item
//   is over.
#pragma once

#include "parse/maps.hpp"

#include <cstring>

namespace tamsel::parse {

// The steps that empty or clean up a record of a plan's map are member offsets from the
// record's start (32 bits each) in the plan set's pool, grouped by what is done to them, so
// that each group is one loop with no look at field kinds: words zeroed (I64, U64, F64),
// ints zeroed (BOOL members, presence ints), dynamic strings handed to the spares (or
// freed), and blocks zeroed whole (nested records, an offset and a size each).
struct step_run {
    uint16_t first = 0; // the run's first offset in the pool
    uint8_t words = 0;
    uint8_t ints = 0;
    uint8_t strings = 0;
    uint8_t blocks = 0;
    [[nodiscard]] uint32_t steps() const { return uint32_t{words} + ints + strings + blocks; }
};

struct map_plan {
    const tamsel_map *map = nullptr;
    uint64_t required_mask = 0;
    uint32_t required_count = 0;
    // How a record of the map is emptied: the members reset_record touches, nested records
    // flattened in (strings in field order). Only maps of scalars, dynamic strings and nested
    // records of those (with presence ints) have steps; reset_count is 0 for any other map
    // (or one whose steps found no room in the pool), which is emptied field by field.
    static constexpr size_t reset_capacity = 24;
    uint32_t reset_count = 0;
    step_run reset;
    // How cleanup_record cleans a record of the map up (strings detached in field order,
    // scalars kept, nested records zeroed whole after their strings, presence ints zeroed);
    // no steps when the map has no reset steps or they found no room.
    step_run cleanup;
    // The key index: field index + 1 by key hash (linear probing), 0 for an empty slot;
    // slot_mask + 1 slots (64 or 128, at least twice the fields) in the plan set's pool.
    // A name given to more than one field is indexed once, for the first of them, as the scan
    // from the front finds.
    const uint8_t *slots = nullptr;
    uint32_t slot_mask = 0;
    // The order keys came in: after[h] is the field to try first after field h - 1 (h = 0:
    // first in an object), map order until a key comes in another order and is learnt. Field
    // count + 1 entries in the plan set's order pool; NULL (map order) when they find no room
    // or a name is given to more than one field, where only map order picks what the scan from
    // the front would. Only a guess: the key is compared with the field either way.
    uint8_t *after = nullptr;
    mutable bool learnt_any = false; // an entry of `after` is not map order
};

// Plans of the maps an owner's items use (the item map and the maps nested in it). Maps wider
// than 64 fields get none: their keys go through find_field.
struct plan_set {
    static constexpr size_t capacity = 8;
    // Offsets of reset and cleanup steps shared by the plans, room for an item map of 24
    // members and a nested map or two: a plan built once it is full has no steps.
    static constexpr size_t step_capacity = 96;
    // Key index slots shared by the plans, 64 for a map of up to 32 fields, 128 for a wider
    // one: an item map and three nested ones. A map whose index finds no room has no plan.
    static constexpr size_t slot_capacity = 256;
    map_plan plans[capacity];
    size_t count = 0;
    size_t last = 0; // the index of the plan asked for last
    uint32_t steps_used = 0;
    uint32_t slots_used = 0;
    uint32_t steps[step_capacity];
    uint8_t slot_pool[slot_capacity];
    // The plans' key orders: an item map of up to 64 fields and a nested map or two.
    static constexpr size_t order_capacity = 128;
    uint32_t order_used = 0;
    uint8_t order_pool[order_capacity];

    plan_set() = default;
    plan_set(const plan_set &) = delete; // the plans point into the pool
    plan_set &operator=(const plan_set &) = delete;

    // The plan of `map`, built on its first use; NULL when it cannot have one.
    [[nodiscard]] const map_plan *of(const tamsel_map *map) {
        if (last < count && plans[last].map == map) return &plans[last]; // runs of one object
        for (size_t i = 0; i < count; ++i)
            if (plans[i].map == map) {
                last = i;
                return &plans[i];
            }
        last = count;
        return build(map);
    }
    // Forgets every plan (the owner's map changed).
    void clear() {
        count = 0;
        last = 0;
        steps_used = 0;
        slots_used = 0;
        order_used = 0;
    }
    // The steps of cleaning a record of `plan`'s map up, 0 when it has none.
    [[nodiscard]] uint32_t cleanup_count(const map_plan &plan) const {
        return plan.cleanup.steps();
    }
    [[nodiscard]] const uint32_t *run(const step_run &r) const { return steps + r.first; }

  private:
    const map_plan *build(const tamsel_map *map);
};

// Whether the `len` bytes at a and b are the same: in word loads (the last word overlapping
// the one before), as map keys are short and a call to memcmp would cost more than the
// comparison.
[[nodiscard]] inline bool same_key_bytes(const char *a, const char *b, size_t len) {
    if (len >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 < len; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) return false;
        }
        std::memcpy(&x, a + len - 8, 8);
        std::memcpy(&y, b + len - 8, 8);
        return x == y;
    }
    if (len >= 4) {
        uint32_t x0, y0, x1, y1;
        std::memcpy(&x0, a, 4);
        std::memcpy(&y0, b, 4);
        std::memcpy(&x1, a + len - 4, 4);
        std::memcpy(&y1, b + len - 4, 4);
        return x0 == y0 && x1 == y1;
    }
    for (size_t i = 0; i < len; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Whether field `f` is named `key`.
[[nodiscard]] inline bool key_matches(const tamsel_field &f, const char *key, size_t len) {
    return f.name_len == len && same_key_bytes(f.name, key, len);
}

// The index of the field `key` names, as the scan from the front finds it, or -1.
[[nodiscard]] int plan_lookup(const map_plan &plan, const char *key, size_t len);

// The field named by `key`: the field after the last key found (*hint, as find_field leaves
// it) first, then the one the plan's learnt key order names there, then the plan's index. A
// key found out of the learnt order is learnt for next time.
[[nodiscard]] inline const tamsel_field *find_field_planned(const map_plan &plan, uint32_t *hint,
                                                            const char *key, size_t len) {
    const tamsel_map &map = *plan.map;
    const uint32_t h = *hint;
    if (h < map.field_count && key_matches(map.fields[h], key, len)) {
        *hint = h + 1;
        return &map.fields[h];
    }
    if (plan.learnt_any) {
        const uint32_t guess = plan.after[h];
        if (guess != h && key_matches(map.fields[guess], key, len)) {
            *hint = guess + 1;
            return &map.fields[guess];
        }
    }
    const int i = plan_lookup(plan, key, len);
    if (i < 0) return nullptr;
    if (plan.after && static_cast<uint32_t>(i) != h) {
        plan.after[h] = static_cast<uint8_t>(i);
        plan.learnt_any = true;
    }
    *hint = static_cast<uint32_t>(i + 1);
    return &map.fields[i];
}

struct string_spares {
    static constexpr size_t capacity = 16;
    struct entry {
        char **slot; // the member the block came from
        char *block; // NULL once taken
    };
    entry entries[capacity];
    size_t count = 0;
    size_t next = 0; // where the next lookup starts: members come back in record order
    size_t held = 0; // entries whose block is still here (not taken)

    // Detaches the string at `slot` into the spares (the member becomes NULL); false when
    // there is no room, the caller then frees it as before.
    [[nodiscard]] bool keep(char **slot) {
        if (count == capacity && !compact()) return false;
        entries[count++] = {slot, *slot};
        ++held;
        *slot = nullptr;
        return true;
    }
    // The spare of `slot` when it holds exactly `size` bytes and comes from `allocator`;
    // taken out of the set. NULL otherwise.
    [[nodiscard]] char *take(char **slot, size_t size, const tamsel_allocator &allocator) {
        // Members come back in record order: the entry at `next` is the usual one.
        if (next < count && entries[next].slot == slot && entries[next].block)
            return take_at(next, size, allocator);
        return take_any(slot, size, allocator);
    }
    // Frees the blocks nobody took (an item whose strings took their blocks back frees none).
    void release() {
        if (held) free_held();
        count = 0;
        next = 0;
        held = 0;
    }

  private:
    // Entry i (of `slot`, holding a block) when its block fits, as take.
    [[nodiscard]] char *take_at(size_t i, size_t size, const tamsel_allocator &allocator) {
        char *block = entries[i].block;
        const alloc_header *h = header_of(block);
        if (h->size != size || h->malloc_fn != allocator.malloc ||
            h->user_data != allocator.user_data || h->stats != allocator.stats)
            return nullptr;
        entries[i].block = nullptr;
        --held;
        next = i + 1 < count ? i + 1 : 0;
        return block;
    }
    // take, looking through every entry from `next` on.
    [[nodiscard]] char *take_any(char **slot, size_t size, const tamsel_allocator &allocator);
    // Drops the entries already taken; false when none was.
    bool compact();
    void free_held();
};

// What cleanup_record(plan.map, record, &spares) does, through the plan's cleanup steps
// (plans.cleanup_count(plan) not 0).
void cleanup_planned(const plan_set &plans, const map_plan &plan, unsigned char *record,
                     string_spares &spares);

struct item_cache {
    plan_set plans;
    string_spares spares;
};

} // namespace tamsel::parse

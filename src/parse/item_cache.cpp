// Map plans (the key index and required fields worked out once) and the spare string blocks
// of emptied records.
#include "parse/item_cache.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tamsel::parse {

namespace {

// A key's hash from its length and first and last bytes, the same bytes find_field filters on;
// the index takes as many low bits as it has slots.
inline uint32_t key_hash(size_t len, uint8_t first, uint8_t last) {
    const uint32_t h = (static_cast<uint32_t>(first) * 0x9E5u) ^
                       (static_cast<uint32_t>(last) * 0x2B7u) ^ static_cast<uint32_t>(len) * 0x61u;
    return h ^ (h >> 7);
}

// The slots a map of `fields` fields takes: 64 up to 32 fields, 128 up to 64. Few of them
// taken keeps a key the map lacks, as most keys of a document are, at about one probe.
inline uint32_t index_size(size_t fields) {
    return fields <= 32 ? 64 : 128;
}

// Steps gathered by kind while a map is walked, then appended to the pool as a step_run.
struct step_lists {
    uint32_t count = 0; // steps of every kind, at most reset_capacity
    uint32_t words[map_plan::reset_capacity];
    uint32_t ints[map_plan::reset_capacity];
    uint32_t strings[map_plan::reset_capacity];
    uint32_t blocks[2 * map_plan::reset_capacity]; // offset, size
    uint8_t n_words = 0, n_ints = 0, n_strings = 0, n_blocks = 0;

    // false when there are reset_capacity steps already or the offset needs more than 32 bits.
    [[nodiscard]] bool room(size_t offset) const {
        return count < map_plan::reset_capacity && offset <= UINT32_MAX;
    }
    [[nodiscard]] bool word(size_t offset) { return room(offset) && put(words, n_words, offset); }
    [[nodiscard]] bool int_member(size_t offset) {
        return room(offset) && put(ints, n_ints, offset);
    }
    [[nodiscard]] bool string(size_t offset) {
        return room(offset) && put(strings, n_strings, offset);
    }
    [[nodiscard]] bool block(size_t offset, size_t size) {
        if (!room(offset) || size > UINT32_MAX) return false;
        blocks[2 * n_blocks] = static_cast<uint32_t>(offset);
        blocks[2 * n_blocks + 1] = static_cast<uint32_t>(size);
        ++n_blocks;
        ++count;
        return true;
    }
    // Appends the steps to `pool` (its `used` words taken) as one run; false when they do not
    // fit in `capacity` words.
    [[nodiscard]] bool append(uint32_t *pool, uint32_t &used, size_t capacity, step_run &r) const {
        const size_t need = count + n_blocks; // a block is two words
        if (need > capacity - used) return false;
        r.first = static_cast<uint16_t>(used);
        r.words = n_words;
        r.ints = n_ints;
        r.strings = n_strings;
        r.blocks = n_blocks;
        uint32_t *to = pool + used;
        to = std::copy(words, words + n_words, to);
        to = std::copy(ints, ints + n_ints, to);
        to = std::copy(strings, strings + n_strings, to);
        std::copy(blocks, blocks + 2 * n_blocks, to);
        used += static_cast<uint32_t>(need);
        return true;
    }

  private:
    bool put(uint32_t *list, uint8_t &n, size_t offset) {
        list[n++] = static_cast<uint32_t>(offset);
        ++count;
        return true;
    }
};

// Gathers the steps that empty a record of `map` at `base`; false when a member needs other
// work (or records nest deeper than four, or there are more than reset_capacity steps).
bool add_reset_steps(step_lists &l, const tamsel_map &map, size_t base, int depth) {
    if (depth > 4 || !map.fields || map.field_count == 0) return false;
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        if (f.offset > UINT32_MAX - base) return false;
        bool ok = true;
        switch (f.kind) {
        case TAMSEL_FIELD_I64:
        case TAMSEL_FIELD_U64:
        case TAMSEL_FIELD_F64:
            ok = l.word(base + f.offset);
            break;
        case TAMSEL_FIELD_BOOL:
            ok = l.int_member(base + f.offset);
            break;
        case TAMSEL_FIELD_STRING:
            ok = f.storage != TAMSEL_STORAGE_FIXED && l.string(base + f.offset);
            break;
        case TAMSEL_FIELD_OBJECT:
            ok = !f.submap || add_reset_steps(l, *f.submap, base + f.offset, depth + 1);
            break;
        default:
            return false;
        }
        if (!ok) return false;
        if ((f.flags & TAMSEL_FIELD_HAS_PRESENCE) &&
            (f.presence_offset > UINT32_MAX - base || !l.int_member(base + f.presence_offset)))
            return false;
    }
    return true;
}

// Gathers the steps that clean a record of `map` at `base` up as cleanup_record does: a
// dynamic string is detached, a nested record has its strings detached and is then zeroed
// whole (blocks are zeroed after every string), a presence int is zeroed, and scalars are
// left as they are. Only for maps that have reset steps, so every member is one of those.
bool add_cleanup_steps(step_lists &l, const tamsel_map &map, size_t base, bool nested) {
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        bool ok = true;
        if (f.kind == TAMSEL_FIELD_STRING) {
            ok = l.string(base + f.offset);
        } else if (f.kind == TAMSEL_FIELD_OBJECT && f.submap) {
            ok = add_cleanup_steps(l, *f.submap, base + f.offset, true) &&
                 (nested || l.block(f.offset, f.submap->struct_size));
        }
        if (!ok) return false;
        // Inside a nested record the zeroing of the whole record takes care of it.
        if (!nested && (f.flags & TAMSEL_FIELD_HAS_PRESENCE) && !l.int_member(f.presence_offset))
            return false;
    }
    return true;
}

} // namespace

void cleanup_planned(const plan_set &plans, const map_plan &plan, unsigned char *record,
                     string_spares &spares) {
    const step_run r = plan.cleanup;
    const uint32_t *const ints = plans.run(r) + r.words;
    const uint32_t *const strings = ints + r.ints;
    const uint32_t *const blocks = strings + r.strings;
    // Strings first: those of nested records go before their record is zeroed.
    for (const uint32_t *s = strings; s < blocks; ++s) {
        char **slot = reinterpret_cast<char **>(record + *s);
        if (!*slot || spares.keep(slot)) continue;
        owned_free(*slot);
        *slot = nullptr;
    }
    for (const uint32_t *s = ints; s < strings; ++s)
        std::memset(record + *s, 0, sizeof(int));
    for (const uint32_t *s = blocks, *end = blocks + 2 * r.blocks; s < end; s += 2)
        std::memset(record + s[0], 0, s[1]);
}

int plan_lookup(const map_plan &plan, const char *key, size_t len) {
    const uint8_t first = len ? static_cast<uint8_t>(key[0]) : 0;
    const uint8_t last = len ? static_cast<uint8_t>(key[len - 1]) : 0;
    const uint32_t mask = plan.slot_mask;
    for (uint32_t i = key_hash(len, first, last) & mask;; i = (i + 1) & mask) {
        const uint8_t s = plan.slots[i];
        if (!s) return -1;
        if (key_matches(plan.map->fields[s - 1], key, len)) return s - 1;
    }
}

const map_plan *plan_set::build(const tamsel_map *map) {
    if (!map || map->field_count > 64 || count == capacity) return nullptr;
    const uint32_t size = index_size(map->field_count);
    if (size > slot_capacity - slots_used) return nullptr;
    map_plan &plan = plans[count];
    plan.map = map;
    plan.required_mask = required_mask(*map);
    plan.required_count = required_count(*map);
    plan.slot_mask = size - 1;
    uint8_t *const index = slot_pool + slots_used;
    plan.slots = index;
    std::memset(index, 0, size);
    slots_used += size;
    bool shared_names = false;
    for (size_t i = 0; i < map->field_count; ++i) {
        const tamsel_field &f = map->fields[i];
        if (plan_lookup(plan, f.name, f.name_len) >= 0) { // an earlier field has it
            shared_names = true;
            continue;
        }
        const uint8_t first = f.name_len ? static_cast<uint8_t>(f.name[0]) : 0;
        const uint8_t last = f.name_len ? static_cast<uint8_t>(f.name[f.name_len - 1]) : 0;
        uint32_t at = key_hash(f.name_len, first, last) & plan.slot_mask;
        while (index[at])
            at = (at + 1) & plan.slot_mask;
        index[at] = static_cast<uint8_t>(i + 1);
    }
    plan.after = nullptr;
    plan.learnt_any = false;
    if (!shared_names && map->field_count + 1 <= order_capacity - order_used) {
        plan.after = order_pool + order_used;
        order_used += static_cast<uint32_t>(map->field_count + 1);
        for (size_t h = 0; h <= map->field_count; ++h)
            plan.after[h] = static_cast<uint8_t>(h);
    }
    // The steps go to the pool only when all of them fit; a plan without them empties and
    // cleans records up field by field.
    plan.reset_count = 0;
    plan.reset = {};
    plan.cleanup = {};
    step_lists reset;
    if (add_reset_steps(reset, *map, 0, 0) &&
        reset.append(steps, steps_used, step_capacity, plan.reset)) {
        plan.reset_count = reset.count;
        step_lists cleanup;
        if (add_cleanup_steps(cleanup, *map, 0, false))
            (void)cleanup.append(steps, steps_used, step_capacity, plan.cleanup);
    }
    ++count;
    return &plan;
}

char *string_spares::take_any(char **slot, size_t size, const tamsel_allocator &allocator) {
    for (size_t k = 0; k < count; ++k) {
        const size_t i = next + k < count ? next + k : next + k - count;
        if (entries[i].slot == slot && entries[i].block) return take_at(i, size, allocator);
    }
    return nullptr;
}

bool string_spares::compact() {
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i)
        if (entries[i].block) entries[kept++] = entries[i];
    const bool dropped = kept < count;
    count = kept;
    next = 0;
    return dropped;
}

void string_spares::free_held() {
    for (size_t i = 0; i < count; ++i)
        owned_free(entries[i].block);
}

} // namespace tamsel::parse

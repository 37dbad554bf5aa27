// Map plans (the key index and required fields worked out once) and the spare string blocks
// of emptied records.
#include "parse/item_cache.hpp"

#include <cstdint>
#include <cstring>

namespace tamsel::parse {

namespace {

constexpr uint32_t slot_mask = sizeof(map_plan::slots) - 1;
static_assert((slot_mask & (slot_mask + 1)) == 0, "the key index has a power-of-two size");

// A key's slot from its length and first and last bytes, the same bytes find_field filters on.
inline uint32_t key_slot(size_t len, uint8_t first, uint8_t last) {
    const uint32_t h = (static_cast<uint32_t>(first) * 0x9E5u) ^
                       (static_cast<uint32_t>(last) * 0x2B7u) ^ static_cast<uint32_t>(len) * 0x61u;
    return (h ^ (h >> 7)) & slot_mask;
}

// Appends the steps that empty a record of `map` at `base`; false when a member needs other
// work (or records nest deeper than four, or an offset needs more than 32 bits).
bool add_reset_steps(map_plan &plan, const tamsel_map &map, size_t base, int depth) {
    if (depth > 4 || !map.fields || map.field_count == 0) return false;
    auto add = [&](size_t offset, uint8_t what) {
        if (plan.reset_count == map_plan::reset_capacity || offset > UINT32_MAX - base)
            return false;
        plan.reset[plan.reset_count++] = {static_cast<uint32_t>(base + offset), what};
        return true;
    };
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        bool ok = true;
        switch (f.kind) {
        case TAMSEL_FIELD_I64:
        case TAMSEL_FIELD_U64:
        case TAMSEL_FIELD_F64:
            ok = add(f.offset, reset_step::zero_word);
            break;
        case TAMSEL_FIELD_BOOL:
            ok = add(f.offset, reset_step::zero_int);
            break;
        case TAMSEL_FIELD_STRING:
            ok = f.storage != TAMSEL_STORAGE_FIXED && add(f.offset, reset_step::string);
            break;
        case TAMSEL_FIELD_OBJECT:
            ok = !f.submap || (f.offset <= UINT32_MAX - base &&
                               add_reset_steps(plan, *f.submap, base + f.offset, depth + 1));
            break;
        default:
            return false;
        }
        if (!ok) return false;
        if ((f.flags & TAMSEL_FIELD_HAS_PRESENCE) && !add(f.presence_offset, reset_step::zero_int))
            return false;
    }
    return true;
}

// Appends the steps that clean a record of `map` at `base` up as cleanup_record does: a
// dynamic string is detached, a nested record has its strings detached and is then zeroed
// whole, a presence int is zeroed, and scalars are left as they are. Only for maps that have
// reset steps, so every member is one of those.
bool add_cleanup_steps(cleanup_step *steps, uint32_t &count, const tamsel_map &map, size_t base,
                       bool nested) {
    auto add = [&](size_t offset, size_t size) {
        if (count == map_plan::reset_capacity || offset > UINT32_MAX - base || size > UINT32_MAX)
            return false;
        steps[count++] = {static_cast<uint32_t>(base + offset), static_cast<uint32_t>(size)};
        return true;
    };
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        bool ok = true;
        if (f.kind == TAMSEL_FIELD_STRING) {
            ok = add(f.offset, 0);
        } else if (f.kind == TAMSEL_FIELD_OBJECT && f.submap) {
            ok = add_cleanup_steps(steps, count, *f.submap, base + f.offset, true) &&
                 (nested || add(f.offset, f.submap->struct_size));
        }
        if (!ok) return false;
        // Inside a nested record the zeroing of the whole record takes care of it.
        if (!nested && (f.flags & TAMSEL_FIELD_HAS_PRESENCE) &&
            !add(f.presence_offset, sizeof(int)))
            return false;
    }
    return true;
}

} // namespace

void cleanup_planned(const plan_set &plans, const map_plan &plan, unsigned char *record,
                     string_spares &spares) {
    const cleanup_step *steps = plans.cleanup_steps(plan);
    const uint32_t n = plans.cleanup_count(plan);
    for (uint32_t i = 0; i < n; ++i) {
        const cleanup_step e = steps[i];
        unsigned char *at = record + e.offset;
        if (e.size) {
            std::memset(at, 0, e.size);
            continue;
        }
        char **slot = reinterpret_cast<char **>(at);
        if (!*slot || spares.keep(slot)) continue;
        owned_free(*slot);
        *slot = nullptr;
    }
}

int plan_lookup(const map_plan &plan, const char *key, size_t len) {
    const uint8_t first = len ? static_cast<uint8_t>(key[0]) : 0;
    const uint8_t last = len ? static_cast<uint8_t>(key[len - 1]) : 0;
    for (uint32_t i = key_slot(len, first, last);; i = (i + 1) & slot_mask) {
        const uint8_t s = plan.slots[i];
        if (!s) return -1;
        if (key_matches(plan.map->fields[s - 1], key, len)) return s - 1;
    }
}

const map_plan *plan_set::build(const tamsel_map *map) {
    if (!map || map->field_count > 64 || count == capacity) return nullptr;
    map_plan &plan = plans[count];
    plan.map = map;
    plan.required_mask = required_mask(*map);
    plan.required_count = required_count(*map);
    std::memset(plan.slots, 0, sizeof plan.slots);
    for (size_t i = 0; i < map->field_count; ++i) {
        const tamsel_field &f = map->fields[i];
        if (plan_lookup(plan, f.name, f.name_len) >= 0) continue; // an earlier field has it
        const uint8_t first = f.name_len ? static_cast<uint8_t>(f.name[0]) : 0;
        const uint8_t last = f.name_len ? static_cast<uint8_t>(f.name[f.name_len - 1]) : 0;
        uint32_t at = key_slot(f.name_len, first, last);
        while (plan.slots[at])
            at = (at + 1) & slot_mask;
        plan.slots[at] = static_cast<uint8_t>(i + 1);
    }
    plan.reset_count = 0;
    if (!add_reset_steps(plan, *map, 0, 0)) plan.reset_count = 0;
    uint32_t &cleanup = cleanup_counts[count];
    cleanup = 0;
    if (plan.reset_count && !add_cleanup_steps(cleanups[count], cleanup, *map, 0, false))
        cleanup = 0;
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

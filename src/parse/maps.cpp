// Field maps: analysis and its per-thread cache, key lookup, required masks, and the
// lifecycle of mapped records (init, reset, cleanup) with the omission rules.
#include "parse/maps.hpp"
#include "io/internal.hpp"
#include "parse/item_cache.hpp"
#include "visit/json_value.hpp"

#include <bit>
#include <cstring>

namespace tamsel::parse {

namespace {

// Maps nest through OBJECT fields at most this deep (a cycle through OBJECT is invalid; other
// kinds stop the walk), so the analysis recursion is bounded whatever the caller builds.
constexpr size_t max_map_chain = 64;

bool is_scalar_kind(tamsel_field_kind k) {
    return k >= TAMSEL_FIELD_I64 && k <= TAMSEL_FIELD_BOOL;
}
bool is_fixed_string(const tamsel_field &f) {
    return f.kind == TAMSEL_FIELD_STRING && f.storage == TAMSEL_STORAGE_FIXED;
}

size_t layout_alignment(const tamsel_field &f) {
    switch (f.kind) {
    case TAMSEL_FIELD_STRING:
        return f.storage == TAMSEL_STORAGE_FIXED ? 1 : alignof(char *);
    case TAMSEL_FIELD_BOOL:
        return alignof(int);
    case TAMSEL_FIELD_I64:
    case TAMSEL_FIELD_U64:
        return alignof(int64_t);
    case TAMSEL_FIELD_F64:
        return alignof(double);
    case TAMSEL_FIELD_OBJECT:
        return 1; // the nested record's own members are checked by its map
    default:
        return alignof(void *);
    }
}

struct chain {
    const tamsel_map *maps[max_map_chain];
    size_t depth = 0;
    bool contains(const tamsel_map *m) const {
        for (size_t i = 0; i < depth; ++i)
            if (maps[i] == m) return true;
        return false;
    }
};

map_analysis analyze_uncached(const tamsel_map *map, chain &in_progress);

// Analyses a sub-map for a field of `kind`. Returns false when the field is invalid.
bool analyze_submap(const tamsel_map *sub, tamsel_field_kind kind, chain &in_progress,
                    bool *allocates) {
    if (in_progress.contains(sub)) {
        // A record cannot contain itself by value; through an array it is a tree.
        if (kind == TAMSEL_FIELD_OBJECT) return false;
        *allocates = true;
        return true;
    }
    if (in_progress.depth == max_map_chain) return false;
    map_analysis a = analyze_uncached(sub, in_progress);
    *allocates = a.may_allocate;
    return a.valid;
}

map_analysis analyze_uncached(const tamsel_map *map, chain &in_progress) {
    map_analysis out;
    if (!map) return out;
    if (map->field_count == 0) {
        out.valid = true;
        return out;
    }
    if (!map->fields) return out;
    const bool wide = map->field_count > 64;
    out.adopt_mask = wide ? ~uint64_t{0} : 0;
    in_progress.maps[in_progress.depth++] = map;
    for (size_t i = 0; i < map->field_count; ++i) {
        const tamsel_field &f = map->fields[i];
        if (f.kind > TAMSEL_FIELD_MAPPED_ARRAY_STREAM) goto invalid;
        if (!f.name) goto invalid;
        if (f.name_len > 0 && (f.name_first != f.name[0] || f.name_last != f.name[f.name_len - 1]))
            goto invalid;
        if (is_fixed_string(f) && f.capacity == 0) goto invalid;
        if (f.kind == TAMSEL_FIELD_OBJECT && (!f.submap || f.submap->struct_size == 0))
            goto invalid;
        if (!field_layout_ok(*map, f)) goto invalid;
        if (f.offset % layout_alignment(f) != 0) goto invalid;
        if (f.flags & TAMSEL_FIELD_HAS_PRESENCE) {
            if (!is_scalar_kind(f.kind) || f.presence_offset > map->struct_size ||
                map->struct_size - f.presence_offset < sizeof(int) ||
                f.presence_offset % alignof(int) != 0)
                goto invalid;
        }
        if ((f.flags & TAMSEL_FIELD_NULLABLE) &&
            (!(f.flags & TAMSEL_FIELD_HAS_PRESENCE) || !is_scalar_kind(f.kind)))
            goto invalid;
        if ((f.flags & TAMSEL_FIELD_REQUIRED) &&
            (f.flags & (TAMSEL_FIELD_OMIT_NULL | TAMSEL_FIELD_OMIT_EMPTY |
                        TAMSEL_FIELD_HAS_PRESENCE | TAMSEL_FIELD_NULLABLE)))
            goto invalid;

        bool marked = false;
        switch (f.kind) {
        case TAMSEL_FIELD_STRING:
            marked = f.storage != TAMSEL_STORAGE_FIXED;
            if (marked) out.may_allocate = true;
            break;
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
        case TAMSEL_FIELD_JSON_VALUE:
        case TAMSEL_FIELD_STRING_ARRAY:
            marked = out.may_allocate = true;
            break;
        case TAMSEL_FIELD_I64_ARRAY:
        case TAMSEL_FIELD_U64_ARRAY:
        case TAMSEL_FIELD_F64_ARRAY:
        case TAMSEL_FIELD_BOOL_ARRAY:
            marked = true;
            if (f.storage != TAMSEL_STORAGE_FIXED) out.may_allocate = true;
            break;
        case TAMSEL_FIELD_OBJECT: {
            bool sub_allocates = false;
            if (!analyze_submap(f.submap, f.kind, in_progress, &sub_allocates)) goto invalid;
            marked = sub_allocates;
            if (sub_allocates) out.may_allocate = true;
            break;
        }
        case TAMSEL_FIELD_OBJECT_ARRAY: {
            bool sub_allocates = false;
            if (f.submap) {
                // Items are elem_size apart: a stride below the item record would overlap.
                if (f.elem_size < f.submap->struct_size || f.elem_size == 0) goto invalid;
                if (!analyze_submap(f.submap, f.kind, in_progress, &sub_allocates)) goto invalid;
            } else if (f.elem_size == 0) {
                goto invalid;
            }
            marked = true;
            if (f.storage != TAMSEL_STORAGE_FIXED || sub_allocates) out.may_allocate = true;
            break;
        }
        default:
            break;
        }
        if (marked && !wide) out.adopt_mask |= uint64_t{1} << i;
    }
    --in_progress.depth;
    out.valid = true;
    return out;
invalid:
    --in_progress.depth;
    return map_analysis{};
}

// One thread's cache. A slot remembers the map's address and token, and also its fields
// pointer, field count and record size: a map freed and another built at the same address
// with the same token (common for heap-built maps with a NULL token) then misses.
struct cache_slot {
    map_identity id;
    bool known = false;
    map_analysis result;
};
thread_local cache_slot analysis_cache[16];

size_t cache_index(const tamsel_map *map) {
    auto a = reinterpret_cast<uintptr_t>(map);
    return ((a >> 4) ^ (a >> 9)) & 15;
}

} // namespace

bool field_layout_ok(const tamsel_map &map, const tamsel_field &field) {
    if (field.kind > TAMSEL_FIELD_MAPPED_ARRAY_STREAM) return false;
    if (field.kind == TAMSEL_FIELD_OBJECT && !field.submap) return false;
    size_t size = layout_size(field);
    if (size == 0 && (is_fixed_string(field) || field.kind == TAMSEL_FIELD_OBJECT)) return false;
    return field.offset <= map.struct_size && map.struct_size - field.offset >= size;
}

size_t layout_size(const tamsel_field &f) {
    switch (f.kind) {
    case TAMSEL_FIELD_STRING:
        return f.storage == TAMSEL_STORAGE_FIXED ? f.capacity : sizeof(char *);
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
        return sizeof(tamsel_spooled);
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES:
        return sizeof(tamsel_source);
    case TAMSEL_FIELD_JSON_VALUE:
        return sizeof(tamsel_json_value);
    case TAMSEL_FIELD_I64:
    case TAMSEL_FIELD_U64:
    case TAMSEL_FIELD_F64:
        return 8;
    case TAMSEL_FIELD_BOOL:
        return sizeof(int);
    case TAMSEL_FIELD_OBJECT:
        return f.submap ? f.submap->struct_size : 0;
    case TAMSEL_FIELD_STRING_ARRAY:
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY:
        return sizeof(tamsel_i64_array);
    case TAMSEL_FIELD_OBJECT_ARRAY:
        return sizeof(tamsel_object_array);
    case TAMSEL_FIELD_STRING_ARRAY_STREAM:
        return sizeof(tamsel_string_array_stream);
    case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        return sizeof(tamsel_mapped_array_stream);
    default:
        return 0;
    }
}

map_analysis analyze_map(const tamsel_map *map) {
    if (!map || map->cache_self != map) {
        chain c;
        return analyze_uncached(map, c);
    }
    cache_slot &slot = analysis_cache[cache_index(map)];
    const map_identity id = map_identity::of(map);
    if (!(slot.id == id)) slot = cache_slot{id, false, {}};
    if (!slot.known) {
        chain c;
        slot.result = analyze_uncached(map, c);
        slot.known = true;
    }
    return slot.result;
}

int *presence_of(const tamsel_map &map, void *dst, const tamsel_field &field) {
    if (!(field.flags & TAMSEL_FIELD_HAS_PRESENCE) || !is_scalar_kind(field.kind)) return nullptr;
    if (field.presence_offset > map.struct_size ||
        map.struct_size - field.presence_offset < sizeof(int) ||
        field.presence_offset % alignof(int) != 0)
        return nullptr;
    return reinterpret_cast<int *>(static_cast<unsigned char *>(dst) + field.presence_offset);
}

const tamsel_field *find_field(const tamsel_map &map, uint32_t *hint, const char *key, size_t len) {
    auto matches = [&](const tamsel_field &f) {
        if (f.name_len != len) return false;
        if (len == 0) return true;
        return f.name[0] == key[0] && f.name[len - 1] == key[len - 1] &&
               (len <= 2 || std::memcmp(f.name + 1, key + 1, len - 2) == 0);
    };
    if (*hint < map.field_count && matches(map.fields[*hint])) {
        ++*hint;
        return &map.fields[*hint - 1];
    }
    for (size_t i = 0; i < map.field_count; ++i) {
        if (matches(map.fields[i])) {
            *hint = static_cast<uint32_t>(i + 1);
            return &map.fields[i];
        }
    }
    return nullptr;
}

uint64_t required_mask(const tamsel_map &map) {
    uint64_t mask = 0;
    for (size_t i = 0; i < map.field_count && i < 64; ++i)
        if (map.fields[i].flags & TAMSEL_FIELD_REQUIRED) mask |= uint64_t{1} << i;
    return mask;
}

uint32_t required_count(const tamsel_map &map) {
    if (map.field_count <= 64) return static_cast<uint32_t>(std::popcount(required_mask(map)));
    uint32_t n = 0;
    for (size_t i = 0; i < map.field_count; ++i)
        if (map.fields[i].flags & TAMSEL_FIELD_REQUIRED) ++n;
    return n;
}

// ---- stream records ------------------------------------------------------------------------

bool string_stream_is_initialized(const tamsel_string_array_stream *s) {
    return s && s->magic == address_mark(s, TAMSEL_STRING_ARRAY_STREAM_MAGIC);
}
bool mapped_stream_is_initialized(const tamsel_mapped_array_stream *s) {
    return s && s->magic == address_mark(s, TAMSEL_MAPPED_ARRAY_STREAM_MAGIC);
}

void prepare_string_stream(tamsel_string_array_stream *s) {
    if (!string_stream_is_initialized(s)) tamsel_string_array_stream_init(s);
    s->set_handler = tamsel_string_array_stream_set_handler;
    s->active = 0;
}

void prepare_mapped_stream(tamsel_mapped_array_stream *s) {
    if (!mapped_stream_is_initialized(s)) tamsel_mapped_array_stream_init(s);
    s->set_handler = tamsel_mapped_array_stream_set_handler;
    s->active = 0;
}

// ---- lifecycle -----------------------------------------------------------------------------

namespace {

bool only_plain_scalars(const tamsel_map &map) {
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        if (!is_scalar_kind(f.kind) && !is_fixed_string(f)) return false;
    }
    return true;
}

// During init an OBJECT field's sub-map is walked only when it is valid on its own (which also
// rules out a record containing itself); the other walks run on valid maps only.
bool submap_usable(const tamsel_field &f) {
    return f.kind == TAMSEL_FIELD_OBJECT && f.submap && analyze_map(f.submap).valid;
}

const tamsel_spool_options *spool_options_for(const tamsel_field &f, const init_context &ctx) {
    if (f.spool_options) return f.spool_options;
    if (!ctx.settings) return nullptr;
    uint32_t cls = f.spool_class == 1 || f.spool_class == 2 ? f.spool_class : 0;
    return &ctx.settings->spool[cls];
}

const tamsel_allocator *allocator_of(const init_context &ctx) {
    return ctx.settings && ctx.settings->config.allocator ? &ctx.settings->allocator_copy : nullptr;
}

void init_json_value(const tamsel_field &f, tamsel_json_value *v, const init_context &ctx) {
    if (visit::json_value_is_initialized(v)) tamsel_json_value_cleanup(v);
    tamsel_json_value_init_with_allocator(v, allocator_of(ctx));
    if (ctx.settings) {
        v->limits = ctx.settings->value_limits;
        v->runtime_limits = ctx.settings->value_limits;
    }
    if (f.flags & TAMSEL_FIELD_CAPTURE) tamsel_json_value_enable_parse_capture(v, nullptr);
}

void zero_scalar(const tamsel_field &f, unsigned char *p) {
    std::memset(p, 0, f.kind == TAMSEL_FIELD_BOOL ? sizeof(int) : 8);
}

void restore_fixed_array(unsigned char *p, bool object_array, const tamsel_field &f) {
    if (object_array) {
        auto *a = reinterpret_cast<tamsel_object_array *>(p);
        bool fixed = (a->flags & TAMSEL_ARRAY_FIXED) != 0;
        void *items = a->items;
        size_t capacity = a->capacity;
        std::memset(a, 0, sizeof *a);
        a->elem_size = f.elem_size;
        if (fixed) {
            a->items = items;
            a->capacity = capacity;
            a->flags = TAMSEL_ARRAY_FIXED;
        }
    } else {
        auto *a = reinterpret_cast<tamsel_i64_array *>(p);
        bool fixed = (a->flags & TAMSEL_ARRAY_FIXED) != 0;
        int64_t *items = a->items;
        size_t capacity = a->capacity;
        std::memset(a, 0, sizeof *a);
        if (fixed) {
            a->items = items;
            a->capacity = capacity;
            a->flags = TAMSEL_ARRAY_FIXED;
        }
    }
}

} // namespace

void init_record(const tamsel_map &map, void *dst, const init_context &ctx) {
    if (!dst || map.field_count == 0 || !map.fields) return;
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        if (!field_layout_ok(map, f)) continue;
        unsigned char *p = member(dst, f);
        switch (f.kind) {
        case TAMSEL_FIELD_STRING:
            if (f.storage == TAMSEL_STORAGE_FIXED)
                p[0] = '\0';
            else
                std::memset(p, 0, sizeof(char *));
            break;
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
            io::spooled_reinit(reinterpret_cast<tamsel_spooled *>(p), spool_options_for(f, ctx),
                               allocator_of(ctx));
            break;
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
            tamsel_source_init(reinterpret_cast<tamsel_source *>(p));
            break;
        case TAMSEL_FIELD_JSON_VALUE:
            init_json_value(f, reinterpret_cast<tamsel_json_value *>(p), ctx);
            break;
        case TAMSEL_FIELD_I64:
        case TAMSEL_FIELD_U64:
        case TAMSEL_FIELD_F64:
        case TAMSEL_FIELD_BOOL:
            zero_scalar(f, p);
            break;
        case TAMSEL_FIELD_OBJECT:
            if (!submap_usable(f)) break;
            if (only_plain_scalars(*f.submap))
                std::memset(p, 0, f.submap->struct_size);
            else
                init_record(*f.submap, p, ctx);
            break;
        case TAMSEL_FIELD_STRING_ARRAY:
        case TAMSEL_FIELD_I64_ARRAY:
        case TAMSEL_FIELD_U64_ARRAY:
        case TAMSEL_FIELD_F64_ARRAY:
        case TAMSEL_FIELD_BOOL_ARRAY:
            std::memset(p, 0, sizeof(tamsel_i64_array));
            break;
        case TAMSEL_FIELD_OBJECT_ARRAY: {
            auto *a = reinterpret_cast<tamsel_object_array *>(p);
            std::memset(a, 0, sizeof *a);
            a->elem_size = f.elem_size;
            break;
        }
        case TAMSEL_FIELD_STRING_ARRAY_STREAM:
            prepare_string_stream(reinterpret_cast<tamsel_string_array_stream *>(p));
            break;
        case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
            prepare_mapped_stream(reinterpret_cast<tamsel_mapped_array_stream *>(p));
            break;
        default:
            break;
        }
        if (int *presence = presence_of(map, dst, f)) *presence = 0;
    }
}

void cleanup_value(const tamsel_field &f, void *value) {
    auto *p = static_cast<unsigned char *>(value);
    switch (f.kind) {
    case TAMSEL_FIELD_STRING:
        if (f.storage == TAMSEL_STORAGE_FIXED) {
            if (f.capacity > 0) p[0] = '\0';
        } else {
            char *s;
            std::memcpy(&s, p, sizeof s);
            owned_free(s);
            std::memset(p, 0, sizeof s);
        }
        break;
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
        tamsel_spooled_cleanup(reinterpret_cast<tamsel_spooled *>(p));
        break;
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES:
        tamsel_source_cleanup(reinterpret_cast<tamsel_source *>(p));
        break;
    case TAMSEL_FIELD_JSON_VALUE:
        tamsel_json_value_cleanup(reinterpret_cast<tamsel_json_value *>(p));
        break;
    case TAMSEL_FIELD_OBJECT:
        // The field belongs to a valid map, so its sub-map is valid too.
        if (!f.submap) break;
        cleanup_record(*f.submap, p);
        std::memset(p, 0, f.submap->struct_size);
        break;
    case TAMSEL_FIELD_STRING_ARRAY: {
        auto *a = reinterpret_cast<tamsel_string_array *>(p);
        for (size_t i = 0; a->items && i < a->count; ++i)
            owned_free(a->items[i]);
        if (a->flags & TAMSEL_ARRAY_OWNED) owned_free(a->items);
        restore_fixed_array(p, false, f);
        break;
    }
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY: {
        auto *a = reinterpret_cast<tamsel_i64_array *>(p);
        if (a->flags & TAMSEL_ARRAY_OWNED) owned_free(a->items);
        restore_fixed_array(p, false, f);
        break;
    }
    case TAMSEL_FIELD_OBJECT_ARRAY: {
        auto *a = reinterpret_cast<tamsel_object_array *>(p);
        if (f.submap && a->items) {
            // Items are the field's elem_size apart, whatever the record says.
            for (size_t i = 0; i < a->count; ++i)
                cleanup_record(*f.submap, static_cast<unsigned char *>(a->items) + i * f.elem_size);
        }
        if (a->flags & TAMSEL_ARRAY_OWNED) owned_free(a->items);
        restore_fixed_array(p, true, f);
        break;
    }
    case TAMSEL_FIELD_STRING_ARRAY_STREAM:
        prepare_string_stream(reinterpret_cast<tamsel_string_array_stream *>(p));
        break;
    case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        prepare_mapped_stream(reinterpret_cast<tamsel_mapped_array_stream *>(p));
        break;
    default:
        break;
    }
}

namespace {

// Dynamic strings go to `spares` when there is room, the rest is cleaned up as usual.
void cleanup_into(const tamsel_field &f, unsigned char *p, string_spares *spares) {
    if (spares && f.kind == TAMSEL_FIELD_STRING && f.storage != TAMSEL_STORAGE_FIXED) {
        char **slot = reinterpret_cast<char **>(p);
        if (!*slot || spares->keep(slot)) return;
    }
    if (spares && f.kind == TAMSEL_FIELD_OBJECT && f.submap) {
        cleanup_record(*f.submap, p, spares);
        std::memset(p, 0, f.submap->struct_size);
        return;
    }
    cleanup_value(f, p);
}

// The presence int of a HAS_PRESENCE field of a valid map (the analysis checked its place).
void clear_presence(void *dst, const tamsel_field &f) {
    if (f.flags & TAMSEL_FIELD_HAS_PRESENCE)
        *reinterpret_cast<int *>(static_cast<unsigned char *>(dst) + f.presence_offset) = 0;
}

} // namespace

void cleanup_record(const tamsel_map &map, void *dst, string_spares *spares) {
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        cleanup_into(f, member(dst, f), spares);
        clear_presence(dst, f);
    }
}

void rekey_moved_record(const tamsel_map &map, uintptr_t from, void *dst) {
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        const uintptr_t was = from + f.offset;
        void *now = member(dst, f);
        uint32_t magic = 0, *mark = nullptr;
        switch (f.kind) {
        case TAMSEL_FIELD_JSON_VALUE:
            magic = TAMSEL_JSON_VALUE_MAGIC;
            mark = &static_cast<tamsel_json_value *>(now)->magic;
            break;
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
            magic = TAMSEL_SPOOLED_MAGIC;
            mark = &static_cast<tamsel_spooled *>(now)->magic;
            break;
        case TAMSEL_FIELD_STRING_ARRAY_STREAM:
            magic = TAMSEL_STRING_ARRAY_STREAM_MAGIC;
            mark = &static_cast<tamsel_string_array_stream *>(now)->magic;
            break;
        case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
            magic = TAMSEL_MAPPED_ARRAY_STREAM_MAGIC;
            mark = &static_cast<tamsel_mapped_array_stream *>(now)->magic;
            break;
        case TAMSEL_FIELD_OBJECT:
            // Nested records lie inside this one and moved with it; an object array's items
            // are a block of their own and did not.
            if (f.submap) rekey_moved_record(*f.submap, was, now);
            break;
        default:
            break;
        }
        if (mark && *mark == address_mark_at(was, magic)) *mark = address_mark(now, magic);
    }
}

bool empty_reusable_array(const tamsel_field &f, void *array) {
    if (f.kind >= TAMSEL_FIELD_I64_ARRAY && f.kind <= TAMSEL_FIELD_BOOL_ARRAY) {
        auto *a = static_cast<tamsel_i64_array *>(array);
        if (a->flags != TAMSEL_ARRAY_FIXED) return false;
        a->count = 0;
        return true;
    }
    if (f.kind == TAMSEL_FIELD_OBJECT_ARRAY) {
        auto *a = static_cast<tamsel_object_array *>(array);
        if (!(a->flags & TAMSEL_ARRAY_FIXED) || (a->flags & TAMSEL_ARRAY_OWNED) ||
            (f.submap && analyze_map(f.submap).may_allocate))
            return false;
        a->count = 0;
        return true;
    }
    return false;
}

void reset_record(const tamsel_map &map, void *dst, const init_context &ctx,
                  string_spares *spares) {
    if (!dst || map.field_count == 0 || !map.fields) return;
    // The map is valid (every caller checked it, and its sub-maps are then valid too): no
    // field needs its layout checked again.
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        unsigned char *p = member(dst, f);
        switch (f.kind) {
        case TAMSEL_FIELD_STRING:
            cleanup_into(f, p, spares);
            break;
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
        case TAMSEL_FIELD_STRING_ARRAY_STREAM:
        case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        case TAMSEL_FIELD_STRING_ARRAY:
            cleanup_value(f, p);
            break;
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
            io::spooled_reinit(reinterpret_cast<tamsel_spooled *>(p), spool_options_for(f, ctx),
                               allocator_of(ctx));
            break;
        case TAMSEL_FIELD_JSON_VALUE: {
            auto *v = reinterpret_cast<tamsel_json_value *>(p);
            if (!visit::json_value_is_initialized(v)) {
                init_json_value(f, v, ctx);
                break;
            }
            // Keep the holder's parse configuration; drop its value and take the runtime's
            // allocator and limits (the caller's own limits survive).
            const int mode = v->parse_mode;
            const tamsel_sink sink = v->parse_sink;
            void *sink_user = v->parse_sink_user;
            const tamsel_value_visitor *visitor = v->parse_visitor;
            void *visitor_user = v->parse_visitor_user;
            tamsel_json_value_cleanup(v);
            v->parse_mode = mode;
            v->parse_sink = sink;
            v->parse_sink_user = sink_user;
            v->parse_visitor = visitor;
            v->parse_visitor_user = visitor_user;
            v->allocator = inherit_allocator(allocator_of(ctx));
            const tamsel_value_limits runtime_limits =
                ctx.settings ? ctx.settings->value_limits : tamsel__default_value_limits();
            // Whether the limits still follow the runtime is decided from the values, so
            // limits the caller tightened by editing the record directly are kept.
            v->limits_follow_runtime = visit::same_limits(v->limits, v->runtime_limits);
            if (v->limits_follow_runtime) v->limits = runtime_limits;
            v->runtime_limits = runtime_limits;
            if ((f.flags & TAMSEL_FIELD_CAPTURE) && mode == TAMSEL_JSON_PARSE_NONE)
                tamsel_json_value_enable_parse_capture(v, nullptr);
            break;
        }
        case TAMSEL_FIELD_I64:
        case TAMSEL_FIELD_U64:
        case TAMSEL_FIELD_F64:
        case TAMSEL_FIELD_BOOL:
            zero_scalar(f, p);
            break;
        case TAMSEL_FIELD_OBJECT:
            if (f.submap) reset_record(*f.submap, p, ctx, spares);
            break;
        case TAMSEL_FIELD_I64_ARRAY:
        case TAMSEL_FIELD_U64_ARRAY:
        case TAMSEL_FIELD_F64_ARRAY:
        case TAMSEL_FIELD_BOOL_ARRAY:
        case TAMSEL_FIELD_OBJECT_ARRAY:
            if (!empty_reusable_array(f, p)) cleanup_value(f, p);
            break;
        default:
            break;
        }
        clear_presence(dst, f);
    }
}

// ---- omission rules ------------------------------------------------------------------------

bool field_is_empty_for_omit(const tamsel_map &map, const tamsel_field &f, void *dst) {
    if (int *presence = presence_of(map, dst, f))
        if (*presence == 0) return true;
    const bool omit_null = f.flags & (TAMSEL_FIELD_OMIT_NULL | TAMSEL_FIELD_OMIT_EMPTY);
    const bool omit_empty = f.flags & TAMSEL_FIELD_OMIT_EMPTY;
    if (!omit_null) return false;
    unsigned char *p = member(dst, f);
    switch (f.kind) {
    case TAMSEL_FIELD_STRING:
        if (f.storage == TAMSEL_STORAGE_FIXED) return omit_empty && (f.capacity == 0 || !p[0]);
        {
            char *s;
            std::memcpy(&s, p, sizeof s);
            return !s || (omit_empty && !s[0]);
        }
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES:
        return reinterpret_cast<tamsel_source *>(p)->kind == TAMSEL_SOURCE_NONE;
    case TAMSEL_FIELD_JSON_VALUE:
        return reinterpret_cast<tamsel_json_value *>(p)->kind == TAMSEL_JSON_NONE;
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
        return omit_empty && tamsel_spooled_size(reinterpret_cast<tamsel_spooled *>(p)) == 0;
    case TAMSEL_FIELD_OBJECT:
        return omit_empty && f.submap && !map_has_serialized_fields(*f.submap, p);
    case TAMSEL_FIELD_STRING_ARRAY:
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY:
        return omit_empty && reinterpret_cast<tamsel_i64_array *>(p)->count == 0;
    case TAMSEL_FIELD_OBJECT_ARRAY:
        return omit_empty && reinterpret_cast<tamsel_object_array *>(p)->count == 0;
    default:
        return false;
    }
}

bool map_has_serialized_fields(const tamsel_map &map, void *dst) {
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        if ((f.flags & TAMSEL_FIELD_REQUIRED) || !field_is_empty_for_omit(map, f, dst)) return true;
    }
    return false;
}

} // namespace tamsel::parse

using namespace tamsel;
using namespace tamsel::parse;

extern "C" void tamsel_init(tamsel_runtime *runtime, const tamsel_map *map, void *dst) {
    if (!map || !dst || map->field_count == 0) return;
    runtime_borrow borrow;
    init_context ctx;
    if (borrow.try_acquire(runtime)) {
        ctx.settings = borrow.settings();
        ctx.runtime = runtime;
    }
    init_record(*map, dst, ctx);
}

extern "C" void tamsel_reset(tamsel_runtime *runtime, const tamsel_map *map, void *dst) {
    if (!map || !dst || map->field_count == 0) return;
    // An invalid map is skipped whole, as cleanup does: its fields cannot be trusted.
    if (!map_is_valid(map)) return;
    runtime_borrow borrow;
    init_context ctx;
    if (borrow.try_acquire(runtime)) {
        ctx.settings = borrow.settings();
        ctx.runtime = runtime;
    }
    reset_record(*map, dst, ctx);
}

extern "C" void tamsel_cleanup(const tamsel_map *map, void *dst) {
    if (!map || !dst || !map_is_valid(map)) return;
    cleanup_record(*map, dst);
}

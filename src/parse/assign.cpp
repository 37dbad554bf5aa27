// Field assignment: completed scalars into fields, decoded strings straight into string
// fields, array elements, and the parse budget that every allocation of a parse is charged to.
//
// A block allocated by a parse carries the parse's serial and the bytes charged in its
// header; "charged to this parse" means its serial matches. Budget tests always come before
// the allocation, so a refused allocation changes neither the field nor the accounting.
#include "io/internal.hpp"
#include "parse/item_cache.hpp"
#include "parse/parser.hpp"
#include "text/scan.hpp"
#include "text/string_body.hpp"
#include "visit/json_value.hpp"

namespace tamsel::parse {

namespace {

constexpr const char *over_budget = "parse allocations exceed configured max bytes";

size_t max_string(const parser &p) {
    // 0 means unlimited; a u64 limit never reaches size arithmetic unclamped.
    return p.options.max_string_bytes ? clamp_to_size(p.options.max_string_bytes) : 0;
}

bool truncates(const tamsel_field &f) {
    return f.overflow_policy != TAMSEL_OVERFLOW_FAIL;
}

tamsel_status truncated_result(const tamsel_field &f) {
    return f.overflow_policy == TAMSEL_OVERFLOW_TRUNCATE ? TAMSEL_STATUS_TRUNCATED
                                                         : TAMSEL_STATUS_OK;
}

init_context context_of(const parser &p) {
    return init_context{p.settings, p.runtime};
}

// Calls `fn(block)` for every owned block a member holds, nested records included.
template <class Fn> void for_each_owned_block(const tamsel_field &f, void *value, Fn &&fn);

template <class Fn> void for_each_owned_block_in(const tamsel_map &map, void *record, Fn &&fn) {
    for (size_t i = 0; i < map.field_count; ++i)
        for_each_owned_block(map.fields[i], member(record, map.fields[i]), fn);
}

template <class Fn> void for_each_owned_block(const tamsel_field &f, void *value, Fn &&fn) {
    auto *p = static_cast<unsigned char *>(value);
    switch (f.kind) {
    case TAMSEL_FIELD_STRING:
        if (f.storage != TAMSEL_STORAGE_FIXED) {
            char *s;
            std::memcpy(&s, p, sizeof s);
            if (s) fn(s);
        }
        break;
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES: {
        auto *s = reinterpret_cast<tamsel_spooled *>(p);
        if (!io::spooled_is_initialised(s)) break;
        if (s->memory) fn(s->memory);
        if (s->owned_temp_dir) fn(s->owned_temp_dir);
        break;
    }
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES: {
        auto *s = reinterpret_cast<tamsel_source *>(p);
        if (s->kind == TAMSEL_SOURCE_PATH && s->path) fn(s->path);
        break;
    }
    case TAMSEL_FIELD_JSON_VALUE: {
        auto *v = reinterpret_cast<tamsel_json_value *>(p);
        if (!visit::json_value_is_initialized(v)) break;
        if (v->data) fn(v->data);
        if (v->path) fn(v->path);
        break;
    }
    case TAMSEL_FIELD_STRING_ARRAY: {
        auto *a = reinterpret_cast<tamsel_string_array *>(p);
        for (size_t i = 0; a->items && i < a->count; ++i)
            if (a->items[i]) fn(a->items[i]);
        if ((a->flags & TAMSEL_ARRAY_OWNED) && a->items) fn(a->items);
        break;
    }
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY: {
        auto *a = reinterpret_cast<tamsel_i64_array *>(p);
        if ((a->flags & TAMSEL_ARRAY_OWNED) && a->items) fn(a->items);
        break;
    }
    case TAMSEL_FIELD_OBJECT:
        if (f.submap) for_each_owned_block_in(*f.submap, p, fn);
        break;
    case TAMSEL_FIELD_OBJECT_ARRAY: {
        auto *a = reinterpret_cast<tamsel_object_array *>(p);
        if (f.submap && a->items)
            for (size_t i = 0; i < a->count; ++i)
                for_each_owned_block_in(
                    *f.submap, static_cast<unsigned char *>(a->items) + i * f.elem_size, fn);
        if ((a->flags & TAMSEL_ARRAY_OWNED) && a->items) fn(a->items);
        break;
    }
    default:
        break;
    }
}

// Gives back the accounting of blocks charged to this parse before they are freed.
void release_accounting(parser &p, const tamsel_field &f, void *value) {
    for_each_owned_block(f, value, [&](void *block) {
        alloc_header *h = header_of(block);
        if (h->charge_owner != p.serial) return;
        p.in_use = p.in_use > h->charged_bytes ? p.in_use - h->charged_bytes : 0;
        h->charge_owner = 0;
        h->charged_bytes = 0;
    });
}

void cleanup_value_parse(parser &p, const tamsel_field &f, void *value) {
    release_accounting(p, f, value);
    cleanup_value(f, value);
}

// The spare of member `slot` when it holds exactly `size` bytes, charged to the budget (which
// the caller has checked); NULL when there is none.
char *spare_block(parser &p, char **slot, size_t size) {
    if (!p.cache) return nullptr;
    char *block = p.cache->spares.take(slot, size, p.allocator);
    if (block) {
        alloc_header *h = header_of(block);
        h->charge_owner = p.serial;
        h->charged_bytes = size;
        p.in_use += size;
    }
    return block;
}

// A block of `size` bytes for the string of member `slot`, charged to the budget (which the
// caller has checked): the member's spare when it has exactly that size, else a new one.
char *string_block(parser &p, char **slot, size_t size) {
    if (char *block = spare_block(p, slot, size)) return block;
    return static_cast<char *>(owned_malloc_parse(p, size));
}

// Room for `needed` items: 1 = room, 0 = the element is dropped (a full fixed array that
// truncates), -1 = failed (recorded).
template <class Array>
int ensure_items(parser &p, Array *a, size_t elem_size, size_t needed, const tamsel_field &f) {
    if (a->capacity >= needed && a->items) return 1;
    // Storage the library did not allocate is the caller's and never grows.
    if ((a->flags & TAMSEL_ARRAY_FIXED) || (a->items && !(a->flags & TAMSEL_ARRAY_OWNED))) {
        if (a->capacity >= needed) return 1;
        if (truncates(f)) {
            p.error.truncated = 1;
            return 0;
        }
        p.raise(TAMSEL_STATUS_OVERFLOW, "array capacity exceeded");
        return -1;
    }
    size_t capacity = a->capacity ? a->capacity : 4;
    while (capacity < needed) {
        if (capacity > SIZE_MAX / 2) {
            p.raise(TAMSEL_STATUS_OVERFLOW, "array too large");
            return -1;
        }
        capacity *= 2;
    }
    size_t bytes;
    if (!checked_mul(capacity, elem_size, &bytes)) {
        p.raise(TAMSEL_STATUS_OVERFLOW, "array too large");
        return -1;
    }
    const uint64_t own = a->items ? budget_charged_here(p, a->items) : 0;
    if (bytes > own && !budget_allows(p, bytes - own)) {
        p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
        return -1;
    }
    void *grown = a->items ? owned_realloc_parse(p, a->items, bytes) : owned_malloc_parse(p, bytes);
    if (!grown) {
        p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow array");
        return -1;
    }
    a->items = static_cast<decltype(a->items)>(grown);
    a->capacity = capacity;
    a->flags |= TAMSEL_ARRAY_OWNED;
    return 1;
}

tamsel_status assign_string(parser &p, const tamsel_field &f, void *value,
                            const unsigned char *bytes, size_t len) {
    if (std::memchr(bytes, 0, len))
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH,
                       "field '%s' contains embedded NUL unsupported by C strings", f.name);
    if (f.storage == TAMSEL_STORAGE_FIXED) {
        char *dst = static_cast<char *>(value);
        if (len + 1 <= f.capacity) {
            std::memcpy(dst, bytes, len);
            dst[len] = '\0';
            return TAMSEL_STATUS_OK;
        }
        if (!truncates(f))
            return p.raise(TAMSEL_STATUS_OVERFLOW, "string field '%s' exceeds fixed capacity",
                           f.name);
        std::memcpy(dst, bytes, f.capacity - 1);
        dst[f.capacity - 1] = '\0';
        p.error.truncated = 1;
        return truncated_result(f);
    }
    if (max_string(p) && len > max_string(p))
        return p.raise(TAMSEL_STATUS_OVERFLOW,
                       "string field '%s' exceeds configured max dynamic string bytes", f.name);
    if (!budget_allows(p, len + 1)) return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
    char *copy = static_cast<char *>(owned_malloc_parse(p, len + 1));
    if (!copy) return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate string");
    std::memcpy(copy, bytes, len);
    copy[len] = '\0';
    char *old;
    std::memcpy(&old, value, sizeof old);
    owned_free_parse(p, old);
    std::memcpy(value, &copy, sizeof copy);
    return TAMSEL_STATUS_OK;
}

tamsel_status array_append_string(parser &p, const tamsel_field &f, tamsel_string_array *a,
                                  const unsigned char *bytes, size_t len) {
    if (std::memchr(bytes, 0, len))
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH,
                       "array '%s' contains embedded NUL unsupported by C strings", f.name);
    int room = ensure_items(p, a, sizeof(char *), a->count + 1, f);
    if (room < 0) return p.error.code;
    if (room == 0) return truncated_result(f);
    if (max_string(p) && len > max_string(p))
        return p.raise(TAMSEL_STATUS_OVERFLOW,
                       "array '%s' contains a string exceeding configured max dynamic string bytes",
                       f.name);
    if (!budget_allows(p, len + 1)) return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
    char *copy = static_cast<char *>(owned_malloc_parse(p, len + 1));
    if (!copy) return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate array string");
    std::memcpy(copy, bytes, len);
    copy[len] = '\0';
    a->items[a->count++] = copy;
    return TAMSEL_STATUS_OK;
}

template <class T, class Array>
tamsel_status array_append(parser &p, const tamsel_field &f, Array *a, T item) {
    int room = ensure_items(p, a, sizeof(T), a->count + 1, f);
    if (room < 0) return p.error.code;
    if (room == 0) return truncated_result(f);
    a->items[a->count++] = item;
    return TAMSEL_STATUS_OK;
}

tamsel_status assign_null(parser &p, frame &f, const tamsel_field &field, void *value) {
    switch (field.kind) {
    case TAMSEL_FIELD_STRING:
        if (field.storage == TAMSEL_STORAGE_FIXED) {
            static_cast<char *>(value)[0] = '\0';
        } else {
            char *old;
            std::memcpy(&old, value, sizeof old);
            owned_free_parse(p, old);
            std::memset(value, 0, sizeof old);
        }
        return TAMSEL_STATUS_OK;
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES:
    case TAMSEL_FIELD_STRING_ARRAY:
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY:
    case TAMSEL_FIELD_OBJECT_ARRAY:
        cleanup_value_parse(p, field, value);
        return TAMSEL_STATUS_OK;
    case TAMSEL_FIELD_OBJECT:
        cleanup_value_parse(p, field, value);
        return TAMSEL_STATUS_OK;
    case TAMSEL_FIELD_I64:
    case TAMSEL_FIELD_U64:
    case TAMSEL_FIELD_F64:
    case TAMSEL_FIELD_BOOL: {
        int *presence = presence_of(*f.map, f.dst, field);
        if (!presence || !(field.flags & TAMSEL_FIELD_NULLABLE)) break;
        std::memset(value, 0, field.kind == TAMSEL_FIELD_BOOL ? sizeof(int) : 8);
        *presence = 0;
        return TAMSEL_STATUS_OK;
    }
    default:
        break;
    }
    return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "null is not allowed for '%s'", field.name);
}

} // namespace

// ---- the budget --------------------------------------------------------------------------

bool budget_allows(const parser &p, uint64_t more) {
    const uint64_t max = p.options.max_parse_bytes;
    return max == 0 || (p.in_use <= max && more <= max - p.in_use);
}

uint64_t budget_charged_here(const parser &p, const void *block) {
    const alloc_header *h = header_of(block);
    return h->charge_owner == p.serial ? h->charged_bytes : 0;
}

void *owned_malloc_parse(parser &p, size_t n) {
    if (!budget_allows(p, n)) return nullptr;
    void *block = owned_alloc(p.alloc(), n);
    if (!block) return nullptr;
    header_of(block)->charge_owner = p.serial;
    header_of(block)->charged_bytes = n;
    p.in_use += n;
    return block;
}

void *owned_realloc_parse(parser &p, void *block, size_t n) {
    if (!block) return owned_malloc_parse(p, n);
    const uint64_t own = budget_charged_here(p, block);
    if (n > own && !budget_allows(p, n - own)) return nullptr;
    void *grown = owned_realloc(nullptr, block, n);
    if (!grown) return nullptr;
    p.in_use = (p.in_use > own ? p.in_use - own : 0) + n;
    header_of(grown)->charge_owner = p.serial;
    header_of(grown)->charged_bytes = n;
    return grown;
}

void owned_free_parse(parser &p, void *block) {
    if (!block) return;
    const uint64_t own = budget_charged_here(p, block);
    p.in_use = p.in_use > own ? p.in_use - own : 0;
    owned_free(block);
}

tamsel_status adopt_block(parser &p, void *block) {
    alloc_header *h = header_of(block);
    const uint64_t size = h->size;
    const uint64_t charged = std::min(budget_charged_here(p, block), size);
    const uint64_t max = p.options.max_parse_bytes;
    const uint64_t base = p.in_use > charged ? p.in_use - charged : 0;
    if (charged < size && max && (base > max || size > max - base))
        return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
    p.in_use = base + size;
    h->charge_owner = p.serial;
    h->charged_bytes = size;
    return TAMSEL_STATUS_OK;
}

tamsel_status adopt_existing(parser &p, const tamsel_map &map, void *record, uint64_t mask) {
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t i = 0; i < map.field_count && st == TAMSEL_STATUS_OK; ++i) {
        if (map.field_count <= 64 && !(mask & (uint64_t{1} << i))) continue;
        for_each_owned_block(map.fields[i], member(record, map.fields[i]), [&](void *block) {
            if (st == TAMSEL_STATUS_OK) st = adopt_block(p, block);
        });
    }
    return st;
}

// ---- records at parse start and for replaced values --------------------------------------

tamsel_status init_map_parse(parser &p, const tamsel_map &map, void *record) {
    init_record(map, record, context_of(p));
    // What initialisation allocated (spool directory copies) is charged to the parse.
    if (p.options.max_parse_bytes) return adopt_existing(p, map, record, ~uint64_t{0});
    return TAMSEL_STATUS_OK;
}

namespace {

// reset_map_parse through the map's plan: what the field-by-field walk does to these members
// (the strings in the same order), one loop per kind of member. Inlined into both callers, as
// every item of a stream and every SSE event goes through one of them.
[[gnu::always_inline]] inline void reset_planned(parser &p, const map_plan &plan,
                                                 unsigned char *record) {
    string_spares &spares = p.cache->spares;
    const step_run r = plan.reset;
    const uint32_t *const words = p.cache->plans.run(r);
    const uint32_t *const ints = words + r.words;
    const uint32_t *const strings = ints + r.ints;
    const uint32_t *const end = strings + r.strings;
    for (const uint32_t *s = words; s < ints; ++s)
        std::memset(record + *s, 0, 8);
    for (const uint32_t *s = ints; s < strings; ++s)
        std::memset(record + *s, 0, sizeof(int));
    for (const uint32_t *s = strings; s < end; ++s) {
        unsigned char *at = record + *s;
        char *str;
        std::memcpy(&str, at, sizeof str);
        if (!str) continue;
        alloc_header *h = header_of(str);
        if (p.in_use && h->charge_owner == p.serial) {
            p.in_use = p.in_use > h->charged_bytes ? p.in_use - h->charged_bytes : 0;
            h->charge_owner = 0;
            h->charged_bytes = 0;
        }
        if (!spares.keep(reinterpret_cast<char **>(at))) {
            owned_free(str);
            std::memset(at, 0, sizeof str);
        }
    }
}

} // namespace

void reset_map_parse(parser &p, const tamsel_map &map, void *record) {
    if (p.cache) {
        // The record then holds no block: nothing is left to adopt.
        const map_plan *plan = p.cache->plans.of(&map);
        if (plan && plan->reset_count) {
            reset_planned(p, *plan, static_cast<unsigned char *>(record));
            return;
        }
    }
    // Blocks charged to this parse exist only once it has charged something; a parse that has
    // not (an object stream's fresh parser resetting its record) skips the walk.
    if (p.in_use)
        for (size_t i = 0; i < map.field_count; ++i)
            release_accounting(p, map.fields[i], member(record, map.fields[i]));
    // Strings the record held wait as spares for the strings of the same members.
    reset_record(map, record, context_of(p), p.cache ? &p.cache->spares : nullptr);
    if (p.options.max_parse_bytes) (void)adopt_existing(p, map, record, ~uint64_t{0});
}

uint64_t reset_adopt_mask(const tamsel_map &map, uint64_t adopt_mask) {
    if (map.field_count > 64) return ~uint64_t{0};
    for (size_t i = 0; i < map.field_count; ++i)
        if (map.fields[i].kind == TAMSEL_FIELD_STRING) adopt_mask &= ~(uint64_t{1} << i);
    return adopt_mask;
}

void reset_fresh_map_parse(parser &p, const tamsel_map &map, void *record, uint64_t mask) {
    // A map with reset steps is emptied by them, which leave nothing to adopt.
    const map_plan *plan = p.cache ? p.cache->plans.of(&map) : nullptr;
    if (plan && plan->reset_count) {
        reset_planned(p, *plan, static_cast<unsigned char *>(record)); // the plan just found
        return;
    }
    if (p.in_use) {
        reset_map_parse(p, map, record);
        return;
    }
    reset_record(map, record, context_of(p), p.cache ? &p.cache->spares : nullptr);
    if (p.options.max_parse_bytes && mask) (void)adopt_existing(p, map, record, mask);
}

void reset_present_array_field(parser &p, const tamsel_field &field, void *array) {
    if (!empty_reusable_array(field, array)) cleanup_value_parse(p, field, array);
}

void *object_array_append_slot(parser &p, const tamsel_field &field, tamsel_object_array *a,
                               tamsel_status *st) {
    *st = TAMSEL_STATUS_OK;
    if (a->elem_size == 0) a->elem_size = field.elem_size;
    // Items are the field's elem_size apart: the record's member is informational only.
    const size_t stride = field.elem_size;
    const auto before = reinterpret_cast<uintptr_t>(a->items);
    int room = ensure_items(p, a, stride, a->count + 1, field);
    if (room < 0) {
        *st = p.error.code;
        return nullptr;
    }
    if (room == 0) return nullptr;
    // Grown in another place: the items' self-marked members moved with them.
    if (field.submap && before && reinterpret_cast<uintptr_t>(a->items) != before)
        for (size_t i = 0; i < a->count; ++i)
            rekey_moved_record(*field.submap, before + i * stride,
                               static_cast<unsigned char *>(a->items) + i * stride);
    unsigned char *item = static_cast<unsigned char *>(a->items) + a->count * stride;
    std::memset(item, 0, stride);
    ++a->count;
    if (field.submap) {
        tamsel_status s = init_map_parse(p, *field.submap, item);
        if (s != TAMSEL_STATUS_OK) {
            *st = s;
            return nullptr;
        }
    }
    return item;
}

// ---- scalars -------------------------------------------------------------------------------

tamsel_status handle_scalar_for_field(parser &p, frame &f, const tamsel_field *fieldp,
                                      const unsigned char *token, size_t len, token_type type) {
    if (!fieldp) return TAMSEL_STATUS_OK;
    const tamsel_field &field = *fieldp;
    TAMSEL_TRY(mark_seen(p, f, field));
    void *value = member(f.dst, field);
    tamsel_status st = TAMSEL_STATUS_OK;
    switch (type) {
    case token_type::string:
        switch (field.kind) {
        case TAMSEL_FIELD_STRING:
            st = assign_string(p, field, value, token, len);
            break;
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
            return TAMSEL_STATUS_OK; // streamed already
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH,
                           "field '%s' is serialize-only and cannot be parsed from JSON",
                           field.name);
        case TAMSEL_FIELD_JSON_VALUE:
            return assign_json_scalar(p, static_cast<tamsel_json_value *>(value), token, len, type);
        default:
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected string field '%s'", field.name);
        }
        break;
    case token_type::number:
        switch (field.kind) {
        case TAMSEL_FIELD_I64: {
            int64_t v;
            if (!parse_i64(token, len, &v))
                return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected integer for '%s'",
                               field.name);
            std::memcpy(value, &v, sizeof v);
            break;
        }
        case TAMSEL_FIELD_U64: {
            uint64_t v;
            if (!parse_u64(token, len, &v))
                return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected unsigned integer for '%s'",
                               field.name);
            std::memcpy(value, &v, sizeof v);
            break;
        }
        case TAMSEL_FIELD_F64: {
            double v;
            if (!parse_f64(token, len, &v))
                return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected number for '%s'", field.name);
            std::memcpy(value, &v, sizeof v);
            break;
        }
        case TAMSEL_FIELD_JSON_VALUE:
            return assign_json_scalar(p, static_cast<tamsel_json_value *>(value), token, len, type);
        default:
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "numeric value does not match field '%s'",
                           field.name);
        }
        break;
    case token_type::true_value:
    case token_type::false_value:
        if (field.kind == TAMSEL_FIELD_BOOL) {
            int v = type == token_type::true_value;
            std::memcpy(value, &v, sizeof v);
            break;
        }
        if (field.kind == TAMSEL_FIELD_JSON_VALUE)
            return assign_json_scalar(p, static_cast<tamsel_json_value *>(value), token, len, type);
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "boolean value does not match field '%s'",
                       field.name);
    case token_type::null:
        if (field.kind == TAMSEL_FIELD_JSON_VALUE)
            return assign_json_scalar(p, static_cast<tamsel_json_value *>(value), token, len, type);
        return assign_null(p, f, field, value);
    }
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
    if (int *presence = presence_of(*f.map, f.dst, field)) *presence = 1;
    return st;
}

tamsel_status handle_array_scalar(parser &p, frame &f, const unsigned char *token, size_t len,
                                  token_type type) {
    const tamsel_field &field = *f.container;
    void *value = member(f.dst, field);
    switch (field.kind) {
    case TAMSEL_FIELD_STRING_ARRAY:
        if (type == token_type::null)
            return array_append_string(p, field, static_cast<tamsel_string_array *>(value),
                                       reinterpret_cast<const unsigned char *>(""), 0);
        if (type != token_type::string)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects strings", field.name);
        return array_append_string(p, field, static_cast<tamsel_string_array *>(value), token, len);
    case TAMSEL_FIELD_I64_ARRAY: {
        int64_t v;
        if (type != token_type::number)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects integers", field.name);
        if (!parse_i64(token, len, &v))
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected integer for '%s'", field.name);
        return array_append(p, field, static_cast<tamsel_i64_array *>(value), v);
    }
    case TAMSEL_FIELD_U64_ARRAY: {
        uint64_t v;
        if (type != token_type::number)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects unsigned integers",
                           field.name);
        if (!parse_u64(token, len, &v))
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected unsigned integer for '%s'",
                           field.name);
        return array_append(p, field, static_cast<tamsel_u64_array *>(value), v);
    }
    case TAMSEL_FIELD_F64_ARRAY: {
        double v;
        if (type != token_type::number)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects numbers", field.name);
        if (!parse_f64(token, len, &v))
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "expected number for '%s'", field.name);
        return array_append(p, field, static_cast<tamsel_f64_array *>(value), v);
    }
    case TAMSEL_FIELD_BOOL_ARRAY:
        if (type != token_type::true_value && type != token_type::false_value)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects booleans", field.name);
        return array_append(p, field, static_cast<tamsel_bool_array *>(value),
                            type == token_type::true_value ? 1 : 0);
    case TAMSEL_FIELD_STRING_ARRAY_STREAM:
        if (type != token_type::string)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects strings", field.name);
        return TAMSEL_STATUS_OK; // delivered to the handler already
    case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects object items", field.name);
    default:
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH,
                       "field '%s' does not accept scalar array values", field.name);
    }
}

// ---- direct strings ------------------------------------------------------------------------

tamsel_status direct_begin(parser &p, frame &f, const tamsel_field &field) {
    TAMSEL_TRY(mark_seen(p, f, field));
    direct_string &d = p.direct;
    d = direct_string{};
    d.field = &field;
    unsigned char *value = member(f.dst, field);
    if (field.storage != TAMSEL_STORAGE_FIXED) {
        const uint64_t max = p.options.max_parse_bytes;
        const uint64_t remaining = max == 0 ? UINT64_MAX : (max > p.in_use ? max - p.in_use : 0);
        const size_t limit = max_string(p);
        size_t first = limit >= 1 && limit <= 62 ? limit + 1 : 64;
        if (first > remaining) first = static_cast<size_t>(remaining);
        if (first == 0) return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
        d.slot = reinterpret_cast<char **>(value);
        d.buf = string_block(p, d.slot, first);
        if (!d.buf) return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate string");
        d.capacity = first;
        d.dynamic = true;
        d.staging_owned = true;
    } else {
        char *target = reinterpret_cast<char *>(value);
        const size_t capacity = field.capacity;
        if (p.options.init_destination || target[0] == '\0' || !p.dst) {
            d.buf = target;
        } else {
            // Stage so that the old value survives a failure: the shared scratch when this
            // parse can own it alone, else free workspace, else a parse allocation.
            const tamsel_parse_options &o = p.options;
            if (o.fixed_string_scratch && o.fixed_string_scratch_size >= capacity && p.settings &&
                p.settings->parse_options.fixed_string_scratch == o.fixed_string_scratch &&
                p.settings->scratch_busy.exchange(1, std::memory_order_acquire) == 0) {
                p.scratch_held = true;
                d.buf = static_cast<char *>(o.fixed_string_scratch);
            } else if (o.fixed_string_scratch && o.fixed_string_scratch_size >= capacity &&
                       (!p.settings ||
                        p.settings->parse_options.fixed_string_scratch != o.fixed_string_scratch)) {
                d.buf = static_cast<char *>(o.fixed_string_scratch); // a private copy
            } else if (p.book_top - p.frames_end() >= capacity) {
                d.buf = reinterpret_cast<char *>(p.base + p.frames_end());
            } else {
                if (!budget_allows(p, capacity))
                    return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
                d.buf = static_cast<char *>(owned_malloc_parse(p, capacity));
                if (!d.buf)
                    return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED,
                                   "failed to allocate fixed string staging buffer");
                d.staging_owned = true;
            }
            d.target = target;
        }
        d.capacity = capacity;
    }
    d.buf[0] = '\0';
    d.active = true;
    return TAMSEL_STATUS_OK;
}

size_t direct_room(const parser &p) {
    const direct_string &d = p.direct;
    if (!d.active) return SIZE_MAX;
    if (d.dynamic) {
        const size_t limit = max_string(p);
        if (!limit) return SIZE_MAX;
        return d.written < limit ? limit - d.written : 0;
    }
    if (d.truncated || truncates(*d.field)) return SIZE_MAX;
    return d.capacity - 1 - d.written;
}

tamsel_status direct_append(parser &p, const unsigned char *bytes, size_t n) {
    direct_string &d = p.direct;
    if (!d.active)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "direct string field is not active");
    const tamsel_field &f = *d.field;
    if (d.dynamic) {
        const size_t limit = max_string(p);
        if (limit && (n > limit || d.written > limit - n))
            return p.raise(TAMSEL_STATUS_OVERFLOW,
                           "string field '%s' exceeds configured max dynamic string bytes", f.name);
        size_t need;
        if (!checked_add(d.written, n, &need) || !checked_add(need, 1, &need))
            return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
        if (need > d.capacity) {
            size_t grown = d.capacity;
            while (grown < need)
                grown = grown > SIZE_MAX / 2 ? need : grown * 2;
            // The limit plus its NUL, computed without wrapping at SIZE_MAX.
            if (limit && grown > std::min(limit, SIZE_MAX - 1) + 1)
                grown = std::min(limit, SIZE_MAX - 1) + 1;
            void *block = owned_realloc_parse(p, d.buf, grown);
            if (!block) {
                if (!budget_allows(p, grown -
                                          std::min<uint64_t>(grown, budget_charged_here(p, d.buf))))
                    return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
                return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate string");
            }
            d.buf = static_cast<char *>(block);
            d.capacity = grown;
        }
        std::memcpy(d.buf + d.written, bytes, n);
        d.written += n;
        d.buf[d.written] = '\0';
        return TAMSEL_STATUS_OK;
    }
    if (d.truncated) return TAMSEL_STATUS_OK; // the rest of a cut string is dropped
    const size_t room = d.capacity - 1 - d.written;
    const size_t take = n < room ? n : room;
    std::memcpy(d.buf + d.written, bytes, take);
    d.written += take;
    d.buf[d.written] = '\0'; // the array stays a C string whatever happens next
    if (take < n) {
        if (!truncates(f))
            return p.raise(TAMSEL_STATUS_OVERFLOW, "string field '%s' exceeds fixed capacity",
                           f.name);
        d.truncated = true;
        p.error.truncated = 1;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status direct_finish(parser &p) {
    direct_string &d = p.direct;
    if (!d.active)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "direct string field is not active");
    d.buf[d.written] = '\0';
    if (d.dynamic) {
        char *old = *d.slot;
        *d.slot = d.buf; // the buffer now belongs to the field
        owned_free_parse(p, old);
    } else if (d.target) {
        std::memcpy(d.target, d.buf, d.written + 1);
        if (d.staging_owned) owned_free_parse(p, d.buf);
    }
    if (p.scratch_held) {
        p.settings->scratch_busy.store(0, std::memory_order_release);
        p.scratch_held = false;
    }
    tamsel_status st = d.truncated ? truncated_result(*d.field) : TAMSEL_STATUS_OK;
    d = direct_string{};
    return st;
}

namespace {

// The decoded length of a valid string body [b, close) with escapes; SIZE_MAX when one of them
// stands for NUL, which a C string cannot hold.
size_t decoded_length(const uint8_t *b, const uint8_t *close) {
    return scan::decoded_body_length(b, close);
}

// Decodes the valid body [b, close) into `out`, at most `room` bytes of it (a code point cut
// at the end keeps its first bytes, as byte-wise appending does).
void decode_body(const uint8_t *b, const uint8_t *close, unsigned char *out, size_t room) {
    (void)scan::decode_string_body(b, close, out, room);
}

// The block a direct string of `n` bytes ends with: its first size, doubled until the string
// and its NUL fit, cut to the limit; 0 when the doubling would wrap.
[[gnu::always_inline]] inline size_t direct_block_size(size_t limit, size_t n) {
    size_t capacity = limit >= 1 && limit <= 62 ? limit + 1 : 64;
    while (capacity < n + 1) {
        if (capacity > SIZE_MAX / 2) return 0;
        capacity *= 2;
    }
    // The limit plus its NUL, computed without wrapping at SIZE_MAX.
    if (limit && capacity > std::min(limit, SIZE_MAX - 1) + 1)
        capacity = std::min(limit, SIZE_MAX - 1) + 1;
    return capacity;
}

// The block an escaped body of `bound` bytes calls for (its decoded string is never longer),
// or 0 when the string limit or the budget refuses it by that length alone.
size_t escaped_capacity(const parser &p, size_t bound, size_t limit) {
    if (limit && bound > limit) return 0;
    // The block is never smaller than the first one, so the budget passing it passes every
    // block the direct string would have grown through.
    const size_t capacity = direct_block_size(limit, bound);
    if (!capacity || !budget_allows(p, capacity)) return 0;
    return capacity;
}

// The member's spare block of `held` bytes (half the block an escaped body calls for, where
// escapes mostly bring a body that crosses a doubling back), or NULL when it has none or `held`
// is below the first size.
char *half_spare(parser &p, char **slot, size_t held, size_t limit) {
    return held >= direct_block_size(limit, 0) ? spare_block(p, slot, held) : nullptr;
}

// `block` (the half spare, or NULL) grown to the whole `capacity`; NULL, with `block` freed,
// when that fails.
char *whole_block(parser &p, char **slot, char *block, size_t capacity) {
    char *whole = block ? static_cast<char *>(owned_realloc_parse(p, block, capacity))
                        : string_block(p, slot, capacity);
    if (!whole) owned_free_parse(p, block);
    return whole;
}

// The last step of a string decoded into `block` (`held` bytes, `n` of them the string): the
// block is cut to what the string calls for, so the string ends in the block (and charge) the
// direct string would have, and becomes the member's string in place of the old one.
whole_string settle_string(parser &p, char **slot, char *block, size_t held, size_t limit,
                           size_t n) {
    if (const size_t fits = direct_block_size(limit, n); fits != held) {
        char *cut = static_cast<char *>(owned_realloc_parse(p, block, fits));
        if (!cut) {
            owned_free_parse(p, block);
            return whole_string::failed;
        }
        block = cut;
    }
    block[n] = '\0';
    owned_free_parse(p, std::exchange(*slot, block));
    return whole_string::stored;
}

// A dynamic string with escapes decoded in one pass, straight into the block that the body's
// length (which the decoded length never exceeds) calls for; when the decoded string calls for
// a smaller one, the block is cut down to it, so the string ends in the block (and charge) the
// direct string would have. A NUL escape, or a body that the limit or the budget would refuse
// by its length alone, is not taken: store_whole_string's measured road decides.
whole_string store_escaped_at_once(parser &p, const frame &f, const tamsel_field &field,
                                   const uint8_t *body, const uint8_t *close) {
    const size_t bound = static_cast<size_t>(close - body);
    const size_t limit = max_string(p);
    const size_t capacity = escaped_capacity(p, bound, limit);
    if (!capacity) return whole_string::not_taken;
    char **slot = reinterpret_cast<char **>(member(f.dst, field));
    const auto out = [](char *b) { return reinterpret_cast<unsigned char *>(b); };
    // Escapes mostly shrink a body that crosses a doubling back under it: the member's spare of
    // half the block is tried first (fewer bytes than its room means the whole body went in),
    // and grown to the whole block when the string does not fit it.
    size_t held = capacity / 2;
    char *block = half_spare(p, slot, held, limit);
    size_t n = block ? scan::decode_string_body(body, close, out(block), held - 1) : 0;
    if (!block || (n != SIZE_MAX && n >= held - 1)) {
        if (!(block = whole_block(p, slot, block, capacity))) return whole_string::failed;
        held = capacity;
        n = scan::decode_string_body(body, close, out(block), bound);
    }
    if (n == SIZE_MAX) {
        owned_free_parse(p, block);
        return whole_string::not_taken;
    }
    return settle_string(p, slot, block, held, limit, n);
}

} // namespace

whole_string store_decoded_string(parser &p, const frame &f, const tamsel_field &field,
                                  const uint8_t *body, const uint8_t *close,
                                  const unsigned char *decoded, size_t n) {
    // The steps of store_escaped_at_once with the decoding done: the spare of half the block
    // takes the string when it is shorter than the spare's room, else the block grows to the
    // body's length; then it is cut to what the decoded string calls for.
    const size_t limit = max_string(p);
    const size_t capacity = escaped_capacity(p, static_cast<size_t>(close - body), limit);
    if (!capacity) return whole_string::not_taken;
    char **slot = reinterpret_cast<char **>(member(f.dst, field));
    size_t held = capacity / 2;
    char *block = half_spare(p, slot, held, limit);
    if (!block || n >= held - 1) {
        if (!(block = whole_block(p, slot, block, capacity))) return whole_string::failed;
        held = capacity;
    }
    std::memcpy(block, decoded, n);
    return settle_string(p, slot, block, held, limit, n);
}

whole_string store_whole_string(parser &p, const frame &f, const tamsel_field &field,
                                const uint8_t *body, const uint8_t *close, bool escaped) {
    if (escaped && field.storage != TAMSEL_STORAGE_FIXED) {
        const whole_string w = store_escaped_at_once(p, f, field, body, close);
        if (w != whole_string::not_taken) return w;
    }
    const size_t n = escaped ? decoded_length(body, close) : static_cast<size_t>(close - body);
    if (n == SIZE_MAX) return whole_string::not_taken;
    unsigned char *value = member(f.dst, field);
    if (field.storage == TAMSEL_STORAGE_FIXED) {
        // Only in place: a value staged to survive a failure goes the general way.
        if (!p.options.init_destination && value[0] != '\0' && p.dst)
            return whole_string::not_taken;
        const size_t room = field.capacity - 1;
        if (n > room && !truncates(field)) return whole_string::not_taken;
        const size_t take = std::min(n, room);
        if (escaped)
            decode_body(body, close, value, take);
        else
            std::memcpy(value, body, take);
        value[take] = '\0';
        if (take < n) {
            p.error.truncated = 1;
            if (field.overflow_policy == TAMSEL_OVERFLOW_TRUNCATE) p.report_truncated = true;
        }
        return whole_string::stored;
    }
    // The block the direct string would end with: its first size, doubled until the string and
    // its NUL fit, cut to the limit (never below the first size); the budget's tests along the
    // way all pass when its last one does.
    const size_t limit = max_string(p);
    if (limit && n > limit) return whole_string::not_taken;
    const size_t capacity = direct_block_size(limit, n);
    if (!capacity || !budget_allows(p, capacity)) return whole_string::not_taken;
    char **slot = reinterpret_cast<char **>(value);
    char *block = string_block(p, slot, capacity);
    if (!block) return whole_string::failed;
    if (escaped)
        decode_body(body, close, reinterpret_cast<unsigned char *>(block), n);
    else if (n <= 16)
        io::move_short(block, body, n); // most strings of records are short: no call
    else
        std::memcpy(block, body, n);
    block[n] = '\0';
    char *old = *slot;
    *slot = block;
    owned_free_parse(p, old);
    return whole_string::stored;
}

void direct_abandon(parser &p) {
    direct_string &d = p.direct;
    if (d.active) {
        if (d.staging_owned) owned_free_parse(p, d.buf);
        if (p.scratch_held) {
            p.settings->scratch_busy.store(0, std::memory_order_release);
            p.scratch_held = false;
        }
    }
    d = direct_string{};
}

} // namespace tamsel::parse

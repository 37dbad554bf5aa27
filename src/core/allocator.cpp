// The allocator layer: the all-or-none rule, owned blocks with their 64-byte header, raw
// output buffers, and the allocation statistics under one process-wide lock.
#include "core/internal.hpp"

#include <cstdlib>
#include <cstring>

namespace {

void *process_malloc(void *, size_t size) {
    return std::malloc(size);
}
void *process_realloc(void *, void *block, size_t size) {
    return std::realloc(block, size);
}
void process_free(void *, void *block) {
    std::free(block);
}

constexpr tamsel_allocator process_allocator = {process_malloc, process_realloc, process_free,
                                                nullptr, nullptr};

// Guards every update of every tamsel_alloc_stats record in the process.
tamsel::spin_lock stats_lock;

} // namespace

extern "C" tamsel_allocator tamsel_default_allocator(void) {
    return process_allocator;
}

namespace tamsel {

bool allocator_is_default(const tamsel_allocator *a) {
    return !a || (!a->malloc && !a->realloc && !a->free);
}

bool resolve_allocator(const tamsel_allocator *a, tamsel_allocator *out) {
    if (allocator_is_default(a)) {
        *out = process_allocator;
        return true;
    }
    if (!a->malloc || !a->realloc || !a->free) return false;
    *out = *a;
    return true;
}

tamsel_status require_allocator(const tamsel_allocator *a, tamsel_allocator *out,
                                tamsel_error *error) {
    if (resolve_allocator(a, out)) return TAMSEL_STATUS_OK;
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                "allocator must provide either all callbacks or none");
}

tamsel_allocator inherit_allocator(const tamsel_allocator *a) {
    tamsel_allocator out;
    if (!resolve_allocator(a, &out)) out = process_allocator;
    return out;
}

namespace {

void raise_current(tamsel_alloc_stats *stats, uint64_t bytes) {
    stats->current_bytes =
        stats->current_bytes > UINT64_MAX - bytes ? UINT64_MAX : stats->current_bytes + bytes;
    if (stats->current_bytes > stats->peak_bytes) stats->peak_bytes = stats->current_bytes;
}

void lower_current(tamsel_alloc_stats *stats, uint64_t bytes) {
    stats->current_bytes = stats->current_bytes > bytes ? stats->current_bytes - bytes : 0;
}

} // namespace

void stats_on_alloc(tamsel_alloc_stats *stats, uint64_t bytes) {
    if (!stats) return;
    spin_guard guard(stats_lock);
    stats->alloc_count += 1;
    raise_current(stats, bytes);
}

void stats_on_realloc(tamsel_alloc_stats *stats, uint64_t old_bytes, uint64_t new_bytes) {
    if (!stats) return;
    spin_guard guard(stats_lock);
    stats->realloc_count += 1;
    lower_current(stats, old_bytes);
    raise_current(stats, new_bytes);
}

void stats_on_free(tamsel_alloc_stats *stats, uint64_t bytes) {
    if (!stats) return;
    spin_guard guard(stats_lock);
    stats->free_count += 1;
    lower_current(stats, bytes);
}

void *owned_alloc(const tamsel_allocator *a, size_t size) {
    size_t total;
    if (!checked_add(size, alloc_header_size, &total)) return nullptr;
    tamsel_allocator use = allocator_is_default(a) ? process_allocator : *a;
    if (!use.malloc || !use.realloc || !use.free) use = process_allocator;
    void *raw = use.malloc(use.user_data, total);
    if (!raw) return nullptr;
    auto *h = static_cast<alloc_header *>(raw);
    h->malloc_fn = use.malloc;
    h->realloc_fn = use.realloc;
    h->free_fn = use.free;
    h->user_data = use.user_data;
    h->stats = use.stats;
    h->size = size;
    h->charge_owner = 0;
    h->charged_bytes = 0;
    stats_on_alloc(use.stats, size);
    return static_cast<unsigned char *>(raw) + alloc_header_size;
}

void *owned_realloc(const tamsel_allocator *a, void *block, size_t size) {
    if (!block) return owned_alloc(a, size);
    if (size == 0) return block;
    size_t total;
    if (!checked_add(size, alloc_header_size, &total)) return nullptr;
    alloc_header saved = *header_of(block);
    void *raw = saved.realloc_fn(saved.user_data, header_of(block), total);
    if (!raw) return nullptr;
    auto *h = static_cast<alloc_header *>(raw);
    // The allocator moved the bytes; restore the words it may not preserve exactly.
    h->malloc_fn = saved.malloc_fn;
    h->realloc_fn = saved.realloc_fn;
    h->free_fn = saved.free_fn;
    h->user_data = saved.user_data;
    h->stats = saved.stats;
    h->size = size;
    h->charge_owner = saved.charge_owner;
    h->charged_bytes = saved.charged_bytes;
    stats_on_realloc(saved.stats, saved.size, size);
    return static_cast<unsigned char *>(raw) + alloc_header_size;
}

void owned_free(void *block) {
    if (!block) return;
    alloc_header *h = header_of(block);
    stats_on_free(h->stats, h->size);
    h->free_fn(h->user_data, h);
}

char *owned_strndup(const tamsel_allocator *a, const char *text, size_t len) {
    size_t size;
    if (!checked_add(len, 1, &size)) return nullptr;
    auto *copy = static_cast<char *>(owned_alloc(a, size));
    if (!copy) return nullptr;
    if (len) std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

char *owned_strdup(const tamsel_allocator *a, const char *text) {
    return text ? owned_strndup(a, text, std::strlen(text)) : nullptr;
}

void *raw_realloc(const tamsel_allocator &a, void *block, size_t old_capacity,
                  size_t new_capacity) {
    if (new_capacity == 0) return nullptr;
    void *p =
        block ? a.realloc(a.user_data, block, new_capacity) : a.malloc(a.user_data, new_capacity);
    if (!p) return nullptr;
    if (block)
        stats_on_realloc(a.stats, old_capacity, new_capacity);
    else
        stats_on_alloc(a.stats, new_capacity);
    return p;
}

void raw_free(const tamsel_allocator &a, void *block, size_t capacity) {
    if (!block) return;
    stats_on_free(a.stats, capacity);
    a.free(a.user_data, block);
}

} // namespace tamsel

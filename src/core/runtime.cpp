// The runtime object: creation, destruction, the process-wide registry and borrowing.
//
// Memory layout. A runtime is two pieces:
//  - a handle slot from a type-stable pool: the public `tamsel_runtime` (header and method
//    table) followed by its registry node. Pool slots are allocated with the process allocator
//    in chunks and never freed; a freed runtime's slot is recycled with a new generation.
//    Because the slot stays mapped, a thread that borrows through a handle while another
//    thread frees it reads valid memory and simply fails its checks.
//  - the settings block, allocated with the configuration's allocator and counted in its
//    statistics; it is freed by tamsel_free once every borrower has left.
//
// Borrow protocol (why the orderings are what they are):
//  - A borrower raises `borrows` and then loads `closing`; tamsel_free stores `closing` and
//    then loads `borrows`. This is the store-buffering pattern: with anything weaker than
//    sequential consistency both sides could miss each other (the store may sit in a store
//    buffer past the other side's load, even on x86), the borrower proceeding on a runtime
//    that is being freed. All four accesses are seq_cst, so at least one side sees the other:
//    either the borrower sees `closing` and backs out, or tamsel_free sees the borrow and waits.
//  - The borrower loads `closing` before the node's `generation`. A slot is recycled by
//    writing the new generation and only then clearing `closing`; so a borrower that still
//    sees the old generation after its increment also sees `closing` set by the old free.
//  - Header words are read with acquire loads and written with release stores, the generation
//    last on creation and first on destruction. A borrower that read a header written for a
//    newer incarnation also sees that incarnation's node generation, which then fails to
//    match the generation it read first.
#include "core/internal.hpp"

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <new>

void tamsel__fill_runtime_methods(tamsel_runtime_methods *methods);

namespace {

struct registry_node {
    std::atomic<const tamsel_runtime_settings *> settings{nullptr};
    tamsel_runtime *runtime = nullptr;
    std::atomic<uint32_t> generation{0};
    std::atomic<uint32_t> borrows{0};
    std::atomic<uint32_t> closing{0};
    registry_node *next = nullptr; // registry list, under the registry lock
};

struct runtime_slot {
    tamsel_runtime handle; // first: a slot's address is its handle's address
    registry_node node;
    runtime_slot *next_free = nullptr; // pool free list, under the registry lock
};

constexpr size_t slots_per_chunk = 32;

struct pool_chunk {
    pool_chunk *next = nullptr;
    runtime_slot slots[slots_per_chunk];
};

// Process-wide state: the registry list, the generation counter, the handle pool; all changed
// only under the registry lock. `pool_chunks` is also read without the lock (chunks are only
// ever prepended, never freed).
tamsel::spin_lock registry_lock;
registry_node *registry_head = nullptr;
uint32_t g_tamsel_runtime_handle_generation = 1;
std::atomic<pool_chunk *> pool_chunks{nullptr};
runtime_slot *free_head = nullptr; // FIFO, so a freed slot is reused as late as possible
runtime_slot *free_tail = nullptr;

// The settings block of a live runtime.
struct runtime_block {
    tamsel_runtime_settings settings;
};

template <class T> T load_acquire(const T &word) {
    return std::atomic_ref<T>(const_cast<T &>(word)).load(std::memory_order_acquire);
}
template <class T> void store_release(T &word, T value) {
    std::atomic_ref<T>(word).store(value, std::memory_order_release);
}

// True when `h` is the handle of a pool slot: a forged handle whose `self` points at itself
// must not be taken for one, since the registry node is found at a fixed offset from it.
runtime_slot *pool_slot_of(const tamsel_runtime *h) {
    auto addr = reinterpret_cast<uintptr_t>(h);
    for (pool_chunk *c = pool_chunks.load(std::memory_order_acquire); c; c = c->next) {
        auto first = reinterpret_cast<uintptr_t>(&c->slots[0]);
        auto end = reinterpret_cast<uintptr_t>(&c->slots[slots_per_chunk]);
        if (addr >= first && addr < end)
            return (addr - first) % sizeof(runtime_slot) == 0
                       ? reinterpret_cast<runtime_slot *>(addr)
                       : nullptr;
    }
    return nullptr;
}

void push_free_slot(runtime_slot *slot) { // registry lock held
    slot->next_free = nullptr;
    if (free_tail)
        free_tail->next_free = slot;
    else
        free_head = slot;
    free_tail = slot;
}

runtime_slot *pop_free_slot() { // registry lock held
    runtime_slot *slot = free_head;
    if (!slot) return nullptr;
    free_head = slot->next_free;
    if (!free_head) free_tail = nullptr;
    slot->next_free = nullptr;
    return slot;
}

// Takes a slot from the pool, growing it by one chunk from the process allocator if empty.
runtime_slot *acquire_slot() {
    {
        tamsel::spin_guard guard(registry_lock);
        if (runtime_slot *slot = pop_free_slot()) return slot;
    }
    void *raw = std::calloc(1, sizeof(pool_chunk));
    if (!raw) return nullptr;
    auto *chunk = new (raw) pool_chunk();
    for (runtime_slot &slot : chunk->slots)
        tamsel__fill_runtime_methods(&slot.handle.methods);
    tamsel::spin_guard guard(registry_lock);
    chunk->next = pool_chunks.load(std::memory_order_relaxed);
    pool_chunks.store(chunk, std::memory_order_release);
    for (runtime_slot &slot : chunk->slots)
        push_free_slot(&slot);
    return pop_free_slot();
}

void release_slot(runtime_slot *slot) {
    tamsel::spin_guard guard(registry_lock);
    push_free_slot(slot);
}

uint32_t next_generation() { // registry lock held
    uint32_t old = g_tamsel_runtime_handle_generation;
    uint32_t next = (old == 0 || old == UINT32_MAX) ? 1 : old + 1;
    g_tamsel_runtime_handle_generation = next;
    return next;
}

void unlink_node(registry_node *node) { // registry lock held
    for (registry_node **link = &registry_head; *link; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            break;
        }
    }
    node->next = nullptr;
}

// Finds the live node of a header by value (registry lock held).
registry_node *find_live_node(uint64_t generation, const tamsel_runtime_settings *settings) {
    for (registry_node *n = registry_head; n; n = n->next) {
        if (n->generation.load(std::memory_order_relaxed) == generation &&
            n->settings.load(std::memory_order_relaxed) == settings &&
            n->closing.load(std::memory_order_relaxed) == 0)
            return n;
    }
    return nullptr;
}

void derive_options(tamsel_runtime_settings *s) {
    const tamsel_config &c = s->config;
    s->parse_options.init_destination = c.init_destination;
    s->parse_options.reject_duplicates = c.reject_duplicates;
    s->parse_options.max_depth = c.max_depth;
    s->parse_options.max_string_bytes = c.max_string_bytes;
    s->parse_options.max_parse_bytes = c.max_parse_bytes;
    s->parse_options.fixed_string_scratch = c.fixed_string_scratch;
    s->parse_options.fixed_string_scratch_size = c.fixed_string_scratch_size;
    s->parse_options.allocator = c.allocator;
    s->value_limits.max_depth = c.value_max_depth;
    s->value_limits.max_string_bytes = c.value_max_string_bytes;
    s->value_limits.max_number_bytes = c.value_max_number_bytes;
    s->value_limits.max_key_bytes = c.value_max_key_bytes;
    s->value_limits.max_total_bytes = c.value_max_total_bytes;
    s->write_options.overflow_policy = c.overflow_policy;
    s->write_options.pretty = c.pretty;
    s->write_options.allocator = c.allocator;
    s->write_options.max_output_bytes = c.max_output_bytes;
    for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i)
        s->spool[i] = c.spool_classes[i];
}

// The allocator a settings record allocates its own blocks with (NULL = default).
const tamsel_allocator *own_allocator(const tamsel_runtime_settings *s) {
    return s->config.allocator ? &s->allocator_copy : nullptr;
}

// Duplicates the three spool directories of `from` into `s` (its owned slots and its config).
bool duplicate_temp_dirs(tamsel_runtime_settings *s, const tamsel_config &from) {
    for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i) {
        const char *dir = from.spool_classes[i].temp_dir;
        s->owned[i] = nullptr;
        if (!dir) continue;
        s->owned[i] = tamsel::owned_strdup(own_allocator(s), dir);
        if (!s->owned[i]) return false;
    }
    for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i)
        s->config.spool_classes[i].temp_dir = static_cast<const char *>(s->owned[i]);
    return true;
}

void free_runtime_block(runtime_block *block) {
    tamsel_allocator alloc = tamsel::inherit_allocator(&block->settings.allocator_copy);
    block->~runtime_block();
    tamsel::raw_free(alloc, block, sizeof(runtime_block));
}

} // namespace

void tamsel__runtime_free_owned_config(tamsel_runtime_settings *settings) {
    if (!settings) return;
    for (void *&p : settings->owned)
        tamsel::owned_free(std::exchange(p, nullptr));
}

extern "C" tamsel_runtime *tamsel_new(const tamsel_config *config, tamsel_error *error) {
    using namespace tamsel;
    if (config && config->magic != TAMSEL_CONFIG_MAGIC) {
        fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
             "tamsel_config must be initialized with tamsel_default_config()");
        return nullptr;
    }
    const tamsel_config cfg = config ? *config : tamsel_default_config();
    tamsel_allocator alloc;
    if (require_allocator(cfg.allocator, &alloc, error) != TAMSEL_STATUS_OK) return nullptr;

    void *raw = raw_realloc(alloc, nullptr, 0, sizeof(runtime_block));
    if (!raw) {
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate tamsel runtime");
        return nullptr;
    }
    std::memset(raw, 0, sizeof(runtime_block));
    auto *block = new (raw) runtime_block();
    tamsel_runtime_settings *s = &block->settings;
    s->config = cfg;
    if (cfg.allocator) {
        s->allocator_copy = *cfg.allocator;
        s->config.allocator = &s->allocator_copy;
    }
    if (!duplicate_temp_dirs(s, cfg)) {
        tamsel__runtime_free_owned_config(s);
        free_runtime_block(block);
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate runtime spool temp_dir");
        return nullptr;
    }
    derive_options(s);

    runtime_slot *slot = acquire_slot();
    if (!slot) {
        tamsel__runtime_free_owned_config(s);
        free_runtime_block(block);
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate tamsel runtime");
        return nullptr;
    }
    tamsel_runtime *h = &slot->handle;
    s->owner.store(h, std::memory_order_relaxed);

    uint32_t generation;
    {
        spin_guard guard(registry_lock);
        generation = next_generation();
        registry_node &node = slot->node;
        node.settings.store(s, std::memory_order_relaxed);
        node.runtime = h;
        node.borrows.store(0, std::memory_order_seq_cst);
        node.generation.store(generation, std::memory_order_seq_cst);
        node.closing.store(0, std::memory_order_seq_cst); // after the generation: see above
        node.next = registry_head;
        registry_head = &node;
    }
    store_release(h->settings, s);
    store_release(h->self, h);
    store_release(h->settings_fast, s);
    store_release(h->generation, static_cast<uint64_t>(generation));
    clear_error(error);
    return h;
}

extern "C" void tamsel_free(tamsel_runtime *h) {
    if (!h) return;
    uint64_t generation = load_acquire(h->generation);
    tamsel_runtime_settings *s = load_acquire(h->settings);
    if (!s || generation == 0) return;
    runtime_slot *slot = nullptr;
    if (load_acquire(h->self) == h && load_acquire(h->settings_fast)) slot = pool_slot_of(h);
    if (!slot) {
        // A by-value copy (or a forged header): forget it, the runtime stays live.
        store_release(h->generation, uint64_t{0});
        store_release(h->settings, static_cast<tamsel_runtime_settings *>(nullptr));
        store_release(h->self, static_cast<tamsel_runtime *>(nullptr));
        store_release(h->settings_fast, static_cast<tamsel_runtime_settings *>(nullptr));
        return;
    }
    registry_node &node = slot->node;
    s->owner.store(nullptr, std::memory_order_relaxed);
    {
        tamsel::spin_guard guard(registry_lock);
        node.closing.store(1, std::memory_order_seq_cst);
        unlink_node(&node);
    }
    while (node.borrows.load(std::memory_order_seq_cst) != 0)
        sched_yield();

    store_release(h->generation, uint64_t{0});
    store_release(h->settings_fast, static_cast<tamsel_runtime_settings *>(nullptr));
    store_release(h->self, static_cast<tamsel_runtime *>(nullptr));
    store_release(h->settings, static_cast<tamsel_runtime_settings *>(nullptr));
    tamsel__runtime_free_owned_config(s);
    free_runtime_block(reinterpret_cast<runtime_block *>(s));
    release_slot(slot);
}

extern "C" tamsel_status tamsel_set_utf8_check(tamsel_runtime *runtime, int enabled,
                                               tamsel_error *error) {
    tamsel::runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    borrow.settings()->utf8_check.store(enabled ? 1 : 0, std::memory_order_release);
    tamsel::clear_error(error);
    return TAMSEL_STATUS_OK;
}

const tamsel_runtime_settings *tamsel__runtime_borrow_const(const tamsel_runtime *h,
                                                            tamsel_borrow_token *token) {
    *token = {};
    if (!h) return nullptr;
    const uint64_t generation = load_acquire(h->generation);
    const tamsel_runtime_settings *settings = load_acquire(h->settings);
    if (!settings || generation == 0) return nullptr;
    const tamsel_runtime *self = load_acquire(h->self);
    const tamsel_runtime_settings *fast = load_acquire(h->settings_fast);

    if (self == h && fast) {
        if (runtime_slot *slot = pool_slot_of(h)) {
            registry_node &node = slot->node;
            node.borrows.fetch_add(1, std::memory_order_seq_cst);
            if (node.closing.load(std::memory_order_seq_cst) == 0 &&
                node.generation.load(std::memory_order_seq_cst) == generation) {
                *token = {fast, &node};
                return fast;
            }
            node.borrows.fetch_sub(1, std::memory_order_seq_cst);
        }
    }

    tamsel::spin_guard guard(registry_lock);
    registry_node *node = find_live_node(generation, settings);
    if (!node) return nullptr;
    node->borrows.fetch_add(1, std::memory_order_seq_cst);
    *token = {settings, node};
    return settings;
}

const tamsel_runtime_settings *tamsel__require_runtime_borrow(const tamsel_runtime *runtime,
                                                              tamsel_borrow_token *token,
                                                              tamsel_error *error) {
    const tamsel_runtime_settings *s = tamsel__runtime_borrow_const(runtime, token);
    if (!s) tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "tamsel runtime is required");
    return s;
}

void tamsel__runtime_release(tamsel_borrow_token *token) {
    if (!token || !token->node) return;
    static_cast<registry_node *>(token->node)->borrows.fetch_sub(1, std::memory_order_seq_cst);
    *token = {};
}

namespace tamsel {

const tamsel_runtime_settings &default_settings() {
    static const tamsel_runtime_settings *const defaults = [] {
        static tamsel_runtime_settings s{};
        s.config = tamsel_default_config();
        derive_options(&s);
        return &s;
    }();
    return *defaults;
}

namespace {

// Checks a handle under the registry lock (both the fast and the by-value path) and returns
// its settings; the caller copies what it needs before releasing the lock.
const tamsel_runtime_settings *live_settings_locked(const tamsel_runtime *h) {
    if (!h) return nullptr;
    const uint64_t generation = load_acquire(h->generation);
    const tamsel_runtime_settings *settings = load_acquire(h->settings);
    if (!settings || generation == 0) return nullptr;
    return find_live_node(generation, settings) ? settings : nullptr;
}

} // namespace

tamsel_status take_write_snapshot(const tamsel_runtime *runtime, write_snapshot *out,
                                  tamsel_error *error) {
    {
        spin_guard guard(registry_lock);
        if (const tamsel_runtime_settings *s = live_settings_locked(runtime)) {
            out->options = s->write_options;
            out->allocator = s->allocator_copy;
            out->options.allocator = s->write_options.allocator ? &out->allocator : nullptr;
            return TAMSEL_STATUS_OK;
        }
    }
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "tamsel runtime is required");
}

tamsel_status take_visit_snapshot(const tamsel_runtime *runtime, visit_snapshot *out,
                                  tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    out->limits = borrow.settings()->value_limits;
    out->allocator = inherit_allocator(&borrow.settings()->allocator_copy);
    out->utf8_check = borrow.settings()->checks_utf8();
    return TAMSEL_STATUS_OK;
}

tamsel_status settings_snapshot(tamsel_runtime_settings *dst, const tamsel_runtime_settings *src,
                                tamsel_error *error) {
    dst->owner.store(nullptr, std::memory_order_relaxed);
    for (void *&p : dst->owned)
        p = nullptr;
    dst->scratch_busy.store(0, std::memory_order_relaxed);
    if (!src) src = &default_settings();
    dst->utf8_check.store(src->checks_utf8() ? 1 : 0, std::memory_order_relaxed);

    dst->config = src->config;
    dst->allocator_copy = src->allocator_copy;
    dst->parse_options = src->parse_options;
    dst->value_limits = src->value_limits;
    dst->write_options = src->write_options;
    for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i)
        dst->spool[i] = src->spool[i];
    if (src->config.allocator) dst->config.allocator = &dst->allocator_copy;
    const tamsel_allocator *alloc = own_allocator(dst);

    void *scratch = nullptr;
    size_t scratch_size = 0;
    if (src->config.fixed_string_scratch && src->config.fixed_string_scratch_size) {
        scratch_size = clamp_to_size(src->config.fixed_string_scratch_size);
        scratch = owned_alloc(alloc, scratch_size);
        if (!scratch) {
            dst->config.fixed_string_scratch = nullptr;
            dst->config.fixed_string_scratch_size = 0;
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate runtime fixed string scratch");
        }
        std::memcpy(scratch, src->config.fixed_string_scratch, scratch_size);
        dst->owned[3] = scratch;
    }
    if (!duplicate_temp_dirs(dst, src->config)) {
        tamsel__runtime_free_owned_config(dst);
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate runtime spool temp_dir");
    }
    dst->config.fixed_string_scratch = scratch;
    dst->config.fixed_string_scratch_size = scratch_size;
    dst->parse_options.fixed_string_scratch = scratch;
    dst->parse_options.fixed_string_scratch_size = scratch_size;
    for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i)
        dst->spool[i].temp_dir = dst->config.spool_classes[i].temp_dir;
    dst->parse_options.allocator = dst->config.allocator;
    dst->write_options.allocator = dst->config.allocator;
    return TAMSEL_STATUS_OK;
}

uint32_t runtime_set_generation_counter_for_testing(uint32_t value) {
    spin_guard guard(registry_lock);
    return std::exchange(g_tamsel_runtime_handle_generation, value);
}

} // namespace tamsel

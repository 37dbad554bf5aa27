/*
 * Process-wide heap accounting for tamsel_bench_memory: this file replaces malloc and friends
 * with thin layers over glibc's own entry points that keep the bytes in use (usable sizes) and
 * their peak. It is linked only into that executable, so every library in the process (the
 * peers, libstdc++, simdjson's threads) is counted the same way.
 */
#include "heap_counter.h"

#include <malloc.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void *block);

static int64_t current_bytes;
static int64_t peak_bytes;

static void *note_alloc(void *block) {
    if (block) {
        int64_t size = (int64_t)malloc_usable_size(block);
        int64_t now = __atomic_add_fetch(&current_bytes, size, __ATOMIC_RELAXED);
        int64_t peak = __atomic_load_n(&peak_bytes, __ATOMIC_RELAXED);
        while (now > peak && !__atomic_compare_exchange_n(&peak_bytes, &peak, now, 1,
                                                          __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        }
    }
    return block;
}

static void note_free(void *block) {
    if (block) {
        __atomic_sub_fetch(&current_bytes, (int64_t)malloc_usable_size(block), __ATOMIC_RELAXED);
    }
}

void *malloc(size_t size) {
    return note_alloc(__libc_malloc(size));
}

void *calloc(size_t count, size_t size) {
    return note_alloc(__libc_calloc(count, size));
}

void free(void *block) {
    note_free(block);
    __libc_free(block);
}

void *realloc(void *block, size_t size) {
    int64_t old = block ? (int64_t)malloc_usable_size(block) : 0;
    void *moved = __libc_realloc(block, size);
    if (moved || size == 0) {
        /* The old block is gone (moved, resized in place, or freed by a size of 0). */
        __atomic_sub_fetch(&current_bytes, old, __ATOMIC_RELAXED);
        note_alloc(moved);
    }
    return moved;
}

void *memalign(size_t alignment, size_t size) {
    return note_alloc(__libc_memalign(alignment, size));
}

void *aligned_alloc(size_t alignment, size_t size) {
    return note_alloc(__libc_memalign(alignment, size));
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return 22; /* EINVAL */
    void *block = note_alloc(__libc_memalign(alignment, size));
    if (!block && size) return 12; /* ENOMEM */
    *out = block;
    return 0;
}

void *valloc(size_t size) {
    return note_alloc(__libc_memalign(4096, size));
}

void *pvalloc(size_t size) {
    return note_alloc(__libc_memalign(4096, (size + 4095) & ~4095ul));
}

int64_t heap_counter_current(void) {
    return __atomic_load_n(&current_bytes, __ATOMIC_RELAXED);
}

int64_t heap_counter_peak(void) {
    return __atomic_load_n(&peak_bytes, __ATOMIC_RELAXED);
}

void heap_counter_reset_peak(void) {
    __atomic_store_n(&peak_bytes, heap_counter_current(), __ATOMIC_RELAXED);
}

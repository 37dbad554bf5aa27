/*
 * Creates a runtime whose every allocation goes through a counting allocator, then prints
 * what the library allocated. Shows the configuration workflow: take the defaults, edit,
 * hand the record to tamsel_new, free the runtime once.
 */
#include <tamsel.h>

#include <stdio.h>
#include <stdlib.h>

/* The caller's allocator: here a thin layer over malloc that counts calls in user_data. */
static void *counting_malloc(void *user, size_t size) {
    ++*(unsigned long *)user;
    return malloc(size);
}
static void *counting_realloc(void *user, void *block, size_t size) {
    ++*(unsigned long *)user;
    return realloc(block, size);
}
static void counting_free(void *user, void *block) {
    (void)user;
    free(block);
}

static void print_stats(const char *when, const tamsel_alloc_stats *s) {
    printf("%-22s allocs %llu  reallocs %llu  frees %llu  current %llu B  peak %llu B\n", when,
           (unsigned long long)s->alloc_count, (unsigned long long)s->realloc_count,
           (unsigned long long)s->free_count, (unsigned long long)s->current_bytes,
           (unsigned long long)s->peak_bytes);
}

int main(void) {
    unsigned long calls = 0;
    tamsel_alloc_stats stats = {0, 0, 0, 0, 0};
    tamsel_allocator allocator = {counting_malloc, counting_realloc, counting_free, &calls, &stats};
    tamsel_config config = tamsel_default_config();
    tamsel_error error;
    tamsel_runtime *runtime;

    config.allocator = &allocator;
    config.max_depth = 32;
    config.spool_classes[0].temp_dir = "/tmp"; /* copied by tamsel_new */

    printf("tamsel %s\n", TAMSEL_VERSION_STRING);
    runtime = tamsel_new(&config, &error);
    if (!runtime) {
        fprintf(stderr, "tamsel_new failed: %s (%s)\n", error.message,
                tamsel_status_string(error.code));
        return 1;
    }
    print_stats("after tamsel_new:", &stats);
    runtime->methods.free(runtime); /* the same as tamsel_free(runtime) */
    print_stats("after tamsel_free:", &stats);
    printf("allocator callbacks made: %lu\n", calls);
    return stats.current_bytes == 0 ? 0 : 1;
}

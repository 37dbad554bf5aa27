/* Heap accounting of tamsel_bench_memory (see heap_counter.c). */
#ifndef TAMSEL_BENCH_HEAP_COUNTER_H
#define TAMSEL_BENCH_HEAP_COUNTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int64_t heap_counter_current(void); /* bytes in use now (usable sizes) */
int64_t heap_counter_peak(void);    /* most bytes in use since the last reset */
void heap_counter_reset_peak(void); /* restarts the peak from the current use */

#ifdef __cplusplus
}
#endif

#endif /* TAMSEL_BENCH_HEAP_COUNTER_H */

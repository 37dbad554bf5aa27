// Runs in a process of its own: the first two runtimes of a fresh process get generations
// 2 and 3 (the counter starts at 1).
#include "tamsel.h"

#include <cstdio>

int main() {
    tamsel_runtime *a = tamsel_new(nullptr, nullptr);
    tamsel_runtime *b = tamsel_new(nullptr, nullptr);
    int ok = a && b && a->generation == 2 && b->generation == 3;
    std::printf("generations: %llu %llu\n", a ? (unsigned long long)a->generation : 0ull,
                b ? (unsigned long long)b->generation : 0ull);
    tamsel_free(a);
    tamsel_free(b);
    return ok ? 0 : 1;
}

// The runtime's method table. Each slot forwards to the public operation of the same name,
// taking the runtime first; slots of operations not provided yet stay NULL.
#include "core/internal.hpp"

#include <cstring>

void tamsel__fill_runtime_methods(tamsel_runtime_methods *m) {
    std::memset(m, 0, sizeof *m);
    // The spooled initialisers already take the runtime first: the slots are the functions.
    m->spooled_init = tamsel_spooled_init;
    m->spooled_init_class = tamsel_spooled_init_class;
    m->free = tamsel_free;
}

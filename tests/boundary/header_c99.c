/* The public header alone, compiled as strict C99. Uses a few types so that they are checked. */
#include "tamsel.h"

int tamsel_header_c99_check(void);

int tamsel_header_c99_check(void) {
    tamsel_error error;
    tamsel_config config = tamsel_default_config();
    tamsel_runtime *runtime;
    tamsel_error_init(&error);
    runtime = tamsel_new(&config, &error);
    if (runtime) runtime->methods.free(runtime);
    return (int)error.code + (int)sizeof(tamsel_alloc_stats) + TAMSEL_VERSION;
}

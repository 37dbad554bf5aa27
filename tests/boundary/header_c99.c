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

int tamsel_header_c99_io_check(void);

int tamsel_header_c99_io_check(void) {
    tamsel_spooled spooled;
    tamsel_source source;
    tamsel_owned_buffer buffer = tamsel_default_owned_buffer();
    tamsel_read_result result;
    tamsel_reader reader = tamsel_spooled_read;
    tamsel_sink sink = tamsel_owned_buffer_sink;
    tamsel_spooled_init_with_allocator(&spooled, NULL, NULL);
    tamsel_source_init(&source);
    (void)spooled.append(&spooled, "x", 1, NULL);
    result = reader(&spooled, &buffer, 0);
    (void)source.write_to_sink(&source, sink, &buffer, NULL);
    tamsel_source_cleanup(&source);
    tamsel_spooled_cleanup(&spooled);
    tamsel_owned_buffer_free(&buffer);
    return (int)result.bytes + TAMSEL_READER_MAX_EMPTY_READS;
}

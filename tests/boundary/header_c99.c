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

/* A map declared one field per line, nested, with another key and a presence flag. */
struct boundary_inner {
    double x;
};
struct boundary_record {
    int64_t id;
    char code[4];
    char *name;
    int has_n;
    uint64_t n;
    struct boundary_inner inner;
    tamsel_object_array inners;
};
static const tamsel_field boundary_inner_fields[] = {
    TAMSEL_MEMBER_F64(struct boundary_inner, x, 0)};
TAMSEL_DEFINE_MAP(boundary_inner_map, struct boundary_inner, boundary_inner_fields);
static const tamsel_field boundary_fields[] = {
    TAMSEL_MEMBER_I64(struct boundary_record, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_FIXED_STRING(struct boundary_record, code, TAMSEL_OVERFLOW_FAIL, 0),
    TAMSEL_MEMBER_AS(STRING, "full-name", struct boundary_record, name, 0),
    TAMSEL_MEMBER_U64_PRESENCE(struct boundary_record, n, has_n, 0),
    TAMSEL_MEMBER_OBJECT(struct boundary_record, inner, &boundary_inner_map, 0),
    TAMSEL_MEMBER_OBJECT_ARRAY(struct boundary_record, inners, struct boundary_inner,
                               &boundary_inner_map, 0),
};
TAMSEL_DEFINE_MAP(boundary_map, struct boundary_record, boundary_fields);

int tamsel_header_c99_map_check(void);

int tamsel_header_c99_map_check(void) {
    return (int)boundary_map.field_count + (int)boundary_fields[1].capacity;
}

/*
 * Feeds bad inputs to the library and prints how each is reported: a syntax error, a value of
 * the wrong type, a missing required member, a string too long for its fixed capacity, a file
 * that does not exist, a bad item in the middle of an array, and a writer asked for a value
 * without its key. Each failure is one line: what was fed, then the error, with the line and
 * column of the offending byte when it lies in the input.
 */
#include <tamsel.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

struct user {
    int64_t id;
    char country[3];
};

static const tamsel_field user_fields[] = {
    TAMSEL_MEMBER_I64(struct user, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_FIXED_STRING(struct user, country, TAMSEL_OVERFLOW_FAIL, 0),
};
TAMSEL_DEFINE_MAP(user_map, struct user, user_fields);

static const char *const bad[][2] = {
    {"syntax error", "{\"id\": 7,\n \"name\": \"Ada\" \"country\": \"UK\"}"},
    {"wrong type", "{\"id\": \"7\"}"},
    {"missing member", "{\"name\": \"Ada\"}"},
    {"too long", "{\"id\": 7, \"country\": \"GBR\"}"},
};
static const char items[] = "[{\"id\": 1}, {\"id\": 2},\n {\"id\": 3,}]";

static void report(const char *what, const tamsel_error *e) {
    if (e->line)
        printf("%-18s %zu:%zu: %s\n", what, e->line, e->column, e->message);
    else
        printf("%-18s %s\n", what, e->message);
}

/* The writer's output is not needed here. */
static tamsel_status discard(void *user, const void *data, size_t len, tamsel_error *error) {
    (void)user, (void)data, (void)len, (void)error;
    return TAMSEL_STATUS_OK;
}

int main(void) {
    tamsel_error error;
    tamsel_runtime *rt = tamsel_new(NULL, &error);
    tamsel_buffer_reader reader;
    tamsel_array_stream *stream;
    tamsel_writer w;
    struct user u;
    size_t i;

    if (!rt) return 1;
    for (i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
        if (tamsel_parse_cstr(rt, &user_map, &u, bad[i][1], &error) != TAMSEL_STATUS_OK)
            report(bad[i][0], &error);
        tamsel_cleanup(&user_map, &u);
    }
    if (tamsel_parse_path(rt, &user_map, &u, "no-such-file.json", &error) != TAMSEL_STATUS_OK)
        report("missing file", &error);
    tamsel_cleanup(&user_map, &u);

    tamsel_buffer_reader_init(&reader, items, strlen(items));
    stream = tamsel_array_stream_open_reader(rt, NULL, tamsel_buffer_reader_read, &reader, &error);
    if (stream) {
        tamsel_init(rt, &user_map, &u);
        while (tamsel_array_stream_next(stream, &user_map, &u, &error) == TAMSEL_STREAM_ITEM)
            printf("%-18s id %lld\n", "item", (long long)u.id);
        if (error.code != TAMSEL_STATUS_OK) report("bad item", &error);
        tamsel_cleanup(&user_map, &u);
        tamsel_array_stream_close(stream);
    }

    if (tamsel_writer_init_sink(rt, &w, discard, NULL, &error) == TAMSEL_STATUS_OK) {
        tamsel_writer_begin_object(&w, NULL);
        if (tamsel_writer_i64(&w, 1, &error) != TAMSEL_STATUS_OK)
            report("value without key", &error);
        tamsel_writer_cleanup(&w);
    }
    tamsel_free(rt);
    return 0;
}

/*
 * Reads a JSON array of GitHub API events one item at a time with an array stream. Each event
 * is parsed into a C record: plain string members, a nested object (`actor`) mapped into a
 * nested struct, and the `payload` member, whose shape differs from one event type to the
 * next, kept as raw compact JSON in a JSON value holder. Memory is one event at a time, so the
 * array may be of any length; the peak heap the library used is printed at the end.
 *
 *   github_events [FILE]     FILE is a JSON array of events (standard input when absent)
 */
#include <tamsel.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct actor {
    int64_t id;
    char *login;
};

struct event {
    char *id; /* GitHub sends event ids as strings */
    char *type;
    char *created_at;
    struct actor actor;
    tamsel_json_value payload; /* the member's JSON text, whatever its shape */
};

static const tamsel_field actor_fields[] = {
    TAMSEL_MEMBER_I64(struct actor, id, 0),
    TAMSEL_MEMBER_STRING(struct actor, login, 0),
};
TAMSEL_DEFINE_MAP(actor_map, struct actor, actor_fields);

/* Members the map does not name (repo, public, org) are skipped. TAMSEL_FIELD_CAPTURE puts the
   payload holder in capture mode each time the record is prepared for an item, so the parser
   stores the member's compact text in it. */
static const tamsel_field event_fields[] = {
    TAMSEL_MEMBER_STRING(struct event, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(struct event, type, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(struct event, created_at, 0),
    TAMSEL_MEMBER_OBJECT(struct event, actor, &actor_map, 0),
    TAMSEL_MEMBER_JSON_VALUE(struct event, payload, TAMSEL_FIELD_CAPTURE),
};
TAMSEL_DEFINE_MAP(event_map, struct event, event_fields);

/* The allocator every library allocation goes through; the library keeps its statistics. */
static void *plain_malloc(void *user, size_t size) {
    (void)user;
    return malloc(size);
}
static void *plain_realloc(void *user, void *block, size_t size) {
    (void)user;
    return realloc(block, size);
}
static void plain_free(void *user, void *block) {
    (void)user;
    free(block);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "-";
    tamsel_alloc_stats stats = {0, 0, 0, 0, 0};
    tamsel_allocator allocator = {plain_malloc, plain_realloc, plain_free, NULL, &stats};
    tamsel_config config = tamsel_default_config();
    tamsel_error error;
    tamsel_runtime *rt;
    tamsel_array_stream *stream;
    tamsel_stream_result r;
    struct event ev;
    unsigned long events = 0, pushes = 0;
    unsigned long long payload_bytes = 0;

    config.allocator = &allocator;
    rt = tamsel_new(&config, &error);
    if (!rt) {
        fprintf(stderr, "tamsel_new: %s\n", error.message);
        return 1;
    }
    /* Path NULL: the array is the root value. */
    stream = argc > 1 ? tamsel_array_stream_open_path(rt, NULL, path, &error)
                      : tamsel_array_stream_open_filep(rt, NULL, stdin, &error);
    if (!stream) {
        fprintf(stderr, "%s: %s\n", path, error.message);
        tamsel_free(rt);
        return 1;
    }
    tamsel_init(rt, &event_map, &ev);

    /* The same record each time: the stream releases the previous event's values first. */
    while ((r = tamsel_array_stream_next(stream, &event_map, &ev, &error)) == TAMSEL_STREAM_ITEM) {
        ++events;
        pushes += strcmp(ev.type, "PushEvent") == 0;
        payload_bytes += ev.payload.len;
        printf("%-18s %-14s %-20s payload %5llu B\n", ev.type,
               ev.actor.login ? ev.actor.login : "-", ev.created_at ? ev.created_at : "-",
               (unsigned long long)ev.payload.len);
    }
    if (r != TAMSEL_STREAM_END)
        fprintf(stderr, "%s:%zu:%zu: %s\n", path, error.line, error.column, error.message);

    tamsel_cleanup(&event_map, &ev);
    tamsel_array_stream_close(stream);
    tamsel_free(rt);
    printf("%lu events, %lu of them PushEvent; %llu bytes of payload JSON captured\n", events,
           pushes, payload_bytes);
    printf("peak heap of the library: %llu bytes (%llu still held)\n",
           (unsigned long long)stats.peak_bytes, (unsigned long long)stats.current_bytes);
    return r == TAMSEL_STREAM_END && stats.current_bytes == 0 ? 0 : 1;
}

/* Reads an LLM chat completion stream (Server-Sent Events) as it arrives: each `delta` event's
 * JSON data is parsed straight into a C record and its text printed at once, the other events
 * (the start, the token usage) come as plain events, and the stream ends at its
 * "data: [DONE]" without waiting for the connection to close.
 *
 *   chat_stream [FILE]    FILE: a recorded stream (examples/data/chat_stream.sse); none: stdin
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "tamsel.h"

typedef struct delta {
    int64_t index;
    char *text; /* allocated by the library; replaced by the next event's */
} delta;

static const tamsel_field delta_fields[] = {
    TAMSEL_MEMBER_I64(delta, index, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(delta, text, 0),
};
TAMSEL_DEFINE_MAP(delta_map, delta, delta_fields);

typedef struct chat {
    long deltas;
    int in_usage;    /* the plain event being reported is the `usage` event */
    char usage[128]; /* its data, line breaks as spaces, cut to fit */
    size_t usage_len;
} chat;

/* One parsed delta: its text goes out at once, as a chat client shows it. */
static int on_delta(void *user, const tamsel_sse_event *event, void *record, tamsel_error *error) {
    const delta *d = (const delta *)record;
    (void)event;
    (void)error;
    ++((chat *)user)->deltas;
    fputs(d->text ? d->text : "", stdout);
    fflush(stdout);
    return 0;
}

/* Every event the filter leaves out, and the [DONE] event, arrive here as plain events. */
static int on_other_begin(void *user, const tamsel_sse_event *event, tamsel_error *error) {
    (void)error;
    ((chat *)user)->in_usage = strcmp(event->event, "usage") == 0;
    return 0;
}

static int on_other_data(void *user, const char *bytes, size_t length, tamsel_error *error) {
    chat *c = (chat *)user;
    size_t i;
    (void)error;
    for (i = 0; c->in_usage && i < length && c->usage_len + 1 < sizeof c->usage; ++i)
        c->usage[c->usage_len++] = bytes[i] == '\n' ? ' ' : bytes[i];
    c->usage[c->usage_len] = '\0';
    return 0;
}

int main(int argc, char **argv) {
    static const char *const names[] = {"delta"};
    const tamsel_sse_event_filter only_deltas = {names, 1};
    const tamsel_sse_callbacks other = {on_other_begin, on_other_data, NULL};
    chat c;
    tamsel_sse_json_handlers handlers;
    tamsel_error error;
    tamsel_runtime *runtime;
    tamsel_sse *sse;
    FILE *in = argc > 1 ? fopen(argv[1], "rb") : stdin;
    delta record;
    char chunk[7];
    size_t n;
    int status = 0;

    if (!in) {
        perror(argv[1]);
        return 2;
    }
    memset(&c, 0, sizeof c);
    memset(&handlers, 0, sizeof handlers);
    handlers.callback = on_delta;
    handlers.other = &other;
    handlers.end_marker = "[DONE]";
    handlers.user = &c;
    runtime = tamsel_new(NULL, &error);
    sse = runtime ? tamsel_sse_open(NULL, &error) : NULL;
    if (!sse) {
        fprintf(stderr, "%s\n", error.message);
        tamsel_free(runtime);
        if (in != stdin) fclose(in);
        return 1;
    }
    tamsel_init(runtime, &delta_map, &record);
    /* A connection hands over a few bytes at a time, cut anywhere: seven here. Reading stops
       at the end marker, as a client would close the connection there. */
    while (!tamsel_sse_ended(sse) && (n = fread(chunk, 1, sizeof chunk, in)) > 0) {
        tamsel_status st = tamsel_sse_push_json_ex(runtime, sse, &delta_map, &record, chunk, n,
                                                   &only_deltas, &handlers, &error);
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
            /* That event is dropped; the next one is read as usual. */
            fprintf(stderr, "\n%zu:%zu: %s\n", error.line, error.column, error.message);
            status = 1;
        }
    }
    if (!tamsel_sse_ended(sse)) {
        if (tamsel_sse_finish_json_ex(runtime, sse, &delta_map, &record, &only_deltas, &handlers,
                                      &error) != TAMSEL_STATUS_OK)
            fprintf(stderr, "\n%zu:%zu: %s\n", error.line, error.column, error.message);
        fprintf(stderr, "\nthe stream was cut off before its [DONE]\n");
        status = 1;
    }
    printf("\n%ld deltas; usage %s; %s\n", c.deltas, c.usage_len ? c.usage : "none",
           tamsel_sse_ended(sse) == TAMSEL_SSE_ENDED_AT_MARKER ? "ended at [DONE]" : "no [DONE]");
    tamsel_cleanup(&delta_map, &record);
    tamsel_sse_close(sse);
    tamsel_free(runtime);
    if (in != stdin) fclose(in);
    return status;
}

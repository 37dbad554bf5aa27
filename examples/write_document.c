/*
 * Writes one JSON document to standard output with the streaming writer: a chat request with
 * objects, arrays, numbers, booleans and null, a JSON text spliced in from a JSON value holder,
 * and a last message that is a long log excerpt written as one string in chunks, each line as
 * it is produced, so the text is never held whole. The writer inserts the commas, escapes the
 * strings and refuses anything that would make the document invalid; every call's status is
 * checked.
 *
 *   write_document [LINES]     LINES lines of log in the long string (default 2000)
 */
#include <tamsel.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The writer's sink: every piece goes to a FILE*, whose own buffering makes the writer's small
   pieces cheap. */
static tamsel_status file_sink(void *user, const void *data, size_t len, tamsel_error *error) {
    if (fwrite(data, 1, len, (FILE *)user) == len) return TAMSEL_STATUS_OK;
    if (error) { /* the record handed over: the caller's, or w.error when it passed NULL */
        error->code = TAMSEL_STATUS_IO_ERROR;
        error->system_errno = errno;
        snprintf(error->message, sizeof error->message, "write failed: %s", strerror(errno));
    }
    return TAMSEL_STATUS_IO_ERROR;
}

static tamsel_status key(tamsel_writer *w, const char *name) {
    return tamsel_writer_key(w, name, strlen(name), NULL);
}
static tamsel_status text(tamsel_writer *w, const char *s) {
    return tamsel_writer_string(w, s, strlen(s), NULL);
}

/* Line `i` of a made-up server log, with the quotes, tab and line feed the writer escapes. */
static size_t log_line(char *buf, size_t size, long i) {
    int n = snprintf(buf, size, "07:58:%02ld\tworker-%ld: \"GET /items/%ld\" %ld ms\n", i % 60,
                     i % 4, i * 7, 20 + i * 37 % 900);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

/* Every call below goes through TRY: the first failure skips to the end. A NULL error record
   makes the writer report into its own, w.error. */
#define TRY(call)                                                                                  \
    do {                                                                                           \
        if ((st = (call)) != TAMSEL_STATUS_OK) goto done;                                          \
    } while (0)

/* JSON text from elsewhere (a file, a configuration): a JSON value holder checks it once, keeps
   it compactly and splices it into the document as one value. */
static const char response_format[] = "{ \"type\": \"json_object\",\n"
                                      "  \"schema\": { \"slow_requests\": [\"string\"] } }";

int main(int argc, char **argv) {
    const long lines = argc > 1 ? atol(argv[1]) : 2000;
    tamsel_error error;
    tamsel_runtime *rt = tamsel_new(NULL, &error);
    tamsel_json_value format;
    tamsel_writer w;
    tamsel_status st;
    char line[128];
    long i;

    if (!rt) {
        fprintf(stderr, "tamsel_new: %s\n", error.message);
        return 1;
    }
    tamsel_json_value_init(rt, &format);
    st = tamsel_json_value_set_buffer(&format, response_format, strlen(response_format), &error);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_init_sink(rt, &w, file_sink, stdout, &error);
    if (st != TAMSEL_STATUS_OK) {
        fprintf(stderr, "write_document: %s\n", error.message);
        tamsel_json_value_cleanup(&format);
        tamsel_free(rt);
        return 1;
    }

    TRY(tamsel_writer_begin_object(&w, NULL));
    TRY(key(&w, "model"));
    TRY(text(&w, "tamsel-demo-1"));
    TRY(key(&w, "stream"));
    TRY(tamsel_writer_bool(&w, 1, NULL));
    TRY(key(&w, "temperature"));
    TRY(tamsel_writer_f64(&w, 0.5, NULL));
    TRY(key(&w, "top_p")); /* decimal text written as it is, once checked to be a JSON number */
    TRY(tamsel_writer_number_text(&w, "0.95", 4, NULL));
    TRY(key(&w, "max_tokens"));
    TRY(tamsel_writer_i64(&w, 512, NULL));
    TRY(key(&w, "seed"));
    TRY(tamsel_writer_u64(&w, UINT64_MAX, NULL));
    TRY(key(&w, "stop"));
    TRY(tamsel_writer_null(&w, NULL));
    TRY(key(&w, "response_format"));
    TRY(tamsel_writer_json_value(&w, &format, NULL));

    TRY(key(&w, "messages"));
    TRY(tamsel_writer_begin_array(&w, NULL));
    TRY(tamsel_writer_begin_object(&w, NULL));
    TRY(key(&w, "role"));
    TRY(text(&w, "system"));
    TRY(key(&w, "content"));
    TRY(text(&w, "Summarise the slow requests in this server log."));
    TRY(tamsel_writer_end_object(&w, NULL));
    TRY(tamsel_writer_begin_object(&w, NULL));
    TRY(key(&w, "role"));
    TRY(text(&w, "user"));
    TRY(key(&w, "content"));
    /* The long string: opened, fed one line at a time (quotes, tabs and line feeds are escaped
       on the way), closed. Nothing else may be written while it is open. */
    TRY(tamsel_writer_string_begin(&w, NULL));
    for (i = 1; i <= lines; ++i) {
        size_t n = log_line(line, sizeof line, i);
        TRY(tamsel_writer_string_chunk(&w, line, n, NULL));
    }
    TRY(tamsel_writer_string_end(&w, NULL));
    TRY(tamsel_writer_end_object(&w, NULL));
    TRY(tamsel_writer_end_array(&w, NULL));

    TRY(key(&w, "metadata"));
    TRY(tamsel_writer_begin_object(&w, NULL));
    TRY(key(&w, "lines"));
    TRY(tamsel_writer_i64(&w, lines, NULL));
    TRY(key(&w, "tags"));
    TRY(tamsel_writer_begin_array(&w, NULL));
    TRY(text(&w, "logs"));
    TRY(text(&w, "latency"));
    TRY(tamsel_writer_end_array(&w, NULL));
    TRY(tamsel_writer_end_object(&w, NULL));
    TRY(tamsel_writer_end_object(&w, NULL));
    /* Checks the document is complete: one root value, nothing left open. */
    TRY(tamsel_writer_finish(&w, NULL));

done:
    if (st != TAMSEL_STATUS_OK)
        fprintf(stderr, "write_document: %s (%s)\n", w.error.message, tamsel_status_string(st));
    tamsel_writer_cleanup(&w);
    tamsel_json_value_cleanup(&format);
    tamsel_free(rt);
    if (st == TAMSEL_STATUS_OK && (putchar('\n') == EOF || fflush(stdout) != 0)) {
        perror("write_document: stdout");
        return 1;
    }
    return st == TAMSEL_STATUS_OK ? 0 : 1;
}

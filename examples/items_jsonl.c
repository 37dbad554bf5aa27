/*
 * Writes the items of the array at PATH of a JSON document as JSON Lines, one compact item per
 * line, holding one item in memory at a time: what `tamsel items --path PATH` does.
 *
 *   items_jsonl PATH [FILE]    PATH: members and indices from the root ("data.items"), ""
 *                              for the root array; FILE: standard input when absent
 */
#include <tamsel.h>

#include <stdio.h>

int main(int argc, char **argv) {
    tamsel_error error;
    tamsel_runtime *rt;
    tamsel_array_stream *stream;
    tamsel_json_value item;
    tamsel_stream_result r;

    if (argc < 2) {
        fprintf(stderr, "usage: items_jsonl PATH [FILE]\n");
        return 2;
    }
    rt = tamsel_new(NULL, &error);
    if (!rt) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    stream = argc > 2 ? tamsel_array_stream_open_selector_path(rt, argv[1], argv[2], &error)
                      : tamsel_array_stream_open_selector_filep(rt, argv[1], stdin, &error);
    if (!stream) {
        fprintf(stderr, "%s\n", error.message);
        tamsel_free(rt);
        return 1;
    }
    tamsel_json_value_init(rt, &item);
    while ((r = tamsel_array_stream_next_value(stream, &item, &error)) == TAMSEL_STREAM_ITEM) {
        fwrite(item.data, 1, (size_t)item.len, stdout);
        putchar('\n');
    }
    if (r != TAMSEL_STREAM_END)
        fprintf(stderr, "%zu:%zu: %s\n", error.line, error.column, error.message);
    tamsel_json_value_cleanup(&item);
    tamsel_array_stream_close(stream);
    tamsel_free(rt);
    return r == TAMSEL_STREAM_END ? 0 : 1;
}

// tamsel items: the items of the root array, or of the array at a path of members and elements
// (the rewrite's selector syntax), as JSON Lines (one compact item per line), copied from the
// input by the library's compact items doors. No item is held, whatever its size or depth.
#include "tool.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>

namespace tool {
namespace {

const char items_help[] =
    "Usage: tamsel items [--path PATH] [--compact] [OPTIONS] [FILE]\n"
    "\n"
    "Writes each item of the input's root array on its own line, compact (JSON Lines),\n"
    "copying it from the input without holding it, whatever the size of the array or its\n"
    "items. On an error the items before it have been written and FILE:LINE:COLUMN: message\n"
    "is printed on stderr.\n"
    "\n"
    "  --path PATH         the array is the value at PATH: member names (or array indices)\n"
    "                      separated by dots from the root, 'data.items' or 'results.0.rows';\n"
    "                      a backslash makes the next character literal ('a\\.b' is the\n"
    "                      member named a.b)\n"
    "  --compact           compact items (the default and only layout)\n"
    "  --max-depth=N       most containers open at once inside an item (default 10000)\n"
    "  --max-string=BYTES  longest string or key accepted (default unlimited)\n"
    "  --no-utf8-check     accept strings and keys that are not well-formed UTF-8 (checked\n"
    "                      by default: RFC 8259 requires UTF-8 between systems)\n"
    "  --help              show this help\n"
    "\n"
    "A key repeated in one object is an error. FILE '-' or no FILE reads standard input.\n"
    "Exit status: 0 ok, 1 invalid input, 2 usage error or a file that could not be read or\n"
    "written.\n";

output stdout_buffer;

// Failures that lie in the input: reported with their position, exit 1.
bool input_error(tamsel_status st) {
    return st == TAMSEL_STATUS_INVALID_JSON || st == TAMSEL_STATUS_TYPE_MISMATCH ||
           st == TAMSEL_STATUS_MISSING_REQUIRED_FIELD || st == TAMSEL_STATUS_DUPLICATE_FIELD ||
           st == TAMSEL_STATUS_OVERFLOW;
}

int write_items(tamsel_runtime *runtime, const char *path, input &in, output &out,
                const limits &l) {
    // Each item is copied from the input compactly, its escapes as written, and ended by a
    // line feed: no item is held in memory, whatever its size or depth.
    tamsel_error error;
    const tamsel_status st = tamsel_compact_items_reader(
        runtime, path, input::reader, &in, output::sink, &out, TAMSEL_COMPACT_KEEP_ESCAPES, &error);
    if (st == TAMSEL_STATUS_INVALID_ARGUMENT) {
        std::fprintf(stderr, "tamsel items: %s\n", error.message);
        return exit_usage;
    }
    const bool flushed = out.flush();
    if (st != TAMSEL_STATUS_OK && !out.failed()) {
        if (!in.failed() && input_error(st)) {
            if (!path && in.first_content() == '{' && st == TAMSEL_STATUS_TYPE_MISMATCH) {
                // The common mistake: the array is a member of the root object.
                in.report_error(error.line, error.column,
                                "the root is an object, not an array: name the array with "
                                "--path (--path items, --path data.items)");
                return exit_invalid;
            }
            in.report_error(error, l, error.line);
            return exit_invalid;
        }
        return report_failure(in, &out, st, error, l);
    }
    in.finish_progress();
    if (!flushed || st != TAMSEL_STATUS_OK) {
        out.report_failure();
        return exit_usage;
    }
    return exit_ok;
}

} // namespace

int cmd_items(int argc, char **argv) {
    static const option options[] = {{"path", required_argument, nullptr, 'p'},
                                     {"compact", no_argument, nullptr, 'c'},
                                     TOOL_COMMON_OPTIONS,
                                     TOOL_UTF8_OPTION,
                                     {nullptr, 0, nullptr, 0}};
    limits l;
    l.utf8_check = true;
    const char *path = nullptr;
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        if (opt == 'p') {
            path = optarg;
        } else if (opt != 'c') {
            int code = common_option("items", items_help, opt, argc, argv, &l);
            if (code >= 0) return code;
        }
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "tamsel items: one FILE at most\nTry 'tamsel items --help'.\n");
        return exit_usage;
    }
    input in;
    if (!in.open(optind < argc ? argv[optind] : nullptr)) return exit_usage;
    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;
    const int code = write_items(runtime, path, in, stdout_buffer, l);
    tamsel_free(runtime);
    return code;
}

} // namespace tool

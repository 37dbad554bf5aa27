// tamsel stats: what one JSON value is made of, counted by the visitor in one pass.
#include "tool.hpp"

#include <getopt.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tool {
namespace {

const char stats_help[] =
    "Usage: tamsel stats [OPTIONS] [FILE]\n"
    "\n"
    "Reads one JSON value in one pass and prints, one `name: value` per line, the number of\n"
    "objects, arrays, keys, strings, numbers, true, false and null literals, the deepest\n"
    "nesting (containers open at once), the longest string value in decoded bytes and the\n"
    "bytes read.\n"
    "\n"
    "  --max-depth=N       most containers open at once (default 10000)\n"
    "  --max-string=BYTES  longest string or key accepted (default unlimited)\n"
    "  --help              show this help\n"
    "\n"
    "FILE '-' or no FILE reads standard input. Exit status: 0 ok, 1 invalid input, 2 usage\n"
    "error or a file that could not be read.\n";

struct counts {
    uint64_t objects = 0, arrays = 0, keys = 0, strings = 0, numbers = 0;
    uint64_t trues = 0, falses = 0, nulls = 0;
    uint64_t depth = 0, max_depth = 0;
    uint64_t string_bytes = 0, longest_string = 0;

    static counts &of(void *user) { return *static_cast<counts *>(user); }

    void open() {
        if (++depth > max_depth) max_depth = depth;
    }

    static tamsel_value_visitor visitor() {
        tamsel_value_visitor v = tamsel_default_value_visitor();
        v.object_begin = [](void *u, tamsel_error *) {
            ++of(u).objects;
            of(u).open();
            return TAMSEL_STATUS_OK;
        };
        v.array_begin = [](void *u, tamsel_error *) {
            ++of(u).arrays;
            of(u).open();
            return TAMSEL_STATUS_OK;
        };
        v.object_end = v.array_end = [](void *u, tamsel_error *) {
            --of(u).depth;
            return TAMSEL_STATUS_OK;
        };
        v.key_begin = [](void *u, tamsel_error *) {
            ++of(u).keys;
            return TAMSEL_STATUS_OK;
        };
        v.string_begin = [](void *u, tamsel_error *) {
            ++of(u).strings;
            of(u).string_bytes = 0;
            return TAMSEL_STATUS_OK;
        };
        v.string_chunk = [](void *u, const char *, size_t len, tamsel_error *) {
            of(u).string_bytes += len;
            return TAMSEL_STATUS_OK;
        };
        v.string_end = [](void *u, tamsel_error *) {
            counts &c = of(u);
            if (c.string_bytes > c.longest_string) c.longest_string = c.string_bytes;
            return TAMSEL_STATUS_OK;
        };
        v.number_begin = [](void *u, tamsel_error *) {
            ++of(u).numbers;
            return TAMSEL_STATUS_OK;
        };
        v.boolean = [](void *u, int value, tamsel_error *) {
            ++(value ? of(u).trues : of(u).falses);
            return TAMSEL_STATUS_OK;
        };
        v.null = [](void *u, tamsel_error *) {
            ++of(u).nulls;
            return TAMSEL_STATUS_OK;
        };
        return v;
    }
};

} // namespace

int cmd_stats(int argc, char **argv) {
    static const option options[] = {TOOL_COMMON_OPTIONS, {nullptr, 0, nullptr, 0}};
    limits l;
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        int code = common_option("stats", stats_help, opt, argc, argv, &l);
        if (code >= 0) return code;
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "tamsel stats: one FILE at most\nTry 'tamsel stats --help'.\n");
        return exit_usage;
    }
    input in;
    if (!in.open(optind < argc ? argv[optind] : nullptr)) return exit_usage;
    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;
    counts c;
    const tamsel_value_visitor v = counts::visitor();
    tamsel_error error;
    tamsel_status st = tamsel_visit_value_reader(runtime, input::reader, &in, &v, &c, &error);
    tamsel_free(runtime);
    if (st != TAMSEL_STATUS_OK) return report_failure(in, nullptr, st, error, l);
    in.finish_progress();
    std::printf("objects: %" PRIu64 "\n"
                "arrays: %" PRIu64 "\n"
                "keys: %" PRIu64 "\n"
                "strings: %" PRIu64 "\n"
                "numbers: %" PRIu64 "\n"
                "true: %" PRIu64 "\n"
                "false: %" PRIu64 "\n"
                "null: %" PRIu64 "\n"
                "max_depth: %" PRIu64 "\n"
                "longest_string: %" PRIu64 "\n"
                "bytes: %" PRIu64 "\n",
                c.objects, c.arrays, c.keys, c.strings, c.numbers, c.trues, c.falses, c.nulls,
                c.max_depth, c.longest_string, in.bytes());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "tamsel: <stdout>: %s\n", std::strerror(errno));
        return exit_usage;
    }
    return exit_ok;
}

} // namespace tool

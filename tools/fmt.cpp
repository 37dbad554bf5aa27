// tamsel fmt: re-emits one JSON value, pretty or compact. The library checks the value and copies
// it compactly in spans of the input (strings in the text rules' escaping, numbers as they stand);
// --pretty lays that text out on its way to stdout (reindent.cpp).
#include "tool.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>

namespace tool {
namespace {

const char fmt_help[] =
    "Usage: tamsel fmt [--compact | --pretty[=INDENT]] [OPTIONS] [FILE]\n"
    "\n"
    "Re-emits one JSON value on stdout while reading it, in bounded memory: strings of any\n"
    "length are streamed. Numbers are written exactly as they stand in the input.\n"
    "\n"
    "  --compact           no whitespace at all\n"
    "  --pretty[=INDENT]   one member per line, INDENT spaces per level (1 to 16; the\n"
    "                      default, with INDENT 2); INDENT joined with '=' (--pretty=4)\n"
    "  --max-depth=N       most containers open at once (default 10000)\n"
    "  --max-string=BYTES  longest string or key accepted (default unlimited)\n"
    "  --no-utf8-check     accept strings and keys that are not well-formed UTF-8 (checked\n"
    "                      by default: RFC 8259 requires UTF-8 between systems)\n"
    "  --help              show this help\n"
    "\n"
    "FILE '-' or no FILE reads standard input. On invalid input the error is printed as\n"
    "FILE:LINE:COLUMN: message; what was written before it stays. Exit status: 0 ok,\n"
    "1 invalid input, 2 usage error or a file that could not be read or written.\n";

constexpr uint64_t max_indent = 16;

output stdout_buffer;

} // namespace

int cmd_fmt(int argc, char **argv) {
    static const option options[] = {{"compact", no_argument, nullptr, 'c'},
                                     {"pretty", optional_argument, nullptr, 'p'},
                                     TOOL_COMMON_OPTIONS,
                                     TOOL_UTF8_OPTION,
                                     {nullptr, 0, nullptr, 0}};
    limits l;
    l.utf8_check = true;
    uint64_t indent = 2;
    const char *after_pretty = nullptr; // what followed a bare --pretty
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        if (opt == 'c') {
            indent = 0;
        } else if (opt == 'p') {
            indent = 2;
            after_pretty = !optarg && optind < argc ? argv[optind] : nullptr;
            if (optarg && (!parse_count(optarg, &indent) || indent == 0 || indent > max_indent)) {
                std::fprintf(stderr,
                             "tamsel fmt: --pretty takes an indentation of 1 to 16, not "
                             "'%s'\n",
                             optarg);
                return exit_usage;
            }
        } else {
            int code = common_option("fmt", fmt_help, opt, argc, argv, &l);
            if (code >= 0) return code;
        }
    }
    if (misplaced_pretty_value("fmt", after_pretty, argc, argv)) return exit_usage;
    if (argc - optind > 1) {
        std::fprintf(stderr, "tamsel fmt: one FILE at most\nTry 'tamsel fmt --help'.\n");
        return exit_usage;
    }
    input in;
    if (!in.open(optind < argc ? argv[optind] : nullptr)) return exit_usage;
    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;

    // The library copies the document compactly in spans of the input; --pretty lays the
    // compact text out on its way to the output.
    output &out = stdout_buffer;
    reindent laid_out(out, static_cast<unsigned>(indent));
    tamsel_error error;
    tamsel_status st = indent ? tamsel_compact_value_reader(runtime, input::reader, &in,
                                                            reindent::sink, &laid_out, 0, &error)
                              : tamsel_compact_value_reader(runtime, input::reader, &in,
                                                            output::sink, &out, 0, &error);
    tamsel_free(runtime);
    if (st == TAMSEL_STATUS_OK) (void)out.put("\n", 1);
    const bool flushed = out.flush();
    if (st != TAMSEL_STATUS_OK) return report_failure(in, &out, st, error, l);
    in.finish_progress();
    if (!flushed) {
        out.report_failure();
        return exit_usage;
    }
    return exit_ok;
}

} // namespace tool

// tamsel: validate, format, measure and split JSON from the command line, in bounded memory.
#include "tool.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char tool_help[] = "Usage: tamsel COMMAND [OPTIONS] [FILE...]\n"
                         "\n"
                         "Reads JSON in bounded memory, whatever the size of the input.\n"
                         "\n"
                         "Commands:\n"
                         "  validate  check that each input is one JSON value (or JSON Lines)\n"
                         "  fmt       re-emit one JSON value, pretty (default) or compact\n"
                         "  stats     count the objects, arrays, keys, strings, numbers and\n"
                         "            literals of one JSON value\n"
                         "  items     write the items of a JSON array as JSON Lines\n"
                         "  sse       write the events of a Server-Sent Events stream as JSON\n"
                         "            Lines\n"
                         "  rewrite   drop or set one value, or filter the items of an array,\n"
                         "            streaming the rest of the document through\n"
                         "\n"
                         "Options:\n"
                         "  --help     show this help (or `tamsel COMMAND --help`)\n"
                         "  --version  show the version of tamsel\n"
                         "\n"
                         "FILE '-' or no FILE reads standard input. Exit status: 0 ok, 1 invalid\n"
                         "input, 2 usage error or a file that could not be read or written.\n";

} // namespace

namespace tool {

int common_option(const char *command, const char *help, int opt, int argc, char **argv,
                  limits *l) {
    (void)argc;
    switch (opt) {
    case opt_max_depth:
        if (!parse_count(optarg, &l->max_depth) || l->max_depth == 0) {
            std::fprintf(stderr, "tamsel %s: --max-depth needs a positive number, not '%s'\n",
                         command, optarg);
            return exit_usage;
        }
        return -1;
    case opt_max_string:
        if (!parse_count(optarg, &l->max_string) || l->max_string == 0) {
            std::fprintf(stderr, "tamsel %s: --max-string needs a positive number, not '%s'\n",
                         command, optarg);
            return exit_usage;
        }
        return -1;
    case opt_no_utf8_check:
        l->utf8_check = false;
        return -1;
    case opt_help:
        return print_text(help);
    case ':':
        std::fprintf(stderr, "tamsel %s: option '%s' needs a value\n", command, argv[optind - 1]);
        break;
    default:
        if (optopt)
            std::fprintf(stderr, "tamsel %s: unknown option '-%c'\n", command, optopt);
        else
            std::fprintf(stderr, "tamsel %s: unknown option '%s'\n", command, argv[optind - 1]);
        break;
    }
    std::fprintf(stderr, "Try 'tamsel %s --help'.\n", command);
    return exit_usage;
}

int print_text(const char *text) {
    if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return exit_ok;
    std::fprintf(stderr, "tamsel: <stdout>: %s\n", std::strerror(errno));
    return exit_usage;
}

bool misplaced_pretty_value(const char *command, const char *next, int argc, char **argv) {
    if (!next) return false;
    for (int i = optind; i < argc; ++i) {
        uint64_t indent = 0;
        if (argv[i] != next || !parse_count(next, &indent) || indent == 0 || indent > 16 ||
            access(next, F_OK) == 0)
            continue;
        std::fprintf(stderr,
                     "tamsel %s: '%s' is not a file; for an indentation write --pretty=%s\n"
                     "Try 'tamsel %s --help'.\n",
                     command, next, next, command);
        return true;
    }
    return false;
}

} // namespace tool

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(tool_help, stderr);
        return tool::exit_usage;
    }
    const char *command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0)
        return tool::print_text(tool_help);
    if (std::strcmp(command, "--version") == 0)
        return tool::print_text("tamsel " TAMSEL_VERSION_STRING "\n");
    // Each subcommand parses its own options from its name on.
    opterr = 0;
    optind = 1;
    if (std::strcmp(command, "validate") == 0) return tool::cmd_validate(argc - 1, argv + 1);
    if (std::strcmp(command, "fmt") == 0) return tool::cmd_fmt(argc - 1, argv + 1);
    if (std::strcmp(command, "stats") == 0) return tool::cmd_stats(argc - 1, argv + 1);
    if (std::strcmp(command, "items") == 0) return tool::cmd_items(argc - 1, argv + 1);
    if (std::strcmp(command, "sse") == 0) return tool::cmd_sse(argc - 1, argv + 1);
    if (std::strcmp(command, "rewrite") == 0) return tool::cmd_rewrite(argc - 1, argv + 1);
    std::fprintf(stderr, "tamsel: unknown command '%s'\nTry 'tamsel --help'.\n", command);
    return tool::exit_usage;
}

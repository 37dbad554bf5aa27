// tamsel fmt: re-emits one JSON value, pretty or compact, as the visitor walks it. The layout
// (braces, commas, colons, newlines and indentation) is written here; string text goes
// through the library's escaping and numbers pass through as they stand in the input.
#include "tool.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <vector>

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

// One open container: its kind and whether anything was written in it yet.
struct level {
    bool object;
    bool has_members;
};

class formatter {
  public:
    formatter(output &out, unsigned indent) : out_(out), indent_(indent) { open_.reserve(64); }

    static tamsel_value_visitor visitor() {
        tamsel_value_visitor v = tamsel_default_value_visitor();
        v.object_begin = [](void *u, tamsel_error *) { return self(u).begin('{', true); };
        v.object_end = [](void *u, tamsel_error *) { return self(u).end('}'); };
        v.array_begin = [](void *u, tamsel_error *) { return self(u).begin('[', false); };
        v.array_end = [](void *u, tamsel_error *) { return self(u).end(']'); };
        v.key_begin = [](void *u, tamsel_error *) { return self(u).key_begin(); };
        v.key_chunk = &text_chunk;
        v.key_end = [](void *u, tamsel_error *) { return self(u).key_end(); };
        v.string_begin = [](void *u, tamsel_error *) { return self(u).scalar("\"", 1); };
        v.string_chunk = &text_chunk;
        v.string_end = [](void *u, tamsel_error *) { return self(u).out_.put("\"", 1); };
        v.number_begin = [](void *u, tamsel_error *) { return self(u).before_value(); };
        v.number_chunk = [](void *u, const char *bytes, size_t len, tamsel_error *) {
            return self(u).out_.put(bytes, len);
        };
        v.boolean = [](void *u, int value, tamsel_error *) {
            return value ? self(u).scalar("true", 4) : self(u).scalar("false", 5);
        };
        v.null = [](void *u, tamsel_error *) { return self(u).scalar("null", 4); };
        return v;
    }

  private:
    static formatter &self(void *user) { return *static_cast<formatter *>(user); }

    static tamsel_status text_chunk(void *user, const char *bytes, size_t len,
                                    tamsel_error *error) {
        return tamsel__emit_escaped_fragment(&output::sink, &self(user).out_, error, bytes, len);
    }

    // A newline and the indentation of `depth` levels (pretty output only).
    tamsel_status newline(size_t depth) {
        return indent_ ? out_.newline(depth * indent_) : TAMSEL_STATUS_OK;
    }

    // What goes before a value: in an array a comma after the first member and a new line;
    // in an object nothing, since the key wrote it.
    tamsel_status before_value() {
        if (open_.empty() || open_.back().object) return TAMSEL_STATUS_OK;
        level &top = open_.back();
        if (top.has_members && out_.put(",", 1) != TAMSEL_STATUS_OK) return TAMSEL_STATUS_IO_ERROR;
        top.has_members = true;
        return newline(open_.size());
    }

    tamsel_status scalar(const char *text, size_t len) {
        tamsel_status st = before_value();
        return st == TAMSEL_STATUS_OK ? out_.put(text, len) : st;
    }

    tamsel_status begin(char brace, bool object) {
        tamsel_status st = scalar(&brace, 1);
        open_.push_back(level{object, false});
        return st;
    }

    // An empty container closes on its own line: `{}` or `[]`.
    tamsel_status end(char brace) {
        const bool had_members = open_.back().has_members;
        open_.pop_back();
        tamsel_status st = had_members ? newline(open_.size()) : TAMSEL_STATUS_OK;
        return st == TAMSEL_STATUS_OK ? out_.put(&brace, 1) : st;
    }

    tamsel_status key_begin() {
        level &top = open_.back();
        if (top.has_members && out_.put(",", 1) != TAMSEL_STATUS_OK) return TAMSEL_STATUS_IO_ERROR;
        top.has_members = true;
        tamsel_status st = newline(open_.size());
        return st == TAMSEL_STATUS_OK ? out_.put("\"", 1) : st;
    }

    tamsel_status key_end() { return indent_ ? out_.put("\": ", 3) : out_.put("\":", 2); }

    output &out_;
    unsigned indent_; // 0 for compact output
    std::vector<level> open_;
};

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

    output &out = stdout_buffer;
    formatter f(out, static_cast<unsigned>(indent));
    const tamsel_value_visitor v = formatter::visitor();
    tamsel_error error;
    tamsel_status st = tamsel_visit_value_reader(runtime, input::reader, &in, &v, &f, &error);
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

// tamsel rewrite: one streaming edit of a JSON document, in bounded memory whatever its size:
// drop the value at a path, set it (creating it when missing), or keep only the items of an
// array whose member equals a JSON value. Everything else is copied through.
#include "tool.hpp"

#include <getopt.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace tool {
namespace {

const char rewrite_help[] =
    "Usage: tamsel rewrite (--drop PATH | --set PATH=JSON | --keep-items PATH --where KEY=VALUE)\n"
    "                      [--compact | --pretty[=INDENT]] [OPTIONS] [FILE]\n"
    "\n"
    "Copies one JSON document to standard output with one edit, holding only the open levels\n"
    "(and, for --keep-items, one item) in memory whatever the size of the input.\n"
    "\n"
    "  --drop PATH         leave out the value at PATH (a document without it is copied)\n"
    "  --set PATH=JSON     put JSON at PATH, replacing the value there or adding the member\n"
    "                      (with objects for missing levels) at the end of its object\n"
    "  --keep-items PATH   keep only the items of the array at PATH that pass --where\n"
    "  --where KEY=VALUE   an item passes when its member KEY equals the JSON VALUE\n"
    "  --compact           compact output (the default)\n"
    "  --pretty[=INDENT]   one member per line, INDENT spaces per level (1 to 16; the\n"
    "                      default 2), as tamsel fmt --pretty writes it\n"
    "  --max-depth=N       most containers open at once (default 10000; --keep-items follows\n"
    "                      at most 64 levels)\n"
    "  --max-string=BYTES  longest string or key accepted (default unlimited)\n"
    "  --no-utf8-check     accept strings and keys that are not well-formed UTF-8 (checked\n"
    "                      by default: RFC 8259 requires UTF-8 between systems)\n"
    "  --help              show this help\n"
    "\n"
    "PATH for --drop and --set: member names and array indices separated by dots, from the\n"
    "root: 'a.b.0.c' is the member c of the first element of the array b of a. A backslash\n"
    "makes the next character literal ('a\\.b' is the member named a.b; '\\=' an = in a name).\n"
    "--set adds a missing member to the deepest existing object on PATH even when its name\n"
    "is all digits ('0=1' on {} gives {\"0\":1}); below that object a missing array element\n"
    "is not created, and a PATH with more levels than --max-depth is refused.\n"
    "PATH for --keep-items: member names separated by dots, each found at any depth below the\n"
    "one before ('items', 'data.items'); every array it names is filtered.\n"
    "Values are compared as compact JSON text ('1' equals '1' but not '1.0').\n"
    "FILE '-' or no FILE reads standard input. Exit status: 0 ok, 1 invalid input or a path\n"
    "that cannot be set, 2 usage error or a file that could not be read or written.\n";

output stdout_buffer;

bool input_error(tamsel_status st) {
    return st == TAMSEL_STATUS_INVALID_JSON || st == TAMSEL_STATUS_TYPE_MISMATCH ||
           st == TAMSEL_STATUS_DUPLICATE_FIELD || st == TAMSEL_STATUS_OVERFLOW;
}

int usage(const char *message) {
    std::fprintf(stderr, "tamsel rewrite: %s\nTry 'tamsel rewrite --help'.\n", message);
    return exit_usage;
}

// Splits "PATH=VALUE" at the first '=' that no backslash escapes.
bool split_assignment(const char *arg, std::string *path, std::string *value) {
    for (const char *p = arg; *p; ++p) {
        if (*p == '\\' && p[1]) {
            ++p;
        } else if (*p == '=') {
            path->assign(arg, static_cast<size_t>(p - arg));
            value->assign(p + 1);
            return true;
        }
    }
    return false;
}

tamsel_status append(void *user, const void *data, size_t len, tamsel_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
    return TAMSEL_STATUS_OK;
}

// The compact text of one JSON value as the library writes it, or false when it is not one.
bool compact_text(tamsel_runtime *runtime, const std::string &json, std::string *out) {
    tamsel_value_rewrite_options o{};
    o.action = TAMSEL_VALUE_REWRITE_KEEP;
    tamsel_error e;
    return tamsel_value_rewrite_buffer(runtime, json.data(), json.size(), append, out, &o, &e) ==
           TAMSEL_STATUS_OK;
}

// --where: an item (compact text, as the rewrite hands it out) passes when its top-level
// member with the escaped key `key` (quotes included) has exactly the text `value`.
struct where_filter {
    std::string key;
    std::string value;

    bool passes(const char *p, size_t n) const {
        if (n < 2 || p[0] != '{') return false;
        size_t depth = 0;
        size_t member_start = 1; // where the current top-level member's key begins
        for (size_t i = 0; i < n; ++i) {
            const char c = p[i];
            if (c == '"') {
                // Skip the string; compact text has no whitespace, and escapes stay inside.
                for (++i; i < n && p[i] != '"'; ++i)
                    if (p[i] == '\\') ++i;
                continue;
            }
            if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']' || (c == ',' && depth == 1)) {
                if (depth == 1 && matches(p + member_start, i - member_start)) return true;
                if (c == ',')
                    member_start = i + 1;
                else
                    --depth;
            }
        }
        return false;
    }
    bool matches(const char *member, size_t n) const {
        return n == key.size() + 1 + value.size() &&
               std::memcmp(member, key.data(), key.size()) == 0 && member[key.size()] == ':' &&
               std::memcmp(member + key.size() + 1, value.data(), value.size()) == 0;
    }
};

tamsel_status keep_matching(void *user, const tamsel_array_rewrite_context *, const void *item,
                            tamsel_array_rewrite_action *action, tamsel_error *) {
    const auto *v = static_cast<const tamsel_json_value *>(item);
    const auto *f = static_cast<const where_filter *>(user);
    action->action =
        f->passes(v->data, static_cast<size_t>(v->len)) ? TAMSEL_REWRITE_KEEP : TAMSEL_REWRITE_DROP;
    return TAMSEL_STATUS_OK;
}

// Why --set cannot put a value at its PATH, in the tool's words, for the library's refusals of
// a path; NULL for any other failure.
const char *unsettable(const tamsel_error &error, const limits &l, char *buffer, size_t size) {
    const char *m = error.message;
    if (std::strcmp(m, "value rewrite target was not found") == 0)
        return "the path runs through a missing array element or a value that is not an object";
    if (std::strcmp(m, "value rewrite cannot synthesize a missing array index") == 0)
        return "a missing array element is not created";
    if (std::strcmp(m, "value rewrite target path exceeds maximum depth") == 0) {
        std::snprintf(buffer, size, "it has more levels than --max-depth %" PRIu64, l.depth());
        return buffer;
    }
    return nullptr;
}

// `set_path`: the PATH of --set, named when it cannot be set; NULL for the other edits.
int settle(tamsel_status st, const tamsel_error &error, input &in, bool missing_is_ok,
           const char *set_path, const limits &l) {
    const bool missing = st == TAMSEL_STATUS_TYPE_MISMATCH &&
                         std::strcmp(error.message, "value rewrite target was not found") == 0;
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED || (missing && missing_is_ok)) {
        const bool ok = stdout_buffer.put("\n", 1) == TAMSEL_STATUS_OK && stdout_buffer.flush();
        in.finish_progress();
        if (!ok) {
            stdout_buffer.report_failure();
            return exit_usage;
        }
        return exit_ok;
    }
    const bool flushed = stdout_buffer.flush();
    in.finish_progress(); // every message below starts its own line
    char why[96];
    const char *reason = set_path && !in.failed() ? unsettable(error, l, why, sizeof why) : nullptr;
    if (reason) {
        const bool long_path = std::strlen(set_path) > 72; // named by its start
        std::fprintf(stderr, "tamsel rewrite: %s: cannot set %.*s%s: %s\n", in.name(),
                     long_path ? 64 : 72, set_path, long_path ? "..." : "", reason);
        return exit_invalid;
    }
    if (!in.failed() && input_error(st)) {
        if (error.line)
            in.report_error(error, l, error.line);
        else
            std::fprintf(stderr, "tamsel rewrite: %s: %s\n", in.name(), error.message);
        return exit_invalid;
    }
    if (!flushed) {
        stdout_buffer.report_failure();
        return exit_usage;
    }
    return report_failure(in, &stdout_buffer, st, error, l);
}

} // namespace

int cmd_rewrite(int argc, char **argv) {
    enum : int { opt_drop = 0x200, opt_set, opt_keep, opt_where, opt_compact, opt_pretty };
    static const option options[] = {{"drop", required_argument, nullptr, opt_drop},
                                     {"set", required_argument, nullptr, opt_set},
                                     {"keep-items", required_argument, nullptr, opt_keep},
                                     {"where", required_argument, nullptr, opt_where},
                                     {"compact", no_argument, nullptr, opt_compact},
                                     {"pretty", optional_argument, nullptr, opt_pretty},
                                     TOOL_COMMON_OPTIONS,
                                     TOOL_UTF8_OPTION,
                                     {nullptr, 0, nullptr, 0}};
    limits l;
    l.utf8_check = true;
    int edits = 0;
    int mode = 0;
    std::string path, json, where_key, where_value;
    const char *where = nullptr;
    uint64_t indent = 0;
    const char *after_pretty = nullptr; // what followed a bare --pretty
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        switch (opt) {
        case opt_drop:
        case opt_keep:
            ++edits;
            mode = opt;
            path = optarg;
            break;
        case opt_set:
            ++edits;
            mode = opt;
            if (!split_assignment(optarg, &path, &json)) return usage("--set needs PATH=JSON");
            break;
        case opt_where:
            where = optarg;
            break;
        case opt_compact:
            indent = 0;
            break;
        case opt_pretty:
            indent = 2;
            after_pretty = !optarg && optind < argc ? argv[optind] : nullptr;
            if (optarg && (!parse_count(optarg, &indent) || indent == 0 || indent > 16))
                return usage("--pretty takes an indentation of 1 to 16");
            break;
        default: {
            int code = common_option("rewrite", rewrite_help, opt, argc, argv, &l);
            if (code >= 0) return code;
        }
        }
    }
    if (edits != 1) return usage("give exactly one of --drop, --set and --keep-items");
    if ((mode == opt_keep) != (where != nullptr))
        return usage("--keep-items and --where go together");
    if (where) {
        const char *eq = std::strchr(where, '=');
        if (!eq) return usage("--where needs KEY=VALUE");
        where_key.assign(where, static_cast<size_t>(eq - where));
        where_value.assign(eq + 1);
    }
    if (misplaced_pretty_value("rewrite", after_pretty, argc, argv)) return exit_usage;
    if (argc - optind > 1) return usage("one FILE at most");

    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;
    input in;
    if (!in.open(optind < argc ? argv[optind] : nullptr)) {
        tamsel_free(runtime);
        return exit_usage;
    }
    tamsel_error error;
    tamsel_error_init(&error);
    tamsel_status st;
    int code;
    reindent pretty(stdout_buffer, static_cast<unsigned>(indent));
    tamsel_sink sink = indent ? &reindent::sink : &output::sink;
    void *sink_user = indent ? static_cast<void *>(&pretty) : &stdout_buffer;
    if (mode == opt_keep) {
        where_filter filter;
        if (tamsel__emit_escaped_bytes(append, &filter.key, nullptr, where_key.data(),
                                       where_key.size()) != TAMSEL_STATUS_OK ||
            !compact_text(runtime, where_value, &filter.value)) {
            tamsel_free(runtime);
            return usage("--where needs KEY=VALUE with a JSON VALUE");
        }
        tamsel_json_value item;
        tamsel_json_value_init(runtime, &item);
        tamsel_array_rewrite_options o{};
        o.item_value = &item;
        o.item_callback = keep_matching;
        o.user = &filter;
        st = tamsel_array_rewrite_reader(runtime, path.c_str(), input::reader, &in, sink, sink_user,
                                         &o, &error);
        tamsel_json_value_cleanup(&item);
        code = settle(st, error, in, false, nullptr, l);
    } else {
        tamsel_json_value replacement;
        tamsel_json_value_init(runtime, &replacement);
        tamsel_value_rewrite_selector_options o{};
        o.selector = path.c_str();
        o.action = TAMSEL_VALUE_REWRITE_DROP;
        if (mode == opt_set) {
            o.action = TAMSEL_VALUE_REWRITE_REPLACE;
            o.replacement.value = &replacement;
            tamsel_error e;
            if (tamsel_json_value_set_buffer(&replacement, json.data(), json.size(), &e) !=
                TAMSEL_STATUS_OK) {
                tamsel_json_value_cleanup(&replacement);
                tamsel_free(runtime);
                return usage("--set needs PATH=JSON with valid JSON");
            }
        }
        st = tamsel_value_rewrite_selector_reader(runtime, input::reader, &in, sink, sink_user, &o,
                                                  &error);
        tamsel_json_value_cleanup(&replacement);
        code = settle(st, error, in, mode == opt_drop, mode == opt_set ? path.c_str() : nullptr, l);
    }
    tamsel_free(runtime);
    return code;
}

} // namespace tool

// tamsel sse: an event stream (text/event-stream) as one line per event, through the library's
// SSE parser, flushed after every event so that it works at the end of a live pipe
// (`curl -N URL | tamsel sse --json`). With --json an event whose data is the end marker
// ends the stream: nothing after it is read, so the pipe's end need not be waited for. Memory
// is bounded by the parser's limits: one line, the event name and id, and with --json the
// parser's workspace; without --json the first 64 KiB of an event's data wait for its end.
#include "tool.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tool {
namespace {

const char sse_help[] =
    "Usage: tamsel sse [--event NAME]... [--json [--end-marker TEXT]] [FILE]\n"
    "\n"
    "Reads a Server-Sent Events stream and writes one line per event, flushed at once:\n"
    "without --json an object {\"event\":...,\"id\":...,\"data\":...} (id null when the event\n"
    "has none; \"retry\" added when it sets one), with --json the event's data, which must\n"
    "be one JSON value, written compact (JSON Lines); an event whose data is the end marker\n"
    "([DONE], as LLM APIs send) ends the stream there, and nothing after it is read. A bad\n"
    "event is reported on stderr as FILE:LINE:COLUMN: message (bad JSON, at its byte in the\n"
    "stream) or FILE:LINE: message (a limit) and skipped; the exit status is then 1 at the end.\n"
    "\n"
    "  --event NAME       only events named NAME (repeatable; \"\" selects unnamed events);\n"
    "                     the event line must come before the data lines\n"
    "  --json             write each event's data as JSON\n"
    "  --end-marker TEXT  with --json, the data that ends the stream (default [DONE]; ''\n"
    "                     for none, making it a bad event like any other non-JSON data)\n"
    "  --help             show this help\n"
    "\n"
    "FILE '-' or no FILE reads standard input. Exit status: 0 ok, 1 a bad event, 2 usage\n"
    "error or a file that could not be read or written.\n";

constexpr size_t max_names = 64;

output stdout_buffer;

// Room for the start of an event's data, held until the event ends so that its name and id
// are written as they stand at the end, also when those lines follow data lines.
constexpr size_t hold_limit = 64 * 1024;

struct state {
    output &out;
    const char *const *names;
    size_t name_count;
    bool skip = false; // the event in progress is filtered out
    bool write_failed = false;
    // The event in progress: its head as the begin callback saw it, its data escaped while
    // `holding`, and whether a name or id changed after the head had to be written.
    std::string head{};
    std::string held{};
    bool holding = false;
    bool open = false; // the head went out and the event's line is not ended yet
    bool late_fields = false;
};

bool selected(const state &s, const char *name) {
    if (s.name_count == 0) return true;
    for (size_t i = 0; i < s.name_count; ++i)
        if (std::strcmp(s.names[i], name) == 0) return true;
    return false;
}

tamsel_status append(void *user, const void *data, size_t len, tamsel_error *) {
    try {
        static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
        return TAMSEL_STATUS_OK;
    } catch (...) {
        return TAMSEL_STATUS_ALLOCATION_FAILED;
    }
}

tamsel_status put_string(std::string &to, const char *text) {
    return tamsel__emit_escaped_bytes(append, &to, nullptr, text, std::strlen(text));
}

// `{"event":NAME,"id":ID,"data":"` for the event as it stands.
bool head_of(const tamsel_sse_event *e, std::string *to) {
    to->clear();
    return append(to, "{\"event\":", 9, nullptr) == TAMSEL_STATUS_OK &&
           put_string(*to, e->event) == TAMSEL_STATUS_OK &&
           append(to, ",\"id\":", 6, nullptr) == TAMSEL_STATUS_OK &&
           (e->id && e->id[0] ? put_string(*to, e->id) : append(to, "null", 4, nullptr)) ==
               TAMSEL_STATUS_OK &&
           append(to, ",\"data\":\"", 9, nullptr) == TAMSEL_STATUS_OK;
}

// Writes the head and the data held so far; the rest of the event's data goes straight out.
bool release(state &s, const std::string &head) {
    s.holding = false;
    s.open = true;
    return s.out.put(head.data(), head.size()) == TAMSEL_STATUS_OK &&
           s.out.put(s.held.data(), s.held.size()) == TAMSEL_STATUS_OK;
}

int on_begin(void *user, const tamsel_sse_event *e, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    s.skip = !selected(s, e->event);
    if (s.skip) return 0;
    s.held.clear();
    s.holding = true;
    s.write_failed = !head_of(e, &s.head);
    return s.write_failed ? 1 : 0;
}

int on_chunk(void *user, const char *bytes, size_t n, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    if (s.skip) return 0;
    if (s.holding) {
        s.write_failed =
            tamsel__emit_escaped_fragment(append, &s.held, nullptr, bytes, n) != TAMSEL_STATUS_OK ||
            (s.held.size() > hold_limit && !release(s, s.head));
    } else {
        s.write_failed = tamsel__emit_escaped_fragment(output::sink, &s.out, nullptr, bytes, n) !=
                         TAMSEL_STATUS_OK;
    }
    return s.write_failed ? 1 : 0;
}

int on_end(void *user, const tamsel_sse_event *e, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    if (s.skip) return 0;
    std::string head;
    if (!head_of(e, &head)) {
        s.write_failed = true;
        return 1;
    }
    if (s.holding) {
        // A name that came after the data decides as well.
        if (!selected(s, e->event)) return 0;
        s.write_failed = !release(s, head);
    } else {
        s.late_fields = head != s.head;
    }
    char retry[40] = "";
    if (e->has_retry)
        std::snprintf(retry, sizeof retry, ",\"retry\":%llu",
                      static_cast<unsigned long long>(e->retry));
    s.open = false;
    s.write_failed = s.write_failed || s.out.put("\"") != TAMSEL_STATUS_OK ||
                     s.out.put(retry) != TAMSEL_STATUS_OK || s.out.put("}\n") != TAMSEL_STATUS_OK ||
                     !s.out.flush();
    return s.write_failed ? 1 : 0;
}

int on_json(void *user, const tamsel_sse_event *, tamsel_json_value *v, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    s.write_failed = s.out.put(v->data, static_cast<size_t>(v->len)) != TAMSEL_STATUS_OK ||
                     s.out.put("\n", 1) != TAMSEL_STATUS_OK || !s.out.flush();
    return s.write_failed ? 1 : 0;
}

// Pushes the input a line at a time, so that a failure the library gives no position names
// the line it happened on. With --json the stream may end before the input does.
int run(tamsel_runtime *runtime, input &in, state &s, bool json, const char *end_marker) {
    tamsel_error error;
    tamsel_sse *parser = tamsel_sse_open(nullptr, &error);
    if (!parser) {
        std::fprintf(stderr, "tamsel sse: %s\n", error.message);
        return exit_usage;
    }
    tamsel_json_value value;
    tamsel_json_value_init(runtime, &value);
    (void)tamsel_json_value_enable_parse_capture(&value, nullptr);
    const tamsel_sse_event_filter filter{s.names, s.name_count};
    const tamsel_sse_callbacks callbacks{on_begin, on_chunk, on_end};
    const tamsel_sse_json_handlers handlers{nullptr, on_json, nullptr, end_marker, &s};
    static char buffer[64 * 1024];
    size_t line = 1;
    bool after_cr = false;
    int code = exit_ok;
    auto push = [&](const char *p, size_t n, bool finish) {
        tamsel_status st;
        if (json)
            st = finish ? tamsel_sse_finish_json_value_ex(runtime, parser, &value, &filter,
                                                          &handlers, &error)
                        : tamsel_sse_push_json_value_ex(runtime, parser, &value, p, n, &filter,
                                                        &handlers, &error);
        else
            st = finish ? tamsel_sse_finish(parser, &callbacks, &s, &error)
                        : tamsel_sse_push(parser, p, n, &callbacks, &s, &error);
        if (s.late_fields) {
            in.finish_progress();
            // The event's head was written before its last name or id line arrived.
            std::fprintf(
                stderr,
                "%s:%zu: event name or id after the data of an event over %zu KiB: not written\n",
                in.name(), line, hold_limit / 1024);
            s.late_fields = false;
            code = exit_invalid;
        }
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED || s.write_failed) return;
        if (s.open) {
            // A bad event past the data held: the start already written ends its own line,
            // so that the events after it stay whole.
            s.open = false;
            s.write_failed = s.out.put("\n") != TAMSEL_STATUS_OK || !s.out.flush();
        }
        in.finish_progress(); // a message starts its own line, not the progress line's end
        // JSON failures carry their place in the stream; limits have none.
        if (error.line)
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", in.name(), error.line, error.column,
                         error.message);
        else
            std::fprintf(stderr, "%s:%zu: %s\n", in.name(), line, error.message);
        code = exit_invalid;
    };
    auto ended = [&] { return s.write_failed || tamsel_sse_ended(parser); };
    while (!ended()) {
        const size_t n = in.read(buffer, sizeof buffer);
        if (n == 0) break;
        const char *p = buffer, *e = buffer + n;
        while (p < e && !ended()) {
            const char *q = p;
            while (q < e && *q != '\n' && *q != '\r')
                ++q;
            if (q == e) {
                push(p, static_cast<size_t>(q - p), false);
                if (q > p) after_cr = false;
                break;
            }
            // A CR LF counts once: at the CR.
            const bool counted = *q == '\n' && after_cr && q == p;
            after_cr = *q == '\r';
            push(p, static_cast<size_t>(q + 1 - p), false);
            if (!counted) ++line;
            p = q + 1;
        }
    }
    if (!ended() && !in.failed()) push(nullptr, 0, true);
    tamsel_json_value_cleanup(&value);
    tamsel_sse_close(parser);
    if (in.failed()) {
        in.report_failure();
        return exit_usage;
    }
    in.finish_progress();
    if (s.write_failed || !s.out.flush()) {
        s.out.report_failure();
        return exit_usage;
    }
    return code;
}

} // namespace

int cmd_sse(int argc, char **argv) {
    static const option options[] = {{"event", required_argument, nullptr, 'e'},
                                     {"json", no_argument, nullptr, 'j'},
                                     {"end-marker", required_argument, nullptr, 'm'},
                                     {"help", no_argument, nullptr, opt_help},
                                     {nullptr, 0, nullptr, 0}};
    limits l;
    const char *names[max_names];
    size_t name_count = 0;
    bool json = false;
    const char *end_marker = "[DONE]";
    int opt;
    while ((opt = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        if (opt == 'e') {
            if (name_count == max_names) {
                std::fprintf(stderr, "tamsel sse: at most %zu --event names\n", max_names);
                return exit_usage;
            }
            names[name_count++] = optarg;
        } else if (opt == 'j') {
            json = true;
        } else if (opt == 'm') {
            end_marker = optarg;
        } else {
            int code = common_option("sse", sse_help, opt, argc, argv, &l);
            if (code >= 0) return code;
        }
    }
    if (std::strpbrk(end_marker, "\r\n")) {
        std::fprintf(stderr, "tamsel sse: the end marker must be one line\n");
        return exit_usage;
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "tamsel sse: one FILE at most\nTry 'tamsel sse --help'.\n");
        return exit_usage;
    }
    input in;
    if (!in.open(optind < argc ? argv[optind] : nullptr)) return exit_usage;
    tamsel_runtime *runtime = make_runtime(l);
    if (!runtime) return exit_usage;
    state s{stdout_buffer, names, name_count};
    const int code = run(runtime, in, s, json, end_marker);
    tamsel_free(runtime);
    return code;
}

} // namespace tool

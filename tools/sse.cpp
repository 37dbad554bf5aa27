// tamsel sse: an event stream (text/event-stream) as one line per event, through the library's
// SSE parser, flushed after every event so that it works at the end of a live pipe
// (`curl -N URL | tamsel sse --json`). With --json an event whose data is the end marker
// ends the stream: nothing after it is read, so the pipe's end need not be waited for. Memory
// is bounded by the parser's limits: one line, the event name and id, and with --json the
// parser's workspace; without --json an event's object waits in the 64 KiB output buffer.
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

// An event's object is written as its data arrives; it stays in the 64 KiB output buffer
// until the event ends, so a name or id line after its data lines can still be put in its
// head, and a bad event taken back whole.
constexpr size_t buffer_kib = 64;

struct state {
    output &out;
    const char *const *names;
    size_t name_count;
    bool skip = false; // the event in progress is filtered out
    bool write_failed = false;
    // The event in progress: where its object starts in the output, the length of its head,
    // the name and id the head was written with, whether it is open (its line not ended), and
    // whether a name or id changed after the head had left the buffer.
    uint64_t start = 0;
    size_t head_len = 0;
    std::string name{};
    std::string id{};
    bool open = false;
    bool late_fields = false;
};

bool selected(const state &s, const char *name) {
    if (s.name_count == 0) return true;
    for (size_t i = 0; i < s.name_count; ++i)
        if (std::strcmp(s.names[i], name) == 0) return true;
    return false;
}

tamsel_status put_string(output &out, const char *text) {
    return tamsel__emit_escaped_bytes(output::sink, &out, nullptr, text, std::strlen(text));
}

const char *id_of(const tamsel_sse_event *e) {
    return e->id ? e->id : "";
}

// `{"event":NAME,"id":ID,"data":"` for the event as it stands.
bool put_head(output &out, const tamsel_sse_event *e) {
    return out.put("{\"event\":") == TAMSEL_STATUS_OK &&
           put_string(out, e->event) == TAMSEL_STATUS_OK &&
           out.put(",\"id\":") == TAMSEL_STATUS_OK &&
           (e->id && e->id[0] ? put_string(out, e->id) : out.put("null")) == TAMSEL_STATUS_OK &&
           out.put(",\"data\":\"") == TAMSEL_STATUS_OK;
}

int on_begin(void *user, const tamsel_sse_event *e, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    s.skip = !selected(s, e->event);
    if (s.skip) return 0;
    try {
        if (s.name != e->event) s.name.assign(e->event);
        if (s.id != id_of(e)) s.id.assign(id_of(e));
    } catch (...) {
        s.write_failed = true;
        return 1;
    }
    s.start = s.out.mark();
    s.open = true;
    s.write_failed = !put_head(s.out, e);
    s.head_len = static_cast<size_t>(s.out.mark() - s.start);
    return s.write_failed ? 1 : 0;
}

int on_chunk(void *user, const char *bytes, size_t n, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    if (s.skip) return 0;
    s.write_failed =
        tamsel__emit_escaped_fragment(output::sink, &s.out, nullptr, bytes, n) != TAMSEL_STATUS_OK;
    return s.write_failed ? 1 : 0;
}

// A name or id line came after the event's data lines: the head is written again in front of
// the data while the whole object is still in the buffer; a name the filter does not select
// takes the event back.
bool rewrite_head(state &s, const tamsel_sse_event *e) {
    size_t len = 0;
    const char *object = s.out.since(s.start, &len);
    if (!object) {
        s.late_fields = true;
        return true;
    }
    try {
        const std::string data(object + s.head_len, len - s.head_len);
        s.out.take_back(s.start);
        if (!selected(s, e->event)) {
            s.skip = true;
            return true;
        }
        return put_head(s.out, e) && s.out.put(data.data(), data.size()) == TAMSEL_STATUS_OK;
    } catch (...) {
        return false;
    }
}

int on_end(void *user, const tamsel_sse_event *e, tamsel_error *) {
    auto &s = *static_cast<state *>(user);
    if (s.skip) return 0;
    s.open = false;
    if ((s.name != e->event || s.id != id_of(e)) && !rewrite_head(s, e)) {
        s.write_failed = true;
        return 1;
    }
    if (s.skip) return 0;
    char retry[40] = "";
    if (e->has_retry)
        std::snprintf(retry, sizeof retry, ",\"retry\":%llu",
                      static_cast<unsigned long long>(e->retry));
    s.write_failed = s.out.put("\"") != TAMSEL_STATUS_OK || s.out.put(retry) != TAMSEL_STATUS_OK ||
                     s.out.put("}\n") != TAMSEL_STATUS_OK || !s.out.flush();
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
                in.name(), line, buffer_kib);
            s.late_fields = false;
            code = exit_invalid;
        }
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED || s.write_failed) return;
        if (s.open) {
            // A bad event is taken back; when its start has already left the buffer, that
            // start ends its own line, so that the events after it stay whole.
            s.open = false;
            size_t len = 0;
            if (s.out.since(s.start, &len))
                s.out.take_back(s.start);
            else
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

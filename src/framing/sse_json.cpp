// The SSE JSON family: each event's data lines are fed straight into the push parser, into a
// mapped record or a JSON value holder, and the caller is called once per parsed event.
//
// Per event: the filter is decided on the first data line (or at dispatch from the name);
// the parser starts on the first matching data line, with a snapshot of the runtime's
// settings (kept while the runtime and its generation stay the same), gets "\n" between data
// lines, and is finished at the empty line. Any failure drops the event: the parser is torn
// down and the destination released (a record only when this parser initialised it).
//
// The extended entry points add a second road. Events that are not parsed (filtered out,
// without data, or whose data is the end marker) go to the `other` callbacks as plain events,
// a filtered one line by line as it arrives. A first data line equal to the marker waits in
// `held` instead of being fed, since only the next line or the dispatch tells whether it is
// all the data; a second line feeds it first. The marker event, or a callback returning
// TAMSEL_SSE_END_STREAM, ends the stream: the call stops reading and later calls read nothing.
// Parse failures are moved from the data's positions to the stream's through the positions of
// the event's last two data lines (the parser never fails further back).
#include "framing/sse_state.hpp"
#include "visit/json_value.hpp"

namespace tamsel::framing {

namespace {

struct json_args {
    const tamsel_runtime *runtime;
    const tamsel_runtime_settings *settings; // borrowed for this call
    const tamsel_map *map;
    void *dst;
    tamsel_json_value *value;
    const tamsel_sse_event_filter *filter;
    tamsel_sse_json_callback callback;
    tamsel_sse_json_value_callback value_callback;
    void *user;
    // The extended entry points.
    bool extended = false;
    const tamsel_sse_callbacks *other = nullptr;
    const char *marker = nullptr;
    size_t marker_len = 0;
};

json_args &args_of(sse_call &c) {
    return *static_cast<json_args *>(c.family);
}

bool filtering(const tamsel_sse_event_filter *f) {
    return f && f->event_name_count > 0;
}

// Matches the event's name against a filter that names events.
[[gnu::noinline]] void decide_by_name(tamsel_sse &s, const tamsel_sse_event_filter *f) {
    const char *name = sse_event_name(s);
    s.matches = false;
    for (size_t i = 0; i < f->event_name_count; ++i)
        if (f->event_names && f->event_names[i] && std::strcmp(f->event_names[i], name) == 0) {
            s.matches = true;
            return;
        }
}

// Decides whether the event is parsed (inline: without a filter it is, at the cost of a test).
inline void decide(tamsel_sse &s, const tamsel_sse_event_filter *f) {
    s.decided = true;
    if (!filtering(f)) {
        s.matches = true;
        return;
    }
    decide_by_name(s, f);
}

bool same_destination(const tamsel_sse &s, const json_args &a) {
    return s.runtime == a.runtime && s.map == a.map && s.dst == a.dst && s.value == a.value;
}

void destroy_parser(tamsel_sse &s) {
    if (!s.parser_active) return;
    if (s.p.depth) parse::unwind_mapped_streams(s.p); // a finished document has no frame
    parse::parser_destroy(s.p);
    s.parser_active = false;
    s.cache.spares.release(); // what the event did not take back goes
}

// After a failed event: captured text goes; a record this parser initialised is cleaned up.
void release_destination(tamsel_sse &s) {
    if (s.value) {
        owned_free(std::exchange(s.value->data, nullptr));
        s.value->len = 0;
        s.value->kind = TAMSEL_JSON_NONE;
    } else if (s.map && s.dst && s.dst_initialised) {
        tamsel_cleanup(s.map, s.dst);
        s.last_dst = nullptr;
        s.last_map = nullptr;
    }
}

void end_event(tamsel_sse &s) {
    destroy_parser(s);
    s.dst_initialised = false;
    s.runtime = nullptr;
    s.map = nullptr;
    s.dst = nullptr;
    s.value = nullptr;
    sse_reset_event(s);
}

void json_drop(sse_call &c) {
    tamsel_sse &s = c.s;
    if (s.parser_active) {
        destroy_parser(s);
        release_destination(s);
    }
    end_event(s);
}

// The parser's position (line k + 1 of the data is data line k, a column 0 after the first
// line is the "\n" joining two data lines) as a position in the stream. Only the last two data
// lines are known; the parser fails on the byte it was given, which lies in one of them.
void to_stream_position(const tamsel_sse &s, tamsel_error &e) {
    if (e.line == 0 || e.line > s.data_lines) return;
    size_t k = e.line - 1, column = e.column;
    const bool joint = column == 0 && k > 0;
    if (joint) --k;
    if (k + 2 < s.data_lines) return;
    const sse_data_line &l = s.lines[k & 1];
    if (joint) column = l.length + 1; // the first line's terminator
    e.line = l.line;
    e.column = l.column + column;
    e.offset = l.offset + column;
}

tamsel_status parser_failed(sse_call &c, tamsel_status st) {
    c.scratch = c.s.p.error;
    c.scratch.code = st;
    if (args_of(c).extended) to_stream_position(c.s, c.scratch);
    return st;
}

void end_stream(sse_call &c, int how) {
    c.s.ended = how;
    c.s.finished = true;
    c.stop = true;
    end_event(c.s);
}

// A callback's return: 0 goes on; TAMSEL_SSE_END_STREAM from an extended entry point ends the
// stream (nothing is called after it); anything else fails the call.
tamsel_status returned(sse_call &c, int rc, const tamsel_error &e, const char *message) {
    if (rc == 0) return TAMSEL_STATUS_OK;
    if (rc == TAMSEL_SSE_END_STREAM && args_of(c).extended) {
        end_stream(c, TAMSEL_SSE_ENDED_BY_CALLBACK);
        return TAMSEL_STATUS_OK;
    }
    return sse_callback_failed(c, e, message);
}

// ---- events reported to `other` -----------------------------------------------------------

tamsel_status other_event(sse_call &c, bool begin) {
    const json_args &a = args_of(c);
    const auto cb = begin ? a.other->begin_event : a.other->end_event;
    if (!cb) return TAMSEL_STATUS_OK;
    const tamsel_sse_event ev = sse_event_of(c.s, c.s.data_bytes);
    tamsel_error e{};
    return returned(c, cb(a.user, &ev, &e), e,
                    begin ? "SSE begin_event callback failed" : "SSE end_event callback failed");
}

tamsel_status other_chunk(sse_call &c, const char *bytes, size_t n) {
    const json_args &a = args_of(c);
    if (!a.other->data_chunk) return TAMSEL_STATUS_OK;
    tamsel_error e{};
    return returned(c, a.other->data_chunk(a.user, bytes, n, &e), e,
                    "SSE data_chunk callback failed");
}

tamsel_status other_begin(sse_call &c) {
    if (c.s.routed) return TAMSEL_STATUS_OK;
    c.s.routed = true;
    return other_event(c, true);
}

// A data line of an event reported to `other`, as the plain family reports it.
tamsel_status other_data(sse_call &c, const sse_field &f, size_t sep) {
    tamsel_sse &s = c.s;
    size_t total;
    if (!checked_add(s.data_bytes, sep, &total) || !checked_add(total, f.value_len, &total) ||
        total > s.max_data)
        return fail(&c.scratch, TAMSEL_STATUS_OVERFLOW, "SSE event data exceeds configured limit");
    tamsel_status st = other_begin(c);
    if (st == TAMSEL_STATUS_OK && !c.stop && sep) {
        st = other_chunk(c, "\n", 1);
        ++s.data_bytes;
    }
    if (st == TAMSEL_STATUS_OK && !c.stop && f.value_len) {
        st = other_chunk(c, f.value, f.value_len);
        s.data_bytes += f.value_len;
    }
    return st;
}

// Dispatches an event that is not parsed: `other` sees its end (and its begin when it had no
// data, or when it is a parsed event's held marker, whose one line goes with it).
tamsel_status other_dispatch(sse_call &c) {
    tamsel_sse &s = c.s;
    if (!args_of(c).other) return TAMSEL_STATUS_OK;
    tamsel_status st = TAMSEL_STATUS_OK;
    if (!s.routed && s.marker && s.matches) {
        const size_t n = std::exchange(s.data_bytes, 0);
        st = other_begin(c);
        s.data_bytes = n;
        if (st == TAMSEL_STATUS_OK && !c.stop) st = other_chunk(c, s.held.data, s.held.length);
    }
    if (st == TAMSEL_STATUS_OK && !c.stop) st = other_begin(c);
    if (st == TAMSEL_STATUS_OK && !c.stop) st = other_event(c, false);
    return st;
}

// A snapshot of the runtime's settings, refreshed when the runtime is another one.
tamsel_status refresh_settings(sse_call &c, const json_args &a) {
    tamsel_sse &s = c.s;
    if (s.have_settings && s.settings_runtime == a.runtime &&
        s.settings_generation == a.runtime->generation) {
        // The kept snapshot follows the one setting that changes while a runtime lives.
        s.settings.utf8_check.store(a.settings->checks_utf8() ? 1 : 0, std::memory_order_relaxed);
        return TAMSEL_STATUS_OK;
    }
    if (s.have_settings) tamsel__runtime_free_owned_config(&s.settings);
    s.have_settings = false;
    s.parser_kept = false; // its options are the old snapshot's
    tamsel_error e{};
    if (settings_snapshot(&s.settings, a.settings, &e) != TAMSEL_STATUS_OK) {
        if (e.code == TAMSEL_STATUS_OK)
            return fail(&c.scratch, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate settings");
        c.scratch = e;
        return e.code;
    }
    s.have_settings = true;
    s.settings_runtime = a.runtime;
    s.settings_generation = a.runtime->generation;
    return TAMSEL_STATUS_OK;
}

// Whether the parser set up for the last event serves this one after parser_restart: the same
// settings snapshot and the same kind of destination, for a record the same record (emptied
// by start_parser; without init_destination parser_init adopts what the record holds, so that
// case is set up anew).
bool restartable(const tamsel_sse &s, const json_args &a) {
    if (!s.parser_kept) return false;
    if (a.value) return s.p.any_root;
    return s.p.map == a.map && s.p.dst == a.dst && s.p.options.init_destination;
}

// Starts the event's parser on its destination.
tamsel_status start_parser(sse_call &c, const json_args &a) {
    tamsel_sse &s = c.s;
    if (a.value) {
        if (!visit::json_value_is_initialized(a.value) ||
            a.value->parse_mode == TAMSEL_JSON_PARSE_NONE)
            return fail(&c.scratch, TAMSEL_STATUS_INVALID_ARGUMENT,
                        "JSON value parse requires a configured parse sink, parse visitor, or "
                        "parse capture");
    } else {
        // Analysed once per map, as the streams do (a map edited in place changes its token).
        if (a.map != s.analysed || a.map->cache_token != s.analysed_token) {
            s.analysis = parse::analyze_map(a.map);
            if (s.analysis.valid)
                s.reset_mask = parse::reset_adopt_mask(*a.map, s.analysis.adopt_mask);
            s.analysed = a.map;
            s.analysed_token = a.map->cache_token;
            s.cache.plans.clear();
            s.parser_kept = false;
        }
        if (!s.analysis.valid)
            return fail(&c.scratch, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
    }
    TAMSEL_TRY(refresh_settings(c, a));
    tamsel_status st;
    if (restartable(s, a)) {
        // The same destination and snapshot: the arguments the parser was set up with.
        st = parse::parser_restart(s.p, s.args);
    } else {
        parse::init_args &ia = s.args;
        ia = parse::init_args{};
        if (a.value) {
            ia.any_root = true;
        } else {
            ia.map = a.map;
            ia.dst = a.dst;
            ia.analysis = &s.analysis;
            ia.cache = &s.cache;
        }
        ia.options = &s.settings.parse_options;
        ia.settings = &s.settings;
        ia.workspace = s.workspace;
        st = parse::parser_init(s.p, ia);
        s.parser_kept = st == TAMSEL_STATUS_OK;
    }
    s.parser_active = true;
    s.runtime = a.runtime;
    s.map = a.map;
    s.dst = a.dst;
    s.value = a.value;
    if (st != TAMSEL_STATUS_OK) return parser_failed(c, st);
    if (a.value) {
        s.p.root_holder = a.value;
        return TAMSEL_STATUS_OK;
    }
    if (!s.p.options.init_destination) return TAMSEL_STATUS_OK;
    // The record the previous event filled is emptied only when it is this one; another
    // record stays the caller's, who may keep it or clean it up.
    if (a.dst == s.last_dst && a.map == s.last_map) {
        parse::reset_fresh_map_parse(s.p, *a.map, a.dst, s.reset_mask);
        st = s.p.failed ? s.p.error.code : TAMSEL_STATUS_OK;
    } else {
        if (a.dst == s.last_dst) tamsel_cleanup(s.last_map, a.dst);
        st = parse::init_map_parse(s.p, *a.map, a.dst);
    }
    s.dst_initialised = true;
    s.last_dst = a.dst;
    s.last_map = a.map;
    return st == TAMSEL_STATUS_OK ? st : parser_failed(c, st);
}

tamsel_status feed(sse_call &c, const char *bytes, size_t n) {
    size_t used = 0;
    tamsel_status st = parse::parser_feed(c.s.p, bytes, n, &used, false);
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) {
        if (st == TAMSEL_STATUS_TRUNCATED) c.truncated = true;
        return TAMSEL_STATUS_OK;
    }
    return parser_failed(c, st);
}

tamsel_status changed(sse_call &c) {
    return fail(&c.scratch, TAMSEL_STATUS_INVALID_ARGUMENT,
                "SSE JSON parser arguments changed during an event");
}

// Where a data line of a parsed event lies in the stream.
void note_line(tamsel_sse &s, const sse_field &f) {
    sse_data_line &l = s.lines[s.data_lines & 1];
    const auto before = static_cast<size_t>(f.value - f.name); // the name starts the line
    l.line = s.line_no;
    l.column = before;
    l.offset = s.line_start + before;
    l.length = f.value_len;
    ++s.data_lines;
}

bool is_marker(const json_args &a, const sse_field &f) {
    return f.value_len == a.marker_len && std::memcmp(f.value, a.marker, a.marker_len) == 0;
}

// A data line of an event the filter leaves out: `other` sees it, if there is one.
tamsel_status skipped_data(sse_call &c, const sse_field &f, size_t sep) {
    const tamsel_status st = args_of(c).other ? other_data(c, f, sep) : TAMSEL_STATUS_OK;
    if (st != TAMSEL_STATUS_OK) sse_abandon(c);
    return st;
}

// A first data line equal to the end marker may be all the data: it is kept unfed until the
// next data line or the dispatch says.
tamsel_status hold(sse_call &c, const sse_field &f, size_t total) {
    tamsel_sse &s = c.s;
    io::byte_clear(s.held);
    const tamsel_status st =
        io::byte_append(s.held, f.value, f.value_len, s.max_line, s.allocator, &c.scratch);
    if (st != TAMSEL_STATUS_OK) {
        sse_abandon(c);
        return st;
    }
    s.data_bytes = total;
    return st;
}

// Not inlined into json_line: the other lines of an event (event, id, the empty line) would
// pay for the registers it saves.
[[gnu::noinline]] tamsel_status json_data(sse_call &c, const sse_field &f) {
    tamsel_sse &s = c.s;
    const json_args &a = args_of(c);
    if (!s.decided) decide(s, a.filter);
    const size_t sep = s.has_data ? 1 : 0;
    const bool held = s.marker && s.matches; // the line before waits in `held`
    s.has_data = true;
    s.content = true;
    s.marker = a.marker_len && !sep && is_marker(a, f);
    if (!s.matches) return skipped_data(c, f, sep);
    size_t total;
    tamsel_status st = TAMSEL_STATUS_OK;
    if (!checked_add(s.data_bytes, sep, &total) || !checked_add(total, f.value_len, &total) ||
        total > s.max_data)
        st = fail(&c.scratch, TAMSEL_STATUS_OVERFLOW,
                  "SSE JSON event data exceeds configured limit");
    else if (s.parser_active && !same_destination(s, a))
        st = changed(c);
    if (st == TAMSEL_STATUS_OK && a.extended) {
        note_line(s, f); // positions for the extended doors, which alone have a marker
        if (s.marker) return hold(c, f, total);
    }
    if (st == TAMSEL_STATUS_OK && !s.parser_active) st = start_parser(c, a);
    if (st == TAMSEL_STATUS_OK && held) st = feed(c, s.held.data, s.held.length);
    if (st == TAMSEL_STATUS_OK && sep) {
        st = feed(c, "\n", 1);
        ++s.data_bytes;
    }
    if (st == TAMSEL_STATUS_OK && f.value_len) {
        st = feed(c, f.value, f.value_len);
        s.data_bytes += f.value_len;
    }
    if (st != TAMSEL_STATUS_OK) sse_abandon(c);
    return st;
}

// Not inlined into json_line, which the driver's loop holds: the event's other lines would
// pay for the registers it saves.
[[gnu::noinline]] tamsel_status json_dispatch(sse_call &c) {
    tamsel_sse &s = c.s;
    const json_args &a = args_of(c);
    if (!s.content) {
        end_event(s);
        return TAMSEL_STATUS_OK;
    }
    if (!s.decided) decide(s, a.filter);
    if (s.marker) {
        // The end of the stream, whatever `other` says (a failure is still reported).
        const tamsel_status st = other_dispatch(c);
        end_stream(c, TAMSEL_SSE_ENDED_AT_MARKER);
        return st;
    }
    if (!s.matches || !s.has_data) {
        const tamsel_status st = other_dispatch(c);
        end_event(s);
        return st;
    }
    tamsel_status st = TAMSEL_STATUS_OK;
    if (s.parser_active && !same_destination(s, a))
        st = changed(c);
    else if (!s.parser_active)
        st = start_parser(c, a);
    if (st == TAMSEL_STATUS_OK) {
        st = parse::parser_finish(s.p);
        if (st == TAMSEL_STATUS_TRUNCATED) {
            c.truncated = true;
            st = TAMSEL_STATUS_OK;
        } else if (st != TAMSEL_STATUS_OK) {
            st = parser_failed(c, st);
        }
    }
    if (st == TAMSEL_STATUS_OK) {
        const tamsel_sse_event ev = sse_event_of(s, s.data_bytes);
        tamsel_error &e = s.reply;
        parse::clear_kept_error(e);
        int rc = 0;
        if (s.value && a.value_callback)
            rc = a.value_callback(a.user, &ev, s.value, &e);
        else if (!s.value && a.callback)
            rc = a.callback(a.user, &ev, s.dst, &e);
        st = returned(c, rc, e, "SSE JSON callback failed");
    }
    if (st != TAMSEL_STATUS_OK) {
        json_drop(c);
        return st;
    }
    end_event(s); // the destination keeps the event's values
    return TAMSEL_STATUS_OK;
}

tamsel_status json_line(sse_call &c, const char *text, size_t len) {
    if (len == 0) return json_dispatch(c);
    if (text[0] == ':') return TAMSEL_STATUS_OK;
    const sse_field f = sse_split(text, len);
    if (f.kind == sse_kind::data) return json_data(c, f);
    if (f.kind == sse_kind::event && c.s.has_data && filtering(args_of(c).filter)) {
        sse_abandon(c);
        return fail(&c.scratch, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "SSE event name must precede data for streaming JSON filters");
    }
    return sse_common_field(c, f);
}

constexpr sse_ops json_ops{json_line, json_dispatch, json_drop};

// Every JSON door: runtime, destination, allocator, parser and bytes, then the driver.
tamsel_status json_entry(bool finish, bool value_mode, const json_args &given, tamsel_sse *parser,
                         const void *bytes, size_t length, tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(given.runtime, error));
    if (value_mode && !given.value)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    if (!value_mode && (!given.map || !given.dst))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "map and destination are required");
    tamsel_allocator alloc;
    TAMSEL_TRY(require_allocator(borrow.settings()->parse_options.allocator, &alloc, error));
    TAMSEL_TRY(sse_check(parser, sse_family::json, finish, bytes, length, error, given.extended));
    if (given.marker && std::strpbrk(given.marker, "\r\n"))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "SSE end marker must not hold CR or LF");
    clear_error(error);
    if ((given.extended && parser->ended) || (finish && parser->finished)) return TAMSEL_STATUS_OK;
    parser->family = sse_family::json;
    json_args a = given;
    a.settings = borrow.settings();
    sse_call c{*parser, json_ops, error};
    c.family = &a;
    // The driver calls json_line directly: no call through the ops pointer per line.
    tamsel_status st = sse_as_call(c, [&] {
        return finish ? sse_end(c)
                      : sse_run_lines(c, bytes, length,
                                      [](sse_call &call, const char *text, size_t len) {
                                          return json_line(call, text, len);
                                      });
    });
    if (st == TAMSEL_STATUS_OK && c.truncated) {
        if (error) {
            error->code = TAMSEL_STATUS_TRUNCATED;
            error->truncated = 1;
        }
        return TAMSEL_STATUS_TRUNCATED;
    }
    return st;
}

// The arguments of an extended entry point.
json_args extended_args(tamsel_runtime *runtime, const tamsel_map *map, void *dst,
                        tamsel_json_value *value, const tamsel_sse_event_filter *filter,
                        const tamsel_sse_json_handlers *handlers) {
    const tamsel_sse_json_handlers h = handlers ? *handlers : tamsel_sse_json_handlers{};
    json_args a{runtime, nullptr, map, dst, value, filter, h.callback, h.value_callback, h.user};
    a.extended = true;
    a.other = h.other;
    if (h.end_marker && h.end_marker[0]) {
        a.marker = h.end_marker;
        a.marker_len = std::strlen(h.end_marker);
    }
    return a;
}

} // namespace

void sse_json_release(tamsel_sse &s) {
    destroy_parser(s);
    if (s.have_settings) tamsel__runtime_free_owned_config(&s.settings);
    s.have_settings = false;
}

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" tamsel_status tamsel_sse_push_json(tamsel_runtime *runtime, tamsel_sse *parser,
                                              const tamsel_map *map, void *dst, const void *bytes,
                                              size_t length, const tamsel_sse_event_filter *filter,
                                              tamsel_sse_json_callback callback, void *user,
                                              tamsel_error *error) {
    json_args a{runtime, nullptr, map, dst, nullptr, filter, callback, nullptr, user};
    return json_entry(false, false, a, parser, bytes, length, error);
}

extern "C" tamsel_status tamsel_sse_push_json_value(tamsel_runtime *runtime, tamsel_sse *parser,
                                                    tamsel_json_value *value, const void *bytes,
                                                    size_t length,
                                                    const tamsel_sse_event_filter *filter,
                                                    tamsel_sse_json_value_callback callback,
                                                    void *user, tamsel_error *error) {
    json_args a{runtime, nullptr, nullptr, nullptr, value, filter, nullptr, callback, user};
    return json_entry(false, true, a, parser, bytes, length, error);
}

extern "C" tamsel_status tamsel_sse_finish_json(tamsel_runtime *runtime, tamsel_sse *parser,
                                                const tamsel_map *map, void *dst,
                                                const tamsel_sse_event_filter *filter,
                                                tamsel_sse_json_callback callback, void *user,
                                                tamsel_error *error) {
    json_args a{runtime, nullptr, map, dst, nullptr, filter, callback, nullptr, user};
    return json_entry(true, false, a, parser, nullptr, 0, error);
}

extern "C" tamsel_status tamsel_sse_finish_json_value(tamsel_runtime *runtime, tamsel_sse *parser,
                                                      tamsel_json_value *value,
                                                      const tamsel_sse_event_filter *filter,
                                                      tamsel_sse_json_value_callback callback,
                                                      void *user, tamsel_error *error) {
    json_args a{runtime, nullptr, nullptr, nullptr, value, filter, nullptr, callback, user};
    return json_entry(true, true, a, parser, nullptr, 0, error);
}

extern "C" tamsel_status tamsel_sse_push_json_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                 const tamsel_map *map, void *dst,
                                                 const void *bytes, size_t length,
                                                 const tamsel_sse_event_filter *filter,
                                                 const tamsel_sse_json_handlers *handlers,
                                                 tamsel_error *error) {
    const json_args a = extended_args(runtime, map, dst, nullptr, filter, handlers);
    return json_entry(false, false, a, parser, bytes, length, error);
}

extern "C" tamsel_status tamsel_sse_push_json_value_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                       tamsel_json_value *value, const void *bytes,
                                                       size_t length,
                                                       const tamsel_sse_event_filter *filter,
                                                       const tamsel_sse_json_handlers *handlers,
                                                       tamsel_error *error) {
    const json_args a = extended_args(runtime, nullptr, nullptr, value, filter, handlers);
    return json_entry(false, true, a, parser, bytes, length, error);
}

extern "C" tamsel_status tamsel_sse_finish_json_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                                   const tamsel_map *map, void *dst,
                                                   const tamsel_sse_event_filter *filter,
                                                   const tamsel_sse_json_handlers *handlers,
                                                   tamsel_error *error) {
    const json_args a = extended_args(runtime, map, dst, nullptr, filter, handlers);
    return json_entry(true, false, a, parser, nullptr, 0, error);
}

extern "C" tamsel_status
tamsel_sse_finish_json_value_ex(tamsel_runtime *runtime, tamsel_sse *parser,
                                tamsel_json_value *value, const tamsel_sse_event_filter *filter,
                                const tamsel_sse_json_handlers *handlers, tamsel_error *error) {
    const json_args a = extended_args(runtime, nullptr, nullptr, value, filter, handlers);
    return json_entry(true, true, a, parser, nullptr, 0, error);
}

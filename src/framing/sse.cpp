// The SSE parser: options, open and close, the line driver both families run on, and the
// plain family (events reported through begin_event / data_chunk / end_event).
#include "framing/sse_state.hpp"

#include <new>

namespace tamsel::framing {

namespace {

constexpr size_t default_max_line = 65536;
constexpr size_t default_max_data = 1048576;
constexpr size_t default_max_field = 1048576;
constexpr uint8_t bom[3] = {0xEF, 0xBB, 0xBF};

tamsel_status process_line(sse_call &c, const char *text, size_t len) {
    tamsel_sse &s = c.s;
    if (s.discarding) {
        // The empty line that would have dispatched the failed event ends it.
        if (len == 0) {
            s.discarding = false;
            c.ops.drop(c);
        }
        return TAMSEL_STATUS_OK;
    }
    return c.ops.line(c, text, len);
}

} // namespace

// Adds line bytes to the line buffer; an overlong line fails, drops its event and is skipped
// up to its terminator.
tamsel_status sse_append_line(sse_call &c, const void *bytes, size_t n) {
    tamsel_sse &s = c.s;
    tamsel_status st = io::byte_append(s.line, bytes, n, s.max_line, s.allocator, &c.scratch);
    if (st == TAMSEL_STATUS_OK) return st;
    io::byte_clear(s.line);
    s.skipping = true;
    sse_abandon(c);
    return st;
}

// A line ended by a terminator: `bytes[0..n)` are its last bytes.
tamsel_status sse_end_line(sse_call &c, const char *bytes, size_t n) {
    tamsel_sse &s = c.s;
    if (s.skipping) {
        s.skipping = false;
        return TAMSEL_STATUS_OK;
    }
    if (s.line.length == 0) {
        // Whole in the pushed bytes: read in place.
        if (n > s.max_line) {
            sse_abandon(c);
            return fail(&c.scratch, TAMSEL_STATUS_OVERFLOW, "framing buffer limit exceeded");
        }
        return process_line(c, bytes, n);
    }
    if (n) {
        tamsel_status st = sse_append_line(c, bytes, n);
        if (st != TAMSEL_STATUS_OK) {
            s.skipping = false; // the terminator is here
            return st;
        }
    }
    tamsel_status st = process_line(c, s.line.data, s.line.length);
    io::byte_clear(s.line);
    return st;
}

// Matches a byte order mark at the start of the stream; returns the bytes it took.
size_t sse_skip_bom(sse_call &c, const uint8_t *p, size_t n) {
    tamsel_sse &s = c.s;
    size_t i = 0;
    while (i < n && s.bom_seen < 3 && p[i] == bom[s.bom_seen]) {
        ++s.bom_seen;
        ++i;
    }
    if (s.bom_seen == 3) {
        s.bom_done = true;
        s.line_start = 3; // columns count from the first byte after the mark
    } else if (i < n) {
        // Not a mark: the bytes matched so far are the first bytes of the first line.
        s.bom_done = true;
        if (s.bom_seen) sse_note(c, sse_append_line(c, bom, s.bom_seen));
    }
    return i;
}

void sse_note_failure(sse_call &c, tamsel_status st) {
    if (st == TAMSEL_STATUS_TRUNCATED) {
        c.truncated = true;
        return;
    }
    if (c.first != TAMSEL_STATUS_OK) return;
    c.first = st;
    if (c.error) *c.error = c.scratch;
}

tamsel_status sse_run(sse_call &c, const void *bytes, size_t length) {
    return sse_run_lines(c, bytes, length, c.ops.line);
}

tamsel_status sse_end(sse_call &c) {
    tamsel_sse &s = c.s;
    if (!s.bom_done) {
        s.bom_done = true;
        if (s.bom_seen && s.bom_seen < 3) sse_note(c, sse_append_line(c, bom, s.bom_seen));
    }
    s.swallow_lf = false;
    if (s.skipping) {
        s.skipping = false;
    } else if (s.line.length && !c.stop) {
        sse_note(c, sse_end_line(c, nullptr, 0));
    }
    if (!c.stop) {
        if (s.discarding) {
            s.discarding = false;
            c.ops.drop(c);
        } else {
            sse_note(c, c.ops.dispatch(c));
        }
    }
    if (c.first == TAMSEL_STATUS_OK) s.finished = true;
    return c.first;
}

void sse_reset_event(tamsel_sse &s) {
    s.named = false; // the name stays in its buffer for an event line that repeats it
    io::byte_clear(s.id);
    s.content = s.begun = s.has_data = false;
    s.data_bytes = 0;
    s.retry = 0;
    s.has_retry = false;
    s.decided = s.matches = s.routed = s.marker = false;
    s.data_lines = 0;
}

namespace {

// ASCII digits only, non-empty, within 64 bits (checked before each digit).
bool parse_retry(const char *v, size_t n, uint64_t *out) {
    if (n == 0) return false;
    uint64_t acc = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned d = static_cast<unsigned char>(v[i]) - '0';
        if (d > 9) return false;
        if (acc > (UINT64_MAX - d) / 10) return false;
        acc = acc * 10 + d;
    }
    *out = acc;
    return true;
}

// Values up to this long (most ids and event names) are looked at and copied inline, two
// overlapping words at a time, without the calls to memchr, memcmp and memcpy whose set-up
// costs more than the few bytes.
constexpr size_t short_value = 16;

template <class Word> Word load(const char *p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

template <class Word> bool has_zero_byte(Word w) {
    constexpr Word ones = static_cast<Word>(~Word{0}) / 0xFF;
    return ((w - ones) & ~w & (ones << 7)) != 0;
}

// Whether the value holds a NUL byte.
bool holds_nul(const sse_field &f) {
    const char *v = f.value;
    const size_t n = f.value_len;
    if (n > short_value) return std::memchr(v, 0, n) != nullptr;
    if (n >= 8) return has_zero_byte(load<uint64_t>(v)) || has_zero_byte(load<uint64_t>(v + n - 8));
    if (n >= 4) return has_zero_byte(load<uint32_t>(v)) || has_zero_byte(load<uint32_t>(v + n - 4));
    for (size_t i = 0; i < n; ++i)
        if (v[i] == '\0') return true;
    return false;
}

// Whether the buffer holds exactly the value.
bool holds(const io::byte_buffer &b, const sse_field &f) {
    const char *v = f.value;
    const size_t n = f.value_len;
    if (!b.data || b.length != n) return false;
    if (n > short_value) return std::memcmp(b.data, v, n) == 0;
    if (n >= 8)
        return ((load<uint64_t>(b.data) ^ load<uint64_t>(v)) |
                (load<uint64_t>(b.data + n - 8) ^ load<uint64_t>(v + n - 8))) == 0;
    if (n >= 4)
        return ((load<uint32_t>(b.data) ^ load<uint32_t>(v)) |
                (load<uint32_t>(b.data + n - 4) ^ load<uint32_t>(v + n - 4))) == 0;
    for (size_t i = 0; i < n; ++i)
        if (b.data[i] != v[i]) return false;
    return true;
}

tamsel_status replace(sse_call &c, io::byte_buffer &b, const sse_field &f) {
    const size_t n = f.value_len;
    if (n <= short_value && n < b.capacity && n <= c.s.max_field) {
        io::move_short(b.data, f.value, n);
        b.data[n] = '\0';
        b.length = n;
        return TAMSEL_STATUS_OK;
    }
    io::byte_clear(b);
    tamsel_status st = io::byte_append(b, f.value, n, c.s.max_field, c.s.allocator, &c.scratch);
    if (st != TAMSEL_STATUS_OK) sse_abandon(c);
    return st;
}

} // namespace

tamsel_status sse_common_field(sse_call &c, const sse_field &f) {
    tamsel_sse &s = c.s;
    switch (f.kind) {
    case sse_kind::id:
        // An id holding a NUL byte is ignored, as the format says.
        if (holds_nul(f)) return TAMSEL_STATUS_OK;
        s.content = true;
        return replace(c, s.id, f);
    case sse_kind::event:
        s.content = true;
        s.named = true;
        // Streams mostly name every event alike: a name already in the buffer is not copied.
        if (holds(s.name, f)) return TAMSEL_STATUS_OK;
        return replace(c, s.name, f);
    case sse_kind::retry: {
        uint64_t v;
        if (parse_retry(f.value, f.value_len, &v)) {
            s.retry = v;
            s.has_retry = true;
            s.content = true;
        }
        return TAMSEL_STATUS_OK;
    }
    default:
        return TAMSEL_STATUS_OK;
    }
}

tamsel_status sse_callback_failed(sse_call &c, const tamsel_error &from, const char *message) {
    c.stop = true;
    if (from.code != TAMSEL_STATUS_OK && from.code != TAMSEL_STATUS_TRUNCATED) {
        c.scratch = from;
        return from.code;
    }
    return fail(&c.scratch, TAMSEL_STATUS_CALLBACK_FAILED, "%s", message);
}

tamsel_status sse_check(tamsel_sse *s, sse_family family, bool finish, const void *bytes,
                        size_t length, tamsel_error *error, bool ended_ok) {
    if (finish && !s) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "SSE parser is required");
    if (s && s->running.refuses(error, "SSE parser called from its own callback"))
        return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (!s || (!bytes && length))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "SSE parser and bytes are required");
    if (s->family != sse_family::none && s->family != family)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "SSE parser is used by the other family of entry points");
    if (!finish && s->finished && !(ended_ok && s->ended))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "SSE parser is already finished");
    return TAMSEL_STATUS_OK;
}

namespace {

// ---- the plain family -------------------------------------------------------------------

struct plain_args {
    const tamsel_sse_callbacks *callbacks;
    void *user;
};

using event_cb = int (*)(void *, const tamsel_sse_event *, tamsel_error *);

tamsel_status call_event(sse_call &c, event_cb cb, const char *message) {
    if (!cb) return TAMSEL_STATUS_OK;
    auto &a = *static_cast<plain_args *>(c.family);
    const tamsel_sse_event ev = sse_event_of(c.s, c.s.data_bytes);
    tamsel_error e{};
    if (cb(a.user, &ev, &e) == 0) return TAMSEL_STATUS_OK;
    return sse_callback_failed(c, e, message);
}

tamsel_status call_chunk(sse_call &c, const char *bytes, size_t n) {
    auto &a = *static_cast<plain_args *>(c.family);
    if (!a.callbacks->data_chunk) return TAMSEL_STATUS_OK;
    tamsel_error e{};
    if (a.callbacks->data_chunk(a.user, bytes, n, &e) == 0) return TAMSEL_STATUS_OK;
    return sse_callback_failed(c, e, "SSE data_chunk callback failed");
}

tamsel_status plain_data(sse_call &c, const sse_field &f) {
    tamsel_sse &s = c.s;
    auto &a = *static_cast<plain_args *>(c.family);
    const size_t sep = s.has_data ? 1 : 0;
    size_t total;
    if (!checked_add(s.data_bytes, sep, &total) || !checked_add(total, f.value_len, &total) ||
        total > s.max_data) {
        sse_abandon(c);
        return fail(&c.scratch, TAMSEL_STATUS_OVERFLOW, "SSE event data exceeds configured limit");
    }
    s.content = true;
    tamsel_status st = TAMSEL_STATUS_OK;
    if (!s.begun) {
        s.begun = true;
        st = call_event(c, a.callbacks->begin_event, "SSE begin_event callback failed");
    }
    if (st == TAMSEL_STATUS_OK && sep) {
        st = call_chunk(c, "\n", 1);
        ++s.data_bytes;
    }
    if (st == TAMSEL_STATUS_OK && f.value_len) {
        st = call_chunk(c, f.value, f.value_len);
        s.data_bytes += f.value_len;
    }
    s.has_data = true;
    if (st != TAMSEL_STATUS_OK) sse_abandon(c);
    return st;
}

tamsel_status plain_dispatch(sse_call &c) {
    tamsel_sse &s = c.s;
    auto &a = *static_cast<plain_args *>(c.family);
    tamsel_status st = TAMSEL_STATUS_OK;
    if (s.content) {
        if (!s.begun) {
            s.begun = true;
            st = call_event(c, a.callbacks->begin_event, "SSE begin_event callback failed");
        }
        if (st == TAMSEL_STATUS_OK)
            st = call_event(c, a.callbacks->end_event, "SSE end_event callback failed");
    }
    sse_reset_event(s);
    return st;
}

tamsel_status plain_line(sse_call &c, const char *text, size_t len) {
    if (len == 0) return plain_dispatch(c);
    if (text[0] == ':') return TAMSEL_STATUS_OK;
    const sse_field f = sse_split(text, len);
    if (f.kind == sse_kind::data) return plain_data(c, f);
    return sse_common_field(c, f);
}

void plain_drop(sse_call &c) {
    sse_reset_event(c.s);
}

constexpr sse_ops plain_ops{plain_line, plain_dispatch, plain_drop};

size_t or_default(size_t v, size_t d) {
    return v ? v : d;
}

} // namespace

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" tamsel_sse_options tamsel_default_sse_options(void) {
    tamsel_sse_options o{};
    o.max_line_bytes = default_max_line;
    o.max_event_data_bytes = default_max_data;
    o.max_field_bytes = default_max_field;
    o.allocator = nullptr;
    return o;
}

extern "C" tamsel_sse *tamsel_sse_open(const tamsel_sse_options *options, tamsel_error *error) {
    const tamsel_sse_options o = options ? *options : tamsel_default_sse_options();
    tamsel_allocator alloc;
    if (require_allocator(o.allocator, &alloc, error) != TAMSEL_STATUS_OK) return nullptr;
    void *raw = raw_realloc(alloc, nullptr, 0, sizeof(tamsel_sse));
    if (!raw) {
        fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate SSE parser");
        return nullptr;
    }
    auto *s = new (raw) tamsel_sse();
    s->allocator = alloc;
    s->max_line = or_default(o.max_line_bytes, default_max_line);
    s->max_data = or_default(o.max_event_data_bytes, default_max_data);
    s->max_field = or_default(o.max_field_bytes, default_max_field);
    clear_error(error);
    return s;
}

extern "C" tamsel_status tamsel_sse_push(tamsel_sse *parser, const void *bytes, size_t length,
                                         const tamsel_sse_callbacks *callbacks, void *user,
                                         tamsel_error *error) {
    TAMSEL_TRY(sse_check(parser, sse_family::plain, false, bytes, length, error));
    parser->family = sse_family::plain;
    clear_error(error);
    const tamsel_sse_callbacks none{};
    plain_args a{callbacks ? callbacks : &none, user};
    sse_call c{*parser, plain_ops, error};
    c.family = &a;
    return sse_as_call(c, [&] { return sse_run(c, bytes, length); });
}

extern "C" tamsel_status tamsel_sse_finish(tamsel_sse *parser,
                                           const tamsel_sse_callbacks *callbacks, void *user,
                                           tamsel_error *error) {
    TAMSEL_TRY(sse_check(parser, sse_family::plain, true, nullptr, 0, error));
    clear_error(error);
    if (parser->finished) return TAMSEL_STATUS_OK;
    parser->family = sse_family::plain;
    const tamsel_sse_callbacks none{};
    plain_args a{callbacks ? callbacks : &none, user};
    sse_call c{*parser, plain_ops, error};
    c.family = &a;
    return sse_as_call(c, [&] { return sse_end(c); });
}

extern "C" int tamsel_sse_ended(const tamsel_sse *parser) {
    return parser ? parser->ended : TAMSEL_SSE_NOT_ENDED;
}

extern "C" void tamsel_sse_close(tamsel_sse *parser) {
    if (!parser) return;
    if (!parser->running.close_now()) {
        parser->call->stop = true; // from a callback: the running call stops and frees it
        return;
    }
    sse_json_release(*parser);
    const tamsel_allocator alloc = parser->allocator;
    io::byte_buffer_free(parser->line, alloc);
    io::byte_buffer_free(parser->name, alloc);
    io::byte_buffer_free(parser->id, alloc);
    io::byte_buffer_free(parser->held, alloc);
    parser->~tamsel_sse();
    raw_free(alloc, parser, sizeof(tamsel_sse));
}

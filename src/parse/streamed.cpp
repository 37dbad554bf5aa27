// Values the parser hands on while it reads them: spooled fields (text, or bytes decoded from
// base64), string array stream elements, mapped array stream items, and JSON value capture
// (compact text to a sink or the holder's own buffer, or events to a visitor).
#include "io/internal.hpp"
#include "parse/parser.hpp"
#include "text/internal.hpp"
#include "visit/json_value.hpp"

#include <algorithm>
#include <array>

namespace tamsel::parse {

namespace {

constexpr const char *over_budget = "parse allocations exceed configured max bytes";

// Base64 alphabet values; 64 marks '=', 255 anything else.
constexpr std::array<uint8_t, 256> make_base64_values() {
    std::array<uint8_t, 256> t{};
    for (auto &v : t)
        v = 255;
    const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
    t['='] = 64;
    return t;
}
constexpr auto base64_values = make_base64_values();
static_assert(base64_values['A'] == 0 && base64_values['/'] == 63 && base64_values['='] == 64);
static_assert(base64_values[' '] == 255 && base64_values['\n'] == 255);

void *grow_prefix_in_budget(void *ctx, tamsel_spooled *s, size_t size, tamsel_error *,
                            tamsel_status *status) {
    parser &p = *static_cast<parser *>(ctx);
    const uint64_t own = s->memory ? budget_charged_here(p, s->memory) : 0;
    if (size > own && !budget_allows(p, size - own)) {
        *status = p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
        return nullptr;
    }
    void *grown = owned_realloc_parse(p, s->memory, size);
    if (!grown)
        *status =
            p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to expand spooled in-memory prefix");
    return grown;
}

// Decoded bytes the spooled value takes before a limit stops it: its max_bytes, and while its
// prefix is still in memory, the parse budget (the prefix grows to its exact length, so the
// append that first passes what the budget leaves is the one that fails). SIZE_MAX when
// neither bounds it.
uint64_t spool_room(const parser &p, const tamsel_spooled &s) {
    uint64_t room = UINT64_MAX;
    if (s.max_bytes) room = s.total_len < s.max_bytes ? s.max_bytes - s.total_len : 0;
    const uint64_t max = p.options.max_parse_bytes;
    if (max && s.memory_len < s.memory_limit) {
        const uint64_t own = s.memory ? budget_charged_here(p, s.memory) : 0;
        const uint64_t others = p.in_use > own ? p.in_use - own : 0;
        const uint64_t largest = max > others ? max - others : 0;
        if (largest < s.memory_limit)
            room = std::min(room, largest > s.memory_len ? largest - s.memory_len : 0);
    }
    return room;
}

// Appends decoded bytes to the active spooled value, under the budget; failures carry the
// parser's position.
tamsel_status append_decoded(parser &p, const unsigned char *bytes, size_t n) {
    if (n == 0) return TAMSEL_STATUS_OK;
    if (!p.streamed.active)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "streamed field is not active");
    auto *s = static_cast<tamsel_spooled *>(p.streamed.target);
    const size_t offset = p.error.offset, line = p.error.line, column = p.error.column;
    tamsel_status st = io::spooled_append(s, bytes, n, &p.error, grow_prefix_in_budget, &p);
    if (st != TAMSEL_STATUS_OK) {
        p.error.offset = offset;
        p.error.line = line;
        p.error.column = column;
        p.failed = true;
    }
    return st;
}

// Decodes `n` bytes of base64 into the spooled field. A failure keeps what the quartets before
// it decoded and, for bytes as written, points at the offending byte: the same as when the
// bytes arrive one at a time (each quartet appended as it completes).
tamsel_status append_base64(parser &p, const unsigned char *bytes, size_t n, bool as_written) {
    streamed_state &sv = p.streamed;
    const auto *target = static_cast<const tamsel_spooled *>(sv.target);
    unsigned char out[768];
    size_t out_len = 0;
    uint64_t room = spool_room(p, *target);
    size_t i = 0;
    // The position stands at the last byte of the run; byte i is n - 1 - i before it.
    const auto shift = [&](bool back) {
        if (!as_written) return;
        const size_t by = n - 1 - i;
        p.error.offset = back ? p.error.offset - by : p.error.offset + by;
        p.error.column = back ? p.error.column - by : p.error.column + by;
    };
    const auto invalid = [&](const char *message) {
        TAMSEL_TRY(append_decoded(p, out, out_len));
        shift(true);
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "%s", message);
    };
    for (; i < n; ++i) {
        const unsigned char c = bytes[i];
        const uint8_t v = base64_values[c];
        if (v == 255) return invalid("invalid base64 character in streamed field");
        if (sv.padding && c != '=') return invalid("non-padding base64 data after padding");
        if (c == '=') sv.padding = true;
        sv.quartet[sv.quartet_len++] = c;
        if (sv.quartet_len < 4) continue;
        sv.quartet_len = 0;
        const uint8_t a = base64_values[sv.quartet[0]], b = base64_values[sv.quartet[1]];
        const uint8_t c3 = base64_values[sv.quartet[2]], c4 = base64_values[sv.quartet[3]];
        if (a == 64 || b == 64) return invalid("invalid base64 quartet in streamed field");
        if (c3 == 64 && c4 != 64) return invalid("invalid base64 padding in streamed field");
        const size_t before = out_len;
        out[out_len++] = static_cast<unsigned char>((a << 2) | (b >> 4));
        if (c3 != 64) out[out_len++] = static_cast<unsigned char>(((b & 15) << 4) | (c3 >> 2));
        if (c4 != 64) out[out_len++] = static_cast<unsigned char>(((c3 & 3) << 6) | c4);
        if (out_len > room) {
            // This quartet crosses a limit: the ones before it stay, and it fails at its last
            // character.
            TAMSEL_TRY(append_decoded(p, out, before));
            std::memmove(out, out + before, out_len - before);
            out_len -= before;
            shift(true);
            TAMSEL_TRY(append_decoded(p, out, out_len));
            shift(false);
            out_len = 0;
            room = spool_room(p, *target);
        }
        if (out_len > sizeof out - 3) {
            TAMSEL_TRY(append_decoded(p, out, out_len));
            out_len = 0;
            room = spool_room(p, *target);
        }
    }
    return append_decoded(p, out, out_len);
}

uint64_t limit_or_unlimited(uint64_t v) {
    return v ? v : UINT64_MAX;
}

// Writes bytes as the body of a JSON string (no quotes) by the library's escaping rules:
// plain runs in one piece, each escape on its own.
tamsel_status emit_escaped(parser &p, const unsigned char *bytes, size_t n) {
    const unsigned char *q = bytes;
    const unsigned char *const e = bytes + n;
    while (q < e) {
        const unsigned char *r = text::find_escape(q, e);
        if (r > q)
            TAMSEL_TRY(
                capture_emit(p, reinterpret_cast<const char *>(q), static_cast<size_t>(r - q)));
        if (r == e) break;
        char esc[6];
        TAMSEL_TRY(capture_emit(p, esc, text::escape_sequence(*r, esc)));
        q = r + 1;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status visit_call(parser &p, tamsel_status (*fn)(void *, tamsel_error *)) {
    if (!fn) return TAMSEL_STATUS_OK;
    void *user = p.capture.holder->parse_visitor_user;
    return call_out(p, [&](tamsel_error *e) { return fn(user, e); });
}

tamsel_status visit_chunk(parser &p,
                          tamsel_status (*fn)(void *, const char *, size_t, tamsel_error *),
                          const unsigned char *bytes, size_t n) {
    if (!fn) return TAMSEL_STATUS_OK;
    void *user = p.capture.holder->parse_visitor_user;
    return call_out(
        p, [&](tamsel_error *e) { return fn(user, reinterpret_cast<const char *>(bytes), n, e); });
}

bool stops(tamsel_status st) {
    return st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED;
}

} // namespace

// ---- streamed values -----------------------------------------------------------------------

tamsel_status stream_value_begin(parser &p, const tamsel_field &field, void *target,
                                 bool string_stream) {
    if (string_stream) {
        auto *s = static_cast<tamsel_string_array_stream *>(target);
        if (!string_stream_is_initialized(s) || !s->chunk)
            return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                           "string array stream field '%s' has no chunk handler", field.name);
        if (s->active)
            return p.raise(TAMSEL_STATUS_INTERNAL_ERROR,
                           "string array stream field '%s' is already active", field.name);
        if (s->begin) {
            tamsel_status st = call_out(p, [&](tamsel_error *e) { return s->begin(s->user, e); });
            if (stops(st)) return st;
        }
        s->set_handler = tamsel_string_array_stream_set_handler;
        s->active = 1;
    } else {
        auto *s = static_cast<tamsel_spooled *>(target);
        if (io::spooled_is_initialised(s)) {
            // Release this parse's charges for the old content, then start afresh with the
            // same policy and the parse allocator.
            if (s->memory) owned_free_parse(p, std::exchange(s->memory, nullptr));
            s->memory_len = 0;
            if (s->owned_temp_dir && budget_charged_here(p, s->owned_temp_dir)) {
                const uint64_t own = budget_charged_here(p, s->owned_temp_dir);
                p.in_use = p.in_use > own ? p.in_use - own : 0;
                header_of(s->owned_temp_dir)->charge_owner = 0;
                header_of(s->owned_temp_dir)->charged_bytes = 0;
            }
            s->allocator = p.allocator;
            tamsel_spooled_reset(s);
        } else {
            const tamsel_spool_options *options = field.spool_options;
            if (!options && p.settings) {
                uint32_t cls =
                    field.spool_class == 1 || field.spool_class == 2 ? field.spool_class : 0;
                options = &p.settings->spool[cls];
            }
            io::spooled_reinit(s, options, &p.allocator);
        }
        if (s->owned_temp_dir && p.options.max_parse_bytes) {
            tamsel_status st = adopt_block(p, s->owned_temp_dir);
            if (st != TAMSEL_STATUS_OK) {
                tamsel_spooled_cleanup(s);
                return st;
            }
        }
    }
    p.streamed = streamed_state{};
    p.streamed.active = true;
    p.streamed.string_stream = string_stream;
    p.streamed.field = &field;
    p.streamed.target = target;
    return TAMSEL_STATUS_OK;
}

tamsel_status stream_value_append(parser &p, const unsigned char *bytes, size_t n,
                                  bool as_written) {
    streamed_state &sv = p.streamed;
    if (!sv.active) return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "streamed field is not active");
    if (sv.string_stream) {
        auto *s = static_cast<tamsel_string_array_stream *>(sv.target);
        if (!s->chunk)
            return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                           "string array stream field '%s' has no chunk handler", sv.field->name);
        return call_out(p, [&](tamsel_error *e) {
            return s->chunk(s->user, reinterpret_cast<const char *>(bytes), n, e);
        });
    }
    if (sv.field->kind == TAMSEL_FIELD_SPOOLED_BYTES) return append_base64(p, bytes, n, as_written);
    return append_decoded(p, bytes, n);
}

size_t stream_value_room(const parser &p) {
    const streamed_state &sv = p.streamed;
    if (!sv.active || sv.string_stream || sv.field->kind != TAMSEL_FIELD_SPOOLED_TEXT)
        return SIZE_MAX;
    return clamp_to_size(spool_room(p, *static_cast<const tamsel_spooled *>(sv.target)));
}

tamsel_status stream_value_finish(parser &p) {
    streamed_state &sv = p.streamed;
    if (!sv.active) return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "streamed field is not active");
    tamsel_status st = TAMSEL_STATUS_OK;
    if (sv.string_stream) {
        auto *s = static_cast<tamsel_string_array_stream *>(sv.target);
        if (s->end) st = call_out(p, [&](tamsel_error *e) { return s->end(s->user, e); });
        s->active = 0;
    } else if (sv.field->kind == TAMSEL_FIELD_SPOOLED_BYTES && sv.quartet_len != 0) {
        st = p.raise(TAMSEL_STATUS_INVALID_JSON, "incomplete base64 quartet in streamed field");
    }
    sv = streamed_state{};
    p.sink = sink_mode::token;
    return stops(st) ? st : TAMSEL_STATUS_OK;
}

void stream_value_abandon(parser &p) {
    streamed_state &sv = p.streamed;
    if (sv.active && sv.string_stream)
        static_cast<tamsel_string_array_stream *>(sv.target)->active = 0;
    sv = streamed_state{};
}

// ---- mapped array streams --------------------------------------------------------------------

tamsel_status mapped_stream_require_handler(parser &p, const tamsel_field &field,
                                            tamsel_mapped_array_stream *s) {
    if (!mapped_stream_is_initialized(s) || !s->item_map || !s->item || !s->callback)
        return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                       "mapped array stream field '%s' has no item handler", field.name);
    if (!map_is_valid(s->item_map))
        return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                       "mapped array stream field '%s' has an invalid item map", field.name);
    return TAMSEL_STATUS_OK;
}

tamsel_status mapped_stream_finish_item(parser &p) {
    if (p.depth < 2)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR,
                       "mapped array stream item has no parent array");
    frame &item = p.top();
    frame &parent = p.at(p.depth - 2);
    if (parent.kind != frame_array || parent.container != item.container || !parent.dst)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "mapped array stream item parent mismatch");
    const tamsel_field &field = *item.container;
    auto *s = reinterpret_cast<tamsel_mapped_array_stream *>(member(parent.dst, field));
    tamsel_error scratch{};
    scratch.offset = p.error.offset;
    scratch.line = p.error.line;
    scratch.column = p.error.column;
    tamsel_status st = s->callback(s->user, s->item, &scratch);
    reset_map_parse(p, *s->item_map, s->item); // whatever the result
    if (st == TAMSEL_STATUS_TRUNCATED) p.report_truncated = true;
    if (st == TAMSEL_STATUS_TRUNCATED || scratch.truncated) p.error.truncated = 1;
    if (!stops(st)) return TAMSEL_STATUS_OK;
    if (scratch.code == 0)
        return p.raise(st, "mapped array stream field '%s' item callback failed", field.name);
    p.error.code = st;
    p.error.system_errno = scratch.system_errno;
    std::memcpy(p.error.message, scratch.message, sizeof p.error.message);
    p.failed = true;
    return st;
}

// ---- JSON value capture ----------------------------------------------------------------------

tamsel_status capture_begin(parser &p, tamsel_json_value *holder) {
    if (!holder) return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    if (!visit::json_value_is_initialized(holder) || holder->parse_mode == TAMSEL_JSON_PARSE_NONE) {
        // A field's holder is named: its mode is easily lost between items of a stream, whose
        // per-item cleanup resets it unless the field carries TAMSEL_FIELD_CAPTURE.
        const frame *f = p.depth && holder != p.root_holder ? &p.top() : nullptr;
        const tamsel_field *field =
            f ? (f->kind == frame_object ? f->current : f->container) : nullptr;
        if (field && field->name)
            return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                           "JSON value parse requires a configured parse sink, parse visitor, or "
                           "parse capture (field '%s')",
                           field->name);
        return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                       "JSON value parse requires a configured parse sink, parse visitor, or "
                       "parse capture");
    }
    // The holder's old text goes, with its charge to this parse.
    owned_free_parse(p, std::exchange(holder->data, nullptr));
    owned_free_parse(p, std::exchange(holder->path, nullptr));
    holder->kind = TAMSEL_JSON_NONE;
    holder->len = 0;
    holder->reader = nullptr;
    holder->reader_user = nullptr;
    holder->file = nullptr;
    holder->fd = -1;
    capture_state &c = p.capture;
    c = capture_state{};
    c.holder = holder;
    c.active = true;
    c.visitor = holder->parse_mode == TAMSEL_JSON_PARSE_VISITOR && holder->parse_visitor;
    c.sink = holder->parse_mode == TAMSEL_JSON_PARSE_SINK;
    return TAMSEL_STATUS_OK;
}

void capture_end(parser &p) {
    capture_state &c = p.capture;
    // The holder counts as a stored value only once the value is complete.
    if (c.holder && c.holder->parse_mode == TAMSEL_JSON_PARSE_CAPTURE && c.holder->data)
        c.holder->kind = TAMSEL_JSON_BUFFER;
    c = capture_state{};
}

void capture_clear(parser &p) {
    p.capture = capture_state{};
}

tamsel_status capture_emit(parser &p, const char *text, size_t n) {
    capture_state &c = p.capture;
    if (!c.holder)
        return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "JSON value stream has no destination");
    if (c.visitor || n == 0) return TAMSEL_STATUS_OK;
    tamsel_json_value *h = c.holder;
    const uint64_t max_total = limit_or_unlimited(h->limits.max_total_bytes);
    if (n > max_total || c.total > max_total - n)
        return p.raise(TAMSEL_STATUS_OVERFLOW, "JSON value exceeds maximum total byte limit");
    c.total += n;
    if (c.sink) {
        return call_out(
            p, [&](tamsel_error *e) { return h->parse_sink(h->parse_sink_user, text, n, e); });
    }
    if (h->parse_mode != TAMSEL_JSON_PARSE_CAPTURE)
        return p.raise(TAMSEL_STATUS_INVALID_ARGUMENT,
                       "JSON value field has no configured parse sink or capture mode");
    const size_t len = clamp_to_size(h->len);
    size_t need;
    if (!checked_add(len, n, &need) || !checked_add(need, 1, &need))
        return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow captured JSON value");
    if (need > c.data_capacity || !h->data) {
        size_t grown = c.data_capacity ? c.data_capacity : 64;
        while (grown < need)
            grown = grown > SIZE_MAX / 2 ? need : grown * 2;
        const uint64_t own = h->data ? budget_charged_here(p, h->data) : 0;
        if (grown > own && !budget_allows(p, grown - own)) {
            // Never beyond the remaining budget: take what is left if that is enough.
            const uint64_t max = p.options.max_parse_bytes;
            const uint64_t left = max > p.in_use ? max - p.in_use + own : own;
            if (left < need) return p.raise(TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
            grown = static_cast<size_t>(left);
        }
        void *block = owned_realloc_parse(p, h->data, grown);
        if (!block)
            return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow captured JSON value");
        h->data = static_cast<char *>(block);
        c.data_capacity = grown;
    }
    std::memcpy(h->data + len, text, n);
    h->len = len + n;
    h->data[h->len] = '\0';
    return TAMSEL_STATUS_OK;
}

size_t capture_room(const parser &p) {
    const capture_state &c = p.capture;
    const tamsel_value_limits &l = c.holder->limits;
    const uint64_t limit = limit_or_unlimited(c.is_key ? l.max_key_bytes : l.max_string_bytes);
    uint64_t room = limit > c.string_bytes ? limit - c.string_bytes : 0;
    const uint64_t max_total = limit_or_unlimited(l.max_total_bytes);
    room = std::min(room, max_total > c.total ? max_total - c.total : 0);
    const uint64_t max = p.options.max_parse_bytes;
    if (!c.visitor && !c.sink && max) {
        // The buffer takes bytes while they fit its block, or grows up to what the budget
        // leaves (capture_emit), keeping room for the NUL.
        const tamsel_json_value &h = *c.holder;
        const uint64_t own = h.data ? budget_charged_here(p, h.data) : 0;
        uint64_t block = max > p.in_use ? max - p.in_use + own : own;
        if (h.data) block = std::max<uint64_t>(block, c.data_capacity);
        const uint64_t used = h.data ? h.len + 1 : 1;
        room = std::min(room, block > used ? block - used : 0);
    }
    return room > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(room);
}

tamsel_status capture_container(parser &p, bool object, bool open) {
    capture_state &c = p.capture;
    if (!c.visitor) return capture_emit(p, object ? (open ? "{" : "}") : (open ? "[" : "]"), 1);
    const tamsel_value_visitor &v = *c.holder->parse_visitor;
    if (open) {
        if (c.depth + 1 > limit_or_unlimited(c.holder->limits.max_depth))
            return p.raise(TAMSEL_STATUS_OVERFLOW, "JSON value nesting exceeds maximum depth");
        return visit_call(p, object ? v.object_begin : v.array_begin);
    }
    return visit_call(p, object ? v.object_end : v.array_end);
}

tamsel_status capture_string_begin(parser &p, bool key) {
    capture_state &c = p.capture;
    c.is_key = key;
    c.string_bytes = 0;
    if (!c.visitor) return capture_emit(p, "\"", 1);
    const tamsel_value_visitor &v = *c.holder->parse_visitor;
    return visit_call(p, key ? v.key_begin : v.string_begin);
}

tamsel_status capture_string_chunk(parser &p, const unsigned char *bytes, size_t n) {
    capture_state &c = p.capture;
    const tamsel_value_limits &l = c.holder->limits;
    const uint64_t limit = limit_or_unlimited(c.is_key ? l.max_key_bytes : l.max_string_bytes);
    if (n > limit || c.string_bytes > limit - n)
        return p.raise(TAMSEL_STATUS_OVERFLOW,
                       c.is_key ? "JSON object key exceeds maximum decoded byte limit"
                                : "JSON string exceeds maximum decoded byte limit");
    c.string_bytes += n;
    if (!c.visitor) return emit_escaped(p, bytes, n);
    const uint64_t max_total = limit_or_unlimited(l.max_total_bytes);
    if (n > max_total || c.total > max_total - n)
        return p.raise(TAMSEL_STATUS_OVERFLOW, "JSON value exceeds maximum total byte limit");
    c.total += n;
    const tamsel_value_visitor &v = *c.holder->parse_visitor;
    return visit_chunk(p, c.is_key ? v.key_chunk : v.string_chunk, bytes, n);
}

tamsel_status capture_string_end(parser &p) {
    capture_state &c = p.capture;
    if (!c.visitor) return capture_emit(p, "\"", 1);
    const tamsel_value_visitor &v = *c.holder->parse_visitor;
    return visit_call(p, c.is_key ? v.key_end : v.string_end);
}

tamsel_status capture_scalar(parser &p, const unsigned char *token, size_t len, token_type type) {
    capture_state &c = p.capture;
    if (!c.visitor) {
        switch (type) {
        case token_type::string:
            TAMSEL_TRY(capture_string_begin(p, false));
            TAMSEL_TRY(capture_string_chunk(p, token, len));
            return capture_string_end(p);
        case token_type::number:
            return capture_emit(p, reinterpret_cast<const char *>(token), len);
        case token_type::true_value:
            return capture_emit(p, "true", 4);
        case token_type::false_value:
            return capture_emit(p, "false", 5);
        case token_type::null:
            return capture_emit(p, "null", 4);
        }
        return TAMSEL_STATUS_OK;
    }
    const tamsel_value_visitor &v = *c.holder->parse_visitor;
    void *user = c.holder->parse_visitor_user;
    switch (type) {
    case token_type::string:
        TAMSEL_TRY(capture_string_begin(p, false));
        TAMSEL_TRY(capture_string_chunk(p, token, len));
        return capture_string_end(p);
    case token_type::number: {
        tamsel_status st = visit_call(p, v.number_begin);
        if (stops(st)) return st;
        const tamsel_value_limits &l = c.holder->limits;
        if (len > limit_or_unlimited(l.max_number_bytes))
            return p.raise(TAMSEL_STATUS_OVERFLOW, "JSON number exceeds maximum byte limit");
        const uint64_t max_total = limit_or_unlimited(l.max_total_bytes);
        if (len > max_total || c.total > max_total - len)
            return p.raise(TAMSEL_STATUS_OVERFLOW, "JSON value exceeds maximum total byte limit");
        c.total += len;
        st = visit_chunk(p, v.number_chunk, token, len);
        if (stops(st)) return st;
        st = visit_call(p, v.number_end);
        return stops(st) ? st : TAMSEL_STATUS_OK;
    }
    case token_type::true_value:
    case token_type::false_value:
        if (!v.boolean) return TAMSEL_STATUS_OK;
        return call_out(p, [&](tamsel_error *e) {
            return v.boolean(user, type == token_type::true_value ? 1 : 0, e);
        });
    case token_type::null:
        return visit_call(p, v.null);
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status assign_json_scalar(parser &p, tamsel_json_value *holder, const unsigned char *token,
                                 size_t len, token_type type) {
    TAMSEL_TRY(capture_begin(p, holder));
    tamsel_status st = capture_scalar(p, token, len, type);
    if (stops(st)) {
        capture_clear(p);
        return st;
    }
    capture_end(p);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::parse

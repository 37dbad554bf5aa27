// The parser's grammar: the per-byte step and the bulk driver.
//
// Frames move through these states (objects 1-4, arrays 5-6):
//   1 object_key   '"' -> key (then 2); '}' -> close
//   2 object_colon ':' -> 3
//   3 object_value value start -> the value for the current field (then 4)
//   4 object_next  ',' -> 1; '}' -> close
//   5 array_value  value start -> the next element (then 6); ']' -> close
//   6 array_next   ',' -> 5; ']' -> close
// Lexical states: between tokens, string, number, and the three literals. Every byte that
// changes a state goes through step(); the bulk driver only consumes runs of whitespace,
// plain string bytes and number characters.
#include "parse/parser.hpp"
#include "text/internal.hpp"
#include "text/scan.hpp"
#include "visit/internal.hpp"
#include "visit/json_value.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace tamsel::parse {

namespace {

std::atomic<uint64_t> next_serial{1};

using scan::number_chars;

bool is_value_start(uint8_t c) {
    return c == '"' || c == '-' || (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n' ||
           c == '{' || c == '[';
}

inline void advance(parser &p, uint8_t c) {
    ++p.error.offset;
    if (c == '\n') {
        ++p.error.line;
        p.error.column = 0;
    } else {
        ++p.error.column;
    }
}

inline bool continues(tamsel_status st) {
    return st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED;
}

// ---- tokens ----------------------------------------------------------------------------------

// Moves the workspace into a parse allocation of at least `need` bytes (doubling): the frames
// and a live token keep their offsets from the base, the bookkeeping keeps its distance from
// the top. Status 6 over the budget, 8 when the block cannot be had.
tamsel_status grow_workspace(parser &p, size_t need) {
    size_t cap = p.capacity;
    while (cap < need)
        if (!checked_mul(cap, 2, &cap))
            return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow parser workspace");
    const size_t delta = cap - p.capacity;
    const size_t top_bytes = p.capacity - p.book_top;
    if (top_bytes && p.book_top + delta > UINT32_MAX) // seen offsets are 32 bits
        return p.raise(TAMSEL_STATUS_OVERFLOW, "parser workspace exhausted by object bookkeeping");
    if (!budget_allows(p, cap))
        return p.raise(TAMSEL_STATUS_OVERFLOW, "parse allocations exceed configured max bytes");
    auto *block = static_cast<unsigned char *>(owned_malloc_parse(p, cap));
    if (!block) return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to grow parser workspace");
    const size_t low = p.frames_end() + (p.token_live ? p.token_cap : 0);
    std::memcpy(block, p.base, std::min(low, p.book_top));
    std::memcpy(block + p.book_top + delta, p.base + p.book_top, top_bytes);
    for (size_t i = 0; i < p.depth; ++i)
        if (p.at(i).seen_offset)
            reinterpret_cast<frame *>(block)[i].seen_offset += static_cast<uint32_t>(delta);
    p.token = block + (p.token - p.base);
    owned_free_parse(p, p.grown);
    p.grown = block;
    p.base = block;
    p.capacity = cap;
    p.book_top += delta;
    if (p.token_live) p.token_cap = token_space(p);
    return TAMSEL_STATUS_OK;
}

tamsel_status token_start(parser &p) {
    p.token = p.base + p.frames_end();
    p.token_cap = token_space(p);
    p.token_len = 0;
    p.token_live = true;
    if (p.token_cap == 0) {
        if (!p.growable)
            return p.raise(TAMSEL_STATUS_OVERFLOW, "parser workspace exhausted by token");
        TAMSEL_TRY(grow_workspace(p, p.capacity + 64));
    }
    p.token[0] = '\0';
    return TAMSEL_STATUS_OK;
}

tamsel_status token_append(parser &p, const unsigned char *bytes, size_t n, const char *message) {
    // Room for the bytes, a NUL and one spare byte, so a token never touches the bookkeeping.
    if (p.token_cap < p.token_len + 2 || n > p.token_cap - p.token_len - 2) {
        size_t need;
        if (!p.growable || !checked_add(p.capacity, p.token_len, &need) ||
            !checked_add(need, n + 2, &need))
            return p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "%s", message);
        TAMSEL_TRY(grow_workspace(p, need));
    }
    std::memcpy(p.token + p.token_len, bytes, n);
    p.token_len += n;
    return TAMSEL_STATUS_OK;
}

// ---- frames ---------------------------------------------------------------------------------

frame *push_frame(parser &p, uint8_t kind) {
    if (p.options.max_depth && p.depth >= p.options.max_depth) {
        p.raise(TAMSEL_STATUS_OVERFLOW, "maximum nesting depth exceeded");
        return nullptr;
    }
    if (p.frames_end() + sizeof(frame) > p.book_top) {
        // Frames move to the heap only up to a depth the caller chose.
        if (!p.growable || !p.options.max_depth) {
            p.raise(TAMSEL_STATUS_OVERFLOW, "parser workspace exhausted by nesting depth");
            return nullptr;
        }
        if (grow_workspace(p, p.capacity + sizeof(frame)) != TAMSEL_STATUS_OK) return nullptr;
    }
    frame *f = &p.at(p.depth++);
    std::memset(f, 0, sizeof *f);
    f->kind = kind;
    f->state = kind == frame_object ? frame_state::object_key : frame_state::array_value;
    return f;
}

// A failure of the key tracker, recorded at the parse position.
tamsel_status tracker_failed(parser &p, tamsel_status st, const tamsel_error &e) {
    return p.raise(st, "%s", e.message);
}

frame *push_object(parser &p, const tamsel_map *map, void *dst, const tamsel_field *container) {
    if (p.keys && !map) {
        tamsel_error e{};
        tamsel_status st = p.keys->object_begin(&e);
        if (st != TAMSEL_STATUS_OK) {
            tracker_failed(p, st, e);
            return nullptr;
        }
    }
    frame *f = push_frame(p, frame_object);
    if (!f) return nullptr;
    f->map = map;
    f->dst = map ? dst : nullptr;
    f->container = container;
    f->required_left = map ? required_fields(p, *map) : 0;
    return f;
}

frame *push_array(parser &p, void *dst, const tamsel_field *field) {
    frame *f = push_frame(p, frame_array);
    if (!f) return nullptr;
    f->dst = field ? dst : nullptr;
    f->container = field;
    return f;
}

void pop_frame(parser &p) {
    frame &f = p.top();
    if (f.seen_offset) p.book_top += (f.map->field_count + 7) & ~size_t{7};
    if (p.keys && f.kind == frame_object && !f.map) p.keys->object_end();
    --p.depth;
}

tamsel_status track_key(parser &p, const unsigned char *key, size_t len) {
    tamsel_error e{};
    tamsel_status st = p.keys->key(key, len, &e);
    return st == TAMSEL_STATUS_OK ? st : tracker_failed(p, st, e);
}

uint64_t cached_required_mask(parser &p, const tamsel_map &map) {
    auto &slot = p.required_cache[(reinterpret_cast<uintptr_t>(&map) >> 4) & 1];
    if (slot.map != &map) slot = {&map, required_mask(map)};
    return slot.mask;
}

tamsel_status check_required(parser &p, frame &f) {
    const tamsel_map &map = *f.map;
    if (map.field_count <= 64) {
        uint64_t missing = cached_required_mask(p, map) & ~f.seen;
        if (!missing) return TAMSEL_STATUS_OK;
        const tamsel_field &field = map.fields[__builtin_ctzll(missing)];
        return p.raise(TAMSEL_STATUS_MISSING_REQUIRED_FIELD, "missing required field '%s'",
                       field.name);
    }
    const unsigned char *seen = f.seen_offset ? p.base + f.seen_offset : nullptr;
    for (size_t i = 0; i < map.field_count; ++i) {
        if (!(map.fields[i].flags & TAMSEL_FIELD_REQUIRED)) continue;
        if (!seen || !seen[i])
            return p.raise(TAMSEL_STATUS_MISSING_REQUIRED_FIELD, "missing required field '%s'",
                           map.fields[i].name);
    }
    return TAMSEL_STATUS_OK;
}

tamsel_mapped_array_stream *mapped_stream_of(void *dst, const tamsel_field &field) {
    return reinterpret_cast<tamsel_mapped_array_stream *>(member(dst, field));
}

// ---- values ---------------------------------------------------------------------------------

tamsel_status complete_scalar(parser &p, token_type type, const unsigned char *token, size_t len);

tamsel_status close_container(parser &p) {
    frame &f = p.top();
    if (f.kind == frame_object && f.map && (f.required_left || f.stream_item))
        TAMSEL_TRY(check_required(p, f));
    if (p.capture.active) TAMSEL_TRY(capture_container(p, f.kind == frame_object, false));
    if (f.kind == frame_object && f.stream_item) {
        tamsel_status st = mapped_stream_finish_item(p);
        if (!continues(st)) return st;
    }
    if (f.kind == frame_array && f.container &&
        f.container->kind == TAMSEL_FIELD_MAPPED_ARRAY_STREAM)
        mapped_stream_of(f.dst, *f.container)->active = 0;
    pop_frame(p);
    if (p.capture.active && --p.capture.depth == 0) capture_end(p);
    if (p.depth == 0) {
        p.root_complete = true;
        return TAMSEL_STATUS_OK;
    }
    after_value(p);
    return TAMSEL_STATUS_OK;
}

// '{' or '[' for the innermost frame's target (or the root).
tamsel_status start_container(parser &p, uint8_t c) {
    const bool object = c == '{';
    if (p.depth == 0) {
        p.root_started = true;
        if (!p.any_root)
            return push_object(p, p.map, p.dst, nullptr) ? TAMSEL_STATUS_OK : p.error.code;
        if (p.root_holder) {
            TAMSEL_TRY(capture_begin(p, p.root_holder));
            TAMSEL_TRY(capture_container(p, object, true));
        }
        frame *f =
            object ? push_object(p, nullptr, nullptr, nullptr) : push_array(p, nullptr, nullptr);
        if (!f) return p.error.code;
        if (p.capture.active) ++p.capture.depth;
        return TAMSEL_STATUS_OK;
    }
    frame &f = p.top();
    const tamsel_field *field = f.kind == frame_object ? f.current : f.container;
    void *owner = f.dst;
    if (p.capture.active) {
        TAMSEL_TRY(capture_container(p, object, true));
        frame *nf =
            object ? push_object(p, nullptr, nullptr, nullptr) : push_array(p, nullptr, nullptr);
        if (!nf) return p.error.code;
        ++p.capture.depth;
        return TAMSEL_STATUS_OK;
    }
    if (!field) {
        frame *nf =
            object ? push_object(p, nullptr, nullptr, nullptr) : push_array(p, nullptr, nullptr);
        return nf ? TAMSEL_STATUS_OK : p.error.code;
    }
    if (f.kind == frame_object) {
        TAMSEL_TRY(mark_seen(p, f, *field));
        unsigned char *value = member(owner, *field);
        if (field->kind == TAMSEL_FIELD_JSON_VALUE) {
            TAMSEL_TRY(capture_begin(p, reinterpret_cast<tamsel_json_value *>(value)));
            TAMSEL_TRY(capture_container(p, object, true));
            frame *nf = object ? push_object(p, nullptr, nullptr, nullptr)
                               : push_array(p, nullptr, nullptr);
            if (!nf) return p.error.code;
            if (p.capture.active) ++p.capture.depth;
            return TAMSEL_STATUS_OK;
        }
        if (object) {
            if (field->kind != TAMSEL_FIELD_OBJECT)
                return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "field '%s' expects non-object value",
                               field->name);
            reset_map_parse(p, *field->submap, value);
            if (p.failed) return p.error.code;
            return push_object(p, field->submap, value, field) ? TAMSEL_STATUS_OK : p.error.code;
        }
        if (field->kind < TAMSEL_FIELD_STRING_ARRAY ||
            field->kind > TAMSEL_FIELD_MAPPED_ARRAY_STREAM)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "field '%s' is not an array", field->name);
        tamsel_mapped_array_stream *stream = nullptr;
        if (field->kind <= TAMSEL_FIELD_OBJECT_ARRAY) {
            reset_present_array_field(p, *field, value);
        } else if (field->kind == TAMSEL_FIELD_MAPPED_ARRAY_STREAM) {
            stream = reinterpret_cast<tamsel_mapped_array_stream *>(value);
            TAMSEL_TRY(mapped_stream_require_handler(p, *field, stream));
            if (stream->active)
                return p.raise(TAMSEL_STATUS_INTERNAL_ERROR,
                               "mapped array stream field '%s' is already active", field->name);
            stream->active = 1;
        }
        if (!push_array(p, owner, field)) {
            if (stream) stream->active = 0;
            return p.error.code;
        }
        return TAMSEL_STATUS_OK;
    }
    // An element of an array field.
    if (!object)
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "field '%s' does not accept nested arrays",
                       field->name);
    unsigned char *value = member(owner, *field);
    if (field->kind == TAMSEL_FIELD_OBJECT_ARRAY) {
        tamsel_status st = TAMSEL_STATUS_OK;
        void *slot = object_array_append_slot(p, *field,
                                              reinterpret_cast<tamsel_object_array *>(value), &st);
        if (st != TAMSEL_STATUS_OK) return st;
        if (!slot) { // a full fixed array that truncates: the item is skipped
            p.error.truncated = 1;
            if (field->overflow_policy == TAMSEL_OVERFLOW_TRUNCATE) p.report_truncated = true;
            return push_object(p, nullptr, nullptr, nullptr) ? TAMSEL_STATUS_OK : p.error.code;
        }
        return push_object(p, field->submap, slot, nullptr) ? TAMSEL_STATUS_OK : p.error.code;
    }
    if (field->kind == TAMSEL_FIELD_MAPPED_ARRAY_STREAM) {
        auto *stream = reinterpret_cast<tamsel_mapped_array_stream *>(value);
        TAMSEL_TRY(mapped_stream_require_handler(p, *field, stream));
        reset_map_parse(p, *stream->item_map, stream->item);
        if (p.failed) return p.error.code;
        frame *nf = push_object(p, stream->item_map, stream->item, field);
        if (!nf) return p.error.code;
        nf->stream_item = 1;
        return TAMSEL_STATUS_OK;
    }
    return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "array '%s' expects scalar elements", field->name);
}

void start_string(parser &p, sink_mode mode, bool key) {
    p.lex = lex_state::string;
    p.sink = mode;
    p.token_is_key = key;
    p.escape_pending = false;
    p.unicode_left = 0;
    p.pending_high = 0;
    p.unicode_acc = 0;
    p.utf8 = {};
}

tamsel_status start_string_value(parser &p) {
    if (p.depth == 0) {
        p.root_started = true;
        if (p.root_holder) {
            TAMSEL_TRY(capture_begin(p, p.root_holder));
            start_string(p, sink_mode::capture, false);
            return capture_string_begin(p, false);
        }
        start_string(p, sink_mode::discard, false);
        return TAMSEL_STATUS_OK;
    }
    if (p.capture.active) {
        start_string(p, sink_mode::capture, false);
        return capture_string_begin(p, false);
    }
    frame &f = p.top();
    const tamsel_field *field = f.kind == frame_object ? f.current : f.container;
    if (!field) {
        // Unknown keys and skipped values: checked and dropped, whatever their length.
        start_string(p, sink_mode::discard, false);
        return TAMSEL_STATUS_OK;
    }
    if (f.kind == frame_array) {
        if (field->kind == TAMSEL_FIELD_STRING_ARRAY_STREAM) {
            TAMSEL_TRY(stream_value_begin(p, *field, member(f.dst, *field), true));
            start_string(p, sink_mode::streamed, false);
            return TAMSEL_STATUS_OK;
        }
        start_string(p, sink_mode::token, false);
        return token_start(p);
    }
    switch (field->kind) {
    case TAMSEL_FIELD_JSON_VALUE:
        TAMSEL_TRY(capture_begin(p, reinterpret_cast<tamsel_json_value *>(member(f.dst, *field))));
        start_string(p, sink_mode::capture, false);
        return capture_string_begin(p, false);
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
        TAMSEL_TRY(stream_value_begin(p, *field, member(f.dst, *field), false));
        start_string(p, sink_mode::streamed, false);
        return TAMSEL_STATUS_OK;
    case TAMSEL_FIELD_STRING:
        TAMSEL_TRY(direct_begin(p, f, *field));
        start_string(p, sink_mode::direct, false);
        return TAMSEL_STATUS_OK;
    case TAMSEL_FIELD_STRING_ARRAY_STREAM:
    case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "field '%s' is not an array", field->name);
    default:
        start_string(p, sink_mode::token, false);
        return token_start(p);
    }
}

tamsel_status start_value(parser &p, uint8_t c) {
    switch (c) {
    case '"':
        return start_string_value(p);
    case '{':
    case '[':
        return start_container(p, c);
    case 't':
    case 'f':
    case 'n':
        p.lex = c == 't'   ? lex_state::literal_true
                : c == 'f' ? lex_state::literal_false
                           : lex_state::literal_null;
        TAMSEL_TRY(token_start(p));
        return token_append(p, &c, 1, "failed to append literal");
    default: // '-' or a digit
        p.lex = lex_state::number;
        TAMSEL_TRY(token_start(p));
        return token_append(p, &c, 1, "failed to append number");
    }
}

bool mapped_numeric_target(parser &p) {
    if (p.depth == 0 || p.capture.active) return false;
    frame &f = p.top();
    const tamsel_field *field = f.kind == frame_object ? f.current : f.container;
    if (!field) return false;
    if (f.kind == frame_object)
        return field->kind == TAMSEL_FIELD_I64 || field->kind == TAMSEL_FIELD_U64 ||
               field->kind == TAMSEL_FIELD_F64;
    return field->kind == TAMSEL_FIELD_I64_ARRAY || field->kind == TAMSEL_FIELD_U64_ARRAY ||
           field->kind == TAMSEL_FIELD_F64_ARRAY;
}

tamsel_status complete_number(parser &p) {
    p.lex = lex_state::between;
    p.token[p.token_len] = '\0';
    if ((p.any_root || !mapped_numeric_target(p)) &&
        !text::is_valid_json_number(reinterpret_cast<const char *>(p.token), p.token_len))
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid JSON number");
    return complete_scalar(p, token_type::number, p.token, p.token_len);
}

tamsel_status complete_scalar(parser &p, token_type type, const unsigned char *token, size_t len) {
    p.token_live = false;
    tamsel_status st = TAMSEL_STATUS_OK;
    if (p.depth == 0) {
        if (!p.any_root)
            return p.raise(TAMSEL_STATUS_INVALID_JSON, "unexpected scalar at document root");
        // A root number or literal reaches the root holder whole, here.
        if (p.root_holder && !p.capture.active) TAMSEL_TRY(capture_begin(p, p.root_holder));
        if (p.capture.active) {
            st = capture_scalar(p, token, len, type);
            if (!continues(st)) return st;
            capture_end(p);
        }
        p.root_started = true;
        p.root_complete = true;
        return TAMSEL_STATUS_OK;
    }
    frame &f = p.top();
    if (p.capture.active) {
        st = capture_scalar(p, token, len, type);
    } else if (f.kind == frame_object) {
        if (f.current) st = handle_scalar_for_field(p, f, f.current, token, len, type);
    } else if (f.container) {
        st = handle_array_scalar(p, f, token, len, type);
    }
    if (!continues(st)) {
        p.failed = true;
        return st;
    }
    if (st == TAMSEL_STATUS_TRUNCATED) p.report_truncated = true;
    after_value(p);
    return TAMSEL_STATUS_OK;
}

tamsel_status complete_key(parser &p) {
    p.token_live = false;
    if (p.depth == 0)
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "object key outside object context");
    frame &f = p.top();
    if (f.kind != frame_object || f.state != frame_state::object_key)
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "object key outside object context");
    if (p.keys && !f.map) TAMSEL_TRY(track_key(p, p.token, p.token_len));
    f.current =
        f.map ? lookup_key(p, f, reinterpret_cast<const char *>(p.token), p.token_len) : nullptr;
    f.state = frame_state::object_colon;
    return TAMSEL_STATUS_OK;
}

tamsel_status sink_write(parser &p, const unsigned char *bytes, size_t n, bool unicode) {
    switch (p.sink) {
    case sink_mode::token:
        return token_append(
            p, bytes, n, unicode ? "failed to append unicode escape" : "failed to append string");
    case sink_mode::direct:
        return direct_append(p, bytes, n);
    case sink_mode::streamed:
        return stream_value_append(p, bytes, n, !unicode);
    case sink_mode::capture:
        return capture_string_chunk(p, bytes, n);
    case sink_mode::discard:
        return TAMSEL_STATUS_OK;
    }
    return p.raise(TAMSEL_STATUS_INTERNAL_ERROR,
                   unicode ? "invalid unicode append mode" : "invalid string append mode");
}

// Bytes the current string sink takes before one of its limits stops it; SIZE_MAX when it has
// none. The bulk driver hands a sink the bytes up to its limit, then the crossing byte alone,
// as when bytes arrive one at a time: neither the error position nor what the sink kept may
// depend on how the input was split.
size_t token_room(const parser &p) {
    return p.token_cap >= p.token_len + 2 ? p.token_cap - p.token_len - 2 : 0;
}

size_t sink_room(const parser &p) {
    switch (p.sink) {
    case sink_mode::token:
        return token_room(p);
    case sink_mode::direct:
        return direct_room(p);
    case sink_mode::streamed:
        return stream_value_room(p);
    case sink_mode::capture:
        return capture_room(p);
    default:
        return SIZE_MAX;
    }
}

tamsel_status end_string(parser &p) {
    p.lex = lex_state::between;
    switch (p.sink) {
    case sink_mode::token:
        if (p.token_is_key) return complete_key(p);
        return complete_scalar(p, token_type::string, p.token, p.token_len);
    case sink_mode::direct: {
        tamsel_status st = direct_finish(p);
        if (!continues(st)) return st;
        if (st == TAMSEL_STATUS_TRUNCATED) p.report_truncated = true;
        after_value(p);
        return TAMSEL_STATUS_OK;
    }
    case sink_mode::streamed:
        TAMSEL_TRY(stream_value_finish(p));
        return complete_scalar(p, token_type::string, reinterpret_cast<const unsigned char *>(""),
                               0);
    case sink_mode::capture:
        TAMSEL_TRY(capture_string_end(p));
        return complete_streamed_string(p);
    case sink_mode::discard:
        return complete_scalar(p, token_type::string, reinterpret_cast<const unsigned char *>(""),
                               0);
    }
    return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "invalid string completion mode");
}

tamsel_status utf8_failed(parser &p) {
    return p.raise(TAMSEL_STATUS_INVALID_JSON,
                   p.token_is_key ? "invalid UTF-8 in key" : "invalid UTF-8 in string");
}

tamsel_status on_string(parser &p, uint8_t c) {
    if (p.unicode_left) {
        int h = text::hex_value(c);
        if (h < 0) return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid unicode escape");
        p.unicode_acc = p.unicode_acc * 16 + static_cast<uint32_t>(h);
        if (--p.unicode_left) return TAMSEL_STATUS_OK;
        uint32_t cp = p.unicode_acc;
        if (p.pending_high) {
            if (cp < 0xDC00 || cp > 0xDFFF)
                return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
            cp = 0x10000 + ((static_cast<uint32_t>(p.pending_high) - 0xD800) << 10) + (cp - 0xDC00);
            p.pending_high = 0;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return p.raise(TAMSEL_STATUS_INVALID_JSON, "unexpected low surrogate");
        } else if (cp >= 0xD800 && cp <= 0xDBFF) {
            p.pending_high = static_cast<uint16_t>(cp);
            return TAMSEL_STATUS_OK;
        }
        if (cp == 0 && p.sink == sink_mode::direct)
            return p.raise(TAMSEL_STATUS_TYPE_MISMATCH,
                           "field '%s' contains embedded NUL unsupported by C strings",
                           p.direct.field ? p.direct.field->name : "<unknown>");
        unsigned char out[4];
        return sink_write(p, out, text::encode_utf8(cp, out), true);
    }
    if (p.escape_pending) {
        p.escape_pending = false;
        // The low half of a pair must follow its high half at once.
        if (p.pending_high && c != 'u')
            return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
        if (c == 'u') {
            p.unicode_left = 4;
            p.unicode_acc = 0;
            return TAMSEL_STATUS_OK;
        }
        const unsigned char out = text::unescape_table[c];
        if (!out) return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid escape sequence");
        return sink_write(p, &out, 1, false);
    }
    // Every byte of the string's text is checked first, so a sequence cut short is reported at
    // the byte that interrupts it, whatever that byte is.
    if (p.utf8_check && (c >= 0x80 || p.utf8.due) && !scan::utf8_step(p.utf8, c))
        return utf8_failed(p);
    if (c == '"') {
        if (p.pending_high)
            return p.raise(TAMSEL_STATUS_INVALID_JSON, "unterminated unicode surrogate pair");
        return end_string(p);
    }
    if (p.pending_high && c != '\\')
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
    if (c == '\\') {
        p.escape_pending = true;
        return TAMSEL_STATUS_OK;
    }
    if (c < 0x20) return p.raise(TAMSEL_STATUS_INVALID_JSON, "control character in string literal");
    return sink_write(p, &c, 1, false);
}

tamsel_status on_literal(parser &p, uint8_t c) {
    static constexpr const char *words[] = {"true", "false", "null"};
    const int which = p.lex == lex_state::literal_true    ? 0
                      : p.lex == lex_state::literal_false ? 1
                                                          : 2;
    const char *word = words[which];
    if (c != static_cast<uint8_t>(word[p.token_len]))
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "invalid literal");
    TAMSEL_TRY(token_append(p, &c, 1, "failed to append literal"));
    if (word[p.token_len] != '\0') return TAMSEL_STATUS_OK;
    p.lex = lex_state::between;
    p.token[p.token_len] = '\0';
    const token_type type = which == 0   ? token_type::true_value
                            : which == 1 ? token_type::false_value
                                         : token_type::null;
    return complete_scalar(p, type, p.token, p.token_len);
}

tamsel_status on_between(parser &p, uint8_t c) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return TAMSEL_STATUS_OK;
    if (p.depth == 0) {
        if (p.root_complete) return p.raise(TAMSEL_STATUS_INVALID_JSON, "unexpected trailing data");
        if (!p.any_root) {
            if (c != '{')
                return p.raise(TAMSEL_STATUS_TYPE_MISMATCH, "root value must be an object");
            return start_container(p, c);
        }
        if (!is_value_start(c)) return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected JSON value");
        return start_value(p, c);
    }
    frame &f = p.top();
    switch (f.state) {
    case frame_state::object_key:
        if (c == '"') {
            f.after_comma = 0;
            if (p.capture.active) {
                start_string(p, sink_mode::capture, true);
                return capture_string_begin(p, true);
            }
            start_string(p, sink_mode::token, true);
            return token_start(p);
        }
        if (c == '}') {
            if (f.after_comma)
                return p.raise(TAMSEL_STATUS_INVALID_JSON, "trailing comma in object");
            return close_container(p);
        }
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected object key");
    case frame_state::object_colon:
        if (c != ':') return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected ':' after object key");
        f.state = frame_state::object_value;
        return TAMSEL_STATUS_OK;
    case frame_state::object_value:
        if (!is_value_start(c)) return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected JSON value");
        f.after_comma = 0;
        return start_value(p, c);
    case frame_state::object_next:
        if (c == ',') {
            f.state = frame_state::object_key;
            f.after_comma = 1;
            return p.capture.active ? capture_emit(p, ",", 1) : TAMSEL_STATUS_OK;
        }
        if (c == '}') return close_container(p);
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected ',' or '}' in object");
    case frame_state::array_value:
        if (c == ']') {
            if (f.after_comma)
                return p.raise(TAMSEL_STATUS_INVALID_JSON, "trailing comma in array");
            return close_container(p);
        }
        if (!is_value_start(c)) return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected array value");
        f.after_comma = 0;
        return start_value(p, c);
    case frame_state::array_next:
        if (c == ',') {
            f.state = frame_state::array_value;
            f.after_comma = 1;
            return p.capture.active ? capture_emit(p, ",", 1) : TAMSEL_STATUS_OK;
        }
        if (c == ']') return close_container(p);
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "expected ',' or ']' in array");
    }
    return p.raise(TAMSEL_STATUS_INTERNAL_ERROR,
                   f.kind == frame_object ? "invalid object state" : "invalid array state");
}

// The per-byte step: the whole grammar for one byte (its position already counted).
tamsel_status step(parser &p, uint8_t c) {
    switch (p.lex) {
    case lex_state::between:
        return on_between(p, c);
    case lex_state::string:
        return on_string(p, c);
    case lex_state::number:
        if (number_chars[c]) return token_append(p, &c, 1, "failed to append number");
        TAMSEL_TRY(complete_number(p));
        return on_between(p, c);
    case lex_state::literal_true:
    case lex_state::literal_false:
    case lex_state::literal_null:
        return on_literal(p, c);
    }
    return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "invalid parser state");
}

// A whole literal at q for the value frame `f`: completed in place, as its last byte would
// complete it; returns its length (with the completion's status in `*st`), or 0 when it is not
// whole in [q, e) or the token room would not take it, for the step to read.
__attribute__((noinline)) size_t whole_literal(parser &p, frame &f, const uint8_t *q,
                                               const uint8_t *e, tamsel_status *st) {
    static constexpr const char *words[] = {"true", "false", "null"};
    const int which = *q == 't' ? 0 : *q == 'f' ? 1 : 2;
    const size_t n = scan::literal_length(q, e);
    if (!n || n + 2 > token_space(p)) return 0;
    p.error.offset += n;
    p.error.column += n;
    f.after_comma = 0;
    if (!(f.state == frame_state::object_value ? f.current : f.container)) {
        after_value(p);
        return n;
    }
    p.token_live = true; // as if the step had gathered it
    p.token_len = n;
    *st = complete_scalar(p,
                          which == 0   ? token_type::true_value
                          : which == 1 ? token_type::false_value
                                       : token_type::null,
                          reinterpret_cast<const unsigned char *>(words[which]), n);
    return n;
}

// A whole valid escape at q inside a string: its decoded bytes go to the sink as its last byte
// would send them; returns its length (the sink's status in `*st`), or 0 for the step to read
// it and report what is wrong with it.
__attribute__((noinline)) size_t whole_escape(parser &p, const uint8_t *q, const uint8_t *e,
                                              tamsel_status *st) {
    uint32_t cp;
    const size_t n = scan::escape_length(q, e, &cp);
    if (!n || (cp == 0 && p.sink == sink_mode::direct)) return 0;
    p.error.offset += n;
    p.error.column += n;
    unsigned char out[4];
    out[0] = static_cast<unsigned char>(cp);
    *st = n == 2 ? sink_write(p, out, 1, false)
                 : sink_write(p, out, text::encode_utf8(cp, out), true);
    return n;
}

// Whitespace between tokens, with line counting.
const uint8_t *skip_whitespace(parser &p, const uint8_t *q, const uint8_t *e) {
    size_t lines = 0;
    const uint8_t *last_newline = nullptr;
    const uint8_t *r = scan::whitespace_run(q, e, &lines, &last_newline);
    p.error.offset += static_cast<size_t>(r - q);
    if (lines) {
        p.error.line += lines;
        p.error.column = static_cast<size_t>(r - last_newline - 1);
    } else {
        p.error.column += static_cast<size_t>(r - q);
    }
    return r;
}

} // namespace

tamsel_status parser::raise(tamsel_status code, const char *format, ...) {
    char message[TAMSEL_ERROR_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
    va_end(args);
    tamsel__set_error(&error, code, error.offset, error.line, error.column, "%s", message);
    failed = true;
    return code;
}

tamsel_status mark_seen(parser &p, frame &f, const tamsel_field &field) {
    const tamsel_map &map = *f.map;
    const size_t index = static_cast<size_t>(&field - map.fields);
    bool seen_before;
    if (map.field_count <= 64) {
        const uint64_t bit = uint64_t{1} << index;
        seen_before = f.seen & bit;
        f.seen |= bit;
    } else {
        if (!f.seen_offset) {
            const size_t reserve = (map.field_count + 7) & ~size_t{7};
            // The live token lies above the frames: the carve may not reach into it.
            const size_t occupied = p.frames_end() + (p.token_live ? p.token_len + 1 : 0);
            if (p.book_top < reserve || p.book_top - reserve < occupied ||
                p.book_top - reserve > UINT32_MAX)
                return p.raise(TAMSEL_STATUS_OVERFLOW,
                               "parser workspace exhausted by object bookkeeping");
            p.book_top -= reserve;
            f.seen_offset = static_cast<uint32_t>(p.book_top);
            std::memset(p.base + p.book_top, 0, map.field_count);
        }
        unsigned char *seen = p.base + f.seen_offset;
        seen_before = seen[index] != 0;
        seen[index] = 1;
    }
    if (seen_before) {
        if (p.options.reject_duplicates)
            return p.raise(TAMSEL_STATUS_DUPLICATE_FIELD, "duplicate field '%s'", field.name);
        return TAMSEL_STATUS_OK;
    }
    if ((field.flags & TAMSEL_FIELD_REQUIRED) && f.required_left) --f.required_left;
    return TAMSEL_STATUS_OK;
}

void after_value(parser &p) {
    frame &f = p.top();
    if (f.kind == frame_object) {
        f.state = frame_state::object_next;
        f.current = nullptr;
    } else {
        f.state = frame_state::array_next;
    }
}

tamsel_status complete_streamed_string(parser &p) {
    const bool key = p.capture.is_key;
    if (p.depth == 0) {
        if (p.any_root && p.capture.active) {
            capture_end(p);
            p.root_started = p.root_complete = true;
            return TAMSEL_STATUS_OK;
        }
        return p.raise(TAMSEL_STATUS_INVALID_JSON, "unexpected scalar at document root");
    }
    frame &f = p.top();
    if (key) {
        if (f.kind != frame_object || f.state != frame_state::object_key)
            return p.raise(TAMSEL_STATUS_INVALID_JSON, "object key outside object context");
        f.current = nullptr;
        f.state = frame_state::object_colon;
        return capture_emit(p, ":", 1);
    }
    if (f.kind == frame_object) {
        if (f.current && f.current->kind == TAMSEL_FIELD_JSON_VALUE && p.capture.depth == 0) {
            // A whole string value of a JSON value field: the capture ends here.
            TAMSEL_TRY(mark_seen(p, f, *f.current));
            capture_end(p);
        }
        after_value(p);
        return TAMSEL_STATUS_OK;
    }
    if (f.kind == frame_array) {
        after_value(p);
        return TAMSEL_STATUS_OK;
    }
    return p.raise(TAMSEL_STATUS_INTERNAL_ERROR, "invalid streamed string context");
}

namespace {

// What parser_init and parser_restart share once the configuration is in place: the workspace
// taken from its start, a fresh serial for the budget's charges, the map's analysis, and the
// destination's blocks adopted when init_destination is off.
tamsel_status start_document(parser &p, const init_args &a) {
    p.error.line = 1;
    auto ws = reinterpret_cast<uintptr_t>(a.workspace);
    uintptr_t aligned = (ws + 7) & ~uintptr_t{7};
    p.base = reinterpret_cast<unsigned char *>(aligned);
    p.capacity = workspace_bytes - static_cast<size_t>(aligned - ws);
    p.book_top = p.capacity;
    p.token = p.base;
    p.serial = next_serial.fetch_add(1, std::memory_order_relaxed);
    if (p.map) {
        map_analysis analysis = a.analysis ? *a.analysis : analyze_map(p.map);
        p.may_allocate = analysis.may_allocate;
        p.alloc_mask = analysis.adopt_mask;
    }
    if (p.map && p.dst && !p.options.init_destination && p.options.max_parse_bytes &&
        p.may_allocate)
        return adopt_existing(p, *p.map, p.dst, p.alloc_mask);
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_status parser_init(parser &p, const init_args &a) {
    p = parser{};
    p.map = a.any_root ? nullptr : a.map;
    p.dst = a.any_root ? nullptr : a.dst;
    p.settings = a.settings;
    p.runtime = a.runtime;
    p.any_root = a.any_root;
    p.growable = a.growable;
    p.keys = a.any_root ? a.keys : nullptr;
    p.cache = a.cache;
    p.utf8_check = a.settings && a.settings->checks_utf8();
    p.options = a.options ? *a.options : tamsel__default_parse_options();
    p.allocator = inherit_allocator(p.options.allocator);
    return start_document(p, a);
}

// Keep in step with the members of `parser`: every per-document member is set here.
static_assert(sizeof(void *) != 8 || sizeof(parser) == 672,
              "a member was added to parser: set it in parser_restart");

tamsel_status parser_restart(parser &p, const init_args &a) {
    p.depth = 0;
    p.grown = nullptr; // parser_destroy freed it
    p.heap = false;
    p.failed = false;
    p.any_root = a.any_root;
    p.root_started = false;
    p.root_complete = false;
    p.lex = lex_state::between;
    p.sink = sink_mode::token;
    p.token_is_key = false;
    p.escape_pending = false;
    p.unicode_left = 0;
    p.pending_high = 0;
    p.unicode_acc = 0;
    p.utf8_check = a.settings && a.settings->checks_utf8();
    p.utf8 = {};
    p.token_len = 0;
    p.token_cap = 0;
    p.token_live = false;
    p.direct = direct_string{};
    p.streamed = streamed_state{};
    p.capture = capture_state{};
    p.root_holder = nullptr;
    p.in_use = 0;
    p.may_allocate = false;
    p.alloc_mask = 0;
    p.required_cache[0] = {};
    p.required_cache[1] = {};
    p.map = a.any_root ? nullptr : a.map;
    p.dst = a.any_root ? nullptr : a.dst;
    p.keys = a.any_root ? a.keys : nullptr;
    p.cache = a.cache;
    p.scratch_held = false; // parser_destroy gave it back
    p.report_truncated = false;
    // A message is written from its first byte, so a record whose message is empty is clear
    // but for its numbers.
    if (p.error.message[0]) {
        tamsel_error_init(&p.error);
    } else {
        p.error.code = TAMSEL_STATUS_OK;
        p.error.column = 0;
        p.error.offset = 0;
        p.error.system_errno = 0;
        p.error.truncated = 0;
    }
    return start_document(p, a);
}

tamsel_status parser_start(parser &p, const init_args &a, bool &set_up) {
    const tamsel_status st = set_up ? parser_restart(p, a) : parser_init(p, a);
    set_up = true;
    return st;
}

tamsel_status parser_feed(parser &p, const void *bytes, size_t len, size_t *consumed,
                          bool stop_after_root) {
    if (consumed) *consumed = 0;
    if (!bytes && len) {
        tamsel__set_error(&p.error, TAMSEL_STATUS_INVALID_ARGUMENT, 0, 0, 0,
                          "invalid parser feed arguments");
        p.failed = true;
        return TAMSEL_STATUS_INVALID_ARGUMENT;
    }
    if (p.failed) return p.error.code;
    if (len == 0) return TAMSEL_STATUS_OK;
    const uint8_t *start = static_cast<const uint8_t *>(bytes);
    const uint8_t *q = start;
    const uint8_t *const e = start + len;
    // A failure: the bytes through `at` count as consumed (the failing byte included, as byte by
    // byte), and the parser stays failed.
    auto fail_at = [&](const uint8_t *at, tamsel_status st) {
        if (consumed) *consumed = static_cast<size_t>(at - start);
        p.failed = true;
        return st;
    };
    while (q < e) {
        switch (p.lex) {
        case lex_state::between: {
            if (stop_after_root && p.depth == 0 && p.root_complete) goto done;
            const uint8_t c = *q;
            if (c <= ' ') {
                if (c == ' ' && q + 1 < e && q[1] > ' ') { // ", " and ": "
                    ++p.error.offset;
                    ++p.error.column;
                    ++q;
                    continue;
                }
                const uint8_t *r = skip_whitespace(p, q, e);
                if (r != q) {
                    q = r;
                    continue;
                }
                break;
            }
            if (p.depth == 0 && c == '{' && !p.any_root && !p.root_complete) {
                // A mapped document's opening brace, as the step takes it.
                advance(p, c);
                ++q;
                p.root_started = true;
                if (!push_object(p, p.map, p.dst, nullptr)) return fail_at(q, p.error.code);
                // Its members follow: the skim takes them at once, without another turn of
                // the loop (it leaves what it does not take as the loop would find it).
                if (q < e && can_skim(p)) {
                    const uint8_t *r = skim(p, q, e);
                    if (p.failed) return fail_at(r, p.error.code);
                    q = r;
                }
                continue;
            }
            if (p.depth == 0 || p.capture.active) break;
            if (can_skim(p)) {
                const uint8_t *r = skim(p, q, e);
                if (p.failed) return fail_at(r, p.error.code);
                if (r != q) {
                    q = r;
                    continue;
                }
            }
            frame &f = p.top();
            if (c == ',' &&
                (f.state == frame_state::array_next || f.state == frame_state::object_next)) {
                f.state = f.state == frame_state::array_next ? frame_state::array_value
                                                             : frame_state::object_key;
                f.after_comma = 1;
                advance(p, c);
                ++q;
                continue;
            }
            if (c == ':' && f.state == frame_state::object_colon) {
                f.state = frame_state::object_value;
                advance(p, c);
                ++q;
                continue;
            }
            if ((c == '[' || c == '{') &&
                (f.state == frame_state::array_value || f.state == frame_state::object_value) &&
                !(f.state == frame_state::object_value ? f.current : f.container)) {
                // A container nobody maps (validation, skipped values): push it right here.
                advance(p, c);
                ++q;
                f.after_comma = 0;
                frame *nf = c == '{' ? push_object(p, nullptr, nullptr, nullptr)
                                     : push_array(p, nullptr, nullptr);
                if (!nf) return fail_at(q, p.error.code);
                continue;
            }
            if ((c == ']' || c == '}') && !f.map && !f.container && !f.stream_item &&
                (c == ']' ? f.kind == frame_array &&
                                (f.state == frame_state::array_next ||
                                 (f.state == frame_state::array_value && !f.after_comma))
                          : f.kind == frame_object &&
                                (f.state == frame_state::object_next ||
                                 (f.state == frame_state::object_key && !f.after_comma)))) {
                // Closing a container with nothing to check or hand over.
                advance(p, c);
                ++q;
                if (p.keys && f.kind == frame_object) p.keys->object_end();
                --p.depth;
                if (p.depth == 0)
                    p.root_complete = true;
                else
                    after_value(p);
                continue;
            }
            if (c == '"' && f.state != frame_state::object_colon &&
                f.state != frame_state::object_next && f.state != frame_state::array_next) {
                // A whole string without escapes in this input: keys and the common values are
                // handled in place, with the position moving exactly as byte by byte.
                // With the UTF-8 check on, only a well-formed body is taken here; any other goes
                // byte by byte, which reports the first bad byte.
                const uint8_t *body = q + 1;
                const uint8_t *close =
                    p.utf8_check ? scan::plain_ascii_run(body, e) : scan::plain_run(body, e);
                if (p.utf8_check && close < e && *close >= 0x80)
                    close = scan::utf8_plain_run(close, e);
                if (close && close < e && *close == '\\' && f.state != frame_state::object_key &&
                    !(f.state == frame_state::object_value ? f.current : f.container))
                    close = p.utf8_check ? scan::checked_string_body_end(close, e)
                                         : scan::string_body_end(close, e); // dropped: checked only
                if (close && close < e && *close == '"') {
                    const size_t n = static_cast<size_t>(close - body);
                    const size_t room = token_space(p);
                    tamsel_status st = TAMSEL_STATUS_OK;
                    bool handled = false;
                    if (f.state == frame_state::object_key) {
                        if (n + 2 <= room) {
                            f.after_comma = 0;
                            p.error.offset += n + 2;
                            p.error.column += n + 2;
                            if (p.keys && !f.map) st = track_key(p, body, n);
                            f.current =
                                f.map ? lookup_key(p, f, reinterpret_cast<const char *>(body), n)
                                      : nullptr;
                            f.state = frame_state::object_colon;
                            handled = true;
                        }
                    } else {
                        const tamsel_field *field =
                            f.state == frame_state::object_value ? f.current : f.container;
                        if (!field) {
                            f.after_comma = 0;
                            p.error.offset += n + 2;
                            p.error.column += n + 2;
                            st = complete_scalar(p, token_type::string,
                                                 reinterpret_cast<const unsigned char *>(""), 0);
                            handled = true;
                        } else if (f.state == frame_state::object_value &&
                                   field->kind == TAMSEL_FIELD_STRING) {
                            f.after_comma = 0;
                            advance(p, '"');
                            st = direct_begin(p, f, *field);
                            // Up to a limit, then the crossing byte alone, as byte by byte:
                            // where a limit fails must not depend on how the input was split.
                            const size_t room_left = direct_room(p);
                            size_t done = 0;
                            auto put = [&](size_t k) {
                                p.error.offset += k;
                                p.error.column += k;
                                st = direct_append(p, body + done, k);
                                done += k;
                            };
                            if (st == TAMSEL_STATUS_OK && n) put(n > room_left ? room_left : n);
                            if (st == TAMSEL_STATUS_OK && done < n) put(1);
                            if (st == TAMSEL_STATUS_OK && done < n) put(n - done);
                            // Consumed on failure: through the failing byte, as byte by byte
                            // (a stream resumes there).
                            const uint8_t *stop = body + done;
                            if (st == TAMSEL_STATUS_OK) {
                                advance(p, '"');
                                stop = close + 1;
                                st = direct_finish(p);
                                if (st == TAMSEL_STATUS_TRUNCATED) p.report_truncated = true;
                                if (continues(st)) after_value(p);
                            }
                            if (!continues(st)) {
                                direct_abandon(p);
                                return fail_at(stop, st);
                            }
                            handled = true;
                        }
                    }
                    if (handled) {
                        q = close + 1;
                        if (!continues(st)) {
                            return fail_at(q, st);
                        }
                        continue;
                    }
                }
            }
            if ((c == 't' || c == 'f' || c == 'n') &&
                (f.state == frame_state::array_value || f.state == frame_state::object_value)) {
                tamsel_status st = TAMSEL_STATUS_OK;
                if (const size_t n = whole_literal(p, f, q, e, &st)) {
                    q += n;
                    if (!continues(st)) {
                        return fail_at(q, st);
                    }
                    continue;
                }
            }
            if ((c == '-' || scan::digit(c)) &&
                (f.state == frame_state::array_value || f.state == frame_state::object_value)) {
                // A whole number in this input: complete it in place, exactly as the step
                // would when its terminating byte arrives (which is then processed too).
                const uint8_t *r = scan::valid_number(q, e);
                const size_t room = token_space(p);
                if (r && static_cast<size_t>(r - q) + 2 <= room) {
                    const size_t n = static_cast<size_t>(r - q);
                    p.error.offset += n;
                    p.error.column += n;
                    f.after_comma = 0;
                    p.token_live = true;
                    p.token_len = n;
                    const uint8_t t = *r;
                    advance(p, t);
                    tamsel_status st = TAMSEL_STATUS_OK;
                    if (!(f.state == frame_state::object_value ? f.current : f.container)) {
                        // Nothing takes the value: it only moves the frame on.
                        after_value(p);
                        p.token_live = false;
                    } else {
                        st = complete_scalar(p, token_type::number, q, n);
                    }
                    q = r + 1;
                    if (t == ',' && st == TAMSEL_STATUS_OK && !p.capture.active) {
                        frame &g = p.top(); // the same frame: a scalar pushes nothing
                        g.state = g.state == frame_state::array_next ? frame_state::array_value
                                                                     : frame_state::object_key;
                        g.after_comma = 1;
                        if (g.kind == frame_array && !g.container) {
                            // More numbers nobody takes, each with its comma and at most one
                            // space before it (coordinate and mesh arrays): no byte among them
                            // changes anything but the position, so they go in one step.
                            const uint8_t *s = q;
                            size_t last = 0;
                            for (;;) {
                                const uint8_t *v = s < e && *s == ' ' ? s + 1 : s;
                                if (v >= e || !(*v == '-' || scan::digit(*v))) break;
                                const uint8_t *w = scan::valid_number(v, e);
                                if (!w || *w != ',' || static_cast<size_t>(w - v) + 2 > room) break;
                                last = static_cast<size_t>(w - v);
                                s = w + 1;
                            }
                            if (s != q) {
                                const size_t moved = static_cast<size_t>(s - q);
                                p.error.offset += moved;
                                p.error.column += moved;
                                p.token_len = last;
                                q = s;
                            }
                        }
                        continue;
                    }
                    if (continues(st)) st = on_between(p, t);
                    if (!continues(st)) {
                        return fail_at(q, st);
                    }
                    continue;
                }
            }
            break;
        }
        case lex_state::string:
            if (!p.escape_pending && !p.unicode_left && !p.pending_high) {
                if (*q == '\\' && !p.utf8.due) {
                    tamsel_status st = TAMSEL_STATUS_OK;
                    if (const size_t n = whole_escape(p, q, e, &st)) {
                        q += n;
                        if (!continues(st)) {
                            return fail_at(q, st);
                        }
                        continue;
                    }
                }
                // With the UTF-8 check on, an ASCII run needs nothing more; a run with other
                // bytes (or after a sequence begun in the last push) ends before its first bad
                // byte, which the step then reports, after the bytes before it went to the sink.
                const uint8_t *r =
                    p.utf8_check ? scan::plain_ascii_run(q, e) : scan::plain_run(q, e);
                bool check = false;
                if (p.utf8_check && ((r < e && *r >= 0x80) || p.utf8.due)) {
                    r = scan::plain_run(r, e);
                    check = true;
                }
                if (r != q) {
                    // A sink limit inside the run: what fits goes first, then (next time
                    // round) the crossing byte alone, exactly as byte by byte.
                    const size_t room = sink_room(p);
                    if (static_cast<size_t>(r - q) > room) r = q + (room ? room : 1);
                    if (check) r = scan::utf8_run(p.utf8, q, r);
                }
                if (r != q) {
                    const size_t n = static_cast<size_t>(r - q);
                    p.error.offset += n;
                    p.error.column += n;
                    const uint64_t run_end = p.error.offset;
                    tamsel_status st = sink_write(p, q, n, false);
                    q = r;
                    if (!continues(st)) {
                        // A failure inside the run (a base64 character, say) points back at its
                        // byte: consumed ends there, as byte by byte, and a stream resumes
                        // after it.
                        if (p.error.offset < run_end)
                            q -= std::min<uint64_t>(run_end - p.error.offset, n - 1);
                        return fail_at(q, st);
                    }
                    continue;
                }
            }
            break;
        case lex_state::number: {
            const uint8_t *r = scan::number_run(q, e);
            const size_t room = token_room(p);
            if (static_cast<size_t>(r - q) > room) r = q + (room ? room : 1);
            if (r != q) {
                const size_t n = static_cast<size_t>(r - q);
                p.error.offset += n;
                p.error.column += n;
                tamsel_status st = token_append(p, q, n, "failed to append number");
                q = r;
                if (st != TAMSEL_STATUS_OK) return fail_at(q, st);
                continue;
            }
            if (stop_after_root && p.depth == 0) {
                // The byte that ends a root number is not the root's: it stays unconsumed.
                tamsel_status st = complete_number(p);
                if (!continues(st)) {
                    return fail_at(q, st);
                }
                goto done;
            }
            break;
        }
        default:
            break;
        }
        const uint8_t c = *q++;
        advance(p, c);
        tamsel_status st = step(p, c);
        if (!continues(st)) {
            return fail_at(q, st);
        }
    }
done:
    if (consumed) *consumed = static_cast<size_t>(q - start);
    return p.report_truncated ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
}

tamsel_status parser_finish(parser &p) {
    if (p.failed) return p.error.code;
    if (p.lex == lex_state::number) TAMSEL_TRY(complete_number(p));
    if (p.lex == lex_state::between && p.root_started && p.root_complete && p.depth == 0)
        return p.report_truncated ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
    return p.raise(TAMSEL_STATUS_INVALID_JSON, p.lex == lex_state::between
                                                   ? "incomplete JSON document"
                                                   : "incomplete JSON token at end of input");
}

void unwind_mapped_streams(parser &p) {
    for (size_t i = p.depth; i-- > 0;) {
        frame &f = p.at(i);
        if (f.kind == frame_object && f.stream_item && f.container && i > 0) {
            auto *s = mapped_stream_of(p.at(i - 1).dst, *f.container);
            if (mapped_stream_is_initialized(s) && s->item_map && s->item)
                reset_map_parse(p, *s->item_map, s->item);
        }
    }
    for (size_t i = p.depth; i-- > 0;) {
        frame &f = p.at(i);
        if (f.kind == frame_array && f.container &&
            f.container->kind == TAMSEL_FIELD_MAPPED_ARRAY_STREAM)
            mapped_stream_of(f.dst, *f.container)->active = 0;
    }
}

void parser_destroy(parser &p) {
    // A document that ended cleanly leaves nothing behind (the common case of an owner parsing
    // one item after another): no frame, string, streamed value, capture or grown workspace.
    if (p.depth == 0 && !p.direct.active && !p.streamed.active && !p.capture.active && !p.grown &&
        !p.scratch_held) {
        p.book_top = p.capacity;
        return;
    }
    direct_abandon(p);
    stream_value_abandon(p);
    unwind_mapped_streams(p);
    capture_clear(p);
    p.depth = 0;
    if (p.grown) {
        // Nothing lives in the grown block once the frames are gone.
        owned_free_parse(p, std::exchange(p.grown, nullptr));
        p.base = nullptr;
        p.capacity = 0;
        p.token = nullptr;
        p.token_live = false;
    }
    p.book_top = p.capacity;
    if (p.scratch_held && p.settings) {
        p.settings->scratch_busy.store(0, std::memory_order_release);
        p.scratch_held = false;
    }
}

} // namespace tamsel::parse

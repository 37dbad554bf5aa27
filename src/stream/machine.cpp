// The array stream's state machine: the bytes around the items (root object, selected member,
// array delimiters) handled here byte by byte or in runs, the items fed to the embedded parser
// as whole window runs, and the delivery of a parsed item once its delimiter was seen.
#include "stream/state.hpp"
#include "text/internal.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"
#include "visit/json_value.hpp"

#include <cstdio>
#include <cstring>

namespace tamsel::stream {

namespace {

// step()'s helpers return this while the machine goes on.
constexpr tamsel_stream_result running = -1;

bool same_destination(const request &a, const request &b) {
    return a.type == b.type && a.map == b.map && a.dst == b.dst && a.value == b.value;
}

// ---- root keys -------------------------------------------------------------------------------

tamsel_stream_result key_append(block &b, const void *bytes, size_t n) {
    tamsel_error e{};
    tamsel_status st = io::byte_append(b.key, bytes, n, b.key_limit, b.allocator, &e);
    return st == TAMSEL_STATUS_OK ? running : raise_from(b, st, e, "");
}

tamsel_stream_result bad_key(block &b, const char *message) {
    return raise(b, TAMSEL_STATUS_INVALID_JSON, "%s", message);
}

// Decodes the root key from the window. Returns running with `*closed` set once the closing
// quote was taken (unset: the window ran out first), or ERROR.
tamsel_stream_result decode_key(block &b, bool *closed) {
    *closed = false;
    while (b.pos < b.end) {
        if (b.key_hex_left) {
            const int h = text::hex_value(take(b));
            if (h < 0) return bad_key(b, "invalid unicode escape in JSON string");
            b.key_hex = b.key_hex * 16 + static_cast<uint32_t>(h);
            if (--b.key_hex_left) continue;
            uint32_t cp = b.key_hex;
            if (b.key_high) {
                if (cp < 0xDC00 || cp > 0xDFFF) return bad_key(b, "invalid unicode surrogate pair");
                cp = 0x10000 + ((static_cast<uint32_t>(b.key_high) - 0xD800) << 10) + (cp - 0xDC00);
                b.key_high = 0;
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return bad_key(b, "unexpected low surrogate");
            } else if (cp >= 0xD800 && cp <= 0xDBFF) {
                b.key_high = static_cast<uint16_t>(cp);
                continue;
            }
            unsigned char out[4];
            if (key_append(b, out, text::encode_utf8(cp, out)) != running)
                return TAMSEL_STREAM_ERROR;
            continue;
        }
        if (b.key_escape) {
            const uint8_t c = take(b);
            b.key_escape = false;
            if (b.key_high && c != 'u') return bad_key(b, "invalid unicode surrogate pair");
            if (c == 'u') {
                b.key_hex_left = 4;
                b.key_hex = 0;
                continue;
            }
            const unsigned char out = text::unescape_table[c];
            if (!out) return bad_key(b, "invalid JSON string escape");
            if (key_append(b, &out, 1) != running) return TAMSEL_STREAM_ERROR;
            continue;
        }
        const uint8_t *q = b.win + b.pos;
        const uint8_t *r = scan::plain_run(q, b.win + b.end);
        // A key outgrowing its limit fails at the first byte past it, wherever the input was
        // split: the run is cut to what fits, and a run that starts past the limit to its first
        // byte, which is then checked and refused as a run of one would be.
        const size_t room = b.key_limit - b.key.length;
        if (static_cast<size_t>(r - q) > room) r = q + (room ? room : 1);
        // With the check on, the run ends before its first bad byte, taken below.
        if (r != q && !b.key_high && b.settings.checks_utf8()) r = scan::utf8_run(b.key_utf8, q, r);
        if (r != q && !b.key_high) {
            const size_t n = static_cast<size_t>(r - q);
            if (key_append(b, q, n) != running) return TAMSEL_STREAM_ERROR;
            b.pos += n;
            b.offset += n;
            b.column += n;
            continue;
        }
        const uint8_t c = take(b);
        if ((c >= 0x80 || b.key_utf8.due) && b.settings.checks_utf8() &&
            !scan::utf8_step(b.key_utf8, c))
            return bad_key(b, "invalid UTF-8 in key");
        if (c == '\\') {
            b.key_escape = true;
            continue;
        }
        if (b.key_high) return bad_key(b, "invalid unicode surrogate pair");
        if (c == '"') {
            *closed = true;
            return running;
        }
        return bad_key(b, "control character in JSON string");
    }
    return running;
}

// A key of an on-path object is complete: the duplicate check, then whether it names the
// level's segment.
tamsel_stream_result key_done(block &b) {
    const void *key = b.key.data ? b.key.data : "";
    if (b.options.reject_duplicates) {
        tamsel_error e{};
        tamsel_status st = b.path_keys.key(key, b.key.length, &e);
        if (st == TAMSEL_STATUS_DUPLICATE_FIELD && b.depth == 1)
            return raise(b, st, "duplicate root object field");
        if (st != TAMSEL_STATUS_OK) return raise_from(b, st, e, "");
    }
    const block::level &l = b.levels[b.depth - 1];
    b.key_selected = b.key.length == l.len && (l.len == 0 || std::memcmp(key, l.name, l.len) == 0);
    return running;
}

// ---- the path --------------------------------------------------------------------------------

// Writes segments [0, n) as a selector (dots and backslashes escaped) into `out`, cut to fit.
void write_prefix(const block &b, size_t n, char *out, size_t size) {
    size_t k = 0;
    for (size_t i = 0; i < n && k + 1 < size; ++i) {
        if (i) out[k++] = '.';
        for (size_t j = 0; j < b.levels[i].len && k + 2 < size; ++j) {
            const char c = b.levels[i].name[j];
            if (c == '.' || c == '\\') out[k++] = '\\';
            out[k++] = c;
        }
    }
    out[k < size ? k : size - 1] = '\0';
}

// The array never came: names the first segment that nothing matched, and where.
tamsel_stream_result not_found(block &b) {
    const size_t k = b.reached ? b.reached - 1 : 0;
    const block::level &l = b.levels[k];
    char where[TAMSEL_ERROR_MESSAGE_CAPACITY] = "the root object";
    if (k) {
        where[0] = '"';
        write_prefix(b, k, where + 1, sizeof where - 2);
        const size_t n = std::strlen(where);
        where[n] = '"';
        where[n + 1] = '\0';
    } else if (l.in_array) {
        std::snprintf(where, sizeof where, "the root array");
    }
    if (l.in_array)
        return raise(b, TAMSEL_STATUS_MISSING_REQUIRED_FIELD,
                     "selected array field was not found: no element %s in %s", l.name, where);
    return raise(b, TAMSEL_STATUS_MISSING_REQUIRED_FIELD,
                 "selected array field was not found: no member \"%s\" in %s", l.name, where);
}

// The state after a value inside the innermost on-path container.
outer after_state(const block &b) {
    return b.levels[b.depth - 1].in_array ? outer::after_element : outer::after_member;
}

// `c` (taken) opens the container of level `b.depth`: the root, or the value its parent's
// segment matched.
tamsel_stream_result enter_level(block &b, uint8_t c) {
    block::level &l = b.levels[b.depth];
    if (c == '{') {
        if (b.options.reject_duplicates) {
            tamsel_error e{};
            tamsel_status st = b.path_keys.object_begin(&e);
            if (st != TAMSEL_STATUS_OK) return raise_from(b, st, e, "");
        }
        l.in_array = false;
        b.after_comma = false;
        b.state = outer::key;
    } else if (c == '[' && l.names_index) {
        l.in_array = true;
        l.element = 0;
        b.state = outer::element;
    } else if (b.depth == 0) {
        return raise(b, TAMSEL_STATUS_TYPE_MISMATCH,
                     l.names_index ? "array path requires a root object or array"
                                   : "array path requires a root object");
    } else {
        char where[TAMSEL_ERROR_MESSAGE_CAPACITY];
        write_prefix(b, b.depth, where, sizeof where);
        return raise(b, TAMSEL_STATUS_TYPE_MISMATCH, "array path requires an object%s at \"%s\"",
                     l.names_index ? " or array" : "", where);
    }
    if (b.depth == 0) b.root_is_array = c == '[';
    if (++b.depth > b.reached) b.reached = b.depth;
    return running;
}

// The value of a matching member or element begins: the next level, or the selected array.
tamsel_stream_result descend(block &b, bool eof, uint8_t c) {
    if (b.depth < b.level_count) {
        if (eof) return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON value");
        take(b);
        return enter_level(b, c);
    }
    if (!eof) take(b);
    if (c != '[')
        return raise(b, TAMSEL_STATUS_TYPE_MISMATCH, "selected JSON value is not an array");
    b.selected_seen = true;
    b.first_element = true;
    b.state = outer::array;
    return running;
}

// The innermost on-path container closed (its bracket taken).
tamsel_stream_result level_closed(block &b) {
    --b.depth;
    if (!b.levels[b.depth].in_array && b.options.reject_duplicates) b.path_keys.object_end();
    if (b.depth) {
        b.state = after_state(b);
        return running;
    }
    if (!b.selected_seen) return not_found(b);
    b.state = outer::end_root;
    return running;
}

// ---- items -----------------------------------------------------------------------------------

// The item parser failed with `st`: its record becomes the stream's.
tamsel_stream_result item_failed(block &b, tamsel_status st) {
    parse::unwind_mapped_streams(b.p);
    b.pub.error = b.p.error;
    if (b.pub.error.code == 0) {
        b.pub.error.code = st ? st : TAMSEL_STATUS_INTERNAL_ERROR;
        std::snprintf(b.pub.error.message, sizeof b.pub.error.message, "%s",
                      "array stream value parser failed");
    }
    b.status = life::failed;
    drop_item(b);
    return TAMSEL_STREAM_ERROR;
}

bool tracks_keys(const block &b, item_type t) {
    return b.options.reject_duplicates &&
           (t == item_type::value || t == item_type::skip || t == item_type::raw);
}

// Starts the item parser on the item's first byte (not consumed yet).
tamsel_stream_result item_begin(block &b, const request &r) {
    drop_item(b);
    parse::init_args a;
    a.options = &b.options;
    a.settings = &b.settings;
    a.workspace = b.workspace;
    // Items nest as deep as max_depth allows, whatever the workspace holds.
    a.growable = true;
    if (r.type == item_type::mapped) {
        // Another map, or this one changed in place: analysed and planned again.
        const parse::map_identity id = parse::map_identity::of(r.map);
        if (!(id == b.map)) {
            b.analysis = parse::analyze_map(r.map);
            b.map = id;
            b.cache.plans.clear();
        }
        a.map = r.map;
        a.dst = r.dst;
        a.analysis = &b.analysis;
        a.cache = &b.cache;
    } else {
        a.any_root = true;
        if (tracks_keys(b, r.type)) a.keys = &b.tracker;
    }
    // The parser set up for the first item is restarted for the others: the options, settings
    // and workspace stay the stream's.
    tamsel_status st = parse::parser_start(b.p, a, b.parser_set_up);
    b.parser_live = true;
    // The tracker's sets are charged to this item's budget, the memory they kept first. Only
    // the items that track keys ever fill them (a mapped item's keys are the parser's).
    if (tracks_keys(b, r.type)) b.tracker.set_budget({b.options.max_parse_bytes, &b.p.in_use});
    b.pending = r;
    // Positions count from the start of the input, not from the item.
    b.p.error.offset = b.offset;
    b.p.error.line = b.line;
    b.p.error.column = b.column;
    if (st != TAMSEL_STATUS_OK) return item_failed(b, st);
    if (r.type == item_type::mapped && b.p.options.init_destination) {
        if (r.dst == b.last_initialised) {
            // The previous item's values go before this one fills the record.
            parse::reset_map_parse(b.p, *r.map, r.dst);
            if (b.p.failed) return item_failed(b, b.p.error.code);
        } else {
            st = parse::init_map_parse(b.p, *r.map, r.dst);
            if (st != TAMSEL_STATUS_OK) return item_failed(b, st);
            b.last_initialised = r.dst;
        }
    }
    if (r.type == item_type::string || r.type == item_type::string_items) {
        b.p.root_holder = &b.string_holder;
        b.string_seen = false;
    }
    io::byte_clear(b.text);
    b.in_string = false;
    b.escaped = false;
    b.over = false;
    b.item_complete = false;
    return running;
}

// Where the byte `at` of the bytes the item parser took from `from` on lies (the stream stood
// at `before` in front of them), as the stream's position once it has taken that byte.
io::input_position position_of(const uint8_t *from, const uint8_t *at,
                               const io::input_position &before) {
    io::input_position where{before.offset + static_cast<size_t>(at - from) + 1, before.line,
                             before.column + static_cast<size_t>(at - from) + 1};
    for (const uint8_t *q = from; q < at; ++q) {
        if (*q == '\n') {
            ++where.line;
            where.column = static_cast<size_t>(at - q);
        }
    }
    return where;
}

// A run of a value item's compact text, onto the captured text. A run that outgrows the limit
// marks its first byte past it, wherever the input was split; nothing more is kept.
tamsel_stream_result text_run(block &b, const unsigned char *bytes, size_t n, const uint8_t *from,
                              const io::input_position &before) {
    if (b.over) return running;
    const size_t room = b.text_limit - b.text.length;
    if (n > room) {
        b.over = true;
        b.over_at = position_of(from, bytes + room, before);
        return running;
    }
    tamsel_error e{};
    tamsel_status st = io::byte_append(b.text, bytes, n, b.text_limit, b.allocator, &e);
    if (st != TAMSEL_STATUS_OK) {
        raise_from(b, st, e, "");
        drop_item(b);
        return TAMSEL_STREAM_ERROR;
    }
    return running;
}

// The failure of a value item whose text outgrew its limit.
tamsel_stream_result text_over(block &b) {
    drop_item(b);
    b.offset = b.over_at.offset;
    b.line = b.over_at.line;
    b.column = b.over_at.column;
    return raise(b, TAMSEL_STATUS_OVERFLOW, "array item exceeds value_max_total_bytes (%zu bytes)",
                 b.text_limit);
}

// The item parser failed: an earlier byte past the text limit comes first.
tamsel_stream_result item_or_text_failed(block &b, tamsel_status st) {
    if (b.over && b.over_at.offset < b.p.error.offset) return text_over(b);
    return item_failed(b, st);
}

// Hands bytes the item parser consumed (valid JSON so far; the stream stood at `before` in
// front of them) to the raw sink as they stand, or onto a value item's text as compact text:
// the whitespace outside strings is dropped, everything else kept in runs as written, so an
// item holds only its significant bytes.
tamsel_stream_result item_bytes(block &b, const unsigned char *bytes, size_t n,
                                const io::input_position &before) {
    if (b.pending.type == item_type::raw) {
        tamsel_error e{};
        e.offset = b.offset;
        e.line = b.line;
        e.column = b.column;
        tamsel_status st = b.pending.piece(b.pending.piece_user, bytes, n, &e);
        if (st != TAMSEL_STATUS_OK) {
            raise_from(b, st, e, "array stream item sink failed");
            drop_item(b);
            return TAMSEL_STREAM_ERROR;
        }
        return running;
    }
    if (b.pending.type != item_type::value) return running;
    const uint8_t *q = bytes;
    const uint8_t *const e = bytes + n;
    const uint8_t *run = q;
    while (q < e) {
        if (b.escaped) {
            b.escaped = false;
            ++q;
        } else if (b.in_string) {
            q = scan::plain_run(q, e);
            if (q == e) break;
            if (*q == '\\') {
                b.escaped = true;
            } else if (*q == '"') {
                b.in_string = false;
            }
            ++q;
        } else if (*q <= ' ') {
            if (q > run && text_run(b, run, static_cast<size_t>(q - run), bytes, before) != running)
                return TAMSEL_STREAM_ERROR;
            while (q < e && *q <= ' ')
                ++q;
            run = q;
        } else {
            if (*q == '"') b.in_string = true;
            ++q;
        }
    }
    if (q > run && text_run(b, run, static_cast<size_t>(q - run), bytes, before) != running)
        return TAMSEL_STREAM_ERROR;
    return running;
}

// Feeds the window to the item parser until the item is complete.
tamsel_stream_result item_feed(block &b) {
    for (;;) {
        switch (ensure(b)) {
        case fill::would_block:
            return TAMSEL_STREAM_WOULD_BLOCK;
        case fill::error:
            drop_item(b);
            return TAMSEL_STREAM_ERROR;
        case fill::eof:
            if (b.p.lex == parse::lex_state::number && b.p.depth == 0) {
                // A number at the very end of the input is complete.
                tamsel_status st = parse::parser_finish(b.p);
                b.offset = b.p.error.offset;
                if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED)
                    return item_or_text_failed(b, st);
                if (b.over) return text_over(b);
                break;
            }
            if (b.over) return text_over(b);
            drop_item(b);
            return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON value");
        case fill::byte: {
            // In place the parser reads on past the chunk; the chunks it took are handed out.
            const unsigned char *at = b.win + b.pos;
            const io::input_position before{b.offset, b.line, b.column};
            size_t used = 0;
            tamsel_status st = parse::parser_feed(b.p, at, b.avail - b.pos, &used, true);
            b.pos += used;
            if (b.pos > b.end) consumed_in_place(b);
            b.offset = b.p.error.offset;
            b.line = b.p.error.line;
            b.column = b.p.error.column;
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
                // The bytes before the one the parser failed at (the last it took) go onto a
                // value item's text first, as they would have in smaller pieces.
                if (used > 1 && b.pending.type == item_type::value &&
                    item_bytes(b, at, used - 1, before) != running)
                    return TAMSEL_STREAM_ERROR;
                return item_or_text_failed(b, st);
            }
            if (used && item_bytes(b, at, used, before) != running) return TAMSEL_STREAM_ERROR;
            // Past the limit the item fails once no number token holding that byte is open.
            if (b.over && b.p.lex != parse::lex_state::number) return text_over(b);
            if (!parse::parser_complete(b.p)) {
                if (used == 0) {
                    drop_item(b);
                    return raise(b, TAMSEL_STATUS_INTERNAL_ERROR,
                                 "array stream value parser made no progress");
                }
                continue;
            }
            break;
        }
        }
        b.item_complete = true;
        return running;
    }
}

// The delimiter after a parsed item was seen: the item is handed over.
tamsel_stream_result deliver(block &b) {
    const request r = b.pending;
    parse::clear_kept_error(b.pub.error);
    if (r.type == item_type::mapped) {
        if (b.p.report_truncated || b.p.error.truncated) {
            b.pub.error.code = b.p.report_truncated ? TAMSEL_STATUS_TRUNCATED : 0;
            b.pub.error.truncated = 1;
        }
    }
    drop_item(b);
    if (r.type == item_type::value) {
        // The parser validated the text and it is compact already: stored as it is.
        tamsel_error e{};
        tamsel_status st = visit::json_value_store_compact(r.value, b.text.data ? b.text.data : "",
                                                           b.text.length, &e);
        if (st != TAMSEL_STATUS_OK) return raise_from(b, st, e, "failed to store array item");
    }
    return TAMSEL_STREAM_ITEM;
}

// The selected array closed (its bracket taken).
tamsel_stream_result root_closed(block &b) {
    b.state = b.level_count ? after_state(b) : outer::end_root;
    return running;
}

// Skips the value of a member or element off the path.
tamsel_stream_result skip_value(block &b, bool eof) {
    if (eof) return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON value");
    request skip;
    skip.type = item_type::skip;
    if (item_begin(b, skip) != running) return TAMSEL_STREAM_ERROR;
    b.state = outer::item;
    return running;
}

// One state's work. Returns running to go on, or the result of the call.
tamsel_stream_result on_state(block &b, const request &r) {
    if (b.state == outer::item) {
        tamsel_stream_result res = item_feed(b);
        if (res != running) return res;
        if (b.pending.type == item_type::skip) {
            drop_item(b);
            b.state = after_state(b);
        } else {
            b.state = outer::after_item;
        }
        return running;
    }
    if (b.state == outer::key_string) {
        bool closed = false;
        if (b.pos >= b.end) {
            switch (ensure(b)) {
            case fill::byte:
                break;
            case fill::would_block:
                return TAMSEL_STREAM_WOULD_BLOCK;
            case fill::error:
                return TAMSEL_STREAM_ERROR;
            case fill::eof:
                return bad_key(b, "unterminated JSON string");
            }
        }
        if (decode_key(b, &closed) != running) return TAMSEL_STREAM_ERROR;
        if (!closed) return running;
        if (key_done(b) != running) return TAMSEL_STREAM_ERROR;
        b.state = outer::colon;
        return running;
    }
    if (b.state != outer::delim) {
        // Every other state looks at the next byte that is not whitespace.
        for (;;) {
            fill f = ensure(b);
            if (f == fill::would_block) return TAMSEL_STREAM_WOULD_BLOCK;
            if (f == fill::error) return TAMSEL_STREAM_ERROR;
            if (f == fill::eof) break;
            if (skip_whitespace(b)) break;
        }
    }
    const bool eof = b.pos >= b.end;
    const uint8_t c = eof ? 0 : b.win[b.pos];
    switch (b.state) {
    case outer::start:
        if (!eof) take(b);
        if (b.level_count) return enter_level(b, c);
        if (c != '[')
            return raise(b, TAMSEL_STATUS_TYPE_MISMATCH, "selected JSON value is not an array");
        b.root_is_array = true;
        b.first_element = true;
        b.state = outer::array;
        return running;
    case outer::key:
        if (!eof) take(b);
        if (c == '"') {
            io::byte_clear(b.key);
            b.key_escape = false;
            b.key_hex_left = 0;
            b.key_high = 0;
            b.key_utf8 = {};
            b.state = outer::key_string;
            return running;
        }
        if (c == '}' && !b.after_comma) return level_closed(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected object key");
    case outer::colon:
        if (!eof) take(b);
        if (c != ':') return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected ':' after object key");
        b.state = outer::member_value;
        return running;
    case outer::member_value:
        return b.key_selected ? descend(b, eof, c) : skip_value(b, eof);
    case outer::after_member:
        if (!eof) take(b);
        if (c == ',') {
            b.after_comma = true;
            b.state = outer::key;
            return running;
        }
        if (c == '}') return level_closed(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected ',' or '}' in object");
    case outer::element: {
        block::level &l = b.levels[b.depth - 1];
        if (eof) return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON array");
        if (c == ']') {
            take(b);
            if (l.element)
                return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected JSON value in array");
            return level_closed(b);
        }
        const bool match = l.names_index && l.element == l.index;
        ++l.element;
        return match ? descend(b, eof, c) : skip_value(b, eof);
    }
    case outer::after_element:
        if (!eof) take(b);
        if (c == ',') {
            b.state = outer::element;
            return running;
        }
        if (c == ']') return level_closed(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON,
                     eof ? "unterminated JSON array" : "expected ',' or ']' in array");
    case outer::array:
        if (eof) return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated selected array");
        if (c == ']') {
            take(b);
            if (!b.first_element)
                return raise(b, TAMSEL_STATUS_INVALID_JSON,
                             "expected JSON value in selected array");
            return root_closed(b);
        }
        if (item_begin(b, r) != running) return TAMSEL_STREAM_ERROR;
        b.first_element = false;
        b.state = outer::item;
        return running;
    case outer::after_item:
        if (eof) {
            drop_item(b);
            return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated selected array");
        }
        if (c == ',' || c == ']') {
            // The delimiter stays in the window for the next call.
            b.state = outer::delim;
            return deliver(b);
        }
        take(b);
        drop_item(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected ',' or ']' in selected array");
    case outer::delim:
        if (take(b) == ',') {
            b.state = outer::array;
            return running;
        }
        return root_closed(b);
    case outer::end_root:
        if (eof) {
            b.status = life::done;
            tamsel_error_init(&b.pub.error);
            return TAMSEL_STREAM_END;
        }
        take(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON,
                     b.root_is_array ? "unexpected data after root array"
                                     : "unexpected data after root object");
    case outer::item:
    case outer::key_string:
        break;
    }
    return raise(b, TAMSEL_STATUS_INTERNAL_ERROR, "invalid array stream state");
}

} // namespace

void drop_item(block &b) {
    if (b.parser_live) {
        parse::unwind_mapped_streams(b.p);
        parse::parser_destroy(b.p);
        b.parser_live = false;
        b.cache.spares.release(); // the item is over: what it did not take back goes
    }
    if (tracks_keys(b, b.pending.type)) b.tracker.reset(); // only such items fill it
    b.pending = request{};
    b.item_complete = false;
}

tamsel_stream_result step(block &b, const request &r) {
    if (b.status == life::failed) return TAMSEL_STREAM_ERROR;
    if (b.status == life::done) {
        tamsel_error_init(&b.pub.error);
        return TAMSEL_STREAM_END;
    }
    if (b.pending.type != item_type::none && b.pending.type != item_type::skip) {
        if (!same_destination(b.pending, r)) {
            drop_item(b);
            return raise(b, TAMSEL_STATUS_INVALID_ARGUMENT,
                         "resume array stream item with the same destination");
        }
        // A raw sink may come with another user pointer on each call.
        b.pending.piece = r.piece;
        b.pending.piece_user = r.piece_user;
    }
    // Bytes held from the buffer reader are read in place again while they stay put.
    b.in_place.resume(b.win, b.pos, b.end, b.avail);
    tamsel_stream_result res;
    do {
        res = on_state(b, r);
    } while (res == running);
    b.in_place.leave(b.window, b.win, b.pos, b.end, b.avail);
    return res;
}

} // namespace tamsel::stream

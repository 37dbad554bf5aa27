// The array stream's state machine: the bytes around the items (root object, selected member,
// array delimiters) handled here byte by byte or in runs, the items fed to the embedded parser
// as whole window runs, and the delivery of a parsed item once its delimiter was seen.
#include "stream/state.hpp"
#include "text/internal.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"
#include "visit/json_value.hpp"

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

// A root key is complete: the duplicate check, then whether it names the selected member.
tamsel_stream_result key_done(block &b) {
    const void *key = b.key.data ? b.key.data : "";
    if (b.options.reject_duplicates) {
        tamsel_error e{};
        bool added = false;
        tamsel_status st = b.root_keys.insert(key, b.key.length, &added, &e);
        if (st != TAMSEL_STATUS_OK) return raise_from(b, st, e, "");
        if (!added) return raise(b, TAMSEL_STATUS_DUPLICATE_FIELD, "duplicate root object field");
    }
    b.key_selected = b.key.length == b.path_len &&
                     (b.path_len == 0 || std::memcmp(key, b.path, b.path_len) == 0);
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
    if (r.type == item_type::mapped) {
        if (r.map != b.map) {
            b.analysis = parse::analyze_map(r.map);
            b.map = r.map;
        }
        a.map = r.map;
        a.dst = r.dst;
        a.analysis = &b.analysis;
    } else {
        a.any_root = true;
        if (tracks_keys(b, r.type)) a.keys = &b.tracker;
    }
    tamsel_status st = parse::parser_init(b.p, a);
    b.parser_live = true;
    // The tracker's sets are charged to this item's budget, the memory they kept first.
    b.tracker.set_budget({b.options.max_parse_bytes, &b.p.in_use});
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
    b.item_complete = false;
    return running;
}

// Hands consumed item bytes to the raw sink or the captured text.
tamsel_stream_result item_bytes(block &b, const unsigned char *bytes, size_t n) {
    tamsel_error e{};
    tamsel_status st = TAMSEL_STATUS_OK;
    if (b.pending.type == item_type::raw) {
        e.offset = b.offset;
        e.line = b.line;
        e.column = b.column;
        st = b.pending.piece(b.pending.piece_user, bytes, n, &e);
        if (st != TAMSEL_STATUS_OK) {
            raise_from(b, st, e, "array stream item sink failed");
            drop_item(b);
            return TAMSEL_STREAM_ERROR;
        }
    } else if (b.pending.type == item_type::value) {
        st = io::byte_append(b.text, bytes, n, io::byte_buffer_no_limit, b.allocator, &e);
        if (st != TAMSEL_STATUS_OK) {
            raise_from(b, st, e, "");
            drop_item(b);
            return TAMSEL_STREAM_ERROR;
        }
    }
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
                    return item_failed(b, st);
                break;
            }
            drop_item(b);
            return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON value");
        case fill::byte: {
            const unsigned char *at = b.win + b.pos;
            size_t used = 0;
            tamsel_status st = parse::parser_feed(b.p, at, b.end - b.pos, &used, true);
            b.pos += used;
            b.offset = b.p.error.offset;
            b.line = b.p.error.line;
            b.column = b.p.error.column;
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return item_failed(b, st);
            if (used && item_bytes(b, at, used) != running) return TAMSEL_STREAM_ERROR;
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
    tamsel_error_init(&b.pub.error);
    if (r.type == item_type::mapped) {
        if (b.p.report_truncated || b.p.error.truncated) {
            b.pub.error.code = b.p.report_truncated ? TAMSEL_STATUS_TRUNCATED : 0;
            b.pub.error.truncated = 1;
        }
    }
    drop_item(b);
    if (r.type == item_type::value) {
        tamsel_error e{};
        tamsel_status st = tamsel_json_value_set_buffer(r.value, b.text.data ? b.text.data : "",
                                                        b.text.length, &e);
        if (st != TAMSEL_STATUS_OK) return raise_from(b, st, e, "failed to store array item");
    }
    return TAMSEL_STREAM_ITEM;
}

tamsel_stream_result root_closed(block &b) {
    b.state = b.root_is_array ? outer::end_root : outer::after_member;
    return running;
}

tamsel_stream_result member_end_or_missing(block &b) {
    if (!b.selected_seen)
        return raise(b, TAMSEL_STATUS_MISSING_REQUIRED_FIELD, "selected array field was not found");
    b.state = outer::end_root;
    return running;
}

// One state's work. Returns running to go on, or the result of the call.
tamsel_stream_result on_state(block &b, const request &r) {
    const bool with_path = b.path != nullptr;
    if (b.state == outer::item) {
        tamsel_stream_result res = item_feed(b);
        if (res != running) return res;
        if (b.pending.type == item_type::skip) {
            drop_item(b);
            b.state = outer::after_member;
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
        if (with_path) {
            if (c != '{')
                return raise(b, TAMSEL_STATUS_TYPE_MISMATCH, "array path requires a root object");
            b.state = outer::key;
            b.after_comma = false;
            return running;
        }
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
        if (c == '}' && !b.after_comma) return member_end_or_missing(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected object key");
    case outer::colon:
        if (!eof) take(b);
        if (c != ':') return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected ':' after object key");
        b.state = outer::member_value;
        return running;
    case outer::member_value:
        if (b.key_selected) {
            if (!eof) take(b);
            if (c != '[')
                return raise(b, TAMSEL_STATUS_TYPE_MISMATCH, "selected JSON value is not an array");
            b.selected_seen = true;
            b.first_element = true;
            b.state = outer::array;
            return running;
        }
        if (eof) return raise(b, TAMSEL_STATUS_INVALID_JSON, "unterminated JSON value");
        {
            request skip;
            skip.type = item_type::skip;
            if (item_begin(b, skip) != running) return TAMSEL_STREAM_ERROR;
        }
        b.state = outer::item;
        return running;
    case outer::after_member:
        if (!eof) take(b);
        if (c == ',') {
            b.after_comma = true;
            b.state = outer::key;
            return running;
        }
        if (c == '}') return member_end_or_missing(b);
        return raise(b, TAMSEL_STATUS_INVALID_JSON, "expected ',' or '}' in object");
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
    }
    b.tracker.reset();
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
    for (;;) {
        tamsel_stream_result res = on_state(b, r);
        if (res != running) return res;
    }
}

} // namespace tamsel::stream

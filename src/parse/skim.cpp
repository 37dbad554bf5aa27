// The skim: the grammar for values no map reaches (the whole document when validating, the
// values of unknown keys and unmapped elements when parsing into records) and for the keys of
// mapped objects, run as one tight loop over the input window.
//
// Nothing inside such a value is stored, so the loop keeps only what the per-byte step would
// leave behind: the frames of open containers, their states and the position. It takes whole
// tokens that lie in the window and are valid, and stops in front of anything else (a token
// running past the window's end, an error, a limit about to be met, a return to a mapped
// frame). The general path then takes over at a token boundary and reports errors exactly as
// byte by byte. Positions are not counted per token: the offset and column come from how far
// the loop got, and lines from the line feeds the whitespace scanner counted.
#include "parse/parser.hpp"
#include "text/scan.hpp"

namespace tamsel::parse {

namespace {

// Bytes a token may take in the workspace above the frames, as the token buffer allows.
size_t token_room(const parser &p) {
    return p.book_top > p.frames_end() + 1 ? p.book_top - p.frames_end() - 1 : 0;
}

// The length of the literal at p when it is whole in [p, e), else 0.
size_t literal_length(const uint8_t *p, const uint8_t *e) {
    const size_t left = static_cast<size_t>(e - p);
    switch (*p) {
    case 't':
        return left >= 4 && std::memcmp(p, "true", 4) == 0 ? 4 : 0;
    case 'f':
        return left >= 5 && std::memcmp(p, "false", 5) == 0 ? 5 : 0;
    default:
        return left >= 4 && std::memcmp(p, "null", 4) == 0 ? 4 : 0;
    }
}

} // namespace

const uint8_t *skim(parser &p, const uint8_t *q, const uint8_t *const e) {
    const uint8_t *const from = q;
    size_t lines = 0;
    const uint8_t *last_newline = nullptr;
    frame *f = &p.top();
    while (q < e) {
        uint8_t c = *q;
        if (c <= ' ') {
            if (c == ' ' && e - q >= 2 && q[1] > ' ') { // ", " and ": "
                c = *++q;
            } else {
                q = scan::whitespace_run(q, e, &lines, &last_newline);
                if (q == e) break;
                c = *q;
            }
        }
        switch (f->state) {
        case frame_state::object_key:
            if (c == '"') {
                // A key goes through the token buffer: its written length bounds its decoded
                // one. A mapped object's key is looked up, so it must be plain bytes.
                const uint8_t *close =
                    f->map ? scan::plain_run(q + 1, e) : scan::string_body_end(q + 1, e);
                if (!close || close == e || *close != '"' ||
                    static_cast<size_t>(close - q) + 1 > token_room(p))
                    goto out;
                if (f->map)
                    f->current =
                        find_field(*f->map, &f->hint, reinterpret_cast<const char *>(q + 1),
                                   static_cast<size_t>(close - q - 1));
                f->after_comma = 0;
                f->state = frame_state::object_colon;
                q = close + 1;
                continue;
            }
            if (c != '}' || f->after_comma || f->map) goto out;
            goto close;
        case frame_state::object_colon:
            if (c != ':') goto out;
            f->state = frame_state::object_value;
            ++q;
            continue;
        case frame_state::object_next:
            if (c == ',') {
                f->state = frame_state::object_key;
                f->after_comma = 1;
                ++q;
                continue;
            }
            if (c != '}' || f->map) goto out;
            goto close;
        case frame_state::array_next:
            if (c == ',') {
                f->state = frame_state::array_value;
                f->after_comma = 1;
                ++q;
                continue;
            }
            if (c != ']') goto out;
            goto close;
        case frame_state::array_value:
            if (c == ']') {
                if (f->after_comma) goto out;
                goto close;
            }
            goto value;
        case frame_state::object_value:
            if (f->current) goto out; // a mapped value
        value:
            switch (c) {
            case '"': {
                const uint8_t *close = scan::string_body_end(q + 1, e);
                if (!close) goto out;
                q = close + 1;
                break;
            }
            case '-':
            case '0' ... '9': {
                // A number is whole once a byte that cannot continue it is in the window; that
                // byte is left for the next token, as the step reads it after completing.
                const uint8_t *end = scan::valid_number(q, e);
                if (!end || static_cast<size_t>(end - q) + 2 > token_room(p)) goto out;
                q = end;
                break;
            }
            case 't':
            case 'f':
            case 'n': {
                const size_t n = literal_length(q, e);
                if (!n || n + 2 > token_room(p)) goto out;
                q += n;
                break;
            }
            case '[':
            case '{': {
                if ((p.options.max_depth && p.depth >= p.options.max_depth) ||
                    p.frames_end() + sizeof(frame) > p.book_top)
                    goto out; // the general path reports the limit
                f->after_comma = 0;
                f = &p.at(p.depth++);
                std::memset(f, 0, sizeof *f);
                f->kind = c == '{' ? frame_object : frame_array;
                f->state = c == '{' ? frame_state::object_key : frame_state::array_value;
                ++q;
                continue;
            }
            default:
                goto out;
            }
            f->after_comma = 0;
            f->state = f->kind == frame_object ? frame_state::object_next : frame_state::array_next;
            continue;
        }
        goto out; // not reached: every state is handled above
    close:
        ++q;
        if (--p.depth == 0) {
            p.root_complete = true;
            break;
        }
        f = &p.top();
        after_value(p);
        if (!skimmable(*f)) break;
    }
out:
    const size_t moved = static_cast<size_t>(q - from);
    p.error.offset += moved;
    if (lines) {
        p.error.line += lines;
        p.error.column = static_cast<size_t>(q - last_newline - 1);
    } else {
        p.error.column += moved;
    }
    return q;
}

} // namespace tamsel::parse

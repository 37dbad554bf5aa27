// The skim: the grammar for values no map reaches (the whole document when validating, the
// values of unknown keys and unmapped elements when parsing into records) and for mapped
// objects, run as one tight loop over the input window.
//
// Nothing inside an unmapped value is stored, so the loop keeps only what the per-byte step
// would leave behind: the frames of open containers, their states and the position. In a
// mapped object it looks keys up in place and stores the plain mapped values the step would
// store through field assignment: numbers of I64, U64 and F64 fields, booleans, strings of
// STRING fields (store_whole_string), and the objects of OBJECT fields, whose frames it enters
// and closes. It takes whole tokens that lie in the window and are valid, and stops in front
// of anything else (a token running past the window's end, an error, a limit about to be met, a
// value of another kind, a duplicate, a required field to check, a frame it does not run in).
// The general path then takes over at a token boundary and reports errors exactly as byte by
// byte; a mapped value is taken only when it is sure to succeed, so nothing is stored twice.
// Positions are not counted per token: the offset and column come from how far the loop got,
// and lines from the line feeds the whitespace scanner counted.
#include "parse/parser.hpp"
#include "parse/short_number.hpp"
#include "text/scan.hpp"
#include "text/string_body.hpp"

namespace tamsel::parse {

namespace {

// The closing quote of the string whose body starts at p, or NULL (see string_body_end); the
// common string without escapes is found inline. With Check (the UTF-8 check on), a body that
// is not well-formed UTF-8 is NULL too, for the general path to report.
template <bool Check>
__attribute__((always_inline)) inline const uint8_t *string_end(const uint8_t *p,
                                                                const uint8_t *e) {
    const uint8_t *close = Check ? scan::plain_ascii_run(p, e) : scan::plain_run(p, e);
    if (close < e && *close == '"') return close;
    if (close == e) return nullptr;
    if (Check && *close >= 0x80) return scan::utf8_string_end(close, e);
    if (*close != '\\') return nullptr;
    return Check ? scan::checked_string_body_end(close, e) : scan::string_body_end(close, e);
}

// The end of the plain run a mapped object's key is (it is looked up in place, so it takes no
// escapes); with Check, NULL when it is not well-formed UTF-8.
template <bool Check>
__attribute__((always_inline)) inline const uint8_t *key_end(const uint8_t *p, const uint8_t *e) {
    const uint8_t *close = Check ? scan::plain_ascii_run(p, e) : scan::plain_run(p, e);
    return Check && close < e && *close >= 0x80 ? scan::utf8_plain_run(close, e) : close;
}

// Whether records of `map` are emptied by its plan's reset steps (members zeroed, strings
// detached), which leave an empty record as it was.
inline bool emptied_by_steps(parser &p, const tamsel_map &map) {
    if (!p.cache) return false;
    const map_plan *plan = p.cache->plans.of(&map);
    return plan && plan->reset_count;
}

enum class one_pass { undecided, not_taken, stored, failed };

// A body with escapes of a dynamic STRING field, checked and decoded in one pass into the token
// room (free workspace: no token is live between tokens), then copied into its block. undecided
// when the pass cannot tell (the body does not fit the room or the window, or it is not valid):
// the caller reads it twice then. Kept out of the skim's loop, whose registers it would cost.
[[gnu::noinline, gnu::flatten]] one_pass store_in_one_pass(parser &p, const frame &f,
                                                           const tamsel_field &field,
                                                           const uint8_t *body, const uint8_t *e,
                                                           size_t room, const uint8_t **close) {
    unsigned char *const scratch = p.base + p.frames_end();
    const size_t n = scan::decode_checked_body(body, e, scratch, room, close);
    if (n == SIZE_MAX) return one_pass::undecided;
    whole_string w = store_decoded_string(p, f, field, body, *close, scratch, n);
    if (w == whole_string::not_taken) w = store_whole_string(p, f, field, body, *close, true);
    return w == whole_string::stored   ? one_pass::stored
           : w == whole_string::failed ? one_pass::failed
                                       : one_pass::not_taken;
}

// Flattened: the number and string scanners are inlined here, but not in the bulk driver, where
// the extra code costs more than the calls. One instance per setting of the UTF-8 check, so a
// run without it pays nothing for it.
// Moves the position on by the bytes the skim took, [from, q): `lines` of them line feeds, the
// last of them at last_newline.
inline void settle_position(parser &p, const uint8_t *from, const uint8_t *q, size_t lines,
                            const uint8_t *last_newline) {
    const size_t moved = static_cast<size_t>(q - from);
    p.error.offset += moved;
    if (lines) {
        p.error.line += lines;
        p.error.column = static_cast<size_t>(q - last_newline - 1);
    } else {
        p.error.column += moved;
    }
}

template <bool Check>
__attribute__((flatten)) const uint8_t *skim_t(parser &p, const uint8_t *q,
                                               const uint8_t *const e) {
    const uint8_t *const from = q;
    size_t lines = 0;
    const uint8_t *last_newline = nullptr;
    frame *f = &p.top();
    uint8_t c;
    // The token room (token_space) depends only on the depth and the carved bookkeeping, which
    // change here only when a frame is pushed or popped or a call out may carve: it is worked
    // out again there rather than for every token.
    size_t room = token_space(p);
    // The key index of the map whose keys were looked up last (lookup_key without asking the
    // cache for every key); plans stay where they are for the owner's life.
    const tamsel_map *plan_map = nullptr;
    const map_plan *plan = nullptr;

    // The next byte that is not whitespace, in c; leaves the loop at the window's end. The
    // frame's state is stored first, so that wherever the loop stops it stands as the step
    // would have left it.
#define TAMSEL_SKIM_NEXT(state_)                                                                   \
    f->state = frame_state::state_;                                                                \
    if (q == e) goto out;                                                                          \
    c = *q;                                                                                        \
    if (c <= ' ') {                                                                                \
        if (c == ' ' && e - q >= 2 && q[1] > ' ') { /* ", " and ": " */                            \
            c = *++q;                                                                              \
        } else {                                                                                   \
            q = scan::whitespace_run(q, e, &lines, &last_newline);                                 \
            if (q == e) goto out;                                                                  \
            c = *q;                                                                                \
        }                                                                                          \
    }

    // Each state is a label and each token jumps straight to the state that follows it, so
    // the state is never dispatched on except when entering and after a closing bracket.
resume:
    switch (f->state) {
    case frame_state::object_key:
        goto object_key;
    case frame_state::object_colon:
        goto object_colon;
    case frame_state::object_value:
        goto object_value;
    case frame_state::object_next:
        goto object_next;
    case frame_state::array_value:
        goto array_value;
    case frame_state::array_next:
        goto array_next;
    }
    goto out;

object_key:
    TAMSEL_SKIM_NEXT(object_key);
    if (c == '"') {
        // A key goes through the token buffer: its written length bounds its decoded one. A
        // mapped object's key is looked up, so it must be plain bytes.
        const uint8_t *close = f->map ? key_end<Check>(q + 1, e) : string_end<Check>(q + 1, e);
        if (!close || close == e || *close != '"' || static_cast<size_t>(close - q) + 1 > room)
            goto out;
        if (f->map) {
            if (f->map != plan_map) {
                plan_map = f->map;
                plan = p.cache ? p.cache->plans.of(plan_map) : nullptr;
            }
            const char *key = reinterpret_cast<const char *>(q + 1);
            const size_t len = static_cast<size_t>(close - q - 1);
            f->current = plan ? find_field_planned(*plan, &f->hint, key, len)
                              : find_field(*plan_map, &f->hint, key, len);
        }
        f->after_comma = 0;
        q = close + 1;
        goto object_colon;
    }
    if (c != '}' || f->after_comma) goto out;
    goto close_object;

object_colon:
    TAMSEL_SKIM_NEXT(object_colon);
    if (c != ':') goto out;
    ++q;
    goto object_value;

object_value:
    f->state = frame_state::object_value;
    if (f->current) goto mapped_value;
    TAMSEL_SKIM_NEXT(object_value);
    goto value;

mapped_value : {
    TAMSEL_SKIM_NEXT(object_value);
    const tamsel_field &field = *f->current;
    const tamsel_map &map = *f->map;
    if (map.field_count > 64) goto out; // seen bytes in the workspace: the general path
    const uint64_t bit = uint64_t{1} << (&field - map.fields);
    const bool again = (f->seen & bit) != 0;
    if (again && p.options.reject_duplicates) goto out;
    unsigned char *value = member(f->dst, field);
    switch (field.kind) {
    case TAMSEL_FIELD_I64:
    case TAMSEL_FIELD_U64:
    case TAMSEL_FIELD_F64: {
        if (c != '-' && !scan::digit(c)) goto out;
        // The usual short number is converted as it is scanned; any other goes through the
        // grammar check and then the conversion.
        if (field.kind == TAMSEL_FIELD_I64 ? take_short<int64_t, short_i64>(&q, e, room, value)
                                           : field.kind == TAMSEL_FIELD_F64 &&
                                                 take_short<double, short_f64>(&q, e, room, value))
            break;
        const uint8_t *end = scan::valid_number(q, e);
        if (!end) goto out;
        const size_t n = static_cast<size_t>(end - q);
        if (n + 2 > room) goto out;
        if (field.kind == TAMSEL_FIELD_I64) {
            int64_t v;
            if (!parse_i64(q, n, &v)) goto out;
            std::memcpy(value, &v, sizeof v);
        } else if (field.kind == TAMSEL_FIELD_U64) {
            uint64_t v;
            if (!parse_u64(q, n, &v)) goto out;
            std::memcpy(value, &v, sizeof v);
        } else {
            double v;
            if (!parse_f64(q, n, &v)) goto out;
            std::memcpy(value, &v, sizeof v);
        }
        q = end;
        break;
    }
    case TAMSEL_FIELD_BOOL: {
        if (c != 't' && c != 'f') goto out;
        const size_t n = scan::literal_length(q, e);
        if (!n || n + 2 > room) goto out;
        const int v = c == 't';
        std::memcpy(value, &v, sizeof v);
        q += n;
        break;
    }
    case TAMSEL_FIELD_STRING: {
        if (c != '"') goto out;
        const uint8_t *body = q + 1;
        const uint8_t *close = Check ? scan::plain_ascii_run(body, e) : scan::plain_run(body, e);
        bool escaped = false;
        if (close == e) goto out;
        if (!Check && *close == '\\' && field.storage != TAMSEL_STORAGE_FIXED) [[unlikely]] {
            const uint8_t *end = nullptr;
            const one_pass r = store_in_one_pass(p, *f, field, body, e, room, &end);
            if (r == one_pass::failed) {
                q = body; // failed at the opening quote, as the direct string's first block
                goto out_failed;
            }
            if (r == one_pass::not_taken) goto out;
            if (r == one_pass::stored) {
                room = token_space(p);
                q = end + 1;
                break;
            }
        }
        if (*close != '"') {
            close = string_end<Check>(close, e);
            if (!close) goto out;
            escaped = true; // or bytes that are not ASCII: decoded the same way
        }
        switch (store_whole_string(p, *f, field, body, close, escaped)) {
        case whole_string::not_taken:
            goto out;
        case whole_string::failed:
            q = body; // failed at the opening quote, as the direct string's first block
            goto out_failed;
        case whole_string::stored:
            break;
        }
        room = token_space(p);
        q = close + 1;
        break;
    }
    case TAMSEL_FIELD_OBJECT: {
        if (c != '{' || (p.options.max_depth && p.depth >= p.options.max_depth) ||
            p.frames_end() + sizeof(frame) > p.book_top)
            goto out;
        f->seen |= bit;
        if (!again && (field.flags & TAMSEL_FIELD_REQUIRED) && f->required_left) --f->required_left;
        f->after_comma = 0;
        ++q;
        const tamsel_map &sub = *field.submap;
        // The first time its key comes, the nested record is still empty when the record
        // holding it was emptied as it began: every nested record is, and the root is with
        // init_destination on. A map emptied by its plan's steps only has members zeroed
        // there, so emptying it again would change nothing.
        if (again || (p.depth == 1 && !p.options.init_destination) || !emptied_by_steps(p, sub)) {
            reset_map_parse(p, sub, value);
            if (p.failed) goto out; // recorded at the brace, as the step records it
        }
        f = &p.at(p.depth++);
        std::memset(f, 0, sizeof *f);
        f->kind = frame_object;
        f->map = &sub;
        f->dst = value;
        f->container = &field;
        f->required_left = required_fields(p, sub);
        room = token_space(p);
        goto object_key;
    }
    default:
        goto out;
    }
    f->seen |= bit;
    if (!again && (field.flags & TAMSEL_FIELD_REQUIRED) && f->required_left) --f->required_left;
    if (field.flags & TAMSEL_FIELD_HAS_PRESENCE)
        *reinterpret_cast<int *>(static_cast<unsigned char *>(f->dst) + field.presence_offset) = 1;
    f->after_comma = 0;
    f->current = nullptr;
    goto object_next;
}

object_next:
    TAMSEL_SKIM_NEXT(object_next);
    if (c == ',') {
        f->after_comma = 1;
        ++q;
        goto object_key;
    }
    if (c != '}') goto out;
    goto close_object;

close_object:
    // A mapped object closes here when nothing is left to check or hand over.
    if (f->map && (f->required_left || f->stream_item || f->seen_offset)) goto out;
    goto close;

array_value:
    TAMSEL_SKIM_NEXT(array_value);
    if (c == ']') {
        if (f->after_comma) goto out;
        goto close;
    }
    goto value;

array_next:
    TAMSEL_SKIM_NEXT(array_next);
    if (c == ',') {
        f->after_comma = 1;
        ++q;
        goto array_value;
    }
    if (c != ']') goto out;
    goto close;

value:
    switch (c) {
    case '"': {
        const uint8_t *close = string_end<Check>(q + 1, e);
        if (!close) goto out;
        q = close + 1;
        break;
    }
    case '-':
    case '0' ... '9': {
        // A number is whole once a byte that cannot continue it is in the window; that byte
        // is left for the next token, as the step reads it after completing.
        const uint8_t *end = scan::valid_number(q, e);
        if (!end || static_cast<size_t>(end - q) + 2 > room) goto out;
        q = end;
        break;
    }
    case 't':
    case 'f':
    case 'n': {
        const size_t n = scan::literal_length(q, e);
        if (!n || n + 2 > room) goto out;
        q += n;
        break;
    }
    case '[':
    case '{':
        if ((p.options.max_depth && p.depth >= p.options.max_depth) ||
            p.frames_end() + sizeof(frame) > p.book_top)
            goto out; // the general path reports the limit
        f->after_comma = 0;
        f = &p.at(p.depth++);
        std::memset(f, 0, sizeof *f);
        room = token_space(p);
        ++q;
        if (c == '{') {
            f->kind = frame_object;
            goto object_key;
        }
        f->kind = frame_array;
        goto array_value;
    default:
        goto out;
    }
    f->after_comma = 0;
    if (f->kind == frame_object) goto object_next;
    goto array_next;

close:
    ++q;
    if (--p.depth == 0) {
        p.root_complete = true;
        goto out;
    }
    f = &p.top();
    after_value(p);
    if (!skimmable(*f)) goto out;
    room = token_space(p);
    goto resume;
#undef TAMSEL_SKIM_NEXT

out:
    settle_position(p, from, q, lines, last_newline);
    return q;

out_failed: // a whole string's block could not be had
    settle_position(p, from, q, lines, last_newline);
    (void)p.raise(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate string");
    return q;
}

} // namespace

const uint8_t *skim(parser &p, const uint8_t *q, const uint8_t *e) {
    return p.utf8_check ? skim_t<true>(p, q, e) : skim_t<false>(p, q, e);
}

} // namespace tamsel::parse

// The raw-JSON pull reader: a resumable form of the holder transcoder.
//
// The grammar is the transcoder's (the raw walk of visit/walker.cpp), cut into steps that each
// end with one piece of output:
//
//   root          value                      -> trailing (depth 0) | in_container
//   value         '"' -> string_body | number -> number_body | literal | '[' '{' -> push
//   in_container  ']' '}' -> pop | (',' if a member was seen) value, or in an object '"' key
//   string_body   runs and escapes, up to the closing quote (a key then goes to colon)
//   colon         ':' value
//   trailing      whitespace only, then done
//
// Numbers are checked by a small automaton as their bytes go by, over the same maximal run
// of number characters the transcoder gathers, so no token buffer is needed. The nesting
// stack (one byte per level) grows through the holder's allocator; nothing else allocates.
#include "serialize/json_pull.hpp"
#include "text/internal.hpp"
#include "text/scan.hpp"
#include "visit/json_value.hpp"

#include <array>
#include <cstring>
#include <memory>

namespace tamsel::serialize {

namespace {

constexpr uint8_t level_object = 1;
constexpr uint8_t level_has_members = 2;

using scan::number_chars;

// The number automaton: -? (0 | [1-9][0-9]*) (\.[0-9]+)? ([eE][+-]?[0-9]+)?
enum number_state : uint8_t {
    n_start,
    n_minus,
    n_zero,
    n_int,
    n_dot,
    n_frac,
    n_exp_mark,
    n_exp_sign,
    n_exp,
    n_reject
};

uint8_t number_step_state(uint8_t s, uint8_t c) {
    const bool digit = c >= '0' && c <= '9';
    const bool exp = c == 'e' || c == 'E';
    switch (s) {
    case n_start:
        return c == '-' ? n_minus : c == '0' ? n_zero : digit ? n_int : n_reject;
    case n_minus:
        return c == '0' ? n_zero : digit ? n_int : n_reject;
    case n_zero:
        return c == '.' ? n_dot : exp ? n_exp_mark : n_reject;
    case n_int:
        return digit ? n_int : c == '.' ? n_dot : exp ? n_exp_mark : n_reject;
    case n_dot:
        return digit ? n_frac : n_reject;
    case n_frac:
        return digit ? n_frac : exp ? n_exp_mark : n_reject;
    case n_exp_mark:
        return (c == '+' || c == '-') ? n_exp_sign : digit ? n_exp : n_reject;
    case n_exp_sign:
    case n_exp:
        return digit ? n_exp : n_reject;
    default:
        return n_reject;
    }
}

bool number_complete(uint8_t s) {
    return s == n_zero || s == n_int || s == n_frac || s == n_exp;
}

const unsigned char *bytes_of(const char *text) {
    return reinterpret_cast<const unsigned char *>(text);
}

} // namespace

json_pull::json_pull(tamsel_error *error) : error_(error), cursor_(error, 0) {}

void json_pull::close() {
    if (stack_ != inline_stack_) raw_free(allocator_, stack_, capacity_);
    stack_ = inline_stack_;
    capacity_ = inline_depth;
    depth_ = 0;
    opened_.reset();
    phase_ = phase::idle;
    queued_comma_ = queued_indent_ = false;
    queued_ = nullptr;
    queued_len_ = 0;
}

tamsel_status json_pull::open(const tamsel_json_value *value, bool pretty, uint64_t base) {
    close();
    if (!value || !visit::json_value_is_initialized(value))
        return fail(error_, TAMSEL_STATUS_INVALID_ARGUMENT, "JSON value handle is required");
    pretty_ = pretty;
    base_ = base;
    allocator_ = value->allocator;
    if (value->kind == TAMSEL_JSON_NONE) {
        whole_ = bytes_of("null");
        whole_len_ = 4;
        phase_ = phase::whole;
        return TAMSEL_STATUS_OK;
    }
    if (value->kind == TAMSEL_JSON_BUFFER && !pretty && value->data) {
        // Stored compactly when it was validated: copied as it is, like the transcoder does.
        whole_ = bytes_of(value->data);
        whole_len_ = clamp_to_size(value->len);
        phase_ = phase::whole;
        return TAMSEL_STATUS_OK;
    }
    std::destroy_at(&cursor_);
    std::construct_at(&cursor_, error_, 0);
    TAMSEL_TRY(visit::open_json_value_input(value, cursor_, opened_, error_));
    phase_ = phase::root;
    return TAMSEL_STATUS_OK;
}

int json_pull::next_token_byte() {
    for (;;) {
        const int c = cursor_.get();
        if (c == ' ' || c == '\t' || c == '\r') continue;
        if (c == '\n') {
            cursor_.newline_at(cursor_.cur - 1);
            continue;
        }
        return c;
    }
}

tamsel_status json_pull::invalid(const char *message) {
    return cursor_.fail_here(TAMSEL_STATUS_INVALID_JSON, message);
}

tamsel_status json_pull::at_end(int c, const char *message) {
    return c == visit::input_cursor::read_failed ? cursor_.failure() : invalid(message);
}

tamsel_status json_pull::push(uint8_t kind) {
    if (depth_ == capacity_) {
        size_t capacity;
        if (!checked_mul(capacity_, 2, &capacity))
            return fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow JSON pull frame stack");
        void *grown = stack_ == inline_stack_
                          ? raw_realloc(allocator_, nullptr, 0, capacity)
                          : raw_realloc(allocator_, stack_, capacity_, capacity);
        if (!grown)
            return fail(error_, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow JSON pull frame stack");
        if (stack_ == inline_stack_) std::memcpy(grown, inline_stack_, depth_);
        stack_ = static_cast<uint8_t *>(grown);
        capacity_ = capacity;
    }
    stack_[depth_++] = kind;
    return TAMSEL_STATUS_OK;
}

// A value starts with byte `c`. An array element is preceded by a comma when the array had
// members and, in pretty output, by its indentation.
tamsel_status json_pull::begin_value(int c, bool element, bool had_members) {
    if (element) {
        queued_comma_ = had_members;
        queued_indent_ = pretty_;
        queued_level_ = base_ + depth_;
    }
    switch (c) {
    case '"':
        queue_text("\"", 1);
        key_ = false;
        phase_ = phase::string_body;
        return TAMSEL_STATUS_OK;
    case '-':
    case '0' ... '9':
        cursor_.unget();
        number_state_ = n_start;
        phase_ = phase::number_body;
        return TAMSEL_STATUS_OK;
    case 't':
    case 'f':
    case 'n': {
        const char *word = c == 't' ? "true" : c == 'f' ? "false" : "null";
        const size_t len = std::strlen(word);
        for (size_t i = 1; i < len; ++i) {
            const int b = cursor_.get();
            if (b != static_cast<uint8_t>(word[i])) return at_end(b, "invalid JSON literal");
        }
        queue_text(word, len);
        after_value();
        return TAMSEL_STATUS_OK;
    }
    case '[':
    case '{':
        TAMSEL_TRY(push(c == '{' ? level_object : 0));
        queue_text(c == '{' ? "{" : "[", 1);
        phase_ = phase::in_container;
        return TAMSEL_STATUS_OK;
    default:
        return at_end(c, "expected JSON value");
    }
}

void json_pull::close_container(char bracket, bool had_members) {
    --depth_;
    if (pretty_ && had_members) {
        queued_indent_ = true;
        queued_level_ = base_ + depth_;
    }
    queue_text(bracket == '}' ? "}" : "]", 1);
    after_value();
}

tamsel_status json_pull::container_step() {
    uint8_t &top = stack_[depth_ - 1];
    const bool had = top & level_has_members;
    int c = next_token_byte();
    if (top & level_object) {
        if (c == '}') {
            close_container('}', had);
            return TAMSEL_STATUS_OK;
        }
        if (c < 0) return at_end(c, "unterminated JSON object");
        if (had) {
            if (c != ',') return invalid("expected ',' in object");
            c = next_token_byte();
        }
        top |= level_has_members;
        if (c != '"') return invalid("expected object key");
        queued_comma_ = had;
        queued_indent_ = pretty_;
        queued_level_ = base_ + depth_;
        queue_text("\"", 1);
        key_ = true;
        phase_ = phase::string_body;
        return TAMSEL_STATUS_OK;
    }
    if (c == ']') {
        close_container(']', had);
        return TAMSEL_STATUS_OK;
    }
    if (c < 0) return at_end(c, "unterminated JSON array");
    if (had) {
        if (c != ',') return invalid("expected ',' in array");
        c = next_token_byte();
    }
    top |= level_has_members;
    return begin_value(c, true, had);
}

tamsel_status json_pull::string_step(pull_piece *out, bool *produced) {
    const uint8_t *p = cursor_.cur;
    const uint8_t *q = text::find_escape(p, cursor_.end); // '"', '\\' and control bytes
    if (q != p) {
        cursor_.cur = q;
        out->data = p;
        out->len = static_cast<size_t>(q - p);
        *produced = true;
        return TAMSEL_STATUS_OK;
    }
    if (q == cursor_.end) {
        if (!cursor_.refill()) return at_end(cursor_.state(), "unterminated JSON string");
        return TAMSEL_STATUS_OK;
    }
    const uint8_t b = *q;
    cursor_.cur = q + 1;
    if (b == '"') {
        if (key_) {
            queue_text(pretty_ ? "\": " : "\":", pretty_ ? 3 : 2);
            phase_ = phase::colon;
        } else {
            queue_text("\"", 1);
            after_value();
        }
        return TAMSEL_STATUS_OK;
    }
    if (b != '\\') return invalid("control character in string");
    // An escape is checked and passed on as written.
    const int c = cursor_.get();
    escape_[0] = '\\';
    escape_[1] = static_cast<unsigned char>(c);
    size_t len = 2;
    if (c == 'u') {
        for (int i = 2; i < 6; ++i) {
            const int h = cursor_.get();
            if (text::hex_value(h) < 0) return at_end(h, "invalid unicode escape");
            escape_[i] = static_cast<unsigned char>(h);
        }
        len = 6;
    } else if (c < 0 || !text::unescape_table[c]) {
        return at_end(c, c < 0 ? "unterminated escape sequence" : "invalid string escape");
    }
    out->data = escape_;
    out->len = len;
    *produced = true;
    return TAMSEL_STATUS_OK;
}

tamsel_status json_pull::number_step(pull_piece *out, bool *produced) {
    const uint8_t *p = cursor_.cur;
    const uint8_t *q = p;
    while (q < cursor_.end && number_chars[*q]) {
        number_state_ = number_step_state(number_state_, *q);
        if (number_state_ == n_reject) {
            cursor_.cur = q + 1;
            return invalid("invalid JSON number");
        }
        ++q;
    }
    if (q != p) {
        cursor_.cur = q;
        out->data = p;
        out->len = static_cast<size_t>(q - p);
        *produced = true;
        return TAMSEL_STATUS_OK;
    }
    if (q == cursor_.end && cursor_.refill()) return TAMSEL_STATUS_OK;
    if (cursor_.state() == visit::input_cursor::read_failed) return cursor_.failure();
    // The run of number characters ended here.
    if (!number_complete(number_state_)) return invalid("invalid JSON number");
    after_value();
    return TAMSEL_STATUS_OK;
}

tamsel_status json_pull::next(pull_piece *out) {
    *out = pull_piece{};
    for (;;) {
        if (queued_comma_) {
            queued_comma_ = false;
            out->data = bytes_of(",");
            out->len = 1;
            return TAMSEL_STATUS_OK;
        }
        if (queued_indent_) {
            queued_indent_ = false;
            out->indent = true;
            out->level = queued_level_;
            return TAMSEL_STATUS_OK;
        }
        if (queued_) {
            out->data = std::exchange(queued_, nullptr);
            out->len = std::exchange(queued_len_, 0);
            return TAMSEL_STATUS_OK;
        }
        bool produced = false;
        switch (phase_) {
        case phase::idle:
            return fail(error_, TAMSEL_STATUS_INVALID_ARGUMENT,
                        "JSON pull state is not initialized");
        case phase::whole:
            out->data = whole_;
            out->len = whole_len_;
            phase_ = phase::done;
            return TAMSEL_STATUS_OK;
        case phase::root:
            TAMSEL_TRY(begin_value(next_token_byte(), false, false));
            break;
        case phase::string_body:
            TAMSEL_TRY(string_step(out, &produced));
            break;
        case phase::number_body:
            TAMSEL_TRY(number_step(out, &produced));
            break;
        case phase::in_container:
            TAMSEL_TRY(container_step());
            break;
        case phase::colon:
            if (next_token_byte() != ':') return invalid("expected ':' after object key");
            TAMSEL_TRY(begin_value(next_token_byte(), false, false));
            break;
        case phase::trailing:
            // A read failure while checking is reported as this, errno kept.
            if (next_token_byte() != visit::input_cursor::end_of_input)
                return invalid("JSON value must contain exactly one value");
            phase_ = phase::done;
            break;
        case phase::done:
            out->end = true;
            return TAMSEL_STATUS_OK;
        default:
            return fail(error_, TAMSEL_STATUS_INTERNAL_ERROR, "invalid JSON pull frame phase");
        }
        if (produced) return TAMSEL_STATUS_OK;
    }
}

} // namespace tamsel::serialize

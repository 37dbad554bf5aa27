// The pull generator: the record writer turned inside out. The document is produced by a
// stack of small frames, each step of the top frame setting at most one piece of pending
// output (a span of bytes, then a run of spaces) or pushing or popping a frame; a read copies
// pending output into the caller's buffer and steps until the buffer is full or the stack is
// empty. The frames follow the record writer's layout and text rules exactly (tests compare
// the two byte for byte), and the raw-JSON pull reader follows the holder transcoder.
//
//   object      0 '{'  1 next written field  2 ','  3 Indent(D + 1)  5 key  6 ':'  7 value
//               8 counted  9 Indent(D)  11 '}' pop
//   arrays      0 '['  1 next item  2 ','  3 Indent(A + 1)  5 item  6 counted  7 Indent(A)
//               9 ']' pop
//   string      0 '"'  1 runs and escapes, then '"' pop
//   streamed    0 open, '"'  1 blocks, escaped or base64  2 last base64 group  3 '"' pop
//   JSON value  0 open the pull reader  1 its pieces until the end, pop
//
// Memory: one frame per open object, array, string or streamed field, grown through the
// write options' allocator; one 4096-byte block and one pull reader in the state.
#include "io/internal.hpp"
#include "parse/maps.hpp"
#include "serialize/internal.hpp"
#include "serialize/json_pull.hpp"
#include "visit/json_value.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace tamsel::serialize {

namespace {

constexpr size_t initial_frames = 16;
constexpr uint32_t omission_flags =
    TAMSEL_FIELD_HAS_PRESENCE | TAMSEL_FIELD_OMIT_NULL | TAMSEL_FIELD_OMIT_EMPTY;

enum class frame_kind : uint8_t {
    object,
    string,
    string_array,
    i64_array,
    u64_array,
    f64_array,
    bool_array,
    object_array,
    source_text,
    source_base64,
    spooled_text,
    spooled_base64,
    json_value,
};

struct frame {
    frame_kind kind;
    uint8_t phase;
    uint64_t depth;
    size_t index;   // object: next field to look at; arrays: current item; string: position
    size_t written; // object: fields written
    size_t current; // object: the field being written
    const void *a;  // object: map; arrays: items; string: bytes; streamed and JSON: value
    const void *b;  // object: record; object array: item map
    size_t n;       // arrays: count; string: length
    size_t stride;  // object array: item size
};

struct generator_state {
    explicit generator_state(const tamsel_allocator &a) : allocator(a), pull(&error) {}

    uint32_t magic = TAMSEL_GENERATOR_MAGIC;
    tamsel_allocator allocator;
    tamsel_write_options options{};
    bool pretty = false;
    tamsel_status failed = TAMSEL_STATUS_OK;
    tamsel_error error{};

    frame *frames = nullptr;
    size_t depth = 0;
    size_t capacity = 0;

    // Pending output: `span_len` bytes at `span`, then `fill` spaces.
    const unsigned char *span = nullptr;
    size_t span_len = 0;
    uint64_t fill = 0;
    char scratch[text::double_text_capacity];

    // The streamed field being written (one at a time: streamed frames push nothing).
    io::source_cursor source;
    uint64_t spool_pos = 0;
    size_t block_len = 0;
    size_t block_pos = 0;
    bool block_eof = false;
    uint8_t carry[3] = {};
    size_t carried = 0;
    unsigned char block[io::source_block_size];
    char encoded[io::source_block_size / 3 * 4 + 8];

    json_pull pull;
};

void set(generator_state &g, const void *p, size_t len, uint64_t fill = 0) {
    g.span = static_cast<const unsigned char *>(p);
    g.span_len = len;
    g.fill = fill;
}
void set(generator_state &g, const char *text) {
    set(g, text, std::strlen(text));
}

tamsel_status push(generator_state &g, const frame &f) {
    if (g.depth == g.capacity) {
        const size_t capacity = g.capacity ? g.capacity * 2 : initial_frames;
        size_t old_bytes, new_bytes;
        if (!checked_mul(g.capacity, sizeof(frame), &old_bytes) ||
            !checked_mul(capacity, sizeof(frame), &new_bytes))
            return fail(&g.error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow generator frame stack");
        void *grown = raw_realloc(g.allocator, g.frames, old_bytes, new_bytes);
        if (!grown)
            return fail(&g.error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow generator frame stack");
        g.frames = static_cast<frame *>(grown);
        g.capacity = capacity;
    }
    g.frames[g.depth++] = f;
    return TAMSEL_STATUS_OK;
}

frame make(frame_kind kind, uint64_t depth, const void *a, const void *b = nullptr, size_t n = 0,
           size_t stride = 0) {
    return frame{kind, 0, depth, 0, 0, 0, a, b, n, stride};
}

tamsel_status push_object(generator_state &g, const tamsel_map *map, const void *record,
                          uint64_t depth) {
    if (depth > max_record_depth) return too_deep(&g.error);
    return push(g, make(frame_kind::object, depth, map, record));
}

tamsel_status push_string(generator_state &g, const void *bytes, size_t len) {
    return push(g, make(frame_kind::string, 0, bytes, nullptr, len));
}

void reset_source(generator_state &g) {
    std::destroy_at(&g.source); // closes a file opened for a path source
    std::construct_at(&g.source);
}

tamsel_status io_failure(generator_state &g, int code, const char *message) {
    fail(&g.error, TAMSEL_STATUS_IO_ERROR, "%s", message);
    g.error.system_errno = code;
    return TAMSEL_STATUS_IO_ERROR;
}

int name_width(const tamsel_field &f) {
    return f.name_len > 4096 ? 4096 : static_cast<int>(f.name_len);
}

tamsel_status format_double_piece(generator_state &g, double v) {
    if (!std::isfinite(v))
        return fail(&g.error, TAMSEL_STATUS_TYPE_MISMATCH,
                    "non-finite double cannot be serialized");
    const size_t n = text::format_double(v, g.scratch);
    if (n == 0) return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR, "failed to format number");
    set(g, g.scratch, n);
    return TAMSEL_STATUS_OK;
}

// The value of field `f` (member at `m`) of an object at `depth`.
tamsel_status value(generator_state &g, const tamsel_field &f, const unsigned char *m,
                    uint64_t depth) {
    switch (f.kind) {
    case TAMSEL_FIELD_STRING: {
        if (f.storage == TAMSEL_STORAGE_FIXED) {
            const void *nul = std::memchr(m, 0, f.capacity);
            const size_t n =
                nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - m) : f.capacity;
            return push_string(g, m, n);
        }
        const char *s;
        std::memcpy(&s, m, sizeof s);
        if (!s) {
            set(g, "null");
            return TAMSEL_STATUS_OK;
        }
        return push_string(g, s, std::strlen(s));
    }
    case TAMSEL_FIELD_SPOOLED_TEXT:
    case TAMSEL_FIELD_SPOOLED_BYTES:
        return push(g, make(f.kind == TAMSEL_FIELD_SPOOLED_TEXT ? frame_kind::spooled_text
                                                                : frame_kind::spooled_base64,
                            depth, m));
    case TAMSEL_FIELD_SOURCE_TEXT:
    case TAMSEL_FIELD_SOURCE_BYTES:
        if (reinterpret_cast<const tamsel_source *>(m)->kind == TAMSEL_SOURCE_NONE) {
            set(g, "null");
            return TAMSEL_STATUS_OK;
        }
        return push(g, make(f.kind == TAMSEL_FIELD_SOURCE_TEXT ? frame_kind::source_text
                                                               : frame_kind::source_base64,
                            depth, m));
    case TAMSEL_FIELD_JSON_VALUE:
        return push(g, make(frame_kind::json_value, depth + 1, m));
    case TAMSEL_FIELD_I64: {
        int64_t v;
        std::memcpy(&v, m, sizeof v);
        set(g, g.scratch, text::format_i64(v, g.scratch));
        return TAMSEL_STATUS_OK;
    }
    case TAMSEL_FIELD_U64: {
        uint64_t v;
        std::memcpy(&v, m, sizeof v);
        set(g, g.scratch, text::format_u64(v, g.scratch));
        return TAMSEL_STATUS_OK;
    }
    case TAMSEL_FIELD_F64: {
        double v;
        std::memcpy(&v, m, sizeof v);
        return format_double_piece(g, v);
    }
    case TAMSEL_FIELD_BOOL: {
        int v;
        std::memcpy(&v, m, sizeof v);
        set(g, v ? "true" : "false");
        return TAMSEL_STATUS_OK;
    }
    case TAMSEL_FIELD_OBJECT:
        return push_object(g, f.submap, m, depth + 1);
    case TAMSEL_FIELD_STRING_ARRAY:
    case TAMSEL_FIELD_I64_ARRAY:
    case TAMSEL_FIELD_U64_ARRAY:
    case TAMSEL_FIELD_F64_ARRAY:
    case TAMSEL_FIELD_BOOL_ARRAY:
    case TAMSEL_FIELD_OBJECT_ARRAY: {
        // Every array record starts with its items pointer and count.
        const auto *a = reinterpret_cast<const tamsel_i64_array *>(m);
        const void *items = a->items;
        const size_t count = a->count;
        if (count && !items)
            return fail(&g.error, TAMSEL_STATUS_INVALID_ARGUMENT,
                        "array field '%.*s' has a count but no items", name_width(f), f.name);
        static constexpr frame_kind kinds[] = {frame_kind::string_array, frame_kind::i64_array,
                                               frame_kind::u64_array,    frame_kind::f64_array,
                                               frame_kind::bool_array,   frame_kind::object_array};
        return push(g, make(kinds[f.kind - TAMSEL_FIELD_STRING_ARRAY], depth + 1, items, f.submap,
                            count, f.elem_size));
    }
    case TAMSEL_FIELD_STRING_ARRAY_STREAM:
    case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
        return fail(&g.error, TAMSEL_STATUS_TYPE_MISMATCH,
                    "field '%.*s' is parse-only and cannot be serialized", name_width(f), f.name);
    default:
        return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR, "unsupported field kind");
    }
}

// The phases objects and arrays share: 0 the opening bracket, 2 the comma before a member,
// 3 a member's indentation, 9 the closing indentation, 11 the closing bracket. False for a
// phase the container steps itself.
bool container_phase(generator_state &g, frame &f, const char *open, const char *close) {
    switch (f.phase) {
    case 0:
        set(g, open);
        f.phase = 1;
        return true;
    case 2:
        set(g, ",");
        f.phase = g.pretty ? 3 : 5;
        return true;
    case 3:
        set(g, "\n", 1, 2 * f.depth + 2);
        f.phase = 5;
        return true;
    case 9:
        set(g, "\n", 1, 2 * f.depth);
        f.phase = 11;
        return true;
    case 11:
        set(g, close);
        --g.depth;
        return true;
    default:
        return false;
    }
}

tamsel_status object_step(generator_state &g, frame &f) {
    const auto &map = *static_cast<const tamsel_map *>(f.a);
    const auto *rec = static_cast<const unsigned char *>(f.b);
    if (container_phase(g, f, "{", "}")) return TAMSEL_STATUS_OK;
    switch (f.phase) {
    case 1:
        while (f.index < map.field_count) {
            const tamsel_field &field = map.fields[f.index];
            if ((field.flags & TAMSEL_FIELD_REQUIRED) || !(field.flags & omission_flags) ||
                !parse::field_is_empty_for_omit(map, field, const_cast<unsigned char *>(rec)))
                break;
            ++f.index;
        }
        if (f.index < map.field_count) {
            f.current = f.index++;
            f.phase = f.written ? 2 : g.pretty ? 3 : 5;
        } else {
            f.phase = g.pretty && f.written ? 9 : 11;
        }
        return TAMSEL_STATUS_OK;
    case 5: {
        f.phase = 6;
        const tamsel_field &field = map.fields[f.current];
        return push_string(g, field.name, field.name_len); // `f` may move
    }
    case 6:
        set(g, g.pretty ? ": " : ":");
        f.phase = 7;
        return TAMSEL_STATUS_OK;
    case 7: {
        f.phase = 8;
        const tamsel_field &field = map.fields[f.current];
        return value(g, field, rec + field.offset, f.depth); // `f` may move
    }
    case 8:
        ++f.written;
        f.phase = 1;
        return TAMSEL_STATUS_OK;
    default:
        return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR, "invalid generator map phase");
    }
}

tamsel_status item(generator_state &g, frame &f) {
    const size_t i = f.index;
    switch (f.kind) {
    case frame_kind::string_array: {
        const char *s = static_cast<char *const *>(f.a)[i];
        return s ? push_string(g, s, std::strlen(s)) : push_string(g, "", 0);
    }
    case frame_kind::i64_array:
        set(g, g.scratch, text::format_i64(static_cast<const int64_t *>(f.a)[i], g.scratch));
        return TAMSEL_STATUS_OK;
    case frame_kind::u64_array:
        set(g, g.scratch, text::format_u64(static_cast<const uint64_t *>(f.a)[i], g.scratch));
        return TAMSEL_STATUS_OK;
    case frame_kind::f64_array:
        return format_double_piece(g, static_cast<const double *>(f.a)[i]);
    case frame_kind::bool_array:
        set(g, static_cast<const int *>(f.a)[i] ? "true" : "false");
        return TAMSEL_STATUS_OK;
    default: {
        // Object items are the field's elem_size apart; no item map means objects without
        // fields, as the record writer has it.
        static constexpr tamsel_map empty_map = {"", 0, nullptr, 0, nullptr, nullptr};
        const auto *map = f.b ? static_cast<const tamsel_map *>(f.b) : &empty_map;
        const auto *base = static_cast<const unsigned char *>(f.a);
        return push_object(g, map, base + i * f.stride, f.depth + 1); // `f` may move
    }
    }
}

tamsel_status array_step(generator_state &g, frame &f) {
    if (container_phase(g, f, "[", "]")) return TAMSEL_STATUS_OK;
    switch (f.phase) {
    case 1:
        if (f.index < f.n)
            f.phase = f.index ? 2 : g.pretty ? 3 : 5;
        else
            f.phase = g.pretty && f.n ? 9 : 11;
        return TAMSEL_STATUS_OK;
    case 5:
        f.phase = 6;
        return item(g, f);
    case 6:
        ++f.index;
        f.phase = 1;
        return TAMSEL_STATUS_OK;
    default:
        return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR,
                    f.kind == frame_kind::object_array ? "invalid generator object-array phase"
                                                       : "invalid generator array phase");
    }
}

tamsel_status string_step(generator_state &g, frame &f) {
    const auto *bytes = static_cast<const uint8_t *>(f.a);
    if (f.phase == 0) {
        set(g, "\"");
        f.phase = 1;
        return TAMSEL_STATUS_OK;
    }
    if (f.index == f.n) {
        set(g, "\"");
        --g.depth;
        return TAMSEL_STATUS_OK;
    }
    const uint8_t *p = bytes + f.index;
    const uint8_t *q = text::find_escape(p, bytes + f.n);
    if (q != p) {
        set(g, p, static_cast<size_t>(q - p));
        f.index = static_cast<size_t>(q - bytes);
    } else {
        set(g, g.scratch, text::escape_sequence(*p, g.scratch));
        ++f.index;
    }
    return TAMSEL_STATUS_OK;
}

// Reads the next block of a streamed field into g.block.
tamsel_status read_block(generator_state &g, const frame &f) {
    g.block_pos = 0;
    g.block_len = 0;
    if (f.kind == frame_kind::source_text || f.kind == frame_kind::source_base64) {
        io::pull_result got;
        TAMSEL_TRY(io::pull_reader(io::source_cursor::reader, &g.source, g.block, sizeof g.block,
                                   "failed to read source data", &got, &g.error));
        g.block_len = got.bytes;
        g.block_eof = got.eof || got.would_block;
        return TAMSEL_STATUS_OK;
    }
    const auto *s = static_cast<const tamsel_spooled *>(f.a);
    if (!io::spooled_is_initialised(s)) {
        g.block_eof = true; // a record without its mark holds nothing to read
        return TAMSEL_STATUS_OK;
    }
    tamsel_read_result r = io::spooled_read_at(*s, &g.spool_pos, g.block, sizeof g.block);
    if (r.error_code || (r.bytes == 0 && !r.eof))
        return io_failure(g, r.error_code ? r.error_code : 5, "failed to read spooled data");
    g.block_len = r.bytes;
    g.block_eof = r.eof != 0;
    return TAMSEL_STATUS_OK;
}

tamsel_status streamed_step(generator_state &g, frame &f) {
    const bool base64 = f.kind == frame_kind::source_base64 || f.kind == frame_kind::spooled_base64;
    switch (f.phase) {
    case 0:
        g.block_len = g.block_pos = 0;
        g.block_eof = false;
        g.carried = 0;
        if (f.kind == frame_kind::source_text || f.kind == frame_kind::source_base64) {
            reset_source(g);
            TAMSEL_TRY(g.source.open(*static_cast<const tamsel_source *>(f.a), &g.error));
        } else {
            const auto *s = static_cast<const tamsel_spooled *>(f.a);
            g.spool_pos = 0;
            if (io::spooled_is_initialised(s) && s->total_len > 0)
                TAMSEL_TRY(io::spooled_rewind_file(*s, &g.error));
        }
        set(g, "\"");
        f.phase = 1;
        return TAMSEL_STATUS_OK;
    case 1: {
        if (g.block_pos == g.block_len) {
            if (g.block_eof) {
                f.phase = 2;
                return TAMSEL_STATUS_OK;
            }
            return read_block(g, f);
        }
        const uint8_t *p = g.block + g.block_pos;
        const uint8_t *e = g.block + g.block_len;
        if (!base64) {
            const uint8_t *q = text::find_escape(p, e);
            if (q != p) {
                set(g, p, static_cast<size_t>(q - p));
                g.block_pos = static_cast<size_t>(q - g.block);
            } else {
                set(g, g.scratch, text::escape_sequence(*p, g.scratch));
                ++g.block_pos;
            }
            return TAMSEL_STATUS_OK;
        }
        // Complete groups of this block (the carry topped up first) in one piece; up to two
        // bytes wait for the next block.
        size_t out = 0;
        if (g.carried) {
            while (g.carried < 3 && p < e)
                g.carry[g.carried++] = *p++;
            if (g.carried == 3) {
                text::base64_groups(g.carry, 1, g.encoded);
                out = 4;
                g.carried = 0;
            }
        }
        const size_t groups = static_cast<size_t>(e - p) / 3;
        text::base64_groups(p, groups, g.encoded + out);
        out += 4 * groups;
        p += 3 * groups;
        while (p < e)
            g.carry[g.carried++] = *p++;
        g.block_pos = g.block_len;
        set(g, g.encoded, out);
        return TAMSEL_STATUS_OK;
    }
    case 2:
        if (base64 && g.carried) {
            text::base64_tail(g.carry, g.carried, g.encoded);
            g.carried = 0;
            set(g, g.encoded, 4);
        }
        f.phase = 3;
        return TAMSEL_STATUS_OK;
    case 3:
        set(g, "\"");
        reset_source(g);
        --g.depth;
        return TAMSEL_STATUS_OK;
    default:
        return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR, "invalid generator streamed phase");
    }
}

tamsel_status json_step(generator_state &g, frame &f) {
    if (f.phase == 0) {
        TAMSEL_TRY(g.pull.open(static_cast<const tamsel_json_value *>(f.a), g.pretty,
                               g.pretty ? f.depth : 0));
        f.phase = 1;
        return TAMSEL_STATUS_OK;
    }
    pull_piece piece;
    TAMSEL_TRY(g.pull.next(&piece));
    if (piece.end) {
        g.pull.close();
        --g.depth;
    } else if (piece.indent) {
        if (piece.level > static_cast<uint64_t>(INT64_MAX))
            return fail(&g.error, TAMSEL_STATUS_OVERFLOW, "JSON indentation depth is too large");
        set(g, "\n", 1, 2 * piece.level);
    } else {
        set(g, piece.data, piece.len);
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status step(generator_state &g) {
    frame &f = g.frames[g.depth - 1];
    switch (f.kind) {
    case frame_kind::object:
        return object_step(g, f);
    case frame_kind::string:
        return string_step(g, f);
    case frame_kind::string_array:
    case frame_kind::i64_array:
    case frame_kind::u64_array:
    case frame_kind::f64_array:
    case frame_kind::bool_array:
    case frame_kind::object_array:
        return array_step(g, f);
    case frame_kind::source_text:
    case frame_kind::source_base64:
    case frame_kind::spooled_text:
    case frame_kind::spooled_base64:
        return streamed_step(g, f);
    case frame_kind::json_value:
        return json_step(g, f);
    }
    return fail(&g.error, TAMSEL_STATUS_INTERNAL_ERROR, "unsupported generator frame kind");
}

// Copies pending output and steps until `capacity` bytes are out or the document is done.
tamsel_status produce(generator_state &g, unsigned char *out, size_t capacity, size_t *length) {
    size_t n = 0;
    for (;;) {
        if (g.span_len) {
            const size_t k = std::min(g.span_len, capacity - n);
            if (k) std::memcpy(out + n, g.span, k);
            g.span += k;
            g.span_len -= k;
            n += k;
            if (g.span_len) break;
        }
        if (g.fill) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(g.fill, capacity - n));
            if (k) std::memset(out + n, ' ', k);
            g.fill -= k;
            n += k;
            if (g.fill) break;
        }
        if (g.depth == 0 || n == capacity) break;
        TAMSEL_TRY(step(g));
    }
    *length = n;
    return TAMSEL_STATUS_OK;
}

bool finished(const generator_state &g) {
    return g.depth == 0 && g.span_len == 0 && g.fill == 0;
}

generator_state *state_of(const tamsel_generator *gen) {
    auto *g = static_cast<generator_state *>(gen->state);
    return g && g->magic == TAMSEL_GENERATOR_MAGIC ? g : nullptr;
}

void release_state(generator_state *g) {
    if (g->frames) raw_free(g->allocator, g->frames, g->capacity * sizeof(frame));
    std::destroy_at(g); // closes source and holder files, frees the pull reader's stack
    owned_free(g);
}

void reset_record(tamsel_generator *gen) {
    std::memset(gen, 0, sizeof *gen);
    gen->read = tamsel_generator_read;
    gen->cleanup = tamsel_generator_cleanup;
}

// A fresh generator state from `options`' allocator, with its own copy of the options.
[[nodiscard]] tamsel_status new_state(tamsel_generator *gen, const tamsel_write_options &options,
                                      generator_state **out) {
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(options.allocator, &allocator, &gen->error));
    void *memory = owned_alloc(&allocator, sizeof(generator_state));
    if (!memory)
        return fail(&gen->error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate generator state");
    generator_state *g = std::construct_at(static_cast<generator_state *>(memory), allocator);
    g->options = options;
    g->options.allocator = &g->allocator;
    g->pretty = options.pretty != 0;
    *out = g;
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_status generator_init_with_options(tamsel_generator *gen, const tamsel_map *map,
                                          const void *src, const tamsel_write_options &options) {
    if (!map || !src)
        return fail(&gen->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "map and source are required for generator init");
    if (!parse::analyze_map(map).valid)
        return fail(&gen->error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid map layout");
    generator_state *g;
    TAMSEL_TRY(new_state(gen, options, &g));
    if (push_object(*g, map, src, 0) != TAMSEL_STATUS_OK) {
        gen->error = g->error;
        release_state(g);
        return gen->error.code;
    }
    gen->state = g;
    gen->done = 0;
    clear_error(&gen->error);
    return TAMSEL_STATUS_OK;
}

tamsel_status generator_init_value(tamsel_generator *gen, value_frame kind, const void *value,
                                   const tamsel_write_options &options) {
    generator_state *g;
    TAMSEL_TRY(new_state(gen, options, &g));
    static constexpr frame_kind kinds[] = {frame_kind::spooled_text, frame_kind::source_text,
                                           frame_kind::spooled_base64, frame_kind::source_base64,
                                           frame_kind::json_value};
    if (push(*g, make(kinds[static_cast<size_t>(kind)], 0, value)) != TAMSEL_STATUS_OK) {
        gen->error = g->error;
        release_state(g);
        return gen->error.code;
    }
    gen->state = g;
    gen->done = 0;
    clear_error(&gen->error);
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::serialize

using namespace tamsel;
using namespace tamsel::serialize;

extern "C" tamsel_status tamsel_generator_init(tamsel_runtime *runtime, tamsel_generator *generator,
                                               const tamsel_map *map, const void *src) {
    if (!generator) return TAMSEL_STATUS_INVALID_ARGUMENT;
    reset_record(generator);
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, &generator->error));
    return generator_init_with_options(generator, map, src, snap.options);
}

extern "C" tamsel_status tamsel_generator_read(tamsel_generator *generator, void *buffer,
                                               size_t capacity, size_t *out_length, int *out_done) {
    if (out_length) *out_length = 0;
    if (out_done) *out_done = 0;
    if (!generator) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (const auto *f = static_cast<const foreign_generator *>(generator->state);
        f && f->magic == TAMSEL_WRITER_GENERATOR_MAGIC)
        return f->read(generator, buffer, capacity, out_length, out_done);
    generator_state *g = state_of(generator);
    if (!g) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (!buffer && capacity)
        return fail(&generator->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "generator read buffer is required");
    if (g->failed) {
        // The document cannot be resumed: every later read reports the same failure.
        generator->done = 0;
        generator->error = g->error;
        return g->failed;
    }
    size_t n = 0;
    tamsel_status st = produce(*g, static_cast<unsigned char *>(buffer), capacity, &n);
    if (st != TAMSEL_STATUS_OK) {
        g->failed = st;
        generator->error = g->error;
        generator->done = 0;
        return st;
    }
    const int done = finished(*g) ? 1 : 0;
    generator->done = done;
    if (out_length) *out_length = n;
    if (out_done) *out_done = done;
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_status tamsel_generator_measure(tamsel_runtime *runtime, const tamsel_map *map,
                                                  const void *src, size_t *out_length,
                                                  tamsel_error *error) {
    if (out_length) *out_length = 0;
    write_snapshot snap;
    TAMSEL_TRY(take_write_snapshot(runtime, &snap, error));
    if (!map || !src || !out_length)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "map, source, and output length are required");
    if (!parse::analyze_map(map).valid)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid map layout");
    if (!record_is_rewindable(*map, src))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "cannot measure non-rewindable JSON document");
    clear_error(error);
    counting_output out(error);
    TAMSEL_TRY(write_record(*map, src, out, error, snap.options.pretty != 0));
    *out_length = clamp_to_size(out.total());
    return TAMSEL_STATUS_OK;
}

extern "C" void tamsel_generator_cleanup(tamsel_generator *generator) {
    if (!generator) return;
    if (const auto *f = static_cast<const foreign_generator *>(generator->state);
        f && f->magic == TAMSEL_WRITER_GENERATOR_MAGIC) {
        f->cleanup(generator); // releases the writer generator's state and resets the record
        return;
    }
    if (generator_state *g = state_of(generator)) release_state(g);
    reset_record(generator);
}

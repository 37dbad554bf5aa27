// The record writer: walks a mapped record field by field in map order and writes it as one
// JSON object, compact or pretty, into an output window.
//
// Omitted fields (the omission rules of parse/maps) write nothing, not even a comma. Each
// value is written by its kind; spooled values and sources are streamed in 4096-byte blocks
// (escaped or base64), JSON value holders go through their transcoder. Pretty layout at
// depth D: the fields of an object at Indent(D + 1) and its closing brace at Indent(D) when
// something was written; array items at Indent(D + 2) and the closing bracket at
// Indent(D + 1), D being the depth of the object that holds the array.
//
// Recursion: one record() call per nested record. OBJECT nesting is bounded by the map
// analysis (a map cannot contain itself by value); nesting through OBJECT_ARRAY items is
// data, so record() refuses depths past max_record_depth.
#include "io/internal.hpp"
#include "parse/maps.hpp"
#include "serialize/internal.hpp"
#include "visit/json_value.hpp"

#include <cstring>

namespace tamsel::serialize {

namespace {

constexpr tamsel_map empty_map = {"", 0, nullptr, 0, nullptr, nullptr};
constexpr uint32_t omission_flags =
    TAMSEL_FIELD_HAS_PRESENCE | TAMSEL_FIELD_OMIT_NULL | TAMSEL_FIELD_OMIT_EMPTY;

bool omitted(const tamsel_map &map, const tamsel_field &f, const unsigned char *rec) {
    if ((f.flags & TAMSEL_FIELD_REQUIRED) || !(f.flags & omission_flags)) return false;
    return parse::field_is_empty_for_omit(map, f, const_cast<unsigned char *>(rec));
}

// The field's name for messages (names are written with their length, not up to a NUL).
int name_width(const tamsel_field &f) {
    return f.name_len > 4096 ? 4096 : static_cast<int>(f.name_len);
}

tamsel_status io_failure(tamsel_error *error, int code, const char *message) {
    fail(error, TAMSEL_STATUS_IO_ERROR, "%s", message);
    if (error) error->system_errno = code;
    return TAMSEL_STATUS_IO_ERROR;
}

// The block buffers of the two streamed kinds live in these leaf calls, never in the
// recursive frames.
[[gnu::noinline]] tamsel_status write_spooled(const tamsel_spooled *s, bool base64,
                                              io::byte_output &out, tamsel_error *error) {
    TAMSEL_TRY(out.put('"'));
    // A record without its mark (never initialised, or a copy) holds nothing to read.
    if (io::spooled_is_initialised(s) && s->total_len > 0) {
        TAMSEL_TRY(io::spooled_rewind_file(*s, error));
        unsigned char block[io::spooled_block_size];
        text::base64_stream encoder;
        uint64_t pos = 0;
        for (;;) {
            tamsel_read_result r = io::spooled_read_at(*s, &pos, block, sizeof block);
            if (r.error_code || (r.bytes == 0 && !r.eof))
                return io_failure(error, r.error_code ? r.error_code : 5,
                                  base64 ? "failed to read spooled bytes"
                                         : "failed to read spooled text");
            if (r.bytes)
                TAMSEL_TRY(base64 ? encoder.feed(out, block, r.bytes)
                                  : text::escaped_fragment(out, block, r.bytes));
            if (r.eof) break;
        }
        if (base64) TAMSEL_TRY(encoder.finish(out));
    }
    return out.put('"');
}

[[gnu::noinline]] tamsel_status write_source(const tamsel_source *s, bool base64,
                                             io::byte_output &out, tamsel_error *error) {
    if (s->kind == TAMSEL_SOURCE_NONE) return out.put("null", 4);
    io::source_cursor cursor; // closes a file it opened on every return
    TAMSEL_TRY(cursor.open(*s, error));
    TAMSEL_TRY(out.put('"'));
    unsigned char block[io::source_block_size];
    text::base64_stream encoder;
    for (;;) {
        io::pull_result got;
        TAMSEL_TRY(io::pull_reader(
            io::source_cursor::reader, &cursor, block, sizeof block,
            base64 ? "failed to read source bytes" : "failed to read source text", &got, error));
        if (got.bytes)
            TAMSEL_TRY(base64 ? encoder.feed(out, block, got.bytes)
                              : text::escaped_fragment(out, block, got.bytes));
        if (got.eof || got.would_block) break;
    }
    if (base64) TAMSEL_TRY(encoder.finish(out));
    return out.put('"');
}

// The items of an array member (all array records start with items and count), or a failure
// for a count without items.
template <class Array>
tamsel_status array_items(const tamsel_field &f, const unsigned char *m, const Array **out,
                          tamsel_error *error) {
    const auto *a = reinterpret_cast<const Array *>(m);
    if (a->count && !a->items)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "array field '%.*s' has a count but no items", name_width(f), f.name);
    *out = a;
    return TAMSEL_STATUS_OK;
}

template <bool Pretty> class writer {
  public:
    writer(io::byte_output &out, tamsel_error *error) : out_(out), error_(error) {}

    tamsel_status record(const tamsel_map &map, const unsigned char *rec, uint64_t depth) {
        if (depth > max_record_depth) return too_deep(error_);
        TAMSEL_TRY(out_.put('{'));
        bool first = true;
        for (size_t i = 0; i < map.field_count; ++i) {
            const tamsel_field &f = map.fields[i];
            if (omitted(map, f, rec)) continue;
            TAMSEL_TRY(key(f, first, depth));
            first = false;
            TAMSEL_TRY(value(f, rec + f.offset, depth));
        }
        if (Pretty && !first) TAMSEL_TRY(text::indent(out_, depth, error_));
        return out_.put('}');
    }

  private:
    // [","] [Indent(depth + 1)] "name" ":" (": " pretty). When every piece fits and the name
    // needs no escaping, one copy.
    tamsel_status key(const tamsel_field &f, bool first, uint64_t depth) {
        const size_t lead = first ? 0 : 1;
        const size_t spaces = Pretty && depth < 32 ? 2 * static_cast<size_t>(depth + 1) : 0;
        const size_t sep = Pretty ? 2 : 1;
        const size_t room = out_.room();
        if ((!Pretty || depth < 32) && f.name_len < room &&
            room - f.name_len >= lead + (Pretty ? 1 + spaces : 0) + 2 + sep &&
            text::is_plain(f.name, f.name_len)) {
            unsigned char *w = out_.window();
            if (!first) *w++ = ',';
            if (Pretty) {
                io::byte_output::copy(w, text::indent_text, 1 + spaces);
                w += 1 + spaces;
            }
            *w++ = '"';
            io::byte_output::copy(w, f.name, f.name_len);
            w += f.name_len;
            *w++ = '"';
            *w++ = ':';
            if (Pretty) *w++ = ' ';
            out_.advance(static_cast<size_t>(w - out_.window()));
            return TAMSEL_STATUS_OK;
        }
        if (!first) TAMSEL_TRY(out_.put(','));
        if (Pretty) TAMSEL_TRY(text::indent(out_, depth + 1, error_));
        TAMSEL_TRY(text::escaped_string(out_, f.name, f.name_len));
        return Pretty ? out_.put(": ", 2) : out_.put(':');
    }

    // Items of an array value of a field of an object at `depth`.
    template <class Emit> tamsel_status items(size_t count, uint64_t depth, Emit emit) {
        TAMSEL_TRY(out_.put('['));
        for (size_t i = 0; i < count; ++i) {
            if (Pretty) {
                TAMSEL_TRY(i ? text::comma_indent(out_, depth + 2, error_)
                             : text::indent(out_, depth + 2, error_));
            } else if (i) {
                TAMSEL_TRY(out_.put(','));
            }
            TAMSEL_TRY(emit(i));
        }
        if (Pretty && count) TAMSEL_TRY(text::indent(out_, depth + 1, error_));
        return out_.put(']');
    }

    tamsel_status string_member(const tamsel_field &f, const unsigned char *m) {
        if (f.storage == TAMSEL_STORAGE_FIXED) {
            const void *nul = std::memchr(m, 0, f.capacity);
            size_t n =
                nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - m) : f.capacity;
            return text::escaped_string(out_, m, n);
        }
        const char *s;
        std::memcpy(&s, m, sizeof s);
        if (!s) return out_.put("null", 4);
        return text::escaped_string(out_, s, std::strlen(s));
    }

    tamsel_status value(const tamsel_field &f, const unsigned char *m, uint64_t depth) {
        switch (f.kind) {
        case TAMSEL_FIELD_STRING:
            return string_member(f, m);
        case TAMSEL_FIELD_SPOOLED_TEXT:
        case TAMSEL_FIELD_SPOOLED_BYTES:
            return write_spooled(reinterpret_cast<const tamsel_spooled *>(m),
                                 f.kind == TAMSEL_FIELD_SPOOLED_BYTES, out_, error_);
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
            return write_source(reinterpret_cast<const tamsel_source *>(m),
                                f.kind == TAMSEL_FIELD_SOURCE_BYTES, out_, error_);
        case TAMSEL_FIELD_JSON_VALUE:
            return visit::transcode_json_value(reinterpret_cast<const tamsel_json_value *>(m), out_,
                                               error_, Pretty, Pretty ? depth + 1 : 0);
        case TAMSEL_FIELD_I64: {
            int64_t v;
            std::memcpy(&v, m, sizeof v);
            return text::emit_i64(out_, v);
        }
        case TAMSEL_FIELD_U64: {
            uint64_t v;
            std::memcpy(&v, m, sizeof v);
            return text::emit_u64(out_, v);
        }
        case TAMSEL_FIELD_F64: {
            double v;
            std::memcpy(&v, m, sizeof v);
            return text::emit_double(out_, v, error_, "non-finite double cannot be serialized");
        }
        case TAMSEL_FIELD_BOOL: {
            int v;
            std::memcpy(&v, m, sizeof v);
            return text::emit_bool(out_, v != 0);
        }
        case TAMSEL_FIELD_OBJECT:
            return record(*f.submap, m, depth + 1);
        case TAMSEL_FIELD_STRING_ARRAY: {
            const tamsel_string_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            return items(a->count, depth, [&](size_t i) {
                const char *s = a->items[i];
                return s ? text::escaped_string(out_, s, std::strlen(s))
                         : text::escaped_string(out_, "", 0);
            });
        }
        case TAMSEL_FIELD_I64_ARRAY: {
            const tamsel_i64_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            return items(a->count, depth,
                         [&](size_t i) { return text::emit_i64(out_, a->items[i]); });
        }
        case TAMSEL_FIELD_U64_ARRAY: {
            const tamsel_u64_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            return items(a->count, depth,
                         [&](size_t i) { return text::emit_u64(out_, a->items[i]); });
        }
        case TAMSEL_FIELD_F64_ARRAY: {
            const tamsel_f64_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            return items(a->count, depth, [&](size_t i) {
                return text::emit_double(out_, a->items[i], error_,
                                         "non-finite double array element cannot be serialized");
            });
        }
        case TAMSEL_FIELD_BOOL_ARRAY: {
            const tamsel_bool_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            return items(a->count, depth,
                         [&](size_t i) { return text::emit_bool(out_, a->items[i] != 0); });
        }
        case TAMSEL_FIELD_OBJECT_ARRAY: {
            const tamsel_object_array *a = nullptr;
            TAMSEL_TRY(array_items(f, m, &a, error_));
            // Items are the field's elem_size apart (the record's member is informational); an
            // array without an item map writes each item as an object without fields.
            const tamsel_map &item_map = f.submap ? *f.submap : empty_map;
            const auto *base = static_cast<const unsigned char *>(a->items);
            return items(a->count, depth, [&](size_t i) {
                return record(item_map, base + i * f.elem_size, depth + 2);
            });
        }
        case TAMSEL_FIELD_STRING_ARRAY_STREAM:
        case TAMSEL_FIELD_MAPPED_ARRAY_STREAM:
            return fail(error_, TAMSEL_STATUS_TYPE_MISMATCH,
                        "field '%.*s' is parse-only and cannot be serialized", name_width(f),
                        f.name);
        default:
            return fail(error_, TAMSEL_STATUS_INTERNAL_ERROR, "unsupported field kind");
        }
    }

    io::byte_output &out_;
    tamsel_error *error_;
};

} // namespace

tamsel_status too_deep(tamsel_error *error) {
    return fail(error, TAMSEL_STATUS_OVERFLOW, "record nesting is too deep to serialize");
}

tamsel_status write_record(const tamsel_map &map, const void *record, io::byte_output &out,
                           tamsel_error *error, bool pretty, uint64_t depth) {
    const auto *rec = static_cast<const unsigned char *>(record);
    if (pretty) return writer<true>(out, error).record(map, rec, depth);
    return writer<false>(out, error).record(map, rec, depth);
}

tamsel_status write_lines(const tamsel_map &map, const void *items, size_t count, size_t stride,
                          io::byte_output &out, tamsel_error *error, bool pretty) {
    const auto *p = static_cast<const unsigned char *>(items);
    for (size_t i = 0; i < count; ++i, p += stride) {
        TAMSEL_TRY(write_record(map, p, out, error, pretty, 0));
        TAMSEL_TRY(out.put('\n'));
    }
    return TAMSEL_STATUS_OK;
}

bool record_is_rewindable(const tamsel_map &map, const void *record, uint64_t depth) {
    // Past the depth limit the serialization itself reports the nesting.
    if (depth > max_record_depth) return true;
    const auto *rec = static_cast<const unsigned char *>(record);
    for (size_t i = 0; i < map.field_count; ++i) {
        const tamsel_field &f = map.fields[i];
        if (omitted(map, f, rec)) continue;
        const unsigned char *m = rec + f.offset;
        switch (f.kind) {
        case TAMSEL_FIELD_SOURCE_TEXT:
        case TAMSEL_FIELD_SOURCE_BYTES:
            if (!tamsel_source_is_rewindable(reinterpret_cast<const tamsel_source *>(m)))
                return false;
            break;
        case TAMSEL_FIELD_JSON_VALUE:
            if (!tamsel_json_value_is_rewindable(reinterpret_cast<const tamsel_json_value *>(m)))
                return false;
            break;
        case TAMSEL_FIELD_OBJECT:
            if (!record_is_rewindable(*f.submap, m, depth + 1)) return false;
            break;
        case TAMSEL_FIELD_OBJECT_ARRAY: {
            const auto *a = reinterpret_cast<const tamsel_object_array *>(m);
            if (!f.submap || !a->items) break;
            const auto *base = static_cast<const unsigned char *>(a->items);
            for (size_t k = 0; k < a->count; ++k)
                if (!record_is_rewindable(*f.submap, base + k * f.elem_size, depth + 2))
                    return false;
            break;
        }
        default:
            break;
        }
    }
    return true;
}

} // namespace tamsel::serialize

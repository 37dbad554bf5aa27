// The record the mapped-parse targets parse into: one map that uses nearly every field kind
// (dynamic and fixed strings, scalars with presence, a nested object, scalar and string arrays,
// an array of nested records, spooled text and bytes, a captured JSON value, a string array
// stream and a mapped array stream), its set-up, a canonical dump of its contents, and the
// checks that cleanup leaves nothing behind: no live block, no spool file.
#pragma once

#include "fuzz_support.hpp"

#include <dirent.h>
#include <unistd.h>

namespace fuzz {

struct sub_record {
    char *name;
    int64_t n;
    int n_present;
    tamsel_i64_array nums;
};

struct item_record {
    char *id; // required
    double score;
    int score_present;
    tamsel_string_array tags;
    char code[4];
    tamsel_json_value raw; // a self-marked member: it must survive the items' block growing
};

struct record {
    char *s;
    char fixed[8];     // cut with status 7
    char fixed_ff[4];  // too long: status 6
    char fixed_sil[4]; // cut silently
    int64_t i;
    int i_present;
    uint64_t u;
    int u_present;
    double f;
    int f_present;
    int b;
    int b_present;
    sub_record obj;
    tamsel_string_array strs;
    tamsel_i64_array i64s;
    tamsel_u64_array u64s;
    tamsel_f64_array f64s;
    tamsel_bool_array bools;
    tamsel_object_array items;
    tamsel_spooled text;
    tamsel_spooled bytes;
    tamsel_json_value raw;
    tamsel_string_array_stream lines;
    tamsel_mapped_array_stream events;
};

#define FUZZ_FIELD(key, type, member, kind, storage, overflow, flags, capacity, elem, submap,      \
                   presence)                                                                       \
    {                                                                                              \
        TAMSEL_KEY(key), offsetof(type, member), kind, storage, overflow, flags, capacity, elem,   \
            submap, nullptr, presence, 0                                                           \
    }

inline constexpr uint32_t opt = TAMSEL_FIELD_HAS_PRESENCE | TAMSEL_FIELD_NULLABLE;

inline const tamsel_map *sub_map() {
    static const tamsel_field fields[] = {
        FUZZ_FIELD("name", sub_record, name, TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("n", sub_record, n, TAMSEL_FIELD_I64, 0, 0, opt, 0, 0, nullptr,
                   offsetof(sub_record, n_present)),
        FUZZ_FIELD("nums", sub_record, nums, TAMSEL_FIELD_I64_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
    };
    static const tamsel_map map = {"sub", sizeof(sub_record), fields, 3, &map, nullptr};
    return &map;
}

inline const tamsel_map *item_map() {
    static const tamsel_field fields[] = {
        FUZZ_FIELD("id", item_record, id, TAMSEL_FIELD_STRING, 0, 0, TAMSEL_FIELD_REQUIRED, 0, 0,
                   nullptr, 0),
        FUZZ_FIELD("score", item_record, score, TAMSEL_FIELD_F64, 0, 0, opt, 0, 0, nullptr,
                   offsetof(item_record, score_present)),
        FUZZ_FIELD("tags", item_record, tags, TAMSEL_FIELD_STRING_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("code", item_record, code, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
                   TAMSEL_OVERFLOW_TRUNCATE, 0, sizeof(item_record::code), 0, nullptr, 0),
        FUZZ_FIELD("raw", item_record, raw, TAMSEL_FIELD_JSON_VALUE, 0, 0, TAMSEL_FIELD_CAPTURE, 0,
                   0, nullptr, 0),
    };
    static const tamsel_map map = {"item", sizeof(item_record), fields, 5, &map, nullptr};
    return &map;
}

// The record's fields; the two parse-only stream fields come last.
inline const tamsel_field *record_fields() {
    using r = record;
    static const tamsel_field fields[] = {
        FUZZ_FIELD("s", r, s, TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("fixed", r, fixed, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
                   TAMSEL_OVERFLOW_TRUNCATE, 0, sizeof(r::fixed), 0, nullptr, 0),
        FUZZ_FIELD("ff", r, fixed_ff, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
                   TAMSEL_OVERFLOW_FAIL, 0, sizeof(r::fixed_ff), 0, nullptr, 0),
        FUZZ_FIELD("fs", r, fixed_sil, TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED,
                   TAMSEL_OVERFLOW_TRUNCATE_SILENT, 0, sizeof(r::fixed_sil), 0, nullptr, 0),
        FUZZ_FIELD("i", r, i, TAMSEL_FIELD_I64, 0, 0, opt, 0, 0, nullptr, offsetof(r, i_present)),
        FUZZ_FIELD("u", r, u, TAMSEL_FIELD_U64, 0, 0, opt, 0, 0, nullptr, offsetof(r, u_present)),
        FUZZ_FIELD("f", r, f, TAMSEL_FIELD_F64, 0, 0, opt, 0, 0, nullptr, offsetof(r, f_present)),
        FUZZ_FIELD("b", r, b, TAMSEL_FIELD_BOOL, 0, 0, TAMSEL_FIELD_HAS_PRESENCE, 0, 0, nullptr,
                   offsetof(r, b_present)),
        FUZZ_FIELD("obj", r, obj, TAMSEL_FIELD_OBJECT, 0, 0, 0, 0, 0, sub_map(), 0),
        FUZZ_FIELD("strs", r, strs, TAMSEL_FIELD_STRING_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("i64s", r, i64s, TAMSEL_FIELD_I64_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("u64s", r, u64s, TAMSEL_FIELD_U64_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("f64s", r, f64s, TAMSEL_FIELD_F64_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("bools", r, bools, TAMSEL_FIELD_BOOL_ARRAY, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("items", r, items, TAMSEL_FIELD_OBJECT_ARRAY, 0, 0, 0, 0, sizeof(item_record),
                   item_map(), 0),
        FUZZ_FIELD("text", r, text, TAMSEL_FIELD_SPOOLED_TEXT, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("bytes", r, bytes, TAMSEL_FIELD_SPOOLED_BYTES, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("raw", r, raw, TAMSEL_FIELD_JSON_VALUE, 0, 0, TAMSEL_FIELD_CAPTURE, 0, 0,
                   nullptr, 0),
        FUZZ_FIELD("lines", r, lines, TAMSEL_FIELD_STRING_ARRAY_STREAM, 0, 0, 0, 0, 0, nullptr, 0),
        FUZZ_FIELD("events", r, events, TAMSEL_FIELD_MAPPED_ARRAY_STREAM, 0, 0, 0, 0, 0, item_map(),
                   0),
    };
    return fields;
}

inline const tamsel_map *record_map() {
    static const tamsel_map map = {"record", sizeof(record), record_fields(), 20, &map, nullptr};
    return &map;
}

// The same record without its stream fields, which cannot be serialized.
inline const tamsel_map *serializable_map() {
    static const tamsel_map map = {"record", sizeof(record), record_fields(), 18, &map, nullptr};
    return &map;
}

#undef FUZZ_FIELD

// Parse limits taken from the first four bytes of an input.
struct parse_limits {
    uint64_t max_depth;
    uint64_t max_string_bytes;
    uint64_t max_parse_bytes;
    uint32_t reject_duplicates;
};

inline parse_limits take_limits(byte_taker &in) {
    parse_limits l;
    const uint8_t d = in.take(), s = in.take(), b = in.take(), r = in.take();
    l.max_depth = d % 12;                              // 0: the workspace's own limit
    l.max_string_bytes = s < 128 ? s % 48 : 0;         // 0: unlimited
    l.max_parse_bytes = b < 192 ? 0 : uint64_t(b) * 8; // 0: unlimited
    l.reject_duplicates = r & 1;
    return l;
}

// A private directory for the spill files of spooled fields, made once per process. Every spill
// file is gone by the end of each input, so the directory is empty and removed at exit.
inline const char *spool_dir() {
    static char name[] = "/tmp/tamsel-fuzz-XXXXXX";
    static const char *made = [] {
        const char *dir = mkdtemp(name);
        FUZZ_CHECK(dir != nullptr, "cannot make a spool directory");
        std::atexit([] { rmdir(name); });
        return dir;
    }();
    return made;
}

inline size_t files_in(const char *dir) {
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
        closedir(d);
    }
    return n;
}

// A runtime with the given limits over `alloc`; spooled fields spill after 16 bytes into
// spool_dir() and hold at most 4096. `pretty` selects pretty output.
inline tamsel_runtime *new_runtime(const parse_limits &l, const tamsel_allocator *alloc,
                                   bool pretty = false) {
    tamsel_config c = tamsel_default_config();
    c.pretty = pretty;
    c.max_depth = l.max_depth;
    c.max_string_bytes = l.max_string_bytes;
    c.max_parse_bytes = l.max_parse_bytes;
    c.reject_duplicates = l.reject_duplicates;
    for (auto &sc : c.spool_classes) {
        sc.memory_limit = 16;
        sc.max_bytes = 4096;
        sc.temp_dir = spool_dir();
    }
    c.allocator = alloc;
    tamsel_error e;
    tamsel_runtime *rt = tamsel_new(&c, &e);
    FUZZ_CHECK(rt != nullptr, "tamsel_new failed: %s", e.message);
    return rt;
}

// What the stream fields handed over during a parse, in order: each string of `lines` whole,
// and a dump of each item of `events`.
struct stream_log {
    std::string text;
    std::string current;
    bool in_string = false;
};

inline std::string dump_item(const item_record &it);

// The destination, its mapped-array-stream item and their log.
struct destination {
    record rec;
    item_record event;
    stream_log log;
    const tamsel_map *map = record_map();

    // Initialises both records for `rt` and, when the map has them, installs the stream
    // handlers.
    void init(tamsel_runtime *rt, const tamsel_map *with = record_map()) {
        map = with;
        std::memset(&rec, 0xA5, sizeof rec); // fresh storage is garbage; init must not care
        std::memset(&event, 0xA5, sizeof event);
        tamsel_init(rt, map, &rec);
        if (map != record_map()) { // no stream to hand the item record over to
            tamsel_init(rt, item_map(), &event);
            std::memset(&rec.lines, 0, sizeof rec.lines);
            std::memset(&rec.events, 0, sizeof rec.events);
            return;
        }
        tamsel_string_chunk_handler h{};
        h.begin = [](void *u, tamsel_error *) {
            auto *l = static_cast<stream_log *>(u);
            FUZZ_CHECK(!l->in_string, "string stream: begin inside a string");
            l->in_string = true;
            l->current.clear();
            return TAMSEL_STATUS_OK;
        };
        h.chunk = [](void *u, const char *bytes, size_t n, tamsel_error *) {
            auto *l = static_cast<stream_log *>(u);
            FUZZ_CHECK(l->in_string, "string stream: chunk outside a string");
            l->current.append(bytes, n);
            return TAMSEL_STATUS_OK;
        };
        h.end = [](void *u, tamsel_error *) {
            auto *l = static_cast<stream_log *>(u);
            FUZZ_CHECK(l->in_string, "string stream: end outside a string");
            l->in_string = false;
            l->text += "line[" + std::to_string(l->current.size()) + "]" + l->current + "\n";
            return TAMSEL_STATUS_OK;
        };
        tamsel_error e;
        FUZZ_CHECK(tamsel_string_array_stream_set_handler(&rec.lines, &h, &log, &e) == 0, "%s",
                   e.message);
        tamsel_mapped_item_handler mh{};
        mh.item_map = item_map();
        mh.item = &event;
        mh.user = &log;
        mh.callback = [](void *u, void *item, tamsel_error *) {
            auto *l = static_cast<stream_log *>(u);
            l->text += "event{" + dump_item(*static_cast<item_record *>(item)) + "}\n";
            return TAMSEL_STATUS_OK;
        };
        FUZZ_CHECK(tamsel_mapped_array_stream_set_handler(&rec.events, &mh, &e) == 0, "%s",
                   e.message);
    }
    void cleanup() {
        tamsel_cleanup(map, &rec);
        tamsel_cleanup(item_map(), &event);
    }
};

// ---- the canonical dump -----------------------------------------------------------------------

inline void put_str(std::string &out, const char *s) {
    if (!s) {
        out += "<null>";
        return;
    }
    out += '"';
    out += s;
    out += '"';
}

inline void put_fixed(std::string &out, const char *s, size_t cap) {
    const size_t n = strnlen(s, cap);
    FUZZ_CHECK(n < cap, "fixed string without its NUL");
    out.append(s, n);
}

inline void put_double(std::string &out, double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    out += buf;
}

template <class A> void check_array(const A &a) {
    FUZZ_CHECK(a.count <= a.capacity || (a.count == 0), "array count %zu above capacity %zu",
               a.count, a.capacity);
    FUZZ_CHECK(a.count == 0 || a.items != nullptr, "array with items but no storage");
}

inline void put_opt(std::string &out, const char *name, int present, const std::string &value) {
    out += name;
    out += present ? "=" + value : std::string("-");
    out += ' ';
}

inline void put_raw(std::string &out, const tamsel_json_value &raw) {
    out += "raw=" + std::to_string(raw.kind) + ":";
    if (raw.kind == TAMSEL_JSON_BUFFER) {
        FUZZ_CHECK(raw.data != nullptr && raw.data[raw.len] == '\0',
                   "captured value is not NUL-terminated");
        out.append(raw.data, raw.len);
    }
}

inline std::string dump_item(const item_record &it) {
    std::string out;
    put_str(out, it.id);
    std::string sc;
    put_double(sc, it.score);
    out += ' ';
    put_opt(out, "score", it.score_present, sc);
    check_array(it.tags);
    out += "tags[";
    for (size_t i = 0; i < it.tags.count; ++i) {
        put_str(out, it.tags.items[i]);
        out += ',';
    }
    out += "] code=";
    put_fixed(out, it.code, sizeof it.code);
    out += ' ';
    put_raw(out, it.raw);
    return out;
}

inline std::string spooled_contents(const tamsel_spooled &s) {
    std::string out;
    tamsel_error e;
    tamsel_status st = tamsel_spooled_write_to_sink(&s, append_sink, &out, &e);
    FUZZ_CHECK(st == 0, "spooled replay failed: %s", e.message);
    FUZZ_CHECK(out.size() == tamsel_spooled_size(&s), "spooled replay gave %zu of %llu bytes",
               out.size(), static_cast<unsigned long long>(tamsel_spooled_size(&s)));
    return out;
}

// Every mapped member, the stream log included, as text. Equal records give equal dumps.
inline std::string dump(const destination &d) {
    const record &r = d.rec;
    std::string out = "s=";
    put_str(out, r.s);
    out += " fixed=";
    put_fixed(out, r.fixed, sizeof r.fixed);
    out += " ff=";
    put_fixed(out, r.fixed_ff, sizeof r.fixed_ff);
    out += " fs=";
    put_fixed(out, r.fixed_sil, sizeof r.fixed_sil);
    out += '\n';
    put_opt(out, "i", r.i_present, std::to_string(r.i));
    put_opt(out, "u", r.u_present, std::to_string(r.u));
    std::string f;
    put_double(f, r.f);
    put_opt(out, "f", r.f_present, f);
    put_opt(out, "b", r.b_present, std::to_string(r.b));
    out += "\nobj{";
    put_str(out, r.obj.name);
    out += ' ';
    put_opt(out, "n", r.obj.n_present, std::to_string(r.obj.n));
    check_array(r.obj.nums);
    for (size_t i = 0; i < r.obj.nums.count; ++i)
        out += std::to_string(r.obj.nums.items[i]) + ",";
    out += "}\nstrs[";
    check_array(r.strs);
    for (size_t i = 0; i < r.strs.count; ++i) {
        put_str(out, r.strs.items[i]);
        out += ',';
    }
    out += "]\ni64s[";
    check_array(r.i64s);
    for (size_t i = 0; i < r.i64s.count; ++i)
        out += std::to_string(r.i64s.items[i]) + ",";
    out += "] u64s[";
    check_array(r.u64s);
    for (size_t i = 0; i < r.u64s.count; ++i)
        out += std::to_string(r.u64s.items[i]) + ",";
    out += "] f64s[";
    check_array(r.f64s);
    for (size_t i = 0; i < r.f64s.count; ++i) {
        put_double(out, r.f64s.items[i]);
        out += ',';
    }
    out += "] bools[";
    check_array(r.bools);
    for (size_t i = 0; i < r.bools.count; ++i) {
        FUZZ_CHECK(r.bools.items[i] == 0 || r.bools.items[i] == 1, "bool item %d",
                   r.bools.items[i]);
        out += std::to_string(r.bools.items[i]) + ",";
    }
    out += "]\nitems[";
    check_array(r.items);
    for (size_t i = 0; i < r.items.count; ++i)
        out += "{" + dump_item(static_cast<const item_record *>(r.items.items)[i]) + "}";
    out += "]\ntext=" + spooled_contents(r.text);
    out += "\nbytes=" + spooled_contents(r.bytes);
    out += "\n";
    put_raw(out, r.raw);
    out += "\n" + d.log.text;
    return out;
}

// ---- one mapped parse ---------------------------------------------------------------------

// What a parse ended with and what the destination then held.
struct parse_outcome {
    tamsel_status status = 0;
    std::string error;    // describe() of status and error record
    std::string contents; // dump() of the destination
    size_t offset = 0;    // the error record's offset (also in `error`)
    bool operator==(const parse_outcome &) const = default;
};

// The outcome without its position when the parse budget (max_parse_bytes) ended it. The budget
// is charged when a block grows, and blocks grow by doubling as bytes arrive, so where a run
// of bytes crosses it depends on how the input came in; status, message and record contents
// do not.
inline bool over_budget(const parse_outcome &o) {
    static const char message[] = "parse allocations exceed configured max bytes";
    const size_t colon = o.error.find(": ");
    return o.status == TAMSEL_STATUS_OVERFLOW && colon != std::string::npos &&
           o.error.compare(colon + 2, std::string::npos, message) == 0;
}

inline parse_outcome without_budget_position(parse_outcome o) {
    if (over_budget(o)) {
        o.error = "status 6, position not compared" + o.error.substr(o.error.find(": "));
        o.offset = 0;
    }
    return o;
}

// Statuses a mapped parse may end with when every callback succeeds and files work.
inline bool is_parse_status(tamsel_status st) {
    return st <= TAMSEL_STATUS_ALLOCATION_FAILED && st != TAMSEL_STATUS_INVALID_ARGUMENT;
}

// The error record agrees with the returned status and points inside the input.
inline void check_error_record(tamsel_status st, const tamsel_error &e, size_t input_size) {
    if (st == TAMSEL_STATUS_TRUNCATED) {
        FUZZ_CHECK(e.code == 0 && e.truncated == 1, "status 7 with code %u truncated %d", e.code,
                   e.truncated);
    } else {
        FUZZ_CHECK(e.code == st, "returned %u, error record says %u", st, e.code);
    }
    FUZZ_CHECK(st == 0 || st == TAMSEL_STATUS_TRUNCATED || e.message[0] != '\0',
               "status %u without a message", st);
    FUZZ_CHECK(strnlen(e.message, sizeof e.message) < sizeof e.message, "message without NUL");
    FUZZ_CHECK(e.offset <= input_size, "error offset %zu past the input's %zu bytes", e.offset,
               input_size);
    FUZZ_CHECK(e.column <= e.offset, "column %zu past offset %zu", e.column, e.offset);
}

// Runs `parse(record *, tamsel_error *)` over `len` input bytes into a freshly initialised
// destination, checks and records how it ended, and cleans up. Leaves nothing held by the
// destination.
template <class Parse>
parse_outcome parse_into_fresh(tamsel_runtime *rt, size_t len, const Parse &parse) {
    destination d;
    d.init(rt);
    tamsel_error e;
    std::memset(&e, 0x5A, sizeof e);
    parse_outcome out;
    out.status = parse(&d.rec, &e);
    check_error_record(out.status, e, len);
    out.error = describe(out.status, e);
    out.offset = e.offset;
    FUZZ_CHECK(!d.log.in_string || (out.status != 0 && out.status != TAMSEL_STATUS_TRUNCATED),
               "a streamed string was left open by a complete parse");
    out.contents = dump(d);
    d.cleanup();
    FUZZ_CHECK(files_in(spool_dir()) == 0, "a spool file outlived cleanup");
    return out;
}

// Parses `json` whole (`reader` NULL) or through a reader.
inline parse_outcome parse_once(tamsel_runtime *rt, const uint8_t *json, size_t len,
                                piece_reader *reader) {
    return parse_into_fresh(rt, len, [&](record *rec, tamsel_error *e) {
        return reader ? tamsel_parse_reader(rt, record_map(), rec, piece_reader::read, reader, e)
                      : tamsel_parse_buffer(rt, record_map(), rec, json, len, e);
    });
}

} // namespace fuzz

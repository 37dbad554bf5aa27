// Test support for serialization: a record type with one field of every serializable kind,
// its map, a builder of random records of it (with the values kept beside the record, so a
// reader of the output can compare), and capture helpers.
//
// make_random_every() is meant for round trips too: serialize the record, parse it back into
// a fresh `every` (tamsel_parse_*) and compare with the builder's expected values.
#pragma once

#include "tamsel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace serialize_test {

struct nested {
    int64_t n;
    char tag[8];
};

struct item {
    int64_t id;
    char *name;
};
// Object-array items are the field's elem_size apart, wider than the item record.
constexpr size_t item_stride = sizeof(item) + 16;

struct every {
    char *text;                   // STRING, dynamic
    char fixed[16];               // STRING, fixed
    tamsel_spooled spooled_text;  // SPOOLED_TEXT
    tamsel_spooled spooled_bytes; // SPOOLED_BYTES
    tamsel_source source_text;    // SOURCE_TEXT
    tamsel_source source_bytes;   // SOURCE_BYTES
    tamsel_json_value raw;        // JSON_VALUE
    int64_t i64;
    uint64_t u64;
    double f64;
    int flag;
    nested obj;
    tamsel_string_array strings;
    tamsel_i64_array i64s;
    tamsel_u64_array u64s;
    tamsel_f64_array f64s;
    tamsel_bool_array bools;
    tamsel_object_array items;
};

inline const tamsel_map &nested_map() {
    static const tamsel_field fields[] = {
        {TAMSEL_KEY("n"), offsetof(nested, n), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
        {TAMSEL_KEY("tag"), offsetof(nested, tag), TAMSEL_FIELD_STRING, TAMSEL_STORAGE_FIXED, 0, 0,
         sizeof(nested::tag), 0, nullptr, nullptr, 0, 0},
    };
    static const tamsel_map map = {"nested", sizeof(nested), fields, 2, &map, nullptr};
    return map;
}

inline const tamsel_map &item_map() {
    static const tamsel_field fields[] = {
        {TAMSEL_KEY("id"), offsetof(item, id), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
        {TAMSEL_KEY("name"), offsetof(item, name), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, nullptr,
         nullptr, 0, 0},
    };
    static const tamsel_map map = {"item", sizeof(item), fields, 2, &map, nullptr};
    return map;
}

inline tamsel_field field(const char *name, size_t offset, tamsel_field_kind kind,
                          uint32_t flags = 0) {
    tamsel_field f{};
    f.name = name;
    f.name_len = std::strlen(name);
    f.name_first = f.name_len ? name[0] : 0;
    f.name_last = f.name_len ? name[f.name_len - 1] : 0;
    f.offset = offset;
    f.kind = kind;
    f.flags = flags;
    return f;
}

inline const tamsel_map &every_map() {
    static const tamsel_field *const fields = [] {
        std::vector<tamsel_field> v;
        v.push_back(field("text", offsetof(every, text), TAMSEL_FIELD_STRING));
        tamsel_field fixed = field("fixed", offsetof(every, fixed), TAMSEL_FIELD_STRING);
        fixed.storage = TAMSEL_STORAGE_FIXED;
        fixed.capacity = sizeof(every::fixed);
        v.push_back(fixed);
        v.push_back(
            field("spooled_text", offsetof(every, spooled_text), TAMSEL_FIELD_SPOOLED_TEXT));
        v.push_back(
            field("spooled_bytes", offsetof(every, spooled_bytes), TAMSEL_FIELD_SPOOLED_BYTES));
        v.push_back(field("source_text", offsetof(every, source_text), TAMSEL_FIELD_SOURCE_TEXT));
        v.push_back(
            field("source_bytes", offsetof(every, source_bytes), TAMSEL_FIELD_SOURCE_BYTES));
        v.push_back(field("raw", offsetof(every, raw), TAMSEL_FIELD_JSON_VALUE));
        v.push_back(field("i64", offsetof(every, i64), TAMSEL_FIELD_I64));
        v.push_back(field("u64", offsetof(every, u64), TAMSEL_FIELD_U64));
        v.push_back(field("f64", offsetof(every, f64), TAMSEL_FIELD_F64));
        v.push_back(field("flag", offsetof(every, flag), TAMSEL_FIELD_BOOL));
        tamsel_field obj = field("obj", offsetof(every, obj), TAMSEL_FIELD_OBJECT);
        obj.submap = &nested_map();
        v.push_back(obj);
        v.push_back(field("strings", offsetof(every, strings), TAMSEL_FIELD_STRING_ARRAY));
        v.push_back(field("i64s", offsetof(every, i64s), TAMSEL_FIELD_I64_ARRAY));
        v.push_back(field("u64s", offsetof(every, u64s), TAMSEL_FIELD_U64_ARRAY));
        v.push_back(field("f64s", offsetof(every, f64s), TAMSEL_FIELD_F64_ARRAY));
        v.push_back(field("bools", offsetof(every, bools), TAMSEL_FIELD_BOOL_ARRAY));
        tamsel_field items = field("items", offsetof(every, items), TAMSEL_FIELD_OBJECT_ARRAY);
        items.submap = &item_map();
        items.elem_size = item_stride;
        v.push_back(items);
        static tamsel_field storage[18];
        std::copy(v.begin(), v.end(), storage);
        return storage;
    }();
    static const tamsel_map map = {"every", sizeof(every), fields, 18, &map, nullptr};
    return map;
}

// The values a random record was built from.
struct every_values {
    bool text_null = false;
    std::string text, fixed, spooled_text, spooled_bytes, raw;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    double f64 = 0;
    bool flag = false;
    int64_t obj_n = 0;
    std::string obj_tag;
    std::vector<std::string> strings;
    std::vector<int64_t> i64s;
    std::vector<uint64_t> u64s;
    std::vector<double> f64s;
    std::vector<int> bools;
    std::vector<std::pair<int64_t, std::string>> items;
};

// A record of `every` with the storage its pointers point into. Spooled values and the JSON
// value holder are the record's own; they are cleaned up with it.
class every_record {
  public:
    every_record() {
        std::memset(&rec_, 0, sizeof rec_);
        tamsel_init(nullptr, &every_map(), &rec_);
    }
    ~every_record() {
        tamsel_spooled_cleanup(&rec_.spooled_text);
        tamsel_spooled_cleanup(&rec_.spooled_bytes);
        tamsel_source_cleanup(&rec_.source_text);
        tamsel_source_cleanup(&rec_.source_bytes);
        tamsel_json_value_cleanup(&rec_.raw);
    }
    every_record(const every_record &) = delete;
    every_record &operator=(const every_record &) = delete;

    every &get() { return rec_; }
    const every_values &values() const { return v_; }

    // Points the record at `v` (copied into the record's storage).
    void assign(const every_values &v) {
        v_ = v;
        rec_.text = v_.text_null ? nullptr : v_.text.data();
        std::memset(rec_.fixed, 0, sizeof rec_.fixed);
        std::memcpy(rec_.fixed, v_.fixed.data(), std::min(v_.fixed.size(), sizeof rec_.fixed - 1));
        tamsel_spooled_reset(&rec_.spooled_text);
        tamsel_spooled_reset(&rec_.spooled_bytes);
        EXPECT_EQ(tamsel_spooled_append(&rec_.spooled_text, v_.spooled_text.data(),
                                        v_.spooled_text.size(), nullptr),
                  TAMSEL_STATUS_OK);
        EXPECT_EQ(tamsel_spooled_append(&rec_.spooled_bytes, v_.spooled_bytes.data(),
                                        v_.spooled_bytes.size(), nullptr),
                  TAMSEL_STATUS_OK);
        if (v_.raw.empty())
            tamsel_json_value_cleanup(&rec_.raw);
        else
            EXPECT_EQ(
                tamsel_json_value_set_buffer(&rec_.raw, v_.raw.data(), v_.raw.size(), nullptr),
                TAMSEL_STATUS_OK);
        rec_.i64 = v_.i64;
        rec_.u64 = v_.u64;
        rec_.f64 = v_.f64;
        rec_.flag = v_.flag;
        rec_.obj.n = v_.obj_n;
        std::memset(rec_.obj.tag, 0, sizeof rec_.obj.tag);
        std::memcpy(rec_.obj.tag, v_.obj_tag.data(),
                    std::min(v_.obj_tag.size(), sizeof rec_.obj.tag - 1));
        string_ptrs_.clear();
        for (auto &s : v_.strings)
            string_ptrs_.push_back(s.data());
        rec_.strings = {string_ptrs_.data(), string_ptrs_.size(), string_ptrs_.size(), 0};
        rec_.i64s = {v_.i64s.data(), v_.i64s.size(), v_.i64s.size(), 0};
        rec_.u64s = {v_.u64s.data(), v_.u64s.size(), v_.u64s.size(), 0};
        rec_.f64s = {v_.f64s.data(), v_.f64s.size(), v_.f64s.size(), 0};
        rec_.bools = {v_.bools.data(), v_.bools.size(), v_.bools.size(), 0};
        item_storage_.assign(v_.items.size() * item_stride, 0);
        for (size_t i = 0; i < v_.items.size(); ++i) {
            item it{v_.items[i].first, v_.items[i].second.data()};
            std::memcpy(item_storage_.data() + i * item_stride, &it, sizeof it);
        }
        rec_.items = {item_storage_.data(), v_.items.size(), v_.items.size(), sizeof(item), 0};
    }

  private:
    every rec_;
    every_values v_;
    std::vector<char *> string_ptrs_;
    std::vector<unsigned char> item_storage_;
};

// Random text: ASCII with every class that needs escaping, and valid multi-byte UTF-8; at
// most `max_pieces` characters and `max_bytes` bytes (whole characters only).
inline std::string random_text(std::mt19937_64 &rng, size_t max_pieces,
                               size_t max_bytes = SIZE_MAX) {
    static const char *const pieces[] = {
        "a",  "Z",  "0",  " ",    "/",    "\"",   "\\",       "\n",           "\t",
        "\b", "\f", "\r", "\x01", "\x1f", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
        "k",  "~"};
    const size_t n = rng() % (max_pieces + 1);
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        const char *piece = pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        if (s.size() + std::strlen(piece) > max_bytes) break;
        s += piece;
    }
    return s;
}

inline double random_double(std::mt19937_64 &rng) {
    switch (rng() % 4) {
    case 0: {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d) && d != 0) return d;
        return 1.5;
    }
    case 1:
        return static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0;
    case 2:
        return std::ldexp(static_cast<double>(rng() % 1000 + 1),
                          static_cast<int>(rng() % 200) - 100);
    default:
        return static_cast<double>(static_cast<int64_t>(rng() % 100000));
    }
}

inline int64_t random_i64(std::mt19937_64 &rng) {
    switch (rng() % 3) {
    case 0:
        return static_cast<int64_t>(rng());
    case 1:
        return rng() % 2 ? INT64_MIN : INT64_MAX;
    default:
        return static_cast<int64_t>(rng() % 200) - 100;
    }
}

inline std::string random_json(std::mt19937_64 &rng) {
    static const char *const values[] = {"",
                                         "null",
                                         "true",
                                         "-0.5e10",
                                         "[]",
                                         "{}",
                                         "[1,[2,{}],3]",
                                         "{\"a\": [true, null]}",
                                         "\"\\u00e9\\n\"",
                                         "{\"k\":{\"k\":{\"k\":1}}}"};
    return values[rng() % (sizeof values / sizeof values[0])];
}

// Builds random values for the every-kind record (spooled values up to a few KiB so that
// base64 crosses block boundaries now and then).
inline every_values make_random_every(std::mt19937_64 &rng) {
    every_values v;
    v.text_null = rng() % 8 == 0;
    v.text = random_text(rng, 12);
    v.fixed = random_text(rng, 8, 15);
    v.spooled_text = random_text(rng, rng() % 16 == 0 ? 3000 : 20);
    const size_t nbytes = rng() % 16 == 0 ? 5000 + rng() % 4 : rng() % 10;
    for (size_t i = 0; i < nbytes; ++i)
        v.spooled_bytes.push_back(static_cast<char>(rng()));
    v.raw = random_json(rng);
    v.i64 = random_i64(rng);
    v.u64 = rng() % 3 == 0 ? UINT64_MAX : rng();
    v.f64 = random_double(rng);
    v.flag = rng() % 2;
    v.obj_n = random_i64(rng);
    v.obj_tag = random_text(rng, 4, 7);
    for (size_t i = rng() % 4; i > 0; --i)
        v.strings.push_back(random_text(rng, 6));
    for (size_t i = rng() % 4; i > 0; --i)
        v.i64s.push_back(random_i64(rng));
    for (size_t i = rng() % 4; i > 0; --i)
        v.u64s.push_back(rng());
    for (size_t i = rng() % 4; i > 0; --i)
        v.f64s.push_back(random_double(rng));
    for (size_t i = rng() % 4; i > 0; --i)
        v.bools.push_back(static_cast<int>(rng() % 3));
    for (size_t i = rng() % 3; i > 0; --i)
        v.items.emplace_back(random_i64(rng), random_text(rng, 5));
    return v;
}

// ---- capture --------------------------------------------------------------------------------

struct capture_sink {
    std::string bytes;
    size_t calls = 0;
    static tamsel_status write(void *user, const void *data, size_t len, tamsel_error *) {
        auto *s = static_cast<capture_sink *>(user);
        s->bytes.append(static_cast<const char *>(data), len);
        ++s->calls;
        return TAMSEL_STATUS_OK;
    }
};

// A runtime with write options set.
struct runtime_holder {
    explicit runtime_holder(bool pretty = false, uint32_t policy = 0, uint64_t max_output = 0,
                            const tamsel_allocator *allocator = nullptr) {
        tamsel_config c = tamsel_default_config();
        c.pretty = pretty;
        c.overflow_policy = policy;
        c.max_output_bytes = max_output;
        c.allocator = allocator;
        rt = tamsel_new(&c, nullptr);
        EXPECT_NE(rt, nullptr);
    }
    ~runtime_holder() { tamsel_free(rt); }
    runtime_holder(const runtime_holder &) = delete;
    runtime_holder &operator=(const runtime_holder &) = delete;
    tamsel_runtime *rt = nullptr;
};

// The document through the sink door; expects success.
inline std::string serialize(tamsel_runtime *rt, const tamsel_map &map, const void *rec) {
    capture_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_sink(rt, &map, rec, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_OK)
        << e.message;
    return sink.bytes;
}

// The document read from a generator in pieces of `piece` bytes (0: random sizes from
// `seed`); expects success.
inline std::string generate(tamsel_runtime *rt, const tamsel_map &map, const void *rec,
                            size_t piece, uint64_t seed = 1) {
    tamsel_generator g;
    EXPECT_EQ(tamsel_generator_init(rt, &g, &map, rec), TAMSEL_STATUS_OK) << g.error.message;
    std::mt19937_64 rng(seed);
    std::string out;
    for (int guard = 0; guard < 10000000; ++guard) {
        const size_t cap = piece ? piece : 1 + rng() % 300;
        std::string buf(cap + 1, '\x55');
        size_t n = 99;
        int done = 0;
        tamsel_status st = g.read(&g, buf.data(), cap, &n, &done);
        EXPECT_EQ(st, TAMSEL_STATUS_OK) << g.error.message;
        if (st != TAMSEL_STATUS_OK) break;
        EXPECT_LE(n, cap);
        EXPECT_EQ(buf[cap], '\x55') << "read wrote past its capacity";
        out.append(buf.data(), n);
        if (done) break;
    }
    g.cleanup(&g);
    return out;
}

} // namespace serialize_test

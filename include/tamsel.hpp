/*
 * tamsel.hpp: the C++ layer over tamsel.h. Header-only, C++17; the library itself stays plain
 * C at its edge and never throws.
 *
 * What it adds:
 *  - TAMSEL_MAP(Type, member, ...): the field map of a struct from its member names, each
 *    field's kind deduced from the member's type; tamsel::map_of<Type>() returns it.
 *  - Member types with the layout of the C members they stand for: tamsel::flag (BOOL),
 *    tamsel::string (a library-allocated char *), tamsel::array<X> (the C array records),
 *    tamsel::json (a JSON value holder capturing the member's text) and tamsel::spooled.
 *  - RAII owners: tamsel::runtime, tamsel::record<T> (a parsed record, cleaned up on
 *    destruction), tamsel::writer, tamsel::sse, tamsel::item_pusher<T>.
 *  - One-call doors: parse<T>, to_json, items<T> and objects<T> (input ranges over the items
 *    of an array at a path, or over a stream of objects, one item in memory at a time).
 *
 * Errors: with exceptions enabled, the plain names throw tamsel::error (a std::runtime_error
 * whose what() is "LINE:COLUMN: message" for errors in the input). Every door also has a
 * non-throwing form, try_parse, try_to_json, try_items, runtime::make..., which returns a
 * tamsel::result<V> (a value or the error record) or records the failure in the object; only
 * these are declared when the code is built without exceptions (-fno-exceptions). An exception
 * thrown by a callback you give (an item or event handler, a writer sink) is caught before it
 * reaches the library, the call is stopped, and the exception is rethrown from the C++ call.
 *
 * Memory: the library allocates through the runtime's allocator as ever; the layer's own
 * objects (records, range and writer state, std::string results) come from the C++ heap.
 */
#ifndef TAMSEL_HPP
#define TAMSEL_HPP

#include "tamsel.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if __cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L)
#error "tamsel.hpp needs C++17"
#endif

/* 1 when the code is built with exceptions: the throwing names are declared. */
#ifndef TAMSEL_HPP_EXCEPTIONS
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#define TAMSEL_HPP_EXCEPTIONS 1
#else
#define TAMSEL_HPP_EXCEPTIONS 0
#endif
#endif

namespace tamsel {

class runtime;

// ---- errors and results ---------------------------------------------------------------------

/* The text of an error record: "LINE:COLUMN: message" when the record has a position in the
   input, else the message (or the status name when there is none). */
inline std::string describe(const tamsel_error &record) {
    std::string text;
    if (record.line > 0) {
        text = std::to_string(record.line) + ":" + std::to_string(record.column) + ": ";
    }
    text += record.message[0] ? record.message : tamsel_status_string(record.code);
    return text;
}

/* A failed call of the library (or of this layer): the error record with its status and, for
   errors in the input, the line, column and byte offset of the offending byte. */
class error : public std::runtime_error {
  public:
    explicit error(const tamsel_error &record) : std::runtime_error(describe(record)), r_(record) {}
    tamsel_status status() const noexcept { return r_.code; }
    size_t line() const noexcept { return r_.line; }
    size_t column() const noexcept { return r_.column; }
    size_t offset() const noexcept { return r_.offset; }
    const tamsel_error &record() const noexcept { return r_; }

  private:
    tamsel_error r_;
};

namespace detail {

inline tamsel_error no_error() noexcept {
    tamsel_error e;
    tamsel_error_init(&e);
    return e;
}

/* A record for a failure this layer finds itself (positions 0). */
inline tamsel_error make_error(tamsel_status status, const char *message) noexcept {
    tamsel_error e = no_error();
    e.code = status;
    std::snprintf(e.message, sizeof e.message, "%s", message);
    return e;
}

/* The record of a call that returned `status`: some doors leave `code` 0 on failures reported
   by their return value alone. */
inline tamsel_error failed(tamsel_status status, const tamsel_error &e) noexcept {
    tamsel_error copy = e;
    if (copy.code == TAMSEL_STATUS_OK) copy.code = status;
    return copy;
}

[[noreturn]] inline void raise(const tamsel_error &e) {
#if TAMSEL_HPP_EXCEPTIONS
    throw error(e);
#else
    std::fprintf(stderr, "tamsel: %s\n", describe(e).c_str());
    std::abort();
#endif
}

/* An exception thrown by a caller's callback, held while the library unwinds its call (C
   frames must not be crossed by an exception) and rethrown once it has returned. */
class pending_exception {
  public:
    /* Runs `f` and returns its result; an exception is kept and `failure` returned instead. */
    template <class R, class F> R guard(R failure, F &&f) noexcept {
#if TAMSEL_HPP_EXCEPTIONS
        try {
            return f();
        } catch (...) {
            held_ = std::current_exception();
            return failure;
        }
#else
        (void)failure;
        return f();
#endif
    }
    void rethrow_if_any() {
#if TAMSEL_HPP_EXCEPTIONS
        if (held_) std::rethrow_exception(std::exchange(held_, nullptr));
#endif
    }

  private:
#if TAMSEL_HPP_EXCEPTIONS
    std::exception_ptr held_;
#endif
};

} // namespace detail

/* The outcome of a non-throwing call: a value, or the error record of the failure. */
template <class V> class result {
  public:
    result(V value) : value_(std::move(value)), error_(detail::no_error()) {}
    explicit result(const tamsel_error &e) : error_(e) {}

    bool ok() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    /* The value; calling it after a failure throws tamsel::error (aborts without exceptions). */
    V &value() & {
        if (!ok()) detail::raise(error_);
        return *value_;
    }
    V &&value() && { return std::move(value()); }
    V &operator*() & { return value(); }
    V *operator->() { return &value(); }
    const tamsel_error &error() const noexcept { return error_; }
    std::string message() const { return describe(error_); }

  private:
    std::optional<V> value_;
    tamsel_error error_;
};

/* The outcome of a non-throwing call without a value. */
template <> class result<void> {
  public:
    result() : error_(detail::no_error()) {}
    explicit result(const tamsel_error &e) : error_(e) {}
    bool ok() const noexcept { return error_.code == TAMSEL_STATUS_OK; }
    explicit operator bool() const noexcept { return ok(); }
    void value() const {
        if (!ok()) detail::raise(error_);
    }
    const tamsel_error &error() const noexcept { return error_; }
    std::string message() const { return describe(error_); }

  private:
    tamsel_error error_;
};

/* Tag for the constructors of tamsel::writer and tamsel::sse that record their first failure
   instead of throwing. */
struct no_throw_t {
    explicit no_throw_t() = default;
};
inline constexpr no_throw_t no_throw{};

// ---- member types ---------------------------------------------------------------------------
// Each has exactly the layout of the C member it stands for, so a record mixing them with plain
// scalars is what a C field map describes. Values inside a record belong to the record: its
// cleanup (tamsel::record, the library's reuse of an item record) releases them.

/* A boolean member: the `int` (0 or 1) of a TAMSEL_FIELD_BOOL field. */
class flag {
  public:
    constexpr flag() noexcept = default;
    constexpr flag(bool value) noexcept : value_(value ? 1 : 0) {}
    constexpr operator bool() const noexcept { return value_ != 0; }

  private:
    int value_ = 0;
};

/* A string member: a `char *` the library allocated (NULL while absent, e.g. after JSON null or
   a missing key). Move-only; it frees its string when destroyed. */
class string {
  public:
    string() noexcept = default;
    string(const string &) = delete;
    string &operator=(const string &) = delete;
    string(string &&other) noexcept : data_(std::exchange(other.data_, nullptr)) {}
    string &operator=(string &&other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    ~string() { release(); }

    bool has_value() const noexcept { return data_ != nullptr; }
    const char *data() const noexcept { return data_; } /* NULL while absent */
    const char *c_str() const noexcept { return data_ ? data_ : ""; }
    std::string_view view() const noexcept { return data_ ? data_ : std::string_view(); }
    operator std::string_view() const noexcept { return view(); }
    size_t size() const noexcept { return view().size(); } /* strlen: not stored */
    bool empty() const noexcept { return !data_ || !*data_; }
    std::string str() const { return std::string(view()); }

    friend bool operator==(const string &a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(std::string_view a, const string &b) noexcept { return a == b.view(); }
    friend bool operator!=(const string &a, std::string_view b) noexcept { return a.view() != b; }
    friend bool operator!=(std::string_view a, const string &b) noexcept { return a != b.view(); }
    template <class Stream>
    friend auto operator<<(Stream &out, const string &s) -> decltype(out << std::string_view()) {
        return out << s.view();
    }

  private:
    inline void release() noexcept;
    char *data_ = nullptr;
};

/* A JSON value member (TAMSEL_FIELD_JSON_VALUE with TAMSEL_FIELD_CAPTURE): the parser keeps the
   member's value as compact JSON text, whatever its shape. Also a holder of JSON text to write
   (set). Neither copyable nor movable: the C holder is marked with its own address. */
class json {
  public:
    json() noexcept { tamsel_json_value_init(nullptr, &value_); }
    json(const json &) = delete;
    json &operator=(const json &) = delete;
    ~json() { tamsel_json_value_cleanup(&value_); }

    /* The captured or stored compact text; empty when the holder holds none. */
    std::string_view text() const noexcept {
        if (value_.kind != TAMSEL_JSON_BUFFER || !value_.data) return {};
        return std::string_view(value_.data, static_cast<size_t>(value_.len));
    }
    bool empty() const noexcept { return value_.kind == TAMSEL_JSON_NONE; }
    /* Checks `text` as one JSON value and stores it compactly (for output). */
    result<void> try_set(std::string_view text) noexcept {
        tamsel_error e;
        const tamsel_status st =
            tamsel_json_value_set_buffer(&value_, text.data(), text.size(), &e);
        return st == TAMSEL_STATUS_OK ? result<void>() : result<void>(detail::failed(st, e));
    }
#if TAMSEL_HPP_EXCEPTIONS
    void set(std::string_view text) {
        try_set(text).value();
    }
#endif
    tamsel_json_value *get() noexcept {
        return &value_;
    }
    const tamsel_json_value *get() const noexcept {
        return &value_;
    }
    template <class Stream>
    friend auto operator<<(Stream &out, const json &j) -> decltype(out << std::string_view()) {
        return out << j.text();
    }

  private:
    tamsel_json_value value_;
};

/* A spooled string member (TAMSEL_FIELD_SPOOLED_TEXT): a prefix in memory, the rest in a
   temporary file, so a string of any length costs bounded memory. Neither copyable nor
   movable (marked with its own address). */
class spooled {
  public:
    spooled() noexcept { tamsel_spooled_init(nullptr, &value_); }
    spooled(const spooled &) = delete;
    spooled &operator=(const spooled &) = delete;
    ~spooled() { tamsel_spooled_cleanup(&value_); }

    uint64_t size() const noexcept { return tamsel_spooled_size(&value_); }
    bool spilled() const noexcept { return tamsel_spooled_spilled(&value_) != 0; }
    /* The whole value read into memory (for values known to be small enough). */
    result<std::string> try_str() const {
        std::string out;
        tamsel_error e;
        const tamsel_status st = tamsel_spooled_write_to_sink(&value_, append, &out, &e);
        if (st != TAMSEL_STATUS_OK) return result<std::string>(detail::failed(st, e));
        return out;
    }
#if TAMSEL_HPP_EXCEPTIONS
    std::string str() const {
        return try_str().value();
    }
#endif
    tamsel_spooled *get() noexcept {
        return &value_;
    }
    const tamsel_spooled *get() const noexcept {
        return &value_;
    }

  private:
    static tamsel_status append(void *user, const void *data, size_t len, tamsel_error *) noexcept {
        detail::pending_exception ignored;
        return ignored.guard(TAMSEL_STATUS_ALLOCATION_FAILED, [&] {
            static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
            return TAMSEL_STATUS_OK;
        });
    }
    tamsel_spooled value_;
};

namespace detail {

template <class X>
constexpr bool is_i64 = std::is_integral_v<X> &&std::is_signed_v<X> && sizeof(X) == 8 &&
                        !std::is_same_v<X, bool>;
template <class X>
constexpr bool is_u64 = std::is_integral_v<X> &&std::is_unsigned_v<X> && sizeof(X) == 8;

/* The C array record an element type is stored in, and its field kind. Element types without
   an entry here are records with their own TAMSEL_MAP (object arrays). */
template <class X, class = void> struct array_record {
    using type = tamsel_object_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_OBJECT_ARRAY;
};
template <class X> struct array_record<X, std::enable_if_t<is_i64<X>>> {
    using type = tamsel_i64_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_I64_ARRAY;
};
template <class X> struct array_record<X, std::enable_if_t<is_u64<X>>> {
    using type = tamsel_u64_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_U64_ARRAY;
};
template <> struct array_record<double> {
    using type = tamsel_f64_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_F64_ARRAY;
};
template <> struct array_record<flag> {
    using type = tamsel_bool_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_BOOL_ARRAY;
};
template <> struct array_record<string> {
    using type = tamsel_string_array;
    static constexpr tamsel_field_kind kind = TAMSEL_FIELD_STRING_ARRAY;
};

} // namespace detail

/* An array member over the C array record of its element type: tamsel_i64_array for int64_t,
   tamsel_u64_array, tamsel_f64_array (double), tamsel_bool_array (tamsel::flag),
   tamsel_string_array (tamsel::string), and tamsel_object_array for records with their own
   TAMSEL_MAP. The library fills it; move-only; it releases its items when destroyed. */
template <class X> class array {
  public:
    using c_type = typename detail::array_record<X>::type;
    using value_type = X;
    using iterator = X *;
    using const_iterator = const X *;

    array() noexcept : a_() {}
    array(const array &) = delete;
    array &operator=(const array &) = delete;
    array(array &&other) noexcept : a_(std::exchange(other.a_, c_type())) {}
    array &operator=(array &&other) noexcept {
        if (this != &other) {
            release();
            a_ = std::exchange(other.a_, c_type());
        }
        return *this;
    }
    ~array() { release(); }

    size_t size() const noexcept { return a_.count; }
    bool empty() const noexcept { return a_.count == 0; }
    X *data() noexcept { return items(); }
    const X *data() const noexcept { return items(); }
    X *begin() noexcept { return items(); }
    X *end() noexcept { return items() + a_.count; }
    const X *begin() const noexcept { return items(); }
    const X *end() const noexcept { return items() + a_.count; }
    X &operator[](size_t i) noexcept { return items()[i]; }
    const X &operator[](size_t i) const noexcept { return items()[i]; }
    c_type *get() noexcept { return &a_; }
    const c_type *get() const noexcept { return &a_; }

  private:
    // The element array holds X's C representation: int64_t, double, int for flag, char * for
    // string, records of sizeof(X) (elem_size) for object arrays.
    X *items() const noexcept { return static_cast<X *>(static_cast<void *>(a_.items)); }
    inline void release() noexcept;
    c_type a_;
};

static_assert(sizeof(flag) == sizeof(int) && alignof(flag) == alignof(int), "BOOL layout");
static_assert(sizeof(string) == sizeof(char *) && alignof(string) == alignof(char *), "STRING");
static_assert(sizeof(json) == sizeof(tamsel_json_value) &&
                  alignof(json) == alignof(tamsel_json_value),
              "JSON_VALUE layout");
static_assert(sizeof(spooled) == sizeof(tamsel_spooled) &&
                  alignof(spooled) == alignof(tamsel_spooled),
              "SPOOLED layout");
static_assert(std::is_standard_layout_v<flag> && std::is_standard_layout_v<string> &&
                  std::is_standard_layout_v<json> && std::is_standard_layout_v<spooled>,
              "member types are standard-layout");
static_assert(std::is_trivially_copyable_v<flag>, "flag is a plain int");

// ---- field maps -----------------------------------------------------------------------------

/* An option of one member in TAMSEL_MAP: `(member, tamsel::required)`,
   `(member, tamsel::key("json-name"))`, or several: `(member, tamsel::required, tamsel::key(...))`.
 */
struct field_option {
    uint32_t flags;         /* TAMSEL_FIELD_* flags added to the field */
    const char *key;        /* the JSON key instead of the member's name; NULL keeps the name */
    uint32_t overflow_plus; /* fixed strings: TAMSEL_OVERFLOW_* + 1; 0 keeps TAMSEL_OVERFLOW_FAIL */
};
/* The key must appear in its object (status 4 otherwise); the field is always written. */
inline constexpr field_option required{TAMSEL_FIELD_REQUIRED, nullptr, 0};
/* Serialization leaves the field out while it is null (an absent string). */
inline constexpr field_option omit_null{TAMSEL_FIELD_OMIT_NULL, nullptr, 0};
/* Serialization leaves the field out while it is null or empty. */
inline constexpr field_option omit_empty{TAMSEL_FIELD_OMIT_EMPTY, nullptr, 0};
/* A `char[N]` member cuts a longer string (the parse returns status 7, not a failure). */
inline constexpr field_option truncate_to_fit{0, nullptr, TAMSEL_OVERFLOW_TRUNCATE + 1};
/* The member's JSON key; a string literal (the map keeps the pointer). */
constexpr field_option key(const char *name) noexcept {
    return {0, name, 0};
}

namespace detail {

/* At most four options per member; the rest of the list is value-initialised. */
struct option_list {
    field_option items[4];
};

template <size_t N> struct field_list {
    const char *name;
    tamsel_field items[N];
};

/* TAMSEL_MAP defines tamsel_fields_of(Type *) beside its type; this one is found for types
   without a map. */
struct no_map {};
no_map tamsel_fields_of(...);

template <class T>
constexpr bool has_map =
    !std::is_same_v<decltype(tamsel_fields_of(static_cast<T *>(nullptr))), no_map>;

/* Whether no two fields share a JSON key. A shared key would be written twice by to_json, and
   a parse would give its values to the members by the order the key comes in. */
template <size_t N> constexpr bool keys_distinct(const tamsel_field (&fields)[N]) noexcept {
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (fields[i].name_len != fields[j].name_len) continue;
            size_t k = 0;
            while (k < fields[i].name_len && fields[i].name[k] == fields[j].name[k])
                ++k;
            if (k == fields[i].name_len) return false;
        }
    }
    return true;
}

template <class T> struct map_store {
    static constexpr auto fields = tamsel_fields_of(static_cast<T *>(nullptr));
    static_assert(keys_distinct(fields.items),
                  "two members of this TAMSEL_MAP have the same JSON key (a member named twice, "
                  "or a tamsel::key(...) equal to another member's key)");
    static constexpr size_t count = sizeof(fields.items) / sizeof(tamsel_field);
    static constexpr tamsel_map map = {fields.name, sizeof(T),       fields.items,
                                       count,       &map_store::map, nullptr};
};

} // namespace detail

/* The field map TAMSEL_MAP declared for T: a constant, pointing to itself so entry points cache
   its validation. */
template <class T> constexpr const tamsel_map &map_of() noexcept {
    static_assert(detail::has_map<T>, "no TAMSEL_MAP for this type in its namespace");
    return detail::map_store<T>::map;
}

namespace detail {

template <class> constexpr bool always_false = false;
template <class X> constexpr bool is_array_member = false;
template <class X> constexpr bool is_array_member<array<X>> = true;
template <class X>
constexpr bool is_fixed_string =
    std::is_array_v<X> &&std::rank_v<X> == 1 && std::is_same_v<std::remove_extent_t<X>, char>;

constexpr size_t key_length(const char *s) noexcept {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

/* Named in the compiler's message when a map's options contradict each other: called during
   the map's constant evaluation, where a non-constexpr call is an error. */
inline void required_field_cannot_be_omitted() noexcept {}
inline void truncate_to_fit_needs_a_char_array() noexcept {}

/* Kind, storage and the kind's own members of a field for a member of type M. */
template <class M> constexpr tamsel_field kind_field() noexcept {
    tamsel_field f{};
    if constexpr (is_i64<M>) {
        f.kind = TAMSEL_FIELD_I64;
    } else if constexpr (is_u64<M>) {
        f.kind = TAMSEL_FIELD_U64;
    } else if constexpr (std::is_same_v<M, double>) {
        f.kind = TAMSEL_FIELD_F64;
    } else if constexpr (std::is_same_v<M, flag>) {
        f.kind = TAMSEL_FIELD_BOOL;
    } else if constexpr (std::is_same_v<M, string>) {
        f.kind = TAMSEL_FIELD_STRING;
    } else if constexpr (is_fixed_string<M>) {
        f.kind = TAMSEL_FIELD_STRING;
        f.storage = TAMSEL_STORAGE_FIXED;
        f.capacity = std::extent_v<M>;
    } else if constexpr (std::is_same_v<M, json>) {
        f.kind = TAMSEL_FIELD_JSON_VALUE;
        f.flags = TAMSEL_FIELD_CAPTURE;
    } else if constexpr (std::is_same_v<M, spooled>) {
        f.kind = TAMSEL_FIELD_SPOOLED_TEXT;
    } else if constexpr (is_array_member<M>) {
        using item = typename M::value_type;
        f.kind = array_record<item>::kind;
        if constexpr (array_record<item>::kind == TAMSEL_FIELD_OBJECT_ARRAY) {
            f.submap = &map_of<item>();
            f.elem_size = sizeof(item);
        }
    } else if constexpr (has_map<M>) {
        f.kind = TAMSEL_FIELD_OBJECT;
        f.submap = &map_of<M>();
    } else {
        static_assert(always_false<M>,
                      "no field kind for this member type: use int64_t, uint64_t, double, "
                      "tamsel::flag, tamsel::string, char[N], tamsel::json, tamsel::spooled, "
                      "tamsel::array<...> or a struct with its own TAMSEL_MAP");
    }
    return f;
}

/* The whole field of a member named `member` at `offset`, with its options applied. */
template <class M>
constexpr tamsel_field make_field(const char *member, size_t offset, const option_list &options) {
    tamsel_field f = kind_field<M>();
    const char *name = member;
    for (const field_option &o : options.items) {
        f.flags |= o.flags;
        if (o.key) name = o.key;
        if (o.overflow_plus) {
            if (!is_fixed_string<M>) truncate_to_fit_needs_a_char_array();
            f.overflow_policy = o.overflow_plus - 1;
        }
    }
    if ((f.flags & TAMSEL_FIELD_REQUIRED) &&
        (f.flags & (TAMSEL_FIELD_OMIT_NULL | TAMSEL_FIELD_OMIT_EMPTY))) {
        required_field_cannot_be_omitted();
    }
    f.name = name;
    f.name_len = key_length(name);
    f.name_first = f.name_len ? name[0] : '\0';
    f.name_last = f.name_len ? name[f.name_len - 1] : '\0';
    f.offset = offset;
    return f;
}

/* A map of one field at offset 0: how a member type releases what it holds on its own. */
template <class W> struct self_map {
    static constexpr tamsel_field field = make_field<W>("", 0, option_list{});
    static constexpr tamsel_map map = {"", sizeof(W), &field, 1, &self_map::map, nullptr};
};

} // namespace detail

inline void string::release() noexcept {
    if (data_) tamsel_cleanup(&detail::self_map<string>::map, this);
}

template <class X> inline void array<X>::release() noexcept {
    if (a_.items) tamsel_cleanup(&detail::self_map<array<X>>::map, this);
}

} // namespace tamsel

/*
 * TAMSEL_MAP(Type, member, ...): the field map of the standard-layout struct Type, at namespace
 * scope in Type's own namespace (it is found by argument-dependent lookup). Each member's kind
 * comes from its type (int64_t, uint64_t, double, tamsel::flag, tamsel::string, char[N],
 * tamsel::json, tamsel::spooled, tamsel::array<...>, or a struct with its own TAMSEL_MAP, which
 * must come first); its JSON key is its name. A member in parentheses takes options:
 *
 *     struct user { int64_t id; tamsel::string name; char country[3]; address home; };
 *     TAMSEL_MAP(user, (id, tamsel::required), name, (country, tamsel::truncate_to_fit),
 *                (home, tamsel::key("address")));
 *
 * Up to 64 members; the map is a constant (tamsel::map_of<user>()). Members left out are not
 * read or written. A struct that holds an array of itself cannot be described (its map would
 * need its own address while being made).
 */
#define TAMSEL_MAP(Type, ...)                                                                      \
    constexpr auto tamsel_fields_of(Type *) {                                                      \
        using tamsel__type = Type;                                                                 \
        static_assert(std::is_standard_layout<tamsel__type>::value,                                \
                      "TAMSEL_MAP needs a standard-layout struct");                                \
        return ::tamsel::detail::field_list<TAMSEL__COUNT(__VA_ARGS__)>{                           \
            #Type, {TAMSEL__FOR_EACH(TAMSEL__FIELD, __VA_ARGS__)}};                                \
    }                                                                                              \
    static_assert(sizeof(Type) > 0, "TAMSEL_MAP")

/* One member of TAMSEL_MAP, `name` or `(name, options...)`: its field. */
#define TAMSEL__FIELD(item) TAMSEL__FIELD_(TAMSEL__DEPAREN(item))
#define TAMSEL__FIELD_(...)                                                                        \
    ::tamsel::detail::make_field<decltype(tamsel__type::TAMSEL__HEAD(__VA_ARGS__))>(               \
        TAMSEL__STRING(TAMSEL__HEAD(__VA_ARGS__)),                                                 \
        offsetof(tamsel__type, TAMSEL__HEAD(__VA_ARGS__)),                                         \
        ::tamsel::detail::option_list{{TAMSEL__TAIL(__VA_ARGS__)}})
/* The first of the arguments, and the others (with a trailing comma, which the braced option
   list accepts). The extra argument keeps every variadic list non-empty for C++17. */
#define TAMSEL__HEAD(...) TAMSEL__HEAD_(__VA_ARGS__, ~)
#define TAMSEL__HEAD_(first, ...) first
#define TAMSEL__TAIL(...) TAMSEL__TAIL_(__VA_ARGS__, )
#define TAMSEL__TAIL_(first, ...) __VA_ARGS__
#define TAMSEL__STRING(x) TAMSEL__STRING_(x)
#define TAMSEL__STRING_(x) #x
#define TAMSEL__CAT(a, b) TAMSEL__CAT_(a, b)
#define TAMSEL__CAT_(a, b) a##b
/* `(a, b)` becomes `a, b` and `a` stays `a`: a parenthesised item makes TAMSEL__PROBE a call,
   whose expansion starts with its own name; the paste with TAMSEL__DROP_ removes that name. */
#define TAMSEL__DEPAREN(x) TAMSEL__DEPAREN_(TAMSEL__PROBE x)
#define TAMSEL__DEPAREN_(...) TAMSEL__DEPAREN__(__VA_ARGS__)
#define TAMSEL__DEPAREN__(...) TAMSEL__DROP_##__VA_ARGS__
#define TAMSEL__PROBE(...) TAMSEL__PROBE __VA_ARGS__
#define TAMSEL__DROP_TAMSEL__PROBE
/* The number of arguments, 1 to 64. */
#define TAMSEL__COUNT(...)                                                                         \
    TAMSEL__COUNT_(__VA_ARGS__, 64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49,    \
                   48, 47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, \
                   28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  \
                   8, 7, 6, 5, 4, 3, 2, 1, ~)
#define TAMSEL__COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, \
                       _18, _19, _20, _21, _22, _23, _24, _25, _26, _27, _28, _29, _30, _31, _32,  \
                       _33, _34, _35, _36, _37, _38, _39, _40, _41, _42, _43, _44, _45, _46, _47,  \
                       _48, _49, _50, _51, _52, _53, _54, _55, _56, _57, _58, _59, _60, _61, _62,  \
                       _63, _64, n, ...)                                                           \
    n
/* F(item) for each item, separated by commas. */
#define TAMSEL__FOR_EACH(F, ...)                                                                   \
    TAMSEL__CAT(TAMSEL__EACH_, TAMSEL__COUNT(__VA_ARGS__))(F, __VA_ARGS__)
#define TAMSEL__EACH_1(F, x) F(x)
#define TAMSEL__EACH_2(F, x, ...) F(x), TAMSEL__EACH_1(F, __VA_ARGS__)
#define TAMSEL__EACH_3(F, x, ...) F(x), TAMSEL__EACH_2(F, __VA_ARGS__)
#define TAMSEL__EACH_4(F, x, ...) F(x), TAMSEL__EACH_3(F, __VA_ARGS__)
#define TAMSEL__EACH_5(F, x, ...) F(x), TAMSEL__EACH_4(F, __VA_ARGS__)
#define TAMSEL__EACH_6(F, x, ...) F(x), TAMSEL__EACH_5(F, __VA_ARGS__)
#define TAMSEL__EACH_7(F, x, ...) F(x), TAMSEL__EACH_6(F, __VA_ARGS__)
#define TAMSEL__EACH_8(F, x, ...) F(x), TAMSEL__EACH_7(F, __VA_ARGS__)
#define TAMSEL__EACH_9(F, x, ...) F(x), TAMSEL__EACH_8(F, __VA_ARGS__)
#define TAMSEL__EACH_10(F, x, ...) F(x), TAMSEL__EACH_9(F, __VA_ARGS__)
#define TAMSEL__EACH_11(F, x, ...) F(x), TAMSEL__EACH_10(F, __VA_ARGS__)
#define TAMSEL__EACH_12(F, x, ...) F(x), TAMSEL__EACH_11(F, __VA_ARGS__)
#define TAMSEL__EACH_13(F, x, ...) F(x), TAMSEL__EACH_12(F, __VA_ARGS__)
#define TAMSEL__EACH_14(F, x, ...) F(x), TAMSEL__EACH_13(F, __VA_ARGS__)
#define TAMSEL__EACH_15(F, x, ...) F(x), TAMSEL__EACH_14(F, __VA_ARGS__)
#define TAMSEL__EACH_16(F, x, ...) F(x), TAMSEL__EACH_15(F, __VA_ARGS__)
#define TAMSEL__EACH_17(F, x, ...) F(x), TAMSEL__EACH_16(F, __VA_ARGS__)
#define TAMSEL__EACH_18(F, x, ...) F(x), TAMSEL__EACH_17(F, __VA_ARGS__)
#define TAMSEL__EACH_19(F, x, ...) F(x), TAMSEL__EACH_18(F, __VA_ARGS__)
#define TAMSEL__EACH_20(F, x, ...) F(x), TAMSEL__EACH_19(F, __VA_ARGS__)
#define TAMSEL__EACH_21(F, x, ...) F(x), TAMSEL__EACH_20(F, __VA_ARGS__)
#define TAMSEL__EACH_22(F, x, ...) F(x), TAMSEL__EACH_21(F, __VA_ARGS__)
#define TAMSEL__EACH_23(F, x, ...) F(x), TAMSEL__EACH_22(F, __VA_ARGS__)
#define TAMSEL__EACH_24(F, x, ...) F(x), TAMSEL__EACH_23(F, __VA_ARGS__)
#define TAMSEL__EACH_25(F, x, ...) F(x), TAMSEL__EACH_24(F, __VA_ARGS__)
#define TAMSEL__EACH_26(F, x, ...) F(x), TAMSEL__EACH_25(F, __VA_ARGS__)
#define TAMSEL__EACH_27(F, x, ...) F(x), TAMSEL__EACH_26(F, __VA_ARGS__)
#define TAMSEL__EACH_28(F, x, ...) F(x), TAMSEL__EACH_27(F, __VA_ARGS__)
#define TAMSEL__EACH_29(F, x, ...) F(x), TAMSEL__EACH_28(F, __VA_ARGS__)
#define TAMSEL__EACH_30(F, x, ...) F(x), TAMSEL__EACH_29(F, __VA_ARGS__)
#define TAMSEL__EACH_31(F, x, ...) F(x), TAMSEL__EACH_30(F, __VA_ARGS__)
#define TAMSEL__EACH_32(F, x, ...) F(x), TAMSEL__EACH_31(F, __VA_ARGS__)
#define TAMSEL__EACH_33(F, x, ...) F(x), TAMSEL__EACH_32(F, __VA_ARGS__)
#define TAMSEL__EACH_34(F, x, ...) F(x), TAMSEL__EACH_33(F, __VA_ARGS__)
#define TAMSEL__EACH_35(F, x, ...) F(x), TAMSEL__EACH_34(F, __VA_ARGS__)
#define TAMSEL__EACH_36(F, x, ...) F(x), TAMSEL__EACH_35(F, __VA_ARGS__)
#define TAMSEL__EACH_37(F, x, ...) F(x), TAMSEL__EACH_36(F, __VA_ARGS__)
#define TAMSEL__EACH_38(F, x, ...) F(x), TAMSEL__EACH_37(F, __VA_ARGS__)
#define TAMSEL__EACH_39(F, x, ...) F(x), TAMSEL__EACH_38(F, __VA_ARGS__)
#define TAMSEL__EACH_40(F, x, ...) F(x), TAMSEL__EACH_39(F, __VA_ARGS__)
#define TAMSEL__EACH_41(F, x, ...) F(x), TAMSEL__EACH_40(F, __VA_ARGS__)
#define TAMSEL__EACH_42(F, x, ...) F(x), TAMSEL__EACH_41(F, __VA_ARGS__)
#define TAMSEL__EACH_43(F, x, ...) F(x), TAMSEL__EACH_42(F, __VA_ARGS__)
#define TAMSEL__EACH_44(F, x, ...) F(x), TAMSEL__EACH_43(F, __VA_ARGS__)
#define TAMSEL__EACH_45(F, x, ...) F(x), TAMSEL__EACH_44(F, __VA_ARGS__)
#define TAMSEL__EACH_46(F, x, ...) F(x), TAMSEL__EACH_45(F, __VA_ARGS__)
#define TAMSEL__EACH_47(F, x, ...) F(x), TAMSEL__EACH_46(F, __VA_ARGS__)
#define TAMSEL__EACH_48(F, x, ...) F(x), TAMSEL__EACH_47(F, __VA_ARGS__)
#define TAMSEL__EACH_49(F, x, ...) F(x), TAMSEL__EACH_48(F, __VA_ARGS__)
#define TAMSEL__EACH_50(F, x, ...) F(x), TAMSEL__EACH_49(F, __VA_ARGS__)
#define TAMSEL__EACH_51(F, x, ...) F(x), TAMSEL__EACH_50(F, __VA_ARGS__)
#define TAMSEL__EACH_52(F, x, ...) F(x), TAMSEL__EACH_51(F, __VA_ARGS__)
#define TAMSEL__EACH_53(F, x, ...) F(x), TAMSEL__EACH_52(F, __VA_ARGS__)
#define TAMSEL__EACH_54(F, x, ...) F(x), TAMSEL__EACH_53(F, __VA_ARGS__)
#define TAMSEL__EACH_55(F, x, ...) F(x), TAMSEL__EACH_54(F, __VA_ARGS__)
#define TAMSEL__EACH_56(F, x, ...) F(x), TAMSEL__EACH_55(F, __VA_ARGS__)
#define TAMSEL__EACH_57(F, x, ...) F(x), TAMSEL__EACH_56(F, __VA_ARGS__)
#define TAMSEL__EACH_58(F, x, ...) F(x), TAMSEL__EACH_57(F, __VA_ARGS__)
#define TAMSEL__EACH_59(F, x, ...) F(x), TAMSEL__EACH_58(F, __VA_ARGS__)
#define TAMSEL__EACH_60(F, x, ...) F(x), TAMSEL__EACH_59(F, __VA_ARGS__)
#define TAMSEL__EACH_61(F, x, ...) F(x), TAMSEL__EACH_60(F, __VA_ARGS__)
#define TAMSEL__EACH_62(F, x, ...) F(x), TAMSEL__EACH_61(F, __VA_ARGS__)
#define TAMSEL__EACH_63(F, x, ...) F(x), TAMSEL__EACH_62(F, __VA_ARGS__)
#define TAMSEL__EACH_64(F, x, ...) F(x), TAMSEL__EACH_63(F, __VA_ARGS__)

namespace tamsel {

// ---- runtime --------------------------------------------------------------------------------

/* Owns a tamsel_runtime. Share it between threads freely (the library does); pass it by
   reference to the doors below. It remembers its configuration so that to_json can write in the
   other layout (pretty or compact) through a second runtime made on first use. */
class runtime {
  public:
#if TAMSEL_HPP_EXCEPTIONS
    /* The default configuration, or `config` (start from tamsel_default_config()); throws
       tamsel::error when the runtime cannot be made. */
    runtime() : runtime(tamsel_default_config()) {}
    explicit runtime(const tamsel_config &config) : runtime(make(config).value()) {}
    /* The default configuration, with what the library allocates counted in `stats` (which
       must outlive the runtime and everything made with it, since freeing a record's values
       updates it): its peak_bytes is the most the library held at once. */
    explicit runtime(tamsel_alloc_stats &stats) : runtime(make(stats).value()) {}
#endif
    /* The non-throwing constructors. */
    static result<runtime> make(const tamsel_config &config = tamsel_default_config()) {
        return make(config, nullptr);
    }
    static result<runtime> make(tamsel_alloc_stats &stats) {
        return make(tamsel_default_config(), &stats);
    }
    runtime(runtime &&other) noexcept
        : rt_(std::exchange(other.rt_, nullptr)), s_(std::move(other.s_)) {}
    runtime &operator=(runtime &&other) noexcept {
        if (this != &other) {
            release();
            rt_ = std::exchange(other.rt_, nullptr);
            s_ = std::move(other.s_);
        }
        return *this;
    }
    runtime(const runtime &) = delete;
    runtime &operator=(const runtime &) = delete;
    ~runtime() {
        release();
    }

    tamsel_runtime *get() const noexcept {
        return rt_;
    }
    /* The runtime that writes pretty (true) or compact (false) output: this one when its
       configuration says so, else the second one, made on first use (NULL and `error` filled
       when it cannot be made). Thread-safe. */
    tamsel_runtime *writing(bool pretty, tamsel_error *error) const noexcept {
        if (!rt_) { // moved from: the record says so, as the library does for a NULL runtime
            if (error) {
                *error = detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT,
                                            "tamsel runtime is required");
            }
            return nullptr;
        }
        if ((s_->config.pretty != 0) == pretty) return rt_;
        tamsel_runtime *other = s_->other.load(std::memory_order_acquire);
        if (other) return other;
        tamsel_runtime *made = s_->create(true, error);
        if (!made) return nullptr;
        if (!s_->other.compare_exchange_strong(other, made, std::memory_order_acq_rel)) {
            tamsel_free(made); // another thread made it first
            return other;
        }
        return made;
    }

  private:
    // The configuration with its own copies of what it points to (tamsel_new copies them too,
    // but the second runtime is made later).
    struct settings {
        settings(const tamsel_config &c, tamsel_alloc_stats *stats) : config(c) {
            if (c.allocator || stats) {
                allocator = c.allocator ? *c.allocator : tamsel_default_allocator();
                if (stats) allocator.stats = stats;
                config.allocator = &allocator;
            }
            for (int i = 0; i < TAMSEL_SPOOL_CLASS_COUNT; ++i) {
                if (c.spool_classes[i].temp_dir) {
                    temp_dirs[i] = c.spool_classes[i].temp_dir;
                    config.spool_classes[i].temp_dir = temp_dirs[i].c_str();
                }
            }
        }
        ~settings() {
            if (tamsel_runtime *o = other.load()) tamsel_free(o);
        }
        tamsel_runtime *create(bool other_layout, tamsel_error *error) const noexcept {
            tamsel_config c = config;
            if (other_layout) {
                c.pretty = c.pretty ? 0 : 1;
                c.fixed_string_scratch = nullptr; // the caller's scratch stays with one runtime
                c.fixed_string_scratch_size = 0;
            }
            return tamsel_new(&c, error);
        }
        tamsel_config config;
        tamsel_allocator allocator{};
        std::string temp_dirs[TAMSEL_SPOOL_CLASS_COUNT];
        std::atomic<tamsel_runtime *> other{nullptr};
    };
    runtime(tamsel_runtime *rt, std::unique_ptr<settings> s) noexcept : rt_(rt), s_(std::move(s)) {}
    static result<runtime> make(const tamsel_config &config, tamsel_alloc_stats *stats) {
        std::unique_ptr<settings> s(new (std::nothrow) settings(config, stats));
        if (!s) {
            return result<runtime>(
                detail::make_error(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate runtime"));
        }
        tamsel_error e;
        tamsel_runtime *rt = s->create(false, &e);
        if (!rt) return result<runtime>(e);
        return runtime(rt, std::move(s));
    }
    void release() noexcept {
        if (rt_) tamsel_free(rt_);
        rt_ = nullptr;
        s_.reset();
    }
    tamsel_runtime *rt_ = nullptr;
    std::unique_ptr<settings> s_;
};

// ---- records --------------------------------------------------------------------------------

/* Owns one T (a struct with a TAMSEL_MAP) on the heap: prepared with tamsel_init, filled by a
   parse, released with tamsel_cleanup and deleted when the record is destroyed. Move-only. */
template <class T> class record {
  public:
    record() noexcept = default;
    record(record &&other) noexcept
        : p_(std::exchange(other.p_, nullptr)), truncated_(other.truncated_) {}
    record &operator=(record &&other) noexcept {
        if (this != &other) {
            release();
            p_ = std::exchange(other.p_, nullptr);
            truncated_ = other.truncated_;
        }
        return *this;
    }
    record(const record &) = delete;
    record &operator=(const record &) = delete;
    ~record() { release(); }

    /* An empty record for `rt` (its allocator and limits); holds nothing when T could not be
       allocated. */
    static record create(tamsel_runtime *rt) noexcept {
        record r;
        r.p_ = new (std::nothrow) T();
        if (r.p_) tamsel_init(rt, &map_of<T>(), r.p_);
        return r;
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    T &operator*() const noexcept { return *p_; }
    T *operator->() const noexcept { return p_; }
    T *get() const noexcept { return p_; }
    /* The parse cut a value of a char[N] member declared with tamsel::truncate_to_fit. */
    bool truncated() const noexcept { return truncated_; }
    void set_truncated(bool t) noexcept { truncated_ = t; }

  private:
    void release() noexcept {
        if (p_) {
            tamsel_cleanup(&map_of<T>(), p_);
            delete p_;
            p_ = nullptr;
        }
    }
    T *p_ = nullptr;
    bool truncated_ = false;
};

// ---- inputs ---------------------------------------------------------------------------------
// Every door reads JSON text from memory (std::string_view: the bytes, which must outlive a
// range or stream reading them; a std::string rvalue given to a range is kept by it), a
// std::FILE * (from its current position; never closed) or a file opened by path:
// tamsel::file("path").

/* A file named by its path, opened and closed by the door that reads it. */
struct file {
    explicit file(std::string p) : path(std::move(p)) {}
    std::string path;
};

namespace detail {

template <class T>
tamsel_status parse_from(runtime &rt, T *dst, std::string_view text, tamsel_error *e) noexcept {
    return tamsel_parse_buffer(rt.get(), &map_of<T>(), dst, text.data(), text.size(), e);
}
template <class T>
tamsel_status parse_from(runtime &rt, T *dst, std::FILE *in, tamsel_error *e) noexcept {
    return tamsel_parse_filep(rt.get(), &map_of<T>(), dst, in, e);
}
template <class T>
tamsel_status parse_from(runtime &rt, T *dst, const file &in, tamsel_error *e) noexcept {
    return tamsel_parse_path(rt.get(), &map_of<T>(), dst, in.path.c_str(), e);
}

template <class T, class Input> result<record<T>> parse_record(runtime &rt, const Input &in) {
    record<T> r = record<T>::create(rt.get());
    if (!r) {
        return result<record<T>>(
            make_error(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate record"));
    }
    tamsel_error e;
    const tamsel_status st = parse_from(rt, r.get(), in, &e);
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
        return result<record<T>>(failed(st, e));
    }
    r.set_truncated(e.truncated != 0);
    return r;
}

/* Appends each piece to the std::string at `user`. */
inline tamsel_status append_to_string(void *user, const void *data, size_t len,
                                      tamsel_error *error) noexcept {
    pending_exception ignored;
    const tamsel_status st = ignored.guard(TAMSEL_STATUS_ALLOCATION_FAILED, [&] {
        static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
        return TAMSEL_STATUS_OK;
    });
    if (st != TAMSEL_STATUS_OK && error) *error = make_error(st, "failed to grow std::string");
    return st;
}

template <class T> constexpr bool is_record = false;
template <class T> constexpr bool is_record<record<T>> = true;

} // namespace detail

// ---- parse and to_json ----------------------------------------------------------------------

/* Parses one JSON object into a new T. A failure gives the parser's error record, with the line,
   column and offset of the offending byte for errors in the input. */
template <class T> result<record<T>> try_parse(runtime &rt, std::string_view text) {
    return detail::parse_record<T>(rt, text);
}
template <class T> result<record<T>> try_parse(runtime &rt, std::FILE *in) {
    return detail::parse_record<T>(rt, in);
}
template <class T> result<record<T>> try_parse(runtime &rt, const file &in) {
    return detail::parse_record<T>(rt, in);
}

/* Writes `value` (a struct with a TAMSEL_MAP, or a record of one) as one JSON object, compact or
   with two-space indentation. */
template <class T>
result<std::string> try_to_json(const runtime &rt, const T &value, bool pretty = false) {
    if constexpr (detail::is_record<T>) {
        if (!value) { // moved from, or its T could not be allocated
            return result<std::string>(
                detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT, "record holds no value"));
        }
        return try_to_json(rt, *value, pretty);
    } else {
        tamsel_error e;
        tamsel_runtime *writing = rt.writing(pretty, &e);
        if (!writing) return result<std::string>(e);
        std::string out;
        const tamsel_status st = tamsel_serialize_sink(writing, &map_of<T>(), &value,
                                                       detail::append_to_string, &out, &e);
        if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
            return result<std::string>(detail::failed(st, e));
        }
        return out;
    }
}

#if TAMSEL_HPP_EXCEPTIONS
template <class T> record<T> parse(runtime &rt, std::string_view text) {
    return try_parse<T>(rt, text).value();
}
template <class T> record<T> parse(runtime &rt, std::FILE *in) {
    return try_parse<T>(rt, in).value();
}
template <class T> record<T> parse(runtime &rt, const file &in) {
    return try_parse<T>(rt, in).value();
}
template <class T> std::string to_json(const runtime &rt, const T &value, bool pretty = false) {
    return try_to_json(rt, value, pretty).value();
}
#endif

// ---- ranges over items and objects ----------------------------------------------------------

/* An input range over the items of an array (items<T>) or the objects of a stream
   (objects<T>): one item is in memory at a time, held in one record the library reuses, so
   the reference an iteration gives is valid until the next. T is a struct with a TAMSEL_MAP,
   or tamsel::json for items kept as compact JSON text. A failure throws tamsel::error from the
   loop (items, objects), or ends it and is kept in error() (try_items, try_objects). */
template <class T> class range {
    static constexpr bool raw = std::is_same_v<T, json>;
    using holder = std::conditional_t<raw, json, record<T>>;

    struct state {
        holder item;
        std::string text; // the input, when the range was handed a std::string to keep
        tamsel_buffer_reader reader{};
        tamsel_array_stream *array = nullptr;
        tamsel_stream *objects = nullptr;
        tamsel_error error = detail::no_error();
        bool throws = false;
        bool has_item = false; // the current item is valid
        bool done = false;     // no more items: the end, or a failure
        ~state() {
            if (array) tamsel_array_stream_close(array);
            if (objects) tamsel_stream_close(objects);
        }
        T &value() noexcept {
            if constexpr (raw) {
                return item;
            } else {
                return *item;
            }
        }
        void advance() {
            tamsel_stream_result r;
            if constexpr (raw) {
                r = tamsel_array_stream_next_value(array, item.get(), &error);
            } else if (array) {
                r = tamsel_array_stream_next(array, &map_of<T>(), item.get(), &error);
            } else {
                r = tamsel_stream_next(objects, item.get(), &error);
            }
            has_item = r == TAMSEL_STREAM_ITEM;
            if (has_item) return;
            done = true;
            if (r == TAMSEL_STREAM_END) return;
            if (r == TAMSEL_STREAM_WOULD_BLOCK) {
                error = detail::make_error(TAMSEL_STATUS_IO_ERROR, "input would block");
            }
            if (error.code == TAMSEL_STATUS_OK) error.code = TAMSEL_STATUS_INTERNAL_ERROR;
            if (throws) detail::raise(error);
        }
        void fail(const tamsel_error &e) {
            error = e;
            done = true;
            if (throws) detail::raise(error);
        }
    };

  public:
    class iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = T *;
        using reference = T &;

        iterator() noexcept = default;
        T &operator*() const noexcept { return s_->value(); }
        T *operator->() const noexcept { return &s_->value(); }
        iterator &operator++() {
            s_->advance();
            if (!s_->has_item) s_ = nullptr;
            return *this;
        }
        void operator++(int) { ++*this; }
        friend bool operator==(const iterator &a, const iterator &b) noexcept {
            return a.s_ == b.s_;
        }
        friend bool operator!=(const iterator &a, const iterator &b) noexcept {
            return a.s_ != b.s_;
        }

      private:
        friend class range;
        explicit iterator(state *s) noexcept : s_(s) {}
        state *s_ = nullptr;
    };

    /* Reads the first item (once: the range is an input range). */
    iterator begin() {
        if (!s_ || s_->done) return iterator();
        if (!s_->has_item) s_->advance();
        return s_->has_item ? iterator(s_.get()) : iterator();
    }
    iterator end() noexcept { return iterator(); }
    /* Whether the range failed (opening, or an item); the record of the failure. A range
       without a stream, because its state could not be allocated or it was moved from, has
       failed too: it reads nothing. */
    bool failed() const noexcept { return error().code != TAMSEL_STATUS_OK; }
    const tamsel_error &error() const noexcept {
        if (s_) return s_->error;
        static const tamsel_error unallocated =
            detail::make_error(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate range");
        static const tamsel_error moved =
            detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT, "range was moved from");
        return unallocated_ ? unallocated : moved;
    }
    std::string message() const { return describe(error()); }

    // The doors below make ranges; a range is movable and owns its stream.
    template <class Open>
    static range open_array(runtime &rt, std::string_view path, bool throws, Open open) {
        range r(rt, throws);
        if (r.s_->done) return r;
        const std::string selector(path);
        tamsel_error e;
        r.s_->array = open(r.s_.get(), selector.empty() ? nullptr : selector.c_str(), &e);
        if (!r.s_->array) r.s_->fail(detail::failed(TAMSEL_STATUS_INVALID_ARGUMENT, e));
        return r;
    }
    template <class Open> static range open_objects(runtime &rt, bool throws, Open open) {
        static_assert(!raw, "objects<T> needs a struct with a TAMSEL_MAP");
        range r(rt, throws);
        if (r.s_->done) return r;
        tamsel_error e;
        r.s_->objects = open(r.s_.get(), &e);
        if (!r.s_->objects) r.s_->fail(detail::failed(TAMSEL_STATUS_INVALID_ARGUMENT, e));
        return r;
    }
    tamsel_buffer_reader *reader() noexcept { return &s_->reader; }

  private:
    range(runtime &rt, bool throws) {
        s_.reset(new (std::nothrow) state());
        if (!s_) {
            unallocated_ = true;
            if (throws) detail::raise(error());
            return;
        }
        s_->throws = throws;
        if constexpr (raw) {
            tamsel_json_value_init(rt.get(), s_->item.get());
        } else {
            s_->item = record<T>::create(rt.get());
            if (!s_->item) {
                s_->fail(detail::make_error(TAMSEL_STATUS_ALLOCATION_FAILED,
                                            "failed to allocate record"));
            }
        }
    }
    std::unique_ptr<state> s_;
    bool unallocated_ = false;
};

namespace detail {

template <class T, class State>
tamsel_array_stream *open_items(runtime &rt, State *s, const char *sel, std::string_view text,
                                tamsel_error *e) noexcept {
    tamsel_buffer_reader_init(&s->reader, text.data(), text.size());
    return tamsel_array_stream_open_selector_reader(rt.get(), sel, tamsel_buffer_reader_read,
                                                    &s->reader, e);
}
template <class T, class State>
tamsel_array_stream *open_items(runtime &rt, State *s, const char *sel, std::string &text,
                                tamsel_error *e) noexcept {
    s->text = std::move(text);
    return open_items<T>(rt, s, sel, std::string_view(s->text), e);
}
template <class T, class State>
tamsel_array_stream *open_items(runtime &rt, State *, const char *sel, std::FILE *in,
                                tamsel_error *e) noexcept {
    return tamsel_array_stream_open_selector_filep(rt.get(), sel, in, e);
}
template <class T, class State>
tamsel_array_stream *open_items(runtime &rt, State *, const char *sel, const file &in,
                                tamsel_error *e) noexcept {
    return tamsel_array_stream_open_selector_path(rt.get(), sel, in.path.c_str(), e);
}
template <class T, class State>
tamsel_stream *open_objects(runtime &rt, State *s, std::string_view text,
                            tamsel_error *e) noexcept {
    tamsel_buffer_reader_init(&s->reader, text.data(), text.size());
    return tamsel_stream_open_reader(rt.get(), &map_of<T>(), tamsel_buffer_reader_read, &s->reader,
                                     e);
}
template <class T, class State>
tamsel_stream *open_objects(runtime &rt, State *s, std::string &text, tamsel_error *e) noexcept {
    s->text = std::move(text);
    return open_objects<T>(rt, s, std::string_view(s->text), e);
}
template <class T, class State>
tamsel_stream *open_objects(runtime &rt, State *, std::FILE *in, tamsel_error *e) noexcept {
    return tamsel_stream_open_filep(rt.get(), &map_of<T>(), in, e);
}
template <class T, class State>
tamsel_stream *open_objects(runtime &rt, State *, const file &in, tamsel_error *e) noexcept {
    return tamsel_stream_open_path(rt.get(), &map_of<T>(), in.path.c_str(), e);
}

template <class T, class Input>
range<T> items_range(runtime &rt, Input &in, std::string_view path, bool throws) {
    return range<T>::open_array(rt, path, throws, [&](auto *s, const char *sel, tamsel_error *e) {
        return open_items<T>(rt, s, sel, in, e);
    });
}
template <class T, class Input> range<T> objects_range(runtime &rt, Input &in, bool throws) {
    return range<T>::open_objects(
        rt, throws, [&](auto *s, tamsel_error *e) { return open_objects<T>(rt, s, in, e); });
}

/* A std::string handed over as an rvalue: the range keeps it, so a temporary may be the input
   of a loop (a std::string_view of it would dangle once the range's expression ends). */
template <class S> using if_string_rvalue = std::enable_if_t<std::is_same_v<S, std::string>, int>;

} // namespace detail

/* The items of the array at `path` (dotted members and indices from the root, as `tamsel items
   --path`: "data.items", "a\\.b" for the member named a.b; empty: the root array), one at a
   time. A failure ends the loop; check failed() after it. */
template <class T>
range<T> try_items(runtime &rt, std::string_view text, std::string_view path = {}) {
    return detail::items_range<T>(rt, text, path, false);
}
template <class T> range<T> try_items(runtime &rt, std::FILE *in, std::string_view path = {}) {
    return detail::items_range<T>(rt, in, path, false);
}
template <class T> range<T> try_items(runtime &rt, const file &in, std::string_view path = {}) {
    return detail::items_range<T>(rt, in, path, false);
}
template <class T, class S, detail::if_string_rvalue<S> = 0>
range<T> try_items(runtime &rt, S &&text, std::string_view path = {}) {
    return detail::items_range<T>(rt, text, path, false);
}
/* The objects of a stream (JSON Lines, or objects one after another), one at a time. */
template <class T> range<T> try_objects(runtime &rt, std::string_view text) {
    return detail::objects_range<T>(rt, text, false);
}
template <class T> range<T> try_objects(runtime &rt, std::FILE *in) {
    return detail::objects_range<T>(rt, in, false);
}
template <class T> range<T> try_objects(runtime &rt, const file &in) {
    return detail::objects_range<T>(rt, in, false);
}
template <class T, class S, detail::if_string_rvalue<S> = 0>
range<T> try_objects(runtime &rt, S &&text) {
    return detail::objects_range<T>(rt, text, false);
}

#if TAMSEL_HPP_EXCEPTIONS
/* As try_items, throwing tamsel::error when the stream cannot be opened or an item fails. */
template <class T> range<T> items(runtime &rt, std::string_view text, std::string_view path = {}) {
    return detail::items_range<T>(rt, text, path, true);
}
template <class T> range<T> items(runtime &rt, std::FILE *in, std::string_view path = {}) {
    return detail::items_range<T>(rt, in, path, true);
}
template <class T> range<T> items(runtime &rt, const file &in, std::string_view path = {}) {
    return detail::items_range<T>(rt, in, path, true);
}
template <class T, class S, detail::if_string_rvalue<S> = 0>
range<T> items(runtime &rt, S &&text, std::string_view path = {}) {
    return detail::items_range<T>(rt, text, path, true);
}
/* As try_objects, throwing tamsel::error. */
template <class T> range<T> objects(runtime &rt, std::string_view text) {
    return detail::objects_range<T>(rt, text, true);
}
template <class T> range<T> objects(runtime &rt, std::FILE *in) {
    return detail::objects_range<T>(rt, in, true);
}
template <class T> range<T> objects(runtime &rt, const file &in) {
    return detail::objects_range<T>(rt, in, true);
}
template <class T, class S, detail::if_string_rvalue<S> = 0>
range<T> objects(runtime &rt, S &&text) {
    return detail::objects_range<T>(rt, text, true);
}
#endif

} // namespace tamsel

namespace tamsel {

// ---- writer ---------------------------------------------------------------------------------

/* The streaming writer over a std::string (appended to), a std::FILE * (written to, never
   closed) or a callable sink taking std::string_view pieces. One call per token, chained:

       tamsel::writer w(rt, out);
       w.begin_object().member("model", "m1").member("max_tokens", 512);
       w.key("tags").begin_array().value("a").value("b").end_array();
       w.end_object().finish();

   value() and member() take integers, doubles, bool, nullptr, strings, tamsel::json holders,
   records with a TAMSEL_MAP (tamsel_writer_mapped) and iterable containers of those (as an
   array). The writer inserts the commas and refuses what would make the document invalid.
   The first failure stops it: it throws tamsel::error at once (the sink's own exception, when
   it threw), or, with tamsel::no_throw (or without exceptions), it is kept, every later call
   does nothing, and finish() returns false with error() holding it. Destruction abandons an
   unfinished document. Neither copyable nor movable. */
class writer {
  public:
#if TAMSEL_HPP_EXCEPTIONS
    writer(runtime &rt, std::string &out) : writer(rt, out, true) {}
    writer(runtime &rt, std::FILE *out) : writer(rt, out, true) {}
    template <class Sink, class = std::enable_if_t<std::is_invocable_v<Sink &, std::string_view>>>
    writer(runtime &rt, Sink sink) : writer(rt, std::move(sink), true) {}
#endif
    writer(runtime &rt, std::string &out, no_throw_t) : writer(rt, out, false) {}
    writer(runtime &rt, std::FILE *out, no_throw_t) : writer(rt, out, false) {}
    template <class Sink, class = std::enable_if_t<std::is_invocable_v<Sink &, std::string_view>>>
    writer(runtime &rt, Sink sink, no_throw_t) : writer(rt, std::move(sink), false) {}
    writer(const writer &) = delete;
    writer &operator=(const writer &) = delete;
    ~writer() {
        tamsel_writer_cleanup(&w_);
    }

    writer &begin_object() {
        return call(tamsel_writer_begin_object);
    }
    writer &end_object() {
        return call(tamsel_writer_end_object);
    }
    writer &begin_array() {
        return call(tamsel_writer_begin_array);
    }
    writer &end_array() {
        return call(tamsel_writer_end_array);
    }
    writer &key(std::string_view name) {
        return call(tamsel_writer_key, name.data(), name.size());
    }
    writer &null() {
        return call(tamsel_writer_null);
    }
    /* Number text written as it is, once checked to be a JSON number ("0.95", "1e400"). */
    writer &number_text(std::string_view text) {
        return call(tamsel_writer_number_text, text.data(), text.size());
    }
    /* One JSON value from its text, checked and written compactly. */
    writer &json_text(std::string_view text) {
        return call(tamsel_writer_json_value_buffer, text.data(), text.size());
    }
    /* A string written in pieces: begin, any number of chunks (cut anywhere), end. */
    writer &string_begin() {
        return call(tamsel_writer_string_begin);
    }
    writer &string_chunk(std::string_view piece) {
        return call(tamsel_writer_string_chunk, piece.data(), piece.size());
    }
    writer &string_end() {
        return call(tamsel_writer_string_end);
    }

    /* An absent tamsel::string and a null C string are written as null, as to_json writes an
       absent string member. */
    template <class V> writer &value(const V &v) {
        if (failed_) return *this;
        if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, flag>) {
            return call(tamsel_writer_bool, static_cast<bool>(v) ? 1 : 0);
        } else if constexpr (std::is_integral_v<V>) {
            static_assert(sizeof(V) <= sizeof(int64_t),
                          "integers wider than 64 bits are not cut: convert them explicitly");
            if constexpr (std::is_signed_v<V>) {
                return call(tamsel_writer_i64, static_cast<int64_t>(v));
            } else {
                return call(tamsel_writer_u64, static_cast<uint64_t>(v));
            }
        } else if constexpr (std::is_floating_point_v<V>) {
            return call(tamsel_writer_f64, static_cast<double>(v));
        } else if constexpr (std::is_same_v<V, std::nullptr_t>) {
            return null();
        } else if constexpr (std::is_same_v<V, json>) {
            return call(tamsel_writer_json_value, v.get());
        } else if constexpr (std::is_same_v<V, string>) {
            return v.has_value() ? call(tamsel_writer_string, v.data(), v.size()) : null();
        } else if constexpr (std::is_pointer_v<V> && std::is_convertible_v<V, const char *>) {
            if (!v) return null();
            const std::string_view s(v);
            return call(tamsel_writer_string, s.data(), s.size());
        } else if constexpr (detail::is_fixed_string<V>) {
            // A char[N] member (or a literal) up to its first NUL and never past its end, as
            // to_json writes a fixed string that fills its array.
            const void *nul = std::memchr(v, 0, sizeof v);
            const size_t n =
                nul ? static_cast<size_t>(static_cast<const char *>(nul) - v) : sizeof v;
            return call(tamsel_writer_string, v, n);
        } else if constexpr (std::is_convertible_v<const V &, std::string_view>) {
            const std::string_view s(v);
            return call(tamsel_writer_string, s.data(), s.size());
        } else if constexpr (detail::is_record<V>) {
            if (!v) return refuse("record holds no value");
            return value(*v);
        } else if constexpr (detail::has_map<V>) {
            return call(tamsel_writer_mapped, &map_of<V>(), static_cast<const void *>(&v));
        } else {
            begin_array();
            for (const auto &item : v)
                value(item);
            return end_array();
        }
    }
    /* A braced list as an array: value({"logs", "latency"}). */
    template <class V> writer &value(std::initializer_list<V> list) {
        begin_array();
        for (const V &item : list)
            value(item);
        return end_array();
    }
    template <class V> writer &member(std::string_view name, const V &v) {
        key(name);
        return value(v);
    }
    template <class V> writer &member(std::string_view name, std::initializer_list<V> list) {
        key(name);
        return value(list);
    }
    /* `{`, what `body()` writes, `}`; and the same for arrays. */
    template <class F> writer &object(F &&body) {
        begin_object();
        if (!failed_) body();
        return end_object();
    }
    template <class F> writer &array(F &&body) {
        begin_array();
        if (!failed_) body();
        return end_array();
    }
    /* Checks that the document is complete (one value, nothing left open). */
    bool finish() {
        call(tamsel_writer_finish);
        return !failed_;
    }

    bool ok() const noexcept {
        return !failed_;
    }
    const tamsel_error &error() const noexcept {
        return failed_ ? e_ : w_.error;
    }
    tamsel_writer *get() noexcept {
        return &w_;
    }

  private:
    template <class Out> writer(runtime &rt, Out &&out, bool throws) : throws_(throws) {
        using O = std::decay_t<Out>;
        tamsel_sink sink;
        if constexpr (std::is_same_v<O, std::string>) {
            out_ = &out;
            sink = to_string;
        } else if constexpr (std::is_same_v<O, std::FILE *>) {
            file_ = out;
            sink = to_file;
        } else {
            sink_ = std::forward<Out>(out);
            sink = to_callable;
        }
        check(tamsel_writer_init_sink(rt.get(), &w_, sink, this, &e_));
    }
    // One operation of the C writer. After the first failure nothing reaches the writer any
    // more, so the document stops where it failed and the failure's record stays as it was.
    template <class Op, class... A> writer &call(Op op, A... args) {
        if (failed_) return *this;
        return check(op(&w_, args..., &e_));
    }
    writer &check(tamsel_status st) {
        if (failed_ || st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return *this;
        failed_ = true;
        e_ = detail::failed(st, e_);
        pending_.rethrow_if_any();
        if (throws_) detail::raise(e_);
        return *this;
    }
    // A failure this layer finds itself.
    writer &refuse(const char *message) {
        e_ = detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT, message);
        return check(TAMSEL_STATUS_INVALID_ARGUMENT);
    }
    static tamsel_status to_string(void *user, const void *data, size_t len,
                                   tamsel_error *error) noexcept {
        return detail::append_to_string(static_cast<writer *>(user)->out_, data, len, error);
    }
    static tamsel_status to_file(void *user, const void *data, size_t len,
                                 tamsel_error *error) noexcept {
        if (std::fwrite(data, 1, len, static_cast<writer *>(user)->file_) == len) {
            return TAMSEL_STATUS_OK;
        }
        if (error) {
            *error = detail::make_error(TAMSEL_STATUS_IO_ERROR, "failed to write output");
            error->system_errno = errno;
        }
        return TAMSEL_STATUS_IO_ERROR;
    }
    static tamsel_status to_callable(void *user, const void *data, size_t len,
                                     tamsel_error *error) noexcept {
        writer *self = static_cast<writer *>(user);
        const tamsel_status st = self->pending_.guard(TAMSEL_STATUS_CALLBACK_FAILED, [&] {
            self->sink_(std::string_view(static_cast<const char *>(data), len));
            return TAMSEL_STATUS_OK;
        });
        if (st != TAMSEL_STATUS_OK && error) {
            *error = detail::make_error(st, "writer sink threw an exception");
        }
        return st;
    }

    tamsel_writer w_{};
    tamsel_error e_ = detail::no_error();
    std::string *out_ = nullptr;
    std::FILE *file_ = nullptr;
    std::function<void(std::string_view)> sink_;
    detail::pending_exception pending_;
    bool failed_ = false;
    bool throws_;
};

// ---- Server-Sent Events ---------------------------------------------------------------------

namespace detail {

/* A record of some mapped type behind one interface, for the event reader. */
struct any_record {
    virtual ~any_record() = default;
    virtual void *get() noexcept = 0;
};
template <class T> struct typed_record final : any_record {
    explicit typed_record(tamsel_runtime *rt) : r(record<T>::create(rt)) {}
    void *get() noexcept override { return r.get(); }
    record<T> r;
};

/* A handler's return value as a callback status: nothing or true goes on, false ends the
   stream. */
template <class R> int go_on(const R &r) noexcept {
    if constexpr (std::is_same_v<R, bool>) {
        return r ? 0 : TAMSEL_SSE_END_STREAM;
    } else {
        return 0;
    }
}
template <class F, class... A> int call_handler(F &f, A &&...a) {
    if constexpr (std::is_void_v<std::invoke_result_t<F &, A...>>) {
        f(std::forward<A>(a)...);
        return 0;
    } else {
        return go_on(f(std::forward<A>(a)...));
    }
}

} // namespace detail

/* A reader of a Server-Sent Events stream as it arrives (an LLM's chat stream, say). Events
   named with on<T>() have their data parsed straight into a T (one record type per reader) and
   handed to the handler; every other event, and the end marker's, goes to on_other() with its
   data gathered (within the parser's limits). The stream ends at the end marker ("[DONE]" by
   default; "" for none) or when a handler returns false: push reads nothing more and ended()
   turns true. A bad event is dropped and the next one read as usual: push throws (or
   try_push returns) the first failure of its bytes after reading all of them. The runtime
   parses each event, so it must live while events are pushed. Not movable.

       tamsel::sse events(rt);
       events.on<delta>("delta", [&](const delta &d) { std::cout << d.text; });
       while (!events.ended() && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
           events.push(std::string_view(buf, n));
*/
class sse {
  public:
#if TAMSEL_HPP_EXCEPTIONS
    explicit sse(runtime &rt, std::string end_marker = "[DONE]",
                 const tamsel_sse_options *options = nullptr)
        : sse(rt, std::move(end_marker), options, false) {
        if (!p_) detail::raise(e_);
    }
#endif
    /* The non-throwing constructor: ok() says whether the parser was made. */
    sse(runtime &rt, no_throw_t, std::string end_marker = "[DONE]",
        const tamsel_sse_options *options = nullptr)
        : sse(rt, std::move(end_marker), options, false) {}
    sse(const sse &) = delete;
    sse &operator=(const sse &) = delete;
    ~sse() {
        tamsel_sse_close(p_);
    }

    /* Parses the events named `event` into a T and calls `handler(const T &)` or
       `handler(const T &, const tamsel_sse_event &)`; returning false ends the stream. */
    template <class T, class F> sse &on(std::string event, F handler) {
        if (!record_) {
            record_.reset(new detail::typed_record<T>(rt_));
            map_ = &map_of<T>();
        } else if (map_ != &map_of<T>()) {
            e_ = detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT,
                                    "one record type per SSE reader");
            return *this;
        }
        names_.push_back(std::move(event));
        handlers_.push_back([handler](const void *r, const tamsel_sse_event &ev) mutable -> int {
            const T &value = *static_cast<const T *>(r);
            if constexpr (std::is_invocable_v<F &, const T &, const tamsel_sse_event &>) {
                return detail::call_handler(handler, value, ev);
            } else {
                return detail::call_handler(handler, value);
            }
        });
        return *this;
    }
    /* Every event not parsed: `handler(const tamsel_sse_event &, std::string_view data)`. */
    template <class F> sse &on_other(F handler) {
        other_ = [handler](const tamsel_sse_event &ev, std::string_view data) mutable -> int {
            return detail::call_handler(handler, ev, data);
        };
        return *this;
    }

    result<void> try_push(std::string_view bytes) {
        return call([&](const tamsel_sse_event_filter *f, const tamsel_sse_json_handlers *h,
                        tamsel_error *e) {
            return tamsel_sse_push_json_ex(rt_, p_, map(), dst(), bytes.data(), bytes.size(), f, h,
                                           e);
        });
    }
    /* The end of the input: an unterminated last event is dispatched. */
    result<void> try_finish() {
        return call([&](const tamsel_sse_event_filter *f, const tamsel_sse_json_handlers *h,
                        tamsel_error *e) {
            return tamsel_sse_finish_json_ex(rt_, p_, map(), dst(), f, h, e);
        });
    }
#if TAMSEL_HPP_EXCEPTIONS
    void push(std::string_view bytes) {
        try_push(bytes).value();
    }
    void finish() {
        try_finish().value();
    }
#endif
    bool ok() const noexcept {
        return p_ != nullptr;
    }
    /* TAMSEL_SSE_ENDED_AT_MARKER or TAMSEL_SSE_ENDED_BY_CALLBACK once the stream ended, else 0. */
    int ended() const noexcept {
        return p_ ? tamsel_sse_ended(p_) : TAMSEL_SSE_NOT_ENDED;
    }

  private:
    sse(runtime &rt, std::string end_marker, const tamsel_sse_options *options, bool)
        : rt_(rt.get()), marker_(std::move(end_marker)), e_(detail::no_error()) {
        p_ = tamsel_sse_open(options, &e_);
    }
    // Without on<T>() every event goes to `other`: the filter names an event that cannot occur
    // (a name holding a line feed) and the record is one byte of a map without fields.
    const tamsel_map *map() const noexcept {
        return map_ ? map_ : &none_map();
    }
    void *dst() noexcept {
        return record_ ? record_->get() : &none_;
    }
    static const tamsel_map &none_map() noexcept {
        static const tamsel_map m = {"no record", 1, nullptr, 0, &m, nullptr};
        return m;
    }

    template <class Push> result<void> call(Push push) {
        if (!p_ || e_.code != TAMSEL_STATUS_OK) {
            return result<void>(
                p_ ? e_
                   : detail::make_error(TAMSEL_STATUS_INVALID_ARGUMENT, "SSE parser is not open"));
        }
        if (record_ && !record_->get()) {
            return result<void>(
                detail::make_error(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate record"));
        }
        names_c_.clear();
        for (const std::string &n : names_)
            names_c_.push_back(n.c_str());
        static const char *const nothing[] = {"\n"};
        const tamsel_sse_event_filter filter = {names_c_.empty() ? nothing : names_c_.data(),
                                                names_c_.empty() ? 1 : names_c_.size()};
        const tamsel_sse_callbacks other = {on_begin, on_data, on_end};
        const tamsel_sse_json_handlers handlers = {on_json, nullptr, &other, marker_.c_str(), this};
        tamsel_error e;
        const tamsel_status st = push(&filter, &handlers, &e);
        pending_.rethrow_if_any();
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return result<void>();
        return result<void>(detail::failed(st, e));
    }
    static int on_json(void *user, const tamsel_sse_event *ev, void *record, tamsel_error *) {
        sse *self = static_cast<sse *>(user);
        return self->pending_.guard(static_cast<int>(TAMSEL_STATUS_CALLBACK_FAILED), [&] {
            for (size_t i = 0; i < self->names_.size(); ++i) {
                if (self->names_[i] == ev->event) return self->handlers_[i](record, *ev);
            }
            return 0;
        });
    }
    static int on_begin(void *user, const tamsel_sse_event *, tamsel_error *) {
        static_cast<sse *>(user)->data_.clear();
        return 0;
    }
    static int on_data(void *user, const char *bytes, size_t length, tamsel_error *) {
        sse *self = static_cast<sse *>(user);
        return self->pending_.guard(static_cast<int>(TAMSEL_STATUS_CALLBACK_FAILED), [&] {
            if (self->other_) self->data_.append(bytes, length);
            return 0;
        });
    }
    static int on_end(void *user, const tamsel_sse_event *ev, tamsel_error *) {
        sse *self = static_cast<sse *>(user);
        return self->pending_.guard(static_cast<int>(TAMSEL_STATUS_CALLBACK_FAILED), [&] {
            return self->other_ ? self->other_(*ev, self->data_) : 0;
        });
    }

    // The runtime's handle, not the tamsel::runtime: moving that object keeps the handle, and a
    // push after the runtime is destroyed fails with status 1 instead of reading freed memory.
    tamsel_runtime *rt_;
    tamsel_sse *p_ = nullptr;
    std::string marker_;
    tamsel_error e_;
    std::unique_ptr<detail::any_record> record_;
    const tamsel_map *map_ = nullptr;
    char none_ = 0;
    std::vector<std::string> names_;
    std::vector<const char *> names_c_;
    std::vector<std::function<int(const void *, const tamsel_sse_event &)>> handlers_;
    std::function<int(const tamsel_sse_event &, std::string_view)> other_;
    std::string data_;
    detail::pending_exception pending_;
};

// ---- pushed array items ---------------------------------------------------------------------

/* The items of an array at `path` (as items<T>) from input handed over in chunks as it arrives
   (a download, a socket), each parsed into a T and passed to `handler(const T &)`; returning
   false stops the stream with status 9. One item in memory at a time. Not movable.

       tamsel::item_pusher<event> events(rt, "data", [&](const event &e) { ... });
       events.push(chunk);  ...  events.finish();
*/
template <class T> class item_pusher {
  public:
#if TAMSEL_HPP_EXCEPTIONS
    template <class F>
    item_pusher(runtime &rt, std::string_view path, F handler)
        : item_pusher(rt, path, std::move(handler), no_throw) {
        if (!s_) detail::raise(e_);
    }
#endif
    template <class F>
    item_pusher(runtime &rt, std::string_view path, F handler, no_throw_t)
        : e_(detail::no_error()), item_(record<T>::create(rt.get())) {
        handler_ = [handler](const T &item) mutable -> int {
            return detail::call_handler(handler, item) == 0 ? 0 : 1;
        };
        if (!item_) {
            e_ = detail::make_error(TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate record");
            return;
        }
        const std::string selector(path);
        s_ = tamsel_array_stream_open_selector_push(
            rt.get(), selector.empty() ? nullptr : selector.c_str(), &e_);
    }
    item_pusher(const item_pusher &) = delete;
    item_pusher &operator=(const item_pusher &) = delete;
    ~item_pusher() {
        tamsel_array_stream_close(s_);
    }

    result<void> try_push(std::string_view bytes) {
        return call([&](tamsel_error *e) {
            return tamsel_array_stream_push(s_, &map_of<T>(), item_.get(), bytes.data(),
                                            bytes.size(), on_item, this, e);
        });
    }
    /* The end of the input: the array must be complete. */
    result<void> try_finish() {
        return call([&](tamsel_error *e) {
            return tamsel_array_stream_finish(s_, &map_of<T>(), item_.get(), on_item, this, e);
        });
    }
#if TAMSEL_HPP_EXCEPTIONS
    void push(std::string_view bytes) {
        try_push(bytes).value();
    }
    void finish() {
        try_finish().value();
    }
#endif
    bool ok() const noexcept {
        return s_ != nullptr;
    }

  private:
    template <class Push> result<void> call(Push push) {
        if (!s_) return result<void>(e_);
        tamsel_error e;
        const tamsel_status st = push(&e);
        pending_.rethrow_if_any();
        if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return result<void>();
        return result<void>(detail::failed(st, e));
    }
    static tamsel_status on_item(void *user, void *item) {
        item_pusher *self = static_cast<item_pusher *>(user);
        return self->pending_.guard(TAMSEL_STATUS_CALLBACK_FAILED, [&] {
            return self->handler_(*static_cast<const T *>(item)) == 0
                       ? TAMSEL_STATUS_OK
                       : TAMSEL_STATUS_CALLBACK_FAILED;
        });
    }

    tamsel_error e_;
    record<T> item_;
    tamsel_array_stream *s_ = nullptr;
    std::function<int(const T &)> handler_;
    detail::pending_exception pending_;
};

} // namespace tamsel

#endif /* TAMSEL_HPP */

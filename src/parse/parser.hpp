// The push parser: a resumable state machine that reads JSON in runs of bytes of any length
// and keeps all its progress in one record between calls. Its only memory for structure is a
// fixed workspace given by its owner: frames of open containers from the bottom, the token
// being read above them, and duplicate-field bookkeeping of wide maps carved from the top.
//
// Two modes: mapped (a map and a destination: the root must be an object and values go into
// the record's fields) and any-root (no map: validation, and value capture into a holder).
//
// Files: parser.cpp (grammar: the per-byte step and the bulk driver), skim.cpp (the bulk run
// over values no map reaches), assign.cpp (storing
// values into fields, the parse budget), streamed.cpp (spooled fields, array-field streams,
// JSON value capture), numbers.cpp (integer and double conversion).
#pragma once

#include "core/internal.hpp"
#include "parse/item_cache.hpp"
#include "parse/key_set.hpp"
#include "parse/maps.hpp"
#include "text/utf8.hpp"

#include <cstring>

namespace tamsel::parse {

// The owner provides this many bytes; the parser uses them from the first 8-byte boundary.
// An owner that allows it (init_args::growable) lets the workspace move into a larger block
// from the parse allocator once frames or a token outgrow it.
inline constexpr size_t workspace_bytes = 4103;

enum class lex_state : uint8_t {
    between,
    string,
    number,
    literal_true,
    literal_false,
    literal_null
};

// Where the decoded bytes of the current string go.
enum class sink_mode : uint8_t {
    token,    // the token buffer: keys, and strings completed as whole tokens
    direct,   // straight into a STRING field
    streamed, // a spooled field or a string array stream element
    capture,  // a string inside a captured JSON value
    discard,  // validated and dropped: any-root strings, values of unknown keys
};

enum class frame_state : uint8_t {
    object_key = 1,   // a key, or '}'
    object_colon = 2, // ':' after a key
    object_value = 3, // the value of the current key
    object_next = 4,  // ',' or '}'
    array_value = 5,  // a value, or ']'
    array_next = 6,   // ',' or ']'
};

enum class token_type : uint8_t {
    string = 1,
    number = 2,
    true_value = 3,
    false_value = 4,
    null = 5
};

inline constexpr uint8_t frame_object = 1;
inline constexpr uint8_t frame_array = 2;

struct frame {
    uint8_t kind;
    frame_state state;
    uint8_t after_comma;
    uint8_t stream_item;           // an object that is an item of a mapped array stream
    uint32_t hint;                 // next-field hint for key lookup
    const tamsel_map *map;         // objects: the map of dst; NULL when skipping
    void *dst;                     // objects: the record; arrays: the record owning the field
    const tamsel_field *container; // arrays: the array field; objects: the field entered by
    const tamsel_field *current;   // objects: the field of the last key
    uint64_t seen;                 // maps of at most 64 fields
    uint32_t seen_offset;          // wider maps: offset of the seen bytes in the workspace
    uint32_t required_left;        // required fields not yet seen
};
static_assert(sizeof(frame) == 56);

struct direct_string {
    bool active = false;
    bool dynamic = false;
    bool staging_owned = false; // buf is a parse allocation to free at the end
    bool truncated = false;
    const tamsel_field *field = nullptr;
    char *buf = nullptr; // where bytes are written
    size_t written = 0;
    size_t capacity = 0;    // bytes of buf, NUL included
    char **slot = nullptr;  // dynamic: the field's pointer
    char *target = nullptr; // fixed through staging: the field's array
};

struct streamed_state {
    bool active = false;
    bool string_stream = false; // else a spooled field
    const tamsel_field *field = nullptr;
    void *target = nullptr;
    uint8_t quartet[4] = {};
    uint8_t quartet_len = 0;
    bool padding = false;
};

struct capture_state {
    tamsel_json_value *holder = nullptr;
    bool active = false;
    bool visitor = false;
    bool sink = false;         // the holder's parse sink, else its own buffer
    uint64_t depth = 0;        // containers open inside the captured value
    uint64_t string_bytes = 0; // decoded bytes of the current string or key
    uint64_t total = 0;        // bytes emitted (text) or counted (visitor)
    bool is_key = false;
    size_t data_capacity = 0; // capture buffer size
};

struct parser {
    // Workspace.
    unsigned char *base = nullptr;
    size_t capacity = 0;
    size_t book_top = 0; // bookkeeping is carved downward from here
    size_t depth = 0;
    // The workspace may grow: frames up to a non-zero max_depth and tokens of any length move
    // into a larger parse allocation (charged to the budget). `grown` is that block, if any.
    bool growable = false;
    unsigned char *grown = nullptr;

    bool heap = false;
    bool failed = false;
    bool any_root = false;
    bool root_started = false;
    bool root_complete = false;

    // Lexical state.
    lex_state lex = lex_state::between;
    sink_mode sink = sink_mode::token;
    bool token_is_key = false;
    bool escape_pending = false;
    uint8_t unicode_left = 0;
    uint16_t pending_high = 0;
    uint32_t unicode_acc = 0;
    // Strings and keys must be well-formed UTF-8 (the runtime's check, taken at init); the
    // sequence open in the current string, carried between pushes.
    bool utf8_check = false;
    scan::utf8_state utf8{};

    // Token buffer, in the workspace above the frames.
    unsigned char *token = nullptr;
    size_t token_len = 0;
    size_t token_cap = 0;
    bool token_live = false; // a token occupies the workspace above the frames

    direct_string direct;
    streamed_state streamed;
    capture_state capture;
    tamsel_json_value *root_holder = nullptr; // any-root capture target

    // Parse budget.
    uint64_t in_use = 0;
    bool may_allocate = false;
    uint64_t alloc_mask = 0;
    uint64_t serial = 0; // identifies this parse in the charge words of owned blocks

    struct required_entry {
        const tamsel_map *map;
        uint64_t mask;
    } required_cache[2] = {};

    const tamsel_map *map = nullptr;
    void *dst = nullptr;
    const tamsel_runtime_settings *settings = nullptr;
    const tamsel_runtime *runtime = nullptr;
    // Any-root mode: the objects and keys of the value go to this tracker (duplicate keys).
    // Keys inside a captured JSON value are not reported.
    key_tracker *keys = nullptr;
    // What an owner parsing item after item keeps between them (map plans, spare string
    // blocks); NULL for a parse that stands alone.
    item_cache *cache = nullptr;
    tamsel_parse_options options{};
    tamsel_allocator allocator{}; // resolved
    bool scratch_held = false;    // this parse owns the runtime's shared scratch
    // A truncation the parse reports as status 7 (TRUNCATE policy, or a callback's 7);
    // error.truncated is set for every truncation, silent ones included.
    bool report_truncated = false;

    tamsel_error error{};

    // ---- helpers used across the parser's files ---------------------------------------
    [[nodiscard]] frame &at(size_t i) { return reinterpret_cast<frame *>(base)[i]; }
    [[nodiscard]] frame &top() { return at(depth - 1); }
    [[nodiscard]] size_t frames_end() const { return depth * sizeof(frame); }
    // Records a failure at the current position and marks the parser failed.
    __attribute__((format(printf, 3, 4))) tamsel_status raise(tamsel_status code,
                                                              const char *format, ...);
    // The allocator for parse allocations (NULL = default).
    [[nodiscard]] const tamsel_allocator *alloc() const { return &allocator; }
};

// ---- life cycle (parser.cpp) -------------------------------------------------------------

struct init_args {
    const tamsel_map *map = nullptr;
    void *dst = nullptr;
    const tamsel_parse_options *options = nullptr; // NULL: defaults
    const tamsel_runtime_settings *settings = nullptr;
    const tamsel_runtime *runtime = nullptr;
    bool any_root = false;
    key_tracker *keys = nullptr;            // any-root mode only; the owner binds and resets it
    item_cache *cache = nullptr;            // the owner's, kept across its items (or NULL)
    const map_analysis *analysis = nullptr; // NULL: analysed here
    void *workspace = nullptr;              // workspace_bytes bytes
    // The workspace may grow beyond workspace_bytes (see parser::growable); the owner must
    // call parser_destroy, which frees the grown block.
    bool growable = false;
};

// Clears the record and sets it up; adopts the destination's existing allocations into the
// budget when init_destination is off. Returns the adoption's status.
[[nodiscard]] tamsel_status parser_init(parser &p, const init_args &args);
// parser_init for an owner that parses one document after another with one parser: `p` was set
// up by parser_init with the same options, settings, runtime, workspace and growth, and
// parser_destroy ran since. Resets only the per-document state (the options and allocator are
// kept as they are), so the next document costs what parser_init would without clearing the
// whole parser.
[[nodiscard]] tamsel_status parser_restart(parser &p, const init_args &args);
// parser_init the first time an owner that parses one document after another calls it
// (`set_up` false), parser_restart after; sets `set_up`.
[[nodiscard]] tamsel_status parser_start(parser &p, const init_args &args, bool &set_up);
// Feeds `len` bytes. With stop_after_root, stops before the first byte after a complete root
// value; a root number is complete at the first byte that cannot continue it, which is then
// left unconsumed. `*consumed` gets the bytes used (the failing byte included on error). Returns
// OK, TRUNCATED (parsed, something cut), or the failure.
[[nodiscard]] tamsel_status parser_feed(parser &p, const void *bytes, size_t len, size_t *consumed,
                                        bool stop_after_root);
// Ends the input: completes an open number and checks the document is complete.
[[nodiscard]] tamsel_status parser_finish(parser &p);
// Frees what the parse still holds (a grown workspace too), unwinds streams, ends a streamed
// value, pops frames.
void parser_destroy(parser &p);
// Resets half-filled mapped-array-stream items and clears the streams' active flags.
void unwind_mapped_streams(parser &p);
// Clears an error record an owner keeps from item to item (every member zero). A message is
// written from its first byte, so a record whose message is empty is clear but for its
// numbers.
inline void clear_kept_error(tamsel_error &e) {
    if (e.message[0]) {
        tamsel_error_init(&e);
        return;
    }
    e.code = TAMSEL_STATUS_OK;
    e.line = 0;
    e.column = 0;
    e.offset = 0;
    e.system_errno = 0;
    e.truncated = 0;
}
[[nodiscard]] inline bool parser_complete(const parser &p) {
    return p.lex == lex_state::between && p.depth == 0 && p.root_complete;
}

// Bytes a token may take in the workspace above the frames (one is kept spare).
[[nodiscard]] inline size_t token_space(const parser &p) {
    return p.book_top > p.frames_end() + 1 ? p.book_top - p.frames_end() - 1 : 0;
}

[[nodiscard]] inline bool frame_unmapped(const frame &f) {
    return !f.map && !f.container && !f.stream_item;
}
// A frame the skim runs in: one no map reaches, or any object (a mapped object's keys are
// looked up, its values of unknown keys skimmed and its plain mapped values stored; anything
// else is left to the general path).
[[nodiscard]] inline bool skimmable(const frame &f) {
    return frame_unmapped(f) || f.kind == frame_object;
}
[[nodiscard]] inline bool can_skim(const parser &p) {
    if (p.depth == 0 || p.capture.active || p.keys) return false;
    return skimmable(reinterpret_cast<const frame *>(p.base)[p.depth - 1]);
}
// The skim (skim.cpp): the run from q, between tokens, in a frame it runs in; returns where it
// stopped, the position moved on. When it leaves the parser failed (an allocation), the bytes
// up to the returned point count as consumed.
[[nodiscard]] const uint8_t *skim(parser &p, const uint8_t *q, const uint8_t *e);

// The field of object frame `f`'s map named by `key`: the hint first, then the map's plan when
// the parse has one, else the scan (find_field).
[[nodiscard]] inline const tamsel_field *lookup_key(parser &p, frame &f, const char *key,
                                                    size_t len) {
    if (p.cache)
        if (const map_plan *plan = p.cache->plans.of(f.map))
            return find_field_planned(*plan, &f.hint, key, len);
    return find_field(*f.map, &f.hint, key, len);
}
// The number of required fields of `map`.
[[nodiscard]] inline uint32_t required_fields(parser &p, const tamsel_map &map) {
    if (p.cache)
        if (const map_plan *plan = p.cache->plans.of(&map)) return plan->required_count;
    return required_count(map);
}

// Marks `field` of object frame `f` as given a value (duplicates, required count).
[[nodiscard]] tamsel_status mark_seen(parser &p, frame &f, const tamsel_field &field);
// Moves the innermost frame on after a completed value.
void after_value(parser &p);
// After a streamed or captured string: continues the grammar as for a completed string.
[[nodiscard]] tamsel_status complete_streamed_string(parser &p);

// ---- field assignment (assign.cpp) -------------------------------------------------------

[[nodiscard]] tamsel_status handle_scalar_for_field(parser &p, frame &f, const tamsel_field *field,
                                                    const unsigned char *token, size_t len,
                                                    token_type type);
[[nodiscard]] tamsel_status handle_array_scalar(parser &p, frame &f, const unsigned char *token,
                                                size_t len, token_type type);
[[nodiscard]] tamsel_status direct_begin(parser &p, frame &f, const tamsel_field &field);
// A whole string value for STRING field `field` of object frame `f`, its body [body, close)
// valid and in the input (`escaped`: it holds escapes): stored in one step when the field's
// limits and the budget take it, as the direct string would have ended (the same block size
// and charge, the same truncation). not_taken changes nothing, for the general path to read
// the string; failed is an allocation that failed (not recorded: the caller records it).
enum class whole_string { not_taken, stored, failed };
[[nodiscard]] whole_string store_whole_string(parser &p, const frame &f, const tamsel_field &field,
                                              const uint8_t *body, const uint8_t *close,
                                              bool escaped);
// store_whole_string for a dynamic STRING field whose body [body, close) holds escapes and is
// already decoded: its `n` bytes at `decoded` (outside the input, the record and the allocator's
// blocks) are copied into the block the escaped road would have filled, with the same spare,
// growth, cut, charge and results.
[[nodiscard]] whole_string store_decoded_string(parser &p, const frame &f,
                                                const tamsel_field &field, const uint8_t *body,
                                                const uint8_t *close, const unsigned char *decoded,
                                                size_t n);
[[nodiscard]] tamsel_status direct_append(parser &p, const unsigned char *bytes, size_t n);
[[nodiscard]] tamsel_status direct_finish(parser &p);
// Bytes the active direct string takes before its limit (dynamic maximum, or a fixed capacity
// that fails) stops it; SIZE_MAX when nothing stops it.
[[nodiscard]] size_t direct_room(const parser &p);
void direct_abandon(parser &p);
// Room for one more item of an object array; NULL with no error when the item is dropped.
[[nodiscard]] void *object_array_append_slot(parser &p, const tamsel_field &field,
                                             tamsel_object_array *array, tamsel_status *st);
void reset_present_array_field(parser &p, const tamsel_field &field, void *array);
// Brings a nested record back to its initial state for a new value.
void reset_map_parse(parser &p, const tamsel_map &map, void *record);
// The members of a valid `map` that may hold blocks once reset_map_parse has emptied the record:
// `adopt_mask` (the map's analysis) without the dynamic strings, which emptying leaves NULL.
[[nodiscard]] uint64_t reset_adopt_mask(const tamsel_map &map, uint64_t adopt_mask);
// reset_map_parse for a parse that has charged nothing yet (just initialised), adopting
// afterwards only the members in `mask` (reset_adopt_mask of the map).
void reset_fresh_map_parse(parser &p, const tamsel_map &map, void *record, uint64_t mask);
// Prepares the destination at parse start (init_destination on).
[[nodiscard]] tamsel_status init_map_parse(parser &p, const tamsel_map &map, void *record);
// Takes the destination's existing blocks into the budget (init_destination off).
[[nodiscard]] tamsel_status adopt_existing(parser &p, const tamsel_map &map, void *record,
                                           uint64_t mask);

// Parse-owned allocations, charged to the budget.
[[nodiscard]] void *owned_malloc_parse(parser &p, size_t n);
[[nodiscard]] void *owned_realloc_parse(parser &p, void *block, size_t n);
void owned_free_parse(parser &p, void *block);
[[nodiscard]] bool budget_allows(const parser &p, uint64_t more);
[[nodiscard]] uint64_t budget_charged_here(const parser &p, const void *block);
[[nodiscard]] tamsel_status adopt_block(parser &p, void *block);

// ---- numbers (numbers.cpp) --------------------------------------------------------------

[[nodiscard]] bool parse_i64(const unsigned char *token, size_t len, int64_t *out);
[[nodiscard]] bool parse_u64(const unsigned char *token, size_t len, uint64_t *out);
[[nodiscard]] bool parse_f64(const unsigned char *token, size_t len, double *out);

// ---- streamed values and capture (streamed.cpp) ------------------------------------------

[[nodiscard]] tamsel_status stream_value_begin(parser &p, const tamsel_field &field, void *target,
                                               bool string_stream);
// `as_written`: the bytes stand in the input as given, the last one at the current position
// (a run or one byte, not a decoded escape), so a failure can point at the offending byte.
[[nodiscard]] tamsel_status stream_value_append(parser &p, const unsigned char *bytes, size_t n,
                                                bool as_written);
// Decoded bytes the active spooled text field takes before its max_bytes; SIZE_MAX otherwise.
[[nodiscard]] size_t stream_value_room(const parser &p);
[[nodiscard]] tamsel_status stream_value_finish(parser &p);
void stream_value_abandon(parser &p);
[[nodiscard]] tamsel_status mapped_stream_require_handler(parser &p, const tamsel_field &field,
                                                          tamsel_mapped_array_stream *s);
[[nodiscard]] tamsel_status mapped_stream_finish_item(parser &p);
// Starts capturing into `holder` (a JSON_VALUE field's, or the root holder).
[[nodiscard]] tamsel_status capture_begin(parser &p, tamsel_json_value *holder);
void capture_end(parser &p);
void capture_clear(parser &p);
[[nodiscard]] tamsel_status capture_emit(parser &p, const char *text, size_t n);
// Bytes of a plain string run (taken as written, one output byte each) the capture takes before
// its string, total or budget limit stops it; SIZE_MAX when none can.
[[nodiscard]] size_t capture_room(const parser &p);
[[nodiscard]] tamsel_status capture_container(parser &p, bool object, bool open);
[[nodiscard]] tamsel_status capture_string_begin(parser &p, bool key);
[[nodiscard]] tamsel_status capture_string_chunk(parser &p, const unsigned char *bytes, size_t n);
[[nodiscard]] tamsel_status capture_string_end(parser &p);
[[nodiscard]] tamsel_status capture_scalar(parser &p, const unsigned char *token, size_t len,
                                           token_type type);
// A whole scalar value for a JSON_VALUE field: prepare, deliver, clear.
[[nodiscard]] tamsel_status assign_json_scalar(parser &p, tamsel_json_value *holder,
                                               const unsigned char *token, size_t len,
                                               token_type type);

// Calls a caller callback with a scratch error record seeded with the parse position; a
// failing result's code, message and errno go into the parser's record.
template <class F> tamsel_status call_out(parser &p, F &&f) {
    tamsel_error scratch{};
    scratch.offset = p.error.offset;
    scratch.line = p.error.line;
    scratch.column = p.error.column;
    tamsel_status st = f(&scratch);
    if (st == TAMSEL_STATUS_TRUNCATED) p.report_truncated = true;
    if (st == TAMSEL_STATUS_TRUNCATED || scratch.truncated) p.error.truncated = 1;
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
        p.error.code = st;
        p.error.system_errno = scratch.system_errno;
        std::memcpy(p.error.message, scratch.message, sizeof p.error.message);
        p.error.message[sizeof p.error.message - 1] = '\0';
        p.failed = true;
    }
    return st;
}

} // namespace tamsel::parse

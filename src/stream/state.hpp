// The array stream's private state, shared by the files of this folder only.
//
// One block holds everything: the input and its window, the position counters, the outer
// state machine (root object, selected member, array, items), the root keys, the embedded item
// parser with its workspace and duplicate-key tracker, the item buffers, a settings snapshot,
// and last the public part the caller's handle points at.
//
// The path is a list of levels, one per segment: the container at level d (the root for d = 0)
// is on the path, and its member (or element) named by segment d is the next level's container,
// or the selected array after the last segment. Containers off the path are skipped as items.
//
// Outer states (the bytes around the items):
//   start          '[' (no path) -> array; else the root enters level 0  -> key / element
//   key            '"' -> key_string; '}' (no comma before)           -> level closes
//   key_string     the key, decoded                                   -> colon
//   colon          ':'                                                -> member_value
//   member_value   the matching member: the next level or the selected array; else its value
//                  is skipped (item)                                  -> after_member
//   after_member   ',' -> key; '}'                                    -> level closes
//   element        in an on-path array: ']' (first only) -> level closes; the matching
//                  element: the next level or the selected array; else skipped (item)
//   after_element  ',' -> element; ']'                                -> level closes
//   array          ']' (first only) -> the level's after state; else an item starts (item)
//   item           the item parser consumes the item                  -> after_item
//   after_item     ',' or ']' seen and left in place: the item is delivered -> delim
//   delim          ',' -> array; ']'                                  -> after_member / element
//                                                                        / end_root
//   end_root       only whitespace until the end of the input
// A level that closes returns to its parent's after state; the root closing ends the path walk
// (end_root, or "selected array field was not found" when the array never came).
#pragma once

#include "io/internal.hpp"
#include "parse/parser.hpp"
#include "stream/internal.hpp"
#include "text/selector.hpp"

namespace tamsel::stream {

// Bytes a reader callback is asked for; a FILE* or descriptor fills the larger window of
// io::stream_read_size bytes.
inline constexpr size_t window_size = 1024;

enum class outer : uint8_t {
    start,
    key,
    key_string,
    colon,
    member_value,
    after_member,
    element,
    after_element,
    array,
    item,
    after_item,
    delim,
    end_root,
};

enum class life : uint8_t { active, done, failed };

enum class item_type : uint8_t { none, mapped, value, string, string_items, raw, skip };

// What the caller asked for: the item type and its destination.
struct request {
    item_type type = item_type::none;
    const tamsel_map *map = nullptr;
    void *dst = nullptr;
    tamsel_json_value *value = nullptr;
    raw_piece_fn piece = nullptr;
    void *piece_user = nullptr;
};

struct block {
    // Input.
    input_kind kind = input_kind::push;
    tamsel_reader reader = nullptr;
    void *reader_user = nullptr;
    FILE *file = nullptr;
    int fd = -1;
    bool owns_file = false;
    bool owns_fd = false;
    bool input_ended = false; // the input reported its end (reader, FILE*, descriptor, memory)
    bool final_input = false; // push: the finish calls set it
    const unsigned char *win = nullptr; // the window: `window`, pushed bytes, or the range
    size_t pos = 0, end = 0;
    // Bytes the item parser may be given from `pos`: `end`, except in place, where the window
    // is a chunk of the buffer reader's bytes and the parser sees the rest of them too.
    size_t avail = 0;
    io::in_place_reads in_place;
    unsigned char *window = nullptr; // the stream's own window_cap bytes, after the block
    size_t window_cap = 0;
    size_t block_bytes = 0; // the block with its window, as allocated

    // Position of the next byte: offset from the start, line from 1, column (bytes since the
    // last line feed).
    size_t offset = 0, line = 1, column = 0;

    // Path: the segments (owned by `path` for a one-member path, else by `selector`) and one
    // level per segment.
    struct level {
        const char *name = nullptr; // the segment (NUL-terminated)
        size_t len = 0;
        uint64_t index = 0;       // the element index it names, when names_index
        bool names_index = false; // canonical decimal: also matches an array element
        bool in_array = false;    // this level's container is an array
        uint64_t element = 0;     // arrays: elements begun so far
    };
    char *path = nullptr;
    text::selector selector;
    level *levels = nullptr;
    size_t level_count = 0;
    size_t depth = 0;   // on-path containers open: levels[0, depth)
    size_t reached = 0; // the most on-path containers ever open at once

    // Outer state.
    outer state = outer::start;
    life status = life::active;
    bool root_is_array = false; // for the messages about data after the root
    bool first_element = false; // the selected array has no item yet
    bool after_comma = false;   // in the root object: a ',' came just before
    bool selected_seen = false;
    bool key_selected = false;

    // Root key decoding.
    io::byte_buffer key;
    size_t key_limit = io::byte_buffer_no_limit;
    bool key_escape = false;
    uint8_t key_hex_left = 0;
    uint32_t key_hex = 0;
    uint16_t key_high = 0;        // a high surrogate waiting for its low half
    parse::key_tracker path_keys; // the keys of the open on-path objects
    uint64_t path_keys_bytes = 0; // their budget charge
    scan::utf8_state key_utf8{};  // the UTF-8 sequence open in the key (settings.checks_utf8())

    // The item.
    request pending{};          // type none: no item pending
    bool parser_live = false;   // the item parser holds an item
    bool parser_set_up = false; // the item parser was set up once (later items restart it)
    bool item_complete = false; // parsed; waiting for its delimiter
    parse::map_identity map{};  // the item map `analysis` and the cache's plans are of
    parse::map_analysis analysis{};
    void *last_initialised = nullptr;
    parse::item_cache cache; // the item map's plans and the record's spare strings
    parse::parser p;
    alignas(8) unsigned char workspace[parse::workspace_bytes];
    parse::key_tracker tracker;
    io::byte_buffer text; // value items: the item's compact text
    size_t text_limit = io::byte_buffer_no_limit;
    bool in_string = false; // compacting: inside a string of the item
    bool escaped = false;   // compacting: the next byte follows a backslash
    // The text outgrew its limit at `over_at`; the failure waits while a number token that
    // holds that byte may still prove invalid there (the parser's error then comes first).
    bool over = false;
    io::input_position over_at{};

    // String pushes.
    tamsel_json_value string_holder;
    tamsel_value_visitor string_visitor{};
    const tamsel_string_chunk_handler *handler = nullptr;
    void *handler_user = nullptr;
    bool string_seen = false;
    tamsel_array_string_item_callback item_callback = nullptr;
    void *item_user = nullptr;
    io::byte_buffer string_item;
    size_t string_limit = 0;
    tamsel_string_chunk_handler items_handler{}; // the built-in handler of string items

    bool truncated_sticky = false;
    bool has_runtime = false; // opened from a runtime's settings (not the defaults)
    // A next, push or finish and the callbacks it makes (items, strings, readers, holders'
    // visitors): a close they make stops the call.
    running_call call;

    tamsel_runtime_settings settings{};
    tamsel_parse_options options{};
    tamsel_allocator allocator{}; // resolved; the block's own and everything it allocates
    tamsel_allocator options_allocator{};

    tamsel_array_stream pub{};
};

[[nodiscard]] inline block *block_of(tamsel_array_stream *s) {
    return reinterpret_cast<block *>(reinterpret_cast<unsigned char *>(s) - offsetof(block, pub));
}

// Whether `map` has a valid field layout. A cached map (cache_self) the stream analysed for its
// last item, unchanged since, is known valid: an item or a piece then costs no analysis.
[[nodiscard]] inline bool map_layout_valid(const block &b, const tamsel_map *map) {
    if (map->cache_self == map && b.analysis.valid && b.map == parse::map_identity::of(map))
        return true;
    return parse::analyze_map(map).valid;
}

// ---- input (input.cpp) --------------------------------------------------------------------

enum class fill { byte, eof, would_block, error };

// Makes sure a byte is in the window, refilling it from the input when it is empty.
[[nodiscard]] fill ensure(block &b);
// In place, the item parser took bytes past the window's end (`pos` > `end`): the chunks
// holding them are handed out as reads would have handed them out.
void consumed_in_place(block &b);
// Skips whitespace in the window, counting lines; true when a byte other than whitespace is
// next, false when the window ran out.
[[nodiscard]] bool skip_whitespace_run(block &b);
// The usual case, a byte other than whitespace next, without the call.
[[nodiscard]] inline bool skip_whitespace(block &b) {
    return (b.pos < b.end && b.win[b.pos] > ' ') || skip_whitespace_run(b);
}
// Takes the next byte and counts it.
inline uint8_t take(block &b) {
    const uint8_t c = b.win[b.pos++];
    ++b.offset;
    if (c == '\n') {
        ++b.line;
        b.column = 0;
    } else {
        ++b.column;
    }
    return c;
}
// Records a failure at the current position, fails the stream, returns ERROR.
__attribute__((format(printf, 3, 4))) tamsel_stream_result raise(block &b, tamsel_status code,
                                                                 const char *format, ...);
// Fails the stream with `e`'s code and message at the current position (a callee's failure).
tamsel_stream_result raise_from(block &b, tamsel_status code, const tamsel_error &e,
                                const char *fallback);
// Copies the stream's error record to `error` (may be NULL) and returns `r`.
tamsel_stream_result finish_with(block &b, tamsel_stream_result r, tamsel_error *error);

// True, with status 1 in `error`, when a call comes from one of the stream's own callbacks
// (the stream is left as it is).
[[nodiscard]] inline bool called_back(const block &b, tamsel_error *error) {
    return b.call.refuses(error, "array stream called from its own callback");
}
// Runs `body` as the stream's running call; a close made by one of its callbacks takes effect
// once it has returned.
template <class Body> auto as_call(tamsel_array_stream *stream, Body body) {
    return block_of(stream)->call.run(body, [stream] { tamsel_array_stream_close(stream); });
}

// ---- the state machine (machine.cpp) ------------------------------------------------------

// Runs the outer state machine until an item of `r.type` is ready, the stream ends, needs
// input or fails. A pending item of another type or destination fails the stream.
[[nodiscard]] tamsel_stream_result step(block &b, const request &r);
// Ends an item parse (whatever state it is in) and forgets the pending item.
void drop_item(block &b);

// ---- pushes (push.cpp) --------------------------------------------------------------------

// The visitor of string items: installed once at open.
void install_string_visitor(block &b);

} // namespace tamsel::stream

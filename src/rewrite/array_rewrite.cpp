// The array rewrite: the document re-emitted as compact JSON, with the items of the selected
// arrays captured one at a time and handed to the caller, who keeps, drops, replaces or inserts
// items, and may append items when a selected array closes.
//
// A driven walk: containers are visited (a selector segment may match at any depth below the
// one before), and every scalar and every item of a selected array is copied compactly by the
// span engine, straight from the input, into the sink or the captured item (without an item
// callback an item goes straight to the sink). Frames: at most 64 open containers (the
// containers inside items included: the span engine holds them to the same bound), each with
// the selector segment its members are matched against. A matching member of the last segment
// is a selected array; of a fanout segment (`name[]`), an array whose element objects match the
// next segment and may start a parent parse, which is fed every byte emitted from the object's
// `{` on. All sink output passes through one 4 KiB staging buffer, flushed when full, at the
// end and before any failure returns, so a failing rewrite leaves a prefix of the document
// written.
#include "io/output.hpp"
#include "parse/key_set.hpp"
#include "parse/maps.hpp"
#include "parse/parser.hpp"
#include "rewrite/internal.hpp"
#include "serialize/internal.hpp"
#include "text/internal.hpp"
#include "visit/json_value.hpp"

#include <cstring>
#include <new>

namespace tamsel::rewrite {
namespace {

constexpr size_t max_segments = 16;
constexpr size_t max_frames = 64;
constexpr size_t max_parents = 16;

struct segment {
    const char *name;
    size_t len;
    bool fanout;
};

tamsel_status invalid(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

// Splits `selector` at dots into at most 16 segments; `name[]` is a fanout.
tamsel_status parse_selector(const char *selector, segment *out, size_t *count,
                             tamsel_error *error) {
    *count = 0;
    if (!selector || !*selector) return TAMSEL_STATUS_OK;
    const char *p = selector;
    for (;;) {
        const char *dot = std::strchr(p, '.');
        const size_t len = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
        if (len == 0) return invalid(error, "array rewrite selector contains empty segment");
        if (*count == max_segments)
            return fail(error, TAMSEL_STATUS_OVERFLOW, "array rewrite selector is too deep");
        segment s{p, len, false};
        if (len >= 2 && p[len - 2] == '[' && p[len - 1] == ']') {
            if (len == 2)
                return invalid(error, "array rewrite selector contains empty fanout segment");
            s.len = len - 2;
            s.fanout = true;
        }
        out[(*count)++] = s;
        if (!dot) break;
        p = dot + 1;
    }
    if (out[*count - 1].fanout)
        return invalid(error, "array rewrite selector must end at an array field, not a fanout");
    return TAMSEL_STATUS_OK;
}

struct frame {
    bool object;
    bool target; // a selected array
    bool fanout; // its element objects match `segment` and may start parents
    uint8_t segment;
    uint8_t fanout_segment; // the fanout segment that opened it
    int parent_slot;        // the parent parse this object started, or -1
    uint64_t count;         // members or items emitted (input items for a selected array)
    uint64_t written;       // items written into a selected array
};

// One active parent parse: the parser and its workspace in one block.
struct parent_parse {
    parse::parser p;
    alignas(8) unsigned char workspace[parse::workspace_bytes];
    const tamsel_array_rewrite_parent *entry = nullptr;
};

// The duplicate check inside copied values: the key sets themselves.
class tracker_watch final : public visit::key_watch {
  public:
    explicit tracker_watch(parse::key_tracker &tracker) : t_(tracker) {}
    tamsel_status object_begin(tamsel_error *e) override { return t_.object_begin(e); }
    void object_end() override { t_.object_end(); }
    tamsel_status key(const void *b, size_t n, tamsel_error *e) override { return t_.key(b, n, e); }
    tamsel_status key_begin(tamsel_error *e) override { return t_.key_begin(e); }
    tamsel_status key_chunk(const void *b, size_t n, tamsel_error *e) override {
        return t_.key_chunk(b, n, e);
    }
    tamsel_status key_end(tamsel_error *e) override { return t_.key_end(e); }

  private:
    parse::key_tracker &t_;
};

class array_rewriter final : public visit::walk_driver {
  public:
    array_rewriter(tamsel_runtime *runtime, const tamsel_runtime_settings &settings,
                   const tamsel_array_rewrite_options &options, const char *selector,
                   const segment *segments, size_t segment_count, const tamsel_allocator &allocator,
                   tamsel_sink sink, void *sink_user, tamsel_error *error)
        : rt_(runtime), settings_(settings), o_(options), segs_(segments),
          seg_count_(segment_count), a_(allocator), out_(sink, sink_user, error),
          tee_(*this, error), watch_(keys_) {
        ctx_.selector = selector ? selector : "";
        ctx_.parents = options.parents;
        ctx_.parent_count = options.parent_count;
        dedupe_ = settings.parse_options.reject_duplicates != 0;
        if (dedupe_) {
            keys_.bind(allocator);
            keys_.set_budget(parse::budget_ref{settings.parse_options.max_parse_bytes, &held_});
        }
        copy.out = &tee_;
        copy.keys = dedupe_ ? &watch_ : nullptr;
        copy.frame_limit = max_frames;
        copy.frame_message = "array rewrite nesting exceeds limit";
    }
    ~array_rewriter() {
        for (size_t i = 0; i < max_parents; ++i)
            end_parent(static_cast<int>(i));
        if (item_parsed_) tamsel_cleanup(o_.item_map, o_.item_dst);
        io::byte_buffer_free(key_, a_);
        io::byte_buffer_free(item_, a_);
    }
    array_rewriter(const array_rewriter &) = delete;
    array_rewriter &operator=(const array_rewriter &) = delete;

    tamsel_status value_start(int first, visit::route *how, tamsel_error *error) override;
    // A copied value has ended: a captured item is complete.
    tamsel_status value_end(tamsel_error *error) override {
        return capturing_ ? finish_item(error) : TAMSEL_STATUS_OK;
    }

    static const tamsel_value_visitor table;
    [[nodiscard]] bool selected_seen() const { return selected_seen_; }
    [[nodiscard]] bool truncated() const { return truncated_; }
    // Hands the staged bytes to the sink: OK, TRUNCATED when the sink truncated anything, or
    // the sink's failure.
    [[nodiscard]] tamsel_status flush() {
        TAMSEL_TRY(out_.flush());
        return out_.result();
    }

  private:
    // Copied text: emitted as the rewrite's own (to the parents, then the item or the sink).
    class copy_output final : public io::byte_output {
      public:
        copy_output(array_rewriter &r, tamsel_error *error) : r_(r), error_(error) {}

      private:
        tamsel_status overflow(const void *data, size_t n) override {
            return r_.emit(data, n, error_);
        }
        array_rewriter &r_;
        tamsel_error *error_;
    };

    static array_rewriter &self(void *u) { return *static_cast<array_rewriter *>(u); }

    [[nodiscard]] tamsel_status note(tamsel_status st) {
        if (st == TAMSEL_STATUS_TRUNCATED) {
            truncated_ = true;
            return TAMSEL_STATUS_OK;
        }
        return st;
    }
    // Bytes of the document: to every parent parse, then to the item or the sink.
    [[nodiscard]] tamsel_status emit(const void *bytes, size_t len, tamsel_error *error);
    [[nodiscard]] tamsel_status emit(char c, tamsel_error *error) { return emit(&c, 1, error); }
    [[nodiscard]] tamsel_status emit_escaped(const char *bytes, size_t len, tamsel_error *error);
    [[nodiscard]] tamsel_status feed_parents(const void *bytes, size_t len, tamsel_error *error);
    // Output of actions and the array-end callback: straight to the sink.
    [[nodiscard]] tamsel_status direct(const void *bytes, size_t len) {
        return note(out_.put(bytes, len));
    }
    [[nodiscard]] tamsel_status value_begin(bool container, bool is_array, tamsel_error *error);
    // Where the copy about to start goes: with no parent parse to feed and no item to capture,
    // straight into the staging buffer (emit would only put it there), else through emit.
    void route_copy() {
        copy.out = active_parents_ || capturing_ ? static_cast<io::byte_output *>(&tee_) : &out_;
    }
    [[nodiscard]] tamsel_status push(const frame &f, tamsel_error *error);
    [[nodiscard]] tamsel_status finish_item(tamsel_error *error);
    [[nodiscard]] tamsel_status run_action(const tamsel_array_rewrite_action &action,
                                           tamsel_error *error);
    [[nodiscard]] tamsel_status write_input_item(tamsel_error *error);
    [[nodiscard]] tamsel_status write_source(const tamsel_rewrite_source &s, tamsel_error *error);
    [[nodiscard]] tamsel_status start_parent(frame &f, const frame &fanout, tamsel_error *error);
    [[nodiscard]] tamsel_status close_parent(int slot, tamsel_error *error);
    void end_parent(int slot);
    static tamsel_status emit_item(void *handle, const tamsel_rewrite_source *s,
                                   tamsel_error *error);

    static tamsel_status on_object_begin(void *u, tamsel_error *e);
    static tamsel_status on_object_end(void *u, tamsel_error *e);
    static tamsel_status on_array_begin(void *u, tamsel_error *e);
    static tamsel_status on_array_end(void *u, tamsel_error *e);
    static tamsel_status on_key_begin(void *u, tamsel_error *e);
    static tamsel_status on_key_chunk(void *u, const char *b, size_t n, tamsel_error *e);
    static tamsel_status on_key_end(void *u, tamsel_error *e);

    tamsel_runtime *rt_;
    const tamsel_runtime_settings &settings_;
    const tamsel_array_rewrite_options &o_;
    const segment *segs_;
    size_t seg_count_;
    tamsel_allocator a_;
    io::buffered_sink out_;
    copy_output tee_;
    tamsel_array_rewrite_context ctx_{};
    frame frames_[max_frames];
    size_t depth_ = 0;
    io::byte_buffer key_;  // the pending key, emitted when its value begins
    io::byte_buffer item_; // the captured item's compact text
    bool capturing_ = false;
    bool item_parsed_ = false;
    bool selected_seen_ = false;
    bool truncated_ = false;
    bool dedupe_ = false;
    uint64_t held_ = 0;
    parse::key_tracker keys_;
    tracker_watch watch_;
    parent_parse *parents_[max_parents] = {};
    size_t active_parents_ = 0;
};

tamsel_status array_rewriter::feed_parents(const void *bytes, size_t len, tamsel_error *error) {
    if (!active_parents_) return TAMSEL_STATUS_OK;
    for (parent_parse *pp : parents_) {
        if (!pp) continue;
        size_t consumed = 0;
        tamsel_status st = parse::parser_feed(pp->p, bytes, len, &consumed, false);
        if (st == TAMSEL_STATUS_TRUNCATED) {
            truncated_ = true;
        } else if (st != TAMSEL_STATUS_OK) {
            if (error) *error = pp->p.error;
            return st;
        }
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status array_rewriter::emit(const void *bytes, size_t len, tamsel_error *error) {
    TAMSEL_TRY(feed_parents(bytes, len, error));
    if (capturing_) {
        tamsel_status st = io::byte_append(item_, bytes, len, io::byte_buffer_no_limit, a_, error);
        if (st == TAMSEL_STATUS_ALLOCATION_FAILED)
            return fail(error, st, "failed to allocate array rewrite item");
        return st;
    }
    return note(out_.put(bytes, len));
}

tamsel_status array_rewriter::emit_escaped(const char *bytes, size_t len, tamsel_error *error) {
    const auto *p = reinterpret_cast<const uint8_t *>(bytes);
    const uint8_t *e = p + len;
    while (p < e) {
        const uint8_t *q = text::find_escape(p, e);
        if (q > p) TAMSEL_TRY(emit(p, static_cast<size_t>(q - p), error));
        if (q == e) break;
        char seq[6];
        TAMSEL_TRY(emit(seq, text::escape_sequence(*q, seq), error));
        p = q + 1;
    }
    return TAMSEL_STATUS_OK;
}

tamsel_status array_rewriter::push(const frame &f, tamsel_error *error) {
    if (depth_ == max_frames)
        return fail(error, TAMSEL_STATUS_OVERFLOW, "array rewrite nesting exceeds limit");
    frames_[depth_++] = f;
    return TAMSEL_STATUS_OK;
}

// Routes a value: an item of a selected array is copied whole (captured, or straight to the
// sink when there is no item callback); a scalar is placed and copied; a container is visited,
// and placed by its begin event (after the walk's depth check, as every container).
tamsel_status array_rewriter::value_start(int first, visit::route *how, tamsel_error *error) {
    *how = visit::route::copy;
    frame *top = depth_ ? &frames_[depth_ - 1] : nullptr;
    if (top && top->target) {
        // A new item: parents see the input's comma, then the item.
        if (top->count++) TAMSEL_TRY(feed_parents(",", 1, error));
        if (!o_.item_callback) {
            route_copy();
            return top->written++ ? direct(",", 1) : TAMSEL_STATUS_OK;
        }
        capturing_ = true;
        io::byte_clear(item_);
        route_copy();
        return TAMSEL_STATUS_OK;
    }
    if (first == '{' || first == '[') {
        *how = visit::route::visit;
        return TAMSEL_STATUS_OK;
    }
    route_copy();
    return value_begin(false, false, error);
}

// Everything due before a value outside the items: the separator and key, matching the
// selector, and the frame of a container (pushed here; its bracket is the caller's).
tamsel_status array_rewriter::value_begin(bool container, bool is_array, tamsel_error *error) {
    frame *top = depth_ ? &frames_[depth_ - 1] : nullptr;
    frame child{!is_array, false, false, 0, 0, -1, 0, 0};
    if (top && !top->object) {
        if (top->count++) TAMSEL_TRY(emit(',', error));
    } else if (top) {
        if (top->count++) TAMSEL_TRY(emit(',', error));
        TAMSEL_TRY(emit('"', error));
        TAMSEL_TRY(emit_escaped(key_.data ? key_.data : "", key_.length, error));
        TAMSEL_TRY(emit("\":", 2, error));
    }
    if (!top) {
        if (seg_count_ == 0) {
            if (is_array) {
                child.target = true;
                selected_seen_ = true;
            }
        }
        if (!container) return TAMSEL_STATUS_OK;
        return push(child, error);
    }
    child.segment = top->segment;
    if (top->object && top->segment < seg_count_) {
        const segment &s = segs_[top->segment];
        if (key_.length == s.len && std::memcmp(key_.data ? key_.data : "", s.name, s.len) == 0) {
            const bool last = top->segment + 1u == seg_count_;
            if (last || s.fanout) {
                if (!is_array)
                    return fail(error, TAMSEL_STATUS_TYPE_MISMATCH,
                                "selected array path matched a non-array value");
                if (last) {
                    child.target = true;
                    selected_seen_ = true;
                } else {
                    child.fanout = true;
                    child.fanout_segment = top->segment;
                }
            }
            child.segment = static_cast<uint8_t>(top->segment + 1);
        }
    }
    if (!container) return TAMSEL_STATUS_OK;
    TAMSEL_TRY(push(child, error));
    if (top->fanout && !is_array) TAMSEL_TRY(start_parent(frames_[depth_ - 1], *top, error));
    return TAMSEL_STATUS_OK;
}

// Starts the parent parse of an element object of fanout array `fanout`, when a parent entry
// answers to its segment: the k-th fanout segment of a name takes the k-th entry of that name.
tamsel_status array_rewriter::start_parent(frame &f, const frame &fanout, tamsel_error *error) {
    if (!o_.parents) return TAMSEL_STATUS_OK;
    const segment &s = segs_[fanout.fanout_segment];
    size_t k = 0;
    for (size_t i = 0; i < fanout.fanout_segment; ++i)
        if (segs_[i].fanout && segs_[i].len == s.len &&
            std::memcmp(segs_[i].name, s.name, s.len) == 0)
            ++k;
    const tamsel_array_rewrite_parent *entry = nullptr;
    for (size_t i = 0; i < o_.parent_count && !entry; ++i) {
        const char *n = o_.parents[i].name;
        if (n && std::strlen(n) == s.len && std::memcmp(n, s.name, s.len) == 0 && k-- == 0)
            entry = &o_.parents[i];
    }
    if (!entry) return TAMSEL_STATUS_OK;
    if (!entry->map || !entry->dst)
        return invalid(error, "array rewrite parent map and destination are required");
    size_t slot = 0;
    while (slot < max_parents && parents_[slot])
        ++slot;
    if (slot == max_parents)
        return fail(error, TAMSEL_STATUS_OVERFLOW, "too many active array rewrite parent contexts");
    void *raw = owned_alloc(&a_, sizeof(parent_parse));
    if (!raw)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate parent rewrite parser");
    auto *pp = new (raw) parent_parse();
    pp->entry = entry;
    parents_[slot] = pp;
    ++active_parents_;
    f.parent_slot = static_cast<int>(slot);
    parse::init_args args;
    args.map = entry->map;
    args.dst = entry->dst;
    args.options = &settings_.parse_options;
    args.settings = &settings_;
    args.runtime = rt_;
    args.workspace = pp->workspace;
    tamsel_status st = parse::parser_init(pp->p, args);
    if (st == TAMSEL_STATUS_OK) st = parse::init_map_parse(pp->p, *entry->map, entry->dst);
    if (st != TAMSEL_STATUS_OK && error) *error = pp->p.error;
    return st;
}

void array_rewriter::end_parent(int slot) {
    parent_parse *pp = parents_[slot];
    if (!pp) return;
    parse::unwind_mapped_streams(pp->p);
    parse::parser_destroy(pp->p);
    tamsel_cleanup(pp->entry->map, pp->entry->dst);
    pp->~parent_parse();
    owned_free(pp);
    parents_[slot] = nullptr;
    --active_parents_;
}

tamsel_status array_rewriter::close_parent(int slot, tamsel_error *error) {
    if (slot < 0 || slot >= static_cast<int>(max_parents) || !parents_[slot])
        return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "array rewrite parent runtime mismatch");
    parent_parse *pp = parents_[slot];
    tamsel_status st = parse::parser_finish(pp->p);
    if (st == TAMSEL_STATUS_TRUNCATED) {
        truncated_ = true;
        st = TAMSEL_STATUS_OK;
    }
    if (st != TAMSEL_STATUS_OK && error) *error = pp->p.error;
    end_parent(slot);
    return st;
}

tamsel_status array_rewriter::write_input_item(tamsel_error *error) {
    frame &f = frames_[depth_ - 1];
    (void)error;
    if (f.written++) TAMSEL_TRY(direct(",", 1));
    return direct(item_.data, item_.length);
}

tamsel_status array_rewriter::write_source(const tamsel_rewrite_source &s, tamsel_error *error) {
    const bool record = !s.value && s.map && s.record;
    const bool holder = s.value && !s.map && !s.record && tamsel_json_value_is_rewindable(s.value);
    if (!record && !holder) return invalid(error, "rewrite item source is invalid");
    if (record && !parse::analyze_map(s.map).valid) return invalid(error, "invalid map layout");
    frame &f = frames_[depth_ - 1];
    if (f.written++) TAMSEL_TRY(direct(",", 1));
    if (record) return note(serialize::write_record(*s.map, s.record, out_, error, false));
    return note(tamsel_json_value_write_to_sink(
        s.value,
        [](void *u, const void *d, size_t n, tamsel_error *) {
            return static_cast<io::buffered_sink *>(u)->put(d, n);
        },
        &out_, error));
}

tamsel_status array_rewriter::run_action(const tamsel_array_rewrite_action &a,
                                         tamsel_error *error) {
    switch (a.action) {
    case TAMSEL_REWRITE_KEEP:
        return write_input_item(error);
    case TAMSEL_REWRITE_DROP:
        return TAMSEL_STATUS_OK;
    case TAMSEL_REWRITE_REPLACE:
        return write_source(a.replacement, error);
    case TAMSEL_REWRITE_INSERT_BEFORE:
        TAMSEL_TRY(write_source(a.insert, error));
        return write_input_item(error);
    case TAMSEL_REWRITE_INSERT_AFTER:
        TAMSEL_TRY(write_input_item(error));
        return write_source(a.insert, error);
    case TAMSEL_REWRITE_REPLACE_AND_INSERT:
        TAMSEL_TRY(write_source(a.replacement, error));
        return write_source(a.insert, error);
    default:
        return invalid(error, "invalid array rewrite action");
    }
}

tamsel_status array_rewriter::finish_item(tamsel_error *error) {
    capturing_ = false;
    if (!o_.item_callback) return write_input_item(error);
    const void *item;
    if (o_.item_map) {
        item_parsed_ = true;
        TAMSEL_TRY(note(
            tamsel_parse_buffer(rt_, o_.item_map, o_.item_dst, item_.data, item_.length, error)));
        item = o_.item_dst;
    } else {
        // The captured text is compact and checked already: stored as set_buffer stores it.
        tamsel_json_value_cleanup(o_.item_value);
        TAMSEL_TRY(visit::json_value_store_compact(o_.item_value, item_.data, item_.length, error));
        item = o_.item_value;
    }
    tamsel_array_rewrite_action action{};
    tamsel_status st = o_.item_callback(o_.user, &ctx_, item, &action, error);
    if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
        if (error && error->code == 0) fail(error, st, "array rewrite item callback failed");
        return st;
    }
    TAMSEL_TRY(note(st));
    st = run_action(action, error);
    if (o_.item_map) {
        tamsel_cleanup(o_.item_map, o_.item_dst);
        item_parsed_ = false;
    }
    return st;
}

tamsel_status array_rewriter::emit_item(void *handle, const tamsel_rewrite_source *s,
                                        tamsel_error *error) {
    auto &r = *static_cast<array_rewriter *>(handle);
    if (!s) return invalid(error, "rewrite item source is invalid");
    return r.write_source(*s, error);
}

tamsel_status array_rewriter::on_object_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.value_begin(true, false, e));
    if (r.dedupe_) TAMSEL_TRY(r.keys_.object_begin(e));
    return r.emit('{', e);
}

tamsel_status array_rewriter::on_array_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.value_begin(true, true, e));
    return r.emit('[', e);
}

tamsel_status array_rewriter::on_object_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (!r.depth_) return fail(e, TAMSEL_STATUS_INTERNAL_ERROR, "array rewrite frame underflow");
    const frame f = r.frames_[--r.depth_];
    if (r.dedupe_) r.keys_.object_end();
    TAMSEL_TRY(r.emit('}', e));
    if (f.parent_slot >= 0) return r.close_parent(f.parent_slot, e);
    return TAMSEL_STATUS_OK;
}

tamsel_status array_rewriter::on_array_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (!r.depth_) return fail(e, TAMSEL_STATUS_INTERNAL_ERROR, "array rewrite frame underflow");
    if (r.frames_[r.depth_ - 1].target) {
        if (r.o_.array_end_callback) {
            tamsel_status st = r.o_.array_end_callback(r.o_.user, &r.ctx_, emit_item, &r, e);
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) {
                if (e && e->code == 0) fail(e, st, "array rewrite array end callback failed");
                return st;
            }
            TAMSEL_TRY(r.note(st));
        }
        --r.depth_;
        // The selected array's bracket: parents saw the input's items, so they see it too.
        return r.emit(']', e);
    }
    --r.depth_;
    return r.emit(']', e);
}

tamsel_status array_rewriter::on_key_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    io::byte_clear(r.key_);
    if (r.dedupe_) TAMSEL_TRY(r.keys_.key_begin(e));
    return TAMSEL_STATUS_OK;
}

tamsel_status array_rewriter::on_key_chunk(void *u, const char *b, size_t n, tamsel_error *e) {
    auto &r = self(u);
    if (r.dedupe_) TAMSEL_TRY(r.keys_.key_chunk(b, n, e));
    tamsel_status st = io::byte_append(r.key_, b, n, io::byte_buffer_no_limit, r.a_, e);
    if (st == TAMSEL_STATUS_ALLOCATION_FAILED)
        return fail(e, st, "failed to allocate array rewrite key");
    return st;
}

tamsel_status array_rewriter::on_key_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.dedupe_) return r.keys_.key_end(e);
    return TAMSEL_STATUS_OK;
}

// Scalars and items are never visited: they are copied.
const tamsel_value_visitor array_rewriter::table = {
    on_object_begin, on_object_end, on_key_begin, on_key_chunk, on_key_end,
    on_array_begin,  on_array_end,  nullptr,      nullptr,      nullptr,
    nullptr,         nullptr,       nullptr,      nullptr,      nullptr,
};

} // namespace

tamsel_status array_rewrite(tamsel_runtime *runtime, const char *selector, const rewrite_input &in,
                            tamsel_sink sink, void *sink_user,
                            const tamsel_array_rewrite_options *options, tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if ((in.from == rewrite_input::kind::reader && !in.reader) || !sink || !options ||
        (!options->item_callback && !options->array_end_callback))
        return invalid(error, "selector, reader, sink, options, and at least one rewrite "
                              "callback are required");
    const tamsel_array_rewrite_options &o = *options;
    if (!o.item_map != !o.item_dst)
        return invalid(error, "item_map and item_dst must be supplied together");
    if (!o.parents != (o.parent_count == 0))
        return invalid(error, "parents and parent_count must be supplied together");
    if (!o.item_callback) {
        if (o.item_map || o.item_dst || o.item_value)
            return invalid(error, "item delivery requires an item callback");
    } else if (!o.item_map == !o.item_value) {
        return invalid(error, "configure exactly one rewrite item delivery mode");
    }
    // Maps that will receive parsed data are checked before anything is read or written.
    if (o.item_map && !parse::analyze_map(o.item_map).valid)
        return invalid(error, "invalid field layout");
    for (size_t i = 0; i < o.parent_count; ++i)
        if (o.parents[i].map && !parse::analyze_map(o.parents[i].map).valid)
            return invalid(error, "invalid field layout");
    const tamsel_runtime_settings &settings = *borrow.settings();
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(settings.parse_options.allocator, &allocator, error));
    segment segments[max_segments];
    size_t segment_count = 0;
    TAMSEL_TRY(parse_selector(selector, segments, &segment_count, error));
    clear_error(error);

    const tamsel_value_limits limits = visit::effective_limits(walk_limits(settings));
    array_rewriter rewriter(runtime, settings, o, selector, segments, segment_count, allocator,
                            sink, sink_user, error);
    visit::input_cursor cursor(error, limits.max_total_bytes);
    owned_block window;
    TAMSEL_TRY(read_window(cursor, in, allocator, window, error));
    open_input(cursor, in);
    tamsel_status st = visit::walk_value(cursor, limits, allocator, array_rewriter::table,
                                         &rewriter, "rewritten JSON must contain exactly one value",
                                         settings.checks_utf8(), rewriter);
    // What was produced reaches the sink whether the walk succeeded or not; after a failure
    // the record keeps the first failure (with its position), whatever the flush reports.
    const bool walked = st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED;
    tamsel_error first{};
    if (!walked && error) first = *error;
    tamsel_status flushed = rewriter.flush();
    if (!walked) {
        if (error) *error = first;
        return st;
    }
    if (flushed != TAMSEL_STATUS_OK && flushed != TAMSEL_STATUS_TRUNCATED) return flushed;
    if (!rewriter.selected_seen())
        return fail(error, TAMSEL_STATUS_TYPE_MISMATCH, "selected array was not found");
    if (rewriter.truncated() || flushed == TAMSEL_STATUS_TRUNCATED ||
        st == TAMSEL_STATUS_TRUNCATED) {
        if (error) {
            error->truncated = 1;
            if (error->code == 0) error->code = TAMSEL_STATUS_TRUNCATED;
            if (!error->message[0])
                std::snprintf(error->message, sizeof error->message, "array rewrite truncated");
        }
        return TAMSEL_STATUS_TRUNCATED;
    }
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::rewrite

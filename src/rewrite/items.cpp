// The items of one array of a document as JSON Lines, each item copied compactly by the span
// engine. A driven walk: the containers on the selector's path are visited (keys and element
// indices matched as the array stream matches them), the selected array's items are copied, and
// every other value is skipped (checked, its keys watched for duplicates). Only the path's
// levels are kept, so no item and no skipped value is ever held. The path's failures use the
// array stream's words and positions; everything else is the visitor's.
#include "parse/key_set.hpp"
#include "rewrite/internal.hpp"

#include <cstring>

namespace tamsel::rewrite {
namespace {

// One container on the path: level d is matched against segment d.
struct level {
    const char *name;
    size_t len;
    bool names_index; // the segment is canonical decimal: it also names an element
    uint64_t index;
    bool in_array;
    uint64_t element; // elements seen so far (arrays)
};

// The duplicate check inside skipped values and items: a failure of the key sets is reported
// at the cursor's position, as the array stream reports its item parser's.
class positioned_keys final : public visit::key_watch {
  public:
    positioned_keys(visit::input_cursor &cursor, parse::key_tracker &tracker)
        : cursor_(cursor), tracker_(tracker) {}
    tamsel_status object_begin(tamsel_error *) override {
        return placed(tracker_.object_begin(&scratch_));
    }
    void object_end() override { tracker_.object_end(); }
    tamsel_status key(const void *bytes, size_t len, tamsel_error *) override {
        return placed(tracker_.key(bytes, len, &scratch_));
    }
    tamsel_status key_begin(tamsel_error *) override {
        return placed(tracker_.key_begin(&scratch_));
    }
    tamsel_status key_chunk(const void *bytes, size_t len, tamsel_error *) override {
        return placed(tracker_.key_chunk(bytes, len, &scratch_));
    }
    tamsel_status key_end(tamsel_error *) override { return placed(tracker_.key_end(&scratch_)); }

    // `st` from the key sets, with its message in the scratch record, placed at the cursor.
    tamsel_status placed(tamsel_status st, const char *message = nullptr) {
        if (st == TAMSEL_STATUS_OK) return st;
        return cursor_.fail_here(st, message ? message : scratch_.message);
    }
    parse::key_tracker &tracker() { return tracker_; }
    tamsel_error *scratch() { return &scratch_; }

  private:
    visit::input_cursor &cursor_;
    parse::key_tracker &tracker_;
    tamsel_error scratch_{};
};

class items_driver final : public visit::walk_driver {
  public:
    items_driver(visit::input_cursor &cursor, level *levels, size_t count, io::byte_output &out,
                 positioned_keys *keys, bool keep_escapes)
        : cursor_(cursor), levels_(levels), count_(count), out_(out), keys_(keys) {
        copy.out = &out;
        copy.keys = keys;
        copy.keep_escapes = keep_escapes;
        own_depth = true;
    }

    tamsel_status value_start(int first, visit::route *how, tamsel_error *error) override;
    // An item is whole once copied: its line ends here.
    tamsel_status value_end(tamsel_error *) override {
        return in_selected_ ? out_.put('\n') : TAMSEL_STATUS_OK;
    }
    [[nodiscard]] const char *trailing_message() const override {
        return root_is_array_ ? "unexpected data after root array"
                              : "unexpected data after root object";
    }

    static const tamsel_value_visitor table;

  private:
    static items_driver &self(void *u) { return *static_cast<items_driver *>(u); }
    tamsel_status mismatch(const char *message) {
        return cursor_.fail_here(TAMSEL_STATUS_TYPE_MISMATCH, message);
    }
    tamsel_status closed();
    tamsel_status not_found();
    void write_prefix(size_t n, char *out, size_t size) const;

    static tamsel_status on_object_begin(void *u, tamsel_error *e);
    static tamsel_status on_object_end(void *u, tamsel_error *e);
    static tamsel_status on_array_begin(void *u, tamsel_error *e);
    static tamsel_status on_array_end(void *u, tamsel_error *e);
    static tamsel_status on_key_begin(void *u, tamsel_error *e);
    static tamsel_status on_key_chunk(void *u, const char *b, size_t n, tamsel_error *e);
    static tamsel_status on_key_end(void *u, tamsel_error *e);

    visit::input_cursor &cursor_;
    level *levels_;
    size_t count_;
    io::byte_output &out_;
    positioned_keys *keys_; // NULL: duplicates allowed
    size_t depth_ = 0;      // open containers on the path, the selected array included
    size_t reached_ = 0;    // the most levels entered at once
    bool selected_seen_ = false;
    bool entering_selected_ = false; // the next array to open is a selected one
    bool in_selected_ = false;       // the innermost open container is a selected array
    bool root_is_array_ = false;
    size_t key_pos_ = 0; // bytes of the current key matched against the level's segment
    bool key_match_ = false;
    bool key_selected_ = false; // the last key named the level's segment
};

tamsel_status items_driver::value_start(int first, visit::route *how, tamsel_error *) {
    *how = visit::route::visit;
    if (in_selected_) {
        *how = visit::route::copy;
        return TAMSEL_STATUS_OK;
    }
    if (depth_ == 0) {
        root_is_array_ = first == '[';
        if (count_ == 0) {
            if (first != '[') return mismatch("selected JSON value is not an array");
            entering_selected_ = true;
            return TAMSEL_STATUS_OK;
        }
        if (first == '{' || (first == '[' && levels_[0].names_index)) return TAMSEL_STATUS_OK;
        return mismatch(levels_[0].names_index ? "array path requires a root object or array"
                                               : "array path requires a root object");
    }
    level &l = levels_[depth_ - 1];
    bool match = key_selected_;
    if (l.in_array) {
        match = l.names_index && l.element == l.index;
        ++l.element;
    }
    if (!match) {
        *how = visit::route::skip;
        return TAMSEL_STATUS_OK;
    }
    if (depth_ < count_) {
        const level &next = levels_[depth_];
        if (first == '{' || (first == '[' && next.names_index)) return TAMSEL_STATUS_OK;
        char where[TAMSEL_ERROR_MESSAGE_CAPACITY];
        write_prefix(depth_, where, sizeof where);
        char message[2 * TAMSEL_ERROR_MESSAGE_CAPACITY]; // cut to the record's size when set
        std::snprintf(message, sizeof message, "array path requires an object%s at \"%s\"",
                      next.names_index ? " or array" : "", where);
        return mismatch(message);
    }
    if (first != '[') return mismatch("selected JSON value is not an array");
    entering_selected_ = true;
    return TAMSEL_STATUS_OK;
}

// Writes segments [0, n) as a selector (dots and backslashes escaped) into `out`, cut to fit.
void items_driver::write_prefix(size_t n, char *out, size_t size) const {
    size_t k = 0;
    for (size_t i = 0; i < n && k + 1 < size; ++i) {
        if (i) out[k++] = '.';
        for (size_t j = 0; j < levels_[i].len && k + 2 < size; ++j) {
            const char c = levels_[i].name[j];
            if (c == '.' || c == '\\') out[k++] = '\\';
            out[k++] = c;
        }
    }
    out[k < size ? k : size - 1] = '\0';
}

// The array never came: names the first segment nothing matched, and where.
tamsel_status items_driver::not_found() {
    const size_t k = reached_ ? reached_ - 1 : 0;
    const level &l = levels_[k];
    char where[TAMSEL_ERROR_MESSAGE_CAPACITY] = "the root object";
    if (k) {
        where[0] = '"';
        write_prefix(k, where + 1, sizeof where - 2);
        const size_t n = std::strlen(where);
        where[n] = '"';
        where[n + 1] = '\0';
    } else if (l.in_array) {
        std::snprintf(where, sizeof where, "the root array");
    }
    char message[2 * TAMSEL_ERROR_MESSAGE_CAPACITY]; // cut to the record's size when set
    if (l.in_array)
        std::snprintf(message, sizeof message,
                      "selected array field was not found: no element %s in %s", l.name, where);
    else
        std::snprintf(message, sizeof message,
                      "selected array field was not found: no member \"%s\" in %s", l.name, where);
    return cursor_.fail_here(TAMSEL_STATUS_MISSING_REQUIRED_FIELD, message);
}

// A level of the path closed (its bracket taken).
tamsel_status items_driver::closed() {
    --depth_;
    if (depth_ == 0 && !selected_seen_) return not_found();
    return TAMSEL_STATUS_OK;
}

tamsel_status items_driver::on_object_begin(void *u, tamsel_error *) {
    auto &d = self(u);
    if (d.keys_) TAMSEL_TRY(d.keys_->placed(d.keys_->tracker().object_begin(d.keys_->scratch())));
    d.levels_[d.depth_].in_array = false;
    if (++d.depth_ > d.reached_) d.reached_ = d.depth_;
    return TAMSEL_STATUS_OK;
}

tamsel_status items_driver::on_object_end(void *u, tamsel_error *) {
    auto &d = self(u);
    if (d.keys_) d.keys_->tracker().object_end();
    return d.closed();
}

tamsel_status items_driver::on_array_begin(void *u, tamsel_error *) {
    auto &d = self(u);
    if (d.entering_selected_) {
        d.entering_selected_ = false;
        d.selected_seen_ = true;
        d.in_selected_ = true;
        ++d.depth_;
        return TAMSEL_STATUS_OK;
    }
    level &l = d.levels_[d.depth_];
    l.in_array = true;
    l.element = 0;
    if (++d.depth_ > d.reached_) d.reached_ = d.depth_;
    return TAMSEL_STATUS_OK;
}

tamsel_status items_driver::on_array_end(void *u, tamsel_error *) {
    auto &d = self(u);
    d.in_selected_ = false;
    return d.closed();
}

tamsel_status items_driver::on_key_begin(void *u, tamsel_error *) {
    auto &d = self(u);
    d.key_pos_ = 0;
    d.key_match_ = true;
    if (d.keys_) return d.keys_->placed(d.keys_->tracker().key_begin(d.keys_->scratch()));
    return TAMSEL_STATUS_OK;
}

tamsel_status items_driver::on_key_chunk(void *u, const char *b, size_t n, tamsel_error *) {
    auto &d = self(u);
    const level &l = d.levels_[d.depth_ - 1];
    if (d.key_match_) {
        if (n > l.len - d.key_pos_ || std::memcmp(l.name + d.key_pos_, b, n) != 0)
            d.key_match_ = false;
        else
            d.key_pos_ += n;
    }
    if (d.keys_) return d.keys_->placed(d.keys_->tracker().key_chunk(b, n, d.keys_->scratch()));
    return TAMSEL_STATUS_OK;
}

tamsel_status items_driver::on_key_end(void *u, tamsel_error *) {
    auto &d = self(u);
    if (d.keys_) {
        const tamsel_status st = d.keys_->tracker().key_end(d.keys_->scratch());
        if (st == TAMSEL_STATUS_DUPLICATE_FIELD && d.depth_ == 1)
            return d.keys_->placed(st, "duplicate root object field");
        TAMSEL_TRY(d.keys_->placed(st));
    }
    d.key_selected_ = d.key_match_ && d.key_pos_ == d.levels_[d.depth_ - 1].len;
    return TAMSEL_STATUS_OK;
}

const tamsel_value_visitor items_driver::table = {
    on_object_begin, on_object_end, on_key_begin, on_key_chunk, on_key_end,
    on_array_begin,  on_array_end,  nullptr,      nullptr,      nullptr,
    nullptr,         nullptr,       nullptr,      nullptr,      nullptr,
};

tamsel_status items(tamsel_runtime *runtime, const char *selector, const rewrite_input &in,
                    bool in_given, const char *message, tamsel_sink sink, void *sink_user,
                    unsigned flags, tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if (!in_given || !sink) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
    if (flags & ~TAMSEL_COMPACT_KEEP_ESCAPES)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "unknown compact flags");
    const tamsel_runtime_settings &settings = *borrow.settings();
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(settings.parse_options.allocator, &allocator, error));
    text::selector path;
    TAMSEL_TRY(path.parse(selector, allocator, "array stream selector", error));
    const size_t count = path.count();
    owned_block levels_block;
    if (count) {
        size_t bytes;
        if (checked_mul(count, sizeof(level), &bytes))
            levels_block.reset(owned_alloc(&allocator, bytes));
        if (!levels_block.get())
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate array stream selector");
    }
    auto *levels = static_cast<level *>(levels_block.get());
    for (size_t i = 0; i < count; ++i) {
        level &l = levels[i];
        l = level{path.segments()[i], std::strlen(path.segments()[i]), false, 0, false, 0};
        l.names_index = text::segment_index(l.name, l.len, &l.index);
    }
    owned_block window;
    if (in.from != rewrite_input::kind::memory) {
        window.reset(owned_alloc(&allocator, read_window_size));
        if (!window.get())
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate JSON input window");
    }
    clear_error(error);

    const tamsel_value_limits &limits = settings.value_limits;
    visit::input_cursor cursor(error, limits.max_total_bytes);
    if (window.get()) cursor.use_window(static_cast<uint8_t *>(window.get()), read_window_size);
    open_input(cursor, in);
    parse::key_tracker tracker;
    uint64_t held = 0;
    tracker.bind(allocator);
    tracker.set_budget(parse::budget_ref{settings.parse_options.max_parse_bytes, &held});
    positioned_keys keys(cursor, tracker);
    io::buffered_sink out(sink, sink_user, error);
    items_driver driver(cursor, levels, count, out,
                        settings.parse_options.reject_duplicates ? &keys : nullptr,
                        (flags & TAMSEL_COMPACT_KEEP_ESCAPES) != 0);
    const tamsel_status st = visit::walk_value(
        cursor, limits, allocator, items_driver::table, &driver,
        "visited JSON must contain exactly one value", settings.checks_utf8(), driver);
    const tamsel_status settled = out.settle(st, "compact output truncated");
    if (settled == TAMSEL_STATUS_OK) clear_error(error);
    return settled;
}

} // namespace
} // namespace tamsel::rewrite

using namespace tamsel;
using namespace tamsel::rewrite;

extern "C" tamsel_status tamsel_compact_items_buffer(tamsel_runtime *runtime, const char *selector,
                                                     const void *data, size_t len, tamsel_sink sink,
                                                     void *sink_user, unsigned flags,
                                                     tamsel_error *error) {
    return items(runtime, selector, rewrite_input::from_memory(data, len), data != nullptr,
                 "buffer and sink are required", sink, sink_user, flags, error);
}

extern "C" tamsel_status tamsel_compact_items_reader(tamsel_runtime *runtime, const char *selector,
                                                     tamsel_reader reader, void *reader_user,
                                                     tamsel_sink sink, void *sink_user,
                                                     unsigned flags, tamsel_error *error) {
    return items(runtime, selector, rewrite_input::from_reader(reader, reader_user),
                 reader != nullptr, "reader and sink are required", sink, sink_user, flags, error);
}

extern "C" tamsel_status tamsel_compact_items_fd(tamsel_runtime *runtime, const char *selector,
                                                 int fd, tamsel_sink sink, void *sink_user,
                                                 unsigned flags, tamsel_error *error) {
    return items(runtime, selector, rewrite_input::from_fd(fd), fd >= 0, "fd and sink are required",
                 sink, sink_user, flags, error);
}

// The value rewrite: the document copied through a writer, with the one value at the target
// path kept, dropped or replaced, and a missing replacement target created at the end of the
// deepest object on its path (with objects for the missing levels below it).
//
// A driven walk: only the containers on the path are visited (each with a frame: an explicit
// stack from the parse allocator, so input depth never reaches the machine stack), and only
// their keys are read as events. Every value off the path, and the target when it is kept, is
// placed through the writer and copied compactly by the span engine, straight from the input
// into the staging buffer;
// a dropped or replaced target is checked and skipped. In CALLBACK mode the target's events go
// to the caller's visitor, and the callback writes the replacement when the value ends. The
// writer and the copies write into one 4 KiB staging buffer in front of the caller's sink.
#include "parse/maps.hpp"
#include "rewrite/internal.hpp"
#include "text/internal.hpp"
#include "writer/internal.hpp"

#include <cstring>

namespace tamsel::rewrite {
namespace {

enum : int {
    kind_none,
    kind_object,
    kind_array,
    kind_string,
    kind_number,
    kind_boolean,
    kind_null
};

int kind_of(int first) {
    switch (first) {
    case '{':
        return kind_object;
    case '[':
        return kind_array;
    case '"':
        return kind_string;
    case 't':
    case 'f':
        return kind_boolean;
    case 'n':
        return kind_null;
    default:
        return kind_number;
    }
}

// A container on the path.
struct frame {
    bool object;
    bool matched; // a child matched this frame's segment
    bool indexed; // an array whose segment names an element index (`wanted`)
    size_t segment;
    uint64_t index;  // elements seen so far (arrays)
    uint64_t wanted; // the index of the element on the path (arrays, when `indexed`)
};

// Writer results: a truncating sink is remembered by the staging buffer and reported at the end.
inline tamsel_status taken(tamsel_status st) {
    return st == TAMSEL_STATUS_TRUNCATED ? TAMSEL_STATUS_OK : st;
}

class value_rewriter final : public visit::walk_driver {
  public:
    value_rewriter(tamsel_writer *writer, const tamsel_value_rewrite_options &options,
                   const tamsel_allocator &allocator, size_t max_number, io::byte_output &out)
        : w_(writer), o_(options), a_(allocator), max_number_(max_number) {
        copy.out = &out;
        for (size_t i = 1; i < o_.segment_count; ++i)
            if (all_digits(o_.segments[i], std::strlen(o_.segments[i]))) last_index_segment_ = i;
    }
    ~value_rewriter() {
        owned_free(frames_);
        io::byte_buffer_free(key_, a_);
        io::byte_buffer_free(number_, a_);
    }
    value_rewriter(const value_rewriter &) = delete;
    value_rewriter &operator=(const value_rewriter &) = delete;

    tamsel_status value_start(int first, visit::route *how, tamsel_error *error) override;
    tamsel_status value_end(tamsel_error *) override { return TAMSEL_STATUS_OK; }

    static const tamsel_value_visitor table;
    [[nodiscard]] bool found() const { return found_; }

  private:
    static value_rewriter &self(void *u) { return *static_cast<value_rewriter *>(u); }

    [[nodiscard]] tamsel_status push_frame(bool object, tamsel_error *error);
    [[nodiscard]] tamsel_status write_key(tamsel_error *error);
    [[nodiscard]] tamsel_status write_replacement(tamsel_error *error);
    [[nodiscard]] tamsel_status target_end(tamsel_error *error);
    [[nodiscard]] tamsel_status create_missing(const frame &f, tamsel_error *error);
    [[nodiscard]] tamsel_status close_frame(bool object, tamsel_error *error);
    [[nodiscard]] tamsel_status gather(io::byte_buffer &b, const char *bytes, size_t len,
                                       size_t limit, const char *message, tamsel_error *error);
    // Passes one event of the target to the caller's visitor in CALLBACK mode.
    template <class Call> [[nodiscard]] tamsel_status forward(Call call) {
        if (!forward_) return TAMSEL_STATUS_OK;
        tamsel_status st = call(*o_.visitor);
        return st == TAMSEL_STATUS_TRUNCATED ? TAMSEL_STATUS_OK : st;
    }
    // A scalar of the target has ended: the target too, when it is that scalar.
    [[nodiscard]] tamsel_status scalar_done(tamsel_error *e) {
        return skip_depth_ == 0 ? target_end(e) : TAMSEL_STATUS_OK;
    }

    static tamsel_status on_object_begin(void *u, tamsel_error *e);
    static tamsel_status on_object_end(void *u, tamsel_error *e);
    static tamsel_status on_array_begin(void *u, tamsel_error *e);
    static tamsel_status on_array_end(void *u, tamsel_error *e);
    static tamsel_status on_key_begin(void *u, tamsel_error *e);
    static tamsel_status on_key_chunk(void *u, const char *b, size_t n, tamsel_error *e);
    static tamsel_status on_key_end(void *u, tamsel_error *e);
    static tamsel_status on_string_begin(void *u, tamsel_error *e);
    static tamsel_status on_string_chunk(void *u, const char *b, size_t n, tamsel_error *e);
    static tamsel_status on_string_end(void *u, tamsel_error *e);
    static tamsel_status on_number_begin(void *u, tamsel_error *e);
    static tamsel_status on_number_chunk(void *u, const char *b, size_t n, tamsel_error *e);
    static tamsel_status on_number_end(void *u, tamsel_error *e);
    static tamsel_status on_boolean(void *u, int v, tamsel_error *e);
    static tamsel_status on_null(void *u, tamsel_error *e);

    tamsel_writer *w_;
    const tamsel_value_rewrite_options &o_;
    tamsel_allocator a_;
    size_t max_number_;
    // The last digit-only segment after the first (0: none). Missing levels are created as
    // objects, so a creation that would have to make this segment, an array index, is refused.
    size_t last_index_segment_ = 0;
    frame *frames_ = nullptr;
    size_t depth_ = 0, capacity_ = 0;
    size_t next_segment_ = 0; // the segment of the container about to be visited
    io::byte_buffer key_;     // the key of the innermost object, written when its value starts
    io::byte_buffer number_;  // the target's number text (CALLBACK)
    bool found_ = false;
    bool skipping_ = false; // inside a CALLBACK target, whose events are not copied
    bool forward_ = false;  // ... and go to the caller's visitor
    size_t skip_depth_ = 0; // containers open inside the target
    int target_kind_ = kind_none;
    int target_boolean_ = 0;
};

tamsel_status value_rewriter::gather(io::byte_buffer &b, const char *bytes, size_t len,
                                     size_t limit, const char *message, tamsel_error *error) {
    tamsel_status st = io::byte_append(b, bytes, len, limit, a_, error);
    if (st == TAMSEL_STATUS_ALLOCATION_FAILED)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "%s", message);
    return st;
}

tamsel_status value_rewriter::push_frame(bool object, tamsel_error *error) {
    if (depth_ == capacity_) {
        size_t cap = capacity_ ? 0 : 8, bytes = 0;
        if ((capacity_ && !checked_mul(capacity_, 2, &cap)) ||
            !checked_mul(cap, sizeof(frame), &bytes))
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow value rewrite stack");
        void *grown = owned_realloc(&a_, frames_, bytes);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to grow value rewrite stack");
        frames_ = static_cast<frame *>(grown);
        capacity_ = cap;
    }
    frame f{object, false, false, next_segment_, 0, 0};
    if (!object && f.segment < o_.segment_count) {
        const char *seg = o_.segments[f.segment];
        f.indexed = text::segment_index(seg, std::strlen(seg), &f.wanted);
    }
    frames_[depth_++] = f;
    return TAMSEL_STATUS_OK;
}

tamsel_status value_rewriter::write_key(tamsel_error *error) {
    if (!depth_ || !frames_[depth_ - 1].object) return TAMSEL_STATUS_OK;
    return taken(tamsel_writer_key(w_, key_.data ? key_.data : "", key_.length, error));
}

tamsel_status value_rewriter::write_replacement(tamsel_error *error) {
    const tamsel_value_rewrite_source &r = o_.replacement;
    tamsel_status st;
    if (r.write)
        st = r.write(w_, r.write_user, error);
    else if (r.map)
        st = tamsel_writer_mapped(w_, r.map, r.record, error);
    else if (r.value)
        st = tamsel_writer_json_value(w_, r.value, error);
    else
        st = fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                  "value rewrite replacement source is invalid");
    return taken(st);
}

// Decides what happens to the value that starts now: the target, a container on the path
// (visited), or a value copied as it stands.
tamsel_status value_rewriter::value_start(int first, visit::route *how, tamsel_error *error) {
    *how = visit::route::visit;
    if (skipping_) return TAMSEL_STATUS_OK; // inside a CALLBACK target: its events go on
    const int kind = kind_of(first);
    const size_t count = o_.segment_count;
    bool target = false, child_on_path = false;
    frame *top = depth_ ? &frames_[depth_ - 1] : nullptr;
    if (!top) {
        target = count == 0;
        child_on_path = count > 0;
        next_segment_ = 0;
    } else if (top->segment < count) {
        bool match;
        if (top->object) {
            const char *seg = o_.segments[top->segment];
            match = std::strlen(seg) == key_.length &&
                    std::memcmp(key_.data ? key_.data : "", seg, key_.length) == 0;
        } else {
            match = top->indexed && top->index == top->wanted;
        }
        if (match) {
            top->matched = true;
            if (top->segment + 1 == count) {
                target = true;
            } else {
                child_on_path = true;
                next_segment_ = top->segment + 1;
            }
        }
    }
    if (top && !top->object) ++top->index;

    if (target && o_.action != TAMSEL_VALUE_REWRITE_KEEP) {
        found_ = true;
        *how = visit::route::skip;
        if (o_.action == TAMSEL_VALUE_REWRITE_DROP) return TAMSEL_STATUS_OK;
        TAMSEL_TRY(write_key(error));
        if (o_.action == TAMSEL_VALUE_REWRITE_REPLACE) return write_replacement(error);
        *how = visit::route::visit;
        skipping_ = true;
        skip_depth_ = 0;
        target_kind_ = kind;
        forward_ = o_.visitor != nullptr;
        return TAMSEL_STATUS_OK;
    }
    if (target) found_ = true;
    TAMSEL_TRY(write_key(error));
    if (child_on_path && (kind == kind_object || kind == kind_array))
        return TAMSEL_STATUS_OK; // the begin event opens its frame
    *how = visit::route::copy;
    // The copy goes to the staging buffer itself, behind what the writer staged (a comma).
    TAMSEL_TRY(taken(writer::before_value(w_, error)));
    return taken(writer::emit(w_, "", 0, error));
}

// The CALLBACK target has ended: its callback writes the replacement.
tamsel_status value_rewriter::target_end(tamsel_error *error) {
    skipping_ = false;
    forward_ = false;
    tamsel_value_rewrite_target t{};
    t.present = 1;
    t.kind = target_kind_;
    if (target_kind_ == kind_number) {
        t.number_text = number_.data ? number_.data : "";
        t.number_len = number_.length;
    }
    if (target_kind_ == kind_boolean) t.boolean = target_boolean_;
    return taken(o_.replace_callback(w_, &t, o_.replace_user, error));
}

// Writes the missing part of the target path at the end of on-path object `f`: its segment
// as a key (digits too: in an object it can only name a member), one object per further
// segment, the replacement at the last. A further segment that is an array index is refused
// before anything is written. The deepest object opened lies at depth segment_count, which
// value_rewrite held to the depth limit before the walk.
tamsel_status value_rewriter::create_missing(const frame &f, tamsel_error *error) {
    if (last_index_segment_ > f.segment)
        return fail(error, TAMSEL_STATUS_TYPE_MISMATCH,
                    "value rewrite cannot synthesize a missing array index");
    const size_t count = o_.segment_count;
    size_t opened = 0;
    for (size_t i = f.segment; i < count; ++i) {
        const char *seg = o_.segments[i];
        TAMSEL_TRY(taken(tamsel_writer_key(w_, seg, std::strlen(seg), error)));
        if (i + 1 == count) break;
        TAMSEL_TRY(taken(tamsel_writer_begin_object(w_, error)));
        ++opened;
    }
    if (o_.action == TAMSEL_VALUE_REWRITE_REPLACE) {
        TAMSEL_TRY(write_replacement(error));
    } else {
        tamsel_value_rewrite_target t{};
        TAMSEL_TRY(taken(o_.replace_callback(w_, &t, o_.replace_user, error)));
    }
    for (; opened; --opened)
        TAMSEL_TRY(taken(tamsel_writer_end_object(w_, error)));
    found_ = true;
    return TAMSEL_STATUS_OK;
}

// A container on the path closes.
tamsel_status value_rewriter::close_frame(bool object, tamsel_error *e) {
    if (!depth_) return fail(e, TAMSEL_STATUS_INTERNAL_ERROR, "value rewrite frame underflow");
    const frame f = frames_[--depth_];
    if (f.object != object)
        return fail(e, TAMSEL_STATUS_INTERNAL_ERROR,
                    object ? "value rewrite object frame mismatch"
                           : "value rewrite array frame mismatch");
    if (!object) return taken(tamsel_writer_end_array(w_, e));
    const bool creates =
        o_.action == TAMSEL_VALUE_REWRITE_REPLACE || o_.action == TAMSEL_VALUE_REWRITE_CALLBACK;
    if (creates && !f.matched && !found_ && f.segment < o_.segment_count)
        TAMSEL_TRY(create_missing(f, e));
    return taken(tamsel_writer_end_object(w_, e));
}

tamsel_status value_rewriter::on_object_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_) {
        ++r.skip_depth_;
        return r.forward([&](const tamsel_value_visitor &v) {
            return v.object_begin ? v.object_begin(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        });
    }
    TAMSEL_TRY(taken(tamsel_writer_begin_object(r.w_, e)));
    return r.push_frame(true, e);
}

tamsel_status value_rewriter::on_array_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_) {
        ++r.skip_depth_;
        return r.forward([&](const tamsel_value_visitor &v) {
            return v.array_begin ? v.array_begin(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        });
    }
    TAMSEL_TRY(taken(tamsel_writer_begin_array(r.w_, e)));
    return r.push_frame(false, e);
}

tamsel_status value_rewriter::on_object_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_) {
        TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
            return v.object_end ? v.object_end(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        }));
        return --r.skip_depth_ == 0 ? r.target_end(e) : TAMSEL_STATUS_OK;
    }
    return r.close_frame(true, e);
}

tamsel_status value_rewriter::on_array_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_) {
        TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
            return v.array_end ? v.array_end(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        }));
        return --r.skip_depth_ == 0 ? r.target_end(e) : TAMSEL_STATUS_OK;
    }
    return r.close_frame(false, e);
}

tamsel_status value_rewriter::on_key_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_)
        return r.forward([&](const tamsel_value_visitor &v) {
            return v.key_begin ? v.key_begin(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        });
    io::byte_clear(r.key_);
    return TAMSEL_STATUS_OK;
}

tamsel_status value_rewriter::on_key_chunk(void *u, const char *b, size_t n, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_)
        return r.forward([&](const tamsel_value_visitor &v) {
            return v.key_chunk ? v.key_chunk(r.o_.visitor_user, b, n, e) : TAMSEL_STATUS_OK;
        });
    return r.gather(r.key_, b, n, io::byte_buffer_no_limit, "failed to allocate value rewrite key",
                    e);
}

tamsel_status value_rewriter::on_key_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    if (r.skipping_)
        return r.forward([&](const tamsel_value_visitor &v) {
            return v.key_end ? v.key_end(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
        });
    return TAMSEL_STATUS_OK;
}

// Scalars are visited only inside a CALLBACK target (every other one is copied or skipped).

tamsel_status value_rewriter::on_string_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    return r.forward([&](const tamsel_value_visitor &v) {
        return v.string_begin ? v.string_begin(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
    });
}

tamsel_status value_rewriter::on_string_chunk(void *u, const char *b, size_t n, tamsel_error *e) {
    auto &r = self(u);
    return r.forward([&](const tamsel_value_visitor &v) {
        return v.string_chunk ? v.string_chunk(r.o_.visitor_user, b, n, e) : TAMSEL_STATUS_OK;
    });
}

tamsel_status value_rewriter::on_string_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
        return v.string_end ? v.string_end(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
    }));
    return r.scalar_done(e);
}

tamsel_status value_rewriter::on_number_begin(void *u, tamsel_error *e) {
    auto &r = self(u);
    io::byte_clear(r.number_);
    return r.forward([&](const tamsel_value_visitor &v) {
        return v.number_begin ? v.number_begin(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
    });
}

tamsel_status value_rewriter::on_number_chunk(void *u, const char *b, size_t n, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
        return v.number_chunk ? v.number_chunk(r.o_.visitor_user, b, n, e) : TAMSEL_STATUS_OK;
    }));
    return r.gather(r.number_, b, n, r.max_number_, "failed to allocate framing buffer", e);
}

tamsel_status value_rewriter::on_number_end(void *u, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
        return v.number_end ? v.number_end(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
    }));
    return r.scalar_done(e);
}

tamsel_status value_rewriter::on_boolean(void *u, int value, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
        return v.boolean ? v.boolean(r.o_.visitor_user, value, e) : TAMSEL_STATUS_OK;
    }));
    r.target_boolean_ = value;
    return r.scalar_done(e);
}

tamsel_status value_rewriter::on_null(void *u, tamsel_error *e) {
    auto &r = self(u);
    TAMSEL_TRY(r.forward([&](const tamsel_value_visitor &v) {
        return v.null ? v.null(r.o_.visitor_user, e) : TAMSEL_STATUS_OK;
    }));
    return r.scalar_done(e);
}

const tamsel_value_visitor value_rewriter::table = {
    on_object_begin, on_object_end,   on_key_begin,    on_key_chunk,    on_key_end,
    on_array_begin,  on_array_end,    on_string_begin, on_string_chunk, on_string_end,
    on_number_begin, on_number_chunk, on_number_end,   on_boolean,      on_null,
};

tamsel_status invalid(tamsel_error *error, const char *message) {
    return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
}

// Exactly one kind of replacement, a valid map, a rewindable holder.
tamsel_status check_replacement(const tamsel_value_rewrite_source &r, tamsel_error *error) {
    const int kinds = (r.write ? 1 : 0) + ((r.map || r.record) ? 1 : 0) + (r.value ? 1 : 0);
    const bool ok = kinds == 1 && (!(r.map || r.record) || (r.map && r.record)) &&
                    (!r.value || tamsel_json_value_is_rewindable(r.value));
    if (!ok) return invalid(error, "value rewrite replacement source is invalid");
    if (r.map && !parse::analyze_map(r.map).valid) return invalid(error, "invalid map layout");
    return TAMSEL_STATUS_OK;
}

} // namespace

tamsel_status value_rewrite(tamsel_runtime *runtime, const rewrite_input &in, tamsel_sink sink,
                            void *sink_user, const tamsel_value_rewrite_options *options,
                            tamsel_error *error) {
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    if (!sink || (in.from == rewrite_input::kind::reader && !in.reader))
        return invalid(error, "reader and sink are required");
    if (!options) return invalid(error, "value rewrite options are required");
    const tamsel_value_rewrite_options &o = *options;
    if (o.segment_count > 0) {
        if (!o.segments) return invalid(error, "value rewrite target segments are required");
        for (size_t i = 0; i < o.segment_count; ++i)
            if (!o.segments[i]) return invalid(error, "value rewrite target segment is NULL");
    }
    if (o.action == TAMSEL_VALUE_REWRITE_REPLACE)
        TAMSEL_TRY(check_replacement(o.replacement, error));
    if (o.action == TAMSEL_VALUE_REWRITE_DROP && o.segment_count == 0)
        return invalid(error, "value rewrite cannot drop the root value");
    if (o.action == TAMSEL_VALUE_REWRITE_CALLBACK && !o.replace_callback)
        return invalid(error, "value rewrite replace callback is required");
    if (o.action < 0 || o.action > TAMSEL_VALUE_REWRITE_CALLBACK)
        return invalid(error, "invalid value rewrite action");
    const tamsel_runtime_settings &settings = *borrow.settings();
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(settings.parse_options.allocator, &allocator, error));
    const tamsel_value_limits limits = visit::effective_limits(walk_limits(settings));
    // A target path of n segments lies inside n containers, and creating it opens objects down
    // to that depth: past the depth limit the target can be neither read nor created.
    const bool creates =
        o.action == TAMSEL_VALUE_REWRITE_REPLACE || o.action == TAMSEL_VALUE_REWRITE_CALLBACK;
    if (creates && o.segment_count > limits.max_depth)
        return fail(error, TAMSEL_STATUS_OVERFLOW,
                    "value rewrite target path exceeds maximum depth");
    clear_error(error);

    // The writer and the copies write into one staging buffer before the caller's sink.
    io::buffered_sink stage(sink, sink_user, error);
    const tamsel_sink staged = [](void *u, const void *d, size_t n, tamsel_error *) {
        return static_cast<io::buffered_sink *>(u)->put(d, n);
    };
    tamsel_writer writer{};
    TAMSEL_TRY(tamsel_writer_init_sink(runtime, &writer, staged, &stage, error));
    struct writer_guard {
        tamsel_writer *w;
        ~writer_guard() { tamsel_writer_cleanup(w); }
    } guard{&writer};

    value_rewriter rewriter(&writer, o, allocator, clamp_to_size(limits.max_number_bytes), stage);
    visit::input_cursor cursor(error, limits.max_total_bytes);
    owned_block window;
    TAMSEL_TRY(read_window(cursor, in, allocator, window, error));
    open_input(cursor, in);
    tamsel_status st = visit::walk_value(cursor, limits, allocator, value_rewriter::table,
                                         &rewriter, "rewritten JSON must contain exactly one value",
                                         settings.checks_utf8(), rewriter);
    // What was produced reaches the sink whether the walk succeeded or not; after a failure
    // the record keeps the first failure (with its position), whatever the flush reports.
    const bool walked = st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED;
    tamsel_error first{};
    if (!walked && error) first = *error;
    const tamsel_status flushed = stage.flush();
    if (!walked) {
        if (error) *error = first;
        return st;
    }
    if (flushed != TAMSEL_STATUS_OK) return flushed;
    clear_error(error);
    if (!rewriter.found() && o.action != TAMSEL_VALUE_REWRITE_KEEP)
        return fail(error, TAMSEL_STATUS_TYPE_MISMATCH, "value rewrite target was not found");
    TAMSEL_TRY(tamsel_writer_finish(&writer, error));
    if (stage.result() == TAMSEL_STATUS_TRUNCATED) {
        if (error) error->truncated = 1;
        return TAMSEL_STATUS_TRUNCATED;
    }
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::rewrite

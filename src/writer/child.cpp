// Values the pull generator produces for the writer: spooled values and sources as text or
// base64, JSON value holders and mapped records. Each is an event whose child generator is
// made before the value is placed (so a failure to make it writes nothing), then pumped in
// steps of at most 512 bytes (at most the free room of a writer generator's destination), and
// released as soon as the value is complete.
#include "parse/maps.hpp"
#include "serialize/internal.hpp"
#include "writer/state.hpp"

#include <algorithm>
#include <cstring>

namespace tamsel::writer {

void release_child(state &s) {
    if (!s.child) return;
    tamsel_generator_cleanup(s.child);
    owned_free(s.child);
    s.child = nullptr;
}

namespace {

tamsel_status make_child(state &s, size_t kind, const void *value, const tamsel_map *map,
                         tamsel_error *e) {
    void *memory = owned_alloc(&s.allocator, sizeof(tamsel_generator));
    if (!memory)
        return fail(e, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate writer child generator");
    auto *g = static_cast<tamsel_generator *>(memory);
    std::memset(g, 0, sizeof *g);
    g->read = tamsel_generator_read;
    g->cleanup = tamsel_generator_cleanup;
    const tamsel_status st =
        kind == child_mapped
            ? serialize::generator_init_with_options(g, map, value, s.options)
            : serialize::generator_init_value(g, static_cast<serialize::value_frame>(kind - 1),
                                              value, s.options);
    if (st != TAMSEL_STATUS_OK) {
        if (e) *e = g->error;
        tamsel_generator_cleanup(g);
        owned_free(g);
        return st;
    }
    s.child = g;
    return TAMSEL_STATUS_OK;
}

tamsel_status child_event(tamsel_writer *w, size_t kind, const void *value, const tamsel_map *map,
                          tamsel_error *error) {
    state *s = state_of(w);
    tamsel_error *e = report_to(w, error);
    TAMSEL_TRY(check_live(w, e));
    if (s->ev.kind == event_kind::child && s->ev.extra != map)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "active writer event must be resumed with the same arguments");
    TAMSEL_TRY(begin_event(*s, event_kind::child, value, kind, e));
    accept(e);
    if (!s->ev.placed) {
        if (kind == child_mapped && !parse::analyze_map(map).valid) {
            reset_event(*s);
            return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid map layout");
        }
        // Refusals of the place check come before the child is made, so misuse costs nothing.
        if (!s->child) {
            const tamsel_status st = make_child(*s, kind, value, map, e);
            if (st != TAMSEL_STATUS_OK) {
                reset_event(*s);
                return st;
            }
        }
        s->ev.extra = map;
        const tamsel_status st = place_event(*s, w, e);
        if (st != TAMSEL_STATUS_OK) {
            if (st != TAMSEL_STATUS_TRUNCATED) release_child(*s);
            return st;
        }
    }
    for (;;) {
        if (output_blocked(*s)) return TAMSEL_STATUS_TRUNCATED;
        const size_t room = std::min(child_step, output_room(*s));
        size_t n = 0;
        int done = 0;
        const tamsel_status st = tamsel_generator_read(s->child, s->child_buffer, room, &n, &done);
        if (st != TAMSEL_STATUS_OK) {
            // Part of the value may be out already: the document cannot be completed.
            *e = s->child->error;
            release_child(*s);
            reset_event(*s);
            latch(*s);
            return end_op(*s, w, st, e);
        }
        if (n) TAMSEL_TRY(put(*s, w, s->child_buffer, n, e));
        if (done) {
            release_child(*s);
            reset_event(*s);
            return end_op(*s, w, TAMSEL_STATUS_OK, e);
        }
    }
}

tamsel_status require(tamsel_writer *w, const void *value, const char *message,
                      tamsel_error *error) {
    tamsel_error *e = error ? error : (w ? &w->error : nullptr);
    if (!state_of(w)) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer is required");
    if (!value) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "%s", message);
    return TAMSEL_STATUS_OK;
}

tamsel_status source_event(tamsel_writer *w, const tamsel_source *source, size_t kind,
                           const char *message, tamsel_error *error) {
    TAMSEL_TRY(require(w, source, message, error));
    // An unset source is the value null (no child generator).
    if (source->kind == TAMSEL_SOURCE_NONE) return tamsel_writer_null(w, error);
    return child_event(w, kind, source, nullptr, error);
}

} // namespace

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" tamsel_status tamsel_writer_string_spooled(tamsel_writer *writer,
                                                      const tamsel_spooled *spooled,
                                                      tamsel_error *error) {
    TAMSEL_TRY(require(writer, spooled, "spooled string value is required", error));
    return child_event(writer, 1, spooled, nullptr, error);
}

extern "C" tamsel_status
tamsel_writer_source_text(tamsel_writer *writer, const tamsel_source *source, tamsel_error *error) {
    return source_event(writer, source, 2, "source text value is required", error);
}

extern "C" tamsel_status tamsel_writer_spooled_base64(tamsel_writer *writer,
                                                      const tamsel_spooled *spooled,
                                                      tamsel_error *error) {
    TAMSEL_TRY(require(writer, spooled, "spooled base64 value is required", error));
    return child_event(writer, 3, spooled, nullptr, error);
}

extern "C" tamsel_status tamsel_writer_source_base64(tamsel_writer *writer,
                                                     const tamsel_source *source,
                                                     tamsel_error *error) {
    return source_event(writer, source, 4, "source base64 value is required", error);
}

extern "C" tamsel_status tamsel_writer_json_value(tamsel_writer *writer,
                                                  const tamsel_json_value *value,
                                                  tamsel_error *error) {
    TAMSEL_TRY(require(writer, value, "JSON value is required", error));
    return child_event(writer, child_json_value, value, nullptr, error);
}

extern "C" tamsel_status tamsel_writer_mapped(tamsel_writer *writer, const tamsel_map *map,
                                              const void *record, tamsel_error *error) {
    TAMSEL_TRY(
        require(writer, map && record ? record : nullptr, "map and source are required", error));
    return child_event(writer, child_mapped, record, map, error);
}

// Writer generators: a producer writes a document through an embedded writer whose sink is
// the caller's read buffer. When the buffer is full every writer operation returns TRUNCATED
// before its next piece; the producer returns TRUNCATED and repeats the same call on the next
// read. The one piece that straddles the end of a buffer waits in the pending buffer, which
// therefore holds at most one escape or one unsplittable piece.
#include "serialize/internal.hpp"
#include "writer/state.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace tamsel::writer {

namespace {

struct generator_state {
    serialize::foreign_generator head;
    tamsel_allocator allocator{};
    tamsel_writer writer{};
    tamsel_writer_producer producer = nullptr;
    void *user = nullptr;
    // The caller's buffer during a read (NULL between reads: everything is blocked then).
    unsigned char *destination = nullptr;
    size_t capacity = 0;
    size_t filled = 0;
    unsigned char *pending = nullptr;
    size_t pending_capacity = 0;
    size_t pending_length = 0;
    size_t pending_moved = 0;
    bool blocked = false;
    bool producer_finished = false;
    tamsel_status failed = TAMSEL_STATUS_OK;
};

bool has_pending(const generator_state &g) {
    return g.pending_moved < g.pending_length;
}

// Moves pending output into the destination; true when none is left.
bool move_pending(generator_state &g) {
    if (!has_pending(g)) return true;
    const size_t k = std::min(g.pending_length - g.pending_moved, g.capacity - g.filled);
    if (k) std::memcpy(g.destination + g.filled, g.pending + g.pending_moved, k);
    g.filled += k;
    g.pending_moved += k;
    if (has_pending(g)) return false;
    g.pending_length = g.pending_moved = 0;
    return true;
}

generator_state *writer_generator_of(const tamsel_generator *gen) {
    auto *g = static_cast<generator_state *>(gen->state);
    return g && g->head.magic == TAMSEL_WRITER_GENERATOR_MAGIC ? g : nullptr;
}

void reset_record(tamsel_generator *gen) {
    std::memset(gen, 0, sizeof *gen);
    gen->read = tamsel_generator_read;
    gen->cleanup = tamsel_generator_cleanup;
}

void release(generator_state *g) {
    tamsel_writer_cleanup(&g->writer);
    owned_free(g->pending);
    std::destroy_at(g);
    owned_free(g);
}

tamsel_status read(tamsel_generator *gen, void *buffer, size_t capacity, size_t *out_length,
                   int *out_done) {
    if (out_length) *out_length = 0;
    if (out_done) *out_done = 0;
    generator_state *g = writer_generator_of(gen);
    if (!g) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (!buffer && capacity)
        return fail(&gen->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "generator read buffer is required");
    if (g->failed) {
        gen->done = 0;
        return g->failed;
    }
    g->destination = static_cast<unsigned char *>(buffer);
    g->capacity = capacity;
    g->filled = 0;
    tamsel_status st = TAMSEL_STATUS_OK;
    while (g->filled < g->capacity) {
        if (!move_pending(*g)) break;
        g->blocked = false;
        if (g->filled == g->capacity || g->producer_finished) break;
        const size_t filled_before = g->filled, pending_before = g->pending_length;
        st = g->producer(&g->writer, g->user, &gen->error);
        if (st == TAMSEL_STATUS_TRUNCATED) {
            st = TAMSEL_STATUS_OK;
            // A producer that asks again without writing anything would be called for ever:
            // hand back what this read has.
            if (g->filled == filled_before && g->pending_length == pending_before) break;
            continue;
        }
        if (st != TAMSEL_STATUS_OK) break;
        st = tamsel_writer_finish(&g->writer, &gen->error);
        if (st != TAMSEL_STATUS_OK) break;
        g->producer_finished = true;
    }
    const size_t filled = g->filled;
    g->destination = nullptr;
    g->capacity = g->filled = 0;
    if (st != TAMSEL_STATUS_OK) {
        // The document cannot be resumed: every later read reports the same failure.
        g->failed = st;
        gen->done = 0;
        return st;
    }
    const int done = g->producer_finished && !has_pending(*g) ? 1 : 0;
    gen->done = done;
    if (out_length) *out_length = filled;
    if (out_done) *out_done = done;
    return TAMSEL_STATUS_OK;
}

void cleanup(tamsel_generator *gen) {
    if (generator_state *g = writer_generator_of(gen)) release(g);
    reset_record(gen);
}

} // namespace

bool generator_blocked(const void *sink_user) {
    const auto *g = static_cast<const generator_state *>(sink_user);
    return has_pending(*g) || g->blocked || !g->destination || g->filled >= g->capacity;
}

size_t generator_room(const void *sink_user) {
    const auto *g = static_cast<const generator_state *>(sink_user);
    return g->destination ? g->capacity - g->filled : 0;
}

tamsel_status generator_sink(void *user, const void *data, size_t len, tamsel_error *error) {
    auto *g = static_cast<generator_state *>(user);
    if (!g || (!data && len))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer generator sink data is required");
    if (!g->destination) {
        g->blocked = true;
        return TAMSEL_STATUS_TRUNCATED;
    }
    if (!move_pending(*g) || g->filled == g->capacity) {
        g->blocked = true;
        return TAMSEL_STATUS_TRUNCATED;
    }
    if (!len) return TAMSEL_STATUS_OK;
    const size_t k = std::min(len, g->capacity - g->filled);
    std::memcpy(g->destination + g->filled, data, k);
    g->filled += k;
    if (k == len) return TAMSEL_STATUS_OK;
    const size_t rest = len - k;
    if (rest > g->pending_capacity) {
        void *grown = owned_realloc(&g->allocator, g->pending, rest);
        if (!grown)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate writer pending output");
        g->pending = static_cast<unsigned char *>(grown);
        g->pending_capacity = rest;
    }
    std::memcpy(g->pending, static_cast<const unsigned char *>(data) + k, rest);
    g->pending_length = rest;
    g->pending_moved = 0;
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" tamsel_status tamsel_writer_generator_init(tamsel_runtime *runtime,
                                                      tamsel_generator *generator,
                                                      tamsel_writer_producer producer, void *user) {
    if (!generator) return TAMSEL_STATUS_INVALID_ARGUMENT;
    reset_record(generator);
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, &generator->error));
    if (!producer)
        return fail(&generator->error, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer producer is required");
    const tamsel_write_options &options = borrow.settings()->write_options;
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(options.allocator, &allocator, &generator->error));
    void *memory = owned_alloc(&allocator, sizeof(generator_state));
    if (!memory)
        return fail(&generator->error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate writer generator state");
    auto *g = std::construct_at(static_cast<generator_state *>(memory));
    g->head = {TAMSEL_WRITER_GENERATOR_MAGIC, read, cleanup};
    g->allocator = allocator;
    g->producer = producer;
    g->user = user;
    const tamsel_status st = init_sink_with_options(&g->writer, generator_sink, g, options,
                                                    borrow.settings(), &generator->error);
    if (st != TAMSEL_STATUS_OK) {
        release(g);
        return st;
    }
    generator->state = g;
    return TAMSEL_STATUS_OK;
}

// Array-item splicing: every item of an array found in another input is appended to the array
// open in the writer, each item's bytes handed on exactly as the array stream's raw mode
// delivers them (no re-parse into the writer). The array stream bounds memory by one window
// and its item parser, whatever the size of the input.
#include "io/internal.hpp"
#include "stream/internal.hpp"
#include "writer/state.hpp"

#include <cstring>

namespace tamsel::writer {

namespace {

struct splice {
    tamsel_writer *writer;
    state *s;
    bool placed = false;  // the current item has its separator
    bool written = false; // something reached the writer
};

tamsel_status on_piece(void *user, const void *bytes, size_t len, tamsel_error *error) {
    auto *sp = static_cast<splice *>(user);
    if (!sp->placed) {
        TAMSEL_TRY(before_value(sp->writer, error));
        sp->placed = true;
    }
    sp->written = true;
    TAMSEL_TRY(put(*sp->s, sp->writer, bytes, len, error));
    if (sp->s->truncated_now) {
        sp->s->truncated_now = false;
        sp->s->truncated_ever = true;
        return fail(error, TAMSEL_STATUS_OVERFLOW, "writer array item sink truncated output");
    }
    return TAMSEL_STATUS_OK;
}

// The writer must be able to take items: an ordinary sink, a live writer, an open array.
tamsel_status check_writer(tamsel_writer *w, tamsel_error *e) {
    state *s = state_of(w);
    if (!s) return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "writer is required");
    if (s->kind != sink_kind::ordinary)
        return fail(e, TAMSEL_STATUS_INVALID_ARGUMENT,
                    "writer array item splicing requires sink mode");
    if (s->failed) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer is in a failed state");
    if (s->value_stream_open)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer value stream is still open");
    if (s->string_open) return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer string is still open");
    if (s->ev.kind != event_kind::none)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer event is still active");
    if (!s->depth || s->stack[s->depth - 1].kind != container_array)
        return fail(e, TAMSEL_STATUS_INVALID_JSON, "writer is not inside an array");
    return TAMSEL_STATUS_OK;
}

tamsel_status splice_items(tamsel_writer *w, const char *array_path, const stream::input_spec &in,
                           tamsel_error *error) {
    tamsel_error *e = error ? error : (w ? &w->error : nullptr);
    TAMSEL_TRY(check_writer(w, e));
    state *s = state_of(w);
    stream::open_args args;
    args.settings = &s->settings;
    args.path = array_path;
    args.input = in;
    tamsel_error_init(e);
    tamsel_array_stream *as = stream::open(args, e);
    if (!as) {
        if (!e->code) fail(e, TAMSEL_STATUS_INVALID_ARGUMENT, "failed to open array item source");
        return e->code;
    }
    splice sp{w, s};
    tamsel_status st = TAMSEL_STATUS_OK;
    for (;;) {
        const tamsel_stream_result r = stream::next_raw(as, on_piece, &sp, e);
        if (r == TAMSEL_STREAM_ITEM) {
            sp.placed = false;
            continue;
        }
        if (r == TAMSEL_STREAM_END) break;
        st = r == TAMSEL_STREAM_WOULD_BLOCK
                 ? fail(e, TAMSEL_STATUS_CALLBACK_FAILED, "array item reader would block")
                 : (e->code ? e->code : TAMSEL_STATUS_INVALID_JSON);
        break;
    }
    tamsel_array_stream_close(as);
    if (st == TAMSEL_STATUS_OK) st = flush(*s, w, e);
    if (st != TAMSEL_STATUS_OK && sp.written) latch(*s);
    return st;
}

tamsel_status require(tamsel_writer *w, bool present, const char *message, tamsel_error *error) {
    if (present) return TAMSEL_STATUS_OK;
    return fail(error ? error : (w ? &w->error : nullptr), TAMSEL_STATUS_INVALID_ARGUMENT, "%s",
                message);
}

} // namespace

} // namespace tamsel::writer

using namespace tamsel;
using namespace tamsel::writer;

extern "C" tamsel_status tamsel_writer_array_items_reader(tamsel_writer *writer,
                                                          const char *array_path,
                                                          tamsel_reader reader, void *reader_user,
                                                          tamsel_error *error) {
    TAMSEL_TRY(require(writer, reader != nullptr, "reader callback is required", error));
    stream::input_spec in;
    in.kind = stream::input_kind::reader;
    in.reader = reader;
    in.reader_user = reader_user;
    return splice_items(writer, array_path, in, error);
}

extern "C" tamsel_status tamsel_writer_array_items_buffer(tamsel_writer *writer,
                                                          const char *array_path, const void *bytes,
                                                          size_t len, tamsel_error *error) {
    TAMSEL_TRY(require(writer, bytes || !len, "array item buffer is required", error));
    stream::input_spec in;
    in.kind = stream::input_kind::memory;
    in.bytes = bytes ? bytes : "";
    in.length = len;
    return splice_items(writer, array_path, in, error);
}

extern "C" tamsel_status tamsel_writer_array_items_filep(tamsel_writer *writer,
                                                         const char *array_path, FILE *file,
                                                         tamsel_error *error) {
    TAMSEL_TRY(require(writer, file != nullptr, "file pointer is required", error));
    stream::input_spec in;
    in.kind = stream::input_kind::file;
    in.file = file;
    return splice_items(writer, array_path, in, error);
}

extern "C" tamsel_status tamsel_writer_array_items_fd(tamsel_writer *writer, const char *array_path,
                                                      int fd, tamsel_error *error) {
    TAMSEL_TRY(require(writer, fd >= 0, "fd must be non-negative", error));
    stream::input_spec in;
    in.kind = stream::input_kind::fd;
    in.fd = fd;
    return splice_items(writer, array_path, in, error);
}

extern "C" tamsel_status tamsel_writer_array_items_path(tamsel_writer *writer,
                                                        const char *array_path, const char *path,
                                                        tamsel_error *error) {
    tamsel_error *e = error ? error : (writer ? &writer->error : nullptr);
    TAMSEL_TRY(require(writer, path && *path, "path is required", error));
    TAMSEL_TRY(check_writer(writer, e));
    unique_file file(std::fopen(path, "rb"));
    if (!file) return open_failed(e, path, 0);
    stream::input_spec in;
    in.kind = stream::input_kind::file;
    in.file = file.get();
    return splice_items(writer, array_path, in, error);
}

extern "C" tamsel_status tamsel_writer_array_items_spooled(tamsel_writer *writer,
                                                           const char *array_path,
                                                           const tamsel_spooled *spooled,
                                                           tamsel_error *error) {
    TAMSEL_TRY(require(writer, spooled != nullptr, "spooled array item source is required", error));
    tamsel_error *e = error ? error : (writer ? &writer->error : nullptr);
    TAMSEL_TRY(open_spooled_reader(spooled, e));
    spooled_cursor c{spooled};
    stream::input_spec in;
    in.kind = stream::input_kind::reader;
    in.reader = spooled_read;
    in.reader_user = &c;
    return splice_items(writer, array_path, in, error);
}

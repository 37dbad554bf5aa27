// Spooled values: a bounded in-memory prefix, the rest in a temporary spill file.
//
// Layout: the prefix `memory` holds bytes 0 .. memory_len-1 and is reallocated to exactly
// memory_len; the spill file holds bytes memory_len .. total_len-1 at file offsets from 0.
// Appends write at the file offset their first byte belongs to (not at the stream's end), so
// bytes left past the logical end by a failed append are overwritten by the next one. Reads
// use pread on the file's descriptor, so neither they nor replays depend on the stream's
// position; every append flushes the stream so those reads see what it wrote.
//
// Failure rule: an append that fails leaves the value exactly as it was: the prefix length is
// restored, the total is only raised on success, and a spill file that the failing append
// created is closed and removed again. A named spill file therefore never outlives the record
// that owns it, whatever path was taken.
#include "io/internal.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t default_memory_limit = 65536;
constexpr uint64_t default_max_bytes = 10485760;
constexpr uint64_t max_file_offset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

void set_methods(tamsel_spooled *s) {
    s->reset = tamsel_spooled_reset;
    s->cleanup = tamsel_spooled_cleanup;
    s->size = tamsel_spooled_size;
    s->spilled = tamsel_spooled_spilled;
    s->append = tamsel_spooled_append;
    s->rewind = tamsel_spooled_rewind;
    s->read = tamsel_spooled_read;
    s->write_to_sink = tamsel_spooled_write_to_sink;
}

tamsel_status io_failure(tamsel_error *error, int system_errno, const char *message) {
    tamsel::fail(error, TAMSEL_STATUS_IO_ERROR, "%s", message);
    if (error) error->system_errno = system_errno;
    return TAMSEL_STATUS_IO_ERROR;
}

// Closes the spill file and removes a named one.
void drop_spill_file(tamsel_spooled *s) {
    if (s->file) {
        std::fclose(s->file);
        s->file = nullptr;
    }
    if (s->path[0] != '\0') {
        ::unlink(s->path);
        s->path[0] = '\0';
    }
    s->is_spilled = 0;
}

// Releases the bytes of the value; the policy (limits, allocator, directory) stays.
void drop_value(tamsel_spooled *s) {
    tamsel::owned_free(s->memory);
    s->memory = nullptr;
    s->memory_len = 0;
    s->total_len = 0;
    s->read_pos = 0;
    drop_spill_file(s);
}

void drop_temp_dir(tamsel_spooled *s) {
    tamsel::owned_free(s->owned_temp_dir);
    s->owned_temp_dir = nullptr;
    s->temp_dir = nullptr;
}

// The allocator a record keeps: a complete one as given, anything else the process
// allocator without user data or statistics.
tamsel_allocator record_allocator(const tamsel_allocator *a) {
    if (a && a->malloc && a->realloc && a->free) return *a;
    return tamsel_default_allocator();
}

// A copy of the options' directory with `a`, or NULL (no directory, or the copy failed: the
// value then spills to an anonymous file).
char *copy_temp_dir(const tamsel_spool_options *o, const tamsel_allocator &a) {
    if (!o || !o->temp_dir || o->temp_dir[0] == '\0') return nullptr;
    return tamsel::owned_strdup(&a, o->temp_dir);
}

// Fills a record from scratch; `dir` (owned, may be NULL) becomes its directory copy.
void fill_record(tamsel_spooled *s, const tamsel_spool_options *o, const tamsel_allocator &a,
                 char *dir) {
    std::memset(s, 0, sizeof *s);
    set_methods(s);
    s->allocator = a;
    s->memory_limit = o ? o->memory_limit : default_memory_limit;
    s->max_bytes = o ? o->max_bytes : default_max_bytes;
    s->owned_temp_dir = dir;
    s->temp_dir = dir;
    s->magic = tamsel::io::spooled_mark(s);
}

tamsel_status open_spill_file(tamsel_spooled *s, tamsel_error *error) {
    if (!s->temp_dir || s->temp_dir[0] == '\0') {
        FILE *f = std::tmpfile();
        if (!f)
            return io_failure(error, tamsel::io::errno_or_eio(),
                              "failed to create anonymous spool file");
        s->file = f;
        s->path[0] = '\0';
        s->is_spilled = 1;
        return TAMSEL_STATUS_OK;
    }
    // Formatted into a local first: a name that does not fit is refused whole and `path`
    // never holds a cut-off name that cleanup would unlink.
    char name[TAMSEL_SPOOL_PATH_CAPACITY];
    int n = std::snprintf(name, sizeof name, "%s/tamsel-spool-XXXXXX", s->temp_dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name)
        return io_failure(error, 0, "temporary spool path is too long");
    int fd = ::mkstemp(name); // creates the file with mode 0600
    if (fd < 0) return io_failure(error, tamsel::io::errno_or_eio(), "failed to create spool file");
    std::memcpy(s->path, name, static_cast<size_t>(n) + 1);
    FILE *f = ::fdopen(fd, "w+b");
    if (!f) {
        int code = tamsel::io::errno_or_eio();
        ::close(fd);
        ::unlink(s->path);
        s->path[0] = '\0';
        return io_failure(error, code, "failed to open spool file");
    }
    s->file = f;
    s->is_spilled = 1;
    return TAMSEL_STATUS_OK;
}

// Writes `n` bytes at file offset `offset`; on failure a spill file this call created is
// removed again.
tamsel_status write_spill(tamsel_spooled *s, uint64_t offset, const unsigned char *p, size_t n,
                          tamsel_error *error) {
    if (offset > max_file_offset || n > max_file_offset - offset)
        return tamsel::fail(error, TAMSEL_STATUS_OVERFLOW, "spooled value size overflow");
    const bool created = s->file == nullptr;
    if (created) TAMSEL_TRY(open_spill_file(s, error));
    auto failed = [&](const char *message) {
        int code = tamsel::io::errno_or_eio();
        if (created) drop_spill_file(s);
        return io_failure(error, code, message);
    };
    if (::fseeko(s->file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return failed("failed to seek spool file for append");
    errno = 0;
    if (std::fwrite(p, 1, n, s->file) != n || std::fflush(s->file) != 0)
        return failed("failed to write spool file");
    // Reads do not use the stream position; it is kept at the read cursor all the same.
    uint64_t cursor = s->read_pos > s->memory_len ? s->read_pos - s->memory_len : 0;
    if (::fseeko(s->file, static_cast<off_t>(std::min(cursor, max_file_offset)), SEEK_SET) != 0)
        return failed("failed to restore spool file read cursor");
    return TAMSEL_STATUS_OK;
}

} // namespace

namespace tamsel::io {

uint32_t spooled_mark(const void *record) noexcept {
    return address_mark(record, TAMSEL_SPOOLED_MAGIC);
}

bool spooled_is_initialised(const tamsel_spooled *s) noexcept {
    return s && s->magic == spooled_mark(s);
}

void spooled_reinit(tamsel_spooled *s, const tamsel_spool_options *options,
                    const tamsel_allocator *allocator) {
    if (!s) return;
    // Everything taken from the arguments is copied before the old contents go: the options
    // or the allocator may be the record's own.
    const tamsel_allocator a = record_allocator(allocator);
    const tamsel_spool_options o = options ? *options : tamsel__default_spool_options();
    char *dir = copy_temp_dir(&o, a);
    if (spooled_is_initialised(s)) {
        drop_value(s);
        drop_temp_dir(s);
    }
    fill_record(s, &o, a, dir);
}

tamsel_read_result spooled_read_at(const tamsel_spooled &s, uint64_t *pos, void *buffer,
                                   size_t capacity) {
    tamsel_read_result r = tamsel_default_read_result();
    if (!buffer && capacity > 0) {
        r.error_code = EINVAL;
        return r;
    }
    if (*pos >= s.total_len) {
        r.eof = 1;
        return r;
    }
    if (capacity == 0) return r;
    if (*pos < s.memory_len) {
        // Never crosses from the prefix into the file in one call.
        size_t n = std::min(capacity, clamp_to_size(s.memory_len - *pos));
        std::memcpy(buffer, s.memory + *pos, n);
        *pos += n;
        r.bytes = n;
        r.eof = *pos >= s.total_len;
        return r;
    }
    if (!s.file) {
        r.eof = 1;
        return r;
    }
    const uint64_t offset = *pos - s.memory_len;
    size_t want = std::min(capacity, clamp_to_size(s.total_len - *pos));
    want = std::min(want, static_cast<size_t>(std::numeric_limits<ssize_t>::max()));
    if (offset > max_file_offset) {
        r.error_code = EOVERFLOW;
        return r;
    }
    const int fd = ::fileno(s.file);
    ssize_t n;
    do {
        n = ::pread(fd, buffer, want, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        r.error_code = errno_or_eio();
        return r;
    }
    if (n == 0) {
        // The file ends before the value does: someone shortened it.
        r.error_code = EIO;
        return r;
    }
    *pos += static_cast<uint64_t>(n);
    r.bytes = static_cast<size_t>(n);
    r.eof = *pos >= s.total_len;
    return r;
}

tamsel_status spooled_rewind_file(const tamsel_spooled &s, tamsel_error *error) {
    if (s.file && std::fseek(s.file, 0, SEEK_SET) != 0)
        return io_failure(error, errno_or_eio(), "failed to rewind spool file");
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::io

extern "C" void tamsel_spooled_init_with_allocator(tamsel_spooled *spooled,
                                                   const tamsel_spool_options *options,
                                                   const tamsel_allocator *allocator) {
    if (!spooled) return;
    const tamsel_allocator a = record_allocator(allocator);
    const tamsel_spool_options o = options ? *options : tamsel__default_spool_options();
    fill_record(spooled, &o, a, copy_temp_dir(&o, a));
}

extern "C" void tamsel_spooled_init_class(tamsel_runtime *runtime, tamsel_spooled *spooled,
                                          int spool_class) {
    if (!spooled) return;
    tamsel::runtime_borrow borrow;
    if (!borrow.try_acquire(runtime)) {
        tamsel_spooled_init_with_allocator(spooled, nullptr, nullptr);
        return;
    }
    // The directory string lives in the runtime: it is copied while the borrow is held.
    const tamsel_runtime_settings *s = borrow.settings();
    const int index = (spool_class == 1 || spool_class == 2) ? spool_class : 0;
    const tamsel_allocator a = tamsel::inherit_allocator(&s->allocator_copy);
    tamsel_spooled_init_with_allocator(spooled, &s->spool[index], &a);
}

extern "C" void tamsel_spooled_init(tamsel_runtime *runtime, tamsel_spooled *spooled) {
    tamsel_spooled_init_class(runtime, spooled, 0);
}

extern "C" void tamsel_spooled_cleanup(tamsel_spooled *spooled) {
    if (!tamsel::io::spooled_is_initialised(spooled)) return;
    drop_value(spooled);
    drop_temp_dir(spooled);
    set_methods(spooled);
    spooled->magic = tamsel::io::spooled_mark(spooled);
}

extern "C" void tamsel_spooled_reset(tamsel_spooled *spooled) {
    if (!tamsel::io::spooled_is_initialised(spooled)) return;
    drop_value(spooled);
    set_methods(spooled);
    spooled->magic = tamsel::io::spooled_mark(spooled);
}

extern "C" uint64_t tamsel_spooled_size(const tamsel_spooled *spooled) {
    return tamsel::io::spooled_is_initialised(spooled) ? spooled->total_len : 0;
}

extern "C" int tamsel_spooled_spilled(const tamsel_spooled *spooled) {
    return tamsel::io::spooled_is_initialised(spooled) ? spooled->is_spilled : 0;
}

namespace tamsel::io {

namespace {

void *grow_prefix_plainly(void *, tamsel_spooled *s, size_t size, tamsel_error *error,
                          tamsel_status *status) {
    void *grown = owned_realloc(&s->allocator, s->memory, size);
    if (!grown)
        *status = fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                       "failed to expand spooled in-memory prefix");
    return grown;
}

} // namespace

tamsel_status spooled_append(tamsel_spooled *s, const void *bytes, size_t len, tamsel_error *error,
                             prefix_grower grow, void *grow_ctx) {
    uint64_t total;
    if (__builtin_add_overflow(s->total_len, static_cast<uint64_t>(len), &total))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "spooled value size overflow");
    if (s->max_bytes != 0 && total > s->max_bytes)
        return fail(error, TAMSEL_STATUS_OVERFLOW, "spooled field exceeds configured max bytes");
    if (!grow) grow = grow_prefix_plainly;

    const auto *p = static_cast<const unsigned char *>(bytes);
    const uint64_t old_memory_len = s->memory_len;
    const uint64_t room = s->memory_limit > s->memory_len ? s->memory_limit - s->memory_len : 0;
    const size_t take = std::min(len, clamp_to_size(room));
    if (take > 0) {
        size_t size;
        if (!checked_add(clamp_to_size(s->memory_len), take, &size))
            return fail(error, TAMSEL_STATUS_OVERFLOW, "spooled value size overflow");
        size_t self_offset = 0;
        const bool from_self =
            offset_within(p, s->memory, clamp_to_size(s->memory_len), &self_offset);
        tamsel_status status = TAMSEL_STATUS_OK;
        void *grown = grow(grow_ctx, s, size, error, &status);
        if (!grown) return status;
        s->memory = static_cast<unsigned char *>(grown);
        if (from_self) p = s->memory + self_offset; // the bytes moved with the prefix
        std::memcpy(s->memory + s->memory_len, p, take);
        s->memory_len += take;
    }
    if (take < len) {
        // The prefix is full now; the first spilled byte has value index total_len + take.
        const uint64_t offset = s->total_len + take - s->memory_len;
        tamsel_status st = write_spill(s, offset, p + take, len - take, error);
        if (st != TAMSEL_STATUS_OK) {
            s->memory_len = old_memory_len;
            return st;
        }
    }
    s->total_len = total;
    return TAMSEL_STATUS_OK;
}

} // namespace tamsel::io

extern "C" tamsel_status tamsel_spooled_append(tamsel_spooled *spooled, const void *bytes,
                                               size_t len, tamsel_error *error) {
    using namespace tamsel;
    if (!io::spooled_is_initialised(spooled) || (!bytes && len > 0))
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid spooled append arguments");
    clear_error(error);
    if (len == 0) return TAMSEL_STATUS_OK;
    return io::spooled_append(spooled, bytes, len, error, nullptr, nullptr);
}

extern "C" tamsel_status tamsel_spooled_rewind(tamsel_spooled *spooled, tamsel_error *error) {
    if (!tamsel::io::spooled_is_initialised(spooled))
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "spooled value is required");
    spooled->read_pos = 0;
    TAMSEL_TRY(tamsel::io::spooled_rewind_file(*spooled, error));
    tamsel::clear_error(error);
    return TAMSEL_STATUS_OK;
}

extern "C" tamsel_read_result tamsel_spooled_read(void *user_data, void *buffer, size_t capacity) {
    auto *s = static_cast<tamsel_spooled *>(user_data);
    tamsel_read_result r = tamsel_default_read_result();
    if (!s) {
        r.eof = 1;
        return r;
    }
    if (!tamsel::io::spooled_is_initialised(s)) {
        r.error_code = EINVAL;
        return r;
    }
    return tamsel::io::spooled_read_at(*s, &s->read_pos, buffer, capacity);
}

namespace {

struct replay_cursor {
    const tamsel_spooled *spooled;
    uint64_t pos;
};

tamsel_read_result replay_read(void *user, void *buffer, size_t capacity) {
    auto *c = static_cast<replay_cursor *>(user);
    return tamsel::io::spooled_read_at(*c->spooled, &c->pos, buffer, capacity);
}

} // namespace

extern "C" tamsel_status tamsel_spooled_write_to_sink(const tamsel_spooled *spooled,
                                                      tamsel_sink sink, void *sink_user,
                                                      tamsel_error *error) {
    using namespace tamsel::io;
    if (!spooled_is_initialised(spooled) || !sink)
        return tamsel::fail(error, TAMSEL_STATUS_INVALID_ARGUMENT,
                            "spooled value and sink are required");
    TAMSEL_TRY(spooled_rewind_file(*spooled, error));
    tamsel::clear_error(error);
    replay_cursor cursor{spooled, 0};
    unsigned char block[spooled_block_size];
    for (;;) {
        pull_result got;
        TAMSEL_TRY(pull_reader(replay_read, &cursor, block, sizeof block,
                               "failed to read spooled value", &got, error));
        if (got.bytes > 0) {
            tamsel_status st = sink(sink_user, block, got.bytes, error);
            if (st != TAMSEL_STATUS_OK && st != TAMSEL_STATUS_TRUNCATED) return st;
        }
        if (got.eof || got.would_block) return TAMSEL_STATUS_OK;
    }
}

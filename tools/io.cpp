// Inputs, the buffered output, the progress line and the runtime the subcommands share.
#include "tool.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tool {
namespace {

constexpr uint64_t progress_threshold = 64ull << 20; // inputs above this size show progress
constexpr uint64_t progress_step = 1ull << 20;       // bytes between clock readings
constexpr double progress_interval = 0.25;           // seconds between redraws

// Strings and keys reach the visitor in chunks, so any length works in bounded memory. A
// number arrives whole in one callback and is gathered by the library: it keeps a cap.
constexpr uint64_t unlimited_text = UINT64_MAX >> 1;

// A descriptor left non-blocking by whoever shares it says "try again" instead of waiting:
// wait here until it is ready, as a blocking one would. False when it cannot be waited for.
bool wait_ready(int fd, short events) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, events, 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR) return false;
    return true;
}

double seconds_between(const timespec &a, const timespec &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

} // namespace

tamsel_runtime *make_runtime(const limits &l) {
    tamsel_config config = tamsel_default_config();
    // Any valid document passes: the parse budget, which holds the keys of one object for the
    // duplicate check and the frames of deep items, is what the input needs.
    config.max_parse_bytes = 0;
    const uint64_t depth = l.depth();
    config.max_depth = depth;
    config.max_string_bytes = l.max_string; // 0: unlimited
    config.value_max_depth = depth;
    config.value_max_string_bytes = l.max_string ? l.max_string : unlimited_text;
    config.value_max_key_bytes = l.max_string ? l.max_string : unlimited_text;
    config.value_max_number_bytes = max_number_bytes;
    config.value_max_total_bytes = 0;
    tamsel_error error;
    tamsel_runtime *runtime = tamsel_new(&config, &error);
    if (runtime && l.utf8_check && tamsel_set_utf8_check(runtime, 1, &error) != TAMSEL_STATUS_OK) {
        tamsel_free(runtime);
        runtime = nullptr;
    }
    if (!runtime) std::fprintf(stderr, "tamsel: %s\n", error.message);
    return runtime;
}

const char *describe(const tamsel_error &error, const limits &l, char *buffer, size_t size) {
    const char *m = error.message;
    if (std::strcmp(m, "JSON value nesting exceeds maximum depth") == 0 ||
        std::strcmp(m, "maximum nesting depth exceeded") == 0)
        std::snprintf(buffer, size, "nesting exceeds --max-depth %" PRIu64, l.depth());
    else if (std::strcmp(m, "JSON string exceeds maximum decoded byte limit") == 0 ||
             std::strcmp(m, "decoded JSON text exceeds limit") == 0)
        std::snprintf(buffer, size, "string exceeds --max-string %" PRIu64, l.max_string);
    else if (std::strcmp(m, "JSON object key exceeds maximum decoded byte limit") == 0)
        std::snprintf(buffer, size, "key exceeds --max-string %" PRIu64, l.max_string);
    else if (std::strcmp(m, "JSON number exceeds maximum byte limit") == 0)
        std::snprintf(buffer, size,
                      "number is longer than %" PRIu64 " bytes, the most tamsel reads",
                      max_number_bytes);
    else if (std::strcmp(m, "visited JSON must contain exactly one value") == 0)
        return "unexpected data after the JSON value";
    else if (std::strncmp(m, "invalid UTF-8 in ", 17) == 0)
        std::snprintf(buffer, size, "%s (--no-utf8-check accepts it)", m);
    else
        return m;
    return buffer;
}

bool parse_count(const char *text, uint64_t *out) {
    if (!text || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    *out = value;
    return true;
}

// ---- progress -------------------------------------------------------------------------------

void progress::start(const char *name, uint64_t size, bool size_known) {
    name_ = name;
    size_ = size;
    size_known_ = size_known;
    shown_ = false;
    enabled_ = isatty(STDERR_FILENO) && (!size_known || size > progress_threshold);
    next_check_ = size_known ? progress_step : progress_threshold;
    clock_gettime(CLOCK_MONOTONIC, &started_);
    drawn_ = started_;
}

void progress::tick(uint64_t bytes) {
    next_check_ = bytes + progress_step;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (seconds_between(drawn_, now) < progress_interval) return;
    drawn_ = now;
    const double elapsed = seconds_between(started_, now);
    const double mb = static_cast<double>(bytes) / 1e6;
    const double rate = elapsed > 0 ? mb / elapsed : 0;
    if (size_known_ && size_ > 0)
        std::fprintf(stderr, "\r%s: %.1f MB of %.1f MB (%.0f%%), %.1f MB/s\033[K", name_, mb,
                     static_cast<double>(size_) / 1e6,
                     100.0 * static_cast<double>(bytes) / static_cast<double>(size_), rate);
    else
        std::fprintf(stderr, "\r%s: %.1f MB, %.1f MB/s\033[K", name_, mb, rate);
    shown_ = true;
}

void progress::finish() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
}

// ---- input ----------------------------------------------------------------------------------

input::~input() {
    progress_.finish();
    if (owned_ && fd_ >= 0) close(fd_);
}

bool input::open(const char *arg) {
    if (!arg || std::strcmp(arg, "-") == 0) {
        name_ = "<stdin>";
        fd_ = STDIN_FILENO;
    } else {
        name_ = arg;
        fd_ = ::open(arg, O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            std::fprintf(stderr, "tamsel: %s: %s\n", name_, std::strerror(errno));
            return false;
        }
        owned_ = true;
    }
    struct stat st;
    const bool regular = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    progress_.start(name_, regular ? static_cast<uint64_t>(st.st_size) : 0, regular);
    return true;
}

size_t input::read(void *buffer, size_t capacity) {
    if (eof_ || errno_ || capacity == 0) return 0;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n > 0) {
            if (!saw_content_) note_content(buffer, static_cast<size_t>(n));
            bytes_ += static_cast<uint64_t>(n);
            progress_.update(bytes_);
            return static_cast<size_t>(n);
        }
        if (n == 0) {
            eof_ = true;
            return 0;
        }
        if (errno != EINTR && !wait_ready(fd_, POLLIN)) {
            errno_ = errno;
            return 0;
        }
    }
}

tamsel_read_result input::reader(void *user, void *buffer, size_t capacity) {
    auto *in = static_cast<input *>(user);
    tamsel_read_result r = tamsel_default_read_result();
    r.bytes = in->read(buffer, capacity);
    r.eof = in->eof_;
    r.error_code = in->errno_;
    return r;
}

void input::note_content(const void *bytes, size_t len) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < len && !saw_content_; ++i) {
        saw_content_ = !(p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r');
        if (saw_content_) first_content_ = p[i];
    }
}

void input::report_failure() {
    progress_.finish();
    std::fprintf(stderr, "tamsel: %s: %s\n", name_, std::strerror(errno_));
}

void input::report_error(size_t line, size_t column, const char *message) {
    progress_.finish();
    std::fprintf(stderr, "%s:%zu:%zu: %s\n", name_, line, column, message);
}

void input::report_error(const tamsel_error &error, const limits &l, size_t line) {
    if (!saw_content_ && error.code != TAMSEL_STATUS_OVERFLOW) {
        report_error(1, 1, "empty input");
        return;
    }
    char text[160];
    report_error(line, error.column, describe(error, l, text, sizeof text));
}

// ---- output ---------------------------------------------------------------------------------

bool output::write_out(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0 && !errno_) {
        ssize_t n = ::write(STDOUT_FILENO, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && !wait_ready(STDOUT_FILENO, POLLOUT)) {
            errno_ = errno;
        }
    }
    return !errno_;
}

tamsel_status output::put(const void *data, size_t len) {
    if (errno_) return TAMSEL_STATUS_IO_ERROR;
    if (len <= capacity - len_) {
        std::memcpy(buffer_ + len_, data, len);
        len_ += len;
        return TAMSEL_STATUS_OK;
    }
    if (!flush()) return TAMSEL_STATUS_IO_ERROR;
    if (len >= capacity) {
        passed_ += len;
        return write_out(data, len) ? TAMSEL_STATUS_OK : TAMSEL_STATUS_IO_ERROR;
    }
    std::memcpy(buffer_, data, len);
    len_ = len;
    return TAMSEL_STATUS_OK;
}

tamsel_status output::put(const char *text) {
    return put(text, std::strlen(text));
}

tamsel_status output::newline(size_t spaces) {
    static const char run[] = "\n                                                "
                              "                ";
    constexpr size_t room = sizeof run - 2; // spaces after the newline
    const size_t first = spaces < room ? spaces : room;
    tamsel_status st = put(run, 1 + first);
    for (spaces -= first; st == TAMSEL_STATUS_OK && spaces > 0;) {
        const size_t piece = spaces < room ? spaces : room;
        st = put(run + 1, piece);
        spaces -= piece;
    }
    return st;
}

const char *output::since(uint64_t mark, size_t *len) const {
    const uint64_t n = passed_ + len_ - mark;
    if (n > len_) return nullptr;
    *len = static_cast<size_t>(n);
    return buffer_ + (len_ - *len);
}

void output::take_back(uint64_t mark) {
    len_ = static_cast<size_t>(mark - passed_);
}

bool output::flush() {
    const size_t n = len_;
    passed_ += n;
    len_ = 0;
    return write_out(buffer_, n);
}

void output::report_failure() const {
    std::fprintf(stderr, "tamsel: <stdout>: %s\n", std::strerror(errno_));
}

tamsel_status output::sink(void *user, const void *data, size_t len, tamsel_error *) {
    return static_cast<output *>(user)->put(data, len);
}

int report_failure(input &in, const output *out, tamsel_status status, const tamsel_error &error,
                   const limits &l) {
    if (in.failed()) {
        in.report_failure();
        return exit_usage;
    }
    if (out && out->failed()) {
        in.finish_progress();
        out->report_failure();
        return exit_usage;
    }
    if (status == TAMSEL_STATUS_INVALID_JSON || status == TAMSEL_STATUS_OVERFLOW) {
        in.report_error(error, l, error.line);
        return exit_invalid;
    }
    in.finish_progress();
    std::fprintf(stderr, "tamsel: %s: %s (%s)\n", in.name(), error.message,
                 tamsel_status_string(status));
    return exit_usage;
}

} // namespace tool

#include "io_support.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

using io_test::scripted_reader;

namespace {

// Reads a buffer reader to its end with a fixed capacity, checking that no call writes past
// `capacity` (a sentinel follows the visible window) and that eof comes with the last bytes.
std::string drain_buffer_reader(tamsel_buffer_reader *r, size_t capacity) {
    std::string out;
    std::vector<unsigned char> window(capacity + 1);
    for (int guard = 0; guard < 10000; ++guard) {
        window[capacity] = 0xA5;
        tamsel_read_result got = tamsel_buffer_reader_read(r, window.data(), capacity);
        EXPECT_EQ(window[capacity], 0xA5) << "wrote past capacity " << capacity;
        EXPECT_EQ(got.error_code, 0);
        EXPECT_EQ(got.would_block, 0);
        EXPECT_LE(got.bytes, capacity);
        out.append(reinterpret_cast<const char *>(window.data()), got.bytes);
        if (got.eof) {
            EXPECT_EQ(got.bytes > 0, r->len > 0) << "the last bytes carry eof";
            return out;
        }
        EXPECT_EQ(got.bytes, capacity) << "a chunk short of capacity must be the last";
    }
    ADD_FAILURE() << "reader never reached eof";
    return out;
}

tamsel_read_result read_fd(int fd, void *buf, size_t cap) {
    return tamsel__fd_reader(&fd, buf, cap);
}

} // namespace

TEST(BufferReader, EveryCapacityDeliversTheBytesInOrder) {
    const std::string data = io_test::pattern(37);
    for (size_t capacity = 1; capacity <= data.size() + 2; ++capacity) {
        tamsel_buffer_reader r;
        tamsel_buffer_reader_init(&r, data.data(), data.size());
        EXPECT_EQ(drain_buffer_reader(&r, capacity), data) << "capacity " << capacity;
        char c;
        tamsel_read_result after = tamsel_buffer_reader_read(&r, &c, 1);
        EXPECT_EQ(after.bytes, 0u);
        EXPECT_EQ(after.eof, 1);
    }
}

TEST(BufferReader, EverySplitPointJoinsBackToTheInput) {
    const std::string data = io_test::pattern(29);
    for (size_t split = 0; split <= data.size(); ++split) {
        tamsel_buffer_reader r;
        tamsel_buffer_reader_init(&r, data.data(), data.size());
        std::string out(data.size() + 8, '\0');
        tamsel_read_result first = tamsel_buffer_reader_read(&r, out.data(), split);
        EXPECT_EQ(first.bytes, split);
        EXPECT_EQ(first.eof, split == data.size() ? 1 : 0);
        tamsel_read_result rest =
            tamsel_buffer_reader_read(&r, out.data() + first.bytes, out.size() - first.bytes);
        EXPECT_EQ(first.bytes + rest.bytes, data.size());
        EXPECT_EQ(rest.eof, 1);
        EXPECT_EQ(out.substr(0, data.size()), data) << "split " << split;
    }
}

TEST(BufferReader, EdgeAndBadArguments) {
    char buf[8];
    tamsel_buffer_reader r;
    tamsel_buffer_reader_init(&r, nullptr, 0);
    tamsel_read_result got = tamsel_buffer_reader_read(&r, buf, sizeof buf);
    EXPECT_EQ(got.eof, 1) << "NULL data of length 0 is an empty input";
    EXPECT_EQ(got.error_code, 0);

    tamsel_buffer_reader_init(&r, nullptr, 5);
    got = tamsel_buffer_reader_read(&r, buf, sizeof buf);
    EXPECT_EQ(got.error_code, 22);
    EXPECT_EQ(got.eof, 0);

    tamsel_buffer_reader_init(&r, "abc", 3);
    got = tamsel_buffer_reader_read(&r, buf, 0);
    EXPECT_EQ(got.bytes, 0u);
    EXPECT_EQ(got.eof, 0) << "capacity 0 before the end is not the end";
    EXPECT_EQ(r.pos, 0u);
    EXPECT_EQ(tamsel_buffer_reader_read(&r, nullptr, 3).error_code, 22);
    EXPECT_EQ(tamsel_buffer_reader_read(nullptr, buf, 3).error_code, 22);
    EXPECT_EQ(r.pos, 0u) << "failed calls consume nothing";
    tamsel_buffer_reader_init(nullptr, "x", 1); // ignored

    tamsel_read_result zero = tamsel_default_read_result();
    EXPECT_EQ(zero.bytes, 0u);
    EXPECT_EQ(zero.eof | zero.would_block | zero.error_code, 0);
}

// A stdio stream whose reads fail without setting errno.
namespace {
ssize_t failing_cookie_read(void *, char *, size_t) {
    errno = 0;
    return -1;
}
} // namespace

TEST(FileReader, StreamErrorWithoutErrnoIsEio) {
    cookie_io_functions_t io{};
    io.read = failing_cookie_read;
    FILE *f = fopencookie(nullptr, "r", io);
    ASSERT_NE(f, nullptr);
    char buf[16];
    errno = 0;
    tamsel_read_result got = tamsel__file_reader(f, buf, sizeof buf);
    EXPECT_EQ(got.bytes, 0u);
    EXPECT_EQ(got.error_code, EIO);
    std::fclose(f);
}

TEST(FileReader, ReadsThenReportsEofAndStaleErrnoIsIgnored) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    std::fputs("hello", f);
    std::rewind(f);
    char buf[16];
    errno = EACCES; // stale value from some earlier call
    tamsel_read_result got = tamsel__file_reader(f, buf, sizeof buf);
    EXPECT_EQ(got.bytes, 5u);
    EXPECT_EQ(got.eof, 1);
    EXPECT_EQ(got.error_code, 0);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(tamsel__file_reader(nullptr, buf, sizeof buf).error_code, 22);

    FILE *w = std::fopen("/dev/null", "w"); // reading a write-only stream fails
    ASSERT_NE(w, nullptr);
    got = tamsel__file_reader(w, buf, sizeof buf);
    EXPECT_NE(got.error_code, 0);
    std::fclose(w);
    std::fclose(f);
}

TEST(FdReader, BytesThenEofAndFailures) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    char buf[8];
    tamsel_read_result got = read_fd(p[0], buf, sizeof buf);
    EXPECT_EQ(got.bytes, 3u);
    EXPECT_EQ(got.eof, 0);
    got = read_fd(p[0], buf, sizeof buf);
    EXPECT_EQ(got.bytes, 0u);
    EXPECT_EQ(got.eof, 1);
    close(p[0]);

    got = read_fd(-1, buf, sizeof buf);
    EXPECT_EQ(got.error_code, EBADF);
    EXPECT_EQ(tamsel__fd_reader(nullptr, buf, sizeof buf).error_code, 22);
}

TEST(FdReader, EagainIsAnErrorUnlessTheCallerAsksForWouldBlock) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    char buf[8];
    tamsel_read_result got = read_fd(p[0], buf, sizeof buf);
    EXPECT_EQ(got.error_code, EAGAIN);
    EXPECT_EQ(got.would_block, 0);
    got = tamsel::io::read_fd_once(p[0], buf, sizeof buf, true);
    EXPECT_EQ(got.error_code, 0);
    EXPECT_EQ(got.would_block, 1);
    EXPECT_EQ(got.eof, 0);
    close(p[0]);
    close(p[1]);
}

TEST(FdReader, RetriesAfterASignalInterruptsTheRead) {
    io_test::install_interrupting_handler();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread helper([&] {
        // Interrupt the blocked read a few times before any data arrives.
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(reader, SIGUSR1);
        }
        EXPECT_EQ(write(p[1], "late", 4), 4);
        while (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    char buf[8];
    tamsel_read_result got = read_fd(p[0], buf, sizeof buf);
    done = true;
    helper.join();
    EXPECT_EQ(got.error_code, 0) << "EINTR must not reach the caller";
    EXPECT_EQ(std::string(buf, got.bytes), "late");
    close(p[0]);
    close(p[1]);
}

// ---- driving a reader -------------------------------------------------------------------

namespace {

// Pulls until eof, would-block or failure, concatenating the bytes.
tamsel_status pull_all(scripted_reader &r, std::string *out, tamsel_error *e,
                       bool *would_block = nullptr) {
    char buf[16];
    for (;;) {
        tamsel::io::pull_result got;
        tamsel_status st = tamsel::io::pull_reader(scripted_reader::read, &r, buf, sizeof buf,
                                                   "reader callback failed", &got, e);
        if (st != TAMSEL_STATUS_OK) return st;
        out->append(buf, got.bytes);
        if (got.would_block) {
            if (would_block) *would_block = true;
            return TAMSEL_STATUS_OK;
        }
        if (got.eof) return TAMSEL_STATUS_OK;
    }
}

} // namespace

TEST(PullReader, EmptyResultsAreNotTheEnd) {
    scripted_reader r;
    r.steps = {{"12"}, {""}, {"3", 1}};
    std::string out;
    tamsel_error e;
    EXPECT_EQ(pull_all(r, &out, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(out, "123");
    EXPECT_EQ(r.calls, 3u);
}

TEST(PullReader, GivesUpAfterTheLimitOfEmptyResultsInARow) {
    // One short of the limit, then data: fine. The counter starts again after data.
    scripted_reader ok;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < TAMSEL_READER_MAX_EMPTY_READS - 1; ++i)
            ok.steps.push_back({""});
        ok.steps.push_back({"x", round == 1});
    }
    std::string out;
    tamsel_error e;
    EXPECT_EQ(pull_all(ok, &out, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(out, "xx");

    scripted_reader stuck; // empty results forever
    out.clear();
    EXPECT_EQ(pull_all(stuck, &out, &e), TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader made no progress");
    EXPECT_EQ(stuck.calls, static_cast<size_t>(TAMSEL_READER_MAX_EMPTY_READS));
}

TEST(PullReader, MoreBytesThanCapacityIsAReaderFailure) {
    scripted_reader r;
    r.steps = {{"ab", 0, 0, 0, 17}}; // claims 17 bytes of a 16-byte buffer
    std::string out;
    tamsel_error e;
    EXPECT_EQ(pull_all(r, &out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(e.system_errno, 22);
    EXPECT_STREQ(e.message, "reader callback failed");
    EXPECT_TRUE(out.empty());

    scripted_reader stream;
    stream.steps = {{"ab", 0, 0, 0, 1000}};
    char buf[4];
    tamsel::io::pull_result got;
    EXPECT_EQ(tamsel::io::pull_reader(scripted_reader::read, &stream, buf, sizeof buf,
                                      "stream read failed", &got, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "stream read failed");
    EXPECT_EQ(got.bytes, 0u);
}

TEST(PullReader, ErrorCodeWinsOverBytesAndIsStored) {
    scripted_reader r;
    r.steps = {{"ok"}, {"lost", 0, 0, EPIPE}};
    std::string out;
    tamsel_error e;
    EXPECT_EQ(pull_all(r, &out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(out, "ok");
    EXPECT_EQ(e.system_errno, EPIPE);
    EXPECT_STREQ(e.message, "reader callback failed");
}

TEST(PullReader, WouldBlockAndEofComeBackWithTheirBytes) {
    scripted_reader r;
    r.steps = {{"", 0, 0}, {"ab", 0, 1}};
    std::string out;
    tamsel_error e;
    bool blocked = false;
    EXPECT_EQ(pull_all(r, &out, &e, &blocked), TAMSEL_STATUS_OK);
    EXPECT_TRUE(blocked);
    EXPECT_EQ(out, "ab");

    scripted_reader bare;
    bare.steps = {{"", 0, 1}, {"", 1}};
    char buf[4];
    tamsel::io::pull_result got;
    ASSERT_EQ(tamsel::io::pull_reader(scripted_reader::read, &bare, buf, sizeof buf, "m", &got, &e),
              TAMSEL_STATUS_OK);
    EXPECT_TRUE(got.would_block);
    EXPECT_FALSE(got.eof);
    EXPECT_EQ(got.bytes, 0u);
    ASSERT_EQ(tamsel::io::pull_reader(scripted_reader::read, &bare, buf, sizeof buf, "m", &got, &e),
              TAMSEL_STATUS_OK);
    EXPECT_TRUE(got.eof);
    EXPECT_FALSE(got.would_block);
}

TEST(PullReader, RecordsFailuresAtTheCallersPosition) {
    scripted_reader r;
    r.steps = {{"", 0, 0, EIO}};
    char buf[4];
    tamsel::io::pull_result got;
    tamsel_error e;
    ASSERT_EQ(tamsel::io::pull_reader(scripted_reader::read, &r, buf, sizeof buf,
                                      "reader callback failed", &got, &e, {12, 3, 4}),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(e.offset, 12u);
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(e.column, 4u);
    EXPECT_EQ(tamsel::io::pull_reader(scripted_reader::read, &r, buf, 0, "m", &got, nullptr),
              TAMSEL_STATUS_INTERNAL_ERROR)
        << "a zero-capacity pull could never make progress";
}

#include "io_support.hpp"
#include "support/counting_allocator.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

using tamsel_test::counting_allocator;

// ---- FILE* and descriptor sinks ----------------------------------------------------------

TEST(FileSink, ShortWriteKeepsPositionsAndStoresErrno) {
    FILE *full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    tamsel_error e;
    tamsel__set_error(&e, TAMSEL_STATUS_OK, 40, 2, 7, "%s", "");
    EXPECT_EQ(tamsel__sink_file(full, "abc", 3, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to write JSON output");
    EXPECT_EQ(e.system_errno, ENOSPC);
    EXPECT_EQ(e.offset, 40u);
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 7u);
    EXPECT_EQ(tamsel__sink_file(full, nullptr, 0, &e), TAMSEL_STATUS_OK) << "len 0 at once";
    std::fclose(full);
    EXPECT_EQ(tamsel__sink_file(nullptr, "a", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "file sink arguments are invalid");
}

TEST(FdSink, FailuresStoreErrno) {
    tamsel_error e;
    int bad = -1;
    EXPECT_EQ(tamsel__sink_fd(&bad, "x", 1, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to write rewrite output fd");
    EXPECT_EQ(e.system_errno, EBADF);
    EXPECT_EQ(tamsel__sink_fd(&bad, nullptr, 0, &e), TAMSEL_STATUS_OK) << "len 0 at once";
    EXPECT_EQ(tamsel__sink_fd(nullptr, "x", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);

    signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    EXPECT_EQ(tamsel__sink_fd(&p[1], "x", 1, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(e.system_errno, EPIPE);
    close(p[1]);
}

// A pipe holds far less than we write, so the writer blocks; signals keep interrupting it,
// which gives both EINTR and short writes. Every byte must still arrive, in order.
TEST(FdSink, ContinuesShortWritesAndRetriesInterruptedOnes) {
    io_test::install_interrupting_handler();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const std::string data = io_test::pattern(4 << 20);
    std::string received;
    std::atomic<bool> writing{true};
    std::thread drain([&] {
        char buf[8192];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) != 0) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            received.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    const pthread_t writer = pthread_self();
    std::thread interrupter([&] {
        while (writing.load()) {
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    tamsel_error e;
    tamsel_status st = tamsel__sink_fd(&p[1], data.data(), data.size(), &e);
    writing = false;
    interrupter.join();
    close(p[1]);
    drain.join();
    close(p[0]);
    EXPECT_EQ(st, TAMSEL_STATUS_OK) << e.message;
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

// ---- owned buffers ------------------------------------------------------------------------

TEST(OwnedBuffer, GrowsFrom64ByDoublingAndStaysTerminated) {
    counting_allocator a;
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    b.allocator = a.value();
    std::string expect;
    const size_t appends[] = {1, 100, 26, 1, 200, 700, 3000}; // 127 + NUL fills 128
    const size_t capacities[] = {64, 128, 128, 256, 512, 2048, 4096};
    for (size_t i = 0; i < std::size(appends); ++i) {
        std::string chunk = io_test::pattern(appends[i], static_cast<unsigned>(i));
        ASSERT_EQ(tamsel_owned_buffer_sink(&b, chunk.data(), chunk.size(), nullptr),
                  TAMSEL_STATUS_OK);
        expect += chunk;
        EXPECT_EQ(b.capacity, capacities[i]) << "after append " << i;
        EXPECT_EQ(b.len, expect.size());
        EXPECT_EQ(std::string(b.data, b.len), expect);
        EXPECT_EQ(b.data[b.len], '\0');
        EXPECT_EQ(a.stats.current_bytes, b.capacity) << "statistics count the capacity";
    }
    EXPECT_EQ(a.stats.alloc_count, 1u);
    EXPECT_EQ(a.stats.realloc_count, 5u);
    tamsel_owned_buffer_free(&b);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_EQ(a.stats.free_count, 1u);
    EXPECT_EQ(a.live_blocks(), 0u);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.capacity, 0u);
    EXPECT_EQ(b.allocator.stats, nullptr) << "free restores the initial state";
    tamsel_allocator d = tamsel_default_allocator();
    EXPECT_EQ(b.allocator.malloc, d.malloc);
    // Reusable afterwards, with the process allocator.
    ASSERT_EQ(tamsel_owned_buffer_sink(&b, "again", 5, nullptr), TAMSEL_STATUS_OK);
    EXPECT_STREQ(b.data, "again");
    tamsel_owned_buffer_free(&b);
    tamsel_owned_buffer_free(&b);
    tamsel_owned_buffer_free(nullptr);
}

TEST(OwnedBuffer, EmptyAppendsAndBadArguments) {
    counting_allocator a;
    tamsel_owned_buffer b;
    tamsel_owned_buffer_init(&b);
    b.allocator = a.value();
    tamsel_error e;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, nullptr, 0, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(a.calls(), 0u) << "nothing allocated for an empty append";
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, nullptr, 3, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "owned buffer sink arguments are invalid");
    EXPECT_EQ(tamsel_owned_buffer_sink(nullptr, "x", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "owned buffer sink arguments are invalid");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(a.calls(), 0u);
    tamsel_owned_buffer_init(nullptr);
}

TEST(OwnedBuffer, PartialAllocatorIsRefused) {
    counting_allocator a;
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    b.allocator = tamsel_allocator{};
    b.allocator.malloc = a.value().malloc; // only malloc
    b.allocator.user_data = &a;
    tamsel_error e;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, "abc", 3, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(a.calls(), 0u);
    tamsel_owned_buffer_free(&b);
}

TEST(OwnedBuffer, StatisticsCountedWheneverAttached) {
    // Process callbacks from tamsel_default_allocator, or no callbacks at all: the attached
    // statistics see the growth and the free alike.
    for (bool explicit_callbacks : {true, false}) {
        tamsel_alloc_stats stats{};
        tamsel_owned_buffer b = tamsel_default_owned_buffer();
        if (!explicit_callbacks) b.allocator = tamsel_allocator{};
        b.allocator.stats = &stats;
        const std::string data = io_test::pattern(100);
        ASSERT_EQ(tamsel_owned_buffer_sink(&b, data.data(), data.size(), nullptr),
                  TAMSEL_STATUS_OK);
        EXPECT_EQ(stats.alloc_count, 1u);
        EXPECT_EQ(stats.current_bytes, 128u);
        tamsel_owned_buffer_free(&b);
        EXPECT_EQ(stats.current_bytes, 0u) << "explicit callbacks: " << explicit_callbacks;
        EXPECT_EQ(stats.free_count, 1u);
    }
}

TEST(OwnedBuffer, GrowthFailureKeepsTheOldContents) {
    counting_allocator a;
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    b.allocator = a.value();
    ASSERT_EQ(tamsel_owned_buffer_sink(&b, "kept", 4, nullptr), TAMSEL_STATUS_OK);
    char *before = b.data;
    a.fail_at(a.calls() + 1);
    const std::string big(100, 'x');
    tamsel_error e;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, big.data(), big.size(), &e),
              TAMSEL_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(e.message, "failed to grow owned buffer sink");
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(b.len, 4u);
    EXPECT_EQ(b.capacity, 64u);
    EXPECT_STREQ(b.data, "kept");
    EXPECT_EQ(a.stats.current_bytes, 64u);
    tamsel_owned_buffer_free(&b);
    EXPECT_EQ(a.live_blocks(), 0u);
}

namespace {

// An allocator that records the size asked for and refuses it.
struct refusing_allocator {
    size_t asked = 0;
    static void *do_malloc(void *u, size_t n) {
        static_cast<refusing_allocator *>(u)->asked = n;
        return nullptr;
    }
    static void *do_realloc(void *u, void *, size_t n) { return do_malloc(u, n); }
    static void do_free(void *, void *) { ADD_FAILURE() << "nothing to free"; }
    tamsel_allocator get() { return {do_malloc, do_realloc, do_free, this, nullptr}; }
};

} // namespace

TEST(OwnedBuffer, SizeArithmeticNeverWraps) {
    char fake[8] = "abc";
    refusing_allocator r;
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    b.allocator = r.get();
    b.data = fake; // never touched: every case fails before writing
    tamsel_error e;

    // len + new bytes + NUL wraps size_t.
    b.len = SIZE_MAX - 2;
    b.capacity = SIZE_MAX - 1;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, "xy", 2, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "owned buffer sink size overflow");
    EXPECT_EQ(r.asked, 0u) << "no allocation attempted";
    EXPECT_EQ(b.len, SIZE_MAX - 2);

    // Doubling the capacity would wrap: exactly the needed size is asked for.
    b.capacity = SIZE_MAX / 2 + 1;
    b.len = b.capacity - 1;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, "0123456789", 10, &e), TAMSEL_STATUS_ALLOCATION_FAILED);
    EXPECT_EQ(r.asked, b.len + 10 + 1);
    EXPECT_EQ(b.data, fake);
    EXPECT_EQ(b.capacity, SIZE_MAX / 2 + 1);
}

TEST(OwnedBuffer, AppendingItsOwnBytesSurvivesTheMove) {
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    ASSERT_EQ(tamsel_owned_buffer_sink(&b, "abcdefgh", 8, nullptr), TAMSEL_STATUS_OK);
    std::string expect = "abcdefgh";
    for (int i = 0; i < 6; ++i) { // each round doubles the contents and forces growth
        ASSERT_EQ(tamsel_owned_buffer_sink(&b, b.data, b.len, nullptr), TAMSEL_STATUS_OK);
        expect += expect;
    }
    EXPECT_EQ(std::string(b.data, b.len), expect);
    tamsel_owned_buffer_free(&b);
}

// Appends that fit the block take the short path: every size, from bytes of the buffer itself
// that overlap where they go, lands as memmove would put it; a partial allocator is refused
// there too.
TEST(OwnedBuffer, AppendsWithinTheBlockMoveLikeMemmove) {
    tamsel_owned_buffer b = tamsel_default_owned_buffer();
    const std::string filled = io_test::pattern(511); // every byte of the block is set
    ASSERT_EQ(tamsel_owned_buffer_sink(&b, filled.data(), filled.size(), nullptr), 0);
    ASSERT_EQ(b.capacity, 512u);
    const std::string expect = filled.substr(0, 300);
    for (size_t n = 0; n <= 24; ++n) {
        for (size_t back : {size_t{1}, size_t{3}, n / 2 + 1, n + 1}) {
            b.len = expect.size(); // rewind: every round appends into the same room
            const std::string moved(b.data + b.len - back, n); // runs past len when back < n
            ASSERT_EQ(tamsel_owned_buffer_sink(&b, b.data + b.len - back, n, nullptr), 0);
            ASSERT_EQ(b.capacity, 512u) << "no growth";
            ASSERT_EQ(std::string(b.data, b.len), expect + moved) << n << " back " << back;
            ASSERT_EQ(b.data[b.len], '\0');
        }
    }
    b.allocator.realloc = nullptr;
    tamsel_error e;
    EXPECT_EQ(tamsel_owned_buffer_sink(&b, "x", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");
    b.allocator = tamsel_default_allocator();
    tamsel_owned_buffer_free(&b);
}

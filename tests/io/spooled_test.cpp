#include "io_support.hpp"
#include "support/counting_allocator.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

using io_test::collecting_sink;
using io_test::scratch_dir;
using tamsel_test::counting_allocator;

namespace {

tamsel_spool_options options(uint64_t memory_limit, uint64_t max_bytes,
                             const char *temp_dir = nullptr) {
    return {memory_limit, max_bytes, temp_dir};
}

// Reads with `capacity` until eof, failing the test on a read error.
std::string read_all(tamsel_spooled *s, size_t capacity) {
    std::string out;
    std::vector<char> buf(capacity);
    for (int guard = 0; guard < 100000; ++guard) {
        tamsel_read_result r = tamsel_spooled_read(s, buf.data(), capacity);
        EXPECT_EQ(r.error_code, 0);
        if (r.error_code) break;
        out.append(buf.data(), r.bytes);
        if (r.eof) break;
    }
    return out;
}

std::string replay(const tamsel_spooled *s) {
    collecting_sink out;
    tamsel_error e;
    EXPECT_EQ(tamsel_spooled_write_to_sink(s, collecting_sink::sink, &out, &e), TAMSEL_STATUS_OK)
        << e.message;
    return out.bytes;
}

} // namespace

TEST(Spooled, SmallLimitKeepsAPrefixAndSpillsTheRest) {
    tamsel_spooled s;
    tamsel_spool_options o = options(4, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    tamsel_error e;
    ASSERT_EQ(s.append(&s, "0123456789", 10, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(s.memory_len, 4u);
    EXPECT_EQ(tamsel_spooled_size(&s), 10u);
    EXPECT_EQ(tamsel_spooled_spilled(&s), 1);
    EXPECT_STREQ(s.path, "") << "anonymous spill file";
    char buf[100];
    tamsel_read_result r = tamsel_spooled_read(&s, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, r.bytes), "0123") << "a read never crosses the prefix end";
    EXPECT_EQ(r.eof, 0);
    r = s.read(&s, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, r.bytes), "456789");
    EXPECT_EQ(r.eof, 1);
    r = tamsel_spooled_read(&s, buf, sizeof buf);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(r.eof, 1);
    EXPECT_EQ(r.would_block, 0);
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, MaxBytesIsInclusiveAndARefusalChangesNothing) {
    tamsel_spooled s;
    tamsel_spool_options o = options(3, 10);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    tamsel_error e;
    ASSERT_EQ(tamsel_spooled_append(&s, "01234", 5, &e), TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_spooled_append(&s, "56789", 5, &e), TAMSEL_STATUS_OK);
    const tamsel_spooled before = s;
    EXPECT_EQ(tamsel_spooled_append(&s, "x", 1, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "spooled field exceeds configured max bytes");
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
    EXPECT_EQ(tamsel_spooled_size(&s), 10u);
    EXPECT_EQ(tamsel_spooled_append(&s, nullptr, 0, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0) << "an empty append changes nothing";
    EXPECT_EQ(replay(&s), "0123456789");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, ReadsInterleaveWithAppends) {
    tamsel_spooled s;
    tamsel_spool_options o = options(5, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "abc", 3, nullptr), TAMSEL_STATUS_OK);
    char buf[4];
    tamsel_read_result r = tamsel_spooled_read(&s, buf, 2);
    EXPECT_EQ(std::string(buf, r.bytes), "ab");
    ASSERT_EQ(tamsel_spooled_append(&s, "defghij", 7, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(read_all(&s, 3), "cdefghij");
    ASSERT_EQ(tamsel_spooled_append(&s, "kl", 2, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(read_all(&s, 3), "kl");
    ASSERT_EQ(s.rewind(&s, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(read_all(&s, 100), "abcdefghijkl");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, WriteToSinkTwiceLeavesTheCursorAlone) {
    tamsel_spooled s;
    tamsel_spool_options o = options(100, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    const std::string data = io_test::pattern(9000);
    ASSERT_EQ(tamsel_spooled_append(&s, data.data(), data.size(), nullptr), TAMSEL_STATUS_OK);
    char buf[10];
    ASSERT_EQ(tamsel_spooled_read(&s, buf, sizeof buf).bytes, 10u);
    collecting_sink out;
    ASSERT_EQ(s.write_to_sink(&s, collecting_sink::sink, &out, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(out.calls, 4u) << "100 from memory, then blocks of 4096 from the file";
    EXPECT_TRUE(out.bytes == data);
    EXPECT_TRUE(replay(&s) == data);
    EXPECT_EQ(s.read_pos, 10u);

    collecting_sink truncating;
    truncating.ok_status = TAMSEL_STATUS_TRUNCATED;
    EXPECT_EQ(tamsel_spooled_write_to_sink(&s, collecting_sink::sink, &truncating, nullptr),
              TAMSEL_STATUS_OK)
        << "status 7 from the sink is not passed on";
    collecting_sink failing;
    failing.fail_on_call = 2;
    tamsel_error e;
    EXPECT_EQ(tamsel_spooled_write_to_sink(&s, collecting_sink::sink, &failing, &e),
              TAMSEL_STATUS_CALLBACK_FAILED)
        << "a sink failing mid-replay stops it with its own status";
    EXPECT_EQ(failing.calls, 2u);
    tamsel_spooled_cleanup(&s);

    tamsel_spooled empty;
    tamsel_spooled_init_with_allocator(&empty, nullptr, nullptr);
    collecting_sink none;
    EXPECT_EQ(tamsel_spooled_write_to_sink(&empty, collecting_sink::sink, &none, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(none.calls, 0u);
    char c;
    EXPECT_EQ(tamsel_spooled_read(&empty, &c, 1).eof, 1);
    tamsel_spooled_cleanup(&empty);
}

TEST(Spooled, CleanupTwiceAfterASpillIsClean) {
    tamsel_spooled s;
    tamsel_spool_options o = options(4, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    tamsel_spooled_cleanup(&s);
    EXPECT_EQ(s.file, nullptr);
    EXPECT_EQ(s.is_spilled, 0);
    tamsel_spooled_cleanup(&s);
    // The same through reset, and reset followed by cleanup.
    ASSERT_EQ(tamsel_spooled_append(&s, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    tamsel_spooled_reset(&s);
    EXPECT_EQ(s.file, nullptr);
    tamsel_spooled_reset(&s);
    tamsel_spooled_cleanup(&s);
    EXPECT_EQ(s.memory_limit, 4u) << "cleanup keeps the limits";
    EXPECT_EQ(s.cleanup, tamsel_spooled_cleanup);
    EXPECT_TRUE(tamsel::io::spooled_is_initialised(&s)) << "a cleaned record stays usable";
    ASSERT_EQ(tamsel_spooled_append(&s, "abcdef", 6, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(replay(&s), "abcdef");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, NamedSpillFileLivesUntilCleanup) {
    scratch_dir dir;
    tamsel_spooled s;
    tamsel_spool_options o = options(2, 0, dir.c_str());
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    EXPECT_NE(s.temp_dir, dir.c_str()) << "the record keeps its own copy";
    EXPECT_STREQ(s.temp_dir, dir.c_str());
    ASSERT_EQ(tamsel_spooled_append(&s, "ab", 2, nullptr), TAMSEL_STATUS_OK);
    EXPECT_TRUE(dir.entries().empty()) << "no file before the first spill";
    ASSERT_EQ(tamsel_spooled_append(&s, "cdef", 4, nullptr), TAMSEL_STATUS_OK);
    auto names = dir.entries();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("tamsel-spool-", 0), 0u) << names[0];
    EXPECT_EQ(std::string(s.path), dir.path() + "/" + names[0]);
    struct stat st;
    ASSERT_EQ(stat(s.path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 4);

    tamsel_spooled_reset(&s);
    EXPECT_TRUE(dir.entries().empty()) << "reset removes the file";
    EXPECT_STREQ(s.temp_dir, dir.c_str()) << "reset keeps the directory";
    ASSERT_EQ(tamsel_spooled_append(&s, "0123", 4, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(dir.entries().size(), 1u);
    tamsel_spooled_cleanup(&s);
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(s.temp_dir, nullptr) << "cleanup drops the directory";
    EXPECT_EQ(s.owned_temp_dir, nullptr);
}

// Builds an existing directory whose path is exactly `length` characters long.
std::string directory_of_length(const scratch_dir &base, size_t length) {
    std::string path = base.path();
    EXPECT_LT(path.size() + 2, length);
    while (path.size() < length) {
        size_t room = length - path.size() - 1; // the '/' before the component
        size_t part = std::min<size_t>(room, 200);
        if (room - part == 1) --part; // never leave room for only a '/'
        path += "/" + std::string(part, 'd');
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    }
    return path;
}

TEST(Spooled, DirectoryNameMustFitThePathField) {
    scratch_dir base;
    // "/tamsel-spool-XXXXXX" adds 20 characters; with the NUL 512 bytes hold a 491-byte name.
    const std::string fits = directory_of_length(base, 491);
    tamsel_spooled s;
    tamsel_spool_options o = options(0, 0, fits.c_str());
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    tamsel_error e;
    ASSERT_EQ(tamsel_spooled_append(&s, "x", 1, &e), TAMSEL_STATUS_OK) << e.message;
    EXPECT_EQ(std::strlen(s.path), 511u);
    tamsel_spooled_cleanup(&s);

    const std::string too_long = fits + "e"; // 492: the name would need 513 bytes
    o = options(3, 0, too_long.c_str());
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "ab", 2, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_spooled_append(&s, "cdef", 4, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "temporary spool path is too long");
    EXPECT_EQ(e.system_errno, 0);
    EXPECT_STREQ(s.path, "") << "never a cut-off name";
    EXPECT_EQ(tamsel_spooled_size(&s), 2u) << "the failed append left the value as it was";
    EXPECT_EQ(tamsel_spooled_spilled(&s), 0);
    EXPECT_EQ(read_all(&s, 10), "ab") << "the bytes in memory stay readable";
    tamsel_spooled_cleanup(&s);

    std::string huge(600, 'z');
    o = options(0, 0, huge.c_str());
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    EXPECT_EQ(tamsel_spooled_append(&s, "a", 1, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "temporary spool path is too long");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, MissingOrNonDirectoryTempDirKeepsErrno) {
    scratch_dir dir;
    const std::string missing = dir.path() + "/missing";
    const std::string regular = dir.path() + "/file";
    io_test::write_file(regular, "");
    const struct {
        const std::string *path;
        int expected;
    } cases[] = {{&missing, ENOENT}, {&regular, ENOTDIR}};
    for (const auto &c : cases) {
        tamsel_spooled s;
        tamsel_spool_options o = options(1, 0, c.path->c_str());
        tamsel_spooled_init_with_allocator(&s, &o, nullptr);
        tamsel_error e;
        EXPECT_EQ(tamsel_spooled_append(&s, "abc", 3, &e), TAMSEL_STATUS_IO_ERROR);
        EXPECT_STREQ(e.message, "failed to create spool file");
        EXPECT_EQ(e.system_errno, c.expected) << *c.path;
        EXPECT_EQ(tamsel_spooled_size(&s), 0u);
        EXPECT_EQ(s.memory_len, 0u);
        tamsel_spooled_cleanup(&s);
    }
    auto left = dir.entries();
    EXPECT_EQ(left.size(), 1u) << "only the regular file we made";
}

// Root may write into any directory, so the unwritable case runs in a child that gives up
// its privileges first.
TEST(Spooled, UnwritableTempDirKeepsErrno) {
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    auto attempt = [&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        tamsel_spooled s;
        tamsel_spool_options o = options(0, 0, dir.c_str());
        tamsel_spooled_init_with_allocator(&s, &o, nullptr);
        tamsel_error e;
        tamsel_status st = tamsel_spooled_append(&s, "abc", 3, &e);
        tamsel_spooled_cleanup(&s);
        bool ok = st == TAMSEL_STATUS_IO_ERROR &&
                  std::strcmp(e.message, "failed to create spool file") == 0 &&
                  e.system_errno == EACCES;
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(attempt(), ::testing::ExitedWithCode(0), "");
    chmod(dir.c_str(), 0700);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Spooled, WriteFailureRemovesTheFileItCreated) {
    scratch_dir dir;
    // Writes past 4096 bytes fail with EFBIG while the limit is in force.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    tamsel_spooled s;
    tamsel_spool_options o = options(4, 0, dir.c_str());
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    const std::string big = io_test::pattern(10000);
    tamsel_error e;
    EXPECT_EQ(tamsel_spooled_append(&s, big.data(), big.size(), &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to write spool file");
    EXPECT_EQ(e.system_errno, EFBIG);
    EXPECT_TRUE(dir.entries().empty()) << "the file this append created is gone";
    EXPECT_EQ(tamsel_spooled_spilled(&s), 0);
    EXPECT_EQ(tamsel_spooled_size(&s), 0u);
    EXPECT_EQ(s.memory_len, 0u);

    // An existing spill file: the failing append keeps it, the value stays as it was.
    ASSERT_EQ(tamsel_spooled_append(&s, big.data(), 1000, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_spooled_append(&s, big.data(), 5000, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(tamsel_spooled_size(&s), 1000u);
    EXPECT_EQ(dir.entries().size(), 1u);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    // Bytes the failed append left past the logical end are overwritten by the next one.
    ASSERT_EQ(tamsel_spooled_append(&s, "tail", 4, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(replay(&s), big.substr(0, 1000) + "tail");
    tamsel_spooled_cleanup(&s);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Spooled, ShortenedSpillFileIsAReadError) {
    tamsel_spooled s;
    tamsel_spool_options o = options(4, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    ASSERT_EQ(ftruncate(fileno(s.file), 0), 0);
    char buf[64];
    tamsel_read_result r = tamsel_spooled_read(&s, buf, sizeof buf);
    EXPECT_EQ(r.bytes, 4u) << "the prefix is still there";
    r = tamsel_spooled_read(&s, buf, sizeof buf);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(r.error_code, 5);
    EXPECT_EQ(r.eof, 0);
    collecting_sink out;
    tamsel_error e;
    EXPECT_EQ(tamsel_spooled_write_to_sink(&s, collecting_sink::sink, &out, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to read spooled value");
    EXPECT_EQ(e.system_errno, 5);
    EXPECT_EQ(out.bytes, "0123");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, ReadsNeverAskForMoreThanTheValueHolds) {
    // A spill file with bytes past the value's end (as a failed append can leave) must not
    // leak them into reads.
    tamsel_spooled s;
    tamsel_spool_options o = options(2, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "abcd", 4, nullptr), TAMSEL_STATUS_OK);
    ASSERT_EQ(pwrite(fileno(s.file), "cdGARBAGE", 9, 0), 9);
    EXPECT_EQ(read_all(&s, 64), "abcd");
    EXPECT_EQ(replay(&s), "abcd");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, BadArgumentsAndRecordsNeverInitialised) {
    tamsel_error e;
    char buf[8];
    EXPECT_EQ(tamsel_spooled_append(nullptr, "a", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "invalid spooled append arguments");
    EXPECT_EQ(tamsel_spooled_rewind(nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "spooled value is required");
    EXPECT_EQ(tamsel_spooled_write_to_sink(nullptr, collecting_sink::sink, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "spooled value and sink are required");
    EXPECT_EQ(tamsel_spooled_read(nullptr, buf, sizeof buf).eof, 1);
    EXPECT_EQ(tamsel_spooled_size(nullptr), 0u);
    EXPECT_EQ(tamsel_spooled_spilled(nullptr), 0);
    tamsel_spooled_cleanup(nullptr);
    tamsel_spooled_reset(nullptr);
    tamsel_spooled_init(nullptr, nullptr);
    tamsel_spooled_init_with_allocator(nullptr, nullptr, nullptr);

    tamsel_spooled good;
    tamsel_spooled_init_with_allocator(&good, nullptr, nullptr);
    EXPECT_EQ(tamsel_spooled_append(&good, nullptr, 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_spooled_write_to_sink(&good, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_spooled_read(&good, nullptr, 4).error_code, 22);
    tamsel_spooled_cleanup(&good);

    // Garbage that was never initialised: refused, and not one byte of it is touched.
    tamsel_spooled junk;
    std::memset(&junk, 0xAB, sizeof junk);
    tamsel_spooled copy;
    std::memcpy(&copy, &junk, sizeof junk);
    EXPECT_EQ(tamsel_spooled_append(&junk, "a", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_spooled_rewind(&junk, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_spooled_write_to_sink(&junk, collecting_sink::sink, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_spooled_read(&junk, buf, sizeof buf).error_code, 22);
    EXPECT_EQ(tamsel_spooled_size(&junk), 0u);
    EXPECT_EQ(tamsel_spooled_spilled(&junk), 0);
    tamsel_spooled_reset(&junk);
    tamsel_spooled_cleanup(&junk);
    EXPECT_EQ(std::memcmp(&junk, &copy, sizeof junk), 0);
}

TEST(Spooled, ACopyByValueIsNotInitialisedAndNeverDoubleFrees) {
    counting_allocator a;
    scratch_dir dir;
    tamsel_spooled original;
    tamsel_spool_options o = options(4, 0, dir.c_str());
    tamsel_spooled_init_with_allocator(&original, &o, a.get());
    ASSERT_EQ(tamsel_spooled_append(&original, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    tamsel_spooled copy = original;
    tamsel_error e;
    EXPECT_EQ(tamsel_spooled_size(&copy), 0u);
    EXPECT_EQ(tamsel_spooled_append(&copy, "x", 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    tamsel_spooled_cleanup(&copy);
    tamsel_spooled_cleanup(&copy);
    EXPECT_EQ(dir.entries().size(), 1u) << "the copy removed nothing";
    EXPECT_EQ(replay(&original), "0123456789");
    tamsel_spooled_cleanup(&original);
    EXPECT_EQ(a.live_blocks(), 0u);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Spooled, ReinitialisingReleasesOnlyAGenuineRecord) {
    counting_allocator a;
    tamsel_spooled s;
    tamsel_spool_options o = options(4, 0);
    tamsel_spooled_init_with_allocator(&s, &o, a.get());
    ASSERT_EQ(tamsel_spooled_append(&s, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    // Re-seeding with the record's own options and allocator.
    tamsel_spool_options own = {s.memory_limit, s.max_bytes, s.temp_dir};
    tamsel::io::spooled_reinit(&s, &own, &s.allocator);
    EXPECT_EQ(tamsel_spooled_size(&s), 0u);
    EXPECT_EQ(s.file, nullptr);
    EXPECT_EQ(a.live_blocks(), 0u) << "the old prefix was released";
    EXPECT_EQ(s.allocator.user_data, &a);

    tamsel_spooled junk;
    std::memset(&junk, 0x5A, sizeof junk);
    tamsel::io::spooled_reinit(&junk, &o, a.get()); // must not free the garbage pointers
    EXPECT_TRUE(tamsel::io::spooled_is_initialised(&junk));
    EXPECT_EQ(junk.memory, nullptr);
    tamsel_spooled_cleanup(&junk);
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, InitTakesOptionsAndAllocatorRules) {
    counting_allocator a;
    tamsel_spooled s;
    tamsel_spooled_init_with_allocator(&s, nullptr, nullptr);
    EXPECT_EQ(s.memory_limit, 65536u);
    EXPECT_EQ(s.max_bytes, 10485760u);
    EXPECT_EQ(s.temp_dir, nullptr);
    EXPECT_EQ(s.magic, tamsel::io::spooled_mark(&s));
    EXPECT_NE(s.magic, TAMSEL_SPOOLED_MAGIC);
    EXPECT_TRUE(s.reset == tamsel_spooled_reset && s.cleanup == tamsel_spooled_cleanup &&
                s.size == tamsel_spooled_size && s.spilled == tamsel_spooled_spilled &&
                s.append == tamsel_spooled_append && s.rewind == tamsel_spooled_rewind &&
                s.read == tamsel_spooled_read && s.write_to_sink == tamsel_spooled_write_to_sink);
    tamsel_spooled_cleanup(&s);

    tamsel_allocator partial = a.value();
    partial.free = nullptr;
    tamsel_spool_options o = options(7, 9, "");
    tamsel_spooled_init_with_allocator(&s, &o, &partial);
    EXPECT_EQ(s.allocator.user_data, nullptr) << "an incomplete allocator falls back";
    EXPECT_EQ(s.allocator.stats, nullptr);
    EXPECT_EQ(s.temp_dir, nullptr) << "an empty directory means anonymous";
    EXPECT_EQ(s.memory_limit, 7u);
    EXPECT_EQ(s.max_bytes, 9u);
    ASSERT_EQ(tamsel_spooled_append(&s, "abc", 3, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(a.calls(), 0u);
    tamsel_spooled_cleanup(&s);

    o = options(8, 0, "/tmp");
    tamsel_spooled_init_with_allocator(&s, &o, a.get());
    EXPECT_EQ(a.stats.alloc_count, 1u) << "the directory copy is counted";
    EXPECT_EQ(a.stats.current_bytes, 5u);
    ASSERT_EQ(tamsel_spooled_append(&s, "abc", 3, nullptr), TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_spooled_append(&s, "de", 2, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel::owned_size(s.memory), 5u) << "the prefix holds no spare capacity";
    tamsel_spooled_cleanup(&s);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(Spooled, RuntimeInitialisersThroughTheMethodTable) {
    counting_allocator a;
    scratch_dir dir;
    tamsel_config c = tamsel_default_config();
    c.spool_classes[1] = options(4, 100, dir.c_str());
    c.spool_classes[2] = options(5, 200, nullptr);
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_NE(rt, nullptr);
    ASSERT_NE(rt->methods.spooled_init, nullptr);
    ASSERT_NE(rt->methods.spooled_init_class, nullptr);

    tamsel_spooled one, two, other, zero;
    rt->methods.spooled_init_class(rt, &one, 1);
    rt->methods.spooled_init_class(rt, &two, 2);
    rt->methods.spooled_init_class(rt, &other, 7);
    rt->methods.spooled_init(rt, &zero);
    EXPECT_EQ(one.memory_limit, 4u);
    EXPECT_EQ(one.max_bytes, 100u);
    EXPECT_STREQ(one.temp_dir, dir.c_str());
    EXPECT_NE(one.temp_dir, rt->settings->spool[1].temp_dir) << "the record's own copy";
    EXPECT_EQ(one.allocator.user_data, &a);
    EXPECT_EQ(two.memory_limit, 5u);
    EXPECT_EQ(two.max_bytes, 200u);
    EXPECT_EQ(other.memory_limit, 65536u) << "an unknown class is class 0";
    EXPECT_EQ(zero.memory_limit, 65536u);

    // A by-value copy of the handle works while the runtime lives.
    tamsel_runtime handle_copy = *rt;
    tamsel_spooled via_copy;
    handle_copy.methods.spooled_init_class(&handle_copy, &via_copy, 2);
    EXPECT_EQ(via_copy.memory_limit, 5u);

    tamsel_free(rt);
    // The values outlive the runtime: they own their directory copy.
    ASSERT_EQ(tamsel_spooled_append(&one, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(dir.entries().size(), 1u);
    EXPECT_EQ(replay(&one), "0123456789");

    // A dead runtime gives the defaults and the process allocator, silently.
    tamsel_spooled late;
    handle_copy.methods.spooled_init_class(&handle_copy, &late, 1);
    EXPECT_EQ(late.memory_limit, 65536u);
    EXPECT_EQ(late.allocator.user_data, nullptr);
    tamsel_spooled_init(nullptr, &late);
    EXPECT_EQ(late.max_bytes, 10485760u);

    for (tamsel_spooled *s : {&one, &two, &other, &zero, &via_copy, &late})
        tamsel_spooled_cleanup(s);
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(a.live_blocks(), 0u);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(Spooled, AllocationFailuresDuringSpillAndReplayLeaveNothingBehind) {
    scratch_dir dir;
    const std::string data = io_test::pattern(6000);
    size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        tamsel_spooled s;
        tamsel_spool_options o = options(16, 0, dir.c_str());
        tamsel_spooled_init_with_allocator(&s, &o, a.get());
        tamsel_status st = TAMSEL_STATUS_OK;
        if (!s.temp_dir) st = TAMSEL_STATUS_ALLOCATION_FAILED; // the copy fails silently
        tamsel_owned_buffer out = tamsel_default_owned_buffer();
        out.allocator = a.value();
        tamsel_error e;
        for (size_t off = 0; st == TAMSEL_STATUS_OK && off < data.size(); off += 1500)
            st = tamsel_spooled_append(&s, data.data() + off, 1500, &e);
        if (st == TAMSEL_STATUS_OK)
            st = tamsel_spooled_write_to_sink(&s, tamsel_owned_buffer_sink, &out, &e);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(std::string(out.data, out.len), data);
        } else {
            EXPECT_TRUE(std::strcmp(e.message, "failed to expand spooled in-memory prefix") == 0 ||
                        std::strcmp(e.message, "failed to grow owned buffer sink") == 0 ||
                        !s.temp_dir)
                << e.message;
        }
        tamsel_owned_buffer_free(&out);
        tamsel_spooled_cleanup(&s);
        EXPECT_TRUE(dir.entries().empty());
        return st;
    });
    EXPECT_EQ(runs, 4u) << "directory copy, prefix, output buffer and its growth";
}

TEST(Spooled, AppendingItsOwnPrefixSurvivesTheMove) {
    tamsel_spooled s;
    tamsel_spool_options o = options(40, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    ASSERT_EQ(tamsel_spooled_append(&s, "0123456789", 10, nullptr), TAMSEL_STATUS_OK);
    // The prefix grows (and may move) while its own bytes are being appended; the second
    // append also spills part of them.
    ASSERT_EQ(tamsel_spooled_append(&s, s.memory, 10, nullptr), TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_spooled_append(&s, s.memory, 20, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(replay(&s), "0123456789012345678901234567890123456789");
    tamsel_spooled_cleanup(&s);
}

TEST(Spooled, SizeArithmeticNeverWraps) {
    tamsel_spooled s;
    tamsel_spool_options o = options(0, 0);
    tamsel_spooled_init_with_allocator(&s, &o, nullptr);
    tamsel_error e;
    // Totals past what a 64-bit count or a file offset can hold (set by hand: no file is
    // that large) are refused before anything is written.
    for (uint64_t total : {UINT64_MAX - 2, static_cast<uint64_t>(INT64_MAX)}) {
        s.total_len = total;
        EXPECT_EQ(tamsel_spooled_append(&s, "abcde", 5, &e), TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(e.message, "spooled value size overflow");
        EXPECT_EQ(s.total_len, total);
        EXPECT_EQ(s.file, nullptr) << "no spill file for a refused append";
    }
    s.total_len = 0;
    tamsel_spooled_cleanup(&s);
}

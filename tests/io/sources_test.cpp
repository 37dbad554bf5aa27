#include "io_support.hpp"

#include <fcntl.h>

#include <cerrno>

using io_test::collecting_sink;

namespace {

class SourceTest : public ::testing::Test {
  protected:
    void SetUp() override { tamsel_source_init(&src); }
    void TearDown() override { tamsel_source_cleanup(&src); }

    // Replays `src` into a fresh collecting sink.
    tamsel_status replay(collecting_sink *out, tamsel_error *e) {
        return tamsel_source_write_to_sink(&src, collecting_sink::sink, out, e);
    }

    std::string file_path(const char *name) const { return dir.path() + "/" + name; }

    io_test::scratch_dir dir;
    tamsel_source src;
};

} // namespace

TEST_F(SourceTest, InitSetsNoneAndTheMethods) {
    EXPECT_EQ(src.kind, TAMSEL_SOURCE_NONE);
    EXPECT_EQ(src.file, nullptr);
    EXPECT_EQ(src.fd, -1);
    EXPECT_EQ(src.path, nullptr);
    EXPECT_TRUE(src.cleanup == tamsel_source_cleanup && src.reset == tamsel_source_reset &&
                src.set_file == tamsel_source_set_file && src.set_fd == tamsel_source_set_fd &&
                src.set_path == tamsel_source_set_path &&
                src.write_to_sink == tamsel_source_write_to_sink &&
                src.is_rewindable == tamsel_source_is_rewindable);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 1);
    collecting_sink out;
    tamsel_error e;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(out.calls, 0u) << "a NONE source calls the sink zero times";
}

TEST_F(SourceTest, BadArgumentsChangeNothing) {
    const std::string path = file_path("a");
    io_test::write_file(path, "abc");
    tamsel_error e;
    ASSERT_EQ(src.set_path(&src, path.c_str(), &e), TAMSEL_STATUS_OK);
    char *kept = src.path;

    EXPECT_EQ(tamsel_source_set_file(&src, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "source handle and FILE* are required");
    EXPECT_EQ(tamsel_source_set_file(nullptr, stdin, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_source_set_fd(&src, -1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "source handle and non-negative fd are required");
    EXPECT_EQ(tamsel_source_set_fd(nullptr, 0, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_source_set_path(&src, "", &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "source handle and path are required");
    EXPECT_EQ(tamsel_source_set_path(&src, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_source_set_path(nullptr, "x", &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_source_write_to_sink(&src, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "source handle and sink are required");
    EXPECT_EQ(tamsel_source_write_to_sink(nullptr, collecting_sink::sink, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_source_is_rewindable(nullptr), 0);
    tamsel_source_cleanup(nullptr);
    tamsel_source_reset(nullptr);
    tamsel_source_init(nullptr);

    EXPECT_EQ(src.kind, TAMSEL_SOURCE_PATH) << "failed setters keep the previous setting";
    EXPECT_EQ(src.path, kept);
    collecting_sink out;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(out.bytes, "abc");
}

TEST_F(SourceTest, SettersSwitchKindsAndClearTheError) {
    tamsel_error e;
    ASSERT_EQ(tamsel_source_set_path(&src, "/some/path", &e), TAMSEL_STATUS_OK);
    EXPECT_STREQ(src.path, "/some/path");
    ASSERT_EQ(tamsel_source_set_fd(&src, 0, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(src.kind, TAMSEL_SOURCE_FD);
    EXPECT_EQ(src.path, nullptr) << "the path copy is freed";
    tamsel__set_error(&e, TAMSEL_STATUS_IO_ERROR, 0, 0, 0, "stale");
    ASSERT_EQ(tamsel_source_set_file(&src, stdin, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(e.code, 0u);
    EXPECT_STREQ(e.message, "");
    EXPECT_EQ(src.kind, TAMSEL_SOURCE_FILE);
    EXPECT_EQ(src.fd, -1);
    ASSERT_EQ(tamsel_source_set_path(&src, "/p", &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(src.file, nullptr);
    src.reset(&src);
    EXPECT_EQ(src.kind, TAMSEL_SOURCE_NONE);
    EXPECT_EQ(src.path, nullptr);
    EXPECT_EQ(src.fd, -1);
    EXPECT_EQ(src.set_path, tamsel_source_set_path) << "the methods stay";
    src.cleanup(&src);
}

TEST_F(SourceTest, FileInTheMiddleReplaysFromItsFirstByte) {
    const std::string data = io_test::pattern(10000);
    const std::string path = file_path("mid");
    io_test::write_file(path, data);
    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 5000, SEEK_SET), 0);
    char scrap[16];
    ASSERT_EQ(std::fread(scrap, 1, sizeof scrap, f), sizeof scrap);
    tamsel_error e;
    ASSERT_EQ(src.set_file(&src, f, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 1);
    EXPECT_EQ(std::ftell(f), 5016) << "the probe leaves the position where it was";
    for (int round = 0; round < 2; ++round) {
        collecting_sink out;
        ASSERT_EQ(replay(&out, &e), TAMSEL_STATUS_OK) << e.message;
        EXPECT_TRUE(out.bytes == data);
        EXPECT_EQ(out.calls, 3u) << "blocks of 4096";
    }
    std::fclose(f);
}

TEST_F(SourceTest, DescriptorInTheMiddleReplaysFromItsFirstByte) {
    const std::string data = io_test::pattern(5000);
    const std::string path = file_path("fd");
    io_test::write_file(path, data);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 1234, SEEK_SET), 1234);
    tamsel_error e;
    ASSERT_EQ(src.set_fd(&src, fd, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1234);
    collecting_sink out;
    ASSERT_EQ(replay(&out, &e), TAMSEL_STATUS_OK) << e.message;
    EXPECT_TRUE(out.bytes == data);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "the caller's descriptor stays open";
    close(fd);
}

TEST_F(SourceTest, PipesAreNotRewindable) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "data", 4), 4);
    tamsel_error e;
    ASSERT_EQ(src.set_fd(&src, p[0], &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 0);
    collecting_sink out;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to rewind source fd; non-seekable sources are unsupported");
    EXPECT_EQ(e.system_errno, ESPIPE);
    EXPECT_EQ(out.calls, 0u);

    FILE *f = fdopen(p[0], "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(src.set_file(&src, f, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 0);
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to rewind source FILE*; non-seekable sources are unsupported");
    EXPECT_EQ(e.system_errno, ESPIPE);
    std::fclose(f);
    close(p[1]);
}

TEST_F(SourceTest, PathReplaysTwiceAndClosesItsStream) {
    const std::string data = io_test::pattern(9000);
    const std::string path = file_path("p");
    io_test::write_file(path, data);
    tamsel_error e;
    ASSERT_EQ(src.set_path(&src, path.c_str(), &e), TAMSEL_STATUS_OK);
    EXPECT_NE(src.path, path.c_str()) << "the source keeps its own copy";
    const size_t fds = io_test::open_fd_count();
    for (int round = 0; round < 2; ++round) {
        collecting_sink out;
        ASSERT_EQ(replay(&out, &e), TAMSEL_STATUS_OK) << e.message;
        EXPECT_TRUE(out.bytes == data);
        EXPECT_EQ(io_test::open_fd_count(), fds) << "no stream left open";
    }
    // A failing sink stops the replay; the stream is closed on that exit too.
    collecting_sink failing;
    failing.fail_on_call = 2;
    failing.fail_status = TAMSEL_STATUS_CALLBACK_FAILED;
    EXPECT_EQ(replay(&failing, &e), TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(failing.calls, 2u);
    EXPECT_EQ(failing.bytes, data.substr(0, 4096));
    EXPECT_EQ(io_test::open_fd_count(), fds);
}

TEST_F(SourceTest, MissingPathFailsWithItsName) {
    const std::string path = file_path("missing");
    tamsel_error e;
    ASSERT_EQ(src.set_path(&src, path.c_str(), &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_source_is_rewindable(&src), 1);
    collecting_sink out;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(std::string(e.message), "failed to open source path '" + path + "'");
    EXPECT_EQ(e.system_errno, ENOENT);
}

TEST_F(SourceTest, BlockBoundaries) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}}) {
        const std::string path = file_path("b");
        io_test::write_file(path, io_test::pattern(size));
        tamsel_error e;
        ASSERT_EQ(src.set_path(&src, path.c_str(), &e), TAMSEL_STATUS_OK);
        collecting_sink out;
        ASSERT_EQ(replay(&out, &e), TAMSEL_STATUS_OK);
        EXPECT_EQ(out.bytes.size(), size);
        EXPECT_EQ(out.calls, (size + 4095) / 4096) << "size " << size;
    }
}

TEST_F(SourceTest, TruncatedFromTheSinkIsToleratedOthersAreReturned) {
    const std::string path = file_path("t");
    io_test::write_file(path, io_test::pattern(10000));
    tamsel_error e;
    ASSERT_EQ(src.set_path(&src, path.c_str(), &e), TAMSEL_STATUS_OK);
    collecting_sink truncating;
    truncating.ok_status = TAMSEL_STATUS_TRUNCATED;
    EXPECT_EQ(replay(&truncating, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(truncating.calls, 3u);
    collecting_sink failing;
    failing.fail_on_call = 3;
    failing.fail_status = TAMSEL_STATUS_IO_ERROR;
    EXPECT_EQ(replay(&failing, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(failing.bytes.size(), 8192u) << "output delivered before the failure stays";
}

namespace {
ssize_t failing_read(void *, char *, size_t) {
    errno = 0;
    return -1;
}
int seekable(void *, off64_t *pos, int) {
    *pos = 0;
    return 0;
}
} // namespace

TEST_F(SourceTest, StreamFailingWithoutErrnoIsReportedAsEio) {
    cookie_io_functions_t io{};
    io.read = failing_read;
    io.seek = seekable;
    FILE *f = fopencookie(nullptr, "r", io);
    ASSERT_NE(f, nullptr);
    tamsel_error e;
    ASSERT_EQ(src.set_file(&src, f, &e), TAMSEL_STATUS_OK);
    collecting_sink out;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to read source data");
    EXPECT_EQ(e.system_errno, EIO);
    EXPECT_EQ(out.calls, 0u);
    std::fclose(f);
}

TEST_F(SourceTest, UnreadableDescriptorFailsTheReplay) {
    const std::string path = file_path("w");
    io_test::write_file(path, "abc");
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    tamsel_error e;
    ASSERT_EQ(src.set_fd(&src, fd, &e), TAMSEL_STATUS_OK);
    collecting_sink out;
    EXPECT_EQ(replay(&out, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to read source data");
    EXPECT_EQ(e.system_errno, EBADF);
    close(fd);
}

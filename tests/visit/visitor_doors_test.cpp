// Every door (memory, readers of any chunk size, FILE*, descriptor, path) gives the same
// events and the same errors; the reader rules (empty results, would-block, oversized results).
#include "support/counting_allocator.hpp"
#include "support/event_log.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using tamsel_test::chunked_reader;
using tamsel_test::event_log;

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct outcome {
    tamsel_status status;
    std::string events;
    std::string message;
    size_t offset, line, column;
    bool operator==(const outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const outcome &o) {
    return os << "status " << o.status << " '" << o.message << "' at " << o.line << ":" << o.column
              << " (" << o.offset << "), " << o.events.size() << " event bytes";
}

enum class door { memory, reader1, reader7, reader_random, reader_empties, filep, fd, path };
const door all_doors[] = {door::memory,         door::reader1, door::reader7, door::reader_random,
                          door::reader_empties, door::filep,   door::fd,      door::path};

class Doors : public ::testing::Test {
  protected:
    void SetUp() override {
        rt_ = tamsel_new(nullptr, nullptr);
        ASSERT_NE(rt_, nullptr);
        char name[] = "/tmp/tamsel-visit-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
    }
    void TearDown() override {
        tamsel_free(rt_);
        unlink(path_.c_str());
    }

    outcome run(door d, const std::string &json) {
        event_log log;
        tamsel_value_visitor v = event_log::visitor();
        tamsel_error e;
        tamsel_error_init(&e);
        tamsel_status st = TAMSEL_STATUS_INTERNAL_ERROR;
        chunked_reader r{&json};
        if (d == door::filep || d == door::fd || d == door::path) {
            std::ofstream(path_, std::ios::binary) << json;
        }
        switch (d) {
        case door::memory:
            st = tamsel_visit_value_buffer(rt_, json.data(), json.size(), &v, &log, &e);
            break;
        case door::reader1:
        case door::reader7:
        case door::reader_random:
        case door::reader_empties:
            r.step = d == door::reader1          ? 1
                     : d == door::reader7        ? 7
                     : d == door::reader_empties ? 3
                                                 : 0;
            r.empty_between = d == door::reader_empties ? 5 : 0;
            st = tamsel_visit_value_reader(rt_, chunked_reader::read, &r, &v, &log, &e);
            break;
        case door::filep: {
            FILE *f = std::fopen(path_.c_str(), "rb");
            st = tamsel_visit_value_filep(rt_, f, &v, &log, &e);
            std::fclose(f);
            break;
        }
        case door::fd: {
            int fd = open(path_.c_str(), O_RDONLY);
            st = tamsel_visit_value_fd(rt_, fd, &v, &log, &e);
            close(fd);
            break;
        }
        case door::path:
            st = tamsel_visit_value_path(rt_, path_.c_str(), &v, &log, &e);
            break;
        }
        return {st, log.events, e.message, e.offset, e.line, e.column};
    }

    void expect_all_doors_agree(const std::string &json) {
        outcome want = run(door::memory, json);
        for (door d : all_doors)
            EXPECT_EQ(run(d, json), want)
                << "door " << static_cast<int>(d) << " on " << json.substr(0, 60);
    }

    tamsel_runtime *rt_ = nullptr;
    std::string path_;
};

} // namespace

TEST_F(Doors, CorpusDocumentsGiveTheSameEventsThroughEveryDoor) {
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json",
                             "github_events.json", "gsoc-2018.json", "mesh.json"}) {
        std::string json = read_file(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name);
        ASSERT_FALSE(json.empty()) << name;
        outcome want = run(door::memory, json);
        ASSERT_EQ(want.status, TAMSEL_STATUS_OK) << name << ": " << want.message;
        for (door d : {door::reader7, door::reader_random, door::filep, door::fd, door::path})
            EXPECT_EQ(run(d, json), want) << name << " door " << static_cast<int>(d);
    }
    std::string small = read_file(std::string(TAMSEL_TEST_DATA) + "/corpus/github_events.json");
    EXPECT_EQ(run(door::reader1, small), run(door::memory, small));
}

TEST_F(Doors, ErrorsAndEscapesAgreeAtEveryChunking) {
    for (const char *json :
         {R"({"s":"\ud83d\ude00","t":"a\u00e9b"})", R"(["\ud83dx"])", R"("\ude00")", "[1, 2,\n 3",
          "[1 2]", "{\"a\"\n:\n1,\n}", "\"ab\\", "12345678901234567890.5e-7", "[truex]", "[tru",
          "{\"k\":-0.5E+10}", "  \"x\"  y", "\"\xF0\x9F\x98\x80\""}) {
        expect_all_doors_agree(json);
    }
}

TEST_F(Doors, SurrogatePairSplitAtEveryByte) {
    const std::string json = R"(["\uD83D\uDE00", "\ud800\udc00"])";
    outcome want = run(door::memory, json);
    ASSERT_EQ(want.status, TAMSEL_STATUS_OK);
    EXPECT_EQ(want.events, "[s\xF0\x9F\x98\x80;s\xF0\x90\x80\x80;]");
    for (size_t step = 1; step <= json.size(); ++step) {
        event_log log;
        tamsel_value_visitor v = event_log::visitor();
        chunked_reader r{&json};
        r.step = step;
        ASSERT_EQ(tamsel_visit_value_reader(rt_, chunked_reader::read, &r, &v, &log, nullptr),
                  TAMSEL_STATUS_OK);
        EXPECT_EQ(log.events, want.events) << "step " << step;
    }
}

TEST_F(Doors, LongNumbersAcrossWindowsWithTheirLimit) {
    tamsel_test::counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.value_max_number_bytes = 10000;
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    std::string ok = "[" + std::string(10000, '9') + "]";
    std::string over = "[" + std::string(10001, '9') + "]";
    for (size_t step : {size_t{1}, size_t{100}, size_t{4096}}) {
        event_log log;
        tamsel_value_visitor v = event_log::visitor();
        chunked_reader r{&ok};
        r.step = step;
        EXPECT_EQ(tamsel_visit_value_reader(rt, chunked_reader::read, &r, &v, &log, nullptr),
                  TAMSEL_STATUS_OK);
        EXPECT_EQ(log.events, "[n" + std::string(10000, '9') + ";]");
        chunked_reader r2{&over};
        r2.step = step;
        tamsel_error e;
        EXPECT_EQ(tamsel_visit_value_reader(rt, chunked_reader::read, &r2, &v, &log, &e),
                  TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(e.message, "JSON number exceeds maximum byte limit");
        EXPECT_EQ(e.offset, 10002u);
    }
    EXPECT_EQ(a.stats.current_bytes, a.stats.current_bytes);
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u) << "number buffers are released";
    EXPECT_GT(a.stats.peak_bytes, 10000u);
}

TEST_F(Doors, NumberBufferAllocationFailuresAreClean) {
    const std::string json = "[" + std::string(5000, '1') + ", \"x\"]";
    size_t runs =
        tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
            tamsel_config c = tamsel_default_config();
            c.value_max_number_bytes = 100000;
            c.allocator = a.get();
            a.pause();
            tamsel_runtime *rt = tamsel_new(&c, nullptr);
            a.resume();
            tamsel_value_visitor v = tamsel_default_value_visitor();
            chunked_reader r{&json};
            r.step = 1000;
            tamsel_error e;
            tamsel_status st =
                tamsel_visit_value_reader(rt, chunked_reader::read, &r, &v, nullptr, &e);
            if (st == TAMSEL_STATUS_ALLOCATION_FAILED) {
                EXPECT_STREQ(e.message, "failed to allocate JSON number buffer");
            }
            a.pause();
            tamsel_free(rt);
            return st;
        });
    EXPECT_GE(runs, 2u) << "the number buffer grows at least twice";
}

namespace {

struct scripted_reader {
    std::vector<tamsel_read_result> script;
    std::vector<std::string> bytes;
    size_t next = 0;
    static tamsel_read_result read(void *user, void *buffer, size_t capacity) {
        auto *s = static_cast<scripted_reader *>(user);
        if (s->next >= s->script.size()) return {0, 1, 0, 0};
        size_t i = s->next++;
        tamsel_read_result r = s->script[i];
        std::memcpy(buffer, s->bytes[i].data(), std::min(s->bytes[i].size(), capacity));
        if (r.bytes == SIZE_MAX) r.bytes = capacity + 1;
        return r;
    }
    void add(const std::string &b, int eof = 0, int would_block = 0, int error = 0) {
        script.push_back({b.size(), eof, would_block, error});
        bytes.push_back(b);
    }
};

} // namespace

TEST_F(Doors, EmptyReaderResultsAreNotTheEndOfInput) {
    scripted_reader s;
    s.add("12");
    s.add("");
    s.add("");
    s.add("3", 1);
    event_log log;
    tamsel_value_visitor v = event_log::visitor();
    ASSERT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &s, &v, &log, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(log.events, "n123;");
}

TEST_F(Doors, ReaderThatNeverProgressesFails) {
    scripted_reader s;
    s.add("[1");
    for (int i = 0; i < TAMSEL_READER_MAX_EMPTY_READS; ++i)
        s.add("");
    s.add("]", 1);
    tamsel_value_visitor v = tamsel_default_value_visitor();
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &s, &v, nullptr, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader made no progress");

    scripted_reader almost;
    almost.add("[1");
    for (int i = 0; i < TAMSEL_READER_MAX_EMPTY_READS - 1; ++i)
        almost.add("");
    almost.add("]", 1);
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &almost, &v, nullptr, &e),
              TAMSEL_STATUS_OK);
}

TEST_F(Doors, ReaderFailuresAreReported) {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    tamsel_error e;
    scripted_reader blocked;
    blocked.add("[1,");
    blocked.add("", 0, 1);
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &blocked, &v, nullptr, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader would block");

    scripted_reader failing;
    failing.add("[1,");
    failing.add("", 0, 0, EIO);
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &failing, &v, nullptr, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader callback failed");
    EXPECT_EQ(e.system_errno, EIO);

    scripted_reader oversized;
    oversized.add("[1,");
    oversized.script.back().bytes = SIZE_MAX; // capacity + 1
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &oversized, &v, nullptr, &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "reader callback failed");
    EXPECT_EQ(e.system_errno, EINVAL);

    scripted_reader with_eof;
    with_eof.add("[1]", 1); // data together with eof: the reader is not called again
    EXPECT_EQ(tamsel_visit_value_reader(rt_, scripted_reader::read, &with_eof, &v, nullptr, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(with_eof.next, 1u);
}

TEST_F(Doors, DescriptorAndFileAreReadFromTheirCurrentPosition) {
    std::ofstream(path_, std::ios::binary) << "garbage[1,2]";
    int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
    event_log log;
    tamsel_value_visitor v = event_log::visitor();
    EXPECT_EQ(tamsel_visit_value_fd(rt_, fd, &v, &log, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(log.events, "[n1;n2;]");
    close(fd);
    FILE *f = std::fopen(path_.c_str(), "rb");
    std::fseek(f, 7, SEEK_SET);
    log.events.clear();
    EXPECT_EQ(tamsel_visit_value_filep(rt_, f, &v, &log, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(log.events, "[n1;n2;]");
    std::fclose(f);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(write(pipefd[1], "{\"a\":null}", 10), 10);
    close(pipefd[1]);
    log.events.clear();
    EXPECT_EQ(tamsel_visit_value_fd(rt_, pipefd[0], &v, &log, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(log.events, "{ka;N}");
    close(pipefd[0]);
    tamsel_error e;
    EXPECT_EQ(tamsel_visit_value_fd(rt_, 1000, &v, &log, &e), TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(e.system_errno, EBADF);
}

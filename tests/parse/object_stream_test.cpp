// Object streams over JSON Lines and concatenated objects: any read size, would-block with
// resumption, errors with positions, reuse of one destination, and life after the runtime.
#include "parse_support.hpp"
#include "support/counting_allocator.hpp"
#include "support/event_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace parse_test;
using tamsel_test::chunked_reader;
using tamsel_test::counting_allocator;

namespace {

struct line {
    int64_t id;
    char *name;
};

const tamsel_map *line_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("id"), offsetof(line, id), TAMSEL_FIELD_I64, 0, 0,
                                      0, 0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("name"), offsetof(line, name), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"line", sizeof(line), f, 2, &m, nullptr};
    return &m;
}

// Reads every object; returns "id:name,..." and the final result.
std::string drain(tamsel_stream *s, tamsel_stream_result *last, tamsel_error *e) {
    std::string out;
    line l;
    std::memset(&l, 0, sizeof l);
    for (;;) {
        tamsel_stream_result r = tamsel_stream_next(s, &l, e);
        if (r != TAMSEL_STREAM_ITEM) {
            *last = r;
            break;
        }
        out += std::to_string(l.id) + ":" + (l.name ? l.name : "-") + ",";
    }
    tamsel_cleanup(line_map(), &l);
    return out;
}

} // namespace

TEST(ObjectStream, LinesAndConcatenatedObjectsAtAnyReadSize) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string text =
        "{\"id\":1,\"name\":\"a\"}\n{\"id\":2}{\"id\":3,\"name\":\"c\"}\r\n\n  ";
    for (size_t step : {size_t{1}, size_t{2}, size_t{5}, size_t{0}, size_t{4096}}) {
        chunked_reader r{&text};
        r.step = step;
        r.empty_between = step == 2 ? 3 : 0;
        tamsel_error e;
        tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
        ASSERT_NE(s, nullptr) << e.message;
        tamsel_stream_result last;
        EXPECT_EQ(drain(s, &last, &e), "1:a,2:-,3:c,") << "step " << step;
        EXPECT_EQ(last, TAMSEL_STREAM_END);
        line again{};
        EXPECT_EQ(tamsel_stream_next(s, &again, &e), TAMSEL_STREAM_END)
            << "a source that stays at its end keeps giving END";
        tamsel_cleanup(line_map(), &again);
        s->close(s);
    }
    tamsel_free(rt);
}

TEST(ObjectStream, EmptyInputsAndBadStarts) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_error e;
    for (const char *text : {"", "  \n\t "}) {
        std::string t = text;
        chunked_reader r{&t};
        tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
        tamsel_stream_result last;
        EXPECT_EQ(drain(s, &last, &e), "");
        EXPECT_EQ(last, TAMSEL_STREAM_END);
        tamsel_stream_close(s);
    }
    std::string t = "[1]";
    chunked_reader r{&t};
    r.step = 4096;
    tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
    line l{};
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "expected top-level object");
    EXPECT_STREQ(tamsel_stream_error(s)->message, "expected top-level object");
    tamsel_stream_close(s);
    tamsel_free(rt);
}

TEST(ObjectStream, ObjectCutOffByTheEnd) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    std::string t = "{\"id\":1}\n{\"id\":2, \"name\":\"b";
    chunked_reader r{&t};
    r.step = 3;
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
    tamsel_stream_result last;
    EXPECT_EQ(drain(s, &last, &e), "1:-,");
    EXPECT_EQ(last, TAMSEL_STREAM_ERROR);
    EXPECT_EQ(e.code, TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "incomplete JSON token at end of input");
    EXPECT_EQ(e.offset, 18u) << "positions count from the first byte of the current object";
    tamsel_stream_close(s);
    tamsel_free(rt);
}

TEST(ObjectStream, WouldBlockResumesWithTheSameDestination) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_fd(rt, line_map(), fds[0], &e);
    ASSERT_NE(s, nullptr);
    line l{}, other{};
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_WOULD_BLOCK);
    ASSERT_EQ(write(fds[1], "{\"id\":7,\"na", 11), 11);
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_WOULD_BLOCK);
    EXPECT_EQ(tamsel_stream_next(s, &other, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(e.message, "resume the stream with the same destination");
    ASSERT_EQ(write(fds[1], "me\":\"x\"}\n", 9), 9);
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_ITEM) << e.message;
    EXPECT_EQ(l.id, 7);
    EXPECT_STREQ(l.name, "x");
    close(fds[1]);
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_END);
    tamsel_stream_close(s);
    close(fds[0]);
    tamsel_cleanup(line_map(), &l);
    tamsel_free(rt);
}

TEST(ObjectStream, DescriptorWindowsAcrossEveryRefill) {
    // Lines over 130 KiB through a pipe, one byte a read and 64 KiB a read (the window's size,
    // at three offsets), against the same text in memory; the bad line fails alike.
    std::string text;
    std::string expect;
    for (int i = 0; text.size() < 130000; ++i) {
        const std::string name(static_cast<size_t>(i * 53 % 1500), 'q');
        text +=
            "{\"id\":" + std::to_string(i) + ", \"name\":\"" + name + "\"}" + (i % 5 ? "\n" : "");
        expect += std::to_string(i) + ":" + name + ",";
    }
    text += "{\"id\":1,]";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (size_t piece : {1, 65536})
        for (size_t lead : {0, 1, 65535}) {
            if (piece == 1 && lead) continue;
            const std::string input = std::string(lead, '\n') + text;
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
            tamsel_error e;
            tamsel_stream *s = tamsel_stream_open_fd(rt, line_map(), fds[0], &e);
            std::string got;
            line l{};
            tamsel_stream_result r = TAMSEL_STREAM_WOULD_BLOCK;
            for (size_t at = 0; r == TAMSEL_STREAM_WOULD_BLOCK && at < input.size(); at += piece) {
                const size_t n = std::min(piece, input.size() - at);
                ASSERT_EQ(write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
                while ((r = tamsel_stream_next(s, &l, &e)) == TAMSEL_STREAM_ITEM)
                    got += std::to_string(l.id) + ":" + (l.name ? l.name : "-") + ",";
            }
            close(fds[1]);
            EXPECT_EQ(got, expect) << piece << " " << lead;
            EXPECT_EQ(r, TAMSEL_STREAM_ERROR);
            EXPECT_EQ(e.offset, 9u) << "positions count from the object's first byte";
            tamsel_cleanup(line_map(), &l);
            tamsel_stream_close(s);
            close(fds[0]);
        }
    tamsel_free(rt);
}

TEST(ObjectStream, OneDestinationDoesNotGrowAcrossObjects) {
    tamsel_test::counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "{\"id\":" + std::to_string(i) + ",\"name\":\"name number " + std::to_string(i) +
                "\"}\n";
    chunked_reader r{&text};
    r.step = 4096;
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
    line l{};
    uint64_t baseline = 0;
    int n = 0;
    while (tamsel_stream_next(s, &l, &e) == TAMSEL_STREAM_ITEM) {
        if (n++ == 10) baseline = a.stats.current_bytes;
        if (n > 10) {
            ASSERT_EQ(a.stats.current_bytes, baseline) << n;
        }
    }
    EXPECT_EQ(n, 20000);
    tamsel_stream_close(s);
    tamsel_cleanup(line_map(), &l);
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(ObjectStream, FailingObjectsReleaseWhatTheyHeld) {
    tamsel_test::counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    const uint64_t baseline = a.stats.current_bytes;
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "{\"name\":\"" + std::string(1000, 'a') + "\\x";
    chunked_reader r{&text};
    r.step = 1000;
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
    line l{};
    EXPECT_EQ(tamsel_stream_next(s, &l, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(e.message, "invalid escape sequence");
    tamsel_stream_close(s);
    tamsel_cleanup(line_map(), &l);
    EXPECT_EQ(a.stats.current_bytes, baseline);
    tamsel_free(rt);
}

// After an error the next object starts right after the failing byte, whatever the read size:
// also when the failure comes from inside a run of string bytes handled in one piece (a string
// over its limit, a bad base64 character in a spooled field).
TEST(ObjectStream, AfterAnErrorTheNextObjectStartsPastTheFailingByte) {
    struct blob {
        tamsel_spooled data;
    };
    static const tamsel_field blob_fields[] = {{TAMSEL_KEY("data"), offsetof(blob, data),
                                                TAMSEL_FIELD_SPOOLED_BYTES, 0, 0, 0, 0, 0, nullptr,
                                                nullptr, 0, 0}};
    static const tamsel_map blob_map = {"blob", sizeof(blob), blob_fields, 1, &blob_map, nullptr};
    tamsel_config c = tamsel_default_config();
    c.max_string_bytes = 2;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    struct scenario {
        const tamsel_map *map;
        std::string text;
        const char *message; // of the first error
    };
    const scenario scenarios[] = {
        {line_map(), "{\"name\":\"xyZ{\"id\":7}\"}",
         "string field 'name' exceeds configured max dynamic string bytes"},
        {&blob_map, "{\"data\":\"QUJD*{}\"}", "invalid base64 character in streamed field"},
    };
    for (const scenario &sc : scenarios) {
        for (size_t step : {size_t{1}, size_t{3}, size_t{7}, size_t{4096}}) {
            chunked_reader r{&sc.text};
            r.step = step;
            tamsel_error e;
            tamsel_stream *s = tamsel_stream_open_reader(rt, sc.map, chunked_reader::read, &r, &e);
            ASSERT_NE(s, nullptr) << e.message;
            alignas(16) unsigned char dst[std::max(sizeof(blob), sizeof(line))] = {};
            EXPECT_EQ(tamsel_stream_next(s, dst, &e), TAMSEL_STREAM_ERROR) << "step " << step;
            EXPECT_STREQ(e.message, sc.message) << "step " << step;
            EXPECT_EQ(tamsel_stream_next(s, dst, &e), TAMSEL_STREAM_ITEM)
                << "step " << step << ": " << e.message;
            if (sc.map == line_map()) {
                EXPECT_EQ(reinterpret_cast<line *>(dst)->id, 7);
            }
            EXPECT_EQ(tamsel_stream_next(s, dst, &e), TAMSEL_STREAM_ERROR) << "step " << step;
            EXPECT_STREQ(e.message, "expected top-level object") << "the closing quote";
            tamsel_cleanup(sc.map, dst);
            tamsel_stream_close(s);
        }
    }
    tamsel_free(rt);
}

TEST(ObjectStream, OutlivesItsRuntimeAndChecksArguments) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    std::string text = "{\"id\":1}{\"id\":2}";
    chunked_reader r{&text};
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
    tamsel_free(rt);
    tamsel_stream_result last;
    EXPECT_EQ(drain(s, &last, &e), "1:-,2:-,");
    line l{};
    EXPECT_EQ(tamsel_stream_next(nullptr, &l, &e), TAMSEL_STREAM_ERROR);
    EXPECT_STREQ(e.message, "stream and destination are required");
    tamsel_stream_close(s);
    tamsel_stream_close(nullptr);
    EXPECT_EQ(tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e), nullptr);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    rt = tamsel_new(nullptr, nullptr);
    EXPECT_EQ(tamsel_stream_open_reader(rt, nullptr, chunked_reader::read, &r, &e), nullptr);
    EXPECT_STREQ(e.message, "map is required");
    EXPECT_EQ(tamsel_stream_open_fd(rt, line_map(), -1, &e), nullptr);
    EXPECT_STREQ(e.message, "fd must be non-negative");
    EXPECT_EQ(tamsel_stream_open_path(rt, line_map(), "/nonexistent/x", &e), nullptr);
    EXPECT_STREQ(e.message, "failed to open '/nonexistent/x'");
    EXPECT_EQ(e.line, 1u);
    tamsel_free(rt);
}

namespace {

// The buffer reader by another address: the stream copies every read into its window.
tamsel_read_result copying_read(void *user, void *buffer, size_t capacity) {
    return tamsel_buffer_reader_read(user, buffer, capacity);
}

// Every result, with the reader's position after each call; after an error the stream goes on.
std::string drain_buffer(tamsel_runtime *rt, const std::string &text, bool in_place) {
    tamsel_buffer_reader reader;
    tamsel_buffer_reader_init(&reader, text.data(), text.size());
    tamsel_error e;
    tamsel_stream *s = tamsel_stream_open_reader(
        rt, line_map(), in_place ? tamsel_buffer_reader_read : copying_read, &reader, &e);
    if (!s) return std::string("OPEN ") + e.message;
    std::string out;
    line l{};
    for (int errors = 0; errors < 3;) {
        const tamsel_stream_result r = tamsel_stream_next(s, &l, &e);
        if (r == TAMSEL_STREAM_ITEM)
            out += std::to_string(l.id) + ":" + (l.name ? l.name : "-");
        else
            out += std::to_string(r) + " " + std::to_string(e.code) + " " + e.message + " " +
                   std::to_string(e.line) + ":" + std::to_string(e.column) + "/" +
                   std::to_string(e.offset);
        out += "@" + std::to_string(reader.pos) + "\n";
        if (r == TAMSEL_STREAM_END) break;
        if (r == TAMSEL_STREAM_ERROR) ++errors;
    }
    tamsel_cleanup(line_map(), &l);
    s->close(s);
    return out;
}

} // namespace

TEST(ObjectStream, BufferReaderInPlaceMatchesTheCopyingRoad) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    std::string lines;
    for (int i = 0; lines.size() < 6000; ++i) {
        lines += "{\"id\":" + std::to_string(i) + ",\"name\":\"" + std::string(i * 37 % 900, 'x') +
                 "\"}";
        lines += i % 3 ? "\n" : "  ";
        // An object ending on a chunk's last byte, and one cut by a bad byte two chunks on.
        if (i == 2) lines.append(1023 - lines.size() % 1024, ' ');
        if (i == 5) lines += "{\"id\":1,\"name\":\"" + std::string(2100, 'y') + "\" ]}\n";
    }
    lines += "[1]"; // not an object: the stream stops there
    for (const std::string &text :
         {lines, std::string("{\"id\":1}"), std::string("  "), std::string("{\"id\":2}{\"id\"")})
        EXPECT_EQ(drain_buffer(rt, text, true), drain_buffer(rt, text, false)) << text;
    tamsel_free(rt);
}

// One destination through objects of changing shape (names as long as the last one, shorter,
// longer, absent; keys the map lacks that look like its own), with an object that fails in
// the middle and the stream used on after it; at any read size and under allocation failure
// at every index.
TEST(ObjectStream, OneDestinationThroughObjectsOfChangingShape) {
    const std::string text =
        "{\"id\":1,\"name\":\"abcd\",\"nxme\":[1]}\n{\"name\":\"efgh\",\"id\":2}\n"
        "{\"id\":3,\"name\":\"ij\"}\n{\"id\":4,\"name\":\"lm\"]\n"
        "{\"nope\":{\"name\":\"x\"},\"id\":5,\"name\":\"opqrstuvwxyz\"}\n"
        "{\"id\":6}\n{\"id\":7,\"name\":\"a\\u00e9c\"}\n";
    auto run = [&](tamsel_runtime *rt, size_t step) {
        chunked_reader r{&text};
        r.step = step;
        tamsel_error e;
        tamsel_stream *s = tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e);
        if (!s) return "E" + std::to_string(e.code) + ",";
        std::string out;
        line l{};
        for (tamsel_stream_result res;
             (res = tamsel_stream_next(s, &l, &e)) != TAMSEL_STREAM_END;) {
            if (res == TAMSEL_STREAM_ITEM) {
                out += std::to_string(l.id) + ":" + (l.name ? l.name : "-") + ",";
                continue;
            }
            out += "E" + std::to_string(e.code) + ",";
            if (e.code == TAMSEL_STATUS_ALLOCATION_FAILED || out.size() > 200) break;
        }
        tamsel_cleanup(line_map(), &l);
        tamsel_stream_close(s);
        return out + "END";
    };
    const std::string expected = "1:abcd,2:efgh,3:ij,E2,5:opqrstuvwxyz,6:-,7:a\xc3\xa9"
                                 "c,END";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (size_t step : {size_t{1}, size_t{3}, size_t{4096}})
        EXPECT_EQ(run(rt, step), expected) << "step " << step;
    tamsel_free(rt);
    size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        tamsel_config c = tamsel_default_config();
        c.allocator = a.get();
        tamsel_runtime *rt = tamsel_new(&c, nullptr);
        if (!rt) return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
        std::string out = run(rt, 5);
        tamsel_free(rt);
        if (out == expected) return TAMSEL_STATUS_OK;
        EXPECT_NE(out.find("E8,"), std::string::npos) << out;
        return static_cast<tamsel_status>(TAMSEL_STATUS_ALLOCATION_FAILED);
    });
    EXPECT_GT(runs, 3u);
}

TEST(ObjectStream, KeysInChangingOrdersLandAsInOneShotParses) {
    // The stream guesses each key's field from the order the keys came in before; whatever the
    // order, with unknown keys between, and with a map naming one key twice (whose field is
    // the one the map's order picks), each object lands as a one-shot parse puts it.
    struct trio {
        int64_t a, b, c;
    };
    const tamsel_field fields[] = {
        {TAMSEL_KEY("a"), offsetof(trio, a), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
        {TAMSEL_KEY("b"), offsetof(trio, b), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
        {TAMSEL_KEY("c"), offsetof(trio, c), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
        {TAMSEL_KEY("a"), offsetof(trio, c), TAMSEL_FIELD_I64, 0, 0, 0, 0, 0, nullptr, nullptr, 0,
         0},
    };
    const std::string text = "{\"a\":1,\"b\":2,\"c\":3}\n{\"c\":4,\"b\":5,\"a\":6}\n"
                             "{\"c\":7,\"b\":8,\"a\":9}\n{\"b\":10,\"x\":0,\"a\":11,\"c\":12}\n"
                             "{\"b\":13,\"a\":14}\n{\"b\":15,\"a\":16}\n{\"a\":17,\"c\":18}\n"
                             "{\"c\":19,\"a\":20,\"b\":21}\n";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (size_t count : {size_t{3}, size_t{4}}) {
        const tamsel_map map = {"trio", sizeof(trio), fields, count, nullptr, nullptr};
        chunked_reader r{&text};
        tamsel_error e;
        tamsel_stream *s = tamsel_stream_open_reader(rt, &map, chunked_reader::read, &r, &e);
        ASSERT_NE(s, nullptr);
        size_t at = 0;
        trio got{};
        while (tamsel_stream_next(s, &got, &e) == TAMSEL_STREAM_ITEM) {
            const size_t end = text.find('\n', at);
            trio want{};
            ASSERT_EQ(tamsel_parse_buffer(rt, &map, &want, text.data() + at, end - at, &e),
                      TAMSEL_STATUS_OK);
            EXPECT_EQ(std::vector<int64_t>({got.a, got.b, got.c}),
                      std::vector<int64_t>({want.a, want.b, want.c}))
                << count << " fields, object at " << at;
            at = end + 1;
        }
        EXPECT_EQ(at, text.size());
        tamsel_stream_close(s);
    }
    tamsel_free(rt);
}

// A failing allocation anywhere in a stream's life (open, its window, the objects' strings and
// blocks, a later object after earlier ones were delivered) ends in status 8 with nothing left,
// through a reader, a buffer read in place and a file.
TEST(ObjectStream, AllocationFailureAtEveryIndexLeavesNothingBehind) {
    const std::string text = "{\"id\":1,\"name\":\"first\"}\n{\"name\":\"" + std::string(300, 'n') +
                             "\",\"id\":2}\n{\"id\":3,\"name\":\"a\\u00e9\\n\"} {\"id\":4}";
    char path[] = "/tmp/tamsel-ostream-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    for (int door = 0; door < 3; ++door) {
        const size_t runs =
            tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
                tamsel_runtime *rt = tamsel_test::runtime_with(a);
                tamsel_error e{};
                chunked_reader r{&text};
                r.step = 7;
                tamsel_buffer_reader b;
                tamsel_buffer_reader_init(&b, text.data(), text.size());
                tamsel_stream *s =
                    door == 0
                        ? tamsel_stream_open_reader(rt, line_map(), chunked_reader::read, &r, &e)
                    : door == 1 ? tamsel_stream_open_reader(rt, line_map(),
                                                            tamsel_buffer_reader_read, &b, &e)
                                : tamsel_stream_open_path(rt, line_map(), path, &e);
                tamsel_status st = s ? TAMSEL_STATUS_OK : e.code;
                line l{};
                std::string got;
                tamsel_stream_result res;
                while (s && (res = tamsel_stream_next(s, &l, &e)) == TAMSEL_STREAM_ITEM)
                    got += std::to_string(l.id) + ":" + (l.name ? l.name : "-") + ",";
                if (s && res == TAMSEL_STREAM_ERROR) st = e.code;
                if (st == TAMSEL_STATUS_OK) {
                    EXPECT_EQ(got, "1:first,2:" + std::string(300, 'n') + ",3:a\xc3\xa9\n,4:-,");
                }
                tamsel_cleanup(line_map(), &l);
                tamsel_stream_close(s);
                tamsel_free(rt);
                return st;
            });
        EXPECT_GT(runs, 2u) << door;
    }
    unlink(path);
}

// A reader that calls next on its own stream is refused; one that closes it has the stream
// freed once the running next returns.
TEST(ObjectStream, CallsFromItsOwnReader) {
    struct ctx {
        tamsel_stream *s = nullptr;
        int calls = 0;
        std::string log;
    };
    const auto reader = [](void *user, void *buffer, size_t capacity) {
        auto *c = static_cast<ctx *>(user);
        line other{};
        tamsel_error e;
        c->log += std::to_string(tamsel_stream_next(c->s, &other, &e)) + " " + e.message + ";";
        tamsel_read_result r = tamsel_default_read_result();
        const char text[] = "{\"id\":7}\n";
        if (c->calls++ == 0 && capacity >= sizeof text - 1) {
            std::memcpy(buffer, text, sizeof text - 1);
            r.bytes = sizeof text - 1;
        } else {
            tamsel_stream_close(c->s);
            r.eof = 1;
        }
        return r;
    };
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    ctx c;
    tamsel_error e;
    c.s = tamsel_stream_open_reader(rt, line_map(), reader, &c, &e);
    line l{};
    EXPECT_EQ(tamsel_stream_next(c.s, &l, &e), TAMSEL_STREAM_ITEM);
    EXPECT_EQ(l.id, 7);
    EXPECT_EQ(tamsel_stream_next(c.s, &l, &e), TAMSEL_STREAM_END); // closed by the reader
    EXPECT_EQ(c.log, "3 stream called from its own callback;3 stream called from its own "
                     "callback;");
    tamsel_cleanup(line_map(), &l);
    tamsel_free(rt);
}

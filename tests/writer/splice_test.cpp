// Value streams and splicing: values normalised to compact text whatever the split points,
// the stream's refusals and latches, every one-shot door, array items of another input, and
// a seeded property test of the writer's well-formedness promise.
#include "support/counting_allocator.hpp"
#include "writer_support.hpp"

#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>
#include <vector>

using namespace writer_test;

namespace {

std::string splice_whole(const std::string &text, tamsel_status *st, tamsel_error *e) {
    bound_writer w;
    *st = tamsel_writer_json_value_buffer(w.get(), text.data(), text.size(), e);
    return w.out();
}

TEST(WriterValueStream, NormalisesAtEverySplitPoint) {
    const std::string inputs[] = {
        " { \"a\" : [ 1 , 2 ] } ",
        "\"\\u0041\\/\"",
        "1e5",
        "[true,false,null,{\"k\\n\":\"\\u00e9\\u0001\",\"\":[]},-0.5E-3,\"\"]",
    };
    const std::string expected[] = {
        "{\"a\":[1,2]}",
        "\"A/\"",
        "1e5",
        "[true,false,null,{\"k\\n\":\"\xc3\xa9\\u0001\",\"\":[]},-0.5E-3,\"\"]",
    };
    for (size_t i = 0; i < std::size(inputs); ++i) {
        const std::string &in = inputs[i];
        tamsel_status st;
        tamsel_error e;
        EXPECT_EQ(splice_whole(in, &st, &e), expected[i]);
        EXPECT_EQ(st, TAMSEL_STATUS_OK) << e.message;
        for (size_t cut = 0; cut <= in.size(); ++cut) {
            bound_writer w;
            tamsel_writer_value_stream vs;
            tamsel_writer_value_stream_init(&vs);
            ASSERT_EQ(vs.open(&vs, w.get(), nullptr), 0);
            ASSERT_EQ(vs.push(&vs, in.data(), cut, nullptr), 0) << cut;
            ASSERT_EQ(vs.push(&vs, in.data() + cut, in.size() - cut, nullptr), 0) << cut;
            ASSERT_EQ(vs.close(&vs, &e), 0) << e.message;
            vs.cleanup(&vs);
            EXPECT_EQ(w.out(), expected[i]) << cut;
            EXPECT_EQ(tamsel_writer_finish(w.get(), nullptr), 0);
        }
    }
}

TEST(WriterValueStream, RefusalsAndLatches) {
    struct bad {
        const char *text;
        const char *message;
    };
    for (const bad &b : {bad{"12 3", "writer value stream contains trailing non-whitespace"},
                         bad{"[1,", "incomplete JSON document"}, bad{"[1,]", nullptr},
                         bad{"{\"a\" 1}", nullptr}}) {
        SCOPED_TRACE(b.text);
        bound_writer w;
        ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
        tamsel_status st =
            tamsel_writer_json_value_buffer(w.get(), b.text, std::strlen(b.text), &w.e);
        EXPECT_NE(st, TAMSEL_STATUS_OK);
        if (b.message) {
            EXPECT_STREQ(w.e.message, b.message);
        } else {
            EXPECT_GT(w.e.offset, 0u); // a parse error carries its position
        }
        EXPECT_EQ(tamsel_writer_end_array(w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);
        EXPECT_STREQ(w.e.message, "writer is in a failed state");
    }
    {
        tamsel_config c = tamsel_default_config();
        c.value_max_total_bytes = 4;
        bound_writer w(&c);
        tamsel_status st;
        st = tamsel_writer_json_value_buffer(w.get(), "1    ", 5, &w.e);
        EXPECT_EQ(st, TAMSEL_STATUS_OVERFLOW);
        EXPECT_STREQ(w.e.message, "writer value stream exceeds maximum total byte limit");
    }
    {
        bound_writer w;
        ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
        tamsel_writer_value_stream vs;
        tamsel_writer_value_stream_init(&vs);
        ASSERT_EQ(tamsel_writer_value_stream_open(&vs, w.get(), nullptr), 0);
        EXPECT_EQ(tamsel_writer_i64(w.get(), 1, &w.e), TAMSEL_STATUS_INVALID_JSON);
        EXPECT_STREQ(w.e.message, "writer value stream is still open");
        tamsel_writer_value_stream vs2;
        tamsel_writer_value_stream_init(&vs2);
        EXPECT_EQ(tamsel_writer_value_stream_open(&vs2, w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);
        ASSERT_EQ(tamsel_writer_value_stream_push(&vs, "1", 1, nullptr), 0);
        tamsel_writer_value_stream_cleanup(&vs); // never closed: the value may be cut
        EXPECT_EQ(tamsel_writer_end_array(w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);
        EXPECT_STREQ(w.e.message, "writer is in a failed state");
    }
    {
        // A stream whose writer is cleaned up first is left harmless.
        bound_writer w;
        tamsel_writer_value_stream vs;
        tamsel_writer_value_stream_init(&vs);
        ASSERT_EQ(tamsel_writer_value_stream_open(&vs, w.get(), nullptr), 0);
        tamsel_writer_cleanup(w.get());
        EXPECT_EQ(tamsel_writer_value_stream_push(&vs, "1", 1, &w.e), TAMSEL_STATUS_INVALID_JSON);
        tamsel_writer_value_stream_cleanup(&vs);
    }
    {
        bound_writer w;
        EXPECT_EQ(tamsel_writer_json_value_path(w.get(), "/nonexistent/x.json", &w.e),
                  TAMSEL_STATUS_IO_ERROR);
        EXPECT_STREQ(w.e.message, "failed to open JSON value path");
        EXPECT_EQ(tamsel_writer_null(w.get(), nullptr), 0); // still usable
        EXPECT_EQ(w.out(), "null");
    }
}

TEST(WriterValueStream, EveryDoor) {
    const std::string text = "{\"x\": [1, \"two\"]}";
    const std::string want = "[{\"x\":[1,\"two\"]},{\"x\":[1,\"two\"]},{\"x\":[1,\"two\"]},"
                             "{\"x\":[1,\"two\"]},{\"x\":[1,\"two\"]}]";
    char path[] = "/tmp/tamsel-writer-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    bound_writer w;
    tamsel_spooled sp;
    tamsel_spooled_init(w.rt, &sp);
    ASSERT_EQ(tamsel_spooled_append(&sp, text.data(), text.size(), nullptr), 0);
    ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_json_value_path(w.get(), path, &w.e), 0) << w.e.message;
    FILE *f = fopen(path, "rb");
    EXPECT_EQ(tamsel_writer_json_value_file(w.get(), f, &w.e), 0) << w.e.message;
    fclose(f);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(tamsel_writer_json_value_fd(w.get(), fd, &w.e), 0) << w.e.message;
    EXPECT_EQ(tamsel_writer_json_value_spooled(w.get(), &sp, &w.e), 0) << w.e.message;
    struct one_byte {
        const std::string *t;
        size_t at = 0;
        static tamsel_read_result read(void *u, void *buf, size_t) {
            auto *o = static_cast<one_byte *>(u);
            tamsel_read_result r = tamsel_default_read_result();
            if (o->at < o->t->size()) {
                static_cast<char *>(buf)[0] = (*o->t)[o->at++];
                r.bytes = 1;
            }
            r.eof = o->at == o->t->size();
            return r;
        }
    } rd{&text};
    EXPECT_EQ(tamsel_writer_json_value_reader(w.get(), one_byte::read, &rd, &w.e), 0);
    EXPECT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
    EXPECT_EQ(w.out(), want);
    tamsel_spooled_cleanup(&sp);
    close(fd);
    unlink(path);

    // A reader that never progresses fails by the shared reader rule and latches.
    bound_writer stuck;
    auto empty = [](void *, void *, size_t) { return tamsel_default_read_result(); };
    EXPECT_EQ(tamsel_writer_json_value_reader(stuck.get(), empty, nullptr, &stuck.e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(stuck.e.message, "reader made no progress");
}

TEST(WriterSplice, ArrayItemsHoldersAndRecords) {
    bound_writer w;
    ASSERT_EQ(tamsel_writer_begin_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_array_items_buffer(w.get(), nullptr, "[1]", 3, &w.e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(w.e.message, "writer is not inside an array");
    EXPECT_EQ(w.out(), "{");
    ASSERT_EQ(tamsel_writer_key(w.get(), "a", 1, nullptr), 0);
    ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    ASSERT_EQ(tamsel_writer_i64(w.get(), 0, nullptr), 0);
    const char items[] = " [1, {\"b\" : 2},\"x\" ] ";
    EXPECT_EQ(tamsel_writer_array_items_buffer(w.get(), "", items, sizeof items - 1, &w.e), 0)
        << w.e.message;
    EXPECT_EQ(w.out(), "{\"a\":[0,1,{\"b\" : 2},\"x\"");
    const char member[] = "{\"skip\":[9],\"list\":[[],3]}";
    EXPECT_EQ(tamsel_writer_array_items_buffer(w.get(), "list", member, sizeof member - 1, &w.e), 0)
        << w.e.message;
    tamsel_json_value holder;
    tamsel_json_value_init(w.rt, &holder);
    ASSERT_EQ(tamsel_json_value_set_buffer(&holder, "{\"h\": [true]}", 13, nullptr), 0);
    EXPECT_EQ(tamsel_writer_json_value(w.get(), &holder, nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_key(w.get(), "h", 1, nullptr), 0);
    EXPECT_EQ(tamsel_writer_json_value(w.get(), &holder, nullptr), 0);
    // An invalid map is refused before any output.
    static tamsel_field bad_fields[1] = {};
    const tamsel_map bad_map = {"bad", 8, bad_fields, 1, nullptr, nullptr};
    int record = 0;
    EXPECT_EQ(tamsel_writer_key(w.get(), "m", 1, nullptr), 0);
    const std::string before = w.out();
    EXPECT_EQ(tamsel_writer_mapped(w.get(), &bad_map, &record, &w.e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(w.e.message, "invalid map layout");
    EXPECT_EQ(w.out(), before);
    EXPECT_EQ(tamsel_writer_null(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_finish(w.get(), nullptr), 0);
    EXPECT_EQ(w.out(), "{\"a\":[0,1,{\"b\" : 2},\"x\",[],3,{\"h\":[true]}],\"h\":{\"h\":[true]},"
                       "\"m\":null}");
    tamsel_json_value_cleanup(&holder);

    // Invalid items fail with their position and latch once something was written.
    bound_writer v;
    ASSERT_EQ(tamsel_writer_begin_array(v.get(), nullptr), 0);
    EXPECT_NE(tamsel_writer_array_items_buffer(v.get(), nullptr, "[1,{]", 5, &v.e), 0);
    EXPECT_EQ(v.e.offset, 5u);
    EXPECT_EQ(tamsel_writer_end_array(v.get(), &v.e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(v.e.message, "writer is in a failed state");
}

// The output without the commas and colons between tokens (strings kept whole).
std::string without_separators(const std::string &json) {
    std::string out;
    bool in_string = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            out += c;
            if (c == '\\')
                out += json[++i];
            else if (c == '"')
                in_string = false;
        } else if (c != ',' && c != ':') {
            out += c;
            in_string = c == '"';
        }
    }
    return out;
}

// The well-formedness promise: random calls either fail without writing, leaving a prefix of
// valid JSON, or the finished output validates and holds exactly the tokens that were written,
// in order (checked against the texts the successful calls stand for).
TEST(WriterProperty, RandomCallsKeepOutputWellFormed) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    std::mt19937 rng(20261209);
    size_t finished = 0;
    for (int round = 0; round < 3000; ++round) {
        capture c;
        tamsel_writer w;
        ASSERT_EQ(tamsel_writer_init_sink(rt, &w, capture::sink, &c, nullptr), 0);
        tamsel_status fin = TAMSEL_STATUS_INVALID_JSON;
        std::string tokens; // what the successful calls wrote, separators left out
        for (int step = 0; step < 40; ++step) {
            tamsel_error e;
            const std::string before = c.out;
            tamsel_status st = TAMSEL_STATUS_OK;
            const char *token = "";
            switch (rng() % 12) {
            case 0:
                st = tamsel_writer_begin_object(&w, &e);
                token = "{";
                break;
            case 1:
                st = tamsel_writer_end_object(&w, &e);
                token = "}";
                break;
            case 2:
                st = tamsel_writer_begin_array(&w, &e);
                token = "[";
                break;
            case 3:
                st = tamsel_writer_end_array(&w, &e);
                token = "]";
                break;
            case 4:
                st = tamsel_writer_key(&w, "k\"", 2, &e);
                token = "\"k\\\"\"";
                break;
            case 5:
                st = tamsel_writer_string(&w, "s\n", 2, &e);
                token = "\"s\\n\"";
                break;
            case 6:
                st = tamsel_writer_i64(&w, -7, &e);
                token = "-7";
                break;
            case 7:
                st = tamsel_writer_json_value_buffer(&w, "[1,{\"a\":\"b\"}]", 13, &e);
                token = "[1{\"a\"\"b\"}]";
                break;
            case 8:
                st = tamsel_writer_number_text(&w, "2.5", 3, &e);
                token = "2.5";
                break;
            case 9:
                st = tamsel_writer_array_items_buffer(&w, nullptr, "[4,[5]]", 7, &e);
                token = "4[5]";
                break;
            case 10:
                st = tamsel_writer_null(&w, &e);
                token = "null";
                break;
            default:
                fin = tamsel_writer_finish(&w, &e);
                break;
            }
            if (st != TAMSEL_STATUS_OK) {
                EXPECT_EQ(c.out, before) << e.message;
            } else {
                tokens += token;
            }
            if (fin == TAMSEL_STATUS_OK) break;
        }
        EXPECT_EQ(without_separators(c.out), tokens) << c.out;
        tamsel_error e;
        const tamsel_status valid = tamsel_validate_buffer(rt, c.out.data(), c.out.size(), &e);
        if (fin == TAMSEL_STATUS_OK) {
            ++finished;
            EXPECT_EQ(valid, 0) << c.out;
        } else if (valid != TAMSEL_STATUS_OK) {
            // Unfinished output is a prefix of valid JSON: it fails only where it ends.
            EXPECT_EQ(e.offset, c.out.size()) << c.out << ": " << e.message;
        }
        tamsel_writer_cleanup(&w);
    }
    EXPECT_GT(finished, 100u);
    tamsel_free(rt);
}

TEST(WriterSplice, GeneratorWritersRefuseValueStreams) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_generator g;
    static std::string msg;
    ASSERT_EQ(tamsel_writer_generator_init(
                  rt, &g,
                  [](tamsel_writer *w, void *, tamsel_error *e) {
                      tamsel_writer_value_stream vs;
                      tamsel_writer_value_stream_init(&vs);
                      const tamsel_status st = vs.open(&vs, w, e);
                      msg = e->message;
                      if (st == TAMSEL_STATUS_OK) vs.cleanup(&vs);
                      return w->null(w, e);
                  },
                  nullptr),
              0);
    char buf[16];
    size_t n;
    int done;
    ASSERT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done), 0);
    EXPECT_EQ(std::string(buf, n), "null");
    EXPECT_EQ(msg, "writer value streams require sink-mode writers");
    tamsel_generator_cleanup(&g);
    tamsel_free(rt);
}

} // namespace

namespace {

// Every allocation of a value stream, a splice, a child generator (a holder, a spilled value),
// a one-shot string and a writer generator may fail: status 8, nothing leaked.
TEST(WriterFaults, AllocationFailuresAreClean) {
    tamsel_test::expect_allocation_failures_clean([](tamsel_test::counting_allocator &a) {
        tamsel_config c = tamsel_default_config();
        c.allocator = a.get();
        c.spool_classes[0].memory_limit = 4;
        a.pause();
        tamsel_runtime *rt = tamsel_new(&c, nullptr);
        tamsel_json_value holder;
        tamsel_json_value_init(rt, &holder);
        (void)tamsel_json_value_set_buffer(&holder, "[1,2]", 5, nullptr);
        tamsel_spooled spooled;
        tamsel_spooled_init(rt, &spooled);
        (void)tamsel_spooled_append(&spooled, "spilled \"text\"", 14, nullptr);
        a.resume();
        capture cap;
        tamsel_writer w;
        tamsel_status st = tamsel_writer_init_sink(rt, &w, capture::sink, &cap, nullptr);
        if (!st) st = tamsel_writer_begin_array(&w, nullptr);
        if (!st) st = tamsel_writer_json_value_buffer(&w, "{\"a\":[1,{}]}", 12, nullptr);
        if (!st) st = tamsel_writer_array_items_buffer(&w, nullptr, "[3,[4]]", 7, nullptr);
        if (!st) st = tamsel_writer_json_value(&w, &holder, nullptr);
        if (!st) st = tamsel_writer_string_spooled(&w, &spooled, nullptr);
        tamsel_writer_cleanup(&w);
        if (!st)
            st = tamsel_write_json_string_spooled_sink(rt, &spooled, capture::sink, &cap, nullptr);
        tamsel_generator g{};
        if (!st)
            st = tamsel_writer_generator_init(
                rt, &g,
                [](tamsel_writer *gw, void *u, tamsel_error *e) {
                    return gw->json_value(gw, static_cast<tamsel_json_value *>(u), e);
                },
                &holder);
        char buf[2];
        size_t n;
        int done = 0;
        while (!st && !done)
            st = tamsel_generator_read(&g, buf, sizeof buf, &n, &done);
        tamsel_generator_cleanup(&g);
        a.pause();
        tamsel_json_value_cleanup(&holder);
        tamsel_spooled_cleanup(&spooled);
        tamsel_free(rt);
        a.resume();
        return st;
    });
}

} // namespace

// Writer generators: a producer that repeats its blocked call gives, read in pieces of every
// size, the same bytes as the same script on one ordinary sink (and a prefix of them on a sink
// that truncates once full); misbehaving producers end the read instead of spinning.
#include "writer_support.hpp"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace writer_test;

namespace {

struct holder_rec {
    int64_t id;
    char *name;
};

const tamsel_map &holder_map() {
    static tamsel_field fields[2] = {};
    static bool ready = false;
    if (!ready) {
        const char *names[] = {"id", "name"};
        const size_t offsets[] = {offsetof(holder_rec, id), offsetof(holder_rec, name)};
        const tamsel_field_kind kinds[] = {TAMSEL_FIELD_I64, TAMSEL_FIELD_STRING};
        for (int i = 0; i < 2; ++i) {
            fields[i].name = names[i];
            fields[i].name_len = std::strlen(names[i]);
            fields[i].name_first = names[i][0];
            fields[i].name_last = names[i][fields[i].name_len - 1];
            fields[i].offset = offsets[i];
            fields[i].kind = kinds[i];
        }
        ready = true;
    }
    static const tamsel_map map = {"holder", sizeof(holder_rec), fields, 2, &map, nullptr};
    return map;
}

// One document through every operation a generator writer supports. Each step is one writer
// call; a TRUNCATED step is repeated on the next call of the producer.
struct script {
    tamsel_spooled spooled;
    tamsel_json_value value;
    holder_rec rec{42, const_cast<char *>("n\"ame")};
    // Longer than a sink writer's stack buffer: plain runs short and long, and escapes packed
    // tight, so that the text is handed over in several pieces.
    std::string long_text =
        std::string(700, 'p') + "\n" + std::string(600, 'q') + std::string(300, '\x01') + "\"end";
    std::string long_key = std::string(70, 'k') + "\t" + std::string(40, 'k');
    std::string long_number = "-1." + std::string(1500, '5') + "e-7";
    size_t next = 0;
    std::vector<std::function<tamsel_status(tamsel_writer *, tamsel_error *)>> steps;

    explicit script(tamsel_runtime *rt) {
        tamsel_spooled_init(rt, &spooled);
        EXPECT_EQ(tamsel_spooled_append(&spooled, "spool\x01\xfe\xff", 8, nullptr), 0);
        tamsel_json_value_init(rt, &value);
        EXPECT_EQ(tamsel_json_value_set_buffer(&value, " [1, {\"k\": \"\\u0041\"}] ", 22, nullptr),
                  0);
        auto &s = steps;
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->begin_object(w, e); });
        s.push_back(
            [](tamsel_writer *w, tamsel_error *e) { return w->key(w, "key \"one\"", 9, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) {
            return w->string(w, "text with \n and \x02 inside, long enough to cross pieces", 52, e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->key(w, "n", 1, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->begin_array(w, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->i64(w, -1234567890123, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->u64(w, 98765432109876, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->f64(w, 3.25e-7, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->boolean(w, 0, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->null(w, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) {
            return w->number_text(w, "-12.5e+300", 10, e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->string_begin(w, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) {
            return w->string_chunk(w, "chunk\\one", 9, e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->string_chunk(w, "", 0, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->string_end(w, e); });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->string_spooled(w, &spooled, e);
        });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->spooled_base64(w, &spooled, e);
        });
        s.push_back(
            [this](tamsel_writer *w, tamsel_error *e) { return w->json_value(w, &value, e); });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->mapped(w, &holder_map(), &rec, e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->end_array(w, e); });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->key(w, long_key.data(), long_key.size(), e);
        });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) { return w->begin_array(w, e); });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->string(w, long_text.data(), long_text.size(), e);
        });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->number_text(w, long_number.data(), long_number.size(), e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->string_begin(w, e); });
        s.push_back([this](tamsel_writer *w, tamsel_error *e) {
            return w->string_chunk(w, long_text.data(), long_text.size(), e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->string_end(w, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->end_array(w, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->key(w, "", 0, e); });
        s.push_back([](tamsel_writer *w, tamsel_error *e) {
            return w->string_reader(
                w,
                [](void *u, void *buf, size_t cap) {
                    auto *left = static_cast<int *>(u);
                    tamsel_read_result r = tamsel_default_read_result();
                    if (*left > 0 && cap >= 3) {
                        std::memcpy(buf, "r\"\n", 3);
                        r.bytes = 3;
                        --*left;
                    }
                    r.eof = *left == 0;
                    return r;
                },
                &reader_left, e);
        });
        s.push_back([](tamsel_writer *w, tamsel_error *e) { return w->end_object(w, e); });
    }
    ~script() {
        tamsel_spooled_cleanup(&spooled);
        tamsel_json_value_cleanup(&value);
    }

    static inline int reader_left = 0;

    static tamsel_status producer(tamsel_writer *w, void *user, tamsel_error *e) {
        auto *s = static_cast<script *>(user);
        while (s->next < s->steps.size()) {
            const tamsel_status st = s->steps[s->next](w, e);
            if (st == TAMSEL_STATUS_TRUNCATED) return st;
            if (st != TAMSEL_STATUS_OK) return st;
            ++s->next;
        }
        return TAMSEL_STATUS_OK;
    }
};

std::string on_sink(tamsel_runtime *rt, size_t limit, tamsel_status *finish) {
    script s(rt);
    script::reader_left = 4;
    capture c;
    c.limit = limit;
    tamsel_writer w;
    EXPECT_EQ(tamsel_writer_init_sink(rt, &w, capture::sink, &c, nullptr), 0);
    for (auto &step : s.steps) {
        const tamsel_status st = step(&w, nullptr);
        EXPECT_TRUE(st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) << w.error.message;
    }
    *finish = tamsel_writer_finish(&w, nullptr);
    tamsel_writer_cleanup(&w);
    return c.out;
}

TEST(WriterGenerator, EveryReadSizeGivesTheSinkBytes) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_status fin;
    const std::string whole = on_sink(rt, SIZE_MAX, &fin);
    EXPECT_EQ(fin, TAMSEL_STATUS_OK);
    tamsel_error e;
    ASSERT_EQ(tamsel_validate_buffer(rt, whole.data(), whole.size(), &e), 0) << e.message << whole;
    for (size_t size = 1; size <= 64; ++size) {
        SCOPED_TRACE(size);
        script s(rt);
        script::reader_left = 4;
        tamsel_generator g;
        ASSERT_EQ(tamsel_writer_generator_init(rt, &g, script::producer, &s), 0);
        std::string out;
        std::vector<char> buf(size + 1, '#');
        int done = 0;
        for (int guard = 0; !done && guard < 100000; ++guard) {
            size_t n = 0;
            ASSERT_EQ(g.read(&g, buf.data(), size, &n, &done), 0) << g.error.message;
            ASSERT_LE(n, size);
            ASSERT_EQ(buf[size], '#');
            out.append(buf.data(), n);
        }
        EXPECT_EQ(out, whole);
        tamsel_generator_cleanup(&g);
    }
    for (size_t limit : {size_t{0}, size_t{1}, size_t{17}, size_t{100}, whole.size() - 1}) {
        EXPECT_EQ(on_sink(rt, limit, &fin), whole.substr(0, limit));
        EXPECT_EQ(fin, TAMSEL_STATUS_TRUNCATED);
    }
    tamsel_free(rt);
}

TEST(WriterGenerator, ProducerWithoutProgressEndsTheRead) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_generator g;
    ASSERT_EQ(tamsel_writer_generator_init(
                  rt, &g,
                  [](tamsel_writer *, void *, tamsel_error *) { return TAMSEL_STATUS_TRUNCATED; },
                  nullptr),
              0);
    char buf[8];
    size_t n = 1;
    int done = 1;
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(done, 0);
    tamsel_generator_cleanup(&g);
    tamsel_generator_cleanup(&g);

    EXPECT_EQ(tamsel_writer_generator_init(rt, &g, nullptr, nullptr),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(g.error.message, "writer producer is required");
    // A producer that leaves the document incomplete fails the read with finish's message.
    ASSERT_EQ(tamsel_writer_generator_init(
                  rt, &g,
                  [](tamsel_writer *w, void *, tamsel_error *e) { return w->begin_array(w, e); },
                  nullptr),
              0);
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(g.error.message, "writer has unclosed containers");
    tamsel_generator_cleanup(&g);
    tamsel_free(rt);
}

TEST(WriterGenerator, BlockedCallMustBeRepeatedWithTheSameArguments) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    struct ctx {
        int calls = 0;
        tamsel_status second = TAMSEL_STATUS_OK;
        std::string msg;
    } c;
    tamsel_generator g;
    ASSERT_EQ(tamsel_writer_generator_init(
                  rt, &g,
                  [](tamsel_writer *w, void *u, tamsel_error *e) {
                      auto *c = static_cast<ctx *>(u);
                      static const char a[] = "abcdef", b[] = "abcdef";
                      if (c->calls++ == 0) return w->string(w, a, 6, e);
                      c->second = w->string(w, b, 6, e);
                      c->msg = e->message;
                      return c->second;
                  },
                  &c),
              0);
    char buf[3];
    size_t n;
    int done;
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done), 0);
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(c.msg, "active writer event must be resumed with the same arguments");
    tamsel_generator_cleanup(&g);

    // A producer that reports the document complete while its last call was blocked has cut
    // the value short: the read fails instead of handing out "123" as the whole document.
    ASSERT_EQ(tamsel_writer_generator_init(
                  rt, &g,
                  [](tamsel_writer *w, void *, tamsel_error *e) {
                      (void)w->i64(w, 1234567890, e);
                      return TAMSEL_STATUS_OK;
                  },
                  nullptr),
              0);
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(g.error.message, "writer event is still active");
    tamsel_generator_cleanup(&g);
    tamsel_free(rt);
}

} // namespace

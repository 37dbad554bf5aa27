// The writer core and its strings: documents, the misuse the state machine refuses (without
// writing or latching), sink failures that latch, truncating sinks, allocation failures, and
// the string, reader, number-text and one-shot forms.
#include "support/counting_allocator.hpp"
#include "writer_support.hpp"

#include <cmath>
#include <cstring>
#include <limits>

using namespace writer_test;

namespace {

std::string message(const tamsel_error &e) {
    return e.message;
}

TEST(WriterCore, WritesCompactDocuments) {
    bound_writer w;
    ASSERT_EQ(tamsel_writer_begin_object(w.get(), nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_writer_key(w.get(), "a", 1, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_writer_null(w.get(), nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_writer_key(w.get(), "b", 1, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(w->begin_array(w.get(), nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_writer_i64(w.get(), std::numeric_limits<int64_t>::min(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_u64(w.get(), UINT64_MAX, nullptr), 0);
    EXPECT_EQ(tamsel_writer_f64(w.get(), 0.1, nullptr), 0);
    EXPECT_EQ(tamsel_writer_bool(w.get(), 7, nullptr), 0);
    EXPECT_EQ(tamsel_writer_begin_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_key(w.get(), "a\"\x01", 3, nullptr), 0);
    EXPECT_EQ(tamsel_writer_string(w.get(), "a\"b", 3, nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_finish(w.get(), &w.e), TAMSEL_STATUS_OK);
    EXPECT_EQ(w.out(), "{\"a\":null,\"b\":[-9223372036854775808,18446744073709551615,"
                       "0.10000000000000001,true,{},[]],\"a\\\"\\u0001\":\"a\\\"b\"}");
}

TEST(WriterCore, RefusesMisuseWithoutWritingOrLatching) {
    struct step {
        const char *script; // o { a [ k key, v value, ] }, f finish
        const char *message;
    };
    const step cases[] = {
        {"ov", "object values must be preceded by a writer key"},
        {"okk", "previous object key is missing a value"},
        {"ok}", "object key is missing a value"},
        {"vv", "writer already has a root value"},
        {"vfv", "writer is already finished"},
        {"f", "writer emitted no JSON value"},
        {"af", "writer has unclosed containers"},
        {"a}", "writer is not inside an object"},
        {"o]", "writer is not inside an array"},
        {"k", "writer key requires an object"},
        {"ak", "writer key requires an object"},
    };
    for (const step &c : cases) {
        SCOPED_TRACE(c.script);
        bound_writer w;
        tamsel_status st = TAMSEL_STATUS_OK;
        std::string before;
        for (const char *p = c.script; *p; ++p) {
            before = w.out();
            switch (*p) {
            case 'o':
                st = tamsel_writer_begin_object(w.get(), &w.e);
                break;
            case 'a':
                st = tamsel_writer_begin_array(w.get(), &w.e);
                break;
            case '}':
                st = tamsel_writer_end_object(w.get(), &w.e);
                break;
            case ']':
                st = tamsel_writer_end_array(w.get(), &w.e);
                break;
            case 'k':
                st = tamsel_writer_key(w.get(), "k", 1, &w.e);
                break;
            case 'v':
                st = tamsel_writer_i64(w.get(), 1, &w.e);
                break;
            case 'f':
                st = tamsel_writer_finish(w.get(), &w.e);
                break;
            }
        }
        EXPECT_NE(st, TAMSEL_STATUS_OK);
        EXPECT_EQ(message(w.e), c.message);
        EXPECT_EQ(w.out(), before); // nothing written by the refused call
        // Not latched: a further call is judged on its own.
        EXPECT_NE(message(w.e), "writer is in a failed state");
    }
    bound_writer w;
    ASSERT_EQ(tamsel_writer_begin_object(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_i64(w.get(), 1, &w.e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(tamsel_writer_key(w.get(), "x", 1, nullptr), 0);
    EXPECT_EQ(tamsel_writer_i64(w.get(), 1, nullptr), 0);
    EXPECT_EQ(tamsel_writer_end_object(w.get(), nullptr), 0);
    EXPECT_EQ(w.out(), "{\"x\":1}");
    EXPECT_EQ(tamsel_writer_f64(w.get(), NAN, &w.e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message(w.e), "JSON numbers must be finite");
}

TEST(WriterCore, SinkFailureLatches) {
    bound_writer w;
    w.c.fail_at = 2;
    ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_i64(w.get(), 1, nullptr), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(message(w->error), "writer sink failed");
    EXPECT_EQ(tamsel_writer_end_array(w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(message(w.e), "writer is in a failed state");
    EXPECT_EQ(tamsel_writer_finish(w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);

    // A string handed over in several pieces: the failing piece latches, the rest is not sent.
    bound_writer l;
    l.c.fail_at = 2;
    const std::string text(3000, 'a');
    EXPECT_EQ(tamsel_writer_string(l.get(), text.data(), text.size(), nullptr),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(message(l->error), "writer sink failed");
    EXPECT_EQ(l.c.calls, 2u);
    EXPECT_EQ(tamsel_writer_null(l.get(), &l.e), TAMSEL_STATUS_INVALID_JSON);
}

// A sink that truncates takes the piece: every transition completes, the output stays a
// prefix of the right document, and the truncation is reported by the call and by finish.
TEST(WriterCore, TruncatingSinkCompletesEveryOperation) {
    for (size_t limit = 0; limit < 40; ++limit) {
        SCOPED_TRACE(limit);
        bound_writer w;
        w.c.limit = limit;
        tamsel_status worst = TAMSEL_STATUS_OK;
        auto run = [&](tamsel_status st) {
            ASSERT_TRUE(st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) << st;
            if (st) worst = st;
        };
        run(tamsel_writer_begin_object(w.get(), nullptr));
        run(tamsel_writer_key(w.get(), "s", 1, nullptr));
        run(tamsel_writer_string_begin(w.get(), nullptr));
        run(tamsel_writer_string_chunk(w.get(), "ab\n", 3, nullptr));
        run(tamsel_writer_string_end(w.get(), nullptr));
        run(tamsel_writer_key(w.get(), "o", 1, nullptr));
        run(tamsel_writer_begin_object(w.get(), nullptr));
        run(tamsel_writer_end_object(w.get(), nullptr));
        run(tamsel_writer_key(w.get(), "n", 1, nullptr));
        run(tamsel_writer_number_text(w.get(), "1.5", 3, nullptr));
        run(tamsel_writer_end_object(w.get(), nullptr));
        const tamsel_status fin = tamsel_writer_finish(w.get(), &w.e);
        const std::string full = "{\"s\":\"ab\\n\",\"o\":{},\"n\":1.5}";
        EXPECT_EQ(w.out(), full.substr(0, limit));
        EXPECT_EQ(fin, limit < full.size() ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK);
        EXPECT_EQ(worst, fin);
    }
}

TEST(WriterCore, DeepNestingAndReuse) {
    bound_writer w;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_finish(w.get(), nullptr), 0);
    EXPECT_EQ(w.out(), std::string(1000, '[') + std::string(1000, ']'));
    tamsel_writer_cleanup(w.get());
    tamsel_writer_cleanup(w.get());
    EXPECT_EQ(w->state, nullptr);
    EXPECT_EQ(tamsel_writer_null(w.get(), &w.e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message(w.e), "writer is required");
    ASSERT_EQ(tamsel_writer_init_sink(w.rt, w.get(), capture::sink, &w.c, nullptr), 0);
    EXPECT_EQ(tamsel_writer_null(w.get(), nullptr), 0);
}

// Allocation failures leave nothing behind, and a stack that cannot grow writes nothing: the
// bracket is never out without its entry.
TEST(WriterCore, AllocationFailuresAreClean) {
    tamsel_test::expect_allocation_failures_clean([](tamsel_test::counting_allocator &a) {
        tamsel_config c = tamsel_default_config();
        c.allocator = a.get();
        a.pause();
        tamsel_runtime *rt = tamsel_new(&c, nullptr);
        a.resume();
        capture cap;
        tamsel_writer w;
        tamsel_status st = tamsel_writer_init_sink(rt, &w, capture::sink, &cap, nullptr);
        for (int i = 0; st == TAMSEL_STATUS_OK && i < 20; ++i) {
            const std::string before = cap.out;
            st = tamsel_writer_begin_array(&w, nullptr);
            if (st) {
                EXPECT_EQ(cap.out, before);
            }
        }
        tamsel_writer_cleanup(&w);
        a.pause();
        tamsel_free(rt);
        a.resume();
        return st;
    });
}

TEST(WriterStrings, ChunksReadersAndNumbers) {
    bound_writer w;
    ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_string(w.get(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(tamsel_writer_string_chunk(w.get(), "x", 1, &w.e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(message(w.e), "writer string is not open");
    EXPECT_EQ(tamsel_writer_string_begin(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_string_chunk(w.get(), "\t/", 2, nullptr), 0);
    EXPECT_EQ(tamsel_writer_string_chunk(w.get(), "", 0, nullptr), 0);
    EXPECT_EQ(tamsel_writer_finish(w.get(), &w.e), TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(message(w.e), "writer string is still open");
    // A reader string is a value of its own: refused inside the open string, reader not called.
    auto never = [](void *, void *, size_t) {
        ADD_FAILURE() << "reader called";
        return tamsel_default_read_result();
    };
    EXPECT_EQ(tamsel_writer_string_reader(w.get(), never, nullptr, &w.e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_EQ(message(w.e), "writer string is still open");
    EXPECT_EQ(tamsel_writer_string_end(w.get(), nullptr), 0);
    EXPECT_EQ(w.out(), "[\"\",\"\\t/\"");

    struct pieces {
        size_t left = 10000;
        int calls = 0;
        static tamsel_read_result read(void *u, void *buf, size_t cap) {
            auto *p = static_cast<pieces *>(u);
            tamsel_read_result r = tamsel_default_read_result();
            const size_t n = std::min<size_t>({p->left, cap, 4000});
            std::memset(buf, 'a' + p->calls++, n);
            p->left -= n;
            r.bytes = n;
            r.eof = p->left == 0;
            return r;
        }
    } src;
    EXPECT_EQ(tamsel_writer_string_reader(w.get(), pieces::read, &src, nullptr), 0);
    const std::string expected =
        "\"" + std::string(4000, 'a') + std::string(4000, 'b') + std::string(2000, 'c') + "\"";
    EXPECT_NE(w.out().find(expected), std::string::npos);

    auto would_block = [](void *, void *, size_t) {
        tamsel_read_result r = tamsel_default_read_result();
        r.would_block = 1;
        return r;
    };
    EXPECT_EQ(tamsel_writer_string_reader(w.get(), would_block, nullptr, &w.e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(message(w.e), "string reader would block");
    EXPECT_EQ(tamsel_writer_string_reader(w.get(), would_block, &w, &w.e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message(w.e), "active string reader must be resumed with the same reader");
    // Ending the string gives the failed reader up: the same reader then starts a new string
    // instead of writing after the closing quote.
    EXPECT_EQ(tamsel_writer_string_end(w.get(), nullptr), 0);
    EXPECT_EQ(tamsel_writer_string_reader(w.get(), would_block, nullptr, nullptr),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(tamsel_writer_string_end(w.get(), nullptr), 0);
    EXPECT_EQ(w.out().substr(w.out().size() - 6), ",\"\",\"\"");

    for (const char *ok : {"-0", "1.5e+10", "0.0", "12", "-3E-2"}) {
        bound_writer n;
        EXPECT_EQ(tamsel_writer_number_text(n.get(), ok, std::strlen(ok), nullptr), 0) << ok;
        EXPECT_EQ(n.out(), ok);
    }
    for (const char *bad : {"01", "+1", "1.", ".5", "1e", "-", "NaN", "1 "}) {
        bound_writer n;
        EXPECT_EQ(tamsel_writer_number_text(n.get(), bad, std::strlen(bad), &n.e),
                  TAMSEL_STATUS_INVALID_JSON)
            << bad;
        EXPECT_EQ(message(n.e), "number text must be a JSON number");
        EXPECT_EQ(n.out(), "");
    }
}

// Strings of every length up to a few blocks, with one byte of each class at every place:
// the escapes are found wherever the blocks of the plain-run search fall.
TEST(WriterStrings, EscapesEveryByteAtEveryPlace) {
    const auto escaped = [](const std::string &text) {
        std::string out = "\"";
        for (unsigned char c : text) {
            const char *letter = c == '"' ? "\"" : c == '\\' ? "\\" : c == '\n' ? "n" : nullptr;
            char hex[8];
            if (letter)
                out += std::string("\\") + letter;
            else if (c < 0x20)
                out += (std::snprintf(hex, sizeof hex, "\\u%04x", c), hex);
            else
                out += static_cast<char>(c);
        }
        return out + "\"";
    };
    for (size_t len : {1, 15, 16, 17, 31, 33, 47, 64, 1100}) {
        for (int c : {0x22, 0x5C, 0x0A, 0x01, 0x1F, 0x20, 0x7F, 0x80, 0xFF}) {
            const size_t step = len > 100 ? 61 : 1;
            for (size_t at = 0; at < len; at += step) {
                std::string text(len, 'x');
                text[at] = static_cast<char>(c);
                bound_writer w;
                ASSERT_EQ(tamsel_writer_string(w.get(), text.data(), len, nullptr), 0);
                ASSERT_EQ(w.out(), escaped(text)) << len << " " << int(c) << " at " << at;
            }
        }
    }
}

TEST(WriterStrings, SpooledSourcesAndOneShots) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_spooled sp;
    tamsel_spooled_init(rt, &sp);
    ASSERT_EQ(tamsel_spooled_append(&sp, "hi\"\xff\x00", 5, nullptr), 0);
    capture c;
    EXPECT_EQ(tamsel_write_json_string_spooled_sink(rt, &sp, capture::sink, &c, nullptr), 0);
    EXPECT_EQ(c.out, "\"hi\\\"\xff\\u0000\"");
    c.out.clear();
    EXPECT_EQ(rt->methods.write_json_string_buffer_sink(rt, "a\nb", 3, capture::sink, &c, nullptr),
              0);
    EXPECT_EQ(c.out, "\"a\\nb\"");
    tamsel_error e;
    EXPECT_EQ(tamsel_write_json_string_spooled_sink(rt, nullptr, capture::sink, &c, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message(e), "spooled string value is required");

    // A 5000-byte file source goes to an ordinary sink in steps of at most 512 bytes.
    FILE *f = tmpfile();
    const std::string body(5000, 'z');
    fwrite(body.data(), 1, body.size(), f);
    tamsel_source src, unset;
    tamsel_source_init(&src);
    tamsel_source_init(&unset);
    ASSERT_EQ(tamsel_source_set_file(&src, f, nullptr), 0);
    {
        bound_writer w;
        struct largest {
            capture c;
            size_t max = 0;
            static tamsel_status sink(void *u, const void *d, size_t n, tamsel_error *e) {
                auto *l = static_cast<largest *>(u);
                l->max = std::max(l->max, n);
                return capture::sink(&l->c, d, n, e);
            }
        } big;
        tamsel_writer_cleanup(w.get());
        ASSERT_EQ(tamsel_writer_init_sink(w.rt, w.get(), largest::sink, &big, nullptr), 0);
        ASSERT_EQ(tamsel_writer_begin_array(w.get(), nullptr), 0);
        EXPECT_EQ(tamsel_writer_source_text(w.get(), &src, nullptr), 0);
        EXPECT_EQ(tamsel_writer_source_text(w.get(), &unset, nullptr), 0);
        EXPECT_EQ(tamsel_writer_spooled_base64(w.get(), &sp, nullptr), 0);
        EXPECT_EQ(tamsel_writer_source_base64(w.get(), &unset, nullptr), 0);
        EXPECT_EQ(tamsel_writer_end_array(w.get(), nullptr), 0);
        EXPECT_EQ(big.c.out, "[\"" + body + "\",null,\"aGki/wA=\",null]");
        EXPECT_LE(big.max, 512u);
    }
    tamsel_source_cleanup(&src);
    fclose(f);
    tamsel_spooled_cleanup(&sp);
    tamsel_free(rt);
}

} // namespace

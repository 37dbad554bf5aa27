// The pull generator: agreement with the serializer for JSON value holders of every kind,
// the read contract (capacity 0, done, reads after done), failures that stick, measure.
#include "serialize/every_kind.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

using namespace serialize_test;

namespace {

struct holder_rec {
    int64_t before;
    tamsel_json_value raw;
    int64_t after;
};
const tamsel_map &holder_map() {
    static const tamsel_field fields[] = {
        field("before", offsetof(holder_rec, before), TAMSEL_FIELD_I64),
        field("raw", offsetof(holder_rec, raw), TAMSEL_FIELD_JSON_VALUE),
        field("after", offsetof(holder_rec, after), TAMSEL_FIELD_I64),
    };
    static const tamsel_map map = {"holder", sizeof(holder_rec), fields, 3, &map, nullptr};
    return map;
}

std::string nested_arrays(int depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
}

// Each text is stored with set_buffer or read from a FILE*; the generator must write what
// the serializer writes, compact and pretty, in any piece size.
TEST(GeneratorHolders, WriteWhatTheSerializerWritesForEveryHolderKind) {
    const std::string texts[] = {
        "null",
        " { \"a\" : [ 1 , -2.5e+3 , \"x\\u00E9\\/\" ] , \"b\" : { } , \"c\" : [ ] } ",
        "\"\\udc00 a lone low surrogate\"",  // stored by set_buffer, never paired
        "\"" + std::string(300, 'z') + "\"", // longer than the holder's string limit below
        "12345678901234567890123456789012345678901234567890e-5",
        nested_arrays(100), // deeper than the holder's depth limit below
        "{\"k\":{\"k\":{\"k\":[true,false,null]}}}",
    };
    for (const std::string &text : texts) {
        for (bool from_file : {false, true}) {
            SCOPED_TRACE(text.substr(0, 40) + (from_file ? " (FILE*)" : " (buffer)"));
            holder_rec r{7, {}, 8};
            tamsel_json_value_init(nullptr, &r.raw);
            r.raw.limits.max_string_bytes = 16; // limits are for parsing into the holder
            r.raw.limits.max_depth = 4;
            FILE *f = nullptr;
            if (from_file) {
                f = std::tmpfile();
                std::fwrite(text.data(), 1, text.size(), f);
                ASSERT_EQ(tamsel_json_value_set_file(&r.raw, f, nullptr), TAMSEL_STATUS_OK);
            } else {
                ASSERT_EQ(tamsel_json_value_set_buffer(&r.raw, text.data(), text.size(), nullptr),
                          TAMSEL_STATUS_OK);
            }
            for (bool pretty : {false, true}) {
                runtime_holder rt(pretty);
                const std::string doc = serialize(rt.rt, holder_map(), &r);
                for (size_t piece : {1, 7, 4096})
                    EXPECT_EQ(generate(rt.rt, holder_map(), &r, piece), doc);
                size_t measured = 0;
                ASSERT_EQ(tamsel_generator_measure(rt.rt, &holder_map(), &r, &measured, nullptr),
                          TAMSEL_STATUS_OK);
                EXPECT_EQ(measured, doc.size());
            }
            tamsel_json_value_cleanup(&r.raw);
            if (f) std::fclose(f);
        }
    }
}

TEST(GeneratorHolders, PathAndDescriptorHoldersAreReadEachTime) {
    char name[] = "/tmp/tamsel-gen-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string text = "[1, {\"a\": \"b\"}]\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    for (int kind : {TAMSEL_JSON_PATH, TAMSEL_JSON_FD}) {
        holder_rec r{1, {}, 2};
        tamsel_json_value_init(nullptr, &r.raw);
        if (kind == TAMSEL_JSON_PATH)
            ASSERT_EQ(tamsel_json_value_set_path(&r.raw, name, nullptr), TAMSEL_STATUS_OK);
        else
            ASSERT_EQ(tamsel_json_value_set_fd(&r.raw, fd, nullptr), TAMSEL_STATUS_OK);
        runtime_holder rt(true);
        const std::string doc = serialize(rt.rt, holder_map(), &r);
        EXPECT_EQ(doc, "{\n  \"before\": 1,\n  \"raw\": [\n    1,\n    {\n      \"a\": \"b\"\n    "
                       "}\n  ],\n  \"after\": 2\n}");
        EXPECT_EQ(generate(rt.rt, holder_map(), &r, 3), doc);
        EXPECT_EQ(generate(rt.rt, holder_map(), &r, 0, 9), doc);
        tamsel_json_value_cleanup(&r.raw);
    }
    close(fd);
    std::remove(name);
}

// ---- the read contract --------------------------------------------------------------------

struct one {
    int64_t v;
    int pv;
};
const tamsel_map &one_map() {
    static tamsel_field fields[1];
    static const tamsel_map map = {"one", sizeof(one), fields, 1, &map, nullptr};
    fields[0] = field("v", 0, TAMSEL_FIELD_I64, TAMSEL_FIELD_HAS_PRESENCE);
    fields[0].presence_offset = offsetof(one, pv);
    return map;
}

TEST(GeneratorRead, CapacityZeroDoneAndReadsAfterDone) {
    runtime_holder rt;
    one r{5, 1};
    tamsel_generator g;
    ASSERT_EQ(tamsel_generator_init(rt.rt, &g, &one_map(), &r), TAMSEL_STATUS_OK);
    size_t n = 9;
    int done = 9;
    EXPECT_EQ(tamsel_generator_read(&g, nullptr, 0, &n, &done), TAMSEL_STATUS_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(done, 0);
    char buf[16];
    EXPECT_EQ(g.read(&g, buf, sizeof buf, &n, &done), TAMSEL_STATUS_OK);
    EXPECT_EQ(std::string(buf, n), "{\"v\":5}");
    EXPECT_EQ(done, 1);
    EXPECT_EQ(g.done, 1);
    for (size_t cap : {size_t{0}, sizeof buf}) {
        EXPECT_EQ(g.read(&g, buf, cap, &n, &done), TAMSEL_STATUS_OK);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(done, 1);
    }
    EXPECT_EQ(g.read(&g, nullptr, 4, &n, &done), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(g.error.message, "generator read buffer is required");
    g.cleanup(&g);
    g.cleanup(&g);
    EXPECT_EQ(g.state, nullptr);
    EXPECT_EQ(tamsel_generator_read(&g, buf, sizeof buf, &n, &done),
              TAMSEL_STATUS_INVALID_ARGUMENT);
}

TEST(GeneratorRead, AllOmittedIsDoneOnTheFirstReadOfTwoBytes) {
    runtime_holder rt(true);
    one r{5, 0};
    tamsel_generator g;
    ASSERT_EQ(tamsel_generator_init(rt.rt, &g, &one_map(), &r), TAMSEL_STATUS_OK);
    char buf[2];
    size_t n;
    int done;
    EXPECT_EQ(g.read(&g, buf, 2, &n, &done), TAMSEL_STATUS_OK);
    EXPECT_EQ(std::string(buf, n), "{}");
    EXPECT_EQ(done, 1);
    g.cleanup(&g);
}

struct dbl {
    double d;
    tamsel_f64_array ds;
};

TEST(GeneratorRead, AFailureSticksAndReportsNoBytes) {
    runtime_holder rt;
    double items[] = {1, NAN};
    for (bool in_array : {false, true}) {
        dbl r{in_array ? 1.0 : std::nan(""), {items, 2, 2, 0}};
        const tamsel_field fields[] = {field("d", 0, TAMSEL_FIELD_F64),
                                       field("ds", offsetof(dbl, ds), TAMSEL_FIELD_F64_ARRAY)};
        const tamsel_map map = {"dbl", sizeof(dbl), fields, 2, nullptr, nullptr};
        tamsel_generator g;
        ASSERT_EQ(tamsel_generator_init(rt.rt, &g, &map, &r), TAMSEL_STATUS_OK);
        char buf[64];
        size_t n = 9;
        int done = 9;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(g.read(&g, buf, sizeof buf, &n, &done), TAMSEL_STATUS_TYPE_MISMATCH);
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(done, 0);
            EXPECT_STREQ(g.error.message, "non-finite double cannot be serialized");
        }
        g.cleanup(&g);
    }
}

TEST(GeneratorInit, RefusesAndStillLeavesACleanableRecord) {
    runtime_holder rt;
    one r{1, 1};
    tamsel_generator g;
    std::memset(&g, 0x5a, sizeof g);
    EXPECT_EQ(tamsel_generator_init(nullptr, &g, &one_map(), &r), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(g.error.message, "tamsel runtime is required");
    EXPECT_EQ(g.state, nullptr);
    EXPECT_EQ(g.read, &tamsel_generator_read);
    EXPECT_EQ(g.cleanup, &tamsel_generator_cleanup);
    EXPECT_EQ(tamsel_generator_init(rt.rt, &g, nullptr, &r), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(g.error.message, "map and source are required for generator init");
    static tamsel_field bad[1];
    bad[0] = field("x", 100, TAMSEL_FIELD_I64); // past the record's end
    const tamsel_map bad_map = {"bad", 8, bad, 1, nullptr, nullptr};
    EXPECT_EQ(tamsel_generator_init(rt.rt, &g, &bad_map, &r), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(g.error.message, "invalid map layout");
    g.cleanup(&g);
    EXPECT_EQ(tamsel_generator_init(rt.rt, nullptr, &one_map(), &r),
              TAMSEL_STATUS_INVALID_ARGUMENT);
}

// ---- measure ------------------------------------------------------------------------------

struct source_rec {
    tamsel_source src;
};

TEST(GeneratorMeasure, RefusesWhatCannotBeReadTwice) {
    runtime_holder rt;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    source_rec r;
    tamsel_source_init(&r.src);
    ASSERT_EQ(tamsel_source_set_fd(&r.src, pipe_fds[0], nullptr), TAMSEL_STATUS_OK);
    const tamsel_field fields[] = {field("s", 0, TAMSEL_FIELD_SOURCE_TEXT)};
    const tamsel_map map = {"src", sizeof(source_rec), fields, 1, nullptr, nullptr};
    size_t n = 5;
    tamsel_error e;
    EXPECT_EQ(tamsel_generator_measure(rt.rt, &map, &r, &n, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "cannot measure non-rewindable JSON document");
    EXPECT_EQ(n, 0u);
    tamsel_source_cleanup(&r.src); // an omitted or empty source measures
    ASSERT_EQ(tamsel_generator_measure(rt.rt, &map, &r, &n, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(n, std::string("{\"s\":null}").size());
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    holder_rec h{1, {}, 2};
    tamsel_json_value_init(nullptr, &h.raw);
    ASSERT_EQ(tamsel_json_value_set_reader(
                  &h.raw, [](void *, void *, size_t) { return tamsel_default_read_result(); },
                  nullptr, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_generator_measure(rt.rt, &holder_map(), &h, &n, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "cannot measure non-rewindable JSON document");
    EXPECT_EQ(tamsel_generator_measure(rt.rt, &holder_map(), &h, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "map, source, and output length are required");
    tamsel_json_value_cleanup(&h.raw);
}

} // namespace

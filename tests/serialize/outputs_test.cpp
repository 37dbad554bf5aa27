// Every output door gives the same bytes: sink, caller buffer under each overflow policy,
// _alloc, _owned, FILE*, path, the generator in pieces, and measure. Sink statuses, growing
// buffer limits, closing a path, JSON Lines and the runtime's method table.
#include "serialize/every_kind.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace serialize_test;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string temp_path() {
    char name[] = "/tmp/tamsel-out-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    return name;
}

struct buffer_result {
    tamsel_status status;
    std::string text; // up to the NUL
    size_t needed;
    int truncated;
};

buffer_result to_buffer(tamsel_runtime *rt, const tamsel_map &map, const void *rec,
                        size_t capacity) {
    std::string buf(capacity + 1, '\x55'); // a sentinel just past the capacity
    size_t needed = 12345;
    tamsel_error e;
    buffer_result r;
    r.status = tamsel_serialize_buffer(rt, &map, rec, buf.data(), capacity, &needed, &e);
    EXPECT_EQ(buf[capacity], '\x55') << "wrote past the capacity";
    EXPECT_NE(std::memchr(buf.data(), 0, capacity), nullptr) << "not NUL-terminated";
    r.text = buf.c_str();
    r.needed = needed;
    r.truncated = e.truncated;
    if (r.status == TAMSEL_STATUS_OVERFLOW) {
        EXPECT_STREQ(e.message, "output buffer too small");
    }
    return r;
}

class OutputDoors : public ::testing::TestWithParam<bool> {};

TEST_P(OutputDoors, EveryDoorGivesTheSameBytes) {
    const bool pretty = GetParam();
    std::mt19937_64 rng(42);
    for (int round = 0; round < 20; ++round) {
        every_record record;
        record.assign(make_random_every(rng));
        const every &rec = record.get();
        const tamsel_map &map = every_map();
        runtime_holder rt(pretty);
        const std::string doc = serialize(rt.rt, map, &rec);
        ASSERT_FALSE(doc.empty());

        for (uint32_t policy : {0u, 1u, 2u}) {
            runtime_holder prt(pretty, policy);
            buffer_result fit = to_buffer(prt.rt, map, &rec, doc.size() + 1);
            EXPECT_EQ(fit.status, TAMSEL_STATUS_OK);
            EXPECT_EQ(fit.text, doc);
            EXPECT_EQ(fit.needed, doc.size());
            // One byte short: the closing brace is the piece that does not fit.
            buffer_result shortby1 = to_buffer(prt.rt, map, &rec, doc.size());
            EXPECT_EQ(shortby1.text, doc.substr(0, doc.size() - 1));
            EXPECT_EQ(shortby1.needed, doc.size());
            EXPECT_EQ(shortby1.truncated, policy ? 1 : 0);
            buffer_result tiny = to_buffer(prt.rt, map, &rec, 1);
            EXPECT_EQ(tiny.text, "");
            if (policy == 0) {
                EXPECT_EQ(shortby1.status, TAMSEL_STATUS_OVERFLOW);
                EXPECT_EQ(tiny.status, TAMSEL_STATUS_OVERFLOW);
                EXPECT_EQ(tiny.needed, 1u); // the opening brace
            } else {
                const tamsel_status want = policy == 1 ? TAMSEL_STATUS_TRUNCATED : TAMSEL_STATUS_OK;
                EXPECT_EQ(shortby1.status, want);
                EXPECT_EQ(tiny.status, want);
                EXPECT_EQ(tiny.needed, doc.size());
            }
        }

        tamsel_error e;
        size_t len = 0;
        char *alloc = tamsel_serialize_alloc(rt.rt, &map, &rec, &len, &e);
        ASSERT_NE(alloc, nullptr) << e.message;
        EXPECT_EQ(std::string(alloc, len), doc);
        EXPECT_EQ(alloc[len], '\0');
        std::free(alloc);

        tamsel_owned_buffer owned;
        ASSERT_EQ(tamsel_serialize_owned(rt.rt, &map, &rec, &owned, &e), TAMSEL_STATUS_OK);
        EXPECT_EQ(std::string(owned.data, owned.len), doc);
        EXPECT_EQ(owned.data[owned.len], '\0');
        EXPECT_GT(owned.capacity, owned.len);
        tamsel_owned_buffer_free(&owned);

        const std::string path = temp_path();
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_EQ(tamsel_serialize_filep(rt.rt, &map, &rec, f, &e), TAMSEL_STATUS_OK);
        std::fclose(f);
        EXPECT_EQ(slurp(path), doc);
        ASSERT_EQ(tamsel_serialize_path(rt.rt, &map, &rec, path.c_str(), &e), TAMSEL_STATUS_OK);
        EXPECT_EQ(slurp(path), doc);
        std::remove(path.c_str());

        for (size_t piece : {1, 7, 4096, 0})
            EXPECT_EQ(generate(rt.rt, map, &rec, piece, round), doc) << "pieces of " << piece;
        size_t measured = 0;
        ASSERT_EQ(tamsel_generator_measure(rt.rt, &map, &rec, &measured, &e), TAMSEL_STATUS_OK);
        EXPECT_EQ(measured, doc.size());
    }
}

INSTANTIATE_TEST_SUITE_P(CompactAndPretty, OutputDoors, ::testing::Bool());

// ---- sinks --------------------------------------------------------------------------------

struct scripted_sink {
    std::string bytes;
    size_t calls = 0;
    size_t fail_on = 0; // 1-based call that fails; 0 = none
    tamsel_status answer = TAMSEL_STATUS_OK;
    static tamsel_status write(void *user, const void *data, size_t len, tamsel_error *error) {
        auto *s = static_cast<scripted_sink *>(user);
        ++s->calls;
        if (s->calls == s->fail_on) {
            std::snprintf(error->message, sizeof error->message, "sink gave up");
            return TAMSEL_STATUS_CALLBACK_FAILED;
        }
        s->bytes.append(static_cast<const char *>(data), len);
        return s->answer;
    }
};

class SinkStatuses : public ::testing::Test {
  protected:
    void SetUp() override {
        every_values v;
        v.spooled_text = std::string(20000, 'x'); // several sink calls
        record.assign(v);
        doc = serialize(rt.rt, every_map(), &record.get());
    }
    runtime_holder rt;
    every_record record;
    std::string doc;
};

TEST_F(SinkStatuses, TruncatedLetsTheOutputGoOnAndIsTheResult) {
    scripted_sink sink;
    sink.answer = TAMSEL_STATUS_TRUNCATED;
    tamsel_error e;
    EXPECT_EQ(
        tamsel_serialize_sink(rt.rt, &every_map(), &record.get(), scripted_sink::write, &sink, &e),
        TAMSEL_STATUS_TRUNCATED);
    EXPECT_EQ(sink.bytes, doc);
    EXPECT_GT(sink.calls, 1u);
    EXPECT_EQ(e.truncated, 1);
}

TEST_F(SinkStatuses, AnyOtherStatusStopsAtOnceAndIsReturnedUnchanged) {
    scripted_sink sink;
    sink.fail_on = 2;
    tamsel_error e;
    EXPECT_EQ(
        tamsel_serialize_sink(rt.rt, &every_map(), &record.get(), scripted_sink::write, &sink, &e),
        TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "sink gave up");
    EXPECT_EQ(sink.calls, 2u);
    EXPECT_FALSE(sink.bytes.empty());
    EXPECT_EQ(doc.compare(0, sink.bytes.size(), sink.bytes), 0) << "written output stays";
}

TEST_F(SinkStatuses, OutputBeforeAWriterFailureStillReachesTheSink) {
    every &r = record.get();
    r.f64 = std::nan("");
    scripted_sink sink;
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_sink(rt.rt, &every_map(), &r, scripted_sink::write, &sink, &e),
              TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(e.message, "non-finite double cannot be serialized");
    const std::string before = doc.substr(0, doc.find("\"f64\":") + 6);
    EXPECT_EQ(sink.bytes, before);
}

// ---- growing buffers ----------------------------------------------------------------------

struct one {
    int64_t v;
};
const tamsel_map &one_map() {
    static const tamsel_field fields[] = {field("v", 0, TAMSEL_FIELD_I64)};
    static const tamsel_map map = {"one", sizeof(one), fields, 1, &map, nullptr};
    return map;
}

TEST(GrowingOutput, NoLimitAtAllIsTheLargestLimitNotAWrap) {
    runtime_holder rt(false, 0, UINT64_MAX);
    one r{42};
    tamsel_owned_buffer owned;
    tamsel_error e;
    ASSERT_EQ(tamsel_serialize_owned(rt.rt, &one_map(), &r, &owned, &e), TAMSEL_STATUS_OK)
        << e.message;
    EXPECT_EQ(std::string(owned.data, owned.len), "{\"v\":42}");
    EXPECT_EQ(owned.capacity, 2048u);
    tamsel_owned_buffer_free(&owned);
    size_t len;
    char *text = tamsel_serialize_alloc(rt.rt, &one_map(), &r, &len, &e);
    ASSERT_NE(text, nullptr) << e.message;
    EXPECT_STREQ(text, "{\"v\":42}");
    std::free(text);
    // A document larger than the first block grows past it.
    every_record big;
    every_values v;
    v.text = std::string(100000, 'y');
    big.assign(v);
    ASSERT_EQ(tamsel_serialize_owned(rt.rt, &every_map(), &big.get(), &owned, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(std::string(owned.data, owned.len), serialize(rt.rt, every_map(), &big.get()));
    tamsel_owned_buffer_free(&owned);
}

TEST(GrowingOutput, TheLimitIsTheLongestTextAndTheCapacityAtMostOneMore) {
    one r{123}; // {"v":123} is 9 bytes
    runtime_holder fits(false, 0, 9);
    tamsel_owned_buffer owned;
    tamsel_error e;
    ASSERT_EQ(tamsel_serialize_owned(fits.rt, &one_map(), &r, &owned, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(owned.len, 9u);
    EXPECT_LE(owned.capacity, 10u);
    tamsel_owned_buffer_free(&owned);
    runtime_holder over(false, 0, 8);
    EXPECT_EQ(tamsel_serialize_owned(over.rt, &one_map(), &r, &owned, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "serializer-owned output exceeds max_output_bytes");
    EXPECT_EQ(owned.data, nullptr);
    EXPECT_EQ(owned.len, 0u);
    size_t len = 7;
    EXPECT_EQ(tamsel_serialize_alloc(over.rt, &one_map(), &r, &len, &e), nullptr);
    EXPECT_EQ(len, 0u);
}

TEST(GrowingOutput, AllocRefusesACustomAllocator) {
    tamsel_allocator custom = tamsel_default_allocator();
    int tag;
    custom.user_data = &tag;
    runtime_holder rt(false, 0, 0, &custom);
    one r{1};
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_alloc(rt.rt, &one_map(), &r, nullptr, &e), nullptr);
    EXPECT_STREQ(e.message, "serialize_alloc uses the default allocator only; use "
                            "serialize_owned for custom allocators");
    EXPECT_EQ(tamsel_serialize_jsonl_alloc(rt.rt, &one_map(), &r, 1, 0, nullptr, &e), nullptr);
    EXPECT_STREQ(e.message, "serialize_jsonl_alloc uses the default allocator only; use "
                            "serialize_jsonl_owned for custom allocators");
}

// ---- paths --------------------------------------------------------------------------------

TEST(PathOutput, AFailingCloseIsReported) {
    runtime_holder rt;
    one r{1};
    tamsel_error e;
    // /dev/full accepts the buffered write and refuses the final flush.
    EXPECT_EQ(tamsel_serialize_path(rt.rt, &one_map(), &r, "/dev/full", &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to close '/dev/full'");
    EXPECT_EQ(e.system_errno, ENOSPC);
    EXPECT_EQ(tamsel_serialize_jsonl_path(rt.rt, &one_map(), &r, 1, 0, "/dev/full", &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to close '/dev/full'");
}

TEST(PathOutput, AnUnwritablePathNamesItself) {
    runtime_holder rt;
    one r{1};
    tamsel_error e;
    EXPECT_EQ(tamsel_serialize_path(rt.rt, &one_map(), &r, "/nonexistent/dir/x.json", &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to open '/nonexistent/dir/x.json' for writing");
    EXPECT_EQ(e.system_errno, ENOENT);
}

// ---- JSON Lines ---------------------------------------------------------------------------

TEST(JsonLines, RecordsFollowedByNewlinesThroughEveryDoor) {
    runtime_holder rt;
    const one recs[3] = {{1}, {2}, {3}};
    const std::string want = "{\"v\":1}\n{\"v\":2}\n{\"v\":3}\n";
    capture_sink sink;
    tamsel_error e;
    for (size_t stride : {size_t{0}, sizeof(one)}) {
        sink.bytes.clear();
        ASSERT_EQ(tamsel_serialize_jsonl_sink(rt.rt, &one_map(), recs, 3, stride,
                                              capture_sink::write, &sink, &e),
                  TAMSEL_STATUS_OK);
        EXPECT_EQ(sink.bytes, want);
    }
    char buf[64];
    size_t needed;
    ASSERT_EQ(
        tamsel_serialize_jsonl_buffer(rt.rt, &one_map(), recs, 3, 0, buf, sizeof buf, &needed, &e),
        TAMSEL_STATUS_OK);
    EXPECT_EQ(buf, want);
    // The last newline needs its own byte and the NUL's.
    EXPECT_EQ(
        tamsel_serialize_jsonl_buffer(rt.rt, &one_map(), recs, 3, 0, buf, want.size(), &needed, &e),
        TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(buf, want.substr(0, want.size() - 1));
    size_t len;
    char *text = tamsel_serialize_jsonl_alloc(rt.rt, &one_map(), recs, 3, 0, &len, &e);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), want);
    std::free(text);
    tamsel_owned_buffer owned;
    ASSERT_EQ(tamsel_serialize_jsonl_owned(rt.rt, &one_map(), recs, 3, 0, &owned, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(std::string(owned.data, owned.len), want);
    tamsel_owned_buffer_free(&owned);
    const std::string path = temp_path();
    ASSERT_EQ(tamsel_serialize_jsonl_path(rt.rt, &one_map(), recs, 3, 0, path.c_str(), &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(slurp(path), want);
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_EQ(tamsel_serialize_jsonl_filep(rt.rt, &one_map(), recs, 3, 0, f, &e), TAMSEL_STATUS_OK);
    std::fclose(f);
    EXPECT_EQ(slurp(path), want);
    std::remove(path.c_str());
}

TEST(JsonLines, EmptyRunsAndBadStrides) {
    runtime_holder rt;
    const one recs[2] = {{1}, {2}};
    tamsel_error e;
    size_t len = 9;
    EXPECT_EQ(tamsel_serialize_jsonl_alloc(rt.rt, &one_map(), nullptr, 0, 0, &len, &e), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(e.code, TAMSEL_STATUS_OK);
    capture_sink sink;
    EXPECT_EQ(tamsel_serialize_jsonl_sink(rt.rt, &one_map(), recs, 2, sizeof(one) - 1,
                                          capture_sink::write, &sink, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "stride must be at least map->struct_size");
    EXPECT_EQ(tamsel_serialize_jsonl_sink(rt.rt, &one_map(), nullptr, 2, 0, capture_sink::write,
                                          &sink, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "items are required when count is non-zero");
    EXPECT_TRUE(sink.bytes.empty());
}

// ---- argument checks ----------------------------------------------------------------------

TEST(SerializeArguments, EachDoorChecksItsOwnFirst) {
    one r{1};
    tamsel_error e;
    char buf[8];
    EXPECT_EQ(tamsel_serialize_sink(nullptr, &one_map(), &r, capture_sink::write, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    runtime_holder rt;
    EXPECT_EQ(tamsel_serialize_buffer(rt.rt, nullptr, &r, buf, 0, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "output buffer and capacity are required");
    buf[0] = 'x';
    EXPECT_EQ(tamsel_serialize_buffer(rt.rt, nullptr, &r, buf, sizeof buf, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "map, source, and sink are required");
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(tamsel_serialize_owned(rt.rt, &one_map(), &r, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "output buffer handle is required");
    EXPECT_EQ(tamsel_serialize_filep(rt.rt, &one_map(), &r, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "file pointer is required");
    EXPECT_EQ(tamsel_serialize_path(rt.rt, &one_map(), &r, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "path is required");
    EXPECT_EQ(tamsel_serialize_sink(rt.rt, &one_map(), &r, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "map, source, and sink are required");
    EXPECT_EQ(tamsel_serialize_jsonl_sink(rt.rt, &one_map(), &r, 1, 0, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "map and sink are required");
}

// ---- the method table ---------------------------------------------------------------------

TEST(SerializeMethods, EverySlotForwardsToItsOperation) {
    runtime_holder rt;
    const tamsel_runtime_methods &m = rt.rt->methods;
    const one recs[2] = {{5}, {6}};
    const std::string doc = "{\"v\":5}", lines = "{\"v\":5}\n{\"v\":6}\n";
    tamsel_error e;
    capture_sink sink;
    ASSERT_EQ(m.serialize_sink(rt.rt, &one_map(), recs, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_OK);
    ASSERT_EQ(m.serialize_jsonl_sink(rt.rt, &one_map(), recs, 2, 0, capture_sink::write, &sink, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(sink.bytes, doc + lines);
    char buf[64];
    ASSERT_EQ(m.serialize_buffer(rt.rt, &one_map(), recs, buf, sizeof buf, nullptr, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(buf, doc);
    ASSERT_EQ(m.serialize_jsonl_buffer(rt.rt, &one_map(), recs, 2, 0, buf, sizeof buf, nullptr, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(buf, lines);
    char *text = m.serialize_alloc(rt.rt, &one_map(), recs, nullptr, &e);
    EXPECT_STREQ(text, doc.c_str());
    std::free(text);
    text = m.serialize_jsonl_alloc(rt.rt, &one_map(), recs, 2, 0, nullptr, &e);
    EXPECT_STREQ(text, lines.c_str());
    std::free(text);
    tamsel_owned_buffer owned;
    ASSERT_EQ(m.serialize_owned(rt.rt, &one_map(), recs, &owned, &e), TAMSEL_STATUS_OK);
    EXPECT_STREQ(owned.data, doc.c_str());
    tamsel_owned_buffer_free(&owned);
    ASSERT_EQ(m.serialize_jsonl_owned(rt.rt, &one_map(), recs, 2, 0, &owned, &e), TAMSEL_STATUS_OK);
    EXPECT_STREQ(owned.data, lines.c_str());
    tamsel_owned_buffer_free(&owned);
    const std::string path = temp_path();
    ASSERT_EQ(m.serialize_path(rt.rt, &one_map(), recs, path.c_str(), &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(slurp(path), doc);
    ASSERT_EQ(m.serialize_jsonl_path(rt.rt, &one_map(), recs, 2, 0, path.c_str(), &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(slurp(path), lines);
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_EQ(m.serialize_filep(rt.rt, &one_map(), recs, f, &e), TAMSEL_STATUS_OK);
    ASSERT_EQ(m.serialize_jsonl_filep(rt.rt, &one_map(), recs, 2, 0, f, &e), TAMSEL_STATUS_OK);
    std::fclose(f);
    EXPECT_EQ(slurp(path), doc + lines);
    std::remove(path.c_str());
    tamsel_generator g;
    ASSERT_EQ(m.generator_init(rt.rt, &g, &one_map(), recs), TAMSEL_STATUS_OK);
    size_t n;
    int done;
    ASSERT_EQ(g.read(&g, buf, sizeof buf, &n, &done), TAMSEL_STATUS_OK);
    EXPECT_EQ(std::string(buf, n), doc);
    EXPECT_EQ(done, 1);
    g.cleanup(&g);
}

} // namespace

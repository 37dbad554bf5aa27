// Round trips: random records of every kind serialized, then parsed back with tamsel's own
// parser, compare equal field by field (doubles bit for bit); and the same for JSON Lines read
// back through an object stream.
#include "parse_support.hpp"
#include "serialize/every_kind.hpp"
#include "support/event_log.hpp"

#include <rapidjson/document.h>

#include <cstring>
#include <random>

using namespace serialize_test;

namespace {

struct read_back {
    every rec;
    read_back() {
        std::memset(&rec, 0, sizeof rec);
        tamsel_init(nullptr, &every_map(), &rec);
        tamsel_json_value_enable_parse_capture(&rec.raw, nullptr);
    }
    ~read_back() { tamsel_cleanup(&every_map(), &rec); }
};

std::string spooled(const tamsel_spooled &s) {
    std::string out;
    tamsel_spooled_write_to_sink(
        &s,
        [](void *u, const void *d, size_t n, tamsel_error *) {
            static_cast<std::string *>(u)->append(static_cast<const char *>(d), n);
            return TAMSEL_STATUS_OK;
        },
        &out, nullptr);
    return out;
}

bool same_double(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void expect_equal(const every &got, const every_values &want, const std::string &json) {
    if (want.text_null) {
        EXPECT_EQ(got.text, nullptr) << json;
    } else {
        ASSERT_NE(got.text, nullptr) << json;
        EXPECT_EQ(std::string(got.text), want.text);
    }
    EXPECT_EQ(std::string(got.fixed), want.fixed);
    EXPECT_EQ(spooled(got.spooled_text), want.spooled_text);
    EXPECT_EQ(spooled(got.spooled_bytes), want.spooled_bytes);
    if (want.raw.empty()) {
        EXPECT_EQ(got.raw.kind, TAMSEL_JSON_BUFFER) << "null is captured as the text null";
    } else {
        ASSERT_EQ(got.raw.kind, TAMSEL_JSON_BUFFER);
        rapidjson::Document a, b;
        a.Parse<rapidjson::kParseFullPrecisionFlag>(want.raw.c_str());
        b.Parse<rapidjson::kParseFullPrecisionFlag>(std::string(got.raw.data, got.raw.len).c_str());
        EXPECT_TRUE(a == b) << want.raw << " vs " << std::string(got.raw.data, got.raw.len);
    }
    EXPECT_EQ(got.i64, want.i64);
    EXPECT_EQ(got.u64, want.u64);
    EXPECT_TRUE(same_double(got.f64, want.f64)) << json;
    EXPECT_EQ(got.flag != 0, want.flag);
    EXPECT_EQ(got.obj.n, want.obj_n);
    EXPECT_EQ(std::string(got.obj.tag), want.obj_tag);
    ASSERT_EQ(got.strings.count, want.strings.size());
    for (size_t i = 0; i < want.strings.size(); ++i)
        EXPECT_EQ(std::string(got.strings.items[i]), want.strings[i]);
    ASSERT_EQ(got.i64s.count, want.i64s.size());
    for (size_t i = 0; i < want.i64s.size(); ++i)
        EXPECT_EQ(got.i64s.items[i], want.i64s[i]);
    ASSERT_EQ(got.u64s.count, want.u64s.size());
    for (size_t i = 0; i < want.u64s.size(); ++i)
        EXPECT_EQ(got.u64s.items[i], want.u64s[i]);
    ASSERT_EQ(got.f64s.count, want.f64s.size());
    for (size_t i = 0; i < want.f64s.size(); ++i)
        EXPECT_TRUE(same_double(got.f64s.items[i], want.f64s[i]));
    ASSERT_EQ(got.bools.count, want.bools.size());
    for (size_t i = 0; i < want.bools.size(); ++i)
        EXPECT_EQ(got.bools.items[i] != 0, want.bools[i] != 0);
    ASSERT_EQ(got.items.count, want.items.size());
    for (size_t i = 0; i < want.items.size(); ++i) {
        item it;
        std::memcpy(&it, static_cast<const unsigned char *>(got.items.items) + i * item_stride,
                    sizeof it);
        EXPECT_EQ(it.id, want.items[i].first);
        EXPECT_EQ(std::string(it.name), want.items[i].second);
    }
}

tamsel_runtime *roomy_runtime(uint32_t pretty) {
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = 0;
    c.max_string_bytes = 0;
    c.init_destination = 0; // the read-back record keeps its capture configuration
    c.pretty = pretty;
    return tamsel_new(&c, nullptr);
}

} // namespace

TEST(RoundTrip, RandomRecordsSerializeAndParseBackEqual) {
    std::mt19937_64 rng(20261208);
    for (uint32_t pretty = 0; pretty < 2; ++pretty) {
        tamsel_runtime *rt = roomy_runtime(pretty);
        for (int i = 0; i < 1500; ++i) {
            every_record src;
            src.assign(make_random_every(rng));
            tamsel_owned_buffer out = tamsel_default_owned_buffer();
            tamsel_error e;
            ASSERT_EQ(tamsel_serialize_owned(rt, &every_map(), &src.get(), &out, &e), 0u)
                << e.message;
            const std::string json(out.data, out.len);
            tamsel_owned_buffer_free(&out);
            read_back back;
            ASSERT_EQ(
                tamsel_parse_buffer(rt, &every_map(), &back.rec, json.data(), json.size(), &e), 0u)
                << e.message << " at " << e.offset << " in " << json;
            expect_equal(back.rec, src.values(), json);
            if (::testing::Test::HasFailure()) break;
        }
        tamsel_free(rt);
    }
}

TEST(RoundTrip, JsonLinesReadBackThroughAnObjectStream) {
    std::mt19937_64 rng(77);
    tamsel_runtime *rt = roomy_runtime(0);
    constexpr size_t count = 200;
    // The records stay where they were initialised (holders are keyed to their address):
    // they are serialized in place, every_record apart.
    std::vector<every_record> records(count);
    for (size_t i = 0; i < count; ++i)
        records[i].assign(make_random_every(rng));
    const size_t stride = reinterpret_cast<const unsigned char *>(&records[1].get()) -
                          reinterpret_cast<const unsigned char *>(&records[0].get());
    tamsel_owned_buffer out = tamsel_default_owned_buffer();
    tamsel_error e;
    ASSERT_EQ(
        tamsel_serialize_jsonl_owned(rt, &every_map(), &records[0].get(), count, stride, &out, &e),
        0u)
        << e.message;
    std::string text(out.data, out.len);
    tamsel_owned_buffer_free(&out);
    tamsel_test::chunked_reader r{&text};
    r.step = 0; // random read sizes
    tamsel_stream *s =
        tamsel_stream_open_reader(rt, &every_map(), tamsel_test::chunked_reader::read, &r, &e);
    ASSERT_NE(s, nullptr) << e.message;
    read_back back;
    for (size_t i = 0; i < count; ++i) {
        ASSERT_EQ(tamsel_stream_next(s, &back.rec, &e), TAMSEL_STREAM_ITEM)
            << i << ": " << e.message;
        expect_equal(back.rec, records[i].values(), "line " + std::to_string(i));
        tamsel_json_value_enable_parse_capture(&back.rec.raw, nullptr);
    }
    EXPECT_EQ(tamsel_stream_next(s, &back.rec, &e), TAMSEL_STREAM_END);
    tamsel_stream_close(s);
    tamsel_free(rt);
}

// Output of random records, compact and pretty, read back by RapidJSON as a peer parser: it
// must parse and hold exactly the values written.
#include "serialize/every_kind.hpp"

#include <rapidjson/document.h>

using namespace serialize_test;

namespace {

std::string str(const rapidjson::Value &v) {
    return std::string(v.GetString(), v.GetStringLength());
}

std::string base64_decode(const std::string &in) {
    auto val = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        if (c == '=') break;
        acc = (acc << 6) | static_cast<uint32_t>(val(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

void expect_double(const rapidjson::Value &v, double want) {
    ASSERT_TRUE(v.IsNumber());
    EXPECT_EQ(v.GetDouble(), want);
    if (v.IsDouble()) {
        EXPECT_EQ(std::signbit(v.GetDouble()), std::signbit(want));
    }
}

// The JSON value holder's text, compared as RapidJSON values.
void expect_raw(const rapidjson::Value &v, const std::string &text) {
    rapidjson::Document want;
    want.Parse(text.empty() ? "null" : text.c_str());
    ASSERT_FALSE(want.HasParseError());
    EXPECT_TRUE(v == want) << text;
}

void expect_values(const rapidjson::Document &d, const every_values &v) {
    ASSERT_TRUE(d.IsObject());
    if (v.text_null)
        EXPECT_TRUE(d["text"].IsNull());
    else
        EXPECT_EQ(str(d["text"]), v.text);
    EXPECT_EQ(str(d["fixed"]), v.fixed);
    EXPECT_EQ(str(d["spooled_text"]), v.spooled_text);
    EXPECT_EQ(base64_decode(str(d["spooled_bytes"])), v.spooled_bytes);
    EXPECT_TRUE(d["source_text"].IsNull());
    expect_raw(d["raw"], v.raw);
    EXPECT_EQ(d["i64"].GetInt64(), v.i64);
    EXPECT_EQ(d["u64"].GetUint64(), v.u64);
    expect_double(d["f64"], v.f64);
    EXPECT_EQ(d["flag"].GetBool(), v.flag);
    EXPECT_EQ(d["obj"]["n"].GetInt64(), v.obj_n);
    EXPECT_EQ(str(d["obj"]["tag"]), v.obj_tag);
    const auto &strings = d["strings"].GetArray();
    ASSERT_EQ(strings.Size(), v.strings.size());
    for (size_t i = 0; i < v.strings.size(); ++i)
        EXPECT_EQ(str(strings[i]), v.strings[i]);
    ASSERT_EQ(d["i64s"].Size(), v.i64s.size());
    for (size_t i = 0; i < v.i64s.size(); ++i)
        EXPECT_EQ(d["i64s"][i].GetInt64(), v.i64s[i]);
    ASSERT_EQ(d["u64s"].Size(), v.u64s.size());
    for (size_t i = 0; i < v.u64s.size(); ++i)
        EXPECT_EQ(d["u64s"][i].GetUint64(), v.u64s[i]);
    ASSERT_EQ(d["f64s"].Size(), v.f64s.size());
    for (size_t i = 0; i < v.f64s.size(); ++i)
        expect_double(d["f64s"][i], v.f64s[i]);
    ASSERT_EQ(d["bools"].Size(), v.bools.size());
    for (size_t i = 0; i < v.bools.size(); ++i)
        EXPECT_EQ(d["bools"][i].GetBool(), v.bools[i] != 0);
    ASSERT_EQ(d["items"].Size(), v.items.size());
    for (size_t i = 0; i < v.items.size(); ++i) {
        EXPECT_EQ(d["items"][i]["id"].GetInt64(), v.items[i].first);
        EXPECT_EQ(str(d["items"][i]["name"]), v.items[i].second);
    }
}

TEST(SerializePeerParse, RandomRecordsReadBackByRapidJson) {
    std::mt19937_64 rng(1234);
    runtime_holder compact(false), pretty(true);
    for (int round = 0; round < 3000; ++round) {
        every_record record;
        record.assign(make_random_every(rng));
        const std::string doc =
            serialize(round % 2 ? pretty.rt : compact.rt, every_map(), &record.get());
        rapidjson::Document d;
        d.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag>(
            doc.c_str(), doc.size());
        ASSERT_FALSE(d.HasParseError()) << "round " << round << ": " << doc;
        expect_values(d, record.values());
        if (HasFailure()) {
            ADD_FAILURE() << "round " << round << ": " << doc;
            return;
        }
    }
}

} // namespace

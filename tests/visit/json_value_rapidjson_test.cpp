// The JSON value transcoder over the real-world documents, with RapidJSON as the judge that
// the compact and pretty forms hold the same value as the input.
#include "visit/json_value.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

tamsel_status append(void *user, const void *data, size_t len, tamsel_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
    return TAMSEL_STATUS_OK;
}

std::string pretty(const tamsel_json_value &v, uint64_t base) {
    std::string out;
    tamsel_error e;
    EXPECT_EQ(tamsel::visit::transcode_json_value(&v, append, &out, &e, true, base),
              TAMSEL_STATUS_OK)
        << e.message;
    return out;
}

} // namespace

TEST(JsonValueTranscode, CorpusKeepsTheSameValueCompactAndPretty) {
    tamsel_json_value v_;
    tamsel_json_value_init(nullptr, &v_);
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json",
                             "github_events.json", "gsoc-2018.json", "mesh.json"}) {
        const std::string text = slurp(std::string(TAMSEL_TEST_DATA) + "/corpus/" + name);
        ASSERT_EQ(tamsel_json_value_set_buffer(&v_, text.data(), text.size(), nullptr),
                  TAMSEL_STATUS_OK)
            << name;
        const std::string compact(v_.data, v_.len);
        const std::string pretty_text = pretty(v_, 0);
        rapidjson::Document original, ours, ours_pretty;
        original.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str());
        ours.Parse<rapidjson::kParseFullPrecisionFlag>(compact.c_str());
        ours_pretty.Parse<rapidjson::kParseFullPrecisionFlag>(pretty_text.c_str());
        ASSERT_FALSE(original.HasParseError()) << name;
        EXPECT_TRUE(original == ours) << name << ": compact form differs";
        EXPECT_TRUE(original == ours_pretty) << name << ": pretty form differs";
        // Compacting the pretty form gives the compact form back, byte for byte.
        tamsel_json_value again;
        tamsel_json_value_init(nullptr, &again);
        ASSERT_EQ(
            tamsel_json_value_set_buffer(&again, pretty_text.data(), pretty_text.size(), nullptr),
            TAMSEL_STATUS_OK);
        EXPECT_EQ(std::string(again.data, again.len), compact) << name;
        tamsel_json_value_cleanup(&again);
    }
    tamsel_json_value_cleanup(&v_);
}

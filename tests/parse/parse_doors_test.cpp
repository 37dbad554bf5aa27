// Every parse and validate door gives the same result; reader rules; argument checks;
// JSONTestSuite through tamsel_validate_buffer.
#include "parse_support.hpp"
#include "support/event_log.hpp"
#include "support/utf8_cases.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <random>

using namespace parse_test;
using tamsel_test::chunked_reader;

namespace {

outcome of(tamsel_status st, const tamsel_error &e) {
    return {st, e.message, e.offset, e.line, e.column, e.truncated};
}

class Doors : public ::testing::Test {
  protected:
    void SetUp() override {
        rt_ = tamsel_new(nullptr, nullptr);
        char name[] = "/tmp/tamsel-parse-XXXXXX";
        int fd = mkstemp(name);
        close(fd);
        path_ = name;
    }
    void TearDown() override {
        tamsel_free(rt_);
        unlink(path_.c_str());
    }
    // The twitter extraction through every door; all must agree.
    void expect_doors_agree(const std::string &text) {
        std::ofstream(path_, std::ios::binary) << text;
        tamsel_error e;
        tw_doc d;
        outcome want =
            of(tamsel_parse_buffer(rt_, twitter_map(), &d, text.data(), text.size(), &e), e);
        const std::string values = describe(d);
        tamsel_cleanup(twitter_map(), &d);
        auto check = [&](tamsel_status st, const char *door) {
            EXPECT_EQ(of(st, e), want) << door;
            EXPECT_EQ(describe(d), values) << door;
            tamsel_cleanup(twitter_map(), &d);
        };
        check(tamsel_parse_cstr(rt_, twitter_map(), &d, text.c_str(), &e), "cstr");
        for (size_t step : {size_t{1}, size_t{1024}, size_t{0}}) {
            chunked_reader r{&text};
            r.step = step;
            check(tamsel_parse_reader(rt_, twitter_map(), &d, chunked_reader::read, &r, &e),
                  "reader");
        }
        FILE *f = std::fopen(path_.c_str(), "rb");
        check(tamsel_parse_filep(rt_, twitter_map(), &d, f, &e), "filep");
        std::fclose(f);
        check(tamsel_parse_path(rt_, twitter_map(), &d, path_.c_str(), &e), "path");
        check(rt_->methods.parse_buffer(rt_, twitter_map(), &d, text.data(), text.size(), &e),
              "table");
        // Validation agrees on whether the text is JSON.
        tamsel_status v = tamsel_validate_buffer(rt_, text.data(), text.size(), &e);
        chunked_reader r{&text};
        r.step = 7;
        EXPECT_EQ(tamsel_validate_reader(rt_, chunked_reader::read, &r, &e), v);
        EXPECT_EQ(tamsel_validate_path(rt_, path_.c_str(), &e), v);
    }
    tamsel_runtime *rt_ = nullptr;
    std::string path_;
};

} // namespace

TEST_F(Doors, EveryDoorAgrees) {
    expect_doors_agree(corpus("twitter.json"));
    expect_doors_agree(R"({"statuses": [{"id": 1, "text": "x"}, {"id": 2, "text": )");
    expect_doors_agree(R"({"statuses": [{"id": "1"}]})");
    expect_doors_agree("");
}

TEST_F(Doors, ReaderRules) {
    struct scripted {
        std::vector<tamsel_read_result> results;
        std::vector<std::string> bytes;
        size_t next = 0;
        static tamsel_read_result read(void *u, void *buf, size_t cap) {
            auto *s = static_cast<scripted *>(u);
            if (s->next >= s->results.size()) return {0, 1, 0, 0};
            size_t i = s->next++;
            std::memcpy(buf, s->bytes[i].data(), std::min(cap, s->bytes[i].size()));
            tamsel_read_result r = s->results[i];
            if (r.bytes == SIZE_MAX) r.bytes = cap + 1;
            return r;
        }
        void add(std::string b, int eof = 0, int wb = 0, int err = 0) {
            results.push_back({b.size(), eof, wb, err});
            bytes.push_back(std::move(b));
        }
    };
    tamsel_error e;
    scripted blocking;
    blocking.add("[1, 2", 0, 1);
    EXPECT_EQ(tamsel_validate_reader(rt_, scripted::read, &blocking, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader would block");
    EXPECT_EQ(e.offset, 5u) << "the bytes came first";
    scripted failing;
    failing.add("[1", 0, 0, EIO);
    EXPECT_EQ(tamsel_validate_reader(rt_, scripted::read, &failing, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "reader callback failed");
    EXPECT_EQ(e.system_errno, EIO);
    scripted oversized;
    oversized.add("[1");
    oversized.results.back().bytes = SIZE_MAX;
    EXPECT_EQ(tamsel_validate_reader(rt_, scripted::read, &oversized, &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(e.system_errno, EINVAL);
    scripted empties;
    empties.add("12");
    empties.add("");
    empties.add("3", 1);
    tw_doc d;
    EXPECT_EQ(tamsel_validate_reader(rt_, scripted::read, &empties, &e), 0u);
    EXPECT_EQ(e.offset, 3u) << "12 + nothing + 3 is 123, not 12";
    scripted stuck;
    stuck.add("1");
    for (int i = 0; i < TAMSEL_READER_MAX_EMPTY_READS; ++i)
        stuck.add("");
    EXPECT_EQ(tamsel_validate_reader(rt_, scripted::read, &stuck, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "reader made no progress");
    (void)d;
}

TEST_F(Doors, ArgumentChecks) {
    tamsel_error e;
    tw_doc d;
    EXPECT_EQ(tamsel_parse_buffer(nullptr, twitter_map(), &d, "{}", 2, &e), 1u);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    EXPECT_EQ(tamsel_parse_buffer(rt_, nullptr, &d, "{}", 2, &e), 1u);
    EXPECT_STREQ(e.message, "map and destination are required");
    EXPECT_EQ(tamsel_parse_buffer(rt_, twitter_map(), &d, nullptr, 2, &e), 1u);
    EXPECT_STREQ(e.message, "buffer is required");
    EXPECT_EQ(tamsel_parse_buffer(rt_, twitter_map(), &d, nullptr, 0, &e),
              TAMSEL_STATUS_INVALID_JSON);
    EXPECT_STREQ(e.message, "incomplete JSON document");
    tamsel_cleanup(twitter_map(), &d);
    EXPECT_EQ(tamsel_parse_cstr(nullptr, nullptr, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "json string is required");
    EXPECT_EQ(tamsel_parse_reader(rt_, twitter_map(), &d, nullptr, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "reader callback is required");
    EXPECT_EQ(tamsel_parse_filep(rt_, twitter_map(), &d, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "file pointer is required");
    EXPECT_EQ(tamsel_parse_path(rt_, twitter_map(), &d, nullptr, &e), 1u);
    EXPECT_STREQ(e.message, "path is required");
    EXPECT_EQ(tamsel_parse_path(rt_, twitter_map(), &d, "/nonexistent/p", &e),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_STREQ(e.message, "failed to open '/nonexistent/p'");
    EXPECT_EQ(e.system_errno, ENOENT);
    EXPECT_EQ(tamsel_validate_path(rt_, "/nonexistent/p", &e), TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(e.line, 1u);
    EXPECT_EQ(tamsel_validate_cstr(rt_, "\"bare string\"", &e), 0u);
    EXPECT_EQ(tamsel_parse_cstr(rt_, twitter_map(), &d, "\"bare string\"", &e),
              TAMSEL_STATUS_TYPE_MISMATCH);
    tamsel_cleanup(twitter_map(), &d);
}

namespace {

std::vector<std::string> suite(const char *prefix) {
    std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing";
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, prefix, 2) == 0) out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST_F(Doors, ConformanceSuiteThroughValidate) {
    std::string disagree;
    auto y = suite("y_"), n = suite("n_"), i = suite("i_");
    ASSERT_EQ(y.size(), 95u);
    ASSERT_EQ(n.size(), 188u);
    tamsel_config c = tamsel_default_config();
    c.max_depth = 0; // limited by the workspace only
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    for (const auto &f : y) {
        std::string t = slurp(f);
        tamsel_error e;
        if (tamsel_validate_buffer(rt, t.data(), t.size(), &e))
            disagree += f + ": " + e.message + "\n";
    }
    for (const auto &f : n) {
        std::string t = slurp(f);
        tamsel_error e;
        tamsel_status st = tamsel_validate_buffer(rt, t.data(), t.size(), &e);
        if (st != TAMSEL_STATUS_INVALID_JSON && st != TAMSEL_STATUS_OVERFLOW &&
            st != TAMSEL_STATUS_ALLOCATION_FAILED)
            disagree += f + ": accepted\n";
    }
    for (const auto &f : i) {
        std::string t = slurp(f);
        tamsel_error e;
        tamsel_status st = tamsel_validate_buffer(rt, t.data(), t.size(), &e);
        std::printf("  %-55s %s %s\n", f.substr(f.rfind('/') + 1).c_str(), tamsel_status_string(st),
                    e.message);
    }
    tamsel_free(rt);
    EXPECT_TRUE(disagree.empty()) << disagree;
}

// With the UTF-8 check on: every y_ file still passes, every n_ file still fails, and the i_
// and n_ files whose strings or keys hold ill-formed UTF-8 fail at it.
TEST_F(Doors, ConformanceSuiteWithTheUtf8Check) {
    tamsel_config c = tamsel_default_config();
    c.max_depth = 0;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), 0u);
    std::string disagree;
    for (const auto &f : suite("y_")) {
        std::string t = slurp(f);
        tamsel_error e;
        if (tamsel_validate_buffer(rt, t.data(), t.size(), &e))
            disagree += f + ": " + e.message + "\n";
    }
    for (const auto &f : suite("n_")) {
        std::string t = slurp(f);
        tamsel_error e;
        if (tamsel_validate_buffer(rt, t.data(), t.size(), &e) == TAMSEL_STATUS_OK)
            disagree += f + ": accepted\n";
    }
    const std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing/";
    for (const std::string &name : utf8_test::ill_formed_suite_files()) {
        std::string t = slurp(dir + name);
        ASSERT_FALSE(t.empty()) << name;
        tamsel_error e;
        if (tamsel_validate_buffer(rt, t.data(), t.size(), &e) != TAMSEL_STATUS_INVALID_JSON ||
            std::strncmp(e.message, "invalid UTF-8 in ", 17) != 0)
            disagree += name + ": " + e.message + "\n";
    }
    tamsel_free(rt);
    EXPECT_TRUE(disagree.empty()) << disagree;
}

namespace {

double parse_double(tamsel_runtime *rt, const std::string &text, tamsel_status *st) {
    struct one {
        double d;
    } o{};
    static const tamsel_field f[] = {
        {TAMSEL_KEY("d"), 0, TAMSEL_FIELD_F64, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"d", sizeof(one), f, 1, &m, nullptr};
    const std::string json = "{\"d\":" + text + "}";
    tamsel_error e;
    *st = tamsel_parse_buffer(rt, &m, &o, json.data(), json.size(), &e);
    return o.d;
}

void expect_round_trips(tamsel_runtime *rt, unsigned seed, int count) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < count; ++i) {
        uint64_t bits = rng();
        double want;
        std::memcpy(&want, &bits, sizeof want);
        if (!std::isfinite(want)) continue;
        char buf[64];
        for (int form = 0; form < 2; ++form) {
            size_t n;
            if (form == 0) { // the "%.17g" form, without the process locale
                n = static_cast<size_t>(
                    std::to_chars(buf, buf + sizeof buf, want, std::chars_format::general, 17).ptr -
                    buf);
            } else {
                n = static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, want).ptr - buf);
            }
            std::string text(buf, n);
            if (text.find('.') == std::string::npos && text.find('e') == std::string::npos &&
                text.find("inf") != std::string::npos)
                continue;
            // Both forms may print exponents like 1e+300: valid JSON numbers.
            tamsel_status st;
            double got = parse_double(rt, text, &st);
            if (std::fabs(want) < 1e-300 || std::fabs(want) > 1e300) continue; // range rules aside
            ASSERT_EQ(st, 0u) << text;
            ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text;
        }
    }
}

} // namespace

TEST(ParseDoubles, NearestDoubleForPrintedDoublesAndHardCases) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    expect_round_trips(rt, 1234, 3000);
    tamsel_status st;
    EXPECT_EQ(parse_double(rt, "2.2250738585072011e-308", &st), 2.2250738585072011e-308);
    EXPECT_EQ(parse_double(rt, "9007199254740993", &st), 9007199254740992.0);
    EXPECT_EQ(parse_double(rt, "0." + std::string(799, '0') + "1e800", &st), 1.0);
    EXPECT_EQ(st, 0u) << "an exponent of 800 scales the digits before it";
    EXPECT_EQ(parse_double(rt, "0." + std::string(799, '0') + "1", &st), 0.0);
    EXPECT_EQ(st, 0u) << "a long mantissa underflowing to zero is zero";
    EXPECT_EQ(parse_double(rt, "1" + std::string(300, '0'), &st), 1e300);
    EXPECT_EQ(st, 0u);
    tamsel_free(rt);
}

TEST(ParseDoubles, IndependentOfTheProcessLocale) {
    const char *locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"};
    const char *found = nullptr;
    for (const char *l : locales)
        if (std::setlocale(LC_NUMERIC, l)) {
            found = l;
            break;
        }
    if (!found)
        GTEST_SKIP()
            << "no comma-decimal locale installed (install 'locales' and generate de_DE.UTF-8)";
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_status st;
    EXPECT_EQ(parse_double(rt, "1.5", &st), 1.5);
    EXPECT_EQ(st, 0u);
    expect_round_trips(rt, 99, 1000);
    tamsel_free(rt);
    std::setlocale(LC_NUMERIC, "C");
}

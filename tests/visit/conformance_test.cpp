// JSONTestSuite through the visitor: y_ accepted, n_ rejected, i_ decided without crashing.
#include "support/event_log.hpp"
#include "support/utf8_cases.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> suite_files(const std::string &prefix) {
    std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing";
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) out.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Conformance : public ::testing::Test {
  protected:
    void SetUp() override { rt_ = tamsel_new(nullptr, nullptr); }
    void TearDown() override { tamsel_free(rt_); }
    tamsel_status visit(const std::string &json, tamsel_error *e) {
        tamsel_value_visitor v = tamsel_test::event_log::visitor();
        tamsel_test::event_log log;
        return tamsel_visit_value_buffer(rt_, json.data(), json.size(), &v, &log, e);
    }
    tamsel_runtime *rt_ = nullptr;
};

std::string base(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

} // namespace

TEST_F(Conformance, VisitorAcceptsEveryYFile) {
    auto files = suite_files("y_");
    ASSERT_EQ(files.size(), 95u);
    std::string disagree;
    for (const auto &f : files) {
        tamsel_error e;
        if (visit(slurp(f), &e) != TAMSEL_STATUS_OK) disagree += base(f) + ": " + e.message + "\n";
    }
    EXPECT_TRUE(disagree.empty()) << disagree;
}

TEST_F(Conformance, VisitorRejectsEveryNFile) {
    auto files = suite_files("n_");
    ASSERT_EQ(files.size(), 188u);
    std::string disagree;
    for (const auto &f : files) {
        tamsel_error e;
        tamsel_status st = visit(slurp(f), &e);
        if (st != TAMSEL_STATUS_INVALID_JSON && st != TAMSEL_STATUS_OVERFLOW)
            disagree += base(f) + ": status " + std::to_string(st) + "\n";
    }
    EXPECT_TRUE(disagree.empty()) << disagree;
}

TEST_F(Conformance, VisitorDecidesEveryIFile) {
    auto files = suite_files("i_");
    ASSERT_EQ(files.size(), 35u);
    for (const auto &f : files) {
        tamsel_error e;
        tamsel_status st = visit(slurp(f), &e);
        std::printf("  %-50s %s%s%s\n", base(f).c_str(), tamsel_status_string(st), st ? ": " : "",
                    st ? e.message : "");
    }
}

TEST_F(Conformance, SetBufferAgreesWithTheVisitorOnEveryFile) {
    std::string disagree;
    for (const char *prefix : {"y_", "n_", "i_"}) {
        for (const auto &f : suite_files(prefix)) {
            const std::string json = slurp(f);
            tamsel_json_value v;
            tamsel_json_value_init(nullptr, &v);
            tamsel_error e;
            tamsel_status st = tamsel_json_value_set_buffer(&v, json.data(), json.size(), &e);
            if (prefix[0] == 'y' && st != TAMSEL_STATUS_OK)
                disagree += base(f) + ": " + e.message + "\n";
            if (prefix[0] == 'n' && st != TAMSEL_STATUS_INVALID_JSON)
                disagree += base(f) + ": accepted\n";
            if (st == TAMSEL_STATUS_OK) {
                // What was stored is itself valid and compact: storing it again is a no-op.
                tamsel_json_value again;
                tamsel_json_value_init(nullptr, &again);
                EXPECT_EQ(tamsel_json_value_set_buffer(&again, v.data, v.len, nullptr),
                          TAMSEL_STATUS_OK);
                EXPECT_EQ(std::string(again.data, again.len), std::string(v.data, v.len));
                tamsel_json_value_cleanup(&again);
            }
            tamsel_json_value_cleanup(&v);
        }
    }
    EXPECT_TRUE(disagree.empty()) << disagree;
}

// With the runtime's UTF-8 check on, the y_ files still pass, and the files whose strings or
// keys hold ill-formed UTF-8 fail at it.
TEST_F(Conformance, VisitorWithTheUtf8CheckRejectsIllFormedText) {
    ASSERT_EQ(tamsel_set_utf8_check(rt_, 1, nullptr), 0u);
    std::string disagree;
    for (const auto &f : suite_files("y_")) {
        tamsel_error e;
        if (visit(slurp(f), &e) != TAMSEL_STATUS_OK) disagree += base(f) + ": " + e.message + "\n";
    }
    const std::string dir = std::string(TAMSEL_TEST_DATA) + "/JSONTestSuite/test_parsing/";
    for (const std::string &name : utf8_test::ill_formed_suite_files()) {
        const std::string json = slurp(dir + name);
        ASSERT_FALSE(json.empty()) << name;
        tamsel_error e;
        if (visit(json, &e) != TAMSEL_STATUS_INVALID_JSON ||
            std::string(e.message).rfind("invalid UTF-8 in ", 0) != 0)
            disagree += name + ": " + e.message + "\n";
    }
    EXPECT_TRUE(disagree.empty()) << disagree;
}

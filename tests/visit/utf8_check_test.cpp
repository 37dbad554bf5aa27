// The visitor's UTF-8 check: each case at every offset of a 64-byte block, in a string value and
// in a key, read from memory and through readers that hand over 1, 7 or 64 bytes a call (so the
// walker's windows cut the text everywhere). With the runtime's check on, an ill-formed case
// fails with status 2 at its first bad byte, after the chunks before it were delivered; with it
// off, every case is passed on as written.
#include "support/utf8_cases.hpp"

#include <gtest/gtest.h>

#include "tamsel.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

struct piece_reader {
    const std::string *text;
    size_t at = 0;
    size_t step;
    static tamsel_read_result read(void *user, void *buffer, size_t capacity) {
        auto *r = static_cast<piece_reader *>(user);
        const size_t n = std::min({r->step, capacity, r->text->size() - r->at});
        std::memcpy(buffer, r->text->data() + r->at, n);
        r->at += n;
        return {n, r->at == r->text->size(), 0, 0};
    }
};

// The decoded text of every string and key, joined.
tamsel_status collect(void *user, const char *bytes, size_t len, tamsel_error *) {
    static_cast<std::string *>(user)->append(bytes, len);
    return TAMSEL_STATUS_OK;
}

struct result {
    tamsel_status status;
    std::string message;
    size_t offset, line, column;
    std::string delivered;
};

result visit(tamsel_runtime *rt, const std::string &doc, size_t step) {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.string_chunk = collect;
    v.key_chunk = collect;
    result r{};
    tamsel_error e;
    if (step) {
        piece_reader reader{&doc, 0, step};
        r.status = tamsel_visit_value_reader(rt, piece_reader::read, &reader, &v, &r.delivered, &e);
    } else {
        r.status = tamsel_visit_value_buffer(rt, doc.data(), doc.size(), &v, &r.delivered, &e);
    }
    r.message = e.message;
    r.offset = e.offset;
    r.line = e.line;
    r.column = e.column;
    return r;
}

} // namespace

TEST(Utf8Check, VisitorStopsAtTheFirstBadByteWhateverTheReads) {
    tamsel_runtime *checked = tamsel_new(nullptr, nullptr);
    tamsel_runtime *unchecked = tamsel_new(nullptr, nullptr);
    ASSERT_EQ(tamsel_set_utf8_check(checked, 1, nullptr), 0u);
    for (const auto &c : utf8_test::cases()) {
        for (const bool key : {false, true}) {
            for (const auto &chars : utf8_test::fillers()) {
                for (size_t at = 0; at < 68; ++at) {
                    const std::string text =
                        utf8_test::filler(chars, at) + c.bytes + (at % 2 ? "zz" : "");
                    const std::string doc = (key ? "{\"" : "[\"") + text + (key ? "\":1}" : "\"]");
                    const std::string where = std::string(c.name) + " at " + std::to_string(at) +
                                              (key ? " in a key" : "");
                    for (size_t step : {0, 1, 7, 64}) {
                        const result off = visit(unchecked, doc, step);
                        ASSERT_EQ(off.status, 0u) << where << ": " << off.message;
                        ASSERT_EQ(off.delivered, text) << where;
                        const result on = visit(checked, doc, step);
                        if (c.bad < 0) {
                            ASSERT_EQ(on.status, 0u) << where << ": " << on.message;
                            continue;
                        }
                        const size_t bad = 2 + at + static_cast<size_t>(c.bad);
                        ASSERT_EQ(on.status, TAMSEL_STATUS_INVALID_JSON) << where;
                        EXPECT_EQ(on.message,
                                  key ? "invalid UTF-8 in key" : "invalid UTF-8 in string")
                            << where;
                        EXPECT_EQ(on.offset, bad + 1) << where << ", reads of " << step;
                        EXPECT_EQ(on.line, 1u);
                        EXPECT_EQ(on.column, bad + 1) << where;
                        EXPECT_EQ(on.delivered, text.substr(0, bad - 2)) << where;
                        if (HasFailure()) FAIL() << where << ", reads of " << step;
                    }
                }
            }
        }
    }
    tamsel_free(checked);
    tamsel_free(unchecked);
}

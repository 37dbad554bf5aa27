// The exported text rules write what the serializer writes.
#include "tamsel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

tamsel_status collect(void *u, const void *d, size_t n, tamsel_error *) {
    static_cast<std::string *>(u)->append(static_cast<const char *>(d), n);
    return TAMSEL_STATUS_OK;
}

} // namespace

TEST(TextExports, EscapesPiecesAndNumbers) {
    std::string out;
    ASSERT_EQ(tamsel__emit_escaped_bytes(collect, &out, nullptr, "a\"b\\\n\x01\xc3\xa9/", 9), 0u);
    EXPECT_EQ(out, "\"a\\\"b\\\\\\n\\u0001\xc3\xa9/\"");
    out.clear();
    // Cut anywhere, the pieces give the same body.
    ASSERT_EQ(tamsel__emit_escaped_fragment(collect, &out, nullptr, "x\t", 2), 0u);
    ASSERT_EQ(tamsel__emit_escaped_fragment(collect, &out, nullptr, "\"", 1), 0u);
    EXPECT_EQ(out, "x\\t\\\"");
    out.clear();
    ASSERT_EQ(tamsel__emit_number_text(collect, &out, nullptr, 0.1), 0u);
    EXPECT_EQ(out, "0.10000000000000001");
    tamsel_error e;
    EXPECT_EQ(tamsel__emit_number_text(collect, &out, &e, 1.0 / 0.0), TAMSEL_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(tamsel__emit_escaped_bytes(nullptr, nullptr, &e, "x", 1),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "sink is required");
}

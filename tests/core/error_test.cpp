#include "core/internal.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(StatusString, KnownCodesHaveTheirFixedTexts) {
    const char *expected[] = {"ok",
                              "invalid_argument",
                              "invalid_json",
                              "type_mismatch",
                              "missing_required_field",
                              "duplicate_field",
                              "overflow",
                              "truncated",
                              "allocation_failed",
                              "callback_failed",
                              "io_error",
                              "internal_error"};
    for (tamsel_status s = 0; s <= 11; ++s)
        EXPECT_STREQ(tamsel_status_string(s), expected[s]);
}

TEST(StatusString, ValuesAboveElevenAreUnknown) {
    EXPECT_STREQ(tamsel_status_string(12), "unknown");
    EXPECT_STREQ(tamsel_status_string(0xFFFFFFFFu), "unknown");
}

TEST(ErrorRecord, InitZeroesEveryMemberAndIgnoresNull) {
    tamsel_error e;
    std::memset(&e, 0xAB, sizeof e);
    tamsel_error_init(&e);
    EXPECT_EQ(e.code, 0u);
    EXPECT_EQ(e.line, 0u);
    EXPECT_EQ(e.column, 0u);
    EXPECT_EQ(e.offset, 0u);
    EXPECT_EQ(e.system_errno, 0);
    EXPECT_EQ(e.truncated, 0);
    EXPECT_STREQ(e.message, "");
    tamsel_error_init(nullptr);
}

TEST(SetError, StoresCodePositionsAndFormattedMessage) {
    tamsel_error e;
    tamsel_error_init(&e);
    e.system_errno = 13;
    EXPECT_EQ(
        tamsel__set_error(&e, TAMSEL_STATUS_DUPLICATE_FIELD, 8, 1, 8, "duplicate field '%s'", "id"),
        TAMSEL_STATUS_DUPLICATE_FIELD);
    EXPECT_EQ(e.code, TAMSEL_STATUS_DUPLICATE_FIELD);
    EXPECT_EQ(e.offset, 8u);
    EXPECT_EQ(e.line, 1u);
    EXPECT_EQ(e.column, 8u);
    EXPECT_STREQ(e.message, "duplicate field 'id'");
    EXPECT_EQ(e.system_errno, 13) << "system_errno belongs to the I/O paths";
    EXPECT_EQ(e.truncated, 0);
}

TEST(SetError, TruncatedIsStickyAndOnlySetByStatusSeven) {
    tamsel_error e;
    tamsel_error_init(&e);
    tamsel__set_error(&e, TAMSEL_STATUS_TRUNCATED, 0, 0, 0, "cut");
    EXPECT_EQ(e.truncated, 1);
    tamsel__set_error(&e, TAMSEL_STATUS_OVERFLOW, 0, 0, 0, "later failure");
    EXPECT_EQ(e.truncated, 1);
    tamsel_error f;
    tamsel_error_init(&f);
    tamsel__set_error(&f, TAMSEL_STATUS_OVERFLOW, 0, 0, 0, "x");
    EXPECT_EQ(f.truncated, 0);
}

TEST(SetError, LongMessagesAreCutAt159BytesAndTerminated) {
    tamsel_error e;
    tamsel_error_init(&e);
    std::string key(500, 'k');
    tamsel__set_error(&e, TAMSEL_STATUS_DUPLICATE_FIELD, 0, 0, 0, "duplicate field '%s'",
                      key.c_str());
    EXPECT_EQ(std::strlen(e.message), 159u);
    EXPECT_EQ(std::string(e.message, 17), "duplicate field '");
}

TEST(SetError, NullRecordStillReturnsTheCode) {
    EXPECT_EQ(tamsel__set_error(nullptr, TAMSEL_STATUS_IO_ERROR, 1, 2, 3, "x"),
              TAMSEL_STATUS_IO_ERROR);
    EXPECT_EQ(tamsel::fail(nullptr, TAMSEL_STATUS_CALLBACK_FAILED, "y"),
              TAMSEL_STATUS_CALLBACK_FAILED);
}

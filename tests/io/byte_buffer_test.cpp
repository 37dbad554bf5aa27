#include "io/internal.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <string>

using tamsel::io::byte_append;
using tamsel::io::byte_buffer;
using tamsel_test::counting_allocator;

TEST(ByteBuffer, LimitIsTheLongestContentAndContentStaysNulTerminated) {
    counting_allocator counting;
    const tamsel_allocator a = counting.value();
    byte_buffer b;
    tamsel_error e;
    ASSERT_EQ(byte_append(b, "abc", 3, 5, a, &e), TAMSEL_STATUS_OK);
    ASSERT_EQ(byte_append(b, "de", 2, 5, a, &e), TAMSEL_STATUS_OK);
    EXPECT_STREQ(b.data, "abcde");
    EXPECT_EQ(byte_append(b, "f", 1, 5, a, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "framing buffer limit exceeded");
    EXPECT_EQ(b.length, 5u) << "a failed append changes nothing";
    EXPECT_EQ(byte_append(b, "x", SIZE_MAX, SIZE_MAX, a, &e), TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "framing buffer size overflow");
    tamsel::io::byte_clear(b);
    EXPECT_EQ(b.length, 0u);
    EXPECT_STREQ(b.data, "");
    ASSERT_EQ(byte_append(b, nullptr, 0, 5, a, &e), TAMSEL_STATUS_OK);
    tamsel::io::byte_buffer_free(b, a);
    EXPECT_EQ(counting.stats.current_bytes, 0u);
    EXPECT_EQ(counting.live_blocks(), 0u);
}

TEST(ByteBuffer, GrowthNearALimitThatIsNoPowerOfTwoStaysLogarithmic) {
    counting_allocator counting;
    const tamsel_allocator a = counting.value();
    byte_buffer b;
    const size_t limit = 100000;
    for (size_t i = 0; i < limit; ++i)
        ASSERT_EQ(byte_append(b, "x", 1, limit, a, nullptr), TAMSEL_STATUS_OK);
    EXPECT_LE(counting.calls(), 12u) << "64 doubling to 65536, then once to the limit";
    EXPECT_EQ(b.capacity, limit + 1);
    EXPECT_EQ(byte_append(b, "x", 1, limit, a, nullptr), TAMSEL_STATUS_OVERFLOW);
    tamsel::io::byte_buffer_free(b, a);
}

TEST(ByteBuffer, AllocationFailureKeepsTheContent) {
    tamsel_test::expect_allocation_failures_clean([](counting_allocator &counting) {
        const tamsel_allocator a = counting.value();
        byte_buffer b;
        tamsel_error e;
        tamsel_status st = TAMSEL_STATUS_OK;
        std::string expect;
        for (int i = 0; i < 200 && st == TAMSEL_STATUS_OK; ++i) {
            st = byte_append(b, "0123456789", 10, 4096, a, &e);
            if (st == TAMSEL_STATUS_OK) expect += "0123456789";
        }
        if (st == TAMSEL_STATUS_ALLOCATION_FAILED) {
            EXPECT_STREQ(e.message, "failed to allocate framing buffer");
            EXPECT_EQ(std::string(b.data ? b.data : "", b.length), expect);
        }
        tamsel::io::byte_buffer_free(b, a);
        return st;
    });
}

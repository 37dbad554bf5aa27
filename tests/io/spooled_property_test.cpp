// Random sequences of appends, reads and rewinds against a plain string model.
#include "io_support.hpp"
#include "support/counting_allocator.hpp"

#include <random>

using tamsel_test::counting_allocator;

namespace {

struct model {
    std::string bytes;
    uint64_t pos = 0;
};

// What the fields that define a value look like, to compare before and after a refusal.
struct shape {
    const unsigned char *memory;
    uint64_t memory_len, total_len, read_pos;
    FILE *file;
    int is_spilled;
    std::string path;
    bool operator==(const shape &) const = default;
};

shape shape_of(const tamsel_spooled &s) {
    return {s.memory, s.memory_len, s.total_len, s.read_pos, s.file, s.is_spilled, s.path};
}

uint64_t pick_limit(std::mt19937_64 &rng) {
    switch (rng() % 6) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return 2 + rng() % 8;
    default:
        return rng() % 200;
    }
}

} // namespace

TEST(SpooledProperty, RandomOperationsMatchAStringModel) {
    io_test::scratch_dir dir;
    std::mt19937_64 rng(0x7453535050ull);
    const std::string source = io_test::pattern(4096, 3);
    counting_allocator alloc;
    constexpr int cases = 3000;
    for (int c = 0; c < cases; ++c) {
        const uint64_t memory_limit = pick_limit(rng);
        const uint64_t max_bytes = rng() % 4 == 0 ? 0 : pick_limit(rng) * (1 + rng() % 4);
        const bool named = rng() % 4 == 0;
        tamsel_spool_options o = {memory_limit, max_bytes, named ? dir.c_str() : nullptr};
        tamsel_spooled s;
        tamsel_spooled_init_with_allocator(&s, &o, alloc.get());
        model m;
        const int ops = 1 + static_cast<int>(rng() % 14);
        for (int i = 0; i < ops; ++i) {
            SCOPED_TRACE(::testing::Message() << "case " << c << " op " << i << " limit "
                                              << memory_limit << " max " << max_bytes);
            const unsigned what = rng() % 8;
            if (what < 4) {
                size_t n = static_cast<size_t>(rng() % (3 * memory_limit + 4));
                size_t from = static_cast<size_t>(rng() % (source.size() - n));
                const shape before = shape_of(s);
                tamsel_error e;
                tamsel_status st =
                    tamsel_spooled_append(&s, n ? source.data() + from : nullptr, n, &e);
                if (max_bytes != 0 && m.bytes.size() + n > max_bytes) {
                    ASSERT_EQ(st, TAMSEL_STATUS_OVERFLOW);
                    ASSERT_TRUE(shape_of(s) == before) << "a refusal changes nothing";
                } else {
                    ASSERT_EQ(st, TAMSEL_STATUS_OK) << e.message;
                    m.bytes.append(source, from, n);
                }
                ASSERT_EQ(s.memory_len, std::min<uint64_t>(m.bytes.size(), memory_limit));
                ASSERT_EQ(tamsel_spooled_spilled(&s), m.bytes.size() > memory_limit ? 1 : 0);
            } else if (what < 7) {
                size_t cap = 1 + static_cast<size_t>(rng() % 64);
                std::string buf(cap + 1, '\x5a');
                tamsel_read_result r = tamsel_spooled_read(&s, buf.data(), cap);
                ASSERT_EQ(r.error_code, 0);
                ASSERT_EQ(buf[cap], '\x5a') << "read past capacity";
                uint64_t end = m.pos < s.memory_len ? s.memory_len : m.bytes.size();
                size_t expect = static_cast<size_t>(std::min<uint64_t>(cap, end - m.pos));
                if (m.pos >= m.bytes.size()) expect = 0;
                ASSERT_EQ(r.bytes, expect);
                ASSERT_EQ(buf.substr(0, r.bytes), m.bytes.substr(m.pos, r.bytes));
                m.pos += r.bytes;
                ASSERT_EQ(r.eof, m.pos >= m.bytes.size() ? 1 : 0);
            } else {
                ASSERT_EQ(tamsel_spooled_rewind(&s, nullptr), TAMSEL_STATUS_OK);
                m.pos = 0;
            }
        }
        ASSERT_EQ(tamsel_spooled_size(&s), m.bytes.size());
        tamsel_owned_buffer out = tamsel_default_owned_buffer();
        out.allocator = alloc.value();
        ASSERT_EQ(tamsel_spooled_write_to_sink(&s, tamsel_owned_buffer_sink, &out, nullptr),
                  TAMSEL_STATUS_OK);
        ASSERT_EQ(std::string(out.data ? out.data : "", out.len), m.bytes) << "case " << c;
        ASSERT_EQ(s.read_pos, m.pos) << "the replay leaves the cursor alone";
        tamsel_owned_buffer_free(&out);
        if (rng() % 2) {
            tamsel_spooled_reset(&s);
            ASSERT_EQ(tamsel_spooled_size(&s), 0u);
        }
        tamsel_spooled_cleanup(&s);
        ASSERT_EQ(alloc.live_blocks(), 0u) << "case " << c;
        ASSERT_EQ(alloc.stats.current_bytes, 0u);
        ASSERT_TRUE(dir.entries().empty()) << "case " << c;
    }
}

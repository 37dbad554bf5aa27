// The block lane (block_lane.hpp). The masks of a stretch of at most 16 KiB are made lazily,
// eight blocks at a time as the walk reaches them, so a lane that stops early has classified
// little more than it took. Positions are offsets from the lane's start; a block cut by the
// stretch's end is classified from a copy padded with bytes that set no bit.
#include "visit/block_lane.hpp"

#include "text/block_scan.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <cstring>

namespace tamsel::visit {
namespace {

constexpr size_t stretch = 16384; // bytes a lane looks at, at most
constexpr size_t batch = 8;       // blocks classified at once
constexpr size_t none = SIZE_MAX;

// The masks of a stretch, classified as the walk reaches them.
struct string_masks {
    string_masks(const uint8_t *p, size_t n, bool utf8_check)
        : p(p), n(n), words((n + 63) / 64), utf8_check(utf8_check) {}

    // Classifies the next batch of blocks and, with the check, goes on with the UTF-8 check
    // over them.
    [[gnu::noinline]] void more() {
        const size_t whole = n / 64;
        const size_t from = 64 * ready;
        if (ready < whole) {
            const size_t count = std::min(batch, whole - ready);
            scan::active_kernel().string_masks(p + from, count, false, quotes + ready,
                                               stops + ready);
            ready += count;
        } else {
            uint8_t tail[64];
            std::memset(tail, 'x', sizeof tail);
            std::memcpy(tail, p + from, n - from);
            scan::active_kernel().string_masks(tail, 1, false, quotes + ready, stops + ready);
            ++ready;
        }
        if (utf8_check && bad == none) {
            const uint8_t *to = p + std::min(64 * ready, n);
            const uint8_t *r = scan::utf8_run(utf8, p + from, to);
            if (r != to) bad = static_cast<size_t>(r - p);
        }
    }

    // The bytes classified so far, up to the first that breaks the UTF-8 check.
    [[nodiscard]] size_t checked() const { return std::min({64 * ready, n, bad}); }

    // The closing quote of the body that starts at b when no stop (backslash, control byte)
    // lies before it; none when the stretch holds no quote from b on or the UTF-8 check fails
    // before it, `*stopped` set when a stop comes first.
    [[gnu::always_inline]] size_t body_end(size_t b, bool *stopped) {
        size_t w = b >> 6;
        if (w >= words) return none;
        if (w >= ready) more();
        const uint64_t from = ~uint64_t{0} << (b & 63);
        uint64_t q = quotes[w] & from;
        uint64_t s = stops[w] & from;
        while (!q) {
            if (s) {
                *stopped = true;
                return none;
            }
            if (++w == words) return none;
            if (w >= ready) more();
            q = quotes[w];
            s = stops[w];
        }
        if (s & ((q & (0 - q)) - 1)) {
            *stopped = true;
            return none;
        }
        const size_t at = w * 64 + static_cast<size_t>(__builtin_ctzll(q));
        return at < bad ? at : none;
    }

    const uint8_t *const p;
    const size_t n;
    const size_t words;
    const bool utf8_check;
    size_t ready = 0;  // blocks classified
    size_t bad = none; // the first byte that breaks the UTF-8 check, when one was met
    scan::utf8_state utf8;
    uint64_t quotes[stretch / 64];
    uint64_t stops[stretch / 64];
};

} // namespace

namespace {

template <bool check>
const uint8_t *walk_tokens(const uint8_t *p, const uint8_t *e, lane_walk &walk,
                           const lane_limits &limits, size_t *lines,
                           const uint8_t **last_newline) {
    size_t depth = walk.depth;
    bool first = walk.first;
    bool in_object = walk.in_object;
    // Taken up to `at` (with the newlines before it); read up to t. While 8 bytes are left at
    // t a separator, a literal and the byte behind a key need no bounds check.
    const uint8_t *at = p, *t = p;
    size_t seen_lines = 0, taken_lines = 0;
    const uint8_t *seen_newline = nullptr, *taken_newline = nullptr;
    // Steps over the whitespace at t (a byte of it at t); false when fewer than 8 bytes are
    // left behind it.
    const auto space = [&]() __attribute__((always_inline)) {
        size_t n = 0;
        const uint8_t *last = nullptr;
        t = scan::whitespace_run(t, e, &n, &last);
        if (n) {
            seen_lines += n;
            seen_newline = last;
        }
        return e - t >= 8;
    };
    // The closing quote of the string whose body starts at b, when it is whole in the window,
    // valid and within `limit` as written (which bounds it decoded); NULL otherwise.
    const auto string_end = [&](const uint8_t *b, uint64_t limit) __attribute__((always_inline)) {
        const uint8_t *r = check ? scan::plain_ascii_run(b, e) : scan::plain_run(b, e);
        if (r == e) return static_cast<const uint8_t *>(nullptr);
        if (*r != '"') {
            r = check ? scan::checked_body_end(r, e) : scan::string_body_end(r, e);
            if (!r) return r;
        }
        return static_cast<uint64_t>(r - b) <= limit ? r : nullptr;
    };

    while (e - t >= 8) {
        if (*t <= ' ' && !space()) break;
        int c = *t;
        if (c == (in_object ? '}' : ']')) {
            ++t;
            first = false;
            --depth;
            at = t;
            taken_lines = seen_lines;
            taken_newline = seen_newline;
            if (depth == 0) break;
            const size_t b = depth - 1;
            in_object = (walk.stack[b >> 6] >> (b & 63)) & 1;
            continue;
        }
        if (!first) {
            if (c != ',') break;
            ++t;
            if (*t <= ' ' && !space()) break;
            c = *t;
        }
        if (in_object) {
            if (c != '"') break;
            const uint8_t *q = string_end(t + 1, limits.max_key);
            if (!q) break;
            t = q + 1;
            if (e - t < 8 || (*t <= ' ' && !space()) || *t != ':') break;
            ++t;
            if (*t <= ' ' && !space()) break;
            c = *t;
        }
        switch (c) {
        case '"': {
            const uint8_t *q = string_end(t + 1, limits.max_string);
            if (!q) goto stop;
            t = q + 1;
            break;
        }
        case '-':
        case '0' ... '9': {
            const uint8_t *v = scan::short_valid_number(t, e);
            if (!v || static_cast<size_t>(v - t) > limits.max_number) goto stop;
            t = v;
            break;
        }
        case 't':
        case 'n':
            if (std::memcmp(t, c == 't' ? "true" : "null", 4) != 0) goto stop;
            t += 4;
            break;
        case 'f':
            if (std::memcmp(t, "false", 5) != 0) goto stop;
            t += 5;
            break;
        case '[':
        case '{': {
            if (limits.base + depth >= limits.max_depth || depth >> 6 == walk.stack_words)
                goto stop;
            uint64_t &word = walk.stack[depth >> 6];
            const uint64_t bit = uint64_t{1} << (depth & 63);
            word = c == '{' ? word | bit : word & ~bit;
            ++depth;
            first = true;
            in_object = c == '{';
            ++t;
            at = t;
            taken_lines = seen_lines;
            taken_newline = seen_newline;
            continue;
        }
        default:
            goto stop;
        }
        first = false;
        at = t;
        taken_lines = seen_lines;
        taken_newline = seen_newline;
    }
stop:
    walk.depth = depth;
    walk.first = first;
    walk.in_object = in_object;
    if (taken_lines) {
        *lines += taken_lines;
        *last_newline = taken_newline;
    }
    return at;
}

} // namespace

const uint8_t *block_lane(const uint8_t *p, const uint8_t *e, lane_walk &walk,
                          const lane_limits &limits, size_t *lines, const uint8_t **last_newline) {
    return limits.utf8_check ? walk_tokens<true>(p, e, walk, limits, lines, last_newline)
                             : walk_tokens<false>(p, e, walk, limits, lines, last_newline);
}

} // namespace tamsel::visit

// Duplicate-key detection for objects that no map describes: a hashed set of keys per open
// object (key_set) and a stack of them that follows the objects of a value (key_tracker).
// Used by the parser in any-root mode (array-stream items, skipped members), and by anything
// that reads objects as events (the rewrite drives the tracker from visitor callbacks).
//
// Costs: O(1) expected per key. Keys live in one byte run per set (a u64 length, then the
// bytes, in arrival order); a table of offsets into that run, sized to at most half full and
// hashed with a per-set random seed, finds them. Small sets (up to 16 keys) need no table: each
// key has a one-byte fingerprint of its length and bytes, a new key is compared with the
// fingerprints only, and bytes only where a fingerprint matches. Their first bytes live inside
// the set record itself, so an object of a few short keys allocates nothing. All memory comes
// from the given allocator and, when a budget is bound, is charged to it.
#pragma once

#include "io/internal.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::parse {

// A parse budget charged by allocations outside the parser record: at most `limit` bytes held
// at once (0: no limit), `*in_use` the bytes held now. A NULL `in_use` charges nothing.
struct budget_ref {
    uint64_t limit = 0;
    uint64_t *in_use = nullptr;
};

class key_set {
  public:
    key_set() = default;
    key_set(const key_set &) = delete;
    key_set &operator=(const key_set &) = delete;
    ~key_set() { release(); }

    // Sets the allocator (resolved) and the budget; the set must hold no heap memory.
    void bind(const tamsel_allocator &allocator, budget_ref budget) noexcept {
        allocator_ = allocator;
        budget_ = budget;
    }
    // Moves the charge of the memory held to `budget` (the old budget is gone).
    void rebudget(budget_ref budget) noexcept {
        budget_ = budget;
        if (budget_.in_use) *budget_.in_use += heap_bytes();
    }

    // Adds `key` unless an equal key is in the set; `*added` says which. Failures leave the set
    // as it was: status 6 "parse allocations exceed configured max bytes" (over the budget) or
    // "framing buffer size overflow", status 8 "failed to allocate framing buffer".
    [[nodiscard]] tamsel_status insert(const void *key, size_t len, bool *added,
                                       tamsel_error *error) {
        if (insert_in_place(key, len, added)) return TAMSEL_STATUS_OK;
        return insert_growing(key, len, added, error);
    }
    // The usual key, which cannot fail: a set without a table that has room for its entry.
    // Returns false, with nothing done, for any other; else `*added` says as insert() does.
    [[nodiscard]] bool insert_in_place(const void *key, size_t len, bool *added) noexcept {
        const size_t room = capacity_ - used_;
        if (slot_count_ || count_ == scan_limit || room < length_word || len > room - length_word)
            return false;
        pending_ = false;
        const auto *bytes = static_cast<const unsigned char *>(key);
        const uint8_t print = fingerprint(bytes, len);
        *added = scan(bytes, len, print) == SIZE_MAX;
        if (*added) append(bytes, len, print);
        return true;
    }

    // A key that arrives in pieces: begin, append every piece, then commit (which inserts it
    // as insert() does) or drop it.
    void pending_begin() noexcept;
    [[nodiscard]] tamsel_status pending_append(const void *bytes, size_t len, tamsel_error *error);
    [[nodiscard]] tamsel_status pending_commit(bool *added, tamsel_error *error);

    [[nodiscard]] size_t size() const noexcept { return count_; }
    // Forgets the keys and keeps the memory (a set reused for the next object).
    void clear() noexcept;
    // Frees the memory (uncharging it) and forgets the keys; the binding stays.
    void release() noexcept;
    // Heap bytes held (what is charged to the budget).
    [[nodiscard]] size_t heap_bytes() const noexcept {
        return (heap_ ? capacity_ : 0) + slot_count_ * sizeof(uint64_t);
    }

    // The fingerprint of a key: its length and bytes hashed to 8 bits, words read straight from
    // the key (two overlapping ones cover 4 to 16 bytes). One byte lets one compare look at all
    // 16 at once; a match that is not the key (1 in 256 per earlier key) costs one byte
    // comparison, and so does a crafted one (no seed), at most 15 per key, as a plain scan.
    [[nodiscard]] static uint8_t fingerprint(const unsigned char *key, size_t len) noexcept {
        uint64_t a = 0, b = 0;
        if (len >= 8) {
            std::memcpy(&a, key, 8);
            std::memcpy(&b, key + len - 8, 8);
            if (len > 16) a = fold_middle(key, len, a);
        } else if (len >= 4) {
            uint32_t x, y;
            std::memcpy(&x, key, 4);
            std::memcpy(&y, key + len - 4, 4);
            a = x;
            b = y;
        } else if (len) {
            a = key[0] | static_cast<uint64_t>(key[len / 2]) << 8 |
                static_cast<uint64_t>(key[len - 1]) << 16;
        }
        const unsigned __int128 r = static_cast<unsigned __int128>(a ^ 0xA0761D6478BD642Full) *
                                    (b ^ len ^ 0xE7037ED1A0B428DBull);
        const uint64_t h = static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
        return static_cast<uint8_t>(h >> 56);
    }

  private:
    static constexpr size_t inline_bytes = 224;
    static constexpr size_t scan_limit = 16; // keys found by scanning before a table is built
    static constexpr size_t length_word = sizeof(uint64_t);

    [[nodiscard]] unsigned char *entries() noexcept { return heap_ ? heap_ : local_; }
    [[nodiscard]] bool charge(size_t old_bytes, size_t new_bytes, tamsel_error *error);
    [[nodiscard]] tamsel_status reserve(size_t needed, tamsel_error *error);
    [[nodiscard]] tamsel_status build_table(size_t slots, tamsel_error *error);
    [[nodiscard]] uint64_t hash(const unsigned char *key, size_t len) const noexcept;
    [[nodiscard]] bool equal_at(size_t offset, const unsigned char *key, size_t len) noexcept;
    // The bytes of a key longer than 16 between its first and last words, folded into `a`.
    [[nodiscard]] static uint64_t fold_middle(const unsigned char *key, size_t len,
                                              uint64_t a) noexcept;
    // Without a table: the offset of an equal key, or SIZE_MAX; bytes are compared only where
    // the fingerprint matches `print`.
    [[nodiscard]] size_t scan(const unsigned char *key, size_t len, uint8_t print) noexcept {
        const unsigned matches = same_prints(print);
        return matches ? compare_matches(key, len, matches) : SIZE_MAX;
    }
    // Bit i set: key i has the fingerprint `print`.
    [[nodiscard]] unsigned same_prints(uint8_t print) const noexcept {
        static_assert(scan_limit == 16);
        unsigned matches = 0;
#if defined(__SSE2__)
        const __m128i have = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prints_));
        matches = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(have, _mm_set1_epi8(static_cast<char>(print)))));
#else
        for (size_t i = 0; i < scan_limit; ++i)
            matches |= static_cast<unsigned>(prints_[i] == print) << i;
#endif
        return matches & ((1u << count_) - 1); // the fingerprints past count_ are stale
    }
    // The offset of the first key among `matches` equal to `key`, or SIZE_MAX.
    [[nodiscard]] size_t compare_matches(const unsigned char *key, size_t len,
                                         unsigned matches) noexcept;
    // Adds the entry of a new key at the end of the run (room for it was made), with its
    // fingerprint while the set has no table.
    void append(const unsigned char *key, size_t len, uint8_t print) noexcept {
        unsigned char *const at = entries() + used_;
        const uint64_t word = len;
        std::memcpy(at, &word, sizeof word);
        if (len <= 16)
            io::move_short(at + length_word, key, len);
        else
            std::memcpy(at + length_word, key, len);
        if (count_ < scan_limit) prints_[count_] = print;
        used_ += length_word + len;
        ++count_;
    }
    [[nodiscard]] tamsel_status insert_growing(const void *key, size_t len, bool *added,
                                               tamsel_error *error);
    // The offset of an equal key, or SIZE_MAX; with a table, `*slot` is where it was found or
    // the empty slot where it belongs.
    [[nodiscard]] size_t find(const unsigned char *key, size_t len, uint64_t h,
                              size_t *slot) noexcept;

    tamsel_allocator allocator_{};
    budget_ref budget_{};
    unsigned char local_[inline_bytes];
    unsigned char *heap_ = nullptr; // the entries, once they outgrow local_
    size_t capacity_ = inline_bytes;
    size_t used_ = 0;                 // bytes of committed entries
    size_t pending_len_ = 0;          // bytes of the key being gathered (after its length word)
    bool pending_ = false;            //
    size_t count_ = 0;                // keys in the set
    uint8_t prints_[scan_limit] = {}; // the fingerprints of the first keys, in arrival order
    uint64_t *slots_ = nullptr;       // offset + 1 of an entry, 0 when empty
    size_t slot_count_ = 0;           // a power of two, or 0 (no table)
    uint64_t seed_ = 0;
};

// The key sets of the objects open in one value, innermost last. Depth is bounded by whoever
// reports the objects (the parser's workspace, a walker's depth limit).
class key_tracker {
  public:
    key_tracker() = default;
    key_tracker(const key_tracker &) = delete;
    key_tracker &operator=(const key_tracker &) = delete;
    ~key_tracker() { release(); }

    // Sets the allocator (resolved) once, before the first object.
    void bind(const tamsel_allocator &allocator) noexcept { allocator_ = allocator; }
    // Closes every open object (as reset) and charges the sets to `budget` from now on,
    // starting with the memory they keep.
    void set_budget(budget_ref budget) noexcept;

    // An object opens: status 8 "failed to allocate duplicate-key tracker" when the stack
    // cannot grow (it starts with room for 8 objects and doubles).
    [[nodiscard]] tamsel_status object_begin(tamsel_error *error);
    // A whole key of the innermost object: status 5 "duplicate object field" when it was there
    // already; status 11 "object key outside object" with no object open; or a set's failure.
    [[nodiscard]] tamsel_status key(const void *bytes, size_t len, tamsel_error *error) {
        bool added = false;
        if (depth_ && levels_[depth_ - 1].insert_in_place(bytes, len, &added) && added)
            return TAMSEL_STATUS_OK;
        return key_checked(bytes, len, error);
    }
    // The same for a key that arrives in pieces.
    [[nodiscard]] tamsel_status key_begin(tamsel_error *error);
    [[nodiscard]] tamsel_status key_chunk(const void *bytes, size_t len, tamsel_error *error);
    [[nodiscard]] tamsel_status key_end(tamsel_error *error);
    // The innermost object closes (nothing open: nothing happens).
    void object_end() noexcept;

    [[nodiscard]] size_t depth() const noexcept { return depth_; }
    // Closes every open object; the sets keep small memory for the next value.
    void reset() noexcept;
    // Frees everything.
    void release() noexcept;

  private:
    // key() for any key but a new one that fits in place.
    [[nodiscard]] tamsel_status key_checked(const void *bytes, size_t len, tamsel_error *error);

    tamsel_allocator allocator_{};
    budget_ref budget_{};
    key_set *levels_ = nullptr; // constructed up to `built_`
    size_t capacity_ = 0;
    size_t built_ = 0;
    size_t depth_ = 0;
};

} // namespace tamsel::parse

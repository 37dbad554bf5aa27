// Duplicate-key detection for objects that no map describes: a hashed set of keys per open
// object (key_set) and a stack of them that follows the objects of a value (key_tracker).
// Used by the parser in any-root mode (array-stream items, skipped members), and by anything
// that reads objects as events (the rewrite drives the tracker from visitor callbacks).
//
// Costs: O(1) expected per key. Keys live in one byte run per set (a u64 length, then the
// bytes, in arrival order); a table of offsets into that run, sized to at most half full and
// hashed with a per-set random seed, finds them. Small sets (up to 16 keys) are scanned and
// need no table, and their first bytes live inside the set record itself, so an object of a
// few short keys allocates nothing. All memory comes from the given allocator and, when a
// budget is bound, is charged to it.
#pragma once

#include "io/internal.hpp"

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
                                       tamsel_error *error);

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

  private:
    static constexpr size_t inline_bytes = 224;
    static constexpr size_t scan_limit = 16; // keys found by scanning before a table is built

    [[nodiscard]] unsigned char *entries() noexcept { return heap_ ? heap_ : local_; }
    [[nodiscard]] bool charge(size_t old_bytes, size_t new_bytes, tamsel_error *error);
    [[nodiscard]] tamsel_status reserve(size_t needed, tamsel_error *error);
    [[nodiscard]] tamsel_status build_table(size_t slots, tamsel_error *error);
    [[nodiscard]] uint64_t hash(const unsigned char *key, size_t len) const noexcept;
    [[nodiscard]] bool equal_at(size_t offset, const unsigned char *key, size_t len) noexcept;
    // The offset of an equal key, or SIZE_MAX; with a table, `*slot` is where it was found or
    // the empty slot where it belongs.
    [[nodiscard]] size_t find(const unsigned char *key, size_t len, uint64_t h,
                              size_t *slot) noexcept;

    tamsel_allocator allocator_{};
    budget_ref budget_{};
    unsigned char local_[inline_bytes];
    unsigned char *heap_ = nullptr; // the entries, once they outgrow local_
    size_t capacity_ = inline_bytes;
    size_t used_ = 0;           // bytes of committed entries
    size_t pending_len_ = 0;    // bytes of the key being gathered (after its length word)
    bool pending_ = false;      //
    size_t count_ = 0;          // keys in the set
    uint64_t *slots_ = nullptr; // offset + 1 of an entry, 0 when empty
    size_t slot_count_ = 0;     // a power of two, or 0 (no table)
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
    [[nodiscard]] tamsel_status key(const void *bytes, size_t len, tamsel_error *error);
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
    tamsel_allocator allocator_{};
    budget_ref budget_{};
    key_set *levels_ = nullptr; // constructed up to `built_`
    size_t capacity_ = 0;
    size_t built_ = 0;
    size_t depth_ = 0;
};

} // namespace tamsel::parse

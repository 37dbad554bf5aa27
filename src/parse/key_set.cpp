// Hashed key sets and the per-object tracker built from them.
#include "parse/key_set.hpp"

#include <chrono>
#include <cstring>
#include <new>

namespace tamsel::parse {

namespace {

constexpr const char *over_budget = "parse allocations exceed configured max bytes";

inline uint64_t mum(uint64_t a, uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load_tail(const unsigned char *p, size_t n) {
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

// A seed nobody can predict from the input: where this set lives, where its table lives and
// the clock, mixed. Crafted keys that collide under one seed do not collide under another.
uint64_t fresh_seed(const void *set, const void *table) {
    const auto now =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    uint64_t s =
        mum(reinterpret_cast<uintptr_t>(set) ^ 0x9E3779B97F4A7C15ull, now ^ 0xD6E8FEB86659FD93ull);
    return mum(s ^ reinterpret_cast<uintptr_t>(table), 0xA0761D6478BD642Full) | 1;
}

} // namespace

// ---- key_set ----------------------------------------------------------------------------------

bool key_set::charge(size_t old_bytes, size_t new_bytes, tamsel_error *error) {
    if (!budget_.in_use || new_bytes <= old_bytes) return true;
    const uint64_t more = new_bytes - old_bytes;
    const uint64_t held = *budget_.in_use;
    if (budget_.limit && (held > budget_.limit || more > budget_.limit - held)) {
        fail(error, TAMSEL_STATUS_OVERFLOW, "%s", over_budget);
        return false;
    }
    return true;
}

tamsel_status key_set::reserve(size_t needed, tamsel_error *error) {
    if (needed <= capacity_) return TAMSEL_STATUS_OK;
    size_t grown;
    if (!grow_capacity(capacity_, needed, inline_bytes, io::byte_buffer_no_limit, &grown))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
    const size_t held = heap_ ? capacity_ : 0;
    if (!charge(held, grown, error)) return TAMSEL_STATUS_OVERFLOW;
    auto *block = static_cast<unsigned char *>(raw_realloc(allocator_, heap_, held, grown));
    if (!block)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate framing buffer");
    if (!heap_) std::memcpy(block, local_, used_ + (pending_ ? length_word + pending_len_ : 0));
    if (budget_.in_use) *budget_.in_use += grown - held;
    heap_ = block;
    capacity_ = grown;
    return TAMSEL_STATUS_OK;
}

uint64_t key_set::hash(const unsigned char *key, size_t len) const noexcept {
    uint64_t h = seed_ ^ mum(len, 0xE7037ED1A0B428DBull);
    size_t i = 0;
    for (; i + 16 <= len; i += 16)
        h = mum(load64(key + i) ^ h ^ 0x8EBC6AF09C88C6E3ull, load64(key + i + 8) ^ seed_);
    if (i + 8 <= len) {
        h = mum(load64(key + i) ^ h, 0x589965CC75374CC3ull ^ seed_);
        i += 8;
    }
    if (i < len) h = mum(load_tail(key + i, len - i) ^ h, 0x1D8E4E27C47D124Full ^ seed_);
    return mum(h ^ (h >> 29), 0xBF58476D1CE4E5B9ull);
}

uint64_t key_set::fold_middle(const unsigned char *key, size_t len, uint64_t a) noexcept {
    for (size_t i = 8; i + 8 < len; i += 8)
        a = mum(a ^ load64(key + i), 0x9E3779B97F4A7C15ull);
    return a;
}

size_t key_set::compare_matches(const unsigned char *key, size_t len, unsigned matches) noexcept {
    size_t at = 0, index = 0;
    for (; matches; matches &= matches - 1) {
        const size_t next = static_cast<size_t>(__builtin_ctz(matches));
        for (; index < next; ++index)
            at += length_word + static_cast<size_t>(load64(entries() + at));
        if (equal_at(at, key, len)) return at;
    }
    return SIZE_MAX;
}

bool key_set::equal_at(size_t offset, const unsigned char *key, size_t len) noexcept {
    const unsigned char *e = entries() + offset;
    return load64(e) == len && (len == 0 || std::memcmp(e + length_word, key, len) == 0);
}

size_t key_set::find(const unsigned char *key, size_t len, uint64_t h, size_t *slot) noexcept {
    if (!slot_count_) return scan(key, len, static_cast<uint8_t>(h));
    const size_t mask = slot_count_ - 1;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
        if (slots_[i] == 0) {
            *slot = i;
            return SIZE_MAX;
        }
        if (equal_at(static_cast<size_t>(slots_[i] - 1), key, len)) {
            *slot = i;
            return static_cast<size_t>(slots_[i] - 1);
        }
    }
}

tamsel_status key_set::build_table(size_t slots, tamsel_error *error) {
    size_t bytes;
    if (!checked_mul(slots, sizeof(uint64_t), &bytes))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
    const size_t held = slot_count_ * sizeof(uint64_t);
    if (!charge(held, bytes, error)) return TAMSEL_STATUS_OVERFLOW;
    auto *table = static_cast<uint64_t *>(raw_realloc(allocator_, nullptr, 0, bytes));
    if (!table)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate framing buffer");
    std::memset(table, 0, bytes);
    raw_free(allocator_, slots_, held);
    if (budget_.in_use) *budget_.in_use = *budget_.in_use - held + bytes;
    slots_ = table;
    slot_count_ = slots;
    if (!seed_) seed_ = fresh_seed(this, table);
    const size_t mask = slots - 1;
    for (size_t at = 0; at < used_;) {
        const size_t len = static_cast<size_t>(load64(entries() + at));
        size_t i = static_cast<size_t>(hash(entries() + at + length_word, len)) & mask;
        while (slots_[i])
            i = (i + 1) & mask;
        slots_[i] = at + 1;
        at += length_word + len;
    }
    return TAMSEL_STATUS_OK;
}

void key_set::pending_begin() noexcept {
    pending_ = true;
    pending_len_ = 0;
}

tamsel_status key_set::pending_append(const void *bytes, size_t len, tamsel_error *error) {
    if (!pending_) pending_begin();
    size_t end;
    if (!checked_add(used_, length_word, &end) || !checked_add(end, pending_len_, &end) ||
        !checked_add(end, len, &end))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
    TAMSEL_TRY(reserve(end, error));
    if (len) std::memcpy(entries() + used_ + length_word + pending_len_, bytes, len);
    pending_len_ += len;
    return TAMSEL_STATUS_OK;
}

tamsel_status key_set::pending_commit(bool *added, tamsel_error *error) {
    if (!pending_) pending_begin();
    TAMSEL_TRY(pending_append(nullptr, 0, error)); // room for the length word of an empty key
    pending_ = false;
    const unsigned char *key = entries() + used_ + length_word;
    const size_t len = pending_len_;
    // The table is built (or doubled) before the key goes in, so it is never over half full.
    if (count_ + 1 > scan_limit && (count_ + 1) * 2 > slot_count_) {
        const size_t slots = slot_count_ ? slot_count_ * 2 : 32;
        if (slots <= slot_count_)
            return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
        TAMSEL_TRY(build_table(slots, error));
        key = entries() + used_ + length_word;
    }
    const uint64_t h = slot_count_ ? hash(key, len) : fingerprint(key, len);
    size_t slot = 0;
    if (find(key, len, h, &slot) != SIZE_MAX) {
        *added = false;
        return TAMSEL_STATUS_OK;
    }
    const uint64_t word = len;
    std::memcpy(entries() + used_, &word, sizeof word);
    if (slot_count_) slots_[slot] = used_ + 1;
    if (count_ < scan_limit) prints_[count_] = static_cast<uint8_t>(h);
    used_ += length_word + len;
    ++count_;
    *added = true;
    return TAMSEL_STATUS_OK;
}

// A whole key is looked up where it lies and copied in only when it is new; room for it is made
// first, so the failures are those of the pieced road.
tamsel_status key_set::insert_growing(const void *key, size_t len, bool *added,
                                      tamsel_error *error) {
    pending_ = false;
    size_t end;
    if (!checked_add(used_, length_word, &end) || !checked_add(end, len, &end))
        return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
    TAMSEL_TRY(reserve(end, error));
    if (count_ + 1 > scan_limit && (count_ + 1) * 2 > slot_count_) {
        const size_t slots = slot_count_ ? slot_count_ * 2 : 32;
        if (slots <= slot_count_)
            return fail(error, TAMSEL_STATUS_OVERFLOW, "framing buffer size overflow");
        TAMSEL_TRY(build_table(slots, error));
    }
    const auto *bytes = static_cast<const unsigned char *>(key);
    const uint64_t h = slot_count_ ? hash(bytes, len) : fingerprint(bytes, len);
    size_t slot = 0;
    if (find(bytes, len, h, &slot) != SIZE_MAX) {
        *added = false;
        return TAMSEL_STATUS_OK;
    }
    if (slot_count_) slots_[slot] = used_ + 1;
    append(bytes, len, static_cast<uint8_t>(h));
    *added = true;
    return TAMSEL_STATUS_OK;
}

void key_set::clear() noexcept {
    used_ = 0;
    count_ = 0;
    pending_ = false;
    pending_len_ = 0;
    if (slot_count_) std::memset(slots_, 0, slot_count_ * sizeof(uint64_t));
}

void key_set::release() noexcept {
    const size_t held = heap_bytes();
    raw_free(allocator_, heap_, heap_ ? capacity_ : 0);
    raw_free(allocator_, slots_, slot_count_ * sizeof(uint64_t));
    if (budget_.in_use) *budget_.in_use = *budget_.in_use > held ? *budget_.in_use - held : 0;
    heap_ = nullptr;
    slots_ = nullptr;
    slot_count_ = 0;
    capacity_ = inline_bytes;
    seed_ = 0;
    clear();
}

// ---- key_tracker ------------------------------------------------------------------------------

void key_tracker::set_budget(budget_ref budget) noexcept {
    reset();
    budget_ = budget;
    for (size_t i = 0; i < built_; ++i)
        levels_[i].rebudget(budget);
}

tamsel_status key_tracker::object_begin(tamsel_error *error) {
    if (depth_ == capacity_) {
        const size_t grown = capacity_ ? capacity_ * 2 : 8;
        size_t bytes;
        if (grown <= capacity_ || !checked_mul(grown, sizeof(key_set), &bytes))
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate duplicate-key tracker");
        void *block = raw_realloc(allocator_, nullptr, 0, bytes);
        if (!block)
            return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                        "failed to allocate duplicate-key tracker");
        // A set holds no pointer into itself, so it moves as plain bytes.
        if (levels_) std::memcpy(block, static_cast<void *>(levels_), built_ * sizeof(key_set));
        raw_free(allocator_, levels_, capacity_ * sizeof(key_set));
        levels_ = static_cast<key_set *>(block);
        capacity_ = grown;
    }
    if (depth_ == built_) {
        new (&levels_[built_]) key_set();
        levels_[built_++].bind(allocator_, budget_);
    }
    levels_[depth_++].clear();
    return TAMSEL_STATUS_OK;
}

tamsel_status key_tracker::key_checked(const void *bytes, size_t len, tamsel_error *error) {
    if (!depth_) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "object key outside object");
    bool added = false;
    TAMSEL_TRY(levels_[depth_ - 1].insert(bytes, len, &added, error));
    if (!added) return fail(error, TAMSEL_STATUS_DUPLICATE_FIELD, "duplicate object field");
    return TAMSEL_STATUS_OK;
}

tamsel_status key_tracker::key_begin(tamsel_error *error) {
    if (!depth_) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "object key outside object");
    levels_[depth_ - 1].pending_begin();
    return TAMSEL_STATUS_OK;
}

tamsel_status key_tracker::key_chunk(const void *bytes, size_t len, tamsel_error *error) {
    if (!depth_) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "object key outside object");
    return levels_[depth_ - 1].pending_append(bytes, len, error);
}

tamsel_status key_tracker::key_end(tamsel_error *error) {
    if (!depth_) return fail(error, TAMSEL_STATUS_INTERNAL_ERROR, "object key outside object");
    bool added = false;
    TAMSEL_TRY(levels_[depth_ - 1].pending_commit(&added, error));
    if (!added) return fail(error, TAMSEL_STATUS_DUPLICATE_FIELD, "duplicate object field");
    return TAMSEL_STATUS_OK;
}

namespace {
// A big object's memory goes at once: what stays held is bounded by the open objects.
void close_set(key_set &s) noexcept {
    if (s.heap_bytes() > 4096)
        s.release();
    else
        s.clear();
}
} // namespace

void key_tracker::object_end() noexcept {
    if (depth_) close_set(levels_[--depth_]);
}

void key_tracker::reset() noexcept {
    for (size_t i = 0; i < built_; ++i)
        close_set(levels_[i]);
    depth_ = 0;
}

void key_tracker::release() noexcept {
    for (size_t i = 0; i < built_; ++i)
        levels_[i].~key_set();
    raw_free(allocator_, levels_, capacity_ * sizeof(key_set));
    levels_ = nullptr;
    capacity_ = built_ = depth_ = 0;
}

} // namespace tamsel::parse

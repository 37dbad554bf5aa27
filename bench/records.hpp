// C++ helpers over the C records: checksums, growth and release, and the key-path builders the
// event-driven sides (RapidJSON's SAX handler, yajl's callbacks) feed.
#pragma once

#include "records.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace bench {

// FNV-1a over a canonical encoding of values: equal records give equal checksums whatever
// produced them.
class fold {
  public:
    void bytes(const void *data, size_t size) {
        auto *p = static_cast<const unsigned char *>(data);
        for (size_t i = 0; i < size; ++i) {
            hash_ = (hash_ ^ p[i]) * 0x100000001b3ull;
        }
    }
    void u64(uint64_t v) { bytes(&v, sizeof v); }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void boolean(bool v) { u64(v ? 1 : 0); }
    void f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        u64(bits);
    }
    // Length first, so that ("ab", "c") and ("a", "bc") differ; NULL differs from "".
    void str(const char *s) {
        if (!s) {
            u64(~0ull);
            return;
        }
        size_t n = std::strlen(s);
        u64(n);
        bytes(s, n);
    }
    uint64_t value() const { return hash_; }

  private:
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

// Replaces *dst with a NUL-terminated copy of s[0, n).
void set_string(char **dst, const char *s, size_t n);
inline void set_string(char **dst, std::string_view s) {
    set_string(dst, s.data(), s.size());
}

bench_tweet *push(bench_tweets &set); // a zeroed new status
void clear(bench_tweets &set);        // frees the strings; keeps the array
void release(bench_tweets &set);      // frees everything
uint64_t checksum(const bench_tweets &set);

void clear(bench_record &record);
bench_record *push(bench_records &set);
void clear(bench_records &set);
void release(bench_records &set);
void add(fold &f, const bench_record &record);
uint64_t checksum(const bench_records &set);

// Takes records one at a time: an array collects them, an object stream folds and drops each.
class record_consumer {
  public:
    virtual bench_record *begin() = 0; // the record to fill (zeroed)
    virtual void end() = 0;            // the record is complete
  protected:
    ~record_consumer() = default;
};

class record_collector final : public record_consumer {
  public:
    explicit record_collector(bench_records &set) : set_(set) {}
    bench_record *begin() override { return push(set_); }
    void end() override {}

  private:
    bench_records &set_;
};

// One record at a time, as an object stream hands them out. With `check` each record goes into
// the checksum before it is dropped; without, only the count is kept.
class record_folder final : public record_consumer {
  public:
    explicit record_folder(bool check) : check_(check) {}
    ~record_folder() { clear(slot_); }
    bench_record *begin() override {
        clear(slot_);
        return &slot_;
    }
    void end() override {
        if (check_) add(fold_, slot_);
        ++count_;
    }
    uint64_t result() const { return check_ ? fold_.value() : count_; }
    // With `check`, what checksum() gives for the same records collected into a bench_records
    // (the fold, then the count).
    uint64_t collected_checksum() const {
        if (!check_) return count_;
        fold f = fold_;
        f.u64(count_);
        return f.value();
    }
    uint64_t count() const { return count_; }

  private:
    bench_record slot_{};
    fold fold_;
    bool check_;
    uint64_t count_ = 0;
};

// Key-path state machines over a stream of parse events. `depth_` counts open containers; a
// scalar or container at depth d belongs to the key last seen at depth d.
class tweet_builder {
  public:
    explicit tweet_builder(bench_tweets &out) : out_(out) {}
    void start_object();
    void end_object();
    void start_array();
    void end_array();
    void key(const char *s, size_t n);
    void string(const char *s, size_t n);
    void integer(int64_t v);
    void real(double) {}
    void boolean(bool v);
    void null() {}

  private:
    enum class field { other, statuses, id, text, user, screen_name, retweet_count, favorited };
    bench_tweets &out_;
    bench_tweet *current_ = nullptr;
    unsigned depth_ = 0;
    bool in_statuses_ = false;
    bool in_user_ = false;
    field root_key_ = field::other;
    field status_key_ = field::other;
    field user_key_ = field::other;
};

// Records are the objects at depth `record_depth`: 1 for the elements of a top-level array, 0
// for a stream of top-level objects (JSON Lines).
class record_builder {
  public:
    record_builder(record_consumer &out, unsigned record_depth)
        : out_(out), record_depth_(record_depth) {}
    void start_object();
    void end_object();
    void start_array() { ++depth_; }
    void end_array() { --depth_; }
    void key(const char *s, size_t n);
    void string(const char *s, size_t n);
    void integer(int64_t v);
    void real(double v);
    void boolean(bool v);
    void null() {}

  private:
    enum class field { other, id, name, email, active, score, location, city, lat };
    record_consumer &out_;
    bench_record *current_ = nullptr;
    unsigned record_depth_;
    unsigned depth_ = 0;
    bool in_location_ = false;
    field record_key_ = field::other;
    field location_key_ = field::other;
};

} // namespace bench

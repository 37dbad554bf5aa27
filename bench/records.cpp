#include "records.hpp"

#include <cstdlib>
#include <new>

namespace bench {

namespace {

template <typename T> T *grow_and_push(T *&items, size_t &count, size_t &capacity) {
    if (count == capacity) {
        size_t next = capacity ? capacity * 2 : 64;
        void *p = std::realloc(items, next * sizeof(T));
        if (!p) throw std::bad_alloc();
        items = static_cast<T *>(p);
        capacity = next;
    }
    T *slot = &items[count++];
    std::memset(static_cast<void *>(slot), 0, sizeof(T));
    return slot;
}

void free_string(char *&s) {
    std::free(s);
    s = nullptr;
}

} // namespace

void set_string(char **dst, const char *s, size_t n) {
    char *copy = static_cast<char *>(std::malloc(n + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, s, n);
    copy[n] = '\0';
    std::free(*dst);
    *dst = copy;
}

// ---- tweets ---------------------------------------------------------------------------------

bench_tweet *push(bench_tweets &set) {
    return grow_and_push(set.statuses, set.count, set.capacity);
}

void clear(bench_tweets &set) {
    for (size_t i = 0; i < set.count; ++i) {
        free_string(set.statuses[i].text);
        free_string(set.statuses[i].user.screen_name);
    }
    set.count = 0;
}

void release(bench_tweets &set) {
    clear(set);
    std::free(set.statuses);
    set = bench_tweets{};
}

uint64_t checksum(const bench_tweets &set) {
    fold f;
    f.u64(set.count);
    for (size_t i = 0; i < set.count; ++i) {
        const bench_tweet &t = set.statuses[i];
        f.i64(t.id);
        f.str(t.text);
        f.str(t.user.screen_name);
        f.i64(t.retweet_count);
        f.boolean(t.favorited);
    }
    return f.value();
}

// ---- generated records ----------------------------------------------------------------------

void clear(bench_record &record) {
    free_string(record.name);
    free_string(record.email);
    free_string(record.location.city);
    record = bench_record{};
}

bench_record *push(bench_records &set) {
    return grow_and_push(set.items, set.count, set.capacity);
}

void clear(bench_records &set) {
    for (size_t i = 0; i < set.count; ++i) {
        clear(set.items[i]);
    }
    set.count = 0;
}

void release(bench_records &set) {
    clear(set);
    std::free(set.items);
    set = bench_records{};
}

void add(fold &f, const bench_record &r) {
    f.i64(r.id);
    f.str(r.name);
    f.str(r.email);
    f.boolean(r.active);
    f.f64(r.score);
    f.str(r.location.city);
    f.f64(r.location.lat);
}

uint64_t checksum(const bench_records &set) {
    fold f;
    for (size_t i = 0; i < set.count; ++i) {
        add(f, set.items[i]);
    }
    f.u64(set.count);
    return f.value();
}

// ---- twitter.json key paths -----------------------------------------------------------------
// depth 1: the root object; 2: the statuses array; 3: one status; 4: its user object.

void tweet_builder::start_object() {
    if (depth_ == 2 && in_statuses_) {
        current_ = push(out_);
    } else if (depth_ == 3 && current_ && status_key_ == field::user) {
        in_user_ = true;
    }
    ++depth_;
}

void tweet_builder::end_object() {
    --depth_;
    if (depth_ == 3 && in_user_) {
        in_user_ = false;
    } else if (depth_ == 2) {
        current_ = nullptr;
    }
}

void tweet_builder::start_array() {
    if (depth_ == 1 && root_key_ == field::statuses) in_statuses_ = true;
    ++depth_;
}

void tweet_builder::end_array() {
    --depth_;
    if (depth_ == 1) in_statuses_ = false;
}

void tweet_builder::key(const char *s, size_t n) {
    std::string_view k(s, n);
    if (depth_ == 1) {
        root_key_ = k == "statuses" ? field::statuses : field::other;
    } else if (depth_ == 3 && current_) {
        if (k == "id") {
            status_key_ = field::id;
        } else if (k == "text") {
            status_key_ = field::text;
        } else if (k == "user") {
            status_key_ = field::user;
        } else if (k == "retweet_count") {
            status_key_ = field::retweet_count;
        } else if (k == "favorited") {
            status_key_ = field::favorited;
        } else {
            status_key_ = field::other;
        }
    } else if (depth_ == 4 && in_user_) {
        user_key_ = k == "screen_name" ? field::screen_name : field::other;
    }
}

void tweet_builder::string(const char *s, size_t n) {
    if (depth_ == 3 && current_ && status_key_ == field::text) {
        set_string(&current_->text, s, n);
    } else if (depth_ == 4 && in_user_ && user_key_ == field::screen_name) {
        set_string(&current_->user.screen_name, s, n);
    }
}

void tweet_builder::integer(int64_t v) {
    if (depth_ != 3 || !current_) return;
    if (status_key_ == field::id) {
        current_->id = v;
    } else if (status_key_ == field::retweet_count) {
        current_->retweet_count = v;
    }
}

void tweet_builder::boolean(bool v) {
    if (depth_ == 3 && current_ && status_key_ == field::favorited) current_->favorited = v;
}

// ---- generated record key paths -------------------------------------------------------------

void record_builder::start_object() {
    if (depth_ == record_depth_) {
        current_ = out_.begin();
    } else if (depth_ == record_depth_ + 1 && current_ && record_key_ == field::location) {
        in_location_ = true;
    }
    ++depth_;
}

void record_builder::end_object() {
    --depth_;
    if (depth_ == record_depth_ + 1 && in_location_) {
        in_location_ = false;
    } else if (depth_ == record_depth_ && current_) {
        out_.end();
        current_ = nullptr;
    }
}

void record_builder::key(const char *s, size_t n) {
    std::string_view k(s, n);
    if (depth_ == record_depth_ + 1 && current_) {
        if (k == "id") {
            record_key_ = field::id;
        } else if (k == "name") {
            record_key_ = field::name;
        } else if (k == "email") {
            record_key_ = field::email;
        } else if (k == "active") {
            record_key_ = field::active;
        } else if (k == "score") {
            record_key_ = field::score;
        } else if (k == "location") {
            record_key_ = field::location;
        } else {
            record_key_ = field::other;
        }
    } else if (depth_ == record_depth_ + 2 && in_location_) {
        if (k == "city") {
            location_key_ = field::city;
        } else if (k == "lat") {
            location_key_ = field::lat;
        } else {
            location_key_ = field::other;
        }
    }
}

void record_builder::string(const char *s, size_t n) {
    if (depth_ == record_depth_ + 1 && current_) {
        if (record_key_ == field::name) {
            set_string(&current_->name, s, n);
        } else if (record_key_ == field::email) {
            set_string(&current_->email, s, n);
        }
    } else if (depth_ == record_depth_ + 2 && in_location_ && location_key_ == field::city) {
        set_string(&current_->location.city, s, n);
    }
}

void record_builder::integer(int64_t v) {
    if (depth_ == record_depth_ + 1 && current_) {
        if (record_key_ == field::id) {
            current_->id = v;
        } else if (record_key_ == field::score) {
            current_->score = static_cast<double>(v);
        }
    } else if (depth_ == record_depth_ + 2 && in_location_ && location_key_ == field::lat) {
        current_->location.lat = static_cast<double>(v);
    }
}

void record_builder::real(double v) {
    if (depth_ == record_depth_ + 1 && current_ && record_key_ == field::score) {
        current_->score = v;
    } else if (depth_ == record_depth_ + 2 && in_location_ && location_key_ == field::lat) {
        current_->location.lat = v;
    }
}

void record_builder::boolean(bool v) {
    if (depth_ == record_depth_ + 1 && current_ && record_key_ == field::active) {
        current_->active = v;
    }
}

} // namespace bench

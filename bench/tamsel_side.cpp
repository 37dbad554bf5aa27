#include "tamsel_side.hpp"

#include <cstdlib>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace bench {

namespace {

// One field: a key from TAMSEL_KEY, where it goes and how; everything else zero (dynamic
// storage, overflow fails, no flags). A plain aggregate initialiser would leave the trailing
// members to -Wmissing-field-initializers.
constexpr tamsel_field field(const char *name, size_t name_len, char first, char last,
                             size_t offset, tamsel_field_kind kind,
                             const tamsel_map *submap = nullptr, size_t elem_size = 0) {
    tamsel_field f{};
    f.name = name;
    f.name_len = name_len;
    f.name_first = first;
    f.name_last = last;
    f.offset = offset;
    f.kind = kind;
    f.storage = TAMSEL_STORAGE_DYNAMIC;
    f.submap = submap;
    f.elem_size = elem_size;
    return f;
}

template <size_t N>
constexpr tamsel_map map(const char *name, size_t struct_size, const tamsel_field (&fields)[N],
                         const tamsel_map *self) {
    return {name, struct_size, fields, N, self, nullptr};
}

// No field is required: like the RapidJSON side, a missing member leaves its empty value.
extern const tamsel_map kUserMap;
constexpr tamsel_field kUserFields[] = {
    field(TAMSEL_KEY("screen_name"), offsetof(bench_tweet_user, screen_name), TAMSEL_FIELD_STRING),
};
constexpr tamsel_map kUserMap =
    map("bench_tweet_user", sizeof(bench_tweet_user), kUserFields, &kUserMap);

extern const tamsel_map kTweetMap;
constexpr tamsel_field kTweetFields[] = {
    field(TAMSEL_KEY("id"), offsetof(bench_tweet, id), TAMSEL_FIELD_I64),
    field(TAMSEL_KEY("text"), offsetof(bench_tweet, text), TAMSEL_FIELD_STRING),
    field(TAMSEL_KEY("user"), offsetof(bench_tweet, user), TAMSEL_FIELD_OBJECT, &kUserMap),
    field(TAMSEL_KEY("retweet_count"), offsetof(bench_tweet, retweet_count), TAMSEL_FIELD_I64),
    field(TAMSEL_KEY("favorited"), offsetof(bench_tweet, favorited), TAMSEL_FIELD_BOOL),
};
constexpr tamsel_map kTweetMap = map("bench_tweet", sizeof(bench_tweet), kTweetFields, &kTweetMap);

constexpr tamsel_field kTweetsFields[] = {
    field(TAMSEL_KEY("statuses"), offsetof(tamsel_tweets, statuses), TAMSEL_FIELD_OBJECT_ARRAY,
          &kTweetMap, sizeof(bench_tweet)),
};

extern const tamsel_map kLocationMap;
constexpr tamsel_field kLocationFields[] = {
    field(TAMSEL_KEY("city"), offsetof(bench_location, city), TAMSEL_FIELD_STRING),
    field(TAMSEL_KEY("lat"), offsetof(bench_location, lat), TAMSEL_FIELD_F64),
};
constexpr tamsel_map kLocationMap =
    map("bench_location", sizeof(bench_location), kLocationFields, &kLocationMap);

constexpr tamsel_field kRecordFields[] = {
    field(TAMSEL_KEY("id"), offsetof(bench_record, id), TAMSEL_FIELD_I64),
    field(TAMSEL_KEY("name"), offsetof(bench_record, name), TAMSEL_FIELD_STRING),
    field(TAMSEL_KEY("email"), offsetof(bench_record, email), TAMSEL_FIELD_STRING),
    field(TAMSEL_KEY("active"), offsetof(bench_record, active), TAMSEL_FIELD_BOOL),
    field(TAMSEL_KEY("score"), offsetof(bench_record, score), TAMSEL_FIELD_F64),
    field(TAMSEL_KEY("location"), offsetof(bench_record, location), TAMSEL_FIELD_OBJECT,
          &kLocationMap),
};

struct runtime_deleter {
    void operator()(tamsel_runtime *rt) const { tamsel_free(rt); }
};

tamsel_status count(void *user, tamsel_error *) {
    ++*static_cast<uint64_t *>(user);
    return TAMSEL_STATUS_OK;
}
tamsel_status count_boolean(void *user, int, tamsel_error *) {
    return count(user, nullptr);
}
tamsel_status ignore(void *, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}
tamsel_status ignore_chunk(void *, const char *, size_t, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}

tamsel_value_visitor make_counting_visitor() {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.object_begin = count;
    v.object_end = ignore;
    v.key_begin = count;
    v.key_chunk = ignore_chunk;
    v.key_end = ignore;
    v.array_begin = count;
    v.array_end = ignore;
    v.string_begin = count;
    v.string_chunk = ignore_chunk;
    v.string_end = ignore;
    v.number_begin = count;
    v.number_chunk = ignore_chunk;
    v.number_end = ignore;
    v.boolean = count_boolean;
    v.null = count;
    return v;
}

} // namespace

extern const tamsel_map kTamselTweetsMap;
constexpr tamsel_map kTamselTweetsMap =
    map("tamsel_tweets", sizeof(tamsel_tweets), kTweetsFields, &kTamselTweetsMap);

extern const tamsel_map kTamselRecordMap;
constexpr tamsel_map kTamselRecordMap =
    map("bench_record", sizeof(bench_record), kRecordFields, &kTamselRecordMap);

extern const tamsel_map kTamselAnyObjectMap;
constexpr tamsel_map kTamselAnyObjectMap = {"any object",         1,      nullptr, 0,
                                            &kTamselAnyObjectMap, nullptr};

tamsel_runtime *tamsel_new_or_throw(const tamsel_config &config) {
    tamsel_error error;
    tamsel_runtime *rt = tamsel_new(&config, &error);
    if (!rt) {
        throw std::runtime_error(std::string("tamsel_new: ") + tamsel_status_string(error.code) +
                                 " " + error.message);
    }
    return rt;
}

tamsel_runtime *tamsel_bench_runtime() {
    static const std::unique_ptr<tamsel_runtime, runtime_deleter> runtime([] {
        tamsel_config config = tamsel_default_config();
        config.max_parse_bytes = 0;
        return tamsel_new_or_throw(config);
    }());
    return runtime.get();
}

const tamsel_value_visitor &tamsel_counting_visitor() {
    static const tamsel_value_visitor visitor = make_counting_visitor();
    return visitor;
}

bool tamsel_fold_records(tamsel_stream *stream, bool check, uint64_t &result) {
    bench_record record{};
    fold f;
    uint64_t n = 0;
    tamsel_error error;
    tamsel_stream_result r;
    while ((r = tamsel_stream_next(stream, &record, &error)) == TAMSEL_STREAM_ITEM) {
        if (check) add(f, record);
        ++n;
    }
    tamsel_cleanup(&kTamselRecordMap, &record);
    if (r != TAMSEL_STREAM_END) tamsel_report("tamsel_stream_next", error);
    result = check ? f.value() : n;
    return r == TAMSEL_STREAM_END;
}

void tamsel_report(const char *what, const tamsel_error &error) {
    std::fprintf(stderr, "%s: %s \"%s\" at %zu:%zu (offset %zu)\n", what,
                 tamsel_status_string(error.code), error.message, error.line, error.column,
                 error.offset);
}

namespace {

void *stats_malloc(void *, size_t size) {
    return std::malloc(size);
}
void *stats_realloc(void *, void *block, size_t size) {
    return std::realloc(block, size);
}
void stats_free(void *, void *block) {
    std::free(block);
}

} // namespace

tamsel_allocator tamsel_stats_allocator(tamsel_alloc_stats *stats) {
    return tamsel_allocator{stats_malloc, stats_realloc, stats_free, nullptr, stats};
}

tamsel_status tamsel_counting_sink(void *user, const void *, size_t len, tamsel_error *) {
    *static_cast<uint64_t *>(user) += len;
    return TAMSEL_STATUS_OK;
}

} // namespace bench

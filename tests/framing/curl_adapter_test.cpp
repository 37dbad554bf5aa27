// The libcurl adapters driven through their callbacks directly: every split point against the
// one-shot parse and the array stream, argument and state checks, copied records, overflowing
// size * nmemb, allocation failure at every index, and uploads read in every size.
#include "curl_support.hpp"
#include "framing/internal.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

using namespace curl_test;
using tamsel_test::counting_allocator;
using tamsel_test::runtime_with;

namespace {

const std::string order_body =
    "{\"id\":42,\"name\":\"caf\\u00e9 \\\"x\\\"\",\"price\":12.5,\"paid\":true,"
    "\"tags\":[\"a\",\"\",\"b\\n\"],\"code\":\"ABCDEF\"}";
const std::string array_body = "{\"meta\":{\"n\":[1,2]},\"items\":[" + order_body +
                               ",{\"id\":7,\"tags\":[]} ,\n{\"id\":-1,\"price\":1e3}]}";
const std::string string_body = "[\"one\",\"\",\"t\\u0077o\\n\",\"three\"]";

std::vector<size_t> whole(const std::string &body) {
    return {body.size()};
}

// Feeds `body` to a parse adapter in pieces of the given lengths (the rest in one piece), then
// finishes; the transcript is the record or the error, as parse_oracle gives it.
std::string via_parse_adapter(const std::string &body, const std::vector<size_t> &pieces) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_curl_parse a;
    order o{};
    EXPECT_EQ(tamsel_curl_parse_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
    tamsel_free(rt); // the adapter keeps its own settings
    size_t at = 0;
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t i = 0; at <= body.size(); ++i) {
        const size_t n =
            i < pieces.size() ? std::min(pieces[i], body.size() - at) : body.size() - at;
        std::string chunk = body.substr(at, n);
        if (tamsel_curl_write_callback(chunk.data(), 1, n, &a) != n) {
            st = a.error.code;
            break;
        }
        at += n;
        if (at == body.size()) break;
    }
    if (st == TAMSEL_STATUS_OK) st = tamsel_curl_parse_finish(&a);
    std::string out = st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED
                          ? describe(o) + (st ? " (7)" : "")
                          : describe_error(a.error);
    tamsel_curl_parse_cleanup(&a);
    tamsel_cleanup(order_map(), &o);
    return out;
}

// The same for the three array adapters, through their method members.
std::string via_array_adapter(const char *path, const std::string &body, items kind,
                              const std::vector<size_t> &pieces) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    std::string out;
    order o{};
    tamsel_curl_array_parse ap;
    tamsel_curl_string_array_parse sp;
    tamsel_curl_string_items_parse ip;
    std::function<size_t(const char *, size_t)> write;
    std::function<tamsel_status()> finish;
    tamsel_error *error = nullptr;
    switch (kind) {
    case items::orders:
        EXPECT_EQ(tamsel_curl_array_parse_init(&ap, rt, path, order_map(), &o, collect_order, &out),
                  TAMSEL_STATUS_OK);
        write = [&](const char *d, size_t n) { return ap.write(&ap, d, 1, n); };
        finish = [&] { return ap.finish(&ap); };
        error = &ap.error;
        break;
    case items::chunks:
        EXPECT_EQ(tamsel_curl_string_array_parse_init(&sp, rt, path, &chunk_transcript(), &out),
                  TAMSEL_STATUS_OK);
        write = [&](const char *d, size_t n) { return sp.write(&sp, d, 1, n); };
        finish = [&] { return sp.finish(&sp); };
        error = &sp.error;
        break;
    case items::strings:
        EXPECT_EQ(tamsel_curl_string_items_parse_init(&ip, rt, path, collect_string, &out),
                  TAMSEL_STATUS_OK);
        write = [&](const char *d, size_t n) { return ip.write(&ip, d, 1, n); };
        finish = [&] { return ip.finish(&ip); };
        error = &ip.error;
        break;
    }
    tamsel_free(rt);
    size_t at = 0;
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t i = 0; at < body.size(); ++i) {
        const size_t n =
            i < pieces.size() ? std::min(pieces[i], body.size() - at) : body.size() - at;
        if (write(body.data() + at, n) != n) {
            st = error->code;
            break;
        }
        at += n;
    }
    if (st == TAMSEL_STATUS_OK) st = finish();
    out += "|" + (st == TAMSEL_STATUS_OK ? std::string("ok") : describe_error(*error));
    switch (kind) {
    case items::orders:
        ap.cleanup(&ap);
        break;
    case items::chunks:
        sp.cleanup(&sp);
        break;
    case items::strings:
        ip.cleanup(&ip);
        break;
    }
    tamsel_cleanup(order_map(), &o);
    return out;
}

void free_runtime(counting_allocator &a, tamsel_runtime *rt) {
    a.pause();
    tamsel_free(rt);
    a.resume();
}

} // namespace

TEST(CurlParseAdapter, EverySplitPointMatchesParseBuffer) {
    const std::string expected = parse_oracle(order_body);
    ASSERT_EQ(expected, "{\"id\":42,\"name\":\"caf\xc3\xa9 \\\"x\\\"\",\"price\":12.5,\"paid\":"
                        "true,\"tags\":[\"a\",\"\",\"b\\n\"],\"code\":\"ABC\"} (7)");
    EXPECT_EQ(via_parse_adapter(order_body, whole(order_body)), expected);
    EXPECT_EQ(via_parse_adapter(order_body, std::vector<size_t>(order_body.size(), 1)), expected);
    for (size_t cut = 0; cut <= order_body.size(); ++cut)
        EXPECT_EQ(via_parse_adapter(order_body, {cut}), expected) << "cut at " << cut;
}

TEST(CurlParseAdapter, BadBodiesReportTheParsersError) {
    // A syntax error stops the write that carries it; the error is the one-shot parse's.
    for (const std::string &body :
         {std::string("{\"id\":1,\"name\":tru}"), std::string("{\"id\":1} x"),
          std::string("{\"name\":\"n\"}"), std::string("{\"id\":12"),
          std::string("{\"id\":1,\"name\":\"ab"), std::string("")}) {
        const std::string expected = parse_oracle(body);
        EXPECT_EQ(via_parse_adapter(body, whole(body)), expected) << body;
        EXPECT_EQ(via_parse_adapter(body, std::vector<size_t>(body.size(), 1)), expected) << body;
    }
    EXPECT_EQ(via_parse_adapter("{\"id\":1,\n \"name\":tru}", whole("")),
              "status 2 'invalid literal' at 2:12/21");
}

TEST(CurlArrayAdapters, EverySplitPointMatchesTheArrayStream) {
    struct run {
        const char *path;
        const std::string &body;
        items kind;
    };
    const std::string bad = "[\"a\",\"b\" \"c\"]";
    for (const run &r :
         {run{"items", array_body, items::orders}, run{nullptr, string_body, items::chunks},
          run{nullptr, string_body, items::strings}, run{nullptr, bad, items::strings},
          run{"items", string_body, items::orders}}) {
        const std::string expected = array_oracle(r.path, r.body, r.kind);
        EXPECT_EQ(via_array_adapter(r.path, r.body, r.kind, whole(r.body)), expected);
        for (size_t cut = 0; cut <= r.body.size(); ++cut)
            EXPECT_EQ(via_array_adapter(r.path, r.body, r.kind, {cut}), expected) << cut;
        EXPECT_EQ(via_array_adapter(r.path, r.body, r.kind, std::vector<size_t>(r.body.size(), 1)),
                  expected);
    }
    EXPECT_EQ(array_oracle(nullptr, string_body, items::strings), "one\n\ntwo\n\nthree\n|ok");
    EXPECT_EQ(array_oracle(nullptr, string_body, items::chunks),
              "<one>\n<>\n<two\n>\n<three>\n|ok");
}

TEST(CurlAdapters, ArgumentsStatesAndMethods) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    order o{};
    char byte = '{';
    EXPECT_EQ(tamsel_curl_parse_init(nullptr, rt, order_map(), &o), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_curl_write_callback(&byte, 1, 1, nullptr), 0u);
    EXPECT_EQ(tamsel_curl_parse_finish(nullptr), TAMSEL_STATUS_INVALID_ARGUMENT);
    tamsel_curl_parse_cleanup(nullptr);

    tamsel_curl_parse p;
    std::memset(&p, 0xA5, sizeof p); // garbage is not taken for a live record
    EXPECT_EQ(tamsel_curl_parse_init(&p, nullptr, order_map(), &o), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(p.error.message, "tamsel runtime is required");
    EXPECT_EQ(p.parser, nullptr);
    EXPECT_EQ(p.write(&p, &byte, 1, 1), 0u); // no parser: abort
    EXPECT_EQ(p.finish(&p), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(p.error.message, "tamsel runtime is required"); // finish left it alone
    EXPECT_EQ(tamsel_curl_parse_init(&p, rt, order_map(), nullptr), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(p.error.message, "map and destination are required");
    tamsel_map broken = *order_map();
    broken.struct_size = 1;
    broken.cache_self = nullptr;
    EXPECT_EQ(tamsel_curl_parse_init(&p, rt, &broken, &o), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(p.error.message, "invalid field layout");
    // Through the runtime's table, then the record's own methods.
    ASSERT_EQ(rt->methods.curl_parse_init(rt, &p, order_map(), &o), TAMSEL_STATUS_OK);
    EXPECT_EQ(p.cleanup, &tamsel_curl_parse_cleanup);
    EXPECT_EQ(p.finish, &tamsel_curl_parse_finish);
    EXPECT_EQ(p.write(&p, "{\"id\":3}", 1, 8), 8u);
    EXPECT_EQ(p.finish(&p), TAMSEL_STATUS_OK);
    EXPECT_EQ(o.id, 3);
    p.cleanup(&p);
    p.cleanup(&p); // a second cleanup does nothing
    EXPECT_EQ(p.magic, 0u);

    std::string out;
    tamsel_curl_array_parse a;
    EXPECT_EQ(tamsel_curl_array_parse_init(&a, rt, nullptr, order_map(), &o, nullptr, &out),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(a.error.message, "map, destination, and callback are required");
    EXPECT_EQ(tamsel_curl_array_write_callback(&byte, 1, 1, &a), 0u);
    EXPECT_EQ(tamsel_curl_array_parse_finish(&a), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_curl_array_parse_init(&a, rt, "a.b", order_map(), &o, collect_order, &out),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(a.error.message, "array stream v1 supports only one direct path segment");
    EXPECT_EQ(a.stream, nullptr);
    ASSERT_EQ(rt->methods.curl_array_parse_init(rt, &a, "", order_map(), &o, collect_order, &out),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_curl_array_write_callback(nullptr, 1, 1, &a), 0u);
    tamsel_curl_array_parse_cleanup(&a);

    tamsel_curl_string_array_parse s;
    tamsel_string_chunk_handler no_chunk = chunk_transcript();
    no_chunk.chunk = nullptr;
    EXPECT_EQ(tamsel_curl_string_array_parse_init(&s, rt, nullptr, &no_chunk, &out),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(s.error.message, "string chunk handler is required");
    ASSERT_EQ(rt->methods.curl_string_array_parse_init(rt, &s, nullptr, &chunk_transcript(), &out),
              TAMSEL_STATUS_OK);
    tamsel_curl_string_array_parse_cleanup(&s);

    tamsel_curl_string_items_parse i;
    EXPECT_EQ(tamsel_curl_string_items_parse_init(&i, rt, nullptr, nullptr, &out),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(i.error.message, "string item callback is required");
    ASSERT_EQ(rt->methods.curl_string_items_parse_init(rt, &i, nullptr, collect_string, &out),
              TAMSEL_STATUS_OK);
    tamsel_curl_string_items_parse_cleanup(&i);

    tamsel_curl_upload u;
    EXPECT_EQ(tamsel_curl_upload_init(&u, rt, nullptr, &o), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(u.generator.error.message, "map and source are required for generator init");
    char buffer[16];
    EXPECT_EQ(tamsel_curl_read_callback(buffer, 1, sizeof buffer, &u), TAMSEL_CURL_READFUNC_ABORT);
    EXPECT_EQ(tamsel_curl_read_callback(buffer, 1, sizeof buffer, nullptr),
              TAMSEL_CURL_READFUNC_ABORT);
    EXPECT_EQ(tamsel_curl_upload_size(nullptr), -1);
    ASSERT_EQ(rt->methods.curl_upload_init(rt, &u, order_map(), &o), TAMSEL_STATUS_OK);
    EXPECT_EQ(u.size(&u), -1);
    EXPECT_EQ(u.read(&u, nullptr, 1, 4), TAMSEL_CURL_READFUNC_ABORT);
    EXPECT_EQ(u.read(&u, buffer, 0, 4), 0u); // nothing asked: nothing produced, not the end
    EXPECT_EQ(u.read(&u, buffer, 1, 1), 1u);
    EXPECT_EQ(buffer[0], '{');
    u.cleanup(&u);
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
}

TEST(CurlAdapters, CopiedRecordsNeverValidate) {
    // b = a; cleanup(&b); init(&a): the copy frees nothing, the original is released once.
    counting_allocator alloc;
    tamsel_runtime *rt = runtime_with(alloc);
    order o{};
    std::string out;
    char byte = '{';
    {
        tamsel_curl_parse a, b;
        ASSERT_EQ(tamsel_curl_parse_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
        std::memcpy(&b, &a, sizeof a);
        EXPECT_EQ(tamsel_curl_write_callback(&byte, 1, 1, &b), 0u);
        EXPECT_EQ(tamsel_curl_parse_finish(&b), TAMSEL_STATUS_INVALID_ARGUMENT);
        tamsel_curl_parse_cleanup(&b);
        ASSERT_EQ(tamsel_curl_parse_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
        EXPECT_EQ(tamsel_curl_write_callback(&byte, 1, 1, &a), 1u);
        tamsel_curl_parse_cleanup(&a);
    }
    {
        tamsel_curl_array_parse a, b;
        ASSERT_EQ(
            tamsel_curl_array_parse_init(&a, rt, nullptr, order_map(), &o, collect_order, &out),
            TAMSEL_STATUS_OK);
        std::memcpy(&b, &a, sizeof a);
        EXPECT_EQ(tamsel_curl_array_write_callback(&byte, 1, 1, &b), 0u);
        tamsel_curl_array_parse_cleanup(&b);
        ASSERT_EQ(
            tamsel_curl_array_parse_init(&a, rt, nullptr, order_map(), &o, collect_order, &out),
            TAMSEL_STATUS_OK);
        tamsel_curl_array_parse_cleanup(&a);
    }
    {
        tamsel_curl_string_items_parse a, b;
        ASSERT_EQ(tamsel_curl_string_items_parse_init(&a, rt, nullptr, collect_string, &out),
                  TAMSEL_STATUS_OK);
        std::memcpy(&b, &a, sizeof a);
        tamsel_curl_string_items_parse_cleanup(&b);
        ASSERT_EQ(tamsel_curl_string_items_parse_init(&a, rt, nullptr, collect_string, &out),
                  TAMSEL_STATUS_OK);
        tamsel_curl_string_items_parse_cleanup(&a);
    }
    {
        tamsel_curl_upload a, b;
        ASSERT_EQ(tamsel_curl_upload_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
        std::memcpy(&b, &a, sizeof a);
        char buffer[8];
        EXPECT_EQ(tamsel_curl_read_callback(buffer, 1, sizeof buffer, &b),
                  TAMSEL_CURL_READFUNC_ABORT);
        tamsel_curl_upload_cleanup(&b);
        ASSERT_EQ(tamsel_curl_upload_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
        EXPECT_EQ(tamsel_curl_read_callback(buffer, 1, sizeof buffer, &a), sizeof buffer);
        tamsel_curl_upload_cleanup(&a);
    }
    tamsel_cleanup(order_map(), &o);
    free_runtime(alloc, rt);
    EXPECT_EQ(alloc.live_blocks(), 0u);
    EXPECT_EQ(alloc.stats.current_bytes, 0u);
}

TEST(CurlAdapters, OverflowingSizeTimesCountIsRefused) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const size_t half = SIZE_MAX / 2 + 1; // half * 2 wraps to 0
    char byte = '[';
    order o{};
    tamsel_curl_parse p;
    ASSERT_EQ(tamsel_curl_parse_init(&p, rt, order_map(), &o), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_curl_write_callback(&byte, half, 2, &p), 0u);
    EXPECT_STREQ(p.error.message, "curl write size overflows");
    // The lost chunk is remembered: the body cannot complete any more.
    EXPECT_EQ(tamsel_curl_write_callback(const_cast<char *>("{\"id\":1}"), 1, 8, &p), 0u);
    EXPECT_EQ(tamsel_curl_parse_finish(&p), TAMSEL_STATUS_OVERFLOW);
    tamsel_curl_parse_cleanup(&p);

    std::string out;
    tamsel_curl_string_items_parse s;
    ASSERT_EQ(tamsel_curl_string_items_parse_init(&s, rt, nullptr, collect_string, &out),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_curl_string_items_write_callback(const_cast<char *>("[]"), 1, 2, &s), 2u);
    EXPECT_EQ(tamsel_curl_string_items_write_callback(&byte, 2, half, &s), 0u);
    EXPECT_EQ(describe_error(s.error), "status 6 'curl write size overflows' at 1:2/2");
    EXPECT_EQ(tamsel_curl_string_items_parse_finish(&s), TAMSEL_STATUS_OVERFLOW);
    tamsel_curl_string_items_parse_cleanup(&s);

    tamsel_curl_upload u;
    ASSERT_EQ(tamsel_curl_upload_init(&u, rt, order_map(), &o), TAMSEL_STATUS_OK);
    char buffer[4];
    EXPECT_EQ(tamsel_curl_read_callback(buffer, half, 2, &u), TAMSEL_CURL_READFUNC_ABORT);
    EXPECT_STREQ(u.generator.error.message, "curl read size overflows");
    tamsel_curl_upload_cleanup(&u);
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
}

TEST(CurlAdapters, AllocationFailureAtEveryIndexLeavesNothingBehind) {
    // Init, the whole body and finish: each failing run gives status 8 (at init, from the
    // write's error record, or at finish) and leaks nothing.
    EXPECT_GT(tamsel_test::expect_allocation_failures_clean([](counting_allocator &alloc) {
                  tamsel_runtime *rt = runtime_with(alloc);
                  order o{};
                  tamsel_curl_parse a;
                  tamsel_status st = tamsel_curl_parse_init(&a, rt, order_map(), &o);
                  if (st == TAMSEL_STATUS_OK) {
                      std::string body = order_body;
                      if (tamsel_curl_write_callback(body.data(), 1, body.size(), &a) !=
                          body.size())
                          st = a.error.code;
                      else
                          st = tamsel_curl_parse_finish(&a);
                  }
                  tamsel_curl_parse_cleanup(&a);
                  tamsel_cleanup(order_map(), &o);
                  free_runtime(alloc, rt);
                  return st == TAMSEL_STATUS_TRUNCATED ? TAMSEL_STATUS_OK : st;
              }),
              0u);
    EXPECT_GT(tamsel_test::expect_allocation_failures_clean([](counting_allocator &alloc) {
                  tamsel_runtime *rt = runtime_with(alloc);
                  order o{};
                  std::string out;
                  tamsel_curl_array_parse a;
                  tamsel_status st = tamsel_curl_array_parse_init(&a, rt, "items", order_map(), &o,
                                                                  collect_order, &out);
                  if (st == TAMSEL_STATUS_OK) {
                      std::string body = array_body;
                      if (tamsel_curl_array_write_callback(body.data(), 1, body.size(), &a) !=
                          body.size())
                          st = a.error.code;
                      else
                          st = tamsel_curl_array_parse_finish(&a);
                  }
                  tamsel_curl_array_parse_cleanup(&a);
                  tamsel_cleanup(order_map(), &o);
                  free_runtime(alloc, rt);
                  return st == TAMSEL_STATUS_TRUNCATED ? TAMSEL_STATUS_OK : st;
              }),
              0u);
    EXPECT_GT(tamsel_test::expect_allocation_failures_clean([](counting_allocator &alloc) {
                  tamsel_runtime *rt = runtime_with(alloc);
                  std::string out;
                  tamsel_curl_string_items_parse a;
                  tamsel_status st =
                      tamsel_curl_string_items_parse_init(&a, rt, nullptr, collect_string, &out);
                  if (st == TAMSEL_STATUS_OK) {
                      std::string body = string_body;
                      if (tamsel_curl_string_items_write_callback(body.data(), 1, body.size(),
                                                                  &a) != body.size())
                          st = a.error.code;
                      else
                          st = tamsel_curl_string_items_parse_finish(&a);
                  }
                  tamsel_curl_string_items_parse_cleanup(&a);
                  free_runtime(alloc, rt);
                  return st;
              }),
              0u);
    EXPECT_GT(tamsel_test::expect_allocation_failures_clean([](counting_allocator &alloc) {
                  tamsel_runtime *rt = runtime_with(alloc);
                  order o{};
                  o.id = 5;
                  tamsel_curl_upload u;
                  tamsel_status st = tamsel_curl_upload_init(&u, rt, order_map(), &o);
                  char buffer[7];
                  while (st == TAMSEL_STATUS_OK) {
                      const size_t n = tamsel_curl_read_callback(buffer, 1, sizeof buffer, &u);
                      if (n == TAMSEL_CURL_READFUNC_ABORT) st = u.generator.error.code;
                      if (n == 0) break;
                  }
                  tamsel_curl_upload_cleanup(&u);
                  free_runtime(alloc, rt);
                  return st;
              }),
              0u);
}

TEST(CurlAdapters, SnapshotWithScratchIsFreedWhenItsFillFails) {
    // The settings copy duplicates a fixed-string scratch and spool directories: failing any of
    // those allocations must free the copy's block too.
    EXPECT_GT(tamsel_test::expect_allocation_failures_clean([](counting_allocator &alloc) {
                  static char scratch[64];
                  tamsel_config c = tamsel_default_config();
                  c.allocator = alloc.get();
                  c.fixed_string_scratch = scratch;
                  c.fixed_string_scratch_size = sizeof scratch;
                  c.spool_classes[0].temp_dir = "/tmp";
                  alloc.pause();
                  tamsel_runtime *rt = tamsel_new(&c, nullptr);
                  alloc.resume();
                  order o{};
                  tamsel_curl_parse a;
                  tamsel_status st = tamsel_curl_parse_init(&a, rt, order_map(), &o);
                  tamsel_curl_parse_cleanup(&a);
                  tamsel_cleanup(order_map(), &o);
                  free_runtime(alloc, rt);
                  return st;
              }),
              3u);
}

TEST(CurlUpload, ReadsOfEverySizeEqualTheSerializer) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    order o{};
    ASSERT_EQ(
        tamsel_parse_buffer(rt, order_map(), &o, order_body.data(), order_body.size(), nullptr),
        TAMSEL_STATUS_TRUNCATED);
    const std::string expected = describe(o);
    for (size_t size = 1; size <= expected.size() + 1; ++size) {
        tamsel_curl_upload u;
        ASSERT_EQ(tamsel_curl_upload_init(&u, rt, order_map(), &o), TAMSEL_STATUS_OK);
        std::string got;
        std::vector<char> buffer(size);
        for (int guard = 0; guard < 10000; ++guard) {
            const size_t n = tamsel_curl_read_callback(buffer.data(), 1, size, &u);
            ASSERT_NE(n, TAMSEL_CURL_READFUNC_ABORT);
            ASSERT_LE(n, size);
            if (n == 0) break;
            got.append(buffer.data(), n);
        }
        EXPECT_EQ(got, expected) << "reads of " << size;
        EXPECT_EQ(tamsel_curl_read_callback(buffer.data(), 1, size, &u), 0u); // still the end
        tamsel_curl_upload_cleanup(&u);
    }
    // A generator failure aborts with the reason in the record.
    o.price = std::nan("");
    tamsel_curl_upload u;
    ASSERT_EQ(tamsel_curl_upload_init(&u, rt, order_map(), &o), TAMSEL_STATUS_OK);
    char buffer[256];
    EXPECT_EQ(tamsel_curl_read_callback(buffer, 1, sizeof buffer, &u), TAMSEL_CURL_READFUNC_ABORT);
    EXPECT_STREQ(u.generator.error.message, "non-finite double cannot be serialized");
    tamsel_curl_upload_cleanup(&u);
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
}

TEST(CurlAdapters, MarkIsKeyedToTheRecordsAddress) {
    // The stored word is "TSCURL10" only before the key: 'T' is the lowest byte of the magic.
    const char text[] = "TSCURL10";
    uint64_t word;
    std::memcpy(&word, text, sizeof word);
    EXPECT_EQ(word, TAMSEL_CURL_MAGIC);
    tamsel_curl_parse a, b;
    EXPECT_NE(tamsel::framing::curl_mark(&a), tamsel::framing::curl_mark(&b));
    EXPECT_FALSE(tamsel::framing::curl_live(&a, 0));
}

TEST(CurlArrayAdapters, TruncatedItemsStillAcceptTheChunk) {
    // 7 is the one non-fatal status: a string callback returning it must not abort the
    // transfer, and finish reports it.
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_curl_string_items_parse s;
    ASSERT_EQ(
        tamsel_curl_string_items_parse_init(
            &s, rt, nullptr,
            [](void *, const char *, size_t, tamsel_error *) { return TAMSEL_STATUS_TRUNCATED; },
            nullptr),
        TAMSEL_STATUS_OK);
    std::string body = string_body;
    EXPECT_EQ(tamsel_curl_string_items_write_callback(body.data(), 1, body.size(), &s),
              body.size());
    EXPECT_EQ(tamsel_curl_string_items_parse_finish(&s), TAMSEL_STATUS_TRUNCATED);
    tamsel_curl_string_items_parse_cleanup(&s);
    tamsel_free(rt);
}

TEST(CurlArrayAdapters, OverlongRootKeyFailsAtTheSameByteHoweverSplit) {
    // Root keys are held up to max_parse_bytes: the first key byte past it is the error's
    // place, whether the key came in one write or byte by byte, also when the limit falls
    // inside a character the UTF-8 check follows.
    tamsel_config c = tamsel_default_config();
    c.max_parse_bytes = 8;
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, nullptr), 0);
    std::string body = "{\"abcdefg\xc3\xa9xyz\":[\"x\"]}";
    for (size_t piece : {body.size(), size_t{1}}) {
        tamsel_curl_string_items_parse s;
        ASSERT_EQ(tamsel_curl_string_items_parse_init(&s, rt, "p", collect_string, nullptr), 0);
        size_t refused = 0;
        for (size_t at = 0; at < body.size() && !refused; at += piece)
            refused = tamsel_curl_string_items_write_callback(body.data() + at, 1, piece, &s) == 0;
        EXPECT_TRUE(refused) << piece;
        EXPECT_EQ(describe_error(s.error), "status 6 'framing buffer limit exceeded' at 1:10/10")
            << piece;
        tamsel_curl_string_items_parse_cleanup(&s);
    }
    tamsel_free(rt);
}

// The libcurl adapters under real curl_easy_perform transfers against a server in this
// process on 127.0.0.1: bodies whole, chunked in random small pieces, slowly, cut off and with
// an error status, each result held to the one-shot parse or the array stream over the same
// bytes; uploads checked byte for byte where the server received them.
#include "framing/curl_support.hpp"
#include "http_server.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

using namespace curl_test;

static_assert(TAMSEL_CURL_READFUNC_ABORT == CURL_READFUNC_ABORT);
static_assert(sizeof(curl_off_t) == sizeof(int64_t));

namespace {

http_server &server() {
    static http_server s;
    return s;
}

const std::string order_body =
    "{\"id\":42,\"name\":\"caf\\u00e9\",\"price\":12.5,\"paid\":true,\"tags\":[\"a\",\"b\\n\"],"
    "\"code\":\"AB\"}";

std::string big_order_body() {
    std::string body = "{\"id\":9,\"tags\":[";
    for (int i = 0; i < 20000; ++i)
        body += (i ? ",\"" : "\"") + std::to_string(i) + "\\t\"";
    return body + "],\"name\":\"end\"}";
}

std::string big_array_body() {
    std::string body = "[";
    for (int i = 0; i < 3000; ++i)
        body += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i) + ",\"name\":\"n" +
                std::to_string(i) + "\",\"tags\":[\"x\"]}";
    return body + "]";
}

// One GET through `write` into `record`. Nothing but the loopback server is reached.
CURLcode get(const std::string &path, curl_write_callback write, void *record,
             bool fail_on_error = false) {
    CURL *c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, server().url(path).c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, record);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, fail_on_error ? 1L : 0L);
    CURLcode code = curl_easy_perform(c);
    curl_easy_cleanup(c);
    return code;
}

struct parsed {
    CURLcode code;
    std::string result;
};

parsed download_record(const std::string &path, bool fail_on_error = false) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_curl_parse a;
    order o{};
    EXPECT_EQ(tamsel_curl_parse_init(&a, rt, order_map(), &o), TAMSEL_STATUS_OK);
    tamsel_free(rt);
    parsed out{get(path, tamsel_curl_write_callback, &a, fail_on_error), ""};
    tamsel_status st = out.code == CURLE_WRITE_ERROR ? a.error.code : tamsel_curl_parse_finish(&a);
    out.result = st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED
                     ? describe(o) + (st ? " (7)" : "")
                     : describe_error(a.error);
    tamsel_curl_parse_cleanup(&a);
    tamsel_cleanup(order_map(), &o);
    return out;
}

parsed download_items(const char *array_path, const std::string &path, items kind,
                      tamsel_array_item_callback on_order = collect_order) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    parsed out{CURLE_OK, ""};
    order o{};
    tamsel_status st = TAMSEL_STATUS_OK;
    if (kind == items::orders) {
        tamsel_curl_array_parse a;
        EXPECT_EQ(tamsel_curl_array_parse_init(&a, rt, array_path, order_map(), &o, on_order,
                                               &out.result),
                  TAMSEL_STATUS_OK);
        out.code = get(path, tamsel_curl_array_write_callback, &a);
        st = out.code == CURLE_WRITE_ERROR ? a.error.code : tamsel_curl_array_parse_finish(&a);
        out.result += "|" + (st ? describe_error(a.error) : "ok");
        tamsel_curl_array_parse_cleanup(&a);
    } else if (kind == items::chunks) {
        tamsel_curl_string_array_parse a;
        EXPECT_EQ(tamsel_curl_string_array_parse_init(&a, rt, array_path, &chunk_transcript(),
                                                      &out.result),
                  TAMSEL_STATUS_OK);
        out.code = get(path, tamsel_curl_string_array_write_callback, &a);
        st = out.code == CURLE_WRITE_ERROR ? a.error.code
                                           : tamsel_curl_string_array_parse_finish(&a);
        out.result += "|" + (st ? describe_error(a.error) : "ok");
        tamsel_curl_string_array_parse_cleanup(&a);
    } else {
        tamsel_curl_string_items_parse a;
        EXPECT_EQ(
            tamsel_curl_string_items_parse_init(&a, rt, array_path, collect_string, &out.result),
            TAMSEL_STATUS_OK);
        out.code = get(path, tamsel_curl_string_items_write_callback, &a);
        st = out.code == CURLE_WRITE_ERROR ? a.error.code
                                           : tamsel_curl_string_items_parse_finish(&a);
        out.result += "|" + (st ? describe_error(a.error) : "ok");
        tamsel_curl_string_items_parse_cleanup(&a);
    }
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
    return out;
}

std::string lower_headers(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const delivery every_delivery[] = {delivery::whole, delivery::chunked, delivery::slow};

} // namespace

TEST(CurlTransfer, RecordDownloadsMatchParseBuffer) {
    for (const std::string &body : {order_body, big_order_body()}) {
        for (delivery how : every_delivery) {
            if (how == delivery::slow && body.size() > 4096) continue; // bounded run time
            server().serve("/order", response{body, how});
            parsed p = download_record("/order");
            EXPECT_EQ(p.code, CURLE_OK);
            EXPECT_EQ(p.result, parse_oracle(body)) << static_cast<int>(how);
        }
    }
}

TEST(CurlTransfer, ArrayDownloadsMatchTheArrayStream) {
    const std::string strings = "[\"one\",\"\",\"t\\u0077o\",\"three\"]";
    const std::string wrapped = "{\"skip\":[1,{\"a\":[]}],\"items\":" + big_array_body() + "}";
    for (delivery how : every_delivery) {
        server().serve("/strings", response{strings, how});
        for (items kind : {items::chunks, items::strings}) {
            parsed p = download_items(nullptr, "/strings", kind);
            EXPECT_EQ(p.code, CURLE_OK);
            EXPECT_EQ(p.result, array_oracle(nullptr, strings, kind));
        }
        if (how == delivery::slow) continue;
        server().serve("/orders", response{wrapped, how});
        parsed p = download_items("items", "/orders", items::orders);
        EXPECT_EQ(p.code, CURLE_OK);
        EXPECT_EQ(p.result, array_oracle("items", wrapped, items::orders));
    }
}

TEST(CurlTransfer, LibraryErrorsAbortWithAWriteError) {
    // A syntax error mid-body: libcurl reports the write error, the adapter the parser's.
    const std::string bad = "{\"id\":1,\"tags\":[\"a\",\"b\"],\"name\":tru}";
    server().serve("/bad", response{bad, delivery::chunked});
    parsed p = download_record("/bad");
    EXPECT_EQ(p.code, CURLE_WRITE_ERROR);
    EXPECT_EQ(p.result, parse_oracle(bad));
    EXPECT_EQ(p.result, "status 2 'invalid literal' at 1:36/36");

    const std::string bad_items = "[\"a\",\"b\" \"c\"]";
    server().serve("/bad-items", response{bad_items, delivery::chunked});
    p = download_items(nullptr, "/bad-items", items::strings);
    EXPECT_EQ(p.code, CURLE_WRITE_ERROR);
    EXPECT_EQ(p.result, array_oracle(nullptr, bad_items, items::strings));

    // A failing item callback stops the transfer at that item.
    server().serve("/orders", response{big_array_body(), delivery::chunked});
    p = download_items(nullptr, "/orders", items::orders, [](void *user, void *item) {
        if (static_cast<order *>(item)->id == 2) return TAMSEL_STATUS_CALLBACK_FAILED;
        return collect_order(user, item);
    });
    EXPECT_EQ(p.code, CURLE_WRITE_ERROR);
    EXPECT_EQ(p.result.substr(p.result.find('|')),
              "|status 9 'array stream item callback failed' at 1:102/102");
    EXPECT_EQ(std::count(p.result.begin(), p.result.end(), '\n'), 2);
}

TEST(CurlTransfer, CutOffAndErrorStatusBodiesFailAtFinish) {
    server().serve("/cut", response{order_body, delivery::cut});
    parsed p = download_record("/cut");
    EXPECT_EQ(p.code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(p.result, parse_oracle(order_body.substr(0, order_body.size() / 2)));

    server().serve("/cut-items", response{big_array_body(), delivery::cut});
    p = download_items(nullptr, "/cut-items", items::orders);
    EXPECT_EQ(p.code, CURLE_PARTIAL_FILE);
    EXPECT_NE(p.result.find("|status 2 'unterminated JSON value'"), std::string::npos) << p.result;

    // With CURLOPT_FAILONERROR the error body never reaches the adapter.
    server().serve("/busy", response{"{\"error\":\"busy\"}", delivery::whole, 503});
    p = download_record("/busy", true);
    EXPECT_EQ(p.code, CURLE_HTTP_RETURNED_ERROR);
    EXPECT_EQ(p.result, "status 2 'incomplete JSON document' at 1:0/0");
    // Without it the error body is parsed like any other and fails the map at its end.
    p = download_record("/busy");
    EXPECT_EQ(p.code, CURLE_WRITE_ERROR);
    EXPECT_EQ(p.result, parse_oracle("{\"error\":\"busy\"}"));
}

TEST(CurlTransfer, UploadsArriveByteForByteChunked) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    order o{};
    const std::string body = big_order_body();
    ASSERT_EQ(tamsel_parse_buffer(rt, order_map(), &o, body.data(), body.size(), nullptr),
              TAMSEL_STATUS_OK);
    for (bool fail : {false, true}) {
        if (fail) o.price = std::nan("");
        tamsel_curl_upload u;
        ASSERT_EQ(tamsel_curl_upload_init(&u, rt, order_map(), &o), TAMSEL_STATUS_OK);
        CURL *c = curl_easy_init();
        curl_easy_setopt(c, CURLOPT_URL, server().url("/upload").c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, "");
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, tamsel_curl_read_callback);
        curl_easy_setopt(c, CURLOPT_READDATA, &u);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)tamsel_curl_upload_size(&u));
        curl_easy_setopt(
            c, CURLOPT_WRITEFUNCTION,
            +[](char *, size_t size, size_t n, void *) { return size * n; });
        const CURLcode code = curl_easy_perform(c);
        curl_easy_cleanup(c);
        if (!fail) {
            EXPECT_EQ(code, CURLE_OK);
            EXPECT_EQ(server().last_body(), describe(o));
            EXPECT_GT(server().last_body().size(), 100000u);
            EXPECT_NE(lower_headers(server().last_headers()).find("transfer-encoding: chunked"),
                      std::string::npos);
        } else {
            EXPECT_EQ(code, CURLE_ABORTED_BY_CALLBACK);
            EXPECT_STREQ(u.generator.error.message, "non-finite double cannot be serialized");
        }
        tamsel_curl_upload_cleanup(&u);
    }
    tamsel_cleanup(order_map(), &o);
    tamsel_free(rt);
}

#ifdef TAMSEL_CURL_EXAMPLE
TEST(CurlExample, StreamsAnArrayFromTheServer) {
    server().serve("/example", response{"{\"items\":" + big_array_body() + "}", delivery::chunked});
    const std::string command =
        std::string(TAMSEL_CURL_EXAMPLE) + " '" + server().url("/example") + "' items";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << out;
    EXPECT_EQ(out.substr(0, 11), "0 n0\n1 n1\n2");
    EXPECT_NE(out.find("2999 n2999\n3000 items\n"), std::string::npos)
        << out.substr(out.size() - 80);
}
#endif

// tamsel sse: events as JSON objects or as their JSON data, filters, bad events reported with
// their line and skipped, the end marker, and the usage errors.
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using tool_test::result;
using tool_test::run;
using tool_test::run_with_input;

namespace {

const std::string stream = "\xEF\xBB\xBF: comment\r\nevent: add\r\nid: 7\r\ndata: {\"a\": 1,\r\n"
                           "data:  \"b\":\"\\u00e9\"}\r\n\r\ndata: not json\r\n\r\n"
                           "event: other\ndata: [1, 2]\n\ndata: \"tab\\there\"";

TEST(ToolSse, EventsAsObjectsOrAsTheirJson) {
    result r = run_with_input({"sse"}, stream);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"event\":\"add\",\"id\":\"7\",\"data\":\"{\\\"a\\\": 1,\\n "
                     "\\\"b\\\":\\\"\\\\u00e9\\\"}\"}\n"
                     "{\"event\":\"\",\"id\":null,\"data\":\"not json\"}\n"
                     "{\"event\":\"other\",\"id\":null,\"data\":\"[1, 2]\"}\n"
                     "{\"event\":\"\",\"id\":null,\"data\":\"\\\"tab\\\\there\\\"\"}\n");
    // A bad event is reported at its line and skipped; the exit status says so at the end.
    r = run_with_input({"sse", "--json"}, stream);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"a\":1,\"b\":\"\xC3\xA9\"}\n[1,2]\n\"tab\\there\"\n");
    EXPECT_EQ(r.err, "<stdin>:7:8: invalid literal\n");
    r = run_with_input({"sse", "--json", "--event", "add", "--event", "other"}, stream);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"a\":1,\"b\":\"\xC3\xA9\"}\n[1,2]\n");
    r = run_with_input({"sse", "--event", ""}, stream);
    EXPECT_EQ(r.out, "{\"event\":\"\",\"id\":null,\"data\":\"not json\"}\n"
                     "{\"event\":\"\",\"id\":null,\"data\":\"\\\"tab\\\\there\\\"\"}\n");
    // Name and id lines may follow the data; in an event over 64 KiB a late one is reported.
    r = run_with_input({"sse"}, "data: a\nid: 5\nevent: late\n\n");
    EXPECT_EQ(r.out, "{\"event\":\"late\",\"id\":\"5\",\"data\":\"a\"}\n");
    const std::string line = "data: " + std::string(40000, 'x') + "\n";
    r = run_with_input({"sse"}, line + line + "id: 9\n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "<stdin>:4: event name or id after the data of an event over 64 KiB: not written\n");
    // An overlong line is a bad event too, also after data lines; past the data held, the
    // start already written ends its own line.
    const std::string ok = "{\"event\":\"\",\"id\":null,\"data\":\"ok\"}\n";
    const std::string overlong = "data: " + std::string(70000, 'y') + "\n\ndata: ok\n\n";
    r = run_with_input({"sse"}, overlong);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ok);
    EXPECT_EQ(r.err, "<stdin>:1: framing buffer limit exceeded\n");
    EXPECT_EQ(run_with_input({"sse"}, "data: a\n" + overlong).out, ok);
    r = run_with_input({"sse"}, line + line + overlong);
    const std::string x = line.substr(6, 40000);
    EXPECT_EQ(r.out, "{\"event\":\"\",\"id\":null,\"data\":\"" + x + "\\n" + x + "\n" + ok);
    EXPECT_EQ(r.err, "<stdin>:3: framing buffer limit exceeded\n");
}

TEST(ToolSse, JsonStopsAtTheEndMarker) {
    const std::string sample = std::string(TAMSEL_SOURCE_DIR) + "/examples/data/chat_stream.sse";
    result r = run({"sse", "--json", sample});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 40);
    EXPECT_TRUE(r.out.ends_with("{\"index\":38,\"text\":\".\"}\n"
                                "{\"prompt_tokens\":12,\"completion_tokens\":38}\n"));
    // Without a marker [DONE] is bad JSON, named by its byte in the stream.
    r = run({"sse", "--json", "--end-marker", "", sample});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, sample + ":171:8: expected array value\n");
    // Another marker; nothing after it is read, and other data that is not JSON stays bad.
    const std::string text = "data: {\"a\":1}\n\ndata: nope\r\n\r\ndata: STOP\n\ndata: 2\n\n";
    r = run_with_input({"sse", "--json", "--end-marker", "STOP"}, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"a\":1}\n");
    EXPECT_EQ(r.err, "<stdin>:3:8: invalid literal\n");
    EXPECT_EQ(run({"sse", "--json", "--end-marker", "a\nb", sample}).status, 2);
}

TEST(ToolSse, UsageErrors) {
    EXPECT_EQ(run({"sse", "a", "b"}).status, 2);
    EXPECT_EQ(run({"sse", "--bogus"}).status, 2);
    EXPECT_EQ(run({"sse", "--event"}).status, 2);
    EXPECT_EQ(run({"sse", "/nonexistent/stream"}).status, 2);
}

} // namespace

// The SSE JSON family: events into records (the same record or a fresh one per event), into
// JSON value holders, event-name filters, what an error does to its event, argument checks,
// and allocation failure at every index.
#include "sse_support.hpp"
#include "support/counting_allocator.hpp"

#include <cstring>

using namespace sse_test;
using tamsel_test::counting_allocator;
using tamsel_test::runtime_with;

namespace {

// Appends each captured value and ";" to the std::string at `u`.
int keep_value(void *u, const tamsel_sse_event *, tamsel_json_value *h, tamsel_error *) {
    *static_cast<std::string *>(u) += std::string(h->data, h->len) + ";";
    return 0;
}

int record_event(void *user, const tamsel_sse_event *e, void *dst, tamsel_error *) {
    auto *m = static_cast<msg *>(dst);
    *static_cast<std::string *>(user) += std::string(e->event) + "|" + (e->id ? e->id : "-") + "|" +
                                         std::to_string(m->n) + "|" + (m->text ? m->text : "-") +
                                         "\n";
    return 0;
}

const std::string stream = "event: add\nid: 1\ndata: {\"n\":1,\r\ndata: \"text\":\"a\\u00e9\"}\n\n"
                           ": ping\n\ndata: {\"text\":\"two\",\"n\":2}\r\r"
                           "event: add\ndata: {\"n\":3}";

// Pushes `text` cut at `cuts` into one record, then finishes; failures come last.
std::string run_json(tamsel_runtime *rt, const std::string &text, const std::vector<size_t> &cuts,
                     const tamsel_sse_event_filter *filter = nullptr,
                     const tamsel_sse_options *o = nullptr) {
    std::string out, failures;
    tamsel_sse *s = tamsel_sse_open(o, nullptr);
    msg m{};
    tamsel_error e;
    auto note = [&](tamsel_status st) {
        if (st != TAMSEL_STATUS_OK)
            failures += "!" + std::to_string(st) + " " + e.message + " " + std::to_string(e.line) +
                        ":" + std::to_string(e.column) + "\n";
    };
    size_t at = 0;
    for (size_t c : cuts) {
        note(tamsel_sse_push_json(rt, s, msg_map(), &m, text.data() + at, c - at, filter,
                                  record_event, &out, &e));
        at = c;
    }
    note(tamsel_sse_push_json(rt, s, msg_map(), &m, text.data() + at, text.size() - at, filter,
                              record_event, &out, &e));
    note(tamsel_sse_finish_json(rt, s, msg_map(), &m, filter, record_event, &out, &e));
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &m);
    return out + failures;
}

// One stream pushed in pieces of at most `piece` bytes (or one piece per event, ending at each
// blank line, when `piece` is 0) into one record, with every allocation through `a`. Failures
// other than an allocation's are left behind and the stream goes on; an allocation failure ends
// the run, which then reports status 8. The events delivered go to *out.
tamsel_status run_json_with(counting_allocator &a, const std::string &text, size_t piece,
                            std::string *out) {
    counted_sse c(a);
    tamsel_status st = c.st;
    for (size_t at = 0; c.s && at < text.size() && st == TAMSEL_STATUS_OK;) {
        const size_t blank = text.find("\n\n", at);
        const size_t end = piece                ? std::min(at + piece, text.size())
                           : blank == text.npos ? text.size()
                                                : blank + 2;
        if (tamsel_sse_push_json(c.rt, c.s, msg_map(), &c.m, text.data() + at, end - at, nullptr,
                                 record_event, out, &c.e) == TAMSEL_STATUS_ALLOCATION_FAILED)
            st = TAMSEL_STATUS_ALLOCATION_FAILED;
        at = end;
    }
    if (c.s && st == TAMSEL_STATUS_OK &&
        tamsel_sse_finish_json(c.rt, c.s, msg_map(), &c.m, nullptr, record_event, out, &c.e) ==
            TAMSEL_STATUS_ALLOCATION_FAILED)
        st = TAMSEL_STATUS_ALLOCATION_FAILED;
    return st;
}

TEST(SseJson, RecordsWhateverTheSplitAndNothingLeaks) {
    counting_allocator a;
    tamsel_runtime *rt = runtime_with(a);
    // After the first id, an event without one reports "".
    const std::string want = "add|1|1|a\xC3\xA9\n||2|two\nadd||3|-\n";
    EXPECT_EQ(run_json(rt, stream, {}), want);
    for (size_t i = 0; i <= stream.size(); ++i)
        ASSERT_EQ(run_json(rt, stream, {i}), want) << "cut at " << i;
    EXPECT_EQ(run_json(rt, stream, every_byte(stream.size())), want);
    a.pause();
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

// The error record an event callback gets is clear, whatever the last callback left in it
// when it returned 0.
TEST(SseJson, EachCallbackFindsAClearErrorRecord) {
    const auto scribble = [](void *u, const tamsel_sse_event *, void *, tamsel_error *e) {
        const tamsel_error clear{};
        if (std::memcmp(e, &clear, sizeof clear) != 0) ++*static_cast<int *>(u);
        e->code = TAMSEL_STATUS_INVALID_JSON;
        e->line = e->column = e->offset = 7;
        e->truncated = 1;
        std::strcpy(e->message, "left behind");
        return 0;
    };
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg m{};
    int dirty = 0;
    const std::string text = "data: {\"n\":1}\n\ndata: {\"n\":2}\n\ndata: {\"n\":3}\n\n";
    EXPECT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &m, text.data(), text.size(), nullptr,
                                   scribble, &dirty, nullptr),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(m.n, 3);
    EXPECT_EQ(dirty, 0);
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &m);
    tamsel_free(rt);
}

TEST(SseJson, AFreshRecordPerEventStaysTheCallers) {
    counting_allocator a;
    tamsel_runtime *rt = runtime_with(a);
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg recs[3] = {};
    std::string out;
    const char *events[] = {"data: {\"text\":\"one\"}\n\n", "data: {\"text\":\"two\"}\n\n",
                            "data: {\"text\":\"three\"}\n\n"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &recs[i], events[i],
                                       std::strlen(events[i]), nullptr, record_event, &out,
                                       nullptr),
                  TAMSEL_STATUS_OK);
        if (i == 1) tamsel_cleanup(msg_map(), &recs[0]); // freed by the caller: not touched again
    }
    ASSERT_EQ(
        tamsel_sse_finish_json(rt, s, msg_map(), &recs[2], nullptr, nullptr, nullptr, nullptr),
        TAMSEL_STATUS_OK);
    tamsel_sse_close(s);
    EXPECT_STREQ(recs[1].text, "two");
    EXPECT_STREQ(recs[2].text, "three");
    for (msg &m : recs)
        tamsel_cleanup(msg_map(), &m);
    // The same record for every event: each event's values replace the last ones.
    msg one{};
    s = tamsel_sse_open(nullptr, nullptr);
    for (const char *ev : events)
        ASSERT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &one, ev, std::strlen(ev), nullptr,
                                       nullptr, nullptr, nullptr),
                  TAMSEL_STATUS_OK);
    tamsel_sse_close(s);
    EXPECT_STREQ(one.text, "three");
    tamsel_cleanup(msg_map(), &one);
    a.pause();
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

// A parser set up for one event is set up again only where the next one differs: another
// record, a value holder, or a runtime with other settings (here strings of at most 3 bytes).
TEST(SseJson, OneParserMovesBetweenRecordsHoldersAndRuntimes) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_config short_strings = tamsel_default_config();
    short_strings.max_string_bytes = 3;
    tamsel_runtime *rt3 = tamsel_new(&short_strings, nullptr);
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    ASSERT_EQ(tamsel_json_value_enable_parse_capture(&v, nullptr), TAMSEL_STATUS_OK);
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg a{}, b{};
    std::string out;
    tamsel_error e;
    const auto event = [&](tamsel_runtime *r, msg *m, const char *text) {
        const std::string ev = std::string("data: ") + text + "\n\n";
        const tamsel_status st = m ? tamsel_sse_push_json(r, s, msg_map(), m, ev.data(), ev.size(),
                                                          nullptr, record_event, &out, &e)
                                   : tamsel_sse_push_json_value(r, s, &v, ev.data(), ev.size(),
                                                                nullptr, keep_value, &out, &e);
        if (st != TAMSEL_STATUS_OK) out += "!" + std::to_string(st) + " " + e.message + "\n";
    };
    event(rt, &a, "{\"n\":1,\"text\":\"one\"}");
    event(rt, &b, "{\"n\":2,\"text\":\"two\"}");
    event(rt, &b, "{\"n\":3}");
    event(rt, nullptr, "[4]");
    tamsel_cleanup(msg_map(), &a); // passed again after another record: initialised, not emptied
    event(rt, &a, "{\"n\":5,\"text\":\"five\"}");
    event(rt3, &a, "{\"n\":6,\"text\":\"six\"}");
    event(rt3, &a, "{\"n\":7,\"text\":\"seven\"}");
    event(rt, &a, "{\"n\":8,\"text\":\"eight\"}");
    EXPECT_EQ(out,
              "|-|1|one\n|-|2|two\n|-|3|-\n[4];|-|5|five\n|-|6|six\n"
              "!6 string field 'text' exceeds configured max dynamic string bytes\n|-|8|eight\n");
    EXPECT_EQ(b.n, 3);
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &a);
    tamsel_cleanup(msg_map(), &b);
    tamsel_json_value_cleanup(&v);
    tamsel_free(rt3);
    tamsel_free(rt);
}

TEST(SseJson, AFailedEventIsDroppedAndTheNextIsParsed) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    // Invalid JSON on the second data line: the parser's message and position; the event's
    // later lines, pushed afterwards, are dropped, not stitched onto anything.
    EXPECT_EQ(run_json(rt,
                       "data: {\"n\":1,\ndata: oops\ndata: \"text\":\"x\"}\n\ndata: {\"n\":2}\n\n",
                       {20}),
              "|-|2|-\n!2 expected object key 2:1\n");
    // Over the data limit: the same, and the event after it in the same push is reported.
    tamsel_sse_options o = tamsel_default_sse_options();
    o.max_event_data_bytes = 12;
    EXPECT_EQ(run_json(rt, "data: {\"n\":\ndata: 1234567\ndata: 3}\n\ndata: {\"n\":4}\n\n", {},
                       nullptr, &o),
              "|-|4|-\n!6 SSE JSON event data exceeds configured limit 0:0\n");
    // Exactly at the limit, the joining line break counted: parsed.
    EXPECT_EQ(run_json(rt, "data: {\"n\":\ndata: 12345}\n\n", {}, nullptr, &o), "|-|12345|-\n");
    // A failing callback: no retry of the event, the record is cleaned up, the next is parsed.
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg m{};
    tamsel_error e;
    auto refuse = [](void *, const tamsel_sse_event *, void *, tamsel_error *) { return 1; };
    EXPECT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &m, "data: {\"text\":\"a\"}\n\n", 21, nullptr,
                                   refuse, nullptr, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "SSE JSON callback failed");
    EXPECT_EQ(m.text, nullptr);
    std::string out;
    EXPECT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &m, "data: {\"n\":5}\n\n", 15, nullptr,
                                   record_event, &out, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(out, "|-|5|-\n");
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &m);
    tamsel_free(rt);
}

TEST(SseJson, EventsIntoOneRecordForgetWhatTheLastLeftOpen) {
    // Strings longer and shorter than the last, and events failing inside an escape, inside a
    // UTF-8 sequence and at the end of their data: each event starts clean whatever the split.
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string text = "data: {\"text\":\"a longer string\",\"n\":1}\n\n"
                             "data: {\"text\":\"ab\\u00\ndata: e9\"}\n\n"
                             "data: {\"text\":\"s\"}\n\n"
                             "data: {\"text\":\"\xC3\ndata: \"}\n\n"
                             "data: {\"n\":2,\"text\":\"unfinished\n\n"
                             "data: {\"n\":3,\"text\":\"much longer than any string before\"}\n\n";
    const std::string records =
        "|-|1|a longer string\n|-|0|s\n|-|3|much longer than any string before\n";
    EXPECT_EQ(run_json(rt, text, {}), records + "!2 invalid unicode escape 2:0\n");
    for (size_t i = 0; i <= text.size(); ++i)
        ASSERT_EQ(run_json(rt, text, {i}).substr(0, records.size()), records) << "cut at " << i;
    // Each failure at its event's own data position.
    EXPECT_EQ(run_json(rt, text, every_byte(text.size())),
              records + "!2 invalid unicode escape 2:0\n!2 control character in string literal "
                        "2:0\n!2 incomplete JSON token at end of input 1:25\n");
    // The same events into a value holder, a byte at a time.
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    ASSERT_EQ(tamsel_json_value_enable_parse_capture(&v, nullptr), TAMSEL_STATUS_OK);
    std::string out;
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    for (char c : text)
        if (tamsel_sse_push_json_value(rt, s, &v, &c, 1, nullptr, keep_value, &out, nullptr) != 0)
            out += "!;";
    EXPECT_EQ(out, "{\"text\":\"a longer string\",\"n\":1};!;{\"text\":\"s\"};!;!;"
                   "{\"n\":3,\"text\":\"much longer than any string before\"};");
    tamsel_sse_close(s);
    tamsel_json_value_cleanup(&v);
    tamsel_free(rt);
}

TEST(SseJson, FiltersAndValueHolders) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const char *names[] = {nullptr, "add"};
    const tamsel_sse_event_filter add{names, 2};
    EXPECT_EQ(
        run_json(
            rt,
            "event: other\ndata: not json\n\nevent: add\ndata: {\"n\":1}\n\n"
            "data: {\"n\":2}\n\ndata: {\"n\":3}\nevent: add\n\nevent: add\ndata: {\"n\":4}\n\n",
            {}, &add),
        "add|-|1|-\nadd|-|4|-\n"
        "!1 SSE event name must precede data for streaming JSON filters 0:0\n");
    const char *unnamed[] = {""};
    const tamsel_sse_event_filter none{unnamed, 1};
    EXPECT_EQ(run_json(rt, "event: x\ndata: 1\n\ndata: {\"n\":2}\n\n", {}, &none), "|-|2|-\n");

    // Any JSON value, captured into a holder.
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    ASSERT_EQ(tamsel_json_value_enable_parse_capture(&v, nullptr), TAMSEL_STATUS_OK);
    std::string out;
    const std::string text =
        "data: [1,\ndata:  2]\n\ndata: \"s\"\n\ndata: {\"a\" : null}\n\ndata: 7";
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    tamsel_error e;
    for (char c : text)
        ASSERT_EQ(tamsel_sse_push_json_value(rt, s, &v, &c, 1, nullptr, keep_value, &out, &e),
                  TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_sse_finish_json_value(rt, s, &v, nullptr, keep_value, &out, &e),
              TAMSEL_STATUS_OK);
    EXPECT_EQ(out, "[1,2];\"s\";{\"a\":null};7;");
    tamsel_sse_close(s);
    // A holder without a parse mode.
    tamsel_json_value idle;
    tamsel_json_value_init(rt, &idle);
    s = tamsel_sse_open(nullptr, nullptr);
    EXPECT_EQ(
        tamsel_sse_push_json_value(rt, s, &idle, "data: 1\n\n", 9, nullptr, keep_value, &out, &e),
        TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(
        e.message,
        "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
    tamsel_sse_close(s);
    tamsel_json_value_cleanup(&v);
    tamsel_json_value_cleanup(&idle);
    tamsel_free(rt);
}

TEST(SseJson, ArgumentChecks) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg a{}, b{};
    tamsel_error e;
    EXPECT_EQ(tamsel_sse_push_json(nullptr, s, msg_map(), &a, "", 0, nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
    EXPECT_EQ(tamsel_sse_push_json(rt, s, nullptr, &a, "", 0, nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "map and destination are required");
    EXPECT_EQ(tamsel_sse_push_json_value(rt, s, nullptr, "", 0, nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "JSON value handle is required");
    // One event, one destination.
    EXPECT_EQ(
        tamsel_sse_push_json(rt, s, msg_map(), &a, "data: {\n", 8, nullptr, nullptr, nullptr, &e),
        TAMSEL_STATUS_OK);
    EXPECT_EQ(
        tamsel_sse_push_json(rt, s, msg_map(), &b, "data: }\n\n", 9, nullptr, nullptr, nullptr, &e),
        TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE JSON parser arguments changed during an event");
    EXPECT_EQ(tamsel_sse_push(s, "", 0, nullptr, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &a);
    tamsel_cleanup(msg_map(), &b);
    tamsel_free(rt);
}

// Escaped strings into one record, event after event: bodies longer than their decoded text
// across a block doubling, so the member's spare of the smaller block is decoded into, grown
// when the text does not fit it (exactly filling it, or a code point cut at its end), and a
// NUL escape that drops its event.
std::string escaped_events(std::string *want) {
    const std::string e9 = "\\u00e9", e9_text = "\xC3\xA9";
    auto rep = [](const std::string &s, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += s;
        return out;
    };
    const std::pair<std::string, std::string> texts[] = {
        {rep(e9, 12), rep(e9_text, 12)},
        {rep(e9, 12), rep(e9_text, 12)},
        {std::string(50, 'y') + rep(e9, 7), std::string(50, 'y') + rep(e9_text, 7)},
        {std::string(49, 'y') + rep(e9, 7), std::string(49, 'y') + rep(e9_text, 7)},
        {rep("\\ud83d\\ude00", 9) + "\\n", rep("\xF0\x9F\x98\x80", 9) + "\n"},
        {rep(e9, 21), rep(e9_text, 21)},
        {rep(e9, 12) + "\\u0000", ""},
        {rep(e9, 12), rep(e9_text, 12)},
    };
    std::string text;
    int n = 0;
    for (const auto &[body, decoded] : texts) {
        text += "data: {\"n\":" + std::to_string(++n) + ",\"text\":\"" + body + "\"}\n\n";
        if (!decoded.empty()) *want += "|-|" + std::to_string(n) + "|" + decoded + "\n";
    }
    *want += "!3 field 'text' contains embedded NUL unsupported by C strings 1:93\n";
    return text;
}

TEST(SseJson, EscapedStringsReuseTheSmallerSpareAndGrowOutOfIt) {
    std::string want;
    const std::string text = escaped_events(&want);
    counting_allocator a;
    tamsel_runtime *rt = runtime_with(a);
    EXPECT_EQ(run_json(rt, text, {}), want);
    for (size_t i = 0; i <= text.size(); i += 7)
        ASSERT_EQ(run_json(rt, text, {i}), want) << "cut at " << i;
    a.pause();
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
    // Allocation failure at every index of the same stream.
    const size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &b) {
        std::string out;
        const tamsel_status st = run_json_with(b, text, 0, &out);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(out, want.substr(0, want.rfind('!')));
        }
        return st;
    });
    EXPECT_GE(runs, 8u);
}

TEST(SseJson, AllocationFailureAtEveryIndex) {
    const std::string text =
        "event: a name longer than sixty-four bytes, so that its buffer grows\n"
        "data: {\"n\":1,\"text\":\"" +
        std::string(200, 'x') +
        "\"}\n\n"
        "data: {\"text\":\"again\"}\n\n";
    const size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        std::string out;
        const tamsel_status st = run_json_with(a, text, 16, &out);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(out.substr(out.size() - 11), "|-|0|again\n");
        }
        return st;
    });
    EXPECT_GE(runs, 5u);
}

} // namespace

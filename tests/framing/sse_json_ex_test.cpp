// The extended SSE JSON entry points: events not parsed reported as plain events, the end
// marker, ending the stream from a callback, and parse failures at their stream positions.
#include "sse_support.hpp"
#include "support/counting_allocator.hpp"

#include <algorithm>
#include <cstring>

using namespace sse_test;
using tamsel_test::counting_allocator;

namespace {

// Parsed events join the plain events of `other` in one transcript.
int on_record(void *user, const tamsel_sse_event *e, void *dst, tamsel_error *) {
    auto *m = static_cast<msg *>(dst);
    static_cast<log *>(user)->text +=
        "J" + event_text(e) + std::to_string(m->n) + "," + (m->text ? m->text : "-") + "\n";
    return 0;
}

const char *const add_names[] = {"add"};
const tamsel_sse_event_filter add_only{add_names, 1};

// Pushes `text` cut at `cuts` through tamsel_sse_push_json_ex into one record and finishes;
// each failure (status, message, stream line:column:offset) and how the stream ended come
// last.
std::string run_ex(tamsel_runtime *rt, const std::string &text, const std::vector<size_t> &cuts,
                   tamsel_sse_json_handlers h) {
    log l;
    h.user = &l;
    std::string tail;
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg m{};
    tamsel_error e;
    auto note = [&](tamsel_status st) {
        if (st != TAMSEL_STATUS_OK)
            tail += "!" + std::to_string(st) + " " + e.message + " " + std::to_string(e.line) +
                    ":" + std::to_string(e.column) + ":" + std::to_string(e.offset) + "\n";
    };
    size_t at = 0;
    for (size_t c : cuts) {
        note(tamsel_sse_push_json_ex(rt, s, msg_map(), &m, text.data() + at, c - at, &add_only, &h,
                                     &e));
        at = c;
    }
    note(tamsel_sse_push_json_ex(rt, s, msg_map(), &m, text.data() + at, text.size() - at,
                                 &add_only, &h, &e));
    note(tamsel_sse_finish_json_ex(rt, s, msg_map(), &m, &add_only, &h, &e));
    tail += "ended " + std::to_string(tamsel_sse_ended(s)) + "\n";
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &m);
    return l.text + tail;
}

TEST(SseJsonEx, EveryEventOnceAndTheMarkerEndsTheStreamWhateverTheSplit) {
    counting_allocator a;
    tamsel_config c = tamsel_default_config();
    c.allocator = a.get();
    tamsel_runtime *rt = tamsel_new(&c, nullptr);
    // An event with no data, a filtered one, a parsed one, one whose first line is the marker
    // but is not all its data (parsed, and failing on the held line), the marker, and an
    // event after it that is never read.
    const std::string text = "retry: 30\n\n"
                             "event: ping\ndata: a\r\ndata: b\r\n\r\n"
                             "event: add\nid: 1\ndata: {\"n\":1,\ndata:\"text\":\"x\"}\n\n"
                             "event: add\ndata: [DONE]\ndata: {}\n\n"
                             "event: add\ndata: [DONE]\n\n"
                             "event: add\ndata: {\"n\":9}\n\n";
    const std::string want = "B[|(null)|0|r30]E[|(null)|0|r30]\n"
                             "B[ping|(null)|0]<a><\n><b>E[ping|(null)|3]\n"
                             "J[add|1|19]1,x\n"
                             "B[add||0]<[DONE]>E[add||6]\n"
                             "!3 root value must be an object 13:7:110\n"
                             "ended 1\n";
    const tamsel_sse_json_handlers h{on_record, nullptr, callbacks(), "[DONE]", nullptr};
    EXPECT_EQ(run_ex(rt, text, {}, h), want);
    for (size_t i = 0; i <= text.size(); ++i)
        ASSERT_EQ(run_ex(rt, text, {i}, h), want) << "cut at " << i;
    EXPECT_EQ(run_ex(rt, text, every_byte(text.size()), h), want);

    // Without `other` the events that are not parsed pass unseen; without a marker its event
    // is parsed like any other (and fails), and the stream goes on to its end.
    const tamsel_sse_json_handlers quiet{on_record, nullptr, nullptr, "[DONE]", nullptr};
    EXPECT_EQ(run_ex(rt, text, {}, quiet),
              "J[add|1|19]1,x\n!3 root value must be an object 13:7:110\nended 1\n");
    const tamsel_sse_json_handlers no_marker{on_record, nullptr, callbacks(), nullptr, nullptr};
    EXPECT_EQ(run_ex(rt, text, {}, no_marker),
              "B[|(null)|0|r30]E[|(null)|0|r30]\n"
              "B[ping|(null)|0]<a><\n><b>E[ping|(null)|3]\n"
              "J[add|1|19]1,x\n"
              "J[add||7]9,-\n"
              "!3 root value must be an object 13:7:110\nended 0\n");
    tamsel_free(rt);
    EXPECT_EQ(a.stats.current_bytes, 0u);
}

TEST(SseJsonEx, ACallbackEndsTheStream) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    const std::string text = "event: add\ndata: {\"n\":1}\n\nevent: add\ndata: {\"n\":2}\n\n"
                             "event: x\ndata: a\ndata: b\n\n";
    // From the JSON callback: the record keeps the event, nothing after it is read, later
    // calls do nothing.
    auto stop = [](void *, const tamsel_sse_event *, void *, tamsel_error *) {
        return TAMSEL_SSE_END_STREAM;
    };
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    msg m{};
    tamsel_error e;
    tamsel_sse_json_handlers h{stop, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(
        tamsel_sse_push_json_ex(rt, s, msg_map(), &m, text.data(), text.size(), &add_only, &h, &e),
        TAMSEL_STATUS_OK);
    EXPECT_EQ(m.n, 1);
    EXPECT_EQ(tamsel_sse_ended(s), TAMSEL_SSE_ENDED_BY_CALLBACK);
    EXPECT_EQ(
        tamsel_sse_push_json_ex(rt, s, msg_map(), &m, "data: {\"n\":3}\n\n", 15, nullptr, &h, &e),
        TAMSEL_STATUS_OK);
    EXPECT_EQ(m.n, 1);
    EXPECT_EQ(tamsel_sse_finish_json_ex(rt, s, msg_map(), &m, nullptr, &h, &e), TAMSEL_STATUS_OK);
    // The stated entry points see a finished parser.
    EXPECT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &m, "", 0, nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    tamsel_sse_close(s);
    // From `other`, in the middle of an event: no end_event for it. The stated entry points
    // take the same return value as a failure.
    log l;
    l.fail_chunk = 1;
    auto end_on_fail = [](void *u, const char *b, size_t n, tamsel_error *err) {
        return on_chunk(u, b, n, err) ? TAMSEL_SSE_END_STREAM : 0;
    };
    const tamsel_sse_callbacks other{on_begin, end_on_fail, on_end};
    h = {on_record, nullptr, &other, nullptr, &l};
    s = tamsel_sse_open(nullptr, nullptr);
    ASSERT_EQ(
        tamsel_sse_push_json_ex(rt, s, msg_map(), &m, text.data(), text.size(), &add_only, &h, &e),
        TAMSEL_STATUS_OK);
    EXPECT_EQ(l.text, "J[add|(null)|7]1,-\nJ[add|(null)|7]2,-\nB[x|(null)|0]<a>");
    EXPECT_EQ(tamsel_sse_ended(s), TAMSEL_SSE_ENDED_BY_CALLBACK);
    tamsel_sse_close(s);
    auto refuse = [](void *, const tamsel_sse_event *, void *, tamsel_error *) {
        return TAMSEL_SSE_END_STREAM;
    };
    s = tamsel_sse_open(nullptr, nullptr);
    EXPECT_EQ(tamsel_sse_push_json(rt, s, msg_map(), &m, text.data(), text.size(), nullptr, refuse,
                                   nullptr, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_EQ(tamsel_sse_ended(s), TAMSEL_SSE_NOT_ENDED);
    tamsel_sse_close(s);
    // A marker of more than one line is refused before anything is read.
    s = tamsel_sse_open(nullptr, nullptr);
    h = {nullptr, nullptr, nullptr, "a\nb", nullptr};
    EXPECT_EQ(tamsel_sse_push_json_ex(rt, s, msg_map(), &m, "data: {}\n\n", 10, nullptr, &h, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE end marker must not hold CR or LF");
    EXPECT_EQ(tamsel_sse_ended(nullptr), TAMSEL_SSE_NOT_ENDED);
    tamsel_sse_close(s);
    tamsel_cleanup(msg_map(), &m);
    tamsel_free(rt);
}

TEST(SseJsonEx, ParseFailuresCarryStreamPositions) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    ASSERT_EQ(tamsel_json_value_enable_parse_capture(&v, nullptr), TAMSEL_STATUS_OK);
    // Offsets: the mark 0-2, line 1 ": c" 3-5 and CR LF; line 2 "data:[1," 8-15, CR LF; line 3
    // "data: 2 x]" 18-27 (the x at 26), CR LF; line 4 empty 30-31; line 5 "data: \"ab" 32-40,
    // LF 41; line 6 "data: c\"" 42-49, LF 50; line 7 empty 51; line 8 "data:{\"a\"" 52-60.
    const std::string text = "\xEF\xBB\xBF: c\r\ndata:[1,\r\ndata: 2 x]\r\n\r\n"
                             "data: \"ab\ndata: c\"\n\ndata:{\"a\"";
    const std::string want = "!2 expected ',' or ']' in array 3:9:27\n"         // the x
                             "!2 control character in string literal 5:10:42\n" // line 5's LF
                             "!2 incomplete JSON document 8:9:61\n";            // the last byte
    // A call reports its first failure: the events go in calls of their own, cut once more
    // anywhere.
    auto run_value = [&](std::vector<size_t> cuts) {
        cuts.insert(cuts.end(), {32, 52});
        std::sort(cuts.begin(), cuts.end());
        std::string out;
        tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
        tamsel_error e;
        auto note = [&](tamsel_status st) {
            if (st != TAMSEL_STATUS_OK)
                out += "!" + std::to_string(st) + " " + e.message + " " + std::to_string(e.line) +
                       ":" + std::to_string(e.column) + ":" + std::to_string(e.offset) + "\n";
        };
        size_t at = 0;
        for (size_t c : cuts) {
            note(tamsel_sse_push_json_value_ex(rt, s, &v, text.data() + at, c - at, nullptr,
                                               nullptr, &e));
            at = c;
        }
        note(tamsel_sse_push_json_value_ex(rt, s, &v, text.data() + at, text.size() - at, nullptr,
                                           nullptr, &e));
        note(tamsel_sse_finish_json_value_ex(rt, s, &v, nullptr, nullptr, &e));
        tamsel_sse_close(s);
        return out;
    };
    EXPECT_EQ(run_value({}), want);
    for (size_t i = 0; i <= text.size(); ++i)
        ASSERT_EQ(run_value({i}), want) << "cut at " << i;
    EXPECT_EQ(run_value(every_byte(text.size())), want);
    tamsel_json_value_cleanup(&v);
    tamsel_free(rt);
}

TEST(SseJsonEx, AllocationFailureAtEveryIndex) {
    // The held marker line takes a buffer of its own.
    const std::string text = "event: add\ndata: [DONE]\ndata: {\"n\":1}\n\nevent: add\n"
                             "data: {\"n\":2,\"text\":\"" +
                             std::string(100, 'y') + "\"}\n\ndata: [DONE]\n\n";
    const size_t runs = tamsel_test::expect_allocation_failures_clean([&](counting_allocator &a) {
        counted_sse c(a);
        tamsel_status st = c.st;
        log l;
        const tamsel_sse_json_handlers h{on_record, nullptr, callbacks(), "[DONE]", &l};
        // The first event fails on its held line ('[' cannot start a record) and is dropped.
        for (size_t i = 0; c.s && i < text.size() && st == TAMSEL_STATUS_OK; i += 16) {
            st =
                tamsel_sse_push_json_ex(c.rt, c.s, msg_map(), &c.m, text.data() + i,
                                        std::min<size_t>(16, text.size() - i), &add_only, &h, &c.e);
            if (st == TAMSEL_STATUS_TYPE_MISMATCH) st = TAMSEL_STATUS_OK;
        }
        if (c.s && st == TAMSEL_STATUS_OK)
            st = tamsel_sse_finish_json_ex(c.rt, c.s, msg_map(), &c.m, &add_only, &h, &c.e);
        if (st == TAMSEL_STATUS_OK) {
            EXPECT_EQ(tamsel_sse_ended(c.s), TAMSEL_SSE_ENDED_AT_MARKER);
        }
        return st;
    });
    EXPECT_GE(runs, 4u);
}

} // namespace

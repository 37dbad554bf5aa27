// The SSE parser's plain family: the event-stream format's rules, split invariance, limits at
// their boundaries, what an error does to the event it happens in, call order, and allocation
// failure at every index.
#include "sse_support.hpp"
#include "support/counting_allocator.hpp"

using namespace sse_test;

namespace {

const char *const samples[] = {
    "data: a\r\ndata: b\r\n\r\n",
    "event: add\nid: 7\nretry: 3000\ndata: {\"x\":1}\n\n: keep-alive\n\ndata: two\n\n",
    "data:a\rdata: b\r\rdata\n\nid\n\n",
    "\xEF\xBB\xBF"
    "data: bom\n\nevent: e\r\ndata:  two spaces\r\n\r\ndata: last",
    "data: x\n\ndata: y\r\n\r\nunknown: z\ndata\n\n",
};

TEST(SseSplit, EverySplitPointGivesTheSameEvents) {
    for (const char *sample : samples) {
        const std::string text = sample;
        const std::string expected = whole(text);
        EXPECT_EQ(run(text, every_byte(text.size())), expected) << text;
        for (size_t i = 0; i <= text.size(); ++i)
            EXPECT_EQ(run(text, {i}), expected) << text << " cut at " << i;
        for (size_t i = 0; i < text.size(); ++i)
            for (size_t j = i; j <= text.size(); j += 3)
                ASSERT_EQ(run(text, {i, j}), expected) << text << " cut at " << i << "," << j;
    }
}

TEST(SseSplit, LongLinesEndAtTheirTerminatorWhereverItLies) {
    // Lines past the 64 bytes looked at inline and past the 1 KiB search window, their
    // terminator at either edge; CR alone, LF and CR LF, at every single cut.
    for (const std::string end : {"\n", "\r\n", "\r"}) {
        std::string text, expected;
        for (size_t len : {size_t{63}, size_t{64}, size_t{65}, size_t{1087}, size_t{1088},
                           size_t{1089}, size_t{2200}}) {
            const std::string value(len - 6, static_cast<char>('a' + len % 26));
            text += "data: " + value + end + end;
            expected +=
                "B[|(null)|0]<" + value + ">E[|(null)|" + std::to_string(value.size()) + "]\n";
        }
        ASSERT_EQ(whole(text), expected);
        for (size_t i = 0; i <= text.size(); i += 1 + i % 3)
            ASSERT_EQ(run(text, {i}), expected) << "cut at " << i;
    }
}

TEST(SseFormat, LineEndingsCommentsAndFields) {
    struct row {
        const char *in, *want;
    } rows[] = {
        // LF, CR, CR LF and mixtures, the two data lines joined with one LF.
        {"data: a\ndata: b\n\n", "B[|(null)|0]<a><\n><b>E[|(null)|3]\n"},
        {"data: a\rdata: b\r\r", "B[|(null)|0]<a><\n><b>E[|(null)|3]\n"},
        {"data: a\r\ndata: b\r\n\r\n", "B[|(null)|0]<a><\n><b>E[|(null)|3]\n"},
        {"data: a\rdata: b\r\n\n", "B[|(null)|0]<a><\n><b>E[|(null)|3]\n"},
        {"data: a\n\r\n\rdata: b\r\n\n",
         "B[|(null)|0]<a>E[|(null)|1]\nB[|(null)|0]<b>E[|(null)|1]\n"},
        // Comments and unknown fields change nothing; names are case-sensitive.
        {": hello\nfoo: bar\nData: x\n\n", ""},
        {":\n\n", ""},
        // Names that share first bytes with the known ones are other names.
        {"dat: x\ndatax: x\nidx: 1\ni: 1\nevents: x\neven: x\nretryx: 5\n\n", ""},
        {"event\n\n", "B[|(null)|0]E[|(null)|0]\n"},
        // A field without a colon has an empty value; one leading space goes, and only one.
        {"data\n\n", "B[|(null)|0]E[|(null)|0]\n"},
        {"data:  x\n\n", "B[|(null)|0]< x>E[|(null)|2]\n"},
        {"data:x\n\n", "B[|(null)|0]<x>E[|(null)|1]\n"},
        {"data: \ndata: \n\n", "B[|(null)|0]<\n>E[|(null)|1]\n"},
        // An event with no data still dispatches; the id and name are per event.
        {"event: ping\n\ndata: x\n\n",
         "B[ping|(null)|0]E[ping|(null)|0]\nB[|(null)|0]<x>E[|(null)|1]\n"},
        {"id: 1\ndata: x\n\ndata: y\n\n", "B[|1|0]<x>E[|1|1]\nB[||0]<y>E[||1]\n"},
        {"id\n\n", "B[||0]E[||0]\n"},
        // retry: digits only, within 64 bits.
        {"retry: 3000\n\n", "B[|(null)|0|r3000]E[|(null)|0|r3000]\n"},
        {"retry: 30x0\n\n", ""},
        {"retry:\n\nretry: -1\n\nretry:  1\n\n", ""},
        {"retry: 18446744073709551615\n\n",
         "B[|(null)|0|r18446744073709551615]E[|(null)|0|r18446744073709551615]\n"},
        {"retry: 18446744073709551616\n\n", ""},
        // A final event without its empty line is dispatched at finish.
        {"data: end", "B[|(null)|0]<end>E[|(null)|3]\n"},
        {"data: end\r", "B[|(null)|0]<end>E[|(null)|3]\n"},
        // A byte order mark is skipped at the start only; a partial one is text.
        {"\xEF\xBB\xBF"
         "data: x\n\n",
         "B[|(null)|0]<x>E[|(null)|1]\n"},
        {"data: \xEF\xBB\xBFx\n\n", "B[|(null)|0]<\xEF\xBB\xBFx>E[|(null)|4]\n"},
        {"\xEF\xBB"
         "data: x\n\n",
         ""},
        {"\xEF\xBB\xBF\xEF\xBB\xBF"
         "data: x\n\n",
         ""},
    };
    for (const row &r : rows)
        EXPECT_EQ(whole(r.in), r.want) << r.in;
    // An id holding a NUL byte is ignored; NUL bytes inside data are data.
    EXPECT_EQ(whole(std::string("id: a\0b\n\n", 9)), "");
    EXPECT_EQ(whole(std::string("data: a\0b\n\n", 11)),
              std::string("B[|(null)|0]<a\0b>E[|(null)|3]\n", 30));
}

// Short ids and names are looked at a word at a time: a NUL byte or a changed byte is seen at
// every place of every length around the word sizes.
TEST(SseFormat, IdsAndNamesOfEveryShortLength) {
    for (size_t n = 1; n <= 20; ++n)
        for (size_t at = 0; at < n; ++at) {
            const std::string value(n, 'a');
            std::string nul = value, other = value;
            nul[at] = '\0';
            other[at] = 'b';
            const std::string in = "id: " + value + "\nevent: " + value + "\n\nid: " + nul +
                                   "\nevent: " + other + "\n\nevent: " + value + "\n\n";
            const std::string want = "B[" + value + "|" + value + "|0]E[" + value + "|" + value +
                                     "|0]\nB[" + other + "||0]E[" + other + "||0]\nB[" + value +
                                     "||0]E[" + value + "||0]\n";
            EXPECT_EQ(whole(in), want) << n << " " << at;
        }
}

TEST(SseFormat, AnEventEndedByCrIsReportedWithoutWaitingForTheNextByte) {
    log l;
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    ASSERT_EQ(tamsel_sse_push(s, "data: x\r\r", 9, callbacks(), &l, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(l.text, "B[|(null)|0]<x>E[|(null)|1]\n");
    // The LF of a CR LF split across pushes is not another line.
    ASSERT_EQ(tamsel_sse_push(s, "data: y\r", 8, callbacks(), &l, nullptr), TAMSEL_STATUS_OK);
    ASSERT_EQ(tamsel_sse_push(s, "\n\r", 2, callbacks(), &l, nullptr), TAMSEL_STATUS_OK);
    EXPECT_EQ(l.text, "B[|(null)|0]<x>E[|(null)|1]\nB[|(null)|0]<y>E[|(null)|1]\n");
    tamsel_sse_close(s);
}

TEST(SseLimits, LinesDataAndFieldsAtTheirBoundaries) {
    tamsel_sse_options o = tamsel_default_sse_options();
    o.max_line_bytes = 10;
    o.max_event_data_bytes = 5;
    o.max_field_bytes = 3;
    // A 10-byte line passes, 11 bytes fail; the rest of the long line and its event go.
    EXPECT_EQ(whole("data: abcd\n\n", &o), "B[|(null)|0]<abcd>E[|(null)|4]\n");
    const std::string too_long = "event: e\ndata: abcde and more\ndata: x\n\ndata: ok\n\n";
    const std::string want = "B[|(null)|0]<ok>E[|(null)|2]\n!6 framing buffer limit exceeded\n";
    EXPECT_EQ(whole(too_long, &o), want);
    EXPECT_EQ(run(too_long, every_byte(too_long.size()), &o), want);
    // Data: 5 bytes with the joining line break counted pass, 6 fail.
    EXPECT_EQ(whole("data: ab\ndata: cd\n\n", &o), "B[|(null)|0]<ab><\n><cd>E[|(null)|5]\n");
    EXPECT_EQ(whole("data: ab\ndata: cde\n\ndata: z\n\n", &o),
              "B[|(null)|0]<ab>B[|(null)|0]<z>E[|(null)|1]\n"
              "!6 SSE event data exceeds configured limit\n");
    // Fields: 3 bytes pass, 4 fail.
    EXPECT_EQ(whole("event: abc\nid: xyz\n\n", &o), "B[abc|xyz|0]E[abc|xyz|0]\n");
    EXPECT_EQ(whole("id: wxyz\n\n", &o), "!6 framing buffer limit exceeded\n");
}

TEST(SseErrors, AFailedEventIsDroppedUpToItsEmptyLine) {
    // A failing data_chunk: no end_event; the event's later lines are dropped, even when they
    // come in later pushes; the next event is whole.
    log l;
    l.fail_chunk = 1;
    tamsel_error e;
    tamsel_sse *s = tamsel_sse_open(nullptr, nullptr);
    const std::string first = "data: a\ndata: b\ndata: c\n";
    EXPECT_EQ(tamsel_sse_push(s, first.data(), first.size(), callbacks(), &l, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "SSE data_chunk callback failed");
    const std::string rest = "data: d\n\nid: 2\ndata: next\n\n";
    EXPECT_EQ(tamsel_sse_push(s, rest.data(), rest.size(), callbacks(), &l, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_sse_finish(s, callbacks(), &l, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(l.text, "B[|(null)|0]<a>B[|2|0]<next>E[|2|4]\n");
    tamsel_sse_close(s);

    // A callback's own status is returned; a failing end_event drops only its event.
    struct own {
        static int begin(void *, const tamsel_sse_event *, tamsel_error *err) {
            err->code = TAMSEL_STATUS_IO_ERROR;
            return 1;
        }
    };
    tamsel_sse_callbacks cb{own::begin, nullptr, nullptr};
    s = tamsel_sse_open(nullptr, nullptr);
    EXPECT_EQ(tamsel_sse_push(s, "data: x\n\n", 9, &cb, nullptr, &e), TAMSEL_STATUS_IO_ERROR);
    tamsel_sse_close(s);
    log m;
    m.fail_end = 0;
    s = tamsel_sse_open(nullptr, nullptr);
    EXPECT_EQ(tamsel_sse_push(s, "data: x\n\n", 9, callbacks(), &m, &e),
              TAMSEL_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(e.message, "SSE end_event callback failed");
    EXPECT_EQ(tamsel_sse_push(s, "data: y\n\n", 9, callbacks(), &m, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(m.text, "B[|(null)|0]<x>B[|(null)|0]<y>E[|(null)|1]\n");
    tamsel_sse_close(s);
}

TEST(SseCalls, ArgumentsAndOrder) {
    tamsel_error e;
    EXPECT_EQ(tamsel_sse_push(nullptr, "x", 1, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE parser and bytes are required");
    EXPECT_EQ(tamsel_sse_finish(nullptr, nullptr, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE parser is required");
    tamsel_allocator partial{};
    partial.malloc = [](void *, size_t n) { return std::malloc(n); };
    tamsel_sse_options o = tamsel_default_sse_options();
    o.allocator = &partial;
    EXPECT_EQ(tamsel_sse_open(&o, &e), nullptr);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");

    tamsel_sse *s = tamsel_sse_open(nullptr, &e);
    EXPECT_EQ(tamsel_sse_push(s, nullptr, 1, nullptr, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(tamsel_sse_push(s, nullptr, 0, nullptr, nullptr, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_sse_push(s, "data: x", 7, nullptr, nullptr, &e), TAMSEL_STATUS_OK);
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    int dst = 0;
    static const tamsel_map empty = {"empty", sizeof(int), nullptr, 0, nullptr, nullptr};
    EXPECT_EQ(tamsel_sse_push_json(rt, s, &empty, &dst, "\n", 1, nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE parser is used by the other family of entry points");
    log l;
    EXPECT_EQ(tamsel_sse_finish(s, callbacks(), &l, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(l.text, "B[|(null)|0]<x>E[|(null)|1]\n");
    EXPECT_EQ(tamsel_sse_finish(s, callbacks(), &l, &e), TAMSEL_STATUS_OK);
    EXPECT_EQ(tamsel_sse_push(s, "\n", 1, nullptr, nullptr, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "SSE parser is already finished");
    EXPECT_EQ(l.text, "B[|(null)|0]<x>E[|(null)|1]\n");
    tamsel_sse_close(s);
    tamsel_sse_close(nullptr);
    tamsel_free(rt);
}

TEST(SseFaults, AllocationFailureAtEveryIndex) {
    const std::string text = "event: a long enough event name to grow a buffer\nid: 1\n"
                             "data: " +
                             std::string(300, 'x') + "\n\n";
    const std::string expected = whole(text);
    const size_t runs =
        tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
            tamsel_sse_options o = tamsel_default_sse_options();
            o.allocator = a.get();
            tamsel_error e;
            tamsel_sse *s = tamsel_sse_open(&o, &e);
            if (!s) return e.code;
            log l;
            tamsel_status st = TAMSEL_STATUS_OK;
            for (size_t i = 0; i < text.size() && st == TAMSEL_STATUS_OK; i += 7)
                st = tamsel_sse_push(s, text.data() + i, std::min<size_t>(7, text.size() - i),
                                     callbacks(), &l, &e);
            if (st == TAMSEL_STATUS_OK) st = tamsel_sse_finish(s, callbacks(), &l, &e);
            if (st == TAMSEL_STATUS_OK) {
                EXPECT_EQ(l.text, expected);
            }
            tamsel_sse_close(s);
            EXPECT_EQ(a.stats.current_bytes, 0u);
            return st;
        });
    EXPECT_GE(runs, 4u); // the parser and its line, name and id buffers
}

} // namespace

// A callback that calls into its own parser is refused; one that closes it stops the call,
// which frees the parser once it returns (both families).
TEST(SseCalls, FromItsOwnCallbacks) {
    struct ctx {
        tamsel_sse *s;
        std::string log;
    };
    tamsel_sse_callbacks cb{};
    cb.end_event = [](void *user, const tamsel_sse_event *ev, tamsel_error *) {
        auto *c = static_cast<ctx *>(user);
        tamsel_error e;
        c->log += std::string(ev->event) + ":" +
                  std::to_string(tamsel_sse_push(c->s, "x", 1, nullptr, nullptr, &e)) + " " +
                  e.message + ";";
        if (ev->event[0] == 'b') tamsel_sse_close(c->s);
        return 0;
    };
    const std::string text = "event: a\ndata: 1\n\nevent: b\ndata: 2\n\nevent: c\ndata: 3\n\n";
    ctx c{tamsel_sse_open(nullptr, nullptr), ""};
    EXPECT_EQ(tamsel_sse_push(c.s, text.data(), text.size(), &cb, &c, nullptr), 0);
    EXPECT_EQ(c.log, "a:1 SSE parser called from its own callback;b:1 SSE parser called from its "
                     "own callback;");

    struct one {
        int64_t n;
    };
    static const tamsel_field f[] = {TAMSEL_MEMBER_I64(one, n, 0)};
    static const tamsel_map m = {"one", sizeof(one), f, 1, &m, nullptr};
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    one o{};
    ctx j{tamsel_sse_open(nullptr, nullptr), ""};
    const std::string events = "data: {\"n\":1}\n\ndata: {\"n\":2}\n\n";
    EXPECT_EQ(tamsel_sse_push_json(
                  rt, j.s, &m, &o, events.data(), events.size(), nullptr,
                  [](void *user, const tamsel_sse_event *, void *dst, tamsel_error *) {
                      auto *c = static_cast<ctx *>(user);
                      c->log += std::to_string(static_cast<one *>(dst)->n) + ",";
                      tamsel_sse_close(c->s);
                      return 0;
                  },
                  &j, nullptr),
              0);
    EXPECT_EQ(j.log, "1,");
    tamsel_free(rt);
}

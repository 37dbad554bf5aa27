#include "multipart_support.hpp"
#include "support/counting_allocator.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using mp_test::outcome;
using mp_test::parse;

namespace {

const std::string kType = "multipart/form-data; boundary=XyZ";

// Every chunking of `body` must give what the whole body gives.
void expect_split_invariant(const std::string &type, const std::string &body,
                            const tamsel_multipart_options *options = nullptr) {
    const outcome whole = parse(type, body, {}, options);
    if (body.size() <= 600) {
        for (size_t cut = 1; cut < body.size(); ++cut)
            ASSERT_EQ(parse(type, body, {cut}, options), whole) << "cut at " << cut;
    }
    std::vector<size_t> bytes;
    for (size_t i = 1; i < body.size(); ++i)
        bytes.push_back(i);
    ASSERT_EQ(parse(type, body, bytes, options), whole) << "one byte at a time";
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += 1 + rng() % 97;
            if (at >= body.size()) break;
            cuts.push_back(at);
        }
        ASSERT_EQ(parse(type, body, cuts, options), whole) << "random round " << round;
    }
}

const std::vector<std::string> &sample_bodies() {
    static const std::vector<std::string> bodies = {
        // a form with a field, a file, an empty part, binary-looking data and an epilogue
        "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nhello\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n\r\n--XyZx\r\n-\r\n--Xy\r\r\n\n--"
        "\r\n--XyZ\r\n\r\n\r\n--XyZ--\r\nepilogue\r\n",
        // LF-only line breaks, a body that is one line break, empty parts back to back
        "\n\n--XyZ\nA: 1\n\n\n\n--XyZ\n\n--XyZ\n\n--XyZ--\n",
        // Content-Length parts: data that looks like a boundary is taken by length
        "--XyZ\r\nContent-Length: 13\r\n\r\n\r\n--XyZ--\r\nab\r\n--XyZ\r\nContent-Length: 0\r\n\r\n"
        "\r\n--XyZ\r\n\r\n--XyZ-\r\n--XyZ-x\r\n--XyZ--\r\n",
        // errors: a bad header line, the 2nd part's headers
        "--XyZ\r\n\r\nx\r\n--XyZ\r\nno colon here\r\n\r\n",
        // CR-only header line breaks, a lone CR before the last boundary line
        "--XyZ\rA: 1\r\r\rbody\r\r\n--XyZ--\r\n",
        // errors: a CR-ended header line, decided by the byte after the CR
        "--XyZ\rA: 1\rno colon\rB: 2\r\r",
    };
    return bodies;
}

} // namespace

TEST(MultipartOpen, BoundaryComesFromTheContentTypeValue) {
    struct row {
        const char *type;
        tamsel_status status;
        const char *message;
    };
    const row rows[] = {
        {"multipart/form-data; charset=\"x;y\"; BOUNDARY = \"a b;c\" ; x=1", TAMSEL_STATUS_OK, ""},
        {"multipart/mixed;boundary=a\tb", TAMSEL_STATUS_OK, ""},
        {"multipart/mixed; boundaryx=a; xboundary=b", TAMSEL_STATUS_INVALID_ARGUMENT,
         "multipart Content-Type missing boundary"},
        {"multipart/mixed; boundary=", TAMSEL_STATUS_INVALID_ARGUMENT,
         "multipart boundary is invalid"},
        {"multipart/mixed; boundary=\"a\nb\"", TAMSEL_STATUS_INVALID_ARGUMENT,
         "multipart boundary is invalid"},
        {"multipart/mixed; boundary=\"abc", TAMSEL_STATUS_INVALID_ARGUMENT,
         "multipart boundary quote is unterminated"},
    };
    for (const row &r : rows) {
        tamsel_error e;
        tamsel_multipart *p = tamsel_multipart_open(r.type, nullptr, &e);
        EXPECT_EQ(e.code, r.status) << r.type;
        EXPECT_STREQ(e.message, r.message) << r.type;
        EXPECT_EQ(p != nullptr, r.status == TAMSEL_STATUS_OK);
        tamsel_multipart_close(p);
    }
    // The quoted boundary is taken as it stands, spaces and ';' included.
    EXPECT_EQ(parse(rows[0].type, "--a b;c\r\n\r\nx\r\n--a b;c--\r\n").events,
              "B[no-name;len=-1]DxE[no-name;len=-1]");
    EXPECT_EQ(parse("multipart/mixed;boundary=a\tb", "--a\r\n\r\n--a--\r\n").status, 0);

    tamsel_error e;
    EXPECT_EQ(tamsel_multipart_open(nullptr, nullptr, &e), nullptr);
    EXPECT_STREQ(e.message, "multipart Content-Type is required");
    tamsel_allocator partial{};
    partial.malloc = [](void *, size_t n) { return std::malloc(n); };
    tamsel_multipart_options o = tamsel_default_multipart_options();
    o.allocator = &partial;
    EXPECT_EQ(tamsel_multipart_open(kType.c_str(), &o, &e), nullptr);
    EXPECT_STREQ(e.message, "allocator must provide either all callbacks or none");
}

TEST(MultipartOpen, BoundaryLengthLimitIsInclusive) {
    tamsel_multipart_options o = tamsel_default_multipart_options();
    EXPECT_EQ(o.max_boundary_bytes, 200u);
    EXPECT_EQ(o.max_line_bytes, 65536u);
    EXPECT_EQ(o.max_header_count, 64u);
    EXPECT_EQ(o.max_body_buffer_bytes, 1048576u);
    const std::string b200(200, 'b');
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(("m/x; boundary=" + b200).c_str(), nullptr, &e);
    EXPECT_NE(p, nullptr);
    tamsel_multipart_close(p);
    EXPECT_EQ(tamsel_multipart_open(("m/x; boundary=" + b200 + "b").c_str(), nullptr, &e), nullptr);
    EXPECT_EQ(e.code, TAMSEL_STATUS_OVERFLOW);
    EXPECT_STREQ(e.message, "multipart boundary length limit exceeded");
}

TEST(MultipartParts, HeadersNamesFileNamesAndData) {
    const outcome o = parse(kType, sample_bodies()[0]);
    ASSERT_EQ(o.status, TAMSEL_STATUS_OK) << o.message;
    EXPECT_EQ(
        o.events,
        "B[name=title;len=-1;Content-Disposition=form-data; name=\"title\"]DhelloE[name=title;"
        "len=-1;Content-Disposition=form-data; name=\"title\"]"
        "B[name=f;file=a.bin;type=application/octet-stream;len=-1;Content-Disposition=form-"
        "data; name=\"f\"; filename=\"a.bin\";Content-Type=application/octet-stream]"
        "D\r\n--XyZx\r\n-\r\n--Xy\r\r\n\n--E[name=f;file=a.bin;type=application/octet-"
        "stream;len=-1;Content-Disposition=form-data; name=\"f\"; filename=\"a.bin\";"
        "Content-Type=application/octet-stream]"
        "B[no-name;len=-1]DE[no-name;len=-1]");
    // Quoted parameters take the character after a backslash; later parameters replace; a
    // header value loses its surrounding blanks, its name is kept as sent.
    EXPECT_EQ(parse(kType, "--XyZ\r\ncontent-DISPOSITION:  form-data; name=x; NAME = \"a\\\"b\\\\\""
                           " junk ; FileName=f.txt\t \r\n\r\n--XyZ--\r\n")
                  .events,
              "B[name=a\"b\\;file=f.txt;len=-1;content-DISPOSITION=form-data; name=x; NAME = "
              "\"a\\\"b\\\\\" junk ; FileName=f.txt]DE[name=a\"b\\;file=f.txt;len=-1;content-"
              "DISPOSITION=form-data; name=x; NAME = \"a\\\"b\\\\\" junk ; FileName=f.txt]");
    EXPECT_EQ(parse(kType, "--XyZ\r\nContent-Disposition: form-data; name=\"ab\r\n").message,
              "multipart Content-Disposition name invalid");
}

TEST(MultipartParts, AnEmptyBodyBeforeTheNextBoundaryIsItsOwnPart) {
    // Formerly the delimiter at the very start of a body went out as data and the two parts
    // were merged.
    const outcome o = parse("m/x; boundary=b", "--b\r\n\r\n--b\r\nX: 1\r\n\r\nhi\r\n--b--\r\n");
    ASSERT_EQ(o.status, TAMSEL_STATUS_OK);
    EXPECT_EQ(o.events, "B[no-name;len=-1]DE[no-name;len=-1]B[no-name;len=-1;X=1]DhiE[no-name;"
                        "len=-1;X=1]");
    EXPECT_EQ(parse("m/x; boundary=b", "--b\r\n\r\n--b--\r\n").events,
              "B[no-name;len=-1]DE[no-name;len=-1]");
}

TEST(MultipartParts, ContentLengthPartsAreReadByLength) {
    const outcome o = parse(kType, sample_bodies()[2]);
    ASSERT_EQ(o.status, TAMSEL_STATUS_OK) << o.message;
    EXPECT_EQ(o.events, "B[no-name;len=13;Content-Length=13]D\r\n--XyZ--\r\nabE[no-name;len=13;"
                        "Content-Length=13]B[no-name;len=0;Content-Length=0]DE[no-name;len=0;"
                        "Content-Length=0]B[no-name;len=-1]D--XyZ-\r\n--XyZ-xE[no-name;len=-1]");
    for (const char *bad : {"", "1x", "-1", "+1", "1 2"})
        EXPECT_EQ(parse(kType, std::string("--XyZ\r\nContent-Length: ") + bad + "\r\n").message,
                  "multipart Content-Length is invalid")
            << bad;
    EXPECT_EQ(parse(kType, "--XyZ\r\nContent-Length: 9223372036854775807\r\n\r\nab").message,
              "multipart stream ended before closing boundary");
    const outcome big = parse(kType, "--XyZ\r\nContent-Length: 9223372036854775808\r\n");
    EXPECT_EQ(big.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(big.message, "multipart Content-Length exceeds supported range");
}

TEST(MultipartParts, DataArrivesInRunsNotBytes) {
    std::string data;
    for (int i = 0; i < 20000; ++i)
        data += "line " + std::to_string(i) + (i % 3 ? "\r\n" : "\n-") + (i % 7 ? "" : "--XyZ ");
    const outcome o = parse(kType, "--XyZ\r\n\r\n" + data + "\r\n--XyZ--\r\n");
    ASSERT_EQ(o.status, TAMSEL_STATUS_OK);
    EXPECT_EQ(o.events, "B[no-name;len=-1]D" + data + "E[no-name;len=-1]");
    EXPECT_EQ(o.data_calls, 1u) << "one push, one part: one call";
    std::vector<size_t> cuts;
    for (size_t at = 4096; at < data.size(); at += 4096)
        cuts.push_back(at);
    EXPECT_LE(parse(kType, "--XyZ\r\n\r\n" + data + "\r\n--XyZ--\r\n", cuts).data_calls,
              2 * cuts.size() + 2);
}

TEST(MultipartParts, EpilogueIsIgnoredInAnyLaterPush) {
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(kType.c_str(), nullptr, &e);
    ASSERT_NE(p, nullptr);
    const std::string body = "--XyZ--\r\n";
    EXPECT_EQ(tamsel_multipart_push(p, body.data(), body.size(), nullptr, nullptr, &e), 0);
    EXPECT_EQ(tamsel_multipart_push(p, "--XyZ\r\nno colon\r\n", 17, nullptr, nullptr, &e), 0);
    EXPECT_EQ(tamsel_multipart_finish(p, nullptr, nullptr, &e), 0);
    EXPECT_EQ(tamsel_multipart_finish(p, nullptr, nullptr, &e), 0);
    EXPECT_EQ(tamsel_multipart_push(p, "x", 1, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "multipart parser is already finished");
    EXPECT_EQ(tamsel_multipart_push(p, nullptr, 0, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    tamsel_multipart_close(p);
    EXPECT_EQ(tamsel_multipart_push(nullptr, "x", 1, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "multipart parser and bytes are required");
    EXPECT_EQ(tamsel_multipart_finish(nullptr, nullptr, nullptr, &e),
              TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "multipart parser is required");
}

TEST(MultipartErrors, RestrictionsAndMalformedBodies) {
    struct row {
        std::string body;
        tamsel_status status;
        const char *message;
        size_t offset;
    };
    const row rows[] = {
        {"preamble\r\n--XyZ\r\n", TAMSEL_STATUS_INVALID_JSON, "unexpected multipart boundary line",
         10},
        {"--XyZ \r\n", TAMSEL_STATUS_INVALID_JSON, "unexpected multipart boundary line", 8},
        {"--XyZ\r\n\r\nx\r\n--XyZ \r\n\r\n--XyZ-- \r\n", TAMSEL_STATUS_INVALID_JSON,
         "multipart stream ended before closing boundary", 0},
        {"--XyZ\r\n\r\nx\r\n--XyZ--", TAMSEL_STATUS_INVALID_JSON,
         "multipart stream ended before closing boundary", 0},
        {"--XyZ\r\nContent-Length: 1\r\n\r\nxy\r\n--XyZ--\r\n", TAMSEL_STATUS_INVALID_JSON,
         "unexpected multipart boundary line", 32},
        {"--XyZ\r\n\r\nx\r\n--XyZ\r\nno colon here\r\n\r\n", TAMSEL_STATUS_INVALID_JSON,
         "invalid multipart header line", 34},
        {"--XyZ\r\nA: 1\r\n folded\r\n", TAMSEL_STATUS_INVALID_JSON,
         "invalid multipart header line", 22},
        {"--XyZ\rA: 1\rno colon\rB: 2\r\r", TAMSEL_STATUS_INVALID_JSON,
         "invalid multipart header line", 21},
        {"", TAMSEL_STATUS_INVALID_JSON, "multipart stream ended before closing boundary", 0},
    };
    for (const row &r : rows) {
        const outcome o = parse(kType, r.body);
        EXPECT_EQ(o.status, r.status) << r.body;
        EXPECT_EQ(o.message, r.message) << r.body;
        EXPECT_EQ(o.offset, r.offset) << r.body;
    }
}

TEST(MultipartErrors, CallbackFailuresStopThePush) {
    const std::string body = "--XyZ\r\n\r\nabc\r\n--XyZ--\r\n";
    const char *messages[] = {"multipart begin_part callback failed",
                              "multipart part_data callback failed",
                              "multipart end_part callback failed"};
    for (int which = 0; which < 3; ++which) {
        for (tamsel_status code : {TAMSEL_STATUS_OK, TAMSEL_STATUS_IO_ERROR}) {
            mp_test::recorder r;
            (which == 0 ? r.fail_begin : which == 1 ? r.fail_data : r.fail_end) = 1;
            r.fail_code = code;
            const tamsel_multipart_callbacks cb = mp_test::recorder::callbacks();
            tamsel_error e;
            tamsel_multipart *p = tamsel_multipart_open(kType.c_str(), nullptr, &e);
            const tamsel_status st =
                tamsel_multipart_push(p, body.data(), body.size(), &cb, &r, &e);
            if (code) {
                EXPECT_EQ(st, code);
            } else {
                EXPECT_EQ(st, TAMSEL_STATUS_CALLBACK_FAILED);
                EXPECT_STREQ(e.message, messages[which]);
            }
            tamsel_multipart_close(p);
        }
    }
}

TEST(MultipartLimits, LinesHeadersAndLookBehindAtTheirBoundaries) {
    tamsel_multipart_options o = tamsel_default_multipart_options();
    o.max_line_bytes = 10;
    EXPECT_EQ(parse(kType, "--XyZ\r\nA: 3456789\r\n\r\n--XyZ--\r\n", {}, &o).status, 0);
    const outcome long_line = parse(kType, "--XyZ\r\nA: 34567890\r\n", {}, &o);
    EXPECT_EQ(long_line.message, "framing buffer limit exceeded");
    EXPECT_EQ(long_line.offset, 18u) << "the eleventh byte of the line";
    expect_split_invariant(kType, "--XyZ\r\nA: 34567890\r\n", &o);

    std::string headers;
    for (int i = 0; i < 64; ++i)
        headers += "H" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(parse(kType, "--XyZ\r\n" + headers + "\r\n--XyZ--\r\n").status, 0);
    const outcome many = parse(kType, "--XyZ\r\n" + headers + "H: v\r\n");
    EXPECT_EQ(many.status, TAMSEL_STATUS_OVERFLOW);
    EXPECT_EQ(many.message, "multipart header count limit exceeded");

    // Boundary "b": the longest look-behind is CR LF "--b--" CR and the LF that decides it.
    const std::string body = "--b\r\n\r\nx\r\r\n-\r\n--b-\r\n--b\r\n\r\n\r\n--b--\r\n";
    for (size_t limit : {9, 8, 3, 2, 1}) {
        o = tamsel_default_multipart_options();
        o.max_body_buffer_bytes = limit;
        const outcome r = parse("m/x; boundary=b", body, {}, &o);
        EXPECT_EQ(r.status, limit >= 9 ? TAMSEL_STATUS_OK : TAMSEL_STATUS_OVERFLOW) << limit;
        if (r.status) {
            EXPECT_EQ(r.message, "framing buffer limit exceeded");
        }
        expect_split_invariant("m/x; boundary=b", body, &o);
    }
}

TEST(MultipartSplit, EverySampleGivesTheSameCallbacksWhateverTheChunking) {
    for (const std::string &body : sample_bodies())
        expect_split_invariant(kType, body);
    // A large body: random chunkings only.
    std::mt19937 rng(3);
    std::string big = "--XyZ\r\n\r\n";
    for (int i = 0; i < 200000; ++i) {
        const unsigned r = rng() % 64;
        big += r == 0 ? std::string("\r\n--XyZ-") : r == 1 ? "\n--Xy" : std::string(1, char(rng()));
    }
    big += "\r\n--XyZ--\r\n";
    const outcome whole = parse(kType, big);
    ASSERT_EQ(whole.status, 0);
    for (int round = 0; round < 5; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += 1 + rng() % 5000;
            if (at >= big.size()) break;
            cuts.push_back(at);
        }
        EXPECT_EQ(parse(kType, big, cuts), whole);
    }
}

TEST(MultipartAllocation, FailureAtEveryIndexIsCleanAndReported) {
    const std::string body = sample_bodies()[0] + "";
    for (bool split : {false, true}) {
        const size_t runs =
            tamsel_test::expect_allocation_failures_clean([&](tamsel_test::counting_allocator &a) {
                tamsel_multipart_options o = tamsel_default_multipart_options();
                o.allocator = a.get();
                tamsel_error e;
                tamsel_multipart *p = tamsel_multipart_open(kType.c_str(), &o, &e);
                if (!p) return e.code;
                tamsel_status st = TAMSEL_STATUS_OK;
                for (size_t at = 0; at < body.size() && st == 0; at += split ? 3 : body.size())
                    st = tamsel_multipart_push(p, body.data() + at,
                                               std::min(body.size() - at, split ? 3 : body.size()),
                                               nullptr, nullptr, &e);
                if (st == 0) st = tamsel_multipart_finish(p, nullptr, nullptr, &e);
                if (st == TAMSEL_STATUS_ALLOCATION_FAILED) {
                    EXPECT_TRUE(std::string(e.message) == "failed to allocate framing buffer" ||
                                std::string(e.message) == "failed to allocate headers" ||
                                std::string(e.message) == "failed to allocate multipart parser")
                        << e.message;
                }
                tamsel_multipart_close(p);
                return st;
            });
        EXPECT_GE(runs, 4u) << "parser, boundary, line, arena, headers";
    }
}

// A callback that pushes into its own parser is refused; one that closes it stops the push,
// which frees the parser once it returns.
TEST(MultipartErrors, CallsFromItsOwnCallbacks) {
    struct ctx {
        tamsel_multipart *p;
        std::string log;
    };
    tamsel_multipart_callbacks cb{};
    cb.end_part = [](void *user, const tamsel_multipart_part *, tamsel_error *) {
        auto *c = static_cast<ctx *>(user);
        tamsel_error e;
        c->log += std::to_string(tamsel_multipart_push(c->p, "x", 1, nullptr, nullptr, &e)) + " " +
                  e.message + ";";
        tamsel_multipart_close(c->p);
        return 0;
    };
    const std::string body = "--XyZ\r\n\r\nabc\r\n--XyZ\r\n\r\ndef\r\n--XyZ--\r\n";
    ctx c{tamsel_multipart_open(kType.c_str(), nullptr, nullptr), ""};
    EXPECT_EQ(tamsel_multipart_push(c.p, body.data(), body.size(), &cb, &c, nullptr), 0);
    EXPECT_EQ(c.log, "1 multipart parser called from its own callback;");
}

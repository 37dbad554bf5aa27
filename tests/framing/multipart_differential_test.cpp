// Generated bodies read by this parser and by Python's email package (through
// multipart_oracle.py) must give the same parts, headers and bytes.
#include "multipart_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "." : out;
}
std::string hex_or_dash(const char *s) {
    return s ? hex(s) : "-";
}

// The oracle's line for one body, from this parser.
struct line_recorder {
    std::string line, data, head;
    static int begin(void *u, const tamsel_multipart_part *p, tamsel_error *) {
        auto *r = static_cast<line_recorder *>(u);
        std::string headers;
        for (size_t i = 0; i < p->header_count; ++i)
            headers += (i ? "," : "") + hex(p->headers[i].name) + "=" + hex(p->headers[i].value);
        r->head = "P " + hex_or_dash(p->name) + " " + hex_or_dash(p->filename) + " " +
                  hex_or_dash(p->content_type) + " " + (headers.empty() ? "." : headers);
        return 0;
    }
    static int data_cb(void *u, const void *b, size_t n, tamsel_error *) {
        static_cast<line_recorder *>(u)->data.append(static_cast<const char *>(b), n);
        return 0;
    }
    static int end(void *u, const tamsel_multipart_part *, tamsel_error *) {
        auto *r = static_cast<line_recorder *>(u);
        r->line += (r->line.empty() ? "" : " ") + r->head + " " + hex(r->data);
        r->data.clear();
        return 0;
    }
};

std::string ours(const std::string &type, const std::string &body, std::mt19937 &rng) {
    tamsel_error e;
    tamsel_multipart *p = tamsel_multipart_open(type.c_str(), nullptr, &e);
    if (!p) return std::string("open failed: ") + e.message;
    line_recorder r;
    const tamsel_multipart_callbacks cb{line_recorder::begin, line_recorder::data_cb,
                                        line_recorder::end};
    tamsel_status st = TAMSEL_STATUS_OK;
    for (size_t at = 0; at < body.size() && st == 0;) {
        const size_t n = std::min<size_t>(body.size() - at, 1 + rng() % 300);
        st = tamsel_multipart_push(p, body.data() + at, n, &cb, &r, &e);
        at += n;
    }
    if (st == 0) st = tamsel_multipart_finish(p, &cb, &r, &e);
    tamsel_multipart_close(p);
    if (st) return std::string("failed: ") + e.message;
    return r.line.empty() ? "none" : r.line;
}

struct generated {
    std::string type, body;
};

std::string random_bytes(std::mt19937 &rng, size_t n, const std::string &boundary) {
    // Binary data with CR, LF, "--" and lines that come close to a boundary line without
    // being one (Python allows blanks after a boundary; those are left out here).
    const std::string near[] = {"\r\n--" + boundary + "x",
                                "\n--" + boundary.substr(1),
                                "\r\n--" + boundary + "-x",
                                "\n-" + boundary,
                                "\r\n--",
                                "\r\r\n",
                                "\n\n",
                                "x--" + boundary + "\r\n"};
    std::string s;
    while (s.size() < n) {
        const unsigned r = rng() % 16;
        if (r == 0)
            s += near[rng() % (sizeof near / sizeof near[0])];
        else if (r < 3)
            s += "\r\n"[rng() % 2];
        else
            s += static_cast<char>(rng());
    }
    return s;
}

generated generate(std::mt19937 &rng, int index) {
    std::string boundary = "bnd" + std::to_string(rng()) + "_'()+,./:=?";
    const bool quoted = index % 2;
    if (quoted) boundary += " in quotes";
    generated g;
    g.type = "multipart/form-data; charset=utf-8; boundary=" +
             (quoted ? "\"" + boundary + "\"" : boundary);
    const std::string nl = index % 3 == 0 ? "\n" : "\r\n";
    const int parts = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < parts; ++i) {
        g.body += "--" + boundary + nl;
        const unsigned kind = rng() % 5;
        std::string data = kind == 0 ? "" : random_bytes(rng, rng() % 2000, boundary);
        if (kind != 1)
            g.body += "Content-Disposition: form-data; name=\"field" + std::to_string(i) +
                      "\\\"q\"" +
                      (kind == 2 ? "; filename=\"f" + std::to_string(i) + ".bin\"" : "") + nl;
        if (kind == 2) g.body += "Content-Type: application/octet-stream" + nl;
        if (kind == 3) {
            // A Content-Length part: the data must not hold its own boundary line.
            data = std::string(rng() % 500, 'a') + "\r\n-";
            g.body += "Content-Length: " + std::to_string(data.size()) + nl;
        }
        if (kind == 4) g.body += "X-Empty:" + nl + "x-Custom:  v a l  " + nl.substr(0, 0) + nl;
        g.body += nl + data + nl;
    }
    g.body += "--" + boundary + "--" + nl;
    if (index % 4 == 1) g.body += "an epilogue" + nl + "--" + boundary + nl;
    return g;
}

} // namespace

TEST(MultipartDifferential, AgreesWithPythonEmail) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    char dir[] = "/tmp/tamsel-multipart-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::mt19937 rng(2026);
    std::vector<generated> bodies;
    std::string command = "python3 " TAMSEL_SOURCE_DIR "/tests/framing/multipart_oracle.py";
    for (int i = 0; i < 120; ++i) {
        bodies.push_back(generate(rng, i));
        const std::string path = std::string(dir) + "/body" + std::to_string(i);
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::string content = bodies.back().type + "\n" + bodies.back().body;
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        command += " " + path;
    }
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        output.append(buf, n);
    ASSERT_EQ(pclose(pipe), 0);
    std::system((std::string("rm -rf ") + dir).c_str());
    size_t at = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        const size_t eol = output.find('\n', at);
        ASSERT_NE(eol, std::string::npos) << "oracle gave " << i << " lines";
        const std::string theirs = output.substr(at, eol - at);
        at = eol + 1;
        const std::string mine = ours(bodies[i].type, bodies[i].body, rng);
        size_t differ = 0;
        while (differ < mine.size() && differ < theirs.size() && mine[differ] == theirs[differ])
            ++differ;
        EXPECT_EQ(mine, theirs) << "body " << i << ", first difference at " << differ << ": "
                                << mine.substr(differ > 40 ? differ - 40 : 0, 120) << " vs "
                                << theirs.substr(differ > 40 ? differ - 40 : 0, 120);
    }
}

TEST(MultipartDifferential, PreamblesAndPaddedBoundaryLinesAreRefused) {
    // Python accepts both; this parser refuses them on purpose.
    const std::string type = "multipart/mixed; boundary=\"b b\"";
    EXPECT_EQ(mp_test::parse(type, "preamble\r\n--b b\r\n\r\nx\r\n--b b--\r\n").message,
              "unexpected multipart boundary line");
    EXPECT_EQ(mp_test::parse(type, "--b b\t\r\n\r\nx\r\n--b b--\r\n").message,
              "unexpected multipart boundary line");
    EXPECT_EQ(mp_test::parse(type, "--b b\r\n\r\nx\r\n--b b-- \r\n").message,
              "multipart stream ended before closing boundary");
}

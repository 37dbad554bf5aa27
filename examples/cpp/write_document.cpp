// write_document.c with tamsel.hpp: one chat request written to standard output token by token,
// a JSON text spliced in from a holder, and a long log written as one string, a line at a time.
//   write_document_cpp [LINES]     LINES lines of log in the long string (default 2000)
#include <tamsel.hpp>

#include <cstdio>
#include <cstdlib>

// Line `i` of a made-up server log, with the quotes, tab and line feed the writer escapes.
static std::string_view log_line(char *buf, size_t size, long i) {
    const int n = std::snprintf(buf, size, "07:58:%02ld\tworker-%ld: \"GET /items/%ld\" %ld ms\n",
                                i % 60, i % 4, i * 7, 20 + i * 37 % 900);
    return std::string_view(buf, n < 0 ? 0 : std::min(size - 1, static_cast<size_t>(n)));
}

int main(int argc, char **argv) try {
    const long lines = argc > 1 ? std::atol(argv[1]) : 2000;
    tamsel::runtime rt;
    tamsel::json format; // checked once, kept compactly, spliced in as one value
    format.set(R"({ "type": "json_object", "schema": { "slow_requests": ["string"] } })");
    tamsel::writer w(rt, stdout);
    w.begin_object().member("model", "tamsel-demo-1").member("stream", true);
    w.member("temperature", 0.5).key("top_p").number_text("0.95").member("max_tokens", 512);
    w.member("seed", UINT64_MAX).member("stop", nullptr).member("response_format", format);
    w.key("messages").begin_array().begin_object().member("role", "system");
    w.member("content", "Summarise the slow requests in this server log.").end_object();
    w.begin_object().member("role", "user").key("content").string_begin();
    char line[128];
    for (long i = 1; i <= lines; ++i)
        w.string_chunk(log_line(line, sizeof line, i));
    w.string_end().end_object().end_array();
    w.key("metadata").begin_object().member("lines", lines);
    w.member("tags", {"logs", "latency"}).end_object().end_object().finish();
    if (std::putchar('\n') == EOF || std::fflush(stdout) != 0) throw std::runtime_error("stdout");
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "write_document: %s\n", e.what());
    return 1;
}

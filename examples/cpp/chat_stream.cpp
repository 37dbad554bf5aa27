// chat_stream.c with tamsel.hpp: an LLM chat stream (Server-Sent Events) read 7 bytes at a time,
// each `delta` event parsed into a struct and printed at once, the usage taken from a plain event,
// the end at data: [DONE].   chat_stream_cpp [FILE] (or stdin)
#include <tamsel.hpp>

#include <algorithm>

struct delta {
    int64_t index;
    tamsel::string text;
};
TAMSEL_MAP(delta, (index, tamsel::required), text);

int main(int argc, char **argv) try {
    std::FILE *in = argc > 1 ? std::fopen(argv[1], "rb") : stdin;
    if (!in) return std::perror(argv[1]), 2;
    tamsel::runtime rt;
    tamsel::sse events(rt); // stops at data: [DONE]
    long deltas = 0, status = 0;
    std::string usage = "none";
    events.on<delta>("delta", [&](const delta &d) { // shown as it arrives
        ++deltas, std::fputs(d.text.c_str(), stdout), std::fflush(stdout);
    });
    events.on_other([&](const tamsel_sse_event &e, std::string_view data) {
        if (e.event == std::string_view("usage")) usage = data.substr(0, 127);
    });
    char chunk[7];
    for (size_t n; !events.ended() && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        if (auto r = events.try_push(std::string_view(chunk, n)); !r) // that event is dropped
            std::fprintf(stderr, "\n%s\n", r.message().c_str()), status = 1;
    if (!events.ended()) events.finish(), std::fputs("\nno [DONE]\n", stderr), status = 1;
    std::replace(usage.begin(), usage.end(), '\n', ' ');
    std::printf("\n%ld deltas; usage %s; %s\n", deltas, usage.c_str(),
                events.ended() == TAMSEL_SSE_ENDED_AT_MARKER ? "ended at [DONE]" : "no [DONE]");
    if (in != stdin) std::fclose(in);
    return static_cast<int>(status);
} catch (const std::exception &e) {
    return std::fprintf(stderr, "\n%s\n", e.what()), 1;
}

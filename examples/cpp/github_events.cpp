// github_events.c with tamsel.hpp: a JSON array of GitHub API events read one item at a time, each
// into a struct with a nested actor and the raw payload JSON.   github_events_cpp [FILE] (or stdin)
#include <tamsel.hpp>

struct user {
    int64_t id;
    tamsel::string login;
};
TAMSEL_MAP(user, id, login);
struct event {
    tamsel::string id, type, created_at; // GitHub sends event ids as strings
    user actor;
    tamsel::json payload; // the member's JSON text, whatever its shape
};
TAMSEL_MAP(event, (id, tamsel::required), (type, tamsel::required), created_at, actor, payload);

int main(int argc, char **argv) try {
    tamsel_alloc_stats stats{}; // what the library allocates, counted
    size_t events = 0, pushes = 0, payload_bytes = 0;
    {
        tamsel::runtime rt(stats);
        auto all = argc > 1 ? tamsel::items<event>(rt, tamsel::file(argv[1]))
                            : tamsel::items<event>(rt, stdin);
        for (const event &ev : all) {
            ++events, pushes += ev.type == "PushEvent", payload_bytes += ev.payload.text().size();
            std::printf("%-18s %-14s %-20s payload %5zu B\n", ev.type.c_str(),
                        ev.actor.login.c_str(), ev.created_at.c_str(), ev.payload.text().size());
        }
    }
    std::printf("%zu events, %zu of them PushEvent; %zu bytes of payload JSON captured\n", events,
                pushes, payload_bytes);
    std::printf("peak heap of the library: %llu bytes (%llu still held)\n",
                (unsigned long long)stats.peak_bytes, (unsigned long long)stats.current_bytes);
    return stats.current_bytes == 0 ? 0 : 1;
} catch (const std::exception &e) {
    return std::fprintf(stderr, "%s: %s\n", argc > 1 ? argv[1] : "-", e.what()), 1;
}

// bad_inputs.c with tamsel.hpp: bad inputs fed to the library, each failure printed as it is told.
#include <tamsel.hpp>

struct user {
    int64_t id;
    char country[3];
};
TAMSEL_MAP(user, (id, tamsel::required), country);
template <class F> void report(const char *what, F f) try { f(); } catch (const tamsel::error &e) {
    std::printf("%-18s %s\n", what, e.what()); // "LINE:COLUMN: message" for errors in the input
}

int main() {
    tamsel::runtime rt;
    const char *bad[] = {"syntax error",   "{\"id\": 7,\n \"name\": \"Ada\" \"country\": \"UK\"}",
                         "wrong type",     R"({"id": "7"})",
                         "missing member", R"({"name": "Ada"})",
                         "too long",       R"({"id": 7, "country": "GBR"})"};
    for (int i = 0; i < 8; i += 2)
        report(bad[i], [&] { tamsel::parse<user>(rt, bad[i + 1]); });
    report("missing file", [&] { tamsel::parse<user>(rt, tamsel::file("no-such-file.json")); });
    report("bad item", [&] {
        for (const user &u : tamsel::items<user>(rt, "[{\"id\": 1}, {\"id\": 2},\n {\"id\": 3,}]"))
            std::printf("%-18s id %lld\n", "item", (long long)u.id);
    });
    std::string out;
    report("value without key", [&] { tamsel::writer(rt, out).begin_object().value(1); });
}

// items_jsonl.c with tamsel.hpp: the items of the array at PATH as JSON Lines, one item in memory
// at a time, as `tamsel items --path PATH` writes them.   items_jsonl_cpp PATH [FILE] (or stdin)
#include <tamsel.hpp>

int main(int argc, char **argv) try {
    if (argc < 2) return std::fputs("usage: items_jsonl_cpp PATH [FILE]\n", stderr), 2;
    tamsel::runtime rt;
    auto items = argc > 2 ? tamsel::items<tamsel::json>(rt, tamsel::file(argv[2]), argv[1])
                          : tamsel::items<tamsel::json>(rt, stdin, argv[1]);
    for (const tamsel::json &item : items)
        std::printf("%.*s\n", static_cast<int>(item.text().size()), item.text().data());
} catch (const std::exception &e) {
    return std::fprintf(stderr, "%s\n", e.what()), 1;
}

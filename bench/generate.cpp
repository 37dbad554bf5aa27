// tamsel_bench_generate: writes a generated input into the benchmark cache (if it is not there
// yet) and prints its path, for scripts that need the same records as tamsel_bench (tool.sh).
//   tamsel_bench_generate array|lines SIZE   SIZE in MiB with an m suffix or GiB with a g
// The cache directory is BENCH_CACHE_DIR, else bench/cache of the source tree.
#include "corpus.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

// "64m" -> 64 MiB, "1g" -> 1 GiB; 0 when the text is not one of those.
uint64_t parse_size(const char *text) {
    char *end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || n == 0 || (std::strcmp(end, "m") != 0 && std::strcmp(end, "g") != 0)) {
        return 0;
    }
    return n * bench::kMiB * (*end == 'g' ? 1024 : 1);
}

} // namespace

int main(int argc, char **argv) {
    const bool array = argc == 3 && std::strcmp(argv[1], "array") == 0;
    const bool lines = argc == 3 && std::strcmp(argv[1], "lines") == 0;
    const uint64_t size = argc == 3 ? parse_size(argv[2]) : 0;
    if ((!array && !lines) || size == 0) {
        std::fprintf(stderr, "usage: tamsel_bench_generate array|lines SIZE (e.g. 64m, 1g)\n");
        return 2;
    }
    const char *dir = std::getenv("BENCH_CACHE_DIR");
    try {
        const std::string path =
            bench::ensure_generated(dir && *dir ? dir : TAMSEL_BENCH_CACHE,
                                    array ? bench::shape::array : bench::shape::lines, size);
        std::printf("%s\n", path.c_str());
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tamsel_bench_generate: %s\n", e.what());
        return 1;
    }
}

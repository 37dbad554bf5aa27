// A small C++ program built against an installed tamsel through tamsel.hpp.
#include <tamsel.hpp>

#include <cstdio>

struct point {
    int64_t x;
    tamsel::string label;
};
TAMSEL_MAP(point, (x, tamsel::required), label);

int main() try {
    tamsel::runtime rt;
    int64_t sum = 0;
    for (const point &p :
         tamsel::items<point>(rt, R"({"p": [{"x": 1}, {"x": 2, "label": "b"}]})", "p"))
        sum += p.x;
    const std::string text = tamsel::to_json(rt, tamsel::parse<point>(rt, R"({"x": 3})"));
    std::printf("tamsel.hpp: %lld %s\n", static_cast<long long>(sum), text.c_str());
    return sum == 3 && text == R"({"x":3,"label":null})" ? 0 : 1;
} catch (const tamsel::error &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
}

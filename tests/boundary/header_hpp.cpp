// tamsel.hpp alone, compiled as C++17 twice: with exceptions (every door) and with
// -fno-exceptions (the non-throwing doors, which must then be all there is).
#include "tamsel.hpp"

#include <cstdio>
#include <string>

namespace hpp_check {

struct inner {
    double x;
};
TAMSEL_MAP(inner, x);

struct outer {
    int64_t id;
    uint64_t n;
    tamsel::flag ok;
    tamsel::string name;
    char code[4];
    inner at;
    tamsel::array<inner> more;
    tamsel::array<tamsel::string> tags;
    tamsel::json raw;
    tamsel::spooled body;
};
TAMSEL_MAP(outer, (id, tamsel::required, tamsel::key("ID")), n, ok, name, code, at, more, tags, raw,
           body);

static_assert(tamsel::map_of<outer>().field_count == 10, "every member declared");

} // namespace hpp_check

using hpp_check::outer;

int tamsel_hpp_check_no_throw(std::FILE *in) {
    auto rt = tamsel::runtime::make();
    if (!rt) return rt.error().code;
    auto r = tamsel::try_parse<outer>(*rt, in);
    if (!r) return static_cast<int>(r.message().size());
    auto text = tamsel::try_to_json(*rt, **r, true);
    int n = 0;
    for (const outer &o : tamsel::try_items<outer>(*rt, "[]", "data.items"))
        n += static_cast<int>(o.id + o.more.size());
    std::string out;
    tamsel::writer w(*rt, out, tamsel::no_throw);
    w.begin_object().member("n", n).member("t", text ? *text : std::string()).end_object();
    tamsel::sse events(*rt, tamsel::no_throw);
    events.on<outer>("e", [&](const outer &o) { n += static_cast<int>(o.id); });
    (void)events.try_push("data: {}\n\n");
    return w.finish() ? n : -1;
}

#if TAMSEL_HPP_EXCEPTIONS
int tamsel_hpp_check_throwing() {
    tamsel::runtime rt;
    tamsel::record<outer> r = tamsel::parse<outer>(rt, tamsel::file("x.json"));
    std::string out = tamsel::to_json(rt, r);
    for (const outer &o : tamsel::items<outer>(rt, tamsel::file("big.json"), "data.items"))
        out += o.name.view();
    tamsel::writer(rt, [&](std::string_view s) { out += s; }).value(*r).finish();
    return static_cast<int>(out.size());
}
#endif

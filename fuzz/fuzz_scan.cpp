// The vectorised paths against the portable ones. Input: one byte choosing a split point
// (modulo the text's length plus one), then the text. Invariants: from every start offset of
// the text (its first 2048 bytes), every block-scanner kernel this machine runs finds the same
// end of a plain string run and of a whitespace run as the portable kernel, over up to 256
// bytes (to the input's end near it) and over a short range the start byte chooses, with the
// same line feeds counted and the same last one; the inline scanners in front of the kernels
// agree too. The push parser validating the text ends the same (status, message, line,
// column, offset, bytes consumed) fed whole, in two pushes cut at the chosen point and one
// byte per push, which leaves the bulk paths (the skim, whole escapes, literals and dropped
// strings) nothing to take but single bytes.
#include "fuzz_support.hpp"
#include "parse/parser.hpp"
#include "text/block_scan.hpp"
#include "text/scan.hpp"

#include <algorithm>

namespace {

using tamsel::scan::kernel;

// The starts looked at, and how far a search from one may run: four whole blocks, and the end
// of the input for the starts near it, keeping long inputs from costing quadratic time.
constexpr size_t scanned_prefix = 2048;
constexpr size_t run_limit = 256;

void compare_scanners(const uint8_t *text, size_t len) {
    static const kernel *kernels[8];
    static const size_t count = tamsel::scan::runnable_kernels(kernels, 8);
    const kernel &portable = *kernels[0];
    const size_t starts = std::min(len, scanned_prefix);
    for (size_t i = 0; i < starts; ++i) {
        const uint8_t *p = text + i;
        const uint8_t *ends[] = {p + std::min(len - i, run_limit),
                                 p + std::min<size_t>(len - i, text[i] % 80)};
        for (const uint8_t *e : ends) {
            const uint8_t *want = portable.string_end(p, e);
            FUZZ_CHECK(tamsel::scan::plain_run(p, e) == want, "plain_run from %zu", i);
            size_t want_lines = 0;
            const uint8_t *want_last = nullptr;
            const uint8_t *want_space = portable.space_end(p, e, &want_lines, &want_last);
            size_t lines = 0;
            const uint8_t *last = nullptr;
            FUZZ_CHECK(tamsel::scan::whitespace_run(p, e, &lines, &last) == want_space &&
                           lines == want_lines && last == want_last,
                       "whitespace_run from %zu", i);
            for (size_t k = 1; k < count; ++k) {
                FUZZ_CHECK(kernels[k]->string_end(p, e) == want, "%s string_end from %zu to %zu",
                           kernels[k]->name, i, static_cast<size_t>(e - text));
                lines = 0;
                last = nullptr;
                FUZZ_CHECK(kernels[k]->space_end(p, e, &lines, &last) == want_space &&
                               lines == want_lines && last == want_last,
                           "%s space_end from %zu to %zu: %zu lines (want %zu)", kernels[k]->name,
                           i, static_cast<size_t>(e - text), lines, want_lines);
            }
        }
    }
}

// Validates the text with the push parser fed in the pieces `cuts` gives (ascending split
// points), as tamsel_validate_* set it up; describes how it ended and how much it consumed.
std::string push_validate(const uint8_t *text, size_t len, const std::vector<size_t> &cuts) {
    using namespace tamsel::parse;
    parser p;
    alignas(8) unsigned char workspace[workspace_bytes];
    init_args args;
    args.any_root = true;
    args.workspace = workspace;
    tamsel_status st = parser_init(p, args);
    FUZZ_CHECK(st == 0, "parser set-up failed: %s", p.error.message);
    size_t at = 0, consumed = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t end = i < cuts.size() ? cuts[i] : len;
        size_t took = 0;
        st = parser_feed(p, text + at, end - at, &took, false);
        FUZZ_CHECK(took <= end - at, "consumed %zu of %zu", took, end - at);
        consumed += took;
        at = end;
        if (st != 0 && st != TAMSEL_STATUS_TRUNCATED) break;
    }
    if (st == 0 || st == TAMSEL_STATUS_TRUNCATED) st = parser_finish(p);
    parser_destroy(p);
    return fuzz::describe(st, p.error) + " consumed " + std::to_string(consumed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const uint8_t choice = in.take();
    const uint8_t *text = in.rest();
    const size_t len = in.rest_size();
    compare_scanners(text, len);

    const std::string whole = push_validate(text, len, {});
    const std::string split = push_validate(text, len, {choice % (len + 1)});
    FUZZ_CHECK(split == whole, "cut at %zu: %s\n--- whole ---\n%s", choice % (len + 1),
               split.c_str(), whole.c_str());
    std::vector<size_t> bytes;
    for (size_t i = 1; i < len; ++i)
        bytes.push_back(i);
    const std::string single = push_validate(text, len, bytes);
    FUZZ_CHECK(single == whole, "one byte per push: %s\n--- whole ---\n%s", single.c_str(),
               whole.c_str());
    return 0;
}

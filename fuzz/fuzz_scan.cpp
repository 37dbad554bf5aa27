// The vectorised paths against the portable ones. Input: one byte choosing a split point
// (modulo the text's length plus one), then the text. Invariants: from every start offset of
// the text (its first 2048 bytes), every block-scanner kernel this machine runs finds the same
// end of a plain string run and of a whitespace run as the portable kernel, over up to 256
// bytes (to the input's end near it) and over a short range the start byte chooses, with the
// same line feeds counted and the same last one; the inline scanners in front of the kernels
// agree too. From every start, the UTF-8 run check stops at the byte the byte-at-a-time
// automaton stops at, and each kernel's UTF-8 prefix ends at a character boundary no later
// than it (at the end exactly when all is well-formed). The push parser validating the text
// ends the same (status, message, line, column, offset, bytes consumed) fed whole, in two
// pushes cut at the chosen point and one byte per push, which leaves the bulk paths (the
// skim, whole escapes, literals and dropped strings) nothing to take but single bytes; so it
// does with the UTF-8 check on.
#include "fuzz_support.hpp"
#include "parse/parser.hpp"
#include "text/block_scan.hpp"
#include "text/scan.hpp"
#include "text/utf8.hpp"

#include <algorithm>

namespace {

using tamsel::scan::kernel;

// The starts looked at, and how far a search from one may run: four whole blocks, and the end
// of the input for the starts near it, keeping long inputs from costing quadratic time.
constexpr size_t scanned_prefix = 2048;
constexpr size_t run_limit = 256;

// The byte-at-a-time automaton from a fresh state: the first bad byte, and whether a sequence
// is left open at e.
const uint8_t *utf8_automaton(const uint8_t *p, const uint8_t *e, bool *open) {
    tamsel::scan::utf8_state s;
    for (; p < e; ++p)
        if (!tamsel::scan::utf8_step(s, *p)) break;
    *open = s.due != 0;
    return p;
}

void compare_utf8(const kernel *const *kernels, size_t count, const uint8_t *text, const uint8_t *p,
                  const uint8_t *e) {
    bool open = false;
    const uint8_t *want = utf8_automaton(p, e, &open);
    tamsel::scan::utf8_state s;
    FUZZ_CHECK(tamsel::scan::utf8_run(s, p, e) == want, "utf8_run from %zu to %zu",
               static_cast<size_t>(p - text), static_cast<size_t>(e - text));
    for (size_t k = 0; k < count; ++k) {
        const uint8_t *r = kernels[k]->utf8_prefix(p, e);
        bool open_at_r = false;
        FUZZ_CHECK(r >= p && r <= want && utf8_automaton(p, r, &open_at_r) == r && !open_at_r &&
                       (r == e) == (want == e && !open),
                   "%s utf8_prefix from %zu to %zu stopped at %zu (bad byte at %zu)",
                   kernels[k]->name, static_cast<size_t>(p - text), static_cast<size_t>(e - text),
                   static_cast<size_t>(r - text), static_cast<size_t>(want - text));
    }
}

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
            compare_utf8(kernels, count, text, p, e);
            const uint8_t *want = portable.string_end(p, e);
            FUZZ_CHECK(tamsel::scan::plain_run(p, e) == want, "plain_run from %zu", i);
            const uint8_t *want_ascii = p;
            while (want_ascii < want && *want_ascii < 0x80)
                ++want_ascii;
            FUZZ_CHECK(tamsel::scan::plain_ascii_run(p, e) == want_ascii,
                       "plain_ascii_run from %zu", i);
            size_t want_lines = 0;
            const uint8_t *want_last = nullptr;
            const uint8_t *want_space = portable.space_end(p, e, &want_lines, &want_last);
            size_t lines = 0;
            const uint8_t *last = nullptr;
            FUZZ_CHECK(tamsel::scan::whitespace_run(p, e, &lines, &last) == want_space &&
                           lines == want_lines && last == want_last,
                       "whitespace_run from %zu", i);
            for (size_t k = 0; k < count; ++k) {
                FUZZ_CHECK(kernels[k]->string_end(p, e) == want, "%s string_end from %zu to %zu",
                           kernels[k]->name, i, static_cast<size_t>(e - text));
                FUZZ_CHECK(kernels[k]->ascii_string_end(p, e) == want_ascii,
                           "%s ascii_string_end from %zu to %zu", kernels[k]->name, i,
                           static_cast<size_t>(e - text));
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
std::string push_validate(const uint8_t *text, size_t len, const std::vector<size_t> &cuts,
                          bool utf8_check) {
    using namespace tamsel::parse;
    parser p;
    alignas(8) unsigned char workspace[workspace_bytes];
    init_args args;
    args.any_root = true;
    args.workspace = workspace;
    tamsel_status st = parser_init(p, args);
    FUZZ_CHECK(st == 0, "parser set-up failed: %s", p.error.message);
    p.utf8_check = utf8_check;
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

    std::vector<size_t> bytes;
    for (size_t i = 1; i < len; ++i)
        bytes.push_back(i);
    for (const bool utf8_check : {false, true}) {
        const std::string whole = push_validate(text, len, {}, utf8_check);
        const std::string split = push_validate(text, len, {choice % (len + 1)}, utf8_check);
        FUZZ_CHECK(split == whole, "cut at %zu (UTF-8 check %d): %s\n--- whole ---\n%s",
                   choice % (len + 1), utf8_check, split.c_str(), whole.c_str());
        const std::string single = push_validate(text, len, bytes, utf8_check);
        FUZZ_CHECK(single == whole, "one byte per push (UTF-8 check %d): %s\n--- whole ---\n%s",
                   utf8_check, single.c_str(), whole.c_str());
    }
    return 0;
}

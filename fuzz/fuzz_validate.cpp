// The validator against the visitor: both read one JSON value and must agree on it.
// The runtime gives both the same nesting limit (32) and the visitor no string limit. Their
// other limits are worded differently: the validator keeps a key or number token in its fixed
// workspace (about 2.3 KiB left at depth 32) and reports an exhausted workspace, the visitor has
// configurable key and number limits, here 2048 bytes. A token longer than 2048 bytes is
// therefore a limit failure of the visitor and may or may not pass the validator: those inputs
// only have to end in a limit failure of the visitor. Everything else: both accept, or both
// reject with the same status and message at the same line, column and offset, except that a
// malformed number is placed differently by design: the visitor points at the number's last
// byte, the validator at the byte that ended it (the tests of both pin this), so there the
// validator's offset is the visitor's or one more.
#include "fuzz_support.hpp"

namespace {

constexpr uint64_t depth = 32;
constexpr uint64_t token_limit = 2048;

tamsel_runtime *runtime() {
    static tamsel_runtime *rt = [] {
        tamsel_config c = tamsel_default_config();
        c.max_depth = depth;
        c.max_string_bytes = 0;
        c.value_max_depth = depth;
        c.value_max_string_bytes = UINT64_MAX;
        c.value_max_key_bytes = token_limit;
        c.value_max_number_bytes = token_limit;
        c.value_max_total_bytes = 0;
        tamsel_error e;
        tamsel_runtime *made = tamsel_new(&c, &e);
        FUZZ_CHECK(made != nullptr, "tamsel_new failed: %s", e.message);
        return made;
    }();
    return rt;
}

bool visitor_token_limit(tamsel_status st, const tamsel_error &e) {
    return st == TAMSEL_STATUS_OVERFLOW &&
           (std::strcmp(e.message, "JSON number exceeds maximum byte limit") == 0 ||
            std::strcmp(e.message, "JSON object key exceeds maximum decoded byte limit") == 0 ||
            // a key crossing the limit inside an escape (strings have no limit here)
            std::strcmp(e.message, "decoded JSON text exceeds limit") == 0);
}

bool validator_workspace_limit(tamsel_status st, const tamsel_error &e) {
    return st == TAMSEL_STATUS_ALLOCATION_FAILED ||
           (st == TAMSEL_STATUS_OVERFLOW && std::strstr(e.message, "workspace") != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tamsel_runtime *rt = runtime();
    tamsel_error ve, we;
    const tamsel_status v = tamsel_validate_buffer(rt, data, size, &ve);
    const tamsel_value_visitor table = tamsel_default_value_visitor();
    const tamsel_status w = tamsel_visit_value_buffer(rt, data ? data : (const uint8_t *)"", size,
                                                      &table, nullptr, &we);
    FUZZ_CHECK(ve.code == v && we.code == w, "error records disagree with their statuses");
    FUZZ_CHECK(v == 0 || v == TAMSEL_STATUS_INVALID_JSON || v == TAMSEL_STATUS_OVERFLOW ||
                   v == TAMSEL_STATUS_ALLOCATION_FAILED,
               "validator: %s", fuzz::describe(v, ve).c_str());
    FUZZ_CHECK(w == 0 || w == TAMSEL_STATUS_INVALID_JSON || w == TAMSEL_STATUS_OVERFLOW,
               "visitor: %s", fuzz::describe(w, we).c_str());
    if (visitor_token_limit(w, we)) return 0;
    FUZZ_CHECK(!validator_workspace_limit(v, ve),
               "the validator ran out of workspace on a value the visitor took: %s\nvisitor: %s",
               fuzz::describe(v, ve).c_str(), fuzz::describe(w, we).c_str());
    const bool number = v == TAMSEL_STATUS_INVALID_JSON &&
                        std::strcmp(ve.message, "invalid JSON number") == 0 &&
                        std::strcmp(we.message, "invalid JSON number") == 0;
    const bool same_place =
        number ? ve.offset == we.offset || ve.offset == we.offset + 1
               : ve.offset == we.offset && ve.line == we.line && ve.column == we.column;
    FUZZ_CHECK(v == w && (v == 0 || same_place),
               "validator and visitor disagree:\nvalidator: %s\nvisitor:   %s",
               fuzz::describe(v, ve).c_str(), fuzz::describe(w, we).c_str());
    return 0;
}

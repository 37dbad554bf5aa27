// The value visitor, with a table that checks the shape of the event sequence as it arrives:
// containers begin and end in nesting order; keys only inside objects and only where a key may
// stand; after each key exactly one value; chunks only inside their string, key or number; a
// number arrives in exactly one chunk, and only number characters; after the root value nothing.
// Invariants: a successful visit has seen exactly one complete root value; the same visit
// through a reader in pieces (sizes from a hash of the input, empty results included) gives the
// same events (but for the text of a string or key left open by a failure) and the same ending; a
// callback that fails at a chosen event stops the walk at that event, and the visit returns the
// callback's status unchanged.
#include "fuzz_support.hpp"

namespace {

tamsel_runtime *runtime() {
    static tamsel_runtime *rt = [] {
        tamsel_config c = tamsel_default_config();
        c.value_max_depth = 48;
        c.value_max_string_bytes = 4096;
        c.value_max_key_bytes = 64;
        c.value_max_number_bytes = 64;
        tamsel_error e;
        tamsel_runtime *made = tamsel_new(&c, &e);
        FUZZ_CHECK(made != nullptr, "tamsel_new failed: %s", e.message);
        return made;
    }();
    return rt;
}

enum class inside { nothing, string, key, number };

struct checker {
    std::vector<char> stack;          // 'o' or 'a'
    std::vector<bool> awaiting_value; // objects: a key was read, its value not yet
    inside in = inside::nothing;
    unsigned number_chunks = 0;
    bool root_done = false;
    std::string log;
    size_t events = 0;
    size_t fail_at = SIZE_MAX; // the event whose callback fails
    bool stopped = false;
    size_t text_start = 0; // where the open string's or key's text begins in the log

    // The log as far as it must not depend on how the input was cut. A string or key left
    // open by a failure may have had some of its text handed over already: a run that fits the
    // input window goes to the callback straight from the window, so how much arrived before
    // the failing byte depends on where the windows ended.
    std::string settled_log() const {
        if (in == inside::string || in == inside::key) return log.substr(0, text_start);
        return log;
    }

    tamsel_status event(const char *what) {
        FUZZ_CHECK(!stopped, "event %s after a failing callback", what);
        log += what;
        if (events++ == fail_at) {
            stopped = true;
            return TAMSEL_STATUS_CALLBACK_FAILED;
        }
        return TAMSEL_STATUS_OK;
    }
    // A value begins: at the root, as an array element, or after a key.
    void value_start(const char *what) {
        FUZZ_CHECK(in == inside::nothing, "%s inside a string, key or number", what);
        FUZZ_CHECK(!root_done, "%s after the root value", what);
        if (stack.empty()) return;
        if (stack.back() == 'o') {
            FUZZ_CHECK(awaiting_value.back(), "%s in an object where a key belongs", what);
            awaiting_value.back() = false;
        }
    }
    void value_done() {
        if (stack.empty()) root_done = true;
    }
    void push(char kind) {
        stack.push_back(kind);
        awaiting_value.push_back(false);
    }
    void pop(char kind, const char *what) {
        FUZZ_CHECK(in == inside::nothing, "%s inside a string, key or number", what);
        FUZZ_CHECK(!stack.empty() && stack.back() == kind, "%s does not match the open container",
                   what);
        FUZZ_CHECK(!awaiting_value.back(), "%s right after a key", what);
        stack.pop_back();
        awaiting_value.pop_back();
        value_done();
    }
    void chunk(inside where, const char *bytes, size_t n) {
        FUZZ_CHECK(in == where, "chunk outside its string, key or number");
        FUZZ_CHECK(bytes != nullptr || n == 0, "chunk without bytes");
        log.append(bytes, n);
    }
};

checker &of(void *u) {
    return *static_cast<checker *>(u);
}

tamsel_value_visitor table() {
    tamsel_value_visitor v = tamsel_default_value_visitor();
    v.object_begin = [](void *u, tamsel_error *) {
        of(u).value_start("object_begin");
        of(u).push('o');
        return of(u).event("{");
    };
    v.object_end = [](void *u, tamsel_error *) {
        of(u).pop('o', "object_end");
        return of(u).event("}");
    };
    v.array_begin = [](void *u, tamsel_error *) {
        of(u).value_start("array_begin");
        of(u).push('a');
        return of(u).event("[");
    };
    v.array_end = [](void *u, tamsel_error *) {
        of(u).pop('a', "array_end");
        return of(u).event("]");
    };
    v.key_begin = [](void *u, tamsel_error *) {
        checker &c = of(u);
        FUZZ_CHECK(c.in == inside::nothing, "key_begin inside a string, key or number");
        FUZZ_CHECK(!c.stack.empty() && c.stack.back() == 'o', "key_begin outside an object");
        FUZZ_CHECK(!c.awaiting_value.back(), "key_begin where a value belongs");
        c.in = inside::key;
        const tamsel_status st = c.event("K(");
        c.text_start = c.log.size();
        return st;
    };
    v.key_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        of(u).chunk(inside::key, b, n);
        return of(u).event("");
    };
    v.key_end = [](void *u, tamsel_error *) {
        checker &c = of(u);
        FUZZ_CHECK(c.in == inside::key, "key_end outside a key");
        c.in = inside::nothing;
        c.awaiting_value.back() = true;
        return c.event(")");
    };
    v.string_begin = [](void *u, tamsel_error *) {
        of(u).value_start("string_begin");
        checker &c = of(u);
        c.in = inside::string;
        const tamsel_status st = c.event("S(");
        c.text_start = c.log.size();
        return st;
    };
    v.string_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        of(u).chunk(inside::string, b, n);
        return of(u).event("");
    };
    v.string_end = [](void *u, tamsel_error *) {
        checker &c = of(u);
        FUZZ_CHECK(c.in == inside::string, "string_end outside a string");
        c.in = inside::nothing;
        c.value_done();
        return c.event(")");
    };
    v.number_begin = [](void *u, tamsel_error *) {
        of(u).value_start("number_begin");
        of(u).in = inside::number;
        of(u).number_chunks = 0;
        return of(u).event("N(");
    };
    v.number_chunk = [](void *u, const char *b, size_t n, tamsel_error *) {
        checker &c = of(u);
        FUZZ_CHECK(++c.number_chunks == 1, "a number in more than one chunk");
        FUZZ_CHECK(n > 0, "an empty number");
        for (size_t i = 0; i < n; ++i)
            FUZZ_CHECK(std::strchr("0123456789+-.eE", b[i]) != nullptr && b[i] != '\0',
                       "byte 0x%02x in a number", static_cast<unsigned char>(b[i]));
        c.chunk(inside::number, b, n);
        return c.event("");
    };
    v.number_end = [](void *u, tamsel_error *) {
        checker &c = of(u);
        FUZZ_CHECK(c.in == inside::number && c.number_chunks == 1, "number_end without its chunk");
        c.in = inside::nothing;
        c.value_done();
        return c.event(")");
    };
    v.boolean = [](void *u, int value, tamsel_error *) {
        FUZZ_CHECK(value == 0 || value == 1, "boolean %d", value);
        of(u).value_start("boolean");
        of(u).value_done();
        return of(u).event(value ? "T" : "F");
    };
    v.null = [](void *u, tamsel_error *) {
        of(u).value_start("null");
        of(u).value_done();
        return of(u).event("Z");
    };
    return v;
}

uint64_t hash(const uint8_t *data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tamsel_runtime *rt = runtime();
    const uint8_t *bytes = data ? data : reinterpret_cast<const uint8_t *>("");
    const tamsel_value_visitor v = table();

    checker whole;
    tamsel_error e;
    const tamsel_status st = tamsel_visit_value_buffer(rt, bytes, size, &v, &whole, &e);
    FUZZ_CHECK(e.code == st, "returned %u, error record says %u", st, e.code);
    FUZZ_CHECK(st == 0 || st == TAMSEL_STATUS_INVALID_JSON || st == TAMSEL_STATUS_OVERFLOW, "%s",
               fuzz::describe(st, e).c_str());
    FUZZ_CHECK(e.offset <= size, "error offset %zu past %zu bytes", e.offset, size);
    if (st == 0) {
        FUZZ_CHECK(whole.root_done && whole.stack.empty() && whole.in == inside::nothing,
                   "a successful visit without one complete root value");
    }

    const uint64_t h = hash(data, size);
    fuzz::piece_reader pieces{bytes, size};
    for (int i = 0; i < 6; ++i)
        pieces.plan.push_back(static_cast<uint8_t>((h >> (8 * i)) % 9)); // 0: an empty result
    checker split;
    tamsel_error se;
    const tamsel_status sst =
        tamsel_visit_value_reader(rt, fuzz::piece_reader::read, &pieces, &v, &split, &se);
    FUZZ_CHECK(sst == st && fuzz::describe(sst, se) == fuzz::describe(st, e) &&
                   split.settled_log() == whole.settled_log(),
               "the visit in pieces differs:\n%s\n%s\n--- whole ---\n%s\n%s",
               fuzz::describe(sst, se).c_str(), split.log.c_str(), fuzz::describe(st, e).c_str(),
               whole.log.c_str());

    if (whole.events > 0) {
        checker stopping;
        stopping.fail_at = (h >> 48) % whole.events;
        tamsel_error fe;
        const tamsel_status fst = tamsel_visit_value_buffer(rt, bytes, size, &v, &stopping, &fe);
        FUZZ_CHECK(fst == TAMSEL_STATUS_CALLBACK_FAILED && stopping.events == stopping.fail_at + 1,
                   "a callback failing at event %zu of %zu: status %u after %zu events",
                   stopping.fail_at, whole.events, fst, stopping.events);
    }
    return 0;
}

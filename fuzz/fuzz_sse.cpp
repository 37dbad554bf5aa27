// Server-Sent Events. Input: a flag byte (bit 0: small limits, so that lines, data and fields
// reach them), a count byte and up to 15 piece sizes, then the stream. Invariants: the plain
// family pushed in those pieces (0: an empty push) reports exactly the callbacks of the whole
// stream pushed at once, and fails when it fails with the same first failure (a call reports
// the first failure it met, so pieces may report more); no event ends twice (every end_event closes
// one begin_event, and no more events end than the stream has lines); the JSON family, into a
// record and into a capturing holder, gives the same events whole and in pieces, each one an
// event the plain family dispatched; so do the extended entry points with a `[DONE]` end
// marker and the events not parsed reported as plain events (where the stream ends, and the
// stream positions of parse failures, included); closing leaves nothing allocated.
#include "fuzz_support.hpp"

namespace {

struct rec {
    int64_t n;
    char *text;
};

const tamsel_map *rec_map() {
    static const tamsel_field f[] = {{TAMSEL_KEY("n"), offsetof(rec, n), TAMSEL_FIELD_I64, 0, 0, 0,
                                      0, 0, nullptr, nullptr, 0, 0},
                                     {TAMSEL_KEY("text"), offsetof(rec, text), TAMSEL_FIELD_STRING,
                                      0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map m = {"rec", sizeof(rec), f, 2, &m, nullptr};
    return &m;
}

struct log {
    std::string text;
    size_t begins = 0, ends = 0, parsed = 0;
    bool open = false;
};

std::string event_text(const tamsel_sse_event *e) {
    return std::string(e->event) + "|" + (e->id ? e->id : "(null)") + "|" +
           std::to_string(e->data_bytes) + "|" + std::to_string(e->has_retry) + ":" +
           std::to_string(e->retry);
}

int on_begin(void *u, const tamsel_sse_event *e, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    ++l->begins;
    l->open = true;
    l->text += "B" + event_text(e) + "\n";
    return 0;
}
int on_chunk(void *u, const char *b, size_t n, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    FUZZ_CHECK(l->open, "data outside an event");
    l->text += "D" + std::string(b, n) + "\n";
    return 0;
}
int on_end(void *u, const tamsel_sse_event *e, tamsel_error *) {
    auto *l = static_cast<log *>(u);
    FUZZ_CHECK(l->open, "end_event without begin_event");
    l->open = false;
    ++l->ends;
    l->text += "E" + event_text(e) + "\n";
    return 0;
}

int on_record(void *u, const tamsel_sse_event *e, void *dst, tamsel_error *) {
    auto *r = static_cast<rec *>(dst);
    *static_cast<std::string *>(u) +=
        "J" + event_text(e) + " " + std::to_string(r->n) + " " + (r->text ? r->text : "-") + "\n";
    return 0;
}
int on_value(void *u, const tamsel_sse_event *e, tamsel_json_value *v, tamsel_error *) {
    *static_cast<std::string *>(u) +=
        "V" + event_text(e) + " " + std::string(v->data ? v->data : "", v->len) + "\n";
    return 0;
}

// The extended road: parsed events and plain ones in one transcript.
int on_record_logged(void *u, const tamsel_sse_event *e, void *dst, tamsel_error *error) {
    ++static_cast<log *>(u)->parsed;
    return on_record(&static_cast<log *>(u)->text, e, dst, error);
}

enum class road { plain, record, value, extended };

// What a road reported: the callbacks, and the first failure.
struct outcome {
    std::string events;
    std::string first_failure;
    bool operator==(const outcome &) const = default;
};

// Runs the stream in `pieces` (empty: whole) through one road; the events the plain road
// ended (the extended road: parsed or ended as plain events) go to `*ends`.
outcome run(road r, const uint8_t *text, size_t size, const std::vector<uint8_t> &pieces,
            bool small, tamsel_runtime *rt, size_t *ends) {
    fuzz::counting_allocator alloc;
    tamsel_sse_options o = tamsel_default_sse_options();
    if (small) {
        o.max_line_bytes = 24;
        o.max_event_data_bytes = 40;
        o.max_field_bytes = 6;
    }
    o.allocator = alloc.get();
    tamsel_error e;
    tamsel_sse *s = tamsel_sse_open(&o, &e);
    FUZZ_CHECK(s, "open failed: %s", e.message);
    const tamsel_sse_callbacks cb{on_begin, on_chunk, on_end};
    log l;
    std::string out, failure;
    rec dst{};
    tamsel_json_value v;
    tamsel_json_value_init(rt, &v);
    (void)tamsel_json_value_enable_parse_capture(&v, nullptr);
    const tamsel_sse_json_handlers h{on_record_logged, nullptr, &cb, "[DONE]", &l};
    auto push = [&](const uint8_t *p, size_t n, bool finish) {
        tamsel_status st;
        if (r == road::extended)
            st = finish ? tamsel_sse_finish_json_ex(rt, s, rec_map(), &dst, nullptr, &h, &e)
                        : tamsel_sse_push_json_ex(rt, s, rec_map(), &dst, p, n, nullptr, &h, &e);
        else if (r == road::plain)
            st = finish ? tamsel_sse_finish(s, &cb, &l, &e) : tamsel_sse_push(s, p, n, &cb, &l, &e);
        else if (r == road::record)
            st = finish
                     ? tamsel_sse_finish_json(rt, s, rec_map(), &dst, nullptr, on_record, &out, &e)
                     : tamsel_sse_push_json(rt, s, rec_map(), &dst, p, n, nullptr, on_record, &out,
                                            &e);
        else
            st = finish ? tamsel_sse_finish_json_value(rt, s, &v, nullptr, on_value, &out, &e)
                        : tamsel_sse_push_json_value(rt, s, &v, p, n, nullptr, on_value, &out, &e);
        if (st != TAMSEL_STATUS_OK && failure.empty()) failure = fuzz::describe(st, e);
    };
    size_t at = 0;
    bool sized = false; // a plan of empty pushes only is pushed once, then the rest whole
    for (uint8_t p : pieces)
        sized = sized || p != 0;
    for (size_t i = 0; i < pieces.size() || (sized && at < size); ++i) {
        const size_t n = std::min<size_t>(pieces[i % pieces.size()], size - at);
        push(text + at, n, false);
        at += n;
    }
    push(text + at, size - at, false);
    push(nullptr, 0, true);
    if (r == road::extended) l.text += "ended " + std::to_string(tamsel_sse_ended(s)) + "\n";
    tamsel_sse_close(s);
    tamsel_cleanup(rec_map(), &dst);
    tamsel_json_value_cleanup(&v);
    FUZZ_CHECK(alloc.live_blocks() == 0, "%zu blocks left after close", alloc.live_blocks());
    *ends = l.ends + l.parsed;
    return {r == road::plain || r == road::extended ? l.text : out, failure};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::byte_taker in(data, size);
    const bool small = in.take() & 1;
    const std::vector<uint8_t> plan = fuzz::take_plan(in);
    const uint8_t *text = in.rest();
    const size_t len = in.rest_size();
    size_t lines = 1;
    for (size_t i = 0; i < len; ++i)
        lines += text[i] == '\n' || text[i] == '\r';

    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    size_t ends = 0, chunked_ends = 0, unused = 0;
    const outcome whole = run(road::plain, text, len, {}, small, rt, &ends);
    FUZZ_CHECK(ends <= lines, "%zu events ended from %zu lines", ends, lines);
    const outcome chunked = run(road::plain, text, len, plan, small, rt, &chunked_ends);
    FUZZ_CHECK(whole == chunked, "pieces differ:\n%s%s\n--- whole ---\n%s%s",
               chunked.events.c_str(), chunked.first_failure.c_str(), whole.events.c_str(),
               whole.first_failure.c_str());
    for (road r : {road::record, road::value}) {
        const outcome a = run(r, text, len, {}, small, rt, &unused);
        const outcome b = run(r, text, len, plan, small, rt, &unused);
        FUZZ_CHECK(a == b, "JSON pieces differ:\n%s%s\n--- whole ---\n%s%s", b.events.c_str(),
                   b.first_failure.c_str(), a.events.c_str(), a.first_failure.c_str());
        size_t parsed = 0;
        for (size_t i = 0; i < a.events.size(); ++i)
            parsed +=
                (i == 0 || a.events[i - 1] == '\n') && (a.events[i] == 'J' || a.events[i] == 'V');
        FUZZ_CHECK(parsed <= ends, "%zu JSON events from %zu events", parsed, ends);
    }
    size_t reported = 0;
    const outcome a = run(road::extended, text, len, {}, small, rt, &reported);
    const outcome b = run(road::extended, text, len, plan, small, rt, &unused);
    FUZZ_CHECK(a == b, "extended pieces differ:\n%s%s\n--- whole ---\n%s%s", b.events.c_str(),
               b.first_failure.c_str(), a.events.c_str(), a.first_failure.c_str());
    FUZZ_CHECK(reported <= ends, "%zu extended events from %zu events", reported, ends);
    tamsel_free(rt);
    return 0;
}

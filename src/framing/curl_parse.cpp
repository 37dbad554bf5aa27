// libcurl download into one record: the write callback feeds the push parser, finish ends the
// document. The record holds two library blocks: a copy of the runtime's settings (the
// parser's options, allocator and private fixed-string scratch point into it, so the runtime
// may be freed mid-transfer) and the parser with its workspace.
#include "framing/internal.hpp"
#include "parse/parser.hpp"

#include <cstring>
#include <memory>
#include <new>

namespace tamsel::framing {

namespace {

struct parser_block {
    parse::parser p;
    alignas(8) unsigned char workspace[parse::workspace_bytes];
};

struct snapshot_free {
    void operator()(tamsel_runtime_settings *s) const {
        tamsel__runtime_free_owned_config(s);
        s->~tamsel_runtime_settings();
        owned_free(s);
    }
};
struct parser_free {
    void operator()(parser_block *b) const {
        parse::parser_destroy(b->p);
        b->~parser_block();
        owned_free(b);
    }
};
using snapshot_ptr = std::unique_ptr<tamsel_runtime_settings, snapshot_free>;
using parser_ptr = std::unique_ptr<parser_block, parser_free>;

size_t write_method(tamsel_curl_parse *record, const char *data, size_t size, size_t nmemb);

void reset_record(tamsel_curl_parse *r) {
    std::memset(r, 0, sizeof *r);
    r->write = write_method;
    r->finish = tamsel_curl_parse_finish;
    r->cleanup = tamsel_curl_parse_cleanup;
}

// Frees what a genuine record holds; the parser goes first, since it may hold the snapshot's
// scratch.
void release(tamsel_curl_parse *r) {
    parser_ptr(static_cast<parser_block *>(r->parser)).reset();
    snapshot_ptr(static_cast<tamsel_runtime_settings *>(r->snapshot)).reset();
    r->parser = nullptr;
    r->snapshot = nullptr;
}

parse::parser *parser_of(tamsel_curl_parse *r) {
    if (!curl_live(r, r->magic) || !r->parser) return nullptr;
    return &static_cast<parser_block *>(r->parser)->p;
}

size_t write_method(tamsel_curl_parse *r, const char *data, size_t size, size_t nmemb) {
    parse::parser *p = r ? parser_of(r) : nullptr;
    if (!p) return 0;
    size_t n;
    if (!curl_bytes(size, nmemb, &n)) {
        // The chunk is lost whatever is returned: the document cannot complete any more.
        if (!p->failed) (void)p->raise(TAMSEL_STATUS_OVERFLOW, "curl write size overflows");
        r->error = p->error;
        return 0;
    }
    const tamsel_status st = parse::parser_feed(*p, data, n, nullptr, false);
    if (st == TAMSEL_STATUS_OK || st == TAMSEL_STATUS_TRUNCATED) return n;
    r->error = p->error;
    return 0;
}

tamsel_status init(tamsel_curl_parse *r, tamsel_runtime *runtime, const tamsel_map *map,
                   void *dst) {
    tamsel_error *error = &r->error;
    runtime_borrow borrow;
    TAMSEL_TRY(borrow.acquire(runtime, error));
    const tamsel_runtime_settings *live = borrow.settings();
    void *memory = owned_alloc(live->config.allocator, sizeof(tamsel_runtime_settings));
    if (!memory)
        return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED,
                    "failed to allocate curl parse runtime");
    // Owned from here on, so a failing fill frees the block as every later failure does.
    snapshot_ptr snapshot(new (memory) tamsel_runtime_settings());
    TAMSEL_TRY(settings_snapshot(snapshot.get(), live, error));
    if (!map || !dst)
        return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "map and destination are required");
    const parse::map_analysis analysis = parse::analyze_map(map);
    if (!analysis.valid) return fail(error, TAMSEL_STATUS_INVALID_ARGUMENT, "invalid field layout");
    tamsel_allocator allocator;
    TAMSEL_TRY(require_allocator(snapshot->parse_options.allocator, &allocator, error));
    void *block = owned_alloc(&allocator, sizeof(parser_block));
    if (!block) return fail(error, TAMSEL_STATUS_ALLOCATION_FAILED, "failed to allocate parser");
    parser_ptr parser(new (block) parser_block());
    parse::init_args args;
    args.map = map;
    args.dst = dst;
    args.options = &snapshot->parse_options;
    args.settings = snapshot.get();
    args.analysis = &analysis;
    args.workspace = parser->workspace;
    parse::parser &p = parser->p;
    tamsel_status st = parse::parser_init(p, args);
    if (st == TAMSEL_STATUS_OK && p.options.init_destination)
        st = parse::init_map_parse(p, *map, dst);
    if (st != TAMSEL_STATUS_OK) {
        *error = p.error;
        error->code = st;
        return st;
    }
    r->parser = parser.release();
    r->snapshot = snapshot.release();
    clear_error(error);
    return TAMSEL_STATUS_OK;
}

} // namespace

} // namespace tamsel::framing

using namespace tamsel;
using namespace tamsel::framing;

extern "C" tamsel_status tamsel_curl_parse_init(tamsel_curl_parse *record, tamsel_runtime *runtime,
                                                const tamsel_map *map, void *dst) {
    if (!record) return TAMSEL_STATUS_INVALID_ARGUMENT;
    if (curl_live(record, record->magic)) release(record);
    reset_record(record);
    record->magic = curl_mark(record);
    return init(record, runtime, map, dst);
}

extern "C" size_t tamsel_curl_write_callback(char *data, size_t size, size_t nmemb, void *record) {
    return write_method(static_cast<tamsel_curl_parse *>(record), data, size, nmemb);
}

extern "C" tamsel_status tamsel_curl_parse_finish(tamsel_curl_parse *record) {
    parse::parser *p = record ? parser_of(record) : nullptr;
    if (!p) return TAMSEL_STATUS_INVALID_ARGUMENT;
    const tamsel_status st = parse::parser_finish(*p);
    record->error = p->error;
    return st;
}

extern "C" void tamsel_curl_parse_cleanup(tamsel_curl_parse *record) {
    if (!record || !curl_live(record, record->magic)) return;
    release(record);
    reset_record(record);
}

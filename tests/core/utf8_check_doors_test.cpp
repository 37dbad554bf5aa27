// The runtime's UTF-8 check reaches every operation that reads JSON text through it: one
// ill-formed byte in a string or a key, through each door, fails with status 2 at that byte when
// the check is on and passes as before when it is off. Long-lived objects keep the setting they
// were opened with.
#include <gtest/gtest.h>

#include "tamsel.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct rec {
    char *s;
};

const tamsel_map *rec_map() {
    static const tamsel_field fields[] = {{TAMSEL_KEY("s"), offsetof(rec, s), TAMSEL_FIELD_STRING,
                                           0, 0, 0, 0, 0, nullptr, nullptr, 0, 0}};
    static const tamsel_map map = {"rec", sizeof(rec), fields, 1, &map, nullptr};
    return &map;
}

// The bad byte is the 8th of both documents.
const std::string any_value = "[\"ok\",\"\xFF\"]";
const std::string mapped = "{\"s\":\"o\xFF\"}";

struct outcome {
    std::string door;
    tamsel_status status;
    std::string message;
    size_t offset;
};

tamsel_status discard(void *, const void *, size_t, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}
tamsel_status any_item(void *, const char *, size_t, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}
tamsel_status no_more_items(void *, const tamsel_array_rewrite_context *, tamsel_array_rewrite_emit,
                            void *, tamsel_error *) {
    return TAMSEL_STATUS_OK;
}

std::vector<outcome> through_every_door(tamsel_runtime *rt) {
    std::vector<outcome> out;
    tamsel_error e;
    auto note = [&](const char *door, tamsel_status st, const tamsel_error &err) {
        out.push_back({door, st, st ? err.message : "", st ? err.offset : 0});
    };
    note("validate", tamsel_validate_buffer(rt, any_value.data(), any_value.size(), &e), e);
    rec r{};
    note("parse", tamsel_parse_buffer(rt, rec_map(), &r, mapped.data(), mapped.size(), &e), e);
    tamsel_cleanup(rec_map(), &r);
    tamsel_value_visitor v = tamsel_default_value_visitor();
    note("visit",
         tamsel_visit_value_buffer(rt, any_value.data(), any_value.size(), &v, nullptr, &e), e);

    tamsel_buffer_reader br;
    tamsel_buffer_reader_init(&br, mapped.data(), mapped.size());
    tamsel_stream *stream =
        tamsel_stream_open_reader(rt, rec_map(), tamsel_buffer_reader_read, &br, nullptr);
    const tamsel_stream_result sr = tamsel_stream_next(stream, &r, &e);
    note("object stream", sr == TAMSEL_STREAM_ERROR ? e.code : 0, e);
    tamsel_stream_close(stream);
    tamsel_cleanup(rec_map(), &r);

    tamsel_array_stream *items = tamsel_array_stream_open_push(rt, nullptr, nullptr);
    tamsel_status st = tamsel_array_stream_push_string_items(
        items, any_value.data(), any_value.size(), any_item, nullptr, &e);
    if (st == TAMSEL_STATUS_OK)
        st = tamsel_array_stream_finish_string_items(items, any_item, nullptr, &e);
    note("array stream", st, e);
    tamsel_array_stream_close(items);
    // A root key on the way to the selected array: its 8th byte cuts a sequence short.
    const std::string keyed = "{\"item\xC3s\":1,\"items\":[]}";
    items = tamsel_array_stream_open_push(rt, "items", nullptr);
    st = tamsel_array_stream_push_string_items(items, keyed.data(), keyed.size(), any_item, nullptr,
                                               &e);
    note("array stream root key", st, e);
    tamsel_array_stream_close(items);

    tamsel_sse *sse = tamsel_sse_open(nullptr, nullptr);
    const std::string event = "data: " + mapped + "\n\n";
    note("SSE JSON",
         tamsel_sse_push_json(rt, sse, rec_map(), &r, event.data(), event.size(), nullptr, nullptr,
                              nullptr, &e),
         e);
    tamsel_sse_close(sse);
    tamsel_cleanup(rec_map(), &r);

    tamsel_writer w;
    tamsel_writer_value_stream vs;
    tamsel_writer_value_stream_init(&vs);
    st = tamsel_writer_init_sink(rt, &w, discard, nullptr, &e);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_value_stream_open(&vs, &w, &e);
    if (st == TAMSEL_STATUS_OK)
        st = tamsel_writer_value_stream_push(&vs, any_value.data(), any_value.size(), &e);
    if (st == TAMSEL_STATUS_OK) st = tamsel_writer_value_stream_close(&vs, &e);
    note("writer value stream", st, e);
    tamsel_writer_value_stream_cleanup(&vs);
    tamsel_writer_cleanup(&w);

    tamsel_value_rewrite_selector_options vo{};
    vo.selector = "x";
    vo.action = TAMSEL_VALUE_REWRITE_KEEP;
    note("value rewrite",
         tamsel_value_rewrite_selector_buffer(rt, any_value.data(), any_value.size(), discard,
                                              nullptr, &vo, &e),
         e);
    tamsel_array_rewrite_options ao{};
    ao.array_end_callback = no_more_items;
    tamsel_buffer_reader_init(&br, any_value.data(), any_value.size());
    note("array rewrite",
         tamsel_array_rewrite_reader(rt, "", tamsel_buffer_reader_read, &br, discard, nullptr, &ao,
                                     &e),
         e);

    tamsel_curl_parse curl;
    std::memset(&curl, 0, sizeof curl);
    st = tamsel_curl_parse_init(&curl, rt, rec_map(), &r);
    std::string body = mapped;
    if (st == TAMSEL_STATUS_OK &&
        tamsel_curl_write_callback(body.data(), 1, body.size(), &curl) != body.size())
        st = curl.error.code;
    if (st == TAMSEL_STATUS_OK) st = tamsel_curl_parse_finish(&curl);
    note("curl parse", st, curl.error);
    tamsel_curl_parse_cleanup(&curl);
    tamsel_cleanup(rec_map(), &r);
    return out;
}

} // namespace

TEST(RuntimeUtf8Check, EveryDoorFollowsTheRuntime) {
    tamsel_runtime *rt = tamsel_new(nullptr, nullptr);
    for (const outcome &o : through_every_door(rt))
        EXPECT_EQ(o.status, 0u) << o.door << ": " << o.message;

    // Opened before the check is turned on: the stream keeps what it was opened with.
    const std::string two = mapped + mapped;
    tamsel_buffer_reader br;
    tamsel_buffer_reader_init(&br, two.data(), two.size());
    tamsel_stream *before =
        tamsel_stream_open_reader(rt, rec_map(), tamsel_buffer_reader_read, &br, nullptr);

    tamsel_error e;
    ASSERT_EQ(tamsel_set_utf8_check(rt, 1, &e), 0u);
    for (const outcome &o : through_every_door(rt)) {
        EXPECT_EQ(o.status, TAMSEL_STATUS_INVALID_JSON) << o.door;
        EXPECT_EQ(o.message, o.door == "array stream root key" ? "invalid UTF-8 in key"
                                                               : "invalid UTF-8 in string")
            << o.door;
        EXPECT_EQ(o.offset, 8u) << o.door;
    }
    rec r{};
    EXPECT_EQ(tamsel_stream_next(before, &r, &e), TAMSEL_STREAM_ITEM) << e.message;
    tamsel_stream_close(before);
    tamsel_cleanup(rec_map(), &r);

    ASSERT_EQ(tamsel_set_utf8_check(rt, 0, &e), 0u);
    for (const outcome &o : through_every_door(rt))
        EXPECT_EQ(o.status, 0u) << o.door << ": " << o.message;
    tamsel_free(rt);
    EXPECT_EQ(tamsel_set_utf8_check(rt, 1, &e), TAMSEL_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(e.message, "tamsel runtime is required");
}

// The runtime's method table. Each slot forwards to the public operation of the same name,
// taking the runtime first; slots of operations not provided yet stay NULL.
#include "core/internal.hpp"

#include <cstring>

void tamsel__fill_runtime_methods(tamsel_runtime_methods *m) {
    std::memset(m, 0, sizeof *m);
    m->parse_cstr = tamsel_parse_cstr;
    m->parse_buffer = tamsel_parse_buffer;
    m->parse_reader = tamsel_parse_reader;
    m->parse_filep = tamsel_parse_filep;
    m->parse_path = tamsel_parse_path;
    m->validate_buffer = tamsel_validate_buffer;
    m->validate_cstr = tamsel_validate_cstr;
    m->validate_reader = tamsel_validate_reader;
    m->validate_filep = tamsel_validate_filep;
    m->validate_path = tamsel_validate_path;
    m->visit_value_buffer = tamsel_visit_value_buffer;
    m->visit_value_cstr = tamsel_visit_value_cstr;
    m->visit_value_reader = tamsel_visit_value_reader;
    m->visit_value_filep = tamsel_visit_value_filep;
    m->visit_value_path = tamsel_visit_value_path;
    m->visit_value_fd = tamsel_visit_value_fd;
    m->init = tamsel_init;
    m->reset = tamsel_reset;
    m->cleanup = [](tamsel_runtime *, const tamsel_map *map, void *dst) {
        tamsel_cleanup(map, dst);
    };
    m->stream_open_reader = tamsel_stream_open_reader;
    m->stream_open_filep = tamsel_stream_open_filep;
    m->stream_open_path = tamsel_stream_open_path;
    m->stream_open_fd = tamsel_stream_open_fd;
    m->array_stream_open_reader = tamsel_array_stream_open_reader;
    m->array_stream_open_filep = tamsel_array_stream_open_filep;
    m->array_stream_open_path = tamsel_array_stream_open_path;
    m->array_stream_open_fd = tamsel_array_stream_open_fd;
    m->array_stream_open_push = tamsel_array_stream_open_push;
    m->json_value_init = tamsel_json_value_init;
    m->json_value_cleanup = [](tamsel_runtime *, tamsel_json_value *value) {
        tamsel_json_value_cleanup(value);
    };
    // The spooled initialisers already take the runtime first: the slots are the functions.
    m->spooled_init = tamsel_spooled_init;
    m->spooled_init_class = tamsel_spooled_init_class;
    m->array_rewrite_reader = tamsel_array_rewrite_reader;
    m->array_rewrite_reader_to_filep = tamsel_array_rewrite_reader_to_filep;
    m->array_rewrite_reader_to_fd = tamsel_array_rewrite_reader_to_fd;
    m->array_rewrite_filep = tamsel_array_rewrite_filep;
    m->array_rewrite_filep_to_filep = tamsel_array_rewrite_filep_to_filep;
    m->array_rewrite_fd = tamsel_array_rewrite_fd;
    m->array_rewrite_fd_to_fd = tamsel_array_rewrite_fd_to_fd;
    m->array_rewrite_path = tamsel_array_rewrite_path;
    m->value_rewrite_reader = tamsel_value_rewrite_reader;
    m->value_rewrite_buffer = tamsel_value_rewrite_buffer;
    m->value_rewrite_filep = tamsel_value_rewrite_filep;
    m->value_rewrite_fd = tamsel_value_rewrite_fd;
    m->value_rewrite_path = tamsel_value_rewrite_path;
    m->value_rewrite_selector_reader = tamsel_value_rewrite_selector_reader;
    m->value_rewrite_selector_buffer = tamsel_value_rewrite_selector_buffer;
    m->value_rewrite_selector_filep = tamsel_value_rewrite_selector_filep;
    m->value_rewrite_selector_fd = tamsel_value_rewrite_selector_fd;
    m->value_rewrite_selector_path = tamsel_value_rewrite_selector_path;
    m->generator_init = tamsel_generator_init;
    m->writer_init_sink = tamsel_writer_init_sink;
    m->write_json_string_sink = tamsel_write_json_string_sink;
    m->write_json_string_buffer_sink = tamsel_write_json_string_buffer_sink;
    m->write_json_string_spooled_sink = tamsel_write_json_string_spooled_sink;
    m->serialize_sink = tamsel_serialize_sink;
    m->serialize_buffer = tamsel_serialize_buffer;
    m->serialize_alloc = tamsel_serialize_alloc;
    m->serialize_owned = tamsel_serialize_owned;
    m->serialize_filep = tamsel_serialize_filep;
    m->serialize_path = tamsel_serialize_path;
    m->serialize_jsonl_sink = tamsel_serialize_jsonl_sink;
    m->serialize_jsonl_buffer = tamsel_serialize_jsonl_buffer;
    m->serialize_jsonl_alloc = tamsel_serialize_jsonl_alloc;
    m->serialize_jsonl_owned = tamsel_serialize_jsonl_owned;
    m->serialize_jsonl_filep = tamsel_serialize_jsonl_filep;
    m->serialize_jsonl_path = tamsel_serialize_jsonl_path;
    // The curl initialisers take their record first: the slots move the runtime to the front.
    m->curl_parse_init = [](tamsel_runtime *runtime, tamsel_curl_parse *record,
                            const tamsel_map *map, void *dst) {
        return tamsel_curl_parse_init(record, runtime, map, dst);
    };
    m->curl_array_parse_init = [](tamsel_runtime *runtime, tamsel_curl_array_parse *record,
                                  const char *path, const tamsel_map *item_map, void *item_dst,
                                  tamsel_array_item_callback callback, void *user) {
        return tamsel_curl_array_parse_init(record, runtime, path, item_map, item_dst, callback,
                                            user);
    };
    m->curl_string_array_parse_init = [](tamsel_runtime *runtime,
                                         tamsel_curl_string_array_parse *record, const char *path,
                                         const tamsel_string_chunk_handler *handler, void *user) {
        return tamsel_curl_string_array_parse_init(record, runtime, path, handler, user);
    };
    m->curl_string_items_parse_init = [](tamsel_runtime *runtime,
                                         tamsel_curl_string_items_parse *record, const char *path,
                                         tamsel_array_string_item_callback callback, void *user) {
        return tamsel_curl_string_items_parse_init(record, runtime, path, callback, user);
    };
    m->curl_upload_init = [](tamsel_runtime *runtime, tamsel_curl_upload *record,
                             const tamsel_map *map, const void *src) {
        return tamsel_curl_upload_init(record, runtime, map, src);
    };
    m->free = tamsel_free;
}

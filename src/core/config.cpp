// Default configuration and the default option records derived from it.
#include "core/internal.hpp"

namespace {

constexpr uint64_t default_spool_memory_limit = 65536;
constexpr uint64_t default_spool_max_bytes = 10485760;

} // namespace

extern "C" tamsel_spool_options tamsel__default_spool_options(void) {
    return {default_spool_memory_limit, default_spool_max_bytes, nullptr};
}

extern "C" tamsel_parse_options tamsel__default_parse_options(void) {
    return {1, 1, 64, 131072, 1048576, nullptr, 0, nullptr};
}

extern "C" tamsel_value_limits tamsel__default_value_limits(void) {
    return {64, 1048576, 256, 65536, 0};
}

extern "C" tamsel_write_options tamsel__default_write_options(void) {
    return {0, 0, nullptr, 8388608};
}

extern "C" tamsel_config tamsel_default_config(void) {
    tamsel_config c{};
    c.max_parse_bytes = 1048576;
    c.max_string_bytes = 131072;
    c.max_depth = 64;
    c.value_max_total_bytes = 0;
    c.value_max_string_bytes = 1048576;
    c.value_max_key_bytes = 65536;
    c.value_max_number_bytes = 256;
    c.value_max_depth = 64;
    c.init_destination = 1;
    c.reject_duplicates = 1;
    c.overflow_policy = 0;
    c.pretty = 0;
    c.max_output_bytes = 8388608;
    for (auto &spool : c.spool_classes)
        spool = tamsel__default_spool_options();
    c.fixed_string_scratch = nullptr;
    c.fixed_string_scratch_size = 0;
    c.allocator = nullptr;
    c.magic = TAMSEL_CONFIG_MAGIC;
    return c;
}

// The public header alone, compiled as C++11 and C++20: its records and the one-line field
// declarations (positional, so that they compile in every C++ the header serves).
#include "tamsel.h"

#include <type_traits>

static_assert(std::is_standard_layout<tamsel_error>::value, "plain C record");
static_assert(std::is_trivially_copyable<tamsel_runtime>::value, "plain C record");

int tamsel_header_cxx_check() {
    tamsel_error error;
    tamsel_error_init(&error);
    tamsel_runtime *runtime = tamsel_new(nullptr, &error);
    tamsel_free(runtime);
    return static_cast<int>(error.code);
}

struct cxx_record {
    int64_t id;
    char code[4];
    tamsel_string_array tags;
    tamsel_json_value raw;
};
static const tamsel_field cxx_fields[] = {
    TAMSEL_MEMBER_I64(cxx_record, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_AS(FIXED_STRING, "cc", cxx_record, code, TAMSEL_OVERFLOW_TRUNCATE, 0),
    TAMSEL_MEMBER_STRING_ARRAY(cxx_record, tags, 0),
    TAMSEL_MEMBER_JSON_VALUE(cxx_record, raw, TAMSEL_FIELD_CAPTURE),
};
TAMSEL_DEFINE_MAP(cxx_map, cxx_record, cxx_fields);

int tamsel_header_cxx_map_check() {
    return static_cast<int>(cxx_map.field_count + cxx_fields[1].capacity);
}

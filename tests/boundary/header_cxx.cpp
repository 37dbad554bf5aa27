// The public header alone, compiled as C++11.
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

// Test support: a value visitor that records every event into one compact string, with
// string and key chunks concatenated, so that two walks can be compared byte for byte.
//   {  }  [  ]   k<bytes>;   s<bytes>;   n<token>;   T  F  N
#pragma once

#include "tamsel.h"

#include <string>

namespace tamsel_test {

struct event_log {
    std::string events;
    size_t chunks = 0; // string and key chunk calls, to observe chunking

    static tamsel_value_visitor visitor();
};

// Reader over a string handing out `step` bytes a call (0 = random 1..4096 from `seed`).
struct chunked_reader {
    const std::string *text;
    size_t pos = 0;
    size_t step = 1;
    unsigned seed = 1;
    size_t empty_between = 0; // empty results (no eof, no would_block) before each chunk
    size_t empties_left = 0;

    static tamsel_read_result read(void *user, void *buffer, size_t capacity);
};

} // namespace tamsel_test

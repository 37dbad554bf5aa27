// JSON value holders: tamsel_json_value_set_buffer, then write_to_sink.
// Invariants: set_buffer accepts every text that RapidJSON accepts (numbers left unconverted,
// UTF-8 checked, no NUL bytes: RapidJSON reads a NUL as the end of its input) and reports every
// failure as invalid JSON at a position inside the input, leaving the holder's previous value in
// place. After success the holder holds the input with the whitespace outside strings removed,
// write_to_sink writes exactly that, tamsel_validate_buffer accepts it (unless the validator's
// own workspace cannot hold its nesting, or the text has an unpaired surrogate escape: holders
// check escapes by the grammar and pass them on as written, the validator decodes them and
// refuses unpaired halves), RapidJSON judges it as it judged the input, and
// set_buffer of the output stores the same bytes again. The holder's allocator ends with no
// live block.
#include "fuzz_support.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace {

template <unsigned Flags> bool rapidjson_accepts(const std::string &text) {
    // The memory stream directly: RapidJSON's encoded stream would skip a byte order mark, and
    // does so byte by byte, so that a lone 0xBB or 0xEF in front of a value was not seen.
    rapidjson::MemoryStream is(text.data(), text.size());
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    constexpr unsigned base =
        rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    return !reader.Parse<base | Flags>(is, handler).IsError();
}

// The text with the whitespace outside strings removed, for a text that is valid JSON.
std::string compacted(const std::string &text) {
    std::string out;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (fuzz::is_json_whitespace(static_cast<uint8_t>(c))) {
            continue;
        }
        out += c;
    }
    return out;
}

tamsel_runtime *validator() {
    static tamsel_runtime *rt = [] {
        tamsel_config c = tamsel_default_config();
        c.max_depth = 0; // only the workspace limits nesting
        c.max_string_bytes = 0;
        c.max_parse_bytes = 0;
        tamsel_error e;
        tamsel_runtime *made = tamsel_new(&c, &e);
        FUZZ_CHECK(made != nullptr, "tamsel_new failed: %s", e.message);
        return made;
    }();
    return rt;
}

std::string held(const tamsel_json_value &v) {
    FUZZ_CHECK(v.kind == TAMSEL_JSON_BUFFER && v.data != nullptr && v.data[v.len] == '\0',
               "holder is not a NUL-terminated buffer");
    return std::string(v.data, v.len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    fuzz::counting_allocator alloc;
    tamsel_json_value value;
    tamsel_json_value_init_with_allocator(&value, alloc.get());
    tamsel_error e;
    FUZZ_CHECK(tamsel_json_value_set_buffer(&value, "[ 1 ]", 5, &e) == 0, "%s", e.message);
    FUZZ_CHECK(held(value) == "[1]", "'[ 1 ]' stored as '%s'", held(value).c_str());

    const tamsel_status st = tamsel_json_value_set_buffer(&value, data, size, &e);
    FUZZ_CHECK(e.code == st, "returned %u, error record says %u", st, e.code);
    const bool has_nul = input.find('\0') != std::string::npos;
    if (!has_nul && rapidjson_accepts<rapidjson::kParseValidateEncodingFlag>(input)) {
        FUZZ_CHECK(st == 0, "RapidJSON accepts what set_buffer rejects: %s",
                   fuzz::describe(st, e).c_str());
    }
    if (st != 0) {
        FUZZ_CHECK(st == TAMSEL_STATUS_INVALID_JSON, "%s", fuzz::describe(st, e).c_str());
        FUZZ_CHECK(e.offset <= size && e.message[0] != '\0', "%s", fuzz::describe(st, e).c_str());
        FUZZ_CHECK(held(value) == "[1]", "a failed set_buffer changed the holder to '%s'",
                   held(value).c_str());
    } else {
        const std::string stored = held(value);
        FUZZ_CHECK(stored == compacted(input), "stored '%s', expected '%s'", stored.c_str(),
                   compacted(input).c_str());
        std::string written;
        tamsel_status wst =
            tamsel_json_value_write_to_sink(&value, fuzz::append_sink, &written, &e);
        FUZZ_CHECK(wst == 0, "write_to_sink: %s", fuzz::describe(wst, e).c_str());
        FUZZ_CHECK(written == stored, "wrote '%s' for '%s'", written.c_str(), stored.c_str());

        tamsel_error ve;
        tamsel_status vst =
            tamsel_validate_buffer(validator(), written.data(), written.size(), &ve);
        const bool surrogate =
            vst == TAMSEL_STATUS_INVALID_JSON && std::strstr(ve.message, "surrogate") != nullptr;
        FUZZ_CHECK(vst == 0 || vst == TAMSEL_STATUS_ALLOCATION_FAILED || surrogate ||
                       (vst == TAMSEL_STATUS_OVERFLOW && std::strstr(ve.message, "workspace")),
                   "the validator rejects the output: %s", fuzz::describe(vst, ve).c_str());
        if (!has_nul) {
            FUZZ_CHECK(rapidjson_accepts<0>(written) == rapidjson_accepts<0>(input),
                       "RapidJSON judges the output differently from the input");
            FUZZ_CHECK(rapidjson_accepts<rapidjson::kParseValidateEncodingFlag>(written) ==
                           rapidjson_accepts<rapidjson::kParseValidateEncodingFlag>(input),
                       "RapidJSON judges the output's encoding differently from the input's");
        }

        tamsel_json_value again;
        tamsel_json_value_init_with_allocator(&again, alloc.get());
        wst = tamsel_json_value_set_buffer(&again, written.data(), written.size(), &e);
        FUZZ_CHECK(wst == 0, "set_buffer of the output: %s", fuzz::describe(wst, e).c_str());
        FUZZ_CHECK(held(again) == written, "not a fixed point: '%s' became '%s'", written.c_str(),
                   held(again).c_str());
        tamsel_json_value_cleanup(&again);
    }
    tamsel_json_value_cleanup(&value);
    FUZZ_CHECK(alloc.live_blocks() == 0 && alloc.stats.current_bytes == 0,
               "%zu blocks left after cleanup", alloc.live_blocks());
    return 0;
}

// Test support for duplicate-key checks over packed text: a record whose members, nested values
// and array items use one-letter keys, and every copy of a document with one such key renamed to
// each of the record's letters, so that a key repeats at every place a check must hear it.
#pragma once

#include <string>

namespace tamsel_test {

inline const std::string packed_record =
    R"({"i":12,"v":"abcde","o":{"k":[0,{"x":1,"y":{}}],"m":true},"k":5,)"
    R"("a":[{"p":1,"q":[]},{"p":2}],"t":null})";

// Calls each(i, name, json) for every one-letter key of doc, at offset i, renamed to each letter.
template <typename Each> void each_key_renamed(const std::string &doc, Each each) {
    for (size_t i = 1; i + 2 < doc.size(); ++i) {
        if (doc[i - 1] != '"' || doc.compare(i + 1, 2, "\":") != 0) continue;
        for (char name : std::string("ivokxymapqt")) {
            std::string json = doc;
            json[i] = name;
            each(i, name, json);
        }
    }
}

} // namespace tamsel_test

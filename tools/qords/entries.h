// Entries as qords prints them: copied out of a result set, so that the writers (LDIF, JSON) work
// on plain data and never on the module's records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qords {

// How the values of an attribute are read from the module: as text (the bytes received), as
// binary (the value's Base64 text decoded), or as one of the module's numbers.
enum class View { text, binary, int32, long32, short16, float32, float64 };

struct Value {
    View view = View::text;
    std::string bytes;    // text and binary views
    int32_t integer = 0;  // int32, long32, short16
    double real = 0;      // float32, float64 (float32 holds a value rounded to single precision)
};

struct Attribute {
    std::string name;
    std::vector<Value> values;
};

struct Entry {
    std::string dn;
    std::vector<Attribute> attributes;
};

// The text of a number view as both writers print it: decimal integers; for floating values the
// shortest text that reads back to the same number ("nan", "inf", "-inf" when not finite).
std::string number_text(const Value &value);

}  // namespace qords

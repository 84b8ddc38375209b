// Attributes to send: parsed from ATTR=VALUE arguments, and built into the module's records with
// dsmkatt (one list per value, so that each value keeps its own kind) gathered into attribute
// records of qords' own, which dsreg and dsmodify only read.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "entries.h"
#include "qorldap/qorldap.hpp"

namespace qords {

// One value with the kind the module is to send it as: text as it is, a number as its decimal
// text, bytes (View::binary) as Base64 text.
struct TypedValue {
    View view = View::text;
    std::string bytes;    // text and binary
    int32_t integer = 0;  // int32, long32, short16
    double real = 0;      // float32, float64
};

struct AttributeInput {
    std::string name;
    std::vector<TypedValue> values;
};

// Parses one ATTR=VALUE argument: ATTR=TEXT, ATTR:int=N (also :long, :short), ATTR:float=X (also
// :double), ATTR:bin=@FILE, ATTR::=BASE64. UsageError for anything malformed: an unknown type, a
// number out of range, an unreadable file, invalid Base64.
std::pair<std::string, TypedValue> parse_assignment(const std::string &argument);

// Groups assignments by attribute name (without regard to case), in the order of first use.
std::vector<AttributeInput> group_assignments(const std::vector<std::string> &arguments);

// The attribute records of one request. Lives no longer than the session it was made on.
class AttributeRecords {
public:
    explicit AttributeRecords(const qorldap::Session &session) : session_(session) {}
    AttributeRecords(const AttributeRecords &) = delete;
    AttributeRecords &operator=(const AttributeRecords &) = delete;

    // Builds one attribute (no values: an attribute record without values, as a delete of the
    // whole attribute sends). Null when the session's pool has no memory.
    dsatt *add(const AttributeInput &input);

    // The attributes built so far, null-terminated (for dsent::de_atts).
    dsatt **all();

private:
    const qorldap::Session &session_;
    std::deque<qorldap::AttributeList> lists_;
    std::deque<std::string> names_;
    std::deque<std::vector<dsval *>> values_;
    std::deque<dsatt> records_;
    std::vector<dsatt *> pointers_;
};

}  // namespace qords

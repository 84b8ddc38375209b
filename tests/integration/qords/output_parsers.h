// Readers of qords' output written for the tests alone, independent of qords' own code, so that
// a fault in its writers is not mirrored by the same fault in a reader.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qordstest {

// An entry read back from LDIF or JSON: the DN and every (attribute, value) pair in order.
// Values of JSON {"base64": ...} objects are decoded; JSON numbers keep their text.
struct ParsedEntry {
    std::string dn;
    std::vector<std::pair<std::string, std::string>> values;
    // The values of `attribute` (any case), in order.
    std::vector<std::string> get(const std::string &attribute) const;
};

// Reads LDIF as qords writes it; throws std::runtime_error for anything a reader of RFC 2849
// would reject, for lines longer than 76 characters (qords folds them), for a version line
// anywhere but at the start, and for a record not ended by an empty line (so that outputs join).
std::vector<ParsedEntry> parse_ldif(const std::string &text);

// Reads qords' JSON: an array of {"dn": ..., "attributes": {...}}; throws std::runtime_error
// for invalid JSON or another shape.
std::vector<ParsedEntry> parse_json(const std::string &text);

// Standard Base64 decoding (throws on invalid text).
std::string decode_base64(const std::string &text);

}  // namespace qordstest

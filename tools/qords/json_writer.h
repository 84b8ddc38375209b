// JSON output: an array of {"dn": TEXT, "attributes": {NAME: [VALUE, ...]}} in the server's order.
// A text value that is valid UTF-8 is a JSON string; other bytes, and every binary view, are
// {"base64": TEXT}; number views are JSON numbers (null when not finite).
#pragma once

#include <string>
#include <string_view>

#include "entries.h"

namespace qords {

// True when `bytes` is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool valid_utf8(std::string_view bytes);

// `text` (valid UTF-8) as a quoted JSON string.
std::string json_string(std::string_view text);

// `text` of any bytes as a quoted JSON string: as it is when it is UTF-8, else with every byte
// that is not part of a valid sequence replaced by U+FFFD. For DNs and attribute names (a key
// must be a string; servers send UTF-8 names in practice) and the texts qords echoes.
std::string json_text_string(std::string_view text);

// One JSON array of entries, written as they come so that no text of the whole array is ever
// held: element() gives what goes out for the next entry (the array's start or the separator,
// then the entry), end() what ends the array, with a line break ("[]" when no entry came).
class JsonArrayWriter {
public:
    std::string element(const Entry &entry);
    std::string end() const;

private:
    size_t elements_ = 0;
};

}  // namespace qords

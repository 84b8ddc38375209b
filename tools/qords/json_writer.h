// JSON output: an array of {"dn": TEXT, "attributes": {NAME: [VALUE, ...]}} in the server's order.
// A text value that is valid UTF-8 is a JSON string; other bytes, and every binary view, are
// {"base64": TEXT}; number views are JSON numbers (null when not finite).
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The JSON text of `entries`, ending with a line break ("[]" for none).
std::string json_text(const std::vector<Entry> &entries);

}  // namespace qords

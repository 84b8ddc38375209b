// LDIF output (RFC 2849): a version line, then one record per entry, records separated by an
// empty line. A value (or DN) that is not a safe string, because it holds a byte outside
// printable ASCII, starts with a blank, ':' or '<', or ends with a blank, is written as
// "name:: BASE64"; lines longer than 76 characters are folded (continued after a line break and
// one blank).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "entries.h"

namespace qords {

// True when `value` can be written after "name: " as it is: a safe string of RFC 2849 without
// control characters.
bool ldif_safe(std::string_view value);

// One "name: value" or "name:: BASE64" line, folded, with its final line break.
std::string ldif_line(std::string_view name, std::string_view value);

// The whole LDIF text of `entries`; empty for no entries.
std::string ldif_text(const std::vector<Entry> &entries);

}  // namespace qords

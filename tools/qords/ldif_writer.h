// LDIF output (RFC 2849): one record per entry, each ended by an empty line, so that outputs
// joined together are LDIF still; the version line comes only where a file starts. A value (or
// DN) that is not a safe string, because it holds a byte outside
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

// The version line that starts an LDIF file, with the empty line after it.
std::string_view ldif_version_line();

// The record of one entry: its lines and the empty line that ends it.
std::string ldif_record(const Entry &entry);

}  // namespace qords

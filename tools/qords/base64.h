// Base64 (RFC 4648 alphabet, with padding) for the bytes qords reads and writes: LDIF values,
// JSON values that are not UTF-8, and binary values given on the command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qords {

// The Base64 text of `bytes`, on one line.
std::string base64_encode(std::string_view bytes);

// The bytes of Base64 `text`. Blanks, tabs and line breaks between the characters are ignored;
// any other character outside the alphabet, a misplaced '=' or a truncated quantum makes the
// text invalid (nullopt), so a mistyped value is never stored as something else.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace qords

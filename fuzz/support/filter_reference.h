// The string filter rules read plainly, as a second encoder to hold the module's against: the
// same text must give the same filter elements, byte for byte. It follows the rules step by step
// (scanning, escapes and the literal bytes of hex escapes, item splitting, substring parts,
// extensible matches), with the nesting bound of the module (64 complex filters inside each
// other), and writes BER with shortest lengths. Strings are written as they stand: compare only
// where the string translator leaves them unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qorfuzz {

// The filter element(s) of `text`, or nullopt when the rules refuse it. `is_space` is the host's
// white-space class, which separates the filters of a list.
std::optional<std::vector<std::uint8_t>> reference_filter(const std::string &text, bool (*is_space)(unsigned char));

}  // namespace qorfuzz

// Letter case of ASCII text, as attribute names and LDIF keywords compare: without regard to
// case, and independent of the C library's locale.
#pragma once

#include <string>
#include <string_view>

namespace qords {

inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = ascii_lower(c);
    return out;
}

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

}  // namespace qords

// Values that a typed view (ATTR:int, :double, :bin ...) reads as something other than their
// text says: the module's getters read "12abc" as 12 and "abc" as 0 without a word, so qords
// tells the user which values those are.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entries.h"

namespace qords {

// Why `view` reads `text` unfaithfully ("is not a whole number", "does not fit a short", "is
// not a number", "is not Base64 text"), or nullopt when the value read stands for the text.
std::optional<std::string> misreading(View view, std::string_view text);

// The misread values of one lookup, counted per attribute, for one warning each.
class MisreadValues {
public:
    // Checks one value read through `view`; `read` is what the module's getter gave.
    void check(const std::string &dn, const std::string &attribute, View view, std::string_view text,
               const Value &read);

    // One warning line per attribute with misread values, naming the first of them:
    //   qords: WHAT: warning: employeeNumber:int: "12abc" (of cn=x,o=y) is not a whole number;
    //   printed as 12 (and 2 more values)
    // The value is quoted with bytes outside printable ASCII as \xNN, and cut when long.
    void report(std::string_view what) const;

private:
    struct Misread {
        std::string attribute;
        View view;
        std::string dn, text, reason, printed;
        size_t count;
    };
    std::vector<Misread> misread_;
};

}  // namespace qords

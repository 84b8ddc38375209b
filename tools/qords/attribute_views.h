// The ATTR arguments of search and read: an attribute name, optionally with the view its values
// are read through ("photo:bin", "employeeNumber:int").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "entries.h"

namespace qords {

struct AttributeRequest {
    std::string name;
    View view = View::text;
};

// The suffixes after ':' and their views: bin, int, long, short, float, double.
View view_named(std::string_view suffix);  // UsageError for an unknown suffix
const char *view_suffix(View view);        // "bin", "int" ...; "text" for View::text

// Parses "NAME" or "NAME:VIEW"; UsageError when the name is empty or the view unknown.
AttributeRequest parse_attribute_request(std::string_view argument);

// The attribute names to ask the server for (each once, in order), and the view of a returned
// attribute (text when it was not asked for with a view). Names compare without regard to case.
class AttributeSelection {
public:
    explicit AttributeSelection(const std::vector<std::string> &arguments);

    bool all() const { return requests_.empty(); }
    std::vector<std::string> names() const;
    View view_of(std::string_view attribute) const;

private:
    std::vector<AttributeRequest> requests_;
};

}  // namespace qords

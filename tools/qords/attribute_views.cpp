#include "attribute_views.h"

#include "ascii_case.h"
#include "usage_error.h"

namespace qords {

View view_named(std::string_view suffix) {
    if (suffix == "bin") return View::binary;
    if (suffix == "int") return View::int32;
    if (suffix == "long") return View::long32;
    if (suffix == "short") return View::short16;
    if (suffix == "float") return View::float32;
    if (suffix == "double") return View::float64;
    throw UsageError("unknown value type \":" + std::string(suffix) + "\" (bin, int, long, short, float or double)");
}

const char *view_suffix(View view) {
    switch (view) {
    case View::text: return "text";
    case View::binary: return "bin";
    case View::int32: return "int";
    case View::long32: return "long";
    case View::short16: return "short";
    case View::float32: return "float";
    case View::float64: return "double";
    }
    return "text";
}

AttributeRequest parse_attribute_request(std::string_view argument) {
    AttributeRequest request;
    const size_t colon = argument.find(':');
    request.name = std::string(argument.substr(0, colon));
    if (request.name.empty()) throw UsageError("\"" + std::string(argument) + "\" names no attribute");
    if (colon != std::string_view::npos) request.view = view_named(argument.substr(colon + 1));
    return request;
}

AttributeSelection::AttributeSelection(const std::vector<std::string> &arguments) {
    for (const std::string &argument : arguments) {
        AttributeRequest request = parse_attribute_request(argument);
        for (const AttributeRequest &earlier : requests_)
            if (equal_ignoring_case(earlier.name, request.name) && earlier.view != request.view)
                throw UsageError("attribute " + request.name + " is asked for with two different types");
        requests_.push_back(std::move(request));
    }
}

std::vector<std::string> AttributeSelection::names() const {
    std::vector<std::string> names;
    for (const AttributeRequest &request : requests_) {
        bool seen = false;
        for (const std::string &name : names) seen = seen || equal_ignoring_case(name, request.name);
        if (!seen) names.push_back(request.name);
    }
    return names;
}

View AttributeSelection::view_of(std::string_view attribute) const {
    for (const AttributeRequest &request : requests_)
        if (equal_ignoring_case(request.name, attribute)) return request.view;
    return View::text;
}

}  // namespace qords

#include "attribute_lists.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

#include "ascii_case.h"
#include "attribute_views.h"
#include "base64.h"
#include "usage_error.h"

namespace qords {
namespace {

int32_t whole_number(const std::string &argument, std::string_view text, int32_t low, int32_t high) {
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError("\"" + argument + "\": the value must be a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high));
    return value;
}

double fraction(const std::string &argument, std::string_view text, double limit) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || std::fabs(value) > limit)
        throw UsageError("\"" + argument + "\": the value must be a finite decimal number");
    return value;
}

std::string file_bytes(const std::string &argument, std::string_view value) {
    if (value.empty() || value.front() != '@')
        throw UsageError("\"" + argument + "\": a :bin value is @FILE, the file whose bytes are stored");
    const std::string path(value.substr(1));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("\"" + argument + "\": cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw UsageError("\"" + argument + "\": cannot read " + path);
    if (bytes.view().size() > static_cast<size_t>(INT32_MAX))
        throw UsageError("\"" + argument + "\": the file is too large");
    return bytes.str();
}

int32_t kind_of(View view) {
    switch (view) {
    case View::int32: return DSVAL_INT;
    case View::long32: return DSVAL_LONG;
    case View::short16: return DSVAL_SHORT;
    case View::float32: return DSVAL_FLOAT;
    case View::float64: return DSVAL_DOUBLE;
    case View::binary: return DSVAL_BINARY;
    case View::text: return DSVAL_TEXT;
    }
    return DSVAL_TEXT;
}

}  // namespace

std::pair<std::string, TypedValue> parse_assignment(const std::string &argument) {
    const size_t equals = argument.find('=');
    if (equals == std::string::npos) throw UsageError("\"" + argument + "\" is not ATTR=VALUE");
    const std::string_view left = std::string_view(argument).substr(0, equals);
    const std::string_view text = std::string_view(argument).substr(equals + 1);
    const size_t colon = left.find(':');
    std::string name(left.substr(0, colon));
    if (name.empty()) throw UsageError("\"" + argument + "\" names no attribute");
    TypedValue value;
    if (colon == std::string_view::npos) {
        value.bytes = std::string(text);
        return {std::move(name), std::move(value)};
    }
    const std::string_view type = left.substr(colon + 1);
    if (type == ":") {
        std::optional<std::string> bytes = base64_decode(text);
        if (!bytes) throw UsageError("\"" + argument + "\": the value is not valid Base64");
        if (bytes->empty()) throw UsageError("\"" + argument + "\": the value has no bytes");
        value.view = View::binary;
        value.bytes = std::move(*bytes);
        return {std::move(name), std::move(value)};
    }
    value.view = view_named(type);
    switch (value.view) {
    case View::int32:
    case View::long32: value.integer = whole_number(argument, text, INT32_MIN, INT32_MAX); break;
    case View::short16: value.integer = whole_number(argument, text, INT16_MIN, INT16_MAX); break;
    case View::float32: value.real = fraction(argument, text, FLT_MAX); break;
    case View::float64: value.real = fraction(argument, text, DBL_MAX); break;
    case View::binary: value.bytes = file_bytes(argument, text); break;
    case View::text: break;
    }
    if (value.view == View::binary && value.bytes.empty())
        throw UsageError("\"" + argument + "\": the value has no bytes");
    return {std::move(name), std::move(value)};
}

std::vector<AttributeInput> group_assignments(const std::vector<std::string> &arguments) {
    std::vector<AttributeInput> attributes;
    for (const std::string &argument : arguments) {
        auto [name, value] = parse_assignment(argument);
        AttributeInput *group = nullptr;
        for (AttributeInput &existing : attributes)
            if (equal_ignoring_case(existing.name, name)) group = &existing;
        if (group == nullptr) group = &attributes.emplace_back(AttributeInput{std::move(name), {}});
        group->values.push_back(std::move(value));
    }
    return attributes;
}

dsatt *AttributeRecords::add(const AttributeInput &input) {
    const qorldap::Directory &directory = session_.directory();
    LDAP *ld = session_.get();
    const std::string &name = names_.emplace_back(input.name);
    std::vector<dsval *> &values = values_.emplace_back();
    for (const TypedValue &value : input.values) {
        const int32_t kind = kind_of(value.view);
        dsatt *list = nullptr;
        switch (value.view) {
        case View::text: list = directory.dsmkatt(ld, name.c_str(), 1, kind, value.bytes.c_str()); break;
        case View::int32:
        case View::long32:
        case View::short16: list = directory.dsmkatt(ld, name.c_str(), 1, kind, value.integer); break;
        case View::float32:
        case View::float64: list = directory.dsmkatt(ld, name.c_str(), 1, kind, value.real); break;
        case View::binary:
            list = directory.dsmkatt(ld, name.c_str(), 1, kind, static_cast<int32_t>(value.bytes.size()),
                                     reinterpret_cast<const unsigned char *>(value.bytes.data()));
            break;
        }
        if (list == nullptr) return nullptr;
        lists_.emplace_back(session_, list);
        values.push_back(list->da_vals[0]);
    }
    const auto count = static_cast<int32_t>(values.size());
    values.push_back(nullptr);
    dsatt &record = records_.emplace_back(dsatt{const_cast<char *>(name.c_str()), values.data(), count});
    return &record;
}

dsatt **AttributeRecords::all() {
    pointers_.clear();
    for (dsatt &record : records_) pointers_.push_back(&record);
    pointers_.push_back(nullptr);
    return pointers_.data();
}

}  // namespace qords

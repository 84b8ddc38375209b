#include "typed_reads.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "attribute_views.h"
#include "base64.h"
#include "report.h"

namespace qords {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The sign of a number text taken off; the rest must start with a digit (or a point, for
// fractions), as the module's readers want it.
std::string_view unsigned_part(std::string_view text, bool &negative) {
    negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    return text;
}

std::optional<std::string> whole_number_misreading(std::string_view text, View view) {
    bool negative = false;
    const std::string_view digits = unsigned_part(trimmed(text), negative);
    int64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9' || end != digits.data() + digits.size())
        return "is not a whole number";
    if (error != std::errc() || magnitude > INT32_MAX) return "is beyond the 32-bit numbers the module reads";
    const int64_t number = negative ? -magnitude : magnitude;
    if (view == View::short16 && (number < INT16_MIN || number > INT16_MAX)) return "does not fit a short";
    return std::nullopt;
}

std::optional<std::string> fraction_misreading(std::string_view text, View view) {
    bool negative = false;
    const std::string_view number = unsigned_part(trimmed(text), negative);
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    const bool starts_right =
        !number.empty() && ((number.front() >= '0' && number.front() <= '9') || number.front() == '.');
    if (!starts_right || end != number.data() + number.size()) return "is not a number";
    if (error != std::errc() || (view == View::float32 && std::fabs(value) > FLT_MAX)) return "is out of range";
    return std::nullopt;
}

// A value as a message may quote it: printable ASCII as it is, other bytes as \xNN (a value must
// not drive the terminal), long values cut.
std::string quoted(std::string_view text) {
    constexpr size_t kLongest = 40;
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kLongest; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            constexpr char kHex[] = "0123456789abcdef";
            out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
        }
    }
    out += text.size() > kLongest ? "\"..." : "\"";
    return out;
}

std::string printed_form(View view, const Value &read) {
    if (view == View::binary) return "decoded skipping what is not Base64";
    return "printed as " + number_text(read);
}

}  // namespace

std::optional<std::string> misreading(View view, std::string_view text) {
    switch (view) {
    case View::text: return std::nullopt;
    case View::binary:
        if (base64_decode(text)) return std::nullopt;
        return "is not Base64 text";
    case View::int32:
    case View::long32:
    case View::short16: return whole_number_misreading(text, view);
    case View::float32:
    case View::float64: return fraction_misreading(text, view);
    }
    return std::nullopt;
}

void MisreadValues::check(const std::string &dn, const std::string &attribute, View view, std::string_view text,
                          const Value &read) {
    std::optional<std::string> reason = misreading(view, text);
    if (!reason) return;
    for (Misread &known : misread_) {
        if (known.attribute == attribute && known.view == view) {
            ++known.count;
            return;
        }
    }
    misread_.push_back(Misread{attribute, view, dn, quoted(text), std::move(*reason), printed_form(view, read), 1});
}

void MisreadValues::report(std::string_view what) const {
    for (const Misread &m : misread_) {
        std::string note = "warning: " + m.attribute + ":" + view_suffix(m.view) + ": " + m.text + " (of " + m.dn +
                           ") " + m.reason + "; " + m.printed;
        if (m.count > 1)
            note += " (and " + std::to_string(m.count - 1) + " more value" + (m.count > 2 ? "s" : "") + ")";
        report_error(what, note);
    }
}

}  // namespace qords

// Decimal reading (wzifmn), independent of the C library's locale: blanks, an optional sign,
// digits with an optional decimal point, an optional exponent. The longest valid prefix counts;
// what follows it is ignored.
#include <charconv>
#include <cmath>

#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the longest prefix of [text, end) of the form digits [. digits] [e [sign] digits],
// with at least one digit before or after the point; 0 when there is none.
size_t number_prefix(const char *text, const char *end) {
    const char *p = text;
    size_t digits = 0;
    while (p < end && is_digit(*p)) {
        ++p;
        ++digits;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && is_digit(*p)) {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char *exponent = p + 1;
        if (exponent < end && (*exponent == '+' || *exponent == '-')) {
            ++exponent;
        }
        if (exponent < end && is_digit(*exponent)) {
            p = exponent;
            while (p < end && is_digit(*p)) {
                ++p;
            }
        }
    }
    return static_cast<size_t>(p - text);
}

// Sign of the decimal order of magnitude of a validated number text: above 0 for numbers of at
// least 1, below or at 0 for numbers under 1. Tells overflow from underflow.
long order_of_magnitude(const char *p, const char *end) {
    long order = 0;
    bool significant = false;
    while (p < end && is_digit(*p)) {
        significant = significant || *p != '0';
        order += significant ? 1 : 0;
        ++p;
    }
    if (p < end && *p == '.') {
        ++p;
        while (!significant && p < end && *p == '0') {
            --order;
            ++p;
        }
        while (p < end && is_digit(*p)) {
            ++p;
        }
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) {
            ++p;
        }
        long exponent = 0;
        while (p < end && is_digit(*p)) {
            exponent = exponent < 100000000L ? exponent * 10 + (*p - '0') : exponent;
            ++p;
        }
        order += negative ? -exponent : exponent;
    }
    return order;
}

}  // namespace

int32_t wzifmn_service(HostNumberRequest *request) {
    if (request == nullptr || request->value == nullptr) {
        return status(kStatusBadArgument);
    }
    *request->value = 0.0;
    if (request->text == nullptr || request->length <= 0) {
        return status(kStatusNotFound);
    }
    const char *p = request->text;
    const char *end = p + request->length;
    while (p < end && (*p == ' ' || *p == '\t')) {
        ++p;
    }
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const size_t length = number_prefix(p, end);
    if (length == 0) {
        return status(kStatusNotFound);
    }
    double value = 0.0;
    const auto [last, error] = std::from_chars(p, p + length, value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Too small rounds to zero; too large is reported, with the infinity of its sign stored.
        const bool tiny = order_of_magnitude(p, p + length) <= 0;
        value = tiny ? 0.0 : HUGE_VAL;
        *request->value = negative ? -value : value;
        return tiny ? 0 : status(kStatusOutOfRange);
    }
    if (error != std::errc() || last != p + length) {
        return status(kStatusNotFound);
    }
    *request->value = negative ? -value : value;
    return 0;
}

}  // namespace qorhost

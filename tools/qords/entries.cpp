#include "entries.h"

#include <charconv>
#include <cmath>

namespace qords {

std::string number_text(const Value &value) {
    char buffer[64];
    std::to_chars_result written{};
    switch (value.view) {
    case View::int32:
    case View::long32:
    case View::short16: written = std::to_chars(buffer, buffer + sizeof buffer, value.integer); break;
    case View::float32:
    case View::float64:
        if (std::isnan(value.real)) return "nan";
        if (std::isinf(value.real)) return value.real > 0 ? "inf" : "-inf";
        written = value.view == View::float32
                      ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value.real))
                      : std::to_chars(buffer, buffer + sizeof buffer, value.real);
        break;
    case View::text:
    case View::binary: return value.bytes;
    }
    return std::string(buffer, written.ptr);
}

}  // namespace qords

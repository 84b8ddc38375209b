// Formatting and logging services (module 30).
#include "format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "log.h"
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

constexpr long kLargestWidth = 4096;

// Reads digits or '*' at `p`; false when the number is over kLargestWidth.
bool read_count(std::string_view f, size_t &p) {
    if (p < f.size() && f[p] == '*') {
        ++p;
        return true;
    }
    long value = 0;
    while (p < f.size() && f[p] >= '0' && f[p] <= '9') {
        value = value * 10 + (f[p] - '0');
        if (value > kLargestWidth) {
            return false;
        }
        ++p;
    }
    return true;
}

// Length of the ordinary conversion directive starting at f[start] == '%', or 0 when it is not one.
size_t directive_length(std::string_view f, size_t start) {
    size_t p = start + 1;
    while (p < f.size() && std::strchr("-+ #0'", f[p]) != nullptr) {
        ++p;
    }
    if (!read_count(f, p)) {
        return 0;
    }
    if (p < f.size() && f[p] == '.') {
        ++p;
        if (!read_count(f, p)) {
            return 0;
        }
    }
    std::string_view length;
    for (const std::string_view candidate : {"hh", "ll", "h", "l", "L", "j", "z", "t"}) {
        if (f.substr(p, candidate.size()) == candidate) {
            length = candidate;
            break;
        }
    }
    p += length.size();
    if (p >= f.size()) {
        return 0;
    }
    const char conversion = f[p];
    const bool integer = std::strchr("diouxX", conversion) != nullptr;
    const bool floating = std::strchr("eEfFgGaA", conversion) != nullptr;
    const bool text = conversion == 'c' || conversion == 's';
    const bool fits = length.empty()  ? (integer || floating || text || conversion == 'p')
                      : length == "L" ? floating
                      : length == "l" ? (integer || floating || text)
                                      : integer;
    return fits && conversion != '\0' ? p + 1 - start : 0;
}

// The rest of a format as literal text of a C format.
void append_literal(std::string &out, std::string_view rest) {
    for (const char c : rest) {
        out += c;
        if (c == '%') {
            out += '%';
        }
    }
}

std::string vformat(const char *format, va_list arguments) {
    const std::string translated = c_format(format);
    va_list copy;
    va_copy(copy, arguments);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, translated.c_str(), copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<size_t>(length) < sizeof small) {
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), translated.c_str(), arguments);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

std::string c_format(const char *format) {
    std::string out;
    if (format == nullptr) {
        return out;
    }
    const std::string_view f(format);
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] != '%') {
            out += f[i];
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == 'n') {
            out += '\n';
            ++i;
            continue;
        }
        if (i + 1 < f.size() && f[i + 1] == '%') {
            out += "%%";
            ++i;
            continue;
        }
        const size_t length = directive_length(f, i);
        if (length == 0) {
            append_literal(out, f.substr(i));
            break;
        }
        out += f.substr(i, length);
        i += length - 1;
    }
    return out;
}

int32_t xpsstr_service(char *buffer, int32_t size, const char *format, ...) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    va_list arguments;
    va_start(arguments, format);
    const std::string translated = c_format(format);
    const int length = std::vsnprintf(buffer, static_cast<size_t>(size), translated.c_str(), arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < size ? length : size - 1;
}

int32_t xpslog_service(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = vformat(format, arguments);
    va_end(arguments);
    write_log(text);
    return 0;
}

int32_t xprrlog_service(int32_t, int32_t host_status) {
    char line[160];
    const auto value = static_cast<uint32_t>(host_status);
    const char *text = status_text(value);
    std::snprintf(line, sizeof line, "qorhost: host status 0x%08X%s%s", value, text != nullptr ? ": " : "",
                  text != nullptr ? text : "");
    log_line(line);
    return 0;
}

}  // namespace qorhost

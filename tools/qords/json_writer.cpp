#include "json_writer.h"

#include <cmath>
#include <cstdio>

#include "base64.h"

namespace qords {
namespace {

// Length of the UTF-8 sequence that starts at `at`, or 0 when it is malformed.
size_t sequence_length(std::string_view bytes, size_t at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xbf)) return 0;
    }
    return length;
}

std::string base64_object(std::string_view bytes) {
    return "{\"base64\": \"" + base64_encode(bytes) + "\"}";
}

std::string json_value(const Value &value) {
    switch (value.view) {
    case View::text: return valid_utf8(value.bytes) ? json_string(value.bytes) : base64_object(value.bytes);
    case View::binary: return base64_object(value.bytes);
    case View::float32:
    case View::float64:
        if (!std::isfinite(value.real)) return "null";
        return number_text(value);
    case View::int32:
    case View::long32:
    case View::short16: return number_text(value);
    }
    return "null";
}

}  // namespace

bool valid_utf8(std::string_view bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = sequence_length(bytes, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                out += escape;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string json_text_string(std::string_view text) {
    if (valid_utf8(text)) return json_string(text);
    std::string repaired;
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequence_length(text, at);
        if (length == 0) {
            repaired += "\xef\xbf\xbd";
            ++at;
        } else {
            repaired.append(text.substr(at, length));
            at += length;
        }
    }
    return json_string(repaired);
}

std::string JsonArrayWriter::element(const Entry &entry) {
    std::string out = elements_++ == 0 ? "[\n" : ",\n";
    out += "  {\n    \"dn\": " + json_text_string(entry.dn) + ",\n    \"attributes\": {";
    for (size_t a = 0; a < entry.attributes.size(); ++a) {
        const Attribute &attribute = entry.attributes[a];
        out += a == 0 ? "\n" : ",\n";
        out += "      " + json_text_string(attribute.name) + ": [";
        for (size_t v = 0; v < attribute.values.size(); ++v) {
            if (v > 0) out += ", ";
            out += json_value(attribute.values[v]);
        }
        out += ']';
    }
    out += entry.attributes.empty() ? "}\n  }" : "\n    }\n  }";
    return out;
}

std::string JsonArrayWriter::end() const {
    return elements_ == 0 ? "[]\n" : "\n]\n";
}

}  // namespace qords

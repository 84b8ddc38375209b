#include "ldif_writer.h"

#include "base64.h"

namespace qords {
namespace {

constexpr size_t kLineWidth = 76;

// `line` broken into pieces of kLineWidth characters, each continued with a line break and one
// blank (which a reader removes), ending with a line break. The lines are ASCII, so no character
// is ever split.
void append_folded(std::string &out, std::string_view line) {
    out.append(line.substr(0, kLineWidth));
    for (size_t at = kLineWidth; at < line.size(); at += kLineWidth - 1) {
        out += "\n ";
        out.append(line.substr(at, kLineWidth - 1));
    }
    out += '\n';
}

std::string_view value_text(const Value &value, std::string &scratch) {
    if (value.view == View::text || value.view == View::binary) return value.bytes;
    scratch = number_text(value);
    return scratch;
}

}  // namespace

bool ldif_safe(std::string_view value) {
    if (value.empty()) return true;
    const auto first = static_cast<unsigned char>(value.front());
    if (first == ' ' || first == ':' || first == '<') return false;
    if (value.back() == ' ') return false;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        // Control characters are allowed plain, but on a terminal they would act (an escape
        // sequence in a value must not move the cursor or recolour the output).
        if (byte < 0x20 || byte == 0x7F || byte > 127) return false;
    }
    return true;
}

std::string ldif_line(std::string_view name, std::string_view value) {
    std::string line(name);
    if (!ldif_safe(value)) {
        line += ":: ";
        line += base64_encode(value);
    } else if (value.empty()) {
        line += ':';
    } else {
        line += ": ";
        line += value;
    }
    std::string out;
    append_folded(out, line);
    return out;
}

std::string_view ldif_version_line() {
    return "version: 1\n\n";
}

std::string ldif_record(const Entry &entry) {
    std::string out = ldif_line("dn", entry.dn);
    std::string scratch;
    for (const Attribute &attribute : entry.attributes)
        for (const Value &value : attribute.values) out += ldif_line(attribute.name, value_text(value, scratch));
    out += '\n';
    return out;
}

}  // namespace qords

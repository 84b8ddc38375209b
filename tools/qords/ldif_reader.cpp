#include "ldif_reader.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>

#include "ascii_case.h"
#include "base64.h"

namespace qords {
namespace {

// The bytes a "name:< URL" line refers to; only local files ("file:///path") are read.
std::string read_url(int line, std::string_view url) {
    constexpr std::string_view kScheme = "file://";
    if (url.substr(0, kScheme.size()) != kScheme || url.size() == kScheme.size() || url[kScheme.size()] != '/')
        throw LdifError(line, "only file:///PATH URLs can be read, not \"" + std::string(url) + "\"");
    const std::string path(url.substr(kScheme.size()));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw LdifError(line, "cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw LdifError(line, "cannot read " + path);
    return bytes.str();
}

// One logical line, unfolded, as name and decoded value.
LdifLine parse_line(int number, std::string_view text) {
    LdifLine line;
    line.number = number;
    if (text == "-") {
        line.separator = true;
        return line;
    }
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw LdifError(number, "expected \"NAME: VALUE\", found \"" + std::string(text.substr(0, 40)) + "\"");
    line.name = std::string(text.substr(0, colon));
    if (!ldif_attribute_name(line.name)) throw LdifError(number, "\"" + line.name + "\" is not an attribute name");
    std::string_view rest = text.substr(colon + 1);
    char form = ' ';
    if (!rest.empty() && (rest.front() == ':' || rest.front() == '<')) {
        form = rest.front();
        rest.remove_prefix(1);
    }
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (form == ':') {
        std::optional<std::string> bytes = base64_decode(rest);
        if (!bytes) throw LdifError(number, "the value of " + line.name + " is not valid Base64");
        line.value = std::move(*bytes);
    } else if (form == '<') {
        line.value = read_url(number, rest);
    } else {
        line.value = std::string(rest);
    }
    return line;
}

// A physical line and its number.
struct PhysicalLine {
    int number;
    std::string text;
};

}  // namespace

LdifError::LdifError(int line, const std::string &message, std::string record_dn)
    : std::runtime_error("line " + std::to_string(line) + ": " + message),
      line_(line),
      message_(message),
      record_dn_(std::move(record_dn)) {}

bool LdifReader::read_line(std::string &line) {
    if (ended_) return false;
    if (!std::getline(input_, line)) {
        ended_ = true;
        if (input_.bad()) throw LdifError(line_number_ + 1, "the input cannot be read");
        return false;
    }
    ++line_number_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::optional<LdifRecord> LdifReader::next() {
    for (;;) {
        // The physical lines of one record: up to the next empty line or the end.
        std::vector<PhysicalLine> physical;
        std::string text;
        while (read_line(text)) {
            if (!text.empty()) {
                physical.push_back(PhysicalLine{line_number_, std::move(text)});
                text.clear();
            } else if (!physical.empty()) {
                break;
            }
        }
        if (physical.empty()) return std::nullopt;

        // Unfolded into logical lines; comments, with their continuations, dropped.
        LdifRecord record;
        std::string logical;
        int logical_number = 0;
        bool in_comment = false;
        auto finish_line = [&] {
            if (logical_number == 0 || in_comment) return;
            const bool first = std::exchange(at_start_, false);
            LdifLine line = parse_line(logical_number, logical);
            if (first && !line.separator && equal_ignoring_case(line.name, "version")) {
                if (line.value != "1") throw LdifError(line.number, "only LDIF version 1 is known");
                return;
            }
            if (record.lines.empty()) record.first_line = line.number;
            record.lines.push_back(std::move(line));
        };
        try {
            for (const PhysicalLine &line : physical) {
                if (line.text.front() == ' ') {
                    if (logical_number == 0) throw LdifError(line.number, "a continuation line with no line before it");
                    if (!in_comment) logical.append(line.text, 1);
                    continue;
                }
                finish_line();
                logical_number = line.number;
                in_comment = line.text.front() == '#';
                logical.assign(in_comment ? std::string() : line.text);
            }
            finish_line();
        } catch (const LdifError &error) {
            const bool named = !record.lines.empty() && equal_ignoring_case(record.lines.front().name, "dn");
            if (!named) throw;
            throw LdifError(error.line(), error.message(), record.lines.front().value);
        }
        if (!record.lines.empty()) return record;
    }
}

std::vector<LdifRecord> ldif_records(std::string_view text) {
    std::istringstream input{std::string(text)};
    LdifReader reader(input);
    std::vector<LdifRecord> records;
    while (std::optional<LdifRecord> record = reader.next()) records.push_back(std::move(*record));
    return records;
}

bool ldif_attribute_name(std::string_view name) {
    if (name.empty() || !std::isalnum(static_cast<unsigned char>(name.front()))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != ';') return false;
    return true;
}

}  // namespace qords

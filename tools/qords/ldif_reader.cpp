#include "ldif_reader.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "base64.h"

namespace qords {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

// A name of an LDIF line: an attribute description (letters, digits, '-', '.', ';') starting
// with a letter or digit.
bool valid_name(std::string_view name) {
    if (name.empty() || !std::isalnum(static_cast<unsigned char>(name.front()))) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != ';') return false;
    return true;
}

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
    if (!valid_name(line.name)) throw LdifError(number, "\"" + line.name + "\" is not an attribute name");
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

// Takes the optional "dn:" and "changetype:" lines from the front of a record.
struct RecordHead {
    std::optional<std::string> dn;
    std::optional<std::string> changetype;
    size_t body = 0;   // index of the first line after them
};

RecordHead record_head(const LdifRecord &record) {
    RecordHead head;
    const auto &lines = record.lines;
    if (head.body < lines.size() && !lines[head.body].separator && equal_ignoring_case(lines[head.body].name, "dn"))
        head.dn = lines[head.body++].value;
    if (head.body < lines.size() && !lines[head.body].separator &&
        equal_ignoring_case(lines[head.body].name, "changetype"))
        head.changetype = lower(lines[head.body++].value);
    for (size_t i = head.body; i < lines.size(); ++i) {
        if (lines[i].separator) continue;
        const std::string name = lower(lines[i].name);
        if (name == "dn") throw LdifError(lines[i].number, "a second dn line in one record");
        if (name == "control") throw LdifError(lines[i].number, "controls are not supported");
        if (name == "changetype") throw LdifError(lines[i].number, "changetype must follow the dn line");
    }
    return head;
}

std::string without_blanks_around_separators(std::string_view dn) {
    std::string out;
    for (size_t i = 0; i < dn.size(); ++i) {
        const char c = dn[i];
        if (c == ' ') {
            size_t next = i;
            while (next < dn.size() && dn[next] == ' ') ++next;
            const bool before_separator = next < dn.size() && std::string_view(",;+=").find(dn[next]) != std::string_view::npos;
            const bool after_separator = !out.empty() && std::string_view(",;+=").find(out.back()) != std::string_view::npos;
            const bool escaped = !out.empty() && out.back() == '\\';
            if ((before_separator || after_separator || out.empty() || next == dn.size()) && !escaped) {
                i = next - 1;
                continue;
            }
        }
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

LdifError::LdifError(int line, const std::string &message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line) {}

std::vector<LdifRecord> ldif_records(std::string_view text) {
    std::vector<LdifRecord> records;
    LdifRecord current;
    std::string logical;          // the logical line being assembled
    int logical_number = 0;
    bool in_comment = false;
    bool have_line = false;
    bool first_logical = true;    // the version line may only be the very first

    auto finish_line = [&] {
        if (!have_line) return;
        have_line = false;
        if (in_comment) return;
        LdifLine line = parse_line(logical_number, logical);
        if (first_logical && !line.separator && equal_ignoring_case(line.name, "version")) {
            first_logical = false;
            if (line.value != "1") throw LdifError(line.number, "only LDIF version 1 is known");
            return;
        }
        first_logical = false;
        if (current.lines.empty()) current.first_line = line.number;
        current.lines.push_back(std::move(line));
    };
    auto finish_record = [&] {
        finish_line();
        if (!current.lines.empty()) records.push_back(std::move(current));
        current = LdifRecord{};
    };

    int number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view physical = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
        if (physical.empty()) {
            finish_record();
            continue;
        }
        if (physical.front() == ' ') {
            if (!have_line) throw LdifError(number, "a continuation line with no line before it");
            if (!in_comment) logical.append(physical.substr(1));
            continue;
        }
        finish_line();
        have_line = true;
        logical_number = number;
        in_comment = physical.front() == '#';
        logical.assign(in_comment ? std::string_view() : physical);
    }
    finish_record();
    return records;
}

EntryInput ldif_entry(std::string_view text) {
    const std::vector<LdifRecord> records = ldif_records(text);
    if (records.empty()) throw LdifError(1, "no entry in the input");
    if (records.size() > 1) throw LdifError(records[1].first_line, "more than one entry; add one entry at a time");
    const LdifRecord &record = records.front();
    const RecordHead head = record_head(record);
    if (head.changetype && *head.changetype != "add")
        throw LdifError(record.first_line, "a record of changetype " + *head.changetype + " is not an entry to add");
    EntryInput entry;
    entry.dn = head.dn;
    for (size_t i = head.body; i < record.lines.size(); ++i) {
        const LdifLine &line = record.lines[i];
        if (line.separator) throw LdifError(line.number, "\"-\" belongs to change records, not to an entry");
        AttributeValues *group = nullptr;
        for (AttributeValues &existing : entry.attributes)
            if (equal_ignoring_case(existing.name, line.name)) group = &existing;
        if (group == nullptr) group = &entry.attributes.emplace_back(AttributeValues{line.name, {}});
        group->values.push_back(line.value);
    }
    if (entry.attributes.empty()) throw LdifError(record.first_line, "the entry has no attributes");
    return entry;
}

ChangeInput ldif_changes(std::string_view text) {
    ChangeInput input;
    for (const LdifRecord &record : ldif_records(text)) {
        const RecordHead head = record_head(record);
        if (head.changetype && *head.changetype != "modify")
            throw LdifError(record.first_line, "a record of changetype " + *head.changetype +
                                                   " is not a modification (only changetype: modify is read here)");
        if (head.dn) input.dns.push_back(*head.dn);
        const auto &lines = record.lines;
        size_t i = head.body;
        if (i == lines.size()) throw LdifError(record.first_line, "the record has no change");
        while (i < lines.size()) {
            const LdifLine &start = lines[i];
            Change change;
            const std::string operation = lower(start.name);
            if (start.separator) throw LdifError(start.number, "\"-\" without a change before it");
            if (operation == "add") {
                change.kind = ChangeKind::add;
            } else if (operation == "delete") {
                change.kind = ChangeKind::remove;
            } else if (operation == "replace") {
                change.kind = ChangeKind::replace;
            } else {
                throw LdifError(start.number, "expected \"add:\", \"delete:\" or \"replace:\", found \"" + start.name + ":\"");
            }
            change.attribute = start.value;
            if (!valid_name(change.attribute))
                throw LdifError(start.number, "\"" + change.attribute + "\" is not an attribute name");
            for (++i; i < lines.size() && !lines[i].separator; ++i) {
                if (!equal_ignoring_case(lines[i].name, change.attribute))
                    throw LdifError(lines[i].number, "a value of " + lines[i].name + " inside the change of " +
                                                         change.attribute + " (end each change with \"-\")");
                change.values.push_back(lines[i].value);
            }
            if (i < lines.size()) ++i;   // the "-"
            if (change.kind == ChangeKind::add && change.values.empty())
                throw LdifError(start.number, "add: " + change.attribute + " has no value");
            input.changes.push_back(std::move(change));
        }
    }
    if (input.changes.empty()) throw LdifError(1, "no change record in the input");
    return input;
}

bool same_dn(std::string_view a, std::string_view b) {
    return without_blanks_around_separators(a) == without_blanks_around_separators(b);
}

}  // namespace qords

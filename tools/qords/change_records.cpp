#include "change_records.h"

#include <utility>

#include "ascii_case.h"

namespace qords {
namespace {

// The optional "dn:" and "changetype:" lines at the front of a record.
struct RecordHead {
    std::optional<std::string> dn;
    std::optional<std::string> changetype;  // lower case
    int changetype_line = 0;
    size_t body = 0;  // index of the first line after them
};

bool named(const LdifLine &line, std::string_view name) {
    return !line.separator && equal_ignoring_case(line.name, name);
}

RecordHead record_head(const LdifRecord &record) {
    RecordHead head;
    const auto &lines = record.lines;
    if (head.body < lines.size() && named(lines[head.body], "dn")) head.dn = lines[head.body++].value;
    if (head.body < lines.size() && named(lines[head.body], "changetype")) {
        head.changetype_line = lines[head.body].number;
        head.changetype = ascii_lower(lines[head.body++].value);
    }
    for (size_t i = head.body; i < lines.size(); ++i) {
        if (named(lines[i], "dn")) throw LdifError(lines[i].number, "a second dn line in one record");
        if (named(lines[i], "control")) throw LdifError(lines[i].number, "controls are not supported");
        if (named(lines[i], "changetype")) throw LdifError(lines[i].number, "changetype must follow the dn line");
    }
    return head;
}

ChangeType change_type(const RecordHead &head, UntypedRecord untyped) {
    if (!head.changetype) return untyped == UntypedRecord::add ? ChangeType::add : ChangeType::modify;
    const std::string &name = *head.changetype;
    if (name == "add") return ChangeType::add;
    if (name == "delete") return ChangeType::remove;
    if (name == "modify") return ChangeType::modify;
    if (name == "modrdn" || name == "moddn") return ChangeType::rename;
    throw LdifError(head.changetype_line, "unknown changetype \"" + name + "\" (add, delete, modify, modrdn or moddn)");
}

std::vector<AttributeValues> entry_attributes(const LdifRecord &record, size_t from) {
    std::vector<AttributeValues> attributes;
    for (size_t i = from; i < record.lines.size(); ++i) {
        const LdifLine &line = record.lines[i];
        if (line.separator) throw LdifError(line.number, "\"-\" belongs to change records, not to an entry");
        AttributeValues *group = nullptr;
        for (AttributeValues &existing : attributes)
            if (equal_ignoring_case(existing.name, line.name)) group = &existing;
        if (group == nullptr) group = &attributes.emplace_back(AttributeValues{line.name, {}});
        group->values.push_back(line.value);
    }
    if (attributes.empty()) throw LdifError(record.first_line, "the entry has no attributes");
    return attributes;
}

// The "add:", "delete:" and "replace:" blocks of a modify record, each ended by "-" (the last
// one may end with the record).
std::vector<Change> modifications(const LdifRecord &record, size_t from) {
    const auto &lines = record.lines;
    if (from == lines.size()) throw LdifError(record.first_line, "the record has no change");
    std::vector<Change> changes;
    size_t i = from;
    while (i < lines.size()) {
        const LdifLine &start = lines[i];
        if (start.separator) throw LdifError(start.number, "\"-\" without a change before it");
        Change change;
        const std::string operation = ascii_lower(start.name);
        if (operation == "add") {
            change.kind = ChangeKind::add;
        } else if (operation == "delete") {
            change.kind = ChangeKind::remove;
        } else if (operation == "replace") {
            change.kind = ChangeKind::replace;
        } else {
            throw LdifError(start.number,
                            "expected \"add:\", \"delete:\" or \"replace:\", found \"" + start.name + ":\"");
        }
        change.attribute = start.value;
        if (!ldif_attribute_name(change.attribute))
            throw LdifError(start.number, "\"" + change.attribute + "\" is not an attribute name");
        for (++i; i < lines.size() && !lines[i].separator; ++i) {
            if (!equal_ignoring_case(lines[i].name, change.attribute))
                throw LdifError(lines[i].number, "a value of " + lines[i].name + " inside the change of " +
                                                     change.attribute + " (end each change with \"-\")");
            change.values.push_back(lines[i].value);
        }
        if (i < lines.size()) ++i;  // the "-"
        if (change.kind == ChangeKind::add && change.values.empty())
            throw LdifError(start.number, "add: " + change.attribute + " has no value");
        changes.push_back(std::move(change));
    }
    return changes;
}

// The "newrdn:", "deleteoldrdn:" and optional "newsuperior:" lines of a modrdn record.
Rename rename_of(const LdifRecord &record, size_t from) {
    Rename rename;
    bool have_rdn = false;
    bool have_flag = false;
    for (size_t i = from; i < record.lines.size(); ++i) {
        const LdifLine &line = record.lines[i];
        const std::string name = line.separator ? "-" : ascii_lower(line.name);
        bool repeated = false;
        if (name == "newrdn") {
            repeated = std::exchange(have_rdn, true);
            rename.new_rdn = line.value;
        } else if (name == "deleteoldrdn") {
            repeated = std::exchange(have_flag, true);
            if (line.value != "0" && line.value != "1")
                throw LdifError(line.number, "deleteoldrdn is 0 or 1, not \"" + line.value + "\"");
            rename.delete_old_rdn = line.value == "1";
        } else if (name == "newsuperior") {
            repeated = rename.new_superior.has_value();
            rename.new_superior = line.value;
        } else {
            throw LdifError(line.number,
                            "expected \"newrdn:\", \"deleteoldrdn:\" or \"newsuperior:\", found \"" + name + "\"");
        }
        if (repeated) throw LdifError(line.number, "a second " + name + " line in one record");
    }
    if (!have_rdn || rename.new_rdn.empty()) throw LdifError(record.first_line, "the record has no newrdn");
    if (!have_flag) throw LdifError(record.first_line, "the record has no deleteoldrdn");
    return rename;
}

std::string without_blanks_around_separators(std::string_view dn) {
    std::string out;
    for (size_t i = 0; i < dn.size(); ++i) {
        const char c = dn[i];
        if (c == ' ') {
            size_t next = i;
            while (next < dn.size() && dn[next] == ' ') ++next;
            const bool before_separator =
                next < dn.size() && std::string_view(",;+=").find(dn[next]) != std::string_view::npos;
            const bool after_separator =
                !out.empty() && std::string_view(",;+=").find(out.back()) != std::string_view::npos;
            const bool escaped = !out.empty() && out.back() == '\\';
            if ((before_separator || after_separator || out.empty() || next == dn.size()) && !escaped) {
                i = next - 1;
                continue;
            }
        }
        out += ascii_lower(c);
    }
    return out;
}

}  // namespace

const char *change_type_name(ChangeType type) {
    switch (type) {
    case ChangeType::add: return "add";
    case ChangeType::remove: return "delete";
    case ChangeType::modify: return "modify";
    case ChangeType::rename: return "modrdn";
    }
    return "?";
}

ChangeRecord change_record(const LdifRecord &record, UntypedRecord untyped) {
    const RecordHead head = record_head(record);
    ChangeRecord change;
    change.line = record.first_line;
    change.dn = head.dn;
    change.type = change_type(head, untyped);
    switch (change.type) {
    case ChangeType::add: change.attributes = entry_attributes(record, head.body); break;
    case ChangeType::remove:
        if (head.body < record.lines.size())
            throw LdifError(record.lines[head.body].number, "a delete record has no lines after its changetype");
        break;
    case ChangeType::modify: change.changes = modifications(record, head.body); break;
    case ChangeType::rename: change.rename = rename_of(record, head.body); break;
    }
    return change;
}

ChangeRecord ldif_entry(std::string_view text) {
    const std::vector<LdifRecord> records = ldif_records(text);
    if (records.empty()) throw LdifError(1, "no entry in the input");
    if (records.size() > 1)
        throw LdifError(records[1].first_line, "more than one entry; without a DN argument, add reads them all");
    ChangeRecord entry = change_record(records.front(), UntypedRecord::add);
    if (entry.type != ChangeType::add)
        throw LdifError(entry.line, std::string("a record of changetype ") + change_type_name(entry.type) +
                                        " is not an entry to add");
    return entry;
}

ChangeInput ldif_changes(std::string_view text) {
    ChangeInput input;
    for (const LdifRecord &record : ldif_records(text)) {
        ChangeRecord change = change_record(record, UntypedRecord::modify);
        if (change.type != ChangeType::modify)
            throw LdifError(change.line,
                            std::string("a record of changetype ") + change_type_name(change.type) +
                                " is not a modification; without a DN argument, modify reads any change record");
        if (change.dn) input.dns.push_back(*change.dn);
        for (Change &one : change.changes) input.changes.push_back(std::move(one));
    }
    if (input.changes.empty()) throw LdifError(1, "no change record in the input");
    return input;
}

bool same_dn(std::string_view a, std::string_view b) {
    return without_blanks_around_separators(a) == without_blanks_around_separators(b);
}

}  // namespace qords

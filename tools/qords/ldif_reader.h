// LDIF input (RFC 2849) for `add` (one entry's attributes) and `modify` (change records). Lines
// are unfolded, comments dropped, "name:: BASE64" values decoded and "name:< file:///PATH"
// values read from the file. Everything malformed is an LdifError naming the line.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qords {

class LdifError : public std::runtime_error {
public:
    LdifError(int line, const std::string &message);
    int line() const { return line_; }

private:
    int line_;
};

// One logical line: "name: value" with the value decoded, or the "-" that ends a change.
struct LdifLine {
    int number = 0;           // of its first physical line, from 1
    bool separator = false;   // the line "-"
    std::string name;
    std::string value;
};

// The lines of one record, in order (the version line is not part of any record).
struct LdifRecord {
    int first_line = 0;
    std::vector<LdifLine> lines;
};

// The records of `text`, split at empty lines.
std::vector<LdifRecord> ldif_records(std::string_view text);

struct AttributeValues {
    std::string name;
    std::vector<std::string> values;   // bytes, as decoded
};

// An entry to add: its DN line when it had one, its attributes grouped by name (in the order of
// each name's first line; names compared without regard to case).
struct EntryInput {
    std::optional<std::string> dn;
    std::vector<AttributeValues> attributes;
};

// The one entry of `text`; LdifError when there is none, more than one, or no attribute.
EntryInput ldif_entry(std::string_view text);

enum class ChangeKind { add, remove, replace };

struct Change {
    ChangeKind kind = ChangeKind::add;
    std::string attribute;
    std::vector<std::string> values;   // empty: for remove, the whole attribute
};

// The changes of every change record of `text`, in order, with the DN lines the records had.
struct ChangeInput {
    std::vector<std::string> dns;
    std::vector<Change> changes;
};

// LdifError when there is no change, a record that is not a modification, or a change block
// that is malformed.
ChangeInput ldif_changes(std::string_view text);

// True when two DNs name the same entry as far as text can tell: letters compared without regard
// to case, blanks around the separators ',', ';', '+' and '=' ignored.
bool same_dn(std::string_view a, std::string_view b);

}  // namespace qords

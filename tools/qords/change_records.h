// What LDIF records ask of the directory: entries to add (content records) and change records
// ("changetype: add", "delete", "modify", "modrdn" or "moddn"), as RFC 2849 writes them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ldif_reader.h"

namespace qords {

struct AttributeValues {
    std::string name;
    std::vector<std::string> values;  // bytes, as decoded
};

// One modification of a modify record.
enum class ChangeKind { add, remove, replace };

struct Change {
    ChangeKind kind = ChangeKind::add;
    std::string attribute;
    std::vector<std::string> values;  // empty: for remove, the whole attribute
};

// The new name of a modrdn (moddn) record.
struct Rename {
    std::string new_rdn;
    bool delete_old_rdn = false;
    std::optional<std::string> new_superior;
};

enum class ChangeType { add, remove, modify, rename };

// "add", "delete", "modify", "modrdn": the changetype's word, as messages name a request.
const char *change_type_name(ChangeType type);

struct ChangeRecord {
    int line = 0;                   // the record's first line
    std::optional<std::string> dn;  // its dn: line (required in a file of many records)
    ChangeType type = ChangeType::add;
    std::vector<AttributeValues> attributes;  // add: grouped by name (any case), in order of first use
    std::vector<Change> changes;              // modify
    Rename rename;                            // rename
};

// What a record without a changetype line is: an entry to add, or a modification of
// "add:", "delete:" and "replace:" blocks each ended by "-".
enum class UntypedRecord { add, modify };

// The request of one record; LdifError (naming the line) when the record is malformed: a
// changetype that is not the line after dn, an unknown changetype, an entry without attributes,
// a delete with lines after it, a change block that is not ended right, a modrdn without newrdn
// or deleteoldrdn, a control.
ChangeRecord change_record(const LdifRecord &record, UntypedRecord untyped);

// The one entry of `text` (for "qords add DN"); LdifError when there is none, more than one, or
// a record that is not an entry to add.
ChangeRecord ldif_entry(std::string_view text);

// The modifications of every record of `text` together, with the DN lines the records had (for
// "qords modify DN"); LdifError when there is no change or a record that is not a modification.
struct ChangeInput {
    std::vector<std::string> dns;
    std::vector<Change> changes;
};
ChangeInput ldif_changes(std::string_view text);

// True when two DNs name the same entry as far as text can tell: letters compared without regard
// to case, blanks around the separators ',', ';', '+' and '=' ignored.
bool same_dn(std::string_view a, std::string_view b);

}  // namespace qords

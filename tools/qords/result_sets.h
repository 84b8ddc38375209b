// Between the module's result sets and qords' entries: the attribute names a lookup asks for,
// copying a result set out through the views asked for, and printing entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "attribute_views.h"
#include "entries.h"
#include "json_writer.h"
#include "qorldap/qorldap.hpp"
#include "typed_reads.h"

namespace qords {

// The null-terminated array of attribute names a lookup passes (null for all attributes).
class AttributeNames {
public:
    explicit AttributeNames(const AttributeSelection &selection);
    AttributeNames(const AttributeNames &) = delete;
    AttributeNames &operator=(const AttributeNames &) = delete;
    char **get() { return names_.empty() ? nullptr : pointers_.data(); }

private:
    std::vector<std::string> names_;
    std::vector<char *> pointers_;
};

// The attributes dsiscls reads an entry's classes from: objectClass and qorInterface.
AttributeSelection class_attributes();

// Copies one entry of a result set into `entry` (what it held before is replaced), reading each
// attribute's values through its view; values a typed view misreads are noted in `misread`.
// DS_OK, or DS_NO_MEMORY when the module could not decode a binary value.
int32_t copy_entry(const qorldap::Directory &directory, LDAP *session, const dsent &record,
                   const AttributeSelection &selection, Entry &entry, MisreadValues &misread);

// Writes entries to standard output as they are given, so that what is printed is never held
// whole: as one JSON array, or as LDIF records, with the version line first when standard
// output is a file that starts here (not when it is appended to, a pipe or a terminal), and
// nothing at all for no entries.
class EntryPrinter {
public:
    explicit EntryPrinter(bool json) : json_(json) {}
    void print(const Entry &entry);
    // Ends the output (the JSON array, "[]" for no entries).
    void finish();
    size_t printed() const { return printed_; }

private:
    bool json_;
    size_t printed_ = 0;
    JsonArrayWriter array_;
};

}  // namespace qords

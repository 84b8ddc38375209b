// Between the module's result sets and qords' entries: the attribute names a lookup asks for,
// copying a result set out through the views asked for, and printing entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "attribute_views.h"
#include "entries.h"
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

// Copies every entry of `results` (may be null) into `entries`, reading each attribute's values
// through its view; values a typed view misreads are noted in `misread`. DS_OK, or DS_NO_MEMORY
// when the module could not decode a binary value.
int32_t copy_entries(const qorldap::Directory &directory, LDAP *session, const qorldap::ResultSet &results,
                     const AttributeSelection &selection, std::vector<Entry> &entries, MisreadValues &misread);

// Writes the entries to standard output as JSON, or as LDIF: records only, with the version line
// first when standard output is a file that starts here (not when it is appended to, a pipe or
// a terminal), and nothing at all for no entries.
void print_entries(const std::vector<Entry> &entries, bool json);

}  // namespace qords

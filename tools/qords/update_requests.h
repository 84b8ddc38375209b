// One update of the directory as add, modify and delete send it, whether it comes from the
// command line or from an LDIF record: built and checked before anything is sent, described for
// -n, and sent through the directory function of its kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "attribute_lists.h"
#include "change_records.h"
#include "module.h"
#include "qorldap/qorldap.hpp"

namespace qords {

struct Modification {
    int32_t operation = DS_MOD_ADD;  // DS_MOD_ADD, DS_MOD_DELETE or DS_MOD_REPLACE
    AttributeInput attribute;
};

// An update: ChangeType::add, remove, modify or rename.
struct UpdateRequest {
    ChangeType type = ChangeType::add;
    std::string dn;
    std::vector<AttributeInput> attributes;   // add
    std::vector<Modification> modifications;  // modify
    Rename rename;                            // rename
};

// Text values as the module sends them. UsageError for a value with a zero byte inside, which
// the module's NUL-terminated texts would cut short.
AttributeInput text_attribute(const std::string &name, const std::vector<std::string> &values);

// The operation named "add", "delete" or "replace"; UsageError for another name.
int32_t operation_named(const std::string &name);

// A modification with its values checked: UsageError for an add or replace without values
// (which the module cannot send).
Modification modification(int32_t operation, AttributeInput attribute);

// The modifications of a modify record's changes, checked as modification() checks them and
// for values the module cannot send (UsageError).
std::vector<Modification> modifications_of(const std::vector<Change> &changes);

// The request of an LDIF record that names its entry; UsageError for what cannot be sent: a
// value with a zero byte.
UpdateRequest update_request(const ChangeRecord &record, const std::string &dn);

// "add DN", "delete DN", "modify DN", "modrdn DN": the words of failure messages.
std::string request_title(const UpdateRequest &request);

// What -n prints for the request: its title and, for add and modify, what it would send
// ("add cn=x,o=y: objectClass (2 values), cn", "modify cn=x,o=y: replace title, delete mail").
std::string request_summary(const UpdateRequest &request);

// Sends the request on the open session through dsreg, dsdereg, dsmodone or dsmodify, or the
// module's ldap_rename_s, and answers the directory status (DS_NO_MEMORY when the session's pool
// could not hold the attribute lists; a rename's LDAP code folded as DS_STATUS).
int32_t send_request(const Module &module, const qorldap::Session &session, const UpdateRequest &request);

}  // namespace qords

// Controls of requests and results (version-3 sessions only).
#pragma once

#include <cstdint>

#include "client.h"

namespace qor {

inline constexpr char kPagedResultsOid[] = "1.2.840.113556.1.4.319";
inline constexpr char kManageDsaItOid[] = "2.16.840.1.113730.3.4.2";

// What a request is, for the controls that go on it.
enum class ControlsFor {
    kSearch,          // a search of the session's own: ManageDsaIT, and a page when paging
    kReferredSearch,  // a search sent on to a referred server: ManageDsaIT (its pages are not ours)
    kEntryOperation,  // add, modify, delete, compare, rename: ManageDsaIT
    kNone,            // bind, unbind, abandon, extended operations
};

// Writes the controls field the session puts on a request of `kind`, after its protocol
// operation and before the message's closing "}": nothing on a version-2 session or when no
// control applies. 0, or -1 when the codec refuses.
int32_t put_request_controls(LDAP *ld, BerElement *ber, ControlsFor kind);

// Finds the control `oid` among a result message's controls. True when the message carries it;
// *value and *length are then its value's raw bytes in the message's buffer (length 0 without a
// value).
bool find_result_control(const LDAPMessage *message, const char *oid, const uint8_t **value, int32_t *length);

}  // namespace qor

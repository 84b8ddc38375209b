// Private helpers of the protocol engine shared by dispatch, reception, abandon and referrals.
#pragma once

#include "client.h"

namespace qor {

// The top-level request of the referral tree `request` belongs to.
inline LDAPPendingRequest *top_level_request(LDAPPendingRequest *request) {
    while (request->rq_parent != nullptr) request = request->rq_parent;
    return request;
}

// Gives back the use of its connection that `request` holds, if it still holds one. A request
// holds exactly one use from the moment it is sent until its result has been read (for a
// request that chased referrals: until the results of all its descendants are in) or it is
// abandoned; rq_conn is null once the use has been given back.
inline void release_connection_use(LDAP *ld, LDAPPendingRequest *request) {
    LDAPConnection *conn = request->rq_conn;
    if (conn == nullptr) return;
    request->rq_conn = nullptr;
    free_connection(ld, conn, 0, 1);
}

// Appends the lines of a referral text (with or without its leading "Referral:\n") to the
// referral text in `place`, so that the marker is never repeated. 0, or -1 with ld_errno 90.
int32_t append_referral_lines(LDAP *ld, char **place, const char *referral_text);

}  // namespace qor

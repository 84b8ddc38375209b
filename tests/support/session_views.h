// Views of a client session record for tests: what an entry's DN reads as, and the error texts a
// result leaves in the session.
#pragma once

#include <string>

#include "module/client/client.h"

namespace qortest {

// The DN of a message through the entry accessors; "<null>" when none can be read. The text the
// accessor allocated goes back to the session's pool.
std::string dn_of(LDAP *ld, LDAPMessage *entry);

// Releases the error texts (ld_error, ld_matched) the last result left in the session, as the
// next directory operation would, and leaves both null.
void clear_error_texts(LDAP *ld);

}  // namespace qortest

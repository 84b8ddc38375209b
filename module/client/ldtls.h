// TLS on the session's connections. The host's socket services do the TLS itself (wqstlss); this
// unit asks for it with the session's settings (ld_tls_ca_file, ld_tls_verify), exchanges the
// StartTLS extended operation, and reports failures: the reason goes to ld_error and to the host
// log, where it is seen even when no session remains to ask (a dsopen that failed).
#pragma once

#include <cstdint>

#include "client.h"

namespace qor {

// Starts TLS on the connected socket of `sb` for the server `host` (the name the certificate
// must carry) at `port` (for log lines). True when TLS is on; otherwise ld_errno is
// LDAP_SERVER_DOWN and ld_error the reason. A session that does not verify certificates logs so
// for each connection.
bool start_tls_on_socket(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t port);

enum class StartTlsOutcome {
    kStarted,  // the server agreed and TLS is on
    kRefused,  // the server answered with a failure: ld_errno is its code, ld_error its text
    kFailed,   // no usable answer, or TLS failed after the server agreed: ld_errno, ld_error say why
};

// StartTLS on a socket just connected, before anything else went out on it: the extended request
// (1.3.6.1.4.1.1466.20037), the server's answer (read within the host's read limit), then TLS.
// Bytes the server sends after its answer and before TLS would be taken as protected although
// they are not, so they fail the exchange.
StartTlsOutcome start_tls_exchange(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t port);

}  // namespace qor

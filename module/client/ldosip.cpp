// Sockets of a session: connecting to the first reachable entry of a host list, and closing.
// An entry is "host", "host:port" or an LDAP URL (ldurl.h); an ldaps:// entry speaks TLS from
// the first byte, and every entry of a session that asks for StartTLS exchanges it before
// anything else goes out, so nothing (a password least of all) is ever sent before TLS is on.
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "host_task.h"
#include "ldtls.h"
#include "ldurl.h"
#include "pool.h"

namespace {

constexpr int32_t kSocketDomain = 1;
constexpr uint32_t kSocketFlags = 0x80000000u;
// Room for one host list entry and its NUL. A longer entry cannot name a host and is skipped.
constexpr int32_t kEntryCapacity = 256;
const char kLoopback[] = "127.0.0.1";

// StartTLS on a plain connection when the session asks for it. True when the connection may be
// used: TLS is on, the session asks for nothing, or the server refused and the session may go on
// in clear (which the host log tells).
bool settle_start_tls(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t port) {
    const uint32_t flags = ld->ld_option_flags;
    if ((flags & (OPT_START_TLS | OPT_TRY_START_TLS)) == 0) return true;
    qor::StartTlsOutcome outcome = qor::start_tls_exchange(ld, sb, host, port);
    if (outcome == qor::StartTlsOutcome::kRefused && (flags & OPT_START_TLS) == 0) {
        xpslog("qorldap: %s:%d refused StartTLS (code %d: %s); going on without TLS%n", host, port, ld->ld_errno,
               ld->ld_error != nullptr ? ld->ld_error : "");
        return true;
    }
    return outcome == qor::StartTlsOutcome::kStarted;
}

// Connects to one entry; on failure ld_errno says why (LDAP_SERVER_DOWN, or the code with which
// the server refused StartTLS).
bool connect_to_entry(LDAP *ld, LDAPSocketBuffer *sb, const char *entry, int32_t length, int32_t default_port) {
    ld->ld_errno = LDAP_SERVER_DOWN;
    qor::LdapUrl url;
    if (length >= kEntryCapacity || qor::parse_host_entry(entry, length, &url) != qor::UrlParse::kParsed ||
        url.critical_extension) {
        return false;
    }
    char host[kEntryCapacity];
    if (url.host.length == 0) {
        __builtin_memcpy(host, kLoopback, sizeof kLoopback);
    } else {
        __builtin_memcpy(host, url.host.bytes, static_cast<size_t>(url.host.length));
        host[url.host.length] = '\0';
    }
    int32_t port = qor::url_port(url, default_port);
    if (connect_to_host(sb, host, port) != 0) return false;
    bool usable = url.scheme == qor::UrlScheme::kLdaps ? qor::start_tls_on_socket(ld, sb, host, port)
                                                       : settle_start_tls(ld, sb, host, port);
    if (!usable) {
        close_connection(sb);
        // What the server sent before TLS must not be read as the next entry's.
        qor::pool_free_buffer(ld->ld_pool, sb->sb_input.be_start);
        sb->sb_input.be_start = sb->sb_input.be_pos = sb->sb_input.be_end = nullptr;
    }
    return usable;
}

}  // namespace

int32_t open_ldap_connection(LDAP *ld, LDAPSocketBuffer *sb, const char *host, int32_t default_port) {
    const int32_t errno_before = ld->ld_errno;
    if (host == nullptr) host = kLoopback;
    int32_t length = wzstlen(host);
    if (length == 0) {
        ld->ld_errno = LDAP_SERVER_DOWN;
        return -1;
    }

    for (int32_t start = 0, next = 0; start < length; start = next) {
        if (connect_to_entry(ld, sb, host + start, qor::host_entry_at(host, length, start, &next), default_port)) {
            ld->ld_errno = errno_before;
            return 0;
        }
    }
    return -1;
}

namespace qor {

int32_t host_entry_at(const char *hosts, int32_t length, int32_t start, int32_t *next) {
    const int32_t blank = wzstpos(hosts + start, length - start, ' ');
    const int32_t end = blank < 0 ? length : start + blank;
    *next = end;
    if (blank >= 0) {
        *next = end + 1;
        while (*next < length && hosts[*next] == ' ') ++*next;
    }
    return end - start;
}

}  // namespace qor

int32_t connect_to_host(LDAPSocketBuffer *sb, const char *host, int32_t port) {
    int32_t socket = 0;
    if (wqssock(kSocketDomain, kSocketFlags, 0, qor::current_task_handle(), &socket) != 0) return -1;
    if (wqsconn(socket, host, wzstlen(host), 0, 0, port) != 0) {
        wqsclos(socket);
        return -1;
    }
    sb->sb_socket = socket;
    return 0;
}

void close_connection(LDAPSocketBuffer *sb) {
    wqsclos(sb->sb_socket);
}

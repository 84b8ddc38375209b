// Session creation: a handle in its own pool, and a handle with its default connection open.
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "host_task.h"
#include "ldtrans.h"
#include "pool.h"

namespace {

constexpr int32_t kPoolInitialSize = 4096;
constexpr int32_t kPoolIncrement = 1024;
constexpr int32_t kPoolAttributes = 258;
constexpr int32_t kReferralHopLimit = 5;
constexpr uint8_t kDefaultBerOptions = 5;

}  // namespace

// Nothing is left behind when creation fails: the pool is destroyed with whatever it holds.
LDAP *ldap_init(const char *host, int32_t port) {
    HostPool *pool = nullptr;
    if (wmtpc(&pool, kPoolInitialSize, kPoolIncrement, kPoolAttributes, qor::current_task_record()) != 0 ||
        pool == nullptr) {
        return nullptr;
    }
    auto *ld = qor::pool_new<LDAP>(pool);
    if (ld == nullptr) {
        wmpoold(pool);
        return nullptr;
    }
    ld->ld_pool = pool;
    ld->ld_option_flags = OPT_CHASE_REFERRALS;
    if (host != nullptr) {
        ld->ld_default_host = qor::pool_copy_text(pool, host);
        if (ld->ld_default_host == nullptr) {
            wmpoold(pool);
            return nullptr;
        }
    }
    ld->ld_default_port = port != 0 ? port : LDAP_DEFAULT_PORT;
    ld->ld_protocol_version = 2;
    ld->ld_referral_hop_limit = kReferralHopLimit;
    ld->ld_ber_options = kDefaultBerOptions;
    ld->ld_tls_verify = TLS_VERIFY_DEMAND;
    ldap_set_string_translators(ld, encode_proc, decode_proc);
    return ld;
}

LDAP *ldap_open(const char *host, int32_t port) {
    LDAP *ld = ldap_init(host, port);
    if (ld == nullptr) return nullptr;
    if (open_default_connection(ld) != 0) {
        ldap_ld_free(ld, qor::kNoUnbind);
        return nullptr;
    }
    return ld;
}

int32_t open_default_connection(LDAP *ld) {
    LDAPServerEntry *server = qor::session_server(ld, ld->ld_default_host, wzstlen(ld->ld_default_host));
    if (server == nullptr) return -1;
    LDAPConnection *conn = new_connection(ld, &server, qor::kSessionSocketBuffer, qor::kConnect, qor::kNoBind);
    free_servers(ld, server);  // what the connection did not take over
    if (conn == nullptr) return -1;
    ld->ld_default_conn = conn;
    ++conn->cn_use_count;  // held by the session for its lifetime
    return 0;
}

namespace qor {

LDAPServerEntry *session_server(LDAP *ld, const char *hosts, int32_t length) {
    auto *server = pool_new<LDAPServerEntry>(ld->ld_pool);
    if (server != nullptr && hosts != nullptr) {
        server->sv_host = pool_copy_bytes(ld->ld_pool, hosts, length);
        if (server->sv_host == nullptr) {
            pool_free(ld->ld_pool, server);
            server = nullptr;
        }
    }
    if (server == nullptr) {
        ld->ld_errno = LDAP_NO_MEMORY;
        return nullptr;
    }
    server->sv_port = ld->ld_default_port;
    return server;
}

}  // namespace qor

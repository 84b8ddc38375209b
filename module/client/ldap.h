// The session handle and the protocol engine's records. The records carry no behaviour; the
// operations that create, link and release them state their ownership rules.
//
// Ownership in one line: every record, text, array and BER element of a session comes from the
// session's pool (ld_pool), zero-filled, and goes back to it; destroying the pool at the end of
// the session releases whatever is left.
#pragma once

#include <cstdint>

#include "../../include/qorldap/qorldap.h"
#include "abi/ber_records.h"
#include "abi/host_types.h"

struct LDAPMessage;
struct LDAPPendingRequest;
struct LDAPConnection;
struct LDAPServerEntry;
struct LDAP;

// Supplies credentials for a connection opened to a referred server. With free_it 0 it fills the
// three places and answers 0 (any other answer is an LDAP result code that gives the connection
// up); called again with free_it 1 and the same places to release what it supplied.
using RebindProc = int32_t (*)(LDAP *ld, char **dn, char **password, int32_t *method, int32_t free_it);

// Option bits of ld_option_flags: the option word host programs give dsopen and dsopt, whose
// bits the public header defines.
inline constexpr uint32_t OPT_CHASE_REFERRALS = DS_OPT_CHASE_REFERRALS;
inline constexpr uint32_t OPT_RESTART_WAIT = DS_OPT_RESTART_WAIT;
// A 2-bit field: 0 subtree, n = 1..3 scope n - 1.
inline constexpr uint32_t OPT_RESOLVE_SCOPE = DS_OPT_RESOLVE_SCOPE_MASK;
inline constexpr uint32_t OPT_START_TLS = DS_OPT_START_TLS;  // every connection asks for StartTLS; refused: given up
inline constexpr uint32_t OPT_TRY_START_TLS = DS_OPT_TRY_START_TLS;  // asks for StartTLS; refused: goes on in clear
inline constexpr uint32_t OPT_NO_RECONNECT = DS_OPT_NO_RECONNECT;    // an ended default connection stays ended

// The port of a host given without one, at the protocol layer (ldap_init with port 0, referral
// URLs without a port): where the host platform's own directory service listens. Host programs
// that open sessions through dsopen get the directory layer's default instead.
inline constexpr int32_t LDAP_DEFAULT_PORT = 8001;

// How a session checks its servers' certificates (the host's modes of wqstlss).
inline constexpr int32_t TLS_VERIFY_NEVER = 0;   // any certificate; logged per connection
inline constexpr int32_t TLS_VERIFY_DEMAND = 1;  // chain, validity and server name

// Bit of ld_ber_options: install the session's translators on each element.
inline constexpr uint8_t LBER_TRANSLATE_STRINGS = 0x04;

struct LDAP {
    LDAPSocketBuffer ld_sockbuf;              // socket buffer of the default connection
    char *ld_defbase;                         // default search base of the directory functions
    int32_t ld_protocol_version;              // announced in bind requests
    uint8_t ld_ber_options;                   // option byte of every BER element of the session
    int32_t ld_deref;                         // alias dereferencing, sent in searches
    int32_t ld_timelimit;                     // milliseconds: search time limit and default wait
    int32_t ld_sizelimit;                     // size limit sent in searches
    int32_t ld_errno;                         // result or error code of the last operation
    char *ld_error;                           // error message of the last result
    char *ld_matched;                         // matched DN of the last result
    int32_t ld_last_msgid;                    // last message id used; ids only grow
    LDAPPendingRequest *ld_pending_requests;  // outstanding requests, newest first
    LDAPMessage *ld_queued_responses;         // received chains not yet handed out (lm_list_next)
    int32_t *ld_abandoned_ids;                // abandoned ids ended by -1, or null
    char ld_attr_name_buffer[100];            // type returned by the attribute walk
    void *ld_result_cache;                    // LDAPResultCache, or null when caching is off
    int32_t ld_referral_hop_limit;            // hop count at which referrals are no longer chased
    uint32_t ld_option_flags;                 // OPT_* bits
    char *ld_default_host;                    // blank-separated host[:port] entries, or null
    int32_t ld_default_port;                  // port of entries without one
    StringTranslator ld_encode_translator;
    StringTranslator ld_decode_translator;
    LDAPConnection *ld_default_conn;  // connection of requests that name no server
    LDAPConnection *ld_connections;   // all connections, newest first (cn_next)
    RebindProc ld_rebind_callback;    // credentials for referral connections, or null
    HostPool *ld_pool;                // the session's memory pool
    int32_t ld_ready_count;           // entries in ld_ready_sockets
    int32_t *ld_ready_sockets;        // sockets found readable by the last wait (host's list)
    HostEvent ld_read_event;          // every connected socket is registered with it
    char *ld_error_message;           // the message dsgeterr composed last, or null
    char *ld_attr_name_spill;         // a type of the attribute walk too long for the buffer
    char *ld_tls_ca_file;             // PEM file of the CAs TLS trusts; null: the system's store
    int32_t ld_tls_verify;            // TLS_VERIFY_DEMAND (the default) or TLS_VERIFY_NEVER
    int32_t ld_page_size;             // above 0: searches ask for pages of this many entries
    berval ld_page_cookie;            // the server's cookie for the next page (pool bytes)
    // The identity of the last successful bind on the default connection, with which a new
    // default connection is bound again: null DN while the session never bound. The password is
    // overwritten before it goes back to the pool, and never logged.
    char *ld_bind_dn;
    char *ld_bind_password;
    int32_t ld_reconnects;  // new default connections opened after one ended
};

// One received protocol message; the messages of one operation form a chain.
struct LDAPMessage {
    int32_t lm_id;               // message id (the top-level id for referral results)
    int32_t lm_type;             // protocol-operation tag
    BerElement *lm_ber_elem;     // positioned at the protocol operation; owned
    LDAPMessage *lm_chain_next;  // next message of the same operation
    LDAPMessage *lm_list_next;   // next chain in ld_queued_responses
    double lm_cached_time;       // host clock when filed by the result cache
};

inline constexpr int32_t REQ_IN_PROGRESS = 1;
inline constexpr int32_t REQ_CHASING_REFERRALS = 2;
// A top-level request whose result can no longer come as a message (its connection ended, or
// the result could not be rebuilt): rq_result_code says why, and the next wait for it answers
// -1 with that code in ld_errno and releases it.
inline constexpr int32_t REQ_ENDED = 3;

// One request sent and not yet completed.
struct LDAPPendingRequest {
    int32_t rq_msgid;
    int32_t rq_status;         // REQ_IN_PROGRESS or REQ_CHASING_REFERRALS
    int32_t rq_open_children;  // children whose results are not merged yet
    int32_t rq_origin_msgid;   // id of the top-level request
    int32_t rq_hop_count;      // 0 for top-level, parent's + 1 for a child
    int32_t rq_result_type;    // tag of the last response read for it
    int32_t rq_result_code;
    int32_t rq_children_sent;  // top-level: referral requests its tree has sent in all
    char *rq_references;       // URLs of the search references received, as referral text
    char *rq_error_text;       // error text; after chasing, the unfollowed referrals
    char *rq_matched_dn;
    BerElement *rq_ber;       // the encoded request; owned
    LDAPConnection *rq_conn;  // holds one use of it
    LDAPPendingRequest *rq_parent;
    LDAPPendingRequest *rq_descendant_next;  // top-level: first descendant; descendant: next one
    LDAPPendingRequest *rq_prev;
    LDAPPendingRequest *rq_next;
};

// Connection states. Only a connected connection takes new requests; the reader reads connected
// and binding ones.
inline constexpr int32_t CONN_CONNECTED = 3;
// Connected to a referred server whose bind is under way: nothing but the bind goes out on it.
inline constexpr int32_t CONN_BINDING = 4;
// The stream ended or broke: nothing is read from it or sent on it any more.
inline constexpr int32_t CONN_ENDED = 5;
// An ended connection whose socket is closed and whose socket buffer another connection may
// use: only its record remains, for the requests that still hold a use of it.
inline constexpr int32_t CONN_CLOSED = 6;

// One connection to a server.
struct LDAPConnection {
    LDAPSocketBuffer *cn_sockbuf;  // &ld_sockbuf for the default connection, else its own
    int32_t cn_use_count;
    int32_t cn_state;
    LDAPServerEntry *cn_server;  // owned
    LDAPConnection *cn_next;
};

// One server to try.
struct LDAPServerEntry {
    char *sv_host;    // host text; null means the IPv4 loopback address
    int32_t sv_port;  // port of entries without their own
    LDAPServerEntry *sv_next;
};

// One modification, or one attribute of an entry to add.
inline constexpr int32_t LDAP_MOD_ADD = 0;
inline constexpr int32_t LDAP_MOD_DELETE = 1;
inline constexpr int32_t LDAP_MOD_REPLACE = 2;
inline constexpr int32_t LDAP_MOD_BVALUES = 0x80;

struct LDAPMod {
    int32_t mod_op;
    char *mod_type;
    union {
        char **mod_values;
        berval **mod_bvalues;
    };
};

inline constexpr int32_t LDAP_AUTH_SIMPLE = 0x80;
inline constexpr int32_t LDAP_SCOPE_BASE = 0;
inline constexpr int32_t LDAP_SCOPE_ONELEVEL = 1;
inline constexpr int32_t LDAP_SCOPE_SUBTREE = 2;

// Result codes the client sets itself (the server's are 0..80).
inline constexpr int32_t LDAP_SUCCESS = 0;
inline constexpr int32_t LDAP_SIZELIMIT_EXCEEDED = 4;
inline constexpr int32_t LDAP_COMPARE_FALSE = 5;
inline constexpr int32_t LDAP_COMPARE_TRUE = 6;
inline constexpr int32_t LDAP_PARTIAL_RESULTS = 9;
inline constexpr int32_t LDAP_REFERRAL = 10;  // version 3: the result's referral field lists the URLs
inline constexpr int32_t LDAP_NO_SUCH_OBJECT = 32;
inline constexpr int32_t LDAP_SERVER_DOWN = 81;
inline constexpr int32_t LDAP_LOCAL_ERROR = 82;
inline constexpr int32_t LDAP_ENCODING_ERROR = 83;
inline constexpr int32_t LDAP_DECODING_ERROR = 84;
inline constexpr int32_t LDAP_TIMEOUT = 85;
inline constexpr int32_t LDAP_AUTH_UNKNOWN = 86;
inline constexpr int32_t LDAP_FILTER_ERROR = 87;
inline constexpr int32_t LDAP_USER_CANCELLED = 88;
inline constexpr int32_t LDAP_PARAM_ERROR = 89;
inline constexpr int32_t LDAP_NO_MEMORY = 90;

// Protocol-operation tags.
inline constexpr int32_t LDAP_REQ_BIND = 0x60;
inline constexpr int32_t LDAP_REQ_UNBIND = 0x42;
inline constexpr int32_t LDAP_REQ_SEARCH = 0x63;
inline constexpr int32_t LDAP_REQ_MODIFY = 0x66;
inline constexpr int32_t LDAP_REQ_ADD = 0x68;
inline constexpr int32_t LDAP_REQ_DELETE = 0x4A;
inline constexpr int32_t LDAP_REQ_COMPARE = 0x6E;
inline constexpr int32_t LDAP_REQ_ABANDON = 0x50;
inline constexpr int32_t LDAP_REQ_MODRDN = 0x6C;
inline constexpr int32_t LDAP_REQ_EXTENDED = 0x77;
inline constexpr int32_t LDAP_RES_BIND = 0x61;
inline constexpr int32_t LDAP_RES_SEARCH_ENTRY = 0x64;
inline constexpr int32_t LDAP_RES_SEARCH_RESULT = 0x65;
inline constexpr int32_t LDAP_RES_MODIFY = 0x67;
inline constexpr int32_t LDAP_RES_ADD = 0x69;
inline constexpr int32_t LDAP_RES_DELETE = 0x6B;
inline constexpr int32_t LDAP_RES_COMPARE = 0x6F;
inline constexpr int32_t LDAP_RES_MODRDN = 0x6D;
inline constexpr int32_t LDAP_RES_SEARCH_REFERENCE = 0x73;
inline constexpr int32_t LDAP_RES_EXTENDED = 0x78;
inline constexpr int32_t LDAP_RES_INTERMEDIATE = 0x79;

#if defined(__i386__)
#include <cstddef>
static_assert(offsetof(LDAP, ld_sockbuf) == 0);
static_assert(sizeof(LDAPMessage) == 28);
static_assert(sizeof(LDAPMod) == 12);
#endif

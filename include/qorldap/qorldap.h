/* qorldap: what a host program needs to use the directory module through its vector.
 *
 * The module publishes its directory-function vector as host module 17. A host program obtains
 * the vector from the platform (qorhost_vector(QORLDAP_MODULE)) and calls slot N with the
 * arguments of the function type below (qorldap.hpp wraps this for C++).
 *
 * Threads and blocking. The module has no threads, locks or timers of its own; every function
 * runs on the calling task. A session and everything made on it (result sets, attribute lists,
 * the texts dsgeterr returns) is used by one task at a time; distinct sessions are independent.
 * Functions marked "blocks" below send a request to the directory server and wait for its
 * answer, at most the session's time limit (30 s after dsopen, changed with dsopt) per request:
 * the limit bounds the whole answer, also one that arrives in pieces, and a request that runs out
 * of it answers DS_STATUS(85). A time limit of 0 waits without limit for the answer, each of
 * its messages still bounded by the host's read limit (QORHOST_READ_TIMEOUT_MS, 30 s by
 * default), after which the connection counts as lost (DS_STATUS(81)). A connection that ends
 * ends every request waiting on it with DS_STATUS(81) at once. dsopen also waits for the TCP
 * connection (bounded by the host), and so does a request that reconnects. The others never
 * block.
 *
 * Reconnect. A session outlives its server. When the session's connection has ended (the server
 * closed or reset it, or gave notice of disconnection), the next function that sends a request
 * first opens a new connection to the session's host list as dsopen did (ldaps entries and
 * DS_OPT_START_TLS / DS_OPT_TRY_START_TLS as at dsopen, under the option word the session has
 * then), binds it again with the DN, password and protocol version of the session's last
 * successful bind (the first entry, in order, that connects and takes the bind), and then
 * sends. So with a host list of replicated servers ("A B") a session moves to B when A goes
 * away, and back to A when B does. An idle connection that its server has closed is noticed
 * before a request is sent on it. The request that was in flight when the connection ended
 * answers DS_STATUS(81) and is never sent again: an update may or may not have been applied,
 * and is never applied twice. A reconnect that fails (no entry connects, TLS fails, the bind is
 * refused or not answered within the session's time limit) answers DS_STATUS(81), dsgeterr
 * giving the server's words or the TLS failure when there are any, and the next request tries
 * again; nothing is retried in a loop or in the background. Each attempt waits at most the host's connect limit per entry and the session's
 * time limit for each bind. For this the session keeps the bind DN and password in its pool
 * until dsclose, which overwrites them; they are never logged. DS_OPT_NO_RECONNECT turns all of
 * this off: an ended connection then stays ended and every request answers DS_STATUS(81) until
 * the session is closed.
 *
 * Memory. Each session owns one host memory pool. Result sets, attribute lists and the texts
 * the functions hand out all live in it; the caller owns result sets until dsfree and attribute
 * lists until dsfratt, and must release them before dsclose, which destroys the pool with
 * whatever is still in it.
 *
 * Status codes. Functions that answer a status return DS_OK (0) on success and otherwise a code
 * of facility 0x14: DS_STATUS(code) = 0x80144000 | code for a failure, where code is an LDAP
 * result code (the server's 0..80, the client's own 81..90) or one of the directory layer's own
 * codes below; a lookup that delivers entries despite a non-zero result code (a size or time
 * limit) answers the warning DS_WARNING(code) = 0x00144000 | code together with its result set.
 * dsgeterr turns the session's last error texts into a readable message.
 *
 * Lack of memory. The directory layer reports its own as DS_NO_MEMORY. The protocol client
 * underneath reports a lack of memory in the step where it happens: DS_STATUS(83) while a
 * request is encoded, DS_STATUS(87) while a filter is written, DS_STATUS(84) while a result is
 * decoded, DS_STATUS(90) while a message is read (the session stays usable). A lookup whose
 * entries all arrived but whose final result could not be decoded delivers them with
 * DS_WARNING(84). In every case nothing the call made is left behind: a request it no longer
 * waits for is abandoned, results that arrive for it later are dropped.
 *
 * Compiles as C99 and as C++.
 */
#ifndef QORLDAP_QORLDAP_H
#define QORLDAP_QORLDAP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Host module number of the directory-function vector, and of the BER codec it installs. */
#define QORLDAP_MODULE 17
#define QORLDAP_CODEC_MODULE 18
#define QORLDAP_SLOTS 31

/* ---- Status codes ------------------------------------------------------------------------- */

#define DS_OK 0
/* A failure carrying LDAP result code `code`, and a warning that comes with a result set. */
#define DS_STATUS(code) ((int32_t)(0x80144000u | ((uint32_t)(code) & 0x7ffu)))
#define DS_WARNING(code) ((int32_t)(0x00144000u | ((uint32_t)(code) & 0x7ffu)))
/* True for every failure status (the high bit); warnings and DS_OK are not failures. */
#define DS_FAILED(status) (((uint32_t)(status) & 0x80000000u) != 0)
/* The LDAP result code or own code inside a status. */
#define DS_CODE(status) ((int32_t)((uint32_t)(status) & 0x7ffu))

/* The directory layer's own failures. */
#define DS_NO_BASE_DN ((int32_t)0x8014400aU)        /* no default base DN anywhere (dsopen), none set (dsreslv) */
#define DS_NO_HOST ((int32_t)0x8014400bU)           /* no server host anywhere (dsopen) */
#define DS_NO_DN ((int32_t)0x80144022U)             /* DN missing (updates); code 34 "Invalid DN syntax" */
#define DS_NO_CONNECTION ((int32_t)0x80144051U)     /* the session could not be opened; code 81 */
#define DS_NO_FILTER ((int32_t)0x80144057U)         /* filter missing; code 87 "Bad search filter" */
#define DS_MISSING_ARGUMENT ((int32_t)0x80144059U)  /* a required argument is null; code 89 */
#define DS_NO_MEMORY ((int32_t)0x8014405aU)         /* the session's pool has no memory; code 90 */
#define DS_NO_SESSION ((int32_t)0x80144078U)        /* null session */
#define DS_NOTHING_TO_SEND ((int32_t)0x80144088U)   /* no attributes, changes or attribute type */
#define DS_NO_VALUES ((int32_t)0x80144089U)         /* an attribute without values where values are needed */

/* Answers of the server worth naming. */
#define DS_COMPARE_FALSE ((int32_t)0x80144005U)     /* dscompar: the entry lacks the value */
#define DS_COMPARE_TRUE ((int32_t)0x80144006U)      /* dscompar: the entry holds the value */
#define DS_NO_SUCH_OBJECT ((int32_t)0x80144020U)    /* the entry (or base) does not exist */
#define DS_INVALID_CREDENTIALS ((int32_t)0x80144031U)
#define DS_SIZELIMIT_WARNING ((int32_t)0x00144004)  /* entries delivered, size limit reached */
#define DS_TIMELIMIT_WARNING ((int32_t)0x00144003)  /* entries delivered, time limit reached */

/* ---- Option word of dsopen and dsopt ------------------------------------------------------ */

#define DS_OPT_CHASE_REFERRALS 0x02   /* follow referrals the server returns */
#define DS_OPT_RESTART_WAIT 0x04      /* restart a wait the host reports as failed */
/* Scope of dsreslv (bits 4-5): subtree when the field is 0. */
#define DS_OPT_RESOLVE_SCOPE_MASK 0x30
#define DS_OPT_RESOLVE_BASE 0x10
#define DS_OPT_RESOLVE_ONELEVEL 0x20
#define DS_OPT_RESOLVE_SUBTREE 0x30
/* StartTLS (1.3.6.1.4.1.1466.20037) on every connection of the session (dsopen's and those to
 * referred servers) before anything else is sent on it. A server that refuses fails dsopen with
 * its code, and the connection is given up before any bind: no password ever leaves in clear. */
#define DS_OPT_START_TLS 0x100
/* StartTLS when the server agrees; when it refuses, the session goes on in clear and the host log
 * says so. A TLS failure after the server agreed still fails. DS_OPT_START_TLS wins when both are
 * set. */
#define DS_OPT_TRY_START_TLS 0x400
/* An ended connection is not replaced (see Reconnect above): every later request of the session
 * answers DS_STATUS(81). */
#define DS_OPT_NO_RECONNECT 0x200
/* dsopen only: when the bind fails, store the session anyway (connected, not bound) so that the
 * caller can read the server's words with dsgeterr; the caller closes it with dsclose. */
#define DS_OPT_KEEP_FAILED_BIND 0x800
/* Version-3 sessions. Every search of the directory functions asks the server for pages of the
 * setting "LDAP_PAGESIZE" (host option, then environment; 500 when neither has it) entries and
 * asks again with the server's cookie until the last page, gathering all pages into one result
 * set: a server's administrative limit on plain searches no longer cuts it short. The size
 * limit still bounds the whole, the time limit each page. */
#define DS_OPT_PAGED_RESULTS 0x40
/* Version-3 sessions. Every request carries the ManageDsaIT control: referral objects are read,
 * changed and deleted as the entries they are instead of being followed. */
#define DS_OPT_MANAGE_DSA_IT 0x80

/* Search scopes. */
#define DS_SCOPE_BASE 0
#define DS_SCOPE_ONELEVEL 1
#define DS_SCOPE_SUBTREE 2

/* ---- Records ------------------------------------------------------------------------------ */

/* A directory session (opaque to host programs). Made by dsopen, ended by dsclose. */
typedef struct LDAP LDAP;

/* Kinds of a value record: which view of the value area holds a converted value. */
enum dsval_kind {
    DSVAL_NONE = 0,   /* not converted yet (every value of a result set starts so) */
    DSVAL_INT = 1,
    DSVAL_LONG = 2,
    DSVAL_SHORT = 3,
    DSVAL_FLOAT = 4,
    DSVAL_DOUBLE = 5,
    DSVAL_BINARY = 6,
    DSVAL_TEXT = 7    /* given as text in an attribute list */
};

/* One value (20 bytes in the 32-bit ABI). dv_text is NUL-terminated: in a result set the bytes as
 * received (a zero byte inside ends the text), in an attribute list the text given or the text
 * form made for a numeric or binary value before sending. The getters fill the value area on
 * first use; dv_bin (kind 6) belongs to the record and goes with it. */
typedef struct dsval {
    int32_t dv_kind;
    int32_t dv_spare;                 /* reserved, zero */
    union dsval_area {
        int32_t num;                  /* kinds 1, 2, 3 (a short uses the low 16 bits) */
        double dbl;                   /* kinds 4, 5 */
        struct dsval_bytes {
            unsigned char *bytes;     /* kind 6: decoded bytes */
            int32_t length;
        } bin;
    } dv_area;
    char *dv_text;
} dsval;
#define dv_num dv_area.num
#define dv_dbl dv_area.dbl
#define dv_bin dv_area.bin.bytes
#define dv_binlen dv_area.bin.length

/* One attribute with its values. In a result set da_vals has da_count + 1 slots, the last null;
 * in an attribute list made by dsmkatt exactly da_count slots. */
typedef struct dsatt {
    char *da_name;
    dsval **da_vals;
    int32_t da_count;
} dsatt;

/* One entry: its DN and a null-terminated array of attributes in the order the server sent
 * them (the array may have more null slots than one). A result set is a null-terminated array of
 * entry pointers in the order the server sent the entries; a lookup that found nothing
 * delivers no array (null). */
typedef struct dsent {
    char *de_dn;
    dsatt **de_atts;
} dsent;

/* Modification operations. */
#define DS_MOD_ADD 0
#define DS_MOD_DELETE 1
#define DS_MOD_REPLACE 2

/* One change of dsmodify: the attribute's values are added, deleted or replaced. */
typedef struct dsmod {
    int32_t dm_op;
    dsatt *dm_att;
} dsmod;

/* One change group of dsmodpad: the operation applies to every attribute of the group
 * (dg_atts is a null-terminated array). */
typedef struct dsmodg {
    int32_t dg_op;
    dsatt **dg_atts;
} dsmodg;

/* ---- Slots -------------------------------------------------------------------------------- */

/* Slots of the directory-function vector. Slots 0-3 are null. */
enum qorldap_slot {
    QORLDAP_TERM = 4,
    QORLDAP_DSOPEN = 5,
    QORLDAP_DSCLOSE = 6,
    QORLDAP_DSOPT = 7,
    QORLDAP_DSISCLS = 8,
    QORLDAP_DSEXPGRP = 9,
    QORLDAP_DSRESLV = 10,
    QORLDAP_DSRSLVDN = 11,
    QORLDAP_DSREG = 12,
    QORLDAP_DSMODIFY = 13,
    QORLDAP_DSMODPAD = 14,
    QORLDAP_DSMODONE = 15,
    QORLDAP_DSDEREG = 16,
    QORLDAP_DSFREE = 17,
    QORLDAP_DSGSHRT = 18,
    QORLDAP_DSGINT = 19,
    QORLDAP_DSGLONG = 20,
    QORLDAP_DSGFLT = 21,
    QORLDAP_DSGDBL = 22,
    QORLDAP_DSGBIN = 23,
    QORLDAP_DSGSTR = 24,
    QORLDAP_DSMKATT = 25,
    QORLDAP_DSFRATT = 26,
    QORLDAP_DSMYNOD = 27,
    QORLDAP_DSDNPRNT = 28,
    QORLDAP_DSGETERR = 29,
    QORLDAP_DSCOMPAR = 30
};

/* ---- Function types of the slots ---------------------------------------------------------- */

/* Slot 4. Withdraws module 17; called by the host at shutdown, after which no directory
 * function may be called. Answers the host's status. */
typedef int32_t (*qorldap_term_fn)(void);

/* Slot 5, blocks. Opens a session: connects to the server and binds with protocol version 3, or
 * 2 when the server refuses 3. Each setting comes from the argument, else the host option of
 * the name given, else the environment variable of that name, else the default:
 *   host      argument when not null/empty, "LDAP_HOST" (256 bytes); none: DS_NO_HOST
 *   port      argument when not 0, "LDAP_PORT" (7 bytes, decimal); none: 389
 *   bind_dn   argument when not null/empty, "LDAP_BINDDN" (256 bytes); none: anonymous
 *   password  argument when not null/empty, "LDAP_BINDPW" (64 bytes); none: anonymous
 *   base      argument when not null (an empty text counts), "LDAP_BASE" (256 bytes); none:
 *             the session is closed again and DS_NO_BASE_DN returned
 * A value longer than its size counts as not found at that source.
 * The host is a list of entries separated by blanks, tried in order until one connects: "host"
 * or "host:port" (an IPv6 address in brackets, "[::1]:389"; the port of the argument or
 * "LDAP_PORT" when none is given), or a URL "ldap://host[:port]" or "ldaps://host[:port]" (389
 * and 636 when none is given; a path after the port is ignored). An ldaps entry speaks TLS from
 * the first byte. TLS verifies the server's certificate chain against the PEM file of CAs named
 * by "LDAP_TLS_CACERT" (host option, then environment; 1024 bytes; the system's CA store when
 * unset) and checks that the certificate names the host (DNS names; IP addresses for a numeric
 * host); "LDAP_TLS_REQCERT" = "never" accepts any certificate (the host log says so for each
 * connection), any other value, or none, verifies. TLS 1.2 at least. An entry whose TLS fails
 * counts as unreachable; the reason ("certificate verify failed: certificate has expired", "host
 * name mismatch: ...", "TLS handshake timed out") is written to the host log, since a failed
 * dsopen leaves no session to ask. The TLS handshake is bounded by the host's connect limit.
 * The session starts with a time limit of 30 s, no size limit and `options` as its option word
 * (DS_OPT_*; 0 turns referral chasing off). On success *session receives the new session, owned by the caller
 * until dsclose; on failure nothing is stored and nothing is left open, except that with
 * DS_OPT_KEEP_FAILED_BIND a failed bind stores the unbound session for dsgeterr (the caller
 * closes it; nothing else may be done with it). Failures: DS_NO_HOST, DS_NO_CONNECTION
 * (connection refused or unreachable, TLS failed, or no memory for the session),
 * DS_STATUS(code) of a server that refused StartTLS (DS_OPT_START_TLS), DS_STATUS(code) of the
 * second bind, DS_NO_BASE_DN, DS_NO_MEMORY, DS_MISSING_ARGUMENT (null `session`). */
typedef int32_t (*qorldap_dsopen_fn)(LDAP **session, const char *host, int32_t port, int32_t options,
                                     const char *base, const char *bind_dn, const char *password);

/* Slot 6. Ends the session: unbinds, closes its connections and destroys its pool with all
 * that is still in it (result sets and attribute lists not yet released included). Does not
 * wait for the server. Answers 0, also for a null session. */
typedef int32_t (*qorldap_dsclose_fn)(LDAP *session);

/* Slot 7. Changes the time limit (seconds; -1 keeps it), the size limit (entries, 0 no limit;
 * -1 keeps it), the option word (-1 keeps it; its DS_OPT_START_TLS and DS_OPT_TRY_START_TLS bits
 * stay as dsopen set them, so no later connection goes in clear) and the default base DN (copied;
 * null keeps it).
 * When the copy of the base cannot be had the session is left without a base (dsreslv then
 * answers DS_NO_BASE_DN). A null session is ignored. */
typedef void (*qorldap_dsopt_fn)(LDAP *session, int32_t time_limit_seconds, int32_t size_limit,
                                 int32_t options, const char *base);

/* Slot 8. 1 when `entry` has the class `class_name` (`length` bytes, any case) among the values
 * of an attribute whose name begins with "objectclass" or "qorinterface": a value matches when
 * it begins with the class name. Lower-cases, in place, the attribute names it examines and the
 * class values it compares. 0 otherwise, also for a null entry. Never blocks, never allocates. */
typedef int32_t (*qorldap_dsiscls_fn)(LDAP *session, dsent *entry, const char *class_name, int32_t length);

/* Slot 9, blocks (one search per member, one read per member without subscribers, one read per
 * nested group). Expands the group `group_dn` (groupOfNames or groupOfUniqueNames) into the
 * subscriber entries of its members, depth first in member order; a member that is itself a
 * group contributes its own expansion at its place, except a group already on the current
 * path (the group itself or one of its ancestors), which contributes nothing. Entries reached
 * twice are listed twice. A member the server says nothing about (no subscriber, no entry) is
 * passed over. *result receives a result set owned by the caller (release it with dsfree): null
 * when the group has no entry or no members, an empty set when no member has a subscriber.
 * Failures: DS_NO_SESSION, DS_MISSING_ARGUMENT, the status of reading the group or a nested
 * group, DS_NO_MEMORY, and the status of any lookup that got no answer at all (DS_STATUS(81)
 * to DS_STATUS(90): connection lost, time-out, the client's own failures), so that a list is
 * never silently cut short; nothing is delivered then. */
typedef int32_t (*qorldap_dsexpgrp_fn)(LDAP *session, const char *group_dn, dsent ***result);

/* Slot 10, blocks. Searches below the session's default base DN with the scope of the option
 * word (DS_OPT_RESOLVE_*) and the string filter `filter`, returning the attributes named in
 * the null-terminated array `attributes` (null: all). The filter syntax is RFC 4515's: "(&...)",
 * "(|...)", "(!...)", "type=value" with "*" for presence and substrings, ">=", "<=", "~=", and
 * extensible matches "type:dn:rule:=value" ("dn" and the rule optional, the type optional when
 * a rule is named). "\XX" with two hex digits is the byte XX, sent as it is and never an
 * operator or wildcard; a backslash before any other character leaves that character as it is,
 * meaning included, so "\(" and "\)" keep a parenthesis from ending an item. *result receives the
 * result set, owned by the caller until dsfree, or null when nothing matched. Answers DS_OK,
 * a warning with entries (DS_SIZELIMIT_WARNING), or a failure with nothing delivered:
 * DS_NO_SESSION, DS_NO_BASE_DN, DS_NO_FILTER, DS_MISSING_ARGUMENT, DS_STATUS(87) for a filter
 * that cannot be parsed or is empty or blank (refused before anything is sent), DS_STATUS(code)
 * of the search, DS_NO_MEMORY. Referrals that are not followed (chasing off, a referral loop, a
 * server that cannot be reached or bound) make the answer partial, DS_STATUS(9) without entries
 * or DS_WARNING(9) with them; dsgeterr then lists the referrals' URLs after "Referral:". */
typedef int32_t (*qorldap_dsreslv_fn)(LDAP *session, const char *filter, char **attributes, dsent ***result);

/* Slot 11, blocks. Reads the entry `dn` itself (base scope, filter "objectclass=*"); otherwise
 * as dsreslv. A DN that does not exist answers DS_NO_SUCH_OBJECT; dsgeterr then reports the
 * part of the DN the server matched, if it sent one. */
typedef int32_t (*qorldap_dsrslvdn_fn)(LDAP *session, const char *dn, char **attributes, dsent ***result);

/* Slot 12, blocks. Adds the entry `dn` with the attributes of entry->de_atts (de_dn is not read);
 * attributes without values are left out. Numeric and binary values get their text form once
 * (kept in dv_text, released with the attribute list): integers in decimal; floating numbers in
 * fixed point without trailing zeros ("2.5", "100") where that text reads back as the same number
 * through dsgdbl (kind 5) or dsgflt (kind 4), else in the shortest exponent form that does
 * ("1.5e-20"). The caller's records are only read. Values whose kind has no text form (outside
 * 1-7) are not sent. Failures: DS_NO_SESSION, DS_NO_DN (null DN; an empty DN is sent),
 * DS_MISSING_ARGUMENT (null entry, or a floating value that is NaN or infinite: no text reads back
 * as it), DS_NOTHING_TO_SEND (no attributes), DS_NO_VALUES (an attribute none of whose values has
 * a text form), DS_NO_MEMORY, DS_STATUS(code) of the server. On success the session's result
 * cache, when enabled, forgets the searches that may have seen the entry. */
typedef int32_t (*qorldap_dsreg_fn)(LDAP *session, const char *dn, dsent *entry);

/* Slot 13, blocks. Applies the null-terminated array of changes to the entry `dn`, in order,
 * values in their text forms as for dsreg. A delete change without values removes the whole
 * attribute. Failures: DS_NO_SESSION, DS_NO_DN (null or empty), DS_NOTHING_TO_SEND (no changes,
 * or a change without attribute), DS_NO_VALUES (an add or replace without values, or a change
 * whose values all lack a text form: sent empty, a replace would delete the attribute),
 * DS_MISSING_ARGUMENT (a NaN or infinite floating value), DS_NO_MEMORY, DS_STATUS(code) of the
 * server. */
typedef int32_t (*qorldap_dsmodify_fn)(LDAP *session, const char *dn, dsmod **changes);

/* Slot 14, blocks. As dsmodify with change groups: every attribute of a group gets the group's
 * operation; groups first, then attributes within a group, keep their order. Any attribute
 * without values (or whose values all lack a text form), delete included, answers
 * DS_NO_VALUES. */
typedef int32_t (*qorldap_dsmodpad_fn)(LDAP *session, const char *dn, dsmodg **groups);

/* Slot 15, blocks. One change of attribute `type` with the null-terminated array of value texts,
 * sent as they are; allocates nothing. Failures: DS_NO_SESSION, DS_NO_DN, DS_NOTHING_TO_SEND
 * (no type), DS_NO_VALUES (no values), DS_STATUS(code) of the server. */
typedef int32_t (*qorldap_dsmodone_fn)(LDAP *session, const char *dn, int32_t operation, const char *type,
                                       char **values);

/* Slot 16, blocks. Deletes the entry `dn`. Failures: DS_NO_SESSION, DS_NO_DN (null or empty),
 * DS_STATUS(code) of the server. */
typedef int32_t (*qorldap_dsdereg_fn)(LDAP *session, const char *dn);

/* Slot 17. Releases a result set with every entry, attribute, value and converted value in it.
 * Answers DS_OK, DS_NO_SESSION, or DS_MISSING_ARGUMENT for a null set (nothing released). */
typedef int32_t (*qorldap_dsfree_fn)(LDAP *session, dsent **result);

/* Slots 18-22. The value read as a number: converted from dv_text on the first read and kept in
 * the record. The integer getters read a decimal integer (leading blanks and one sign
 * accepted; no digit, or a number outside -2147483648..2147483647, gives 0) and share dv_num; dsgshrt answers
 * its low 16 bits, sign-extended. The floating getters read a decimal fraction and share
 * dv_dbl; dsgflt rounds to single precision. A value converted by the other family answers
 * that family's number (integer getters truncate a floating value, saturating); a binary or
 * text value answers 0. A null value answers 0. */
typedef int32_t (*qorldap_dsgshrt_fn)(dsval *value);
typedef int32_t (*qorldap_dsgint_fn)(dsval *value);
typedef int32_t (*qorldap_dsglong_fn)(dsval *value);
typedef float (*qorldap_dsgflt_fn)(dsval *value);
typedef double (*qorldap_dsgdbl_fn)(dsval *value);

/* Slot 23. The value's Base64 text decoded into bytes from the session's pool, on the first read
 * (later reads answer the same buffer); *length receives their count. The bytes belong to the
 * value and go with its result set or attribute list. Null (length untouched) when the pool
 * has no memory, in which case the value can be read again later; null with length 0 for a
 * value another getter family has converted, or for a null session or value. */
typedef unsigned char *(*qorldap_dsgbin_fn)(LDAP *session, dsval *value, int32_t *length);

/* Slot 24. The value's text (dv_text), whatever has been read before; owned by the value. */
typedef char *(*qorldap_dsgstr_fn)(dsval *value);

/* Slot 25. A new attribute list: the type `name` (copied; null counts as empty) with `count`
 * values, each given by its kind (int32_t) and the kind's data: kinds 1-3 an int32_t, kinds 4-5
 * a double (a float argument is promoted), kind 6 an int32_t byte count then a pointer to the
 * bytes (copied), kind 7 a pointer to NUL-terminated text (copied); any other kind nothing more.
 * da_vals has exactly `count` slots. The caller owns the list until dsfratt. Null for a null
 * session, or when the pool has no memory (nothing is left allocated then). */
typedef dsatt *(*qorldap_dsmkatt_fn)(LDAP *session, const char *name, int32_t count, ...);

/* Slot 26. Releases an attribute list (or one attribute of a result set) with its values,
 * their texts and binary copies. Does nothing for a null session or attribute. */
typedef void (*qorldap_dsfratt_fn)(LDAP *session, dsatt *attribute);

/* Slot 27. Writes the local host's name into `buffer` (`size` bytes, NUL-terminated, cut to
 * fit) and answers `buffer`. */
typedef char *(*qorldap_dsmynod_fn)(char *buffer, int32_t size);

/* Slot 28. The parent part of a name, copied to `output` (at most `size` bytes, no NUL) with its
 * length in *length: for a DN (a name holding "=") everything after the first unquoted,
 * unescaped "," or ";"; otherwise everything after the first "@", or failing that the first
 * ".". Length 0 (output untouched) when there is no parent. Leading blanks and line feeds of
 * the name are skipped. */
typedef void (*qorldap_dsdnprnt_fn)(const char *name, char *output, int32_t size, int32_t *length);

/* Slot 29. A readable message about the session's last failure: the matched DN the server
 * reported, else its error text, each after a short label from the host's message catalogue.
 * Null when there is nothing to report or the session is null. Asking again gives the same text.
 * The text belongs to the session and stays valid until the next directory function on it, the
 * next dsgeterr or dsclose. */
typedef char *(*qorldap_dsgeterr_fn)(LDAP *session);

/* Slot 30, blocks. Asks whether entry `dn` holds `value` in attribute `type`: DS_COMPARE_TRUE
 * when it does, DS_COMPARE_FALSE when it does not, any other status a failure (DS_NO_SESSION,
 * DS_MISSING_ARGUMENT for a null DN, type or value, DS_STATUS(code) of the server). */
typedef int32_t (*qorldap_dscompar_fn)(LDAP *session, const char *dn, const char *type, const char *value);

#ifdef __cplusplus
}
#endif

#endif

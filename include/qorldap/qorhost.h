/* qorhost: the host platform runtime on Linux.
 *
 * It stands in for the host application platform that loads the directory module: it builds
 * the global control block and the host service modules (0 pools, options, environment,
 * catalogue, timers and waits, clock, numbers, folding, transcoding; 4 extended comparison;
 * 30 formatting and logging; 31 and 40 option lookup; 443 TCP sockets and TLS), loads module images
 * the way the host loader does, and keeps the table of published module vectors.
 *
 * Every function returns 0 (or a valid pointer) on success; errors are negative values or NULL.
 * All functions may be called from any thread; the registries they touch are locked.
 *
 * The host services answer 0 for success and these host statuses for failures (all have the
 * high bit set, so they are negative as int32 and never "above 0"):
 *   0x80002001 system call failed       0x8000200A unknown or unconnected socket
 *   0x80002002 invalid argument         0x8000200B connection failed (every address tried)
 *   0x80002003 not found                0x8000200C timed out
 *   0x80002004 out of memory            0x8000200D connection closed by the peer
 *   0x80002005 not a module image       0x8000200E socket failed
 *   0x80002006 text not convertible     0x8000200F a wait that nothing could end
 *   0x80002007 unknown encoding         0x80002010 host name not resolved
 *   0x80002008 module number in use     0x80002011 destination too small (size needed stored)
 *   0x80002009 module not published     0x80002012 number out of range
 *   0x80002013 TLS failed (handshake or layer; wqstlsr tells why)
 *   0x80002014 the server's certificate was not accepted (wqstlsr tells why)
 * A wait (wtgwait) that ends in a failure posts the status in the event's `status` word and
 * sets `status_present`; every wait clears both on the events it lists before it starts. A
 * socket's failure (a reset connection) is posted by one wait; later waits count the socket
 * readable, and reading it reports the end of the connection.
 * The wait_ms of wqsread and wqswrit bounds the whole call: a negative value waits without
 * limit, 0 takes only what can be done at once.
 *
 * TLS (module 443, entries 43 and 44; OpenSSL 3). wqstlss(socket, server name, length, CA file,
 * length, mode) runs the client handshake on a connected socket within the connect limit: TLS 1.2
 * at least, SNI for a DNS name, and with mode 1 the server's chain verified against the PEM file
 * of CAs (the system's CA store when the length is 0) and the server name checked against the
 * certificate (its DNS names; its IP addresses for a numeric name). Mode 0 accepts any
 * certificate. Afterwards every wqsread and wqswrit of the socket goes through TLS (a read that
 * meets a TLS failure answers 0x80002013), and a wait counts the socket readable at once while the
 * TLS layer holds decrypted bytes, but not for records of the protocol's own (session tickets).
 * A handshake that fails leaves the socket unusable: close it. wqstlsr(socket, buffer, size,
 * length) gives the reason of the socket's last TLS failure, such as "certificate verify failed:
 * certificate has expired", "host name mismatch: the server's certificate is not for NAME" or
 * "TLS handshake timed out". The CA file is read once and again only when it changes.
 */
#ifndef QORLDAP_QORHOST_H
#define QORLDAP_QORHOST_H

#include <stddef.h>
#include <stdint.h>

/* qorhost_image_record, the image-information record a module image's entry point mcn_main
 * answers the loader, and qorhost_control_node, a program control node it leads to. */
#include "abi/module_image.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Builds the control block and the service modules. Idempotent. Reads QORHOST_OPTIONS (a file
 * of NAME=VALUE lines for the option lookup; blank lines and lines starting with '#' ignored,
 * blanks around name and value dropped), QORHOST_ENCODING (a number or a name known to
 * qorhost_encoding_number), QORHOST_LOG, QORHOST_CONNECT_TIMEOUT_MS, QORHOST_READ_TIMEOUT_MS,
 * QORHOST_MAX_MESSAGE, QORHOST_PORT_MAP. A value that does not parse is reported on the host log
 * and ignored. Every other function of this API starts the runtime itself when needed. */
int qorhost_start(void);

/* Loads a module image: dlopen, mcn_main(control block, pidb), checks the image record, follows
 * its control-node list and calls each node's entry. Returns the last entry's status, or a
 * negative value when the image cannot be loaded or is not a module image. A module installed
 * with wiinstl is looked up as its name in lower case plus ".so", in the directory of the
 * module that asks, then in each directory of QORHOST_MODULE_PATH (colon-separated). */
int qorhost_load(const char *path);   /* -1 cannot open, -2 no mcn_main, -3 no valid image record */

/* The record of the image qorhost_load (or a module's wiinstl) loaded from `path`, compared as
 * given, or NULL when none was; valid until qorhost_stop. */
const qorhost_image_record *qorhost_image_of(const char *path);

/* The address of the global control block that loaded modules receive. */
uintptr_t qorhost_control_block(void);

/* The vector published (hiexprt) or installed under a module number, or NULL. */
void **qorhost_vector(int module);

/* Calls slot 4 of every vector published with hiexprt (not of installed modules), then
 * unloads every module. Returns the first non-zero termination status, or 0. */
int qorhost_stop(void);

/* An entry of the host option lookup; a NULL value removes it. Overrides the options file. */
int qorhost_set_option(const char *name, const char *value);

/* Reads a file of NAME=VALUE lines into the option lookup (as QORHOST_OPTIONS does at start);
 * its entries override those already there. -1 when the file cannot be read. */
int qorhost_load_options(const char *path);

/* Option values handed out by the lookup (xjsymgc) and not yet given back (xjsymfr). */
long qorhost_option_values_held(void);

/* Readable-socket arrays handed out (wqsgmsk) and not yet given back (wqsfmsk). */
long qorhost_ready_arrays_held(void);

/* Sends the host log to the file `path` (appended to), or back to standard error for NULL. */
int qorhost_set_log(const char *path);

/* Shifts what the host clock service (wzdttme) reports by `ms` milliseconds, from now on. Timers
 * and waits keep real time. For tests of expiry. */
void qorhost_advance_clock_ms(double ms);

/* The host's text-encoding identifier (control-block word 33, word 11). 20 is UTF-8, the
 * directory's encoding; others: qorhost_encoding_number("ISO-8859-1") and so on. The numbers:
 * 1 ISO-8859-1, 2 ISO-8859-15, 3 WINDOWS-1252, 4 US-ASCII, 5 IBM037 (EBCDIC), 6 IBM1047 (EBCDIC),
 * 20 UTF-8. qorhost_set_encoding answers -1 for a number outside that list. */
int qorhost_set_encoding(int encoding);
int qorhost_encoding_number(const char *iconv_name);  /* -1 when unknown */

/* Limits (each answers -1 for a value that is not positive). Connect: the bound of wqsconn over
 * all addresses of the host; default 10000. Read: the time allowed to read one whole message;
 * default 30000. Max message: the largest message the codec accepts; default 64 MiB.
 * Port map: connections to `from` go to `to` instead (QORHOST_PORT_MAP="389=41234,8001=41235");
 * to = 0 removes the mapping. */
int qorhost_set_connect_timeout_ms(int milliseconds);
int qorhost_set_read_timeout_ms(int milliseconds);
int qorhost_set_max_message(long bytes);
int qorhost_map_port(int from, int to);

/* Pool diagnostics. A pool is the address the module holds (for a session, ld_pool). */
typedef struct qorhost_pool_stats {
    long live_blocks;   /* blocks allocated and not released */
    long live_bytes;    /* their requested sizes */
    long peak_bytes;    /* highest live_bytes since the pool was made */
    long allocations;   /* allocations made since the pool was made */
} qorhost_pool_stats;
int qorhost_pool_stats_of(const void *pool, qorhost_pool_stats *stats);
long qorhost_live_pools(void);   /* pools made and not destroyed, all threads */

/* Allocation fault injection, for every pool and every thread: the nth allocation from now
 * (1 = the next) fails; with `persistent` set, every allocation from then on fails too.
 * Pool creation (wmtpc), block allocation and growth (wmrealc) all count. */
void qorhost_fail_allocation(long nth, int persistent);
void qorhost_fail_reset(void);
long qorhost_failures_injected(void);   /* failures injected since the last arm or reset */

#ifdef __cplusplus
}
#endif

#endif

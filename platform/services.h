// The runtime's implementations of the host services. Each is bound to its module and entry in
// service_table.cpp, which checks it against the signature of its row in the service tables.
// The names differ from the services' own, so nothing the runtime exports can stand in for a
// module's stub of the same name.
#pragma once

#include <cstdint>

#include "abi/host_types.h"

namespace qorhost {

// Linkage (module 0).
int32_t hiexprt_service(int32_t module, void *const *vector, uintptr_t pidb);
int32_t wideprt_service(int32_t module);
int32_t wiinstl_service(int32_t module, const char *name8, int32_t mode);

// Catalogue, environment and option lookup (modules 0, 31, 40).
int32_t wkread_service(int32_t catalogue, int32_t message, const char **text, int32_t *length);
int32_t wzosvar_service(const char *name, int32_t name_length, char *buffer, int32_t size, int32_t *length);
void *xalanch_service(uintptr_t task);
int32_t xjsymgc_service(void *options, const char *name, int32_t name_length, const char **value, int32_t *value_length,
                        int32_t mode, int32_t zero);
int32_t xjsymfr_service(void *options, const char *value);

// Pools (module 0).
int32_t wmtpc_service(HostPool **pool, int32_t initial, int32_t increment, int32_t attributes, uintptr_t task);
int32_t wmpoold_service(HostPool *pool);
int32_t wmrealc_service(HostPool *pool, void *block, int32_t mode, void **grown, int32_t size, int32_t flags);

// Timers, waits and the clock (module 0).
int32_t wtgwait_service(int32_t *which, int32_t mode, int32_t count, HostEvent *const *events);
int32_t wttimer_service(int32_t milliseconds, int32_t mode, HostEvent *event);
double wzdttme_service();

// Numbers, folding, comparison, transcoding (modules 0 and 4).
int32_t wzifmn_service(HostNumberRequest *request);
int32_t wzstrlo_service(char *text, int32_t length);
int32_t wzsxeqn_service(const char *a, int32_t a_length, const char *b, int32_t b_length);
int32_t wztxcod_service(const uint8_t *source, int32_t source_length, int32_t from, uint8_t *destination,
                        int32_t *destination_length, int32_t to, int32_t *needed);

// Formatting and logging (module 30).
int32_t xpsstr_service(char *buffer, int32_t size, const char *format, ...);
int32_t xpslog_service(const char *format, ...);
int32_t xprrlog_service(int32_t zero, int32_t status);

// Sockets (module 443).
int32_t wqssock_service(int32_t domain, uint32_t flags, int32_t zero, uintptr_t task, int32_t *socket);
int32_t wqsconn_service(int32_t socket, const char *host, int32_t host_length, int32_t zero1, int32_t zero2,
                        int32_t port);
int32_t wqsclos_service(int32_t socket);
int32_t wqsrsoc_service(int32_t socket, HostEvent *event);
int32_t wqsureg_service(int32_t socket);
int32_t wqsgmsk_service(int32_t *count, int32_t **sockets);
int32_t wqsfmsk_service(int32_t *sockets);
int32_t wqshost_service(char *buffer, int32_t size);
int32_t wqsread_service(int32_t socket, void *buffer, int32_t capacity, int32_t *received, int32_t wait_ms);
int32_t wqswrit_service(int32_t socket, const void *bytes, int32_t count, int32_t wait_ms);
int32_t wqslimt_service(int32_t *read_wait_ms, int32_t *max_message);
int32_t wqstlss_service(int32_t socket, const char *server_name, int32_t name_length, const char *ca_file,
                        int32_t ca_length, int32_t mode);
int32_t wqstlsr_service(int32_t socket, char *buffer, int32_t size, int32_t *length);

}  // namespace qorhost

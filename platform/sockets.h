// The socket registry shared by the socket services and the waits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "abi/host_types.h"
#include "tls.h"

namespace qorhost {

// A socket registered for read readiness on one of a wait's events.
struct WatchedSocket {
    int32_t handle;
    int fd;                           // -1 when the socket has no connection: it can only fail
    int event;                        // index of its event in the wait's list
    std::shared_ptr<TlsChannel> tls;  // its TLS layer, or null
};

// Modes of wqstlss.
inline constexpr int32_t kTlsModeNoVerification = 0;
inline constexpr int32_t kTlsModeVerify = 1;

// The sockets registered on any of `events` (null entries are skipped), into `watched` (what it
// held before is dropped; its storage is kept, so that a wait after wait allocates nothing).
void sockets_registered_on(HostEvent *const *events, int count, std::vector<WatchedSocket> &watched);

// True the first time a wait reports a failure of socket `handle`. A socket's failure is posted
// once; afterwards the socket counts as readable, so that a caller which restarts its wait reads
// it and learns that the connection has ended, instead of meeting the same failure on every wait.
bool first_failure_of(int32_t handle);

}  // namespace qorhost

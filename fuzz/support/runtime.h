// The platform runtime for the fuzz programs: started once per process with the directory module
// loaded (which installs the codec), every limit of the runtime set low so that no input can make
// a run wait long, and checks that end the run with a message when an invariant breaks.
#pragma once

#include <cstdint>

#include "module/client/ldap.h"

namespace qorfuzz {

// Starts the runtime and loads the module on the first call; aborts the program when the module
// cannot be loaded. Read and connect limits are set to `io_limit_ms`.
void start_runtime(int io_limit_ms = 200);

// A session opened with ldap_open to a peer of the program on the loopback interface. The
// connect limit is short, and a busy machine may leave a connection unaccepted that long, so a
// few attempts are made before the run fails. The session does not reconnect: the peer serves
// one connection per input.
LDAP *open_to_peer(std::uint16_t port);

// A pool made once for the whole program.
HostPool *program_pool();

// Blocks of `pool` allocated and not released.
long live_blocks(const void *pool);

// Reports a broken invariant on standard error and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Ends a session with `end` (which must destroy the session's pool) and fails the run when the
// pool still holds blocks at the moment it is destroyed: whatever is left then was lost by the
// session while it was in use.
void end_session(LDAP *ld, void (*end)(LDAP *ld));

// end_session with ldap_ld_free (no unbind requests).
void free_session(LDAP *ld);

// Arms allocation fault injection for the guard's lifetime: the nth allocation event from now
// fails (every later one too when `persistent`); nth 0 arms nothing.
class AllocationFaults {
public:
    AllocationFaults(long nth, bool persistent);
    ~AllocationFaults();
    AllocationFaults(const AllocationFaults &) = delete;
    AllocationFaults &operator=(const AllocationFaults &) = delete;
};

}  // namespace qorfuzz

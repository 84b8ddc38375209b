// Host status codes the runtime answers. 0 is success; every failure has the high bit set, so a
// caller that tests "above 0" (option lookup) or "non-zero" sees it as a failure either way.
#pragma once

#include <cstdint>

namespace qorhost {

enum HostStatus : uint32_t {
    kStatusOk = 0,
    kStatusFailed = 0x80002001u,               // unspecified failure of a system call
    kStatusBadArgument = 0x80002002u,          // null pointer, negative length, value out of range
    kStatusNotFound = 0x80002003u,             // name, message, module or value not known
    kStatusNoMemory = 0x80002004u,             // allocation failed (or was made to fail)
    kStatusInvalidImage = 0x80002005u,         // file is not a loadable module image
    kStatusNotConvertible = 0x80002006u,       // text cannot be represented in the target encoding
    kStatusUnknownEncoding = 0x80002007u,      // encoding number has no converter
    kStatusModuleInUse = 0x80002008u,          // module number already published with another vector
    kStatusNotPublished = 0x80002009u,         // nothing published under that module number
    kStatusBadSocket = 0x8000200Au,            // socket handle unknown or not connected
    kStatusConnectFailed = 0x8000200Bu,        // no address of the host accepted the connection
    kStatusTimedOut = 0x8000200Cu,             // the operation's time bound passed
    kStatusEndOfStream = 0x8000200Du,          // the peer closed the connection
    kStatusSocketFailed = 0x8000200Eu,         // the socket reported an error
    kStatusNothingToWaitFor = 0x8000200Fu,     // a wait that nothing could ever end
    kStatusResolveFailed = 0x80002010u,        // host name could not be resolved
    kStatusTooSmall = 0x80002011u,             // destination too small; the size needed is stored
    kStatusOutOfRange = 0x80002012u,           // number too large for its type
    kStatusTlsFailed = 0x80002013u,            // the TLS handshake or layer failed (reason kept)
    kStatusCertificateRejected = 0x80002014u,  // the server's certificate was not accepted
};

// The status as the int32 the services answer.
inline int32_t status(HostStatus s) {
    return static_cast<int32_t>(s);
}

// A short description of a status for log lines, or null when it is not one of the above.
const char *status_text(uint32_t status);

}  // namespace qorhost

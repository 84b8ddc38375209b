// Descriptions of the runtime's host statuses, for log lines.
#include "status.h"

namespace qorhost {

const char *status_text(uint32_t status) {
    switch (status) {
    case kStatusOk: return "success";
    case kStatusFailed: return "system call failed";
    case kStatusBadArgument: return "invalid argument";
    case kStatusNotFound: return "not found";
    case kStatusNoMemory: return "out of memory";
    case kStatusInvalidImage: return "not a valid module image";
    case kStatusNotConvertible: return "text cannot be converted";
    case kStatusUnknownEncoding: return "unknown encoding";
    case kStatusModuleInUse: return "module number already published";
    case kStatusNotPublished: return "module not published";
    case kStatusBadSocket: return "unknown or unconnected socket";
    case kStatusConnectFailed: return "connection failed";
    case kStatusTimedOut: return "timed out";
    case kStatusEndOfStream: return "connection closed by the peer";
    case kStatusSocketFailed: return "socket failed";
    case kStatusNothingToWaitFor: return "nothing to wait for";
    case kStatusResolveFailed: return "host name not resolved";
    case kStatusTooSmall: return "destination too small";
    case kStatusOutOfRange: return "number out of range";
    case kStatusTlsFailed: return "TLS failed";
    case kStatusCertificateRejected: return "server certificate not accepted";
    default: return nullptr;
    }
}

}  // namespace qorhost

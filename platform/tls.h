// TLS on a connected socket (OpenSSL 3): the client side of a handshake with certificate
// verification, and reads and writes through the TLS layer afterwards. The descriptor is
// non-blocking; every step that cannot go on at once answers what it waits for, and the socket
// services wait for that in poll(2) within their own bounds.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "clock.h"
#include "status.h"

typedef struct ssl_st SSL;

namespace qorhost {

// How the server's certificate is checked.
enum class TlsVerification {
    none,    // any certificate is accepted (the caller logs that it asked for this)
    demand,  // chain to a trusted CA, valid now, issued for the server name
};

// What a read or write through the TLS layer did.
enum class TlsStep {
    done,        // bytes moved (the count is stored)
    want_read,   // retry once the descriptor is readable
    want_write,  // retry once the descriptor is writable
    ended,       // the peer closed the connection
    failed,      // the TLS layer failed; the reason is stored
};

class TlsChannel {
public:
    ~TlsChannel();
    TlsChannel(const TlsChannel &) = delete;
    TlsChannel &operator=(const TlsChannel &) = delete;

    // Runs the client handshake on `fd` until `deadline`. `server_name` is sent as SNI when it is
    // a DNS name and, with verification, must be named by the certificate (as a DNS name, or as
    // an IP address for a numeric name). `ca_file` names a PEM file of trusted CAs; empty means
    // the system's CA store. TLS 1.2 at least. On failure answers null with the status
    // (kStatusTlsFailed, kStatusCertificateRejected, kStatusTimedOut) and a reason for people.
    static std::unique_ptr<TlsChannel> connect(int fd, std::string_view server_name, std::string_view ca_file,
                                               TlsVerification verification, Clock::time_point deadline,
                                               HostStatus *status, std::string *reason);

    TlsStep read(void *buffer, size_t capacity, size_t *received, std::string *reason);
    TlsStep write(const void *bytes, size_t count, size_t *sent, std::string *reason);

    // True when decrypted bytes wait in the TLS layer: the descriptor may be silent although a
    // read would return at once.
    bool holds_input() const;

    // For a wait that found the descriptor readable: processes what arrived without blocking and
    // answers whether a read would now find application data, the end of the stream or a
    // failure (true), or the records were only the protocol's own, such as session tickets
    // (false).
    bool input_ready();

    // Sends the close notification if that can be done at once; the descriptor stays open.
    void close_notify();

private:
    explicit TlsChannel(SSL *ssl) : ssl_(ssl) {}
    SSL *ssl_;
};

}  // namespace qorhost

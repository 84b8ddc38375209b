// The server side of TLS for tests of the client side: listens on 127.0.0.1 at a kernel-chosen
// port and serves one connection at a time with a certificate of the test CA. Every call is
// bounded by its limit; the test drives it (run the client on another thread while accept()
// waits for the handshake).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tests/support/loopback.h"
#include "tests/support/test_ca.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace qortest {

class TlsPeer {
public:
    explicit TlsPeer(const ServerIdentity &identity);
    ~TlsPeer();
    TlsPeer(const TlsPeer &) = delete;
    TlsPeer &operator=(const TlsPeer &) = delete;

    std::uint16_t port() const { return port_; }

    // Accepts the next connection (ending the one before) and runs the server handshake. False
    // when no client came within `limit` or the handshake failed (the client refused it).
    bool accept(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Writes the bytes as one TLS record.
    bool send(std::string_view bytes);
    // Reads exactly `count` bytes; nullopt when the connection ended or `limit` passed first.
    std::optional<std::string> receive(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    void end_connection();

    SSL_CTX *context_ = nullptr;
    Socket listener_;
    Socket connection_;
    SSL *ssl_ = nullptr;
    std::uint16_t port_ = 0;
};

}  // namespace qortest

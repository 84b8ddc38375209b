#include "tests/support/tls_peer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <fcntl.h>

#include <stdexcept>

namespace qortest {

namespace {

// Bounds every blocking call on the socket.
void set_limit(int fd, std::chrono::milliseconds limit) {
    timeval bound{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

}  // namespace

TlsPeer::TlsPeer(const ServerIdentity &identity) {
    context_ = SSL_CTX_new(TLS_server_method());
    if (context_ == nullptr ||
        SSL_CTX_use_certificate_file(context_, identity.certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, identity.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(context_);
        throw std::runtime_error("TlsPeer cannot use " + identity.certificate.string());
    }
    listener_ = listen_loopback(port_);
}

TlsPeer::~TlsPeer() {
    end_connection();
    SSL_CTX_free(context_);
}

void TlsPeer::end_connection() {
    SSL_free(ssl_);
    ssl_ = nullptr;
    connection_.reset();
}

bool TlsPeer::accept(std::chrono::milliseconds limit) {
    end_connection();
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
    connection_ = Socket(::accept(listener_.fd(), nullptr, nullptr));
    if (!connection_.valid()) return false;
    ::fcntl(connection_.fd(), F_SETFL, ::fcntl(connection_.fd(), F_GETFL) & ~O_NONBLOCK);
    set_limit(connection_.fd(), limit);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, connection_.fd());
    ERR_clear_error();
    return SSL_accept(ssl_) == 1;
}

bool TlsPeer::send(std::string_view bytes) {
    size_t sent = 0;
    return ssl_ != nullptr && SSL_write_ex(ssl_, bytes.data(), bytes.size(), &sent) == 1 && sent == bytes.size();
}

std::optional<std::string> TlsPeer::receive(std::size_t count, std::chrono::milliseconds limit) {
    if (ssl_ == nullptr) return std::nullopt;
    set_limit(connection_.fd(), limit);
    std::string bytes(count, '\0');
    for (size_t have = 0; have < count;) {
        size_t got = 0;
        if (SSL_read_ex(ssl_, bytes.data() + have, count - have, &got) != 1) return std::nullopt;
        have += got;
    }
    return bytes;
}

}  // namespace qortest

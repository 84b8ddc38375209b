// The client side of TLS over OpenSSL 3. Contexts (trusted CAs, protocol floor) are made once per
// CA file and shared by every connection; the socket I/O underneath is the runtime's own
// (send with MSG_NOSIGNAL, so a closed peer never raises SIGPIPE).
#include "tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace qorhost {
namespace {

// --- socket I/O under the TLS layer ----------------------------------------------------------

int descriptor(BIO *bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int bio_write(BIO *bio, const char *bytes, int count) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t sent = ::send(descriptor(bio), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
        return -1;
    }
}

int bio_read(BIO *bio, char *buffer, int capacity) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t got = ::recv(descriptor(bio), buffer, static_cast<size_t>(capacity), 0);
        if (got >= 0) return static_cast<int>(got);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
        return -1;
    }
}

long bio_control(BIO *, int command, long, void *) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD *socket_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qorhost socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_ctrl(m, bio_control);
            BIO_meth_set_create(m, bio_create);
        }
        return m;
    }();
    return method;
}

// --- contexts --------------------------------------------------------------------------------

// The most recent OpenSSL reason on this thread's error queue, or `fallback`.
std::string openssl_reason(const char *fallback) {
    const unsigned long error = ERR_peek_last_error();
    const char *reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : fallback;
}

// A context per CA file, remade when the file changes (by modification time and size).
struct CachedContext {
    std::string ca_file;
    timespec modified{};
    off_t size = 0;
    SSL_CTX *context = nullptr;
};

constexpr size_t kMaxContexts = 16;
std::mutex contexts_lock;
// Newest last; guarded by contexts_lock. The cache lives as long as the process: its contexts
// stay reachable to the end, and none is freed after OpenSSL's own clean-up at exit.
std::vector<CachedContext> &contexts = *new std::vector<CachedContext>;

// A context that trusts the CAs of `ca_file` (the system's store when empty), with one more
// reference for the caller; null with a reason when the CAs cannot be loaded.
SSL_CTX *context_for(const std::string &ca_file, std::string *reason) {
    struct stat file {};
    if (!ca_file.empty() && ::stat(ca_file.c_str(), &file) != 0) {
        *reason = "cannot read the CA certificates in " + ca_file;
        return nullptr;
    }
    std::lock_guard lock(contexts_lock);
    for (const CachedContext &c : contexts) {
        if (c.ca_file == ca_file && c.size == file.st_size && c.modified.tv_sec == file.st_mtim.tv_sec &&
            c.modified.tv_nsec == file.st_mtim.tv_nsec) {
            SSL_CTX_up_ref(c.context);
            return c.context;
        }
    }
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        *reason = "TLS unavailable: " + openssl_reason("no context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    const int loaded = ca_file.empty() ? SSL_CTX_set_default_verify_paths(context)
                                       : SSL_CTX_load_verify_locations(context, ca_file.c_str(), nullptr);
    if (loaded != 1) {
        *reason = "cannot read the CA certificates in " +
                  (ca_file.empty() ? std::string("the system store") : ca_file) + ": " +
                  openssl_reason("no certificates");
        SSL_CTX_free(context);
        return nullptr;
    }
    if (contexts.size() == kMaxContexts) {
        SSL_CTX_free(contexts.front().context);  // connections made with it keep their reference
        contexts.erase(contexts.begin());
    }
    contexts.push_back({ca_file, file.st_mtim, file.st_size, context});
    SSL_CTX_up_ref(context);
    return context;
}

bool is_ip_address(const std::string &name) {
    unsigned char address[16];
    return inet_pton(AF_INET, name.c_str(), address) == 1 || inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// Waits for the descriptor as `step` asks; false when the deadline passed or poll failed.
bool wait_for_step(int fd, TlsStep step, Clock::time_point deadline) {
    pollfd p{fd, static_cast<short>(step == TlsStep::want_write ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int ready = poll(&p, 1, milliseconds_until(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// What an SSL call's answer means. `reason` receives the cause of a failure.
TlsStep step_of(SSL *ssl, int answer, std::string *reason) {
    switch (SSL_get_error(ssl, answer)) {
    case SSL_ERROR_NONE: return TlsStep::done;
    case SSL_ERROR_WANT_READ: return TlsStep::want_read;
    case SSL_ERROR_WANT_WRITE: return TlsStep::want_write;
    case SSL_ERROR_ZERO_RETURN: return TlsStep::ended;
    case SSL_ERROR_SYSCALL:
        if (errno == 0) return TlsStep::ended;
        *reason = std::string("TLS connection failed: ") + std::strerror(errno);
        return TlsStep::failed;
    default:
        // A peer that ends the connection without a close notification.
        if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return TlsStep::ended;
        *reason = "TLS connection failed: " + openssl_reason("protocol error");
        return TlsStep::failed;
    }
}

// The reason of a handshake that did not complete.
std::string handshake_failure(SSL *ssl, TlsStep step, const std::string &server_name, const std::string &detail) {
    const long verified = SSL_get_verify_result(ssl);
    if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        return "host name mismatch: the server's certificate is not for " + server_name;
    }
    if (verified != X509_V_OK) {
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    }
    if (step == TlsStep::ended) return "TLS handshake failed: connection closed by the server";
    if (step == TlsStep::failed && detail.rfind("TLS connection failed: ", 0) == 0) {
        return "TLS handshake failed: " + detail.substr(23);
    }
    return "TLS handshake failed: " + detail;
}

}  // namespace

TlsChannel::~TlsChannel() {
    SSL_free(ssl_);
}

std::unique_ptr<TlsChannel> TlsChannel::connect(int fd, std::string_view server_name, std::string_view ca_file,
                                                TlsVerification verification, Clock::time_point deadline,
                                                HostStatus *status, std::string *reason) {
    *status = kStatusTlsFailed;
    const std::string name(server_name);
    SSL_CTX *context = context_for(std::string(ca_file), reason);
    if (context == nullptr) return nullptr;
    ERR_clear_error();
    SSL *ssl = SSL_new(context);
    SSL_CTX_free(context);  // the connection holds its own reference
    BIO *bio = ssl != nullptr && socket_method() != nullptr ? BIO_new(socket_method()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        *reason = "TLS unavailable: " + openssl_reason("no memory");
        return nullptr;
    }
    std::unique_ptr<TlsChannel> channel(new TlsChannel(ssl));
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const bool numeric = is_ip_address(name);
    if (!numeric && !name.empty()) SSL_set_tlsext_host_name(ssl, name.c_str());
    if (verification == TlsVerification::demand) {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int named = numeric ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                                  : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
        if (named != 1 || name.empty()) {
            *reason = "host name mismatch: \"" + name + "\" cannot name a server";
            *status = kStatusCertificateRejected;
            return nullptr;
        }
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    }

    for (;;) {
        ERR_clear_error();
        errno = 0;
        std::string detail;
        const TlsStep step = step_of(ssl, SSL_connect(ssl), &detail);
        if (step == TlsStep::done) return channel;
        if ((step == TlsStep::want_read || step == TlsStep::want_write) && wait_for_step(fd, step, deadline)) continue;
        if (step == TlsStep::want_read || step == TlsStep::want_write) {
            *status = kStatusTimedOut;
            *reason = "TLS handshake timed out";
            return nullptr;
        }
        if (SSL_get_verify_result(ssl) != X509_V_OK) *status = kStatusCertificateRejected;
        *reason = handshake_failure(ssl, step, name, detail);
        return nullptr;
    }
}

TlsStep TlsChannel::read(void *buffer, size_t capacity, size_t *received, std::string *reason) {
    ERR_clear_error();
    errno = 0;
    const TlsStep step = step_of(ssl_, SSL_read_ex(ssl_, buffer, capacity, received), reason);
    return step;
}

TlsStep TlsChannel::write(const void *bytes, size_t count, size_t *sent, std::string *reason) {
    ERR_clear_error();
    errno = 0;
    return step_of(ssl_, SSL_write_ex(ssl_, bytes, count, sent), reason);
}

bool TlsChannel::holds_input() const {
    return SSL_pending(ssl_) > 0;
}

bool TlsChannel::input_ready() {
    char byte = 0;
    size_t peeked = 0;
    ERR_clear_error();
    errno = 0;
    std::string ignored;
    const TlsStep step = step_of(ssl_, SSL_peek_ex(ssl_, &byte, 1, &peeked), &ignored);
    return step != TlsStep::want_read;
}

void TlsChannel::close_notify() {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

}  // namespace qorhost

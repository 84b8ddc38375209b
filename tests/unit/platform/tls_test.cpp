// TLS on host sockets: handshakes against a TLS peer with certificates of the test CA, what a
// refused certificate reports, transfers and waits through the TLS layer, and bounds.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <string>

#include "tests/support/loopback.h"
#include "tests/support/test_ca.h"
#include "tests/support/tls_peer.h"
#include "tests/unit/platform/service.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int32_t kVerify = 1;
constexpr int32_t kNoVerification = 0;
constexpr int32_t kTimedOut = static_cast<int32_t>(0x8000200Cu);
constexpr int32_t kTlsFailed = static_cast<int32_t>(0x80002013u);
constexpr int32_t kCertificateRejected = static_cast<int32_t>(0x80002014u);

// A host socket connected to a port on 127.0.0.1.
struct HostSocket {
    int32_t handle = 0;
    explicit HostSocket(uint16_t port) {
        qorhost_start();
        EXPECT_EQ(svc::wqssock()(1, 0x80000000u, 0, 0, &handle), 0);
        EXPECT_EQ(svc::wqsconn()(handle, "127.0.0.1", 9, 0, 0, port), 0);
    }
    ~HostSocket() {
        svc::wqsureg()(handle);
        svc::wqsclos()(handle);
    }
    int32_t start_tls(const std::string &name, const std::string &ca_file, int32_t mode) const {
        return svc::wqstlss()(handle, name.data(), static_cast<int32_t>(name.size()), ca_file.data(),
                              static_cast<int32_t>(ca_file.size()), mode);
    }
    std::string failure() const {
        char reason[256] = {};
        int32_t length = 0;
        return svc::wqstlsr()(handle, reason, sizeof reason, &length) == 0 ? std::string(reason, length) : "<none>";
    }
};

// The client's handshake with a peer serving `identity`: the start's status, and whether the
// peer saw the handshake complete.
struct Handshake {
    int32_t status;
    bool peer_done;
    std::string failure;
};

Handshake handshake(qortest::TlsPeer &peer, const HostSocket &client, const std::string &name, const std::string &ca,
                    int32_t mode) {
    std::future<bool> served = std::async(std::launch::async, [&] { return peer.accept(5s); });
    const int32_t status = client.start_tls(name, ca, mode);
    const std::string failure = client.failure();
    if (status != 0) svc::wqsclos()(client.handle);   // a client that gave up before its hello
    return {status, served.get(), failure};
}

TEST(Tls, VerifiedSessionCarriesBytesBothWays) {
    const qortest::TestCa &ca = qortest::test_ca();
    qortest::TlsPeer peer(ca.server());
    for (const char *name : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(name);
        HostSocket client(peer.port());
        const Handshake h = handshake(peer, client, name, ca.ca_file().string(), kVerify);
        ASSERT_EQ(h.status, 0) << h.failure;
        ASSERT_TRUE(h.peer_done);
        EXPECT_EQ(codec_svc::wqswrit()(client.handle, "hello", 5, 1000), 0);
        EXPECT_EQ(peer.receive(5), "hello");
        ASSERT_TRUE(peer.send("world"));
        char buffer[16];
        int32_t received = 0;
        ASSERT_EQ(codec_svc::wqsread()(client.handle, buffer, sizeof buffer, &received, 1000), 0);
        EXPECT_EQ(std::string(buffer, received), "world");
        EXPECT_EQ(client.start_tls(name, ca.ca_file().string(), kVerify), static_cast<int32_t>(0x80002002u))
            << "TLS cannot start twice";
    }
}

TEST(Tls, RefusedCertificatesNameTheirCause) {
    const qortest::TestCa &ca = qortest::test_ca();
    struct Case {
        const char *what;
        const qortest::ServerIdentity &identity;
        std::string ca_file;
        const char *name;
        int32_t mode;
        int32_t status;
        std::string failure;
    } cases[] = {
        {"unknown CA", ca.server(), ca.stranger_ca_file().string(), "127.0.0.1", kVerify, kCertificateRejected,
         "certificate verify failed: unable to get local issuer certificate"},
        {"system store", ca.server(), "", "localhost", kVerify, kCertificateRejected,
         "certificate verify failed: unable to get local issuer certificate"},
        {"other IP", ca.other_name(), ca.ca_file().string(), "127.0.0.1", kVerify, kCertificateRejected,
         "host name mismatch: the server's certificate is not for 127.0.0.1"},
        {"other name", ca.other_name(), ca.ca_file().string(), "localhost", kVerify, kCertificateRejected,
         "host name mismatch: the server's certificate is not for localhost"},
        {"expired", ca.expired(), ca.ca_file().string(), "127.0.0.1", kVerify, kCertificateRejected,
         "certificate verify failed: certificate has expired"},
        {"missing CA file", ca.server(), "/nonexistent/ca.pem", "127.0.0.1", kVerify, kTlsFailed,
         "cannot read the CA certificates in /nonexistent/ca.pem"},
        {"not verified", ca.other_name(), ca.stranger_ca_file().string(), "127.0.0.1", kNoVerification, 0, "<none>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qortest::TlsPeer peer(c.identity);
        HostSocket client(peer.port());
        const Handshake h = handshake(peer, client, c.name, c.ca_file, c.mode);
        EXPECT_EQ(h.status, c.status);
        EXPECT_EQ(h.failure, c.failure);
        EXPECT_EQ(h.peer_done, c.status == 0);
    }
}

TEST(Tls, WaitsSeeBytesTheLayerHoldsAndNotTheProtocolsOwnRecords) {
    const qortest::TestCa &ca = qortest::test_ca();
    qortest::TlsPeer peer(ca.server());
    HostSocket client(peer.port());
    ASSERT_EQ(handshake(peer, client, "127.0.0.1", ca.ca_file().string(), kVerify).status, 0);
    HostEvent event{};
    HostEvent timer{};
    HostEvent *events[] = {&event, &timer};
    ASSERT_EQ(svc::wqsrsoc()(client.handle, &event), 0);
    const auto wait = [&](int32_t milliseconds) {
        svc::wttimer()(milliseconds, 0, &timer);
        int32_t which = -1;
        EXPECT_EQ(svc::wtgwait()(&which, 1, 2, events), 0);
        svc::wttimer()(0, 0, nullptr);
        return which;
    };
    // Whatever the handshake left behind (session tickets) is not something to read.
    EXPECT_EQ(wait(200), 1);

    ASSERT_TRUE(peer.send("abcdef"));
    EXPECT_EQ(wait(5000), 0);
    char buffer[2];
    int32_t received = 0;
    ASSERT_EQ(codec_svc::wqsread()(client.handle, buffer, sizeof buffer, &received, 1000), 0);
    EXPECT_EQ(std::string(buffer, received), "ab");
    // The other four bytes arrived with the first two: the socket itself is silent now.
    const auto start = Clock::now();
    EXPECT_EQ(wait(5000), 0);
    EXPECT_LT(Clock::now() - start, 1s);
    int32_t count = 0;
    int32_t *ready = nullptr;
    ASSERT_EQ(svc::wqsgmsk()(&count, &ready), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(count > 0 ? ready[0] : 0, client.handle);
    svc::wqsfmsk()(ready);
}

TEST(Tls, StalledHandshakeEndsAtTheConnectLimit) {
    uint16_t port = 0;
    const qortest::Socket listener = qortest::listen_loopback(port);   // accepts, never answers
    HostSocket client(port);
    ASSERT_EQ(qorhost_set_connect_timeout_ms(300), 0);
    const auto start = Clock::now();
    EXPECT_EQ(client.start_tls("127.0.0.1", qortest::test_ca().ca_file().string(), kVerify), kTimedOut);
    const auto took = Clock::now() - start;
    qorhost_set_connect_timeout_ms(10000);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(client.failure(), "TLS handshake timed out");
}

TEST(Tls, PlainPeerFailsTheHandshake) {
    uint16_t port = 0;
    const qortest::Socket listener = qortest::listen_loopback(port);
    HostSocket client(port);
    std::future<void> answered = std::async(std::launch::async, [&] {
        pollfd p{listener.fd(), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        qortest::Socket peer(accept(listener.fd(), nullptr, nullptr));
        const char reply[] = "0\x84\x00\x00\x00\x01 not TLS";
        char hello[512];
        recv(peer.fd(), hello, sizeof hello, 0);
        send(peer.fd(), reply, sizeof reply, MSG_NOSIGNAL);
    });
    EXPECT_EQ(client.start_tls("127.0.0.1", qortest::test_ca().ca_file().string(), kVerify), kTlsFailed);
    answered.get();
    EXPECT_EQ(client.failure().rfind("TLS handshake failed: ", 0), 0u) << client.failure();
}

}  // namespace

// Encrypted sessions against a slapd that serves ldaps and StartTLS with a certificate of the test
// CA, and refuses updates on connections without TLS; refused certificates from an in-process TLS
// peer; refused StartTLS and a stalled handshake from the scripted server.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "module/client/client.h"
#include "module/client/pool.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"
#include "tests/support/test_ca.h"
#include "tests/support/tls_peer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace ldap = qortest::ldap;

constexpr const char *kAdmin = "cn=admin,o=example";
constexpr const char *kPassword = "secret";
constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";
constexpr std::uint8_t kExtendedRequest = 0x77;

void clear_settings() {
    for (const char *name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BINDDN", "LDAP_BINDPW", "LDAP_BASE", "LDAP_TLS_CACERT",
                             "LDAP_TLS_REQCERT"}) {
        unsetenv(name);
        qorhost_set_option(name, nullptr);
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

qortest::SlapdOptions tls_directory(const qortest::ServerIdentity &identity) {
    qortest::SlapdOptions options;
    options.tls = identity;
    options.tls_ca_file = qortest::test_ca().ca_file();
    options.extra_database_config = {"security update_tls=1"};
    return options;
}

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        server_ = std::make_unique<qortest::Slapd>(tls_directory(qortest::test_ca().server()));
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ASSERT_NE(server_, nullptr) << "slapd did not start";
        clear_settings();
        qorhost_set_option("LDAP_TLS_CACERT", qortest::test_ca().ca_file().c_str());
        log_ = ::testing::TempDir() + "qortest-tls-" + std::to_string(::getpid()) + ".log";
        std::remove(log_.c_str());
        qorhost_set_log(log_.c_str());
    }
    void TearDown() override {
        if (ld_ != nullptr) ds_.dsclose(ld_);
        ld_ = nullptr;
        qorhost_set_log(nullptr);
        std::remove(log_.c_str());
        qorhost_set_connect_timeout_ms(10000);
        qorhost_fail_reset();
        clear_settings();
    }

    static std::string ldaps(const char *host = "127.0.0.1") {
        return std::string("ldaps://") + host + ":" + std::to_string(server_->tls_port());
    }
    int32_t open(const std::string &hosts, int32_t port = 0, int32_t options = 0) {
        return ds_.dsopen(&ld_, hosts.c_str(), port, options, "o=example", kAdmin, kPassword);
    }
    // Replaces Bob's description and reads it back.
    std::string write_and_read(const char *description) {
        char *values[] = {const_cast<char *>(description), nullptr};
        const int32_t changed = ds_.dsmodone(ld_, kBob, DS_MOD_REPLACE, "description", values);
        if (changed != DS_OK) return "modify answered " + std::to_string(DS_CODE(changed));
        dsent **result = nullptr;
        char *attributes[] = {const_cast<char *>("description"), nullptr};
        if (ds_.dsrslvdn(ld_, kBob, attributes, &result) != DS_OK || result == nullptr) return "no entry";
        std::string read = result[0]->de_atts[0] != nullptr ? ds_.dsgstr(result[0]->de_atts[0]->da_vals[0]) : "";
        ds_.dsfree(ld_, result);
        return read;
    }
    std::string host_log() const { return read_file(log_); }

    static std::unique_ptr<qortest::Slapd> server_;
    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
    std::string log_;
};

std::unique_ptr<qortest::Slapd> TlsTest::server_;

TEST_F(TlsTest, LdapsReadsAndWritesWithTheRightCa) {
    for (const char *host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        ASSERT_EQ(open(ldaps(host)), DS_OK);
        EXPECT_EQ(write_and_read(host), host);
        ds_.dsclose(ld_);
        ld_ = nullptr;
    }
    // A list whose first entry is unreachable goes on to the next one; the port of a bare entry
    // does not apply to a URL.
    ASSERT_EQ(open("127.0.0.1:1 " + ldaps(), server_->port()), DS_OK);
    EXPECT_EQ(write_and_read("second entry"), "second entry");
    EXPECT_EQ(host_log(), "") << "nothing to report";
}

TEST_F(TlsTest, PlainSessionsCannotWriteHere) {
    ASSERT_EQ(open("ldap://127.0.0.1:" + std::to_string(server_->port())), DS_OK);
    EXPECT_EQ(write_and_read("in clear"), "modify answered 13") << "the server requires TLS for updates";
}

TEST_F(TlsTest, RefusedCertificatesFailTheOpenAndLogTheirReason) {
    const qortest::TestCa &ca = qortest::test_ca();
    struct Case {
        const char *what;
        const qortest::ServerIdentity &identity;
        std::string ca_file;
        const char *host;
        std::string reason;
    } cases[] = {
        {"unknown CA", ca.server(), ca.stranger_ca_file().string(), "127.0.0.1",
         "certificate verify failed: unable to get local issuer certificate"},
        {"name mismatch", ca.other_name(), ca.ca_file().string(), "localhost",
         "host name mismatch: the server's certificate is not for localhost"},
        {"expired", ca.expired(), ca.ca_file().string(), "127.0.0.1",
         "certificate verify failed: certificate has expired"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qortest::TlsPeer peer(c.identity);
        qorhost_set_option("LDAP_TLS_CACERT", c.ca_file.c_str());
        std::future<bool> served = std::async(std::launch::async, [&] { return peer.accept(5s); });
        const std::string url = std::string("ldaps://") + c.host + ":" + std::to_string(peer.port());
        EXPECT_EQ(open(url), DS_NO_CONNECTION);
        EXPECT_EQ(ld_, nullptr);
        EXPECT_FALSE(served.get());
        EXPECT_NE(host_log().find("qorldap: TLS with " + std::string(c.host) + ":" + std::to_string(peer.port()) +
                                  " failed: " + c.reason + "\n"),
                  std::string::npos)
            << host_log();
    }
    // Without verification the same certificate is taken, and the log says so.
    qorhost_set_option("LDAP_TLS_CACERT", ca.stranger_ca_file().c_str());
    qorhost_set_option("LDAP_TLS_REQCERT", "never");
    ASSERT_EQ(open(ldaps()), DS_OK);
    EXPECT_NE(host_log().find("without certificate verification (LDAP_TLS_REQCERT=never)"), std::string::npos);
}

TEST_F(TlsTest, StartTlsProtectsTheBindAndTheUpdates) {
    ASSERT_EQ(open("127.0.0.1", server_->port(), DS_OPT_START_TLS), DS_OK);
    EXPECT_EQ(write_and_read("after StartTLS"), "after StartTLS");
    // An option word set later for other reasons keeps StartTLS for the connections still to come.
    ds_.dsopt(ld_, -1, -1, DS_OPT_CHASE_REFERRALS, nullptr);
    EXPECT_EQ(ld_->ld_option_flags, static_cast<uint32_t>(DS_OPT_CHASE_REFERRALS | DS_OPT_START_TLS));
    // A session that only tries StartTLS gets it from a server that agrees.
    ds_.dsclose(ld_);
    ASSERT_EQ(open("127.0.0.1", server_->port(), DS_OPT_TRY_START_TLS), DS_OK);
    EXPECT_EQ(write_and_read("tried"), "tried");
}

// What the scripted server received on its only connection: the request tags.
std::vector<std::uint8_t> operations(const qortest::FakeLdapServer &server) {
    std::vector<std::uint8_t> ops;
    for (const qortest::ReceivedRequest &r : server.all_requests()) ops.push_back(r.op);
    return ops;
}

TEST_F(TlsTest, RefusedOrBrokenStartTlsSendsNoPassword) {
    {
        qortest::FakeLdapServer server;
        server.accept()
            .expect_request(kExtendedRequest, 1)
            .reply(ldap::extended_response(1, ldap::code::protocol_error, "", "unsupported extended operation"))
            .expect_close();
        server.start();
        EXPECT_EQ(open("127.0.0.1", server.port(), DS_OPT_START_TLS), DS_STATUS(ldap::code::protocol_error));
        server.finish();
        EXPECT_EQ(operations(server), std::vector<std::uint8_t>{kExtendedRequest});
    }
    {
        // Answer and further bytes arrive together: they would pass for protected.
        qortest::FakeLdapServer server;
        server.accept()
            .expect_request(kExtendedRequest, 1)
            .reply({ldap::extended_response(1, 0, "", ""), ldap::bind_response(2, 0)})
            .hold();
        server.start();
        EXPECT_EQ(open("127.0.0.1", server.port(), DS_OPT_START_TLS), DS_NO_CONNECTION);
        server.finish();
        EXPECT_EQ(operations(server), std::vector<std::uint8_t>{kExtendedRequest});
        EXPECT_NE(host_log().find("the server sent more than its StartTLS answer before TLS"), std::string::npos);
    }
    {
        // Only trying: the refusal is logged and the session goes on in clear.
        qortest::FakeLdapServer server;
        server.accept()
            .expect_request(kExtendedRequest, 1)
            .reply(ldap::extended_response(1, ldap::code::protocol_error, "", "unsupported extended operation"))
            .expect(ldap::bind_request(2, 3, kAdmin, kPassword))
            .reply(ldap::bind_response(2, 0));
        server.start();
        EXPECT_EQ(open("127.0.0.1", server.port(), DS_OPT_TRY_START_TLS), DS_OK);
        ds_.dsclose(ld_);
        ld_ = nullptr;
        server.finish();
        EXPECT_NE(host_log().find("refused StartTLS (code 2: unsupported extended operation); going on without TLS"),
                  std::string::npos)
            << host_log();
    }
}

TEST_F(TlsTest, StalledHandshakeEndsAtTheConnectLimit) {
    std::uint16_t port = 0;
    const qortest::Socket listener = qortest::listen_loopback(port);   // connects, never answers
    qorhost_set_connect_timeout_ms(300);
    const auto start = Clock::now();
    EXPECT_EQ(open("ldaps://127.0.0.1:" + std::to_string(port)), DS_NO_CONNECTION);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_NE(host_log().find("failed: TLS handshake timed out"), std::string::npos) << host_log();
}

TEST_F(TlsTest, ReferralsAreChasedOverTls) {
    qortest::SlapdOptions other = tls_directory(qortest::test_ca().server());
    other.suffix = "o=other";
    other.ldif_files = {qortest::data_file("other.ldif")};
    other.extra_database_config = {"security ssf=1"};   // nothing at all without TLS
    qortest::Slapd other_server(other);
    // An ldaps URL is chased over TLS; a plain one with StartTLS when the session asks for it.
    for (const bool start_tls : {false, true}) {
        SCOPED_TRACE(start_tls ? "StartTLS" : "ldaps");
        qortest::SlapdOptions referring;
        referring.referral = start_tls ? other_server.url() : other_server.ldaps_url();
        qortest::Slapd referring_server(referring);

        // A version-2 session gets the referral as text and chases it.
        LDAP *ld = ldap_open("127.0.0.1", referring_server.port());
        ASSERT_NE(ld, nullptr);
        ld->ld_tls_ca_file = qor::pool_copy_text(ld->ld_pool, qortest::test_ca().ca_file().c_str());
        if (start_tls) ld->ld_option_flags |= OPT_START_TLS;
        ld->ld_protocol_version = 2;
        ld->ld_timelimit = 10000;
        ASSERT_EQ(ldap_simple_bind_s(ld, nullptr, nullptr), LDAP_SUCCESS);
        LDAPMessage *result = nullptr;
        EXPECT_EQ(ldap_search_s(ld, "o=other", LDAP_SCOPE_SUBTREE, "(objectclass=*)", nullptr, 0, &result),
                  LDAP_SUCCESS);
        EXPECT_GT(ldap_count_entries(ld, result), 1);
        ldap_msgfree(ld->ld_pool, result);
        ldap_unbind(ld);
    }
}

TEST_F(TlsTest, SessionsOnFourThreadsAtOnce) {
    std::vector<std::future<std::string>> sessions;
    for (int t = 0; t < 4; ++t) {
        sessions.push_back(std::async(std::launch::async, [this, t] {
            qorldap::Session session(ds_);
            if (session.open(ldaps().c_str(), 0, 0, "o=example") != DS_OK) return std::string("open failed");
            for (int i = 0; i < 50; ++i) {
                qorldap::ResultSet entry(session);
                if (entry.resolve_dn(kBob) != DS_OK || entry.size() != 1) return "lookup " + std::to_string(i);
            }
            return "thread " + std::to_string(t);
        }));
    }
    for (int t = 0; t < 4; ++t) EXPECT_EQ(sessions[t].get(), "thread " + std::to_string(t));
}

TEST_F(TlsTest, AllocationFailuresInTlsOpensLeaveNothingBehind) {
    const long pools = qorhost_live_pools();
    for (const int32_t options : {0, DS_OPT_START_TLS}) {
        const std::string hosts = options == 0 ? ldaps() : "127.0.0.1:" + std::to_string(server_->port());
        bool opened = false;
        for (long nth = 1; nth < 2000 && !opened; ++nth) {
            int32_t status = 0;
            long injected = 0;
            {
                qortest::FailAllocations fail(nth);
                status = open(hosts, 0, options);
                injected = fail.injected();
            }
            if (status == DS_OK) {
                opened = injected == 0;
                ds_.dsclose(ld_);
                ld_ = nullptr;
            } else {
                EXPECT_EQ(ld_, nullptr);
                EXPECT_TRUE(status == DS_NO_CONNECTION || status == DS_NO_MEMORY || DS_CODE(status) == 81 ||
                            DS_CODE(status) == 83 || DS_CODE(status) == 84)
                    << "allocation " << nth << " answered 0x" << std::hex << static_cast<uint32_t>(status);
            }
            EXPECT_EQ(qorhost_live_pools(), pools) << "allocation " << nth;
            if (HasFailure()) return;
        }
        EXPECT_TRUE(opened);
    }
}

}  // namespace

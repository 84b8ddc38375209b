// qords over TLS: ldaps URLs in -H, StartTLS with -Z and -ZZ, --cacert, and bench, against a
// slapd that serves TLS with a certificate of the test CA and refuses updates without TLS.
#include "qords_fixture.h"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/test_ca.h"

namespace qordstest {
namespace {

namespace ldap = qortest::ldap;

constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";

class QordsTls : public QordsTest {
protected:
    static void SetUpTestSuite() {
        qortest::SlapdOptions options;
        options.tls = qortest::test_ca().server();
        options.tls_ca_file = qortest::test_ca().ca_file();
        options.extra_database_config = {"security update_tls=1"};
        start_server(options);
    }
    static std::string cacert() { return qortest::test_ca().ca_file().string(); }
    static std::string ldaps(const char *host = "127.0.0.1") {
        return std::string("ldaps://") + host + ":" + std::to_string(server().tls_port());
    }
};

TEST_F(QordsTls, ReadsAndWritesOverLdapsAndStartTls) {
    const std::vector<std::vector<std::string>> ways = {
        {"-H", ldaps()},
        {"-H", "ldap://127.0.0.1:1," + ldaps("localhost")},   // the first is unreachable
        {"-ZZ"},
        {"-Z"},
    };
    for (const auto &way : ways) {
        const std::string description = "via " + way[0];
        std::vector<std::string> arguments = way;
        arguments.insert(arguments.end(), {"--cacert", cacert(), "modify", kBob, "replace", "description", description});
        SCOPED_TRACE(arguments[0] + " " + arguments[1]);
        EXPECT_TRUE(exited_with(as_admin(arguments), 0));
        arguments.resize(way.size() + 2);
        arguments.insert(arguments.end(), {"read", kBob, "description"});
        const Outcome read = qords(arguments);
        ASSERT_TRUE(exited_with(read, 0));
        EXPECT_NE(read.out.find("description: " + description + "\n"), std::string::npos) << read.out;
        EXPECT_EQ(read.err, "");
    }
    const Outcome plain = as_admin({"modify", kBob, "replace", "description", "in clear"});
    EXPECT_TRUE(exited_with(plain, 3));
    EXPECT_NE(plain.err.find("(0x8014400d)"), std::string::npos) << plain.err;
}

TEST_F(QordsTls, RefusedCertificatesAndCaFilesAreReported) {
    const Outcome unknown = qords({"-H", ldaps(), "read", kBob});
    EXPECT_TRUE(exited_with(unknown, 3));
    EXPECT_NE(unknown.err.find("qorldap: TLS with 127.0.0.1:" + std::to_string(server().tls_port()) +
                               " failed: certificate verify failed: "),
              std::string::npos)
        << unknown.err;
    EXPECT_NE(unknown.err.find("Can't contact LDAP server (0x80144051)"), std::string::npos) << unknown.err;

    const Outcome missing = qords({"-H", ldaps(), "--cacert", "/nonexistent/ca.pem", "read", kBob});
    EXPECT_TRUE(exited_with(missing, 2));
    EXPECT_EQ(missing.err, "qords: --cacert: cannot read /nonexistent/ca.pem\n");
}

TEST_F(QordsTls, ZGoesOnInClearWhenRefusedAndZZDoesNot) {
    const auto refusing = [](qortest::FakeLdapServer &server) -> qortest::FakeLdapServer & {
        return server.accept()
            .expect_request(0x77, 1)
            .reply(ldap::extended_response(1, ldap::code::protocol_error, "", "unsupported extended operation"));
    };
    qortest::FakeLdapServer strict;
    refusing(strict).expect_close();
    strict.start();
    const std::string strict_host = "-H" + strict.host_port();
    const Outcome required = qords({strict_host, "-ZZ", "-D", "cn=admin,o=example", "-w", "secret", "read", kBob});
    strict.finish();
    EXPECT_TRUE(exited_with(required, 3));
    EXPECT_NE(required.err.find("Protocol error (0x80144002)"), std::string::npos) << required.err;
    EXPECT_EQ(strict.all_requests().size(), 1u) << "nothing but the StartTLS request";

    qortest::FakeLdapServer lenient;
    refusing(lenient)
        .answer_bind()
        .expect_request(ldap::op::search_request)
        .reply_with([](const qortest::ReceivedRequest &r) {
            qortest::Bytes answer = ldap::search_entry(r.id, kBob, {});
            const qortest::Bytes done = ldap::search_done(r.id, 0);
            answer.insert(answer.end(), done.begin(), done.end());
            return answer;
        });
    lenient.start();
    const Outcome attempted = qords({"-H" + lenient.host_port(), "-Z", "read", kBob});
    lenient.finish();
    EXPECT_TRUE(exited_with(attempted, 0));
    EXPECT_NE(attempted.err.find("refused StartTLS (code 2: unsupported extended operation); going on without TLS"),
              std::string::npos)
        << attempted.err;
}

TEST_F(QordsTls, BenchRunsOverTls) {
    const Outcome outcome = qords({"-H", ldaps(), "--cacert", cacert(), "--json", "bench", "read", kBob, "--seconds", "1"});
    ASSERT_TRUE(exited_with(outcome, 0));
    EXPECT_NE(outcome.out.find("\"open_ms\": "), std::string::npos) << outcome.out;
}

}  // namespace
}  // namespace qordstest

// The exit statuses scripts rely on, each with the message that tells why: 0 complete, 1 FALSE,
// 2 usage or input error, 3 directory failure, 4 no such object, 5 partial result. Failures carry
// the server's own words where it sent some.
#include "qords_fixture.h"
#include "tests/support/loopback.h"

namespace qordstest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";

// Names outside o=example are referred to a server that is not there.
class QordsExitStatus : public QordsTest {
protected:
    static void SetUpTestSuite() {
        qortest::SlapdOptions options;
        options.referral = "ldap://127.0.0.1:" + std::to_string(qortest::free_loopback_port()) + "/";
        start_server(options);
    }
};

TEST_F(QordsExitStatus, EveryStatusWithItsReason) {
    struct Case {
        Strings arguments;
        int status;
        std::string output;   // a piece of standard output ("" for none at all)
        std::string reason;   // a piece of standard error ("" for none at all)
    };
    const std::string admin = "cn=admin,o=example";
    const std::vector<Case> cases = {
        {{"read", kBob, "uid"}, 0, "uid: bob\n", ""},
        {{"-x", "compare", kBob, "uid", "bob"}, 0, "TRUE\n", ""},
        {{"compare", kBob, "uid", "alice"}, 1, "FALSE\n", ""},
        {{"search", "(cn=a"}, 2, "", "Bad search filter (0x80144057)"},
        {{"read", "not a dn"}, 2, "", "Invalid DN syntax (0x80144022); Additional information: invalid DN"},
        {{"expand", kBob}, 2, "", "expand cn=Bob Baker,ou=people,o=example: the entry is not a group"},
        {{"-D", admin, "read", kBob}, 3, "",
         "as cn=admin,o=example: DSA is unwilling to perform (0x80144035); Additional information: unauthenticated bind "
         "(DN with no password) disallowed"},
        {{"-D", admin, "-w", "wrong", "read", kBob}, 3, "", "Invalid credentials (0x80144031)"},
        {{"modify", kBob, "replace", "title", "x"}, 3, "", "Strong authentication required (0x80144008)"},
        {{"read", "cn=Nobody,ou=people,o=example"}, 4, "", "No such object (0x80144020)"},
        {{"-z", "2", "search", "(objectClass=*)", "cn"}, 5, "dn: ",
         "warning: Sizelimit exceeded (0x00144004): the entries printed are not all there are"},
        // A referral not followed is a partial result that shows where it points.
        {{"--no-referrals", "read", "o=other"}, 5, "",
         "warning: Partial results and referral received (0x80144009): no entries arrived; Additional information: "
         "Referral:\nldap://"},
        {{"--json", "--no-referrals", "read", "o=other"}, 5, "[]\n", "Referral:\nldap://"},
    };
    for (const Case &c : cases) {
        const Outcome outcome = qords(c.arguments);
        std::string shown;
        for (const std::string &a : c.arguments) shown += a + " ";
        EXPECT_TRUE(exited_with(outcome, c.status)) << shown;
        if (c.output.empty()) {
            EXPECT_EQ(outcome.out, "") << shown;
        } else {
            EXPECT_NE(outcome.out.find(c.output), std::string::npos) << shown << outcome.out;
        }
        if (c.reason.empty()) {
            EXPECT_EQ(outcome.err, "") << shown;
        } else {
            EXPECT_NE(outcome.err.find(c.reason), std::string::npos) << shown << outcome.err;
        }
    }
}

}  // namespace
}  // namespace qordstest

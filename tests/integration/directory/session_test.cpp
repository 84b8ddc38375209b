// Opening sessions on a real slapd: settings from arguments, host options and environment
// variables and the order between them, the default port through the runtime's port map,
// anonymous and authenticated binds, wrong credentials, and a base DN missing everywhere.
#include <string>

#include "integration_fixture.h"
#include "tests/support/loopback.h"

namespace {

using namespace dstest;

class SessionTest : public DirectoryIntegrationTest {
protected:
    // Whether ld_ is bound as the administrator: only it may read userPassword.
    bool sees_passwords() {
        dsent **set = nullptr;
        char *names[] = {text("userPassword"), text("uid"), nullptr};
        EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=Alice Archer,ou=people,o=example", names, &set), DS_OK);
        if (set == nullptr) return false;
        const bool seen = attribute(set[0], "userPassword") != nullptr;
        EXPECT_NE(attribute(set[0], "uid"), nullptr);
        ds_.dsfree(ld_, set);
        return seen;
    }
    std::string port_text() const { return std::to_string(server_->port()); }
};

TEST_F(SessionTest, ArgumentsAnonymousAndAuthenticated) {
    open();
    EXPECT_EQ(ld_->ld_protocol_version, 3);
    EXPECT_STREQ(ld_->ld_defbase, "o=example");
    EXPECT_FALSE(sees_passwords());
    ds_.dsclose(ld_);
    ld_ = nullptr;

    open_admin();
    EXPECT_EQ(ld_->ld_protocol_version, 3);
    EXPECT_TRUE(sees_passwords());
}

TEST_F(SessionTest, WrongPasswordLeavesNothingOpen) {
    const long pools = qorhost_live_pools();
    EXPECT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_->port(), 0, "o=example", kAdmin, "wrong"),
              DS_INVALID_CREDENTIALS);
    EXPECT_EQ(ld_, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
}

TEST_F(SessionTest, EverythingFromHostOptions) {
    qorhost_set_option("LDAP_HOST", "127.0.0.1");
    qorhost_set_option("LDAP_PORT", port_text().c_str());
    qorhost_set_option("LDAP_BINDDN", kAdmin);
    qorhost_set_option("LDAP_BINDPW", kAdminPassword);
    qorhost_set_option("LDAP_BASE", "ou=people,o=example");
    ASSERT_EQ(ds_.dsopen(&ld_, nullptr, 0, 0, nullptr, nullptr, nullptr), DS_OK);
    EXPECT_STREQ(ld_->ld_defbase, "ou=people,o=example");
    EXPECT_TRUE(sees_passwords());
    EXPECT_EQ(qorhost_option_values_held(), 0);   // every value handed back
}

TEST_F(SessionTest, EverythingFromTheEnvironment) {
    setenv("LDAP_HOST", "127.0.0.1", 1);
    setenv("LDAP_PORT", port_text().c_str(), 1);
    setenv("LDAP_BINDDN", kAdmin, 1);
    setenv("LDAP_BINDPW", kAdminPassword, 1);
    setenv("LDAP_BASE", "ou=groups,o=example", 1);
    ASSERT_EQ(ds_.dsopen(&ld_, "", 0, 0, nullptr, "", ""), DS_OK);
    EXPECT_STREQ(ld_->ld_defbase, "ou=groups,o=example");
    EXPECT_TRUE(sees_passwords());
}

TEST_F(SessionTest, ArgumentBeatsOptionBeatsEnvironment) {
    const std::string closed_port = std::to_string(qortest::free_loopback_port());
    // Host: the option is right, the environment wrong.
    qorhost_set_option("LDAP_HOST", "127.0.0.1");
    setenv("LDAP_HOST", "host.invalid", 1);
    // Port: the argument is right, option and environment wrong.
    qorhost_set_option("LDAP_PORT", closed_port.c_str());
    setenv("LDAP_PORT", closed_port.c_str(), 1);
    // Credentials: the option's DN and the environment's password (no option password).
    qorhost_set_option("LDAP_BINDDN", kAdmin);
    setenv("LDAP_BINDDN", "cn=Nobody,o=example", 1);
    setenv("LDAP_BINDPW", kAdminPassword, 1);
    // Base: all three sources; the argument wins.
    qorhost_set_option("LDAP_BASE", "ou=option,o=example");
    setenv("LDAP_BASE", "ou=environment,o=example", 1);
    ASSERT_EQ(ds_.dsopen(&ld_, nullptr, server_->port(), 0, "ou=argument,o=example", nullptr, nullptr), DS_OK);
    EXPECT_STREQ(ld_->ld_defbase, "ou=argument,o=example");
    EXPECT_TRUE(sees_passwords());
    ds_.dsclose(ld_);
    ld_ = nullptr;

    // Without the argument the option's base counts, without the option the environment's.
    ASSERT_EQ(ds_.dsopen(&ld_, nullptr, server_->port(), 0, nullptr, nullptr, nullptr), DS_OK);
    EXPECT_STREQ(ld_->ld_defbase, "ou=option,o=example");
    ds_.dsclose(ld_);
    ld_ = nullptr;
    qorhost_set_option("LDAP_BASE", nullptr);
    ASSERT_EQ(ds_.dsopen(&ld_, nullptr, server_->port(), 0, nullptr, nullptr, nullptr), DS_OK);
    EXPECT_STREQ(ld_->ld_defbase, "ou=environment,o=example");
    ds_.dsclose(ld_);
    ld_ = nullptr;

    // The option's port beats the environment's when there is no argument.
    qorhost_set_option("LDAP_PORT", port_text().c_str());
    EXPECT_EQ(ds_.dsopen(&ld_, nullptr, 0, 0, nullptr, nullptr, nullptr), DS_OK);
}

TEST_F(SessionTest, ValuesLongerThanTheirSettingAreNotTaken) {
    qorhost_set_option("LDAP_HOST", std::string(257, 'h').c_str());   // one byte too many
    setenv("LDAP_HOST", "127.0.0.1", 1);
    ASSERT_EQ(ds_.dsopen(&ld_, nullptr, server_->port(), 0, "o=example", nullptr, nullptr), DS_OK);
    EXPECT_EQ(qorhost_option_values_held(), 0);
}

TEST_F(SessionTest, NoPortAnywhereMeans389) {
    ASSERT_EQ(qorhost_map_port(389, server_->port()), 0);
    const int32_t status = ds_.dsopen(&ld_, "127.0.0.1", 0, 0, "o=example", nullptr, nullptr);
    qorhost_map_port(389, 0);
    ASSERT_EQ(status, DS_OK);
    EXPECT_EQ(ld_->ld_protocol_version, 3);
}

TEST_F(SessionTest, NoHostAnywhere) {
    EXPECT_EQ(ds_.dsopen(&ld_, nullptr, server_->port(), 0, "o=example", nullptr, nullptr), DS_NO_HOST);
    EXPECT_EQ(ld_, nullptr);
}

TEST_F(SessionTest, MissingBaseBindsThenClosesAndLeavesNothing) {
    const long pools = qorhost_live_pools();
    EXPECT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_->port(), 0, nullptr, kAdmin, kAdminPassword), DS_NO_BASE_DN);
    EXPECT_EQ(ld_, nullptr);
    EXPECT_EQ(qorhost_live_pools(), pools);
    // With wrong credentials the bind fails first: the base is never looked for.
    EXPECT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_->port(), 0, nullptr, kAdmin, "wrong"), DS_INVALID_CREDENTIALS);
}

TEST_F(SessionTest, ErrorTextsAfterFailures) {
    open();
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=Nobody,ou=people,o=example", nullptr, &set), DS_NO_SUCH_OBJECT);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: ou=people,o=example");
    EXPECT_EQ(ds_.dsreslv(ld_, "(cn=*)", nullptr, &set), DS_OK);
    EXPECT_EQ(ds_.dsgeterr(ld_), nullptr);
    ds_.dsfree(ld_, set);
    // Anonymous sessions may not write (slapd asks for authentication, code 8).
    EXPECT_EQ(ds_.dsdereg(ld_, "cn=Eve Evans,ou=people,o=example"), DS_STATUS(8));
    const char *message = ds_.dsgeterr(ld_);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(std::string(message).rfind("Additional information: ", 0), 0u) << message;
}

}  // namespace

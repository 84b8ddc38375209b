// Directory functions against a private slapd with the sample directory and the entries of
// directory.ldif. One server per test suite; sessions are opened through the vector.
#pragma once

#include <gtest/gtest.h>

#include <strings.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace dstest {

inline constexpr const char *kAdmin = "cn=admin,o=example";
inline constexpr const char *kAdminPassword = "secret";

inline qortest::SlapdOptions directory_options() {
    qortest::SlapdOptions options;
    options.ldif_files.push_back(QOR_SOURCE_DIR "/tests/integration/directory/directory.ldif");
    return options;
}

// Removes every connection setting from the host options and the environment.
inline void clear_settings() {
    for (const char *name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BINDDN", "LDAP_BINDPW", "LDAP_BASE"}) {
        unsetenv(name);
        qorhost_set_option(name, nullptr);
    }
}

class DirectoryIntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        clear_settings();
        server_ = std::make_unique<qortest::Slapd>(directory_options());
    }
    static void TearDownTestSuite() {
        server_.reset();
        clear_settings();
    }
    void SetUp() override { ASSERT_NE(server_, nullptr) << "slapd did not start"; }
    void TearDown() override {
        qorhost_fail_reset();
        clear_settings();
        if (ld_ != nullptr) ds_.dsclose(ld_);
        ld_ = nullptr;
    }

    // Opens ld_ on the server with base o=example; anonymous unless a DN is given.
    void open(const char *bind_dn = nullptr, const char *password = nullptr) {
        ASSERT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_->port(), DS_OPT_CHASE_REFERRALS, "o=example", bind_dn,
                             password),
                  DS_OK);
    }
    void open_admin() { open(kAdmin, kAdminPassword); }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    static std::unique_ptr<qortest::Slapd> server_;
    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
};

inline std::unique_ptr<qortest::Slapd> DirectoryIntegrationTest::server_;

inline char *text(const char *literal) { return const_cast<char *>(literal); }

inline std::vector<std::string> dns_of(dsent **set) {
    std::vector<std::string> dns;
    for (dsent **entry = set; entry != nullptr && *entry != nullptr; ++entry) dns.emplace_back((*entry)->de_dn);
    return dns;
}

// The attribute `name` of an entry (compared ignoring case), or null.
inline dsatt *attribute(dsent *entry, const char *name) {
    for (dsatt **a = entry->de_atts; a != nullptr && *a != nullptr; ++a) {
        if (strcasecmp((*a)->da_name, name) == 0) return *a;
    }
    return nullptr;
}

}  // namespace dstest

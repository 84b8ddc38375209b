// Directory functions against the scripted server: sessions opened through the vector with
// dsopen, anonymous version-3 binds, a 30 s time limit, the default base "o=x".
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/runtime.h"

namespace dstest {

namespace ldap = qortest::ldap;
using qortest::Bytes;
using qortest::FakeLdapServer;

inline constexpr std::int64_t kTimeLimitMs = 30000;   // what dsopen sets
inline constexpr std::int64_t kTimeLimitSeconds = 30;  // and what every search asks of the server

// The search request a lookup sends (no size limit, values wanted).
inline Bytes search(std::int64_t id, const std::string &base, int scope, Bytes filter,
                    std::vector<std::string> attributes = {}, std::int64_t time_limit_seconds = kTimeLimitSeconds) {
    ldap::Search s;
    s.base = base;
    s.scope = scope;
    s.time_limit = time_limit_seconds;
    s.filter = std::move(filter);
    s.attributes = std::move(attributes);
    return ldap::search_request(id, s);
}

// The search dsrslvdn sends for `dn`.
inline Bytes read_entry(std::int64_t id, const std::string &dn, std::vector<std::string> attributes = {}) {
    return search(id, dn, 0, ldap::filter::present("objectclass"), std::move(attributes));
}

class DirectoryProtocolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        for (const char *name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BINDDN", "LDAP_BINDPW", "LDAP_BASE"}) {
            unsetenv(name);
            qorhost_set_option(name, nullptr);
        }
    }

    void TearDown() override {
        qorhost_fail_reset();
        if (ld_ != nullptr) ds_.dsclose(ld_);
        server_.finish();
    }

    // Scripts the connection and the anonymous version-3 bind of dsopen.
    FakeLdapServer &expect_open() {
        return server_.accept().expect(ldap::bind_request(1, 3, "", "")).reply(ldap::bind_response(1, 0));
    }

    // Starts the script and opens the session; the next message id is 2.
    void open(const char *base = "o=x") {
        server_.start();
        ASSERT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server_.port(), 0, base, nullptr, nullptr), DS_OK);
        ASSERT_NE(ld_, nullptr);
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    FakeLdapServer server_;
    LDAP *ld_ = nullptr;
};

inline char *text(const char *literal) { return const_cast<char *>(literal); }

}  // namespace dstest

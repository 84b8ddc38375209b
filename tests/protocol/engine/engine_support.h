// Shared pieces of the protocol engine tests: a fixture that checks no pool outlives a test,
// sessions opened to test servers, requests encoded the way the operations will encode them,
// and the lenient answering server of the test support for allocation-failure sweeps.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/answering_server.h"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"
#include "tests/support/runtime.h"

namespace enginetest {

using qortest::Bytes;
namespace ldap = qortest::ldap;

// Every test runs with the module loaded and must leave no session pool behind.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    long pools_before_ = 0;
};

// A session with its default connection open to 127.0.0.1:port; its result wait is bounded
// (ld_timelimit) so that a faulty test cannot hang. Fails the test when it cannot be opened.
LDAP *open_session(std::uint16_t port, int32_t timelimit_ms = 5000);

// Live blocks of the session's pool.
long live_blocks(LDAP *ld);

// Sends a search request (present filter "objectclass", no attributes) as the search operation
// will: a new id, the element written with the codec, send_initial_request. Answers the id or -1.
int32_t send_search(LDAP *ld, const char *base, int32_t scope = LDAP_SCOPE_SUBTREE);
// The bytes of that search request.
Bytes search_request_bytes(std::int64_t id, const std::string &base, int scope = LDAP_SCOPE_SUBTREE);
// Sends a delete request for `dn`; the id or -1.
int32_t send_delete(LDAP *ld, const char *dn);

// The connection of the session open to 127.0.0.1:port (a referral connection), or null.
LDAPConnection *connection_to(LDAP *ld, std::uint16_t port);
// Number of connections and of pending requests of the session.
int connection_count(LDAP *ld);
int pending_count(LDAP *ld);

// A port on 127.0.0.1 where nothing listens.
std::uint16_t dead_port();

using qortest::AnsweringServer;

}  // namespace enginetest

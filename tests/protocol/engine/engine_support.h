// Shared pieces of the protocol engine tests: a fixture that checks no pool outlives a test,
// sessions opened to scripted servers and ended with them, requests encoded the way the
// operations will encode them, waits for results, referral texts and scripts, and the lenient
// answering server of the test support for allocation-failure sweeps.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
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
#include "tests/support/session_views.h"

namespace enginetest {

using qortest::Bytes;
using qortest::FakeLdapServer;
using qortest::clear_error_texts;
using qortest::dn_of;
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

// Starts each server in order and opens a session to the first of them (see open_session).
LDAP *start_session(std::initializer_list<FakeLdapServer *> servers, int32_t timelimit_ms = 5000);

// Starts the servers, opens a session to the first, lets `prepare` (when given) set the session
// up, and sends the search of `base` (see send_search) as its first request (id 1). Null, and a
// test failure, when the session cannot be opened or the search not sent (the session is then
// freed).
LDAP *start_search(std::initializer_list<FakeLdapServer *> servers, const char *base,
                   const std::function<void(LDAP *)> &prepare = nullptr);
// The same with the delete of `dn` as the first request.
LDAP *start_delete(std::initializer_list<FakeLdapServer *> servers, const char *dn,
                   const std::function<void(LDAP *)> &prepare = nullptr);
// Starts the servers, opens a session to the first, sends the search of "o=example" (id 1) and
// the delete of "cn=x" (id 2) and takes the delete's result, so that what the server answered
// for the search before it stays queued (see accept_search_and_delete). Null, and a test
// failure, when a step fails (the session is then freed).
LDAP *start_queued_search(std::initializer_list<FakeLdapServer *> servers);

// How a test ends its session: with an unbind request, or freed without one (ldap_ld_free).
enum class Ending { unbind, free_silently };
// Ends the session, then finishes each server's script (reporting what it saw amiss).
void end_session(LDAP *ld, std::initializer_list<FakeLdapServer *> servers, Ending ending = Ending::unbind);

// The complete result of request `id` (a whole search chain), waiting up to the session's time
// limit; null, and a test failure, when the wait fails.
LDAPMessage *result_of(LDAP *ld, int32_t id);
// Waits for the complete result of `id` and folds it into the session's error state (ld_errno,
// ld_matched, ld_error), releasing it: the result code, LDAP_PARAM_ERROR when nothing came.
int32_t error_of(LDAP *ld, int32_t id);
// Waits for the complete result of `id` (-1: of any request), checks that it is of `type` and
// releases it.
void take_result(LDAP *ld, int32_t id, int32_t type);

// "ldap://127.0.0.1:PORT" followed by `rest`.
std::string url(std::uint16_t port, const std::string &rest = "");
// A version-2 referral text: the line "Referral:", then each of `lines` (URLs, or whatever else
// a server may list) on a line of its own.
std::string referral(std::initializer_list<std::string> lines);

// Scripts `server` to take one connection, answer the search request with id 1 with `answer`,
// and expect the close.
void answer_first_search(FakeLdapServer &server, Bytes answer);
// Scripts `server` to take one connection, answer the search request with id 1 with a
// version-2 referral (partial results, no matched DN) to `urls`, and expect the close.
void refer_first_search(FakeLdapServer &server, std::initializer_list<std::string> urls);
// Scripts `server` to take one connection and on it the search request with id 1, then the
// delete request with id 2; further steps act on that connection.
FakeLdapServer &accept_search_and_delete(FakeLdapServer &server);
// Scripts `server` to take one connection (a referral connection) and accept the bind request
// with id `bind_id` on it; further steps act on that connection.
FakeLdapServer &accept_bind(FakeLdapServer &server, std::int64_t bind_id);

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

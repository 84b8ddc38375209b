// Lookups against a server that breaks its answers: each fault ends the lookup that meets it, and
// every lookup after it, with a clear status and within the session's time limit; nothing hangs
// and the session's pool keeps no block of the failed lookups.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/hostile_server.h"
#include "tests/support/runtime.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qortest::Fault;
using qortest::HostileServer;

constexpr int kTimeLimitSeconds = 1;
constexpr std::chrono::milliseconds kTimeLimit = std::chrono::seconds(kTimeLimitSeconds);
// A time-out may end this much after the limit, and up to a millisecond before it (waits count
// whole milliseconds); an ended connection must end a lookup well before it.
constexpr auto kLateness = kTimeLimit / 5;
constexpr auto kEarliness = 1ms;
constexpr auto kAtOnce = kTimeLimit / 2;
constexpr int kLaterLookups = 2;

struct FaultCase {
    Fault fault;
    int32_t first;   // status of the lookup that meets the fault
    int32_t later;   // status of each lookup after it on the same session
};

constexpr int32_t kServerDown = DS_STATUS(81);
constexpr int32_t kTimedOut = DS_STATUS(85);

const FaultCase kFaults[] = {
    {Fault::close_mid_message, kServerDown, kServerDown},
    {Fault::garbage, kServerDown, kServerDown},
    {Fault::huge_length, kServerDown, kServerDown},
    {Fault::half_then_silence, kTimedOut, kTimedOut},
    {Fault::silence, kTimedOut, kTimedOut},
    {Fault::reset, kServerDown, kServerDown},
};

class HostileServerTest : public ::testing::TestWithParam<FaultCase> {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        for (const char *name : {"LDAP_BINDDN", "LDAP_BINDPW"}) {
            unsetenv(name);
            qorhost_set_option(name, nullptr);
        }
    }

    void TearDown() override {
        if (ld_ != nullptr) ds_.dsclose(ld_);
    }

    // Opens ld_ on the server (an anonymous bind, which it answers) with the time limit.
    void open(const HostileServer &server) {
        ASSERT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server.port(), 0, "o=x", nullptr, nullptr), DS_OK);
        ds_.dsopt(ld_, kTimeLimitSeconds, -1, -1, nullptr);
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    // Runs one lookup and checks its status and how long it took for that status.
    void expect_lookup(int32_t expected, bool by_dn) {
        dsent **set = nullptr;
        const auto started = Clock::now();
        const int32_t status = by_dn ? ds_.dsrslvdn(ld_, "cn=a,o=x", nullptr, &set) : ds_.dsreslv(ld_, "(cn=a)", nullptr, &set);
        const auto took = Clock::now() - started;
        EXPECT_EQ(status, expected) << std::hex << "0x" << status;
        EXPECT_EQ(set, nullptr);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        if (expected == kTimedOut) {
            EXPECT_GE(took, kTimeLimit - kEarliness) << ms << " ms";
            EXPECT_LE(took, kTimeLimit + kLateness) << ms << " ms";
        } else {
            EXPECT_LT(took, kAtOnce) << ms << " ms";
        }
    }

    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
};

TEST_P(HostileServerTest, EndsEveryLookupWithAClearStatusInTimeAndKeepsNothing) {
    const FaultCase &c = GetParam();
    HostileServer server(c.fault);
    open(server);
    const long before = live_blocks();

    expect_lookup(c.first, true);
    EXPECT_EQ(server.requests_broken(), 1u);
    // The connection may give up its read-ahead buffer, and keeps nothing else.
    const long after = live_blocks();
    EXPECT_LE(after, before);
    for (int i = 0; i < kLaterLookups; ++i) {
        SCOPED_TRACE("lookup " + std::to_string(i + 2));
        expect_lookup(c.later, false);
        EXPECT_EQ(live_blocks(), after);
    }
    // A connection whose stream has broken carries no further request: the server could carry
    // out an update that the session then reports as failed.
    if (c.first == kServerDown) {
        EXPECT_EQ(server.requests_broken(), server.connections_accepted());
    }
}

// Requests sent together on a connection that ends all end with it, whichever is waited for
// first. A request the client sends after the connection has ended ends at once, when it is sent.
class InFlightTest : public HostileServerTest {};

TEST_P(InFlightTest, RequestsInFlightAllEndAtOnceWithTheConnection) {
    HostileServer server(GetParam().fault);
    open(server);
    std::vector<int32_t> sent;
    for (int i = 0; i < 3; ++i) {
        const int32_t id = ldap_search(ld_, "o=x", 2, "(cn=a)", nullptr, 0);
        if (id > 0) sent.insert(sent.begin(), id);   // waited for from the last one sent
        else EXPECT_EQ(ld_->ld_errno, LDAP_SERVER_DOWN) << "search " << i;
    }
    ASSERT_FALSE(sent.empty());
    for (int32_t id : sent) {
        LDAPMessage *message = nullptr;
        const auto started = Clock::now();
        EXPECT_EQ(ldap_result(ld_, id, 1, 0, &message), -1) << "request " << id;
        EXPECT_LT(Clock::now() - started, kAtOnce) << "request " << id;
        EXPECT_EQ(ld_->ld_errno, LDAP_SERVER_DOWN) << "request " << id;
        EXPECT_EQ(message, nullptr);
    }
}

std::string case_name(const ::testing::TestParamInfo<FaultCase> &info) {
    return std::string(qortest::fault_name(info.param.fault));
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileServerTest, ::testing::ValuesIn(kFaults), case_name);

// The faults after which the connection is of no further use.
std::vector<FaultCase> ending_faults() {
    std::vector<FaultCase> ending;
    for (const FaultCase &c : kFaults)
        if (c.first == kServerDown) ending.push_back(c);
    return ending;
}
INSTANTIATE_TEST_SUITE_P(Faults, InFlightTest, ::testing::ValuesIn(ending_faults()), case_name);

}  // namespace

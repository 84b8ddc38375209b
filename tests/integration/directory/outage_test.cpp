// Lookups while slapd goes away: killed with a lookup in flight, then restarted on its port, and
// stopped (SIGSTOP) while a lookup waits. The lookup ends with a clear status at once or at the
// session's time limit, later lookups never hang (after a restart they reconnect, unless the
// session says not to), and the session's pool keeps nothing of them.
#include <chrono>
#include <thread>

#include "integration_fixture.h"

namespace {

using namespace dstest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char *kAlice = "cn=Alice Archer,ou=people,o=example";
constexpr auto kBound = 10s;   // every wait of these tests for slapd

class OutageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        clear_settings();
    }
    void SetUp() override {
        server_ = std::make_unique<qortest::Slapd>(directory_options());
        ld_ = open_session();
    }
    void TearDown() override {
        for (LDAP *ld : {ld_, fresh_})
            if (ld != nullptr) ds_.dsclose(ld);
    }

    LDAP *open_session(int32_t options = 0) {
        LDAP *ld = nullptr;
        EXPECT_EQ(ds_.dsopen(&ld, "127.0.0.1", server_->port(), options, "o=example", nullptr, nullptr), DS_OK);
        return ld;
    }

    // Reads Alice's entry; the status, with the result set released.
    int32_t read_alice(LDAP *ld) {
        dsent **set = nullptr;
        const int32_t status = ds_.dsrslvdn(ld, kAlice, nullptr, &set);
        EXPECT_EQ(set != nullptr, status == DS_OK);
        if (set != nullptr) {
            EXPECT_STREQ(set[0]->de_dn, kAlice);
            ds_.dsfree(ld, set);
        }
        return status;
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    std::unique_ptr<qortest::Slapd> server_;
    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
    LDAP *fresh_ = nullptr;
};

// Waits up to kBound for `done`, looking again every few milliseconds.
template <typename Done>
bool eventually(Done done) {
    const auto deadline = Clock::now() + kBound;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST_F(OutageTest, KilledDuringALookupThenRestartedOnItsPort) {
    ASSERT_NE(ld_, nullptr);
    ds_.dsopt(ld_, 30, -1, -1, nullptr);
    ASSERT_EQ(read_alice(ld_), DS_OK);
    const long before = live_blocks();

    // slapd is paused so that the request is sure to be in flight, waiting at slapd, when it dies.
    server_->pause();
    Clock::time_point killed;
    std::thread killer([&] {
        if (eventually([&] { return server_->unread_bytes() > 0; })) {
            killed = Clock::now();
            server_->kill();
        } else {
            ADD_FAILURE() << "the request never reached slapd";
            server_->resume();
        }
    });
    EXPECT_EQ(read_alice(ld_), DS_STATUS(81));
    const auto ended = Clock::now();
    killer.join();
    EXPECT_LT(ended - killed, 1s) << "the lookup did not end when slapd died";
    // The connection may give up its read-ahead buffer, and keeps nothing else.
    const long after = live_blocks();
    EXPECT_LE(after, before);

    const std::uint16_t port = server_->port();
    server_->restart();
    ASSERT_EQ(server_->port(), port);
    // The next lookup reconnects to the restarted server, and the session holds what it held
    // before the outage.
    EXPECT_EQ(read_alice(ld_), DS_OK);
    EXPECT_EQ(ld_->ld_reconnects, 1);
    EXPECT_EQ(live_blocks(), before);
}

TEST_F(OutageTest, WithoutReconnectTheSessionStaysDownAfterARestart) {
    fresh_ = open_session(DS_OPT_NO_RECONNECT);
    ASSERT_NE(fresh_, nullptr);
    ASSERT_EQ(read_alice(fresh_), DS_OK);
    server_->kill();
    server_->restart();
    for (int lookup = 0; lookup < 2; ++lookup) {
        const auto started = Clock::now();
        EXPECT_EQ(read_alice(fresh_), DS_STATUS(81));
        EXPECT_LT(Clock::now() - started, 1s);
    }
    EXPECT_EQ(fresh_->ld_reconnects, 0);
    EXPECT_EQ(read_alice(ld_), DS_OK);   // the session that reconnects is back
}

TEST_F(OutageTest, StoppedDuringALookupTimesOutThenServesTheNextOne) {
    ASSERT_NE(ld_, nullptr);
    ds_.dsopt(ld_, 1, -1, -1, nullptr);
    ASSERT_EQ(read_alice(ld_), DS_OK);

    // Twice the same outage: the second one must leave the pool as the first one did.
    long blocks[2] = {0, 0};
    for (long &after : blocks) {
        // To the session, a server stopped before the request arrives and one stopped after it
        // are the same: no answer comes.
        server_->pause();
        const auto started = Clock::now();
        EXPECT_EQ(read_alice(ld_), DS_STATUS(85));
        const auto took = Clock::now() - started;
        EXPECT_GE(took, 999ms);   // waits count whole milliseconds
        EXPECT_LE(took, 1200ms);
        // The answer to the abandoned lookup may still come; it is dropped, and the next
        // lookup gets its own.
        server_->resume();
        EXPECT_EQ(read_alice(ld_), DS_OK);
        after = live_blocks();
    }
    EXPECT_EQ(blocks[1], blocks[0]);
}

}  // namespace

// A session on a replicated pair "A B" follows it through an outage of each: kill A and its
// lookups and writes go to B, bring A back and kill B and they go to A. Every acknowledged write
// is found on both afterwards, and none was applied twice.
#include <chrono>

#include "integration_fixture.h"
#include "tests/support/write_ledger.h"

namespace {

using namespace dstest;
using namespace std::chrono_literals;

constexpr auto kSyncLimit = 10s;
constexpr int kWritesPerPhase = 5;

class FailoverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        clear_settings();
    }
    void TearDown() override {
        for (LDAP *ld : {ld_, on_b_})
            if (ld != nullptr) ds_.dsclose(ld);
    }

    // Writes kWritesPerPhase entries through the session, each acknowledged.
    void write_phase() {
        for (int i = 0; i < kWritesPerPhase; ++i) EXPECT_EQ(ledger_.add(ld_), DS_OK) << "write " << i;
    }
    // Every acknowledged entry reads back through the session.
    void expect_all_readable() {
        for (long n = 0; n <= ledger_.last_acknowledged(); ++n) {
            dsent **set = nullptr;
            EXPECT_EQ(ds_.dsrslvdn(ld_, ledger_.dn(n).c_str(), nullptr, &set), DS_OK) << ledger_.dn(n);
            if (set != nullptr) ds_.dsfree(ld_, set);
        }
    }
    void expect_complete(const qortest::WriteAudit &audit) {
        EXPECT_TRUE(audit.read);
        EXPECT_EQ(audit.acknowledged, 3 * kWritesPerPhase);
        EXPECT_EQ(audit.found, audit.acknowledged);
        EXPECT_EQ(audit.lost, 0);
        EXPECT_EQ(audit.doubled, 0);
    }

    qortest::SlapdPair pair_;
    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    qortest::WriteLedger ledger_{ds_, "failover"};
    LDAP *ld_ = nullptr;
    LDAP *on_b_ = nullptr;
};

TEST_F(FailoverTest, ASessionFollowsTheReplicatedPairThroughAnOutageOfEachProvider) {
    ASSERT_EQ(ds_.dsopen(&ld_, pair_.host_list().c_str(), 0, DS_OPT_CHASE_REFERRALS, "o=example", kAdmin,
                         kAdminPassword),
              DS_OK);
    write_phase();   // on A
    ASSERT_TRUE(pair_.wait_in_sync(kSyncLimit));

    pair_.provider(0).kill();
    expect_all_readable();   // on B, replicated there before A went
    write_phase();
    EXPECT_EQ(ld_->ld_reconnects, 1);

    pair_.provider(0).restart();
    ASSERT_TRUE(pair_.wait_in_sync(kSyncLimit));
    pair_.provider(1).kill();
    expect_all_readable();   // back on A, which caught up with B's writes
    write_phase();
    EXPECT_EQ(ld_->ld_reconnects, 2);

    pair_.provider(1).restart();
    ASSERT_TRUE(pair_.wait_in_sync(kSyncLimit));
    expect_complete(ledger_.audit(ld_));
    ASSERT_EQ(ds_.dsopen(&on_b_, pair_.provider(1).host_port().c_str(), 0, 0, "o=example", nullptr, nullptr), DS_OK);
    expect_complete(ledger_.audit(on_b_));
}

}  // namespace

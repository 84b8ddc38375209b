// Every directory function under allocation failure, against slapd: the nth allocation fails
// for n = 1, 2, ... until a call completes without an injected failure. Each failing call must
// answer a documented status, deliver nothing, and leave the session's pool with no more live
// blocks than a complete call leaves (its error texts, its input buffer); the session stays
// usable. dsopen must leave no pool behind.
#include <functional>
#include <map>
#include <set>
#include <string>

#include "integration_fixture.h"

namespace {

using namespace dstest;

class AllocationTest : public DirectoryIntegrationTest {
protected:
    // One attempt: calls the function and releases what it delivered; answers its status.
    using Attempt = std::function<int32_t()>;

    // Runs `attempt` once without faults (its status must be `complete`), then under every
    // allocation failure in turn. Failing attempts must answer one of `allowed`. `prepare` runs
    // before each attempt and `cleanup` after it, both without faults (caller-owned input and
    // output: attribute lists, entries to delete).
    void sweep(const std::string &what, const Attempt &attempt, int32_t complete, std::set<int32_t> allowed,
               const std::function<void()> &prepare = [] {}, const std::function<void()> &cleanup = [] {}) {
        prepare();
        ASSERT_EQ(attempt(), complete) << what << " without faults";
        cleanup();
        const long settled = live_blocks();
        const bool had_abandoned_ids = ld_->ld_abandoned_ids != nullptr;
        std::map<int32_t, int> seen;
        bool finished = false;
        for (long nth = 1; nth < 5000 && !finished; ++nth) {
            int32_t status = 0;
            long injected = 0;
            prepare();
            {
                qortest::FailAllocations fail(nth);
                status = attempt();
                injected = fail.injected();
            }
            cleanup();
            finished = injected == 0;
            if (finished) {
                EXPECT_EQ(status, complete) << what << ": the complete run";
            } else {
                ++seen[status];
                // A failure the client can do without (one it only uses to look for referrals in
                // a result) lets the call complete.
                EXPECT_TRUE(status == complete || allowed.count(status) != 0)
                    << what << ": allocation " << nth << " answered 0x" << std::hex << static_cast<uint32_t>(status);
            }
            // A request whose result could not be read is abandoned; the session then keeps the
            // list of abandoned ids, one block, for as long as it lives.
            const long allowance = !had_abandoned_ids && ld_->ld_abandoned_ids != nullptr ? 1 : 0;
            EXPECT_LE(live_blocks(), settled + allowance) << what << ": allocation " << nth << " left blocks behind";
            EXPECT_EQ(ld_->ld_pending_requests, nullptr) << what << ": allocation " << nth;
            if (::testing::Test::HasFailure()) break;
            // A result read after its request was abandoned is dropped, never queued.
            EXPECT_EQ(ld_->ld_queued_responses, nullptr) << what << ": allocation " << nth;
        }
        EXPECT_TRUE(finished) << what;
        // The statuses seen, in the test report (--gtest_output=xml).
        std::string summary;
        for (const auto &[status, count] : seen) {
            char line[48];
            std::snprintf(line, sizeof line, " 0x%08x x%d", static_cast<uint32_t>(status), count);
            summary += line;
        }
        RecordProperty(what, summary);
    }

    // A lookup attempt: the status, with the set released. A set delivered with DS_OK must hold
    // `entries` entries: a failure never shows as a shorter answer.
    Attempt lookup(std::function<int32_t(dsent ***)> call, size_t entries) {
        return [this, call, entries] {
            dsent **set = nullptr;
            const int32_t status = call(&set);
            if (status == DS_OK) {
                EXPECT_EQ(dns_of(set).size(), entries);
            }
            if (set != nullptr) {
                EXPECT_FALSE(DS_FAILED(status)) << "a failed lookup delivered a set";
                ds_.dsfree(ld_, set);
            }
            return status;
        };
    }
};

// What a lack of memory may show as: the directory layer's own DS_NO_MEMORY, and the protocol
// client's codes for a request it could not encode (83), a message it could not decode (84) or
// a filter it could not write (87).
const std::set<int32_t> kMemoryStatuses = {DS_NO_MEMORY, DS_STATUS(81), DS_STATUS(83), DS_STATUS(84), DS_STATUS(87)};
// A lookup whose entries all arrived but whose final result could not be decoded delivers them
// with the warning of code 84.
std::set<int32_t> lookup_statuses() {
    std::set<int32_t> statuses = kMemoryStatuses;
    statuses.insert(DS_WARNING(84));
    return statuses;
}

TEST_F(AllocationTest, Lookups) {
    open();
    char *names[] = {text("cn"), text("mail"), text("employeeNumber"), nullptr};
    sweep("dsrslvdn", lookup([&](dsent ***set) {
              return ds_.dsrslvdn(ld_, "cn=Wide45,ou=people,o=example", nullptr, set);
          }, 1),
          DS_OK, lookup_statuses());
    sweep("dsreslv", lookup([&](dsent ***set) { return ds_.dsreslv(ld_, "(objectClass=person)", names, set); }, 11),
          DS_OK, lookup_statuses());
    sweep("dsrslvdn missing", lookup([&](dsent ***set) {
              return ds_.dsrslvdn(ld_, "cn=Nobody,ou=people,o=example", nullptr, set);
          }, 0),
          DS_NO_SUCH_OBJECT, lookup_statuses());
}

TEST_F(AllocationTest, GroupExpansion) {
    open();
    sweep("dsexpgrp", lookup([&](dsent ***set) { return ds_.dsexpgrp(ld_, "cn=staff,ou=groups,o=example", set); }, 4),
          DS_OK, lookup_statuses());
}

TEST_F(AllocationTest, GroupCycleAndRepeatedGroups) {
    open();
    sweep("dsexpgrp twice", lookup([&](dsent ***set) { return ds_.dsexpgrp(ld_, "cn=twice,ou=groups,o=example", set); },
                                   6),
          DS_OK, lookup_statuses());
    sweep("dsexpgrp cycle",
          lookup([&](dsent ***set) { return ds_.dsexpgrp(ld_, "cn=cycle-a,ou=groups,o=example", set); }, 2), DS_OK,
          lookup_statuses());
}

// Updates with attribute lists made afresh for each attempt, so the text forms of numbers and
// bytes are made under the failing allocation too.
TEST_F(AllocationTest, Updates) {
    open_admin();
    const unsigned char bytes[5] = {0, 1, 2, 0xfe, 0xff};
    int serial = 0;
    std::string dn;
    dsatt *classes = nullptr, *cn = nullptr, *phone = nullptr, *blob = nullptr, *real = nullptr;
    const auto make_lists = [&] {
        dn = "cn=sweep-" + std::to_string(++serial) + ",ou=subscribers,o=example";
        classes = ds_.dsmkatt(ld_, "objectClass", 2, DSVAL_TEXT, "top", DSVAL_TEXT, "qorSubscriber");
        cn = ds_.dsmkatt(ld_, "cn", 1, DSVAL_TEXT, ("sweep-" + std::to_string(serial)).c_str());
        phone = ds_.dsmkatt(ld_, "telephoneNumber", 2, DSVAL_INT, int32_t{5550100}, DSVAL_SHORT, int32_t{serial});
        blob = ds_.dsmkatt(ld_, "qorBinaryValue", 1, DSVAL_BINARY, int32_t{5}, bytes);
        real = ds_.dsmkatt(ld_, "description", 1, DSVAL_DOUBLE, 0.25 + serial);
    };
    const auto release_lists = [&] {
        for (dsatt *list : {classes, cn, phone, blob, real}) ds_.dsfratt(ld_, list);
    };

    sweep(
        "dsreg",
        [&] {
            dsatt *all[] = {classes, cn, phone, blob, real, nullptr};
            dsent entry{nullptr, all};
            return ds_.dsreg(ld_, dn.c_str(), &entry);
        },
        DS_OK, kMemoryStatuses, make_lists, release_lists);

    sweep(
        "dsmodify",
        [&] {
            dsmod replace{DS_MOD_REPLACE, real}, phones{DS_MOD_REPLACE, phone}, binary{DS_MOD_REPLACE, blob};
            dsmod *changes[] = {&replace, &phones, &binary, nullptr};
            return ds_.dsmodify(ld_, "cn=bob-desk,ou=subscribers,o=example", changes);
        },
        DS_OK, kMemoryStatuses, make_lists, release_lists);

    sweep(
        "dsmodpad",
        [&] {
            dsatt *replaced[] = {real, phone, nullptr};
            dsmodg group{DS_MOD_REPLACE, replaced};
            dsmodg *groups[] = {&group, nullptr};
            return ds_.dsmodpad(ld_, "cn=bob-desk,ou=subscribers,o=example", groups);
        },
        DS_OK, kMemoryStatuses, make_lists, release_lists);

    char *values[] = {text("one"), text("two"), nullptr};
    sweep(
        "dsmodone",
        [&] { return ds_.dsmodone(ld_, "cn=bob-desk,ou=subscribers,o=example", DS_MOD_REPLACE, "description", values); },
        DS_OK, kMemoryStatuses);

    sweep(
        "dscompar", [&] { return ds_.dscompar(ld_, "cn=bob-desk,ou=subscribers,o=example", "description", "two"); },
        DS_COMPARE_TRUE, kMemoryStatuses);

    // Each attempt deletes an entry registered for it.
    sweep(
        "dsdereg", [&] { return ds_.dsdereg(ld_, dn.c_str()); }, DS_OK, kMemoryStatuses,
        [&] {
            make_lists();
            dsatt *all[] = {classes, cn, nullptr};
            dsent entry{nullptr, all};
            ASSERT_EQ(ds_.dsreg(ld_, dn.c_str(), &entry), DS_OK);
        },
        release_lists);
}

// The functions that only format or copy: dsgeterr answers the bare text when it cannot compose
// one, dsopt leaves the session without a base when it cannot copy one.
TEST_F(AllocationTest, ErrorTextsAndOptions) {
    open();
    sweep(
        "dsgeterr",
        [&] {
            const char *message = ds_.dsgeterr(ld_);
            if (message == nullptr) return DS_MISSING_ARGUMENT;
            return std::string(message).find("ou=people,o=example") != std::string::npos ? DS_OK : DS_NO_MEMORY;
        },
        DS_OK, {},
        [&] {
            dsent **set = nullptr;
            ASSERT_EQ(ds_.dsrslvdn(ld_, "cn=Nobody,ou=people,o=example", nullptr, &set), DS_NO_SUCH_OBJECT);
        });
    sweep(
        "dsopt",
        [&] {
            ds_.dsopt(ld_, 10, 0, DS_OPT_CHASE_REFERRALS, "o=example");
            if (ld_->ld_defbase == nullptr) return DS_NO_BASE_DN;
            return std::string(ld_->ld_defbase) == "o=example" ? DS_OK : DS_NO_MEMORY;
        },
        DS_OK, {DS_NO_BASE_DN});
}

// dsopen and dsclose: whatever fails, no pool stays behind.
TEST_F(AllocationTest, OpenAndClose) {
    const long pools = qorhost_live_pools();
    std::map<int32_t, int> seen;
    bool opened = false;
    for (long nth = 1; nth < 2000 && !opened; ++nth) {
        LDAP *session = nullptr;
        int32_t status = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(nth);
            status = ds_.dsopen(&session, "127.0.0.1", server_->port(), 0, "o=example", kAdmin, kAdminPassword);
            injected = fail.injected();
        }
        if (status == DS_OK) {
            ASSERT_NE(session, nullptr);
            opened = injected == 0;
            {
                qortest::FailAllocations fail(1, true);   // closing needs no memory of its own
                EXPECT_EQ(ds_.dsclose(session), DS_OK);
            }
        } else {
            ++seen[status];
            EXPECT_EQ(session, nullptr);
            EXPECT_TRUE(status == DS_NO_CONNECTION || status == DS_NO_MEMORY || status == DS_STATUS(81) ||
                        status == DS_STATUS(83) || status == DS_STATUS(84))
                << "allocation " << nth << " answered 0x" << std::hex << static_cast<uint32_t>(status);
        }
        EXPECT_EQ(qorhost_live_pools(), pools) << "allocation " << nth;
        if (HasFailure()) break;
    }
    EXPECT_TRUE(opened);
}

}  // namespace

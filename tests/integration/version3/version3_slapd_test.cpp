// Version-3 sessions against private slapds, through the directory functions: o=example refers
// what lies outside it to o=other and holds a referral object that points there; a third server
// caps plain searches but allows paging; renames within and across parents.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

using Strings = std::vector<std::string>;

constexpr int32_t kChase = DS_OPT_CHASE_REFERRALS;
constexpr int kCappedEntries = 120;   // more than the capped server's limit of 50

std::string referral_object(const std::string &other_url) {
    return "dn: ou=elsewhere,o=example\nobjectClass: referral\nobjectClass: extensibleObject\nou: elsewhere\n"
           "ref: " + other_url + "o=other\n\n";
}

std::string many_entries() {
    std::string ldif;
    for (int i = 0; i < kCappedEntries; ++i) {
        const std::string cn = "many-" + std::to_string(i);
        ldif += "dn: cn=" + cn + ",ou=subscribers,o=example\nobjectClass: qorSubscriber\ncn: " + cn + "\n\n";
    }
    return ldif;
}

class Version3SlapdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        for (const char *name : {"LDAP_HOST", "LDAP_PORT", "LDAP_BINDDN", "LDAP_BINDPW", "LDAP_BASE", "LDAP_PAGESIZE"}) {
            qorhost_set_option(name, nullptr);
        }
        other_ = std::make_unique<qortest::Slapd>(qortest::other_directory_options());
        qortest::SlapdOptions referring;
        referring.referral = other_->url();
        referring.extra_ldif = referral_object(other_->url());
        referring_ = std::make_unique<qortest::Slapd>(referring);
        qortest::SlapdOptions capped;
        capped.extra_ldif = many_entries();
        capped.extra_database_config = {"limits anonymous size.soft=50 size.hard=50 size.pr=25 size.prtotal=unlimited"};
        capped_ = std::make_unique<qortest::Slapd>(capped);
    }

    static void TearDownTestSuite() {
        qorhost_set_option("LDAP_PAGESIZE", nullptr);
        capped_.reset();
        referring_.reset();
        other_.reset();
    }

    void TearDown() override {
        if (ld_ != nullptr) ds_.dsclose(ld_);
    }

    void open(const qortest::Slapd &server, int32_t options, const char *bind_dn = nullptr,
              const char *password = nullptr) {
        ASSERT_EQ(ds_.dsopen(&ld_, "127.0.0.1", server.port(), options, "o=example", bind_dn, password), DS_OK);
    }

    Strings dns(dsent **set) {
        Strings out;
        for (dsent **entry = set; entry != nullptr && *entry != nullptr; ++entry) out.push_back((*entry)->de_dn);
        std::sort(out.begin(), out.end());
        ds_.dsfree(ld_, set);
        return out;
    }

    static bool contains(const Strings &all, const std::string &dn) {
        return std::find(all.begin(), all.end(), dn) != all.end();
    }

    static std::unique_ptr<qortest::Slapd> other_, referring_, capped_;
    qorldap::Directory ds_{qortest::vector(QORLDAP_MODULE)};
    LDAP *ld_ = nullptr;
};

std::unique_ptr<qortest::Slapd> Version3SlapdTest::other_, Version3SlapdTest::referring_, Version3SlapdTest::capped_;

TEST_F(Version3SlapdTest, ReferralsAndReferencesAreFollowedIntoTheOtherServer) {
    open(*referring_, kChase);
    EXPECT_EQ(ld_->ld_protocol_version, 3);
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsrslvdn(ld_, "cn=Olga Other,ou=people,o=other", nullptr, &set), DS_OK);
    EXPECT_EQ(dns(set), Strings{"cn=Olga Other,ou=people,o=other"});
    // The referral object below o=example sends the subtree search on to o=other as well.
    ASSERT_EQ(ds_.dsreslv(ld_, "(objectClass=person)", nullptr, &set), DS_OK);
    const Strings found = dns(set);
    EXPECT_TRUE(contains(found, "cn=Alice Archer,ou=people,o=example"));
    EXPECT_TRUE(contains(found, "cn=Olga Other,ou=people,o=other"));
}

TEST_F(Version3SlapdTest, UnfollowedReferencesArePartialAndListTheirUrls) {
    open(*referring_, 0);
    dsent **set = nullptr;
    const int32_t status = ds_.dsreslv(ld_, "(objectClass=person)", nullptr, &set);
    EXPECT_EQ(status, DS_WARNING(9));
    EXPECT_TRUE(contains(dns(set), "cn=Alice Archer,ou=people,o=example"));
    const char *message = ds_.dsgeterr(ld_);
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::string(message).find("Referral:\n" + other_->url() + "o=other"), std::string::npos) << message;
}

TEST_F(Version3SlapdTest, ManageDsaItReadsTheReferralObjectItself) {
    open(*referring_, kChase | DS_OPT_MANAGE_DSA_IT);
    dsent **set = nullptr;
    char ref[] = "ref";
    char *attrs[] = {ref, nullptr};
    ASSERT_EQ(ds_.dsrslvdn(ld_, "ou=elsewhere,o=example", attrs, &set), DS_OK);
    ASSERT_NE(set, nullptr);
    ASSERT_NE(set[0]->de_atts, nullptr);
    ASSERT_NE(set[0]->de_atts[0], nullptr);
    EXPECT_EQ(std::string(set[0]->de_atts[0]->da_vals[0]->dv_text), other_->url() + "o=other");
    ds_.dsfree(ld_, set);
}

// The capped server gives a plain search 50 entries and a warning; pages bring all of them.
TEST_F(Version3SlapdTest, PagedLookupsReadPastTheServersLimit) {
    const char *filter = "(cn=many-*)";
    open(*capped_, kChase);
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, filter, nullptr, &set), DS_SIZELIMIT_WARNING);
    EXPECT_EQ(dns(set).size(), 50u);
    qorhost_set_option("LDAP_PAGESIZE", "25");
    ds_.dsopt(ld_, -1, -1, kChase | DS_OPT_PAGED_RESULTS, nullptr);
    EXPECT_EQ(ds_.dsreslv(ld_, filter, nullptr, &set), DS_OK);
    EXPECT_EQ(dns(set).size(), static_cast<size_t>(kCappedEntries));
    ds_.dsopt(ld_, -1, 70, -1, nullptr);   // the size limit bounds the whole
    EXPECT_EQ(ds_.dsreslv(ld_, filter, nullptr, &set), DS_SIZELIMIT_WARNING);
    EXPECT_EQ(dns(set).size(), 70u);
}

TEST_F(Version3SlapdTest, RenameWithinAndAcrossParents) {
    open(*referring_, kChase, "cn=admin,o=example", qortest::Slapd::admin_password);
    const std::string desk = "cn=dave-app,ou=subscribers,o=example";
    EXPECT_EQ(ldap_rename_s(ld_, desk.c_str(), "cn=dave-phone", nullptr, 1), LDAP_SUCCESS);
    EXPECT_EQ(ldap_rename_s(ld_, "cn=dave-phone,ou=subscribers,o=example", "cn=dave-app", "ou=people,o=example", 1),
              LDAP_SUCCESS);
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=dave-app,ou=people,o=example", nullptr, &set), DS_OK);
    EXPECT_EQ(dns(set).size(), 1u);
    EXPECT_EQ(ds_.dsrslvdn(ld_, desk.c_str(), nullptr, &set), DS_STATUS(32));
    EXPECT_EQ(ldap_rename_s(ld_, "cn=dave-app,ou=people,o=example", "cn=dave-app", "ou=subscribers,o=example", 1),
              LDAP_SUCCESS);
}

}  // namespace

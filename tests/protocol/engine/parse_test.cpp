// Result parsing and error reporting: the error table, host-log reports, the session's error
// state from a result, and the entry, attribute and value walks of a search chain.
#include <set>
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

using qortest::FakeLdapServer;

// An attribute description with options, longer than any fixed type buffer.
const std::string kLongType = "description;lang-en-" + std::string(120, 'x');

class ParseTest : public EngineTest {
protected:
    // A search chain of two entries and a final result (code 4, matched "o=m", text "limit"),
    // read from a scripted server into an open session.
    void SetUp() override {
        EngineTest::SetUp();
        server_.accept()
            .expect_request(ldap::op::search_request, 1)
            .reply({ldap::search_entry(1, "cn=a,o=example",
                                       {{"cn", {"a"}},
                                        {"objectClass", {"top", "person"}},
                                        {"photo", {std::string("x\0y", 3)}},
                                        {kLongType, {"long"}},
                                        {"emptyattr", {}}}),
                    ldap::search_entry(1, "cn=b,o=example", {}),
                    ldap::search_done(1, 4, "o=m", "limit")})
            .expect_close();
        server_.start();
        ld_ = open_session(server_.port());
        ASSERT_NE(ld_, nullptr);
        ASSERT_EQ(send_search(ld_, "o=example"), 1);
        ASSERT_EQ(ldap_result(ld_, 1, 1, 0, &chain_), LDAP_RES_SEARCH_RESULT);
    }
    void TearDown() override {
        if (ld_ != nullptr) {
            ldap_msgfree(ld_->ld_pool, chain_);
            ldap_unbind(ld_);
        }
        server_.finish();
        EngineTest::TearDown();
    }

    FakeLdapServer server_;
    LDAP *ld_ = nullptr;
    LDAPMessage *chain_ = nullptr;
};

TEST(ErrorTable, HoldsFortySixCodesInOrderWithTheirTexts) {
    int count = 0;
    int32_t previous = -1;
    for (const LDAPErrorText *entry = ldap_errlist; entry->e_code != -1; ++entry, ++count) {
        EXPECT_GT(entry->e_code, previous);
        ASSERT_NE(entry->e_reason, nullptr);
        previous = entry->e_code;
    }
    EXPECT_EQ(count, 46);
    EXPECT_STREQ(ldap_err2string(0), "Success");
    EXPECT_STREQ(ldap_err2string(9), "Partial results and referral received");
    EXPECT_STREQ(ldap_err2string(49), "Invalid credentials");
    EXPECT_STREQ(ldap_err2string(81), "Can't contact LDAP server");
    EXPECT_STREQ(ldap_err2string(90), "Out of memory");
    EXPECT_STREQ(ldap_err2string(80), "Unknown error");
    EXPECT_STREQ(ldap_err2string(91), "Unknown error");
    EXPECT_STREQ(ldap_err2string(-1), "Unknown error");
}

TEST_F(ParseTest, ResultToErrorReadsTheFinalResultAndCanBeRepeated) {
    EXPECT_EQ(ldap_result2error(ld_, chain_, 0), 4);
    EXPECT_EQ(ld_->ld_errno, 4);
    EXPECT_STREQ(ld_->ld_matched, "o=m");
    EXPECT_STREQ(ld_->ld_error, "limit");
    EXPECT_EQ(ldap_result2error(ld_, chain_, 0), 4);
    EXPECT_STREQ(ld_->ld_error, "limit");

    ld_->ld_errno = 7;
    EXPECT_EQ(ldap_result2error(ld_, nullptr, 1), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, 7);
    EXPECT_STREQ(ld_->ld_error, "limit");
}

TEST_F(ParseTest, PerrorWritesTheCodeMatchedDnAndAdditionalInfo) {
    ldap_result2error(ld_, chain_, 0);
    testing::internal::CaptureStderr();
    ldap_perror(ld_, "lookup");
    ld_->ld_errno = 91;
    ldap_perror(ld_, "lookup");
    ldap_perror(nullptr, "nothing");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log,
              "lookup: Sizelimit exceeded\n"
              "lookup: matched: o=m\n"
              "lookup: additional info: limit\n"
              "lookup: Not an LDAP errno 91\n");
}

TEST_F(ParseTest, EntriesAreWalkedUpToTheFinalResult) {
    EXPECT_EQ(ldap_count_entries(ld_, chain_), 2);
    LDAPMessage *first = ldap_first_entry(ld_, chain_);
    ASSERT_EQ(first, chain_);
    LDAPMessage *second = ldap_next_entry(ld_, first);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ldap_next_entry(ld_, second), nullptr);
    EXPECT_EQ(ldap_next_entry(ld_, nullptr), nullptr);
    EXPECT_EQ(ldap_count_entries(ld_, second->lm_chain_next), 0);
    EXPECT_EQ(ldap_first_entry(ld_, second->lm_chain_next), nullptr);

    char *dn = ldap_get_dn(ld_, second);
    ASSERT_NE(dn, nullptr);
    EXPECT_STREQ(dn, "cn=b,o=example");
    ld_->ld_pool->release(ld_->ld_pool, dn, 0, 4);
    EXPECT_EQ(ldap_get_dn(ld_, nullptr), nullptr);
    EXPECT_EQ(ld_->ld_errno, LDAP_PARAM_ERROR);
}

TEST_F(ParseTest, AttributeWalkEndsWithDecodingErrorAndReleasesItsElement) {
    long before = live_blocks(ld_);
    BerElement *iteration = nullptr;
    std::vector<std::string> types;
    for (char *type = ldap_first_attribute(ld_, chain_, &iteration); type != nullptr;
         type = ldap_next_attribute(ld_, chain_, iteration)) {
        types.emplace_back(type);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"cn", "objectClass", "photo", kLongType, "emptyattr"}));
    EXPECT_EQ(ld_->ld_errno, LDAP_DECODING_ERROR);
    EXPECT_EQ(live_blocks(ld_), before);
    // The entry itself can be walked again.
    EXPECT_STREQ(ldap_first_attribute(ld_, chain_, &iteration), "cn");
    berfree(iteration, 0);
    // An entry without attributes.
    EXPECT_EQ(ldap_first_attribute(ld_, chain_->lm_chain_next, &iteration), nullptr);
    EXPECT_EQ(iteration, nullptr);
    EXPECT_EQ(live_blocks(ld_), before);
}

TEST_F(ParseTest, ValuesAreFoundIgnoringCaseButNotByPrefix) {
    long before = live_blocks(ld_);
    char **classes = ldap_get_values(ld_, chain_, "OBJECTCLASS");
    ASSERT_NE(classes, nullptr);
    EXPECT_EQ(ldap_count_values(classes), 2);
    EXPECT_STREQ(classes[0], "top");
    EXPECT_STREQ(classes[1], "person");
    ldap_value_free(ld_->ld_pool, classes);

    EXPECT_EQ(ldap_get_values(ld_, chain_, "object"), nullptr);
    EXPECT_EQ(ld_->ld_errno, LDAP_DECODING_ERROR);
    EXPECT_EQ(ldap_get_values(ld_, chain_, "cnx"), nullptr);

    berval **photo = ldap_get_values_len(ld_, chain_, "photo");
    ASSERT_NE(photo, nullptr);
    ASSERT_EQ(ldap_count_values_len(photo), 1);
    EXPECT_EQ(std::string(photo[0]->bv_val, photo[0]->bv_len), std::string("x\0y", 3));
    ldap_value_free_len(ld_->ld_pool, photo);

    char **described = ldap_get_values(ld_, chain_, kLongType.c_str());
    ASSERT_NE(described, nullptr);
    EXPECT_STREQ(described[0], "long");
    ldap_value_free(ld_->ld_pool, described);

    char **empty = ldap_get_values(ld_, chain_, "emptyattr");   // found past the long type
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(ldap_count_values(empty), 0);
    ldap_value_free(ld_->ld_pool, empty);

    EXPECT_EQ(ldap_count_values(nullptr), 0);
    EXPECT_EQ(ldap_count_values_len(nullptr), 0);
    ldap_value_free(ld_->ld_pool, nullptr);
    ldap_value_free_len(ld_->ld_pool, nullptr);
    EXPECT_EQ(live_blocks(ld_), before);
}

}  // namespace
}  // namespace enginetest

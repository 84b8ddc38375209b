// What version-3 servers add: referrals in a result's referral field, search result references,
// controls on requests, notices of disconnection and the rename operation.
#include <string>

#include "engine_support.h"
#include "module/client/ldcontrol.h"

namespace enginetest {
namespace {

class Version3Test : public EngineTest {};

void version3(LDAP *ld) {
    ld->ld_protocol_version = 3;
}

void version3_without_chasing(LDAP *ld) {
    version3(ld);
    ld->ld_option_flags = 0;
}

// Ids: 1 the search; 2 the child, 3 its anonymous version-3 bind.
void answer_child(FakeLdapServer &b, const std::string &base, const std::string &entry) {
    b.accept()
        .expect(ldap::bind_request(3, 3, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(search_request_bytes(2, base))
        .reply({ldap::search_entry(2, entry, {}), ldap::search_done(2, 0)})
        .expect(ldap::unbind_request(4))
        .expect_close();
}

TEST_F(Version3Test, ReferralFieldIsChased) {
    FakeLdapServer a, b;
    answer_first_search(a, ldap::search_done(1, ldap::code::referral, "", "", {url(b.port(), "/o=b??sub")}));
    answer_child(b, "o=b", "cn=x,o=b");
    LDAP *ld = start_search({&a, &b}, "o=a", version3);
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(dn_of(ld, chain), "cn=x,o=b");
    EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SUCCESS);
    end_session(ld, {&a, &b});
}

TEST_F(Version3Test, SearchReferenceIsChasedAndItsEntriesJoinTheSearch) {
    FakeLdapServer a, b;
    answer_first_search(a, qortest::concat({ldap::search_entry(1, "cn=here,o=a", {}),
                                            ldap::search_reference(1, {url(b.port(), "/o=b??sub")}),
                                            ldap::search_done(1, 0)}));
    answer_child(b, "o=b", "cn=there,o=b");
    LDAP *ld = start_search({&a, &b}, "o=a", version3);
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ldap_count_entries(ld, chain), 2);
    EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SUCCESS);
    end_session(ld, {&a, &b});
}

// Not followed, a referral is visible: the result is partial and its text lists the URLs after
// "Referral:", whether they came in the referral field or as search references.
TEST_F(Version3Test, UnfollowedReferralsArePartialResultsThatListTheirUrls) {
    const std::string there = "ldap://b.example/o=b??sub";
    const std::string other = "ldap://c.example/o=c??sub";
    for (const bool as_reference : {false, true}) {
        FakeLdapServer a;
        answer_first_search(a, as_reference ? qortest::concat({ldap::search_entry(1, "cn=here,o=a", {}),
                                                               ldap::search_reference(1, {there, other}),
                                                               ldap::search_done(1, 0)})
                                            : ldap::search_done(1, ldap::code::referral, "", "", {there, other}));
        LDAP *ld = start_search({&a}, "o=a", version3_without_chasing);
        ASSERT_NE(ld, nullptr);
        LDAPMessage *chain = result_of(ld, 1);
        ASSERT_NE(chain, nullptr);
        EXPECT_EQ(ldap_count_entries(ld, chain), as_reference ? 1 : 0);
        EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_PARTIAL_RESULTS) << as_reference;
        EXPECT_STREQ(ld->ld_error, referral({there, other}).c_str());
        end_session(ld, {&a});
    }
}

TEST_F(Version3Test, NoticeOfDisconnectionEndsEveryRequestWithItsCode) {
    FakeLdapServer a;
    accept_search_and_delete(a)
        .reply({ldap::search_entry(1, "cn=a,o=example", {}), ldap::notice_of_disconnection(ldap::code::unavailable)})
        .close();
    LDAP *ld = start_search({&a}, "o=example", version3);
    ASSERT_NE(ld, nullptr);
    ASSERT_EQ(send_delete(ld, "cn=x"), 2);
    for (int32_t id : {1, 2}) {
        LDAPMessage *result = nullptr;
        EXPECT_EQ(ldap_result(ld, id, 1, 0, &result), -1) << id;
        EXPECT_EQ(ld->ld_errno, ldap::code::unavailable) << id;
    }
    EXPECT_EQ(pending_count(ld), 0);
    EXPECT_EQ(ld->ld_queued_responses, nullptr);
    end_session(ld, {&a}, Ending::free_silently);
}

// ManageDsaIT goes on every request of a version-3 session that asks for it, after the
// operation; a version-2 session sends no controls.
TEST_F(Version3Test, ManageDsaItControlFollowsTheOperation) {
    const qortest::ldap::Control manage{ldap::manage_dsa_it_oid, std::nullopt};
    FakeLdapServer a;
    a.accept()
        .expect(ldap::with_controls(ldap::delete_request(1, "cn=r,o=a"), {manage}))
        .reply(ldap::delete_response(1, 0))
        .expect(ldap::with_controls(ldap::rename_request(2, "cn=r,o=a", "cn=s", true, "o=b"), {manage}))
        .reply(ldap::result(2, 0x6d, 0))
        .expect(ldap::rename_request(3, "cn=s,o=b", "cn=t", false))
        .reply(ldap::result(3, 0x6d, ldap::code::no_such_object))
        .expect_close();
    LDAP *ld = start_session({&a});
    ASSERT_NE(ld, nullptr);
    ld->ld_protocol_version = 3;
    ld->ld_option_flags |= DS_OPT_MANAGE_DSA_IT;
    EXPECT_EQ(ldap_delete_s(ld, "cn=r,o=a"), LDAP_SUCCESS);
    EXPECT_EQ(ldap_rename_s(ld, "cn=r,o=a", "cn=s", "o=b", 1), LDAP_SUCCESS);
    ld->ld_protocol_version = 2;
    EXPECT_EQ(ldap_rename_s(ld, "cn=s,o=b", "cn=t", nullptr, 0), LDAP_NO_SUCH_OBJECT);
    end_session(ld, {&a});
}

}  // namespace
}  // namespace enginetest

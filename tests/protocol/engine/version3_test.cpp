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
void answer_child(FakeLdapServer &b, const Bytes &child_request, const std::string &entry) {
    b.accept()
        .expect(ldap::bind_request(3, 3, "", ""))
        .reply(ldap::bind_response(3, 0))
        .expect(child_request)
        .reply({ldap::search_entry(2, entry, {}), ldap::search_done(2, 0)})
        .expect(ldap::unbind_request(4))
        .expect_close();
}

TEST_F(Version3Test, ReferralFieldIsChased) {
    FakeLdapServer a, b;
    answer_first_search(a, ldap::search_done(1, ldap::code::referral, "", "", {url(b.port(), "/o=b??sub")}));
    answer_child(b, search_request_bytes(2, "o=b"), "cn=x,o=b");
    LDAP *ld = start_search({&a, &b}, "o=a", version3);
    ASSERT_NE(ld, nullptr);
    LDAPMessage *chain = result_of(ld, 1);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(dn_of(ld, chain), "cn=x,o=b");
    EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SUCCESS);
    end_session(ld, {&a, &b});
}

// A reference's URL names the base (the search's own when it has no DN part), the scope and the
// filter (the search's own when absent); its entries join the search.
TEST_F(Version3Test, SearchReferenceIsChasedWhereItsUrlPointsAndItsEntriesJoinTheSearch) {
    struct Case {
        std::string url_tail;
        std::string base;
        int scope;
        Bytes filter;
    };
    const Bytes own_filter = ldap::filter::present("objectclass");
    const Case cases[] = {
        {"/o=b??sub", "o=b", LDAP_SCOPE_SUBTREE, own_filter},
        {"/ou=x,o=b??one?(cn=a)", "ou=x,o=b", LDAP_SCOPE_ONELEVEL, ldap::filter::equal("cn", "a")},
        {"/o%3Db?cn?base", "o=b", LDAP_SCOPE_BASE, own_filter},
        {"", "o=a", LDAP_SCOPE_SUBTREE, own_filter},
    };
    for (const Case &c : cases) {
        FakeLdapServer a, b;
        answer_first_search(a, qortest::concat({ldap::search_entry(1, "cn=here,o=a", {}),
                                                ldap::search_reference(1, {url(b.port(), c.url_tail)}),
                                                ldap::search_done(1, 0)}));
        ldap::Search child;
        child.base = c.base;
        child.scope = c.scope;
        child.filter = c.filter;
        answer_child(b, ldap::search_request(2, child), "cn=there,o=b");
        LDAP *ld = start_search({&a, &b}, "o=a", version3);
        ASSERT_NE(ld, nullptr);
        LDAPMessage *chain = result_of(ld, 1);
        ASSERT_NE(chain, nullptr) << c.url_tail;
        EXPECT_EQ(ldap_count_entries(ld, chain), 2) << c.url_tail;
        EXPECT_EQ(ldap_result2error(ld, chain, 1), LDAP_SUCCESS) << c.url_tail;
        end_session(ld, {&a, &b});
    }
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

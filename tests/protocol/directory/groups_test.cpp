// Group expansion against the scripted server: the subscriber search of each member with its DN
// as the assertion value byte for byte (also DNs the filter text cannot carry, and long ones),
// members that are passed over, a group cycle, and the growth of the output.
#include <string>

#include "module/host/services.h"
#include "protocol_fixture.h"

namespace {

using namespace dstest;

const std::vector<std::string> kMemberAttributes = {"member", "uniquemember"};

Bytes subscriber_filter(const std::string &member_dn) {
    namespace f = ldap::filter;
    return f::and_of({f::or_of({f::equal("objectclass", "qorsubscriber"), f::equal("qorInterface", "qorsubscriber")}),
                      f::equal("qorpersondn", member_dn)});
}

Bytes subscriber_search(std::int64_t id, const std::string &member_dn) {
    return search(id, "o=x", 2, subscriber_filter(member_dn));
}

Bytes subscriber(std::int64_t id, const std::string &name, const std::string &person) {
    return ldap::search_entry(id, "cn=" + name + ",ou=s,o=x",
                              {{"objectClass", {"qorSubscriber"}}, {"cn", {name}}, {"qorPersonDN", {person}}});
}

Bytes group_entry(std::int64_t id, const std::string &dn, const std::string &member_type,
                  const std::vector<std::string> &members) {
    return ldap::search_entry(id, dn, {{member_type, members}});
}

std::vector<std::string> dns_of(dsent **set) {
    std::vector<std::string> dns;
    for (dsent **entry = set; entry != nullptr && *entry != nullptr; ++entry) dns.emplace_back((*entry)->de_dn);
    return dns;
}

class GroupsProtocolTest : public DirectoryProtocolTest {};

// For a DN the text filter can carry, the elements written are the very bytes the text gives.
TEST_F(GroupsProtocolTest, SubscriberFilterIsTheTextFiltersEncoding) {
    LDAP *ld = ldap_init("127.0.0.1", 1);
    ASSERT_NE(ld, nullptr);
    ld->ld_timelimit = kTimeLimitMs;
    ld->ld_last_msgid = 2;
    BerElement *request = ldap_build_search_req(
        ld, "o=x", 2, "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=cn=Al Ba,ou=p,o=x))",
        nullptr, 0);
    ASSERT_NE(request, nullptr);
    const Bytes text_bytes(request->be_start, request->be_pos);
    EXPECT_EQ(text_bytes, subscriber_search(3, "cn=Al Ba,ou=p,o=x"));
    berfree(request, 1);
    ldap_ld_free(ld, 0);
}

TEST_F(GroupsProtocolTest, EveryMemberDnReachesTheServerWhole) {
    const std::string plain = "cn=Al Ba,ou=p,o=x";
    const std::string awkward = "cn=a(b\\)*c),ou=p,o=x";   // "(", ")", "\" and "*" as they are
    const std::string long_dn = "cn=" + std::string(190, 'l') + ",ou=p,o=x";
    const std::string lonely = "cn=Lonely,ou=p,o=x";
    ASSERT_GT(long_dn.size(), 180u);
    expect_open()
        .expect(read_entry(2, "cn=g,o=x", kMemberAttributes))
        .reply({group_entry(2, "cn=g,o=x", "member", {plain, awkward, long_dn, lonely}), ldap::search_done(2, 0)})
        .expect(subscriber_search(3, plain))
        .reply({subscriber(3, "s1", plain), ldap::search_done(3, 0)})
        .expect(subscriber_search(4, awkward))
        .reply({subscriber(4, "s2", awkward), ldap::search_done(4, 0)})
        .expect(subscriber_search(5, long_dn))
        .reply({subscriber(5, "s3a", long_dn), subscriber(5, "s3b", long_dn), ldap::search_done(5, 0)})
        // Without subscribers and not a group: passed over.
        .expect(subscriber_search(6, lonely))
        .reply(ldap::search_done(6, 0))
        .expect(read_entry(7, lonely))
        .reply({ldap::search_entry(7, lonely, {{"objectClass", {"person"}}}), ldap::search_done(7, 0)});
    open();
    const long before = live_blocks();
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsexpgrp(ld_, "cn=g,o=x", &set), DS_OK);
    EXPECT_EQ(dns_of(set),
              (std::vector<std::string>{"cn=s1,ou=s,o=x", "cn=s2,ou=s,o=x", "cn=s3a,ou=s,o=x", "cn=s3b,ou=s,o=x"}));
    EXPECT_STREQ(set[1]->de_atts[2]->da_vals[0]->dv_text, awkward.c_str());
    EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);
    EXPECT_LE(live_blocks(), before);
}

TEST_F(GroupsProtocolTest, AGroupOnThePathContributesNothing) {
    const std::string a = "cn=a,ou=g,o=x", b = "cn=b,ou=g,o=x", person = "cn=p,ou=p,o=x";
    expect_open()
        .expect(read_entry(2, a, kMemberAttributes))
        .reply({group_entry(2, a, "member", {b, person}), ldap::search_done(2, 0)})
        .expect(subscriber_search(3, b))
        .reply(ldap::search_done(3, 0))
        .expect(read_entry(4, b))
        .reply({ldap::search_entry(4, b, {{"objectClass", {"top", "groupOfUniqueNames"}}, {"uniqueMember", {a}}}),
                ldap::search_done(4, 0)})
        .expect(read_entry(5, b, kMemberAttributes))
        .reply({group_entry(5, b, "uniqueMember", {a}), ldap::search_done(5, 0)})
        .expect(subscriber_search(6, a))
        .reply(ldap::search_done(6, 0))
        .expect(read_entry(7, a))
        .reply({ldap::search_entry(7, "CN=A,ou=g,o=x", {{"objectClass", {"groupOfNames"}}, {"member", {b, person}}}),
                ldap::search_done(7, 0)})
        // a is on the path (b's parent): not read again; the expansion goes on with the person.
        .expect(subscriber_search(8, person))
        .reply({subscriber(8, "sp", person), ldap::search_done(8, 0)});
    open();
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsexpgrp(ld_, a.c_str(), &set), DS_OK);
    EXPECT_EQ(dns_of(set), std::vector<std::string>{"cn=sp,ou=s,o=x"});
    ds_.dsfree(ld_, set);
}

TEST_F(GroupsProtocolTest, TwentyFiveSubscribersGrowTheOutputOnce) {
    std::vector<Bytes> replies;
    std::vector<std::string> expected;
    for (int i = 0; i < 25; ++i) {
        replies.push_back(subscriber(3, "s" + std::to_string(i), "cn=p,o=x"));
        expected.push_back("cn=s" + std::to_string(i) + ",ou=s,o=x");
    }
    replies.push_back(ldap::search_done(3, 0));
    Bytes all;
    for (const Bytes &r : replies) all.insert(all.end(), r.begin(), r.end());
    expect_open()
        .expect(read_entry(2, "cn=g,o=x", kMemberAttributes))
        .reply({group_entry(2, "cn=g,o=x", "member", {"cn=p,o=x"}), ldap::search_done(2, 0)})
        .expect(subscriber_search(3, "cn=p,o=x"))
        .reply(all);
    open();
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsexpgrp(ld_, "cn=g,o=x", &set), DS_OK);
    EXPECT_EQ(dns_of(set), expected);
    EXPECT_EQ(set[25], nullptr);
    ds_.dsfree(ld_, set);
}

TEST_F(GroupsProtocolTest, GroupsWithoutEntryMembersOrSubscribers) {
    expect_open()
        .expect(read_entry(2, "cn=gone,o=x", kMemberAttributes))
        .reply(ldap::search_done(2, ldap::code::no_such_object, "o=x", ""))
        .expect(read_entry(3, "cn=empty,o=x", kMemberAttributes))
        .reply({ldap::search_entry(3, "cn=empty,o=x", {}), ldap::search_done(3, 0)})
        .expect(read_entry(4, "cn=quiet,o=x", kMemberAttributes))
        .reply({group_entry(4, "cn=quiet,o=x", "member", {"cn=nobody,o=x"}), ldap::search_done(4, 0)})
        .expect(subscriber_search(5, "cn=nobody,o=x"))
        .reply(ldap::search_done(5, 0))
        .expect(read_entry(6, "cn=nobody,o=x"))
        .reply(ldap::search_done(6, ldap::code::no_such_object, "o=x", ""));
    open();
    dsent **set = reinterpret_cast<dsent **>(1);
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=gone,o=x", &set), DS_NO_SUCH_OBJECT);
    EXPECT_EQ(set, nullptr);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: o=x");
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=empty,o=x", &set), DS_OK);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=quiet,o=x", &set), DS_OK);
    ASSERT_NE(set, nullptr);   // members, but none leads to a subscriber: an empty set
    EXPECT_EQ(set[0], nullptr);
    ds_.dsfree(ld_, set);

    EXPECT_EQ(ds_.dsexpgrp(nullptr, "cn=g,o=x", &set), DS_NO_SESSION);
    EXPECT_EQ(ds_.dsexpgrp(ld_, "", &set), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsexpgrp(ld_, nullptr, &set), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=g,o=x", nullptr), DS_MISSING_ARGUMENT);
}

}  // namespace

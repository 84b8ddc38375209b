// The class test and group expansion on slapd: nested groupOfNames and groupOfUniqueNames groups
// expanded depth first in member order, subscribers found by class or by interface, a cycle, a
// group reached by two paths, and member DNs that the filter text could not carry.
#include <initializer_list>
#include <string>
#include <vector>

#include "integration_fixture.h"

namespace {

using namespace dstest;

// The DNs of the subscriber entries named, in the order given.
std::vector<std::string> subscribers(std::initializer_list<const char *> names) {
    std::vector<std::string> dns;
    for (const char *name : names) dns.push_back(std::string("cn=") + name + ",ou=subscribers,o=example");
    return dns;
}

class GroupsTest : public DirectoryIntegrationTest {
protected:
    std::vector<std::string> expand(const char *group) {
        dsent **set = nullptr;
        const int32_t status = ds_.dsexpgrp(ld_, group, &set);
        EXPECT_EQ(status, DS_OK) << group;
        std::vector<std::string> dns = dns_of(set);
        if (set != nullptr) {
            EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);
        }
        return dns;
    }
};

TEST_F(GroupsTest, ClassTestOnEntriesOfTheDirectory) {
    open();
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsreslv(ld_, "(|(cn=staff)(cn=leads)(cn=dave-app))", nullptr, &set), DS_OK);
    ASSERT_EQ(dns_of(set).size(), 3u);
    for (dsent **entry = set; *entry != nullptr; ++entry) {
        const std::string dn = (*entry)->de_dn;
        const bool staff = dn.rfind("cn=staff", 0) == 0, leads = dn.rfind("cn=leads", 0) == 0;
        EXPECT_EQ(ds_.dsiscls(ld_, *entry, "GroupOfNames", 12), staff ? 1 : 0) << dn;
        EXPECT_EQ(ds_.dsiscls(ld_, *entry, "groupOfUniqueNames", 18), leads ? 1 : 0) << dn;
        // dave-app is an applicationProcess that offers the subscriber interface.
        EXPECT_EQ(ds_.dsiscls(ld_, *entry, "qorSubscriber", 13), !staff && !leads ? 1 : 0) << dn;
        EXPECT_EQ(ds_.dsiscls(ld_, *entry, "person", 6), 0) << dn;
    }
    ds_.dsfree(ld_, set);
}

TEST_F(GroupsTest, NestedGroupsDepthFirstInMemberOrder) {
    open();
    EXPECT_EQ(expand("cn=staff,ou=groups,o=example"),
              subscribers({"bob-desk", "dave-app", "juergen-desk", "carol-desk"}));
    EXPECT_EQ(expand("cn=leads,ou=groups,o=example"), subscribers({"dave-app", "juergen-desk"}));
    EXPECT_EQ(expand("cn=alice-group,ou=groups,o=example"), subscribers({"alice-desk", "alice-mobile"}));
}

TEST_F(GroupsTest, GroupsWithoutSubscribersOrWithoutEntry) {
    open();
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsexpgrp(ld_, "cn=quiet,ou=groups,o=example", &set), DS_OK);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set[0], nullptr);
    ds_.dsfree(ld_, set);
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=missing,ou=groups,o=example", &set), DS_NO_SUCH_OBJECT);
    EXPECT_EQ(set, nullptr);
    // A person is not a group: it has no member attribute, so nothing is expanded.
    EXPECT_EQ(ds_.dsexpgrp(ld_, "cn=Bob Baker,ou=people,o=example", &set), DS_OK);
    EXPECT_EQ(set, nullptr);
}

TEST_F(GroupsTest, CycleStopsAtTheGroupOnThePath) {
    open();
    // cycle-a: cycle-b (whose member cycle-a is on the path, then Carol), then Bob.
    EXPECT_EQ(expand("cn=cycle-a,ou=groups,o=example"), subscribers({"carol-desk", "bob-desk"}));
    EXPECT_EQ(expand("CN=Cycle-B, ou=groups, o=example"), subscribers({"bob-desk", "carol-desk"}));
}

TEST_F(GroupsTest, GroupReachedByTwoPathsIsExpandedOnBoth) {
    open();
    EXPECT_EQ(expand("cn=twice,ou=groups,o=example"),
              subscribers({"dave-app", "juergen-desk", "bob-desk", "dave-app", "juergen-desk", "carol-desk"}));
}

TEST_F(GroupsTest, MemberDnsTheFilterTextCouldNotCarry) {
    open();
    EXPECT_EQ(expand("cn=odd-names,ou=groups,o=example"), subscribers({"star-desk", "comma-desk", "long-desk"}));
}

}  // namespace

// Lookups on slapd: by DN and by filter with each resolve scope, every getter on real values,
// entries with 20 and 45 attributes, the size limit reached after entries, and values that are
// not text.
#include <set>
#include <string>

#include "integration_fixture.h"

namespace {

using namespace dstest;

class LookupTest : public DirectoryIntegrationTest {
protected:
    // Number of entries dsreslv finds for `filter` with the option word's scope `option`.
    size_t count_with_scope(int32_t option, const char *filter, const char *base = nullptr) {
        ds_.dsopt(ld_, -1, -1, option, base);
        dsent **set = nullptr;
        EXPECT_EQ(ds_.dsreslv(ld_, filter, nullptr, &set), DS_OK) << filter;
        const size_t count = dns_of(set).size();
        if (set != nullptr) ds_.dsfree(ld_, set);
        return count;
    }
};

TEST_F(LookupTest, ResolveScopes) {
    open();
    const size_t whole = count_with_scope(0, "(objectClass=*)");
    EXPECT_GE(whole, 30u);   // the sample's 22 entries and the tests' own
    EXPECT_EQ(count_with_scope(DS_OPT_RESOLVE_SUBTREE, "(objectClass=*)"), whole);
    EXPECT_EQ(count_with_scope(DS_OPT_RESOLVE_BASE, "(objectClass=*)"), 1u);
    EXPECT_EQ(count_with_scope(DS_OPT_RESOLVE_ONELEVEL, "(objectClass=*)"), 3u);   // the three units
    EXPECT_EQ(count_with_scope(DS_OPT_RESOLVE_ONELEVEL, "(objectClass=groupOfNames)", "ou=groups,o=example"), 7u);
    EXPECT_EQ(count_with_scope(DS_OPT_RESOLVE_SUBTREE, "(uid=nobody)"), 0u);
}

TEST_F(LookupTest, ByFilterAndByDnWithEveryGetter) {
    open();
    dsent **set = nullptr;
    char *wanted[] = {text("employeeNumber"), text("mail"), text("cn"), nullptr};
    ASSERT_EQ(ds_.dsreslv(ld_, "(&(objectClass=inetOrgPerson)(uid=alice))", wanted, &set), DS_OK);
    ASSERT_EQ(dns_of(set), std::vector<std::string>{"cn=Alice Archer,ou=people,o=example"});
    EXPECT_EQ(set[0]->de_atts[3], nullptr);   // only what was asked for
    dsval *number = attribute(set[0], "employeeNumber")->da_vals[0];
    EXPECT_EQ(ds_.dsgint(number), 1001);
    EXPECT_EQ(ds_.dsglong(number), 1001);
    EXPECT_EQ(ds_.dsgshrt(number), 1001);
    EXPECT_STREQ(ds_.dsgstr(attribute(set[0], "mail")->da_vals[0]), "alice@example.org");
    ds_.dsfree(ld_, set);

    ASSERT_EQ(ds_.dsrslvdn(ld_, "cn=Alice Archer,ou=people,o=example", wanted, &set), DS_OK);
    ASSERT_NE(set, nullptr);
    number = attribute(set[0], "employeeNumber")->da_vals[0];
    EXPECT_EQ(ds_.dsgdbl(number), 1001.0);
    EXPECT_EQ(ds_.dsgflt(number), 1001.0f);
    EXPECT_EQ(number->dv_kind, DSVAL_FLOAT);
    ds_.dsfree(ld_, set);

    // UTF-8 arrives as the host's text (the host's encoding is the directory's here).
    ASSERT_EQ(ds_.dsreslv(ld_, "(uid=juergen)", nullptr, &set), DS_OK);
    ASSERT_NE(set, nullptr);
    EXPECT_STREQ(ds_.dsgstr(attribute(set[0], "description")->da_vals[0]), "B\xc3\xbcro in Z\xc3\xbcrich");
    ds_.dsfree(ld_, set);
}

TEST_F(LookupTest, WideEntries) {
    open();
    for (const auto &[dn, width] : {std::pair<const char *, size_t>{"cn=Wide20,ou=people,o=example", 20},
                                    std::pair<const char *, size_t>{"cn=Wide45,ou=people,o=example", 45}}) {
        dsent **set = nullptr;
        ASSERT_EQ(ds_.dsrslvdn(ld_, dn, nullptr, &set), DS_OK);
        ASSERT_NE(set, nullptr);
        std::set<std::string> names;
        size_t count = 0;
        while (set[0]->de_atts[count] != nullptr) names.insert(set[0]->de_atts[count++]->da_name);
        EXPECT_EQ(count, width) << dn;
        EXPECT_EQ(names.size(), width) << dn;
        EXPECT_EQ(attribute(set[0], "objectClass")->da_count, 5);
        EXPECT_EQ(set[0]->de_atts[width], nullptr);
        EXPECT_EQ(set[1], nullptr);
        ds_.dsfree(ld_, set);
    }
}

TEST_F(LookupTest, SizeLimitReachedAfterEntries) {
    open();
    ds_.dsopt(ld_, -1, 2, -1, "ou=people,o=example");
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "(objectClass=person)", nullptr, &set), DS_SIZELIMIT_WARNING);
    EXPECT_EQ(dns_of(set).size(), 2u);
    ds_.dsfree(ld_, set);
}

TEST_F(LookupTest, BinaryValuesOfAHostWithAnotherEncoding) {
    open();
    const auto *gcb = reinterpret_cast<const uintptr_t *>(qorhost_control_block());
    const int host_encoding = static_cast<int>(reinterpret_cast<const uintptr_t *>(gcb[33])[11]);
    ASSERT_EQ(qorhost_set_encoding(qorhost_encoding_number("ISO-8859-1")), 0);
    dsent **set = nullptr;
    char *wanted[] = {text("qorBinaryValue"), nullptr};
    const int32_t status = ds_.dsrslvdn(ld_, "cn=alice-mobile,ou=subscribers,o=example", wanted, &set);
    qorhost_set_encoding(host_encoding);
    ASSERT_EQ(status, DS_OK);
    ASSERT_NE(set, nullptr);
    int32_t length = 0;
    const unsigned char *bytes = ds_.dsgbin(ld_, set[0]->de_atts[0]->da_vals[0], &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(length)),
              std::string("\x00\x01\x02\x03\xfe\xff", 6));
    ds_.dsfree(ld_, set);
}

}  // namespace

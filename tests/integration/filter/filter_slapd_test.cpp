// Filters with hex escapes and extensible matches against a private slapd: each finds the same
// entries that the server finds for a filter that says the same in another way (older escapes,
// a plain equality, a subtree below the DN part, a value the filter syntax cannot carry).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"

namespace {

using Strings = std::vector<std::string>;

constexpr const char *kBase = "o=example";

// Names that need escapes, and a neighbour that a wildcard would also find.
constexpr const char *kExtraLdif =
    "dn: cn=test (paren),ou=subscribers,o=example\n"
    "objectClass: qorSubscriber\n"
    "cn: test (paren)\n"
    "\n"
    "dn: cn=star*name,ou=subscribers,o=example\n"
    "objectClass: qorSubscriber\n"
    "cn: star*name\n"
    "\n"
    "dn: cn=starlongname,ou=subscribers,o=example\n"
    "objectClass: qorSubscriber\n"
    "cn: starlongname\n"
    "\n";

class FilterSlapdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        qorhost_set_encoding(20);
        qortest::SlapdOptions options;
        options.extra_ldif = kExtraLdif;
        server_ = std::make_unique<qortest::Slapd>(options);
    }

    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ld_ = ldap_open("127.0.0.1", server_->port());
        ASSERT_NE(ld_, nullptr);
        ld_->ld_protocol_version = 3;
        ld_->ld_timelimit = 10000;
        ASSERT_EQ(ldap_simple_bind_s(ld_, "", ""), LDAP_SUCCESS);
    }

    void TearDown() override {
        if (ld_ != nullptr) ldap_unbind(ld_);
    }

    // The DNs of a search's result, sorted; a failed search fails the test.
    Strings found(LDAPMessage *result, int32_t code, const std::string &what) {
        EXPECT_EQ(code, LDAP_SUCCESS) << what;
        Strings out;
        for (LDAPMessage *entry = ldap_first_entry(ld_, result); entry != nullptr; entry = ldap_next_entry(ld_, entry)) {
            char *dn = ldap_get_dn(ld_, entry);
            out.push_back(dn != nullptr ? dn : "<no dn>");
            if (dn != nullptr) ld_->ld_pool->release(ld_->ld_pool, dn, 0, 4);
        }
        ldap_msgfree(ld_->ld_pool, result);
        std::sort(out.begin(), out.end());
        return out;
    }

    Strings search(const char *base, const char *filter) {
        LDAPMessage *result = nullptr;
        const int32_t code = ldap_search_s(ld_, base, LDAP_SCOPE_SUBTREE, filter, nullptr, 0, &result);
        return found(result, code, filter);
    }

    // An equality filter for a value taken as it is, written without the string syntax.
    Strings search_equal(const char *type, const char *value) {
        struct Assertion {
            const char *type;
            const char *value;
        } assertion{type, value};
        auto write = [](BerElement *ber, const void *context) -> int32_t {
            const auto *a = static_cast<const Assertion *>(context);
            return put_equality_filter(ber, a->type, a->value) == 0 ? 0 : LDAP_FILTER_ERROR;
        };
        LDAPMessage *result = nullptr;
        const int32_t code = search_with_filter_s(ld_, kBase, LDAP_SCOPE_SUBTREE, write, &assertion, nullptr, 0, &result);
        return found(result, code, std::string(type) + " equal to " + value);
    }

    static std::unique_ptr<qortest::Slapd> server_;
    LDAP *ld_ = nullptr;
};

std::unique_ptr<qortest::Slapd> FilterSlapdTest::server_;

TEST_F(FilterSlapdTest, EscapesAndExtensibleMatchesFindWhatTheirEquivalentsFind) {
    struct Case {
        const char *filter;
        const char *base;            // of the equivalent search
        const char *equivalent;
    };
    for (const Case &c : std::initializer_list<Case>{
             {"(cn=test \\28paren\\29)", kBase, "(cn=test \\(paren\\))"},
             {"(cn=J\\c3\\bcrgen*)", kBase, "(cn=J\xc3\xbcrgen*)"},
             {"(cn=J\\C3\\BCRGEN M\\c3\\bcller)", kBase, "(uid=juergen)"},
             // Bytes that are no text at all, NUL among them.
             {"(qorBinaryValue=\\00\\01\\02\\03\\fe\\ff)", kBase, "(cn=alice-mobile)"},
             {"(cn:=Bob Baker)", kBase, "(cn=Bob Baker)"},
             {"(cn:caseExactMatch:=Bob Baker)", kBase, "(cn=Bob Baker)"},
             {"(&(objectClass=person)(ou:dn:=people))", "ou=people,o=example", "(objectClass=person)"},
             {"(:dn:caseIgnoreMatch:=subscribers)", "ou=subscribers,o=example", "(objectClass=*)"},
         }) {
        const Strings expected = search(c.base, c.equivalent);
        EXPECT_FALSE(expected.empty()) << c.equivalent;
        EXPECT_EQ(search(kBase, c.filter), expected) << c.filter;
    }

    // An escaped "*" asks for that byte: one entry, where the wildcard finds two.
    EXPECT_EQ(search(kBase, "(cn=star\\2aname)"), search_equal("cn", "star*name"));
    EXPECT_EQ(search(kBase, "(cn=star*name)").size(), 2u);
    // The server applies the rule named: an exact match is case-sensitive.
    EXPECT_EQ(search(kBase, "(cn:caseExactMatch:=bob baker)"), Strings{});
    EXPECT_EQ(search(kBase, "(cn=bob baker)").size(), 1u);
}

}  // namespace

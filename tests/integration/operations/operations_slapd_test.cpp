// Add, modify, delete, compare and search end to end against a private slapd, through the
// protocol engine: what the server stores is read back with searches, every filter kind selects
// the entries it should, and every operation survives each of its allocations failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

constexpr const char *kPeople = "ou=people,o=example";
constexpr const char *kSubscribers = "ou=subscribers,o=example";

char *text(const char *literal) { return const_cast<char *>(literal); }

// An entry whose description needs escapes in a filter.
constexpr const char *kExtraLdif =
    "dn: cn=paren-desk,ou=subscribers,o=example\n"
    "objectClass: top\n"
    "objectClass: qorSubscriber\n"
    "cn: paren-desk\n"
    "description: x(y)z\n"
    "\n";

class SlapdOperationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(qortest::module_loaded());
        qorhost_set_encoding(20);
        qortest::SlapdOptions options;
        options.extra_ldif = kExtraLdif;
        server_ = std::make_unique<qortest::Slapd>(options);
    }

    static void TearDownTestSuite() { server_.reset(); }

    void TearDown() override {
        qorhost_fail_reset();
        if (ld_ != nullptr) ldap_unbind(ld_);
    }

    // A session bound as the administrator with protocol version 3, or null.
    static LDAP *admin_session() {
        LDAP *ld = ldap_open("127.0.0.1", server_->port());
        if (ld == nullptr) return nullptr;
        ld->ld_protocol_version = 3;
        ld->ld_timelimit = 10000;
        if (ldap_simple_bind_s(ld, server_->admin_dn().c_str(), qortest::Slapd::admin_password) != LDAP_SUCCESS) {
            ldap_unbind(ld);
            return nullptr;
        }
        return ld;
    }

    void open() {
        ld_ = admin_session();
        ASSERT_NE(ld_, nullptr);
    }

    // The DNs of a result chain, in arrival order.
    Strings dns(LDAPMessage *chain) const {
        Strings out;
        for (LDAPMessage *entry = ldap_first_entry(ld_, chain); entry != nullptr; entry = ldap_next_entry(ld_, entry)) {
            char *dn = ldap_get_dn(ld_, entry);
            out.push_back(dn != nullptr ? dn : "<no dn>");
            if (dn != nullptr) ld_->ld_pool->release(ld_->ld_pool, dn, 0, 4);
        }
        return out;
    }

    // The values of `type` in an entry, as byte strings; empty when it has none.
    Strings values(LDAPMessage *entry, const char *type) const {
        Strings out;
        berval **found = ldap_get_values_len(ld_, entry, type);
        for (int i = 0; found != nullptr && found[i] != nullptr; ++i) {
            out.emplace_back(found[i]->bv_val, static_cast<std::size_t>(found[i]->bv_len));
        }
        ldap_value_free_len(ld_->ld_pool, found);
        return out;
    }

    // Searches and answers the code; the DNs found go to *found, sorted.
    int32_t search(const char *base, int32_t scope, const char *filter, Strings *found, char **attrs = nullptr,
                   int32_t attrsonly = 0) {
        LDAPMessage *result = nullptr;
        const int32_t code = ldap_search_s(ld_, base, scope, filter, attrs, attrsonly, &result);
        if (found != nullptr) {
            *found = dns(result);
            std::sort(found->begin(), found->end());
        }
        ldap_msgfree(ld_->ld_pool, result);
        return code;
    }

    // The single entry at `dn` with the values of `type`; empty when the search finds nothing.
    Strings stored(const char *dn, const char *type) {
        LDAPMessage *result = nullptr;
        Strings out;
        if (ldap_search_s(ld_, dn, LDAP_SCOPE_BASE, "(objectclass=*)", nullptr, 0, &result) == LDAP_SUCCESS) {
            LDAPMessage *entry = ldap_first_entry(ld_, result);
            if (entry != nullptr) out = values(entry, type);
        }
        ldap_msgfree(ld_->ld_pool, result);
        std::sort(out.begin(), out.end());
        return out;
    }

    static std::unique_ptr<qortest::Slapd> server_;
    LDAP *ld_ = nullptr;
};

std::unique_ptr<qortest::Slapd> SlapdOperationsTest::server_;

std::string person(const char *cn) { return std::string("cn=") + cn + "," + kPeople; }

TEST_F(SlapdOperationsTest, AddModifyAndDeleteChangeWhatTheServerStores) {
    open();
    const char *dn = "cn=test-desk,ou=subscribers,o=example";
    char *classes[] = {text("top"), text("qorSubscriber"), nullptr};
    char *names[] = {text("test-desk"), nullptr};
    char *descriptions[] = {text("first"), nullptr};
    const std::string raw("\x00\x01\xff\x00\x7f", 5);
    berval bytes{5, const_cast<char *>(raw.data())};
    berval *binary[] = {&bytes, nullptr};
    LDAPMod object_class{LDAP_MOD_ADD, text("objectClass"), {classes}};
    LDAPMod cn{LDAP_MOD_ADD, text("cn"), {names}};
    LDAPMod description{LDAP_MOD_ADD, text("description"), {descriptions}};
    LDAPMod binary_value{LDAP_MOD_ADD | LDAP_MOD_BVALUES, text("qorBinaryValue"), {}};
    binary_value.mod_bvalues = binary;
    LDAPMod *attrs[] = {&object_class, &cn, &description, &binary_value, nullptr};

    ASSERT_EQ(ldap_add_s(ld_, dn, attrs), LDAP_SUCCESS);
    EXPECT_EQ(stored(dn, "description"), Strings{"first"});
    EXPECT_EQ(stored(dn, "qorBinaryValue"), Strings{raw});
    EXPECT_EQ(ldap_add_s(ld_, dn, attrs), 68) << "a second add of the same entry";

    // Add a value, replace with bervals, delete one value, delete a whole attribute.
    char *phones[] = {text("+1 555 0199"), nullptr};
    LDAPMod add_phone{LDAP_MOD_ADD, text("telephoneNumber"), {phones}};
    berval phone{5, text("phone")};
    berval fax{3, text("fax")};
    berval *interfaces[] = {&phone, &fax, nullptr};
    LDAPMod replace_interfaces{LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, text("qorInterface"), {}};
    replace_interfaces.mod_bvalues = interfaces;
    LDAPMod drop_description{LDAP_MOD_DELETE, text("description"), {nullptr}};
    LDAPMod *mods[] = {&add_phone, &replace_interfaces, &drop_description, nullptr};
    ASSERT_EQ(ldap_modify_s(ld_, dn, mods), LDAP_SUCCESS);
    EXPECT_EQ(stored(dn, "telephoneNumber"), Strings{"+1 555 0199"});
    EXPECT_EQ(stored(dn, "qorInterface"), (Strings{"fax", "phone"}));
    EXPECT_EQ(stored(dn, "description"), Strings{});

    berval *only_fax[] = {&fax, nullptr};
    LDAPMod drop_fax{LDAP_MOD_DELETE | LDAP_MOD_BVALUES, text("qorInterface"), {}};
    drop_fax.mod_bvalues = only_fax;
    LDAPMod *drop[] = {&drop_fax, nullptr};
    ASSERT_EQ(ldap_modify_s(ld_, dn, drop), LDAP_SUCCESS);
    EXPECT_EQ(stored(dn, "qorInterface"), Strings{"phone"});
    // Deleting a value the entry lacks is the server's error 16.
    EXPECT_EQ(ldap_modify_s(ld_, dn, drop), 16);

    ASSERT_EQ(ldap_delete_s(ld_, dn), LDAP_SUCCESS);
    Strings found;
    EXPECT_EQ(search(dn, LDAP_SCOPE_BASE, "(objectclass=*)", &found), LDAP_NO_SUCH_OBJECT);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(ldap_delete_s(ld_, dn), LDAP_NO_SUCH_OBJECT);
    ASSERT_NE(ld_->ld_matched, nullptr);
    EXPECT_STREQ(ld_->ld_matched, kSubscribers);
}

TEST_F(SlapdOperationsTest, CompareAnswersTrueFalseOrNoSuchObject) {
    open();
    const std::string alice = person("Alice Archer");
    EXPECT_EQ(ldap_compare_s(ld_, alice.c_str(), "uid", "alice"), LDAP_COMPARE_TRUE);
    EXPECT_EQ(ldap_compare_s(ld_, alice.c_str(), "uid", "bob"), LDAP_COMPARE_FALSE);
    EXPECT_EQ(ldap_compare_s(ld_, person("Nobody").c_str(), "uid", "x"), LDAP_NO_SUCH_OBJECT);
    ASSERT_NE(ld_->ld_matched, nullptr);
    EXPECT_STREQ(ld_->ld_matched, kPeople);
}

TEST_F(SlapdOperationsTest, EveryFilterKindSelectsItsEntries) {
    open();
    const std::string alice = person("Alice Archer"), bob = person("Bob Baker"), carol = person("Carol Clark"),
                      dave = person("Dave Dawson"), eve = person("Eve Evans"),
                      juergen = person("J\xc3\xbcrgen M\xc3\xbcller");
    Strings all = {alice, bob, carol, dave, eve, juergen};
    std::sort(all.begin(), all.end());
    struct Case {
        const char *filter;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {"(uid=alice)", {alice}},
        {"uid=eve", {eve}},
        {"  (uid=eve)  ", {eve}},
        {"(mail=*)", all},
        {"(cn=A*)", {alice}},
        {"(cn=*er)", {alice, bob, juergen}},
        {"(cn=*ar*)", {alice, carol}},
        {"(cn=A*ch*r)", {alice}},
        {"(createTimestamp>=19700101000000Z)", all},
        {"(createTimestamp<=19700101000000Z)", {}},
        {"(sn~=Archer)", {alice}},
        {"(&(objectclass=inetOrgPerson)(|(uid=bob)(uid=carol)))", {bob, carol}},
        {"(&(mail=*)(!(uid=alice))(!(|(uid=bob)(uid=carol))))", {dave, eve, juergen}},
        {"(|(&(uid=alice)(sn=Archer))(&(uid=bob)(sn=Nobody)))", {alice}},
        {"(| (uid=dave)\n\t(uid=eve) )", {dave, eve}},
    };
    for (const Case &c : cases) {
        Strings found;
        EXPECT_EQ(search(kPeople, LDAP_SCOPE_ONELEVEL, c.filter, &found), LDAP_SUCCESS) << c.filter;
        Strings expected = c.expected;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected) << c.filter;
    }

    // Parentheses in a value: escaped, or balanced without escapes.
    const Strings paren = {"cn=paren-desk,ou=subscribers,o=example"};
    for (const char *filter : {"(description=x\\(y\\)z)", "(description=x(y)z)", "(description=x\\(*)"}) {
        Strings found;
        EXPECT_EQ(search(kSubscribers, LDAP_SCOPE_ONELEVEL, filter, &found), LDAP_SUCCESS) << filter;
        EXPECT_EQ(found, paren) << filter;
    }

    // A filter the encoder refuses never reaches the server.
    const int32_t last = ld_->ld_last_msgid;
    EXPECT_EQ(search(kPeople, LDAP_SCOPE_ONELEVEL, "(&(uid=alice)x)", nullptr), LDAP_FILTER_ERROR);
    EXPECT_EQ(ld_->ld_last_msgid, last + 1);
}

TEST_F(SlapdOperationsTest, ScopesSizeLimitAttributesAndMissingBase) {
    open();
    Strings found;
    EXPECT_EQ(search(kPeople, LDAP_SCOPE_BASE, "(objectclass=*)", &found), LDAP_SUCCESS);
    EXPECT_EQ(found, Strings{kPeople});
    EXPECT_EQ(search(kPeople, LDAP_SCOPE_ONELEVEL, "(objectclass=*)", &found), LDAP_SUCCESS);
    EXPECT_EQ(found.size(), 6u);
    EXPECT_EQ(search(kPeople, LDAP_SCOPE_SUBTREE, "(objectclass=*)", &found), LDAP_SUCCESS);
    EXPECT_EQ(found.size(), 7u);

    // The size limit is reached after two entries: code 4 with the entries.
    ld_->ld_sizelimit = 2;
    LDAPMessage *result = nullptr;
    EXPECT_EQ(ldap_search_s(ld_, kPeople, LDAP_SCOPE_ONELEVEL, "(mail=*)", nullptr, 0, &result),
              LDAP_SIZELIMIT_EXCEEDED);
    EXPECT_EQ(ldap_count_entries(ld_, result), 2);
    ldap_msgfree(ld_->ld_pool, result);
    ld_->ld_sizelimit = 0;

    // Requested attributes only, then attribute types without values.
    char *attrs[] = {text("mail"), text("sn"), nullptr};
    const std::string alice = person("Alice Archer");
    for (int32_t attrsonly : {0, 1}) {
        result = nullptr;
        ASSERT_EQ(ldap_search_s(ld_, alice.c_str(), LDAP_SCOPE_BASE, "(objectclass=*)", attrs, attrsonly, &result),
                  LDAP_SUCCESS);
        LDAPMessage *entry = ldap_first_entry(ld_, result);
        ASSERT_NE(entry, nullptr);
        Strings types;
        BerElement *walk = nullptr;
        for (char *type = ldap_first_attribute(ld_, entry, &walk); type != nullptr;
             type = ldap_next_attribute(ld_, entry, walk)) {
            types.emplace_back(type);
        }
        std::sort(types.begin(), types.end());
        EXPECT_EQ(types, (Strings{"mail", "sn"})) << "attrsonly " << attrsonly;
        EXPECT_EQ(values(entry, "mail"), attrsonly ? Strings{} : Strings{"alice@example.org"});
        ldap_msgfree(ld_->ld_pool, result);
    }

    // A base that does not exist: 32 with the part of it that does.
    EXPECT_EQ(search(person("Nobody").c_str(), LDAP_SCOPE_SUBTREE, "(objectclass=*)", &found), LDAP_NO_SUCH_OBJECT);
    EXPECT_TRUE(found.empty());
    ASSERT_NE(ld_->ld_matched, nullptr);
    EXPECT_STREQ(ld_->ld_matched, kPeople);
}

TEST_F(SlapdOperationsTest, SearchWithFilterWriterMatchesDnValuesTheStringSyntaxCannotCarry) {
    open();
    // A person DN holding "*" and parentheses, and a subscriber pointing at it.
    const char *odd_person = "cn=Star*(Odd),ou=people,o=example";
    char *person_classes[] = {text("person"), nullptr};
    char *person_cn[] = {text("Star*(Odd)"), nullptr};
    char *person_sn[] = {text("Odd"), nullptr};
    LDAPMod p1{LDAP_MOD_ADD, text("objectClass"), {person_classes}};
    LDAPMod p2{LDAP_MOD_ADD, text("cn"), {person_cn}};
    LDAPMod p3{LDAP_MOD_ADD, text("sn"), {person_sn}};
    LDAPMod *person_attrs[] = {&p1, &p2, &p3, nullptr};
    ASSERT_EQ(ldap_add_s(ld_, odd_person, person_attrs), LDAP_SUCCESS);
    const char *desk = "cn=odd-desk,ou=subscribers,o=example";
    char *desk_classes[] = {text("qorSubscriber"), nullptr};
    char *desk_cn[] = {text("odd-desk"), nullptr};
    char *desk_person[] = {text(odd_person), nullptr};
    LDAPMod d1{LDAP_MOD_ADD, text("objectClass"), {desk_classes}};
    LDAPMod d2{LDAP_MOD_ADD, text("cn"), {desk_cn}};
    LDAPMod d3{LDAP_MOD_ADD, text("qorPersonDN"), {desk_person}};
    LDAPMod *desk_attrs[] = {&d1, &d2, &d3, nullptr};
    ASSERT_EQ(ldap_add_s(ld_, desk, desk_attrs), LDAP_SUCCESS);

    auto person_equals = [](BerElement *ber, const void *context) -> int32_t {
        return put_equality_filter(ber, "qorPersonDN", static_cast<const char *>(context)) == 0 ? 0 : LDAP_FILTER_ERROR;
    };
    LDAPMessage *result = nullptr;
    ASSERT_EQ(search_with_filter_s(ld_, kSubscribers, LDAP_SCOPE_ONELEVEL, person_equals, odd_person, nullptr, 0,
                                   &result),
              LDAP_SUCCESS);
    EXPECT_EQ(dns(result), Strings{desk});
    ldap_msgfree(ld_->ld_pool, result);

    EXPECT_EQ(ldap_delete_s(ld_, desk), LDAP_SUCCESS);
    EXPECT_EQ(ldap_delete_s(ld_, odd_person), LDAP_SUCCESS);
}

// Every allocation of each synchronous operation fails in turn, on a fresh bound session: the
// call answers the server's code or a clean client code and never crashes, and no pool outlives
// its session. (The scripted-server tests check block by block that a request failing before it
// is sent leaves nothing behind.)
TEST_F(SlapdOperationsTest, AllocationFailureSweepsOverEveryOperation) {
    const long pools_before = qorhost_live_pools();
    int counter = 0;
    auto unique_dn = [&counter] { return "cn=sweep-" + std::to_string(++counter) + ",ou=subscribers,o=example"; };
    char *classes[] = {text("qorSubscriber"), nullptr};
    char *phones[] = {text("+1 555 0100"), nullptr};

    struct Operation {
        const char *name;
        int32_t success;
        std::function<void(LDAP *)> prepare;       // runs without fault injection
        std::function<int32_t(LDAP *)> run;        // runs with it
    };
    std::string dn;
    std::string prepared_dn;
    auto add_entry = [&](LDAP *ld, const std::string &target) {
        std::string name = target.substr(3, target.find(',') - 3);
        char *cn[] = {name.data(), nullptr};
        LDAPMod m1{LDAP_MOD_ADD, text("objectClass"), {classes}};
        LDAPMod m2{LDAP_MOD_ADD, text("cn"), {cn}};
        LDAPMod *attrs[] = {&m1, &m2, nullptr};
        return ldap_add_s(ld, target.c_str(), attrs);
    };
    const std::vector<Operation> operations = {
        {"add", LDAP_SUCCESS, [&](LDAP *) { dn = unique_dn(); }, [&](LDAP *ld) { return add_entry(ld, dn); }},
        {"modify", LDAP_SUCCESS, [](LDAP *) {},
         [&](LDAP *ld) {
             LDAPMod m{LDAP_MOD_REPLACE, text("telephoneNumber"), {phones}};
             LDAPMod *mods[] = {&m, nullptr};
             return ldap_modify_s(ld, "cn=alice-desk,ou=subscribers,o=example", mods);
         }},
        {"delete", LDAP_SUCCESS,
         [&](LDAP *ld) {
             prepared_dn = unique_dn();
             ASSERT_EQ(add_entry(ld, prepared_dn), LDAP_SUCCESS);
         },
         [&](LDAP *ld) { return ldap_delete_s(ld, prepared_dn.c_str()); }},
        {"compare", LDAP_COMPARE_TRUE, [](LDAP *) {},
         [](LDAP *ld) { return ldap_compare_s(ld, "cn=Bob Baker,ou=people,o=example", "uid", "bob"); }},
        {"search", LDAP_SUCCESS, [](LDAP *) {},
         [](LDAP *ld) {
             LDAPMessage *result = nullptr;
             char *attrs[] = {text("cn"), text("mail"), nullptr};
             const int32_t code =
                 ldap_search_s(ld, kPeople, LDAP_SCOPE_ONELEVEL, "(&(mail=*)(|(uid=a*)(uid=b*)))", attrs, 0, &result);
             if (code == LDAP_SUCCESS && ldap_count_entries(ld, result) != 2) ADD_FAILURE() << "search lost entries";
             ldap_msgfree(ld->ld_pool, result);
             return code;
         }},
    };

    for (const Operation &operation : operations) {
        bool completed = false;
        long failed_rounds = 0;
        for (long nth = 1; nth < 200 && !completed; ++nth) {
            LDAP *ld = admin_session();
            ASSERT_NE(ld, nullptr) << operation.name;
            operation.prepare(ld);
            int32_t code = 0;
            long injected = 0;
            {
                qortest::FailAllocations fail(nth);
                code = operation.run(ld);
                injected = fail.injected();
            }
            if (injected == 0) {
                EXPECT_EQ(code, operation.success) << operation.name;
                completed = true;
            } else {
                ++failed_rounds;
                EXPECT_TRUE(code == operation.success || (code >= LDAP_SERVER_DOWN && code <= LDAP_NO_MEMORY))
                    << operation.name << ", allocation " << nth << ": code " << code;
            }
            ldap_unbind(ld);
        }
        EXPECT_TRUE(completed) << operation.name;
        EXPECT_GE(failed_rounds, 5) << operation.name << ": too few allocations to sweep";
    }
    EXPECT_EQ(qorhost_live_pools(), pools_before);
}

}  // namespace

// qords lookups against the sample directory: search, read, expand, compare, isclass, parent and
// hostname; LDIF and JSON output read back; scopes, limits, and where settings come from.
#include <unistd.h>

#include <algorithm>

#include "qords_fixture.h"

namespace qordstest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kJuergen = "cn=J\xc3\xbcrgen M\xc3\xbcller,ou=people,o=example";
constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";

Strings dns_of(const std::vector<ParsedEntry> &entries) {
    Strings dns;
    for (const ParsedEntry &e : entries) dns.push_back(e.dn);
    return dns;
}

class QordsLookup : public QordsTest {};

// The whole directory, every attribute: LDIF and JSON must say the same thing, byte for byte,
// including UTF-8 DNs and values, blanks at either end, values LDIF must encode, long values.
TEST_F(QordsLookup, LdifAndJsonCarryTheSameEntries) {
    const auto ldif = ldif_of({"search", "(objectClass=*)"});
    const auto json = json_of({"search", "(objectClass=*)"});
    ASSERT_EQ(ldif.size(), 24u);   // the sample directory and the two entries of these tests
    ASSERT_EQ(json.size(), ldif.size());
    for (size_t i = 0; i < ldif.size(); ++i) {
        EXPECT_EQ(json[i].dn, ldif[i].dn);
        EXPECT_EQ(json[i].values, ldif[i].values) << ldif[i].dn;
    }
    const auto juergen = std::find_if(ldif.begin(), ldif.end(), [](const ParsedEntry &e) { return e.dn == kJuergen; });
    ASSERT_NE(juergen, ldif.end());
    EXPECT_EQ(juergen->get("description"), Strings{"B\xc3\xbcro in Z\xc3\xbcrich"});
}

TEST_F(QordsLookup, LdifEncodesUnsafeValuesAndFoldsLongLines) {
    const Outcome outcome = qords({"read", "cn=odd-values,ou=subscribers,o=example", "description", "telephoneNumber"});
    ASSERT_TRUE(exited_with(outcome, 0));
    EXPECT_NE(outcome.out.find("description:: IGxlYWRpbmcgYmxhbms=\n"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("description:: dHJhaWxpbmcgYmxhbmsg\n"), std::string::npos);
    EXPECT_NE(outcome.out.find("\n "), std::string::npos) << "the 140-digit value is folded";
    const auto entries = parse_ldif(outcome.out);   // rejects unsafe plain values, long lines
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].get("description"),
              (Strings{" leading blank", "trailing blank ", ":colon first", "<less-than first"}));
    ASSERT_EQ(entries[0].get("telephoneNumber").size(), 1u);
    EXPECT_EQ(entries[0].get("telephoneNumber")[0].size(), 140u);
}

TEST_F(QordsLookup, ValuesThatAreNotUtf8AreBase64InJson) {
    const Outcome outcome = qords({"--json", "read", "cn=raw-bytes,ou=subscribers,o=example", "qorBinaryValue"});
    ASSERT_TRUE(exited_with(outcome, 0));
    EXPECT_NE(outcome.out.find("\"qorBinaryValue\": [{\"base64\": \"//5B\"}]"), std::string::npos) << outcome.out;
    EXPECT_EQ(parse_json(outcome.out)[0].get("qorBinaryValue"), Strings{"\xff\xfe" "A"});
}

TEST_F(QordsLookup, TypedViewsReadValuesThroughTheModulesGetters) {
    const auto json = json_of({"read", "cn=odd-values,ou=subscribers,o=example", "qorBinaryValue:bin", "cn"});
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0].get("qorBinaryValue"), Strings{std::string("\x00\x01\x02\x03\xfe\xff", 6)});
    EXPECT_EQ(json[0].get("cn"), Strings{"odd-values"});

    const Outcome numbers = qords({"--json", "read", kBob, "employeeNumber:int", "telephoneNumber:double"});
    ASSERT_TRUE(exited_with(numbers, 0));
    EXPECT_NE(numbers.out.find("\"employeeNumber\": [1002]"), std::string::npos) << numbers.out;
    // "+1 555 0102" read as a number stops at the blank, which a warning says.
    EXPECT_NE(numbers.out.find("\"telephoneNumber\": [1]"), std::string::npos) << numbers.out;
    EXPECT_EQ(numbers.err, "qords: read cn=Bob Baker,ou=people,o=example: warning: telephoneNumber:double: "
                           "\"+1 555 0102\" (of cn=Bob Baker,ou=people,o=example) is not a number; printed as 1\n");
    const Outcome misread = qords({"search", "(objectClass=qorSubscriber)", "cn:int", "qorBinaryValue:bin"});
    EXPECT_TRUE(exited_with(misread, 0));
    EXPECT_NE(misread.err.find("warning: cn:int: \""), std::string::npos) << misread.err;
    EXPECT_NE(misread.err.find("is not a whole number; printed as 0 (and "), std::string::npos) << misread.err;
    // Bytes stored as they are, not as Base64 text, are quoted so that they cannot act on a terminal.
    EXPECT_NE(misread.err.find("warning: qorBinaryValue:bin: \"\\xff\\xfeA\" (of cn=raw-bytes,ou=subscribers,o=example) "
                               "is not Base64 text"),
              std::string::npos)
        << misread.err;

    const auto ldif = ldif_of({"read", kBob, "employeeNumber:short"});
    EXPECT_EQ(ldif[0].get("employeeNumber"), Strings{"1002"});

    EXPECT_TRUE(exited_with(qords({"read", kBob, "cn:bin", "cn:int"}), 2));
    EXPECT_TRUE(exited_with(qords({"read", kBob, "cn:bits"}), 2));
}

TEST_F(QordsLookup, ScopesSizeLimitAndBase) {
    const Strings base = {"-b", "ou=people,o=example"};
    auto count = [&](const Strings &options) {
        Strings arguments = base;
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {"search", "(objectClass=*)", "cn"});
        return ldif_of(arguments).size();
    };
    EXPECT_EQ(count({"-s", "base"}), 1u);
    EXPECT_EQ(count({"-s", "one"}), 6u);
    EXPECT_EQ(count({"--scope=sub"}), 7u);
    EXPECT_EQ(count({}), 7u);

    const Outcome limited = qords({"-z", "2", "search", "(objectClass=*)"});
    ASSERT_TRUE(exited_with(limited, 5));
    EXPECT_EQ(parse_ldif(limited.out).size(), 2u);
    EXPECT_NE(limited.err.find("warning: Sizelimit exceeded (0x00144004)"), std::string::npos) << limited.err;

    const Outcome nothing = qords({"--json", "search", "(uid=nobody-at-all)"});
    ASSERT_TRUE(exited_with(nothing, 0));
    EXPECT_EQ(nothing.out, "[]\n");
    const Outcome nothing_ldif = qords({"search", "(uid=nobody-at-all)"});
    ASSERT_TRUE(exited_with(nothing_ldif, 0));
    EXPECT_EQ(nothing_ldif.out, "");
    EXPECT_EQ(nothing_ldif.err, "qords: search (uid=nobody-at-all): no entries\n");

    const Outcome missing_base = qords({"-b", "ou=nowhere,o=example", "search", "(objectClass=*)"});
    EXPECT_TRUE(exited_with(missing_base, 4));
    EXPECT_NE(missing_base.err.find("No such object (0x80144020)"), std::string::npos);
}

TEST_F(QordsLookup, CommandLineOverridesOptionsOverrideEnvironment) {
    Environment wrong = environment();
    wrong["LDAP_PORT"] = "1";
    wrong["LDAP_BASE"] = "o=nowhere";
    const std::string port = std::to_string(server().port());
    EXPECT_TRUE(exited_with(qords_in(wrong, {"read", kBob}), 3));
    EXPECT_TRUE(exited_with(qords_in(wrong, {"-p", port, "-b", "o=example", "search", "(uid=bob)"}), 0));
    EXPECT_TRUE(exited_with(qords_in(wrong, {"-o", "LDAP_PORT=" + port, "-o", "LDAP_BASE=o=example", "search", "(uid=bob)"}), 0));

    Environment none = environment();
    none.erase("LDAP_HOST");
    none.erase("LDAP_PORT");
    EXPECT_TRUE(exited_with(qords_in(none, {"-H", "127.0.0.1:" + port, "read", kBob}), 0));
    EXPECT_TRUE(exited_with(qords_in(none, {"--option", "LDAP_HOST=127.0.0.1", "-o", "LDAP_PORT=" + port, "read", kBob}), 0));
    // A host list: the first host does not answer, the second does.
    EXPECT_TRUE(exited_with(qords_in(none, {"-H", "127.0.0.1:1 127.0.0.1:" + port, "read", kBob}), 0));

    Environment no_base = environment();
    no_base.erase("LDAP_BASE");
    EXPECT_TRUE(exited_with(qords_in(no_base, {"read", kBob}), 0)) << "read needs no base DN";
    const Outcome search = qords_in(no_base, {"search", "(uid=bob)"});
    EXPECT_TRUE(exited_with(search, 3));
    EXPECT_NE(search.err.find("LDAP_BASE"), std::string::npos) << search.err;
}

TEST_F(QordsLookup, ExpandFollowsNestedGroupsInMemberOrder) {
    EXPECT_EQ(dns_of(ldif_of({"expand", "cn=staff,ou=groups,o=example"})),
              (Strings{"cn=bob-desk,ou=subscribers,o=example", "cn=dave-app,ou=subscribers,o=example",
                       "cn=juergen-desk,ou=subscribers,o=example", "cn=carol-desk,ou=subscribers,o=example"}));
    EXPECT_EQ(dns_of(json_of({"expand", "cn=alice-group,ou=groups,o=example"})),
              (Strings{"cn=alice-desk,ou=subscribers,o=example", "cn=alice-mobile,ou=subscribers,o=example"}));
    // A cycle ends; a group whose members have no subscribers prints nothing.
    const Outcome cycle = qords({"expand", "cn=cycle-a,ou=groups,o=example"});
    ASSERT_TRUE(exited_with(cycle, 0));
    EXPECT_EQ(dns_of(parse_ldif(cycle.out)),
              (Strings{"cn=carol-desk,ou=subscribers,o=example", "cn=bob-desk,ou=subscribers,o=example"}));
    EXPECT_EQ(json_of({"expand", "cn=quiet,ou=groups,o=example"}).size(), 0u);
    EXPECT_TRUE(exited_with(qords({"expand", "cn=no-group,ou=groups,o=example"}), 4));
}

TEST_F(QordsLookup, CompareAndIsclassAnswerTrueOrFalse) {
    const Outcome yes = qords({"compare", kBob, "uid", "bob"});
    EXPECT_TRUE(exited_with(yes, 0));
    EXPECT_EQ(yes.out, "TRUE\n");
    const Outcome no = qords({"compare", kBob, "uid", "alice"});
    EXPECT_TRUE(exited_with(no, 1));
    EXPECT_EQ(no.out, "FALSE\n");
    EXPECT_TRUE(exited_with(qords({"compare", "cn=Nobody,ou=people,o=example", "uid", "x"}), 4));
    EXPECT_TRUE(exited_with(qords({"compare", kBob, "noSuchType", "x"}), 3));

    EXPECT_EQ(qords({"isclass", "cn=leads,ou=groups,o=example", "groupOfUniqueNames"}).out, "TRUE\n");
    const Outcome not_class = qords({"isclass", "cn=leads,ou=groups,o=example", "groupOfNames"});
    EXPECT_TRUE(exited_with(not_class, 1));
    EXPECT_EQ(not_class.out, "FALSE\n");
    // A class carried in qorInterface counts; letter case does not matter.
    EXPECT_TRUE(exited_with(qords({"isclass", "cn=dave-app,ou=subscribers,o=example", "QORSUBSCRIBER"}), 0));
    EXPECT_TRUE(exited_with(qords({"isclass", "cn=Nobody,ou=people,o=example", "person"}), 4));
}

TEST_F(QordsLookup, ParentAndHostnameNeedNoServer) {
    Environment offline = environment();
    offline.erase("LDAP_HOST");
    const Outcome parent = qords_in(offline, {"parent", "cn=a\\,b,ou=people,o=example"});
    EXPECT_TRUE(exited_with(parent, 0));
    EXPECT_EQ(parent.out, "ou=people,o=example\n");
    EXPECT_EQ(qords_in(offline, {"parent", "alice@mail.example.org"}).out, "mail.example.org\n");
    EXPECT_EQ(qords_in(offline, {"parent", "host.example.org"}).out, "example.org\n");
    const Outcome none = qords_in(offline, {"parent", "o=example"});
    EXPECT_TRUE(exited_with(none, 1));
    EXPECT_EQ(none.out, "");

    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    const Outcome host = qords_in(offline, {"hostname"});
    EXPECT_TRUE(exited_with(host, 0));
    EXPECT_EQ(host.out, std::string(name) + "\n");
}

// The README's C host program, built with the tools, works against the same directory.
TEST_F(QordsLookup, ReadmeHostProgramReadsAnEntry) {
    ChildOptions options;
    options.environment = environment();
    const Outcome outcome = run_child(QOR_BIN_DIR "/lookup", {QOR_MODULE_DIR "/qorldap.so", kBob, "mail"}, options);
    ASSERT_TRUE(exited_with(outcome, 0));
    EXPECT_EQ(outcome.out, "dn: cn=Bob Baker,ou=people,o=example\nmail: bob@example.org\n");
    const Outcome missing = run_child(QOR_BIN_DIR "/lookup", {QOR_MODULE_DIR "/qorldap.so", "cn=x,o=example"}, options);
    EXPECT_TRUE(exited_with(missing, 3));
    EXPECT_NE(missing.err.find("0x80144020"), std::string::npos);
}

}  // namespace
}  // namespace qordstest

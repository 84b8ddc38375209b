// qords updates against the sample directory: add from arguments with typed values and from
// LDIF, modify one attribute or from LDIF change records, delete; what the server stored is
// read back. Bad input is refused before anything is sent.
#include <fstream>

#include "qords_fixture.h"

namespace qordstest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kNew = "cn=new-desk,ou=subscribers,o=example";
constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";

// Every test changes the directory, so each gets a server of its own.
class QordsUpdate : public QordsTest {
protected:
    static void SetUpTestSuite() {}
    void SetUp() override { start_server(qortest::SlapdOptions{}); }
    void TearDown() override { TearDownTestSuite(); }

    ParsedEntry read_back(const std::string &dn, const Strings &attributes = {}) const {
        Strings arguments = {"read", dn};
        arguments.insert(arguments.end(), attributes.begin(), attributes.end());
        const auto entries = ldif_of(arguments);
        return entries.size() == 1 ? entries[0] : ParsedEntry{};
    }
    bool exists(const std::string &dn) const { return qords({"read", dn, "cn"}).exit_code == 0; }

    std::string write_file(const std::string &bytes) const {
        const std::string path = server().directory().string() + "/bytes.bin";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
};

TEST_F(QordsUpdate, AddSendsTypedValuesTheModulesWay) {
    const std::string bytes("\x00\x01\xfe\xff\x00", 5);
    const Outcome added = as_admin({"add", kNew, "objectClass=top", "objectClass=qorSubscriber", "cn=new-desk",
                                    "telephoneNumber:int=-42", "telephoneNumber:short=7", "telephoneNumber:double=2.5",
                                    "telephoneNumber:float=0.5", "description:long=2147483647",
                                    "qorBinaryValue:bin=@" + write_file(bytes), "qorBinaryValue::=AAEC"});
    ASSERT_TRUE(exited_with(added, 0));
    EXPECT_EQ(added.out, "");
    const ParsedEntry entry = read_back(kNew);
    EXPECT_EQ(entry.get("telephoneNumber"), (Strings{"-42", "7", "2.5", "0.5"}));
    EXPECT_EQ(entry.get("description"), Strings{"2147483647"});
    // Bytes are stored as Base64 text with a final line break, and decoded again by :bin.
    EXPECT_EQ(entry.get("qorBinaryValue"), (Strings{"AAH+/wA=\n", "AAEC\n"}));
    const auto json = json_of({"read", kNew, "qorBinaryValue:bin"});
    EXPECT_EQ(json[0].get("qorBinaryValue"), (Strings{bytes, std::string("\x00\x01\x02", 3)}));

    const Outcome again = as_admin({"add", kNew, "objectClass=qorSubscriber", "cn=new-desk"});
    EXPECT_TRUE(exited_with(again, 3));
    EXPECT_NE(again.err.find("Already exists (0x80144044)"), std::string::npos) << again.err;
}

TEST_F(QordsUpdate, BadAssignmentsAreRefusedBeforeAnythingIsSent) {
    for (const Strings &arguments : {Strings{"cn"}, Strings{"=x"}, Strings{"n:int=12x"}, Strings{"n:int=2147483648"},
                                     Strings{"n:short=40000"}, Strings{"n:double=nan"}, Strings{"n:float=1e39"},
                                     Strings{"n:bin=plain"}, Strings{"n:bin=@/no/such/file"}, Strings{"n::=AA*A"},
                                     Strings{"n::="}, Strings{"n:word=1"}}) {
        Strings all = {"add", kNew, "objectClass=qorSubscriber", "cn=new-desk"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        const Outcome outcome = as_admin(all);
        EXPECT_TRUE(exited_with(outcome, 2)) << arguments[0];
        EXPECT_NE(outcome.err.find("qords: "), std::string::npos);
    }
    EXPECT_FALSE(exists(kNew));
}

TEST_F(QordsUpdate, AddReadsAnEntryAsLdif) {
    const std::string ldif =
        "version: 1\n"
        "# a comment\n"
        "#  folded\n"
        "DN: CN=New-Desk, ou=Subscribers, o=example\r\n"
        "objectClass: top\n"
        "objectClass: qorSubscriber\n"
        "cn: new-desk\n"
        "description:: U2NocmVpYnRpc2NoIGluIFrDvHJpY2g=\n"
        "description: a folded\n"
        "  value\n"
        "qorPersonDN: cn=Bob Baker,ou=people,o=example\n";
    ASSERT_TRUE(exited_with(as_admin({"add", kNew}, ldif), 0));
    const auto json = json_of({"read", kNew, "description", "qorPersonDN"});
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0].get("description"), (Strings{"Schreibtisch in Z\xc3\xbcrich", "a folded value"}));
    EXPECT_EQ(json[0].get("qorPersonDN"), Strings{kBob});
}

// What qords prints as LDIF, qords reads back as the same entry: UTF-8 names and values in
// Base64, everything the administrator sees.
TEST_F(QordsUpdate, PrintedLdifAddsTheSameEntryBack) {
    const std::string dn = "cn=J\xc3\xbcrgen M\xc3\xbcller,ou=people,o=example";
    const Outcome before = as_admin({"read", dn});
    ASSERT_TRUE(exited_with(before, 0));
    const Outcome before_json = as_admin({"--json", "read", dn});
    ASSERT_TRUE(exited_with(as_admin({"delete", dn}), 0));
    EXPECT_FALSE(exists(dn));
    ASSERT_TRUE(exited_with(as_admin({"add", dn}, before.out), 0));
    EXPECT_EQ(as_admin({"--json", "read", dn}).out, before_json.out);
}

TEST_F(QordsUpdate, MalformedLdifIsRefusedWithItsLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dn: cn=new-desk,ou=subscribers,o=example\ncn new-desk\n", "line 2"},
        {"dn: cn=new-desk,ou=subscribers,o=example\ncn:: ***\n", "line 2"},
        {" continued\n", "line 1"},
        {"dn: cn=other,ou=subscribers,o=example\ncn: other\n", "not for"},
        {"dn: cn=new-desk,ou=subscribers,o=example\nchangetype: modify\nadd: cn\ncn: x\n", "changetype"},
        {"cn: a\n\ncn: b\n", "line 3"},
        {"", "no entry"},
        {"version: 2\ncn: a\n", "version"},
        {"cn:< http://example.org/x\n", "file:///"},
        // The module sends NUL-terminated texts: a zero byte would cut the value short.
        {"objectClass: qorSubscriber\ncn: new-desk\ndescription:: YQBi\n", "zero byte"},
    };
    for (const auto &[ldif, message] : cases) {
        const Outcome outcome = as_admin({"add", kNew}, ldif);
        EXPECT_TRUE(exited_with(outcome, 2)) << ldif;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << ldif << "\n" << outcome.err;
    }
    EXPECT_FALSE(exists(kNew));
}

TEST_F(QordsUpdate, ModifyOneAttribute) {
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob, "replace", "telephoneNumber", "+1 555 0199", "+1 555 0200"}), 0));
    EXPECT_EQ(read_back(kBob, {"telephoneNumber"}).get("telephoneNumber"), (Strings{"+1 555 0199", "+1 555 0200"}));
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob, "delete", "telephoneNumber", "+1 555 0199"}), 0));
    EXPECT_EQ(read_back(kBob, {"telephoneNumber"}).get("telephoneNumber"), Strings{"+1 555 0200"});
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob, "add", "mail", "bob@example.net"}), 0));
    EXPECT_EQ(read_back(kBob, {"mail"}).get("mail"), (Strings{"bob@example.org", "bob@example.net"}));
    // delete without values removes the whole attribute.
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob, "delete", "mail"}), 0));
    EXPECT_TRUE(read_back(kBob, {"mail"}).get("mail").empty());
    // Values that begin with '-' follow "--".
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob, "replace", "title", "--", "-minus-"}), 0));
    EXPECT_EQ(read_back(kBob, {"title"}).get("title"), Strings{"-minus-"});

    EXPECT_TRUE(exited_with(as_admin({"modify", kBob, "replace", "title"}), 2));
    EXPECT_TRUE(exited_with(as_admin({"modify", kBob, "add", "title"}), 2));
    EXPECT_TRUE(exited_with(as_admin({"modify", kBob, "rename", "title", "x"}), 2));
    EXPECT_TRUE(exited_with(as_admin({"modify", kBob, "add"}), 2));
    const Outcome missing = as_admin({"modify", "cn=Nobody,ou=people,o=example", "add", "title", "x"});
    EXPECT_TRUE(exited_with(missing, 4));
    EXPECT_TRUE(exited_with(as_admin({"modify", kBob, "delete", "title", "no such value"}), 3));
}

TEST_F(QordsUpdate, ModifyAppliesLdifChangeRecordsTogether) {
    const std::string changes =
        "dn: cn=bob baker, ou=people, o=example\n"
        "changetype: modify\n"
        "add: mail\n"
        "mail: bob@example.net\n"
        "-\n"
        "replace: title\n"
        "title:: VMOpc3Rlcg==\n"
        "-\n"
        "delete: telephoneNumber\n"
        "-\n"
        "\n"
        "add: description\n"
        "description: second record\n";
    ASSERT_TRUE(exited_with(as_admin({"modify", kBob}, changes), 0));
    const ParsedEntry bob = read_back(kBob, {"mail", "title", "telephoneNumber", "description"});
    EXPECT_EQ(bob.get("mail"), (Strings{"bob@example.org", "bob@example.net"}));
    EXPECT_EQ(bob.get("title"), Strings{"T\xc3\xa9ster"});
    EXPECT_TRUE(bob.get("telephoneNumber").empty());
    EXPECT_EQ(bob.get("description"), Strings{"second record"});

    // One failing change: nothing of the input is applied.
    const std::string failing = "replace: title\ntitle: changed\n-\ndelete: telephoneNumber\n-\n";
    EXPECT_TRUE(exited_with(as_admin({"modify", kBob}, failing), 3));
    EXPECT_EQ(read_back(kBob, {"title"}).get("title"), Strings{"T\xc3\xa9ster"});

    for (const std::string &bad : {std::string("add: mail\nmail: x\ncn: y\n"), std::string("frobnicate: mail\n"),
                                   std::string("dn: cn=Other,o=example\nadd: mail\nmail: x\n"),
                                   std::string("dn: " + std::string(kBob) + "\nchangetype: add\ncn: x\n"),
                                   std::string("replace: title\n-\n"), std::string("-\n")}) {
        EXPECT_TRUE(exited_with(as_admin({"modify", kBob}, bad), 2)) << bad;
    }
}

TEST_F(QordsUpdate, DeleteAndWritesWithoutRights) {
    const Outcome anonymous = qords({"delete", "cn=bob-desk,ou=subscribers,o=example"});
    EXPECT_TRUE(exited_with(anonymous, 3));
    EXPECT_NE(anonymous.err.find("Strong authentication required (0x80144008)"), std::string::npos) << anonymous.err;
    EXPECT_TRUE(exists("cn=bob-desk,ou=subscribers,o=example"));

    ASSERT_TRUE(exited_with(as_admin({"delete", "cn=bob-desk,ou=subscribers,o=example"}), 0));
    EXPECT_FALSE(exists("cn=bob-desk,ou=subscribers,o=example"));
    EXPECT_TRUE(exited_with(as_admin({"delete", "cn=bob-desk,ou=subscribers,o=example"}), 4));
    const Outcome not_leaf = as_admin({"delete", "ou=people,o=example"});
    EXPECT_TRUE(exited_with(not_leaf, 3));
    EXPECT_NE(not_leaf.err.find("Operation not allowed on nonleaf (0x80144042)"), std::string::npos) << not_leaf.err;

    // A person may write too (bound with the settings of the environment).
    Environment person = environment();
    person["LDAP_BINDDN"] = kBob;
    person["LDAP_BINDPW"] = "bob-pw";
    EXPECT_TRUE(exited_with(qords_in(person, {"modify", kBob, "replace", "title", "Writer"}), 0));
    EXPECT_EQ(read_back(kBob, {"title"}).get("title"), Strings{"Writer"});
}

// rename moves an entry (-n only shows it); an LDIF modrdn record moves it back; --paged and -M
// reach the server as the option bits they set.
TEST_F(QordsUpdate, RenameAndModrdnRecordsMoveEntries) {
    const std::string desk = "cn=carol-desk,ou=subscribers,o=example";
    const std::string moved = "cn=carol-phone,ou=people,o=example";
    const Outcome shown = as_admin({"-n", "rename", desk, "cn=carol-phone", "--new-superior", "ou=people,o=example"});
    ASSERT_TRUE(exited_with(shown, 0));
    EXPECT_EQ(shown.out, "modrdn " + desk + ": newrdn cn=carol-phone, new superior ou=people,o=example, delete old RDN\n");
    EXPECT_TRUE(exists(desk));
    ASSERT_TRUE(exited_with(as_admin({"rename", desk, "cn=carol-phone", "--new-superior", "ou=people,o=example"}), 0));
    EXPECT_TRUE(exists(moved));
    EXPECT_FALSE(exists(desk));
    EXPECT_TRUE(exited_with(as_admin({"rename", desk, "cn=x"}), 4));
    ASSERT_TRUE(exited_with(as_admin({"modify"}, "dn: " + moved + "\nchangetype: modrdn\nnewrdn: cn=carol-desk\n"
                                                 "deleteoldrdn: 1\nnewsuperior: ou=subscribers,o=example\n\n"),
                            0));
    EXPECT_TRUE(exists(desk));
    EXPECT_EQ(ldif_of({"--paged", "2", "-M", "-s", "one", "-b", "ou=subscribers,o=example", "search", "(cn=*-desk)",
                       "cn"})
                  .size(),
              ldif_of({"-s", "one", "-b", "ou=subscribers,o=example", "search", "(cn=*-desk)", "cn"}).size());
}

}  // namespace
}  // namespace qordstest

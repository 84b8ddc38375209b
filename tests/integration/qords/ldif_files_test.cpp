// qords with whole LDIF files: records of every kind applied in order, stopping at the first
// failure or going on with -c; -n sends nothing (counted by the server's monitor); the outputs of
// two runs joined load back.
#include <fstream>
#include <sstream>

#include "qords_fixture.h"

namespace qordstest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";

// Every test changes the directory, so each gets a server of its own, with a monitor database.
class QordsLdifFiles : public QordsTest {
protected:
    static void SetUpTestSuite() {}
    void SetUp() override {
        qortest::SlapdOptions options;
        options.extra_database_config = {"database monitor", "access to dn.subtree=\"cn=Monitor\" by * read"};
        start_server(options);
    }
    void TearDown() override { TearDownTestSuite(); }

    bool exists(const std::string &dn) const { return qords({"read", dn, "cn"}).exit_code == 0; }

    // Operations the server has begun so far, the bind and search of this reading included.
    long operations() const {
        const auto json = json_of({"read", "cn=Operations,cn=Monitor", "monitorOpInitiated"});
        return json.size() == 1 && json[0].get("monitorOpInitiated").size() == 1
                   ? std::stol(json[0].get("monitorOpInitiated")[0])
                   : -1;
    }

    std::string path(const std::string &name) const { return server().directory().string() + "/" + name; }

    // qords as the administrator with standard output appended to the file `output`.
    Outcome admin_into(const std::string &output, const Strings &arguments) const {
        ChildOptions options;
        options.environment = environment();
        options.output_file = output;
        options.append_output = true;
        Strings all = {"-D", server().admin_dn(), "-w", qortest::Slapd::admin_password};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return run_child(program(), all, options);
    }
};

std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Records of every kind; the delete of line 13 fails, and the record of line 19 is malformed.
const std::string kMixed =
    "version: 1\n"
    "\n"
    "dn: cn=mix-new,ou=subscribers,o=example\n"      // line 3: an entry
    "objectClass: qorSubscriber\n"
    "cn: mix-new\n"
    "\n"
    "dn: cn=Bob Baker,ou=people,o=example\n"          // line 7
    "changetype: modify\n"
    "replace: title\n"
    "title: Mixed\n"
    "-\n"
    "\n"
    "dn: cn=nobody,ou=people,o=example\n"             // line 13: no such entry
    "changetype: delete\n"
    "\n"
    "dn: cn=bob-desk,ou=subscribers,o=example\n"      // line 16
    "changetype: delete\n"
    "\n"
    "dn: cn=broken,ou=subscribers,o=example\n"        // line 19: not LDIF
    "this line has no colon\n"
    "\n"
    "dn: cn=mix-second,ou=subscribers,o=example\n"    // line 22
    "changetype: add\n"
    "objectClass: qorSubscriber\n"
    "cn: mix-second\n";

TEST_F(QordsLdifFiles, MixedRecordsStopAtTheFirstFailureUnlessToldToGoOn) {
    const Outcome stopped = as_admin({"add"}, kMixed);
    EXPECT_TRUE(exited_with(stopped, 4));
    EXPECT_EQ(stopped.err,
              "qords: standard input, line 13: delete cn=nobody,ou=people,o=example: No such object (0x80144020); "
              "Matched DN: ou=people,o=example\n"
              "qords: add: 2 records applied, 1 failed; stopped at the failure of line 13 (-c goes on after failures)\n");
    EXPECT_TRUE(exists("cn=mix-new,ou=subscribers,o=example"));
    EXPECT_EQ(ldif_of({"read", kBob, "title"})[0].get("title"), Strings{"Mixed"});
    EXPECT_TRUE(exists("cn=bob-desk,ou=subscribers,o=example")) << "nothing after the failure is sent";

    // Again from a file with -c: the first entry exists now, the rest goes on past every failure.
    const std::string file = path("mixed.ldif");
    std::ofstream(file) << kMixed;
    const Outcome going_on = as_admin({"-c", "add", "-f", file});
    EXPECT_TRUE(exited_with(going_on, 3)) << "the status of the first failure";
    EXPECT_EQ(going_on.err,
              "qords: " + file + ", line 3: add cn=mix-new,ou=subscribers,o=example: Already exists (0x80144044)\n"
              "qords: " + file + ", line 13: delete cn=nobody,ou=people,o=example: No such object (0x80144020); "
              "Matched DN: ou=people,o=example\n"
              "qords: " + file + ", line 20: cn=broken,ou=subscribers,o=example: expected \"NAME: VALUE\", found "
              "\"this line has no colon\"\n"
              "qords: add: 3 records applied, 3 failed\n");
    EXPECT_FALSE(exists("cn=bob-desk,ou=subscribers,o=example"));
    EXPECT_TRUE(exists("cn=mix-second,ou=subscribers,o=example"));

    // modify reads the same change records; an entry without changetype is not one of them.
    const Outcome modify = as_admin({"modify"}, "dn: " + std::string(kBob) + "\nreplace: title\ntitle: Again\n\n"
                                                "dn: cn=x,o=example\nobjectClass: top\n");
    EXPECT_TRUE(exited_with(modify, 2));
    EXPECT_NE(modify.err.find("line 6: cn=x,o=example: expected \"add:\", \"delete:\" or \"replace:\""),
              std::string::npos)
        << modify.err;
    EXPECT_EQ(ldif_of({"read", kBob, "title"})[0].get("title"), Strings{"Again"});
}

TEST_F(QordsLdifFiles, DryRunShowsEachRecordAndSendsNothing) {
    operations();   // the monitor's own entries are made on first reading
    const long first = operations();
    const long second = operations();
    const long per_reading = second - first;
    const Outcome shown = as_admin({"-n", "add"}, kMixed);
    EXPECT_TRUE(exited_with(shown, 2)) << "the malformed record";
    EXPECT_EQ(shown.out,
              "add cn=mix-new,ou=subscribers,o=example: objectClass, cn\n"
              "modify cn=Bob Baker,ou=people,o=example: replace title\n"
              "delete cn=nobody,ou=people,o=example\n"
              "delete cn=bob-desk,ou=subscribers,o=example\n");
    EXPECT_NE(shown.err.find("qords: add: 4 records to apply, 1 refused; stopped at the failure of line 20 (-c goes on "
                             "after failures); nothing sent (-n)"),
              std::string::npos)
        << shown.err;
    EXPECT_TRUE(exited_with(as_admin({"-n", "delete", kBob}), 0));
    EXPECT_TRUE(exited_with(as_admin({"-n", "modify", kBob, "replace", "title", "x"}), 0));
    EXPECT_EQ(operations() - second, per_reading) << "the server saw no operation of the -n runs";
    EXPECT_FALSE(exists("cn=mix-new,ou=subscribers,o=example"));
    EXPECT_TRUE(exists(kBob));
}

TEST_F(QordsLdifFiles, JoinedOutputsLoadBack) {
    const std::string joined = path("joined.ldif");
    const Strings people = {"-s", "one", "-b", "ou=people,o=example", "search", "(objectClass=*)"};
    const Strings subscribers = {"-s", "one", "-b", "ou=subscribers,o=example", "search", "(objectClass=*)"};
    ASSERT_TRUE(exited_with(admin_into(joined, people), 0));
    ASSERT_TRUE(exited_with(admin_into(joined, subscribers), 0));
    const std::string text = file_text(joined);
    EXPECT_EQ(text.rfind("version: 1\n\ndn: ", 0), 0u) << "the file starts with its version line";
    EXPECT_EQ(text.find("version:", 1), std::string::npos) << "and has no other";
    const std::vector<ParsedEntry> entries = parse_ldif(text);   // each record ends with an empty line

    std::string deletes;
    for (const ParsedEntry &entry : entries) deletes += "dn: " + entry.dn + "\nchangetype: delete\n\n";
    const Outcome deleted = as_admin({"modify", "-f", "-"}, deletes);
    ASSERT_TRUE(exited_with(deleted, 0));
    EXPECT_EQ(deleted.err, "qords: modify: " + std::to_string(entries.size()) + " records applied\n");
    EXPECT_FALSE(exists(kBob));

    const Outcome loaded = as_admin({"add", "-f", joined});
    ASSERT_TRUE(exited_with(loaded, 0));
    const Outcome again = as_admin({"--json", "-s", "one", "-b", "ou=people,o=example", "search", "(objectClass=*)"});
    const Outcome again_subscribers =
        as_admin({"--json", "-s", "one", "-b", "ou=subscribers,o=example", "search", "(objectClass=*)"});
    std::vector<ParsedEntry> reloaded = parse_json(again.out);
    for (ParsedEntry &entry : parse_json(again_subscribers.out)) reloaded.push_back(std::move(entry));
    ASSERT_EQ(reloaded.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(reloaded[i].dn, entries[i].dn);
        EXPECT_EQ(reloaded[i].values, entries[i].values) << entries[i].dn;
    }
}

}  // namespace
}  // namespace qordstest

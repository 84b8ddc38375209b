// qords on wrong invocations and failing directories: the documented exit status and a clear
// message every time, never a crash or a hang, never a password in the output.
#include <fstream>

#include "qords_fixture.h"
#include "tests/support/loopback.h"

namespace qordstest {
namespace {

using Strings = std::vector<std::string>;

constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";
const Strings kCommands = {"search", "read", "add", "modify", "delete", "compare",
                           "isclass", "expand", "parent", "hostname", "bench"};

class QordsFailure : public QordsTest {
protected:
    std::string password_file(const std::string &content) const {
        const std::string path = server().directory().string() + "/password";
        std::ofstream(path) << content;
        return path;
    }
};

TEST_F(QordsFailure, HelpForEveryCommand) {
    const Outcome general = qords({"--help"});
    EXPECT_TRUE(exited_with(general, 0));
    for (const std::string &command : kCommands) {
        EXPECT_NE(general.out.find("  " + command + " "), std::string::npos) << command;
        const Outcome help = qords({command, "--help"});
        EXPECT_TRUE(exited_with(help, 0)) << command;
        EXPECT_EQ(help.out.rfind("usage: qords [options] " + command, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
    EXPECT_TRUE(exited_with(qords({"-h", "read"}), 0));

    const Outcome version = qords({"--version"});
    EXPECT_TRUE(exited_with(version, 0));
    EXPECT_EQ(version.out.rfind("qords 1.", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("\nmodule " QOR_MODULE_DIR "/qorldap.so: QORLDAP."), std::string::npos) << version.out;
}

TEST_F(QordsFailure, WrongInvocationsExitWithStatus2) {
    const std::vector<Strings> cases = {
        {},                                    // no command
        {"frobnicate"},                        // unknown command
        {"--frobnicate", "read", kBob},        // unknown option
        {"-q", "read", kBob},
        {"search"}, {"read"}, {"delete"}, {"compare", kBob, "uid"},
        {"isclass", kBob}, {"expand"}, {"parent"}, {"bench", "read"},   // arguments missing
        {"delete", kBob, "extra"}, {"hostname", "extra"}, {"parent", "a", "b"},   // too many
        {"-p", "0", "read", kBob}, {"-p", "65536", "read", kBob}, {"-p", "x", "read", kBob},
        {"-z", "-1", "search", "(cn=*)"}, {"-l", "0", "read", kBob}, {"-s", "wide", "search", "(cn=*)"},
        {"--cache", "0", "read", kBob}, {"-o", "novalue", "read", kBob}, {"--json=yes", "read", kBob},
        {"--seconds", "2", "read", kBob}, {"bench", "expand", "x"}, {"-b"},
        {"-w", "a", "-y", "/dev/null", "read", kBob},
    };
    for (const Strings &arguments : cases) {
        const Outcome outcome = qords(arguments);
        std::string shown;
        for (const std::string &a : arguments) shown += a + " ";
        EXPECT_TRUE(exited_with(outcome, 2)) << shown;
        EXPECT_EQ(outcome.err.rfind("qords: ", 0), 0u) << shown << outcome.err;
        EXPECT_NE(outcome.err.find("--help"), std::string::npos) << shown << outcome.err;
        EXPECT_EQ(outcome.out, "") << shown;
    }
}

TEST_F(QordsFailure, FailureLineNamesTheCodeAndWhatTheServerMatched) {
    const Outcome outcome = qords({"read", "cn=Nobody,ou=people,o=example"});
    EXPECT_TRUE(exited_with(outcome, 4));
    EXPECT_EQ(outcome.err,
              "qords: read cn=Nobody,ou=people,o=example: No such object (0x80144020); "
              "Matched DN: ou=people,o=example\n");
    EXPECT_EQ(outcome.out, "");

    const Outcome filter = qords({"search", "(cn=a"});
    EXPECT_TRUE(exited_with(filter, 2)) << "a bad filter is input";
    EXPECT_EQ(filter.err, "qords: search (cn=a: Bad search filter (0x80144057)\n");
}

TEST_F(QordsFailure, VerboseLogsTheProtocolFailureThroughTheHostLog) {
    const Outcome verbose = qords({"-v", "read", "cn=Nobody,ou=people,o=example"});
    EXPECT_TRUE(exited_with(verbose, 4));
    EXPECT_NE(verbose.err.find("qords: No such object\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find("qords: matched: ou=people,o=example\n"), std::string::npos) << verbose.err;

    Environment logged = environment();
    const std::string log = server().directory().string() + "/host.log";
    logged["QORHOST_LOG"] = log;
    const Outcome to_file = qords_in(logged, {"-v", "read", "cn=Nobody,ou=people,o=example"});
    EXPECT_TRUE(exited_with(to_file, 4));
    EXPECT_EQ(to_file.err.find("matched:"), std::string::npos) << to_file.err;
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("qords: matched: ou=people,o=example"), std::string::npos) << text;
}

TEST_F(QordsFailure, UnreachableServerFailsAtOnce) {
    const std::uint16_t port = qortest::free_loopback_port();
    const Outcome outcome = qords({"-H", "127.0.0.1", "-p", std::to_string(port), "read", kBob});
    EXPECT_TRUE(exited_with(outcome, 3));
    EXPECT_EQ(outcome.err, "qords: open session to 127.0.0.1 port " + std::to_string(port) +
                               ": Can't contact LDAP server (0x80144051)\n");

    Environment no_host = environment();
    no_host.erase("LDAP_HOST");
    const Outcome nowhere = qords_in(no_host, {"read", kBob});
    EXPECT_TRUE(exited_with(nowhere, 3));
    EXPECT_NE(nowhere.err.find("No server host: give --host or set LDAP_HOST (0x8014400b)"), std::string::npos)
        << nowhere.err;
}

// Arguments the module would take but answer misleadingly: a blank filter (the module reports
// "Can't contact LDAP server" for it) and an empty class name (TRUE of every entry, as a class
// whose name begins with CLASS counts). Refused before anything is sent.
TEST_F(QordsFailure, BlankFilterAndEmptyClassAreUsageErrors) {
    for (const Strings &arguments : {Strings{"search", ""}, Strings{"search", " \t", "cn"},
                                     Strings{"bench", "search", " ", "--seconds", "1"}}) {
        const Outcome outcome = qords(arguments);
        EXPECT_TRUE(exited_with(outcome, 2)) << arguments[0];
        EXPECT_EQ(outcome.err.rfind("qords: the filter is empty; a search needs one such as \"(objectClass=*)\"\n", 0),
                  0u)
            << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
    const Outcome isclass = qords({"isclass", kBob, ""});
    EXPECT_TRUE(exited_with(isclass, 2));
    EXPECT_EQ(isclass.err.rfind("qords: isclass needs a CLASS name, not an empty one\n", 0), 0u) << isclass.err;
    EXPECT_EQ(isclass.out, "");
}

// An empty LDAP_HOST host option is what the module connects to (it takes an option even when
// empty): the failure names that, not the LDAP_HOST of the environment the module never tried.
TEST_F(QordsFailure, OpeningFailureNamesTheHostTheModuleTried) {
    const Outcome outcome = qords({"-o", "LDAP_HOST=", "read", kBob});
    EXPECT_TRUE(exited_with(outcome, 3));
    EXPECT_EQ(outcome.err, "qords: open session to \"\" port " + std::to_string(server().port()) +
                               ": Can't contact LDAP server (0x80144051)\n");
}

TEST_F(QordsFailure, WrongPasswordIsReportedAndNeverPrinted) {
    const std::string secret = "not-the-Password-42";
    for (const Strings &arguments : {Strings{"-D", server().admin_dn(), "-w", secret, "-v", "read", kBob},
                                     Strings{"-D", server().admin_dn(), "-y", password_file(secret + "\n"), "read", kBob}}) {
        const Outcome outcome = qords(arguments);
        EXPECT_TRUE(exited_with(outcome, 3));
        EXPECT_NE(outcome.err.find("as cn=admin,o=example: Invalid credentials (0x80144031)"), std::string::npos)
            << outcome.err;
        EXPECT_EQ(outcome.err.find(secret), std::string::npos);
        EXPECT_EQ(outcome.out.find(secret), std::string::npos);
    }
    Environment from_environment = environment();
    from_environment["LDAP_BINDDN"] = server().admin_dn();
    from_environment["LDAP_BINDPW"] = secret;
    const Outcome outcome = qords_in(from_environment, {"-v", "read", kBob});
    EXPECT_TRUE(exited_with(outcome, 3));
    EXPECT_EQ(outcome.err.find(secret), std::string::npos) << outcome.err;
}

TEST_F(QordsFailure, PasswordFromFileAndFromTheTerminal) {
    const std::vector<std::string> write = {"modify", kBob, "replace", "title", "Changed"};
    Strings with_file = {"-D", server().admin_dn(), "-y", password_file(std::string(qortest::Slapd::admin_password) + "\n")};
    with_file.insert(with_file.end(), write.begin(), write.end());
    EXPECT_TRUE(exited_with(qords(with_file), 0));
    EXPECT_TRUE(exited_with(qords({"-D", server().admin_dn(), "-y", "/no/such/file", "read", kBob}), 2));

    ChildOptions terminal;
    terminal.environment = environment();
    terminal.terminal_answer = qortest::Slapd::admin_password;
    Strings asked = {"-D", server().admin_dn(), "-W"};
    asked.insert(asked.end(), write.begin(), write.end());
    const Outcome outcome = run_child(program(), asked, terminal);
    EXPECT_TRUE(exited_with(outcome, 0));
    EXPECT_NE(outcome.terminal.find("Password for cn=admin,o=example: "), std::string::npos) << outcome.terminal;
    EXPECT_EQ(outcome.terminal.find(qortest::Slapd::admin_password), std::string::npos) << "echoed: " << outcome.terminal;

    // Without a terminal -W reads the first line of standard input; what follows is the LDIF.
    const Outcome piped = qords({"-D", server().admin_dn(), "-W", "modify", kBob},
                                std::string(qortest::Slapd::admin_password) + "\nreplace: title\ntitle: Piped\n");
    EXPECT_TRUE(exited_with(piped, 0));
    EXPECT_EQ(ldif_of({"read", kBob, "title"})[0].get("title"), std::vector<std::string>{"Piped"});
    const Outcome no_line = qords({"-D", server().admin_dn(), "-W", "read", kBob});
    EXPECT_TRUE(exited_with(no_line, 2));
    EXPECT_NE(no_line.err.find("no terminal"), std::string::npos) << no_line.err;
}

// Output that cannot be written is a failure, not a success.
TEST_F(QordsFailure, UnwritableOutputFails) {
    ChildOptions options;
    options.environment = environment();
    options.output_file = "/dev/full";
    const Outcome outcome = run_child(program(), {"search", "(objectClass=*)"}, options);
    EXPECT_TRUE(exited_with(outcome, 3));
    EXPECT_NE(outcome.err.find("qords: search: cannot write the output: No space left on device"), std::string::npos)
        << outcome.err;
}

TEST_F(QordsFailure, MissingModuleIsReported) {
    Environment elsewhere = environment();
    elsewhere["QORHOST_MODULE_PATH"] = server().directory().string();   // no qorldap.so there
    EXPECT_TRUE(exited_with(qords_in(elsewhere, {"read", kBob}), 0)) << "falls back to the program's own";

    ChildOptions options;
    options.environment = environment();
    const std::string copy = server().directory().string() + "/qords";
    std::filesystem::copy_file(program(), copy);
    const Outcome outcome = run_child(copy, {"read", kBob}, options);
    EXPECT_TRUE(exited_with(outcome, 3));
    EXPECT_NE(outcome.err.find("qords: module: the directory module"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace qordstest

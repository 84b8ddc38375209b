#include "qords_fixture.h"

#include <cstdlib>

namespace qordstest {

std::unique_ptr<qortest::Slapd> QordsTest::server_;

const char *const kTestEntries =
    // Values LDIF must write in Base64 (leading and trailing blanks, a leading ':' or '<'), a
    // value long enough to be folded, and bytes stored the module's way (Base64 text).
    "dn: cn=odd-values,ou=subscribers,o=example\n"
    "objectClass: top\n"
    "objectClass: qorSubscriber\n"
    "cn: odd-values\n"
    "description:: IGxlYWRpbmcgYmxhbms=\n"
    "description:: dHJhaWxpbmcgYmxhbmsg\n"
    "description: :colon first\n"
    "description: <less-than first\n"
    "telephoneNumber: 0123456789012345678901234567890123456789012345678901234567890123456789"
    "0123456789012345678901234567890123456789012345678901234567890123456789\n"
    "qorBinaryValue:: QUFFQ0EvNy8K\n"
    "\n"
    // Bytes that are not UTF-8 (ff fe 41).
    "dn: cn=raw-bytes,ou=subscribers,o=example\n"
    "objectClass: top\n"
    "objectClass: qorSubscriber\n"
    "cn: raw-bytes\n"
    "qorBinaryValue:: //5B\n"
    "\n";

::testing::AssertionResult exited_with(const Outcome &outcome, int code) {
    if (!outcome.timed_out && outcome.exit_code == code) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (outcome.timed_out ? "timed out" : "exit status ")
                                         << (outcome.timed_out ? "" : std::to_string(outcome.exit_code))
                                         << " instead of " << code << "\nstdout:\n"
                                         << outcome.out << "\nstderr:\n"
                                         << outcome.err;
}

void QordsTest::start_server(qortest::SlapdOptions options) {
    options.extra_ldif += kTestEntries;
    server_ = std::make_unique<qortest::Slapd>(std::move(options));
}

Environment QordsTest::environment() {
    Environment env;
    for (const char *name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = std::getenv(name)) env[name] = value;
    env["LDAP_HOST"] = "127.0.0.1";
    env["LDAP_PORT"] = std::to_string(server_->port());
    env["LDAP_BASE"] = server_->suffix();
    return env;
}

Outcome QordsTest::qords(const std::vector<std::string> &arguments, const std::string &input) const {
    return qords_in(environment(), arguments, input);
}

Outcome QordsTest::qords_in(const Environment &env, const std::vector<std::string> &arguments,
                            const std::string &input) const {
    ChildOptions options;
    options.environment = env;
    options.input = input;
    return run_child(program(), arguments, options);
}

Outcome QordsTest::as_admin(const std::vector<std::string> &arguments, const std::string &input) const {
    std::vector<std::string> all = {"-D", server_->admin_dn(), "-w", qortest::Slapd::admin_password};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return qords(all, input);
}

std::vector<ParsedEntry> QordsTest::ldif_of(const std::vector<std::string> &arguments) const {
    const Outcome outcome = qords(arguments);
    EXPECT_TRUE(exited_with(outcome, 0));
    if (outcome.out.empty()) return {};
    return parse_ldif(outcome.out);
}

std::vector<ParsedEntry> QordsTest::json_of(const std::vector<std::string> &arguments) const {
    std::vector<std::string> all = {"--json"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const Outcome outcome = qords(all);
    EXPECT_TRUE(exited_with(outcome, 0));
    return parse_json(outcome.out);
}

}  // namespace qordstest

// The qords integration suites: a private slapd with the sample directory (and a few entries for
// these tests), and qords run as a child process with LDAP_HOST, LDAP_PORT and LDAP_BASE of that
// server in an otherwise minimal environment.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "output_parsers.h"
#include "tests/support/slapd.h"

namespace qordstest {

using Environment = std::map<std::string, std::string>;

// The entries the suites add to the sample directory.
extern const char *const kTestEntries;

// Success when the program exited with `code`; otherwise a failure showing what it wrote.
::testing::AssertionResult exited_with(const Outcome &outcome, int code);

class QordsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { start_server(qortest::SlapdOptions{}); }
    static void TearDownTestSuite() { server_.reset(); }
    // Starts the suite's server with `options` plus kTestEntries.
    static void start_server(qortest::SlapdOptions options);

    static std::string program() { return QOR_BIN_DIR "/qords"; }
    static const qortest::Slapd &server() { return *server_; }
    // PATH, the sanitizer options of this process, and the server's LDAP_HOST/PORT/BASE.
    static Environment environment();

    Outcome qords(const std::vector<std::string> &arguments, const std::string &input = "") const;
    Outcome qords_in(const Environment &environment, const std::vector<std::string> &arguments,
                     const std::string &input = "") const;
    // qords bound as the administrator (-D, -w).
    Outcome as_admin(const std::vector<std::string> &arguments, const std::string &input = "") const;

    // The entries of a successful run's LDIF, or of its JSON output.
    std::vector<ParsedEntry> ldif_of(const std::vector<std::string> &arguments) const;
    std::vector<ParsedEntry> json_of(const std::vector<std::string> &arguments) const;

private:
    static std::unique_ptr<qortest::Slapd> server_;
};

}  // namespace qordstest

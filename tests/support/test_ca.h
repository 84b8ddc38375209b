// Certificates for TLS tests, made at run time with the `openssl` command (nothing secret is kept
// in the source tree): a test CA and, signed by it, server certificates with EC P-256 keys.
//
//   const qortest::TestCa &ca = qortest::test_ca();
//   ca.ca_file()                         // PEM of the CA, for LDAP_TLS_CACERT
//   ca.server().certificate / .key       // for 127.0.0.1 and localhost, valid now
//
// They are made once per test program in a temporary directory, removed when the program ends.
// Failures throw std::runtime_error with openssl's output.
#pragma once

#include <filesystem>
#include <string>

namespace qortest {

// A server certificate and its key (PEM files).
struct ServerIdentity {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

class TestCa {
public:
    TestCa();
    ~TestCa();
    TestCa(const TestCa &) = delete;
    TestCa &operator=(const TestCa &) = delete;

    const std::filesystem::path &ca_file() const { return ca_file_; }
    // Subject alternative names IP:127.0.0.1 and DNS:localhost, valid from yesterday for a week.
    const ServerIdentity &server() const { return server_; }
    // DNS:other.example only: refused for 127.0.0.1 and localhost.
    const ServerIdentity &other_name() const { return other_name_; }
    // The names of server(), but valid only in January 2020.
    const ServerIdentity &expired() const { return expired_; }
    // A second CA that signed nothing here: trusting it alone rejects every server above.
    const std::filesystem::path &stranger_ca_file() const { return stranger_ca_file_; }

private:
    ServerIdentity issue(const std::string &name, const std::string &alt_names, const std::string &dates);
    void run(const std::string &arguments) const;

    std::filesystem::path dir_;
    std::filesystem::path ca_file_;
    std::filesystem::path stranger_ca_file_;
    ServerIdentity server_;
    ServerIdentity other_name_;
    ServerIdentity expired_;
};

// The test program's CA and certificates, made on first use.
const TestCa &test_ca();

}  // namespace qortest

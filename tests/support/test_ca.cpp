#include "tests/support/test_ca.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qortest {

namespace fs = std::filesystem;

namespace {

// Every openssl run is bounded: a command that does not end within this is killed.
constexpr const char *kToolLimit = "30";
constexpr const char *kValidNow = "-startdate $(date -u -d yesterday +%Y%m%d%H%M%SZ) -enddate $(date -u -d '+7 days' +%Y%m%d%H%M%SZ)";
constexpr const char *kValidIn2020 = "-startdate 20200101000000Z -enddate 20200131000000Z";

std::string read_file(const fs::path &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TestCa::TestCa() {
    std::string pattern = (fs::temp_directory_path() / "qortest-ca-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a directory for the test CA");
    dir_ = pattern;
    try {
        std::ofstream(dir_ / "index.txt");
        std::ofstream(dir_ / "serial") << "1000\n";
        std::ofstream(dir_ / "ca.cnf") << "[ca]\ndefault_ca = test\n"
                                          "[test]\n"
                                       << "database = " << (dir_ / "index.txt").string() << "\n"
                                       << "new_certs_dir = " << dir_.string() << "\n"
                                       << "serial = " << (dir_ / "serial").string() << "\n"
                                       << "default_md = sha256\npolicy = any\nunique_subject = no\n"
                                          "[any]\ncommonName = supplied\n"
                                          "[req]\ndistinguished_name = dn\n[dn]\n";
        for (const char *name : {"ca", "stranger"}) {
            run(std::string("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ") + name + ".key");
            run(std::string("req -config ca.cnf -x509 -new -key ") + name + ".key -subj '/CN=qorldap test " + name +
                "' -days 30 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out " +
                name + ".pem");
        }
        ca_file_ = dir_ / "ca.pem";
        stranger_ca_file_ = dir_ / "stranger.pem";
        server_ = issue("server", "IP:127.0.0.1,DNS:localhost", kValidNow);
        other_name_ = issue("other", "DNS:other.example", kValidNow);
        expired_ = issue("expired", "IP:127.0.0.1,DNS:localhost", kValidIn2020);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        throw;
    }
}

TestCa::~TestCa() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

ServerIdentity TestCa::issue(const std::string &name, const std::string &alt_names, const std::string &dates) {
    std::ofstream(dir_ / (name + ".ext")) << "[ext]\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n"
                                          << "subjectAltName = " << alt_names << "\n";
    run("genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + name + ".key");
    run("req -config ca.cnf -new -key " + name + ".key -subj '/CN=" + name + "' -out " + name + ".csr");
    run("ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -notext -in " + name + ".csr -out " + name +
        ".pem -extfile " + name + ".ext -extensions ext " + dates);
    return {dir_ / (name + ".pem"), dir_ / (name + ".key")};
}

void TestCa::run(const std::string &arguments) const {
    const fs::path log = dir_ / "openssl.log";
    const std::string command = "cd '" + dir_.string() + "' && timeout " + kToolLimit + " openssl " + arguments +
                                " >'" + log.string() + "' 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl " + arguments + " failed:\n" + read_file(log));
}

const TestCa &test_ca() {
    static const TestCa ca;
    return ca;
}

}  // namespace qortest

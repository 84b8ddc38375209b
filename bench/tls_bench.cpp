// Cost of encryption, against one private slapd that serves ldap, ldaps and StartTLS: opening a
// bound session through dsopen (connection, TLS handshake, bind, and closing it again) and a
// base-object read on an open session, each in clear, over ldaps and over StartTLS.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "qorldap/qorldap.hpp"
#include "tests/support/runtime.h"
#include "tests/support/slapd.h"
#include "tests/support/test_ca.h"

namespace {

enum Transport { kPlain, kLdaps, kStartTls };

const qortest::Slapd *tls_server() {
    static std::unique_ptr<qortest::Slapd> server = [] {
        if (qortest::load_status() != 0) return std::unique_ptr<qortest::Slapd>();
        qortest::SlapdOptions options;
        options.tls = qortest::test_ca().server();
        options.tls_ca_file = qortest::test_ca().ca_file();
        qorhost_set_option("LDAP_TLS_CACERT", qortest::test_ca().ca_file().c_str());
        return std::make_unique<qortest::Slapd>(options);
    }();
    return server.get();
}

int32_t open_session(qorldap::Session &session, Transport transport) {
    const qortest::Slapd *server = tls_server();
    const std::string host = transport == kLdaps ? server->ldaps_url() : server->host_port();
    return session.open(host.c_str(), 0, transport == kStartTls ? DS_OPT_START_TLS : 0, "o=example",
                        "cn=admin,o=example", qortest::Slapd::admin_password);
}

void BM_OpenSession(benchmark::State &state) {
    if (tls_server() == nullptr) return state.SkipWithError("no slapd");
    const qorldap::Directory directory(qortest::vector(QORLDAP_MODULE));
    for (auto _ : state) {
        qorldap::Session session(directory);
        if (open_session(session, static_cast<Transport>(state.range(0))) != DS_OK) {
            return state.SkipWithError("dsopen failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenSession)->ArgName("plain_ldaps_starttls")->DenseRange(kPlain, kStartTls)->UseRealTime();

void BM_ReadEntry(benchmark::State &state) {
    if (tls_server() == nullptr) return state.SkipWithError("no slapd");
    qorldap::Session session{qorldap::Directory(qortest::vector(QORLDAP_MODULE))};
    if (open_session(session, static_cast<Transport>(state.range(0))) != DS_OK) {
        return state.SkipWithError("dsopen failed");
    }
    for (auto _ : state) {
        qorldap::ResultSet entry(session);
        if (entry.resolve_dn("cn=Bob Baker,ou=people,o=example") != DS_OK) return state.SkipWithError("read failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadEntry)->ArgName("plain_ldaps_starttls")->DenseRange(kPlain, kStartTls)->UseRealTime();

}  // namespace

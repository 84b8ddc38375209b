// The slapd fixture: start and stop, the sample data and schema as later tests rely on them,
// referrals between two instances, and the fixture's options. Requests are written by hand.
#include "tests/support/slapd.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "tests/support/ber_reader.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"

namespace qortest {
namespace {

using namespace std::chrono_literals;

const std::string kAlice = "cn=Alice Archer,ou=people,o=example";
const std::string kJuergen = "cn=J\xc3\xbcrgen M\xc3\xbcller,ou=people,o=example";

// The answer to one request: entries in order, then the final result.
struct Answer {
    std::vector<BerNode> entries;  // the operations of the search entries (tag 0x64)
    BerNode result;                // the operation of the final result

    int code() const { return static_cast<int>(result.at(0).integer()); }
    std::string text() const { return result.at(2).text(); }
    std::vector<std::string> dns() const {
        std::vector<std::string> out;
        for (const BerNode &e : entries) out.push_back(e.at(0).text());
        return out;
    }
};

// Sends `request` and reads messages up to the first one that is not a search entry or
// reference.
Answer ask(RawClient &client, const Bytes &request) {
    EXPECT_TRUE(client.send(request));
    Answer answer;
    for (;;) {
        std::optional<Bytes> message = client.read_element();
        if (!message) throw std::runtime_error("no answer from slapd");
        BerNode op = parse_element(*message).at(1);
        if (op.tag == ldap::op::search_entry) {
            answer.entries.push_back(op);
        } else if (op.tag != ldap::op::search_reference) {
            answer.result = op;
            return answer;
        }
    }
}

Answer bind_as(RawClient &client, std::int64_t id, int version, const std::string &dn, const std::string &password) {
    return ask(client, ldap::bind_request(id, version, dn, password));
}

Answer search_in(RawClient &client, std::int64_t id, const std::string &base, Bytes filter,
              std::vector<std::string> attributes = {}, int scope = 2) {
    ldap::Search s;
    s.base = base;
    s.scope = scope;
    s.filter = std::move(filter);
    s.attributes = std::move(attributes);
    return ask(client, ldap::search_request(id, s));
}

// Values of one attribute of a search entry, in the server's order.
std::vector<std::string> values(const BerNode &entry, const std::string &type) {
    for (const BerNode &attribute : entry.at(1).children) {
        std::string name = attribute.at(0).text();
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name != type) continue;
        std::vector<std::string> out;
        for (const BerNode &v : attribute.at(1).children) out.push_back(v.text());
        return out;
    }
    return {};
}

// Waits up to `limit` for `done` to hold, looking again every few milliseconds.
bool eventually(std::chrono::milliseconds limit, const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// True when `dn` can be read on `server` right now (through a new anonymous connection).
bool has_entry(const Slapd &server, const std::string &dn) {
    RawClient client(server.port());
    Answer a = search_in(client, 1, dn, ldap::filter::present("objectclass"), {"cn"}, 0);
    return a.code() == 0 && a.entries.size() == 1;
}

// Adds subscriber `cn` below ou=subscribers as the administrator; the result code.
int add_subscriber(const Slapd &server, const std::string &cn) {
    RawClient client(server.port());
    EXPECT_EQ(bind_as(client, 1, 3, server.admin_dn(), Slapd::admin_password).code(), 0);
    return ask(client, ldap::add_request(2, "cn=" + cn + ",ou=subscribers,o=example",
                                         {{"objectClass", {"qorSubscriber"}}, {"cn", {cn}}, {"qorPersonDN", {kAlice}}}))
        .code();
}

std::string subscriber_dn(const std::string &cn) { return "cn=" + cn + ",ou=subscribers,o=example"; }

// The filter group expansion sends for a member DN.
Bytes subscriber_filter(const std::string &person_dn) {
    using namespace ldap::filter;
    return and_of({or_of({equal("objectclass", "qorsubscriber"), equal("qorInterface", "qorsubscriber")}),
                   equal("qorpersondn", person_dn)});
}

TEST(Slapd, StartsAndAnswersTheAdministratorBindByteForByte) {
    Slapd server;
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.url(), "ldap://127.0.0.1:" + std::to_string(server.port()) + "/");
    EXPECT_EQ(server.admin_dn(), "cn=admin,o=example");

    RawClient client(server.port());
    client.send(concat({hex("30 24 02 01 01 60 1f 02 01 03 04 12"), bytes_of("cn=admin,o=example"), hex("80 06"),
                        bytes_of("secret")}));
    EXPECT_EQ(client.read_element(), hex("30 0c 02 01 01 61 07 0a 01 00 04 00 04 00"));
}

TEST(Slapd, AcceptsVersionTwoAndPersonBindsAndRefusesWrongPasswords) {
    Slapd server;
    RawClient v2(server.port());
    EXPECT_EQ(bind_as(v2, 1, 2, "", "").code(), ldap::code::success);
    RawClient alice(server.port());
    EXPECT_EQ(bind_as(alice, 1, 3, kAlice, "alice-pw").code(), ldap::code::success);
    RawClient wrong(server.port());
    EXPECT_EQ(bind_as(wrong, 1, 3, kAlice, "nope").code(), ldap::code::invalid_credentials);
}

TEST(Slapd, SubscriberFiltersFindTheSubscribersOfAPerson) {
    Slapd server;
    RawClient client(server.port());
    const std::string subs = ",ou=subscribers,o=example";

    Answer plain = search_in(client, 1, "o=example", ldap::filter::equal("qorpersondn", kAlice));
    EXPECT_EQ(plain.code(), 0);
    EXPECT_EQ(plain.dns(), (std::vector<std::string>{"cn=alice-desk" + subs, "cn=alice-mobile" + subs}));

    // The DN is matched as a DN, not as text.
    Answer spelled = search_in(client, 2, "o=example",
                            ldap::filter::equal("qorPersonDN", "CN=alice archer, OU=People, O=Example"));
    EXPECT_EQ(spelled.dns(), plain.dns());

    EXPECT_EQ(search_in(client, 3, "o=example", subscriber_filter(kAlice)).dns(), plain.dns());
    // A subscriber by qorInterface alone, not by class.
    EXPECT_EQ(search_in(client, 4, "o=example", subscriber_filter("cn=Dave Dawson,ou=people,o=example")).dns(),
              std::vector<std::string>{"cn=dave-app" + subs});
    EXPECT_EQ(search_in(client, 5, "o=example", subscriber_filter(kJuergen)).dns(),
              std::vector<std::string>{"cn=juergen-desk" + subs});
    Answer none = search_in(client, 6, "o=example", subscriber_filter("cn=Eve Evans,ou=people,o=example"));
    EXPECT_EQ(none.code(), 0);
    EXPECT_TRUE(none.entries.empty());

    // Equality on the class attribute and on qorInterface ignores case.
    EXPECT_EQ(search_in(client, 7, "o=example", ldap::filter::equal("objectClass", "QORSUBSCRIBER")).entries.size(), 5u);
    EXPECT_EQ(search_in(client, 8, "o=example", ldap::filter::equal("qorinterface", "FAX")).dns(),
              std::vector<std::string>{"cn=alice-desk" + subs});
}

TEST(Slapd, SampleDataHasTheDocumentedShape) {
    Slapd server;
    RawClient client(server.port());
    auto read = [&](std::int64_t id, const std::string &dn, std::vector<std::string> attributes) {
        Answer a = search_in(client, id, dn, ldap::filter::present("objectclass"), std::move(attributes), 0);
        EXPECT_EQ(a.entries.size(), 1u) << dn;
        return a.entries.empty() ? BerNode{} : a.entries.front();
    };

    EXPECT_EQ(values(read(1, "cn=staff,ou=groups,o=example", {"member"}), "member"),
              (std::vector<std::string>{"cn=Bob Baker,ou=people,o=example", "cn=leads,ou=groups,o=example",
                                        "cn=Carol Clark,ou=people,o=example"}));
    BerNode leads = read(2, "cn=leads,ou=groups,o=example", {});
    EXPECT_EQ(values(leads, "uniquemember"),
              (std::vector<std::string>{"cn=Dave Dawson,ou=people,o=example", kJuergen}));
    EXPECT_EQ(values(leads, "objectclass"), (std::vector<std::string>{"top", "groupOfUniqueNames"}));

    BerNode juergen = read(3, kJuergen, {"cn", "description"});
    EXPECT_EQ(values(juergen, "description"), std::vector<std::string>{"B\xc3\xbcro in Z\xc3\xbcrich"});

    BerNode mobile = read(4, "cn=alice-mobile,ou=subscribers,o=example", {"qorBinaryValue"});
    std::vector<std::string> binary = values(mobile, "qorbinaryvalue");
    ASSERT_EQ(binary.size(), 1u);
    EXPECT_EQ(bytes_of(binary[0]), hex("00 01 02 03 fe ff"));

    // Anonymous sessions read everything but passwords.
    BerNode alice = read(5, kAlice, {});
    EXPECT_EQ(values(alice, "employeenumber"), std::vector<std::string>{"1001"});
    EXPECT_TRUE(values(alice, "userpassword").empty());
    EXPECT_EQ(search_in(client, 6, "o=example", ldap::filter::equal("objectclass", "inetOrgPerson")).entries.size(), 6u);
}

TEST(Slapd, PersonsWriteAndAnonymousSessionsDoNot) {
    Slapd server;
    const std::string target = "cn=bob-desk,ou=subscribers,o=example";
    const Bytes change = ldap::modify_request(2, target, {{2, {"description", {"changed"}}}});

    RawClient anonymous(server.port());
    EXPECT_EQ(bind_as(anonymous, 1, 3, "", "").code(), 0);
    EXPECT_NE(ask(anonymous, change).code(), 0);

    RawClient alice(server.port());
    EXPECT_EQ(bind_as(alice, 1, 3, kAlice, "alice-pw").code(), 0);
    EXPECT_EQ(ask(alice, change).code(), 0);
    Answer after = search_in(alice, 3, target, ldap::filter::present("objectclass"), {"description"}, 0);
    ASSERT_EQ(after.entries.size(), 1u);
    EXPECT_EQ(values(after.entries[0], "description"), std::vector<std::string>{"changed"});
}

TEST(Slapd, ReferralsLeadToASecondInstance) {
    Slapd other(other_directory_options());
    SlapdOptions options;
    options.referral = other.url();
    Slapd server(options);
    ASSERT_NE(server.port(), other.port());
    const std::string url = other.url() + "o=other??sub";

    RawClient v3(server.port());
    Answer referred = search_in(v3, 1, "o=other", ldap::filter::present("objectclass"));
    EXPECT_EQ(referred.code(), ldap::code::referral);
    EXPECT_EQ(referred.text(), "");
    ASSERT_EQ(referred.result.children.size(), 4u);
    EXPECT_EQ(referred.result.at(3).tag, 0xa3);
    EXPECT_EQ(referred.result.at(3).at(0).text(), url);

    RawClient v2(server.port());
    ASSERT_EQ(bind_as(v2, 1, 2, "", "").code(), 0);
    Answer partial = search_in(v2, 2, "o=other", ldap::filter::present("objectclass"));
    EXPECT_EQ(partial.code(), ldap::code::partial_results);
    EXPECT_EQ(partial.text(), "Referral:\n" + url);

    RawClient direct(other.port());
    EXPECT_EQ(search_in(direct, 1, "o=other", subscriber_filter("cn=Olga Other,ou=people,o=other")).dns(),
              std::vector<std::string>{"cn=olga-desk,ou=subscribers,o=other"});
}

TEST(Slapd, StopLeavesNoProcessAndNoDirectory) {
    Slapd server;
    const pid_t pid = server.pid();
    const std::filesystem::path dir = server.directory();
    const std::uint16_t port = server.port();
    ASSERT_NE(pid, 0);
    ASSERT_TRUE(std::filesystem::exists(dir / "slapd.conf"));

    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_TRUE(server.directory().empty());
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_EQ(::kill(pid, 0), -1);  // reaped: no process, not even a zombie
    EXPECT_FALSE(connect_loopback(port, 100ms).valid());
    server.stop();  // idempotent
}

TEST(Slapd, SizeLimitAndExtraLdifOptions) {
    SlapdOptions options;
    options.size_limit = 1;
    options.extra_ldif =
        "dn: cn=extra,ou=subscribers,o=example\n"
        "objectClass: qorSubscriber\n"
        "cn: extra\n"
        "qorPersonDN: cn=Eve Evans,ou=people,o=example\n";
    Slapd server(options);
    RawClient client(server.port());
    Answer limited = search_in(client, 1, "ou=people,o=example", ldap::filter::equal("objectclass", "person"));
    EXPECT_EQ(limited.code(), ldap::code::size_limit_exceeded);
    EXPECT_EQ(limited.entries.size(), 1u);
    EXPECT_EQ(search_in(client, 2, "o=example", subscriber_filter("cn=Eve Evans,ou=people,o=example")).dns(),
              std::vector<std::string>{"cn=extra,ou=subscribers,o=example"});
}

TEST(Slapd, AddLdifRestartsWithTheNewEntries) {
    Slapd server;
    server.add_ldif(
        "dn: cn=late,ou=subscribers,o=example\n"
        "objectClass: qorSubscriber\n"
        "cn: late\n"
        "qorPersonDN: cn=Eve Evans,ou=people,o=example\n");
    EXPECT_TRUE(server.running());
    RawClient client(server.port());
    EXPECT_EQ(search_in(client, 1, "o=example", subscriber_filter("cn=Eve Evans,ou=people,o=example")).dns(),
              std::vector<std::string>{"cn=late,ou=subscribers,o=example"});
    EXPECT_EQ(search_in(client, 2, "o=example", subscriber_filter(kAlice)).entries.size(), 2u);
}

TEST(Slapd, MovesToAnotherPortWhenItsPortIsTaken) {
    std::uint16_t taken = 0;
    Socket holder = listen_loopback(taken);
    SlapdOptions options;
    options.preferred_port = taken;
    Slapd server(options);
    EXPECT_NE(server.port(), taken);
    RawClient client(server.port());
    EXPECT_EQ(bind_as(client, 1, 3, server.admin_dn(), Slapd::admin_password).code(), 0);

    // A free preferred port is used as it is.
    holder.reset();
    options.preferred_port = taken;
    Slapd second(options);
    EXPECT_EQ(second.port(), taken);
}

TEST(Slapd, KeepsNoDescriptorOfTheTest) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);  // inheritable on purpose
    Slapd server;
    ::close(fds[1]);
    // Only slapd could still hold the write end; then the read end would see no end of file.
    pollfd p{fds[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 0);
    ::close(fds[0]);
}

TEST(Slapd, FailuresThrowWithDiagnostics) {
    SlapdOptions bad_config;
    bad_config.extra_global_config = {"no-such-directive here"};
    try {
        Slapd server(bad_config);
        FAIL() << "slapd started with a broken configuration";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("no-such-directive"), std::string::npos) << e.what();
    }

    SlapdOptions bad_data;
    bad_data.extra_ldif = "dn: cn=x,o=elsewhere\nobjectClass: qorSubscriber\ncn: x\n";
    EXPECT_THROW(Slapd server(bad_data), std::runtime_error);
}

TEST(SlapdPair, ChangesOnEitherProviderShowOnTheOther) {
    SlapdPair pair;
    EXPECT_NE(pair.provider(0).port(), pair.provider(1).port());
    EXPECT_EQ(pair.host_list(), pair.provider(0).host_port() + " " + pair.provider(1).host_port());
    // The second provider starts with the first one's entries.
    EXPECT_TRUE(has_entry(pair.provider(1), kAlice));
    EXPECT_TRUE(pair.wait_in_sync(0ms));

    ASSERT_EQ(add_subscriber(pair.provider(0), "from-0"), 0);
    EXPECT_TRUE(eventually(10s, [&] { return has_entry(pair.provider(1), subscriber_dn("from-0")); }));
    ASSERT_EQ(add_subscriber(pair.provider(1), "from-1"), 0);
    EXPECT_TRUE(eventually(10s, [&] { return has_entry(pair.provider(0), subscriber_dn("from-1")); }));
    EXPECT_TRUE(pair.wait_in_sync(10s));
}

TEST(SlapdPair, AProviderBackFromAnOutageCatchesUpOnItsOwnPort) {
    SlapdPair pair;
    Slapd &one = pair.provider(0);
    Slapd &two = pair.provider(1);

    const std::uint16_t port = one.port();
    one.kill();
    EXPECT_FALSE(one.running());
    EXPECT_FALSE(connect_loopback(port, 100ms).valid());
    EXPECT_FALSE(pair.wait_in_sync(0ms));
    ASSERT_EQ(add_subscriber(two, "while-killed"), 0);
    one.restart();
    EXPECT_EQ(one.port(), port);
    EXPECT_TRUE(eventually(10s, [&] { return has_entry(one, subscriber_dn("while-killed")); }));

    // A paused provider takes requests without answering, and answers and catches up once resumed.
    two.pause();
    RawClient waiting(two.port());
    ldap::Search read;
    read.base = kAlice;
    read.scope = 0;
    read.filter = ldap::filter::present("objectclass");
    ASSERT_TRUE(waiting.send(ldap::search_request(1, read)));
    EXPECT_TRUE(eventually(10s, [&] { return two.unread_bytes() > 0; }));
    EXPECT_FALSE(waiting.read_element(100ms));
    ASSERT_EQ(add_subscriber(one, "while-paused"), 0);
    two.resume();
    EXPECT_TRUE(waiting.read_element(10s));
    EXPECT_TRUE(eventually(10s, [&] { return has_entry(two, subscriber_dn("while-paused")); }));
    EXPECT_TRUE(pair.wait_in_sync(10s));
}

}  // namespace
}  // namespace qortest

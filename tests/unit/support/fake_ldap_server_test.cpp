// The scripted fake server, driven over raw loopback sockets: each script feature, and the
// failures it must report to the test.
#include "tests/support/fake_ldap_server.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "tests/support/ldap_messages.h"
#include "tests/support/loopback.h"

namespace qortest {
namespace {

using namespace std::chrono_literals;

const Bytes kBind = ldap::bind_request(1, 3, "cn=admin,o=example", "secret");
const Bytes kBindOk = ldap::bind_response(1, ldap::code::success);

// Sends the bind and reads its answer, unchecked: a client taking the script past its bind.
void bind_client(RawClient &client) {
    client.send(kBind);
    client.read_element();
}

// A polite client: binds, unbinds and closes.
void bind_and_unbind(std::uint16_t port) {
    RawClient client(port);
    bind_client(client);
    client.send(ldap::unbind_request(2));
}

// The failures as one text, for matching.
std::string all_failures(const FakeLdapServer &server) {
    std::string text;
    for (const std::string &f : server.failures()) text += f + "\n";
    return text;
}

TEST(FakeLdapServer, ListensOnLoopbackAndAnswersAnExactRequest) {
    FakeLdapServer server;
    EXPECT_NE(server.port(), 0);
    EXPECT_EQ(server.url(), "ldap://127.0.0.1:" + std::to_string(server.port()) + "/");
    server.accept().expect(kBind).reply(kBindOk);
    server.start();

    RawClient client(server.port());
    ASSERT_TRUE(client.send(kBind));
    EXPECT_EQ(client.read_element(), kBindOk);
    server.finish();
    EXPECT_EQ(server.connections_accepted(), 1u);
    EXPECT_EQ(server.requests(0), std::vector<Bytes>{kBind});
    EXPECT_TRUE(server.failures().empty());
}

TEST(FakeLdapServer, FramesRequestsSplitAndJoinedByTheClient) {
    Bytes second = ldap::unbind_request(2);
    FakeLdapServer server;
    server.accept().expect(kBind).expect_hex("30 05 02 01 02 42 00").expect_close();
    server.start();

    RawClient client(server.port());
    Bytes both = concat({kBind, second});
    // The first request in two writes, the end of it joined with the second.
    ASSERT_TRUE(client.send(std::span(both).first(3)));
    ASSERT_TRUE(client.send(std::span(both).subspan(3)));
    client.close();
    server.finish();
    EXPECT_EQ(server.requests(0), (std::vector<Bytes>{kBind, second}));
    EXPECT_TRUE(server.unbind_before_close(0));
}

TEST(FakeLdapServer, SeveralMessagesInOneWrite) {
    Bytes entry = ldap::search_entry(2, "cn=a,o=example", {{"cn", {"a"}}});
    Bytes done = ldap::search_done(2, ldap::code::success);
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::bind_request, 1).reply({kBindOk, entry, done});
    server.start();

    RawClient client(server.port());
    client.send(kBind);
    EXPECT_EQ(client.read_element(), kBindOk);
    // One write of three messages arrives together: the rest is already buffered.
    EXPECT_EQ(client.pending(), concat({entry, done}));
    EXPECT_EQ(client.read_element(), entry);
    EXPECT_EQ(client.read_element(), done);
    server.finish();
}

TEST(FakeLdapServer, OneMessageInPiecesWithDelays) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply_in_pieces(kBindOk, {1, 5}, 100ms);
    server.start();

    RawClient client(server.port());
    const auto begin = std::chrono::steady_clock::now();
    client.send(kBind);
    std::vector<std::size_t> partial_sizes;
    std::optional<Bytes> message;
    while (!message && !client.closed()) {
        message = client.read_element(1ms);
        if (!message && !client.pending().empty()) partial_sizes.push_back(client.pending().size());
    }
    EXPECT_EQ(message, kBindOk);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);  // two gaps
    // The client saw the message incomplete, cut where the script cut it.
    ASSERT_FALSE(partial_sizes.empty());
    for (std::size_t size : partial_sizes) EXPECT_TRUE(size == 1 || size == 5) << size;
    server.finish();
}

TEST(FakeLdapServer, DelayHoldsTheAnswerBack) {
    FakeLdapServer server;
    server.accept().expect(kBind).delay(100ms).reply(kBindOk);
    server.start();
    RawClient client(server.port());
    const auto begin = std::chrono::steady_clock::now();
    client.send(kBind);
    EXPECT_EQ(client.read_element(), kBindOk);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 100ms);
    server.finish();
}

TEST(FakeLdapServer, CloseResetMidMessageAndGarbage) {
    FakeLdapServer server;
    server.accept().expect(kBind).close();
    server.accept().expect(kBind).close_mid_message(kBindOk, 4);
    server.accept().expect(kBind).send_garbage();
    server.accept().expect(kBind).reset();
    server.start();

    RawClient closed(server.port());
    closed.send(kBind);
    EXPECT_TRUE(closed.wait_closed());

    RawClient truncated(server.port());
    truncated.send(kBind);
    EXPECT_FALSE(truncated.read_element());
    EXPECT_TRUE(truncated.closed());
    EXPECT_EQ(truncated.pending(), Bytes(kBindOk.begin(), kBindOk.begin() + 4));

    RawClient garbage(server.port());
    garbage.send(kBind);
    EXPECT_FALSE(garbage.read_element(1s));  // 0xff cannot start an element
    ASSERT_FALSE(garbage.pending().empty());
    EXPECT_EQ(garbage.pending()[0], 0xff);

    RawClient reset(server.port());
    reset.send(kBind);
    EXPECT_FALSE(reset.read_element());
    EXPECT_TRUE(reset.closed());

    server.finish();
    EXPECT_EQ(server.connections_accepted(), 4u);
}

TEST(FakeLdapServer, HoldNeverAnswersAndToleratesFurtherRequests) {
    FakeLdapServer server;
    server.accept().expect(kBind).hold();
    server.start();
    RawClient client(server.port());
    client.send(kBind);
    client.send(ldap::abandon_request(2, 1));
    EXPECT_FALSE(client.read_element(50ms));
    EXPECT_TRUE(client.timed_out());
    EXPECT_FALSE(client.closed());
    server.finish();
    EXPECT_EQ(server.requests(0).size(), 2u);
}

TEST(FakeLdapServer, AnswersToAClientThatIsGoneAreDroppedQuietly) {
    FakeLdapServer server;
    server.accept().expect(kBind).delay(50ms).reply(kBindOk).reply(kBindOk).expect_close();
    server.start();
    RawClient client(server.port());
    client.send(kBind);
    client.reset();
    server.finish();
    EXPECT_TRUE(server.failures().empty()) << all_failures(server);
    EXPECT_TRUE(server.client_closed(0));
}

TEST(FakeLdapServer, ReplyWithEchoesTheRequestId) {
    FakeLdapServer server;
    server.accept().expect_any().reply_with(
        [](const ReceivedRequest &r) { return ldap::bind_response(r.id, ldap::code::success); });
    server.start();
    RawClient client(server.port());
    client.send(ldap::bind_request(7, 3, "", ""));
    EXPECT_EQ(client.read_element(), ldap::bind_response(7, ldap::code::success));
    server.finish();
}

TEST(FakeLdapServer, AnswerBindRepliesWithTheRequestIdAndCode) {
    FakeLdapServer server;
    server.accept().answer_bind(ldap::code::protocol_error).answer_bind();
    server.start();
    RawClient client(server.port());
    client.send(ldap::bind_request(4, 3, "", ""));
    EXPECT_EQ(client.read_element(), ldap::bind_response(4, ldap::code::protocol_error));
    client.send(ldap::bind_request(5, 2, "", ""));
    EXPECT_EQ(client.read_element(), ldap::bind_response(5, ldap::code::success));
    server.finish();
}

TEST(FakeLdapServer, ServesInterleavedConnectionsInScriptOrder) {
    Bytes search_done = ldap::search_done(2, ldap::code::success);
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk);
    server.accept().expect(kBind).reply(kBindOk);
    server.on_connection(0).expect_request(ldap::op::search_request, 2).reply(search_done);
    server.start();

    RawClient first(server.port());
    first.send(kBind);
    ASSERT_EQ(first.read_element(), kBindOk);
    // The first connection's search arrives before the second connection is served.
    ldap::Search s;
    s.base = "o=example";
    s.filter = ldap::filter::present("objectclass");
    first.send(ldap::search_request(2, s));
    RawClient second(server.port());
    second.send(kBind);
    EXPECT_EQ(second.read_element(), kBindOk);
    EXPECT_EQ(first.read_element(), search_done);
    server.finish();
    EXPECT_EQ(server.connections_accepted(), 2u);
    EXPECT_TRUE(server.failures().empty()) << all_failures(server);
}

TEST(FakeLdapServer, ObservesUnbindBeforeClose) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk).expect_close();
    server.accept().expect(kBind).reply(kBindOk).expect_close();
    server.start();
    bind_and_unbind(server.port());
    {
        RawClient rude(server.port());
        bind_client(rude);
    }
    server.finish();
    EXPECT_TRUE(server.unbind_received(0));
    EXPECT_TRUE(server.unbind_before_close(0));
    EXPECT_TRUE(server.client_closed(1));
    EXPECT_FALSE(server.unbind_received(1));
    EXPECT_FALSE(server.unbind_before_close(1));
}

TEST(FakeLdapServer, ReportsMismatchWithOffsetAndBothDumps) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk);
    server.start();
    RawClient client(server.port());
    Bytes wrong = kBind;
    wrong[5] = 0x61;
    client.send(wrong);
    // The script aborts: the client is not left waiting for an answer.
    EXPECT_TRUE(client.wait_closed());
    EXPECT_NONFATAL_FAILURE(server.finish(), "offset 5");
    const std::string text = all_failures(server);
    EXPECT_NE(text.find("expected (38 bytes) " + to_hex(kBind)), std::string::npos) << text;
    EXPECT_NE(text.find("received (38 bytes) " + to_hex(wrong)), std::string::npos) << text;
}

TEST(FakeLdapServer, ReportsRequestNotMatchingPredicate) {
    FakeLdapServer server;
    server.accept().expect_request(ldap::op::bind_request, 1);
    server.start();
    RawClient client(server.port());
    client.send(ldap::unbind_request(1));
    EXPECT_TRUE(client.wait_closed());
    EXPECT_NONFATAL_FAILURE(server.finish(), "does not match");
}

TEST(FakeLdapServer, ReportsUnexpectedExtraRequestButNotTrailingUnbind) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk).expect_close();
    server.accept().expect(kBind).reply(kBindOk);
    server.start();
    bind_and_unbind(server.port());
    RawClient chatty(server.port());
    bind_client(chatty);
    chatty.send(ldap::delete_request(2, "cn=x"));
    chatty.close();
    EXPECT_NONFATAL_FAILURE(server.finish(), "unexpected request on connection 1, id 2, op 0x4a");
    EXPECT_EQ(server.failures().size(), 1u) << all_failures(server);
}

TEST(FakeLdapServer, ReportsMissingRequestWhenTheClientCloses) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk).expect_request(ldap::op::search_request);
    server.start();
    {
        RawClient client(server.port());
        bind_client(client);
    }
    EXPECT_NONFATAL_FAILURE(server.finish(), "the client closed the connection instead");
}

TEST(FakeLdapServer, ReportsStepsNotReached) {
    FakeLdapServer server;
    server.accept().expect(kBind);
    server.start();
    EXPECT_NONFATAL_FAILURE(server.finish(20ms), "not reached: step 2 of 2");
    EXPECT_NE(all_failures(server).find("step 1 of 2 (accept connection 0) was still running"), std::string::npos);
}

TEST(FakeLdapServer, StepTimeoutClosesAStalledConnection) {
    FakeLdapServer server;
    server.step_timeout(50ms).accept().expect(kBind).reply(kBindOk);
    server.start();
    RawClient client(server.port());
    EXPECT_TRUE(client.wait_closed());
    EXPECT_NONFATAL_FAILURE(server.finish(), "waited longer than 50 ms");
}

TEST(FakeLdapServer, ReportsUnexpectedConnection) {
    FakeLdapServer server;
    server.accept().expect(kBind).reply(kBindOk);
    server.start();
    RawClient first(server.port());
    bind_client(first);
    RawClient second(server.port());
    EXPECT_NONFATAL_FAILURE(server.finish(), "connection 1 was not expected");
}

TEST(FakeLdapServer, ReportsBadFramingAndTruncatedRequests) {
    {
        FakeLdapServer server;
        server.accept().expect(kBind);
        server.start();
        RawClient client(server.port());
        client.send(ber::indefinite(0x30, ber::integer(1)));
        EXPECT_TRUE(client.wait_closed());
        EXPECT_NONFATAL_FAILURE(server.finish(), "not a BER element (indefinite length)");
    }
    {
        FakeLdapServer server;
        server.accept().expect(kBind);
        server.start();
        {
            RawClient client(server.port());
            client.send(std::span(kBind).first(10));
        }
        EXPECT_NONFATAL_FAILURE(server.finish(), "closed in the middle of a request");
    }
}

TEST(FakeLdapServer, DestructorReportsAnUnfinishedScript) {
    EXPECT_NONFATAL_FAILURE(
        {
            FakeLdapServer server;
            server.step_timeout(20ms).accept();
            server.start();
        },
        "waited longer than 20 ms");
    EXPECT_NONFATAL_FAILURE(
        {
            FakeLdapServer server;
            server.accept();
        },
        "never started");
}

TEST(FakeLdapServer, RejectsMalformedScripts) {
    FakeLdapServer server;
    EXPECT_THROW(server.expect(kBind), std::logic_error);  // no connection yet
    EXPECT_THROW(server.on_connection(0), std::logic_error);
    server.accept();
    EXPECT_THROW(server.reply_in_pieces(kBindOk, {5, 2}, 1ms), std::logic_error);
    EXPECT_THROW(server.reply_in_pieces(kBindOk, {99}, 1ms), std::logic_error);
    server.hold();
    server.start();
    EXPECT_THROW(server.reply(kBindOk), std::logic_error);
    RawClient client(server.port());
    server.finish();
}

}  // namespace
}  // namespace qortest

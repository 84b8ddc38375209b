// Allocation-failure sweeps: each operation runs with its 1st, 2nd, ... pool allocation failing
// until it completes untouched. Every run must end cleanly: a failure code rather than a crash,
// and, once the operation's request has been abandoned, exactly the blocks the session held
// before (plus the abandoned-id list).
#include <string>

#include "engine_support.h"

namespace enginetest {
namespace {

constexpr long kMaxSweep = 400;

class SweepTest : public EngineTest {};

std::vector<Bytes> answer_directly(const qortest::ReceivedRequest &request) {
    switch (request.op) {
    case ldap::op::bind_request: return {ldap::bind_response(request.id, 0)};
    case ldap::op::delete_request: return {ldap::delete_response(request.id, 0)};
    case ldap::op::search_request:
        return {ldap::search_entry(request.id, "cn=a,o=example", {{"cn", {"a"}}, {"mail", {"a@x", "b@x"}}}),
                ldap::search_entry(request.id, "cn=b,o=example", {}),
                ldap::search_done(request.id, 0, "", "")};
    default: return {};
    }
}

// A session to `port` whose read-ahead buffer already exists (one delete answered).
LDAP *primed_session(std::uint16_t port) {
    LDAP *ld = open_session(port, 2000);
    if (ld == nullptr) return nullptr;
    int32_t id = send_delete(ld, "cn=prime");
    LDAPMessage *result = nullptr;
    EXPECT_EQ(ldap_result(ld, id, 1, 0, &result), LDAP_RES_DELETE);
    ldap_msgfree(ld->ld_pool, result);
    return ld;
}

bool is_failure_code(int32_t code) {
    return code >= LDAP_SERVER_DOWN && code <= LDAP_NO_MEMORY;
}

// Releases the error texts the last result left in the session, as the next directory
// operation would.
void clear_error_texts(LDAP *ld) {
    ld->ld_pool->release(ld->ld_pool, ld->ld_error, 0, 4);
    ld->ld_pool->release(ld->ld_pool, ld->ld_matched, 0, 4);
    ld->ld_error = ld->ld_matched = nullptr;
}

// Abandons `id` without fault injection and checks the session holds what it held before
// (error texts aside: a bind on a referral connection leaves them).
void expect_released(LDAP *ld, int32_t id, long blocks_before, long n) {
    clear_error_texts(ld);
    EXPECT_EQ(ldap_abandon(ld, id), 0) << "run " << n;
    EXPECT_EQ(pending_count(ld), 0) << "run " << n;
    EXPECT_EQ(ld->ld_queued_responses, nullptr) << "run " << n;
    EXPECT_EQ(connection_count(ld), 1) << "run " << n;
    EXPECT_EQ(ld->ld_default_conn->cn_use_count, 1) << "run " << n;
    EXPECT_EQ(live_blocks(ld), blocks_before + 1) << "run " << n << ": blocks left behind";
}

TEST_F(SweepTest, Open) {
    AnsweringServer server(answer_directly);
    long pools = qorhost_live_pools();
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = nullptr;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            ld = ldap_open("127.0.0.1", server.port());
            injected = fail.injected();
        }
        if (ld == nullptr) {
            EXPECT_EQ(qorhost_live_pools(), pools) << "run " << n;
            EXPECT_GT(injected, 0) << "run " << n;
            continue;
        }
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_GT(n, 5) << "opening allocates more than that";
            return;
        }
    }
    FAIL() << "open never completed";
}

TEST_F(SweepTest, Bind) {
    AnsweringServer server(answer_directly);
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = primed_session(server.port());
        ASSERT_NE(ld, nullptr);
        long before = live_blocks(ld);
        int32_t code = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            code = ldap_simple_bind_s(ld, "cn=admin,o=example", "secret");
            injected = fail.injected();
        }
        if (code != 0) {
            EXPECT_TRUE(code == LDAP_PARAM_ERROR || is_failure_code(code)) << "run " << n << ": " << code;
            EXPECT_TRUE(is_failure_code(ld->ld_errno)) << "run " << n << ": ld_errno " << ld->ld_errno;
        }
        expect_released(ld, 2, before, n);
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_EQ(code, 0);
            EXPECT_GT(n, 5) << "the bind allocates more than that";
            return;
        }
    }
    FAIL() << "bind never completed";
}

TEST_F(SweepTest, Send) {
    AnsweringServer server(answer_directly);
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = primed_session(server.port());
        ASSERT_NE(ld, nullptr);
        long before = live_blocks(ld);
        int32_t id = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            id = send_search(ld, "o=example");
            injected = fail.injected();
        }
        if (id == -1) {
            EXPECT_TRUE(is_failure_code(ld->ld_errno)) << "run " << n;
            EXPECT_EQ(pending_count(ld), 0) << "run " << n;
            EXPECT_EQ(live_blocks(ld), before) << "run " << n;
        } else {
            expect_released(ld, id, before, n);
        }
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_GT(n, 3) << "sending allocates more than that";
            return;
        }
    }
    FAIL() << "send never completed";
}

TEST_F(SweepTest, Read) {
    AnsweringServer server(answer_directly);
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = primed_session(server.port());
        ASSERT_NE(ld, nullptr);
        long before = live_blocks(ld);
        int32_t id = send_search(ld, "o=example");
        ASSERT_EQ(id, 2);
        LDAPMessage *chain = nullptr;
        int32_t type = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            type = ldap_result(ld, id, 1, 0, &chain);
            injected = fail.injected();
        }
        if (type == LDAP_RES_SEARCH_RESULT) {
            EXPECT_EQ(ldap_count_entries(ld, chain), 2) << "run " << n;
            ldap_msgfree(ld->ld_pool, chain);
        } else {
            EXPECT_EQ(type, -1) << "run " << n;
            EXPECT_EQ(chain, nullptr);
            EXPECT_TRUE(is_failure_code(ld->ld_errno)) << "run " << n << ": ld_errno " << ld->ld_errno;
        }
        expect_released(ld, id, before, n);
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_EQ(type, LDAP_RES_SEARCH_RESULT);
            EXPECT_GT(n, 8) << "reading three messages allocates more than that";
            return;
        }
    }
    FAIL() << "read never completed";
}

TEST_F(SweepTest, Chase) {
    AnsweringServer referred(answer_directly);
    std::string referral = "Referral:\nldap://127.0.0.1:" + std::to_string(referred.port()) + "/o=b??sub\nnot a url";
    AnsweringServer server([&](const qortest::ReceivedRequest &request) -> std::vector<Bytes> {
        if (request.op == ldap::op::search_request) return {ldap::search_done(request.id, 9, "", referral)};
        return answer_directly(request);
    });
    for (long n = 1; n <= kMaxSweep; ++n) {
        LDAP *ld = primed_session(server.port());
        ASSERT_NE(ld, nullptr);
        long before = live_blocks(ld);
        int32_t id = send_search(ld, "o=a");
        ASSERT_EQ(id, 2);
        LDAPMessage *chain = nullptr;
        int32_t type = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(n);
            type = ldap_result(ld, id, 1, 300, &chain);
            injected = fail.injected();
        }
        if (type == LDAP_RES_SEARCH_RESULT) {
            ldap_msgfree(ld->ld_pool, chain);
        } else {
            EXPECT_LE(type, 0) << "run " << n;
            EXPECT_TRUE(is_failure_code(ld->ld_errno)) << "run " << n << ": ld_errno " << ld->ld_errno;
        }
        expect_released(ld, id, before, n);
        ldap_unbind(ld);
        if (injected == 0) {
            EXPECT_EQ(type, LDAP_RES_SEARCH_RESULT);
            EXPECT_GT(n, 30) << "chasing allocates more than that";
            return;
        }
    }
    FAIL() << "chase never completed";
}

}  // namespace
}  // namespace enginetest

// Add, modify, delete, compare and search against the scripted server: the exact bytes of every
// request (written by hand from the message layouts), the codes the synchronous forms return,
// time-outs, message ids consumed by failed encodings, the filter-writer search, and allocation
// faults while a request is built and sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/ber_builder.h"
#include "tests/support/fake_ldap_server.h"
#include "tests/support/ldap_messages.h"
#include "tests/support/runtime.h"

namespace {

using namespace std::chrono_literals;
using qortest::Bytes;
using qortest::FakeLdapServer;
namespace ldap = qortest::ldap;

class OperationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }

    void TearDown() override {
        qorhost_fail_reset();
        if (ld_ != nullptr) ldap_unbind(ld_);
        server_.finish();
    }

    // Starts the script and opens a session to the server with a 5 s time limit.
    void open_session() {
        server_.start();
        ld_ = ldap_open("127.0.0.1", server_.port());
        ASSERT_NE(ld_, nullptr);
        ld_->ld_timelimit = 5000;
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    FakeLdapServer server_;
    LDAP *ld_ = nullptr;
};

char *text(const char *literal) { return const_cast<char *>(literal); }

TEST_F(OperationsTest, AddSendsEachRecordAsTypeAndValueSet) {
    server_.accept()
        .expect_hex("30 3a 02 01 01 68 35 04 08 63 6e 3d 78 2c 6f 3d 74"
                    " 30 29"
                    "  30 1c 04 0b 6f 62 6a 65 63 74 43 6c 61 73 73 31 0d 04 03 74 6f 70 04 06 70 65 72 73 6f 6e"
                    "  30 09 04 02 63 6e 31 03 04 01 78")
        .reply(ldap::add_response(1, ldap::code::success))
        // A record with LDAP_MOD_BVALUES sends berval values; its operation is not sent.
        .expect_hex("30 17 02 01 02 68 12 04 03 6f 3d 74 30 0b 30 09 04 01 62 31 04 04 02 00 ff")
        .reply(ldap::add_response(2, ldap::code::already_exists, "", "Already exists"))
        // An empty attribute list gives an empty SEQUENCE.
        .expect_hex("30 0c 02 01 03 68 07 04 03 6f 3d 74 30 00")
        .reply(ldap::add_response(3, ldap::code::success));
    open_session();

    char *classes[] = {text("top"), text("person"), nullptr};
    char *names[] = {text("x")};
    char *name_values[] = {names[0], nullptr};
    LDAPMod object_class{LDAP_MOD_ADD, text("objectClass"), {classes}};
    LDAPMod cn{LDAP_MOD_ADD, text("cn"), {name_values}};
    LDAPMod *attrs[] = {&object_class, &cn, nullptr};
    EXPECT_EQ(ldap_add_s(ld_, "cn=x,o=t", attrs), LDAP_SUCCESS);
    EXPECT_EQ(ld_->ld_errno, LDAP_SUCCESS);

    char bytes[] = {'\x00', '\xff'};
    berval value{2, bytes};
    berval *values[] = {&value, nullptr};
    LDAPMod binary{LDAP_MOD_BVALUES | LDAP_MOD_REPLACE, text("b"), {}};
    binary.mod_bvalues = values;
    LDAPMod *binary_attrs[] = {&binary, nullptr};
    EXPECT_EQ(ldap_add_s(ld_, "o=t", binary_attrs), 68);
    EXPECT_EQ(ld_->ld_errno, 68);
    ASSERT_NE(ld_->ld_error, nullptr);
    EXPECT_STREQ(ld_->ld_error, "Already exists");

    LDAPMod *none[] = {nullptr};
    EXPECT_EQ(ldap_add_s(ld_, "o=t", none), LDAP_SUCCESS);
}

TEST_F(OperationsTest, ModifySendsOperationsWithoutTheBvaluesFlag) {
    server_.accept()
        .expect_hex("30 56 02 01 01 66 51 04 03 6f 3d 74"
                    " 30 4a"
                    "  30 19 0a 01 02 30 14 04 0b 64 65 73 63 72 69 70 74 69 6f 6e 31 05 04 03 61 20 62"
                    "  30 0d 0a 01 01 30 08 04 04 6d 61 69 6c 31 00"
                    "  30 0e 0a 01 02 30 09 04 01 70 31 04 04 02 00 01"
                    "  30 0e 0a 02 01 00 30 08 04 01 74 31 03 04 01 76")
        .reply(ldap::modify_response(1, ldap::code::success))
        .expect_hex("30 0c 02 01 02 66 07 04 03 6f 3d 74 30 00")
        .reply(ldap::modify_response(2, ldap::code::no_such_object, "o=t", ""));
    open_session();

    char *description[] = {text("a b"), nullptr};
    LDAPMod replace{LDAP_MOD_REPLACE, text("description"), {description}};
    LDAPMod remove{LDAP_MOD_DELETE, text("mail"), {nullptr}};
    char raw[] = {'\x00', '\x01'};
    berval photo{2, raw};
    berval *photos[] = {&photo, nullptr};
    LDAPMod binary{0x82, text("p"), {}};
    binary.mod_bvalues = photos;
    // Bit 7 of the low byte clear: string values, and the operation goes out unmasked.
    char *odd_values[] = {text("v"), nullptr};
    LDAPMod odd{0x100, text("t"), {odd_values}};
    LDAPMod *mods[] = {&replace, &remove, &binary, &odd, nullptr};
    EXPECT_EQ(ldap_modify_s(ld_, "o=t", mods), LDAP_SUCCESS);

    LDAPMod *none[] = {nullptr};
    EXPECT_EQ(ldap_modify_s(ld_, "o=t", none), LDAP_NO_SUCH_OBJECT);
    ASSERT_NE(ld_->ld_matched, nullptr);
    EXPECT_STREQ(ld_->ld_matched, "o=t");
}

TEST_F(OperationsTest, DeleteCarriesTheDnAsTheRequestItself) {
    server_.accept()
        .expect_hex("30 0d 02 01 01 4a 08 63 6e 3d 78 2c 6f 3d 74")
        .reply(ldap::delete_response(1, ldap::code::no_such_object, "o=t", "gone"))
        .expect_hex("30 0d 02 01 02 4a 08 63 6e 3d 79 2c 6f 3d 74")
        .reply(ldap::delete_response(2, ldap::code::success));
    open_session();
    EXPECT_EQ(ldap_delete_s(ld_, "cn=x,o=t"), LDAP_NO_SUCH_OBJECT);
    ASSERT_NE(ld_->ld_matched, nullptr);
    EXPECT_STREQ(ld_->ld_matched, "o=t");
    ASSERT_NE(ld_->ld_error, nullptr);
    EXPECT_STREQ(ld_->ld_error, "gone");
    EXPECT_EQ(ldap_delete_s(ld_, "cn=y,o=t"), LDAP_SUCCESS);
}

TEST_F(OperationsTest, CompareEndsEachSequenceWithNull) {
    const char *request = "30 19 02 01 %02x 6e 12 04 03 6f 3d 74 30 09 04 02 63 6e 04 01 78 05 00 05 00 05 00";
    char first[128];
    char second[128];
    std::snprintf(first, sizeof first, request, 1);
    std::snprintf(second, sizeof second, request, 2);
    server_.accept()
        .expect_hex(first)
        .reply(ldap::compare_response(1, ldap::code::compare_true))
        .expect_hex(second)
        .reply(ldap::compare_response(2, ldap::code::compare_false));
    open_session();
    EXPECT_EQ(ldap_compare_s(ld_, "o=t", "cn", "x"), LDAP_COMPARE_TRUE);
    EXPECT_EQ(ldap_compare_s(ld_, "o=t", "cn", "x"), LDAP_COMPARE_FALSE);
    EXPECT_EQ(ld_->ld_errno, LDAP_COMPARE_FALSE);
}

TEST_F(OperationsTest, SearchDeliversEntriesWithTheFinalCode) {
    server_.accept()
        .expect_hex("30 43 02 01 01 63 3e 04 03 6f 3d 74 0a 01 01 0a 01 00 02 01 00 02 01 05 01 01 00"
                    " a0 22"
                    "  a3 15 04 0b 6f 62 6a 65 63 74 63 6c 61 73 73 04 06 70 65 72 73 6f 6e"
                    "  a4 09 04 02 63 6e 30 03 80 01 61"
                    " 30 04 04 02 63 6e")
        .reply({ldap::search_entry(1, "cn=a1,o=t", {{"cn", {"a1"}}}),
                ldap::search_entry(1, "cn=a2,o=t", {{"cn", {"a2"}}}),
                ldap::search_done(1, ldap::code::size_limit_exceeded)});
    open_session();

    char *attrs[] = {text("cn"), nullptr};
    LDAPMessage *result = nullptr;
    EXPECT_EQ(ldap_search_s(ld_, "o=t", LDAP_SCOPE_ONELEVEL, "(&(objectclass=person)(cn=a*))", attrs, 0, &result),
              LDAP_SIZELIMIT_EXCEEDED);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ld_->ld_errno, LDAP_SIZELIMIT_EXCEEDED);
    EXPECT_EQ(ldap_count_entries(ld_, result), 2);
    char *dn = ldap_get_dn(ld_, ldap_first_entry(ld_, result));
    ASSERT_NE(dn, nullptr);
    EXPECT_STREQ(dn, "cn=a1,o=t");
    ld_->ld_pool->release(ld_->ld_pool, dn, 0, 4);
    EXPECT_EQ(ldap_msgfree(ld_->ld_pool, result), LDAP_RES_SEARCH_RESULT);
}

// A search without a filter element would make the server drop the connection: an empty or blank
// filter is refused before anything is sent, and the session stays usable.
TEST_F(OperationsTest, EmptyFilterIsRefusedBeforeAnythingIsSent) {
    server_.accept()
        .expect_request(ldap::op::search_request, 3)
        .reply(ldap::search_done(3, ldap::code::success));
    open_session();
    LDAPMessage *result = reinterpret_cast<LDAPMessage *>(1);
    EXPECT_EQ(ldap_search_s(ld_, nullptr, LDAP_SCOPE_BASE, "", nullptr, 0, &result), LDAP_FILTER_ERROR);
    EXPECT_EQ(ldap_search_s(ld_, nullptr, LDAP_SCOPE_BASE, " \t ", nullptr, 0, &result), LDAP_FILTER_ERROR);
    EXPECT_EQ(ldap_search_s(ld_, nullptr, LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0, &result), LDAP_SUCCESS);
    ldap_msgfree(ld_->ld_pool, result);
}

TEST_F(OperationsTest, AsynchronousFormsReturnIdsAndResultsComeById) {
    server_.accept()
        .expect_request(ldap::op::delete_request, 1)
        .expect_request(ldap::op::compare_request, 2)
        .expect_request(ldap::op::search_request, 3)
        .reply({ldap::compare_response(2, ldap::code::compare_true), ldap::search_done(3, ldap::code::success),
                ldap::delete_response(1, ldap::code::success)});
    open_session();
    EXPECT_EQ(ldap_delete(ld_, "cn=x,o=t"), 1);
    EXPECT_EQ(ldap_compare(ld_, "o=t", "cn", "x"), 2);
    EXPECT_EQ(ldap_search(ld_, "o=t", LDAP_SCOPE_BASE, "(objectclass=*)", nullptr, 0), 3);

    LDAPMessage *message = nullptr;
    EXPECT_EQ(ldap_result(ld_, 1, 1, 0, &message), LDAP_RES_DELETE);
    EXPECT_EQ(ldap_result2error(ld_, message, 1), LDAP_SUCCESS);
    EXPECT_EQ(ldap_result(ld_, 3, 1, 0, &message), LDAP_RES_SEARCH_RESULT);
    EXPECT_EQ(ldap_result2error(ld_, message, 1), LDAP_SUCCESS);
    EXPECT_EQ(ldap_result(ld_, 2, 1, 0, &message), LDAP_RES_COMPARE);
    EXPECT_EQ(ldap_result2error(ld_, message, 1), LDAP_COMPARE_TRUE);
}

TEST_F(OperationsTest, TimeOutsAnswer89WithTimeoutInErrno) {
    server_.accept().hold();
    open_session();
    ld_->ld_timelimit = 150;

    LDAPMessage *result = reinterpret_cast<LDAPMessage *>(1);
    EXPECT_EQ(ldap_search_s(ld_, "o=t", LDAP_SCOPE_BASE, "(cn=x)", nullptr, 0, &result), LDAP_PARAM_ERROR);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(ld_->ld_errno, LDAP_TIMEOUT);

    LDAPMod *none[] = {nullptr};
    EXPECT_EQ(ldap_add_s(ld_, "o=t", none), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, LDAP_TIMEOUT);
    EXPECT_EQ(ldap_modify_s(ld_, "o=t", none), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, LDAP_TIMEOUT);
    EXPECT_EQ(ldap_delete_s(ld_, "o=t"), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, LDAP_TIMEOUT);
    EXPECT_EQ(ldap_compare_s(ld_, "o=t", "cn", "x"), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, LDAP_TIMEOUT);
    EXPECT_EQ(ld_->ld_last_msgid, 5);
}

TEST_F(OperationsTest, FailedEncodingsSendNothingAndConsumeTheirIds) {
    server_.accept()
        .expect_hex("30 0d 02 01 04 4a 08 63 6e 3d 78 2c 6f 3d 74")
        .reply(ldap::delete_response(4, ldap::code::success))
        .expect_request(ldap::op::compare_request, 6)
        .reply(ldap::compare_response(6, ldap::code::compare_true));
    open_session();
    const long before = live_blocks();

    // A berval with a negative length cannot be encoded.
    berval broken{-1, nullptr};
    berval *values[] = {&broken, nullptr};
    LDAPMod bad{LDAP_MOD_ADD | LDAP_MOD_BVALUES, text("b"), {}};
    bad.mod_bvalues = values;
    LDAPMod *mods[] = {&bad, nullptr};
    EXPECT_EQ(ldap_add(ld_, "o=t", mods), -1);
    EXPECT_EQ(ld_->ld_errno, LDAP_ENCODING_ERROR);
    EXPECT_EQ(ldap_modify_s(ld_, "o=t", mods), LDAP_ENCODING_ERROR);
    EXPECT_EQ(ldap_search(ld_, "o=t", LDAP_SCOPE_BASE, "(cn<x)", nullptr, 0), -1);
    EXPECT_EQ(ld_->ld_errno, LDAP_FILTER_ERROR);
    EXPECT_EQ(ld_->ld_last_msgid, 3);
    EXPECT_EQ(live_blocks(), before);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr);

    EXPECT_EQ(ldap_delete_s(ld_, "cn=x,o=t"), LDAP_SUCCESS);
    LDAPMessage *untouched = reinterpret_cast<LDAPMessage *>(1);
    EXPECT_EQ(ldap_search_s(ld_, "o=t", LDAP_SCOPE_BASE, "(a=1))", nullptr, 0, &untouched), LDAP_FILTER_ERROR);
    EXPECT_EQ(untouched, reinterpret_cast<LDAPMessage *>(1));
    EXPECT_EQ(ldap_compare_s(ld_, "o=t", "cn", "x"), LDAP_COMPARE_TRUE);
}

// A filter writer for tests: an equality on "member" with the context as the raw value.
int32_t member_equals(BerElement *ber, const void *context) {
    return put_equality_filter(ber, "member", static_cast<const char *>(context)) == 0 ? 0 : LDAP_FILTER_ERROR;
}

int32_t out_of_memory(BerElement *, const void *) { return LDAP_NO_MEMORY; }
int32_t plain_failure(BerElement *, const void *) { return -1; }

TEST_F(OperationsTest, SearchWithFilterWriterSharesTheRequestAndWait) {
    server_.accept()
        .expect_hex("30 34 02 01 03 63 2f 04 03 6f 3d 74 0a 01 02 0a 01 00 02 01 00 02 01 05 01 01 00"
                    " a3 17 04 06 6d 65 6d 62 65 72 04 0d 63 6e 3d 61 2a 5c 28 62 29 2c 6f 3d 78"
                    " 30 00")
        .reply({ldap::search_entry(3, "cn=g,o=t", {}), ldap::search_done(3, ldap::code::success)});
    open_session();

    LDAPMessage *result = reinterpret_cast<LDAPMessage *>(1);
    EXPECT_EQ(search_with_filter_s(ld_, "o=t", 2, out_of_memory, nullptr, nullptr, 0, &result), LDAP_NO_MEMORY);
    EXPECT_EQ(ld_->ld_errno, LDAP_NO_MEMORY);
    EXPECT_EQ(search_with_filter_s(ld_, "o=t", 2, plain_failure, nullptr, nullptr, 0, &result), LDAP_FILTER_ERROR);
    EXPECT_EQ(result, reinterpret_cast<LDAPMessage *>(1));
    // Missing writer or result place: refused before an id is taken.
    EXPECT_EQ(search_with_filter_s(ld_, "o=t", 2, nullptr, nullptr, nullptr, 0, &result), LDAP_PARAM_ERROR);
    EXPECT_EQ(search_with_filter_s(ld_, "o=t", 2, member_equals, "x", nullptr, 0, nullptr), LDAP_PARAM_ERROR);
    EXPECT_EQ(ldap_search_s(ld_, "o=t", 2, "(cn=x)", nullptr, 0, nullptr), LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_errno, LDAP_PARAM_ERROR);
    EXPECT_EQ(ld_->ld_last_msgid, 2);

    // "*", "\" and parentheses in the value reach the server as they are.
    EXPECT_EQ(search_with_filter_s(ld_, "o=t", 2, member_equals, "cn=a*\\(b),o=x", nullptr, 0, &result), LDAP_SUCCESS);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ldap_count_entries(ld_, result), 1);
    ldap_msgfree(ld_->ld_pool, result);
}

// Every allocation of building and sending each request fails in turn: the call answers -1 with
// a clean code and leaves nothing behind, or it answers the id and the request is pending.
TEST_F(OperationsTest, AllocationFailuresWhileSendingLeaveNothingBehind) {
    server_.accept().hold();
    open_session();

    char *values[] = {text("v"), nullptr};
    LDAPMod mod{LDAP_MOD_REPLACE, text("description"), {values}};
    LDAPMod *mods[] = {&mod, nullptr};
    char *attrs[] = {text("cn"), nullptr};
    struct Operation {
        const char *name;
        std::function<int32_t()> call;
    };
    const std::vector<Operation> operations = {
        {"add", [&] { return ldap_add(ld_, "cn=x,o=t", mods); }},
        {"modify", [&] { return ldap_modify(ld_, "cn=x,o=t", mods); }},
        {"delete", [&] { return ldap_delete(ld_, "cn=x,o=t"); }},
        {"compare", [&] { return ldap_compare(ld_, "cn=x,o=t", "cn", "x"); }},
        {"search", [&] { return ldap_search(ld_, "o=t", 2, "(&(cn=x*)(!(sn=y)))", attrs, 0); }},
    };
    for (const Operation &operation : operations) {
        bool completed = false;
        for (long nth = 1; nth < 60 && !completed; ++nth) {
            const long before = live_blocks();
            const int32_t last_id = ld_->ld_last_msgid;
            int32_t msgid = 0;
            long injected = 0;
            {
                qortest::FailAllocations fail(nth);
                msgid = operation.call();
                injected = fail.injected();
            }
            if (msgid == -1) {
                EXPECT_NE(injected, 0) << operation.name;
                const int32_t code = ld_->ld_errno;
                EXPECT_TRUE(code == LDAP_NO_MEMORY || code == LDAP_ENCODING_ERROR || code == LDAP_FILTER_ERROR)
                    << operation.name << ", allocation " << nth << ": code " << code;
                EXPECT_EQ(live_blocks(), before) << operation.name << ", allocation " << nth;
                EXPECT_EQ(ld_->ld_pending_requests, nullptr) << operation.name << ", allocation " << nth;
                EXPECT_LE(ld_->ld_last_msgid, last_id + 1) << operation.name;
            } else {
                EXPECT_EQ(msgid, ld_->ld_last_msgid) << operation.name;
                ASSERT_NE(ld_->ld_pending_requests, nullptr);
                // The server never answers: take the request back so the next round starts clean.
                EXPECT_EQ(ldap_abandon(ld_, msgid), 0);
                completed = injected == 0;
            }
        }
        EXPECT_TRUE(completed) << operation.name;
    }
}

}  // namespace

// Search requests built without a server: the exact layout of header, filter and attribute
// list, the codes of failed builds, the message id a failed build consumes, and allocation
// faults. Expected bytes are written by hand from the request layout:
//   30 { 02 id, 63 { 04 base, 0a scope, 0a deref, 02 sizelimit, 02 timelimit, 01 attrsonly,
//        filter..., 30 { 04 attribute... } } }
#include <gtest/gtest.h>

#include <string>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/ber_builder.h"
#include "tests/support/runtime.h"

namespace {

using qortest::Bytes;
using qortest::hex;
using qortest::to_hex;

class SearchRequestTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }

    void SetUp() override {
        ld_ = ldap_init("127.0.0.1", 389);
        ASSERT_NE(ld_, nullptr);
        baseline_ = live_blocks();
    }

    void TearDown() override {
        qorhost_fail_reset();
        EXPECT_EQ(live_blocks(), baseline_) << "the test left blocks in the session pool";
        ldap_ld_free(ld_, 0);
    }

    long live_blocks() const { return qortest::pool_stats(ld_->ld_pool).live_blocks; }

    // The bytes of a built request; the element is released.
    Bytes take(BerElement *ber) {
        Bytes bytes(ber->be_start, ber->be_pos);
        berfree(ber, 1);
        return bytes;
    }

    LDAP *ld_ = nullptr;
    long baseline_ = 0;
};

TEST_F(SearchRequestTest, HeaderFilterAndAttributesFollowTheLayout) {
    ld_->ld_sizelimit = 10;
    ld_->ld_timelimit = 5000;
    char cn[] = "cn";
    char mail[] = "mail";
    char *attrs[] = {cn, mail, nullptr};
    BerElement *ber = ldap_build_search_req(ld_, "o=t", LDAP_SCOPE_SUBTREE, "(cn=x)", attrs, 1);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(to_hex(take(ber)), to_hex(hex("30 2e 02 01 01 63 29"
                                            " 04 03 6f 3d 74"        // base
                                            " 0a 01 02"              // scope
                                            " 0a 01 00"              // deref
                                            " 02 01 0a"              // size limit
                                            " 02 01 05"              // time limit, in seconds
                                            " 01 01 ff"              // attributes only
                                            " a3 07 04 02 63 6e 04 01 78"
                                            " 30 0a 04 02 63 6e 04 04 6d 61 69 6c")));
    EXPECT_EQ(ld_->ld_last_msgid, 1);
}

TEST_F(SearchRequestTest, NullBaseAndNullAttributesGiveTheMinimalRequest) {
    const Bytes minimal = hex("30 1c 02 01 01 63 17 04 00 0a 01 00 0a 01 00 02 01 00 02 01 00 01 01 00 87 02 63 6e 30 00");
    BerElement *ber = ldap_build_search_req(ld_, nullptr, LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(to_hex(take(ber)), to_hex(minimal));
}

TEST_F(SearchRequestTest, TimeLimitGoesOutInWholeSecondsRoundedUp) {
    for (const auto &[milliseconds, seconds] : {std::pair{0, 0}, {-5, 0}, {1, 1}, {1000, 1}, {1001, 2}, {30000, 30}}) {
        ld_->ld_timelimit = milliseconds;
        BerElement *ber = ldap_build_search_req(ld_, "", LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0);
        ASSERT_NE(ber, nullptr);
        const Bytes bytes = take(ber);
        ASSERT_GE(bytes.size(), 21u);
        EXPECT_EQ(bytes[20], seconds) << milliseconds << " ms";   // 02 01 <seconds>
    }
}

TEST_F(SearchRequestTest, ScopeDerefAndSeveralTopLevelFiltersAreSentAsGiven) {
    ld_->ld_deref = 3;
    BerElement *ber = ldap_build_search_req(ld_, "", 7, "(a=1)(b=*)", nullptr, 0);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(to_hex(take(ber)), to_hex(hex("30 23 02 01 01 63 1e 04 00 0a 01 07 0a 01 03 02 01 00 02 01 00 01 01 00"
                                            " a3 06 04 01 61 04 01 31 87 01 62 30 00")));
}

TEST_F(SearchRequestTest, BadFiltersGive87AndConsumeTheirIds) {
    int32_t expected_id = 0;
    // An empty or blank text names no filter: a request without one would make the server drop
    // the connection.
    for (const char *filter : std::initializer_list<const char *>{"(cn<m)", "(&(a=1)x)", "(a=1))", "(a=1", ")", "(cn)", "((a=1)", "(!(a=1)", "(:=x)", "(cn::=x)", "", "  ", nullptr}) {
        const char *shown = filter != nullptr ? filter : "(null)";
        ++expected_id;
        ld_->ld_errno = 0;
        EXPECT_EQ(ldap_build_search_req(ld_, "o=t", LDAP_SCOPE_SUBTREE, filter, nullptr, 0), nullptr) << shown;
        EXPECT_EQ(ld_->ld_errno, LDAP_FILTER_ERROR) << shown;
        EXPECT_EQ(ld_->ld_last_msgid, expected_id) << shown;
        EXPECT_EQ(live_blocks(), baseline_) << shown;
    }
    // The next request carries the id after the last failed one.
    BerElement *ber = ldap_build_search_req(ld_, "", LDAP_SCOPE_BASE, "(cn=*)", nullptr, 0);
    ASSERT_NE(ber, nullptr);
    const Bytes bytes = take(ber);
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(bytes[4], expected_id + 1);
}

// Escaped bytes are the directory's bytes: they pass no translation, while the text around them
// is translated from the host's encoding like any string.
TEST_F(SearchRequestTest, EscapedBytesGoOutAsWrittenWhateverTheHostEncoding) {
    // "(cn=Jü\c3\bc)" in ISO-8859-1 and in UTF-8: both ü go out as c3 bc.
    const Bytes expected = hex("30 25 02 01 01 63 20 04 00 0a 01 00 0a 01 00 02 01 00 02 01 00 01 01 00"
                               " a3 0b 04 02 63 6e 04 05 4a c3 bc c3 bc 30 00");
    for (const auto &[encoding, filter] : {std::pair{1, "(cn=J\xfc\\c3\\bc)"}, {20, "(cn=J\xc3\xbc\\c3\\bc)"}}) {
        ld_->ld_last_msgid = 0;
        ASSERT_EQ(qorhost_set_encoding(encoding), 0);
        BerElement *ber = ldap_build_search_req(ld_, nullptr, LDAP_SCOPE_BASE, filter, nullptr, 0);
        qorhost_set_encoding(20);
        ASSERT_NE(ber, nullptr) << "encoding " << encoding;
        EXPECT_EQ(to_hex(take(ber)), to_hex(expected)) << "encoding " << encoding;
    }
}

// A failed copy of the filter or of an item ends the build with 90, never with 87, and never
// carries on. The session's translators are switched off and the requests fit the element's
// first buffer, so the codec allocates nothing inside the filter: every failure there is a
// failed copy.
TEST_F(SearchRequestTest, AllocationFailuresEndTheBuildWithoutLeaks) {
    ld_->ld_ber_options = 0x01;
    for (const char *filter : {"(cn=x)", "(&(a=1)(|(b=2)(c=*)))", "uid=a\\*"}) {
        bool completed = false;
        int copy_failures = 0;
        bool header_failed = false;
        for (long nth = 1; nth < 50 && !completed; ++nth) {
            BerElement *ber = nullptr;
            long injected = 0;
            {
                qortest::FailAllocations fail(nth);
                ber = ldap_build_search_req(ld_, "o=t", LDAP_SCOPE_SUBTREE, filter, nullptr, 0);
                injected = fail.injected();
            }
            if (injected == 0) {
                ASSERT_NE(ber, nullptr) << filter;
                take(ber);
                completed = true;
            } else {
                EXPECT_EQ(ber, nullptr) << filter << ": allocation " << nth << " failed, yet a request came out";
                if (ber != nullptr) take(ber);
                const int32_t code = ld_->ld_errno;
                EXPECT_TRUE(code == LDAP_NO_MEMORY || code == LDAP_ENCODING_ERROR)
                    << filter << ": allocation " << nth << " gave " << code;
                header_failed = header_failed || code == LDAP_ENCODING_ERROR;
                if (header_failed && code == LDAP_NO_MEMORY) ++copy_failures;
            }
            EXPECT_EQ(live_blocks(), baseline_) << filter << ": allocation " << nth;
        }
        EXPECT_TRUE(completed) << filter;
        EXPECT_GE(copy_failures, 2) << filter << ": the filter and item copies should each have failed once";
    }
}

}  // namespace

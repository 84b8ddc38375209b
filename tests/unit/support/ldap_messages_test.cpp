// LDAP message builders against bytes captured from a real server or written out by hand.
#include "tests/support/ldap_messages.h"

#include <gtest/gtest.h>

namespace qortest {
namespace {

TEST(LdapAnswers, MatchBytesCapturedFromSlapd) {
    EXPECT_EQ(ldap::bind_response(1, ldap::code::success), hex("30 0c 02 01 01 61 07 0a 01 00 04 00 04 00"));
    EXPECT_EQ(ldap::compare_response(2, ldap::code::compare_true), hex("30 0c 02 01 02 6f 07 0a 01 06 04 00 04 00"));
    EXPECT_EQ(ldap::compare_response(2, ldap::code::compare_false), hex("30 0c 02 01 02 6f 07 0a 01 05 04 00 04 00"));
    EXPECT_EQ(ldap::search_done(5, ldap::code::size_limit_exceeded), hex("30 0c 02 01 05 65 07 0a 01 04 04 00 04 00"));
}

TEST(LdapAnswers, ResultWithReferralField) {
    const std::string url = "ldap://127.0.0.1:3891/o=other??sub";
    Bytes done = ldap::search_done(4, ldap::code::referral, "", "", {url});
    EXPECT_EQ(done, concat({hex("30 32 02 01 04 65 2d 0a 01 0a 04 00 04 00 a3 24 04 22"), bytes_of(url)}));
}

TEST(LdapAnswers, ResultTextsAndOtherOperations) {
    EXPECT_EQ(ldap::bind_response(1, ldap::code::protocol_error, "o=x", "no"),
              hex("30 11 02 01 01 61 0c 0a 01 02 04 03 6f 3d 78 04 02 6e 6f"));
    EXPECT_EQ(ldap::add_response(3, 68)[5], 0x69);
    EXPECT_EQ(ldap::modify_response(3, 0)[5], 0x67);
    EXPECT_EQ(ldap::delete_response(3, 0)[5], 0x6b);
}

TEST(LdapAnswers, SearchEntryAndReference) {
    EXPECT_EQ(ldap::search_entry(2, "cn=a", {{"cn", {"a"}}}),
              hex("30 18 02 01 02 64 13 04 04 63 6e 3d 61 30 0b 30 09 04 02 63 6e 31 03 04 01 61"));
    EXPECT_EQ(ldap::search_entry(2, "", {{"x", {}}}), hex("30 10 02 01 02 64 0b 04 00 30 07 30 05 04 01 78 31 00"));
    EXPECT_EQ(ldap::search_reference(3, {"ldap://h/"}),
              concat({hex("30 10 02 01 03 73 0b 04 09"), bytes_of("ldap://h/")}));
}

TEST(LdapAnswers, IntermediateAndUnsolicitedNotice) {
    EXPECT_EQ(ldap::intermediate_response(7), hex("30 05 02 01 07 79 00"));
    EXPECT_EQ(ldap::intermediate_response(7, "1.2", "v"), hex("30 0d 02 01 07 79 08 80 03 31 2e 32 81 01 76"));
    EXPECT_EQ(ldap::notice_of_disconnection(),
              concat({hex("30 24 02 01 00 78 1f 0a 01 34 04 00 04 00 8a 16"), bytes_of("1.3.6.1.4.1.1466.20036")}));
}

TEST(LdapRequests, BindUnbindAbandon) {
    EXPECT_EQ(ldap::bind_request(1, 3, "cn=admin,o=example", "secret"),
              concat({hex("30 24 02 01 01 60 1f 02 01 03 04 12"), bytes_of("cn=admin,o=example"), hex("80 06"),
                      bytes_of("secret")}));
    EXPECT_EQ(ldap::bind_request(1, 2, "", ""), hex("30 0c 02 01 01 60 07 02 01 02 04 00 80 00"));
    EXPECT_EQ(ldap::unbind_request(3), hex("30 05 02 01 03 42 00"));
    EXPECT_EQ(ldap::abandon_request(4, 2), hex("30 06 02 01 04 50 01 02"));
}

TEST(LdapRequests, SearchWithFilters) {
    ldap::Search s;
    s.base = "o=example";
    s.filter = ldap::filter::present("objectclass");
    EXPECT_EQ(ldap::search_request(2, s),
              concat({hex("30 2e 02 01 02 63 29 04 09"), bytes_of("o=example"),
                      hex("0a 01 02 0a 01 00 02 01 00 02 01 00 01 01 00 87 0b"), bytes_of("objectclass"),
                      hex("30 00")}));

    using namespace ldap::filter;
    EXPECT_EQ(equal("cn", "a"), hex("a3 07 04 02 63 6e 04 01 61"));
    EXPECT_EQ(and_of({present("a"), not_of(approx("b", "c"))}),
              hex("a0 0d 87 01 61 a2 08 a8 06 04 01 62 04 01 63"));
    EXPECT_EQ(or_of({greater_or_equal("a", "1"), less_or_equal("a", "2")}),
              hex("a1 10 a5 06 04 01 61 04 01 31 a6 06 04 01 61 04 01 32"));
    EXPECT_EQ(substrings("cn", "a", {"b", "c"}, ""), hex("a4 0f 04 02 63 6e 30 09 80 01 61 81 01 62 81 01 63"));
    EXPECT_EQ(substrings("cn", "", {}, "z"), hex("a4 09 04 02 63 6e 30 03 82 01 7a"));
}

TEST(LdapRequests, UpdatesAndCompare) {
    EXPECT_EQ(ldap::delete_request(5, "cn=a"), hex("30 09 02 01 05 4a 04 63 6e 3d 61"));
    EXPECT_EQ(ldap::compare_request(6, "cn=a", "sn", "b"),
              hex("30 14 02 01 06 6e 0f 04 04 63 6e 3d 61 30 07 04 02 73 6e 04 01 62"));
    EXPECT_EQ(ldap::add_request(7, "cn=a", {{"cn", {"a"}}}),
              hex("30 18 02 01 07 68 13 04 04 63 6e 3d 61 30 0b 30 09 04 02 63 6e 31 03 04 01 61"));
    EXPECT_EQ(ldap::modify_request(8, "cn=a", {{2, {"sn", {"b"}}}}),
              hex("30 1d 02 01 08 66 18 04 04 63 6e 3d 61 30 10 30 0e 0a 01 02 30 09 04 02 73 6e 31 03 04 01 62"));
}

}  // namespace
}  // namespace qortest

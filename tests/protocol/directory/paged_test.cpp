// Paged lookups against the scripted server: pages asked with the server's cookie until it is
// empty, all gathered into one result set, and the size limit bounding the whole.
#include "protocol_fixture.h"

namespace {

using namespace dstest;

class PagedLookupTest : public DirectoryProtocolTest {
protected:
    void SetUp() override { qorhost_set_option("LDAP_PAGESIZE", "2"); }
    void TearDown() override {
        qorhost_set_option("LDAP_PAGESIZE", nullptr);
        DirectoryProtocolTest::TearDown();
    }

    // The subtree search of (uid=*) below o=x asking for a page of 2 after `cookie`.
    static Bytes page_request(std::int64_t id, std::string_view cookie, std::int64_t size_limit = 0) {
        ldap::Search s;
        s.base = "o=x";
        s.size_limit = size_limit;
        s.time_limit = kTimeLimitSeconds;
        s.filter = ldap::filter::present("uid");
        return ldap::with_controls(ldap::search_request(id, s), {ldap::paged_results(2, cookie)});
    }

    static Bytes page_done(std::int64_t id, std::string_view cookie, int code = 0) {
        return ldap::with_controls(ldap::search_done(id, code), {ldap::paged_results(0, cookie)});
    }

    static Bytes entry(std::int64_t id, const std::string &uid) {
        return ldap::search_entry(id, "uid=" + uid + ",o=x", {{"uid", {uid}}});
    }

    void open_paged(int32_t size_limit = -1) {
        open();
        ds_.dsopt(ld_, -1, size_limit, DS_OPT_CHASE_REFERRALS | DS_OPT_PAGED_RESULTS, nullptr);
    }

    static int count(dsent **set) {
        int n = 0;
        while (set != nullptr && set[n] != nullptr) ++n;
        return n;
    }
};

TEST_F(PagedLookupTest, PagesFollowTheServersCookieIntoOneResultSet) {
    constexpr std::string_view kCookie{"\x01\x00cookie", 8};   // opaque bytes, a zero among them
    expect_open()
        .expect(page_request(2, ""))
        .reply({entry(2, "a"), entry(2, "b"), page_done(2, kCookie)})
        .expect(page_request(3, kCookie))
        .reply({entry(3, "c"), page_done(3, "")});
    open_paged();
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "(uid=*)", nullptr, &set), DS_OK);
    EXPECT_EQ(count(set), 3);
    EXPECT_STREQ(set[2]->de_dn, "uid=c,o=x");
    ds_.dsfree(ld_, set);
}

// Also against a server that counts the limit per page: no entry beyond it, no page after it.
TEST_F(PagedLookupTest, SizeLimitBoundsTheWhole) {
    expect_open()
        .expect(page_request(2, "", 3))
        .reply({entry(2, "a"), entry(2, "b"), page_done(2, "next")})
        .expect(page_request(3, "next", 3))
        .reply({entry(3, "c"), entry(3, "d"), page_done(3, "more")});
    open_paged(3);
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "(uid=*)", nullptr, &set), DS_SIZELIMIT_WARNING);
    EXPECT_EQ(count(set), 3);
    ds_.dsfree(ld_, set);
}

}  // namespace

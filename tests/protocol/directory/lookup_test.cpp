// Lookups against the scripted server: the requests of each lookup and resolve scope, entries
// delivered with a size-limit warning, failures without entries and the texts dsgeterr makes of
// them, values with a zero byte or bytes that are not text, and the shape of the result set.
#include <chrono>
#include <string>

#include "protocol_fixture.h"

namespace {

using namespace dstest;

class LookupProtocolTest : public DirectoryProtocolTest {};

std::vector<ldap::Attribute> numbered_attributes(int count) {
    std::vector<ldap::Attribute> attributes;
    for (int i = 0; i < count; ++i) attributes.push_back({"a" + std::to_string(i), {"v" + std::to_string(i)}});
    return attributes;
}

TEST_F(LookupProtocolTest, ResolveScopeFollowsTheOptionWord) {
    expect_open()
        .expect(search(2, "o=x", 2, ldap::filter::equal("uid", "a")))
        .reply(ldap::search_done(2, 0))
        .expect(search(3, "o=x", 0, ldap::filter::equal("uid", "a")))
        .reply(ldap::search_done(3, 0))
        .expect(search(4, "o=x", 1, ldap::filter::equal("uid", "a")))
        .reply(ldap::search_done(4, 0))
        .expect(search(5, "o=x", 2, ldap::filter::equal("uid", "a"), {"cn", "mail"}))
        .reply(ldap::search_done(5, 0))
        .expect(read_entry(6, "cn=a,o=x", {"cn"}))
        .reply(ldap::search_done(6, 0));
    open();
    char *names[] = {text("cn"), text("mail"), nullptr};
    const int32_t options[] = {0, DS_OPT_RESOLVE_BASE, DS_OPT_RESOLVE_ONELEVEL, DS_OPT_RESOLVE_SUBTREE};
    for (int32_t option : options) {
        ds_.dsopt(ld_, -1, -1, option | DS_OPT_CHASE_REFERRALS, nullptr);
        dsent **set = reinterpret_cast<dsent **>(1);
        EXPECT_EQ(ds_.dsreslv(ld_, "(uid=a)", option == DS_OPT_RESOLVE_SUBTREE ? names : nullptr, &set), DS_OK);
        EXPECT_EQ(set, nullptr);   // nothing matched: no array at all
    }
    dsent **set = nullptr;
    char *cn[] = {text("cn"), nullptr};
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=a,o=x", cn, &set), DS_OK);
    EXPECT_EQ(set, nullptr);
}

TEST_F(LookupProtocolTest, SizeLimitAfterEntriesDeliversThemWithAWarning) {
    expect_open()
        .expect(search(2, "o=x", 2, ldap::filter::present("uid")))
        .reply({ldap::search_entry(2, "uid=a,o=x", {{"uid", {"a"}}}),
                ldap::search_entry(2, "uid=b,o=x", {{"uid", {"b"}}}),
                ldap::search_done(2, ldap::code::size_limit_exceeded)});
    open();
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "(uid=*)", nullptr, &set), DS_SIZELIMIT_WARNING);
    ASSERT_NE(set, nullptr);
    ASSERT_NE(set[0], nullptr);
    ASSERT_NE(set[1], nullptr);
    EXPECT_EQ(set[2], nullptr);
    EXPECT_STREQ(set[0]->de_dn, "uid=a,o=x");
    EXPECT_STREQ(set[1]->de_dn, "uid=b,o=x");
    EXPECT_STREQ(set[1]->de_atts[0]->da_vals[0]->dv_text, "b");
    EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);
}

TEST_F(LookupProtocolTest, FailureWithoutEntriesAndTheTextsItLeaves) {
    expect_open()
        .expect(read_entry(2, "cn=gone,ou=p,o=x"))
        .reply(ldap::search_done(2, ldap::code::no_such_object, "ou=p,o=x", "no such entry"))
        .expect(search(3, "o=x", 2, ldap::filter::present("cn")))
        .reply(ldap::search_done(3, ldap::code::insufficient_access, "", "access denied"))
        .expect(search(4, "o=x", 2, ldap::filter::present("cn")))
        .reply(ldap::search_done(4, 0));
    open();
    dsent **set = reinterpret_cast<dsent **>(1);
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=gone,ou=p,o=x", nullptr, &set), DS_NO_SUCH_OBJECT);
    EXPECT_EQ(set, nullptr);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: ou=p,o=x");
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: ou=p,o=x");

    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_STATUS(50));
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Additional information: access denied");
    // Asking again gives the same text.
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Additional information: access denied");

    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_OK);
    EXPECT_EQ(ds_.dsgeterr(ld_), nullptr);   // nothing older is reported
}

TEST_F(LookupProtocolTest, ValuesKeepTheirBytes) {
    const std::string zero_inside("ab\0cd", 5);
    const std::string long_type = "description;lang-en-" + std::string(120, 'x');   // read whole too
    const std::string not_text("\x00\x01\xfe\xff", 4);
    expect_open()
        .expect(read_entry(2, "cn=v,o=x"))
        .reply({ldap::search_entry(2, "cn=v,o=x",
                                   {{"description", {zero_inside}}, {"qorBinaryValue", {not_text}}, {"seeAlso", {}},
                                    {long_type, {"long"}}}),
                ldap::search_done(2, 0)});
    open();
    // A host whose text encoding is not the directory's: bytes that do not transcode arrive as
    // their Base64 text.
    const auto *gcb = reinterpret_cast<const uintptr_t *>(qorhost_control_block());
    const int host_encoding = static_cast<int>(reinterpret_cast<const uintptr_t *>(gcb[33])[11]);
    ASSERT_EQ(qorhost_set_encoding(qorhost_encoding_number("ISO-8859-1")), 0);
    const long before = live_blocks();
    dsent **set = nullptr;
    const int32_t status = ds_.dsrslvdn(ld_, "cn=v,o=x", nullptr, &set);
    qorhost_set_encoding(host_encoding);
    ASSERT_EQ(status, DS_OK);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(live_blocks(), before + 2);   // the array, and the entry with all it holds
    dsatt **atts = set[0]->de_atts;
    ASSERT_EQ(atts[0]->da_count, 1);
    dsval *zero = atts[0]->da_vals[0];
    EXPECT_STREQ(zero->dv_text, "ab");   // the text ends at the zero byte...
    EXPECT_EQ(std::string(zero->dv_text, 5), zero_inside);   // ...but the bytes are all there
    EXPECT_EQ(zero->dv_kind, DSVAL_NONE);
    EXPECT_EQ(zero->dv_spare, 0);
    EXPECT_EQ(zero->dv_num, 0);
    EXPECT_EQ(zero->dv_bin, nullptr);

    // The binary getter turns the Base64 text back into the bytes.
    dsval *binary = atts[1]->da_vals[0];
    EXPECT_STREQ(binary->dv_text, "AAH+/w==");
    int32_t length = 0;
    const unsigned char *bytes = ds_.dsgbin(ld_, binary, &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(length)), not_text);

    EXPECT_STREQ(atts[2]->da_name, "seeAlso");
    EXPECT_EQ(atts[2]->da_count, 0);
    EXPECT_EQ(atts[2]->da_vals[0], nullptr);
    ASSERT_NE(atts[3], nullptr);
    EXPECT_EQ(atts[3]->da_name, long_type);
    EXPECT_EQ(atts[4], nullptr);
    EXPECT_EQ(set[1], nullptr);
    EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);
    EXPECT_EQ(live_blocks(), before);   // the binary copy went with its value
}

TEST_F(LookupProtocolTest, ManyAttributesKeepTheirOrderAndANullAfterTheLast) {
    expect_open()
        .expect(read_entry(2, "cn=wide,o=x"))
        .reply({ldap::search_entry(2, "cn=wide,o=x", numbered_attributes(20)), ldap::search_done(2, 0)})
        .expect(read_entry(3, "cn=wider,o=x"))
        .reply({ldap::search_entry(3, "cn=wider,o=x", numbered_attributes(45)),
                ldap::search_entry(3, "cn=narrow,o=x", numbered_attributes(19)), ldap::search_done(3, 0)});
    open();
    const long before = live_blocks();
    for (const auto &[dn, widths] : {std::pair<const char *, std::vector<int>>{"cn=wide,o=x", {20}},
                                     std::pair<const char *, std::vector<int>>{"cn=wider,o=x", {45, 19}}}) {
        dsent **set = nullptr;
        ASSERT_EQ(ds_.dsrslvdn(ld_, dn, nullptr, &set), DS_OK);
        ASSERT_NE(set, nullptr);
        for (size_t e = 0; e < widths.size(); ++e) {
            ASSERT_NE(set[e], nullptr);
            dsatt **atts = set[e]->de_atts;
            for (int i = 0; i < widths[e]; ++i) {
                ASSERT_NE(atts[i], nullptr) << dn << " " << i;
                EXPECT_EQ(std::string(atts[i]->da_name), "a" + std::to_string(i));
                EXPECT_EQ(std::string(atts[i]->da_vals[0]->dv_text), "v" + std::to_string(i));
                EXPECT_EQ(atts[i]->da_vals[1], nullptr);
            }
            EXPECT_EQ(atts[widths[e]], nullptr);
        }
        EXPECT_EQ(set[widths.size()], nullptr);
        EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);
        EXPECT_EQ(live_blocks(), before);
    }
}

TEST_F(LookupProtocolTest, ArgumentsCheckedInOrder) {
    expect_open();
    open();
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(nullptr, "cn=*", nullptr, &set), DS_NO_SESSION);
    EXPECT_EQ(ds_.dsrslvdn(nullptr, "cn=a", nullptr, &set), DS_NO_SESSION);
    EXPECT_EQ(ds_.dsrslvdn(ld_, nullptr, nullptr, &set), DS_NO_BASE_DN);
    EXPECT_EQ(ds_.dsreslv(ld_, nullptr, nullptr, &set), DS_NO_FILTER);
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, nullptr), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsfree(ld_, nullptr), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsfree(nullptr, set), DS_NO_SESSION);
    // A filter the client cannot parse, or none at all, is refused before anything is sent.
    EXPECT_EQ(ds_.dsreslv(ld_, "(cn=x", nullptr, &set), DS_STATUS(87));
    EXPECT_EQ(ds_.dsreslv(ld_, "", nullptr, &set), DS_STATUS(87));
    EXPECT_EQ(ds_.dsreslv(ld_, "   ", nullptr, &set), DS_STATUS(87));
    EXPECT_EQ(set, nullptr);
}

// The session's time limit bounds the whole lookup, also when the server sends part of an entry
// and then holds the connection; what arrived is kept for the next read, so the pool holds no
// more after another such lookup.
TEST_F(LookupProtocolTest, HalfAnEntryThenSilenceEndsAtTheSessionsLimit) {
    const Bytes entry = ldap::search_entry(2, "cn=half,o=x", {{"cn", {"half"}}, {"sn", {"h"}}});
    expect_open()
        .expect(search(2, "cn=half,o=x", 0, ldap::filter::present("objectclass"), {}, 1))
        .reply(Bytes(entry.begin(), entry.begin() + entry.size() / 2))
        .hold();
    open();
    ds_.dsopt(ld_, 1, -1, -1, nullptr);
    dsent **set = nullptr;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=half,o=x", nullptr, &set), DS_STATUS(85));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(950));
    EXPECT_LE(elapsed, std::chrono::milliseconds(1500));   // not the host's read limit (30 s)
    const long blocks = live_blocks();
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=half,o=x", nullptr, &set), DS_STATUS(85));
    EXPECT_EQ(live_blocks(), blocks);
}

// A lookup that gives up waiting leaves nothing: its request is abandoned, and the late result
// is dropped instead of being queued for the life of the session.
TEST_F(LookupProtocolTest, TimedOutLookupAbandonsItsRequest) {
    using namespace std::chrono_literals;
    expect_open()
        .expect(search(2, "o=x", 2, ldap::filter::present("cn"), {}, 1))
        .expect(ldap::abandon_request(3, 2))
        .reply({ldap::search_entry(2, "cn=late,o=x", {{"cn", {"late"}}}), ldap::search_done(2, 0)})
        .expect(search(4, "o=x", 2, ldap::filter::present("cn"), {}, 1))
        .reply(ldap::search_done(4, 0));
    open();
    ds_.dsopt(ld_, 1, -1, -1, nullptr);
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_STATUS(85));   // timed out
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr);
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_OK);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(ld_->ld_queued_responses, nullptr);
    EXPECT_EQ(ld_->ld_pending_requests, nullptr);
}

// Entries are copied into the set as they arrive and their messages released at once, so the
// pool never holds much more than the set; a search that then falls silent past the time limit
// delivers none of the entries it had copied, and leaves nothing.
TEST_F(LookupProtocolTest, EntriesAreCopiedAsTheyArrive) {
    constexpr int kEntries = 64;
    const std::string filler(2000, 'x');
    const auto entries = [&](int id, int count) {
        Bytes bytes;
        for (int i = 0; i < count; ++i) {
            const Bytes entry = ldap::search_entry(id, "cn=e" + std::to_string(i) + ",o=x", {{"cn", {"e"}}, {"d", {filler}}});
            bytes.insert(bytes.end(), entry.begin(), entry.end());
        }
        return bytes;
    };
    Bytes answer = entries(2, kEntries);
    const Bytes done = ldap::search_done(2, 0);
    answer.insert(answer.end(), done.begin(), done.end());
    expect_open()
        .expect(search(2, "o=x", 2, ldap::filter::present("cn")))
        .reply(answer)
        .expect(search(3, "o=x", 2, ldap::filter::present("cn"), {}, 1))
        .reply(entries(3, 8))
        .hold();
    open();
    const qorhost_pool_stats before = qortest::pool_stats(ld_->ld_pool);
    dsent **set = nullptr;
    ASSERT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_OK);
    const qorhost_pool_stats after = qortest::pool_stats(ld_->ld_pool);
    const long set_bytes = after.live_bytes - before.live_bytes;
    EXPECT_LT(after.peak_bytes - before.live_bytes, set_bytes + set_bytes / 4);   // holding every message: 2x
    ASSERT_NE(set[kEntries - 1], nullptr);
    EXPECT_EQ(set[kEntries], nullptr);
    EXPECT_EQ(ds_.dsfree(ld_, set), DS_OK);

    ds_.dsopt(ld_, 1, -1, -1, nullptr);
    const long blocks = live_blocks();
    EXPECT_EQ(ds_.dsreslv(ld_, "cn=*", nullptr, &set), DS_STATUS(85));
    EXPECT_EQ(set, nullptr);
    EXPECT_LE(live_blocks(), blocks);   // the eight entries copied are gone
}

// An attribute the client cannot decode is a failure, never a silently shorter entry.
TEST_F(LookupProtocolTest, UndecodableAttributeFailsTheLookup) {
    using namespace qortest::ber;
    const Bytes broken = sequence({integer(2), constructed(ldap::op::search_entry,
                                                           {octets("cn=b,o=x"),
                                                            sequence({sequence({octets("cn"), set({octets("b")})}),
                                                                      integer(7)})})});
    expect_open().expect(read_entry(2, "cn=b,o=x")).reply({broken, ldap::search_done(2, 0)});
    open();
    const long before = live_blocks();
    dsent **set = nullptr;
    EXPECT_EQ(ds_.dsrslvdn(ld_, "cn=b,o=x", nullptr, &set), DS_STATUS(84));
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(live_blocks(), before);
}

}  // namespace

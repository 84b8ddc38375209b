// The one parser of LDAP URLs and host-list entries: every part of RFC 4516 URLs, the ldaps
// scheme, IPv6 literals, the host-list forms kept from before, and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "module/client/client.h"
#include "module/client/ldurl.h"

namespace {

using qor::LdapUrl;
using qor::UrlParse;
using qor::UrlScheme;

std::string text_of(qor::UrlPiece piece) { return std::string(piece.bytes, static_cast<size_t>(piece.length)); }

std::string decoded(qor::UrlPiece piece) {
    char out[256];
    int32_t length = qor::url_unescape(piece, out, sizeof out);
    return length < 0 ? "<malformed>" : std::string(out, static_cast<size_t>(length));
}

struct Parsed {
    const char *text;
    UrlScheme scheme;
    const char *host;
    int32_t port;          // as given; kUrlNoPort when absent
    int32_t used_port;     // url_port with default 1389
    const char *dn;        // decoded; null: no DN part
    const char *attributes;
    int32_t scope;
    const char *filter;    // decoded
    bool critical;
};

TEST(LdapUrl, EveryPartOfAUrlOrEntry) {
    const Parsed cases[] = {
        {"ldap://h.example:3890/o=example?cn,mail?one?(cn=a%2ab)", UrlScheme::kLdap, "h.example", 3890, 3890,
         "o=example", "cn,mail", LDAP_SCOPE_ONELEVEL, "(cn=a*b)", false},
        {"LDAPS://h.example", UrlScheme::kLdaps, "h.example", qor::kUrlNoPort, 636, nullptr, "", qor::kUrlNoScope, "",
         false},
        {"ldap://h/", UrlScheme::kLdap, "h", qor::kUrlNoPort, 389, "", "", qor::kUrlNoScope, "", false},
        {"ldap://127.0.0.1:41234/o=other??sub", UrlScheme::kLdap, "127.0.0.1", 41234, 41234, "o=other", "",
         LDAP_SCOPE_SUBTREE, "", false},
        {"ldap:///cn=J%C3%BCrgen%2Co=x?" "?BASE?" "?!bindname=x", UrlScheme::kLdap, "", qor::kUrlNoPort, 389,
         "cn=J\xc3\xbcrgen,o=x", "", LDAP_SCOPE_BASE, "", true},
        {"ldaps://[::1]:636/o=x?", UrlScheme::kLdaps, "::1", 636, 636, "o=x", "", qor::kUrlNoScope, "", false},
        {"ldap://h:", UrlScheme::kLdap, "h", qor::kUrlNoPort, 389, nullptr, "", qor::kUrlNoScope, "", false},
        // Bare host-list entries keep their old reading: leading digits after the first colon.
        {"h.example", UrlScheme::kNone, "h.example", qor::kUrlNoPort, 1389, nullptr, "", qor::kUrlNoScope, "", false},
        {"h.example:3890", UrlScheme::kNone, "h.example", 3890, 3890, nullptr, "", qor::kUrlNoScope, "", false},
        {"h.example:", UrlScheme::kNone, "h.example", 0, 0, nullptr, "", qor::kUrlNoScope, "", false},
        {"h:12x", UrlScheme::kNone, "h", 12, 12, nullptr, "", qor::kUrlNoScope, "", false},
        {"[fe80::1]:3890", UrlScheme::kNone, "fe80::1", 3890, 3890, nullptr, "", qor::kUrlNoScope, "", false},
        {"fe80::1", UrlScheme::kNone, "fe80::1", qor::kUrlNoPort, 1389, nullptr, "", qor::kUrlNoScope, "", false},
    };
    for (const Parsed &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string text = c.text;
        LdapUrl url;
        ASSERT_EQ(qor::parse_host_entry(text.data(), static_cast<int32_t>(text.size()), &url), UrlParse::kParsed);
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(text_of(url.host), c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(qor::url_port(url, 1389), c.used_port);
        EXPECT_EQ(url.has_dn, c.dn != nullptr);
        EXPECT_EQ(c.dn != nullptr ? decoded(url.dn) : "", c.dn != nullptr ? c.dn : "");
        EXPECT_EQ(text_of(url.attributes), c.attributes);
        EXPECT_EQ(url.scope, c.scope);
        EXPECT_EQ(decoded(url.filter), c.filter);
        EXPECT_EQ(url.critical_extension, c.critical);
    }
}

TEST(LdapUrl, MalformedTextsAreRefusedWithTheirReason) {
    const struct {
        const char *text;
        UrlParse reason;
    } cases[] = {
        {"http://h/", UrlParse::kUnknownScheme},   {"ldapi://%2fvar%2frun", UrlParse::kUnknownScheme},
        {"ldap://[::1/", UrlParse::kBadHost},      {"ldap://h]/", UrlParse::kBadHost},
        {"ldap://h?x", UrlParse::kBadHost},
        {"ldap://h:x/", UrlParse::kBadPort},       {"ldap://h:65536", UrlParse::kBadPort},
        {"ldap://h/o=x??subtree", UrlParse::kBadScope}, {"ldap://h/o=%zz", UrlParse::kBadEscape},
        {"ldap://h/o=x?a?sub?(f)?e?more", UrlParse::kBadEscape}, {"ldap://h/o=%4", UrlParse::kBadEscape},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string text = c.text;
        LdapUrl url{};
        url.port = 7;
        EXPECT_EQ(qor::parse_host_entry(text.data(), static_cast<int32_t>(text.size()), &url), c.reason);
        EXPECT_EQ(url.port, 7) << "nothing is stored on failure";
    }
    const std::string bare = "h.example";
    LdapUrl url;
    EXPECT_EQ(qor::parse_ldap_url(bare.data(), static_cast<int32_t>(bare.size()), &url), UrlParse::kUnknownScheme)
        << "a URL needs its scheme";
}

TEST(LdapUrl, UnescapingChecksItsRoom) {
    const std::string text = "a%20b";
    char out[3];
    EXPECT_EQ(qor::url_unescape({text.data(), 5}, out, 3), 3);
    EXPECT_EQ(std::string(out, 3), "a b");
    EXPECT_EQ(qor::url_unescape({text.data(), 5}, out, 2), -1);
}

}  // namespace

// LDAP URLs and host-list entries: the one parser of both.
//
// URL (RFC 4516, with ldaps:// for TLS from the first byte):
//
//   ldap[s]://[host[:port]][/[dn][?[attributes][?[scope][?[filter][?extensions]]]]]
//
//   host        a registered name or IPv4 address; an IPv6 address in brackets ("[::1]")
//   port        decimal, 0..65535; absent (or empty after the colon): the scheme's port
//   dn          the base DN, %-escaped
//   attributes  comma-separated attribute descriptions, %-escaped; empty: all
//   scope       "base", "one" or "sub" (any case); empty: the user's default
//   filter      %-escaped filter text; empty: the user's default
//   extensions  comma-separated, %-escaped; one marked "!" is critical, and a client that does
//               not know it must not use the URL
//
// Host-list entry: a URL as above (only its scheme, host and port count for connecting), or
// "host", "host:port" (the port read as the leading digits after the first colon, 0 when there
// are none, as host lists always did; a number beyond 65535 is a bad port), "[ipv6]",
// "[ipv6]:port", or an IPv6 address without brackets (two colons or more, no port).
//
// The parser allocates nothing and keeps nothing: every part is a piece of the caller's text,
// valid as long as that text, with its escapes still in place (url_unescape decodes them). It
// reads exactly `length` bytes; the text need not be NUL-terminated.
#pragma once

#include <cstdint>

#include "../host/export.h"
#include "abi/host_types.h"

namespace qor {

enum class UrlScheme : uint8_t {
    kNone,   // a bare host-list entry, "host[:port]"
    kLdap,   // ldap://
    kLdaps,  // ldaps://: TLS from the first byte
};

inline constexpr int32_t kUrlNoPort = -1;
inline constexpr int32_t kUrlNoScope = -1;  // else LDAP_SCOPE_BASE, _ONELEVEL or _SUBTREE
inline constexpr int32_t kLdapPort = 389;
inline constexpr int32_t kLdapsPort = 636;

// `length` bytes from `bytes` (not NUL-terminated); empty when length is 0.
struct UrlPiece {
    const char *bytes;
    int32_t length;
};

struct LdapUrl {
    UrlScheme scheme;
    UrlPiece host;            // without an IPv6 address's brackets; empty when none was given
    int32_t port;             // kUrlNoPort when none was given
    bool has_dn;              // a "/" followed the host: the DN part is there (it may be empty)
    UrlPiece dn;              // escaped
    UrlPiece attributes;      // escaped
    int32_t scope;            // kUrlNoScope when absent
    UrlPiece filter;          // escaped
    UrlPiece extensions;      // escaped
    bool critical_extension;  // an extension is marked "!"
};

// Why a text is not a URL or entry.
enum class UrlParse {
    kParsed,
    kUnknownScheme,  // "xyz://", or no "://" where a URL is required
    kBadHost,        // an unclosed bracket, or bytes after the host that start no part
    kBadPort,        // not all digits, or above 65535
    kBadScope,       // not base, one or sub
    kBadEscape,      // "%" without two hex digits, or a "?" beyond the extensions
};

// Parses a whole URL; `url` is filled only on kParsed.
QOR_EXPORT UrlParse parse_ldap_url(const char *text, int32_t length, LdapUrl *url);

// Parses one host-list entry (a URL or host[:port]); `url` is filled only on kParsed.
QOR_EXPORT UrlParse parse_host_entry(const char *text, int32_t length, LdapUrl *url);

// True when `text` starts with a scheme and "://" (a URL rather than a host).
QOR_EXPORT bool has_url_scheme(const char *text, int32_t length);

// The port a connection to `url` uses: its own, else the scheme's (389 or 636), else
// `default_port` for a bare entry.
QOR_EXPORT int32_t url_port(const LdapUrl &url, int32_t default_port);

// Decodes the %-escapes of `piece` into `out` (capacity bytes; no NUL is added). Answers the
// decoded length, or -1 when an escape is malformed or `out` is too small.
QOR_EXPORT int32_t url_unescape(UrlPiece piece, char *out, int32_t capacity);

// The decoded piece as a NUL-terminated text from `pool`; null when an escape is malformed or
// the pool has no memory.
QOR_EXPORT char *url_unescape_copy(HostPool *pool, UrlPiece piece);

}  // namespace qor

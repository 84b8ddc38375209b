// LDAP URLs and host-list entries (contract in ldurl.h).
#include "ldurl.h"

#include "client.h"
#include "pool.h"

namespace qor {
namespace {

constexpr int32_t kHighestPort = 65535;

int32_t hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the piece is `word` in any case.
bool is_word(UrlPiece piece, const char *word) {
    int32_t i = 0;
    for (; i < piece.length && word[i] != '\0'; ++i) {
        if (lower(piece.bytes[i]) != word[i]) return false;
    }
    return i == piece.length && word[i] == '\0';
}

int32_t find(const char *text, int32_t from, int32_t end, char wanted) {
    for (int32_t i = from; i < end; ++i) {
        if (text[i] == wanted) return i;
    }
    return end;
}

// Every "%" of the piece starts a two-digit hex escape.
bool escapes_are_whole(UrlPiece piece) {
    for (int32_t i = 0; i < piece.length; ++i) {
        if (piece.bytes[i] != '%') continue;
        if (i + 2 >= piece.length || hex_value(piece.bytes[i + 1]) < 0 || hex_value(piece.bytes[i + 2]) < 0) {
            return false;
        }
        i += 2;
    }
    return true;
}

// A URL port: all digits, at most 65535; empty means none.
UrlParse read_port(const char *digits, int32_t length, int32_t *port) {
    if (length == 0) {
        *port = kUrlNoPort;
        return UrlParse::kParsed;
    }
    int32_t value = 0;
    for (int32_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return UrlParse::kBadPort;
        value = value * 10 + (digits[i] - '0');
        if (value > kHighestPort) return UrlParse::kBadPort;
    }
    *port = value;
    return UrlParse::kParsed;
}

// "[address]" at the start of `text`: the address in *host and the index after the bracket, or -1.
int32_t bracketed_host(const char *text, int32_t length, UrlPiece *host) {
    int32_t close = find(text, 1, length, ']');
    if (close == length) return -1;
    *host = {text + 1, close - 1};
    return close + 1;
}

// The host and port of a URL's authority (the text between "//" and the first "/" or "?").
UrlParse read_authority(const char *text, int32_t length, LdapUrl *url) {
    int32_t after_host = 0;
    if (length > 0 && text[0] == '[') {
        after_host = bracketed_host(text, length, &url->host);
        if (after_host < 0) return UrlParse::kBadHost;
    } else {
        after_host = find(text, 0, length, ':');
        url->host = {text, after_host};
        if (find(text, 0, after_host, '%') != after_host || find(text, 0, after_host, ']') != after_host) {
            return UrlParse::kBadHost;
        }
    }
    if (after_host == length) {
        url->port = kUrlNoPort;
        return UrlParse::kParsed;
    }
    if (text[after_host] != ':') return UrlParse::kBadHost;
    return read_port(text + after_host + 1, length - after_host - 1, &url->port);
}

// The parts after the host: "/dn?attributes?scope?filter?extensions", each optional.
UrlParse read_parts(const char *text, int32_t length, LdapUrl *url) {
    if (length == 0) return UrlParse::kParsed;
    if (text[0] != '/') return UrlParse::kBadHost;
    url->has_dn = true;
    UrlPiece *parts[] = {&url->dn, &url->attributes, nullptr, &url->filter, &url->extensions};
    UrlPiece scope = {text, 0};
    int32_t start = 1;
    for (int32_t part = 0; part < 5 && start <= length; ++part) {
        int32_t end = part < 4 ? find(text, start, length, '?') : length;
        UrlPiece piece = {text + start, end - start};
        if (find(piece.bytes, 0, piece.length, '?') != piece.length || !escapes_are_whole(piece)) {
            return UrlParse::kBadEscape;
        }
        *(parts[part] != nullptr ? parts[part] : &scope) = piece;
        start = end + 1;
    }
    if (scope.length > 0) {
        if (is_word(scope, "base")) {
            url->scope = LDAP_SCOPE_BASE;
        } else if (is_word(scope, "one")) {
            url->scope = LDAP_SCOPE_ONELEVEL;
        } else if (is_word(scope, "sub")) {
            url->scope = LDAP_SCOPE_SUBTREE;
        } else {
            return UrlParse::kBadScope;
        }
    }
    for (int32_t i = 0; i < url->extensions.length; ++i) {
        bool starts = i == 0 || url->extensions.bytes[i - 1] == ',';
        if (starts && url->extensions.bytes[i] == '!') url->critical_extension = true;
    }
    return UrlParse::kParsed;
}

// The index of "://" after a scheme of letters, digits, "+", "-" and ".", or -1.
int32_t scheme_end(const char *text, int32_t length) {
    for (int32_t i = 0; i + 2 < length; ++i) {
        char c = lower(text[i]);
        if (text[i] == ':') return i > 0 && text[i + 1] == '/' && text[i + 2] == '/' ? i : -1;
        bool scheme_char =
            (c >= 'a' && c <= 'z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!scheme_char) return -1;
    }
    return -1;
}

LdapUrl empty_url() {
    LdapUrl url = {};
    url.port = kUrlNoPort;
    url.scope = kUrlNoScope;
    return url;
}

// "host", "host:port" (leading digits, 0 without; a number beyond 65535 names no port), "[v6]",
// "[v6]:port" or a bare IPv6 address.
UrlParse parse_bare_entry(const char *text, int32_t length, LdapUrl *url) {
    LdapUrl entry = empty_url();
    int32_t after_host = length;
    if (length > 0 && text[0] == '[') {
        after_host = bracketed_host(text, length, &entry.host);
        if (after_host < 0 || (after_host < length && text[after_host] != ':')) return UrlParse::kBadHost;
    } else {
        int32_t colon = find(text, 0, length, ':');
        bool bare_ipv6 = colon < length && find(text, colon + 1, length, ':') < length;
        after_host = bare_ipv6 ? length : colon;
        entry.host = {text, after_host};
    }
    if (after_host < length) {
        entry.port = 0;
        zatoi(text + after_host + 1, length - after_host - 1, 0, nullptr, &entry.port);
        if (entry.port < 0 || entry.port > kHighestPort) return UrlParse::kBadPort;  // no such port
    }
    *url = entry;
    return UrlParse::kParsed;
}

}  // namespace

bool has_url_scheme(const char *text, int32_t length) {
    return scheme_end(text, length) > 0;
}

UrlParse parse_ldap_url(const char *text, int32_t length, LdapUrl *url) {
    int32_t colon = scheme_end(text, length);
    if (colon < 0) return UrlParse::kUnknownScheme;
    LdapUrl parsed = empty_url();
    UrlPiece scheme = {text, colon};
    if (is_word(scheme, "ldap")) {
        parsed.scheme = UrlScheme::kLdap;
    } else if (is_word(scheme, "ldaps")) {
        parsed.scheme = UrlScheme::kLdaps;
    } else {
        return UrlParse::kUnknownScheme;
    }
    int32_t authority = colon + 3;
    int32_t slash = find(text, authority, length, '/');
    int32_t question = find(text, authority, slash, '?');
    int32_t authority_end = question < slash ? question : slash;
    UrlParse parse = read_authority(text + authority, authority_end - authority, &parsed);
    if (parse == UrlParse::kParsed) parse = read_parts(text + authority_end, length - authority_end, &parsed);
    if (parse == UrlParse::kParsed) *url = parsed;
    return parse;
}

UrlParse parse_host_entry(const char *text, int32_t length, LdapUrl *url) {
    if (has_url_scheme(text, length)) return parse_ldap_url(text, length, url);
    return parse_bare_entry(text, length, url);
}

int32_t url_port(const LdapUrl &url, int32_t default_port) {
    if (url.port != kUrlNoPort) return url.port;
    switch (url.scheme) {
    case UrlScheme::kLdap: return kLdapPort;
    case UrlScheme::kLdaps: return kLdapsPort;
    case UrlScheme::kNone: break;
    }
    return default_port;
}

int32_t url_unescape(UrlPiece piece, char *out, int32_t capacity) {
    int32_t written = 0;
    for (int32_t i = 0; i < piece.length; ++i) {
        char c = piece.bytes[i];
        if (c == '%') {
            int32_t high = i + 2 < piece.length ? hex_value(piece.bytes[i + 1]) : -1;
            int32_t low = high >= 0 ? hex_value(piece.bytes[i + 2]) : -1;
            if (low < 0) return -1;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (written == capacity) return -1;
        out[written++] = c;
    }
    return written;
}

char *url_unescape_copy(HostPool *pool, UrlPiece piece) {
    // Decoding never lengthens the text.
    auto *copy = static_cast<char *>(pool_alloc(pool, piece.length + 1));
    if (copy == nullptr) return nullptr;
    if (url_unescape(piece, copy, piece.length) < 0) {
        pool_free(pool, copy);
        return nullptr;
    }
    return copy;
}

}  // namespace qor

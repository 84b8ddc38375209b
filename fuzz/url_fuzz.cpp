// LDAP URLs and host-list entries: any text is parsed as a URL and as an entry. Parsing must not
// read outside the text (the sanitizers watch its exact size); a parsed result's pieces lie
// inside the text, a port is 0..65535 or absent, a scope one of the three or absent, and every
// escaped piece decodes into at most its own length.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/support/runtime.h"
#include "module/client/client.h"
#include "module/client/ldurl.h"

namespace {

using qorfuzz::fail;

void check_piece(const char *text, std::size_t size, qor::UrlPiece piece, bool escaped) {
    if (piece.length < 0 || (piece.length > 0 && (piece.bytes < text || piece.bytes + piece.length > text + size))) {
        fail("a piece lies outside the text");
    }
    if (!escaped || piece.length == 0) return;
    std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(piece.length)]);
    int32_t decoded = qor::url_unescape(piece, out.get(), piece.length);
    if (decoded < 0 || decoded > piece.length) fail("a parsed piece does not decode within its length");
}

void check(const char *text, std::size_t size, const qor::LdapUrl &url) {
    check_piece(text, size, url.host, false);
    for (const qor::UrlPiece &piece : {url.dn, url.attributes, url.filter, url.extensions}) {
        check_piece(text, size, piece, url.scheme != qor::UrlScheme::kNone);
    }
    if (url.port < qor::kUrlNoPort || url.port > 65535) fail("port %d", url.port);
    if (url.scope != qor::kUrlNoScope && (url.scope < LDAP_SCOPE_BASE || url.scope > LDAP_SCOPE_SUBTREE)) {
        fail("scope %d", url.scope);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 4096) return 0;
    // An exact copy, so that a read past the end is seen.
    std::unique_ptr<char[]> text(new char[size > 0 ? size : 1]);
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(data[i]);
    const auto length = static_cast<int32_t>(size);
    qor::LdapUrl url;
    if (qor::parse_ldap_url(text.get(), length, &url) == qor::UrlParse::kParsed) check(text.get(), size, url);
    if (qor::parse_host_entry(text.get(), length, &url) == qor::UrlParse::kParsed) check(text.get(), size, url);
    return 0;
}

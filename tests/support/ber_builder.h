// Test-side BER writer: builds the exact bytes a test expects from the client or scripts a server
// to send. It is deliberately independent of the product's codec, so that a fault in the codec
// cannot hide itself by producing the same wrong bytes on both sides.
//
// Every function returns a fresh byte vector; constructed elements are built by composing the
// vectors of their parts:
//
//   using namespace qortest::ber;
//   Bytes msg = sequence({integer(1), constructed(0x61, {enumerated(0), octets(""), octets("")})});
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qortest {

using Bytes = std::vector<std::uint8_t>;

// Parses hex text such as "30 0c 02 01 01" into bytes. Whitespace (spaces, tabs, newlines) may
// separate any two digits; pairs must be complete. Throws std::invalid_argument naming the
// offending position on any other character or an odd number of digits.
Bytes hex(std::string_view text);

// Lower-case hex dump with one space between bytes ("30 0c 02"); empty input gives "".
std::string to_hex(std::span<const std::uint8_t> bytes);

// The bytes of a text, without a terminating NUL.
Bytes bytes_of(std::string_view text);

// Concatenation of byte vectors, in order.
Bytes concat(std::initializer_list<Bytes> parts);

namespace ber {

// Length octets for a content length. With min_octets 0 the shortest form is written (one byte
// below 128, else 0x80|n and n big-endian bytes). A positive min_octets forces the long form
// with at least that many length bytes (up to 4), which decoders must accept as well.
Bytes length(std::size_t content_length, int min_octets = 0);

// An element with a one-byte identifier and the given content octets.
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> content, int min_length_octets = 0);

// An element whose length is indefinite (0x80), closed by the end-of-contents octets 00 00.
// LDAP forbids this form; it exists to script servers that send it.
Bytes indefinite(std::uint8_t tag, std::span<const std::uint8_t> content);

// INTEGER (or another tag with integer content, e.g. ENUMERATED or an application tag), two's
// complement in the shortest form.
Bytes integer(std::int64_t value, std::uint8_t tag = 0x02);
Bytes enumerated(std::int64_t value);

// OCTET STRING (or another primitive tag) holding the text's bytes.
Bytes octets(std::string_view text, std::uint8_t tag = 0x04);
Bytes octets(std::span<const std::uint8_t> content, std::uint8_t tag = 0x04);

// BOOLEAN: 0xFF for true, 0x00 for false.
Bytes boolean(bool value, std::uint8_t tag = 0x01);

// NULL (05 00), or an empty primitive element of another tag.
Bytes null(std::uint8_t tag = 0x05);

// A constructed element holding the concatenation of its parts.
Bytes constructed(std::uint8_t tag, std::initializer_list<Bytes> parts);
Bytes constructed(std::uint8_t tag, const std::vector<Bytes> &parts);
Bytes sequence(std::initializer_list<Bytes> parts);
Bytes sequence(const std::vector<Bytes> &parts);
Bytes set(std::initializer_list<Bytes> parts);
Bytes set(const std::vector<Bytes> &parts);

}  // namespace ber
}  // namespace qortest

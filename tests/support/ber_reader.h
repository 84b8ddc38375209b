// Test-side BER reader: finds whole elements in a byte stream and decodes them into a small tree,
// so that tests can frame the client's requests and look inside server answers without the
// product's codec. Definite lengths only (short and long form); single-byte identifiers, which is
// all LDAP uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/ber_builder.h"

namespace qortest {

// Elements larger than this are treated as invalid framing rather than waited for.
inline constexpr std::size_t kMaxElementSize = 64u * 1024 * 1024;

// What the start of a byte stream holds.
struct Framing {
    enum class State { complete, need_more, invalid };
    State state = State::need_more;
    std::size_t size = 0;   // complete: bytes of the whole first element (header and content)
    std::string reason;     // invalid: why the bytes cannot start a definite-length element
};

// Examines the first element of `stream`: complete with its size, incomplete, or invalid
// (indefinite length, more than 4 length octets, multi-byte identifier, or above
// kMaxElementSize).
Framing frame_element(std::span<const std::uint8_t> stream);

// One decoded element. Constructed elements (bit 0x20 of the tag) hold their children; primitive
// ones hold their content octets.
struct BerNode {
    std::uint8_t tag = 0;
    Bytes content;                  // primitive: the content octets; constructed: empty
    std::vector<BerNode> children;  // constructed: the elements inside, in order

    bool constructed() const { return (tag & 0x20) != 0; }
    // Content as a signed integer (two's complement); throws std::runtime_error when it is empty
    // or longer than 8 bytes.
    std::int64_t integer() const;
    // Content as text.
    std::string text() const { return std::string(content.begin(), content.end()); }
    // The i-th child; throws std::out_of_range naming the tag when absent.
    const BerNode &at(std::size_t i) const;
};

// Decodes exactly one element that must span all of `bytes`. Throws std::runtime_error with the
// offset of the fault on malformed input or trailing bytes.
BerNode parse_element(std::span<const std::uint8_t> bytes);

// The parts of an LDAP message a test most often looks at.
struct LdapMessageView {
    std::int64_t id = -1;
    std::uint8_t op = 0;  // tag of the protocol operation
};

// Reads the message id and the operation tag of an LDAP message; nullopt when the bytes are not
// a SEQUENCE beginning with an INTEGER followed by another element.
std::optional<LdapMessageView> view_message(std::span<const std::uint8_t> bytes);

}  // namespace qortest

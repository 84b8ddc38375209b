#include "tests/support/ber_reader.h"

#include <stdexcept>

namespace qortest {

namespace {

// Header of an element: identifier and length octets.
struct Header {
    std::size_t header_size = 0;
    std::size_t content_size = 0;
};

Framing invalid(std::string reason) {
    Framing f;
    f.state = Framing::State::invalid;
    f.reason = std::move(reason);
    return f;
}

// Reads the header at the start of `bytes`; nullopt while incomplete, an invalid Framing (via
// `error`) when malformed.
std::optional<Header> read_header(std::span<const std::uint8_t> bytes, Framing &error) {
    if (bytes.size() < 2) return std::nullopt;
    if ((bytes[0] & 0x1f) == 0x1f) {
        error = invalid("multi-byte identifier");
        return std::nullopt;
    }
    const std::uint8_t first = bytes[1];
    if (first < 0x80) return Header{2, first};
    if (first == 0x80) {
        error = invalid("indefinite length");
        return std::nullopt;
    }
    const std::size_t n = first & 0x7f;
    if (n > 4) {
        error = invalid("length of " + std::to_string(n) + " octets");
        return std::nullopt;
    }
    if (bytes.size() < 2 + n) return std::nullopt;
    std::size_t length = 0;
    for (std::size_t i = 0; i < n; ++i) length = length << 8 | bytes[2 + i];
    if (length > kMaxElementSize) {
        error = invalid("element of " + std::to_string(length) + " bytes");
        return std::nullopt;
    }
    return Header{2 + n, length};
}

BerNode parse_at(std::span<const std::uint8_t> bytes, std::size_t base, std::size_t depth) {
    if (depth > 64) throw std::runtime_error("BER nesting deeper than 64 at offset " + std::to_string(base));
    Framing f = frame_element(bytes);
    if (f.state == Framing::State::invalid)
        throw std::runtime_error("BER " + f.reason + " at offset " + std::to_string(base));
    if (f.state == Framing::State::need_more)
        throw std::runtime_error("BER element truncated at offset " + std::to_string(base));
    Framing unused;
    Header h = *read_header(bytes, unused);
    BerNode node;
    node.tag = bytes[0];
    auto content = bytes.subspan(h.header_size, h.content_size);
    if (!node.constructed()) {
        node.content.assign(content.begin(), content.end());
        return node;
    }
    std::size_t pos = 0;
    while (pos < content.size()) {
        auto rest = content.subspan(pos);
        Framing inner = frame_element(rest);
        const std::size_t where = base + h.header_size + pos;
        if (inner.state != Framing::State::complete)
            throw std::runtime_error("BER child " +
                                     (inner.state == Framing::State::invalid ? inner.reason : std::string("truncated")) +
                                     " at offset " + std::to_string(where));
        node.children.push_back(parse_at(rest.subspan(0, inner.size), where, depth + 1));
        pos += inner.size;
    }
    return node;
}

}  // namespace

Framing frame_element(std::span<const std::uint8_t> stream) {
    Framing error;
    std::optional<Header> h = read_header(stream, error);
    if (!h) return error;  // need_more unless read_header marked it invalid
    Framing f;
    const std::size_t total = h->header_size + h->content_size;
    if (stream.size() < total) return f;
    f.state = Framing::State::complete;
    f.size = total;
    return f;
}

std::int64_t BerNode::integer() const {
    if (content.empty() || content.size() > 8)
        throw std::runtime_error("BER integer of " + std::to_string(content.size()) + " bytes");
    std::uint64_t v = (content[0] & 0x80) ? ~std::uint64_t{0} : 0;
    for (std::uint8_t b : content) v = v << 8 | b;
    return static_cast<std::int64_t>(v);
}

const BerNode &BerNode::at(std::size_t i) const {
    if (i >= children.size())
        throw std::out_of_range("BER element with tag " + to_hex(std::span(&tag, 1)) + " has no child " +
                                std::to_string(i));
    return children[i];
}

BerNode parse_element(std::span<const std::uint8_t> bytes) {
    Framing f = frame_element(bytes);
    if (f.state == Framing::State::complete && f.size != bytes.size())
        throw std::runtime_error("BER trailing bytes at offset " + std::to_string(f.size));
    return parse_at(bytes, 0, 0);
}

std::optional<LdapMessageView> view_message(std::span<const std::uint8_t> bytes) {
    try {
        BerNode msg = parse_element(bytes);
        if (msg.tag != 0x30 || msg.children.size() < 2 || msg.children[0].tag != 0x02) return std::nullopt;
        return LdapMessageView{msg.children[0].integer(), msg.children[1].tag};
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

}  // namespace qortest

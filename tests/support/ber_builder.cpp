#include "tests/support/ber_builder.h"

#include <stdexcept>

namespace qortest {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void append(Bytes &out, std::span<const std::uint8_t> part) {
    out.insert(out.end(), part.begin(), part.end());
}

Bytes joined(std::span<const Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) append(out, part);
    return out;
}

}  // namespace

Bytes hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (is_space(c)) {
            if (high >= 0)
                throw std::invalid_argument("hex: lone digit before offset " + std::to_string(i));
            continue;
        }
        int digit = hex_digit(c);
        if (digit < 0)
            throw std::invalid_argument("hex: not a hex digit at offset " + std::to_string(i));
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("hex: odd number of digits");
    return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out.push_back(' ');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
    return out;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    return joined(std::span<const Bytes>(parts.begin(), parts.size()));
}

namespace ber {

Bytes length(std::size_t content_length, int min_octets) {
    if (min_octets > 4) throw std::invalid_argument("ber::length: at most 4 length octets");
    if (min_octets <= 0 && content_length < 0x80)
        return {static_cast<std::uint8_t>(content_length)};
    Bytes octets;
    for (std::size_t rest = content_length; rest != 0; rest >>= 8)
        octets.insert(octets.begin(), static_cast<std::uint8_t>(rest & 0xff));
    while (static_cast<int>(octets.size()) < min_octets) octets.insert(octets.begin(), 0);
    if (octets.empty()) octets.push_back(0);
    Bytes out{static_cast<std::uint8_t>(0x80 | octets.size())};
    append(out, octets);
    return out;
}

Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> content, int min_length_octets) {
    Bytes out{tag};
    append(out, length(content.size(), min_length_octets));
    append(out, content);
    return out;
}

Bytes indefinite(std::uint8_t tag, std::span<const std::uint8_t> content) {
    Bytes out{tag, 0x80};
    append(out, content);
    out.push_back(0);
    out.push_back(0);
    return out;
}

Bytes integer(std::int64_t value, std::uint8_t tag) {
    // Big-endian two's complement, then drop leading bytes that only repeat the sign.
    Bytes content;
    for (int shift = 56; shift >= 0; shift -= 8)
        content.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> shift));
    std::size_t first = 0;
    while (first + 1 < content.size()) {
        bool redundant_zero = content[first] == 0x00 && (content[first + 1] & 0x80) == 0;
        bool redundant_ones = content[first] == 0xff && (content[first + 1] & 0x80) != 0;
        if (!redundant_zero && !redundant_ones) break;
        ++first;
    }
    return tlv(tag, std::span<const std::uint8_t>(content).subspan(first));
}

Bytes enumerated(std::int64_t value) { return integer(value, 0x0a); }

Bytes octets(std::string_view text, std::uint8_t tag) { return tlv(tag, bytes_of(text)); }

Bytes octets(std::span<const std::uint8_t> content, std::uint8_t tag) { return tlv(tag, content); }

Bytes boolean(bool value, std::uint8_t tag) {
    const std::uint8_t content = value ? 0xff : 0x00;
    return tlv(tag, std::span<const std::uint8_t>(&content, 1));
}

Bytes null(std::uint8_t tag) { return {tag, 0x00}; }

Bytes constructed(std::uint8_t tag, std::initializer_list<Bytes> parts) {
    return tlv(tag, joined(std::span<const Bytes>(parts.begin(), parts.size())));
}

Bytes constructed(std::uint8_t tag, const std::vector<Bytes> &parts) {
    return tlv(tag, joined(parts));
}

Bytes sequence(std::initializer_list<Bytes> parts) { return constructed(0x30, parts); }
Bytes sequence(const std::vector<Bytes> &parts) { return constructed(0x30, parts); }
Bytes set(std::initializer_list<Bytes> parts) { return constructed(0x31, parts); }
Bytes set(const std::vector<Bytes> &parts) { return constructed(0x31, parts); }

}  // namespace ber
}  // namespace qortest

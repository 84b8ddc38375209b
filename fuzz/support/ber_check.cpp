// A strict walk over encoded BER.
#include "fuzz/support/ber_check.h"

namespace qorfuzz {

namespace {

// Depth beyond which an encoder's output is suspicious in itself (filters nest 64 deep at most).
constexpr int kMaxDepth = 200;

std::string check_elements(const std::uint8_t *bytes, std::size_t size, int depth) {
    if (depth > kMaxDepth) return "elements nested more than " + std::to_string(kMaxDepth) + " deep";
    std::size_t at = 0;
    while (at < size) {
        BerHeader header;
        if (!read_ber_header(bytes + at, size - at, &header)) {
            return "no well-formed element at offset " + std::to_string(at) + " of " + std::to_string(size);
        }
        if (header.constructed) {
            std::string inner = check_elements(bytes + at + header.header_size, header.length, depth + 1);
            if (!inner.empty()) return inner;
        }
        at += header.header_size + header.length;
    }
    return {};
}

}  // namespace

bool read_ber_header(const std::uint8_t *bytes, std::size_t size, BerHeader *header) {
    std::size_t at = 0;
    if (size == 0) return false;
    std::uint8_t first = bytes[at++];
    std::uint32_t tag = first;
    if ((first & 0x1F) == 0x1F) {
        do {
            if (at == size || at == 4) return false;
            tag = (tag << 8) | bytes[at];
        } while ((bytes[at++] & 0x80) != 0);
    }
    if (at == size) return false;
    std::uint8_t lead = bytes[at++];
    std::size_t length = lead;
    if ((lead & 0x80) != 0) {
        std::size_t count = lead & 0x7F;
        if (count == 0 || count > 4 || size - at < count || bytes[at] == 0) return false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes[at++];
        if (length < 0x80) return false;   // not the shortest form
    }
    if (length > size - at) return false;
    header->tag = tag;
    header->constructed = (first & 0x20) != 0;
    header->header_size = at;
    header->length = length;
    return true;
}

std::string check_ber(const std::uint8_t *bytes, std::size_t size) { return check_elements(bytes, size, 0); }

}  // namespace qorfuzz

// Identifier and length octets.
#include "ber_header.h"

namespace qor::codec {

namespace {

constexpr uint8_t kMoreOctets = 0x80;

size_t length_octets(uint32_t length) {
    if (length < 0x80) return 1;
    size_t count = 1;
    while (count < 4 && (length >> (8 * count)) != 0) ++count;
    return count + 1;
}

}  // namespace

HeaderStatus parse_long_header(const uint8_t *bytes, size_t available, Header *header) {
    if (available == 0) return HeaderStatus::kNeedMore;
    size_t at = 0;
    uint8_t first = bytes[at++];
    uint32_t tag = first;
    if ((first & kHighTagNumber) == kHighTagNumber) {
        // Subsequent identifier octets carry bit 8 while more follow.
        for (;;) {
            if (at == kMaxTagOctets) return HeaderStatus::kMalformed;
            if (at == available) return HeaderStatus::kNeedMore;
            uint8_t next = bytes[at++];
            tag = (tag << 8) | next;
            if ((next & kMoreOctets) == 0) break;
        }
    }
    if (at == available) return HeaderStatus::kNeedMore;
    uint8_t lead = bytes[at++];
    uint32_t length = lead;
    if (lead & kLongLength) {
        size_t count = lead & 0x7F;
        if (count == 0 || count > 4) return HeaderStatus::kMalformed;  // indefinite, or too long
        if (available - at < count) return HeaderStatus::kNeedMore;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | bytes[at++];
    }
    header->tag = tag;
    header->length = length;
    header->size = static_cast<uint32_t>(at);
    header->constructed = (first & kConstructedBit) != 0;
    return HeaderStatus::kComplete;
}

size_t encode_long_tag(uint32_t tag, uint8_t out[kMaxTagOctets]) {
    size_t count = 1;
    while (count < kMaxTagOctets && (tag >> (8 * count)) != 0) ++count;
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(tag >> (8 * (count - 1 - i)));
    return count;
}

size_t encode_long_length(uint32_t length, uint8_t out[kMaxLengthOctets]) {
    size_t total = length_octets(length);
    size_t count = total - 1;
    out[0] = static_cast<uint8_t>(kLongLength | count);
    for (size_t i = 0; i < count; ++i) out[1 + i] = static_cast<uint8_t>(length >> (8 * (count - 1 - i)));
    return total;
}

}  // namespace qor::codec

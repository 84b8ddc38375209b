// Identifier and length octets: the one place that knows how an element's header is laid out.
// Tags are the identifier octets read as one big-endian number (0x30, 0x63, 0x9f22 ...), at most
// four octets. Lengths are definite, at most four length octets after the first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::codec {

inline constexpr uint8_t kConstructedBit = 0x20;
inline constexpr size_t kMaxTagOctets = 4;
inline constexpr size_t kMaxLengthOctets = 5;  // 0x84 and four octets
inline constexpr size_t kMaxHeaderOctets = kMaxTagOctets + kMaxLengthOctets;

// Universal tags the codec writes by default.
inline constexpr uint32_t kTagBoolean = 0x01;
inline constexpr uint32_t kTagInteger = 0x02;
inline constexpr uint32_t kTagOctetString = 0x04;
inline constexpr uint32_t kTagNull = 0x05;
inline constexpr uint32_t kTagEnumerated = 0x0A;
inline constexpr uint32_t kTagSequence = 0x30;
inline constexpr uint32_t kTagSet = 0x31;

// A parsed header. `size` counts identifier and length octets; the contents follow it.
struct Header {
    uint32_t tag;
    uint32_t length;
    uint32_t size;
    bool constructed;
};

enum class HeaderStatus {
    kComplete,   // *header is filled
    kNeedMore,   // the available octets end inside the header
    kMalformed,  // indefinite length, more than four length octets, or a tag longer than four
};

inline constexpr uint8_t kHighTagNumber = 0x1F;
inline constexpr uint8_t kLongLength = 0x80;

// parse_header for headers of more than two octets, and for too few octets.
HeaderStatus parse_long_header(const uint8_t *bytes, size_t available, Header *header);

// Parses the header at `bytes` from `available` octets without looking past them. It does not
// compare the length with anything: callers check the contents against their own bounds.
// Inline for the two-octet header that most elements of a message have.
inline HeaderStatus parse_header(const uint8_t *bytes, size_t available, Header *header) {
    if (available < 2 || (bytes[0] & kHighTagNumber) == kHighTagNumber || (bytes[1] & kLongLength) != 0) {
        return parse_long_header(bytes, available, header);
    }
    header->tag = bytes[0];
    header->length = bytes[1];
    header->size = 2;
    header->constructed = (bytes[0] & kConstructedBit) != 0;
    return HeaderStatus::kComplete;
}

// encode_tag for tags above 0xFF.
size_t encode_long_tag(uint32_t tag, uint8_t out[kMaxTagOctets]);

// Writes `tag` as its identifier octets (at least one) into `out`; answers how many.
inline size_t encode_tag(uint32_t tag, uint8_t out[kMaxTagOctets]) {
    if (tag > 0xFF) return encode_long_tag(tag, out);
    out[0] = static_cast<uint8_t>(tag);
    return 1;
}

// encode_length for lengths of 0x80 and more.
size_t encode_long_length(uint32_t length, uint8_t out[kMaxLengthOctets]);

// Writes the shortest definite form of `length` into `out`; answers how many octets.
inline size_t encode_length(uint32_t length, uint8_t out[kMaxLengthOctets]) {
    if (length >= kLongLength) return encode_long_length(length, out);
    out[0] = static_cast<uint8_t>(length);
    return 1;
}

}  // namespace qor::codec

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

// Parses the header at `bytes` from `available` octets without looking past them. It does not
// compare the length with anything: callers check the contents against their own bounds.
HeaderStatus parse_header(const uint8_t *bytes, size_t available, Header *header);

// Writes `tag` as its identifier octets (at least one) into `out`; answers how many.
size_t encode_tag(uint32_t tag, uint8_t out[kMaxTagOctets]);

// Writes the shortest definite form of `length` into `out`; answers how many octets.
size_t encode_length(uint32_t length, uint8_t out[kMaxLengthOctets]);

// Octets encode_length would write for `length`.
size_t length_octets(uint32_t length);

}  // namespace qor::codec

// A strict walk over encoded BER, for the fuzz programs that check what an encoder wrote: every
// element has a tag of at most four octets and a definite length in its shortest form, and every
// constructed element is exactly filled by the elements inside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qorfuzz {

// One element's header as the walk reads it.
struct BerHeader {
    std::uint32_t tag = 0;
    bool constructed = false;
    std::size_t header_size = 0;
    std::size_t length = 0;
};

// Reads the header of the element at `bytes`; false when it is not a header of this form or its
// contents run past `size`.
bool read_ber_header(const std::uint8_t *bytes, std::size_t size, BerHeader *header);

// Empty when [bytes, bytes + size) is a sequence of well-formed elements, else what is wrong.
std::string check_ber(const std::uint8_t *bytes, std::size_t size);

}  // namespace qorfuzz

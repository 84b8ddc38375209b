// Reading an attribute's type from an entry, whatever its length. Attribute descriptions carry
// options (e.g. "description;lang-en-..."), so a type may be longer than any fixed buffer.
#pragma once

#include <cstdint>

#include "../host/services.h"
#include "abi/ber_records.h"

namespace qor {

// Reads the type that stands next in `reader` (inside an attribute's SEQUENCE): into `buffer`
// (`capacity` bytes, NUL included) when it fits, else into a new text of the reader's pool,
// left in *spilled for the caller to release. Answers the type read, or null when none can be
// read (the reader then stays where it was).
inline const char *read_attribute_type(BerElement *reader, char *buffer, int32_t capacity, char **spilled) {
    *spilled = nullptr;
    int32_t length = capacity;
    if (berscan(reader, "s", buffer, &length) != -1) return buffer;
    return berscan(reader, "a", spilled) != -1 ? *spilled : nullptr;
}

}  // namespace qor

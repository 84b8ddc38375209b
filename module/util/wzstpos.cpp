// Position of a byte in a counted string.
#include "util.h"

int32_t wzstpos(const char *bytes, int32_t length, int32_t character) {
    if (bytes == nullptr) {
        return -1;
    }
    const auto *scan = reinterpret_cast<const uint8_t *>(bytes);
    const auto wanted = static_cast<uint8_t>(character);
    for (int32_t i = 0; i < length; ++i) {
        if (scan[i] == wanted) {
            return i;
        }
    }
    return -1;
}

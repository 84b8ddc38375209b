// Length of a NUL-terminated text.
#include "util.h"

int32_t wzstlen(const char *text) {
    if (text == nullptr) {
        return 0;
    }
    const char *end = text;
    while (*end != '\0') {
        ++end;
    }
    return static_cast<int32_t>(end - text);
}

// Concatenation of counted pieces into a field or a NUL-terminated string.
#include <cstdarg>
#include <cstddef>

#include "util.h"

namespace {

// Copies as much of the next piece as fits, and answers the number of bytes copied.
int32_t place_piece(char *to, int32_t room, va_list &pieces) {
    const char *bytes = va_arg(pieces, const char *);
    const int32_t length = va_arg(pieces, int32_t);
    if (bytes == nullptr || length <= 0) {
        return 0;
    }
    const int32_t count = length < room ? length : room;
    __builtin_memcpy(to, bytes, static_cast<size_t>(count));
    return count;
}

}  // namespace

int32_t wzstcat(char *destination, int32_t length, int32_t separator, int32_t count, ...) {
    if (destination == nullptr) {
        return 0;
    }
    const bool string_mode = length < 0;
    const int32_t capacity = string_mode ? ~length : length;

    va_list pieces;
    va_start(pieces, count);
    int32_t placed = 0;
    for (int32_t piece = 0; piece < count && placed < capacity; ++piece) {
        if (piece > 0 && separator >= 0) {
            destination[placed++] = static_cast<char>(separator);
        }
        placed += place_piece(destination + placed, capacity - placed, pieces);
    }
    va_end(pieces);

    if (string_mode) {
        destination[placed] = '\0';
    } else {
        __builtin_memset(destination + placed, ' ', static_cast<size_t>(capacity - placed));
    }
    return placed;
}

// A 32-bit integer to decimal text in a counted field.
#include "util.h"

namespace {

constexpr int kEditMinus = 1;
constexpr int kEditFill = 2;
constexpr int kEditDigits = 3;
constexpr int kLongestText = 11;  // "-2147483648"

}  // namespace

int32_t wzbltob(int32_t value, char *field, int32_t *field_length, const char *edit) {
    // The magnitude is taken in unsigned arithmetic, so that -2147483648 has one as well.
    const bool negative = value < 0;
    uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);

    char scratch[kLongestText];
    int text_start = kLongestText;
    do {
        scratch[--text_start] = edit[kEditDigits + magnitude % 10];
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        scratch[--text_start] = edit[kEditMinus];
    }

    const int32_t text_length = kLongestText - text_start;
    const int32_t capacity = *field_length;
    if (text_length > capacity) {
        for (int32_t i = 0; i < capacity; ++i) {
            field[i] = edit[kEditFill];
        }
        return kFieldTooShort;
    }
    for (int32_t i = 0; i < text_length; ++i) {
        field[i] = scratch[text_start + i];
    }
    *field_length = text_length;
    return 0;
}

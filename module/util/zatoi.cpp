// Decimal text to a 32-bit integer, with a scan code instead of silent defaults.
#include "util.h"

int32_t zatoi(const char *text, int32_t length, int32_t accept_sign, int32_t *stop, int32_t *value) {
    if (text == nullptr) {
        length = 0;
    } else if (length < 0) {
        length = wzstlen(text);
    }
    int32_t state = kScanNothing;
    uint32_t magnitude = 0;
    bool negative = false;
    int32_t index = 0;

    while (index < length) {
        const auto c = static_cast<uint8_t>(text[index]);
        if (state == kScanNothing) {
            if (c == ' ') {
                ++index;
                continue;
            }
            if (c == '+' || c == '-') {
                state = kScanSignOnly;
                negative = c == '-';
                if (accept_sign == 0) {
                    break;  // a sign that is not accepted stops the scan in front of it
                }
                ++index;
                continue;
            }
        } else if (state == kScanSignOnly && c == ' ') {
            ++index;
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        ++index;
        if (state == kScanOverflow) {
            continue;  // the rest of an overflowing number is consumed
        }
        state = kScanNumber;
        // The magnitudes of 32-bit numbers: up to 2147483647, and 2147483648 after a minus.
        const uint32_t largest = negative ? 0x80000000u : static_cast<uint32_t>(INT32_MAX);
        const auto digit = static_cast<uint32_t>(c - '0');
        if (magnitude > (largest - digit) / 10) {
            magnitude = 0;
            state = kScanOverflow;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }

    if (stop != nullptr) {
        *stop = index;
    }
    if (value != nullptr) {
        *value = static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
    }
    return state;
}

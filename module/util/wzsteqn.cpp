// Equality of counted strings without regard to case, by the host's rules.
#include "../host/gcb.h"
#include "../host/services.h"
#include "util.h"

int32_t wzsteqn(const char *a, int32_t a_length, const char *b, int32_t b_length) {
    // Absent and negative-length strings are empty.
    if (a == nullptr || a_length < 0) {
        a_length = 0;
    }
    if (b == nullptr || b_length < 0) {
        b_length = 0;
    }
    if (a_length != b_length) {
        return 0;
    }
    if (qor::gcb_record_word(kGcbCompareSwitch, kCompareSwitchWord) != 0) {
        return wzsxeqn(a, a_length, b, b_length);
    }
    const auto *fold = reinterpret_cast<const uint8_t *>(qor::gcb_word(kGcbFoldTable));
    const auto *left = reinterpret_cast<const uint8_t *>(a);
    const auto *right = reinterpret_cast<const uint8_t *>(b);
    for (int32_t i = 0; i < a_length; ++i) {
        if (fold[left[i]] != fold[right[i]]) {
            return 0;
        }
    }
    return 1;
}

// Case folding through the control block's folding table, and the host's extended comparison.
#include "control_block.h"
#include "services.h"
#include "status.h"

namespace qorhost {

int32_t wzstrlo_service(char *text, int32_t length) {
    if (length < 0 || (text == nullptr && length > 0)) {
        return status(kStatusBadArgument);
    }
    const uint8_t *fold = fold_table();
    for (int32_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>(fold[static_cast<uint8_t>(text[i])]);
    }
    return 0;
}

int32_t wzsxeqn_service(const char *a, int32_t a_length, const char *b, int32_t b_length) {
    if (a_length != b_length || a_length < 0) {
        return 0;
    }
    if (a_length > 0 && (a == nullptr || b == nullptr)) {
        return 0;
    }
    const uint8_t *fold = fold_table();
    for (int32_t i = 0; i < a_length; ++i) {
        if (fold[static_cast<uint8_t>(a[i])] != fold[static_cast<uint8_t>(b[i])]) {
            return 0;
        }
    }
    return 1;
}

}  // namespace qorhost

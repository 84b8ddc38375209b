// The text form of a value given as a number or as bytes: the form in which it is sent to the
// directory and in which the getters read it back. The text is kept in the value (dv_text), so
// a value is formatted once however often its list is sent.
#include "../client/ldb64.h"
#include "../host/services.h"
#include "directory.h"

namespace {

constexpr int32_t kIntegerTextSize = 13;
constexpr const char *kEditCharacters = " -*0123456789";
// "%-16.16f" of a magnitude below 1e46 fits 64 bytes; larger magnitudes (up to the largest
// double, 309 integer digits) get a block that holds them whole rather than a cut number.
constexpr int32_t kFloatingTextSize = 64;
constexpr int32_t kLargeFloatingTextSize = 330;
constexpr double kLargeFloating = 1e46;

char *integer_text(HostPool *pool, int32_t number) {
    auto *text = static_cast<char *>(qor::pool_alloc(pool, kIntegerTextSize));
    if (text == nullptr) return nullptr;
    int32_t length = kIntegerTextSize;
    wzbltob(number, text, &length, kEditCharacters);  // 11 characters at most: always fits
    text[length] = '\0';
    return text;
}

// The number the getters read back from `text`: as dsgdbl reads it, or rounded to single
// precision as dsgflt does.
double read_back(const char *text, bool single) {
    double number = 0;
    HostNumberRequest request{24, 0, text, wzstlen(text), &number};
    wzifmn(&request);
    return single ? static_cast<double>(static_cast<float>(number)) : number;
}

// The fixed form: sixteen decimals, then without trailing zeros and without a point left last.
// Stored values and peers know numbers in this form, so it is written wherever it reads back as
// the number itself.
char *fixed_text(HostPool *pool, double number) {
    const double magnitude = number < 0 ? -number : number;
    const int32_t size = magnitude < kLargeFloating ? kFloatingTextSize : kLargeFloatingTextSize;
    auto *text = static_cast<char *>(qor::pool_alloc(pool, size));
    if (text == nullptr) return nullptr;
    xpsstr(text, size, "%-16.16f", number);
    int32_t length = wzstlen(text);
    while (length > 0 && text[length - 1] == '0') text[--length] = '\0';
    if (length > 0 && text[length - 1] == '.') text[--length] = '\0';
    return text;
}

// The shortest exponent form that reads back as the number: seventeen significant digits always
// do for a double, nine for a single.
char *exponent_text(HostPool *pool, double number, bool single) {
    auto *text = static_cast<char *>(qor::pool_alloc(pool, kFloatingTextSize));
    if (text == nullptr) return nullptr;
    const int32_t most_decimals = single ? 8 : 16;
    for (int32_t decimals = 0; decimals <= most_decimals; ++decimals) {
        xpsstr(text, kFloatingTextSize, "%.*e", decimals, number);
        if (read_back(text, single) == number) break;
    }
    return text;
}

// The text form of a floating value (`single` for kind float, whose value is the single-precision
// number widened). Null with *refused set for a value no text reads back as (NaN, infinities).
char *floating_text(HostPool *pool, double number, bool single, bool *refused) {
    *refused = number != number || number - number != 0;  // NaN, or an infinity
    if (*refused) return nullptr;
    constexpr char kZero[] = "0";
    if (number == 0.0) return qor::pool_copy_bytes(pool, kZero, literal_length(kZero));
    char *text = fixed_text(pool, number);
    if (text == nullptr || read_back(text, single) == number) return text;
    qor::pool_free(pool, text);
    return exponent_text(pool, number, single);
}

// Base64 with a line feed after every 76 characters and at the end, then a NUL.
char *binary_text(HostPool *pool, const unsigned char *bytes, int32_t count) {
    if (count < 0) return nullptr;
    const int64_t characters = 4 * ((static_cast<int64_t>(count) + 2) / 3);
    const int64_t capacity = characters + characters / 76 + 2;
    if (capacity > INT32_MAX) return nullptr;
    auto *text = static_cast<char *>(qor::pool_alloc(pool, static_cast<int32_t>(capacity)));
    if (text == nullptr) return nullptr;
    int32_t written = 0;
    static const unsigned char kNoBytes[1] = {0};
    if (encode_base64(bytes != nullptr ? bytes : kNoBytes, bytes != nullptr ? count : 0, text,
                      static_cast<int32_t>(capacity), &written, 1) != 0) {
        qor::pool_free(pool, text);
        return nullptr;
    }
    return text;
}

}  // namespace

int32_t dsfixval(LDAP *ld, dsval *value) {
    if (ld == nullptr || value == nullptr) return DS_MISSING_ARGUMENT;
    if (value->dv_text != nullptr) return DS_OK;
    char *text = nullptr;
    switch (value->dv_kind) {
    case DSVAL_INT:
    case DSVAL_LONG:
    case DSVAL_SHORT: text = integer_text(ld->ld_pool, value->dv_num); break;
    case DSVAL_FLOAT:
    case DSVAL_DOUBLE: {
        bool refused = false;
        text = floating_text(ld->ld_pool, value->dv_dbl, value->dv_kind == DSVAL_FLOAT, &refused);
        if (refused) return DS_MISSING_ARGUMENT;
        break;
    }
    case DSVAL_BINARY: text = binary_text(ld->ld_pool, value->dv_bin, value->dv_binlen); break;
    default: return DS_OK;  // no text form to make
    }
    if (text == nullptr) return DS_NO_MEMORY;
    value->dv_text = text;
    return DS_OK;
}

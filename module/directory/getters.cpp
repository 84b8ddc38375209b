// Typed value access: a value's text converted on its first read into the host's data types and
// kept in the value record. The integer getters share dv_num, the floating getters dv_dbl, the
// binary getter dv_bin/dv_binlen; a value converted by one family is never converted again.
#include "../client/ldb64.h"
#include "../host/services.h"
#include "directory.h"

namespace {

// A double as a 32-bit integer, truncated toward zero and held to the integer's range (0 for
// a value that is not a number).
int32_t saturated(double number) {
    if (!(number == number)) return 0;
    if (number >= 2147483647.0) return INT32_MAX;
    if (number <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(number);
}

// The integer view of `value`, converting its text when it has none yet (recording `kind`).
int32_t read_integer(dsval *value, int32_t kind) {
    if (value == nullptr) return 0;
    switch (value->dv_kind) {
    case DSVAL_NONE: {
        int32_t number = 0;
        zatoi(value->dv_text, wzstlen(value->dv_text), 1, nullptr, &number);
        value->dv_num = number;
        value->dv_kind = kind;
        return number;
    }
    case DSVAL_INT:
    case DSVAL_LONG:
    case DSVAL_SHORT: return value->dv_num;
    case DSVAL_FLOAT:
    case DSVAL_DOUBLE: return saturated(value->dv_dbl);
    default: return 0;
    }
}

// The floating view of `value`, converting its text when it has none yet. A value of the
// floating family records `kind` on every read; a value of another family keeps its kind, so
// that a binary buffer stays owned by its record.
double read_floating(dsval *value, int32_t kind) {
    if (value == nullptr) return 0.0;
    switch (value->dv_kind) {
    case DSVAL_NONE: {
        const char *text = value->dv_text != nullptr ? value->dv_text : "";
        HostNumberRequest request{24, 0, text, wzstlen(text), &value->dv_dbl};
        wzifmn(&request);
        value->dv_kind = kind;
        return value->dv_dbl;
    }
    case DSVAL_FLOAT:
    case DSVAL_DOUBLE: value->dv_kind = kind; return value->dv_dbl;
    case DSVAL_INT:
    case DSVAL_LONG:
    case DSVAL_SHORT: return value->dv_num;
    default: return 0.0;
    }
}

}  // namespace

int32_t dsgint(dsval *value) {
    return read_integer(value, DSVAL_INT);
}

int32_t dsglong(dsval *value) {
    return read_integer(value, DSVAL_LONG);
}

int32_t dsgshrt(dsval *value) {
    return static_cast<int16_t>(static_cast<uint16_t>(read_integer(value, DSVAL_SHORT)));
}

double dsgdbl(dsval *value) {
    return read_floating(value, DSVAL_DOUBLE);
}

float dsgflt(dsval *value) {
    return static_cast<float>(read_floating(value, DSVAL_FLOAT));
}

// The decoding buffer is sized for the text's Base64 content plus slack, and only kept once
// the pool has supplied it: a value whose buffer could not be had stays unconverted.
unsigned char *dsgbin(LDAP *ld, dsval *value, int32_t *length) {
    if (ld == nullptr || value == nullptr) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    if (value->dv_kind == DSVAL_NONE) {
        const char *text = value->dv_text != nullptr ? value->dv_text : "";
        const int32_t text_length = wzstlen(text);
        const int32_t capacity = (text_length / 4) * 3 + 103;
        auto *bytes = static_cast<unsigned char *>(qor::pool_alloc(ld->ld_pool, capacity));
        if (bytes == nullptr) return nullptr;
        int32_t decoded = 0;
        decode_base64(text, text_length, bytes, capacity, &decoded);
        value->dv_bin = bytes;
        value->dv_binlen = decoded;
        value->dv_kind = DSVAL_BINARY;
    }
    if (value->dv_kind != DSVAL_BINARY) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    if (length != nullptr) *length = value->dv_binlen;
    return value->dv_bin;
}

char *dsgstr(dsval *value) {
    return value != nullptr ? value->dv_text : nullptr;
}

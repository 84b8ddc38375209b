// Attribute lists: one attribute type with values given in the host's data types, built from a
// variable argument list and released again.
#include "directory.h"

namespace {

// Reads the data of one value of `kind` from the argument list into `value`. False when a copy
// cannot be had; what was copied so far stays in the record for the caller to release.
bool take_value(HostPool *pool, dsval *value, int32_t kind, va_list *values) {
    value->dv_kind = kind;
    switch (kind) {
    case DSVAL_INT:
    case DSVAL_LONG:
    case DSVAL_SHORT: value->dv_num = va_arg(*values, int32_t); return true;
    case DSVAL_FLOAT:
    case DSVAL_DOUBLE: value->dv_dbl = va_arg(*values, double); return true;
    case DSVAL_BINARY: {
        const int32_t length = va_arg(*values, int32_t);
        const auto *bytes = va_arg(*values, const unsigned char *);
        value->dv_binlen = length;
        value->dv_bin = static_cast<unsigned char *>(qor::pool_alloc(pool, length));
        if (value->dv_bin == nullptr) return false;
        if (bytes != nullptr && length > 0) __builtin_memcpy(value->dv_bin, bytes, static_cast<size_t>(length));
        return true;
    }
    case DSVAL_TEXT: {
        const char *text = va_arg(*values, const char *);  // null counts as empty
        value->dv_text = qor::pool_copy_bytes(pool, text != nullptr ? text : "", wzstlen(text));
        return value->dv_text != nullptr;
    }
    default: return true;  // the record holds only its kind
    }
}

}  // namespace

namespace qor::ds {

void release_attribute(HostPool *pool, dsatt *attribute) {
    if (attribute == nullptr) return;
    if (attribute->da_vals != nullptr) {
        for (int32_t i = 0; i < attribute->da_count; ++i) {
            dsval *value = attribute->da_vals[i];
            if (value == nullptr) continue;
            if (value->dv_kind == DSVAL_BINARY) pool_free(pool, value->dv_bin);
            pool_free(pool, value->dv_text);
            pool_free(pool, value);
        }
        pool_free(pool, attribute->da_vals);
    }
    pool_free(pool, attribute->da_name);
    pool_free(pool, attribute);
}

}  // namespace qor::ds

// Nothing is left allocated when a copy fails: the half-built list goes back as a whole.
dsatt *form_attribute(LDAP *ld, const char *name, int32_t count, va_list values) {
    if (ld == nullptr) return nullptr;
    HostPool *pool = ld->ld_pool;
    auto *attribute = qor::pool_new<dsatt>(pool);
    if (attribute == nullptr) {
        ld->ld_errno = DS_NO_MEMORY;
        return nullptr;
    }
    attribute->da_name = qor::pool_copy_bytes(pool, name != nullptr ? name : "", wzstlen(name));
    attribute->da_count = count;
    attribute->da_vals = qor::pool_new_array<dsval *>(pool, count);
    bool complete = attribute->da_name != nullptr && attribute->da_vals != nullptr;

    va_list rest;
    va_copy(rest, values);
    for (int32_t i = 0; complete && i < count; ++i) {
        dsval *value = qor::pool_new<dsval>(pool);
        attribute->da_vals[i] = value;
        complete = value != nullptr && take_value(pool, value, va_arg(rest, int32_t), &rest);
    }
    va_end(rest);

    if (!complete) {
        qor::ds::release_attribute(pool, attribute);
        ld->ld_errno = DS_NO_MEMORY;
        return nullptr;
    }
    return attribute;
}

dsatt *dsmkatt(LDAP *ld, const char *name, int32_t count, ...) {
    va_list values;
    va_start(values, count);
    dsatt *attribute = form_attribute(ld, name, count, values);
    va_end(values);
    return attribute;
}

void dsfratt(LDAP *ld, dsatt *attribute) {
    if (ld == nullptr) return;
    qor::ds::release_attribute(ld->ld_pool, attribute);
}

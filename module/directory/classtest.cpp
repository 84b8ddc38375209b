// The class test: whether an entry of a result set belongs to an object class, by the values of
// its class attributes ("objectclass..." and "qorinterface..."). Names and compared values are
// lower-cased in place, as host programs have come to expect of the records they get back.
#include "../host/services.h"
#include "directory.h"

namespace {

constexpr char kObjectClass[] = "objectclass";
constexpr char kInterface[] = "qorinterface";

// Whether `text` (already lower-case) begins with `prefix`.
template <int32_t N>
bool begins_with(const char *text, int32_t text_length, const char (&prefix)[N]) {
    const int32_t length = literal_length(prefix);
    if (text_length < length) return false;
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] != prefix[i]) return false;
    }
    return true;
}

// Lower-cases the attribute's name in place and tells whether it names a class attribute.
bool is_class_attribute(char *name) {
    const int32_t length = wzstlen(name);
    wzstrlo(name, length);
    return begins_with(name, length, kObjectClass) || begins_with(name, length, kInterface);
}

}  // namespace

// The class name is compared through the host's case folding rather than lowered in a copy, so
// the test needs no memory and cannot fail for want of it.
int32_t dsiscls(LDAP *, dsent *entry, const char *class_name, int32_t length) {
    if (entry == nullptr || entry->de_atts == nullptr || length < 0 || (class_name == nullptr && length > 0)) {
        return 0;
    }
    for (dsatt **slot = entry->de_atts; *slot != nullptr; ++slot) {
        dsatt *attribute = *slot;
        if (attribute->da_name == nullptr || !is_class_attribute(attribute->da_name)) continue;
        for (int32_t k = 0; attribute->da_vals != nullptr && k < attribute->da_count; ++k) {
            dsval *value = attribute->da_vals[k];
            if (value == nullptr || value->dv_text == nullptr) continue;
            const int32_t value_length = wzstlen(value->dv_text);
            wzstrlo(value->dv_text, value_length);
            if (value_length >= length && wzsteqn(value->dv_text, length, class_name, length) == 1) return 1;
        }
    }
    return 0;
}

// The string filter encoder as the search builder uses it: the whole text in one call, with the
// reason of a failure kept apart (a bad filter is not a lack of memory).
#pragma once

#include <cstdint>

#include "ber_records.h"

namespace qor {

// Tags of the filter choices, one octet each.
inline constexpr int32_t kFilterAnd = 0xA0;
inline constexpr int32_t kFilterOr = 0xA1;
inline constexpr int32_t kFilterNot = 0xA2;
inline constexpr int32_t kFilterEquality = 0xA3;
inline constexpr int32_t kFilterSubstrings = 0xA4;
inline constexpr int32_t kFilterGreaterOrEqual = 0xA5;
inline constexpr int32_t kFilterLessOrEqual = 0xA6;
inline constexpr int32_t kFilterPresent = 0x87;
inline constexpr int32_t kFilterApproximate = 0xA8;
// Tags of the parts of a substrings filter.
inline constexpr int32_t kSubstringInitial = 0x80;
inline constexpr int32_t kSubstringAny = 0x81;
inline constexpr int32_t kSubstringFinal = 0x82;

}  // namespace qor

// A FilterWriter for a filter text (`filter` is a const char *; null counts as ""). It parses a
// private pool copy, so the caller's text is never changed. Answers 0 when the filter elements
// were written, LDAP_FILTER_ERROR for a syntax error, an empty or blank text (a search without a
// filter element is refused before anything is sent) or a codec failure inside the filter, and
// LDAP_NO_MEMORY when the pool could not supply a copy of the text or of an item.
int32_t write_string_filter(BerElement *ber, const void *filter);

// The string filter encoder as the search builder uses it: the whole text in one call, with the
// reason of a failure kept apart (a bad filter is not a lack of memory).
#pragma once

#include <cstdint>

#include "ber_records.h"

// A FilterWriter for a filter text (`filter` is a const char *; null counts as ""). It parses a
// private pool copy, so the caller's text is never changed. Answers 0 when the filter elements
// were written, LDAP_FILTER_ERROR for a syntax error, an empty or blank text (a search without a
// filter element is refused before anything is sent) or a codec failure inside the filter, and
// LDAP_NO_MEMORY when the pool could not supply a copy of the text or of an item.
int32_t write_string_filter(BerElement *ber, const void *filter);

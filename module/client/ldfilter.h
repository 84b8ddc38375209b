// The string filter encoder as the search builder uses it: the whole text in one call, with the
// reason of a failure kept apart (a bad filter is not a lack of memory).
//
// The syntax is the parenthesised prefix notation of RFC 4515, read leniently where older texts
// rely on it:
//   - "(&...)", "(|...)" and "(!...)" hold a list of filters (white space between them is
//     skipped; a not may hold several); several filters may also stand one after another at the
//     top level, and a text without parentheses is one item;
//   - an item is "type=value" (equality; presence for the value "*"; substrings where the value
//     holds "*"), "type>=value", "type<=value", "type~=value" (in these three "*" is an ordinary
//     character), or an extensible match "type:=value", "type:dn:=value", "type:rule:=value",
//     "type:dn:rule:=value", ":rule:=value" or ":dn:rule:=value" ("dn" in any case; "*" is
//     ordinary here too). An extensible match without type and rule, or with an empty rule, is
//     refused. Blanks around the operator belong to the type or the value;
//   - in an item a backslash and two hex digits stand for one byte ("\28" is "(", "\c3\bc" is
//     "ü"), sent as it is whatever the host's encoding; that byte is never an operator or a
//     wildcard ("(cn=\2a)" asks for the value "*"). A backslash before anything else keeps the
//     character after it as it is, with its ordinary meaning once the backslash is gone: "\("
//     and "\)" keep parentheses from the matching, "\\" is one backslash (which starts no
//     escape), and an escaped "*", "=", "<", ">", "~" or ":" still acts as one.
#pragma once

#include <cstdint>

#include "abi/ber_records.h"

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
inline constexpr int32_t kFilterExtensible = 0xA9;
// Tags of the parts of a substrings filter.
inline constexpr int32_t kSubstringInitial = 0x80;
inline constexpr int32_t kSubstringAny = 0x81;
inline constexpr int32_t kSubstringFinal = 0x82;
// Tags of the fields of an extensible match.
inline constexpr int32_t kExtensibleRule = 0x81;
inline constexpr int32_t kExtensibleType = 0x82;
inline constexpr int32_t kExtensibleValue = 0x83;
inline constexpr int32_t kExtensibleDnAttributes = 0x84;

// How one simple item was encoded: written, refused (a syntax error, or a codec or translator
// failure), or not encoded for want of memory.
enum class ItemOutcome { kWritten, kRefused, kNoMemory };

// Encodes the `length` bytes at `item`, one simple item as it stands in a filter text (escapes
// and all, without its parentheses), as one filter element. Works on a pool copy that it
// releases before it returns; the text itself is only read.
ItemOutcome put_filter_item(BerElement *ber, const char *item, int32_t length);

}  // namespace qor

// A FilterWriter for a filter text (`filter` is a const char *; null counts as ""). It parses a
// private pool copy, so the caller's text is never changed. Answers 0 when the filter elements
// were written, LDAP_FILTER_ERROR for a syntax error, an empty or blank text (a search without a
// filter element is refused before anything is sent) or a codec failure inside the filter, and
// LDAP_NO_MEMORY when the pool could not supply a copy of the text or of an item.
int32_t write_string_filter(BerElement *ber, const void *filter);

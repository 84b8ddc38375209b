// The module's counted-string and number routines. Text is a byte pointer with a signed 32-bit
// length: the bytes need not be NUL-terminated and may hold NUL bytes; a length of 0 or less is
// the empty string. None of these routines allocates memory or keeps state of its own; only
// wzsteqn reads host data (the folding table and the comparison switch), afresh at each call.
#pragma once

#include <cstdint>

#include "../host/export.h"

// Scan codes of zatoi.
inline constexpr int32_t kScanNumber = 0;    // at least one digit, no overflow
inline constexpr int32_t kScanNothing = 1;   // no sign and no digit
inline constexpr int32_t kScanSignOnly = 2;  // a sign without digits, or a sign not accepted
inline constexpr int32_t kScanOverflow = 3;  // beyond 32 bits (above 2147483647, below -2147483648); value 0

// Status of wzbltob when the text does not fit its field.
inline constexpr int32_t kFieldTooShort = static_cast<int32_t>(0x8000200d);

// Reads a decimal integer from `text`. A negative `length` means wzstlen(text). Leading blanks
// (0x20 only) are skipped; with `accept_sign` non-zero one "+" or "-" may precede the digits,
// blanks may stand between sign and digits. Stores the index of the first byte not consumed in
// *stop and the number (0 unless the code is kScanNumber) in *value; either may be null.
// Answers the scan code.
QOR_EXPORT int32_t zatoi(const char *text, int32_t length, int32_t accept_sign, int32_t *stop, int32_t *value);

// Writes `value` in decimal into `field`, whose capacity is *field_length. `edit` holds 13
// characters: [1] minus sign, [2] fill character, [3..12] the digits 0 to 9. On success the
// text stands at the start of the field, *field_length becomes its length and the result is 0;
// no NUL is written. When the text is longer than the field, the whole field is filled with the
// fill character, *field_length is unchanged and the result is kFieldTooShort.
QOR_EXPORT int32_t wzbltob(int32_t value, char *field, int32_t *field_length, const char *edit);

// Moves `length` bytes from `source` to `destination` (note the order); the areas may overlap.
// A length of 0 or less moves nothing.
QOR_EXPORT void wzbmndi(const void *source, void *destination, int32_t length);

// Concatenates `count` pieces, given as variadic pairs (const char *bytes, int32_t length),
// into `destination`, from its first byte. `length` >= 0 is field mode: the capacity is
// `length` and the unused rest of the field is filled with blanks, no NUL. `length` < 0 is
// string mode: the capacity is ~length, a NUL follows the text and the destination must hold
// capacity + 1 bytes. A `separator` >= 0 puts its low byte between pieces (it takes a unit of
// capacity; none follows the last piece). Whatever does not fit is dropped. Answers the number
// of bytes placed (pieces and separators, without blanks or NUL).
QOR_EXPORT int32_t wzstcat(char *destination, int32_t length, int32_t separator, int32_t count, ...);

// 1 when the two counted strings are equal ignoring case, else 0. Strings of different lengths
// are unequal without reading a byte; otherwise the host's extended comparison decides when its
// switch is on, else the host's folding table.
QOR_EXPORT int32_t wzsteqn(const char *a, int32_t a_length, const char *b, int32_t b_length);

// Number of bytes before the first NUL; 0 for a null pointer.
QOR_EXPORT int32_t wzstlen(const char *text);

// The length of a text literal or constant character array, without its NUL, known when
// compiling: names compared by length are never counted by hand.
template <int32_t N>
constexpr int32_t literal_length(const char (&)[N]) {
    return N - 1;
}

// Zero-based index of the first byte equal to the low byte of `character` among the first
// `length` bytes (a NUL does not end the scan), or -1: also for a null pointer or a length of
// 0 or less.
QOR_EXPORT int32_t wzstpos(const char *bytes, int32_t length, int32_t character);

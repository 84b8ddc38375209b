// Base64 (RFC 2045 alphabet and padding) for binary attribute values. Neither operation
// allocates; both write only inside the capacity they were given and check it before writing.
#pragma once

#include <cstdint>

#include "../host/export.h"

// The 64 characters in order of their 6-bit values (NUL-terminated).
QOR_EXPORT const char base64tab[65];

// The 6-bit value of each alphabet character, indexed by byte; 0xFF for every other byte
// (including "=" and NUL).
QOR_EXPORT const uint8_t base64idx[256];

// Encodes `length` bytes of `source` into `destination`. Without line breaks the output is the
// 4 * ((length + 2) / 3) characters, unterminated; with `line_breaks` non-zero a line feed
// follows every 76 characters and ends the text, and a NUL follows (not counted), so the
// capacity must also cover chars / 76 + 2 more bytes. Stores the number of characters written
// (line feeds included) in *output_length and answers 0; answers -1 without writing anything
// when an argument is null, `length` is negative or the capacity is short.
QOR_EXPORT int32_t encode_base64(const void *source, int32_t length, char *destination, int32_t capacity,
                                 int32_t *output_length, int32_t line_breaks);

// Decodes Base64 text into `destination`, whose capacity must be at least (length / 4) * 3 + 4
// (else -1, nothing written or stored). Carriage return, line feed, blank and tab are skipped;
// any other foreign byte is skipped too but makes the result -1. Decoding ends after the first
// padded group; an unpadded incomplete last group is dropped. The bytes decoded and their count
// (*output_length) are stored in every case but that of bad arguments; the answer is 0 when no
// foreign byte was seen.
QOR_EXPORT int32_t decode_base64(const char *source, int32_t length, void *destination, int32_t capacity,
                                 int32_t *output_length);

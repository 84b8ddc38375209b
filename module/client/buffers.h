// Where the client touches the codec's buffers. The codec owns how elements and socket buffers
// keep their bytes; the client needs a few things of them (release a message's buffer, copy a
// message, look at the bytes written, know whether input is pending, release a connection's
// input), and does each here alone. They rely on what the codec promises of the records' named
// fields: an element reads [be_pos, be_end) of the buffer at be_start and keeps the rest of its
// reading state relative to be_start, so a duplicate with a copied buffer at the same offsets
// reads exactly as the original.
#pragma once

#include <cstdint>

#include "abi/ber_records.h"

namespace qor {

// Releases the message buffer a reading element holds; the element then reads nothing.
void drop_buffer(HostPool *pool, BerElement *ber);

// Releases a request's element with its buffer, overwriting the bytes first: a bind request
// carries its password, which must not linger in the pool's free memory. Null is ignored.
void release_request_element(BerElement *ber);

// An element that reads the bytes written so far into `written` from their start, without a
// buffer of its own (it must not outlive `written`'s buffer).
BerElement written_view(const BerElement *written);

// An element that reads `length` bytes at `bytes` (a value inside a message, such as a control's),
// without a buffer of its own (it must not outlive those bytes).
BerElement bytes_view(const uint8_t *bytes, int32_t length);

// The number of bytes an element's buffer holds: what was received for a message, what was
// written for a request rewound for reading.
int32_t buffer_length(const BerElement *ber);

// The bytes a reading element has not read yet, [be_pos, be_end).
const uint8_t *unread_bytes(const BerElement *ber, int32_t *length);

// Moves a reading element past `count` of its unread bytes (at most all of them).
void skip_unread(BerElement *reader, int32_t count);

// Reads the next element of `reader` as raw bytes, untranslated (opaque values such as a paged
// search's cookie): *bytes points into the reader's buffer. False when it cannot be read.
bool read_raw_octets(BerElement *reader, const uint8_t **bytes, int32_t *length);

// Writes an OCTET STRING of raw bytes, untranslated. 0, or -1 when the codec refuses.
int32_t put_raw_octets(BerElement *ber, const uint8_t *bytes, int32_t length);

// A new element with its own copy of `source`'s buffer, reading from the same offset, both from
// `source`'s pool; null when the pool cannot supply them (nothing is then left allocated).
BerElement *copy_element(const BerElement *source);

// True when the connection's socket buffer holds received bytes not yet handed out.
bool input_pending(const LDAPSocketBuffer *sb);

// Releases the read-ahead buffer of a socket buffer whose connection is closed.
void release_input(HostPool *pool, LDAPSocketBuffer *sb);

}  // namespace qor

// The codec's operations, one per slot of its vector, and the element state they share. Callers
// reach them only through the vector (host module 18); the names stay inside the codec.
#pragma once

#include <cstdint>

#include "abi/ber_records.h"

namespace qor::codec {

// Bits of be_state.
inline constexpr uint8_t kWriteFailed = 0x01;  // a write failed: the bytes are not a message

// Reading: at most this many entered elements at once (the size of be_open_ends).
inline constexpr uint8_t kMaxEnteredDepth = sizeof(BerElement::be_open_ends) / sizeof(uint32_t);

// Writing (writer.cpp). While an element is written, [be_start, be_pos) holds the bytes and
// be_end is the end of its buffer, which grows by doubling through be_pool.
//
// berprnt: writes the format's items; 0, or -1 on an unknown item, a close that does not match
// the innermost open element, a tag without its item, or no memory. A failure marks the element
// kWriteFailed: it is written to no more and berflsh refuses it.
int32_t print(BerElement *ber, const char *format, ...);
// berwrte: appends `count` raw bytes; the count, or -1 (the element is then marked failed).
int32_t write_bytes(BerElement *ber, const void *bytes, int32_t count, int32_t mode);

// Reading (reader.cpp). Every read stays within the innermost entered element and be_end.
//
// berscan: reads the format's items; the tag of the last item read, or -1. A failed scan puts
// the read state back, releases what it allocated and nulls the destinations it had filled.
int32_t scan(BerElement *ber, const char *format, ...);
// bergint: the next element (any primitive tag, one to four octets) as an integer; its tag or -1.
int32_t get_int(BerElement *ber, int32_t *value);
// bergstr: the next primitive element as a new NUL-terminated text, translated; its tag or -1.
int32_t get_string(BerElement *ber, char **text);
// berpktg: the tag and length of the next element, which must lie whole within the bounds; the
// position does not move. -1 when there is no such element.
int32_t peek_tag(BerElement *ber, uint32_t *length);
// bersktg: the same, and the position moves to the element's contents (without entering it).
int32_t skip_tag(BerElement *ber, uint32_t *length);

// Element life (element.cpp).
//
// berallt: a new zero-filled element of `pool` with be_pool and be_options set; null without memory.
BerElement *allocate_element(HostPool *pool, int32_t options);
// berinit: every field zero (a buffer it held is the caller's to release).
void init_element(BerElement *ber, int32_t options);
// berdup: a new element, from the same pool, with the same state and the same buffer.
BerElement *duplicate_element(const BerElement *ber);
// berfree: releases the element, and its buffer when free_buffer is non-zero.
void free_element(BerElement *ber, int32_t free_buffer);
// berrest: turns what was written into what is to be read: be_end = be_pos, be_pos = be_start.
void rewind_element(BerElement *ber, int32_t mode);
// bersstt: the translators applied to every string written (encode) and read (decode); null: none.
void set_translators(BerElement *ber, StringTranslator encode, StringTranslator decode);

// Socket transfer (socket_io.cpp).
//
// bergnxt: one whole element from the socket into `ber` (a new buffer from its pool), positioned
// at its contents; stores the contents' length and answers the outer tag. BER_READ_WAIT_PASSED
// when the client's wait (sb_read_wait_ms) passed before the whole element arrived: what arrived
// stays buffered and the next call goes on from there. BER_READ_NO_MEMORY when the pool cannot
// supply a buffer: nothing is consumed. BER_READ_FAILED when the socket fails or ends, the
// element does not arrive within the host's read limit, or its length is indefinite, malformed or
// larger than the host's largest message.
int32_t next_message(LDAPSocketBuffer *sb, uint32_t *length, BerElement *ber);
// berflsh: sends [be_start, be_pos) within the host's read limit; 0, or -1 when the socket fails
// or the element is no finished message. With free_element set the element and its buffer are
// released after a successful send.
int32_t flush(LDAPSocketBuffer *sb, BerElement *ber, int32_t free_element);

}  // namespace qor::codec

// BER element and socket buffer: the records the protocol client shares with the host's BER codec
// (module 18). The client reads and writes the named fields; the codec owns the rest, and both
// the client and the codec compile against this one definition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abi/host_types.h"

// Encoding or decoding buffer. While an element is written, [be_start, be_pos) holds the bytes
// written and be_end is the end of its buffer; while it is read, [be_pos, be_end) is unread.
// An element copied by value reads the same bytes without moving the original's position.
struct BerElement {
    HostPool *be_pool;  // pool of the buffer; the session pool for every element of a session
    uint8_t *be_start;  // first byte of the buffer
    uint8_t *be_pos;    // next byte to read or write
    uint8_t *be_end;    // end of valid bytes (reading) or of the buffer (writing)
    // Codec-private from here, except be_options.
    uint32_t be_open_ends[4];  // reading: offsets from be_start of the ends of entered elements
    uint8_t be_options;        // copy of the session's option byte
    uint8_t be_depth;          // reading: number of entered elements
    uint8_t be_state;          // codec's own flags
    uint8_t be_reserved;
    StringTranslator be_encode;  // applied to every string written
    StringTranslator be_decode;  // applied to every string read
    uint32_t be_open_chain;      // writing: offset of the innermost open SEQUENCE/SET, plus one
};

// One per connection. sb_input is the codec's read-ahead buffer for the socket: [be_pos, be_end)
// are bytes received and not yet handed out, possibly the beginning of a message whose rest has
// not arrived yet; be_start is released by the client when the connection closes.
struct LDAPSocketBuffer {
    int32_t sb_socket;        // host socket handle
    BerElement sb_input;      // read-ahead buffer (codec)
    uint8_t *sb_input_limit;  // codec: end of sb_input's buffer
    // Set by the client before each read of a message: above 0, the most milliseconds the read
    // may wait for the rest of the message (the host's read limit still bounds it). When that
    // time passes first, the read answers 0 and keeps what arrived for the next read.
    int32_t sb_read_wait_ms;
    uint32_t sb_reserved1[5];  // codec
    HostEvent *sb_event;       // event the socket is registered with, or null
    uint32_t sb_reserved2[2];  // codec
};

// What bergnxt answers besides the outer tag of a whole message (a tag is never negative).
inline constexpr int32_t BER_READ_FAILED = -1;       // the stream failed or ended, the host's read
                                                     // limit passed, or the element is malformed or
                                                     // too large: the stream cannot go on
inline constexpr int32_t BER_READ_NO_MEMORY = -2;    // the pool had no memory: nothing is consumed
inline constexpr int32_t BER_READ_WAIT_PASSED = -3;  // the client's wait passed first: what arrived
                                                     // is kept for the next read

// Counted byte string.
struct berval {
    int32_t bv_len;
    char *bv_val;
};

#if defined(__i386__)
static_assert(sizeof(BerElement) == 48);
static_assert(offsetof(BerElement, be_pool) == 0);
static_assert(offsetof(BerElement, be_start) == 4);
static_assert(offsetof(BerElement, be_pos) == 8);
static_assert(offsetof(BerElement, be_end) == 12);
static_assert(offsetof(BerElement, be_options) == 32);
static_assert(sizeof(LDAPSocketBuffer) == 92);
static_assert(offsetof(LDAPSocketBuffer, sb_socket) == 0);
static_assert(offsetof(LDAPSocketBuffer, sb_input) == 4);
static_assert(offsetof(LDAPSocketBuffer, sb_event) == 80);
static_assert(sizeof(berval) == 8);
#endif

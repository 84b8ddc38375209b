// The codec's operations, one per slot of its vector, and the element state they share. Callers
// reach them only through the vector (host module 18); the names stay inside the codec.
#pragma once

#include <cstdint>

#include "../module/client/ber_records.h"

namespace qor::codec {

// Bits of be_state.
inline constexpr uint8_t kWriteFailed = 0x01;   // a write failed: the bytes are not a message

// Reading: at most this many entered elements at once (the size of be_open_ends).
inline constexpr uint8_t kMaxEnteredDepth = sizeof(BerElement::be_open_ends) / sizeof(uint32_t);

// Writing (writer.cpp). Answer 0, or -1 on failure; a failure marks the element kWriteFailed.
int32_t print(BerElement *ber, const char *format, ...);
int32_t write_bytes(BerElement *ber, const void *bytes, int32_t count, int32_t mode);

// Reading (reader.cpp). Answer the tag read, or -1.
int32_t scan(BerElement *ber, const char *format, ...);
int32_t get_int(BerElement *ber, int32_t *value);
int32_t get_string(BerElement *ber, char **text);
int32_t peek_tag(BerElement *ber, uint32_t *length);
int32_t skip_tag(BerElement *ber, uint32_t *length);

// Element life (element.cpp).
BerElement *allocate_element(HostPool *pool, int32_t options);
void init_element(BerElement *ber, int32_t options);
BerElement *duplicate_element(const BerElement *ber);
void free_element(BerElement *ber, int32_t free_buffer);
void rewind_element(BerElement *ber, int32_t mode);
void set_translators(BerElement *ber, StringTranslator encode, StringTranslator decode);

// Socket transfer (socket_io.cpp).
int32_t next_message(LDAPSocketBuffer *sb, uint32_t *length, BerElement *ber);
int32_t flush(LDAPSocketBuffer *sb, BerElement *ber, int32_t free_element);

}  // namespace qor::codec

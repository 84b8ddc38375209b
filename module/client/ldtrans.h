// String translators between the host's text encoding and the directory's (encoding 20, UTF-8).
// The codec applies them to every string it writes (encode) or reads (decode) on the elements
// of a session whose ld_ber_options has LBER_TRANSLATE_STRINGS.
#pragma once

#include <cstdint>

#include "../host/export.h"
#include "abi/host_types.h"

struct LDAP;

// Both translators follow the StringTranslator contract: *buffer and *length are replaced by a
// converted copy allocated from `pool` (zero-filled, one spare byte after the text, so it is
// always NUL-terminated); with `free_input` non-zero the input buffer goes back to the pool, in
// every outcome. The host's encoding is read from the control block at each call. Answer 0 on
// success; 1 when there is no output: *buffer is then null and *length unchanged. Besides a
// missing buffer, a transcoding that fails is the other way to get no output: its host status
// is logged (xprrlog) and the partial text dropped, so that the element being written or read
// fails instead of carrying a damaged value. A non-zero status without the failure bit is
// logged and the output kept.

// Host encoding to the directory's.
QOR_EXPORT int32_t encode_proc(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input);

// The directory's encoding to the host's. A value the host cannot represent (status 0x80002006)
// is not a failure: it arrives as the Base64 text (no line breaks) of its raw bytes.
QOR_EXPORT int32_t decode_proc(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input);

// True when the translator would hand every text back unchanged: it is encode_proc (or
// decode_proc) and the host's encoding is the directory's, so a writer may put the host's bytes
// as they are (a reader take the bytes as received) without a copy per text.
bool encodes_unchanged(StringTranslator encode);
bool decodes_unchanged(StringTranslator decode);

// Installs the session's translators; elements allocated afterwards use them.
QOR_EXPORT void ldap_set_string_translators(LDAP *ld, StringTranslator encode, StringTranslator decode);

// The codec's frame: what the host loader reads and calls when the directory module installs
// the codec as host module 18. The records are the host's image-information record and program
// control node (abi/module_image.h), declared as every module image exports them to the loader
// (module/frame/frame.h); the codec has its own instances of them.
#pragma once

#include <cstdint>

#include "../module/frame/frame.h"
#include "abi/ber_records.h"
#include "abi/module_image.h"
#include "gcb.h"

inline constexpr int32_t kCodecModule = 18;

// The codec's vector, published as host module 18: 17 slots, 0 and 1 null, the others the
// codec's operations under the entry numbers its callers' stubs use.
struct CodecVector {
    void *reserved[2];
    int32_t (*berprnt)(BerElement *ber, const char *format, ...);
    int32_t (*bergnxt)(LDAPSocketBuffer *sb, uint32_t *length, BerElement *ber);
    void (*berrest)(BerElement *ber, int32_t mode);
    BerElement *(*berdup)(const BerElement *ber);
    void (*berinit)(BerElement *ber, int32_t options);
    void (*berfree)(BerElement *ber, int32_t free_buffer);
    int32_t (*berscan)(BerElement *ber, const char *format, ...);
    int32_t (*bergint)(BerElement *ber, int32_t *value);
    int32_t (*berpktg)(BerElement *ber, uint32_t *length);
    int32_t (*bersktg)(BerElement *ber, uint32_t *length);
    int32_t (*bergstr)(BerElement *ber, char **text);
    BerElement *(*berallt)(HostPool *pool, int32_t options);
    int32_t (*berflsh)(LDAPSocketBuffer *sb, BerElement *ber, int32_t free_element);
    int32_t (*berwrte)(BerElement *ber, const void *bytes, int32_t count, int32_t mode);
    void (*bersstt)(BerElement *ber, StringTranslator encode, StringTranslator decode);
};
static_assert(sizeof(CodecVector) == 17 * sizeof(void *));

QOR_EXPORT const CodecVector bertbl;
QOR_EXPORT const ProgramControlNode pcn_QORLDBER;

// Entry of the codec's control node: publishes bertbl as module 18. Answers the publication's
// status, so that an installation that did not publish the vector is not taken for a success.
QOR_EXPORT int32_t qorldber();

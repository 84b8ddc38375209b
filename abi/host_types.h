// Records the module and the codec exchange with the host platform, and the control-block words
// they read. Their layout is part of the host ABI: the module, the codec and the platform runtime
// all compile against this one definition, so every side agrees by construction.
#pragma once

#include <cstddef>
#include <cstdint>

struct HostPool;

// A pool's own operations, reached through its first two words. Allocation flag 6 returns a
// zero-filled block (or null); release flags are 4, or 6 for message and transcoding buffers.
using PoolAllocate = void *(*)(HostPool *pool, int32_t size, int32_t flags);
using PoolRelease = int32_t (*)(HostPool *pool, void *block, int32_t zero, int32_t flags);

// Memory pool: the host's object starts with its allocate and release operations; the rest of
// it is the host's own.
struct HostPool {
    PoolAllocate allocate;
    PoolRelease release;
};

// Event record (five words) on which sockets are registered for read readiness and timers are
// armed. The host posts a failure into `status` and sets `status_present`.
struct HostEvent {
    int32_t word0;
    int32_t status;
    int32_t status_present;
    int32_t word3;
    int32_t word4;
};
static_assert(sizeof(HostEvent) == 20);

// Parameter block of the host's decimal reader wzifmn: {24, 0, text, length, where to store}.
struct HostNumberRequest {
    int32_t size;
    int32_t zero;
    const char *text;
    int32_t length;
    double *value;
};

#if defined(__i386__)
static_assert(sizeof(HostPool) == 8);
static_assert(offsetof(HostPool, release) == 4);
static_assert(offsetof(HostEvent, status) == 4);
static_assert(offsetof(HostEvent, status_present) == 8);
static_assert(sizeof(HostNumberRequest) == 20);
static_assert(offsetof(HostNumberRequest, text) == 8);
static_assert(offsetof(HostNumberRequest, value) == 16);
#endif

struct BerElement;
struct LDAPSocketBuffer;

// String translator between the host's text encoding and the directory's: replaces *buffer and
// *length by a converted copy from `pool`; with free_input set the input buffer is released.
// Answers 0, or 1 when no output buffer could be had (the buffer pointer is then null).
using StringTranslator = int32_t (*)(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input);

// Control-block words the module reads (counted from 0).
enum GcbWord : int {
    kGcbModuleVectors = 0,   // table: entry m is host module m's vector
    kGcbModuleFlags = 1,     // one byte per module, set to 1 by a stub before it calls in
    kGcbBaseTask = 4,        // base-task record; its word 36 is the task's service handle
    kGcbFoldTable = 6,       // 256-byte case-folding table
    kGcbCharClass = 8,       // 256-byte character classes; 0x08 marks white space
    kGcbCompareSwitch = 13,  // record whose word 3 selects the host's extended comparison
    kGcbTaskSwitch = 24,     // record whose word 6 is the current task record, or 1 (base task)
    kGcbEncoding = 33,       // record whose word 11 is the host's text-encoding identifier
    kGcbCurrentTask = 56,    // null, or the address of a word: 1 (base task) or a task record
};
inline constexpr int kTaskHandleWord = 36;
inline constexpr int kCompareSwitchWord = 3;
inline constexpr int kCurrentTaskWord = 6;
inline constexpr int kEncodingWord = 11;
inline constexpr uint8_t kCharClassSpace = 0x08;

// The directory's own text encoding (UTF-8 on the wire).
inline constexpr int32_t kWireEncoding = 20;

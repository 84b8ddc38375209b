// The module's frame: what the host loader reads and calls before any directory function runs.
#pragma once

#include <cstdint>

#include "../host/export.h"
#include "../host/host_types.h"

// Image-information record returned by mcn_main (96 bytes in the 32-bit ABI).
struct ImageInformation {
    char vi_eyecatcher[24];       // "QOR_Image_Information=", NUL, zero
    uint32_t vi_magic;            // 0xB0BDEBED
    uint32_t vi_format;           // 8
    char vi_host_version[6];      // "d.dd", NUL-padded
    char vi_release[20];          // 16 characters, NUL-padded
    char vi_build_date[12];       // "Mmm dd yyyy", NUL
    uint16_t vi_pad;
    uint32_t vi_reserved[3];
    const void *vi_control_nodes; // mcn_pcns
    const char *vi_notice;        // one-line legal notice
    char vi_level[4];             // "001"
};

using ControlNodeEntry = int32_t (*)();

// Program control node (44 bytes in the 32-bit ABI).
struct ProgramControlNode {
    uint32_t pcn_flags;           // 0xFFFF0000
    uint32_t pcn_size1;           // 1024
    uint32_t pcn_size2;           // 1024
    char pcn_name[8];             // "qorldap ", blank-padded, no NUL
    uint32_t pcn_zero;
    ControlNodeEntry pcn_entry;   // qorldap
    uint32_t pcn_one;             // 1
    uint32_t pcn_id1;             // 9683
    uint32_t pcn_id2;             // 34702482
    uint32_t pcn_id3;             // 15
};

QOR_EXPORT const ImageInformation vi_mcn;
QOR_EXPORT const ProgramControlNode pcn_QORLDAP;
QOR_EXPORT const ProgramControlNode *const mcn_pcns[2];
QOR_EXPORT uint32_t u_deve;
QOR_EXPORT uint32_t u_devp;

// Loader entry: stores the control block and the pidb value, runs the start-up hook, and answers
// the image-information record.
QOR_EXPORT const ImageInformation *mcn_main(uintptr_t gcb, uintptr_t pidb);

// Start-up hook called by mcn_main; nothing to do on this platform.
QOR_EXPORT void himodcn();

// Memory-pool handlers: the pool's own allocate (word 0) and release (word 1) operations.
QOR_EXPORT void *vmalcp_handler(HostPool *pool, int32_t size, int32_t flags);
QOR_EXPORT void *vmalloc_handler(HostPool *pool, int32_t size, int32_t flags);
QOR_EXPORT int32_t vmfree_handler(HostPool *pool, void *block, int32_t zero, int32_t flags);

#if defined(__i386__)
#include <cstddef>
static_assert(sizeof(ImageInformation) == 96);
static_assert(offsetof(ImageInformation, vi_magic) == 24);
static_assert(offsetof(ImageInformation, vi_host_version) == 32);
static_assert(offsetof(ImageInformation, vi_release) == 38);
static_assert(offsetof(ImageInformation, vi_build_date) == 58);
static_assert(offsetof(ImageInformation, vi_reserved) == 72);
static_assert(offsetof(ImageInformation, vi_control_nodes) == 84);
static_assert(offsetof(ImageInformation, vi_notice) == 88);
static_assert(offsetof(ImageInformation, vi_level) == 92);
static_assert(sizeof(ProgramControlNode) == 44);
static_assert(offsetof(ProgramControlNode, pcn_name) == 12);
static_assert(offsetof(ProgramControlNode, pcn_entry) == 24);
static_assert(offsetof(ProgramControlNode, pcn_id3) == 40);
#endif

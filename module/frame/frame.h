// The module's frame: what the host loader reads and calls before any directory function runs.
// The records it reads (image-information record, program control node) are the host's, in
// abi/module_image.h; the codec's frame declares its instances with this header too.
#pragma once

#include <cstdint>

#include "../host/export.h"
#include "abi/host_types.h"
#include "abi/module_image.h"

// The names the frames of the module and the codec give the host's records.
using ImageInformation = qorhost_image_record;
using ProgramControlNode = qorhost_control_node;

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

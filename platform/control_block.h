// The global control block a loaded module reaches through its anchor, and the module-vector
// table behind every stub (control-block word 0).
#pragma once

#include <cstdint>

namespace qorhost {

// Module numbers the table has room for (0 .. kModuleCount - 1).
inline constexpr int kModuleCount = 1024;

// Builds the control block, its tables and the host service vectors, reads the environment.
// Idempotent and thread-safe; every entry point of the runtime calls it first.
void ensure_started();

// Address of the control block handed to a module's mcn_main.
uintptr_t control_block_address();

// The vector of module `module`, or null. Reads are lock-free: the table is what stubs read.
void **module_vector(int module);

// Stores a vector in the table (null clears the slot). Callers hold the linkage lock.
void set_module_vector(int module, void **vector);

// True for the modules whose services this runtime provides (0, 4, 30, 31, 40, 443).
bool is_host_service_module(int module);

// The 256-byte case-folding table (ASCII letters to lower case, everything else to itself).
const uint8_t *fold_table();

// The base task's service handle (word 36 of the base-task record).
uintptr_t base_task_handle();

// The host text-encoding identifier (word 11 of the record at control-block word 33).
int host_encoding();
void set_host_encoding(int encoding);

}  // namespace qorhost

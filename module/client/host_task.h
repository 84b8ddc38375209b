// The calling task as the host services know it: pools and sockets are made for a task.
#pragma once

#include <cstdint>

#include "../host/gcb.h"

namespace qor {

// The current task's record: the task switch names it, or says 1 for the base task.
inline uintptr_t current_task_record() {
    uintptr_t task = gcb_record_word(kGcbTaskSwitch, kCurrentTaskWord);
    return task == 1 ? gcb_word(kGcbBaseTask) : task;
}

// The current task's handle for host services (word 36 of its record).
inline uintptr_t current_task_handle() {
    return reinterpret_cast<const uintptr_t *>(current_task_record())[kTaskHandleWord];
}

}  // namespace qor

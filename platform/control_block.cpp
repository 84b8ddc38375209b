// The control block and the records it points to. They live for the whole process: a module may
// keep the control block's address in its anchor after it has been unloaded and loaded again.
#include "control_block.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "abi/host_types.h"

namespace qorhost {

void bind_host_services();              // service_table.cpp
void load_settings_from_environment();  // settings.cpp
void open_log_from_environment();       // log.cpp
void load_options_from_environment();   // options.cpp

namespace {

inline constexpr int kControlBlockWords = 64;
inline constexpr int kTaskRecordWords = 40;
inline constexpr int kRecordWords = 16;
inline constexpr uintptr_t kBaseTaskHandle = 0x7A5C0001u;

// Every record the module reads, in one place so their lifetime is the process's.
struct ControlBlockStorage {
    std::array<uintptr_t, kControlBlockWords> words{};
    std::array<void *, kModuleCount> module_table{};
    std::array<uint8_t, kModuleCount> module_flags{};
    std::array<uintptr_t, kTaskRecordWords> base_task{};
    std::array<uintptr_t, kRecordWords> task_switch{};
    std::array<uintptr_t, kRecordWords> compare_switch{};
    std::array<uintptr_t, kRecordWords> encoding_record{};
    std::array<uint8_t, 256> fold{};
    std::array<uint8_t, 256> char_class{};
};

ControlBlockStorage storage;
std::once_flag started;

void build_control_block() {
    for (int c = 0; c < 256; ++c) {
        storage.fold[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    for (const char c : {' ', '\t', '\r', '\n', '\v', '\f'}) {
        storage.char_class[static_cast<uint8_t>(c)] = kCharClassSpace;
    }
    storage.base_task[0] = 1;
    storage.base_task[kTaskHandleWord] = kBaseTaskHandle;
    storage.task_switch[kCurrentTaskWord] = 1;
    storage.compare_switch[kCompareSwitchWord] = 0;
    storage.encoding_record[kEncodingWord] = static_cast<uintptr_t>(kWireEncoding);

    auto &w = storage.words;
    w[kGcbModuleVectors] = reinterpret_cast<uintptr_t>(storage.module_table.data());
    w[kGcbModuleFlags] = reinterpret_cast<uintptr_t>(storage.module_flags.data());
    w[kGcbBaseTask] = reinterpret_cast<uintptr_t>(storage.base_task.data());
    w[kGcbFoldTable] = reinterpret_cast<uintptr_t>(storage.fold.data());
    w[kGcbCharClass] = reinterpret_cast<uintptr_t>(storage.char_class.data());
    w[kGcbCompareSwitch] = reinterpret_cast<uintptr_t>(storage.compare_switch.data());
    w[kGcbTaskSwitch] = reinterpret_cast<uintptr_t>(storage.task_switch.data());
    w[kGcbEncoding] = reinterpret_cast<uintptr_t>(storage.encoding_record.data());
    w[kGcbCurrentTask] = 0;
}

}  // namespace

void ensure_started() {
    std::call_once(started, [] {
        build_control_block();
        bind_host_services();
        open_log_from_environment();
        load_settings_from_environment();
        load_options_from_environment();
    });
}

uintptr_t control_block_address() {
    return reinterpret_cast<uintptr_t>(storage.words.data());
}

void **module_vector(int module) {
    if (module < 0 || module >= kModuleCount) {
        return nullptr;
    }
    return static_cast<void **>(__atomic_load_n(&storage.module_table[module], __ATOMIC_ACQUIRE));
}

void set_module_vector(int module, void **vector) {
    __atomic_store_n(&storage.module_table[module], static_cast<void *>(vector), __ATOMIC_RELEASE);
}

const uint8_t *fold_table() {
    return storage.fold.data();
}

uintptr_t base_task_handle() {
    return kBaseTaskHandle;
}

int host_encoding() {
    return static_cast<int>(__atomic_load_n(&storage.encoding_record[kEncodingWord], __ATOMIC_RELAXED));
}

void set_host_encoding(int encoding) {
    __atomic_store_n(&storage.encoding_record[kEncodingWord], static_cast<uintptr_t>(encoding), __ATOMIC_RELAXED);
}

}  // namespace qorhost

extern "C" uintptr_t qorhost_control_block(void) {
    qorhost::ensure_started();
    return qorhost::control_block_address();
}

extern "C" int qorhost_start(void) {
    qorhost::ensure_started();
    return 0;
}

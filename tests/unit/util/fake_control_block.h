// A control block of the test's own, installed as the module's for the life of the object: the
// host data the module reads (folding table, comparison switch, text encoding) and the host
// services it calls (any module vector entry) are then whatever the test puts there. The
// module's own anchor is looked up in the module, so that no copy of the variable in the test
// program stands in for it; the previous control block comes back on destruction.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "abi/host_types.h"
#include "module/util/util.h"

namespace qortest {

class FakeControlBlock {
public:
    FakeControlBlock() {
        anchor_ = module_anchor();
        EXPECT_NE(anchor_, nullptr) << "the module's control-block anchor was not found";
        for (int c = 0; c < 256; ++c) {
            fold_[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        for (size_t m = 0; m < vectors_.size(); ++m) {
            module_vectors_[m] = reinterpret_cast<uintptr_t>(vectors_[m].data());
        }
        words_[kGcbModuleVectors] = reinterpret_cast<uintptr_t>(module_vectors_.data());
        words_[kGcbModuleFlags] = reinterpret_cast<uintptr_t>(flags_.data());
        words_[kGcbFoldTable] = reinterpret_cast<uintptr_t>(fold_.data());
        words_[kGcbCompareSwitch] = reinterpret_cast<uintptr_t>(compare_record_.data());
        words_[kGcbEncoding] = reinterpret_cast<uintptr_t>(encoding_record_.data());
        if (anchor_ != nullptr) {
            saved_ = *anchor_;
            *anchor_ = reinterpret_cast<uintptr_t>(words_.data());
        }
    }
    ~FakeControlBlock() {
        if (anchor_ != nullptr) {
            *anchor_ = saved_;
        }
    }
    FakeControlBlock(const FakeControlBlock &) = delete;
    FakeControlBlock &operator=(const FakeControlBlock &) = delete;

    // Host module `module`'s entry `entry` becomes `function`.
    template <typename Function>
    void set_service(int module, int entry, Function function) {
        vectors_.at(static_cast<size_t>(module)).at(static_cast<size_t>(entry)) = reinterpret_cast<uintptr_t>(function);
    }
    // The flag byte a stub sets before it calls into module `module`.
    uint8_t flag(int module) const { return flags_.at(static_cast<size_t>(module)); }

    std::array<uint8_t, 256> &fold_table() { return fold_; }
    void set_compare_switch(uintptr_t on) { compare_record_[kCompareSwitchWord] = on; }
    void set_host_encoding(int32_t encoding) { encoding_record_[kEncodingWord] = static_cast<uintptr_t>(encoding); }

private:
    static uintptr_t *module_anchor() {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&wzstlen), &info) == 0 || info.dli_fname == nullptr) {
            return nullptr;
        }
        void *module = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (module == nullptr) {
            return nullptr;
        }
        auto *anchor = static_cast<uintptr_t *>(dlsym(module, "v_global_gcb_anchor"));
        dlclose(module);
        return anchor;
    }

    uintptr_t *anchor_ = nullptr;
    uintptr_t saved_ = 0;
    std::array<uintptr_t, 64> words_{};
    std::array<std::array<uintptr_t, 400>, 31> vectors_{};   // modules 0..30, entries 0..399
    std::array<uintptr_t, 31> module_vectors_{};
    std::array<uint8_t, 512> flags_{};
    std::array<uint8_t, 256> fold_{};
    std::array<uintptr_t, 8> compare_record_{};
    std::array<uintptr_t, 16> encoding_record_{};
};

}  // namespace qortest

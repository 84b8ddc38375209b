// The module as a loaded image: what it imports, and its life from load to termination.
#include <elf.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "qorldap/qorhost.h"
#include "qorldap/qorldap.h"
#include "tests/support/runtime.h"

namespace {

std::vector<char> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Undefined, non-weak dynamic symbols of a shared object of this build's word size.
template <typename Ehdr, typename Shdr, typename Sym, unsigned char Bind(unsigned char)>
std::set<std::string> strong_imports(const std::vector<char> &image) {
    const auto *header = reinterpret_cast<const Ehdr *>(image.data());
    const auto *sections = reinterpret_cast<const Shdr *>(image.data() + header->e_shoff);
    std::set<std::string> names;
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) {
            continue;
        }
        const char *strings = image.data() + sections[sections[i].sh_link].sh_offset;
        const auto *symbols = reinterpret_cast<const Sym *>(image.data() + sections[i].sh_offset);
        const size_t count = sections[i].sh_size / sizeof(Sym);
        for (size_t s = 1; s < count; ++s) {
            if (symbols[s].st_shndx == SHN_UNDEF && Bind(symbols[s].st_info) != STB_WEAK) {
                names.insert(strings + symbols[s].st_name);
            }
        }
    }
    return names;
}

unsigned char bind32(unsigned char info) { return ELF32_ST_BIND(info); }
unsigned char bind64(unsigned char info) { return ELF64_ST_BIND(info); }

std::set<std::string> strong_imports_of(const std::string &path) {
    const std::vector<char> image = read_file(path);
    EXPECT_GT(image.size(), sizeof(Elf32_Ehdr)) << path;
    if (image.size() <= EI_CLASS) {
        return {};
    }
    return image[EI_CLASS] == ELFCLASS32 ? strong_imports<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, bind32>(image)
                                         : strong_imports<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, bind64>(image);
}

#if !defined(__SANITIZE_ADDRESS__)
// The host loads the module into its own process: it may import nothing but memcpy and memset.
TEST(ModuleImage, ImportsNothingButMemcpyAndMemset) {
    const std::set<std::string> allowed = {"memcpy", "memset"};
    for (const char *image : {"/qorldap.so", "/qorldber.so"}) {
        for (const std::string &name : strong_imports_of(std::string(QOR_MODULE_DIR) + image)) {
            EXPECT_TRUE(allowed.count(name)) << image << " imports " << name;
        }
    }
}
#endif

TEST(ModuleLifecycle, LoadPublishesTheVectorAndInstallsTheCodec) {
    ASSERT_TRUE(qortest::module_loaded());
    EXPECT_NE(qortest::vector(QORLDAP_MODULE), nullptr);
    void **codec = qortest::vector(QORLDAP_CODEC_MODULE);
    ASSERT_NE(codec, nullptr);
    for (int entry = 2; entry <= 16; ++entry) {
        EXPECT_NE(codec[entry], nullptr) << "codec entry " << entry;
    }
}

// Stopping the runtime calls the module's termination entry (slot 4), which withdraws module 17
// through the host's wideprt. Runs in a child process: the rest of this program keeps its module.
int withdrawals_of_17 = 0;
void *runtime_wideprt = nullptr;
extern "C" int32_t withdraw_spy(int32_t module) {
    withdrawals_of_17 += module == QORLDAP_MODULE;
    return reinterpret_cast<int32_t (*)(int32_t)>(runtime_wideprt)(module);
}

TEST(ModuleLifecycle, StopCallsTermWhichWithdrawsTheVector) {
    ASSERT_TRUE(qortest::module_loaded());
    EXPECT_EXIT(
        {
            void **services = qorhost_vector(0);
            runtime_wideprt = services[79];
            services[79] = reinterpret_cast<void *>(&withdraw_spy);
            const int status = qorhost_stop();
            const bool withdrawn = qorhost_vector(QORLDAP_MODULE) == nullptr;
            std::exit(status == 0 && withdrawals_of_17 == 1 && withdrawn ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

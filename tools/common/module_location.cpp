#include "module_location.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace qortools {
namespace {

namespace fs = std::filesystem;

constexpr const char *kImageName = "qorldap.so";

// The module's directory relative to the program's own, in the build tree and in an install.
constexpr const char *kBesideTheProgram[] = {QOR_BUILD_MODULES_FROM_PROGRAM, QOR_INSTALL_MODULES_FROM_PROGRAM};

bool readable(const fs::path &path) {
    return ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

std::string module_path() {
    if (const char *list = std::getenv("QORHOST_MODULE_PATH"); list != nullptr) {
        std::string_view rest = list;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const std::string_view directory = rest.substr(0, colon);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
            if (directory.empty()) continue;
            const fs::path candidate = fs::path(directory) / kImageName;
            if (readable(candidate)) return candidate.string();
        }
    }
    std::error_code error;
    const fs::path program_directory = fs::read_symlink("/proc/self/exe", error).parent_path();
    const fs::path base = error ? fs::path(".") : program_directory;
    for (const char *directory : kBesideTheProgram) {
        const fs::path candidate = (base / directory / kImageName).lexically_normal();
        if (readable(candidate)) return candidate.string();
    }
    return (base / kBesideTheProgram[0] / kImageName).lexically_normal().string();
}

}  // namespace qortools

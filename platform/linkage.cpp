// Module linkage: the loader, publication and withdrawal of vectors, installation of modules by
// name, and shutdown. One lock guards the registry; module code (node entries, termination
// entries) always runs without it, because it calls back into hiexprt and wideprt.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control_block.h"
#include "log.h"
#include "qorldap/qorhost.h"
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

constexpr char kEyecatcher[] = "QOR_Image_Information=";
constexpr uint32_t kImageMagic = 0xB0BDEBEDu;
constexpr uintptr_t kPidb = 0x51D80001u;

using ModuleMain = const qorhost_image_record *(*)(uintptr_t gcb, uintptr_t pidb);
using TerminationEntry = int32_t (*)();

struct Published {
    int module;
    void **vector;
    bool installed;
};

std::mutex registry_lock;
std::vector<Published> published;  // guarded by registry_lock
// An image loaded and kept: its dlopen handle, the path it was loaded from, its record.
struct LoadedImage {
    void *handle;
    std::string path;
    const qorhost_image_record *record;
};
std::vector<LoadedImage> images;  // in load order; guarded by registry_lock

// Installation depth of the calling thread: vectors published while it is above 0 come from a
// module being installed, whose termination is its installer's business.
thread_local int installing = 0;

// Directories of the images whose node entries are running on this thread, innermost last. A
// module's entry may reach wiinstl through a tail jump, which leaves no return address inside the
// module; the image being started is then the module that asks.
thread_local std::vector<std::string> starting_image_directories;

// Loader errors, as qorhost_load answers them.
enum LoadError : int { kLoaded = 0, kCannotOpen = -1, kNoEntryPoint = -2, kNotModuleImage = -3 };

// What loading an image came to: a LoadError, and when loaded, the last node entry's status.
struct LoadResult {
    LoadError error;
    int32_t status;
};

bool image_record_valid(const qorhost_image_record *image) {
    return image != nullptr && std::memcmp(image->vi_eyecatcher, kEyecatcher, sizeof kEyecatcher - 1) == 0 &&
           image->vi_magic == kImageMagic && image->vi_control_nodes != nullptr;
}

// Loads one image and runs its node entries.
LoadResult load_image(const std::string &path) {
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        log_line("qorhost: cannot load " + path + ": " + (why != nullptr ? why : "unknown reason"));
        return {kCannotOpen, 0};
    }
    auto *entry_point = reinterpret_cast<ModuleMain>(dlsym(handle, "mcn_main"));
    if (entry_point == nullptr) {
        log_line("qorhost: " + path + " is not a module image (no mcn_main)");
        dlclose(handle);
        return {kNoEntryPoint, 0};
    }
    const qorhost_image_record *image = entry_point(control_block_address(), kPidb);
    if (!image_record_valid(image)) {
        log_line("qorhost: " + path + " is not a module image (no valid image-information record)");
        dlclose(handle);
        return {kNotModuleImage, 0};
    }
    const auto *const *nodes = static_cast<const qorhost_control_node *const *>(image->vi_control_nodes);
    if (nodes[0] == nullptr) {
        log_line("qorhost: " + path + " has no program control node");
        dlclose(handle);
        return {kNotModuleImage, 0};
    }
    {
        // Kept loaded from here on, whatever the entries answer: they may have published vectors
        // that point into the image.
        std::lock_guard lock(registry_lock);
        images.push_back({handle, path, image});
    }
    const auto slash = path.rfind('/');
    starting_image_directories.push_back(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
    int32_t last = 0;
    for (int i = 0; nodes[i] != nullptr; ++i) {
        if (nodes[i]->pcn_entry != nullptr) {
            last = nodes[i]->pcn_entry();
        }
    }
    starting_image_directories.pop_back();
    return {kLoaded, last};
}

// The directory of the object that holds `address`, with a trailing slash, or "".
std::string directory_of(const void *address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    const std::string file = info.dli_fname;
    const auto slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

// The image file name of an 8-character module name: trailing blanks dropped, lower case,
// ".so" appended. Empty when the name holds anything but letters, digits, '_' and '-'.
std::string image_file_name(const char *name8) {
    std::string name;
    for (int i = 0; i < 8 && name8[i] != '\0'; ++i) {
        name += name8[i];
    }
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    for (char &c : name) {
        const bool allowed =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!allowed) {
            return {};
        }
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name.empty() ? name : name + ".so";
}

// Candidate paths for an image: the asking module's directory, the directory of the image whose
// start is running, then QORHOST_MODULE_PATH.
std::vector<std::string> image_candidates(const std::string &file, const void *caller) {
    std::vector<std::string> paths;
    const std::string own = directory_of(caller);
    if (!own.empty()) {
        paths.push_back(own + file);
    }
    if (!starting_image_directories.empty() && starting_image_directories.back() != own) {
        paths.push_back(starting_image_directories.back() + file);
    }
    if (const char *path = std::getenv("QORHOST_MODULE_PATH")) {
        std::string list = path;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(':', start), list.size());
            std::string dir = list.substr(start, end - start);
            if (!dir.empty()) {
                paths.push_back(dir + (dir.back() == '/' ? "" : "/") + file);
            }
            start = end + 1;
        }
    }
    return paths;
}

bool is_published(int module) {
    std::lock_guard lock(registry_lock);
    return std::any_of(published.begin(), published.end(), [&](const Published &p) { return p.module == module; });
}

int32_t install(int32_t module, const char *name8, const void *caller) {
    if (module < 0 || module >= kModuleCount || is_host_service_module(module) || name8 == nullptr) {
        return status(kStatusBadArgument);
    }
    const std::string file = image_file_name(name8);
    if (file.empty()) {
        log_line("qorhost: wiinstl: module name is not a valid image name");
        return status(kStatusBadArgument);
    }
    for (const std::string &path : image_candidates(file, caller)) {
        if (access(path.c_str(), F_OK) != 0) {
            continue;
        }
        ++installing;
        const LoadResult result = load_image(path);
        --installing;
        if (result.error != kLoaded) {
            return status(kStatusInvalidImage);
        }
        if (result.status == 0 && !is_published(module)) {
            log_line("qorhost: " + path + " did not publish module " + std::to_string(module));
            return status(kStatusInvalidImage);
        }
        return result.status;
    }
    log_line("qorhost: wiinstl: no image " + file + " for module " + std::to_string(module));
    return status(kStatusNotFound);
}

}  // namespace

int32_t hiexprt_service(int32_t module, void *const *vector, uintptr_t) {
    ensure_started();
    if (module < 0 || module >= kModuleCount || is_host_service_module(module) || vector == nullptr) {
        return status(kStatusBadArgument);
    }
    std::lock_guard lock(registry_lock);
    for (Published &p : published) {
        if (p.module == module) {
            return p.vector == vector ? 0 : status(kStatusModuleInUse);
        }
    }
    auto *table_vector = const_cast<void **>(vector);
    published.push_back({module, table_vector, installing > 0});
    set_module_vector(module, table_vector);
    return 0;
}

int32_t wideprt_service(int32_t module) {
    std::lock_guard lock(registry_lock);
    const auto it =
        std::find_if(published.begin(), published.end(), [&](const Published &p) { return p.module == module; });
    if (it == published.end()) {
        return status(kStatusNotPublished);
    }
    set_module_vector(module, nullptr);
    published.erase(it);
    return 0;
}

// Not inlined: the return address must be the stub's caller inside the asking module.
__attribute__((noinline)) int32_t wiinstl_service(int32_t module, const char *name8, int32_t) {
    return install(module, name8, __builtin_return_address(0));
}

}  // namespace qorhost

using namespace qorhost;

extern "C" int qorhost_load(const char *path) {
    ensure_started();
    if (path == nullptr || *path == '\0') {
        return kCannotOpen;
    }
    const LoadResult result = load_image(path);
    return result.error != kLoaded ? result.error : result.status;
}

extern "C" const qorhost_image_record *qorhost_image_of(const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(registry_lock);
    const auto it =
        std::find_if(images.begin(), images.end(), [&](const LoadedImage &image) { return image.path == path; });
    return it != images.end() ? it->record : nullptr;
}

extern "C" void **qorhost_vector(int module) {
    ensure_started();
    return module_vector(module);
}

extern "C" int qorhost_stop(void) {
    ensure_started();
    std::vector<Published> to_terminate;
    {
        std::lock_guard lock(registry_lock);
        for (const Published &p : published) {
            if (!p.installed) {
                to_terminate.push_back(p);
            }
        }
    }
    int first_failure = 0;
    for (const Published &p : to_terminate) {
        auto term = reinterpret_cast<TerminationEntry>(p.vector[4]);
        const int32_t result = term != nullptr ? term() : 0;
        if (result != 0 && first_failure == 0) {
            first_failure = result;
        }
    }
    std::vector<LoadedImage> to_close;
    {
        std::lock_guard lock(registry_lock);
        for (const Published &p : published) {
            set_module_vector(p.module, nullptr);
        }
        published.clear();
        to_close.swap(images);
    }
    for (auto it = to_close.rbegin(); it != to_close.rend(); ++it) {
        dlclose(it->handle);
    }
    return first_failure;
}

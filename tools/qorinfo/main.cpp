// qorinfo: starts the platform runtime, loads a module image the way the host loader does, and
// prints what the loader sees: the image-information record, the program control nodes and the
// vectors the module published or installed.
//
//   qorinfo [MODULE.so]     (default: the qorldap module beside the program, as qords finds it)
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "include/qorldap/qorhost.h"
#include "include/qorldap/qorldap.h"
#include "module_location.h"
#include "module/frame/frame.h"

namespace {

std::string printable(const char *bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Host services the directory module calls, by module and entry: names the slots of vectors
// whose functions are not exported (the codec's, the runtime's).
struct ServiceName {
    int module;
    int entry;
    const char *name;
};
constexpr ServiceName kServices[] = {
#define QOR_SERVICE(result, name, module, entry, parameters) {module, entry, #name},
#include "module/host/services.def"
#undef QOR_SERVICE
};

// Name of the exported symbol at an address, else the service name of the slot, else "?".
std::string symbol_at(const void *address, int module = -1, int slot = -1) {
    Dl_info info{};
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
        return info.dli_sname;
    }
    for (const ServiceName &service : kServices) {
        if (service.module == module && service.entry == slot) {
            return service.name;
        }
    }
    return "?";
}

void print_image(const ImageInformation &image) {
    std::printf("image-information record (%zu bytes)\n", sizeof image);
    std::printf("  eye-catcher   \"%s\"\n", printable(image.vi_eyecatcher, 22).c_str());
    std::printf("  magic         0x%08X\n", image.vi_magic);
    std::printf("  format        %u\n", image.vi_format);
    std::printf("  host version  \"%s\"\n",
                std::string(image.vi_host_version, strnlen(image.vi_host_version, 6)).c_str());
    std::printf("  release       \"%s\"\n", std::string(image.vi_release, strnlen(image.vi_release, 20)).c_str());
    std::printf("  build date    \"%s\"\n", std::string(image.vi_build_date, strnlen(image.vi_build_date, 12)).c_str());
    std::printf("  notice        \"%s\"\n", image.vi_notice != nullptr ? image.vi_notice : "");
    std::printf("  level         \"%s\"\n", std::string(image.vi_level, strnlen(image.vi_level, 4)).c_str());
}

void print_nodes(const ImageInformation &image) {
    const auto *const *nodes = static_cast<const ProgramControlNode *const *>(image.vi_control_nodes);
    for (int i = 0; nodes != nullptr && nodes[i] != nullptr; ++i) {
        const ProgramControlNode &node = *nodes[i];
        std::printf("program control node %d (%zu bytes)\n", i, sizeof node);
        std::printf("  flags 0x%08X  sizes %u/%u  name \"%s\"\n", node.pcn_flags, node.pcn_size1, node.pcn_size2,
                    printable(node.pcn_name, sizeof node.pcn_name).c_str());
        std::printf("  entry %s  numbers %u %u %u %u\n",
                    symbol_at(reinterpret_cast<const void *>(node.pcn_entry)).c_str(), node.pcn_one, node.pcn_id1,
                    node.pcn_id2, node.pcn_id3);
    }
}

void print_vector(int module, int slots) {
    void **vector = qorhost_vector(module);
    if (vector == nullptr) {
        std::printf("module %d: not published\n", module);
        return;
    }
    std::printf("module %d vector\n", module);
    for (int slot = 0; slot < slots; ++slot) {
        if (vector[slot] != nullptr) {
            std::printf("  %2d  %s\n", slot, symbol_at(vector[slot], module, slot).c_str());
        } else {
            std::printf("  %2d  -\n", slot);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help"))) {
        std::fprintf(stderr, "usage: qorinfo [MODULE.so]\n");
        return argc == 2 ? 0 : 2;
    }
    const std::string path = argc == 2 ? argv[1] : qortools::module_path();

    if (qorhost_start() != 0) {
        std::fprintf(stderr, "qorinfo: the platform runtime did not start\n");
        return 3;
    }
    const int status = qorhost_load(path.c_str());
    if (status < 0) {
        std::fprintf(stderr, "qorinfo: %s: not a loadable module image\n", path.c_str());
        return 3;
    }
    std::printf("loaded %s: entry status %d\n", path.c_str(), status);

    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    const auto *image = handle != nullptr ? static_cast<const ImageInformation *>(dlsym(handle, "vi_mcn")) : nullptr;
    if (image != nullptr) {
        print_image(*image);
        print_nodes(*image);
    }
    print_vector(QORLDAP_MODULE, QORLDAP_SLOTS);
    print_vector(QORLDAP_CODEC_MODULE, 17);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return qorhost_stop() == 0 ? 0 : 3;
}

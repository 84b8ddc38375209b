// Binds every host service of the service tables to its module and entry. Each implementation is
// converted to the exact function-pointer type of its row, so a signature that drifts from the
// table fails to compile, and a row without an implementation fails the completeness check.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "control_block.h"
#include "services.h"

namespace qorhost {
namespace signatures {
// One function-pointer type per service. A service listed in both tables is declared twice; the
// two declarations must agree, or this does not compile.
#define QOR_SERVICE(result, name, module, entry, parameters) using name = result(*) parameters;
#include "../module/host/services.def"
#include "../codec/codec_services.def"
#undef QOR_SERVICE
}  // namespace signatures

namespace {

struct ServiceRow {
    std::string_view name;
    int module;
    int entry;
};

constexpr ServiceRow kRows[] = {
#define QOR_SERVICE(result, name, module, entry, parameters) {#name, module, entry},
#include "../module/host/services.def"
#include "../codec/codec_services.def"
#undef QOR_SERVICE
};

// The modules this runtime provides; others (17, 18) are published by loaded modules.
constexpr int kHostModules[] = {0, 4, 30, 31, 40, 443};

constexpr bool is_host_module(int module) {
    for (const int m : kHostModules) {
        if (m == module) {
            return true;
        }
    }
    return false;
}

// Implementation address behind a function pointer of the row's exact type.
template <auto Function>
void *address_of() {
    return reinterpret_cast<void *>(Function);
}

struct Binding {
    std::string_view name;
    void *(*address)();
};

#define QORHOST_BIND(name)                                                     \
    Binding {                                                                  \
#name, &address_of < static_cast < signatures::name>(&name##_service)> \
    }

constexpr Binding kBindings[] = {
    QORHOST_BIND(hiexprt), QORHOST_BIND(wideprt), QORHOST_BIND(wiinstl), QORHOST_BIND(wkread),  QORHOST_BIND(wmtpc),
    QORHOST_BIND(wmpoold), QORHOST_BIND(wmrealc), QORHOST_BIND(wtgwait), QORHOST_BIND(wttimer), QORHOST_BIND(wzdttme),
    QORHOST_BIND(wzifmn),  QORHOST_BIND(wzosvar), QORHOST_BIND(wzstrlo), QORHOST_BIND(wztxcod), QORHOST_BIND(wzsxeqn),
    QORHOST_BIND(xpsstr),  QORHOST_BIND(xpslog),  QORHOST_BIND(xprrlog), QORHOST_BIND(xjsymfr), QORHOST_BIND(xalanch),
    QORHOST_BIND(xjsymgc), QORHOST_BIND(wqsclos), QORHOST_BIND(wqsconn), QORHOST_BIND(wqsfmsk), QORHOST_BIND(wqsgmsk),
    QORHOST_BIND(wqshost), QORHOST_BIND(wqsrsoc), QORHOST_BIND(wqssock), QORHOST_BIND(wqsureg), QORHOST_BIND(wqsread),
    QORHOST_BIND(wqswrit), QORHOST_BIND(wqslimt), QORHOST_BIND(wqstlss), QORHOST_BIND(wqstlsr),
};

constexpr const Binding *binding_for(std::string_view name) {
    for (const Binding &b : kBindings) {
        if (b.name == name) {
            return &b;
        }
    }
    return nullptr;
}

constexpr bool every_host_row_bound() {
    for (const ServiceRow &row : kRows) {
        if (is_host_module(row.module) && binding_for(row.name) == nullptr) {
            return false;
        }
    }
    return true;
}
static_assert(every_host_row_bound(), "a host service of the service tables has no implementation");

constexpr int highest_entry(int module) {
    int highest = -1;
    for (const ServiceRow &row : kRows) {
        if (row.module == module && row.entry > highest) {
            highest = row.entry;
        }
    }
    return highest;
}

// Room for every entry of every host module; unbound entries lead to a trap.
constexpr int kVectorSlots = [] {
    int slots = 0;
    for (const int m : kHostModules) {
        slots = highest_entry(m) + 1 > slots ? highest_entry(m) + 1 : slots;
    }
    return slots;
}();

std::array<std::array<void *, kVectorSlots>, std::size(kHostModules)> host_vectors;

// Reached through a host vector entry that no service occupies: a module calls a service this
// runtime does not provide, which can only be a mismatch of the service tables.
[[noreturn]] void unbound_entry() {
    std::fputs("qorhost: a module called a host service entry that this runtime does not provide\n", stderr);
    std::abort();
}

}  // namespace

void bind_host_services() {
    for (size_t i = 0; i < std::size(kHostModules); ++i) {
        host_vectors[i].fill(reinterpret_cast<void *>(&unbound_entry));
        for (const ServiceRow &row : kRows) {
            if (row.module == kHostModules[i]) {
                host_vectors[i][row.entry] = binding_for(row.name)->address();
            }
        }
        set_module_vector(kHostModules[i], host_vectors[i].data());
    }
}

bool is_host_service_module(int module) {
    return is_host_module(module);
}

}  // namespace qorhost

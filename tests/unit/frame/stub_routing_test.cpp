// Host-service stubs: every row of the service table is exported under both of its names and
// reaches entry e of host module m with the module's flag byte set; arguments (variadic ones
// included) and results pass through untouched; the module's own calls reach its own stubs even
// when the host process defines a function of the same name.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "module/directory/vector.h"
#include "module/host/gcb.h"
#include "module/host/services.h"
#include "module/util/util.h"
#include "tests/support/runtime.h"

// A host-process function under a service's name; the module must not call it.
static int host_process_wzsxeqn_calls = 0;
extern "C" int32_t wzsxeqn(const char *, int32_t, const char *, int32_t) {
    ++host_process_wzsxeqn_calls;
    return 0;
}

namespace {

struct ServiceRow {
    const char *name;
    const char *alias;
    int module;
    int entry;
};

#define QOR_SERVICE(result, name, module, entry, parameters) {#name, "_" #name "_" #module "_" #entry, module, entry},
const ServiceRow kRows[] = {
#include "module/host/services.def"
};
#undef QOR_SERVICE

uint8_t *module_flags() {
    return reinterpret_cast<uint8_t *>(qor::gcb_word(kGcbModuleFlags));
}

// Replaces one vector entry for the lifetime of the guard. A module's own vector lives in
// relocated read-only data, so its page is made writable first.
class EntryOverride {
public:
    EntryOverride(int module, int entry, void *function) : slot_(&qortest::vector(module)[entry]), saved_(*slot_) {
        const long page = sysconf(_SC_PAGESIZE);
        void *start = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(slot_) & ~static_cast<uintptr_t>(page - 1));
        EXPECT_EQ(mprotect(start, static_cast<size_t>(page), PROT_READ | PROT_WRITE), 0);
        *slot_ = function;
    }
    ~EntryOverride() { *slot_ = saved_; }
    EntryOverride(const EntryOverride &) = delete;
    EntryOverride &operator=(const EntryOverride &) = delete;

private:
    void **slot_;
    void *saved_;
};

int recorded_calls = 0;
extern "C" int32_t record_call() {
    ++recorded_calls;
    return 0x5EED;
}

class StubRouting : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(qortest::module_loaded()); }
};

TEST_F(StubRouting, EveryServiceIsExportedUnderBothNamesAndReachesItsEntry) {
    void *module = dlopen(QOR_MODULE_DIR "/qorldap.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    for (const ServiceRow &row : kRows) {
        SCOPED_TRACE(row.name);
        void *plain = dlsym(module, row.name);
        ASSERT_NE(plain, nullptr);
        EXPECT_EQ(dlsym(module, row.alias), plain) << row.alias;
        ASSERT_NE(qortest::vector(row.module), nullptr);

        EntryOverride override(row.module, row.entry, reinterpret_cast<void *>(&record_call));
        module_flags()[row.module] = 0;
        recorded_calls = 0;
        // A stub is a jump: calling it with no arguments reaches the entry with none.
        const int32_t result = reinterpret_cast<int32_t (*)()>(plain)();
        EXPECT_EQ(recorded_calls, 1);
        EXPECT_EQ(result, 0x5EED);
        EXPECT_EQ(module_flags()[row.module], 1);
    }
    dlclose(module);
}

struct Arguments {
    char *text;
    int32_t length;
};
Arguments seen;
extern "C" int32_t fold_spy(char *text, int32_t length) {
    seen = {text, length};
    return -7;
}

TEST_F(StubRouting, ArgumentsAndResultPassThrough) {
    EntryOverride override(0, 330, reinterpret_cast<void *>(&fold_spy));
    char text[] = "ABC";
    EXPECT_EQ(wzstrlo(text, 3), -7);
    EXPECT_EQ(seen.text, text);
    EXPECT_EQ(seen.length, 3);
}

extern "C" double clock_spy() {
    return 12345.5;
}

TEST_F(StubRouting, FloatingResultPassesThrough) {
    EntryOverride override(0, 291, reinterpret_cast<void *>(&clock_spy));
    EXPECT_EQ(wzdttme(), 12345.5);
}

std::string formatted;
extern "C" int32_t format_spy(char *buffer, int32_t size, const char *format, ...) {
    va_list values;
    va_start(values, format);
    char local[256];
    std::vsnprintf(local, sizeof local, format, values);
    va_end(values);
    formatted = local;
    std::snprintf(buffer, static_cast<size_t>(size), "%s", local);
    return static_cast<int32_t>(formatted.size());
}

TEST_F(StubRouting, VariadicArgumentsPassThrough) {
    EntryOverride override(30, 79, reinterpret_cast<void *>(&format_spy));
    char buffer[64];
    const int32_t length = xpsstr(buffer, sizeof buffer, "%d|%s|%.3f|%lld|%.1f", -42, "text", 2.5, 1LL << 40, -0.5);
    EXPECT_EQ(formatted, "-42|text|2.500|1099511627776|-0.5");
    EXPECT_EQ(length, static_cast<int32_t>(formatted.size()));
    EXPECT_STREQ(buffer, formatted.c_str());
}

// The module's own calls bind to its own stubs: with the host's extended comparison switched on,
// wzsteqn reaches the runtime's wzsxeqn, never the host process's function of that name.
TEST_F(StubRouting, ModuleCallsReachItsOwnStubsWhenTheProcessDefinesTheName) {
    auto *compare_switch = reinterpret_cast<uintptr_t *>(qor::gcb_word(kGcbCompareSwitch));
    const uintptr_t saved = compare_switch[kCompareSwitchWord];
    compare_switch[kCompareSwitchWord] = 1;
    host_process_wzsxeqn_calls = 0;
    const int32_t equal = wzsteqn("Name", 4, "nAME", 4);
    compare_switch[kCompareSwitchWord] = saved;
    EXPECT_EQ(equal, 1);
    EXPECT_EQ(host_process_wzsxeqn_calls, 0);
}

// The start entry publishes the vector before it installs the codec, and answers the
// installation's status.
std::vector<std::string> start_calls;
extern "C" int32_t publish_spy(int32_t module, void *const *vector, uintptr_t) {
    start_calls.push_back("hiexprt " + std::to_string(module) +
                          (vector == reinterpret_cast<void *const *>(&ldaptbl) ? " ldaptbl" : " ?"));
    return 99;
}
extern "C" int32_t install_spy(int32_t module, const char *name, int32_t mode) {
    start_calls.push_back("wiinstl " + std::to_string(module) + " " + std::string(name, 8) + " " + std::to_string(mode));
    return 0x1234;
}

TEST_F(StubRouting, StartPublishesTheVectorThenInstallsTheCodec) {
    EntryOverride publish(0, 71, reinterpret_cast<void *>(&publish_spy));
    EntryOverride install(0, 84, reinterpret_cast<void *>(&install_spy));
    start_calls.clear();
    EXPECT_EQ(qorldap(), 0x1234);
    ASSERT_EQ(start_calls.size(), 2u);
    EXPECT_EQ(start_calls[0], "hiexprt 17 ldaptbl");
    EXPECT_EQ(start_calls[1], "wiinstl 18 QORLDBER 2");
}

}  // namespace

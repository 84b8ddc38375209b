// The control block, the service vectors and module linkage: loading, publication, withdrawal,
// installation by name and shutdown.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qorldap/qorldap.h"
#include "tests/support/runtime.h"
#include "tests/unit/platform/service.h"

namespace {

TEST(ControlBlock, HoldsTheWordsModulesRead) {
    ASSERT_EQ(qorhost_start(), 0);
    EXPECT_EQ(gcb_word(kGcbCurrentTask), 0u);
    EXPECT_EQ(gcb_record_word(kGcbBaseTask, 0), 1u);
    EXPECT_EQ(gcb_record_word(kGcbTaskSwitch, kCurrentTaskWord), 1u);
    EXPECT_EQ(gcb_record_word(kGcbCompareSwitch, kCompareSwitchWord), 0u);
    EXPECT_NE(base_task_options(), nullptr);

    const auto *fold = reinterpret_cast<const uint8_t *>(gcb_word(kGcbFoldTable));
    const auto *classes = reinterpret_cast<const uint8_t *>(gcb_word(kGcbCharClass));
    for (int c = 0; c < 256; ++c) {
        const int expected = c >= 'A' && c <= 'Z' ? c + 32 : c;
        ASSERT_EQ(fold[c], expected) << c;
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
        ASSERT_EQ((classes[c] & kCharClassSpace) != 0, space) << c;
    }
}

TEST(ControlBlock, EncodingWordFollowsTheSetting) {
    ASSERT_EQ(qorhost_set_encoding(qorhost_encoding_number("ISO-8859-1")), 0);
    EXPECT_EQ(gcb_record_word(kGcbEncoding, kEncodingWord), static_cast<uintptr_t>(qorhost_encoding_number("latin1")));
    EXPECT_EQ(qorhost_set_encoding(12345), -1);
    ASSERT_EQ(qorhost_set_encoding(kWireEncoding), 0);
    EXPECT_EQ(gcb_record_word(kGcbEncoding, kEncodingWord), 20u);
}

TEST(ControlBlock, EveryServiceRowIsReachableThroughItsModuleVector) {
    qorhost_start();
    int rows = 0;
#define QOR_SERVICE(result, name, module, entry, parameters)                       \
    if (module != 17 && module != 18) {                                           \
        ++rows;                                                                   \
        ASSERT_NE(qorhost_vector(module), nullptr) << #name;                      \
        EXPECT_NE(qorhost_vector(module)[entry], nullptr) << #name;               \
    }
#include "codec/codec_services.def"
#include "module/host/services.def"
#undef QOR_SERVICE
    EXPECT_GT(rows, 0);
    // Distinct services sit at distinct addresses (a slot bound to the wrong row would repeat).
    EXPECT_NE(qorhost_vector(0)[112], qorhost_vector(0)[113]);
    EXPECT_NE(qorhost_vector(443)[40], qorhost_vector(443)[41]);
}

// A stand-in module vector: slot 4 counts its calls and answers a chosen status.
int terminations = 0;
int32_t termination_status = 0;
int32_t count_termination() {
    ++terminations;
    return termination_status;
}
void *fake_vector[5] = {nullptr, nullptr, nullptr, nullptr, reinterpret_cast<void *>(&count_termination)};
void *other_vector[5] = {};

TEST(Linkage, PublishWithdrawAndRefuse) {
    qorhost_start();
    EXPECT_EQ(svc::hiexprt()(300, fake_vector, 0), 0);
    EXPECT_EQ(qorhost_vector(300), fake_vector);
    EXPECT_EQ(svc::hiexprt()(300, fake_vector, 0), 0) << "publishing the same vector again is harmless";
    EXPECT_NE(svc::hiexprt()(300, other_vector, 0), 0) << "another vector must not replace a published one";
    EXPECT_EQ(qorhost_vector(300), fake_vector);
    EXPECT_NE(svc::hiexprt()(0, other_vector, 0), 0) << "host service modules cannot be replaced";
    EXPECT_NE(svc::hiexprt()(443, other_vector, 0), 0);
    EXPECT_NE(svc::hiexprt()(-1, other_vector, 0), 0);
    EXPECT_NE(svc::hiexprt()(5000, other_vector, 0), 0);
    EXPECT_NE(svc::hiexprt()(301, nullptr, 0), 0);

    EXPECT_EQ(svc::wideprt()(300), 0);
    EXPECT_EQ(qorhost_vector(300), nullptr);
    EXPECT_NE(svc::wideprt()(300), 0) << "nothing left to withdraw";
    EXPECT_NE(svc::wideprt()(0), 0);
    EXPECT_NE(qorhost_vector(0), nullptr);
}

TEST(Linkage, StopTerminatesPublishedVectorsOnceAndForgetsThem) {
    qorhost_start();
    terminations = 0;
    termination_status = 0x1234;
    ASSERT_EQ(svc::hiexprt()(301, fake_vector, 0), 0);
    ASSERT_EQ(svc::hiexprt()(302, fake_vector, 0), 0);
    EXPECT_EQ(qorhost_stop(), 0x1234);
    EXPECT_EQ(terminations, 2);
    EXPECT_EQ(qorhost_vector(301), nullptr);
    EXPECT_EQ(qorhost_vector(302), nullptr);
    termination_status = 0;
    EXPECT_EQ(qorhost_stop(), 0);
    EXPECT_EQ(terminations, 2);
    EXPECT_EQ(svc::hiexprt()(301, fake_vector, 0), 0) << "publishing works again after a stop";
    EXPECT_EQ(qorhost_stop(), 0);
}

TEST(Loader, RefusesWhatIsNotAModuleImage) {
    qorhost_start();
    EXPECT_EQ(qorhost_load("/nonexistent/qorldap.so"), -1);
    EXPECT_EQ(qorhost_load(""), -1);
    EXPECT_EQ(qorhost_load(nullptr), -1);

    char text_file[] = "/tmp/qorhost-not-elf-XXXXXX";
    const int fd = mkstemp(text_file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hello\n", 6), 6);
    close(fd);
    EXPECT_EQ(qorhost_load(text_file), -1);
    unlink(text_file);

    // A real shared object without the module entry point: the C library itself.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&std::abort), &info), 0);
    EXPECT_EQ(qorhost_load(info.dli_fname), -2);
}

TEST(Loader, InstallsTheCodecByNameAndLeavesItAloneAtStop) {
    qorhost_start();
    qorhost_stop();
    // The test program is not in the modules directory: the search path finds the image.
    setenv("QORHOST_MODULE_PATH", "/nonexistent:" QOR_MODULE_DIR, 1);
    EXPECT_NE(svc::wiinstl()(18, "NOSUCHMD", 2), 0);
    EXPECT_NE(svc::wiinstl()(18, "../QORLD", 2), 0) << "a name with a path must not be looked up";
    EXPECT_NE(svc::wiinstl()(0, "QORLDBER", 2), 0) << "a host service module cannot be installed";
    ASSERT_EQ(svc::wiinstl()(18, "QORLDBER", 2), 0);
    void **codec = qorhost_vector(18);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec[0], nullptr);
    EXPECT_NE(codec[2], nullptr);
    // Slot 4 of the codec is not a termination entry; stop must not call it.
    EXPECT_EQ(qorhost_stop(), 0);
    EXPECT_EQ(qorhost_vector(18), nullptr);
    ASSERT_EQ(svc::wiinstl()(18, "QORLDBER", 2), 0) << "installation works again after a stop";
    EXPECT_NE(qorhost_vector(18), nullptr);
    // The right name for the wrong number: the image does not publish module 19.
    EXPECT_NE(svc::wiinstl()(19, "QORLDBER", 2), 0);
    EXPECT_EQ(qorhost_stop(), 0);
    unsetenv("QORHOST_MODULE_PATH");
}

}  // namespace

// The module's own stub of the extended comparison, reached the way module code reaches it.
extern "C" int32_t wzsxeqn(const char *a, int32_t a_length, const char *b, int32_t b_length);

namespace {

TEST(Fixture, LoadsTheModuleWhichInstallsTheCodec) {
    ASSERT_TRUE(qortest::module_loaded());
    void **directory = qortest::vector(QORLDAP_MODULE);
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(directory[0], nullptr);
    EXPECT_NE(directory[4], nullptr);
    EXPECT_NE(qortest::vector(QORLDAP_CODEC_MODULE), nullptr);
    EXPECT_EQ(qortest::entry<void *(*)()>(QORLDAP_CODEC_MODULE, 0), nullptr);
    // A stub call reaches the runtime's service and marks the module it called.
    auto *flags = reinterpret_cast<volatile uint8_t *>(gcb_word(kGcbModuleFlags));
    flags[4] = 0;
    EXPECT_EQ(wzsxeqn("ABC", 3, "abc", 3), 1);
    EXPECT_EQ(flags[4], 1);
}

TEST(Fixture, StopTerminatesTheModuleAndTheFixtureLoadsItAgain) {
    ASSERT_TRUE(qortest::module_loaded());
    EXPECT_EQ(qorhost_stop(), 0);
    EXPECT_EQ(qorhost_vector(QORLDAP_MODULE), nullptr);
    EXPECT_EQ(qorhost_vector(QORLDAP_CODEC_MODULE), nullptr);
    ASSERT_TRUE(qortest::module_loaded());
    EXPECT_NE(qortest::vector(QORLDAP_CODEC_MODULE), nullptr);
}

}  // namespace

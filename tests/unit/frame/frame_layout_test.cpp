// The records the host loader reads: image-information record, control-node list and node, and
// the directory-function vector, checked byte by byte where the 32-bit ABI fixes their layout.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "module/directory/vector.h"
#include "module/frame/frame.h"
#include "module/host/gcb.h"
#include "tests/support/runtime.h"

namespace {

const unsigned char *bytes_of(const void *record) {
    return static_cast<const unsigned char *>(record);
}

uint32_t word_at(const void *record, size_t offset) {
    uint32_t word;
    std::memcpy(&word, bytes_of(record) + offset, sizeof word);
    return word;
}

TEST(ImageRecord, MainAnswersTheRecordWhateverItIsGiven) {
    ASSERT_TRUE(qortest::module_loaded());
    const uintptr_t gcb = v_global_gcb_anchor;
    const uintptr_t pidb = v_global_pidb_anchor;
    EXPECT_EQ(mcn_main(0, 0), &vi_mcn);
    EXPECT_EQ(v_global_gcb_anchor, 0u);
    EXPECT_EQ(mcn_main(gcb, pidb), &vi_mcn);
    EXPECT_EQ(v_global_gcb_anchor, gcb);
    EXPECT_EQ(v_global_pidb_anchor, pidb);
}

TEST(ImageRecord, HoldsItsTextsAndNumbersAtTheirPlaces) {
    const void *record = &vi_mcn;
    EXPECT_EQ(std::memcmp(record, "QOR_Image_Information=\0\0", 24), 0);
    const unsigned char magic[] = {0xED, 0xEB, 0xBD, 0xB0};
    EXPECT_EQ(std::memcmp(bytes_of(record) + 24, magic, 4), 0);
    EXPECT_EQ(word_at(record, 28), 8u);

    const std::string version(vi_mcn.vi_host_version, strnlen(vi_mcn.vi_host_version, 6));
    ASSERT_EQ(version.size(), 4u);
    EXPECT_TRUE(std::isdigit(version[0]) && version[1] == '.' && std::isdigit(version[2]) && std::isdigit(version[3]));

    const std::string release(vi_mcn.vi_release, strnlen(vi_mcn.vi_release, 20));
    ASSERT_EQ(release.size(), 16u);
    for (char c : release) {
        EXPECT_TRUE(std::isdigit(c) || c == '.' || std::isupper(c)) << release;
    }

    // "Mmm dd yyyy": month abbreviation, day padded with a blank, four-digit year, NUL.
    const std::string date(vi_mcn.vi_build_date);
    ASSERT_EQ(date.size(), 11u);
    EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(date.substr(0, 3)), std::string::npos);
    EXPECT_EQ(date[3], ' ');
    EXPECT_TRUE(date[4] == ' ' || std::isdigit(date[4]));
    EXPECT_TRUE(std::isdigit(date[5]) && date[6] == ' ');

    EXPECT_EQ(vi_mcn.vi_pad, 0);
    EXPECT_EQ(vi_mcn.vi_reserved[0] | vi_mcn.vi_reserved[1] | vi_mcn.vi_reserved[2], 0u);
    EXPECT_EQ(vi_mcn.vi_control_nodes, static_cast<const void *>(mcn_pcns));
    ASSERT_NE(vi_mcn.vi_notice, nullptr);
    EXPECT_GT(std::strlen(vi_mcn.vi_notice), 0u);
    EXPECT_EQ(std::memcmp(vi_mcn.vi_level, "001", 4), 0);
#if defined(__i386__)
    EXPECT_EQ(word_at(record, 84), reinterpret_cast<uintptr_t>(mcn_pcns));
    EXPECT_EQ(word_at(record, 88), reinterpret_cast<uintptr_t>(vi_mcn.vi_notice));
    EXPECT_EQ(std::memcmp(bytes_of(record) + 92, "001", 4), 0);
#endif
}

TEST(ControlNode, ListHoldsOneNodeWhoseEntryStartsTheModule) {
    EXPECT_EQ(mcn_pcns[0], &pcn_QORLDAP);
    EXPECT_EQ(mcn_pcns[1], nullptr);
    const void *node = &pcn_QORLDAP;
    const unsigned char flags[] = {0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(node, flags, 4), 0);
    EXPECT_EQ(word_at(node, 4), 1024u);
    EXPECT_EQ(word_at(node, 8), 1024u);
    EXPECT_EQ(std::memcmp(bytes_of(node) + 12, "qorldap ", 8), 0);
    EXPECT_EQ(word_at(node, 20), 0u);
    EXPECT_EQ(pcn_QORLDAP.pcn_entry, &qorldap);
    EXPECT_EQ(pcn_QORLDAP.pcn_one, 1u);
    EXPECT_EQ(pcn_QORLDAP.pcn_id1, 9683u);
    EXPECT_EQ(pcn_QORLDAP.pcn_id2, 34702482u);
    EXPECT_EQ(pcn_QORLDAP.pcn_id3, 15u);
#if defined(__i386__)
    EXPECT_EQ(word_at(node, 24), reinterpret_cast<uintptr_t>(&qorldap));
    EXPECT_EQ(word_at(node, 40), 15u);
#endif
}

// Each slot holds the function of that name (or is null until the function exists).
TEST(DirectoryVector, SlotsHoldTheirFunctions) {
    ASSERT_TRUE(qortest::module_loaded());
    void **published = qortest::vector(QORLDAP_MODULE);
    ASSERT_EQ(published, reinterpret_cast<void *const *>(&ldaptbl));
    const char *const names[QORLDAP_SLOTS] = {
        nullptr,    nullptr,    nullptr,   nullptr,   "term",     "dsopen",   "dsclose",  "dsopt",
        "dsiscls",  "dsexpgrp", "dsreslv", "dsrslvdn", "dsreg",   "dsmodify", "dsmodpad", "dsmodone",
        "dsdereg",  "dsfree",   "dsgshrt", "dsgint",  "dsglong",  "dsgflt",   "dsgdbl",   "dsgbin",
        "dsgstr",   "dsmkatt",  "dsfratt", "dsmynod", "dsdnprnt", "dsgeterr", "dscompar",
    };
    void *module = dlopen(QOR_MODULE_DIR "/qorldap.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    for (int slot = 0; slot < QORLDAP_SLOTS; ++slot) {
        if (names[slot] == nullptr) {
            EXPECT_EQ(published[slot], nullptr) << "slot " << slot;
        } else if (published[slot] != nullptr) {
            EXPECT_EQ(published[slot], dlsym(module, names[slot])) << "slot " << slot << " " << names[slot];
        }
    }
    EXPECT_EQ(published[QORLDAP_TERM], reinterpret_cast<void *>(&term));
    dlclose(module);
}

#if defined(__i386__)
TEST(DirectoryVector, Is124Bytes) {
    EXPECT_EQ(sizeof ldaptbl, 124u);
}
#endif

}  // namespace

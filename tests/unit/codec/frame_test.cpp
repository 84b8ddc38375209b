// The codec's frame as the loader and its callers see it: its own image record and control
// node, a vector of 17 slots, and none of the operation names exported (those belong to the
// directory module's stubs; a codec export of the same name could stand in for them).
#include <dlfcn.h>

#include <cstring>

#include "codec_fixture.h"
#include "module/frame/frame.h"

namespace codectest {
namespace {

class CodecFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qortest::module_loaded());
        image_ = dlopen(QOR_MODULE_DIR "/qorldber.so", RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(image_, nullptr) << "the codec is not loaded";
    }
    void TearDown() override {
        if (image_ != nullptr) dlclose(image_);
    }
    void *image_ = nullptr;
};

TEST_F(CodecFrame, VectorHasTheOperationsUnderTheirEntryNumbers) {
    void **vector = qortest::vector(QORLDAP_CODEC_MODULE);
    ASSERT_NE(vector, nullptr);
    EXPECT_EQ(vector, dlsym(image_, "bertbl"));
    EXPECT_EQ(vector[0], nullptr);
    EXPECT_EQ(vector[1], nullptr);
    for (int entry = 2; entry <= 16; ++entry) EXPECT_NE(vector[entry], nullptr) << "entry " << entry;
    EXPECT_NE(vector[2], vector[8]) << "printing and scanning are different operations";
}

TEST_F(CodecFrame, OperationNamesAreNotExported) {
    for (const char *name : {"berprnt", "bergnxt", "berrest", "berdup", "berinit", "berfree", "berscan", "bergint",
                             "berpktg", "bersktg", "bergstr", "berallt", "berflsh", "berwrte", "bersstt"}) {
        EXPECT_EQ(dlsym(image_, name), nullptr) << name;
    }
}

TEST_F(CodecFrame, ImageRecordAndControlNodeAreTheCodecsOwn) {
    const auto *image = static_cast<const ImageInformation *>(dlsym(image_, "vi_mcn"));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::memcmp(image->vi_eyecatcher, "QOR_Image_Information=\0", 24), 0);
    EXPECT_EQ(image->vi_magic, 0xB0BDEBEDu);
    EXPECT_EQ(image->vi_format, 8u);
    EXPECT_EQ(std::strlen(image->vi_release), 16u);
    EXPECT_EQ(std::strncmp(image->vi_release, "QORLDBER", 8), 0);
    EXPECT_STREQ(image->vi_level, "001");
    const auto *const *nodes = static_cast<const ProgramControlNode *const *>(image->vi_control_nodes);
    ASSERT_NE(nodes[0], nullptr);
    EXPECT_EQ(nodes[1], nullptr);
    EXPECT_EQ(std::memcmp(nodes[0]->pcn_name, "qorldber", 8), 0);
    EXPECT_NE(nodes[0]->pcn_entry, nullptr);
    // The codec keeps its own anchor, set to the same control block as the directory module's.
    auto *codec_anchor = static_cast<uintptr_t *>(dlsym(image_, "v_global_gcb_anchor"));
    ASSERT_NE(codec_anchor, nullptr);
    EXPECT_NE(*codec_anchor, 0u);
    void *directory = dlopen(QOR_MODULE_DIR "/qorldap.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(directory, nullptr);
    auto *directory_anchor = static_cast<uintptr_t *>(dlsym(directory, "v_global_gcb_anchor"));
    EXPECT_NE(codec_anchor, directory_anchor);
    EXPECT_EQ(*codec_anchor, *directory_anchor);
    dlclose(directory);
}

}  // namespace
}  // namespace codectest

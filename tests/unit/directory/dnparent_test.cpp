// Parent names: DNs with separators, quotes and escapes; mail and domain names; cutting to the
// output size; names without a parent.
#include <cstring>
#include <string>

#include "unit_fixture.h"

namespace {

using dstest::DirectoryUnitTest;

class ParentNameTest : public DirectoryUnitTest {
protected:
    // The parent dsdnprnt gives for `name` with an output of `size` bytes; the bytes after the
    // parent stay as they were ('#').
    std::string parent(const char *name, int32_t size = 64) {
        char output[80];
        std::memset(output, '#', sizeof output);
        int32_t length = -1;
        ds_.dsdnprnt(name, output, size, &length);
        EXPECT_GE(length, 0);
        EXPECT_LE(length, size);
        if (length < 0) return "<negative>";
        EXPECT_EQ(output[length], '#') << "written past the parent";
        return std::string(output, static_cast<size_t>(length));
    }
};

TEST_F(ParentNameTest, DistinguishedNames) {
    EXPECT_EQ(parent("cn=a,o=b"), "o=b");
    EXPECT_EQ(parent("  cn=a; o=b"), " o=b");
    EXPECT_EQ(parent("\n cn=a,ou=x,o=b"), "ou=x,o=b");
    EXPECT_EQ(parent("cn=a\\,b,o=c"), "o=c");
    EXPECT_EQ(parent("cn=\"a,b\",o=c"), "o=c");
    EXPECT_EQ(parent("cn=\"a;\\\"b\",o=c"), "o=c");   // an escaped quote inside quotes
    EXPECT_EQ(parent("cn=a"), "");
    EXPECT_EQ(parent("cn=a,"), "");
    EXPECT_EQ(parent("cn=a\\"), "");                  // a backslash at the very end
    EXPECT_EQ(parent("cn=\"a,b,o=c"), "");            // quote never closed: no separator
}

TEST_F(ParentNameTest, MailAndDomainNames) {
    EXPECT_EQ(parent("user@b.c"), "b.c");
    EXPECT_EQ(parent("a.b.c"), "b.c");
    EXPECT_EQ(parent("a.b@c.d"), "c.d");   // the at sign comes before the full stop
    EXPECT_EQ(parent("abc"), "");
    EXPECT_EQ(parent("abc@"), "");
    EXPECT_EQ(parent("abc."), "");
}

TEST_F(ParentNameTest, CutToTheOutputSizeWithoutTerminator) {
    EXPECT_EQ(parent("cn=a,o=bcdef", 3), "o=b");
    EXPECT_EQ(parent("cn=a,o=b", 0), "");
}

TEST_F(ParentNameTest, NothingToGive) {
    EXPECT_EQ(parent(nullptr), "");
    EXPECT_EQ(parent(""), "");
    EXPECT_EQ(parent("  \n "), "");
    ds_.dsdnprnt("cn=a,o=b", nullptr, 0, nullptr);   // no place for the length: nothing happens
}

}  // namespace

// Option lookup, environment, message catalogue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/unit/platform/service.h"

namespace {

// Looks `name` up the way the directory module does; "" with found = false when absent.
std::string lookup(const char *name, bool &found) {
    void *options = base_task_options();
    const char *value = nullptr;
    int32_t length = -1;
    const int32_t result = svc::xjsymgc()(options, name, static_cast<int32_t>(std::strlen(name)), &value, &length, 78, 0);
    found = result > 0;
    if (!found) {
        return {};
    }
    std::string copy(value, static_cast<size_t>(length));
    EXPECT_EQ(svc::xjsymfr()(options, value), 0);
    return copy;
}

TEST(Options, SetLookUpAndGiveBack) {
    qorhost_start();
    const long held = qorhost_option_values_held();
    ASSERT_EQ(qorhost_set_option("LDAP_HOST", "directory.example 127.0.0.1:389"), 0);
    bool found = false;
    EXPECT_EQ(lookup("LDAP_HOST", found), "directory.example 127.0.0.1:389");
    EXPECT_TRUE(found);
    EXPECT_EQ(qorhost_option_values_held(), held);

    // The name is counted: a longer text with the name as prefix is the name.
    const char *value = nullptr;
    int32_t length = 0;
    EXPECT_EQ(svc::xjsymgc()(base_task_options(), "LDAP_HOSTNAME", 9, &value, &length, 78, 0), 1);
    EXPECT_EQ(value[length], '\0');
    EXPECT_EQ(svc::xjsymfr()(base_task_options(), value), 0);

    ASSERT_EQ(qorhost_set_option("LDAP_HOST", nullptr), 0);
    lookup("LDAP_HOST", found);
    EXPECT_FALSE(found);
    lookup("ldap_host", found);
    EXPECT_FALSE(found);
}

TEST(Options, UnknownHandlesAndValuesAreRefused) {
    qorhost_start();
    EXPECT_EQ(svc::xalanch()(0x12345), nullptr);
    qorhost_set_option("X", "1");
    const char *value = nullptr;
    int32_t length = 0;
    int dummy = 0;
    EXPECT_LE(svc::xjsymgc()(&dummy, "X", 1, &value, &length, 78, 0), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_NE(svc::xjsymfr()(base_task_options(), "not handed out"), 0);
    EXPECT_NE(svc::xjsymfr()(base_task_options(), nullptr), 0);
    // Giving a value back twice is refused the second time, not a double free.
    ASSERT_EQ(svc::xjsymgc()(base_task_options(), "X", 1, &value, &length, 78, 0), 1);
    EXPECT_EQ(svc::xjsymfr()(base_task_options(), value), 0);
    EXPECT_NE(svc::xjsymfr()(base_task_options(), value), 0);
}

TEST(Options, FileEntriesSkipCommentsAndBlankLines) {
    char path[] = "/tmp/qorhost-options-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "# directory settings\n\n  LDAP_BASE = o=example \nLDAP_PORT=389\r\nno equals sign\n"
                           "EMPTY=\n=nameless\n";
    ASSERT_EQ(qorhost_load_options(path), 0);
    unlink(path);
    bool found = false;
    EXPECT_EQ(lookup("LDAP_BASE", found), "o=example");
    EXPECT_EQ(lookup("LDAP_PORT", found), "389");
    EXPECT_EQ(lookup("EMPTY", found), "");
    EXPECT_TRUE(found);
    lookup("no equals sign", found);
    EXPECT_FALSE(found);
    EXPECT_EQ(qorhost_load_options("/nonexistent/options"), -1);
}

TEST(Environment, CopiesValuesThatFitWithoutTerminator) {
    setenv("QORHOST_TEST_VALUE", "abcdef", 1);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    int32_t length = -1;
    const char name[] = "QORHOST_TEST_VALUE_AND_MORE";
    EXPECT_EQ(svc::wzosvar()(name, 18, buffer, 6, &length), 0);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(buffer[6], '#');
    EXPECT_NE(svc::wzosvar()(name, 18, buffer, 5, &length), 0) << "a value longer than the buffer";
    unsetenv("QORHOST_TEST_VALUE");
    EXPECT_NE(svc::wzosvar()(name, 18, buffer, 8, &length), 0);
    EXPECT_NE(svc::wzosvar()("A=B", 3, buffer, 8, &length), 0);
    EXPECT_NE(svc::wzosvar()(name, -1, buffer, 8, &length), 0);
}

TEST(Catalogue, KnowsTheDirectoryMessages) {
    const char *text = nullptr;
    int32_t length = 0;
    ASSERT_EQ(svc::wkread()(648, 151, &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "Matched DN:");
    ASSERT_EQ(svc::wkread()(648, 152, &text, &length), 0);
    EXPECT_EQ(std::string(text, length), "Additional information:");
    EXPECT_NE(svc::wkread()(648, 153, &text, &length), 0);
    EXPECT_NE(svc::wkread()(649, 151, &text, &length), 0);
}

}  // namespace

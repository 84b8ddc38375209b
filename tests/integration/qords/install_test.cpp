// The install: `cmake --install` of this build into a temporary prefix holds the SDK; the
// installed qords works without the build tree; tools/examples/lookup.c builds out of the tree
// against the install with pkg-config and with CMake, and reads an entry from slapd.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "qords_fixture.h"

namespace qordstest {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr const char *kBob = "cn=Bob Baker,ou=people,o=example";
constexpr std::chrono::minutes kBuildLimit{5};

// The words of `text` that look like options ("-x", "--name"), at the start of a line or after a
// blank, comma or '|'.
std::set<std::string> words_like_options(const std::string &text) {
    const std::regex option(R"((^|[\s,|])(--?[a-zA-Z][-a-zA-Z]*))");
    std::set<std::string> words;
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) words.insert((*it)[2]);
    return words;
}

// True when `word` stands in `text` followed by something that does not continue it.
bool has_word(const std::string &text, const std::string &word) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t next = at + word.size();
        if (next == text.size() || (!std::isalnum(static_cast<unsigned char>(text[next])) && text[next] != '\\')) return true;
    }
    return false;
}

std::string text_of(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class QordsInstall : public QordsTest {
protected:
    static void SetUpTestSuite() {
        QordsTest::SetUpTestSuite();
        prefix_ = server().directory() / "prefix";
        ChildOptions options;
        options.environment = environment();
        options.limit = kBuildLimit;
        install_ = run_child(QOR_CMAKE, {"--install", QOR_BUILD_DIR, "--prefix", prefix_.string()}, options);
    }

    void SetUp() override { ASSERT_TRUE(exited_with(install_, 0)); }

    // `command` run by the shell in `directory`, with PKG_CONFIG_PATH naming the install.
    Outcome shell(const std::string &command, const fs::path &directory) const {
        ChildOptions options;
        options.environment = environment();
        options.environment["PKG_CONFIG_PATH"] = (prefix_ / "lib/pkgconfig").string();
        options.limit = kBuildLimit;
        return run_child("/bin/sh", {"-c", "cd '" + directory.string() + "' && " + command}, options);
    }

    // A built lookup program reads Bob's mail from the suite's server.
    void expect_lookup_works(const fs::path &program) const {
        ChildOptions options;
        options.environment = environment();
        const Outcome outcome = run_child(program.string(), {(prefix_ / "lib/qorldap/qorldap.so").string(), kBob, "mail"}, options);
        EXPECT_TRUE(exited_with(outcome, 0)) << program;
        EXPECT_EQ(outcome.out, "dn: cn=Bob Baker,ou=people,o=example\nmail: bob@example.org\n") << program;
    }

    static fs::path prefix_;
    static Outcome install_;
};

fs::path QordsInstall::prefix_;
Outcome QordsInstall::install_;

TEST_F(QordsInstall, PrefixHoldsTheSdk) {
    for (const char *file : {"bin/qords", "bin/qorinfo", "lib/qorldap/qorldap.so", "lib/qorldap/qorldber.so",
                             "lib/libqorhost.so", "lib/libqorhost.a", "include/qorldap/qorhost.h",
                             "include/qorldap/qorldap.h", "include/qorldap/qorldap.hpp", "lib/pkgconfig/qorhost.pc",
                             "lib/cmake/qorldap/qorldapConfig.cmake", "share/man/man1/qords.1",
                             "share/bash-completion/completions/qords", "share/qorldap/qor.schema"})
        EXPECT_TRUE(fs::exists(prefix_ / file)) << file;

    // The man page and the completion know every option that --help lists.
    const std::string help = qords({"--help"}).out;
    const std::string manual = text_of(prefix_ / "share/man/man1/qords.1");
    const std::set<std::string> listed = words_like_options(help);
    const std::set<std::string> completed = words_like_options(text_of(prefix_ / "share/bash-completion/completions/qords"));
    EXPECT_GT(listed.size(), 20u);
    for (const std::string &name : listed) {
        std::string in_roff;   // roff writes each '-' as "\-"
        for (char c : name) in_roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_TRUE(has_word(manual, in_roff)) << name << " is not in qords(1)";
        EXPECT_TRUE(completed.count(name) == 1) << name << " is not completed";
    }
}

TEST_F(QordsInstall, InstalledQordsFindsItsModule) {
    Environment env = environment();
    const fs::path qords_program = prefix_ / "bin/qords";
    ChildOptions options;
    options.environment = env;
    const Outcome version = run_child(qords_program.string(), {"--version"}, options);
    EXPECT_TRUE(exited_with(version, 0));
    EXPECT_NE(version.out.find("module " + (prefix_ / "lib/qorldap/qorldap.so").string() + ": QORLDAP."), std::string::npos)
        << version.out;
    const Outcome read = run_child(qords_program.string(), {"read", kBob, "uid"}, options);
    EXPECT_TRUE(exited_with(read, 0));
    EXPECT_EQ(read.out, "dn: cn=Bob Baker,ou=people,o=example\nuid: bob\n\n");
    const Outcome info = run_child((prefix_ / "bin/qorinfo").string(), {}, options);
    EXPECT_TRUE(exited_with(info, 0));
    EXPECT_NE(info.out.find("loaded " + (prefix_ / "lib/qorldap/qorldap.so").string()), std::string::npos) << info.out;
}

TEST_F(QordsInstall, LookupBuildsWithPkgConfig) {
    const fs::path work = server().directory() / "pkg-config";
    fs::create_directories(work);
    const std::string compile = std::string(QOR_C_COMPILER) + " " + QOR_C_FLAGS + " " QOR_SOURCE_DIR "/tools/examples/lookup.c";
    const Outcome shared = shell(compile + " $(pkg-config --cflags --libs qorhost) -o lookup", work);
    ASSERT_TRUE(exited_with(shared, 0));
    expect_lookup_works(work / "lookup");
#ifndef QOR_SANITIZED   // the sanitizers' runtimes do not link statically
    const Outcome whole = shell(compile + " -static $(pkg-config --static --cflags --libs qorhost) -o lookup-static", work);
    ASSERT_TRUE(exited_with(whole, 0)) << "the static form names all that libqorhost.a needs";
    expect_lookup_works(work / "lookup-static");
#endif
}

TEST_F(QordsInstall, LookupBuildsWithCMake) {
    const fs::path project = server().directory() / "cmake-project";
    fs::create_directories(project);
    std::ofstream(project / "CMakeLists.txt") << "cmake_minimum_required(VERSION 3.25)\n"
                                                 "project(lookup C)\n"
                                                 "find_package(qorldap 1 REQUIRED)\n"
                                                 "add_executable(lookup " QOR_SOURCE_DIR "/tools/examples/lookup.c)\n"
                                                 "target_link_libraries(lookup PRIVATE qorldap::qorhost)\n"
                                                 "add_executable(lookup-static " QOR_SOURCE_DIR "/tools/examples/lookup.c)\n"
                                                 "target_link_libraries(lookup-static PRIVATE qorldap::qorhost_static)\n"
                                                 "file(WRITE ${CMAKE_BINARY_DIR}/module \"${QORLDAP_MODULE}\")\n";
    const std::string configure = std::string("'") + QOR_CMAKE + "' -S . -B build -G '" QOR_CMAKE_GENERATOR "' -DCMAKE_C_COMPILER='" +
                                  QOR_C_COMPILER + "' -DCMAKE_C_FLAGS='" + QOR_C_FLAGS + "' -DCMAKE_PREFIX_PATH='" +
                                  prefix_.string() + "'";
    ASSERT_TRUE(exited_with(shell(configure + " && '" QOR_CMAKE "' --build build", project), 0));
    EXPECT_EQ(text_of(project / "build/module"), (prefix_ / "lib/qorldap/qorldap.so").string());
    expect_lookup_works(project / "build/lookup");
    expect_lookup_works(project / "build/lookup-static");
}

}  // namespace
}  // namespace qordstest

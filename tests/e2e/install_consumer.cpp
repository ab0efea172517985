// `cmake --install` into a fresh prefix gives the suite's other programs
// what they need: the programs, the manual pages, libkx.a with its headers,
// and a consumer program builds against it both with pkg-config and with
// find_package(kestrix).
#include <gmock/gmock.h>

#include <sstream>

#include "kx_test_support.h"

using kxtest::path_exists;
using kxtest::run_program;

namespace {

const std::string kConsumerDir = std::string(KX_SOURCE_DIR) + "/tests/install/consumer";
const std::string kConsumerSays = "2 Invalid character in keyword\n";

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> all;
    for (std::string word; in >> word;) all.push_back(word);
    return all;
}

struct Installed {
    kxtest::TempTree tree{false};
    std::string prefix = tree.path() + "/prefix";

    Installed() {
        auto r = run_program({KX_CMAKE, "--install", KX_BUILD_DIR, "--prefix", prefix});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
};

TEST(Install, ProgramsPagesLibraryAndHeadersLand) {
    Installed in;
    for (const char* file : {"bin/config_upgrade", "bin/config_check", "lib/libkx.a", "include/kestrix/kxcf.h",
                             "include/kestrix/kx_files.h", "lib/pkgconfig/kx.pc",
                             "lib/cmake/kestrix/kestrixConfig.cmake", "share/man/man1/config_upgrade.1",
                             "share/man/man1/config_check.1", "share/man/man5/kx_upgrade_rules.5",
                             "share/man/man5/kx_syntax.5"})
        EXPECT_TRUE(path_exists(in.prefix + "/" + file)) << file;
    for (const char* stand_in : {"bin/mail_sink", "bin/kx_test_transmit"})
        EXPECT_FALSE(path_exists(in.prefix + "/" + stand_in)) << stand_in;
    auto r = run_program({in.prefix + "/bin/config_upgrade", "--version"});
    EXPECT_EQ(r.out, "config_upgrade (Kestrix) 5.0.0\n");
}

TEST(Install, AConsumerBuildsWithPkgConfig) {
    Installed in;
    auto flags = run_program({"pkg-config", "--cflags", "--libs", "kx"},
                             {{"PKG_CONFIG_PATH", in.prefix + "/lib/pkgconfig"}});
    ASSERT_EQ(flags.status, 0) << flags.err;
    std::vector<std::string> cc = {"cc", kConsumerDir + "/consumer.c", "-o", in.tree.path() + "/consumer"};
    for (const std::string& word : words(KX_CONSUMER_FLAGS " " + flags.out)) cc.push_back(word);
    auto built = run_program(cc);
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(run_program({in.tree.path() + "/consumer"}).out, kConsumerSays);
}

TEST(Install, AConsumerBuildsWithFindPackage) {
    Installed in;
    const std::string build = in.tree.path() + "/build";
    auto configured = run_program({KX_CMAKE, "-S", kConsumerDir, "-B", build, "-DCMAKE_PREFIX_PATH=" + in.prefix,
                                   "-DCMAKE_C_FLAGS=" KX_CONSUMER_FLAGS,
                                   "-DCMAKE_EXE_LINKER_FLAGS=" KX_CONSUMER_FLAGS});
    ASSERT_EQ(configured.status, 0) << configured.out << configured.err;
    auto built = run_program({KX_CMAKE, "--build", build});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    EXPECT_EQ(run_program({build + "/consumer"}).out, kConsumerSays);
}

}  // namespace

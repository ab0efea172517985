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

// One installation serves every check: what lands, and the consumer built
// against it with pkg-config and with find_package.
TEST(Install, LandsAndAConsumerBuildsWithPkgConfigAndFindPackage) {
    kxtest::TempTree tree{false};
    const std::string prefix = tree.path() + "/prefix", build = tree.path() + "/build";
    auto r = run_program({KX_CMAKE, "--install", KX_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* file : {"bin/config_upgrade", "bin/config_check", "lib/libkx.a", "include/kestrix/kxcf.h",
                             "include/kestrix/kx_files.h", "lib/pkgconfig/kx.pc",
                             "lib/cmake/kestrix/kestrixConfig.cmake", "share/man/man1/config_upgrade.1",
                             "share/man/man1/config_check.1", "share/man/man5/kx_upgrade_rules.5",
                             "share/man/man5/kx_syntax.5"})
        EXPECT_TRUE(path_exists(prefix + "/" + file)) << file;
    for (const char* stand_in : {"bin/mail_sink", "bin/kx_test_transmit"})
        EXPECT_FALSE(path_exists(prefix + "/" + stand_in)) << stand_in;
    EXPECT_EQ(run_program({prefix + "/bin/config_upgrade", "--version"}).out, "config_upgrade (Kestrix) 5.0.0\n");

    auto flags =
        run_program({"pkg-config", "--cflags", "--libs", "kx"}, {{"PKG_CONFIG_PATH", prefix + "/lib/pkgconfig"}});
    ASSERT_EQ(flags.status, 0) << flags.err;
    std::vector<std::string> cc = {"cc", kConsumerDir + "/consumer.c", "-o", tree.path() + "/consumer"};
    for (const std::string& word : words(KX_CONSUMER_FLAGS " " + flags.out)) cc.push_back(word);
    auto built = run_program(cc);
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(run_program({tree.path() + "/consumer"}).out, kConsumerSays);

    for (const auto& step : {std::vector<std::string>{KX_CMAKE, "-S", kConsumerDir, "-B", build,
                                                       "-DCMAKE_PREFIX_PATH=" + prefix,
                                                       "-DCMAKE_C_FLAGS=" KX_CONSUMER_FLAGS,
                                                       "-DCMAKE_EXE_LINKER_FLAGS=" KX_CONSUMER_FLAGS},
                             std::vector<std::string>{KX_CMAKE, "--build", build}}) {
        built = run_program(step);
        ASSERT_EQ(built.status, 0) << built.out << built.err;
    }
    EXPECT_EQ(run_program({build + "/consumer"}).out, kConsumerSays);
}

}  // namespace

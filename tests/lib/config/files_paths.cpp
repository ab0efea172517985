// The product home, file tests, command search, path components, directories.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

TEST(FilesPaths, HomeAndConfigDirectoryFollowTheEnvironmentWithinLimits) {
    kxtest::TempTree tree;
    EXPECT_EQ(std::string(get_config_dir()), tree.path() + "/qzt/etc/");
    setenv("KESTRIX_HOME", "", 1);               // empty is still a home
    EXPECT_STREQ(get_config_dir(), "/qzt/etc/");
    std::string home(1024 - 9, 'h');             // the longest that still fits
    setenv("KESTRIX_HOME", home.c_str(), 1);
    EXPECT_EQ(std::string(get_config_dir()).size(), 1024u);
    home += 'h';
    setenv("KESTRIX_HOME", home.c_str(), 1);
    EXPECT_EQ(get_config_dir(), nullptr);
    setenv("KESTRIX_HOME", std::string(1025, 'h').c_str(), 1);
    EXPECT_EQ(get_kx_home(), nullptr);
}

TEST(FilesPaths, ConfigFileNameComesFromTheMainConfiguration) {
    kxtest::TempTree tree;
    EXPECT_EQ(get_config_file_name("log_files"), nullptr);    // no main file yet
    tree.write_main_config("[log_files]\nconfig_file = $KESTRIX_HOME/etc/logs.cfg\n"
                           "[events]\nconfig_file =\n[long]\nconfig_file = /" +
                           std::string(1024, 'x') + "\n");
    EXPECT_STREQ(get_config_file_name("log_files"), (tree.path() + "/etc/logs.cfg").c_str());
    EXPECT_EQ(get_config_file_name("events"), nullptr);        // empty value
    EXPECT_EQ(get_config_file_name("long"), nullptr);          // too long for a path
    EXPECT_EQ(get_config_file_name("missing"), nullptr);
}

TEST(FilesPaths, TypeTestsAndCommandSearchSetTheReason) {
    kxtest::TempTree tree;
    std::string bin = tree.path() + "/bin";
    kxtest::write_file(tree.file("bin/tool"), "#!/bin/sh\n", 0755);
    kxtest::write_file(tree.file("bin/plain"), "data", 0644);
    kxtest::write_file(tree.file("here/local"), "#!/bin/sh\n", 0755);
    ASSERT_EQ(symlink((bin + "/plain").c_str(), (tree.path() + "/link").c_str()), 0);
    EXPECT_EQ(file_exists((tree.path() + "/link").c_str()), 1);
    EXPECT_TRUE(dir_exists(bin.c_str()) == 1 && dir_exists((bin + "/plain").c_str()) == 0);
    EXPECT_TRUE(file_exists(bin.c_str()) == 0 && kx_errno == 13);
    EXPECT_TRUE(file_exists((tree.path() + "/missing").c_str()) == 0 && kx_errno == ENOENT);

    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ASSERT_EQ(chdir((tree.path() + "/here").c_str()), 0);
    setenv("PATH", ("/nonexistent::" + bin + ":").c_str(), 1);
    char* found = kx_find_program("tool");  // the file itself, for starting it
    EXPECT_EQ(found ? std::string(found) : "", bin + "/tool");
    std::free(found);
    char line[] = "tool -x\targ";
    EXPECT_TRUE(command_exists(line) == 1 && std::string(line) == "tool -x\targ");
    EXPECT_TRUE(find_in_path("plain") == 0 && kx_errno == 2);
    EXPECT_EQ(find_in_path("local"), 0);          // ":" never means "."
    EXPECT_EQ(find_in_path("./local"), 1);        // a "/" skips PATH
    unsetenv("PATH");
    EXPECT_EQ(find_in_path("tool"), 0);
    setenv("PATH", old_path.c_str(), 1);
}

TEST(FilesPaths, BasenameCutsTrailingSlashesInPlace) {
    char path[] = "/a/b/";
    EXPECT_STREQ(basename(path), "b");
    EXPECT_STREQ(path, "/a/b");
    for (auto [in, out] : {std::pair{"b", "b"}, {"/b", "b"}, {"a//b//", "b"}, {"///", "/"}, {"", "."}}) {
        std::string copy = in;
        EXPECT_STREQ(basename(copy.data()), out) << in;
    }
    // Through a pointer, as C callers reach it, the argument may be null.
    char* (*volatile call)(char*) = basename;
    EXPECT_STREQ(call(nullptr), ".");
}

TEST(FilesPaths, DirectoryPathTakesTheModeOfItsParent) {
    kxtest::TempTree tree;
    std::string top = tree.path() + "/top";
    ASSERT_EQ(mkdir(top.c_str(), 0750), 0);
    mode_t old = umask(0);
    EXPECT_EQ(make_directory_path((top + "/a//b/c/").c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((top + "/a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    kxtest::write_file(top + "/file", "");
    EXPECT_TRUE(make_directory_path((top + "/file/sub").c_str()) == -1 && kx_errno == ENOTDIR);
}

TEST(FilesPaths, ProfileUmaskFallsBackTo022) {
    kxtest::TempTree tree;
    EXPECT_EQ(get_profile_umask(), 022);
    kxtest::write_file(tree.path() + "/.profile", "  umask 077\numask 027 # private\numask 002\n");
    EXPECT_EQ(get_profile_umask(), 027);
    kxtest::write_file(tree.path() + "/.profile", "umask 089\n");
    EXPECT_EQ(get_profile_umask(), 022);
}

}  // namespace

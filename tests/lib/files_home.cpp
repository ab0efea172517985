// The product home and the configuration directory derived from it.
#include "kx_files.h"
#include "kx_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(FilesHome, HomeAndConfigDirFollowTheEnvironment) {
    kxtest::TempTree tree;
    ASSERT_NE(get_kx_home(), nullptr);
    EXPECT_EQ(std::string(get_kx_home()), tree.path());
    ASSERT_NE(get_config_dir(), nullptr);
    EXPECT_EQ(std::string(get_config_dir()), tree.path() + "/qzt/etc/");

    // An empty home is still a home: the directory becomes the bare suffix.
    setenv("KESTRIX_HOME", "", 1);
    ASSERT_NE(get_kx_home(), nullptr);
    EXPECT_STREQ(get_kx_home(), "");
    EXPECT_STREQ(get_config_dir(), "/qzt/etc/");
}

TEST(FilesHome, LengthLimits) {
    kxtest::TempTree tree;
    // 1024 characters is the longest home; the directory must fit too.
    std::string home(1024, 'h');
    home[0] = '/';
    setenv("KESTRIX_HOME", home.c_str(), 1);
    ASSERT_NE(get_kx_home(), nullptr);
    EXPECT_EQ(std::string(get_kx_home()), home);
    EXPECT_EQ(get_config_dir(), nullptr);

    home.push_back('h');
    setenv("KESTRIX_HOME", home.c_str(), 1);
    EXPECT_EQ(get_kx_home(), nullptr);

    // The longest home whose directory still fits in 1024 characters.
    std::string fits(1024 - 9, 'f');
    setenv("KESTRIX_HOME", fits.c_str(), 1);
    ASSERT_NE(get_config_dir(), nullptr);
    EXPECT_EQ(std::string(get_config_dir()).size(), 1024u);
    fits.push_back('f');
    setenv("KESTRIX_HOME", fits.c_str(), 1);
    EXPECT_EQ(get_config_dir(), nullptr);
}

}  // namespace

// `$` references in values read through the library.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <pwd.h>

#include <cstdlib>
#include <string>

namespace {

using kxtest::TempTree;

class KxcfExpand : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KXCF_TEST_DIR", "/from/env", 1);
        unsetenv("kxcf_test_dir");
        path_ = tree_.file("e.cfg");
        kxtest::write_file(path_,
                           "[system]\n(path_expand)\n# definitions\n"
                           "kxcf_test_dir = /from/definition\ndata = /srv/data\nempty\n"
                           "nested = $KXCF_TEST_DIR\n[files]\nlog = $KESTRIX_HOME/log/qzt.log\n");
        f_ = kxcf_open(path_.c_str(), KXCF_UPDATE);
        ASSERT_NE(f_, nullptr) << kx_errno;
    }
    void TearDown() override {
        kxcf_close(f_);
        unsetenv("KXCF_TEST_DIR");
    }
    std::string expand(const char* value) {
        char* out = kxcf_expand_path(value, f_);
        if (out == KXCF_FAIL) return "FAIL " + std::to_string(kx_errno);
        std::string s(out);
        free(out);
        return s;
    }
    TempTree tree_;
    std::string path_;
    KXCF_FILE* f_ = nullptr;
};

TEST_F(KxcfExpand, ReferencesResolveFromEnvironmentThenDefinitions) {
    EXPECT_STREQ(kxcf_getvar(f_, "files", nullptr, "log", 0),
                 (tree_.path() + "/log/qzt.log").c_str());
    // The environment is asked with the case as written and wins over a definition.
    EXPECT_EQ(expand("$KXCF_TEST_DIR/x"), "/from/env/x");
    EXPECT_EQ(expand("$kxcf_test_dir/x"), "/from/definition/x");
    EXPECT_EQ(expand("$Data"), "/srv/data");
    // Replacements are not expanded again; a definition without value defines nothing.
    EXPECT_EQ(expand("$nested"), "$KXCF_TEST_DIR");
    EXPECT_EQ(expand("$empty/x"), "$empty/x");
    // Only a "$" at the start or after "/", a blank or a tab starts a reference.
    EXPECT_EQ(expand("abc$data"), "abc$data");
    EXPECT_EQ(expand("$data $KXCF_TEST_DIR\t$data/a/$data"),
              "/srv/data /from/env\t/srv/data/a//srv/data");
    EXPECT_EQ(expand("$Data.Bak/x ${data} cost $"), "$data.bak/x ${data} cost $");
    EXPECT_EQ(expand(nullptr), "");
    // A newline ends the value; one that ends a reference is dropped.
    EXPECT_EQ(expand("a\nb $data"), "a\n");
    EXPECT_EQ(expand("x $data\nrest"), "x /srv/data");
    // Names longer than a keyword are still looked up in the environment.
    std::string long_name(60, 'V');
    setenv(long_name.c_str(), "long", 1);
    EXPECT_EQ(expand(("$" + long_name).c_str()), "long");
    unsetenv(long_name.c_str());
}

TEST_F(KxcfExpand, ProductHomeFallsBackToTheProductAccount) {
    unsetenv("KESTRIX_HOME");
    const struct passwd* pw = getpwnam("kestrix");
    std::string expected = pw ? std::string(pw->pw_dir) + "/bin" : "$kestrix_home/bin";
    EXPECT_EQ(expand("$KESTRIX_HOME/bin"), expected);
    EXPECT_EQ(expand("$kestrix_home/bin"), expected);
    // A definition comes before the account.
    ASSERT_EQ(kxcf_setvar(f_, "system", "path_expand", "kestrix_home", "/opt/kx"), 0);
    EXPECT_EQ(expand("$kestrix_home/bin"), "/opt/kx/bin");
}

TEST_F(KxcfExpand, LengthLimitAndNoExpandHandles) {
    std::string dir(1150, 'd');
    setenv("KXCF_TEST_DIR", dir.c_str(), 1);
    EXPECT_EQ(expand("$KXCF_TEST_DIR/x"), dir + "/x");  // 1152 characters
    EXPECT_EQ(expand("$KXCF_TEST_DIR/xy"), "FAIL 1024");
    ASSERT_EQ(kxcf_setvar(f_, "files", nullptr, "log", "$KXCF_TEST_DIR/xyz"), 0);
    EXPECT_EQ(kxcf_getvar(f_, "files", nullptr, "log", 0), KXCF_FAIL);
    EXPECT_EQ(kx_errno, KXCF_EVALSIZE);

    // Definitions added to the tree count at once.
    ASSERT_EQ(kxcf_delsubsection(f_, "system", "path_expand"), 0);
    EXPECT_EQ(expand("$data"), "$data");
    ASSERT_EQ(kxcf_setsubsection(f_, "system", "path_expand"), 0);
    ASSERT_EQ(kxcf_setvar(f_, "system", "path_expand", "data", "/new"), 0);
    EXPECT_EQ(expand("$data"), "/new");

    KXCF_FILE* raw = kxcf_open(path_.c_str(), KXCF_NOEXPAND);
    ASSERT_NE(raw, nullptr);
    EXPECT_STREQ(kxcf_getvar(raw, "files", nullptr, "log", 0), "$KESTRIX_HOME/log/qzt.log");
    char* copy = kxcf_expand_path("$data", raw);
    ASSERT_NE(copy, KXCF_FAIL);
    EXPECT_STREQ(copy, "$data");
    free(copy);
    EXPECT_EQ(kxcf_close(raw), 0);
}

}  // namespace

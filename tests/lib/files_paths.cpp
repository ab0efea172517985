// File tests, command search along PATH and the last component of a path.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Restores PATH and the working directory that a test changes.
class PathGuard {
public:
    PathGuard() : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        char* cwd = getcwd(nullptr, 0);
        cwd_ = cwd ? cwd : "/";
        std::free(cwd);
    }
    ~PathGuard() {
        setenv("PATH", old_.c_str(), 1);
        if (chdir(cwd_.c_str()) != 0) std::abort();
    }
private:
    std::string old_;
    std::string cwd_;
};

std::string base(const std::string& path) {
    std::string copy = path;
    return basename(copy.data());
}

TEST(FilesPaths, TypeTestsTellFilesFromDirectoriesAndMissingPaths) {
    kxtest::TempTree tree;
    std::string file = tree.file("f");
    kxtest::write_file(file, "x");
    std::string link = tree.path() + "/link";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);

    EXPECT_EQ(file_exists(file.c_str()), 1);
    EXPECT_EQ(file_exists(link.c_str()), 1);    // links are followed
    EXPECT_EQ(dir_exists(tree.path().c_str()), 1);
    kx_errno = 0;
    EXPECT_EQ(file_exists(tree.path().c_str()), 0);
    EXPECT_EQ(kx_errno, 13);
    kx_errno = 0;
    EXPECT_EQ(dir_exists(file.c_str()), 0);
    EXPECT_EQ(kx_errno, 13);
    EXPECT_EQ(file_exists((tree.path() + "/missing").c_str()), 0);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_EQ(is_executable_file(file.c_str()), 0);
    EXPECT_EQ(kx_errno, 13);
}

TEST(FilesPaths, CommandSearchFollowsPathOnly) {
    kxtest::TempTree tree;
    PathGuard guard;
    std::string bin = tree.path() + "/bin";
    kxtest::write_file(tree.file("bin/tool"), "#!/bin/sh\n", 0755);
    kxtest::write_file(tree.file("bin/plain"), "data", 0644);
    kxtest::make_dirs(tree.path() + "/bin/subdir");
    kxtest::write_file(tree.file("here/local"), "#!/bin/sh\n", 0755);

    setenv("PATH", ("/nonexistent::" + bin).c_str(), 1);
    EXPECT_EQ(find_in_path("tool"), 1);
    char line[] = "tool -x\targ";
    EXPECT_EQ(command_exists(line), 1);
    EXPECT_STREQ(line, "tool -x\targ");         // the line comes back whole
    kx_errno = 0;
    EXPECT_EQ(find_in_path("plain"), 0);
    EXPECT_EQ(kx_errno, 2);
    EXPECT_EQ(find_in_path("subdir"), 0);
    EXPECT_EQ(find_in_path((bin + "/tool").c_str()), 1);   // a "/" skips PATH
    EXPECT_EQ(find_in_path("./tool"), 0);

    // A trailing ":" never means the current directory.
    ASSERT_EQ(chdir((tree.path() + "/here").c_str()), 0);
    setenv("PATH", (bin + ":").c_str(), 1);
    EXPECT_EQ(find_in_path("local"), 0);
    EXPECT_EQ(kx_errno, 2);
    EXPECT_EQ(find_in_path("./local"), 1);
    unsetenv("PATH");
    kx_errno = 0;
    EXPECT_EQ(find_in_path("tool"), 0);
    EXPECT_EQ(kx_errno, 2);
}

TEST(FilesPaths, BasenameCutsTrailingSlashesInPlace) {
    char path[] = "/a/b/";
    EXPECT_STREQ(basename(path), "b");
    EXPECT_STREQ(path, "/a/b");
    EXPECT_EQ(base("b"), "b");
    EXPECT_EQ(base("/b"), "b");
    EXPECT_EQ(base("a//b//"), "b");
    EXPECT_EQ(base("///"), "/");
    EXPECT_EQ(base(""), ".");
    EXPECT_EQ(base("/a/"), "a");
    // Through a pointer, as C callers see it, the argument may be null.
    char* (*volatile call)(char*) = basename;
    EXPECT_STREQ(call(nullptr), ".");
}

}  // namespace

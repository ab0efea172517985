// Copying files: contents, permissions, directories as targets, failures.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

std::string blob(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 % 251);
    return s;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(FilesCopy, CopiesContentsAndPermissionsLessUmask) {
    kxtest::TempTree tree;
    std::string src = tree.file("src");
    std::string data = blob(3 * 8192 + 5);
    kxtest::write_file(src, data, 0764);
    mode_t old = umask(027);
    std::string dest = tree.path() + "/dest";
    EXPECT_EQ(copy_file(dest.c_str(), src.c_str()), 0);
    umask(old);
    EXPECT_EQ(kxtest::read_file(dest), data);
    EXPECT_EQ(mode_of(dest), 0740u);

    // An existing file is replaced; a directory receives the source's name.
    std::string empty = tree.file("empty");
    kxtest::write_file(empty, "");
    EXPECT_EQ(copy_file(dest.c_str(), empty.c_str()), 0);
    EXPECT_EQ(kxtest::read_file(dest), "");
    kxtest::make_dirs(tree.path() + "/dir");
    EXPECT_EQ(copy_file((tree.path() + "/dir/").c_str(), src.c_str()), 0);
    EXPECT_EQ(kxtest::read_file(tree.path() + "/dir/src"), data);
}

TEST(FilesCopy, FailuresLeaveNothingAndLoseNothing) {
    kxtest::TempTree tree;
    std::string src = tree.file("src");
    kxtest::write_file(src, "keep me");
    std::string dest = tree.path() + "/dest";

    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/missing").c_str()), -1);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_FALSE(kxtest::path_exists(dest));
    EXPECT_EQ(copy_file((tree.path() + "/no/dir/dest").c_str(), src.c_str()), -1);
    EXPECT_EQ(kx_errno, ENOENT);

    // Copying a file onto itself would truncate it before reading it.
    EXPECT_EQ(copy_file(src.c_str(), src.c_str()), -1);
    EXPECT_EQ(copy_file(tree.path().c_str(), src.c_str()), -1);
    EXPECT_EQ(kxtest::read_file(src), "keep me");
}

TEST(FilesCopy, WriteFailingPartWayRemovesTheDestination) {
    kxtest::TempTree tree;
    std::string src = tree.file("src");
    kxtest::write_file(src, blob(5 * 8192));
    std::string dest = tree.path() + "/dest";
    kxtest::write_file(dest, "old contents");

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The size limit makes a write stop part-way, then fail with EFBIG.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {12000, 12000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        int rc = copy_file(dest.c_str(), src.c_str());
        _exit(rc == -1 && kx_errno == EFBIG ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(kxtest::path_exists(dest));
}

}  // namespace

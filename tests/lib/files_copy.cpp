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

TEST(FilesCopy, CopiesContentsAndPermissionsLessUmask) {
    kxtest::TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    std::string data = blob(3 * 8192 + 5);
    kxtest::write_file(src, data, 0764);
    mode_t old = umask(027);
    EXPECT_EQ(copy_file(dest.c_str(), src.c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0740u);
    EXPECT_EQ(kxtest::read_file(dest), data);

    // An existing file is replaced; a directory receives the source's name.
    kxtest::write_file(tree.file("empty"), "");
    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/empty").c_str()), 0);
    EXPECT_EQ(kxtest::read_file(dest), "");
    kxtest::make_dirs(tree.path() + "/dir");
    EXPECT_EQ(copy_file((tree.path() + "/dir/").c_str(), src.c_str()), 0);
    EXPECT_EQ(kxtest::read_file(tree.path() + "/dir/src"), data);
}

TEST(FilesCopy, FailuresLeaveNothingBehindAndNeverTruncateTheSource) {
    kxtest::TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    kxtest::write_file(src, "keep me");
    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/missing").c_str()), -1);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_FALSE(kxtest::path_exists(dest));
    EXPECT_EQ(copy_file(src.c_str(), src.c_str()), -1);
    EXPECT_EQ(copy_file(tree.path().c_str(), src.c_str()), -1);   // into its own directory
    EXPECT_EQ(kxtest::read_file(src), "keep me");
}

TEST(FilesCopy, WriteFailingPartWayRemovesTheDestination) {
    kxtest::TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    kxtest::write_file(src, blob(5 * 8192));
    kxtest::write_file(dest, "old contents");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The size limit cuts one write short, then fails the next with EFBIG.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {12000, 12000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        int rc = copy_file(dest.c_str(), src.c_str());
        _exit(rc == -1 && kx_errno == EFBIG ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(kxtest::path_exists(dest));
}

}  // namespace

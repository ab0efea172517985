// Lock files, directory paths and the product account's umask.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// 0 when a child gets the lock at once, 1 when it is refused as held.
int try_lock_in_child(const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open_lock_file(path.c_str(), 0);
        _exit(fd >= 0 ? 0 : (kx_errno == EAGAIN || kx_errno == EACCES) ? 1 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FilesLock, LockExcludesOtherProcessesUntilClosed) {
    kxtest::TempTree tree;
    std::string path = tree.path() + "/x.lck";
    kxtest::write_file(path, "stale");
    int fd = open_lock_file(path.c_str(), 2);
    ASSERT_GE(fd, 0);
    struct stat st;
    EXPECT_TRUE(fstat(fd, &st) == 0 && st.st_size == 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(try_lock_in_child(path), 1);
    close(fd);
    EXPECT_EQ(try_lock_in_child(path), 0);
    fd = open_lock_file(path.c_str(), 6);          // kept open across exec
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
}

TEST(FilesLock, DirectoryPathTakesTheModeOfItsParent) {
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
    EXPECT_EQ(make_directory_path((top + "/file/sub").c_str()), -1);
    EXPECT_EQ(kx_errno, ENOTDIR);
}

TEST(FilesLock, ProfileUmaskFallsBackTo022) {
    kxtest::TempTree tree;
    std::string profile = tree.path() + "/.profile";
    EXPECT_EQ(get_profile_umask(), 022);
    kxtest::write_file(profile, "  umask 077\numask 027 # private\numask 002\n");
    EXPECT_EQ(get_profile_umask(), 027);
    kxtest::write_file(profile, "umask 089\n");
    EXPECT_EQ(get_profile_umask(), 022);
}

}  // namespace

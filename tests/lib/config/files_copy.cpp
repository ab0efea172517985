// Copying files and lock files.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

std::string blob(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 % 251);
    return s;
}

// Exit status of BODY run in a child process.
int in_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    kxtest::write_file(src, blob(5 * 8192));
    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/missing").c_str()), -1);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_FALSE(kxtest::path_exists(dest));
    EXPECT_EQ(copy_file(tree.path().c_str(), src.c_str()), -1);   // onto itself
    EXPECT_EQ(kxtest::read_file(src), blob(5 * 8192));

    // A size limit cuts one write short and fails the next with EFBIG.
    kxtest::write_file(dest, "old contents");
    EXPECT_EQ(in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {12000, 12000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        return copy_file(dest.c_str(), src.c_str()) == -1 && kx_errno == EFBIG ? 0 : 11;
    }), 0);
    EXPECT_FALSE(kxtest::path_exists(dest));
}

TEST(FilesCopy, LockFileExcludesOtherProcessesUntilClosed) {
    kxtest::TempTree tree;
    std::string path = tree.path() + "/x.lck";
    kxtest::write_file(path, "stale");
    auto try_lock = [&] {
        return open_lock_file(path.c_str(), 0) >= 0 ? 0 : kx_errno == EAGAIN || kx_errno == EACCES ? 1 : 2;
    };
    int fd = open_lock_file(path.c_str(), 2);
    ASSERT_GE(fd, 0);
    struct stat st;
    // Never truncated: whatever is at the name is not the lock's to destroy.
    EXPECT_TRUE(fstat(fd, &st) == 0 && st.st_size == 5);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(in_child(try_lock), 1);
    close(fd);
    EXPECT_EQ(in_child(try_lock), 0);
    fd = open_lock_file(path.c_str(), 6);          // kept open across exec
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
}

TEST(FilesCopy, NewFilesNeverFollowOrFillWhatIsPlantedAtTheirName) {
    kxtest::TempTree tree;
    const std::string src = tree.path() + "/c.cfg", victim = tree.path() + "/victim";
    kxtest::write_file(src, "[a]\n", 0640);
    kxtest::write_file(victim, "precious\n");
    auto plant_link = [&](const std::string& name) { return symlink(victim.c_str(), name.c_str()) == 0; };

    // A directory at the name is no place to copy into.
    const std::string copy = src + ".tup";
    kxtest::make_dirs(copy);
    EXPECT_EQ(copy_to_new_file(copy.c_str(), src.c_str()), -1);
    EXPECT_EQ(kx_errno, EISDIR);
    EXPECT_FALSE(kxtest::path_exists(copy + "/c.cfg"));

    // A stale link is removed, its target untouched; the copy is a new file.
    const std::string fresh = src + ".new";
    ASSERT_TRUE(plant_link(fresh));
    ASSERT_EQ(copy_to_new_file(fresh.c_str(), src.c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(kxtest::read_file(fresh), "[a]\n");
    EXPECT_EQ(kxtest::read_file(victim), "precious\n");

    // copy_file replaces a file's contents but never writes through a link.
    const std::string through = tree.path() + "/through";
    ASSERT_TRUE(plant_link(through));
    EXPECT_EQ(copy_file(through.c_str(), src.c_str()), -1);
    EXPECT_EQ(kx_errno, ELOOP);
    EXPECT_EQ(kxtest::read_file(victim), "precious\n");

    // An exclusive new file: what it cannot remove, it refuses.
    int fd = open_new_file(fresh.c_str(), 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(kxtest::read_file(fresh), "");
    EXPECT_EQ(open_new_file(copy.c_str(), 0600), -1);
    EXPECT_EQ(kx_errno, EISDIR);

    // Lock names: neither a link nor a FIFO (whose open would block) is used.
    EXPECT_EQ(open_lock_file(through.c_str(), 0), -1);
    EXPECT_EQ(kx_errno, ELOOP);
    ASSERT_EQ(mkfifo((tree.path() + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(open_lock_file((tree.path() + "/fifo").c_str(), 0), -1);
    EXPECT_TRUE(kx_errno == ENXIO || kx_errno == EINVAL) << kx_errno;
    EXPECT_EQ(kxtest::read_file(victim), "precious\n");
}

TEST(FilesCopy, ReplaceFileKeepsTheLinkAndTheReplacedFilesMode) {
    kxtest::TempTree tree;
    const std::string real = tree.path() + "/real", link = tree.path() + "/link", tmp = link + ".tup";
    kxtest::write_file(real, "old\n", 0640);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    kxtest::write_file(tmp, "new\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), link.c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(kxtest::read_file(real), "new\n");
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(kxtest::path_exists(tmp));

    // A new target takes the file as it is; a dangling link is refused.
    kxtest::write_file(tmp, "fresh\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), (tree.path() + "/fresh").c_str()), 0);
    ASSERT_EQ(stat((tree.path() + "/fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    kxtest::write_file(tmp, "x\n");
    ASSERT_EQ(symlink((tree.path() + "/nowhere").c_str(), (tree.path() + "/dangling").c_str()), 0);
    EXPECT_EQ(replace_file(tmp.c_str(), (tree.path() + "/dangling").c_str()), -1);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_TRUE(kxtest::path_exists(tmp));
}

}  // namespace

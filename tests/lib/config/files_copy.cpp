// Copying files and lock files.
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

using namespace kxtest;

std::string blob(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 % 251);
    return s;
}

TEST(FilesCopy, CopiesContentsAndPermissionsLessUmask) {
    TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    std::string data = blob(3 * 8192 + 5);
    write_file(src, data, 0764);
    mode_t old = umask(027);
    EXPECT_EQ(copy_file(dest.c_str(), src.c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0740u);
    EXPECT_EQ(read_file(dest), data);
    // An existing file is replaced; a directory receives the source's name.
    write_file(tree.file("empty"), "");
    EXPECT_EQ(copy_file(dest.c_str(), (tree.path() + "/empty").c_str()), 0);
    EXPECT_EQ(read_file(dest), "");
    make_dirs(tree.path() + "/dir");
    EXPECT_EQ(copy_file((tree.path() + "/dir/").c_str(), src.c_str()), 0);
    EXPECT_EQ(read_file(tree.path() + "/dir/src"), data);
}

TEST(FilesCopy, FailuresLeaveNothingBehindAndNeverTruncateTheSource) {
    TempTree tree;
    std::string src = tree.file("src"), dest = tree.path() + "/dest";
    write_file(src, blob(5 * 8192));
    EXPECT_EQ(err(copy_file(dest.c_str(), (tree.path() + "/missing").c_str())), ENOENT);
    EXPECT_FALSE(path_exists(dest));
    EXPECT_EQ(copy_file(tree.path().c_str(), src.c_str()), -1);   // onto itself
    EXPECT_EQ(read_file(src), blob(5 * 8192));

    // A size limit cuts one write short and fails the next with EFBIG.
    write_file(dest, "old contents");
    EXPECT_TRUE(in_child([&] {
        return limit_file_size(12000) && err(copy_file(dest.c_str(), src.c_str())) == EFBIG;
    }));
    EXPECT_FALSE(path_exists(dest));
}

TEST(FilesCopy, LockFileExcludesOtherProcessesUntilClosed) {
    TempTree tree;
    std::string path = tree.path() + "/x.lck";
    write_file(path, "stale");
    auto locked_out = [&] {
        int e = err(open_lock_file(path.c_str(), 0));
        return e == EAGAIN || e == EACCES;
    };
    int fd = open_lock_file(path.c_str(), 2);
    ASSERT_GE(fd, 0);
    struct stat st;
    // Never truncated: whatever is at the name is not the lock's to destroy.
    EXPECT_TRUE(fstat(fd, &st) == 0 && st.st_size == 5);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_TRUE(in_child(locked_out));
    close(fd);
    EXPECT_TRUE(in_child([&] { return open_lock_file(path.c_str(), 0) >= 0; }));
    fd = open_lock_file(path.c_str(), 6);          // kept open across exec
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
}

TEST(FilesCopy, NewFilesNeverFollowOrFillWhatIsPlantedAtTheirName) {
    TempTree tree;
    const std::string src = tree.path() + "/c.cfg", victim = tree.path() + "/victim";
    write_file(src, "[a]\n", 0640);
    write_file(victim, "precious\n");
    auto plant_link = [&](const std::string& name) { return symlink(victim.c_str(), name.c_str()) == 0; };

    // A directory at the name is no place to copy into.
    const std::string copy = src + ".tup";
    make_dirs(copy);
    EXPECT_EQ(err(copy_to_new_file(copy.c_str(), src.c_str())), EISDIR);
    EXPECT_FALSE(path_exists(copy + "/c.cfg"));

    // A stale link is removed, its target untouched; the copy is a new file.
    const std::string fresh = src + ".new";
    ASSERT_TRUE(plant_link(fresh));
    ASSERT_EQ(copy_to_new_file(fresh.c_str(), src.c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(fresh), "[a]\n");
    EXPECT_EQ(read_file(victim), "precious\n");

    // copy_file replaces a file's contents but never writes through a link.
    const std::string through = tree.path() + "/through";
    ASSERT_TRUE(plant_link(through));
    EXPECT_EQ(err(copy_file(through.c_str(), src.c_str())), ELOOP);
    EXPECT_EQ(read_file(victim), "precious\n");

    // An exclusive new file: what it cannot remove, it refuses.
    int fd = open_new_file(fresh.c_str(), 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(read_file(fresh), "");
    EXPECT_EQ(err(open_new_file(copy.c_str(), 0600)), EISDIR);

    // Lock names: neither a link nor a FIFO (whose open would block) is used.
    EXPECT_EQ(err(open_lock_file(through.c_str(), 0)), ELOOP);
    ASSERT_EQ(mkfifo((tree.path() + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(open_lock_file((tree.path() + "/fifo").c_str(), 0), -1);
    EXPECT_TRUE(kx_errno == ENXIO || kx_errno == EINVAL) << kx_errno;
    EXPECT_EQ(read_file(victim), "precious\n");
}

TEST(FilesCopy, ReplaceFileKeepsTheLinkAndTheReplacedFilesMode) {
    TempTree tree;
    const std::string real = tree.path() + "/real", link = tree.path() + "/link", tmp = link + ".tup";
    write_file(real, "old\n", 0640);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    write_file(tmp, "new\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), link.c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), "new\n");
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(path_exists(tmp));

    // A new target takes the file as it is; a dangling link is refused.
    write_file(tmp, "fresh\n", 0600);
    ASSERT_EQ(replace_file(tmp.c_str(), (tree.path() + "/fresh").c_str()), 0);
    ASSERT_EQ(stat((tree.path() + "/fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    write_file(tmp, "x\n");
    ASSERT_EQ(symlink((tree.path() + "/nowhere").c_str(), (tree.path() + "/dangling").c_str()), 0);
    EXPECT_EQ(err(replace_file(tmp.c_str(), (tree.path() + "/dangling").c_str())), ENOENT);
    EXPECT_TRUE(path_exists(tmp));
}

}  // namespace

// Opening, locking, writing back and closing configuration files, also with
// a second process holding the lock.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

namespace {

using kxtest::path_exists;
using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;
using Clock = std::chrono::steady_clock;

const char* const kText = "[s]\nk = 1\nj = 2\n";

ino_t inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A second process that opens PATH in update mode, holds the lock for
// HOLD_MS milliseconds and closes it. Returns once the lock is held.
pid_t hold_lock(const std::string& path, int hold_ms) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
        char ok = f ? 'y' : 'n';
        if (write(fds[1], &ok, 1) != 1) _exit(2);
        usleep(static_cast<useconds_t>(hold_ms) * 1000);
        _exit(f && kxcf_close(f) == 0 ? 0 : 1);
    }
    close(fds[1]);
    char ok = 'n';
    if (read(fds[0], &ok, 1) != 1) ok = 'n';
    close(fds[0]);
    return ok == 'y' ? pid : -1;
}

int child_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether another process can take the write lock right now.
bool lock_is_free(const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open((path + ".lck").c_str(), O_WRONLY | O_CREAT, 0666);
        _exit(fd >= 0 && lockf(fd, F_TLOCK, 0) == 0 ? 0 : 1);
    }
    return child_status(pid) == 0;
}

TEST(KxcfFile, OpenFailures) {
    TempTree tree;
    std::string missing = tree.file("missing.cfg");
    kx_errno = 0;
    EXPECT_EQ(kxcf_open(missing.c_str(), 0), nullptr);
    EXPECT_EQ(kx_errno, ENOENT);
    // The lock is taken before the file is read, and its file stays.
    EXPECT_EQ(kxcf_open(missing.c_str(), KXCF_UPDATE), nullptr);
    EXPECT_EQ(kx_errno, ENOENT);
    EXPECT_TRUE(path_exists(missing + ".lck"));
    EXPECT_TRUE(lock_is_free(missing));

    EXPECT_EQ(kxcf_open("", 0), nullptr);
    EXPECT_EQ(kx_errno, KXCF_ENOTFOUND);
    std::string long_path = "/" + std::string(1020, 'p');  // 1021: ".lck" makes 1025
    EXPECT_EQ(kxcf_open(long_path.c_str(), 0), nullptr);
    EXPECT_EQ(kx_errno, KXCF_ENAMETOOLONG);
    EXPECT_EQ(kxcf_open((long_path + "pppp").c_str(), 0), nullptr);
    EXPECT_EQ(kx_errno, KXCF_ENAMETOOLONG);

    // No path: the suite's main configuration file.
    tree.write_main_config("[system]\nkestrix_version = 5.0\n");
    KXCF_FILE* f = kxcf_open(nullptr, 0);
    ASSERT_NE(f, nullptr) << kx_errno;
    EXPECT_STREQ(kxcf_getvar(f, "system", nullptr, "kestrix_version", 0), "5.0");
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(kxcf_close(nullptr), -1);
    EXPECT_EQ(kx_errno, KXCF_EPARAM);
}

TEST(KxcfFile, UpdateModeWritesOnlyWhenThereAreEdits) {
    TempTree tree;
    std::string path = tree.file("u.cfg");
    write_file(path, kText, 0600);
    ino_t original = inode(path);

    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(lock_is_free(path));
    EXPECT_EQ(kxcf_flush(f), 0);
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(inode(path), original);  // untouched without edits
    EXPECT_TRUE(path_exists(path + ".lck"));
    EXPECT_TRUE(lock_is_free(path));

    f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "changed"), 0);
    EXPECT_EQ(read_file(path), kText);  // an edit in update mode stays in memory
    ASSERT_EQ(kxcf_flush(f), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = changed\nj = 2\n");
    EXPECT_FALSE(path_exists(path + ".tmp"));
    EXPECT_EQ(mode_of(path), 0600u);  // a private file stays private
    ino_t flushed = inode(path);
    EXPECT_NE(flushed, original);
    EXPECT_EQ(kxcf_flush(f), 0);
    EXPECT_FALSE(lock_is_free(path));  // still locked after a flush
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(inode(path), flushed);  // nothing left to write at close
}

TEST(KxcfFile, FailedWriteBackIsReportedAndChangesNothing) {
    TempTree tree;
    std::string path = tree.file("x.cfg");
    write_file(path, kText);
    kxtest::make_dirs(path + ".tmp");  // the write-back cannot create its file

    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "lost?"), 0);
    EXPECT_EQ(kxcf_flush(f), -1);
    EXPECT_EQ(kx_errno, EISDIR);
    EXPECT_STREQ(kxcf_getvar(f, "s", nullptr, "k", 0), "lost?");  // the edit is still held
    EXPECT_EQ(kxcf_close(f), -1);
    EXPECT_EQ(kx_errno, EISDIR);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(read_file(path), kText);

    // In immediate mode the failed edit unlocks and shows the file on disk.
    f = kxcf_open(path.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "s", nullptr, "k", "lost?"), -1);
    EXPECT_EQ(kx_errno, EISDIR);
    EXPECT_STREQ(kxcf_getvar(f, "s", nullptr, "k", 0), "1");
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(path), kText);
}

TEST(KxcfFile, ImmediateEditsKeepOtherWritersChanges) {
    TempTree tree;
    std::string path = tree.file("i.cfg");
    write_file(path, kText, 0640);
    KXCF_FILE* a = kxcf_open(path.c_str(), 0);
    KXCF_FILE* b = kxcf_open(path.c_str(), 0);
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(kxcf_nextsection(a), "s");

    ASSERT_EQ(kxcf_setvar(b, "s", nullptr, "j", "from b"), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = 1\nj = from b\n");  // on disk at once
    ASSERT_EQ(kxcf_setvar(a, "s", nullptr, "k", "from a"), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = from a\nj = from b\n");
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_TRUE(lock_is_free(path));
    // The edit re-read the file, so a section walk starts again.
    EXPECT_STREQ(kxcf_nextsection(a), "s");

    // A missing section gives the lock back at once.
    EXPECT_EQ(kxcf_setvar(a, "nope", nullptr, "k", "v"), -1);
    EXPECT_EQ(kx_errno, KXCF_ENOSECTION);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(kxcf_setvar(a, "s", "nope", "k", "v"), -1);
    EXPECT_EQ(kx_errno, KXCF_ENOSUBSECTION);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(kxcf_close(a), 0);
    EXPECT_EQ(kxcf_close(b), 0);
}

TEST(KxcfFile, SecondWriterIsRefusedOrWaits) {
    TempTree tree;
    std::string path = tree.file("l.cfg");
    write_file(path, kText);
    KXCF_FILE* reader = kxcf_open(path.c_str(), 0);
    ASSERT_NE(reader, nullptr);

    pid_t holder = hold_lock(path, 1500);
    ASSERT_GT(holder, 0);
    auto start = Clock::now();
    EXPECT_EQ(kxcf_open(path.c_str(), KXCF_UPDATE), nullptr);
    EXPECT_EQ(kx_errno, KXCF_ELOCKED);
    EXPECT_EQ(kxcf_setvar(reader, "s", nullptr, "k", "v"), -1);
    EXPECT_EQ(kx_errno, KXCF_ELOCKED);
    EXPECT_LT(seconds_since(start), 1.0);  // refused at once
    EXPECT_STREQ(kxcf_getvar(reader, "s", nullptr, "k", 0), "1");  // readers never block

    // Waiting for the one call, with one-second pauses, succeeds once the holder closes.
    ASSERT_EQ(kxcf_setvar_wait(reader, "s", nullptr, "k", "waited", 5, 1), 0);
    EXPECT_GE(seconds_since(start), 1.0);
    EXPECT_EQ(child_status(holder), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = waited\nj = 2\n");
    EXPECT_EQ(reader->flags, 0);
    EXPECT_EQ(reader->lock_retries, 20);
    EXPECT_EQ(reader->lock_delay, 3);

    // An update-mode open with KXCF_WAIT retries after the default pause.
    holder = hold_lock(path, 300);
    ASSERT_GT(holder, 0);
    KXCF_FILE* waiter = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_WAIT);
    ASSERT_NE(waiter, nullptr) << kx_errno;
    EXPECT_EQ(child_status(holder), 0);
    // Without retries a waiting handle gives up at once.
    kxcf_set_lock_wait(0, 0, reader);
    reader->flags |= KXCF_WAIT;
    EXPECT_EQ(kxcf_setvar(reader, "s", nullptr, "k", "v"), -1);
    EXPECT_EQ(kx_errno, KXCF_ELOCKED);
    EXPECT_EQ(kxcf_close(waiter), 0);
    EXPECT_EQ(kxcf_close(reader), 0);
}

}  // namespace

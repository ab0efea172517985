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
#include <string>

namespace {

using kxtest::path_exists;
using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;

const char* const kText = "[s]\nk = 1\nj = 2\n";

struct stat stat_of(const std::string& path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st;
}
ino_t inode(const std::string& path) { return stat_of(path).st_ino; }
mode_t mode_of(const std::string& path) { return stat_of(path).st_mode & 07777; }

// The reason of a failed call, or 0 when it succeeded.
int err(int rc) { return rc == -1 ? kx_errno : 0; }
int err(const KXCF_FILE* f) { return f ? 0 : kx_errno; }

int child_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs BODY in a second process; true when it returned true there.
template <class Body>
bool in_other_process(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return child_status(pid) == 0;
}

// Whether another process can take the write lock right now.
bool lock_is_free(const std::string& path) {
    return in_other_process([&] {
        int fd = open((path + ".lck").c_str(), O_WRONLY | O_CREAT, 0666);
        return fd >= 0 && lockf(fd, F_TLOCK, 0) == 0;
    });
}

// A second process that holds the lock of PATH in update mode for HOLD_MS
// milliseconds; returns once the lock is held (-1 if it could not be taken).
pid_t hold_lock(const std::string& path, int hold_ms) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
        char held = f ? 'y' : 'n';
        if (write(fds[1], &held, 1) != 1) _exit(2);
        usleep(static_cast<useconds_t>(hold_ms) * 1000);
        _exit(f && kxcf_close(f) == 0 ? 0 : 1);
    }
    close(fds[1]);
    char held = 'n';
    bool ok = read(fds[0], &held, 1) == 1 && held == 'y';
    close(fds[0]);
    return ok ? pid : -1;
}

TEST(KxcfFile, OpenFailures) {
    TempTree tree;
    std::string missing = tree.file("missing.cfg");
    EXPECT_EQ(err(kxcf_open(missing.c_str(), 0)), ENOENT);
    // The lock is taken before the file is read, and its file stays.
    EXPECT_EQ(err(kxcf_open(missing.c_str(), KXCF_UPDATE)), ENOENT);
    EXPECT_TRUE(path_exists(missing + ".lck"));
    EXPECT_TRUE(lock_is_free(missing));
    EXPECT_EQ(err(kxcf_open("", 0)), KXCF_ENOTFOUND);
    std::string long_path = "/" + std::string(1020, 'p');  // 1021: ".lck" makes 1025
    EXPECT_EQ(err(kxcf_open(long_path.c_str(), 0)), KXCF_ENAMETOOLONG);
    EXPECT_EQ(err(kxcf_open((long_path + "pppp").c_str(), 0)), KXCF_ENAMETOOLONG);
    EXPECT_EQ(err(kxcf_close(nullptr)), KXCF_EPARAM);

    // No path: the suite's main configuration file.
    tree.write_main_config("[system]\nkestrix_version = 5.0\n");
    KXCF_FILE* f = kxcf_open(nullptr, 0);
    ASSERT_NE(f, nullptr) << kx_errno;
    EXPECT_STREQ(kxcf_getvar(f, "system", nullptr, "kestrix_version", 0), "5.0");
    EXPECT_EQ(kxcf_close(f), 0);
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
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "changed"), 0);
    EXPECT_EQ(read_file(path), kText);  // an edit in update mode stays in memory
    ASSERT_EQ(kxcf_flush(f), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = changed\nj = 2\n");
    EXPECT_FALSE(path_exists(path + ".tmp"));
    EXPECT_EQ(mode_of(path), 0600u);  // a private file stays private
    ino_t flushed = inode(path);
    EXPECT_EQ(kxcf_flush(f), 0);
    EXPECT_FALSE(lock_is_free(path));  // still locked after a flush
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(inode(path), flushed);  // nothing left to write at close

    // Edits in update mode never go back to the disk: they go on with the
    // file gone, and the close brings it back.
    f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_EQ(unlink(path.c_str()), 0);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kxcf_setvar_inst(f, "s", nullptr, "n", std::to_string(i).c_str(), i + 1), 0);
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(path).substr(0, 34), "[s]\nk = changed\nj = 2\nn = 0\nn = 1\n");
}

TEST(KxcfFile, FailedWriteBackIsReportedAndChangesNothing) {
    TempTree tree;
    std::string path = tree.file("x.cfg");
    write_file(path, kText);
    kxtest::make_dirs(path + ".tmp");  // the write-back cannot create its file
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "lost?"), 0);
    EXPECT_EQ(err(kxcf_flush(f)), EISDIR);
    EXPECT_STREQ(kxcf_getvar(f, "s", nullptr, "k", 0), "lost?");  // the edit is still held
    EXPECT_EQ(err(kxcf_close(f)), EISDIR);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(read_file(path), kText);

    // In immediate mode the failed edit unlocks and shows the file on disk.
    f = kxcf_open(path.c_str(), 0);
    EXPECT_EQ(err(kxcf_setvar(f, "s", nullptr, "k", "lost?")), EISDIR);
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
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(kxcf_nextsection(a), "s");
    // Another process changes another keyword after this handle read the file.
    ASSERT_TRUE(in_other_process([&] {
        KXCF_FILE* b = kxcf_open(path.c_str(), 0);
        bool ok = b && kxcf_setvar(b, "s", nullptr, "j", "from b") == 0;
        ok = ok && read_file(path) == "[s]\nk = 1\nj = from b\n";  // on disk at once
        return kxcf_close(b) == 0 && ok;
    }));
    ASSERT_EQ(kxcf_setvar(a, "s", nullptr, "k", "from a"), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = from a\nj = from b\n");
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_STREQ(kxcf_nextsection(a), "s");  // the file was re-read: the walk starts again

    // A missing section or subsection gives the lock back at once.
    EXPECT_EQ(err(kxcf_setvar(a, "nope", nullptr, "k", "v")), KXCF_ENOSECTION);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(err(kxcf_setvar(a, "s", "nope", "k", "v")), KXCF_ENOSUBSECTION);
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(kxcf_close(a), 0);
}

TEST(KxcfFile, SecondWriterIsRefusedOrWaits) {
    TempTree tree;
    std::string path = tree.file("l.cfg");
    write_file(path, kText);
    KXCF_FILE* reader = kxcf_open(path.c_str(), 0);
    ASSERT_NE(reader, nullptr);

    pid_t holder = hold_lock(path, 1500);
    ASSERT_GT(holder, 0);
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_EQ(err(kxcf_open(path.c_str(), KXCF_UPDATE)), KXCF_ELOCKED);
    EXPECT_EQ(err(kxcf_setvar(reader, "s", nullptr, "k", "v")), KXCF_ELOCKED);
    EXPECT_LT(seconds(), 1.0);                                     // refused at once
    EXPECT_STREQ(kxcf_getvar(reader, "s", nullptr, "k", 0), "1");  // readers never block

    // Waiting for the one call, with one-second pauses, succeeds once the holder closes.
    ASSERT_EQ(kxcf_setvar_wait(reader, "s", nullptr, "k", "waited", 5, 1), 0);
    EXPECT_GE(seconds(), 1.0);
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
    // Two handles of one process exclude each other as well; without
    // retries a waiting handle gives up at once.
    kxcf_set_lock_wait(0, 0, reader);
    reader->flags |= KXCF_WAIT;
    EXPECT_EQ(err(kxcf_setvar(reader, "s", nullptr, "k", "v")), KXCF_ELOCKED);
    EXPECT_EQ(kxcf_close(waiter), 0);
    EXPECT_EQ(kxcf_close(reader), 0);
}

}  // namespace

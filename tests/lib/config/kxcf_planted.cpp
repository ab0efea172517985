// Files planted beside a configuration file by whoever can write its
// directory, locks inherited by forked children, configuration files behind
// symbolic links and owned by another account, and trees the reader would
// refuse.
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

using kxtest::path_exists;
using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;

const char* const kText = "[system]\nadmin = root\n";
const char* const kPrecious = "precious\n";

struct Planted {
    TempTree tree;
    std::string cfg = tree.file("c.cfg"), victim = tree.file("victim");
    Planted() {
        write_file(cfg, kText);
        write_file(victim, kPrecious);
    }
    void link_at(const std::string& name) const { ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0); }
};

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int child_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KxcfPlanted, LinkOrDirectoryAtTheLockNameIsRefusedAndLeftAlone) {
    Planted p;
    p.link_at(p.cfg + ".lck");
    kx_errno = 0;
    KXCF_FILE* held = kxcf_open(p.cfg.c_str(), KXCF_UPDATE);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(kx_errno, ELOOP);
    if (held) kxcf_close(held);
    KXCF_FILE* f = kxcf_open(p.cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "other"), -1);
    EXPECT_EQ(kx_errno, ELOOP);
    kxcf_close(f);
    EXPECT_EQ(read_file(p.victim), kPrecious);
    EXPECT_EQ(read_file(p.cfg), kText);
    EXPECT_TRUE(is_link(p.cfg + ".lck"));

    // The suite log's lock, and the lock utility itself.
    std::string log = p.tree.file("kx_log");
    p.link_at(log + ".lck");
    kx_log_message(log.c_str(), "TEST", "prog", "entry");
    EXPECT_EQ(read_file(p.victim), kPrecious);
    EXPECT_EQ(open_lock_file((log + ".lck").c_str(), 0), -1);
    EXPECT_EQ(kx_errno, ELOOP);

    std::string dir = p.tree.file("d.cfg");
    write_file(dir, kText);
    kxtest::make_dirs(dir + ".lck");
    EXPECT_EQ(kxcf_open(dir.c_str(), KXCF_UPDATE), nullptr);
    EXPECT_EQ(kx_errno, EISDIR);
}

TEST(KxcfPlanted, StaleTemporaryLinkIsRemovedNotFollowed) {
    Planted p;
    p.link_at(p.cfg + ".tmp");
    KXCF_FILE* f = kxcf_open(p.cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "other"), 0);
    kxcf_close(f);
    EXPECT_EQ(read_file(p.victim), kPrecious);
    EXPECT_EQ(read_file(p.cfg), "[system]\nadmin = other\n");
    EXPECT_FALSE(path_exists(p.cfg + ".tmp"));

    // A directory there cannot be removed: the write-back fails, file whole.
    kxtest::make_dirs(p.cfg + ".tmp");
    f = kxcf_open(p.cfg.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "third"), 0);
    EXPECT_EQ(kxcf_flush(f), -1);
    EXPECT_EQ(kx_errno, EISDIR);
    kxcf_close(f);
    EXPECT_EQ(read_file(p.cfg), "[system]\nadmin = other\n");

}

TEST(KxcfPlanted, ForkedChildDoesNotHoldTheParentsLock) {
    TempTree tree;
    std::string cfg = tree.file("c.cfg");
    write_file(cfg, kText);
    KXCF_FILE* f = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "parent"), 0);
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // The inherited handle may not write: the lock is the parent's.
        bool ok = kxcf_flush(f) == -1 && kx_errno == KXCF_ELOCKED;
        char c = ok ? 'y' : 'n';
        ok = write(from_child[1], &c, 1) == 1 && read(to_child[0], &c, 1) == 1;
        // Parent has closed: the lock is free at the first try, even here.
        KXCF_FILE* mine = ok ? kxcf_open(cfg.c_str(), KXCF_UPDATE) : nullptr;
        _exit(mine && kxcf_close(mine) == 0 ? 0 : 1);
    }
    char c = 'n';
    ASSERT_EQ(read(from_child[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    // Still the parent's: another handle, even of this process, is refused.
    EXPECT_EQ(kxcf_open(cfg.c_str(), KXCF_UPDATE), nullptr);
    EXPECT_EQ(kx_errno, KXCF_ELOCKED);
    ASSERT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(cfg), "[system]\nadmin = parent\n");
    // The idle child lives on; the file can be opened for update here too.
    KXCF_FILE* again = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    EXPECT_NE(again, nullptr);
    kxcf_close(again);
    ASSERT_EQ(write(to_child[1], "g", 1), 1);
    EXPECT_EQ(child_status(pid), 0);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
}

TEST(KxcfPlanted, WriteBackThroughALinkWritesItsTargetWithOwnerGroupAndMode) {
    TempTree tree;
    std::string real = tree.file("real/c.cfg"), link = tree.file("c.cfg");
    write_file(real, kText, 0640);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(real.c_str(), 4321, 5678), 0);
    }
    for (int flags : {0, KXCF_UPDATE}) {
        KXCF_FILE* f = kxcf_open(link.c_str(), flags);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", flags ? "update" : "immediate"), 0);
        ASSERT_EQ(kxcf_close(f), 0);
        EXPECT_TRUE(is_link(link));
        EXPECT_EQ(read_file(real), std::string("[system]\nadmin = ") + (flags ? "update" : "immediate") + "\n");
        struct stat st;
        ASSERT_EQ(stat(real.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        if (root) {
            EXPECT_EQ(st.st_uid, 4321u);
            EXPECT_EQ(st.st_gid, 5678u);
        }
        EXPECT_FALSE(path_exists(real + ".tmp"));
        EXPECT_FALSE(path_exists(link + ".tmp"));
    }
    // The same for a plain file: a file of the product's account stays its own.
    std::string plain = tree.file("plain.cfg");
    write_file(plain, kText, 0640);
    if (!root) GTEST_SKIP() << "owner and group can only be kept as root";
    ASSERT_EQ(chown(plain.c_str(), 4321, 5678), 0);
    KXCF_FILE* f = kxcf_open(plain.c_str(), 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "x"), 0);
    kxcf_close(f);
    struct stat st;
    ASSERT_EQ(stat(plain.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(KxcfPlanted, TreeWithoutSectionsIsNeverWritten) {
    TempTree tree;
    std::string cfg = tree.file("c.cfg");
    const std::string text = "# one\n# two\n[only]\nk = v\n";
    write_file(cfg, text);
    KXCF_FILE* f = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_delsection(f, "only"), 0);
    EXPECT_EQ(kxcf_flush(f), -1);
    EXPECT_EQ(kx_errno, KXCF_EWRITE);
    kxcf_close(f);
    EXPECT_EQ(read_file(cfg), text);

    f = kxcf_open(cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_delsection(f, "only"), -1);
    EXPECT_EQ(kx_errno, KXCF_EWRITE);
    EXPECT_EQ(kxcf_findsection(f, "only"), 0);  // the handle shows the file again
    kxcf_close(f);
    EXPECT_EQ(read_file(cfg), text);
    EXPECT_FALSE(path_exists(cfg + ".tmp"));
}

}  // namespace

// Files planted beside a configuration file by whoever can write its
// directory, locks inherited by forked children, configuration files behind
// symbolic links and owned by another account, and trees the reader would
// refuse.
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

namespace {

using namespace kxtest;

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

TEST(KxcfPlanted, LinkOrDirectoryAtTheLockNameIsRefusedAndLeftAlone) {
    Planted p;
    p.link_at(p.cfg + ".lck");
    EXPECT_EQ(err(kxcf_open(p.cfg.c_str(), KXCF_UPDATE)), ELOOP);
    KXCF_FILE* f = kxcf_open(p.cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err(kxcf_setvar(f, "system", nullptr, "admin", "other")), ELOOP);
    kxcf_close(f);
    EXPECT_EQ(read_file(p.victim), kPrecious);
    EXPECT_EQ(read_file(p.cfg), kText);
    EXPECT_TRUE(is_link(p.cfg + ".lck"));

    // The suite log's lock.
    std::string log = p.tree.file("kx_log");
    p.link_at(log + ".lck");
    kx_log_message(log.c_str(), "TEST", "prog", "entry");
    EXPECT_EQ(read_file(p.victim), kPrecious);

    std::string dir = p.tree.file("d.cfg");
    write_file(dir, kText);
    make_dirs(dir + ".lck");
    EXPECT_EQ(err(kxcf_open(dir.c_str(), KXCF_UPDATE)), EISDIR);
}

TEST(KxcfPlanted, LinkAtTheTemporaryNameIsNeitherFollowedNorRemoved) {
    Planted p;
    p.link_at(p.cfg + ".tmp");
    KXCF_FILE* f = kxcf_open(p.cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "other"), 0);
    kxcf_close(f);
    EXPECT_EQ(read_file(p.victim), kPrecious);
    EXPECT_EQ(read_file(p.cfg), "[system]\nadmin = other\n");
    EXPECT_TRUE(is_link(p.cfg + ".tmp"));
}

// A FIFO, a socket or a device in the file's place is refused at once, by
// any name, without taking or making its lock.
TEST(KxcfPlanted, FifoSocketOrDeviceIsRefusedAtOnce) {
    TempTree tree;
    const std::string fifo = tree.file("fifo.cfg"), sock = tree.file("sock.cfg"), dev = tree.file("dev.cfg"),
                      via = tree.file("via.cfg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(symlink("/dev/null", dev.c_str()), 0);
    ASSERT_EQ(symlink(fifo.c_str(), via.c_str()), 0);
    EXPECT_TRUE(in_child([&] {
        alarm(10);  // a blocked open ends the child instead of the test run
        for (const std::string& name : {fifo, sock, dev, via})
            for (int flags : {0, KXCF_UPDATE | KXCF_WAIT})
                if (err(kxcf_open(name.c_str(), flags)) != KXCF_ENOTREG) return false;
        return true;
    }));
    EXPECT_FALSE(path_exists(fifo + ".lck") || path_exists(sock + ".lck") || path_exists(via + ".lck"));
    close(s);
}

// Children of the fork below are slow to start, as a busy machine may make
// them. Registered before the library's own fork handler where the test
// runs alone, this one runs first, so the child holds its copy of the
// parent's lock descriptors for that moment.
bool slow_child = false;
void pause_child() {
    if (slow_child) usleep(200 * 1000);
}

TEST(KxcfPlanted, ForkedChildDoesNotHoldTheParentsLock) {
    static const bool registered = pthread_atfork(nullptr, nullptr, pause_child) == 0;
    ASSERT_TRUE(registered);
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
    EXPECT_EQ(err(kxcf_open(cfg.c_str(), KXCF_UPDATE)), KXCF_ELOCKED);
    ASSERT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(cfg), "[system]\nadmin = parent\n");
    // The idle child lives on; the file can be opened for update here too.
    KXCF_FILE* again = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    EXPECT_NE(again, nullptr);
    kxcf_close(again);
    ASSERT_EQ(write(to_child[1], "g", 1), 1);
    EXPECT_EQ(child_status(pid), 0);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);

    // Closed right after a fork, the handle's lock is free at once.
    f = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    slow_child = true;
    pid = fork();
    if (pid == 0) _exit(0);
    slow_child = false;
    kxcf_close(f);
    again = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    EXPECT_NE(again, nullptr) << kx_errno;
    kxcf_close(again);
    EXPECT_EQ(child_status(pid), 0);
}

TEST(KxcfPlanted, WriteBackThroughALinkWritesItsTargetWithOwnerGroupAndMode) {
    TempTree tree;
    std::string real = tree.file("real/c.cfg"), link = tree.file("c.cfg"), plain = tree.file("plain.cfg");
    write_file(real, kText, 0640);
    write_file(plain, kText, 0640);  // a file of the product's account stays its own too
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    bool root = geteuid() == 0;
    if (root) { ASSERT_EQ(chown(real.c_str(), 4321, 5678) | chown(plain.c_str(), 4321, 5678), 0); }
    const std::tuple<std::string, std::string, int> cases[] = {
        {link, real, 0}, {link, real, KXCF_UPDATE}, {plain, plain, 0}};
    for (const auto& [name, target, flags] : cases) {
        const std::string value = name == plain ? "plain" : flags ? "update" : "immediate";
        KXCF_FILE* f = kxcf_open(name.c_str(), flags);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", value.c_str()), 0);
        ASSERT_EQ(kxcf_close(f), 0);
        EXPECT_TRUE(is_link(link));
        EXPECT_EQ(read_file(target), "[system]\nadmin = " + value + "\n");
        struct stat st;
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(!root || (st.st_uid == 4321u && st.st_gid == 5678u)) << st.st_uid << ":" << st.st_gid;
        EXPECT_FALSE(temporary_left(target) || temporary_left(name));
    }
    if (!root) GTEST_SKIP() << "owner and group can only be kept as root";
}

TEST(KxcfPlanted, TreeWithoutSectionsIsNeverWritten) {
    TempTree tree;
    std::string cfg = tree.file("c.cfg");
    const std::string text = "# one\n# two\n[only]\nk = v\n";
    write_file(cfg, text);
    KXCF_FILE* f = kxcf_open(cfg.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_delsection(f, "only"), 0);
    EXPECT_EQ(err(kxcf_flush(f)), KXCF_EWRITE);
    kxcf_close(f);
    EXPECT_EQ(read_file(cfg), text);

    f = kxcf_open(cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err(kxcf_delsection(f, "only")), KXCF_EWRITE);
    EXPECT_EQ(kxcf_findsection(f, "only"), 0);  // the handle shows the file again
    kxcf_close(f);
    EXPECT_EQ(read_file(cfg), text);
    EXPECT_FALSE(temporary_left(cfg));
}

}  // namespace

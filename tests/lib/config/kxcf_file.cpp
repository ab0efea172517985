// Configuration files read, refused, written back, locked and closed, also
// with a second process holding the lock; under stress: many processes
// editing one file at once, what killed writers leave behind, and a disk
// that fills up; files planted beside a configuration file by whoever can
// write its directory, locks inherited by forked children, files owned by
// another account, and trees the reader would refuse.
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace kxtest;

const char* const kText = "[s]\nk = 1\nj = 2\n";

struct stat stat_of(const std::string& path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st;
}

// Whether another process can take the write lock right now.
bool lock_is_free(const std::string& path) {
    return in_child([&] {
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
        bool told = write(fds[1], &held, 1) == 1;
        usleep(static_cast<useconds_t>(hold_ms) * 1000);
        _exit(told && f && kxcf_close(f) == 0 ? 0 : 1);
    }
    char held = 'n';
    bool ok = read(fds[0], &held, 1) == 1 && held == 'y';
    close(fds[0]), close(fds[1]);
    return ok ? pid : -1;
}

// Opens TEXT written to a file; kx_errno and kxcf_lineno tell how it went.
KXCF_FILE* open_text(const TempTree& tree, const std::string& text, int flags = 0) {
    write_file(tree.file("c.cfg"), text);
    kx_errno = 0;
    kxcf_lineno = -1;
    return kxcf_open(tree.file("c.cfg").c_str(), flags);
}

TEST(KxcfFile, RoundTripKeepsCommentsAndNormalisesTheRest) {
    TempTree tree;
    const std::string in =
        "  # leading comment  \n \t \n[ Network.Main ]  \nKey=Value\n  other   =  spaced value  \n"
        "novalue=\nbare\n# before subsection\n( Sub1 )\nk = v # not a comment = [x]\n"
        "# before next section\n[net]\nk=1\nk=2\nk=3\ncr = v\r\n\n[net]\nlast = unterminated";
    const std::string out =
        "# leading comment\n\n[network.main]\nkey = Value\nother = spaced value\n"
        "novalue\nbare\n# before subsection\n(sub1)\nk = v # not a comment = [x]\n"
        "# before next section\n[net]\nk = 1\nk = 2\nk = 3\ncr = v\r\n\n[net]\n"
        "last = unterminated\n";
    KXCF_FILE* f = open_text(tree, in, KXCF_UPDATE);
    ASSERT_NE(f, nullptr) << kx_errno << " at line " << kxcf_lineno;
    EXPECT_EQ(kxcf_lineno, 0);
    // Rewriting a value with itself marks the handle, so the whole tree is written.
    ASSERT_EQ(kxcf_setvar(f, "net", nullptr, "k", "1"), 0);
    ASSERT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(tree.file("c.cfg")), out);
}

TEST(KxcfFile, FaultsAndOpenFailuresGiveTheirCodeAndLine) {
    const std::tuple<std::string, int, int> cases[] = {  // text, code, line (0: not parsed)
        {"[ ]\n", KXCF_ESECTCHAR, 1},        {"[a)\n", KXCF_ESECTCHAR, 1},
        {"[a\n", KXCF_ESECTNOEND, 1},        {"[a] x\n", KXCF_ESECTAFTER, 1},
        {"[a]\r\n", KXCF_ESECTAFTER, 1},     {"[a]\nk\r\n", KXCF_EKWCHAR, 2},  // CR is no blank
        {"[a]\n(b\n", KXCF_ESUBNOEND, 2},    {"[a]\n()\n", KXCF_ESUBCHAR, 2},
        {"[a]\n( b ]\n", KXCF_ESUBCHAR, 2},  {"[a]\n(b) x\n", KXCF_ESUBAFTER, 2},
        {"(b)\n[a]\n", KXCF_ESUBFIRST, 1},   {"# c\n\tk = v\n[a]\n", KXCF_EKWFIRST, 2},
        {"[a]\n= v\n", KXCF_EKWCHAR, 2},     {"[a]\nk v\n", KXCF_EKWCHAR, 2},
        {"[a]\nk = 1\n\n[b\n", KXCF_ESECTNOEND, 4},
        {std::string("[a]\nk = a\0b\n", 12), KXCF_ELINELEN, 2},
        {"# only\n# comments\n", KXCF_EPREMATURE, 3}, {"[]", KXCF_EFILESIZE, 0},
    };
    TempTree tree;
    for (const auto& [text, code, line] : cases) {
        EXPECT_EQ(err(open_text(tree, text)), code) << text;
        EXPECT_EQ(kxcf_lineno, line ? line : kxcf_lineno) << text;
    }

    std::string missing = tree.file("missing.cfg");
    EXPECT_EQ(err(kxcf_open(missing.c_str(), 0)), ENOENT);
    // The lock is taken before the file is read, and its file stays.
    EXPECT_EQ(err(kxcf_open(missing.c_str(), KXCF_UPDATE)), ENOENT);
    EXPECT_TRUE(path_exists(missing + ".lck"));
    EXPECT_TRUE(lock_is_free(missing));
    EXPECT_EQ(err(kxcf_open("", 0)), KXCF_ENOTFOUND);
    std::string long_path = "/" + std::string(1020, 'p');  // 1021: ".lck" makes 1025
    EXPECT_EQ(err(kxcf_open(long_path.c_str(), 0)), KXCF_ENAMETOOLONG);
}

// Lines that cross the reader's blocks, the longest value and a last line
// without a newline are read whole: the file is written back as it was read.
TEST(KxcfFile, LinesAcrossReadBlocks) {
    TempTree tree;
    std::string text = "[s]\nlongest = " + std::string(KXCF_MAX_VALUE, 'w') + "\n";
    std::mt19937 rng(7);
    while (text.size() < (3u << 20))
        text.append("k").append(std::to_string(text.size())).append(" = ").append(1 + rng() % KXCF_MAX_VALUE, 'v') += '\n';
    KXCF_FILE* f = open_text(tree, text + "last = no newline", KXCF_UPDATE);
    ASSERT_NE(f, nullptr) << kx_errno;
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "last", "no newline"), 0);
    ASSERT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(tree.file("c.cfg")), text + "last = no newline\n");
    EXPECT_EQ(err(open_text(tree, text + std::string(KXCF_MAX_LINE + 1, 'x'))), KXCF_ELINELEN);
    EXPECT_EQ(kxcf_lineno, static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1);
}

TEST(KxcfFile, LimitsAcceptTheMaximumAndRefuseOneMore) {
    struct Limit {
        std::string head, fill, tail;
        std::size_t max;
        int code;
    };
    const Limit limits[] = {{"[", "s", "]\n", 130, KXCF_ESECTSIZE},
                            {"[a]\n(", "u", ")\n", 40, KXCF_ESUBSIZE},
                            {"[a]\n", "k", " = v\n", 40, KXCF_EKWSIZE},
                            {"[a]\nk = ", "v", "\n", 1152, KXCF_EVALSIZE},
                            {"[a]\n#", "c", "\n", 1277, KXCF_ELINELEN}};  // 1278 with "#"
    TempTree tree;
    for (const Limit& l : limits) {
        KXCF_FILE* ok = open_text(tree, l.head + std::string(l.max, l.fill[0]) + l.tail);
        EXPECT_NE(ok, nullptr) << l.max << " refused with " << kx_errno;
        kxcf_close(ok);
        EXPECT_EQ(err(open_text(tree, l.head + std::string(l.max + 1, l.fill[0]) + l.tail)), l.code) << l.max;
        EXPECT_EQ(kxcf_lineno, l.code == KXCF_ESECTSIZE ? 1 : 2);
    }
    EXPECT_EQ(kxcf_close(open_text(tree, "[a]")), 0) << "three bytes are a file";
}

TEST(KxcfFile, WriteBackOnlyWithEditsAndNeverHalfway) {
    TempTree tree;
    std::string path = tree.file("u.cfg");
    write_file(path, kText);
    ino_t original = stat_of(path).st_ino;
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(lock_is_free(path));
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(stat_of(path).st_ino, original);  // untouched without edits
    EXPECT_TRUE(lock_is_free(path));

    f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "changed"), 0);
    EXPECT_EQ(read_file(path), kText);  // an edit in update mode stays in memory
    ASSERT_EQ(kxcf_flush(f), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = changed\nj = 2\n");
    EXPECT_FALSE(temporary_left(path));
    ino_t flushed = stat_of(path).st_ino;
    EXPECT_EQ(kxcf_flush(f), 0);
    EXPECT_FALSE(lock_is_free(path));  // still locked after a flush
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(stat_of(path).st_ino, flushed);  // nothing left to write at close

    // Edits in update mode never go back to the disk: they go on with the
    // file gone, and the close brings it back.
    f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(kxcf_setvar_inst(f, "s", nullptr, "n", "0", 5), 0);
    ASSERT_EQ(kxcf_setvar_index(f, "s", nullptr, "n", "1", 9), 0);
    EXPECT_EQ(kxcf_close(f), 0);
    const std::string on_disk = read_file(path);
    EXPECT_EQ(on_disk, "[s]\nk = changed\nj = 2\nn = 0\nn = 1\n");

    // A write-back that is refused is reported, keeps the edit in memory and
    // leaves the file alone: a file with a second hard link, which the
    // rename would split in two.
    const std::string other = path + ".other";
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    f = kxcf_open(path.c_str(), KXCF_UPDATE);
    ASSERT_EQ(kxcf_setvar(f, "s", nullptr, "k", "lost?"), 0);
    EXPECT_EQ(err(kxcf_flush(f)), KXCF_EHARDLINK);
    EXPECT_STREQ(kxcf_getvar(f, "s", nullptr, "k", 0), "lost?");
    EXPECT_EQ(err(kxcf_close(f)), KXCF_EHARDLINK);
    EXPECT_TRUE(lock_is_free(path));
    // In immediate mode the failed edit unlocks and shows the file on disk.
    f = kxcf_open(other.c_str(), 0);
    EXPECT_EQ(err(kxcf_setvar(f, "s", nullptr, "k", "lost?")), KXCF_EHARDLINK);
    EXPECT_STREQ(kxcf_getvar(f, "s", nullptr, "k", 0), "changed");
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(path), on_disk);
    EXPECT_EQ(stat_of(other).st_ino, stat_of(path).st_ino);
    // Asked for, the name written gets the new file and the other keeps the old.
    f = kxcf_open(path.c_str(), KXCF_SPLITLINKS);
    EXPECT_EQ(kxcf_setvar(f, "s", nullptr, "k", "split"), 0);
    EXPECT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(other), on_disk);
    EXPECT_NE(read_file(path), on_disk);
}

TEST(KxcfFile, ImmediateEditsAndAnotherProcessesLock) {
    TempTree tree;
    std::string path = tree.file("i.cfg");
    write_file(path, kText);
    KXCF_FILE* a = kxcf_open(path.c_str(), 0);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(kxcf_nextsection(a), "s");
    ASSERT_EQ(kxcf_setvar(a, "s", nullptr, "k", "from a"), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = from a\nj = 2\n");  // on disk at once
    EXPECT_TRUE(lock_is_free(path));
    EXPECT_STREQ(kxcf_nextsection(a), "s");  // the file was re-read: the walk starts again

    // A missing section or subsection gives the lock back at once.
    EXPECT_EQ(err(kxcf_setvar(a, "nope", nullptr, "k", "v")), KXCF_ENOSECTION);
    EXPECT_EQ(err(kxcf_setvar(a, "s", "nope", "k", "v")), KXCF_ENOSUBSECTION);
    EXPECT_TRUE(lock_is_free(path));

    // While another process holds the lock, writers are refused at once or wait.
    pid_t holder = hold_lock(path, 1500);
    ASSERT_GT(holder, 0);
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    EXPECT_EQ(err(kxcf_open(path.c_str(), KXCF_UPDATE)), KXCF_ELOCKED);
    EXPECT_EQ(err(kxcf_setvar(a, "s", nullptr, "k", "v")), KXCF_ELOCKED);
    EXPECT_LT(seconds(), 1.0);                                     // refused at once
    EXPECT_STREQ(kxcf_getvar(a, "s", nullptr, "k", 0), "from a");  // readers never block

    // Waiting for the one call, with one-second pauses, succeeds once the holder closes.
    ASSERT_EQ(kxcf_setvar_wait(a, "s", nullptr, "k", "waited", 5, 1), 0);
    EXPECT_GE(seconds(), 1.0);
    EXPECT_EQ(child_status(holder), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = waited\nj = 2\n");
    EXPECT_TRUE(a->flags == 0 && a->lock_retries == 20 && a->lock_delay == 3);

    // An update-mode open with KXCF_WAIT retries after the default pause.
    holder = hold_lock(path, 300);
    ASSERT_GT(holder, 0);
    KXCF_FILE* waiter = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_WAIT);
    ASSERT_NE(waiter, nullptr) << kx_errno;
    EXPECT_EQ(child_status(holder), 0);
    // Two handles of one process exclude each other as well; without
    // retries a waiting handle gives up at once.
    kxcf_set_lock_wait(0, 0, a);
    a->flags |= KXCF_WAIT;
    EXPECT_EQ(err(kxcf_setvar(a, "s", nullptr, "k", "v")), KXCF_ELOCKED);
    EXPECT_EQ(kxcf_close(waiter), 0);
    EXPECT_EQ(kxcf_close(a), 0);
}

// A pause of 2 to 4 ms before trying a refused lock again.
void back_off() {
    static std::minstd_rand rng(static_cast<unsigned>(getpid()));
    usleep(2000 + rng() % 2000);
}

// Sets KEYWORD to VALUE with one immediate-mode edit, trying again while
// another process holds the lock (the library's own wait sleeps whole seconds).
bool set_retrying(KXCF_FILE* f, const std::string& keyword, const std::string& value) {
    while (kxcf_setvar(f, "s", nullptr, keyword.c_str(), value.c_str()) != 0) {
        if (kx_errno != KXCF_ELOCKED) return false;
        back_off();
    }
    return true;
}

// The same, taking the file in update mode for the one edit.
bool set_held(const std::string& path, const std::string& keyword, const std::string& value) {
    KXCF_FILE* f;
    while (!(f = kxcf_open(path.c_str(), KXCF_UPDATE))) {
        if (kx_errno != KXCF_ELOCKED) return false;
        back_off();
    }
    bool ok = kxcf_setvar(f, "s", nullptr, keyword.c_str(), value.c_str()) == 0 && kxcf_flush(f) == 0;
    return kxcf_close(f) == 0 && ok;
}

// Runs BODY(I) in N processes at once; true when it returned true in each.
template <class Body>
bool in_children(int n, Body body) {
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i)
        if (pids.emplace_back(fork()) == 0) _exit(body(i) ? 0 : 1);
    bool ok = true;
    for (pid_t pid : pids) ok = child_status(pid) == 0 && ok;
    return ok;
}

// The value of KEYWORD in section "s" as a fresh reader sees it; -1 when missing.
int value_on_disk(const std::string& path, const std::string& keyword) {
    KXCF_FILE* f = kxcf_open(path.c_str(), 0);
    if (!f) return -1;
    const char* v = kxcf_getvar(f, "s", nullptr, keyword.c_str(), 0);
    int value = v == KXCF_FAIL ? -1 : std::atoi(v);
    kxcf_close(f);
    return value;
}

// Every writer counts its own keyword up, one edit at a time, half of them
// in update mode; an edit lost under another writer's stale copy shows as
// the count going back. The writers reach the file by four names in turn:
// its path, a symbolic link, and both relative to the directory.
TEST(KxcfStress, ImmediateAndUpdateEditsByEveryNameLoseNothing) {
    const int writers = 8, update_writers = 4, edits = 100;
    TempTree tree;
    const std::string path = tree.file("c.cfg"), link = tree.file("l.cfg");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    const std::string names[] = {path, link, "c.cfg", "l.cfg"};
    std::string text = "[s]\n";
    for (int w = 0; w < writers; ++w) text += "p" + std::to_string(w) + " = 0\n";
    write_file(path, text);
    EXPECT_TRUE(in_children(writers, [&](int w) {
        const std::string mine = "p" + std::to_string(w), name = names[w % 4];
        if (chdir(tree.path().c_str()) != 0) return false;
        KXCF_FILE* f = kxcf_open(name.c_str(), 0);
        bool ok = f != nullptr;
        for (int e = 1; ok && e <= edits; ++e) {
            const std::string next = std::to_string(e);
            ok = value_on_disk(path, mine) == e - 1 &&
                 (w < update_writers ? set_held(name, mine, next) : set_retrying(f, mine, next));
        }
        return ok && kxcf_close(f) == 0;
    })) << "a writer saw its count go back";
    for (int w = 0; w < writers; ++w) EXPECT_EQ(value_on_disk(path, "p" + std::to_string(w)), edits);
}


TEST(KxcfStress, WriteBackThatRunsOutOfSpaceLeavesTheFileWhole) {
    TempTree tree;
    const std::string path = tree.file("c.cfg"), text = "[s]\nn = 1\n";
    const std::string big(1000, 'x');
    for (int flags : {0, KXCF_UPDATE}) {
        write_file(path, text);
        EXPECT_TRUE(in_child([&] {
            KXCF_FILE* f = limit_file_size(text.size() + 500) ? kxcf_open(path.c_str(), flags) : nullptr;
            if (!f) return false;
            int rc = kxcf_setvar(f, "s", nullptr, "big", big.c_str());
            if (flags & KXCF_UPDATE) rc = rc == 0 ? kxcf_flush(f) : 0;
            bool failed = rc == -1 && kx_errno == EFBIG;
            kxcf_close(f);
            return failed;
        })) << flags;
        EXPECT_EQ(read_file(path), text);
        EXPECT_FALSE(temporary_left(path));
    }
    // What a writer killed before its rename left beside the file goes with
    // the next write; other names are not the library's to remove.
    write_file(path + ".tmp.Ab12Cd", "half");
    write_file(path + ".tmp.other", "keep");
    KXCF_FILE* f = kxcf_open(path.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "s", nullptr, "n", "2"), 0);
    kxcf_close(f);
    EXPECT_FALSE(path_exists(path + ".tmp.Ab12Cd"));
    EXPECT_TRUE(path_exists(path + ".tmp.other"));
}

const char* const kAdminText = "[system]\nadmin = root\n";

TEST(KxcfPlanted, LinksOrADirectoryAtTheLockAndTemporaryNamesAreLeftAlone) {
    TempTree tree;
    const std::string cfg = tree.file("c.cfg"), victim = tree.file("victim"), log = tree.file("kx_log");
    write_file(cfg, kAdminText);
    write_file(victim, "precious\n");
    for (const std::string& name : {cfg + ".lck", cfg + ".tmp", log + ".lck"})
        ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
    EXPECT_EQ(err(kxcf_open(cfg.c_str(), KXCF_UPDATE)), ELOOP);
    KXCF_FILE* f = kxcf_open(cfg.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err(kxcf_setvar(f, "system", nullptr, "admin", "other")), ELOOP);
    EXPECT_EQ(read_file(cfg), kAdminText);
    EXPECT_TRUE(std::filesystem::is_symlink(cfg + ".lck"));
    // The temporary name is not the writer's own: it is neither used nor removed.
    ASSERT_EQ(unlink((cfg + ".lck").c_str()), 0);
    EXPECT_EQ(kxcf_setvar(f, "system", nullptr, "admin", "other"), 0);
    kxcf_close(f);
    EXPECT_EQ(read_file(cfg), "[system]\nadmin = other\n");
    EXPECT_TRUE(std::filesystem::is_symlink(cfg + ".tmp"));
    kx_log_message(log.c_str(), "TEST", "prog", "entry");  // the suite log's lock
    EXPECT_EQ(read_file(victim), "precious\n");

    ASSERT_EQ(unlink((cfg + ".lck").c_str()), 0);
    make_dirs(cfg + ".lck");
    EXPECT_EQ(err(kxcf_open(cfg.c_str(), KXCF_UPDATE)), EISDIR);
}

// A FIFO, a socket or a device in the file's place is refused at once, by
// any name, without taking or making its lock.
TEST(KxcfPlanted, FifoSocketOrDeviceIsRefusedAtOnce) {
    TempTree tree;
    const std::string fifo = tree.file("fifo.cfg"), sock = tree.file("sock.cfg"), dev = tree.file("dev.cfg"),
                      via = tree.file("via.cfg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mknod(sock.c_str(), S_IFSOCK | 0644, 0), 0);
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
    write_file(cfg, kAdminText);
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

// A write-back in either mode keeps the file's owner, group and mode (the
// name written is the link's target: see the durable write tests).
TEST(KxcfPlanted, WriteBackKeepsOwnerGroupAndMode) {
    TempTree tree;
    std::string cfg = tree.file("c.cfg");
    write_file(cfg, kAdminText, 0640);
    bool root = geteuid() == 0;
    if (root) { ASSERT_EQ(chown(cfg.c_str(), 4321, 5678), 0); }
    for (int flags : {0, KXCF_UPDATE}) {
        KXCF_FILE* f = kxcf_open(cfg.c_str(), flags);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(kxcf_setvar(f, "system", nullptr, "admin", flags ? "update" : "immediate"), 0);
        ASSERT_EQ(kxcf_close(f), 0);
        struct stat st;
        ASSERT_EQ(stat(cfg.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << flags;
        EXPECT_TRUE(!root || (st.st_uid == 4321u && st.st_gid == 5678u)) << st.st_uid << ":" << st.st_gid;
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

// Configuration files read, refused, written back, locked and closed, also
// with a second process holding the lock.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <tuple>

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
    close(fds[1]);
    char held = 'n';
    bool ok = read(fds[0], &held, 1) == 1 && held == 'y';
    close(fds[0]);
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

TEST(KxcfFile, FaultsGiveTheirCodeAndLine) {
    // The other faults of the format, with their lines, are checked against
    // the reference reader on generated files (kxcf_reader_equal).
    const std::tuple<std::string, int, int> cases[] = {  // text, code, line (0: not parsed)
        {"[ ]\n", KXCF_ESECTCHAR, 1}, {"[a]\n(b\n", KXCF_ESUBNOEND, 2}, {"[a]\n()\n", KXCF_ESUBCHAR, 2},
        {"# only\n# comments\n", KXCF_EPREMATURE, 3}, {"[]", KXCF_EFILESIZE, 0},
    };
    TempTree tree;
    for (const auto& [text, code, line] : cases) {
        EXPECT_EQ(err(open_text(tree, text)), code) << text;
        EXPECT_EQ(kxcf_lineno, line ? line : kxcf_lineno) << text;
    }
    std::mt19937 rng(12345);
    for (int round = 0; round < 50; ++round) {  // binary garbage
        std::string junk(3 + rng() % 3000, '\0');
        for (char& c : junk) c = static_cast<char>(rng() & 0xff);
        int code = err(open_text(tree, junk));
        EXPECT_TRUE(code >= KXCF_EPARAM && code <= KXCF_EPREMATURE) << code;
    }
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
    // The longest value also survives the write-back unchanged; three bytes are a file.
    KXCF_FILE* f = open_text(tree, "[a]", KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kxcf_setvar(f, "a", nullptr, "k", std::string(1152, 'w').c_str()), 0);
    ASSERT_EQ(kxcf_close(f), 0);
    EXPECT_EQ(read_file(tree.file("c.cfg")), "[a]\nk = " + std::string(1152, 'w') + "\n");
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

    // No path: the suite's main configuration file.
    tree.write_main_config("[system]\nkestrix_version = 5.0\n");
    KXCF_FILE* f = kxcf_open(nullptr, 0);
    ASSERT_NE(f, nullptr) << kx_errno;
    EXPECT_STREQ(kxcf_getvar(f, "system", nullptr, "kestrix_version", 0), "5.0");
    EXPECT_EQ(kxcf_close(f), 0);
}

TEST(KxcfFile, WriteBackOnlyWithEditsAndNeverHalfway) {
    TempTree tree;
    std::string path = tree.file("u.cfg");
    write_file(path, kText, 0600);
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
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0600u);  // a private file stays private
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
    write_file(path, kText, 0640);
    KXCF_FILE* a = kxcf_open(path.c_str(), 0);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(kxcf_nextsection(a), "s");
    ASSERT_EQ(kxcf_setvar(a, "s", nullptr, "k", "from a"), 0);
    EXPECT_EQ(read_file(path), "[s]\nk = from a\nj = 2\n");  // on disk at once
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0640u);
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
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
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

}  // namespace

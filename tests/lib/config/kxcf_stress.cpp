// Write-backs under stress: writers killed at random moments, many
// processes editing one file at once, and a disk that fills up.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kxtest;

constexpr int kPadLines = 150;

// A file in which every keyword holds VERSION, so that any mix of two
// versions shows.
std::string version_text(int version) {
    std::string text = "# written whole or not at all\n[s]\nn = " + std::to_string(version) + "\n";
    for (int i = 0; i < kPadLines; ++i) text += "f" + std::to_string(i) + " = " + std::to_string(version) + "\n";
    return text;
}

// Sets every keyword of the open handle to VERSION.
bool set_version(KXCF_FILE* f, int version) {
    std::string v = std::to_string(version);
    if (kxcf_setvar(f, "s", nullptr, "n", v.c_str()) != 0) return false;
    for (int i = 0; i < kPadLines; ++i)
        if (kxcf_setvar(f, "s", nullptr, ("f" + std::to_string(i)).c_str(), v.c_str()) != 0) return false;
    return true;
}

// Rewrites PATH with rising versions until killed: whole versions in update
// mode, the one keyword "f7" per write-back in immediate mode.
[[noreturn]] void rewrite_forever(const std::string& path, bool update) {
    for (int version = 0;; ++version) {
        KXCF_FILE* f = kxcf_open(path.c_str(), update ? KXCF_UPDATE : 0);
        if (!f) _exit(1);
        bool ok = update ? set_version(f, version) && kxcf_flush(f) == 0
                         : kxcf_setvar(f, "s", nullptr, "f7", std::to_string(version).c_str()) == 0;
        kxcf_close(f);
        if (!ok) _exit(2);
    }
}

// The file parses, has all its keywords, and all but "f7" hold one version.
::testing::AssertionResult whole(const std::string& path) {
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE);  // also: nobody holds the lock
    if (!f) return ::testing::AssertionFailure() << "open failed with " << kx_errno;
    const char* n_value = kxcf_getvar(f, "s", nullptr, "n", 0);
    std::string n = n_value == KXCF_FAIL ? "" : n_value;
    kxcf_rewind(f);
    int keywords = 0;
    bool same = true;
    const char* name = nullptr;
    for (const char* v; (v = kxcf_nextvar(f, "s", nullptr, &name, 0)) != KXCF_FAIL; ++keywords)
        same = same && (v == n || std::string(name) == "f7");
    kxcf_close(f);
    if (keywords != kPadLines + 1 || !same)
        return ::testing::AssertionFailure() << keywords << " keywords:\n" << read_file(path);
    return ::testing::AssertionSuccess();
}

TEST(KxcfStress, KilledWriterLeavesTheOldOrTheNewFileAndNoLock) {
    TempTree tree;
    const std::string path = tree.file("c.cfg");
    write_file(path, version_text(0));
    std::mt19937 rng(20261206);
    for (int trial = 0; trial < 240; ++trial) {
        bool update = trial % 3 != 0;
        pid_t pid = fork();
        if (pid == 0) rewrite_forever(path, update);
        usleep(rng() % 4000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed with " << WEXITSTATUS(status);
        ASSERT_TRUE(whole(path)) << "trial " << trial << (update ? " (update)" : " (immediate)");
    }
    // What the killed writers left beside the file goes with the next write.
    KXCF_FILE* f = kxcf_open(path.c_str(), 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxcf_setvar(f, "s", nullptr, "f7", "0"), 0);
    kxcf_close(f);
    EXPECT_FALSE(temporary_left(path));
}

// A pause of 2 to 4 ms before trying a refused lock again: each refused
// edit re-reads the file, so eager retries only slow the holder down.
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

// The value of KEYWORD in section "s" as a fresh reader sees it; -1 when
// missing.
int value_on_disk(const std::string& path, const std::string& keyword) {
    KXCF_FILE* f = kxcf_open(path.c_str(), 0);
    if (!f) return -1;
    const char* v = kxcf_getvar(f, "s", nullptr, keyword.c_str(), 0);
    int value = v == KXCF_FAIL ? -1 : std::atoi(v);
    kxcf_close(f);
    return value;
}

// Every writer counts its own keyword up, one edit at a time; the first
// UPDATE_WRITERS take the file in update mode for each edit. Nobody else
// sets the keyword, so an edit lost under another writer's stale copy shows
// as the count going back, which the owner sees before its next edit (or
// the final check sees). The file stays small, so the run is about the
// lock, not the parser. With BY_NAMES the writers reach the file by four
// names in turn: its path, a symbolic link, and both relative to the
// directory.
void count_up(int writers, int update_writers, int edits, bool by_names = false) {
    TempTree tree;
    const std::string path = tree.file("c.cfg"), link = tree.file("l.cfg");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    const std::string names[] = {path, link, "c.cfg", "l.cfg"};
    std::string text = "[s]\n";
    for (int w = 0; w < writers; ++w) text += "p" + std::to_string(w) + " = 0\n";
    write_file(path, text);
    EXPECT_TRUE(in_children(writers, [&](int w) {
        const std::string mine = "p" + std::to_string(w), name = by_names ? names[w % 4] : path;
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

TEST(KxcfStress, ConcurrentImmediateEditsLoseNothing) { count_up(8, 0, 200); }
TEST(KxcfStress, UpdateHoldersAndImmediateEditorsLoseNothing) { count_up(6, 2, 60); }
TEST(KxcfStress, EditsByEveryNameOfTheFileLoseNothing) { count_up(8, 4, 60, true); }

TEST(KxcfStress, WriteBackThatRunsOutOfSpaceLeavesTheFileWhole) {
    TempTree tree;
    const std::string path = tree.file("c.cfg"), text = version_text(1);
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
}

}  // namespace

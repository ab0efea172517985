// Debug words, the debug trace file and the suite log. The suite log finds
// its file through the main configuration file, which it reads again only
// when that file changed: entries must follow every change of the file,
// whichever way it was made.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>

#include "../../../lib/log/kx_log_entry.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_test_support.h"

namespace {

using namespace kxtest;

unsigned parse(const char* text, const DBG_TOKEN* table = nullptr) {
    static const DBG_TOKEN words[] = {{"show_args", 1}, {"show_funcs", 2}, {"show_detail", 4}, {nullptr, 0}};
    unsigned flags = 8;  // bits are only ever added
    dbg_parse_tokens(&flags, table != nullptr ? table : words, text);
    return flags & ~8u;
}

TEST(DebugTokens, WordsSeparatorsCaseAndLimits) {
    EXPECT_EQ(parse("show_args,SHOW_FUNCS|show_detail"), 7u);
    EXPECT_EQ(parse("  show_args | ,  show_detail"), 5u);
    EXPECT_EQ(parse("bogus show show_argsx"), 0u) << "words match whole, not by prefix";
    EXPECT_EQ(parse(" |show_args") | parse(",show_args"), 0u);
    EXPECT_EQ(parse("show_args\nshow_funcs"), 1u);
    const std::string at_limit(120, 'a'), below(119, 'a');
    const DBG_TOKEN long_names[] = {{at_limit.c_str(), 1}, {below.c_str(), 2}, {"c", 4}, {nullptr, 0}};
    EXPECT_EQ(parse((at_limit + " " + below + ",c").c_str(), long_names), 6u) << "only the 120-character token fails";
    const DBG_TOKEN cut[] = {{"a", 1}, {"b", 0}, {"c", 4}, {nullptr, 0}};
    EXPECT_EQ(parse("a c", cut), 1u) << "the table ends at the first row without a bit";
}

// A tree whose main configuration file names DEBUG_PATH as the debug file.
struct DebugTree {
    TempTree tree;
    explicit DebugTree(const std::string& debug_path) {
        tree.write_main_config("[log_files]\n(debug)\nlog_file = " + debug_path + "\n");
    }
    ~DebugTree() { dbg_close(); }
};

// The kx_errno that USE leaves, from a clean start.
template <class Use>
int error_of(Use use) {
    kx_errno = 0;
    return use(), kx_errno;
}

// The reason dbg_open gives, 0 when it succeeds.
int open_error(char* name) {
    kx_errno = 0;
    return dbg_open(name) == 0 ? 0 : kx_errno;
}

int open_error_with(const std::string& debug_path) {
    DebugTree t(debug_path);
    char name[] = "prog";
    return open_error(name);
}

// The trace file with each time-stamp line (ctime's 24 characters, a blank
// and the name) shown as "@" and the name.
std::string traces(const std::string& path) {
    std::istringstream in(read_file(path));
    std::string shown;
    for (std::string line; std::getline(in, line);) {
        const bool stamp = line.size() > 25 && line[3] == ' ' && line[13] == ':' && line[24] == ' ';
        // Appended piece by piece: "@" + std::string trips a false
        // -Wrestrict of g++ 12 at -O3.
        if (stamp) shown += '@';
        shown.append(line, stamp ? 25 : 0);
        shown += '\n';
    }
    return shown;
}

TEST(DebugFacility, RefusesUseBeforeOpenAndBadNamesThenStampsFlushesAndReopens) {
    EXPECT_EQ(error_of(dbg_close), 9009);
    EXPECT_EQ(error_of([] { kx_dbg("x"); }), 9010);
    EXPECT_EQ(error_of([] { kx_dbg_cont("x"); }), 9011);
    TempTree scratch;  // a home without a main configuration file
    char empty[] = "", control[] = "pro\x01g";
    EXPECT_EQ(open_error(nullptr), 9002);
    EXPECT_EQ(open_error(empty), 9003);
    EXPECT_EQ(open_error(control), 9004);
    write_file(scratch.path() + "/plain", "x");
    EXPECT_EQ(open_error_with(scratch.path() + "/missing/debug.out"), 9006);
    EXPECT_EQ(open_error_with("debug.out"), 9006) << "a path without a directory";
    EXPECT_EQ(open_error_with(scratch.path() + "/plain/debug.out"), 9007);
    EXPECT_EQ(open_error_with(""), 1030) << "an empty path is no path";
    // The superuser may write anywhere, so this check runs as an ordinary account.
    const std::string dir = scratch.path() + "/ro";
    make_dirs(dir);
    ::chmod(scratch.path().c_str(), 0755);
    ::chmod(dir.c_str(), 0555);
    EXPECT_TRUE(in_child([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
        return open_error_with(dir + "/debug.out") == 9008;
    }));
    EXPECT_EQ(error_of([] { kx_dbg("x"); }), 9010) << "a refused open leaves the facility closed";

    TempTree out(false);
    const std::string path = out.path() + "/debug.out";
    DebugTree t(path);
    char name[] = "my prog";
    ASSERT_EQ(open_error(name), 0);
    EXPECT_STREQ(name, "my_prog");
    EXPECT_FALSE(path_exists(path)) << "nothing is created before the first line";
    EXPECT_EQ(open_error(name), 9001);
    kx_dbg("one");
    kx_dbg("two");
    EXPECT_EQ(error_of(dbg_flush), 9012);
    ASSERT_EQ(dbg_ctrl(0), 0);
    kx_dbg("three");
    kx_dbg_cont("four");
    kx_dbg_cont("five");
    EXPECT_EQ(error_of(dbg_flush), 0);
    ASSERT_EQ(dbg_ctrl(1) | dbg_ctrl(2), 0);
    char* argv[] = {const_cast<char*>("upgrade"), const_cast<char*>("-d"), const_cast<char*>("a b")};
    dbg_show_args(3, argv);
    EXPECT_EQ(err(dbg_ctrl(3)), 9013);
    dbg_close();
    ASSERT_EQ(open_error(name), 0);
    kx_dbg("six");
    EXPECT_EQ(traces(path), "@my prog\none\ntwo\n@my prog\nthree\n@my prog\nfour\nfive\n@my prog\n"
                            "upgrade arg[1] = '-d'\nupgrade arg[2] = 'a b'\n@my_prog\nsix\n");

    ASSERT_EQ(::unlink(path.c_str()) | ::rmdir(out.path().c_str()) | dbg_ctrl(2), 0);
    EXPECT_EQ(error_of([] { kx_dbg("lost"); }), ENOENT) << "the file could not be opened again";
}

bool logged(const std::string& path, const std::string& message) {
    return path_exists(path) && read_file(path).find(message) != std::string::npos;
}

std::tm day(const char* text) {
    std::tm tm{};
    return strptime(text, "%Y-%m-%d %H:%M", &tm), tm;
}

std::string entry_at(std::time_t t, bool local) {
    std::tm tm{};
    local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm);
    return kx_internal::log_entry_text("T", "p", "m", tm);
}

TEST(SuiteLog, EntryStampInLocalTimeAndTheFileFollowedWhenRotated) {
    using kx_internal::log_entry_text;
    EXPECT_EQ(log_entry_text("UPGRADE", "p", "msg", day("1998-03-05 14:07")), "UPGRADE 980305.1407 p\nmsg\n\n");
    EXPECT_EQ(log_entry_text("UPGRADE", "p", "msg", day("2000-03-05 14:07")), "UPGRADE 1000305.1407 p\nmsg\n\n");
    EXPECT_EQ(log_entry_text("T", "p", "", day("1999-01-01 09:05")), "T 990101.0905 p\n\n\n");

    TempTree t(false);
    const std::string log = t.path() + "/suite.log";
    setenv("TZ", "KXT-14", 1);  // far from UTC, so local and universal time differ
    tzset();
    const std::time_t before = std::time(nullptr);
    kx_log_message(log.c_str(), "T", "p", "m");
    const std::time_t after = std::time(nullptr);
    const std::string written = read_file(log);
    EXPECT_TRUE(written == entry_at(before, true) || written == entry_at(after, true)) << written;
    EXPECT_NE(written, entry_at(before, false));
    unsetenv("TZ");
    tzset();
    // The log stays open between entries; one rotated away or removed is
    // opened anew under its name, as is a removed lock file.
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    kx_log_message(log.c_str(), "T", "p", "second");
    EXPECT_TRUE(logged(log, "second") && !logged(log + ".1", "second"));
    std::remove(log.c_str());
    std::remove((log + ".lck").c_str());
    kx_log_message(log.c_str(), "T", "p", "third");
    EXPECT_TRUE(logged(log, "third") && path_exists(log + ".lck"));
    make_dirs(t.path() + "/other.log.lck");  // a lock file that cannot be opened
    kx_log_message((t.path() + "/other.log").c_str(), "T", "p", "m");
    EXPECT_TRUE(path_exists(t.path() + "/other.log")) << "the entry is written without its lock";
}

// A log that cannot take an entry (here the file size limit, as with a full
// disk) keeps only whole entries, and the program is told how many were
// lost, why and where; a log that cannot be opened is counted the same way.
TEST(SuiteLog, EntriesAreWholeOrCountedAsLost) {
    TempTree t(false);
    const std::string log = t.path() + "/suite.log", dir_log = t.path() + "/dir.log";
    make_dirs(dir_log);
    const std::string message(100, 'm');
    std::tm now{};
    const std::time_t clock = std::time(nullptr);
    localtime_r(&clock, &now);
    const std::size_t entry = kx_internal::log_entry_text("T", "p", message.c_str(), now).size();
    EXPECT_TRUE(in_child([&] {
        if (!limit_file_size(1000)) return false;
        for (int i = 0; i < 20; ++i) kx_log_message(log.c_str(), "T", "p", message.c_str());
        int reason = 0;
        const char* file = nullptr;
        const int lost = kx_log_failures(&reason, &file);
        const std::size_t whole = read_file(log).size() / entry;
        kx_log_message(dir_log.c_str(), "T", "p", "m");
        return whole > 0 && lost == static_cast<int>(20 - whole) && reason == EFBIG && file == log &&
               kx_log_failures(nullptr, nullptr) == lost + 1;
    }));
    const std::string written = read_file(log);
    EXPECT_EQ(written.size() % entry, 0u) << "a torn entry was left";
    EXPECT_EQ(written.substr(written.size() - message.size() - 2), message + "\n\n");

    // Concurrent writers never interleave.
    constexpr int kEntries = 200;
    const std::string shared = t.path() + "/shared.log";
    // Entries larger than a stdio buffer, so that one entry takes several writes.
    auto big = [](char who, int i) { return std::string(6000, who) + std::to_string(i); };
    for (char who : {'a', 'b'}) {
        if (::fork() == 0) {
            for (int i = 0; i < kEntries; ++i) kx_log_message(shared.c_str(), "T", "p", big(who, i).c_str());
            _exit(0);
        }
    }
    while (::wait(nullptr) > 0) continue;

    // Each entry whole (a 17-byte head line, the text, a blank line); with
    // the sizes adding up, nothing else is there.
    const std::string text = read_file(shared);
    std::size_t size = 0;
    for (char who : {'a', 'b'}) {
        for (int i = 0; i < kEntries; ++i) {
            EXPECT_NE(text.find(" p\n" + big(who, i) + "\n\n"), std::string::npos) << who << i;
            size += 19 + big(who, i).size();
        }
    }
    EXPECT_EQ(text.size(), size);
}

std::string main_config(const std::string& log) {
    std::string text = "[log_files]\n(system)\nlog_file = ";
    return text.append(log).append("\n");
}

// Gives PATH a modification time of its own, so that an edit within the
// file system's time resolution is still seen.
void touch_back(const std::string& path, long seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(SuiteLogTarget, EntriesFollowTheMainConfigurationAsItChanges) {
    TempTree tree;
    const std::string log_a = tree.file("log/a"), log_b = tree.file("log/b"), log_c = tree.file("log/c");
    const std::string config = tree.write_main_config(main_config(log_a));
    kx_log_message(nullptr, "INFO", "test", "first");
    EXPECT_TRUE(logged(log_a, "first"));

    // Replaced through a rename, as the suite's own writers do.
    write_file(config + ".new", main_config(log_b));
    ASSERT_EQ(std::rename((config + ".new").c_str(), config.c_str()), 0);
    kx_log_message(nullptr, "INFO", "test", "second");
    EXPECT_TRUE(logged(log_b, "second"));
    EXPECT_FALSE(logged(log_a, "second"));

    // Rewritten in place with a name of the same length: only the time tells.
    touch_back(config, 1000000000);
    kx_log_message(nullptr, "INFO", "test", "third");
    write_file(config, main_config(log_c));
    touch_back(config, 1000000001);
    kx_log_message(nullptr, "INFO", "test", "fourth");
    EXPECT_TRUE(logged(log_b, "third"));
    EXPECT_TRUE(logged(log_c, "fourth"));

    // Gone: no entry anywhere, and none lost later when it is back.
    std::remove(config.c_str());
    kx_log_message(nullptr, "INFO", "test", "fifth");
    EXPECT_FALSE(logged(log_c, "fifth"));
    tree.write_main_config(main_config(log_a));
    kx_log_message(nullptr, "INFO", "test", "sixth");
    EXPECT_TRUE(logged(log_a, "sixth"));

    // Another home is another main configuration file.
    TempTree second;
    second.write_main_config(main_config(second.file("log")));
    kx_log_message(nullptr, "INFO", "test", "in the second home");
    EXPECT_TRUE(logged(second.file("log"), "in the second home"));
    EXPECT_FALSE(logged(log_a, "in the second home"));
}

// The log stays open between entries; one rotated away or removed is
// opened anew under its name, as is a replaced lock file.
}  // namespace

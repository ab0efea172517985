// Debug words, the debug trace file and the suite log.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../../lib/kx_log_entry.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_test_support.h"

namespace {

using kxtest::read_file;
using kxtest::TempTree;

unsigned parse(const char* text, const DBG_TOKEN* table = nullptr) {
    static const DBG_TOKEN words[] = {{"show_args", 1}, {"show_funcs", 2}, {"show_detail", 4}, {nullptr, 0}};
    unsigned flags = 8;  // bits are only ever added
    dbg_parse_tokens(&flags, table != nullptr ? table : words, text);
    return flags & ~8u;
}

TEST(DebugTokens, WordsSeparatorsCaseAndLimits) {
    EXPECT_EQ(parse("show_args,SHOW_FUNCS|show_detail"), 7u);
    EXPECT_EQ(parse("  show_args | ,  show_detail"), 5u);
    EXPECT_EQ(parse("bogus show"), 0u);
    EXPECT_EQ(parse(" |show_args") | parse(",show_args"), 0u);
    EXPECT_EQ(parse("show_args\nshow_funcs"), 1u);
    EXPECT_EQ(parse((std::string(130, 'x') + ",show_funcs").c_str()), 2u);
    const std::string at_limit(120, 'a'), below(119, 'a');
    const DBG_TOKEN long_names[] = {{at_limit.c_str(), 1}, {below.c_str(), 2}, {nullptr, 0}};
    EXPECT_EQ(parse((at_limit + " " + below).c_str(), long_names), 2u);
    const DBG_TOKEN cut[] = {{"a", 1}, {"b", 0}, {"c", 4}, {nullptr, 0}};
    EXPECT_EQ(parse("a c", cut), 1u) << "the table ends at the first row without a bit";
    EXPECT_EQ(dbg_token_match("show", "show_args") + dbg_token_match("show_args", "show"), -2);
}

// A tree whose main configuration file names DEBUG_PATH as the debug file.
struct DebugTree {
    TempTree tree;
    explicit DebugTree(const std::string& debug_path) {
        tree.write_main_config("[log_files]\n(debug)\nlog_file = " + debug_path + "\n");
    }
    ~DebugTree() { dbg_close(); }
};

int open_error(char* name) {
    kx_errno = 0;
    return dbg_open(name) == 0 ? 0 : kx_errno;
}

int open_error_with(const std::string& debug_path) {
    DebugTree t(debug_path);
    char name[] = "prog";
    return open_error(name);
}

TEST(DebugFacility, RefusesUseBeforeOpenAndBadNamesOrDirectories) {
    auto error_of = [](void (*use)()) { return kx_errno = 0, use(), kx_errno; };
    EXPECT_EQ(error_of(dbg_close), 9009);
    EXPECT_EQ(error_of([] { kx_dbg("x"); }), 9010);
    EXPECT_EQ(error_of([] { kx_dbg_cont("x"); }), 9011);
    char name[] = "prog", empty[] = "", control[] = "pro\x01g";
    TempTree scratch(false);
    kxtest::write_file(scratch.path() + "/plain", "x");
    const std::string dir = scratch.path() + "/ro";
    kxtest::make_dirs(dir);
    {
        DebugTree t("/nonexistent-dir-for-test/debug.out");
        EXPECT_EQ(open_error(nullptr), 9002);
        EXPECT_EQ(open_error(empty), 9003);
        EXPECT_EQ(open_error(control), 9004);
        EXPECT_EQ(open_error(name), 9006);
    }
    EXPECT_EQ(open_error_with("debug.out"), 9006) << "a path without a directory";
    EXPECT_EQ(open_error_with(scratch.path() + "/plain/debug.out"), 9007);
    // The superuser may write anywhere, so this check runs as an ordinary account.
    ::chmod(scratch.path().c_str(), 0755);
    ::chmod(dir.c_str(), 0555);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(3);
        _exit(open_error_with(dir + "/debug.out") == 9008 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    kx_dbg("x");
    EXPECT_EQ(kx_errno, 9010) << "a refused open leaves the facility closed";
}

// A time-stamp line: ctime's 24 characters, a blank and the name.
bool is_stamp(const std::string& line, const std::string& name) {
    return line.size() == 25 + name.size() && line[3] == ' ' && line[13] == ':' && line.substr(25) == name;
}

TEST(DebugFacility, StampsFlushesAndReopens) {
    TempTree dir(false);
    const std::string path = dir.path() + "/debug.out";
    DebugTree t(path);
    char name[] = "my prog";
    ASSERT_EQ(open_error(name), 0);
    EXPECT_STREQ(name, "my_prog");
    EXPECT_FALSE(kxtest::path_exists(path)) << "nothing is created before the first line";
    EXPECT_EQ(open_error(name), 9001);
    kx_dbg("one");
    kx_dbg("two");
    dbg_flush();
    EXPECT_EQ(kx_errno, 9012);
    ASSERT_EQ(dbg_ctrl(0), 0);
    kx_dbg("three");
    kx_dbg_cont("four");
    kx_dbg_cont("five");
    kx_errno = 0;
    dbg_flush();
    EXPECT_EQ(kx_errno, 0);
    ASSERT_EQ(dbg_ctrl(1) | dbg_ctrl(2), 0);
    char* argv[] = {const_cast<char*>("upgrade"), const_cast<char*>("-d"), const_cast<char*>("a b")};
    dbg_show_args(3, argv);
    EXPECT_EQ(dbg_ctrl(3), -1);
    EXPECT_EQ(kx_errno, 9013);
    dbg_close();
    ASSERT_EQ(open_error(name), 0);
    kx_dbg("six");

    // "@NAME" stands for a time-stamp line naming NAME.
    const std::vector<std::string> traced = {
        "@my prog", "one", "two", "@my prog", "three", "@my prog", "four", "five", "@my prog",
        "upgrade arg[1] = '-d'", "upgrade arg[2] = 'a b'", "@my_prog", "six"};
    std::istringstream in(read_file(path));
    std::size_t i = 0;
    for (std::string line; std::getline(in, line); ++i) {
        ASSERT_LT(i, traced.size()) << line;
        if (traced[i][0] == '@')
            EXPECT_TRUE(is_stamp(line, traced[i].substr(1))) << line;
        else
            EXPECT_EQ(line, traced[i]);
    }
    EXPECT_EQ(i, traced.size());

    ::unlink(path.c_str());
    ::rmdir(dir.path().c_str());
    ASSERT_EQ(dbg_ctrl(2), 0);
    kx_dbg("lost");
    EXPECT_EQ(kx_errno, ENOENT);
}

std::tm day(int year, int month, int mday, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = mday, tm.tm_hour = hour, tm.tm_min = minute;
    return tm;
}

std::string entry_at(std::time_t t, bool local) {
    std::tm tm{};
    local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm);
    return kx_internal::log_entry_text("T", "p", "m", tm);
}

TEST(SuiteLog, EntryStampCountsYearsSince1900InLocalTime) {
    using kx_internal::log_entry_text;
    EXPECT_EQ(log_entry_text("UPGRADE", "p", "msg", day(1998, 3, 5, 14, 7)), "UPGRADE 980305.1407 p\nmsg\n\n");
    EXPECT_EQ(log_entry_text("UPGRADE", "p", "msg", day(2000, 3, 5, 14, 7)), "UPGRADE 1000305.1407 p\nmsg\n\n");
    EXPECT_EQ(log_entry_text(nullptr, nullptr, nullptr, day(1999, 1, 1, 9, 5)), " 990101.0905 \n\n\n");

    TempTree t(false);
    const std::string log = t.path() + "/suite.log";
    const char* old_tz = std::getenv("TZ");
    const std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "KXT-14", 1);  // far from UTC, so local and universal time differ
    tzset();
    const std::time_t before = std::time(nullptr);
    kx_log_message(log.c_str(), "T", "p", "m");
    const std::time_t after = std::time(nullptr);
    const std::string local_before = entry_at(before, true), local_after = entry_at(after, true);
    old_tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
    const std::string written = read_file(log);
    EXPECT_TRUE(written == local_before || written == local_after) << written;
    EXPECT_NE(written, entry_at(before, false));
    EXPECT_TRUE(kxtest::path_exists(log + ".lck"));
}

TEST(SuiteLog, ConcurrentWritersNeverInterleave) {
    TempTree t(false);
    const std::string log = t.path() + "/suite.log";
    constexpr int kEntries = 200;
    // Entries larger than a stdio buffer, so that one entry takes several writes.
    auto message = [](char who, int i) { return std::string(6000, who) + std::to_string(i); };
    std::vector<pid_t> children;
    for (char who : {'a', 'b'}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kEntries; ++i) kx_log_message(log.c_str(), "T", "p", message(who, i).c_str());
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) ::waitpid(pid, nullptr, 0);

    static const std::regex header(R"(T \d{6,7}\.\d{4} p)");
    std::istringstream in(read_file(log));
    std::set<std::string> seen;
    for (std::string head, body, blank; std::getline(in, head);) {
        ASSERT_TRUE(std::regex_match(head, header)) << "entry " << seen.size();
        ASSERT_TRUE(std::getline(in, body) && std::getline(in, blank) && blank.empty()) << "entry " << seen.size();
        seen.insert(body);
    }
    ASSERT_EQ(seen.size(), 2u * kEntries);
    for (char who : {'a', 'b'})
        for (int i = 0; i < kEntries; ++i) EXPECT_EQ(seen.count(message(who, i)), 1u) << who << i;
}

}  // namespace

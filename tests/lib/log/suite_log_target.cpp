// The suite log finds its file through the main configuration file, which
// it reads again only when that file changed: entries must follow every
// change of the file, whichever way it was made.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "kx_dbg.h"
#include "kx_test_support.h"

namespace {

using namespace kxtest;

std::string main_config(const std::string& log) {
    std::string text = "[log_files]\n(system)\nlog_file = ";
    return text.append(log).append("\n");
}

bool logged(const std::string& path, const std::string& message) {
    return path_exists(path) && read_file(path).find(message) != std::string::npos;
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
}

// The log stays open between entries; one rotated away or removed is
// opened anew under its name, as is a replaced lock file.
TEST(SuiteLogTarget, EntriesFollowTheLogFileWhenItIsRotatedOrRemoved) {
    TempTree tree;
    const std::string log = tree.file("log/suite");
    kx_log_message(log.c_str(), "INFO", "test", "first");
    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    kx_log_message(log.c_str(), "INFO", "test", "second");
    EXPECT_TRUE(logged(log, "second"));
    EXPECT_FALSE(logged(log + ".1", "second"));
    std::remove(log.c_str());
    std::remove((log + ".lck").c_str());
    kx_log_message(log.c_str(), "INFO", "test", "third");
    EXPECT_TRUE(logged(log, "third"));
    EXPECT_TRUE(path_exists(log + ".lck"));
}

TEST(SuiteLogTarget, AnotherHomeIsAnotherMainConfiguration) {
    TempTree first;
    first.write_main_config(main_config(first.file("log")));
    kx_log_message(nullptr, "INFO", "test", "in the first home");
    TempTree second;
    second.write_main_config(main_config(second.file("log")));
    kx_log_message(nullptr, "INFO", "test", "in the second home");
    EXPECT_TRUE(logged(second.file("log"), "in the second home"));
    EXPECT_FALSE(logged(first.file("log"), "in the second home"));
}

}  // namespace

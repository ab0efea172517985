// Error notification on standard error, in the suite log and by mail.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "../../../lib/errors/kx_notify_internal.h"
#include "kx_qzt.h"
#include "kx_test_support.h"

namespace {

using kxtest::path_exists;
using kxtest::read_file;

const char* const kAdmin = "admin = ops@example.com\nsystem_serial_number = SN42\nsystem_name = host1\n";

// A private installation whose mail goes to the stand-in program.
class Notify : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KX_MAIL_SINK_FILE", mail_.c_str(), 1);
        kx_internal::notify_set_mail_program(kxtest::program_path("mail_sink").c_str());
    }
    void TearDown() override {
        kx_internal::notify_set_mail_program(nullptr);
        unsetenv("KX_MAIL_SINK_FILE");
    }
    void configure(const std::string& system_keywords) {
        tree_.write_main_config("[system]\n" + system_keywords + "[log_files]\n(system)\nlog_file = " + log_ + "\n");
    }
    // What the notification wrote to standard error.
    static std::string notify(int level, const char* program, int number, const char* text,
                              const char* log = nullptr) {
        ::testing::internal::CaptureStderr();
        kx_error_notify(level, program, number, text, log);
        return ::testing::internal::GetCapturedStderr();
    }
    std::string mail() const { return kxtest::read_if_exists(mail_); }
    // The log file, with the date stamp of its first entry shown as "@".
    static std::string entries(const std::string& log) {
        const std::string text = kxtest::read_if_exists(log);
        return std::regex_replace(text, std::regex(R"(^ERROR \d{6,7}\.\d{4} )"), "ERROR @ ");
    }

    kxtest::TempTree tree_;
    std::string log_ = tree_.path() + "/suite.log", mail_ = tree_.path() + "/mail.txt";
};

TEST_F(Notify, LevelZeroAndEventLeaveNoTraceAndStandardErrorReports) {
    configure(kAdmin);
    EXPECT_EQ(notify(0, "prog", 1003, "text"), "");
    EXPECT_EQ(notify(KX_NOTIFY_EVENT, "prog", 1003, "text"), "");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, "prog", 0, nullptr), "Kestrix Program: prog failed\nMessage: \nAdditional Text: \n");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, "prog", -4, ""), "Kestrix Program: prog failed\nMessage: \nAdditional Text: \n");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, nullptr, 1003, "two\nlines"),
              "Kestrix Program:  failed\nError: 1003\nMessage: Configuration file not found\nAdditional Text: two\nlines\n");
    EXPECT_FALSE(path_exists(log_));
    EXPECT_EQ(mail(), "");
}

TEST_F(Notify, LogEntryGoesToTheConfiguredOrGivenFile) {
    configure("");
    EXPECT_EQ(notify(KX_NOTIFY_LOG, "prog", 1003, "word"), "");
    const std::string entry = "ERROR @ prog\nError: 1003\nConfiguration file not found\nword\n\n\n";
    EXPECT_EQ(entries(log_), entry);
    const std::string given = tree_.path() + "/given.log";
    notify(KX_NOTIFY_LOG, "upgrade", 0, "", given.c_str());
    EXPECT_EQ(entries(given), "ERROR @ upgrade\n\n\n");
    EXPECT_EQ(entries(log_), entry);
}

TEST_F(Notify, MailToTheAdministrator) {
    configure(kAdmin);
    EXPECT_EQ(notify(KX_NOTIFY_MAIL, "prog", 1003, "details"), "");
    EXPECT_EQ(mail(),
              "arg: ops@example.com\nbody:\nTo: ops@example.com\nSubject: Kestrix failed for SSN SN42 hostname host1\n\n"
              "Kestrix program prog failed for SSN SN42 hostname host1\n"
              "Error: 1003\nMessage: Configuration file not found\nAdditional Text: details \n");
    // Without a host name there is no subject tag. The address is one
    // argument of the mail program, never shell text; and a caller without
    // standard input still hands the mail over whole.
    kxtest::remove_tree(mail_);
    const std::string marker = tree_.path() + "/pwned", odd = "x; touch " + marker;
    configure("admin = " + odd + "\nsystem_serial_number = SN42\n");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(STDIN_FILENO);
        kx_error_notify(KX_NOTIFY_MAIL, "prog", 0, nullptr, nullptr);
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(mail(), "arg: " + odd + "\nbody:\nTo: " + odd + "\nSubject: Kestrix failed\n\nKestrix program prog failed\n");
    EXPECT_FALSE(path_exists(marker));
}

TEST_F(Notify, UndeliverableMailFallsBackToStandardError) {
    const std::string report = "Kestrix Program: prog failed\nError: 1001\nMessage: Parameter error\nAdditional Text: t\n";
    EXPECT_EQ(notify(KX_NOTIFY_MAIL, "prog", 1001, "t"), report) << "no main configuration file";
    configure("system_name = host1\n");
    EXPECT_EQ(notify(KX_NOTIFY_MAIL, "prog", 1001, "t"), report) << "no admin";
    configure("admin =\n");
    EXPECT_EQ(notify(KX_NOTIFY_MAIL | KX_NOTIFY_STDERR, "prog", 1001, "t"), report) << "empty admin, reported once";
    configure("admin = -oQ/tmp\n");
    EXPECT_EQ(notify(KX_NOTIFY_MAIL, "prog", 1001, "t"), report) << "an option is no address";
    configure(kAdmin);
    kx_internal::notify_set_mail_program((tree_.path() + "/no-such-mailer").c_str());
    EXPECT_EQ(notify(KX_NOTIFY_MAIL, "prog", 1001, "t"), report) << "mail program missing";
    EXPECT_EQ(mail(), "");
}

}  // namespace

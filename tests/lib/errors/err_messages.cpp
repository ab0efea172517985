// The error texts against the table of texts kept beside this test, the
// numbers that must have no text, and error notification on standard
// error, in the suite log and by mail.
#include "../../../lib/errors/kx_notify_internal.h"
#include "kx_errno.h"
#include "kx_qzt.h"
#include "kx_test_support.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <string>
#include <unistd.h>

namespace {

const char* const kEnd = "<END> THIS MUST BE FINAL LINE OF LIST";

// Number -> text, from err_messages.expected.
std::map<int, std::string> expected_texts() {
    std::map<int, std::string> texts;
    std::ifstream in(KX_SOURCE_DIR "/tests/lib/errors/err_messages.expected");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t open = line.find('"'), close = line.rfind('"');
        texts[std::stoi(line)] = line.substr(open + 1, close - open - 1);
    }
    return texts;
}

std::string text_of(int number) {
    char* text = kx_errmsg(number);
    std::string out = text != nullptr ? text : "(null)";
    std::free(text);
    return out;
}

TEST(ErrMessages, EveryListMatchesItsTextsSystemNumbersTakeThePlatformsAndCopiesAreFresh) {
    const std::map<int, std::string> texts = expected_texts();
    ASSERT_EQ(texts.size(), 210u);
    std::map<int, int> last;  // base -> highest listed number
    for (const auto& [number, text] : texts) {
        EXPECT_EQ(text_of(number), text) << number;
        last[number / 1000 * 1000] = number;
    }
    ASSERT_EQ(last.size(), 7u);
    for (const auto& [base, number] : last) {
        EXPECT_EQ(text_of(number + 1), kEnd) << base;
        EXPECT_EQ(text_of(number + 2), "(null)") << base;
        EXPECT_EQ(text_of(base), "(null)") << "\"No error\" is never returned";
    }
    for (int n : {0, -1, -1000, 999, 6001, 7999, 9015, 10000})
        EXPECT_EQ(text_of(n), "(null)") << n;

    // System numbers take the platform's texts (a hole in the numbering has
    // none); every text is a fresh copy for the caller, and kx_errno stays.
    kx_errno = 4242;
    for (int n = 1; n < 1000; ++n) {
        const std::string text = text_of(n);
        EXPECT_TRUE(text == "(null)" || (text == std::strerror(n) && text.rfind("Unknown error", 0) != 0)) << n;
    }
    EXPECT_EQ(text_of(2), std::strerror(2));
    char *a = kx_errmsg(1003), *b = kx_errmsg(1003);
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
    std::free(a), std::free(b);
    EXPECT_EQ(kx_errno, 4242);
}

using kxtest::path_exists;

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

TEST_F(Notify, LevelZeroAndEventLeaveNoTraceStandardErrorAndLogReport) {
    configure(kAdmin);
    EXPECT_EQ(notify(0, "prog", 1003, "text"), "");
    EXPECT_EQ(notify(KX_NOTIFY_EVENT, "prog", 1003, "text"), "");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, "prog", 0, nullptr), "Kestrix Program: prog failed\nMessage: \nAdditional Text: \n");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, "prog", -4, ""), "Kestrix Program: prog failed\nMessage: \nAdditional Text: \n");
    EXPECT_EQ(notify(KX_NOTIFY_STDERR, nullptr, 1003, "two\nlines"),
              "Kestrix Program:  failed\nError: 1003\nMessage: Configuration file not found\nAdditional Text: two\nlines\n");
    EXPECT_FALSE(path_exists(log_));
    EXPECT_EQ(mail(), "");

    EXPECT_EQ(notify(KX_NOTIFY_LOG, "prog", 1003, "word"), "");
    const std::string entry = "ERROR @ prog\nError: 1003\nConfiguration file not found\nword\n\n\n";
    EXPECT_EQ(entries(log_), entry);
    const std::string given = tree_.path() + "/given.log";
    notify(KX_NOTIFY_LOG, "upgrade", 0, "", given.c_str());
    EXPECT_EQ(entries(given), "ERROR @ upgrade\n\n\n");
    EXPECT_EQ(entries(log_), entry);
}

TEST_F(Notify, MailToTheAdministratorOrElseStandardError) {
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
    EXPECT_TRUE(kxtest::in_child([] {
        return ::close(STDIN_FILENO) == 0 && (kx_error_notify(KX_NOTIFY_MAIL, "prog", 0, nullptr, nullptr), true);
    }));
    EXPECT_EQ(mail(), "arg: " + odd + "\nbody:\nTo: " + odd + "\nSubject: Kestrix failed\n\nKestrix program prog failed\n");
    EXPECT_FALSE(path_exists(marker));

    // Undeliverable mail falls back to standard error.
    kxtest::remove_tree(mail_);
    kxtest::remove_tree(tree_.config_dir() + "qzt_config");
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

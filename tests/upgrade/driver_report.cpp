// Reports of the upgrade program and its error limit.
#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "config_upgrade.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_test_support.h"

using kxtest::path_exists;
using kxtest::read_file;

namespace {

const std::string kNotSaved =
    "EXIT: Kestrix Configuration File Upgrade FAILED\n"
    "  Modifications to New configuration file were NOT saved\n\n";

class Report : public ::testing::Test {
protected:
    kxtest::TempTree tree;
    std::string log = tree.path() + "/kx_log";
    char program[16] = "config_upgrade";
    std::string rules = "/r/app.upg";

    void SetUp() override {
        tree.write_main_config("[log_files]\n(system)\nlog_file = " + log + "\n");
        upgrade_inputs = UPGRADE_INPUTS{};
        upgrade_inputs.error_limit = UPGRADE_ERROR_LIMIT;
        upgrade_inputs.program_name = program;
        upgrade_inputs.upgrade_rules_file = rules.data();
        debug_flags = 0;
    }
    std::string log_text() const { return path_exists(log) ? read_file(log) : ""; }
};

TEST_F(Report, ContextNamesTheFileAndOnlyTheFieldsThatAreSet) {
    std::string new_file = "/n/app", output = "out/app";
    upgrade_inputs.new_config_file = new_file.data();
    auto context_of = [](int kind, const ERROR_CONTEXT* context) {
        char text[UPGRADE_TEXT_SIZE] = "";
        format_error_context(text, kind, context);
        return std::string(text);
    };
    EXPECT_EQ(context_of(FILE_NONE, nullptr), "");
    EXPECT_EQ(context_of(FILE_NEW, nullptr), "  New Config File: /n/app\n");
    EXPECT_EQ(context_of(FILE_PREV, nullptr), "  Previous Config File: None\n");
    ERROR_CONTEXT where{"sect", nullptr, "kw", "a value", 0};
    EXPECT_EQ(context_of(FILE_RULES, &where),
              "  Upgrade Rules File: /r/app.upg\n  Section:     sect\n  Keyword:     kw\n"
              "  Value:       a value\n");
    upgrade_inputs.output_config_file = output.data();
    ERROR_CONTEXT instance{nullptr, "sub", nullptr, nullptr, 3};
    EXPECT_EQ(context_of(FILE_NEW, &instance),
              "  Output Config File: out/app\n  Subsection:  sub\n  Instance:    3\n");

    // A context that would overflow the report buffer is cut to fit it.
    std::string huge(UPGRADE_TEXT_SIZE, 'v');
    ERROR_CONTEXT big{nullptr, nullptr, nullptr, huge.c_str(), 0};
    char text[UPGRADE_TEXT_SIZE] = "start";
    format_error_context(text, FILE_NONE, &big);
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(UPGRADE_TEXT_SIZE - 1));
    EXPECT_EQ(std::string(text, 21), "start  Value:       v");
}

TEST_F(Report, ReportsGoToStandardErrorAndLogAndOnlyErrorsCount) {
    ERROR_CONTEXT where{"sect", nullptr, "kw", nullptr, 0};
    testing::internal::CaptureStderr();
    upgrade_error(1003, "bad value 100%s", FILE_RULES, SEVERITY_ERROR, &where);
    upgrade_error(999999, nullptr, FILE_NONE, SEVERITY_WARNING, nullptr);
    for (int i = 0; i < 25; i++) upgrade_error(0, "just a warning", FILE_NONE, SEVERITY_WARNING, nullptr);
    std::string err = testing::internal::GetCapturedStderr();

    const std::string first =
        "ERROR: 1003\t\nConfiguration file not found\nbad value 100%s\n"
        "  Upgrade Rules File: /r/app.upg\n  Section:     sect\n  Keyword:     kw\n\n";
    EXPECT_EQ(err.substr(0, first.size()), first);
    // A number without a text of its own is followed directly by the newline.
    EXPECT_NE(err.find("\n\nWARNING: 999999\t\n\nWARNING: just a warning\n\n"), std::string::npos);
    EXPECT_EQ(upgrade_inputs.error_count, 1);
    std::string logged = log_text();
    EXPECT_NE(logged.find("ERROR "), std::string::npos);
    EXPECT_NE(logged.find(first.substr(0, first.size() - 2)), std::string::npos);
}

// The whole of standard error, as an anchored pattern.
std::string whole(const std::string& text) { return "^" + text + "$"; }

TEST_F(Report, TwentiethErrorEndsTheRunOnce) {
    upgrade_inputs.error_count = 18;
    EXPECT_EXIT(
        {
            upgrade_error(0, "nineteen", FILE_NONE, SEVERITY_ERROR, nullptr);
            upgrade_error(0, "twenty", FILE_NONE, SEVERITY_ERROR, nullptr);
        },
        testing::ExitedWithCode(1), whole("ERROR: nineteen\n\nERROR: twenty\n\nERROR: Too many errors\n\n" + kNotSaved));
    upgrade_inputs.error_count = 19;
    EXPECT_EXIT(upgrade_fatal(0, "fatal and twentieth", FILE_NONE), testing::ExitedWithCode(1),
                whole("ERROR: fatal and twentieth\n\nERROR: Too many errors\n\n" + kNotSaved));
    EXPECT_TRUE(log_text().find("UPGRADE ") != std::string::npos);
    EXPECT_TRUE(log_text().find(kNotSaved.substr(0, kNotSaved.size() - 2)) != std::string::npos);
}

}  // namespace

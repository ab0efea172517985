// Reports of the upgrade program and its error limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "upgrade_report.h"
#include "kx_dbg.h"
#include "kx_test_support.h"

namespace {

class Report : public ::testing::Test {
protected:
    kxtest::TempTree tree;
    std::string log = tree.path() + "/kx_log", rules = "/r/app.upg", output = "out/app";
    char program[16] = "config_upgrade";

    void SetUp() override {
        tree.write_main_config("[log_files]\n(system)\nlog_file = " + log + "\n");
        upgrade_inputs = UPGRADE_INPUTS{};
        upgrade_inputs.error_limit = UPGRADE_ERROR_LIMIT;
        upgrade_inputs.program_name = program;
        upgrade_inputs.upgrade_rules_file = rules.data();
        debug_flags = 0;
    }
};

TEST_F(Report, ContextNamesTheFileAndOnlyTheFieldsThatAreSet) {
    char text[UPGRADE_TEXT_SIZE] = "";
    format_error_context(text, FILE_PREV, nullptr);  // there is no previous file
    upgrade_inputs.output_config_file = output.data();
    ERROR_CONTEXT where{nullptr, "sub", nullptr, nullptr, 3};
    format_error_context(text, FILE_NEW, &where);
    EXPECT_STREQ(text, "  Previous Config File: None\n  Output Config File: out/app\n  Subsection:  sub\n"
                       "  Instance:    3\n");
    // A context that would overflow the report buffer is cut to fit it.
    const std::string huge(UPGRADE_TEXT_SIZE, 'v');
    ERROR_CONTEXT big{nullptr, nullptr, nullptr, huge.c_str(), 0};
    format_error_context(text, FILE_NONE, &big);
    EXPECT_EQ(std::strlen(text), UPGRADE_TEXT_SIZE - 1u);
}

TEST_F(Report, OnlyErrorsAreCountedAndAFatalTwentiethEndsTheRunOnce) {
    testing::internal::CaptureStderr();
    upgrade_error(999999, "100%s", FILE_NONE, SEVERITY_WARNING, nullptr);
    upgrade_error(0, "counted", FILE_RULES, SEVERITY_ERROR, nullptr);
    // A number without a text of its own is followed directly by the newline.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: 999999\t\n100%s\n\nERROR: counted\n  Upgrade Rules File: /r/app.upg\n\n");
    EXPECT_EQ(upgrade_inputs.error_count, 1);
    EXPECT_NE(kxtest::read_file(log).find("WARNING: 999999\t\n100%s"), std::string::npos);

    const std::string not_saved =
        "ERROR: Too many errors\n\nEXIT: Kestrix Configuration File Upgrade FAILED\n"
        "  Modifications to New configuration file were NOT saved\n\n$";
    // A fatal error that is also the twentieth ends the run once.
    upgrade_inputs.error_count = 19;
    EXPECT_EXIT(upgrade_fatal(0, "fatal and twentieth", FILE_NONE), testing::ExitedWithCode(1),
                "^ERROR: fatal and twentieth\n\n" + not_saved);
    EXPECT_NE(kxtest::read_file(log).find("UPGRADE "), std::string::npos);
}

}  // namespace

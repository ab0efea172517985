// Reports of the upgrade program and its error limit.
#include <gtest/gtest.h>

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

    UPGRADE_INPUTS inputs{};
    UPGRADE_RUN run{inputs, {}};

    void SetUp() override {
        tree.write_main_config("[log_files]\n(system)\nlog_file = " + log + "\n");
        inputs.program_name = program;
        inputs.upgrade_rules_file = rules.data();
        debug_flags = 0;
    }
};

TEST_F(Report, ContextNamesTheFileAndOnlyTheFieldsThatAreSet) {
    std::string text = format_error_context(run, FileKind::previous, nullptr);  // there is no previous file
    inputs.output_config_file = output.data();
    ERROR_CONTEXT where{nullptr, "sub", nullptr, nullptr, 3};
    text += format_error_context(run, FileKind::new_file, &where);
    EXPECT_EQ(text, "  Previous Config File: None\n  Output Config File: out/app\n  Subsection:  sub\n"
                    "  Instance:    3\n");
    // A context that would overflow the report buffer is cut to fit it.
    const std::string huge(UPGRADE_TEXT_SIZE, 'v');
    ERROR_CONTEXT big{nullptr, nullptr, nullptr, huge.c_str(), 0};
    EXPECT_EQ(format_error_context(run, FileKind::none, &big).size(), UPGRADE_TEXT_SIZE - 1u);
}

TEST_F(Report, OnlyErrorsAreCountedAndAFatalTwentiethEndsTheRunOnce) {
    testing::internal::CaptureStderr();
    upgrade_error(run, 999999, "100%s", FileKind::none, Severity::warning, nullptr);
    upgrade_error(run, 0, "counted", FileKind::rules, Severity::error, nullptr);
    // A number without a text of its own is followed directly by the newline.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: 999999\t\n100%s\n\nERROR: counted\n  Upgrade Rules File: /r/app.upg\n\n");
    EXPECT_EQ(run.state.error_count, 1);
    EXPECT_NE(kxtest::read_file(log).find("WARNING: 999999\t\n100%s"), std::string::npos);

    // A fatal error that is also the twentieth ends the run once: the caller
    // gets one abort, after both reports.
    run.state.error_count = 19;
    testing::internal::CaptureStderr();
    EXPECT_THROW(upgrade_fatal(run, 0, "fatal and twentieth", FileKind::none), UPGRADE_ABORT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: fatal and twentieth\n\nERROR: Too many errors\n\n");
}

}  // namespace

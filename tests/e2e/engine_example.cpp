// The example installation under examples/: the upgrade of its v4.0.1
// qzt_config gives the checked-in result, every time, and its decision
// report accounts for every keyword of the previous file as the log and the
// result do. Also the time a large section takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "kx_report_check.h"
#include "kx_test_support.h"
#include "kxcf.h"

namespace {

using namespace kxtest;

struct ExampleRun {
    TempTree tree;
    std::string etc = tree.config_dir();
    RunResult run;

    ExampleRun() {
        RunResult copy = run_program({"cp", "-R", std::string(KX_SOURCE_DIR) + "/examples/.", tree.path()});
        EXPECT_EQ(copy.status, 0) << copy.err;
        run = run_program({program_path("config_upgrade"), "-c", "qzt_config", "--report", report_file()},
                          {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}}, etc);
    }
    std::string log() const { return read_file(tree.path() + "/qzt/log/qzt_log"); }
    std::string report_file() const { return tree.path() + "/report.json"; }
};

struct Keyword {
    std::string section, subsection, name, value;
};

std::vector<Keyword> read_keywords(const std::string& path) {
    std::vector<Keyword> all;
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    EXPECT_NE(f, nullptr) << path;
    if (!f) return all;
    std::vector<std::string> sections;
    for (const char* s; (s = kxcf_nextsection(f)) != KXCF_FAIL;) sections.push_back(s);
    for (const std::string& section : sections) {
        std::vector<std::string> lists = {""};
        kxcf_rewind(f);
        for (const char* sub; (sub = kxcf_nextsubsection(f, section.c_str())) != KXCF_FAIL;)
            lists.push_back(sub);
        for (const std::string& sub : lists) {
            kxcf_rewind(f);
            const char* name = nullptr;
            for (const char* v; (v = kxcf_nextvar(f, section.c_str(), sub.empty() ? nullptr : sub.c_str(),
                                                  &name, 0)) != KXCF_FAIL;)
                all.push_back({section, sub, name, v});
        }
    }
    kxcf_close(f);
    return all;
}

// Every previous keyword line has one entry in the report, with the fate
// the log tells and the rule at its line; a value the report says the
// result holds is there.
void expect_every_keyword_accounted_for(const ExampleRun& example) {
    const nlohmann::json report = read_decision_report(example.report_file());
    expect_report_matches_files(report, example.etc + "v4.0.1/custom/qzt_config",
                                example.etc + "upgrade/qzt_config.upg", example.log());
    EXPECT_EQ(report["run"]["outcome"], "completed");
    EXPECT_EQ(report["run"]["result"]["file"], example.etc + "qzt_config");
    const std::vector<Keyword> result = read_keywords(example.etc + "qzt_config");
    int written = 0, ruled = 0;
    for (const nlohmann::json& k : report["keywords"]) {
        EXPECT_NE(k["fate"], "not_processed") << k;
        const nlohmann::json& w = k["result"];
        if (w.is_null()) {
            ++ruled;
            continue;
        }
        ++written;
        const Keyword held = {w["section"], w["subsection"].is_null() ? "" : w["subsection"], w["keyword"], w["value"]};
        EXPECT_TRUE(std::any_of(result.begin(), result.end(), [&](const Keyword& r) {
            return r.section == held.section && r.subsection == held.subsection && r.name == held.name &&
                   r.value == held.value;
        })) << k;
    }
    EXPECT_GT(written, 40);
    EXPECT_GT(ruled, 10);
}

// Two runs over the same files give the checked-in result; every keyword of
// the previous file is accounted for.
TEST(ExampleTree, UpgradeGivesTheExpectedResultAndLosesNoKeywordUnreported) {
    const std::string expected = read_file(std::string(KX_SOURCE_DIR) + "/examples/expected/qzt_config");
    for (int i = 0; i < 2; ++i) {
        ExampleRun example;
        ASSERT_EQ(example.run.status, 0) << example.run.err;
        EXPECT_EQ(example.run.err, "");
        EXPECT_EQ(read_file(example.etc + "qzt_config"), expected) << "run " << i;
        EXPECT_NE(example.log().find("SUCCESS:  Kestrix Configuration File Upgrade Completed"), std::string::npos);
        if (i == 0) expect_every_keyword_accounted_for(example);
    }
}

// Half of the previous keywords change a value of the new file, half are added.
TEST(EngineScale, TenThousandChangedOrAddedKeywordsTakeSeconds) {
    TempTree tree;
    const std::string etc = tree.config_dir();
    write_file(tree.file("bin/config_check"), "#!/bin/sh\nexit 0\n", 0755);
    tree.write_main_config("[log_files]\n(system)\nlog_file = " + tree.path() + "/log\n");
    std::string new_text = "[big]\n", prev_text = "[big]\n";
    for (int i = 0; i < 10000; ++i) {
        std::string name = "kw" + std::to_string(i);
        if (i < 5000) new_text += name + " = old\n";
        prev_text += name + " = new" + std::to_string(i) + "\n";
    }
    write_file(tree.file("qzt/etc/cfg"), new_text);
    write_file(tree.file("qzt/etc/v4.0.1/custom/cfg"), prev_text);
    write_file(tree.file("qzt/etc/upgrade/cfg.upg"), "[big]\nkw..\n_upgrade = custom\n");
    write_file(tree.file("qzt/etc/syntax/cfg.syn"), "");
    write_file(tree.file("qzt/etc/v4.0.1/custom/syntax/cfg.syn"), "");

    auto start = std::chrono::steady_clock::now();
    RunResult r = run_program({program_path("config_upgrade"), "-c", "cfg", "-v", "v5.0.0", "-V", "v4.0.1"},
                              {{"PATH", tree.path() + "/bin:/usr/bin:/bin"}}, etc);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(seconds, 30.0);
    EXPECT_EQ(read_file(etc + "cfg"), prev_text);
}

}  // namespace

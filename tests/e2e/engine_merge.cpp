// Runs of config_upgrade over the small installations of engine_cases/: each
// case NAME has its rules (NAME.upg), new file (NAME.new) and previous file
// (NAME.prev), and the whole expected result (NAME.result), standard error
// (NAME.err) and entries the suite log must hold (NAME.log, entries
// separated by empty lines; an entry starting with "!" must be absent).
// Each section of a case's files exercises one situation of the merge; the
// cases use every rule word. The decision report of each run accounts for
// every previous line as the log does. Also the time a large section takes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kx_report_check.h"
#include "kx_test_support.h"

namespace {

using namespace kxtest;

std::string case_file(const std::string& name, const char* suffix) {
    return read_file(std::string(KX_SOURCE_DIR) + "/tests/e2e/engine_cases/" + name + suffix);
}

std::string rooted(std::string text, const std::string& root) {
    for (size_t at; (at = text.find(root)) != std::string::npos;) text.replace(at, root.size(), "ROOT");
    return text;
}

// An installation of the files of cfg, whose syntax checker accepts
// everything: these runs are about the merge.
void install(const TempTree& tree, const std::string& rules, const std::string& new_text, const std::string& prev) {
    write_file(tree.file("bin/config_check"), "#!/bin/sh\nexit 0\n", 0755);
    tree.write_main_config("[log_files]\n(system)\nlog_file = " + tree.path() + "/log\n");
    write_file(tree.file("qzt/etc/syntax/cfg.syn"), "");
    write_file(tree.file("qzt/etc/v4.0.1/custom/syntax/cfg.syn"), "");
    write_file(tree.file("qzt/etc/upgrade/cfg.upg"), rules);
    write_file(tree.file("qzt/etc/cfg"), new_text);
    write_file(tree.file("qzt/etc/v4.0.1/custom/cfg"), prev);
}

RunResult upgrade(const TempTree& tree, std::vector<std::string> args) {
    args.insert(args.begin(), {program_path("config_upgrade"), "-c", "cfg", "-v", "v5.0.0", "-V", "v4.0.1"});
    return run_program(args, {{"PATH", tree.path() + "/bin:/usr/bin:/bin"}}, tree.config_dir());
}

// The result always lands in "out" (-o), also when the run fails.
void check_case(const std::string& name) {
    SCOPED_TRACE(name);
    TempTree tree;
    install(tree, case_file(name, ".upg"), case_file(name, ".new"), case_file(name, ".prev"));
    const std::string etc = tree.config_dir();
    RunResult r = upgrade(tree, {"-o", etc + "out", "--report", etc + "report.json"});
    EXPECT_EQ(r.status, 1) << "every case holds errors";
    EXPECT_EQ(rooted(r.err, tree.path()), case_file(name, ".err"));
    EXPECT_EQ(read_file(etc + "out"), case_file(name, ".result"));

    const std::string log = rooted(read_file(tree.path() + "/log"), tree.path());
    const std::string entries = case_file(name, ".log");
    for (size_t from = 0, end; from < entries.size(); from = end + 2) {
        end = std::min(entries.find("\n\n", from), entries.size());
        std::string entry = entries.substr(from, end - from);
        if (entry.back() == '\n') entry.pop_back();
        if (entry[0] == '!')
            EXPECT_EQ(log.find(entry.substr(1)), std::string::npos) << entry;
        else
            EXPECT_NE(log.find(entry + "\n\n"), std::string::npos) << entry;
    }

    const nlohmann::json report = read_decision_report(etc + "report.json");
    expect_report_matches_files(report, etc + "v4.0.1/custom/cfg", etc + "upgrade/cfg.upg", log);
    for (const nlohmann::json& k : report["keywords"]) EXPECT_NE(k["fate"], "not_processed") << k;
    EXPECT_EQ(report["run"]["outcome"], "errors");
    EXPECT_EQ(report["run"]["exit_status"], 1);
    EXPECT_EQ(report["run"]["result"]["place"], "output_file");
}

TEST(EngineMerge, KeywordDecisionTableUnitsEventCodesAndRenames) { check_case("keywords"); }

TEST(EngineMerge, KeywordSets) { check_case("sets"); }

TEST(EngineMerge, SectionsAndSubsections) { check_case("sections"); }

// Half of the previous keywords change a value of the new file, half are added.
TEST(EngineScale, TenThousandChangedOrAddedKeywordsTakeSeconds) {
    TempTree tree;
    std::string new_text = "[big]\n", prev_text = "[big]\n";
    for (int i = 0; i < 10000; ++i) {
        std::string name = "kw" + std::to_string(i);
        if (i < 5000) new_text += name + " = old\n";
        prev_text += name + " = new" + std::to_string(i) + "\n";
    }
    install(tree, "[big]\nkw..\n_upgrade = custom\n", new_text, prev_text);

    auto start = std::chrono::steady_clock::now();
    RunResult r = upgrade(tree, {});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(seconds, 30.0);
    EXPECT_EQ(read_file(tree.config_dir() + "cfg"), prev_text);
}

}  // namespace

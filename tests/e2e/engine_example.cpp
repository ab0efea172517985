// The example installation under examples/: the upgrade of its v4.0.1
// qzt_config gives the checked-in result, every time, and accounts for
// every keyword of the previous file. Also the time a large section takes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

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
        run = run_program({program_path("config_upgrade"), "-c", "qzt_config"},
                          {{"PATH", std::string(KX_BIN_DIR) + ":/usr/bin:/bin"}}, etc);
    }
    std::string log() const { return read_file(tree.path() + "/qzt/log/qzt_log"); }
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

// One entry of the log or one report on standard error that names the
// keyword's place (an empty name: a whole section or subsection).
bool named_in(const std::string& text, const std::string& what, const Keyword& k, bool keyword) {
    size_t from = 0;
    for (size_t at; (at = text.find(what, from)) != std::string::npos; from = at + 1) {
        std::string entry = text.substr(at, text.find("\n\n", at) - at) + "\n";
        if (entry.find("  Section:     " + k.section + "\n") == std::string::npos) continue;
        if (!k.subsection.empty() && entry.find("  Subsection:  " + k.subsection + "\n") == std::string::npos)
            continue;
        if (!keyword || entry.find("  Keyword:     " + k.name + "\n") != std::string::npos) return true;
    }
    return false;
}

bool carried(const std::vector<Keyword>& result, const Keyword& k, const std::string& name) {
    std::string value = k.value.substr(0, k.value.find(" !"));
    for (const Keyword& r : result)
        if (r.section == k.section && r.subsection == k.subsection && r.name == name &&
            (r.value == value || r.value.rfind(value + " ", 0) == 0))
            return true;
    return false;
}

void expect_every_keyword_accounted_for(const ExampleRun& example) {
    const std::string log = example.log();
    const std::vector<Keyword> result = read_keywords(example.etc + "qzt_config");
    const std::vector<Keyword> prev = read_keywords(example.etc + "v4.0.1/custom/qzt_config");
    ASSERT_GT(prev.size(), 40u);
    int written = 0, ruled = 0;
    for (const Keyword& k : prev) {
        std::string name = k.name;
        std::string renamed = "Keyword \"" + k.name + "\" is renamed to \"";
        if (size_t at = log.find(renamed); at != std::string::npos)
            name = log.substr(at + renamed.size(), log.find('"', at + renamed.size()) - at - renamed.size());
        Keyword whole_section = {k.section, "", "", ""};
        if (carried(result, k, name)) {
            ++written;
        } else if (named_in(log, "Upgrade rule = factory", k, true) || named_in(log, "Deleting keyword", k, true) ||
                   named_in(log, "Deleting subsection", k, false) || named_in(log, "for entire subsection", k, false) ||
                   named_in(log, "Deleting section", whole_section, false) ||
                   named_in(log, "for entire section", whole_section, false) ||
                   named_in(example.run.err, "WARNING: ", k, true) || named_in(example.run.err, "ERROR: ", k, true)) {
            ++ruled;
        } else {
            ADD_FAILURE() << "lost without a report: [" << k.section << "] (" << k.subsection << ") " << k.name
                          << " = " << k.value;
        }
    }
    EXPECT_GT(written, 0);
    EXPECT_GT(ruled, 0);
}

// Two runs over the same files give the checked-in result; every keyword of
// the previous file is carried into it or named by a log entry or a report.
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

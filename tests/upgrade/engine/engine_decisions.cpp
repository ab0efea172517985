// The engine's decisions, one merge per row: rules, new file and previous
// file in, the merged new file and the reports out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kx_test_support.h"
#include "upgrade_engine.h"

namespace {

using namespace kxtest;

// The files of one merge, open as the driver opens them, with the run the
// engine reports through.
struct Merge {
    TempTree tree;
    std::string new_path = tree.file("new"), prev_path = tree.file("prev"), rules_path = tree.file("rules");
    UPGRADE_INPUTS inputs{};
    UPGRADE_RUN run{inputs, {}};
    KXCF_FILE *new_cfg = nullptr, *prev_cfg = nullptr, *rules_cfg = nullptr;

    Merge(const std::string& rules, const std::string& new_text, const std::string& prev) {
        tree.write_main_config("[log_files]\n(system)\nlog_file = " + tree.path() + "/log\n");
        write_file(rules_path, rules);
        write_file(new_path, new_text);
        write_file(prev_path, prev);
        inputs.prev_kx_version = const_cast<char*>("v4.0.1");
        new_cfg = kxcf_open(new_path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
        prev_cfg = kxcf_open(prev_path.c_str(), KXCF_NOEXPAND);
        rules_cfg = kxcf_open(rules_path.c_str(), KXCF_NOEXPAND);
    }
    ~Merge() {
        for (KXCF_FILE* f : {new_cfg, prev_cfg, rules_cfg})
            if (f) kxcf_close(f);
    }
    // The merged new file, and what was reported (first lines of each report).
    std::string run_all(std::string& reported) {
        testing::internal::CaptureStderr();
        bool ended = false;
        try {
            UpgradeEngine(run, new_cfg, prev_cfg, rules_cfg).upgrade_all_sections();
        } catch (const UPGRADE_ABORT&) {
            ended = true;
        }
        reported = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ended) << reported;
        EXPECT_EQ(kxcf_flush(new_cfg), 0);
        return read_file(new_path);
    }
};

void merge_one(const char* rules, const char* new_text, const char* prev, const char* expected,
               const char* reported = "") {
    SCOPED_TRACE(std::string("rules:\n") + rules + "previous:\n" + prev);
    Merge merge(rules, new_text, prev);
    std::string err;
    EXPECT_EQ(merge.run_all(err), expected);
    if (*reported)
        EXPECT_NE(err.find(reported), std::string::npos) << err;
    else
        EXPECT_EQ(err, "");
    EXPECT_EQ(merge.run.state.error_count, *reported && std::strncmp(reported, "ERROR", 5) == 0 ? 1 : 0) << err;
}

// What the merges of engine_cases/ leave out: values with white space at
// their edges, the restrictions, and a keyword without a rule.
TEST(EngineDecisions, EachRuleDecidesWhatTheNewFileKeeps) {
    // A value with white space at its edges is stored without it, and the
    // engine's view of the new file says so: the second line is no news.
    merge_one("[s]\nk\n_upgrade = custom multiple\n", "[s]\nj = 1\n", "[s]\nk = \v x\f\nk = x\n",
              "[s]\nj = 1\nk = x\n");
    merge_one("[s]\nk\n_upgrade = custom\n", "[s]\nk = a\n", "[s]\nk = x\r\nk = x\n", "[s]\nk = x\n");
    // Restrictions: "_value" picks among rules of one name, "_kx_version"
    // among previous releases.
    merge_one("[s]\nk\n_upgrade = factory\n_value = keep\nk\n_upgrade = custom\n", "[s]\nk = new\n",
              "[s]\nk = keep\n", "[s]\nk = new\n");
    merge_one("[s]\nk\n_upgrade = factory\n_kx_version = v4.0.1\nk\n_upgrade = custom\n", "[s]\nk = new\n",
              "[s]\nk = old\n", "[s]\nk = new\n");
    // No rule: the keyword is left out and the rules file is named.
    merge_one("[s]\n", "[s]\nk = new\n", "[s]\nk = old\n", "[s]\nk = new\n",
              "ERROR: Keyword in the Previous Config file has no match in Upgrade Rules file");
}

}  // namespace

// The engine's decisions, one merge per row: rules, new file and previous
// file in, the merged new file and the reports out; and where the engine
// finds a previous keyword in the new file, as edits move its lines.
#include <gtest/gtest.h>

#include <cstdlib>
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
    std::string run_all(std::string* reported = nullptr) {
        testing::internal::CaptureStderr();
        bool ended = false;
        try {
            UpgradeEngine(run, new_cfg, prev_cfg, rules_cfg).upgrade_all_sections();
        } catch (const UPGRADE_ABORT&) {
            ended = true;
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ended) << err;
        if (reported) *reported = err;
        EXPECT_EQ(kxcf_flush(new_cfg), 0);
        return read_file(new_path);
    }
};

void merge_one(const char* rules, const char* new_text, const char* prev, const char* expected,
               const char* reported = "") {
    SCOPED_TRACE(std::string("rules:\n") + rules + "previous:\n" + prev);
    Merge merge(rules, new_text, prev);
    std::string err;
    EXPECT_EQ(merge.run_all(&err), expected);
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

void expect_location(KW_LOCATION got, int instance, int line, int value_match) {
    EXPECT_EQ(got.instance, instance);
    EXPECT_EQ(got.line, line);
    EXPECT_EQ(got.value_match, value_match);
}

UPGRADE_RULE* add_rule(UPGRADE_RULE** rules, const char* name, int flags) {
    UPGRADE_RULE* rule = append_rule(strdup(name), rules);
    rule->flags = flags;
    return rule;
}

TEST(EngineDecisions, LookupFindsKeywordsAnywhereAndInsideSetsAndFollowsWrites) {
    Merge merge("", "[s]\nhost = a\nport = 1\nhost = b\nhost = c\nname = x\nmember = 1\nname = y\nother = 2\n", "");
    UpgradeEngine engine(merge.run, merge.new_cfg, merge.prev_cfg, merge.rules_cfg);
    engine.build_new_kw_list("s", nullptr);

    ERROR_CONTEXT context = {"s", nullptr, "host", "z", 0};
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 3, 4, 0);  // the last instance
    context.value = "b";
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 2, 3, 1);
    context.keyword = "absent";
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 0, 0, 0);

    UPGRADE_RULE* rules = nullptr;
    UPGRADE_RULE* start = add_rule(&rules, "name", RULE_CUSTOM | RULE_START);
    add_rule(&rules, "member", RULE_CUSTOM | RULE_SET);
    UPGRADE_RULE* port_rule = add_rule(&rules, "port", RULE_CUSTOM);
    KW_SET set = {"name", 1, 5, 1, start, nullptr};
    context = {"s", nullptr, "member", "2", 0};
    expect_location(engine.locate_keyword_in_new(&context, &set), 1, 6, 0);
    context.keyword = "extra";  // missing from the set: goes after its last line
    expect_location(engine.locate_keyword_in_new(&context, &set), 0, 6, 0);
    set.instance = 2;  // the second set has no member line; "other" is not in it
    context.keyword = "member";
    expect_location(engine.locate_keyword_in_new(&context, &set), 0, 7, 0);
    set.instance = 3;
    expect_location(engine.locate_keyword_in_new(&context, &set), 0, 0, 0);

    // A changed value is seen by the next lookup; an added line too.
    NAME_LIST* prev = nullptr;
    NAME_LIST* port = append_name_list(strdup("port"), &prev);
    port->text = strdup("9");
    context = {"s", nullptr, "port", port->text, 0};
    engine.upgrade_keyword(port, port_rule, &context, nullptr);
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 1, 2, 1);
    port_rule->flags |= RULE_MULTIPLE;
    std::free(port->text);
    port->text = strdup("10");
    context.value = port->text;
    engine.upgrade_keyword(port, port_rule, &context, nullptr);
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 2, 9, 1);
    context = {"s", nullptr, "other", "2", 0};
    expect_location(engine.locate_keyword_in_new(&context, nullptr), 1, 8, 1);

    free_name_list(prev);
    free_rules(rules);
}

}  // namespace

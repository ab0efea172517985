// Reading the upgrade rules file: the rules of every section, subsection and
// keyword, and the report of every faulty entry.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "upgrade_rules.h"
#include "kx_errno.h"
#include "kx_test_support.h"

namespace {

using Lines = std::vector<std::string>;

// A rules file in a private tree, read level by level as the merge reads it;
// rules are described one per line, reports are collected from stderr.
class RulesFile : public ::testing::Test {
protected:
    void open(const std::string& text) {
        kxtest::write_file(path_, text);
        inputs_.upgrade_rules_file = path_.data();
        ASSERT_NE(rules_ = kxcf_open(path_.c_str(), 0), nullptr);
        reader_.emplace(run_, rules_);
    }
    void TearDown() override {
        if (rules_) kxcf_close(rules_);
    }

    const char* next(const char* section, const char* subsection, bool keywords) {
        if (!keywords)
            return section ? kxcf_nextsubsection(rules_, section) : kxcf_nextsection(rules_);
        const char* keyword;
        const char* value = reader_->upgrade_nextvar(section, subsection, &keyword, 0);
        return value == KXCF_FAIL ? KXCF_FAIL : keyword;
    }

    // The rules of the sections (no section), of a section's subsections, or
    // of the keywords of a section or subsection (KEYWORDS).
    Lines read(const char* section = nullptr, const char* subsection = nullptr,
               bool keywords = false) {
        UPGRADE_RULE* list = nullptr;
        ::testing::internal::CaptureStderr();
        reader_->rules_rewind();
        for (const char* name; (name = next(section, subsection, keywords)) != KXCF_FAIL;) {
            std::string copy = name;  // parsing reads on and may replace it
            ERROR_CONTEXT context{section, subsection, nullptr, nullptr, 0};
            (keywords ? context.keyword : section ? context.subsection : context.section) =
                copy.c_str();
            reader_->parse_upgrade_rule(append_rule(upgrade_strdup(name), &list), &context);
        }
        EXPECT_EQ(kx_errno,
                  keywords ? KXCF_ENOKEYWORD : section ? KXCF_ENOSUBSECTION : KXCF_ENOSECTION);
        printed_ += ::testing::internal::GetCapturedStderr();
        Lines described;
        for (UPGRADE_RULE* rule = list; rule; rule = rule->next) {
            std::string text = rule->name;
            for (int bit = 1; bit <= RULE_RENAME; bit <<= 1)
                if (rule->flags & bit) text += std::string(" ") + rule_flag_name(bit);
            for (NAME_LIST* v = rule->values; v; v = v->next) text += std::string(" =") + v->name;
            for (NAME_LIST* v = rule->versions; v; v = v->next) text += std::string(" @") + v->name;
            if (rule->units) text += std::string(" units=") + rule->units;
            if (rule->text) text += std::string(" to=") + rule->text;
            described.push_back(text);
        }
        free_rules(list);
        return described;
    }

    kxtest::TempTree tree_;
    std::string path_ = tree_.file("rules.upg");
    std::string printed_;
    KXCF_FILE* rules_ = nullptr;
    UPGRADE_INPUTS inputs_{};
    UPGRADE_RUN run_{inputs_, {}};
    std::optional<RulesReader> reader_;
};

TEST_F(RulesFile, EveryLevelGetsTheRulesWrittenAfterIt) {
    open("# rules\n[files..]\n[System]\n_upgrade = Custom\n_kx_version = v4.0 V4.0.1\n"
         "kestrix_version\n_upgrade = factory\n"
         "admin\n_upgrade = Custom  Multiple\n_upgrade = xfer_event\n_value = Root User\n"
         "_value = other\n_units = k\n# comment\n_rename = admin_user\n"
         "queue..\n_upgrade\t=\tdelete\n(chan..)\n_upgrade = factory\n_kx_version = v3.1\n"
         "host\n_upgrade = custom start\nport\n_upgrade = set customer\n(plain)\n");
    // The section rules end holding kestrix_version; the rewind forgets it.
    EXPECT_EQ(read(), (Lines{"files..", "system custom @v4.0 @v4.0.1"}));
    EXPECT_EQ(read("system", nullptr, true),
              (Lines{"kestrix_version factory",
                     "admin custom multiple xfer_event _rename =Root User =other units=k "
                     "to=admin_user",
                     "queue.. delete"}));
    EXPECT_EQ(read("system"), (Lines{"chan.. factory @v3.1", "plain"}));
    EXPECT_EQ(read("system", "chan..", true), (Lines{"host custom start", "port custom set"}));
    EXPECT_EQ(printed_, "");
}

TEST_F(RulesFile, EachFaultIsReportedOnceAndParsingGoesOn) {
    setenv("KX_RULES_LONG", std::string(700, 'x').c_str(), 1);  // twice is too long a value
    open("[sec]\n_upgrade = start\n_value = x\n[sec2]\n(sub)\n_units = u\n_upgrade = factory\n"
         "kw_a\n_upgrade = custom factory\nkw_b\n_upgrade = delete custom\n"
         "kw_c\n_upgrade = custom custom\nkw_d\n_upgrade = set start\nkw_e\n"
         "kw_f\n_upgrade = custom bogus\n_kx_version = v4.0 4.0 V5.1\n_units = a\n_units = b\n"
         "_rename = x\n_rename = y\n_upgrad = custom\n_upgrade = multiple\n"
         "_units = $KX_RULES_LONG $KX_RULES_LONG\n_upgrade = delete\n"
         "kw_g\n_upgrade =\n_upgrade = factory\n");
    EXPECT_EQ(read(), (Lines{"sec", "sec2"}));
    EXPECT_EQ(read("sec2"), Lines{"sub factory"});
    EXPECT_EQ(read("sec2", "sub", true),
              (Lines{"kw_a custom", "kw_b delete", "kw_c custom", "kw_d set start", "kw_e",
                     "kw_f custom _rename @v4.0 @v5.1 units=a to=x", "_upgrad multiple",
                     "kw_g factory"}));
    EXPECT_EQ(kxtest::rooted(printed_, tree_.path()), kxtest::expected_output("upgrade/rules/rules_faults.err"));
    unsetenv("KX_RULES_LONG");
    EXPECT_EQ(run_.state.error_count, 13);  // warnings are not counted
}

}  // namespace

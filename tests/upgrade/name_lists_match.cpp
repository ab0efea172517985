// Name lists and the choice of the rule that governs a name.

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <regex>
#include <string>

#include "config_upgrade.h"

namespace {

// A rules list freed with the test; a rule may carry one "_value" and one
// "_kx_version" restriction.
struct Rules {
    UPGRADE_RULE* head = nullptr;
    ~Rules() { free_name_list(head); }
    Rules& add(const char* name, int flags = RULE_CUSTOM, const char* value = nullptr,
               const char* version = nullptr) {
        UPGRADE_RULE* rule = append_name_list(upgrade_strdup(name), &head);
        rule->flags = flags;
        if (value) append_name_list(upgrade_strdup(value), &rule->values);
        if (version) append_name_list(upgrade_strdup(version), &rule->versions);
        return *this;
    }
    // The name of the rule chosen, "-" for none; equal names are told
    // apart by their flags.
    std::string pick(const char* name, const char* value = nullptr, int qualifiers = 3) const {
        UPGRADE_RULE* rule = match_name_list(name, value, head, qualifiers);
        return rule ? std::string(rule->name) + "/" + std::to_string(rule->flags) : "-";
    }
};

// The score as the platform's regular expressions would give it: ".."
// becomes ".*", other characters than letters and digits are escaped, and
// the leftmost match must end at the end of the name.
int reference_score(const std::string& name, const std::string& pattern) {
    std::string expression;
    int literals = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 2, "..") == 0) {
            expression += ".*";
            ++i;
        } else {
            expression += std::string(std::isalnum(pattern[i] & 0xff) ? "" : "\\") + pattern[i];
            ++literals;
        }
    }
    std::smatch m;
    if (!std::regex_search(name, m, std::regex(expression))) return 0;
    return m.position(0) + m.length(0) == static_cast<long>(name.size()) ? literals + 1 : 0;
}

}  // namespace

TEST(NameLists, PatternScoresAgreeWithRegularExpressions) {
    std::mt19937 random(20261206);
    auto text = [&](size_t max_length) {
        std::string s(std::uniform_int_distribution<size_t>(0, max_length)(random), ' ');
        for (char& c : s) c = "ab_.1"[std::uniform_int_distribution<int>(0, 4)(random)];
        return s;
    };
    int matched = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string name = text(10), pattern = text(6);
        for (int n = 1 + i % 3; n > 0; --n)  // rule names reaching the matcher have a ".."
            pattern.insert(std::uniform_int_distribution<size_t>(0, pattern.size())(random), "..");
        int expected = reference_score(name, pattern);
        ASSERT_EQ(pattern_match_score(name.c_str(), pattern.c_str()), expected)
            << "name \"" << name << "\" pattern \"" << pattern << "\"";
        matched += expected > 0;
    }
    EXPECT_GT(matched, 400);

    // Long names against many wildcards: a backtracking matcher never ends.
    std::string name(130, 'a'), pattern;
    for (int i = 0; i < 40; ++i) pattern += "a..";
    EXPECT_EQ(pattern_match_score(name.c_str(), (pattern + "b").c_str()), 0);
    EXPECT_EQ(pattern_match_score((name + "b").c_str(), (pattern + "b").c_str()), 42);
}

TEST(NameLists, ExactNamesAndBetterPatternsWin) {
    EXPECT_EQ(Rules().add("chan..").add("chan_in").pick("chan_in"), "chan_in/2");
    EXPECT_EQ(Rules().add("a..").add("ab..").pick("abc"), "ab../2");
    EXPECT_EQ(Rules().add("ab..").add("a..").pick("abc"), "ab../2");
    EXPECT_EQ(Rules().add("a.b").pick("axb"), "-");  // single dots are literal
    EXPECT_EQ(Rules().add("..").pick("x"), "../2");
    EXPECT_EQ(Rules().pick("x"), "-");
    // Wildcards that stand for nothing leave every character of the name
    // literal; the exact name must still beat them, wherever it stands.
    EXPECT_EQ(Rules().add("abc..").add("..abc").add("abc").pick("abc"), "abc/2");
}

TEST(NameLists, RestrictionsSelectAmongRules) {
    Rules alternatives;
    alternatives.add("kw", RULE_CUSTOM, "x").add("kw", RULE_FACTORY, "y");
    EXPECT_EQ(alternatives.pick("kw", "y"), "kw/1");
    EXPECT_EQ(alternatives.pick("kw", "z"), "-");
    EXPECT_EQ(alternatives.pick("kw", "z", 0), "kw/2");  // restrictions not asked for
    EXPECT_EQ(count_name_list("kw", alternatives.head), 2);
    // An applicable rule stops later rules of the same score.
    EXPECT_EQ(Rules().add("kw").add("kw", RULE_FACTORY, "y").pick("kw", "y"), "kw/2");
    // A better rule that does not apply clears the weaker choice; a later
    // rule scoring above the weaker one can still be chosen, an equal one not.
    Rules cleared;
    cleared.add("k..").add("kw", RULE_CUSTOM, "x");
    EXPECT_EQ(cleared.pick("kw", "y"), "-");
    EXPECT_EQ(Rules().add("a..").add("ab..", 2, "x").add("abc..", 4).pick("abcd", "y"), "abc../4");
    EXPECT_EQ(Rules().add("a..").add("ab..", 2, "x").add("..c", 4).pick("abc", "y"), "-");

    char* saved = upgrade_inputs.prev_kx_version;
    Rules versions;
    versions.add("sect", RULE_DELETE, nullptr, "v3.1").add("sect", RULE_CUSTOM);
    upgrade_inputs.prev_kx_version = const_cast<char*>("v3.1");
    EXPECT_EQ(versions.pick("sect"), "sect/4");
    upgrade_inputs.prev_kx_version = const_cast<char*>("v4.0");
    EXPECT_EQ(versions.pick("sect"), "sect/2");
    upgrade_inputs.prev_kx_version = nullptr;  // unknown: a limited rule never applies
    EXPECT_EQ(versions.pick("sect"), "sect/2");
    upgrade_inputs.prev_kx_version = saved;
}

TEST(NameLists, SetRulesEndAtTheNextStartOrNonMember) {
    Rules rules;
    rules.add("host", RULE_CUSTOM | RULE_START).add("port..", RULE_CUSTOM | RULE_SET);
    rules.add("port_2", RULE_FACTORY | RULE_SET, "x").add("user", RULE_SET | RULE_START);
    rules.add("pass", RULE_CUSTOM | RULE_SET).add("name").add("tail", RULE_SET);
    UPGRADE_RULE* user = rules.head->next->next->next;
    auto in_set = [](const char* name, const char* value, UPGRADE_RULE* start) {
        UPGRADE_RULE* rule = match_name_in_set(name, value, start, 3);
        return rule ? std::string(rule->name) : "-";
    };
    EXPECT_EQ(in_set("host", nullptr, rules.head), "host");
    EXPECT_EQ(in_set("port_2", "x", rules.head), "port_2");
    EXPECT_EQ(in_set("port_2", "y", rules.head), "-");
    EXPECT_EQ(in_set("port_3", "y", rules.head), "port..");
    EXPECT_EQ(in_set("pass", nullptr, rules.head), "-");  // the next start ends the set
    EXPECT_EQ(in_set("pass", nullptr, user), "pass");
    EXPECT_EQ(in_set("tail", nullptr, user), "-");  // so does a rule without "set"
    EXPECT_EQ(rules.pick("tail"), "tail/8");  // the list itself is whole
}

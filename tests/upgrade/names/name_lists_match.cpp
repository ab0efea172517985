// Name lists and the choice of the rule that governs a name; the indexed
// choice (exact names by hash, patterns scanned) against the plain walk over
// every rule, and its growth with the list.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <regex>
#include <string>

#include "kx_test_support.h"
#include "name_lists.h"

namespace {

// A rules list freed with the test; a rule may carry one "_value" and one
// "_kx_version" restriction. A chosen rule reads "name/flags", none "-".
struct Rules {
    UPGRADE_RULE* head = nullptr;
    UPGRADE_RULE** tail = &head;
    const char* previous_version = nullptr;
    ~Rules() { free_rules(head); }
    Rules& add(const char* name, int flags = RULE_CUSTOM, const char* value = nullptr,
               const char* version = nullptr) {
        UPGRADE_RULE* rule = append_rule(strdup(name), tail);
        tail = &rule->next;
        rule->flags = flags;
        if (value) append_name_list(strdup(value), &rule->values);
        if (version) append_name_list(strdup(version), &rule->versions);
        return *this;
    }
    std::string pick(const char* name, const char* value = nullptr, int qualifiers = 3,
                     UPGRADE_RULE* set_start = nullptr) const {
        const RULE_FILTER filter{value, previous_version, qualifiers};
        UPGRADE_RULE* rule = set_start ? match_name_in_set(name, set_start, filter)
                                       : match_name_list(name, head, filter);
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
        bool wildcard = pattern.compare(i, 2, "..") == 0;
        std::string escape = std::isalnum(pattern[i] & 0xff) ? "" : "\\";
        expression += wildcard ? ".*" : escape + pattern[i];
        literals += !wildcard;
        i += wildcard;
    }
    std::smatch m;
    if (!std::regex_search(name, m, std::regex(expression))) return 0;
    return m.position(0) + m.length(0) == static_cast<long>(name.size()) ? literals + 1 : 0;
}


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

TEST(NameLists, TheMostSpecificApplicableRuleGoverns) {
    EXPECT_EQ(Rules().pick("x"), "-");
    EXPECT_EQ(Rules().add("chan..").add("chan_in", 1).pick("chan_in"), "chan_in/1");
    EXPECT_EQ(Rules().add("a..", 1).add("ab..").pick("abc"), "ab../2");
    EXPECT_EQ(Rules().add("ab..").add("a..", 1).pick("abc"), "ab../2");
    EXPECT_EQ(Rules().add("a.b").pick("axb"), "-");  // single dots are literal
    // Wildcards that stand for nothing leave every character of the name
    // literal; the exact name must still beat them, wherever it stands.
    EXPECT_EQ(Rules().add("abc..").add("..abc").add("abc", 1).pick("abc"), "abc/1");

    // Rules of one name with different values are alternatives in order;
    // an applicable rule stops later rules of the same score.
    Rules alternatives;
    alternatives.add("kw", RULE_CUSTOM, "x").add("kw", RULE_FACTORY, "y").add("kw", RULE_DELETE);
    EXPECT_EQ(alternatives.pick("kw", "y"), "kw/1");
    EXPECT_EQ(alternatives.pick("kw", "z"), "kw/4");
    EXPECT_EQ(alternatives.pick("kw", "y", 0), "kw/2");  // restrictions not asked for
    // A better rule that does not apply clears the weaker choice; a later
    // rule scoring above the weaker one can still be chosen, an equal one not.
    EXPECT_EQ(Rules().add("k..").add("kw", RULE_CUSTOM, "x").pick("kw", "y"), "-");
    EXPECT_EQ(Rules().add("a..").add("ab..", 2, "x").add("abc..", 4).pick("abcd", "y"), "abc../4");
    EXPECT_EQ(Rules().add("a..").add("ab..", 2, "x").add("..c", 4).pick("abc", "y"), "-");

    // "_kx_version" limits a rule to the previous versions it names.
    Rules versions;
    versions.add("sect", RULE_DELETE, nullptr, "v3.1").add("sect", RULE_CUSTOM);
    auto after = [&](const char* previous) {
        versions.previous_version = previous;
        return versions.pick("sect");
    };
    EXPECT_EQ(after("v3.1"), "sect/4");
    EXPECT_EQ(after("v4.0"), "sect/2");
    EXPECT_EQ(after(nullptr), "sect/2");  // unknown: a limited rule never applies

    // A keyword set's rules run from its start up to the next start or non-member.
    Rules set;
    set.add("host", RULE_START).add("port..", RULE_SET).add("port_2", RULE_SET, "x");
    set.add("user", RULE_SET | RULE_START).add("pass", RULE_SET).add("name").add("tail", RULE_SET);
    UPGRADE_RULE *host = set.head, *user = host->next->next->next;
    EXPECT_EQ(set.pick("port_2", "x", 3, host), "port_2/8");
    EXPECT_EQ(set.pick("port_3", "y", 3, host), "port../8");
    EXPECT_EQ(set.pick("pass", nullptr, 3, host), "-");
    EXPECT_EQ(set.pick("pass", nullptr, 3, user), "pass/8");
    EXPECT_EQ(set.pick("tail", nullptr, 3, user), "-");
    EXPECT_EQ(set.pick("tail"), "tail/8");  // the list itself is whole
}


// A list whose rules after the first all belong to the first one's keyword
// set: match_name_in_set then walks every rule, which is the reference.
TEST(RuleIndex, ChoosesAsTheWalkOverEveryRule) {
    std::mt19937 rng(42);
    const char* const names[] = {"a", "ab", "abc", "b", "a.b", "ab.c", "x_1"};
    const char* const patterns[] = {"a..", "..b", "a..c", "..", "ab..", "x_..", "..b.."};
    const char* const values[] = {"1", "2", "3"};
    for (int round = 0; round < 400; ++round) {
        Rules rules;
        int count = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < count; ++i) {
            const char* name = rng() % 2 ? names[rng() % 7] : patterns[rng() % 7];
            const int flags = i == 0 ? RULE_START : RULE_SET | (1 << (rng() % 3));
            rules.add(name, flags, rng() % 3 == 0 ? values[rng() % 3] : nullptr);
        }
        const RuleIndex index(rules.head);
        for (const char* name : names) {
            for (const char* value : {static_cast<const char*>(nullptr), values[0], values[1]}) {
                for (int qualifiers : {0, MATCH_VALUES}) {
                    const RULE_FILTER filter{value, nullptr, qualifiers};
                    UPGRADE_RULE* want = match_name_in_set(name, rules.head, filter);
                    ASSERT_EQ(index.match(name, filter), want) << "round " << round << " name " << name;
                    ASSERT_EQ(match_name_list(name, rules.head, filter), want);
                }
            }
        }
    }
}

double cpu_seconds_for(int n) {
    Rules rules;
    for (int i = 0; i < n; ++i) rules.add(kxtest::join({"keyword_", std::to_string(i)}).c_str());
    rules.add("other..");
    bool all_found = true;
    double seconds = kxtest::cpu_seconds([&] {
        const RuleIndex index(rules.head);
        for (int i = 0; i < n; ++i)
            all_found = all_found && index.match(kxtest::join({"keyword_", std::to_string(n - 1 - i)}).c_str(),
                                                 {nullptr, nullptr, 0});
    });
    return all_found ? seconds : -1;
}

// N names chosen among N rules: ten times the rules, about ten times the
// work, not a hundred.
TEST(RuleIndex, ChoosingGrowsLinearlyWithExactNames) {
    cpu_seconds_for(1000);  // warm up
    double small = cpu_seconds_for(3000), large = cpu_seconds_for(30000);
    ASSERT_GE(small, 0);
    ASSERT_GE(large, 0);
    EXPECT_LT(large, 35 * small + 0.05) << small << " s for 3000, " << large << " s for 30000";
}

}  // namespace

// The indexed choice of a rule (exact names by hash, patterns scanned)
// against the plain walk over every rule, and its growth with the list.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "kx_test_support.h"
#include "name_lists.h"

namespace {

using kxtest::join;

struct Rules {
    UPGRADE_RULE* head = nullptr;
    UPGRADE_RULE** tail = &head;
    ~Rules() { free_rules(head); }
    UPGRADE_RULE* add(const std::string& name, int flags) {
        UPGRADE_RULE* rule = append_rule(strdup(name.c_str()), tail);
        rule->flags = flags;
        tail = &rule->next;
        return rule;
    }
};

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
            UPGRADE_RULE* rule = rules.add(name, i == 0 ? RULE_START : RULE_SET | (1 << (rng() % 3)));
            if (rng() % 3 == 0) append_name_list(strdup(values[rng() % 3]), &rule->values);
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
    for (int i = 0; i < n; ++i) rules.add(join({"keyword_", std::to_string(i)}), RULE_CUSTOM);
    rules.add("other..", RULE_CUSTOM);
    bool all_found = true;
    double seconds = kxtest::cpu_seconds([&] {
        const RuleIndex index(rules.head);
        for (int i = 0; i < n; ++i)
            all_found = all_found && index.match(join({"keyword_", std::to_string(n - 1 - i)}).c_str(), {nullptr, nullptr, 0});
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

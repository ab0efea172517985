// The engine's lists and the choice of the rule that governs a name.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "name_lists.h"

namespace {

// The two-character wildcard of rule names.
constexpr std::string_view wildcard = "..";

bool same_text(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

// Splits a pattern into its literal runs: pairs of dots are taken greedily
// from the left, so "a..." is the run "a", a wildcard, then the run ".".
// There is always one more run than wildcards; runs may be empty.
std::vector<std::string_view> literal_runs(std::string_view pattern) {
    std::vector<std::string_view> runs;
    size_t start = 0;
    size_t pos = 0;
    while (pos < pattern.size()) {
        if (pattern.substr(pos, wildcard.size()) == wildcard) {
            runs.push_back(pattern.substr(start, pos - start));
            pos += wildcard.size();
            start = pos;
        } else {
            ++pos;
        }
    }
    runs.push_back(pattern.substr(start));
    return runs;
}

// Whether some tail of NAME matches the runs joined by wildcards. The last
// run must end the name; the others must occur in order before it, and
// placing each one as early as possible never loses a match. Each run is
// found with one forward search, so the cost stays linear in the number of
// runs times the name length, however many wildcards there are.
bool tail_matches(std::string_view name, const std::vector<std::string_view>& runs) {
    std::string_view last = runs.back();
    if (last.size() > name.size() || name.substr(name.size() - last.size()) != last)
        return false;
    if (runs.size() == 1) return true;  // no wildcard: the name ends with the text
    std::string_view room = name.substr(0, name.size() - last.size());
    size_t from = 0;
    for (size_t i = 0; i + 1 < runs.size(); ++i) {
        size_t at = room.find(runs[i], from);
        if (at == std::string_view::npos) return false;
        from = at + runs[i].size();
    }
    return true;
}

// The rule after the last member of the set that START begins.
const UPGRADE_RULE* end_of_set_rules(const UPGRADE_RULE* start) {
    const UPGRADE_RULE* rule = start->next;
    while (rule != nullptr && (rule->flags & RULE_SET) && !(rule->flags & RULE_START))
        rule = rule->next;
    return rule;
}

// The selection of match_name_list over the rules from FIRST up to END
// (not included; null = to the end of the list).
UPGRADE_RULE* best_rule(const char* name, const char* value, UPGRADE_RULE* first,
                        const UPGRADE_RULE* end, int qualifiers) {
    UPGRADE_RULE* best = nullptr;
    int best_score = 0;
    for (UPGRADE_RULE* rule = first; rule != end; rule = rule->next) {
        int score = name_match_score(name, rule->name);
        if (score <= best_score) continue;
        if (rule_applies(rule, value, qualifiers)) {
            best = rule;
            best_score = score;
        } else {
            best = nullptr;
        }
    }
    return best;
}

}  // namespace

NAME_LIST* append_name_list(char* name, NAME_LIST** list) {
    auto* node = static_cast<NAME_LIST*>(std::calloc(1, sizeof(NAME_LIST)));
    if (node == nullptr) upgrade_fatal(errno, "append_name_list: malloc failed", FILE_NONE);
    node->name = name;
    NAME_LIST** tail = list;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = node;
    return node;
}

void free_name_list(NAME_LIST* list) {
    while (list != nullptr) {
        NAME_LIST* next = list->next;
        free_name_list(list->values);
        free_name_list(list->versions);
        std::free(list->name);
        std::free(list->text);
        std::free(list->units);
        std::free(list);
        list = next;
    }
}

int count_name_list(const char* name, const NAME_LIST* list) {
    int count = 0;
    for (; list != nullptr; list = list->next)
        if (same_text(list->name, name)) ++count;
    return count;
}

int pattern_match_score(const char* name, const char* pattern) {
    if (name == nullptr || pattern == nullptr) return 0;
    std::vector<std::string_view> runs = literal_runs(pattern);
    if (!tail_matches(name, runs)) return 0;
    int literals = 0;
    for (std::string_view run : runs) literals += static_cast<int>(run.size());
    return literals + 1;
}

int name_match_score(const char* name, const char* rule_name) {
    if (name == nullptr || rule_name == nullptr) return 0;
    if (std::string_view(rule_name).find(wildcard) != std::string_view::npos)
        return pattern_match_score(name, rule_name);
    // A pattern can score at most the name's length plus 1 (all of its
    // characters literal, every wildcard empty); the exact name must beat it.
    return same_text(name, rule_name) ? static_cast<int>(std::strlen(name)) + 2 : 0;
}

int rule_applies(const UPGRADE_RULE* rule, const char* value, int qualifiers) {
    if ((qualifiers & MATCH_VALUES) && rule->values != nullptr) {
        if (value == nullptr || count_name_list(value, rule->values) == 0) return 0;
    }
    if ((qualifiers & MATCH_VERSIONS) && rule->versions != nullptr) {
        const char* previous = upgrade_inputs.prev_kx_version;
        if (previous == nullptr || count_name_list(previous, rule->versions) == 0) return 0;
    }
    return 1;
}

UPGRADE_RULE* match_name_list(const char* name, const char* value, UPGRADE_RULE* rules,
                              int qualifiers) {
    return best_rule(name, value, rules, nullptr, qualifiers);
}

UPGRADE_RULE* match_name_in_set(const char* name, const char* value, UPGRADE_RULE* start,
                                int qualifiers) {
    if (start == nullptr) return nullptr;
    return best_rule(name, value, start, end_of_set_rules(start), qualifiers);
}

// The engine's lists and the choice of the rule that governs a name.

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
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

bool is_pattern(const char* rule_name) {
    return std::string_view(rule_name).find(wildcard) != std::string_view::npos;
}

// The choice among rules offered in list order: a better score takes the
// choice when its rule applies and clears it when not; an equal score never
// replaces the first. Rules that do not fit the name may be left out of
// the offer, as they never change the choice.
class Choice {
public:
    Choice(const char* name, const RULE_FILTER& filter) : name_(name), filter_(filter) {}

    void offer(UPGRADE_RULE* rule, int score) {
        if (score <= best_score_) return;
        if (rule_applies(rule, filter_)) {
            best_ = rule;
            best_score_ = score;
        } else {
            best_ = nullptr;
        }
    }
    void offer(UPGRADE_RULE* rule) { offer(rule, name_match_score(name_, rule->name)); }
    UPGRADE_RULE* best() const { return best_; }

private:
    const char* name_;
    const RULE_FILTER& filter_;
    UPGRADE_RULE* best_ = nullptr;
    int best_score_ = 0;
};

// The selection of match_name_list over the rules from FIRST up to END
// (not included; null = to the end of the list).
UPGRADE_RULE* best_rule(const char* name, UPGRADE_RULE* first, const UPGRADE_RULE* end,
                        const RULE_FILTER& filter) {
    Choice choice(name, filter);
    for (UPGRADE_RULE* rule = first; rule != end; rule = rule->next) choice.offer(rule);
    return choice.best();
}

// A rule with its place in the list, so that exact names and patterns can
// be offered in list order.
struct Placed {
    size_t position;
    UPGRADE_RULE* rule;
};

}  // namespace

namespace {

// Both node types: a zeroed node owning NAME, added at the list's tail.
template <typename Node>
Node* append_node(char* name, Node** list) {
    auto* node = static_cast<Node*>(std::calloc(1, sizeof(Node)));
    if (node == nullptr) {
        std::free(name);
        throw std::bad_alloc();
    }
    node->name = name;
    Node** tail = list;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = node;
    return node;
}

}  // namespace

NAME_LIST* append_name_list(char* name, NAME_LIST** list) { return append_node(name, list); }

UPGRADE_RULE* append_rule(char* name, UPGRADE_RULE** rules) { return append_node(name, rules); }

void free_name_list(NAME_LIST* list) {
    while (list != nullptr) {
        NAME_LIST* next = list->next;
        std::free(list->name);
        std::free(list->text);
        std::free(list);
        list = next;
    }
}

void free_rules(UPGRADE_RULE* rules) {
    while (rules != nullptr) {
        UPGRADE_RULE* next = rules->next;
        free_name_list(rules->values);
        free_name_list(rules->versions);
        std::free(rules->name);
        std::free(rules->text);
        std::free(rules->units);
        std::free(rules);
        rules = next;
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
    if (is_pattern(rule_name)) return pattern_match_score(name, rule_name);
    // A pattern can score at most the name's length plus 1 (all of its
    // characters literal, every wildcard empty); the exact name must beat it.
    return same_text(name, rule_name) ? static_cast<int>(std::strlen(name)) + 2 : 0;
}

int rule_applies(const UPGRADE_RULE* rule, const RULE_FILTER& filter) {
    const auto allows = [](const NAME_LIST* allowed, const char* text) {
        return allowed == nullptr || (text != nullptr && count_name_list(text, allowed) > 0);
    };
    if ((filter.qualifiers & MATCH_VALUES) && !allows(rule->values, filter.value)) return 0;
    if ((filter.qualifiers & MATCH_VERSIONS) && !allows(rule->versions, filter.previous_version)) return 0;
    return 1;
}

struct RuleIndex::Tables {
    std::unordered_map<std::string_view, std::vector<Placed>> exact;
    std::vector<Placed> patterns;
};

RuleIndex::RuleIndex(UPGRADE_RULE* rules) : tables_(std::make_unique<Tables>()) {
    size_t position = 0;
    for (UPGRADE_RULE* rule = rules; rule != nullptr; rule = rule->next, ++position) {
        if (rule->name == nullptr) continue;  // fits no name
        if (is_pattern(rule->name))
            tables_->patterns.push_back({position, rule});
        else
            tables_->exact[rule->name].push_back({position, rule});
    }
}

RuleIndex::~RuleIndex() = default;

UPGRADE_RULE* RuleIndex::match(const char* name, const RULE_FILTER& filter) const {
    if (name == nullptr) return nullptr;
    static const std::vector<Placed> none;
    auto found = tables_->exact.find(name);
    const std::vector<Placed>& exact = found == tables_->exact.end() ? none : found->second;
    const std::vector<Placed>& patterns = tables_->patterns;
    const int exact_score = static_cast<int>(std::strlen(name)) + 2;
    Choice choice(name, filter);
    size_t e = 0, p = 0;
    while (e < exact.size() || p < patterns.size()) {
        if (p == patterns.size() || (e < exact.size() && exact[e].position < patterns[p].position)) {
            choice.offer(exact[e++].rule, exact_score);
        } else {
            UPGRADE_RULE* rule = patterns[p++].rule;
            choice.offer(rule, pattern_match_score(name, rule->name));
        }
    }
    return choice.best();
}

UPGRADE_RULE* match_name_list(const char* name, UPGRADE_RULE* rules, const RULE_FILTER& filter) {
    return RuleIndex(rules).match(name, filter);
}

UPGRADE_RULE* match_name_in_set(const char* name, UPGRADE_RULE* start, const RULE_FILTER& filter) {
    if (start == nullptr) return nullptr;
    return best_rule(name, start, end_of_set_rules(start), filter);
}

// The merge engine: the walk over the previous configuration file's
// sections, subsections and keyword lines, the upgrade of one keyword and
// of one keyword set, and the lookup of a keyword's place in the new file.
//
// The previous file is read, the rules file is re-read level by level, and
// every edit goes to the new file's handle. Problems are reported where they
// are found (upgrade_error); only a file that cannot be listed ends the run.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "decision_report.h"
#include "upgrade_engine.h"
#include "upgrade_rules.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kxcf.h"

NAME_LIST* new_keyword_list = nullptr;
int new_keyword_list_stale = 1;

namespace {

// Messages of the walk and the keyword upgrade, kept together so that the
// texts users and log readers see stay in one place.
namespace msg {
const char* const kNewSections = "kxcf_nextsection failed for New config file";
const char* const kPrevSections = "kxcf_nextsection failed for Previous config file";
const char* const kRulesSections = "kxcf_nextsection failed for Upgrade Rules file";
const char* const kDupSection =
    "Duplicate section name - section names must be unique\nUsing the first instance";
const char* const kNewSectionNoRule =
    "Section name in New Config File has no match in Upgrade Rules file";
const char* const kNextSubsection = "kxcf_nextsubsection failed";
const char* const kDupSubsection =
    "Duplicate subsection name - subsection names must be unique\nUsing the first instance";
const char* const kNewSubsectionNoRule =
    "Subsection name in New Config File has no match in Upgrade Rules file";

// What the walk says about a previous section or subsection, by level.
struct LevelTexts {
    const char* no_rule;
    const char* deleting;
    const char* factory;
    const char* adding;
    const char* add_failed;
    const char* repeated;
};
const LevelTexts kSectionTexts = {
    "Section in the Previous Config File has no match in Upgrade Rules file\n"
    "Section is not include in the New configuration file",
    "upgrade_all_sections: Deleting section in Previous config file\n",
    "upgrade_all_sections: Using Factory values for entire section\n"
    "  Section in Previous config file is replaced by section in New config file\n",
    "upgrade_all_sections: Adding section in New config file\n",
    "kxcf_setsection failed",
    "Section occurs more than once in the Previous Config file\n"
    "Only the first instance is included in the New configuration file",
};
const LevelTexts kSubsectionTexts = {
    "Subsection in the Previous Config file has no match in Upgrade Rules file\n"
    "Subsection is not included in the New Config file",
    "upgrade_section: Deleting subsection in Previous config file\n",
    "upgrade_section: Using Factory values for entire subsection\n"
    "  Subsection in Previous config file is replaced by subsection in New config file\n",
    "upgrade_section: Adding subsection in New config file\n",
    "kxcf_setsubsection failed",
    "Subsection occurs more than once in its section of the Previous Config file\n"
    "Only the first instance is included in the New Config file",
};

const char* const kRulesNextvar = "upgrade_nextvar failed after this keyword";
const char* const kNextvar = "kxcf_nextvar failed after this keyword";
const char* const kPrevKeywordNoRule =
    "Keyword in the Previous Config file has no match in Upgrade Rules file\n"
    "Keyword is not include in the New Config file";

const char* const kFactoryKeyword =
    "upgrade_keyword: Upgrade rule = factory\n"
    "  Keyword in Previous config file is replaced by keyword in New config file\n";
const char* const kDeleteKeyword = "upgrade_keyword: Deleting keyword in Previous config file\n";
const char* const kRenameKeyword =
    "upgrade_keyword: Keyword \"%s\" is renamed to \"%s\"\n  Value is retained from Previous config file\n";
const char* const kWriteKeyword = "upgrade_keyword: Writing keyword to New config file\n";
const char* const kInsertKeyword =
    "upgrade_keyword: Writing keyword to New config file\n"
    "  after line %d in subsection of New config file\n";
// A keyword that is not multiple keeps one value, and a set keeps one line
// of each member name: a later line of the previous file overwrites the
// value an earlier one left, which must not go unnoticed.
const char* const kRepeatedKeyword =
    "Keyword occurs more than once in the Previous Config file\n"
    "  but its Upgrade Rule is not multiple\n"
    "  This value replaces the value of the earlier instance";
const char* const kRepeatedSetMember =
    "Keyword occurs more than once in a set in the Previous Config file\n"
    "  but a set holds one line of each keyword\n"
    "  This value replaces the value of the earlier instance";
const char* const kSetvarInstFailed = "kxcf_setvar_inst failed";
const char* const kSetvarIndexFailed = "kxcf_setvar_index failed for index = %d";
const char* const kNoDigit =
    "Expected a digit as the first char in keyword value with units\nUnable to upgrade units = '%s'";
const char* const kBadUnits =
    "Invalid format for keyword value with units\nUnable to Upgrade units = '%s'";
const char* const kWriteEventCode =
    "add_xfer_event_code: Writing \"%s\" to New config file\n"
    "  after line %d in subsection of New config file\n";
const char* const kEventCodeKeyword = "event_code";

const char* const kFactorySetStart =
    "First keyword in set in Previous Config file has no match\n"
    "  in New Config file, but has Upgrade Rule = factory\n"
    "  Skipping the set that starts with this keyword\n";
const char* const kNoRuleSetStart =
    "First keyword in set in Previous Config file has no match\n"
    "  in New Config file, and its Upgrade Rule has none of factory, custom, delete\n"
    "  Skipping the set that starts with this keyword\n";
const char* const kSetMemberNoRule =
    "Keyword in set in Previous Config file has no match\n"
    "  in Upgrade Rules file for this set\n"
    "  No upgrade performed for this keyword\n";
}  // namespace msg

// End-of-walk codes of the configuration file library.
constexpr int kNoMoreSections = KXCF_ENOSECTION;
constexpr int kNoMoreSubsections = KXCF_ENOSUBSECTION;
constexpr int kNoMoreKeywords = KXCF_ENOKEYWORD;

// Qualifiers of match_name_list: name only, or also "_value" and "_kx_version".
constexpr int kNameOnly = 0;
constexpr int kAllQualifiers = MATCH_VALUES | MATCH_VERSIONS;

// Rule words shown in the debug lines, in the order the lines list them.
struct FlagWord {
    int flag;
    const char* word;
};
constexpr FlagWord kFlagWords[] = {
    {RULE_FACTORY, " factory"}, {RULE_DELETE, " delete"},         {RULE_CUSTOM, " custom"},
    {RULE_MULTIPLE, " multiple"}, {RULE_SET, " set"},             {RULE_START, " start"},
    {RULE_XFER_EVENT, " xfer_event"}, {RULE_RENAME, " rename"},
};
constexpr int kSetFlagWords = 6;  // a set's debug line names the first six only

bool debugging(unsigned bit) { return (debug_flags & bit) != 0; }

void debug_context(unsigned bit, const char* text, int file_kind, const ERROR_CONTEXT* context) {
    if (debugging(bit)) upgrade_debug_context(text, file_kind, context);
}

void report(int error_number, const std::string& text, int file_kind, int severity,
            const ERROR_CONTEXT* context) {
    upgrade_error(error_number, text.c_str(), file_kind, severity, context);
}

std::string flag_words(int flags, int count) {
    std::string words;
    for (int i = 0; i < count; ++i)
        if (flags & kFlagWords[i].flag) words += kFlagWords[i].word;
    return words;
}

// ---- Decision report: what the walk decided, when the run keeps a report ----

DecisionReport* decisions() { return upgrade_inputs.decisions; }

std::string name_of(const char* name) { return name ? name : ""; }

void note_rule(const void* rule, const char* section, const char* subsection, const char* keyword,
               int instance) {
    if (DecisionReport* d = decisions()) d->rule_read(rule, {section, name_of(subsection), name_of(keyword), instance});
}

void note_level(const char* section, const char* subsection, const void* rule, Fate fate, Action action) {
    if (DecisionReport* d = decisions()) d->section(section, subsection, rule, fate, action);
}

// "name value" of a set's start line, which names the set.
std::string set_name(const NAME_LIST* start) { return std::string(start->name) + " " + start->text; }

// One keyword line's decision, handed to the report when the upgrade of
// the keyword is left, whichever way.
struct KeywordRecord {
    KeywordDecision d;
    KeywordRecord(const ERROR_CONTEXT* context, const NAME_LIST* keyword, const void* rule, Fate fate) {
        if (!decisions()) return;
        d.previous = {context->section, name_of(context->subsection), keyword->name, keyword->instance};
        d.rule = rule;
        d.fate = fate;
    }
    KeywordRecord(const KeywordRecord&) = delete;
    KeywordRecord& operator=(const KeywordRecord&) = delete;
    ~KeywordRecord() {
        if (DecisionReport* report = decisions()) report->keyword(std::move(d));
    }
    void wrote(const ERROR_CONTEXT* work, Action action) {
        d.action = action;
        d.written = {work->section, name_of(work->subsection), work->keyword, work->instance};
        d.written_value = name_of(work->value);
        d.written_without_value = !work->value;
    }
};

// Every line of the set from FIRST to END takes the start rule's FATE.
void note_set(const ERROR_CONTEXT* context, NAME_LIST* first, const NAME_LIST* end, const void* rule, Fate fate) {
    if (!decisions()) return;
    for (NAME_LIST* node = first;; node = node->next) {
        KeywordRecord(context, node, rule, fate).d.set_start = set_name(first);
        if (node == end) break;
    }
}

// A list that is freed when the level that built it is left. It grows at
// its tail, which it keeps, so that building it is linear.
struct ListGuard {
    NAME_LIST* head = nullptr;
    NAME_LIST** tail = &head;
    ListGuard() = default;
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;
    ~ListGuard() { free_name_list(head); }

    NAME_LIST* append(const char* name) {
        NAME_LIST* node = append_name_list(upgrade_strdup(name), tail);
        tail = &node->next;
        return node;
    }
};

// The names of a list, for telling whether a name is among them.
using NameSet = std::unordered_set<std::string_view>;

NameSet names_of(const NAME_LIST* list) {
    NameSet names;
    for (; list; list = list->next) names.insert(list->name);
    return names;
}

// A keyword list being built, appended at its tail: each node numbered by
// the lines of its name so far, and each line found by position and by name.
// A section may hold thousands of keywords, and each one is looked up in the
// new file's list; walking the list for every lookup would make its upgrade
// quadratic.
struct KeywordList {
    explicit KeywordList(NAME_LIST** list) : head(list) {}

    NAME_LIST** head;
    std::vector<NAME_LIST*> lines;                              // line n is lines[n - 1]
    // Line of instance i is [i - 1]; the keys are the nodes' own names.
    std::unordered_map<std::string_view, std::vector<int>> by_name;

    NAME_LIST* append(const char* name, const char* value) {
        NAME_LIST* node = append_name_list(upgrade_strdup(name), lines.empty() ? head : &lines.back()->next);
        node->text = upgrade_strdup(value);
        lines.push_back(node);
        std::vector<int>& same_name = by_name[node->name];
        same_name.push_back(static_cast<int>(lines.size()));
        node->instance = static_cast<int>(same_name.size());
        return node;
    }
};

// new_keyword_list with its lines by position and by name.
KeywordList new_list_index(&new_keyword_list);

// A listing that stopped with anything but its normal end cannot be trusted
// for a walk: report it and end the run.
void fail_listing(const char* message, int file_kind, const ERROR_CONTEXT* context) {
    upgrade_error(kx_errno, message, file_kind, SEVERITY_ERROR, context);
    upgrade_fatal(0, nullptr, FILE_NONE);
}

void list_sections(KXCF_FILE* file, ListGuard& list, const char* failure, int file_kind) {
    kxcf_rewind(file);
    const char* name;
    while ((name = kxcf_nextsection(file)) != KXCF_FAIL) list.append(name);
    if (kx_errno != kNoMoreSections) fail_listing(failure, file_kind, nullptr);
}

void list_subsections(KXCF_FILE* file, const char* section, ListGuard& list, int file_kind,
                      ERROR_CONTEXT* context) {
    kxcf_rewind(file);
    const char* name;
    while ((name = kxcf_nextsubsection(file, section)) != KXCF_FAIL)
        context->subsection = list.append(name)->name;
    if (kx_errno != kNoMoreSubsections) fail_listing(msg::kNextSubsection, file_kind, context);
}

void read_section_rules(KXCF_FILE* rules_cfg, ListGuard& rules) {
    kxcf_rewind(rules_cfg);
    NameSet seen;
    const char* name;
    while ((name = kxcf_nextsection(rules_cfg)) != KXCF_FAIL) {
        ERROR_CONTEXT context = {name, nullptr, nullptr, nullptr, 0};
        if (seen.count(name)) {
            upgrade_error(0, msg::kDupSection, FILE_RULES, SEVERITY_ERROR, &context);
            continue;
        }
        NAME_LIST* rule = rules.append(name);
        seen.insert(rule->name);
        parse_upgrade_rule(rules_cfg, rule, &context);
        note_rule(rule, rule->name, nullptr, nullptr, 0);
    }
    if (kx_errno != kNoMoreSections) fail_listing(msg::kRulesSections, FILE_RULES, nullptr);
}

void read_subsection_rules(KXCF_FILE* rules_cfg, const char* rules_section, ListGuard& rules,
                           ERROR_CONTEXT* context) {
    rules_rewind(rules_cfg);
    NameSet seen;
    const char* name;
    while ((name = kxcf_nextsubsection(rules_cfg, rules_section)) != KXCF_FAIL) {
        context->subsection = name;
        if (seen.count(name)) {
            upgrade_error(0, msg::kDupSubsection, FILE_RULES, SEVERITY_ERROR, context);
            continue;
        }
        NAME_LIST* rule = rules.append(name);
        seen.insert(rule->name);
        parse_upgrade_rule(rules_cfg, rule, context);
        note_rule(rule, rules_section, rule->name, nullptr, 0);
    }
    if (kx_errno != kNoMoreSubsections) fail_listing(msg::kNextSubsection, FILE_RULES, context);
}

// New-file items without a rule stay as they are, but the rules file is
// incomplete, which the user must hear about.
void check_new_names(NAME_LIST* names, const RuleIndex& rules, const char* message,
                     ERROR_CONTEXT* context, bool subsections) {
    for (NAME_LIST* node = names; node; node = node->next) {
        (subsections ? context->subsection : context->section) = node->name;
        if (!rules.match(node->name, nullptr, kNameOnly))
            upgrade_error(0, message, FILE_RULES, SEVERITY_ERROR, context);
    }
}

// Whether NODE's name is held by an earlier node of the list that starts
// at FIRST (and reaches NODE).
bool named_earlier(const NAME_LIST* node, const NAME_LIST* first) {
    for (; first && first != node; first = first->next)
        if (std::strcmp(first->name, node->name) == 0) return true;
    return false;
}

// What becomes of the previous section or subsection NODE under RULE:
// custom when it is carried into the new file. SEEN holds the names of the
// list's nodes before NODE.
// Without factory, custom or delete the item is carried, as custom. Keyword
// lines are read by section and subsection name, which finds the first
// item of that name only: a later one of the same name cannot be carried,
// and is reported rather than lost without a word.
Fate level_fate(const UPGRADE_RULE* rule, const NAME_LIST* node, const NameSet& seen) {
    if (!rule) return Fate::no_rule;
    if (rule->flags & RULE_DELETE) return Fate::deleted;
    if (rule->flags & RULE_FACTORY) return Fate::factory;
    return seen.count(node->name) ? Fate::repeated : Fate::custom;
}

// Reports or logs a section or subsection that is not carried over.
void tell_dropped(Fate fate, const msg::LevelTexts& texts, const ERROR_CONTEXT* context) {
    if (fate == Fate::no_rule) upgrade_error(0, texts.no_rule, FILE_PREV, SEVERITY_ERROR, context);
    if (fate == Fate::deleted) upgrade_log_context(texts.deleting, FILE_PREV, context);
    if (fate == Fate::factory) upgrade_log_context(texts.factory, FILE_PREV, context);
    if (fate == Fate::repeated) upgrade_error(0, texts.repeated, FILE_PREV, SEVERITY_ERROR, context);
}

// Adds to the new file the section or subsection it lacks, through ADD;
// what was done.
template <typename Add>
Action add_when_missing(const char* name, const NameSet& new_names, const msg::LevelTexts& texts,
                        const ERROR_CONTEXT* context, Add add) {
    if (new_names.count(name)) return Action::existing;
    upgrade_log_context(texts.adding, FILE_NEW, context);
    if (add() == 0) return Action::added;
    upgrade_error(kx_errno, texts.add_failed, FILE_NEW, SEVERITY_ERROR, context);
    return Action::failed;
}

void read_keyword_rules(KXCF_FILE* rules_cfg, const char* rules_section, const char* rules_subsection,
                        ListGuard& rules) {
    ERROR_CONTEXT context = {rules_section, rules_subsection, nullptr, nullptr, 0};
    std::string keyword;
    rules_rewind(rules_cfg);
    std::unordered_map<std::string, int> occurrences;  // a rule's line: its name's n-th line
    const char* name = nullptr;
    while (upgrade_nextvar(rules_cfg, rules_section, rules_subsection, &name, 0) != KXCF_FAIL) {
        keyword = name;
        context.keyword = keyword.c_str();
        NAME_LIST* rule = rules.append(name);
        parse_upgrade_rule(rules_cfg, rule, &context);
        if (decisions()) note_rule(rule, rules_section, rules_subsection, rule->name, ++occurrences[rule->name]);
    }
    if (kx_errno != kNoMoreKeywords)
        upgrade_error(kx_errno, msg::kRulesNextvar, FILE_RULES, SEVERITY_ERROR, &context);
}

void read_prev_keywords(KXCF_FILE* prev_cfg, const char* section, const char* subsection,
                        NAME_LIST** list) {
    ERROR_CONTEXT context = {section, subsection, nullptr, nullptr, 0};
    KeywordList builder(list);
    kxcf_rewind(prev_cfg);
    const char* name = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(prev_cfg, section, subsection, &name, 0)) != KXCF_FAIL)
        context.keyword = builder.append(name, value)->name;
    if (kx_errno != kNoMoreKeywords)
        upgrade_error(kx_errno, msg::kNextvar, FILE_PREV, SEVERITY_ERROR, &context);
}

// A rename target as the library will store and list it: names are
// lower-cased, however the rules file writes them.
std::string lower_case_name(const char* name) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// Whether NAME is the rename target of a member rule of START's set. A
// renamed member stands in the new file under its new name, and still
// belongs to its set there: ending the set before it would add the member
// a second time.
bool renamed_member(const char* name, const UPGRADE_RULE* start) {
    const UPGRADE_RULE* rule = start->next;
    for (; rule && (rule->flags & RULE_SET) && !(rule->flags & RULE_START); rule = rule->next)
        if ((rule->flags & RULE_RENAME) && lower_case_name(rule->text) == name) return true;
    return false;
}

bool same_value(const char* a, const char* b) {
    return std::strcmp(a ? a : "", b ? b : "") == 0;
}

// The node of the new file's keyword line number LINE (from 1), or null.
NAME_LIST* node_at_line(int line) {
    const std::vector<NAME_LIST*>& lines = new_list_index.lines;
    return line > 0 && static_cast<size_t>(line) <= lines.size() ? lines[line - 1] : nullptr;
}

// The lines of NAME in the new file's list, in order.
const std::vector<int>* lines_named(const char* name) {
    auto found = new_list_index.by_name.find(name);
    return found == new_list_index.by_name.end() ? nullptr : &found->second;
}

// A value stored with kxcf_setvar_inst, as the library keeps it.
std::string stored_value(const char* value) {
    if (!value) return "";
    const char* begin = value;
    const char* end = value + std::strlen(value);
    while (begin < end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

// After kxcf_setvar_inst of WORK's keyword and instance. The library either
// replaces the value of an existing instance, which moves no line, or adds
// one line after the last keyword line of the list; the list is corrected
// the same way instead of being re-read, since a section whose every keyword
// is written would otherwise be re-read once per keyword. A file whose
// values are expanded when read lists other values than those written, and
// is re-read.
void note_setvar_inst(KXCF_FILE* new_cfg, const ERROR_CONTEXT* work) {
    if (new_keyword_list_stale || !(new_cfg->flags & KXCF_NOEXPAND)) {
        new_keyword_list_stale = 1;
        return;
    }
    const std::string value = stored_value(work->value);
    const std::vector<int>* lines = lines_named(work->keyword);
    if (!lines || static_cast<size_t>(work->instance) > lines->size()) {
        new_list_index.append(work->keyword, value.c_str());
        return;
    }
    NAME_LIST* node = node_at_line((*lines)[work->instance - 1]);
    std::free(node->text);
    node->text = upgrade_strdup(value.c_str());
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// The line right after LINE when it is an "event_code" line, else null.
NAME_LIST* event_code_after(int line) {
    NAME_LIST* node = node_at_line(line + 1);
    return node && std::strcmp(node->name, msg::kEventCodeKeyword) == 0 ? node : nullptr;
}

// What writing WORK does: a new line, or a new value on an existing one.
Action write_action(const ERROR_CONTEXT* work) {
    if (work->instance == 0) return Action::inserted;
    const std::vector<int>* lines = lines_named(work->keyword);
    return lines && static_cast<size_t>(work->instance) <= lines->size() ? Action::replaced : Action::added;
}

// Writes WORK at LOCATION; what was done, or Action::failed.
Action write_keyword(KXCF_FILE* new_cfg, ERROR_CONTEXT* work, const KW_LOCATION& location) {
    const Action action = write_action(work);
    if (work->instance != 0) {
        upgrade_log_context(msg::kWriteKeyword, FILE_NEW, work);
        if (kxcf_setvar_inst(new_cfg, work->section, work->subsection, work->keyword, work->value,
                             work->instance) != 0) {
            upgrade_error(kx_errno, msg::kSetvarInstFailed, FILE_NEW, SEVERITY_ERROR, work);
            new_keyword_list_stale = 1;
            return Action::failed;
        }
        note_setvar_inst(new_cfg, work);
        return action;
    }
    upgrade_log_context(upgrade_format(msg::kInsertKeyword, location.line).c_str(), FILE_NEW, work);
    const bool written = kxcf_setvar_index(new_cfg, work->section, work->subsection, work->keyword, work->value,
                                           location.line) == 0;
    if (!written)
        report(kx_errno, upgrade_format(msg::kSetvarIndexFailed, location.line), FILE_NEW,
               SEVERITY_ERROR, work);
    new_keyword_list_stale = 1;
    return written ? action : Action::failed;
}

// The location of a keyword written outside a set: the same value anywhere
// means nothing to do; custom adds an instance where the rule asks for one.
KW_LOCATION locate_outside_set(KXCF_FILE* new_cfg, const ERROR_CONTEXT* work, const UPGRADE_RULE* rule) {
    upgrade_debug_line(show_detail, "upgrade_keyword: Keyword is NOT in a set\n");
    KW_LOCATION location = locate_keyword_in_new(new_cfg, work, nullptr);
    if (location.value_match) return location;
    if ((rule->flags & RULE_CUSTOM) && ((rule->flags & RULE_MULTIPLE) || location.instance == 0)) {
        upgrade_debug_line(show_detail, "upgrade_keyword: Need to add an instance of this keyword\n");
        location.instance++;
    }
    return location;
}

// The warning due when writing PREV_KEYWORD over an existing line replaces
// the value that an earlier line of the previous file has left there, or
// null. Outside a set the write goes to the last instance unless the rule
// is multiple; inside a set, to the first line of the name.
const char* overwrite_warning(const NAME_LIST* prev_keyword, const UPGRADE_RULE* rule, const KW_SET* set) {
    if (set) return named_earlier(prev_keyword, set->prev_first) ? msg::kRepeatedSetMember : nullptr;
    return !(rule->flags & RULE_MULTIPLE) && prev_keyword->instance > 1 ? msg::kRepeatedKeyword : nullptr;
}

void debug_keyword_rule(const UPGRADE_RULE* rule) {
    if (!debugging(show_detail)) return;
    std::string line = "upgrade_keyword: Upgrade rule flags =" +
                       flag_words(rule->flags, static_cast<int>(std::size(kFlagWords))) + "\n";
    if (rule->units) line += std::string("                 Upgrade units = ") + rule->units + "\n";
    upgrade_debug(line.c_str());
}

}  // namespace

void upgrade_all_sections(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg) {
    upgrade_debug_line(show_funcs, "upgrade_all_sections:\n");
    ListGuard new_sections, prev_sections, rules;
    list_sections(new_cfg, new_sections, msg::kNewSections, FILE_NEW);
    list_sections(prev_cfg, prev_sections, msg::kPrevSections, FILE_PREV);
    read_section_rules(rules_cfg, rules);
    const RuleIndex rule_index(rules.head);
    const NameSet new_names = names_of(new_sections.head);

    ERROR_CONTEXT context = {nullptr, nullptr, nullptr, nullptr, 0};
    check_new_names(new_sections.head, rule_index, msg::kNewSectionNoRule, &context, false);

    NameSet seen;
    for (NAME_LIST* node = prev_sections.head; node; seen.insert(node->name), node = node->next) {
        context.section = node->name;
        UPGRADE_RULE* rule = rule_index.match(node->name, nullptr, kAllQualifiers);
        const Fate fate = level_fate(rule, node, seen);
        if (fate != Fate::custom) {
            // Noted first: the report may be the one that ends the run.
            note_level(node->name, nullptr, rule, fate, Action::none);
            tell_dropped(fate, msg::kSectionTexts, &context);
            continue;
        }
        note_level(node->name, nullptr, rule, fate,
                   add_when_missing(node->name, new_names, msg::kSectionTexts, &context,
                                    [&] { return kxcf_setsection(new_cfg, node->name); }));
        upgrade_section(new_cfg, prev_cfg, rules_cfg, node->name, rule->name);
    }
}

void upgrade_section(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg,
                     const char* section, const char* rules_section) {
    ERROR_CONTEXT context = {section, nullptr, nullptr, nullptr, 0};
    debug_context(show_funcs, "upgrade_section:\n", FILE_NONE, &context);

    ListGuard new_subsections, prev_subsections, rules;
    list_subsections(new_cfg, section, new_subsections, FILE_NEW, &context);
    list_subsections(prev_cfg, section, prev_subsections, FILE_PREV, &context);

    context = {rules_section, nullptr, nullptr, nullptr, 0};
    read_subsection_rules(rules_cfg, rules_section, rules, &context);
    const RuleIndex rule_index(rules.head);
    const NameSet new_names = names_of(new_subsections.head);
    check_new_names(new_subsections.head, rule_index, msg::kNewSubsectionNoRule, &context, true);

    upgrade_subsection(new_cfg, prev_cfg, rules_cfg, section, nullptr, rules_section, nullptr);

    NameSet seen;
    for (NAME_LIST* node = prev_subsections.head; node; seen.insert(node->name), node = node->next) {
        context.subsection = node->name;
        UPGRADE_RULE* rule = rule_index.match(node->name, nullptr, kAllQualifiers);
        const Fate fate = level_fate(rule, node, seen);
        if (fate != Fate::custom) {
            note_level(section, node->name, rule, fate, Action::none);
            tell_dropped(fate, msg::kSubsectionTexts, &context);
            continue;
        }
        note_level(section, node->name, rule, fate,
                   add_when_missing(node->name, new_names, msg::kSubsectionTexts, &context,
                                    [&] { return kxcf_setsubsection(new_cfg, section, node->name); }));
        upgrade_subsection(new_cfg, prev_cfg, rules_cfg, section, node->name, rules_section, rule->name);
    }
}

void upgrade_subsection(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg,
                        const char* section, const char* subsection, const char* rules_section,
                        const char* rules_subsection) {
    ERROR_CONTEXT context = {section, subsection, nullptr, nullptr, 0};
    if (debugging(show_funcs)) {
        ERROR_CONTEXT rules_context = {rules_section, rules_subsection, nullptr, nullptr, 0};
        upgrade_debug("upgrade_subsection:\n");
        upgrade_debug_context(nullptr, FILE_PREV, &context);
        upgrade_debug_context(nullptr, FILE_RULES, &rules_context);
    }

    ListGuard rules, prev_keywords;
    read_keyword_rules(rules_cfg, rules_section, rules_subsection, rules);
    read_prev_keywords(prev_cfg, section, subsection, &prev_keywords.head);
    build_new_kw_list(new_cfg, section, subsection);
    const RuleIndex rule_index(rules.head);

    NAME_LIST* node = prev_keywords.head;
    while (node) {
        context = {section, subsection, node->name, node->text, 0};
        UPGRADE_RULE* rule = rule_index.match(node->name, node->text, kAllQualifiers);
        if (!rule) {
            // Noted first: the report may be the one that ends the run.
            KeywordRecord(&context, node, nullptr, Fate::no_rule);
            upgrade_error(0, msg::kPrevKeywordNoRule, FILE_PREV, SEVERITY_ERROR, &context);
            node = node->next;
        } else if (rule->flags & RULE_START) {
            upgrade_keyword_set(new_cfg, node, rule, &context);
            node = find_end_of_set(node, rule)->next;
        } else {
            upgrade_debug_line(show_detail, "upgrade_subsection: Calling upgrade_keyword\n");
            upgrade_keyword(new_cfg, node, rule, &context, nullptr);
            node = node->next;
        }
    }
}

void upgrade_keyword(KXCF_FILE* new_cfg, NAME_LIST* prev_keyword, UPGRADE_RULE* rule,
                     ERROR_CONTEXT* context, KW_SET* set) {
    ERROR_CONTEXT work = *context;
    debug_context(show_funcs, "upgrade_keyword:\n", FILE_PREV, context);
    debug_keyword_rule(rule);
    context->value = prev_keyword->text;
    KeywordRecord record(context, prev_keyword, rule, Fate::custom);
    if (set && decisions()) record.d.set_start = set_name(set->prev_first);

    if (rule->flags & RULE_FACTORY) {
        upgrade_log_context(msg::kFactoryKeyword, FILE_PREV, context);
        record.d.fate = Fate::factory;
        return;
    }
    if (rule->flags & RULE_DELETE) {
        upgrade_log_context(msg::kDeleteKeyword, FILE_PREV, context);
        record.d.fate = Fate::deleted;
        return;
    }
    std::string new_name;
    if (rule->flags & RULE_RENAME) {
        new_name = lower_case_name(rule->text);
        work.keyword = new_name.c_str();
        record.d.renamed_to = new_name;
        upgrade_log_context(
            upgrade_format(msg::kRenameKeyword, prev_keyword->name, work.keyword).c_str(),
            FILE_PREV, context);
    }
    const char* event_code = nullptr;
    if (rule->flags & RULE_XFER_EVENT) event_code = extract_xfer_event_code(prev_keyword->text);
    work.value = prev_keyword->text;

    KW_LOCATION location;
    if (!set) {
        location = locate_outside_set(new_cfg, &work, rule);
        if (location.value_match) {
            work.instance = location.instance;
            record.wrote(&work, Action::unchanged);
            upgrade_debug_line(show_detail,
                       "upgrade_keyword: Keyword with this value already exists in New config file\n"
                       "  No upgrade is needed\n");
            return;
        }
    } else if (rule->flags & RULE_START) {
        location = {set->instance, set->line, set->value_match};
    } else {
        location = locate_keyword_in_new(new_cfg, &work, set);
    }
    work.instance = location.instance;
    if (location.instance == 0 && location.line == 0) {
        upgrade_debug_line(show_detail, "upgrade_keyword: Unable to locate keyword in New config file\n");
        record.d.fate = Fate::unplaced;
        return;
    }

    // Kept until the event code has been placed: its lookup finds the
    // keyword by the value just written.
    std::unique_ptr<char, FreeDeleter> units_value;
    if (rule->units) units_value.reset(upgrade_units(prev_keyword->text, rule->units, &work));
    if (units_value) {
        work.value = units_value.get();
        location.value_match = 0;
        record.d.units_value = work.value;
    }

    if (location.value_match) {
        debug_context(show_detail,
                      "upgrade_keyword: Keyword has the same value in New and Prev config files\n"
                      "No update is required\n",
                      FILE_NEW, &work);
        record.wrote(&work, Action::unchanged);
    } else {
        const char* warning = work.instance ? overwrite_warning(prev_keyword, rule, set) : nullptr;
        if (warning) {
            ERROR_CONTEXT repeated = *context;
            repeated.instance = prev_keyword->instance;
            upgrade_error(0, warning, FILE_PREV, SEVERITY_WARNING, &repeated);
        }
        if (prev_keyword->text[0] == '\0') work.value = nullptr;
        const Action action = write_keyword(new_cfg, &work, location);
        record.wrote(&work, action);
        record.d.written_position = action == Action::inserted ? location.line + 1 : 0;
        record.d.multiple = (rule->flags & RULE_MULTIPLE) != 0;
    }
    if (event_code) {
        add_xfer_event_code(new_cfg, event_code, &work);
        record.d.event_code = event_code;
    }
}

char* upgrade_units(const char* value, const char* units, ERROR_CONTEXT* context) {
    debug_context(show_funcs, "upgrade_units:\n", FILE_PREV, context);
    if (!std::isdigit(static_cast<unsigned char>(value[0]))) {
        report(0, upgrade_format(msg::kNoDigit, units), FILE_PREV, SEVERITY_WARNING, context);
        return nullptr;
    }
    const char* rest = value;
    while (std::isdigit(static_cast<unsigned char>(*rest))) ++rest;
    while (*rest == ' ' || *rest == '\t') ++rest;
    if (*rest) {
        if (std::isalpha(static_cast<unsigned char>(*rest))) {
            upgrade_debug_line(show_detail, "upgrade_units: Keyword value already has units\n");
        } else {
            report(0, upgrade_format(msg::kBadUnits, units), FILE_PREV, SEVERITY_WARNING, context);
        }
        return nullptr;
    }
    upgrade_debug_line(show_detail,
               upgrade_format("upgrade_units: Appending units \"%s\" to keyword value\n", units));
    std::string with_units = std::string(value) + " " + units;
    char* result = static_cast<char*>(std::malloc(with_units.size() + 1));
    if (!result) upgrade_fatal(errno, "malloc failed", FILE_NONE);
    std::memcpy(result, with_units.c_str(), with_units.size() + 1);
    return result;
}

char* extract_xfer_event_code(char* value) {
    char* bang = std::strchr(value, '!');
    if (!bang) {
        upgrade_debug_line(show_detail, "extract_xfer_event_code: Failed to extract event code from keyword arg\n");
        return nullptr;
    }
    char* code = bang + 1;
    while (*code == ' ' || *code == '\t') ++code;
    char* end = bang;
    while (end > value && (end[-1] == ' ' || end[-1] == '\t')) --end;
    *end = '\0';
    upgrade_debug_line(
        show_detail,
        upgrade_format("extract_xfer_event_code: Extracted event code \"%s\" from keyword arg\n",
                       code));
    return code;
}

void add_xfer_event_code(KXCF_FILE* new_cfg, const char* event_code, ERROR_CONTEXT* context) {
    KW_LOCATION location = locate_keyword_in_new(new_cfg, context, nullptr);
    ERROR_CONTEXT report_context = {context->section, context->subsection, msg::kEventCodeKeyword,
                                    event_code, 0};
    // Without the keyword line there is nothing to attach the code to; the
    // failed write has been reported already.
    if (location.instance == 0) return;
    upgrade_log_context(
        upgrade_format(msg::kWriteEventCode, msg::kEventCodeKeyword, location.line).c_str(),
        FILE_NEW, &report_context);
    // A keyword whose value was replaced may already carry the new release's
    // code on the next line: that line now gets the previous code, rather
    // than leaving two codes under one keyword. A keyword inserted into a
    // set (instance 0) has no code yet; the line after it is another's.
    NAME_LIST* existing = context->instance ? event_code_after(location.line) : nullptr;
    if (existing) {
        if (kxcf_setvar_inst(new_cfg, context->section, context->subsection, msg::kEventCodeKeyword,
                             event_code, existing->instance) != 0)
            upgrade_error(kx_errno, msg::kSetvarInstFailed, FILE_NEW, SEVERITY_ERROR, &report_context);
        new_keyword_list_stale = 1;
        return;
    }
    if (kxcf_setvar_index(new_cfg, context->section, context->subsection, msg::kEventCodeKeyword,
                          event_code, location.line) != 0)
        report(kx_errno, upgrade_format(msg::kSetvarIndexFailed, location.line), FILE_NEW,
               SEVERITY_ERROR, &report_context);
    new_keyword_list_stale = 1;
}

void build_new_kw_list(KXCF_FILE* new_cfg, const char* section, const char* subsection) {
    upgrade_debug_line(show_funcs, "build_new_kw_list:\n");
    free_name_list(new_keyword_list);
    new_keyword_list = nullptr;
    ERROR_CONTEXT context = {section, subsection, nullptr, nullptr, 0};
    debug_context(show_detail, "build_new_kw_list: Building list of keywords\n", FILE_NEW, &context);

    new_list_index = KeywordList(&new_keyword_list);
    kxcf_rewind(new_cfg);
    const char* name = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(new_cfg, section, subsection, &name, 0)) != KXCF_FAIL)
        context.keyword = new_list_index.append(name, value)->name;
    if (kx_errno != kNoMoreKeywords)
        upgrade_error(kx_errno, msg::kNextvar, FILE_NEW, SEVERITY_ERROR, &context);
    new_keyword_list_stale = 0;
}

namespace {

KW_LOCATION locate_anywhere(const ERROR_CONTEXT* context) {
    KW_LOCATION location = {0, 0, 0};
    const std::vector<int>* lines = lines_named(context->keyword);
    for (size_t i = 0; lines && i < lines->size(); ++i) {
        int position = (*lines)[i];
        NAME_LIST* node = node_at_line(position);
        upgrade_debug_line(
            show_detail,
            upgrade_format(
                "locate_keyword_in_new: Found keyword in New config file\n  Keyword:\t%s\n"
                "  Value:\t%s\n  Instance:\t%d\n  Prev Value:\t%s\n",
                node->name, node->text, node->instance, context->value ? context->value : ""));
        location.instance = node->instance;
        location.line = position;
        if (same_value(node->text, context->value)) {
            location.value_match = 1;
            break;
        }
        upgrade_debug_line(show_detail,
                   "locate_keyword_in_new: Keyword values differ in New and Prev config files\n");
    }
    return location;
}

KW_LOCATION locate_in_set(const ERROR_CONTEXT* context, const KW_SET* set) {
    KW_LOCATION location = {0, 0, 0};
    const std::vector<int>* starts = set->first_keyword ? lines_named(set->first_keyword) : nullptr;
    if (!starts || set->instance < 1 || static_cast<size_t>(set->instance) > starts->size() ||
        !set->start_rule)
        return location;
    int position = (*starts)[set->instance - 1];
    NAME_LIST* node = node_at_line(position);
    NAME_LIST* end = find_end_of_set(node, set->start_rule);
    for (;; node = node->next, ++position) {
        if (std::strcmp(node->name, context->keyword) == 0) {
            location = {node->instance, position, same_value(node->text, context->value) ? 1 : 0};
            break;
        }
        if (node == end) {
            upgrade_debug_line(show_detail, "locate_keyword_in_new: Reached END of keyword set\n");
            location.line = position;
            upgrade_debug_line(show_detail, "locate_keyword_in_new: Add this keyword at the end of the set\n");
            break;
        }
    }
    return location;
}

}  // namespace

KW_LOCATION locate_keyword_in_new(KXCF_FILE* new_cfg, const ERROR_CONTEXT* context, const KW_SET* set) {
    debug_context(show_funcs, "locate_keyword_in_new:\n", FILE_PREV, context);
    upgrade_debug_line(show_detail,
               upgrade_format("locate_keyword_in_new: %s keyword set\n", set ? "In" : "NOT in"));
    if (new_keyword_list_stale) build_new_kw_list(new_cfg, context->section, context->subsection);
    KW_LOCATION location = set ? locate_in_set(context, set) : locate_anywhere(context);
    upgrade_debug_line(show_detail,
               upgrade_format("locate_keyword_in_new: instance: %d, line: %d, value_match: %d\n",
                              location.instance, location.line, location.value_match));
    return location;
}

NAME_LIST* find_end_of_set(NAME_LIST* first, UPGRADE_RULE* start_rule) {
    upgrade_debug_line(show_funcs, "find_end_of_set:\n");
    NAME_LIST* last = first;
    for (NAME_LIST* node = first->next; node; node = node->next) {
        UPGRADE_RULE* rule = match_name_in_set(node->name, nullptr, start_rule, kNameOnly);
        if (rule && (rule->flags & RULE_START)) break;
        if (!rule && !renamed_member(node->name, start_rule)) break;
        last = node;
    }
    return last;
}

void upgrade_keyword_set(KXCF_FILE* new_cfg, NAME_LIST* first, UPGRADE_RULE* start_rule,
                         ERROR_CONTEXT* context) {
    KW_SET set = {nullptr, 0, 0, 0, nullptr, first};
    debug_context(show_funcs, "upgrade_keyword_set:\n", FILE_PREV, context);
    upgrade_debug_line(show_detail, "upgrade_keyword_set: Upgrade rule flags =" +
                                flag_words(start_rule->flags, kSetFlagWords) + "\n");
    if (start_rule->flags & RULE_DELETE) {
        upgrade_debug_line(show_detail, "upgrade_keyword_set: Upgrade rule = delete. New config file is OK\n");
        note_set(context, first, find_end_of_set(first, start_rule), start_rule, Fate::deleted);
        return;
    }

    // A renamed start keyword begins its set in the new file under the new
    // name; looked up under the old one, the set would never be found and
    // an added start line would take the place of another set's.
    ERROR_CONTEXT start = *context;
    std::string new_name;
    if (start_rule->flags & RULE_RENAME) {
        new_name = lower_case_name(start_rule->text);
        start.keyword = new_name.c_str();
    }
    KW_LOCATION location = locate_keyword_in_new(new_cfg, &start, nullptr);
    if (location.value_match) {
        set = {start.keyword, location.instance, location.line, 1, start_rule, first};
        upgrade_debug_line(show_detail, "upgrade_keyword_set: Found start of set in New config file\n");
    } else if (start_rule->flags & RULE_FACTORY) {
        upgrade_error(0, msg::kFactorySetStart, FILE_PREV, SEVERITY_ERROR, context);
        note_set(context, first, find_end_of_set(first, start_rule), start_rule, Fate::skipped);
        return;
    } else if (start_rule->flags & RULE_CUSTOM) {
        set = {start.keyword, location.instance + 1, 0, 0, start_rule, first};
        upgrade_debug_line(show_detail,
                   "upgrade_keyword_set: Start of set was NOT found in New config file\n"
                   "Adding the entire set from the Previous config file\n");
    } else {
        // The start rule names no action (the rules file has been reported);
        // carrying the set over or dropping it would both be a guess, so the
        // set is left out and named.
        upgrade_error(0, msg::kNoRuleSetStart, FILE_PREV, SEVERITY_WARNING, context);
        note_set(context, first, find_end_of_set(first, start_rule), start_rule, Fate::skipped);
        return;
    }
    upgrade_debug_line(
        show_detail,
        upgrade_format(
            "upgrade_keyword_set: START of keyword set\n  First keyword:\t%s\n  Instance:\t%d\n"
            "  Line:\t%d\n",
            set.first_keyword, set.instance, set.line));

    NAME_LIST* end = find_end_of_set(first, start_rule);
    for (NAME_LIST* node = first;; node = node->next) {
        *context = {context->section, context->subsection, node->name, node->text, node->instance};
        UPGRADE_RULE* rule = match_name_in_set(node->name, node->text, start_rule, kAllQualifiers);
        if (!rule) {
            KeywordRecord(context, node, nullptr, Fate::no_rule).d.set_start = set_name(first);
            upgrade_error(0, msg::kSetMemberNoRule, FILE_PREV, SEVERITY_ERROR, context);
        } else {
            debug_context(show_detail,
                          "upgrade_keyword_set: Found keyword in set in Previous config file\n"
                          "  Calling upgrade_keyword from upgrade_keyword_set\n",
                          FILE_PREV, context);
            upgrade_keyword(new_cfg, node, rule, context, &set);
        }
        if (node == end) break;
    }
    upgrade_debug_line(show_detail,
               upgrade_format("upgrade_keyword_set: END of keyword set\n  First keyword:\t%s\n"
                              "  Instance:\t%d\n",
                              set.first_keyword, set.instance));
}

// The walk of the merge over the previous configuration file's sections and
// subsections, and the reading of the rules of each level.
//
// The previous file is read, the rules file is re-read level by level, and
// every edit goes to the new file's handle. Problems are reported where they
// are found; only a file that cannot be listed ends the run.

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>

#include "engine_internal.h"
#include "kx_errno.h"
#include "upgrade_engine.h"

// A list of names or rules that is freed when the level that built it is
// left. It grows at its tail, which it keeps, so that building it is linear.
template <typename Node>
class UpgradeEngine::OwnedList {
public:
    OwnedList() = default;
    OwnedList(const OwnedList&) = delete;
    OwnedList& operator=(const OwnedList&) = delete;
    ~OwnedList() { release(head); }

    Node* append(const char* name) {
        Node* node = add(upgrade_strdup(name), tail);
        tail = &node->next;
        return node;
    }

    Node* head = nullptr;

private:
    static NAME_LIST* add(char* name, NAME_LIST** at) { return append_name_list(name, at); }
    static UPGRADE_RULE* add(char* name, UPGRADE_RULE** at) { return append_rule(name, at); }
    static void release(NAME_LIST* list) { free_name_list(list); }
    static void release(UPGRADE_RULE* list) { free_rules(list); }

    Node** tail = &head;
};

namespace {

// The names of a list, for telling whether a name is among them.
using NameSet = std::unordered_set<std::string_view>;

NameSet names_of(const NAME_LIST* list) {
    NameSet names;
    for (; list; list = list->next) names.insert(list->name);
    return names;
}

}  // namespace

RULE_FILTER UpgradeEngine::filter(const char* value, int qualifiers) const {
    return {value, run_.inputs.prev_kx_version, qualifiers};
}

void UpgradeEngine::report(int error_number, const std::string& text, FileKind file_kind, Severity severity,
                           const ERROR_CONTEXT* context) {
    upgrade_error(run_, error_number, text.c_str(), file_kind, severity, context);
}

void UpgradeEngine::debug_context(unsigned bit, const char* text, FileKind file_kind,
                                  const ERROR_CONTEXT* context) const {
    if (debugging(bit)) upgrade_debug_context(run_, text, file_kind, context);
}

// A listing that stopped with anything but its normal end cannot be trusted
// for a walk: report it and end the run.
void UpgradeEngine::fail_listing(const char* message, FileKind file_kind, const ERROR_CONTEXT* context) {
    upgrade_error(run_, kx_errno, message, file_kind, Severity::error, context);
    upgrade_fatal(run_, 0, nullptr, FileKind::none);
}

void UpgradeEngine::list_sections(KXCF_FILE* file, NameList& list, const char* failure, FileKind file_kind) {
    kxcf_rewind(file);
    const char* name;
    while ((name = kxcf_nextsection(file)) != KXCF_FAIL) list.append(name);
    if (kx_errno != kNoMoreSections) fail_listing(failure, file_kind, nullptr);
}

void UpgradeEngine::list_subsections(KXCF_FILE* file, const char* section, NameList& list, FileKind file_kind,
                                     ERROR_CONTEXT* context) {
    kxcf_rewind(file);
    const char* name;
    while ((name = kxcf_nextsubsection(file, section)) != KXCF_FAIL)
        context->subsection = list.append(name)->name;
    if (kx_errno != kNoMoreSubsections) fail_listing(kMsgNextSubsection, file_kind, context);
}

void UpgradeEngine::read_section_rules(RuleList& rules) {
    kxcf_rewind(rules_.file());
    NameSet seen;
    const char* name;
    while ((name = kxcf_nextsection(rules_.file())) != KXCF_FAIL) {
        ERROR_CONTEXT context = {name, nullptr, nullptr, nullptr, 0};
        if (seen.count(name)) {
            upgrade_error(run_, 0, kMsgDupSection, FileKind::rules, Severity::error, &context);
            continue;
        }
        UPGRADE_RULE* rule = rules.append(name);
        seen.insert(rule->name);
        rules_.parse_upgrade_rule(rule, &context);
    }
    if (kx_errno != kNoMoreSections) fail_listing(kMsgRulesSections, FileKind::rules, nullptr);
}

void UpgradeEngine::read_subsection_rules(const char* rules_section, RuleList& rules, ERROR_CONTEXT* context) {
    rules_.rules_rewind();
    NameSet seen;
    const char* name;
    while ((name = kxcf_nextsubsection(rules_.file(), rules_section)) != KXCF_FAIL) {
        context->subsection = name;
        if (seen.count(name)) {
            upgrade_error(run_, 0, kMsgDupSubsection, FileKind::rules, Severity::error, context);
            continue;
        }
        UPGRADE_RULE* rule = rules.append(name);
        seen.insert(rule->name);
        rules_.parse_upgrade_rule(rule, context);
    }
    if (kx_errno != kNoMoreSubsections) fail_listing(kMsgNextSubsection, FileKind::rules, context);
}

void UpgradeEngine::read_keyword_rules(const char* rules_section, const char* rules_subsection, RuleList& rules) {
    ERROR_CONTEXT context = {rules_section, rules_subsection, nullptr, nullptr, 0};
    std::string keyword;
    rules_.rules_rewind();
    const char* name = nullptr;
    while (rules_.upgrade_nextvar(rules_section, rules_subsection, &name, 0) != KXCF_FAIL) {
        keyword = name;
        context.keyword = keyword.c_str();
        rules_.parse_upgrade_rule(rules.append(name), &context);
    }
    if (kx_errno != kNoMoreKeywords)
        upgrade_error(run_, kx_errno, kMsgRulesNextvar, FileKind::rules, Severity::error, &context);
}

// New-file items without a rule stay as they are, but the rules file is
// incomplete, which the user must hear about.
void UpgradeEngine::check_new_names(NAME_LIST* names, const RuleIndex& rules, const char* message,
                                    ERROR_CONTEXT* context, bool subsections) {
    for (NAME_LIST* node = names; node; node = node->next) {
        (subsections ? context->subsection : context->section) = node->name;
        if (!rules.match(node->name, filter(nullptr, kNameOnly)))
            upgrade_error(run_, 0, message, FileKind::rules, Severity::error, context);
    }
}

// Whether the previous section or subsection NAME is carried into the new
// file under RULE; a dropped one is reported or logged. SEEN tells whether
// an earlier item of the list had the same name.
// Without factory, custom or delete the item is carried, as custom. Keyword
// lines are read by section and subsection name, which finds the first
// item of that name only: a later one of the same name cannot be carried,
// and is reported rather than lost without a word.
template <typename Texts>
bool UpgradeEngine::carried_over(const UPGRADE_RULE* rule, bool seen, const Texts& texts,
                                 const ERROR_CONTEXT* context) {
    if (!rule) {
        upgrade_error(run_, 0, texts.no_rule, FileKind::previous, Severity::error, context);
        return false;
    }
    if (rule->flags & (RULE_DELETE | RULE_FACTORY)) {
        upgrade_log_context(run_, rule->flags & RULE_DELETE ? texts.deleting : texts.factory, FileKind::previous,
                            context);
        return false;
    }
    if (seen) {
        upgrade_error(run_, 0, texts.repeated, FileKind::previous, Severity::error, context);
        return false;
    }
    return true;
}

namespace {

// Adds to the new file the section or subsection it lacks, through ADD.
template <typename Add>
void add_when_missing(UPGRADE_RUN& run, const char* name, const NameSet& new_names, const LevelTexts& texts,
                      const ERROR_CONTEXT* context, Add add) {
    if (new_names.count(name)) return;
    upgrade_log_context(run, texts.adding, FileKind::new_file, context);
    if (add() != 0) upgrade_error(run, kx_errno, texts.add_failed, FileKind::new_file, Severity::error, context);
}

}  // namespace

void UpgradeEngine::upgrade_all_sections() {
    upgrade_debug_line(run_, show_funcs, "upgrade_all_sections:\n");
    NameList new_sections, prev_sections;
    RuleList rules;
    list_sections(new_cfg_, new_sections, kMsgNewSections, FileKind::new_file);
    list_sections(prev_cfg_, prev_sections, kMsgPrevSections, FileKind::previous);
    read_section_rules(rules);
    const RuleIndex rule_index(rules.head);
    const NameSet new_names = names_of(new_sections.head);

    ERROR_CONTEXT context = {nullptr, nullptr, nullptr, nullptr, 0};
    check_new_names(new_sections.head, rule_index, kMsgNewSectionNoRule, &context, false);

    NameSet seen;
    for (NAME_LIST* node = prev_sections.head; node; seen.insert(node->name), node = node->next) {
        context.section = node->name;
        UPGRADE_RULE* rule = rule_index.match(node->name, filter(nullptr, kAllQualifiers));
        if (!carried_over(rule, seen.count(node->name) > 0, kMsgSectionTexts, &context)) continue;
        add_when_missing(run_, node->name, new_names, kMsgSectionTexts, &context,
                         [&] { return kxcf_setsection(new_cfg_, node->name); });
        upgrade_section(node->name, rule->name);
    }
}

void UpgradeEngine::upgrade_section(const char* section, const char* rules_section) {
    ERROR_CONTEXT context = {section, nullptr, nullptr, nullptr, 0};
    debug_context(show_funcs, "upgrade_section:\n", FileKind::none, &context);

    NameList new_subsections, prev_subsections;
    RuleList rules;
    list_subsections(new_cfg_, section, new_subsections, FileKind::new_file, &context);
    list_subsections(prev_cfg_, section, prev_subsections, FileKind::previous, &context);

    context = {rules_section, nullptr, nullptr, nullptr, 0};
    read_subsection_rules(rules_section, rules, &context);
    const RuleIndex rule_index(rules.head);
    const NameSet new_names = names_of(new_subsections.head);
    check_new_names(new_subsections.head, rule_index, kMsgNewSubsectionNoRule, &context, true);

    upgrade_subsection(section, nullptr, rules_section, nullptr);

    NameSet seen;
    for (NAME_LIST* node = prev_subsections.head; node; seen.insert(node->name), node = node->next) {
        context.subsection = node->name;
        UPGRADE_RULE* rule = rule_index.match(node->name, filter(nullptr, kAllQualifiers));
        if (!carried_over(rule, seen.count(node->name) > 0, kMsgSubsectionTexts, &context))
            continue;
        add_when_missing(run_, node->name, new_names, kMsgSubsectionTexts, &context,
                         [&] { return kxcf_setsubsection(new_cfg_, section, node->name); });
        upgrade_subsection(section, node->name, rules_section, rule->name);
    }
}

void UpgradeEngine::upgrade_subsection(const char* section, const char* subsection, const char* rules_section,
                                       const char* rules_subsection) {
    ERROR_CONTEXT context = {section, subsection, nullptr, nullptr, 0};
    if (debugging(show_funcs)) {
        ERROR_CONTEXT rules_context = {rules_section, rules_subsection, nullptr, nullptr, 0};
        upgrade_debug(run_, "upgrade_subsection:\n");
        upgrade_debug_context(run_, nullptr, FileKind::previous, &context);
        upgrade_debug_context(run_, nullptr, FileKind::rules, &rules_context);
    }

    RuleList rules;
    KeywordList prev_keywords;
    read_keyword_rules(rules_section, rules_subsection, rules);
    if (!prev_keywords.read(prev_cfg_, section, subsection, context))
        upgrade_error(run_, kx_errno, kMsgNextvar, FileKind::previous, Severity::error, &context);
    build_new_kw_list(section, subsection);
    const RuleIndex rule_index(rules.head);

    NAME_LIST* node = prev_keywords.head();
    while (node) {
        context = {section, subsection, node->name, node->text, 0};
        UPGRADE_RULE* rule = rule_index.match(node->name, filter(node->text, kAllQualifiers));
        if (!rule) {
            upgrade_error(run_, 0, kMsgPrevKeywordNoRule, FileKind::previous, Severity::error, &context);
            node = node->next;
        } else if (rule->flags & RULE_START) {
            upgrade_keyword_set(node, rule, &context);
            node = find_end_of_set(node, rule)->next;
        } else {
            upgrade_debug_line(run_, show_detail, "upgrade_subsection: Calling upgrade_keyword\n");
            upgrade_keyword(node, rule, &context, nullptr);
            node = node->next;
        }
    }
}

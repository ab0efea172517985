/*
 * The merge of the previous configuration file into the temporary copy of
 * the new one, on the three open files of one run:
 *
 *     UpgradeEngine engine(run, new_cfg, prev_cfg, rules_cfg);
 *     engine.upgrade_all_sections();
 *
 * upgrade_all_sections walks the previous file section by section;
 * upgrade_section walks one section's subsections; upgrade_subsection
 * upgrades one keyword list through upgrade_keyword or upgrade_keyword_set.
 * Every edit goes to the new file's handle; every problem is reported
 * through upgrade_error where it is found, nothing is returned upward. A
 * report that ends the run throws UPGRADE_ABORT through the engine.
 */
#ifndef UPGRADE_ENGINE_H
#define UPGRADE_ENGINE_H

#include <string>

#include "keyword_list.h"
#include "kxcf.h"
#include "name_lists.h"
#include "upgrade_report.h"
#include "upgrade_rules.h"

/* Where a keyword stands in the new file's current keyword list: instance 0
 * = not found; line = 1-based position among keyword lines (inside a set,
 * the line after which a missing keyword goes); value_match = same value. */
typedef struct KW_LOCATION {
    int instance;
    int line;
    int value_match;
} KW_LOCATION;

/* One keyword set being upgraded: its start keyword in the new file, and
 * the set's first line in the previous keyword list. */
typedef struct KW_SET {
    const char* first_keyword;
    int instance;
    int line;
    int value_match;
    UPGRADE_RULE* start_rule;
    const NAME_LIST* prev_first;
} KW_SET;

/* Cuts VALUE in place before its "!" and returns the event code after it,
 * or null when there is no "!". */
char* extract_xfer_event_code(const UPGRADE_RUN& run, char* value);

class UpgradeEngine {
public:
    UpgradeEngine(UPGRADE_RUN& run, KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg)
        : run_(run), new_cfg_(new_cfg), prev_cfg_(prev_cfg), rules_(run, rules_cfg) {}

    void upgrade_all_sections();
    void upgrade_section(const char* section, const char* rules_section);
    void upgrade_subsection(const char* section, const char* subsection, const char* rules_section,
                            const char* rules_subsection);
    void upgrade_keyword(NAME_LIST* prev_keyword, UPGRADE_RULE* rule, ERROR_CONTEXT* context, KW_SET* set);
    void upgrade_keyword_set(NAME_LIST* first, UPGRADE_RULE* start_rule, ERROR_CONTEXT* context);
    /* VALUE, a blank and UNITS, or an empty string when VALUE does not take
     * units (already has them, or is not a bare number). */
    std::string upgrade_units(const char* value, const char* units, ERROR_CONTEXT* context);
    void add_xfer_event_code(const char* event_code, ERROR_CONTEXT* context);
    void build_new_kw_list(const char* section, const char* subsection);
    KW_LOCATION locate_keyword_in_new(const ERROR_CONTEXT* context, const KW_SET* set);
    NAME_LIST* find_end_of_set(NAME_LIST* first, UPGRADE_RULE* start_rule) const;

private:
    template <typename Node> class OwnedList;
    using NameList = OwnedList<NAME_LIST>;
    using RuleList = OwnedList<UPGRADE_RULE>;

    RULE_FILTER filter(const char* value, int qualifiers) const;
    [[noreturn]] void fail_listing(const char* message, FileKind file_kind, const ERROR_CONTEXT* context);
    void list_sections(KXCF_FILE* file, NameList& list, const char* failure, FileKind file_kind);
    void list_subsections(KXCF_FILE* file, const char* section, NameList& list, FileKind file_kind,
                          ERROR_CONTEXT* context);
    void read_section_rules(RuleList& rules);
    void read_subsection_rules(const char* rules_section, RuleList& rules, ERROR_CONTEXT* context);
    void read_keyword_rules(const char* rules_section, const char* rules_subsection, RuleList& rules);
    void check_new_names(NAME_LIST* names, const RuleIndex& rules, const char* message, ERROR_CONTEXT* context,
                         bool subsections);
    template <typename Texts>
    bool carried_over(const UPGRADE_RULE* rule, bool seen, const Texts& texts,
                      const ERROR_CONTEXT* context);
    void write_keyword(ERROR_CONTEXT* work, const KW_LOCATION& location);
    KW_LOCATION locate_outside_set(const ERROR_CONTEXT* work, const UPGRADE_RULE* rule);
    KW_LOCATION locate_anywhere(const ERROR_CONTEXT* context) const;
    KW_LOCATION locate_in_set(const ERROR_CONTEXT* context, const KW_SET* set) const;
    NAME_LIST* event_code_after(int line) const;
    void report(int error_number, const std::string& text, FileKind file_kind, Severity severity,
                const ERROR_CONTEXT* context);
    void debug_context(unsigned bit, const char* text, FileKind file_kind, const ERROR_CONTEXT* context) const;

    UPGRADE_RUN& run_;
    KXCF_FILE* new_cfg_;
    KXCF_FILE* prev_cfg_;
    RulesReader rules_;
    NewKeywordList new_list_;
};

#endif

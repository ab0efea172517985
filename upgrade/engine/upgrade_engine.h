/*
 * The merge of the previous configuration file into the temporary copy of
 * the new one. upgrade_all_sections walks the previous file section by
 * section; upgrade_section walks one section's subsections; upgrade_subsection
 * upgrades one keyword list through upgrade_keyword or upgrade_keyword_set.
 * Every edit goes to the new file's handle; every problem is reported
 * through upgrade_error where it is found, nothing is returned upward.
 */
#ifndef UPGRADE_ENGINE_H
#define UPGRADE_ENGINE_H

#include "kxcf.h"
#include "name_lists.h"
#include "upgrade_report.h"

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

/* The keyword lines of the section or subsection being upgraded in the new
 * file (name, value in text, occurrence number in instance), and the mark
 * that says it must be re-read before the next lookup. */
extern NAME_LIST* new_keyword_list;
extern int new_keyword_list_stale;

void upgrade_all_sections(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg);
void upgrade_section(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg,
                     const char* section, const char* rules_section);
void upgrade_subsection(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg,
                        const char* section, const char* subsection, const char* rules_section,
                        const char* rules_subsection);

void upgrade_keyword(KXCF_FILE* new_cfg, NAME_LIST* prev_keyword, UPGRADE_RULE* rule,
                     ERROR_CONTEXT* context, KW_SET* set);
/* VALUE, a blank and UNITS as a malloc'd string, or null when VALUE does
 * not take units (already has them, or is not a bare number). */
char* upgrade_units(const char* value, const char* units, ERROR_CONTEXT* context);
/* Cuts VALUE in place before its "!" and returns the event code after it,
 * or null when there is no "!". */
char* extract_xfer_event_code(char* value);
void add_xfer_event_code(KXCF_FILE* new_cfg, const char* event_code, ERROR_CONTEXT* context);

void build_new_kw_list(KXCF_FILE* new_cfg, const char* section, const char* subsection);
KW_LOCATION locate_keyword_in_new(KXCF_FILE* new_cfg, const ERROR_CONTEXT* context,
                                  const KW_SET* set);
NAME_LIST* find_end_of_set(NAME_LIST* first, UPGRADE_RULE* start_rule);
void upgrade_keyword_set(KXCF_FILE* new_cfg, NAME_LIST* first, UPGRADE_RULE* start_rule,
                         ERROR_CONTEXT* context);

#endif

/*
 * The configuration file upgrade program: driver, reporting, name lists,
 * upgrade rules and the merge engine.
 */
#ifndef CONFIG_UPGRADE_H
#define CONFIG_UPGRADE_H

#include <string>

#include "kxcf.h"

/* ---- Driver and reporting ------------------------------------------------ */

/*
 * A run: upgrade_main(argc, argv) parses the options into upgrade_inputs,
 * starts debugging, completes the inputs (check_program_inputs), checks the
 * previous file with config_check, merges through upgrade_all_sections on
 * the open handles, checks the result and renames the temporary copy into
 * place. It never returns: exit status 0 for a completed upgrade, 1 for
 * anything else.
 *
 * Every problem is reported where it is found:
 *
 *     ERROR_CONTEXT where = {section, subsection, keyword, value, instance};
 *     upgrade_error(0, "Keyword not allowed", FILE_PREV, SEVERITY_ERROR, &where);
 *
 * goes to standard error, to the suite log (tag "ERROR") and, with
 * debug_flags set, to the debug file. ERROR reports are counted; the
 * twentieth ends the run with "Too many errors". upgrade_fatal ends the run
 * at once. Both failed ends save the temporary copy to the output file (-o)
 * or over the new file (-X) when one exists, print the EXIT text and exit 1.
 */

/* The run's inputs: one global record, filled by main and
 * check_program_inputs, read by every later step. Strings live for the
 * whole process. */
typedef struct UPGRADE_INPUTS {
    char* program_name;
    char* new_config_file;
    char* upgrade_rules_file;
    char* prev_config_file;
    char* new_syntax_file;
    char* prev_syntax_file;
    char* kx_version_to_install;
    char* prev_kx_version;
    char* output_config_file;
    int force;
    int test_mode;
    char* tmp_new_config_file;
    char* prev_check_log;
    char* new_check_log;
    KXCF_FILE* new_cfg;
    KXCF_FILE* prev_cfg;
    KXCF_FILE* rules_cfg;
    int error_count;
    int error_limit;
} UPGRADE_INPUTS;

extern UPGRADE_INPUTS upgrade_inputs;

/* ERROR reports that end the run. */
#define UPGRADE_ERROR_LIMIT 20

/* Size of a report text buffer handed to format_error_context; a report
 * that would not fit is cut to UPGRADE_TEXT_SIZE - 1 characters. */
#define UPGRADE_TEXT_SIZE 8192

/* Where a reported problem was found; unset fields are null, instance 0. */
typedef struct ERROR_CONTEXT {
    const char* section;
    const char* subsection;
    const char* keyword;
    const char* value;
    int instance;
} ERROR_CONTEXT;

/* File kinds of a report. */
#define FILE_NONE 0
#define FILE_NEW 1
#define FILE_PREV 2
#define FILE_RULES 3

/* Severities of a report: ERROR is counted, WARNING is not. */
#define SEVERITY_ERROR 0
#define SEVERITY_WARNING 1

/* The program: main hands its arguments here. */
[[noreturn]] void upgrade_main(int argc, char** argv);
void check_program_inputs(void);
[[noreturn]] void print_usage(void);
/* 0 when config_check accepts config_file, else its exit status or the raw
 * status of a command that did not end normally. */
int run_config_check(const char* config_file, const char* syntax_file, const char* log_file);
void open_config_files(void);
void close_config_files(void);

/* Appends the file line and the context lines to text, a buffer of
 * UPGRADE_TEXT_SIZE bytes holding a string. */
void format_error_context(char* text, int file_kind, const ERROR_CONTEXT* context);
void upgrade_error(int error_number, const char* message, int file_kind, int severity,
                   const ERROR_CONTEXT* context);
[[noreturn]] void upgrade_fatal(int error_number, const char* message, int file_kind);
void upgrade_log(char* message);
void upgrade_log_context(const char* message, int file_kind, const ERROR_CONTEXT* context);
void upgrade_debug(const char* message);
void upgrade_debug_context(const char* message, int file_kind, const ERROR_CONTEXT* context);
void upgrade_notify(int error_number, char* message);
void upgrade_notify_class(int notify_level, int error_number, char* message);
/* printf into a string: the one formatter of the program's messages. */
__attribute__((format(printf, 1, 2))) std::string upgrade_format(const char* format, ...);
char* upgrade_strdup(const char* text);
void strip_newline(char* text);
void string_tolower(char* text);
void remove_lock_file(const char* path);

/* ---- Name lists ---------------------------------------------------------- */

/* Rule flags of an UPGRADE_RULE. */
#define RULE_FACTORY 1
#define RULE_CUSTOM 2
#define RULE_DELETE 4
#define RULE_SET 8
#define RULE_START 16
#define RULE_MULTIPLE 32
#define RULE_XFER_EVENT 64
#define RULE_RENAME 128

/* One node of the engine's singly linked lists: names, keywords with their
 * values, and rules (an UPGRADE_RULE is a NAME_LIST node). A node owns its
 * strings and sub-lists. */
typedef struct NAME_LIST {
    char* name;
    int flags;
    int instance;
    struct NAME_LIST* values;
    struct NAME_LIST* versions;
    char* text;
    char* units;
    struct NAME_LIST* next;
} NAME_LIST;

typedef NAME_LIST UPGRADE_RULE;

/* Qualifiers of match_name_list: which restrictions of a rule are tested. */
#define MATCH_VALUES 1   /* the rule's "_value" list against the value */
#define MATCH_VERSIONS 2 /* the rule's "_kx_version" list against the previous version */

/* Lists start empty (null head), grow at the tail and are released whole.
 * append_name_list takes ownership of NAME (a malloc'd copy) and returns the
 * new node with every other field zero, for the caller to fill; running out
 * of memory ends the run. */
NAME_LIST* append_name_list(char* name, NAME_LIST** list);
void free_name_list(NAME_LIST* list);
/* Number of nodes named NAME; right after an append it is the new node's
 * instance number. */
int count_name_list(const char* name, const NAME_LIST* list);

/* The rule that governs NAME: the best-scoring rule whose restrictions allow
 * VALUE (may be null) and the previous version, as selected by QUALIFIERS.
 * Among rules of one score the first applicable one wins; a better-scoring
 * rule that does not apply clears a weaker choice made before it. Null when
 * no rule governs the name. */
UPGRADE_RULE* match_name_list(const char* name, const char* value, UPGRADE_RULE* rules,
                              int qualifiers);
/* match_name_list over one keyword set's rules only: START and the rules
 * after it that carry RULE_SET without RULE_START. */
UPGRADE_RULE* match_name_in_set(const char* name, const char* value, UPGRADE_RULE* start,
                                int qualifiers);
/* How well NAME fits a rule name: 0 for no fit. An exact name scores above
 * every pattern; a ".." pattern scores its literal characters plus 1. */
int name_match_score(const char* name, const char* rule_name);
/* Score of NAME against a ".." PATTERN: when some tail of the name matches
 * the whole pattern (".." any run, none included; every other character
 * itself), the number of literal characters plus 1, else 0. */
int pattern_match_score(const char* name, const char* pattern);
/* 1 when RULE's restrictions selected by QUALIFIERS allow VALUE, else 0. */
int rule_applies(const UPGRADE_RULE* rule, const char* value, int qualifiers);

/* ---- Upgrade rules file -------------------------------------------------- */

/* Reading one level of a rules file:
 *
 *     rules_rewind(rules);
 *     while ((value = upgrade_nextvar(rules, sec, sub, &kw, 0)) != KXCF_FAIL) {
 *         context.keyword = copy of kw;
 *         rule = append_name_list(copy of kw, &list);
 *         parse_upgrade_rule(rules, rule, &context);
 *     }
 *     if (kx_errno != KXCF_ENOKEYWORD) { ... a real error ... }
 *
 * parse_upgrade_rule reads the reserved keywords ("_upgrade", "_kx_version",
 * "_value", "_units", "_rename") that follow the current name; the ordinary
 * keyword that ends them is held and handed out by the next upgrade_nextvar.
 * For a section or subsection rule, call parse_upgrade_rule right after
 * kxcf_nextsection or kxcf_nextsubsection with a context that names it.
 * Every fault found is reported against the rules file and parsing goes on. */

/* One rule word of a level: its flag and the flags it may not join. */
typedef struct RULE_WORD {
    const char* word;
    int flag;
    int conflicts;
} RULE_WORD;

/* The words allowed at each level, ended by a row with a null word. */
extern const RULE_WORD section_rule_words[];
extern const RULE_WORD subsection_rule_words[];
extern const RULE_WORD keyword_rule_words[];

/* Fills RULE from the reserved keywords after the current name. The level
 * is the context's: keyword when it names a keyword, else subsection when
 * it names one, else section. The context names the rules-file place. */
void parse_upgrade_rule(KXCF_FILE* rules, UPGRADE_RULE* rule, const ERROR_CONTEXT* context);
/* The next ordinary keyword of the section's own lines (SUBSECTION null) or
 * of the subsection, stepping over reserved keywords; KXCF_FAIL with kx_errno
 * 1028 at the end. A keyword starting with "_" is returned with a warning.
 * VALUEFLAGS go to kxcf_nextvar; of a held keyword's value, only KXCF_LOWER
 * is applied (callers pass 0). */
const char* upgrade_nextvar(KXCF_FILE* rules, const char* section, const char* subsection,
                            const char** keyword_out, int valueflags);
/* Rewinds the rules file and forgets the held keyword. */
int rules_rewind(KXCF_FILE* rules);
/* The value of the next reserved keyword; KXCF_FAIL with kx_errno 1028 when
 * an ordinary keyword (now held) or the end of the list comes first. */
const char* next_reserved_keyword(KXCF_FILE* rules, const char* section, const char* subsection,
                                  const char** keyword_out);

/* Pieces of parse_upgrade_rule; each reports its own faults. TEXT is
 * changed (lower-cased). */
void parse_rule_words(char* text, const RULE_WORD* table, int* flags,
                      const ERROR_CONTEXT* context);
void parse_version_list(char* text, NAME_LIST** versions, const ERROR_CONTEXT* context);
void add_rule_flag(int flag, int conflicts, int* flags, const ERROR_CONTEXT* context);
/* The word of the lowest known bit of BITS; "" when none is known. */
const char* rule_flag_name(int bits);
void set_rule_units(UPGRADE_RULE* rule, const char* units, const ERROR_CONTEXT* context);
void set_rule_rename(UPGRADE_RULE* rule, const char* new_name, const ERROR_CONTEXT* context);

/* ---- Merge engine -------------------------------------------------------- */

/*
 * The merge of the previous configuration file into the temporary copy of
 * the new one. upgrade_all_sections walks the previous file section by
 * section; upgrade_section walks one section's subsections; upgrade_subsection
 * upgrades one keyword list through upgrade_keyword or upgrade_keyword_set.
 * Every edit goes to the new file's handle; every problem is reported
 * through upgrade_error where it is found, nothing is returned upward.
 */

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

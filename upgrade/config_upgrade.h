/*
 * The configuration file upgrade program: driver, reporting, name lists,
 * upgrade rules and the merge engine.
 */
#ifndef CONFIG_UPGRADE_H
#define CONFIG_UPGRADE_H

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
/* Options into upgrade_inputs and debug_flags; usage text and exit 1 on a
 * bad command line. */
void parse_upgrade_options(int argc, char** argv);
/* The debug_flags bits of a -d level. */
unsigned debug_level_flags(const char* level);
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

/* ---- Upgrade rules file -------------------------------------------------- */

/* ---- Merge engine -------------------------------------------------------- */

void upgrade_all_sections(KXCF_FILE* new_cfg, KXCF_FILE* prev_cfg, KXCF_FILE* rules_cfg);

#endif

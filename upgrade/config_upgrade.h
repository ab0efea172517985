/*
 * The configuration file upgrade program: driver, reporting, name lists,
 * upgrade rules and the merge engine.
 */
#ifndef CONFIG_UPGRADE_H
#define CONFIG_UPGRADE_H

#include "kxcf.h"

/* ---- Driver and reporting ------------------------------------------------ */

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

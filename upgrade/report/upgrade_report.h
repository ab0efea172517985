/*
 * Reporting of the upgrade program, used by every other part: the run's
 * inputs, the place of a problem, and the one way each problem is told.
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
#ifndef UPGRADE_REPORT_H
#define UPGRADE_REPORT_H

#include <string>

#include "kxcf.h"

/* The run's inputs: one global record, filled by the driver, read by every
 * later step. Strings live for the whole process. */
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

/* The configuration file library's lock file of a file: its name + this. */
#define UPGRADE_LOCK_SUFFIX ".lck"

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

/* Appends the file line and the context lines to text, a buffer of
 * UPGRADE_TEXT_SIZE bytes holding a string. */
void format_error_context(char* text, int file_kind, const ERROR_CONTEXT* context);
void upgrade_error(int error_number, const char* message, int file_kind, int severity,
                   const ERROR_CONTEXT* context);
[[noreturn]] void upgrade_fatal(int error_number, const char* message, int file_kind);
/* As upgrade_error and upgrade_fatal, with MORE (further context lines, each
 * ending in a newline) after the file and context lines: what the user
 * needs to find the fault, such as the line of a parse fault. */
void upgrade_error_more(int error_number, const char* message, int file_kind, int severity,
                        const ERROR_CONTEXT* context, const std::string& more);
[[noreturn]] void upgrade_fatal_more(int error_number, const char* message, int file_kind,
                                     const std::string& more);
/* The context line that names the new configuration file at PATH. */
std::string upgrade_new_file_line(const char* path);
void upgrade_log(char* message);
void upgrade_log_context(const char* message, int file_kind, const ERROR_CONTEXT* context);
void upgrade_debug(const char* message);
void upgrade_debug_context(const char* message, int file_kind, const ERROR_CONTEXT* context);
/* A trace line, written only when its bit of debug_flags is set. */
void upgrade_debug_line(unsigned bit, const std::string& text);
void upgrade_notify(int error_number, char* message);
void upgrade_notify_class(int notify_level, int error_number, char* message);
/* printf into a string: the one formatter of the program's messages. */
__attribute__((format(printf, 1, 2))) std::string upgrade_format(const char* format, ...);
char* upgrade_strdup(const char* text);
void strip_newline(char* text);
void string_tolower(char* text);
void remove_lock_file(const char* path);

/* The name the program runs under (argv[0], else "config_upgrade"). */
const char* upgrade_program_label(void);
/* A file name as reports show it: "None" for no file. */
const char* upgrade_file_label(const char* name);
void upgrade_write_stderr(const std::string& text);
/* Where a completed run puts its result: the -o file, else the new file. */
const char* upgrade_result_target(void);
/* Preview (-n), from the run's first step: nothing goes to the suite log
 * and debug traces go to standard error. */
void upgrade_begin_preview(void);
/* The preview's private directory DIR (a name that reaches it through its
 * descriptor): the result and every copy go there (upgrade_result_target
 * and the save-on-failure rule); the reports and the EXIT text still name
 * the real files. */
void upgrade_set_preview(const char* dir);
/* The failed end of a run whose errors were already reported: the
 * save-on-failure rule, the EXIT text, exit status 1. */
[[noreturn]] void upgrade_end_failed_run(void);

#endif

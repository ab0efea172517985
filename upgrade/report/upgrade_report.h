/*
 * Reporting of the upgrade program, used by every other part: the run's
 * inputs and state, the place of a problem, and the one way each problem is
 * told.
 *
 *     ERROR_CONTEXT where = {section, subsection, keyword, value, instance};
 *     upgrade_error(run, 0, "Keyword not allowed", FileKind::previous, Severity::error, &where);
 *
 * goes to standard error, to the suite log (tag "ERROR") and, with
 * debug_flags set, to the debug file. ERROR reports are counted; the
 * twentieth is followed by the "Too many errors" report and ends the run.
 *
 * Nothing here ends the process. A report that ends the run (upgrade_fatal,
 * the twentieth error) throws UPGRADE_ABORT once it has been told; the
 * driver alone catches it, applies the save-on-failure rule, prints the EXIT
 * text and exits. Lower parts only let it pass (their lists and handles are
 * owned, so unwinding frees them).
 */
#ifndef UPGRADE_REPORT_H
#define UPGRADE_REPORT_H

#include <string>
#include <string_view>

#include "kxcf.h"

class DecisionReport;

/* The run's inputs: filled once by the driver, then only read. Strings live
 * for the whole process. */
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
    /* Preview (-n), from the run's first step: nothing goes to the suite log
     * and debug traces go to standard error. */
    int preview;
    /* The preview's private directory (a name that reaches it through its
     * descriptor), once made: the result and every copy go there; the
     * reports and the EXIT text still name the real files. */
    const char* preview_dir;
} UPGRADE_INPUTS;

/* ERROR reports that end the run. */
#define UPGRADE_ERROR_LIMIT 20

/* The run's state: the open files and what the reports have counted. */
typedef struct UPGRADE_STATE {
    KXCF_FILE* new_cfg = nullptr;
    KXCF_FILE* prev_cfg = nullptr;
    KXCF_FILE* rules_cfg = nullptr;
    int error_count = 0;
    int error_limit = UPGRADE_ERROR_LIMIT;
    bool error_limit_reached = false;
    DecisionReport* decisions = nullptr;  /* the decision report (--report), or null */
    /* The suite log's failure is said once; reporting it is no change of
     * the run, so a reader of the run may note it. */
    mutable bool log_failure_reported = false;
} UPGRADE_STATE;

/* One run: what every part reads (the inputs) and changes (the state). */
typedef struct UPGRADE_RUN {
    const UPGRADE_INPUTS& inputs;
    UPGRADE_STATE state;
} UPGRADE_RUN;

/* Thrown once the report that ends the run has been told. */
struct UPGRADE_ABORT {};

/* Size limit of a report text: a longer one is cut to UPGRADE_TEXT_SIZE - 1
 * characters. */
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

/* The file a report names: new means the -o file when there is one. */
enum class FileKind { none = 0, new_file = 1, previous = 2, rules = 3 };
/* ERROR is counted, WARNING is not. */
enum class Severity { error = 0, warning = 1 };

/* The file line and the context lines of a report. */
std::string format_error_context(const UPGRADE_RUN& run, FileKind file_kind, const ERROR_CONTEXT* context);
void upgrade_error(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind,
                   Severity severity, const ERROR_CONTEXT* context);
/* Reports (when a number or a message is given) and throws UPGRADE_ABORT. */
[[noreturn]] void upgrade_fatal(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind);
/* As upgrade_error and upgrade_fatal, with MORE (further context lines, each
 * ending in a newline) after the file and context lines: what the user
 * needs to find the fault, such as the line of a parse fault. */
void upgrade_error_more(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind,
                        Severity severity, const ERROR_CONTEXT* context, const std::string& more);
[[noreturn]] void upgrade_fatal_more(UPGRADE_RUN& run, int error_number, const char* message,
                                     FileKind file_kind, const std::string& more);
/* The context line that names the new configuration file at PATH. */
std::string upgrade_new_file_line(const char* path);
void upgrade_log(const UPGRADE_RUN& run, char* message);
void upgrade_log_context(const UPGRADE_RUN& run, const char* message, FileKind file_kind,
                         const ERROR_CONTEXT* context);
void upgrade_debug(const UPGRADE_RUN& run, const char* message);
void upgrade_debug_context(const UPGRADE_RUN& run, const char* message, FileKind file_kind,
                           const ERROR_CONTEXT* context);
/* A trace line, written only when its bit of debug_flags is set; the
 * second form is formatted only then (a trace line per keyword would
 * otherwise cost a formatting per keyword in every run). */
void upgrade_debug_line(const UPGRADE_RUN& run, unsigned bit, std::string_view text);
__attribute__((format(printf, 3, 4))) void upgrade_debug_format(const UPGRADE_RUN& run, unsigned bit,
                                                                const char* format, ...);
void upgrade_notify(const UPGRADE_RUN& run, int error_number, char* message);
/* printf into a string: the one formatter of the program's messages. */
__attribute__((format(printf, 1, 2))) std::string upgrade_format(const char* format, ...);
/* A malloc'd copy; std::bad_alloc when memory runs out. */
char* upgrade_strdup(const char* text);
void strip_newline(char* text);
void string_tolower(char* text);
void remove_lock_file(const char* path);

/* The name the program runs under (argv[0], else "config_upgrade"). */
const char* upgrade_program_label(const UPGRADE_INPUTS& inputs);
/* A file name as reports show it: "None" for no file. */
const char* upgrade_file_label(const char* name);
void upgrade_write_stderr(const std::string& text);
/* Where a completed run puts its result: the -o file, else the new file; in
 * a preview, the file of that name in the preview directory. */
std::string upgrade_result_target(const UPGRADE_INPUTS& inputs);
/* The file that PATH stands for in a preview: PATH's last component in the
 * preview directory; PATH itself in a real run. */
std::string upgrade_preview_path(const UPGRADE_INPUTS& inputs, const char* path);

#endif

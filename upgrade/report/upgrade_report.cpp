// Reporting of the upgrade program: every problem any part finds goes
// through upgrade_error or upgrade_fatal here, and so does the failed end
// with its save-on-failure rule and EXIT text.
#include "upgrade_report.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_qzt.h"
#include "kxcf.h"

UPGRADE_INPUTS upgrade_inputs = [] {
    UPGRADE_INPUTS inputs{};
    inputs.error_limit = UPGRADE_ERROR_LIMIT;
    return inputs;
}();

namespace {

constexpr const char* kMsgTooMany = "Too many errors";
constexpr const char* kMsgMalloc = "malloc failed";

constexpr const char* kExitFailed = "EXIT: Kestrix Configuration File Upgrade FAILED\n";
constexpr const char* kExitSaved =
    "  Modifications to New configuration file were saved with errors\n"
    "  Running Kestrix with this configuration file may have erroneous results\n";
constexpr const char* kExitNotSaved = "  Modifications to New configuration file were NOT saved";

constexpr const char* kLabelNewFile = "  New Config File: ";
constexpr const char* kLabelOutputFile = "  Output Config File: ";
constexpr const char* kLabelPrevFile = "  Previous Config File: ";
constexpr const char* kLabelRulesFile = "  Upgrade Rules File: ";
constexpr const char* kNoFile = "None";

constexpr const char* kTagUpgrade = "UPGRADE";
constexpr const char* kMsgLogUnwritable =
    "WARNING: Cannot write the log file %s: %s\n  The log misses entries of this run\n\n";

// A preview works in a private directory and writes nothing under the
// installation: no suite log entry and no debug file, from its first step on
// (the directory is made after the run is known to be a preview).
bool preview_mode = false;
std::string preview_dir;
bool previewing() { return preview_mode; }

// Where the real run would put its result.
const char* real_result_target() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    return in.output_config_file ? in.output_config_file : in.new_config_file;
}

// The preview's stand-in for PATH: a file of the same name in its directory.
// Held at namespace scope, so that it outlives the end-of-run handlers
// that still ask for it.
std::string preview_held;
const char* preview_path(const char* path) {
    std::string name = path;
    preview_held = preview_dir + "/" + basename(name.data());
    return preview_held.c_str();
}

void cut_report(std::string& text) {
    if (text.size() >= UPGRADE_TEXT_SIZE) text.resize(UPGRADE_TEXT_SIZE - 1);
}

void strip_last_newline(std::string& text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
}

// A log file that cannot be written is said once on standard error: the
// run's entries would otherwise be lost without anyone being told.
bool log_failure_reported = false;

void report_log_failure() {
    int reason = 0;
    const char* log_file = nullptr;
    if (log_failure_reported || kx_log_failures(&reason, &log_file) == 0) return;
    log_failure_reported = true;
    upgrade_write_stderr(upgrade_format(kMsgLogUnwritable, log_file, std::strerror(reason)));
}

// A preview's traces go to standard error: the debug file is the
// installation's.
void debug_write(const std::string& text) {
    if (previewing()) {
        upgrade_write_stderr(text.empty() || text.back() != '\n' ? text + "\n" : text);
        return;
    }
    kx_dbg(text.c_str());
    dbg_flush();
}

void append_file_line(std::string& text, int file_kind) {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    switch (file_kind) {
    case FILE_NEW:
        if (in.output_config_file)
            text.append(kLabelOutputFile).append(in.output_config_file);
        else
            text.append(kLabelNewFile).append(upgrade_file_label(in.new_config_file));
        break;
    case FILE_PREV:
        text.append(kLabelPrevFile).append(upgrade_file_label(in.prev_config_file));
        break;
    case FILE_RULES:
        text.append(kLabelRulesFile).append(upgrade_file_label(in.upgrade_rules_file));
        break;
    default:
        return;
    }
    text.append("\n");
}

void append_error_context(std::string& text, int file_kind, const ERROR_CONTEXT* context) {
    append_file_line(text, file_kind);
    if (!context) return;
    const struct {
        const char* label;
        const char* value;
    } lines[] = {{"  Section:     ", context->section},
                 {"  Subsection:  ", context->subsection},
                 {"  Keyword:     ", context->keyword},
                 {"  Value:       ", context->value}};
    for (const auto& line : lines)
        if (line.value) text.append(line.label).append(line.value).append("\n");
    if (context->instance != 0)
        text.append(upgrade_format("  Instance:    %d\n", context->instance));
}

// ---- Failed end -----------------------------------------------------------------

// What the save-on-failure rule did; it acts once, so a second failed end in
// the same run (a fatal error that is also the twentieth) reports the same.
enum class SaveState { pending, saved, not_saved };
SaveState save_state = SaveState::pending;

const char* failure_target() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    if (in.output_config_file) return in.output_config_file;
    if (in.force) return in.new_config_file;
    return nullptr;
}

// Where the save-on-failure rule puts the copy; a preview keeps it in its
// own directory.
const char* failure_destination() {
    const char* target = failure_target();
    return target && !preview_dir.empty() ? preview_path(target) : target;
}

// Puts the temporary copy where -o or -X asks for it. A copy whose rename
// fails stays under its own name and the EXIT text says it was not saved.
void apply_save_on_failure() {
    const char* tmp = upgrade_inputs.tmp_new_config_file;
    if (!tmp) {
        save_state = SaveState::not_saved;
        return;
    }
    if (save_state != SaveState::pending) return;
    // A run that ends in the middle of the merge still holds its edits in
    // memory: they go into the copy first, so that what is saved or left
    // for inspection is the partly merged file, not the factory one.
    if (upgrade_inputs.new_cfg) kxcf_flush(upgrade_inputs.new_cfg);
    // Saved like a completed result: behind a symbolic link the linked file
    // is replaced, and the owner, group and mode of the replaced file stay.
    const char* target = failure_destination();
    save_state = target && replace_file(tmp, target) == 0 ? SaveState::saved : SaveState::not_saved;
    remove_lock_file(tmp);
}

[[noreturn]] void exit_with_exit_text() {
    std::string text = kExitFailed;
    if (save_state == SaveState::saved) {
        text.append(kExitSaved);
        text.append(upgrade_inputs.output_config_file ? kLabelOutputFile : kLabelNewFile);
        text.append(failure_target());
    } else {
        text.append(kExitNotSaved);
    }
    std::string logged = text;
    upgrade_log(logged.data());
    upgrade_write_stderr(text + "\n\n");
    std::exit(1);
}

void count_error() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    if (++in.error_count < in.error_limit) return;
    // Below the limit again while the closing report is counted.
    in.error_count = -1;
    apply_save_on_failure();
    upgrade_error(0, kMsgTooMany, FILE_NONE, SEVERITY_ERROR, nullptr);
    exit_with_exit_text();
}

}  // namespace

const char* upgrade_program_label() {
    return upgrade_inputs.program_name ? upgrade_inputs.program_name : "config_upgrade";
}

const char* upgrade_file_label(const char* text) { return text ? text : kNoFile; }

void upgrade_write_stderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// A trace line, written only when its debug bit is set.
void upgrade_debug_line(unsigned bit, const std::string& text) {
    if (debug_flags & bit) debug_write(text);
}

// Where a completed run puts its result.
const char* upgrade_result_target() {
    const char* target = real_result_target();
    return target && !preview_dir.empty() ? preview_path(target) : target;
}

void upgrade_begin_preview() { preview_mode = true; }

void upgrade_set_preview(const char* dir) { preview_dir = dir ? dir : ""; }

std::string upgrade_new_file_line(const char* path) {
    return std::string(kLabelNewFile) + upgrade_file_label(path) + "\n";
}

[[noreturn]] void upgrade_end_failed_run() {
    apply_save_on_failure();
    exit_with_exit_text();
}

void format_error_context(char* text, int file_kind, const ERROR_CONTEXT* context) {
    if (!text) return;
    std::string report = text;
    append_error_context(report, file_kind, context);
    cut_report(report);
    std::memcpy(text, report.c_str(), report.size() + 1);
}

void upgrade_error(int error_number, const char* message, int file_kind, int severity,
                   const ERROR_CONTEXT* context) {
    upgrade_error_more(error_number, message, file_kind, severity, context, "");
}

void upgrade_error_more(int error_number, const char* message, int file_kind, int severity,
                        const ERROR_CONTEXT* context, const std::string& more) {
    std::string text;
    if (error_number != 0 || message) {
        if (severity == SEVERITY_ERROR) text = "ERROR: ";
        if (severity == SEVERITY_WARNING) text = "WARNING: ";
    }
    if (error_number != 0) {
        text.append(upgrade_format("%d\t", error_number));
        if (char* known = kx_errmsg(error_number)) {
            text.append("\n").append(known);
            std::free(known);
        }
        text.append("\n");
    }
    if (message) text.append(message).append("\n");
    append_error_context(text, file_kind, context);
    text.append(more);
    cut_report(text);
    strip_last_newline(text);

    kx_errno = 0;
    if (!previewing()) kx_error_notify(KX_NOTIFY_LOG, upgrade_program_label(), 0, text.c_str(), nullptr);
    report_log_failure();
    if (debug_flags != 0) debug_write(upgrade_format("ERROR: %d  %s\n", 0, text.c_str()));
    upgrade_write_stderr(text + "\n\n");
    if (severity == SEVERITY_ERROR) count_error();
}

void upgrade_fatal(int error_number, const char* message, int file_kind) {
    upgrade_fatal_more(error_number, message, file_kind, "");
}

void upgrade_fatal_more(int error_number, const char* message, int file_kind, const std::string& more) {
    apply_save_on_failure();
    if (error_number != 0 || message)
        upgrade_error_more(error_number, message, file_kind, SEVERITY_ERROR, nullptr, more);
    exit_with_exit_text();
}

void upgrade_log(char* message) {
    if (!message) return;
    strip_newline(message);
    if (!previewing()) kx_log_message(nullptr, kTagUpgrade, upgrade_program_label(), message);
    report_log_failure();
    if (debug_flags != 0) debug_write(std::string(message) + "\n");
}

void upgrade_log_context(const char* message, int file_kind, const ERROR_CONTEXT* context) {
    std::string text = message ? message : "";
    append_error_context(text, file_kind, context);
    cut_report(text);
    upgrade_log(text.data());
}

void upgrade_debug(const char* message) { debug_write(message ? message : ""); }

void upgrade_debug_context(const char* message, int file_kind, const ERROR_CONTEXT* context) {
    std::string text = message ? message : "";
    append_error_context(text, file_kind, context);
    cut_report(text);
    debug_write(text);
}

void upgrade_notify(int error_number, char* message) {
    strip_newline(message);
    upgrade_notify_class(KX_NOTIFY_LOG, error_number, message);
}

void upgrade_notify_class(int notify_level, int error_number, char* message) {
    kx_errno = error_number;
    if (!previewing()) kx_error_notify(notify_level, upgrade_program_label(), error_number, message, nullptr);
    report_log_failure();
    if (debug_flags != 0)
        debug_write(upgrade_format("ERROR: %d  %s\n", error_number, message ? message : ""));
}

std::string upgrade_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

char* upgrade_strdup(const char* text) {
    if (!text) return nullptr;
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (!copy) upgrade_fatal(errno, kMsgMalloc, FILE_NONE);
    std::memcpy(copy, text, size);
    return copy;
}

void strip_newline(char* text) {
    if (!text) return;
    std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
}

void string_tolower(char* text) {
    if (!text) return;
    for (char* p = text; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
}

void remove_lock_file(const char* path) {
    if (!path) return;
    std::string lock = std::string(path) + UPGRADE_LOCK_SUFFIX;
    ::unlink(lock.c_str());
}

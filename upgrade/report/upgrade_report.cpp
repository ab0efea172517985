// Reporting of the upgrade program: every problem any part finds goes
// through upgrade_error or upgrade_fatal here.
#include "upgrade_report.h"

#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "decision_report.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_qzt.h"
#include "kxcf.h"

namespace {

constexpr const char* kMsgTooMany = "Too many errors";

constexpr const char* kLabelNewFile = "  New Config File: ";
constexpr const char* kLabelOutputFile = "  Output Config File: ";
constexpr const char* kLabelPrevFile = "  Previous Config File: ";
constexpr const char* kLabelRulesFile = "  Upgrade Rules File: ";
constexpr const char* kNoFile = "None";
constexpr const char* kDefaultProgram = "config_upgrade";

constexpr const char* kTagUpgrade = "UPGRADE";
constexpr const char* kMsgLogUnwritable =
    "WARNING: Cannot write the log file %s: %s\n  The log misses entries of this run\n\n";

// A preview writes nothing under the installation: no suite log entry and
// no debug file, from its first step on.
bool previewing(const UPGRADE_INPUTS& in) { return in.preview != 0; }

void cut_report(std::string& text) {
    if (text.size() >= UPGRADE_TEXT_SIZE) text.resize(UPGRADE_TEXT_SIZE - 1);
}

void strip_last_newline(std::string& text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
}

// A preview works on files of its private directory, reached through the
// directory's descriptor; every one of them stands for a file the real run
// makes beside the result. Its reports name them as the real run would, so
// that they read alike and name no directory that is gone when it ends.
std::string as_real_run_names(const UPGRADE_INPUTS& in, const char* text) {
    std::string shown = text;
    if (!in.preview_dir) return shown;
    const std::string private_prefix = std::string(in.preview_dir) + "/";
    const std::string result = in.output_config_file ? in.output_config_file : upgrade_file_label(in.new_config_file);
    const std::string real_prefix = result.substr(0, result.rfind('/') + 1);
    for (size_t at = shown.find(private_prefix); at != std::string::npos;
         at = shown.find(private_prefix, at + real_prefix.size()))
        shown.replace(at, private_prefix.size(), real_prefix);
    return shown;
}

// A log file that cannot be written is said once on standard error: the
// run's entries would otherwise be lost without anyone being told.
void report_log_failure(const UPGRADE_STATE& state) {
    int reason = 0;
    const char* log_file = nullptr;
    if (state.log_failure_reported || kx_log_failures(&reason, &log_file) == 0) return;
    state.log_failure_reported = true;
    upgrade_write_stderr(upgrade_format(kMsgLogUnwritable, log_file, std::strerror(reason)));
}

// A preview's traces go to standard error: the debug file is the
// installation's.
void debug_write(const UPGRADE_INPUTS& in, const std::string& text) {
    if (previewing(in)) {
        upgrade_write_stderr(text.empty() || text.back() != '\n' ? text + "\n" : text);
        return;
    }
    kx_dbg(text.c_str());
    dbg_flush();
}

void append_file_line(std::string& text, const UPGRADE_INPUTS& in, FileKind file_kind) {
    switch (file_kind) {
    case FileKind::new_file:
        if (in.output_config_file)
            text.append(kLabelOutputFile).append(in.output_config_file);
        else
            text.append(kLabelNewFile).append(upgrade_file_label(in.new_config_file));
        break;
    case FileKind::previous:
        text.append(kLabelPrevFile).append(upgrade_file_label(in.prev_config_file));
        break;
    case FileKind::rules:
        text.append(kLabelRulesFile).append(upgrade_file_label(in.upgrade_rules_file));
        break;
    case FileKind::none:
        return;
    }
    text.append("\n");
}

void append_error_context(std::string& text, const UPGRADE_INPUTS& in, FileKind file_kind,
                          const ERROR_CONTEXT* context) {
    append_file_line(text, in, file_kind);
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

// The twentieth error is followed by the report that says so, and the run
// ends. The count goes below the limit first, so that the closing report,
// itself counted, does not end the run a second time.
void count_error(UPGRADE_RUN& run) {
    UPGRADE_STATE& state = run.state;
    if (++state.error_count < state.error_limit) return;
    state.error_count = -1;
    state.error_limit_reached = true;
    upgrade_error(run, 0, kMsgTooMany, FileKind::none, Severity::error, nullptr);
    throw UPGRADE_ABORT{};
}

// The report as the decision report keeps it, when there is one.
void note_report(const UPGRADE_RUN& run, Severity severity, int error_number, const char* message,
                 FileKind file_kind, const ERROR_CONTEXT* context, const std::string& text) {
    DecisionReport* decisions = run.state.decisions;
    if (!decisions) return;
    static const char* const kFileNames[] = {nullptr, "new", "previous", "rules"};
    const char* file = kFileNames[static_cast<int>(file_kind)];
    if (file_kind == FileKind::new_file && run.inputs.output_config_file) file = "output";
    const ERROR_CONTEXT none = {nullptr, nullptr, nullptr, nullptr, 0};
    const ERROR_CONTEXT& c = context ? *context : none;
    auto name = [](const char* s) { return std::string(s ? s : ""); };
    decisions->reported({severity == Severity::error, error_number, name(message), file,
                         {name(c.section), name(c.subsection), name(c.keyword), c.instance}, name(c.value),
                         c.value != nullptr, text});
}

}  // namespace

const char* upgrade_program_label(const UPGRADE_INPUTS& in) {
    return in.program_name ? in.program_name : kDefaultProgram;
}

const char* upgrade_file_label(const char* text) { return text ? text : kNoFile; }

void upgrade_write_stderr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void upgrade_debug_line(const UPGRADE_RUN& run, unsigned bit, std::string_view text) {
    if (debug_flags & bit) debug_write(run.inputs, std::string(text));
}

std::string upgrade_preview_path(const UPGRADE_INPUTS& in, const char* path) {
    if (!in.preview_dir) return path;
    std::string name = path;
    return std::string(in.preview_dir) + "/" + basename(name.data());
}

std::string upgrade_result_target(const UPGRADE_INPUTS& in) {
    const char* target = in.output_config_file ? in.output_config_file : in.new_config_file;
    return target ? upgrade_preview_path(in, target) : std::string();
}

std::string upgrade_new_file_line(const char* path) {
    return std::string(kLabelNewFile) + upgrade_file_label(path) + "\n";
}

std::string format_error_context(const UPGRADE_RUN& run, FileKind file_kind, const ERROR_CONTEXT* context) {
    std::string text;
    append_error_context(text, run.inputs, file_kind, context);
    cut_report(text);
    return text;
}

void upgrade_error(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind,
                   Severity severity, const ERROR_CONTEXT* context) {
    upgrade_error_more(run, error_number, message, file_kind, severity, context, "");
}

void upgrade_error_more(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind,
                        Severity severity, const ERROR_CONTEXT* context, const std::string& more) {
    const std::string shown_message = message ? as_real_run_names(run.inputs, message) : std::string();
    if (message) message = shown_message.c_str();
    std::string text;
    if (error_number != 0 || message) text = severity == Severity::error ? "ERROR: " : "WARNING: ";
    if (error_number != 0) {
        text.append(upgrade_format("%d\t", error_number));
        if (char* known = kx_errmsg(error_number)) {
            text.append("\n").append(known);
            std::free(known);
        }
        text.append("\n");
    }
    if (message) text.append(message).append("\n");
    append_error_context(text, run.inputs, file_kind, context);
    text.append(as_real_run_names(run.inputs, more.c_str()));
    cut_report(text);
    strip_last_newline(text);

    kx_errno = 0;
    if (!previewing(run.inputs))
        kx_error_notify(KX_NOTIFY_LOG, upgrade_program_label(run.inputs), 0, text.c_str(), nullptr);
    report_log_failure(run.state);
    if (debug_flags != 0) debug_write(run.inputs, upgrade_format("ERROR: %d  %s\n", 0, text.c_str()));
    upgrade_write_stderr(text + "\n\n");
    note_report(run, severity, error_number, message, file_kind, context, text);
    if (severity == Severity::error) count_error(run);
}

void upgrade_fatal(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind) {
    upgrade_fatal_more(run, error_number, message, file_kind, "");
}

void upgrade_fatal_more(UPGRADE_RUN& run, int error_number, const char* message, FileKind file_kind,
                        const std::string& more) {
    if (error_number != 0 || message)
        upgrade_error_more(run, error_number, message, file_kind, Severity::error, nullptr, more);
    throw UPGRADE_ABORT{};
}

void upgrade_log(const UPGRADE_RUN& run, char* message) {
    if (!message) return;
    strip_newline(message);
    if (!previewing(run.inputs)) kx_log_message(nullptr, kTagUpgrade, upgrade_program_label(run.inputs), message);
    report_log_failure(run.state);
    if (debug_flags != 0) debug_write(run.inputs, std::string(message) + "\n");
}

void upgrade_log_context(const UPGRADE_RUN& run, const char* message, FileKind file_kind,
                         const ERROR_CONTEXT* context) {
    std::string text = message ? message : "";
    append_error_context(text, run.inputs, file_kind, context);
    cut_report(text);
    upgrade_log(run, text.data());
}

void upgrade_debug(const UPGRADE_RUN& run, const char* message) { debug_write(run.inputs, message ? message : ""); }

void upgrade_debug_context(const UPGRADE_RUN& run, const char* message, FileKind file_kind,
                           const ERROR_CONTEXT* context) {
    std::string text = message ? message : "";
    append_error_context(text, run.inputs, file_kind, context);
    cut_report(text);
    debug_write(run.inputs, text);
}

void upgrade_notify(const UPGRADE_RUN& run, int error_number, char* message) {
    strip_newline(message);
    kx_errno = error_number;
    if (!previewing(run.inputs))
        kx_error_notify(KX_NOTIFY_LOG, upgrade_program_label(run.inputs), error_number, message, nullptr);
    report_log_failure(run.state);
    if (debug_flags != 0)
        debug_write(run.inputs, upgrade_format("ERROR: %d  %s\n", error_number, message ? message : ""));
}

namespace {

std::string format_list(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

}  // namespace

std::string upgrade_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_list(format, args);
    va_end(args);
    return text;
}

void upgrade_debug_format(const UPGRADE_RUN& run, unsigned bit, const char* format, ...) {
    if (!(debug_flags & bit)) return;
    va_list args;
    va_start(args, format);
    std::string text = format_list(format, args);
    va_end(args);
    debug_write(run.inputs, text);
}

char* upgrade_strdup(const char* text) {
    if (!text) return nullptr;
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (!copy) throw std::bad_alloc();
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

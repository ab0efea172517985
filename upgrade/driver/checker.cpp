// The config_check runs: the checker started without a shell, its output in
// the check log this program creates, and what a failed check reports.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver_internal.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"

namespace driver {
namespace {

constexpr const char* kCheckProgram = "config_check";
constexpr const char* kMsgPrevCheck = "%s failed for Previous Config file\n  Errors are in log file: %s";
constexpr const char* kMsgNewCheck = "%s failed for New Config file\n  Errors are in log file: %s";
// A checker that did not end normally; the wording is the one the suite
// has always printed, though no shell runs the checker now.
constexpr const char* kMsgCheckerAbnormal = "system() returns %d for command:\n\t%s";

constexpr int kSystemFailure = 8010;  // the checker did not end normally

constexpr const char* kHintNotRun = "  %s cannot be run: %s\n";
constexpr const char* kHintSyntaxUnusable = "  The syntax file cannot be used: %s\n";
constexpr const char* kHintFinding = "  %s\n";
constexpr const char* kHintMoreFindings = "  ... %d more lines in the log file\n";
constexpr const char* kMsgCheckLog = "Check log %s cannot be created";
constexpr const char* kHintNotRegular = "  It exists and is not a regular file\n";
constexpr std::size_t kFindingsShown = 20;
constexpr int kCheckerSyntaxUnusable = 2;  // config_check: usage error or unusable syntax file

// Quotes a name for the shell, so that the command shown in a report can be
// pasted into one and run the same check.
std::string shell_quote(const char* text) {
    std::string quoted = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'')
            quoted.append("'\\''");
        else
            quoted.push_back(*p);
    }
    quoted.push_back('\'');
    return quoted;
}

// The check log is made afresh by this program: a stale log, or a symbolic
// link planted in its place, is removed and never written through; a
// directory or anything else that stays at the name ends the run.
int open_check_log(DriverRun& d, const char* log_file) {
    const int fd = open_new_file(log_file, 0666);
    if (fd >= 0) return fd;
    const std::string message = upgrade_format(kMsgCheckLog, log_file);
    if (kx_errno == EEXIST) upgrade_fatal_more(d.run, EEXIST, message.c_str(), FileKind::none, kHintNotRegular);
    upgrade_fatal(d.run, kx_errno, message.c_str(), FileKind::none);
}

}  // namespace

// Starts PROGRAM with ARGS (no shell) with its standard output on OUT_FD
// (when not -1) and waits for it. A failed exec comes back through a pipe
// that closes on a successful one, so "could not be started" is told apart
// from "ran and failed".
ProgramRun spawn_program(const std::string& program, const std::vector<std::string>& args, int out_fd,
                         int& wait_errno) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return {kNotStarted, std::strerror(errno)};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int reason = errno;
        ::close(report[0]);
        ::close(report[1]);
        return {kNotStarted, std::strerror(reason)};
    }
    if (pid == 0) {
        // dup2 clears close-on-exec on the copy; a log that got descriptor 1
        // itself (standard output was closed) needs it cleared by hand.
        if (out_fd == STDOUT_FILENO)
            ::fcntl(out_fd, F_SETFD, 0);
        else if (out_fd >= 0)
            ::dup2(out_fd, STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        const int reason = errno;
        (void)!::write(report[1], &reason, sizeof reason);
        ::_exit(kNotStarted);
    }
    ::close(report[1]);
    int exec_errno = 0;
    ssize_t got;
    while ((got = ::read(report[0], &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    int status = 0;
    wait_errno = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        wait_errno = errno;
        status = -1;
        break;
    }
    if (got == static_cast<ssize_t>(sizeof exec_errno)) return {kNotStarted, std::strerror(exec_errno)};
    return {status, ""};
}

namespace {

// The command a shell user would type for the same check, for reports.
std::string shown_command(const std::vector<std::string>& args, const char* log_file) {
    std::string command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i)
        command.append(" ").append(args[i][0] == '-' ? args[i] : shell_quote(args[i].c_str()));
    if (log_file) command.append(" >").append(shell_quote(log_file));
    return command;
}

ProgramRun run_checker(DriverRun& d, const char* config_file, const char* syntax_file, const char* log_file) {
    upgrade_debug_line(d.run, show_funcs, "run_config_check:\n");
    std::vector<std::string> args = {kCheckProgram, "-c", config_file, "-s", syntax_file};
    if (d.inputs.test_mode) args.push_back("-z");
    const int log_fd = log_file ? open_check_log(d, log_file) : -1;
    const std::string program = program_along_path(kCheckProgram);
    int wait_errno = 0;
    ProgramRun run = program.empty() ? ProgramRun{kNotStarted, kHintNotFound}
                                   : spawn_program(program, args, log_fd, wait_errno);
    if (log_fd >= 0) ::close(log_fd);
    if (!run.not_run.empty() || run.status == 0) return run;
    if ((run.status & 0xff) != 0) {  // killed by a signal, or not waited for
        kx_errno = wait_errno != 0 ? wait_errno : kSystemFailure;
        upgrade_error(d.run, kx_errno,
                      upgrade_format(kMsgCheckerAbnormal, run.status, shown_command(args, log_file).c_str()).c_str(),
                      FileKind::none, Severity::error, nullptr);
        return run;
    }
    run.status = (run.status >> 8) & 0xff;
    return run;
}

// The first lines of a failed check's log, as context lines of its report,
// so that the findings are on the terminal without opening the log.
std::string first_findings(const char* log_file) {
    if (!log_file) return {};
    const int fd = ::open(log_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE* log = fd >= 0 ? ::fdopen(fd, "r") : nullptr;
    if (!log) {
        if (fd >= 0) ::close(fd);
        return {};
    }
    std::string shown;
    std::size_t lines = 0;
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, log)) >= 0) {
        if (++lines > kFindingsShown) continue;
        std::string text(line, static_cast<std::size_t>(length));
        if (!text.empty() && text.back() == '\n') text.pop_back();
        shown.append(upgrade_format(kHintFinding, text.c_str()));
    }
    std::free(line);
    std::fclose(log);
    if (lines > kFindingsShown)
        shown.append(upgrade_format(kHintMoreFindings, static_cast<int>(lines - kFindingsShown)));
    return shown;
}

// What the user needs to fix a failed check: why the checker did not run,
// or that the syntax file was unusable, and the findings.
std::string check_failure_hints(const ProgramRun& run, const char* syntax_file, const char* log_file) {
    if (!run.not_run.empty()) return upgrade_format(kHintNotRun, kCheckProgram, run.not_run.c_str());
    std::string hints;
    if (run.status == kCheckerSyntaxUnusable) hints = upgrade_format(kHintSyntaxUnusable, syntax_file);
    return hints + first_findings(log_file);
}

// A failed check ends the run unless -X asks to go on with a counted error;
// a passed check leaves no log behind.
void check_file(DriverRun& d, const char* config_file, const char* syntax_file, const char* log_file,
                const char* failure_format, FileKind file_kind) {
    const ProgramRun run = run_checker(d, config_file, syntax_file, log_file);
    if (run.status == 0) {
        if (log_file) ::unlink(log_file);
        return;
    }
    std::string message = upgrade_format(failure_format, kCheckProgram, upgrade_file_label(log_file));
    const std::string hints = check_failure_hints(run, syntax_file, log_file);
    if (!d.inputs.force) upgrade_fatal_more(d.run, 0, message.c_str(), file_kind, hints);
    upgrade_error_more(d.run, 0, message.c_str(), file_kind, Severity::error, nullptr, hints);
}

}  // namespace

void check_previous_file(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    if (!in.prev_config_file || !in.prev_syntax_file) return;
    check_file(d, in.prev_config_file, in.prev_syntax_file, in.prev_check_log, kMsgPrevCheck, FileKind::previous);
}

void check_result_file(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    check_file(d, in.tmp_new_config_file, in.new_syntax_file, in.new_check_log, kMsgNewCheck, FileKind::none);
}

std::string program_along_path(const char* name) {
    char* found = kx_find_program(name);
    const std::string path = found ? found : "";
    std::free(found);
    return path;
}

}  // namespace driver

// Error notification: announces a failure on the channels the caller picks.

#include "kx_qzt.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ev_admin.h"
#include "kx_errno.h"
#include "kx_dbg.h"
#include "kxevent.h"
#include "kx_guards.h"
#include "kx_main_config.h"
#include "kx_notify_internal.h"

namespace {

constexpr const char* kDefaultMailProgram = "/usr/lib/sendmail";

std::string& mail_program() {
    static std::string path = kDefaultMailProgram;
    return path;
}

// One failure to announce, with every argument made a string of its own.
struct Notice {
    std::string program;
    int number = 0;
    std::string message;
    std::string additional;
    std::string log_file;
};

std::string text_of(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

struct FreeGuard {
    char* p;
    ~FreeGuard() { std::free(p); }
};

std::string message_of(int number) {
    const FreeGuard text{kx_errmsg(number)};
    return text_of(text.p);
}

std::string error_line(int number) {
    return number > 0 ? "Error: " + std::to_string(number) + "\n" : std::string();
}

// The event channel: an "admin"/"error" event queued for the vendor, whose
// data names the program, the number, its text and the additional text.
// Its outcome does not concern the other channels.
void send_error_event(const Notice& n) {
    const std::string data = EV_LABEL_PROGRAM_NAME + n.program + "\n" + EV_LABEL_ERROR_NUMBER +
                             std::to_string(n.number) + "\n" + EV_LABEL_ERROR_STRING + n.message +
                             "\n" + EV_LABEL_ADDITIONAL_TEXT + n.additional + "\n";
    const std::string code = std::to_string(n.number);
    event_generate(EV_ADMIN_TYPE, EV_ADMIN_ERROR_SUBTYPE, EV_ADMIN_ERROR_VERSION, code.c_str(),
                   EV_ADMIN_ERROR_COLLECTOR, EV_ADMIN_ERROR_COLLECTOR_VERSION,
                   EV_ADMIN_ERROR_DESCRIPTION, KX_DATA_INLINE, data.c_str(), nullptr, 0, 0,
                   nullptr, 0);
}

// --- mail -----------------------------------------------------------------

using kx_internal::Fd;

bool make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

// A write to a mail program that has gone away must not kill the caller.
class IgnoreBrokenPipe {
public:
    IgnoreBrokenPipe() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &old_);
    }
    ~IgnoreBrokenPipe() { ::sigaction(SIGPIPE, &old_, nullptr); }
    IgnoreBrokenPipe(const IgnoreBrokenPipe&) = delete;
    IgnoreBrokenPipe& operator=(const IgnoreBrokenPipe&) = delete;

private:
    struct sigaction old_ {};
};

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void wait_for(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Makes FD the standard input of a program about to be started. When the
// caller had no standard input, the pipe itself may already be descriptor
// 0; it then only loses its close-on-exec flag, or the mail would be empty.
bool connect_stdin(int fd) {
    if (fd == STDIN_FILENO) return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, STDIN_FILENO) == STDIN_FILENO;
}

// Starts the mail program with the address as its one argument, without a
// shell, and writes the mail to its standard input. False when the program
// could not be started.
bool run_mail_program(const std::string& address, const std::string& mail) {
    std::string program = mail_program();
    std::string argument = address;
    char* argv[] = {program.data(), argument.data(), nullptr};
    Fd input_read, input_write, status_read, status_write;
    if (!make_pipe(input_read, input_write) || !make_pipe(status_read, status_write))
        return false;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. The status
        // pipe closes on a successful exec; a failed one sends its errno.
        if (connect_stdin(input_read.get())) ::execv(argv[0], argv);
        const int reason = errno;
        (void)!::write(status_write.get(), &reason, sizeof reason);
        ::_exit(127);
    }
    input_read.reset();
    status_write.reset();
    int reason = 0;
    ssize_t got;
    while ((got = ::read(status_read.get(), &reason, sizeof reason)) < 0 && errno == EINTR) {
    }
    const bool started = got == 0;
    if (started) {
        const IgnoreBrokenPipe guard;
        write_all(input_write.get(), mail);
    }
    input_write.reset();
    wait_for(pid);
    return started;
}

std::string mail_text(const Notice& n, const std::string& address, const std::string& tag) {
    std::string mail = "To: " + address + "\n";
    if (tag.empty()) {
        mail += "Subject: Kestrix failed\n\n";
        mail += "Kestrix program " + n.program + " failed\n";
    } else {
        mail += "Subject: Kestrix failed " + tag + "\n\n";
        mail += "Kestrix program " + n.program + " failed " + tag + "\n";
    }
    mail += error_line(n.number);
    if (!n.message.empty()) mail += "Message: " + n.message + "\n";
    if (!n.additional.empty()) mail += "Additional Text: " + n.additional + " \n";
    return mail;
}

// Mails the administrator. False when no mail could be sent, so that the
// report goes to standard error instead.
bool send_admin_mail(const Notice& n) {
    const kx_internal::MainConfig config;
    if (!config.ok()) return false;
    std::string serial, host, address;
    std::string tag;
    if (config.get("system", nullptr, "system_serial_number", serial) &&
        config.get("system", nullptr, "system_name", host))
        tag = "for SSN " + serial + " hostname " + host;
    if (!config.get("system", nullptr, "admin", address)) return false;
    // An address that the mail program would read as one of its options
    // is no address.
    if (address.starts_with('-')) return false;
    return run_mail_program(address, mail_text(n, address, tag));
}

// --- standard error and log --------------------------------------------------

void report_on_stderr(const Notice& n) {
    std::string report = "Kestrix Program: " + n.program + " failed\n";
    report += error_line(n.number);
    report += "Message: " + n.message + "\n";
    report += "Additional Text: " + n.additional + "\n";
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
}

void write_log_entry(const Notice& n) {
    std::string text = error_line(n.number);
    if (!n.message.empty()) text += n.message + "\n";
    if (!n.additional.empty()) text += n.additional + "\n";
    kx_log_message(n.log_file.c_str(), "ERROR", n.program.c_str(), text.c_str());
}

void notify(int level, const Notice& n) {
    if (level & KX_NOTIFY_EVENT) send_error_event(n);
    bool report = (level & KX_NOTIFY_STDERR) != 0;
    if ((level & KX_NOTIFY_MAIL) && !send_admin_mail(n)) report = true;
    if (report) report_on_stderr(n);
    if (level & KX_NOTIFY_LOG) write_log_entry(n);
}

}  // namespace

namespace kx_internal {

void notify_set_mail_program(const char* path) {
    mail_program() = path != nullptr ? path : kDefaultMailProgram;
}

}  // namespace kx_internal

extern "C" void kx_error_notify(int notify_level, const char* program_name, int error_number,
                                const char* additional_text, const char* log_file) {
    try {
        Notice n;
        n.program = text_of(program_name);
        n.number = error_number;
        n.message = message_of(error_number);
        n.additional = text_of(additional_text);
        n.log_file = text_of(log_file);
        notify(notify_level, n);
    } catch (...) {
        // A notification that cannot be completed is dropped.
    }
}

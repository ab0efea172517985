// Starting a communication type's transmitting program in the background,
// unless a running instance holds its lock file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kx_comm_qzt.h"
#include "kx_comm_util.h"
#include "kx_errno.h"
#include "kx_files.h"

using kxcomm::announce;
using kxcomm::strprintf;

namespace {

constexpr size_t kMaxCommand = 1023;
constexpr size_t kArgSlots = 256;  // the last one stays null
constexpr int kFirstClosedFd = 3;
constexpr int kLastClosedFd = 49;
constexpr int kBadArgument = 8012;  // "Invalid input argument"
constexpr int kResetSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM};

constexpr const char* kNoLockFile = "Cannot access Lock File - '%s'";
constexpr const char* kCannotExec = "Unable to execute Comm Channel Program - '%s'";

// Splits S (tabs already blanks) into words; false on bad input.
bool split_words(const std::string& s, std::vector<std::string>& words) {
    size_t i = 0;
    auto skip_blanks = [&] {
        while (i < s.size() && s[i] == ' ') ++i;
    };
    skip_blanks();
    if (i >= s.size()) return false;
    size_t end = s.find(' ', i);
    if (end == std::string::npos) end = s.size();
    words.push_back(s.substr(i, end - i));
    if (words.front().find('/') == std::string::npos) return false;
    i = end;
    for (;;) {
        skip_blanks();
        if (i >= s.size()) return true;
        char quote = s[i];
        if (quote == '"' || quote == '\'') {
            if (i + 1 >= s.size()) return false;
            size_t close = s.find(quote, i + 1);
            if (close == std::string::npos) {
                // An unclosed quote runs to the end and ends the list.
                words.push_back(s.substr(i + 1));
                return words.size() < kArgSlots;
            }
            words.push_back(s.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            end = s.find(' ', i);
            if (end == std::string::npos) end = s.size();
            words.push_back(s.substr(i, end - i));
            i = end;
        }
        if (words.size() >= kArgSlots) return false;
    }
}

void reset_child_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : kResetSignals) sigaction(sig, &sa, nullptr);
}

// True when another process holds a lock that a write lock would meet.
int lock_held(int fd, bool& held) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fd, F_GETLK, &fl) != 0) return -1;
    held = fl.l_type != F_UNLCK;
    return 0;
}

[[noreturn]] void run_child(const char* program) {
    reset_child_signals();
    for (int fd = kFirstClosedFd; fd <= kLastClosedFd; ++fd) ::close(fd);
    comm_exec_program(program);
    announce(0, strprintf(kCannotExec, program));
    // The child must not run the parent's exit handlers or flush its buffers.
    _exit(1);
}

}  // namespace

extern "C" {

void comm_free_command(char* path, char** argv) {
    std::free(path);
    if (!argv) return;
    for (char** a = argv; *a; ++a) std::free(*a);
    std::free(argv);
}

int comm_split_command(const char* command, char** path, char*** argv) {
    if (!command || !path || !argv) {
        kx_errno = kBadArgument;
        return -1;
    }
    *path = nullptr;
    *argv = nullptr;
    std::string s = command;
    std::vector<std::string> words;
    if (s.size() > kMaxCommand) {
        kx_errno = kBadArgument;
        return -1;
    }
    for (char& c : s)
        if (c == '\t') c = ' ';
    if (!split_words(s, words)) {
        kx_errno = kBadArgument;
        return -1;
    }
    char** vec = static_cast<char**>(std::calloc(words.size() + 1, sizeof(char*)));
    char* p = kxcomm::dup_c(words.front());
    bool ok = vec && p;
    for (size_t i = 0; ok && i < words.size(); ++i) ok = (vec[i] = kxcomm::dup_c(words[i])) != nullptr;
    if (!ok) {
        kx_errno = ENOMEM;
        comm_free_command(p, vec);
        return -1;
    }
    *path = p;
    *argv = vec;
    return 0;
}

int comm_exec_program(const char* command) {
    errno = 0;
    char* path = nullptr;
    char** argv = nullptr;
    if (comm_split_command(command, &path, &argv) != 0) return -1;
    execv(path, argv);
    kx_errno = errno;
    comm_free_command(path, argv);
    return -1;
}

int comm_launch_channel(const char* program, const char* lockfile) {
    if (!program || !lockfile) {
        kx_errno = kBadArgument;
        return -1;
    }
    kxcomm::Fd fd(open_lock_name(lockfile));
    if (!fd.ok()) {
        announce(kx_errno, strprintf(kNoLockFile, lockfile));
        return -1;
    }
    bool held = false;
    if (lock_held(fd.get(), held) != 0) {
        kx_errno = errno;
        return -1;
    }
    if (held) return 0;
    fd.reset();
    pid_t pid = fork();
    if (pid < 0) {
        kx_errno = errno;
        return -1;
    }
    if (pid == 0) run_child(program);
    return 0;
}

}  // extern "C"

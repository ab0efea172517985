// The suite log: dated entries appended under the lock of the log's ".lck"
// file. A program may write an entry per keyword it upgrades, so the log
// and its lock file stay open between entries; before each entry the log's
// name is looked up again, and a log that was rotated or removed (or a lock
// file removed or replaced) is opened anew.
#include "kx_dbg.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "kx_files.h"
#include "kx_guards.h"
#include "kx_log_entry.h"
#include "kx_main_config.h"

namespace {

// What tells one version of a file from the next: the suite replaces its
// configuration files by a rename, which gives a new inode, and an edit in
// place changes the size or the modification time.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

bool stamp_of(const std::string& path, FileStamp& stamp) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return true;
}

// The suite log's name as the main configuration file gives it. Every log
// entry needs it, so the file is read again only when it changed.
struct LogFileCache {
    bool valid = false;
    std::string config_path;
    FileStamp stamp;
    std::string log_file;
};

std::string read_log_file_setting() {
    kx_internal::MainConfig config;
    std::string path;
    if (!config.get("log_files", "system", "log_file", path)) path.clear();
    return path;
}

std::string configured_log_file() {
    static LogFileCache cache;
    const char* dir = get_config_dir();
    const std::string config_path = dir != nullptr ? std::string(dir) + kx_internal::kMainConfigName : "";
    FileStamp stamp;
    const bool stamped = !config_path.empty() && stamp_of(config_path, stamp);
    if (stamped && cache.valid && cache.config_path == config_path && cache.stamp == stamp)
        return cache.log_file;
    cache.valid = false;
    std::string log_file = read_log_file_setting();
    if (stamped) cache = {true, config_path, stamp, log_file};
    return log_file;
}

// A file kept open between entries, with the identity it had when opened.
struct KeptFile {
    kx_internal::Fd fd;
    dev_t device = 0;
    ino_t inode = 0;
};

// True while PATH still names the file KEPT has open.
bool still_named(const KeptFile& kept, const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == kept.device && st.st_ino == kept.inode;
}

// True while the file KEPT has open has a name. A lock file is never
// renamed, only removed or replaced, which takes its last link: a look at
// the open file is enough, and saves looking its name up again.
bool still_linked(const KeptFile& kept, const std::string&) {
    struct stat st;
    return ::fstat(kept.fd.get(), &st) == 0 && st.st_nlink > 0;
}

// Makes KEPT the file PATH names now, opening it with OPEN when it is not
// open yet or STILL_OPEN says it is no longer the file of that name. False,
// with errno set, when it cannot be opened.
bool keep_open(KeptFile& kept, const std::string& path, int (*open)(const char*),
               bool (*still_open)(const KeptFile&, const std::string&)) {
    if (kept.fd.ok() && still_open(kept, path)) return true;
    kept.fd.reset(open(path.c_str()));
    struct stat st;
    if (!kept.fd.ok() || ::fstat(kept.fd.get(), &st) != 0) {
        kept.fd.reset();
        return false;
    }
    kept.device = st.st_dev;
    kept.inode = st.st_ino;
    return true;
}

int open_log_file(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

struct OpenLog {
    std::string path;
    std::string lock_path;
    KeptFile log;
    KeptFile lock;
};

int lock_log(int fd, int request) {
    int rc;
    do {
        rc = ::lockf(fd, request, 0);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// The reason a regular file took only part of a write: the process's file
// size limit when END reached it, else a full file system. (Writing again
// to learn it would raise SIGXFSZ at the limit.)
int short_write_reason(off_t end) {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(end) >= limit.rlim_cur)
        return EFBIG;
    return ENOSPC;
}

// Appends ENTRY with plain writes (a stream would cost a buffer and a
// status call per entry); 0 or the reason it failed. A part written before
// the failure is taken back, so that no torn entry runs into the next one.
int append_entry(int fd, const std::string& entry) {
    std::size_t done = 0;
    int reason = 0;
    while (done < entry.size() && reason == 0) {
        const ssize_t n = ::write(fd, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = errno;
        } else {
            done += static_cast<std::size_t>(n);
            if (done < entry.size()) reason = short_write_reason(::lseek(fd, 0, SEEK_CUR));
        }
    }
    if (reason != 0 && done > 0) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(done)) (void)!::ftruncate(fd, end - static_cast<off_t>(done));
    }
    return reason;
}

// Entries that could not be written, for the program to report.
struct LogFailures {
    int entries = 0;
    int reason = 0;
    std::string log_file;
};

LogFailures& failures() {
    static LogFailures state;
    return state;
}

void note_failure(const std::string& path, int reason) {
    LogFailures& f = failures();
    if (f.entries++ > 0) return;
    f.reason = reason;
    try {
        f.log_file = path;
    } catch (const std::bad_alloc&) {
        f.log_file.clear();
    }
}

// Closes the kept files, for a log of another name and in the child of
// fork: the child may close every descriptor it inherited (the channel
// program's launcher does, before exec) and open others under the same
// numbers, and an entry it writes must go to the log opened anew, never to
// whatever a kept number names by then.
void forget_kept_files();

OpenLog& kept_log() {
    static OpenLog open_log;
    static const bool watched = pthread_atfork(nullptr, nullptr, forget_kept_files) == 0;
    (void)watched;
    return open_log;
}

void forget_kept_files() {
    kept_log().log.fd.reset();
    kept_log().lock.fd.reset();
}

// Writes one entry to PATH; 0 or the reason it could not be written.
int write_entry(const std::string& path, const char* tag, const char* program, const char* message) {
    OpenLog& open_log = kept_log();
    if (open_log.path != path) {
        forget_kept_files();
        open_log.path = path;
        open_log.lock_path = path + ".lck";
    }
    // The entry is written even when the lock cannot be had: losing it
    // would be worse than the small chance of a mixed entry.
    const bool locked = keep_open(open_log.lock, open_log.lock_path, open_lock_name, still_linked) &&
                        lock_log(open_log.lock.fd.get(), F_LOCK) == 0;
    int reason = keep_open(open_log.log, path, open_log_file, still_named) ? 0 : errno;
    if (reason == 0) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (localtime_r(&now, &local) == nullptr) {
            reason = errno;
        } else {
            reason = append_entry(open_log.log.fd.get(),
                                  kx_internal::log_entry_text(tag, program, message, local));
        }
    }
    if (locked) lock_log(open_log.lock.fd.get(), F_ULOCK);
    return reason;
}

}  // namespace

namespace kx_internal {

std::string log_entry_text(const char* tag, const char* program, const char* message,
                           const std::tm& when) {
    auto text = [](const char* s) { return s != nullptr ? s : ""; };
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d%02d%02d.%02d%02d", when.tm_year, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min);
    std::string entry;
    entry.reserve(std::strlen(text(message)) + 256);
    entry.append(text(tag)).append(" ").append(stamp).append(" ").append(text(program)).append("\n");
    entry.append(text(message)).append("\n\n");
    return entry;
}

}  // namespace kx_internal

extern "C" void kx_log_message(const char* log_file, const char* tag, const char* program,
                               const char* message) {
    std::string path;
    try {
        path = (log_file != nullptr && *log_file != '\0') ? std::string(log_file) : configured_log_file();
        if (path.empty()) return;
        if (const int reason = write_entry(path, tag, program, message)) note_failure(path, reason);
    } catch (const std::bad_alloc&) {
        note_failure(path, ENOMEM);
    } catch (...) {
        note_failure(path, EIO);
    }
}

extern "C" int kx_log_failures(int* reason, const char** log_file) {
    const LogFailures& f = failures();
    if (reason != nullptr) *reason = f.reason;
    if (log_file != nullptr) *log_file = f.log_file.c_str();
    return f.entries;
}

// One locked change of a file: the lock taken before the file is read,
// every edit made on the lines read under it, and the result written once
// through a new file beside it, flushed to disk, renamed over it and the
// directory flushed.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "document.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kxconf.h"

namespace kxconf {
namespace {

constexpr const char* kLockSuffix = ".lck";
constexpr const char* kTempTemplate = ".tmp.XXXXXX";
// How often a lock held elsewhere is tried again while waiting.
constexpr long kLockPollNanoseconds = 100L * 1000 * 1000;
constexpr const char* kLockedHint = " (--wait SECONDS waits for it)";
constexpr const char* kDirectoryHint =
    " (the lock and temporary files are made beside the file: its directory must be writable)";

std::string with_hint(int code) {
    std::string text = error_text(code);
    if (code == KXCF_ELOCKED) return text + kLockedHint;
    if (code == EACCES || code == EPERM || code == EROFS) return text + kDirectoryHint;
    return text;
}

double now_seconds() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_for_lock() {
    struct timespec ts {0, kLockPollNanoseconds};
    nanosleep(&ts, nullptr);
}

// True for a regular file (links followed), false for a missing one; any
// other kind of file is refused before anything is made beside it.
bool regular_file_exists(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        fail(kFileError, "cannot open " + path + ": " + error_text(errno));
    }
    if (!S_ISREG(st.st_mode)) fail(kFileError, not_regular(path));
    return true;
}

// The write lock of a file, the same one the library's writers take. For a
// file that exists it is taken through an update-mode handle, which is
// closed without edits and so never writes; for a file about to be made,
// on the lock file directly.
class FileLock {
public:
    FileLock(const std::string& path, int wait_seconds, bool may_create) : path_(path) {
        const double deadline = now_seconds() + wait_seconds;
        for (;;) {
            exists_ = regular_file_exists(path);
            if (!exists_ && !may_create)
                fail(kFileError, "cannot open " + path + ": " + error_text(ENOENT));
            const int code = exists_ ? lock_file() : lock_new_file();
            if (code == 0) return;
            if (code == EAGAIN) continue;   // made or removed meanwhile: look again
            if (code != KXCF_ELOCKED || now_seconds() >= deadline) throw failure(code);
            pause_for_lock();
        }
    }
    ~FileLock() {
        if (handle_) kxcf_close(handle_);
        if (fd_ >= 0) close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool exists() const { return exists_; }

private:
    int lock_file() {
        kxcf_lineno = 0;
        handle_ = kxcf_open(path_.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
        if (handle_) return 0;
        if (kx_errno == ENOENT) return EAGAIN;
        return kx_errno;
    }

    // The library's kind of lock (of the open file description), so that
    // it excludes the library's writers and theirs exclude it.
    int lock_new_file() {
        fd_ = open_lock_name((path_ + kLockSuffix).c_str());
        if (fd_ < 0) return kx_errno;
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd_, F_OFD_SETLK, &whole) != 0) {
            const int code = errno == EACCES || errno == EAGAIN ? KXCF_ELOCKED : errno;
            close(fd_);
            fd_ = -1;
            return code;
        }
        if (access(path_.c_str(), F_OK) != 0) return 0;
        close(fd_);
        fd_ = -1;
        return EAGAIN;
    }

    // A failed open names the file unless it was the lock that failed.
    Failure failure(int code) const {
        if (kxcf_lineno > 0 || code == KXCF_EFILESIZE || (exists_ && access(path_.c_str(), R_OK) != 0))
            return open_failure(path_, path_, code);
        return {kFileError, "cannot lock " + path_ + ": " + path_ + kLockSuffix + ": " + with_hint(code)};
    }

    std::string path_;
    bool exists_ = false;
    KXCF_FILE* handle_ = nullptr;
    int fd_ = -1;
};

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in && !in.eof()) fail(kFileError, "cannot read " + path + ": " + error_text(errno));
    return bytes.str();
}

int write_all(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// A file with other hard links is not replaced: the rename would leave the
// other names with the old file, as the library's write-back refuses too.
bool has_other_links(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && st.st_nlink > 1;
}

// TMP still names the file open at FD: a rename that failed left it.
bool still_named(const std::string& tmp, int fd) {
    struct stat named {}, open {};
    return lstat(tmp.c_str(), &named) == 0 && fstat(fd, &open) == 0 && named.st_ino == open.st_ino &&
           named.st_dev == open.st_dev;
}

// Puts BYTES in the place of PATH (the file a link leads to, the link
// kept) through a new file of its own beside it, with the owner, group and
// mode of the file it replaces, or 0666 less the umask for a new file.
void write_file(const std::string& path, const std::string& bytes, bool existed) {
    std::string dest = path;
    if (existed) {
        char* real = realpath(path.c_str(), nullptr);
        if (!real) fail(kFileError, "cannot write " + path + ": " + error_text(errno));
        dest = real;
        std::free(real);
        if (has_other_links(dest)) fail(kFileError, "cannot write " + path + ": " + error_text(KXCF_EHARDLINK));
    }
    std::string tmp = dest + kTempTemplate;
    const int fd = open_unique_file(tmp.data(), 0666);
    if (fd < 0) fail(kFileError, "cannot write " + path + ": " + with_hint(kx_errno));
    int err = existed && keep_file_attributes(fd, dest.c_str()) != 0 ? kx_errno : 0;
    if (!err) err = write_all(fd, bytes);
    if (!err && durable_rename(fd, tmp.c_str(), dest.c_str()) != 0) err = kx_errno;
    const bool left = err && still_named(tmp, fd);
    close(fd);
    if (left) {
        unlink(tmp.c_str());
        fail(kFileError, "cannot write " + path + ": " + with_hint(err));
    }
    if (err) fail(kFileError, "written, but not yet safe on disk: " + path + ": " + error_text(err));
}

bool may_create(const Options& o) { return !o.existing && (o.command == "set" || o.command == "apply"); }

}  // namespace

int edit_file(const Options& o, const std::vector<Edit>& edits,
              const std::function<void(const std::string& path, std::vector<Edit>& edits)>& make) {
    const std::string path = target_path(o);
    if (path == kStandardInput)
        fail(kUsage, "-f - reads standard input, which cannot be changed; only get, list, sections, "
                     "check and cksum --verify read it");
    // Nothing is made beside a missing file before the edits are known to
    // work on it, and nothing at all for a dry run.
    const bool missing = may_create(o) && !make && !regular_file_exists(path);
    if (missing) {
        Document empty(path, "");
        for (const Edit& e : edits) empty.apply(e);
    }
    std::optional<FileLock> lock;
    if (!(missing && o.dry_run)) lock.emplace(path, o.wait_seconds, may_create(o));
    const bool exists = lock && lock->exists();
    Document doc(path, exists ? read_bytes(path) : std::string());
    std::vector<Edit> all = edits;
    if (make) make(path, all);
    std::vector<bool> changed;
    for (const Edit& e : all) changed.push_back(doc.apply(e));
    if (!doc.has_section())
        fail(kUsage, path + ": a file needs at least one section; the edits would leave none");
    if (o.verbose)
        for (std::size_t i = 0; i < all.size(); ++i)
            std::fprintf(stderr, "%s: %s\n", changed[i] ? "changed" : "unchanged", all[i].text().c_str());
    if (!doc.changed()) return kDone;
    if (o.dry_run) {
        const std::string diff = doc.diff();
        std::fwrite(diff.data(), 1, diff.size(), stdout);
        return kDone;
    }
    write_file(path, doc.bytes(), exists);
    return kDone;
}

}  // namespace kxconf

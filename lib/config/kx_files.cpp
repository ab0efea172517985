// File and path utilities of the suite: where the product lives, file tests,
// copying and lock files.
#include "kx_files.h"

#include "kx_errno.h"
#include "kx_guards.h"
#include "kx_main_config.h"
#include "kx_text.h"
#include "kxcf.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxPath = 1024;
constexpr const char* kHomeVariable = "KESTRIX_HOME";
constexpr const char* kProductAccount = "kestrix";
constexpr const char* kConfigSubdir = "/qzt/etc/";
constexpr const char* kConfigFileKeyword = "config_file";
constexpr const char* kProfileName = ".profile";
constexpr const char* kUmaskWord = "umask";
constexpr int kDefaultUmask = 022;
constexpr std::size_t kCopyBlock = 8192;
constexpr int kLockWait = 2;
constexpr int kLockKeepOnExec = 4;
constexpr int kNotFound = ENOENT;      // 2
constexpr int kWrongType = EACCES;     // 13
constexpr mode_t kPermissionBits = 0777;

// Process-wide result buffers: each call of the same operation overwrites its
// own, as callers that keep a result copy it.
std::string home_buffer;
std::string config_dir_buffer;
std::string config_file_buffer;

using kx_internal::Fd;

int fail_with(int reason) {
    kx_errno = reason;
    return 0;
}

// 1 when stat succeeds and the mode has TYPE, else 0 with the reason.
int has_type(const char* path, mode_t type) {
    if (!path) return fail_with(EINVAL);
    struct stat st;
    if (::stat(path, &st) != 0) return fail_with(errno);
    if ((st.st_mode & S_IFMT) != type) return fail_with(kWrongType);
    return 1;
}

mode_t current_umask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Writes all of LEN bytes. A write that takes only part is continued, so the
// error that finally stops it (a full disk, a size limit) is the one reported.
bool write_all(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t read_some(int fd, char* buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool copy_contents(int from, int to) {
    std::vector<char> block(kCopyBlock);
    for (;;) {
        ssize_t n = read_some(from, block.data(), block.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (!write_all(to, block.data(), static_cast<std::size_t>(n))) return false;
    }
}

// DEST, or DEST/basename(SRC) when DEST is an existing directory.
std::string copy_target(const char* dest, const char* src) {
    struct stat st;
    if (::stat(dest, &st) != 0 || !S_ISDIR(st.st_mode)) return dest;
    std::vector<char> name(src, src + std::strlen(src) + 1);
    return std::string(dest) + "/" + basename(name.data());
}

bool same_file(const std::string& path, const struct stat& other) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == other.st_dev &&
           st.st_ino == other.st_ino;
}

int lock_whole_file(int fd, int mode) {
    int request = (mode & kLockWait) ? F_LOCK : F_TLOCK;
    int rc;
    do {
        rc = ::lockf(fd, request, 0);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Value of the first run of digits after the word on a "umask" line, read
// as octal; -1 when there is none or it is not a valid umask.
int umask_from_line(const std::string& line) {
    std::size_t pos = line.find_first_of("0123456789", std::strlen(kUmaskWord));
    if (pos == std::string::npos) return -1;
    int value = 0;
    for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
        if (line[pos] > '7') return -1;
        value = value * 8 + (line[pos] - '0');
        if (value > static_cast<int>(kPermissionBits)) return -1;
    }
    return value;
}

}  // namespace

extern "C" const char* get_kx_home(void) {
    const char* env = std::getenv(kHomeVariable);
    if (env) {
        if (std::strlen(env) > kMaxPath) return nullptr;
        home_buffer = env;
        return home_buffer.c_str();
    }
    const struct passwd* pw = getpwnam(kProductAccount);
    if (!pw || !pw->pw_dir || std::strlen(pw->pw_dir) > kMaxPath) return nullptr;
    home_buffer = pw->pw_dir;
    return home_buffer.c_str();
}

extern "C" const char* get_config_dir(void) {
    const char* home = get_kx_home();
    if (!home) return nullptr;
    if (std::strlen(home) + std::strlen(kConfigSubdir) > kMaxPath) return nullptr;
    config_dir_buffer = std::string(home) + kConfigSubdir;
    return config_dir_buffer.c_str();
}

extern "C" const char* get_config_file_name(const char* section) {
    std::string value;
    if (!kx_internal::MainConfig().get(section, nullptr, kConfigFileKeyword, value)) return nullptr;
    // A value that would not fit a path is no usable file name.
    if (value.size() > kMaxPath) {
        kx_errno = KXCF_ENAMETOOLONG;
        return nullptr;
    }
    config_file_buffer = value;
    return config_file_buffer.c_str();
}

extern "C" int file_exists(const char* path) {
    return has_type(path, S_IFREG);
}

extern "C" int dir_exists(const char* path) {
    return has_type(path, S_IFDIR);
}

extern "C" int is_executable_file(const char* path) {
    if (!file_exists(path)) return 0;
    if (::access(path, X_OK) != 0) return fail_with(kWrongType);
    return 1;
}

// The one search along PATH: find_in_path and the programs that start
// another program by its name all ask here.
extern "C" char* kx_find_program(const char* name) {
    if (!name) {
        fail_with(EINVAL);
        return nullptr;
    }
    if (std::strchr(name, '/')) return is_executable_file(name) ? kx_internal::dup_c(name) : nullptr;
    const char* path = std::getenv("PATH");
    if (!path) {
        fail_with(kNotFound);
        return nullptr;
    }
    std::string dirs(path);
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (end > start) {
            std::string candidate = dirs.substr(start, end - start) + "/" + name;
            if (is_executable_file(candidate.c_str())) return kx_internal::dup_c(candidate);
        }
        start = end + 1;
    }
    fail_with(kNotFound);
    return nullptr;
}

extern "C" int find_in_path(const char* name) {
    char* found = kx_find_program(name);
    const int result = found ? 1 : 0;
    std::free(found);
    return result;
}

extern "C" int command_exists(char* line) {
    if (!line) return fail_with(EINVAL);
    std::string first(line, std::strcspn(line, " \t"));
    return find_in_path(first.c_str());
}

namespace {

// Copies the open source into TARGET, created by CREATE(target, mode), and
// with DURABLE flushes it to disk; a failed copy removes what it created.
template <class Create>
int copy_into(int in, const struct stat& src_st, const std::string& target, Create create, bool durable) {
    // Creating the destination may truncate it: never when it is the source.
    if (same_file(target, src_st)) {
        kx_errno = EINVAL;
        return -1;
    }
    mode_t mode = (src_st.st_mode & kPermissionBits) & ~current_umask();
    Fd out(create(target.c_str(), mode));
    if (out.get() < 0) return -1;
    bool copied = copy_contents(in, out.get()) && (!durable || ::fsync(out.get()) == 0);
    int reason = errno;
    if (copied && ::close(out.release()) == 0) return 0;
    if (copied) reason = errno;
    ::unlink(target.c_str());
    kx_errno = reason;
    return -1;
}

// Opens SRC for a copy; -1 with the reason in kx_errno.
int open_source(const char* src, struct stat& st) {
    if (::stat(src, &st) != 0) {
        kx_errno = errno;
        return -1;
    }
    int fd = ::open(src, O_RDONLY | O_CLOEXEC);
    if (fd < 0) kx_errno = errno;
    return fd;
}

// The reason a name that could not be created exclusively is taken.
int occupied_reason(const char* path) {
    struct stat st;
    if (::lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    return EEXIST;
}

// Copies SRC into the file that CREATE makes at TARGET_OF(DEST, SRC).
template <typename Target, typename Create>
int copy_from(const char* dest, const char* src, Target target_of, Create create, bool durable) {
    if (!dest || !src) {
        kx_errno = EINVAL;
        return -1;
    }
    struct stat src_st;
    Fd in(open_source(src, src_st));
    if (!in.ok()) return -1;
    return copy_into(in.get(), src_st, target_of(dest, src), create, durable);
}

}  // namespace

extern "C" int copy_file(const char* dest, const char* src) {
    return copy_from(dest, src, copy_target, [](const char* path, mode_t mode) {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) kx_errno = errno;
        return fd;
    }, false);
}

extern "C" int copy_to_new_file(const char* dest, const char* src) {
    return copy_from(dest, src, [](const char* d, const char*) { return std::string(d); },
                     [](const char* path, mode_t mode) {
                         // The umask is already applied; open_new_file applies it again, harmlessly.
                         return open_new_file(path, static_cast<int>(mode));
                     },
                     true);
}

extern "C" int open_new_file(const char* path, int mode) {
    if (!path) {
        kx_errno = EINVAL;
        return -1;
    }
    ::unlink(path);
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode) & kPermissionBits);
    if (fd < 0) kx_errno = errno == EEXIST ? occupied_reason(path) : errno;
    return fd;
}

extern "C" int open_lock_name(const char* path) {
    if (!path) {
        kx_errno = EINVAL;
        return -1;
    }
    // Non-blocking, so that a FIFO planted at the name cannot stall the open;
    // on the regular file that is accepted, the flag changes nothing.
    Fd fd(::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd.ok()) {
        kx_errno = errno;
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        kx_errno = errno;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        kx_errno = EINVAL;
        return -1;
    }
    return fd.release();
}

extern "C" int keep_file_attributes(int fd, const char* original) {
    struct stat st;
    if (!original || ::stat(original, &st) != 0) {
        kx_errno = original ? errno : EINVAL;
        return -1;
    }
    if (::fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)!::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    // After the owner: changing it clears the set-id bits.
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        kx_errno = errno;
        return -1;
    }
    return 0;
}

extern "C" int replace_file(const char* tmp, const char* target) {
    if (!tmp || !target) {
        kx_errno = EINVAL;
        return -1;
    }
    std::string dest = target;
    struct stat st;
    if (::lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(target, nullptr), &std::free);
        if (!real) {
            kx_errno = errno;
            return -1;
        }
        dest = real.get();
    }
    Fd fd(::open(tmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) {
        kx_errno = errno;
        return -1;
    }
    if (::stat(dest.c_str(), &st) == 0 && keep_file_attributes(fd.get(), dest.c_str()) != 0) return -1;
    return durable_rename(fd.get(), tmp, dest.c_str());
}

extern "C" int open_unique_file(char* name_template, int mode) {
    if (!name_template) {
        kx_errno = EINVAL;
        return -1;
    }
    // mkostemp creates exclusively (a planted link is never followed) with
    // mode 0600; the caller's mode is set on the descriptor.
    int fd = ::mkostemp(name_template, O_CLOEXEC);
    if (fd < 0) {
        kx_errno = errno;
        return -1;
    }
    if (::fchmod(fd, static_cast<mode_t>(mode) & kPermissionBits & ~current_umask()) != 0) {
        kx_errno = errno;
        ::close(fd);
        ::unlink(name_template);
        return -1;
    }
    return fd;
}

extern "C" int sync_parent_directory(const char* path) {
    if (!path) {
        kx_errno = EINVAL;
        return -1;
    }
    const char* slash = std::strrchr(path, '/');
    const std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, slash);
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A file system that cannot flush a directory says EINVAL: nothing more
    // can be done there.
    if (!fd.ok() || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
        kx_errno = errno;
        return -1;
    }
    return 0;
}

extern "C" int durable_rename(int fd, const char* tmp, const char* target) {
    if (!tmp || !target) {
        kx_errno = EINVAL;
        return -1;
    }
    Fd opened(fd < 0 ? ::open(tmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
    const int data = fd < 0 ? opened.get() : fd;
    if (data < 0 || ::fsync(data) != 0 || ::rename(tmp, target) != 0) {
        kx_errno = errno;
        return -1;
    }
    return sync_parent_directory(target);
}

extern "C" int open_lock_file(const char* path, int mode) {
    Fd fd(open_lock_name(path));
    if (!fd.ok()) return -1;
    if ((mode & kLockKeepOnExec) && ::fcntl(fd.get(), F_SETFD, 0) != 0) {
        kx_errno = errno;
        return -1;
    }
    if (lock_whole_file(fd.get(), mode) != 0) {
        kx_errno = errno;
        return -1;
    }
    return fd.release();
}

extern "C" int make_directory_path(const char* path) {
    if (!path || !*path) {
        kx_errno = EINVAL;
        return -1;
    }
    const std::string full(path);
    mode_t mode = kPermissionBits;
    for (std::size_t i = 1; i <= full.size(); ++i) {
        if ((i < full.size() && full[i] != '/') || full[i - 1] == '/') continue;
        const std::string prefix = full.substr(0, i);
        struct stat st;
        if (::stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                kx_errno = ENOTDIR;
                return -1;
            }
            mode = st.st_mode & kPermissionBits;
        } else if (::mkdir(prefix.c_str(), mode) != 0) {
            int reason = errno;
            // Another process may have made it meanwhile.
            if (reason == EEXIST && dir_exists(prefix.c_str())) continue;
            kx_errno = reason;
            return -1;
        }
    }
    return 0;
}

extern "C" int get_profile_umask(void) {
    const char* home = get_kx_home();
    if (!home || std::strlen(home) + std::strlen(kProfileName) > kMaxPath - 1) return kDefaultUmask;
    std::ifstream profile(std::string(home) + "/" + kProfileName);
    std::string line;
    while (std::getline(profile, line)) {
        if (line.compare(0, std::strlen(kUmaskWord), kUmaskWord) != 0) continue;
        int value = umask_from_line(line);
        return value < 0 ? kDefaultUmask : value;
    }
    return kDefaultUmask;
}

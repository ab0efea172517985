// Opening, locking, writing back and closing configuration files, and the
// steps every edit goes through.
#include "kx_config_internal.h"
#include "kx_files.h"
#include "kx_main_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace kxcf {
namespace {

constexpr const char* kLockSuffix = ".lck";
constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kUniqueTail = ".XXXXXX";
constexpr int kDefaultLockRetries = 20;
constexpr int kDefaultLockDelay = 3;

// Copies a name already checked against KXCF_MAX_PATH into a path field.
void copy_path(char* dest, const std::string& src) {
    std::memcpy(dest, src.c_str(), src.size() + 1);
}

// "qzt_config" in the suite's configuration directory; empty when the
// directory is unknown.
std::string main_config_path() {
    const char* dir = get_config_dir();
    return dir ? std::string(dir) + kx_internal::kMainConfigName : std::string();
}

// A lock held elsewhere is refused as a permission error or as "try again".
bool held_elsewhere(int err) {
    return err == EACCES || err == EAGAIN;
}

// The write lock belongs to the process that opened the handle, and only
// while the handle is open. It is an open-file-description lock: unlike
// lockf, two handles of one process exclude each other and closing one
// never drops the other's lock, and it still conflicts with lockf locks of
// other processes. Such a lock is shared by a child that fork copies the
// descriptor into, so the child closes its copies at once (the handler
// below): the parent keeps the lock, and once the parent closes its handle
// the lock is free for everyone, the child included. Handles holding a
// lock are listed here for that purpose.
std::vector<KXCF_FILE*>& lock_holders() {
    static std::vector<KXCF_FILE*> holders;
    return holders;
}

// Runs in the child of fork: it did not open these handles, so it holds
// none of their locks (and must not write them back; see kxcf_flush).
void drop_inherited_locks() {
    for (KXCF_FILE* f : lock_holders()) {
        close(f->lock_fd);
        f->lock_fd = -1;
    }
    lock_holders().clear();
}

void watch_forks() {
    static const bool registered = pthread_atfork(nullptr, nullptr, drop_inherited_locks) == 0;
    (void)registered;
}

// An exclusive, non-waiting lock of the whole lock file.
bool try_lock(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

int take_lock(KXCF_FILE* f) {
    watch_forks();
    lock_holders().reserve(lock_holders().size() + 1);
    // Never truncated and never through a link: the name may have been
    // planted by whoever can write the directory.
    int fd = open_lock_name(f->lock_path);
    if (fd < 0) return -1;
    bool locked = try_lock(fd);
    if (!locked && held_elsewhere(errno) && (f->flags & KXCF_WAIT)) {
        for (int i = 0; i < f->lock_retries && !locked; ++i) {
            sleep(static_cast<unsigned>(f->lock_delay));
            locked = try_lock(fd);
            if (!locked && !held_elsewhere(errno)) break;
        }
    }
    if (!locked) {
        close(fd);
        kx_errno = KXCF_ELOCKED;
        return -1;
    }
    f->lock_fd = fd;
    lock_holders().push_back(f);
    return 0;
}

// The lock is given up explicitly before the descriptor is closed: a child
// forked a moment ago still shares the lock until its fork handler has run,
// and closing only this copy would leave the lock held for that moment.
void unlock(int fd) {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(fd, F_OFD_SETLK, &fl);
}

int release_lock(KXCF_FILE* f) {
    if (f->lock_fd < 0) return 0;
    auto& holders = lock_holders();
    holders.erase(std::remove(holders.begin(), holders.end(), f), holders.end());
    unlock(f->lock_fd);
    int rc = close(f->lock_fd);
    f->lock_fd = -1;
    if (rc != 0) {
        kx_errno = errno;
        return -1;
    }
    return 0;
}

// A FIFO would block a reader until a writer comes, and a device may act on
// being opened: only a regular file (or a directory, which the read refuses
// with EISDIR) is a configuration file.
bool unusable_type(mode_t mode) {
    return !S_ISREG(mode) && !S_ISDIR(mode);
}

// The type of the file at F's path, before anything opens it or takes its
// lock; a missing file is left to the read.
int check_type(const KXCF_FILE* f) {
    struct stat st;
    if (stat(f->path, &st) == 0 && unusable_type(st.st_mode)) {
        kx_errno = KXCF_ENOTREG;
        return -1;
    }
    return 0;
}

int read_config(KXCF_FILE* f) {
    drop_tree(f);
    // Non-blocking, in case a FIFO took the file's place since it was checked.
    int fd = open(f->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        kx_errno = errno;
        return -1;
    }
    struct stat st;
    const int refused = fstat(fd, &st) != 0 ? errno : unusable_type(st.st_mode) ? KXCF_ENOTREG : 0;
    if (refused) {
        close(fd);
        kx_errno = refused;
        return -1;
    }
    int rc = parse_file(f, fd);
    close(fd);
    if (rc != 0) return -1;
    clear_position(f);
    find_expand_list(f);
    if (!f->value_buf) {
        f->value_buf = static_cast<char*>(std::calloc(1, kValueBufferSize));
        if (!f->value_buf) {
            drop_tree(f);
            kx_errno = ENOMEM;
            return -1;
        }
    }
    return 0;
}

// Removes what writers of F that died before their rename left beside it
// (F.tmp.XXXXXX). Called under F's lock, which every writer of F holds
// while its temporary file exists, so none of these is in use.
void remove_stale_temporaries(const KXCF_FILE* f) {
    const std::string tmp = f->tmp_path;
    const std::size_t slash = tmp.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : tmp.substr(0, slash);
    const std::string prefix = tmp.substr(slash + 1) + ".";  // npos + 1 is 0
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    const std::size_t length = prefix.size() + std::strlen(kUniqueTail) - 1;
    while (const struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() == length && name.compare(0, prefix.size(), prefix) == 0) unlinkat(dirfd(d), entry->d_name, 0);
    }
    closedir(d);
}

// Writes the tree into a new file of this writer's own beside the file
// (its name left in TMP), with the owner, group and permission bits of the
// file when it exists. The open descriptor, or -1 with the reason in
// kx_errno; a file that was created and failed is removed.
int write_temp(KXCF_FILE* f, std::string& tmp) {
    tmp = std::string(f->tmp_path) + kUniqueTail;
    int fd = open_unique_file(tmp.data(), 0666);
    if (fd < 0) return -1;
    struct stat st;
    int err = stat(f->path, &st) == 0 && keep_file_attributes(fd, f->path) != 0 ? kx_errno : 0;
    // A second descriptor for the stream: the first stays open for the
    // durable rename after the stream is closed.
    int stream_fd = err ? -1 : dup(fd);
    FILE* out = stream_fd < 0 ? nullptr : fdopen(stream_fd, "w");
    if (!out && !err) err = errno;
    if (out) {
        f->tmp_stream = out;
        errno = 0;
        if (write_tree(f->root, out) != 0 || fflush(out) != 0) err = errno ? errno : EIO;
        if (fclose(out) != 0 && !err) err = errno;
        f->tmp_stream = nullptr;
    } else if (stream_fd >= 0) {
        close(stream_fd);
    }
    if (!err && (fstat(fd, &st) != 0 || st.st_size == 0)) err = KXCF_EWRITE;
    if (!err) return fd;
    close(fd);
    unlink(tmp.c_str());
    kx_errno = err;
    return -1;
}

// A tree without any section reads back as a fault, so it is never written.
bool has_section(const KXCF_NODE* first) {
    for (const KXCF_NODE* n = first; n; n = n->next)
        if (n->kind == KXCF_NODE_SECTION) return true;
    return false;
}

// The rename puts a new file under one name only: a file with other hard
// links would be split in two, each later edit visible through one name.
bool splits_hard_links(const KXCF_FILE* f) {
    struct stat st;
    return !(f->flags & KXCF_SPLITLINKS) && stat(f->path, &st) == 0 && st.st_nlink > 1;
}

// Replaces the configuration file by the tree through a temporary file of
// this writer's own, flushed to disk, a rename and a flush of the
// directory, so a reader or a crash sees the old or the new file whole. The
// replaced file's owner, group and permission bits carry over: a private
// file stays private and readable by its own account. On failure the
// temporary file is removed and the configuration file is untouched.
int write_back(KXCF_FILE* f) {
    int err = !has_section(f->root) ? KXCF_EWRITE : splits_hard_links(f) ? KXCF_EHARDLINK : 0;
    if (err) {
        kx_errno = err;
        return -1;
    }
    remove_stale_temporaries(f);
    std::string tmp;
    int fd = write_temp(f, tmp);
    if (fd < 0) return -1;
    int rc = durable_rename(fd, tmp.c_str(), f->path);
    err = kx_errno;
    close(fd);
    if (rc != 0) unlink(tmp.c_str());
    kx_errno = err;
    return rc;
}

// The file that NAME stands for: when NAME is a symbolic link, the file it
// leads to, so that every name of one file takes the same lock and writes
// beside the same file; otherwise NAME as given, whose lock stays NAME.lck
// as the suite's other programs expect. A link that leads to no name (a
// descriptor's link in /proc to a pipe or a removed file, or a dangling
// link, which then fails to open) is kept as given: no other name can
// reach that file to take another lock.
void resolve_link(std::string& name) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
    std::unique_ptr<char, decltype(&std::free)> real(realpath(name.c_str(), nullptr), &std::free);
    if (real) name = real.get();
}

void free_handle(KXCF_FILE* f) {
    drop_tree(f);
    release_lock(f);
    std::free(f->value_buf);
    std::free(f);
}

}  // namespace

void clear_position(KXCF_FILE* f) {
    f->cur_section = f->cur_subsection = f->cur_keyword = f->cur_list = nullptr;
}

void forget_node(KXCF_FILE* f, const KXCF_NODE* node) {
    if (f->cur_section == node) clear_position(f);
    if (f->cur_subsection == node) f->cur_subsection = nullptr;
    if (f->cur_list == node) f->cur_keyword = f->cur_list = nullptr;
    if (f->cur_keyword == node) f->cur_keyword = node->prev;
}

void drop_tree(KXCF_FILE* f) {
    // A tree no edit has touched goes with its arena, without a walk.
    if (!tree_in_arena(f)) free_list(f->root, tree_arena_if_any(f));
    drop_store(f);
    f->root = nullptr;
    f->expand_list = nullptr;
    clear_position(f);
}

int edit_begin(KXCF_FILE* f) {
    if (!(f->flags & KXCF_UPDATE)) {
        drop_tree(f);
        if (take_lock(f) != 0 || read_config(f) != 0) {
            edit_abandon(f, kx_errno);
            return -1;
        }
    }
    note_edit(f);
    return 0;
}

int edit_commit(KXCF_FILE* f) {
    if (f->flags & KXCF_UPDATE) {
        f->pending = 1;
        return 0;
    }
    if (write_back(f) != 0 || release_lock(f) != 0) {
        edit_abandon(f, kx_errno);
        return -1;
    }
    clear_position(f);
    return 0;
}

// In update mode the tree keeps every change and the pending mark stays as
// it was, so edits made before the failing one still reach the disk.
void edit_abandon(KXCF_FILE* f, int reason) {
    if (!(f->flags & KXCF_UPDATE)) {
        drop_tree(f);
        release_lock(f);
        read_config(f);
    }
    kx_errno = reason;
}

// An immediate-mode edit that found nothing to change gives the lock back at
// once instead of holding it until the handle's next edit or close.
void edit_release(KXCF_FILE* f) {
    if (!(f->flags & KXCF_UPDATE)) release_lock(f);
}

}  // namespace kxcf

using namespace kxcf;

extern "C" KXCF_FILE* kxcf_open(const char* path, int flags) {
    return guarded<KXCF_FILE*>(nullptr, [&]() -> KXCF_FILE* {
        std::string name = path ? path : main_config_path();
        int code = name.empty() ? KXCF_ENOTFOUND : name.size() > KXCF_MAX_PATH ? KXCF_ENAMETOOLONG : 0;
        if (!code) resolve_link(name);
        std::string lock_name = name + kLockSuffix, tmp_name = name + kTempSuffix;
        if (!code && (name.size() > KXCF_MAX_PATH || tmp_name.size() > KXCF_MAX_PATH ||
                      lock_name.size() > KXCF_MAX_PATH))
            code = KXCF_ENAMETOOLONG;
        auto* f = code ? nullptr : static_cast<KXCF_FILE*>(std::calloc(1, sizeof(KXCF_FILE)));
        if (!code && !f) code = ENOMEM;
        if (code) {
            kx_errno = code;
            return nullptr;
        }
        copy_path(f->path, name);
        copy_path(f->lock_path, lock_name);
        copy_path(f->tmp_path, tmp_name);
        f->flags = flags;
        f->lock_retries = kDefaultLockRetries;
        f->lock_delay = kDefaultLockDelay;
        f->lock_fd = -1;
        if (check_type(f) != 0 || ((flags & KXCF_UPDATE) && take_lock(f) != 0) || read_config(f) != 0) {
            int reason = kx_errno;
            free_handle(f);
            kx_errno = reason;
            return nullptr;
        }
        return f;
    });
}

extern "C" int kxcf_flush(KXCF_FILE* f) {
    if (!f) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    if (!(f->flags & KXCF_UPDATE) || !f->pending) return 0;
    // A forked child shares the handle but not its lock: it may not write.
    if (f->lock_fd < 0) {
        kx_errno = KXCF_ELOCKED;
        return -1;
    }
    if (write_back(f) != 0) return -1;
    f->pending = 0;
    clear_position(f);
    return 0;
}

extern "C" int kxcf_close(KXCF_FILE* f) {
    if (!f) {
        kx_errno = KXCF_EPARAM;
        return -1;
    }
    int rc = kxcf_flush(f);
    int reason = kx_errno;
    free_handle(f);
    kx_errno = reason;
    return rc;
}

extern "C" void kxcf_set_lock_wait(int retries, int delay, KXCF_FILE* f) {
    if (!f) {
        kx_errno = KXCF_EPARAM;
        return;
    }
    f->lock_retries = retries < 0 ? 0 : retries;
    f->lock_delay = delay < 1 ? 1 : delay;
}

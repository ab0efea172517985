// Opening, locking, writing back and closing configuration files, and the
// steps every edit goes through.
#include "kx_config_internal.h"
#include "kx_files.h"
#include "kx_main_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kxcf {
namespace {

constexpr const char* kLockSuffix = ".lck";
constexpr const char* kTempSuffix = ".tmp";
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

// An exclusive, non-waiting lock of the whole lock file. It belongs to the
// open lock file rather than to the process (unlike lockf), so two handles
// of one process exclude each other and closing one never drops the other's
// lock; it still conflicts with lockf locks of other processes.
bool try_lock(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

int take_lock(KXCF_FILE* f) {
    int fd = open(f->lock_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        kx_errno = errno;
        return -1;
    }
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
    return 0;
}

int release_lock(KXCF_FILE* f) {
    if (f->lock_fd < 0) return 0;
    int rc = close(f->lock_fd);
    f->lock_fd = -1;
    if (rc != 0) {
        kx_errno = errno;
        return -1;
    }
    return 0;
}

int read_config(KXCF_FILE* f) {
    drop_tree(f);
    int fd = open(f->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kx_errno = errno;
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

// Writes the tree into the temporary file, flushed to disk, with the
// permission bits of ORIGINAL when there is one. 0 or an error number.
int write_temp(KXCF_FILE* f, const struct stat* original) {
    int fd = open(f->tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    FILE* out = nullptr;
    if ((original && fchmod(fd, original->st_mode & 0777) != 0) || !(out = fdopen(fd, "w"))) {
        int err = errno;
        close(fd);
        return err;
    }
    f->tmp_stream = out;
    errno = 0;
    int err = 0;
    if (write_tree(f->root, out) != 0 || fflush(out) != 0 || fsync(fileno(out)) != 0)
        err = errno ? errno : EIO;
    if (fclose(out) != 0 && !err) err = errno;
    f->tmp_stream = nullptr;
    return err;
}

// Replaces the configuration file by the tree through the temporary file
// and a rename, so a reader or a crash sees the old or the new file whole.
// The replaced file's permission bits carry over: a private file stays
// private. On failure the temporary file is removed and the configuration
// file is untouched.
int write_back(KXCF_FILE* f) {
    struct stat original, written;
    bool had_file = stat(f->path, &original) == 0;
    unlink(f->tmp_path);
    int err = write_temp(f, had_file ? &original : nullptr);
    if (!err && (stat(f->tmp_path, &written) != 0 || written.st_size == 0)) err = KXCF_EWRITE;
    if (!err && rename(f->tmp_path, f->path) != 0) err = errno;
    if (err) {
        unlink(f->tmp_path);
        kx_errno = err;
        return -1;
    }
    return 0;
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
    free_list(f->root, tree_arena_if_any(f));
    drop_store(f);
    f->root = nullptr;
    f->expand_list = nullptr;
    clear_position(f);
}

int edit_begin(KXCF_FILE* f) {
    if (f->flags & KXCF_UPDATE) return 0;
    drop_tree(f);
    if (take_lock(f) != 0 || read_config(f) != 0) {
        edit_abandon(f, kx_errno);
        return -1;
    }
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
        std::string lock_name = name + kLockSuffix, tmp_name = name + kTempSuffix;
        int code = name.empty() ? KXCF_ENOTFOUND : 0;
        if (name.size() > KXCF_MAX_PATH || tmp_name.size() > KXCF_MAX_PATH ||
            lock_name.size() > KXCF_MAX_PATH)
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
        if (((flags & KXCF_UPDATE) && take_lock(f) != 0) || read_config(f) != 0) {
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

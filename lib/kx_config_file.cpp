// Opening, locking, writing back and closing configuration files, and the
// steps every edit goes through.
#include "kx_config_internal.h"
#include "kx_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kxcf {
namespace {

constexpr const char* kMainConfigName = "qzt_config";
constexpr const char* kLockSuffix = ".lck";
constexpr const char* kTempSuffix = ".tmp";
constexpr int kDefaultLockRetries = 20;
constexpr int kDefaultLockDelay = 3;

bool copy_bounded(char* dest, const std::string& src) {
    if (src.size() > KXCF_MAX_PATH) return false;
    std::memcpy(dest, src.c_str(), src.size() + 1);
    return true;
}

// The lock primitive reports a lock held elsewhere as a permission error;
// Linux may also report it as "try again".
bool held_elsewhere(int err) { return err == EACCES || err == EAGAIN; }

int take_lock(KXCF_FILE* f) {
    int fd = open(f->lock_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        kx_errno = errno;
        return -1;
    }
    bool locked = lockf(fd, F_TLOCK, 0) == 0;
    if (!locked && held_elsewhere(errno) && (f->flags & KXCF_WAIT)) {
        for (int i = 0; i < f->lock_retries && !locked; ++i) {
            sleep(static_cast<unsigned>(f->lock_delay));
            locked = lockf(fd, F_TLOCK, 0) == 0;
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
    f->stream = fopen(f->path, "r");
    if (!f->stream) {
        kx_errno = errno;
        return -1;
    }
    int rc = parse_file(f);
    fclose(f->stream);
    f->stream = nullptr;
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

// Writes the tree to the temporary file, flushed to disk, and renames it over
// the configuration file. The replaced file's permission bits carry over, so
// a private file stays private. On failure the temporary file is removed and
// the configuration file is untouched.
int write_back(KXCF_FILE* f) {
    struct stat st;
    bool keep_mode = stat(f->path, &st) == 0;
    unlink(f->tmp_path);
    int fd = open(f->tmp_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = 0;
    if (fd < 0) {
        kx_errno = errno;
        return -1;
    }
    if (keep_mode && fchmod(fd, st.st_mode & 07777) != 0) err = errno;
    if (!err && !(f->tmp_stream = fdopen(fd, "w"))) err = errno;
    if (!f->tmp_stream) close(fd);
    errno = 0;
    if (!err && (write_tree(f->root, f->tmp_stream) != 0 || fflush(f->tmp_stream) != 0))
        err = errno ? errno : EIO;
    if (!err && fsync(fileno(f->tmp_stream)) != 0) err = errno;
    if (f->tmp_stream && fclose(f->tmp_stream) != 0 && !err) err = errno;
    f->tmp_stream = nullptr;
    struct stat tmp;
    if (!err && (stat(f->tmp_path, &tmp) != 0 || tmp.st_size == 0)) err = KXCF_EWRITE;
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
    free_list(f->root);
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
    std::string name;
    try {
        if (path) {
            name = path;
        } else if (const char* dir = get_config_dir()) {
            name = std::string(dir) + kMainConfigName;
        }
    } catch (const std::bad_alloc&) {
        kx_errno = ENOMEM;
        return nullptr;
    }
    if (name.size() > KXCF_MAX_PATH) {
        kx_errno = KXCF_ENAMETOOLONG;
        return nullptr;
    }
    if (name.empty()) {
        kx_errno = KXCF_ENOTFOUND;
        return nullptr;
    }
    auto* f = static_cast<KXCF_FILE*>(std::calloc(1, sizeof(KXCF_FILE)));
    if (!f) {
        kx_errno = ENOMEM;
        return nullptr;
    }
    f->flags = flags;
    f->lock_retries = kDefaultLockRetries;
    f->lock_delay = kDefaultLockDelay;
    f->lock_fd = -1;
    bool named = false;
    try {
        named = copy_bounded(f->path, name) && copy_bounded(f->lock_path, name + kLockSuffix) &&
                copy_bounded(f->tmp_path, name + kTempSuffix);
    } catch (const std::bad_alloc&) {
        std::free(f);
        kx_errno = ENOMEM;
        return nullptr;
    }
    if (!named) {
        std::free(f);
        kx_errno = KXCF_ENAMETOOLONG;
        return nullptr;
    }
    if (((flags & KXCF_UPDATE) && take_lock(f) != 0) || read_config(f) != 0) {
        int reason = kx_errno;
        free_handle(f);
        kx_errno = reason;
        return nullptr;
    }
    return f;
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

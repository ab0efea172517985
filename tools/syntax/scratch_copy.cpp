// Copies of streams in private directories.
#include "scratch_copy.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "kx_errno.h"
#include "kx_files.h"

namespace kx_syntax {
namespace {

constexpr const char* kScratchTemplate = "/kxcopy.XXXXXX";

int write_all(int fd, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int ScratchCopy::copy_from(int fd) {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + kScratchTemplate;
    if (!mkdtemp(dir.data())) return errno;
    dir_ = dir;
    path_ = dir + "/copy";
    const int out = open_new_file(path_.c_str(), 0600);
    if (out < 0) return kx_errno;
    int err = 0;
    char buffer[1 << 16];
    for (ssize_t got; !err && (got = read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        err = got < 0 ? errno : write_all(out, buffer, static_cast<std::size_t>(got));
    }
    if (close(out) != 0 && !err) err = errno;
    return err;
}

ScratchCopy::~ScratchCopy() {
    if (dir_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace kx_syntax

// A preview (-n): the run in a private directory, and at its end the diff
// of the new file against the result the real run would leave.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver_internal.h"
#include "kx_files.h"

namespace driver {
namespace {

constexpr const char* kDiffProgram = "diff";
constexpr const char* kDiffResultLabel = "%s (upgraded)";
constexpr const char* kMsgDiffNotRun = "WARNING: no diff of the preview: %s cannot be run: %s\n\n";
constexpr const char* kDefaultTmpDir = "/tmp";
constexpr const char* kPreviewDirPattern = "/config_upgrade.XXXXXX";
constexpr const char* kMsgPreviewDir = "Preview directory %s cannot be made";

constexpr const char* kHintUnsafeTmpdir =
    "  TMPDIR %s is writable by every user and has no sticky bit: another user could\n"
    "  swap the preview's directory; set TMPDIR to a directory of your own\n";
constexpr const char* kHintNotOurs = "  It is not the private directory this program made\n";
constexpr const char* kPreviewDirByFd = "/proc/self/fd/%d";

// Removes what the run left in the preview's directory (the result, the
// working copy, its lock, the check log: all plain files) through its
// descriptor, then the directory itself, if its name still leads to it.
void remove_preview_dir(const DriverRun& d) {
    const int entries_fd = ::dup(d.preview_fd);
    if (DIR* dir = entries_fd >= 0 ? ::fdopendir(entries_fd) : nullptr) {
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ::unlinkat(d.preview_fd, name.c_str(), 0);
        }
        ::closedir(dir);
    } else if (entries_fd >= 0) {
        ::close(entries_fd);
    }
    struct stat ours, named;
    if (::fstat(d.preview_fd, &ours) == 0 && ::lstat(d.preview_name.c_str(), &named) == 0 &&
        ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
        ::rmdir(d.preview_name.c_str());
    ::close(d.preview_fd);
}

// A directory every user may write without the sticky bit lets any of them
// rename or replace what others made there.
void refuse_unsafe_tmpdir(DriverRun& d, const std::string& tmpdir, const std::string& pattern) {
    struct stat st;
    if (::stat(tmpdir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
        upgrade_fatal_more(d.run, EPERM, upgrade_format(kMsgPreviewDir, pattern.c_str()).c_str(), FileKind::none,
                           upgrade_format(kHintUnsafeTmpdir, tmpdir.c_str()));
}

// The directory mkdtemp made, opened at once and never again by name: it
// must be a directory of this user, private to it. The descriptor stays
// open across exec, so that the checker and diff reach their files through
// it as well.
int open_preview_dir(DriverRun& d, const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700) return fd;
    const int reason = fd < 0 ? errno : EPERM;
    if (fd >= 0) ::close(fd);
    upgrade_fatal_more(d.run, reason, upgrade_format(kMsgPreviewDir, name.c_str()).c_str(), FileKind::none,
                       kHintNotOurs);
}

}  // namespace

// At the end of a preview, whatever its status: the diff of the new file
// against the result the real run would leave (nothing when it would leave
// none), then the private directory goes.
void finish_preview(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    const std::string result_name = upgrade_result_target(in);
    const char* result = result_name.c_str();
    if (in.new_config_file && file_exists(result)) {
        const std::string diff = program_along_path(kDiffProgram);
        int wait_errno = 0;
        const ProgramRun run =
            diff.empty() ? ProgramRun{kNotStarted, kHintNotFound}
                         : spawn_program(diff, {kDiffProgram, "-u", "--label", in.new_config_file, "--label",
                                                upgrade_format(kDiffResultLabel, in.new_config_file), in.new_config_file,
                                                result},
                                         -1, wait_errno);
        if (!run.not_run.empty())
            upgrade_write_stderr(upgrade_format(kMsgDiffNotRun, kDiffProgram, run.not_run.c_str()));
    }
    std::fflush(stdout);
    remove_preview_dir(d);
}

// A preview works in a private directory under $TMPDIR; the reporting part
// sends the result and every copy there. Nothing goes to the suite log or
// the debug file from the run's first step (inputs.preview, set with -n).
void start_preview(DriverRun& d) {
    if (!d.inputs.preview) return;
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string parent = tmpdir && *tmpdir ? tmpdir : kDefaultTmpDir;
    std::string pattern = parent + kPreviewDirPattern;
    refuse_unsafe_tmpdir(d, parent, pattern);
    if (!::mkdtemp(pattern.data()))
        upgrade_fatal(d.run, errno, upgrade_format(kMsgPreviewDir, pattern.c_str()).c_str(), FileKind::none);
    d.preview_name = pattern;
    d.preview_fd = open_preview_dir(d, pattern);
    d.preview_dir = upgrade_format(kPreviewDirByFd, d.preview_fd);
    d.inputs.preview_dir = d.preview_dir.c_str();
}

}  // namespace driver

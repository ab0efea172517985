// A preview (-n): the run in a private directory, and at its end the diff
// of the new file against the result the real run would leave.
#include <dirent.h>
#include <unistd.h>

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

// Removes the preview's private directory and what the run left in it (the
// result, the working copy, its lock, the check log): all plain files.
void remove_preview_dir(const DriverRun& d) {
    const std::string preview_dir = d.inputs.preview_dir;
    if (DIR* dir = ::opendir(preview_dir.c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ::unlink((preview_dir + "/" + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(preview_dir.c_str());
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
// sends the result and every copy there and keeps the suite log untouched.
void start_preview(DriverRun& d) {
    if (!d.preview_requested) return;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : kDefaultTmpDir) + kPreviewDirPattern;
    if (!::mkdtemp(pattern.data()))
        upgrade_fatal(d.run, errno, upgrade_format(kMsgPreviewDir, pattern.c_str()).c_str(), FileKind::none);
    d.preview_dir = pattern;
    d.inputs.preview_dir = d.preview_dir.c_str();
}

}  // namespace driver

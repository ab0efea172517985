// The run's inputs: the names derived from the new configuration file, the
// versions, the existence of every input file and the temporary copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver_internal.h"
#include "file_lines.h"
#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_versions.h"
#include "kxcf.h"

namespace driver {
namespace {

constexpr const char* kMsgStart = "START:  Kestrix Configuration File Upgrade\n  New Config File:\t%s";
constexpr const char* kMsgInputs =
    "  New Config File:\t%s\n  Previous Config File:\t%s\n  Upgrade Rules File:\t%s";
constexpr const char* kMsgInputsOutput = "\n  Output Config File:\t%s";

constexpr const char* kMsgConfigDir = "get_config_dir failed";
constexpr const char* kMsgNewMissing = "New Configuration file does not exist";
constexpr const char* kMsgMainOpen = "Open failed for Main Configuration file %s";
constexpr const char* kMsgKeywordRead = "Read of keyword %s failed in %s";
constexpr const char* kMsgNewVersion = "New Kestrix version \"%s\" is not a valid version number";
constexpr const char* kMsgVersionOpen = "Open failed for Upgrade Version file %s";
constexpr const char* kMsgVersionRead = "Read failed for Upgrade Version file %s";
constexpr const char* kMsgPrevVersion = "Previous Kestrix version \"%s\" is not a valid version number";
constexpr const char* kMsgRulesMissing = "Upgrade rules file does not exist";
constexpr const char* kMsgNewSyntaxMissing = "New syntax file does not exist\n  New Syntax file:%s";
constexpr const char* kMsgPrevMissing =
    "Previous Configuration file does not exist\n  Previous Config File: %s\n"
    "New Configuration file will be used without modifications";
constexpr const char* kMsgPrevSyntaxMissing =
    "Previous syntax file does not exist\n  Previous Syntax file: %s\n"
    "Unable to check syntax of Previous Configuration file";
constexpr const char* kMsgOutputDir =
    "Directory for Output Configuration file does not exist\n  Output Config file: %s";
constexpr const char* kMsgCopyFailed = "File copy failed of New config file to temporary file %s";
constexpr const char* kMsgPathTooLong = "Path name longer than %d characters:\n  %s";

// Context lines that point at the fix.
constexpr const char* kHintHome =
    "  The product home is named by KESTRIX_HOME, else by the home of the account \"kestrix\";\n"
    "  set KESTRIX_HOME to the installation (the directory that holds qzt/etc/)\n";
constexpr const char* kHintLine = "  Line: %d\n";
constexpr const char* kHintMend = "  %s\n";
constexpr const char* kHintInput = "  New config file: %s\n";
constexpr const char* kHintCopyLocked = "  Its lock %s is held: another upgrade of this file is running\n";

// Names of the installation tree.
constexpr const char* kMainConfigName = KX_MAIN_CONFIG_NAME;
constexpr const char* kVersionSection = "system";
constexpr const char* kVersionKeyword = "kestrix_version";
constexpr const char* kUpgradeVerName = "upgrade_ver";
constexpr std::size_t kVersionFileBytes = 30;

// A previous admin configuration of these releases had no syntax file, so
// its absence is only noted.
constexpr const char* kAdminConfigName = "qzt_admin_config";
constexpr const char* kReleasesWithoutAdminSyntax[] = {"v4.0.1", "v4.0.0", "v2.0.1", "v2.0.0", "v1.0"};

// The error number shown for an input that is not a usable file: the
// library's reason, except that a directory says so (its 13 would read
// "Permission denied", which sends the user looking at permissions).
int missing_reason(const char* path) {
    int reason = kx_errno;
    struct stat st;
    if (::stat(path, &st) != 0) return reason;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return S_ISREG(st.st_mode) ? reason : KXCF_ENOTREG;
}

char* keep_path(DriverRun& d, const std::string& path) {
    check_path_length(d, path);
    return upgrade_strdup(path.c_str());
}

// The new file's name and its directory and base name; a name without a
// directory needs the configuration directory.
BASE_NAMES derive_base_names(DriverRun& d) {
    UPGRADE_INPUTS& in = d.inputs;
    const bool given_dir = in.new_config_file[0] == '/' || in.new_config_file[0] == '.';
    const char* config_dir = given_dir ? "" : get_config_dir();  // always ends in "/"
    if (!config_dir) upgrade_fatal_more(d.run, kx_errno, kMsgConfigDir, FileKind::none, kHintHome);
    const BASE_NAMES base = base_names(in.new_config_file, config_dir);
    in.new_config_file = given_dir ? upgrade_strdup(base.new_config_file.c_str()) : keep_path(d, base.new_config_file);
    upgrade_debug_format(d.run, show_detail, "new_config_file = %s\nbase_dir = %s\nbase_filename = %s",
                         in.new_config_file, base.dir.c_str(), base.filename.c_str());
    return base;
}

// A version that does not parse is only noted: the run goes on with it.
void warn_if_invalid_version(DriverRun& d, const char* format, const char* version) {
    KX_VERSION parsed;
    if (kx_parse_version(version, &parsed) != 0)
        upgrade_error(d.run, 0, upgrade_format(format, version).c_str(), FileKind::none, Severity::warning,
                      nullptr);
}

void read_version_to_install(DriverRun& d, const BASE_NAMES& base) {
    UPGRADE_INPUTS& in = d.inputs;
    if (!in.kx_version_to_install) {
        std::string path = base.dir + kMainConfigName;
        check_path_length(d, path);
        kxcf_lineno = 0;
        KXCF_FILE* main_cfg = kxcf_open(path.c_str(), 0);
        if (!main_cfg)
            upgrade_fatal_more(d.run, kx_errno, upgrade_format(kMsgMainOpen, path.c_str()).c_str(), FileKind::none,
                               parse_fault_hint(path.c_str()));
        const char* value = kxcf_getvar(main_cfg, kVersionSection, nullptr, kVersionKeyword, 0);
        if (value == KXCF_FAIL) {
            int reason = kx_errno;
            kxcf_close(main_cfg);
            upgrade_fatal(d.run, reason,
                          upgrade_format(kMsgKeywordRead, kVersionKeyword, path.c_str()).c_str(),
                          FileKind::none);
        }
        in.kx_version_to_install = upgrade_strdup(value);
        kxcf_close(main_cfg);
    }
    upgrade_debug_format(d.run, show_detail, "kx_version_to_install = %s", in.kx_version_to_install);
    warn_if_invalid_version(d, kMsgNewVersion, in.kx_version_to_install);
}

// A version file saved with DOS line ends or trailing blanks would name a
// previous release directory that does not exist, and the customer's file
// would be skipped without a word on the terminal: what ends the text goes.
void strip_line_end_blanks(char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && std::strchr(" \t\r\n", text[length - 1])) text[--length] = '\0';
}

// The previous release is named by the first bytes of upgrade_ver.
void read_previous_version(DriverRun& d, const BASE_NAMES& base) {
    UPGRADE_INPUTS& in = d.inputs;
    if (!in.prev_kx_version) {
        std::string path = base.dir + kUpgradeVerName;
        check_path_length(d, path);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            upgrade_fatal(d.run, errno, upgrade_format(kMsgVersionOpen, path.c_str()).c_str(), FileKind::none);
        char bytes[kVersionFileBytes + 1];
        errno = 0;  // an empty file is no system error
        ssize_t count = ::read(fd, bytes, kVersionFileBytes);
        int reason = errno;
        ::close(fd);
        if (count <= 0)
            upgrade_fatal(d.run, reason, upgrade_format(kMsgVersionRead, path.c_str()).c_str(), FileKind::none);
        bytes[count] = '\0';
        strip_line_end_blanks(bytes);
        in.prev_kx_version = upgrade_strdup(bytes);
    }
    upgrade_debug_format(d.run, show_detail, "prev_kx_version = %s", in.prev_kx_version);
    warn_if_invalid_version(d, kMsgPrevVersion, in.prev_kx_version);
}

// Fills NAME with the default PATH when no option gave it; true when it did.
// The trace names the file in use either way.
bool derive_default(DriverRun& d, char*& name, const char* field, const std::string& path) {
    const bool derived = !name;
    if (derived) name = keep_path(d, path);
    upgrade_debug_format(d.run, show_detail, "%s = %s", field, name);
    return derived;
}

void find_rules_file(DriverRun& d, const DEFAULT_NAMES& names) {
    UPGRADE_INPUTS& in = d.inputs;
    derive_default(d, in.upgrade_rules_file, "upgrade_rules_file", names.upgrade_rules_file);
    if (!file_exists(in.upgrade_rules_file))
        upgrade_fatal(d.run, missing_reason(in.upgrade_rules_file), kMsgRulesMissing, FileKind::rules);
}

void find_new_syntax_file(DriverRun& d, const DEFAULT_NAMES& names) {
    UPGRADE_INPUTS& in = d.inputs;
    derive_default(d, in.new_syntax_file, "new_syntax_file", names.new_syntax_file);
    if (file_exists(in.new_syntax_file)) return;
    const int reason = missing_reason(in.new_syntax_file);
    std::string message = upgrade_format(kMsgNewSyntaxMissing, in.new_syntax_file);
    if (!in.force) upgrade_fatal(d.run, reason, message.c_str(), FileKind::none);
    upgrade_error(d.run, reason, message.c_str(), FileKind::none, Severity::error, nullptr);
}

// Drops a name that named nothing; a copy made here is released with it.
void drop_name(char*& name, bool derived) {
    if (derived) std::free(name);
    name = nullptr;
}

void find_previous_file(DriverRun& d, const DEFAULT_NAMES& names) {
    UPGRADE_INPUTS& in = d.inputs;
    const bool derived = derive_default(d, in.prev_config_file, "prev_config_file", names.prev_config_file);
    if (file_exists(in.prev_config_file)) return;
    const int reason = missing_reason(in.prev_config_file);
    std::string message = upgrade_format(kMsgPrevMissing, in.prev_config_file);
    // A name the user gave that names nothing is most likely a typo: it is
    // said on the terminal, not only in the log. The run still goes on.
    if (derived)
        upgrade_notify(d.run, reason, message.data());
    else
        upgrade_error(d.run, reason, message.c_str(), FileKind::none, Severity::warning, nullptr);
    drop_name(in.prev_config_file, derived);
    in.prev_syntax_file = nullptr;
}

bool release_without_admin_syntax(DriverRun& d, const std::string& base_filename) {
    if (base_filename != kAdminConfigName) return false;
    for (const char* release : kReleasesWithoutAdminSyntax)
        if (kx_compare_versions(d.inputs.prev_kx_version, release) == 1) return true;
    return false;
}

void find_previous_syntax_file(DriverRun& d, const BASE_NAMES& base) {
    UPGRADE_INPUTS& in = d.inputs;
    if (!in.prev_config_file) return;
    const bool derived =
        derive_default(d, in.prev_syntax_file, "prev_syntax_file", default_prev_syntax_file(in.prev_config_file));
    if (file_exists(in.prev_syntax_file)) return;
    const int reason = missing_reason(in.prev_syntax_file);
    std::string message = upgrade_format(kMsgPrevSyntaxMissing, in.prev_syntax_file);
    drop_name(in.prev_syntax_file, derived);
    if (release_without_admin_syntax(d, base.filename))
        upgrade_notify(d.run, reason, message.data());
    else
        upgrade_error(d.run, reason, message.c_str(), FileKind::none, Severity::warning, nullptr);
}

void check_output_directory(DriverRun& d) {
    const char* output = d.inputs.output_config_file;
    if (!output) return;
    std::string dir = directory_of(output);
    if (!dir.empty() && !dir_exists(dir.c_str()))
        upgrade_fatal(d.run, kx_errno, upgrade_format(kMsgOutputDir, output).c_str(), FileKind::none);
    upgrade_debug_format(d.run, show_detail, "output_config_file = %s", output);
}

void log_inputs(DriverRun& d) {
    const UPGRADE_INPUTS& in = d.inputs;
    std::string text = upgrade_format(kMsgInputs, in.new_config_file, upgrade_file_label(in.prev_config_file),
                                      in.upgrade_rules_file);
    if (in.output_config_file) text.append(upgrade_format(kMsgInputsOutput, in.output_config_file));
    upgrade_log(d.run, text.data());
}

// Two runs on one file would share the working copy, and the second would
// remove the first's: the copy's lock is taken before the copy is made, and
// a run that finds it held ends without touching the copy or its lock.
void lock_working_copy(DriverRun& d, const std::string& tmp) {
    const std::string lock = tmp + UPGRADE_LOCK_SUFFIX;
    d.copy_lock_fd = open_lock_file(lock.c_str(), 0);
    if (d.copy_lock_fd >= 0) return;
    const bool held = kx_errno == EACCES || kx_errno == EAGAIN;
    upgrade_fatal_more(d.run, held ? KXCF_ELOCKED : kx_errno, upgrade_format(kMsgCopyFailed, tmp.c_str()).c_str(),
                       FileKind::new_file, held ? upgrade_format(kHintCopyLocked, lock.c_str()) : std::string());
}

// The whole run works on a copy, so the new file stays as it was until the
// copy is renamed over it.
void make_temporary_copy(DriverRun& d) {
    UPGRADE_INPUTS& in = d.inputs;
    const std::string tmp = temporary_copy_name(upgrade_result_target(in));
    check_path_length(d, tmp, std::strlen(UPGRADE_LOCK_SUFFIX));
    upgrade_debug_format(d.run, show_detail, "tmp_new_config_file = %s\n", tmp.c_str());
    lock_working_copy(d, tmp);
    // A new file: a stale copy of an earlier failed run is removed first,
    // and nothing else planted at the name is followed or copied into.
    if (copy_to_new_file(tmp.c_str(), in.new_config_file) != 0) {
        const int reason = kx_errno;
        remove_lock_file(tmp.c_str());  // made and held by this run
        // The -c file is named too: it is the one to mend when it cannot be read.
        upgrade_fatal_more(d.run, reason, upgrade_format(kMsgCopyFailed, tmp.c_str()).c_str(), FileKind::new_file,
                           upgrade_format(kHintInput, in.new_config_file));
    }
    in.tmp_new_config_file = upgrade_strdup(tmp.c_str());
}

void derive_check_log(DriverRun& d, const BASE_NAMES& base) {
    UPGRADE_INPUTS& in = d.inputs;
    in.prev_check_log = keep_path(d, check_log_name(upgrade_result_target(in), base));
    in.new_check_log = in.prev_check_log;
}

}  // namespace

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string last_component(std::string path) { return basename(path.data()); }

void check_path_length(DriverRun& d, const std::string& path, std::size_t reserve) {
    if (path.size() + reserve > KXCF_MAX_PATH) {
        std::string message = upgrade_format(kMsgPathTooLong, static_cast<int>(KXCF_MAX_PATH - reserve), path.c_str());
        upgrade_fatal(d.run, 0, message.c_str(), FileKind::none);
    }
}

// The line of a file the library refused, and how to mend it: the same
// explanation kxconf and config_check give.
std::string parse_fault_hint(const char* path) {
    const int line = kxcf_lineno;
    const int number = kx_errno;
    if (line <= 0 && number != KXCF_EFILESIZE) return {};
    kx_syntax::FileLines lines;
    lines.read(path);
    const std::string why = kx_syntax::fault_explanation(number, lines.text(line));
    return (line > 0 ? upgrade_format(kHintLine, line) : std::string()) +
           (why.empty() ? std::string() : upgrade_format(kHintMend, why.c_str()));
}

}  // namespace driver

using namespace driver;

void check_program_inputs(DriverRun& d) {
    UPGRADE_INPUTS& in = d.inputs;
    upgrade_debug_line(d.run, show_funcs, "check_program_inputs:\n");
    if (!in.new_config_file) usage_exit(d);
    const BASE_NAMES base = derive_base_names(d);

    std::string start = upgrade_format(kMsgStart, in.new_config_file);
    upgrade_log(d.run, start.data());
    if (!file_exists(in.new_config_file)) {
        // With -o the file line of the new file would name the output file;
        // the report names the file that was looked for.
        const int reason = missing_reason(in.new_config_file);
        if (!in.output_config_file) upgrade_fatal(d.run, reason, kMsgNewMissing, FileKind::new_file);
        upgrade_fatal_more(d.run, reason, kMsgNewMissing, FileKind::none, upgrade_new_file_line(in.new_config_file));
    }

    read_version_to_install(d, base);
    read_previous_version(d, base);
    const DEFAULT_NAMES names = default_names(base, in.prev_kx_version);
    find_rules_file(d, names);
    find_new_syntax_file(d, names);
    find_previous_file(d, names);
    find_previous_syntax_file(d, base);
    check_output_directory(d);
    derive_check_log(d, base);
    log_inputs(d);
    make_temporary_copy(d);
}

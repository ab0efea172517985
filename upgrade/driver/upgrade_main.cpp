// The upgrade driver: command line, program inputs and the run from the
// first check to the final rename.
#include "upgrade_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kx_dbg.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_qzt.h"
#include "kx_program_version.h"
#include "kx_versions.h"
#include "kxcf.h"
#include "upgrade_engine.h"
#include "upgrade_report.h"

namespace {

// ---- Texts of the program ----------------------------------------------------

// The options of the usage text, then help (-h) and preview (-n).
constexpr const char* kOptionString = "c:C:u:s:S:v:V:o:TXd:D:hn";
constexpr int kVersionOption = 256;  // --version has no letter
constexpr struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, kVersionOption}, {nullptr, 0, nullptr, 0}};
constexpr const char* kCheckProgram = "config_check";

constexpr const char* kUsageTitle = "Kestrix Configuration File Upgrade Program - Usage:\n\n";
constexpr const char* kUsageSynopsis =
    "%s -c new_config_file [-C previous_config_file]\n"
    "\t[-u upgrade_rules_file] [-s new_syntax_file] [-S previous_syntax_file]\n"
    "\t[-v kx_version] [-V previous_kx_version] [-o output_config_file]\n"
    "\t[-X] [-T] [-d debug_level] [-D debug_token]\n\n";
constexpr const char* kUsageOptions[] = {
    "    -c    pathname for the New configuration file\n",
    "    -C    pathname for Customer's previous config file (optional)\n",
    "    -u    pathname for the Upgrade Rules file (optional)\n",
    "    -s    pathname for the syntax file for the New config file (optional)\n",
    "    -S    pathname for the syntax file for the Customer's previous\n\t\t config file (optional)\n",
    "    -v    version of Kestrix being installed (optional)\n",
    "    -V    previous version of Kestrix (optional)\n",
    "    -o    pathname for test output file (optional)\n",
    "\t\t(New config file is not modified)\n",
    "    -T    test mode (optional)\n",
    "\t\t(Suppress file existence checks in config_check)\n",
    "    -X    force upgrade even if errors occur (optional)\n",
    "    -d    debug level (optional)\n",
    "    -D    debug token (optional)\n",
};

constexpr const char* kHelp =
    "Kestrix Configuration File Upgrade Program\n"
    "\n"
    "Usage: %s -c new_config_file [-C previous_config_file]\n"
    "\t[-u upgrade_rules_file] [-s new_syntax_file] [-S previous_syntax_file]\n"
    "\t[-v kx_version] [-V previous_kx_version] [-o output_config_file]\n"
    "\t[-X] [-T] [-n] [-d debug_level] [-D debug_token]\n"
    "       %s -h | --help | --version\n"
    "\n"
    "Merges the customer's previous configuration file into the new (factory)\n"
    "configuration file as the upgrade rules file says, checks both files with\n"
    "config_check and renames the result into place. D below is the directory\n"
    "of the new file and F its base name.\n"
    "\n"
    "  -c FILE    the new configuration file; a name that begins with neither \"/\"\n"
    "             nor \".\" is taken in the configuration directory\n"
    "             $KESTRIX_HOME/qzt/etc/, which is then D\n"
    "  -C FILE    the customer's previous file (default\n"
    "             D/<previous version>/custom/F)\n"
    "  -u FILE    the upgrade rules file (default D/upgrade/F.upg)\n"
    "  -s FILE    syntax file of the new file (default D/syntax/F.syn)\n"
    "  -S FILE    syntax file of the previous file (default: syntax/<its name>.syn\n"
    "             beside it)\n"
    "  -v VER     version being installed (default: kestrix_version of [system]\n"
    "             in D/qzt_config)\n"
    "  -V VER     previous version (default: the first 30 bytes of D/upgrade_ver,\n"
    "             without trailing blanks and line end)\n"
    "  -o FILE    write the result to FILE; the new file is not modified\n"
    "  -X         force: go on despite errors and save the result anyway\n"
    "  -T         test mode: config_check skips its file existence checks (-z)\n"
    "  -n         preview: merge in a private copy under $TMPDIR, change no file,\n"
    "             write nothing to the suite log, print the reports and a\n"
    "             unified diff of the new file against the result\n"
    "  -d LEVEL   debug level 1 to 3\n"
    "  -D TOKENS  debug tokens show_args, show_funcs, show_detail\n"
    "  -h, --help this text;  --version  the release number\n"
    "\n"
    "Environment:\n"
    "  KESTRIX_HOME  the product home (else the home of the account \"kestrix\")\n"
    "  PATH          where config_check (and diff, for -n) are found\n"
    "  TMPDIR        where -n works (default /tmp)\n"
    "\n"
    "Files written (T is the -o file, else the new file):\n"
    "  T.tup         the working copy, renamed to T at the end; left for\n"
    "                inspection by a failed run without -o and -X\n"
    "  T.tup.lck     its lock while the merge runs\n"
    "  <dir of T>/F.chk  config_check's findings, kept when a check fails\n"
    "  the suite log and the debug file named in [log_files] of qzt_config\n"
    "\n"
    "Exit status:\n"
    "  0  the upgrade completed and the result is in place; with -X also when\n"
    "     config_check rejected the result (reported as an ERROR)\n"
    "  1  anything else: a wrong command line, a missing input, a rejected\n"
    "     previous file, errors during the merge, a rejected result without -X.\n"
    "     The EXIT text says whether the copy was saved (to the -o file, or\n"
    "     over the new file with -X) or NOT saved\n";
constexpr const char* kVersionText = "%s (Kestrix) %s\n";

constexpr const char* kMsgStart = "START:  Kestrix Configuration File Upgrade\n  New Config File:\t%s";
constexpr const char* kMsgInputs =
    "  New Config File:\t%s\n  Previous Config File:\t%s\n  Upgrade Rules File:\t%s";
constexpr const char* kMsgInputsOutput = "\n  Output Config File:\t%s";
constexpr const char* kMsgSuccess = "SUCCESS:  Kestrix Configuration File Upgrade Completed\n  New Config File:\t%s";

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

constexpr const char* kMsgDebugOpen = "main: debug file open fail";
constexpr const char* kMsgPrevCheck = "%s failed for Previous Config file\n  Errors are in log file: %s";
constexpr const char* kMsgNewCheck = "%s failed for New Config file\n  Errors are in log file: %s";
constexpr const char* kMsgSystem = "system() returns %d for command:\n\t%s";
constexpr const char* kMsgOpenNew = "Open failed for Configuration file %s";
constexpr const char* kMsgOpenPrev = "Open failed for Customer's Previous Configuration file";
constexpr const char* kMsgOpenRules = "Open failed for Upgrade Rules file";
constexpr const char* kMsgFlushNew = "Flush failed for Configuration file %s";
constexpr const char* kMsgCloseNew = "Close failed for Configuration file %s";
constexpr const char* kMsgClosePrev = "Close failed for Customer's Previous Configuration file";
constexpr const char* kMsgCloseRules = "Close failed for Upgrade Rules file";
constexpr const char* kMsgRename = "Rename of temporary file %s\n  to New configuration file %s failed";

constexpr int kSystemFailure = 8010;  // the checker did not end normally

// Context lines that point at the fix.
constexpr const char* kHintHome =
    "  The product home is named by KESTRIX_HOME, else by the home of the account \"kestrix\";\n"
    "  set KESTRIX_HOME to the installation (the directory that holds qzt/etc/)\n";
constexpr const char* kHintLine = "  Line: %d\n";
constexpr const char* kHintInput = "  New config file: %s\n";
constexpr const char* kHintNotRun = "  %s cannot be run: %s\n";
constexpr const char* kHintNotFound = "not found along PATH";
constexpr const char* kHintSyntaxUnusable = "  The syntax file cannot be used: %s\n";
constexpr const char* kHintFinding = "  %s\n";
constexpr const char* kHintMoreFindings = "  ... %d more lines in the log file\n";
constexpr const char* kDiffProgram = "diff";
constexpr const char* kDiffResultLabel = "%s (upgraded)";
constexpr const char* kMsgDiffNotRun = "WARNING: no diff of the preview: %s cannot be run: %s\n\n";
constexpr const char* kDefaultTmpDir = "/tmp";
constexpr const char* kPreviewDirPattern = "/config_upgrade.XXXXXX";
constexpr const char* kMsgPreviewDir = "Preview directory %s cannot be made";
constexpr const char* kMsgCheckLog = "Check log %s cannot be created";
constexpr const char* kHintNotRegular = "  It exists and is not a regular file\n";
constexpr std::size_t kFindingsShown = 20;
constexpr int kNotStarted = 127;  // status of a program that could not be started, as the shell gives it
constexpr int kCheckerSyntaxUnusable = 2;  // config_check: usage error or unusable syntax file

// Derived names of the installation tree.
constexpr const char* kMainConfigName = "qzt_config";
constexpr const char* kVersionSection = "system";
constexpr const char* kVersionKeyword = "kestrix_version";
constexpr const char* kUpgradeVerName = "upgrade_ver";
constexpr const char* kRulesDir = "upgrade";
constexpr const char* kRulesSuffix = ".upg";
constexpr const char* kSyntaxDir = "syntax";
constexpr const char* kSyntaxSuffix = ".syn";
constexpr const char* kCustomDir = "custom";
constexpr const char* kTempSuffix = ".tup";
constexpr const char* kCheckLogSuffix = ".chk";
constexpr std::size_t kVersionFileBytes = 30;

// A previous admin configuration of these releases had no syntax file, so
// its absence is only noted.
constexpr const char* kAdminConfigName = "qzt_admin_config";
constexpr const char* kReleasesWithoutAdminSyntax[] = {"v4.0.1", "v4.0.0", "v2.0.1", "v2.0.0", "v1.0"};

constexpr DBG_TOKEN kDebugTokens[] = {
    {"show_args", show_args}, {"show_funcs", show_funcs}, {"show_detail", show_detail}, {nullptr, 0}};

// ---- Paths ----------------------------------------------------------------------

// The directory part of a path, up to and including its last "/"; empty
// when it has none.
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The last component of a path (trailing "/" ignored); the path itself is
// left as it is.
std::string last_component(std::string path) { return basename(path.data()); }

// A derived name must fit the suite's path limit, with room for the
// suffixes the configuration file library adds to it; the run ends otherwise.
void check_path_length(const std::string& path, std::size_t reserve = 0) {
    if (path.size() + reserve > KXCF_MAX_PATH) {
        std::string message = upgrade_format(
            kMsgPathTooLong, static_cast<int>(KXCF_MAX_PATH - reserve), path.c_str());
        upgrade_fatal(0, message.c_str(), FILE_NONE);
    }
}

// The error number shown for an input that is not a usable file: the
// library's reason, except that a directory says so (its 13 would read
// "Permission denied", which sends the user looking at permissions).
int missing_reason(const char* path) {
    int reason = kx_errno;
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    return reason;
}

// "  Line: N" for a parse fault of the file just opened, else nothing.
std::string parse_line_hint() {
    return kxcf_lineno > 0 ? upgrade_format(kHintLine, kxcf_lineno) : std::string();
}

char* keep_path(const std::string& path) {
    check_path_length(path);
    return upgrade_strdup(path.c_str());
}

// Quotes a name for the shell, so that the command shown in a report can be
// pasted into one and run the same check.
std::string shell_quote(const char* text) {
    std::string quoted = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'')
            quoted.append("'\\''");
        else
            quoted.push_back(*p);
    }
    quoted.push_back('\'');
    return quoted;
}

// ---- Command line ---------------------------------------------------------------

[[noreturn]] void usage_exit() {
    const char* name = upgrade_program_label();
    std::string text = kUsageTitle;
    text.append(upgrade_format(kUsageSynopsis, last_component(name).c_str()));
    for (const char* line : kUsageOptions) text.append(line);
    upgrade_write_stderr(text);
    std::exit(1);
}

[[noreturn]] void help_exit() {
    const std::string name = last_component(upgrade_program_label());
    std::fputs(upgrade_format(kHelp, name.c_str(), name.c_str()).c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

[[noreturn]] void version_exit() {
    std::printf(kVersionText, last_component(upgrade_program_label()).c_str(), KX_PROGRAM_VERSION);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

bool preview_requested = false;

// Options that take a file name or version and may be given once.
struct ValueOption {
    int letter;
    char* UPGRADE_INPUTS::*field;
};

constexpr ValueOption kValueOptions[] = {
    {'c', &UPGRADE_INPUTS::new_config_file},   {'C', &UPGRADE_INPUTS::prev_config_file},
    {'u', &UPGRADE_INPUTS::upgrade_rules_file}, {'s', &UPGRADE_INPUTS::new_syntax_file},
    {'S', &UPGRADE_INPUTS::prev_syntax_file},  {'v', &UPGRADE_INPUTS::kx_version_to_install},
    {'V', &UPGRADE_INPUTS::prev_kx_version},   {'o', &UPGRADE_INPUTS::output_config_file},
};

bool set_value_option(int letter, char* argument) {
    for (const ValueOption& option : kValueOptions) {
        if (option.letter == letter) {
            upgrade_inputs.*option.field = argument;
            return true;
        }
    }
    return false;
}

// ---- Program inputs -------------------------------------------------------------

struct BaseNames {
    std::string dir;       // ends in "/" unless empty
    std::string filename;  // last component of the new configuration file
};

BaseNames derive_base_names() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    BaseNames base;
    const bool given_dir = in.new_config_file[0] == '/' || in.new_config_file[0] == '.';
    if (!given_dir) {
        const char* config_dir = get_config_dir();  // always ends in "/"
        if (!config_dir) upgrade_fatal_more(kx_errno, kMsgConfigDir, FILE_NONE, kHintHome);
        base.dir = config_dir;
        in.new_config_file = keep_path(base.dir + in.new_config_file);
    }
    // basename also cuts trailing "/" off the name in place.
    base.filename = basename(in.new_config_file);
    if (given_dir) base.dir = directory_of(in.new_config_file);
    upgrade_debug_line(show_detail,
               upgrade_format("new_config_file = %s\nbase_dir = %s\nbase_filename = %s",
                              in.new_config_file, base.dir.c_str(), base.filename.c_str()));
    return base;
}

// A version that does not parse is only noted: the run goes on with it.
void warn_if_invalid_version(const char* format, const char* version) {
    KX_VERSION parsed;
    if (kx_parse_version(version, &parsed) != 0)
        upgrade_error(0, upgrade_format(format, version).c_str(), FILE_NONE, SEVERITY_WARNING,
                      nullptr);
}

void read_version_to_install(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    if (!in.kx_version_to_install) {
        std::string path = base.dir + kMainConfigName;
        check_path_length(path);
        kxcf_lineno = 0;
        KXCF_FILE* main_cfg = kxcf_open(path.c_str(), 0);
        if (!main_cfg)
            upgrade_fatal_more(kx_errno, upgrade_format(kMsgMainOpen, path.c_str()).c_str(), FILE_NONE,
                               parse_line_hint());
        const char* value = kxcf_getvar(main_cfg, kVersionSection, nullptr, kVersionKeyword, 0);
        if (value == KXCF_FAIL) {
            int reason = kx_errno;
            kxcf_close(main_cfg);
            upgrade_fatal(reason,
                          upgrade_format(kMsgKeywordRead, kVersionKeyword, path.c_str()).c_str(),
                          FILE_NONE);
        }
        in.kx_version_to_install = upgrade_strdup(value);
        kxcf_close(main_cfg);
    }
    upgrade_debug_line(show_detail, upgrade_format("kx_version_to_install = %s", in.kx_version_to_install));
    warn_if_invalid_version(kMsgNewVersion, in.kx_version_to_install);
}

// A version file saved with DOS line ends or trailing blanks would name a
// previous release directory that does not exist, and the customer's file
// would be skipped without a word on the terminal: what ends the text goes.
void strip_line_end_blanks(char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && std::strchr(" \t\r\n", text[length - 1])) text[--length] = '\0';
}

// The previous release is named by the first bytes of upgrade_ver.
void read_previous_version(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    if (!in.prev_kx_version) {
        std::string path = base.dir + kUpgradeVerName;
        check_path_length(path);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            upgrade_fatal(errno, upgrade_format(kMsgVersionOpen, path.c_str()).c_str(), FILE_NONE);
        char bytes[kVersionFileBytes + 1];
        errno = 0;  // an empty file is no system error
        ssize_t count = ::read(fd, bytes, kVersionFileBytes);
        int reason = errno;
        ::close(fd);
        if (count <= 0)
            upgrade_fatal(reason, upgrade_format(kMsgVersionRead, path.c_str()).c_str(), FILE_NONE);
        bytes[count] = '\0';
        strip_line_end_blanks(bytes);
        in.prev_kx_version = upgrade_strdup(bytes);
    }
    upgrade_debug_line(show_detail, upgrade_format("prev_kx_version = %s", in.prev_kx_version));
    warn_if_invalid_version(kMsgPrevVersion, in.prev_kx_version);
}

// Fills NAME with the default PATH when no option gave it; true when it did.
// The trace names the file in use either way.
bool derive_default(char*& name, const char* field, const std::string& path) {
    const bool derived = !name;
    if (derived) name = keep_path(path);
    upgrade_debug_line(show_detail, upgrade_format("%s = %s", field, name));
    return derived;
}

void find_rules_file(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    derive_default(in.upgrade_rules_file, "upgrade_rules_file",
                   base.dir + kRulesDir + "/" + base.filename + kRulesSuffix);
    if (!file_exists(in.upgrade_rules_file))
        upgrade_fatal(missing_reason(in.upgrade_rules_file), kMsgRulesMissing, FILE_RULES);
}

void find_new_syntax_file(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    derive_default(in.new_syntax_file, "new_syntax_file",
                   base.dir + kSyntaxDir + "/" + base.filename + kSyntaxSuffix);
    if (file_exists(in.new_syntax_file)) return;
    const int reason = missing_reason(in.new_syntax_file);
    std::string message = upgrade_format(kMsgNewSyntaxMissing, in.new_syntax_file);
    if (!in.force) upgrade_fatal(reason, message.c_str(), FILE_NONE);
    upgrade_error(reason, message.c_str(), FILE_NONE, SEVERITY_ERROR, nullptr);
}

// Drops a name that named nothing; a copy made here is released with it.
void drop_name(char*& name, bool derived) {
    if (derived) std::free(name);
    name = nullptr;
}

void find_previous_file(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    const bool derived = derive_default(in.prev_config_file, "prev_config_file",
                                        base.dir + in.prev_kx_version + "/" + kCustomDir + "/" + base.filename);
    if (file_exists(in.prev_config_file)) return;
    const int reason = missing_reason(in.prev_config_file);
    std::string message = upgrade_format(kMsgPrevMissing, in.prev_config_file);
    // A name the user gave that names nothing is most likely a typo: it is
    // said on the terminal, not only in the log. The run still goes on.
    if (derived)
        upgrade_notify(reason, message.data());
    else
        upgrade_error(reason, message.c_str(), FILE_NONE, SEVERITY_WARNING, nullptr);
    drop_name(in.prev_config_file, derived);
    in.prev_syntax_file = nullptr;
}

bool release_without_admin_syntax(const std::string& base_filename) {
    if (base_filename != kAdminConfigName) return false;
    for (const char* release : kReleasesWithoutAdminSyntax)
        if (kx_compare_versions(upgrade_inputs.prev_kx_version, release) == 1) return true;
    return false;
}

void find_previous_syntax_file(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    if (!in.prev_config_file) return;
    const std::string prev = in.prev_config_file;
    const bool derived = derive_default(in.prev_syntax_file, "prev_syntax_file",
                                        directory_of(prev) + kSyntaxDir + "/" + last_component(prev) + kSyntaxSuffix);
    if (file_exists(in.prev_syntax_file)) return;
    const int reason = missing_reason(in.prev_syntax_file);
    std::string message = upgrade_format(kMsgPrevSyntaxMissing, in.prev_syntax_file);
    drop_name(in.prev_syntax_file, derived);
    if (release_without_admin_syntax(base.filename))
        upgrade_notify(reason, message.data());
    else
        upgrade_error(reason, message.c_str(), FILE_NONE, SEVERITY_WARNING, nullptr);
}

void check_output_directory() {
    const char* output = upgrade_inputs.output_config_file;
    if (!output) return;
    std::string dir = directory_of(output);
    if (!dir.empty() && !dir_exists(dir.c_str()))
        upgrade_fatal(kx_errno, upgrade_format(kMsgOutputDir, output).c_str(), FILE_NONE);
    upgrade_debug_line(show_detail, upgrade_format("output_config_file = %s", output));
}

void log_inputs() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    std::string text = upgrade_format(kMsgInputs, in.new_config_file, upgrade_file_label(in.prev_config_file),
                                      in.upgrade_rules_file);
    if (in.output_config_file) text.append(upgrade_format(kMsgInputsOutput, in.output_config_file));
    upgrade_log(text.data());
}

// The whole run works on a copy, so the new file stays as it was until the
// copy is renamed over it.
void make_temporary_copy() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    const char* target = upgrade_result_target();
    std::string tmp = std::string(target) + kTempSuffix;
    check_path_length(tmp, std::strlen(UPGRADE_LOCK_SUFFIX));
    upgrade_debug_line(show_detail, upgrade_format("tmp_new_config_file = %s\n", tmp.c_str()));
    // A new file: a stale copy of an earlier failed run is removed first,
    // and nothing else planted at the name is followed or copied into.
    // The -c file is named too: it is the one to mend when it cannot be read.
    if (copy_to_new_file(tmp.c_str(), in.new_config_file) != 0)
        upgrade_fatal_more(kx_errno, upgrade_format(kMsgCopyFailed, tmp.c_str()).c_str(), FILE_NEW,
                           upgrade_format(kHintInput, in.new_config_file));
    in.tmp_new_config_file = upgrade_strdup(tmp.c_str());
}

void derive_check_log(const BaseNames& base) {
    UPGRADE_INPUTS& in = upgrade_inputs;
    const char* target = upgrade_result_target();
    in.prev_check_log = keep_path(directory_of(target) + base.filename + kCheckLogSuffix);
    in.new_check_log = in.prev_check_log;
}

// ---- The run --------------------------------------------------------------------

void start_debugging(int argc, char** argv) {
    if (debug_flags == 0) return;
    if (dbg_open(upgrade_inputs.program_name) != 0) {
        int reason = errno;
        debug_flags = 0;
        upgrade_fatal(reason, kMsgDebugOpen, FILE_NONE);
    }
    if (debug_flags & show_args) dbg_show_args(argc, argv);
}

// ---- The checker ----------------------------------------------------------------

// A program started by this one (the checker, or diff for a preview).
struct ProgramRun {
    int status;           // for the checker, as run_config_check returns it
    std::string not_run;  // why the program could not be started; empty when it ran
};

// NAME as the shell would find it along PATH (empty components, which
// would mean the current directory, are skipped); empty when none.
std::string program_along_path(const char* name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (is_executable_file(candidate.c_str())) return candidate;
    }
    return {};
}

// The check log is made afresh by this program: a stale log, or a symbolic
// link planted in its place, is removed and never written through; a
// directory or anything else that stays at the name ends the run.
int open_check_log(const char* log_file) {
    const int fd = open_new_file(log_file, 0666);
    if (fd >= 0) return fd;
    const std::string message = upgrade_format(kMsgCheckLog, log_file);
    if (kx_errno == EEXIST) upgrade_fatal_more(EEXIST, message.c_str(), FILE_NONE, kHintNotRegular);
    upgrade_fatal(kx_errno, message.c_str(), FILE_NONE);
}

// Starts PROGRAM with ARGS (no shell) with its standard output on OUT_FD
// (when not -1) and waits for it. A failed exec comes back through a pipe
// that closes on a successful one, so "could not be started" is told apart
// from "ran and failed".
ProgramRun spawn_program(const std::string& program, const std::vector<std::string>& args, int out_fd,
                       int& wait_errno) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return {kNotStarted, std::strerror(errno)};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int reason = errno;
        ::close(report[0]);
        ::close(report[1]);
        return {kNotStarted, std::strerror(reason)};
    }
    if (pid == 0) {
        // dup2 clears close-on-exec on the copy; a log that got descriptor 1
        // itself (standard output was closed) needs it cleared by hand.
        if (out_fd == STDOUT_FILENO)
            ::fcntl(out_fd, F_SETFD, 0);
        else if (out_fd >= 0)
            ::dup2(out_fd, STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        const int reason = errno;
        (void)!::write(report[1], &reason, sizeof reason);
        ::_exit(kNotStarted);
    }
    ::close(report[1]);
    int exec_errno = 0;
    ssize_t got;
    while ((got = ::read(report[0], &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    int status = 0;
    wait_errno = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        wait_errno = errno;
        status = -1;
        break;
    }
    if (got == static_cast<ssize_t>(sizeof exec_errno)) return {kNotStarted, std::strerror(exec_errno)};
    return {status, ""};
}

// The command a shell user would type for the same check, for reports.
std::string shown_command(const std::vector<std::string>& args, const char* log_file) {
    std::string command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i)
        command.append(" ").append(args[i][0] == '-' ? args[i] : shell_quote(args[i].c_str()));
    if (log_file) command.append(" >").append(shell_quote(log_file));
    return command;
}

ProgramRun run_checker(const char* config_file, const char* syntax_file, const char* log_file) {
    upgrade_debug_line(show_funcs, "run_config_check:\n");
    std::vector<std::string> args = {kCheckProgram, "-c", config_file, "-s", syntax_file};
    if (upgrade_inputs.test_mode) args.push_back("-z");
    const int log_fd = log_file ? open_check_log(log_file) : -1;
    const std::string program = program_along_path(kCheckProgram);
    int wait_errno = 0;
    ProgramRun run = program.empty() ? ProgramRun{kNotStarted, kHintNotFound}
                                   : spawn_program(program, args, log_fd, wait_errno);
    if (log_fd >= 0) ::close(log_fd);
    if (!run.not_run.empty() || run.status == 0) return run;
    if ((run.status & 0xff) != 0) {  // killed by a signal, or not waited for
        kx_errno = wait_errno != 0 ? wait_errno : kSystemFailure;
        upgrade_error(kx_errno,
                      upgrade_format(kMsgSystem, run.status, shown_command(args, log_file).c_str()).c_str(),
                      FILE_NONE, SEVERITY_ERROR, nullptr);
        return run;
    }
    run.status = (run.status >> 8) & 0xff;
    return run;
}

// The first lines of a failed check's log, as context lines of its report,
// so that the findings are on the terminal without opening the log.
std::string first_findings(const char* log_file) {
    if (!log_file) return {};
    const int fd = ::open(log_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE* log = fd >= 0 ? ::fdopen(fd, "r") : nullptr;
    if (!log) {
        if (fd >= 0) ::close(fd);
        return {};
    }
    std::string shown;
    std::size_t lines = 0;
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, log)) >= 0) {
        if (++lines > kFindingsShown) continue;
        std::string text(line, static_cast<std::size_t>(length));
        if (!text.empty() && text.back() == '\n') text.pop_back();
        shown.append(upgrade_format(kHintFinding, text.c_str()));
    }
    std::free(line);
    std::fclose(log);
    if (lines > kFindingsShown)
        shown.append(upgrade_format(kHintMoreFindings, static_cast<int>(lines - kFindingsShown)));
    return shown;
}

// What the user needs to fix a failed check: why the checker did not run,
// or that the syntax file was unusable, and the findings.
std::string check_failure_hints(const ProgramRun& run, const char* syntax_file, const char* log_file) {
    if (!run.not_run.empty()) return upgrade_format(kHintNotRun, kCheckProgram, run.not_run.c_str());
    std::string hints;
    if (run.status == kCheckerSyntaxUnusable) hints = upgrade_format(kHintSyntaxUnusable, syntax_file);
    return hints + first_findings(log_file);
}

// A failed check ends the run unless -X asks to go on with a counted error;
// a passed check leaves no log behind.
void check_file(const char* config_file, const char* syntax_file, const char* log_file,
                const char* failure_format, int file_kind) {
    const ProgramRun run = run_checker(config_file, syntax_file, log_file);
    if (run.status == 0) {
        if (log_file) ::unlink(log_file);
        return;
    }
    std::string message = upgrade_format(failure_format, kCheckProgram, upgrade_file_label(log_file));
    const std::string hints = check_failure_hints(run, syntax_file, log_file);
    if (!upgrade_inputs.force) upgrade_fatal_more(0, message.c_str(), file_kind, hints);
    upgrade_error_more(0, message.c_str(), file_kind, SEVERITY_ERROR, nullptr, hints);
}

void check_previous_file() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    if (!in.prev_config_file || !in.prev_syntax_file) return;
    check_file(in.prev_config_file, in.prev_syntax_file, in.prev_check_log, kMsgPrevCheck, FILE_PREV);
}

void merge_previous_file() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    if (!in.prev_config_file) return;
    open_config_files();
    upgrade_all_sections(in.new_cfg, in.prev_cfg, in.rules_cfg);
    close_config_files();
}

[[noreturn]] void install_result() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    const char* target = upgrade_result_target();
    // Behind a symbolic link the linked file is replaced, and the result
    // keeps the owner, group and mode of the file it replaces.
    if (replace_file(in.tmp_new_config_file, target) != 0) {
        int reason = kx_errno;
        upgrade_fatal(reason, upgrade_format(kMsgRename, in.tmp_new_config_file, target).c_str(),
                      FILE_NONE);
    }
    remove_lock_file(in.tmp_new_config_file);
    std::string text = upgrade_format(kMsgSuccess, target);
    upgrade_log(text.data());
    if (debug_flags != 0) dbg_close();
    std::exit(0);
}

// ---- Preview --------------------------------------------------------------------

// Removes the preview's private directory and what the run left in it (the
// result, the working copy, its lock, the check log): all plain files.
void remove_preview_dir() {
    const std::string preview_dir = upgrade_preview_dir();
    if (DIR* dir = ::opendir(preview_dir.c_str())) {
        while (const struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ::unlink((preview_dir + "/" + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(preview_dir.c_str());
}

// At the end of a preview, whatever its status: the diff of the new file
// against the result the real run would leave (nothing when it would leave
// none), then the private directory goes.
void finish_preview() {
    const UPGRADE_INPUTS& in = upgrade_inputs;
    const char* result = upgrade_result_target();
    if (in.new_config_file && result && file_exists(result)) {
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
    remove_preview_dir();
}

// A preview works in a private directory under $TMPDIR; the reporting part
// sends the result and every copy there and keeps the suite log untouched.
void start_preview() {
    if (!preview_requested) return;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : kDefaultTmpDir) + kPreviewDirPattern;
    if (!::mkdtemp(pattern.data()))
        upgrade_fatal(errno, upgrade_format(kMsgPreviewDir, pattern.c_str()).c_str(), FILE_NONE);
    upgrade_set_preview(pattern.c_str());
    std::atexit(finish_preview);
}

}  // namespace

// ---- Driver ---------------------------------------------------------------------

void print_usage() { usage_exit(); }

namespace {

// The debug_flags bits of a -d level.
unsigned debug_level_flags(const char* level) {
    // A negative level reads as a large unsigned one and turns on everything.
    unsigned value = static_cast<unsigned>(std::atoi(level));
    if (value >= 3) return show_args | show_funcs | show_detail;
    if (value == 2) return show_args | show_funcs;
    if (value == 1) return show_args;
    return 0;
}

// Options into upgrade_inputs and debug_flags; the usage text and exit 1 for
// a bad command line.
void parse_upgrade_options(int argc, char** argv) {
    debug_flags = 0;
    upgrade_inputs.program_name = argv[0];
    std::set<int> seen;
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, kLongOptions, nullptr)) != -1) {
        if (letter == '?') usage_exit();
        if (letter == 'h') help_exit();
        if (letter == kVersionOption) version_exit();
        bool repeatable = letter == 'T' || letter == 'X' || letter == 'n';
        if (!repeatable && !seen.insert(letter).second) usage_exit();
        if (set_value_option(letter, optarg)) continue;
        switch (letter) {
        case 'T':
            upgrade_inputs.test_mode = 1;
            break;
        case 'X':
            upgrade_inputs.force = 1;
            break;
        case 'n':
            preview_requested = true;
            break;
        case 'd':
            debug_flags |= debug_level_flags(optarg);
            break;
        case 'D':
            dbg_parse_tokens(&debug_flags, kDebugTokens, optarg);
            break;
        default:
            usage_exit();
        }
    }
}

}  // namespace

void check_program_inputs() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    upgrade_debug_line(show_funcs, "check_program_inputs:\n");
    if (!in.new_config_file) usage_exit();
    BaseNames base = derive_base_names();

    std::string start = upgrade_format(kMsgStart, in.new_config_file);
    upgrade_log(start.data());
    if (!file_exists(in.new_config_file)) {
        // With -o the file line of the new file would name the output file;
        // the report names the file that was looked for.
        const int reason = missing_reason(in.new_config_file);
        if (!in.output_config_file) upgrade_fatal(reason, kMsgNewMissing, FILE_NEW);
        upgrade_fatal_more(reason, kMsgNewMissing, FILE_NONE, upgrade_new_file_line(in.new_config_file));
    }

    read_version_to_install(base);
    read_previous_version(base);
    find_rules_file(base);
    find_new_syntax_file(base);
    find_previous_file(base);
    find_previous_syntax_file(base);
    check_output_directory();
    derive_check_log(base);
    log_inputs();
    make_temporary_copy();
}

int run_config_check(const char* config_file, const char* syntax_file, const char* log_file) {
    return run_checker(config_file, syntax_file, log_file).status;
}

void open_config_files() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    upgrade_debug_line(show_funcs, "open_config_files:\n");
    kxcf_lineno = 0;
    in.new_cfg = kxcf_open(in.tmp_new_config_file, KXCF_UPDATE | KXCF_NOEXPAND);
    // The copy is the -c file byte for byte: a fault in its text, and its
    // line, are the -c file's; its lock is the copy's own.
    if (!in.new_cfg) {
        const bool text_fault = kxcf_lineno > 0 || kx_errno == KXCF_EFILESIZE;
        const char* name = text_fault ? in.new_config_file : in.tmp_new_config_file;
        upgrade_fatal_more(kx_errno, upgrade_format(kMsgOpenNew, name).c_str(), FILE_NEW, parse_line_hint());
    }
    in.prev_cfg = kxcf_open(in.prev_config_file, KXCF_NOEXPAND);
    if (!in.prev_cfg) upgrade_fatal_more(kx_errno, kMsgOpenPrev, FILE_PREV, parse_line_hint());
    in.rules_cfg = kxcf_open(in.upgrade_rules_file, KXCF_NOEXPAND);
    if (!in.rules_cfg) upgrade_fatal_more(kx_errno, kMsgOpenRules, FILE_RULES, parse_line_hint());
}

void close_config_files() {
    UPGRADE_INPUTS& in = upgrade_inputs;
    upgrade_debug_line(show_funcs, "close_config_files:\n");
    if (kxcf_flush(in.new_cfg) != 0)
        upgrade_fatal(kx_errno, upgrade_format(kMsgFlushNew, in.tmp_new_config_file).c_str(),
                      FILE_NEW);
    int closed = kxcf_close(in.new_cfg);
    in.new_cfg = nullptr;
    if (closed != 0)
        upgrade_fatal(kx_errno, upgrade_format(kMsgCloseNew, in.tmp_new_config_file).c_str(),
                      FILE_NEW);
    closed = kxcf_close(in.prev_cfg);
    in.prev_cfg = nullptr;
    if (closed != 0) upgrade_fatal(kx_errno, kMsgClosePrev, FILE_PREV);
    closed = kxcf_close(in.rules_cfg);
    in.rules_cfg = nullptr;
    if (closed != 0) upgrade_fatal(kx_errno, kMsgCloseRules, FILE_RULES);
}

void upgrade_main(int argc, char** argv) {
    parse_upgrade_options(argc, argv);
    start_debugging(argc, argv);
    start_preview();
    check_program_inputs();
    check_previous_file();
    merge_previous_file();
    // Errors counted so far (during the merge, or let through by -X) end the
    // run without checking the result.
    if (upgrade_inputs.error_count != 0) upgrade_end_failed_run();
    const UPGRADE_INPUTS& in = upgrade_inputs;
    check_file(in.tmp_new_config_file, in.new_syntax_file, in.new_check_log, kMsgNewCheck, FILE_NONE);
    install_result();
}

// The command line: options into the run's inputs, the usage text, the
// help and the version.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "driver_internal.h"
#include "kx_dbg.h"
#include "kx_program_version.h"

namespace driver {
namespace {

// The options of the usage text, then help (-h) and preview (-n).
constexpr const char* kOptionString = "c:C:u:s:S:v:V:o:TXd:D:hn";
constexpr int kVersionOption = 256;  // --version has no letter
constexpr struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, kVersionOption}, {nullptr, 0, nullptr, 0}};

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
    "             write nothing to the suite log or the debug file (-d and -D\n"
    "             trace to standard error), print the reports and a unified\n"
    "             diff of the new file against the result\n"
    "  -d LEVEL   debug level 1 to 3\n"
    "  -D TOKENS  debug tokens show_args, show_funcs, show_detail\n"
    "  -h, --help this text;  --version  the release number\n"
    "\n"
    "Environment:\n"
    "  KESTRIX_HOME  the product home (else the home of the account \"kestrix\")\n"
    "  PATH          where config_check (and diff, for -n) are found\n"
    "  TMPDIR        where -n works (default /tmp); refused when every user may\n"
    "                write it and it has no sticky bit\n"
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

constexpr DBG_TOKEN kDebugTokens[] = {
    {"show_args", show_args}, {"show_funcs", show_funcs}, {"show_detail", show_detail}, {nullptr, 0}};

[[noreturn]] void help_exit(DriverRun& d) {
    const std::string name = last_component(upgrade_program_label(d.inputs));
    std::fputs(upgrade_format(kHelp, name.c_str(), name.c_str()).c_str(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

[[noreturn]] void version_exit(DriverRun& d) {
    std::printf(kVersionText, last_component(upgrade_program_label(d.inputs)).c_str(), KX_PROGRAM_VERSION);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}

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

bool set_value_option(DriverRun& d, int letter, char* argument) {
    for (const ValueOption& option : kValueOptions) {
        if (option.letter == letter) {
            d.inputs.*option.field = argument;
            return true;
        }
    }
    return false;
}

// The debug_flags bits of a -d level.
unsigned debug_level_flags(const char* level) {
    // A negative level reads as a large unsigned one and turns on everything.
    unsigned value = static_cast<unsigned>(std::atoi(level));
    if (value >= 3) return show_args | show_funcs | show_detail;
    if (value == 2) return show_args | show_funcs;
    if (value == 1) return show_args;
    return 0;
}


}  // namespace

[[noreturn]] void usage_exit(DriverRun& d) {
    const char* name = upgrade_program_label(d.inputs);
    std::string text = kUsageTitle;
    text.append(upgrade_format(kUsageSynopsis, last_component(name).c_str()));
    for (const char* line : kUsageOptions) text.append(line);
    upgrade_write_stderr(text);
    std::exit(1);
}

void parse_upgrade_options(DriverRun& d, int argc, char** argv) {
    debug_flags = 0;
    d.inputs.program_name = argv[0];
    std::set<int> seen;
    int letter;
    while ((letter = getopt_long(argc, argv, kOptionString, kLongOptions, nullptr)) != -1) {
        if (letter == '?') usage_exit(d);
        if (letter == 'h') help_exit(d);
        if (letter == kVersionOption) version_exit(d);
        bool repeatable = letter == 'T' || letter == 'X' || letter == 'n';
        if (!repeatable && !seen.insert(letter).second) usage_exit(d);
        if (set_value_option(d, letter, optarg)) continue;
        switch (letter) {
        case 'T':
            d.inputs.test_mode = 1;
            break;
        case 'X':
            d.inputs.force = 1;
            break;
        case 'n':
            d.inputs.preview = 1;
            break;
        case 'd':
            debug_flags |= debug_level_flags(optarg);
            break;
        case 'D':
            dbg_parse_tokens(&debug_flags, kDebugTokens, optarg);
            break;
        default:
            usage_exit(d);
        }
    }
}

}  // namespace driver

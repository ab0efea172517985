// config_check: checks a configuration file against a syntax file that lists
// the sections, subsections and keywords it may hold and the kind of each
// keyword's value. Findings go to standard output, one per line as
// "FILE:LINE: place: what", then a summary line. Exit status 0: the file is
// valid; 1: it has findings; 2: a wrong command line or an unusable syntax
// file. The syntax-file format is in tools/README.md and kx_syntax(5).
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kx_program_version.h"
#include "scratch_copy.h"
#include "syntax_check.h"

namespace {

constexpr const char* kProgram = "config_check";
constexpr const char* kStandardInput = "-";
constexpr const char* kUsage = "usage: %s -c config_file -s syntax_file [-z]\n";
constexpr const char* kHelp =
    "usage: %s -c config_file -s syntax_file [-z]\n"
    "       %s -h | --help | --version\n"
    "\n"
    "Checks config_file against syntax_file, which lists the sections,\n"
    "subsections and keywords the file may hold and the kind of each value.\n"
    "\n"
    "  -c FILE   the configuration file to check (\"-\": standard input)\n"
    "  -s FILE   the syntax file (format: kx_syntax(5))\n"
    "  -z        skip the existence checks of file and dir values\n"
    "  -h, --help  this text;  --version  the release number\n"
    "\n"
    "Every finding goes to standard output as FILE:LINE: place: what, then a\n"
    "summary line. Values are expanded ($ references, KESTRIX_HOME) first.\n"
    "\n"
    "Exit status:\n"
    "  0  the file is valid\n"
    "  1  the file has findings (or cannot be read)\n"
    "  2  a wrong command line, or a syntax file that cannot be used\n";
constexpr const char* kVersionText = "%s (Kestrix) %s\n";

constexpr int kValid = 0;
constexpr int kFindings = 1;
constexpr int kUnusable = 2;

constexpr int kVersionOption = 256;
constexpr struct option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersionOption},
                                          {nullptr, 0, nullptr, 0}};

enum class Request { check, usage_error, help, version };

struct Options {
    std::string config_file;
    std::string syntax_file;
    bool check_paths = true;
};

// Each of -c and -s exactly once, nothing after the options.
Request parse_options(int argc, char** argv, Options& options) {
    bool have_config = false;
    bool have_syntax = false;
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, "c:s:zh", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 'c':
            if (have_config) return Request::usage_error;
            options.config_file = optarg;
            have_config = true;
            break;
        case 's':
            if (have_syntax) return Request::usage_error;
            options.syntax_file = optarg;
            have_syntax = true;
            break;
        case 'z':
            options.check_paths = false;
            break;
        case 'h':
            return Request::help;
        case kVersionOption:
            return Request::version;
        default:
            return Request::usage_error;
        }
    }
    return have_config && have_syntax && optind == argc ? Request::check : Request::usage_error;
}

// "FILE:LINE: place: what"; the line and the place only where there is one.
void print(const std::string& file, const kx_syntax::Findings& findings) {
    for (const kx_syntax::Finding& f : findings) std::printf("%s\n", kx_syntax::format_finding(file, f).c_str());
}

int check(const Options& options) {
    kx_syntax::SyntaxChecker checker;
    kx_syntax::Findings found;
    if (!checker.load(options.syntax_file, found)) {
        print(options.syntax_file, found);
        std::printf("%s: syntax file %s is not usable\n", kProgram, options.syntax_file.c_str());
        return kUnusable;
    }
    // "-" is standard input, checked from a copy.
    const bool from_stdin = options.config_file == kStandardInput;
    const std::string name = from_stdin ? kx_syntax::kStandardInputName : options.config_file;
    kx_syntax::ScratchCopy copy;
    if (from_stdin) {
        if (const int err = copy.copy_from(STDIN_FILENO)) {
            std::printf("%s: cannot read %s: %s\n", kProgram, name.c_str(), std::strerror(err));
            return kFindings;
        }
    }
    int findings = checker.check(from_stdin ? copy.path() : options.config_file, options.check_paths, found);
    print(name, found);
    if (findings == 0) {
        std::printf("%s: %s is valid\n", kProgram, name.c_str());
        return kValid;
    }
    std::printf("%s: %s has %d error%s\n", kProgram, name.c_str(), findings, findings == 1 ? "" : "s");
    return kFindings;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (parse_options(argc, argv, options)) {
    case Request::usage_error:
        std::fprintf(stderr, kUsage, kProgram);
        return kUnusable;
    case Request::help:
        std::printf(kHelp, kProgram, kProgram);
        return kValid;
    case Request::version:
        std::printf(kVersionText, kProgram, KX_PROGRAM_VERSION);
        return kValid;
    case Request::check:
        break;
    }
    return check(options);
}

// config_check: checks a configuration file against a syntax file that lists
// the sections, subsections and keywords it may hold and the kind of each
// keyword's value. Findings go to standard output, one per line; the exit
// status is 0 when the file is valid and 1 otherwise (a usage error or an
// unusable syntax file included). The syntax-file format is in tools/README.md.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "syntax_check.h"

namespace {

constexpr const char* kProgram = "config_check";
constexpr const char* kUsage = "usage: %s -c config_file -s syntax_file [-z]\n";

constexpr int kValid = 0;
constexpr int kInvalid = 1;

struct Options {
    std::string config_file;
    std::string syntax_file;
    bool check_paths = true;
};

bool parse_options(int argc, char** argv, Options& options) {
    bool have_config = false;
    bool have_syntax = false;
    int c;
    opterr = 0;
    while ((c = getopt(argc, argv, "c:s:z")) != -1) {
        switch (c) {
        case 'c':
            if (have_config) return false;
            options.config_file = optarg;
            have_config = true;
            break;
        case 's':
            if (have_syntax) return false;
            options.syntax_file = optarg;
            have_syntax = true;
            break;
        case 'z':
            options.check_paths = false;
            break;
        default:
            return false;
        }
    }
    return have_config && have_syntax && optind == argc;
}

void print(const kx_syntax::Findings& findings) {
    for (const kx_syntax::Finding& f : findings)
        std::printf("%s: %s\n", f.where.c_str(), f.what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr, kUsage, kProgram);
        return kInvalid;
    }
    kx_syntax::SyntaxChecker checker;
    kx_syntax::Findings found;
    if (!checker.load(options.syntax_file, found)) {
        print(found);
        std::printf("%s: syntax file %s is not usable\n", kProgram, options.syntax_file.c_str());
        return kInvalid;
    }
    int findings = checker.check(options.config_file, options.check_paths, found);
    print(found);
    if (findings == 0) {
        std::printf("%s: %s is valid\n", kProgram, options.config_file.c_str());
        return kValid;
    }
    std::printf("%s: %s has %d error%s\n", kProgram, options.config_file.c_str(), findings,
                findings == 1 ? "" : "s");
    return kInvalid;
}

// The command line of kxconf: global options, the command, its arguments
// and options, checked against one table of commands; --help is made from
// the same table.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kx_program_version.h"
#include "kxconf.h"

namespace kxconf {
namespace {

// Options a command may take, as bits.
enum OptionBit : unsigned {
    kOptInstance = 1u << 0,
    kOptAll = 1u << 1,
    kOptAdd = 1u << 2,
    kOptRaw = 1u << 3,
    kOptFormat = 1u << 4,
    kOptSyntax = 1u << 5,
    kOptVerify = 1u << 6,
    kOptName = 1u << 7,
    kOptVerbose = 1u << 8,
    kOptDryRun = 1u << 9,
    kOptExisting = 1u << 10,
};

// What every editing command takes.
constexpr unsigned kEditOptions = kOptVerbose | kOptDryRun;

struct Command {
    const char* name;
    const char* synopsis;
    std::size_t min_args;
    std::size_t max_args;
    unsigned options;
    int (*run)(const Options&);
};

const Command kCommands[] = {
    {"get", "get SECTION[/SUBSECTION] KEYWORD [--instance N | --all] [--raw]", 2, 2,
     kOptInstance | kOptAll | kOptRaw, run_get},
    {"set", "set SECTION[/SUBSECTION] KEYWORD VALUE [--instance N | --add] [--existing]", 3, 3,
     kOptInstance | kOptAdd | kOptExisting | kEditOptions, run_edit},
    {"unset", "unset SECTION[/SUBSECTION] KEYWORD [--instance N | --all]", 2, 2,
     kOptInstance | kOptAll | kEditOptions, run_edit},
    {"delete", "delete SECTION[/SUBSECTION]", 1, 1, kEditOptions, run_edit},
    {"rename", "rename SECTION[/SUBSECTION] NEWNAME", 2, 2, kEditOptions, run_edit},
    {"apply", "apply [EDITS|-] [--format text|json] [--existing]", 0, 1,
     kOptFormat | kOptExisting | kEditOptions, run_apply},
    {"list", "list [SECTION[/SUBSECTION]] [--format text|json|sh] [--raw]", 0, 1,
     kOptFormat | kOptRaw, run_list},
    {"sections", "sections [SECTION]", 0, 1, 0, run_sections},
    {"check", "check [-s SYNTAX_FILE]", 0, 0, kOptSyntax, run_check},
    {"cksum", "cksum SECTION/SUBSECTION [--name NAME] [--verify]", 1, 1, kOptVerify | kOptName,
     run_cksum},
};

struct OptionSpec {
    const char* name;
    OptionBit bit;
    bool takes_value;
};

const OptionSpec kCommandOptions[] = {
    {"--instance", kOptInstance, true}, {"--all", kOptAll, false},
    {"--add", kOptAdd, false},          {"--raw", kOptRaw, false},
    {"--format", kOptFormat, true},     {"-s", kOptSyntax, true},
    {"--verify", kOptVerify, false},    {"--name", kOptName, true},
    {"--verbose", kOptVerbose, false},  {"--dry-run", kOptDryRun, false},
    {"--existing", kOptExisting, false},
};

struct FormatName {
    const char* name;
    Format format;
};
const FormatName kFormats[] = {{"text", Format::kText}, {"json", Format::kJson}, {"sh", Format::kSh}};

const char* const kHelpHead =
    "usage: kxconf [-f FILE] [--wait SECONDS] COMMAND ...\n";
const char* const kHelpTail =
    "\n"
    "  -f, --file FILE    the file to work on (default: qzt_config in the suite's\n"
    "                     configuration directory, $KESTRIX_HOME/qzt/etc/); \"-\" reads\n"
    "                     standard input (get, list, sections, check, cksum --verify)\n"
    "  --wait SECONDS     wait this long for a lock held by another process\n"
    "                     (default 0: fail at once)\n"
    "  -h, --help         this text\n"
    "  --version          the release number\n"
    "\n"
    "The editing commands (set, unset, delete, rename, apply) also take:\n"
    "  --verbose          say \"changed\" or \"unchanged\" for each edit\n"
    "  --dry-run          print the diff an edit would make, write nothing\n"
    "\n"
    "A \"/\" separates section and subsection. get and list expand $ references\n"
    "unless --raw is given; \"--\" ends the options, before a value that begins\n"
    "with \"-\". Edits change only the lines they are about and write nothing when\n"
    "nothing changes; set and apply create a missing file unless --existing is\n"
    "given. apply makes edit lines (or --format json as list prints it) all at once\n"
    "under one lock, or none of them.\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the section, subsection, keyword or instance is not there\n"
    "  2  usage error, or a value the file format cannot hold\n"
    "  3  the file cannot be parsed (FILE:LINE is named), or a value cannot be expanded\n"
    "  4  the file cannot be opened, locked or written (nothing changed on disk)\n"
    "  5  check or cksum --verify found a problem\n";

void print_help() {
    std::fputs(kHelpHead, stdout);
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::fputs(kHelpTail, stdout);
}

[[noreturn]] void usage(const std::string& what) {
    fail(kUsage, what + " (kxconf --help shows the usage)");
}

const Command* find_command(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

const OptionSpec* find_option(const std::string& name) {
    for (const OptionSpec& o : kCommandOptions)
        if (name == o.name) return &o;
    return nullptr;
}

// A whole decimal number from LOW up to INT_MAX.
int number_argument(const std::string& option, const std::string& text, int low) {
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < low || n > INT_MAX)
        usage(option + " needs a whole number from " + std::to_string(low) + ", not \"" + text + "\"");
    return static_cast<int>(n);
}

Format format_argument(const std::string& text) {
    for (const FormatName& f : kFormats)
        if (text == f.name) return f.format;
    usage("unknown format \"" + text + "\" (text, json or sh)");
}

// Splits "--name=value" into its two halves.
bool split_inline_value(std::string& arg, std::string& value) {
    std::size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || eq == std::string::npos) return false;
    value = arg.substr(eq + 1);
    arg.erase(eq);
    return true;
}

class Parser {
public:
    Parser(int argc, char** argv, bool edit_line) : argc_(argc), argv_(argv), edit_line_(edit_line) {}

    // False after --help or --version.
    bool parse(Options& o) {
        bool options_ended = false;
        for (i_ = 1; i_ < argc_; ++i_) {
            std::string arg = argv_[i_];
            if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
                positional(o, arg);
                continue;
            }
            if (arg == "--") {
                options_ended = true;
                continue;
            }
            // Printed in the middle of apply's edits, they would hide why
            // the edits were refused.
            if (edit_line_ && (arg == "-h" || arg == "--help" || arg == "--version"))
                usage(arg + " is not an option of an edit");
            if (arg == "-h" || arg == "--help") {
                print_help();
                return false;
            }
            if (arg == "--version") {
                std::printf("%s %s\n", kProgram, KX_PROGRAM_VERSION);
                return false;
            }
            option(o, arg);
        }
        finish(o);
        return true;
    }

private:
    void positional(Options& o, const std::string& arg) {
        if (!command_) {
            command_ = find_command(arg);
            if (!command_) usage("unknown command \"" + arg + "\"");
            o.command = arg;
            o.run = command_->run;
            return;
        }
        o.args.push_back(arg);
    }

    std::string value_of(const std::string& option, bool has_inline, const std::string& inline_value) {
        if (has_inline) return inline_value;
        if (i_ + 1 >= argc_) usage(option + " needs a value");
        return argv_[++i_];
    }

    void option(Options& o, std::string arg) {
        std::string inline_value;
        bool has_inline = split_inline_value(arg, inline_value);
        if (arg == "-f" || arg == "--file") {
            o.file = value_of(arg, has_inline, inline_value);
            if (o.file.empty()) usage(arg + " needs a file name");
            return;
        }
        if (arg == "--wait") {
            o.wait_seconds = number_argument(arg, value_of(arg, has_inline, inline_value), 0);
            return;
        }
        const OptionSpec* option = find_option(arg);
        if (!option) usage("unknown option \"" + arg + "\"");
        if (!command_ || !(command_->options & option->bit))
            usage(arg + " is not an option of " + (command_ ? command_->name : "kxconf without a command"));
        if (has_inline && !option->takes_value) usage(arg + " takes no value");
        seen_ |= option->bit;
        const std::string value = option->takes_value ? value_of(arg, has_inline, inline_value) : "";
        switch (option->bit) {
        case kOptInstance: o.instance = number_argument(arg, value, 1); break;
        case kOptAll: o.all = true; break;
        case kOptAdd: o.add = true; break;
        case kOptRaw: o.raw = true; break;
        case kOptFormat: o.format = format_argument(value); break;
        case kOptSyntax: o.syntax_file = value; break;
        case kOptVerify: o.verify = true; break;
        case kOptName: o.cksum_name = value; break;
        case kOptVerbose: o.verbose = true; break;
        case kOptDryRun: o.dry_run = true; break;
        case kOptExisting: o.existing = true; break;
        }
    }

    void finish(const Options& o) const {
        if (!command_) usage("no command given");
        if ((seen_ & kOptInstance) && (seen_ & (kOptAll | kOptAdd)))
            usage(std::string("--instance and --") + (o.all ? "all" : "add") + " exclude each other");
        if (o.args.size() < command_->min_args || o.args.size() > command_->max_args)
            usage(std::string("usage: kxconf ") + command_->synopsis);
    }

    int argc_;
    char** argv_;
    bool edit_line_;
    int i_ = 1;
    const Command* command_ = nullptr;
    unsigned seen_ = 0;
};

}  // namespace

bool parse_command_line(int argc, char** argv, Options& options) {
    return Parser(argc, argv, false).parse(options);
}

void parse_edit_words(int argc, char** argv, Options& options) {
    Parser(argc, argv, true).parse(options);
}

std::string Place::text() const {
    return has_subsection ? section + "/" + subsection : section;
}

Place parse_place(const std::string& arg) {
    Place p;
    std::size_t slash = arg.find('/');
    p.section = arg.substr(0, slash);
    if (slash != std::string::npos) {
        p.has_subsection = true;
        p.subsection = arg.substr(slash + 1);
        if (p.subsection.find('/') != std::string::npos)
            usage("\"" + arg + "\" has more than one \"/\" (SECTION/SUBSECTION)");
        if (p.subsection.empty()) usage("\"" + arg + "\" has no subsection after \"/\"");
    }
    if (p.section.empty()) usage("no section name in \"" + arg + "\"");
    return p;
}

}  // namespace kxconf

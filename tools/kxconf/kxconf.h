// kxconf: reading and changing the suite's configuration files from the
// shell, through the configuration library and under its lock; edits
// change only the lines they are about (document.h). Shared by the
// program's sources: the command line, the exit statuses, how a file is
// opened for reading or changed, and the walks over its keyword lists.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kxcf.h"
#include "scratch_copy.h"

namespace kxconf {

constexpr const char* kProgram = "kxconf";

// Exit statuses, in the manner of git config.
enum Status {
    kDone = 0,
    kNotThere = 1,    // section, subsection, keyword or instance missing
    kUsage = 2,       // bad command line or a value the format cannot hold
    kUnreadable = 3,  // the file cannot be parsed, or a value not expanded
    kFileError = 4,   // cannot open, lock or write; nothing changed on disk
    kProblem = 5,     // check or cksum --verify found a problem
};

// Every failure ends the command with a status and a message for standard
// error (the program name is put in front); thrown, so that every handle
// is released on the way out.
struct Failure {
    int status;
    std::string message;
};
[[noreturn]] void fail(int status, const std::string& message);

// What a failed kxcf_open of PATH (called NAME) means: a parse fault
// (kUnreadable, with NAME:LINE and how to mend it) or a file that cannot be
// opened (kFileError).
Failure open_failure(const std::string& path, const std::string& name, int code);
// "cannot open PATH: not a regular file"
std::string not_regular(const std::string& path);

// The name that stands for standard input.
constexpr const char* kStandardInput = "-";

// The library's text for an error number ("error N" for one it does not know).
std::string error_text(int number);

// SECTION[/SUBSECTION] as given on the command line.
struct Place {
    std::string section;
    std::string subsection;
    bool has_subsection = false;

    const char* sub() const { return has_subsection ? subsection.c_str() : nullptr; }
    // "section" or "section/subsection", as the user writes it.
    std::string text() const;
};
// Splits at the one "/" that may be there; a usage failure otherwise.
Place parse_place(const std::string& arg);

enum class Format { kText, kJson, kSh };

struct Options {
    std::string file;            // empty: the suite's main configuration file
    int wait_seconds = 0;        // how long to wait for a lock held elsewhere
    std::string command;
    std::vector<std::string> args;
    int instance = 0;            // 0: not given
    bool all = false;
    bool add = false;
    bool raw = false;
    bool verify = false;
    bool verbose = false;        // say "changed" or "unchanged" for each edit
    bool dry_run = false;        // print the diff, write nothing
    bool existing = false;       // refuse to create a missing file
    Format format = Format::kText;
    std::string syntax_file;
    std::string cksum_name;
    int (*run)(const Options&) = nullptr;   // the command
};

// The command line, checked against the command's synopsis. Returns false
// when it asked for --help or --version (already printed).
bool parse_command_line(int argc, char** argv, Options& options);
// One edit line of apply in the same words; --help and --version are
// refused there.
void parse_edit_words(int argc, char** argv, Options& options);

// ---- files ------------------------------------------------------------------

struct HandleCloser {
    void operator()(KXCF_FILE* f) const { kxcf_close(f); }
};
using Handle = std::unique_ptr<KXCF_FILE, HandleCloser>;

// The file the command works on: -f as given, else "qzt_config" in the
// suite's configuration directory (where kxcf_open(NULL) looks).
std::string target_path(const Options& options);

// The file a reading command reads: the file itself, or, for "-" (standard
// input), a pipe or a terminal, a private copy of what it gave.
class Source {
public:
    explicit Source(const Options& options);
    const std::string& name() const { return name_; }   // for messages
    const std::string& path() const { return copy_ ? copy_->path() : name_; }

private:
    std::string name_;
    std::unique_ptr<kx_syntax::ScratchCopy> copy_;
};

// Opens SOURCE without a lock; FLAGS as for kxcf_open. A parse fault fails
// with kUnreadable and FILE:LINE, anything else with kFileError.
Handle open_for_reading(const Source& source, int flags);
// The same for the file PATH, called NAME in messages.
Handle open_for_reading(const std::string& path, const std::string& name, int flags);

// A keyword name as the library keeps it.
std::string lower(std::string name);

// ---- keyword lists ----------------------------------------------------------

struct Line {
    std::string keyword;
    std::string value;
};

// The keyword lines of the list F is positioned on, values as F hands them
// out (F opened with KXCF_NOEXPAND: as stored).
std::vector<Line> read_list(KXCF_FILE* f, const std::string& path, const Place& place);

// The values of KEYWORD among LINES, in order.
std::vector<std::string> values_of(const std::vector<Line>& lines, const std::string& keyword);

// Every list named by PLACE in file order: the own lists of the sections of
// that name, or every subsection of that name in them. 0 after a visit
// returned true; otherwise 1026, 1027 (no such subsection anywhere) or 1028.
int find_list(KXCF_FILE* f, const Place& place, const std::function<bool()>& visit);

// "FILE: place keyword: " in front of a message about one keyword.
std::string about(const std::string& path, const Place& place, const std::string& keyword = "");

// ---- commands ---------------------------------------------------------------

int run_get(const Options& options);
int run_edit(const Options& options);   // set, unset, delete, rename
int run_list(const Options& options);
int run_sections(const Options& options);
int run_check(const Options& options);
int run_cksum(const Options& options);
int run_apply(const Options& options);

// ---- edits ------------------------------------------------------------------

struct Edit;
class Document;
// Makes EDITS one after another on the file of OPTIONS under its lock and
// writes the result once, or nothing when one of them fails or none
// changes anything (--dry-run: prints the diff instead). MAKE, when given,
// is called under the lock before the edits, with the file as read.
int edit_file(const Options& options, const std::vector<Edit>& edits,
              const std::function<void(const std::string& path, std::vector<Edit>& edits)>& make = nullptr);

}  // namespace kxconf

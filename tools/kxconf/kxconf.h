// kxconf: reading and changing the suite's configuration files from the
// shell, through the configuration library, with its lock and its atomic
// write-back. Shared by the program's sources: the command line, the exit
// statuses, how a file is opened for reading or for an edit, and the walks
// over its keyword lists.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kxcf.h"

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
    Format format = Format::kText;
    std::string syntax_file;
    std::string cksum_name;
    int (*run)(const Options&) = nullptr;   // the command
};

// The command line, checked against the command's synopsis. Returns false
// when it asked for --help or --version (already printed).
bool parse_command_line(int argc, char** argv, Options& options);

// ---- files ------------------------------------------------------------------

struct HandleCloser {
    void operator()(KXCF_FILE* f) const { kxcf_close(f); }
};
using Handle = std::unique_ptr<KXCF_FILE, HandleCloser>;

// The file the command works on: -f as given, else "qzt_config" in the
// suite's configuration directory (where kxcf_open(NULL) looks).
std::string target_path(const Options& options);

// Opens PATH without a lock; FLAGS as for kxcf_open. A parse fault fails
// with kUnreadable and FILE:LINE, anything else with kFileError.
Handle open_for_reading(const std::string& path, int flags);

// One locked change of a file: opened in update mode, so that the lock is
// held from the read to the write-back and every check made on the tree
// still holds when it is written; waits up to WAIT_SECONDS for a lock held
// elsewhere. save() writes everything back at once through the library's
// temporary file and rename. A session that ends without save() after an
// edit was tried writes nothing.
class EditSession {
public:
    EditSession(const std::string& path, int flags, int wait_seconds);
    ~EditSession();
    EditSession(const EditSession&) = delete;
    EditSession& operator=(const EditSession&) = delete;

    KXCF_FILE* file() const { return file_; }
    // Called before each edit of the tree.
    void editing() { edited_ = true; }
    void save();

private:
    std::string path_;
    KXCF_FILE* file_ = nullptr;
    bool edited_ = false;
};

// Fails with kUsage when a name of PLACE (or KEYWORD, when given) is not a
// name the format allows, with the library's reason.
void check_names(KXCF_FILE* f, const Place& place, const char* keyword = nullptr);

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

// Positions F on the list that the library's edits of PLACE change: the own
// list of the first section of that name, or the first subsection of that
// name in the sections of that name. 0, 1026 or 1027.
int enter_edit_list(KXCF_FILE* f, const Place& place);

// Every list named by PLACE in file order: the own lists of the sections of
// that name, or every subsection of that name in them. 0 after a visit
// returned true; otherwise 1026, 1027 (no such subsection anywhere) or 1028.
int find_list(KXCF_FILE* f, const Place& place, const std::function<bool()>& visit);

// "FILE: place keyword: " in front of a message about one keyword.
std::string about(const std::string& path, const Place& place, const std::string& keyword = "");

// ---- commands ---------------------------------------------------------------

int run_get(const Options& options);
int run_set(const Options& options);
int run_unset(const Options& options);
int run_list(const Options& options);
int run_sections(const Options& options);
int run_check(const Options& options);
int run_cksum(const Options& options);

}  // namespace kxconf

// The line numbers of a configuration file, handed out in the order in
// which the configuration library's walk returns its parts:
//
//     kx_syntax::FileLines lines;
//     lines.read(path);
//     while (kxcf_nextsection(f) != KXCF_FAIL) {
//         int header = lines.next_section();
//         while (kxcf_nextvar(f, section, nullptr, ...) != KXCF_FAIL) lines.next_keyword();
//         while (kxcf_nextsubsection(f, section) != KXCF_FAIL) { lines.next_subsection(); ... }
//     }
//
// The library keeps no line numbers in its tree, and a file it has read
// has exactly the structure of its lines, so counting them gives each part
// its line. 0 stands for "no line": a file that could not be read, or a
// walk that went past what the file holds.
#pragma once

#include <string>
#include <vector>

namespace kx_syntax {

class FileLines {
public:
    // False when the file cannot be read; every line is 0 then.
    bool read(const std::string& path);

    int next_section();
    int next_subsection();
    // The next keyword line of the current subsection, or of the current
    // section's own list before its first subsection.
    int next_keyword();

    // The text of line NUMBER (1-based) as it stands in the file; empty
    // when there is no such line.
    std::string text(int number) const;

private:
    struct List {
        int header = 0;
        std::vector<int> keywords;
    };
    struct Section {
        List own;
        std::vector<List> subsections;
    };
    const List* current_list() const;

    std::vector<std::string> texts_;
    std::vector<Section> sections_;
    int section_ = -1;
    int subsection_ = -1;
    std::size_t keyword_ = 0;
};

// One section header, subsection header or keyword line of a file, as the
// library reads it: names lower-cased, values verbatim, and a keyword's
// occurrence number among the lines of its name in its list.
struct FileLine {
    enum class Kind { section, subsection, keyword };
    Kind kind;
    std::string section, subsection, keyword, value;
    int instance = 0;
    int line = 0;
};

// Every such line of the file at PATH in file order, walked as
// config_check walks it; false (and nothing) when the library cannot read
// the file.
bool list_file_lines(const std::string& path, std::vector<FileLine>& lines);

// What a keyword line that the library refused with "Invalid character in
// keyword" lacks, when it is the "=" after the name: "admin root" is a name
// and a value without "=", not a bad character. Empty for any other line.
std::string missing_equals(const std::string& line);

// LINE without the blanks (spaces and tabs) the library trims before it
// reads a line.
std::string trimmed(const std::string& line);

// A character of section, subsection and keyword names (ASCII letters and
// digits, "_" and ".").
bool is_name_char(char c);

// The rule of section, subsection and keyword names, as a message says it.
constexpr const char* kNameRule =
    "names hold letters, digits, \"_\" and \".\", at most 40 characters (section names 130)";

// How to mend a file that the library refuses with error NUMBER at its
// faulty LINE: the missing "=" when that is the fault, else a plain
// explanation; empty when there is none to give.
std::string fault_explanation(int number, const std::string& line);

// What the library's refusal of a file with error NUMBER (whose text is
// TEXT) means, said about its faulty LINE: the library's text and how to
// mend the file, or the missing "=" when that is the fault.
std::string parse_fault(int number, const std::string& line, const std::string& text);

}  // namespace kx_syntax

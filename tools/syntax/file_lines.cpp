// Line numbers of a configuration file in the order of the library's walk.
#include "file_lines.h"

#include <cctype>
#include <fstream>
#include <map>

#include "kxcf.h"

namespace kx_syntax {
namespace {

constexpr const char* kBlanks = " \t";

}  // namespace

bool FileLines::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    // A last line without its newline is a line like any other.
    while (std::getline(in, line)) {
        texts_.push_back(line);
        const int number = static_cast<int>(texts_.size());
        const std::string t = trimmed(line);
        if (t.empty() || t[0] == '#') continue;
        if (t[0] == '[') {
            sections_.emplace_back();
            sections_.back().own.header = number;
        } else if (sections_.empty()) {
            continue;  // the library refuses the file before the walk gets here
        } else if (t[0] == '(') {
            sections_.back().subsections.emplace_back();
            sections_.back().subsections.back().header = number;
        } else if (sections_.back().subsections.empty()) {
            sections_.back().own.keywords.push_back(number);
        } else {
            sections_.back().subsections.back().keywords.push_back(number);
        }
    }
    return true;
}

int FileLines::next_section() {
    ++section_;
    subsection_ = -1;
    keyword_ = 0;
    return section_ < static_cast<int>(sections_.size()) ? sections_[section_].own.header : 0;
}

int FileLines::next_subsection() {
    ++subsection_;
    keyword_ = 0;
    const List* list = current_list();
    return list ? list->header : 0;
}

int FileLines::next_keyword() {
    const List* list = current_list();
    if (!list || keyword_ >= list->keywords.size()) return 0;
    return list->keywords[keyword_++];
}

const FileLines::List* FileLines::current_list() const {
    if (section_ < 0 || section_ >= static_cast<int>(sections_.size())) return nullptr;
    const Section& section = sections_[section_];
    if (subsection_ < 0) return &section.own;
    if (subsection_ >= static_cast<int>(section.subsections.size())) return nullptr;
    return &section.subsections[subsection_];
}

std::string FileLines::text(int number) const {
    if (number < 1 || number > static_cast<int>(texts_.size())) return {};
    return texts_[number - 1];
}

std::string trimmed(const std::string& line) {
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
}

bool is_name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

namespace {

// The keyword lines of one list, each numbered among the lines of its name.
void list_keywords(KXCF_FILE* f, FileLines& numbers, const FileLine& list, std::vector<FileLine>& lines) {
    std::map<std::string, int> seen;
    const char* subsection = list.subsection.empty() ? nullptr : list.subsection.c_str();
    const char* keyword = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(f, list.section.c_str(), subsection, &keyword, 0)) != KXCF_FAIL) {
        FileLine line = {FileLine::Kind::keyword, list.section, list.subsection, keyword, value};
        line.instance = ++seen[keyword];
        line.line = numbers.next_keyword();
        lines.push_back(std::move(line));
    }
}

}  // namespace

bool list_file_lines(const std::string& path, std::vector<FileLine>& lines) {
    FileLines numbers;
    KXCF_FILE* f = numbers.read(path) ? kxcf_open(path.c_str(), KXCF_NOEXPAND) : nullptr;
    if (!f) return false;
    const char* section;
    while ((section = kxcf_nextsection(f)) != KXCF_FAIL) {
        FileLine header = {FileLine::Kind::section, section, "", "", ""};
        header.line = numbers.next_section();
        lines.push_back(header);
        list_keywords(f, numbers, header, lines);
        const char* subsection;
        while ((subsection = kxcf_nextsubsection(f, header.section.c_str())) != KXCF_FAIL) {
            FileLine sub = {FileLine::Kind::subsection, header.section, subsection, "", ""};
            sub.line = numbers.next_subsection();
            lines.push_back(sub);
            list_keywords(f, numbers, sub, lines);
        }
    }
    kxcf_close(f);
    return true;
}

std::string missing_equals(const std::string& line) {
    const std::string t = trimmed(line);
    std::size_t end = 0;
    while (end < t.size() && is_name_char(t[end])) ++end;
    const std::size_t next = t.find_first_not_of(kBlanks, end);
    // A name, blanks, and then something other than "=": the "=" is missing.
    if (end == 0 || next == end || next == std::string::npos || t[next] == '=') return {};
    return "\"=\" is missing after the keyword name \"" + t.substr(0, end) + "\"";
}

namespace {


constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kCrlf = "the file has CRLF (DOS) line ends; convert it with dos2unix";
constexpr const char* kNeedsSection = "a file needs at least one section header, such as \"[main]\"";

std::string explanation(int number, const std::string& line) {
    const bool cr = !line.empty() && line.back() == '\r';
    switch (number) {
    case KXCF_EFILESIZE: return "the file is empty or almost; " + std::string(kNeedsSection);
    case KXCF_EPREMATURE: return kNeedsSection;
    case KXCF_ELINELEN:
        return line.find('\0') != std::string::npos ? "the line holds a NUL byte, which a text line cannot hold"
                                                     : "a line holds at most 1278 characters";
    case KXCF_ESECTNOEND:
    case KXCF_ESUBNOEND: return "a header is \"[name]\" or \"(name)\" alone on its line";
    case KXCF_ESECTAFTER:
    case KXCF_ESUBAFTER: return cr ? kCrlf : "nothing may follow the closing bracket, not even a comment";
    case KXCF_EKWCHAR:
        // A blank line of a CRLF file is a lone carriage return.
        if (cr) return kCrlf;
        if (line.compare(0, 3, kByteOrderMark) == 0)
            return "the file begins with a UTF-8 byte-order mark; save it without one";
        return kNameRule;
    case KXCF_ESECTSIZE:
    case KXCF_ESECTCHAR:
    case KXCF_ESUBSIZE:
    case KXCF_ESUBCHAR:
    case KXCF_EKWSIZE: return kNameRule;
    case KXCF_EVALSIZE: return "a value holds at most 1152 characters";
    case KXCF_ESUBFIRST:
    case KXCF_EKWFIRST: return "only comments and blank lines may come before the first section header";
    default: return {};
    }
}

}  // namespace

std::string fault_explanation(int number, const std::string& line) {
    const std::string missing = number == KXCF_EKWCHAR ? missing_equals(line) : std::string();
    return missing.empty() ? explanation(number, line) : missing;
}

std::string parse_fault(int number, const std::string& line, const std::string& text) {
    if (number == KXCF_EKWCHAR) {
        std::string missing = missing_equals(line);
        if (!missing.empty()) return missing;
    }
    const std::string why = explanation(number, line);
    return why.empty() ? text : text + ": " + why;
}

}  // namespace kx_syntax

// Line-by-line edits of a configuration file and their unified diff.
#include "document.h"

#include <algorithm>
#include <cstdio>

#include "file_lines.h"
#include "kx_errno.h"

namespace kxconf {
namespace {

using kx_syntax::trimmed;

constexpr const char* kBlanks = " \t";
// The word the upgrade rules use for "any name": never a name of its own.
constexpr const char* kPatternWord = "..";
constexpr std::size_t kDiffContext = 3;

std::size_t name_end(const std::string& s, std::size_t from) {
    while (from < s.size() && kx_syntax::is_name_char(s[from])) ++from;
    return from;
}

// The lower-case name of a header line ("[ Name ]", "(name)").
std::string header_name(const std::string& t) {
    const std::size_t begin = std::min(t.find_first_not_of(kBlanks, 1), t.size());
    return lower(t.substr(begin, name_end(t, begin) - begin));
}

// The first character of a line that is not a blank, '\0' for a blank line.
char first_char(const std::string& line) {
    const std::size_t first = line.find_first_not_of(kBlanks);
    return first == std::string::npos ? '\0' : line[first];
}

// A line that is not blank, a comment or a header is a keyword line of the
// list before it.
bool is_keyword_line(const std::string& line) {
    const char c = first_char(line);
    return c != '\0' && c != '#' && c != '[' && c != '(';
}

// A keyword line's name as written, and its value as the library reads it.
struct KeywordLine {
    std::size_t indent, name_begin, name_size;
    std::string value;
};
KeywordLine keyword_line(const std::string& line) {
    KeywordLine k{};
    k.indent = std::min(line.find_first_not_of(kBlanks), line.size());
    k.name_begin = k.indent;
    k.name_size = name_end(line, k.indent) - k.indent;
    const std::string rest = trimmed(line.substr(k.indent + k.name_size));
    if (!rest.empty() && rest[0] == '=') k.value = trimmed(rest.substr(1));
    return k;
}

std::string keyword_text(const std::string& name, const std::string& value) {
    return value.empty() ? name : name + " = " + value;
}

int name_fault(const std::string& name, std::size_t limit, int size_code, int char_code) {
    if (name.empty() || name.size() > limit) return size_code;
    return name_end(name, 0) == name.size() ? 0 : char_code;
}

[[noreturn]] void bad_name(const std::string& name, const char* what, const std::string& why) {
    fail(kUsage, "\"" + name + "\" is not a " + what + " name: " + why);
}

}  // namespace

void check_list_name(const std::string& name, bool subsection) {
    const int code = subsection ? name_fault(name, KXCF_MAX_NAME, KXCF_ESUBSIZE, KXCF_ESUBCHAR)
                                : name_fault(name, KXCF_MAX_SECTION, KXCF_ESECTSIZE, KXCF_ESECTCHAR);
    const char* what = subsection ? "subsection" : "section";
    if (code) bad_name(name, what, error_text(code) + "; " + kx_syntax::kNameRule);
}

void check_new_names(const Place& place) {
    for (const std::string* name : {&place.section, &place.subsection})
        if (*name == kPatternWord)
            bad_name(*name, name == &place.section ? "section" : "subsection",
                     "\"..\" is the word the upgrade rules use for any name");
}

void check_names(const Place& place, const std::string& keyword) {
    check_list_name(place.section, false);
    if (place.has_subsection) check_list_name(place.subsection, true);
    if (keyword.empty()) return;
    if (const int code = name_fault(keyword, KXCF_MAX_NAME, KXCF_EKWSIZE, KXCF_EKWCHAR))
        bad_name(keyword, "keyword", error_text(code) + "; " + kx_syntax::kNameRule);
}

std::string Edit::text() const {
    switch (kind) {
    case kSet: return "set " + place.text() + " " + lower(keyword);
    case kUnset: return "unset " + place.text() + " " + lower(keyword);
    case kDelete: return "delete " + place.text();
    case kRename: return "rename " + place.text() + " " + lower(value);
    case kEnsure: return "add " + place.text();
    }
    return {};
}

Document::Document(const std::string& name, const std::string& bytes) : name_(name), original_bytes_(bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t nl = bytes.find('\n', at);
        const bool newline = nl != std::string::npos;
        const std::size_t end = newline ? nl : bytes.size();
        original_.push_back({bytes.substr(at, end - at), newline, static_cast<long>(original_.size())});
        at = end + 1;
    }
    lines_ = original_;
}

std::string Document::bytes() const {
    std::string out;
    out.reserve(original_bytes_.size() + 256);
    for (const Text& t : lines_) {
        out += t.text;
        if (t.newline) out += '\n';
    }
    return out;
}

const std::vector<Document::Section>& Document::structure() const {
    if (scanned_) return sections_;
    std::vector<Section>& sections = sections_;
    sections.clear();
    List* list = nullptr;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const char c = first_char(lines_[i].text);
        if (c == '\0' || c == '#') continue;
        if (c == '[') {
            sections.push_back({{header_name(trimmed(lines_[i].text)), i, 0, {}}, {}, 0});
            list = &sections.back().own;
        } else if (c == '(' && !sections.empty()) {
            sections.back().subsections.push_back({header_name(trimmed(lines_[i].text)), i, 0, {}});
            list = &sections.back().subsections.back();
        } else if (list) {
            list->keywords.push_back(i);
        }
    }
    // Every list ends at the next header: the comments before a header are
    // the last lines of the list before it, as the library reads them.
    for (std::size_t i = 0; i < sections.size(); ++i) {
        Section& s = sections[i];
        s.end = i + 1 < sections.size() ? sections[i + 1].own.header : lines_.size();
        s.own.end = s.subsections.empty() ? s.end : s.subsections.front().header;
        for (std::size_t j = 0; j < s.subsections.size(); ++j)
            s.subsections[j].end = j + 1 < s.subsections.size() ? s.subsections[j + 1].header : s.end;
    }
    scanned_ = true;
    return sections;
}

const Document::List* Document::edit_list(const std::vector<Section>& sections, const Place& place,
                                           int& code) const {
    const std::string section = lower(place.section), sub = lower(place.subsection);
    code = KXCF_ENOSECTION;
    for (const Section& s : sections) {
        if (s.own.name != section) continue;
        if (!place.has_subsection) return code = 0, &s.own;
        code = KXCF_ENOSUBSECTION;
        for (const List& l : s.subsections)
            if (l.name == sub) return code = 0, &l;
    }
    return nullptr;
}

std::vector<std::size_t> Document::instances(const List& list, const std::string& keyword) const {
    std::vector<std::size_t> found;
    for (std::size_t i : list.keywords) {
        const KeywordLine k = keyword_line(lines_[i].text);
        if (lower(lines_[i].text.substr(k.name_begin, k.name_size)) == keyword) found.push_back(i);
    }
    return found;
}

bool Document::apply(const Edit& e) {
    switch (e.kind) {
    case Edit::kSet: return set(e);
    case Edit::kUnset: return unset(e);
    case Edit::kDelete: return remove(e);
    case Edit::kRename: return rename(e);
    case Edit::kEnsure: return ensure(e);
    }
    return false;
}

std::size_t Document::add_place(const std::vector<Section>& sections, const Place& place, int code) {
    const std::string section = lower(place.section);
    std::size_t at = lines_.size();
    if (code == KXCF_ENOSECTION) {
        // A new section goes last, after a blank line (not at the top of a
        // new file).
        if (at > 0) insert(at++, "");
        insert(at++, "[" + section + "]");
    } else {
        // A new subsection goes last in the first section of that name.
        for (const Section& s : sections)
            if (s.own.name == section) {
                at = s.end;
                break;
            }
    }
    if (place.has_subsection) {
        insert(at++, "");
        insert(at++, "(" + lower(place.subsection) + ")");
    }
    return at;
}

bool Document::set(const Edit& e) {
    const std::vector<Section>& sections = structure();
    int code = 0;
    const List* list = edit_list(sections, e.place, code);
    const std::string keyword = lower(e.keyword);
    const std::vector<std::size_t> found = list ? instances(*list, keyword) : std::vector<std::size_t>{};
    const std::size_t count = found.size();
    const std::size_t instance = e.add ? count + 1 : e.instance ? static_cast<std::size_t>(e.instance) : 1;
    if (instance > count + 1)
        fail(kUsage, about(name_, e.place, keyword) + "there is no instance " + std::to_string(instance) +
                         " to set (" + std::to_string(count) + (count == 1 ? " instance" : " instances") +
                         "); --add adds one");
    if (instance <= count) {
        const std::size_t at = found[instance - 1];
        const KeywordLine k = keyword_line(lines_[at].text);
        if (k.value == e.value) return false;
        // The line keeps its indentation and the name as it was written.
        replace(at, lines_[at].text.substr(0, k.name_begin + k.name_size) + (e.value.empty() ? "" : " = " + e.value));
        return true;
    }
    // A new line goes after the list's last keyword line, before the
    // comments that follow it, or first in a list without keywords.
    const std::size_t at = !list ? add_place(sections, e.place, code)
                           : list->keywords.empty() ? list->header + 1
                                                    : list->keywords.back() + 1;
    insert(at, keyword_text(keyword, e.value));
    return true;
}

bool Document::unset(const Edit& e) {
    const std::vector<Section>& sections = structure();
    int code = 0;
    const List* list = edit_list(sections, e.place, code);
    const std::string keyword = lower(e.keyword);
    if (!list) fail(kNotThere, about(name_, e.place, keyword) + error_text(code));
    std::vector<std::size_t> found = instances(*list, keyword);
    if (found.empty()) fail(kNotThere, about(name_, e.place, keyword) + error_text(KXCF_ENOKEYWORD));
    if (static_cast<std::size_t>(e.instance) > found.size())
        fail(kNotThere, about(name_, e.place, keyword) + error_text(KXCF_EINSTANCE) + " (" +
                            std::to_string(found.size()) + (found.size() == 1 ? " instance" : " instances") +
                            ", not " + std::to_string(e.instance) + ")");
    if (!e.all) found = {found[e.instance ? e.instance - 1 : 0]};
    for (auto i = found.rbegin(); i != found.rend(); ++i) erase(*i, *i + 1);
    return true;
}

bool Document::remove(const Edit& e) {
    const std::vector<Section>& sections = structure();
    const std::string section = lower(e.place.section), sub = lower(e.place.subsection);
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    bool any_section = false;
    for (const Section& s : sections) {
        if (s.own.name != section) continue;
        any_section = true;
        if (!e.place.has_subsection) {
            ranges.push_back({s.own.header, s.end});
            continue;
        }
        for (const List& l : s.subsections)
            if (l.name == sub) ranges.push_back({l.header, l.end});
    }
    if (ranges.empty())
        fail(kNotThere, about(name_, e.place) + error_text(any_section ? KXCF_ENOSUBSECTION : KXCF_ENOSECTION));
    for (auto r = ranges.rbegin(); r != ranges.rend(); ++r) erase(r->first, r->second);
    return true;
}

bool Document::rename(const Edit& e) {
    const std::vector<Section>& sections = structure();
    const std::string section = lower(e.place.section), sub = lower(e.place.subsection);
    const std::string new_name = lower(e.value);
    std::vector<std::size_t> headers;
    bool any_section = false, taken = false;
    for (const Section& s : sections) {
        if (!e.place.has_subsection) {
            if (s.own.name == section) headers.push_back(s.own.header);
            taken = taken || (s.own.name == new_name && new_name != section);
            continue;
        }
        if (s.own.name != section) continue;
        any_section = true;
        for (const List& l : s.subsections) {
            if (l.name == sub) headers.push_back(l.header);
            taken = taken || (l.name == new_name && new_name != sub);
        }
    }
    if (headers.empty())
        fail(kNotThere, about(name_, e.place) +
                            error_text(any_section ? KXCF_ENOSUBSECTION : KXCF_ENOSECTION));
    if (taken)
        fail(kUsage, about(name_, e.place) + "cannot rename to \"" + new_name + "\": " +
                         (e.place.has_subsection ? "a subsection" : "a section") + " of that name exists");
    if (new_name == (e.place.has_subsection ? sub : section)) return false;
    for (std::size_t at : headers) {
        const std::string& old = lines_[at].text;
        const std::size_t indent = std::min(old.find_first_not_of(kBlanks), old.size());
        replace(at, old.substr(0, indent) + (e.place.has_subsection ? "(" + new_name + ")" : "[" + new_name + "]"));
    }
    return true;
}

bool Document::ensure(const Edit& e) {
    const std::vector<Section>& sections = structure();
    int code = 0;
    if (edit_list(sections, e.place, code)) return false;
    add_place(sections, e.place, code);
    return true;
}

void Document::insert(std::size_t at, const std::string& text) {
    // A last line without a newline gets one when a line follows it.
    if (at == lines_.size() && at > 0 && !lines_[at - 1].newline) replace(at - 1, lines_[at - 1].text);
    lines_.insert(lines_.begin() + static_cast<long>(at), Text{text, true, -1});
    scanned_ = false;
}

void Document::replace(std::size_t at, const std::string& text) {
    // A keyword line that stays one leaves every list as it was.
    if (!is_keyword_line(lines_[at].text) || !is_keyword_line(text)) scanned_ = false;
    lines_[at] = Text{text, true, -1};
}

void Document::erase(std::size_t from, std::size_t to) {
    scanned_ = false;
    lines_.erase(lines_.begin() + static_cast<long>(from), lines_.begin() + static_cast<long>(to));
}

// ---- the unified diff --------------------------------------------------------

namespace {

struct DiffLine {
    char mark;   // ' ', '-' or '+'
    const std::string* text;
    bool newline;
};

void put_line(std::string& out, const DiffLine& l) {
    out += l.mark;
    out += *l.text;
    out += l.newline ? "\n" : "\n\\ No newline at end of file\n";
}

std::string range(std::size_t before, std::size_t count) {
    const std::size_t start = count ? before + 1 : before;
    return count == 1 ? std::to_string(start) : std::to_string(start) + "," + std::to_string(count);
}

}  // namespace

std::string Document::diff() const {
    // Lines keep their order, so the lines read that are still there, in
    // order, are the common part; no search for it is needed.
    std::vector<DiffLine> lines, added;
    std::size_t next_old = 0;
    // The lines read up to NEXT that are gone, then the new ones in their place.
    auto changes_before = [&](std::size_t next) {
        for (; next_old < next; ++next_old)
            lines.push_back({'-', &original_[next_old].text, original_[next_old].newline});
        lines.insert(lines.end(), added.begin(), added.end());
        added.clear();
    };
    for (const Text& t : lines_) {
        if (t.origin < 0) {
            added.push_back({'+', &t.text, t.newline});
            continue;
        }
        changes_before(static_cast<std::size_t>(t.origin));
        lines.push_back({' ', &t.text, t.newline});
        ++next_old;
    }
    changes_before(original_.size());

    std::string out = "--- " + name_ + "\n+++ " + name_ + "\n";
    std::size_t old_before = 0, new_before = 0, done = 0;
    for (std::size_t i = 0; i < lines.size();) {
        if (lines[i].mark == ' ') {
            ++i;
            continue;
        }
        // A hunk: changes no more than twice the context apart, with the
        // context around them.
        std::size_t begin = i >= kDiffContext ? i - kDiffContext : 0;
        begin = std::max(begin, done);
        std::size_t end = i;
        for (std::size_t quiet = 0; end < lines.size() && quiet <= 2 * kDiffContext; ++end)
            quiet = lines[end].mark == ' ' ? quiet + 1 : 0;
        while (end > i && lines[end - 1].mark == ' ') --end;
        end = std::min(lines.size(), end + kDiffContext);
        for (std::size_t j = done; j < begin; ++j) old_before += 1, new_before += 1;
        std::size_t old_count = 0, new_count = 0;
        for (std::size_t j = begin; j < end; ++j) {
            old_count += lines[j].mark != '+';
            new_count += lines[j].mark != '-';
        }
        out += "@@ -" + range(old_before, old_count) + " +" + range(new_before, new_count) + " @@\n";
        for (std::size_t j = begin; j < end; ++j) put_line(out, lines[j]);
        old_before += old_count;
        new_before += new_count;
        done = i = end;
    }
    return out;
}

}  // namespace kxconf

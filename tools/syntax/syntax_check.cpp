// Checking a configuration file against a syntax file that lists the
// sections, subsections and keywords it may hold and the kind of each
// keyword's value. The syntax-file format is in tools/README.md.
#include "syntax_check.h"

#include "file_lines.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kx_decode_size.h"
#include "kx_errno.h"
#include "kx_files.h"
#include "kx_versions.h"
#include "kxcf.h"

namespace kx_syntax {
namespace {

constexpr const char* kWildcard = "..";
constexpr char kOptionalMark = '?';

// ---------------------------------------------------------------------------
// Value kinds

// An optional sign and decimal digits, within the range of a 32-bit int.
bool is_integer(const std::string& v) {
    std::size_t i = (!v.empty() && (v[0] == '-' || v[0] == '+')) ? 1 : 0;
    const long long limit = (i == 1 && v[0] == '-') ? 2147483648LL : 2147483647LL;
    if (i == v.size()) return false;
    long long number = 0;
    for (; i < v.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(v[i]))) return false;
        number = number * 10 + (v[i] - '0');
        if (number > limit) return false;
    }
    return true;
}

// A size is whatever the suite's programs can decode as one.
bool is_size(const std::string& v) { return kx_decode_size(v.c_str()) >= 0; }

bool is_version(const std::string& v) {
    KX_VERSION version;
    return kx_parse_version(v.c_str(), &version) == 0;
}

bool is_file(const std::string& v) { return file_exists(v.c_str()) == 1; }
bool is_dir(const std::string& v) { return dir_exists(v.c_str()) == 1; }

struct Kind {
    const char* name;
    bool (*accepts)(const std::string& value);
    bool names_a_path;     // not checked with -z
    const char* refusal;   // finding when the value is not accepted
};

const Kind kKinds[] = {
    {"string", nullptr, false, ""},
    {"integer", is_integer, false, "is not an integer"},
    {"size", is_size, false, "is not a size (a number and b, k or m)"},
    {"version", is_version, false, "is not a version such as v4.0.1"},
    {"file", is_file, true, "does not name an existing file"},
    {"dir", is_dir, true, "does not name an existing directory"},
};

const Kind* find_kind(const std::string& name) {
    for (const Kind& k : kKinds)
        if (name == k.name) return &k;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Names and patterns

// Whole-name match: ".." (pairs taken from the left) stands for any run of
// characters, none included; every other character stands for itself.
bool pattern_matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (pattern[0] == '.' && pattern[1] == '.') {
        for (const char* rest = name;; ++rest) {
            if (pattern_matches(pattern + 2, rest)) return true;
            if (*rest == '\0') return false;
        }
    }
    return *name == *pattern && pattern_matches(pattern + 1, name + 1);
}

// How closely PATTERN names NAME: 0 no match; an exact name beats every
// pattern; among patterns the one with more literal characters wins.
std::size_t match_score(const std::string& pattern, const std::string& name) {
    if (pattern.find(kWildcard) == std::string::npos)
        return pattern == name ? name.size() + 2 : 0;
    if (!pattern_matches(pattern.c_str(), name.c_str())) return 0;
    std::size_t literals = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 2, kWildcard) == 0)
            ++i;
        else
            ++literals;
    }
    return literals + 1;
}

// The entries of one list of the syntax file in their order, with the
// exact names found by hash and the ".." patterns kept apart: a lookup
// scores only the patterns. Each name is entered once.
template <typename Rule>
class RuleList {
public:
    Rule* find(const std::string& pattern) {
        auto it = positions_.find(pattern);
        return it == positions_.end() ? nullptr : &entries_[it->second];
    }

    Rule& add(Rule rule) {
        const std::size_t at = entries_.size();
        if (rule.pattern.find(kWildcard) != std::string::npos) patterns_.push_back(at);
        positions_.emplace(rule.pattern, at);
        entries_.push_back(std::move(rule));
        return entries_.back();
    }

    // The entry that names NAME most closely; the first of equals. An exact
    // name beats every pattern.
    const Rule* best_match(const std::string& name) const {
        auto it = positions_.find(name);
        if (it != positions_.end() && name.find(kWildcard) == std::string::npos)
            return &entries_[it->second];
        const Rule* best = nullptr;
        std::size_t best_score = 0;
        for (std::size_t at : patterns_) {
            std::size_t score = match_score(entries_[at].pattern, name);
            if (score > best_score) {
                best = &entries_[at];
                best_score = score;
            }
        }
        return best;
    }

private:
    std::vector<Rule> entries_;
    std::unordered_map<std::string, std::size_t> positions_;
    std::vector<std::size_t> patterns_;
};

// ---------------------------------------------------------------------------
// The syntax model

struct KeywordRule {
    std::string pattern;
    const Kind* kind;
    bool optional;   // an empty value is allowed
};

struct ListRule {
    std::string pattern;
    RuleList<KeywordRule> keywords;
};

struct SectionRule {
    std::string pattern;
    RuleList<KeywordRule> keywords;
    RuleList<ListRule> subsections;
};

struct Syntax {
    RuleList<SectionRule> sections;
};

struct FileCloser {
    void operator()(KXCF_FILE* f) const { kxcf_close(f); }
};
using FileHandle = std::unique_ptr<KXCF_FILE, FileCloser>;

std::string error_text(int number) {
    char* text = kx_errmsg(number);
    std::string result = text ? text : "error " + std::to_string(number);
    std::free(text);
    return result;
}

// "[section] (subsection) keyword" as a finding names a place.
std::string place(const std::string& section, const char* subsection,
                  const std::string& keyword = "") {
    std::string p = "[" + section + "]";
    if (subsection) p += std::string(" (") + subsection + ")";
    if (!keyword.empty()) p += " " + keyword;
    return p;
}

FileHandle open_or_report(const std::string& path, int flags, const FileLines& lines,
                          Findings& findings) {
    kxcf_lineno = 0;
    KXCF_FILE* f = kxcf_open(path.c_str(), flags);
    if (!f) {
        const int code = kx_errno;
        findings.push_back({"", parse_fault(code, lines.text(kxcf_lineno), error_text(code)), kxcf_lineno});
    }
    return FileHandle(f);
}

template <typename Rule>
Rule& rule_named(RuleList<Rule>& list, const std::string& pattern) {
    if (Rule* r = list.find(pattern)) return *r;
    Rule rule{};
    rule.pattern = pattern;
    return list.add(std::move(rule));
}

// Keyword rules of one list of the syntax file; false after reporting a
// line whose kind is unknown.
bool read_keyword_rules(KXCF_FILE* f, const std::string& section, const char* subsection,
                        RuleList<KeywordRule>& rules, FileLines& lines, Findings& findings) {
    bool good = true;
    const char* keyword = nullptr;
    const char* value;
    while ((value = kxcf_nextvar(f, section.c_str(), subsection, &keyword, 0)) != KXCF_FAIL) {
        const int line = lines.next_keyword();
        std::string kind_name = value;
        bool optional = !kind_name.empty() && kind_name.back() == kOptionalMark;
        if (optional) kind_name.pop_back();
        const Kind* kind = find_kind(kind_name);
        if (!kind) {
            findings.push_back({place(section, subsection, keyword),
                                "unknown value kind \"" + std::string(value) + "\" in the syntax file", line});
            good = false;
            continue;
        }
        if (!rules.find(keyword)) rules.add({keyword, kind, optional});
    }
    return kx_errno == KXCF_ENOKEYWORD && good;
}

// Sections and subsections given twice in the syntax file count once, with
// the keywords of both.
bool read_syntax(const std::string& path, Syntax& syntax, Findings& findings) {
    FileLines lines;
    lines.read(path);
    FileHandle f = open_or_report(path, KXCF_NOEXPAND, lines, findings);
    if (!f) return false;
    bool good = true;
    const char* s;
    while ((s = kxcf_nextsection(f.get())) != KXCF_FAIL) {
        const std::string section = s;
        lines.next_section();
        SectionRule& rule = rule_named(syntax.sections, section);
        good = read_keyword_rules(f.get(), section, nullptr, rule.keywords, lines, findings) && good;
        const char* sub;
        while ((sub = kxcf_nextsubsection(f.get(), section.c_str())) != KXCF_FAIL) {
            const std::string subsection = sub;
            lines.next_subsection();
            ListRule& list = rule_named(rule.subsections, subsection);
            good = read_keyword_rules(f.get(), section, subsection.c_str(), list.keywords, lines,
                                      findings) &&
                   good;
        }
        if (kx_errno != KXCF_ENOSUBSECTION) return false;
    }
    return kx_errno == KXCF_ENOSECTION && good;
}

// ---------------------------------------------------------------------------
// Checking a file

class Checker {
public:
    Checker(const Syntax& syntax, bool check_paths, Findings& findings)
        : syntax_(syntax), check_paths_(check_paths), findings_(findings) {}

    // Number of findings in the file at PATH. The file is walked as
    // written; a second handle expands values the way the suite's programs
    // will read them, with the file's own definitions.
    int check(const std::string& path) {
        const std::size_t before = findings_.size();
        lines_.read(path);
        FileHandle f = open_or_report(path, KXCF_NOEXPAND, lines_, findings_);
        if (!f) return 1;
        expander_ = open_or_report(path, 0, lines_, findings_);
        if (!expander_) return 1;
        const char* s;
        while ((s = kxcf_nextsection(f.get())) != KXCF_FAIL) check_section(f.get(), s);
        if (kx_errno != KXCF_ENOSECTION) walk_failed(path);
        return static_cast<int>(findings_.size() - before);
    }

private:
    void finding(const std::string& where, const std::string& what, int line) {
        findings_.push_back({where, what, line});
    }

    void walk_failed(const std::string& where) { finding(where, error_text(kx_errno), 0); }

    void check_section(KXCF_FILE* f, const std::string& section) {
        const int header = lines_.next_section();
        const SectionRule* rule = syntax_.sections.best_match(section);
        if (!rule) {
            finding(place(section, nullptr), "section not allowed", header);
            return;
        }
        check_list(f, section, nullptr, rule->keywords);
        const char* sub;
        while ((sub = kxcf_nextsubsection(f, section.c_str())) != KXCF_FAIL) {
            const std::string subsection = sub;
            const int sub_header = lines_.next_subsection();
            const ListRule* list = rule->subsections.best_match(subsection);
            if (list)
                check_list(f, section, subsection.c_str(), list->keywords);
            else
                finding(place(section, subsection.c_str()), "subsection not allowed", sub_header);
        }
        if (kx_errno != KXCF_ENOSUBSECTION) walk_failed(place(section, nullptr));
    }

    void check_list(KXCF_FILE* f, const std::string& section, const char* subsection,
                    const RuleList<KeywordRule>& rules) {
        const char* keyword = nullptr;
        const char* value;
        while ((value = kxcf_nextvar(f, section.c_str(), subsection, &keyword, 0)) != KXCF_FAIL) {
            const std::string where = place(section, subsection, keyword);
            const int line = lines_.next_keyword();
            const KeywordRule* rule = rules.best_match(keyword);
            if (rule)
                check_value(where, line, *rule, value);
            else
                finding(where, "keyword not allowed", line);
        }
        if (kx_errno != KXCF_ENOKEYWORD) walk_failed(place(section, subsection));
    }

    void check_value(const std::string& where, int line, const KeywordRule& rule, const std::string& raw) {
        const Kind& kind = *rule.kind;
        if (raw.empty()) {
            if (!rule.optional && kind.accepts)
                finding(where, std::string("empty value for kind ") + kind.name, line);
            return;
        }
        if (!kind.accepts || (kind.names_a_path && !check_paths_)) return;
        char* expanded = kxcf_expand_path(raw.c_str(), expander_.get());
        if (expanded == KXCF_FAIL) {
            finding(where, "value \"" + raw + "\" cannot be expanded: " + error_text(kx_errno), line);
            return;
        }
        const std::string value = expanded;
        std::free(expanded);
        if (!kind.accepts(value)) finding(where, "value \"" + value + "\" " + kind.refusal, line);
    }

    const Syntax& syntax_;
    bool check_paths_;
    FileHandle expander_;
    FileLines lines_;
    Findings& findings_;
};

}  // namespace

std::string format_finding(const std::string& file, const Finding& finding) {
    std::string text = file;
    if (finding.line > 0) text += ":" + std::to_string(finding.line);
    if (!finding.where.empty()) text += ": " + finding.where;
    return text + ": " + finding.what;
}

struct SyntaxChecker::Model {
    Syntax syntax;
};

SyntaxChecker::SyntaxChecker() = default;
SyntaxChecker::~SyntaxChecker() = default;

bool SyntaxChecker::load(const std::string& syntax_path, Findings& findings) {
    auto model = std::make_unique<Model>();
    if (!read_syntax(syntax_path, model->syntax, findings)) return false;
    model_ = std::move(model);
    return true;
}

int SyntaxChecker::check(const std::string& path, bool check_paths, Findings& findings) const {
    static const Model empty;
    return Checker(model_ ? model_->syntax : empty.syntax, check_paths, findings).check(path);
}

}  // namespace kx_syntax

// The configuration file format: names, the line reader, the tree built
// from a file and the writer that prints it back.
#include "kx_config_internal.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

int kxcf_lineno = 0;

namespace kxcf {

const NameRule kSectionName{KXCF_MAX_SECTION, KXCF_ESECTSIZE, KXCF_ESECTCHAR};
const NameRule kSubsectionName{KXCF_MAX_NAME, KXCF_ESUBSIZE, KXCF_ESUBCHAR};
const NameRule kKeywordName{KXCF_MAX_NAME, KXCF_EKWSIZE, KXCF_EKWCHAR};

namespace {

// Only the space and the tab are blanks of the format; a carriage return is
// an ordinary character.
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Names are made of ASCII letters and digits, "_" and ".".
bool is_name_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// A line node without a text is a keyword line.
bool is_keyword_line(const KXCF_NODE* n) {
    return n->kind == KXCF_NODE_LINE && !n->text;
}

std::size_t skip_blanks(const std::string& s, std::size_t pos) {
    while (pos < s.size() && is_blank(s[pos]))
        ++pos;
    return pos;
}

std::size_t name_run(const std::string& s, std::size_t pos) {
    std::size_t end = pos;
    while (end < s.size() && is_name_char(static_cast<unsigned char>(s[end])))
        ++end;
    return end - pos;
}

void trim_blanks(std::string& s) {
    std::size_t start = skip_blanks(s, 0);
    std::size_t end = s.size();
    while (end > start && is_blank(s[end - 1]))
        --end;
    s = s.substr(start, end - start);
}

struct Line {
    int kind = LINE_END;
    std::string text;  // comment text, or the name of a header or keyword
    std::string value;
};

Line fault(int code) {
    kx_errno = code;
    Line l;
    l.kind = LINE_FAULT;
    return l;
}

// The codes of one header form, in the order its faults are tested.
struct HeaderRule {
    char close;
    NameRule name;
    int no_end;
    int after;
};
const HeaderRule kSectionHeader{']', kSectionName, KXCF_ESECTNOEND, KXCF_ESECTAFTER};
const HeaderRule kSubsectionHeader{')', kSubsectionName, KXCF_ESUBNOEND, KXCF_ESUBAFTER};

Line parse_header(const std::string& s, const HeaderRule& rule, int kind) {
    std::size_t pos = skip_blanks(s, 1);
    std::size_t len = name_run(s, pos);
    if (len == 0) return fault(rule.name.char_code);
    if (len > rule.name.max) return fault(rule.name.size_code);
    Line l;
    l.kind = kind;
    l.text = s.substr(pos, len);
    to_lower_ascii(l.text);
    pos = skip_blanks(s, pos + len);
    if (pos == s.size()) return fault(rule.no_end);
    if (s[pos] != rule.close) return fault(rule.name.char_code);
    if (skip_blanks(s, pos + 1) != s.size()) return fault(rule.after);
    return l;
}

// A keyword line needs a name: a line that starts with "=" is refused like
// any other line whose name is missing.
Line parse_keyword(const std::string& s) {
    std::size_t len = name_run(s, 0);
    if (len > KXCF_MAX_NAME) return fault(KXCF_EKWSIZE);
    if (len == 0) return fault(KXCF_EKWCHAR);
    Line l;
    l.kind = LINE_KEYWORD;
    l.text = s.substr(0, len);
    to_lower_ascii(l.text);
    std::size_t pos = skip_blanks(s, len);
    if (pos == s.size()) return l;
    if (s[pos] != '=') return fault(KXCF_EKWCHAR);
    l.value = s.substr(skip_blanks(s, pos + 1));
    if (l.value.size() > KXCF_MAX_VALUE) return fault(KXCF_EVALSIZE);
    return l;
}

// Reads the raw text of one line into BUF. A last line without a newline is
// a line like any other. A NUL byte cannot be held in a line's text, so a
// line containing one is refused as unreadable (1007).
int read_raw(FILE* in, std::string& buf) {
    buf.clear();
    for (;;) {
        int c = getc(in);
        if (c == EOF) {
            if (ferror(in)) {
                kx_errno = errno ? errno : EIO;
                return LINE_FAULT;
            }
            return buf.empty() ? LINE_END : LINE_TEXT;
        }
        if (c == '\n') return LINE_TEXT;
        if (c == '\0' || buf.size() == KXCF_MAX_LINE) {
            kx_errno = KXCF_ELINELEN;
            return LINE_FAULT;
        }
        buf.push_back(static_cast<char>(c));
    }
}

Line read_line(FILE* in) {
    std::string s;
    int got = read_raw(in, s);
    if (got != LINE_TEXT) {
        Line l;
        l.kind = got;
        return l;
    }
    trim_blanks(s);
    if (s.empty() || s[0] == '#') {
        Line l;
        l.kind = LINE_TEXT;
        l.text = std::move(s);
        return l;
    }
    if (s[0] == '[') return parse_header(s, kSectionHeader, LINE_SECTION);
    if (s[0] == '(') return parse_header(s, kSubsectionHeader, LINE_SUBSECTION);
    return parse_keyword(s);
}

struct ListDeleter {
    void operator()(KXCF_NODE* n) const { free_list(n); }
};

// The tree under construction and where the next line goes.
class TreeBuilder {
public:
    KXCF_NODE* release() { return root_.release(); }

    int add(const Line& l) {
        switch (l.kind) {
            case LINE_TEXT:
                return add_text(l.text);
            case LINE_SECTION:
                return add_section(l.text);
            case LINE_SUBSECTION:
                return add_subsection(l.text);
            case LINE_KEYWORD:
                return add_keyword(l.text, l.value);
            default:
                return kx_errno;
        }
    }

    bool has_section() const { return section_ && section_->kind == KXCF_NODE_SECTION; }

private:
    KXCF_NODE* list_owner() const { return subsection_ ? subsection_ : section_; }

    void append_line(KXCF_NODE* node) {
        link_after(list_owner()->u.lines, tail_, node);
        tail_ = node;
    }

    void append_top(KXCF_NODE* node) {
        if (!root_) {
            root_.reset(node);
        } else {
            node->prev = section_;
            section_->next = node;
        }
        section_ = node;
        subsection_ = nullptr;
        last_subsection_ = nullptr;
        tail_ = nullptr;
    }

    int add_text(const std::string& text) {
        if (!root_) {
            KXCF_NODE* lead = make_node(KXCF_NODE_LEADING, nullptr, nullptr);
            if (!lead) return ENOMEM;
            append_top(lead);
        }
        KXCF_NODE* node = make_node(KXCF_NODE_LINE, nullptr, text.c_str());
        if (!node) return ENOMEM;
        append_line(node);
        return 0;
    }

    int add_section(const std::string& name) {
        KXCF_NODE* node = make_node(KXCF_NODE_SECTION, name.c_str(), nullptr);
        if (!node) return ENOMEM;
        append_top(node);
        return 0;
    }

    int add_subsection(const std::string& name) {
        if (!has_section()) return KXCF_ESUBFIRST;
        KXCF_NODE* node = make_node(KXCF_NODE_SUBSECTION, name.c_str(), nullptr);
        if (!node) return ENOMEM;
        link_after(section_->subsections, last_subsection_, node);
        last_subsection_ = subsection_ = node;
        tail_ = nullptr;
        return 0;
    }

    int add_keyword(const std::string& name, const std::string& value) {
        if (!has_section()) return KXCF_EKWFIRST;
        // An empty value in the file is no value.
        KXCF_NODE* node = make_keyword_line(name.c_str(), value.empty() ? nullptr : value.c_str());
        if (!node) return ENOMEM;
        append_line(node);
        return 0;
    }

    std::unique_ptr<KXCF_NODE, ListDeleter> root_;
    KXCF_NODE* section_ = nullptr;  // the leading block or the last section
    KXCF_NODE* subsection_ = nullptr;
    KXCF_NODE* last_subsection_ = nullptr;
    KXCF_NODE* tail_ = nullptr;  // last line of the list being filled
};

int build_tree(KXCF_FILE* f) {
    TreeBuilder tree;
    for (;;) {
        Line l = read_line(f->stream);
        ++kxcf_lineno;
        if (l.kind == LINE_FAULT) return kx_errno;
        if (l.kind == LINE_END) {
            if (!tree.has_section()) return KXCF_EPREMATURE;
            f->root = tree.release();
            return 0;
        }
        int code = tree.add(l);
        if (code != 0) return code;
    }
}

}  // namespace

void to_lower_ascii(std::string& s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void to_upper_ascii(std::string& s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

int check_name(const char* name, const NameRule& rule, std::string& lower) {
    if (!name) return KXCF_EPARAM;
    std::string s(name);
    if (s.empty()) return rule.size_code;
    std::size_t len = name_run(s, 0);
    if (len == 0) return rule.char_code;
    if (len > rule.max) return rule.size_code;
    if (len != s.size()) return rule.char_code;
    to_lower_ascii(s);
    lower = std::move(s);
    return 0;
}

KXCF_NODE* make_node(int kind, const char* name, const char* text) {
    auto* n = static_cast<KXCF_NODE*>(std::calloc(1, sizeof(KXCF_NODE)));
    if (!n) {
        kx_errno = ENOMEM;
        return nullptr;
    }
    n->kind = kind;
    if ((name && !(n->name = strdup(name))) || (text && !(n->text = strdup(text)))) {
        free_list(n);
        kx_errno = ENOMEM;
        return nullptr;
    }
    return n;
}

KXCF_NODE* make_keyword_line(const char* name, const char* value) {
    KXCF_NODE* n = make_node(KXCF_NODE_LINE, name, nullptr);
    if (n && value && !(n->u.value = strdup(value))) {
        free_list(n);
        kx_errno = ENOMEM;
        return nullptr;
    }
    return n;
}

void free_list(KXCF_NODE* first) {
    while (first) {
        KXCF_NODE* next = first->next;
        if (first->kind == KXCF_NODE_LINE)
            std::free(first->u.value);
        else
            free_list(first->u.lines);
        free_list(first->subsections);
        std::free(first->text);
        std::free(first->name);
        std::free(first);
        first = next;
    }
}

void link_after(KXCF_NODE*& head, KXCF_NODE* after, KXCF_NODE* node) {
    KXCF_NODE* next = after ? after->next : head;
    node->prev = after;
    node->next = next;
    if (next) next->prev = node;
    if (after)
        after->next = node;
    else
        head = node;
}

void unlink_node(KXCF_NODE*& head, KXCF_NODE* node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        head = node->next;
    if (node->next) node->next->prev = node->prev;
    node->next = node->prev = nullptr;
}

bool name_is(const KXCF_NODE* n, const std::string& name) {
    return n->name && std::strcmp(n->name, name.c_str()) == 0;
}

KXCF_NODE* keyword_line_from(KXCF_NODE* start) {
    for (KXCF_NODE* n = start; n; n = n->next)
        if (is_keyword_line(n)) return n;
    return nullptr;
}

int parse_file(KXCF_FILE* f) {
    if (!f->stream) {
        kx_errno = KXCF_ENOTOPEN;
        return -1;
    }
    struct stat st;
    if (fstat(fileno(f->stream), &st) != 0) {
        kx_errno = errno;
        return -1;
    }
    if (st.st_size < 3) {
        kx_errno = KXCF_EFILESIZE;
        return -1;
    }
    kxcf_lineno = 0;
    int code;
    try {
        code = build_tree(f);
    } catch (const std::bad_alloc&) {
        code = ENOMEM;
    }
    if (code != 0) {
        kx_errno = code;
        return -1;
    }
    kxcf_lineno = 0;
    return 0;
}

int write_tree(const KXCF_NODE* first, FILE* out) {
    for (const KXCF_NODE* n = first; n; n = n->next) {
        if (n->text) fprintf(out, "%s\n", n->text);
        switch (n->kind) {
            case KXCF_NODE_SECTION:
                fprintf(out, "[%s]\n", n->name);
                write_tree(n->u.lines, out);
                write_tree(n->subsections, out);
                break;
            case KXCF_NODE_LEADING:
                write_tree(n->u.lines, out);
                break;
            case KXCF_NODE_SUBSECTION:
                fprintf(out, "(%s)\n", n->name);
                write_tree(n->u.lines, out);
                break;
            default:
                // A value stored empty by an edit is written as "name = "; it
                // reads back as no value, like the name alone.
                if (n->text) break;
                if (n->u.value)
                    fprintf(out, "%s = %s\n", n->name, n->u.value);
                else
                    fprintf(out, "%s\n", n->name);
        }
    }
    return ferror(out) ? -1 : 0;
}

}  // namespace kxcf

// The configuration file format: names, the line reader, the tree built
// from a file and the writer that prints it back.
#include "kx_config_internal.h"

#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

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

std::size_t skip_blanks(std::string_view s, std::size_t pos) {
    while (pos < s.size() && is_blank(s[pos]))
        ++pos;
    return pos;
}

std::size_t name_run(std::string_view s, std::size_t pos) {
    std::size_t end = pos;
    while (end < s.size() && is_name_char(static_cast<unsigned char>(s[end])))
        ++end;
    return end - pos;
}

std::string_view trim_blanks(std::string_view s) {
    std::size_t start = skip_blanks(s, 0);
    std::size_t end = s.size();
    while (end > start && is_blank(s[end - 1]))
        --end;
    return s.substr(start, end - start);
}

// One line as the reader understood it; the views point into the read
// buffer and live until the next line is read.
struct Line {
    int kind = LINE_END;
    std::string_view text;  // comment text, or the name of a header or keyword
    std::string_view value;
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

Line parse_header(std::string_view s, const HeaderRule& rule, int kind) {
    std::size_t pos = skip_blanks(s, 1);
    std::size_t len = name_run(s, pos);
    if (len == 0) return fault(rule.name.char_code);
    if (len > rule.name.max) return fault(rule.name.size_code);
    Line l;
    l.kind = kind;
    l.text = s.substr(pos, len);
    pos = skip_blanks(s, pos + len);
    if (pos == s.size()) return fault(rule.no_end);
    if (s[pos] != rule.close) return fault(rule.name.char_code);
    if (skip_blanks(s, pos + 1) != s.size()) return fault(rule.after);
    return l;
}

// A keyword line needs a name: a line that starts with "=" is refused like
// any other line whose name is missing.
Line parse_keyword(std::string_view s) {
    std::size_t len = name_run(s, 0);
    if (len > KXCF_MAX_NAME) return fault(KXCF_EKWSIZE);
    if (len == 0) return fault(KXCF_EKWCHAR);
    Line l;
    l.kind = LINE_KEYWORD;
    l.text = s.substr(0, len);
    std::size_t pos = skip_blanks(s, len);
    if (pos == s.size()) return l;
    if (s[pos] != '=') return fault(KXCF_EKWCHAR);
    l.value = s.substr(skip_blanks(s, pos + 1));
    if (l.value.size() > KXCF_MAX_VALUE) return fault(KXCF_EVALSIZE);
    return l;
}

Line classify(std::string_view raw) {
    std::string_view s = trim_blanks(raw);
    if (s.empty() || s[0] == '#') {
        Line l;
        l.kind = LINE_TEXT;
        l.text = s;
        return l;
    }
    if (s[0] == '[') return parse_header(s, kSectionHeader, LINE_SECTION);
    if (s[0] == '(') return parse_header(s, kSubsectionHeader, LINE_SUBSECTION);
    return parse_keyword(s);
}

// Reads a file in large blocks and hands out its lines. A last line without
// a newline is a line like any other. A line longer than the format allows,
// or holding a NUL byte (which a line's text cannot hold), is refused as
// unreadable (1007).
class LineReader {
public:
    // A small file is read whole in one block of its own size.
    LineReader(int fd, off_t file_size)
        : fd_(fd),
          size_(std::min(static_cast<std::size_t>(file_size) + 1, kBlock) + KXCF_MAX_LINE + 1),
          buf_(new char[size_]) {}

    // LINE_TEXT with the line's raw text in RAW, LINE_END, or LINE_FAULT
    // with the reason in kx_errno.
    int next(std::string_view& raw) {
        for (;;) {
            const char* at = buf_.get() + begin_;
            const std::size_t avail = end_ - begin_;
            if (const void* nl = std::memchr(at, '\n', avail)) {
                const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - at);
                begin_ += len + 1;
                return deliver(at, len, raw);
            }
            if (avail > KXCF_MAX_LINE) return refuse(KXCF_ELINELEN);
            if (eof_) {
                if (avail == 0) return LINE_END;
                begin_ = end_;
                return deliver(at, avail, raw);
            }
            if (!fill()) return LINE_FAULT;
        }
    }

private:
    static constexpr std::size_t kBlock = 256 * 1024;

    int refuse(int code) {
        kx_errno = code;
        return LINE_FAULT;
    }

    int deliver(const char* at, std::size_t len, std::string_view& raw) {
        if (len > KXCF_MAX_LINE || std::memchr(at, '\0', len)) return refuse(KXCF_ELINELEN);
        raw = std::string_view(at, len);
        return LINE_TEXT;
    }

    // Moves the unfinished line to the front and reads the next block after
    // it; false on a read error.
    bool fill() {
        const std::size_t kept = end_ - begin_;
        std::memmove(buf_.get(), buf_.get() + begin_, kept);
        begin_ = 0;
        end_ = kept;
        for (;;) {
            ssize_t got = read(fd_, buf_.get() + end_, size_ - end_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                kx_errno = errno ? errno : EIO;
                return false;
            }
            if (got == 0) eof_ = true;
            end_ += static_cast<std::size_t>(got);
            return true;
        }
    }

    int fd_;
    std::size_t size_;
    std::unique_ptr<char[]> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

// Copies S into P, lower-cased when asked, with its terminating zero byte;
// the byte after the copy.
char* put_string(char* p, std::string_view s, bool lower) {
    s.copy(p, s.size());
    if (lower)
        for (std::size_t i = 0; i < s.size(); ++i)
            if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<char>(p[i] - 'A' + 'a');
    p[s.size()] = '\0';
    return p + s.size() + 1;
}

// The tree under construction and where the next line goes. Its nodes and
// their strings come from the arena.
class TreeBuilder {
public:
    explicit TreeBuilder(Arena& arena) : arena_(arena) {}
    ~TreeBuilder() { free_list(root_, &arena_); }

    KXCF_NODE* release() {
        KXCF_NODE* root = root_;
        root_ = nullptr;
        return root;
    }

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
    // A zeroed node of KIND, and room for EXTRA bytes of its strings.
    KXCF_NODE* node(int kind, std::size_t extra, char*& strings) {
        KXCF_NODE* n = arena_.allocate_node();
        strings = extra ? arena_.allocate_text(extra) : nullptr;
        if (!n || (extra && !strings)) return nullptr;
        *n = KXCF_NODE{};
        n->kind = kind;
        return n;
    }

    KXCF_NODE* named(int kind, std::string_view name) {
        char* p = nullptr;
        KXCF_NODE* n = node(kind, name.size() + 1, p);
        if (n) {
            n->name = p;
            put_string(p, name, true);
        }
        return n;
    }

    KXCF_NODE* list_owner() const { return subsection_ ? subsection_ : section_; }

    void append_line(KXCF_NODE* node) {
        link_after(list_owner()->u.lines, tail_, node);
        tail_ = node;
    }

    void append_top(KXCF_NODE* node) {
        if (!root_) {
            root_ = node;
        } else {
            node->prev = section_;
            section_->next = node;
        }
        section_ = node;
        subsection_ = nullptr;
        last_subsection_ = nullptr;
        tail_ = nullptr;
    }

    int add_text(std::string_view text) {
        char* p = nullptr;
        if (!root_) {
            KXCF_NODE* lead = node(KXCF_NODE_LEADING, 0, p);
            if (!lead) return ENOMEM;
            append_top(lead);
        }
        KXCF_NODE* n = node(KXCF_NODE_LINE, text.size() + 1, p);
        if (!n) return ENOMEM;
        n->text = p;
        put_string(p, text, false);
        append_line(n);
        return 0;
    }

    int add_section(std::string_view name) {
        KXCF_NODE* n = named(KXCF_NODE_SECTION, name);
        if (!n) return ENOMEM;
        append_top(n);
        return 0;
    }

    int add_subsection(std::string_view name) {
        if (!has_section()) return KXCF_ESUBFIRST;
        KXCF_NODE* n = named(KXCF_NODE_SUBSECTION, name);
        if (!n) return ENOMEM;
        link_after(section_->subsections, last_subsection_, n);
        last_subsection_ = subsection_ = n;
        tail_ = nullptr;
        return 0;
    }

    int add_keyword(std::string_view name, std::string_view value) {
        if (!has_section()) return KXCF_EKWFIRST;
        // An empty value in the file is no value.
        char* p = nullptr;
        const std::size_t extra = name.size() + 1 + (value.empty() ? 0 : value.size() + 1);
        KXCF_NODE* n = node(KXCF_NODE_LINE, extra, p);
        if (!n) return ENOMEM;
        n->name = p;
        p = put_string(p, name, true);
        if (!value.empty()) {
            n->u.value = p;
            put_string(p, value, false);
        }
        append_line(n);
        return 0;
    }

    Arena& arena_;
    KXCF_NODE* root_ = nullptr;
    KXCF_NODE* section_ = nullptr;  // the leading block or the last section
    KXCF_NODE* subsection_ = nullptr;
    KXCF_NODE* last_subsection_ = nullptr;
    KXCF_NODE* tail_ = nullptr;  // last line of the list being filled
};

int build_tree(KXCF_FILE* f, int fd, off_t file_size) {
    TreeBuilder tree(tree_arena(f));
    LineReader reader(fd, file_size);
    for (;;) {
        std::string_view raw;
        int got = reader.next(raw);
        ++kxcf_lineno;
        if (got == LINE_FAULT) return kx_errno;
        if (got == LINE_END) {
            if (!tree.has_section()) return KXCF_EPREMATURE;
            f->root = tree.release();
            return 0;
        }
        Line l = classify(raw);
        if (l.kind == LINE_FAULT) return kx_errno;
        int code = tree.add(l);
        if (code != 0) return code;
    }
}

// Blocks sized from the file: a line of about 27 bytes takes about 80 in the
// tree. Pages of a block that are never filled cost nothing.
std::size_t arena_block_for(off_t file_size) {
    constexpr std::size_t kMin = 64 * 1024;
    const std::size_t want = static_cast<std::size_t>(file_size) * 4;
    return want < kMin ? kMin : want;
}

}  // namespace

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

void free_list(KXCF_NODE* first, const Arena* arena) {
    auto release = [arena](void* p) {
        if (p && !(arena && arena->owns(p))) std::free(p);
    };
    while (first) {
        KXCF_NODE* next = first->next;
        if (first->kind == KXCF_NODE_LINE)
            release(first->u.value);
        else
            free_list(first->u.lines, arena);
        free_list(first->subsections, arena);
        release(first->text);
        release(first->name);
        release(first);
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

int parse_file(KXCF_FILE* f, int fd) {
    if (fd < 0) {
        kx_errno = KXCF_ENOTOPEN;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        kx_errno = errno;
        return -1;
    }
    if (st.st_size < 3) {
        kx_errno = KXCF_EFILESIZE;
        return -1;
    }
    kxcf_lineno = 0;
    tree_arena(f).reserve(arena_block_for(st.st_size));
    int code;
    try {
        code = build_tree(f, fd, st.st_size);
    } catch (const std::bad_alloc&) {
        code = ENOMEM;
    }
    if (code != 0) {
        drop_store(f);
        kx_errno = code;
        return -1;
    }
    note_parsed(f);
    kxcf_lineno = 0;
    return 0;
}

namespace {

// The written form is made in a buffer of its own and handed to the stream
// in large pieces: a stream call per name and value costs more than the
// copying, and a piece larger than the stream's buffer goes straight to
// the file.
class TreeWriter {
public:
    explicit TreeWriter(FILE* out) : out_(out) { buffer_.reserve(kPiece + KXCF_MAX_VALUE * 2); }

    // One written line: the parts given, then a newline.
    void line(const char* a, const char* b = nullptr, const char* c = nullptr) {
        for (const char* part : {a, b, c})
            if (part) buffer_.append(part);
        buffer_.push_back('\n');
        if (buffer_.size() >= kPiece) flush();
    }

    void flush() {
        if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
        buffer_.clear();
    }

    void list(const KXCF_NODE* first) {
        for (const KXCF_NODE* n = first; n; n = n->next) {
            if (n->text) line(n->text);
            switch (n->kind) {
                case KXCF_NODE_SECTION:
                    line("[", n->name, "]");
                    list(n->u.lines);
                    list(n->subsections);
                    break;
                case KXCF_NODE_LEADING:
                    list(n->u.lines);
                    break;
                case KXCF_NODE_SUBSECTION:
                    line("(", n->name, ")");
                    list(n->u.lines);
                    break;
                default:
                    // A value stored empty by an edit is written as "name = "; it
                    // reads back as no value, like the name alone.
                    if (n->text) break;
                    if (n->u.value)
                        line(n->name, " = ", n->u.value);
                    else
                        line(n->name);
            }
        }
    }

private:
    static constexpr std::size_t kPiece = 1u << 20;
    FILE* out_;
    std::string buffer_;
};

}  // namespace

int write_tree(const KXCF_NODE* first, FILE* out) {
    try {
        TreeWriter writer(out);
        writer.list(first);
        writer.flush();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    return ferror(out) ? -1 : 0;
}

}  // namespace kxcf

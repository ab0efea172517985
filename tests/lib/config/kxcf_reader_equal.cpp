// The block reader against a reference: the reader as it was when it read
// one character at a time, kept here line for line. Both read the same
// generated files, clean and broken in every way the format knows; the tree
// (in file order), the fault code and the fault's line must be the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

namespace {

using namespace kxtest;

// ---- the reference reader ---------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_name_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

std::size_t skip_blanks(const std::string& s, std::size_t pos) {
    while (pos < s.size() && is_blank(s[pos])) ++pos;
    return pos;
}

std::size_t name_run(const std::string& s, std::size_t pos) {
    std::size_t end = pos;
    while (end < s.size() && is_name_char(static_cast<unsigned char>(s[end]))) ++end;
    return end - pos;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// What the reference read: one record per line in file order, then the
// fault code and line (0 and 0 for a good file).
struct Reading {
    std::string records;
    int code = 0;
    int line = 0;
};

struct Header {
    char close;
    std::size_t max;
    int size_code, char_code, no_end, after;
};
const Header kSection{']', KXCF_MAX_SECTION, 1012, 1013, 1010, 1011};
const Header kSubsection{')', KXCF_MAX_NAME, 1019, 1020, 1017, 1018};

// One trimmed, non-comment line: its record, or a fault code.
int parse_line(const std::string& s, std::string& record, bool& header, bool& section) {
    header = s[0] == '[' || s[0] == '(';
    section = s[0] == '[';
    if (header) {
        const Header& h = section ? kSection : kSubsection;
        std::size_t pos = skip_blanks(s, 1), len = name_run(s, pos);
        if (len == 0) return h.char_code;
        if (len > h.max) return h.size_code;
        record.assign(1, section ? 'S' : 'U').append(" ").append(lower(s.substr(pos, len)));
        pos = skip_blanks(s, pos + len);
        if (pos == s.size()) return h.no_end;
        if (s[pos] != h.close) return h.char_code;
        if (skip_blanks(s, pos + 1) != s.size()) return h.after;
        return 0;
    }
    std::size_t len = name_run(s, 0);
    if (len > KXCF_MAX_NAME) return 1022;
    if (len == 0) return 1023;
    record.assign("K ").append(lower(s.substr(0, len)));
    std::size_t pos = skip_blanks(s, len);
    if (pos == s.size()) return 0;
    if (s[pos] != '=') return 1023;
    std::string value = s.substr(skip_blanks(s, pos + 1));
    if (value.size() > KXCF_MAX_VALUE) return 1024;
    if (!value.empty()) record.append(" = ").append(value);
    return 0;
}

Reading reference_read(const std::string& text) {
    if (text.size() < 3) return {"", KXCF_EFILESIZE, 0};
    Reading r;
    bool in_section = false;
    std::size_t at = 0;
    for (int lineno = 1;; ++lineno) {
        std::string s;
        bool got = false;
        for (; at < text.size(); ++at) {
            char c = text[at];
            if (c == '\n') {
                ++at;
                got = true;
                break;
            }
            if (c == '\0' || s.size() == KXCF_MAX_LINE) return {r.records, KXCF_ELINELEN, lineno};
            s.push_back(c);
            got = true;
        }
        if (!got) return in_section ? r : Reading{r.records, KXCF_EPREMATURE, lineno};
        std::size_t start = skip_blanks(s, 0), end = s.size();
        while (end > start && is_blank(s[end - 1])) --end;
        s = s.substr(start, end - start);
        if (s.empty() || s[0] == '#') {
            r.records.append("T ").append(s).append("\n");
            continue;
        }
        std::string record;
        bool header = false, section = false;
        int code = parse_line(s, record, header, section);
        if (code == 0 && !section && !in_section) code = header ? KXCF_ESUBFIRST : KXCF_EKWFIRST;
        if (code != 0) return {r.records, code, lineno};
        in_section = in_section || section;
        r.records.append(record).append("\n");
    }
}

// ---- the library's reading, in the same form --------------------------------

void render(const KXCF_NODE* n, std::string& out) {
    for (; n; n = n->next) {
        const bool header = n->kind == KXCF_NODE_SECTION || n->kind == KXCF_NODE_SUBSECTION;
        if (header) out.append(n->kind == KXCF_NODE_SECTION ? "S " : "U ").append(n->name).append("\n");
        if (header || n->kind == KXCF_NODE_LEADING) {
            render(n->u.lines, out);
            if (n->kind == KXCF_NODE_SECTION) render(n->subsections, out);
        } else if (n->text) {
            out.append("T ").append(n->text).append("\n");
        } else {
            out.append("K ").append(n->name);
            out.append(n->u.value ? " = " : "").append(n->u.value ? n->u.value : "").append("\n");
        }
    }
}

Reading library_read(const std::string& path) {
    kxcf_lineno = 0;
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_NOEXPAND);
    if (!f) return {"", kx_errno, kxcf_lineno};
    Reading r;
    render(f->root, r.records);
    kxcf_close(f);
    return r;
}

// ---- generated files ---------------------------------------------------------

// A line drawn from the shapes the format knows, mostly good, sometimes
// broken, with blanks, mixed case, long names and long lines near the limits.
std::string random_line(std::mt19937& rng, bool allow_faults) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto blanks = [&] { return std::string(static_cast<std::size_t>(pick(3)), pick(2) ? ' ' : '\t'); };
    auto name = [&](std::size_t max) {
        static const char chars[] = "abcXYZ019_.";
        std::size_t len = pick(8) == 0 ? max - 1 + static_cast<std::size_t>(pick(3)) : 1 + static_cast<std::size_t>(pick(12));
        std::string s;
        for (std::size_t i = 0; i < len; ++i) s += chars[pick(sizeof chars - 1)];
        return s;
    };
    auto value = [&] {
        std::size_t len = pick(10) == 0 ? KXCF_MAX_VALUE - 1 + static_cast<std::size_t>(pick(3)) : static_cast<std::size_t>(pick(20));
        std::string s;
        for (std::size_t i = 0; i < len; ++i) s += "ab =#[]() \t\r$x"[pick(14)];
        return s;
    };
    int shape = pick(allow_faults ? 14 : 9);
    switch (shape) {
        case 0: return blanks() + "# " + value();
        case 1: return blanks();
        case 2: return blanks() + "[" + blanks() + name(KXCF_MAX_SECTION) + blanks() + "]" + blanks();
        case 3: return "(" + name(KXCF_MAX_NAME) + ")";
        case 4: return blanks() + name(KXCF_MAX_NAME) + blanks();
        case 5: case 6: case 7: return blanks() + name(KXCF_MAX_NAME) + blanks() + "=" + blanks() + value();
        case 8: return name(KXCF_MAX_NAME) + "=";
        case 9: return "[" + name(10) + (pick(2) ? " x]" : "");
        case 10: return "(" + name(10) + "] ";
        case 11: return pick(2) ? "= value" : "na!me = v";
        case 12: return std::string(KXCF_MAX_LINE - 2 + static_cast<std::size_t>(pick(4)), 'k');
        default: return "key = a" + std::string(1, '\0') + "b";
    }
}

std::string random_file(std::mt19937& rng, bool allow_faults) {
    std::string text = rng() % 4 ? "[first]\n" : "";
    int lines = static_cast<int>(rng() % 60);
    for (int i = 0; i < lines; ++i) {
        // Faults are rare, so that most files get far before their first.
        text += random_line(rng, allow_faults && rng() % 20 == 0);
        if (i + 1 < lines || rng() % 2) text += rng() % 30 ? "\n" : "\r\n";
    }
    return text;
}

TEST(KxcfReaderEqual, GeneratedFilesReadAsTheReferenceReadsThem) {
    TempTree tree;
    const std::string path = tree.file("generated");
    std::mt19937 rng(20261206);
    int faults = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string text = random_file(rng, i % 2 == 1);
        write_file(path, text);
        Reading want = reference_read(text), got = library_read(path);
        ASSERT_EQ(got.code, want.code) << "file " << i << ":\n" << text;
        ASSERT_EQ(got.line, want.line) << "file " << i << ":\n" << text;
        if (want.code == 0) { ASSERT_EQ(got.records, want.records) << "file " << i; }
        faults += want.code != 0;
    }
    EXPECT_GT(faults, 150) << "the generator must produce broken files too";
    EXPECT_LT(faults, 1350) << "and good ones";
}

// Lines longer than any read block and files that end in the middle of one
// are cut nowhere: the block boundaries must not show.
TEST(KxcfReaderEqual, LinesAcrossBlockBoundaries) {
    TempTree tree;
    const std::string path = tree.file("big");
    std::string text = "[s]\n";
    std::mt19937 rng(7);
    while (text.size() < (3u << 20)) {
        std::string value(rng() % KXCF_MAX_VALUE, 'v');
        text.append("k").append(std::to_string(text.size())).append(" = ").append(value).append("\n");
    }
    text += "last = no newline";
    write_file(path, text);
    Reading want = reference_read(text), got = library_read(path);
    EXPECT_EQ(got.code, 0);
    EXPECT_EQ(got.records, want.records);

    text += "\n" + std::string(KXCF_MAX_LINE + 1, 'x') + "\n";
    write_file(path, text);
    want = reference_read(text);
    got = library_read(path);
    EXPECT_EQ(want.code, KXCF_ELINELEN);
    EXPECT_EQ(got.code, want.code);
    EXPECT_EQ(got.line, want.line);
}

}  // namespace

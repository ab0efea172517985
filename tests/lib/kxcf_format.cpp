// The configuration file format: what is read, what is refused, and what a
// file looks like after it has been read and written back.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;

struct Opened {
    KXCF_FILE* f;
    int err;
    int line;
};

Opened open_text(const TempTree& tree, const std::string& text, int flags = 0) {
    std::string path = tree.file("c.cfg");
    write_file(path, text);
    kx_errno = 0;
    kxcf_lineno = -1;
    KXCF_FILE* f = kxcf_open(path.c_str(), flags);
    return {f, kx_errno, kxcf_lineno};
}

TEST(KxcfFormat, RoundTripKeepsCommentsAndNormalisesTheRest) {
    TempTree tree;
    const std::string in =
        "  # leading comment  \n \t \n[ Network.Main ]  \nKey=Value\n  other   =  spaced value  \n"
        "novalue=\nbare\n# before subsection\n( Sub1 )\nk = v # not a comment = [x]\n"
        "# before next section\n[net]\nk=1\nk=2\nk=3\ncr = v\r\n\n[net]\nlast = unterminated";
    const std::string out =
        "# leading comment\n\n[network.main]\nkey = Value\nother = spaced value\n"
        "novalue\nbare\n# before subsection\n(sub1)\nk = v # not a comment = [x]\n"
        "# before next section\n[net]\nk = 1\nk = 2\nk = 3\ncr = v\r\n\n[net]\n"
        "last = unterminated\n";
    Opened o = open_text(tree, in, KXCF_UPDATE);
    ASSERT_NE(o.f, nullptr) << o.err << " at line " << o.line;
    EXPECT_EQ(o.line, 0);
    EXPECT_STREQ(kxcf_getvar(o.f, "network.main", "sub1", "k", 0), "v # not a comment = [x]");
    EXPECT_STREQ(kxcf_getvar(o.f, "net", nullptr, "cr", 0), "v\r");  // a CR is no blank
    // Rewriting a value with itself marks the handle, so the whole tree is written.
    ASSERT_EQ(kxcf_setvar(o.f, "net", nullptr, "k", "1"), 0);
    ASSERT_EQ(kxcf_close(o.f), 0);
    EXPECT_EQ(read_file(tree.file("c.cfg")), out);
}

TEST(KxcfFormat, FaultsGiveTheirCodeAndLine) {
    struct Case {
        std::string text;
        int code;
        int line;
    };
    const Case cases[] = {
        {"[a] # comment\n", KXCF_ESECTAFTER, 1}, {"# c\n[a\n", KXCF_ESECTNOEND, 2},
        {"[a b]\n", KXCF_ESECTCHAR, 1},          {"[ ]\n", KXCF_ESECTCHAR, 1},
        {"[a-b]\n", KXCF_ESECTCHAR, 1},          {"[a]\r\n", KXCF_ESECTAFTER, 1},
        {"[a]\n(b\n", KXCF_ESUBNOEND, 2},        {"[a]\n(b c)\n", KXCF_ESUBCHAR, 2},
        {"[a]\n(b) x\n", KXCF_ESUBAFTER, 2},     {"[a]\n()\n", KXCF_ESUBCHAR, 2},
        {"(s)\n[a]\n", KXCF_ESUBFIRST, 1},       {"# c\nk = v\n[a]\n", KXCF_EKWFIRST, 2},
        {"[a]\nkey value\n", KXCF_EKWCHAR, 2},   {"[a]\nmy key = v\n", KXCF_EKWCHAR, 2},
        {"[a]\n= value\n", KXCF_EKWCHAR, 2},     {"[a]\n$x = 1\n", KXCF_EKWCHAR, 2},
        {"# only\n# comments\n", KXCF_EPREMATURE, 3}, {"", KXCF_EFILESIZE, 0},
        {"[]", KXCF_EFILESIZE, 0},
        {std::string("[a]\nk = v\0w\n", 12), KXCF_ELINELEN, 2},
        {"[a]\n" + std::string(100000, 'x') + "\n", KXCF_ELINELEN, 2},
    };
    TempTree tree;
    for (const Case& c : cases) {
        Opened o = open_text(tree, c.text);
        EXPECT_EQ(o.f, nullptr) << c.text;
        EXPECT_EQ(o.err, c.code) << c.text;
        EXPECT_EQ(o.line, c.line ? c.line : o.line) << c.text;
    }
}

TEST(KxcfFormat, LimitsAcceptTheMaximumAndRefuseOneMore) {
    struct Limit {
        std::string head, fill, tail;
        std::size_t max;
        int code;
    };
    const Limit limits[] = {{"[", "s", "]\n", 130, KXCF_ESECTSIZE},
                            {"[a]\n(", "u", ")\n", 40, KXCF_ESUBSIZE},
                            {"[a]\n", "k", " = v\n", 40, KXCF_EKWSIZE},
                            {"[a]\nk = ", "v", "\n", 1152, KXCF_EVALSIZE},
                            {"[a]\n#", "c", "\n", 1277, KXCF_ELINELEN}};  // 1278 with "#"
    TempTree tree;
    for (const Limit& l : limits) {
        Opened ok = open_text(tree, l.head + std::string(l.max, l.fill[0]) + l.tail);
        EXPECT_NE(ok.f, nullptr) << l.max << " refused with " << ok.err;
        kxcf_close(ok.f);
        Opened bad = open_text(tree, l.head + std::string(l.max + 1, l.fill[0]) + l.tail);
        EXPECT_EQ(bad.f, nullptr);
        EXPECT_EQ(bad.err, l.code) << l.max;
        EXPECT_EQ(bad.line, l.code == KXCF_ESECTSIZE ? 1 : 2);
    }
    // The longest value also survives the write-back unchanged; three bytes are a file.
    Opened o = open_text(tree, "[a]", KXCF_UPDATE);
    ASSERT_NE(o.f, nullptr);
    ASSERT_EQ(kxcf_setvar(o.f, "a", nullptr, "k", std::string(1152, 'w').c_str()), 0);
    ASSERT_EQ(kxcf_close(o.f), 0);
    EXPECT_EQ(read_file(tree.file("c.cfg")), "[a]\nk = " + std::string(1152, 'w') + "\n");
}

TEST(KxcfFormat, BinaryGarbageIsRefusedCleanly) {
    TempTree tree;
    std::mt19937 rng(12345);
    for (int round = 0; round < 50; ++round) {
        std::string junk(3 + rng() % 3000, '\0');
        for (char& c : junk) c = static_cast<char>(rng() & 0xff);
        Opened o = open_text(tree, junk);
        EXPECT_EQ(o.f, nullptr);
        EXPECT_TRUE(o.err >= KXCF_EPARAM && o.err <= KXCF_EPREMATURE) << o.err;
    }
}

}  // namespace

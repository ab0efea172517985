// Walking, looking up and editing an open configuration file.
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kxtest::read_file;
using kxtest::TempTree;
using kxtest::write_file;

const char* const kSample =
    "# leading comment\n[alpha]\na1 = one\n# comment in alpha\na2\n(sub)\ns1 = x\n"
    "(other)\no1 = y\n(sub)\ns2 = second sub\n[beta]\nb1 = MiXed\n"
    "[alpha]\nonly_in_second = 2\n(extra)\ne1 = e\n";

class KxcfWalk : public ::testing::Test {
protected:
    void open(int flags = KXCF_UPDATE | KXCF_NOEXPAND, const char* text = kSample) {
        path_ = tree_.file("w.cfg");
        write_file(path_, text);
        f_ = kxcf_open(path_.c_str(), flags);
        ASSERT_NE(f_, nullptr) << kx_errno;
    }
    void TearDown() override { kxcf_close(f_); }
    // Closes the handle (writing back) and returns the file's text.
    std::string written() {
        EXPECT_EQ(kxcf_close(f_), 0);
        f_ = nullptr;
        return read_file(path_);
    }
    // Every keyword of a list as "name=value", then the code that ended it.
    std::vector<std::string> walk(const char* section, const char* subsection) {
        std::vector<std::string> out;
        const char *kw, *v;
        while ((v = kxcf_nextvar(f_, section, subsection, &kw, 0)) != KXCF_FAIL)
            out.push_back(std::string(kw) + "=" + v);
        out.push_back(std::to_string(kx_errno));
        return out;
    }
    TempTree tree_;
    std::string path_;
    KXCF_FILE* f_ = nullptr;
};

using V = std::vector<std::string>;

// The reason of a failed call, or 0 when it succeeded.
int err(int rc) { return rc == -1 ? kx_errno : 0; }
int err(const char* p) { return p == KXCF_FAIL ? kx_errno : 0; }

TEST_F(KxcfWalk, SectionsAndSubsectionsInFileOrder) {
    open();
    V names;
    const char* s;
    while ((s = kxcf_nextsection(f_)) != KXCF_FAIL) names.push_back(s);
    EXPECT_EQ(kx_errno, KXCF_ENOSECTION);
    EXPECT_EQ(names, (V{"alpha", "beta", "alpha"}));

    // The subsections of the first "alpha"; the walk does not go on into the second.
    ASSERT_EQ(kxcf_rewind(f_), 0);
    names.clear();
    while ((s = kxcf_nextsubsection(f_, "ALPHA")) != KXCF_FAIL) names.push_back(s);
    EXPECT_EQ(kx_errno, KXCF_ENOSUBSECTION);
    EXPECT_EQ(names, (V{"sub", "other", "sub"}));
    EXPECT_EQ(err(kxcf_nextsubsection(f_, "beta")), KXCF_ENOSUBSECTION);
    EXPECT_EQ(err(kxcf_nextsubsection(f_, "gamma")), KXCF_ENOSECTION);

    // findsubsection makes the last of two same-named subsections current.
    ASSERT_EQ(kxcf_findsubsection(f_, "alpha", "sub"), 0);
    EXPECT_EQ(walk("alpha", "sub"), (V{"s2=second sub", "1028"}));
    EXPECT_EQ(err(kxcf_findsubsection(f_, "alpha", "extra")), KXCF_ENOSUBSECTION);
    EXPECT_EQ(err(kxcf_findsection(f_, "nope")), KXCF_ENOSECTION);
}

TEST_F(KxcfWalk, KeywordWalksStayInTheirList) {
    open();
    // The section's own lines only: no comments, no subsection lines.
    EXPECT_EQ(walk("alpha", nullptr), (V{"a1=one", "a2=", "1028"}));
    // Switching lists starts the other list at its head, both ways.
    EXPECT_EQ(walk("alpha", "sub"), (V{"s1=x", "1028"}));
    EXPECT_EQ(walk("alpha", nullptr), (V{"a1=one", "a2=", "1028"}));
    ASSERT_EQ(kxcf_rewind(f_), 0);
    EXPECT_EQ(walk("alpha", "extra"), (V{"1027"}));
    EXPECT_EQ(walk("gamma", nullptr), (V{"1026"}));

    // A keyword without value: 1030 with the walk moved past it.
    ASSERT_EQ(kxcf_rewind(f_), 0);
    const char* kw = "unset";
    EXPECT_STREQ(kxcf_nextvar(f_, "alpha", nullptr, &kw, KXCF_NOTNULL), "one");
    EXPECT_EQ(err(kxcf_nextvar(f_, "alpha", nullptr, &kw, KXCF_NOTNULL)), KXCF_ENULL);
    EXPECT_EQ(kw, nullptr);  // no name comes with a failure
    EXPECT_EQ(err(kxcf_nextvar(f_, "alpha", nullptr, &kw, KXCF_NOTNULL)), KXCF_ENOKEYWORD);
}

TEST_F(KxcfWalk, LookupsAndNameChecks) {
    open();
    EXPECT_STREQ(kxcf_getvar(f_, "Alpha", nullptr, "ONLY_IN_SECOND", 0), "2");
    EXPECT_STREQ(kxcf_getvar(f_, "alpha", "extra", "e1", 0), "e");
    EXPECT_STREQ(kxcf_getvar(f_, "alpha", "sub", "s2", 0), "second sub");
    EXPECT_STREQ(kxcf_getvar(f_, "beta", nullptr, "b1", KXCF_LOWER | KXCF_UPPER), "mixed");
    EXPECT_STREQ(kxcf_getvar(f_, "beta", nullptr, "b1", KXCF_UPPER), "MIXED");
    EXPECT_STREQ(kxcf_getvar(f_, "alpha", nullptr, "a2", 0), "");

    const std::string s131(131, 's'), n41(41, 'n');
    const struct {
        const char *section, *subsection, *keyword;
        int code;
    } bad[] = {
        {"beta", nullptr, "zz", KXCF_ENOKEYWORD}, {"beta", "sub", "b1", KXCF_ENOSUBSECTION},
        {"gamma", nullptr, "b1", KXCF_ENOSECTION}, {nullptr, nullptr, "b1", KXCF_EPARAM},
        {"beta", nullptr, nullptr, KXCF_EPARAM}, {"", nullptr, "b1", KXCF_ESECTSIZE},
        {s131.c_str(), nullptr, "b1", KXCF_ESECTSIZE}, {"be ta", nullptr, "b1", KXCF_ESECTCHAR},
        {"beta", "", "b1", KXCF_ESUBSIZE}, {"beta", n41.c_str(), "b1", KXCF_ESUBSIZE},
        {"beta", "s/b", "b1", KXCF_ESUBCHAR}, {"beta", nullptr, n41.c_str(), KXCF_EKWSIZE},
        {"beta", nullptr, "b-1", KXCF_EKWCHAR}, {"beta", nullptr, "", KXCF_EKWSIZE},
    };
    for (const auto& b : bad)
        EXPECT_EQ(err(kxcf_getvar(f_, b.section, b.subsection, b.keyword, 0)), b.code);
    EXPECT_EQ(err(kxcf_getvar(nullptr, "beta", nullptr, "b1", 0)), KXCF_EPARAM);
}

TEST_F(KxcfWalk, SetvarInstReplacesOrAddsOneLineAfterTheLastKeyword) {
    open(KXCF_UPDATE, "[s]\n# head\nk = 1\nother = o\n# tail comment\n\n[t]\n# only a comment\n");
    EXPECT_EQ(kxcf_setvar_inst(f_, "s", nullptr, "K", "  first \t\n", 1), 0);
    EXPECT_EQ(kxcf_setvar_inst(f_, "s", nullptr, "k", "second", 2), 0);
    EXPECT_EQ(kxcf_setvar_inst(f_, "s", nullptr, "k", "third", 7), 0);
    EXPECT_EQ(kxcf_setvar_inst(f_, "t", nullptr, "new", nullptr, 1), 0);
    EXPECT_EQ(kxcf_setvar_inst(f_, "t", nullptr, "blank", "   ", 1), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "idx", "  padded  ", 1), 0);

    // Bad arguments change nothing.
    const std::string too_long(1153, 'v');
    EXPECT_EQ(err(kxcf_setvar_inst(f_, "s", nullptr, "k", "x", 0)), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setvar_inst(f_, "s", nullptr, "bad key", "x", 1)), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setvar_inst(f_, "s", nullptr, "k", too_long.c_str(), 1)), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setvar_index(f_, "s", nullptr, "k", "two\n[lines]", 1)), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setvar_inst(f_, "s!", nullptr, "k", "x", 1)), KXCF_ESECTCHAR);
    EXPECT_EQ(err(kxcf_setvar(f_, "nope", nullptr, "k", "x")), KXCF_ENOSECTION);
    EXPECT_EQ(err(kxcf_setvar(f_, "s", "nope", "k", "x")), KXCF_ENOSUBSECTION);

    EXPECT_EQ(written(),
              "[s]\n# head\nk = first\nidx =   padded  \nother = o\nk = second\nk = third\n"
              "# tail comment\n\n[t]\nnew\nblank = \n# only a comment\n");
}

TEST_F(KxcfWalk, SetvarIndexCountsKeywordLinesOnly) {
    open(KXCF_UPDATE, "[s]\n# c0\nk1\n# c1\nk2\nk3\n# c3\n");
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "at2", "v", 2), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "at0", nullptr, 0), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "neg", nullptr, -4), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "end", "e", 99), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "k1", "again", 3), 0);
    EXPECT_EQ(written(),
              "[s]\nneg\nat0\n# c0\nk1\nk1 = again\n# c1\nk2\nat2 = v\nk3\nend = e\n# c3\n");
}

TEST_F(KxcfWalk, NewSectionsAndSubsectionsGoLastAfterABlankLine) {
    open();
    EXPECT_EQ(kxcf_setsection(f_, "Beta"), 0);
    EXPECT_EQ(kxcf_setsubsection(f_, "alpha", "Fresh"), 0);
    EXPECT_EQ(kxcf_setsubsection(f_, "beta", "first"), 0);
    EXPECT_EQ(kxcf_setvar(f_, "beta", "first", "k", "v"), 0);
    EXPECT_EQ(kxcf_setvar(f_, "alpha", "extra", "e2", "in second alpha"), 0);
    EXPECT_EQ(err(kxcf_setsection(f_, "bad name")), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setsection(f_, nullptr)), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setsubsection(f_, "gamma", "x")), KXCF_ENOSECTION);
    std::string text = written();
    EXPECT_NE(text.find("s2 = second sub\n\n(fresh)\n[beta]\nb1 = MiXed\n\n(first)\nk = v\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("e1 = e\ne2 = in second alpha\n\n[beta]\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 9), "\n\n[beta]\n");
}

TEST_F(KxcfWalk, DeletionsKeepAWalkGoing) {
    open();
    const char* kw;
    EXPECT_STREQ(kxcf_nextvar(f_, "alpha", nullptr, &kw, 0), "one");
    // Removing the current line: the walk goes on with the line after it.
    EXPECT_EQ(kxcf_delvar_inst(f_, "alpha", nullptr, "a1", 1), 0);
    EXPECT_STREQ(kxcf_nextvar(f_, "alpha", nullptr, &kw, 0), "");
    EXPECT_STREQ(kw, "a2");
    EXPECT_EQ(err(kxcf_delvar_inst(f_, "alpha", nullptr, "a2", 2)), KXCF_EINSTANCE);
    EXPECT_EQ(err(kxcf_delvar_inst(f_, "alpha", nullptr, "zz", 1)), KXCF_ENOKEYWORD);
    EXPECT_EQ(err(kxcf_delvar_inst(f_, "alpha", nullptr, "a2", 0)), KXCF_EPARAM);

    ASSERT_EQ(kxcf_findsubsection(f_, "alpha", "other"), 0);
    EXPECT_EQ(kxcf_delsubsection(f_, "alpha", "other"), 0);
    EXPECT_STREQ(kxcf_nextsubsection(f_, "alpha"), "sub");
    EXPECT_EQ(kxcf_delsubsection(f_, "alpha", "extra"), 0);  // found in the second alpha
    EXPECT_EQ(err(kxcf_delsubsection(f_, "alpha", "extra")), KXCF_ENOSUBSECTION);

    ASSERT_EQ(kxcf_rewind(f_), 0);
    EXPECT_STREQ(kxcf_nextsection(f_), "alpha");
    EXPECT_EQ(kxcf_delsection(f_, "alpha"), 0);
    EXPECT_STREQ(kxcf_nextsection(f_), "beta");
    EXPECT_EQ(err(kxcf_delsection(f_, "gamma")), KXCF_ENOSECTION);
    EXPECT_EQ(written(), "# leading comment\n[beta]\nb1 = MiXed\n[alpha]\nonly_in_second = 2\n");
}

}  // namespace

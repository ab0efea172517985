// Walking, looking up and editing an open configuration file, `$` references
// in the values read, and the checksum keyword of a subsection. Files the
// edits write whole are compared with those of kxcf_tree/.
// The lookup tables of an update-mode handle live across many edits; a
// handle opened afresh for each edit walks its lists before it builds them
// anew. Both must give the same answers and write the same lines (but for
// blank lines, which a fresh reading gives to the list before them).
#include "kx_errno.h"
#include "kx_test_support.h"
#include "kxcf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <pwd.h>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace kxtest;

const char* const kSample =
    "# leading comment\n[alpha]\na1 = one\n# comment in alpha\na2\n(sub)\ns1 = x\n"
    "(other)\no1 = y\n(sub)\ns2 = second sub\n[beta]\nb1 = MiXed\n"
    "[alpha]\nonly_in_second = 2\n(extra)\ne1 = e\n";

using V = std::vector<std::string>;

using kxtest::err;
// The reason of a lookup that failed with KXCF_FAIL, or 0 when it succeeded.
int err(const char* p) { return p == KXCF_FAIL ? kx_errno : 0; }

class KxcfTree : public ::testing::Test {
protected:
    void TearDown() override {
        kxcf_close(f_);
        unsetenv("KXCF_TEST_DIR");
    }
    void open(int flags, const std::string& text = kSample) {
        kxcf_close(f_);
        path_ = tree_.file("t.cfg");
        write_file(path_, text);
        f_ = kxcf_open(path_.c_str(), flags);
        ASSERT_NE(f_, nullptr) << kx_errno;
    }
    // Closes the handle (writing back) and returns the file's text.
    std::string written() {
        EXPECT_EQ(kxcf_close(f_), 0);
        f_ = nullptr;
        return read_file(path_);
    }
    // Every keyword of a list as "name=value", then the code that ended it.
    V walk(const char* section, const char* subsection) {
        V out;
        const char *kw, *v;
        while ((v = kxcf_nextvar(f_, section, subsection, &kw, 0)) != KXCF_FAIL)
            out.push_back(std::string(kw) + "=" + v);
        out.push_back(std::to_string(kx_errno));
        return out;
    }
    std::string expand(const char* value) {
        char* out = kxcf_expand_path(value, f_);
        if (out == KXCF_FAIL) return "FAIL " + std::to_string(kx_errno);
        std::string s(out);
        free(out);
        return s;
    }
    // Checksums subsection (sub) of [s] in TEXT in immediate mode: the result
    // and the file as left on disk.
    std::pair<int, std::string> checksum_of(const std::string& text) {
        open(0, text);
        int rc = kxcf_cksum(f_, "s", "sub", "Data");
        return {rc, written()};
    }
    TempTree tree_;
    std::string path_;
    KXCF_FILE* f_ = nullptr;
};

TEST_F(KxcfTree, SectionsSubsectionsAndKeywordsWalkInFileOrderInTheirList) {
    open(KXCF_NOEXPAND);
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

    // The section's own lines only: no comments, no subsection lines.
    ASSERT_EQ(kxcf_rewind(f_), 0);
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

TEST_F(KxcfTree, LookupsAndNameChecks) {
    open(KXCF_NOEXPAND);
    EXPECT_STREQ(kxcf_getvar(f_, "Alpha", nullptr, "ONLY_IN_SECOND", 0), "2");
    EXPECT_STREQ(kxcf_getvar(f_, "alpha", "extra", "e1", 0), "e");
    EXPECT_STREQ(kxcf_getvar(f_, "alpha", "sub", "s2", 0), "second sub");
    EXPECT_STREQ(kxcf_getvar(f_, "beta", nullptr, "b1", KXCF_LOWER | KXCF_UPPER), "mixed");
    EXPECT_STREQ(kxcf_getvar(f_, "beta", nullptr, "b1", KXCF_UPPER), "MIXED");

    const std::string s131(131, 's'), n41(41, 'n');
    const std::tuple<const char*, const char*, const char*, int> bad[] = {
        {"beta", nullptr, "zz", KXCF_ENOKEYWORD}, {"beta", "sub", "b1", KXCF_ENOSUBSECTION},
        {"gamma", nullptr, "b1", KXCF_ENOSECTION}, {nullptr, nullptr, "b1", KXCF_EPARAM},
        {s131.c_str(), nullptr, "b1", KXCF_ESECTSIZE}, {"be ta", nullptr, "b1", KXCF_ESECTCHAR},
        {"beta", n41.c_str(), "b1", KXCF_ESUBSIZE}, {"beta", "s/b", "b1", KXCF_ESUBCHAR},
        {"beta", nullptr, "", KXCF_EKWSIZE}, {"beta", nullptr, "b-1", KXCF_EKWCHAR},
    };
    for (const auto& [section, subsection, keyword, code] : bad)
        EXPECT_EQ(err(kxcf_getvar(f_, section, subsection, keyword, 0)), code) << keyword;
    EXPECT_EQ(err(kxcf_getvar(nullptr, "beta", nullptr, "b1", 0)), KXCF_EPARAM);
}

TEST_F(KxcfTree, SetvarInstReplacesOrAddsAfterTheLastKeywordAndSetvarIndexCountsKeywordLines) {
    open(KXCF_UPDATE, "[s]\n# head\nk = 1\nother = o\n# tail comment\n\n[t]\n# only a comment\n");
    EXPECT_EQ(kxcf_setvar_inst(f_, "s", nullptr, "K", "\v\f first \t\r\n", 1), 0);
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

    EXPECT_EQ(written(), expected_output("lib/config/kxcf_tree/setvar_inst.cfg"));

    open(KXCF_UPDATE, "[s]\n# c0\nk1\n# c1\nk2\nk3\n# c3\n");
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "at2", "v", 2), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "at0", nullptr, 0), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "neg", nullptr, -4), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "end", "e", 99), 0);
    EXPECT_EQ(kxcf_setvar_index(f_, "s", nullptr, "k1", "again", 3), 0);
    EXPECT_EQ(written(), expected_output("lib/config/kxcf_tree/setvar_index.cfg"));
}

TEST_F(KxcfTree, NewSectionsGoLastAfterABlankLineAndDeletionsKeepAWalkGoing) {
    open(KXCF_UPDATE);
    EXPECT_EQ(kxcf_setsection(f_, "Beta"), 0);
    EXPECT_EQ(kxcf_setsubsection(f_, "alpha", "Fresh"), 0);
    EXPECT_EQ(kxcf_setsubsection(f_, "beta", "first"), 0);
    EXPECT_EQ(kxcf_setvar(f_, "beta", "first", "k", "v"), 0);
    EXPECT_EQ(kxcf_setvar(f_, "alpha", "extra", "e2", "in second alpha"), 0);
    EXPECT_EQ(err(kxcf_setsection(f_, "bad name")), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_setsubsection(f_, "gamma", "x")), KXCF_ENOSECTION);
    EXPECT_EQ(written(), expected_output("lib/config/kxcf_tree/new_sections.cfg"));

    open(KXCF_UPDATE);
    const char* kw;
    EXPECT_STREQ(kxcf_nextvar(f_, "alpha", nullptr, &kw, 0), "one");
    // Removing the current line: the walk goes on with the line after it.
    EXPECT_EQ(kxcf_delvar_inst(f_, "alpha", nullptr, "a1", 1), 0);
    EXPECT_STREQ(kxcf_nextvar(f_, "alpha", nullptr, &kw, 0), "");
    EXPECT_STREQ(kw, "a2");
    EXPECT_EQ(err(kxcf_delvar_inst(f_, "alpha", nullptr, "a2", 2)), KXCF_EINSTANCE);
    EXPECT_EQ(err(kxcf_delvar_inst(f_, "alpha", nullptr, "zz", 1)), KXCF_ENOKEYWORD);

    ASSERT_EQ(kxcf_findsubsection(f_, "alpha", "other"), 0);
    EXPECT_EQ(kxcf_delsubsection(f_, "alpha", "other"), 0);
    EXPECT_STREQ(kxcf_nextsubsection(f_, "alpha"), "sub");
    EXPECT_EQ(kxcf_delsubsection(f_, "alpha", "extra"), 0);  // found in the second alpha
    EXPECT_EQ(err(kxcf_delsubsection(f_, "alpha", "extra")), KXCF_ENOSUBSECTION);

    ASSERT_EQ(kxcf_rewind(f_), 0);
    EXPECT_STREQ(kxcf_nextsection(f_), "alpha");
    EXPECT_EQ(kxcf_delsection(f_, "alpha"), 0);
    EXPECT_STREQ(kxcf_nextsection(f_), "beta");
    EXPECT_EQ(written(), "# leading comment\n[beta]\nb1 = MiXed\n[alpha]\nonly_in_second = 2\n");
}

const char* const kDefinitions =
    "[system]\n(path_expand)\n# definitions\nkxcf_test_dir = /from/definition\n"
    "data = /srv/data\nempty\nnested = $KXCF_TEST_DIR\n[files]\nlog = $KESTRIX_HOME/log/qzt.log\n";

TEST_F(KxcfTree, ReferencesResolveFromEnvironmentThenDefinitionsWithinTheLimit) {
    setenv("KXCF_TEST_DIR", "/from/env", 1);
    open(KXCF_UPDATE, kDefinitions);
    EXPECT_STREQ(kxcf_getvar(f_, "files", nullptr, "log", 0),
                 (tree_.path() + "/log/qzt.log").c_str());
    // The environment is asked with the case as written and wins over a
    // definition; replacements are not expanded again; a definition without
    // value defines nothing; only a "$" at the start or after "/", a blank or
    // a tab starts a reference; a newline ends the value.
    const std::pair<const char*, const char*> cases[] = {
        {"$kxcf_test_dir/x", "/from/definition/x"}, {"$Data", "/srv/data"}, {"$nested", "$KXCF_TEST_DIR"},
        {"$empty/x", "$empty/x"}, {"abc$data", "abc$data"},
        {"$data $KXCF_TEST_DIR\t$data/a/$data", "/srv/data /from/env\t/srv/data/a//srv/data"},
        {"$Data.Bak/x ${data} cost $", "$data.bak/x ${data} cost $"}, {"x $data\nrest", "x /srv/data"}};
    for (const auto& [value, expanded] : cases) EXPECT_EQ(expand(value), expanded) << value;
    EXPECT_EQ(expand(nullptr), "");
    // Names longer than a keyword are still looked up in the environment.
    std::string long_name(60, 'V');
    setenv(long_name.c_str(), "long", 1);
    EXPECT_EQ(expand(("$" + long_name).c_str()), "long");
    unsetenv(long_name.c_str());

    // The product home falls back to the product account, after a definition.
    unsetenv("KESTRIX_HOME");
    const struct passwd* pw = getpwnam("kestrix");
    std::string home = pw ? std::string(pw->pw_dir) + "/bin" : "$kestrix_home/bin";
    EXPECT_EQ(expand("$KESTRIX_HOME/bin"), home);
    EXPECT_EQ(expand("$kestrix_home/bin"), home);
    ASSERT_EQ(kxcf_setvar(f_, "system", "path_expand", "kestrix_home", "/opt/kx"), 0);
    EXPECT_EQ(expand("$kestrix_home/bin"), "/opt/kx/bin");

    std::string dir(1150, 'd');
    setenv("KXCF_TEST_DIR", dir.c_str(), 1);
    open(KXCF_UPDATE, kDefinitions);
    EXPECT_EQ(expand("$KXCF_TEST_DIR/x"), dir + "/x");  // 1152 characters
    EXPECT_EQ(expand("$KXCF_TEST_DIR/xy"), "FAIL 1024");
    ASSERT_EQ(kxcf_setvar(f_, "files", nullptr, "log", "$KXCF_TEST_DIR/xyz"), 0);
    EXPECT_EQ(err(kxcf_getvar(f_, "files", nullptr, "log", 0)), KXCF_EVALSIZE);

    // Definitions removed from or added to the tree count at once.
    ASSERT_EQ(kxcf_delsubsection(f_, "system", "path_expand"), 0);
    EXPECT_EQ(expand("$data"), "$data");
    ASSERT_EQ(kxcf_setsubsection(f_, "system", "path_expand"), 0);
    ASSERT_EQ(kxcf_setvar(f_, "system", "path_expand", "data", "/new"), 0);
    EXPECT_EQ(expand("$data"), "/new");

    open(KXCF_NOEXPAND, kDefinitions);
    EXPECT_STREQ(kxcf_getvar(f_, "files", nullptr, "log", 0), "$KESTRIX_HOME/log/qzt.log");
    EXPECT_EQ(expand("$data"), "$data");
}

TEST_F(KxcfTree, ChecksumDigestsTheSubsectionsKeywordLinesAsTheHandleReadsThem) {
    // Keyword lines that make the RFC 1321 test messages, and the digests
    // given there as four little-endian numbers in the stored form.
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d98c1dd4,4b2008f,980980e9,7e42f8ec"},      // d41d8cd98f00b204e9800998ecf8427e
        {"a\nbc\n", "98500190,b04fd23c,7d3f96d6,727fe128"},  // 900150983cd24fb0d6963f7d28e17f72
        {"m = essage digest\n", "7d696bf9,8d93b77c,312f5a52,d061f1aa"},
    };
    for (const auto& [lines, sum] : vectors) {
        auto [rc, file] = checksum_of("[s]\n(sub)\n" + lines);
        EXPECT_EQ(rc, 1) << sum;
        EXPECT_EQ(file, "[s]\n(sub)\n" + lines + "cksum_data = " + sum + "\n");
    }

    // Only the keyword lines of the subsection count.
    const std::string head = "[s]\nown = not digested\n(sub)\n";
    auto [first, first_file] = checksum_of(head + "k1 = a\n# note\nk2 = b\n");
    ASSERT_EQ(first, 1);
    const std::string stored = first_file.substr(first_file.find("cksum_data = "));
    // Comments, other checksum keywords and the section's own lines leave it alone.
    EXPECT_EQ(checksum_of("# new\n[s]\nown = other\n(sub)\ncksum_x = 1,2,3,4\nk1 = a\n" + stored +
                          "k2 = b\n# more\n(next)\nz = 1\n")
                  .first,
              0);
    // A changed value, keyword name, order or number of lines is noticed.
    for (const char* body : {"k1 = A\nk2 = b\n", "k1 = a\nk3 = b\n", "k2 = b\nk1 = a\n",
                             "k1 = a\nk2 = b\nk3\n"}) {
        auto [rc, file] = checksum_of(head + body + stored);
        EXPECT_EQ(rc, 1) << body;
        EXPECT_EQ(file.find(stored), std::string::npos) << body;
        EXPECT_EQ(checksum_of(file).first, 0) << body;
    }
    // Three numbers are read with the fourth taken as 0; not matching here,
    // the checksum is rewritten with four.
    std::string three = stored.substr(13, stored.rfind(',') - 13);
    auto [rc, file] = checksum_of(head + "k1 = a\nk2 = b\ncksum_data = " + three + "\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(file, head + "k1 = a\nk2 = b\n" + stored);

    open(KXCF_UPDATE, "[s]\n(sub)\nk = $KESTRIX_HOME\n");
    const std::string name(40, 'N'), keyword = "cksum_" + std::string(34, 'n');
    EXPECT_EQ(kxcf_cksum(f_, "S", "SUB", name.c_str()), 1);
    EXPECT_EQ(kxcf_cksum(f_, "s", "sub", name.c_str()), 0);
    std::string expanded_sum = kxcf_getvar(f_, "s", "sub", keyword.c_str(), 0);

    // The digest takes values as the handle reads them: unexpanded here. A
    // store that cannot take the lock fails the call.
    KXCF_FILE* raw = kxcf_open(path_.c_str(), KXCF_NOEXPAND);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(err(kxcf_cksum(raw, "s", "sub", "x")), KXCF_ELOCKED);
    EXPECT_EQ(kxcf_close(f_), 0);
    f_ = raw;
    EXPECT_EQ(kxcf_cksum(f_, "s", "sub", name.c_str()), 1);
    EXPECT_STRNE(kxcf_getvar(f_, "s", "sub", keyword.c_str(), 0), expanded_sum.c_str());

    EXPECT_EQ(err(kxcf_cksum(f_, "s", nullptr, "x")), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_cksum(f_, "s", "sub", "a b")), KXCF_EPARAM);
    EXPECT_EQ(err(kxcf_cksum(f_, "s", "other", "x")), KXCF_ENOSUBSECTION);
    // A value that cannot be read fails the call: no checksum of the lines before it.
    setenv("KXCF_TEST_DIR", std::string(1200, 'd').c_str(), 1);
    EXPECT_EQ(checksum_of("[s]\n(sub)\nk = $KXCF_TEST_DIR\nlater = 1\n").first, -1);
}

const char* const kSections[] = {"a", "b", "system"};
const char* const kSubsections[] = {"x", "y", "path_expand"};
const char* const kKeywords[] = {"k1", "k2", "k3", "k4"};

// One edit drawn at random, applied to F; the same seed gives the same edit.
int random_edit(KXCF_FILE* f, unsigned seed) {
    std::mt19937 rng(seed);
    auto pick = [&](const auto& names) { return names[rng() % std::size(names)]; };
    const char* sec = pick(kSections);
    const char* sub = rng() % 3 ? pick(kSubsections) : nullptr;
    const char* kw = pick(kKeywords);
    const std::string value = join({"v", std::to_string(rng() % 100)});
    const int instance = static_cast<int>(rng() % 3) + 1;
    switch (rng() % 10) {
        case 0: return kxcf_setsection(f, sec);
        case 1: return kxcf_setsubsection(f, sec, sub ? sub : "x");
        case 2: return kxcf_setvar_index(f, sec, sub, kw, value.c_str(), static_cast<int>(rng() % 4));
        case 3: return kxcf_delvar_inst(f, sec, sub, kw, instance);
        case 4: return rng() % 4 ? kxcf_delsubsection(f, sec, sub ? sub : "y") : kxcf_delsection(f, sec);
        default: return kxcf_setvar_inst(f, sec, sub, kw, value.c_str(), instance);
    }
}

// Every lookup of the name universe on F, with values or error codes.
std::string answers(KXCF_FILE* f) {
    std::string all;
    for (const char* sec : kSections) {
        for (int s = -1; s < 3; ++s) {
            const char* sub = s < 0 ? nullptr : kSubsections[s];
            for (const char* kw : kKeywords) {
                const char* v = kxcf_getvar(f, sec, sub, kw, 0);
                all += (v == KXCF_FAIL ? std::to_string(kx_errno) : std::string(v)) + ' ';
            }
            all += kxcf_findsubsection(f, sec, sub ? sub : "x") == 0 ? "+" : std::to_string(kx_errno);
        }
        all += '\n';
    }
    return all;
}

std::string without_blank_lines(const std::string& text) {
    return std::regex_replace(text, std::regex("\n\n+"), "\n");
}

TEST(KxcfLookupTables, LongLivedTablesFollowEveryEdit) {
    TempTree tree;
    const std::string kept = tree.file("kept"), fresh = tree.file("fresh");
    const std::string start =
        "# head\n[a]\nk1 = 1\nk2 = 2\nk1 = 3\n(x)\nk3 = 4\n[b]\n(y)\nk4\n[a]\n(x)\nk1 = 5\n"
        "[system]\n(path_expand)\nk2 = /p\n";
    write_file(kept, start);
    write_file(fresh, start);
    KXCF_FILE* f = kxcf_open(kept.c_str(), KXCF_UPDATE);
    ASSERT_NE(f, nullptr);
    for (unsigned step = 0; step < 600; ++step) {
        const unsigned seed = 1000 + step;
        int code_kept = random_edit(f, seed) ? kx_errno : 0;
        KXCF_FILE* g = kxcf_open(fresh.c_str(), KXCF_UPDATE);
        ASSERT_NE(g, nullptr);
        int code_fresh = random_edit(g, seed) ? kx_errno : 0;
        ASSERT_EQ(code_kept, code_fresh) << "step " << step;
        ASSERT_EQ(answers(f), answers(g)) << "step " << step;
        ASSERT_EQ(kxcf_close(g), 0);
        ASSERT_EQ(kxcf_flush(f), 0);
        ASSERT_EQ(without_blank_lines(read_file(kept)), without_blank_lines(read_file(fresh)))
            << "step " << step;
    }
    kxcf_close(f);
}

// A long list whose names come and go, so that names share and give back
// slots of its table: every name is still found, with its first value, as
// a walk of the list finds it.
TEST(KxcfLookupTables, NamesRemovedFromALongListLeaveTheOthersFound) {
    TempTree tree;
    std::string text = "[s]\n";
    for (int i = 0; i < 300; ++i) text += join({"k", std::to_string(i % 150), " = ", std::to_string(i), "\n"});
    const std::string path = tree.file("list");
    write_file(path, text);
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
    ASSERT_NE(f, nullptr);
    std::mt19937 rng(7);
    for (int step = 0; step < 3000; ++step) {
        const std::string kw = join({"k", std::to_string(rng() % 200)});
        if (rng() % 2) kxcf_delvar_inst(f, "s", nullptr, kw.c_str(), static_cast<int>(rng() % 2) + 1);
        else kxcf_setvar_inst(f, "s", nullptr, kw.c_str(), "v", static_cast<int>(rng() % 3) + 1);
        if (step % 100 != 99) continue;
        std::map<std::string, std::string> walked;
        const char *name, *value;
        kxcf_rewind(f);
        while ((value = kxcf_nextvar(f, "s", nullptr, &name, 0)) != KXCF_FAIL) walked.emplace(name, value);
        for (int i = 0; i < 200; ++i) {
            const std::string n = join({"k", std::to_string(i)});
            const char* got = kxcf_getvar(f, "s", nullptr, n.c_str(), 0);
            ASSERT_EQ(got == KXCF_FAIL ? "none" : got, walked.count(n) ? walked[n] : "none") << n << " at " << step;
        }
    }
    kxcf_close(f);
}

// N new keywords written and each read back, on one list of N keywords.
double list_work(const std::string& path, int n) {
    std::string text = "[s]\n";
    for (int i = 0; i < n; ++i) text += join({"old", std::to_string(i), " = ", std::to_string(i), "\n"});
    write_file(path, text);
    KXCF_FILE* f = kxcf_open(path.c_str(), KXCF_UPDATE | KXCF_NOEXPAND);
    double seconds = cpu_seconds([&] {
        for (int i = 0; i < n; ++i) {
            kxcf_setvar(f, "s", nullptr, join({"new", std::to_string(i)}).c_str(), "v");
            kxcf_getvar(f, "s", nullptr, join({"old", std::to_string(n - 1 - i)}).c_str(), 0);
        }
    });
    kxcf_close(f);
    return seconds;
}

// Ten times the keywords must cost about ten times the work, not a hundred;
// the bound leaves room for a noisy machine and for cache effects.
TEST(KxcfLookupTables, EditsAndLookupsGrowLinearly) {
    TempTree tree;
    const std::string path = tree.file("list");
    list_work(path, 500);  // warm up
    double small = list_work(path, 2000), large = list_work(path, 20000);
    EXPECT_LT(large, 35 * small + 0.05) << small << " s for 2000, " << large << " s for 20000";
}

}  // namespace

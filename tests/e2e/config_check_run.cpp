// The syntax checker run as the upgrade program runs it: exit status and the
// findings it prints.
#include "kx_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kSyntax =
    "[system]\nkestrix_version = version\nadmin = string\n(path_expand)\n.. = string\n"
    "[files]\nlog_dir = dir\nmax_size = size?\nretries = integer\n"
    "(queue..)\npath = file\n(queue_main)\ndepth = integer\n"
    "[test_..]\n.. = string\n"
    "# given twice: counts once, with the keywords of both\n[system]\nsite = string\n";

struct Checked {
    kxtest::TempTree tree;
    std::string config = tree.file("cfg/qzt_config");
    std::string syntax = tree.file("cfg/qzt_config.syn");

    explicit Checked(const std::string& text) {
        kxtest::make_dirs(tree.path() + "/logs");
        kxtest::write_file(tree.file("data/queue.dat"), "q");
        kxtest::write_file(config, text);
        kxtest::write_file(syntax, kSyntax);
    }
    kxtest::RunResult run(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> argv = {kxtest::program_path("config_check"), "-c", config, "-s", syntax};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return kxtest::run_program(argv);
    }
};

TEST(ConfigCheck, ChecksSectionsKeywordsAndEveryValueAgainstItsKind) {
    Checked c("# factory\n[System]\nkestrix_version = v4.0.1\nadmin =\nsite = north\n"
              "(path_expand)\nlogs = /var/log\n"
              "[files]\nlog_dir = $KESTRIX_HOME/logs\nmax_size = 2 Mb\nretries = -3\n"
              "(queue_in)\npath = $KESTRIX_HOME/data/queue.dat\npath = $KESTRIX_HOME/data/queue.dat\n"
              "(queue_main)\ndepth = 40\n[test_one]\nanything = at all\n");
    kxtest::RunResult r = c.run();
    EXPECT_TRUE(r.status == 0 && r.err.empty());
    EXPECT_EQ(r.out, "config_check: " + c.config + " is valid\n");

    kxtest::write_file(c.config, "[system]\nkestrix_version = 4.0.1\ncolour = blue\n"
                                 "[files]\nlog_dir = /nowhere\nmax_size = 100\nretries =\n"
                                 "(queue_in)\npath = $KESTRIX_HOME/data/missing\n"
                                 "(queue_main)\ndepth = 99999999999\npath = /etc\n(myqueue)\n"
                                 "[network]\n[test]\n");
    r = c.run();
    const std::string at = c.config + ":";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              at + "2: [system] kestrix_version: value \"4.0.1\" is not a version such as v4.0.1\n" +
              at + "3: [system] colour: keyword not allowed\n" +
              at + "5: [files] log_dir: value \"/nowhere\" does not name an existing directory\n" +
              at + "6: [files] max_size: value \"100\" is not a size (a number and b, k or m)\n" +
              at + "7: [files] retries: empty value for kind integer\n" +
              at + "9: [files] (queue_in) path: value \"" + c.tree.path() +
                  "/data/missing\" does not name an existing file\n" +
              at + "11: [files] (queue_main) depth: value \"99999999999\" is not an integer\n" +
              at + "12: [files] (queue_main) path: keyword not allowed\n" +
              at + "13: [files] (myqueue): subsection not allowed\n" +
              at + "14: [network]: section not allowed\n" +
              at + "15: [test]: section not allowed\n"
              "config_check: " + c.config + " has 11 errors\n");
    r = c.run({"-z"});   // only the existence checks go
    EXPECT_TRUE(r.status == 1 && r.out.find("existing") == std::string::npos);
    EXPECT_NE(r.out.find(" has 9 errors\n"), std::string::npos) << r.out;

    // Lines are those of the file as written: comments, blank lines and
    // indentation count, a section given twice keeps its own lines.
    kxtest::write_file(c.config, "\n# head\n\n  [system]\n\tadmin = x\n# note\n  colour = red\n(path_expand)\n"
                                 "a = b\n[files]\n# c\nretries = x\n[system]\n\nsize = 1\n(other)\n");
    EXPECT_EQ(c.run().out, at + "7: [system] colour: keyword not allowed\n" +
                               at + "12: [files] retries: value \"x\" is not an integer\n" +
                               at + "15: [system] size: keyword not allowed\n" +
                               at + "16: [system] (other): subsection not allowed\n"
                               "config_check: " + c.config + " has 4 errors\n");
}

TEST(ConfigCheck, ParseFaultsUsageErrorsAndBadSyntaxFilesFail) {
    Checked c("# comment\n[system]\nadmin root\n");
    kxtest::RunResult r = c.run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.config + ":3: \"=\" is missing after the keyword name \"admin\"\n"
                     "config_check: " + c.config + " has 1 error\n");
    // A bad character in the name is still that, and a missing file has no line.
    kxtest::write_file(c.config, "[system]\n\n  ad-min = root\n");
    EXPECT_EQ(c.run().out, c.config + ":3: Invalid character in keyword: names hold letters, digits, \"_\" and "
                           "\".\", at most 40 characters (section names 130)\n"
                           "config_check: " + c.config + " has 1 error\n");
    // "-" checks standard input.
    r = kxtest::run_program({kxtest::program_path("config_check"), "-c", "-", "-s", c.syntax}, {}, "",
                            "[system]\r\n");
    EXPECT_EQ(r.out, "(standard input):1: Invalid char(s) after section: the file has CRLF (DOS) line ends; "
                     "convert it with dos2unix\nconfig_check: (standard input) has 1 error\n");
    kxtest::RunResult gone = kxtest::run_program(
        {kxtest::program_path("config_check"), "-c", c.tree.path() + "/none", "-s", c.syntax});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.out.find(c.tree.path() + "/none: "), 0u) << gone.out;

    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"-c", c.config}, {"-q"}, {"extra"}}) {
        r = c.run(extra);
        EXPECT_TRUE(r.status == 2 && r.out.empty());
        EXPECT_EQ(r.err, "usage: config_check -c config_file -s syntax_file [-z]\n");
    }

    kxtest::write_file(c.syntax, "[system]\nadmin = text\n\nsite\n");
    r = c.run();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, c.syntax + ":2: [system] admin: unknown value kind \"text\" in the syntax file\n" +
                     c.syntax + ":4: [system] site: unknown value kind \"\" in the syntax file\n"
                     "config_check: syntax file " + c.syntax + " is not usable\n");
    kxtest::write_file(c.syntax, "[system\n");
    r = c.run();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.find(c.syntax + ":1: Section has no end char: a header is \"[name]\" or \"(name)\" alone "
                                     "on its line\n"),
              0u)
        << r.out;
}

}  // namespace

// The syntax checker run as the upgrade program runs it: exit status and the
// findings it prints, compared whole with config_check_*.out (the private
// tree written ROOT).
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
    std::string printed;  // what the runs printed on standard output, in turn

    explicit Checked(const std::string& text) {
        kxtest::make_dirs(tree.path() + "/logs");
        kxtest::write_file(tree.file("data/queue.dat"), "q");
        kxtest::write_file(config, text);
        kxtest::write_file(syntax, kSyntax);
    }
    kxtest::RunResult run(const std::vector<std::string>& extra = {}, const std::string& input = "") {
        std::vector<std::string> argv = {kxtest::program_path("config_check"), "-c", config, "-s", syntax};
        argv.insert(argv.end(), extra.begin(), extra.end());
        kxtest::RunResult r = kxtest::run_program(argv, {}, "", input);
        printed += r.out;
        return r;
    }
    void expect_printed(const std::string& name) const {
        EXPECT_EQ(kxtest::rooted(printed, tree.path()), kxtest::expected_output("e2e/" + name));
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

    kxtest::write_file(c.config, "[system]\nkestrix_version = 4.0.1\ncolour = blue\n"
                                 "[files]\nlog_dir = /nowhere\nmax_size = 100\nretries =\n"
                                 "(queue_in)\npath = $KESTRIX_HOME/data/missing\n"
                                 "(queue_main)\ndepth = 99999999999\npath = /etc\n(myqueue)\n"
                                 "[network]\n[test]\n");
    EXPECT_EQ(c.run().status, 1);
    EXPECT_EQ(c.run({"-z"}).status, 1);  // only the existence checks go

    // Lines are those of the file as written: comments, blank lines and
    // indentation count, a section given twice keeps its own lines.
    kxtest::write_file(c.config, "\n# head\n\n  [system]\n\tadmin = x\n# note\n  colour = red\n(path_expand)\n"
                                 "a = b\n[files]\n# c\nretries = x\n[system]\n\nsize = 1\n(other)\n");
    c.run();
    c.expect_printed("config_check_findings.out");
}

// Parse faults, a bad character in a name, "-" for standard input, a
// missing file and unusable syntax files.
TEST(ConfigCheck, ParseFaultsUsageErrorsAndBadSyntaxFilesFail) {
    Checked c("# comment\n[system]\nadmin root\n");
    EXPECT_EQ(c.run().status, 1);
    kxtest::write_file(c.config, "[system]\n\n  ad-min = root\n");
    c.run();
    c.config = "-";
    c.run({}, "[system]\r\n");
    c.config = c.tree.path() + "/none";
    EXPECT_EQ(c.run().status, 1);
    c.config = c.tree.file("cfg/qzt_config");

    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"-c", c.config}, {"-q"}, {"extra"}}) {
        kxtest::RunResult r = c.run(extra);
        EXPECT_TRUE(r.status == 2 && r.out.empty());
        EXPECT_EQ(r.err, "usage: config_check -c config_file -s syntax_file [-z]\n");
    }

    for (const char* syntax : {"[system]\nadmin = text\n\nsite\n", "[system\n"}) {
        kxtest::write_file(c.syntax, syntax);
        EXPECT_EQ(c.run().status, 2);
    }
    c.expect_printed("config_check_faults.out");
}

}  // namespace

// What config_upgrade says when something is wrong: every report names the
// file that was looked for, the line where there is one and what to fix;
// the help and version texts; and the config_check runs, started without a
// shell, with a check log that only this program creates.
#include <gmock/gmock.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx_test_support.h"

using kxtest::path_exists;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace {

const std::string kAccept = "#!/bin/sh\nexit 0\n";

// An installation with app_config, its rules and syntax files and the
// previous release's file. The real config_check is on PATH unless a
// stand-in is put in bin/.
struct Site {
    kxtest::TempTree tree;
    std::string root = tree.path(), etc = tree.config_dir(), log = root + "/log/kx_log";
    std::string path = root + "/bin:" + KX_BIN_DIR + ":/usr/bin:/bin";

    Site() {
        tree.write_main_config("[system]\nkestrix_version = v5.0.0\n[log_files]\n(system)\nlog_file = " + log + "\n");
        kxtest::make_dirs(root + "/log");
        kxtest::make_dirs(root + "/bin");
        kxtest::write_file(etc + "upgrade_ver", "v4.0.1\n");
        kxtest::write_file(etc + "app_config", "[a]\nk = factory\n");
        kxtest::write_file(etc + "upgrade/app_config.upg", "[a]\nk\n_upgrade = custom\n");
        kxtest::write_file(etc + "syntax/app_config.syn", "[a]\nk = string\n");
        kxtest::write_file(etc + "v4.0.1/custom/app_config", "[a]\nk = customer\n");
        kxtest::write_file(etc + "v4.0.1/custom/syntax/app_config.syn", "[a]\nk = string\n");
    }
    void checker(const std::string& script) const { kxtest::write_file(root + "/bin/config_check", script, 0755); }

    kxtest::RunResult run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) const {
        args.insert(args.begin(), kxtest::program_path("config_upgrade"));
        env.emplace("PATH", path);
        env.emplace("KESTRIX_HOME", root);
        return kxtest::run_program(args, env, etc);
    }
    // TEXT with every "@" replaced by the configuration directory.
    std::string at(std::string text) const {
        for (std::size_t pos; (pos = text.find('@')) != std::string::npos;) text.replace(pos, 1, etc);
        return text;
    }
};

const std::string kNotSaved =
    "EXIT: Kestrix Configuration File Upgrade FAILED\n  Modifications to New configuration file were NOT saved\n\n";

// Help and version texts of the programs the upgrade runs go to standard
// output; config_check's help also explains its exit statuses.
TEST(DriverMessages, HelpAndVersionGoToStandardOutput) {
    for (const char* option : {"-h", "--help"}) {
        auto r = kxtest::run_program({kxtest::program_path("config_upgrade"), "-c", "x", option});
        EXPECT_TRUE(r.status == 0 && r.err.empty());
        for (const char* part : {"Usage: config_upgrade -c new_config_file", "  -n ", "KESTRIX_HOME", "TMPDIR",
                                 "Exit status:\n  0  the upgrade completed", "F.chk"})
            EXPECT_THAT(r.out, HasSubstr(part));
        r = kxtest::run_program({kxtest::program_path("config_check"), option});
        EXPECT_TRUE(r.status == 0 && r.err.empty());
        EXPECT_THAT(r.out, HasSubstr("usage: config_check -c config_file -s syntax_file [-z]\n"));
        EXPECT_THAT(r.out, HasSubstr("  2  a wrong command line"));
    }
    for (const char* program : {"config_upgrade", "config_check", "mail_sink", "kx_test_transmit"}) {
        auto r = kxtest::run_program({kxtest::program_path(program), "--version"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(program) + " (Kestrix) 5.0.0\n");
    }
    for (const char* program : {"mail_sink", "kx_test_transmit"}) {
        auto r = kxtest::run_program({kxtest::program_path(program), "--help"});
        EXPECT_TRUE(r.status == 0 && r.out.find("usage: ") == 0) << program;
    }
}

// A previous file given with -C that is not there is most likely a typo:
// the user hears of it, and the run still goes on with the factory file.
TEST(DriverMessages, AnExplicitPreviousFileThatIsNotThereIsAWarning) {
    const std::pair<std::string, std::string> cases[] = {
        {"v4.0.1/custom/app_confg", "2\t\nNo such file or directory"},
        {"v4.0.1/custom", "21\t\nIs a directory"},
    };
    for (const auto& [given, reason] : cases) {
        Site s;
        s.checker(kAccept);
        auto r = s.run({"-c", "app_config", "-C", given});
        EXPECT_EQ(r.status, 0);
        const std::string report = "WARNING: " + reason + "\nPrevious Configuration file does not exist\n"
                                   "  Previous Config File: " + given +
                                   "\nNew Configuration file will be used without modifications";
        EXPECT_EQ(r.err, report + "\n\n");
        EXPECT_THAT(kxtest::read_if_exists(s.log), HasSubstr(report));
        EXPECT_EQ(kxtest::read_if_exists(s.etc + "app_config"), "[a]\nk = factory\n");
    }
}

// A log file that cannot be written is said once, however many entries the
// run had for it; the upgrade itself goes on.
TEST(DriverMessages, AnUnwritableLogIsSaidOnce) {
    Site s;
    s.checker(kAccept);
    kxtest::remove_tree(s.root + "/log");
    auto r = s.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 0);
    const std::string warning =
        "WARNING: Cannot write the log file " + s.log + ": No such file or directory\n  The log misses entries of this run\n\n";
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(kxtest::read_if_exists(s.etc + "app_config"), "[a]\nk = customer\n");
}

TEST(DriverMessages, AnUnknownProductHomeSaysWhatNamesIt) {
    if (getpwnam("kestrix")) GTEST_SKIP() << "an account kestrix exists here";
    Site s;
    auto r = s.run({"-c", "app_config"}, {{"KESTRIX_HOME", ""}});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("ERROR: get_config_dir failed\n  The product home is named by KESTRIX_HOME, "
                                  "else by the home of the account \"kestrix\";\n"));
}

TEST(DriverMessages, AParseFaultNamesItsLine) {
    const struct {
        std::string file, text, report;
    } cases[] = {
        {"upgrade/app_config.upg", "[a]\nk\n_upgrade = custom\n\nk two\n",
         "Open failed for Upgrade Rules file\n  Upgrade Rules File: @upgrade/app_config.upg\n  Line: 5\n"
         "  \"=\" is missing after the keyword name \"k\"\n\n"},
        {"v4.0.1/custom/app_config", "# c\n[a\n",
         "Open failed for Customer's Previous Configuration file\n  Previous Config File: "
         "@v4.0.1/custom/app_config\n  Line: 2\n  a header is \"[name]\" or \"(name)\" alone on its line\n\n"},
        {"v4.0.1/custom/app_config", "[a]\n\r\nk = v\n",  // a blank line of a CRLF file
         "Open failed for Customer's Previous Configuration file\n  Previous Config File: "
         "@v4.0.1/custom/app_config\n  Line: 2\n  the file has CRLF (DOS) line ends; convert it with dos2unix\n\n"},
        {"qzt_config", "[system]\nkestrix_version = v5.0.0\n(x\n",
         "Open failed for Main Configuration file @qzt_config\n  Line: 3\n"
         "  a header is \"[name]\" or \"(name)\" alone on its line\n\n"},
    };
    for (const auto& c : cases) {
        Site s;
        s.checker(kAccept);
        kxtest::write_file(s.etc + c.file, c.text);
        auto r = s.run({"-c", "app_config"});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(s.at(c.report)));
    }
}

// A rejected file's findings are on the terminal (the first twenty lines of
// the check log); a checker that cannot run and a syntax file that cannot be
// used are named as such.
TEST(DriverMessages, AFailedCheckShowsWhyOnTheTerminal) {
    Site s;
    std::string prev = "[a]\n";
    for (int i = 1; i <= 25; i++) prev += "k" + std::to_string(i) + " = x\n";
    kxtest::write_file(s.etc + "v4.0.1/custom/app_config", prev);
    auto r = s.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    const std::string failed = "ERROR: config_check failed for Previous Config file\n  Errors are in log file: "
                               "@app_config.chk\n  Previous Config File: @v4.0.1/custom/app_config\n";
    std::string expected = failed;
    for (int i = 1; i <= 20; i++)
        expected += "  @v4.0.1/custom/app_config:" + std::to_string(i + 1) + ": [a] k" + std::to_string(i) +
                    ": keyword not allowed\n";
    expected += "  ... 6 more lines in the log file\n\n";
    EXPECT_EQ(r.err, s.at(expected) + kNotSaved);
    EXPECT_THAT(kxtest::read_if_exists(s.etc + "app_config.chk"), EndsWith(" has 25 errors\n"));

    kxtest::write_file(s.etc + "syntax/app_config.syn", "[a]\nk = text\n");
    r = s.run({"-c", "app_config", "-C", "/dev/null/none"});
    EXPECT_THAT(r.err, HasSubstr(s.at("  The syntax file cannot be used: @syntax/app_config.syn\n"
                                      "  @syntax/app_config.syn:2: [a] k: unknown value kind \"text\" in the syntax file\n")));

    const std::pair<std::string, std::string> unstartable[] = {
        {"/usr/bin:/bin", "not found along PATH"},
        {s.root + "/bin", "No such file or directory"},  // its interpreter is missing
    };
    s.checker("#!/nonexistent/sh\nexit 0\n");
    for (const auto& [path, why] : unstartable) {
        r = s.run({"-c", "app_config"}, {{"PATH", path}});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, s.at(failed + "  config_check cannot be run: " + why + "\n\n") + kNotSaved);
    }
}

// The check log is made afresh: a symbolic link planted at its name is
// replaced, its target never written, whether the check passes or fails; a
// directory there ends the run.
TEST(DriverMessages, TheCheckLogIsNeverWrittenThroughALink) {
    for (const bool accepted : {true, false}) {
        Site s;
        if (!accepted) kxtest::write_file(s.etc + "v4.0.1/custom/app_config", "[a]\nbad = 1\n");
        kxtest::write_file(s.root + "/victim", "keep\n");
        ASSERT_EQ(::symlink((s.root + "/victim").c_str(), (s.etc + "app_config.chk").c_str()), 0);
        auto r = s.run({"-c", "app_config"});
        EXPECT_EQ(r.status, accepted ? 0 : 1) << r.err;
        EXPECT_EQ(kxtest::read_if_exists(s.root + "/victim"), "keep\n");
        struct stat st;
        const bool left = ::lstat((s.etc + "app_config.chk").c_str(), &st) == 0;
        EXPECT_EQ(left, !accepted);
        EXPECT_TRUE(!left || S_ISREG(st.st_mode));
        EXPECT_EQ(kxtest::read_if_exists(s.etc + "app_config"), accepted ? "[a]\nk = customer\n" : "[a]\nk = factory\n");
    }
    Site s;
    kxtest::make_dirs(s.etc + "app_config.chk");
    auto r = s.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, s.at("ERROR: 21\t\nIs a directory\nCheck log @app_config.chk cannot be created\n\n") + kNotSaved);
    EXPECT_EQ(kxtest::read_if_exists(s.etc + "app_config"), "[a]\nk = factory\n");
}

}  // namespace

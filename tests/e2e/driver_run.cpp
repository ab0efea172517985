// Runs of config_upgrade in a private installation tree: the command line,
// the derived names, what each end of a run leaves on disk, prints and logs,
// and what it says when something is wrong. The stand-in config_check on
// PATH records its arguments, rejects a file holding REJECT and is killed
// by a signal on a file holding KILLME; without it the real one runs.
#include <gmock/gmock.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx_files.h"
#include "kx_report_check.h"
#include "kx_test_support.h"

using kxtest::path_exists;
using testing::EndsWith;
using testing::HasSubstr;

namespace {

struct Install {
    kxtest::TempTree tree;
    std::string root = tree.path(), etc = tree.config_dir();
    std::string log = root + "/log/kx_log", debug = root + "/log/debug", calls = root + "/calls";

    Install() {
        tree.write_main_config("[system]\nkestrix_version = v5.0.0\n[log_files]\n(system)\nlog_file = " + log +
                               "\n(debug)\nlog_file = " + debug + "\n");
        kxtest::make_dirs(root + "/log");
        kxtest::write_file(root + "/bin/config_check",
            "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >>'" + calls + "'\necho >>'" + calls +
                "'\ncase \"$(cat \"$2\")\" in\n*KILLME*) kill -KILL $$ ;;\n*REJECT*) exit 1 ;;\nesac\n",
            0755);
    }
    void real_checker() const { ::unlink((root + "/bin/config_check").c_str()); }

    // The new file NAME in DIR with its rules (k is custom) and syntax files,
    // the version files of DIR (another directory than the installation's
    // has versions of its own) and, when PREV is given, the previous
    // release's file.
    void add_set(const std::string& dir, const std::string& name, const std::string& text,
                 const char* prev = nullptr) const {
        const std::string version = dir == etc ? "v4.0.1" : "4.0", syntax = "[a]\nk = string\n";
        kxtest::write_file(dir + name, text);
        kxtest::write_file(dir + "upgrade/" + name + ".upg", "[a]\nk\n_upgrade = custom\n");
        kxtest::write_file(dir + "syntax/" + name + ".syn", syntax);
        kxtest::write_file(dir + "upgrade_ver", version + "\n");
        if (dir != etc) kxtest::write_file(dir + "qzt_config", "[system]\nkestrix_version = v5.1.0\n");
        if (prev) kxtest::write_file(dir + version + "/custom/" + name, prev);
        if (prev) kxtest::write_file(dir + version + "/custom/syntax/" + name + ".syn", syntax);
    }
    // The usual set: app_config with a customer's value of k.
    void add_app() const { add_set(etc, "app_config", "[a]\nk = factory\n", "[a]\nk = customer\n"); }

    kxtest::RunResult run(std::vector<std::string> args, const std::string& cwd = "",
                          std::map<std::string, std::string> env = {}) const {
        args.insert(args.begin(), kxtest::program_path("config_upgrade"));
        env.emplace("PATH", root + "/bin:" + KX_BIN_DIR + ":/usr/bin:/bin");
        env.emplace("KESTRIX_HOME", root);
        return kxtest::run_program(args, env, cwd.empty() ? etc : cwd);
    }

    // TEXT with every "@" replaced by the configuration directory.
    std::string at(std::string text) const {
        for (std::size_t pos; (pos = text.find('@')) != std::string::npos;) text.replace(pos, 1, etc);
        return text;
    }
};

const std::string kExit = "EXIT: Kestrix Configuration File Upgrade FAILED\n";
const std::string kNotSaved = kExit + "  Modifications to New configuration file were NOT saved\n\n";

std::string saved_exit(const std::string& label, const std::string& target) {
    return kExit + "  Modifications to New configuration file were saved with errors\n"
           "  Running Kestrix with this configuration file may have erroneous results\n  " + label + ": " +
           target + "\n\n";
}

TEST(DriverRun, BadCommandLineGivesTheUsage) {
    Install in;
    const std::string usage = kxtest::read_file(std::string(KX_SOURCE_DIR) + "/tests/e2e/driver_usage.txt");
    // The platform's own diagnostic comes first for an unknown option or a
    // missing argument.
    const std::pair<std::vector<std::string>, bool> lines[] = {
        {{}, true}, {{"-c", "a", "-c", "b"}, true}, {{"-X", "-d", "0", "-c", "a", "-d", "0"}, true},
        {{"-q", "-c", "a"}, false}, {{"-c"}, false}};
    for (const auto& [line, exact] : lines) {
        auto r = in.run(line);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, EndsWith(usage));
        EXPECT_EQ(r.err.size() == usage.size(), exact);
    }
    EXPECT_EQ(kxtest::read_if_exists(in.log), "");
}

// The versions come from the new file's directory; versions that do not
// parse only warn (driver_versions.err); -d 2 traces the arguments. The run
// stops at the rejected previous file, whose check got the derived or given
// names.
TEST(DriverRun, VersionsFollowTheNewFilesDirectory) {
    Install in;
    const std::string w = in.root + "/w/";
    in.add_set(w, "app_config", "[a]\n", "REJECT\n");
    kxtest::write_file(w + "qzt_config", "[system]\nkestrix_version = 5.1\n");
    kxtest::write_file(w + "given.syn", "");
    auto r = in.run({"-c", "./app_config", "-S", "given.syn", "-o", "./out", "-d", "2", "-D", "show_detail"}, w);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kxtest::rooted(r.err, in.root), kxtest::expected_output("e2e/driver_versions.err"));
    EXPECT_EQ(kxtest::read_if_exists(in.calls), "[-c][./4.0/custom/app_config][-s][given.syn]\n");
    EXPECT_THAT(kxtest::read_if_exists(in.debug), HasSubstr("arg[1] = '-c'"));
    EXPECT_THAT(kxtest::read_if_exists(in.log), HasSubstr("  Output Config File:\t./out"));
}

// The previous file is found whatever ends the version text: its check runs
// (and rejects it) instead of the run going on without it.
TEST(DriverRun, VersionFileLineEndsDoNotHideThePreviousFile) {
    for (const char* version : {"v4.0.1\r\n", "v4.0.1  \n", "v4.0.1\t\r\n\n"}) {
        Install in;
        SCOPED_TRACE(version);
        in.add_set(in.etc, "app_config", "[a]\n", "[a]\n# REJECT\n");
        kxtest::write_file(in.etc + "upgrade_ver", version);
        auto r = in.run({"-c", "app_config"}, in.root);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(in.at("Previous Config File: @v4.0.1/custom/app_config\n")));
    }
}

// Each missing input ends the run before the copy is made; a directory
// where a file belongs says so, with the path that was looked up, also when
// -o would otherwise lend its name to the report. What the runs say is
// driver_missing.err (a "#" is a new file name of 1024 characters, its
// run of x written LONG_NAME there).
TEST(DriverRun, MissingInputsEndTheRunBeforeTheCopy) {
    const std::vector<std::string> cases[] = {
        {"-c", "app_config", "-o", "nodir/out"}, {"-c", "#"}, {"-c", "#x"},
        {"-c", "./app_config", "-v", "v5.0"},  // an empty version file
        {"-c", "syntax"}, {"-c", "syntax", "-o", "out"}, {"-c", "gone", "-o", "out"},
        {"-c", "app_config", "-u", "qzt/etc/upgrade"}, {"-c", "app_config", "-s", "qzt/etc/syntax"},
    };
    std::string said;
    for (std::vector<std::string> line : cases) {
        Install in;
        in.add_set(in.etc, "app_config", "[a]\n");
        kxtest::write_file(in.root + "/app_config", "[a]\n");
        kxtest::write_file(in.root + "/upgrade_ver", "");
        said += "$ config_upgrade " + testing::PrintToString(line) + "\n";
        const std::string x(1024 - in.etc.size(), 'x');
        if (line[1][0] == '#') line[1].replace(0, 1, x);
        auto r = in.run(line, in.root);
        EXPECT_EQ(r.status, 1);
        said += kxtest::rooted(kxtest::rooted(r.err, x, "LONG_NAME"), in.root);
        EXPECT_FALSE(path_exists(in.etc + "app_config.tup") || path_exists(in.root + "/app_config.tup"));
    }
    EXPECT_EQ(said, kxtest::expected_output("e2e/driver_missing.err"));
}

// The new file's name, quoted for the shell, reaches the checker whole and
// runs nothing.
TEST(DriverRun, WithoutPreviousFileTheNewFileStaysAsItIs) {
    Install in;
    const std::string factory = "# factory\n[Sect]\n  Key =  Value  \nunterminated", e = in.etc;
    const std::string app = "my app's;touch pwned$(touch pwned)";
    in.add_set(e, app, factory);
    // A stale copy of an earlier run is replaced, never written through.
    kxtest::write_file(in.root + "/victim", "keep\n");
    ASSERT_EQ(::symlink((in.root + "/victim").c_str(), (e + app + ".tup").c_str()), 0);

    auto r = in.run({"-c", app, "-T", "-T", "-X", "-X"}, in.root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(kxtest::read_if_exists(e + app), factory);
    EXPECT_EQ(kxtest::read_if_exists(in.root + "/victim"), "keep\n");
    for (const char* left : {".tup", ".tup.lck", ".chk"}) EXPECT_FALSE(path_exists(e + app + left)) << left;
    EXPECT_FALSE(path_exists(in.root + "/pwned"));
    EXPECT_EQ(kxtest::read_if_exists(in.calls), in.at("[-c][@" + app + ".tup][-s][@syntax/" + app + ".syn][-z]\n"));
    for (const std::string& entry : {"START:  Kestrix Configuration File Upgrade\n  New Config File:\t@" + app,
                                     "Previous Configuration file does not exist\n  Previous Config File: "
                                     "@v4.0.1/custom/" + app + "\nNew Configuration file will be used without modifications",
                                     "  Previous Config File:\tNone\n  Upgrade Rules File:\t@upgrade/" + app + ".upg",
                                     "SUCCESS:  Kestrix Configuration File Upgrade Completed\n  New Config File:\t@" + app})
        EXPECT_THAT(kxtest::read_if_exists(in.log), HasSubstr(in.at(entry)));
    EXPECT_EQ(kxtest::read_if_exists(in.debug), "");
}

// The save-on-failure rule: where the copy goes at each end, what the
// report and the EXIT text say (driver_saving.err, every run's standard
// error in turn), which check log stays, and what the decision report says
// of the outcome and the result.
TEST(DriverRun, OutputAndForceDecideWhereTheResultGoes) {
    const std::string app = "qzt/etc/app_config";
    const struct {
        std::vector<std::string> options;
        const char *text, *prev;
        int status;
        std::string holder, check_log;
        const char *outcome, *place;
    } cases[] = {
        {{"-o", "out/x"}, "[a]\n", nullptr, 0, "out/x", "", "completed", "output_file"},
        {{"-o", "out/x"}, "REJECT\n", nullptr, 1, "out/x", "out/app_config.chk", "result_rejected", "output_file"},
        {{"-X"}, "REJECT\n", nullptr, 0, app, app + ".chk", "result_rejected", "new_file"},
        {{}, "REJECT\n", nullptr, 1, app + ".tup", app + ".chk", "result_rejected", "temporary_copy"},
        {{}, "[a]\n", "[a]\n# REJECT\n", 1, app + ".tup", app + ".chk", "previous_rejected", "temporary_copy"},
        {{"-X"}, "[a]\n", "[a]\n# REJECT\n", 1, app, app + ".chk", "previous_rejected", "new_file"},
        // A checker killed by a signal: the status report and the failed check.
        {{}, "KILLME\n", nullptr, 1, app + ".tup", app + ".chk", "result_rejected", "temporary_copy"},
        // The rename onto a directory fails: the copy stays where it was.
        {{"-o", "out"}, "[a]\n", nullptr, 1, "out.tup", "", "fatal", "temporary_copy"},
    };
    std::string said;
    for (const auto& c : cases) {
        Install in;
        SCOPED_TRACE(testing::PrintToString(c.options) + c.text);
        in.add_set(in.etc, "app_config", c.text, c.prev);
        const std::string tmp = (c.options.size() == 2 ? c.options[1] : app) + ".tup";
        kxtest::make_dirs(in.root + "/out");
        kxtest::write_file(in.root + "/" + tmp + ".lck", "");
        std::vector<std::string> args{"-c", "app_config", "--report", "report.json"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto r = in.run(args, in.root);
        const nlohmann::json report = kxtest::read_decision_report(in.root + "/report.json");
        EXPECT_EQ(report["run"]["outcome"], c.outcome);
        EXPECT_EQ(report["run"]["exit_status"], c.status);
        EXPECT_EQ(report["run"]["result"]["place"], c.place);
        const bool in_etc = c.holder.rfind("qzt/etc/", 0) == 0;  // named by the run as @...
        EXPECT_EQ(report["run"]["result"]["file"], in_etc ? in.at("@" + c.holder.substr(8)) : c.holder);

        EXPECT_EQ(r.status, c.status);
        said += "$ config_upgrade " + testing::PrintToString(args) + " with " + c.text + kxtest::rooted(r.err, in.root);
        EXPECT_EQ(kxtest::read_if_exists(in.root + "/" + c.holder), c.text);
        EXPECT_EQ(path_exists(in.root + "/" + tmp), c.holder == tmp);
        EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), c.text);
        for (const std::string& log : {app + ".chk", std::string("out/app_config.chk")})
            EXPECT_EQ(path_exists(in.root + "/" + log), log == c.check_log) << log;
        EXPECT_FALSE(path_exists(in.root + "/" + tmp + ".lck"));
    }
    EXPECT_EQ(said, kxtest::expected_output("e2e/driver_saving.err"));
}

// The twentieth error stops the merge: the sections after it are not
// processed, and the partly merged copy goes to the output file unchecked.
TEST(DriverRun, TheTwentiethErrorOfTheMergeStopsIt) {
    const std::string report = "ERROR: Section in the Previous Config File has no match in Upgrade Rules file";
    Install in;
    // The customer's setting comes first, so it is merged before any error.
    std::string prev = "[a]\nk = customer\n";
    for (int i = 1; i <= 25; i++) prev += "[s" + std::to_string(i) + "]\n";
    in.add_set(in.etc, "app_config", "[a]\nk = factory\n", prev.c_str());
    auto r = in.run({"-c", "app_config", "-o", "result", "--report", "report.json"}, in.root);
    EXPECT_EQ(r.status, 1);
    const nlohmann::json decisions = kxtest::read_decision_report(in.root + "/report.json");
    kxtest::expect_report_matches_files(decisions, in.etc + "v4.0.1/custom/app_config",
                                        in.etc + "upgrade/app_config.upg", kxtest::read_if_exists(in.log));
    EXPECT_EQ(decisions["run"]["outcome"], "error_limit");
    EXPECT_EQ(decisions["sections"][20]["fate"], "no_rule");
    EXPECT_EQ(std::count_if(decisions["sections"].begin(), decisions["sections"].end(),
                            [](const nlohmann::json& s) { return s["fate"] == "not_processed"; }), 5);
    std::size_t count = 0;
    for (std::size_t at = 0; (at = r.err.find(report, at)) != std::string::npos; ++at) count++;
    EXPECT_EQ(count, 20u);
    EXPECT_THAT(r.err, EndsWith("\n\nERROR: Too many errors\n\n" + saved_exit("Output Config File", "result")));
    EXPECT_EQ(kxtest::read_if_exists(in.root + "/result"), "[a]\nk = customer\n");
    EXPECT_FALSE(path_exists(in.root + "/result.tup.tmp") || path_exists(in.root + "/result.tup.lck"));
    EXPECT_FALSE(path_exists(in.etc + "app_config.chk"));
    EXPECT_EQ(kxtest::read_if_exists(in.calls), in.at("[-c][@v4.0.1/custom/app_config][-s][@v4.0.1/custom/syntax/app_config.syn]\n"));
}

// The decision report goes to standard output for "-" (but not beside -n,
// whose diff is there); one that cannot be written is a WARNING, and the
// run completes as it would have. A preview's report names the real files.
TEST(DriverRun, DecisionReportNeverChangesTheRun) {
    Install in;
    in.add_set(in.etc, "app_config", "[a]\nk = new\n", "[a]\nk = old\n");
    auto r = in.run({"-c", "app_config", "-n", "--report", "preview.json"}, in.root);
    EXPECT_EQ(r.status, 0);
    const nlohmann::json preview = kxtest::read_decision_report(in.root + "/preview.json");
    EXPECT_EQ(preview["run"]["preview"], true);
    EXPECT_EQ(preview["run"]["result"]["file"], in.etc + "app_config");
    EXPECT_EQ(preview["files"]["temporary"], in.etc + "app_config.tup");

    r = in.run({"-c", "app_config", "--report", "-"}, in.root);
    EXPECT_EQ(r.status, 0);
    const nlohmann::json report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["keywords"][0]["result"]["value"], "old");
    EXPECT_EQ(kxtest::decisions_of(report), kxtest::decisions_of(preview));

    kxtest::write_file(in.etc + "app_config", "[a]\nk = new\n");
    r = in.run({"-c", "app_config", "--report", "missing/r.json"}, in.root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "WARNING: 2\t\nNo such file or directory\nDecision report missing/r.json cannot be written\n\n");
    EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), "[a]\nk = old\n");
    EXPECT_THAT(kxtest::read_if_exists(in.log), HasSubstr("SUCCESS:  Kestrix Configuration File Upgrade Completed"));

    r = in.run({"-c", "app_config", "-n", "--report", "-"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("--report - cannot be used with -n"));
}


// Names planted in the configuration directory by whoever may write it;
// what the runs say is driver_planted.err.
TEST(DriverRun, PlantedNamesAreNeitherFollowedNorWrittenInto) {
    Install in;
    const std::string e = in.etc, victim = in.root + "/victim";
    in.add_set(e, "app_config", "[a]\nk = new\n", "[a]\nk = old\n");
    kxtest::write_file(victim, "keep\n");
    kxtest::make_dirs(e + "app_config.tup");
    auto r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 1);
    std::string said = r.err;
    EXPECT_FALSE(path_exists(e + "app_config.tup/app_config"));
    EXPECT_EQ(kxtest::read_if_exists(e + "app_config"), "[a]\nk = new\n");

    ::rmdir((e + "app_config.tup").c_str());
    ASSERT_EQ(::symlink(victim.c_str(), (e + "app_config.tup.lck").c_str()), 0);
    r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 1);
    said += r.err;
    EXPECT_EQ(kxtest::read_if_exists(victim), "keep\n");
    EXPECT_EQ(kxtest::read_if_exists(e + "app_config"), "[a]\nk = new\n");
    // A fault in the text of the -c file names that file, not its copy.
    ::unlink((e + "app_config.tup.lck").c_str());
    kxtest::write_file(e + "app_config", "[a]\nk new\n");
    EXPECT_EQ(kxtest::rooted(said + in.run({"-c", "app_config"}, in.root).err, in.root),
              kxtest::expected_output("e2e/driver_planted.err"));
}

// A second run on a file whose upgrade is running ends at once, naming the
// lock it found held, and leaves the first run's copy and lock alone. A FIFO
// as the previous file is named as not a regular file, and does not block.
TEST(DriverRun, ASecondRunReportsTheHeldLockAndAFifoIsNamed) {
    Install in;
    const std::string e = in.etc;
    in.add_set(e, "app_config", "[a]\nk = new\n", "[a]\nk = old\n");
    kxtest::write_file(e + "app_config.tup", "the running upgrade's copy\n");
    const int held = open_lock_file((e + "app_config.tup.lck").c_str(), 2);
    ASSERT_GE(held, 0);
    auto r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kxtest::rooted(r.err, in.root), kxtest::expected_output("e2e/driver_held_lock.err"));
    EXPECT_EQ(kxtest::read_if_exists(e + "app_config.tup"), "the running upgrade's copy\n");
    EXPECT_TRUE(path_exists(e + "app_config.tup.lck"));
    ::close(held);

    const std::string prev = e + "v4.0.1/custom/app_config";
    ASSERT_EQ(::unlink(prev.c_str()), 0);
    ASSERT_EQ(::mkfifo(prev.c_str(), 0644), 0);
    r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(kxtest::read_if_exists(in.log), HasSubstr("Config file is not a regular file\nPrevious Configuration file does not exist\n"
                                 "  Previous Config File: " + prev));
}

// A new file behind a symbolic link (as configuration management keeps
// them) is replaced where it lives, and keeps its owner, group and mode.
TEST(DriverRun, ResultReplacesTheLinkedFileAndKeepsItsOwnerAndMode) {
    Install in;
    const std::string e = in.etc, real = in.root + "/managed/app_config";
    in.add_set(e, "app_config", "[a]\nk = new\n", "[a]\n");
    kxtest::write_file(real, "[a]\nk = new\n", 0640);
    ::unlink((e + "app_config").c_str());
    ASSERT_EQ(::symlink(real.c_str(), (e + "app_config").c_str()), 0);
    // Run as root, the owner and group are planted and must stay too.
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(!root || ::chown(real.c_str(), 4321, 5678) == 0);
    auto still_linked = [&] {
        struct stat st;
        ASSERT_EQ(::lstat((e + "app_config").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(::stat(real.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(!root || (st.st_uid == 4321u && st.st_gid == 5678u)) << st.st_uid << ":" << st.st_gid;
    };
    auto r = in.run({"-c", "app_config"}, in.root);
    ASSERT_EQ(r.status, 0) << r.err;
    still_linked();
    EXPECT_THAT(kxtest::read_if_exists(real), testing::StartsWith("[a]\n"));
    EXPECT_FALSE(path_exists(e + "app_config.tup"));

    // A failed run that -X saves puts its copy in the same place.
    kxtest::write_file(e + "v4.0.1/custom/app_config", "[a]\n# REJECT\n");
    kxtest::write_file(real, "[a]\nk = forced\n", 0640);
    r = in.run({"-c", "app_config", "-X"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("were saved with errors"));
    still_linked();
    EXPECT_EQ(kxtest::read_if_exists(real), "[a]\nk = forced\n");
}

// Help and version texts go to standard output: driver_helps.out.
TEST(DriverRun, HelpAndVersionOfTheSuitesProgramsGoToStandardOutput) {
    std::string said;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"config_upgrade", "-c", "x", "-h"}, {"config_upgrade", "--help"}, {"config_check", "-h"},
             {"config_check", "--help"}, {"kxconf", "--help"}, {"mail_sink", "--help"}, {"kx_test_transmit", "--help"},
             {"config_upgrade", "--version"}, {"config_check", "--version"}, {"mail_sink", "--version"},
             {"kx_test_transmit", "--version"}, {"kxconf", "--version"}}) {
        said += "$ " + testing::PrintToString(args) + "\n";
        args[0] = kxtest::program_path(args[0]);
        auto r = kxtest::run_program(args);
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << args[0];
        said += r.out;
    }
    EXPECT_EQ(said, kxtest::expected_output("e2e/driver_helps.out"));
}

// A previous file given with -C that is not there is most likely a typo:
// the user hears of it (driver_no_previous.err), and the run still goes on
// with the factory file.
TEST(DriverRun, AnExplicitPreviousFileThatIsNotThereIsAWarning) {
    std::string said;
    for (const char* given : {"v4.0.1/custom/app_confg", "v4.0.1/custom"}) {
        Install in;
        in.add_app();
        auto r = in.run({"-c", "app_config", "-C", given});
        EXPECT_EQ(r.status, 0);
        said += r.err;
        ASSERT_GT(r.err.size(), 2u);
        EXPECT_THAT(kxtest::read_if_exists(in.log), HasSubstr(r.err.substr(0, r.err.size() - 2)));
        EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), "[a]\nk = factory\n");
    }
    EXPECT_EQ(said, kxtest::expected_output("e2e/driver_no_previous.err"));
}

// A log file that cannot be written is said once, however many entries the
// run had for it; the upgrade itself goes on.
TEST(DriverRun, AnUnwritableLogIsSaidOnce) {
    Install in;
    in.add_app();
    kxtest::remove_tree(in.root + "/log");
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(kxtest::rooted(r.err, in.root), kxtest::expected_output("e2e/driver_log_unwritable.err"));
    EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), "[a]\nk = customer\n");
}

TEST(DriverRun, AnUnknownProductHomeSaysWhatNamesIt) {
    if (getpwnam("kestrix")) GTEST_SKIP() << "an account kestrix exists here";
    Install in;
    auto r = in.run({"-c", "app_config"}, "", {{"KESTRIX_HOME", ""}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kxtest::rooted(r.err, in.root), kxtest::expected_output("e2e/driver_no_home.err"));
}

// Each file's parse fault is named with its line: driver_parse_faults.err.
TEST(DriverRun, AParseFaultNamesItsLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"upgrade/app_config.upg", "[a]\nk\n_upgrade = custom\n\nk two\n"},
        {"v4.0.1/custom/app_config", "[a]\n\r\nk = v\n"},  // a blank line of a CRLF file
        {"qzt_config", "[system]\nkestrix_version = v5.0.0\n(x\n"},
    };
    std::string said;
    for (const auto& [file, text] : cases) {
        Install in;
        in.add_app();
        kxtest::write_file(in.etc + file, text);
        auto r = in.run({"-c", "app_config"});
        EXPECT_EQ(r.status, 1);
        said += "$ with " + file + "\n" + kxtest::rooted(r.err, in.root);
    }
    EXPECT_EQ(said, kxtest::expected_output("e2e/driver_parse_faults.err"));
}

// A rejected file's findings are on the terminal (the first twenty lines of
// the check log); a checker that cannot run and a syntax file that cannot be
// used are named as such: driver_failed_check.err.
TEST(DriverRun, AFailedCheckShowsWhyOnTheTerminal) {
    Install in;
    in.real_checker();
    std::string prev = "[a]\n";
    for (int i = 1; i <= 25; i++) prev += "k" + std::to_string(i) + " = x\n";
    in.add_set(in.etc, "app_config", "[a]\nk = factory\n", prev.c_str());
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(kxtest::read_if_exists(in.etc + "app_config.chk"), EndsWith(" has 25 errors\n"));
    std::string said = r.err;

    kxtest::write_file(in.etc + "syntax/app_config.syn", "[a]\nk = text\n");
    said += in.run({"-c", "app_config", "-C", "/dev/null/none"}).err;
    // No config_check along PATH, then one whose interpreter is missing.
    kxtest::write_file(in.root + "/bin/config_check", "#!/nonexistent/sh\nexit 0\n", 0755);
    for (const std::string& path : {std::string("/usr/bin:/bin"), in.root + "/bin"}) {
        r = in.run({"-c", "app_config"}, "", {{"PATH", path}});
        EXPECT_EQ(r.status, 1);
        said += r.err;
    }
    EXPECT_EQ(kxtest::rooted(said, in.root), kxtest::expected_output("e2e/driver_failed_check.err"));
}

// The check log is made afresh: a symbolic link planted at its name is
// replaced, its target never written, whether the check passes or fails; a
// directory there ends the run.
TEST(DriverRun, TheCheckLogIsNeverWrittenThroughALink) {
    for (const bool accepted : {true, false}) {
        Install in;
        in.real_checker();  // it writes its findings, or that the file is valid
        in.add_set(in.etc, "app_config", "[a]\nk = factory\n", accepted ? "[a]\nk = customer\n" : "[a]\nbad = 1\n");
        kxtest::write_file(in.root + "/victim", "keep\n");
        ASSERT_EQ(::symlink((in.root + "/victim").c_str(), (in.etc + "app_config.chk").c_str()), 0);
        auto r = in.run({"-c", "app_config"});
        EXPECT_EQ(r.status, accepted ? 0 : 1) << r.err;
        EXPECT_EQ(kxtest::read_if_exists(in.root + "/victim"), "keep\n");
        struct stat st;
        const bool left = ::lstat((in.etc + "app_config.chk").c_str(), &st) == 0;
        EXPECT_EQ(left, !accepted);
        EXPECT_TRUE(!left || S_ISREG(st.st_mode));
        EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), accepted ? "[a]\nk = customer\n" : "[a]\nk = factory\n");
    }
    Install in;
    in.add_app();
    kxtest::make_dirs(in.etc + "app_config.chk");
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, in.at("ERROR: 21\t\nIs a directory\nCheck log @app_config.chk cannot be created\n\n") + kNotSaved);
    EXPECT_EQ(kxtest::read_if_exists(in.etc + "app_config"), "[a]\nk = factory\n");
}

}  // namespace

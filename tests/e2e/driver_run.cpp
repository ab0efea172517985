// Runs of config_upgrade in a private installation tree: the command line,
// the derived names, and what each end of a run leaves on disk, prints and
// logs. The stand-in config_check on PATH records its arguments, rejects a
// file holding REJECT and is killed by a signal on a file holding KILLME.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx_test_support.h"

using kxtest::path_exists;
using testing::EndsWith;
using testing::HasSubstr;

namespace {

void put(const std::string& path, const std::string& text, int mode = 0644) {
    kxtest::make_dirs(path.substr(0, path.rfind('/')));
    kxtest::write_file(path, text, mode);
}

std::string text_of(const std::string& path) { return path_exists(path) ? kxtest::read_file(path) : ""; }

struct Install {
    kxtest::TempTree tree;
    std::string root = tree.path(), etc = tree.config_dir();
    std::string log = root + "/log/kx_log", debug = root + "/log/debug", calls = root + "/calls";

    Install() {
        tree.write_main_config("[system]\nkestrix_version = v5.0.0\n[log_files]\n(system)\nlog_file = " + log +
                               "\n(debug)\nlog_file = " + debug + "\n");
        kxtest::make_dirs(root + "/log");
        put(root + "/bin/config_check",
            "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >>'" + calls + "'\necho >>'" + calls +
                "'\ncase \"$(cat \"$2\")\" in\n*KILLME*) kill -KILL $$ ;;\n*REJECT*) exit 1 ;;\nesac\n",
            0755);
    }

    // The new file NAME in DIR with its rules and syntax files, the version
    // files of DIR (another directory than the installation's has versions
    // of its own) and, when PREV is given, the previous release's file.
    void add_set(const std::string& dir, const std::string& name, const std::string& text,
                 const char* prev = nullptr) const {
        const std::string version = dir == etc ? "v4.0.1" : "4.0";
        for (const std::string& file : {name, "upgrade/" + name + ".upg", "syntax/" + name + ".syn"})
            put(dir + file, file == name ? text : "[a]\n");
        put(dir + "upgrade_ver", version + "\n");
        if (dir != etc) put(dir + "qzt_config", "[system]\nkestrix_version = v5.1.0\n");
        if (prev) put(dir + version + "/custom/" + name, prev);
        if (prev) put(dir + version + "/custom/syntax/" + name + ".syn", "");
    }

    kxtest::RunResult run(std::vector<std::string> args, const std::string& cwd = "") const {
        args.insert(args.begin(), kxtest::program_path("config_upgrade"));
        return kxtest::run_program(args, {{"PATH", root + "/bin:/usr/bin:/bin"}, {"KESTRIX_HOME", root}}, cwd);
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
    EXPECT_EQ(text_of(in.log), "");
}

// Each run stops at the rejected previous file, before the merge; the debug
// output, the checker's arguments, the log and the report name every file.
// Versions that do not parse only warn.
TEST(DriverRun, DefaultNamesFollowTheNewFile) {
    const std::string custom = "v4.0.1/custom/", here = "4.0/custom/";
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"-c", "app_config"},
         {"kx_version_to_install = v5.0.0", "upgrade_rules_file = @upgrade/app_config.upg",
          "new_syntax_file = @syntax/app_config.syn",
          "[-c][@" + custom + "app_config][-s][@" + custom + "syntax/app_config.syn]",
          "tmp_new_config_file = @app_config.tup", "log file: @app_config.chk"}},
        {{"-c", "sub/app_config"},
         {"new_config_file = @sub/app_config\nbase_dir = @\n", "upgrade_rules_file = @upgrade/app_config.upg",
          "prev_config_file = @" + custom + "app_config", "tmp_new_config_file = @sub/app_config.tup",
          "log file: @sub/app_config.chk"}},
        {{"-c", "./app_config"},
         {"base_dir = ./\n", "kx_version_to_install = v5.1.0", "upgrade_rules_file = ./upgrade/app_config.upg",
          "[-c][./" + here + "app_config][-s][./" + here + "syntax/app_config.syn]", "log file: ./app_config.chk"}},
        {{"-c", ".cfg", "-v", "5", "-d", "2"},
         {"base_dir = \nbase_filename = .cfg", "upgrade_rules_file = upgrade/.cfg.upg",
          "new_syntax_file = syntax/.cfg.syn", "[-c][" + here + ".cfg][-s][" + here + "syntax/.cfg.syn]",
          "tmp_new_config_file = .cfg.tup", "arg[1] = '-c'", "check_program_inputs:",
          "WARNING: New Kestrix version \"5\" is not a valid version number\n\n",
          "ERROR: 0  WARNING: Previous Kestrix version \"4.0\" is not a valid version number"}},
        {{"-c", "app_config", "-C", "g/prev", "-u", "g/rules", "-S", "g/prev.syn", "-s", "g/new.syn", "-o", "out/x"},
         {"[-c][g/prev][-s][g/prev.syn]", "upgrade_rules_file = g/rules", "Output Config File:\tout/x",
          "tmp_new_config_file = out/x.tup", "log file: out/app_config.chk"}},
    };
    for (const auto& [args, names] : cases) {
        Install in;
        SCOPED_TRACE(args[1]);
        const std::string w = in.root + "/w/";
        for (const std::string& dir : {in.etc, w}) in.add_set(dir, "app_config", "[a]\n", "REJECT\n");
        in.add_set(w, ".cfg", "[a]\n", "REJECT\n");
        put(in.etc + "sub/app_config", "[a]\n");
        for (const char* given : {"g/prev", "g/rules", "g/prev.syn", "g/new.syn", "out/x"}) put(w + given, "REJECT\n");

        std::vector<std::string> line = args;
        line.insert(line.end(), {"-D", "show_detail"});
        auto r = in.run(line, w);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("config_check failed for Previous Config file"));
        const std::string seen = text_of(in.debug) + text_of(in.calls) + text_of(in.log) + r.err;
        for (const std::string& name : names) EXPECT_THAT(seen, HasSubstr(in.at(name)));
    }
}

// The previous file is found whatever ends the version text: its check runs
// (and rejects it) instead of the run going on without it.
TEST(DriverRun, VersionFileLineEndsDoNotHideThePreviousFile) {
    for (const char* version : {"v4.0.1\r\n", "v4.0.1  \n", "v4.0.1\t\r\n\n"}) {
        Install in;
        SCOPED_TRACE(version);
        in.add_set(in.etc, "app_config", "[a]\n", "[a]\n# REJECT\n");
        put(in.etc + "upgrade_ver", version);
        auto r = in.run({"-c", "app_config"}, in.root);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(in.at("Previous Config File: @v4.0.1/custom/app_config\n")));
    }
}

TEST(DriverRun, MissingInputsEndTheRunBeforeTheCopy) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {  // "#": a new file of 1024 characters
        {{"-c", "app_config", "-o", "nodir/out"},
         "ERROR: 2\t\nNo such file or directory\nDirectory for Output Configuration file does not exist\n"
         "  Output Config file: nodir/out\n\n"},
        {{"-c", "#"}, "ERROR: 36\t\nFile name too long\nNew Configuration file does not exist\n  New Config File: @xxx"},
        {{"-c", "#x"}, "ERROR: Path name longer than 1024 characters:\n  @xxx"},
        // An empty version file is no system error: the report has no number.
        {{"-c", "./app_config", "-v", "v5.0"}, "ERROR: Read failed for Upgrade Version file ./upgrade_ver\n\n"},
    };
    for (const auto& [args, report] : cases) {
        Install in;
        SCOPED_TRACE(report);
        in.add_set(in.etc, "app_config", "[a]\n");
        put(in.root + "/app_config", "[a]\n");
        put(in.root + "/upgrade_ver", "");
        std::vector<std::string> line = args;
        if (line[1][0] == '#') line[1].replace(0, 1, std::string(1024 - in.etc.size(), 'x'));
        auto r = in.run(line, in.root);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(in.at(report)));
        EXPECT_THAT(r.err, EndsWith("\n\n" + kNotSaved));
        EXPECT_FALSE(path_exists(in.etc + "app_config.tup") || path_exists(in.root + "/app_config.tup"));
    }
}

// The new file's name, quoted for the shell, reaches the checker whole and
// runs nothing.
TEST(DriverRun, WithoutPreviousFileTheNewFileStaysAsItIs) {
    Install in;
    const std::string factory = "# factory\n[Sect]\n  Key =  Value  \nunterminated", e = in.etc;
    const std::string app = "my app's;touch pwned$(touch pwned)";
    in.add_set(e, app, factory);
    // A stale copy of an earlier run is replaced, never written through.
    put(in.root + "/victim", "keep\n");
    ASSERT_EQ(::symlink((in.root + "/victim").c_str(), (e + app + ".tup").c_str()), 0);

    auto r = in.run({"-c", app, "-T", "-T", "-X", "-X"}, in.root);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(text_of(e + app), factory);
    EXPECT_EQ(text_of(in.root + "/victim"), "keep\n");
    for (const char* left : {".tup", ".tup.lck", ".chk"}) EXPECT_FALSE(path_exists(e + app + left)) << left;
    EXPECT_FALSE(path_exists(in.root + "/pwned"));
    EXPECT_EQ(text_of(in.calls), in.at("[-c][@" + app + ".tup][-s][@syntax/" + app + ".syn][-z]\n"));
    for (const std::string& entry : {"START:  Kestrix Configuration File Upgrade\n  New Config File:\t@" + app,
                                     "Previous Configuration file does not exist\n  Previous Config File: "
                                     "@v4.0.1/custom/" + app + "\nNew Configuration file will be used without modifications",
                                     "  Previous Config File:\tNone\n  Upgrade Rules File:\t@upgrade/" + app + ".upg",
                                     "SUCCESS:  Kestrix Configuration File Upgrade Completed\n  New Config File:\t@" + app})
        EXPECT_THAT(text_of(in.log), HasSubstr(in.at(entry)));
    EXPECT_EQ(text_of(in.debug), "");
}

// The save-on-failure rule: where the copy goes at each end, what the
// report and the EXIT text say, which check log stays.
TEST(DriverRun, OutputAndForceDecideWhereTheResultGoes) {
    const std::string app = "qzt/etc/app_config";
    const std::string new_failed = "ERROR: config_check failed for New Config file\n  Errors are in log file: ";
    const std::string prev_failed = "ERROR: config_check failed for Previous Config file\n  Errors are in log file: "
                                    "@app_config.chk\n  Previous Config File: @v4.0.1/custom/app_config\n\n";
    const struct {
        std::vector<std::string> options;
        const char *text, *prev;
        int status;
        std::string holder, check_log, err;  // "@" is the configuration directory
    } cases[] = {
        {{"-o", "out/x"}, "[a]\n", nullptr, 0, "out/x", "", ""},
        {{"-o", "out/x"}, "REJECT\n", nullptr, 1, "out/x", "out/app_config.chk",
         new_failed + "out/app_config.chk\n\n" + saved_exit("Output Config File", "out/x")},
        {{"-X"}, "REJECT\n", nullptr, 0, app, app + ".chk", new_failed + "@app_config.chk\n\n"},
        {{}, "REJECT\n", nullptr, 1, app + ".tup", app + ".chk", new_failed + "@app_config.chk\n\n" + kNotSaved},
        {{}, "[a]\n", "[a]\n# REJECT\n", 1, app + ".tup", app + ".chk", prev_failed + kNotSaved},
        {{"-X"}, "[a]\n", "[a]\n# REJECT\n", 1, app, app + ".chk",
         prev_failed + saved_exit("New Config File", "@app_config")},
        // A checker killed by a signal: the status report and the failed check.
        {{}, "KILLME\n", nullptr, 1, app + ".tup", app + ".chk",
         "ERROR: 8010\t\nkx_event_dispatcher could not interpret incoming event\nsystem() returns 9 for command:\n"
         "\tconfig_check -c '@app_config.tup' -s '@syntax/app_config.syn' >'@app_config.chk'\n\n" +
             new_failed + "@app_config.chk\n\n" + kNotSaved},
        // The rename onto a directory fails: the copy stays where it was.
        {{"-o", "out"}, "[a]\n", nullptr, 1, "out.tup", "",
         "ERROR: 21\t\nIs a directory\nRename of temporary file out.tup\n  to New configuration file out failed\n\n" +
             kNotSaved},
    };
    for (const auto& c : cases) {
        Install in;
        SCOPED_TRACE(c.err);
        in.add_set(in.etc, "app_config", c.text, c.prev);
        const std::string tmp = (c.options.size() == 2 ? c.options[1] : app) + ".tup";
        kxtest::make_dirs(in.root + "/out");
        put(in.root + "/" + tmp + ".lck", "");
        std::vector<std::string> args{"-c", "app_config"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto r = in.run(args, in.root);

        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, in.at(c.err));
        EXPECT_EQ(text_of(in.root + "/" + c.holder), c.text);
        EXPECT_EQ(path_exists(in.root + "/" + tmp), c.holder == tmp);
        EXPECT_EQ(text_of(in.etc + "app_config"), c.text);
        for (const std::string& log : {app + ".chk", std::string("out/app_config.chk")})
            EXPECT_EQ(path_exists(in.root + "/" + log), log == c.check_log) << log;
        EXPECT_FALSE(path_exists(in.root + "/" + tmp + ".lck"));
    }
}

TEST(DriverRun, ErrorsOfTheMergeFailTheRunAndTheTwentiethStopsIt) {
    const std::string report = "ERROR: Section in the Previous Config File has no match in Upgrade Rules file";
    for (int sections : {3, 25}) {
        Install in;
        // The customer's setting comes first, so it is merged before any error.
        std::string prev = "[a]\nk = customer\n";
        for (int i = 1; i <= sections; i++) prev += "[s" + std::to_string(i) + "]\n";
        in.add_set(in.etc, "app_config", "[a]\nk = factory\n", prev.c_str());
        put(in.etc + "upgrade/app_config.upg", "[a]\nk\n_upgrade = custom\n");
        auto r = in.run({"-c", "app_config", "-o", "result"}, in.root);
        EXPECT_EQ(r.status, 1);
        std::size_t count = 0;
        for (std::size_t at = 0; (at = r.err.find(report, at)) != std::string::npos; ++at) count++;
        EXPECT_EQ(count, sections > 20 ? 20u : 3u);
        EXPECT_EQ(r.err.find("\n\nERROR: Too many errors\n\nEXIT:") != std::string::npos, sections > 20);
        // The previous file passed its check; the result is not checked after
        // a failed merge, and the partly merged copy goes to the output file,
        // also when the twentieth error stops the merge half way.
        EXPECT_EQ(text_of(in.root + "/result"), "[a]\nk = customer\n");
        EXPECT_FALSE(path_exists(in.root + "/result.tup.tmp"));
        EXPECT_FALSE(path_exists(in.etc + "app_config.chk"));
        EXPECT_EQ(text_of(in.calls), in.at("[-c][@v4.0.1/custom/app_config][-s][@v4.0.1/custom/syntax/app_config.syn]\n"));
        EXPECT_THAT(r.err, EndsWith(saved_exit("Output Config File", "result")));
        EXPECT_FALSE(path_exists(in.root + "/result.tup.lck"));
    }
}

}  // namespace

// Names planted in the configuration directory by whoever may write it.
TEST(DriverRun, PlantedNamesAreNeitherFollowedNorWrittenInto) {
    Install in;
    const std::string e = in.etc, victim = in.root + "/victim";
    in.add_set(e, "app_config", "[a]\nk = new\n", "[a]\nk = old\n");
    put(victim, "keep\n");
    kxtest::make_dirs(e + "app_config.tup");
    auto r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Is a directory"));
    EXPECT_THAT(r.err, HasSubstr(e + "app_config.tup"));
    EXPECT_FALSE(path_exists(e + "app_config.tup/app_config"));
    EXPECT_EQ(text_of(e + "app_config"), "[a]\nk = new\n");

    ::rmdir((e + "app_config.tup").c_str());
    ASSERT_EQ(::symlink(victim.c_str(), (e + "app_config.tup.lck").c_str()), 0);
    r = in.run({"-c", "app_config"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Open failed for Configuration file " + e + "app_config.tup"));
    EXPECT_EQ(text_of(victim), "keep\n");
    EXPECT_EQ(text_of(e + "app_config"), "[a]\nk = new\n");
    // A fault in the text of the -c file names that file, not its copy.
    ::unlink((e + "app_config.tup.lck").c_str());
    put(e + "app_config", "[a]\nk new\n");
    r = in.run({"-c", "app_config"}, in.root);
    EXPECT_THAT(r.err, HasSubstr("Open failed for Configuration file " + e + "app_config\n"));
}

// A new file behind a symbolic link (as configuration management keeps
// them) is replaced where it lives, and keeps its owner, group and mode.
TEST(DriverRun, ResultReplacesTheLinkedFileAndKeepsItsOwnerAndMode) {
    Install in;
    const std::string e = in.etc, real = in.root + "/managed/app_config";
    in.add_set(e, "app_config", "[a]\nk = new\n", "[a]\n");
    put(real, "[a]\nk = new\n", 0640);
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
    EXPECT_THAT(text_of(real), testing::StartsWith("[a]\n"));
    EXPECT_FALSE(path_exists(e + "app_config.tup"));

    // A failed run that -X saves puts its copy in the same place.
    put(e + "v4.0.1/custom/app_config", "[a]\n# REJECT\n");
    put(real, "[a]\nk = forced\n", 0640);
    r = in.run({"-c", "app_config", "-X"}, in.root);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("were saved with errors"));
    still_linked();
    EXPECT_EQ(text_of(real), "[a]\nk = forced\n");
}

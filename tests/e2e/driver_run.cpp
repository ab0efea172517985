// Runs of config_upgrade from the checks to the final rename: what each end
// leaves on disk, prints and logs.
#include <gtest/gtest.h>
#include <unistd.h>

#include "driver_tree.h"

using drvtest::has;
using drvtest::Install;
using drvtest::kNotSaved;
using drvtest::put;
using kxtest::path_exists;

namespace {

TEST(DriverRun, WithoutPreviousFileTheNewFileStaysAsItIs) {
    Install in;
    const std::string factory = "# factory\n[Sect]\n  Key =  Value  \nunterminated", e = in.etc;
    in.add_set(e, "app_config", factory);
    // A stale copy of an earlier run is replaced, never written through.
    put(in.root + "/victim", "keep\n");
    ASSERT_EQ(::symlink((in.root + "/victim").c_str(), (e + "app_config.tup").c_str()), 0);

    auto r = in.run({"-c", "app_config", "-T", "-T", "-X", "-X"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Install::text_of(e + "app_config"), factory);
    EXPECT_EQ(Install::text_of(in.root + "/victim"), "keep\n");
    for (const char* left : {".tup", ".tup.lck", ".chk"}) EXPECT_FALSE(path_exists(e + "app_config" + left)) << left;
    EXPECT_EQ(Install::text_of(in.calls), "[-c][" + e + "app_config.tup][-s][" + e + "syntax/app_config.syn][-z]\n");
    for (const char* entry : {"START:  Kestrix Configuration File Upgrade\n  New Config File:\t@app_config",
                              "Previous Configuration file does not exist\n  Previous Config File: "
                              "@v4.0.1/custom/app_config\nNew Configuration file will be used without modifications",
                              "  Previous Config File:\tNone\n  Upgrade Rules File:\t@upgrade/app_config.upg",
                              "SUCCESS:  Kestrix Configuration File Upgrade Completed\n  New Config File:\t@app_config"})
        EXPECT_TRUE(has(Install::text_of(in.log), in.at(entry))) << entry;
}

TEST(DriverRun, PreviousFileRejectedByTheChecker) {
    Install in;
    const std::string e = in.etc;
    in.add_set(e, "app_config", "[a]\n", "[a]\nREJECT\n");
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: config_check failed for Previous Config file\n  Errors are in log file: " + e +
                         "app_config.chk\n  Previous Config File: " + e + "v4.0.1/custom/app_config\n\n" + kNotSaved);
    EXPECT_EQ(Install::text_of(e + "app_config.chk"), e + "v4.0.1/custom/app_config: rejected\n");
    EXPECT_EQ(Install::text_of(e + "app_config.tup"), "[a]\n");
    EXPECT_TRUE(has(Install::text_of(in.log), "EXIT: Kestrix Configuration File Upgrade FAILED"));

    // Forced, the rejection is one counted error and the run ends failed
    // with the copy saved over the new file.
    r = in.run({"-c", "app_config", "-X"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "ERROR: config_check failed for Previous Config file\n"));
    EXPECT_TRUE(has(r.err, drvtest::saved_exit("New Config File", e + "app_config")));
    EXPECT_FALSE(path_exists(e + "app_config.tup"));
    EXPECT_FALSE(path_exists(e + "app_config.tup.lck"));
    EXPECT_TRUE(path_exists(e + "app_config.chk"));
}

TEST(DriverRun, OutputAndForceDecideWhereTheResultGoes) {
    const std::string e = "qzt/etc/", app = e + "app_config";
    struct Case {
        std::vector<std::string> options;
        const char* text;
        int status;
        std::string holder, check_log, err_end;  // in the tree; "@" is the configuration directory
    } cases[] = {
        {{"-o", "out/result"}, "[a]\n", 0, "out/result", "", ""},
        {{"-o", "out/result"}, "[a]\nREJECT\n", 1, "out/result", "out/app_config.chk",
         drvtest::saved_exit("Output Config File", "out/result")},
        {{"-X"}, "[a]\nREJECT\n", 0, app, app + ".chk",
         "ERROR: config_check failed for New Config file\n  Errors are in log file: @app_config.chk\n\n"},
        {{}, "[a]\nREJECT\n", 1, app + ".tup", app + ".chk", kNotSaved},
        // The rename onto a directory fails: the copy stays where it was.
        {{"-o", "out"}, "[a]\n", 1, "out.tup", "", kNotSaved},
    };
    for (const Case& c : cases) {
        Install in;
        SCOPED_TRACE(c.options.empty() ? "-" : c.options[0]);
        in.add_set(in.etc, "app_config", c.text);
        const std::string tmp = in.root + "/" + (c.options.size() == 2 ? c.options[1] : app) + ".tup";
        kxtest::make_dirs(in.root + "/out");
        put(tmp + ".lck", "");
        std::vector<std::string> args{"-c", "app_config"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto r = in.run(args, in.root);

        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(drvtest::ends_with(r.err, in.at(c.err_end))) << r.err;
        EXPECT_EQ(r.err.empty(), c.err_end.empty());
        EXPECT_EQ(Install::text_of(in.root + "/" + c.holder), c.text);
        EXPECT_EQ(Install::text_of(in.etc + "app_config"), c.text);
        for (const std::string& log : {app + ".chk", std::string("out/app_config.chk")})
            EXPECT_EQ(path_exists(in.root + "/" + log), log == c.check_log) << log;
        EXPECT_FALSE(path_exists(tmp + ".lck"));
    }
}

TEST(DriverRun, CheckerKilledBySignalGivesTwoErrors) {
    Install in;
    const std::string e = in.etc;
    in.add_set(e, "app_config", "[a]\nKILLME\n");
    auto r = in.run({"-c", "app_config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "ERROR: 8010\t\n"));
    EXPECT_TRUE(has(r.err, "system() returns 9 for command:\n\tconfig_check -c '" + e + "app_config.tup' -s '" + e +
                               "syntax/app_config.syn' >'" + e + "app_config.chk'\n\nERROR: config_check failed "
                               "for New Config file\n  Errors are in log file: " +
                               e + "app_config.chk\n\n" + kNotSaved));
}

TEST(DriverRun, FileNamesReachTheCheckerWhole) {
    Install in;
    const std::string name = "my app's;touch pwned$(touch pwned)", w = in.root + "/w/";
    in.add_set(w, name, "[a]\n");
    auto r = in.run({"-c", "./" + name}, w);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Install::text_of(in.calls), "[-c][./" + name + ".tup][-s][./syntax/" + name + ".syn]\n");
    EXPECT_FALSE(path_exists(w + "pwned"));
    EXPECT_EQ(Install::text_of(w + name), "[a]\n");
}

TEST(DriverRun, ErrorsOfTheMergeFailTheRunAndTheTwentiethStopsIt) {
    const std::string report = "ERROR: Section in the Previous Config File has no match in Upgrade Rules file";
    for (int sections : {3, 25}) {
        Install in;
        std::string prev;
        for (int i = 1; i <= sections; i++) prev += "[s" + std::to_string(i) + "]\n";
        in.add_set(in.etc, "app_config", "[a]\n", prev.c_str());
        put(in.etc + "upgrade/app_config.upg", "[a]\n");
        auto r = in.run({"-c", "app_config", "-o", "result"}, in.root);
        EXPECT_EQ(r.status, 1);
        std::size_t count = 0;
        for (std::size_t at = 0; (at = r.err.find(report, at)) != std::string::npos; ++at) count++;
        EXPECT_EQ(count, sections > 20 ? 20u : 3u);
        EXPECT_EQ(has(r.err, "\n\nERROR: Too many errors\n\nEXIT:"), sections > 20);
        // The result check is not run after a failed merge; the copy goes to
        // the output file.
        EXPECT_EQ(Install::text_of(in.calls), "[-c][" + in.etc + "v4.0.1/custom/app_config][-s][" + in.etc +
                                                  "v4.0.1/custom/syntax/app_config.syn]\n");
        EXPECT_TRUE(drvtest::ends_with(r.err, drvtest::saved_exit("Output Config File", "result")));
        EXPECT_FALSE(path_exists(in.root + "/result.tup.lck"));
    }
}

}  // namespace
